#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the udev rules we ship. Debian 12's udev has no rule checker (udevadm verify came later;
# it is used when present), so every rule is parsed here against the keys and operators udev
# accepts, and the deck rules are run on the sysfs attributes of real kinds of IEEE 1394 nodes:
# decks and the local controller must be handed to the user, disks and cameras must not.
# usage: udev_rules_test.sh SOURCE_DIR
set -eu
src=$1
rules_dir=$src/desktop/udev
fail() { echo "FAIL: $*" >&2; exit 1; }

set -- "$rules_dir"/*.rules
set -f  # rule values are patterns, never file names
[ -f "$1" ] || fail "no rules in $rules_dir"

# udev's own parser where it can be had: "udevadm verify" (systemd 253 and later), or on Debian 12
# loading the rules with "udevadm test" in a private mount namespace (root only), where our
# rules stand in for the system's. Every complaint udev has names FILE:LINE.
udevadm=${TESSALINE_UDEVADM:-$(command -v udevadm || true)}
if [ -n "$udevadm" ] && "$udevadm" verify --help >/dev/null 2>&1; then
    "$udevadm" verify --resolve-names=never "$@" || fail "udevadm verify rejects the rules"
elif [ -n "$udevadm" ] && [ "$(id -u)" -eq 0 ] && [ -e /sys/class/net/lo ] && command -v unshare >/dev/null 2>&1; then
    only=$(mktemp -d)
    trap 'rm -rf "$only"' EXIT
    cp "$@" "$only/"
    if log=$(unshare -m sh -c '
        mount --bind "$1" /usr/lib/udev/rules.d || exit 99
        for d in /etc/udev/rules.d /run/udev/rules.d; do
            [ -d "$d" ] && { mount -t tmpfs none "$d" || exit 99; }
        done
        SYSTEMD_LOG_LEVEL=debug "$2" test --action=add /sys/class/net/lo 2>&1' sh "$only" "$udevadm"); then
        complaints=$(printf '%s\n' "$log" | grep '/usr/lib/udev/rules.d/[^ ]*:[0-9]' || true)
        [ -z "$complaints" ] || fail "udev: $complaints"
        printf '%s\n' "$log" | grep -q "Reading rules file: /usr/lib/udev/rules.d/$(basename "$1")" \
            || fail "udevadm test did not read the rules: $log"
        echo "udev's parser ($udevadm) takes the rules"
    else
        echo "note: no private mount namespace here; udev's own parser not run"
    fi
fi

# One line per key of every rule: "FILE:LINE<TAB>KEY<TAB>OP<TAB>VALUE"; anything udev would not
# take becomes "ERROR ...". Continued lines (trailing backslash) are joined first.
tokens=$(awk '
function bad(msg) { print "ERROR " FILENAME ":" start ": " msg; broken = 1 }
function allowed(key, op,    base) {
    base = key; sub(/\{.*/, "", base)
    if (base ~ /^(ACTION|DEVPATH|KERNEL|KERNELS|SUBSYSTEM|SUBSYSTEMS|DRIVER|DRIVERS|TAGS|RESULT|ATTRS|CONST|TEST)$/)
        return op == "==" || op == "!="
    if (base ~ /^(ATTR|SYSCTL)$/) return op == "==" || op == "!=" || op == "="
    if (base ~ /^(ENV|SYMLINK|TAG)$/) return op != ""
    if (base == "NAME") return op != "-=" && op != "+="
    if (base == "PROGRAM") return op == "==" || op == "!=" || op == "="
    if (base == "IMPORT") return op == "==" || op == "!=" || op == "=" || op == "+="
    if (base ~ /^(OWNER|GROUP|MODE)$/) return op == "=" || op == ":="
    if (base ~ /^(SECLABEL|OPTIONS|RUN)$/) return op == "=" || op == "+=" || op == ":="
    if (base ~ /^(GOTO|LABEL)$/) return op == "="
    return 0
}
FNR == 1 { held = "" }
{
    if (held == "") start = FNR
    line = held $0
    if (line ~ /\\$/) { held = substr(line, 1, length(line) - 1); next }
    held = ""
    if (line ~ /^[ \t]*(#|$)/) next
    rest = line; n = 0
    while (rest != "") {
        sub(/^[ \t]+/, "", rest)
        if (!match(rest, /^[A-Z]+(\{[^}]*\})?/)) { bad("no key at: " rest); break }
        key = substr(rest, 1, RLENGTH); rest = substr(rest, RLENGTH + 1)
        sub(/^[ \t]+/, "", rest)
        if (!match(rest, /^(==|!=|\+=|-=|:=|=)/)) { bad("no operator after " key); break }
        op = substr(rest, 1, RLENGTH); rest = substr(rest, RLENGTH + 1)
        sub(/^[ \t]+/, "", rest)
        if (!match(rest, /^e?"([^"\\]|\\.)*"/)) { bad("value of " key " is not quoted"); break }
        value = substr(rest, 1, RLENGTH); rest = substr(rest, RLENGTH + 1)
        sub(/^e/, "", value); value = substr(value, 2, length(value) - 2)
        if (!allowed(key, op)) bad("udev takes no " key op)
        print FILENAME ":" start "\t" key "\t" op "\t" value; n++
        sub(/^[ \t]+/, "", rest)
        if (rest == "") break
        if (rest !~ /^,/) { bad("no comma after " key); break }
        rest = substr(rest, 2)
    }
    if (n == 0 && !broken) bad("empty rule")
}
END { if (held != "") { start = "end"; bad("file ends in a continued line") } }
' "$@")
errors=$(printf '%s\n' "$tokens" | grep '^ERROR ' || true)
[ -z "$errors" ] || fail "$errors"

# A uaccess tag works only when set before 73-seat-late.rules applies it.
for rules in "$@"; do
    name=$(basename "$rules")
    case "$name" in [0-9][0-9]-*.rules) ;; *) fail "$name: rule files are named NN-name.rules" ;; esac
    if grep -v '^[[:space:]]*#' "$rules" | grep -q 'TAG+="uaccess"'; then
        [ "${name%%-*}" -lt 73 ] || fail "$name: uaccess set after 73-seat-late.rules applies it"
    fi
done

# Runs the rules on one firewire device given as KEY=VALUE lines (SUBSYSTEM, ATTR{...}) and prints
# the tags they add. Keys the device lacks never equal anything; GOTO and LABEL are not followed
# (no firewire rule of ours uses them).
tags_for() {
    device=$1
    printf '%s\n' "$tokens" | {
        current=""; matched=1; added=""; all=""
        finish() { [ -n "$current" ] && [ "$matched" -eq 1 ] && all="$all$added"; matched=1; added=""; }
        while IFS="$(printf '\t')" read -r where key op value; do
            [ "$where" = "$current" ] || { finish; current=$where; }
            case "$op" in
                ==|!=)
                    have=""; present=0
                    while IFS= read -r property; do
                        [ "${property%%=*}" = "$key" ] && { have=${property#*=}; present=1; }
                    done <<END
$device
END
                    hit=0
                    if [ "$present" -eq 1 ]; then
                        # udev matches like the shell: *, ? and [...]; "|" separates alternatives.
                        oldifs=$IFS; IFS='|'
                        for pattern in $value; do
                            # shellcheck disable=SC2254
                            case "$have" in $pattern) hit=1 ;; esac
                        done
                        IFS=$oldifs
                    fi
                    if [ "$op" = "==" ]; then [ "$hit" -eq 1 ] || matched=0
                    else [ "$hit" -eq 0 ] || matched=0; fi ;;
                +=) [ "$key" = TAG ] && added="$added $value" ;;
            esac
        done
        finish
        echo "$all"
    }
}
node() { # units is_local
    printf 'SUBSYSTEM=firewire\nATTR{units}=%s\nATTR{is_local}=%s\n' "$1" "$2"
}
expect_user() { # what device
    case " $(tags_for "$2") " in *" uaccess "*) ;; *) fail "$1 is not handed to the user" ;; esac
}
expect_root() {
    case " $(tags_for "$2") " in *" uaccess "*) fail "$1 is handed to the user" ;; esac
}

expect_user "an AV/C deck (0x010001)" "$(node "0x00a02d:0x010001" 0)"
expect_user "an AV/C unit of version 0x010000" "$(node "0x00a02d:0x010000" 0)"
expect_user "an AV/C unit of version 0x014001" "$(node "0x00a02d:0x014001" 0)"
expect_user "a deck whose AV/C unit comes second" "$(node "0x00609e:0x010483 0x00a02d:0x010001" 0)"
expect_user "the local controller" "$(node "" 1)"
expect_root "an SBP-2 disk" "$(node "0x00609e:0x010483" 0)"
expect_root "an IIDC camera" "$(node "0x00a02d:0x000102" 0)"
expect_root "a 1394TA unit without the AV/C bit" "$(node "0x00a02d:0x020001" 0)"
expect_root "a node without units" "$(node "" 0)"
expect_root "a unit device (fw1.0)" "SUBSYSTEM=firewire"
expect_root "a USB device" "SUBSYSTEM=usb
ATTR{units}=0x00a02d:0x010001"
echo "udev rules checked: $*"
