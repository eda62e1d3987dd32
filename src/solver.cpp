#include "solver.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
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

    bool Uint(unsigned v) { return append(v); }
    bool Int(int v) { return v >= 0 ? append(static_cast<unsigned>(v)) : Default(); }
    bool StartArray() { return ++depth_ == 1 || reject("Expected one array of integers, not nested arrays."); }
    bool EndArray(rapidjson::SizeType) { return --depth_, true; }
    bool Default() { return reject("Expected an integer from 0 to 255."); }

    size_t size() const { return size_; }
    const char* reason() const { return reason_; }

private:
    bool append(unsigned v) {
        if (depth_ != 1) return reject("Expected one array of integers.");
        if (v > 255) return Default();
        if (size_ == capacity_) return reject("More entries than the text has separators.");
        out_[size_++] = static_cast<uint8_t>(v);
        return true;
    }

    bool reject(const char* reason) {
        reason_ = reason;
        return false;
    }

    uint8_t* out_;
    size_t capacity_;
    size_t size_ = 0;
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

Table parse_table(std::string_view text) {
    // One entry per separator, plus one: the storage is sized exactly, and
    // the entries go straight into it.
    const size_t capacity = static_cast<size_t>(std::count(text.begin(), text.end(), ',')) + 1;
    Table table{std::unique_ptr<uint8_t[]>(new uint8_t[capacity]), 0};
    EntryHandler handler(table.entries.get(), capacity);
    rapidjson::MemoryStream stream(text.data(), text.size());
    rapidjson::Reader reader;
    const rapidjson::ParseResult result = reader.Parse(stream, handler);
    if (result.IsError()) {
        const char* reason = handler.reason() ? handler.reason() : rapidjson::GetParseError_En(result.Code());
        panic(std::string("called `Result::unwrap()` on an `Err` value: ") + reason + " (" +
              position(text, result.Offset()) + ")");
    }
    table.size = handler.size();
    return table;
}

}  // namespace

Solver::Solver() : suit(parse_table(suit_table_text())), honour(parse_table(honour_table_text())) {}

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
size_t group_index(const HandView& hand, size_t start) {
    if (hand.length < start + Tiles) panic("ndarray: index out of bounds");
    const uint8_t* p = hand.first + static_cast<ptrdiff_t>(start) * hand.stride;
    size_t index = 0;
    bool too_many = false;
    for (size_t j = 0; j < Tiles; ++j) {
        const unsigned c = p[static_cast<ptrdiff_t>(j) * hand.stride];
        too_many |= c > kMaxCount;
        index = index * (kMaxCount + 1) + c;
    }
    if (too_many) count_above_four(hand, start, Tiles);
    return index;
}

// Row `index` of a table. With counts of at most 4 these checks only fail
// for a damaged table.
const uint8_t* row(const Table& table, size_t index) {
    const size_t start = index * kRowWidth;
    if (start > table.size) panic("assertion failed: start <= axis_len");
    if (start + kRowWidth > table.size) panic("assertion failed: end <= axis_len");
    return &table.entries[start];
}

// Folds one more group's row `r` into the running row `w`: afterwards w[k]
// is the least of w[j] + r[k-j], and w[5+k] the least of w[5+j] + r[k-j] and
// w[j] + r[5+k-j], over j = 0..k, for k = 0..M. b runs downwards and every
// write lands above b (w[5+b] only after its last read), so each read sees
// the value from before the merge. r[0] is 0 in every row and never read.
template <size_t M>
void merge(uint32_t (&w)[kRowWidth], const uint8_t* r) {
    for (size_t b = M + 1; b-- > 0;) {
        for (size_t t = M; t > b; --t) {
            const size_t d = t - b;
            w[kPairOffset + t] = std::min({w[kPairOffset + t], r[kPairOffset + d] + w[b], r[d] + w[kPairOffset + b]});
            w[t] = std::min(w[t], r[d] + w[b]);
        }
        w[kPairOffset + b] = std::min(w[kPairOffset + b], w[b] + r[kPairOffset]);
    }
}

// The fixed-size part of the computation, for a hand that must supply M
// melds and the pair. The loops have constant bounds, so the compiler
// unrolls them and keeps the working row in registers.
template <size_t M>
int32_t combine(const uint8_t* first, const uint8_t* second, const uint8_t* third, const uint8_t* honours) {
    uint32_t w[kRowWidth];
    std::copy(first, first + kRowWidth, w);
    merge<M>(w, second);
    merge<M>(w, third);
    // All melds and the pair from the suits; then i melds from the suits and
    // the rest from the honours, the pair on either side; then the pair
    // alone from the honours.
    uint32_t best = w[kPairOffset + M];
    for (size_t i = 0; i < M; ++i)
        best = std::min({best, w[i] + honours[kPairOffset + M - i], w[kPairOffset + i] + honours[M - i]});
    best = std::min(best, w[M] + honours[kPairOffset]);
    return static_cast<int32_t>(best) - 1;
}

}  // namespace

int32_t Solver::shanten(const HandView& hand, size_t fixed_melds) const {
    const uint8_t* first = row(suit, group_index<kSuitTiles>(hand, kSuitStarts[0]));
    const uint8_t* second = row(suit, group_index<kSuitTiles>(hand, kSuitStarts[1]));
    const uint8_t* third = row(suit, group_index<kSuitTiles>(hand, kSuitStarts[2]));
    const uint8_t* honours = row(honour, group_index<kHonourTiles>(hand, kHonourStart));
    switch (kMaxFixedMelds - fixed_melds) {
        case 4: return combine<4>(first, second, third, honours);
        case 3: return combine<3>(first, second, third, honours);
        case 2: return combine<2>(first, second, third, honours);
        case 1: return combine<1>(first, second, third, honours);
        case 0: return combine<0>(first, second, third, honours);
        default: panic("ndarray: index out of bounds");  // more fixed melds than a hand has room for
    }
}

}  // namespace tilewise
