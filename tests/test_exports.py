"""The module exports its init function and nothing else. The C++ runtime is
linked in; an exported copy of any part of it could bind to another
extension's copy, of another version, in the same process."""

import re
import shutil
import subprocess
from pathlib import Path

import pytest

import tilewise

# "  Num: Value Size Type Bind Vis [other] Ndx Name"; readelf reads the ELF of
# any processor, so this holds for cross builds too.
SYMBOL = re.compile(r"\s*\d+:\s+[0-9a-fA-F]+\s+\S+\s+\S+\s+(\S+)\s+\S+(?:\s+\[[^\]]*\])?\s+(\S+)\s+(\S+)")


def test_only_the_init_function_is_exported():
    module = Path(tilewise.__file__)
    with module.open("rb") as file:
        is_elf = file.read(4) == b"\x7fELF"
    if not is_elf:
        pytest.skip("reads the dynamic symbols of an ELF file, which this module is not")
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf is not installed")
    table = subprocess.run([readelf, "--dyn-syms", "-W", str(module)], check=True,
                           capture_output=True, text=True).stdout
    # Local entries (section symbols some linkers add) bind nothing.
    defined = [name.split("@")[0] for bind, index, name in
               (m.groups() for m in map(SYMBOL.match, table.splitlines()) if m)
               if index != "UND" and bind != "LOCAL"]
    assert defined == ["PyInit_tilewise"]
