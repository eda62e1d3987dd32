"""For the Windows leg's interpreters only (.ci/windows installs this file as
their sitecustomize.py): a gap of Wine's, mended before anything imports NumPy.

Wine's ucrtbase.dll (8.0 to 10.0) exports crealf, cimagf, creal, cimag, creall
and cimagl as stubs that abort the process when called, and NumPy 2.1 and
later call crealf while importing. Each of them is a handful of instructions
under the Windows x64 calling convention, written here over its stub in this
process's memory. Outside Wine (no wine_get_version in ntdll) it does nothing,
and it touches nothing of tilewise's.
"""

import ctypes
import sys

# Windows x64: an 8-byte _Fcomplex arrives in RCX, a 16-byte _Dcomplex by
# reference in RCX; long double is double; a float or double returns in XMM0.
BODIES = {
    "crealf": "66 0f 6e c1 c3",           # movd xmm0, ecx; ret
    "cimagf": "48 c1 e9 20 66 0f 6e c1 c3",  # shr rcx, 32; movd xmm0, ecx; ret
    "creal": "f2 0f 10 01 c3",            # movsd xmm0, [rcx]; ret
    "cimag": "f2 0f 10 41 08 c3",         # movsd xmm0, [rcx + 8]; ret
    "creall": "f2 0f 10 01 c3",
    "cimagl": "f2 0f 10 41 08 c3",
}
PAGE_EXECUTE_READWRITE = 0x40


def mend():
    if sys.platform != "win32" or not hasattr(ctypes.WinDLL("ntdll"), "wine_get_version"):
        return
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.VirtualProtect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_ulong,
                                        ctypes.POINTER(ctypes.c_ulong)]
    kernel32.FlushInstructionCache.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
    kernel32.GetCurrentProcess.restype = ctypes.c_void_p
    ucrt = ctypes.WinDLL("ucrtbase")
    for name, body in BODIES.items():
        code = bytes.fromhex(body)
        address = ctypes.cast(getattr(ucrt, name), ctypes.c_void_p).value
        old = ctypes.c_ulong()
        if not kernel32.VirtualProtect(address, len(code), PAGE_EXECUTE_READWRITE, ctypes.byref(old)):
            raise OSError(ctypes.get_last_error(), f"cannot write over ucrtbase.{name}")
        ctypes.memmove(address, code, len(code))
        kernel32.VirtualProtect(address, len(code), old.value, ctypes.byref(old))
        kernel32.FlushInstructionCache(kernel32.GetCurrentProcess(), address, len(code))


mend()
