"""Benchmarks of tilewise. Each figure is printed beside its floor, measured in
this run; the script exits non-zero if a goal is missed (--no-check: print only).

Run from a checkout after installing: python bench/bench.py
The first call, the memory and the import are measured in fresh processes, so
that no table is parsed and nothing is loaded yet. MB here is 10**6 bytes.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MB = 1_000_000


def generator_seconds(repeats=5):
    """Best wall time of the table generator writing both texts."""
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    with tempfile.TemporaryDirectory() as tmp:
        exe = Path(tmp) / "tablegen"
        subprocess.run([compiler, "-O3", "-std=c++17", "-o", str(exe),
                        str(ROOT / "tablegen" / "tablegen.cpp")], check=True)
        best = float("inf")
        for _ in range(repeats):
            start = time.perf_counter()
            subprocess.run([str(exe), f"{tmp}/suit.json", f"{tmp}/honour.json"], check=True)
            best = min(best, time.perf_counter() - start)
    return best


def random_hands(n, seed=2024):
    """n distinct hands of 14 tiles drawn from the 136-tile wall."""
    import numpy
    rng = numpy.random.default_rng(seed)
    seen, hands = set(), []
    while len(hands) < n:
        tiles = rng.choice(136, size=14, replace=False)
        hand = numpy.bincount(tiles // 4, minlength=34).astype(numpy.uint8)
        if hand.tobytes() not in seen:
            seen.add(hand.tobytes())
            hands.append(hand)
    return hands


def loop_seconds(function, hands):
    start = time.perf_counter()
    for a in hands:
        function(a)
    return time.perf_counter() - start


def per_call(repeats=7, n=4096):
    """Best loop time over n hands, of shanten and of len, repeats interleaved."""
    import tilewise
    hands = random_hands(n)
    for a in hands:  # parse the tables and check every hand is accepted
        tilewise.shanten(a)
    best_shanten = best_len = float("inf")
    for _ in range(repeats):
        best_shanten = min(best_shanten, loop_seconds(tilewise.shanten, hands))
        best_len = min(best_len, loop_seconds(len, hands))
    return best_shanten / n, best_len / n


# Runs in a fresh process: prints the import's RssAnon growth, the floor (the
# module file read and summed once), then the first call's time and RssAnon
# growth. RssAnon is None where /proc is missing.
FIRST_CALL = r"""
import time

def rss_anon():
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        return None

before_import = rss_anon()
import tilewise
after_import = rss_anon()
import numpy

path = tilewise.__file__
start = time.perf_counter()
numpy.fromfile(path, dtype=numpy.uint8).sum()
floor = time.perf_counter() - start

hand = numpy.zeros(34, dtype=numpy.uint8)
for tile, count in {0: 1, 1: 1, 2: 1, 12: 1, 13: 1, 14: 1, 24: 1, 25: 1, 26: 1, 27: 3, 28: 2}.items():
    hand[tile] = count
before = rss_anon()
start = time.perf_counter()
result = tilewise.shanten(hand)
first = time.perf_counter() - start
after = rss_anon()
assert result == -1, result
grown = lambda a, b: None if a is None or b is None else b - a
print(repr((first, floor, grown(before, after), grown(before_import, after_import))))
"""


def first_call(processes=7):
    """Best first-call time and best floor over fresh processes; the largest
    RssAnon growths of the first call and of the import."""
    import ast
    runs = [ast.literal_eval(subprocess.run([sys.executable, "-c", FIRST_CALL], check=True,
                                            capture_output=True, text=True).stdout)
            for _ in range(processes)]
    def largest(values):
        return None if None in values else max(values)
    return (min(r[0] for r in runs), min(r[1] for r in runs),
            largest([r[2] for r in runs]), largest([r[3] for r in runs]))


def import_seconds(processes=7):
    """Best self time of tilewise's and of math's lines in -X importtime, both
    imported by each fresh process, in alternating order."""
    best = {"tilewise": float("inf"), "math": float("inf")}
    for i in range(processes):
        order = ("math", "tilewise") if i % 2 == 0 else ("tilewise", "math")
        stderr = subprocess.run([sys.executable, "-X", "importtime", "-c", "import " + ", ".join(order)],
                                check=True, capture_output=True, text=True).stderr
        for line in stderr.splitlines():
            fields = [f.strip() for f in line.split("|")]
            if len(fields) == 3 and fields[2] in best:
                best[fields[2]] = min(best[fields[2]], int(fields[0].split(":")[1]) / 1e6)
    return best["tilewise"], best["math"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-check", action="store_true", help="print the figures, check no goal")
    args = parser.parse_args()

    # Per figure: measured, floor, ratio, goal (as shown) and whether the goal
    # is met (None: not measurable on this system).
    rows = []

    call, call_floor = per_call()
    ratio = call / call_floor
    rows.append(("per call", f"{call * 1e9:.1f} ns", f"{call_floor * 1e9:.1f} ns len(a) loop",
                 f"{ratio:.2f} x", "<= 3.0 x floor", ratio <= 3.0))

    first, first_floor, first_rss, import_rss = first_call()
    ratio = first / first_floor
    rows.append(("first call", f"{first * 1e3:.1f} ms", f"{first_floor * 1e3:.1f} ms read+sum .so",
                 f"{ratio:.2f} x", "<= 4.5 x floor", ratio <= 4.5))
    tables = 10 * (5**9 + 5**7)  # entries of both tables, one byte each
    if first_rss is None:
        rows.append(("memory", "n/a", "no /proc here", "", "<= +24 MB", None))
    else:
        rows.append(("memory", f"+{first_rss / MB:.1f} MB", f"{tables / MB:.1f} MB table entries",
                     f"{first_rss / tables:.2f} x", "<= +24 MB", first_rss <= 24 * MB))

    own, math_own = import_seconds()
    no_table_work = import_rss is None or import_rss < MB
    shown_rss = "" if import_rss is None else f", +{import_rss / MB:.1f} MB"
    rows.append(("import", f"{own * 1e3:.2f} ms{shown_rss}", f"{math_own * 1e3:.2f} ms import math",
                 f"{own / math_own:.2f} x", "<= 1 ms, no tables", own <= 1e-3 and no_table_work))

    seconds = generator_seconds()
    rows.append(("generator", f"{seconds:.3f} s", "", "", "<= 1 s", seconds <= 1.0))

    header = ("figure", "measured", "floor, same run", "ratio", "goal", "met")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(5)]
    def show(cells):
        return "  ".join(str(c).ljust(w) for c, w in zip(cells, widths + [3])).rstrip()
    print(show(header))
    for *cells, met in rows:
        print(show(cells + ["yes" if met else "n/a" if met is None else "NO"]))
    if not args.no_check and not all(met is not False for *_, met in rows):
        sys.exit(1)


if __name__ == "__main__":
    main()
