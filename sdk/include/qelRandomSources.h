// Entropy events (keystrokes, timed user events) and system entropy sources
// (entropy devices, output of system commands) feeding the random pool.
#pragma once

#include <cstdint>
#include <sys/time.h>

#include "qelErrors.h"

struct QELRandomContext;

// Public entries; each passes the API entry guard and answers 0 when refused.
// Bits credited to the pool for one keystroke with the given key value.
std::int32_t qelRandomPoolAddKeystroke(std::int32_t keyValue);
// Bits credited for one timed user event.
std::int32_t qelRandomPoolAddTimingEvent();
std::int32_t qelRandomPoolAddTimingEvent2();
// 0 when a system source delivered, QELError_Unavailable when none did.
QELStatus qelRandomPoolPollSystemEntropy();

// In-process back end of qelRandomPoolAddEventDispatch: the first flag set
// decides (keystroke, timed event, poll); none set answers 0.
std::int32_t qelRandomPoolAddEventLocal(std::uint8_t keystroke, std::int32_t keyValue,
                                        std::uint8_t timedEvent, std::uint8_t poll);

// Bits credited (0..10) for an event with this timing irregularity; adds them
// to the pool's pending amount. The caller holds the pool lock.
std::uint32_t qelRandomPoolCreditEvent(std::uint32_t timing);
std::uint32_t qelRandomPoolSampleTime();
// Adds a 16-byte clock sample through the context; answers the time since
// the previous sample in clock-granularity units.
std::uint32_t qelRandomAddTimingSample(QELRandomContext *context);
// 1 when a source delivered, else 0. With credit set, device bytes are
// credited at 8 bits each and slower sources (commands) are tried as well.
int qelRandomGatherSystemEntropy(QELRandomContext *context, std::uint8_t credit);
int qelRandomCompareU32(const void *a, const void *b);

// Where the system sources come from. Tests substitute their own; a null
// field keeps the built-in default.
struct QELRandomSourceConfig {
    const char *urandomPath;             // default "/dev/urandom"
    const char *randomPath;              // default "/dev/random" (non-blocking)
    const char *const *commands;         // null-terminated; default ps/vmstat/iostat
    int (*readClock)(struct timeval *tv); // default gettimeofday
};
// Installs a configuration (copied; strings must outlive its use); null
// restores the defaults.
void qelRandomSourcesConfigure(const QELRandomSourceConfig *config);
// Returns the event and timing state to its process-start values. Only
// tests call it.
void qelRandomSourcesResetForTesting();
// The measured clock granularity in microseconds (0 until measured).
std::uint32_t qelRandomSourcesGranularity();
