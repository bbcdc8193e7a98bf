// The replicates' random stream and its elementary functions: Philox's
// published answers, the deviates' moments, log, sin and cos against the C
// library; and a run's bits on any number of threads.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "replicates/replicates.h"

namespace {

// The known-answer tests of Random123 (kat_vectors): counter, key, result.
struct PhiloxAnswer {
    PhiloxBlock counter;
    std::uint32_t key[2];
    PhiloxBlock expected;
};
const PhiloxAnswer philox_answers[] = {
    {{{0, 0, 0, 0}}, {0, 0}, {{0x6627e8d5, 0xe169c58d, 0xbc57ac4c, 0x9b00dbd8}}},
    {{{0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff}},
     {0xffffffff, 0xffffffff},
     {{0x408f276d, 0x41c83b0e, 0xa20bc7c6, 0x6d5451fd}}},
    {{{0x243f6a88, 0x85a308d3, 0x13198a2e, 0x03707344}},
     {0xa4093822, 0x299f31d0},
     {{0xd16cfe09, 0x94fdcceb, 0x5001e420, 0x24126ea1}}},
};

TEST(ReplicateStream, PhiloxGivesThePublishedAnswers)
{
    for (const PhiloxAnswer& a : philox_answers) {
        const PhiloxBlock got = philox4x32_10(a.counter, a.key);
        for (int w = 0; w < 4; ++w) {
            EXPECT_EQ(got.word[w], a.expected.word[w]) << "word " << w;
        }
    }
}

TEST(ReplicateStream, WordsFollowTheCounterOfSeedAndReplicate)
{
    const std::uint32_t key[2] = {0x01234567, 0x89abcdef};
    const std::uint64_t replicate = 0x0000000500000003ull;
    ReplicateStream stream(key, replicate);
    for (std::uint32_t block = 0; block < 3; ++block) {
        const PhiloxBlock expected = philox4x32_10({{block, 0, 3, 5}}, key);
        for (const std::uint32_t word : expected.word) {
            EXPECT_EQ(stream.word(), word);
        }
    }
}

TEST(ReplicateStream, NormalDeviatesHaveMeanZeroAndVarianceOne)
{
    const std::uint32_t key[2] = {7, 11};
    ReplicateStream stream(key, 0);
    constexpr int draws = 1000000;
    double sum = 0.0, squares = 0.0, fourth = 0.0;
    for (int i = 0; i < draws; ++i) {
        const double z = stream.normal();
        sum += z;
        squares += z * z;
        fourth += z * z * z * z;
    }
    const double mean = sum / draws, variance = squares / draws - mean * mean;
    // Five standard errors: 1/sqrt(n), sqrt(2/n) and sqrt(96/n).
    EXPECT_LT(std::fabs(mean), 5.0 / std::sqrt(draws));
    EXPECT_LT(std::fabs(variance - 1.0), 5.0 * std::sqrt(2.0 / draws));
    EXPECT_LT(std::fabs(fourth / draws - 3.0), 5.0 * std::sqrt(96.0 / draws));
}

TEST(ReplicateStream, IndicesBelowNAreUniform)
{
    const std::uint32_t key[2] = {3, 4};
    ReplicateStream stream(key, 9);
    constexpr std::uint32_t n = 7;
    constexpr int draws = 700000;
    std::vector<int> counts(n, 0);
    for (int i = 0; i < draws; ++i) {
        const std::uint32_t k = stream.below(n);
        ASSERT_LT(k, n);
        ++counts[k];
    }
    // Each count is binomial(draws, 1/7): sd about 290.
    for (const int c : counts) {
        EXPECT_NEAR(c, draws / n, 5 * 290);
    }
    EXPECT_EQ(stream.below(1), 0u);
}

// The stream's bits, pinned: the same on every processor, compiler and C
// library (make test-cpp runs this with glibc's FMA variants off too, and
// make test-aarch64 on another processor). Never re-record them: a change
// here moves every seeded estimate.
TEST(ReplicateStream, PinnedBits)
{
    const std::uint32_t key[2] = {0x9e3779b9u, 0x7f4a7c15u};
    ReplicateStream stream(key, 12345);
    const double normals[] = {0x1.86e28b9310c3bp-2, -0x1.f74507c15cfbep-3,
                              0x1.b846e4cfa4ed4p+0, -0x1.92594886f383ap-1};
    for (const double z : normals) {
        EXPECT_EQ(stream.normal(), z);
    }
    EXPECT_EQ(stream.below(68), 38u);
    EXPECT_EQ(stream.below(1000000007u), 208465157u);
    EXPECT_EQ(portable_log(0x1.8p-30), -0x1.463923f5797efp+4);
    EXPECT_EQ(portable_sin(1234.5), 0x1.29c531dfd031bp-3);
    EXPECT_EQ(portable_cos(0.75), 0x1.769fec655211fp-1);
}

// The worst relative error of f against reference over the arguments.
template <typename F, typename G>
double worst_relative(F f, G reference, const std::vector<double>& arguments)
{
    double worst = 0.0;
    for (const double x : arguments) {
        const double want = reference(x);
        worst = std::max(worst, std::fabs(f(x) - want) / std::fabs(want));
    }
    return worst;
}

TEST(ReplicateElementary, LogIsWithinItsBound)
{
    std::mt19937_64 random(1);
    std::uniform_real_distribution<double> exponent(-1000.0, 1000.0);
    std::uniform_real_distribution<double> near_one(0.5, 2.0);
    std::vector<double> x;
    for (int i = 0; i < 200000; ++i) {
        x.push_back(std::exp2(exponent(random)));
        x.push_back(near_one(random));
        x.push_back(1.0 - std::ldexp(static_cast<double>(i + 1), -53));  // next to 1
    }
    x.push_back(0x1p-104);  // the polar method's smallest s
    x.push_back(2.0);
    const double worst = worst_relative(portable_log, [](double v) { return std::log(v); }, x);
    EXPECT_LT(worst, 5e-16);
    EXPECT_EQ(portable_log(1.0), 0.0);
}

TEST(ReplicateElementary, SineAndCosineAreWithinTheirBounds)
{
    std::mt19937_64 random(2);
    std::uniform_real_distribution<double> kernel(-0.7853981633974483, 0.7853981633974483);
    std::uniform_real_distribution<double> wide(-1e5, 1e5);
    std::vector<double> small, large;
    for (int i = 0; i < 200000; ++i) {
        small.push_back(kernel(random));
        large.push_back(wide(random));
    }
    auto sine = [](double v) { return std::sin(v); };
    auto cosine = [](double v) { return std::cos(v); };
    EXPECT_LT(worst_relative(portable_sin, sine, small), 3e-16);
    EXPECT_LT(worst_relative(portable_cos, cosine, small), 3e-16);
    double worst = 0.0;  // absolute, where the reduction leaves its rounding
    for (const double v : large) {
        worst = std::max(worst, std::fabs(portable_sin(v) - std::sin(v)));
        worst = std::max(worst, std::fabs(portable_cos(v) - std::cos(v)));
    }
    EXPECT_LT(worst, 5e-16);
    EXPECT_TRUE(std::isnan(portable_sin(2.0 * max_reduced_argument)));
    EXPECT_TRUE(std::isnan(portable_cos(NAN)));
}

// A problem: 40 random vectors and a noisy tensor's values.
struct Problem {
    std::vector<double> vectors, observed, noise, sets;
};
Problem random_problem(int count, int models)
{
    std::mt19937_64 random(5);
    std::normal_distribution<double> normal;
    Problem p;
    for (int i = 0; i < 3 * count * models; ++i) {
        p.sets.push_back(normal(random));
    }
    p.vectors.assign(p.sets.begin(), p.sets.begin() + 3 * count);
    for (int i = 0; i < count; ++i) {
        const double* v = p.vectors.data() + 3 * i;
        p.observed.push_back(10.0 * (2.0 * v[2] * v[2] - v[0] * v[0] - v[1] * v[1]) /
                                 (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) +
                             normal(random));
        p.noise.push_back(1.0);
    }
    return p;
}

TEST(Replicates, EachReplicateHasItsBitsOnAnyThreadsAndRange)
{
    const Problem p = random_problem(40, 3);
    for (const Perturbation how : {Perturbation::noise, Perturbation::bootstrap}) {
        ReplicateSetup setup = {p.vectors.data(), p.observed.data(), p.noise.data(),
                                nullptr,          nullptr,           40,
                                false,            how,               p.sets.data(),
                                3,                tilt_sd_of(5.0),   50,
                                {12, 34}};
        constexpr int count = 64;
        auto run = [&](std::uint64_t first, int n, int workers) {
            std::vector<double> params(6 * n), matrices(9 * n), axes(9 * n);
            std::vector<std::int32_t> draws(n);
            const ReplicateFailure failure = run_replicates(
                setup, first, n, workers, {params.data(), matrices.data(), axes.data(), draws.data()},
                {nullptr, nullptr, {}});
            EXPECT_EQ(failure.index, -1);
            return matrices;
        };
        const std::vector<double> one = run(0, count, 1);
        const std::vector<double> two = run(0, count, 2);
        const std::vector<double> tail = run(count / 2, count / 2, 3);
        EXPECT_EQ(std::memcmp(one.data(), two.data(), one.size() * sizeof(double)), 0);
        EXPECT_EQ(std::memcmp(one.data() + 9 * (count / 2), tail.data(),
                              tail.size() * sizeof(double)),
                  0);
    }
}

}  // namespace
