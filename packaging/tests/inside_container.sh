#!/bin/bash
# Runs inside the booted container (deb_system_test.sh): installs the package, checks the
# helper as systemd runs it, purges it and compares the file system with its state before.
# Writes PASS/FAIL lines and finally DONE to /opt/tamsel-test/results.
set -uo pipefail

readonly t=/opt/tamsel-test
readonly results=$t/results
readonly socket_job=app.tamsel.TamselHelper.socket
readonly service_job=app.tamsel.TamselHelper.service
readonly sock=/run/app.tamsel.TamselHelper.socket
readonly store=/var/log/unified/log.sqlite3
export LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/usr/sbin:/bin:/sbin
trap 'echo DONE >>"$results"' EXIT

result() { echo "$1 $2" | tee -a "$results"; }
# check WHAT COMMAND...: a PASS or FAIL line for the command's status.
check() {
  local what=$1
  shift
  if "$@"; then result PASS "$what"; else result FAIL "$what"; fi
}
# as_alice COMMAND...: runs as the test user, output in $out, status returned.
as_alice() {
  out=$(setpriv --reuid=alice --regid=alice --init-groups env HOME=/home/alice USER=alice \
    "$@" 2>&1)
  local s=$?
  printf '%s\n' "alice\$ $*" "$out" "(exit $s)"
  return $s
}
contains() { grep -qF -- "$2" <<<"$1"; }
service_pid() { systemctl show -p MainPID --value "$service_job"; }

# Every path with its type, mode and owner, leaving out what the system itself changes while
# it runs (the journal, dpkg's and apt's own records, caches).
snapshot() {
  find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /tmp -o -path /var/tmp \
    -o -path /var/log/journal -o -path /var/cache -o -path /var/lib/dpkg -o -path /var/lib/apt \
    -o -path $t \) -prune -o -printf '%p %y %m %u:%g\n' |
    grep -Ev '^/(run/(systemd|user|udev|dbus|log|credentials)|var/log/(dpkg|alternatives)\.log|etc/ld\.so\.cache)' |
    sort
  find /var/lib/dpkg/info -name 'tamsel-helper.*' -printf '%p\n'
}

# --- A machine with a user, a user's file and a resolver file of somebody else's.
useradd --uid 501 --create-home --shell /bin/bash alice
echo "alice's own" >/home/alice/keep.txt
chown alice: /home/alice/keep.txt
install -d -o alice -g alice /home/alice/caddy
install -o alice -g alice -m 0644 $t/root-ca.crt /home/alice/caddy/root-ca.crt
mkdir -p /etc/resolver
printf 'nameserver 192.0.2.53\n' >/etc/resolver/foreign
snapshot >$t/before
cp /etc/nsswitch.conf $t/nsswitch.conf.before

# --- Install: the socket listens, the service waits for its first client.
check "dpkg -i installs the package" dpkg -i $t/tamsel-helper.deb
check "the socket listens, the service waits for a client" \
  test -S $sock -a "$(systemctl is-active $socket_job $service_job | xargs)" = "active inactive"
check "systemd-analyze verify passes on the units (and finds their manual)" \
  systemd-analyze verify /lib/systemd/system/$socket_job /lib/systemd/system/$service_job
check "chown is linked at /usr/sbin/chown" test "$(readlink /usr/sbin/chown)" = /usr/bin/chown
if [ -x /usr/libexec/tamsel-helper/nsswitch.sh ]; then
  check "the hosts source is on the hosts line" grep -Eq '^hosts:.* tamsel ' /etc/nsswitch.conf
fi

as_alice tamsel-helperctl ping
check "the first ping, as a test user, is answered" test "$out" = YES
check "the first connection started the service" test "$(systemctl is-active $service_job)" = active

# --- An operation for each place the unit's hardening lets the daemon write, as alice.
version=$(dpkg-query -W -f='${Version}' tamsel-helper)
as_alice tamsel-helperctl version
check "version is the package's version" test "$out" = "$version"
as_alice tamsel-helperctl install-resolver left 127.0.0.1 5353
check "install-resolver writes /etc/resolver/left" grep -qx 'port 5353' /etc/resolver/left
as_alice tamsel-helperctl open-socket 2 80
check "open-socket hands over a listener on port 80" contains "$out" "0.0.0.0:80"
mkdir -p /home/alice/data/sub && touch /home/alice/data/sub/file
as_alice tamsel-helperctl chown-data-dir /home/alice/data 501
check "chown-data-dir hands the tree back to alice" \
  test "$(stat -c %U /home/alice/data/sub/file)" = alice
rm -r /home/alice/data
readonly ca=/home/alice/caddy/root-ca.crt
as_alice tamsel-helperctl reconcile-cli
check "reconcile-cli installs the tool and links it" \
  test "$(readlink /usr/local/bin/tamsel)" = "/Library/Application Support/Tamsel/bin/tamsel"
as_alice tamsel --version
check "the installed tool runs for the user" contains "$out" "$version"
ca_into_keychain() {
  as_alice tamsel-helperctl reconcile-ca $ca
  check "reconcile-ca adds the user's root CA to the System keychain" \
    contains "$(security find-certificate -a -p /Library/Keychains/System.keychain)" \
    "$(sed -n 2p $ca)"
}
ca_into_keychain
as_alice tamsel-helperctl logs 1970-01-01T00:00:00Z
check "logs exports the helper's entries" contains "$out" '"message":"installResolver: tld=left'

# --- The journal: levels as syslog priorities. The certificate is
# in the keychain without a trust setting: clearing one fails, logged at error level.
systemctl stop $service_job
as_alice tamsel-helperctl remove-trusted-ca $ca
error_line="removeTrustedCACertificate: clearing the trust setting was a no-op or failed"
ca_into_keychain
errors=$(journalctl -q -u $service_job -p err -o cat)
check "journalctl -p err shows the error line and no info line" \
  test -n "$(grep -F "$error_line" <<<"$errors")" -a -z "$(grep -F "tld=" <<<"$errors")"

# --- status tells what is true.
systemctl stop $service_job
as_alice tamsel-helperctl status
check "status: reachable" contains "$out" "reachable:   yes"
check "status: started on demand through the socket" \
  contains "$out" "by systemd on demand through $socket_job (active (listening)); the service was inactive (dead)"
as_alice tamsel-helperctl status
check "status: the running service and its pid" \
  contains "$out" "the service is active (running), pid $(service_pid)"
check "status: log store with its size and oldest entry" \
  grep -Eq "^log store:   $store, [0-9]+ bytes, oldest entry [0-9]{4}-" <<<"$out"
systemctl stop $socket_job $service_job
as_alice tamsel-helperctl status
s=$?
check "status without the socket: exit 1 and why" \
  test "$s" = 1 -a -n "$(grep -F 'reachable:   no: ' <<<"$out" | grep -F 'No such file')"
systemctl start $socket_job

# --- Upgrade restarts a running daemon.
as_alice tamsel-helperctl ping
old=$(service_pid)
dpkg -i $t/tamsel-helper.deb
check "an upgrade restarts the running daemon" \
  test "$(service_pid)" != "$old" -a "$(service_pid)" != 0

# --- Remove stops it; purge leaves nothing of the package, and nothing of anyone else goes.
check "dpkg -r removes the package" dpkg -r tamsel-helper
check "remove stops both jobs and takes back the chown link" test ! -e /usr/sbin/chown -a \
  "$(systemctl is-active $socket_job $service_job | xargs)" = "inactive inactive"
check "dpkg --purge purges it" dpkg --purge tamsel-helper
snapshot >$t/after
left=$(diff $t/before $t/after)
check "after purge the file system is as before" test -z "$left"
[ -z "$left" ] || echo "left after purge:"$'\n'"$left"
check "nsswitch.conf is as before" cmp -s /etc/nsswitch.conf $t/nsswitch.conf.before
