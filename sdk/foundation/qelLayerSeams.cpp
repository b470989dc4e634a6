// The tables through which the foundation reaches the layers above it.
#include "qelLayerSeamsInternal.h"

#include <atomic>

namespace {

// Empty tables stand until a layer installs its own. The pointers are read
// by any thread entering the SDK, so they are atomic.
constexpr QELCryptoSeams kNoCrypto{};
constexpr QELPubKeySeams kNoPubKey{};
constexpr QELKeysSeams kNoKeys{};
constexpr QELServiceSeams kNoService{};

std::atomic<const QELCryptoSeams *> g_crypto{&kNoCrypto};
std::atomic<const QELPubKeySeams *> g_pubKey{&kNoPubKey};
std::atomic<const QELKeysSeams *> g_keys{&kNoKeys};
std::atomic<const QELServiceSeams *> g_service{&kNoService};

template <typename T> void install(std::atomic<const T *> &slot, const T *seams, const T &none)
{
    slot.store(seams != nullptr ? seams : &none, std::memory_order_release);
}

} // namespace

void qelLayerSeamsInstallCrypto(const QELCryptoSeams *seams) { install(g_crypto, seams, kNoCrypto); }
void qelLayerSeamsInstallPubKey(const QELPubKeySeams *seams) { install(g_pubKey, seams, kNoPubKey); }
void qelLayerSeamsInstallKeys(const QELKeysSeams *seams) { install(g_keys, seams, kNoKeys); }
void qelLayerSeamsInstallService(const QELServiceSeams *seams) { install(g_service, seams, kNoService); }

const QELCryptoSeams &qelCryptoSeams() { return *g_crypto.load(std::memory_order_acquire); }
const QELPubKeySeams &qelPubKeySeams() { return *g_pubKey.load(std::memory_order_acquire); }
const QELKeysSeams &qelKeysSeams() { return *g_keys.load(std::memory_order_acquire); }
const QELServiceSeams &qelServiceSeams() { return *g_service.load(std::memory_order_acquire); }
