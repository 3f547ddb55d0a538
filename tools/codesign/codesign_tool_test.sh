#!/bin/bash
# Exercises tamsel-codesign as a user would: its commands, exit codes and output. What a
# signature is and when it verifies is tested beside the code (platform/codesign).
# usage: codesign_tool_test.sh TOOL PKI_DIR
set -u
tool=$1
pki=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
req='anchor apple generic and certificate leaf[subject.OU] = "Q4TZ7WMR2K"'
team=(--key "$pki/team.key" --cert "$pki/team.pem" --chain "$pki/team-chain.pem")

fail() { echo "FAIL: $1"; cat "$work/out" "$work/err"; failures=$((failures + 1)); }
# expect STATUS DESCRIPTION [PATTERN] -- COMMAND...: the exit status, and PATTERN in the output.
expect() {
  local want=$1 what=$2 pattern=
  [ "$3" = -- ] || { pattern=$3; shift; }
  shift 3
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  [ "$got" = "$want" ] || fail "$what: exit $got, expected $want"
  [ -z "$pattern" ] || grep -q -- "$pattern" "$work/out" || fail "$what: output lacks '$pattern'"
}

head -c 200000 /dev/urandom >"$work/prog"

expect 0 "help" "usage:" -- "$tool" --help
expect 2 "unknown command" -- "$tool" frobnicate
expect 2 "sign without key" -- "$tool" sign --cert "$pki/team.pem" "$work/prog"
expect 2 "sign with a key that does not match" -- \
  "$tool" sign --key "$pki/otherteam.key" --cert "$pki/team.pem" "$work/prog" -o "$work/x"
[ -e "$work/x" ] && fail "output left behind after a failed sign"

expect 1 "verify unsigned" "-67062 errSecCSUnsigned" -- "$tool" verify --anchor "$pki/root.pem" "$work/prog"
expect 0 "sign to a new file" -- \
  "$tool" sign "${team[@]}" --identifier app.tamsel.cli "$work/prog" -o "$work/signed"
expect 0 "verify" "0 errSecSuccess" -- \
  "$tool" verify --anchor "$pki/root.pem" --requirement "$req" "$work/signed"
expect 1 "verify against another root" "-67050 errSecCSReqFailed" -- \
  "$tool" verify --anchor "$pki/otherroot.pem" --requirement "$req" "$work/signed"
expect 2 "bad requirement" "-67052 errSecCSReqInvalid" -- \
  "$tool" verify --anchor "$pki/root.pem" --requirement "anchor and" "$work/signed"
expect 2 "verify a directory" -- "$tool" verify --anchor "$pki/root.pem" "$work"
expect 0 "display" "Identifier: app.tamsel.cli" -- "$tool" display "$work/signed"
grep -q "OU=Q4TZ7WMR2K" "$work/out" || fail "display: no leaf unit"
expect 1 "display unsigned" -- "$tool" display "$work/prog"

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all tamsel-codesign checks passed"
