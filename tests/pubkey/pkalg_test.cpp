// The public-key algorithm table and its dispatch helpers.
#include "qelAlgorithms.h"
#include "qelPkAlgInternal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// An MPI of `bits` bits: the top octet has its highest bit where the count says.
Bytes mpi(unsigned bits, std::uint8_t fill = 0x5A)
{
    Bytes out{std::uint8_t(bits >> 8), std::uint8_t(bits)};
    const unsigned octets = (bits + 7) / 8;
    for (unsigned i = 0; i < octets; ++i)
        out.push_back(fill);
    if (octets) {
        const unsigned top = (bits - 1) % 8;
        out[2] = std::uint8_t((1u << top) | (fill & ((1u << top) - 1)));
    }
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(PkAlgTable, FindsEveryRowAndNothingElse)
{
    struct Row {
        std::uint8_t id;
        std::uint32_t usage;
    };
    for (Row r : {Row{1, 3}, Row{2, 2}, Row{3, 1}, Row{16, 2}, Row{17, 1}, Row{18, 0}, Row{19, 0}}) {
        const QELPkAlgEntry *e = qelPkAlgFind(r.id);
        ASSERT_NE(e, nullptr) << int(r.id);
        EXPECT_EQ(e->algorithm, r.id);
        EXPECT_EQ(qelPkAlgGetUsage(e), r.usage) << int(r.id);
    }
    for (std::uint8_t id : {0, 4, 15, 20, 22, 255})
        EXPECT_EQ(qelPkAlgFind(id), nullptr) << int(id);
    EXPECT_EQ(qelPkAlgGetUsage(nullptr), 0u);
}

TEST(PkAlgTable, EntropyEstimates)
{
    auto need = [](std::uint8_t id, std::uint32_t bits, std::uint8_t fast = 0, std::uint8_t old = 0) {
        return qelPkAlgKeyGenEntropyNeeded(qelPkAlgFind(id), bits, fast, old, nullptr);
    };
    EXPECT_EQ(need(17, 1024), 672u);
    EXPECT_EQ(need(17, 960), 672u);
    // 2048: S = 225, rounded to 232.
    EXPECT_EQ(need(17, 2048), 2 * 225u + 232u + 192u);
    EXPECT_EQ(need(19, 256), 512u);
    EXPECT_EQ(need(1, 2048), 2048u + 128u);
    EXPECT_EQ(need(1, 2048, 1, 1), 384u);   // S(2048) = 225 < 384
    EXPECT_EQ(need(1, 8192, 1, 1), 433u);
    EXPECT_EQ(need(16, 1024), 169u * 3 / 2 + 192u);
    EXPECT_EQ(qelPkAlgKeyGenEntropyNeeded(qelPkAlgFind(17), 1024, 0, 0,
                                          reinterpret_cast<QELTokenDevice *>(1)),
              0u);
    EXPECT_EQ(qelPkAlgKeyGenEntropyNeeded(nullptr, 1024, 0, 0, nullptr), 0u);
}

TEST(PkAlgPublicDataLength, CountsThePublicMPIsOfEachAlgorithm)
{
    const Bytes rsa = concat({mpi(1024), mpi(17)});
    const Bytes elg = concat({mpi(1024), mpi(2), mpi(1020)});
    const Bytes dsa = concat({mpi(1024), mpi(160), mpi(1023), mpi(1022)});
    const Bytes tail{0, 0x11, 0x22};   // the usage octet and more behind them

    struct Case {
        std::uint8_t id;
        Bytes material;
        std::int32_t expected;
    };
    const Bytes rsaTail = concat({rsa, tail});
    const Bytes elgTail = concat({elg, tail});
    const Bytes dsaTail = concat({dsa, tail});
    const Case cases[] = {
        {1, rsa, std::int32_t(rsa.size())},
        {2, rsaTail, std::int32_t(rsa.size())},
        {3, rsaTail, std::int32_t(rsa.size())},
        {16, elg, std::int32_t(elg.size())},   // exactly three MPIs: the whole material
        {16, elgTail, std::int32_t(elg.size())},
        {17, dsaTail, std::int32_t(dsa.size())},
        // Short material, cut MPIs, and bit counts that disagree with the octets.
        {1, Bytes(rsa.begin(), rsa.end() - 1), QELError_BadAlgorithmData},
        {17, Bytes(dsa.begin(), dsa.begin() + 7), QELError_BadAlgorithmData},
        {16, Bytes{0x00}, QELError_BadAlgorithmData},
        {1, concat({Bytes{0x04, 0x00, 0x40}, Bytes(127, 1), mpi(17)}), QELError_BadKeyEncoding},
        {1, concat({Bytes{0x00, 0x00}, mpi(17)}), QELError_BadKeyEncoding},
        // No public values for unknown or unimplemented ids.
        {18, dsa, 0},
        {19, dsa, 0},
        {99, dsa, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(qelPkAlgPublicDataLength(c.id, c.material.data(), c.material.size()), c.expected)
            << int(c.id) << " length " << c.material.size();
    EXPECT_EQ(qelPkAlgPublicDataLength(1, nullptr, 0), QELError_BadAlgorithmData);
}

} // namespace
