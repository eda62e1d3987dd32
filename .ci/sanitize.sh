#!/usr/bin/env bash
# Builds a clone of HEAD with AddressSanitizer and UndefinedBehaviorSanitizer
# into a venv of its own and runs the whole suite under them, their runtimes
# preloaded into the interpreter. Any report fails the leg. Needs Python as
# `python3` (or $PYTHON), a C++17 compiler ($CXX) and GCC's sanitizer
# runtimes.
#
#   bash .ci/sanitize.sh
source "$(dirname "$0")/lib/ci.sh"
leg_start sanitize
compiler=${CXX:-c++}
runtime() {  # the shared runtime library $1 of the compiler, or a failure
    local path
    path=$("$compiler" -print-file-name="$1")
    [[ "$path" == /* && -e "$path" ]] || fail "$compiler has no $1; install GCC's sanitizer runtimes (libasan, libubsan)"
    echo "$path"
}
asan=$(runtime libasan.so)
ubsan=$(runtime libubsan.so)
# CPython leaks by design at exit; anything else is an error, and fatal. A
# failed allocation returns null (std::bad_alloc in C++), as without ASan, for
# the tests that run the module out of memory.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"

clone_head "$out/clone"
venv=$out/venv
rm -rf "$venv"
"${PYTHON:-python3}" -m venv "$venv"
# The table generator is built with the same flags and runs under the
# sanitizers during the build, before the module embeds its texts.
sanitizer_settings address,undefined -fno-sanitize-recover=all
CXX="$compiler" "$venv/bin/pip" install --no-cache-dir "${sanitizer_build[@]}" "$out/clone[test]" pytest-xdist
module=$(installed_module "$venv/bin/python")
grep -q __asan_init "$module" && grep -q __ubsan_handle "$module" || fail "$module was not built with the sanitizers"

# The test that caps the address space skips itself under ASan. The suite
# runs on every processor (pytest-xdist).
say "running the suite with $asan and $ubsan preloaded"
suite_python() { (cd "$out/clone" && env "${sanitizer_env[@]}" LD_PRELOAD="$asan $ubsan" "$venv/bin/python" "$@"); }
run_suite "$out/junit.xml" "$out/clone" tests suite_python -m pytest -n "$(nproc)" tests
leg_end
