#!/bin/bash
# Drives the built keychain tool on scratch keychains: each command's success and failure with
# its exit status, broken keychains, hostile file arguments and concurrent writers.
#
#   security_tool_test.sh TOOL
set -uo pipefail

tool=$(realpath "${1:?usage: security_tool_test.sh TOOL}")
work=$(mktemp -d /tmp/tamsel-security-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"
cd "$work" || exit 1

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# expect STATUS WHAT COMMAND...: COMMAND (the tool's arguments) exits with STATUS, and a failure
# leaves exactly one line on standard error. Output in out, diagnostic in err.
expect() {
  local want=$1 what=$2
  shift 2
  timeout 20 "$tool" "$@" >out 2>err
  local got=$?
  [ "$got" = "$want" ] || fail "$what: exit $got, expected $want: $(cat err)"
  [ "$want" = 0 ] || [ "$(wc -l <err)" = 1 ] || fail "$what: diagnostic not one line: $(cat err)"
}
mkcert() {  # NAME SUBJECT: NAME.pem and NAME.der
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.key" \
    -out "$1.pem" -subj "$2" -days 30 2>/dev/null &&
    openssl x509 -in "$1.pem" -outform DER -out "$1.der"
}
sha1() { openssl x509 -in "$1.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g'; }

mkcert a "/CN=Tamsel Local CA" && mkcert b "/CN=Other Root" && mkcert c "/CN=Third" ||
  { echo "cannot make test certificates" >&2; exit 1; }
kc=$work/keychains/new/test.keychain

# Usage.
expect 0 "--help" --help
grep -q '^usage: security' out || fail "--help prints no usage"
for args in "" "frobnicate" "find-certificate -a -p -x $kc" "delete-certificate -Z 1234 $kc" \
  "add-certificates a.pem" "add-trusted-cert -d -r trustAsRoot -k $kc a.pem" \
  "remove-trusted-cert -d a.pem b.pem"; do
  # shellcheck disable=SC2086 # the words are the arguments
  expect 2 "usage error for '$args'" $args
done

# A missing keychain lists as empty and is not created by reading.
expect 0 "listing a missing keychain" find-certificate -a -p "$kc"
[ ! -s out ] && [ ! -e "$kc" ] || fail "listing a missing keychain printed or created something"

# Adding (PEM and DER), listing in order, duplicates, deleting by SHA-1 in either case.
expect 0 "add-certificates creates the keychain" add-certificates -k "$kc" a.pem b.der
expect 0 "find-certificate" find-certificate -a -p "$kc"
cat a.pem b.pem | cmp -s - out || fail "the listing is not both certificates as PEM, in order"
expect 1 "add-certificates of a duplicate" add-certificates -k "$kc" c.pem a.der
expect 0 "find-certificate" find-certificate -a -p "$kc"
cat a.pem b.pem | cmp -s - out || fail "a failed add-certificates changed the keychain"
expect 0 "delete-certificate, lower case" delete-certificate -Z "$(sha1 a | tr A-F a-f)" "$kc"
expect 1 "delete-certificate of an absent certificate" delete-certificate -Z "$(sha1 a)" "$kc"
expect 0 "delete-certificate, upper case" delete-certificate -Z "$(sha1 b)" "$kc"
expect 0 "find-certificate" find-certificate -a -p "$kc"
[ ! -s out ] || fail "deleted certificates are still listed"

# Trust settings: set (adding when absent), cleared once, dropped with the certificate.
expect 0 "add-trusted-cert adds" add-trusted-cert -d -r trustRoot -k "$kc" a.pem
expect 0 "add-trusted-cert again" add-trusted-cert -d -r trustRoot -k "$kc" a.der
expect 0 "remove-trusted-cert" remove-trusted-cert -d -k "$kc" a.pem
expect 1 "remove-trusted-cert without a setting" remove-trusted-cert -d -k "$kc" a.pem
expect 0 "add-trusted-cert" add-trusted-cert -d -r trustRoot -k "$kc" a.pem
expect 0 "delete-certificate of a trusted one" delete-certificate -Z "$(sha1 a)" "$kc"
expect 0 "add-certificates" add-certificates -k "$kc" a.pem
expect 1 "remove-trusted-cert after delete and add" remove-trusted-cert -d -k "$kc" a.pem

# Broken keychains fail cleanly.
head -c 8192 /dev/urandom >corrupt.keychain
expect 1 "listing a corrupt keychain" find-certificate -a -p corrupt.keychain
sqlite3 other.keychain 'CREATE TABLE t (x)'
expect 1 "adding to another kind of database" add-certificates -k other.keychain b.pem
grep -q 'not a keychain' err || fail "another database is not called 'not a keychain': $(cat err)"

# Hostile file arguments are refused promptly, and nothing of them is printed.
mkfifo fifo && truncate -s 2M big
for file in fifo /dev/zero big . c.key; do
  SECONDS=0
  expect 1 "add-certificates of $file" add-certificates -k "$kc" "$file"
  [ "$SECONDS" -le 2 ] || fail "add-certificates of $file took ${SECONDS}s"
done
grep -q 'PRIVATE' err && fail "the diagnostic quotes the file"

# Concurrent writers: 20 loops adding and deleting their own certificate lose no update.
loops=20
for i in $(seq $loops); do mkcert "l$i" "/CN=Loop $i"; done
shared=$work/shared.keychain
for i in $(seq $loops); do
  (
    for round in 1 2 3 4 5; do
      "$tool" add-certificates -k "$shared" "l$i.pem" && "$tool" find-certificate -a -p "$shared" >/dev/null &&
        "$tool" delete-certificate -Z "$(sha1 "l$i")" "$shared" || echo "loop $i round $round" >>loop-failures
    done
    "$tool" add-certificates -k "$shared" "l$i.pem" || echo "loop $i last add" >>loop-failures
  ) 2>>loop-failures &
done
wait
[ ! -s loop-failures ] || fail "concurrent runs failed: $(head -5 loop-failures)"
expect 0 "listing after the concurrent runs" find-certificate -a -p "$shared"
# Each loop's last add succeeded and a keychain refuses duplicates: all twenty are there.
[ "$(grep -c 'BEGIN CERTIFICATE' out)" = $loops ] || fail "after concurrent runs: $(grep -c BEGIN out) certificates"

[ "$failures" = 0 ] && echo "all passed"
exit $((failures > 0))
