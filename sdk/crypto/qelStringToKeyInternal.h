// String-to-key specifiers (RFC 4880 section 3.7) and this SDK's literal
// types, which turn a passphrase into a key of any requested length.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qelErrors.h"

struct QELContext;
struct QELHashDescriptor;
struct QELRandomContext;

enum QELS2KType : std::uint8_t {
    QELS2KType_Simple = 0,
    QELS2KType_Salted = 1,
    QELS2KType_IteratedSalted = 3,
    QELS2KType_LiteralA = 4,   // the passphrase is the key
    QELS2KType_LiteralB = 5,   // as 4; marks a key whose secret lives on a token
};

// One specifier. Callers read the specifier bytes, call deriveKey and call
// destroy when done; the object holds neither passphrase nor key.
struct QELStringToKey {
    void *privateBlock;               // context, hash descriptor, specifier bytes
    std::uint8_t *specifier;          // inside the private block
    std::uint32_t specifierLength;    // 2, 10, 11 or 1
    void (*destroy)(QELStringToKey *s2k);
    QELStatus (*deriveKey)(QELStringToKey *s2k, const void *passphrase,
                           std::size_t passphraseLength, void *key, std::size_t keyLength);
};

QELStringToKey *qelS2KCreate(QELContext *context, const QELHashDescriptor *hash,
                             std::uint32_t specifierLength);
QELStringToKey *qelS2KNewSimple(QELContext *context, const QELHashDescriptor *hash);
QELStringToKey *qelS2KNewSalted(QELContext *context, const QELHashDescriptor *hash,
                                const std::uint8_t salt[8]);
QELStringToKey *qelS2KNewIteratedCoded(QELContext *context, const QELHashDescriptor *hash,
                                       const std::uint8_t salt[8], std::uint8_t codedCount);
QELStringToKey *qelS2KNewIterated(QELContext *context, const QELHashDescriptor *hash,
                                  const std::uint8_t salt[8], std::uint32_t octetCount);
QELStringToKey *qelS2KNewLiteralA(QELContext *context);
QELStringToKey *qelS2KNewLiteralB(QELContext *context);

// Type 0: simple SHA-1; 1 and 3: salted or iterated (32768 octets) SHA-1
// with a salt drawn from random; 4 and 5: the literal types; else null.
QELStringToKey *qelS2KNew(QELContext *context, QELRandomContext *random, std::uint8_t type);
QELStringToKey *qelS2KNewIteratedSHA1(QELContext *context, QELRandomContext *random);
QELStringToKey *qelS2KNewSimpleMD5(QELContext *context);
bool qelS2KIsSimpleMD5(const QELStringToKey *s2k);

// Parses a specifier: returns the bytes it occupies (2, 10, 11 or 1) or a
// negative status; with outS2K given also makes the object.
[[nodiscard]] QELStatus qelS2KParse(QELStringToKey **outS2K, QELContext *context, const void *bytes,
                      std::size_t length);

