"""The build embeds both texts byte for byte and refuses a text that is off."""

import hashlib
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import tilewise
from conftest import ROOT, cmake_program

CHECK_TABLE = ROOT / "cmake-scripts" / "check_table.cmake"


def test_module_carries_both_texts(table_texts):
    module = Path(tilewise.__file__).read_bytes()
    for text in table_texts:
        assert module.find(text) >= 0


def run_check(tmp_path, text: bytes, length: int, digest: str):
    generated, final = tmp_path / "suit.json.new", tmp_path / "suit.json"
    generated.write_bytes(text)
    cmake = cmake_program()
    if cmake is None:
        pytest.skip("cmake is not installed")
    result = subprocess.run(
        [cmake, "-DNAME=suit", f"-DTEXT={generated}", f"-DOUTPUT={final}",
         f"-DLENGTH={length}", f"-DSHA256={digest}", "-P", str(CHECK_TABLE)],
        capture_output=True, text=True)
    return result, generated, final


def test_check_accepts_the_right_text(tmp_path):
    text = b"[0, 1]"
    result, generated, final = run_check(tmp_path, text, len(text), hashlib.sha256(text).hexdigest())
    assert result.returncode == 0, result.stderr
    assert final.read_bytes() == text and not generated.exists()


@pytest.mark.parametrize("damaged", [b"[0, 2]", b"[0, 1] ", b"[0, 1"])
def test_check_refuses_and_removes_a_wrong_text(tmp_path, damaged):
    text = b"[0, 1]"
    digest = hashlib.sha256(text).hexdigest()
    (tmp_path / "suit.json").write_bytes(text)  # a text that an earlier build checked
    result, generated, final = run_check(tmp_path, damaged, len(text), digest)
    assert result.returncode != 0
    assert "suit table text is wrong" in result.stderr
    assert f"expected: {len(text)} bytes, SHA-256 {digest}" in result.stderr
    assert f"actual:   {len(damaged)} bytes, SHA-256 {hashlib.sha256(damaged).hexdigest()}" in result.stderr
    assert not generated.exists() and not final.exists()


# --- The assembler file on every object format we ship ------------------------

# Clang assembles tables.S.in for macOS and Windows on any host, so the Mach-O
# and COFF parts are held to the same standard as the ELF part (the Windows
# leg also links and runs the COFF one).
# 32-bit ARM is not shipped: there '@' starts a comment, so it keeps the ELF
# half to the syntax every ELF assembler accepts.
TARGETS = {
    "arm64-apple-macos11": "macho",
    "x86_64-apple-macos10.13": "macho",
    "x86_64-linux-gnu": "elf",
    "aarch64-linux-gnu": "elf",
    "armv7-linux-gnueabihf": "elf",
    "x86_64-w64-windows-gnu": "coff",
}
# Odd lengths, no zero byte: the alignment of what follows shows.
TEXTS = {"suit": bytes(7 * i % 251 + 1 for i in range(101)), "honour": bytes(range(1, 72))}


@pytest.fixture(scope="module")
def llvm():
    """(clang, llvm-readobj). TILEWISE_CLANG names a clang that must be
    there (CI sets it); otherwise the test skips on a machine without one."""
    required = os.environ.get("TILEWISE_CLANG")
    clang = shutil.which(required or "clang")
    readobj = clang and (shutil.which("llvm-readobj") or
                         shutil.which("llvm-readobj", path=str(Path(clang).resolve().parent)))
    if not (clang and readobj):
        if required:
            pytest.fail(f"TILEWISE_CLANG={required}: clang or llvm-readobj is missing")
        pytest.skip("clang and llvm-readobj are needed to assemble for other object formats")
    return clang, readobj


def read_object(readobj, path):
    """The sections and symbols of an object file, from llvm-readobj: one dict
    per block, "Key: value" lines as entries, bare lines (flags) in "flags"."""
    out = subprocess.run([readobj, "--sections", "--symbols", str(path)], check=True,
                         capture_output=True, text=True).stdout
    blocks = {"Section": {}, "Symbol": {}}
    kind = None
    for line in out.splitlines():
        opened = re.fullmatch(r"  (Section|Symbol) \{", line)
        if opened:
            kind, block = opened.group(1), {"flags": set()}
        elif kind and line == "  }":
            blocks[kind][block["Name"].split()[0]] = block
            kind = None
        elif kind and ": " in line:
            key, value = line.strip().split(": ", 1)
            block.setdefault(key, value)
        elif kind:
            block["flags"].add(line.strip().split()[0])
    return blocks["Section"], blocks["Symbol"]


@pytest.mark.parametrize("target", TARGETS)
def test_assembled_texts(tmp_path, llvm, target):
    clang, readobj = llvm
    source = (ROOT / "src" / "tables.S.in").read_text()
    for name, text in TEXTS.items():
        (tmp_path / f"{name}.json").write_bytes(text)
        # Forward slashes: a backslash in an assembler string starts an escape.
        source = source.replace(f"@{name.upper()}_TEXT@", (tmp_path / f"{name}.json").as_posix())
    (tmp_path / "tables.S").write_text(source)
    subprocess.run([clang, "-target", target, "-c", "tables.S", "-o", "tables.o"], cwd=tmp_path, check=True)
    data = (tmp_path / "tables.o").read_bytes()
    sections, symbols = read_object(readobj, tmp_path / "tables.o")
    object_format = TARGETS[target]

    def located(symbol_name):
        """The symbol's offset in the file, after checking where and how it is defined."""
        symbol = symbols[("_" if object_format == "macho" else "") + symbol_name]
        section_name = symbol["Section"].split()[0]
        section = sections[section_name]
        offset, address = section.get("Offset"), section.get("Address")
        if object_format == "macho":
            assert (section["Segment"].split()[0], section_name) == ("__TEXT", "__const")
            assert {"Extern", "PrivateExtern"} <= symbol["flags"]
            assert int(section["Alignment"]) >= 6
        elif object_format == "elf":
            assert section_name == ".rodata"
            assert symbol["Binding"].startswith("Global") and symbol["Type"].startswith("Object")
            assert "STV_HIDDEN" in symbol["flags"]
            assert int(section["AddressAlignment"]) >= 64
        else:  # a DLL exports only what is marked dllexport: a global symbol is not exported
            assert section_name == ".rdata"
            assert {"IMAGE_SCN_MEM_READ", "IMAGE_SCN_ALIGN_64BYTES"} <= section["flags"]
            assert "IMAGE_SCN_MEM_WRITE" not in section["flags"]
            assert symbol["StorageClass"].startswith("External")
            offset, address = section["PointerToRawData"], section["VirtualAddress"]
        value = int(symbol["Value"], 0)
        return int(offset, 0) + value - int(address, 0), value

    for name, text in TEXTS.items():
        at, address = located(f"tilewise_{name}_text")
        assert address % 64 == 0
        assert data[at:at + len(text)] == text
        size_at, _ = located(f"tilewise_{name}_text_size")
        assert int.from_bytes(data[size_at:size_at + 8], "little") == len(text)
