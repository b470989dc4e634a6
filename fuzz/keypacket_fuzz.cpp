// Key, signature, CRL and user-attribute packets in memory: the input is one
// packet (header included). The readers must stay inside it whatever it
// claims, and what they report must lie inside it.
#include "qelFuzzSupport.h"

#include "qelKeyPacketInternal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    QELKeyPacketInfo key;
    static_cast<void>(qelKeyPacketParse(nullptr, data, size, &key, false)); // any status is fine
    static_cast<void>(qelKeyPacketParse(nullptr, data, size, &key, true));  // any status is fine
    std::size_t end = qelKeyPacketPublicLength(data, size);
    qelfuzz::check(end <= size, "public part past the packet");
    QELSigPacketInfo sig;
    static_cast<void>(qelSigPacketParse(data, size, false, QELSigWant_All, &sig)); // any status
    std::size_t hashedLength = 0;
    const std::uint8_t *hashed = qelSigPacketHashedPart(data, size, &hashedLength);
    qelfuzz::check(hashed == nullptr || (hashed >= data && hashed + hashedLength <= data + size),
                   "hashed part outside the packet");
    for (std::uint32_t type : {2u, 9u, 12u, 16u, 100u}) {
        std::uint32_t length = 0;
        const std::uint8_t *d = qelSigSubpacketFind(data, size, type, 0, &length, nullptr, nullptr,
                                                    nullptr, nullptr);
        qelfuzz::check(d == nullptr || (d >= data && d + length <= data + size), "subpacket outside");
    }
    std::uint32_t count = qelUserAttributeCount(data, size);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t type = 0;
        std::uint32_t length = 0;
        const std::uint8_t *d = qelUserAttributeGet(data, size, i, &type, &length);
        qelfuzz::check(d != nullptr && d >= data && d + length <= data + size, "attribute outside");
    }
    std::size_t dlen = 0;
    const std::uint8_t *der = qelCRLPacketDER(data, size, &dlen);
    qelfuzz::check(der == nullptr || (der >= data && der + dlen <= data + size), "CRL outside");
    const std::uint8_t *dp = qelCRLPacketDistPoint(data, size, &dlen);
    qelfuzz::check(dp == nullptr || (dp >= data && dp + dlen <= data + size), "point outside");
    return 0;
}
