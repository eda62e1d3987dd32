"""The discards that leave a 14-tile hand closest to ready, for example:

    python examples/discards.py 2345m13p4678s1157z

One array is changed in place (take a tile out, ask, put it back): building a
new array for every question would cost many times the call itself.
"""

import sys

import tilewise
from quickstart import SUIT_OFFSETS, hand_from_text


def best_discards(hand):
    """The least shanten number after one discard, and the kinds that reach it."""
    results = {}
    for tile in map(int, hand.nonzero()[0]):
        hand[tile] -= 1
        results[tile] = tilewise.shanten(hand)
        hand[tile] += 1
    best = min(results.values())
    return best, [tile for tile, shanten in results.items() if shanten == best]


def text_from_tiles(tiles):
    """The usual notation of tile kinds given in increasing order."""
    groups = {suit: "".join(str(t - at + 1) for t in tiles if at <= t < at + 9) for suit, at in SUIT_OFFSETS.items()}
    return "".join(ranks + suit for suit, ranks in groups.items() if ranks)


if __name__ == "__main__":
    text = sys.argv[1] if len(sys.argv) > 1 else "2345m13p4678s1157z"
    hand = hand_from_text(text)
    if hand.sum() != 14:
        sys.exit(f"{text} holds {hand.sum()} tiles, not 14")
    best, tiles = best_discards(hand)
    print(f"hand     {text}\ndiscard  {text_from_tiles(tiles)}\nshanten  {best}")
