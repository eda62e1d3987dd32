"""The distance tables: text form, telling rows, row properties, and rows
against a brute force over every target shape."""

import hashlib
import itertools
import re

import numpy as np
import pytest

from conftest import scaled

SUIT, HONOUR = 9, 7
SUIT_LENGTH, SUIT_SHA256 = 58_594_530, "980b44c71d052c3e620e4ea982dc50fb5628ae75a8f3d2f3798f8cf35bd651fd"
HONOUR_LENGTH, HONOUR_SHA256 = 2_344_166, "9f566cae7ad9c639b5d9bf323bbad3d70249c2e953c1129fbfeb94123ee5aa21"
EMPTY_ROW = [0, 3, 6, 9, 12, 2, 5, 8, 11, 14]
ZERO_ROW = [0] * 10


def row_index(counts):
    index = 0
    for c in counts:
        index = index * 5 + c
    return index


def all_counts(tiles):
    """Counts of every row, in row order: digit j of the row index is tile j."""
    rows = np.arange(5**tiles)
    return np.stack([(rows // 5 ** (tiles - 1 - j)) % 5 for j in range(tiles)], axis=1).astype(np.int8)


# --- text form ----------------------------------------------------------------

@pytest.mark.parametrize("which, length, digest, two_digit", [
    (0, SUIT_LENGTH, SUIT_SHA256, 780),
    (1, HONOUR_LENGTH, HONOUR_SHA256, 416),
])
def test_text_form(table_texts, which, length, digest, two_digit):
    text = table_texts[which]
    assert text.startswith(b"[0, 3, 6, 9, 12, 2, 5, 8, 11, 14, 0, 2, 5, 8, 11, 1, 4, 7, 10, 13, 0, 1, 4, 7, 10,")
    assert text.endswith(b"0, 0, 0]")
    assert set(text) <= set(b"0123456789, []")
    assert text.count(b"[") == text.count(b"]") == 1
    body = text[1:-1]
    entries = body.split(b", ")
    assert len(entries) == 10 * 5 ** (SUIT if which == 0 else HONOUR)
    assert all(re.fullmatch(rb"0|[1-9][0-9]?", e) for e in set(entries))
    assert sum(len(e) == 2 for e in entries) == two_digit
    assert len(text) == length
    assert hashlib.sha256(text).hexdigest() == digest


def test_texts_first_differ_in_row_4(suit_rows, honour_rows):
    assert (suit_rows[:4] == honour_rows[:4]).all()
    assert (suit_rows[4] != honour_rows[4]).any()


# --- telling rows ---------------------------------------------------------------

TELLING_ROWS = [
    ("suit", "000000000", EMPTY_ROW),
    ("suit", "000000001", [0, 2, 5, 8, 11, 1, 4, 7, 10, 13]),
    ("suit", "000000002", [0, 1, 4, 7, 10, 0, 3, 6, 9, 12]),
    ("suit", "000000003", [0, 0, 3, 6, 9, 0, 2, 5, 8, 11]),
    ("suit", "000000004", [0, 0, 2, 5, 8, 0, 2, 4, 7, 10]),
    ("suit", "000000011", [0, 1, 4, 7, 10, 1, 3, 6, 9, 12]),
    ("suit", "000040000", [0, 0, 2, 5, 8, 0, 2, 4, 7, 10]),
    ("suit", "400000000", [0, 0, 2, 5, 8, 0, 2, 4, 7, 10]),
    ("suit", "000111100", [0, 0, 2, 5, 8, 1, 1, 4, 7, 10]),
    ("suit", "010100000", [0, 1, 4, 7, 10, 1, 3, 6, 9, 12]),
    ("suit", "100000001", [0, 2, 4, 7, 10, 1, 3, 6, 9, 12]),
    ("suit", "111000000", [0, 0, 3, 6, 9, 1, 2, 5, 8, 11]),
    ("suit", "111111111", [0, 0, 0, 0, 3, 1, 1, 1, 2, 5]),
    ("suit", "222000000", [0, 0, 0, 3, 6, 0, 1, 2, 5, 8]),
    ("suit", "311111113", [0, 0, 0, 0, 0, 0, 0, 0, 0, 1]),
    ("suit", "311121113", ZERO_ROW),
    ("suit", "404040400", [0, 0, 0, 0, 0, 0, 0, 0, 0, 1]),
    ("suit", "444444444", ZERO_ROW),
    ("suit", "220220344", [0, 0, 0, 0, 1, 0, 0, 0, 0, 1]),
    ("honour", "0000000", EMPTY_ROW),
    ("honour", "0000004", [0, 0, 3, 6, 9, 0, 2, 5, 8, 11]),
    ("honour", "0000034", [0, 0, 0, 3, 6, 0, 0, 2, 5, 8]),
    ("honour", "1111111", [0, 2, 4, 6, 8, 1, 3, 5, 7, 9]),
    ("honour", "2222222", [0, 1, 2, 3, 4, 0, 1, 2, 3, 4]),
    ("honour", "3333110", [0, 0, 0, 0, 0, 0, 0, 0, 0, 1]),
    ("honour", "3333200", ZERO_ROW),
    ("honour", "4444444", ZERO_ROW),
    ("honour", "2222444", [0, 0, 0, 0, 1, 0, 0, 0, 0, 1]),
]


@pytest.mark.parametrize("table, counts, expected", TELLING_ROWS)
def test_telling_row(suit_rows, honour_rows, table, counts, expected):
    rows = suit_rows if table == "suit" else honour_rows
    assert rows[row_index(int(c) for c in counts)].tolist() == expected


# --- whole-table figures --------------------------------------------------------

@pytest.mark.parametrize("table, tiles, zeros, zero_rows, two_digit, all_zero_from", [
    ("suit", SUIT, 18_124_030, 1_435_663, 780, 20),
    ("honour", HONOUR, 562_838, 18_160, 416, 21),
])
def test_whole_table_figures(suit_rows, honour_rows, table, tiles, zeros, zero_rows, two_digit,
                             all_zero_from):
    rows = suit_rows if table == "suit" else honour_rows
    assert rows.shape == (5**tiles, 10)
    assert (rows == 0).sum() == zeros
    is_zero_row = (rows == 0).all(axis=1)
    assert is_zero_row.sum() == zero_rows
    assert (rows >= 10).sum() == two_digit
    totals = all_counts(tiles).sum(axis=1)
    assert totals[is_zero_row].min() == 14
    assert is_zero_row[totals >= all_zero_from].all()
    assert not is_zero_row[totals == all_zero_from - 1].all()


# --- row properties, on a sample ------------------------------------------------

def sample_rows(tiles, n, seed):
    rng = np.random.default_rng(seed)
    if 5**tiles <= n:
        return np.arange(5**tiles)
    return np.unique(np.concatenate(([0, 5**tiles - 1], rng.integers(0, 5**tiles, n))))


@pytest.mark.parametrize("table, tiles", [("suit", SUIT), ("honour", HONOUR)])
def test_row_properties(suit_rows, honour_rows, table, tiles):
    rows = suit_rows if table == "suit" else honour_rows
    index = sample_rows(tiles, scaled(50_000), seed=1)
    r = rows[index].astype(int)
    counts = all_counts(tiles)[index]
    plain, paired = r[:, :5], r[:, 5:]
    k = np.arange(5)
    # 1 and 2: no melds costs nothing; a pair costs 0, 1 or 2 tiles.
    assert (r[:, 0] == 0).all()
    expected_pair = np.where((counts >= 2).any(axis=1), 0, np.where(counts.sum(axis=1) > 0, 1, 2))
    assert (r[:, 5] == expected_pair).all()
    # 3: the pair costs at most two more tiles.
    assert ((plain <= paired) & (paired <= plain + 2)).all()
    # 4: one more meld costs 0 to 3 more tiles.
    for half in (plain, paired):
        step = np.diff(half, axis=1)
        assert ((step >= 0) & (step <= 3)).all()
    # 5: never more than building from nothing.
    assert (plain <= 3 * k).all() and (paired <= 3 * k + 2).all()
    # 6: all zero exactly when the last entry is zero.
    assert ((r == 0).all(axis=1) == (r[:, 9] == 0)).all()


def test_suit_rows_read_the_same_reversed(suit_rows):
    counts = all_counts(SUIT)
    reversed_index = (counts[:, ::-1].astype(np.int64) * 5 ** np.arange(SUIT - 1, -1, -1)).sum(axis=1)
    assert (suit_rows[reversed_index] == suit_rows).all()


@pytest.mark.parametrize("seed", range(3))
def test_honour_rows_ignore_the_order_of_honours(honour_rows, seed):
    permutation = np.random.default_rng(seed).permutation(HONOUR)
    counts = all_counts(HONOUR)
    permuted_index = (counts[:, permutation].astype(np.int64) * 5 ** np.arange(HONOUR - 1, -1, -1)).sum(axis=1)
    assert (honour_rows[permuted_index] == honour_rows).all()


# --- brute force over target shapes ---------------------------------------------

def target_shapes(tiles, runs):
    """Every target shape, by entry: sums of k melds and q pairs, no count over 4."""
    melds = [np.eye(tiles, dtype=np.int8)[j] * 3 for j in range(tiles)]
    if runs:
        melds += [np.convolve(np.eye(tiles, dtype=np.int8)[j], [1, 1, 1])[:tiles].astype(np.int8)
                  for j in range(tiles - 2)]
    pairs = [np.eye(tiles, dtype=np.int8)[j] * 2 for j in range(tiles)]
    shapes = {}
    for k in range(5):
        plain = {tuple(sum(c, np.zeros(tiles, np.int8))) for c in itertools.combinations_with_replacement(melds, k)}
        shapes[k] = np.array([s for s in plain if max(s) <= 4], dtype=np.int8).reshape(-1, tiles)
        paired = {tuple(np.add(s, p)) for s in plain for p in pairs}
        shapes[5 + k] = np.array([s for s in paired if max(s) <= 4], dtype=np.int8).reshape(-1, tiles)
    return shapes


def brute_force_rows(counts, shapes):
    out = np.empty((len(counts), 10), dtype=np.int16)
    for start in range(0, len(counts), 256):
        h = counts[start:start + 256, None, :]
        for entry, s in shapes.items():
            out[start:start + 256, entry] = np.maximum(s[None, :, :] - h, 0).sum(axis=2).min(axis=1)
    return out


def test_brute_force_knows_the_seven_runs_and_no_wrap():
    one_meld = {tuple(s) for s in target_shapes(SUIT, runs=True)[1]}
    runs = {s for s in one_meld if max(s) == 1}
    assert runs == {(0,) * j + (1, 1, 1) + (0,) * (6 - j) for j in range(7)}


@pytest.mark.parametrize("kind", ["uniform", "hand-sized"])
def test_suit_rows_match_brute_force(suit_rows, kind):
    rng = np.random.default_rng(7)
    n = scaled(1500)
    if kind == "uniform":
        index = rng.integers(0, 5**SUIT, n)
    else:  # at most 14 tiles, with many rows holding tiles near the suit's ends
        counts = rng.multinomial(14, np.full(SUIT, 1 / SUIT), size=4 * n)
        counts = counts[(counts <= 4).all(axis=1)][:n] * (rng.random((n, 1)) < 0.8)
        index = (counts * 5 ** np.arange(SUIT - 1, -1, -1)).sum(axis=1)
    counts = all_counts(SUIT)[index]
    expected = brute_force_rows(counts, target_shapes(SUIT, runs=True))
    assert (suit_rows[index] == expected).all(axis=1).all()


def test_all_honour_rows_match_brute_force(honour_rows):
    index = sample_rows(HONOUR, scaled(5**HONOUR), seed=2)  # every row unless scaled down
    expected = brute_force_rows(all_counts(HONOUR)[index], target_shapes(HONOUR, runs=False))
    mismatched = index[(honour_rows[index] != expected).any(axis=1)]
    assert mismatched.size == 0, f"first mismatched rows: {mismatched[:5]}"
