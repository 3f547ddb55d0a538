#!/bin/bash
# Inside the sandbox, as root: only the System keychain's administrator trust settings reach
# the system's TLS clients. A test CA issues the leaf of an openssl s_server on loopback; as
# alice, openssl verify and curl must fail before trust, succeed after add-trusted-cert, and fail
# again once the setting or the certificate is gone, also when nothing else is trusted at all.
set -uo pipefail

readonly keychain=/Library/Keychains/System.keychain
work=$(mktemp -d /tmp/trust-store-test.XXXXXX)
server=""
trap '[ -z "$server" ] || kill "$server"; rm -rf "$work"' EXIT
chmod 0755 "$work"
cd "$work" || exit 1

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
run() {  # run WHAT COMMAND...: COMMAND must succeed
  local what=$1
  shift
  "$@" >out 2>&1 || fail "$what: $(cat out)"
}

key="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
# shellcheck disable=SC2086 # $key is several arguments
openssl req -x509 $key -keyout ca.key -out ca.pem -subj "/CN=Tamsel Local CA" -days 30 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
  2>/dev/null &&
  openssl req $key -keyout leaf.key -out leaf.csr -subj "/CN=localhost" 2>/dev/null &&
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >leaf.ext &&
  openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
    -extfile leaf.ext -out leaf.pem 2>/dev/null ||
  { echo "cannot make the test certificates" >&2; exit 1; }
sha1=$(openssl x509 -in ca.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')

readonly port=8443
openssl s_server -quiet -www -accept "127.0.0.1:$port" -cert leaf.pem -key leaf.key \
  </dev/null >server.log 2>&1 &
server=$!
for _ in $(seq 100); do
  curl -sk -o /dev/null "https://localhost:$port/" && break
  sleep 0.05
done

# expect_trust WHEN yes|no: both clients, as an ordinary user, accept the leaf, or both refuse.
expect_trust() {
  local verify=no fetch=no
  as-user alice -- openssl verify "$work/leaf.pem" >/dev/null 2>&1 && verify=yes
  as-user alice -- curl -fsS -o /dev/null "https://localhost:$port/" 2>/dev/null && fetch=yes
  [ "$verify:$fetch" = "$2:$2" ] || fail "$1: openssl verify $verify, curl $fetch, expected $2"
}

expect_trust "before anything" no
run "add-certificates" security add-certificates -k "$keychain" ca.pem
expect_trust "added without trust" no
run "add-trusted-cert" security add-trusted-cert -d -r trustRoot -k "$keychain" ca.pem
expect_trust "after add-trusted-cert" yes
run "remove-trusted-cert" security remove-trusted-cert -d ca.pem
expect_trust "after remove-trusted-cert" no
run "add-trusted-cert again" security add-trusted-cert -d -r trustRoot -k "$keychain" ca.pem
expect_trust "trusted again" yes
run "delete-certificate" security delete-certificate -Z "$sha1" "$keychain"
expect_trust "after delete-certificate" no
[ -z "$(ls /usr/local/share/ca-certificates/tamsel)" ] || fail "a mirrored file outlived its trust"

# A trust store that trusts nothing else: taking the last certificate out must empty it.
: >/etc/ca-certificates.conf
run "update-ca-certificates" update-ca-certificates --fresh
run "add-trusted-cert, alone" security add-trusted-cert -d -r trustRoot -k "$keychain" ca.pem
expect_trust "the only trusted certificate" yes
run "remove-trusted-cert, alone" security remove-trusted-cert -d ca.pem
expect_trust "nothing trusted" no

[ "$failures" = 0 ] && echo "all passed"
exit $((failures > 0))
