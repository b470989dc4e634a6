// The PKE Module. Two phases: recipients are added (each puts one packet in
// the Join's FIFO), then data flows; the first write discards the copy of
// the session key, so no later recipient can be added.
#include "qelPKEModuleInternal.h"

#include "qelByteFifoInternal.h"
#include "qelContextInternal.h"
#include "qelJoinModuleInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyOpsInternal.h"
#include "qelPkAlgInternal.h"
#include "qelWipe.h"

#include <cstring>

namespace {

struct PKEModule {
    QELPipeModule head;
    std::uint8_t *sessionKey; // secure block; null once data flows
    std::uint64_t blockLength;
    std::uint8_t *packet; // header and body of the last packet built
    std::uint64_t capacity;
    std::int32_t version;
    QELPipeModule *join;
};

PKEModule *self(QELPipeModule *m) { return qelPipeModuleState<PKEModule>(m); }

void releaseBlock(std::uint8_t *&block, std::uint64_t size)
{
    if (block != nullptr) {
        qelSecureWipe(block, static_cast<std::size_t>(size));
        static_cast<void>(qelMemFree(block)); // a block of our own
    }
    block = nullptr;
}

void releaseSecrets(PKEModule *p)
{
    releaseBlock(p->sessionKey, p->blockLength);
    releaseBlock(p->packet, p->capacity);
    p->blockLength = 0;
    p->capacity = 0;
}

std::uint64_t pkeWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    PKEModule *p = self(m);
    releaseSecrets(p);
    return qelPipeWrite(p->join, bytes, length, status);
}

QELStatus pkeFlush(QELPipeModule *m) { return qelPipeFlush(self(m)->join); }

QELStatus pkeAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    return qelPipeAnnotate(self(m)->join, origin, code, data, length);
}

QELStatus pkeExpectBytes(QELPipeModule *m, std::uint64_t count) { return qelPipeExpectBytes(self(m)->join, count); }

QELStatus pkeDestroy(QELPipeModule *m)
{
    PKEModule *p = self(m);
    qelPipeDestroy(p->join);
    releaseSecrets(p);
    qelPipeModuleFree(p);
    return 0;
}

constexpr QELPipeOps kPKEOps{pkeWrite, pkeFlush, pkeAnnotate, pkeExpectBytes, pkeDestroy};

} // namespace

QELPipeModule **qelPKEModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t version,
                                   const std::uint8_t *sessionKey, std::size_t blockLength)
{
    if (slot == nullptr || sessionKey == nullptr || blockLength == 0)
        return nullptr;
    auto *p = qelPipeModuleNew<PKEModule>(context, QELPipeMagic_PKE, "PKE Module", kPKEOps);
    if (p == nullptr)
        return nullptr;
    p->version = version;
    p->sessionKey = static_cast<std::uint8_t *>(qelMemAllocSecure(qelContextGetMemoryMgr(context), blockLength, 0));
    QELPipeModule **joinDownstream =
        p->sessionKey != nullptr ? qelJoinModuleInsert(context, &p->join, qelByteFifoDescriptor()) : nullptr;
    if (joinDownstream == nullptr) {
        pkeDestroy(&p->head);
        return nullptr;
    }
    std::memcpy(p->sessionKey, sessionKey, blockLength);
    p->blockLength = blockLength;
    *joinDownstream = *slot;
    *slot = &p->head;
    return joinDownstream;
}

QELStatus qelPKEModuleAddRecipient(QELPipeModule *module, QELKeyObject *key)
{
    if (module == nullptr || module->magic != QELPipeMagic_PKE)
        return QELError_BadParams;
    PKEModule *p = self(module);
    if (p->sessionKey == nullptr)
        return QELError_BadParams; // data flows already
    std::uint8_t *body = nullptr;
    std::size_t length = 0;
    if (QELStatus s = qelPKESKBodyBuild(module->context, key, p->sessionKey, p->blockLength, &body, &length); s != 0)
        return s;
    QELContext *context = module->context;
    if (p->capacity < length + 3) {
        releaseBlock(p->packet, p->capacity);
        p->capacity = 0;
        p->packet = static_cast<std::uint8_t *>(qelMemAlloc(qelContextGetMemoryMgr(context), length + 3, 0));
        if (p->packet == nullptr) {
            static_cast<void>(qelContextMemFree(context, body));
            return QELError_OutOfMemory;
        }
        p->capacity = length + 3;
    }
    std::memcpy(p->packet + 3, body, length);
    static_cast<void>(qelContextMemFree(context, body)); // a block of this context
    std::uint8_t *start = p->packet;
    std::size_t total = length + 3;
    if (p->version <= 3) {
        p->packet[0] = 0x80 | (QELPacketTag_PublicKeyESK << 2) | 1; // old format, two-octet length
        p->packet[1] = static_cast<std::uint8_t>(length >> 8);
        p->packet[2] = static_cast<std::uint8_t>(length & 0xFF);
    } else if (length > 191) {
        p->packet[0] = 0xC0 | QELPacketTag_PublicKeyESK;
        p->packet[1] = static_cast<std::uint8_t>(192 + ((length - 192) >> 8));
        p->packet[2] = static_cast<std::uint8_t>((length - 192) & 0xFF);
    } else {
        start = p->packet + 1;
        total = length + 2;
        start[0] = 0xC0 | QELPacketTag_PublicKeyESK;
        start[1] = static_cast<std::uint8_t>(length);
    }
    QELStatus status = 0;
    if (qelJoinModuleHold(p->join, start, total, &status) != total)
        return QELError_OutOfMemory;
    return 0;
}

QELStatus qelPKESKBodyBuild(QELContext *context, QELKeyObject *key, const std::uint8_t *sessionKey,
                            std::size_t blockLength, std::uint8_t **outBody, std::size_t *outLength)
{
    if (outBody != nullptr)
        *outBody = nullptr;
    if (outLength != nullptr)
        *outLength = 0;
    if (outBody == nullptr || outLength == nullptr || sessionKey == nullptr || key == nullptr)
        return QELError_BadParams;
    // The key ID and algorithm are those of the part that really encrypts
    // (an encryption subkey under a signing-only key), so that the recipient
    // finds the key that can open the packet.
    QELPublicKeyObject *part = qelKeyObjPublicOps(key, QELKeyRole_Encrypt);
    if (part == nullptr)
        return QELError_KeyUnusableForEncryption;
    std::uint8_t keyID[8];
    std::memcpy(keyID, part->keyID, sizeof keyID);
    const std::uint8_t algorithm = part->algorithm;
    static_cast<void>(part->destroy(part)); // nothing to report on release
    std::uint8_t *encrypted = nullptr;
    std::size_t encryptedLength = 0;
    if (QELStatus s = qelKeyObjEncrypt(key, sessionKey, blockLength, 1, &encrypted, &encryptedLength); s != 0)
        return s;
    auto *body = static_cast<std::uint8_t *>(qelContextMemAlloc(context, encryptedLength + 10, 0));
    if (body != nullptr) {
        body[0] = 3;
        std::memcpy(body + 1, keyID, sizeof keyID);
        body[9] = algorithm;
        std::memcpy(body + 10, encrypted, encryptedLength);
    }
    static_cast<void>(qelContextMemFree(qelKeyObjContext(key), encrypted)); // the encryption's own block
    if (body == nullptr)
        return QELError_OutOfMemory;
    *outBody = body;
    *outLength = encryptedLength + 10;
    return 0;
}
