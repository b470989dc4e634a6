#include "qelContextInternal.h"
#include "qelSettingsInternal.h"
#include "qelTestEnv.h"
#include "qelTrustPropInternal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <vector>

namespace {

// ---- the scale ----------------------------------------------------------------

TEST(TrustScale, ValuesBytesAndRatiosConvert)
{
    struct {
        std::uint16_t value;
        std::uint8_t byte;
    } const valueToByte[] = {{0, 0},       {63, 0},      {64, 1},      {7680, 120},
                             {16191, 252}, {16192, 252}, {0xFFFE, 252}, {0xFFFF, 255}};
    for (const auto &c : valueToByte)
        EXPECT_EQ(qelTrustValueToByte(c.value), c.byte) << c.value;

    struct {
        std::uint8_t byte;
        std::uint16_t value;
    } const byteToValue[] = {{0, 0}, {1, 64}, {60, 3840}, {120, 7680}, {252, 16128},
                             {253, 0}, {254, 0}, {255, 0xFFFF}};
    for (const auto &c : byteToValue)
        EXPECT_EQ(qelTrustByteToValue(c.byte), c.value) << int(c.byte);

    // Byte 120 is a probability of 0.999: a ratio of 1000.
    EXPECT_EQ(qelTrustValueFromRatio(1000.0), 7680);
    EXPECT_NEAR(qelTrustValueToRatio(7680), 1000.0, 1e-9);
    EXPECT_NEAR(qelTrustByteToProbability(120), 0.999, 1e-12);
    EXPECT_EQ(qelTrustValueFromRatio(1.0), 0);
    EXPECT_EQ(qelTrustValueFromRatio(0.5), 0);
    EXPECT_EQ(qelTrustValueFromRatio(NAN), 0);
    EXPECT_EQ(qelTrustValueFromRatio(3.973916614682823e25), 0xFFFE);
    EXPECT_EQ(qelTrustValueFromRatio(INFINITY), 0xFFFE);
    EXPECT_EQ(qelTrustValueFromProbability(1.0), 0xFFFF);
    EXPECT_EQ(qelTrustValueFromProbability(0.0), 0);
    // Every ordinary value survives the trip through a ratio.
    for (std::uint32_t v = 0; v < 0xFFFF; v += 97)
        EXPECT_EQ(qelTrustValueFromRatio(qelTrustValueToRatio(static_cast<std::uint16_t>(v))), v);
}

TEST(TrustScale, LevelsAndNameTrust)
{
    const std::uint8_t nameTrust[8] = {0, 0, 1, 0, 0, 2, 3, 3};
    for (std::uint32_t level = 0; level < 8; ++level)
        EXPECT_EQ(qelTrustLevelToNameTrust(level), nameTrust[level]) << level;
}

TEST(TrustScale, OwnerProbabilityTakesTheWeakestUserIDAndTheTrustSignature)
{
    const std::uint8_t undefinedOnly[] = {253};
    const std::uint8_t mixed[] = {120, 253, 60};
    const std::uint8_t none[] = {0};
    EXPECT_EQ(qelTrustOwnerProbability(undefinedOnly, 1, 0), 0.0);
    EXPECT_EQ(qelTrustOwnerProbability(nullptr, 0, 0), 0.0);
    EXPECT_DOUBLE_EQ(qelTrustOwnerProbability(mixed, 3, 0), qelTrustByteToProbability(60));
    EXPECT_DOUBLE_EQ(qelTrustOwnerProbability(mixed, 3, 120), qelTrustByteToProbability(120));
    EXPECT_DOUBLE_EQ(qelTrustOwnerProbability(undefinedOnly, 1, 60), qelTrustByteToProbability(60));
    EXPECT_EQ(qelTrustOwnerProbability(none, 1, 0), 0.0);
    EXPECT_EQ(qelTrustOwnerProbability(nullptr, 0, 255), 1.0);
}

// ---- settings-dependent values ---------------------------------------------------

class TrustSettingsTest : public qeltest::SDKSuite {
protected:
    void SetUp() override
    {
        ASSERT_EQ(qelSettingsCopy(qelContextGetSettings(context), &settings_), QELError_NoErr);
    }
    void TearDown() override { qelSettingsFree(settings_); }
    void set(std::int32_t id, std::int32_t value)
    {
        ASSERT_EQ(qelSettingsSetInt(settings_, id, value, QELSettingPriority_Job), QELError_NoErr);
    }
    QELSettings *settings_ = nullptr;
};

TEST_F(TrustSettingsTest, DefaultsGiveCompleteAndMarginalValues)
{
    EXPECT_EQ(qelTrustCompleteValue(settings_), 120);
    EXPECT_EQ(qelTrustMarginalValue(settings_), 60);
    const std::uint8_t levelValue[8] = {253, 0, 0, 0, 0, 60, 120, 255};
    for (std::uint32_t level = 0; level < 8; ++level)
        EXPECT_EQ(qelTrustLevelToValue(settings_, level), levelValue[level]) << level;
    struct {
        std::uint8_t byte;
        std::uint32_t level;
    } const byteLevel[] = {{255, 7}, {253, 1}, {252, 6}, {100, 6}, {99, 5},
                           {60, 5},  {40, 5},  {39, 2},  {0, 2}};
    for (const auto &c : byteLevel)
        EXPECT_EQ(qelTrustByteToLevel(settings_, c.byte), c.level) << int(c.byte);
}

TEST_F(TrustSettingsTest, IntroducerValuesRoundUpAndClampTheThreshold)
{
    set(QELSetting_TrustThreshold, 121);
    set(QELSetting_MarginalsNeeded, 2);
    set(QELSetting_CompletesNeeded, 3);
    EXPECT_EQ(qelTrustMarginalValue(settings_), 61);
    EXPECT_EQ(qelTrustCompleteValue(settings_), 41);
    set(QELSetting_TrustThreshold, 1000);
    EXPECT_EQ(qelTrustMarginalValue(settings_), 128);
    set(QELSetting_CompletesNeeded, 0);
    EXPECT_EQ(qelTrustCompleteValue(settings_), 0);
    set(QELSetting_TrustThreshold, -5);
    EXPECT_EQ(qelTrustMarginalValue(settings_), 0);
}

// ---- time -------------------------------------------------------------------------

TEST(TrustTime, SignatureWindowAndKeyExpiry)
{
    const QELTime t = 1'600'000'000;
    struct {
        QELTime creation;
        std::uint32_t expiration;
        bool current;
    } const window[] = {
        {t + 86399, 0, true},  {t + 86400, 0, false}, {t, 0, true},
        {0, 0, true},          {t - 100, 101, true},  {t - 100, 100, false},
        {t - 100, 1, false},   {t, 1, true},
    };
    for (const auto &c : window)
        EXPECT_EQ(qelTrustWindowIsCurrent(c.creation, c.expiration, t), c.current)
            << c.creation << " +" << c.expiration;
    EXPECT_TRUE(qelTrustWindowIsCurrent(0xFFFFFFF0u, 0, 0xFFFFFF00u)) << "no wrap near the end of time";

    EXPECT_FALSE(qelTrustKeyIsExpired(t, 1, t + 86399));
    EXPECT_TRUE(qelTrustKeyIsExpired(t, 1, t + 86400));
    EXPECT_FALSE(qelTrustKeyIsExpired(t, 0, t + 1000 * 86400u));
    EXPECT_FALSE(qelTrustKeyIsExpired(t + 5, 1, t)) << "a key from the future has not expired";
}

// ---- paths ------------------------------------------------------------------------

// Synthetic webs: keys are distinct addresses, paths are built by hand.
class TrustPaths : public ::testing::Test {
protected:
    QELKeyObject *key(int n) { return reinterpret_cast<QELKeyObject *>(&keys_[n]); }

    // A path through the given (signer, certified, probability) steps.
    QELTrustPath *path(std::initializer_list<std::tuple<int, int, double>> steps)
    {
        QELTrustPath &p = paths_.emplace_back();
        p.product = 1.0;
        QELTrustPathElement **slot = &p.first;
        for (const auto &[signer, certified, probability] : steps) {
            QELTrustPathElement &e = elements_.emplace_back();
            e = {nullptr, key(signer), key(certified), probability};
            *slot = &e;
            slot = &e.next;
            p.product *= probability;
        }
        return &p;
    }
    static QELTrustPath *chain(std::vector<QELTrustPath *> list)
    {
        for (std::size_t i = 0; i + 1 < list.size(); ++i)
            list[i]->next = list[i + 1];
        return list.empty() ? nullptr : list.front();
    }

    std::uint8_t validity(const QELTrustPath *paths)
    {
        return qelTrustValueToByte(qelTrustValueFromProbability(qelTrustCombinePaths(paths)));
    }

    char keys_[64] = {};
    std::deque<QELTrustPath> paths_;
    std::deque<QELTrustPathElement> elements_;
};

TEST_F(TrustPaths, MarginalIntroducersAddUpOnTheScale)
{
    const double marginal = qelTrustByteToProbability(60);
    // Key 9 is the target; 1 and 2 are introducers the axiomatic key certified.
    EXPECT_EQ(validity(chain({path({{1, 9, marginal}})})), 60);
    EXPECT_EQ(qelTrustValueFromProbability(qelTrustCombinePaths(chain({path({{1, 9, marginal}})}))),
              3840);
    EXPECT_EQ(validity(chain({path({{1, 9, marginal}}), path({{2, 9, marginal}})})), 120);
    // A direct certification by an axiomatic key: a path without elements.
    EXPECT_EQ(validity(chain({path({})})), 255);
    EXPECT_EQ(qelTrustCombinePaths(nullptr), 0.0);
}

TEST_F(TrustPaths, SharedElementsCountOnce)
{
    const double a = 0.9, b = 0.5, c = 0.6;
    // Both paths go through introducer 1's certification of key 2.
    const QELTrustPath *paths = chain({path({{1, 2, a}, {2, 9, b}}), path({{1, 2, a}, {3, 9, c}})});
    EXPECT_NEAR(qelTrustCombinePaths(paths), a * (1 - (1 - b) * (1 - c)), 1e-15);
    // The same introducer certifying two different keys is two elements.
    const QELTrustPath *apart = chain({path({{1, 2, a}}), path({{1, 3, a}})});
    EXPECT_NEAR(qelTrustCombinePaths(apart), 1 - (1 - a) * (1 - a), 1e-15);
}

TEST_F(TrustPaths, OnlyTheTenStrongestPathsCount)
{
    // Twelve paths of one distinct introducer each; products 0.01 .. 0.12,
    // with a tie between the first two of 0.05.
    std::vector<QELTrustPath *> all;
    const double products[12] = {0.05, 0.03, 0.12, 0.05, 0.01, 0.07, 0.08, 0.09, 0.10, 0.11, 0.02, 0.06};
    for (int i = 0; i < 12; ++i)
        all.push_back(path({{i + 1, 40, products[i]}}));
    QELTrustPath *list = chain(all);
    QELTrustPath *kept = qelTrustTakeStrongest(&list, QELTrustMaxPaths);

    std::vector<QELTrustPath *> keptOrder, restOrder;
    for (QELTrustPath *p = kept; p != nullptr; p = p->next)
        keptOrder.push_back(p);
    for (QELTrustPath *p = list; p != nullptr; p = p->next)
        restOrder.push_back(p);
    const std::vector<QELTrustPath *> expectKept = {all[2], all[9], all[8], all[7], all[6],
                                                    all[5], all[11], all[0], all[3], all[1]};
    EXPECT_EQ(keptOrder, expectKept);
    EXPECT_EQ(restOrder, (std::vector<QELTrustPath *>{all[4], all[10]}));

    double miss = 1.0;
    for (QELTrustPath *p : expectKept)
        miss *= 1 - p->product;
    EXPECT_NEAR(qelTrustCombinePaths(kept), 1 - miss, 1e-12);
    // More paths than the cap are never combined.
    all[4]->next = nullptr;
    expectKept.back()->next = all[4];
    EXPECT_EQ(qelTrustCombinePaths(kept), 0.0);
}

TEST_F(TrustPaths, TakingFromShortListsTakesAll)
{
    QELTrustPath *list = chain({path({{1, 2, 0.5}}), path({{3, 2, 0.7}})});
    QELTrustPath *kept = qelTrustTakeStrongest(&list, QELTrustMaxPaths);
    EXPECT_EQ(list, nullptr);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->product, 0.7);
    ASSERT_NE(kept->next, nullptr);
    EXPECT_EQ(kept->next->next, nullptr);
    QELTrustPath *empty = nullptr;
    EXPECT_EQ(qelTrustTakeStrongest(&empty, 3), nullptr);
}

} // namespace
