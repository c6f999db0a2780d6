#!/bin/sh
# Checks what an installation under PREFIX must hold.
#
# Usage: check_layout.sh PREFIX [DRIVER_PATH]
# DRIVER_PATH is where the systemd unit must find the driver (default PREFIX/bin/korvane-driver).
set -eu
prefix=$1
driver_path=${2:-$prefix/bin/korvane-driver}
fail() { echo "FAIL: $*" >&2; exit 1; }
present() { [ -f "$prefix/$1" ] || fail "missing $1"; }

bundle=lib/korvane/KORVANE.app
present "$bundle/Contents/Helpers/KORVANE Routing.app/Contents/Info.json"
[ -x "$prefix/$bundle/Contents/Helpers/KORVANE Routing.app/Contents/MacOS/KORVANE Routing" ] || fail "no helper program"
[ -x "$prefix/bin/audiosim" ] || fail "no bin/audiosim"
[ -x "$prefix/bin/korvane-driver" ] || fail "no bin/korvane-driver"
unit="$prefix/lib/systemd/user/korvane-driver.service"
present lib/systemd/user/korvane-driver.service
grep -q "^ExecStart=$driver_path$" "$unit" || fail "the unit does not start $driver_path: $(grep ExecStart "$unit")"
grep -q "^WantedBy=pipewire.service$" "$unit" || fail "the unit is not wanted by pipewire.service"
present share/applications/audio.ravlin.korvane.desktop
present share/metainfo/audio.ravlin.korvane.metainfo.xml
present share/icons/hicolor/scalable/apps/audio.ravlin.korvane.svg
for size in 16 24 32 48 64 128 256 512; do present "share/icons/hicolor/${size}x${size}/apps/audio.ravlin.korvane.png"; done

if [ -e "$prefix/$bundle/Contents/MacOS/KORVANE" ]; then
    present "$bundle/Contents/Info.json"
    grep -q '"CFBundleIdentifier": *"audio.ravlin.korvane"' "$prefix/$bundle/Contents/Info.json" || fail "panel Info.json"
    [ -L "$prefix/bin/korvane" ] || fail "bin/korvane is not a link"
    case "$(readlink "$prefix/bin/korvane")" in
        /*) fail "bin/korvane is an absolute link: the package could not be moved" ;;
    esac
    [ "$(readlink -f "$prefix/bin/korvane")" = "$(readlink -f "$prefix/$bundle/Contents/MacOS/KORVANE")" ] ||
        fail "bin/korvane does not lead to the bundle's program"
fi
