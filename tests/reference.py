"""A slow, direct reference for the shanten number, independent of the tables.

It searches the target shapes of the whole hand: M melds (triplets, and runs
within a suit) and one pair, no tile planned more than four times, and keeps
the shape that takes in most of the hand's tiles. The shanten number is the
number of tiles such a shape lacks, less one.
"""

import numpy as np

KINDS = 34
# Each meld as (tile, copies) pairs.
MELDS = [((i, 3),) for i in range(KINDS)] + [
    tuple((suit * 9 + rank + j, 1) for j in range(3)) for suit in range(3) for rank in range(7)
]


def fixed_melds(total):
    """Melds already called, from the number of tiles in the hand."""
    return {1: 4, 2: 4, 4: 3, 5: 3, 7: 2, 8: 2, 10: 1, 11: 1, 13: 0, 14: 0}[total]


def reference_shanten(counts, fixed=None):
    """The shanten number of 34 counts; `fixed` melds already called, by
    default as many as the hand's own number of tiles tells."""
    counts = [int(c) for c in counts[:KINDS]]
    assert len(counts) == KINDS and all(0 <= c <= 4 for c in counts)
    total = sum(counts)
    melds = 4 - (fixed_melds(total) if fixed is None else fixed)
    plan = [0] * KINDS

    def gain(parts):
        """Hand tiles that one more meld or pair takes in; None if a tile
        would be planned a fifth time."""
        taken = 0
        for tile, copies in parts:
            wanted = plan[tile] + copies
            if wanted > 4:
                return None
            taken += min(wanted, counts[tile]) - min(plan[tile], counts[tile])
        return taken

    # Melds that take in nothing are as good as melds on unplanned tiles, and
    # likewise for the pair, so only those that take in a tile are tried. The
    # likeliest go first, so that good shapes are found early.
    touching = sorted((m for m in MELDS if gain(m)), key=gain, reverse=True)
    pairs = [((tile, 2),) for tile in range(KINDS) if counts[tile]]
    best = 0

    def search(first, left, used):
        nonlocal best
        if min(used + 3 * left + 2, total) <= best:
            return
        best = max(best, used + max([gain(p) or 0 for p in pairs], default=0))
        for index in range(first, len(touching) if left else 0):
            parts = touching[index]
            taken = gain(parts)
            if taken:
                for tile, copies in parts:
                    plan[tile] += copies
                search(index, left - 1, used + taken)
                for tile, copies in parts:
                    plan[tile] -= copies

    search(0, melds, 0)
    return 3 * melds + 2 - best - 1


def random_hand(rng, tiles, kinds=range(KINDS)):
    """`tiles` tiles drawn without replacement from four copies of each kind."""
    wall = np.repeat(np.asarray(list(kinds)), 4)
    counts = np.zeros(KINDS, dtype=np.uint8)
    np.add.at(counts, rng.choice(wall, size=tiles, replace=False), 1)
    return counts
