#!/bin/bash
# Checks sandbox/run itself, from the host: the root it builds, the test users, isolation, exit
# statuses, the daemon's start and stop, and that the host is left as it was.
#
#   sandbox_self_test.sh BUILD_DIR
#
# Exit status 77 when this machine cannot host the sandbox.
set -uo pipefail

build=${1:?usage: sandbox_self_test.sh BUILD_DIR}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
run=$here/../run

[ "$(id -u)" = 0 ] || { echo "not root: skipped"; exit 77; }
command -v bwrap >/dev/null || { echo "no bwrap: skipped"; exit 77; }

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...: COMMAND must succeed
  local what=$1
  shift
  "$@" || fail "$what"
}

work=$(mktemp -d /tmp/tamsel-sandbox-self-test.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

host_state() {
  ls -la /usr/local/bin /etc/resolver /Library /Users /Applications /usr/sbin/chown \
    /usr/bin/security /run/app.tamsel.TamselHelper.socket /etc/codesign 2>&1
}
host_before=$(host_state)

# --- The root as a command sees it (no daemon needed).
inside=$(
  "$run" --build "$build" --no-daemon -- /bin/bash -c '
    set -u
    ok() { echo "ok $1"; }
    [ "$(id -u)" = 0 ] && ok root
    [ "$(as-user alice -- id -u):$(as-user alice -- id -g):$(as-user alice -- id -G)" = "501:20:20" ] && ok alice-ids
    [ "$(as-user bob -- sh -c "echo \$HOME:\$USER:\$(pwd)")" = /Users/bob:bob:/Users/bob ] && ok bob-env
    [ "$(stat -c %u:%g:%a /Users/alice)" = 501:20:755 ] && ok alice-home
    as-user alice -- touch /Users/alice/f && ok home-writable
    ! as-user alice -- touch /etc/resolver/x 2>/dev/null && ok resolver-root-only
    ! as-user bob -- touch /Users/alice/g 2>/dev/null && ok other-home-closed
    [ -z "$(find /etc/resolver /usr/local/bin /Library/Keychains "/Library/Application Support" -mindepth 1)" ] && ok empty-dirs
    touch /etc/resolver/t /usr/local/bin/t /Library/t /run/t && ok writable-dirs
    ! touch /usr/bin/t 2>/dev/null && ok usr-read-only
    /usr/sbin/chown 501:20 /etc/resolver/t && [ "$(stat -c %u /etc/resolver/t)" = 501 ] && ok sbin-chown
    [ "$(awk -F: "NR>2{print \$1}" /proc/net/dev | tr -d " ")" = lo ] && ok only-loopback
    [ "$(ls /proc | grep -c "^[0-9]")" -lt 10 ] && ok own-pids
    true
  ' 2>&1
)
status=$?
check "inside run exits 0 (got $status): $inside" test "$status" = 0
for item in root alice-ids bob-env alice-home home-writable resolver-root-only other-home-closed \
  empty-dirs writable-dirs usr-read-only sbin-chown only-loopback own-pids; do
  grep -qx "ok $item" <<<"$inside" || fail "inside the sandbox: $item"
done

# --- Exit statuses and the root's life.
"$run" --build "$build" --no-daemon -- /bin/sh -c 'exit 7'
check "run passes the command's status on" test $? = 7
check "the temporary root is removed" test -z "$(ls -A "$TMPDIR")"
setpriv --reuid 65534 --regid 65534 --clear-groups "$run" --build "$build" -- true 2>/dev/null
check "not root gives 77" test $? = 77

mkdir -p "$work/other"
echo precious >"$work/other/file"
"$run" --build "$build" --no-daemon --root "$work/other" -- true 2>/dev/null
check "refuses to empty a directory it did not make" test $? = 125
check "the refused directory is intact" grep -qx precious "$work/other/file"

"$run" --build "$build" --no-daemon --root "$work/named" -- touch /Users/alice/left
check "--root keeps the root" test -f "$work/named/Users/alice/left"
"$run" --build "$build" --no-daemon --root "$work/named" -- true
check "--root starts clean on reuse" test ! -e "$work/named/Users/alice/left"

# --- Daemon start and stop, with stand-in daemons in a copy of the image.
fake=$work/fake-build
mkdir -p "$fake/sandbox"
cp -a "$build/sandbox/image" "$fake/sandbox/image"
daemon=$fake/sandbox/image/Applications/Tamsel.app/Contents/MacOS/TamselHelper
mkdir -p "$(dirname "$daemon")"

printf '#!/bin/sh\necho "stand-in failing" >&2\nexit 3\n' >"$daemon"
chmod 0755 "$daemon"
out=$("$run" --build "$fake" -- true 2>&1)
status=$?
check "a daemon that exits early gives 125 (got $status)" test "$status" = 125
grep -q "stand-in failing" <<<"$out" || fail "the early exit shows the daemon's log: $out"

printf '#!/bin/sh\nexec sleep 100\n' >"$daemon"
start=$SECONDS
out=$("$run" --build "$fake" --timeout 1 -- true 2>&1)
status=$?
check "a daemon that never listens gives 125 (got $status)" test "$status" = 125
grep -q "did not listen" <<<"$out" || fail "the time-out names its cause: $out"
check "the time-out is bounded" test $((SECONDS - start)) -lt 20

cat >"$daemon" <<'EOF'
#!/bin/bash
# Listens like the daemon; notes SIGTERM and its user.
systemd-socket-activate -l /run/app.tamsel.TamselHelper.socket /bin/true 2>/dev/null &
child=$!
trap 'echo "TERM as $(id -u)" >/var/log/stand-in.term; kill $child; exit 0' TERM
echo "stand-in up" >&2
grep -E '^(CapBnd|NoNewPrivs):' /proc/self/status >&2
wait $child
EOF
chmod 0755 "$daemon"
"$run" --build "$fake" --root "$work/served" -- /bin/sh -c \
  'test -S /run/app.tamsel.TamselHelper.socket && test "$(cat /run/TamselHelper.pid)" -gt 1'
check "the command runs once the daemon listens" test $? = 0
check "the daemon is stopped with SIGTERM, and ran as root" \
  grep -qx "TERM as 0" "$work/served/var/log/stand-in.term"
check "the daemon's stderr lands in its log" \
  grep -q "stand-in up" "$work/served/var/log/TamselHelper.stderr.log"
# --hardened: the bounding set of the packaged unit (chown, dac_override, dac_read_search,
# fowner, fsetid = bits 0-4; net_bind_service = 10; sys_ptrace = 19; sys_admin = 21) and no new
# privileges.
"$run" --build "$fake" --hardened --root "$work/hardened" -- true
check "a hardened run succeeds" test $? = 0
log=$work/hardened/var/log/TamselHelper.stderr.log
check "the hardened daemon has the unit's bounding set" grep -qP '^CapBnd:\t000000000028041f$' "$log"
check "the hardened daemon has no new privileges" grep -qP '^NoNewPrivs:\t1$' "$log"
grep -qP '^CapBnd:\t000000000028041f$' "$work/served/var/log/TamselHelper.stderr.log"
check "the plain daemon is not confined" test $? = 1

# --- The host is as it was.
host_after=$(host_state)
check "the host's directories are unchanged" test "$host_before" = "$host_after"
check "no mount is left behind" test -z "$(grep -F "$work" /proc/self/mountinfo)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "sandbox self-test: all checks passed"
