#!/usr/bin/env bash
# The free-threaded leg. CPython 3.14 built with the GIL disabled, from its
# source release, runs the README's two commands word for word in a clone of
# HEAD, with python3 resolving to python3.14t through PATH and nothing else
# of this shell's environment. Then a ThreadSanitizer build of the same
# interpreter runs the thread tests and the once-only guard's C++ test
# against the module built with -fsanitize=thread, under CPython's own
# suppressions for free-threading: any report fails the leg. It runs as root
# here, but needs no root.
#
#   bash .ci/freethreaded.sh [--prepare | --prepared] [TARBALL]
#
# --prepare builds (or finds) the two interpreters and stops: .ci/run starts
# it early, in the background. TARBALL is the CPython source release
# (Python-3.14.7.tar.xz); by default it is looked for as
# shared/cpython/Python-3.14.7.tar.xz beside this checkout, then beside the
# repository it was cloned from. TILEWISE_FREETHREADED_PYTHON
# (a python3.14t) and TILEWISE_TSAN_PYTHON (the python of a ThreadSanitizer
# build tree) name interpreters to use instead of building them.
#
# Built interpreters are kept outside the checkout, keyed by the tarball's
# SHA-256, so a second run does not build them again:
#   ${TILEWISE_CPYTHON_CACHE:-~/.cache/tilewise/cpython}/<sha256>/
#     free-threaded/   the installed interpreter (bin/python3.14t)
#     tsan/            the ThreadSanitizer build tree (./python)
# On 2 processors each build takes about 5 minutes. With no tarball and no
# interpreter given, the leg fails.
source "$(dirname "$0")/lib/ci.sh"
leg_start freethreaded "$@"
[[ ${1:-} != --prepare* ]] || shift
release=Python-3.14.7

# --- The interpreters -------------------------------------------------------
tarball=${1:-}
if [[ -z "$tarball" ]]; then
    origin=$(git -C "$repo" config --get remote.origin.url || true)
    for candidate in "$repo/../shared/cpython/$release.tar.xz" "${origin:+$origin/../shared/cpython/$release.tar.xz}"; do
        if [[ -n "$candidate" && -f "$candidate" ]]; then tarball=$candidate; break; fi
    done
elif [[ ! -f "$tarball" ]]; then
    fail "no such tarball: $tarball"
fi
ft_python=${TILEWISE_FREETHREADED_PYTHON:-}
tsan_python=${TILEWISE_TSAN_PYTHON:-}
if [[ -n "$tarball" ]]; then
    cache=${TILEWISE_CPYTHON_CACHE:-$HOME/.cache/tilewise/cpython}/$(sha256sum "$tarball" | cut -d ' ' -f 1)
    say "source release $tarball; interpreters cached in $cache"
elif [[ -z "$ft_python" || -z "$tsan_python" ]]; then
    # The release is a file of the project's own: its absence is a failure.
    fail "no CPython source release: $release.tar.xz is not in ../shared/cpython/ beside this checkout or the repository it was cloned from, and no interpreter is given"
fi

step_failed() { tail -n 30 "$out/$1-$2.log" >&2; fail "$1: $2 failed"; }
# Builds one interpreter into the cache unless a finished one is there: the
# marker file is written last, so a build that was cut short starts again.
build() {  # name, folder to configure and make in, configure arguments...
    local name=$1 folder=$2 begin=$SECONDS
    shift 2
    [[ ! -e "$cache/$name.done" ]] || { say "$name: cached"; return; }
    say "$name: building from $tarball (./configure $*), logs in $out/$name-*.log"
    rm -rf "${cache:?}/$name" "$folder"
    mkdir -p "$folder"
    tar -xJf "$tarball" -C "$folder" --strip-components=1
    (cd "$folder" && ./configure "$@") > "$out/$name-configure.log" 2>&1 || step_failed "$name" configure
    make -C "$folder" -j "$(nproc)" > "$out/$name-make.log" 2>&1 || step_failed "$name" make
    if [[ "$folder" != "$cache/$name" ]]; then
        make -C "$folder" install > "$out/$name-install.log" 2>&1 || step_failed "$name" install
        rm -rf "$folder"
    fi
    touch "$cache/$name.done"
    say "$name: built in $((SECONDS - begin)) s"
}
# It runs from its build tree: installing it would compile the whole standard
# library with the instrumented interpreter (over 20 minutes). The thread
# tests need none of CPython's own test modules, whose build takes a quarter
# of the time.
build_tsan() { build tsan "$cache/tsan" --disable-gil --with-thread-sanitizer --disable-test-modules; }
if [[ -z "$ft_python" ]]; then
    $prepare && build free-threaded "$cache/free-threaded-source" --disable-gil \
        --prefix="$cache/free-threaded" --with-ensurepip=install
    ft_python=$cache/free-threaded/bin/python3.14t
fi
if ! $run; then
    [[ -n "$tsan_python" ]] || build_tsan
    leg_end
fi
# The ThreadSanitizer interpreter, if it must be built, builds in the
# background while the README's commands run, which leave a processor idle
# most of the time; its pass waits for it.
tsan_build=
if [[ -z "$tsan_python" ]]; then
    tsan_python=$cache/tsan/python
    if $prepare; then
        (renice -n 10 -p "$BASHPID" > /dev/null; build_tsan) > "$out/tsan-build.log" 2>&1 &
        tsan_build=$!
        trap '[[ -z "$tsan_build" ]] || kill "$tsan_build" 2> /dev/null || true' EXIT
    fi
fi

# --- The README's two commands -----------------------------------------------
clone=$out/clone
bin=$out/bin
clone_head "$clone"
readme_commands "$clone"
rm -rf "$bin"
mkdir -p "$bin"
ln -s "$ft_python" "$bin/python3"
# As a new user would: python3 is python3.14t through PATH, and nothing of
# this shell's environment (a venv, PYTHON_GIL, CXXFLAGS) comes along. It
# stays root, unlike the fresh leg's user: the interpreter lives in root's
# cache, and this leg proves the free-threaded build, not a clean machine.
as_user() {  # command
    env -i HOME="$HOME" LANG=C.UTF-8 PATH="$bin:/usr/local/bin:/usr/bin:/bin" \
        PYTEST_ADDOPTS="${PYTEST_ADDOPTS:-}" TILEWISE_REQUIRE_TOOLS="$TILEWISE_REQUIRE_TOOLS" \
        bash -c 'cd "$0" && exec bash -c "$1"' "$clone" "$1" < /dev/null
}
say "python3 is $(as_user 'command -v python3') -> $ft_python: $(as_user 'python3 -VV')"
as_user "$install_command" 2>&1 | tee "$out/readme.log" || fail "the install command failed"
suite_python() { as_user ".venv/bin/python $(printf '%q ' "$@")"; }
# Not a pipeline, whose stages are subshells: run_suite sets variables.
run_suite "$out/junit.xml" . tests as_user "$test_command" > >(tee -a "$out/readme.log") 2>&1
wait $!
[[ $versions == *"GIL off"* ]] || fail "not free-threaded, or the GIL is on after importing tilewise: $versions"

# --- ThreadSanitizer -----------------------------------------------------------
if [[ -n "$tsan_build" ]]; then
    wait_start=$SECONDS
    status=0
    wait "$tsan_build" || status=$?
    tsan_build=
    cat "$out/tsan-build.log"
    [[ $status == 0 ]] || fail "the ThreadSanitizer interpreter could not be built (status $status)"
    say "waited $((SECONDS - wait_start)) s for it after the README's commands"
fi
tsan_start=$SECONDS
venv=$out/tsan-venv
rm -rf "$venv" "$out/tsan-wheel"
"$tsan_python" -m venv --without-pip "$venv"
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
# Both interpreters are the same release and ABI, and the instrumented one
# runs pip many times slower: the plain one builds and installs for it.
sanitizer_settings thread
"$clone/.venv/bin/python" -m pip wheel --quiet --no-deps --wheel-dir "$out/tsan-wheel" "${sanitizer_build[@]}" "$clone"
"$clone/.venv/bin/python" -m pip install --quiet --target "$site" "$(echo "$out"/tsan-wheel/tilewise-*.whl)[test]"
module=$(installed_module "$venv/bin/python")
grep -q __tsan_init "$module" || fail "$module was not built with ThreadSanitizer"
suppressions=$(dirname "$tsan_python")/Tools/tsan/suppressions_free_threading.txt
[[ -f "$suppressions" ]] || fail "CPython's suppressions are not at $suppressions"
say "testing $module with $tsan_python, $((SECONDS - tsan_start)) s after the pass began"
# A report makes the process that saw it exit with status 66: a child
# interpreter's fails its test, the suite's own fails the pass. Every
# instrumented interpreter takes some 4 s to start and import NumPy, and the
# fork test starts many: the sampled tests take half their samples.
export TSAN_OPTIONS="suppressions=$suppressions"
suite_python() { (cd "$out" && env -u PYTHON_GIL "${sanitizer_env[@]}" "$venv/bin/python" "$@"); }
tsan_suite() {  # the tests
    local code=0
    suite_python -m pytest -p no:cacheprovider "$@" 2>&1 | tee "$out/tsan.log" || code=$?
    reports=$(grep -c '^WARNING: ThreadSanitizer' "$out/tsan.log" || true)
    if [[ $reports != 0 ]]; then
        grep -E '^(WARNING|SUMMARY): ThreadSanitizer' "$out/tsan.log" | sort | uniq -c >&2 || true
        [[ $code != 0 ]] || code=1
    fi
    return "$code"
}
tsan_tests=("$clone/tests/test_threads.py" "$clone/tests/test_lazy.py")
run_suite "$out/tsan-junit.xml" "$clone" "${tsan_tests[*]}" tsan_suite "${tsan_tests[@]}"
say "ThreadSanitizer pass: $reports reports, $((SECONDS - tsan_start)) s"
leg_end
