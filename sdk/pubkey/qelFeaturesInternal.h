// The DSA power-up self-test and the SDK's version numbers.
#pragma once

#include "qelFeatures.h"

#include <cstdint>

// Signs a fixed message with the built-in DSA key pair and verifies it:
// 0, or QELError_SelfTestFailed.
[[nodiscard]] QELStatus qelDSASelfTest();

// The version a context creator passes, and the SDK's own version.
std::uint32_t qelGetSDKAPIVersion();
std::uint32_t qelGetSDKVersion();
