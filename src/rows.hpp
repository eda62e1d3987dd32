// The shape of a hand and of its distance rows, and a table of rows: what
// the parse, the kernels and the solver all build on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "panic.hpp"

// The hot paths' helpers must inline into one block with their values in
// registers; out of line, they keep them in memory and run at half speed.
#if defined(__GNUC__)
#define TILEWISE_INLINE inline __attribute__((always_inline))
#else
#define TILEWISE_INLINE inline
#endif

namespace tilewise {

constexpr size_t kTileKinds = 34;
constexpr size_t kSuitTiles = 9;
constexpr size_t kHonourTiles = 7;
constexpr size_t kHonourStart = 27;
constexpr size_t kRowWidth = 10;   // k melds (k = 0..4), then k melds and a pair
constexpr size_t kPairOffset = 5;
constexpr unsigned kMaxCount = 4;  // copies of one tile
constexpr size_t kMaxFixedMelds = 4;

// A kernel may read this many bytes from a row's start: one vector register.
constexpr size_t kRowLoad = 16;

// Rows per table that one-byte row ids can name. The suit table has 126
// distinct rows and the honour table 55.
constexpr size_t kMaxDistinctRows = 256;

// One table, each distinct row held once. Row r is the distinct row that
// ids[r] names; only rows that the entries fill have an id. Each distinct
// row is padded with zeros to kRowLoad bytes, so that a kernel's load from
// its start stays inside it. `size` counts the entries parsed, a partial
// last row included: it is what the bounds checks use.
struct Table {
    std::unique_ptr<uint8_t[]> ids;       // one per row, in row-index order
    std::unique_ptr<uint8_t[]> distinct;  // kRowLoad bytes per distinct row
    size_t distinct_rows = 0;
    size_t size = 0;

    // Row `index`, unchecked: for an index whose row the entries fill.
    TILEWISE_INLINE const uint8_t* row(size_t index) const { return &distinct[size_t{ids[index]} * kRowLoad]; }

    // Row `index`, or a panic if the entries do not fill it.
    const uint8_t* checked_row(size_t index) const {
        const size_t start = index * kRowWidth;
        if (start + kRowWidth > size) {
            if (start > size) panic("assertion failed: start <= axis_len");
            panic("assertion failed: end <= axis_len");
        }
        return row(index);
    }
};

}  // namespace tilewise
