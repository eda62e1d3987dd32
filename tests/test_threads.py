"""Calls from many threads at once. On a free-threaded build they run in
parallel; on the others they take turns, and every check is the same.

Eight threads make the process's first accepted call at the same moment:
each gets its right answer, the tables are parsed once, nothing deadlocks.

"Parsed once" is observed two ways in a fresh interpreter, against a
baseline interpreter whose eight threads take turns, so that the first call
runs alone:
- CPU time: a parse costs CPU time in the thread that runs it, while a
  thread that waits for another's parse costs next to none. Exactly one of
  the eight threads may spend a parse's worth.
- Memory: the parsed tables take some 2 MB of anonymous memory. The eight
  threads released together may add what the baseline's add, not a second
  copy of the tables more (not checked under a sanitizer's allocator).
"""

import json
import os
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import numpy as np
import pytest

import tilewise
from conftest import scaled
from reference import random_hand, reference_shanten

THREADS = 8
# A sanitizer's allocator (AddressSanitizer preloaded, or an interpreter
# built with ThreadSanitizer) keeps memory per thread and in quarantine: a
# MB more or less then says nothing about a second copy of the tables.
SANITIZED = ("libasan" in os.environ.get("LD_PRELOAD", "")
             or "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or ""))
ROUNDS = scaled(3)  # fewer where every step is slow
TIMEOUT = 120

CHILD = textwrap.dedent(r"""
    import json, os, sys, threading, time
    import numpy as np
    import tilewise

    mode, hands = sys.argv[1], [np.array(h, dtype=np.uint8) for h in json.loads(sys.argv[2])]

    def rss_anon_kb():  # None without Linux's /proc (Wine's is its server's)
        if not sys.platform.startswith("linux") or not os.path.exists("/proc/self/status"):
            return None
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])

    # The baseline's thread makes a call with a rejected total first: it
    # loads NumPy's C API but stops before the tables. The eight threads
    # race for that too.
    if mode == "single":
        try:
            tilewise.shanten(np.zeros(34, dtype=np.uint8))
        except BaseException as e:
            assert "must be 1, 2, 4" in str(e), e

    # Both modes start the same eight threads and end them together, so that
    # their own memory (a free-threaded build gives each thread heaps of its
    # own) weighs the same in both. In between they call at once, or take
    # turns, each after the one before it.
    results, cpu, errors = [None] * len(hands), [None] * len(hands), []
    barrier = threading.Barrier(len(hands)) if mode == "threads" else None
    turns = [threading.Event() for _ in hands]
    ending = threading.Barrier(len(hands))

    def call(k):
        try:
            if barrier is not None:
                barrier.wait(timeout=60)
            elif k > 0:
                turns[k - 1].wait(timeout=60)
            start = time.thread_time()
            results[k] = tilewise.shanten(hands[k])
            cpu[k] = time.thread_time() - start
        except BaseException as e:
            errors.append(f"{type(e).__name__}: {e}")
        finally:
            turns[k].set()
            ending.wait(timeout=60)

    threads = [threading.Thread(target=call, args=(k,)) for k in range(len(hands))]
    rss_before, process_before = rss_anon_kb(), time.process_time()
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    process_cpu, rss_after = time.process_time() - process_before, rss_anon_kb()
    print(json.dumps(dict(results=results, cpu=cpu, errors=errors, process_cpu=process_cpu,
                          rss_growth_kb=None if rss_before is None else rss_after - rss_before,
                          alive=sum(t.is_alive() for t in threads))))
""")


def run_child(mode, hands):
    child = subprocess.run([sys.executable, "-c", CHILD, mode, json.dumps(hands)], capture_output=True,
                           text=True, timeout=TIMEOUT)
    assert child.returncode == 0, child.stderr[-4000:]
    return json.loads(child.stdout)


@pytest.fixture(scope="module")
def hands():
    rng = np.random.default_rng(20240611)
    drawn = [random_hand(rng, tiles) for tiles in (14, 13, 11, 10, 8, 7, 5, 2)]
    return [h.tolist() for h in drawn], [reference_shanten(h) for h in drawn]


@pytest.fixture(scope="module")
def baseline(hands):
    counts, expected = hands
    runs = [run_child("single", counts) for _ in range(2)]
    for run in runs:
        assert run["errors"] == [] and run["results"] == expected
    # The first call's own CPU time is the parse; take the cheaper run.
    return min(runs, key=lambda r: r["cpu"][0])


@pytest.mark.parametrize("round", range(ROUNDS))
def test_first_calls_from_eight_threads_parse_the_tables_once(hands, baseline, round):
    counts, expected = hands
    assert baseline["rss_growth_kb"] is None or baseline["rss_growth_kb"] > 1_500, baseline
    run = run_child("threads", counts)
    assert run["alive"] == 0 and run["errors"] == [], run
    assert run["results"] == expected

    # Windows counts a thread's CPU time in ticks of 15.6 ms, longer than the
    # whole parse: there the threads' times cannot tell who parsed.
    if sys.platform == "win32":
        pytest.skip("Windows counts a thread's CPU time in 15.6 ms ticks, longer than the parse")
    parse_cpu = baseline["cpu"][0]
    # The parse takes a few ms of CPU, a thread that only waits a few us:
    # below 1 ms the figures below would tell nothing.
    assert parse_cpu > 0.001, baseline

    # CPU times vary with the machine's load from one interpreter to the next,
    # so the threads are compared with each other and with their own process.
    parse = max(run["cpu"])
    assert parse > parse_cpu / 3, (run["cpu"], parse_cpu)  # some thread did parse
    busy = [c for c in run["cpu"] if c > parse / 4]
    assert len(busy) == 1, run["cpu"]
    # Work outside the calling threads is not compared with the parse: at a
    # few tens of milliseconds the parse is no larger than the process's own
    # noise in starting and joining eight threads (10 to 50 ms here). A
    # second build anywhere would hold a second copy of the tables: the
    # memory below tells.
    if baseline["rss_growth_kb"] is not None and not SANITIZED:
        assert run["rss_growth_kb"] < baseline["rss_growth_kb"] + 1_000, (run, baseline)


# The first call parses the tables on the calling thread. A thread started
# with the smallest stack the interpreter accepts makes it, and every answer
# is right. The smallest size is found in steps of a page: 32 KiB for most
# builds, more where a sanitizer's runtime asks for more (under
# ThreadSanitizer, 196 KiB here).
SMALL_STACK_CHILD = textwrap.dedent(r"""
    import json, sys, threading
    import numpy as np
    import tilewise

    for size in range(32 * 1024, 64 * 2**20 + 1, 4096):
        try:
            threading.stack_size(size)
            break
        except ValueError:
            pass
    else:
        raise SystemExit("no small stack size accepted")
    hands = [np.array(h, dtype=np.uint8) for h in json.loads(sys.argv[1])]
    results = []
    thread = threading.Thread(target=lambda: results.extend(tilewise.shanten(h) for h in hands))
    thread.start()
    thread.join()
    print(json.dumps(dict(stack_size=size, results=results)))
""")


def test_first_call_from_a_thread_of_the_smallest_stack(hands):
    counts, expected = hands
    child = subprocess.run([sys.executable, "-c", SMALL_STACK_CHILD, json.dumps(counts)], capture_output=True,
                           text=True, timeout=TIMEOUT)
    assert child.returncode == 0, child.stderr[-4000:]
    assert json.loads(child.stdout)["results"] == expected, child.stdout


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_import_leaves_the_gil_as_the_build_has_it():
    # Under -W error the warning a free-threaded interpreter gives when an
    # import turns the GIL back on would fail the import.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    child = subprocess.run([sys.executable, "-W", "error", "-c",
                            "import sys, tilewise; print(getattr(sys, '_is_gil_enabled', lambda: True)())"],
                           capture_output=True, text=True, timeout=TIMEOUT, env=env)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == str(not FREE_THREADED)


def together(count, work):
    """Runs work(k) in `count` threads released at once; their results."""
    results, errors = [None] * count, []
    start_line = threading.Barrier(count)

    def run(k):
        try:
            start_line.wait(timeout=60)
            results[k] = work(k)
        except BaseException as e:  # noqa: B036 - the test wants every failure
            errors.append(e)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=TIMEOUT)
    assert not any(t.is_alive() for t in threads)
    if errors:
        raise errors[0]
    return results


def layouts(counts):
    """The same hand as arrays of several layouts."""
    wide = np.zeros(2 * len(counts), dtype=np.uint8)
    wide[::2] = counts
    read_only = counts.copy()
    read_only.flags.writeable = False
    return [counts.copy(), wide[::2], counts[::-1].copy()[::-1], np.concatenate([counts, np.zeros(6, np.uint8)]),
            read_only]


def test_threads_look_up_shared_arrays_at_once():
    rng = np.random.default_rng(7)
    arrays = [a for tiles in (14, 13, 11, 8, 5, 2) for _ in range(scaled(40)) for a in layouts(random_hand(rng, tiles))]
    expected = [tilewise.shanten(a) for a in arrays]

    def look_up(k):
        order = np.roll(np.arange(len(arrays)), k * len(arrays) // 4)  # each thread starts elsewhere
        seen = {}
        for _ in range(scaled(20)):
            for i in order:
                seen.setdefault(i, set()).add(tilewise.shanten(arrays[i]))
        return seen

    for seen in together(4, look_up):
        assert all(seen[i] == {expected[i]} for i in range(len(arrays)))


def test_panics_in_many_threads_have_one_type():
    hands = [np.zeros(34, np.uint8), np.array([5] + [0] * 33, np.uint8), np.ones(14, np.uint8)]

    def panic(k):
        try:
            tilewise.shanten(hands[k % len(hands)])
        except BaseException as e:  # noqa: B036 - the panic is what is wanted
            return type(e)

    types = set(together(8, panic))
    assert len(types) == 1
    (panic_type,) = types
    assert f"{panic_type.__module__}.{panic_type.__name__}" == "pyo3_runtime.PanicException"
    assert not issubclass(panic_type, Exception)


# 123m 456p 789s 11z: 11 tiles, complete. With 22z as well: 13 tiles, ready.
# Counts read partly before and partly after 22z comes or goes would give
# another number (1, or 2).
TOGGLED = 28
TOGGLE_HAND = np.zeros(34, np.uint8)
TOGGLE_HAND[[0, 1, 2, 12, 13, 14, 24, 25, 26]] = 1
TOGGLE_HAND[27] = 2


@pytest.mark.parametrize("layout", ["contiguous", "strided"])
def test_array_changed_during_calls_gives_the_number_of_what_was_read(layout):
    if layout == "contiguous":
        hand = TOGGLE_HAND.copy()
    else:
        hand = np.zeros(2 * 34, np.uint8)[::2]
        hand[:] = TOGGLE_HAND
    answers = {0: tilewise.shanten(hand)}
    hand[TOGGLED] = 2
    answers[2] = tilewise.shanten(hand)
    assert answers == {0: -1, 2: 0}
    deadline = time.monotonic() + 0.5 * scaled(1)
    # Under a GIL the readers only ever see the array between two of the
    # writer's steps: it hands the GIL over after each write, so that they
    # see both hands. Without the GIL they read while it writes.
    hand_over = (lambda: None) if FREE_THREADED else (lambda: time.sleep(0))
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        def work(k):
            seen, calls = set(), 0
            while time.monotonic() < deadline:
                if k == 0:
                    hand[TOGGLED] = 2
                    hand_over()
                    hand[TOGGLED] = 0
                    hand_over()
                else:
                    seen.add(tilewise.shanten(hand))
                calls += 1
            return seen, calls

        results = together(4, work)
    finally:
        sys.setswitchinterval(interval)
    seen = set().union(*(s for s, _ in results[1:]))
    # The writer waits for the GIL twice a round: where handing it over is
    # slow (Wine's thread switches) it makes a hundred rounds or fewer.
    assert results[0][1] > 10 and all(calls > 100 for _, calls in results[1:]), results
    assert seen == set(answers.values()), seen


# One thread makes the process's first accepted call, which builds the
# tables; the main thread forks after `delay` seconds, perhaps while the
# build runs. The child makes a call of its own and must answer within the
# deadline; the parent kills it if not.
FORK_TRIAL = textwrap.dedent(r"""
    import json, os, sys, threading, time, warnings
    import numpy as np
    import tilewise

    warnings.simplefilter("ignore", DeprecationWarning)  # a fork of a process with threads
    delay, hand = float(sys.argv[1]), np.array(json.loads(sys.argv[2]), np.uint8)
    returned = threading.Event()
    builder = threading.Thread(target=lambda: (tilewise.shanten(hand), returned.set()))
    builder.start()
    time.sleep(delay)
    early = not returned.is_set()
    pid = os.fork()
    if pid == 0:
        os.write(1, f"child {tilewise.shanten(hand)}\n".encode())
        os._exit(0)
    deadline = time.monotonic() + float(sys.argv[3])
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            print("child hung")
            break
        time.sleep(0.005)
    builder.join()
    print("forked", "before" if early else "after", "the first call returned")
""")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork, which this platform lacks")
def test_fork_during_the_first_call_leaves_a_child_that_computes():
    hand = [1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 2, 1, 1, 0, 0, 0, 0]
    expected = reference_shanten(np.array(hand, np.uint8))
    timing = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import time, numpy as np, tilewise
        hand = np.array({hand}, np.uint8)
        start = time.perf_counter()
        tilewise.shanten(hand)
        print(time.perf_counter() - start)
    """)], capture_output=True, text=True, timeout=TIMEOUT)
    assert timing.returncode == 0, timing.stderr
    first_call = float(timing.stdout)
    # Forks spread over the first call and a little past it, several times
    # over, as a thread's start and the build's own length vary. Where every
    # interpreter is slow to start, fewer points, as far apart.
    steps = max(4, scaled(12))
    delays = [first_call * 1.1 * step / (steps - 1) for step in range(steps) for _ in range(scaled(2))]
    early = 0
    for delay in delays:
        trial = subprocess.run([sys.executable, "-c", FORK_TRIAL, str(delay), json.dumps(hand), "10"],
                               capture_output=True, text=True, timeout=TIMEOUT)
        assert trial.returncode == 0, trial.stderr[-2000:]
        lines = trial.stdout.splitlines()
        assert lines[0] == f"child {expected}", (delay, trial.stdout, trial.stderr[-2000:])
        early += lines[-1] == "forked before the first call returned"
    print(f"first call {first_call * 1e3:.1f} ms; {early} of {len(delays)} forks came before it returned")
