#!/bin/bash
# The package under a real systemd: boots a throw-away Debian 12 tree in systemd-nspawn, where
# tests/inside_container.sh installs the .deb, uses the helper as a test user and purges it.
#
#   deb_system_test.sh DEB CACHE_DIR
#
# The base tree (mmdebstrap, the package's dependencies included) is made once and kept in
# CACHE_DIR; each run boots an overlay of it that is thrown away afterwards. Exit status 77
# (skipped) only when this machine cannot run systemd-nspawn at all.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
deb=$(realpath "$1")
cache=$(realpath -m "$2")
readonly boot_timeout=300

skip() { echo "deb_system_test: $* (skipping)" >&2; exit 77; }

[ "$(id -u)" = 0 ] || skip "must run as root"
command -v systemd-nspawn >/dev/null || skip "systemd-nspawn is not installed"
grep -qw overlay /proc/filesystems || skip "the kernel offers no overlay file system"
[ -f "$deb" ] || { echo "deb_system_test: no package at $deb" >&2; exit 1; }

# The base tree, named after what it includes: a package with new dependencies gets a new one.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/[[:space:]]//g' |
  grep . | sort -u | tr '\n' ',')
include="systemd,systemd-sysv,dbus,procps,man-db,${depends%,}"
key=$(printf '%s' "$include" | sha256sum | cut -c1-12)
base=$cache/bookworm-$key
mkdir -p "$cache"
if [ ! -f "$base/.complete" ]; then
  command -v mmdebstrap >/dev/null || skip "mmdebstrap is not installed and no tree is cached"
  echo "deb_system_test: making the base tree $base (once)"
  rm -rf "$base"
  mmdebstrap --quiet --variant=minbase --include="$include" bookworm "$base" ||
    { echo "deb_system_test: mmdebstrap failed" >&2; exit 1; }
  touch "$base/.complete"
  for old in "$cache"/bookworm-*; do  # trees for other package lists
    [ "$old" = "$base" ] || rm -rf --one-file-system "$old"
  done
fi

# Whether nspawn runs here at all, before anything of the package is involved.
if ! systemd-nspawn -D "$base" --read-only --register=no --keep-unit --pipe -q true \
  >/dev/null 2>&1; then
  skip "systemd-nspawn cannot run a container on this machine"
fi

run=$(mktemp -d "$cache/run.XXXXXX")
trap 'umount "$run/root" 2>/dev/null; rm -rf --one-file-system "$run"' EXIT
mkdir "$run/upper" "$run/work" "$run/root"
mount -t overlay tamsel-deb-test \
  -o "lowerdir=$base,upperdir=$run/upper,workdir=$run/work" "$run/root"

# The test, the package and a unit that runs the test once the system is up, then powers off.
t=$run/root/opt/tamsel-test
mkdir -p "$t"
cp "$deb" "$t/tamsel-helper.deb"
cp "$here/inside_container.sh" "$t/inside_container.sh"
# A root CA for the keychain operations (the container has no openssl).
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
  -subj "/CN=Tamsel Local CA" -keyout /dev/null -out "$t/root-ca.crt" 2>/dev/null
cat >"$run/root/etc/systemd/system/tamsel-test.service" <<'UNIT'
[Unit]
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/bin/bash /opt/tamsel-test/inside_container.sh
ExecStopPost=/bin/systemctl poweroff --no-block
StandardOutput=append:/opt/tamsel-test/log
StandardError=append:/opt/tamsel-test/log
UNIT
ln -s ../tamsel-test.service "$run/root/etc/systemd/system/multi-user.target.wants/tamsel-test.service"

echo "deb_system_test: booting"
set +e
timeout "$boot_timeout" systemd-nspawn -D "$run/root" --register=no --keep-unit -q -b \
  --console=pipe </dev/null >"$run/console.log" 2>&1
status=$?
set -e
results=$t/results
if [ ! -f "$results" ] || ! grep -q '^DONE$' "$results"; then
  echo "deb_system_test: the test did not finish (nspawn exit $status)" >&2
  tail -40 "$run/console.log" >&2
  [ ! -f "$t/log" ] || tail -60 "$t/log" >&2
  exit 1
fi
grep -v '^DONE$' "$results"
if grep -q '^FAIL' "$results"; then
  echo "--- the test's log:" >&2
  tail -80 "$t/log" >&2
  exit 1
fi
echo "deb_system_test: all checks passed"
