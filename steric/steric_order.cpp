// The weighted average over orientations, block by block over threads.
// Every block's sums are kept apart and added in block order at the end, so
// the result does not depend on which thread took which block.
#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#include "steric/steric.h"

namespace {

// n n^T as xx, yy, zz, xy, xz, yz.
constexpr int pair_terms = 6;
const int pair_first[pair_terms] = {0, 1, 2, 0, 0, 1};
const int pair_second[pair_terms] = {0, 1, 2, 1, 2, 2};

// One block's sums: of the weights, of w n n^T and of n n^T.
struct BlockSums {
    double weight = 0.0;
    double weighted[pair_terms] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    double plain[pair_terms] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
};

struct Shared {
    StericAtoms atoms;
    StericMedium medium;
    std::size_t orientations;
    std::vector<BlockSums>* blocks;
    std::atomic<std::size_t> next{0};
};

double weight_of(const Shared& shared, const double n[3])
{
    if (shared.medium.shape == StericShape::wall) {
        return wall_weight(shared.atoms, n, shared.medium.spacing);
    }
    return cylinder_weight(shared.atoms, n, shared.medium);
}

void sum_block(const Shared& shared, std::size_t block)
{
    BlockSums sums;
    const std::size_t first = block * steric_block;
    const std::size_t last = std::min(first + steric_block, shared.orientations);
    for (std::size_t k = first; k < last; ++k) {
        double n[3];
        sphere_point(k, shared.orientations, n);
        const double w = weight_of(shared, n);
        sums.weight += w;
        for (int t = 0; t < pair_terms; ++t) {
            const double nn = n[pair_first[t]] * n[pair_second[t]];
            sums.weighted[t] += w * nn;
            sums.plain[t] += nn;
        }
    }
    (*shared.blocks)[block] = sums;
}

void take_blocks(Shared* shared)
{
    const std::size_t count = shared->blocks->size();
    for (;;) {
        const std::size_t block = shared->next.fetch_add(1);
        if (block >= count) {
            return;
        }
        sum_block(*shared, block);
    }
}

// The uniform average of 3/2 n n^T - 1/2 I is zero, so subtracting the mean
// weight from every weight changes nothing but the sampling error: a
// molecule whose weights are all alike then gets exactly zero, not the
// small anisotropy of a finite set of directions.
StericOrder ordered_total(const std::vector<BlockSums>& blocks, std::size_t orientations)
{
    BlockSums total;
    for (const BlockSums& b : blocks) {
        total.weight += b.weight;
        for (int t = 0; t < pair_terms; ++t) {
            total.weighted[t] += b.weighted[t];
            total.plain[t] += b.plain[t];
        }
    }
    StericOrder out{};
    if (!(total.weight > 0.0)) {
        return out;  // nothing fits: zero order and nothing allowed
    }
    const double mean = total.weight / static_cast<double>(orientations);
    out.allowed = mean;
    for (int t = 0; t < pair_terms; ++t) {
        const double term = 1.5 * (total.weighted[t] - mean * total.plain[t]) / total.weight;
        out.order[pair_first[t]][pair_second[t]] = term;
        out.order[pair_second[t]][pair_first[t]] = term;
    }
    return out;
}

}  // namespace

StericOrder steric_order(const StericAtoms& atoms, const StericMedium& medium,
                         std::size_t orientations, int workers)
{
    std::vector<double> x(atoms.count);
    std::vector<double> y(atoms.count);
    std::vector<double> z(atoms.count);
    centred(atoms, x.data(), y.data(), z.data());
    std::vector<BlockSums> blocks((orientations + steric_block - 1) / steric_block);
    Shared shared;
    shared.atoms = {x.data(), y.data(), z.data(), atoms.radius, atoms.count};
    shared.medium = medium;
    shared.orientations = orientations;
    shared.blocks = &blocks;
    std::vector<std::thread> threads;
    const int helpers = std::min(std::max(workers, 1), max_steric_workers) - 1;
    threads.reserve(static_cast<std::size_t>(helpers));
    for (int t = 0; t < helpers; ++t) {
        try {
            threads.emplace_back(take_blocks, &shared);
        } catch (const std::system_error&) {
            break;  // no thread to be had: the others take its share
        }
    }
    take_blocks(&shared);
    for (std::thread& thread : threads) {
        thread.join();
    }
    return ordered_total(blocks, orientations);
}
