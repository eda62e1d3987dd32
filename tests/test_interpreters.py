"""The module initialises once per process: importing it again, after it has
left sys.modules or inside a sub-interpreter, raises ImportError, and the
process goes on normally. Each case runs in a fresh interpreter."""

import subprocess
import sys
import sysconfig
import textwrap

import pytest

MESSAGE = "PyO3 modules may only be initialized once per interpreter process"
# A free-threaded interpreter refuses a single-phase module in a
# sub-interpreter itself, before the module's initialisation runs.
SUB_MESSAGE = ("module tilewise does not support loading in subinterpreters"
               if sysconfig.get_config_var("Py_GIL_DISABLED") else MESSAGE)

PRELUDE = textwrap.dedent("""
    import sys
    import numpy as np
    import tilewise

    HAND = np.array([1, 1, 1] + [0] * 6 + [2, 0, 0, 1, 1, 1] + [0] * 12 + [3, 3, 0, 0, 0, 0, 0], dtype=np.uint8)

    def check_still_works(module):
        assert module.shanten(HAND) == -1  # 123m 1p 456p 111z 222z: complete
""")


def run(code, timeout=120):
    child = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True,
                           text=True, timeout=timeout)
    return child


def test_import_after_leaving_sys_modules():
    child = run("""
        first = tilewise
        check_still_works(first)
        del sys.modules["tilewise"]
        for attempt in range(3):
            try:
                import tilewise
            except ImportError as e:
                assert str(e) == MESSAGE, str(e)
                print("ImportError", attempt)
            else:
                raise AssertionError("imported a second time")
            assert "tilewise" not in sys.modules
        check_still_works(first)  # the first module object is untouched
        print("done")
    """.replace("MESSAGE", repr(MESSAGE)))
    assert child.returncode == 0, child.stderr
    assert child.stdout.split("\n") == ["ImportError 0", "ImportError 1", "ImportError 2", "done", ""]


SUB_CODE = textwrap.dedent("""
    try:
        import tilewise
    except ImportError as e:
        print("sub: ImportError:", str(e), flush=True)
    else:
        print("sub: imported", flush=True)
""")


def subinterpreter_runners():
    """(name, code that runs SUB_CODE in a sub-interpreter and prints its status)."""
    runners = []
    try:
        import _testcapi
    except ImportError:
        _testcapi = None
    if _testcapi is not None and hasattr(_testcapi, "run_in_subinterp"):
        # A legacy sub-interpreter: it shares the GIL and may load
        # single-phase modules, so the module's own initialisation decides.
        runners.append(pytest.param("import _testcapi\nprint('status', _testcapi.run_in_subinterp(SUB))",
                                    id="_testcapi.run_in_subinterp"))
    if sys.version_info < (3, 12):
        # Before 3.12 these interpreters are legacy ones too.
        try:
            import _xxsubinterpreters  # noqa: F401
            runners.append(pytest.param(
                "import _xxsubinterpreters as xi\ni = xi.create()\nxi.run_string(i, SUB)\nxi.destroy(i)\n"
                "print('status', 0)", id="_xxsubinterpreters"))
        except ImportError:
            pass
    return runners


RUNNERS = subinterpreter_runners()


@pytest.mark.skipif(not RUNNERS, reason="no way to run a sub-interpreter: this Python lacks _testcapi "
                                        "(and, before 3.12, _xxsubinterpreters)")
@pytest.mark.parametrize("runner", RUNNERS)
@pytest.mark.parametrize("first_call", [False, True], ids=["before first call", "after first call"])
def test_import_in_subinterpreter(runner, first_call):
    code = f"SUB = {SUB_CODE!r}\n"
    if first_call:
        code += "check_still_works(tilewise)\n"
    code += runner + "\ncheck_still_works(tilewise)\nprint('main: done')\n"
    child = run(code)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split("\n") == [f"sub: ImportError: {SUB_MESSAGE}", "status 0", "main: done", ""], (
        child.stdout, child.stderr)
