// Trust and validity: the trust scale with its conversions, the validity
// window of signatures, and the combination of certification paths into a
// confidence. Internal: the key database, the property getters, key-ring
// reading and key editing use these.
#pragma once

#include "qelErrors.h"
#include "qelTimeDate.h"

#include <cstddef>
#include <cstdint>

struct QELKeyObject;
struct QELSettings;

// ---- the trust scale --------------------------------------------------------
// A probability c is held as the trust value t = round(F * ln(1/(1-c))) with
// F = 7680 / ln 1000, so that trust values of independent statements add up
// and trust byte 120 (value 7680) is a probability of 0.999.

constexpr std::uint16_t QELTrustValue_Certain = 0xFFFF;
constexpr std::uint16_t QELTrustValue_Max = 0xFFFE;    // largest ordinary value
constexpr std::uint8_t QELTrustByte_Certain = 255;
constexpr std::uint8_t QELTrustByte_Undefined = 253;
constexpr std::uint8_t QELTrustByte_Max = 252;          // largest ordinary byte
constexpr std::uint8_t QELTrustLevel_Axiomatic = 7;

// x = 1/(1-c), c = the probability: the trust value (QELTrustValue_Max for
// ratios beyond the scale; 0 for ratios below 1).
std::uint16_t qelTrustValueFromRatio(double x);
double qelTrustValueToRatio(std::uint16_t value);
std::uint8_t qelTrustValueToByte(std::uint16_t value);
std::uint16_t qelTrustByteToValue(std::uint8_t byte);

// Introducer values from the settings: ceil(threshold / completes needed)
// and ceil(threshold / marginals needed); 0 for a count of 0 or less.
std::uint8_t qelTrustCompleteValue(const QELSettings *settings);
std::uint8_t qelTrustMarginalValue(const QELSettings *settings);
// The owner-trust byte each user ID gets for a level 0..7: 253, 0, 0, 0, 0,
// marginal, complete, 255.
std::uint8_t qelTrustLevelToValue(const QELSettings *settings, std::uint32_t level);
// The level a validity byte stands for.
std::uint32_t qelTrustByteToLevel(const QELSettings *settings, std::uint8_t byte);
// Name trust 0..3 of a level.
std::uint8_t qelTrustLevelToNameTrust(std::uint32_t level);

// The probability a trust byte stands for: 1 - 1 / ratio(value(byte)).
double qelTrustByteToProbability(std::uint8_t byte);
// The confidence of a combined probability: certain at 1 or more.
std::uint16_t qelTrustValueFromProbability(double p);

// The owner trust of a key from the owner-trust bytes of its live user IDs
// and its trust-signature trust (0: none): the smallest probability among
// the user IDs whose byte is defined (0 when none is), raised to the
// probability of the trust-signature trust when it is higher.
double qelTrustOwnerProbability(const std::uint8_t *userIDBytes, std::size_t count,
                                std::uint8_t trustSigTrust);

// ---- time -------------------------------------------------------------------

// The clock propagation runs at: the system time (seconds since 1970, read
// without the API guard), or the test clock when one is installed
// (qelTrustSetClockForTesting).
QELTime qelTrustNow();

// Whether a signature created at `creation` that expires `expiration`
// seconds later (0: never) is current at `now`. A creation time up to one
// day ahead is tolerated.
bool qelTrustWindowIsCurrent(QELTime creation, std::uint32_t expiration, QELTime now);
// Whether a key created at `creation` that is valid `days` days (0: for
// ever) has expired at `now`.
bool qelTrustKeyIsExpired(QELTime creation, std::uint16_t days, QELTime now);

// ---- certification paths ----------------------------------------------------

// One step of a path: the introducer, the key it certified and the
// introducer's owner-trust probability.
struct QELTrustPathElement {
    QELTrustPathElement *next;
    QELKeyObject *signer;
    QELKeyObject *certified;
    double probability;
};

// A path from an axiomatic key to a user ID; product = the product of its
// elements' probabilities (1.0 without elements).
struct QELTrustPath {
    QELTrustPath *next;
    QELTrustPathElement *first;
    double product;
};

// At most this many paths enter the combination of one user ID.
constexpr std::size_t QELTrustMaxPaths = 10;

// Unlinks the `keep` strongest paths of *list (greatest product first, of
// equal products the earlier one) into a new list in that order, which is
// returned; *list keeps the others in their order.
QELTrustPath *qelTrustTakeStrongest(QELTrustPath **list, std::size_t keep);
// The probability that at least one of the paths holds: the sum over every
// non-empty subset of (-1)^(k+1) times the product over the union of its
// elements, where elements with the same signer and certified key are one.
// The list must hold at most QELTrustMaxPaths paths (more give 0, and so
// does a lack of memory).
double qelTrustCombinePaths(const QELTrustPath *paths);

// ---- keys and signatures -------------------------------------------------------

struct QELKeyDB;
struct QELKeySet;

// Whether the key's word (its regular-expression restriction, when it has
// one) covers the user ID the signature is on; a signature on anything but
// a user ID is not covered by a restricted key.
bool qelTrustRegexAllows(QELKeyObject *sig, QELKeyObject *key);
// The same for the signature's own signer.
bool qelTrustSigRegexAllows(QELKeyObject *sig);
// Valid, not revoked by a list, allowed by its signer's restriction and
// within its validity window at `now`.
bool qelTrustSigIsCurrent(QELKeyObject *sig, QELTime now);
// ...and a live certification (type 0x10..0x1F).
bool qelTrustSigIsCurrentCert(QELKeyObject *sig, QELTime now);
// From the first signature of a run (the signatures a key made on one
// object stand together in its signer chain): the newest valid one of the
// run; the cursor moves to the first signature on another object.
QELKeyObject *qelTrustNextSignerRun(QELKeyObject **cursor);

// Refreshes the revocation and expiry state of the keys of the set (and of
// every axiomatic key) at `now`, and returns the chain of keys that start
// paths (linked through their trust-work field, the last found first):
// live, axiomatic, neither expired nor revoked, with a secret part; those
// of the second database (may be null) join them.
// A key that could not be added to the changed set leaves its status in
// *outFailure (when given and still 0).
QELKeyObject *qelTrustRefreshValidity(QELKeyDB *db, QELKeySet *set, QELKeyDB *second, QELTime now,
                                      bool resetConfidence, bool *outChanged, QELKeySet *changedSet,
                                      QELStatus *outFailure = nullptr);
// The trust-signature applications one pass may make.
constexpr std::uint64_t QELTrustSigBudget = 1000000;
// Hands the trust of a trust signature down to the key it certifies, and on
// through that key's own trust signatures while depth allows (and the budget
// of applications lasts).
void qelTrustApplyTrustSig(QELKeyObject *sig, std::uint8_t amount, std::uint32_t depth,
                           std::uint8_t completeValue, QELTime now);
// The trust-signature pass at the current time, as a database is opened.
QELStatus qelKeyDBApplyTrustSigs(QELKeyDB *db);

// The owner trust of a key as a probability, and as a trust value.
double qelKeyTrustProbability(QELKeyObject *key);
std::uint16_t qelKeyTrustValue(QELKeyObject *key);

// Paths held for one user ID before the weaker ones are dropped.
constexpr std::size_t QELTrustPruneAt = 4 * QELTrustMaxPaths;

// The work one user ID's search may do, in signatures looked at. A web
// whose paths from the axiomatic keys are too many to walk within it (a
// search is exponential in the certification depth) gets the paths found
// until then, as after a failed allocation, instead of hours of walking.
constexpr std::uint64_t QELTrustSearchBudget = 10000000;

// One path search: its constants, the list of paths found for the current
// user ID (after the dummy head) and the chain of elements being walked.
struct QELTrustSearch {
    QELKeyDB *db;
    QELKeyDB *second;
    QELTime now;
    std::uint32_t maxDepth;
    QELTrustPath head;
    std::size_t held;
    QELTrustPathElement *chain;
    std::uint64_t found;            // complete paths met, over the whole propagation
    std::uint64_t recordsAllocated; // path and element records taken from the pool
    std::uint64_t steps;            // user IDs searched, over the whole propagation
    std::uint64_t budget;           // work left for the current user ID
    bool exhausted;                 // the current user ID's search ran out of budget
    std::uint64_t cutShort;         // user IDs whose search ran out of budget
};

// Searches the certification paths that end at the user ID and adds each
// complete one after the tail; the chain grows at the slot. Signers that
// signed the excluded user ID (may be null) are passed over. Returns the new
// tail, or null after an allocation failure.
QELTrustPath *qelTrustFindPaths(QELTrustSearch &search, QELKeyObject *userID, QELTrustPath *tail,
                                QELTrustPathElement **slot, std::uint32_t depth, QELKeyObject *excluded);

// Propagates trust over the set at `now`: refresh, trust signatures, path
// search and the validity of every user ID. Keys that change go into the
// changed set when one is given. Always 0 for a valid set.
QELStatus qelTrustPropagateLocal(QELKeySet *set, QELKeyDB *second, QELTime now, QELKeySet *changedSet);

// What the last propagation's search did (for tests and benchmarks).
struct QELTrustSearchFigures {
    std::uint64_t pathsFound;
    std::uint64_t recordsAllocated;
    std::uint64_t steps;
    std::uint64_t cutShort;
};
QELTrustSearchFigures qelTrustLastSearchFigures();
