#!/bin/bash
# First process of the sandbox (as root): starts the daemon, waits until its socket listens, runs
# the command, stops the daemon and exits with the command's status.
set -u

readonly daemon=/Applications/Tamsel.app/Contents/MacOS/TamselHelper
readonly socket=/run/app.tamsel.TamselHelper.socket
readonly daemon_log=/var/log/TamselHelper.stderr.log
readonly pid_file=/run/TamselHelper.pid
readonly timeout=${TAMSEL_SANDBOX_TIMEOUT:-10}
readonly hardened=${TAMSEL_SANDBOX_HARDENED:-0}
readonly unit=/usr/local/libexec/tamsel/packaging/systemd/app.tamsel.TamselHelper.service
unset TAMSEL_SANDBOX_TIMEOUT TAMSEL_SANDBOX_HARDENED

# The daemon's command line: as is, or confined the way the packaged service unit confines it
# (its capability bounding set, no new privileges), so tests prove the unit leaves it enough.
daemon_command() {
  if [ "$hardened" != 1 ]; then
    echo "$daemon"
    return
  fi
  local caps
  caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit" | tr ' ' '\n' |
    sed -n 's/^CAP_\(.*\)/+\L\1/p' | paste -sd,)
  [ -n "$caps" ] || { echo "sandbox: no CapabilityBoundingSet in $unit" >&2; exit 125; }
  echo "setpriv --bounding-set -all,$caps --inh-caps -all --no-new-privs -- $daemon"
}

# True once a Unix socket bound to $socket is in the listening state (flag __SO_ACCEPTCON).
listening() {
  awk -v path="$socket" '$4 == "00010000" && $8 == path { found = 1 } END { exit !found }' \
    /proc/net/unix
}

daemon_pid=""
start_daemon() {
  : >"$daemon_log"
  local command
  command=$(daemon_command) || exit 125
  # Tests that stop the daemon start it again with the same command.
  echo "$command" >/run/tamsel-sandbox/daemon-command
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
  kill -TERM "$daemon_pid" 2>/dev/null || return 0
  local i
  for i in $(seq 50); do
    kill -0 "$daemon_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$daemon_pid" 2>/dev/null
  wait "$daemon_pid" 2>/dev/null
  rm -f "$pid_file"
  daemon_pid=""
}

# Where the tool shim writes down the descriptors each tool started with.
mkdir -p /run/tamsel-sandbox/tool-fds

if [ "${TAMSEL_SANDBOX_DAEMON:-1}" = 1 ]; then
  start_daemon
fi
unset TAMSEL_SANDBOX_DAEMON

"$@"
status=$?
stop_daemon
exit "$status"
