// Unit test of the parse. The texts' own form, and texts just outside it,
// must give through parse_table exactly what the JSON parser alone gives:
// the same rows, or the same message, whose head and position are checked
// too (never the parser's wording). The plain loop alone, through each of
// its paths that this processor runs, must read each text in the own form
// and refuse each other text. Texts of whole rows of one-digit entries, one
// or two rows changed at one byte, try the vector paths' check of a row
// and their shortcut for a repeated one. Every text ends at the end of a
// page whose next page cannot be read, with no padding. Row ids:
// 256 distinct rows fit, also when they differ only in their last two
// entries, and a 257th stops the parse. A row that the entries do not fill
// is out of bounds, also one that starts exactly where they end. Each path
// parses on a thread of its own in at most 8 KB of stack. Given the
// paths of the two real table texts, it also parses each in both ways, and
// its last stretch at a page's end, and reads every row through its id
// against a plain parse of the text, through every path. Prints the paths,
// then one line per case, and exits non-zero if any fails.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <pthread.h>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "panic.hpp"
#include "parse.hpp"

namespace {

using tilewise::kRowWidth;
using tilewise::Table;
using Parse = std::function<std::optional<Table>(std::string_view)>;

std::optional<Table> through_fallback(std::string_view text) { return tilewise::parse_table(text); }
std::optional<Table> through_json(std::string_view text) { return tilewise::parse_json_table(text); }
Parse through_path(const std::string& path) {
    return [path](std::string_view text) { return tilewise::parse_own_form_table(text, path); };
}

// A copy of a text whose last byte is the last of a page, and whose next
// page cannot be read: a read past the text's end faults. (Without mmap, a
// plain copy, which only a sanitizer watches.)
class AtPageEnd {
public:
    explicit AtPageEnd(const std::string& text) {
#if defined(__unix__) || defined(__APPLE__)
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_ = (text.size() + page - 1) / page * page + page;
        void* map = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED || mprotect(static_cast<char*>(map) + size_ - page, page, PROT_NONE) != 0) {
            std::perror("mmap");
            std::exit(2);
        }
        map_ = static_cast<char*>(map);
        char* start = map_ + size_ - page - text.size();
        std::memcpy(start, text.data(), text.size());
        view_ = {start, text.size()};
#else
        copy_ = text;
        view_ = copy_;
#endif
    }
    ~AtPageEnd() {
#if defined(__unix__) || defined(__APPLE__)
        munmap(map_, size_);
#endif
    }
    AtPageEnd(const AtPageEnd&) = delete;
    AtPageEnd& operator=(const AtPageEnd&) = delete;

    std::string_view view() const { return view_; }

private:
    char* map_ = nullptr;
    size_t size_ = 0;
    std::string copy_;
    std::string_view view_;
};

std::string entries_of(const Table& table) {
    std::string entries = std::to_string(table.size) + " entries:";
    for (size_t r = 0; r < table.size / kRowWidth; ++r)
        for (size_t j = 0; j < kRowWidth; ++j) entries += " " + std::to_string(table.row(r)[j]);
    return entries;
}

// The text, placed at a page's end, through `parse`: "N entries: <the
// entries of every row, read through its id>", "panic: <message>", or
// "not its own form" when the plain loop alone refuses it.
std::string outcome(Parse parse, const std::string& text) {
    const AtPageEnd placed(text);
    try {
        const std::optional<Table> table = parse(placed.view());
        return table ? entries_of(*table) : "not its own form";
    } catch (const tilewise::Panic& p) {
        return "panic: " + p.message;
    }
}

bool has_head_and_position(const std::string& got, const std::string& position) {
    const std::string head = "panic: called `Result::unwrap()` on an `Err` value: ";
    const std::string tail = " (" + position + ")";
    return got.size() < 300 && got.compare(0, head.size(), head) == 0 && got.size() >= tail.size() &&
           got.compare(got.size() - tail.size(), tail.size(), tail) == 0;
}

// A text of `rows` rows, row k being distinct row (k * 7) % distinct. The
// distinct rows hold d % 16 and d / 16 in entries `at` and `at` + 1, and
// zeros elsewhere, and spread over several chunks. From entry 8 on they
// differ only in the high word of the row ids' hash key.
std::string many_rows(size_t rows, size_t distinct, size_t at, std::string* entries) {
    std::string text = "[";
    *entries = std::to_string(rows * kRowWidth) + " entries:";
    for (size_t k = 0; k < rows; ++k) {
        const size_t d = (k * 7) % distinct;
        for (size_t j = 0; j < kRowWidth; ++j) {
            const size_t value = j == at ? d % 16 : j == at + 1 ? d / 16 : 0;
            text += (k + j == 0 ? "" : ", ") + std::to_string(value);
            *entries += " " + std::to_string(value);
        }
    }
    return text + "]";
}

struct Case {
    std::string name;
    std::string text;
    bool own_form;         // whether the plain loop reads it
    std::string expected;  // the outcome, or for a failure of the JSON parser:
    const char* position;  // where it failed
};

bool report(bool ok, const std::string& name, const std::string& detail = "") {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", name.c_str());
    if (!ok && !detail.empty()) std::printf("  %.600s\n", detail.c_str());
    std::fflush(stdout);  // so that the lines before a fault are seen
    return ok;
}

// The entries of a text in the texts' own form, read plainly.
std::vector<uint8_t> plain_entries(const std::string& text) {
    std::vector<uint8_t> plain;
    unsigned value = 0;
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
        } else if (text[i] == ',' || text[i] == ']') {
            plain.push_back(static_cast<uint8_t>(value));
            value = 0;
        }
    }
    return plain;
}

// Whether `table` holds `plain`'s entries, every row read through its id.
bool holds(const std::optional<Table>& table, const std::vector<uint8_t>& plain) {
    if (!table || table->size != plain.size()) return false;
    for (size_t r = 0; r < plain.size() / kRowWidth; ++r)
        if (std::memcmp(table->row(r), &plain[r * kRowWidth], kRowWidth) != 0) return false;
    return true;
}

// A real table text, parsed by the plain loop and by the JSON parser, every
// row read through its id against the entries of a plain parse. Then its
// last stretch, made a text of its own, at a page's end.
bool real_text(const char* name, const char* path, const std::vector<std::string>& paths) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    const std::string text = contents.str();
    const std::vector<uint8_t> plain = plain_entries(text);
    bool all = !plain.empty();
    std::vector<std::pair<std::string, Parse>> ways;
    for (const std::string& p : paths) ways.emplace_back("own form, " + p, through_path(p));
    ways.emplace_back("JSON", through_json);
    for (const auto& [way, parse] : ways) {
        const std::optional<Table> table = parse(text);
        all &= report(holds(table, plain), std::string(name) + " text, " + way + ": " +
                                               (table ? std::to_string(table->size) : "no") + " entries, " +
                                               std::to_string(table ? table->distinct_rows : 0) + " distinct rows");
    }
    const size_t cut = text.find(", ", text.size() > 5000 ? text.size() - 5000 : 0);
    const std::string tail = cut == std::string::npos ? text : "[" + text.substr(cut + 2);
    const AtPageEnd placed(tail);
    for (const std::string& p : paths)
        all &= report(holds(tilewise::parse_own_form_table(placed.view(), p), plain_entries(tail)),
                      std::string(name) + " text's last " + std::to_string(tail.size()) + " bytes at a page's end, " +
                          p);
    return all;
}

// Texts of eight rows of one-digit entries: rows 2 and 3 alike, and rows
// 4 and 5 as rows 0 and 1, so that a vector path checks some rows and takes
// others as repeats. Row 2, row 3 or both have one byte changed, each byte
// of the row in turn: a digit to the bytes either side of 0-9, to "12" or
// to "07", a comma to ";" or to nothing, a space to a line feed, to two
// spaces or to nothing. Each goes, at a page's end, through every path and
// through the JSON parser, as the cases above. A two-digit entry keeps
// the text in the own form; every other change takes it out.
bool near_misses_in_rows(const std::vector<std::string>& paths) {
    const std::string rows[] = {"0, 1, 2, 3, 4, 5, 6, 7, 8, 9, ", "0, 0, 0, 0, 0, 0, 0, 0, 0, 0, ",
                                "9, 8, 7, 6, 5, 4, 3, 2, 1, 0, ", "0, 1, 2, 3, 4, 5, 6, 7, 8, 9, ",
                                "1, 1, 2, 2, 3, 3, 4, 4, 5, 5, "};
    const size_t order[] = {0, 1, 2, 2, 0, 1, 3, 4};
    const std::vector<std::pair<int, std::vector<std::string>>> changes = {
        {0, {"/", ":", "12", "07"}}, {1, {";", ""}}, {2, {"\n", "  ", ""}}};
    size_t texts = 0;
    for (const std::vector<size_t>& changed : {std::vector<size_t>{2}, {3}, {2, 3}}) {
        for (size_t at = 0; at < 3 * kRowWidth; ++at) {
            for (const std::string& to : changes[at % 3].second) {
                std::string text = "[";
                for (size_t r = 0; r < std::size(order); ++r) {
                    std::string row = rows[order[r]];
                    if (std::find(changed.begin(), changed.end(), r) != changed.end()) row.replace(at, 1, to);
                    text += row;
                }
                text.replace(text.size() - 2, 2, "]");
                ++texts;
                const bool own_form = to == "12";
                const std::string fallback = outcome(through_fallback, text);
                const std::string json = outcome(through_json, text);
                if (fallback != json)
                    return report(false, "near misses in whole rows, through parse_table",
                                  text + "\n  fallback: " + fallback + "\n  json:     " + json);
                for (const std::string& path : paths) {
                    const std::string own = outcome(through_path(path), text);
                    if (own != (own_form ? json : "not its own form"))
                        return report(false, "near misses in whole rows, " + path,
                                      text + "\n  " + path + ": " + own + "\n  json:     " + json);
                }
            }
        }
    }
    return report(true, "near misses in whole rows: " + std::to_string(texts) + " texts");
}

// The stack that `work` takes on a thread of its own, beyond what the same
// thread takes doing nothing: the thread runs on a painted stack, and the
// lowest byte that changed tells how deep it went.
constexpr size_t kStack = size_t{1} << 20;
constexpr unsigned char kPaint = 0xA5;
size_t stack_taken(const std::function<void()>& work) {
    auto depth = [](const std::function<void()>* run) {
        std::vector<unsigned char> stack(kStack, kPaint);
        pthread_attr_t attr;
        pthread_t thread;
        if (pthread_attr_init(&attr) != 0 || pthread_attr_setstack(&attr, stack.data(), kStack) != 0 ||
            pthread_create(&thread, &attr, [](void* f) -> void* {
                (*static_cast<const std::function<void()>*>(f))();
                return nullptr;
            }, const_cast<std::function<void()>*>(run)) != 0 || pthread_join(thread, nullptr) != 0) {
            std::perror("a thread on a stack of the test's own");
            std::exit(2);
        }
        pthread_attr_destroy(&attr);
        return kStack - static_cast<size_t>(std::find_if(stack.begin(), stack.end(),
                                                         [](unsigned char b) { return b != kPaint; }) -
                                            stack.begin());
    };
    const std::function<void()> nothing = [] {};
    const size_t idle = depth(&nothing);
    const size_t busy = depth(&work);
    return busy > idle ? busy - idle : 0;
}

// The plain loop keeps its working record on the heap: the first call may
// run on a thread with a small stack. Each path parses thousands of rows in
// a few KB of stack; with the record on it, it took 17 KB more.
bool small_stack(const std::string& text, const std::vector<std::string>& paths) {
    constexpr size_t kMostStack = 8 * 1024;
    bool all = true;
    for (const std::string& path : paths) {
        size_t entries = 0;
        const size_t taken = stack_taken([&] { entries = tilewise::parse_own_form_table(text, path)->size; });
        all &= report(entries > 0 && taken <= kMostStack, "stack of the " + path + " path: " +
                                                              std::to_string(entries) + " entries",
                      std::to_string(taken) + " bytes, more than " + std::to_string(kMostStack));
    }
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    std::string rows_256, rows_256_high, rows_257;
    std::vector<Case> cases = {
        {"own form", "[0, 12, 3, 4, 5, 6, 7, 8, 9, 10, 11]", true, "11 entries: 0 12 3 4 5 6 7 8 9 10", nullptr},
        {"leading zero", "[0, 07, 1]", false, "", "line 1, column 6"},
        {"three digits", "[0, 100, 255, 1, 2, 3, 4, 5, 6, 7]", false, "10 entries: 0 100 255 1 2 3 4 5 6 7", nullptr},
        {"white space", "[ 1,2 ,\n\t3\r\n,4,5,6,7,8,9,10 ]", false, "10 entries: 1 2 3 4 5 6 7 8 9 10", nullptr},
        {"above 255", "[1, 256, 2]", false, "", "line 1, column 8"},
        {"missing opening bracket", "1, 2]", false, "", "line 1, column 2"},
        {"missing closing bracket", "[1, 2", false, "", "line 1, column 6"},
        {"missing closing bracket after two digits", "[1, 23", false, "", "line 1, column 7"},
        {"ends in a separator", "[0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, ", false, "", "line 1, column 38"},
        {"ends in a comma", "[1, 2,", false, "", "line 1, column 7"},
        {"trailing white space", "[1, 2] \n", false, "2 entries:", nullptr},
        {"trailing junk", "[1, 2]x", false, "", "line 1, column 7"},
        {"junk on a later line", "[1,\n2,\n x]", false, "", "line 3, column 2"},
        {"unclosed string", "[1, \"" + std::string(100000, '7'), false, "", "line 1, column 100006"},
        {"256 distinct rows", many_rows(5000, 256, 0, &rows_256), true, rows_256, nullptr},
        {"256 distinct rows in entries 8 and 9", many_rows(5000, 256, 8, &rows_256_high), true, rows_256_high,
         nullptr},
        {"257 distinct rows", many_rows(5000, 257, 8, &rows_257), true,
         "panic: a table text has more than 256 distinct rows, more than one-byte row ids can name", nullptr},
    };
    const std::vector<std::string> paths = tilewise::usable_parse_paths();
    std::string names;
    for (const std::string& path : paths) names += " " + path;
    std::printf("paths:%s\n", names.c_str());
    int failures = 0;
    for (const Case& c : cases) {
        const std::string fallback = outcome(through_fallback, c.text);
        const std::string json = outcome(through_json, c.text);
        const bool expected = c.position ? has_head_and_position(fallback, c.position) : fallback == c.expected;
        std::string detail = "fallback: " + fallback + "\n  json:     " + json;
        bool own_ok = true;
        for (const std::string& path : paths) {
            const std::string own = outcome(through_path(path), c.text);
            own_ok &= c.own_form ? own == json : own == "not its own form";
            detail += "\n  " + path + ": " + own;
        }
        failures += !report(fallback == json && expected && own_ok, c.name, detail);
    }
    failures += !near_misses_in_rows(paths);
    std::string entries;
    failures += !small_stack(many_rows(5000, 256, 0, &entries), paths);

    // Rows filled by the entries are read whole. A row that starts at or
    // after the end of the entries, or runs past it, is out of bounds.
    const std::string partial = "[1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 3, 6, 9, 12, 2, 5, 8, 11, 14, 1, 1, 1, 1, 1]";
    const std::string exact = "[1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 3, 6, 9, 12, 2, 5, 8, 11, 14]";
    const std::string full_rows[] = {"1 2 3 4 5 6 7 8 9 10", "0 3 6 9 12 2 5 8 11 14"};
    for (const std::string& text : {partial, exact}) {
        const Table table = tilewise::parse_table(text);
        const std::string expected[] = {full_rows[0], full_rows[1], "assertion failed: end <= axis_len",
                                        "assertion failed: start <= axis_len"};
        for (size_t r = 0; r < 4; ++r) {
            std::string got;
            try {
                const uint8_t* row = table.checked_row(r);
                for (size_t j = 0; j < kRowWidth; ++j) got += (j == 0 ? "" : " ") + std::to_string(row[j]);
            } catch (const tilewise::Panic& p) {
                got = p.message;
            }
            failures += !report(table.size == plain_entries(text).size() && got == expected[r], "row " + std::to_string(r) + " of " +
                                                         std::to_string(table.size) + " entries", got);
        }
    }

    if (argc == 3) {
        failures += !real_text("suit", argv[1], paths);
        failures += !real_text("honour", argv[2], paths);
    }
    return failures == 0 ? 0 : 1;
}
