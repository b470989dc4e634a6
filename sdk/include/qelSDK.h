// SDK start-up and clean-up (reference counted), the housekeeping thread and
// the process-wide key-database change hook.
#pragma once

#include "qelErrors.h"

#include <cstdint>
#include <pthread.h>

// Flags of qelSDKInit.
constexpr std::uint32_t QELSDKInit_NoService = 2;      // do not connect to the local SDK service
constexpr std::uint32_t QELSDKInit_NoHousekeeping = 4; // do not start the housekeeping thread

// The first call builds the process-wide state; later calls only count.
// A failed first call undoes what it did and leaves the count at 0.
QELStatus qelSDKInit(std::uint32_t flags);
// Counts down; the last call tears the state down. QELError_BadParams when
// the SDK is not started.
QELStatus qelSDKCleanup();
// Shuts the SDK down in one call whatever the count.
QELStatus qelSDKForceCleanup();
bool qelSDKIsInitialized();

// Starts the housekeeping thread (a no-op returning 0 when it runs already);
// QELError_Unavailable when the thread cannot be created.
QELStatus qelHousekeepingStart();
// Stops the housekeeping thread and waits for it to end. Must not be called
// from inside a housekeeping pass.
void qelHousekeepingStop();
// True while a housekeeping thread is running.
bool qelHousekeepingIsRunning();

// The SDK API mutex (not recursive): guards the passphrase cache and its
// watcher registry. Usable at any time, also outside start-up.
void qelSDKAPIMutexLock();
void qelSDKAPIMutexUnlock();

using QELKeyDBChangeCallback = QELStatus (*)(void *userValue, std::uint32_t a, std::uint32_t b,
                                             std::uint32_t c);
QELStatus qelSetKeyDBChangeCallback(QELKeyDBChangeCallback callback, void *userValue);
// Marks every live context as having a pending change notification, then
// returns the registered callback's result (0 when none is registered).
QELStatus qelNotifyKeyDBChange(std::uint32_t a, std::uint32_t b, std::uint32_t c);

// Placeholder entry of operation tables: QELError_AlgorithmCannotDoThis.
QELStatus qelUnsupportedEntry();

// Tests only: the thread-creation call used by qelHousekeepingStart
// (pthread_create signature); null restores the platform call.
using QELSDKThreadCreateProc = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
void qelSDKSetThreadCreateForTesting(QELSDKThreadCreateProc proc);
