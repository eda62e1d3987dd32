"""Shows the two distance tables that the build embedded into tilewise."""

from pathlib import Path

import tilewise

module = Path(tilewise.__file__).read_bytes()
start = b"[0, 3, 6, 9, 12, 2, 5, 8, 11, 14,"
suit_at = module.find(start)
honour_at = module.find(start, suit_at + 1)
for name, at in (("suit", suit_at), ("honour", honour_at)):
    length = module.index(b"]", at) + 1 - at
    print(f"{name} table text: {length:,} bytes embedded in {Path(tilewise.__file__).name}")
