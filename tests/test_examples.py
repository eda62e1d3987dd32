"""The examples, run as scripts, against answers worked out by hand."""

import subprocess
import sys

import pytest

from conftest import ROOT


@pytest.mark.parametrize("hand, discard, shanten", [
    # Four melds, and 2z and 7z alone. A complete hand uses every tile, and a
    # lone honour only with a drawn copy as the pair, so 13 tiles that hold
    # both are not ready. Discarding either leaves four melds and a single
    # waiting on its pair.
    ("123m456p789s11127z", "27z", 0),
    # 5m 4p 3s 2z. A complete hand has one suit at 2 mod 3 and the rest at 0,
    # and a draw changes one suit: after a discard from m (4m 4p), s (5m 2s
    # 2z) or z (5m 4p 1z) no draw completes it. From p the draw goes to m or
    # z, so the three p tiles left must be a meld: only 456p is. Without 9p:
    # 123m 45m 456p 789s 11z, waiting on 3m or 6m.
    ("12345m4569p789s11z", "9p", 0),
])
def test_discards_example(hand, discard, shanten):
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "discards.py"), hand],
                            capture_output=True, text=True, timeout=120, check=True)
    assert dict(line.split() for line in result.stdout.splitlines()) == {
        "hand": hand, "discard": discard, "shanten": str(shanten)}
