// Session-key items and the session-key packet writers: session keys
// recovered from GnuPG's packets with passphrases and with RSA and ElGamal
// secret keys; our public-key and symmetric-key packets opened by GnuPG;
// hostile packet bodies refused before anything is read; passkeys of the
// wrong length refused; and no secret left in memory handed back.
#include "../keys/keys_fixture.h"

#include "qelAddHeaderModuleInternal.h"
#include "qelAlgorithms.h"
#include "qelCipherTestUtil.h"
#include "qelFlexFifoInternal.h"
#include "qelHashInternal.h"
#include "qelKeyID.h"
#include "qelKeyIDInternal.h"
#include "qelPipeTestModule.h"
#include "qelPKEModuleInternal.h"
#include "qelSessionKeyItemInternal.h"
#include "qelStringToKeyInternal.h"
#include "qelSymKeyESKInternal.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace ciphertest;
using keystest::dataPath;
using keystest::keyOrSubKeyByID;

Bytes hexOf(const std::uint8_t *p, std::size_t n) { return keystest::hex(p, n); }

Bytes mpi(std::uint16_t bits, std::size_t bytes)
{
    Bytes m;
    m += char(bits >> 8);
    m += char(bits & 0xFF);
    m += Bytes(bytes, '\x5A');
    return m;
}

class SessionKeyTest : public keystest::ContextTest {
protected:
    std::vector<std::uint8_t> bytesOf(const Bytes &b) { return {b.begin(), b.end()}; }

    // Adds a body; the list's length afterwards.
    QELStatus add(QELSessionKeyItem **list, std::int32_t code, const Bytes &body)
    {
        return qelSessionKeyItemAdd(ctx, list, code, body.data(), body.size());
    }

    Bytes keyFromPassphrase(const Bytes &eskBody, const Bytes &passphrase, std::int32_t *result = nullptr)
    {
        QELSessionKeyItem *list = nullptr;
        EXPECT_EQ(add(&list, QELAnnotation_SymmetricKeyESK, eskBody), 0);
        Bytes block(qelSessionKeyItemKeyLength(list), '\0');
        std::int32_t n = qelSessionKeyFromPassphrase(list, nullptr, passphrase.data(), passphrase.size(),
                                                     reinterpret_cast<std::uint8_t *>(block.data()));
        qelSessionKeyListFree(list);
        if (result != nullptr)
            *result = n;
        return n > 0 ? block.substr(0, std::size_t(n)) : Bytes();
    }
};

TEST_F(SessionKeyTest, KeysFromGnuPGPacketsWithPassphrasesAndSecretKeys)
{
    // Alice: RSA with an RSA encryption subkey; Bob: DSA with an ElGamal
    // subkey; each protected by "<name>-pass". The message also carries a
    // symmetric-key packet with the session key sealed under a passphrase.
    Gpg gpg;
    ASSERT_EQ(gpg.run("--import " + dataPath("keyedit_secret.gpg")), 0) << gpg.errors();
    const Bytes data = pattern(12345, 9);
    gpg.put("plain", data);
    ASSERT_EQ(gpg.run("--trust-model always --force-mdc --compress-algo none --cipher-algo AES256 --s2k-count 1024 "
                      "--passphrase both-ways -r alice@example.org -r bob@example.org -o " +
                      gpg.file("msg") + " --encrypt --symmetric " + gpg.file("plain")),
              0)
        << gpg.errors();
    const auto packets = cutPackets(gpg.get("msg"));
    QELKeyDB *db = openOwned(keystest::readFile(dataPath("keyedit_secret.gpg")));
    ASSERT_NE(db, nullptr);

    QELSessionKeyItem *list = nullptr;
    const Packet *encrypted = nullptr;
    for (const Packet &p : packets) {
        if (p.tag == 1)
            ASSERT_EQ(add(&list, QELAnnotation_PublicKeyESK, p.body), 0);
        else if (p.tag == 3)
            ASSERT_EQ(add(&list, QELAnnotation_SymmetricKeyESK, p.body), 0);
        else if (p.tag == 18)
            encrypted = &p;
    }
    ASSERT_NE(encrypted, nullptr);
    int publicItems = 0, passphraseItems = 0;
    std::vector<std::int32_t> tags;
    for (QELSessionKeyItem *item = list; item != nullptr; item = qelSessionKeyItemNext(item)) {
        tags.push_back(qelSessionKeyItemTag(item));
        Bytes key;
        if (qelSessionKeyItemKind(item) == 1) {
            ++publicItems;
            QELKeyID id{};
            ASSERT_EQ(qelSessionKeyItemKeyID(item, &id), 0);
            QELKeyObject *k = keyOrSubKeyByID(db, hexOf(qelKeyIDAtBytes(&id), 8));
            ASSERT_NE(k, nullptr);
            const Bytes pass = qelSessionKeyItemTag(item) == 257 ? "alice-pass" : "bob-pass";
            std::uint8_t *block = nullptr;
            EXPECT_LT(qelSessionKeyFromSecretKey(item, k, "wrong", 5, 0, 0, &block), 0);
            EXPECT_EQ(block, nullptr);
            std::int32_t n = qelSessionKeyFromSecretKey(item, k, pass.data(), pass.size(), 0, 0, &block);
            ASSERT_EQ(n, 33);
            key.assign(reinterpret_cast<char *>(block), std::size_t(n));
            qelSecureWipe(block, std::size_t(n));
            EXPECT_EQ(qelContextMemFree(qelKeyObjContext(k), block), 0);
        } else {
            ++passphraseItems;
            Bytes block(qelSessionKeyItemKeyLength(item), '\0');
            std::int32_t n = qelSessionKeyFromPassphrase(item, nullptr, "both-ways", 9,
                                                         reinterpret_cast<std::uint8_t *>(block.data()));
            ASSERT_EQ(n, 33);
            key = block.substr(0, 33);
        }
        EXPECT_EQ(std::uint8_t(key[0]), QELCipherAlgorithm_AES256);
        Opened o = openEncrypted(ctx, 18, encrypted->body, u8(key));
        EXPECT_TRUE(o.mdcMatches);
        EXPECT_TRUE(literalData(o.plain) == data);
    }
    EXPECT_EQ(publicItems, 2);
    EXPECT_EQ(passphraseItems, 1);
    std::sort(tags.begin(), tags.end());
    EXPECT_EQ(tags, (std::vector<std::int32_t>{1, 256 + 1, 256 + 16}));
    qelSessionKeyListFree(list);
}

TEST_F(SessionKeyTest, GnuPGOpensOurPublicKeyAndPassphrasePackets)
{
    // Recipients given as their top-level keys: the packets must name the
    // encryption subkeys (ElGamal under a DSA key, RSA under an RSA key).
    QELKeyDB *db = openOwned(keystest::readFile(dataPath("secret.gpg")));
    ASSERT_NE(db, nullptr);
    QELKeyObject *main = keystest::keyWithUserID(db, "main@example.org");
    QELKeyObject *plain = keystest::keyWithUserID(db, "plain@example.org");
    ASSERT_TRUE(main != nullptr && plain != nullptr);
    Gpg gpg;
    ASSERT_EQ(gpg.run("--import " + dataPath("secret.gpg")), 0) << gpg.errors();
    const Bytes data = pattern(7000, 4);
    const Bytes sessionKey = char(QELCipherAlgorithm_CAST5) + pattern(16, 77);
    for (std::int32_t version : {3, 4}) {
        SCOPED_TRACE(version);
        const Bytes salt = pattern(8, 5);
        QELStringToKey *s2k =
            qelS2KNewIterated(ctx, qelHashDescriptorFind(QELHashAlgorithm_SHA1), u8(salt), 4096);
        const Bytes phrase = "sym pass";
        QELSymKeyPassphrase entry{nullptr, nullptr, u8(phrase), phrase.size()};
        QELPipeModule *head = nullptr;
        QELPipeModule **slot =
            qelLiteralModuleCreate(ctx, &head, 4, qelFlexFifoDescriptor(), 'b', "x", 1, 0x60000000);
        QELCFBContext *cfb = qelCFBCreateForDescriptor(qelContextGetMemoryMgr(ctx),
                                                       qelCipherDescriptorFind(QELCipherAlgorithm_CAST5));
        ASSERT_EQ(qelCFBInit(cfb, sessionKey.data() + 1, nullptr), 0);
        const Bytes prefix = pattern(8, 6);
        slot = qelCipherEncryptModuleCreate(ctx, slot, 4, qelFlexFifoDescriptor(), cfb, u8(prefix), nullptr, 1);
        slot = qelSymKeyESKCreate(ctx, slot, 4, qelFlexFifoDescriptor(), s2k, &entry, QELCipherAlgorithm_AES128,
                                  u8(sessionKey));
        ASSERT_NE(slot, nullptr);
        QELPipeModule **pkeSlot = slot;
        slot = qelPKEModuleCreate(ctx, slot, version, u8(sessionKey), sessionKey.size());
        ASSERT_NE(slot, nullptr);
        QELPipeModule *pke = *pkeSlot;
        ASSERT_EQ(qelPKEModuleAddRecipient(pke, main), 0);
        ASSERT_EQ(qelPKEModuleAddRecipient(pke, plain), 0);
        ASSERT_NE(qelVarMemoryModuleCreatePlain(ctx, slot, QELVarMemoryNoLimit), nullptr);
        ASSERT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
        EXPECT_EQ(qelPKEModuleAddRecipient(pke, plain), QELError_BadParams); // data flows already
        std::uint64_t total = 0;
        void *buffer = nullptr;
        ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_QueryTotal, &total, 8), 0);
        ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer), 0);
        const Bytes message(static_cast<const char *>(buffer), total);
        EXPECT_EQ(qelMemFree(buffer), 0);
        qelPipeDestroy(head);
        s2k->destroy(s2k);

        // Public-key packets first, in the order added, then the
        // symmetric-key packet, then the data.
        EXPECT_EQ(std::uint8_t(message[0]), version == 3 ? 0x85 : 0xC1);
        const auto packets = cutPackets(message);
        ASSERT_EQ(packets.size(), 4u);
        EXPECT_EQ(packets[0].tag, 1);
        EXPECT_EQ(packets[1].tag, 1);
        EXPECT_EQ(packets[2].tag, 3);
        EXPECT_EQ(packets[3].tag, 18);
        EXPECT_EQ(hexOf(u8(packets[0].body) + 1, 8), "2E410E2D6F53EBF9");
        EXPECT_EQ(packets[0].body[9], 16);
        EXPECT_EQ(hexOf(u8(packets[1].body) + 1, 8), "E0FAB506A8EB618A");
        EXPECT_EQ(packets[1].body[9], 1);
        EXPECT_TRUE(keyFromPassphrase(packets[2].body, phrase) == sessionKey);

        gpg.put("msg", message);
        std::remove(gpg.file("out").c_str());
        EXPECT_EQ(gpg.run("-o " + gpg.file("out") + " --decrypt " + gpg.file("msg")), 0) << gpg.errors();
        EXPECT_TRUE(gpg.get("out") == data);
        // Without the secret keys GnuPG takes the passphrase packet.
        Gpg noKeys;
        noKeys.put("msg", message);
        EXPECT_EQ(noKeys.run("--passphrase 'sym pass' -o " + noKeys.file("out") + " --decrypt " + noKeys.file("msg")),
                  0)
            << noKeys.errors();
        EXPECT_TRUE(noKeys.get("out") == data);
    }
}

TEST_F(SessionKeyTest, HostileBodiesAreRefusedBeforeAnythingIsRead)
{
    const Bytes keyID(8, '\x11');
    auto pk = [&](int version, int algorithm, const Bytes &rest) {
        return char(version) + keyID + char(algorithm) + rest;
    };
    struct Case {
        const char *what;
        std::int32_t code;
        Bytes body;
        QELStatus status;
        std::int32_t tag;
    } cases[] = {
        {"no session-key packet", QELAnnotation_SymmetricKeyESK, "", 0, 0},
        {"symmetric too short", QELAnnotation_SymmetricKeyESK, Bytes("\x04\x07", 2), QELError_MalformedESK, 0},
        {"symmetric version 5", QELAnnotation_SymmetricKeyESK, Bytes("\x05\x07\x00\x02", 4),
         QELError_UnknownPacketVersion, 0},
        {"symmetric unknown cipher", QELAnnotation_SymmetricKeyESK, Bytes("\x04\x63\x00\x02", 4),
         QELError_UnknownESKAlgorithm, 0},
        {"specifier type 2", QELAnnotation_SymmetricKeyESK, Bytes("\x04\x07\x02\x02", 4), QELError_UnknownS2KType, 0},
        {"specifier unknown hash", QELAnnotation_SymmetricKeyESK, Bytes("\x04\x07\x00\x63", 4),
         QELError_UnknownHashAlgorithm, 0},
        {"specifier cut short", QELAnnotation_SymmetricKeyESK, Bytes("\x04\x07\x03\x02\x01\x02", 6),
         QELError_BadParams, 0},
        {"symmetric simple", QELAnnotation_SymmetricKeyESK, Bytes("\x04\x07\x00\x02", 4), 0, 1},
        {"public empty", QELAnnotation_PublicKeyESK, "", QELError_MalformedESK, 0},
        {"public version 5", QELAnnotation_PublicKeyESK, pk(5, 1, mpi(8, 1)), QELError_UnknownPacketVersion, 0},
        {"public version 1", QELAnnotation_PublicKeyESK, pk(1, 1, mpi(8, 1)), QELError_UnknownPacketVersion, 0},
        {"public nine bytes", QELAnnotation_PublicKeyESK, Bytes("\x03", 1) + keyID, QELError_MalformedESK, 0},
        {"RSA without its MPI", QELAnnotation_PublicKeyESK, pk(3, 1, ""), QELError_MalformedESK, 0},
        {"RSA bit count cut", QELAnnotation_PublicKeyESK, pk(3, 1, Bytes("\x04", 1)), QELError_MalformedESK, 0},
        {"RSA MPI past the body", QELAnnotation_PublicKeyESK, pk(3, 1, mpi(1024, 100)), QELError_MalformedESK, 0},
        {"RSA MPI of 65535 bits", QELAnnotation_PublicKeyESK, pk(3, 1, mpi(0xFFFF, 3)), QELError_MalformedESK, 0},
        {"RSA bytes behind the MPI", QELAnnotation_PublicKeyESK, pk(3, 1, mpi(1024, 128) + "x"),
         QELError_MalformedESK, 0},
        {"RSA exact", QELAnnotation_PublicKeyESK, pk(3, 1, mpi(1021, 128)), 0, 257},
        {"ElGamal one MPI", QELAnnotation_PublicKeyESK, pk(3, 16, mpi(1024, 128)), QELError_MalformedESK, 0},
        {"ElGamal second MPI past the body", QELAnnotation_PublicKeyESK, pk(3, 16, mpi(1024, 128) + mpi(1024, 127)),
         QELError_MalformedESK, 0},
        {"ElGamal first MPI past the body", QELAnnotation_PublicKeyESK, pk(3, 16, mpi(4000, 128) + mpi(1024, 128)),
         QELError_MalformedESK, 0},
        {"ElGamal bytes behind the pair", QELAnnotation_PublicKeyESK,
         pk(3, 16, mpi(1024, 128) + mpi(1024, 128) + "zz"), QELError_MalformedESK, 0},
        {"ElGamal exact", QELAnnotation_PublicKeyESK, pk(2, 16, mpi(1024, 128) + mpi(1017, 128)), 0, 272},
        {"unknown algorithm", QELAnnotation_PublicKeyESK, pk(4, 99, "anything"), 0, 355},
        {"other annotation", QELAnnotation_SignaturePacket, pk(3, 1, mpi(8, 1)), QELError_BadParams, 0},
    };
    QELSessionKeyItem *list = nullptr;
    std::vector<std::int32_t> kept;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(add(&list, c.code, c.body), c.status);
        if (c.status == 0)
            kept.push_back(c.tag);
    }
    std::vector<std::int32_t> got;
    for (QELSessionKeyItem *i = list; i != nullptr; i = qelSessionKeyItemNext(i))
        got.push_back(qelSessionKeyItemTag(i));
    EXPECT_EQ(got, kept); // refused bodies add nothing; the order is kept
    qelSessionKeyListFree(list);
    EXPECT_EQ(qelSessionKeyItemNext(nullptr), nullptr);
}

TEST_F(SessionKeyTest, KeyBlockLengthsKeyIDsAndTheNoPacketCase)
{
    QELSessionKeyItem *list = nullptr;
    ASSERT_EQ(add(&list, QELAnnotation_SymmetricKeyESK, ""), 0);
    ASSERT_EQ(add(&list, QELAnnotation_SymmetricKeyESK, Bytes("\x04\x07\x00\x02", 4) + Bytes(40, 'k')), 0);
    ASSERT_EQ(add(&list, QELAnnotation_PublicKeyESK, Bytes("\x03\x01\x02\x03\x04\x05\x06\x07\x08\x01", 10) +
                                                         mpi(1024, 128)),
              0);
    QELSessionKeyItem *second = qelSessionKeyItemNext(list);
    QELSessionKeyItem *third = qelSessionKeyItemNext(second);
    EXPECT_EQ(qelSessionKeyItemKeyLength(list), 33u);
    EXPECT_EQ(qelSessionKeyItemKeyLength(second), 41u);
    EXPECT_EQ(qelSessionKeyItemKeyLength(third), 130u);
    EXPECT_EQ(qelSessionKeyItemKind(third), 1);
    QELKeyID id{};
    ASSERT_EQ(qelSessionKeyItemKeyID(third, &id), 0);
    EXPECT_EQ(hexOf(qelKeyIDAtBytes(&id), 8), "0102030405060708");
    EXPECT_EQ(qelSessionKeyItemKeyID(list, &id), QELError_BadParams);

    // No session-key packet: IDEA keyed with the MD5 of the passphrase
    // (MD5("abc") from RFC 1321).
    std::uint8_t block[33] = {};
    ASSERT_EQ(qelSessionKeyFromPassphrase(list, nullptr, "abc", 3, block), 17);
    EXPECT_EQ(block[0], QELCipherAlgorithm_IDEA);
    EXPECT_EQ(hexOf(block + 1, 16), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(qelSessionKeyFromPassphrase(third, nullptr, "abc", 3, block), QELError_BadParams);
    qelSessionKeyListFree(list);
}

TEST_F(SessionKeyTest, PasskeysOfAnotherLengthAreRefusedNotPadded)
{
    // A literal specifier (type 4) takes the passkey as the key itself.
    const Bytes literalBody("\x04\x07\x04", 3);
    const Bytes exact = pattern(16, 3);
    std::int32_t n = 0;
    EXPECT_TRUE(keyFromPassphrase(literalBody, exact, &n) == char(QELCipherAlgorithm_AES128) + exact);
    for (std::size_t length : {std::size_t{0}, std::size_t{10}, std::size_t{15}, std::size_t{17}}) {
        SCOPED_TRACE(length);
        EXPECT_TRUE(keyFromPassphrase(literalBody, exact.substr(0, length) + Bytes(length > 16, 'x'), &n).empty());
        EXPECT_EQ(n, QELError_BadPassphrase);
    }
    // The same for the key that seals a session key, and for the writer.
    const Bytes sessionKey = char(QELCipherAlgorithm_AES128) + pattern(16, 8);
    QELStringToKey *literal = qelS2KNewLiteralA(ctx);
    const Bytes shortKey = exact.substr(0, 12);
    QELSymKeyPassphrase entry{nullptr, nullptr, u8(shortKey), shortKey.size()};
    QELPipeModule *head = nullptr;
    EXPECT_EQ(qelSymKeyESKCreate(ctx, &head, 4, qelFlexFifoDescriptor(), literal, &entry, QELCipherAlgorithm_AES128,
                                 u8(sessionKey)),
              nullptr);
    EXPECT_EQ(head, nullptr);
    entry.passphrase = u8(exact);
    entry.length = exact.size();
    QELPipeModule **slot = qelSymKeyESKCreate(ctx, &head, 4, qelFlexFifoDescriptor(), literal, &entry,
                                              QELCipherAlgorithm_AES128, u8(sessionKey));
    ASSERT_NE(slot, nullptr);
    ASSERT_NE(qelVarMemoryModuleCreatePlain(ctx, slot, QELVarMemoryNoLimit), nullptr);
    ASSERT_EQ(qelPipePumpBuffer(head, "", 0, nullptr, nullptr), 0);
    std::uint64_t total = 0;
    void *buffer = nullptr;
    ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_QueryTotal, &total, 8), 0);
    ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer), 0);
    const auto packets = cutPackets(Bytes(static_cast<const char *>(buffer), total));
    EXPECT_EQ(qelMemFree(buffer), 0);
    qelPipeDestroy(head);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_TRUE(keyFromPassphrase(packets[0].body, exact) == sessionKey);
    EXPECT_TRUE(keyFromPassphrase(packets[0].body, shortKey, &n).empty());
    EXPECT_EQ(n, QELError_BadPassphrase);
    literal->destroy(literal);
}

TEST_F(SessionKeyTest, WriterVersionsAndEmptyLists)
{
    const Bytes salt = pattern(8, 1);
    QELStringToKey *s2k = qelS2KNewIterated(ctx, qelHashDescriptorFind(QELHashAlgorithm_SHA1), u8(salt), 1024);
    const Bytes phrase = "p";
    QELSymKeyPassphrase entry{nullptr, nullptr, u8(phrase), 1};
    struct Case {
        std::int32_t version;
        const QELSymKeyPassphrase *list;
        std::size_t packets;
    } cases[] = {{3, &entry, 0}, {4, nullptr, 0}, {4, &entry, 1}};
    for (const Case &c : cases) {
        QELPipeModule *head = nullptr;
        QELPipeModule **slot =
            qelSymKeyESKCreate(ctx, &head, c.version, qelFlexFifoDescriptor(), s2k, c.list, QELCipherAlgorithm_CAST5,
                               nullptr);
        ASSERT_NE(slot, nullptr);
        ASSERT_NE(qelVarMemoryModuleCreatePlain(ctx, slot, QELVarMemoryNoLimit), nullptr);
        ASSERT_EQ(qelPipePumpBuffer(head, "data", 4, nullptr, nullptr), 0);
        std::uint64_t total = 0;
        void *buffer = nullptr;
        ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_QueryTotal, &total, 8), 0);
        ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer), 0);
        const Bytes out(static_cast<const char *>(buffer), total);
        EXPECT_EQ(qelMemFree(buffer), 0);
        qelPipeDestroy(head);
        EXPECT_EQ(out.substr(out.size() - 4), "data");
        if (c.packets == 1) {
            // 0xC3, length 13: version 4, cipher, the 11-byte specifier.
            EXPECT_EQ(out.substr(0, 4), Bytes("\xC3\x0D\x04\x03", 4));
            EXPECT_TRUE(out.substr(4, 11) == Bytes(reinterpret_cast<char *>(s2k->specifier), 11));
        } else {
            EXPECT_EQ(out, "data");
        }
    }
    QELPipeModule *head = nullptr;
    EXPECT_EQ(qelSymKeyESKCreate(ctx, &head, 4, qelFlexFifoDescriptor(), s2k, &entry, 99, nullptr), nullptr);
    EXPECT_EQ(head, nullptr);
    s2k->destroy(s2k);
}

// No block goes back to the memory manager with a session key or a derived
// key still in it: not on success, not after a failure.
TEST(SessionKeySecrets, NothingSecretIsLeftInFreedMemory)
{
    qeltest::TestHeap heap;
    std::vector<Bytes> secrets;
    int leaks = 0;
    int freed = 0;
    heap.onFree = [&](const std::uint8_t *payload, std::size_t length, bool) {
        ++freed;
        for (const Bytes &s : secrets)
            if (std::search(payload, payload + length, s.begin(), s.end()) != payload + length)
                ++leaks;
    };
    QELContextParams params{QELSDKVersion, heap.make()};
    QELContext *context = nullptr;
    ASSERT_EQ(qelContextNewCustom(&params, &context), 0);

    const Bytes sessionKey = char(QELCipherAlgorithm_AES128) + pattern(16, 21);
    const Bytes phrase = "secret phrase";
    const Bytes salt = pattern(8, 22);
    QELStringToKey *s2k = qelS2KNewIterated(context, qelHashDescriptorFind(QELHashAlgorithm_SHA1), u8(salt), 1024);
    Bytes kek(16, '\0');
    ASSERT_EQ(s2k->deriveKey(s2k, phrase.data(), phrase.size(), kek.data(), 16), 0);
    secrets = {sessionKey.substr(1), kek};

    // The writer: a good passphrase, then one whose passkey cannot serve,
    // so the call fails after the first packet was sealed.
    QELStringToKey *literal = qelS2KNewLiteralA(context);
    QELSymKeyPassphrase bad{nullptr, literal, u8(phrase), phrase.size()};
    QELSymKeyPassphrase good{&bad, nullptr, u8(phrase), phrase.size()};
    QELPipeModule *head = nullptr;
    EXPECT_EQ(qelSymKeyESKCreate(context, &head, 4, qelFlexFifoDescriptor(), s2k, &good, QELCipherAlgorithm_AES128,
                                 u8(sessionKey)),
              nullptr);
    EXPECT_EQ(head, nullptr);
    good.next = nullptr;
    QELPipeModule **slot = qelSymKeyESKCreate(context, &head, 4, qelFlexFifoDescriptor(), s2k, &good, QELCipherAlgorithm_AES128,
                              u8(sessionKey));
    ASSERT_NE(slot, nullptr);
    // The PKE module's copy of the session key, dropped unused.
    slot = qelPKEModuleCreate(context, slot, 4, u8(sessionKey), sessionKey.size());
    ASSERT_NE(slot, nullptr);
    // The cipher module with its keyed CFB object; its downstream fails.
    QELCFBContext *cfb = qelCFBCreateForDescriptor(qelContextGetMemoryMgr(context),
                                                   qelCipherDescriptorFind(QELCipherAlgorithm_AES128));
    ASSERT_EQ(qelCFBInit(cfb, sessionKey.data() + 1, nullptr), 0);
    std::uint8_t prefix[18] = {};
    QELPipeModule *decrypt = nullptr;
    QELPipeModule **decryptSlot = qelCipherDecryptModuleCreate(context, &decrypt, cfb, nullptr, 1, prefix);
    ASSERT_NE(decryptSlot, nullptr);
    pipetest::Record failing;
    failing.failWrite = QELError_WriteFailed;
    failing.failAfterBytes = 10;
    *decryptSlot = pipetest::makeRecorder(context, &failing);
    const Bytes plain = pattern(20000, 23);
    EXPECT_EQ(qelPipeWriteAll(decrypt, u8(plain), plain.size()), QELError_WriteFailed);
    qelPipeDestroy(decrypt);
    qelPipeDestroy(head);

    // Taking a sealed session key out of a packet.
    std::uint8_t body[64] = {4, QELCipherAlgorithm_AES128};
    std::memcpy(body + 2, s2k->specifier, 11);
    QELCFBContext *sealer = qelCFBCreateForDescriptor(qelContextGetMemoryMgr(context),
                                                      qelCipherDescriptorFind(QELCipherAlgorithm_AES128));
    ASSERT_EQ(qelCFBInit(sealer, kek.data(), nullptr), 0);
    ASSERT_EQ(qelCFBEncryptInternal(sealer, sessionKey.data(), 17, body + 13), 0);
    ASSERT_EQ(qelCFBFree(sealer), 0);
    QELSessionKeyItem *list = nullptr;
    ASSERT_EQ(qelSessionKeyItemAdd(context, &list, QELAnnotation_SymmetricKeyESK, body, 30), 0);
    std::uint8_t block[33] = {};
    EXPECT_EQ(qelSessionKeyFromPassphrase(list, nullptr, phrase.data(), phrase.size(), block), 17);
    EXPECT_TRUE(Bytes(reinterpret_cast<char *>(block), 17) == sessionKey);
    qelSecureWipe(block, sizeof block);
    qelSessionKeyListFree(list);

    s2k->destroy(s2k);
    literal->destroy(literal);
    EXPECT_EQ(qelContextFree(context), 0);
    heap.onFree = nullptr;
    EXPECT_GT(freed, 20);
    EXPECT_EQ(leaks, 0);
}

} // namespace
