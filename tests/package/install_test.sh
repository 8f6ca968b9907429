#!/usr/bin/env bash
# Installs the amd64 package on this machine with apt-get, checks what the maintainer scripts set
# up, runs the installed daemon (as root, dropping to qrd) against the installed hat simulator and
# a local mosquitto until a reading reaches the broker, makes it re-read its configuration as qrd,
# verifies the installed unit, then purges and checks that the status files survive.
# Usage (root): install_test.sh ostrel_<version>_amd64.deb
set -euo pipefail
deb=$(realpath "$1")
[ "$(id -u)" -eq 0 ] || { echo "install_test: must run as root" >&2; exit 1; }
if dpkg-query -W -f='${Status}' ostrel 2>/dev/null | grep -q "ok installed"; then
  echo "install_test: ostrel is already installed here; not touching it" >&2
  exit 1
fi
# A Raspberry Pi has a group gpio for /dev/gpiochip*; make one if this machine has none, so that
# the membership is checked too.
made_gpio=0
if ! getent group gpio >/dev/null; then groupadd --system gpio; made_gpio=1; fi
state=/var/quorind-gateway
state_existed=0
[ -e "$state" ] && state_existed=1
spool=/var/spool/ostrel
spool_existed=0
[ -e "$spool" ] && spool_existed=1

work=$(mktemp -d /tmp/ostrel-install.XXXXXX)
chmod 755 "$work"
pids=()
gateway=0
cleanup() {
  [ "$gateway" -ne 0 ] && kill -KILL "$gateway" 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if dpkg-query -W -f='${Status}' ostrel 2>/dev/null | grep -q "ok installed"; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q ostrel >/dev/null 2>&1 || true
  fi
  # What this test made and the package deliberately leaves behind.
  [ "$state_existed" = 1 ] || rm -rf "$state"
  [ "$spool_existed" = 1 ] || rm -rf "$spool"
  [ "$made_gpio" = 0 ] || groupdel gpio 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail=0
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what" >&2; fail=1; fi
}
stat_is() { [ "$(stat -c '%a %U %G' "$1" 2>/dev/null)" = "$2" ]; }
in_group() { id -nG "$1" 2>/dev/null | tr ' ' '\n' | grep -qx "$2"; }

DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >"$work/apt-install.log" 2>&1 ||
  { cat "$work/apt-install.log"; exit 1; }
check "account qrd exists" bash -c "getent passwd qrd >/dev/null"
check "group qrd exists" bash -c "getent group qrd >/dev/null"
check "qrd is in dialout" in_group qrd dialout
check "qrd is in gpio" in_group qrd gpio
check "$state is 0750 qrd:qrd" stat_is "$state" "750 qrd qrd"
check "$spool is 0750 qrd:qrd" stat_is "$spool" "750 qrd qrd"
check "/etc/ostrel/ostrel.conf is 0640 root:qrd" stat_is /etc/ostrel/ostrel.conf "640 root qrd"
check "/etc/sudoers.d/ostrel parses" visudo -c -q -f /etc/sudoers.d/ostrel
check "/etc/ostrel/decoders.d is 0755 root:root" stat_is /etc/ostrel/decoders.d "755 root root"
check "the example decoders pass their examples" \
  /usr/bin/ostrel --check-decoders /usr/share/ostrel/decoders
# sudo -l -U USER CMD prints the command and exits 0 only when USER may run it.
allowed() { sudo -n -l -U qrd "$@" >/dev/null 2>&1; }
check "qrd may run timedatectl set-ntp false" allowed /usr/bin/timedatectl set-ntp false
check "qrd may run timedatectl set-ntp true" allowed /usr/bin/timedatectl set-ntp true
check "qrd may run timedatectl set-time" allowed /usr/bin/timedatectl set-time "2026-12-08 21:30:05.250"
check "qrd may not set a malformed time" bash -c '! sudo -n -l -U qrd /usr/bin/timedatectl set-time "now; reboot" >/dev/null 2>&1'
check "qrd may not run timedatectl set-timezone" bash -c '! sudo -n -l -U qrd /usr/bin/timedatectl set-timezone UTC >/dev/null 2>&1'
check "qrd may not run a shell" bash -c '! sudo -n -l -U qrd /bin/sh >/dev/null 2>&1'
check "systemd-analyze verify accepts the installed unit" \
  systemd-analyze verify /lib/systemd/system/ostrel.service

# A broker on a free loopback port, and the installed hat simulator behind a device that only
# root and dialout may open, like the Pi's UART.
port=0
for _ in $(seq 50); do
  p=$((20000 + RANDOM % 20000))
  if ! (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null; then port=$p; break; fi
done
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$work/mosquitto.conf"
/usr/sbin/mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids+=($!)
/usr/bin/ostrel-hatsim --link "$work/hat" --version 3 --node 1001:7:62:500:0114 --quiet \
  >"$work/hatsim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$work/hat" ] && break; sleep 0.1; done
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done
tty=$(readlink -f "$work/hat")
chgrp dialout "$tty"
chmod 0660 "$tty"

# The installed configuration, edited in place: SIGHUP makes the daemon re-read it as qrd.
sed -i -e "s#^device = .*#device = $work/hat#" -e "s#^port = .*#port = $port#" \
  -e "s#^host = .*#host = 127.0.0.1#" -e "s#^sync-interval = .*#sync-interval = 0#" \
  /etc/ostrel/ostrel.conf
mosquitto_sub -h 127.0.0.1 -p "$port" -t 'sensors/#' -v -C 1 -W 60 >"$work/reading" 2>&1 &
sub=$!
sleep 0.5
/usr/bin/ostrel >"$work/ostrel.log" 2>&1 &
gateway=$!
wait "$sub" || true
check "the installed daemon published a reading" grep -q "^sensors/1001/" "$work/reading"
check "the daemon dropped to qrd" grep -q "^Dropped root privileges" "$work/ostrel.log"
check "the daemon runs as qrd" bash -c "[ \"\$(ps -o user= -p $gateway)\" = qrd ]"
check "the daemon wrote gateway.uid as qrd" stat_is "$state/gateway.uid" "$(stat -c %a "$state/gateway.uid" 2>/dev/null) qrd qrd"

kill -HUP "$gateway"
for _ in $(seq 100); do grep -q "Received restart signal" "$work/ostrel.log" && break; sleep 0.1; done
sleep 2
check "SIGHUP re-read the configuration as qrd" \
  bash -c "grep -q 'Received restart signal' '$work/ostrel.log' && ! grep -q 'Keeping the previous configuration' '$work/ostrel.log'"
kill -TERM "$gateway"
rc=0
wait "$gateway" || rc=$?
gateway=0
check "the daemon stopped cleanly" [ "$rc" -eq 0 ]
[ "$fail" = 0 ] || { echo "--- daemon log"; cat "$work/ostrel.log"; }

# A node's status file: purging must keep it.
printf 'status' >"$state/1001.status"
chown qrd:qrd "$state/1001.status"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q ostrel >"$work/apt-purge.log" 2>&1 ||
  { cat "$work/apt-purge.log"; exit 1; }
check "purge removed the binary" [ ! -e /usr/bin/ostrel ]
check "purge removed the configuration" [ ! -e /etc/ostrel/ostrel.conf ]
check "purge removed the sudo rights" [ ! -e /etc/sudoers.d/ostrel ]
check "purge kept the status file" [ "$(cat "$state/1001.status" 2>/dev/null)" = status ]
check "purge kept gateway.uid" [ -s "$state/gateway.uid" ]
check "purge removed the simulator's empty link directory" [ ! -e /run/ostrel ]
check "purge dropped the ownership override" bash -c '! dpkg-statoverride --list /etc/ostrel/ostrel.conf >/dev/null'

if [ "$fail" = 0 ]; then echo "install_test: OK"; else echo "install_test: FAILED" >&2; fi
exit "$fail"
