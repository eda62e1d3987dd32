"""Benchmarks of tilewise. Each figure is printed beside its goal, measured in
this run; the script exits non-zero if a goal is missed (--no-check: print only).

Run from a checkout after installing: python bench/bench.py
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-check", action="store_true", help="print the figures, check no goal")
    args = parser.parse_args()

    rows = []
    seconds = generator_seconds()
    rows.append(("generator", f"{seconds:.3f} s", "<= 1 s", seconds <= 1.0))

    print(f"{'figure':<12} {'measured':>12}  {'goal':<10} met")
    for name, measured, goal, met in rows:
        print(f"{name:<12} {measured:>12}  {goal:<10} {'yes' if met else 'NO'}")
    if not args.no_check and not all(met for *_, met in rows):
        sys.exit(1)


if __name__ == "__main__":
    main()
