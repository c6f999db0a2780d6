#!/usr/bin/python3
"""The panel's pickers as a screen reader finds them over AT-SPI: each is known by its label (its
name, or the name of what it is labelled by), not by the item it shows.

Usage: accessibility_check.py PROBE. Runs inside a private D-Bus session (dbus-run-session) and starts
its own X server and accessibility bus, so it touches nothing of the user's."""
import os
import subprocess
import sys
import time

EXPECTED = ["Audio source", "Routing listening output", "Listening volume device"]


def wait_for(condition, what, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.1)
    sys.exit(f"accessibility_check: no {what} within {seconds} s")


def start_display():
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                              pass_fds=(write,), stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as display:
        number = display.readline().strip()
    if not number:
        sys.exit("accessibility_check: Xvfb did not start")
    return server, ":" + number


def combo_label(combo, pyatspi):
    """The combo box's own name, or that of the object it is labelled by."""
    for relation in combo.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            return relation.getTarget(0).name
    return combo.name


def main():
    probe_path = sys.argv[1]
    server, display = start_display()
    bus = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"], stderr=subprocess.DEVNULL)
    environment = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                       QT_ACCESSIBILITY="1")
    probe = subprocess.Popen([probe_path], env=environment, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        if probe.stdout.readline().strip() != "ready":
            sys.exit("accessibility_check: the probe did not start")
        import pyatspi  # only now: it connects to the accessibility bus when imported

        def application():
            desktop = pyatspi.Registry.getDesktop(0)
            for index in range(desktop.childCount):
                child = desktop.getChildAtIndex(index)
                if child is not None and child.get_process_id() == probe.pid:
                    return child
            return None

        def combos():
            app = application()
            if app is None:
                return None
            found = pyatspi.utils.findAllDescendants(app, lambda o: o.getRole() == pyatspi.ROLE_COMBO_BOX)
            return found if len(found) >= len(EXPECTED) else None

        labels = sorted(combo_label(c, pyatspi) for c in wait_for(combos, "combo boxes of the panel"))
        if labels != sorted(EXPECTED):
            sys.exit(f"accessibility_check: the pickers are known as {labels}, not {sorted(EXPECTED)}")
        print("accessibility_check: pickers known as", labels)
    finally:
        probe.stdin.close()
        probe.wait(timeout=10)
        bus.terminate()
        server.terminate()


if __name__ == "__main__":
    main()
