// One-based single-precision storage and the kit's fatal error report.
#include "numkit/numkit.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// The most elements of type T that one block may hold: its size in bytes must
// stay a valid pointer difference.
template <typename T>
constexpr long long max_block_elements =
    static_cast<long long>(PTRDIFF_MAX / static_cast<std::ptrdiff_t>(sizeof(T)));

// A heap block of count elements, or null when count is not positive, is too
// large to address, or the heap refuses it. Counts arrive as long long so
// that no caller computes them in int.
template <typename T>
T* allocate_block(long long count) {
    if (count < 1 || count > max_block_elements<T>) return nullptr;
    return static_cast<T*>(std::malloc(static_cast<std::size_t>(count) * sizeof(T)));
}

}  // namespace

sfloat* vector(int lo, int hi) {
    // hi - lo + 2 overflows int for the widest ranges; a range with
    // hi < lo - 1 gives a count below 1 and fails like a refused request.
    const long long count = static_cast<long long>(hi) - lo + 2;
    sfloat* block = allocate_block<sfloat>(count);
    if (block == nullptr) run_error("allocation failure in vector()", KitFailureKind::memory);
    // Block position 0 is the spare, so index lo lands on position 1.
    return block - (static_cast<std::ptrdiff_t>(lo) - 1);
}

void vector_release(sfloat* v, int lo, int /*hi: the block is found from lo*/) {
    std::free(v + (static_cast<std::ptrdiff_t>(lo) - 1));
}

sfloat** matrix(int rlo, int rhi, int clo, int chi) {
    const long long rows = static_cast<long long>(rhi) - rlo + 1;
    const long long cols = static_cast<long long>(chi) - clo + 1;

    // Row references, spare first. A matrix without rows still gets row
    // rlo's slot: it holds the element block, where matrix_release finds it.
    sfloat** table = nullptr;
    if (rows >= 0) table = allocate_block<sfloat*>((rows > 0 ? rows : 1) + 1);
    if (table == nullptr) run_error("allocation failure 1 in matrix()", KitFailureKind::memory);

    // All elements in one row-major block, spare first. The bound on rows is
    // checked before rows * cols is formed, so the product cannot overflow.
    sfloat* block = nullptr;
    if (cols >= 0 && (cols == 0 || rows <= (max_block_elements<sfloat> - 1) / cols))
        block = allocate_block<sfloat>(rows * cols + 1);
    if (block == nullptr) {
        std::free(table);  // a failure thrown to the caller must leave nothing behind
        run_error("allocation failure 2 in matrix()", KitFailureKind::memory);
    }

    // Row rlo's column clo is block position 1; each row follows the last.
    table[1] = block - (static_cast<std::ptrdiff_t>(clo) - 1);
    for (long long i = 2; i <= rows; ++i)
        table[i] = table[i - 1] + static_cast<std::ptrdiff_t>(cols);
    return table - (static_cast<std::ptrdiff_t>(rlo) - 1);
}

void matrix_release(sfloat** m, int rlo, int /*rhi*/, int clo, int /*chi*/) {
    std::free(m[rlo] + (static_cast<std::ptrdiff_t>(clo) - 1));
    std::free(m + (static_cast<std::ptrdiff_t>(rlo) - 1));
}

namespace {
thread_local bool failures_throw = false;
}  // namespace

KitFailuresThrow::KitFailuresThrow() : previous_(failures_throw) { failures_throw = true; }
KitFailuresThrow::~KitFailuresThrow() { failures_throw = previous_; }

void run_error(const char* message, KitFailureKind kind) {
    if (failures_throw) throw KitFailure{kind, message};
    // Three plain writes and no buffer to build: this runs when the heap may
    // be exhausted.
    std::fputs("Quorvel run-time error...\n", stderr);
    std::fprintf(stderr, "%s\n", message);
    std::fputs("...now exiting to system...\n", stderr);
    std::exit(1);
}
