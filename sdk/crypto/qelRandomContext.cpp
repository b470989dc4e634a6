// Random contexts and generators: drawing bytes and uniform ranges from any
// random context, the ANSI X9.17 generator over a block cipher in the CFB
// object's generator mode, and the front end to the service's generator.
#include "qelRandomContextInternal.h"

#include "qelCFBInternal.h"
#include "qelContextInternal.h"
#include "qelCryptoServiceSeamsInternal.h"
#include "qelFIPSInternal.h"
#include "qelMemoryInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTimeDateInternal.h"
#include "qelAlgorithms.h"
#include "qelByteOrderInternal.h"
#include "qelWipe.h"
#include "qelTestHooks.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// The generator's cipher object is keyed and seeded by washing this many
// bytes of the seed source into it.
constexpr std::uint32_t kX917SeedBytes = 32;
constexpr std::size_t kMaxBlock = 16;

struct X917State {
    QELCFBContext *cfb;             // owns the generator's cipher; holds the seed
    QELRandomContext *seedSource;   // not owned
};

struct FrontEndState {
    QELContext *context;
    std::uint8_t *reserve;          // secure block, or null
    std::uint64_t reserveCount;
};
static_assert(sizeof(FrontEndState) == 24);
static_assert(sizeof(QELRandomContext) == 32);

const QELRandomDescriptor kX917Descriptor = {
    "X9.17-based cryptographic PRNG", qelRandomX917Add, qelRandomX917Get, qelRandomX917Stir};

const QELRandomDescriptor kFrontEndDescriptor = {
    "frontend to cryptographic PRNG", qelRandomFrontEndAdd, qelRandomFrontEndGet,
    qelRandomFrontEndStir};

// A generator that cannot deliver must not hand out predictable bytes as if
// they were random: what it wrote goes, and the caller hears why.
QELStatus randomFailure(void *buffer, std::uint32_t length, QELStatus why)
{
    if (buffer != nullptr)
        qelSecureWipe(buffer, length);
    return why;
}

#ifdef QEL_TEST_HOOKS
std::atomic<bool> gFailTimeStamp{false};
#endif

// FIPS mode mixes the current time, encrypted under the generator's own
// cipher, into every block T.
QELStatus encryptTimeStamp(QELCFBContext *cfb, std::array<std::uint8_t, kMaxBlock> &stamp)
{
    QELSymmetricCipher *cipher = nullptr;
    if (QELStatus status = qelCFBGetSymmetricCipher(cfb, &cipher); status != QELError_NoErr)
        return status;
#ifdef QEL_TEST_HOOKS
    if (gFailTimeStamp.load())
        return QELError_NotInitialized;
#endif
    stamp.fill(0);
    qelWriteUInt32LE(qelTimeDateNow(), stamp.data());
    return qelSymmetricCipherEncryptBlock(cipher, stamp.data(), stamp.data());
}

[[nodiscard]] QELStatus sourceGet(QELRandomContext *source, void *buffer, std::uint32_t length, std::uint32_t bits)
{
    if (source == nullptr || source->descriptor == nullptr || source->descriptor->get == nullptr)
        return randomFailure(buffer, length, QELError_BadParams);
    return source->descriptor->get(source->state, buffer, length, bits);
}

// Draws one big-endian unsigned value of `bytes` bytes, claiming no entropy.
[[nodiscard]] QELStatus drawValue(QELRandomContext *random, std::uint32_t bytes, std::uint32_t *value)
{
    std::array<std::uint8_t, 4> v{};
    const QELStatus status = sourceGet(random, v.data(), bytes, 0);
    std::uint32_t x = 0;
    for (std::uint32_t i = 0; i < bytes; ++i)
        x = (x << 8) | v[i];
    qelSecureWipe(v.data(), v.size());
    *value = x;
    return status;
}

// A generator record and its zeroed state from the context's memory: both or
// neither.
template <class State>
bool allocateRecord(QELContext *context, QELRandomContext *&random, State *&state)
{
    random = static_cast<QELRandomContext *>(
        qelContextMemAlloc(context, sizeof(QELRandomContext), QELMemFlag_Clear));
    state = static_cast<State *>(qelContextMemAlloc(context, sizeof(State), QELMemFlag_Clear));
    if (random != nullptr && state != nullptr)
        return true;
    if (random != nullptr)
        static_cast<void>(qelContextMemFree(context, random));
    if (state != nullptr)
        static_cast<void>(qelContextMemFree(context, state));
    return false;
}

} // namespace

// ---------------------------------------------------------------------------
// Drawing from any random context

QELStatus qelRandomGetBytes(QELRandomContext *random, void *buffer, std::uint32_t length)
{
    return sourceGet(random, buffer, length, 8u * length);
}

QELStatus qelRandomRange(QELRandomContext *random, std::uint32_t n, std::uint32_t bits, std::uint32_t *value)
{
    *value = 0;
    std::uint8_t discard = 0;
    if (const QELStatus status = sourceGet(random, &discard, 1, bits); status != QELError_NoErr)
        return status;
    if (n < 2)
        return QELError_NoErr;
    // Values are drawn in the narrowest width that covers n (one byte, two
    // bytes, or four bytes above 65536, where two bytes cannot reach) and
    // mapped by a quotient; values beyond the last whole multiple of n are
    // drawn again, so every result is equally likely.
    const std::uint32_t width = n <= 256 ? 1 : n <= 65536 ? 2 : 4;
    const std::uint64_t span = std::uint64_t{1} << (8 * width);
    const std::uint64_t q = span / n;
    for (;;) {
        std::uint32_t drawn = 0;
        if (const QELStatus status = drawValue(random, width, &drawn); status != QELError_NoErr)
            return status;
        const std::uint64_t x = drawn / q;
        if (x < n) {
            *value = static_cast<std::uint32_t>(x);
            return QELError_NoErr;
        }
    }
}

// ---------------------------------------------------------------------------
// The context's default generator

QELRandomContext *qelRandomContextCreateDefault(QELContext *context)
{
    if (qelServiceConnected())
        return qelRandomFrontEndCreate(context);
    const std::int32_t id = qelFIPSModeEnabled() ? QELCipherAlgorithm_3DES : QELCipherAlgorithm_CAST5;
    return qelRandomX917Create(context, id, qelContextGetPoolRandomContext(context));
}

// ---------------------------------------------------------------------------
// ANSI X9.17 generator

const QELRandomDescriptor *qelRandomX917Descriptor()
{
    return &kX917Descriptor;
}

QELRandomContext *qelRandomX917Create(QELContext *context, std::int32_t cipherAlgorithm,
                                      QELRandomContext *seedSource)
{
    if (seedSource == nullptr || seedSource->descriptor == nullptr)
        return nullptr;
    const QELCipherDescriptor *descriptor = qelCipherDescriptorFind(cipherAlgorithm);
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
    if (descriptor == nullptr || mgr == nullptr || descriptor->encrypt == nullptr ||
        descriptor->wash == nullptr || descriptor->blockSize > kMaxBlock)
        return nullptr;
    QELCFBContext *cfb = qelCFBCreateForDescriptor(mgr, descriptor);
    if (cfb == nullptr)
        return nullptr;
    QELRandomContext *random = nullptr;
    X917State *state = nullptr;
    if (!allocateRecord(context, random, state)) {
        static_cast<void>(qelCFBFree(cfb));
        return nullptr;
    }

    std::array<std::uint8_t, kX917SeedBytes> seed{};
    QELStatus status = sourceGet(seedSource, seed.data(), kX917SeedBytes, 0);
    if (status == QELError_NoErr)
        status = qelCFBWash(cfb, seed.data(), seed.size());
    qelSecureWipe(seed.data(), seed.size());
    if (status != QELError_NoErr) {
        static_cast<void>(qelContextMemFree(context, random));
        static_cast<void>(qelContextMemFree(context, state));
        qelCFBWipe(cfb);
        static_cast<void>(qelCFBFree(cfb));
        return nullptr;
    }

    state->cfb = cfb;
    state->seedSource = seedSource;
    random->context = context;
    random->descriptor = &kX917Descriptor;
    random->state = state;
    random->destroy = qelRandomX917Destroy;
    return random;
}

QELRandomContext *qelRandomX917CreateZeroSeed(QELContext *context)
{
    const std::int32_t id = qelFIPSModeEnabled() ? QELCipherAlgorithm_3DES : QELCipherAlgorithm_CAST5;
    return qelRandomX917Create(context, id, qelContextGetDummyRandomContext(context));
}

void qelRandomX917Add(void *stateIn, const void *data, std::uint32_t length)
{
    auto *state = static_cast<X917State *>(stateIn);
    if (state == nullptr || (data == nullptr && length != 0))
        return;
    static constexpr std::uint8_t none = 0;
    // Descriptor operations return nothing; the wash of our own one-stream object cannot fail.
    static_cast<void>(qelCFBWash(state->cfb, data != nullptr ? data : &none, length));
}

void qelRandomX917Stir(void *stateIn)
{
    auto *state = static_cast<X917State *>(stateIn);
    if (state == nullptr)
        return;
    static constexpr std::uint8_t none = 0;
    // Descriptor operations return nothing; the wash of our own one-stream object cannot fail.
    static_cast<void>(qelCFBWash(state->cfb, &none, 0));
    QELRandomContext *source = state->seedSource;
    source->descriptor->stir(source->state);
}

QELStatus qelRandomX917Get(void *stateIn, void *bufferIn, std::uint32_t length, std::uint32_t bits)
{
    auto *state = static_cast<X917State *>(stateIn);
    auto *buffer = static_cast<std::uint8_t *>(bufferIn);
    if (state == nullptr)
        return randomFailure(buffer, length, QELError_BadParams);
    // The seed source is charged for the entropy the caller takes away.
    if (const QELStatus status = sourceGet(state->seedSource, buffer, 0, bits); status != QELError_NoErr)
        return randomFailure(buffer, length, status);
    if (length == 0 || buffer == nullptr)
        return length == 0 ? QELError_NoErr : QELError_BadParams;

    std::uint32_t done = 0;
    std::size_t taken = 0;
    // A failed take leaves taken at 0; the loop below refills.
    static_cast<void>(qelCFBRandomTake(state->cfb, length, buffer, &taken));
    done += static_cast<std::uint32_t>(taken);

    const std::size_t blockSize = qelCFBGetBlockSize(state->cfb);
    const bool fips = qelFIPSModeEnabled() != 0;
    std::array<std::uint8_t, kMaxBlock> t{};
    std::array<std::uint8_t, kMaxBlock> stamp{};
    while (done < length) {
        QELStatus status = sourceGet(state->seedSource, t.data(), static_cast<std::uint32_t>(blockSize), 0);
        // Without its encrypted stamp the block is not what FIPS mode
        // promises: nothing is handed out.
        if (status == QELError_NoErr && fips)
            status = encryptTimeStamp(state->cfb, stamp);
        if (status != QELError_NoErr) {
            qelSecureWipe(t.data(), t.size());
            qelSecureWipe(stamp.data(), stamp.size());
            return randomFailure(buffer, length, status);
        }
        if (fips) {
            for (std::size_t i = 0; i < blockSize; ++i)
                t[i] ^= stamp[i];
        }
        // A failed continuous test is latched by the step itself; its output
        // is still used.
        static_cast<void>(qelCFBRandomCycle(state->cfb, t.data()));
        taken = 0;
        // A failed take leaves taken at 0, handled just below.
        static_cast<void>(qelCFBRandomTake(state->cfb, length - done, buffer + done, &taken));
        if (taken == 0) {
            qelSecureWipe(t.data(), t.size());
            return randomFailure(buffer, length, QELError_OutOfEntropy);
        }
        done += static_cast<std::uint32_t>(taken);
    }
    qelSecureWipe(t.data(), t.size());
    qelSecureWipe(stamp.data(), stamp.size());
    return QELError_NoErr;
}

void qelRandomX917Destroy(QELRandomContext *random)
{
    if (random == nullptr)
        return;
    QELContext *context = random->context;
    auto *state = static_cast<X917State *>(random->state);
    if (state != nullptr) {
        if (state->cfb != nullptr) {
            qelCFBWipe(state->cfb);
            static_cast<void>(qelCFBFree(state->cfb));
        }
        // The continuous test's copy is a block this generator handed out.
        qelCFBClearLastOutput();
        std::memset(state, 0, sizeof *state);
        static_cast<void>(qelContextMemFree(context, state));
    }
    std::memset(random, 0, sizeof *random);
    static_cast<void>(qelContextMemFree(context, random));
}

// ---------------------------------------------------------------------------
// Front end to the service's generator

const QELRandomDescriptor *qelRandomFrontEndDescriptor()
{
    return &kFrontEndDescriptor;
}

QELRandomContext *qelRandomFrontEndCreate(QELContext *context)
{
    QELRandomContext *random = nullptr;
    FrontEndState *state = nullptr;
    if (!allocateRecord(context, random, state))
        return nullptr;
    state->context = context;
    random->context = context;
    random->descriptor = &kFrontEndDescriptor;
    random->state = state;
    random->destroy = qelRandomFrontEndDestroy;
    return random;
}

namespace {

void releaseReserve(FrontEndState *state)
{
    if (state->reserve != nullptr) {
        qelSecureWipe(state->reserve, static_cast<std::size_t>(state->reserveCount));
        static_cast<void>(qelContextMemFree(state->context, state->reserve));
    }
    state->reserve = nullptr;
    state->reserveCount = 0;
}

} // namespace

QELStatus qelRandomFrontEndGet(void *stateIn, void *bufferIn, std::uint32_t length, std::uint32_t bits)
{
    auto *state = static_cast<FrontEndState *>(stateIn);
    auto *buffer = static_cast<std::uint8_t *>(bufferIn);
    if (state == nullptr || (length != 0 && buffer == nullptr))
        return randomFailure(buffer, length, QELError_BadParams);
    std::uint8_t *const whole = buffer;
    const std::uint32_t wholeLength = length;

    // Bytes reserved earlier with full entropy pay for the bits claimed first.
    if (bits != 0 && state->reserveCount > 0 && length > 0) {
        const std::uint64_t k = std::min<std::uint64_t>(
            {(std::uint64_t{bits} + 7) / 8, length, state->reserveCount});
        std::memcpy(buffer, state->reserve, static_cast<std::size_t>(k));
        buffer += k;
        length -= static_cast<std::uint32_t>(k);
        bits = std::uint64_t{bits} > 8 * k ? bits - static_cast<std::uint32_t>(8 * k) : 0;
        if (k == state->reserveCount) {
            releaseReserve(state);
        } else {
            const std::uint64_t rest = state->reserveCount - k;
            std::memmove(state->reserve, state->reserve + k, static_cast<std::size_t>(rest));
            qelSecureWipe(state->reserve + rest, static_cast<std::size_t>(k));
            void *block = state->reserve;
            // Shrinking a block keeps it usable even when the manager refuses.
            if (qelContextMemRealloc(state->context, &block, static_cast<std::size_t>(rest), 0) ==
                QELError_NoErr)
                state->reserve = static_cast<std::uint8_t *>(block);
            state->reserveCount = rest;
        }
        if (length == 0)
            return QELError_NoErr;
    }

    void *block = nullptr;
    std::uint32_t count = 0;
    const QELStatus status = qelCryptoService().getBytes(state->context, length, bits, &block, &count);
    const bool complete = status == QELError_NoErr && block != nullptr && count >= length;
    if (block != nullptr) {
        if (complete)
            std::memcpy(buffer, block, length);
        qelSecureWipe(block, count);
        static_cast<void>(qelContextMemFree(state->context, block));
    }
    if (!complete)
        return randomFailure(whole, wholeLength, status != QELError_NoErr ? status : QELError_OutOfEntropy);
    return QELError_NoErr;
}

void qelRandomFrontEndAdd(void *stateIn, const void *data, std::uint32_t length)
{
    auto *state = static_cast<FrontEndState *>(stateIn);
    if (state == nullptr)
        return;
    // Descriptor operations return nothing: adding is best effort.
    static_cast<void>(qelCryptoService().addBytes(state->context, data, length));
}

void qelRandomFrontEndStir(void *stateIn)
{
    auto *state = static_cast<FrontEndState *>(stateIn);
    if (state == nullptr)
        return;
    // Descriptor operations return nothing: stirring is best effort.
    static_cast<void>(qelCryptoService().stir(state->context));
}

std::uint64_t qelRandomFrontEndReserve(QELRandomContext *random, std::uint32_t wanted)
{
    const std::int32_t entropyBits = qelRandomPoolGetEntropy();
    const std::uint64_t entropyBytes = entropyBits > 0 ? static_cast<std::uint64_t>(entropyBits) / 8 : 0;
    if (random == nullptr || random->descriptor != &kFrontEndDescriptor || random->state == nullptr)
        return entropyBytes;
    auto *state = static_cast<FrontEndState *>(random->state);
    if (state->reserveCount >= wanted)
        return state->reserveCount;

    // The estimate is in bits: never reserve more bytes than it covers.
    const std::uint64_t fetch = std::min<std::uint64_t>(wanted - state->reserveCount, entropyBytes);
    if (fetch == 0)
        return state->reserveCount;
    void *block = nullptr;
    std::uint32_t count = 0;
    const QELStatus status = qelCryptoService().getBytes(
        state->context, static_cast<std::uint32_t>(fetch), static_cast<std::uint32_t>(8 * fetch),
        &block, &count);
    if (status != QELError_NoErr || block == nullptr || count == 0) {
        if (block != nullptr) {
            qelSecureWipe(block, count);
            static_cast<void>(qelContextMemFree(state->context, block));
        }
        return state->reserveCount;
    }
    const std::uint64_t got = std::min<std::uint64_t>(count, fetch);

    // A failed allocation keeps the old reserve and drops what was fetched.
    if (state->reserve == nullptr) {
        auto *fresh = static_cast<std::uint8_t *>(
            qelMemAllocSecure(qelContextGetMemoryMgr(state->context), static_cast<std::size_t>(got), 0));
        if (fresh != nullptr) {
            std::memcpy(fresh, block, static_cast<std::size_t>(got));
            state->reserve = fresh;
            state->reserveCount = got;
        }
    } else {
        void *grown = state->reserve;
        if (qelContextMemRealloc(state->context, &grown,
                                 static_cast<std::size_t>(state->reserveCount + got), 0) == QELError_NoErr) {
            state->reserve = static_cast<std::uint8_t *>(grown);
            std::memcpy(state->reserve + state->reserveCount, block, static_cast<std::size_t>(got));
            state->reserveCount += got;
        }
    }
    qelSecureWipe(block, count);
    static_cast<void>(qelContextMemFree(state->context, block));
    return state->reserveCount;
}

void qelRandomFrontEndDestroy(QELRandomContext *random)
{
    if (random == nullptr)
        return;
    QELContext *context = random->context;
    auto *state = static_cast<FrontEndState *>(random->state);
    std::memset(random, 0, sizeof *random);
    static_cast<void>(qelContextMemFree(context, random));
    if (state != nullptr) {
        releaseReserve(state);
        std::memset(state, 0, sizeof *state);
        static_cast<void>(qelContextMemFree(context, state));
    }
}

#ifdef QEL_TEST_HOOKS
void qelRandomX917FailTimeStampForTesting(bool fail)
{
    gFailTimeStamp.store(fail);
}
#endif
