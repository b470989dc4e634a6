// FIPS mode, the self-test driver and the API entry guard that every public
// SDK operation passes first.
#pragma once

#include "qelErrors.h"

#include <cstdint>

// Self-test kinds of qelFIPSRunSelfTest.
constexpr std::int32_t QELSelfTest_Cipher = 1; // cipher known-answer tests
constexpr std::int32_t QELSelfTest_DSA = 2;    // DSA power-up test
constexpr std::int32_t QELSelfTest_None = 3;   // does nothing

// 0 to go on, or the refusal: in FIPS mode QELError_SelfTestsNotExecuted
// while the SDK is started and the self-tests have not been started, and the
// latched self-test failure afterwards. The file name and line only say who
// asked. In a service-client process pending key-database change
// notifications are applied on the way.
QELStatus qelAPIGate(const char *file, int line);

QELStatus qelFIPSEnable();
std::uint8_t qelFIPSModeEnabled();
std::uint8_t qelFIPSSelfTestsStarted();
QELStatus qelFIPSGetError();
// In FIPS mode keeps the first failure reported; otherwise does nothing.
void qelFIPSLatchError(QELStatus status);

QELStatus qelFIPSRunSelfTest(std::int32_t kind);
QELStatus qelFIPSRunAllSelfTests();
// Clears a latched failure and runs the self-tests again; returns the
// latched error afterwards.
QELStatus qelFIPSRecheck();

// Tests only: replaces the self-test of one kind (1-3); null restores the
// built-in one.
using QELSelfTestProc = QELStatus (*)();
void qelFIPSSetSelfTestForTesting(std::int32_t kind, QELSelfTestProc proc);

// Guarded public operations on file specifications. Each clears its
// out-parameters, refuses a null or foreign specification or a missing
// required pointer with QELError_BadParams, passes the API entry guard and
// forwards to the file-specification module.
struct QELContext;
struct QELFileSpec;
// Decodes a MacBinary II file into a new file; the creator and type codes
// from its header go to the outs that are given.
QELStatus qelMacBinaryDecodeFile(const QELFileSpec *spec, QELFileSpec **outSpec,
                                 std::uint32_t *outCreator, std::uint32_t *outType);
// The path in a new guarded block of the spec's own manager.
QELStatus qelFileSpecGetFullPath(const QELFileSpec *spec, char **outPath);
QELStatus qelNewFileSpecFromFullPath(QELContext *context, const char *path,
                                     QELFileSpec **outSpec);
QELStatus qelDeleteFile(const QELFileSpec *spec);
QELStatus qelRenameFile(QELFileSpec *spec, const char *newName);
QELStatus qelFreeFileSpec(QELFileSpec *spec);
QELStatus qelCopyFileSpec(const QELFileSpec *spec, QELFileSpec **outCopy);
