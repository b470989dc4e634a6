/* A C11 application of the SDK: it includes every public header and runs
 * start-up, a context, a hash, an HMAC, a cipher with its modes and clean-up
 * through the public operations alone. The same file is the program of the
 * installed-package test (tests/consumer). Exit status 0 when every check
 * passes. */
#include "asn1.h"
#include "asn1Enrol.h"
#include "asn1Key.h"
#include "asn1PKCS12.h"
#include "asn1PKCS7.h"
#include "asn1PKCS8.h"
#include "asn1PKIX.h"
#include "qelAlgorithms.h"
#include "qelCBC.h"
#include "qelCFB.h"
#include "qelClientEncode.h"
#include "qelContext.h"
#include "qelEnumeratedSet.h"
#include "qelErrors.h"
#include "qelEvent.h"
#include "qelFIPS.h"
#include "qelFeatures.h"
#include "qelFileSpec.h"
#include "qelHMAC.h"
#include "qelHash.h"
#include "qelKeyDB.h"
#include "qelKeyDBChange.h"
#include "qelKeyFilter.h"
#include "qelKeyID.h"
#include "qelKeyIter.h"
#include "qelKeyList.h"
#include "qelKeyMan.h"
#include "qelKeyObj.h"
#include "qelKeyProperty.h"
#include "qelKeySet.h"
#include "qelKeySig.h"
#include "qelMemory.h"
#include "qelOptionList.h"
#include "qelPassCach.h"
#include "qelPkAlg.h"
#include "qelPkEncode.h"
#include "qelPublicKey.h"
#include "qelRandomPool.h"
#include "qelRandomSources.h"
#include "qelSDK.h"
#include "qelSymmetricCipher.h"
#include "qelTimeDate.h"
#include "qelTrustProp.h"

#include <stdio.h>
#include <string.h>

static int g_passed;
static int g_failed;

static void check(int ok, const char *what)
{
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        fprintf(stderr, "FAILED: %s\n", what);
    }
}

static void checkStatus(QELStatus status, const char *what)
{
    if (status != QELError_NoErr)
        fprintf(stderr, "%s: status %d\n", what, (int)status);
    check(status == QELError_NoErr, what);
}

/* SHA-1 of "abc" (FIPS 180-1, appendix A). */
static void hashes(QELContext *context)
{
    static const uint8_t expected[20] = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                                         0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
    QELHashContext *hash = NULL;
    uint64_t size = 0;
    uint8_t digest[20] = {0};
    checkStatus(qelHashNew(context, QELHashAlgorithm_SHA1, &hash), "qelHashNew");
    if (hash == NULL)
        return;
    checkStatus(qelHashGetSize(hash, &size), "qelHashGetSize");
    check(size == sizeof digest, "SHA-1 digest size");
    checkStatus(qelHashUpdate(hash, "abc", 3), "qelHashUpdate");
    checkStatus(qelHashFinal(hash, digest), "qelHashFinal");
    check(memcmp(digest, expected, sizeof digest) == 0, "SHA-1 of \"abc\"");
    checkStatus(qelHashFree(hash), "qelHashFree");
    check(qelHashUpdate(NULL, "abc", 3) == QELError_BadParams, "a null hash is refused");
}

/* HMAC-SHA-1, RFC 2202 test case 1. */
static void hmac(QELContext *context)
{
    static const uint8_t expected[20] = {0xb6, 0x17, 0x31, 0x86, 0x55, 0x05, 0x72, 0x64, 0xe2, 0x8b,
                                         0xc0, 0xb6, 0xfb, 0x37, 0x8c, 0x8e, 0xf1, 0x46, 0xbe, 0x00};
    uint8_t key[20];
    uint8_t mac[20] = {0};
    QELHMACContext *h = NULL;
    memset(key, 0x0b, sizeof key);
    checkStatus(qelHMACNew(context, QELHashAlgorithm_SHA1, key, sizeof key, &h), "qelHMACNew");
    if (h == NULL)
        return;
    checkStatus(qelHMACUpdate(h, "Hi There", 8), "qelHMACUpdate");
    checkStatus(qelHMACFinal(h, mac), "qelHMACFinal");
    check(memcmp(mac, expected, sizeof mac) == 0, "HMAC-SHA-1 of \"Hi There\"");
    checkStatus(qelHMACFree(h), "qelHMACFree");
}

/* AES-128, FIPS 197 appendix C.1, as a block, in CBC and in CFB. */
static void ciphers(QELContext *context)
{
    static const uint8_t key[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                    0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    static const uint8_t plain[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                      0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    static const uint8_t expected[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                         0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
    static const uint8_t zeroIV[16] = {0};
    uint8_t out[16] = {0};
    uint8_t back[16] = {0};
    size_t keySize = 0, blockSize = 0;
    QELSymmetricCipher *cipher = NULL;
    QELCBCContext *cbc = NULL;
    QELCFBContext *cfb = NULL;

    checkStatus(qelSymmetricCipherNew(context, QELCipherAlgorithm_AES128, &cipher),
                "qelSymmetricCipherNew");
    if (cipher == NULL)
        return;
    checkStatus(qelSymmetricCipherGetSizes(cipher, &keySize, &blockSize),
                "qelSymmetricCipherGetSizes");
    check(keySize == 16 && blockSize == 16, "AES-128 sizes");
    checkStatus(qelSymmetricCipherSetKey(cipher, key), "qelSymmetricCipherSetKey");
    checkStatus(qelSymmetricCipherEncryptBlock(cipher, plain, out), "EncryptBlock");
    check(memcmp(out, expected, sizeof out) == 0, "AES-128 block");
    checkStatus(qelSymmetricCipherDecryptBlock(cipher, out, back), "DecryptBlock");
    check(memcmp(back, plain, sizeof back) == 0, "AES-128 block decrypts");

    /* CBC over one block with a zero IV is the block cipher itself. */
    checkStatus(qelCBCCreate(cipher, &cbc), "qelCBCCreate");
    if (cbc == NULL) {
        checkStatus(qelSymmetricCipherFree(cipher), "qelSymmetricCipherFree");
        return;
    }
    checkStatus(qelCBCInit(cbc, key, zeroIV), "qelCBCInit");
    checkStatus(qelCBCEncrypt(cbc, plain, sizeof plain, out), "qelCBCEncrypt");
    check(memcmp(out, expected, sizeof out) == 0, "AES-128 CBC");
    checkStatus(qelCBCFree(cbc), "qelCBCFree");

    /* CFB: the first block of keystream is E(IV); decrypting restores. */
    cipher = NULL;
    checkStatus(qelSymmetricCipherNew(context, QELCipherAlgorithm_AES128, &cipher),
                "qelSymmetricCipherNew for CFB");
    if (cipher == NULL)
        return;
    checkStatus(qelCFBCreate(cipher, 1, &cfb), "qelCFBCreate");
    if (cfb == NULL) {
        checkStatus(qelSymmetricCipherFree(cipher), "qelSymmetricCipherFree");
        return;
    }
    checkStatus(qelCFBInit(cfb, key, plain), "qelCFBInit");
    checkStatus(qelCFBEncrypt(cfb, zeroIV, sizeof zeroIV, out), "qelCFBEncrypt");
    check(memcmp(out, expected, sizeof out) == 0, "AES-128 CFB keystream");
    checkStatus(qelCFBInit(cfb, key, plain), "qelCFBInit again");
    checkStatus(qelCFBDecrypt(cfb, out, sizeof out, back), "qelCFBDecrypt");
    check(memcmp(back, zeroIV, sizeof back) == 0, "AES-128 CFB decrypts");
    checkStatus(qelCFBFree(cfb), "qelCFBFree");
}

static void context(void)
{
    QELContext *ctx = NULL;
    QELOptionList *options = NULL;
    void *value = NULL;
    int marker = 0;
    uint32_t bits = 0;

    checkStatus(qelContextNew(QELSDKVersion, &ctx), "qelContextNew");
    if (ctx == NULL)
        return;
    check(qelContextGetMemoryMgr(ctx) != NULL, "the context has a memory manager");
    checkStatus(qelContextSetUserValue(ctx, &marker), "qelContextSetUserValue");
    checkStatus(qelContextGetUserValue(ctx, &value), "qelContextGetUserValue");
    check(value == &marker, "the user value comes back");
    checkStatus(qelOptionListNewPublic(ctx, &options), "qelOptionListNewPublic");
    checkStatus(qelOptionListFreePublic(options), "qelOptionListFreePublic");
    checkStatus(qelPublicKeySubgroupBits(2048, &bits), "qelPublicKeySubgroupBits");
    check(bits > 0, "a subgroup size");
    check(qelRandomPoolGetSize() == 10240, "the random pool's size");
    check(qelTimeDateFromDate(1970, 1, 2) == 86400, "SDK time of 1970-01-02");
    {
        int32_t own = -1, named = -1, others = -1;
        checkStatus(qelPassCacheGetCounts(ctx, &own, &named, &others), "qelPassCacheGetCounts");
        check(own == 0 && named == 0 && others == 0, "an empty passphrase cache");
        checkStatus(qelPassCachePurge(ctx), "qelPassCachePurge");
    }
    {
        int32_t tokens = -1;
        checkStatus(qelCountTokens(ctx, &tokens), "qelCountTokens");
        check(tokens == 0, "no hardware token");
    }
    check(qelKeySetPropagateTrust(NULL, NULL) == QELError_BadParams, "propagation over no set is refused");

    hashes(ctx);
    hmac(ctx);
    ciphers(ctx);
    checkStatus(qelContextFree(ctx), "qelContextFree");
}

int main(void)
{
    checkStatus(qelSDKInit(QELSDKInit_NoService | QELSDKInit_NoHousekeeping), "qelSDKInit");
    check(qelSDKIsInitialized(), "the SDK is started");
    check(qelFIPSGetError() == QELError_NoErr, "no self-test failure is latched");
    context();
    checkStatus(qelSDKCleanup(), "qelSDKCleanup");
    check(!qelSDKIsInitialized(), "the SDK is down again");
    check(qelSDKCleanup() == QELError_BadParams, "a second clean-up is refused");
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
