import importlib
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

# The checkout these tests come from: the one way a test reaches the sources
# (the generator, the build, the examples). The module under test is always
# the installed one.
ROOT = Path(__file__).resolve().parent.parent

# Sampled tests take fewer samples where every step is slow (an emulated
# processor): TILEWISE_TEST_SCALE=0.25 takes a quarter of each sample, never
# fewer than one. Every check still runs.
SCALE = float(os.environ.get("TILEWISE_TEST_SCALE", "1"))


def scaled(n):
    return max(1, round(n * SCALE))


# Memory figures come from Linux's /proc; elsewhere the tests that need them
# skip, or check what they can without them. Linux itself, not the file: under
# Wine a Windows process can open /proc/self/status, which is then Wine's
# server's, whose figures never move.
HAS_PROC = sys.platform.startswith("linux") and Path("/proc/self/status").exists()


def parse_table_text(text: bytes) -> np.ndarray:
    """The entries of a table text (entries of one or two digits), as rows of ten."""
    body = np.frombuffer(text, dtype=np.uint8)[1:-1]
    is_digit = (body >= ord("0")) & (body <= ord("9"))
    starts = np.flatnonzero(is_digit & ~np.concatenate(([False], is_digit[:-1])))
    values = body[starts].astype(np.int16) - ord("0")
    follows = starts + 1 < len(body)
    two = np.zeros(len(starts), dtype=bool)
    two[follows] = is_digit[starts[follows] + 1]
    values[two] = values[two] * 10 + body[starts[two] + 1] - ord("0")
    return values.astype(np.uint8).reshape(-1, 10)


# CI's Linux legs set TILEWISE_REQUIRE_TOOLS=1: there a C++ compiler and the
# JSON parser's package are always at hand, so a test that finds one missing
# fails instead of skipping. Elsewhere (under Wine, say) such a test skips.
REQUIRE_TOOLS = os.environ.get("TILEWISE_REQUIRE_TOOLS") == "1"


def missing_tool(reason):
    """Skips the test for want of a tool, or fails it where tools are required."""
    if REQUIRE_TOOLS:
        pytest.fail(f"TILEWISE_REQUIRE_TOOLS=1, and {reason}")
    pytest.skip(reason)


def import_tool(name, reason):
    """The module `name`, else missing_tool(reason)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        missing_tool(f"no {name}: {reason}")


def cxx_compiler():
    """The C++ compiler for the programs the tests build, or None."""
    return os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")


def run_cpp_test(tmp_path, test, *sources, includes=(), args=(), optimize="-O2"):
    """Builds the C++ unit test tests/cpp/<test>.cpp with the named files of
    src/ (and the further include folders), at `optimize`, and runs it with
    `args`: the finished process.
    CXXFLAGS and LDFLAGS apply, as to the module's own build (a sanitizer's,
    say). Without a C++ compiler, missing_tool."""
    compiler = cxx_compiler()
    if compiler is None:
        missing_tool("no C++ compiler")
    exe = tmp_path / test
    flags = shlex.split(os.environ.get("CXXFLAGS", "")) + shlex.split(os.environ.get("LDFLAGS", ""))
    subprocess.run([compiler, "-std=c++17", optimize, "-pthread", *flags, f"-I{ROOT / 'src'}",
                    *(f"-isystem{folder}" for folder in includes), "-o", str(exe),
                    str(ROOT / "tests" / "cpp" / f"{test}.cpp"), *(str(ROOT / "src" / s) for s in sources)],
                   check=True)
    return subprocess.run([str(exe), *map(str, args)], capture_output=True, text=True, timeout=300)


def program(name):
    """`name` from this interpreter's environment (the test extra's, found
    even when the venv is not activated), else from PATH, else None."""
    beside = Path(sys.executable).parent / name
    return str(beside) if beside.exists() else shutil.which(name)


def cmake_program():
    return program("cmake")


def tool_env():
    """The environment for the build tools the tests run: without any runtime
    preloaded into this interpreter (a sanitizer's, say), as they are not
    under test. CXXFLAGS and the like still apply."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def build_tool_args():
    """The generator arguments for cmake: a working ninja (the test extra
    brings one), else make, else None."""
    ninja = program("ninja")
    if ninja and subprocess.run([ninja, "--version"], capture_output=True).returncode == 0:
        return ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    if shutil.which("make"):
        return ["-G", "Unix Makefiles"]
    return None


@pytest.fixture(scope="session")
def table_text_paths(tmp_path_factory):
    """Builds and runs the table generator from this checkout: the paths of
    (suit, honour)."""
    compiler = cxx_compiler()
    if compiler is None:
        missing_tool("no C++ compiler to build the table generator")
    out = tmp_path_factory.mktemp("tablegen")
    exe = out / "tablegen"
    subprocess.run(
        [compiler, "-O2", "-std=c++17", "-o", str(exe), str(ROOT / "tablegen" / "tablegen.cpp")],
        check=True,
    )
    subprocess.run([str(exe), str(out / "suit.json"), str(out / "honour.json")], check=True)
    return out / "suit.json", out / "honour.json"


@pytest.fixture(scope="session")
def table_texts(table_text_paths):
    """The generator's texts: (suit, honour)."""
    return tuple(path.read_bytes() for path in table_text_paths)


@pytest.fixture(scope="session")
def suit_rows(table_texts):
    return parse_table_text(table_texts[0])


@pytest.fixture(scope="session")
def honour_rows(table_texts):
    return parse_table_text(table_texts[1])
