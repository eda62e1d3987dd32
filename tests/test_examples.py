"""The examples, run as scripts, against answers worked out by hand or given by single calls."""

import importlib.util
import subprocess
import sys
import sysconfig

import numpy as np
import pytest

import tilewise
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


@pytest.mark.parametrize("source", ["generated", "file"])
def test_pool_example(tmp_path, source):
    out = tmp_path / "shanten.npy"
    args = ["--workers", "2", "--out", str(out)]
    if source == "generated":
        spec = importlib.util.spec_from_file_location("pool", ROOT / "examples" / "pool.py")
        pool = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(pool)
        hands = pool.deal(2000, np.random.default_rng(7))
        assert (hands.sum(axis=1) == 14).all() and hands.max() <= 4
        args += ["--hands", "2000", "--seed", "7"]
    else:
        # Every total a hand may hold, and in Fortran order, so that each row
        # the workers read from the mapped file is strided.
        rng = np.random.default_rng(7)
        hands = np.concatenate([rng.multivariate_hypergeometric([4] * 34, total, size=30)
                                for total in (1, 2, 4, 5, 7, 8, 10, 11, 13, 14)]).astype(np.uint8)
        np.save(tmp_path / "hands.npy", np.asfortranarray(hands))
        args.append(str(tmp_path / "hands.npy"))
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "pool.py"), *args],
                            capture_output=True, text=True, timeout=120, check=True)
    saved = np.load(out)
    assert saved.dtype == np.int8
    assert saved.tolist() == [tilewise.shanten(hand) for hand in hands]
    lines = [line.split() for line in result.stdout.splitlines()]
    figures = {words[0]: words[1:] for words in lines}
    threads = sysconfig.get_config_var("Py_GIL_DISABLED") and not sys._is_gil_enabled()
    assert figures["hands"] == [str(len(hands))]
    assert figures["workers"][:2] == ["2", "threads" if threads else "processes"]
    shares = [int(words[words.index("hands") + 1]) for words in lines if words[0] == "worker"]
    assert shares == ([] if threads else [len(hands) // 2, len(hands) - len(hands) // 2])
