"""Shanten numbers: known hands, the slow reference on random hands, views of
every stride, and the stops of the computation."""

import sys

import numpy as np
import pytest

import tilewise
from conftest import ROOT, scaled
from reference import KINDS, random_hand, reference_shanten

sys.path.insert(0, str(ROOT / "examples"))
from quickstart import hand_from_text  # noqa: E402


def hand(text, length=KINDS):
    """Counts from the usual notation ("123m456p789s11122z"), padded to `length`."""
    counts = np.zeros(length, dtype=np.uint8)
    counts[:KINDS] = hand_from_text(text)
    return counts


def raises_panic(message, call, *args):
    with pytest.raises(BaseException) as caught:
        call(*args)
    assert type(caught.value).__name__ == "PanicException"
    assert str(caught.value) == message


@pytest.mark.parametrize("text, expected", [
    ("123m456p789s11122z", -1),      # four melds and a pair
    ("123m456p789s1112z", 0),        # one tile short
    ("123m456p789s11z", -1),         # 11 tiles: one meld called
    ("11z", -1),                     # 2 tiles: four melds called
    ("1z", 0),
    ("5555m", 1),                    # a fifth copy is not there to plan with
    ("1133m5577p99s1122z", 3),       # seven pairs count as the regular shape
    ("19m19p19s1234567z", 8),        # thirteen orphans likewise: the worst for 13 tiles
    ("19m19p19s12345677z", 7),
    ("147m147p147s1z", 6),           # the worst for 10 tiles
    ("11112222333344m", -1),
    ("1112345678999m", 0),           # nine-way wait
    ("111m2z", 0),                   # a meld, and half of the pair
    ("1111m", 1),
    ("12m", 0),                      # 2 tiles: a pair is missing one tile
    ("19m", 0),
])
def test_known_hands(text, expected):
    counts = hand(text)
    assert reference_shanten(counts) == expected
    assert tilewise.shanten(counts) == expected


TOTALS = [14, 13, 11, 10, 8, 7, 5, 4, 2, 1]


def realistic(rng, total):
    return random_hand(rng, total)


def dense(rng, total):
    # Few kinds, so most counts are 3 or 4.
    return random_hand(rng, total, kinds=rng.choice(KINDS, size=max(1, (total + 3) // 4), replace=False))


def honours_only(rng, total):
    return random_hand(rng, total, kinds=range(27, 34))


def single_suit(rng, total):
    suit = rng.integers(3)
    return random_hand(rng, total, kinds=range(9 * suit, 9 * suit + 9))


@pytest.mark.parametrize("make, hands_per_total", [
    (realistic, 120), (dense, 80), (honours_only, 50), (single_suit, 80)])
@pytest.mark.parametrize("total", TOTALS)
def test_matches_reference(make, hands_per_total, total):
    rng = np.random.default_rng([total, hands_per_total, len(make.__name__)])
    for _ in range(scaled(hands_per_total)):
        counts = make(rng, total)
        assert tilewise.shanten(counts) == reference_shanten(counts), counts.tolist()


@pytest.mark.parametrize("total", TOTALS)
def test_results_stay_within_bounds(total):
    melds = 4 - {14: 0, 13: 0, 11: 1, 10: 1, 8: 2, 7: 2, 5: 3, 4: 3, 2: 4, 1: 4}[total]
    rng = np.random.default_rng(total)
    results = {tilewise.shanten(random_hand(rng, total)) for _ in range(scaled(3000))}
    assert min(results) >= (-1 if total % 3 == 2 else 0)
    assert max(results) <= 2 * melds


# --- views ----------------------------------------------------------------------

def views(counts):
    """Views with the same logical entries as `counts`, read in place."""
    spaced = np.zeros(2 * KINDS, dtype=np.uint8)
    spaced[::2] = counts
    backwards = counts[::-1].copy()
    readonly = counts.copy()
    readonly.flags.writeable = False
    return {
        "stride 2": spaced[::2],
        "stride -1": backwards[::-1],
        "stride -3": np.repeat(backwards, 3)[::-3],
        "read-only": readonly,
    }


@pytest.mark.parametrize("kind", ["stride 2", "stride -1", "stride -3", "read-only"])
def test_views_read_like_a_contiguous_copy(kind):
    rng = np.random.default_rng(3)
    for _ in range(scaled(200)):
        counts = random_hand(rng, int(rng.choice(TOTALS)))
        view = views(counts)[kind]
        assert tilewise.shanten(view) == tilewise.shanten(np.ascontiguousarray(view))


@pytest.mark.parametrize("count", [0, 1, 4])
def test_zero_stride_view_reads_like_a_contiguous_copy(count):
    # Every entry is the same byte, so the total is a multiple of 34 and
    # always refused, in place as in the copy.
    view = np.broadcast_to(np.uint8(count), (KINDS,))
    assert view.strides == (0,)
    for counts in (view, np.ascontiguousarray(view)):
        raises_panic("hand.iter().sum() must be 1, 2, 4, 5, 7, 8, 10, 11, 13 or 14", tilewise.shanten, counts)


def test_entries_past_34_count_only_in_the_total():
    counts = hand("123m456p789s11122z", length=40)
    assert tilewise.shanten(counts) == -1
    counts[-1] = 1
    raises_panic("hand.iter().sum() must be 1, 2, 4, 5, 7, 8, 10, 11, 13 or 14", tilewise.shanten, counts)
    counts = hand("123m456p789s1112z", length=35)
    counts[-1] = 1  # 14 tiles in all, but the 35th is not a tile
    assert tilewise.shanten(counts) == 0


# --- stops ------------------------------------------------------------------------

@pytest.mark.parametrize("length", [8, 17, 26, 33])
def test_short_view_stops_at_the_group_that_does_not_fit(length):
    counts = np.zeros(length, dtype=np.uint8)
    counts[:4] = [4, 4, 4, 1]  # 13 tiles
    raises_panic("ndarray: index out of bounds", tilewise.shanten, counts)


def test_fourteen_ones_are_too_short():
    raises_panic("ndarray: index out of bounds", tilewise.shanten, np.ones(14, dtype=np.uint8))


@pytest.mark.parametrize("position", [0, 8, 9, 17, 18, 26, 27, 33])
@pytest.mark.parametrize("count", [5, 6, 14])
def test_count_above_four_is_refused(position, count):
    counts = np.zeros(KINDS, dtype=np.uint8)
    counts[position] = count
    rest = 14 - count if count <= 14 else 0
    others = [p for p in range(KINDS) if p != position][:rest]
    counts[others] = 1
    raises_panic(f"hand[{position}] = {count}: a tile count must be 0 to 4", tilewise.shanten, counts)


def test_first_count_above_four_is_the_one_reported():
    counts = np.zeros(KINDS, dtype=np.uint8)
    counts[[3, 5, 20]] = [5, 7, 2]  # 14 tiles
    raises_panic("hand[3] = 5: a tile count must be 0 to 4", tilewise.shanten, counts)


def test_count_above_four_in_a_reversed_view_names_the_logical_position():
    counts = np.zeros(KINDS, dtype=np.uint8)
    counts[30] = 5
    counts[:8] = 1
    backwards = counts[::-1].copy()
    raises_panic("hand[30] = 5: a tile count must be 0 to 4", tilewise.shanten, backwards[::-1])
