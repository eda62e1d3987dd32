"""The parse, through a C++ unit test, built optimised and not (a read past
a text's end may show in one build only). The texts' own form is read by
the plain loop; texts just outside it (a leading zero, three digits, white
space, a value above 255, a missing bracket, a trailing separator, trailing
white space or junk, an unclosed string) are refused by it and give through
the JSON parser the same rows, or the same short message with the failure's
line and column, as the JSON parser alone. Each text ends where an
unreadable page starts. 256 distinct rows fit one-byte ids, also when they
differ only in their last two entries, and a 257th stops the parse; a row
the entries do not fill is out of bounds. Optimised, both real texts are
read by the plain loop and by the JSON parser, and give every row through
its id as a plain parse of the text has it; so does each one's last stretch
at a page's end."""

import pytest

from conftest import import_tool, run_cpp_test

CASES = 25  # lines of the synthetic cases
REAL_TEXT_LINES = [
    "suit text, own form: 19531250 entries, 126 distinct rows",
    "suit text, JSON: 19531250 entries, 126 distinct rows",
    "honour text, own form: 781250 entries, 55 distinct rows",
    "honour text, JSON: 781250 entries, 55 distinct rows",
]


@pytest.mark.parametrize("optimize", ["-O2", "-O0"])
def test_parse(tmp_path, table_text_paths, optimize):
    nlohmann_json = import_tool("nlohmann_json", "the JSON parser's headers come with the test extra")
    # Unoptimised, the real texts would take seconds more; the synthetic
    # cases hold every kind of text end.
    real = optimize == "-O2"
    result = run_cpp_test(tmp_path, "parse_test", "parse.cpp", "panic.cpp", includes=[nlohmann_json.get_include()],
                          args=table_text_paths if real else (), optimize=optimize)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "FAILED" not in result.stdout and result.stdout.count("ok: ") == CASES + (6 if real else 0)
    for line in REAL_TEXT_LINES if real else []:
        assert f"ok: {line}\n" in result.stdout
