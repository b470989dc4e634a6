// Key rings read from memory: the input is a ring. A ring either opens (and
// then every key, child and signature is readable and every key is found by
// its own key ID, but for keys kept as read whose ID is not known) or is
// refused with a status and leaves no database behind.
#include "qelFuzzSupport.h"

#include "qelContextInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    QELContext *context = qelfuzz::sharedContext();
    QELStatus status = 0;
    QELKeyDB *db = qelKeyDBReadBuffer(context, data, size, &status);
    qelfuzz::check((db == nullptr) == (status != 0), "status and database disagree");
    if (db == nullptr) {
        qelfuzz::check(qelContextGetKeyDBList(context) == nullptr, "a refused ring left a database");
        return 0;
    }
    for (QELKeyObject *k = db->firstKey; k; k = k->next) {
        qelfuzz::check(qelKeyObjIsValid(k), "a key is no object");
        if (!qelKeyObjIsLive(k))
            continue;
        QELKeyID id{};
        qelKeyObjGetKeyID(k, nullptr, &id);
        QELKeyObject *found = nullptr;
        static constexpr std::uint8_t kUnknownID[8] = {};
        const bool unknownID = qelKeyObjIsOpaque(k) && std::memcmp(qelKeyObjKeyInfo(k)->keyID, kUnknownID, 8) == 0;
        qelfuzz::check(unknownID || qelKeyDBFindKeyByIDLocal(db, &id, true, true, &found) == 0, "a key is not found");
        for (QELKeyObject *c = k->firstChild; c; c = c->next) {
            std::size_t n = 0;
            qelfuzz::check(qelKeyObjRawPacket(c, &n) == nullptr || n > 0, "an empty packet");
            for (QELKeyObject *g = c->firstChild; g; g = g->next)
                qelfuzz::check(g->parent == c, "a grandchild lost its parent");
        }
    }
    qelfuzz::check(qelKeyDBRelease(db) == 0, "release failed");
    return 0;
}
