// The tables through which the foundation reaches the layers above it.
#include "qelLayerSeamsInternal.h"

namespace {

// Empty tables stand until a layer installs its own.
QELSeamSlot<QELCryptoSeams> g_crypto;
QELSeamSlot<QELPubKeySeams> g_pubKey;
QELSeamSlot<QELKeysSeams> g_keys;
QELSeamSlot<QELServiceSeams> g_service;

} // namespace

void qelLayerSeamsInstallCrypto(const QELCryptoSeams *seams) { g_crypto.install(seams); }
void qelLayerSeamsInstallPubKey(const QELPubKeySeams *seams) { g_pubKey.install(seams); }
void qelLayerSeamsInstallKeys(const QELKeysSeams *seams) { g_keys.install(seams); }
void qelLayerSeamsInstallService(const QELServiceSeams *seams) { g_service.install(seams); }

const QELCryptoSeams &qelCryptoSeams() { return g_crypto.get(); }
const QELPubKeySeams &qelPubKeySeams() { return g_pubKey.get(); }
const QELKeysSeams &qelKeysSeams() { return g_keys.get(); }
const QELServiceSeams &qelServiceSeams() { return g_service.get(); }

bool qelServiceConnected()
{
    auto enabled = qelServiceSeams().enabled;
    return enabled != nullptr && enabled() != 0;
}
