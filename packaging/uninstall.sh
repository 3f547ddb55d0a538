#!/bin/bash
# Removes what packaging/install.sh installed: stops and disables the units, removes them, the
# daemon, its socket and every directory the installation created (when empty). Directories
# that were there before stay.
#
#   uninstall.sh [--purge]
#
#   --purge   also remove the helper's log store (/var/log/unified/log.sqlite3 and its journal
#             files, and the directory when nothing else is in it)
set -euo pipefail

readonly daemon_path=/Applications/Tamsel.app/Contents/MacOS/TamselHelper
readonly unit_dir=/etc/systemd/system
readonly units=(app.tamsel.TamselHelper.socket app.tamsel.TamselHelper.service)
readonly socket_path=/run/app.tamsel.TamselHelper.socket
readonly state_dir=/var/lib/tamsel-helper
readonly manifest=$state_dir/manifest
readonly log_dir=/var/log/unified
readonly log_store=$log_dir/log.sqlite3

die() {
  echo "uninstall.sh: $*" >&2
  exit 1
}

purge=0
while [ $# -gt 0 ]; do
  case $1 in
    --purge) purge=1; shift ;;
    -h | --help) sed -n '2,10p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument: $1 (see --help)" ;;
  esac
done
[ "$(id -u)" = 0 ] || die "must run as root"

if [ -d /run/systemd/system ]; then
  systemctl disable --now "${units[@]}" 2>/dev/null || true
fi

# The fixed files go even without a manifest (an installation by hand, a lost state directory).
rm -f "$daemon_path" "$socket_path"
for unit in "${units[@]}"; do
  rm -f "$unit_dir/$unit"
done
if [ -d /run/systemd/system ]; then
  systemctl daemon-reload
  systemctl reset-failed "${units[@]}" 2>/dev/null || true
fi

if [ "$purge" = 1 ]; then
  rm -f "$log_store" "$log_store-wal" "$log_store-shm" "$log_store-journal"
  rmdir "$log_dir" 2>/dev/null || true
fi

# What the manifest lists, newest first: files, then directories that are empty by now (the
# state directory itself among them).
entries=()
if [ -f "$manifest" ]; then
  mapfile -t entries < <(tac "$manifest")
fi
rm -f "$manifest"
for line in "${entries[@]}"; do
  kind=${line%% *}
  path=${line#* }
  case $kind in
    file) rm -f "$path" ;;
    dir) [ ! -d "$path" ] || rmdir "$path" 2>/dev/null || echo "uninstall.sh: kept $path (not empty)" >&2 ;;
  esac
done
if [ -d "$state_dir" ]; then
  rmdir "$state_dir" 2>/dev/null || echo "uninstall.sh: kept $state_dir (not empty)" >&2
fi
echo "Removed $daemon_path and ${units[*]}"
