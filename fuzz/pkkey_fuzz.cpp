// Public-key material and the values that come with it from outside: the
// input (after a selector byte) is key material for RSA, ElGamal or DSA,
// public or stored secret, followed by a signature or ciphertext. Whatever
// the bytes, objects are made or refused with a status, a refused unlock
// changes nothing, and verification and decryption answer without reading
// past what they were given.
#include "qelFuzzSupport.h"

#include "qelContextInternal.h"
#include "qelPkAlgInternal.h"
#include "qelSDKInternal.h"

#include <vector>

namespace {

QELContext *context()
{
    static QELContext *ctx = [] {
        qelfuzz::startOnce(true);
        QELContext *c = nullptr;
        qelfuzz::check(qelContextNew(QELSDKVersion, &c) == 0, "no context");
        return c;
    }();
    return ctx;
}

constexpr std::uint8_t kAlgorithms[] = {1, 16, 17};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QELContext *ctx = context();
    qelfuzz::Input in(data, size);
    const std::uint8_t mode = in.u8();
    const std::uint8_t alg = kAlgorithms[(mode & 3) % 3];
    const std::int32_t format = 1 + ((mode >> 2) & 3) + ((mode & 0x40) ? 100 : 0);
    const std::size_t high = in.u8();
    const std::vector<std::uint8_t> key = in.bytes(high * 4 + in.u8());
    const std::vector<std::uint8_t> value = in.rest();
    const std::uint8_t digest[64] = {1, 2, 3};
    QELStatus status = 0;

    const std::int32_t publicLength = qelPkAlgPublicDataLength(alg, key.data(), key.size());
    qelfuzz::check(publicLength <= (std::int32_t)key.size(), "public data past the material");

    if (QELPublicKeyObject *pub = qelPublicKeyObjectFromData(ctx, alg, key.data(), key.size(), &status)) {
        qelfuzz::check(status == 0, "object with a status");
        const std::int32_t r = pub->verify(pub, value.data(), value.size(), nullptr, digest, 32, format);
        qelfuzz::check(r <= 1, "verification answered more than yes");
        const std::int32_t maxSize = pub->maxEncryptedSize(pub, format);
        if (maxSize > 0 && value.size() < 64) {
            std::vector<std::uint8_t> out((std::size_t)maxSize);
            std::size_t len = 0;
            QELRandomContext *random = qelContextGetRandomContext(ctx);
            if (random && pub->encrypt(pub, value.data(), value.size(), out.data(), &len, random, format) == 0)
                qelfuzz::check(len <= out.size(), "ciphertext past its size");
        }
        qelfuzz::check(pub->destroy(pub) == 0, "destroy failed");
    } else {
        qelfuzz::check(status < 0, "no object and no status");
    }

    if (QELSecretKeyObject *sec = qelSecretKeyObjectFromData(ctx, alg, key.data(), key.size(), 0, nullptr, &status)) {
        std::vector<std::uint8_t> before(sec->secretDataLength(sec));
        sec->exportSecretData(sec, before.data());
        const bool wasLocked = sec->isLocked(sec) != 0;
        if (sec->unlock(sec, "pass", 4, mode >> 7) != 1)
            qelfuzz::check((sec->isLocked(sec) != 0) == wasLocked, "failed unlock changed the state");
        std::vector<std::uint8_t> after(sec->secretDataLength(sec));
        sec->exportSecretData(sec, after.data());
        qelfuzz::check(before == after, "unlock changed the material");
        const std::int32_t plain = sec->maxPlaintextSize(sec);
        if (plain >= 0) {
            std::vector<std::uint8_t> out((std::size_t)plain + 2);
            std::size_t len = 0;
            if (sec->decrypt(sec, value.data(), value.size(), out.data(), &len, nullptr, 0, format) == 0)
                qelfuzz::check(len <= out.size(), "plaintext past its size");
        }
        qelfuzz::check(sec->destroy(sec) == 0, "destroy failed");
    }
    return 0;
}
