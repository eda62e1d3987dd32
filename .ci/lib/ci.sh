# shellcheck shell=bash disable=SC2034
# The steps the CI legs share, one function each. A leg sources this file and
# calls leg_start first; .ci/run reads what leg_end leaves in build/<leg>/.
# (The variables these steps set are the legs': SC2034 is off here.)

# Starts a leg: strict mode, its folder build/<leg>, its timer, and its phase.
# Legs with slow downloads split in two: --prepare only makes the
# environment (.ci/run starts that early, in the background), --prepared only
# uses the one made; with neither, the leg does both.
leg_start() {  # leg name, the leg's arguments
    set -euo pipefail
    leg=$1
    repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
    out=$repo/build/$leg
    started=$SECONDS
    failed=0
    prepare=true run=true
    case ${2:-} in
        --prepare) run=false ;;
        --prepared) prepare=false ;;
    esac
    mkdir -p "$out"
    rm -f "$out/not-run" "$out/results" "$out"/*junit.xml "$out"/*.result
    result_file=$out/results
    # Every suite on Linux has a C++ compiler and the JSON parser's package:
    # a test that needs one and finds none fails instead of skipping. The
    # Windows leg's root commands start from an empty environment, without
    # it: no compiler can run under Wine, and those tests skip there.
    export TILEWISE_REQUIRE_TOOLS=1
}

say() { echo "$leg: $*"; }
fail() { echo "$leg: $*" >&2; exit 1; }

# The not-run protocol: something outside the project that the leg needs (a
# mirror, a registry) cannot be reached, so nothing of the project was
# tried. The reason, which names what could not be reached, goes to
# build/<leg>/not-run, the leg exits 77, and .ci/run reports it as not run
# instead of failed. Anything missing of the project's own is a failure.
not_run() {  # reason
    echo "$1" > "$out/not-run"
    echo "$leg: NOT RUN, nothing was tested: $1" >&2
    exit 77
}

# Ends a leg: its results, its time, and failure if a suite failed.
leg_end() {
    [[ ! -e "$out/results" ]] || sed "s/^/$leg: result: /" "$out/results"
    say "the leg took $((SECONDS - started)) s"
    exit "$failed"
}

# A clean clone of the committed HEAD into $1: every leg builds and tests
# that, never the working tree.
clone_head() {  # folder
    rm -rf "$1"
    git clone --quiet --no-hardlinks "$repo" "$1"
    say "testing HEAD $(git -C "$1" log --oneline -1), cloned into $1"
}

# The README's two commands, from a clone's (committed) README: its first
# code block, fenced ```sh or ```bash, holds the install command, then the
# test command. Sets install_command and test_command.
readme_commands() {  # clone
    local fence lines
    fence=$(grep -m 1 '^```' "$1/README.md" || true)
    mapfile -t lines < <(awk '/^```/ { if (seen++) exit; next } seen' "$1/README.md")
    if [[ ! $fence =~ ^\`\`\`(sh|bash)$ || ${#lines[@]} != 2 || ${lines[1]} != *" -m pytest "* ]]; then
        fail "the README's first code block must be fenced \`\`\`sh or \`\`\`bash and hold two lines, the install command, then the test command with -m pytest; found ${fence:-no code block} and ${#lines[@]} line(s)"
    fi
    install_command=${lines[0]} test_command=${lines[1]}
    say "README install command: $install_command"
    say "README test command: $test_command"
}

# Options for every suite, through PYTEST_ADDOPTS (the README's commands take
# no others): skip reasons, the ten slowest tests, and pytest's JUnit XML
# for the result line.
pytest_options() {  # JUnit XML file
    echo "-rs --durations=10 --junitxml=$1"
}

# Runs a suite and records its result line. The leg defines suite_python:
# the suite's interpreter, run with the arguments given in the suite's folder
# and environment. The suite is the rest of the arguments (a README's test
# command, say), or else suite_python -m pytest on the tests, with
# pytest_options; then versions_line, and pytest's own count of the tests
# (--collect-only, through suite_python, of the same paths) for
# record_result. Sets status and versions, for the leg's own checks.
run_suite() {  # JUnit XML file, the clone and the tests (as suite_python sees them), the suite's command...
    local junit=$1 clone=$2 tests collected collect=${1%.xml}-collected.txt
    read -r -a tests <<< "$3"
    shift 3
    (( $# )) || set -- suite_python -m pytest "${tests[@]}"
    rm -f "$junit"
    status=0
    PYTEST_ADDOPTS=$(pytest_options "$junit") "$@" || status=$?
    versions_line suite_python "$clone/.ci/lib/versions.py"
    # Tests that skip are collected too, and JUnit counts them as well.
    PYTEST_ADDOPTS="" suite_python -m pytest --collect-only -q --color=no -p no:cacheprovider "${tests[@]}" \
        > "$collect" 2>&1 || { tail -n 20 "$collect" >&2; fail "pytest cannot collect ${tests[*]}, see $collect"; }
    collected=$(tr -d '\r' < "$collect" | sed -n -E 's/^([0-9]+) tests? collected.*/\1/p' | tail -n 1)
    [[ -n $collected ]] || fail "no count of collected tests in $collect"
    say "pytest collects $collected tests from ${tests[*]}"
    record_result "$versions" "$junit" "$status" "$collected"
}

# Sets versions, the first half of a result line, from .ci/lib/versions.py
# run by the command given; a failure of it, or anything but one line, fails
# the leg.
versions_line() {  # command (the suite's interpreter), versions.py
    local code=0
    versions=$("$@") || code=$?
    versions=${versions//$'\r'/}
    [[ $code == 0 ]] || fail "versions.py failed (status $code)${versions:+: $versions}"
    [[ -n $versions && $versions != *$'\n'* ]] || fail "versions.py printed no line, or more than one: $versions"
}

# A suite's result line, "<versions>; <counts>", added to $result_file
# (build/<leg>/results). The suite fails the leg if it exited non-zero, or its
# JUnit XML shows a failure or an error, or fewer tests than pytest collects
# (none, or a subset chosen with -k or a path), or is missing.
record_result() {  # versions, JUnit XML file, the suite's exit status, the number of tests pytest collects
    local counts
    counts=$(python3 "$repo/.ci/lib/junit_result.py" "$2" "$3" "$4") || failed=1
    echo "$1; $counts" >> "$result_file"
}

# The file of the tilewise module that an interpreter would import, found
# without importing it (a sanitized build needs its runtime preloaded).
installed_module() {  # python
    "$1" -c 'import importlib.util; print(importlib.util.find_spec("tilewise").origin)'
}

# Runs this leg again in private mount and PID namespaces, so that its mounts
# and processes go with it however it ends; then fails if anything is still
# mounted under its folders.
in_private_namespace() {  # the leg's arguments
    [[ -z ${TILEWISE_CI_PRIVATE:-} ]] || return 0
    [[ $(id -u) == 0 ]] || fail "run me as root: debootstrap, chroot and mount need it"
    local status=0 left
    TILEWISE_CI_PRIVATE=1 unshare --mount --propagation private --pid --fork --kill-child -- \
        "$BASH" "$0" "$@" || status=$?
    left=$(awk -v a="$out/" -v b="${cache:-$out}/" 'index($2, a) == 1 || index($2, b) == 1 { print $2 }' /proc/mounts)
    [[ -z $left ]] || fail "left mounted: $left"
    exit "$status"
}

# This host's own Debian mirror (TILEWISE_DEBIAN_MIRROR overrides it): the
# first deb entry for this release's codename itself, deb822 files first.
debian_mirror() {
    local codename mirror
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    mirror=${TILEWISE_DEBIAN_MIRROR:-$(
        for f in /etc/apt/sources.list.d/*.sources; do
            [[ -e "$f" ]] && awk -v c="$codename" 'BEGIN { RS = "" }
                /(^|\n)Types:[^\n]*deb( |\n|$)/ && $0 ~ "(^|\n)Suites:([^\n]* )?" c "( |\n|$)" &&
                match($0, /(^|\n)URIs:[ \t]*[^ \t\n]+/) { u = substr($0, RSTART, RLENGTH); sub(/^\n?URIs:[ \t]*/, "", u); print u }' "$f"
        done
        cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2> /dev/null | awk -v c="$codename" '$1 == "deb" {
            i = 2; if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ } if ($(i + 1) == c) print $i }' || true
    )}
    mirror=${mirror%%$'\n'*}
    [[ -n $mirror ]] || not_run "no Debian mirror to reach: none for $codename in this host's apt sources (TILEWISE_DEBIAN_MIRROR names one)"
    echo "$mirror"
}

# A Debian root of a suite (minbase, with the given packages) from that
# mirror, its Release signed by a key of the host's archive keyring. A mirror
# whose Release file cannot be fetched is the not-run case; once it can,
# whatever else stops debootstrap fails the leg.
debian_root() {  # suite, folder, packages
    local mirror log=$out/debootstrap-$1.log status=0 reason until
    mirror=$(debian_mirror)
    wget -nv -O /dev/null "$mirror/dists/$1/Release" > "$out/mirror-$1.log" 2>&1 ||
        not_run "the Debian mirror $mirror cannot be reached: $(tail -n 1 "$out/mirror-$1.log")"
    say "making a $1 root (minbase) in $2 from $mirror with: $3"
    rm -rf "$2"
    debootstrap --variant=minbase --force-check-gpg --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
        --include="${3// /,}" "$1" "$2" "$mirror" > "$log" 2>&1 || status=$?
    if [[ $status != 0 ]]; then
        tail -n 20 "$log" >&2
        reason=$(grep -m 1 '^E: ' "$log" || grep '^W: ' "$log" | tail -n 1 || true)
        fail "debootstrap $1 failed (status $status): ${reason:-see $log}"
    fi
    say "$(grep -m 1 '^I: Valid Release signature' "$log" | sed 's/^I: //')"
    # debootstrap checks the signature, not the expiry, which apt would.
    until=$(sed -n 's/^Valid-Until: //p' "$2"/var/lib/apt/lists/*_dists_"$1"_Release)
    if [[ -n $until ]] && (( $(date -d "$until" +%s) < $(date +%s) )); then
        say "WARNING: this mirror's $1 Release expired on $until; its signature is good, but it is stale"
    fi
}

# A sanitizer build: pip's settings for an unstripped RelWithDebInfo build
# with every target compiled and linked with -fsanitize=<list>
# (sanitizer_build), and the environment of its suite (sanitizer_env): the
# tests' own builds take the same flags, and the sampled tests half their
# samples, as everything runs several times slower.
sanitizer_settings() {  # sanitizers, extra compiler flags
    local flags="-fsanitize=$1 -fno-omit-frame-pointer -g ${2:-}" setting
    sanitizer_build=()
    for setting in "cmake.define.CMAKE_CXX_FLAGS=$flags" "cmake.define.CMAKE_C_FLAGS=$flags" \
            "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=$1" "cmake.define.CMAKE_EXE_LINKER_FLAGS=-fsanitize=$1" \
            cmake.build-type=RelWithDebInfo install.strip=false; do
        sanitizer_build+=(--config-settings "$setting")
    done
    sanitizer_env=(CXXFLAGS="$flags" LDFLAGS="-fsanitize=$1" TILEWISE_TEST_SCALE=0.5)
    say "building with $flags"
}
