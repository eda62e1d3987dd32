"""Every kernel this processor runs gives the scalar kernel's results (a C++
unit test over random rows), and passes the reference and fuzz tests when it
is forced with TILEWISE_KERNEL in a fresh interpreter. The rest of the suite
runs the default kernel, the fastest one."""

import os
import platform
import subprocess
import sys

import pytest

from conftest import ROOT, run_cpp_test

KERNELS = ["scalar", "sse2", "avx2", "neon"]
REFUSED = "not a kernel this processor runs"


def has_avx2():
    """Whether the processor and the system run AVX2 code, as Linux's
    /proc/cpuinfo or Windows' IsProcessorFeaturePresent tells; None elsewhere."""
    if sys.platform == "win32":
        import ctypes
        return bool(ctypes.windll.kernel32.IsProcessorFeaturePresent(40))  # PF_AVX2_INSTRUCTIONS_AVAILABLE
    if not sys.platform.startswith("linux"):
        return None
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            return any(line.startswith("flags") and "avx2" in line.split() for line in cpuinfo)
    except OSError:
        return None


def usable_here():
    """The kernels this processor should run, the default (fastest) last;
    None where that cannot be told."""
    machine = platform.machine().lower()
    if machine in ("x86_64", "amd64"):
        avx2 = has_avx2()
        return None if avx2 is None else ["scalar", "sse2"] + ["avx2"] * avx2
    if machine in ("aarch64", "arm64"):
        return ["scalar", "neon"]
    return ["scalar"]


def test_kernels_agree_with_the_scalar_kernel(tmp_path):
    result = run_cpp_test(tmp_path, "kernel_test", "kernel.cpp", "panic.cpp")
    assert result.returncode == 0, result.stdout + result.stderr
    tested = [line.split()[1] for line in result.stdout.splitlines() if line.startswith("ok: ")]
    usable = usable_here()
    if usable is None:
        pytest.skip(f"the kernels tested ({', '.join(tested)}) agree; their list was not compared, as which "
                    "kernels this processor runs cannot be told")
    assert tested == usable


@pytest.mark.parametrize("kernel", KERNELS)
def test_forced_kernel(kernel):
    usable = usable_here()
    if usable is None:
        pytest.skip("cannot tell which kernels this processor runs")
    if kernel == usable[-1]:
        pytest.skip("the default kernel: the rest of the suite runs it")
    env = dict(os.environ, TILEWISE_KERNEL=kernel)
    env.pop("PYTEST_ADDOPTS", None)  # CI's options name the outer run's report file
    if kernel not in usable:
        probe = subprocess.run(
            [sys.executable, "-c", "import numpy, tilewise; tilewise.shanten(numpy.ones(1, numpy.uint8))"],
            env=env, capture_output=True, text=True, timeout=120)
        assert probe.returncode == 1 and f"TILEWISE_KERNEL={kernel}: {REFUSED}" in probe.stderr, probe.stderr
        return
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(ROOT / "tests" / "test_shanten.py"),
         str(ROOT / "tests" / "test_fuzz.py")], env=env, capture_output=True, text=True, timeout=1200)
    assert result.returncode == 0, result.stdout[-5000:] + result.stderr[-2000:]
