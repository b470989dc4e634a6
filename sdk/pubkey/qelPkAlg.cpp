// The public-key algorithm table and the dispatch by algorithm id.
#include "qelPkAlgInternal.h"

#include "qelAlgorithms.h"
#include "qelPkEncodeInternal.h"

#include <array>

namespace {

using u32 = std::uint32_t;

// Searched in this order; 19 and 18 are known ids without an implementation.
constexpr std::array<QELPkAlgEntry, 7> kAlgorithms{{
    {QELPublicKeyAlgorithm_RSA, QELPkUsage_Sign | QELPkUsage_Encrypt},
    {QELPublicKeyAlgorithm_RSASignOnly, QELPkUsage_Sign},
    {QELPublicKeyAlgorithm_RSAEncryptOnly, QELPkUsage_Encrypt},
    {QELPublicKeyAlgorithm_ElGamal, QELPkUsage_Encrypt},
    {QELPublicKeyAlgorithm_DSA, QELPkUsage_Sign},
    {19, 0},
    {18, 0},
}};

bool isRSA(std::uint8_t id)
{
    return id == QELPublicKeyAlgorithm_RSA || id == QELPublicKeyAlgorithm_RSAEncryptOnly ||
           id == QELPublicKeyAlgorithm_RSASignOnly;
}

// Public MPIs at the start of the key material of an implemented algorithm.
u32 publicValueCount(std::uint8_t id)
{
    if (isRSA(id))
        return 2;
    if (id == QELPublicKeyAlgorithm_ElGamal)
        return 3;
    if (id == QELPublicKeyAlgorithm_DSA)
        return 4;
    return 0;
}

} // namespace

const QELPkAlgEntry *qelPkAlgFind(std::uint8_t algorithm)
{
    for (const QELPkAlgEntry &row : kAlgorithms)
        if (row.algorithm == algorithm)
            return &row;
    return nullptr;
}

std::uint32_t qelPkAlgGetUsage(const QELPkAlgEntry *entry) { return entry ? entry->usage : 0; }

std::uint32_t qelPkAlgKeyGenEntropyNeeded(const QELPkAlgEntry *entry, u32 bits, std::uint8_t fastGeneration,
                                          std::uint8_t oldFormatRSA, QELTokenDevice *token)
{
    if (token != nullptr || entry == nullptr)
        return 0;
    const std::uint8_t id = entry->algorithm;
    if (isRSA(id)) {
        if (oldFormatRSA && fastGeneration) {
            const u32 s = qelSubgroupBits(bits);
            return s > 384 ? s : 384;
        }
        return bits + 128;
    }
    if (id == QELPublicKeyAlgorithm_ElGamal)
        return qelSubgroupBits(bits) * 3 / 2 + 192;
    if (id == QELPublicKeyAlgorithm_DSA) {
        const u32 m = (bits + 63) & ~u32{63};
        if (m <= 1024)
            return 672;
        const u32 s = qelSubgroupBits(m);
        return 2 * s + ((s + 7) & ~u32{7}) + 192;
    }
    if (id == 18 || id == 19)
        return 2 * bits;
    return 0;
}

std::int32_t qelPkAlgPublicDataLength(std::uint8_t algorithm, const std::uint8_t *material, std::size_t length)
{
    const u32 count = publicValueCount(algorithm);
    if (count == 0)
        return 0;
    // Key material beyond 4 GiB is no key packet; the MPIs are at its start.
    const u32 len = length > 0xFFFFFFFFu ? 0xFFFFFFFFu : (u32)length;
    u32 *const none = nullptr; // offsets not wanted
    switch (count) {
    case 2: return qelMPIParseList(material, len, 2, none, none);
    case 3: return qelMPIParseList(material, len, 3, none, none, none);
    default: return qelMPIParseList(material, len, 4, none, none, none, none);
    }
}
