// Triple-DES known-answer tests: single blocks, CBC and CFB, both directions.
#include "qelCipherKATInternal.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "qelAlgorithms.h"
#include "qelCBCInternal.h"
#include "qelCFBInternal.h"
#include "qelContextInternal.h"
#include "qelMemoryInternal.h"
#include "qelSymmetricCipherInternal.h"

namespace {

using Bytes64 = std::array<std::uint8_t, 64>;

constexpr auto kKey = [] {
    std::array<std::uint8_t, 24> k{};
    for (int i = 0; i < 24; ++i)
        k[i] = static_cast<std::uint8_t>(3 * i);
    return k;
}();

constexpr auto kIV = [] {
    std::array<std::uint8_t, 8> v{};
    for (int i = 0; i < 8; ++i)
        v[i] = static_cast<std::uint8_t>(1 + 5 * i);
    return v;
}();

constexpr auto kData = [] {
    Bytes64 d{};
    for (int i = 0; i < 64; ++i)
        d[i] = static_cast<std::uint8_t>(i);
    return d;
}();

// Triple DES of kData under kKey, block by block.
constexpr Bytes64 kECB = {
    0x26, 0xe0, 0xdd, 0x34, 0xaf, 0x71, 0xfa, 0xba, 0xb8, 0x04, 0xf0, 0xca, 0x1c, 0x25, 0x30, 0xa6,
    0x8d, 0x67, 0x44, 0xa5, 0xc5, 0x3a, 0xdb, 0x53, 0xa1, 0x31, 0x8a, 0x4d, 0x39, 0x43, 0x3c, 0xb9,
    0x42, 0x2c, 0x33, 0x82, 0xc5, 0xf6, 0xf1, 0xa3, 0x90, 0xb1, 0x05, 0xc0, 0x4f, 0x2e, 0x10, 0x0e,
    0x70, 0xc0, 0x39, 0x9a, 0x74, 0xf2, 0x54, 0x1c, 0x0f, 0x69, 0xe5, 0xc1, 0x1a, 0x56, 0x0a, 0x4f,
};

// CBC encryption of kData under kKey with kIV.
constexpr Bytes64 kCBC = {
    0x36, 0x97, 0xc1, 0x48, 0xbe, 0x18, 0x24, 0x7c, 0xa6, 0xab, 0x7c, 0x43, 0x62, 0xbe, 0x7f, 0x6b,
    0xb4, 0xa3, 0xa0, 0x53, 0x89, 0x38, 0xe2, 0xc5, 0x18, 0xa2, 0xcd, 0xef, 0x9c, 0x91, 0x9b, 0xd1,
    0x16, 0x72, 0x9f, 0xcf, 0x0a, 0x0f, 0x4d, 0x10, 0x1e, 0xcd, 0x1c, 0x8a, 0x0e, 0x47, 0x49, 0x45,
    0x88, 0x2c, 0x0c, 0xe9, 0x3b, 0x0b, 0x9b, 0xc9, 0xd0, 0xbe, 0x0f, 0xd5, 0x9d, 0xdc, 0x2d, 0xf5,
};

// CFB (64-bit feedback, one stream) encryption of kData under kKey with kIV.
constexpr Bytes64 kCFB = {
    0xe0, 0x83, 0x1d, 0xa5, 0x70, 0xd0, 0x5d, 0xab, 0x28, 0x3e, 0x39, 0x8c, 0x1a, 0x74, 0x9a, 0xd1,
    0xb6, 0x25, 0xb7, 0x85, 0xf3, 0x82, 0xe3, 0x8d, 0xb0, 0xc2, 0x65, 0xd6, 0x9c, 0x30, 0x9c, 0xf1,
    0x1c, 0x66, 0x0b, 0xd8, 0x9d, 0xdf, 0x64, 0xbb, 0x3e, 0x74, 0x48, 0xa4, 0x7b, 0xca, 0x46, 0xec,
    0xfe, 0xf4, 0xa4, 0x26, 0xb8, 0x5f, 0x51, 0xcd, 0x0d, 0xac, 0xcd, 0xac, 0xb7, 0xb7, 0xf7, 0x36,
};

template <typename Op>
bool blockwise(Op op, const Bytes64 &in, const Bytes64 &expected)
{
    Bytes64 out{};
    for (std::size_t i = 0; i < in.size(); i += 8)
        if (op(in.data() + i, out.data() + i) != QELError_NoErr)
            return false;
    return out == expected;
}

bool checkECB(QELSymmetricCipher *cipher)
{
    if (qelSymmetricCipherSetKey(cipher, kKey.data()) != QELError_NoErr)
        return false;
    if (!blockwise([&](const std::uint8_t *in, std::uint8_t *out) { return qelSymmetricCipherEncryptBlock(cipher, in, out); },
                   kData, kECB))
        return false;
    if (qelSymmetricCipherSetKey(cipher, kKey.data()) != QELError_NoErr)
        return false;
    return blockwise([&](const std::uint8_t *in, std::uint8_t *out) { return qelSymmetricCipherDecryptBlock(cipher, in, out); },
                     kECB, kData);
}

// The operations of a chaining mode over a cipher.
template <typename Mode>
struct ChainingOps {
    QELStatus (*init)(Mode *mode, const void *key, const void *iv);
    QELStatus (*encrypt)(Mode *mode, const void *in, std::size_t length, void *out);
    QELStatus (*decrypt)(Mode *mode, const void *in, std::size_t length, void *out);
    QELStatus (*free)(Mode *mode);
};

// Runs the mode over a copy of the cipher, which create hands to the mode.
template <typename Mode, typename Create>
bool checkChaining(QELSymmetricCipher *cipher, Create create, const ChainingOps<Mode> &ops,
                   const Bytes64 &expected)
{
    QELSymmetricCipher *copy = nullptr;
    if (qelSymmetricCipherCopy(cipher, &copy) != QELError_NoErr)
        return false;
    Mode *mode = nullptr;
    if (QELStatus status = create(copy, &mode); status != QELError_NoErr) {
        // A refused creation leaves the copy with us; a failed allocation
        // has freed it already.
        if (status != QELError_OutOfMemory)
            static_cast<void>(qelSymmetricCipherFree(copy));
        return false;
    }
    auto perBlock = [mode](auto crypt) {
        return [=](const std::uint8_t *in, std::uint8_t *out) { return crypt(mode, in, 8, out); };
    };
    bool ok = ops.init(mode, kKey.data(), kIV.data()) == QELError_NoErr &&
              blockwise(perBlock(ops.encrypt), kData, expected) &&
              ops.init(mode, kKey.data(), kIV.data()) == QELError_NoErr &&
              blockwise(perBlock(ops.decrypt), expected, kData);
    ops.free(mode);
    return ok;
}

bool checkCBC(QELSymmetricCipher *cipher)
{
    constexpr ChainingOps<QELCBCContext> ops = {qelCBCInit, qelCBCEncrypt, qelCBCDecrypt, qelCBCFree};
    return checkChaining(cipher, qelCBCCreate, ops, kCBC);
}

bool checkCFB(QELSymmetricCipher *cipher)
{
    constexpr ChainingOps<QELCFBContext> ops = {qelCFBInit, qelCFBEncrypt, qelCFBDecrypt, qelCFBFree};
    auto create = [](QELSymmetricCipher *copy, QELCFBContext **outCFB) {
        return qelCFBCreate(copy, 1, outCFB);
    };
    return checkChaining(cipher, create, ops, kCFB);
}

} // namespace

QELStatus qelCipherSelfTestWithMemoryMgr(QELMemoryMgr *mgr)
{
    if (qelMemMgrIsValid(mgr) != QELError_NoErr)
        return QELError_SelfTestFailed;
    const QELContextParams params = {QELSDKVersion, mgr};
    QELContext *context = nullptr;
    if (qelContextNewCustom(&params, &context) != QELError_NoErr) {
        static_cast<void>(qelMemMgrFree(mgr)); // a failed creation leaves the manager with us
        return QELError_SelfTestFailed;
    }
    QELSymmetricCipher *cipher = nullptr;
    bool ok = qelSymmetricCipherNew(context, QELCipherAlgorithm_3DES, &cipher) == QELError_NoErr;
    ok = ok && checkECB(cipher);
    ok = ok && checkCBC(cipher);
    ok = ok && checkCFB(cipher);
    if (cipher != nullptr)
        static_cast<void>(qelSymmetricCipherFree(cipher));
    static_cast<void>(qelContextFree(context)); // frees the manager as well
    return ok ? QELError_NoErr : QELError_SelfTestFailed;
}

QELStatus qelCipherSelfTest()
{
    QELMemoryMgr *mgr = nullptr;
    if (qelMemMgrNewHeap(&mgr) != QELError_NoErr)
        return QELError_SelfTestFailed;
    return qelCipherSelfTestWithMemoryMgr(mgr);
}
