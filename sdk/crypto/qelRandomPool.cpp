// The process-wide random pool.
//
// 320 words of pool, a 64-byte input buffer that bytes are XORed into, and a
// 20-byte output block. Mixing is lazy: a SHA-1 compression over five pool
// words runs only once 64 bytes have arrived or enough entropy is pending,
// then one compression per byte since the last stirring. Output is a chain
// of compressions over the whole pool, so every withdrawal also scrambles
// the pool words (the compression leaves its schedule words behind).
#include "qelRandomPoolInternal.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>

#include "qelCryptoServiceSeamsInternal.h"
#include "qelFIPSInternal.h"
#include "qelSHA1Internal.h"
#include "qelWipe.h"
#include "qelTestHooks.h"

namespace {

constexpr std::uint32_t kPoolWords = kQELRandomPoolBits / 32;   // 320
constexpr std::uint32_t kPendingCap = 512;
constexpr std::uint32_t kOutputBytes = 20;

struct PoolState {
    std::uint32_t entropy = 0;
    std::uint32_t entropyFraction = 0;
    std::uint32_t creditedTotal = 0;
    std::uint32_t pending = 0;
    std::uint32_t pendingFraction = 0;
    std::uint32_t pool[kPoolWords] = {};
    std::uint32_t poolPosition = 0;
    std::uint32_t input[16] = {};        // bytes in little-endian word order
    std::uint32_t inputPosition = 0;
    std::uint32_t output[5] = {};
    std::uint32_t outputUsed = kOutputBytes;
    std::uint32_t stirCredit = 0;
    std::uint64_t compressions = 0;
    bool seeded = false;
};

// Zero-initialised at load time, so the pool works before SDK start-up.
constinit PoolState g_pool{};

// The pool lock is a statically initialised recursive mutex: it exists before
// any code runs and needs no destruction, so neither a reset nor the closing
// of the seed file can pull it from under another thread, and no System V
// semaphore outlives the process. Readers and writers both take it; the only
// reader (the enough-entropy test) is short.
pthread_mutex_t g_poolLock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

struct PoolLockGuard {
    PoolLockGuard() { pthread_mutex_lock(&g_poolLock); }
    ~PoolLockGuard() { pthread_mutex_unlock(&g_poolLock); }
    PoolLockGuard(const PoolLockGuard &) = delete;
    PoolLockGuard &operator=(const PoolLockGuard &) = delete;
};

constexpr char kGateFile[] = "qelRandomPool";

void compress(std::uint32_t *chaining, std::uint32_t *message)
{
    qelSHA1Compress(chaining, message);
    ++g_pool.compressions;
}

// Moves the pending amount into the estimate once the pool has been stirred.
void transferPending()
{
    std::uint32_t whole = g_pool.entropy;
    std::uint32_t before = whole;
    qelRandomEntropyCombine(whole, g_pool.entropyFraction, g_pool.pending,
                            g_pool.pendingFraction);
    std::uint32_t added = whole - before;
    g_pool.entropy = whole;
    if (g_pool.entropy > kQELRandomPoolBits - 1) {
        g_pool.entropy = kQELRandomPoolBits;
        g_pool.entropyFraction = 0;
    }
    g_pool.creditedTotal = std::min(g_pool.creditedTotal + added, kQELRandomPoolBits);
    g_pool.pending = 0;
    g_pool.pendingFraction = 0;
}

void stirPending()
{
    while (g_pool.stirCredit > 63) {
        g_pool.stirCredit -= 64;
        std::uint32_t p = g_pool.poolPosition;
        compress(&g_pool.pool[p], g_pool.input);
        std::uint32_t next = p + 5 == kPoolWords ? 0 : p + 5;
        for (int i = 0; i < 5; ++i)
            g_pool.pool[next + i] ^= g_pool.pool[p + i];
        g_pool.poolPosition = next;
    }
    transferPending();
}

void outputBytes(std::uint8_t *out)
{
    for (int i = 0; i < 5; ++i) {
        std::uint32_t w = g_pool.output[i];
        out[4 * i] = static_cast<std::uint8_t>(w);
        out[4 * i + 1] = static_cast<std::uint8_t>(w >> 8);
        out[4 * i + 2] = static_cast<std::uint8_t>(w >> 16);
        out[4 * i + 3] = static_cast<std::uint8_t>(w >> 24);
    }
}

// The pools always deliver.
QELStatus poolGet(void *state, void *buffer, std::uint32_t length, std::uint32_t bits)
{
    qelRandomPoolGet(state, buffer, length, bits);
    return QELError_NoErr;
}

QELStatus dummyGet(void *state, void *buffer, std::uint32_t length, std::uint32_t bits)
{
    qelRandomDummyGet(state, buffer, length, bits);
    return QELError_NoErr;
}

constexpr QELRandomDescriptor kGlobalDescriptor = {"Global true random-number pool", qelRandomPoolAdd, poolGet,
                                                   qelRandomPoolStir};
constexpr QELRandomDescriptor kDummyDescriptor = {"Dummy random-number pool", qelRandomDummyAdd, dummyGet,
                                                  qelRandomDummyStir};

} // namespace

void qelRandomEntropyCombine(std::uint32_t &whole, std::uint32_t &fraction,
                             std::uint32_t addWhole, std::uint32_t addFraction)
{
    // Multiplying the mantissas (1 + f1)(1 + f2) = 1 + f1 + f2 + f1 f2, the
    // product term approximated from the top halves of the fractions.
    std::uint32_t f1 = fraction;
    std::uint32_t t = f1 + (f1 >> 16) * (addFraction >> 16);
    bool carry1 = t < f1;
    std::uint32_t s = t + addFraction;
    bool carry2 = s < t;
    whole += addWhole;
    if (!carry1 && !carry2) {
        fraction = s;
    } else if (carry1 != carry2) {
        fraction = s >> 1;
        whole += 1;
    } else {
        fraction = (s >> 1) + 0x80000000u;
        whole += 1;
    }
}

const QELRandomDescriptor *qelRandomPoolGlobalDescriptor() { return &kGlobalDescriptor; }
const QELRandomDescriptor *qelRandomPoolDummyDescriptor() { return &kDummyDescriptor; }

void qelRandomContextInitGlobal(QELRandomContext *context)
{
    if (context == nullptr)
        return;
    context->context = nullptr;
    context->descriptor = &kGlobalDescriptor;
    context->state = nullptr;
    context->destroy = nullptr;
}

void qelRandomPoolLock() { pthread_mutex_lock(&g_poolLock); }
void qelRandomPoolUnlock() { pthread_mutex_unlock(&g_poolLock); }

// ---- Queries -------------------------------------------------------------

QELStatus qelRandomPoolGetStatusLocal(std::int32_t *entropy, std::uint32_t *size,
                                      std::uint32_t *minimum, std::uint8_t *enough,
                                      std::uint8_t *statusFlag)
{
    if (entropy != nullptr) {
        PoolLockGuard guard;
        *entropy = static_cast<std::int32_t>(g_pool.entropy);
    }
    if (size != nullptr)
        *size = kQELRandomPoolBits;
    if (minimum != nullptr)
        *minimum = kQELRandomPoolMinimumEntropy;
    if (enough != nullptr)
        *enough = qelRandomPoolHasMinimumEntropy() ? 1 : 0;
    if (statusFlag != nullptr)
        *statusFlag = 0;
    return 0;
}

bool qelRandomPoolHasMinimumEntropy()
{
    if (qelAPIGate(kGateFile, __LINE__) != 0)
        return false;
    if (qelRandomPoolIsSeeded())
        return true;
    PoolLockGuard guard;
    return g_pool.creditedTotal > kQELRandomPoolMinimumEntropy - 1;
}

void qelRandomPoolRaiseEntropy(std::uint32_t bits)
{
    PoolLockGuard guard;
    g_pool.entropy = std::max(g_pool.entropy, std::min(bits, kQELRandomPoolBits));
}

// ---- Pool operations -----------------------------------------------------

void qelRandomPoolMix(void *, const void *data, std::uint32_t length)
{
    if (data == nullptr || length == 0)
        return;
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    for (std::uint32_t n = 0; n < length; ++n) {
        std::uint32_t pos = g_pool.inputPosition;
        g_pool.input[pos >> 2] ^= std::uint32_t{bytes[n]} << (8 * (pos & 3));
        ++pos;
        if (pos == 64) {
            pos = 0;
            g_pool.input[0] ^= g_pool.pool[g_pool.poolPosition];
        } else if ((pos & 3) == 0) {
            g_pool.input[pos >> 2] ^= g_pool.pool[g_pool.poolPosition];
        }
        g_pool.inputPosition = pos;
        g_pool.stirCredit += 64;
        if (g_pool.pending > 63 || g_pool.stirCredit > 4095)
            stirPending();
    }
    g_pool.outputUsed = kOutputBytes;
}

void qelRandomPoolRefill()
{
    compress(g_pool.output, g_pool.input);
    for (std::uint32_t i = 0; i < kPoolWords / 16; ++i)
        compress(g_pool.output, &g_pool.pool[16 * i]);
    g_pool.outputUsed = 0;
}

void qelRandomPoolAdd(void *state, const void *data, std::uint32_t length)
{
    PoolLockGuard guard;
    qelRandomPoolMix(state, data, length);
}

void qelRandomPoolGet(void *, void *buffer, std::uint32_t length, std::uint32_t bitsClaimed)
{
    PoolLockGuard guard;
    if (bitsClaimed > g_pool.entropy) {
        g_pool.entropy = 0;
        g_pool.entropyFraction = 0;
    } else {
        g_pool.entropy -= bitsClaimed;
    }
    if (buffer == nullptr)
        return;
    auto *out = static_cast<std::uint8_t *>(buffer);
    std::uint8_t block[kOutputBytes];
    while (length > 0) {
        if (g_pool.outputUsed >= kOutputBytes)
            qelRandomPoolRefill();
        std::uint32_t take = std::min(length, kOutputBytes - g_pool.outputUsed);
        outputBytes(block);
        std::memcpy(out, block + g_pool.outputUsed, take);
        g_pool.outputUsed += take;
        out += take;
        length -= take;
    }
    qelSecureWipe(block, sizeof block);
}

void qelRandomPoolStir(void *state)
{
    PoolLockGuard guard;
    std::uint8_t block[kOutputBytes];
    for (int i = 0; i < 16; ++i) {
        outputBytes(block);
        qelRandomPoolMix(state, block, kOutputBytes);
        qelRandomPoolRefill();
    }
    qelSecureWipe(block, sizeof block);
}

void qelRandomPoolCreditBits(std::uint32_t bits)
{
    PoolLockGuard guard;
    std::uint64_t total = std::uint64_t{g_pool.pending} + bits;
    if (total >= kPendingCap) {
        g_pool.pending = kPendingCap;
        g_pool.pendingFraction = 0;
    } else {
        g_pool.pending = static_cast<std::uint32_t>(total);
    }
}

std::uint32_t qelRandomPoolCreditEvent(std::uint32_t timing)
{
    if (timing < 4)
        return 0;
    int lead = 31 - __builtin_clz(timing);          // 2..31
    std::uint32_t e = static_cast<std::uint32_t>(lead - 2);
    std::uint32_t f = timing << (32 - lead);        // bits below the leading one
    PoolLockGuard guard;
    qelRandomEntropyCombine(e, g_pool.pendingFraction, 0, f);
    std::uint32_t credit = std::min<std::uint32_t>(e, 10);
    g_pool.pending += credit;
    if (g_pool.pending > kPendingCap - 1) {
        g_pool.pending = kPendingCap;
        g_pool.pendingFraction = 0;
    }
    return credit;
}

void qelRandomPoolReset()
{
    PoolLockGuard guard;
    g_pool.entropy = 0;
    g_pool.entropyFraction = 0;
    g_pool.creditedTotal = 0;
    g_pool.pending = 0;
    g_pool.pendingFraction = 0;
    g_pool.poolPosition = 0;
    g_pool.inputPosition = 0;
    g_pool.stirCredit = 0;
    g_pool.outputUsed = kOutputBytes;
}

QELStatus qelRandomPoolDestroyLock()
{
    // The lock lives as long as the process (see g_poolLock).
    return 0;
}

bool qelRandomPoolIsSeeded()
{
    PoolLockGuard guard;
    return g_pool.seeded;
}

void qelRandomPoolSetSeeded()
{
    PoolLockGuard guard;
    g_pool.seeded = true;
}

void qelRandomPoolClearSeeded()
{
    PoolLockGuard guard;
    g_pool.seeded = false;
}

void qelRandomPoolGetCounters(QELRandomPoolCounters *out)
{
    if (out == nullptr)
        return;
    PoolLockGuard guard;
    out->entropy = g_pool.entropy;
    out->entropyFraction = g_pool.entropyFraction;
    out->creditedTotal = g_pool.creditedTotal;
    out->pending = g_pool.pending;
    out->pendingFraction = g_pool.pendingFraction;
    out->poolPosition = g_pool.poolPosition;
    out->inputPosition = g_pool.inputPosition;
    out->outputUsed = g_pool.outputUsed;
    out->stirCredit = g_pool.stirCredit;
    out->compressions = g_pool.compressions;
}

#ifdef QEL_TEST_HOOKS
void qelRandomPoolClearAllForTesting()
{
    PoolLockGuard guard;
    qelSecureWipe(&g_pool, sizeof g_pool);
    g_pool.outputUsed = kOutputBytes;
}
#endif

// ---- Dummy source ---------------------------------------------------------

void qelRandomDummyAdd(void *, const void *, std::uint32_t) {}

void qelRandomDummyGet(void *, void *buffer, std::uint32_t length, std::uint32_t)
{
    if (buffer != nullptr && length != 0)
        std::memset(buffer, 0, length);
}

void qelRandomDummyStir(void *) {}

// ---- Public queries, answered by the service in its client ----------------

std::int32_t qelRandomPoolGetEntropy()
{
    if (qelAPIGate(kGateFile, __LINE__) != 0)
        return 0;
    std::int32_t entropy = 0;
    if (qelCryptoService().poolGetStatus(&entropy, nullptr, nullptr, nullptr, nullptr) != 0)
        return 0;
    return entropy;
}

std::uint32_t qelRandomPoolGetSize()
{
    std::uint32_t size = 0;
    if (qelCryptoService().poolGetStatus(nullptr, &size, nullptr, nullptr, nullptr) != 0)
        return 0;
    return size;
}

std::uint32_t qelRandomPoolGetMinimumEntropy()
{
    std::uint32_t minimum = 0;
    if (qelCryptoService().poolGetStatus(nullptr, nullptr, &minimum, nullptr, nullptr) != 0)
        return 0;
    return minimum;
}

std::uint8_t qelRandomPoolGetStatusFlag()
{
    if (qelAPIGate(kGateFile, __LINE__) != 0)
        return 0;
    std::uint8_t flag = 0;
    if (qelCryptoService().poolGetStatus(nullptr, nullptr, nullptr, nullptr, &flag) != 0)
        return 0;
    return flag;
}
