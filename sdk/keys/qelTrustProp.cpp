// Trust and validity: the trust scale, the validity window and the
// combination of certification paths.
#include "qelTrustPropInternal.h"

#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeySetInternal.h"
#include "qelSeams.h"
#include "qelSettingsInternal.h"
#include "qelTestHooks.h"
#include "qelTrustProp.h"

#include <atomic>

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

namespace {

// F = 7680 / ln 1000 and its inverse: trust byte 120 is a probability of
// 0.999. Beyond the cap on 1/(1-c) the value would leave 16 bits.
constexpr double kScale = 1111.7938736723245;
constexpr double kInverseScale = 0.0008994473019507992;
constexpr double kRatioCap = 3.973916614682823e25;

constexpr std::uint32_t kDaySeconds = 86400;

std::int32_t setting(const QELSettings *settings, std::int32_t id)
{
    return qelSettingsGetInt(settings, id, nullptr, nullptr);
}

std::uint8_t introducerValue(const QELSettings *settings, std::int32_t countId)
{
    const std::int32_t n = setting(settings, countId);
    if (n <= 0)
        return 0;
    const std::int32_t t = std::clamp(setting(settings, QELSetting_TrustThreshold), 0, 255);
    return static_cast<std::uint8_t>((n + t - 1) / n);
}

std::atomic<QELClockProc> g_clock{nullptr};

} // namespace

#ifdef QEL_TEST_HOOKS
void qelTrustSetClockForTesting(QELClockProc now)
{
    g_clock.store(now);
}
#endif

QELTime qelTrustNow()
{
    if (QELClockProc clock = g_clock.load())
        return clock();
    return qelTimeDateNow();
}

std::uint16_t qelTrustValueFromRatio(double x)
{
    if (x >= kRatioCap)
        return QELTrustValue_Max;
    if (!(x >= 1.0)) // also NaN: no confidence at all
        return 0;
    return static_cast<std::uint16_t>(kScale * std::log(x) + 0.5);
}

double qelTrustValueToRatio(std::uint16_t value)
{
    return std::exp(value * kInverseScale);
}

std::uint8_t qelTrustValueToByte(std::uint16_t value)
{
    if (value == QELTrustValue_Certain)
        return QELTrustByte_Certain;
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(value / 64u, QELTrustByte_Max));
}

std::uint16_t qelTrustByteToValue(std::uint8_t byte)
{
    if (byte == QELTrustByte_Certain)
        return QELTrustValue_Certain;
    if (byte > QELTrustByte_Max)
        return 0;
    return static_cast<std::uint16_t>(byte * 64u);
}

std::uint8_t qelTrustCompleteValue(const QELSettings *settings)
{
    return introducerValue(settings, QELSetting_CompletesNeeded);
}

std::uint8_t qelTrustMarginalValue(const QELSettings *settings)
{
    return introducerValue(settings, QELSetting_MarginalsNeeded);
}

std::uint8_t qelTrustLevelToValue(const QELSettings *settings, std::uint32_t level)
{
    switch (level) {
    case 1:
    case 2:
    case 3:
    case 4:
        return 0;
    case 5:
        return qelTrustMarginalValue(settings);
    case 6:
        return qelTrustCompleteValue(settings);
    case 7:
        return QELTrustByte_Certain;
    default:
        return QELTrustByte_Undefined;
    }
}

std::uint32_t qelTrustByteToLevel(const QELSettings *settings, std::uint8_t byte)
{
    if (byte == QELTrustByte_Certain)
        return 7;
    if (byte == QELTrustByte_Undefined)
        return 1;
    const std::uint32_t m = qelTrustMarginalValue(settings);
    const std::uint32_t c = qelTrustCompleteValue(settings);
    if (byte >= (m + 2 * c) / 3)
        return 6;
    if (byte < (2 * m) / 3)
        return 2;
    return 5;
}

std::uint8_t qelTrustLevelToNameTrust(std::uint32_t level)
{
    static constexpr std::uint8_t kNameTrust[8] = {0, 0, 1, 0, 0, 2, 3, 3};
    return level < 8 ? kNameTrust[level] : 0;
}

double qelTrustByteToProbability(std::uint8_t byte)
{
    return 1.0 - 1.0 / qelTrustValueToRatio(qelTrustByteToValue(byte));
}

std::uint16_t qelTrustValueFromProbability(double p)
{
    if (p >= 1.0)
        return QELTrustValue_Certain;
    return qelTrustValueFromRatio(1.0 / (1.0 - p));
}

double qelTrustOwnerProbability(const std::uint8_t *userIDBytes, std::size_t count,
                                std::uint8_t trustSigTrust)
{
    double m = 1.0;
    bool any = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (userIDBytes[i] == QELTrustByte_Undefined)
            continue;
        any = true;
        m = std::min(m, qelTrustByteToProbability(userIDBytes[i]));
    }
    if (!any)
        m = 0.0;
    const double floor = trustSigTrust != 0 ? qelTrustByteToProbability(trustSigTrust) : 0.0;
    return std::max(m, floor);
}

bool qelTrustWindowIsCurrent(QELTime creation, std::uint32_t expiration, QELTime now)
{
    if (creation > now)
        return std::uint64_t{creation} < std::uint64_t{now} + kDaySeconds;
    // Unsigned on purpose: expiration 0 turns into "never".
    return static_cast<std::uint32_t>(now - creation) <= static_cast<std::uint32_t>(expiration - 1u);
}

bool qelTrustKeyIsExpired(QELTime creation, std::uint16_t days, QELTime now)
{
    return creation < now && days != 0 && (now - creation) / kDaySeconds >= days;
}

QELTrustPath *qelTrustTakeStrongest(QELTrustPath **list, std::size_t keep)
{
    QELTrustPath *kept = nullptr;
    QELTrustPath **keptTail = &kept;
    for (std::size_t n = 0; n < keep && list != nullptr && *list != nullptr; ++n) {
        QELTrustPath **best = list;
        for (QELTrustPath **p = &(*list)->next; *p != nullptr; p = &(*p)->next)
            if ((*p)->product > (*best)->product)
                best = p;
        QELTrustPath *chosen = *best;
        *best = chosen->next;
        chosen->next = nullptr;
        *keptTail = chosen;
        keptTail = &chosen->next;
    }
    return kept;
}

double qelTrustCombinePaths(const QELTrustPath *paths)
{
    // Distinct elements get an index; each path a bit mask over them.
    struct Distinct {
        const QELKeyObject *signer;
        const QELKeyObject *certified;
        double probability;
    };
    std::vector<Distinct> elements;
    std::vector<std::vector<std::size_t>> pathElements;
    for (const QELTrustPath *path = paths; path != nullptr; path = path->next) {
        if (pathElements.size() == QELTrustMaxPaths)
            return 0.0;
        std::vector<std::size_t> &indices = pathElements.emplace_back();
        for (const QELTrustPathElement *e = path->first; e != nullptr; e = e->next) {
            auto same = [e](const Distinct &d) { return d.signer == e->signer && d.certified == e->certified; };
            auto it = std::find_if(elements.begin(), elements.end(), same);
            if (it == elements.end()) {
                elements.push_back({e->signer, e->certified, e->probability});
                it = elements.end() - 1;
            }
            indices.push_back(static_cast<std::size_t>(it - elements.begin()));
        }
    }
    const std::size_t n = pathElements.size();
    if (n == 0)
        return 0.0;
    const std::size_t words = (elements.size() + 63) / 64 + 1;
    std::vector<std::uint64_t> masks(n * words, 0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t index : pathElements[i])
            masks[i * words + index / 64] |= std::uint64_t{1} << (index % 64);

    // union(s) = union(s without its lowest path) | mask(lowest path).
    const std::size_t subsets = std::size_t{1} << n;
    std::vector<std::uint64_t> unions(subsets * words, 0);
    double total = 0.0;
    for (std::size_t s = 1; s < subsets; ++s) {
        const std::size_t low = static_cast<std::size_t>(std::countr_zero(s));
        const std::size_t rest = s & (s - 1);
        double product = 1.0;
        for (std::size_t w = 0; w < words; ++w) {
            std::uint64_t bits = unions[rest * words + w] | masks[low * words + w];
            unions[s * words + w] = bits;
            for (; bits != 0; bits &= bits - 1)
                product *= elements[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))].probability;
        }
        total += (std::popcount(s) % 2 == 1) ? product : -product;
    }
    return total;
}

// ---- the public entry ---------------------------------------------------------

QELStatus qelKeySetPropagateTrust(QELKeySet *set, QELKeyDB *second)
{
    if (!qelKeySetIsValid(set) || (second != nullptr && !qelKeyDBIsValid(second)))
        return QELError_BadParams;
    QEL_ENTER();
    if (second == qelKeySetKeyDB(set))
        second = nullptr;
    if (qelKeyDBIsRemote(qelKeySetKeyDB(set)))
        return QELError_FeatureNotAvailable; // no service client in this build
    return qelTrustPropagateLocal(set, qelTrustNow(), nullptr);
}
