# Types of the extension module `tilewise`, which carries no docstrings of its
# own: the documentation editors show lives here.

import numpy as np
import numpy.typing as npt

__all__ = ["shanten"]

def shanten(hand: npt.NDArray[np.uint8]) -> int:
    """The shanten number of a Japanese Mahjong hand, for the regular shape of
    melds and one pair: -1 complete, 0 ready, and one more for every further
    tile the best plan lacks. No plan uses a fifth copy of a tile; seven pairs
    and thirteen orphans are not recognised.

    `hand` is a one-dimensional NumPy array of uint8 (or an equivalent type)
    holding 34 tile counts, 0 to 4 each: 1m-9m, 1p-9p, 1s-9s, then the seven
    honours. It is read in place and never written; any stride is accepted.
    Entries after the 34th are not tiles but count in the total.

    The number of tiles tells how many melds were already called: 13 or 14
    tiles, none; 10 or 11, one; 7 or 8, two; 4 or 5, three; 1 or 2, four.

    Raises TypeError for a wrong call, a non-array, an array that is not
    one-dimensional or a wrong element type. Raises
    pyo3_runtime.PanicException (a BaseException, not an Exception) for a
    tile total other than those above, fewer than 34 entries, or a count
    above 4; it also writes a short report to standard error.

    The first call that passes the total check parses both tables (about 2 MB,
    kept until the process ends).

    Safe from any thread, and run in parallel on a free-threaded build. If
    another thread writes to the array during the call, each count is still
    read once and the answer is for the counts that were read.
    """
