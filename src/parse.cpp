#include "parse.hpp"

#include <algorithm>
#include <iterator>
#include <string>

// Linux only: advice on the tables' memory (see prefer_huge_pages and
// release_pages). macOS and Windows build without it and get no advice.
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

// The only file that reads the JSON parser's headers: they are large, and
// would triple the compile time and memory of any file that includes them.
#include <nlohmann/json.hpp>

#include "panic.hpp"

namespace tilewise {

namespace {

// --- Storage -------------------------------------------------------------------

// Asks Linux to back the 2 MB-aligned interior of a large new buffer with
// huge pages: its first writes then fault a few times, not once per 4 KB
// page, which costs a twentieth of the parse. Only advice: a refusal or
// another system changes nothing else. Windows gives large pages only to a
// process holding the right to lock memory, so there the pages stay small.
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

// --- The texts' own form -----------------------------------------------------

// "[", entries of one or two digits without a leading zero joined by ", ",
// and "]" as the last byte. Each entry takes at least three bytes of the
// text, brackets included, which sizes the storage; the zero bytes after the
// text stop any read past its end. Anything else gives an empty table, and
// the JSON parser reads the text again to report it.
Table parse_own_form(std::string_view text) {
    if (text.size() < 3 || text.front() != '[') return {};
    Table table = new_table(text.size() / 3);
    uint8_t* next = table.entries.get();
    const uint8_t* const room_end = next + text.size() / 3;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + 1;
    const auto* const last = p + text.size() - 2;
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

// --- Any JSON text ---------------------------------------------------------------

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

// A pointer into the text that keeps `*read` at the furthest byte the parser
// has taken: its events carry no position, and a value the handler refuses
// is reported where the parser stopped, just past that value.
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

// The parser's events: each entry of one array of integers 0..255 goes
// straight into storage sized for it; anything else stops the parse with a
// reason.
class EntryHandler {
public:
    using json = nlohmann::json;

    EntryHandler(uint8_t* out, size_t capacity) : out_(out), capacity_(capacity) {}

    // Called for nearly every entry: one test for all that append checks,
    // as `open_` stays at `next_` (no room) outside the array.
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
        open_ = out_ + capacity_;
        return true;
    }
    bool end_array() { return --depth_, open_ = next_, true; }

    bool number_float(json::number_float_t, const json::string_t&) { return not_an_entry(); }
    bool null() { return not_an_entry(); }
    bool boolean(bool) { return not_an_entry(); }
    bool string(json::string_t&) { return not_an_entry(); }
    bool binary(json::binary_t&) { return not_an_entry(); }
    bool start_object(std::size_t) { return not_an_entry(); }
    bool key(json::string_t&) { return not_an_entry(); }
    bool end_object() { return not_an_entry(); }

    // A syntax error: the parser's own description, and where it stopped
    // (`read` counts the bytes it took, the offending one included).
    bool parse_error(std::size_t read, const std::string&, const json::exception& e) {
        parser_reason_ = e.what();
        parser_offset_ = read > 0 ? read - 1 : 0;
        return false;
    }

    size_t size() const { return static_cast<size_t>(next_ - out_); }
    const char* reason() const { return reason_; }
    const std::string& parser_reason() const { return parser_reason_; }
    size_t parser_offset() const { return parser_offset_; }

private:
    bool append(json::number_unsigned_t v) {
        if (depth_ != 1) return reject("Expected one array of integers.");
        if (v > 255) return not_an_entry();
        if (size() == capacity_) return reject("More entries than the text has separators.");
        *next_++ = static_cast<uint8_t>(v);
        return true;
    }
    bool not_an_entry() { return reject("Expected an integer from 0 to 255."); }
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

// Drops the whole pages within a text from the process (Linux; advice only).
// The texts are file pages of the module, which stay in the page cache; only
// the parse reads them, once. macOS and Windows keep them mapped until the
// system trims the process's pages, as it does with unused ones.
void release_pages([[maybe_unused]] std::string_view text) {
#if defined(__linux__) && defined(MADV_DONTNEED)
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = (reinterpret_cast<uintptr_t>(text.data()) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(text.data()) + text.size()) & ~(page - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
#endif
}

}  // namespace

Table parse_json_table(std::string_view text) {
    // One entry per separator, plus one: the storage is sized exactly, and
    // the entries go straight into it.
    const size_t capacity = commas(text) + 1;
    Table table = new_table(capacity);
    EntryHandler handler(table.entries.get(), capacity);
    std::string reason;
    size_t offset = 0;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        // The parser would skip a byte order mark; a table text has none.
        reason = "A byte order mark is not part of a table text.";
    } else {
        const char* read = text.data();
        if (!nlohmann::json::sax_parse(Reading(text.data(), &read), Reading(text.data() + text.size(), &read),
                                       &handler)) {
            if (handler.reason() != nullptr) {
                reason = handler.reason();
                offset = static_cast<size_t>(read - text.data()) - 1;  // the parser reads one byte ahead
            } else {
                reason = describe(handler.parser_reason());
                offset = handler.parser_offset();
            }
        }
    }
    if (!reason.empty())
        panic("called `Result::unwrap()` on an `Err` value: " + reason + " (" + position(text, offset) + ")");
    table.size = handler.size();
    return table;
}

Table parse_table(std::string_view text) {
    Table table = parse_own_form(text);
    return table.size != 0 ? std::move(table) : parse_json_table(text);
}

Table parse_embedded_table(std::string_view text) {
    Table table = parse_table(text);
    release_pages(text);
    return table;
}

}  // namespace tilewise
