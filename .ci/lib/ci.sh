# The steps the CI legs share, one function each. A leg sources this file and
# calls leg_start first; .ci/run reads what leg_end leaves in build/<leg>/.

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
    rm -f "$out/not-run" "$out/results"
}

say() { echo "$leg: $*"; }
fail() { echo "$leg: $*" >&2; exit 1; }

# The not-run protocol: the leg's environment cannot be made, so nothing of
# the project was tried. The reason goes to build/<leg>/not-run, the leg
# exits 77, and .ci/run reports it as not run instead of failed.
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

# A suite's result line, "<versions>; <counts>", added to build/<leg>/results.
# A suite that exited non-zero, or left no report, fails the leg.
record_result() {  # versions, JUnit XML file, the suite's exit status
    local counts status=$3
    counts=$(python3 "$repo/.ci/lib/junit_result.py" "$2") || [[ $status != 0 ]] || status=1
    if [[ $status != 0 ]]; then
        failed=1
        counts="FAILED (status $status): $counts"
    fi
    echo "$1; $counts" >> "$out/results"
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
    [[ -n $mirror ]] || not_run "no Debian mirror for $codename in this host's apt sources"
    echo "$mirror"
}

# A Debian root of a suite (minbase, with the given packages) from that
# mirror, its Release signed by a key of the host's archive keyring. A root
# that cannot be made is the not-run case, with debootstrap's reason.
debian_root() {  # suite, folder, packages
    local mirror log=$out/debootstrap-$1.log status=0 reason until
    mirror=$(debian_mirror)
    say "making a $1 root (minbase) in $2 from $mirror with: $3"
    rm -rf "$2"
    debootstrap --variant=minbase --force-check-gpg --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
        --include="${3// /,}" "$1" "$2" "$mirror" > "$log" 2>&1 || status=$?
    if [[ $status != 0 ]]; then
        tail -n 20 "$log" >&2
        reason=$(grep -m 1 '^E: ' "$log" || grep '^W: ' "$log" | tail -n 1 || true)
        not_run "debootstrap $1 failed (status $status): ${reason:-see $log}"
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
