// The symmetric-key session-key writer. It leaves no module of its own in
// the chain: only a Join whose FIFO holds the packets.
#include "qelSymKeyESKInternal.h"

#include "qelCFBInternal.h"
#include "qelContext.h"
#include "qelHelpers.h"
#include "qelJoinModuleInternal.h"
#include "qelSessionKeyItemInternal.h"
#include "qelStringToKeyInternal.h"
#include "qelSymmetricCipherInternal.h"

#include <cstring>

namespace {

using OwnedCFB = qel::Owned<QELCFBContext, qelCFBFree>;

// Header 0xC3 with a one- or two-octet new-format length; returns its size.
std::size_t writeHeader(std::uint8_t *out, std::size_t bodyLength)
{
    out[0] = 0xC0 | QELPacketTag_SymmetricKeyESK;
    if (bodyLength <= 191) {
        out[1] = static_cast<std::uint8_t>(bodyLength);
        return 2;
    }
    out[1] = static_cast<std::uint8_t>(192 + ((bodyLength - 192) >> 8));
    out[2] = static_cast<std::uint8_t>((bodyLength - 192) & 0xFF);
    return 3;
}

struct SessionKeyCipher {
    const QELCipherDescriptor *sessionCipher = nullptr; // of the block's first octet
    OwnedCFB cfb;                                        // of the packet's cipher
    qel::WipedBuffer<std::uint8_t> key;                  // the packet cipher's key size
};

// Writes every passphrase's packet into the Join's FIFO.
QELStatus writePackets(QELContext *context, QELPipeModule *join, QELStringToKey *defaultS2K,
                       const QELSymKeyPassphrase *passphrases, std::uint8_t algorithm,
                       const std::uint8_t *sessionKey, SessionKeyCipher &sk)
{
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
    qel::WipedBuffer<std::uint8_t> packet;
    const std::size_t sealed = sk.sessionCipher != nullptr ? sk.sessionCipher->keySize + 1 : 0;
    for (const QELSymKeyPassphrase *p = passphrases; p != nullptr; p = p->next) {
        QELStringToKey *s2k = p->s2k != nullptr ? p->s2k : defaultS2K;
        if (s2k == nullptr || s2k->specifier == nullptr)
            return QELError_BadParams;
        const std::size_t body = s2k->specifierLength + 2 + sealed;
        if (body > QELSymKeyESKMaxBody)
            return QELError_BadParams;
        if (packet.size() < body + 3 && !packet.reset(mgr, body + 3))
            return QELError_OutOfMemory;
        std::uint8_t *b = packet.data() + 3;
        b[0] = 4;
        b[1] = algorithm;
        std::memcpy(b + 2, s2k->specifier, s2k->specifierLength);
        if (sealed != 0) {
            const std::size_t keySize = qelCFBGetKeySize(sk.cfb.get());
            QELStatus s = qelSessionKeyDerive(s2k, p->passphrase, p->length, sk.key.data(), keySize);
            if (s == 0)
                s = qelCFBInit(sk.cfb.get(), sk.key.data(), nullptr);
            qelSecureWipe(sk.key.data(), keySize);
            if (s == 0)
                s = qelCFBEncryptInternal(sk.cfb.get(), sessionKey, sealed, b + 2 + s2k->specifierLength);
            qelCFBWipe(sk.cfb.get());
            if (s != 0)
                return s;
        }
        std::uint8_t header[3];
        const std::size_t headerLength = writeHeader(header, body);
        std::uint8_t *start = b - headerLength;
        std::memcpy(start, header, headerLength);
        QELStatus status = 0;
        if (qelJoinModuleHold(join, start, headerLength + body, &status) != headerLength + body)
            return status != 0 ? status : QELError_WriteFailed;
    }
    return 0;
}

} // namespace

QELPipeModule **qelSymKeyESKCreate(QELContext *context, QELPipeModule **slot, std::int32_t version,
                                   const QELFifoDescriptor *fifoKind, QELStringToKey *defaultS2K,
                                   const QELSymKeyPassphrase *passphrases, std::uint8_t algorithm,
                                   const std::uint8_t *sessionKey)
{
    if (slot == nullptr)
        return nullptr;
    QELPipeModule *join = nullptr;
    QELPipeModule **joinDownstream = qelJoinModuleInsert(context, &join, fifoKind);
    if (joinDownstream == nullptr)
        return nullptr;
    QELStatus status = 0;
    if (version > 3) {
        SessionKeyCipher sk;
        const QELCipherDescriptor *packetCipher = qelCipherDescriptorFind(algorithm);
        if (packetCipher == nullptr)
            status = QELError_UnknownCipherAlgorithm;
        if (status == 0 && sessionKey != nullptr) {
            sk.sessionCipher = qelCipherDescriptorFind(sessionKey[0]);
            if (sk.sessionCipher == nullptr)
                status = QELError_UnknownCipherAlgorithm;
            else {
                sk.cfb.reset(qelCFBCreateForDescriptor(qelContextGetMemoryMgr(context), packetCipher));
                if (!sk.cfb || !sk.key.reset(qelContextGetMemoryMgr(context), packetCipher->keySize))
                    status = QELError_OutOfMemory;
            }
        }
        if (status == 0)
            status = writePackets(context, join, defaultS2K, passphrases, algorithm, sessionKey, sk);
    }
    if (status != 0) {
        qelPipeDestroy(join);
        return nullptr;
    }
    *joinDownstream = *slot;
    *slot = join;
    return joinDownstream;
}
