// Signature checks on keys.
#include "qelKeySigInternal.h"

#include "qelHashInternal.h"

QELStatus qelKeySigHashPacketBody(QELHashContext *hash, QELHashedObject kind, const std::uint8_t *body,
                                  std::size_t length, bool version4)
{
    if (!qelHashIsValid(hash) || (body == nullptr && length != 0))
        return QELError_BadParams;
    auto feed = [hash](const std::uint8_t *data, std::size_t n) {
        if (n != 0)
            hash->descriptor->update(hash->state, data, n);
    };
    if (kind == QELHashedObject::Key) {
        if (length > 0xFFFF)
            return QELError_BadPacketFormat;
        const std::uint8_t prefix[3] = {0x99, std::uint8_t(length >> 8), std::uint8_t(length)};
        feed(prefix, sizeof prefix);
    } else if (version4) {
        if (length > 0xFFFFFFFFu)
            return QELError_BadPacketFormat;
        const std::uint8_t prefix[5] = {std::uint8_t(kind == QELHashedObject::UserAttribute ? 0xD1 : 0xB4),
                                        std::uint8_t(length >> 24), std::uint8_t(length >> 16),
                                        std::uint8_t(length >> 8), std::uint8_t(length)};
        feed(prefix, sizeof prefix);
    }
    feed(body, length);
    return QELError_NoErr;
}
