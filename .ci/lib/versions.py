"""Prints the first half of a CI result line, run by the suite's own
interpreter after the suite: "CPython 3.14.7 free-threaded, GIL off, NumPy
2.5.5". It names how the interpreter was built and where it runs when that
is not plain x86_64 Linux, and imports tilewise first, so that a
free-threaded build shows whether the GIL stayed off."""

import ctypes
import platform
import sys
import sysconfig

import numpy
import tilewise  # noqa: F401

line = f"CPython {platform.python_version()}"
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    sanitized = "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or "")
    line += " free-threaded" + (" + ThreadSanitizer" if sanitized else "")
    line += ", GIL " + ("on" if sys._is_gil_enabled() else "off")
if sys.platform == "win32":
    line += " " + sysconfig.get_platform().replace("-", "_")
    wine = getattr(ctypes.WinDLL("ntdll"), "wine_get_version", None)
    if wine:
        wine.restype = ctypes.c_char_p
        line += f" under Wine {wine().decode()}"
elif platform.machine() != "x86_64":
    line += f" {platform.machine()}"
print(f"{line}, NumPy {numpy.__version__}")
