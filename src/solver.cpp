#include "solver.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif
#if defined(__x86_64__) && defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include "panic.hpp"
#include "tables.hpp"

namespace tilewise {

Lazy<Solver> SOLVER;

// --- Parsing the table texts --------------------------------------------------

namespace {

// Appends each entry of one JSON array of integers 0..255 to a buffer sized
// for it; anything else stops the parse with a reason.
class EntryHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, EntryHandler> {
public:
    EntryHandler(uint8_t* out, size_t capacity) : out_(out), capacity_(capacity) {}

    // Called for nearly every entry: one test for all that append checks,
    // as `open_` stays at `next_` (no room) outside the array.
    bool Uint(unsigned v) {
        if (v > 255 || next_ == open_) return append(v);
        *next_++ = static_cast<uint8_t>(v);
        return true;
    }
    bool Int(int v) { return v >= 0 ? append(static_cast<unsigned>(v)) : Default(); }
    bool StartArray() {
        if (++depth_ != 1) return reject("Expected one array of integers, not nested arrays.");
        open_ = out_ + capacity_;
        return true;
    }
    bool EndArray(rapidjson::SizeType) { return --depth_, open_ = next_, true; }
    bool Default() { return reject("Expected an integer from 0 to 255."); }

    size_t size() const { return static_cast<size_t>(next_ - out_); }
    const char* reason() const { return reason_; }

private:
    bool append(unsigned v) {
        if (depth_ != 1) return reject("Expected one array of integers.");
        if (v > 255) return Default();
        if (size() == capacity_) return reject("More entries than the text has separators.");
        *next_++ = static_cast<uint8_t>(v);
        return true;
    }

    bool reject(const char* reason) {
        reason_ = reason;
        return false;
    }

    uint8_t* out_;
    size_t capacity_;
    uint8_t* next_ = out_;
    uint8_t* open_ = out_;  // end of the room for entries: out_ + capacity_ inside the array
    int depth_ = 0;
    const char* reason_ = nullptr;
};

// "line L, column C" of a byte offset, both counted from 1.
std::string position(std::string_view text, size_t offset) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
    const size_t line_start = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(offset - line_start + 1);
}

// The number of commas in `text`. Counted in blocks of at most 255 bytes
// with a one-byte counter, which the compiler turns into vector compares
// and subtractions: four times the speed of std::count on the suit text.
size_t commas(std::string_view text) {
    size_t total = 0;
    for (size_t at = 0; at < text.size(); at += 240) {
        const size_t end = std::min(text.size(), at + 240);
        uint8_t block = 0;
        for (size_t i = at; i < end; ++i) block += text[i] == ',';
        total += block;
    }
    return total;
}

// Asks Linux to back the 2 MB-aligned interior of a large new buffer with
// huge pages: its first writes then fault a few times, not once per 4 KB
// page, which costs a twentieth of the parse. Only advice: a refusal or
// another system changes nothing else.
void prefer_huge_pages([[maybe_unused]] uint8_t* data, [[maybe_unused]] size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t{1} << 21;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(kHuge - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#endif
}

// Storage for `capacity` entries, followed by room for a kernel's load from
// the last row's start.
Table new_table(size_t capacity) {
    Table table{std::unique_ptr<uint8_t[]>(new uint8_t[capacity + kRowLoad - kRowWidth]), 0};
    std::fill_n(&table.entries[capacity], kRowLoad - kRowWidth, 0);
    prefer_huge_pages(table.entries.get(), capacity);
    return table;
}

// The texts' own form: "[", entries of one or two digits without a leading
// zero joined by ", ", and "]" as the last byte. Each entry takes at least
// three bytes of the text, brackets included, which sizes the storage; the
// zero bytes after the text stop any read past its end. Anything else gives
// an empty table, and the JSON parser reads the text again to report it.
Table parse_canonical(std::string_view text) {
    Table table = new_table(text.size() / 3);
    uint8_t* next = table.entries.get();
    const uint8_t* const room_end = next + text.size() / 3;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const last = p + text.size() - 1;
    if (text.size() < 3 || *p++ != '[') return {};
    for (;;) {
        unsigned value = p[0] - unsigned{'0'};
        const unsigned second = p[1] - unsigned{'0'};
        if (value > 9 || next == room_end) return {};
        if (second <= 9) {
            if (value == 0) return {};
            value = 10 * value + second;
            ++p;
        }
        *next++ = static_cast<uint8_t>(value);
        if (p[1] == ',' && p[2] == ' ') {
            p += 3;
        } else if (p[1] == ']' && p + 1 == last) {
            table.size = static_cast<size_t>(next - table.entries.get());
            return table;
        } else {
            return {};
        }
    }
}

// Any JSON text, with its parser's messages: the way every other text goes.
Table parse_json(std::string_view text) {
    // One entry per separator, plus one: the storage is sized exactly, and
    // the entries go straight into it.
    const size_t capacity = commas(text) + 1;
    Table table = new_table(capacity);
    EntryHandler handler(table.entries.get(), capacity);
    // Zero bytes follow the text, so the reader may take it as a string that
    // ends at a NUL, which it scans faster than a sized buffer. A NUL inside
    // the text would end it early, so the reader must have consumed it all.
    rapidjson::StringStream stream(text.data());
    rapidjson::Reader reader;
    rapidjson::ParseResult result = reader.Parse(stream, handler);
    const char* reason = nullptr;
    if (result.IsError()) {
        reason = handler.reason() ? handler.reason() : rapidjson::GetParseError_En(result.Code());
    } else if (stream.Tell() != text.size()) {
        reason = "The text holds a NUL byte before its end.";
        result.Set(rapidjson::kParseErrorTermination, stream.Tell());
    }
    if (reason != nullptr)
        panic(std::string("called `Result::unwrap()` on an `Err` value: ") + reason + " (" +
              position(text, result.Offset()) + ")");
    table.size = handler.size();
    return table;
}

// Drops the whole pages within a text from the process (Linux; advice only).
// The texts are file pages of the module, which stay in the page cache; only
// the parse reads them, once.
void release_pages([[maybe_unused]] std::string_view text) {
#if defined(__linux__) && defined(MADV_DONTNEED)
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = (reinterpret_cast<uintptr_t>(text.data()) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(text.data()) + text.size()) & ~(page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
#endif
}

Table parse_table(std::string_view text) {
    Table table = parse_canonical(text);
    if (table.size == 0) table = parse_json(text);
    release_pages(text);
    return table;
}

}  // namespace

Solver::Solver()
    : kernel(choose_kernel()), suit(parse_table(suit_table_text())), honour(parse_table(honour_table_text())) {}

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
