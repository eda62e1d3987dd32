// The shape of a hand and of its distance rows, and a table of rows: what
// the parse, the kernels and the solver all build on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

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

// One table: rows of kRowWidth entries, flat, in row-index order, then
// room for a kernel's load from the last row's start.
struct Table {
    std::unique_ptr<uint8_t[]> entries;
    size_t size = 0;
};

}  // namespace tilewise
