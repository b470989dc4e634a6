// Job input, output and options shared by the encode and decode jobs.
#include "qelJobIOInternal.h"

#include "qelArmorWriterInternal.h"
#include "qelByteFifoInternal.h"
#include "qelContextInternal.h"
#include "qelDevNullModuleInternal.h"
#include "qelFileObjectInternal.h"
#include "qelFileOpenInternal.h"
#include "qelFileReadModuleInternal.h"
#include "qelFileSpecInternal.h"
#include "qelHelpers.h"
#include "qelOptionListInternal.h"
#include "qelSettingsInternal.h"
#include "qelTextFilterModuleInternal.h"
#include "qelVarMemoryModuleInternal.h"
#include "qelWipe.h"
#include "qelWriteFileModuleInternal.h"
#include "qelWriteMemoryModuleInternal.h"

#include "qelMemory.h"

#include <algorithm>
#include <cstring>

QELStatus qelJobIntOption(QELOptionList *list, std::int32_t kind, std::int32_t absent, std::int32_t *out)
{
    QELOptionItem item{};
    QELStatus s = qelOptionListFindOneOptional(list, kind, 0, &item);
    if (s != 0)
        return s;
    if (item.kind == 0) {
        *out = absent;
        return 0;
    }
    return qelOptionGetInt(&item, out);
}

// ---- input -----------------------------------------------------------------

QELJobInput::~QELJobInput()
{
    if (reader != nullptr)
        (void)qelFileReadDestroy(reader); // a read-only file: closing it loses nothing
}

std::uint16_t qelJobLineEndOpenFlags(std::int32_t flags)
{
    std::uint16_t open = (flags & 2) != 0 ? QELJobOpen_ConvertAlways : (flags & 1) != 0 ? QELJobOpen_ConvertText : 0;
    if ((flags & 4) != 0)
        open |= QELJobOpen_ConvertCRLF;
    return open;
}

QELStatus qelJobFindInput(QELOptionList *options, QELOptionItem &file, QELOptionItem &buffer)
{
    QELStatus s = qelOptionListFindOneOptional(options, QELOption_InputFile, 0, &file);
    if (s == 0)
        s = qelOptionListFindOneOptional(options, QELOption_InputBuffer, 0, &buffer);
    if (s != 0)
        return s;
    if ((file.kind != 0) == (buffer.kind != 0))
        return QELError_BadParams; // no input, or two
    return 0;
}

QELStatus qelJobItemBytes(const QELOptionItem &item, void **outBytes, std::uint64_t *outLength)
{
    const QELStatus s = qelOptionGetPointerSize(&item, outBytes, outLength);
    if (s != 0)
        return s;
    return *outBytes == nullptr && *outLength != 0 ? QELError_BadParams : 0;
}

QELStatus qelJobOpenInput(QELContext *context, QELOptionList *options, bool wantName, bool detached, bool convert,
                          QELJobInput &input)
{
    QELOptionItem file{}, buffer{};
    QELStatus s = qelJobFindInput(options, file, buffer);
    if (s != 0)
        return s;
    const char *given = nullptr;
    std::int32_t console = 0;
    if (wantName) {
        if ((s = qelOptionListGetValues(options, QELOption_LiteralName, false, "%p", &given)) != 0 ||
            (s = qelJobIntOption(options, QELOption_ForYourEyesOnly, 0, &console)) != 0)
            return s;
        input.named = true;
        if (console != 0)
            input.name = "_CONSOLE";
        else if (given != nullptr)
            input.name = given;
    }
    if (file.kind != 0) {
        void *pointer = nullptr;
        if ((s = qelOptionGetPointer(&file, &pointer)) != 0)
            return s;
        const auto *spec = static_cast<const QELFileSpec *>(pointer);
        if (wantName && console == 0 && given == nullptr) {
            char name[QELFileSpecNameBufferSize];
            if ((s = qelFileSpecGetName(spec, sizeof name, name)) != 0)
                return s;
            input.name = name;
        }
        std::int64_t size = 0;
        if ((s = qelFileSpecGetSize(spec, &size)) != 0)
            return s;
        input.large = size > INT32_MAX;
        std::int32_t kind = 0;
        std::uint16_t flags = QELOpen_Read | (detached ? 0x100 : 0);
        QELOptionItem lineEnds{};
        if (convert && (s = qelOptionListFindOneOptional(options, QELOption_LineEndFlags, 0, &lineEnds)) != 0)
            return s;
        if (lineEnds.kind != 0) {
            std::int32_t value = 0;
            if ((s = qelOptionGetInt(&lineEnds, &value)) != 0)
                return s;
            flags |= qelJobLineEndOpenFlags(value);
        }
        input.openFlags = flags;
        input.reader = qelFileSpecOpenReadModule(context, spec, flags, &s, &kind);
        if (input.reader == nullptr)
            return s != 0 ? s : QELError_OutOfMemory;
        return 0;
    }
    void *bytes = nullptr;
    std::uint64_t length = 0;
    if ((s = qelOptionListGetValues(options, QELOption_InputBuffer, false, "%p%l", &bytes, &length)) != 0)
        return s;
    if (bytes == nullptr && length != 0)
        return QELError_BadParams;
    input.buffer = bytes;
    input.length = length;
    return 0;
}

QELStatus qelJobConvertInput(QELContext *context, QELJobInput &input, QELPipeModule ***slot)
{
    const std::uint16_t flags = input.openFlags;
    if (input.reader == nullptr || (flags & (QELJobOpen_ConvertAlways | QELJobOpen_ConvertText)) == 0)
        return 0;
    if ((flags & QELJobOpen_ConvertAlways) == 0) {
        // Only a text file is converted: one whose front holds no NUL byte.
        std::uint64_t seen = 0;
        const std::uint8_t *front = qelFileReadPeek(input.reader, &seen);
        if (front != nullptr && std::find(front, front + seen, 0) != front + seen)
            return 0;
    }
    const std::int32_t mode = (flags & QELJobOpen_ConvertCRLF) != 0 ? QELLineEnd_CRLF : QELLineEnd_LF;
    QELPipeModule **next = qelTextFilterModuleCreate(context, *slot, qelTextFilterIdentityMap(), false, mode);
    if (next == nullptr)
        return QELError_OutOfMemory;
    *slot = next;
    return 0;
}

QELStatus qelJobPumpInput(QELJobInput &input, QELPipeModule *head, QELPipeProgressProc progress, void *userValue)
{
    if (input.reader == nullptr)
        return qelPipePumpBuffer(head, input.buffer, input.length, progress, userValue);
    qelFileReadSetProgress(input.reader, progress, userValue);
    return qelFileReadPump(input.reader, head);
}

// ---- output ----------------------------------------------------------------

QELJobOutput::~QELJobOutput()
{
    if (staging != nullptr)
        (void)qelFileSpecFree(staging);
    if (replaced != nullptr)
        (void)qelFileSpecFree(replaced);
    if (created != nullptr)
        (void)qelFileSpecFree(created);
    if (appended != nullptr)
        (void)qelFileSpecFree(appended);
}

QELStatus qelJobOutputChoice(QELOptionList *options, QELJobOutputKind *outKind)
{
    *outKind = QELJobOutputKind::None;
    static constexpr std::pair<std::int32_t, QELJobOutputKind> kKinds[] = {
        {QELOption_OutputFile, QELJobOutputKind::File},
        {QELOption_OutputBuffer, QELJobOutputKind::Buffer},
        {QELOption_OutputAllocatedBuffer, QELJobOutputKind::AllocatedBuffer},
        {QELOption_DiscardOutput, QELJobOutputKind::Discard},
    };
    for (const auto &[option, kind] : kKinds) {
        QELOptionItem item{};
        QELStatus s = qelOptionListFindOneOptional(options, option, 0, &item);
        if (s != 0)
            return s;
        if (item.kind == 0)
            continue;
        if (*outKind != QELJobOutputKind::None)
            return QELError_BadParams;
        *outKind = kind;
    }
    return 0;
}

namespace {

QELStatus openFileOutput(QELContext *context, const QELOptionItem &file, QELPipeModule **slot, bool append,
                         int fileClass, QELJobOutput &output)
{
    void *pointer = nullptr;
    QELStatus s = qelOptionGetPointer(&file, &pointer);
    if (s != 0)
        return s;
    const auto *spec = static_cast<const QELFileSpec *>(pointer);
    std::uint8_t existed = 0;
    if ((s = qelFileSpecExists(spec, &existed)) != 0)
        return s;
    const std::uint16_t flags = (append ? (QELOpen_Create | QELOpen_Append | QELOpen_Write)
                                        : (QELOpen_Create | QELOpen_Truncate | QELOpen_Write)) |
                                output.extraOpenFlags;
    // The spec belongs to an option list that may be freed before the job
    // ends (an event's reply), so the job keeps its own copies.
    QELFileSpec *target = nullptr;
    if (existed && !append) {
        if ((s = qelFileSpecMakeUnique(spec, &output.staging)) != 0 ||
            (s = qelFileSpecCopy(spec, &output.replaced)) != 0)
            return s;
        target = output.staging;
    } else if (existed) {
        // What the file holds now is all it may hold after a failed run.
        if ((s = qelFileSpecGetSize(spec, &output.appendedLength)) != 0 ||
            (s = qelFileSpecCopy(spec, &output.appended)) != 0)
            return s;
        target = output.appended;
    } else {
        if ((s = qelFileSpecCopy(spec, &output.created)) != 0)
            return s;
        target = output.created;
    }
    QELFileObject *object = qelFileSpecOpenFileObj(context, target, flags, fileClass, &s);
    if (object == nullptr)
        return s != 0 ? s : QELError_OutOfMemory;
    if (qelWriteFileModuleCreate(context, slot, object, true) == nullptr) {
        (void)object->close(object);
        return QELError_OutOfMemory;
    }
    return 0;
}

} // namespace

QELStatus qelJobOpenOutput(QELContext *context, QELOptionList *options, QELPipeModule **slot, bool append,
                           int fileClass, bool secure, QELJobOutput &output)
{
    output.context = context;
    QELJobOutputKind kind{};
    QELStatus s = qelJobOutputChoice(options, &kind);
    if (s != 0)
        return s;
    output.open = true;
    if (kind == QELJobOutputKind::File) {
        QELOptionItem file{};
        if ((s = qelOptionListFindOneOptional(options, QELOption_OutputFile, 0, &file)) != 0)
            return s;
        return openFileOutput(context, file, slot, append, fileClass, output);
    }
    if (kind == QELJobOutputKind::Buffer || kind == QELJobOutputKind::AllocatedBuffer) {
        QELOptionItem item{};
        const bool fixed = kind == QELJobOutputKind::Buffer;
        if ((s = qelOptionListFindOneOptional(options, fixed ? QELOption_OutputBuffer : QELOption_OutputAllocatedBuffer,
                                              0, &item)) != 0)
            return s;
        void *buffer = nullptr, *second = nullptr, *third = nullptr;
        if ((s = qelOptionGetRecord3(&item, &buffer, &second, &third)) != 0)
            return s;
        const auto size = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(second));
        output.sizeOut = static_cast<std::uint64_t *>(third);
        output.limit = size;
        if (fixed) {
            output.memorySink = qelWriteMemoryModuleCreate(context, slot, buffer, size);
        } else {
            output.allocatedOut = static_cast<void **>(buffer);
            output.memorySink = qelVarMemoryModuleCreate(context, slot, size, secure);
        }
        if (output.memorySink == nullptr)
            return QELError_OutOfMemory;
        if (!append || output.sizeOut == nullptr || *output.sizeOut == 0)
            return 0;
        // Writing continues behind what the buffer holds: a fixed buffer's
        // used bytes stay where they are; a new buffer starts with a copy of
        // the caller's, which stays the caller's until the new one is
        // handed over, so a failed run loses nothing.
        void *present = fixed ? buffer : *output.allocatedOut;
        if (present == nullptr)
            return 0;
        if (!fixed) {
            output.previous = present;
            output.previousLength = *output.sizeOut;
        }
        return qelPipeAnnotate(output.memorySink, nullptr, QELAnnotation_AppendBytes, present, *output.sizeOut);
    }
    return qelDevNullModuleCreate(context, slot) != nullptr ? 0 : QELError_OutOfMemory;
}

QELStatus qelJobFinishMemoryOutput(QELPipeModule *head, QELJobOutput &output)
{
    if (output.memorySink == nullptr)
        return 0;
    std::uint64_t position = 0;
    QELStatus s = qelPipeAnnotate(head, nullptr, QELAnnotation_QueryPosition, &position, sizeof position);
    if (s != 0)
        return s;
    if (output.allocatedOut == nullptr) {
        if (output.sizeOut != nullptr)
            *output.sizeOut = position < output.limit ? position : output.limit;
        return position > output.limit ? QELError_OutputBufferTooSmall : 0;
    }
    void *buffer = nullptr;
    if ((s = qelPipeAnnotate(head, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer)) != 0)
        return s;
    if (position > output.limit) {
        // What fitted may be secret (an exported key): wiped, never handed
        // over; the caller's own buffer stays as it was.
        qelSecureWipe(buffer, static_cast<std::size_t>(output.limit));
        (void)qelMemFree(buffer);
        return QELError_OutputBufferTooSmall;
    }
    if (output.previous != nullptr) {
        qelSecureWipe(output.previous, static_cast<std::size_t>(output.previousLength));
        (void)qelMemFree(output.previous); // the caller's block, from the SDK's allocator
        output.previous = nullptr;
    }
    *output.allocatedOut = buffer;
    if (output.sizeOut != nullptr)
        *output.sizeOut = position;
    output.memorySink = nullptr;
    return 0;
}

QELStatus qelJobCommitOutput(QELJobOutput &output, QELStatus status)
{
    if (status == 0 && output.replaced != nullptr)
        status = qelFileSpecRenameTo(output.staging, output.replaced);
    if (status != 0 && output.staging != nullptr)
        (void)qelFileSpecDelete(output.staging);
    if (status != 0 && output.created != nullptr)
        (void)qelFileSpecDelete(output.created);
    // Cut back to the old length: the old bytes stay whole and none of the
    // failed run's are left behind them.
    if (status != 0 && output.appended != nullptr)
        (void)qelFileSpecTruncate(output.appended, output.appendedLength);
    return status;
}

namespace {
constexpr int kKeyMaterialClass = 12; // a key-material file: readable by its owner only
} // namespace

QELStatus qelJobOutputBuffer(QELContext *context, const void *bytes, std::uint64_t length, QELOptionList *options,
                             std::int32_t pemLabel)
{
    if (bytes == nullptr && length != 0)
        return QELError_BadParams;
    std::int32_t armor = 0, lineEnd = QELLineEnd_LF, append = 0;
    QELStatus s = 0;
    if ((s = qelJobIntOption(options, QELOption_ArmorOutput, 0, &armor)) != 0 ||
        (s = qelJobIntOption(options, QELOption_OutputLineEnd, QELLineEnd_LF, &lineEnd)) != 0 ||
        (s = qelJobIntOption(options, QELOption_AppendOutput, 0, &append)) != 0)
        return s;
    QELPipeModule *head = nullptr;
    struct Chain {
        QELPipeModule *&head;
        ~Chain() { qelPipeDestroy(head); }
    } chain{head};
    QELPipeModule **slot = &head;
    if (pemLabel != 0 && armor != 0) {
        QELSettings *settings = qelContextGetSettings(context);
        if ((slot = qelArmorWriterCreate(context, slot, nullptr, settings, 3, qelByteFifoDescriptor(), nullptr, 0,
                                         QELArmorKind_Auto, nullptr, 0)) == nullptr)
            return QELError_OutOfMemory;
        if ((s = qelPipeAnnotate(head, nullptr, pemLabel, nullptr, 0)) != 0)
            return s;
        const auto *table =
            static_cast<const std::uint8_t *>(qelSettingsGetPointer(settings, QELSetting_CharsetEncodeTable, nullptr));
        if ((slot = qelTextFilterModuleCreate(context, slot, table != nullptr ? table : qelTextFilterIdentityMap(),
                                              false, lineEnd)) == nullptr)
            return QELError_OutOfMemory;
    }
    QELJobOutput output;
    s = qelJobOpenOutput(context, options, slot, append != 0, kKeyMaterialClass, true, output);
    if (s == 0)
        s = qelPipePumpBuffer(head, bytes, length, nullptr, nullptr);
    if (s == 0)
        s = qelJobFinishMemoryOutput(output.memorySink != nullptr ? output.memorySink : head, output);
    qelPipeDestroy(head); // closes the file before it is kept or removed
    head = nullptr;
    return qelJobCommitOutput(output, s);
}

// ---- options ---------------------------------------------------------------

QELStatus qelJobGetEventHandler(QELOptionList *options, QELEventHandler *outHandler, void **outUserValue,
                                bool *outProgress)
{
    *outHandler = nullptr;
    *outUserValue = nullptr;
    *outProgress = false;
    void *handler = nullptr, *user = nullptr;
    QELStatus s = qelOptionListGetValues(options, QELOption_EventHandler, false, "%p%p", &handler, &user);
    if (s != 0)
        return s;
    QELOptionItem progress{};
    if ((s = qelOptionListFindOneOptional(options, QELOption_SendProgress, 0, &progress)) != 0)
        return s;
    if (progress.kind != 0 && handler == nullptr)
        return QELError_BadParams;
    *outHandler = reinterpret_cast<QELEventHandler>(handler);
    *outUserValue = user;
    *outProgress = progress.kind != 0;
    return 0;
}

void QELJobPassphrase::wipe()
{
    if (bytes != nullptr) {
        qelSecureWipe(bytes, static_cast<std::size_t>(length));
        (void)qelMemFree(bytes);
    }
    bytes = nullptr;
    length = 0;
    passkey = other = cache = false;
    cacheTime = 0;
}

QELStatus qelJobGetPassphrase(QELContext *context, QELOptionList *options, QELJobPassphrase &passphrase)
{
    passphrase.wipe();
    passphrase.context = context;
    void *secret = nullptr;
    std::uint64_t length = 0;
    QELStatus s = qelOptionListGetValues(options, QELOption_Passphrase, false, "%p%l", &secret, &length);
    if (s == 0 && secret == nullptr) {
        s = qelOptionListGetValues(options, QELOption_Passkey, false, "%p%l", &secret, &length);
        passphrase.passkey = secret != nullptr;
    }
    QELOptionItem cache{};
    if (s == 0 && (s = qelOptionListFindOneOptional(options, QELOption_CachePassphrase, 0, &cache)) == 0 &&
        cache.kind != 0) {
        passphrase.cache = true;
        s = qelOptionGetInt(&cache, &passphrase.cacheTime);
    }
    if (s == 0 && secret == nullptr) {
        s = qelOptionListGetValues(options, QELOption_SessionKey, false, "%p%l", &secret, &length);
        passphrase.other = secret != nullptr;
    }
    if (s != 0 || secret == nullptr) {
        passphrase.wipe();
        return s;
    }
    passphrase.bytes = static_cast<std::uint8_t *>(
        qelMemAllocSecure(qelContextMemoryMgr(context), length != 0 ? length : 1, 0));
    if (passphrase.bytes == nullptr) {
        passphrase.wipe();
        return QELError_OutOfMemory;
    }
    if (length != 0)
        std::memcpy(passphrase.bytes, secret, static_cast<std::size_t>(length));
    passphrase.length = length;
    return 0;
}

QELOptionList *qelJobPassphraseOption(QELContext *context, const QELJobPassphrase &passphrase)
{
    return qelOptionNewSecureBytes(context, passphrase.passkey ? QELOption_Passkey : QELOption_Passphrase,
                                   passphrase.bytes, passphrase.length);
}
