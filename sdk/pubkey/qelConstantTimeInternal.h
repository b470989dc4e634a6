// Marks where a value computed from secrets becomes public (a signature, a
// verdict, a length known to everyone): code before it must not branch on
// it, code after it may. In the library this does nothing; the test build
// lets a checker that tracks secret data (Valgrind's memcheck with the
// secrets marked undefined) see the hand-over.
#pragma once

#include <cstddef>

void qelCTDeclassify(const void *data, std::size_t length);

template <typename T> inline T qelCTDeclassifyValue(T value)
{
    qelCTDeclassify(&value, sizeof value);
    return value;
}
