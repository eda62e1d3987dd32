// This file turns the table texts into tables of row ids and distinct rows.
// A text in the texts' own form is read by a plain loop, and any other text
// by the JSON parser. A text that does not parse stops with a panic: "called
// `Result::unwrap()` on an `Err` value: ", the parser's description, and the
// line and column of the failure within the text. A text of more distinct
// rows than one-byte ids can name stops with a panic that says so.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rows.hpp"

namespace tilewise {

// The parse reads no byte outside the text.
Table parse_table(std::string_view text);

// The same through the JSON parser alone, whatever the text's form.
Table parse_json_table(std::string_view text);

// The paths of the plain loop that this processor runs, as the tests force
// them: "portable" (entry by entry, five at a time where it can), then
// those that read whole rows with vector instructions ("sse2" and "avx2",
// or "neon"). parse_table takes the last.
std::vector<std::string> usable_parse_paths();

// The same through the plain loop alone: no table if the text is not in the
// texts' own form. The tests use it to see that the loop ran, through the
// path named `path` (one of usable_parse_paths; another name panics), or
// the one parse_table takes.
std::optional<Table> parse_own_form_table(std::string_view text, std::string_view path = {});

// parse_table, dropping the text's pages from the process as it passes
// them (Linux; advice only). It is only for the embedded texts, which are
// pages of the module file that the kernel reads back if they are touched
// again.
Table parse_embedded_table(std::string_view text);

}  // namespace tilewise
