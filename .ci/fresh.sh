#!/usr/bin/env bash
# The fresh-machine leg: the README's two commands, word for word, run by an
# unprivileged user on a Debian sid system that has never seen the project.
# The system is a root folder made from nothing by debootstrap (minbase),
# anew on every run, with only CPython 3.14 as python3, CPython 3.15 beside
# it (each with venv and headers), g++, git and ca-certificates, plus the
# host's CA bundle and DNS settings so that pip reaches the package index as
# it does here. The user runs both commands in a fresh clone of HEAD, once
# with python3 and once, in another clone, with python3 meaning python3.15.
# Then the wheel leg's abi3 wheel (build/wheel/dist/, of the same commit:
# run that leg first), that very file, goes into a fresh venv of each of
# 3.14 and 3.15, and the whole suite runs against it from outside the
# clone, both suites at once: the wheel leg tests the file on 3.10 to 3.13,
# this leg on the two newest, in the root the leg makes once per run.
# Run as root on Debian. Everything it makes is kept under build/fresh/
# (root/, the logs, the clones in root/home/tester/).
#
#   bash .ci/fresh.sh [--prepare | --prepared]
#
# Every mount is made in private namespaces (in_private_namespace), so all
# of them go when the leg ends, however it ends. If the mirror cannot be
# reached, the leg exits 77 (not run).
source "$(dirname "$0")/lib/ci.sh"
leg_start fresh "$@"
in_private_namespace "$@"
sysroot=$out/root
user=tester
home=/home/$user

# --- The root ---------------------------------------------------------------
if $prepare; then
    command -v debootstrap > /dev/null || fail "debootstrap is missing (apt-get install debootstrap)"
    debian_root sid "$sysroot" \
        "python3 python3-venv python3-dev python3.15 python3.15-venv python3.15-dev g++ git ca-certificates"
    # Trust as here: the host's CA bundle, and pip told to use it (nothing
    # else of the host's pip settings); name resolution as here.
    bundle=/etc/ssl/certs/ca-certificates.crt
    cp "$bundle" "$sysroot$bundle"
    printf '[global]\ncert = %s\n' "$bundle" > "$sysroot/etc/pip.conf"
    cp -L /etc/resolv.conf "$sysroot/etc/resolv.conf"
    cp -L /etc/hosts "$sysroot/etc/hosts"
    chroot "$sysroot" useradd --create-home --user-group --shell /bin/bash "$user"
    touch "$sysroot/.made"
fi
$run || leg_end
[[ -e "$sysroot/.made" ]] || fail "no sid root in $sysroot: run without --prepared"
uid=$(chroot "$sysroot" id -u "$user")
gid=$(chroot "$sysroot" id -g "$user")

# --- Mounts, gone with the namespace ---------------------------------------
mount -t proc -o nosuid,nodev,noexec proc "$sysroot/proc"
mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$sysroot/sys"
# A /dev of its own: the usual nodes, a private pty instance, shared memory.
mount -t tmpfs -o nosuid,mode=0755,size=16m tmpfs "$sysroot/dev"
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    IFS=: read -r name major minor <<< "$node"
    mknod -m 0666 "$sysroot/dev/$name" c "$major" "$minor"
done
ln -s /proc/self/fd "$sysroot/dev/fd"
for stream in stdin:0 stdout:1 stderr:2; do ln -s "/proc/self/fd/${stream#*:}" "$sysroot/dev/${stream%:*}"; done
mkdir "$sysroot/dev/pts" "$sysroot/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5,nosuid,noexec devpts "$sysroot/dev/pts"
ln -s pts/ptmx "$sysroot/dev/ptmx"
mount -t tmpfs -o nosuid,nodev,mode=1777 tmpfs "$sysroot/dev/shm"

# --- The README's commands as the user ---------------------------------------
# Unlike the free-threaded leg's, a user of the root's own with no rights:
# this leg proves the commands need no root and nothing of this host. The
# paths in PYTEST_ADDOPTS are this host's: the user sees them without the
# root's folder.
as_user() {  # PATH, folder in the root, bash command
    local addopts=${PYTEST_ADDOPTS:-}
    chroot "$sysroot" /usr/bin/setpriv --reuid="$uid" --regid="$gid" --init-groups -- /usr/bin/env -i \
        HOME="$home" USER="$user" LOGNAME="$user" SHELL=/bin/bash LANG=C.UTF-8 PATH="$1" \
        PYTEST_ADDOPTS="${addopts//"$sysroot"/}" TILEWISE_REQUIRE_TOOLS="$TILEWISE_REQUIRE_TOOLS" \
        /bin/bash -c 'cd "$0" && exec /bin/bash -c "$1"' "$2" "$3" < /dev/null
}
say "the commands run as: $(as_user /usr/bin:/bin "$home" id)"

for python in python3.14 python3.15; do
    dir=$home/$python
    path=/usr/local/bin:/usr/bin:/bin
    if [[ $python == python3.15 ]]; then
        # python3 means python3.15 through a folder at the front of PATH.
        path=$home/$python-bin:$path
        as_user "$path" "$home" "mkdir -p $python-bin && ln -sf /usr/bin/python3.15 $python-bin/python3"
    fi
    clone_head "$sysroot$dir"
    chown -R "$uid:$gid" "$sysroot$dir"
    readme_commands "$sysroot$dir"
    say "--- $python: python3 is $(as_user "$path" "$home" 'python3 --version') ($(as_user "$path" "$home" 'command -v python3'))"
    run_start=$SECONDS
    as_user "$path" "$dir" "$install_command" 2>&1 | tee "$out/$python.log" || fail "$python: the install command failed"
    suite_python() { as_user "$path" "$dir" ".venv/bin/python $(printf '%q ' "$@")"; }
    # Not a pipeline, whose stages are subshells: run_suite sets variables.
    run_suite "$sysroot$dir/junit.xml" . tests as_user "$path" "$dir" "$test_command" > >(tee -a "$out/$python.log") 2>&1
    wait $!
    say "$python: commands took $((SECONDS - run_start)) s"
    [[ $versions == "CPython ${python#python}."* ]] || fail "python3 was not ${python#python}: $versions"
done

# --- The wheel leg's abi3 wheel on 3.14 and 3.15 ---------------------------
wheels=("$repo"/build/wheel/dist/tilewise-*-cp310-abi3-*.whl)
[[ -e ${wheels[0]} && ${#wheels[@]} == 1 ]] ||
    fail "no abi3 wheel, or more than one, in $repo/build/wheel/dist: run the wheel leg (.ci/wheel.sh) first"
clone=$home/python3.14  # the tests, from the clone of HEAD above
# The clones above are of the checkout's HEAD (git would refuse to read
# theirs as root: the user owns them).
[[ $(cat "$repo/build/wheel/dist/commit") == "$(git -C "$repo" rev-parse HEAD)" ]] ||
    fail "the wheel in $repo/build/wheel/dist is not of HEAD: run the wheel leg again"
wheel=$home/wheel/$(basename "${wheels[0]}")
mkdir -p "$sysroot$home/wheel"
cp "${wheels[0]}" "$sysroot$wheel"
chown -R "$uid:$gid" "$sysroot$home/wheel"
path=/usr/local/bin:/usr/bin:/bin
for python in python3.14 python3.15; do
    dir=$home/wheel-$python
    rm -rf "$sysroot$dir"
    as_user "$path" "$home" "mkdir $(basename "$dir") && cd $(basename "$dir") && $python -m venv .venv &&
        .venv/bin/pip install --quiet --only-binary tilewise '$wheel[test]'" || fail "$python: the wheel's install failed"
    module=$(as_user "$path" "$dir" ".venv/bin/python -c 'import tilewise; print(tilewise.__file__)'")
    [[ $module == "$dir/.venv/lib/$python/site-packages/tilewise.abi3.so" ]] ||
        fail "$python imported tilewise from $module, not the installed tilewise.abi3.so"
    say "--- $python: $(basename "$wheel"), the wheel leg's file, imported from $module"
done
suites_start=$SECONDS
pids=()
for python in python3.14 python3.15; do
    (
        dir=$home/wheel-$python
        result_file=$out/wheel-$python.result
        suite_python() { as_user "$path" "$dir" ".venv/bin/python $(printf '%q ' "$@")"; }
        run_suite "$sysroot$dir/junit.xml" "$clone" "$clone/tests" suite_python -m pytest -p no:cacheprovider "$clone/tests"
        [[ $versions == "CPython ${python#python}."* ]] || fail "the venv's python was not ${python#python}: $versions"
        exit "$failed"
    ) > "$out/wheel-$python.log" 2>&1 &
    pids+=($!)
done
for i in 0 1; do
    python=python3.1$((4 + i))
    wait "${pids[$i]}" || failed=1
    say "--- $python: the suite against the wheel leg's wheel, its log in $out/wheel-$python.log"
    cat "$out/wheel-$python.log"
    [[ ! -e "$out/wheel-$python.result" ]] || cat "$out/wheel-$python.result" >> "$result_file"
done
say "the wheel leg's $(basename "$wheel") tested on 3.14 and 3.15: both suites took $((SECONDS - suites_start)) s"
leg_end
