#!/bin/bash
# Checks sandbox/run itself, from the host: the root it builds, the test users, isolation, exit
# statuses, the daemon's start and stop, and that the host is left as it was.
#
#   sandbox_self_test.sh BUILD_DIR
#
# Exit status 77 when this machine cannot host the sandbox.
set -uo pipefail

build=${1:?usage: sandbox_self_test.sh BUILD_DIR}
run=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../run

[ "$(id -u)" = 0 ] || { echo "not root: skipped"; exit 77; }
command -v bwrap >/dev/null || { echo "no bwrap: skipped"; exit 77; }

failures=0
check() {  # check DESCRIPTION COMMAND...: COMMAND must succeed
  local what=$1
  shift
  "$@" || { echo "FAIL: $what" >&2; failures=$((failures + 1)); }
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

# --- The root as a command sees it (no daemon needed): each line that holds prints its name.
inside=$("$run" --build "$build" --no-daemon -- /bin/bash -c '
  [ "$(as-user alice -- id -u):$(as-user alice -- id -G):$(stat -c %u:%g:%a /Users/alice)" = 501:20:501:20:755 ] && echo alice
  [ "$(as-user bob -- sh -c "echo \$HOME:\$USER:\$(pwd)")" = /Users/bob:bob:/Users/bob ] && echo bob-env
  ! as-user alice -- touch /etc/resolver/x /Users/bob/g 2>/dev/null && echo closed
  [ -z "$(find /etc/resolver /usr/local/bin /Library/Keychains -mindepth 1)" ] && echo empty-dirs
  touch /etc/resolver/t /usr/local/bin/t /Library/t && ! touch /usr/bin/t 2>/dev/null && echo writable
  /usr/sbin/chown 501 /etc/resolver/t && [ "$(stat -c %u /etc/resolver/t)" = 501 ] && echo chown
  [ "$(awk -F: "NR>2{print \$1}" /proc/net/dev | tr -d " ")" = lo ] && echo only-loopback
  [ "$(ls /proc | grep -c "^[0-9]")" -lt 10 ] && echo own-pids' 2>&1 | xargs)
check "inside the sandbox: $inside" \
  test "$inside" = "alice bob-env closed empty-dirs writable chown only-loopback own-pids"

# --- Exit statuses and the root's life.
"$run" --build "$build" --no-daemon -- /bin/sh -c 'exit 7'
check "run passes the command's status on" test $? = 7
check "the temporary root is removed" test -z "$(ls -A "$TMPDIR")"
mkdir -p "$work/other"
echo precious >"$work/other/file"
"$run" --build "$build" --no-daemon --root "$work/other" -- true 2>/dev/null
check "refuses to empty a directory it did not make" test $? = 125 -a -s "$work/other/file"

# --- The daemon's confinement, with a stand-in daemon in a copy of the image.
fake=$work/fake-build
mkdir -p "$fake/sandbox"
cp -a "$build/sandbox/image" "$fake/sandbox/image"
daemon=$fake/sandbox/image/Applications/Tamsel.app/Contents/MacOS/TamselHelper

cat >"$daemon" <<'EOF'
#!/bin/bash
# Listens like the daemon, and notes its confinement in its log.
systemd-socket-activate -l /run/app.tamsel.TamselHelper.socket /bin/true 2>/dev/null &
trap 'kill $!; exit 0' TERM
grep -E '^(CapBnd|NoNewPrivs):' /proc/self/status >&2
wait
EOF
"$run" --build "$fake" --root "$work/served" -- /bin/sh -c \
  'test -S /run/app.tamsel.TamselHelper.socket && test "$(cat /run/TamselHelper.pid)" -gt 1'
check "the command runs once the daemon listens" test $? = 0
"$run" --build "$fake" --hardened --root "$work/hardened" -- true
# The unit's bounding set: chown, dac_override, dac_read_search, fowner, fsetid (bits 0-4),
# net_bind_service (10), sys_ptrace (19), sys_admin (21); and no new privileges.
confinement() { grep -hE '^(CapBnd|NoNewPrivs):' "$work/$1/var/log/TamselHelper.stderr.log" | xargs; }
check "the hardened daemon is confined as the unit says" \
  test "$(confinement hardened)" = "CapBnd: 000000000028041f NoNewPrivs: 1"
check "the plain daemon is not" test -n "$(confinement served)" -a \
  "$(confinement served)" != "$(confinement hardened)"

# --- The host is as it was.
check "the host's directories are unchanged" test "$host_before" = "$(host_state)"
check "no mount is left behind" test -z "$(grep -F "$work" /proc/self/mountinfo)"
[ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "sandbox self-test: all checks passed"
