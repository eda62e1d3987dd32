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

// The module computes a hand's shanten number in steps of its own, not
// through one call here. It reads the counts once, checks the tile total,
// then takes the rows and the shanten number from them. The total decides
// the fixed melds and is refused before any count is, and before the first
// call builds the tables; the common hand's rows are on their way from
// memory while it is checked. A single entry point taking the hand would
// have to carry the module's rule for the total, and out of line it took
// twice as long per hand as the steps inline.
struct Solver {
    // The kernel is chosen first, so that a wrong kernel name stops the
    // build before the parse.
    Kernel kernel;
    Table suit;     // 5^9 rows, for each of the three numbered suits
    Table honour;   // 5^7 rows, for the honours

    // Chooses the kernel, the fastest one unless a name is given (a testing
    // aid), and parses both embedded table texts. Panics if the name is not
    // a usable kernel or if either text fails to parse. With no name this is
    // the solver's only constructor ("Solver::new").
    explicit Solver(std::string_view kernel_name = {});

    // Fetches the rows of the common hand, 34 counts of at most 4 whose rows
    // the tables hold, so that they come from memory while the caller goes
    // on. Returns false for any other counts, and never panics.
    bool fetch_rows(const Counts& counts, Rows& rows) const;

    // Returns the rows of any counts, or panics at the first group that is
    // too short or holds a count above 4. It takes the counts by value, so
    // that a caller's stay in registers on its other paths.
    Rows rows(Counts counts) const;

    // Returns the shanten number of the hand whose rows these are, when
    // `fixed_melds` melds are already outside it: -1 complete, 0 ready, and
    // so on.
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
