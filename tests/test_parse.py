"""The parse's fallback, through a C++ unit test: texts just outside the
texts' own form (a leading zero, three digits, white space, a value above
255, a missing bracket, trailing white space or junk, an unclosed string)
give through the JSON parser the same entries, or the same short message
with the failure's line and column, as the JSON parser alone."""

import pytest

from conftest import run_cpp_test


def test_texts_outside_their_own_form(tmp_path):
    nlohmann_json = pytest.importorskip("nlohmann_json", reason="the JSON parser's headers come with the test extra")
    result = run_cpp_test(tmp_path, "parse_test", "parse.cpp", "panic.cpp", includes=[nlohmann_json.get_include()])
    assert result.returncode == 0, result.stdout + result.stderr
    assert "FAILED" not in result.stdout and result.stdout.count("ok: ") == 11
