"""The parse, through a C++ unit test: texts just outside the texts' own
form (a leading zero, three digits, white space, a value above 255, a
missing bracket, trailing white space or junk, an unclosed string) give
through the JSON parser the same rows, or the same short message with the
failure's line and column, as the JSON parser alone; 256 distinct rows fit
one-byte ids and a 257th stops the parse; a partial last row is out of
bounds. Both real texts, parsed in their own form and by the JSON parser,
give every row through its id as a plain parse of the text has it."""

import pytest

from conftest import import_tool, run_cpp_test


def test_parse(tmp_path, table_text_paths):
    nlohmann_json = import_tool("nlohmann_json", "the JSON parser's headers come with the test extra")
    result = run_cpp_test(tmp_path, "parse_test", "parse.cpp", "panic.cpp", includes=[nlohmann_json.get_include()],
                          args=table_text_paths)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "FAILED" not in result.stdout and result.stdout.count("ok: ") == 21
    assert "suit text, own form: 19531250 entries, 126 distinct rows" in result.stdout
    assert "honour text, JSON: 781250 entries, 55 distinct rows" in result.stdout
