// The key-tree array: a key, its children and their children as handle and
// flag words, with a member count after every entry that is not a signature.
// Sized in a first walk and written in a second one over the same objects.
#include "qelKeyTreeFlattenInternal.h"

#include "qelContextInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySetInternal.h"

namespace {

bool member(QELKeyObject *object, QELKeySet *filter)
{
    return filter == nullptr || qelKeySetHas(object, filter);
}

bool isSignature(const QELKeyObject *object)
{
    return qelKeyObjType(object) == QELObjectType_Signature;
}

std::uint64_t handleOf(const QELKeyObject *object)
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object));
}

// Calls visit(object, level) for every member written, in array order, and
// count(parent) where a count word goes.
template <typename Visit>
void walk(QELKeyObject *first, std::uint32_t count, QELKeySet *filter, Visit visit)
{
    QELKeyObject *top = first;
    for (std::uint32_t i = 0; i < count && top != nullptr; ++i, top = top->next) {
        if (!member(top, filter))
            continue;
        visit(top, 0);
        for (QELKeyObject *child = top->firstChild; child != nullptr; child = child->next) {
            if (!member(child, filter))
                continue;
            visit(child, 1);
            if (isSignature(child))
                continue;
            for (QELKeyObject *grand = child->firstChild; grand != nullptr; grand = grand->next)
                if (member(grand, filter))
                    visit(grand, 2);
        }
    }
}

std::uint64_t memberChildren(QELKeyObject *parent, QELKeySet *filter)
{
    std::uint64_t n = 0;
    for (QELKeyObject *c = parent->firstChild; c != nullptr; c = c->next)
        n += member(c, filter) ? 1 : 0;
    return n;
}

} // namespace

QELStatus qelKeyTreeFlatten(QELContext *context, QELKeyObject *first, std::uint32_t count, QELKeySet *filter,
                            std::uint64_t **outBlock, std::uint64_t *outSize)
{
    if (outBlock == nullptr || outSize == nullptr || (first == nullptr && count != 0))
        return QELError_BadParams;
    std::uint64_t words = 0;
    walk(first, count, filter, [&](QELKeyObject *object, int level) {
        words += 2;
        if (level == 0 || (level == 1 && !isSignature(object)))
            words += 1;
    });
    auto *block = static_cast<std::uint64_t *>(qelContextMemAlloc(context, std::size_t(words * 8), 0));
    if (block == nullptr)
        return QELError_OutOfMemory;
    std::uint64_t *p = block;
    walk(first, count, filter, [&](QELKeyObject *object, int level) {
        *p++ = handleOf(object);
        *p++ = object->flags;
        if (level == 0 || (level == 1 && !isSignature(object)))
            *p++ = memberChildren(object, filter);
    });
    *outBlock = block;
    *outSize = words * 8;
    return QELError_NoErr;
}
