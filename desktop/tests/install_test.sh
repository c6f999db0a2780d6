#!/bin/sh
# Installs the build into a temporary prefix, checks the layout a desktop expects, and runs what was
# installed from there: audiosim, the routing helper and, when the build has it, the panel, which
# must find its bundle through bin/korvane, start its helper and get a route running.
#
# Usage: install_test.sh BUILD_DIR
set -eu
build=$1
root=$(mktemp -d "${TMPDIR:-/tmp}/korvane-install-XXXXXX")
pids=""
cleanup() {
    for pid in $pids; do kill -KILL "$pid" 2>/dev/null || true; done
    rm -rf "$root"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
    limit=$1; shift
    tries=0
    until "$@"; do
        tries=$((tries + 1))
        [ "$tries" -le $((limit * 20)) ] || return 1
        sleep 0.05
    done
}

prefix=$root/usr
cmake --install "$build" --prefix "$prefix" >/dev/null
sh "$(dirname "$0")/check_layout.sh" "$prefix"

# Every run below has its own directories; nothing of the user's is touched.
export XDG_RUNTIME_DIR="$root/run" XDG_DATA_HOME="$root/data" XDG_CONFIG_HOME="$root/config" \
       XDG_STATE_HOME="$root/state" TMPDIR="$root/run" HOME="$root/home"
mkdir -p "$XDG_RUNTIME_DIR" "$HOME"
chmod 700 "$XDG_RUNTIME_DIR"
unset AUDIOSIM_SOCKET AUDIOSIM_BINARY AUDIOSIM_CONFIG
# The daemon is the one started below; a client asking too early must not start a second one.
export AUDIOSIM_AUTOSPAWN=0

"$prefix/bin/audiosim" server >"$root/audiosim.log" 2>&1 &
pids="$pids $!"
wait_for 20 "$prefix/bin/audiosim" devices >/dev/null 2>&1 || fail "the installed audiosim does not serve"
"$prefix/bin/audiosim" devices | grep -q "audio.ravlin.stereo.v1" || fail "audiosim lists no KORVANE device"

# The installed helper waits for a request and quits on SIGTERM.
helper="$prefix/lib/korvane/KORVANE.app/Contents/Helpers/KORVANE Routing.app/Contents/MacOS/KORVANE Routing"
"$helper" &
helper_pid=$!
pids="$pids $helper_pid"
sleep 0.2
kill -TERM "$helper_pid"
wait "$helper_pid" || fail "the installed helper did not quit cleanly on SIGTERM"

if [ -x "$prefix/lib/korvane/KORVANE.app/Contents/MacOS/KORVANE" ]; then
    # First launch: the panel starts the computer's playback into the built-in speakers on its own.
    QT_QPA_PLATFORM=offscreen "$prefix/bin/korvane" >"$root/panel.log" 2>&1 &
    panel_pid=$!
    pids="$pids $panel_pid"
    status="$XDG_DATA_HOME/RAVLIN/status.json"
    running() { grep -q '"running"' "$status" 2>/dev/null; }
    wait_for 30 running || { cat "$root/panel.log" >&2; fail "no running route from the installed panel"; }
    helpers() { pgrep -f -x "$helper" >/dev/null; }
    helpers || fail "the panel did not start its installed helper"
    kill -TERM "$panel_pid"
    wait "$panel_pid" || fail "the installed panel did not quit cleanly on SIGTERM"
    wait_for 10 sh -c '! pgrep -f -x "$0" >/dev/null' "$helper" || fail "the helper outlived the panel"
fi
echo "installed layout runs"
