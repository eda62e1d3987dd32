"""Property tests of `tilewise.shanten` over every kind of argument.

Each case's expected outcome (a value, a TypeError or a PanicException, and
its text) is worked out here from the documented rules alone, and every
array passed in must come back with the same data, flags and layout.

TILEWISE_LONG_FUZZ=1 raises the example counts to 100,000 per test (10,000 for
each accepted total of the valid hands); TILEWISE_FUZZ_EXAMPLES=N sets every
count to N.
"""

import functools
import gc
import itertools
import os
import tempfile
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

import tilewise
from conftest import scaled
from reference import reference_shanten

KINDS = 34
ACCEPTED_TOTALS = (1, 2, 4, 5, 7, 8, 10, 11, 13, 14)
FIXED_MELDS = {1: 4, 2: 4, 4: 3, 5: 3, 7: 2, 8: 2, 10: 1, 11: 1, 13: 0, 14: 0}
GROUPS = ((0, 9), (9, 9), (18, 9), (27, 7))
SUM_MESSAGE = "hand.iter().sum() must be 1, 2, 4, 5, 7, 8, 10, 11, 13 or 14"
BOUNDS_MESSAGE = "ndarray: index out of bounds"

LONG = os.environ.get("TILEWISE_LONG_FUZZ") == "1"
EXAMPLES_OVERRIDE = int(os.environ.get("TILEWISE_FUZZ_EXAMPLES", "0"))


def examples(normal, long=100_000):
    return EXAMPLES_OVERRIDE or (long if LONG else scaled(normal))


def _panic_type():
    try:
        tilewise.shanten(np.zeros(KINDS, dtype=np.uint8))
    except BaseException as e:  # the type is what is wanted here
        return type(e)
    raise AssertionError("a hand of no tiles was accepted")


PanicException = _panic_type()


def outcome(*args, **kwargs):
    """What one call gives: ("ok", value), ("TypeError", text) or ("panic", text)."""
    try:
        return ("ok", tilewise.shanten(*args, **kwargs))
    except TypeError as e:
        return ("TypeError", str(e))
    except PanicException as e:
        return ("panic", str(e))


# --- Expected outcomes, from the documented rules -------------------------------

@functools.lru_cache(maxsize=None)
def shanten_for(counts, total):
    """The reference shanten number of the 34 counts `counts` when the whole
    array holds `total` tiles: entries past the 34th count towards the fixed
    melds but are no part of the hand."""
    return reference_shanten(counts, fixed=FIXED_MELDS[total])


def expected_for_values(values):
    """The outcome for a one-dimensional uint8 array with these logical entries."""
    total = sum(values)
    if total not in FIXED_MELDS:
        return ("panic", SUM_MESSAGE)
    for start, size in GROUPS:
        if len(values) < start + size:
            return ("panic", BOUNDS_MESSAGE)
        for i in range(start, start + size):
            if values[i] > 4:
                return ("panic", f"hand[{i}] = {values[i]}: a tile count must be 0 to 4")
    return ("ok", shanten_for(tuple(values[:KINDS]), total))


def expected_for_object(hand, values):
    """The outcome for `hand`, whose logical entries (when it is a
    one-dimensional array) are `values`."""
    if not isinstance(hand, np.ndarray):
        return ("TypeError",
                f"argument 'hand': '{type(hand).__qualname__}' object cannot be converted to 'PyArray<T, D>'")
    if hand.ndim != 1:
        return ("TypeError", f"argument 'hand': dimensionality mismatch:\n from={hand.ndim}, to=1")
    if not (hand.dtype.kind == "u" and hand.dtype.itemsize == 1 and hand.dtype.fields is None):
        return ("TypeError", f"argument 'hand': type mismatch:\n from={hand.dtype}, to=uint8")
    return expected_for_values(values)


# --- Snapshots: nothing about an array may change ----------------------------------

def snapshot(array):
    if not isinstance(array, np.ndarray):
        return None
    flags = array.flags
    raw = array.view(np.ndarray)
    return (
        type(array), array.shape, array.strides, array.dtype.str, array.__array_interface__["data"],
        flags.c_contiguous, flags.f_contiguous, flags.owndata, flags.writeable, flags.aligned,
        flags.writebackifcopy,
        # Byte-for-byte content of the elements the array covers.
        raw.tobytes(),
    )


def buffer_snapshot(buffer):
    return buffer.tobytes(), buffer.flags.writeable, buffer.flags.owndata


# --- Strategies ---------------------------------------------------------------------

def with_orders(names):
    out = []
    for name in names:
        base = np.dtype(name)
        out.append(base)
        if base.itemsize > 1 or base.kind in "ub":
            out += [base.newbyteorder("<"), base.newbyteorder(">")]
    return out


INT_DTYPES = with_orders(["i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", np.intc, np.uintc,
                          np.longlong, np.ulonglong, np.intp, np.uintp])
FLOAT_DTYPES = with_orders(["f2", "f4", "f8", np.longdouble])
OTHER_DTYPES = with_orders(["?", "c8", "c16", "M8[s]", "m8[D]"]) + [np.dtype(object), np.dtype("S1"),
                                                                  np.dtype("V1"), np.dtype([("a", "u1")])]
UINT8_DTYPES = [np.dtype("u1"), np.dtype("<u1"), np.dtype(">u1"), np.dtype("|u1"), np.dtype(np.ubyte),
                np.dtype("B")]
ALL_DTYPES = INT_DTYPES + FLOAT_DTYPES + OTHER_DTYPES
# Mostly uint8: it is the only type that reaches the tiles.
dtypes = st.integers(0, 3).flatmap(lambda k: st.sampled_from(ALL_DTYPES if k == 0 else UINT8_DTYPES))


@st.composite
def valid_counts(draw, total=None, extra=True):
    """34 counts of 0-4 with an accepted total, drawn from the wall without
    replacement, often from a few kinds only so that melds are likely."""
    if total is None:
        total = draw(st.sampled_from(ACCEPTED_TOTALS))
    kinds = draw(st.sampled_from([
        range(KINDS), range(9), range(27, KINDS), range(18), list(range(9)) + list(range(27, KINDS)),
        range(9, 27)]))
    kinds = list(kinds)
    if extra:
        more = draw(st.lists(st.integers(0, KINDS - 1), max_size=4))
        kinds = sorted(set(kinds) | set(more))
    tiles = draw(st.lists(st.integers(0, 4 * len(kinds) - 1), min_size=total, max_size=total, unique=True))
    counts = [0] * KINDS
    for tile in tiles:
        counts[kinds[tile // 4]] += 1
    return counts


@st.composite
def padded_valid_counts(draw):
    """A valid hand, possibly followed by up to six more entries; those count
    towards the total, which may or may not stay accepted."""
    counts = draw(valid_counts())
    tail = draw(st.lists(st.integers(0, 3), max_size=KINDS + 6 - len(counts)))
    return counts + tail


@st.composite
def scattered_counts(draw):
    """`total` tiles dropped on positions 0..length-1, repeats allowed: counts
    above 4 and short arrays with accepted totals come up often."""
    length = draw(st.integers(0, 40))
    if length == 0:
        return []
    total = draw(st.one_of(st.sampled_from(ACCEPTED_TOTALS), st.integers(0, 20)))
    positions = draw(st.lists(st.integers(0, length - 1), min_size=total, max_size=total))
    counts = [0] * length
    for p in positions:
        counts[p] += 1
    return counts


@st.composite
def one_big_count(draw):
    """A valid hand but for one entry raised above 4, other tiles then taken
    away until the total is at most 14 (so often an accepted one)."""
    counts = draw(valid_counts(extra=False))
    length = draw(st.integers(KINDS - 8, 40))
    counts = (counts + [0] * 40)[:length]
    position = draw(st.integers(0, length - 1))
    big = draw(st.integers(5, 14))
    counts[position] = big
    excess = sum(counts) - 14
    for i in range(length):
        if excess <= 0:
            break
        if i != position and counts[i]:
            take = min(counts[i], excess)
            counts[i] -= take
            excess -= take
    return counts


logical_values = st.one_of(
    padded_valid_counts(),
    valid_counts(),
    padded_valid_counts(),
    valid_counts(),
    scattered_counts(),
    scattered_counts(),
    one_big_count(),
    st.lists(st.integers(0, 255), max_size=40),
    st.lists(st.integers(0, 6), max_size=40),
)


class Holder:
    """Keeps every buffer behind a drawn array, to check them afterwards."""

    def __init__(self, hand, values, buffers, layout="other"):
        self.hand, self.values, self.buffers, self.layout = hand, values, buffers, layout

    def __repr__(self):
        if isinstance(self.hand, np.ndarray):
            return (f"<{type(self.hand).__name__} dtype={self.hand.dtype.str} shape={self.hand.shape} "
                    f"strides={self.hand.strides} writeable={self.hand.flags.writeable} values={self.values}>")
        return f"<{self.hand!r}>"


class Custom(np.ndarray):
    pass


class Outer:
    class Inner:
        pass


class WithArray:
    def __array__(self, dtype=None, copy=None):
        return np.zeros(KINDS, dtype=np.uint8)


NON_ARRAYS = [
    None, 0, 14, 1.5, "hand", b"\x01" * 14, bytearray(14), [1] * 14, tuple([1] * 14), {0: 14}, range(14),
    memoryview(bytes(14)), np.uint8(14), np.float64(1.0), np.int64(0), Outer.Inner(), WithArray(), Outer,
    np.ndarray, len, object(), {1, 2}, frozenset(), Ellipsis, NotImplemented, 1j,
]


def strided(buffer, offset, count, step):
    """The `count` entries of `buffer` at offset, offset+step, ... (in elements)."""
    base = buffer[offset:] if offset else buffer
    return np.lib.stride_tricks.as_strided(base, shape=(count,), strides=(step * buffer.itemsize,), subok=True)


@st.composite
def one_dimensional(draw, memmap_dir):
    dtype = draw(dtypes)
    zero_stride = draw(st.integers(0, 7)) == 0
    if zero_stride:
        value = draw(st.sampled_from([0, 1, 2, 5, 14, 255]))
        values = [value] * draw(st.integers(0, 40))
        step = 0
    else:
        values = draw(logical_values)
        step = draw(st.sampled_from([1, 1, 1, -1, 2, -2, 3, -3, 7, -5]))
    count = len(values)
    span = (count - 1) * abs(step) + 1 if count else 1
    slack = draw(st.integers(0, 3))
    length = span + 2 * slack
    junk = draw(st.sampled_from([0, 4, 5, 200, 255]))
    filler = np.full(length, junk, dtype=np.int64)
    start = slack if step >= 0 else slack + span - 1
    positions = [start + k * step for k in range(count)]
    for p, v in zip(positions, values):
        filler[p] = v
    kind = draw(st.sampled_from(["plain", "plain", "readonly", "masked", "memmap", "memmap-readonly",
                                 "custom", "slice"]))
    raw = filler.astype(dtype)  # wraps modulo the type, or rounds, as the type does
    if kind.startswith("memmap") and dtype.hasobject:
        kind = "plain"  # a file cannot hold objects
    if kind.startswith("memmap"):
        path = os.path.join(memmap_dir, f"fuzz{next(MEMMAP_NAMES)}.bin")
        raw.tofile(path)
        buffer = np.memmap(path, dtype=dtype, mode="r" if kind == "memmap-readonly" else "r+",
                           shape=(length,))
    else:
        buffer = raw
    if kind == "slice" and step != 0:
        stop = start + count * step
        hand = buffer[start:(stop if stop >= 0 else None):step]
    else:
        hand = strided(buffer, start, count, step)
    if kind == "readonly":
        hand.flags.writeable = False
    elif kind == "masked":
        mask = draw(st.lists(st.booleans(), min_size=count, max_size=count))
        hand = np.ma.MaskedArray(hand, mask=mask, copy=False)
    elif kind == "custom":
        hand = hand.view(Custom)
    if isinstance(hand, np.ndarray) and dtype.kind == "u" and dtype.itemsize == 1 and dtype.fields is None:
        # The construction itself: the array shows the entries meant.
        assert hand.view(np.ndarray).tolist() == values
    return Holder(hand, values, [buffer], f"{kind} step {step}")


@st.composite
def other_dimensions(draw):
    ndim = draw(st.sampled_from([0, 2, 3]))
    dtype = draw(dtypes)
    shape = tuple(draw(st.lists(st.integers(0, 5), min_size=ndim, max_size=ndim)))
    size = int(np.prod(shape, dtype=np.int64))
    content = draw(st.lists(st.integers(0, 4), min_size=size, max_size=size))
    buffer = np.array(content, dtype=np.int64).astype(dtype).reshape(shape)
    hand = buffer
    change = draw(st.sampled_from(["none", "transpose", "reverse", "readonly", "matrix", "masked"]))
    if change == "transpose":
        hand = buffer.T
    elif change == "reverse" and ndim:
        hand = buffer[::-1]
    elif change == "readonly":
        hand = buffer.view()
        hand.flags.writeable = False
    elif change == "matrix" and ndim == 2 and dtype.fields is None and dtype.kind != "V":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", PendingDeprecationWarning)
            hand = np.asmatrix(buffer)
    elif change == "masked":
        hand = np.ma.MaskedArray(buffer, copy=False)
    return Holder(hand, None, [buffer])


MEMMAP_NAMES = itertools.count()


@pytest.fixture(scope="module")
def memmap_dir():
    """The folder of the mapped files. Windows cannot delete a file while it
    is mapped, so they go with the folder, once the examples' arrays, and with
    them the maps, are released."""
    with tempfile.TemporaryDirectory(prefix="tilewise-fuzz-") as path:
        yield path
        gc.collect()


def check(holder):
    hand = holder.hand
    before = snapshot(hand)
    buffers_before = [buffer_snapshot(b) for b in holder.buffers]
    mask_before = np.ma.getmaskarray(hand).tobytes() if isinstance(hand, np.ma.MaskedArray) else None
    expected = expected_for_object(hand, holder.values)
    got = outcome(hand)
    event(f"outcome: {expected[0] if expected[0] == 'ok' else expected[1][:20]}")
    event(f"layout: {holder.layout} {expected[0]}")
    if expected[0] == "ok":
        event(f"accepted: {len(holder.values)} entries, {sum(holder.values[KINDS:])} tiles past the 34th")
    assert got == expected
    if expected[0] == "ok":  # keyword passing gives the same
        assert outcome(hand=hand) == expected
    assert snapshot(hand) == before
    assert [buffer_snapshot(b) for b in holder.buffers] == buffers_before
    if mask_before is not None:
        assert np.ma.getmaskarray(hand).tobytes() == mask_before


FUZZ_SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@settings(max_examples=examples(400), **FUZZ_SETTINGS)
@given(data=st.data())
def test_any_array_or_object(memmap_dir, data):
    holder = data.draw(st.one_of(
        one_dimensional(memmap_dir),
        one_dimensional(memmap_dir),
        one_dimensional(memmap_dir),
        one_dimensional(memmap_dir),
        one_dimensional(memmap_dir),
        other_dimensions(),
        st.sampled_from(NON_ARRAYS).map(lambda x: Holder(x, None, [])),
    ))
    check(holder)


# --- Argument passing ----------------------------------------------------------------

def expected_arguments(positional, keywords):
    """The argument error, if any, for this call; the rules are checked in
    order: positional count, then each keyword in turn, then a missing hand."""
    if len(positional) > 1:
        return f"shanten() takes 1 positional arguments but {len(positional)} were given"
    have = len(positional) == 1
    for name in keywords:
        if name != "hand":
            return f"shanten() got an unexpected keyword argument '{name}'"
        if have:
            return "shanten() got multiple values for argument 'hand'"
        have = True
    if not have:
        return "shanten() missing 1 required positional argument: 'hand'"
    return None


READY = np.array([1] * 13 + [0] * 21, dtype=np.uint8)  # 13 tiles: accepted
ARGUMENT_VALUES = [READY, np.zeros(KINDS, dtype=np.uint8), np.zeros(KINDS, dtype=np.int8), None, [1] * 14]
KEYWORD_NAMES = ["hand", "x", "Hand", "hand_", "han", "hands", "h\u00e4nd", "\ud800", "", "self", "args"]


@settings(max_examples=examples(300), deadline=None)
@given(
    positional=st.lists(st.sampled_from(ARGUMENT_VALUES), max_size=4),
    keywords=st.dictionaries(st.sampled_from(KEYWORD_NAMES), st.sampled_from(ARGUMENT_VALUES), max_size=4),
    order=st.randoms(use_true_random=False),
)
@example(positional=[], keywords={}, order=None)
@example(positional=[READY, READY], keywords={"x": READY}, order=None)
@example(positional=[READY], keywords={"hand": READY}, order=None)
@example(positional=[], keywords={"x": READY, "hand": READY}, order=None)
@example(positional=[], keywords={"hand": READY, "x": READY}, order=None)
def test_argument_passing(positional, keywords, order):
    names = list(keywords)
    if order is not None:
        order.shuffle(names)
    keywords = {name: keywords[name] for name in names}
    message = expected_arguments(positional, keywords)
    got = outcome(*positional, **keywords)
    if message is not None:
        assert got == ("TypeError", message)
    else:
        (hand,) = positional or [keywords["hand"]]
        values = hand.tolist() if isinstance(hand, np.ndarray) else None
        assert got == expected_for_object(hand, values)


# --- Valid hands: the reference and the symmetries -----------------------------------

def swap_tile(counts, out, into):
    swapped = list(counts)
    swapped[out] -= 1
    swapped[into] += 1
    return swapped


def as_hand(counts):
    return np.array(counts, dtype=np.uint8)


@pytest.mark.parametrize("total", ACCEPTED_TOTALS)
@settings(max_examples=examples(25, 10_000), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_valid_hand_against_reference_and_symmetries(total, data):
    counts = data.draw(valid_counts(total), label="counts")
    shanten = tilewise.shanten(as_hand(counts))
    assert shanten == reference_shanten(counts)

    suits = data.draw(st.permutations(range(3)), label="suit order")
    reverse = data.draw(st.lists(st.booleans(), min_size=3, max_size=3), label="reversed suits")
    honours = data.draw(st.permutations(range(7)), label="honour order")
    moved = []
    for suit in suits:
        block = counts[9 * suit:9 * suit + 9]
        moved += block[::-1] if reverse[suit] else block
    moved += [counts[27 + h] for h in honours]
    assert sorted(moved) == sorted(counts)
    assert tilewise.shanten(as_hand(moved)) == shanten

    out = data.draw(st.sampled_from([i for i in range(KINDS) if counts[i]]), label="tile out")
    into = data.draw(st.sampled_from([i for i in range(KINDS) if i != out and counts[i] < 4]), label="tile in")
    assert abs(tilewise.shanten(as_hand(swap_tile(counts, out, into))) - shanten) <= 1


# --- Panic reports ---------------------------------------------------------------------

@pytest.mark.parametrize("values, message", [
    ([0] * KINDS, SUM_MESSAGE),
    ([1] * 13, BOUNDS_MESSAGE),
    ([0] * 30 + [5, 0, 0, 0], "hand[30] = 5: a tile count must be 0 to 4"),
    ([0] * 30 + [5], BOUNDS_MESSAGE),  # the honours' length is checked before their counts
    ([0] * 12 + [9, 0, 5] + [0] * 5, "hand[12] = 9: a tile count must be 0 to 4"),
])
def test_each_panic_writes_a_report(capfd, values, message):
    capfd.readouterr()
    assert outcome(np.array(values, dtype=np.uint8)) == ("panic", message)
    err = capfd.readouterr().err
    assert err.startswith("thread ")
    head, _, rest = err.partition(" panicked at ")
    location, _, text = rest.partition(":\n")
    file, _, line = location.rpartition(":")
    assert file.endswith((".cpp", ".hpp")) and line.isdigit()
    assert text == message + "\n"
    assert issubclass(PanicException, BaseException) and not issubclass(PanicException, Exception)
    assert not hasattr(tilewise, "PanicException")
