// One whole fit without offset, as c_kf_fdc runs it, on data files written
// by bench/report.py, counting the cost evaluations the fit makes.
//
//     kelfit_fit_count DIR [REPEATS]
//
// DIR holds vectors.f64 (N x 3), observed.f64 (N) and start.f64 (a1, a2, a3,
// Da, R, offset), all raw little-endian float64. Prints one JSON object: N,
// evaluations, Powell runs, the seconds of each repeat and the fitted
// parameters, which report.py compares with the module's own fit of the
// same data, so that the count belongs to the fit that was timed.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "fit/fit.h"

namespace {

long long evaluations = 0;

sfloat counting_cost(const sfloat* p)
{
    ++evaluations;
    return cost_no_offset(p);
}

bool read_doubles(const std::string& path, std::vector<double>& out)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "kelfit_fit_count: cannot open %s\n", path.c_str());
        return false;
    }
    std::vector<double> values;
    double buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, sizeof(double), 4096, file)) > 0) {
        values.insert(values.end(), buffer, buffer + got);
    }
    std::fclose(file);
    out.swap(values);
    return true;
}

struct Outcome {
    long long evaluations;
    int runs;
    double seconds;
    double params[param_count];
};

Outcome fit_once(const std::vector<const double*>& rows, const std::vector<double>& observed,
                 const std::vector<double>& start)
{
    Outcome outcome{};
    for (int i = 0; i < param_count; ++i) outcome.params[i] = start[static_cast<size_t>(i)];

    const auto began = std::chrono::steady_clock::now();
    // The components narrowed once, side by side, as the fit entry makes them.
    const size_t count = rows.size();
    std::vector<float> narrowed(3 * count);
    for (size_t i = 0; i < count; ++i) {
        for (size_t c = 0; c < 3; ++c) narrowed[c * count + i] = static_cast<float>(rows[i][c]);
    }
    fit_state().rows = rows.data();
    fit_state().count = static_cast<int>(count);
    fit_state().observed = observed.data();
    fit_state().narrowed = narrowed.data();
    alloc_fit_work();
    fit_state().offset = 0.0;
    fit_state().error = 1.0;
    fit_state().cost_limit = fit_cost_limit;
    start_directions(fit_state().directions);
    load_start(fit_state().params, outcome.params);
    evaluations = 0;
    outcome.runs = run_fit(param_count - 1, counting_cost);
    store_result(fit_state().params, outcome.params);
    fit_work_release();
    fit_state().narrowed = nullptr;
    const auto ended = std::chrono::steady_clock::now();

    outcome.evaluations = evaluations;
    outcome.seconds = std::chrono::duration<double>(ended - began).count();
    return outcome;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: kelfit_fit_count DIR [REPEATS]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int repeats = argc == 3 ? std::stoi(argv[2]) : 1;
    std::vector<double> xyz, observed, start;
    if (!read_doubles(dir + "/vectors.f64", xyz) ||
        !read_doubles(dir + "/observed.f64", observed) ||
        !read_doubles(dir + "/start.f64", start)) {
        return 1;
    }
    if (xyz.size() != 3 * observed.size() || observed.empty() ||
        start.size() != static_cast<size_t>(param_count) || repeats < 1) {
        std::fprintf(stderr, "kelfit_fit_count: inconsistent data in %s\n", dir.c_str());
        return 1;
    }
    std::vector<const double*> rows(observed.size());
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = &xyz[3 * i];

    std::vector<Outcome> outcomes;
    for (int r = 0; r < repeats; ++r) outcomes.push_back(fit_once(rows, observed, start));

    const Outcome& first = outcomes.front();
    std::printf("{\"n\": %zu, \"evaluations\": %lld, \"runs\": %d, \"seconds\": [", rows.size(),
                first.evaluations, first.runs);
    for (size_t r = 0; r < outcomes.size(); ++r) {
        std::printf("%s%.9g", r == 0 ? "" : ", ", outcomes[r].seconds);
    }
    std::printf("], \"params\": [");
    for (int i = 0; i < param_count; ++i) {
        std::printf("%s%.17g", i == 0 ? "" : ", ", first.params[i]);
    }
    std::printf("]}\n");
    return 0;
}
