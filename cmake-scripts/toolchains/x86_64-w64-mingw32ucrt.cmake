# Cross-compiling for Windows x86_64 with MinGW-w64 targeting the UCRT, the C
# runtime that CPython and NumPy use (Debian 13's g++-mingw-w64-ucrt64; the
# older msvcrt.dll toolchains would put a second C runtime in the process).
# Windows' CPython ships no headers or import library for GCC: name them
# with -DPython_INCLUDE_DIR=... -DPython_LIBRARY=... (.ci/windows makes both),
# and NumPy's headers with -DPython_NumPy_INCLUDE_DIR=....
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TILEWISE_MINGW_PREFIX x86_64-w64-mingw32ucrt)
set(CMAKE_C_COMPILER ${TILEWISE_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TILEWISE_MINGW_PREFIX}-g++)
set(CMAKE_ASM_COMPILER ${TILEWISE_MINGW_PREFIX}-gcc)
set(CMAKE_RC_COMPILER ${TILEWISE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TILEWISE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
