#include "solver.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#if defined(__x86_64__) && defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "panic.hpp"
#include "parse.hpp"
#include "tables.hpp"

namespace tilewise {

Lazy<Solver> SOLVER;

Solver::Solver()
    : kernel(choose_kernel()),
      suit(parse_embedded_table(suit_table_text())),
      honour(parse_embedded_table(honour_table_text())) {}

// --- The shanten number --------------------------------------------------------

namespace {

constexpr size_t kSuitStarts[] = {0, kSuitTiles, 2 * kSuitTiles};

[[noreturn]] void count_above_four(const HandView& hand, size_t start, size_t tiles) {
    for (size_t i = start; i < start + tiles; ++i) {
        const unsigned c = hand.first[static_cast<ptrdiff_t>(i) * hand.stride];
        if (c > kMaxCount)
            panic("hand[" + std::to_string(i) + "] = " + std::to_string(c) + ": a tile count must be 0 to 4");
    }
    panic("a tile count above 4 vanished while it was reported");
}

// The row index of the group of `Tiles` counts at positions start.., read as
// a base-5 number, first position most significant. Panics if the view ends
// before the group does, or if a count exceeds 4.
template <size_t Tiles>
TILEWISE_INLINE size_t group_index(const HandView& hand, size_t start) {
    if (hand.length < start + Tiles) panic("ndarray: index out of bounds");
    const ptrdiff_t stride = hand.stride;
    const uint8_t* p = hand.first + static_cast<ptrdiff_t>(start) * stride;
    // Each digit times its own power rather than Horner's rule: the products
    // are independent, so the index is not one long chain of dependent steps.
    constexpr size_t kPowers[] = {390625, 78125, 15625, 3125, 625, 125, 25, 5, 1};
    static_assert(kPowers[7] == kMaxCount + 1 && Tiles <= std::size(kPowers), "powers of 5");
    size_t index = 0;
    unsigned largest = 0;
#pragma GCC unroll 9
    for (size_t j = 0; j < Tiles; ++j) {
        const unsigned c = p[static_cast<ptrdiff_t>(j) * stride];
        largest = std::max(largest, c);
        index += c * kPowers[std::size(kPowers) - Tiles + j];
    }
    if (largest > kMaxCount) count_above_four(hand, start, Tiles);
    return index;
}

// Row `index` of a table. With counts of at most 4 the check only fails for
// a damaged table.
TILEWISE_INLINE const uint8_t* row(const Table& table, size_t index) {
    const size_t start = index * kRowWidth;
    if (start + kRowWidth > table.size) {
        if (start > table.size) panic("assertion failed: start <= axis_len");
        panic("assertion failed: end <= axis_len");
    }
    return &table.entries[start];
}

// Any view: each group is read, checked and looked up in turn, so the
// first failing check is the one that stops the call.
__attribute__((noinline)) Rows strided_rows(const Table& suit, const Table& honour, const HandView& hand) {
    const uint8_t* first = row(suit, group_index<kSuitTiles>(hand, kSuitStarts[0]));
    const uint8_t* second = row(suit, group_index<kSuitTiles>(hand, kSuitStarts[1]));
    const uint8_t* third = row(suit, group_index<kSuitTiles>(hand, kSuitStarts[2]));
    return {first, second, third, row(honour, group_index<kHonourTiles>(hand, kHonourStart))};
}

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool kLittleEndian = true;
#else
constexpr bool kLittleEndian = false;
#endif

constexpr size_t kLeadRows = 390625;  // 5^8: rows per count of a suit's first tile

// Where the four rows of a view of stride 1 and at least 34 counts start,
// on a little-endian machine: a suit's row is its first count times 5^8
// plus its last eight counts read in base 5; the honours' eight bytes start
// with the last suit tile, cleared to a leading zero digit. The digits are
// paired, the pairs paired and the quads paired, each step one multiply
// and add on all lanes, and the row width comes in with the last one. False
// if a count is above 4.
#if defined(__x86_64__) && defined(__SSE2__)
TILEWISE_INLINE __m128i eight_digit_starts(__m128i words) {
    const __m128i pairs = _mm_add_epi16(_mm_mullo_epi16(_mm_and_si128(words, _mm_set1_epi16(0xFF)), _mm_set1_epi16(5)),
                                        _mm_srli_epi16(words, 8));
    const __m128i quads = _mm_madd_epi16(pairs, _mm_set1_epi32(static_cast<int>(kRowWidth << 16 | 25 * kRowWidth)));
    return _mm_add_epi64(_mm_mul_epu32(quads, _mm_set1_epi64x(625)), _mm_srli_epi64(quads, 32));
}

TILEWISE_INLINE __m128i load_eight(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
TILEWISE_INLINE __m128i load_sixteen(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

TILEWISE_INLINE bool contiguous_starts(const uint8_t* counts, size_t (&start)[4]) {
    static_assert(kTileKinds == 34 && kHonourStart - 1 == 26, "two registers of 16 counts and two overlaps");
    const __m128i all = _mm_max_epu8(_mm_max_epu8(load_sixteen(counts), load_sixteen(counts + 2)),
                                     load_sixteen(counts + 18));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(all, _mm_set1_epi8(kMaxCount)), _mm_setzero_si128())) != 0xFFFF)
        return false;
    const __m128i first = eight_digit_starts(_mm_unpacklo_epi64(load_eight(counts + 1), load_eight(counts + 10)));
    const __m128i second = eight_digit_starts(_mm_and_si128(
        _mm_unpacklo_epi64(load_eight(counts + 19), load_eight(counts + 26)), _mm_set_epi64x(~0xFF, -1)));
    start[0] = counts[0] * kLeadRows * kRowWidth + static_cast<size_t>(_mm_cvtsi128_si64(first));
    start[1] = counts[9] * kLeadRows * kRowWidth + static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(first, first)));
    start[2] = counts[18] * kLeadRows * kRowWidth + static_cast<size_t>(_mm_cvtsi128_si64(second));
    start[3] = static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(second, second)));
    return true;
}
#else
TILEWISE_INLINE uint64_t word_at(const uint8_t* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Nonzero if a byte of `word` is above 4: it reaches bit 7 when 123 is
// added, or has it set already; a carry out of a byte only follows a hit.
TILEWISE_INLINE uint64_t above_four(uint64_t word) {
    return ((word + 0x7B7B7B7B7B7B7B7B) | word) & 0x8080808080808080;
}

TILEWISE_INLINE uint64_t eight_digit_start(uint64_t word) {
    word = ((word * (1 + (uint64_t{5} << 8))) >> 8) & 0x00FF00FF00FF00FF;
    word = ((word * (1 + (uint64_t{25} << 16))) >> 16) & 0x0000FFFF0000FFFF;
    return (word * (kRowWidth + (uint64_t{625 * kRowWidth} << 32))) >> 32;
}

TILEWISE_INLINE bool contiguous_starts(const uint8_t* counts, size_t (&start)[4]) {
    const uint64_t low[3] = {word_at(counts + 1), word_at(counts + kSuitTiles + 1),
                             word_at(counts + 2 * kSuitTiles + 1)};
    const uint64_t honours = word_at(counts + kTileKinds - 8) & ~uint64_t{0xFF};
    static_assert(kTileKinds - 8 == kHonourStart - 1, "one suit tile before the honours");
    const uint64_t lead = counts[0] | counts[kSuitTiles] << 8 | counts[2 * kSuitTiles] << 16;
    if ((above_four(low[0]) | above_four(low[1]) | above_four(low[2]) | above_four(honours) | above_four(lead)) != 0)
        return false;
    for (size_t suit = 0; suit < 3; ++suit)
        start[suit] = (lead >> (8 * suit) & 0xFF) * kLeadRows * kRowWidth + eight_digit_start(low[suit]);
    start[3] = eight_digit_start(honours);
    return true;
}
#endif

// The rows of a view of stride 1 and at least 34 counts. False if a count
// is above 4 or a row is not in its table: the strided path then reads the
// hand again and stops at the right check.
TILEWISE_INLINE bool contiguous_rows(const Table& suit, const Table& honour, const uint8_t* counts, Rows& rows) {
    size_t start[4];
    if (!contiguous_starts(counts, start) ||
        std::max({start[0], start[1], start[2]}) + kRowWidth > suit.size || start[3] + kRowWidth > honour.size)
        return false;
    rows = {&suit.entries[start[0]], &suit.entries[start[1]], &suit.entries[start[2]], &honour.entries[start[3]]};
    return true;
}

}  // namespace

bool Solver::fetch_rows(const HandView& hand, Rows& rows) const {
    // Nearly every hand is a whole array of its own: 34 counts, stride 1.
    if (!(kLittleEndian && hand.stride == 1 && hand.length >= kTileKinds &&
          contiguous_rows(suit, honour, hand.first, rows)))
        return false;
    for (const uint8_t* row : {rows.first, rows.second, rows.third, rows.honours}) __builtin_prefetch(row);
    return true;
}

int32_t Solver::shanten(const Rows& rows, size_t fixed_melds) const {
    // More fixed melds than a hand has room for.
    if (fixed_melds > kMaxFixedMelds) panic("ndarray: index out of bounds");
    return kernel(rows.first, rows.second, rows.third, rows.honours, kMaxFixedMelds - fixed_melds);
}

int32_t Solver::shanten(const HandView& hand, size_t fixed_melds) const {
    Rows rows;
    if (!fetch_rows(hand, rows)) rows = strided_rows(suit, honour, hand);
    return shanten(rows, fixed_melds);
}

}  // namespace tilewise
