// Key management front ends: the public operations of key management and
// their in-process forms. A process in service mode hands each operation
// with a service form to its dispatcher.
#include "qelKeyManInternal.h"

#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelHelpers.h"
#include "qelRPCClientInternal.h"
#include "qelSeams.h"
#include "qelTokenInternal.h"

#include <cstring>

namespace {


static_assert(sizeof(QELTokenInfo) == QELTokenInfoSize);

// The token layer reads secrets as NUL-terminated text: a wiped copy.
class SecretText {
public:
    SecretText(QELContext *context, const void *secret, std::size_t length)
    {
        if (secret == nullptr)
            length = 0;
        if (!text_.reset(qelContextMemoryMgr(context), length + 1))
            return;
        if (length != 0)
            std::memcpy(text_.get(), secret, length);
    }
    const char *get() const { return text_.get(); }

private:
    qel::WipedBuffer<char> text_;
};

using SecretProc = QELStatus (*)(QELContext *, std::uint32_t, const char *);

QELStatus presentSecret(SecretProc proc, QELContext *context, std::int32_t tokenIndex,
                        const void *secret, std::size_t length)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    SecretText text(context, secret, length);
    if (text.get() == nullptr)
        return QELError_OutOfMemory;
    return proc(context, static_cast<std::uint32_t>(tokenIndex), text.get());
}

} // namespace

// ---- in-process forms ------------------------------------------------------

QELStatus qelTokenCountLocal(QELContext *context, std::int32_t *outCount)
{
    qel::clearOut(outCount);
    if (!qelContextIsValid(context) || outCount == nullptr)
        return QELError_BadParams;
    const auto count = static_cast<std::int32_t>(qelTokenCount());
    if (count < 0)
        return count;
    *outCount = count;
    return QELError_NoErr;
}

QELStatus qelTokenGetInfoLocal(QELContext *context, std::int32_t tokenIndex, QELTokenInfo *outInfo)
{
    qel::clearOut(outInfo);
    if (!qelContextIsValid(context) || outInfo == nullptr)
        return QELError_BadParams;
    return qelTokenGetInfo(static_cast<std::uint32_t>(tokenIndex), outInfo->data);
}

QELStatus qelTokenSubmitSecretLocal(QELContext *context, std::int32_t tokenIndex, const void *secret,
                                    std::size_t length)
{
    return presentSecret(qelTokenSubmitSecret, context, tokenIndex, secret, length);
}

QELStatus qelTokenSetSecretLocal(QELContext *context, std::int32_t tokenIndex, const void *secret,
                                 std::size_t length)
{
    return presentSecret(qelTokenSetSecret, context, tokenIndex, secret, length);
}

QELStatus qelTokenReplaceSecretLocal(QELContext *context, std::int32_t tokenIndex, const void *oldSecret,
                                     std::size_t oldLength)
{
    return presentSecret(qelTokenReplaceSecret, context, tokenIndex, oldSecret, oldLength);
}

QELStatus qelTokenPutDataLocal(QELContext *, const QELKeyID *, const void *, std::size_t, const void *,
                               std::size_t)
{
    return QELError_NoSecretKey;
}

QELStatus qelTokenGetDataLocal(QELContext *, const QELKeyID *, const void *, std::size_t, void **outData,
                               std::size_t *outLength)
{
    qel::clearOut(outData);
    qel::clearOut(outLength);
    return QELError_NoSecretKey;
}

QELStatus qelTokenPutCertificateLocal(QELContext *, const QELKeyID *, const void *, std::size_t, const void *,
                                      std::size_t, const void *, std::size_t)
{
    return QELError_NoErr;
}

// ---- property copies -------------------------------------------------------

QELStatus qelPropertyDataAlloc(QELContext *context, const void *bytes, std::size_t length, void **outPointer)
{
    qel::clearOut(outPointer);
    if (outPointer == nullptr || (bytes == nullptr && length != 0))
        return QELError_BadParams;
    if (length == 0)
        return QELError_UnknownProperty;
    if (length > SIZE_MAX - 2)
        return QELError_OutOfMemory;
    auto *block = static_cast<std::uint8_t *>(qelContextMemAlloc(context, length + 2, 0));
    if (block == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(block, bytes, length);
    block[length] = 0;
    block[length + 1] = 0;
    *outPointer = block;
    return QELError_NoErr;
}

QELStatus qelPropertyDataCopy(const void *bytes, void *buffer, std::size_t length, std::size_t bufferSize)
{
    if ((bytes == nullptr && length != 0) || (buffer == nullptr && bufferSize != 0))
        return QELError_BadParams;
    const std::size_t n = length > bufferSize ? bufferSize : length;
    if (n != 0)
        std::memcpy(buffer, bytes, n);
    if (n < bufferSize)
        static_cast<std::uint8_t *>(buffer)[n] = 0;
    return length > bufferSize ? QELError_BufferTooSmall : QELError_NoErr;
}

// ---- public operations -----------------------------------------------------

QELStatus qelCountTokens(QELContext *context, std::int32_t *outCount)
{
    qel::clearOut(outCount);
    if (!qelContextIsValid(context) || outCount == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    if (qelRPCEnabled())
        return qelTokenCountDispatch(context, outCount);
    return qelTokenCountLocal(context, outCount);
}

QELStatus qelGetTokenInfo(QELContext *context, std::int32_t tokenIndex, QELTokenInfo *outInfo)
{
    qel::clearOut(outInfo);
    if (!qelContextIsValid(context) || outInfo == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    if (qelRPCEnabled())
        return qelTokenGetInfoDispatch(context, tokenIndex, outInfo->data);
    return qelTokenGetInfoLocal(context, tokenIndex, outInfo);
}

QELStatus qelSubmitTokenSecret(QELContext *context, std::int32_t tokenIndex, const void *secret,
                               std::size_t length)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QEL_ENTER();
    if (qelRPCEnabled())
        return qelTokenSubmitSecretDispatch(context, tokenIndex, secret, length);
    return qelTokenSubmitSecretLocal(context, tokenIndex, secret, length);
}

QELStatus qelSetTokenSecret(QELContext *context, std::int32_t tokenIndex, const void *secret,
                            std::size_t length)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QEL_ENTER();
    if (qelRPCEnabled())
        return qelTokenSetSecretDispatch(context, tokenIndex, secret, length);
    return qelTokenSetSecretLocal(context, tokenIndex, secret, length);
}

QELStatus qelReplaceTokenSecret(QELContext *context, std::int32_t tokenIndex, const void *oldSecret,
                                std::size_t oldLength, const void *newSecret, std::size_t newLength)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QEL_ENTER();
    if (qelRPCEnabled())
        return qelTokenReplaceSecretDispatch(context, tokenIndex, oldSecret, oldLength, newSecret,
                                             newLength);
    return qelTokenReplaceSecretLocal(context, tokenIndex, oldSecret, oldLength);
}

QELStatus qelTokenSetConfigString(const char *config)
{
    QEL_ENTER();
    return qelTokenSetConfigStringDispatch(config);
}
