// Every call of the service protocol, run both ways from one table: in
// process (the calling thread sees no service) and through a test service
// in a child process that serves it with its own SDK. Each run works on a
// database opened for it from the same key ring (itself a call), and the
// outputs agree once handles, which name objects of each side's own
// process, are replaced by the object they name in the opened ring.
#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelFileSpecInternal.h"
#include "qelKeyGenInternal.h"
#include "qelKeyGenParamsInternal.h"
#include "qelPkAlgInternal.h"
#include "qelKeyID.h"
#include "qelMemoryInternal.h"
#include "qelPkAlg.h"
#include "qelRPCCallsInternal.h"
#include "qelRPCClientInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"
#include "qelTestService.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using qeltest::TestService;
using u64 = std::uint64_t;

auto *const g_env = qeltest::addHomeEnvironment("qelrpccalls");

std::string ringPath() { return std::string(QEL_SOURCE_DIR) + "/tests/keys/data/keyedit_secret.gpg"; }

std::vector<std::uint8_t> ringBytes()
{
    std::ifstream in(ringPath(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One object of a key-tree array.
struct Entry {
    u64 handle;
    std::uint32_t flags;
    int level;
    int top; // index of its top-level entry
};

int typeOf(std::uint32_t flags)
{
    for (int t = 0; t < 5; ++t)
        if (flags & (1u << t))
            return t + 1;
    return 6;
}

void parseTree(const u64 *words, std::size_t n, std::size_t &pos, u64 entries, int level, int top,
               std::vector<Entry> &out)
{
    for (u64 e = 0; e < entries && pos + 2 <= n; ++e) {
        const int self = int(out.size());
        out.push_back({words[pos], std::uint32_t(words[pos + 1]), level, level == 0 ? self : top});
        pos += 2;
        if (typeOf(std::uint32_t(words[pos - 1])) != 4 && pos < n) {
            const u64 children = words[pos++];
            parseTree(words, n, pos, children, level + 1, level == 0 ? self : top, out);
        }
    }
}

// One way of running calls, with the database it opened.
struct Side {
    Side(bool service, QELContext *ctx) : throughService(service), context(ctx) {}
    bool throughService;
    QELContext *context;
    u64 db = 0;
    std::vector<Entry> entries;
    std::vector<QELRPCItem> keep; // outputs of preparing calls, released at the end
    std::vector<u64> extraDBs;    // databases made by a row, released at the end

    QELStatus run(std::uint32_t call, std::span<const QELRPCItem> in, std::span<QELRPCItem> out)
    {
        qelRPCSetServingThreadForTesting(!throughService);
        QELStatus s = qelRPCInvoke(context, call, in, out);
        qelRPCSetServingThreadForTesting(false);
        return s;
    }
    // A call whose single byte-string output feeds a later one.
    QELRPCItem prepare(std::uint32_t call, std::vector<QELRPCItem> in)
    {
        std::array<QELRPCItem, 1> out{};
        EXPECT_EQ(run(call, in, out), QELError_NoErr) << "preparing call " << call;
        if (call == QELRPCCall_KeyDBNewInMemory)
            extraDBs.push_back(out[0].value);
        keep.push_back(out[0]);
        QELRPCItem item = qelRPCBytes(out[0].block, out[0].length);
        item.value = out[0].value;
        return item;
    }
    void open()
    {
        const std::vector<std::uint8_t> ring = ringBytes();
        const std::array<QELRPCItem, 1> in{qelRPCBytes(ring.data(), ring.size())};
        std::array<QELRPCItem, 4> out{};
        ASSERT_EQ(run(QELRPCCall_KeyDBOpenFromBuffer, in, out), QELError_NoErr);
        db = out[0].value;
        std::vector<u64> words(out[3].length / 8);
        std::memcpy(words.data(), out[3].block, words.size() * 8);
        std::size_t pos = 0;
        parseTree(words.data(), words.size(), pos, out[1].value, 0, 0, entries);
        qelRPCItemsRelease(out);
    }
    void close()
    {
        extraDBs.push_back(db);
        for (u64 handle : extraDBs) {
            const std::array<QELRPCItem, 1> in{qelRPCValue(handle)};
            static_cast<void>(run(QELRPCCall_KeyDBRelease, in, {}));
        }
        extraDBs.clear();
        qelRPCItemsRelease(keep);
        keep.clear();
        entries.clear();
    }
    // The n-th top-level key, and the n-th child of a type under it.
    u64 key(int n) const
    {
        for (const Entry &e : entries)
            if (e.level == 0 && n-- == 0)
                return e.handle;
        return 0;
    }
    u64 child(int keyIndex, int type, int n) const
    {
        const u64 k = key(keyIndex);
        int top = -1;
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i].handle == k)
                top = int(i);
        for (const Entry &e : entries)
            if (e.level == 1 && e.top == top && typeOf(e.flags) == type && n-- == 0)
                return e.handle;
        return 0;
    }
    u64 grandchild(int keyIndex, int childType, int childN, int n) const
    {
        const u64 c = child(keyIndex, childType, childN);
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i].handle == c) {
                for (std::size_t j = i + 1; j < entries.size() && entries[j].level == 2; ++j)
                    if (n-- == 0)
                        return entries[j].handle;
            }
        return 0;
    }
    // A handle as the object it names in the opened ring ("#i"), or in
    // order of first sight among the others ("new#k").
    std::string name(u64 handle, std::map<u64, int> &fresh) const
    {
        if (handle == 0)
            return "0";
        if (handle == db)
            return "db";
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i].handle == handle)
                return "#" + std::to_string(i);
        auto [it, added] = fresh.emplace(handle, int(fresh.size()));
        return "new#" + std::to_string(it->second);
    }
};

// How an output is compared: exactly, with its handles named, by length
// only (random or randomised output), or not at all.
// NonEmpty: random output whose length varies too (an ElGamal ciphertext's
// numbers may have leading zero bits); the decrypt row checks its content.
enum class Cmp { Exact, Handles, Length, NonEmpty, Ignore, AfterHandles };

std::string render(const Side &side, const QELRPCItem &item, char kind, Cmp cmp, std::map<u64, int> &fresh)
{
    std::ostringstream o;
    const bool bytes = kind == 's' || kind == 'k';
    if (cmp == Cmp::Ignore)
        return "-";
    if (cmp == Cmp::Length)
        return "len " + std::to_string(bytes ? item.length : 0);
    if (cmp == Cmp::NonEmpty)
        return bytes && item.length != 0 ? "bytes" : "empty";
    if (cmp == Cmp::AfterHandles) {
        // An information block past its reference and packet pointer.
        const auto *q = static_cast<const std::uint8_t *>(item.block);
        for (std::size_t i = 16; i < item.length; ++i)
            o << std::hex << int(q[i]) << ' ';
        return "len " + std::to_string(item.length) + ": " + o.str();
    }
    if (!bytes) {
        if (cmp == Cmp::Handles)
            return side.name(item.value, fresh);
        return std::to_string(item.value);
    }
    const auto *p = static_cast<const std::uint8_t *>(item.block);
    if (cmp == Cmp::Handles) {
        for (std::size_t i = 0; i + 8 <= item.length; i += 8) {
            u64 w;
            std::memcpy(&w, p + i, 8);
            o << (w > 0xFFFFFFFFull ? side.name(w, fresh) : std::to_string(w)) << ' ';
        }
        return o.str();
    }
    for (std::size_t i = 0; i < item.length; ++i)
        o << std::hex << int(p[i]) << ' ';
    return o.str();
}

struct Row {
    const char *name;
    std::uint32_t call;
    std::function<std::vector<QELRPCItem>(Side &)> inputs;
    std::vector<Cmp> outputs; // one per reply item (missing ones: Exact)
};

QELRPCItem pass(const char *text) { return qelRPCBytes(text, std::strlen(text)); }

// A passphrase group: text, not a passkey, no caching.
void addPass(std::vector<QELRPCItem> &items, const char *text)
{
    items.push_back(pass(text));
    items.push_back(qelRPCValue(0));
    items.push_back(qelRPCValue(0));
    items.push_back(qelRPCValue(0));
}

QELKeyID aliceID()
{
    QELKeyID id{};
    id.valid = 1;
    id.length = 8;
    id.algorithm = 255;
    const std::uint8_t bytes[8] = {0xA9, 0xF6, 0x50, 0xB8, 0x92, 0xF6, 0x0E, 0x0E};
    std::memcpy(id.bytes, bytes, 8);
    return id;
}

const std::uint8_t kDigest[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
const char kMessage[] = "sixteen byte key";
const std::uint32_t kCiphers[3] = {9, 8, 7};
const char kConfig[] = "slot=1";

// A key pair made here, as key generation hands it to calls 48 and 49: the
// exported secret material and the flat parameters. Made once, so both ways
// add the same key.
struct Generated {
    std::vector<std::uint8_t> secret;
    std::vector<std::uint8_t> flat;
};

Generated generate(QELContext *context, bool primary)
{
    QELKeyGenRequest r{};
    r.context = context;
    r.algorithm = QELPublicKeyAlgorithm_RSA;
    r.bits = 1024;
    r.primaryKey = primary;
    r.fastGeneration = 1;
    r.creationGiven = true;
    r.creation = 1795000000;
    QELSecretKeyObject *key = nullptr;
    QELKeyGenParams *params = nullptr;
    Generated g;
    EXPECT_EQ(qelKeyGenMakeKeyPair(r, &key, &params), QELError_NoErr);
    if (key == nullptr || params == nullptr)
        return g;
    g.secret.resize(key->secretDataLength(key));
    key->exportSecretData(key, g.secret.data());
    std::uint8_t *flat = nullptr;
    std::uint64_t flatLength = 0;
    EXPECT_EQ(qelKeyGenParamsFlatten(params, &flat, &flatLength), QELError_NoErr);
    g.flat.assign(flat, flat + flatLength);
    static_cast<void>(qelContextMemFree(context, flat));
    static_cast<void>(key->destroy(key));
    qelKeyGenParamsFree(params);
    return g;
}

// Alice (0, RSA: user IDs "Alice Work" and "Alice", the second certified by
// Bob; an encryption subkey), Bob (1, DSA with an ElGamal subkey), Carol
// (2, RSA, Bob her designated revoker) and Dave (3, expired).
std::vector<Row> rows()
{
    using V = std::vector<QELRPCItem>;
    auto v = [](u64 x) { return qelRPCValue(x); };
    std::vector<Row> r;
    r.push_back({"raw packet", 1, [=](Side &s) { return V{v(s.key(0))}; }, {}});
    r.push_back({"find key by ID", 2, [=](Side &s) {
                     static const QELKeyID id = aliceID();
                     return V{v(s.db), qelRPCBytes(&id, sizeof id), v(0), v(0)};
                 }, {Cmp::Handles}});
    r.push_back({"encrypt", 3, [=](Side &s) {
                     return V{v(s.child(0, 2, 0)), qelRPCBytes(kMessage, 16), v(QELPkFormat_RFC4880)};
                 }, {Cmp::NonEmpty}});
    r.push_back({"decrypt", 4, [=](Side &s) {
                     QELRPCItem c = s.prepare(3, {v(s.child(0, 2, 0)), qelRPCBytes(kMessage, 16), v(QELPkFormat_RFC4880)});
                     V in{v(s.child(0, 2, 0))};
                     addPass(in, "alice-pass");
                     in.push_back(c);
                     in.push_back(v(QELPkFormat_RFC4880));
                     return in;
                 }, {}});
    r.push_back({"sign", 6, [=](Side &s) {
                     V in{v(s.key(0))};
                     addPass(in, "alice-pass");
                     in.push_back(v(2));
                     in.push_back(qelRPCBytes(kDigest, 20));
                     in.push_back(v(QELPkFormat_RFC4880));
                     return in;
                 }, {}});
    r.push_back({"verify", 5, [=](Side &s) {
                     V sign{v(s.key(0))};
                     addPass(sign, "alice-pass");
                     sign.push_back(v(2));
                     sign.push_back(qelRPCBytes(kDigest, 20));
                     sign.push_back(v(QELPkFormat_RFC4880));
                     QELRPCItem sig = s.prepare(6, sign);
                     return V{v(s.key(0)), qelRPCBytes(kDigest, 20), v(2), sig, v(QELPkFormat_RFC4880)};
                 }, {}});
    r.push_back({"unlock", 7, [=](Side &s) {
                     V in{v(s.key(0))};
                     addPass(in, "alice-pass");
                     return in;
                 }, {}});
    r.push_back({"unlock, wrong passphrase", 7, [=](Side &s) {
                     V in{v(s.key(1))};
                     addPass(in, "alice-pass");
                     return in;
                 }, {}});
    r.push_back({"operation sizes", 8, [=](Side &s) { return V{v(s.key(0)), v(1), v(0), v(1), v(QELPkFormat_RFC4880)}; }, {}});
    r.push_back({"locking info", 9, [=](Side &s) { return V{v(s.key(1))}; }, {}});
    r.push_back({"fetch info, user ID", 10, [=](Side &s) { return V{v(s.child(0, 3, 1))}; }, {Cmp::AfterHandles}});
    r.push_back({"open files", 11, [=](Side &) {
                     static QELFileSpec *spec = [] {
                         QELFileSpec *f = nullptr;
                         EXPECT_EQ(qelFileSpecNewFromPath(qelMemMgrGetGlobal(), ringPath().c_str(), &f), QELError_NoErr);
                         return f;
                     }();
                     V in{v(0), QELRPCItem{}, QELRPCItem{}};
                     in[1].spec = spec;
                     in[2].spec = spec;
                     return in;
                 }, {Cmp::Ignore, Cmp::Exact, Cmp::Length}});
    r.push_back({"commit", 13, [=](Side &s) { return V{v(s.db)}; }, {Cmp::Handles}});
    r.push_back({"disable", 15, [=](Side &s) { return V{v(s.key(0)), v(0)}; }, {}});
    r.push_back({"axiomatic", 16, [=](Side &s) {
                     V in{v(s.key(1)), v(1), v(1)};
                     addPass(in, "bob-pass");
                     return in;
                 }, {}});
    r.push_back({"trust propagation", 17, [=](Side &s) {
                     static u64 ids[2];
                     ids[0] = s.key(0);
                     ids[1] = s.key(1);
                     return V{v(s.db), qelRPCBytes(ids, 16), v(0), v(1800000000)};
                 }, {Cmp::Handles}});
    r.push_back({"signature check of a set", 18, [=](Side &s) {
                     static u64 ids[1];
                     ids[0] = s.key(0);
                     return V{v(s.db), qelRPCBytes(ids, 8), v(0), v(1)};
                 }, {Cmp::Handles}});
    r.push_back({"count and check CRLs", 19, [=](Side &s) {
                     static u64 ids[1];
                     ids[0] = s.key(0);
                     return V{v(s.db), qelRPCBytes(ids, 8), v(0), v(1)};
                 }, {Cmp::Exact, Cmp::Handles}});
    r.push_back({"check one signature", 20, [=](Side &s) {
                     return V{v(s.db), v(s.grandchild(0, 3, 1, 1)), v(0), v(1), v(0)};
                 }, {}});
    r.push_back({"generate a key", 21, [=](Side &s) {
                     static const char uid[] = "Gen <gen@example.org>";
                     V in{v(s.db), v(0), v(1), v(1024), v(0), v(1795000000), v(0), qelRPCBytes(uid, sizeof uid - 1),
                          pass("gen-pass"), v(0), qelRPCBytes(nullptr, 0), v(0), v(0), v(0), v(0),
                          v(1), v(0), v(0), v(0), // fast primes, no entropy check, no token
                          qelRPCBytes(nullptr, 0), v(0), qelRPCBytes(nullptr, 0), v(0)};
                     for (int i = 0; i < 3; ++i)
                         in.push_back(qelRPCBytes(nullptr, 0));
                     for (u64 x : {u64(0), u64(0), u64(0), u64(0)})
                         in.push_back(v(x));
                     return in;
                 }, {Cmp::Handles, Cmp::Handles}});
    r.push_back({"add a generated key", 48, [=](Side &s) {
                     static const Generated g = generate(s.context, true);
                     static const char uid[] = "Added <added@example.org>";
                     V in{v(s.db), qelRPCBytes(g.secret.data(), g.secret.size()),
                          qelRPCBytes(g.flat.data(), g.flat.size()), qelRPCBytes(uid, sizeof uid - 1),
                          qelRPCBytes(nullptr, 0), v(0), qelRPCBytes(nullptr, 0), v(0)};
                     addPass(in, "");
                     return in;
                 }, {Cmp::Handles, Cmp::Handles}});
    r.push_back({"add a generated subkey", 49, [=](Side &s) {
                     static const Generated g = generate(s.context, false);
                     V in{v(s.key(0)), qelRPCBytes(g.secret.data(), g.secret.size()),
                          qelRPCBytes(g.flat.data(), g.flat.size())};
                     addPass(in, "alice-pass");
                     return in;
                 }, {Cmp::Handles, Cmp::Handles}});
    r.push_back({"add user ID", 22, [=](Side &s) {
                     static const char uid[] = "Alice Third <alice@third.example>";
                     V in{v(s.key(0)), v(0), v(0), qelRPCBytes(uid, sizeof uid - 1)};
                     addPass(in, "alice-pass");
                     return in;
                 }, {Cmp::Handles}});
    r.push_back({"certify user ID", 23, [=](Side &s) {
                     V in{v(s.child(2, 3, 0)), v(s.key(0))};
                     addPass(in, "alice-pass");
                     for (u64 x : {u64(1), u64(1795000000), u64(0), u64(0), u64(0)})
                         in.push_back(v(x));
                     in.push_back(qelRPCBytes(nullptr, 0));
                     return in;
                 }, {Cmp::Handles}});
    r.push_back({"set primary user ID", 24, [=](Side &s) {
                     V in{v(s.child(0, 3, 1))};
                     addPass(in, "alice-pass");
                     return in;
                 }, {Cmp::Handles}});
    r.push_back({"revoke a certification", 25, [=](Side &s) {
                     V in{v(s.grandchild(0, 3, 1, 1))};
                     addPass(in, "bob-pass");
                     return in;
                 }, {Cmp::Handles}});
    r.push_back({"revoke a subkey", 26, [=](Side &s) {
                     V in{v(s.child(0, 2, 0))};
                     addPass(in, "alice-pass");
                     return in;
                 }, {Cmp::Handles}});
    r.push_back({"change passphrase", 27, [=](Side &s) {
                     return V{v(s.db), v(s.key(0)), v(0), pass("alice-pass"), pass("new-pass"), v(0), v(0), v(0)};
                 }, {}});
    r.push_back({"passphrase is valid", 28, [=](Side &s) {
                     V in{v(s.key(2))};
                     addPass(in, "carol-pass");
                     return in;
                 }, {}});
    r.push_back({"owner trust", 29, [=](Side &s) { return V{v(s.key(1)), v(5)}; }, {}});
    r.push_back({"passphrase to passkey", 30, [=](Side &s) { return V{v(s.key(0)), pass("alice-pass")}; }, {}});
    r.push_back({"add revokers", 31, [=](Side &s) {
                     static u64 ids[1];
                     ids[0] = s.key(1);
                     V in{v(s.key(0))};
                     addPass(in, "alice-pass");
                     in.push_back(qelRPCBytes(ids, 8));
                     in.push_back(v(0x80));
                     return in;
                 }, {Cmp::Handles}});
    r.push_back({"preferences", 32, [=](Side &s) {
                     V in{v(s.key(0))};
                     addPass(in, "alice-pass");
                     in.push_back(qelRPCBytes(kCiphers, sizeof kCiphers));
                     in.push_back(qelRPCBytes(nullptr, 0));
                     for (u64 x : {u64(0), u64(0), u64(0), u64(0)})
                         in.push_back(v(x));
                     return in;
                 }, {Cmp::Handles}});
    r.push_back({"copy an object", 33, [=](Side &s) {
                     QELRPCItem target = s.prepare(35, {});
                     return V{v(target.value), v(s.child(1, 3, 0))};
                 }, {Cmp::Handles, Cmp::Handles}});
    r.push_back({"remove an object", 34, [=](Side &s) { return V{v(s.db), v(s.child(0, 3, 0))}; }, {}});
    r.push_back({"new in-memory database", 35, [=](Side &) { return V{}; }, {Cmp::Handles}});
    r.push_back({"fetch all keys", 36, [=](Side &s) { return V{v(s.db)}; }, {Cmp::Exact, Cmp::Handles}});
    // A poll answers a status; a timed event credits bits that depend on
    // the moment.
    r.push_back({"random pool poll", 37, [=](Side &) { return V{v(0), v(0), v(0), v(1)}; }, {}});
    r.push_back({"random pool status", 38, [=](Side &) { return V{}; },
                 {Cmp::Ignore, Cmp::Exact, Cmp::Exact, Cmp::Ignore, Cmp::Ignore}});
    r.push_back({"random bytes", 39, [=](Side &) { return V{v(24), v(0)}; }, {Cmp::Length}});
    r.push_back({"take client changes", 40, [=](Side &s) { return V{v(s.db)}; },
                 {Cmp::Exact, Cmp::Handles, Cmp::Handles}});
    r.push_back({"random add bytes", 41, [=](Side &) { return V{qelRPCBytes(kMessage, 16)}; }, {}});
    r.push_back({"purge passphrase cache", 42, [=](Side &) { return V{}; }, {}});
    r.push_back({"add a key set", 43, [=](Side &s) {
                     static u64 ids[1];
                     ids[0] = s.key(2);
                     QELRPCItem target = s.prepare(35, {});
                     return V{v(s.db), v(target.value), qelRPCBytes(ids, 8), v(1)};
                 }, {Cmp::Handles}});
    r.push_back({"seed file", 44, [=](Side &) {
                     static QELFileSpec *spec = [] {
                         QELFileSpec *f = nullptr;
                         const std::string path = g_env->dir() + "/calls-seed.rnd";
                         EXPECT_EQ(qelFileSpecNewFromPath(qelMemMgrGetGlobal(), path.c_str(), &f), QELError_NoErr);
                         return f;
                     }();
                     V in{QELRPCItem{}};
                     in[0].spec = spec;
                     return in;
                 }, {}});
    r.push_back({"reserved", 46, [=](Side &) { return V{}; }, {}});
    r.push_back({"stir", 47, [=](Side &) { return V{}; }, {}});
    r.push_back({"token count", 50, [=](Side &) { return V{}; }, {}});
    r.push_back({"token info", 51, [=](Side &) { return V{v(0), v(0)}; }, {}});
    r.push_back({"token key command", 52, [=](Side &s) {
                     return V{v(s.key(0)), v(0), v(1), pass("pin"), v(0), qelRPCBytes(nullptr, 0), v(0), v(0)};
                 }, {}});
    r.push_back({"token copy key", 53, [=](Side &s) {
                     static const QELKeyID id = aliceID();
                     return V{v(s.db), qelRPCBytes(&id, sizeof id), v(0xFFFFFFFFu), pass("pin")};
                 }, {}});
    r.push_back({"token set secret", 54, [=](Side &) { return V{v(0), pass("pin")}; }, {}});
    r.push_back({"token submit secret", 55, [=](Side &) { return V{v(0), pass("pin")}; }, {}});
    r.push_back({"token put certificate", 56, [=](Side &) {
                     return V{v(1), v(2), pass("name"), pass("pin"), pass("certificate")};
                 }, {}});
    r.push_back({"token put data", 57, [=](Side &) { return V{v(1), v(2), pass("data"), pass("name")}; }, {}});
    r.push_back({"token get data", 58, [=](Side &) { return V{v(1), v(2), pass("name")}; }, {}});
    r.push_back({"token configuration", 59, [=](Side &) { return V{qelRPCBytes(kConfig, sizeof kConfig)}; }, {}});
    r.push_back({"token replace secret", 60, [=](Side &) { return V{v(0), pass("old"), pass("new")}; }, {}});
    r.push_back({"close unreferenced", 61, [=](Side &) { return V{}; }, {}});
    r.push_back({"keep alive", 62, [=](Side &s) { return V{v(s.db), v(10)}; }, {}});
    r.push_back({"passphrase cache counts", 63, [=](Side &) { return V{}; }, {}});
    r.push_back({"release", 14, [=](Side &s) { return V{v(s.db)}; }, {}});
    return r;
}

class RPCCalls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        qelRPCResetForTesting();
        // The service forks before anything here has started.
        service = new TestService(TestService::InChild{}, g_env->dir() + "/calls");
        ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
        qelRPCSetSocketPathForTesting(service->path().c_str());
        ASSERT_EQ(qelRPCConnect(1), QELError_NoErr);
        ASSERT_EQ(qelContextNew(QELSDKVersion, &context), QELError_NoErr);
        // Signatures need entropy on both sides: a poll of the system sources.
        const std::array<QELRPCItem, 4> poll{qelRPCValue(0), qelRPCValue(0), qelRPCValue(0), qelRPCValue(1)};
        for (bool throughService : {false, true})
            for (int i = 0; i < 4; ++i)
                static_cast<void>(Side(throughService, context).run(QELRPCCall_RandomPoolAddEvent, poll, {}));
    }
    static void TearDownTestSuite()
    {
        static_cast<void>(qelContextFree(context));
        static_cast<void>(qelSDKForceCleanup());
        delete service;
        qelRPCResetForTesting();
        qelRPCSetSocketPathForTesting(nullptr);
    }
    static TestService *service;
    static QELContext *context;
};
TestService *RPCCalls::service = nullptr;
QELContext *RPCCalls::context = nullptr;

struct Outcome {
    QELStatus status;
    std::vector<std::string> outputs;
};

Outcome runRow(const Row &row, Side &side)
{
    side.open();
    const QELRPCCallInfo *info = qelRPCCallFind(row.call);
    std::vector<QELRPCItem> in = row.inputs(side);
    std::vector<QELRPCItem> out(info->reply.size());
    Outcome o;
    o.status = side.run(row.call, in, out);
    std::map<u64, int> fresh;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const Cmp cmp = i < row.outputs.size() ? row.outputs[i] : Cmp::Exact;
        o.outputs.push_back(render(side, out[i], info->reply[i], cmp, fresh));
    }
    if (o.status == QELError_NoErr &&
        (row.call == QELRPCCall_KeyDBOpenFiles || row.call == QELRPCCall_KeyDBNewInMemory))
        side.extraDBs.push_back(out[0].value);
    qelRPCItemsRelease(out);
    if (row.call != QELRPCCall_KeyDBRelease)
        side.close();
    else
        qelRPCItemsRelease(side.keep);
    return o;
}

TEST_F(RPCCalls, EveryCallGivesTheSameOutputsBothWays)
{
    std::vector<bool> covered(QELRPCCallCount);
    for (const Row &row : rows()) {
        SCOPED_TRACE(row.name);
        Side local(false, context);
        Side remote(true, context);
        const Outcome a = runRow(row, local);
        const Outcome b = runRow(row, remote);
        EXPECT_EQ(a.status, b.status) << row.name;
        EXPECT_EQ(a.outputs, b.outputs) << row.name;
        covered[row.call] = true;
        if (std::getenv("QEL_RPC_CALLS_VERBOSE"))
            std::printf("%-28s %6d %s\n", row.name, a.status, a.outputs.empty() ? "" : a.outputs[0].substr(0, 60).c_str());
    }
    // A database kept alive by its row closes now.
    static_cast<void>(Side(false, context).run(QELRPCCall_KeyDBCloseUnreferenced, {}, {}));
    // The calls the table leaves out: the handshake and the client exit are
    // the connection's own; 12 opens every row's database.
    for (std::uint32_t call : {0u, 12u, 45u})
        covered[call] = true;
    for (std::uint32_t call = 0; call < QELRPCCallCount; ++call)
        EXPECT_TRUE(covered[call]) << "call " << call << " has no row";
}

} // namespace
