// Cost per vector-evaluation of the production cost, cost_no_offset, with
// each value kernel in turn: exact (the reference path, model_value, for
// every vector), scalar and AVX2 (certified fast values with the exact-path
// fallback). All run in one process on the same data, so the exact kernel
// is the baseline of the same run; no second, exact-only build is needed.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "fit/fit.h"

namespace {

// The tensor the observed values come from.
constexpr double true_angles[3] = {0.6, 1.1, -0.4};
constexpr double true_da = -9.0;
constexpr double true_dr = 1.5 * -9.0 * 0.35;
constexpr double noise_sd = 0.8;

// The cost is timed at a ring of points around the tensor, one after the
// other, as a fit moves between evaluations: with one fixed point the
// branch predictor would learn the C library's branches for small N and
// flatter the exact path. A prime count lines up with no N.
constexpr int point_count = 61;
constexpr double angle_spread = 0.05;  // radians
constexpr double magnitude_spread = 0.5;

using Params = std::vector<sfloat>;  // p[0..6], p[0] unused

// N random directions (Gaussian components, so lengths vary too), their
// observed values, the row table and narrowed components FitState reads,
// the points and the exact cost at each.
struct Data {
    std::vector<double> xyz;
    std::vector<const double*> rows;
    std::vector<double> observed;
    std::vector<float> narrowed;  // x run, y run, z run, as a fit makes them once
    std::vector<Params> points;
    std::vector<uint32_t> reference_bits;  // exact kernel's cost at each point
    long long declined = 0;  // values the fast path sends to the exact path, per ring
};

uint32_t float_bits(sfloat value)
{
    const float f = value.as_float();
    uint32_t out;
    std::memcpy(&out, &f, sizeof out);
    return out;
}

void install(const Data& data)
{
    fit_state().rows = data.rows.data();
    fit_state().count = static_cast<int>(data.rows.size());
    fit_state().observed = data.observed.data();
    fit_state().narrowed = data.narrowed.data();
    fit_state().error = 1.0;
    fit_state().offset = 0.0;
}

std::vector<Params> make_points()
{
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<Params> points;
    for (int j = 0; j < point_count; ++j) {
        Params p(param_count + 1, sfloat(0.0));
        p[param_a1] = true_angles[0] + angle_spread * unit(rng);
        p[param_a2] = true_angles[1] + angle_spread * unit(rng);
        p[param_a3] = true_angles[2] + angle_spread * unit(rng);
        p[param_da] = true_da + magnitude_spread * unit(rng);
        p[param_dr] = true_dr + magnitude_spread * unit(rng);
        points.push_back(p);
    }
    return points;
}

std::unique_ptr<Data> make_data(int n)
{
    auto data = std::make_unique<Data>();
    const auto count = static_cast<size_t>(n);
    std::mt19937_64 rng(20240601u + static_cast<uint64_t>(n));
    std::normal_distribution<double> normal(0.0, 1.0);
    data->xyz.resize(3 * count);
    for (double& v : data->xyz) v = normal(rng);
    data->rows.resize(count);
    for (size_t i = 0; i < count; ++i) data->rows[i] = &data->xyz[3 * i];
    data->narrowed.resize(3 * count);
    for (size_t i = 0; i < count; ++i) {
        for (size_t c = 0; c < 3; ++c) {
            data->narrowed[c * count + i] = static_cast<float>(data->xyz[3 * i + c]);
        }
    }

    const Rotation truth = rotation_from_angles(true_angles[0], true_angles[1], true_angles[2]);
    data->observed.resize(count);
    for (size_t i = 0; i < count; ++i) {
        data->observed[i] = double(model_value(truth, data->rows[i], true_da, true_dr, 0.0)) +
                            noise_sd * normal(rng);
    }

    data->points = make_points();
    install(*data);
    const ValueKernel active = active_value_kernel();
    use_value_kernel(ValueKernel::exact);
    for (const Params& p : data->points) {
        data->reference_bits.push_back(float_bits(cost_no_offset(p.data())));
        const Rotation rot = rotation_from_angles(p[param_a1], p[param_a2], p[param_a3]);
        const double bound = fast_value_bound(p[param_da], p[param_dr], 0.0);
        for (size_t i = 0; i < count; ++i) {
            sfloat value;
            if (!model_value_certified(rot, data->rows[i], p[param_da], p[param_dr], 0.0,
                                       bound, value)) {
                ++data->declined;
            }
        }
    }
    use_value_kernel(active);
    return data;
}

// Data sets are made once per N and kept: Google Benchmark calls each
// function several times (repetitions, iteration-count probing).
const Data& data_for(int n)
{
    static std::map<int, std::unique_ptr<Data>> cache;
    auto& slot = cache[n];
    if (!slot) slot = make_data(n);
    return *slot;
}

// Whether the kernel gives the exact kernel's cost bits at every point of
// the ring; checked once per kernel and N.
bool kernel_agrees(ValueKernel kernel, int n, const Data& data)
{
    static std::map<std::pair<int, int>, bool> checked;
    const auto key = std::make_pair(static_cast<int>(kernel), n);
    const auto found = checked.find(key);
    if (found != checked.end()) return found->second;
    const ValueKernel active = active_value_kernel();
    use_value_kernel(kernel);
    bool agrees = true;
    for (size_t j = 0; j < data.points.size(); ++j) {
        agrees = agrees &&
                 float_bits(cost_no_offset(data.points[j].data())) == data.reference_bits[j];
    }
    use_value_kernel(active);
    checked[key] = agrees;
    return agrees;
}

void report(benchmark::State& state, const Data& data, bool active)
{
    const auto n = static_cast<int64_t>(data.rows.size());
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["vectors"] = static_cast<double>(n);
    state.counters["declined"] =
        static_cast<double>(data.declined) / static_cast<double>(point_count);
    state.counters["active"] = active ? 1.0 : 0.0;
    // Seconds per vector-evaluation; the JSON carries it unscaled.
    state.counters["per_vector"] =
        benchmark::Counter(static_cast<double>(state.iterations() * n),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void cost_with_kernel(benchmark::State& state, ValueKernel kernel)
{
    if (!value_kernel_available(kernel)) {
        state.SkipWithError("kernel not available on this processor");
        return;
    }
    const int n = static_cast<int>(state.range(0));
    const Data& data = data_for(n);
    install(data);
    // A kernel that computes another cost is not worth timing.
    if (!kernel_agrees(kernel, n, data)) {
        state.SkipWithError("kernel's cost differs from the exact path's");
        return;
    }
    const ValueKernel active = active_value_kernel();
    use_value_kernel(kernel);
    size_t j = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cost_no_offset(data.points[j].data()));
        j = j + 1 == data.points.size() ? 0 : j + 1;
    }
    use_value_kernel(active);
    report(state, data, kernel == active);
}

void cost_exact(benchmark::State& state)
{
    cost_with_kernel(state, ValueKernel::exact);
}

void cost_scalar(benchmark::State& state)
{
    cost_with_kernel(state, ValueKernel::scalar);
}

void cost_pairs(benchmark::State& state)
{
    cost_with_kernel(state, ValueKernel::pairs);
}

void cost_avx2(benchmark::State& state)
{
    cost_with_kernel(state, ValueKernel::avx2);
}

// The cost's serial part alone: the running float sum, narrowed after
// every addition in row order, over N squares. No kernel can take a cost
// evaluation below this latency chain.
void serial_sum(benchmark::State& state)
{
    const Data& data = data_for(static_cast<int>(state.range(0)));
    std::vector<double> squares(data.observed.size());
    for (size_t i = 0; i < squares.size(); ++i) {
        squares[i] = data.observed[i] * data.observed[i];
    }
    for (auto _ : state) {
        sfloat sum = 0.0;
        for (const double square : squares) sum = sum + square;
        benchmark::DoNotOptimize(sum);
    }
    report(state, data, false);
}

}  // namespace

BENCHMARK(serial_sum)->Arg(100)->Arg(1000)->Arg(100000)->MinTime(0.2);
BENCHMARK(cost_exact)->Arg(100)->Arg(1000)->Arg(100000)->MinTime(0.2);
BENCHMARK(cost_scalar)->Arg(100)->Arg(1000)->Arg(100000)->MinTime(0.2);
BENCHMARK(cost_pairs)->Arg(100)->Arg(1000)->Arg(100000)->MinTime(0.2);
BENCHMARK(cost_avx2)->Arg(100)->Arg(1000)->Arg(100000)->MinTime(0.2);

BENCHMARK_MAIN();
