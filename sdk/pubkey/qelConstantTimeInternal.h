// Marks where a value computed from secrets becomes public (a signature, a
// verdict, a length known to everyone): code before it must not branch on
// it, code after it may. In the library this does nothing; the test build
// lets a checker that tracks secret data (Valgrind's memcheck with the
// secrets marked undefined) see the hand-over.
#pragma once

#include <cstddef>

void qelCTDeclassify(const void *data, std::size_t length);
// Marks where secret values come into being from bytes the checker holds for
// anything else (key material as the symmetric decryption hands it over):
// from here on nothing may branch on them. Does nothing in the library.
void qelCTClassify(const void *data, std::size_t length);

template <typename T> inline T qelCTDeclassifyValue(T value)
{
    qelCTDeclassify(&value, sizeof value);
    return value;
}
