// Signature packet bodies: the input is one body. Whatever validation
// accepts must be readable without leaving the body: the hashed part, the
// digest prefix and the MPIs all lie inside it. A body also goes through the
// one-pass pairing of a list, against a header built from its own fields,
// and its creation time and signer key ID are read. A version 4 body's
// subpackets go into a signature specification, and whatever is built from
// that specification validates.
#include "qelFuzzSupport.h"

#include "qelContextInternal.h"
#include "qelHash.h"
#include "qelHashInternal.h"
#include "qelKeyID.h"
#include "qelKeyPacketInternal.h"
#include "qelSigBuildInternal.h"
#include "qelSigItemInternal.h"
#include "qelSigSpecInternal.h"

#include <cstring>
#include <vector>

namespace {

// Copies the subpackets of a version 4 body into a specification and builds
// a body from it with a stand-in signer: it must validate, or be refused as
// too large.
void rebuild(QELContext *context, const std::uint8_t *data, std::size_t size)
{
    if (size == 0 || data[0] != 4 || size > 0xFFFF)
        return;
    std::vector<std::uint8_t> packet = {0x89, std::uint8_t(size >> 8), std::uint8_t(size)};
    packet.insert(packet.end(), data, data + size);
    QELSigSpec *spec = qelSigSpecNewFor(qelContextGetSettings(context), nullptr, 0x10, false, 1, 2048);
    if (spec == nullptr)
        return;
    if (qelSigSpecFromSubpackets(spec, packet.data(), packet.size()) == QELError_NoErr) {
        QELSigSigner signer;
        signer.algorithm = 1;
        signer.sign = [](const QELSigSpec *, std::uint8_t, const std::uint8_t *, std::size_t,
                         std::vector<std::uint8_t> &material) {
            material = {0x00, 0x01, 0x01};
            return QELStatus(QELError_NoErr);
        };
        QELHashContext *hash = nullptr;
        if (qelHashNew(context, 2, &hash) == QELError_NoErr) {
            std::uint8_t *body = nullptr;
            const std::int64_t n = qelSigSpecMakePacketWith(spec, hash, signer, &body);
            qelfuzz::check(n > 0 ? qelSigPacketValidate(body, std::size_t(n), nullptr) == QELError_NoErr
                                 : n == QELError_PacketTooLarge,
                           "a body built from copied subpackets does not validate");
            if (body != nullptr)
                static_cast<void>(qelContextMemFree(context, body)); // our own body
            static_cast<void>(qelHashFree(hash));                   // our own hash
        }
    }
    qelSigSpecFreeList(spec);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    QELContext *context = qelfuzz::sharedContext();

    std::uint8_t algorithm = 0;
    const QELStatus valid = qelSigPacketValidate(data, size, &algorithm);
    const std::int32_t type = qelSigPacketType(data, size);
    qelfuzz::check(valid != QELError_NoErr ? type == valid : type >= QELError_MalformedSubpacket,
                   "type disagrees with validation");

    QELSigItem *list = nullptr;
    const QELStatus added = qelSigListAddPacket(context, &list, QELAnnotation_SignaturePacket, data, size);
    qelfuzz::check(added == valid, "adding disagrees with validation");
    if (added == QELError_NoErr) {
        qelfuzz::check(list != nullptr && list->length == size, "item holds the body");
        std::size_t hashedLength = 0;
        const std::uint8_t *hashed = qelSigPacketHashedData(list, &hashedLength);
        if (hashed != nullptr)
            qelfuzz::check(hashed >= qelSigItemBytes(list) &&
                               hashed + hashedLength <= qelSigItemBytes(list) + size,
                           "hashed part outside the body");
        if (!qelSigPacketIsOnePass(data, size)) {
            QELSigBodyLayout layout;
            if (qelSigPacketLayout(data, size, &layout) == QELError_NoErr)
                qelfuzz::check(layout.prefixOffset + 2 == layout.mpiOffset && layout.mpiOffset <= size,
                               "layout outside the body");
            else
                qelfuzz::check(data[0] != 4, "a valid version 4 body has a layout");
            // Pair it with a header made of its own fields.
            if (data[0] == 4 || (data[0] == 3 && size > 16 && data[1] == 5)) {
                std::uint8_t onePass[13] = {3};
                onePass[1] = std::uint8_t(type);
                onePass[2] = layout.hashAlgorithm;
                onePass[3] = layout.publicKeyAlgorithm;
                if (data[0] == 3)
                    std::memcpy(onePass + 4, data + 7, 8);
                static_cast<void>(qelSigListAddPacket(context, &list, QELAnnotation_SignaturePacket, onePass,
                                                      sizeof onePass)); // unknown hashes are refused
                static_cast<void>(qelSigListAddPacket(context, &list, QELAnnotation_SignedPacketBody, data,
                                                      size)); // pairing may fail on foreign fields
            }
        }
        QELKeyID signer{};
        const QELStatus idStatus = qelSigItemSignerKeyID(list, &signer);
        const std::uint32_t created = qelSigItemCreationTime(list);
        qelfuzz::check(idStatus <= 0 && (created == 0 || !qelSigPacketIsOnePass(data, size)),
                       "one-pass bodies state no creation time");
        std::uint8_t ids[256];
        qelfuzz::check(qelSigListHashAlgorithms(list, ids) == qelSigListCountHashAlgorithms(list), "hash count");
    }
    qelSigListFree(list);
    rebuild(context, data, size);
    return 0;
}
