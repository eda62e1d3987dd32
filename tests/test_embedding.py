"""The build embeds both texts byte for byte and refuses a text that is off."""

import hashlib
import shutil
import subprocess
from pathlib import Path

import pytest

import tilewise

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
