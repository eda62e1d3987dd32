#include "parse.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Only Linux takes advice on the texts' pages (see release_pages); macOS and
// Windows build without it.
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

// This is the only file that reads the JSON parser's headers. They are large,
// and would triple the compile time and memory of any file that includes them.
#include <nlohmann/json.hpp>

#include "panic.hpp"

// The rows of the texts' own form have vector paths on x86-64 (SSE2, and
// AVX2 where the processor has it) and on little-endian arm64 (NEON).
#if defined(__x86_64__) && defined(__SSE2__)
#include <immintrin.h>
#define TILEWISE_X86_64 1
#elif defined(__aarch64__) && defined(__ARM_NEON) && defined(__BYTE_ORDER__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#include <arm_neon.h>
#define TILEWISE_NEON 1
#endif

namespace tilewise {

namespace {

// --- Row ids ---------------------------------------------------------------------

// Rows that a parse holds before they get their ids: 40 KB of entries.
constexpr size_t kChunkRows = 4096;
constexpr size_t kChunkEntries = kChunkRows * kRowWidth;

// Builds a table as the parse goes, through one step shared by both parse
// paths. The parse writes entries into the chunk, and each full chunk, then
// what is left at the end, gets its row ids; a row not seen before joins the
// distinct rows. The own form's vector paths give whole rows their ids
// directly, through the same hash, once the rows before them have theirs.
// Beyond the table itself, a parse holds the chunk and the distinct rows'
// 13 KB record, whatever the length of the text.
class TableWriter {
public:
    // Room for the ids of up to `max_rows` rows.
    explicit TableWriter(size_t max_rows)
        : work_(new Work), ids_(new uint8_t[max_rows]), max_rows_(max_rows) {}

    uint8_t* chunk() { return work_->chunk; }
    const uint8_t* chunk_end() const { return work_->chunk + kChunkEntries; }

    // Gives the rows of the full chunk their ids. False if they would not
    // fit in the room for ids (a text with more entries than it was sized for).
    bool take_chunk() { return take_rows(chunk_end()); }

    // Gives the rows in the chunk up to `end`, a row's end, their ids, and
    // starts the chunk again. False if they would not fit in the room.
    bool take_rows(const uint8_t* end) {
        const size_t rows = static_cast<size_t>(end - work_->chunk) / kRowWidth;
        if (max_rows_ - rows_ < rows) return false;
        give_ids(rows);
        return true;
    }

    // The row ids that a parse path gives directly, not through the chunk:
    // it writes up to room() ids from next_ids(), then says how many.
    size_t room() const { return max_rows_ - rows_; }
    uint8_t* next_ids() { return &ids_[rows_]; }
    void took_rows(size_t rows) { rows_ += rows; }

    // The id of the row whose ten entries are the key `low`, `high` (see
    // key), given it if it is new.
    TILEWISE_INLINE uint8_t id_of_key(uint64_t low, uint64_t high) {
        // Neighbouring rows often repeat (most rows of many tiles are all
        // zero), so the last row's id answers them without the hash.
        if (low == last_low_ && high == last_high_) return last_id_;
        last_low_ = low;
        last_high_ = high;
        last_id_ = hashed_id(low, high);
        return last_id_;
    }

    // The same through the hash alone, for the vector paths. They answer a
    // row that repeats the one before it themselves, so the last row's
    // record would seldom answer them, and keeping it took a tenth of the
    // parse. It is left as it was, and stays true, as a key keeps its id.
    TILEWISE_INLINE uint8_t hashed_id(uint64_t low, uint64_t high) {
        Work& r = *work_;
        size_t slot = first_slot(low, high);
        while (r.slot_ids[slot] != 0 && (r.slot_low[slot] != low || r.slot_high[slot] != high))
            slot = (slot + 1) % kSlots;
        if (r.slot_ids[slot] == 0) {
            if (distinct_rows_ == kMaxDistinctRows)
                panic("a table text has more than " + std::to_string(kMaxDistinctRows) +
                      " distinct rows, more than one-byte row ids can name");
            const uint16_t tail = static_cast<uint16_t>(high);
            std::memcpy(&r.distinct[distinct_rows_ * kRowLoad], &low, sizeof low);
            std::memcpy(&r.distinct[distinct_rows_ * kRowLoad + sizeof low], &tail, sizeof tail);
            r.slot_low[slot] = low;
            r.slot_high[slot] = high;
            r.slot_ids[slot] = static_cast<uint16_t>(++distinct_rows_);
        }
        return static_cast<uint8_t>(r.slot_ids[slot] - 1);
    }

    // Ends the table at `end`, within the chunk, giving its full rows their
    // ids. A partial last row gets no id, but its entries count in the size.
    Table finish(const uint8_t* end) && {
        const size_t entries = static_cast<size_t>(end - work_->chunk);
        if (max_rows_ - rows_ < entries / kRowWidth) panic("a table text has more rows than its room for row ids");
        give_ids(entries / kRowWidth);
        Table table;
        table.size = rows_ * kRowWidth + entries % kRowWidth;
        table.ids = std::move(ids_);
        table.distinct_rows = distinct_rows_;
        table.distinct.reset(new uint8_t[distinct_rows_ * kRowLoad]);
        std::copy_n(work_->distinct, distinct_rows_ * kRowLoad, table.distinct.get());
        return table;
    }

private:
    // The hash of the distinct rows has twice as many slots as there can be
    // rows, so that it is at most half full.
    static constexpr unsigned kSlotBits = 9;
    static constexpr size_t kSlots = size_t{1} << kSlotBits;
    static_assert(kSlots >= 2 * kMaxDistinctRows, "the hash is at most half full");

    // The chunk, then the distinct rows and their hash. They live on the
    // heap, not in the writer: the first call, which makes the parse, may
    // run on a thread with a small stack. In one block, they parsed the
    // real texts some 10% faster than with the chunk in a block of its own.
    struct Work {
        uint8_t chunk[kChunkEntries];
        uint8_t distinct[kMaxDistinctRows * kRowLoad] = {};  // zero padding after each row's entries
        uint64_t slot_low[kSlots] = {};
        uint64_t slot_high[kSlots] = {};
        uint16_t slot_ids[kSlots] = {};  // id + 1; 0 for an empty slot
    };

    void give_ids(size_t rows) {
        const uint8_t* row = work_->chunk;
        for (size_t r = 0; r < rows; ++r, row += kRowWidth) ids_[rows_ + r] = id_of(row);
        rows_ += rows;
    }

    // A row's ten entries as two words, the key of the hash: entries 0-7
    // in memory order, then entries 8 and 9.
    static void key(const uint8_t* row, uint64_t& low, uint64_t& high) {
        static_assert(kRowWidth == 10, "a row is one word and two bytes");
        uint16_t tail;
        std::memcpy(&low, row, sizeof low);
        std::memcpy(&tail, row + sizeof low, sizeof tail);
        high = tail;
    }

    // The slot where a key's search starts. The top bits of a product by
    // 2^64 / phi depend on every bit of the factor (Fibonacci hashing). The
    // high word goes through the product too before it joins the low one,
    // so that every bit of both words counts.
    static size_t first_slot(uint64_t low, uint64_t high) {
        constexpr uint64_t kGolden = 0x9E3779B97F4A7C15;
        return static_cast<size_t>(((low ^ (high * kGolden)) * kGolden) >> (64 - kSlotBits));
    }

    uint8_t id_of(const uint8_t* row) {
        uint64_t low, high;
        key(row, low, high);
        return id_of_key(low, high);
    }

    std::unique_ptr<Work> work_;
    std::unique_ptr<uint8_t[]> ids_;
    size_t max_rows_;
    size_t rows_ = 0;
    size_t distinct_rows_ = 0;
    uint64_t last_low_ = 0;
    uint64_t last_high_ = ~uint64_t{0};  // no row's: its two bytes never fill a word
    uint8_t last_id_ = 0;
};

// --- The text's pages ----------------------------------------------------------------

// Drops the whole pages in [start, end) from the process (Linux; advice
// only). They are file pages of the module, which stay in the page cache
// and come back if touched again. macOS and Windows keep them mapped until
// the system trims the process's unused pages.
void release_pages([[maybe_unused]] uintptr_t start, [[maybe_unused]] uintptr_t end) {
#if defined(__linux__) && defined(MADV_DONTNEED)
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
#endif
}

// The pages of an embedded text that a parse has passed, dropped in steps
// of kDropStep as it goes, so that at most that much of the text is in the
// process at once, not all 60 MB. A parse of any other text drops nothing.
class PassedPages {
public:
    PassedPages() = default;
    explicit PassedPages(std::string_view text) {
        const auto page = static_cast<uintptr_t>(page_size());
        dropped_ = (reinterpret_cast<uintptr_t>(text.data()) + page - 1) & ~(page - 1);
        end_ = (reinterpret_cast<uintptr_t>(text.data()) + text.size()) & ~(page - 1);
        page_mask_ = ~(page - 1);
    }

    // The parse has read everything before `at`.
    void passed(const void* at) {
        const uintptr_t upto = std::min(reinterpret_cast<uintptr_t>(at) & page_mask_, end_);
        if (upto < dropped_ + kDropStep) return;
        release_pages(dropped_, upto);
        dropped_ = upto;
    }

    // The parse is done, so the rest of the text goes too.
    void all() {
        release_pages(dropped_, end_);
        dropped_ = end_;
    }

private:
    static constexpr uintptr_t kDropStep = uintptr_t{1} << 20;

    static long page_size() {
#if defined(__linux__)
        return sysconf(_SC_PAGESIZE);
#else
        return 4096;
#endif
    }

    uintptr_t dropped_ = 0;  // every page before this one is gone
    uintptr_t end_ = 0;      // and none from here on may go
    uintptr_t page_mask_ = 0;
};

// --- The texts' own form -----------------------------------------------------

// The bytes five_entries reads at a time: five entries of one digit and
// their separators.
constexpr size_t kFiveEntryBytes = 15;

// Reads five one-digit entries, each followed by ", ", at `p`, and writes
// their values to `out`. False for anything else, which the parse then reads
// entry by entry. Most of the texts are such stretches, and two words tell
// one at once, where each entry on its own takes a dozen tests. It reads the
// kFiveEntryBytes bytes from `p`, and needs little-endian words.
TILEWISE_INLINE bool five_entries([[maybe_unused]] const unsigned char* p, [[maybe_unused]] uint8_t* out) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Bytes 0-7 are "d, d, d," and bytes 7-14 ", d, d, ". In each word, the
    // digit masks pick the digits' bytes, and the separator masks are what
    // the other bytes must hold (", " in little-endian order).
    constexpr uint64_t kHeadDigits = 0x00FF0000FF0000FF, kTailDigits = 0x0000FF0000FF0000;
    constexpr uint64_t kHeadSeparators = 0x2C00202C00202C00, kTailSeparators = 0x202C00202C00202C;
    constexpr uint64_t kZeroDigits = 0x3030303030303030, kToBit7 = 0x7676767676767676, kBit7 = 0x8080808080808080;
    static_assert(kFiveEntryBytes == 7 + sizeof(uint64_t), "two words, overlapping by one byte");
    uint64_t head, tail;
    std::memcpy(&head, p, sizeof head);
    std::memcpy(&tail, p + 7, sizeof tail);
    if ((head & ~kHeadDigits) != kHeadSeparators || (tail & ~kTailDigits) != kTailSeparators) return false;
    // A digit's byte less '0' is 0 to 9. Adding 0x76 makes it reach bit 7
    // for any other byte, or it has bit 7 set already.
    const uint64_t head_values = (head ^ kZeroDigits) & kHeadDigits;
    const uint64_t tail_values = (tail ^ kZeroDigits) & kTailDigits;
    if ((((head_values + kToBit7) | head_values | (tail_values + kToBit7) | tail_values) & kBit7) != 0) return false;
    out[0] = static_cast<uint8_t>(head_values);
    out[1] = static_cast<uint8_t>(head_values >> 24);
    out[2] = static_cast<uint8_t>(head_values >> 48);
    out[3] = static_cast<uint8_t>(tail_values >> 16);
    out[4] = static_cast<uint8_t>(tail_values >> 40);
    return true;
#else
    return false;
#endif
}

// --- Whole rows of one-digit entries ---------------------------------------------
//
// Most rows of the texts are ten one-digit entries, each followed by ", ":
// 30 bytes, "d, d, d, d, d, d, d, d, d, d, ". The vector paths read such a
// row with one 32-byte load (or two of 16 bytes) and give it its id at
// once, without the chunk. A row whose 30 bytes are the previous checked
// row's takes that row's id after one compare; that is most rows, as runs
// of equal rows are long. Any other row is checked against the form, and
// its ten digits gathered into the hash's key. A row that is not of the
// form ends the loop, and the entry-by-entry path reads it; the loop takes
// over again at the next row.

constexpr size_t kRowBytes = 3 * kRowWidth;
// The bytes a row's reading loads from its start: the loop runs only while
// that many are left in the text, so no load goes past its end.
constexpr size_t kRowReach = 32;

// Per byte of a row's load: form[i] is '0' for a digit's byte and the
// separator's byte otherwise, so that a byte xor form[i] is a digit's value;
// limit[i] is the most that this xor may be, 9 for a digit and 0 for a
// separator, 255 for the two bytes after the row, which the check ignores.
struct RowForm {
    alignas(32) uint8_t form[kRowReach];
    alignas(32) uint8_t limit[kRowReach];
};
constexpr RowForm make_row_form() {
    RowForm f{};
    for (size_t i = 0; i < kRowReach; ++i) {
        f.form[i] = i % 3 == 0 ? '0' : i % 3 == 1 ? ',' : ' ';
        f.limit[i] = i >= kRowBytes ? 255 : i % 3 == 0 ? 9 : 0;
    }
    return f;
}
constexpr RowForm kRowForm = make_row_form();

// The last row that a vector loop checked, and its id: it stays valid from
// one run of the loop to the next, as the same bytes are the same row
// wherever they are. Only a row that passed the check may be kept here. It
// lives on the stack, whose alignment beyond 16 bytes MinGW's GCC does not
// keep, so the loops load and store it unaligned.
struct LastRow {
    uint8_t bytes[kRowReach] = {};
    uint8_t id = 0;
    bool known = false;
};

// The loops ask for the text half a page ahead of the row they read. A
// text reached through a new mapping of the module file, as the embedded
// ones are, is read at the speed of its misses. The processor's own
// prefetch stops at each page's end, so every page began with a wait. On an
// Intel Xeon, the parse through a new mapping took 10 to 30% longer without
// the hint (a page ahead). On an AMD EPYC a page ahead gained little, and
// half a page took some 5% off the first call. A prefetch is a hint that
// never faults, so one past the text's end reads nothing.
constexpr uintptr_t kPrefetchAhead = 2048;
TILEWISE_INLINE void prefetch_ahead(const unsigned char* p) {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(p) + kPrefetchAhead));
}

// Reads up to `rows` rows from `p`, writing their ids to `ids`; the number
// of rows read, less than `rows` where one is not of the form. Each reads
// kRowReach bytes per row from its start.
using RowsPath = size_t (*)(const unsigned char* p, size_t rows, uint8_t* ids, LastRow& last, TableWriter& writer);

#if defined(TILEWISE_X86_64) || defined(TILEWISE_NEON)
// The bits of a 32-lane mask that are the row's own 30 bytes.
constexpr uint32_t kRowLanes = (uint32_t{1} << kRowBytes) - 1;
#endif

#if defined(TILEWISE_X86_64)
// SSE2 has no byte shuffle, so the digits are gathered by products: in a
// word whose only nonzero bytes are digits at bytes s, s + 3 and s + 6, the
// product by 1 + 2^16 + 2^32 holds them side by side at bytes s + 4 to
// s + 6, where no other of its terms lands (and a term only carries
// upwards).
TILEWISE_INLINE uint64_t side_by_side(uint64_t word) { return word * 0x0000000100010001; }

size_t sse2_rows(const unsigned char* p, size_t rows, uint8_t* ids, LastRow& last, TableWriter& writer) {
    const __m128i form0 = _mm_load_si128(reinterpret_cast<const __m128i*>(kRowForm.form));
    const __m128i form1 = _mm_load_si128(reinterpret_cast<const __m128i*>(kRowForm.form + 16));
    const __m128i limit0 = _mm_load_si128(reinterpret_cast<const __m128i*>(kRowForm.limit));
    const __m128i limit1 = _mm_load_si128(reinterpret_cast<const __m128i*>(kRowForm.limit + 16));
    __m128i prev0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(last.bytes));
    __m128i prev1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(last.bytes + 16));
    bool known = last.known;
    uint8_t id = last.id;
    size_t r = 0;
    for (; r < rows; ++r, p += kRowBytes) {
        prefetch_ahead(p);
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        const uint32_t same = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v0, prev0))) |
                              static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v1, prev1))) << 16;
        if (known && (same & kRowLanes) == kRowLanes) {
            ids[r] = id;
            continue;
        }
        const __m128i x0 = _mm_xor_si128(v0, form0), x1 = _mm_xor_si128(v1, form1);
        if ((_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(x0, limit0), limit0)) &
             _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(x1, limit1), limit1))) != 0xFFFF)
            break;
        // Digits 0-2 at bytes 0, 3, 6 of the first word, 3-5 at 1, 4, 7 of
        // the second, 6-7 at 2, 5 of the third and 8-9 at 0, 3 of the
        // fourth, whose bytes 6 and 7 are past the row and only carry up.
        const uint64_t w0 = static_cast<uint64_t>(_mm_cvtsi128_si64(x0));
        const uint64_t w1 = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(x0, x0)));
        const uint64_t w2 = static_cast<uint64_t>(_mm_cvtsi128_si64(x1));
        const uint64_t w3 = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(x1, x1)));
        const uint64_t low = (side_by_side(w0) >> 32 & 0xFFFFFF) | (side_by_side(w1) >> 40) << 24 |
                             (side_by_side(w2) >> 48) << 48;
        id = writer.hashed_id(low, side_by_side(w3) >> 32 & 0xFFFF);
        ids[r] = id;
        prev0 = v0;
        prev1 = v1;
        known = true;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last.bytes), prev0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last.bytes + 16), prev1);
    last.known = known;
    last.id = id;
    return r;
}

// The shuffle that gathers a row's digits: within each 128-bit lane, as
// AVX2 shuffles, digits 0-5 to bytes 0-5 of the low lane and digits 6-9 to
// bytes 6-9 of the high one, every other byte cleared (index 0x80).
struct RowGather {
    alignas(32) uint8_t index[kRowReach];
};
constexpr RowGather make_row_gather() {
    RowGather g{};
    for (size_t i = 0; i < kRowReach; ++i) {
        const size_t digit = i % 16;
        const bool here = i < 16 ? digit < 6 : digit >= 6 && digit < kRowWidth;
        g.index[i] = here ? static_cast<uint8_t>(3 * digit - (i < 16 ? 0 : 16)) : 0x80;
    }
    return g;
}
constexpr RowGather kRowGather = make_row_gather();

__attribute__((target("avx2"))) size_t avx2_rows(const unsigned char* p, size_t rows, uint8_t* ids,
                                                 LastRow& last, TableWriter& writer) {
    const __m256i form = _mm256_load_si256(reinterpret_cast<const __m256i*>(kRowForm.form));
    const __m256i limit = _mm256_load_si256(reinterpret_cast<const __m256i*>(kRowForm.limit));
    const __m256i gather = _mm256_load_si256(reinterpret_cast<const __m256i*>(kRowGather.index));
    __m256i prev = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(last.bytes));
    bool known = last.known;
    uint8_t id = last.id;
    size_t r = 0;
    for (; r < rows; ++r, p += kRowBytes) {
        prefetch_ahead(p);
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const auto same = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, prev)));
        if (known && (same & kRowLanes) == kRowLanes) {
            ids[r] = id;
            continue;
        }
        const __m256i x = _mm256_xor_si256(v, form);
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(x, limit), limit)) != -1) break;
        const __m256i digits = _mm256_shuffle_epi8(x, gather);
        const __m128i key = _mm_or_si128(_mm256_castsi256_si128(digits), _mm256_extracti128_si256(digits, 1));
        id = writer.hashed_id(static_cast<uint64_t>(_mm_cvtsi128_si64(key)),
                              static_cast<uint64_t>(_mm_extract_epi16(key, 4)));
        ids[r] = id;
        prev = v;
        known = true;
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(last.bytes), prev);
    last.known = known;
    last.id = id;
    return r;
}
#elif defined(TILEWISE_NEON)
// The table lookup that gathers a row's ten digits from its two halves to
// bytes 0-9, every other byte cleared (an index past the table).
struct RowGather {
    alignas(16) uint8_t index[16];
    alignas(16) uint8_t past_row[16];  // 255 for the two bytes of the second half past the row
};
constexpr RowGather make_row_gather() {
    RowGather g{};
    for (size_t i = 0; i < 16; ++i) {
        g.index[i] = i < kRowWidth ? static_cast<uint8_t>(3 * i) : 0xFF;
        g.past_row[i] = 16 + i >= kRowBytes ? 0xFF : 0;
    }
    return g;
}
constexpr RowGather kRowGather = make_row_gather();

size_t neon_rows(const unsigned char* p, size_t rows, uint8_t* ids, LastRow& last, TableWriter& writer) {
    const uint8x16_t form0 = vld1q_u8(kRowForm.form), form1 = vld1q_u8(kRowForm.form + 16);
    const uint8x16_t limit0 = vld1q_u8(kRowForm.limit), limit1 = vld1q_u8(kRowForm.limit + 16);
    const uint8x16_t gather = vld1q_u8(kRowGather.index), past_row = vld1q_u8(kRowGather.past_row);
    uint8x16_t prev0 = vld1q_u8(last.bytes), prev1 = vld1q_u8(last.bytes + 16);
    bool known = last.known;
    uint8_t id = last.id;
    size_t r = 0;
    for (; r < rows; ++r, p += kRowBytes) {
        prefetch_ahead(p);
        const uint8x16_t v0 = vld1q_u8(p), v1 = vld1q_u8(p + 16);
        const uint8x16_t same = vandq_u8(vceqq_u8(v0, prev0), vorrq_u8(vceqq_u8(v1, prev1), past_row));
        if (known && vminvq_u8(same) == 0xFF) {
            ids[r] = id;
            continue;
        }
        const uint8x16_t x0 = veorq_u8(v0, form0), x1 = veorq_u8(v1, form1);
        if (vminvq_u8(vandq_u8(vceqq_u8(vmaxq_u8(x0, limit0), limit0), vceqq_u8(vmaxq_u8(x1, limit1), limit1))) !=
            0xFF)
            break;
        const uint8x16_t key = vqtbl2q_u8(uint8x16x2_t{{x0, x1}}, gather);
        id = writer.hashed_id(vgetq_lane_u64(vreinterpretq_u64_u8(key), 0),
                              vgetq_lane_u64(vreinterpretq_u64_u8(key), 1));
        ids[r] = id;
        prev0 = v0;
        prev1 = v1;
        known = true;
    }
    vst1q_u8(last.bytes, prev0);
    vst1q_u8(last.bytes + 16, prev1);
    last.known = known;
    last.id = id;
    return r;
}
#endif

struct NamedRowsPath {
    const char* name;
    RowsPath rows;  // null for the portable path, which reads no whole rows
};

// The own form's paths that this processor runs, the portable one first and
// the fastest last.
std::vector<NamedRowsPath> rows_paths() {
    std::vector<NamedRowsPath> paths{{"portable", nullptr}};
#if defined(TILEWISE_X86_64)
    paths.push_back({"sse2", sse2_rows});
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) paths.push_back({"avx2", avx2_rows});
#elif defined(TILEWISE_NEON)
    paths.push_back({"neon", neon_rows});
#endif
    return paths;
}

// The fastest path, chosen at the first parse, as the kernel is.
RowsPath chosen_rows_path() {
    static const RowsPath chosen = rows_paths().back().rows;
    return chosen;
}

// The texts' own form is "[", entries of one or two digits without a leading
// zero joined by ", ", and "]" as the last byte. Each entry takes at least
// three bytes of the text, brackets included, which sizes the room for ids.
// For any other text there is no table, and the JSON parser reads the text
// again to report it. With `rows`, whole rows of one-digit entries go
// through it, and the rest entry by entry; without, all goes entry by
// entry, five at a time where it can.
//
// No read goes past the text's end. The last byte is "]", and every read of
// the entry-by-entry path is at most one byte past a digit or a separator,
// so never past that bracket. The five-entry loop counts how many of its
// steps fit before the end of the text and of the chunk, and the rows'
// loop how many rows' loads fit before the end of the text.
std::optional<Table> parse_own_form(std::string_view text, PassedPages pages, RowsPath rows) {
    if (text.size() < 3 || text.front() != '[' || text.back() != ']') return std::nullopt;
    TableWriter writer(text.size() / 3 / kRowWidth + 1);
    uint8_t* next = writer.chunk();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + 1;
    const auto* const last = p + text.size() - 2;
    LastRow last_row;
    for (;;) {
        size_t steps = std::min(static_cast<size_t>(last - p) / kFiveEntryBytes,
                                static_cast<size_t>(writer.chunk_end() - next) / 5);
        if (rows != nullptr) {
            const size_t in_row = static_cast<size_t>(next - writer.chunk()) % kRowWidth;
            if (in_row == 0) {
                // The rows before this one get their ids first, to keep the
                // ids in row order.
                if (next != writer.chunk()) {
                    if (!writer.take_rows(next)) return std::nullopt;
                    next = writer.chunk();
                }
                for (;;) {
                    const size_t left = static_cast<size_t>(last + 1 - p);
                    const size_t fit = left >= kRowReach ? (left - kRowReach) / kRowBytes + 1 : 0;
                    const size_t batch = std::min({fit, writer.room(), kChunkRows});
                    if (batch == 0) break;
                    const size_t read = rows(p, batch, writer.next_ids(), last_row, writer);
                    writer.took_rows(read);
                    p += read * kRowBytes;
                    pages.passed(p);
                    if (read < batch) break;
                }
                steps = std::min(static_cast<size_t>(last - p) / kFiveEntryBytes, steps);
            }
            // The five-entry loop stops at the row's end, where the rows'
            // loop takes over again.
            steps = std::min(steps, (kRowWidth - in_row) / 5);
        }
        for (size_t s = 0; s < steps && five_entries(p, next); ++s) {
            p += kFiveEntryBytes;
            next += 5;
        }
        unsigned value = p[0] - unsigned{'0'};
        if (value > 9) return std::nullopt;
        if (const unsigned second = p[1] - unsigned{'0'}; second <= 9) {
            if (value == 0) return std::nullopt;
            value = 10 * value + second;
            ++p;
        }
        if (next == writer.chunk_end()) {
            if (!writer.take_chunk()) return std::nullopt;
            next = writer.chunk();
            pages.passed(p);
        }
        *next++ = static_cast<uint8_t>(value);
        if (p[1] == ',' && p[2] == ' ') {
            p += 3;
        } else if (p[1] == ']' && p + 1 == last) {
            pages.all();
            return std::move(writer).finish(next);
        } else {
            return std::nullopt;
        }
    }
}

// --- Any JSON text ---------------------------------------------------------------

// "line L, column C" of a byte offset, both counted from 1.
std::string position(std::string_view text, size_t offset) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
    const size_t line_start = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(offset - line_start + 1);
}

// A pointer into the text that keeps `*read` at the furthest byte the parser
// has taken. The parser's events carry no position, so a value the handler
// refuses is reported where the parser stopped, just past that value.
class Reading {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    Reading(const char* at, const char** read) : at_(at), read_(read) {}
    reference operator*() const { return *at_; }
    Reading& operator++() {
        *read_ = ++at_;
        return *this;
    }
    Reading operator++(int) {
        Reading before = *this;
        ++*this;
        return before;
    }
    bool operator==(const Reading& other) const { return at_ == other.at_; }
    bool operator!=(const Reading& other) const { return at_ != other.at_; }

private:
    const char* at_;
    const char** read_;
};

// Takes the parser's events. Each entry of one array of integers 0..255 goes
// straight into the writer's chunk, and anything else stops the parse with a
// reason.
class EntryHandler {
public:
    using json = nlohmann::json;

    EntryHandler(TableWriter& writer, PassedPages& pages, const char* const* read)
        : writer_(writer), pages_(pages), read_(read) {}

    // Called for nearly every entry, so one test stands for all that append
    // checks. Outside the array, `open_` stays at `next_`, leaving no room.
    bool number_unsigned(json::number_unsigned_t v) {
        if (v > 255 || next_ == open_) return append(v);
        *next_++ = static_cast<uint8_t>(v);
        return true;
    }
    bool number_integer(json::number_integer_t v) {
        return v >= 0 ? append(static_cast<json::number_unsigned_t>(v)) : not_an_entry();
    }
    bool start_array(std::size_t) {
        if (++depth_ != 1) return reject("Expected one array of integers, not nested arrays.");
        open_ = writer_.chunk_end();
        return true;
    }
    bool end_array() {
        --depth_;
        open_ = next_;
        return true;
    }

    bool number_float(json::number_float_t, const json::string_t&) { return not_an_entry(); }
    bool null() { return not_an_entry(); }
    bool boolean(bool) { return not_an_entry(); }
    bool string(json::string_t&) { return not_an_entry(); }
    bool binary(json::binary_t&) { return not_an_entry(); }
    bool start_object(std::size_t) { return not_an_entry(); }
    bool key(json::string_t&) { return not_an_entry(); }
    bool end_object() { return not_an_entry(); }

    // On a syntax error, keeps the parser's own description and where it
    // stopped (`read` counts the bytes it took, the offending one included).
    bool parse_error(std::size_t read, const std::string&, const json::exception& e) {
        parser_reason_ = e.what();
        parser_offset_ = read > 0 ? read - 1 : 0;
        return false;
    }

    const uint8_t* end() const { return next_; }
    const char* reason() const { return reason_; }
    const std::string& parser_reason() const { return parser_reason_; }
    size_t parser_offset() const { return parser_offset_; }

private:
    bool append(json::number_unsigned_t v) {
        if (depth_ != 1) return reject("Expected one array of integers.");
        if (v > 255) return not_an_entry();
        if (next_ == writer_.chunk_end()) {
            if (!writer_.take_chunk()) return reject("More entries than the text has room for.");
            next_ = writer_.chunk();
            open_ = writer_.chunk_end();
            pages_.passed(*read_);
        }
        *next_++ = static_cast<uint8_t>(v);
        return true;
    }
    bool not_an_entry() { return reject("Expected an integer from 0 to 255."); }
    bool reject(const char* reason) {
        reason_ = reason;
        return false;
    }

    TableWriter& writer_;
    PassedPages& pages_;
    const char* const* read_;  // how far the parser has read
    uint8_t* next_ = writer_.chunk();
    const uint8_t* open_ = next_;  // end of the room for entries: the chunk's end inside the array
    int depth_ = 0;
    const char* reason_ = nullptr;
    std::string parser_reason_;
    size_t parser_offset_ = 0;
};

// The parser's description of a syntax error, without the position it
// leads with (the message gives its own) and with the token it quotes cut
// short: an unclosed string would quote the rest of the text.
std::string describe(std::string what) {
    constexpr size_t kQuoted = 40;
    if (const size_t colon = what.find(": "); colon != std::string::npos) what.erase(0, colon + 2);
    const std::string opening = "last read: '";
    const size_t start = what.find(opening);
    const size_t end = what.rfind('\'');
    if (start != std::string::npos && end != std::string::npos && end > start + opening.size() + kQuoted)
        what.replace(start + opening.size() + kQuoted, end - start - opening.size() - kQuoted, "...");
    return what;
}

Table parse_json(std::string_view text, PassedPages pages) {
    // An entry takes a digit and a separator, or a bracket for the last one,
    // so the text holds at most this many rows. Room for ids that the entries
    // do not fill is never touched, and takes no memory.
    TableWriter writer(text.size() / 2 / kRowWidth + 1);
    const char* read = text.data();
    EntryHandler handler(writer, pages, &read);
    std::string reason;
    size_t offset = 0;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        // The parser would skip a byte order mark; a table text has none.
        reason = "A byte order mark is not part of a table text.";
    } else if (!nlohmann::json::sax_parse(Reading(text.data(), &read), Reading(text.data() + text.size(), &read),
                                          &handler)) {
        if (handler.reason() != nullptr) {
            reason = handler.reason();
            offset = static_cast<size_t>(read - text.data()) - 1;  // the parser reads one byte ahead
        } else {
            reason = describe(handler.parser_reason());
            offset = handler.parser_offset();
        }
    }
    if (!reason.empty())
        panic("called `Result::unwrap()` on an `Err` value: " + reason + " (" + position(text, offset) + ")");
    pages.all();
    return std::move(writer).finish(handler.end());
}

Table parse(std::string_view text, bool drop_pages) {
    if (std::optional<Table> table =
            parse_own_form(text, drop_pages ? PassedPages(text) : PassedPages(), chosen_rows_path()))
        return std::move(*table);
    return parse_json(text, drop_pages ? PassedPages(text) : PassedPages());
}

}  // namespace

Table parse_json_table(std::string_view text) { return parse_json(text, PassedPages()); }

Table parse_table(std::string_view text) { return parse(text, false); }

std::vector<std::string> usable_parse_paths() {
    std::vector<std::string> names;
    for (const NamedRowsPath& path : rows_paths()) names.emplace_back(path.name);
    return names;
}

std::optional<Table> parse_own_form_table(std::string_view text, std::string_view path) {
    if (path.empty()) return parse_own_form(text, PassedPages(), chosen_rows_path());
    std::string names;
    for (const NamedRowsPath& p : rows_paths()) {
        if (path == p.name) return parse_own_form(text, PassedPages(), p.rows);
        names += names.empty() ? p.name : std::string(", ") + p.name;
    }
    panic(std::string(path) + ": not a parse path this processor runs (" + names + ")");
}

Table parse_embedded_table(std::string_view text) { return parse(text, true); }

}  // namespace tilewise
