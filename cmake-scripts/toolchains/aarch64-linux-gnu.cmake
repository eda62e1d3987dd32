# Cross-compiling for 64-bit ARM Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu). The compilers bring their own C library; the arm64
# CPython and its headers come from a sysroot unpacked from Debian's arm64
# packages: build/aarch64/sysroot by default (.ci/aarch64.sh makes it), or the
# directory named by the TILEWISE_AARCH64_SYSROOT environment variable.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_ASM_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

if(DEFINED ENV{TILEWISE_AARCH64_SYSROOT})
  set(TILEWISE_AARCH64_SYSROOT "$ENV{TILEWISE_AARCH64_SYSROOT}")
else()
  get_filename_component(TILEWISE_AARCH64_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../../build/aarch64/sysroot" ABSOLUTE)
endif()

# Debian's pyconfig.h includes <aarch64-linux-gnu/python3.11/pyconfig.h>: the
# sysroot's include directory is searched last, after the compiler's own.
set(CMAKE_C_FLAGS_INIT "-idirafter ${TILEWISE_AARCH64_SYSROOT}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${TILEWISE_AARCH64_SYSROOT}/usr/include")

set(CMAKE_FIND_ROOT_PATH "${TILEWISE_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)

# FindPython does not look into a sysroot for the headers of the interpreter
# it runs (under emulation): name the sysroot CPython's.
set(Python_INCLUDE_DIR "${TILEWISE_AARCH64_SYSROOT}/usr/include/python3.11")
