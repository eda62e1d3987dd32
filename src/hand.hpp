// A hand's counts as one call reads them. Each of the caller's counts is
// read exactly once, and the tile total, the checks and the row indices all
// come from what was read. Another thread may write to the array meanwhile
// (a free-threaded interpreter, or native code that released the GIL); the
// call then answers for the one set of counts it read, never for a mix of
// two readings.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__SSE2__)
#include <emmintrin.h>
#define TILEWISE_SSE2_COUNTS 1
#endif

#include "rows.hpp"

namespace tilewise {

// A read-only view of a caller's counts: entry k is at first[k * stride].
// The stride counts elements and may be negative or zero.
struct HandView {
    const uint8_t* first;
    size_t length;
    ptrdiff_t stride;
};

// The first 34 counts of a hand, held in registers: counts 0-15 and 16-31
// in two vector registers on x86-64, in four little-endian words elsewhere,
// and counts 32 and 33 in `tail`. `length` is how many of the 34 the view
// has; the ones it lacks read as 0.
struct Counts {
#if defined(TILEWISE_SSE2_COUNTS)
    __m128i low, high;
#else
    uint64_t words[4];
#endif
    uint32_t tail;
    size_t length;
};

namespace hand_detail {

static_assert(kTileKinds == 34 && kSuitTiles == 9 && kHonourStart == 27, "two blocks of 16 counts and two more");

constexpr size_t kLeadRows = 390625;  // 5^8: rows per count of a suit's first tile

// The 34 counts at `p`, each byte loaded once. The empty asm hides where the
// values came from, so the compiler cannot load the caller's memory again
// in their place.
TILEWISE_INLINE Counts load(const uint8_t* p, size_t length) {
    Counts c;
    uint16_t tail;
    std::memcpy(&tail, p + 32, sizeof tail);
    c.tail = tail;
#if defined(TILEWISE_SSE2_COUNTS)
    c.low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    c.high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    asm("" : "+x"(c.low), "+x"(c.high), "+r"(c.tail));
#else
    for (size_t w = 0; w < 4; ++w) {
        std::memcpy(&c.words[w], p + 8 * w, sizeof c.words[w]);
        asm("" : "+r"(c.words[w]));
    }
    asm("" : "+r"(c.tail));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (uint64_t& word : c.words) word = __builtin_bswap64(word);
    c.tail = __builtin_bswap16(static_cast<uint16_t>(c.tail));
#endif
#endif
    c.length = length;
    return c;
}

#if defined(TILEWISE_SSE2_COUNTS)
// The sum of the 34 counts: each register's bytes summed in two halves.
TILEWISE_INLINE size_t total(const Counts& c) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i sums = _mm_add_epi64(_mm_sad_epu8(c.low, zero), _mm_sad_epu8(c.high, zero));
    return static_cast<size_t>(_mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums))) +
           (c.tail & 0xFF) + (c.tail >> 8);
}

// Two groups of eight base-5 digits, one in each half, as numbers: the
// digits are paired, the pairs paired and the quads paired, each step one
// multiply and add on all lanes.
TILEWISE_INLINE __m128i eight_digit_numbers(__m128i digits) {
    const __m128i pairs = _mm_add_epi16(
        _mm_mullo_epi16(_mm_and_si128(digits, _mm_set1_epi16(0xFF)), _mm_set1_epi16(5)), _mm_srli_epi16(digits, 8));
    const __m128i quads = _mm_madd_epi16(pairs, _mm_set1_epi32(1 << 16 | 25));
    return _mm_add_epi64(_mm_mul_epu32(quads, _mm_set1_epi64x(625)), _mm_srli_epi64(quads, 32));
}

// The four row indices, if every count is at most 4: a suit's row is its
// first count times 5^8 plus its last eight counts read in base 5; the
// honours' eight digits start with the last suit tile, cleared to a
// leading zero. Every digit is moved out of the two registers, not loaded.
TILEWISE_INLINE bool indices(const Counts& c, size_t (&index)[4]) {
    const __m128i largest = _mm_max_epu8(_mm_max_epu8(c.low, c.high), _mm_cvtsi32_si128(static_cast<int>(c.tail)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(largest, _mm_set1_epi8(kMaxCount)), _mm_setzero_si128())) !=
        0xFFFF)
        return false;
    const __m128i second = _mm_or_si128(_mm_srli_si128(c.low, 10), _mm_slli_si128(c.high, 6));   // counts 10-17
    const __m128i honours = _mm_insert_epi16(_mm_slli_si128(_mm_srli_si128(c.high, 11), 1),      // 0, counts 27-31
                                             static_cast<int>(c.tail), 3);                       // counts 32, 33
    const __m128i first = eight_digit_numbers(_mm_unpacklo_epi64(_mm_srli_si128(c.low, 1), second));
    const __m128i rest = eight_digit_numbers(_mm_unpacklo_epi64(_mm_srli_si128(c.high, 3), honours));
    index[0] = (_mm_cvtsi128_si32(c.low) & 0xFF) * kLeadRows + static_cast<size_t>(_mm_cvtsi128_si64(first));
    index[1] = (_mm_extract_epi16(c.low, 4) >> 8) * kLeadRows +
               static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(first, first)));
    index[2] = (_mm_extract_epi16(c.high, 1) & 0xFF) * kLeadRows + static_cast<size_t>(_mm_cvtsi128_si64(rest));
    index[3] = static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(rest, rest)));
    return true;
}

TILEWISE_INLINE void store(const Counts& c, uint8_t (&out)[kTileKinds]) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), c.low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), c.high);
    out[32] = static_cast<uint8_t>(c.tail);
    out[33] = static_cast<uint8_t>(c.tail >> 8);
}
#else
// The sum of the 34 counts: each word's bytes are added in pairs into
// 16-bit lanes, which no 34 counts can overflow (34 * 255 < 65536); one
// multiplication then adds the four lanes.
TILEWISE_INLINE size_t total(const Counts& c) {
    constexpr uint64_t kLow = 0x00FF00FF00FF00FF;
    uint64_t lanes = 0;
    for (uint64_t word : c.words) lanes += (word & kLow) + ((word >> 8) & kLow);
    return static_cast<size_t>((lanes * 0x0001000100010001) >> 48) + (c.tail & 0xFF) + (c.tail >> 8);
}

// Nonzero if a byte of `word` is above 4: it reaches bit 7 when 123 is
// added, or has it set already; a carry out of a byte only follows a hit.
TILEWISE_INLINE uint64_t above_four(uint64_t word) {
    return ((word + 0x7B7B7B7B7B7B7B7B) | word) & 0x8080808080808080;
}

// Eight base-5 digits, the first in the lowest byte, as a number.
TILEWISE_INLINE uint64_t eight_digit_number(uint64_t word) {
    word = ((word * (1 + (uint64_t{5} << 8))) >> 8) & 0x00FF00FF00FF00FF;
    word = ((word * (1 + (uint64_t{25} << 16))) >> 16) & 0x0000FFFF0000FFFF;
    return (word * (1 + (uint64_t{625} << 32))) >> 32;
}

// As above, from the four words: each group's digits are shifted out of
// the two words that hold them.
TILEWISE_INLINE bool indices(const Counts& c, size_t (&index)[4]) {
    const uint64_t* w = c.words;
    const uint64_t honours = (w[3] >> 16 & ~uint64_t{0xFF}) | uint64_t{c.tail} << 48;  // 0, counts 27-33
    if ((above_four(w[0]) | above_four(w[1]) | above_four(w[2]) | above_four(w[3]) | above_four(c.tail)) != 0)
        return false;
    index[0] = (w[0] & 0xFF) * kLeadRows + eight_digit_number(w[0] >> 8 | w[1] << 56);
    index[1] = (w[1] >> 8 & 0xFF) * kLeadRows + eight_digit_number(w[1] >> 16 | w[2] << 48);
    index[2] = (w[2] >> 16 & 0xFF) * kLeadRows + eight_digit_number(w[2] >> 24 | w[3] << 40);
    index[3] = eight_digit_number(honours);
    return true;
}

TILEWISE_INLINE void store(const Counts& c, uint8_t (&out)[kTileKinds]) {
    for (size_t k = 0; k < 32; ++k) out[k] = static_cast<uint8_t>(c.words[k / 8] >> (8 * (k % 8)));
    out[32] = static_cast<uint8_t>(c.tail);
    out[33] = static_cast<uint8_t>(c.tail >> 8);
}
#endif

}  // namespace hand_detail

// Reads the view once: its first 34 counts (or as many as it has) into
// `counts`; returns the total of all its entries. The common view, 34
// counts of stride 1, goes straight into registers; any other is read
// entry by entry, the first 34 into a copy of the call's own.
TILEWISE_INLINE size_t read_hand(const HandView& hand, Counts& counts) {
    if (hand.stride == 1 && hand.length == kTileKinds) {
        counts = hand_detail::load(hand.first, kTileKinds);
        return hand_detail::total(counts);
    }
    uint8_t copy[kTileKinds] = {};
    size_t total = 0;
    for (size_t k = 0; k < hand.length; ++k) {
        const uint8_t c = __atomic_load_n(hand.first + static_cast<ptrdiff_t>(k) * hand.stride, __ATOMIC_RELAXED);
        total += c;
        if (k < kTileKinds) copy[k] = c;
    }
    counts = hand_detail::load(copy, std::min(hand.length, kTileKinds));
    return total;
}

// The row indices of the four groups (suits, then honours), for 34 counts
// of at most 4; false for any other counts.
TILEWISE_INLINE bool row_indices(const Counts& counts, size_t (&index)[4]) {
    return counts.length == kTileKinds && hand_detail::indices(counts, index);
}

// The counts as bytes: for the paths that report what was read.
TILEWISE_INLINE void store_counts(const Counts& counts, uint8_t (&out)[kTileKinds]) {
    hand_detail::store(counts, out);
}

}  // namespace tilewise
