"""The build embeds both texts byte for byte and refuses a text that is off."""

import hashlib
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tilewise
from conftest import cxx_compiler

ROOT = Path(__file__).resolve().parent.parent
CHECK_TABLE = ROOT / "cmake" / "check_table.cmake"
PADDING = bytes(64)


def test_module_carries_both_texts_followed_by_padding(table_texts):
    module = Path(tilewise.__file__).read_bytes()
    for text in table_texts:
        at = module.find(text)
        assert at >= 0
        assert module[at + len(text):at + len(text) + len(PADDING)] == PADDING


def run_check(tmp_path, text: bytes, length: int, digest: str):
    generated, final = tmp_path / "suit.json.new", tmp_path / "suit.json"
    generated.write_bytes(text)
    cmake = shutil.which("cmake")
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


@pytest.mark.skipif(sys.platform == "darwin", reason="the ELF directives are checked on ELF targets")
@pytest.mark.parametrize("assembler", ["as", "aarch64-linux-gnu-as", "arm-linux-gnueabihf-as"],
                         ids=["build machine", "aarch64", "32-bit ARM, where @ starts a comment"])
def test_embedding_assembles_into_hidden_objects(tmp_path, assembler):
    compiler = cxx_compiler()
    if compiler is None or shutil.which(assembler) is None or shutil.which("readelf") is None:
        pytest.skip(f"needs a C++ compiler, {assembler} and readelf")
    texts = {"suit": b"[0, 1]", "honour": b"[2]"}
    source = (ROOT / "src" / "tables.S.in").read_text()
    for name, text in texts.items():
        (tmp_path / f"{name}.json").write_bytes(text)
        source = source.replace(f"@{name.upper()}_TEXT@", str(tmp_path / f"{name}.json"))
    (tmp_path / "tables.S").write_text(source)
    subprocess.run([compiler, "-E", "-P", "-x", "assembler-with-cpp", "-o", str(tmp_path / "tables.s"),
                    str(tmp_path / "tables.S")], check=True)
    assembled = subprocess.run([assembler, "-o", str(tmp_path / "tables.o"), str(tmp_path / "tables.s")],
                               capture_output=True, text=True)
    assert assembled.returncode == 0, assembled.stderr
    listing = subprocess.run(["readelf", "-Ws", str(tmp_path / "tables.o")], capture_output=True, text=True,
                             check=True).stdout
    # Num: Value Size Type Bind Vis Ndx Name
    symbols = {fields[7]: fields[2:6] for fields in map(str.split, listing.splitlines()) if len(fields) == 8}
    for name, text in texts.items():
        assert symbols[f"tilewise_{name}_text"] == [str(len(text) + len(PADDING)), "OBJECT", "GLOBAL", "HIDDEN"]
        assert symbols[f"tilewise_{name}_text_size"] == ["8", "OBJECT", "GLOBAL", "HIDDEN"]
