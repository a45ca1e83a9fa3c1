#!/usr/bin/env python3
"""The simulator's web panel in a real browser (headless Chromium).

    panel_test.py SIMULATOR CLIENT OUT_DIR

Runs inside a private network namespace (CTest starts it under unshare).
While the client plays a track, the page shows the title and a moving
position; "next" on the page reaches a watching client as a track change,
"disconnect" as disconnected_ipod, and a reply delay of 500 ms slows the
client's status down; the delay field shows the delay in force. The browser's console stays free of errors. A
screenshot is saved as OUT_DIR/web-panel.png. Exit code 77: skipped.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77


def skip(why):
    print("SKIPPED: " + why)
    sys.exit(SKIP)


simd, cli, out_dir = sys.argv[1:4]
# A cross build's programs run under the emulator it names.
emulator = os.environ.get("KIV_IPOD_EMULATOR", "").split()
chromium = shutil.which("chromium")
driver_path = shutil.which("chromedriver")
if not chromium or not driver_path:
    skip("Chromium is not installed (Debian chromium, chromium-driver)")
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    skip("Selenium is not installed (Debian python3-selenium)")

subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
work = tempfile.mkdtemp(prefix="kiv-panel-test.")
procs = []
failures = []


def check(ok, what):
    print(("ok: " if ok else "FAILED: ") + what, flush=True)
    if not ok:
        failures.append(what)


def wait_for(predicate, timeout=5.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    return predicate()


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


driver = None
try:
    simd_log = os.path.join(work, "simd.log")
    procs.append(subprocess.Popen(emulator + [simd, "--web", "0", "--ping-interval", "1"], stderr=open(simd_log, "w")))
    match = wait_for(lambda: re.search(r"web panel on (http://127\.0\.0\.1:\d+/)", read(simd_log)))
    if not match:
        sys.exit("the simulator did not start its panel:\n" + read(simd_log))
    url = match.group(1)
    subprocess.run(emulator + [cli, "play"], check=True, stdout=subprocess.DEVNULL)
    watch_out = os.path.join(work, "watch.out")
    procs.append(subprocess.Popen(emulator + [cli, "watch", "60"], stdout=open(watch_out, "w")))
    wait_for(lambda: "watching events" in read(watch_out))

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--window-size=1280,800", "--user-data-dir=" + os.path.join(work, "profile")]:
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(driver_path), options=options)

    def console_clean(after):
        errors = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
        check(not errors, "no console error after " + after + (": %s" % errors if errors else ""))

    def text(element_id):
        return driver.find_element(By.ID, element_id).text

    def press(element_id, status):
        driver.find_element(By.ID, element_id).click()
        check(wait_for(lambda: text("status") == status), "the page says '%s' (it says '%s')"
              % (status, text("status")))

    driver.get(url)
    title = wait_for(lambda: text("title") not in ("", "–") and text("title"))
    check(bool(title), "the title appears: %r" % title)
    check(wait_for(lambda: text("link") == "live"), "the event stream is live")
    first = text("position")
    check(wait_for(lambda: text("position") != first, 3.0), "the position moves (%s, then %s)"
          % (first, text("position")))
    check(driver.execute_script(
        "const d = document.getElementById('artwork').getContext('2d').getImageData(64, 64, 1, 1).data;"
        "return d[3] === 255;"), "the artwork is drawn")
    console_clean("loading the page")

    press("next", "next: done")
    check(wait_for(lambda: "event track_index_changed" in read(watch_out)), "watch prints the track change")
    check(wait_for(lambda: text("title") != title), "the page shows the next track")
    console_clean("next")

    press("hotplug", "hotplug: done")
    check(wait_for(lambda: "disconnected_ipod" in read(watch_out)), "watch prints disconnected_ipod")
    console_clean("disconnect")
    wait_for(lambda: "ipod_ready" in read(watch_out))

    delay = driver.find_element(By.ID, "delay-ms")
    delay.clear()
    delay.send_keys("500")
    press("delay", "delay: done")
    t0 = time.monotonic()
    status = subprocess.run(emulator + [cli, "status"], stdout=subprocess.PIPE, text=True)
    took = time.monotonic() - t0
    check(status.returncode == 0 and took >= 0.5, "kiv-ipod status takes %.2f s with replies delayed" % took)
    check(wait_for(lambda: "replies delayed by 500 ms" in text("active")), "the page lists the active fault")
    # A delay set elsewhere (a script, another page) shows in the field.
    urllib.request.urlopen(urllib.request.Request(url + "api/fault/delay?ms=250", method="POST"), timeout=5)
    check(wait_for(lambda: delay.get_attribute("value") == "250"),
          "the delay field shows the delay in force (%s)" % delay.get_attribute("value"))
    # The watching client stays connected (a status client leaves the list
    # when it closes): its session opening is listed.
    check(wait_for(lambda: "open_session" in text("clients")), "the page lists the client's requests")
    console_clean("delay replies")

    for button, status_text in [("previous", "previous: done"), ("play_pause", "play_pause: done"),
                                ("drop_next", "drop_next: done"), ("error_next", "error_next: done"),
                                ("clear", "clear: done")]:
        press(button, status_text)
        console_clean(button)
    driver.find_element(By.ID, "ignore_pings").click()
    check(wait_for(lambda: text("status") == "ignore_pings: done"), "stop answering pings")
    driver.find_element(By.ID, "bar").click()
    check(wait_for(lambda: text("status") == "seek: done"), "seek by clicking the bar")
    console_clean("the other buttons")

    os.makedirs(out_dir, exist_ok=True)
    shot = os.path.join(out_dir, "web-panel.png")
    driver.save_screenshot(shot)
    check(os.path.getsize(shot) > 0, "screenshot saved as " + shot)
finally:
    if driver:
        driver.quit()
    for p in reversed(procs):
        p.terminate()
        p.wait()
    shutil.rmtree(work, ignore_errors=True)

if failures:
    sys.exit("%d checks failed" % len(failures))
print("all checks passed")
