// Trust and validity: the trust scale, the validity window and the
// combination of certification paths.
#include "qelTrustPropInternal.h"

#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelRegexInternal.h"
#include "qelSeams.h"
#include "qelKeySetInternal.h"
#include "qelSettingsInternal.h"
#include "qelTestHooks.h"
#include "qelTrustProp.h"

#include <atomic>

#include <algorithm>
#include <bit>
#include <cmath>
#include <ctime>
#include <new>
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
thread_local QELTrustSearchFigures g_lastSearch{};

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
    // Not the guarded SDK time: while the guard refuses it answers 0, every
    // signature would look a lifetime ahead, and a commit or a closing
    // database would write validity 0 for every user ID into its rings.
    const std::time_t t = std::time(nullptr);
    return t <= 0 ? 0 : t >= std::time_t{UINT32_MAX} ? UINT32_MAX : static_cast<QELTime>(t);
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

namespace {

// The owner trust from the owner-trust bytes a visitor hands over: the
// smallest probability among the defined bytes (0 when none is), raised to
// that of the trust-signature trust.
template <class Visit>
double ownerProbability(Visit visitBytes, std::uint8_t trustSigTrust)
{
    double m = 1.0;
    bool any = false;
    visitBytes([&](std::uint8_t byte) {
        if (byte == QELTrustByte_Undefined)
            return;
        any = true;
        m = std::min(m, qelTrustByteToProbability(byte));
    });
    if (!any)
        m = 0.0;
    const double floor = trustSigTrust != 0 ? qelTrustByteToProbability(trustSigTrust) : 0.0;
    return std::max(m, floor);
}

} // namespace

double qelTrustOwnerProbability(const std::uint8_t *userIDBytes, std::size_t count,
                                std::uint8_t trustSigTrust)
{
    return ownerProbability(
        [&](auto &&take) {
            for (std::size_t i = 0; i < count; ++i)
                take(userIDBytes[i]);
        },
        trustSigTrust);
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

namespace {

double combinePaths(const QELTrustPath *paths)
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
    // A certain path makes the whole certain. The sum below says the same
    // in exact arithmetic, but its rounding would leave a direct
    // certification by an axiomatic key just short of certainty.
    for (const QELTrustPath *path = paths; path != nullptr; path = path->next)
        if (path->product >= 1.0)
            return 1.0;
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

} // namespace

double qelTrustCombinePaths(const QELTrustPath *paths)
{
    try {
        return combinePaths(paths);
    } catch (const std::bad_alloc &) {
        return 0.0; // no room to combine: the user ID gains nothing rather than too much
    }
}


// ---- walking the key tree ---------------------------------------------------

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;

constexpr u8 kTrustAxiomatic = QELKeyTrust_Axiomatic;
constexpr u8 kTrustExpired = QELKeyTrust_Expired;
constexpr u8 kTrustRevoked = QELKeyTrust_Revoked;
constexpr u8 kTrustLevelMask = QELKeyTrust_LevelMask;
// The trust byte without its axiomatic mark and level.
constexpr u8 kTrustStateBits = u8(~(kTrustAxiomatic | kTrustLevelMask));
constexpr u8 kLevelRetired = 2; // revoked, expired, or axiomatic without a secret part

bool isLiveOfType(QELKeyObject *o, int type)
{
    return qelKeyObjIsLive(o) && qelKeyObjType(o) == type;
}

// Calls f for every live child of the given type, in child order.
template <class F>
void forLiveChildren(QELKeyObject *parent, int type, F f)
{
    for (QELKeyObject *c = parent->firstChild; c != nullptr; c = c->next)
        if (isLiveOfType(c, type))
            f(c);
}

QELKeyObject *firstLiveChild(QELKeyObject *parent, int type)
{
    for (QELKeyObject *c = parent->firstChild; c != nullptr; c = c->next)
        if (isLiveOfType(c, type))
            return c;
    return nullptr;
}

bool isTopLevelKey(QELKeyObject *k)
{
    return isLiveOfType(k, QELObjectType_Key) && !qelKeyObjIsX509NameEntry(k);
}

bool isCertificationType(u8 type) { return (type & 0xF0) == 0x10; }

// A live key object of this or another database that can stand for a signer
// (a placeholder cannot).
bool isLiveKey(QELKeyObject *k)
{
    return k != nullptr && isTopLevelKey(k);
}

// What a propagation records about the objects it changed.
struct ChangeLog {
    bool *changed;
    QELKeySet *set;
    QELStatus *failure = nullptr; // the first key the set could not take
    QELKeyObject *lastAdded = nullptr;

    void note(QELKeyObject *key)
    {
        *changed = true;
        if (set == nullptr || key == lastAdded)
            return;
        lastAdded = key;
        // The set tells the caller what to refetch: a key missing from it is
        // a failure of the propagation, reported once it has finished.
        const QELStatus s = qelKeySetAddObject(key, set);
        if (s != QELError_NoErr && failure != nullptr && *failure == QELError_NoErr)
            *failure = s;
    }
};

template <class T>
void store(T &field, T value, QELKeyObject *key, ChangeLog &log)
{
    if (field != value) {
        field = value;
        log.note(key);
    }
}

} // namespace

// ---- signature predicates ---------------------------------------------------

bool qelTrustRegexAllows(QELKeyObject *sig, QELKeyObject *key)
{
    if (!qelKeyObjIsLive(key) || qelKeyObjType(key) != QELObjectType_Key)
        return true;
    auto *regex = static_cast<QELRegex *>(qelKeyObjKeyInfo(key)->regex);
    if (regex == nullptr)
        return true;
    auto *userID = static_cast<QELKeyObject *>(qelKeyObjParent(sig));
    if (!qelKeyObjIsUserID(userID))
        return false;
    std::size_t length = 0;
    const std::uint8_t *text = qelUserIDText(userID, &length);
    if (text == nullptr)
        return false;
    // Matched on a terminated copy: a user ID holding a zero byte never
    // matches, so the text after it cannot slip past the expression.
    return qelRegexMatchBytes(regex, text, length) == 1;
}

bool qelTrustSigRegexAllows(QELKeyObject *sig)
{
    return qelTrustRegexAllows(sig, qelSigSigner(sig));
}

bool qelTrustSigIsCurrent(QELKeyObject *sig, QELTime now)
{
    const QELSigInfo *si = qelKeyObjSigInfo(sig);
    if (!qelSigIsValid(sig) || qelSigIsRevokedByCRL(sig))
        return false;
    return qelTrustSigRegexAllows(sig) && qelTrustWindowIsCurrent(si->creation, si->expiration, now);
}

bool qelTrustSigIsCurrentCert(QELKeyObject *sig, QELTime now)
{
    return isLiveOfType(sig, QELObjectType_Signature) && isCertificationType(qelSigType(sig)) &&
           qelTrustSigIsCurrent(sig, now);
}

QELKeyObject *qelTrustNextSignerRun(QELKeyObject **cursor)
{
    QELKeyObject *first = *cursor;
    if (first == nullptr)
        return nullptr;
    QELKeyObject *chosen = first;
    void *object = qelKeyObjParent(first);
    QELKeyObject *c = qelKeyObjSigInfo(first)->nextBySigner;
    for (; c != nullptr && qelKeyObjParent(c) == object; c = qelKeyObjSigInfo(c)->nextBySigner) {
        if (!qelKeyObjIsLive(c))
            continue;
        const QELSigInfo *ci = qelKeyObjSigInfo(c);
        if (qelSigIsValid(c) && ci->creation > qelKeyObjSigInfo(chosen)->creation)
            chosen = c;
    }
    *cursor = c;
    return chosen;
}

// ---- refresh ---------------------------------------------------------------------

namespace {

// Revoked when a current direct signature revokes the key, or when the
// newest valid one the key made itself is a key revocation.
bool keyIsRevoked(QELKeyObject *key, QELKeySet *set, QELTime now)
{
    QELKeyObject *newestOwn = nullptr;
    for (QELKeyObject *s = key->firstChild; s != nullptr; s = s->next) {
        if (!isLiveOfType(s, QELObjectType_Signature) || !qelKeySetHas(s, set))
            continue;
        const QELSigInfo *si = qelKeyObjSigInfo(s);
        if (!qelTrustWindowIsCurrent(si->creation, si->expiration, now))
            continue;
        if (qelSigIsEffectiveRevocation(s))
            return true;
        if (si->signer == key && qelSigIsValid(s) &&
            (newestOwn == nullptr || si->creation > qelKeyObjSigInfo(newestOwn)->creation))
            newestOwn = s;
    }
    return newestOwn != nullptr && qelKeyObjSigInfo(newestOwn)->type == 0x20;
}

bool subKeyIsRevoked(QELKeyObject *subKey, QELKeySet *set, QELTime now)
{
    for (QELKeyObject *s = subKey->firstChild; s != nullptr; s = s->next) {
        if (!isLiveOfType(s, QELObjectType_Signature) || !qelKeySetHas(s, set))
            continue;
        const QELSigInfo *si = qelKeyObjSigInfo(s);
        if (qelTrustWindowIsCurrent(si->creation, si->expiration, now) && qelSigIsEffectiveRevocation(s))
            return true;
    }
    return false;
}

bool canStartPaths(QELKeyObject *key)
{
    const u8 trust = qelKeyObjKeyInfo(key)->trust;
    return (trust & kTrustAxiomatic) && !(trust & (kTrustExpired | kTrustRevoked)) && qelKeyObjIsSecret(key);
}

void setConfidence(QELKeyObject *key, QELKeySet *set, std::uint16_t confidence)
{
    forLiveChildren(key, QELObjectType_UserID, [&](QELKeyObject *u) {
        if (qelKeySetHas(u, set))
            qelKeyObjUserIDInfo(u)->confidence = confidence;
    });
}

void refreshKey(QELKeyObject *key, QELKeySet *set, QELTime now, bool reset, ChangeLog &log,
                QELKeyObject *&chain)
{
    QELKeyInfo *ki = qelKeyObjKeyInfo(key);
    ki->infoFlags &= ~QELKeyInfo_OnPath;
    // The restriction came with the trust-signature trust and goes with it:
    // kept alone it would narrow the key's word by a signature that no
    // longer counts.
    ki->trustSigTrust = 0;
    ki->regex = nullptr;
    if (reset)
        setConfidence(key, set, 0);

    u8 trust = ki->trust;
    if (keyIsRevoked(key, set, now))
        trust = u8((trust & kTrustStateBits) | kTrustRevoked | kLevelRetired);
    else
        trust = u8(trust & ~kTrustRevoked);
    if (qelKeyObjHasExpired(key, now))
        trust = u8((trust & kTrustStateBits) | kTrustExpired | kLevelRetired);
    else
        trust = u8(trust & ~kTrustExpired);
    store(ki->trust, trust, key, log);

    forLiveChildren(key, QELObjectType_SubKey, [&](QELKeyObject *sub) {
        if (!qelKeySetHas(sub, set))
            return;
        QELKeyInfo *si = qelKeyObjKeyInfo(sub);
        u8 t = u8(si->trust & ~(kTrustExpired | kTrustRevoked));
        if (subKeyIsRevoked(sub, set, now))
            t |= kTrustRevoked;
        if (qelKeyObjHasExpired(sub, now))
            t |= kTrustExpired;
        store(si->trust, t, key, log);
    });

    if (!(ki->trust & kTrustAxiomatic))
        return;
    if (canStartPaths(key)) {
        ki->trustWork = chain;
        chain = key;
        setConfidence(key, set, QELTrustValue_Certain);
    } else if (!(ki->trust & (kTrustExpired | kTrustRevoked))) {
        store(ki->trust, u8((ki->trust & kTrustStateBits) | kLevelRetired), key, log);
    }
}

} // namespace

QELKeyObject *qelTrustRefreshValidity(QELKeyDB *db, QELKeySet *set, QELKeyDB *second, QELTime now,
                                      bool resetConfidence, bool *outChanged, QELKeySet *changedSet,
                                      QELStatus *outFailure)
{
    bool ignored = false;
    ChangeLog log{outChanged != nullptr ? outChanged : &ignored, changedSet, outFailure};
    QELKeyObject *chain = nullptr;
    for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next) {
        if (!isTopLevelKey(k))
            continue;
        if (qelKeySetHas(k, set) || qelKeyObjIsAxiomatic(k))
            refreshKey(k, set, now, resetConfidence, log, chain);
    }
    if (second != nullptr)
        for (QELKeyObject *k = second->firstKey; k != nullptr; k = k->next)
            if (isTopLevelKey(k) && canStartPaths(k)) {
                qelKeyObjKeyInfo(k)->trustWork = chain;
                chain = k;
            }
    return chain;
}

// ---- trust signatures -------------------------------------------------------

namespace {

// Every signature the key made whose trust counts at `now`: per signed
// object, the newest (qelTrustNextSignerRun).
template <class F>
void forCurrentTrustSigs(QELKeyObject *key, QELTime now, F f)
{
    QELKeyObject *cursor = qelKeyObjKeyInfo(key)->firstSig;
    while (cursor != nullptr) {
        QELKeyObject *r = qelTrustNextSignerRun(&cursor);
        if (qelKeyObjSigInfo(r)->trustDepth != 0 && qelTrustSigIsCurrentCert(r, now))
            f(r);
    }
}

} // namespace

namespace {

std::atomic<std::uint64_t> g_trustSigBudget{QELTrustSigBudget};

// One application, charged to the pass's budget: a web of trust signatures
// is walked once per run at every depth, so a clique of them costs its size
// to the power of the depth. A pass that has spent its budget hands nothing
// further down (trust can only come out lower).
void applyTrustSig(QELKeyObject *sig, u8 amount, u32 depth, u8 completeValue, QELTime now, std::uint64_t &budget)
{
    if (budget == 0)
        return;
    --budget;
    QELSigInfo *si = qelKeyObjSigInfo(sig);
    if (!qelSigIsExportable(sig)) {
        QELKeyObject *signer = si->signer;
        if (!isLiveKey(signer) || !(qelKeyObjIsAxiomatic(signer) || qelKeyObjIsSecret(signer)))
            return;
    }
    if (amount < completeValue && si->trustDepth >= 2)
        return;
    if (!qelTrustSigRegexAllows(sig))
        return;
    QELKeyObject *key = qelKeyObjTopKey(sig);
    if (key == nullptr)
        return;
    QELKeyInfo *ki = qelKeyObjKeyInfo(key);
    const u8 granted = si->trustAmount;
    if (qelSigHasRegExp(sig)) {
        if ((ki->trustSigTrust == 0 || ki->regex != nullptr) && granted > ki->trustSigTrust) {
            QELRegex *regex = qelSigRegex(sig);
            if (regex == nullptr)
                return; // an expression that does not compile: the signature counts for nothing
            ki->trustSigTrust = granted;
            ki->regex = regex;
        }
    } else if (ki->regex != nullptr) {
        ki->regex = nullptr;
        ki->trustSigTrust = granted;
    } else if (granted > ki->trustSigTrust) {
        ki->trustSigTrust = granted;
    }
    if (depth > 1 && si->trustDepth > 1) {
        const u32 next = std::min<u32>(si->trustDepth, depth) - 1;
        forCurrentTrustSigs(key, now,
                            [&](QELKeyObject *r) { applyTrustSig(r, granted, next, completeValue, now, budget); });
    }
}

} // namespace

void qelTrustApplyTrustSig(QELKeyObject *sig, std::uint8_t amount, std::uint32_t depth,
                           std::uint8_t completeValue, QELTime now)
{
    std::uint64_t budget = g_trustSigBudget.load();
    applyTrustSig(sig, amount, depth, completeValue, now, budget);
}

#ifdef QEL_TEST_HOOKS
void qelTrustSetTrustSigBudgetForTesting(std::uint64_t applications)
{
    g_trustSigBudget.store(applications != 0 ? applications : QELTrustSigBudget);
}
#endif

namespace {

void applyTrustSigPass(QELKeyObject *chain, u32 certDepth, u8 completeValue, QELTime now)
{
    std::uint64_t budget = g_trustSigBudget.load();
    for (QELKeyObject *k = chain; k != nullptr; k = qelKeyObjKeyInfo(k)->trustWork)
        forCurrentTrustSigs(k, now, [&](QELKeyObject *r) {
            applyTrustSig(r, QELTrustByte_Certain, certDepth, completeValue, now, budget);
        });
}

u32 certDepth(const QELSettings *settings)
{
    return static_cast<u32>(std::max(setting(settings, QELSetting_CertDepth), 0));
}

} // namespace

QELStatus qelKeyDBApplyTrustSigs(QELKeyDB *db)
{
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    const QELTime now = qelTrustNow();
    const QELSettings *settings = qelContextGetSettings(db->context);
    QELKeyObject *chain = qelTrustRefreshValidity(db, db->rootSet, nullptr, now, false, nullptr, nullptr);
    qelKeyDBRebuildSignerChains(db);
    applyTrustSigPass(chain, certDepth(settings), qelTrustCompleteValue(settings), now);
    return QELError_NoErr;
}

// ---- owner trust of a key -------------------------------------------------------

double qelKeyTrustProbability(QELKeyObject *key)
{
    return ownerProbability(
        [key](auto &&take) {
            forLiveChildren(key, QELObjectType_UserID,
                            [&](QELKeyObject *u) { take(qelKeyObjUserIDInfo(u)->ownerTrust); });
        },
        qelKeyObjKeyInfo(key)->trustSigTrust);
}

std::uint16_t qelKeyTrustValue(QELKeyObject *key)
{
    return qelTrustValueFromProbability(qelKeyTrustProbability(key));
}

// ---- path search ---------------------------------------------------------------

namespace {

// Path records come from the database's trust pool and go back to its two
// free lists: [0] paths, [1] elements.
QELTrustPath *&freePaths(QELKeyDB *db) { return reinterpret_cast<QELTrustPath *&>(db->trustFree[0]); }
QELTrustPathElement *&freeElements(QELKeyDB *db)
{
    return reinterpret_cast<QELTrustPathElement *&>(db->trustFree[1]);
}

std::atomic<std::uint64_t> g_searchBudget{QELTrustSearchBudget};

// Takes work from the user ID's budget; false (and the search ends as after
// an allocation failure, keeping what it found) when it is spent.
bool spend(QELTrustSearch &search, std::uint64_t units)
{
    if (search.budget < units) {
        search.budget = 0;
        search.exhausted = true;
        return false;
    }
    search.budget -= units;
    return true;
}

template <class T>
T *takeRecord(QELKeyDB *db, T *&freeList, QELTrustSearch &search)
{
    T *record = freeList;
    if (record != nullptr) {
        freeList = record->next;
    } else {
        record = static_cast<T *>(qelMemPoolAlloc(&db->trustPool, sizeof(T), alignof(T)));
        if (record == nullptr)
            return nullptr;
        ++search.recordsAllocated;
    }
    *record = T{};
    return record;
}

void returnElement(QELKeyDB *db, QELTrustPathElement *e)
{
    e->next = freeElements(db);
    freeElements(db) = e;
}

void returnPath(QELKeyDB *db, QELTrustPath *path)
{
    for (QELTrustPathElement *e = path->first; e != nullptr;) {
        QELTrustPathElement *next = e->next;
        returnElement(db, e);
        e = next;
    }
    path->first = nullptr;
    path->next = freePaths(db);
    freePaths(db) = path;
}

void returnPaths(QELKeyDB *db, QELTrustPath *list)
{
    while (list != nullptr) {
        QELTrustPath *next = list->next;
        returnPath(db, list);
        list = next;
    }
}

// Keeps the strongest QELTrustMaxPaths of the list gathered so far. A path
// outside them can never come back among the strongest of the whole search
// (later paths only push it further down, and ties go to the earlier), so
// this bounds the records one user ID holds without changing the result.
QELTrustPath *pruneToStrongest(QELTrustSearch &search)
{
    QELTrustPath *kept = qelTrustTakeStrongest(&search.head.next, QELTrustMaxPaths);
    returnPaths(search.db, search.head.next);
    search.head.next = kept;
    search.held = 0;
    QELTrustPath *tail = &search.head;
    for (; tail->next != nullptr; tail = tail->next)
        ++search.held;
    return tail;
}

// A complete path: a copy of the current chain after the tail.
QELTrustPath *addPath(QELTrustSearch &search, QELTrustPath *tail)
{
    QELKeyDB *db = search.db;
    QELTrustPath *path = takeRecord(db, freePaths(db), search);
    if (path == nullptr)
        return nullptr;
    path->product = 1.0;
    QELTrustPathElement **slot = &path->first;
    for (const QELTrustPathElement *e = search.chain; e != nullptr; e = e->next) {
        QELTrustPathElement *copy = takeRecord(db, freeElements(db), search);
        if (copy == nullptr) {
            returnPath(db, path);
            return nullptr;
        }
        copy->signer = e->signer;
        copy->certified = e->certified;
        copy->probability = e->probability;
        path->product *= e->probability;
        *slot = copy;
        slot = &copy->next;
    }
    path->next = tail->next;
    tail->next = path;
    ++search.found;
    if (++search.held >= QELTrustPruneAt)
        return pruneToStrongest(search);
    return path;
}

bool sigIsCountable(QELKeyObject *sig, QELTime now)
{
    const QELSigInfo *si = qelKeyObjSigInfo(sig);
    return qelSigIsValid(sig) && !qelSigIsRevoked(sig) &&
           qelTrustWindowIsCurrent(si->creation, si->expiration, now);
}

bool isIntroducer(QELKeyObject *g)
{
    const QELKeyInfo *gi = qelKeyObjKeyInfo(g);
    if ((gi->trust & kTrustAxiomatic) || gi->trustSigTrust != 0)
        return true;
    for (QELKeyObject *v = g->firstChild; v != nullptr; v = v->next)
        if (isLiveOfType(v, QELObjectType_UserID)) {
            const u8 ownerTrust = qelKeyObjUserIDInfo(v)->ownerTrust;
            if (ownerTrust != 0 && ownerTrust != QELTrustByte_Undefined)
                return true;
        }
    return false;
}

// S is the newest valid signature its signer has on the user ID (the
// earlier in the list on equal creation times).
bool isNewestBySigner(QELKeyObject *sig, QELKeyObject *userID)
{
    const QELSigInfo *si = qelKeyObjSigInfo(sig);
    bool before = true;
    for (QELKeyObject *c = userID->firstChild; c != nullptr; c = c->next) {
        if (c == sig) {
            before = false;
            continue;
        }
        if (!isLiveOfType(c, QELObjectType_Signature))
            continue;
        const QELSigInfo *ci = qelKeyObjSigInfo(c);
        if (ci->signer != si->signer || !qelSigIsValid(c))
            continue;
        if (ci->creation > si->creation || (ci->creation == si->creation && before))
            return false;
    }
    return true;
}

// The signer already certified a user ID listed before this one: each link
// from an introducer to a key counts once.
bool signerCountedEarlier(QELKeyObject *sig, QELKeyObject *userID, QELKeyObject *g, QELTime now)
{
    QELKeyObject *signer = qelKeyObjSigInfo(sig)->signer;
    auto *key = static_cast<QELKeyObject *>(qelKeyObjParent(userID));
    for (QELKeyObject *v = key->firstChild; v != nullptr && v != userID; v = v->next) {
        if (!isLiveOfType(v, QELObjectType_UserID))
            continue;
        for (QELKeyObject *c = v->firstChild; c != nullptr; c = c->next)
            if (isLiveOfType(c, QELObjectType_Signature) && qelKeyObjSigInfo(c)->signer == signer &&
                sigIsCountable(c, now) && qelTrustRegexAllows(c, g))
                return true;
    }
    return false;
}

bool signerExcluded(QELKeyObject *sig, QELKeyObject *excluded)
{
    if (excluded == nullptr)
        return false;
    QELKeyObject *signer = qelKeyObjSigInfo(sig)->signer;
    for (QELKeyObject *c = excluded->firstChild; c != nullptr; c = c->next)
        if (isLiveOfType(c, QELObjectType_Signature) && qelKeyObjSigInfo(c)->signer == signer)
            return true;
    return false;
}

QELKeyObject *sameNameUserID(QELKeyObject *g, QELKeyObject *userID)
{
    std::size_t length = 0;
    const std::uint8_t *packet = qelKeyObjRawPacket(userID, &length);
    if (packet == nullptr)
        return nullptr;
    for (QELKeyObject *v = g->firstChild; v != nullptr; v = v->next)
        if (isLiveOfType(v, QELObjectType_UserID) && qelKeyObjSamePacket(v, packet, length))
            return v;
    return nullptr;
}

// Steps through one introducer candidate G of signature S on user ID U.
// Returns the new tail, or null after an allocation failure.
QELTrustPath *followIntroducer(QELTrustSearch &search, QELKeyObject *g, QELKeyObject *userID,
                               QELTrustPath *tail, QELTrustPathElement **slot, u32 depth)
{
    QELKeyInfo *gi = qelKeyObjKeyInfo(g);
    if (gi->trust & kTrustAxiomatic)
        return addPath(search, tail);
    // A key already on the path ends it: without this, keys whose user IDs
    // bear one another's names would send the search round for ever.
    if (depth >= search.maxDepth || (gi->infoFlags & QELKeyInfo_OnPath))
        return tail;
    QELKeyDB *db = search.db;
    QELTrustPathElement *e = takeRecord(db, freeElements(db), search);
    if (e == nullptr)
        return nullptr;
    e->signer = g;
    e->certified = qelKeyObjTopKey(userID);
    *slot = e;
    gi->infoFlags |= QELKeyInfo_OnPath;
    const double p = qelKeyTrustProbability(g);
    if (p != 0.0) {
        e->probability = p;
        QELKeyObject *first = firstLiveChild(g, QELObjectType_UserID);
        for (QELKeyObject *v = g->firstChild; v != nullptr && tail != nullptr; v = v->next) {
            if (!isLiveOfType(v, QELObjectType_UserID))
                continue;
            const u8 ownerTrust = qelKeyObjUserIDInfo(v)->ownerTrust;
            if ((ownerTrust != 0 && ownerTrust != QELTrustByte_Undefined) || (v == first && gi->trustSigTrust != 0))
                tail = qelTrustFindPaths(search, v, tail, &e->next, depth + 1, nullptr);
        }
    } else if (QELKeyObject *v = sameNameUserID(g, userID); v != nullptr) {
        // The same person under another key: that key's certifications of the
        // same name count, at the same depth.
        e->probability = 1.0;
        tail = qelTrustFindPaths(search, v, tail, &e->next, depth, userID);
    }
    gi->infoFlags &= ~QELKeyInfo_OnPath;
    returnElement(db, e);
    *slot = nullptr;
    return tail;
}

} // namespace

QELTrustPath *qelTrustFindPaths(QELTrustSearch &search, QELKeyObject *userID, QELTrustPath *tail,
                                QELTrustPathElement **slot, std::uint32_t depth, QELKeyObject *excluded)
{
    ++search.steps;
    // Work is charged in signatures looked at: the walk below, and twice the
    // list for each signature whose own checks run (they scan it again).
    std::uint64_t children = 0;
    for (QELKeyObject *c = userID->firstChild; c != nullptr; c = c->next)
        ++children;
    if (!spend(search, children))
        return nullptr;
    for (QELKeyObject *s = userID->firstChild; s != nullptr; s = s->next) {
        if (!isLiveOfType(s, QELObjectType_Signature))
            continue;
        const QELSigInfo *si = qelKeyObjSigInfo(s);
        if (!isCertificationType(si->type) || !(si->state & QELSigState_Valid))
            continue;
        QELKeyObject *candidates[2] = {si->signer, nullptr};
        if (search.second != nullptr && qelKeyObjKeyDB(s) != search.second) {
            QELKeyID id{};
            if (qelSigGetSignerID(s, &id) == QELError_NoErr &&
                qelKeyDBFindKeyByIDLocal(search.second, &id, false, false, &candidates[1]) != QELError_NoErr)
                candidates[1] = nullptr;
        }
        bool screened = false, passes = false;
        for (QELKeyObject *g : candidates) {
            if (!isLiveKey(g) || !isIntroducer(g))
                continue;
            // One key met in both databases is one introducer: its copy in
            // the second database stands in only when the first has no word
            // to give, or the same word would count twice.
            if (g == candidates[0])
                candidates[1] = nullptr;
            // A signer that neither ends a path nor may lead further changes
            // nothing: skip the checks below (the deepest level of a search
            // is most of its signatures).
            const QELKeyInfo *gi = qelKeyObjKeyInfo(g);
            if (!(gi->trust & kTrustAxiomatic) && (depth >= search.maxDepth || (gi->infoFlags & QELKeyInfo_OnPath)))
                continue;
            if (!qelTrustRegexAllows(s, g))
                continue;
            // What depends on S alone is asked once, and only for a signer
            // with a word to give: most of a search's signatures stop earlier.
            if (!screened) {
                screened = true;
                if (!spend(search, 2 * children))
                    return nullptr;
                passes = sigIsCountable(s, search.now) && isNewestBySigner(s, userID) &&
                         !signerExcluded(s, excluded);
            }
            if (!passes || (depth > 1 && signerCountedEarlier(s, userID, g, search.now)))
                continue;
            if (qelKeyObjIsRetired(g))
                continue;
            tail = followIntroducer(search, g, userID, tail, slot, depth);
            if (tail == nullptr)
                return nullptr;
        }
    }
    return tail;
}

// ---- propagation ------------------------------------------------------------------

namespace {

std::uint16_t confidenceOf(QELTrustSearch &search)
{
    QELTrustPath *kept = qelTrustTakeStrongest(&search.head.next, QELTrustMaxPaths);
    returnPaths(search.db, search.head.next);
    search.head.next = nullptr;
    const double p = qelTrustCombinePaths(kept);
    returnPaths(search.db, kept);
    return qelTrustValueFromProbability(p);
}

void searchUserID(QELTrustSearch &search, QELKeyObject *userID)
{
    search.head = QELTrustPath{};
    search.held = 0;
    search.chain = nullptr;
    search.budget = g_searchBudget.load();
    search.exhausted = false;
    // A failed allocation ends the search; what was found still counts.
    static_cast<void>(qelTrustFindPaths(search, userID, &search.head, &search.chain, 1, nullptr));
    search.cutShort += search.exhausted;
    if (search.head.next != nullptr)
        qelKeyObjUserIDInfo(userID)->confidence = confidenceOf(search);
}

void writeBack(QELKeyObject *key, QELKeySet *set, QELKeyDB *second, const QELSettings *settings,
               ChangeLog &log)
{
    QELKeyInfo *ki = qelKeyObjKeyInfo(key);
    const u8 level = ki->trust & kTrustLevelMask;
    for (QELKeyObject *s = ki->firstSig; s != nullptr; s = qelKeyObjSigInfo(s)->nextBySigner) {
        QELSigInfo *si = qelKeyObjSigInfo(s);
        const u8 signerLevel = (si->state & QELSigState_Valid) ? level : kLevelRetired;
        store(si->state, u8((si->state & ~kTrustLevelMask) | signerLevel), key, log);
    }
    QELKeyObject *counterpart = nullptr;
    if (second != nullptr) {
        QELKeyID id{};
        qelKeyObjGetKeyID(key, nullptr, &id);
        if (qelKeyDBFindKeyByIDLocal(second, &id, false, false, &counterpart) != QELError_NoErr)
            counterpart = nullptr;
    }
    forLiveChildren(key, QELObjectType_UserID, [&](QELKeyObject *u) {
        if (!qelKeySetHas(u, set))
            return;
        QELUserIDInfo *ui = qelKeyObjUserIDInfo(u);
        u8 v = 0;
        if (!(ki->trust & kTrustRevoked))
            v = ui->confidence == QELTrustValue_Certain ? QELTrustByte_Certain : qelTrustValueToByte(ui->confidence);
        if (counterpart != nullptr) {
            std::size_t length = 0;
            const std::uint8_t *packet = qelKeyObjRawPacket(u, &length);
            QELKeyObject *twin = packet ? qelKeyObjFindChildPacket(counterpart, packet, length) : nullptr;
            if (isLiveOfType(twin, QELObjectType_UserID) && qelKeyObjUserIDInfo(twin)->validity > v)
                v = qelKeyObjUserIDInfo(twin)->validity;
        }
        store(ui->validity, v, key, log);
        const u8 nameTrust = qelTrustLevelToNameTrust(qelTrustByteToLevel(settings, v));
        store(ui->nameTrust, u8((ui->nameTrust & (QELNameTrust_Primary | QELNameTrust_Recheck)) | nameTrust), key, log);
        ui->confidence = v == QELTrustByte_Certain ? QELTrustValue_Certain : std::uint16_t(v * 64u);
    });
}

} // namespace

QELStatus qelTrustPropagateLocal(QELKeySet *set, QELKeyDB *second, QELTime now, QELKeySet *changedSet)
{
    if (!qelKeySetIsValid(set))
        return QELError_BadParams;
    QELKeyDB *db = qelKeySetKeyDB(set);
    if (second == db)
        second = nullptr;
    const QELSettings *settings = qelContextGetSettings(db->context);
    bool changed = false;
    QELStatus failure = QELError_NoErr;
    ChangeLog log{&changed, changedSet, &failure};

    QELKeyObject *chain = qelTrustRefreshValidity(db, set, second, now, true, &changed, changedSet, &failure);
    qelKeyDBRebuildSignerChains(db);
    applyTrustSigPass(chain, certDepth(settings), qelTrustCompleteValue(settings), now);

    QELTrustSearch search{};
    search.db = db;
    search.second = second;
    search.now = now;
    search.maxDepth = certDepth(settings);
    for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next) {
        if (!isTopLevelKey(k) || !qelKeySetHas(k, set))
            continue;
        forLiveChildren(k, QELObjectType_UserID, [&](QELKeyObject *u) {
            if (qelKeySetHas(u, set))
                searchUserID(search, u);
        });
    }
    qelMemPoolFreeAll(&db->trustPool);
    db->trustFree[0] = db->trustFree[1] = nullptr;
    g_lastSearch = {search.found, search.recordsAllocated, search.steps, search.cutShort};

    for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next)
        if (isTopLevelKey(k) && qelKeySetHas(k, set))
            writeBack(k, set, second, settings, log);
    for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next)
        if (qelKeyObjType(k) == QELObjectType_Key && !(k->flags & QELKeyObjFlag_NotLoaded))
            qelKeyObjKeyInfo(k)->regex = nullptr;
    if (changed)
        qelKeyDBMarkChanged(db, true);
    return failure;
}

#ifdef QEL_TEST_HOOKS
void qelTrustSetSearchBudgetForTesting(std::uint64_t units)
{
    g_searchBudget.store(units != 0 ? units : QELTrustSearchBudget);
}
#endif

QELTrustSearchFigures qelTrustLastSearchFigures()
{
    return g_lastSearch;
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
        return qelKeysService().trustPropagate(set, second, qelTrustNow());
    return qelTrustPropagateLocal(set, second, qelTrustNow(), nullptr);
}
