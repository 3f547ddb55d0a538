#!/bin/bash
# First process of the sandbox (as root): starts the daemon, waits until its socket listens, runs
# the command, stops the daemon and exits with the command's status.
#
# Tests stop and start the daemon through the same script:
#   /.sandbox/init --stop-daemon [SIGNAL]        signals the daemon the pid file names (default
#                                                TERM; KILL after 5 s) and waits until it is gone
#   /.sandbox/init --start-daemon [EXECUTABLE]   starts one, confined as the first was, and waits
#                                                until it listens
set -u

readonly daemon=/Applications/Tamsel.app/Contents/MacOS/TamselHelper
readonly socket=/run/app.tamsel.TamselHelper.socket
readonly daemon_log=/var/log/TamselHelper.stderr.log
readonly pid_file=/run/TamselHelper.pid
readonly unit=/usr/local/libexec/tamsel/packaging/systemd/app.tamsel.TamselHelper.service
readonly settings=/run/tamsel-sandbox/daemon-settings
if [ "${1-}" != --stop-daemon ] && [ "${1-}" != --start-daemon ]; then
  mkdir -p /run/tamsel-sandbox
  echo "${TAMSEL_SANDBOX_TIMEOUT:-10} ${TAMSEL_SANDBOX_HARDENED:-0}" >"$settings"
  : >"$daemon_log"
fi
read -r timeout hardened <"$settings"
readonly timeout hardened
unset TAMSEL_SANDBOX_TIMEOUT TAMSEL_SANDBOX_HARDENED

# The daemon's command line: as is, or confined the way the packaged service unit confines it
# (its capability bounding set, no new privileges), so tests prove the unit leaves it enough.
daemon_command() {
  local executable=$1
  if [ "$hardened" != 1 ]; then
    echo "$executable"
    return
  fi
  local caps
  caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit" | tr ' ' '\n' |
    sed -n 's/^CAP_\(.*\)/+\L\1/p' | paste -sd,)
  [ -n "$caps" ] || { echo "sandbox: no CapabilityBoundingSet in $unit" >&2; exit 125; }
  echo "setpriv --bounding-set -all,$caps --inh-caps -all --no-new-privs -- $executable"
}

# True once a Unix socket bound to $socket is in the listening state (flag __SO_ACCEPTCON).
listening() {
  awk -v path="$socket" '$4 == "00010000" && $8 == path { found = 1 } END { exit !found }' \
    /proc/net/unix
}

# Running, and not a zombie (whose descriptors, the socket among them, are closed already).
running() {
  local stat
  stat=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$stat" ] && [ "${stat:0:1}" != Z ]
}

daemon_pid=""
start_daemon() {
  local command
  command=$(daemon_command "$1") || exit 125
  # shellcheck disable=SC2086 # the command is words without blanks inside them
  $command </dev/null >>"$daemon_log" 2>&1 &
  daemon_pid=$!
  echo "$daemon_pid" >"$pid_file"
  local deadline=$((SECONDS + timeout))
  until listening; do
    if ! kill -0 "$daemon_pid" 2>/dev/null; then
      wait "$daemon_pid"
      echo "sandbox: the daemon exited with status $? before listening; its log:" >&2
      sed 's/^/  /' "$daemon_log" >&2
      exit 125
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "sandbox: the daemon did not listen on $socket within ${timeout}s; its log:" >&2
      sed 's/^/  /' "$daemon_log" >&2
      exit 125
    fi
    sleep 0.05
  done
}

stop_daemon() {
  # The pid file names the daemon running now: a test may have started another one.
  [ ! -f "$pid_file" ] || daemon_pid=$(cat "$pid_file")
  [ -n "$daemon_pid" ] || return 0
  kill "-$1" "$daemon_pid" 2>/dev/null || return 0
  local i
  for i in $(seq 500); do
    running "$daemon_pid" || break
    sleep 0.01
  done
  kill -KILL "$daemon_pid" 2>/dev/null
  wait "$daemon_pid" 2>/dev/null
  rm -f "$pid_file"
  daemon_pid=""
}

case "${1-}" in
  --stop-daemon) stop_daemon "${2:-TERM}"; exit 0 ;;
  --start-daemon) start_daemon "${2:-$daemon}"; exit 0 ;;
esac

# Where the tool shim writes down the descriptors each tool started with.
mkdir -p /run/tamsel-sandbox/tool-fds

if [ "${TAMSEL_SANDBOX_DAEMON:-1}" = 1 ]; then
  start_daemon "$daemon"
fi
unset TAMSEL_SANDBOX_DAEMON

"$@"
status=$?
stop_daemon TERM
exit "$status"
