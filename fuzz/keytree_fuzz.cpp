// Flattened key trees as the service sends them: the input is the array of
// 64-bit words (its first word, modulo 8, gives the number of top-level
// entries). Merging never reads past the array, never builds a cycle, and
// every node it leaves hangs under its parent.
#include "qelFuzzSupport.h"

#include "qelContextInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    QELContext *context = qelfuzz::sharedContext();
    if (size < 8)
        return 0;
    std::vector<std::uint64_t> words(size / 8);
    std::memcpy(words.data(), data, words.size() * 8);
    std::uint32_t count = std::uint32_t(words[0] % 8);
    QELKeyDB *db = nullptr;
    if (qelKeyDBNewInMemoryLocal(context, &db) != 0)
        return 0;
    for (int pass = 0; pass < 2; ++pass) // a second pass meets every node again
        static_cast<void>(qelKeyDBMergeKeyTree(db, nullptr, words.data() + 1, words.size() - 1, count,
                                               false, pass == 1)); // refusals are fine
    std::size_t seen = 0;
    for (QELKeyObject *k = db->firstKey; k && seen < 100000; k = k->next, ++seen)
        for (QELKeyObject *c = k->firstChild; c && seen < 100000; c = c->next, ++seen) {
            qelfuzz::check(c->parent == k, "a child lost its parent");
            for (QELKeyObject *g = c->firstChild; g && seen < 100000; g = g->next, ++seen)
                qelfuzz::check(g->parent == c, "a grandchild lost its parent");
        }
    qelfuzz::check(seen < 100000, "the tree has a cycle");
    static_cast<void>(qelKeyDBRelease(db)); // in memory: nothing to commit
    return 0;
}
