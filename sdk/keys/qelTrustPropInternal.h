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

// The clock propagation runs at: the SDK time, or the test clock when one is
// installed (qelTrustSetClockForTesting).
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
// The list must hold at most QELTrustMaxPaths paths (more give 0).
double qelTrustCombinePaths(const QELTrustPath *paths);
