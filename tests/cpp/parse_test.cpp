// Unit test of the parse's fallback: texts just outside the texts' own form
// must give, through parse_table, exactly what the JSON parser alone gives:
// the same entries, or the same message, whose head and position are
// checked too (never the parser's wording). Prints one line per case and
// exits non-zero if any fails.

#include <cstdio>
#include <string>
#include <vector>

#include "panic.hpp"
#include "parse.hpp"

namespace {

using Parse = tilewise::Table (*)(std::string_view);

// "entries: 1 2 3", or "panic: <message>".
std::string outcome(Parse parse, const std::string& text) {
    const std::string padded = text + std::string(64, '\0');  // as the embedded texts are
    try {
        const tilewise::Table table = parse({padded.data(), text.size()});
        std::string entries = "entries:";
        for (size_t i = 0; i < table.size; ++i) entries += " " + std::to_string(table.entries[i]);
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

struct Case {
    const char* name;
    std::string text;
    const char* entries;   // expected entries, or null for a failure at:
    const char* position;
};

}  // namespace

int main() {
    const std::vector<Case> cases = {
        {"own form", "[0, 12, 3]", "entries: 0 12 3", nullptr},
        {"leading zero", "[0, 07, 1]", nullptr, "line 1, column 6"},
        {"three digits", "[0, 100, 255]", "entries: 0 100 255", nullptr},
        {"white space", "[ 1,2 ,\n\t3\r\n]", "entries: 1 2 3", nullptr},
        {"above 255", "[1, 256, 2]", nullptr, "line 1, column 8"},
        {"missing opening bracket", "1, 2]", nullptr, "line 1, column 2"},
        {"missing closing bracket", "[1, 2", nullptr, "line 1, column 6"},
        {"trailing white space", "[1, 2] \n", "entries: 1 2", nullptr},
        {"trailing junk", "[1, 2]x", nullptr, "line 1, column 7"},
        {"junk on a later line", "[1,\n2,\n x]", nullptr, "line 3, column 2"},
        {"unclosed string", "[1, \"" + std::string(100000, '7'), nullptr, "line 1, column 100006"},
    };
    int failures = 0;
    for (const Case& c : cases) {
        const std::string fallback = outcome(tilewise::parse_table, c.text);
        const std::string json = outcome(tilewise::parse_json_table, c.text);
        const bool expected = c.entries ? fallback == c.entries : has_head_and_position(fallback, c.position);
        const bool ok = fallback == json && expected;
        std::printf("%s: %s\n", ok ? "ok" : "FAILED", c.name);
        if (!ok) std::printf("  fallback: %.300s\n  json:     %.300s\n", fallback.c_str(), json.c_str());
        failures += !ok;
    }
    return failures == 0 ? 0 : 1;
}
