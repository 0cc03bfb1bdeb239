#include "common/random.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace korvane::random {
namespace {

// Expected values below were computed with a separate arbitrary-precision Python model of each
// generator, not taken from this code's output.

constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

TEST(RandomSplitMix64, SeedZeroMatchesPublishedStream) {
    // The widely published first outputs of SplitMix64 seeded with 0.
    const std::uint64_t expected[] = {0xE220A8397B1DCDAFULL, 0x6E789E6AA1B965F4ULL,
                                      0x06C45D188009454FULL, 0xF88BB8A8724C81ECULL};
    SplitMix64 held{0};
    std::uint64_t bare = 0;
    for (std::uint64_t e : expected) {
        EXPECT_EQ(held.next_u64(), e);
        EXPECT_EQ(splitmix64_next_u64(bare), e);
    }
    // The state itself is a plain Weyl sequence, wrapping.
    EXPECT_EQ(held.state, 4 * kGolden);
    EXPECT_EQ(bare, 4 * kGolden);
}

TEST(RandomSplitMix64, StateWrapsAround) {
    std::uint64_t state = ~std::uint64_t{0};
    splitmix64_next_u64(state);
    EXPECT_EQ(state, kGolden - 1);
}

struct UnitCase {
    std::uint64_t state;
    double expected;
    const char* what;
};

TEST(RandomSplitMix64, F64UsesTopBitsExactly) {
    // States found by inverting the output mix in Python, giving raw outputs of all ones and 0.
    const UnitCase cases[] = {
        {0, 0x1.c4415072f63b9p-1, "seed 0 first draw"},
        {0x31628AF67B2131ABULL, 1.0 - 0x1.0p-53, "raw output all ones stays below 1"},
        {0x61C8864680B583EBULL, 0.0, "raw output 0"},
    };
    for (const auto& c : cases) {
        std::uint64_t state = c.state;
        EXPECT_EQ(splitmix64_next_f64(state), c.expected) << c.what;
        SplitMix64 held{c.state};
        EXPECT_EQ(held.next_f64(), c.expected) << c.what;
    }
}

TEST(RandomSplitMix64, F64StaysInUnitInterval) {
    SplitMix64 rng{0xDEADBEEFULL};
    double lo = 1.0, hi = 0.0, sum = 0.0;
    constexpr int kDraws = 200000;
    for (int i = 0; i < kDraws; ++i) {
        const double u = rng.next_f64();
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
        lo = std::min(lo, u);
        hi = std::max(hi, u);
        sum += u;
    }
    EXPECT_LT(lo, 1e-4);
    EXPECT_GT(hi, 1.0 - 1e-4);
    EXPECT_NEAR(sum / kDraws, 0.5, 0.005);
}

struct GaussianCase {
    std::uint64_t seed;
    double expected[3];
};

TEST(RandomGaussian, FirstValuesMatchIndependentModel) {
    // libm-dependent, hence DOUBLE_EQ rather than bitwise.
    const GaussianCase cases[] = {
        {0, {-0.4527577402174582, 2.6506058120796703, -0.988604124624327}},
        {12345, {0.5625435185875705, 0.9228021975298103, -0.6061905461687908}},
    };
    for (const auto& c : cases) {
        std::uint64_t state = c.seed;
        const std::vector<double> v = gaussian_vector(state, 3);
        ASSERT_EQ(v.size(), 3u);
        for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(v[i], c.expected[i]) << c.seed << " #" << i;
        EXPECT_EQ(state, c.seed + 6 * kGolden) << "two draws per element";
    }
}

TEST(RandomGaussian, ZeroUniformIsClampedToFiniteValue) {
    std::uint64_t state = 0x61C8864680B583EBULL;  // first raw output is 0, so u1 == 0
    const std::vector<double> v = gaussian_vector(state, 1);
    ASSERT_TRUE(std::isfinite(v[0]));
    EXPECT_DOUBLE_EQ(v[0], 27.968635738217632);
}

TEST(RandomGaussian, StateCarriesOverBetweenCalls) {
    std::uint64_t whole_state = 99;
    const std::vector<double> whole = gaussian_vector(whole_state, 7);

    std::uint64_t split_state = 99;
    std::vector<double> pieces = gaussian_vector(split_state, 3);
    std::vector<double> rest(4);
    fill_gaussian(split_state, rest);
    pieces.insert(pieces.end(), rest.begin(), rest.end());

    EXPECT_EQ(pieces, whole);
    EXPECT_EQ(split_state, whole_state);
    std::uint64_t empty_state = 5;
    EXPECT_TRUE(gaussian_vector(empty_state, 0).empty());
    EXPECT_EQ(empty_state, 5u);
}

TEST(RandomGaussian, MomentsAreStandardNormal) {
    std::uint64_t state = 2024;
    const std::vector<double> v = gaussian_vector(state, 100000);
    double sum = 0.0, sum_sq = 0.0;
    int within_one_sigma = 0;
    for (double x : v) {
        sum += x;
        sum_sq += x * x;
        within_one_sigma += std::abs(x) < 1.0;
    }
    const double n = static_cast<double>(v.size());
    const double mean = sum / n;
    // Bounds are about six standard errors for 100k draws.
    EXPECT_NEAR(mean, 0.0, 0.02);
    EXPECT_NEAR(sum_sq / n - mean * mean, 1.0, 0.03);
    EXPECT_NEAR(within_one_sigma / n, 0.6827, 0.01);
}

struct LcgCase {
    std::uint64_t seed;
    double expected[3];
};

TEST(RandomLcg64, FirstDrawsMatchIndependentModel) {
    // Exact: 31-bit integers scaled by a power of two.
    const LcgCase cases[] = {
        {42, {0x1.22ef15d8p-1, 0x1.cdbfc52p-3, 0x1.a6bf169p-2}},
        {~std::uint64_t{0}, {0x1.77670eap-1, 0x1.6352aadcp-1, 0x1.1fe41d54p-1}},
    };
    for (const auto& c : cases) {
        Lcg64 rng{c.seed};
        for (int i = 0; i < 3; ++i) EXPECT_EQ(rng.next_f64(), c.expected[i]) << c.seed << " #" << i;
    }
}

TEST(RandomLcg64, DrawsStayInUnitInterval) {
    Lcg64 rng{7};
    for (int i = 0; i < 100000; ++i) {
        const double u = rng.next_f64();
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
    }
}

TEST(RandomLcg64, DirectionUsesAzimuthThenHeight) {
    Lcg64 rng{42};
    const auto d = rng.random_direction();
    EXPECT_NEAR(d[0], -0.7601411911695086, 1e-15);
    EXPECT_NEAR(d[1], -0.347424888572224, 1e-15);
    EXPECT_NEAR(d[2], -0.5490731429308653, 1e-15);
    // Exactly two draws consumed: the next draw is the seed's third.
    EXPECT_EQ(rng.next_f64(), 0x1.a6bf169p-2);
}

TEST(RandomLcg64, DirectionsAreUnitAndUniformOnSphere) {
    Lcg64 rng{1};
    constexpr int kDraws = 100000;
    double sum[3] = {0, 0, 0};
    double sum_z_sq = 0.0;
    for (int i = 0; i < kDraws; ++i) {
        const auto d = rng.random_direction();
        ASSERT_NEAR(d[0] * d[0] + d[1] * d[1] + d[2] * d[2], 1.0, 1e-12);
        for (int k = 0; k < 3; ++k) sum[k] += d[k];
        sum_z_sq += d[2] * d[2];
    }
    // Each coordinate has standard deviation 1/sqrt(3); 0.01 is over five standard errors.
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(sum[k] / kDraws, 0.0, 0.01) << "axis " << k;
    EXPECT_NEAR(sum_z_sq / kDraws, 1.0 / 3.0, 0.01);
}

}  // namespace
}  // namespace korvane::random
