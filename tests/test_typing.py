"""The installed stub package tilewise-stubs, as mypy --strict reads it: a
correct call passes, and wrong uses fail with mypy's own error codes."""

import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy", reason="mypy comes with the test extra")

GOOD = """
    import numpy as np
    import tilewise

    hand = np.zeros(34, dtype=np.uint8)
    hand[0] = 1
    number: int = tilewise.shanten(hand)
    number = tilewise.shanten(hand=hand)
"""

BAD = """
    import numpy as np
    import tilewise

    listed: int = tilewise.shanten([1] + [0] * 33)
    text: str = tilewise.shanten(np.zeros(34, dtype=np.uint8))
"""


def mypy(tmp_path, name, code):
    """mypy --strict on one snippet, run outside the checkout so that only
    the installed stubs can answer for tilewise: (exit code, error codes)."""
    (tmp_path / name).write_text(textwrap.dedent(code))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), name],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    return result.returncode, re.findall(r"^\S+:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M), result.stdout


def test_mypy_passes_correct_use_and_fails_wrong_use(tmp_path):
    code, errors, out = mypy(tmp_path, "good.py", GOOD)
    assert (code, errors) == (0, []), out
    code, errors, out = mypy(tmp_path, "bad.py", BAD)
    assert (code, errors) == (1, [("5", "arg-type"), ("6", "assignment")]), out
