// Unit test of the solver on short tables (tests/cpp/short_tables.cpp takes
// the place of the embedded texts). Hands go through the steps that the
// module composes: the counts read once, the rows fetched on the fast path,
// the checked rows otherwise, then the shanten number. A hand whose row lies
// past the end of its table, in each of the four groups in turn, must stop
// with the bounds message; the fast path must not read such a row unchecked.
// A hand whose rows all exist must give what its rows give. Prints one line
// per case and exits non-zero if any fails.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "hand.hpp"
#include "panic.hpp"
#include "solver.hpp"
#include "tables.hpp"

namespace {

using tilewise::kRowWidth;

// The entries of a table text, read plainly: digits, and a comma or the
// closing bracket after each entry.
std::vector<unsigned> entries(std::string_view text) {
    std::vector<unsigned> values;
    unsigned value = 0;
    for (char c : text.substr(1)) {
        if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<unsigned>(c - '0');
        } else if (c == ',' || c == ']') {
            values.push_back(value);
            value = 0;
        }
    }
    return values;
}

// The hand of 34 counts whose groups take the given rows: each group's row
// index is its last count, the others being 0.
std::vector<uint8_t> hand_of_rows(const size_t (&rows)[4]) {
    std::vector<uint8_t> counts(tilewise::kTileKinds, 0);
    const size_t last[4] = {8, 17, 26, 33};
    for (size_t g = 0; g < 4; ++g) counts[last[g]] = static_cast<uint8_t>(rows[g]);
    return counts;
}

// "shanten N", or "panic: <message>", for the hand, as the module computes
// it once the solver is built.
std::string outcome(const tilewise::Solver& solver, const std::vector<uint8_t>& hand, size_t fixed_melds) {
    try {
        tilewise::Counts counts;
        tilewise::read_hand({hand.data(), hand.size(), 1}, counts);
        tilewise::Rows rows;
        const bool fetched = solver.fetch_rows(counts, rows);
        return "shanten " + std::to_string(solver.shanten(fetched ? rows : solver.rows(counts), fixed_melds));
    } catch (const tilewise::Panic& p) {
        return "panic: " + p.message;
    }
}

// What the rows give by trying every split of the melds over the four
// groups and every group for the pair: the least sum of the entries, less 1.
std::string expected(const std::vector<unsigned>* tables[4], const size_t (&rows)[4], size_t fixed_melds) {
    const size_t melds = tilewise::kMaxFixedMelds - fixed_melds;
    unsigned best = ~0u;
    for (size_t pair = 0; pair < 4; ++pair)
        for (size_t a = 0; a <= melds; ++a)
            for (size_t b = 0; a + b <= melds; ++b)
                for (size_t c = 0; a + b + c <= melds; ++c) {
                    const size_t split[4] = {a, b, c, melds - a - b - c};
                    unsigned sum = 0;
                    for (size_t g = 0; g < 4; ++g)
                        sum += (*tables[g])[rows[g] * kRowWidth + split[g] + (g == pair ? tilewise::kPairOffset : 0)];
                    best = std::min(best, sum);
                }
    return "shanten " + std::to_string(static_cast<int>(best) - 1);
}

bool report(const std::string& name, const std::string& got, const std::string& wanted) {
    const bool ok = got == wanted;
    std::printf("%s: %s: %s\n", ok ? "ok" : "FAILED", name.c_str(), got.c_str());
    if (!ok) std::printf("  expected %s\n", wanted.c_str());
    return ok;
}

}  // namespace

int main() {
    const tilewise::Solver& solver = tilewise::SOLVER.get();
    const std::vector<unsigned> suit = entries(tilewise::suit_table_text());
    const std::vector<unsigned> honour = entries(tilewise::honour_table_text());
    const std::vector<unsigned>* tables[4] = {&suit, &suit, &suit, &honour};
    const char* groups[4] = {"first suit", "second suit", "third suit", "honours"};
    bool all = true;

    // The first row a table lacks: a partial one or, where the entries end
    // with a row, the one that starts at their end. The row after it starts
    // past their end.
    for (size_t g = 0; g < 4; ++g) {
        const size_t missing = tables[g]->size() / kRowWidth;
        for (const auto& [index, message] : {std::pair<size_t, const char*>{missing, "end <= axis_len"},
                                             {missing + 1, "start <= axis_len"}}) {
            size_t rows[4] = {0, 0, 0, 0};
            rows[g] = index;
            all &= report(std::string(groups[g]) + ", row " + std::to_string(index), outcome(solver, hand_of_rows(rows), 0),
                          std::string("panic: assertion failed: ") + message);
        }
    }

    // Rows that all exist, a different one in each group where the tables
    // allow it, for every number of fixed melds.
    const size_t rows[4] = {1, 0, 1, 2};
    const std::vector<uint8_t> hand = hand_of_rows(rows);
    for (size_t fixed = 0; fixed <= tilewise::kMaxFixedMelds; ++fixed)
        all &= report("rows 1, 0, 1, 2, " + std::to_string(fixed) + " fixed melds", outcome(solver, hand, fixed),
                      expected(tables, rows, fixed));
    return all ? 0 : 1;
}
