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


// Philox4x32-10 of `count` blocks side by side, word by word (word w of
// every block in one run), so that the compiler can multiply several
// blocks' words at once and the processor overlap their rounds.
template <int count>
void philox_blocks(PhiloxBlock (&blocks)[count], const std::uint32_t (&key)[2])
{
    std::uint32_t x0[count], x1[count], x2[count], x3[count];
    for (int b = 0; b < count; ++b) {
        x0[b] = blocks[b].word[0];
        x1[b] = blocks[b].word[1];
        x2[b] = blocks[b].word[2];
        x3[b] = blocks[b].word[3];
    }
    std::uint32_t k0 = key[0], k1 = key[1];
    for (int round = 0; round < philox_rounds; ++round) {
        if (round > 0) {
            k0 += philox_bump_0;
            k1 += philox_bump_1;
        }
        for (int b = 0; b < count; ++b) {
            const std::uint64_t p0 = static_cast<std::uint64_t>(philox_multiplier_0) * x0[b];
            const std::uint64_t p1 = static_cast<std::uint64_t>(philox_multiplier_1) * x2[b];
            const auto high0 = static_cast<std::uint32_t>(p0 >> 32);
            const auto high1 = static_cast<std::uint32_t>(p1 >> 32);
            x0[b] = high1 ^ x1[b] ^ k0;
            x1[b] = static_cast<std::uint32_t>(p1);
            x2[b] = high0 ^ x3[b] ^ k1;
            x3[b] = static_cast<std::uint32_t>(p0);
        }
    }
    for (int b = 0; b < count; ++b) {
        blocks[b] = {{x0[b], x1[b], x2[b], x3[b]}};
    }
}

}  // namespace

PhiloxBlock philox4x32_10(const PhiloxBlock& counter, const std::uint32_t (&key)[2])
{
    PhiloxBlock x[1] = {counter};
    philox_blocks(x, key);
    return x[0];
}

ReplicateStream::ReplicateStream(const std::uint32_t (&key)[2], std::uint64_t replicate)
    : key_{key[0], key[1]}, replicate_(replicate)
{
}

std::uint32_t ReplicateStream::word()
{
    if (used_ == stream_buffer_words) {
        PhiloxBlock blocks[stream_buffer_blocks];
        for (int b = 0; b < stream_buffer_blocks; ++b) {
            const std::uint64_t block = block_ + static_cast<std::uint64_t>(b);
            blocks[b] = {{static_cast<std::uint32_t>(block), static_cast<std::uint32_t>(block >> 32),
                          static_cast<std::uint32_t>(replicate_),
                          static_cast<std::uint32_t>(replicate_ >> 32)}};
        }
        philox_blocks(blocks, key_);
        for (int b = 0; b < stream_buffer_blocks; ++b) {
            for (int w = 0; w < words_per_block; ++w) {
                words_[words_per_block * b + w] = blocks[b].word[w];
            }
        }
        block_ += stream_buffer_blocks;
        used_ = 0;
    }
    return words_[used_++];
}

double ReplicateStream::uniform()
{
    const std::uint64_t high = word();
    const std::uint64_t low = word();
    return static_cast<double>(((high << 32) | low) >> mantissa_shift) * uniform_step;
}

// Marsaglia's polar method: x and y uniform in [-1, 1) (multiples of
// 2^-52) until 0 < s = x^2 + y^2 < 1 (a share pi/4 of the draws), then x f
// and y f for f = sqrt(-2 log s / s). s >= 2^-104, so |x f|, |y f| and
// their radius sqrt(-2 log s) stay below sqrt(208 ln 2) = 12.007:
// normal_pair_radius_bound.
double ReplicateStream::normal()
{
    if (has_spare_) {
        has_spare_ = false;
        return spare_;
    }
    double x, y, s;
    do {
        x = 2.0 * uniform() - 1.0;
        y = 2.0 * uniform() - 1.0;
        s = x * x + y * y;
    } while (!(s < 1.0 && s > 0.0));
    const double factor = std::sqrt(-2.0 * portable_log(s) / s);
    spare_ = y * factor;
    has_spare_ = true;
    return x * factor;
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
