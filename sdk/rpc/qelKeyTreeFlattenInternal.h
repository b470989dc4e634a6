// Keys of a key database, each with its children and grandchildren, as one
// array of 64-bit words (the key-tree array of the service protocol).
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELKeyObject;
struct QELKeySet;

// Walks `count` objects of the list that starts at `first` (next-sibling
// links); for every member of the filter (everything without one) writes
// {handle, flag word, member children}, for each member child {handle, flag
// word} and, unless it is a signature, {member grandchildren} and their
// {handle, flag word}. The block comes from the context (qelContextMemAlloc)
// and is the caller's; the outputs are written only on success.
[[nodiscard]] QELStatus qelKeyTreeFlatten(QELContext *context, QELKeyObject *first, std::uint32_t count,
                                          QELKeySet *filter, std::uint64_t **outBlock, std::uint64_t *outSize);
