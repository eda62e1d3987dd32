"""The build's own options, seen from CMake's configure step."""

import json
import subprocess
import sys

import pytest

from conftest import ROOT, build_tool_args, cmake_program, tool_env


def configure(build_dir, *options):
    cmake, generator = cmake_program(), build_tool_args()
    if cmake is None or generator is None:
        pytest.skip("cmake and make or ninja are needed to configure the build")
    return subprocess.run(
        [cmake, "-S", str(ROOT), "-B", str(build_dir), *generator, f"-DPython_EXECUTABLE={sys.executable}",
         "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", *options],
        capture_output=True, text=True, timeout=300, env=tool_env())


def test_rapidjson_location(tmp_path):
    """RAPIDJSON_INCLUDE_DIR takes a copy from anywhere; a folder without
    RapidJSON stops the configure step with a message that says what to do."""
    include = tmp_path / "elsewhere" / "include"
    (include / "rapidjson").mkdir(parents=True)
    (include / "rapidjson" / "reader.h").write_text("")
    result = configure(tmp_path / "found", f"-DRAPIDJSON_INCLUDE_DIR={include}")
    assert result.returncode == 0, result.stderr
    commands = json.loads((tmp_path / "found" / "compile_commands.json").read_text())
    solver = [c["command"] for c in commands if c["file"].endswith("solver.cpp")]
    assert len(solver) == 1 and f"-isystem {include}" in solver[0]

    result = configure(tmp_path / "missing", f"-DRAPIDJSON_INCLUDE_DIR={tmp_path / 'empty'}")
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    for advice in ["rapidjson-dev", "rapidjson-devel", "brew install rapidjson", "conda-forge rapidjson",
                   "pip install . -Ccmake.define.RAPIDJSON_INCLUDE_DIR=/path/to/include"]:
        assert advice in message
