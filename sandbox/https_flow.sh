#!/bin/bash
# What the application is for, end to end inside the sandbox: https://myapp.test/ served locally
# and trusted by ordinary programs. Its name server answers on 127.0.0.1:5353, its HTTPS server
# listens on port 443 through a socket the helper opened, the helper routes "test" to that name
# server and puts the app's root CA into the System keychain, and the administrator trusts it;
# then alice's getent and curl reach the site. After removeResolver and
# removeTrustedCACertificate both fail again.
#
# Prints the transcript (make demo shows it) and exits 1 when a step did not end as it must
# (the https_flow_system_test runs it).
set -u

readonly libexec=/usr/local/libexec/tamsel
readonly caddy=/Users/alice/caddy
readonly keychain=/Library/Keychains/System.keychain
readonly site=https://myapp.test/

bold=$'\e[1m' dim=$'\e[2m' plain=$'\e[0m'
if [ ! -t 1 ]; then bold="" dim="" plain=""; fi
section() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

work=$(mktemp -d /tmp/https-flow.XXXXXX)
chmod 0755 "$work"
servers=()
cleanup() {
  [ "${#servers[@]}" = 0 ] || kill "${servers[@]}" 2>/dev/null
  rm -rf "$work" "$caddy"
}
trap cleanup EXIT

failures=0
# step USER STATUS COMMAND...: shows COMMAND as USER types it, its output and exit status, which
# must be STATUS. The output stays in $work/out.
step() {
  local user=$1 want=$2
  shift 2
  printf '%s%s$ %s%s\n' "$dim" "$user" "$*" "$plain"
  if [ "$user" = root ]; then
    "$@" >"$work/out" 2>&1
  else
    as-user "$user" -- "$@" >"$work/out" 2>&1
  fi
  local got=$?
  awk 'NF == 0 { exit } { print "  " $0 }' "$work/out"  # up to curl's advice
  printf '  %s(exit %d)%s\n' "$dim" "$got" "$plain"
  if [ "$got" != "$want" ]; then
    echo "  UNEXPECTED: the exit status should be $want"
    failures=$((failures + 1))
  fi
}
# shows TEXT: the last step's output holds TEXT.
shows() {
  if ! grep -qF -- "$1" "$work/out"; then
    echo "  UNEXPECTED: the output should show \"$1\""
    failures=$((failures + 1))
  fi
}
# wait_for WHAT COMMAND...: until COMMAND succeeds, for up to 5 s.
wait_for() {
  local what=$1 i
  shift
  for i in $(seq 100); do
    "$@" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "  UNEXPECTED: $what never happened"
  failures=$((failures + 1))
}

section "The app's root CA in ~/caddy/root-ca.crt, and a certificate for myapp.test it issued"
key="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
# shellcheck disable=SC2086 # $key is several arguments
as-user alice -- bash -c "mkdir -p $caddy && cd $caddy &&
  openssl req -x509 $key -keyout root-ca.key -out root-ca.crt -days 30 \
    -subj '/CN=Tamsel Local CA/O=Tamsel' \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign &&
  openssl req $key -keyout myapp.test.key -out myapp.test.csr -subj /CN=myapp.test &&
  printf 'subjectAltName=DNS:myapp.test\nextendedKeyUsage=serverAuth\n' >myapp.test.ext &&
  openssl x509 -req -in myapp.test.csr -CA root-ca.crt -CAkey root-ca.key -days 30 \
    -CAcreateserial -extfile myapp.test.ext -out myapp.test.crt" >"$work/out" 2>&1 ||
  { cat "$work/out"; echo "cannot make the certificates" >&2; exit 1; }
openssl x509 -in "$caddy/root-ca.crt" -noout -subject -issuer | sed 's/^/  /'

section "The app's name server on 127.0.0.1:5353, its HTTPS server on port 443"
as-user alice -- tamsel-test-dns 5353 myapp.test=127.0.0.1 >/dev/null 2>&1 &
servers+=($!)
wait_for "the name server on port 5353" grep -q ':14E9 ' /proc/net/udp
# The HTTPS server asks the helper for its socket: alice may not bind port 443 herself.
as-user alice -- tamsel-app-https 443 "$caddy/myapp.test.crt" "$caddy/myapp.test.key" \
  >"$work/https.log" 2>&1 &
servers+=($!)
wait_for "the HTTPS server" grep -q '^serving' "$work/https.log"
sed 's/^/  tamsel-app-https: /' "$work/https.log"

section "The helper routes .test to the app's name server and adds its root CA"
step alice 0 tamsel-helperctl install-resolver test 127.0.0.1 5353
step alice 0 tamsel-helperctl reconcile-ca "$caddy/root-ca.crt"
step alice 0 getent hosts myapp.test
shows "127.0.0.1"
step alice 60 curl -sS "$site"
echo "  ${dim}(in the keychain, not yet trusted: curl refuses the certificate)${plain}"

section "The administrator trusts it"
step root 0 security add-trusted-cert -d -r trustRoot -k "$keychain" "$caddy/root-ca.crt"
step alice 0 curl -sS "$site"
shows "Hello from the Tamsel app"

section "Removed again: the site is no longer trusted, then no longer found"
step alice 0 tamsel-helperctl remove-trusted-ca "$caddy/root-ca.crt"
step alice 60 curl -sS "$site"
step root 0 find /usr/local/share/ca-certificates/tamsel -type f
if [ -s "$work/out" ]; then
  echo "  UNEXPECTED: a mirrored file outlived its trust"
  failures=$((failures + 1))
fi
step alice 0 tamsel-helperctl remove-resolver test
step alice 2 getent hosts myapp.test
step alice 6 curl -sS "$site"

echo
if [ "$failures" = 0 ]; then
  echo "Every step ended as it should."
else
  echo "$failures step(s) did not end as they should." >&2
  exit 1
fi
