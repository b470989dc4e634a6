// The encode chain builder. Packet version 4 and above always asks the
// cipher module for modification detection (tag 18): readers such as GnuPG
// 2.2 refuse the unprotected tag 9 packet, which carries no integrity check
// at all; version 3 keeps tag 9 for the readers that know nothing else.
#include "qelEncodeChainInternal.h"

#include "qelAddHeaderModuleInternal.h"
#include "qelArmorWriterInternal.h"
#include "qelCFBInternal.h"
#include "qelCipherModuleInternal.h"
#include "qelCompressSelectInternal.h"
#include "qelContextInternal.h"
#include "qelDevNullModuleInternal.h"
#include "qelFileHeaderModuleInternal.h"
#include "qelFlexFifoInternal.h"
#include "qelKeyObjInternal.h"
#include "qelPKEModuleInternal.h"
#include "qelSigSpecInternal.h"
#include "qelSignatureModuleInternal.h"
#include "qelSplitModuleInternal.h"
#include "qelTextFilterModuleInternal.h"
#include "qelHelpers.h"
#include "qelRandomContextInternal.h"
#include "qelSettingsInternal.h"
#include "qelStringToKeyInternal.h"
#include "qelSymKeyESKInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelWipe.h"

#include "qelAlgorithms.h"
#include "qelCFB.h"

#include <algorithm>
#include <cstring>

namespace {

inline constexpr std::size_t kCipherRandomBytes = 16;

std::int32_t setting(const QELSettings *settings, std::int32_t id)
{
    return qelSettingsGetInt(settings, id, nullptr, nullptr);
}

// The cipher module, then the symmetric-key session-key module when a
// passphrase is given and the public-key session-key module when recipients
// are. With a passphrase alone the session key is derived from it;
// otherwise it is random and the passphrase packet carries it encrypted.
QELPipeModule **addEncryption(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                              const QELFifoDescriptor *fifoKind, QELRandomContext *random, std::int32_t version,
                              const QELEncodeConventional *conventional, std::span<QELKeyObject *const> recipients,
                              std::uint8_t *sessionKey, QELEncodeRecipientCallback callback, void *user,
                              std::uint32_t *outKeyLength, QELStatus *status)
{
    const std::int32_t cipherId = setting(settings, QELSetting_CipherAlgorithm);
    const QELCipherDescriptor *descriptor = qelCipherDescriptorFind(cipherId);
    if (descriptor == nullptr || descriptor->keySize + 1 > QELEncodeSessionKeyRecordSize) {
        *status = QELError_OutOfMemory;
        return nullptr;
    }
    QELStringToKey *s2k = nullptr;
    if (conventional != nullptr) {
        s2k = version >= 4 ? qelS2KNewIteratedSHA1(context, random) : qelS2KNewSimpleMD5(context);
        if (s2k == nullptr) {
            *status = QELError_OutOfMemory;
            return nullptr;
        }
    }
    sessionKey[0] = static_cast<std::uint8_t>(cipherId);
    *outKeyLength = static_cast<std::uint32_t>(descriptor->keySize + 1);
    *status = 0;
    if (recipients.empty())
        *status = s2k->deriveKey(s2k, conventional->passphrase, conventional->length, sessionKey + 1,
                                 descriptor->keySize);
    else
        *status = qelRandomGetBytes(random, sessionKey + 1, static_cast<std::uint32_t>(descriptor->keySize));
    QELPipeModule **next = nullptr;
    QELCFBContext *cfb = nullptr;
    if (*status == 0) {
        cfb = qelCFBCreateForDescriptor(qelContextMemoryMgr(context), descriptor);
        if (cfb == nullptr)
            *status = QELError_OutOfMemory;
        else
            *status = qelCFBInit(cfb, sessionKey + 1, nullptr);
    }
    if (*status == 0) {
        std::uint8_t prefix[kCipherRandomBytes];
        *status = qelRandomGetBytes(random, prefix, sizeof prefix);
        if (*status == 0)
            next = qelCipherEncryptModuleCreate(context, slot, version, fifoKind, cfb, prefix, settings,
                                                version >= 4 ? 1 : 0);
        qelSecureWipe(prefix, sizeof prefix);
        if (next != nullptr)
            cfb = nullptr; // the module owns it now
        else if (*status == 0)
            *status = QELError_OutOfMemory;
    }
    if (next != nullptr && conventional != nullptr) {
        const QELSymKeyPassphrase entry{nullptr, nullptr, conventional->passphrase, conventional->length};
        next = qelSymKeyESKCreate(context, next, version, fifoKind, s2k, &entry, static_cast<std::uint8_t>(cipherId),
                                  recipients.empty() ? nullptr : sessionKey);
        if (next == nullptr)
            *status = QELError_OutOfMemory;
    }
    if (next != nullptr && !recipients.empty()) {
        QELPipeModule **pkeSlot = next;
        next = qelPKEModuleCreate(context, next, version, sessionKey, *outKeyLength);
        if (next == nullptr)
            *status = QELError_OutOfMemory;
        for (std::size_t i = 0; next != nullptr && i < recipients.size(); ++i) {
            *status = qelPKEModuleAddRecipient(*pkeSlot, recipients[i]);
            if (*status == 0 && callback != nullptr)
                *status = callback(user, i, i + 1);
            if (*status != 0)
                next = nullptr;
        }
    }
    if (cfb != nullptr)
        (void)qelCFBFree(cfb);
    if (s2k != nullptr)
        s2k->destroy(s2k);
    return next;
}

// The distinct hash algorithms of the signers, in signer order.
std::size_t signerHashes(QELSigSpec *signers, std::uint8_t (&ids)[256])
{
    std::size_t n = 0;
    for (QELSigSpec *spec = signers; spec != nullptr && n < std::size(ids); spec = qelSigSpecNext(spec)) {
        const std::uint8_t id = qelSigSpecHashAlgorithm(spec);
        if (std::find(ids, ids + n, id) == ids + n)
            ids[n++] = id;
    }
    return n;
}

} // namespace


QELPipeModule **qelEncodeChainBuild(QELContext *context, QELPipeModule **head, QELSettings *settings,
                                    const QELFifoDescriptor *fifoKind, QELRandomContext *random,
                                    const QELEncodeConventional *conventional,
                                    std::span<QELKeyObject *const> recipients, QELSigSpec *signers,
                                    const QELEncodeLiteralInfo *literal, bool detached, std::uint8_t *sessionKey,
                                    bool largeInput, QELEncodeRecipientCallback callback, void *user,
                                    std::uint32_t *outKeyLength, QELStatus *outStatus)
{
    *outKeyLength = 0;
    *outStatus = 0;
    if (fifoKind == nullptr)
        fifoKind = qelFlexFifoDescriptor();
    const bool signing = signers != nullptr;
    const bool encrypting = conventional != nullptr || !recipients.empty();
    const bool text = setting(settings, QELSetting_TextMode) != 0;
    const bool armor = setting(settings, QELSetting_ArmorOutput) != 0;
    const bool mime = setting(settings, QELSetting_MimeOutput) != 0;
    const bool clearSign = text && signing && armor && setting(settings, QELSetting_ClearSign) != 0 && !detached;
    if ((detached && (!signing || encrypting)) || (text && literal == nullptr && !clearSign && !detached)) {
        *outStatus = QELError_BadParams;
        return nullptr;
    }
    // A detached or clear-signed signature covers the bare text: no literal
    // packet and nothing compressed around it.
    bool compress = setting(settings, QELSetting_Compress) != 0;
    if (detached || clearSign) {
        compress = false;
        literal = nullptr;
    }
    std::int32_t version = setting(settings, QELSetting_PacketVersion);
    if (version <= 3 &&
        (largeInput || (conventional != nullptr && setting(settings, QELSetting_CipherAlgorithm) != 1) ||
         (conventional != nullptr && !recipients.empty()) ||
         (!recipients.empty() && std::none_of(recipients.begin(), recipients.end(), [](QELKeyObject *key) {
             return qelKeyObjKeyVersion(key) <= 3;
         }))))
        version = 4;

    auto fail = [&](QELStatus status) -> QELPipeModule ** {
        if (*head != nullptr)
            qelPipeDestroy(*head);
        *head = nullptr;
        *outKeyLength = 0;
        *outStatus = status;
        return nullptr;
    };
    QELPipeModule **slot = head;
    // Clear-signing: the text goes both to the clear-signed writer (output 0)
    // and, filtered, to the Signature module (output 1).
    QELPipeModule **clearText = nullptr;
    if (clearSign && !mime) {
        clearText = qelSplitModuleCreate(context, head);
        slot = clearText != nullptr ? qelSplitAddOutput(*head) : nullptr;
        if (slot == nullptr)
            return fail(QELError_OutOfMemory);
    }
    if (text) {
        const auto *table =
            static_cast<const std::uint8_t *>(qelSettingsGetPointer(settings, QELSetting_CharsetEncodeTable, nullptr));
        slot = qelTextFilterModuleCreate(context, slot, table, clearSign, QELLineEnd_CRLF);
        if (slot == nullptr)
            return fail(QELError_OutOfMemory);
    }
    // Signing: the Signature module hashes the data on its data path. In the
    // one-pass form that path ends in its packet stream, so that the one-pass
    // packets, the data and the signatures leave in message order; a
    // detached or clear-signed signature drops the data there instead.
    QELPipeModule *signature = nullptr;
    QELPipeModule **packets = nullptr;
    if (signing) {
        QELPipeModule **at = slot;
        slot = qelSignatureModuleCreate(context, at, version, fifoKind);
        if (slot == nullptr)
            return fail(QELError_OutOfMemory);
        signature = *at;
        // A detached signature is the signature packets alone (RFC 4880
        // 11.4): readers such as GnuPG refuse one-pass packets in front of
        // them as ambiguous.
        packets = qelSignatureModuleAddSigners(signature, signers, clearSign || detached ? 1 : 0);
        if (packets == nullptr)
            return fail(QELError_OutOfMemory);
    }
    if (literal != nullptr) {
        const char *name = literal->fileName != nullptr ? literal->fileName : "";
        slot = qelLiteralModuleCreate(context, slot, version, fifoKind, text ? 't' : 'b', name, std::strlen(name),
                                      literal->date);
        if (slot == nullptr)
            return fail(QELError_OutOfMemory);
    }
    if (signing && (clearSign || detached)) {
        if (qelDevNullModuleCreate(context, slot) == nullptr)
            return fail(QELError_OutOfMemory);
        slot = packets;
    } else if (signing) {
        slot = qelSignatureModuleJoinData(signature, slot);
        if (slot == nullptr)
            return fail(QELError_OutOfMemory);
    }
    if (clearSign) {
        std::uint8_t ids[256];
        const auto count = static_cast<std::uint32_t>(signerHashes(signers, ids));
        slot = mime ? qelArmorMimeSignedCreate(head, packets, settings, fifoKind, random, version, ids, count)
                    : qelArmorClearSignedCreate(clearText, packets, settings, fifoKind, version, ids, count);
        if (slot == nullptr)
            return fail(QELError_OutOfMemory);
    }
    if (compress) {
        slot = qelCompressModuleCreate(context, slot, version, fifoKind,
                                       setting(settings, QELSetting_CompressAlgorithm),
                                       setting(settings, QELSetting_CompressLevel));
        if (slot == nullptr)
            return fail(QELError_OutOfMemory);
    }
    if (encrypting) {
        // Encrypted clear-signed text travels as the literal data.
        if (clearSign) {
            slot = qelLiteralModuleCreate(context, slot, version, fifoKind, 't', "", 0, 0);
            if (slot == nullptr)
                return fail(QELError_OutOfMemory);
        }
        QELStatus status = 0;
        slot = addEncryption(context, slot, settings, fifoKind, random, version, conventional, recipients,
                             sessionKey, callback, user, outKeyLength, &status);
        if (slot == nullptr)
            return fail(status != 0 ? status : QELError_OutOfMemory);
    }
    if (clearSign && !encrypting)
        return slot;
    slot = qelFileHeaderModuleCreate(context, slot);
    if (slot == nullptr)
        return fail(QELError_OutOfMemory);
    if (armor) {
        slot = qelArmorWriterCreateByType(context, slot, settings, fifoKind, random, version, detached ? 1 : 0);
        if (slot == nullptr)
            return fail(QELError_OutOfMemory);
    }
    return slot;
}
