// The random stream of a replicate: Philox4x32-10 blocks in counter order,
// and the uniform, normal and index deviates made of their words.
#include <cmath>
#include <cstdint>

#include "replicates/replicates.h"

namespace {

// Philox4x32's multipliers and key increments (Salmon et al. 2011).
constexpr std::uint32_t philox_multiplier_0 = 0xD2511F53u;
constexpr std::uint32_t philox_multiplier_1 = 0xCD9E8D57u;
constexpr std::uint32_t philox_bump_0 = 0x9E3779B9u;  // the golden ratio
constexpr std::uint32_t philox_bump_1 = 0xBB67AE85u;  // sqrt(3) - 1
constexpr int philox_rounds = 10;

constexpr int words_per_block = 4;
constexpr int mantissa_shift = 64 - 53;  // a double's 53 significant bits
constexpr double uniform_step = 0x1p-53;

// Box-Muller's angle, in quarter turns: 4 u for the uniform u.
constexpr double quarter_turns = 4.0;
constexpr double quarter_turn = 0x1.921fb54442d18p+0;  // pi / 2, rounded

PhiloxBlock philox_round(const PhiloxBlock& x, const std::uint32_t (&key)[2])
{
    const std::uint64_t product_0 = static_cast<std::uint64_t>(philox_multiplier_0) * x.word[0];
    const std::uint64_t product_1 = static_cast<std::uint64_t>(philox_multiplier_1) * x.word[2];
    const auto high_0 = static_cast<std::uint32_t>(product_0 >> 32);
    const auto high_1 = static_cast<std::uint32_t>(product_1 >> 32);
    return {{high_1 ^ x.word[1] ^ key[0], static_cast<std::uint32_t>(product_1),
             high_0 ^ x.word[3] ^ key[1], static_cast<std::uint32_t>(product_0)}};
}

}  // namespace

PhiloxBlock philox4x32_10(const PhiloxBlock& counter, const std::uint32_t (&key)[2])
{
    std::uint32_t k[2] = {key[0], key[1]};
    PhiloxBlock x = counter;
    for (int round = 0; round < philox_rounds; ++round) {
        if (round > 0) {
            k[0] += philox_bump_0;
            k[1] += philox_bump_1;
        }
        x = philox_round(x, k);
    }
    return x;
}

ReplicateStream::ReplicateStream(const std::uint32_t (&key)[2], std::uint64_t replicate)
    : key_{key[0], key[1]}, replicate_(replicate)
{
}

std::uint32_t ReplicateStream::word()
{
    if (used_ == words_per_block) {
        const PhiloxBlock counter = {{static_cast<std::uint32_t>(block_),
                                      static_cast<std::uint32_t>(block_ >> 32),
                                      static_cast<std::uint32_t>(replicate_),
                                      static_cast<std::uint32_t>(replicate_ >> 32)}};
        words_ = philox4x32_10(counter, key_);
        ++block_;
        used_ = 0;
    }
    return words_.word[used_++];
}

double ReplicateStream::uniform()
{
    const std::uint64_t high = word();
    const std::uint64_t low = word();
    return static_cast<double>(((high << 32) | low) >> mantissa_shift) * uniform_step;
}

// Box-Muller: r = sqrt(-2 log u1) with u1 in (0, 1], the angle 2 pi u2 for
// u2 in [0, 1). 4 u2 = q + f with q the nearest whole quarter turn and f in
// [-1/2, 1/2] (both exact), so the angle needs no reduction.
double ReplicateStream::normal()
{
    if (has_spare_) {
        has_spare_ = false;
        return spare_;
    }
    const double u1 = 1.0 - uniform();  // in (0, 1]: exact
    const double turns = quarter_turns * uniform();
    const auto q = static_cast<int>(turns + 0.5);  // 0 .. 4
    const double angle = (turns - static_cast<double>(q)) * quarter_turn;
    const double radius = std::sqrt(-2.0 * portable_log(u1));
    const double s = portable_sin(angle), c = portable_cos(angle);
    // cos and sin of the angle plus q quarter turns.
    double cosine = c, sine = s;
    switch (q & 3) {
    case 1: cosine = -s; sine = c; break;
    case 2: cosine = -c; sine = -s; break;
    case 3: cosine = s; sine = -c; break;
    default: break;
    }
    spare_ = radius * sine;
    has_spare_ = true;
    return radius * cosine;
}

// Lemire, "Fast random integer generation in an interval" (2019): the high
// word of w n, rejecting the few low words that would favour some values.
std::uint32_t ReplicateStream::below(std::uint32_t n)
{
    std::uint64_t product = static_cast<std::uint64_t>(word()) * n;
    auto low = static_cast<std::uint32_t>(product);
    if (low < n) {
        const std::uint32_t threshold = (0u - n) % n;
        while (low < threshold) {
            product = static_cast<std::uint64_t>(word()) * n;
            low = static_cast<std::uint32_t>(product);
        }
    }
    return static_cast<std::uint32_t>(product >> 32);
}
