// The shanten solver: the two distance tables in memory, the shared instance,
// and the computation over them. Nothing here knows about Python.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "hand.hpp"
#include "kernel.hpp"
#include "lazy.hpp"
#include "panic.hpp"
#include "rows.hpp"

namespace tilewise {

// The rows of a hand's four groups: three suits, then the honours.
struct Rows {
    const uint8_t* first;
    const uint8_t* second;
    const uint8_t* third;
    const uint8_t* honours;
};

struct Solver {
    Kernel kernel;  // chosen first: a wrong kernel name stops before the parse
    Table suit;     // 5^9 rows, for each of the three numbered suits
    Table honour;   // 5^7 rows, for the honours

    // Chooses the kernel (the fastest one, or the one named: a testing aid)
    // and parses both embedded table texts; panics if the name is not a
    // usable kernel or either text fails to parse. With no name this is the
    // solver's only constructor ("Solver::new").
    explicit Solver(std::string_view kernel_name = {});

    // The shanten number of the hand in `hand` (positions 0..33, each read
    // once) when `fixed_melds` melds are already outside it: -1 complete,
    // 0 ready, ...
    int32_t shanten(const HandView& hand, size_t fixed_melds) const;

    // The same in steps, so that a caller can check the tile total between
    // them. fetch_rows: the rows of the common hand, 34 counts of at most 4,
    // fetched from memory while the caller goes on (false for any other
    // counts; never panics). rows: the rows of any counts, stopping at the
    // first group that is too short or holds a count above 4 (it takes the
    // counts by value, so that a caller's stay in registers on its other
    // paths). Then the shanten number from the rows.
    bool fetch_rows(const Counts& counts, Rows& rows) const;
    Rows rows(Counts counts) const;
    int32_t shanten(const Rows& rows, size_t fixed_melds) const;
};

TILEWISE_INLINE bool Solver::fetch_rows(const Counts& counts, Rows& rows) const {
    size_t index[4];
    if (!row_indices(counts, index) || (std::max({index[0], index[1], index[2]}) + 1) * kRowWidth > suit.size ||
        (index[3] + 1) * kRowWidth > honour.size)
        return false;
    // The ids are the loads that may miss the cache; the distinct rows they
    // name are a few KB that stay in it.
    rows = {suit.row(index[0]), suit.row(index[1]), suit.row(index[2]), honour.row(index[3])};
    return true;
}

TILEWISE_INLINE int32_t Solver::shanten(const Rows& rows, size_t fixed_melds) const {
    // More fixed melds than a hand has room for.
    if (fixed_melds > kMaxFixedMelds) panic("ndarray: index out of bounds");
    return kernel(rows.first, rows.second, rows.third, rows.honours, kMaxFixedMelds - fixed_melds);
}

// The one solver of the process, built by the first call that needs it.
extern Lazy<Solver> SOLVER;

// Makes every fork of the process wait for a build of SOLVER in progress, so
// that the child can always compute. Once per process, before any build.
void wait_for_the_build_at_fork();

}  // namespace tilewise
