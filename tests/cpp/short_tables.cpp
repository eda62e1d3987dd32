// A stand-in for the embedded table texts, for the solver's unit test: two
// short tables in the texts' own form. The suit table has two full rows and
// half of a third; the honour table has three full rows and ends exactly
// where a fourth would start. Every row starts with 0, as a distance row
// does, so that the kernels can combine them.

#include <string>

#include "tables.hpp"

namespace tilewise {

namespace {

// The text, followed by the 64 zero bytes that follow each embedded text.
std::string_view padded(const std::string& text) { return {text.data(), text.size() - 64}; }

}  // namespace

std::string_view suit_table_text() {
    static const std::string text = "[0, 3, 6, 9, 12, 1, 4, 7, 10, 13, "
                                    "0, 1, 3, 5, 7, 2, 2, 4, 6, 8, "
                                    "0, 2, 4, 6, 8]" + std::string(64, '\0');
    return padded(text);
}

std::string_view honour_table_text() {
    static const std::string text = "[0, 3, 6, 9, 12, 2, 5, 8, 11, 14, "
                                    "0, 2, 4, 6, 8, 1, 3, 5, 7, 9, "
                                    "0, 1, 2, 4, 6, 1, 1, 3, 5, 7]" + std::string(64, '\0');
    return padded(text);
}

}  // namespace tilewise
