#!/bin/bash
# Host-name lookups through the tamsel hosts source with real programs, inside the sandbox (whose
# hosts line is "files tamsel [NOTFOUND=return] dns"): routed names (A and AAAA), unrouted names
# passed on to the next source, a silent name server, untrusted and malformed resolver files, the
# longest names; then the nsswitch script itself.
set -uo pipefail

readonly libexec=/usr/local/libexec/tamsel
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# expect DESCRIPTION EXPECTED COMMAND...: COMMAND's output and exit status, as "STATUS OUTPUT".
expect() {
  local what=$1 expected=$2 actual
  shift 2
  actual=$("$@" 2>&1)
  actual="$? $actual"
  [ "$actual" = "$expected" ] || fail "$what: got [$actual], expected [$expected]"
}

long=$(printf 'a.%.0s' {1..126})t               # 127 labels, 253 bytes: the longest name
too_long=$(printf 'ab.%.0s' {1..83})a.test      # 255 bytes
bad_labels=(injected alice writable fifo link huge)
decoys=()
for label in "${bad_labels[@]}"; do decoys+=("myapp.$label=10.6.6.6"); done

# The app's name server, the one the dns source asks (via resolv.conf), and one that never answers.
"$libexec/tamsel-test-dns" 5353 myapp.test=10.1.2.3 myapp.test=fd00::3 "$long=10.1.2.4" \
  "${decoys[@]}" &
"$libexec/tamsel-test-dns" 53 plain.example=10.9.9.9 myapp.slow=10.5.5.5 &
"$libexec/tamsel-test-dns" 5454 --silent &
trap 'kill $(jobs -p) 2>/dev/null' EXIT
echo "nameserver 127.0.0.1" >/etc/resolv.conf
for port in 14E9 0035 154E; do  # 5353, 53, 5454 in /proc/net/udp
  for _ in $(seq 100); do grep -q ":$port " /proc/net/udp && break; sleep 0.05; done
done

for route in "test 5353" "t 5353" "slow 5454"; do
  set -- $route
  as-user alice -- tamsel-helperctl install-resolver "$1" 127.0.0.1 "$2" >/dev/null ||
    fail "install-resolver $1"
done

# Routed: A and AAAA from the app's server, by gethostbyname2 and by getaddrinfo, as alice.
expect "hosts, routed" "0 fd00::3         myapp.test" as-user alice -- getent hosts myapp.test
expect "ahosts, routed" "0 10.1.2.3 fd00::3" \
  bash -c "as-user alice -- getent ahosts myapp.test | awk '{print \$1}' | sort -u | xargs"
expect "hosts, 127 labels" "0 10.1.2.4        $long" getent hosts "$long"
expect "hosts, 255 bytes" "2 " getent hosts "$too_long"

# Unrouted: left to the next source, which answers.
expect "hosts, unrouted" "0 10.9.9.9        plain.example" getent hosts plain.example

# A silent server: the lookup gives up within the module's second, and the dns source (which
# knows the name) is not asked.
start=$(date +%s%N)
expect "ahosts, silent server" "2 " getent ahosts myapp.slow
elapsed=$((($(date +%s%N) - start) / 1000000))
[ "$elapsed" -lt 1500 ] || fail "ahosts, silent server: ${elapsed} ms"

# Files the module must ignore (their text is covered by the unit test): each would send
# myapp.LABEL to the app's server, which knows it. Alice's address smuggles in a second line.
as-user alice -- tamsel-helperctl install-resolver injected $'127.0.0.1\nnameserver 127.0.0.1' 5353 \
  >/dev/null || fail "install-resolver injected"
for label in alice writable huge; do
  tamsel-helperctl install-resolver "$label" 127.0.0.1 5353 >/dev/null || fail "install $label"
done
chown alice /etc/resolver/alice
chmod g+w /etc/resolver/writable
head -c 1000000 /dev/zero >>/etc/resolver/huge
mkfifo /etc/resolver/fifo
ln -s test /etc/resolver/link
for label in "${bad_labels[@]}"; do
  expect "ignored file $label" "2 " timeout 5 as-user alice -- getent hosts "myapp.$label"
done

# The nsswitch script: the sandbox's line, added twice, removed, with the rest kept.
conf=$(mktemp)
while IFS='|' read -r before after; do
  printf 'passwd: files\n%s\n' "$before" >"$conf"
  "$libexec/packaging/nsswitch.sh" add "$conf"
  "$libexec/packaging/nsswitch.sh" add "$conf"
  expect "nsswitch add twice" "0 passwd: files
$after" cat "$conf"
  "$libexec/packaging/nsswitch.sh" remove "$conf"
  expect "nsswitch remove" "0 passwd: files
$before" cat "$conf"
done <<'LINES'
hosts: files mdns4 [NOTFOUND=return] resolve dns # x|hosts: files mdns4 [NOTFOUND=return] tamsel [NOTFOUND=return] resolve dns # x
hosts: files  |hosts: files tamsel [NOTFOUND=return]  
LINES
rm -f "$conf"

[ "$failures" = 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "nss system test: all passed"
