#!/usr/bin/env bash
# The arm64 leg: cross-builds a clone of HEAD for aarch64 and runs the whole
# suite in an arm64 CPython under qemu user-mode emulation. Run as root on
# Debian 12, x86_64. Everything it makes is kept under build/aarch64/:
#   sysroot/  Debian's arm64 python3.11, pytest and hypothesis, unpacked
#   site/     NumPy's aarch64 wheel and the cross-built module
#   module/   the CMake build tree
#   python    the emulated interpreter, with NumPy and tilewise importable
#
#   bash .ci/aarch64.sh [--prepare | --prepared]
#
# The host's dpkg database and architecture list are left alone: the arm64
# packages come through a private apt state and are only unpacked. If the
# mirror cannot be reached, the leg exits 77 (not run).
source "$(dirname "$0")/lib/ci.sh"
leg_start aarch64 "$@"
sysroot=$out/sysroot
site=$out/site
python=${PYTHON:-python3}

# --- The environment: host tools, the arm64 sysroot, the wheels --------------
# python3.11 is the sysroot's CPython, for the build machine: it byte-compiles
# the sysroot (PYTHONDONTWRITEBYTECODE may be set, and every emulated process
# would compile what it imports again).
host_packages="qemu-user-static binfmt-support g++-aarch64-linux-gnu cmake make python3.11"
# No NumPy from Debian: the suite runs with NumPy 2, from NumPy's own wheel.
arm64_packages="python3.11 libpython3.11-dev python3-pytest python3-pytest-xdist python3-hypothesis libstdc++6"
if $prepare && ! dpkg -s $host_packages > /dev/null 2>&1; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $host_packages
fi
if $prepare && [[ "$(cat "$sysroot/.packages" 2> /dev/null)" != "$arm64_packages" ]]; then
    mirror=$(debian_mirror)
    say "unpacking $arm64_packages from $mirror into $sysroot"
    apt=$out/apt
    rm -rf "$apt" "$sysroot"
    mkdir -p "$apt"/state/lists/partial "$apt"/cache/archives/partial "$apt"/etc/sources.list.d "$apt"/etc/preferences.d
    : > "$apt/state/status"
    echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $(. /etc/os-release && echo "$VERSION_CODENAME") main" > "$apt/etc/sources.list"
    cat > "$apt/apt.conf" <<EOF
APT::Architecture "arm64";
APT::Architectures { "arm64"; };
APT::Install-Recommends "false";
Dir::State "$apt/state";
Dir::State::status "$apt/state/status";
Dir::Cache "$apt/cache";
Dir::Etc::SourceList "$apt/etc/sources.list";
Dir::Etc::SourceParts "$apt/etc/sources.list.d";
Dir::Etc::Preferences "$apt/etc/preferences";
Dir::Etc::PreferencesParts "$apt/etc/preferences.d";
Debug::NoLocking "true";
EOF
    # A mirror that cannot be reached is the not-run case; a package that
    # cannot be installed from the lists it gave is a failure.
    APT_CONFIG=$apt/apt.conf apt-get update -q --error-on=any > "$out/apt.log" 2>&1 ||
        not_run "the Debian mirror $mirror cannot be reached for the arm64 lists: $(grep -m 1 -E '^[EW]: ' "$out/apt.log")"
    if ! APT_CONFIG=$apt/apt.conf apt-get install -q -y --download-only $arm64_packages >> "$out/apt.log" 2>&1; then
        reason=$(grep -m 1 '^E: ' "$out/apt.log" || true)
        [[ $reason != "E: Failed to fetch"* ]] || not_run "the Debian mirror $mirror cannot be reached for the arm64 packages: $reason"
        fail "the arm64 packages cannot be installed: ${reason:-see $out/apt.log}"
    fi
    # Merged /usr, as on a Debian 12 system.
    mkdir -p "$sysroot"/usr/bin "$sysroot"/usr/lib "$sysroot"/usr/sbin
    for folder in bin lib sbin; do ln -s "usr/$folder" "$sysroot/$folder"; done
    for deb in "$apt"/cache/archives/*.deb; do
        dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$sysroot"
    done
    say "$(ls "$apt"/cache/archives/*.deb | wc -l) packages unpacked"
    rm -rf "$apt"
    /usr/bin/python3.11 -m compileall -q -j 2 "$sysroot"/usr/lib/python3.11 "$sysroot"/usr/lib/python3/dist-packages \
        > /dev/null
    echo "$arm64_packages" > "$sysroot/.packages"
fi
# NumPy 2 from NumPy's aarch64 wheel: its headers for the build, the package
# itself for the suite. manylinux2014 matches the sysroot's glibc and more.
# The JSON parser's headers come as pip would bring them to a build: the
# package nlohmann-json (and importlib-resources, which it imports), for the
# emulated interpreter that the build asks where they are.
# CMake from PyPI for the module's build: the stable ABI's FindPython
# component (Development.SABIModule) needs CMake 3.26, and Debian 12 has
# 3.25. The builds the tests make use Debian's.
if $prepare; then
    rm -rf "$site" "$out/wheels" "$out/cmake"
    "$python" -m venv "$out/cmake"
    "$out/cmake/bin/pip" install -q "cmake>=3.26"
    "$python" -m pip download -q numpy --platform manylinux2014_aarch64 --only-binary=:all: \
        --python-version 3.11 --implementation cp --abi cp311 --no-deps -d "$out/wheels"
    "$python" -m pip download -q "nlohmann-json>=3.11.2,<4" importlib-resources --only-binary=:all: \
        --python-version 3.11 --no-deps -d "$out/wheels"
    for wheel in "$out"/wheels/*.whl; do "$python" -m zipfile -e "$wheel" "$site"; done
    /usr/bin/python3.11 -m compileall -q -j 2 "$site" > /dev/null
fi
$run || leg_end
[[ -e "$sysroot/.packages" && -d "$site" ]] || fail "no sysroot or site in $out: run without --prepared"

cat > "$out/python" <<'EOF'
#!/bin/sh
# The arm64 CPython under qemu, with NumPy and the cross-built tilewise importable.
here=$(cd "$(dirname "$0")" && pwd)
export QEMU_LD_PREFIX="$here/sysroot"
export PYTHONPATH="$here/site${PYTHONPATH:+:$PYTHONPATH}"
exec /usr/bin/qemu-aarch64-static -L "$here/sysroot" "$here/sysroot/usr/bin/python3.11" "$@"
EOF
chmod +x "$out/python"

# --- Cross build ----------------------------------------------------------
clone=$out/clone
clone_head "$clone"
toolchain=$clone/cmake-scripts/toolchains/aarch64-linux-gnu.cmake
# The toolchain file would look for the sysroot in the clone's own build/.
export TILEWISE_AARCH64_SYSROOT=$sysroot
rm -rf "$out/module" "$site"/tilewise*
# The stable ABI of 3.10, as scikit-build-core asks for it (wheel.py-api).
cmake=$out/cmake/bin/cmake
"$cmake" -S "$clone" -B "$out/module" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DPython_EXECUTABLE="$out/python" \
    -DSKBUILD_SABI_COMPONENT=Development.SABIModule -DSKBUILD_SABI_VERSION=3.10
"$cmake" --build "$out/module" --parallel 2
"$cmake" --install "$out/module" --prefix "$site" --strip

# --- The suite under emulation --------------------------------------------
# The tests start sys.executable and build and run C++ programs of their own:
# arm64 executables, which the kernel hands to qemu through binfmt_misc.
binfmt=/proc/sys/fs/binfmt_misc
mounted=
enabled=
restore() {
    case $enabled in
        registered) update-binfmts --disable qemu-aarch64 || true ;;
        switched) echo 0 > "$binfmt/qemu-aarch64" || true ;;
    esac
    if [[ -n $mounted ]]; then umount "$binfmt" || true; fi
}
trap restore EXIT
trap 'exit 130' INT TERM
if ! mountpoint -q "$binfmt"; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
    mounted=1
fi
if [[ ! -e "$binfmt/qemu-aarch64" ]]; then
    update-binfmts --enable qemu-aarch64
    enabled=registered
elif [[ "$(head -1 "$binfmt/qemu-aarch64")" != enabled ]]; then
    echo 1 > "$binfmt/qemu-aarch64"
    enabled=switched
fi

# The builds the tests make cross-compile too: CXX for the programs they
# compile directly, the toolchain file for their cmake (Debian's, through
# PATH). -P keeps the clone off sys.path: the module under test is the
# cross-built one in site/. Every step is some ten times slower under qemu:
# the suite runs on both processors, and its sampled tests take a quarter of
# their samples (every check still runs).
say "running the suite under emulation"
suite_python() {
    (cd "$clone" && env QEMU_LD_PREFIX="$sysroot" PYTHONPATH="$site" TILEWISE_TEST_SCALE=0.25 \
        CC=aarch64-linux-gnu-gcc CXX=aarch64-linux-gnu-g++ CMAKE_TOOLCHAIN_FILE="$toolchain" \
        PATH=/usr/sbin:/usr/bin:/sbin:/bin "$sysroot/usr/bin/python3.11" -P "$@")
}
run_suite "$out/junit.xml" "$clone" tests suite_python -m pytest -n 2 tests
leg_end
