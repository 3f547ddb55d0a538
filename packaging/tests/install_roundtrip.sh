#!/bin/bash
# Install, use and uninstall the daemon inside a sandbox root (sandbox/run --no-daemon): the
# installed units must verify, the daemon must serve through an activated socket, and after
# uninstall --purge the file system must be exactly as before.
set -euo pipefail

pkg=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly built_daemon=/.sandbox/TamselHelper
readonly daemon_path=/Applications/Tamsel.app/Contents/MacOS/TamselHelper
readonly socket=/run/app.tamsel.TamselHelper.socket
readonly anchor=/etc/codesign/anchor.pem
# The signed system-test binary is the client: its "ping" role pings on a fresh connection.
readonly client=/usr/local/libexec/tamsel/tests/tamsel_system_test
readonly units=(/etc/systemd/system/app.tamsel.TamselHelper.socket
  /etc/systemd/system/app.tamsel.TamselHelper.service)

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
step() { printf '\n== %s\n' "$*"; }

[ -f /.sandbox/tamsel-sandbox-root ] || { echo "run me inside sandbox/run --no-daemon" >&2; exit 2; }
[ -x "$built_daemon" ] || { echo "no built daemon at $built_daemon" >&2; exit 2; }

# Every path an installation could touch, with type, mode, owner and (files) size and target;
# no times. /tmp, /proc, /dev and the sandbox's own files are left out.
snapshot() {
  local prune=(\( -path /tmp -o -path /proc -o -path /dev -o -path /.sandbox \) -prune -o)
  {
    find / /usr/local /run -xdev "${prune[@]}" -type d -printf '%p d %m %u:%g\n'
    find / /usr/local /run -xdev "${prune[@]}" ! -type d -printf '%p %y %m %u:%g %s %l\n'
  } | sort -u
}

# differs BEFORE-FILE: prints what changed since BEFORE-FILE.
differs() {
  diff <(cat "$1") <(snapshot) | grep '^[<>]' || true
}

# serve: runs the installed daemon behind an activated socket, as systemd would, and talks to it.
serve() {
  if ! command -v systemd-socket-activate >/dev/null; then
    echo "(systemd-socket-activate not installed: socket activation not exercised)"
    return 0
  fi
  if [ ! -x "$client" ]; then
    echo "(no signed system-test binary in this build: daemon not exercised)"
    return 0
  fi
  systemd-socket-activate -l "$socket" "$daemon_path" 2>/tmp/activated.log &
  local activator=$! ok=0 i
  for i in $(seq 100); do
    if "$client" --child ping 2>/dev/null; then
      ok=1
      break
    fi
    sleep 0.1
  done
  if [ "$ok" = 1 ]; then
    # One listening socket on the path: the daemon used the one it was handed.
    local listeners
    listeners=$(awk -v p="$socket" '$4 == "00010000" && $8 == p' /proc/net/unix | wc -l)
    [ "$listeners" = 1 ] || fail "$listeners sockets listen on $socket; expected the activated one"
    echo "served through the activated socket"
  else
    fail "the installed daemon did not answer on the activated socket"
    sed 's/^/  /' /tmp/activated.log >&2
  fi
  kill -TERM "$activator" 2>/dev/null || true
  wait "$activator" 2>/dev/null || true
}

verify_units() {
  local f
  for f in "$daemon_path" "${units[@]}"; do
    [ -f "$f" ] || fail "not installed: $f"
  done
  [ -x "$daemon_path" ] || fail "$daemon_path is not executable"
  cmp -s "$built_daemon" "$daemon_path" || fail "$daemon_path differs from the built daemon"
  for f in /etc/resolver /Library /usr/local/bin; do
    [ -d "$f" ] || fail "not created: $f"
  done
  if command -v systemd-analyze >/dev/null; then
    # The checker leaves a marker under /run/systemd; that is its own, not the installation's.
    local had_run_systemd=0
    [ ! -e /run/systemd ] || had_run_systemd=1
    systemd-analyze verify --man=no "${units[@]}" || fail "systemd-analyze verify"
    [ "$had_run_systemd" = 1 ] || rm -rf /run/systemd
  fi
}

step "A machine without the helper's directories: install, serve, uninstall"
cp "$anchor" /.sandbox/anchor.pem
rm -f "$anchor"
rmdir /etc/codesign /etc/resolver /usr/local/bin "/Library/Application Support" \
  /Library/Keychains /Library
before=$(mktemp)
snapshot >"$before"

"$pkg/install.sh" --daemon "$built_daemon" --anchor /.sandbox/anchor.pem
verify_units
[ -f "$anchor" ] || fail "the code-signing root was not installed"
serve
echo "a file of somebody else's" >/etc/resolver/test-kept

"$pkg/uninstall.sh"
[ -f /etc/resolver/test-kept ] || fail "uninstall removed a file it did not install"
rm /etc/resolver/test-kept
rmdir /etc/resolver
# Without --purge only the log store (and its directory) may remain.
left=$(differs "$before")
echo "left after uninstall:"
echo "${left:-  (nothing)}" | sed 's/^/  /'
if grep -v '^> /var/log/unified' <<<"$left" | grep -q .; then
  fail "uninstall left more than the log store"
fi

"$pkg/uninstall.sh" --purge
left=$(differs "$before")
[ -z "$left" ] || fail "after uninstall --purge the root differs:"$'\n'"$left"

step "A machine with the directories in place: install twice, uninstall --purge"
mkdir -p /etc/codesign /etc/resolver /usr/local/bin "/Library/Application Support" \
  /Library/Keychains
cp /.sandbox/anchor.pem "$anchor"
echo "nameserver 127.0.0.1" >/etc/resolver/other
snapshot >"$before"
"$pkg/install.sh" --daemon "$built_daemon" --anchor "$anchor"
"$pkg/install.sh" --daemon "$built_daemon"
verify_units
serve
"$pkg/uninstall.sh" --purge
left=$(differs "$before")
[ -z "$left" ] || fail "after install twice and uninstall --purge the root differs:"$'\n'"$left"

step "Refusals"
if "$pkg/install.sh" --daemon /nonexistent 2>/dev/null; then fail "installed a missing daemon"; fi
echo "other root" >/.sandbox/other.pem
if "$pkg/install.sh" --daemon "$built_daemon" --anchor /.sandbox/other.pem 2>/dev/null; then
  fail "replaced a different code-signing root"
fi
left=$(differs "$before")
[ -z "$left" ] || fail "a refused install changed the root:"$'\n'"$left"

rm -f "$before"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "install/uninstall round trip: all checks passed"
