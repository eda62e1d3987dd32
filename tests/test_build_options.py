"""The build's own options, seen from CMake: how a cross build runs the table
generator on the build machine (compiled there with the build machine's own
compiler, or given ready-built; with neither, the configuration stops and says
how). Naming the system explicitly (CMAKE_SYSTEM_NAME) makes any build a cross
build to CMake, so the cross-build cases run on every machine; under the arm64
leg they cross-compile for real."""

import platform
import shutil
import subprocess
import sys
import sysconfig

import pytest

from conftest import ROOT, build_tool_args, cmake_program, tool_env

BUILT_HERE = "Building the table generator for the build machine"


def cmake():
    program, generator = cmake_program(), build_tool_args()
    if program is None or generator is None:
        pytest.skip("cmake and ninja or make are needed to configure the build")
    return program, generator


def configure(build_dir, *options):
    program, generator = cmake()
    return subprocess.run(
        [program, "-S", str(ROOT), "-B", str(build_dir), *generator, f"-DPython_EXECUTABLE={sys.executable}",
         "-DCMAKE_BUILD_TYPE=Release", *options],
        capture_output=True, text=True, timeout=300, env=tool_env())


def cross_configure(build_dir, *options):
    # FindPython does not ask the interpreter for its headers in a cross build.
    return configure(build_dir, f"-DCMAKE_SYSTEM_NAME={platform.system()}",
                     f"-DPython_INCLUDE_DIR={sysconfig.get_paths()['include']}", *options)


@pytest.mark.parametrize("option, says", [
    ("-DTILEWISE_HOST_CXX=/nonexistent/c++",
     "no C++ compiler for the build machine was found (TILEWISE_HOST_CXX is '/nonexistent/c++'). "
     "Set TILEWISE_HOST_CXX to one"),
    ("-DTILEWISE_TABLEGEN=/nonexistent/tablegen", "TILEWISE_TABLEGEN is /nonexistent/tablegen, which does not exist"),
], ids=["no host compiler", "missing generator"])
def test_cross_configuration_stops_when_the_generator_cannot_run(tmp_path, option, says):
    configured = cross_configure(tmp_path, option)
    assert configured.returncode != 0
    assert says in " ".join(configured.stderr.split())


@pytest.mark.parametrize("given_generator", [False, True], ids=["built with the host compiler", "given"])
def test_cross_build_runs_the_generator_on_the_build_machine(tmp_path, given_generator):
    options = []
    if given_generator:
        host_cxx = shutil.which("c++")
        if host_cxx is None:
            pytest.skip("no C++ compiler for the build machine")
        generator = tmp_path / "tablegen"
        subprocess.run([host_cxx, "-std=c++17", "-O2", "-o", str(generator), str(ROOT / "tablegen" / "tablegen.cpp")],
                       check=True, env=tool_env())
        options.append(f"-DTILEWISE_TABLEGEN={generator}")
    build = tmp_path / "build"
    configured = cross_configure(build, *options)
    assert configured.returncode == 0, configured.stdout[-3000:] + configured.stderr[-3000:]
    # The tables alone: the build checks each text's length and digest.
    built = subprocess.run([cmake()[0], "--build", str(build), "--target", "tables"],
                           capture_output=True, text=True, env=tool_env())
    assert built.returncode == 0, built.stdout[-3000:] + built.stderr[-3000:]
    assert (BUILT_HERE in built.stdout) != given_generator
    assert (build / "tables" / "suit.json").is_file() and (build / "tables" / "honour.json").is_file()
