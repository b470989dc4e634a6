// What the foundation asks of the public-key layer: the big-number table at
// start-up, every token's state released at clean-up, the DSA self-test.
#include "qelPubKeySeamsInternal.h"

#include "qelBigNumInternal.h"
#include "qelFeaturesInternal.h"
#include "qelLayerSeamsInternal.h"
#include "qelTokenInternal.h"

namespace {

constexpr QELPubKeySeams kSeams{
    .start = qelBigNumInit,
    .stop = qelTokenReleaseAll,
    .dsaSelfTest = qelDSASelfTest,
};

} // namespace

void qelPubKeySeamsInstall() { qelLayerSeamsInstallPubKey(&kSeams); }
