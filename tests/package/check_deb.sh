#!/usr/bin/env bash
# Checks a built package without installing it: the file layout and modes, RUNPATH and stripped
# binaries, the conffiles, the sudoers drop-in, the unit's architecture line, and that lintian
# reports no errors. Usage: check_deb.sh ostrel_<version>_<arch>.deb
set -euo pipefail
deb=$(realpath "$1")
arch=$(dpkg-deb -f "$deb" Architecture)
case "$arch" in
  amd64) triplet=x86_64-linux-gnu ;;
  arm64) triplet=aarch64-linux-gnu ;;
  armhf) triplet=arm-linux-gnueabihf ;;
  *) echo "check_deb: unexpected architecture '$arch'" >&2; exit 1 ;;
esac
# The target's system libraries: this machine's for its own architecture, else the sysroot the
# cross build used (scripts/sysroot), whose bin/qemu also runs the package's programs.
sysroot=
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  sysroot=${OSTREL_SYSROOT_CACHE:-/var/cache/ostrel-sysroot}/$arch
  [ -f "$sysroot/stamp" ] || { echo "check_deb: no $arch sysroot in $sysroot" >&2; exit 1; }
fi
libroot=${sysroot:+$sysroot/root}
work=$(mktemp -d /tmp/ostrel-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "check_deb: $*" >&2; fail=1; }

listing=$(dpkg-deb -c "$deb")
mode_of() { awk -v p="./$1" '$6 == p { print $1 " " $2 }' <<<"$listing"; }
libdir=usr/lib/$triplet/ostrel
for f in usr/bin/ostrel usr/bin/ostrel-hatsim; do
  [ "$(mode_of "$f")" = "-rwxr-xr-x root/root" ] || bad "$f missing or mode '$(mode_of "$f")'"
done
for l in ostrel ostrel_base ostrel_mqtt SensorMsgParser HatControl Timer ClockBeacon CipherLink HatProtocolV1 \
  HatProtocolV2 HatProtocolV3 example_parser; do
  [ -n "$(mode_of "$libdir/lib$l.so")" ] || bad "$libdir/lib$l.so missing"
done
[ "$(mode_of etc/ostrel/ostrel.conf)" = "-rw-r----- root/root" ] ||
  bad "etc/ostrel/ostrel.conf mode '$(mode_of etc/ostrel/ostrel.conf)'"
[ "$(mode_of etc/sudoers.d/ostrel)" = "-r--r----- root/root" ] ||
  bad "etc/sudoers.d/ostrel mode '$(mode_of etc/sudoers.d/ostrel)'"
for f in lib/systemd/system/ostrel.service usr/lib/sysusers.d/ostrel.conf \
  usr/lib/tmpfiles.d/ostrel.conf usr/share/doc/ostrel/copyright usr/share/man/man8/ostrel.8.gz \
  usr/share/man/man1/ostrel-node.1.gz usr/share/man/man1/ostrel-hatsim.1.gz; do
  [ -n "$(mode_of "$f")" ] || bad "$f missing"
done
for f in usr/share/doc/ostrel/examples/mosquitto-ostrel.acl \
  usr/share/doc/ostrel/examples/mosquitto-ostrel.conf; do
  [ "$(mode_of "$f")" = "-rw-r--r-- root/root" ] || bad "$f missing or mode '$(mode_of "$f")'"
done
# Decoder files: the configured directory, empty, and the example decoders beside the package.
[ "$(mode_of etc/ostrel/decoders.d/)" = "drwxr-xr-x root/root" ] ||
  bad "etc/ostrel/decoders.d/ missing or mode '$(mode_of etc/ostrel/decoders.d/)'"
for f in th-sensor door-contact energy-meter; do
  [ "$(mode_of "usr/share/ostrel/decoders/$f.conf")" = "-rw-r--r-- root/root" ] ||
    bad "usr/share/ostrel/decoders/$f.conf missing or mode '$(mode_of "usr/share/ostrel/decoders/$f.conf")'"
done
# Nothing of the project in the global library directories.
if grep -E "\./usr/lib/($triplet/)?lib[^/]*\.so" <<<"$listing"; then bad "library outside $libdir"; fi

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
for b in usr/bin/ostrel usr/bin/ostrel-hatsim; do
  runpath=$(readelf -d "$work/root/$b" | sed -n 's/.*RUNPATH.*\[\(.*\)\]/\1/p')
  [ "$runpath" = "\$ORIGIN/../lib/$triplet/ostrel" ] || bad "$b RUNPATH '$runpath'"
  # Every library it needs resolves: either a system one or one of ours beside the RUNPATH.
  for need in $(readelf -d "$work/root/$b" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'); do
    [ -e "$work/root/$libdir/$need" ] || [ -e "$libroot/usr/lib/$triplet/$need" ] ||
      [ -e "$libroot/lib/$triplet/$need" ] || bad "$b needs $need, found nowhere"
  done
done
for f in "$work/root"/usr/bin/* "$work/root/$libdir"/*.so; do
  file "$f" | grep -q "not stripped" && bad "$f not stripped"
done
# Every system library that a program or one of our libraries needs is in Depends, through the
# package that has it (CPack runs dpkg-shlibdeps with --ignore-missing-info, which drops silently
# what it cannot place). For a cross build the packages are the sysroot's.
admindir=()
[ -z "$sysroot" ] || admindir=(--admindir="$sysroot/dpkg")
depends=$(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/[[:space:]]//g')
for f in "$work/root"/usr/bin/* "$work/root/$libdir"/*.so; do
  for need in $(readelf -d "$f" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'); do
    [ -e "$work/root/$libdir/$need" ] && continue
    owner=$(dpkg-query "${admindir[@]}" -S "$libroot/lib/$triplet/$need" \
      "$libroot/usr/lib/$triplet/$need" 2>/dev/null | head -n 1 | sed 's/[:,].*//') || true
    if [ -z "$owner" ]; then
      bad "${f#"$work/root"/} needs $need, which no package has"
    elif ! grep -qxF "$owner" <<<"$depends"; then
      bad "${f#"$work/root"/} needs $need from $owner, which Depends does not name"
    fi
  done
done
for c in /etc/ostrel/ostrel.conf /etc/sudoers.d/ostrel; do
  grep -qx "$c" "$work/control/conffiles" || bad "$c is not a conffile"
done
grep -qx "License: Apache-2.0" "$work/root/usr/share/doc/ostrel/copyright" ||
  bad "copyright file does not name the licence"
grep -q "^Depends:.*sudo" "$work/control/control" || bad "no dependency on sudo"
grep -q "^Depends:.*libpaho-mqttpp3" "$work/control/control" || bad "shared-library dependencies missing"
grep -Eq "^# library = /usr/lib/$triplet/ostrel/libexample_parser\.so$" \
  "$work/root/etc/ostrel/ostrel.conf" || bad "the [PARSER] example does not name the installed parser"
grep -qx "decoders-dir = /etc/ostrel/decoders.d/" "$work/root/etc/ostrel/ostrel.conf" ||
  bad "the configuration does not name the decoder directory"
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  "$work/root/usr/bin/ostrel" --check-decoders "$work/root/usr/share/ostrel/decoders" ||
    bad "the example decoders fail their examples"
fi
visudo -c -q -f "$work/root/etc/sudoers.d/ostrel" || bad "sudoers drop-in does not parse"
want="native"
[ "$arch" = armhf ] && want="native arm"
grep -qx "SystemCallArchitectures=$want" "$work/root/lib/systemd/system/ostrel.service" ||
  bad "unit's SystemCallArchitectures is not '$want'"
grep -qx "ExecStart=/usr/bin/ostrel --config /etc/ostrel/ostrel.conf" \
  "$work/root/lib/systemd/system/ostrel.service" || bad "unit's ExecStart"
# Confinement must not regress (2.8 when this was written; the bare unit rated 9.6).
systemd-analyze security --offline=yes --threshold=30 \
  "$work/root/lib/systemd/system/ostrel.service" >"$work/security.txt" 2>&1 ||
  bad "unit's exposure above 3.0: $(tail -n 1 "$work/security.txt")"
tail -n 1 "$work/security.txt"

# The packaged daemon starts as it lies in the package (stripped, RUNPATH relative): natively, or
# under the sysroot's qemu.
version=$(dpkg-deb -f "$deb" Version)
out=$(${sysroot:+"$sysroot/bin/qemu"} "$work/root/usr/bin/ostrel" --version 2>&1) ||
  bad "ostrel --version fails: $out"
[ "$out" = "ostrel $version" ] || bad "ostrel --version says: $out"

# armhf is ARMv7 code. The preinst refuses an ARMv6 board, in one line naming the boards served,
# and lets the others through; the refusal is still needed as long as the daemon dies with an
# illegal instruction on an ARMv6 CPU (the Pi 1's ARM1176) while it runs on the emulator's default
# (above).
if [ "$arch" = armhf ]; then
  preinst=$work/control/preinst
  mkdir "$work/shim"
  preinst_as() { # preinst_as MACHINE ACTION: runs the preinst where `uname -m` says MACHINE
    printf '#!/bin/sh\necho %s\n' "$1" >"$work/shim/uname"
    chmod +x "$work/shim/uname"
    PATH="$work/shim:$PATH" sh "$preinst" "$2" 2>&1
  }
  if [ ! -x "$preinst" ]; then
    bad "no preinst refusing ARMv6"
  else
    for action in install upgrade; do
      if out=$(preinst_as armv6l "$action"); then
        bad "preinst $action accepts an armv6l machine"
      elif [ "$(wc -l <<<"$out")" != 1 ] || ! grep -q "from source" <<<"$out" ||
        ! grep -q "Raspberry Pi 2 v1.1 and later, 3, 4, 5, Zero 2 W" <<<"$out"; then
        bad "preinst's refusal is not one line naming the boards and the way out: $out"
      fi
    done
    for machine in armv7l armv8l aarch64; do
      out=$(preinst_as "$machine" install) || bad "preinst refuses $machine: $out"
      [ -z "$out" ] || bad "preinst on $machine says: $out"
    done
  fi
  # (stderr goes in the subshell too: the shell's own "Illegal instruction" report is expected.)
  rc=$(exec 2>/dev/null; QEMU_CPU=arm1176 "$sysroot/bin/qemu" "$work/root/usr/bin/ostrel" \
    --version >/dev/null; echo $?)
  if [ "$rc" = $((128 + 4)) ]; then
    echo "check_deb: ostrel on an ARM1176 (ARMv6) dies with SIGILL, as the preinst assumes"
  else
    bad "ostrel on an ARM1176 ended with status $rc, not SIGILL: does the preinst still need" \
      "to refuse ARMv6?"
  fi
fi

# lintian: errors fail; warnings are listed in the log.
lint=$(lintian --allow-root "$deb" 2>&1 || true)
echo "$lint"
if grep -q "^E:" <<<"$lint"; then bad "lintian reports errors"; fi
if grep -q "no-manual-page" <<<"$lint"; then bad "a program has no manual page"; fi
[ "$fail" = 0 ] && echo "check_deb: $(basename "$deb") OK"
exit "$fail"
