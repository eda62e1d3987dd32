"""The once-only guard, through a C++ unit test: states that a Python caller
cannot bring about in a normal build (waiting threads, a failing build, a
fork in the middle of a build)."""

import os

from conftest import run_cpp_test


def test_once_only_guard(tmp_path):
    result = run_cpp_test(tmp_path, "lazy_test", "panic.cpp")
    assert result.returncode == 0, result.stdout + result.stderr
    checks = 12 if hasattr(os, "fork") else 11  # the fork check needs a fork
    assert "FAILED" not in result.stdout and result.stdout.count("ok: ") == checks
