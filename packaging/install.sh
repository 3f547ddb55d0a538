#!/bin/bash
# Installs the helper daemon at its fixed path with its systemd units, and starts listening on
# its socket when systemd runs this machine. packaging/uninstall.sh undoes it.
#
#   install.sh --daemon FILE [--anchor PEM] [--no-start]
#
#   --daemon FILE   the built daemon (e.g. build/main/service/TamselHelper)
#   --anchor PEM    also install PEM as the platform's code-signing root
#                   (/etc/codesign/anchor.pem); refused if a different one is there already
#   --no-start      install only; do not enable or start the socket
#
# Every file and directory it creates is written to /var/lib/tamsel-helper/manifest, so that
# uninstall.sh removes exactly those and leaves what was there before.
set -euo pipefail

readonly daemon_path=/Applications/Tamsel.app/Contents/MacOS/TamselHelper
readonly unit_dir=/etc/systemd/system
readonly units=(app.tamsel.TamselHelper.socket app.tamsel.TamselHelper.service)
readonly anchor_path=/etc/codesign/anchor.pem
readonly state_dir=/var/lib/tamsel-helper
readonly manifest=$state_dir/manifest
# Directories the daemon writes into; they must exist for its read-write exceptions to apply.
readonly work_dirs=(/etc/resolver /Library /usr/local/bin)

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

die() {
  echo "install.sh: $*" >&2
  exit 1
}

daemon="" anchor="" start=1
while [ $# -gt 0 ]; do
  case $1 in
    --daemon) [ $# -ge 2 ] || die "--daemon needs a file"; daemon=$2; shift 2 ;;
    --anchor) [ $# -ge 2 ] || die "--anchor needs a file"; anchor=$2; shift 2 ;;
    --no-start) start=0; shift ;;
    -h | --help) sed -n '2,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument: $1 (see --help)" ;;
  esac
done
[ "$(id -u)" = 0 ] || die "must run as root"
[ -n "$daemon" ] || die "--daemon FILE is required"
[ -f "$daemon" ] && [ -x "$daemon" ] || die "not an executable file: $daemon"
if [ -n "$anchor" ]; then
  [ -f "$anchor" ] || die "no such file: $anchor"
  if [ -e "$anchor_path" ] && ! cmp -s "$anchor" "$anchor_path"; then
    die "$anchor_path holds a different code-signing root; remove it first"
  fi
fi
for unit in "${units[@]}"; do
  [ -f "$here/systemd/$unit" ] || die "missing unit file $here/systemd/$unit"
done

umask 022

# note KIND PATH: remembers that this installation created PATH (once).
pending=()
note() {
  if [ -f "$manifest" ]; then
    grep -qxF "$1 $2" "$manifest" || echo "$1 $2" >>"$manifest"
  else
    pending+=("$1 $2")
  fi
}

# make_dirs DIR: creates DIR and its missing parents, noting each one created.
make_dirs() {
  local missing=() d=$1
  while [ ! -d "$d" ]; do
    missing=("$d" "${missing[@]}")
    d=$(dirname "$d")
  done
  for d in "${missing[@]}"; do
    mkdir -m 0755 "$d"
    note dir "$d"
  done
}

# put SOURCE TARGET MODE: installs a file atomically (a running daemon keeps its old inode).
put() {
  local tmp
  make_dirs "$(dirname "$2")"
  tmp=$(mktemp "$(dirname "$2")/.install.XXXXXX")
  cp "$1" "$tmp"
  chmod "$3" "$tmp"
  chown root:root "$tmp"
  mv -f "$tmp" "$2"
  note file "$2"
}

make_dirs "$state_dir"
touch "$manifest"
chmod 0600 "$manifest"
for line in "${pending[@]}"; do
  note "${line%% *}" "${line#* }"
done

put "$daemon" "$daemon_path" 0755
for unit in "${units[@]}"; do
  put "$here/systemd/$unit" "$unit_dir/$unit" 0644
done
if [ -n "$anchor" ] && [ ! -e "$anchor_path" ]; then
  put "$anchor" "$anchor_path" 0644
fi
for d in "${work_dirs[@]}"; do
  make_dirs "$d"
done
# The daemon runs chown at its fixed path; Debian keeps it in /usr/bin.
if [ ! -e /usr/sbin/chown ] && [ -x /usr/bin/chown ]; then
  ln -s /usr/bin/chown /usr/sbin/chown
  note file /usr/sbin/chown
fi
echo "Installed $daemon_path and ${units[*]} in $unit_dir"

if [ -d /run/systemd/system ]; then
  systemctl daemon-reload
  if [ "$start" = 1 ]; then
    [ -d "$unit_dir/sockets.target.wants" ] || note dir "$unit_dir/sockets.target.wants"
    systemctl enable --now "${units[0]}"
    echo "Listening on /run/app.tamsel.TamselHelper.socket"
  fi
else
  echo "systemd is not running here: the units are installed but not started"
fi
