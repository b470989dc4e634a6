// Test-only switches. They exist only in the library the test suite links
// (built with QEL_TEST_HOOKS); the installed library has none of them, so no
// application can swap out the self-tests, the thread creation, the entropy
// sources or the service socket.
#pragma once

#include <cstdint>
#include <pthread.h>
#include <sys/time.h>

#include "qelErrors.h"

// Replaces the self-test of one kind (1-3); null restores the built-in one.
using QELSelfTestProc = QELStatus (*)();
void qelFIPSSetSelfTestForTesting(std::int32_t kind, QELSelfTestProc proc);

// The thread-creation call used by qelHousekeepingStart (pthread_create
// signature); null restores the platform call.
using QELSDKThreadCreateProc = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *),
                                       void *);
void qelSDKSetThreadCreateForTesting(QELSDKThreadCreateProc proc);

// Makes the following qelRWLockInit calls use the condition-variable
// stand-in as if semget had failed.
void qelRWLockForceStandIn(bool force);

// Returns every word of the random pool to its process-start state (all
// zero, nothing seeded).
void qelRandomPoolClearAllForTesting();

// Where the system entropy sources come from; a null field keeps the
// built-in default.
struct QELRandomSourceConfig {
    const char *urandomPath;              // default "/dev/urandom"
    const char *randomPath;               // default "/dev/random" (non-blocking)
    const char *const *commands;          // null-terminated; default ps/vmstat/iostat
    int (*readClock)(struct timeval *tv); // default gettimeofday
};
// Installs a configuration (copied; strings must outlive its use); null
// restores the defaults.
void qelRandomSourcesConfigure(const QELRandomSourceConfig *config);
// Returns the event and timing state to its process-start values.
void qelRandomSourcesResetForTesting();

// Connect to this socket path instead of the service's; null restores the
// service's path.
void qelRPCSetSocketPathForTesting(const char *path);
