// Wiping secrets: a store the optimiser may not drop, for key schedules,
// hash states and passphrases before their memory is released.
#pragma once

#include <cstddef>
#include <string.h>

inline void qelSecureWipe(void *p, std::size_t n)
{
    if (p != nullptr && n != 0)
        explicit_bzero(p, n);
}
