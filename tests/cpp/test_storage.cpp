// One-based storage and the fatal error report.
#include "numkit/numkit.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <string>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef __linux__
#include <sys/resource.h>
#endif

namespace {

// The whole of stderr for a fatal report of message (a regex).
std::string fatal_report(const std::string& message) {
    return "^Quorvel run-time error\\.\\.\\.\n" + message +
           "\n\\.\\.\\.now exiting to system\\.\\.\\.\n$";
}

}  // namespace

// Every position from the spare to hi is written: under ASan a block that is
// shifted or short traps, and a release that misses the block start aborts.
TEST(Vector, SpareThenLoThroughHiFillExactlyOneBlock) {
    const int ranges[][2] = {{1, 6}, {1, 1}, {1, 0}, {-2, 3}};
    for (const auto& range : ranges) {
        const int lo = range[0], hi = range[1];
        sfloat* v = vector(lo, hi);
        for (int i = lo - 1; i <= hi; ++i) v[i] = i;
        for (int i = lo - 1; i <= hi; ++i) EXPECT_EQ(v[i].as_float(), i);
#ifdef __GLIBC__
        EXPECT_GE(malloc_usable_size(&v[lo - 1]),
                  static_cast<std::size_t>(hi - lo + 2) * sizeof(float));
#endif
        vector_release(v, lo, hi);
    }
}

TEST(Matrix, RowsFollowEachOtherInOneBlockAfterASpare) {
    const int shapes[][4] = {{1, 6, 1, 6}, {0, 2, -1, 3}};
    for (const auto& s : shapes) {
        const int rlo = s[0], rhi = s[1], clo = s[2], chi = s[3];
        const int ncol = chi - clo + 1;
        sfloat** m = matrix(rlo, rhi, clo, chi);
        sfloat* first = &m[rlo][clo];
        for (int i = rlo; i <= rhi; ++i)
            for (int j = clo; j <= chi; ++j)
                EXPECT_EQ(&m[i][j], first + (i - rlo) * ncol + (j - clo));
        for (int k = -1; k < (rhi - rlo + 1) * ncol; ++k) first[k] = k;
        matrix_release(m, rlo, rhi, clo, chi);
    }
}

TEST(StorageDeathTest, RunErrorWritesThreeLinesAndExitsWithStatus1) {
    EXPECT_EXIT(run_error("gauge lost"), testing::ExitedWithCode(1),
                fatal_report("gauge lost"));
}

TEST(StorageDeathTest, ImpossibleRangesEndTheProcess) {
    const std::string vector_failure = fatal_report("allocation failure in vector\\(\\)");
    EXPECT_EXIT(vector(1, -1), testing::ExitedWithCode(1), vector_failure);
    // hi - lo overflows int here; counted wide, the range is simply negative.
    EXPECT_EXIT(vector(INT_MAX, INT_MIN), testing::ExitedWithCode(1), vector_failure);
    EXPECT_EXIT(matrix(1, -1, 1, 6), testing::ExitedWithCode(1),
                fatal_report("allocation failure 1 in matrix\\(\\)"));
    EXPECT_EXIT(matrix(1, 6, 1, -1), testing::ExitedWithCode(1),
                fatal_report("allocation failure 2 in matrix\\(\\)"));
}

TEST(StorageDeathTest, RefusedHeapRequestEndsTheProcess) {
#ifdef __linux__
    // 8 GiB asked of a process allowed 1 GiB of address space.
    auto starved = [] {
        const rlimit cap{rlim_t{1} << 30, rlim_t{1} << 30};
        setrlimit(RLIMIT_AS, &cap);
        vector(1, INT_MAX - 1);
    };
    EXPECT_EXIT(starved(), testing::ExitedWithCode(1),
                fatal_report("allocation failure in vector\\(\\)"));
#else
    GTEST_SKIP() << "needs setrlimit to make the heap refuse";
#endif
}
