"""The parse, through a C++ unit test, built optimised and not (a read past
a text's end may show in one build only), through every path of the plain
loop that this processor runs (the portable one, and the vector ones that
read whole rows). The texts' own form is read by the plain loop; texts just
outside it (a leading zero, three digits, white space, a value above 255, a
missing bracket, a trailing separator, trailing white space or junk, an
unclosed string, and rows of one-digit entries with one byte changed) are
refused by it and give through the JSON parser the same rows, or the same
short message with the failure's line and column, as the JSON parser
alone. Each text ends where an unreadable page starts. 256 distinct rows
fit one-byte ids, also when they differ only in their last two entries,
and a 257th stops the parse; a row the entries do not fill is out of
bounds. Each path parses thousands of rows on a thread of its own in at
most 8 KB of stack. Optimised, both real texts are read by each path and by the JSON
parser, and give every row through its id as a plain parse of the text
has it; so does each one's last stretch at a page's end."""

import platform
from pathlib import Path

import pytest

from conftest import import_tool, run_cpp_test

CASES = 26  # lines of the synthetic cases
REAL_TEXTS = [("suit", 19531250, 126), ("honour", 781250, 55)]
VECTOR_PATHS = {"x86_64": "sse2", "amd64": "sse2", "aarch64": "neon", "arm64": "neon"}


def processor_has_avx2():
    try:
        return any(line.startswith("flags") and " avx2" in line
                   for line in Path("/proc/cpuinfo").read_text().splitlines())
    except OSError:
        return None


@pytest.mark.parametrize("optimize", ["-O2", "-O0"])
def test_parse(tmp_path, table_text_paths, optimize):
    nlohmann_json = import_tool("nlohmann_json", "the JSON parser's headers come with the test extra")
    # Unoptimised, the real texts would take seconds more; the synthetic
    # cases hold every kind of text end.
    real = optimize == "-O2"
    result = run_cpp_test(tmp_path, "parse_test", "parse.cpp", "panic.cpp", includes=[nlohmann_json.get_include()],
                          args=table_text_paths if real else (), optimize=optimize)
    assert result.returncode == 0, result.stdout + result.stderr
    paths = result.stdout.splitlines()[0].removeprefix("paths: ").split()
    assert paths[0] == "portable"
    if platform.machine().lower() in VECTOR_PATHS:
        assert VECTOR_PATHS[platform.machine().lower()] in paths
    if platform.machine().lower() in ("x86_64", "amd64") and processor_has_avx2() is not None:
        assert ("avx2" in paths) == processor_has_avx2()
    real_lines = [f"{name} text, {way}: {entries} entries, {distinct} distinct rows"
                  for name, entries, distinct in REAL_TEXTS for way in [f"own form, {p}" for p in paths] + ["JSON"]]
    assert "FAILED" not in result.stdout
    stack_lines = len(paths)  # each path's stack
    assert result.stdout.count("ok: ") == CASES + stack_lines + (
        len(real_lines) + len(REAL_TEXTS) * len(paths) if real else 0)
    for line in real_lines if real else []:
        assert f"ok: {line}\n" in result.stdout
