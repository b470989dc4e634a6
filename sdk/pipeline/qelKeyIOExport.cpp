// Key export. The RFC 4880 route writes the set's packets into a secure
// buffer and runs the encode job over them without a literal packet or
// compression. Secret keys go out as two blocks: the public block with its
// signatures first, then the secret block appended behind it, because a
// reader such as GnuPG refuses a secret key whose public key it has not yet
// seen. Certificates and CRLs are issued by the PKI toolkit.
#include "qelKeyIOExportInternal.h"

#include "qelClientEncode.h"
#include "qelContextInternal.h"
#include "qelEncode.h"
#include "qelEnumeratedSet.h"
#include "qelFileObjectInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelJobIOInternal.h"
#include "qelArmorCodecInternal.h"
#include "qelFileOpenInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyIOImportInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyIter.h"
#include "qelKeyIterInternal.h"
#include "qelKeyOpsInternal.h"
#include "qelPkAlgInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySetInternal.h"
#include "qelOptionListInternal.h"
#include "qelTimeDateInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>
#include <memory>
#include <string>
#include <vector>

namespace {

using u8 = std::uint8_t;

// Export formats (QELOption_ExportFormat).
constexpr std::int32_t kFormatDefault = 255;
constexpr std::int32_t kFormatTokenData = 256;
constexpr std::int32_t kFormatCertificate = 10000;
constexpr std::int32_t kFormatRequestFirst = 11000;
constexpr std::int32_t kFormatWebFormRequest = 11002;
constexpr std::int32_t kFormatRequestLast = 11009;
constexpr std::int32_t kFormatEmptyLast = 11019;

constexpr std::int32_t kExportKeysKinds[] = {
    QELOption_ExportPrivateKeys, QELOption_Kind55, QELOption_ExportFormat, QELOption_OutputFile,
    QELOption_OutputBuffer, QELOption_OutputAllocatedBuffer, QELOption_DiscardOutput, QELOption_ArmorOutput,
    QELOption_CommentString, QELOption_VersionString, QELOption_EventHandler, QELOption_SendProgress,
    QELOption_OutputLineEnd, QELOption_OutputFormat, QELOption_ExportKeySet, QELOption_ExportKey,
    QELOption_Passphrase, QELOption_Passkey, QELOption_CachePassphrase, QELOption_Kind69,
    QELOption_InputBuffer, QELOption_Kind79, QELOption_Kind80, QELOption_Kind81,
};
constexpr std::int32_t kExportKeySetKinds[] = {
    QELOption_ExportPrivateKeys, QELOption_Kind55, QELOption_ExportFormat, QELOption_OutputFile,
    QELOption_OutputBuffer, QELOption_OutputAllocatedBuffer, QELOption_DiscardOutput, QELOption_ArmorOutput,
    QELOption_CommentString, QELOption_VersionString, QELOption_EventHandler, QELOption_SendProgress,
    QELOption_OutputLineEnd, QELOption_OutputFormat, QELOption_Passphrase, QELOption_Passkey,
    QELOption_CachePassphrase, QELOption_Kind69, QELOption_InputBuffer,
};
constexpr std::int32_t kCreateCRLKinds[] = {
    QELOption_Passphrase, QELOption_Passkey, QELOption_CachePassphrase, QELOption_ValidityDays,
    QELOption_CreationTime,
};
constexpr std::int32_t kCertifyKinds[] = {
    QELOption_Passphrase, QELOption_Passkey, QELOption_CachePassphrase, QELOption_InputFile,
    QELOption_LineEndFlags, QELOption_InputBuffer, QELOption_Kind69, QELOption_ValidityDays,
    QELOption_CreationTime,
};
// What export reads itself; everything else of the caller's list is the
// encode job's (outputs, armor, events, line ends, texts).
constexpr std::int32_t kExportOnlyKinds[] = {
    QELOption_ExportPrivateKeys, QELOption_Kind55, QELOption_ExportFormat, QELOption_ExportKeySet,
    QELOption_ExportKey, QELOption_Passphrase, QELOption_Passkey, QELOption_CachePassphrase,
    QELOption_Kind69, QELOption_InputBuffer, QELOption_Kind79, QELOption_Kind80, QELOption_Kind81,
};

template <std::size_t N>
QELStatus checkKinds(const QELOptionList *options, const std::int32_t (&kinds)[N])
{
    return qelOptionListCheckTypes(options, kinds, static_cast<std::uint32_t>(N));
}

QELStatus hasOption(QELOptionList *list, std::int32_t kind, bool *out)
{
    QELOptionItem item{};
    QELStatus s = qelOptionListFindOneOptional(list, kind, 0, &item);
    *out = item.kind != 0;
    return s;
}

// ---- the packet buffer ----------------------------------------------------------------
// A write-only file object over a growing secure block: secret key packets
// never sit in ordinary memory, and every block is wiped when it is
// replaced or released.
struct PacketBuffer {
    QELFileObject file{};
    QELMemoryMgr *mgr = nullptr;
    qel::WipedBuffer<u8> bytes;
    std::size_t used = 0;
    bool failed = false;

    explicit PacketBuffer(QELContext *context) : mgr(qelContextGetMemoryMgr(context))
    {
        file.context = context;
        file.state = this;
        file.write = &PacketBuffer::write;
    }
    PacketBuffer(const PacketBuffer &) = delete;
    PacketBuffer &operator=(const PacketBuffer &) = delete;

    static std::size_t write(const void *data, std::size_t count, QELFileObject *file)
    {
        auto *self = static_cast<PacketBuffer *>(file->state);
        if (count > bytesLeft(self))
            return 0;
        if (self->used + count > self->bytes.size()) {
            std::size_t room = std::max<std::size_t>(self->bytes.size() * 2, 4096);
            while (room < self->used + count)
                room *= 2;
            qel::WipedBuffer<u8> bigger;
            if (!bigger.reset(self->mgr, room)) {
                self->failed = true;
                return 0;
            }
            if (self->used != 0)
                std::memcpy(bigger.get(), self->bytes.get(), self->used);
            self->bytes = std::move(bigger);
        }
        std::memcpy(self->bytes.get() + self->used, data, count);
        self->used += count;
        return count;
    }
    // WipedBuffer refuses blocks of a gigabyte and more.
    static std::size_t bytesLeft(const PacketBuffer *self) { return (std::size_t{1} << 29) - self->used; }
    const u8 *data() const { return bytes.get() != nullptr ? bytes.get() : reinterpret_cast<const u8 *>(""); }
};

QELStatus writeNode(QELKeyObject *node, QELFileObject *file, bool asPublic)
{
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(node, &length);
    if (packet == nullptr)
        return QELError_NoErr;
    u8 *publicForm = nullptr;
    if (asPublic) {
        publicForm = qelKeyObjPublicPacket(node, &length);
        if (publicForm == nullptr)
            return QELError_OutOfMemory;
        packet = publicForm;
    }
    const std::size_t written = file->write(packet, length, file);
    if (publicForm != nullptr)
        static_cast<void>(qelContextMemFree(qelKeyObjContext(node), publicForm)); // our block
    return written == length ? QELError_NoErr : QELError_WriteFailed;
}

bool isKeyNode(QELKeyObject *node)
{
    const int type = qelKeyObjType(node);
    return type == QELObjectType_Key || type == QELObjectType_SubKey;
}

// A signature left out of the export: not exportable, replaced by a newer
// one of its signer, or in a block that carries no signatures.
bool dropSignature(QELKeyObject *sig, bool inSecretBlock)
{
    return inSecretBlock || !qelSigIsExportable(sig) || qelSigIsSuperseded(sig);
}

// Whether the set wants the node, as the set's membership test says for
// every level.
bool wanted(QELKeyObject *node, QELKeySet *set)
{
    return qelKeyObjIsLive(node) && !qelKeyObjIsOpaque(node) && qelKeySetHas(node, set);
}

QELStatus freeList(QELOptionList *list)
{
    qelOptionListFree(list);
    return 0;
}
using OwnedList = qel::Owned<QELOptionList, freeList>;

// Largest block an export job writes into memory of its own.
constexpr std::uint64_t kMaxExport = std::uint64_t{1} << 29;

// Output kinds of the jobs.
constexpr std::int32_t kOutputKinds[] = {
    QELOption_OutputFile, QELOption_OutputBuffer, QELOption_OutputAllocatedBuffer, QELOption_DiscardOutput,
};

bool isOneOf(std::int32_t kind, std::span<const std::int32_t> kinds)
{
    return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

// How one encode job of the export is run.
struct JobShape {
    bool append = false;     // behind what an earlier job wrote
    bool ownOutput = false;  // into `block` instead of the caller's output
    bool passThrough = false; // the input is finished output: no armor
    void **block = nullptr;
    std::uint64_t *blockSize = nullptr;
};

// The encode job's list: the caller's items it reads, then armor (unless
// the caller chose), no literal packet, no compression and, for the second
// block, appending.
QELOptionList *jobOptions(QELContext *context, QELOptionList *caller, const u8 *bytes, std::size_t length,
                          const JobShape &shape, QELStatus *outStatus)
{
    OwnedList list(qelOptionListNew(context, false));
    if (!list) {
        *outStatus = QELError_OutOfMemory;
        return nullptr;
    }
    QELStatus s = 0;
    bool armorGiven = false;
    for (std::uint32_t i = 0; s == 0 && i < caller->count; ++i) {
        QELOptionItem item{};
        if ((s = qelOptionListGetItem(caller, i, false, &item)) != 0)
            break;
        if (isOneOf(item.kind, kExportOnlyKinds) || (shape.ownOutput && isOneOf(item.kind, kOutputKinds)) ||
            (shape.passThrough && item.kind == QELOption_ArmorOutput))
            continue;
        armorGiven = armorGiven || item.kind == QELOption_ArmorOutput;
        QELOptionItem copy{};
        if ((s = qelOptionItemCopy(context, &item, &copy)) == 0)
            s = qelOptionListAppendItem(list.get(), &copy);
    }
    QELOptionList *armor = shape.passThrough ? qelOptionArmorOutput(context, 0)
                           : armorGiven      ? qelOptionNull(context)
                                             : qelOptionArmorOutput(context, 1);
    if (s == 0)
        s = qelOptionListAppendVarArgs(
            list.get(), armor, qelOptionOmitLiteralPacket(context, 1), qelOptionCompress(context, 0),
            shape.append ? qelOptionAppendOutput(context, 1) : qelOptionNull(context),
            shape.ownOutput ? qelOptionOutputAllocatedBuffer(context, shape.block, kMaxExport, shape.blockSize)
                            : qelOptionNull(context),
            qelOptionInputBuffer(context, bytes, length), qelOptionLastOption(context));
    else
        qelOptionListFree(armor);
    if (s == 0)
        s = qelOptionListGetError(list.get());
    *outStatus = s;
    return s == 0 ? list.release() : nullptr;
}

QELStatus runJob(QELContext *context, QELOptionList *options, const u8 *bytes, std::size_t length,
                 const JobShape &shape)
{
    QELStatus s = 0;
    QELOptionList *job = jobOptions(context, options, bytes, length, shape, &s);
    if (job == nullptr)
        return s;
    // qelEncode consumes the list it is given.
    return qelEncode(context, job, qelOptionLastOption(context));
}

// One block of packets through one encode job.
QELStatus encodeBlock(QELKeySet *set, QELOptionList *options, bool secretKeys, bool secretSubKeys, bool extended,
                      const JobShape &shape)
{
    QELContext *context = qelKeySetContext(set);
    PacketBuffer packets(context);
    QELStatus s = qelKeySetWritePackets(set, &packets.file, secretKeys, secretSubKeys, extended, true);
    if (s != 0)
        return packets.failed ? QELError_OutOfMemory : s;
    return runJob(context, options, packets.data(), packets.used, shape);
}

// A block an encode job wrote for us; it may hold secret keys, so it is
// wiped before it goes back.
struct JobBlock {
    void *bytes = nullptr;
    std::uint64_t size = 0;
    ~JobBlock()
    {
        if (bytes != nullptr) {
            qelSecureWipe(bytes, static_cast<std::size_t>(size));
            static_cast<void>(qelMemFree(bytes));
        }
    }
};

QELStatus exportRFC4880(QELKeySet *set, QELOptionList *options, bool secretKeys, bool secretSubKeys,
                        std::int32_t format)
{
    const bool extended = format > 1;
    const bool secret = secretKeys || secretSubKeys;
    bool memoryOutput = false;
    for (std::int32_t kind : {QELOption_OutputBuffer, QELOption_OutputAllocatedBuffer}) {
        bool given = false;
        if (QELStatus s = hasOption(options, kind, &given); s != 0)
            return s;
        memoryOutput = memoryOutput || given;
    }
    if (!secret || !memoryOutput) {
        QELStatus s = encodeBlock(set, options, false, false, extended, JobShape{});
        if (s != 0 || !secret)
            return s;
        JobShape second;
        second.append = true;
        return encodeBlock(set, options, secretKeys, true, extended, second);
    }
    // A memory output is written once: both blocks are made apart and go
    // out together, the public one first.
    JobBlock blocks[2];
    for (int i = 0; i < 2; ++i) {
        JobShape shape;
        shape.ownOutput = true;
        shape.block = &blocks[i].bytes;
        shape.blockSize = &blocks[i].size;
        const bool inSecret = i == 1;
        if (QELStatus s = encodeBlock(set, options, inSecret && secretKeys, inSecret, extended, shape); s != 0)
            return s;
    }
    QELContext *context = qelKeySetContext(set);
    const std::uint64_t total = blocks[0].size + blocks[1].size;
    qel::WipedBuffer<u8> both(qelContextGetMemoryMgr(context), static_cast<std::size_t>(total));
    if (!both)
        return QELError_OutOfMemory;
    if (blocks[0].size != 0)
        std::memcpy(both.get(), blocks[0].bytes, static_cast<std::size_t>(blocks[0].size));
    if (blocks[1].size != 0)
        std::memcpy(both.get() + blocks[0].size, blocks[1].bytes, static_cast<std::size_t>(blocks[1].size));
    JobShape out;
    out.passThrough = true;
    return runJob(context, options, both.get(), static_cast<std::size_t>(total), out);
}

QELStatus readIssueArgs(QELOptionList *options, QELX509IssueArgs *args)
{
    std::int32_t days = 0;
    QELStatus s = qelJobIntOption(options, QELOption_ValidityDays, 0, &days);
    if (s != 0)
        return s;
    std::uint32_t creation = 0;
    if ((s = qelOptionListGetValues(options, QELOption_CreationTime, false, "%T", &creation)) != 0)
        return s;
    void *secret = nullptr;
    std::uint64_t length = 0;
    if ((s = qelOptionListGetValues(options, QELOption_Passphrase, false, "%p%l", &secret, &length)) != 0)
        return s;
    bool passkey = false;
    if (secret == nullptr) {
        if ((s = qelOptionListGetValues(options, QELOption_Passkey, false, "%p%l", &secret, &length)) != 0)
            return s;
        passkey = secret != nullptr;
    }
    args->creation = creation;
    args->validityDays = days;
    args->secret = secret;
    args->secretLength = length;
    args->secretIsPasskey = passkey;
    return 0;
}

// The attribute records of QELOption_Kind69; none when absent.
QELStatus readAttributes(QELOptionList *options, const QELCertAttribute **outRecords, std::size_t *outCount,
                         bool *outGiven)
{
    QELOptionItem item{};
    QELStatus s = qelOptionListFindOneOptional(options, QELOption_Kind69, 0, &item);
    *outRecords = nullptr;
    *outCount = 0;
    *outGiven = item.kind != 0;
    if (s != 0 || item.kind == 0)
        return s;
    void *records = nullptr;
    std::uint64_t bytes = 0;
    if ((s = qelJobItemBytes(item, &records, &bytes)) != 0)
        return s;
    *outRecords = static_cast<const QELCertAttribute *>(records);
    *outCount = static_cast<std::size_t>(bytes / sizeof(QELCertAttribute));
    return 0;
}

// What issuing and enrolment read from the options: the issue arguments and
// the caller's attribute records (`given` when option 69 is there).
struct IssueOptions {
    QELX509IssueArgs args{};
    const QELCertAttribute *records = nullptr;
    std::size_t count = 0;
    bool given = false;
};

QELStatus readIssueOptions(QELOptionList *options, IssueOptions &out)
{
    const QELStatus s = readIssueArgs(options, &out.args);
    return s != 0 ? s : readAttributes(options, &out.records, &out.count, &out.given);
}

// ---- X.509 outputs ----------------------------------------------------------------------
// The bytes written as the options ask, as they are; with armor asked for
// and a PEM label, as PEM text (RFC 7468) with that label.
QELStatus outputBytes(QELContext *context, QELOptionList *options, const u8 *bytes, std::size_t length,
                      const char *label)
{
    std::int32_t armor = 0, append = 0;
    QELStatus s = qelJobIntOption(options, QELOption_ArmorOutput, 0, &armor);
    if (s == 0)
        s = qelJobIntOption(options, QELOption_AppendOutput, 0, &append);
    if (s != 0)
        return s;
    std::string pem;
    if (armor != 0 && label != nullptr) {
        pem = std::string("-----BEGIN ") + label + "-----\n";
        for (std::size_t at = 0; at < length; at += 48) {
            char line[65];
            const std::size_t n = qelBase64Encode(bytes + at, std::min<std::size_t>(48, length - at), line);
            pem.append(line, n);
            pem += '\n';
        }
        pem += std::string("-----END ") + label + "-----\n";
        bytes = reinterpret_cast<const u8 *>(pem.data());
        length = pem.size();
    }
    QELJobOutput output;
    QELPipeModule *head = nullptr;
    s = qelJobOpenOutput(context, options, &head, append != 0, QELFileClass_EncodeOutput, false, output);
    if (s == 0)
        s = qelPipePumpBuffer(head, bytes, length, nullptr, nullptr);
    if (s == 0)
        s = qelJobFinishMemoryOutput(head, output);
    if (head != nullptr)
        qelPipeDestroy(head);
    return qelJobCommitOutput(output, s);
}

// The set's certificate: the first X.509 signature made by the key it
// hangs under (the key's own certificate), else the first one met.
QELKeyObject *findCertificate(QELKeySet *set, QELStatus *outStatus)
{
    QELKeyIter *iter = nullptr;
    *outStatus = qelKeyIterNewOnSet(set, &iter);
    if (*outStatus != 0)
        return nullptr;
    const qel::Owned<QELKeyIter, qelKeyIterFree> owned(iter);
    QELKeyObject *first = nullptr, *object = nullptr;
    while (qelKeyIterNextObject(iter, &object) == QELError_NoErr && object != nullptr) {
        if (!qelKeyObjIsLiveSignature(object) || !qelKeyObjSigIsX509(object))
            continue;
        QELKeyID signer{}, own{};
        qelSigGetSignerKeyID(object, nullptr, &signer);
        qelKeyObjGetKeyID(qelKeyObjTopKey(object), nullptr, &own);
        if (qelKeyIDCompareInternal(signer, own) == 0)
            return object;
        if (first == nullptr)
            first = object;
    }
    *outStatus = first != nullptr ? QELError_NoErr : QELError_CertificateNotFound;
    return first;
}

struct FreeBlock {
    void operator()(u8 *p) const { static_cast<void>(qelMemFree(p)); }
};

// A PKCS #12 file of the set's first key (RSA, unlocked with the
// passphrase), its certificate chain and its primary user ID as the name;
// 1000 iterations.
QELStatus exportPKCS12(QELKeySet *set, QELOptionList *options, QELKeyObject *certificate)
{
    const QELKeyIOSeams &seams = qelKeyIOSeams();
    if (seams.exportRSAPrivateKey == nullptr || seams.certificateChain == nullptr || seams.pkcs12Export == nullptr)
        return QELError_FeatureNotAvailable;
    QELKeyObject *key = qelKeySetFirstKey(set);
    if (key == nullptr)
        return QELError_BadParams;
    QELContext *context = qelKeySetContext(set);
    void *pass = nullptr;
    std::uint64_t passLength = 0;
    QELStatus s = qelOptionListGetValues(options, QELOption_Passphrase, false, "%p%l", &pass, &passLength);
    if (s != 0)
        return s;
    if (pass == nullptr)
        passLength = 0;
    QELSecretKeyObject *secret = qelKeyObjSecretOps(key, QELKeyRole_Sign);
    if (secret == nullptr) {
        s = qelKeyDBGetLastError(qelKeySetKeyDB(set));
        return s != 0 ? s : QELError_KeyUnusableForSignature;
    }
    u8 *keyDER = nullptr;
    std::size_t keyLength = 0;
    if (secret->isLocked(secret) && secret->unlock(secret, pass != nullptr ? pass : "", passLength, 0) != 1)
        s = QELError_BadPassphrase;
    else
        s = seams.exportRSAPrivateKey(secret, &keyDER, &keyLength);
    static_cast<void>(secret->destroy(secret));
    if (s != 0)
        return s;
    JobBlock keyGuard; // a private key: wiped and freed on every way out
    keyGuard.bytes = keyDER;
    keyGuard.size = keyLength;
    u8 *chain = nullptr;
    std::size_t chainLength = 0;
    if ((s = seams.certificateChain(context, certificate, &chain, &chainLength)) != 0)
        return s;
    const std::unique_ptr<u8, FreeBlock> chainOwned(chain);
    std::string name;
    for (QELKeyObject *c = key->firstChild; c != nullptr && name.empty(); c = c->next)
        if (qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_UserID && !qelUserIDIsAttribute(c)) {
            const auto body = qelKeyObjPacketBody(c);
            name.assign(body.begin(), body.end());
        }
    u8 *pfx = nullptr;
    std::uint64_t pfxLength = 0;
    if ((s = seams.pkcs12Export(context, keyDER, keyLength, static_cast<const char *>(pass != nullptr ? pass : ""),
                                passLength, chain, chainLength, name.c_str(), name.size(), 1000, &pfx,
                                &pfxLength)) != 0)
        return s;
    const std::unique_ptr<u8, FreeBlock> pfxOwned(pfx);
    // A PKCS #12 file has no PEM label of its own: it goes out as it is.
    return outputBytes(context, options, pfx, static_cast<std::size_t>(pfxLength), nullptr);
}

QELStatus exportX509(QELKeySet *set, QELOptionList *options, bool withKey)
{
    QELStatus s = 0;
    QELKeyObject *certificate = findCertificate(set, &s);
    if (certificate == nullptr)
        return s;
    if (withKey)
        return exportPKCS12(set, options, certificate);
    std::size_t length = 0;
    const u8 *der = qelKeyObjSigX509Data(certificate, &length);
    if (der == nullptr)
        return QELError_CertificateNotFound;
    return outputBytes(qelKeySetContext(set), options, der, length, "CERTIFICATE");
}

// What a certification authority is sent for the set's first key: a
// certificate request (with the key's creation time as the first
// attribute), an empty SEQUENCE, or a PKCS #7 GetCRL request over the
// input buffer's octets.
QELStatus exportForCA(QELKeySet *set, QELOptionList *options, std::int32_t format)
{
    QELKeyObject *key = qelKeySetFirstKey(set);
    if (key == nullptr)
        return QELError_BadParams;
    QELContext *context = qelKeySetContext(set);
    if (format > kFormatRequestLast && format <= kFormatEmptyLast) {
        static constexpr u8 kEmpty[] = {0x30, 0x00};
        return outputBytes(context, options, kEmpty, sizeof kEmpty, nullptr);
    }
    const QELKeyIOSeams &seams = qelKeyIOSeams();
    u8 *out = nullptr;
    std::uint64_t outLength = 0;
    QELStatus s = 0;
    if (format > kFormatEmptyLast) {
        if (seams.getCRLRequest == nullptr)
            return QELError_FeatureNotAvailable;
        void *extra = nullptr;
        std::uint64_t extraLength = 0;
        if ((s = qelOptionListGetValues(options, QELOption_InputBuffer, false, "%p%l", &extra, &extraLength)) != 0)
            return s;
        if ((s = seams.getCRLRequest(context, key, static_cast<const u8 *>(extra), extra != nullptr ? extraLength : 0,
                                     format, static_cast<std::int64_t>(qelTimeDateNow()), &out, &outLength)) != 0)
            return s;
        const std::unique_ptr<u8, FreeBlock> owned(out);
        return outputBytes(context, options, out, static_cast<std::size_t>(outLength), nullptr);
    }
    if (seams.enrolmentRequest == nullptr)
        return QELError_FeatureNotAvailable;
    IssueOptions issue;
    if ((s = readIssueOptions(options, issue)) != 0)
        return s;
    const QELX509IssueArgs &secret = issue.args;
    std::vector<QELCertAttribute> all(issue.count + 1);
    u8 creation[QELKeyCreationAttributeSize] = {};
    qelKeyCreationAttribute(&all[0], creation, key, format == kFormatWebFormRequest);
    if (issue.count != 0)
        std::memcpy(&all[1], issue.records, issue.count * sizeof(QELCertAttribute));
    QELOptionList *unlock = secret.secret == nullptr ? qelOptionNull(context)
                            : secret.secretIsPasskey
                                ? qelOptionPasskeyBuffer(context, secret.secret, secret.secretLength)
                                : qelOptionPassphraseBuffer(context, secret.secret, secret.secretLength);
    if ((s = seams.enrolmentRequest(context, key, format, all.data(), static_cast<std::uint32_t>(all.size()), unlock,
                                    &out, &outLength)) != 0)
        return s;
    const std::unique_ptr<u8, FreeBlock> owned(out);
    return outputBytes(context, options, out, static_cast<std::size_t>(outLength),
                       format == kFormatWebFormRequest ? nullptr : "CERTIFICATE REQUEST");
}

} // namespace

QELStatus qelKeySetWritePackets(QELKeySet *set, QELFileObject *file, bool secretKeys, bool secretSubKeys,
                                bool extended, bool keyPackets)
{
    if (qelKeySetCheck(set) != 0 || file == nullptr || file->write == nullptr)
        return QELError_BadParams;
    auto skipKind = [&](QELKeyObject *node) {
        const int type = qelKeyObjType(node);
        return !extended && (type == QELObjectType_CRL ||
                             (type == QELObjectType_UserID && qelUserIDIsAttribute(node)));
    };
    QELStatus s = QELError_NoErr;
    for (QELKeyObject *key = qelKeySetKeyDB(set)->firstKey; s == 0 && key != nullptr; key = key->next) {
        if (qelKeyObjType(key) != QELObjectType_Key || !wanted(key, set))
            continue;
        if (keyPackets)
            s = writeNode(key, file, qelKeyObjIsSecret(key) && !secretKeys);
        for (QELKeyObject *child = key->firstChild; s == 0 && child != nullptr; child = child->next) {
            if (!wanted(child, set) || skipKind(child))
                continue;
            const int type = qelKeyObjType(child);
            if (type == QELObjectType_Signature) {
                if (!dropSignature(child, secretKeys))
                    s = writeNode(child, file, false);
                continue;
            }
            const bool subKey = type == QELObjectType_SubKey;
            s = writeNode(child, file, subKey && qelKeyObjIsSecret(child) && !secretSubKeys);
            // Signatures under a subkey belong to the secret subkey block,
            // those under a user ID to the secret key block.
            const bool secretBlock = subKey ? secretSubKeys : secretKeys;
            for (QELKeyObject *grand = child->firstChild; s == 0 && grand != nullptr; grand = grand->next) {
                if (!wanted(grand, set) || (!extended && qelKeyObjType(grand) == QELObjectType_CRL))
                    continue;
                if (qelKeyObjType(grand) == QELObjectType_Signature && dropSignature(grand, secretBlock))
                    continue;
                s = writeNode(grand, file, isKeyNode(grand) && qelKeyObjIsSecret(grand) && !secretSubKeys);
            }
        }
    }
    return s;
}

QELStatus qelKeySetExport(QELKeySet *set, QELOptionList *options)
{
    QELStatus s = qelKeySetCheck(set);
    if (s != 0)
        return s;
    std::int32_t secretKeys = 0, secretSubKeys = 0, format = kFormatDefault;
    bool toToken = false;
    if ((s = qelJobIntOption(options, QELOption_ExportPrivateKeys, 0, &secretKeys)) != 0 ||
        (s = qelJobIntOption(options, QELOption_Kind55, 0, &secretSubKeys)) != 0 ||
        (s = qelJobIntOption(options, QELOption_ExportFormat, kFormatDefault, &format)) != 0 ||
        (s = hasOption(options, QELOption_Kind79, &toToken)) != 0)
        return s;
    if (qelKeySetCountInternal(set) == 1) {
        QELKeyObject *only = qelKeySetFirstKey(set);
        if (only != nullptr && !qelKeyObjIsSecret(only))
            secretKeys = secretSubKeys = 0;
    }
    // No device stands behind the token routes.
    if (toToken && (format == kFormatDefault || format == kFormatTokenData || format == kFormatCertificate))
        return QELError_FeatureNotAvailable;
    if (format == kFormatCertificate)
        return exportX509(set, options, secretKeys != 0);
    if (format >= kFormatRequestFirst)
        return exportForCA(set, options, format);
    return exportRFC4880(set, options, secretKeys != 0, secretSubKeys != 0, format);
}

QELStatus qelKeyIOExportKeys(QELContext *context, QELOptionList *options)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QELStatus s = checkKinds(options, kExportKeysKinds);
    if (s != 0)
        return s;
    void *setPointer = nullptr, *keyPointer = nullptr;
    if ((s = qelOptionListGetValues(options, QELOption_ExportKeySet, false, "%p", &setPointer)) != 0 ||
        (s = qelOptionListGetValues(options, QELOption_ExportKey, false, "%p", &keyPointer)) != 0)
        return s;
    if ((setPointer == nullptr) == (keyPointer == nullptr))
        return QELError_BadParams;
    if (setPointer != nullptr)
        return qelKeySetExport(static_cast<QELKeySet *>(setPointer), options);
    auto *key = static_cast<QELKeyObject *>(keyPointer);
    if (!qelKeyObjIsValid(key))
        return QELError_BadParams;
    QELKeySet *single = nullptr;
    if ((s = qelEnumeratedSetFromObject(key, &single)) != 0)
        return s;
    const qel::Owned<QELKeySet, qelKeySetRelease> owned(single);
    return qelKeySetExport(single, options);
}

QELStatus qelKeyIOExportKeySet(QELKeySet *set, QELOptionList *options)
{
    QELStatus s = checkKinds(options, kExportKeySetKinds);
    return s != 0 ? s : qelKeySetExport(set, options);
}

QELStatus qelKeyIOCreateCRL(QELKeyObject *issuer, QELKeySet *revoked, QELOptionList *options)
{
    QELStatus s = checkKinds(options, kCreateCRLKinds);
    if (s != 0)
        return s;
    QELX509IssueArgs args{};
    if ((s = readIssueArgs(options, &args)) != 0)
        return s;
    const auto create = qelKeyIOSeams().createCRL;
    return create != nullptr ? create(issuer, revoked, &args) : QELError_FeatureNotAvailable;
}

QELStatus qelKeyIOCertify(QELKeyObject *issuer, QELKeyObject *subject, QELKeyObject **outSig,
                          QELOptionList *options)
{
    if (outSig != nullptr)
        *outSig = nullptr;
    QELStatus s = checkKinds(options, kCertifyKinds);
    if (s != 0)
        return s;
    void *input = nullptr;
    std::uint64_t inputLength = 0;
    bool inputFile = false;
    if ((s = qelOptionListGetValues(options, QELOption_InputBuffer, false, "%p%l", &input, &inputLength)) != 0 ||
        (s = hasOption(options, QELOption_InputFile, &inputFile)) != 0)
        return s;
    // A request read from a file comes through the job input, which reads
    // only buffers here.
    if (inputFile)
        return QELError_FeatureNotAvailable;
    if ((subject != nullptr) == (input != nullptr) || outSig == nullptr)
        return QELError_BadParams;
    IssueOptions issue;
    if ((s = readIssueOptions(options, issue)) != 0)
        return s;
    if (!issue.given)
        return QELError_BadParams;
    QELX509IssueArgs &args = issue.args;
    const std::size_t count = issue.count;
    // A key's certificate carries its RFC 4880 creation time in front of
    // the caller's attributes.
    qel::WipedBuffer<QELCertAttribute> all(qelContextGetMemoryMgr(qelKeyObjContext(issuer)), count + 1, false);
    if (!all)
        return QELError_OutOfMemory;
    u8 creation[QELKeyCreationAttributeSize] = {};
    std::size_t at = 0;
    if (subject != nullptr)
        qelKeyCreationAttribute(&all[at++], creation, subject, true);
    if (count != 0)
        std::memcpy(&all[at], issue.records, count * sizeof(QELCertAttribute));
    args.attributes = all.get();
    args.attributeCount = at + count;
    const auto create = qelKeyIOSeams().createCertificate;
    if (create == nullptr)
        return QELError_FeatureNotAvailable;
    return create(issuer, subject, static_cast<const u8 *>(input), static_cast<std::size_t>(inputLength), &args,
                  outSig);
}

void qelKeyCreationAttributeAt(QELCertAttribute *outRecord, std::uint8_t *buffer, std::uint32_t creation, bool der)
{
    if (!der) {
        std::snprintf(reinterpret_cast<char *>(buffer), QELKeyCreationAttributeSize, "QELKeyCreation=0x%08x",
                      static_cast<unsigned>(creation));
        *outRecord = {QELCertAttr_Description, 25, buffer, 0};
        return;
    }
    static constexpr u8 kOid[] = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0xB9, 0x70, 0x08, 0x01, 0x01};
    char time[16] = {};
    const int d = qelTimeDateFormatASN1(creation, time);
    std::size_t n = 0;
    buffer[n++] = 0x30;
    buffer[n++] = static_cast<u8>(16 + d);
    std::memcpy(buffer + n, kOid, sizeof kOid);
    n += sizeof kOid;
    buffer[n++] = 0x04;
    buffer[n++] = static_cast<u8>(2 + d);
    buffer[n++] = d == 13 ? 0x17 : 0x18;
    buffer[n++] = static_cast<u8>(d);
    std::memcpy(buffer + n, time, static_cast<std::size_t>(d));
    n += static_cast<std::size_t>(d);
    *outRecord = {QELCertAttr_Extension, n, buffer, 0};
}

void qelKeyCreationAttribute(QELCertAttribute *outRecord, std::uint8_t *buffer, QELKeyObject *key, bool der)
{
    qelKeyCreationAttributeAt(outRecord, buffer, qelKeyObjCreation(key), der);
}
