"""A million calls (fewer under TILEWISE_TEST_SCALE), successes mixed with
every error a normal build can raise, leave no references and no memory
behind.

The loop runs in a fresh interpreter, with standard error sent to /dev/null
while it runs (each panic writes a report there), and reports its figures as
JSON on standard output.
"""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import scaled
from reference import reference_shanten

CALLS = scaled(1_000_000)
WARM_UP_CALLS = scaled(100_000)
RSS_LIMIT_KB = 1024

CHILD = textwrap.dedent(r"""
    import gc, json, os, sys
    import numpy as np
    import tilewise

    setup = json.loads(sys.argv[1])

    def rss_anon_kb():  # None without Linux's /proc (Wine's is its server's)
        if not sys.platform.startswith("linux") or not os.path.exists("/proc/self/status"):
            return None
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
        raise RuntimeError("no RssAnon in /proc/self/status")

    def u8(values):
        return np.array(values, dtype=np.uint8)

    fourteen = u8(setup["fourteen"])
    thirteen_reversed = u8(setup["thirteen"][::-1])[::-1]     # negative stride
    long_hand = u8(setup["long"])                            # 40 entries, a tile past the 34th
    read_only = u8(setup["fourteen"])
    read_only.flags.writeable = False
    no_tiles = np.zeros(34, dtype=np.uint8)                  # total 0
    short = u8([1] * 14)                                     # accepted total, 14 entries
    too_many = u8([5] + [0] * 33)                            # hand[0] = 5
    flat = np.zeros((2, 17), dtype=np.uint8)                 # two dimensions
    signed = np.zeros(34, dtype=np.int8)                     # wrong type
    a_list = [1] * 14                                        # not an array

    try:
        tilewise.shanten(no_tiles)
    except BaseException as e:
        PanicException = type(e)

    arrays = [fourteen, thirteen_reversed, long_hand, read_only, no_tiles, short, too_many, flat, signed]
    others = [a_list, PanicException, TypeError, "hand", "x", tilewise.shanten]
    expected = setup["expected"]
    f = tilewise.shanten

    # Each case is (call, outcome): outcome is the expected result, or the
    # exception type and message.
    cases = [
        (lambda: f(fourteen), expected[0]),
        (lambda: f(thirteen_reversed), expected[1]),
        (lambda: f(hand=long_hand), expected[2]),
        (lambda: f(read_only), expected[0]),
        (lambda: f(fourteen, fourteen), (TypeError, "shanten() takes 1 positional arguments but 2 were given")),
        (lambda: f(fourteen, hand=fourteen), (TypeError, "shanten() got multiple values for argument 'hand'")),
        (lambda: f(x=fourteen), (TypeError, "shanten() got an unexpected keyword argument 'x'")),
        (lambda: f(), (TypeError, "shanten() missing 1 required positional argument: 'hand'")),
        (lambda: f(a_list), (TypeError, "argument 'hand': 'list' object cannot be converted to 'PyArray<T, D>'")),
        (lambda: f(flat), (TypeError, "argument 'hand': dimensionality mismatch:\n from=2, to=1")),
        (lambda: f(signed), (TypeError, "argument 'hand': type mismatch:\n from=int8, to=uint8")),
        (lambda: f(no_tiles), (PanicException, "hand.iter().sum() must be 1, 2, 4, 5, 7, 8, 10, 11, 13 or 14")),
        (lambda: f(short), (PanicException, "ndarray: index out of bounds")),
        (lambda: f(too_many), (PanicException, "hand[0] = 5: a tile count must be 0 to 4")),
    ]

    def run(calls):
        # Returns how many calls gave something other than what was expected.
        wrong = 0
        for i in range(calls):
            call, want = cases[i % len(cases)]
            try:
                got = call()
            except (TypeError, PanicException) as e:
                if not (isinstance(want, tuple) and type(e) is want[0] and str(e) == want[1]):
                    wrong += 1
            else:
                if got != want:
                    wrong += 1
        return wrong

    results = sorted(set(expected))
    def refcounts():
        return ([sys.getrefcount(a) for a in arrays], [sys.getrefcount(r) for r in results],
                [sys.getrefcount(o) for o in others])

    def total_refs():
        return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None

    saved_stderr = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        wrong = run(setup["warm_up"])
        gc.collect()
        refs_before, total_before, rss_before = refcounts(), total_refs(), rss_anon_kb()
        wrong += run(setup["calls"])
        gc.collect()
        refs_after, total_after, rss_after = refcounts(), total_refs(), rss_anon_kb()
    finally:
        os.dup2(saved_stderr, 2)

    sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
    print(json.dumps(dict(
        wrong=wrong, refs_before=refs_before, refs_after=refs_after,
        total_before=total_before, total_after=total_after,
        rss_before=rss_before, rss_after=rss_after, sanitized=sanitized)))
""")


def hand(tiles):
    counts = [0] * 34
    for t in tiles:
        counts[t] += 1
    return counts


def test_a_million_mixed_calls_leak_nothing():
    fourteen = hand([0, 1, 2, 9, 10, 11, 18, 19, 20, 27, 27, 27, 31, 32])
    thirteen = hand([0, 0, 4, 5, 13, 13, 14, 22, 24, 28, 28, 33, 33])
    ten = hand([0, 3, 6, 9, 12, 15, 18, 21, 24, 27])
    long = ten + [0, 0, 1, 0, 0, 0]  # 40 entries, 11 tiles: the one past the 34th adds to the total only
    expected = [reference_shanten(fourteen), reference_shanten(thirteen), reference_shanten(ten)]
    setup = dict(fourteen=fourteen, thirteen=thirteen, long=long, expected=expected,
                 warm_up=WARM_UP_CALLS, calls=CALLS)

    env = dict(os.environ)
    if "libasan" in env.get("LD_PRELOAD", ""):
        # AddressSanitizer keeps freed blocks in quarantine, which would show
        # as growth here: this child frees them at once instead.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""), "quarantine_size_mb=0",
                                                     "thread_local_quarantine_size_kb=0"]))
    child = subprocess.run([sys.executable, "-c", CHILD, json.dumps(setup)], capture_output=True, text=True,
                           timeout=600, env=env)
    assert child.returncode == 0, child.stderr[-4000:]
    figures = json.loads(child.stdout)
    print(figures)

    assert figures["wrong"] == 0
    arrays_before, results_before, others_before = figures["refs_before"]
    arrays_after, results_after, others_after = figures["refs_after"]
    assert arrays_after == arrays_before
    assert others_after == others_before
    if sys.version_info < (3, 12):  # from 3.12 on, small ints are immortal and their count is fixed
        # A leak would add one reference per call that returned the value
        # (over 70,000); a few come and go with the interpreter's own work.
        assert all(abs(a - b) <= 16 for a, b in zip(results_after, results_before)), (results_before,
                                                                                      results_after)
    else:
        assert results_after == results_before
    if figures["total_before"] is not None:
        assert figures["total_after"] - figures["total_before"] < 100
    if figures["rss_before"] is not None:
        assert figures["rss_after"] - figures["rss_before"] <= RSS_LIMIT_KB, figures
