// Shared by the key-database suites: the GnuPG-made rings and their listings,
// and a database opened from them.
#pragma once

#include "qelClientEncode.h"
#include "qelContextInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyObjInternal.h"
#include "qelOptionList.h"
#include "qelOptionListInternal.h"
#include "qelSDK.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace keystest {

// Every suite runs with the SDK started, in a private home.
inline const auto *const g_keysEnv =
    qeltest::addHomeEnvironment("qelkeys_test", qeltest::HomeEnvironment::SDK::Up);

inline std::string dataPath(const std::string &name)
{
    return std::string(QEL_SOURCE_DIR) + "/tests/keys/data/" + name;
}

inline std::vector<std::uint8_t> readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The records of a gpg --with-colons listing, split at the colons.
inline std::vector<std::vector<std::string>> colonRecords(std::istream &in)
{
    std::vector<std::vector<std::string>> out;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::stringstream ss(line);
        for (std::string f; std::getline(ss, f, ':');)
            fields.push_back(f);
        out.push_back(fields);
    }
    return out;
}

inline std::vector<std::vector<std::string>> colonRecords(const std::string &listing)
{
    std::stringstream in(listing);
    return colonRecords(in);
}

// The records of a listing kept under tests/keys/data.
inline std::vector<std::vector<std::string>> colons(const std::string &name)
{
    std::ifstream in(dataPath(name));
    return colonRecords(in);
}

inline std::string hex(const std::uint8_t *p, std::size_t n)
{
    static const char *d = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

inline std::vector<QELKeyObject *> liveKeys(QELKeyDB *db)
{
    std::vector<QELKeyObject *> keys;
    for (QELKeyObject *k = db->firstKey; k; k = k->next)
        if (qelKeyObjIsLive(k) && qelKeyObjType(k) == QELObjectType_Key)
            keys.push_back(k);
    return keys;
}

inline std::vector<QELKeyObject *> liveChildren(QELKeyObject *o, int type)
{
    std::vector<QELKeyObject *> out;
    for (QELKeyObject *c = o->firstChild; c; c = c->next)
        if (qelKeyObjIsLive(c) && qelKeyObjType(c) == type)
            out.push_back(c);
    return out;
}

// The first live key with a live user ID whose text holds `part`; null when none.
inline QELKeyObject *keyWithUserID(QELKeyDB *db, const std::string &part)
{
    for (QELKeyObject *k : liveKeys(db))
        for (QELKeyObject *u : liveChildren(k, QELObjectType_UserID)) {
            std::size_t n = 0;
            const std::uint8_t *t = qelUserIDText(u, &n);
            if (t != nullptr && std::string(reinterpret_cast<const char *>(t), n).find(part) != std::string::npos)
                return k;
        }
    return nullptr;
}

inline std::string keyIDHex(QELKeyObject *k) { return hex(qelKeyObjKeyInfo(k)->keyID, 8); }

// The live key or subkey with this key ID (16 hex digits); null when none.
inline QELKeyObject *keyOrSubKeyByID(QELKeyDB *db, const std::string &id)
{
    for (QELKeyObject *k : liveKeys(db)) {
        if (keyIDHex(k) == id)
            return k;
        for (QELKeyObject *s : liveChildren(k, QELObjectType_SubKey))
            if (keyIDHex(s) == id)
                return s;
    }
    return nullptr;
}

// The packets of a database's live objects in ring order (no trust packets);
// with publicForm keys and subkeys are written in their public form.
inline std::vector<std::uint8_t> ringBytes(QELKeyDB *db, bool publicForm = false)
{
    std::vector<std::uint8_t> out;
    auto put = [&](QELKeyObject *o) {
        std::size_t n = 0;
        const int type = qelKeyObjType(o);
        if (publicForm && (type == QELObjectType_Key || type == QELObjectType_SubKey)) {
            std::uint8_t *p = qelKeyObjPublicPacket(o, &n);
            EXPECT_NE(p, nullptr);
            if (p != nullptr) {
                out.insert(out.end(), p, p + n);
                EXPECT_EQ(qelContextMemFree(qelKeyObjContext(o), p), QELError_NoErr);
            }
            return;
        }
        const std::uint8_t *p = qelKeyObjRawPacket(o, &n);
        out.insert(out.end(), p, p + n);
    };
    for (QELKeyObject *k : liveKeys(db)) {
        put(k);
        for (QELKeyObject *c = k->firstChild; c; c = c->next) {
            if (!qelKeyObjIsLive(c))
                continue;
            put(c);
            for (QELKeyObject *s = c->firstChild; s; s = s->next)
                if (qelKeyObjIsLive(s))
                    put(s);
        }
    }
    return out;
}

struct ListFree {
    void operator()(QELOptionList *list) const { qelOptionListFree(list); }
};
using Options = std::unique_ptr<QELOptionList, ListFree>;

class ContextTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &ctx), QELError_NoErr); }
    void TearDown() override
    {
        for (QELKeyDB *db : owned_)
            EXPECT_EQ(qelKeyDBReleaseLocal(db), QELError_NoErr);
        static_cast<void>(qelKeyDBCloseUnreferencedLocal(ctx));
        static_cast<void>(qelContextFree(ctx));
    }
    // As openBuffer; the database is released when the test ends.
    QELKeyDB *openOwned(const std::vector<std::uint8_t> &bytes, QELStatus *status = nullptr)
    {
        QELKeyDB *db = openBuffer(bytes, status);
        if (db != nullptr)
            owned_.push_back(db);
        return db;
    }
    QELKeyDB *openBuffer(const std::vector<std::uint8_t> &bytes, QELStatus *status = nullptr)
    {
        QELStatus s = 0;
        QELKeyDB *db = qelKeyDBReadBuffer(ctx, bytes.data(), bytes.size(), &s);
        if (status) *status = s;
        return db;
    }
    // One option list of the items, freed with the handle.
    template <typename... Items>
    Options options(Items... items)
    {
        return Options(qelOptionListBuild(ctx, false, items..., qelOptionLastOption(ctx)));
    }
    QELContext *ctx = nullptr;

private:
    std::vector<QELKeyDB *> owned_;
};

} // namespace keystest
