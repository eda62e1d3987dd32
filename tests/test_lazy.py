"""The once-only guard, through a C++ unit test: states that a Python caller
cannot bring about in a normal build (waiting threads, a failing build)."""

from conftest import run_cpp_test


def test_once_only_guard(tmp_path):
    result = run_cpp_test(tmp_path, "lazy_test", "panic.cpp")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "FAILED" not in result.stdout and result.stdout.count("ok: ") == 11
