"""A module built with TILEWISE_DAMAGED_TABLES=ON (one byte of the suit text
overwritten, no digest check): its first accepted call fails with the
parser's message and position, every later one with the poisoned guard, and
a rejected total before them does not start the parse. The process itself
goes on and exits normally.

The variant is built once per session with cmake and the build tool directly
into a temporary directory, for the interpreter that runs the tests.
"""

import re
import subprocess
import sys
import textwrap

import pytest

from conftest import ROOT, build_tool_args, cmake_program, cxx_compiler, missing_tool, tool_env

# The parser's wording may change with its release: its message is known by
# its head and by the position of the damaged byte, and stands for itself.
PARSE_MESSAGE = "called `Result::unwrap()` on an `Err` value: <the parser's description> (line 1, column 1001)"
PARSE_PATTERN = re.compile(r"called `Result::unwrap\(\)` on an `Err` value: \S.* \(line 1, column 1001\)$")
POISONED = "Once instance has previously been poisoned"
SUM_MESSAGE = "hand.iter().sum() must be 1, 2, 4, 5, 7, 8, 10, 11, 13 or 14"


@pytest.fixture(scope="session")
def damaged_module_dir(tmp_path_factory):
    compiler = cxx_compiler()
    if compiler is None:
        missing_tool("no C++ compiler: the damaged-table variant cannot be built")
    cmake = cmake_program()
    if cmake is None:
        missing_tool("no cmake: install the test extra ('.[test]')")
    generator = build_tool_args()
    if generator is None:
        missing_tool("neither ninja nor make is installed: the damaged-table variant cannot be built")
    build = tmp_path_factory.mktemp("damaged-build")
    env = tool_env()
    configure = subprocess.run(
        [cmake, "-S", str(ROOT), "-B", str(build), *generator, "-DTILEWISE_DAMAGED_TABLES=ON",
         f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release"],
        capture_output=True, text=True, env=env)
    assert configure.returncode == 0, configure.stdout[-3000:] + configure.stderr[-3000:]
    assert "TILEWISE_DAMAGED_TABLES is on" in configure.stderr
    built = subprocess.run([cmake, "--build", str(build), "--parallel", "2"], capture_output=True, text=True,
                           env=env)
    assert built.returncode == 0, built.stdout[-3000:] + built.stderr[-3000:]
    modules = list(build.glob("tilewise*.so")) + list(build.glob("tilewise*.pyd"))
    assert len(modules) == 1, sorted(p.name for p in build.iterdir())
    return build


PRELUDE = textwrap.dedent("""
    import sys
    sys.path.insert(0, sys.argv[1])
    import numpy as np
    import tilewise
    assert tilewise.__file__.startswith(sys.argv[1]), tilewise.__file__

    def outcome(values):
        try:
            value = tilewise.shanten(np.array(values, dtype=np.uint8))
        except BaseException as e:
            assert isinstance(e, BaseException) and not isinstance(e, Exception), type(e).__mro__
            assert type(e).__name__ == "PanicException", type(e)
            return f"panic: {e}"
        return f"value: {value}"

    def attempt(values):
        print(outcome(values), flush=True)

    READY = [1] * 13 + [0] * 21
    COMPLETE = [1] * 14 + [0] * 20
""")


def run(build_dir, body):
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body), str(build_dir)],
                          capture_output=True, text=True, timeout=120)


def normalised(lines):
    return [PARSE_PATTERN.sub(PARSE_MESSAGE, line) for line in lines]


def panic_reports(stderr):
    """The messages of the panic reports in `stderr`, in order."""
    lines = stderr.split("\n")
    return normalised([lines[i + 1] for i, line in enumerate(lines[:-1])
                       if line.startswith("thread ") and " panicked at " in line and line.endswith(":")])


@pytest.mark.parametrize("calls, outputs", [
    # The first accepted call parses and fails; every later one finds the guard poisoned.
    ("attempt(READY)\nattempt(READY)\nattempt(COMPLETE)",
     [f"panic: {PARSE_MESSAGE}", f"panic: {POISONED}", f"panic: {POISONED}"]),
    # Rejected totals come first and do not start the parse.
    ("attempt([0] * 34)\nattempt([1] * 3 + [0] * 31)\nattempt(READY)\nattempt(READY)",
     [f"panic: {SUM_MESSAGE}", f"panic: {SUM_MESSAGE}", f"panic: {PARSE_MESSAGE}", f"panic: {POISONED}"]),
    # Once poisoned, a rejected total still gets its own message, and a
    # hand that is short or has a count above 4 finds the guard poisoned.
    ("attempt(COMPLETE)\nattempt([0] * 34)\nattempt([1] * 14)\nattempt([5] + [0] * 33)\nattempt(READY)",
     [f"panic: {PARSE_MESSAGE}", f"panic: {SUM_MESSAGE}", f"panic: {POISONED}", f"panic: {POISONED}",
      f"panic: {POISONED}"]),
    # A short hand with an accepted total is the first accepted call too.
    ("attempt([1] * 14)\nattempt([1] * 14)", [f"panic: {PARSE_MESSAGE}", f"panic: {POISONED}"]),
])
def test_damaged_tables(damaged_module_dir, calls, outputs):
    child = run(damaged_module_dir, calls + "\nprint('still running', flush=True)\n")
    assert child.returncode == 0, child.stderr
    assert normalised(child.stdout.split("\n")) == outputs + ["still running", ""]
    # Each panic also left a report on standard error, in the same order.
    assert panic_reports(child.stderr) == [line.removeprefix("panic: ") for line in outputs]


def test_damaged_tables_from_threads(damaged_module_dir):
    """Four threads race to the first call: one sees the parse fail, the rest the poisoned guard."""
    child = run(damaged_module_dir, """
        import threading
        barrier = threading.Barrier(4)
        seen = []
        def worker():
            barrier.wait(timeout=60)
            seen.append(outcome(READY))
        threads = [threading.Thread(target=worker) for _ in range(4)]
        for t in threads: t.start()
        for t in threads: t.join(timeout=60)
        assert not any(t.is_alive() for t in threads)
        for line in seen: print(line)
        attempt(READY)
    """)
    assert child.returncode == 0, child.stderr
    lines = normalised(child.stdout.split("\n"))
    assert sorted(lines[:4]) == sorted([f"panic: {PARSE_MESSAGE}"] + [f"panic: {POISONED}"] * 3)
    assert lines[4:] == [f"panic: {POISONED}", ""]
