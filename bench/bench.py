"""Benchmarks of tilewise. Each figure is printed beside its floor, measured in
this run; the script exits non-zero if a goal is missed (--no-check: print only).

Run from a checkout after installing: python bench/bench.py
With --against MODULE (the tilewise.*.so of another build, say of the commit
before a change), that build's per call, first call and memory are measured
side by side with the installed module's.
The first call, the memory and the import are measured in fresh processes, so
that no table is parsed and nothing is loaded yet. MB here is 10**6 bytes.
"""

import argparse
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import statistics
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MB = 1_000_000


def compiler():
    return os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")


def null_module(directory):
    """Builds and imports tilewise_null: src/lib.cpp with TILEWISE_NULL_CALL,
    the same call as tilewise.shanten without the solver, built like the
    module (optimised, hidden symbols) by the same compiler."""
    import numpy
    path = Path(directory) / ("tilewise_null" + sysconfig.get_config_var("EXT_SUFFIX"))
    flags = ["-O3", "-DNDEBUG", "-std=c++17", "-fPIC", "-shared", "-fvisibility=hidden",
             "-fvisibility-inlines-hidden", "-DTILEWISE_NULL_CALL"]
    if sys.platform == "darwin":
        flags += ["-undefined", "dynamic_lookup"]
    subprocess.run([compiler(), *flags, f"-I{sysconfig.get_paths()['include']}", f"-I{numpy.get_include()}",
                    f"-I{ROOT / 'src'}", "-o", str(path), str(ROOT / "src" / "lib.cpp"),
                    str(ROOT / "src" / "panic.cpp")], check=True)
    spec = importlib.util.spec_from_file_location("tilewise_null", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def generator_seconds(repeats=5):
    """Best wall time of the table generator writing both texts."""
    with tempfile.TemporaryDirectory() as tmp:
        exe = Path(tmp) / "tablegen"
        subprocess.run([compiler(), "-O3", "-std=c++17", "-o", str(exe),
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


def other_build(path):
    """The module file at `path`, a build of tilewise from another commit,
    loaded beside the installed one: under the same name, as its init
    function asks, but not into sys.modules. Each file keeps its own state."""
    installed = sys.modules.get("tilewise")
    spec = importlib.util.spec_from_file_location("tilewise", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    # Loading a single-phase module puts it into sys.modules by its name.
    if installed is not None:
        sys.modules["tilewise"] = installed
    else:
        sys.modules.pop("tilewise", None)
    return module


def per_call(against=None, repeats=15, n=4096):
    """Best loop time per hand over n hands, of shanten, of the null call, of
    len and of the other build's shanten (if any), their loops interleaved."""
    import tilewise
    hands = random_hands(n)
    with tempfile.TemporaryDirectory() as tmp:
        functions = {"shanten": tilewise.shanten, "null": null_module(tmp).shanten, "len": len}
    if against is not None:
        functions["against"] = other_build(against).shanten
    for a in hands:  # parse the tables; every hand is accepted by all
        assert tilewise.shanten(a) >= -1 and functions["null"](a) == 0
        assert "against" not in functions or functions["against"](a) == tilewise.shanten(a)
    best = dict.fromkeys(functions, float("inf"))
    for _ in range(repeats):
        for name, function in functions.items():
            best[name] = min(best[name], loop_seconds(function, hands))
    return {name: seconds / n for name, seconds in best.items()}


def free_threaded():
    """True on a free-threaded interpreter running with the GIL off."""
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and not sys._is_gil_enabled()


def module_loop(module, arrays, repeats):
    """`repeats` passes of module.shanten over `arrays`, the function looked
    up on its module at every call, as callers write it."""
    for _ in range(repeats):
        for a in arrays:
            module.shanten(a)


def throughput(module, hands, threads, repeats):
    """Calls per second of `threads` threads started together, each calling
    module.shanten on arrays of its own: `repeats` passes over copies of
    `hands`."""
    own = [[a.copy() for a in hands] for _ in range(threads)]
    start_line = threading.Barrier(threads + 1)

    def work(arrays):
        start_line.wait()
        module_loop(module, arrays, repeats)

    workers = [threading.Thread(target=work, args=(arrays,)) for arrays in own]
    for w in workers:
        w.start()
    start_line.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    return threads * repeats * len(hands) / (time.perf_counter() - start)


def thread_scaling(threads, rounds=5, tries=3, repeats=500, n=1024):
    """Median over rounds of the throughput of `threads` threads against one
    thread, for shanten and for the null call, measured side by side. Each
    throughput is the best of a few tries: another process on the machine
    only ever lowers it."""
    import tilewise
    hands = random_hands(n)
    with tempfile.TemporaryDirectory() as tmp:
        modules = {"shanten": tilewise, "null": null_module(tmp)}
    module_loop(tilewise, hands, 1)  # parse the tables
    ratios = {name: [] for name in modules}
    for _ in range(rounds):
        for name, module in modules.items():
            best = {count: max(throughput(module, hands, count, repeats) for _ in range(tries))
                    for count in (1, threads)}
            ratios[name].append(best[threads] / best[1])
    return {name: statistics.median(values) for name, values in ratios.items()}


# Runs in a fresh process: prints the first call's time, the floors (the
# module file read into memory and summed once; the module file mapped
# afresh and summed once as 64-bit words, through that mapping, which is all
# that a parse reading every byte of its texts through the module's own new
# mapping must do too; and the same with the mapping's pages given back, as
# the first call gives back the texts' pages), the first call's growth of
# RssAnon and of RssFile, its peak growth (VmHWM, reset just before the
# call, over VmRSS before it) and the import's RssAnon growth. Memory figures
# are None where /proc (or the reset of the peak) is missing.
FIRST_CALL = r"""
import mmap
import time

def status():
    try:
        with open("/proc/self/status") as file:
            fields = dict(line.split(":", 1) for line in file)
        return {k: int(fields[k].split()[0]) * 1024 for k in ("RssAnon", "RssFile", "VmRSS", "VmHWM")}
    except (OSError, KeyError):
        return None

def grown(before, after, key, base=None):
    return None if before is None or after is None else after[key] - before[base or key]

before_import = status()
import tilewise
after_import = status()
import numpy

path = tilewise.__file__
start = time.perf_counter()
numpy.fromfile(path, dtype=numpy.uint8).sum()
floor = time.perf_counter() - start
with open(path, "rb") as file:
    start = time.perf_counter()
    mapped = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
    words = numpy.frombuffer(mapped, dtype=numpy.uint64, count=len(mapped) // 8)
    words.sum()
    mapped_floor = time.perf_counter() - start
    del words
    mapped.close()
    unmapped_floor = time.perf_counter() - start

hand = numpy.zeros(34, dtype=numpy.uint8)
for tile, count in {0: 1, 1: 1, 2: 1, 12: 1, 13: 1, 14: 1, 24: 1, 25: 1, 26: 1, 27: 3, 28: 2}.items():
    hand[tile] = count
try:  # the peak starts again from the present size
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
except OSError:
    pass
before = status()
if before is not None and before["VmHWM"] - before["VmRSS"] > 256 * 1024:
    before = None  # the peak was not reset
start = time.perf_counter()
result = tilewise.shanten(hand)
first = time.perf_counter() - start
after = status()
assert result == -1, result
print(repr((first, floor, grown(before, after, "RssAnon"), grown(before, after, "RssFile"),
            grown(before, after, "VmHWM", "VmRSS"), grown(before_import, after_import, "RssAnon"), mapped_floor,
            unmapped_floor)))
"""


def first_call(modules, processes=7):
    """For each module file of `modules`, over fresh processes that take
    turns: the best first-call time and the best of each floor (read,
    mapped, mapped and given back); the largest growths
    of the first call (RssAnon, RssFile, their sum, the peak) and of the
    import (RssAnon). Each process imports a copy of the file, all copies
    made afresh by this run: how a file came to be written (pip, unzip) sets
    how its pages sit in the page cache, and with that how much of the
    embedded texts one page fault maps."""
    import ast
    with tempfile.TemporaryDirectory() as tmp:
        folders = []
        for k, module in enumerate(modules):
            folders.append(Path(tmp) / str(k))
            folders[-1].mkdir()
            shutil.copyfile(module, folders[-1] / Path(module).name)
        runs = [[] for _ in modules]
        for _ in range(processes):
            for folder, folder_runs in zip(folders, runs):
                env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(folder),
                                                                                os.environ.get("PYTHONPATH")])))
                folder_runs.append(ast.literal_eval(subprocess.run(
                    [sys.executable, "-c", FIRST_CALL], check=True, capture_output=True, text=True, env=env,
                    cwd=tmp).stdout))

    def largest(values):
        return None if None in values else max(values)

    return [(min(r[0] for r in rs), min(r[1] for r in rs), largest([r[2] for r in rs]),
             largest([r[3] for r in rs]), largest([None if None in r[2:4] else r[2] + r[3] for r in rs]),
             largest([r[4] for r in rs]), largest([r[5] for r in rs]), min(r[6] for r in rs), min(r[7] for r in rs))
            for rs in runs]


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
    parser.add_argument("--against", metavar="MODULE", type=Path,
                        help="the module file (tilewise.*.so) of another build, such as the commit before a "
                             "change: its per call, first call and memory are measured side by side")
    args = parser.parse_args()
    if args.against is not None and not args.against.name.startswith("tilewise."):
        parser.error("--against takes a module file named tilewise.<suffix>, as a copy of it is imported by name")

    # Per figure: measured, floor, ratio, goal (as shown) and whether the goal
    # is met (None: not measurable on this system; "": no goal).
    rows = []

    # CPython 3.11 made calls cheaper, the null call's among them, and left
    # the module's own work as it was: the goal is wider from there on. With
    # the GIL off, calls cost more again, and the goal is 2.0 x.
    calls = per_call(args.against)
    ratio = calls["shanten"] / calls["null"]
    gil_off = free_threaded()
    goal = 2.0 if sys.version_info < (3, 11) or gil_off else 2.5
    rows.append(("per call, GIL off" if gil_off else "per call", f"{calls['shanten'] * 1e9:.1f} ns",
                 f"{calls['null'] * 1e9:.1f} ns null call", f"{ratio:.2f} x", f"<= {goal} x floor", ratio <= goal))
    rows.append(("", "", f"{calls['len'] * 1e9:.1f} ns len(a)", f"{calls['shanten'] / calls['len']:.2f} x",
                 "(for reference)", ""))
    if args.against is not None:
        # Loops of a few ms each: one build may be a few percent ahead by chance.
        ratio = calls["shanten"] / calls["against"]
        rows.append(("", "", f"{calls['against'] * 1e9:.1f} ns against", f"{ratio:.2f} x", "<= 1.05 x against",
                     ratio <= 1.05))

    if gil_off:
        threads = os.process_cpu_count() or 1  # the processors this process may use, as nproc
        scaling = thread_scaling(threads)
        ratio = scaling["shanten"] / scaling["null"]
        rows.append(("threads", f"{threads} x 1 thread: {scaling['shanten']:.2f} x",
                     f"{scaling['null']:.2f} x null call", f"{ratio:.2f} x", ">= 0.9 x floor", ratio >= 0.9))

    installed = importlib.util.find_spec("tilewise").origin
    firsts = first_call([installed] + ([args.against] if args.against is not None else []))
    import_rss = firsts[0][6]
    # The first call parses 61 MB of text through the module's mapping, so
    # mapping the file afresh and reading all of it is its floor. It also
    # gives the texts' pages back as it goes, which the memory goal asks and
    # which the kernel does page by page: the floor with the mapping's pages
    # given back (munmap) is beside it, for reference.
    for k, (first, read_floor, _, _, _, _, _, mapped_floor, unmapped_floor) in enumerate(firsts):
        mine = k == 0
        ratio = first / mapped_floor
        rows.append(("first call" if mine else "  against", f"{first * 1e3:.1f} ms",
                     f"{mapped_floor * 1e3:.1f} ms map+sum .so", f"{ratio:.2f} x",
                     "<= 1.3 x floor" if mine else "", ratio <= 1.3 if mine else ""))
        rows.append(("", "", f"{unmapped_floor * 1e3:.1f} ms map+sum+unmap", f"{first / unmapped_floor:.2f} x",
                     "(for reference)" if mine else "", ""))
        rows.append(("", "", f"{read_floor * 1e3:.1f} ms read+sum .so", f"{first / read_floor:.2f} x",
                     "<= 1.0 x floor" if mine else "", first <= read_floor if mine else ""))
    # Against another build, as per call: no slower than it.
    if args.against is not None:
        ratio = firsts[0][0] / firsts[1][0]
        rows.append(("", "", f"{firsts[1][0] * 1e3:.1f} ms against", f"{ratio:.2f} x", "<= 1.05 x against",
                     ratio <= 1.05))
    tables = 10 * (5**9 + 5**7)  # entries of both tables, one byte each
    for k, (_, _, anon, file, first_rss, peak, _, _, _) in enumerate(firsts):
        mine = k == 0
        # The first call's peak is +3.0 MB as measured here, against the goal
        # of peak <= +8 MB, which is tests/test_module.py's bound too: loose,
        # yet far below the +61 MB of the texts' pages if they were not dropped.
        goal = "<= +3 MB, peak <= +8 MB" if mine else ""
        if first_rss is None:
            rows.append(("memory" if mine else "  against", "n/a", "no /proc here", "", goal, None if mine else ""))
            continue
        shown_peak = "n/a" if peak is None else f"+{peak / MB:.1f} MB"
        met = first_rss <= 3 * MB and (peak is None or peak <= 8 * MB)
        rows.append(("memory" if mine else "  against",
                     f"+{first_rss / MB:.1f} MB, peak {shown_peak} (anon {anon / MB:+.1f}, file {file / MB:+.1f})",
                     f"{tables / MB:.1f} MB table entries", f"{first_rss / tables:.2f} x", goal,
                     met if mine else ""))

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
        print(show(cells + [{True: "yes", False: "NO", None: "n/a"}.get(met, met)]))
    if not args.no_check and not all(met is not False for *_, met in rows):
        sys.exit(1)


if __name__ == "__main__":
    main()
