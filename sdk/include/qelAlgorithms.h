// Algorithm identifiers: the RFC 4880 numbers plus this SDK's private
// symmetric ids (100-102).
#ifndef QEL_ALGORITHMS_H
#define QEL_ALGORITHMS_H

enum QELCipherAlgorithm {
    QELCipherAlgorithm_None = 0,
    QELCipherAlgorithm_IDEA = 1,
    QELCipherAlgorithm_3DES = 2,
    QELCipherAlgorithm_CAST5 = 3,
    QELCipherAlgorithm_Blowfish = 4,
    QELCipherAlgorithm_AES128 = 7,
    QELCipherAlgorithm_AES192 = 8,
    QELCipherAlgorithm_AES256 = 9,
    QELCipherAlgorithm_Twofish = 10,
    QELCipherAlgorithm_RC2_40 = 100,       // decryption only
    QELCipherAlgorithm_RC2_128 = 101,      // 16-byte key, 1024 effective bits
    QELCipherAlgorithm_TwofishBE = 102,    // key words read big-endian
};

enum QELHashAlgorithm {
    QELHashAlgorithm_Invalid = 0,
    QELHashAlgorithm_MD5 = 1,
    QELHashAlgorithm_SHA1 = 2,
    QELHashAlgorithm_RIPEMD160 = 3,
    QELHashAlgorithm_MD2 = 5,
    QELHashAlgorithm_SHA256 = 8,
    QELHashAlgorithm_SHA384 = 9,
    QELHashAlgorithm_SHA512 = 10,
    QELHashAlgorithm_SHA224 = 11,
};

enum QELPublicKeyAlgorithm {
    QELPublicKeyAlgorithm_RSA = 1,
    QELPublicKeyAlgorithm_RSAEncryptOnly = 2,
    QELPublicKeyAlgorithm_RSASignOnly = 3,
    QELPublicKeyAlgorithm_ElGamal = 16,
    QELPublicKeyAlgorithm_DSA = 17,
};

#endif
