"""The solver on short tables, through a C++ unit test built from
src/solver.cpp with tests/cpp/short_tables.cpp in place of the embedded
texts: a hand whose row lies past its table's end, in each group in turn,
stops with the bounds message, on the fast path too, and a hand whose rows
all exist gives what its rows give."""

from conftest import ROOT, import_tool, run_cpp_test


def test_solver_on_short_tables(tmp_path):
    nlohmann_json = import_tool("nlohmann_json", "the JSON parser's headers come with the test extra")
    result = run_cpp_test(tmp_path, "solver_test", "solver.cpp", "parse.cpp", "kernel.cpp", "panic.cpp",
                          ROOT / "tests" / "cpp" / "short_tables.cpp", includes=[nlohmann_json.get_include()])
    assert result.returncode == 0, result.stdout + result.stderr
    assert "FAILED" not in result.stdout and result.stdout.count("ok: ") == 13
