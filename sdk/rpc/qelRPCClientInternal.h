// The connection to the local SDK service: the process-wide service-mode
// flag, connecting with the handshake and ending the client's registration.
#pragma once

#include "qelErrors.h"

#include <cstdint>

// 1 after a successful qelRPCConnect, else 0.
std::uint8_t qelRPCEnabled();
// Connects to the local SDK service over its Unix-domain socket and
// registers this client; mode must be 1. QELError_NotInitialized when no
// service answers, QELError_ServiceHandshakeFailed when the handshake fails.
[[nodiscard]] QELStatus qelRPCConnect(std::int32_t mode);
// Ends the client's registration when one exists; 0 when there is none.
[[nodiscard]] QELStatus qelRPCClientExit();
// Self-test kind 3: does nothing.
[[nodiscard]] QELStatus qelSelfTestNone();
