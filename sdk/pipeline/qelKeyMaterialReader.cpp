// The key-material reader: the armor parser in front of a sink that keeps
// the bytes of every packet stream the parser finds (inside its armored
// message and binary input scopes) in one secure block. Key packets may be
// secret, so the block is secure memory and is wiped whenever it grows or
// is released.
#include "qelKeyMaterialReaderInternal.h"

#include "qelArmorParserInternal.h"
#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelSettingsInternal.h"

#include <algorithm>
#include <cstring>

namespace {

using u8 = std::uint8_t;

constexpr std::uint32_t kKeySinkMagic = 0x4B45594D; // "KEYM"

// What the sink gathers; the reader owns it and it outlives the chain.
struct Gathered {
    QELMemoryMgr *mgr = nullptr;
    qel::WipedBuffer<u8> bytes;
    std::size_t used = 0;
    QELStatus status = 0;

    QELStatus append(const u8 *data, std::size_t count)
    {
        if (count > (std::size_t{1} << 29) - used)
            return QELError_OutOfMemory;
        if (used + count > bytes.size()) {
            std::size_t room = std::max<std::size_t>(bytes.size() * 2, 8192);
            while (room < used + count)
                room *= 2;
            qel::WipedBuffer<u8> bigger;
            if (!bigger.reset(mgr, room))
                return QELError_OutOfMemory;
            if (used != 0)
                std::memcpy(bigger.get(), bytes.get(), used);
            bytes = std::move(bigger);
        }
        std::memcpy(bytes.get() + used, data, count);
        used += count;
        return 0;
    }
};

QELStatus freeSettings(QELSettings *settings)
{
    qelSettingsFree(settings);
    return 0;
}

struct KeySink {
    QELPipeModule head;
    Gathered *gathered;
    std::int32_t streamDepth; // open armored-message and binary-input scopes
};

KeySink *self(QELPipeModule *m) { return qelPipeModuleState<KeySink>(m); }

std::uint64_t sinkWrite(QELPipeModule *m, const u8 *bytes, std::uint64_t length, QELStatus *status)
{
    KeySink *k = self(m);
    QELStatus s = 0;
    if (k->streamDepth > 0)
        s = k->gathered->append(bytes, static_cast<std::size_t>(length));
    if (status != nullptr)
        *status = s;
    return s == 0 ? length : 0;
}

QELStatus sinkFlush(QELPipeModule *) { return 0; }

bool isStreamScope(std::int32_t code)
{
    const std::int32_t begin = code & ~0xFF;
    return begin == QELAnnotation_BeginArmoredMessage || begin == QELAnnotation_BeginBinaryInput;
}

QELStatus sinkAnnotate(QELPipeModule *m, const void *, std::int32_t code, void *, std::uint64_t)
{
    KeySink *k = self(m);
    switch (code) {
    case QELAnnotation_ArmorBadLine:
    case QELAnnotation_ArmorLineTooLong:
    case QELAnnotation_ArmorOtherError:
    case QELAnnotation_ArmorBadChecksumLine:
    case QELAnnotation_ArmorChecksumMismatch:
        // Keys from a block that did not decode cleanly are not taken.
        return k->gathered->status = QELError_ArmorParseError;
    default:
        break;
    }
    if (isStreamScope(code))
        k->streamDepth += qelAnnotationScopeStep(code);
    return 0;
}

QELStatus sinkExpectBytes(QELPipeModule *, std::uint64_t) { return 0; }

QELStatus sinkDestroy(QELPipeModule *m)
{
    qelPipeModuleFree(self(m));
    return 0;
}

constexpr QELPipeOps kKeySinkOps{sinkWrite, sinkFlush, sinkAnnotate, sinkExpectBytes, sinkDestroy};

} // namespace

QELStatus qelKeyIOCollectKeyMaterial(QELContext *context, const std::uint8_t *input, std::size_t length,
                                     std::uint8_t **outPackets, std::size_t *outLength)
{
    *outPackets = nullptr;
    *outLength = 0;
    return qel::noThrow([&]() -> QELStatus {
        Gathered gathered;
        gathered.mgr = qelContextMemoryMgr(context);
        QELSettings *settings = nullptr;
        QELStatus s = qelSettingsCopy(qelContextGetSettings(context), &settings);
        if (s != 0)
            return s;
        const qel::Owned<QELSettings, freeSettings> ownedSettings(settings);
        QELPipeModule *head = nullptr;
        QELPipeModule **slot =
            qelArmorParserCreate(context, &head, settings, qelSecureByteFifoDescriptor(), nullptr, nullptr);
        if (slot == nullptr)
            return QELError_OutOfMemory;
        auto *sink = qelPipeModuleNew<KeySink>(context, kKeySinkMagic, "Key Material Sink", kKeySinkOps);
        if (sink == nullptr) {
            static_cast<void>(qelPipeDestroy(head));
            return QELError_OutOfMemory;
        }
        sink->gathered = &gathered;
        *slot = &sink->head;
        // The bytes go in bare, without the pump's input scope: the parser
        // takes a binary packet stream only outside every scope.
        for (std::size_t at = 0; s == 0 && at < length; at += QELPipePumpPiece)
            s = qelPipeWriteAll(head, input + at, std::min<std::size_t>(QELPipePumpPiece, length - at));
        if (s == 0)
            s = qelPipeExpectBytes(head, 0);
        static_cast<void>(qelPipeDestroy(head));
        if (s == 0)
            s = gathered.status;
        if (s != 0)
            return s;
        if (gathered.used == 0)
            return QELError_NoErr;
        void *block = qelMemAllocSecure(gathered.mgr, gathered.used, 0);
        if (block == nullptr)
            return QELError_OutOfMemory;
        std::memcpy(block, gathered.bytes.get(), gathered.used);
        *outPackets = static_cast<std::uint8_t *>(block);
        *outLength = gathered.used;
        return QELError_NoErr;
    });
}
