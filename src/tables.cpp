#include "tables.hpp"

#include <cstddef>
#include <cstdint>

// Defined by the assembler file that embeds the texts; hidden, so that the
// module exports none of them and reaches them without an indirection.
#define TILEWISE_EMBEDDED __attribute__((visibility("hidden")))
extern "C" {
TILEWISE_EMBEDDED extern const char tilewise_suit_text[];
TILEWISE_EMBEDDED extern const uint64_t tilewise_suit_text_size;
TILEWISE_EMBEDDED extern const char tilewise_honour_text[];
TILEWISE_EMBEDDED extern const uint64_t tilewise_honour_text_size;
}

namespace tilewise {

std::string_view suit_table_text() {
    return {tilewise_suit_text, static_cast<size_t>(tilewise_suit_text_size)};
}

std::string_view honour_table_text() {
    return {tilewise_honour_text, static_cast<size_t>(tilewise_honour_text_size)};
}

}  // namespace tilewise
