#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The window as a screen reader meets it, through AT-SPI: every control shown has a role and a
# name, the keyboard goes port list, Load, Exit, and after a load the status lines, the bar and
# the loader's box read what a user sees. Plays the user with keys only.
#
#   window_a11y_test.py WINDOW_PROGRAM
#
# Needs an X display (Qt's offscreen platform has no accessibility bridge) and a D-Bus session of
# its own; run it as
#   xvfb-run -a -s "-noreset -screen 0 1280x1024x24" dbus-run-session -- window_a11y_test.py PROGRAM
# so that the accessibility bus, started on demand, has the display too, and the display stays
# up when the bus, its first client, lets go of it.
import os
import re
import subprocess
import sys
import time

import pyatspi
from pyatspi import (STATE_ENABLED, STATE_FOCUSED, STATE_SHOWING,
                     RELATION_LABELLED_BY)

TIMEOUT_S = 20
passed = []
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    (passed if ok else failures).append(what)


def wait_for(find, what):
    deadline = time.monotonic() + TIMEOUT_S
    while time.monotonic() < deadline:
        found = find()
        if found:
            return found
        time.sleep(0.1)
    check(False, what)
    sys.exit(report())


def report():
    print("%d passed, %d failed" % (len(passed), len(failures)))
    return 1 if failures else 0


def descendants(node):
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is None:
            continue
        yield child
        yield from descendants(child)


def showing(node):
    return node.getState().contains(STATE_SHOWING)


def labels_of(node):
    for relation in node.getRelationSet():
        if relation.getRelationType() == RELATION_LABELLED_BY:
            return [relation.getTarget(i).name for i in range(relation.getNTargets())]
    return []


def application(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.get_process_id() == pid and app.childCount > 0:
            return app
    return None


def by_role(app, role, name=None):
    return [n for n in descendants(app)
            if showing(n) and n.getRoleName() == role and (name is None or n.name == name)]


def one(app, role, name):
    found = by_role(app, role, name)
    return found[0] if found else None


def focused(app):
    for node in descendants(app):
        if node.getState().contains(STATE_FOCUSED):
            return node
    return None


KEYSYMS = {"Tab": 0xFF09, "Down": 0xFF54, "Return": 0xFF0D, "space": 0x20}


def press(name):
    pyatspi.Registry.generateKeyboardEvent(KEYSYMS[name], None, pyatspi.KEY_SYM)
    time.sleep(0.2)


def main():
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
    window = subprocess.Popen([sys.argv[1]], env=env)
    try:
        app = wait_for(lambda: application(window.pid), "the window joins the desktop's tree")
        dialog = wait_for(lambda: one(app, "dialog", "Tundro W6 Firmware v1.22"),
                          "the window is a dialog named by its caption")

        # Every control on screen says what it is; the port list's name is its label, which
        # is how a screen reader on this desktop reads a combo box (its own name is the port).
        unnamed = [node.getRoleName() for node in descendants(dialog)
                   if showing(node) and node.getRoleName() not in ("list", "list item")
                   and not node.name and not labels_of(node)]
        check(not unnamed, "every control shown has a name: unnamed %s" % unnamed)
        for role, name in [
                ("label", "Com Port"), ("push button", "Load"), ("push button", "Exit"),
                ("panel", "Setup"), ("panel", "Status"), ("panel", "Instructions"),
                ("label", "Status: Not Connected"), ("label", "Firmware on Device: N/A"),
                ("label", "Firmware to be Loaded: 1.22"), ("label", "Remaining Time: N/A"),
                ("label", "Progress: N/A"), ("label", "0%"), ("progress bar", "Progress"),
                ("image", "Morvane Firmware Updater - Tundro W6"), ("image", "Warning")]:
            check(one(dialog, role, name) is not None, "%s %r" % (role, name))
        ports = by_role(dialog, "combo box")
        check(len(ports) == 1 and labels_of(ports[0]) == ["Com Port"],
              "the port list is labelled \"Com Port\"")
        bar = one(dialog, "progress bar", "Progress")
        check(bar is not None and bar.queryValue().currentValue == 0, "the bar reads 0")

        # The keyboard starts on the port list; a port picked with the arrow key lets Load
        # take the focus next, then Exit, then back to the list.
        port_list = ports[0]
        wait_for(lambda: focused(dialog) == port_list, "the port list has the focus at first")
        press("Down")
        load = one(dialog, "push button", "Load")
        wait_for(lambda: load.getState().contains(STATE_ENABLED), "a picked port enables Load")
        order = []
        for _ in range(3):
            press("Tab")
            node = focused(dialog)
            order.append(node.name if node is not None and node != port_list else "port list")
        check(order == ["Load", "Exit", "port list"],
              "Tab goes port list, Load, Exit and back: %s" % order)

        # Load through the keyboard; the loader's box is read and closed the same way.
        press("Tab")
        press("space")
        box = wait_for(lambda: next((n for n in descendants(app) if showing(n)
                                     and n.getRoleName() in ("alert", "dialog")
                                     and n.name != dialog.name), None),
                       "the loader's box appears")
        texts = [n.name for n in descendants(box) if n.getRoleName() == "label"]
        check(any(t.startswith("Load Completed") for t in texts),
              "the box reads \"Load Completed\": %s" % texts)
        press("Return")
        check(wait_for(lambda: one(dialog, "label", "Status: Firmware Update Complete"),
                       "the status line reads the load's end") is not None,
              "the status line reads \"Status: Firmware Update Complete\"")
        check(one(dialog, "label", "100%") is not None, "the percentage reads 100%")
        counters = [n.name for n in by_role(dialog, "label") if n.name.startswith("Progress: ")]
        check(len(counters) == 1 and re.fullmatch(r"Progress: (\d+)/\1", counters[0]) is not None,
              "the counter reads the whole image: %s" % counters)
        check(bar.queryValue().currentValue == 100, "the bar reads 100")

        # Exit, pressed by its accessible action, ends the program.
        exit_button = one(dialog, "push button", "Exit")
        exit_button.queryAction().doAction(0)
        check(window.wait(timeout=TIMEOUT_S) == 0, "Exit ends the program")
    finally:
        if window.poll() is None:
            window.kill()
            window.wait()
    return report()


if __name__ == "__main__":
    sys.exit(main())
