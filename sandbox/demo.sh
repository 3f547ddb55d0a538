#!/bin/bash
# The demo transcript, run inside the sandbox (sandbox/run -- /usr/local/libexec/tamsel/demo.sh):
# the daemon admits a client signed for the team and refuses the others, and its log shows
# which requests reached it; then https://myapp.test/ is served and trusted end to end, and
# removed again (https_flow.sh, whose status is the demo's).
set -u

readonly libexec=/usr/local/libexec/tamsel
readonly helperctl=$libexec/tamsel-helperctl
readonly clients=$libexec/clients
readonly daemon_log=/var/log/TamselHelper.stderr.log
readonly started=$(date -u +%Y-%m-%dT%H:%M:%S.000Z)

bold=$'\e[1m' dim=$'\e[2m' plain=$'\e[0m'
if [ ! -t 1 ]; then bold="" dim="" plain=""; fi

section() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

# run USER PROGRAM ARGS...: shows the command line as the user types it, its output and status.
run() {
  local user=$1
  shift
  printf '%s%s$ %s%s\n' "$dim" "$user" "$(basename "$1") ${*:2}" "$plain"
  as-user "$user" -- "$@" 2>&1 | sed 's/^/  /'
  local status=${PIPESTATUS[0]}
  printf '  %s(exit %d)%s\n' "$dim" "$status" "$plain"
}

# signer FILE: the signer's team and what the daemon's requirement says of FILE, in one line.
readonly requirement='anchor apple generic and certificate leaf[subject.OU] = "Q4TZ7WMR2K"'
signer() {
  local ou verdict
  ou=$("$libexec/tamsel-codesign" display "$1" 2>/dev/null | sed -n 's/^  OU=//p' | head -1)
  verdict=$("$libexec/tamsel-codesign" verify --requirement "$requirement" "$1" 2>&1 |
    awk '{ print $NF }')
  echo "signer team ${ou:-(none)}; requirement check: $verdict"
}

show_client() {
  printf '%s: %s\n' "$(basename "$1")" "$(signer "$1")"
}

section "The helper runs as root, listening on /run/app.tamsel.TamselHelper.socket"
ps -o user=,pid=,args= -p "$(cat /run/TamselHelper.pid)" | sed 's/^/  /'

section "An admitted client: tamsel-helperctl, run by alice"
show_client "$helperctl"
run alice "$helperctl" ping
run alice "$helperctl" version

section "Refused clients: no request of theirs reaches the helper"
for copy in unsigned other-team other-root modified; do
  client=$clients/tamsel-helperctl-$copy
  [ -x "$client" ] || continue
  show_client "$client"
  run alice "$client" version
done

section "The helper's log"
printf '%s%s$ %s%s\n' "$dim" alice "tamsel-helperctl logs $started" "$plain"
if as-user alice -- "$helperctl" logs "$started" >/tmp/logs 2>&1; then
  sed 's/^/  /' /tmp/logs
else
  echo "${dim}(from its standard error)${plain}"
  sed 's/^/  /' "$daemon_log"
fi
echo "${dim}The same entries on the helper's standard error ($daemon_log):${plain}"
sed 's/^/  /' "$daemon_log"
echo
echo "Only the admitted client's helperVersion request appears: the refused ones never ran."

"$libexec/https_flow.sh"
