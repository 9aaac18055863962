# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the tests: a private scratch folder, settings and runtime folders of its own, and
# run/expect helpers that keep a command's output for the failure message.
set -eu
src=$(pwd)
data=$src/data
scratch=${AUTOPKGTEST_TMP:-$(mktemp -d)}
[ -n "${AUTOPKGTEST_TMP:-}" ] || trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" XDG_CONFIG_HOME="$scratch/home/.config"
export XDG_CACHE_HOME="$scratch/home/.cache"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset TESSALINE_VIRTUAL_DECK TESSALINE_INI TESSALINE_IEEE1394 TESSALINE_POWER

fail() {
    echo "FAIL: $*"
    exit 1
}

# run EXPECTED_STATUS COMMAND...: runs it with standard output in $out and standard error in
# $err, and fails unless it ends with EXPECTED_STATUS.
run() {
    want=$1
    shift
    status=0
    "$@" >"$scratch/out" 2>"$scratch/err" || status=$?
    out=$(cat "$scratch/out")
    err=$(cat "$scratch/err")
    if [ "$status" -ne "$want" ]; then
        echo "FAIL: $* exited with $status, expected $want"
        echo "--- standard output:"
        echo "$out"
        echo "--- standard error:"
        echo "$err"
        exit 1
    fi
}

# contains TEXT PART WHAT: fails unless TEXT holds PART.
contains() {
    case "$1" in
        *"$2"*) ;;
        *) fail "$3: expected \"$2\" in: $1" ;;
    esac
}
