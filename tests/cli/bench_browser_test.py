#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The bench's page in a real browser: Debian's chromium, headless, driven by selenium, against
morvane-cli --watch --serve with simulated receivers plugged and pulled, in real time (about four
minutes: one verified load).

Four receivers are plugged at once: one on 1.21 (loaded and verified), one already on 1.22
(skipped), one that does not take the image (failed, not verified), and one that never answers
(left alone, then pulled). The page must show their tiles, progress that moves, the verified one
with 1.21 -> 1.22, the failed one with its headline, and the same after a reload. Twelve more
receivers join once the first image goes out, so that the screenshot at 1920x1080 shows sixteen tiles in every
state; it is kept in the artifacts folder (bench-page-16.png).

Usage: bench_browser_test.py CLI SIM ARTIFACTS
Exit status: 0 passed, 1 failed, 77 skipped (chromium, its driver or selenium missing).
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("skipped: python3-selenium is not installed (tools/deps.sh installs it)")
    sys.exit(77)

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")


# The twelve receivers that join: loaded, current, silent, and one whose line drops.
EXTRA = {0: [], 1: ["--firmware-version", "1.22"], 2: ["--silent"],
         3: ["--hangup-after-bytes", "60000"]}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Bench:
    """The watch and its receivers, in a devices folder of their own."""

    def __init__(self, cli, sim, work):
        self.cli, self.sim, self.work = cli, sim, work
        self.devices = os.path.join(work, "devices")
        os.mkdir(self.devices)
        self.env = dict(os.environ, MORVANE_DEVICES=self.devices)
        self.sims = {}
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/"
        self.out = open(os.path.join(work, "watch.jsonl"), "w")
        self.err = open(os.path.join(work, "watch.log"), "w")
        self.watch = subprocess.Popen(
            [cli, "--watch", "--serve", str(self.port), "--json", "--log",
             os.path.join(work, "loads.jsonl")], env=self.env, stdout=self.out, stderr=self.err)
        # The ports there when the watch starts are the PC's own: plug only once it watches.
        until("the page served", self.board, 10)

    def plug(self, com, *options):
        log = open(os.path.join(self.work, f"sim{com}.log"), "w")
        self.sims[com] = subprocess.Popen(
            [self.sim, "--com", str(com), "--rate", "115200", *options], env=self.env,
            stdout=subprocess.DEVNULL, stderr=log, start_new_session=True)

    def pull(self, com):
        self.sims[com].terminate()
        self.sims[com].wait()

    def board(self):
        with urllib.request.urlopen(self.url + "bench.json", timeout=5) as r:
            return json.load(r)

    def close(self):
        self.watch.terminate()
        try:
            self.watch.wait(20)
        except subprocess.TimeoutExpired:
            self.watch.kill()
        for p in self.sims.values():
            if p.poll() is None:
                p.terminate()
                p.wait()


def until(what, condition, bound):
    end = time.monotonic() + bound
    while time.monotonic() < end:
        try:
            got = condition()
            if got:
                return got
        except Exception:  # the page between two draws
            pass
        time.sleep(0.25)
    raise AssertionError(f"within {bound} s: {what}")


def tiles(driver):
    """Each tile as the page shows it: port -> (class, state text, detail, accessible name)."""
    return {t.find_element(By.CSS_SELECTOR, ".port").text: (
                t.get_attribute("class"), t.find_element(By.CSS_SELECTOR, ".state").text,
                t.find_element(By.CSS_SELECTOR, ".detail").text, t.get_attribute("aria-label"))
            for t in driver.find_elements(By.CSS_SELECTOR, "main article")}


def in_state(driver, port, state):
    t = tiles(driver).get(port)
    return t if t and t[0] == state else None


def check_page(bench, driver, artifacts):
    driver.get(bench.url)
    until("four tiles", lambda: len(tiles(driver)) == 4, 20)
    assert in_state(driver, "COM7", "waiting") or in_state(driver, "COM7", "plugged"), tiles(driver)

    first = until("COM7 loading", lambda: in_state(driver, "COM7", "loading"), 90)
    percent = int(first[2].split(" %")[0])
    later = until("COM7's progress moves",
                  lambda: (t := in_state(driver, "COM7", "loading")) and
                  int(t[2].split(" %")[0]) >= percent + 3 and t, 30)
    assert "left" in later[2], later
    # Twelve more: while the first ones end, these are at every stage.
    for com in range(11, 23):
        bench.plug(com, *EXTRA[com % 4])
    assert in_state(driver, "COM8", "skipped"), tiles(driver)["COM8"]

    bench.pull(10)  # the receiver that never answered goes
    until("COM10 unplugged", lambda: in_state(driver, "COM10", "unplugged"), 10)

    done = until("COM7 verified", lambda: in_state(driver, "COM7", "done"), 240)
    assert done[2] == "1.21 → 1.22", done
    assert "done" in done[3] and "1.22" in done[3], done
    failed = until("COM9 failed", lambda: in_state(driver, "COM9", "failed"), 30)
    assert failed[2].startswith("Not verified"), failed
    assert failed[3].startswith("COM9: failed, Not verified"), failed
    counts = driver.find_element(By.CSS_SELECTOR, "header .counts").text
    assert "1 verified" in counts and "skipped" in counts and "failed" in counts, counts

    # What has ended reads the same after a reload; loads still running may have moved on.
    ended = ("done", "skipped", "failed", "no-receiver", "unplugged")
    before = {p: t for p, t in tiles(driver).items() if t[0] in ended}
    driver.refresh()
    until("the same ended tiles after a reload",
          lambda: len(tiles(driver)) == 16 and all(tiles(driver)[p] == t for p, t in before.items()), 10)
    assert before["COM7"][0] == "done" and before["COM9"][0] == "failed", before
    until("sixteen tiles", lambda: len(tiles(driver)) == 16, 10)
    size = driver.execute_script("return [innerWidth, innerHeight]")
    assert size == [1920, 1080], size
    unscrolled = driver.execute_script(
        "const m = document.querySelector('main'); return m.scrollHeight <= m.clientHeight")
    assert unscrolled, "sixteen tiles fit without scrolling"
    driver.save_screenshot(os.path.join(artifacts, "bench-page-16.png"))


def main():
    cli, sim, artifacts = sys.argv[1:4]
    if not CHROMIUM or not DRIVER:
        print("skipped: chromium and chromium-driver are not installed (tools/deps.sh installs them)")
        return 77
    os.makedirs(artifacts, exist_ok=True)
    work = tempfile.mkdtemp(prefix="bench-page.")
    bench = Bench(cli, sim, work)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--window-size=1920,1080",
                "--force-device-scale-factor=1", "--disable-gpu"):
        options.add_argument(arg)
    driver = None
    try:
        bench.plug(7)
        bench.plug(8, "--firmware-version", "1.22")
        bench.plug(9, "--corrupt-after-bytes", "20000")
        bench.plug(10, "--silent")
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        # The page's own size, whatever the window around it takes.
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": 1920, "height": 1080, "deviceScaleFactor": 1,
                                "mobile": False})
        check_page(bench, driver, artifacts)
        print(f"passed; the screenshot: {os.path.join(artifacts, 'bench-page-16.png')}")
        return 0
    except AssertionError as e:
        print(f"FAILED: {e}")
        if driver:
            driver.save_screenshot(os.path.join(artifacts, "bench-page-failed.png"))
        print(open(os.path.join(work, "watch.log")).read()[-3000:])
        return 1
    finally:
        if driver:
            driver.quit()
        bench.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
