// The message pipeline's module framework: the head every module begins
// with, the five operations and their contract, chain building through
// downstream slots, the scope rule, the annotation codes of the whole
// pipeline and the buffer pump that drives a chain.
//
// How to build a module on it:
//  - Declare the module's block as a standard-layout struct whose first
//    member is `QELPipeModule head`, followed by its private state (plain
//    fields and fixed inline buffers only: the block is zero-filled when made
//    and wiped when freed, no constructor or destructor runs).
//  - Make it with qelPipeModuleNew<M>(context, magic, name, ops); free it with
//    qelPipeModuleFree(m) once its downstream and everything it owns is gone.
//  - A module with a downstream module keeps it in a `QELPipeModule *`
//    field; its constructor takes the module found in *slot as downstream,
//    stores itself in *slot and returns the address of its downstream field
//    (qelPipeModuleLink does the three steps). Sinks have no downstream.
//  - Call neighbours through qelPipeWrite / qelPipeFlush / qelPipeAnnotate /
//    qelPipeExpectBytes / qelPipeDestroy; qelPipeWriteAll offers bytes until
//    they are all taken and turns a stalled downstream into an error.
#pragma once

#include "qelErrors.h"
#include "qelSigItemInternal.h" // QELAnnotation_SignaturePacket is defined with the signature items

#include <cstddef>
#include <cstdint>
#include <type_traits>

struct QELContext;
struct QELPipeModule;

// ---- the five operations ---------------------------------------------------
// write: offers `length` bytes; returns how many were taken (a first part or
//   all of them) and stores 0 or a negative status in *status when status is
//   not null (callers set it to 0 first). A module that reports success takes
//   at least one byte of a non-empty offer. A non-zero status ends the stream.
// flush: writes out everything held back, then flushes downstream.
// annotate: acts on the codes the module knows and forwards every other code
//   downstream unchanged, returning the downstream status; sinks answer the
//   queries they know and return 0 for every other code. `data` is the item's
//   bytes, a query's result area or a setting's value; null with length 0 when
//   the annotation carries nothing.
// expectBytes: announces that exactly `count` further bytes follow; 0 ends the
//   input (written out, trailer written, passed on). Repeats of the end are
//   no-ops.
// destroy: destroys the downstream module first, then releases what the
//   module owns, wipes its block and frees it. Returns 0.
using QELPipeWriteProc = std::uint64_t (*)(QELPipeModule *module, const std::uint8_t *bytes,
                                           std::uint64_t length, QELStatus *status);
using QELPipeFlushProc = QELStatus (*)(QELPipeModule *module);
using QELPipeAnnotateProc = QELStatus (*)(QELPipeModule *module, const void *origin, std::int32_t code,
                                          void *data, std::uint64_t length);
using QELPipeExpectBytesProc = QELStatus (*)(QELPipeModule *module, std::uint64_t count);
using QELPipeDestroyProc = QELStatus (*)(QELPipeModule *module);

// The head of every module, in this order.
struct QELPipeModule {
    std::uint32_t magic;
    QELPipeWriteProc write;
    QELPipeFlushProc flush;
    QELPipeAnnotateProc annotate;
    QELPipeExpectBytesProc expectBytes;
    QELPipeDestroyProc destroy;
    const char *name;
    QELContext *context; // the module's memory comes from here and goes back
    void *state;         // the block itself, or (Copy Module) the downstream
};

// The operations of one module kind, gathered for qelPipeModuleNew.
struct QELPipeOps {
    QELPipeWriteProc write;
    QELPipeFlushProc flush;
    QELPipeAnnotateProc annotate;
    QELPipeExpectBytesProc expectBytes;
    QELPipeDestroyProc destroy;
};

// ---- module kinds ----------------------------------------------------------
inline constexpr std::uint32_t QELPipeMagic_Copy = 0x0C09430D;
inline constexpr std::uint32_t QELPipeMagic_Join = 0x00112233;
inline constexpr std::uint32_t QELPipeMagic_Split = 0x11223344;
inline constexpr std::uint32_t QELPipeMagic_DevNull = 0xDE557711;
inline constexpr std::uint32_t QELPipeMagic_WriteMemory = 0xFEEDBABE;
inline constexpr std::uint32_t QELPipeMagic_VarMemory = 0xDEAFBABE;
inline constexpr std::uint32_t QELPipeMagic_WriteFile = 0xFEEDF11E;
inline constexpr std::uint32_t QELPipeMagic_AddHeader = 0xADD0B11E;
inline constexpr std::uint32_t QELPipeMagic_FileHeader = 0x4EADE640;
inline constexpr std::uint32_t QELPipeMagic_MessageParser = 0xFEEDF00D;
inline constexpr std::uint32_t QELPipeMagic_AnnotationReader = 0x00F00B0B;
inline constexpr std::uint32_t QELPipeMagic_SigVerifySigHead = 0x519C43C7;
inline constexpr std::uint32_t QELPipeMagic_SigVerifyTextHead = 0x519C43C8;
inline constexpr std::uint32_t QELPipeMagic_ArmorWrite = 0xA4904F11;
inline constexpr std::uint32_t QELPipeMagic_ArmorParse = 0x0DEA4304;
inline constexpr std::uint32_t QELPipeMagic_TextFilter = 0x1E81F111;
inline constexpr std::uint32_t QELPipeMagic_Signature = 0x519A10FE;
inline constexpr std::uint32_t QELPipeMagic_Hash = 0x8A5430D1;
inline constexpr std::uint32_t QELPipeMagic_Cipher = 0xC1FEC0DE;
inline constexpr std::uint32_t QELPipeMagic_PKE = 0x90B11C47;
inline constexpr std::uint32_t QELPipeMagic_Deflate = 0x0DEF1A1E;
inline constexpr std::uint32_t QELPipeMagic_Inflate = 0x01258AEF;
inline constexpr std::uint32_t QELPipeMagic_ZlibDeflate = 0x01258AFE;
inline constexpr std::uint32_t QELPipeMagic_ZlibInflate = 0x01258AFF;

// ---- annotation codes ------------------------------------------------------
// A code whose low byte is 0x00 opens a scope, the same code + 1 closes it.
inline constexpr std::int32_t QELAnnotation_HeaderComplete = 0x002;
inline constexpr std::int32_t QELAnnotation_EndInPacket = 0x010;
inline constexpr std::int32_t QELAnnotation_PacketTruncated = 0x011;
inline constexpr std::int32_t QELAnnotation_EndInScope = 0x012;
inline constexpr std::int32_t QELAnnotation_UnparsedBytes = 0x020;
inline constexpr std::int32_t QELAnnotation_UnparsedSessionKey = 0x021;
inline constexpr std::int32_t QELAnnotation_QueryTotal = 0x040;
inline constexpr std::int32_t QELAnnotation_QueryPosition = 0x041;
inline constexpr std::int32_t QELAnnotation_EnableOutput = 0x042;
inline constexpr std::int32_t QELAnnotation_QueryLimit = 0x043;
inline constexpr std::int32_t QELAnnotation_TakeBuffer = 0x044;
inline constexpr std::int32_t QELAnnotation_AppendBytes = 0x045;
inline constexpr std::int32_t QELAnnotation_QueryArmorMessageCount = 0x050;
inline constexpr std::int32_t QELAnnotation_QueryArmorMessagesHeld = 0x051;
inline constexpr std::int32_t QELAnnotation_QueryArmorOpenMessage = 0x052;
inline constexpr std::int32_t QELAnnotation_QueryArmorPartTotal = 0x053;
inline constexpr std::int32_t QELAnnotation_QueryArmorPartState = 0x054;
inline constexpr std::int32_t QELAnnotation_ReplyDiscard = 0x102;
inline constexpr std::int32_t QELAnnotation_ReplyPassThrough = 0x103;
inline constexpr std::int32_t QELAnnotation_ReplyProcess = 0x104;
inline constexpr std::int32_t QELAnnotation_ReplyRecurse = 0x105;
inline constexpr std::int32_t QELAnnotation_BeginOtherPacket = 0x200;
inline constexpr std::int32_t QELAnnotation_EndOtherPacket = 0x201;
inline constexpr std::int32_t QELAnnotation_BeginLiteral = 0x300;
inline constexpr std::int32_t QELAnnotation_EndLiteral = 0x301;
inline constexpr std::int32_t QELAnnotation_LiteralFormat = 0x302;
inline constexpr std::int32_t QELAnnotation_LiteralFileName = 0x303;
inline constexpr std::int32_t QELAnnotation_LiteralDate = 0x304;
inline constexpr std::int32_t QELAnnotation_BeginEncrypted = 0x400;
inline constexpr std::int32_t QELAnnotation_EndEncrypted = 0x401;
inline constexpr std::int32_t QELAnnotation_UnexpectedPacket = 0x402;
inline constexpr std::int32_t QELAnnotation_SymmetricKeyESK = 0x403;
inline constexpr std::int32_t QELAnnotation_PublicKeyESK = 0x404;
inline constexpr std::int32_t QELAnnotation_MdcSize = 0x405;
inline constexpr std::int32_t QELAnnotation_MdcHash = 0x406;
inline constexpr std::int32_t QELAnnotation_MdcTrailer = 0x407;
inline constexpr std::int32_t QELAnnotation_BeginCompressed = 0x500;
inline constexpr std::int32_t QELAnnotation_EndCompressed = 0x501;
inline constexpr std::int32_t QELAnnotation_BeginSignature = 0x900;
inline constexpr std::int32_t QELAnnotation_EndSignature = 0x901;
static_assert(QELAnnotation_SignaturePacket == 0x902);
inline constexpr std::int32_t QELAnnotation_ClosingSignaturePacket = 0x903;
static_assert(QELAnnotation_SignedPacketBody == QELAnnotation_ClosingSignaturePacket);
inline constexpr std::int32_t QELAnnotation_DetachedSignature = 0x904;
inline constexpr std::int32_t QELAnnotation_HashForSignature = 0x910;
inline constexpr std::int32_t QELAnnotation_SignatureDigest = 0x920;
inline constexpr std::int32_t QELAnnotation_BeginKeyMaterial = 0xF00;
inline constexpr std::int32_t QELAnnotation_EndKeyMaterial = 0xF01;
inline constexpr std::int32_t QELAnnotation_BeginNonPacket = 0x1000;
inline constexpr std::int32_t QELAnnotation_EndNonPacket = 0x1001;
inline constexpr std::int32_t QELAnnotation_BeginPlainText = 0x1100;
inline constexpr std::int32_t QELAnnotation_EndPlainText = 0x1101;
inline constexpr std::int32_t QELAnnotation_BeginArmoredMessage = 0x1200;
inline constexpr std::int32_t QELAnnotation_EndArmoredMessage = 0x1201;
inline constexpr std::int32_t QELAnnotation_ArmorPartInfo = 0x1202;
inline constexpr std::int32_t QELAnnotation_ArmorBadLine = 0x1203;
inline constexpr std::int32_t QELAnnotation_ArmorBadHeader = 0x1204;
inline constexpr std::int32_t QELAnnotation_ArmorLineTooLong = 0x1205;
inline constexpr std::int32_t QELAnnotation_ArmorOtherError = 0x1206;
inline constexpr std::int32_t QELAnnotation_ArmorBadChecksumLine = 0x1207;
inline constexpr std::int32_t QELAnnotation_ArmorChecksumMismatch = 0x1208;
inline constexpr std::int32_t QELAnnotation_BeginClearSigned = 0x1300;
inline constexpr std::int32_t QELAnnotation_EndClearSigned = 0x1301;
inline constexpr std::int32_t QELAnnotation_TextLine = 0x1302;
inline constexpr std::int32_t QELAnnotation_ArmorClearSignedAsText = 0x1303;
inline constexpr std::int32_t QELAnnotation_ArmorKeyBlocksAsText = 0x1304;
inline constexpr std::int32_t QELAnnotation_BeginBinaryInput = 0x1400;
inline constexpr std::int32_t QELAnnotation_EndBinaryInput = 0x1401;
inline constexpr std::int32_t QELAnnotation_BeginInput = 0x1500;
inline constexpr std::int32_t QELAnnotation_EndInput = 0x1501;
inline constexpr std::int32_t QELAnnotation_BeginArmorPart = 0x1600;
inline constexpr std::int32_t QELAnnotation_EndArmorPart = 0x1601;
inline constexpr std::int32_t QELAnnotation_QueryMimeHeaderLength = 0x1610;
inline constexpr std::int32_t QELAnnotation_QueryMimeHeaderLines = 0x1611;
inline constexpr std::int32_t QELAnnotation_QueryMimeBoundary = 0x1612;
inline constexpr std::int32_t QELAnnotation_PemCertificate = 0x1620;
inline constexpr std::int32_t QELAnnotation_PemCertificateRequest = 0x1621;
inline constexpr std::int32_t QELAnnotation_PemPrivateKey = 0x1622;

// ---- scope rule ------------------------------------------------------------
// +1 for a code that opens a scope, -1 for one that closes it, 0 otherwise.
// Modules that need the depth apply it to every annotation they receive
// (sinks) or forward with status 0.
constexpr int qelAnnotationScopeStep(std::int32_t code)
{
    return (code & 0xFF) == 0x00 ? 1 : (code & 0xFF) == 0x01 ? -1 : 0;
}

// ---- calling a module ------------------------------------------------------
inline std::uint64_t qelPipeWrite(QELPipeModule *module, const std::uint8_t *bytes, std::uint64_t length,
                                  QELStatus *status)
{
    return module->write(module, bytes, length, status);
}
[[nodiscard]] inline QELStatus qelPipeFlush(QELPipeModule *module) { return module->flush(module); }
[[nodiscard]] inline QELStatus qelPipeAnnotate(QELPipeModule *module, const void *origin, std::int32_t code,
                                               void *data, std::uint64_t length)
{
    return module->annotate(module, origin, code, data, length);
}
[[nodiscard]] inline QELStatus qelPipeExpectBytes(QELPipeModule *module, std::uint64_t count)
{
    return module->expectBytes(module, count);
}
// Destroys a module and everything downstream of it; null is a no-op.
inline void qelPipeDestroy(QELPipeModule *module)
{
    if (module != nullptr)
        static_cast<void>(module->destroy(module)); // destroy always answers 0
}

// Offers the bytes until the module has taken all of them. A module that
// takes nothing of a non-empty offer and reports no failure has stalled:
// offering the same bytes again would spin for ever, so that is
// QELError_WriteFailed. *taken (when given) receives the bytes taken before
// a failure.
[[nodiscard]] QELStatus qelPipeWriteAll(QELPipeModule *module, const std::uint8_t *bytes, std::uint64_t length,
                                        std::uint64_t *taken = nullptr);

// True for the statuses that say a key or its algorithm cannot do what was
// asked (-11350 to -11336, QELError_FeatureNotAvailable,
// QELError_KeyUnusableForSignature).
bool qelErrorIsKeyUnusable(QELStatus status);

// ---- making and freeing modules --------------------------------------------
// A zero-filled block for module type M from the context's allocator, with
// its head set (state points at the block itself); null when memory fails.
void *qelPipeModuleAllocBlock(QELContext *context, std::size_t size, std::uint32_t magic, const char *name,
                              const QELPipeOps &ops);
// Wipes size bytes of the block and returns it to its context.
void qelPipeModuleFreeBlock(QELPipeModule *module, std::size_t size);

template <typename M>
M *qelPipeModuleNew(QELContext *context, std::uint32_t magic, const char *name, const QELPipeOps &ops)
{
    static_assert(std::is_standard_layout_v<M> && std::is_trivially_destructible_v<M>,
                  "a module block is plain data that starts with its QELPipeModule head");
    static_assert(offsetof(M, head) == 0);
    return static_cast<M *>(qelPipeModuleAllocBlock(context, sizeof(M), magic, name, ops));
}

template <typename M>
void qelPipeModuleFree(M *module)
{
    qelPipeModuleFreeBlock(&module->head, sizeof(M));
}

// The private block of a module whose state is the block itself.
template <typename M>
M *qelPipeModuleState(QELPipeModule *module)
{
    return static_cast<M *>(module->state);
}

// Links a new module into a chain: the module found in *slot becomes its
// downstream (*downstream), the module takes its place in *slot, and the
// address of its downstream field is returned for the next constructor.
inline QELPipeModule **qelPipeModuleLink(QELPipeModule **slot, QELPipeModule *module,
                                         QELPipeModule **downstream)
{
    *downstream = *slot;
    *slot = module;
    return downstream;
}

// ---- the buffer pump -------------------------------------------------------
// Called after every piece taken; a non-zero answer stops the pump and is
// returned.
using QELPipeProgressProc = QELStatus (*)(void *userValue, std::uint64_t done, std::uint64_t total);

// Largest piece the buffer pump writes at once.
inline constexpr std::uint64_t QELPipePumpPiece = 4096;

// Pushes a buffer into the chain at `head` by the source protocol: announce,
// begin input, announce, writes of at most 4096 bytes, end of input, end
// input, end of input once more; origin null. Stops at the first failure.
[[nodiscard]] QELStatus qelPipePumpBuffer(QELPipeModule *head, const void *bytes, std::uint64_t length,
                                          QELPipeProgressProc progress, void *userValue);
