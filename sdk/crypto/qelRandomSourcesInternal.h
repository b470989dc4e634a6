// Entropy-source internals: timing credits, clock samples, the system
// sources and the pool's events in process.
#pragma once

#include <cstdint>

#include "qelRandomSources.h"

struct QELRandomContext;

// An event for the pool in process (what the service does for its
// clients): the first flag set decides (keystroke, timed event, poll); none
// set answers 0.
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

// The measured clock granularity in microseconds (0 until measured).
std::uint32_t qelRandomSourcesGranularity();
