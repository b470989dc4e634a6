// Which processor paths the hashes and block ciphers take.
//
// The processor's features are read once; every call then asks these
// functions, so the test build can send the same process down the portable
// code too (qelTestForcePortableCrypto in qelTestHooks.h). On processors
// without the instructions (or other architectures) the answers are always
// false.
#pragma once

#include <cstddef>
#include <cstdint>

// SHA extensions (SHA-1 and SHA-256 compression).
bool qelCryptoUseSHA();
// AES-NI (key schedule, single blocks and the modes' several-block paths).
bool qelCryptoUseAES();
// AVX2 (wide vectors for the SHA-512 message schedule).
bool qelCryptoUseAVX2();
// AVX-512 F/BW with BMI1/BMI2 (SHA-512's schedule four blocks at a time).
bool qelCryptoUseAVX512();
// MULX with ADCX/ADOX (the big-number multiplication rows).
bool qelCryptoUseMULX();
// AVX-512 with the 52-bit multiply-add (IFMA): paired modular exponentiation.
bool qelCryptoUseIFMA();

#if defined(__x86_64__)
#define QEL_CRYPTO_X86 1
// Kernels compiled for the instructions above; call them only when the
// matching function says so.
void qelSHA1BlocksSHANI(std::uint32_t *chaining, const std::uint8_t *p, std::size_t count);
void qelSHA256BlocksSHANI(std::uint32_t *state, const std::uint8_t *p, std::size_t count);
void qelSHA512BlocksAVX2(std::uint64_t *state, const std::uint8_t *p, std::size_t count);
void qelSHA512BlocksAVX512(std::uint64_t *state, const std::uint8_t *p, std::size_t count);
#endif

#if defined(QEL_CRYPTO_X86)
// AES-NI over round keys kept as big-endian words (rk: Nr + 1 keys of four
// words). Encryption wants the schedule in its encryption form, decryption
// (and CBC decryption) in its equivalent-inverse form. The several-block
// functions take a 16-byte register or chaining value and allow in == out.
std::uint32_t qelAESSubWordNI(std::uint32_t word);
void qelAESInvMixKeysNI(std::uint32_t *words, std::size_t keys);
void qelAESEncryptBlockNI(const std::uint32_t *rk, int nr, const std::uint8_t *in, std::uint8_t *out);
void qelAESDecryptBlockNI(const std::uint32_t *rk, int nr, const std::uint8_t *in, std::uint8_t *out);
void qelAESCFBEncryptNI(const std::uint32_t *rk, int nr, const std::uint8_t *iv, const std::uint8_t *in,
                        std::uint8_t *out, std::size_t blocks);
void qelAESCFBDecryptNI(const std::uint32_t *rk, int nr, const std::uint8_t *iv, const std::uint8_t *in,
                        std::uint8_t *out, std::size_t blocks);
// CFB decryption of `units` 64-byte units with SHA-1 (chaining words h) of
// the plaintext of the first hashUnits of them; needs the SHA extensions too.
void qelAESCFBDecryptSHA1NI(const std::uint32_t *rk, int nr, const std::uint8_t *iv, const std::uint8_t *in,
                            std::uint8_t *out, std::size_t units, std::uint32_t *h, std::size_t hashUnits);
// CFB encryption of `units` 64-byte units with SHA-1 (chaining words h) of
// their plaintext; needs the SHA extensions too.
void qelAESCFBEncryptSHA1NI(const std::uint32_t *rk, int nr, const std::uint8_t *iv, const std::uint8_t *in,
                            std::uint8_t *out, std::size_t units, std::uint32_t *h);
void qelAESCBCDecryptNI(const std::uint32_t *rk, int nr, const std::uint8_t *iv, const std::uint8_t *in,
                        std::uint8_t *out, std::size_t blocks);
#endif

// The SHA-256 and SHA-512 round constants, shared by both paths. Hidden, so
// that position-independent code reaches them without a register.
extern const std::uint32_t qelSHA256RoundConstants[64] __attribute__((visibility("hidden")));
extern const std::uint64_t qelSHA512RoundConstants[80] __attribute__((visibility("hidden")));
