"""The once-only guard, through a C++ unit test: states that a Python caller
cannot bring about in a normal build (waiting threads, a failing build)."""

import subprocess

import pytest

from conftest import ROOT, cxx_compiler


def test_once_only_guard(tmp_path):
    compiler = cxx_compiler()
    if compiler is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path / "lazy_test"
    subprocess.run([compiler, "-std=c++17", "-O1", "-pthread", f"-I{ROOT / 'src'}", "-o", str(exe),
                    str(ROOT / "tests" / "cpp" / "lazy_test.cpp"), str(ROOT / "src" / "panic.cpp")], check=True)
    result = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "FAILED" not in result.stdout and result.stdout.count("ok: ") == 11
