// Entropy events and system entropy sources.
//
// Keystrokes and timed user events are stamped with a clock sample that goes
// into the pool; the irregularity of their timing (the smallest of the time
// since the last event and its first and second differences) earns a small
// credit. A poll reads the entropy devices, and failing those the output of
// a few system commands.
#include "qelRandomSourcesInternal.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "qelCryptoServiceSeamsInternal.h"
#include "qelFIPSInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelWipe.h"
#include "qelTestHooks.h"

namespace {

constexpr char kGateFile[] = "qelRandomPool";

constexpr const char *kDefaultCommands[] = {
    // Absolute paths: a poll must not run whatever a caller's PATH finds first.
    "/bin/ps alwx 2>&1",
    "/usr/bin/vmstat 2>&1",
    "/usr/bin/iostat 2>&1",
    nullptr,
};

int platformClock(struct timeval *tv) { return gettimeofday(tv, nullptr); }

struct SourceConfig {
    const char *urandomPath = "/dev/urandom";
    const char *randomPath = "/dev/random";
    const char *const *commands = kDefaultCommands;
    int (*readClock)(struct timeval *) = platformClock;
};

std::mutex g_configMutex;
SourceConfig g_config;

SourceConfig currentConfig()
{
    std::lock_guard<std::mutex> lock(g_configMutex);
    return g_config;
}

struct EventState {
    std::uint32_t lastKeySample = 0;
    std::uint32_t lastKeyDifference = 0;
    std::int32_t lastKeys[4] = {};
    std::uint32_t keySkip = 3;
    std::uint32_t lastTimedSample = 0;
    std::uint32_t lastTimedDifference = 0;
    std::uint32_t timedSkip = 2;
};

// The keystroke history and the skip counters change under the pool lock;
// the sample values are only a timing estimate and live outside it.
EventState g_events;

std::atomic<std::uint32_t> g_granularity{0};
std::mutex g_timeMutex;
struct timeval g_previousSample = {0, 0};

std::uint32_t absDiff(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : b - a; }

std::uint32_t microsBetween(const struct timeval &later, const struct timeval &earlier)
{
    std::int64_t us = (std::int64_t{later.tv_sec} - earlier.tv_sec) * 1000000 +
                      (std::int64_t{later.tv_usec} - earlier.tv_usec);
    return static_cast<std::uint32_t>(us);
}

std::uint32_t measureGranularity(int (*readClock)(struct timeval *), struct timeval start)
{
    std::uint32_t kept[15] = {};
    int count = 0;
    int flat = 0;
    struct timeval previous = start;
    while (count < 15) {
        struct timeval now = {0, 0};
        readClock(&now);
        std::uint32_t d = microsBetween(now, previous);
        previous = now;
        if (d > 1) {
            kept[count++] = d;
            flat = 0;
        } else if (++flat >= 4096) {
            return 1;
        }
    }
    std::qsort(kept, 15, sizeof kept[0], qelRandomCompareU32);
    return (kept[5] + kept[6] + kept[7] + kept[8] + kept[9] + 4) / 5;
}

// Credits one event from its clock sample t; sample and difference are the
// event kind's history.
std::uint32_t eventTiming(std::uint32_t t, std::uint32_t &lastSample,
                          std::uint32_t &lastDifference)
{
    std::uint32_t d1 = absDiff(t, lastSample);
    lastSample = t;
    std::uint32_t x = std::min(t, d1);
    std::uint32_t d2 = absDiff(d1, lastDifference);
    lastDifference = d1;
    return std::min(x, d2);
}

// Reads up to 256 bytes from a device into the context. Returns the count.
std::uint32_t readDevice(const char *path, int extraFlags, QELRandomContext *context,
                         std::uint8_t credit)
{
    if (path == nullptr)
        return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC | extraFlags);
    if (fd < 0)
        return 0;
    std::uint8_t buffer[256];
    std::memset(buffer, 0, sizeof buffer);
    ssize_t n;
    do {
        n = read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    close(fd);
    std::uint32_t got = n > 0 ? static_cast<std::uint32_t>(n) : 0;
    if (got > 0) {
        if (credit != 0)
            qelRandomPoolCreditBits(8 * got);
        context->descriptor->add(context->state, buffer, got);
    }
    qelSecureWipe(buffer, sizeof buffer);
    return got;
}

// Runs one command and adds its output. True when it ran to a clean exit and
// produced output: a missing program or a failing one earns nothing.
bool runCommand(const char *command, QELRandomContext *context)
{
    FILE *pipe = popen(command, "r");
    if (pipe == nullptr)
        return false;
    std::uint8_t buffer[256];
    std::size_t total = 0;
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        context->descriptor->add(context->state, buffer, static_cast<std::uint32_t>(n));
        total += n;
    }
    qelSecureWipe(buffer, sizeof buffer);
    int status = pclose(pipe);
    return total > 0 && status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// 0 nothing delivered, 1 delivered without credit, 2 delivered with credit.
int gather(QELRandomContext *context, std::uint8_t credit)
{
    if (context == nullptr || context->descriptor == nullptr)
        return 0;
    SourceConfig config = currentConfig();
    if (readDevice(config.urandomPath, 0, context, credit) > 0)
        return credit != 0 ? 2 : 1;
    if (readDevice(config.randomPath, O_NONBLOCK, context, credit) > 0)
        return credit != 0 ? 2 : 1;
    if (credit == 0)
        return 0;
    // Physical memory is not read: as root that can touch device registers.
    bool delivered = false;
    for (const char *const *c = config.commands; c != nullptr && *c != nullptr; ++c)
        delivered = runCommand(*c, context) || delivered;
    return delivered ? 1 : 0;
}

} // namespace

int qelRandomCompareU32(const void *a, const void *b)
{
    std::uint32_t x = *static_cast<const std::uint32_t *>(a);
    std::uint32_t y = *static_cast<const std::uint32_t *>(b);
    return x > y ? 1 : (x < y ? -1 : 0);
}

std::uint32_t qelRandomAddTimingSample(QELRandomContext *context)
{
    SourceConfig config = currentConfig();
    struct timeval now = {0, 0};
    config.readClock(&now);
    if (context != nullptr && context->descriptor != nullptr) {
        // The platform's timeval is 16 bytes: seconds then microseconds.
        std::uint8_t sample[sizeof now];
        std::memcpy(sample, &now, sizeof now);
        context->descriptor->add(context->state, sample, sizeof sample);
    }
    std::lock_guard<std::mutex> lock(g_timeMutex);
    std::uint32_t granularity = g_granularity.load();
    if (granularity == 0) {
        granularity = measureGranularity(config.readClock, now);
        g_granularity.store(granularity);
    }
    std::int64_t us = (std::int64_t{now.tv_sec} - g_previousSample.tv_sec) * 1000000 +
                      (std::int64_t{now.tv_usec} - g_previousSample.tv_usec);
    g_previousSample = now;
    return static_cast<std::uint32_t>(us / static_cast<std::int64_t>(granularity));
}

std::uint32_t qelRandomPoolSampleTime()
{
    QELRandomContext context;
    qelRandomContextInitGlobal(&context);
    return qelRandomAddTimingSample(&context);
}

int qelRandomGatherSystemEntropy(QELRandomContext *context, std::uint8_t credit)
{
    return gather(context, credit) > 0 ? 1 : 0;
}

std::int32_t qelRandomPoolAddEventLocal(std::uint8_t keystroke, std::int32_t keyValue,
                                        std::uint8_t timedEvent, std::uint8_t poll)
{
    if (keystroke != 0) {
        std::uint32_t t = qelRandomPoolSampleTime();
        qelRandomPoolLock();
        std::uint32_t x = eventTiming(t, g_events.lastKeySample, g_events.lastKeyDifference);
        std::uint8_t bytes[4] = {
            static_cast<std::uint8_t>(keyValue), static_cast<std::uint8_t>(keyValue >> 8),
            static_cast<std::uint8_t>(keyValue >> 16), static_cast<std::uint8_t>(keyValue >> 24)};
        qelRandomPoolMix(nullptr, bytes, sizeof bytes);
        int repeats = 0;
        for (std::int32_t k : g_events.lastKeys)
            repeats += k == keyValue ? 1 : 0;
        std::memmove(&g_events.lastKeys[1], &g_events.lastKeys[0], 3 * sizeof(std::int32_t));
        g_events.lastKeys[0] = keyValue;
        std::uint32_t credit = 0;
        if (g_events.keySkip != 0)
            --g_events.keySkip;
        else if (repeats <= 1)
            credit = qelRandomPoolCreditEvent(x);
        qelRandomPoolUnlock();
        return static_cast<std::int32_t>(credit);
    }
    if (timedEvent != 0) {
        std::uint32_t t = qelRandomPoolSampleTime();
        qelRandomPoolLock();
        std::uint32_t x =
            eventTiming(t, g_events.lastTimedSample, g_events.lastTimedDifference);
        std::uint32_t credit = 0;
        if (g_events.timedSkip != 0)
            --g_events.timedSkip;
        else
            credit = qelRandomPoolCreditEvent(x);
        qelRandomPoolUnlock();
        return static_cast<std::int32_t>(credit);
    }
    if (poll != 0) {
        QELRandomContext context;
        qelRandomContextInitGlobal(&context);
        int result = gather(&context, 1);
        if (result == 0)
            return QELError_Unavailable;
        // Only a source that was credited vouches for the pool.
        if (result == 2)
            qelRandomPoolSetSeeded();
        return 0;
    }
    return 0;
}

std::int32_t qelRandomPoolAddKeystroke(std::int32_t keyValue)
{
    if (qelAPIGate(kGateFile, __LINE__) != 0)
        return 0;
    return qelCryptoService().poolAddEvent(1, keyValue, 0, 0);
}

std::int32_t qelRandomPoolAddTimingEvent()
{
    if (qelAPIGate(kGateFile, __LINE__) != 0)
        return 0;
    return qelCryptoService().poolAddEvent(0, 0, 1, 0);
}

std::int32_t qelRandomPoolAddTimingEvent2()
{
    if (qelAPIGate(kGateFile, __LINE__) != 0)
        return 0;
    return qelRandomPoolAddTimingEvent();
}

QELStatus qelRandomPoolPollSystemEntropy()
{
    if (qelAPIGate(kGateFile, __LINE__) != 0)
        return 0;
    return qelCryptoService().poolAddEvent(0, 0, 0, 1);
}

#ifdef QEL_TEST_HOOKS
void qelRandomSourcesConfigure(const QELRandomSourceConfig *config)
{
    std::lock_guard<std::mutex> lock(g_configMutex);
    g_config = SourceConfig{};
    if (config == nullptr)
        return;
    if (config->urandomPath != nullptr)
        g_config.urandomPath = config->urandomPath;
    if (config->randomPath != nullptr)
        g_config.randomPath = config->randomPath;
    if (config->commands != nullptr)
        g_config.commands = config->commands;
    if (config->readClock != nullptr)
        g_config.readClock = config->readClock;
}

void qelRandomSourcesResetForTesting()
{
    qelRandomPoolLock();
    g_events = EventState{};
    qelRandomPoolUnlock();
    std::lock_guard<std::mutex> lock(g_timeMutex);
    g_granularity.store(0);
    g_previousSample = {0, 0};
}
#endif

std::uint32_t qelRandomSourcesGranularity() { return g_granularity.load(); }
