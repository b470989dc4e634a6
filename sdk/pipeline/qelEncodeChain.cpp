// The encode chain builder. Packet version 4 and above always asks the
// cipher module for modification detection (tag 18): readers such as GnuPG
// 2.2 refuse the unprotected tag 9 packet, which carries no integrity check
// at all; version 3 keeps tag 9 for the readers that know nothing else.
#include "qelEncodeChainInternal.h"

#include "qelAddHeaderModuleInternal.h"
#include "qelCFBInternal.h"
#include "qelCipherModuleInternal.h"
#include "qelCompressSelectInternal.h"
#include "qelContextInternal.h"
#include "qelFileHeaderModuleInternal.h"
#include "qelFlexFifoInternal.h"
#include "qelKeyObjInternal.h"
#include "qelPKEModuleInternal.h"
#include "qelSignatureModuleInternal.h"
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

QELPipeModule **qelArmorWriterCreateByTypeSeam(QELContext *, QELPipeModule **, QELSettings *,
                                               const QELFifoDescriptor *, QELRandomContext *, std::int32_t,
                                               std::int32_t, QELStatus *outStatus)
{
    *outStatus = QELError_FeatureNotAvailable;
    return nullptr;
}

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
                              std::uint8_t *sessionKey, std::uint32_t *outKeyLength, QELStatus *status)
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

} // namespace

QELPipeModule **qelEncodeChainBuild(QELContext *context, QELPipeModule **head, QELSettings *settings,
                                    const QELFifoDescriptor *fifoKind, QELRandomContext *random,
                                    const QELEncodeConventional *conventional,
                                    std::span<QELKeyObject *const> recipients, QELSigSpec *signers,
                                    const QELEncodeLiteralInfo *literal, bool detached, std::uint8_t *sessionKey, bool largeInput,
                                    std::uint32_t *outKeyLength, QELStatus *outStatus)
{
    *outKeyLength = 0;
    *outStatus = 0;
    if (fifoKind == nullptr)
        fifoKind = qelFlexFifoDescriptor();
    const bool text = setting(settings, QELSetting_TextMode) != 0;
    const bool armor = setting(settings, QELSetting_ArmorOutput) != 0;
    // Signing is not wired in yet: a detached signature has nothing to sign.
    if (detached || (text && literal == nullptr)) {
        *outStatus = QELError_BadParams;
        return nullptr;
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
    // Signing: the Signature module hashes the data on its data path, which
    // ends in its packet stream so that the one-pass packets, the data and
    // the signatures leave in message order.
    QELPipeModule *signature = nullptr;
    QELPipeModule **joined = nullptr;
    if (signers != nullptr) {
        slot = qelSignatureModuleCreate(context, head, version, fifoKind);
        if (slot == nullptr)
            return fail(QELError_OutOfMemory);
        signature = *head;
        joined = qelSignatureModuleAddSigners(signature, signers, 0);
        if (joined == nullptr)
            return fail(QELError_OutOfMemory);
    }
    if (literal != nullptr) {
        const char *name = literal->fileName != nullptr ? literal->fileName : "";
        slot = qelLiteralModuleCreate(context, slot, version, fifoKind, text ? 't' : 'b', name, std::strlen(name),
                                      literal->date);
        if (slot == nullptr)
            return fail(QELError_OutOfMemory);
    }
    if (signature != nullptr) {
        slot = qelSignatureModuleJoinData(signature, slot);
        if (slot == nullptr)
            return fail(QELError_OutOfMemory);
    }
    if (setting(settings, QELSetting_Compress) != 0) {
        slot = qelCompressModuleCreate(context, slot, version, fifoKind,
                                       setting(settings, QELSetting_CompressAlgorithm),
                                       setting(settings, QELSetting_CompressLevel));
        if (slot == nullptr)
            return fail(QELError_OutOfMemory);
    }
    if (conventional != nullptr || !recipients.empty()) {
        QELStatus status = 0;
        slot = addEncryption(context, slot, settings, fifoKind, random, version, conventional, recipients,
                             sessionKey, outKeyLength, &status);
        if (slot == nullptr)
            return fail(status);
    }
    slot = qelFileHeaderModuleCreate(context, slot);
    if (slot == nullptr)
        return fail(QELError_OutOfMemory);
    if (armor) {
        QELStatus status = 0;
        slot = qelArmorWriterCreateByTypeSeam(context, slot, settings, fifoKind, random, version, 0, &status);
        if (slot == nullptr)
            return fail(status != 0 ? status : QELError_OutOfMemory);
    }
    return slot;
}
