#!/bin/sh
# Installs the build into a temporary prefix and checks that the installed routing helper starts
# the installed audiosim daemon, found from the helper's own location: not through the build tree
# and not through the PATH. Usage: install_check.sh BUILD_DIR
set -eu
build="$1"
root=$(mktemp -d "${TMPDIR:-/tmp}/korvane-install-XXXXXX")
helperPid=""
daemonPid=""
# The daemon saves its state as it ends, so the temporary tree is removed only once both
# processes are gone; otherwise a late write races the removal.
cleanup() {
    if [ -n "$helperPid" ]; then
        kill "$helperPid" 2>/dev/null || true
        wait "$helperPid" 2>/dev/null || true
    fi
    if [ -n "$daemonPid" ]; then
        kill "$daemonPid" 2>/dev/null || true
        for _ in $(seq 1 200); do
            # Gone, or a zombie nobody has reaped yet: either way it writes nothing more.
            grep -q '^State:[[:space:]]*[^Z]' "/proc/$daemonPid/status" 2>/dev/null || break
            sleep 0.05
        done
        kill -KILL "$daemonPid" 2>/dev/null || true
    fi
    rm -rf "$root"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$root/prefix" >/dev/null
audiosim="$root/prefix/bin/audiosim"
[ -x "$audiosim" ] || { echo "FAIL: bin/audiosim is not installed"; exit 1; }
helper=$(find "$root/prefix" -type f -name "KORVANE Routing" | head -n 1)
[ -n "$helper" ] || { echo "FAIL: the routing helper is not installed"; exit 1; }

export XDG_RUNTIME_DIR="$root/run" XDG_DATA_HOME="$root/data" XDG_STATE_HOME="$root/state" XDG_CONFIG_HOME="$root/config"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset AUDIOSIM_BINARY AUDIOSIM_SOCKET AUDIOSIM_CONFIG AUDIOSIM_AUTOSPAWN
PATH=/usr/bin:/bin "$helper" 2>"$root/helper.log" &
helperPid=$!

# The daemon the helper started: "<program> server", in this check's runtime directory.
for _ in $(seq 1 400); do
    for process in /proc/[0-9]*; do
        command=$(tr '\0' ' ' < "$process/cmdline" 2>/dev/null || true)
        case "$command" in
        *"/audiosim server ")
            if tr '\0' '\n' < "$process/environ" 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR"; then
                daemonPid=${process#/proc/}
                started=${command% server }
            fi ;;
        esac
    done
    [ -n "$daemonPid" ] && break
    kill -0 "$helperPid" 2>/dev/null || { echo "FAIL: the helper ended: $(cat "$root/helper.log")"; helperPid=""; exit 1; }
    sleep 0.05
done
[ -n "$daemonPid" ] || { echo "FAIL: no daemon was started within 20 s: $(cat "$root/helper.log")"; exit 1; }
if [ "$started" != "$audiosim" ]; then
    echo "FAIL: the helper started $started, not the installed $audiosim"
    exit 1
fi
echo "The installed helper started $started."
