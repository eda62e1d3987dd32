#include "solver.hpp"

#include <algorithm>
#include <new>
#include <string>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "panic.hpp"
#include "parse.hpp"
#include "tables.hpp"

namespace tilewise {

Lazy<Solver> SOLVER;

// Why a fork that waits for the build cannot deadlock. On a free-threaded
// build os.fork() first stops every thread attached to the interpreter,
// then forks, and these handlers run on the forking thread while the others
// are stopped. The builder is detached for the whole build, calls nothing
// in Python, and releases the guard's lock before it attaches again, so it
// always ends the build; threads waiting for the build are detached too and
// hold nothing. Under a GIL the builder holds the GIL for the whole build,
// so no Python thread can fork meanwhile. Windows has no fork.
void wait_for_the_build_at_fork() {
#if !defined(_WIN32)
    if (pthread_atfork([] { SOLVER.hold_for_fork(); }, [] { SOLVER.release_after_fork(); },
                       [] { SOLVER.release_after_fork(); }) != 0)
        throw std::bad_alloc();  // Its one failure is a lack of memory for the handlers.
#endif
}

Solver::Solver(std::string_view kernel_name)
    : kernel(choose_kernel(kernel_name)),
      suit(parse_embedded_table(suit_table_text())),
      honour(parse_embedded_table(honour_table_text())) {}

// --- The rows of any counts ---------------------------------------------------

namespace {

constexpr size_t kSuitStarts[] = {0, kSuitTiles, 2 * kSuitTiles};

// The counts a call read. Only the first `length` of them come from the
// view; a group that reaches past them is out of bounds.
struct ReadCounts {
    uint8_t counts[kTileKinds];
    size_t length;
};

[[noreturn]] void count_above_four(const ReadCounts& read, size_t start, size_t tiles) {
    for (size_t i = start; i < start + tiles; ++i) {
        const unsigned c = read.counts[i];
        if (c > kMaxCount)
            panic("hand[" + std::to_string(i) + "] = " + std::to_string(c) + ": a tile count must be 0 to 4");
    }
    panic("a tile count above 4 vanished while it was reported");
}

// The row index of the group of `Tiles` counts at positions start.., read as
// a base-5 number, first position most significant. Panics if the view ends
// before the group does, or if a count exceeds 4.
template <size_t Tiles>
size_t group_index(const ReadCounts& read, size_t start) {
    if (read.length < start + Tiles) panic("ndarray: index out of bounds");
    size_t index = 0;
    unsigned largest = 0;
    for (size_t j = start; j < start + Tiles; ++j) {
        largest = std::max<unsigned>(largest, read.counts[j]);
        index = index * (kMaxCount + 1) + read.counts[j];
    }
    if (largest > kMaxCount) count_above_four(read, start, Tiles);
    return index;
}

// The rows of any counts. Each group is checked and looked up in turn, so
// that the first failing check is the one that stops the call.
Rows checked_rows(const Table& suit, const Table& honour, const ReadCounts& read) {
    const uint8_t* first = suit.checked_row(group_index<kSuitTiles>(read, kSuitStarts[0]));
    const uint8_t* second = suit.checked_row(group_index<kSuitTiles>(read, kSuitStarts[1]));
    const uint8_t* third = suit.checked_row(group_index<kSuitTiles>(read, kSuitStarts[2]));
    return {first, second, third, honour.checked_row(group_index<kHonourTiles>(read, kHonourStart))};
}

}  // namespace

Rows Solver::rows(Counts counts) const {
    Rows rows;
    if (fetch_rows(counts, rows)) return rows;
    ReadCounts read;
    store_counts(counts, read.counts);
    read.length = counts.length;
    return checked_rows(suit, honour, read);
}

}  // namespace tilewise
