#!/bin/bash
# Exercises tamsel-codesign as a user would: exit codes, output, atomic in-place re-signing.
# usage: codesign_tool_test.sh TOOL PKI_DIR
set -u
tool=$1
pki=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
req='anchor apple generic and certificate leaf[subject.OU] = "Q4TZ7WMR2K"'

expect() {  # expect STATUS DESCRIPTION -- COMMAND...
  local want=$1 what=$2
  shift 3
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL: $what: exit $got, expected $want"; cat "$work/out" "$work/err"
    failures=$((failures + 1))
  fi
}
expect_output() {  # expect_output PATTERN DESCRIPTION
  if ! grep -q -- "$1" "$work/out"; then
    echo "FAIL: $2: output lacks '$1'"; cat "$work/out"
    failures=$((failures + 1))
  fi
}

head -c 200000 /dev/urandom >"$work/prog"
chmod 0751 "$work/prog"
team=(--key "$pki/team.key" --cert "$pki/team.pem" --chain "$pki/team-chain.pem")

expect 0 "help" -- "$tool" --help
expect 2 "no command" -- "$tool"
expect 2 "unknown command" -- "$tool" frobnicate
expect 2 "sign without key" -- "$tool" sign --cert "$pki/team.pem" "$work/prog"
expect 2 "sign with unknown option" -- "$tool" sign "${team[@]}" --colour "$work/prog"
expect 2 "sign a missing file" -- "$tool" sign "${team[@]}" "$work/missing"
expect 2 "sign into a missing directory" -- "$tool" sign "${team[@]}" "$work/prog" -o "$work/no/such"
expect 2 "sign with a key that does not match" -- \
  "$tool" sign --key "$pki/otherteam.key" --cert "$pki/team.pem" "$work/prog" -o "$work/x"
[ -e "$work/x" ] && { echo "FAIL: output left behind after a failed sign"; failures=$((failures + 1)); }

expect 1 "verify unsigned" -- "$tool" verify --anchor "$pki/root.pem" "$work/prog"
expect_output "-67062 errSecCSUnsigned" "unsigned status"

expect 0 "sign to a new file" -- "$tool" sign "${team[@]}" --identifier app.tamsel.cli "$work/prog" -o "$work/signed"
expect 0 "verify team" -- "$tool" verify --anchor "$pki/root.pem" --requirement "$req" "$work/signed"
expect_output "0 errSecSuccess" "success status"
expect 1 "verify against another root" -- \
  "$tool" verify --anchor "$pki/otherroot.pem" --requirement "$req" "$work/signed"
expect_output "-67050 errSecCSReqFailed" "requirement status"
expect 2 "bad requirement" -- "$tool" verify --anchor "$pki/root.pem" --requirement "anchor and" "$work/signed"
expect_output "-67052 errSecCSReqInvalid" "invalid requirement status"
expect 2 "missing anchor file" -- "$tool" verify --anchor "$work/none.pem" "$work/signed"
expect 2 "verify a directory" -- "$tool" verify --anchor "$pki/root.pem" "$work"
expect 0 "display" -- "$tool" display "$work/signed"
expect_output "Identifier: app.tamsel.cli" "display identifier"
expect_output "OU=Q4TZ7WMR2K" "display leaf unit"
expect 1 "display unsigned" -- "$tool" display "$work/prog"

printf 'x' >>"$work/signed"
expect 1 "verify with a byte appended" -- "$tool" verify --anchor "$pki/root.pem" "$work/signed"

# In place: other team first, then the team; mode kept, no temporary files left.
expect 0 "sign in place (other team)" -- \
  "$tool" sign --key "$pki/otherteam.key" --cert "$pki/otherteam.pem" "$work/prog"
expect 1 "other team fails the requirement" -- \
  "$tool" verify --anchor "$pki/root.pem" --requirement "$req" "$work/prog"
expect 0 "re-sign in place (team)" -- "$tool" sign "${team[@]}" "$work/prog"
expect 0 "re-signed verifies" -- "$tool" verify --anchor "$pki/root.pem" --requirement "$req" "$work/prog"
[ "$(stat -c %a "$work/prog")" = 751 ] || { echo "FAIL: mode not kept"; failures=$((failures + 1)); }
if ls -A "$work" | grep -q signing; then echo "FAIL: temporary file left"; failures=$((failures + 1)); fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all tamsel-codesign checks passed"
