#!/usr/bin/env bash
# Builds a clone of HEAD with clang and libc++, as Apple's toolchain would,
# into a venv of its own, with warnings in our own sources as errors, checks
# that the module really links libc++, and runs the whole suite against it.
# Needs Python as `python3` (or $PYTHON), clang and libc++ (Debian: clang,
# libc++-dev, libc++abi-dev, llvm).
#
#   bash .ci/clang.sh
source "$(dirname "$0")/lib/ci.sh"
leg_start clang
export CC=${CLANG:-clang} CXX=${CLANGXX:-clang++}
export CXXFLAGS="-stdlib=libc++" LDFLAGS="-stdlib=libc++"
say "$("$CXX" --version | head -n 1), library libc++"
clone_head "$out/clone"
venv=$out/venv
rm -rf "$venv"
"${PYTHON:-python3}" -m venv "$venv"
# CMAKE_COMPILE_WARNING_AS_ERROR sets -Werror on our targets alone: the
# checks CMake compiles and the headers of Python, NumPy and the JSON parser
# (system includes) are left out. It needs CMake 3.24. Unstripped, the module
# keeps the compiler's name in its .comment section.
"$venv/bin/pip" install --no-cache-dir --config-settings "cmake.version=>=3.24" \
    --config-settings cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON \
    --config-settings install.strip=false "$out/clone[test]"

module=$(installed_module "$venv/bin/python")
needed=$(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
producer=$(readelf -p .comment "$module" | grep -o 'clang version [^ ]*' | sort -u | tr '\n' ' ' || true)
say "$module built by: ${producer:-no clang in .comment}; needs: $needed"
if [[ -z "$producer" || " $needed " != *" libc++.so.1 "* || " $needed " == *" libstdc++"* ]]; then
    fail "the module was not built by clang against libc++"
fi

# The suite's own C++ programs use the same compiler; TILEWISE_CLANG makes the
# object-format test fail rather than skip if clang's tools are missing.
suite_python() { (cd "$out/clone" && TILEWISE_CLANG="$CC" "$venv/bin/python" "$@"); }
run_suite "$out/junit.xml" "$out/clone" tests
leg_end
