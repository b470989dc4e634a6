// What the foundation asks of the crypto layer: the random contexts a
// context owns, the random seed file over the SDK's life, the cipher
// self-test, and the cipher a stream file may carry. And where the crypto
// layer keeps what it asks of the service.
#include "qelCryptoSeamsInternal.h"

#include "qelCFB.h"
#include "qelCipherKATInternal.h"
#include "qelContextInternal.h"
#include "qelCryptoServiceSeamsInternal.h"
#include "qelLayerSeamsInternal.h"
#include "qelRandomContextInternal.h"
#include "qelRandomPool.h"
#include "qelRandomPoolInternal.h"
#include "qelRandomSeedFileInternal.h"
#include "qelRandomSources.h"
#include "qelRandomSourcesInternal.h"
#include "qelMemoryInternal.h"
#include "qelTimeDateInternal.h"

namespace {

QELRandomContext *newPlainRandom(QELContext *context, const QELRandomDescriptor *descriptor)
{
    auto *random = static_cast<QELRandomContext *>(
        qelContextMemAlloc(context, sizeof(QELRandomContext), QELMemFlag_Clear));
    if (random == nullptr)
        return nullptr;
    random->context = context;
    random->descriptor = descriptor;
    return random;
}

QELRandomContext *newRandom(QELContext *context, QELRandomKind kind)
{
    switch (kind) {
    case QELRandomKind::Crypto:
        return qelRandomContextCreateDefault(context);
    case QELRandomKind::Pool: {
        QELRandomContext *random = newPlainRandom(context, qelRandomPoolGlobalDescriptor());
        if (random != nullptr)
            for (int i = 0; i < 4; ++i)
                qelRandomAddTimingSample(random);
        return random;
    }
    case QELRandomKind::Dummy:
        return newPlainRandom(context, qelRandomPoolDummyDescriptor());
    }
    return nullptr;
}

void releaseRandom(QELRandomContext *random)
{
    if (random->destroy != nullptr)
        random->destroy(random);
    else
        static_cast<void>(qelContextMemFree(random->context, random));
}

QELStatus contextFreed()
{
    qelRandomPoolAddKeystroke(static_cast<std::int32_t>(qelTimeDateNow()));
    return qelRandomSeedFileSave();
}

QELStatus start()
{
    QELStatus status = qelRandomSeedFileOpenDefault();
    if (status != QELError_NoErr)
        qelRandomSeedFileClose();
    return status;
}

constexpr QELCryptoSeams kSeams{
    .newRandom = newRandom,
    .releaseRandom = releaseRandom,
    .randomReady = [] { return qelRandomPoolHasMinimumEntropy(); },
    .randomFill = qelRandomGetBytes,
    .randomReserve = qelRandomFrontEndReserve,
    .contextFreed = contextFreed,
    .start = start,
    .stop = qelRandomSeedFileClose,
    .cipherSelfTest = qelCipherSelfTest,
    .cfbCopy = qelCFBCopy,
    .cfbFree = qelCFBFree,
};

} // namespace

void qelCryptoSeamsInstall() { qelLayerSeamsInstallCrypto(&kSeams); }

namespace {
QELSeamSlot<QELCryptoServiceSeams> g_service;
} // namespace

void qelCryptoServiceSeamsInstall(const QELCryptoServiceSeams *seams) { g_service.install(seams); }
const QELCryptoServiceSeams &qelCryptoService() { return g_service.get(); }
