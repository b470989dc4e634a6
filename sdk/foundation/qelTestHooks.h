// Test-only switches. They exist only in qelsdk_testing, the build of the
// library that the test suite links (its sources compiled with
// QEL_TEST_HOOKS); the installed qelsdk has none of them, so no application
// can swap out the self-tests, the thread creation, the entropy sources or
// the service socket. The types below are also what the modules keep
// internally.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <sys/time.h>

#include "qelErrors.h"

// A self-test of one kind.
using QELSelfTestProc = QELStatus (*)();

// The thread-creation call of the housekeeping thread (pthread_create
// signature).
using QELSDKThreadCreateProc = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *),
                                       void *);

// Where the system entropy sources come from; a null field keeps the
// built-in default.
struct QELRandomSourceConfig {
    const char *urandomPath;              // default "/dev/urandom"
    const char *randomPath;               // default "/dev/random" (non-blocking)
    const char *const *commands;          // null-terminated; default ps/vmstat/iostat
    int (*readClock)(struct timeval *tv); // default gettimeofday
};

// The clock of the passphrase cache and of the trust computation: seconds
// since 1970.
using QELClockProc = std::uint32_t (*)();

// Told of each value computed from secrets at the point where it becomes
// public (a signature, a verdict, a public length).
using QELDeclassifyProc = void (*)(const void *data, std::size_t length);

#ifdef QEL_TEST_HOOKS

// Replaces the self-test of one kind (1-3); null restores the built-in one.
void qelFIPSSetSelfTestForTesting(std::int32_t kind, QELSelfTestProc proc);

// Replaces the thread creation of qelHousekeepingStart; null restores the
// platform call.
void qelSDKSetThreadCreateForTesting(QELSDKThreadCreateProc proc);

// Makes the following qelRWLockInit calls use the condition-variable
// stand-in as if semget had failed.
void qelRWLockForceStandIn(bool force);

// Returns every word of the random pool to its process-start state (all
// zero, nothing seeded).
void qelRandomPoolClearAllForTesting();

// Installs an entropy-source configuration (copied; strings must outlive its
// use); null restores the defaults.
void qelRandomSourcesConfigure(const QELRandomSourceConfig *config);
// Returns the event and timing state to its process-start values.
void qelRandomSourcesResetForTesting();

// Connect to this socket path instead of the service's; null restores the
// service's path.
void qelRPCSetSocketPathForTesting(const char *path);
// How long the client waits for reply bytes, in milliseconds (-1, the
// default: as long as it takes).
void qelRPCSetReplyTimeoutForTesting(int milliseconds);
// The n-th reply block from now on cannot be allocated (0 turns this off).
void qelRPCFailReplyAllocForTesting(int n);
// True makes the calling thread see no service connection, as the service
// itself runs: the test service's threads serve requests in process.
void qelRPCSetServingThreadForTesting(bool serving);
// Closes the connection and clears the service-mode flag and the client
// handle, as at process start.
void qelRPCResetForTesting();

// Replaces the clock of the passphrase cache; null restores the system clock.
void qelPassCacheSetClockForTesting(QELClockProc now);

// Replaces the clock of trust propagation; null restores the SDK time.
void qelTrustSetClockForTesting(QELClockProc now);
// Replaces the clock by which key parts are judged expired when one is
// chosen to serve; null restores the SDK time.
void qelKeyUseSetClockForTesting(QELClockProc now);
// Sets the work one user ID's path search may do (0 restores the default).
void qelTrustSetSearchBudgetForTesting(std::uint64_t units);
// Sets the trust-signature applications one pass may make (0 restores the
// default).
void qelTrustSetTrustSigBudgetForTesting(std::uint64_t applications);

// True makes the X9.17 generators' time-stamp encryption (FIPS mode) fail
// as if the cipher had refused, until switched back.
void qelRandomX917FailTimeStampForTesting(bool fail);

// Key database commit: the n-th ring rename from now on fails as if the
// platform refused it (0 turns this off).
// Negative n makes every rename fail until it is switched off.
void qelKeyDBFailRingRenameForTesting(int n);
// Key database commit: the process ends (exit status 86) right after the
// n-th ring rename from now on, as if it had crashed there.
void qelKeyDBCrashAfterRingRenameForTesting(int n);

// Answers the certificate items of the key properties (1602 to 1607 and
// 406) in place of the certificate toolkit: as the qelX509Get... calls, the
// property number telling which item; null restores the toolkit.
using QELX509ItemProc = QELStatus (*)(std::uint32_t property, const std::uint8_t *der, std::size_t length,
                                      std::uint8_t *buffer, std::size_t *inOutLength);
void qelKeyPropertySetX509ForTesting(QELX509ItemProc proc);

// Key editing: the n-th signature attach from now on fails as if memory
// had run out (0 turns this off).
void qelKeyEditFailAttachForTesting(int n);

// True sends every hash, cipher and big-number routine down its portable
// code (no SHA extensions, AES-NI, AVX2, MULX or AVX-512) until switched
// back; the query tells which is in force.
void qelTestForcePortableCrypto(bool portable);
bool qelTestPortableCryptoForced();

// True keeps SHA-384/512 off their AVX-512 code, so that a processor with
// it runs the AVX2 code too (the portable switch above still wins).
void qelTestForceSHA512AVX2(bool avx2);
bool qelTestSHA512AVX2Forced();

// Public-key operations: the proc is told where values computed from
// secrets become public (for a constant-time check under Valgrind, which
// marks them defined there); null switches it off.
void qelCTSetDeclassifyForTesting(QELDeclassifyProc proc);
// The opposite hand-over: the proc is told of secret values as they come
// into being where the checker cannot see them otherwise (key material just
// decrypted at unlock), so that it marks them undefined; null switches it
// off.
void qelCTSetClassifyForTesting(QELDeclassifyProc proc);
// RSA: true flips a bit of the first CRT half of every private operation
// from now on, as a hardware fault would, until switched back.
void qelRSAFaultCRTForTesting(bool fault);

#endif
