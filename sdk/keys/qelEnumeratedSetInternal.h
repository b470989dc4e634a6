// Enumerated and filtered key sets inside the SDK.
#pragma once

#include "qelEnumeratedSet.h"

#include <cstdint>

// Every key whole; the keys may come in any order (they are sorted here).
QELStatus qelEnumeratedSetFromKeys(QELKeyDB *db, QELKeyObject *const *keys, std::uint32_t count,
                                   QELKeySet **outSet);
// The set of one object and its ancestors only.
QELStatus qelEnumeratedSetFromSingle(QELKeyObject *object, QELKeySet **outSet);
bool qelKeySetIsEnumerated(const QELKeySet *set);
