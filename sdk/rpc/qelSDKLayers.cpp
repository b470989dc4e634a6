// SDK start-up with every layer in place: the layers above the foundation
// install the tables through which the foundation reaches them (the service
// client's own among them), the PKI toolkit fills the jobs' certificate
// paths, the service's dispatchers fill the tables through which the crypto
// and key layers reach the service, then the foundation starts the SDK.
#include "qelSDK.h"

#include "qelCryptoSeamsInternal.h"
#include "qelKeysSeamsInternal.h"
#include "qelLayerSeamsInternal.h"
#include "qelPKIJobSeamsInternal.h"
#include "qelPubKeySeamsInternal.h"
#include "qelRPCClientInternal.h"
#include "qelRPCDispatchInternal.h"
#include "qelRandomDispatchInternal.h"
#include "qelSDKInternal.h"
#include "qelX509KeysSeamsInternal.h"

namespace {

constexpr QELServiceSeams kSeams{
    .enabled = qelRPCEnabled,
    .connect = qelRPCConnect,
    .clientExit = qelRPCClientExit,
    .selfTestNone = qelSelfTestNone,
};

} // namespace

QELStatus qelSDKInit(std::uint32_t flags)
{
    qelCryptoSeamsInstall();
    qelPubKeySeamsInstall();
    qelKeysSeamsInstall();
    qelX509KeysSeamsInstall();
    qelPKIJobSeamsInstall();
    qelLayerSeamsInstallService(&kSeams);
    qelRandomDispatchInstall();
    qelKeyDispatchInstall();
    return qelSDKStart(flags);
}
