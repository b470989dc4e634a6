// The 8-byte answers the memory sinks give to queries.
#pragma once

#include "qelErrors.h"

#include <cstdint>
#include <cstring>

// Stores value in a query's result area, which must hold 8 bytes.
[[nodiscard]] inline QELStatus qelSinkAnswer64(void *data, std::uint64_t length, std::uint64_t value)
{
    if (data == nullptr || length < sizeof value)
        return QELError_BadParams;
    std::memcpy(data, &value, sizeof value);
    return 0;
}
