"""Shanten numbers of a few hands written in the usual notation.

Digits are ranks, followed by their suit: m, p and s for the three numbered
suits, z for the seven honours (1-7). "123m456p789s11122z" is a complete hand.
"""

import numpy as np

import tilewise

SUIT_OFFSETS = {"m": 0, "p": 9, "s": 18, "z": 27}


def hand_from_text(text: str) -> np.ndarray:
    counts = np.zeros(34, dtype=np.uint8)
    ranks = []
    for char in text:
        if char.isdigit():
            ranks.append(int(char))
        else:
            for rank in ranks:
                counts[SUIT_OFFSETS[char] + rank - 1] += 1
            ranks = []
    return counts


HANDS = [
    "123m456p789s11122z",   # complete: four melds and a pair
    "123m456p789s1112z",    # ready: waiting on 2z
    "19m19p19s1234567z",    # thirteen orphans, but only the regular shape counts
    "1133m5577p99s1122z",   # seven pairs: three tiles from the regular shape
    "147m147p147s1z",       # ten tiles, one meld already called
    "5555m",                # four tiles, three melds called: a fifth 5m does not exist
]

if __name__ == "__main__":
    for text in HANDS:
        print(f"{text:<20} shanten {tilewise.shanten(hand_from_text(text)):>2}")
