// SDK internals: the housekeeping thread, the SDK API mutex and the
// process-wide key-database change notification.
#pragma once

#include "qelSDK.h"

#include <cstdint>

// The body of SDK start-up (qelSDKInit), run once the layers above the
// foundation have installed their seams (qelLayerSeamsInternal.h).
[[nodiscard]] QELStatus qelSDKStart(std::uint32_t flags);

// Starts the housekeeping thread (a no-op returning 0 when it runs already);
// QELError_Unavailable when the thread cannot be created.
[[nodiscard]] QELStatus qelHousekeepingStart();
// Stops the housekeeping thread and waits for it to end. Must not be called
// from inside a housekeeping pass.
void qelHousekeepingStop();
// True while a housekeeping thread is running.
bool qelHousekeepingIsRunning();

// The SDK API mutex (not recursive): guards the passphrase cache and its
// watcher registry. Usable at any time, also outside start-up.
void qelSDKAPIMutexLock();
void qelSDKAPIMutexUnlock();

// Marks every live context as having a pending change notification, then
// returns the registered callback's result (0 when none is registered).
[[nodiscard]] QELStatus qelNotifyKeyDBChange(std::uint32_t a, std::uint32_t b, std::uint32_t c);

// Placeholder entry of operation tables: QELError_AlgorithmCannotDoThis.
[[nodiscard]] QELStatus qelUnsupportedEntry();
