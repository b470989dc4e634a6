// The key operations that take option lists. Every entry point follows one
// pattern: pass the API guard (a refusal leaves the caller's lists alone),
// refuse bad fixed arguments after consuming the lists, merge the lists into
// one list of the working context, and run the option-list front end on it.
// The merged list has exactly one owner, the entry point: the operations
// only read it, and it is freed here on every path, so neither a failing
// operation nor an exception can free it twice or leak it.
#include "qelClientKeyDB.h"

#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelKeyGenInternal.h"
#include "qelKeyIOExportInternal.h"
#include "qelKeyIOImportInternal.h"
#include "qelKeyManInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySetInternal.h"
#include "qelOptionListInternal.h"
#include "qelSeams.h"

#include <cstdarg>
#include <cstring>
#include <new>

namespace {

// The result when the fixed arguments are refused: the lists given are
// consumed all the same.
QELStatus refuse(QELOptionList *first, std::va_list args, QELStatus result = QELError_BadParams)
{
    static_cast<void>(qelOptionListFreeV(first, args));
    return result;
}

// Runs op on the merged list of the call; a list error becomes the result
// through failed() without running it. No exception leaves: an allocation
// failure inside the operation is QELError_OutOfMemory, and the merged list
// is freed by then.
template <typename Op, typename Failed>
auto runOn(QELContext *context, QELOptionList *first, std::va_list args, Op op, Failed failed)
{
    qel::MergedOptions merged = qel::mergeOptions(context, first, args);
    if (merged.error != QELError_NoErr)
        return failed(merged.error);
    try {
        return op(merged.list.get());
    } catch (const std::bad_alloc &) {
        return failed(QELError_OutOfMemory);
    }
}

template <typename Op>
QELStatus runOn(QELContext *context, QELOptionList *first, std::va_list args, Op op)
{
    return runOn(context, first, args, op, [](QELStatus s) { return s; });
}

QELStatus run(QELContext *context, QELOptionList *first, std::va_list args,
              QELStatus (*op)(QELKeyObject *, QELOptionList *), QELKeyObject *object)
{
    return runOn(context, first, args, [&](QELOptionList *options) { return op(object, options); });
}

bool isKeyOrSubKey(const QELKeyObject *object) { return qelKeyObjIsKey(object) || qelKeyObjIsSubKey(object); }

// The longest user ID text, its terminating NUL included.
constexpr std::size_t kMaxUserIDSize = 255;

} // namespace

// Each entry point reads its variable arguments through one va_list; the
// macro keeps va_start and va_end in the entry point itself.
#define QEL_WITH_ARGS(first, body)                                              \
    std::va_list args;                                                          \
    va_start(args, first);                                                      \
    auto result_ = [&]() { body }();                                            \
    va_end(args);                                                               \
    return result_

QELStatus qelUserIDSetPrimary(QELKeyObject *userID, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsUserID(userID))
            return refuse(first, args);
        return run(qelKeyObjContext(userID), first, args, qelUserIDSetPrimaryWithOptions, userID);
    });
}

QELStatus qelUserIDCertify(QELKeyObject *userID, QELKeyObject *signerKey, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsUserID(userID) || !qelKeyObjIsKey(signerKey))
            return refuse(first, args);
        return runOn(qelKeyObjContext(signerKey), first, args, [&](QELOptionList *o) {
            return qelUserIDCertifyWithOptions(userID, signerKey, o);
        });
    });
}

QELStatus qelSigRevoke(QELKeyObject *sig, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsSignature(sig))
            return refuse(first, args);
        return run(qelKeyObjContext(sig), first, args, qelSigRevokeWithOptions, sig);
    });
}

QELStatus qelKeyRevoke(QELKeyObject *keyOrSubKey, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!isKeyOrSubKey(keyOrSubKey))
            return refuse(first, args);
        return run(qelKeyObjContext(keyOrSubKey), first, args,
                   qelKeyObjIsKey(keyOrSubKey) ? qelKeyRevokeWithOptions : qelSubKeyRevokeWithOptions,
                   keyOrSubKey);
    });
}

QELStatus qelKeyAddUserID(QELKeyObject *key, const char *userID, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsKey(key) || userID == nullptr || std::strlen(userID) + 1 > kMaxUserIDSize)
            return refuse(first, args);
        return runOn(qelKeyObjContext(key), first, args,
                     [&](QELOptionList *o) { return qelKeyAddUserIDWithOptions(key, userID, o); });
    });
}

QELStatus qelKeyAddUserAttribute(QELKeyObject *key, std::int32_t type, const void *data, std::uint64_t length,
                                 QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        // The type is one octet in the packet: a wider value would silently
        // become another type.
        if (!qelKeyObjIsKey(key) || data == nullptr || type < 0 || type > 255)
            return refuse(first, args);
        return runOn(qelKeyObjContext(key), first, args, [&](QELOptionList *o) {
            return qelKeyAddUserAttributeWithOptions(key, static_cast<std::uint8_t>(type), data,
                                                     static_cast<std::size_t>(length), o);
        });
    });
}

QELStatus qelKeyChangePassphrase(QELKeyObject *keyOrSubKey, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!isKeyOrSubKey(keyOrSubKey))
            return refuse(first, args);
        return run(qelKeyObjContext(keyOrSubKey), first, args,
                   qelKeyObjIsKey(keyOrSubKey) ? qelKeyChangePassphraseWithOptions
                                               : qelSubKeyChangePassphraseWithOptions,
                   keyOrSubKey);
    });
}

std::uint8_t qelKeyPassphraseIsValid(QELKeyObject *key, QELOptionList *first, ...)
{
    // Every failure, a refusal by the guard included, reads as "not valid".
    if (qelAPIGate(__FILE__, __LINE__) != QELError_NoErr)
        return 0;
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsKey(key)) {
            static_cast<void>(refuse(first, args));
            return std::uint8_t{0};
        }
        return runOn(
            qelKeyObjContext(key), first, args,
            [&](QELOptionList *o) { return std::uint8_t(qelKeyPassphraseIsValidWithOptions(key, o) == 1); },
            [](QELStatus) { return std::uint8_t{0}; });
    });
}

QELStatus qelKeySetAxiomatic(QELKeyObject *key, std::int32_t set, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsKey(key))
            return refuse(first, args);
        return runOn(qelKeyObjContext(key), first, args,
                     [&](QELOptionList *o) { return qelKeySetAxiomaticWithOptions(key, set != 0, o); });
    });
}

QELStatus qelKeyPassphraseToPasskey(QELKeyObject *keyOrSubKey, std::uint8_t *outPasskey, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (outPasskey == nullptr || !isKeyOrSubKey(keyOrSubKey))
            return refuse(first, args);
        return runOn(qelKeyObjContext(keyOrSubKey), first, args, [&](QELOptionList *o) {
            return qelKeyObjIsKey(keyOrSubKey) ? qelKeyPassphraseToPasskeyWithOptions(keyOrSubKey, outPasskey, o)
                                               : qelSubKeyPassphraseToPasskeyWithOptions(keyOrSubKey, outPasskey, o);
        });
    });
}

QELStatus qelKeyAddRevokers(QELKeyObject *key, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsKey(key))
            return refuse(first, args);
        return run(qelKeyObjContext(key), first, args, qelKeyAddRevokersWithOptions, key);
    });
}

QELStatus qelKeyReservedOperation(QELKeyObject *key, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsKey(key))
            return refuse(first, args);
        return runOn(qelKeyObjContext(key), first, args,
                     [](QELOptionList *) { return QELStatus{QELError_FeatureNotAvailable}; });
    });
}

QELStatus qelKeySetPreferences(QELKeyObject *key, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsKey(key))
            return refuse(first, args);
        return run(qelKeyObjContext(key), first, args, qelKeySetPreferencesWithOptions, key);
    });
}

std::int32_t qelKeyGenEntropyNeeded(QELContext *context, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!qelContextIsValid(context))
            return std::int32_t(refuse(first, args, -1));
        return runOn(
            context, first, args, [&](QELOptionList *o) { return qelKeyGenEntropyNeededWithOptions(context, o); },
            [](QELStatus) { return std::int32_t{-1}; });
    });
}

QELStatus qelKeyGenerate(QELContext *context, QELKeyObject **outKey, QELOptionList *first, ...)
{
    QEL_ENTER(outKey);
    QEL_WITH_ARGS(first, {
        if (!qelContextIsValid(context) || outKey == nullptr)
            return refuse(first, args);
        return runOn(context, first, args,
                     [&](QELOptionList *o) { return qelKeyGenerateWithOptions(outKey, o); });
    });
}

QELStatus qelSubKeyGenerate(QELContext *context, QELKeyObject **outSubKey, QELOptionList *first, ...)
{
    QEL_ENTER(outSubKey);
    QEL_WITH_ARGS(first, {
        if (!qelContextIsValid(context) || outSubKey == nullptr)
            return refuse(first, args);
        return runOn(context, first, args,
                     [&](QELOptionList *o) { return qelSubKeyGenerateWithOptions(outSubKey, o); });
    });
}

QELStatus qelExportKeys(QELContext *context, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!qelContextIsValid(context))
            return refuse(first, args);
        return runOn(context, first, args,
                     [&](QELOptionList *o) { return qelKeyIOExportKeys(context, o); });
    });
}

QELStatus qelImportKeys(QELContext *context, QELKeyDB **outDB, QELOptionList *first, ...)
{
    QEL_ENTER(outDB);
    QEL_WITH_ARGS(first, {
        if (!qelContextIsValid(context) || outDB == nullptr)
            return refuse(first, args);
        return runOn(context, first, args,
                     [&](QELOptionList *o) { return qelKeyIOImportKeys(context, outDB, o); });
    });
}

QELStatus qelCreateSelfSignedX509Certificate(QELKeyObject *key, QELKeyObject **outSig, QELOptionList *first, ...)
{
    QEL_ENTER(outSig);
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsKey(key))
            return refuse(first, args);
        return runOn(qelKeyObjContext(key), first, args,
                     [&](QELOptionList *o) { return qelKeyIOCertify(key, key, outSig, o); });
    });
}

QELStatus qelCreateX509Certificate(QELKeyObject *issuerSig, QELKeyObject *subjectKey, QELKeyObject **outSig,
                                   QELOptionList *first, ...)
{
    QEL_ENTER(outSig);
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsSignature(issuerSig) || !qelKeyObjIsKey(subjectKey))
            return refuse(first, args);
        return runOn(qelKeyObjContext(issuerSig), first, args, [&](QELOptionList *o) {
            return qelKeyIOCertify(issuerSig, subjectKey, outSig, o);
        });
    });
}

QELStatus qelCreateX509CertificateFromRequest(QELKeyObject *issuerSig, QELKeyObject **outSig, QELOptionList *first,
                                              ...)
{
    QEL_ENTER(outSig);
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsSignature(issuerSig))
            return refuse(first, args);
        return runOn(qelKeyObjContext(issuerSig), first, args, [&](QELOptionList *o) {
            return qelKeyIOCertify(issuerSig, nullptr, outSig, o);
        });
    });
}

QELStatus qelCreateX509CRL(QELKeyObject *issuerSig, QELKeySet *revoked, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_WITH_ARGS(first, {
        if (!qelKeyObjIsSignature(issuerSig) || !qelKeySetIsValid(revoked))
            return refuse(first, args);
        return runOn(qelKeyObjContext(issuerSig), first, args,
                     [&](QELOptionList *o) { return qelKeyIOCreateCRL(issuerSig, revoked, o); });
    });
}
