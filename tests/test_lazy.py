"""The once-only guard, through a C++ unit test: states that a Python caller
cannot bring about in a normal build (waiting threads, a failing build)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_once_only_guard(tmp_path):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path / "lazy_test"
    subprocess.run([compiler, "-std=c++17", "-O1", "-pthread", f"-I{ROOT / 'src'}", "-o", str(exe),
                    str(ROOT / "tests" / "cpp" / "lazy_test.cpp"), str(ROOT / "src" / "panic.cpp")], check=True)
    result = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "FAILED" not in result.stdout and result.stdout.count("ok: ") == 11
