# SPDX-License-Identifier: MIT
"""What only the kernel's own serial drivers can prove, one guest boot per case.

    vm_tests.py CASE BUILD_DIR

Cases: identity-load-verify, verify-gone, watch, pulled, pci-8250 (an FTDI adapter's
ftdi_sio and the 8250 driver, the simulated receiver on the host), usb-acm, usb-acm-watch (a
receiver with a USB port of its own under cdc_acm, the simulated receiver in the guest). Exit 0
when the case held, 1 with the reasons when it did not. Each case leaves QEMU's, the guest
console's and the simulators' logs in BUILD_DIR/vm/CASE/, and each check with its outcome in
checks.txt there.
"""

import json
import os
import shutil
import sys
import time

from machine import GADGET_IDS, GADGETS, UDCS, Machine, Simulator, VmError

SERIAL = "MRV00001"
BY_ID = "/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_{}-if00-port0"
USB0 = "/dev/ttyUSB0"
COM_USB0 = 33  # ttyUSB0 is COM33
# How soon after the adapter is pulled a load must say so.
PULL_NOTICED_S = 5.0
LOAD_S = 300
IMAGE_BYTES = "136352"
# Receivers with a USB port of their own: the one loaded, and the one whose port goes for good.
ACM_SERIAL = "W6ACM0001"
ACM_SERIAL_GONE = "W6ACM0002"
ACM0 = "/dev/ttyACM0"
COM_ACM0 = 65  # ttyACM0 is COM65, ttyACM1 COM66
# How soon after the receiver's own port left the bus for good a load must say so.
GONE_NOTICED_S = 2.0
# The guest's files the cases leave behind for a look afterwards.
GUEST_LOGS = "/tmp/*.out /tmp/*.err /tmp/*.json"


class Case:
    def __init__(self, build, name):
        self.build = build
        self.work = os.path.join(build, "vm", name)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.failures = []
        self.sims = []
        self.machine = None

    def sim(self, name, *options):
        s = Simulator(os.path.join(self.build, "sim", "morvane-sim"), self.work, name, *options)
        self.sims.append(s)
        return s

    def boot(self, **kw):
        started = time.monotonic()
        self.machine = Machine(self.build, self.work, **kw)
        print(f"guest ready in {time.monotonic() - started:.1f} s", flush=True)
        return self.machine

    def check(self, ok, what, detail=""):
        line = ("ok   " if ok else "FAIL ") + what
        print(line, flush=True)
        with open(os.path.join(self.work, "checks.txt"), "a") as f:
            f.write(line + "\n")
        if not ok:
            self.failures.append(what + (f"\n{detail}" if detail else ""))

    def plug(self, sim, serial):
        device = self.machine.plug(sim.pty, serial)
        self.machine.wait_for(BY_ID.format(serial))
        return device

    def close(self):
        if self.machine:
            self.machine.fetch(GUEST_LOGS, os.path.join(self.work, "guest"))
            self.machine.close()
        for s in self.sims:
            s.stop()


def load_then_pull(case, m, sim, device, replug_after_s):
    """A verified load; at the receiver's restart its port leaves the bus, as the receiver's own
    USB port does, and comes back `replug_after_s` later (never, when None)."""
    m.start("load", f"morvane-cli --com {COM_USB0} --verify")
    sim.wait_restart(LOAD_S)
    m.pull(device)
    if replug_after_s is not None:
        time.sleep(replug_after_s)
        m.plug_again(device)
    return m.finish("load", 120)


def identity_load_verify(case):
    rx = case.sim("rx")
    m = case.boot()
    device = case.plug(rx, SERIAL)
    _, listed = m.run("morvane-cli --list --json")
    ports = [json.loads(line) for line in listed.splitlines() if line.startswith("{")]
    usb0 = next((p for p in ports if p["device"] == USB0), None)
    case.check(usb0 is not None, "--list names ttyUSB0", listed)
    if usb0:
        usb = usb0.get("usb") or {}
        case.check((usb.get("vid"), usb.get("pid"), usb.get("serial")) == ("0403", "6001", SERIAL),
                   "its adapter is 0403:6001 with QEMU's serial number", listed)
        case.check(usb0.get("stable_name") == BY_ID.format(SERIAL),
                   "its stable name is the by-id link udev made", listed)
        _, target = m.run(f"readlink -f {BY_ID.format(SERIAL)}")
        case.check(target.strip() == USB0, "the by-id link leads to ttyUSB0", target)

    rc, out, err, _ = load_then_pull(case, m, rx, device, 3)
    case.check(rc == 0, "a load through ftdi_sio, verified over the port's return: exit 0",
               f"exit {rc}\n{out}{err}")
    case.check("Verified: the receiver reports firmware 1.22" in out + err,
               "the verdict is \"Verified ... 1.22\"", out + err)
    transfer = rx.summary()["transfer"]
    case.check(transfer["image_matches"] and str(transfer["bytes_received"]) == IMAGE_BYTES,
               "the simulated receiver got the image byte for byte", json.dumps(transfer))
    rates = {c["rate"] for c in rx.summary()["commands"]}
    case.check(19200 in rates and 9600 in rates,
               "the rate changes reached the receiver through the driver", str(rates))


def verify_gone(case):
    rx = case.sim("rx")
    m = case.boot()
    device = case.plug(rx, SERIAL)
    rc, out, err, _ = load_then_pull(case, m, rx, device, None)
    case.check(rc == 5, "a port that stays away after the restart: exit 5", f"exit {rc}\n{out}{err}")
    case.check("went away when the receiver restarted" in out + err,
               "the verdict says the port went away", out + err)


def output_of(m, name, text, timeout):
    """What a command started in the guest wrote so far, once it holds `text` (or the time is
    up)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        out = m.run(f"cat /tmp/{name}.out /tmp/{name}.err")[1]
        if text in out:
            return out
        time.sleep(0.5)
    return m.run(f"cat /tmp/{name}.out /tmp/{name}.err")[1]


def watch(case):
    rx = case.sim("rx")
    m = case.boot()
    m.start("watch", f"morvane-cli --watch --match 0403:6001:{SERIAL}")

    def wait_output(text, timeout):
        return output_of(m, "watch", text, timeout)

    # A port there before the watch looked is left alone: plug once it has looked.
    started = time.monotonic()
    out = wait_output("Watching for receivers", 90)
    if "Watching for receivers" not in out:
        raise VmError("the watch did not start:\n" + out)
    print(f"the watch looked in {time.monotonic() - started:.1f} s", flush=True)
    device = case.plug(rx, SERIAL)
    rx.wait_heard("$JCONN,X", 60)
    rx.wait_restart(LOAD_S)
    m.pull(device)
    time.sleep(3)
    m.plug_again(device)
    out = wait_output("verified — unplug", 120)
    case.check("done 1.22, verified — unplug" in out, "plugged: loaded, verified, \"unplug\"", out)
    m.pull(device)
    m.wait_for(USB0, present=False)
    # Plugged back only once the watch saw it gone: it lists the ports once a second, and a port
    # back within that second is the same port to it, never unplugged.
    out = wait_output("unplugged", 30)
    case.check("unplugged" in out, "pulled: the watch sees it go", out)
    m.plug_again(device)
    out = wait_output("skipped — unplug", 120)
    case.check("already 1.22, skipped — unplug" in out,
               "plugged again, the same receiver now current: skipped", out)
    m.signal("watch")
    rc, out, err, _ = m.finish("watch", 30)
    case.check(rc == 0, "an idle Ctrl-C ends the watch with exit 0", f"exit {rc}\n{out}{err}")
    _, history = m.run("morvane-cli --history")
    lines = history.splitlines()
    case.check(any("verified" in line and "not-verified" not in line for line in lines)
               and any("skipped" in line for line in lines),
               "the guest's record of loads holds both results", history)


def pulled(case):
    m = case.boot()

    # During detection, while a second morvane-cli asks for the same port.
    rx = case.sim("detect", "--only-rate", "115200")
    device = case.plug(rx, "MRV00011")
    m.start("detect", f"morvane-cli --com {COM_USB0}")
    time.sleep(2)
    rc, out = m.run(f"morvane-cli --probe --com {COM_USB0} 2>&1")
    case.check(rc == 2 and "morvane-cli (pid" in out,
               "a second morvane-cli on the same ttyUSB0 is refused, the holder named",
               f"exit {rc}\n{out}")
    rx.wait_heard("$JCONN,X", 30)
    time.sleep(6)
    phases = [("detect", device, "during detection")]

    def pull_and_judge(name, device, phase):
        pulled_at = time.monotonic()
        m.pull(device)
        rc, out, err, _ = m.finish(name, 120)
        noticed = time.monotonic() - pulled_at
        text = out + err
        case.check(rc != 0 and "Complete" not in text,
                   f"pulled {phase}: a failure, never \"Complete\"", f"exit {rc}\n{text}")
        case.check("went away" in text and phase in text,
                   f"pulled {phase}: the port went away, and when", text)
        case.check(noticed <= PULL_NOTICED_S,
                   f"pulled {phase}: said within {PULL_NOTICED_S:.0f} s (took {noticed:.1f} s)")

    pull_and_judge(*phases[0])

    # During the fixed waits before the image, and in the middle of the image.
    for name, serial, after_s, phase in (("waits", "MRV00012", 3, "before the image"),
                                         ("image", "MRV00013", 30, "during the image")):
        rx = case.sim(name)
        device = case.plug(rx, serial)
        m.start(name, f"morvane-cli --com {COM_USB0}")
        rx.wait_heard("$JAPPTRANSFER", 90)
        time.sleep(after_s)
        pull_and_judge(name, device, phase)
        m.wait_for(USB0, present=False)

    _, history = m.run("morvane-cli --history 3")
    case.check(history.count("failed") == 3, "the record holds \"failed\" for each", history)


def pci_8250(case):
    rx = case.sim("rx")
    m = case.boot(pci_serial_pty=rx.pty)
    # The one ttyS whose device is a PCI function (it has a vendor id).
    _, found = m.run("ls /sys/class/tty/ttyS*/device/vendor")
    tty = "/dev/" + found.split("/")[4] if found.startswith("/sys/class/tty/") else found
    case.check(tty.startswith("/dev/ttyS"), "the 8250 PCI port is a ttyS", tty)
    if not tty.startswith("/dev/ttyS"):
        return
    rc, out = m.run(f"morvane-cli --probe --port {tty} 2>&1", timeout=120)
    case.check(rc == 0 and "Receiver found" in out, "a probe through 8250_pci", f"exit {rc}\n{out}")
    m.start("load", f"morvane-cli --port {tty}")
    rc, out, err, _ = m.finish("load", LOAD_S)
    case.check(rc == 0, "a load through 8250_pci: exit 0", f"exit {rc}\n{out}{err}")
    transfer = rx.summary()["transfer"]
    case.check(transfer["image_matches"], "byte for byte", json.dumps(transfer))


def guest_sim(m, name, device, *options, bus=None):
    """The simulated receiver in the guest, on the device side of its own USB port; ready once
    it named the device it serves. `bus`: a shell command that reads what the receiver says on
    stdout after that first line ("restarting"), playing the bus it is plugged into."""
    command = (f"morvane-sim --device {device} --usb-native --report /tmp/{name}.json "
               + " ".join(options))
    if bus:
        m.run(f"({command} 2>/tmp/{name}.err | tee /tmp/{name}.out | (read path; {bus})) &")
    else:
        m.start(name, command)
    if device not in output_of(m, name, device, 30):
        raise VmError(f"the simulated receiver {name} did not start in the guest")


def guest_report(m, name):
    """The guest simulator's report, once it has ended."""
    m.signal(name, "TERM")
    m.finish(name, 30)
    return json.loads(m.run(f"cat /tmp/{name}.json")[1])


def by_id(serial):
    return f"/dev/serial/by-id/usb-Tundro_W6_{serial}-if00"


def usb_acm(case):
    """Receivers with a USB port of their own, two side by side: the first one's identity, and a
    verified load across its drop-off at the restart, which the simulated receiver makes itself
    by taking its gadget off the bus; meanwhile the second one's port held, and gone for good in
    the middle of the image."""
    m = case.boot(gadget=True)
    verified_side = m.make_gadget("w6", ACM_SERIAL)
    gone_side = m.make_gadget("w6b", ACM_SERIAL_GONE)
    m.gadget_on("w6", UDCS[0])
    m.wait_for(by_id(ACM_SERIAL))
    m.gadget_on("w6b", UDCS[1])
    m.wait_for(by_id(ACM_SERIAL_GONE))
    guest_sim(m, "rx", verified_side, "--gadget", f"{GADGETS}/w6", "--drop-port-on-restart", "3")
    guest_sim(m, "rx-gone", gone_side)

    _, listed = m.run("morvane-cli --list --json")
    ports = [json.loads(line) for line in listed.splitlines() if line.startswith("{")]
    acm0 = next((p for p in ports if p["device"] == ACM0), None)
    case.check(acm0 is not None and acm0["port"] == f"COM{COM_ACM0}",
               "--list names ttyACM0 as COM65", listed)
    if acm0:
        usb = acm0.get("usb") or {}
        case.check((usb.get("vid"), usb.get("pid"), usb.get("serial")) ==
                   (*GADGET_IDS, ACM_SERIAL), "with the gadget's ids and serial number", listed)
        case.check(acm0.get("stable_name") == by_id(ACM_SERIAL),
                   "and its by-id link as stable name", listed)

    m.start("load", f"morvane-cli --com {COM_ACM0} --verify")
    m.start("gone", f"morvane-cli --com {COM_ACM0 + 1}")
    output_of(m, "gone", "Updating Firmware", 120)
    time.sleep(5)
    rc, out = m.run(f"morvane-cli --probe --com {COM_ACM0 + 1} 2>&1")
    case.check(rc == 2 and "morvane-cli (pid" in out,
               "a second morvane-cli on a held ttyACM port is refused, the holder named",
               f"exit {rc}\n{out}")
    gone_at = m.gadget_off("w6b")
    rc, out, err, _ = m.finish("gone", 60)
    noticed = m.ended_at("gone") - gone_at
    text = out + err
    case.check(rc != 0 and "Complete" not in text, "gone during the image: a failure",
               f"exit {rc}\n{text}")
    case.check("went away during the image" in text, "\"went away during the image\"", text)
    case.check(noticed <= GONE_NOTICED_S,
               f"said within {GONE_NOTICED_S:.0f} s (took {noticed:.2f} s)")

    rc, out, err, waited = m.finish("load", LOAD_S)
    case.check(rc == 0, "a load through cdc_acm, verified across the drop-off: exit 0",
               f"exit {rc}\n{out}{err}")
    case.check("Verified: the receiver reports firmware 1.22" in out + err,
               "the verdict is \"Verified ... 1.22\"", out + err)
    transfer = guest_report(m, "rx")["transfer"]
    case.check(transfer["image_matches"] and str(transfer["bytes_received"]) == IMAGE_BYTES,
               "the receiver got the image byte for byte", json.dumps(transfer))


def usb_acm_watch(case):
    """A watch across the receiver's drop-off at its restart, the harness playing the bus: the
    receiver comes back on the other controller, another place on the bus."""
    m = case.boot(gadget=True)
    side = m.make_gadget("w6", ACM_SERIAL)
    guest_sim(m, "rx", side, bus=f"read restarting; echo >{GADGETS}/w6/UDC; sleep 3; "
                                 f"echo {UDCS[1]} >{GADGETS}/w6/UDC; cat >/dev/null")
    vid, pid = GADGET_IDS
    m.start("watch", f"morvane-cli --watch --match {vid}:{pid}:{ACM_SERIAL}")
    out = output_of(m, "watch", "Watching for receivers", 90)
    if "Watching for receivers" not in out:
        raise VmError("the watch did not start:\n" + out)
    m.gadget_on("w6", UDCS[0])
    out = output_of(m, "watch", "verified — unplug", LOAD_S)
    case.check("done 1.22, verified — unplug" in out,
               "--match VID:PID:SERIAL took the receiver: loaded, verified, \"unplug\"", out)
    _, listed = m.run("morvane-cli --list --json")
    case.check('"location":"4-' in listed, "it came back at another place on the bus", listed)
    # A few of the watch's listings after the load: time to take it for a new receiver.
    time.sleep(5)
    out = m.run("cat /tmp/watch.out /tmp/watch.err")[1]
    case.check(out.count("plugged (") == 1 and "unplugged" not in out and "skipped —" not in out,
               "the watch knows it for the receiver it loaded, not a new one", out)
    m.signal("watch")
    rc, out, err, _ = m.finish("watch", 30)
    case.check(rc == 0, "an idle Ctrl-C ends the watch with exit 0", f"exit {rc}\n{out}{err}")
    _, history = m.run("morvane-cli --history")
    loads = [line for line in history.splitlines() if "COM" in line]
    case.check(len(loads) == 1 and "verified" in loads[0] and "not-verified" not in loads[0],
               "the record holds one load, verified", history)


CASES = {
    "identity-load-verify": identity_load_verify,
    "verify-gone": verify_gone,
    "watch": watch,
    "pulled": pulled,
    "pci-8250": pci_8250,
    "usb-acm": usb_acm,
    "usb-acm-watch": usb_acm_watch,
}


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in CASES:
        print(__doc__, file=sys.stderr)
        return 2
    name, build = sys.argv[1], os.path.abspath(sys.argv[2])
    case = Case(build, name)
    started = time.monotonic()
    try:
        CASES[name](case)
    except VmError as e:
        case.failures.append(str(e))
        print(f"FAIL {e}", flush=True)
    finally:
        case.close()
    print(f"{name}: {time.monotonic() - started:.0f} s, logs in {case.work}")
    for failure in case.failures:
        print("\n--- " + failure, file=sys.stderr)
    return 1 if case.failures else 0


if __name__ == "__main__":
    sys.exit(main())
