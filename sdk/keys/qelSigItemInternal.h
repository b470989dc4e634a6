// Loose signature and one-pass signature bodies held as chained items: their
// fields whatever the packet version, structural validation, and the pairing of
// one-pass headers with the signatures that complete them.
#pragma once

#include "qelErrors.h"
#include "qelHelpers.h"

#include <cstddef>
#include <cstdint>
#include <span>

struct QELContext;
struct QELHashDescriptor;
struct QELKeyID;
struct QELKeyObject;
struct QELPublicKeyObject;

// Annotation codes under which a signature body reaches a list.
inline constexpr std::int32_t QELAnnotation_SignaturePacket = 2306;   // one-pass header or signature
inline constexpr std::int32_t QELAnnotation_SignedPacketBody = 2307;  // completes a one-pass header

// One item: a header and `length` bytes inline behind it; zero-filled when
// made, wiped (header and bytes) when freed.
struct QELSigItem {
    QELContext *context;
    QELSigItem *next;
    std::int32_t tag;     // chosen by the list's owner
    std::uint64_t length;
    // bytes follow
};

inline std::uint8_t *qelSigItemBytes(QELSigItem *item) { return reinterpret_cast<std::uint8_t *>(item + 1); }
inline const std::uint8_t *qelSigItemBytes(const QELSigItem *item)
{
    return reinterpret_cast<const std::uint8_t *>(item + 1);
}

// A new item (null when memory runs out).
QELSigItem *qelSigItemNew(QELContext *context, std::int32_t tag, const void *bytes, std::uint64_t length);
void qelSigItemFree(QELSigItem *item);
void qelSigItemFreeList(QELSigItem *first);
void qelSigListFree(QELSigItem *first);
QELSigItem *qelSigListNext(const QELSigItem *item);

[[nodiscard]] QELStatus qelSigListAddPacket(QELContext *context, QELSigItem **head, std::int32_t annotation,
                              const std::uint8_t *body, std::size_t length);

// Structural check of a signature or one-pass body; delivers the public-key
// algorithm (0 for a version 4 body). A version 4 body is walked whole: both
// subpacket areas and the MPIs must end exactly at the end of the body.
[[nodiscard]] QELStatus qelSigPacketValidate(const std::uint8_t *body, std::size_t length, std::uint8_t *outAlgorithm);
// The signature type, or a negative status.
std::int32_t qelSigPacketType(const std::uint8_t *body, std::size_t length);
std::int32_t qelSigItemType(const QELSigItem *item);
std::uint8_t qelSigPacketVersion(const QELSigItem *item);
// True for a 13-byte body of version 3.
bool qelSigPacketIsOnePass(const std::uint8_t *body, std::size_t length);
// The part of a (validated) body that the signature hashes.
const std::uint8_t *qelSigPacketHashedData(const QELSigItem *item, std::size_t *outLength);
const QELHashDescriptor *qelSigPacketHashDescriptor(const QELSigItem *item);
std::uint8_t qelSigPacketHashAlgorithm(const std::uint8_t *body, std::size_t length);
std::uint8_t qelSigItemPublicKeyAlgorithm(const QELSigItem *item);
std::int32_t qelSigListCountHashAlgorithms(const QELSigItem *first);
// Writes each distinct id once, in order of first occurrence, into out
// (room for 256); returns the count.
std::int32_t qelSigListHashAlgorithms(const QELSigItem *first, std::uint8_t *out);
std::uint8_t qelSigPacketOnePassLast(const std::uint8_t *body, std::size_t length);

// Where the digest prefix and the signature MPIs of a validated body sit.
struct QELSigBodyLayout {
    std::size_t prefixOffset;   // two octets of the digest
    std::size_t mpiOffset;      // MPIs up to the end of the body
    std::uint8_t hashAlgorithm;
    std::uint8_t publicKeyAlgorithm;
};
// QELError_TruncatedPacket unless the body holds both.
[[nodiscard]] QELStatus qelSigPacketLayout(const std::uint8_t *body, std::size_t length, QELSigBodyLayout *out);

// Verifies a validated body against a digest with the signer's public-key
// object: 1 valid, 0 invalid (a digest prefix that differs is invalid without
// any public-key operation), or a negative status.
[[nodiscard]] std::int32_t qelSigPacketVerifyWithPublic(const std::uint8_t *body, std::size_t length,
                                                        QELPublicKeyObject *key, const std::uint8_t *digest);

// Verifies a validated body against a digest with the signer's key object
// (its own material): 1 valid, 0 invalid (a digest prefix that differs is
// invalid without any public-key operation), QELError_KeyUnusableForSignature
// when the key's algorithm cannot sign, or another negative status.
// Public-key objects of signers kept over one run of signature checks (a
// signer's material does not change during it), so that each is made, and
// its modulus set up, once; each is released with the cache.
class QELSigPublicCache {
public:
    QELSigPublicCache() = default;
    ~QELSigPublicCache();
    QELSigPublicCache(const QELSigPublicCache &) = delete;
    QELSigPublicCache &operator=(const QELSigPublicCache &) = delete;
    // The signer's object, made on first use (the oldest entry makes room);
    // null with *outStatus set.
    QELPublicKeyObject *get(QELKeyObject *signer, QELStatus *outStatus);

private:
    struct Entry {
        QELKeyObject *signer = nullptr;
        QELPublicKeyObject *key = nullptr;
    };
    static constexpr std::size_t kSize = 32;
    Entry entries_[kSize] = {};
    std::size_t next_ = 0;
};

// With a cache the signer's public-key object comes from it.
[[nodiscard]] std::int32_t qelSigPacketVerify(const std::uint8_t *body, std::size_t length, QELKeyObject *signer,
                                              const std::uint8_t *digest, QELSigPublicCache *cache = nullptr);
[[nodiscard]] std::int32_t qelSigItemVerify(const QELSigItem *item, QELKeyObject *signer, const std::uint8_t *digest);
// The creation time a body states; 0 when it states none or does not validate.
std::uint32_t qelSigItemCreationTime(const QELSigItem *item);
// The signer's eight-octet key ID (algorithm 255: any).
[[nodiscard]] QELStatus qelSigItemSignerKeyID(const QELSigItem *item, QELKeyID *outID);

// Walks an RFC 4880 subpacket area; false when a length runs past the area or
// a subpacket has no type octet. fn(type with critical bit, data) may be null.
template <typename Fn>
bool qelSigAreaWalk(std::span<const std::uint8_t> area, Fn &&fn);

// ---- template body ----
template <typename Fn>
bool qelSigAreaWalk(std::span<const std::uint8_t> area, Fn &&fn)
{
    qel::ByteCursor cur(area);
    while (!cur.empty()) {
        std::uint8_t first = 0;
        std::uint64_t len = 0;
        if (!cur.u8(first))
            return false;
        if (first < 192) {
            len = first;
        } else if (first < 255) {
            std::uint8_t second = 0;
            if (!cur.u8(second))
                return false;
            len = ((std::uint64_t(first) - 192) << 8) + second + 192;
        } else if (!cur.beN(len, 4)) {
            return false;
        }
        std::span<const std::uint8_t> sub;
        if (len == 0 || !cur.bytes(std::size_t(len), sub))
            return false;
        fn(sub[0], sub.subspan(1));
    }
    return true;
}
