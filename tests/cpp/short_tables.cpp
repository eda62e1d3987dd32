// A stand-in for the embedded table texts, for the solver's unit test: two
// short tables in the texts' own form. The suit table has two full rows and
// half of a third; the honour table has three full rows and ends exactly
// where a fourth would start. Every row starts with 0, as a distance row
// does, so that the kernels can combine them.

#include <string>

#include "tables.hpp"

namespace tilewise {

std::string_view suit_table_text() {
    static const std::string text = "[0, 3, 6, 9, 12, 1, 4, 7, 10, 13, "
                                    "0, 1, 3, 5, 7, 2, 2, 4, 6, 8, "
                                    "0, 2, 4, 6, 8]";
    return text;
}

std::string_view honour_table_text() {
    static const std::string text = "[0, 3, 6, 9, 12, 2, 5, 8, 11, 14, "
                                    "0, 2, 4, 6, 8, 1, 3, 5, 7, 9, "
                                    "0, 1, 2, 4, 6, 1, 1, 3, 5, 7]";
    return text;
}

}  // namespace tilewise
