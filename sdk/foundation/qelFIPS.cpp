// FIPS mode state, the self-test driver and the API entry guard.
#include "qelFIPSInternal.h"

#include "qelContextInternal.h"
#include "qelFileSpecInternal.h"
#include "qelLayerSeamsInternal.h"
#include "qelMacBinaryInternal.h"
#include "qelSDKInternal.h"
#include "qelSeams.h"
#include "qelTestHooks.h"

#include <atomic>

namespace {

// Written by the thread that enables FIPS mode and runs the tests, read by
// every thread that enters the SDK.
std::atomic<std::uint8_t> g_fipsMode{0};
std::atomic<std::uint8_t> g_selfTestsStarted{0};
std::atomic<QELStatus> g_latchedError{0};

std::atomic<QELSelfTestProc> g_testOverride[4]{};

QELSelfTestProc selfTestOf(std::int32_t kind)
{
    if (kind < QELSelfTest_Cipher || kind > QELSelfTest_None)
        return nullptr;
    if (QELSelfTestProc proc = g_testOverride[kind].load())
        return proc;
    // The tests live with the layers they test; before those are in, a
    // test has nothing to run and refuses.
    switch (kind) {
    case QELSelfTest_Cipher:
        return qelCryptoSeams().cipherSelfTest;
    case QELSelfTest_DSA:
        return qelPubKeySeams().dsaSelfTest;
    default:
        return qelServiceSeams().selfTestNone;
    }
}

} // namespace

QELStatus qelAPIGate(const char *, int)
{
    QELStatus result = QELError_NoErr;
    if (g_fipsMode.load()) {
        result = g_latchedError.load();
        if (result == QELError_NoErr && qelSDKIsInitialized() && !g_selfTestsStarted.load())
            result = QELError_SelfTestsNotExecuted;
    }
    if (qelServiceConnected())
        if (auto apply = qelKeysSeams().applyRemoteChanges)
            apply();
    return result;
}

QELStatus qelFIPSEnable()
{
    g_fipsMode.store(1);
    return QELError_NoErr;
}

std::uint8_t qelFIPSModeEnabled()
{
    return g_fipsMode.load();
}

std::uint8_t qelFIPSSelfTestsStarted()
{
    return g_selfTestsStarted.load();
}

QELStatus qelFIPSGetError()
{
    return g_latchedError.load();
}

void qelFIPSLatchError(QELStatus status)
{
    if (!g_fipsMode.load() || status == QELError_NoErr)
        return;
    QELStatus none = QELError_NoErr;
    g_latchedError.compare_exchange_strong(none, status);
}

QELStatus qelFIPSRunSelfTest(std::int32_t kind)
{
    if (!g_fipsMode.load())
        return QELError_BadParams;
    QELStatus status = qelAPIGate("qelFIPS", __LINE__);
    if (status != QELError_NoErr)
        return status;
    QELSelfTestProc test = selfTestOf(kind);
    status = test != nullptr ? test() : QELError_BadParams;
    if (status != QELError_NoErr)
        qelFIPSLatchError(status);
    return status;
}

QELStatus qelFIPSRunAllSelfTests()
{
    if (!g_fipsMode.load())
        return QELError_BadParams;
    g_selfTestsStarted.store(1);
    QELStatus status = qelAPIGate("qelFIPS", __LINE__);
    if (status != QELError_NoErr)
        return status;
    for (std::int32_t kind : {QELSelfTest_Cipher, QELSelfTest_DSA, QELSelfTest_None}) {
        status = qelFIPSRunSelfTest(kind);
        if (status != QELError_NoErr)
            return status;
    }
    return QELError_NoErr;
}

QELStatus qelFIPSRecheck()
{
    // A failure is latched by the run and returned just below.
    if (g_fipsMode.load() && g_latchedError.exchange(QELError_NoErr) != QELError_NoErr)
        static_cast<void>(qelFIPSRunAllSelfTests());
    return g_latchedError.load();
}

#ifdef QEL_TEST_HOOKS
void qelFIPSSetSelfTestForTesting(std::int32_t kind, QELSelfTestProc proc)
{
    if (kind >= QELSelfTest_Cipher && kind <= QELSelfTest_None)
        g_testOverride[kind].store(proc);
}
#endif

namespace {

constexpr const char *kUtilitiesGateFile = "qelUtilities";

// The file utilities: bad arguments are refused first, then the API gate
// is asked, then the operation runs.
// (The caller's line goes to the gate as a plain argument: clang 14 with
// libstdc++ 12 has no std::source_location.)
template <typename Operation>
QELStatus gatedCallAt(int line, bool argumentsValid, Operation operation)
{
    if (!argumentsValid)
        return QELError_BadParams;
    QELStatus status = qelAPIGate(kUtilitiesGateFile, line);
    return status != QELError_NoErr ? status : operation();
}

#define QEL_GATED_CALL(...) gatedCallAt(__LINE__, __VA_ARGS__)

} // namespace

QELStatus qelMacBinaryDecodeFile(const QELFileSpec *spec, QELFileSpec **outSpec,
                                 std::uint32_t *outCreator, std::uint32_t *outType)
{
    if (outSpec != nullptr)
        *outSpec = nullptr;
    if (outCreator != nullptr)
        *outCreator = 0;
    if (outType != nullptr)
        *outType = 0;
    return QEL_GATED_CALL(qelFileSpecIsValid(spec) && outSpec != nullptr,
                     [&] { return qelMacBinaryDecode(spec, outSpec, outCreator, outType); });
}

// The file-specification module already hands out a block of the spec's own
// manager.
QELStatus qelFileSpecGetFullPath(const QELFileSpec *spec, char **outPath)
{
    if (outPath != nullptr)
        *outPath = nullptr;
    return QEL_GATED_CALL(qelFileSpecIsValid(spec) && outPath != nullptr,
                     [&] { return qelFileSpecGetPath(spec, outPath); });
}

// A bad context gives a null manager, which the constructor refuses.
QELStatus qelNewFileSpecFromFullPath(QELContext *context, const char *path,
                                     QELFileSpec **outSpec)
{
    if (outSpec != nullptr)
        *outSpec = nullptr;
    return QEL_GATED_CALL(path != nullptr && outSpec != nullptr, [&] {
        return qelFileSpecNewFromPath(qelContextGetMemoryMgr(context), path, outSpec);
    });
}

QELStatus qelDeleteFile(const QELFileSpec *spec)
{
    return QEL_GATED_CALL(qelFileSpecIsValid(spec), [&] { return qelFileSpecDelete(spec); });
}

QELStatus qelRenameFile(QELFileSpec *spec, const char *newName)
{
    return QEL_GATED_CALL(qelFileSpecIsValid(spec) && newName != nullptr,
                     [&] { return qelFileSpecRename(spec, newName); });
}

QELStatus qelFreeFileSpec(QELFileSpec *spec)
{
    return QEL_GATED_CALL(qelFileSpecIsValid(spec), [&] { return qelFileSpecFree(spec); });
}

QELStatus qelCopyFileSpec(const QELFileSpec *spec, QELFileSpec **outCopy)
{
    if (outCopy != nullptr)
        *outCopy = nullptr;
    return QEL_GATED_CALL(qelFileSpecIsValid(spec) && outCopy != nullptr,
                     [&] { return qelFileSpecCopy(spec, outCopy); });
}
