#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The suite leaves nothing behind. Every test runs with TMPDIR and XDG_RUNTIME_DIR pointing at
# private folders (see tests/CMakeLists.txt); this script makes them before the first test and
# checks them after the last.
#   setup TMP RUNTIME STATE    makes TMP (open to all, as /tmp is: tests that drop root's rights
#                              use it too) and RUNTIME (the user's alone, as Qt wants it), both
#                              empty, and notes in STATE what /tmp holds
#   cleanup TMP RUNTIME STATE  fails when a test left anything in TMP, or when /tmp gained an
#                              entry of ours (named after the program or the emulated bus, or Qt's
#                              fallback runtime folder, which appears without XDG_RUNTIME_DIR);
#                              then removes TMP and empties RUNTIME
# TMP is short and in /tmp because sockets made in it must fit a socket address (108 bytes).
# RUNTIME stays in the build tree between runs: the build starts the test programs to list them.
# /tmp is shared with every other program on the machine, so only entries of ours count there,
# and when other tests or our programs ran meanwhile outside this run (in another build tree, by
# hand), whose leftovers cannot be told from ours, a finding there is reported and the check
# skipped instead of failed. A watcher started by setup looks for them once a second until
# cleanup. Everything that honours TMPDIR is checked exactly in TMP.
set -eu
mode=$1
tmp=${2:-}
runtime=${3:-}
state=${4:-}

list_tmp() { (cd /tmp && ls -A1) | LC_ALL=C sort; }

# True when process $1 descends from process $2.
descends() {
    p=$1
    while [ -n "$p" ] && [ "$p" -gt 1 ]; do
        [ "$p" = "$2" ] && return 0
        p=$(sed -n 's/^PPid:[[:space:]]*//p' "/proc/$p/status" 2>/dev/null)
    done
    return 1
}

# Test runners, test programs and our own programs not started by this run (ctest $1).
other_runs() {
    for p in /proc/[0-9]*; do
        pid=${p#/proc/}
        case $(cat "$p/comm" 2>/dev/null) in
        ctest | *_tests | tessaline | tessaline-cli) ;;
        *) continue ;;
        esac
        descends "$pid" "$1" || echo "$pid"
    done
    return 0
}

fresh_runtime() {
    rm -rf "$runtime"
    mkdir -p "$runtime"
    chmod 700 "$runtime"
}

case $mode in
setup)
    rm -rf "$tmp"
    mkdir -p "$tmp" "$state"
    chmod 1777 "$tmp"
    fresh_runtime
    list_tmp > "$state/tmp-before.list"
    other_runs "$PPID" > "$state/other-runs.list"
    touch "$state/watching"
    # Detached from this test's output, so that ctest does not wait for it; it ends by itself
    # once cleanup has removed the marker, or after a day.
    if command -v setsid >/dev/null 2>&1; then
        setsid sh "$0" watch "$PPID" "$state" </dev/null >/dev/null 2>&1 &
    else
        sh "$0" watch "$PPID" "$state" </dev/null >/dev/null 2>&1 &
    fi
    echo "TMPDIR $tmp and XDG_RUNTIME_DIR $runtime made; what /tmp holds noted"
    ;;
watch)
    run=$2
    state=$3
    n=0
    while [ -f "$state/watching" ] && [ $n -lt 86400 ]; do
        other_runs "$run" >> "$state/other-runs.list"
        sleep 1
        n=$((n + 1))
    done
    ;;
cleanup)
    [ -f "$state/tmp-before.list" ] || { echo "FAIL: the setup test did not run" >&2; exit 1; }
    rm -f "$state/watching"
    status=0
    left=$( (cd "$tmp" 2>/dev/null && ls -A1) || true)
    if [ -n "$left" ]; then
        echo "FAIL: tests left these in their temporary folder $tmp:" >&2
        echo "$left" | sed 's/^/  /' >&2
        status=1
    fi
    rm -rf "$tmp"
    fresh_runtime
    list_tmp > "$state/tmp-after.list"
    user=$(id -un)
    ours=$(LC_ALL=C comm -13 "$state/tmp-before.list" "$state/tmp-after.list" |
        grep -E "^(tessaline|\.?fwemu)|^runtime-$user\$" || true)
    others=$( (cat "$state/other-runs.list"; other_runs "$PPID") | sort -un | tr '\n' ' ')
    rm -f "$state/tmp-before.list" "$state/tmp-after.list" "$state/other-runs.list"
    if [ -n "$ours" ]; then
        echo "these appeared in /tmp during the run:" >&2
        echo "$ours" | sed 's/^/  \/tmp\//' >&2
        if [ $status -eq 0 ] && [ -n "$others" ]; then
            echo "SKIP: other test runs or our programs went on meanwhile (process $others)," \
                "outside this run; these may be theirs"
            exit 77
        fi
        echo "FAIL: the run left them behind" >&2
        status=1
    fi
    [ $status -eq 0 ] && echo "nothing left in $tmp, nothing of ours new in /tmp"
    exit $status
    ;;
*)
    echo "usage: $0 setup|cleanup TMP RUNTIME STATE" >&2
    exit 2
    ;;
esac
