#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/install refuses a port radio cannot be built for before it
# installs anything.  In front on PATH, apt-get, apt-mark, dpkg, dpkg-query,
# sudo, cmake and cpack are stand-ins that write down their call and fail:
# each bad port must end with status 2 and a message that names it, none of
# them called.  A good port then shows that the stand-ins are in the way.
#
#   install_refuses_a_bad_port.sh SOURCE_DIR
set -euo pipefail
install=$1/scripts/install
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
for tool in apt-get apt-mark dpkg dpkg-query sudo cmake cpack; do
  printf '#!/bin/sh\necho %s >>"%s/called"\nexit 1\n' "$tool" "$bin" >"$bin/$tool"
  chmod +x "$bin/$tool"
done

for port in ttyUSB0 /dev/../etc/shadow /dev/pts/0 '/dev/tty USB0' '/dev/a"b' \
  '/dev/a\b' /dev/serial/ /dev/ /dev /tmp/ttyUSB0 /dev/tty /dev/stdout ''; do
  status=0
  out=$(PATH=$bin:$PATH "$install" "$port" 2>&1) || status=$?
  [ "$status" -eq 2 ] || fail "'$port': status $status, wanted 2: $out"
  grep -qF "is not a port radio can be built for" <<<"$out" || fail "'$port': $out"
  [ ! -e "$bin/called" ] || fail "'$port': called $(paste -sd ' ' "$bin/called")"
done

out=$(PATH=$bin:$PATH "$install" /dev/serial/by-id/usb-radio_A1-if00-port0 2>&1) &&
  fail "a good port ended well with apt-get standing in: $out"
[ -s "$bin/called" ] || fail "a good port reached none of the stand-ins: $out"
echo "refused before anything was installed: ok"
