// Number encodings and unpadding: the DER tag/length reader, MPI, DER
// INTEGER and raw number readers (each read written back and read again),
// MPI lists, PKCS #1 v1.5 unpadding of both block types, and OAEP decoding
// compared with OpenSSL's.
#define OPENSSL_SUPPRESS_DEPRECATED // the padding checks are the peer here
#include "qelFuzzSupport.h"

#include "qelAlgorithms.h"
#include "qelBigNumInternal.h"
#include "qelContextInternal.h"
#include "qelPkAlg.h"
#include "qelPkEncodeInternal.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

QELContext *context()
{
    static QELContext *c = [] {
        qelfuzz::startOnce(true);
        QELContext *made = nullptr;
        qelfuzz::check(qelContextNew(QELSDKVersion, &made) == QELError_NoErr, "no context");
        return made;
    }();
    return c;
}

struct Number {
    QELBigNum n;
    Number() { qelBigNumBegin(&n, qelContextGetMemoryMgr(context()), 0); }
    ~Number() { QELBigNumOps.qelBigNumFree(&n); }
    Number(const Number &) = delete;
    Number &operator=(const Number &) = delete;
};

void readers(const std::vector<std::uint8_t> &bytes, std::uint8_t mode)
{
    const std::uint8_t *start = bytes.data();
    const std::uint8_t *end = start + bytes.size();
    const std::uint8_t *cursor = start;
    std::uint32_t length = 0;
    std::uint8_t tag = 0;
    const std::int32_t number = qelDERReadTagLength(&cursor, end, &length, &tag);
    if (number < 0)
        qelfuzz::check(cursor == start, "a refused DER header moved the cursor");
    else
        qelfuzz::check(cursor > start && cursor <= end && number == (tag & 0x1F), "DER header misread");

    static constexpr std::int32_t kFormats[] = {QELPkFormat_RFC4880, QELPkFormat_DER, QELPkFormat_Raw};
    const std::int32_t format = kFormats[mode % 3];
    const std::uint32_t size = (mode >> 2) * 4u; // raw size, or the DER/raw write limit
    Number a;
    const std::int32_t read = qelPkNumberRead(&a.n, start, static_cast<std::uint32_t>(bytes.size()), size, format);
    qelfuzz::check(read <= static_cast<std::int64_t>(bytes.size()), "a reader consumed more than it had");
    if (read > 0) {
        const std::uint32_t byteLength = (QELBigNumOps.qelBigNumBitLength(&a.n) + 7) / 8;
        const std::uint32_t limit = format == QELPkFormat_Raw ? size : byteLength + 1;
        std::vector<std::uint8_t> out(limit + 8, 0xA5);
        const std::int32_t written = qelPkNumberWrite(&a.n, out.data(), limit, format);
        qelfuzz::check(written > 0 && static_cast<std::uint32_t>(written) <= limit + 7, "write size");
        Number b;
        qelfuzz::check(qelPkNumberRead(&b.n, out.data(), static_cast<std::uint32_t>(written), size, format) == written,
                       "a written number does not read back whole");
        qelfuzz::check(QELBigNumOps.qelBigNumCompare(&a.n, &b.n) == 0, "a number changed on the way");
    }
    std::uint32_t offsets[3] = {~0u, ~0u, ~0u};
    const std::uint32_t count = 1 + mode % 3;
    const std::int32_t total = qelMPIParseList(start, static_cast<std::uint32_t>(bytes.size()), count,
                                               &offsets[0], &offsets[1], &offsets[2]);
    if (total >= 0) {
        qelfuzz::check(static_cast<std::size_t>(total) <= bytes.size(), "MPI list longer than its data");
        for (std::uint32_t i = 0; i < count; ++i) {
            Number m;
            qelfuzz::check(offsets[i] < bytes.size() &&
                               qelMPIRead(&m.n, start + offsets[i],
                                          static_cast<std::uint32_t>(bytes.size() - offsets[i])) > 0,
                           "a listed MPI does not read");
        }
    }
}

void pkcs1(const std::vector<std::uint8_t> &block, std::uint8_t mode)
{
    const std::uint32_t k = static_cast<std::uint32_t>(block.size());
    const std::uint32_t type = 1 + (mode & 1);
    Number n;
    if (QELBigNumOps.qelBigNumFromBytesBE(&n.n, block.data(), 0, k) != 0)
        return;
    if (mode & 2) { // the length query: no output at all
        const std::int32_t r = qelPKCS1Unpad(nullptr, 0, &n.n, type, k);
        // (The legacy MD5 layout unpads to a 34-byte DigestInfo even in a shorter block.)
        qelfuzz::check(r < 0 || static_cast<std::uint32_t>(r) <= std::max<std::uint32_t>(k, 34), "length query answer");
        return;
    }
    const std::uint32_t outSize = (mode >> 2) % 2 ? (mode >> 3) : k;
    std::vector<std::uint8_t> out(outSize + 16, 0x5A);
    const std::int32_t r = qelPKCS1Unpad(out.data(), outSize, &n.n, type, k);
    for (std::size_t i = outSize; i < out.size(); ++i)
        qelfuzz::check(out[i] == 0x5A, "unpadding wrote past its output");
    if (r < 0)
        return;
    qelfuzz::check(k >= 3 && block[0] == 0 && (block[1] == 1 || block[1] == 2), "accepted a bad block");
    const std::uint32_t copied = std::min<std::uint32_t>(static_cast<std::uint32_t>(r), outSize);
    if (static_cast<std::uint32_t>(r) < k && r != 34 && r != 19)
        qelfuzz::check(std::memcmp(out.data(), block.data() + (k - r), copied) == 0,
                       "unpadded data is not the block's tail");
}

const EVP_MD *peerHash(std::int32_t id)
{
    switch (id) {
    case QELHashAlgorithm_SHA1:
        return EVP_sha1();
    case QELHashAlgorithm_SHA224:
        return EVP_sha224();
    case QELHashAlgorithm_SHA256:
        return EVP_sha256();
    case QELHashAlgorithm_SHA384:
        return EVP_sha384();
    default:
        return EVP_sha512();
    }
}

void oaep(qelfuzz::Input &in, std::uint8_t mode)
{
    static constexpr std::int32_t kHashes[] = {QELHashAlgorithm_SHA1, QELHashAlgorithm_SHA224,
                                               QELHashAlgorithm_SHA256, QELHashAlgorithm_SHA384,
                                               QELHashAlgorithm_SHA512};
    const std::int32_t labelHash = kHashes[(mode >> 1) % 5];
    const std::int32_t maskHash = kHashes[(mode >> 4) % 5];
    const std::vector<std::uint8_t> label = in.bytes(in.u8() % 16);
    std::vector<std::uint8_t> block = in.rest();
    if (block.size() > 512)
        block.resize(512);
    const std::uint32_t k = static_cast<std::uint32_t>(block.size());
    Number n;
    if (QELBigNumOps.qelBigNumFromBytesBE(&n.n, block.data(), 0, k) != 0)
        return;
    std::vector<std::uint8_t> out(k + 1, 0), peer(k + 1, 0);
    const std::int32_t r = qelOAEPDecode(out.data(), k, &n.n, k, labelHash, maskHash,
                                         label.empty() ? nullptr : label.data(),
                                         static_cast<std::uint32_t>(label.size()), context());
    // The peer takes the whole encoded block, leading zero byte included.
    const int p = k == 0 ? -1
                         : RSA_padding_check_PKCS1_OAEP_mgf1(
                               peer.data(), static_cast<int>(k), block.data(), static_cast<int>(k),
                               static_cast<int>(k), label.data(), static_cast<int>(label.size()),
                               peerHash(labelHash), peerHash(maskHash));
    qelfuzz::check((r >= 0) == (p >= 0), "OAEP acceptance differs from OpenSSL");
    if (r >= 0)
        qelfuzz::check(r == p && std::memcmp(out.data(), peer.data(), static_cast<std::size_t>(r)) == 0,
                       "OAEP message differs from OpenSSL");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    context();
    qelfuzz::Input in(data, size);
    const std::uint8_t what = in.u8();
    const std::uint8_t mode = in.u8();
    switch (what % 3) {
    case 0:
        readers(in.rest(), mode);
        break;
    case 1: {
        std::vector<std::uint8_t> block = in.rest();
        if (block.size() > 1024)
            block.resize(1024);
        pkcs1(block, mode);
        break;
    }
    default:
        oaep(in, mode);
        break;
    }
    return 0;
}
