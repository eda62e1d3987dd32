// Unit test of the parse. Texts just outside the texts' own form must give,
// through parse_table, exactly what the JSON parser alone gives: the same
// rows, or the same message, whose head and position are checked too (never
// the parser's wording). Row ids: 256 distinct rows fit, a 257th stops the
// parse, and a partial last row is out of bounds. Given the paths of the two
// real table texts, it also parses each in both ways and reads every row
// through its id against a plain parse of the text. Prints one line per case
// and exits non-zero if any fails.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "panic.hpp"
#include "parse.hpp"

namespace {

using tilewise::kRowWidth;
using Parse = tilewise::Table (*)(std::string_view);

// Every text given to the parse is followed by zero bytes, as the embedded
// texts are.
std::string padded(const std::string& text) { return text + std::string(64, '\0'); }

// "N entries: <the entries of every row, read through its id>", or
// "panic: <message>".
std::string outcome(Parse parse, const std::string& text) {
    const std::string bytes = padded(text);
    try {
        const tilewise::Table table = parse({bytes.data(), text.size()});
        std::string entries = std::to_string(table.size) + " entries:";
        for (size_t r = 0; r < table.size / kRowWidth; ++r)
            for (size_t j = 0; j < kRowWidth; ++j) entries += " " + std::to_string(table.row(r)[j]);
        return entries;
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

// A text of `rows` rows, row k being distinct row (k * 7) % distinct: the
// distinct rows are {d % 16, d / 16, 0, ...}, spread over several chunks.
std::string many_rows(size_t rows, size_t distinct, std::string* entries) {
    std::string text = "[";
    *entries = std::to_string(rows * kRowWidth) + " entries:";
    for (size_t k = 0; k < rows; ++k) {
        const size_t d = (k * 7) % distinct;
        for (size_t j = 0; j < kRowWidth; ++j) {
            const size_t value = j == 0 ? d % 16 : j == 1 ? d / 16 : 0;
            text += (k + j == 0 ? "" : ", ") + std::to_string(value);
            *entries += " " + std::to_string(value);
        }
    }
    return text + "]";
}

struct Case {
    std::string name;
    std::string text;
    std::string expected;  // the outcome, or for a failure of the JSON parser:
    const char* position;  // where it failed
};

bool report(bool ok, const std::string& name, const std::string& detail = "") {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", name.c_str());
    if (!ok && !detail.empty()) std::printf("  %.600s\n", detail.c_str());
    return ok;
}

// A real table text, parsed both ways, every row read through its id
// against the entries of a plain parse.
bool real_text(const char* name, const char* path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    const std::string text = contents.str();
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
    const std::string bytes = padded(text);
    bool all = !plain.empty();
    for (const auto& [way, parse] : {std::pair<const char*, Parse>{"own form", tilewise::parse_table},
                                     {"JSON", tilewise::parse_json_table}}) {
        const tilewise::Table table = parse({bytes.data(), text.size()});
        size_t wrong = table.size == plain.size() ? 0 : 1;
        for (size_t r = 0; wrong == 0 && r < plain.size() / kRowWidth; ++r)
            wrong += std::memcmp(table.row(r), &plain[r * kRowWidth], kRowWidth) != 0;
        all &= report(wrong == 0, std::string(name) + " text, " + way + ": " + std::to_string(table.size) +
                                      " entries, " + std::to_string(table.distinct_rows) + " distinct rows");
    }
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    std::string rows_256, rows_257;
    std::vector<Case> cases = {
        {"own form", "[0, 12, 3, 4, 5, 6, 7, 8, 9, 10, 11]", "11 entries: 0 12 3 4 5 6 7 8 9 10", nullptr},
        {"leading zero", "[0, 07, 1]", "", "line 1, column 6"},
        {"three digits", "[0, 100, 255, 1, 2, 3, 4, 5, 6, 7]", "10 entries: 0 100 255 1 2 3 4 5 6 7", nullptr},
        {"white space", "[ 1,2 ,\n\t3\r\n,4,5,6,7,8,9,10 ]", "10 entries: 1 2 3 4 5 6 7 8 9 10", nullptr},
        {"above 255", "[1, 256, 2]", "", "line 1, column 8"},
        {"missing opening bracket", "1, 2]", "", "line 1, column 2"},
        {"missing closing bracket", "[1, 2", "", "line 1, column 6"},
        {"trailing white space", "[1, 2] \n", "2 entries:", nullptr},
        {"trailing junk", "[1, 2]x", "", "line 1, column 7"},
        {"junk on a later line", "[1,\n2,\n x]", "", "line 3, column 2"},
        {"unclosed string", "[1, \"" + std::string(100000, '7'), "", "line 1, column 100006"},
        {"256 distinct rows", many_rows(5000, 256, &rows_256), rows_256, nullptr},
        {"257 distinct rows", many_rows(5000, 257, &rows_257),
         "panic: a table text has more than 256 distinct rows, more than one-byte row ids can name", nullptr},
    };
    int failures = 0;
    for (const Case& c : cases) {
        const std::string fallback = outcome(tilewise::parse_table, c.text);
        const std::string json = outcome(tilewise::parse_json_table, c.text);
        const bool expected = c.position ? has_head_and_position(fallback, c.position) : fallback == c.expected;
        failures += !report(fallback == json && expected, c.name, "fallback: " + fallback + "\n  json:     " + json);
    }

    // 25 entries: rows 0 and 1, then half a row, which no lookup may read.
    const std::string partial = padded("[1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 3, 6, 9, 12, 2, 5, 8, 11, 14, 1, 1, 1, 1, 1]");
    const tilewise::Table table = tilewise::parse_table({partial.data(), partial.size() - 64});
    const char* expected_panics[] = {"", "", "assertion failed: end <= axis_len", "assertion failed: start <= axis_len"};
    for (size_t r = 0; r < 4; ++r) {
        std::string got;
        try {
            got = std::to_string(table.checked_row(r)[0]);
        } catch (const tilewise::Panic& p) {
            got = p.message;
        }
        const std::string expected = r == 0 ? "1" : r == 1 ? "0" : expected_panics[r];
        failures += !report(table.size == 25 && got == expected, "row " + std::to_string(r) + " of 25 entries",
                            got);
    }

    if (argc == 3) {
        failures += !real_text("suit", argv[1]);
        failures += !real_text("honour", argv[2]);
    }
    return failures == 0 ? 0 : 1;
}
