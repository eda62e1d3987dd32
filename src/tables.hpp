// The two distance table texts that the build embeds into the module.
#pragma once

#include <string_view>

namespace tilewise {

// Each text is a JSON array of the table's entries, row after row. Both stay
// mapped for the life of the process.
std::string_view suit_table_text();
std::string_view honour_table_text();

}  // namespace tilewise
