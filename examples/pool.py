"""Shanten numbers of many hands on every processor, for example:

    python examples/pool.py --hands 1000000 --out shanten.npy
    python examples/pool.py hands.npy          # an (N, 34) uint8 array

Each worker scores a contiguous share of one array, reading each row where it
lies. With the GIL off (a free-threaded build) the workers are threads;
otherwise processes that map the .npy file, or the shared memory holding the
generated hands, and are sent only the bounds of their share. A process
builds its own tables on its first call (about 2 MB, a few tens of ms) unless
forked from one that had them. hands/s counts from starting the workers to
the last result. A worker's peak counts the pages of hands it read (shared,
not copies) and, if forked, all it inherited.

"spawn" and "forkserver" (the default on macOS and Windows, and on Linux from
3.14) start each worker by importing this module: hence the worker functions
at its top level, and the script only under __main__.
"""

import argparse
import os
import sys
import sysconfig
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from multiprocessing import get_start_method
from multiprocessing.shared_memory import SharedMemory

import numpy as np

import tilewise

HANDS = None      # in a worker process: the whole array, shared
MEMORY = None     # kept open for the life of the worker, as HANDS views it
TABLES_MB = None  # this process's growth over its first call, where known: its tables


def memory_mb():
    """This process's resident anonymous memory and peak resident set in MB, each None where unknown."""
    if sys.platform.startswith("linux"):
        with open("/proc/self/status") as status:
            fields = dict(line.split(":", 1) for line in status)
        return tuple(int(fields[key].split()[0]) * 1024 / 1e6 for key in ("RssAnon", "VmHWM"))
    if os.name != "posix":
        return None, None
    import resource
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return None, peak / 1e6 if sys.platform == "darwin" else peak * 1024 / 1e6  # bytes on macOS


def build_tables():
    """Makes this process's first call, which builds its tables, and notes their size."""
    global TABLES_MB
    before = memory_mb()[0]
    tilewise.shanten(np.array([1] * 14 + [0] * 20, dtype=np.uint8))
    if before is not None:
        TABLES_MB = memory_mb()[0] - before


def score(hands, start, stop):
    """Shanten numbers of hands[start:stop].

    np.fromiter over map() takes each row as a view and stores each result
    without a Python loop: about half the time of an index loop that
    assigns results[i] one by one."""
    share = hands[start:stop]
    try:
        return np.fromiter(map(tilewise.shanten, share), np.int8, len(share))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:
        pass
    # A hand failed, and tilewise's panic cannot be pickled back to the
    # parent: find that hand (its panic is reported once more) and say which.
    for i, hand in enumerate(share, start):
        try:
            tilewise.shanten(hand)
        except BaseException as error:
            raise RuntimeError(f"hand {i}: {error!r}") from None
    raise RuntimeError(f"hands {start} to {stop}: a call failed once and not again")


def start_worker(path, name, rows):
    """Runs once in each worker process, before its first share."""
    global HANDS, MEMORY
    if path:
        HANDS = np.load(path, mmap_mode="r")
    else:
        MEMORY = SharedMemory(name=name)
        HANDS = np.ndarray((rows, 34), dtype=np.uint8, buffer=MEMORY.buf)
    build_tables()


def score_share(start, stop):
    """A worker process's share: its results, and figures to print."""
    began = time.perf_counter()
    results = score(HANDS, start, stop)
    return os.getpid(), results, time.perf_counter() - began, memory_mb()[1], TABLES_MB


def deal(count, rng):
    """`count` hands of 14 tiles, each drawn from its own full wall (four of each kind)."""
    hands = np.empty((count, 34), dtype=np.uint8)
    for start in range(0, count, 100_000):  # in chunks, as the draws come as int64
        stop = min(start + 100_000, count)
        hands[start:stop] = rng.multivariate_hypergeometric([4] * 34, 14, size=stop - start, method="count")
    return hands


def usable_processors():
    if hasattr(os, "process_cpu_count"):
        count = os.process_cpu_count() or 1
    elif hasattr(os, "sched_getaffinity"):
        count = len(os.sched_getaffinity(0))
    else:
        count = os.cpu_count() or 1
    return min(count, 61) if os.name == "nt" else count  # a process pool's limit on Windows


def mb(value):
    return "n/a" if value is None else f"{value:.1f} MB"


def score_with_processes(hands, path, starts, stops):
    memory = None
    try:
        if path is None:
            memory = SharedMemory(create=True, size=hands.nbytes)
            np.ndarray(hands.shape, dtype=np.uint8, buffer=memory.buf)[:] = hands
        name = memory.name if memory else None
        with ProcessPoolExecutor(len(starts), initializer=start_worker, initargs=(path, name, len(hands))) as pool:
            done = list(pool.map(score_share, starts, stops))
    finally:
        if memory is not None:
            memory.close()
            memory.unlink()
    for k, (start, stop, (pid, _, seconds, peak, tables)) in enumerate(zip(starts, stops, done)):
        print(f"worker {k} pid {pid} hands {stop - start} seconds {seconds:.3f} peak {mb(peak)} tables {mb(tables)}")
    return [results for _, results, _, _, _ in done]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", nargs="?", help="an .npy file of an (N, 34) uint8 array; else random hands")
    parser.add_argument("--hands", type=int, default=1_000_000, help="how many random hands")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--workers", type=int, default=usable_processors())
    parser.add_argument("--out", help="save the shanten numbers here, as an int8 .npy file")
    args = parser.parse_args()
    if args.workers < 1 or args.hands < 1:
        parser.error("--workers and --hands must be at least 1")
    build_tables()  # here, in a fresh process, the growth is the tables alone

    if args.path:
        args.path = os.path.abspath(args.path)  # the same file for workers that start elsewhere
        hands = np.load(args.path, mmap_mode="r")
        if hands.dtype != np.uint8 or hands.ndim != 2 or hands.shape[1] != 34:
            sys.exit(f"{args.path} holds a {hands.dtype} array of shape {hands.shape}, not (N, 34) uint8")
    else:
        hands = deal(args.hands, np.random.default_rng(args.seed))
    bounds = [len(hands) * k // args.workers for k in range(args.workers + 1)]
    starts, stops = bounds[:-1], bounds[1:]
    threads = sysconfig.get_config_var("Py_GIL_DISABLED") and not sys._is_gil_enabled()
    print(f"hands {len(hands)}")
    print(f"workers {args.workers} " + ("threads" if threads else f"processes {get_start_method()}"))

    began = time.perf_counter()
    if threads:
        with ThreadPoolExecutor(args.workers) as pool:
            parts = list(pool.map(lambda start, stop: score(hands, start, stop), starts, stops))
    else:
        parts = score_with_processes(hands, args.path, starts, stops)
    elapsed = time.perf_counter() - began
    print(f"main peak {mb(memory_mb()[1])} tables {mb(TABLES_MB)}")
    print(f"seconds {elapsed:.3f}")
    print(f"hands/s {len(hands) / elapsed:.0f}")
    if args.out:
        np.save(args.out, np.concatenate(parts))


if __name__ == "__main__":
    main()
