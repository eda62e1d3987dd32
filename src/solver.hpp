// The shanten solver: the two distance tables in memory, the shared instance,
// and the computation over them. Nothing here knows about Python.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernel.hpp"
#include "lazy.hpp"
#include "rows.hpp"

namespace tilewise {

// A read-only view of a caller's counts: entry k is at first[k * stride].
// The stride counts elements and may be negative or zero.
struct HandView {
    const uint8_t* first;
    size_t length;
    ptrdiff_t stride;
};

// The rows of a hand's four groups: three suits, then the honours.
struct Rows {
    const uint8_t* first;
    const uint8_t* second;
    const uint8_t* third;
    const uint8_t* honours;
};

struct Solver {
    Kernel kernel;  // chosen first: a wrong TILEWISE_KERNEL stops before the parse
    Table suit;     // 5^9 rows, for each of the three numbered suits
    Table honour;   // 5^7 rows, for the honours

    // Chooses the kernel and parses both embedded table texts; panics if
    // either text fails to parse.
    // This is the solver's only constructor ("Solver::new").
    Solver();

    // The shanten number of the hand in `hand` (positions 0..33) when
    // `fixed_melds` melds are already outside it: -1 complete, 0 ready, ...
    int32_t shanten(const HandView& hand, size_t fixed_melds) const;

    // The same in two steps, for the common hand, so that its rows are on
    // their way from memory while the caller does other work: the rows of a
    // view of stride 1 and at least 34 counts, all at most 4 (false for any
    // other view; never panics), then the shanten number from them.
    bool fetch_rows(const HandView& hand, Rows& rows) const;
    int32_t shanten(const Rows& rows, size_t fixed_melds) const;
};

// The one solver of the process, built by the first call that needs it.
extern Lazy<Solver> SOLVER;

}  // namespace tilewise
