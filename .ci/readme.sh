#!/usr/bin/env bash
# The README's test command, word for word, in a clone of HEAD with python3
# as it is (.ci/run sets it through pyenv). With a NumPy version, the venv
# gets that NumPy first; pip keeps it, as it meets the requirement, while the
# module itself is still built against NumPy 2 in pip's build environment.
#
#   bash .ci/readme.sh LEG [NUMPY_VERSION]
set -euo pipefail
source "$(dirname "$0")/lib/ci.sh"
leg_start "$1"
numpy=${2:-}
clone=$out/clone
clone_head "$clone"
readme_commands "$clone"
cd "$clone"
if [[ -n $numpy ]]; then
    python3 -m venv .venv
    .venv/bin/pip install "numpy==$numpy"
fi
suite_python() { .venv/bin/python "$@"; }
run_suite "$out/junit.xml" . tests bash -c "$test_command"
[[ -z $numpy || $versions == *", NumPy $numpy" ]] || fail "NumPy $numpy was replaced: $versions"
leg_end
