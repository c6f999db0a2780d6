#!/bin/sh
# Makes the Debian package with cpack, checks its control data and contents, unpacks it into a
# temporary root and runs audiosim from there.
#
# Usage: debian_package_test.sh BUILD_DIR
set -eu
build=$1
root=$(mktemp -d "${TMPDIR:-/tmp}/korvane-deb-XXXXXX")
daemon=""
cleanup() {
    [ -z "$daemon" ] || kill -KILL "$daemon" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$root/package" >"$root/cpack.log" 2>&1 ||
    { cat "$root/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$root"/package/korvane_*.deb)
[ "$(dpkg-deb -f "$deb" Package)" = korvane ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Section)" = sound ] || fail "section"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no shared-library dependencies: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -c "$deb" | grep -q " ./usr/bin/audiosim$" || fail "no /usr/bin/audiosim in the package"
dpkg-deb -f "$deb" Depends | grep -q libpipewire-0.3 || fail "no dependency on the PipeWire library"
dpkg-deb -f "$deb" Recommends | grep -q "pipewire, wireplumber" || fail "does not recommend PipeWire"
dpkg-deb -e "$deb" "$root/control"
grep -q "systemctl --global enable korvane-driver.service" "$root/control/postinst" || fail "the driver is not enabled"

dpkg-deb -x "$deb" "$root/installed"
sh "$(dirname "$0")/check_layout.sh" "$root/installed/usr" /usr/bin/korvane-driver

export XDG_RUNTIME_DIR="$root/run" XDG_DATA_HOME="$root/data" TMPDIR="$root/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset AUDIOSIM_SOCKET AUDIOSIM_BINARY AUDIOSIM_CONFIG
# The daemon is the one started below; a client asking too early must not start a second one.
export AUDIOSIM_AUTOSPAWN=0
"$root/installed/usr/bin/audiosim" server >/dev/null 2>&1 &
daemon=$!
tries=0
until "$root/installed/usr/bin/audiosim" devices 2>/dev/null | grep -q "audio.ravlin.stereo.v1"; do
    tries=$((tries + 1))
    [ "$tries" -le 400 ] || fail "the packaged audiosim does not serve"
    sleep 0.05
done
echo "package installs and runs"
