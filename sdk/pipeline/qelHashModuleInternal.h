// The Hash Module: passes everything on unchanged and feeds every byte its
// downstream took into one running hash (which it does not own).
#pragma once

#include "qelPipeModuleInternal.h"

struct QELHashContext;
struct QELHashList;

// Returns the downstream slot, or null for a null slot, an invalid hash or
// failed memory (the slot is then unchanged).
QELPipeModule **qelHashModuleCreate(QELContext *context, QELPipeModule **slot, QELHashContext *hash);
// Inserts one Hash Module per hash 0 .. count - 1 of the list at the slot, in
// list order, in front of the slot's former module, and returns the slot
// behind the last one (the slot given for a count of 0). On a failure the
// modules made so far are destroyed, the slot is as it was and null is
// returned.
QELPipeModule **qelHashModuleChainCreate(QELContext *context, QELPipeModule **slot, QELHashList *list,
                                         std::int32_t count);
// The same chain with threaded Hash Modules: each passes its writes on at
// once and runs its hash on a worker thread of its own once the data is long
// enough to pay for one. The hashes may be read only after the chain was
// settled or destroyed.
QELPipeModule **qelHashModuleChainCreateThreaded(QELContext *context, QELPipeModule **slot, QELHashList *list,
                                                 std::int32_t count);
// Waits until every Hash Module from `first` on (through its downstream
// slots, up to the first module of another kind) has hashed all it was fed.
void qelHashModuleChainSettle(QELPipeModule *first);
