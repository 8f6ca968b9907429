#!/usr/bin/env bash
# Boots Debian 12 with systemd as PID 1 in a container (systemd-nspawn -b), installs the package
# there beside mosquitto, runs the hat simulator inside with its link under /run, and checks the
# unit as a Pi's systemd runs it: readiness and status, a reading through the broker, reload,
# the watchdog, a configuration error, a slow timedated, automatic time synchronisation left on,
# and purge.
# Usage (root): systemd_boot_test.sh ostrel_<version>_amd64.deb
#
# The watchdog check shortens WatchdogSec to 6 s with a runtime drop-in. The whole test, a first
# debootstrap included, is stopped after OSTREL_SYSTEMD_DEADLINE seconds (default 440) and
# counts as failed; it stops the container and every process it started, on failure too.
#
# The debootstrapped root is cached in build-systemd/bookworm (OSTREL_SYSTEMD_CACHE changes the
# directory; DEBIAN_MIRROR the mirror, else debootstrap's default); each run boots a copy of it.
# The container has no network of its own: the package's dependencies go into the cached root
# before the boot. This machine's PID 1 is not systemd and nobody runs systemd-machined, so
# nspawn is started without registration from a cgroup made for it.
set -Eeuo pipefail
deb=$(realpath "$1")
root=$(cd "$(dirname "$0")/../.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "systemd_boot_test: must run as root" >&2; exit 1; }
cache=${OSTREL_SYSTEMD_CACHE:-$root/build-systemd}
base=$cache/bookworm
run=$cache/run.$$
link=${OSTREL_HAT_LINK:-/run/ostrel/hat}
# Packages of the booted system besides what the package itself depends on.
base_packages=systemd,systemd-sysv,dbus,sudo,mosquitto,mosquitto-clients
t_start=$SECONDS

work=$(mktemp -d /tmp/ostrel-systemd.XXXXXX)
deadline=${OSTREL_SYSTEMD_DEADLINE:-440}
(
  trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
  sleep "$deadline" &
  sleeper=$!
  wait "$sleeper"
  echo "systemd_boot_test: still running after $deadline s: stopping" >&2
  kill -TERM $$
) &
timer=$!
nspawn=0
leader=0
cgroups=()
fail=0
ok=1
check() { # check DESCRIPTION COMMAND...: sets ok to 1 or 0
  local what=$1
  shift
  if "$@"; then
    echo "ok   $what"
    ok=1
  else
    echo "FAIL $what" >&2
    fail=1
    ok=0
  fi
}
note() { echo "     $*"; }

# Everything below runs inside the container, as root, with a clean environment.
ct() { nsenter -t "$leader" -a -- /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 SYSTEMD_PAGER= SYSTEMD_COLORS=0 "$@"; }
prop() { ct systemctl show -P "$2" "$1"; }
wait_for() { # wait_for SECONDS COMMAND...: true once COMMAND succeeds within SECONDS
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}
journal_since() { ct journalctl -q -o cat --no-pager --after-cursor="$1" "${@:2}"; }
cursor() { ct journalctl -q -n 0 --show-cursor --no-pager | sed -n 's/^-- cursor: //p'; }

stop_container() {
  [ "$nspawn" -ne 0 ] || return 0
  # SIGTERM asks nspawn to power the container off; whatever is left after that is killed.
  kill -TERM "$nspawn" 2>/dev/null || true
  local t0=$SECONDS end=$((SECONDS + 30))
  while kill -0 "$nspawn" 2>/dev/null && [ "$SECONDS" -lt "$end" ]; do sleep 0.2; done
  kill -0 "$nspawn" 2>/dev/null && echo "systemd_boot_test: the container did not power off"
  kill -KILL "$nspawn" 2>/dev/null || true
  wait "$nspawn" 2>/dev/null || true
  nspawn=0
  echo "systemd_boot_test: container stopped in $((SECONDS - t0)) s"
}
cleanup() {
  local rc=$?
  stop_container
  local cg p
  for cg in "${cgroups[@]}"; do
    [ -d "$cg" ] || continue
    # Processes the container left behind, by id, then its cgroups from the leaves up.
    find "$cg" -name cgroup.procs -exec cat {} + 2>/dev/null | while read -r p; do
      kill -KILL "$p" 2>/dev/null || true
    done
    find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null || true
  done
  if [ -d "$run" ]; then
    if findmnt -rn -o TARGET | grep "^$run" >/dev/null; then
      echo "systemd_boot_test: $run still has mounts; left in place" >&2
    else
      rm -rf --one-file-system "$run"
    fi
  fi
  rm -rf "$work"
  kill "$timer" 2>/dev/null || true
  echo "systemd_boot_test: $((SECONDS - t_start)) s"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
trap 'echo "systemd_boot_test: command failed at line $LINENO" >&2' ERR

# debootstrap and systemd-nspawn, from Debian. systemd-container adds "mymachines" to
# /etc/nsswitch.conf: this machine keeps its own.
install_tools() {
  local missing=()
  command -v debootstrap >/dev/null || missing+=(debootstrap)
  command -v systemd-nspawn >/dev/null || missing+=(systemd-container)
  [ ${#missing[@]} -gt 0 ] || return 0
  cp -p /etc/nsswitch.conf "$work/nsswitch.conf"
  local rc=0
  { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
    --no-install-recommends "${missing[@]}"; } >"$work/apt.log" 2>&1 || rc=$?
  cp -p "$work/nsswitch.conf" /etc/nsswitch.conf
  [ "$rc" = 0 ] || cat "$work/apt.log"
  return "$rc"
}

# Runs a command in the cached root without booting it (no service may start there).
in_base() {
  printf '#!/bin/sh\nexit 101\n' >"$base/usr/sbin/policy-rc.d"
  chmod 755 "$base/usr/sbin/policy-rc.d"
  local rc=0
  chroot "$base" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@" || rc=$?
  rm -f "$base/usr/sbin/policy-rc.d"
  return "$rc"
}

prepare_base() {
  mkdir -p "$cache"
  if [ ! -e "$base/.debootstrapped" ]; then
    rm -rf "$base"
    echo "systemd_boot_test: debootstrap bookworm into $base"
    local t0=$SECONDS
    debootstrap --variant=minbase --include="$base_packages" bookworm "$base" \
      ${DEBIAN_MIRROR:+"$DEBIAN_MIRROR"} >"$work/debootstrap.log" 2>&1 ||
      { tail -n 30 "$work/debootstrap.log"; return 1; }
    touch "$base/.debootstrapped"
    echo "systemd_boot_test: debootstrap took $((SECONDS - t0)) s"
  fi
  # What the package depends on (first of each set of alternatives, without versions), plus
  # the base list: installed into the cache so that later runs find them.
  local want=() missing=() p
  IFS=',' read -ra want <<<"$base_packages"
  while read -r p; do [ -n "$p" ] && want+=("$p"); done < <(dpkg-deb -f "$deb" Depends |
    tr ',' '\n' | sed -e 's/|.*//' -e 's/(.*)//' -e 's/[[:space:]]//g')
  for p in "${want[@]}"; do
    in_base dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep "ok installed" >/dev/null ||
      missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "systemd_boot_test: installing ${missing[*]} into the cached root"
  cp -L /etc/resolv.conf "$base/etc/resolv.conf"
  { in_base apt-get update -q && in_base apt-get install -y -q --no-install-recommends \
    "${missing[@]}" && in_base apt-get clean; } >"$work/base-apt.log" 2>&1 ||
    { cat "$work/base-apt.log"; return 1; }
}

find_leader() {
  local p
  for p in $(pgrep -P "$nspawn" || true); do
    [ "$(cat "/proc/$p/comm" 2>/dev/null)" = systemd ] && { leader=$p; return 0; }
  done
  return 1
}

boot() {
  rm -rf "$run"
  cp -a --reflink=auto "$base" "$run"
  cp "$deb" "$run/root/ostrel.deb"
  # A host name that resolves (sudo asks), in a root that debootstrap gave this machine's.
  echo ostrel-ci >"$run/etc/hostname"
  printf '127.0.0.1 localhost\n127.0.1.1 ostrel-ci\n' >"$run/etc/hosts"
  # timesyncd never runs in a container (nor could it set the clock here), and timedated reports
  # automatic synchronisation as on only while its time synchroniser is active: a stand-in
  # that does nothing but run lets "timedatectl set-ntp" switch something.
  mkdir -p "$run/etc/systemd/ntp-units.d"
  echo ostrel-test-ntp.service >"$run/etc/systemd/ntp-units.d/50-ostrel-test.list"
  printf '%s\n' '[Unit]' 'Description=Stand-in time synchroniser' '[Service]' \
    'ExecStart=/bin/sleep infinity' '[Install]' 'WantedBy=multi-user.target' \
    >"$run/etc/systemd/system/ostrel-test-ntp.service"
  local h cg
  for h in systemd unified; do
    [ -d "/sys/fs/cgroup/$h" ] || continue
    cg=/sys/fs/cgroup/$h/ostrel-boot.$$
    mkdir "$cg"
    cgroups+=("$cg")
  done
  (
    for cg in "${cgroups[@]}"; do echo "$BASHPID" >"$cg/cgroup.procs"; done
    exec systemd-nspawn -q -b -D "$run" --register=no --keep-unit --private-network \
      --machine=ostrel-ci --console=passive
  ) </dev/null >"$work/nspawn.log" 2>&1 &
  nspawn=$!
  # The container's init is nspawn's child once it has set the container up.
  wait_for 30 find_leader || { cat "$work/nspawn.log"; return 1; }
  local state=""
  booted() {
    state=$(ct systemctl is-system-running 2>/dev/null || true)
    [ "$state" = running ] || [ "$state" = degraded ]
  }
  wait_for 120 booted || true
  echo "systemd_boot_test: container booted ($state) in $((SECONDS - t_start)) s"
  if [ "$state" != running ]; then
    ct systemctl --failed --no-legend || true
    [ "$state" = degraded ] || { cat "$work/nspawn.log"; return 1; }
  fi
}

# Predicates for check and wait_for.
unit_is() { [ "$(prop ostrel.service "$1")" = "$2" ]; }
ntp_is() { [ "$(ct timedatectl show -p NTP --value 2>/dev/null)" = "$1" ]; }
logged_since() { journal_since "$1" -u ostrel | grep -E "$2" >/dev/null; }
status_useful() { prop ostrel.service StatusText | grep -E 'protocol v3.*MQTT connected' >/dev/null; }
runs_as_qrd() { [ "$(ct stat -c %U "/proc/$(prop ostrel.service MainPID)")" = qrd ]; }
watchdog_restarted() { # watchdog_restarted PID NRESTARTS CURSOR
  [ "$(prop ostrel.service NRestarts)" -gt "$2" ] && ! unit_is MainPID "$1" &&
    journal_has "$3" "ostrel.service: Watchdog timeout"
}
synchroniser_stopped() { journal_since "$1" -u ostrel-test-ntp.service | grep Stopped >/dev/null; }
journal_has() { journal_since "$1" | grep "$2" >/dev/null; }
not_logged() { ! journal_has "$@"; }
failed_or_restarting() { unit_is ActiveState failed || unit_is SubState auto-restart; }
reading() { # reading PORT SECONDS: one sensor reading through the broker
  ct mosquitto_sub -h 127.0.0.1 -p "$1" -t 'sensors/#' -v -C 1 -W "$2" 2>/dev/null |
    grep -q '^sensors/1001/'
}
announced() { # announced PORT SECONDS: the gateway's retained "online"
  ct mosquitto_sub -h 127.0.0.1 -p "$1" -t 'gw/+/status' -v -C 1 -W "$2" 2>/dev/null |
    grep -q '^gw/[0-9]*/status online$'
}
broker_listens() { ct bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null; }
dropin() { # dropin UNIT NAME TEXT: a runtime drop-in, active after daemon-reload
  ct mkdir -p "/run/systemd/system/$1.d"
  printf '%s\n' "$3" | ct tee "/run/systemd/system/$1.d/$2.conf" >/dev/null
}

install_tools
prepare_base
boot

# --- the package, the broker and the simulator ------------------------------------------------
check "the package installs under a booted systemd" \
  ct bash -c 'apt-get install -y -q /root/ostrel.deb >/root/apt-install.log 2>&1'
[ "$ok" = 1 ] || ct cat /root/apt-install.log
check "the unit is not enabled by the installation" unit_is UnitFileState disabled
check "mosquitto runs" ct systemctl is-active --quiet mosquitto
ct timedatectl set-ntp true || true
check "automatic time synchronisation is on before the daemon starts" wait_for 10 ntp_is yes

# The README's simulator example, its link under /run where the unit can see it.
ct systemd-run -q --unit=ostrel-hatsim /usr/bin/ostrel-hatsim --link "$link" --version 3 \
  --node 1001:7:62:500:0114 --quiet
check "the hat simulator makes its link $link" wait_for 10 ct test -e "$link"
port=1883
ct sed -i -e "s#^device = .*#device = $link#" -e "s#^host = .*#host = 127.0.0.1#" \
  -e "s#^port = .*#port = $port#" /etc/ostrel/ostrel.conf

# --- start: active only after READY, with a status line that says something --------------------
c_first=$(cursor)
check "systemctl start returns once the daemon is ready" ct systemctl start ostrel
check "the unit is active" unit_is ActiveState active
check "the status names the hat protocol and the broker connection" wait_for 15 status_useful
note "status: $(prop ostrel.service StatusText)"
check "a reading reaches mosquitto" reading "$port" 30
check "the daemon runs as qrd" runs_as_qrd

# --- reload: the configuration is read again, in the same process ------------------------------
ct systemd-run -q --unit=ostrel-mosq2 /usr/sbin/mosquitto -p 1884
wait_for 10 broker_listens 1884 || true
pid=$(prop ostrel.service MainPID)
port=1884
ct sed -i -e "s#^port = .*#port = $port#" /etc/ostrel/ostrel.conf
c0=$(cursor)
check "systemctl reload succeeds" ct systemctl reload ostrel
# The gateway announces itself, retained, on the broker it connects to: only this one's port
# changed, so only a re-read configuration leads there.
check "the daemon connects to the broker named by the re-read configuration" announced "$port" 30
[ "$ok" = 1 ] || journal_since "$c0" -u ostrel -u ostrel-mosq2 | grep -v -e '^Sensor #' \
  -e '^Garbage' | tail -n 20 | sed 's/^/     journal: /' || true
check "reload kept the process" unit_is MainPID "$pid"
# The simulator, like a board behind a USB serial adapter, resets when the port is opened again.
check "after reload a reading reaches that broker" reading "$port" 30
conf=$(ct cat /etc/ostrel/ostrel.conf)

# --- the watchdog, shortened to 6 s by a runtime drop-in to keep this quick ----------------------
dropin ostrel.service watchdog $'[Service]\nWatchdogSec=6'
ct systemctl daemon-reload
ct systemctl restart ostrel || true
check "the daemon runs before it is stopped" unit_is ActiveState active
pid=$(prop ostrel.service MainPID)
restarts=$(prop ostrel.service NRestarts)
c0=$(cursor)
[ "$pid" -gt 0 ] && ct kill -STOP "$pid"
t0=$SECONDS
check "a stopped daemon is killed by the watchdog and restarted" \
  wait_for 40 watchdog_restarted "$pid" "$restarts" "$c0"
note "restarted $((SECONDS - t0)) s after SIGSTOP"

check "the restarted daemon publishes again" reading "$port" 30
ct rm /run/systemd/system/ostrel.service.d/watchdog.conf
ct systemctl daemon-reload

# --- a broken configuration: exit status 2 and no restart ---------------------------------------
ct sed -i -e '/^speed = /d' /etc/ostrel/ostrel.conf
ct systemctl restart ostrel 2>/dev/null || true
# After a failure the unit is either "failed" (no restart coming) or waiting to be restarted.
wait_for 20 failed_or_restarting || true
check "a broken configuration ends the daemon with exit status 2" unit_is ExecMainStatus 2
# "failed", not "activating (auto-restart)": no restart is pending.
check "and systemd does not restart it" unit_is ActiveState failed
printf '%s\n' "$conf" | ct tee /etc/ostrel/ostrel.conf >/dev/null
ct systemctl reset-failed ostrel

# --- a slow timedated: readings still flow soon after start ------------------------------------
dropin systemd-timedated.service slow $'[Service]\nExecStartPre=/bin/sleep 2'
ct systemctl daemon-reload
ct timedatectl set-ntp true || true
ct systemctl stop systemd-timedated
c0=$(cursor)
t0=$SECONDS
ct systemctl restart --no-block ostrel
check "with a slow timedated a reading arrives within 30 s of start" reading "$port" 30
note "first reading after $((SECONDS - t0)) s"
journal_since "$c0" -u ostrel | grep -Ei 'timed out|timedatectl|time synchronization|NTP' |
  head -n 10 | sed 's/^/     journal: /' || true
ct systemctl stop ostrel
check "automatic time synchronisation is on after the daemon stopped" wait_for 20 ntp_is yes
ct rm /run/systemd/system/systemd-timedated.service.d/slow.conf
ct systemctl daemon-reload

# --- a slow switch of automatic synchronisation ------------------------------------------------
# Where the host clock is not synchronised (never, here) the daemon switches automatic
# synchronisation off to set the clock from the hat's; it must switch it on again, also when a
# step failed (the container may not set the clock) or timed out, and at exit.
# timedated enables or disables its synchroniser and then has systemd reload: a generator that
# sleeps makes every "set-ntp" take that long. 20 s is longer than the daemon waits for the
# command, so the switch-off times out in the daemon while timedated still carries it out.
switch_delay=${OSTREL_NTP_SWITCH_DELAY:-20}
ct timedatectl set-ntp true || true
ct mkdir -p /run/systemd/system-generators
ct bash -c "printf '#!/bin/sh\nsleep $switch_delay\n' >/run/systemd/system-generators/ostrel-test-slow
  chmod 755 /run/systemd/system-generators/ostrel-test-slow"
ct systemctl daemon-reload
c0=$(cursor)
ct systemctl restart --no-block ostrel
if wait_for 30 logged_since "$c0" 'Disabling OS: automatic time'; then
  # timedated carries the switch out whatever became of the command that asked for it: it
  # stops its synchroniser first, and only "set-ntp true" starts it again.
  check "the slow switch-off took effect" wait_for $((switch_delay + 15)) synchroniser_stopped "$c0"
  check "after a slow set-ntp false the daemon switched synchronisation on again" \
    wait_for $((2 * switch_delay + 20)) ntp_is yes
else
  check "the daemon switched automatic time synchronisation off" false
fi
journal_since "$c0" -u ostrel | grep -Ei 'timed out|time synchronization|NTP' |
  head -n 10 | sed 's/^/     journal: /' || true
logged_since "$c0" "set-ntp false.*timed out" ||
  note "the daemon's set-ntp false did not time out: OSTREL_NTP_SWITCH_DELAY is too short"
ct systemctl stop ostrel
check "after a slow switch automatic time synchronisation is on once the daemon stopped" \
  wait_for $((switch_delay + 15)) ntp_is yes
ct rm /run/systemd/system-generators/ostrel-test-slow
ct systemctl daemon-reload
check "sudo in the unit logs no pam_limits failures" not_logged "$c_first" pam_limits

# --- purge keeps the state directory ----------------------------------------------------------
ct bash -c 'printf status >/var/quorind-gateway/1001.status
  chown qrd:qrd /var/quorind-gateway/1001.status' || true
check "purge succeeds" ct bash -c 'apt-get purge -y -q ostrel >/root/apt-purge.log 2>&1'
[ "$ok" = 1 ] || ct cat /root/apt-purge.log
check "purge removed the unit" ct test ! -e /lib/systemd/system/ostrel.service
check "purge kept the state directory and its files" ct bash -c \
  '[ "$(cat /var/quorind-gateway/1001.status)" = status ] && [ -s /var/quorind-gateway/gateway.uid ]'

if [ "$fail" != 0 ]; then
  echo "--- ostrel's journal (last 80 lines)"
  ct journalctl -q -o short-monotonic --no-pager -u ostrel | grep -v -e ' Sensor #' \
    -e ' Garbage Msg' | tail -n 80 || true
fi
stop_container
if [ "$fail" = 0 ]; then echo "systemd_boot_test: OK"; else echo "systemd_boot_test: FAILED" >&2; fi
exit "$fail"
