#!/usr/bin/env python3
"""The control panel in a real (headless) browser, against the real daemon on
the simulated driver, the bundled broker and the gateway; then the login and
refusal flows of the device, against the gateway refusing the anonymous
session as the device does by default (the packaged ACL and test users).

    panel_browser_test.py BUILD_DIR WWW_DIR

Exits 77 (skipped) without root or without chromium, chromedriver and
Selenium. The daemon always uses the default bus socket, so the test runs in
a private mount namespace with a scratch directory over it.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIP)


BUILD, WWW = (os.path.abspath(a) for a in sys.argv[1:3])
if os.geteuid() != 0:
    skip("needs root for a private mount namespace")
for tool in ("chromium", "chromedriver", "unshare"):
    if not shutil.which(tool):
        skip(tool + " is not installed (scripts/test.sh installs it)")
try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    skip("python3-selenium is not installed (scripts/test.sh installs it)")

if not os.environ.get("PANEL_TEST_INNER"):
    env = dict(os.environ, PANEL_TEST_INNER="1")
    sys.exit(subprocess.call(["unshare", "-m", "--propagation", "private",
                              sys.executable] + sys.argv, env=env))

SOCKET_DIR = "/var/run/ubus"
os.makedirs(SOCKET_DIR, exist_ok=True)
subprocess.check_call(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", SOCKET_DIR])

SCRATCH = tempfile.mkdtemp(prefix="panel-test.")
TRACE = os.path.join(SCRATCH, "trace.txt")
DAEMON_LOG = os.path.join(SCRATCH, "gimbalhub.log")
OUT_DIR = os.path.join(BUILD, "browser")
os.makedirs(OUT_DIR, exist_ok=True)
# Near the minimum, so that homing is short; 400 steps/s makes a 10-degree
# move last about a quarter of a second.
with open(os.path.join(SCRATCH, "gimbalhub.json"), "w") as f:
    f.write('{"MotorControl": {"PanMax": 177.5, "PanMin": -177.5, "TiltMax": 22.5, "TiltMin": -22.5,'
            ' "StepsPerRev": 4096, "PersistentFile": "%s/position.json"}}' % SCRATCH)
with open(os.path.join(SCRATCH, "position.json"), "w") as f:
    f.write('{"LastCameraPosition":{"Pan":-160,"Tilt":-15}}')

procs = {}


def wait_until(what, predicate, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def start_daemon():
    # An instrumented daemon needs the sanitizer runtime ahead of the simulator.
    preload = (os.environ.get("GIMBAL_TEST_PRELOAD_PREFIX", "") + " " +
               os.path.join(BUILD, "lib", "libsspsim.so")).strip()
    env = dict(os.environ, LD_PRELOAD=preload,
               SSP_SIM_SPEED="400", SSP_SIM_TRACE=TRACE)
    log = open(DAEMON_LOG, "a")
    procs["daemon"] = subprocess.Popen(
        [os.path.join(BUILD, "bin", "gimbalhub"), "-c", os.path.join(SCRATCH, "gimbalhub.json")],
        env=env, stderr=log, stdout=log)
    starts = len(re.findall("-> READY", open(DAEMON_LOG).read()))
    wait_until("the daemon to home", lambda: len(re.findall("-> READY", open(DAEMON_LOG).read())) > starts)


def stop(name):
    p = procs.pop(name, None)
    if p and p.poll() is None:
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(10)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def moves_in_trace(since):
    moves = []
    if os.path.exists(TRACE):
        for line in open(TRACE):
            fields = line.split()
            if len(fields) > 2 and fields[1] == "MOVE" and float(fields[0]) >= since and "result=0" in line:
                moves.append(dict(kv.split("=") for kv in fields[2:]))
    return moves


driver = None
failed = False
try:
    procs["broker"] = subprocess.Popen([os.path.join(BUILD, "bin", "ubusd")])
    wait_until("the broker", lambda: os.path.exists(SOCKET_DIR + "/ubus.sock"))
    start_daemon()
    procs["gateway"] = subprocess.Popen(
        [os.path.join(BUILD, "bin", "ubus-gateway"), "-l", "127.0.0.1:0", "-r", WWW, "-t", "5"],
        stdout=subprocess.PIPE, text=True)
    line = procs["gateway"].stdout.readline()
    url = re.search(r"http://\S+", line).group(0) + "gimbalhub/"

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1100,760",
                 "--user-data-dir=" + os.path.join(SCRATCH, "chromium")):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    driver.set_page_load_timeout(20)
    driver.get(url)

    def text(element_id):
        return driver.find_element(By.ID, element_id).text

    def shown_pan():
        t = text("pan")
        return int(t) if re.fullmatch(r"-?\d+", t) else None

    def idle():
        return text("moving") in ("no", "–") and text("queued") in ("0", "–")

    wait_until("the page to show the position", lambda: shown_pan() is not None and text("link") == "connected")
    has_control = text("state") != "–"
    print("page loaded; gimbalhub.control %s" % ("present" if has_control else "absent"))
    if has_control:
        assert "pan -177.5° to 177.5°, tilt -22.5° to 22.5°" in text("range"), text("range")

    # pan +10: the number follows, and the driver saw the move
    start = shown_pan()
    clicked = time.clock_gettime(time.CLOCK_MONOTONIC)
    driver.find_element(By.ID, "pan-p10").click()
    wait_until("pan %d on the page" % (start + 10), lambda: shown_pan() == start + 10)
    moves = moves_in_trace(clicked)
    assert any(m["dir"] == "3" and m["steps"] == "114" for m in moves), "no pan MOVE in the trace: %s" % moves
    print("pan +10: page shows %d, driver moved %s" % (start + 10, moves))

    # the arrow keys nudge too
    wait_until("the head to be idle", idle)
    driver.find_element(By.TAG_NAME, "body").send_keys(Keys.ARROW_RIGHT)
    wait_until("pan %d after the arrow key" % (start + 11), lambda: shown_pan() == start + 11)

    if has_control:
        # Stop with moves queued: the queue empties, not every move is made
        wait_until("the head to be idle", idle)
        before = shown_pan()
        for _ in range(6):
            driver.find_element(By.ID, "pan-p10").click()
        wait_until("moves to be queued", lambda: text("queued") not in ("0", "–"), 5)
        driver.find_element(By.ID, "stop").click()
        message = wait_until("the stop message", lambda: re.search(r"Stopped: (\d+) queued", text("message")))
        assert int(message.group(1)) >= 1, text("message")
        wait_until("the head to come to rest", idle)
        assert shown_pan() < before + 60, "all moves were made despite Stop: %d" % shown_pan()
        print("stop: %s; pan %d -> %d" % (text("message"), before, shown_pan()))

        # hold-to-move: the head runs while the button is held and stops on release
        before = shown_pan()
        button = driver.find_element(By.ID, "jog-right")
        ActionChains(driver).click_and_hold(button).perform()
        wait_until("the jog on the page", lambda: text("activity") == "jog")
        wait_until("pan to grow while held", lambda: (shown_pan() if shown_pan() is not None else before) >= before + 3)
        stops = len(re.findall("Stop requested", open(DAEMON_LOG).read()))
        ActionChains(driver).release(button).perform()
        wait_until("the stop after the release",
                   lambda: len(re.findall("Stop requested", open(DAEMON_LOG).read())) > stops)
        wait_until("the head to come to rest", lambda: text("activity") == "idle" and idle())
        held_to = shown_pan()
        assert before + 3 <= held_to < before + 60, "jog from %d ended at %d" % (before, held_to)
        print("hold-to-move: pan %d -> %d, stopped on release" % (before, held_to))

        # presets: save the position, move away, recall it, remove it with confirmation
        driver.find_element(By.ID, "preset-name").send_keys("door 1")
        driver.find_element(By.ID, "preset-save-go").click()
        preset = "#preset-list li[data-name='door 1']"
        wait_until("the preset in the list", lambda: driver.find_elements(By.CSS_SELECTOR, preset))
        wait_until("the page to name the preset", lambda: text("at-preset") == "door 1")
        driver.find_element(By.ID, "pan-m10").click()
        wait_until("pan %d" % (held_to - 10), lambda: shown_pan() == held_to - 10 and idle())
        driver.find_element(By.CSS_SELECTOR, preset + " .preset-go").click()
        wait_until("the head back at the preset",
                   lambda: shown_pan() == held_to and idle() and text("at-preset") == "door 1")
        driver.find_element(By.CSS_SELECTOR, preset + " .preset-remove").click()
        assert driver.find_element(By.ID, "confirm-remove").is_displayed()
        assert driver.find_elements(By.CSS_SELECTOR, preset), "removed before the confirmation"
        driver.find_element(By.ID, "preset-remove-yes").click()
        wait_until("the preset gone", lambda: not driver.find_elements(By.CSS_SELECTOR, preset))
        print("presets: saved at pan %d, recalled, removed" % held_to)
    else:
        print("Stop not tried: the daemon has no gimbalhub.control")

    # ---- as on the device: the anonymous session refused, login users ----
    acl = os.path.join(SCRATCH, "acl")
    os.makedirs(acl)
    shutil.copy(os.path.join(WWW, "..", "packaging", "openwrt", "gimbalhub", "files", "gimbalhub.acl.json"),
                os.path.join(acl, "gimbalhub.json"))
    with open(os.path.join(acl, "steer-only.json"), "w") as f:
        f.write('{"steer-only": {"write": {"ubus": {"gimbalhub": ["changePan", "changeTilt"],'
                ' "gimbalhub.control": ["stop"]}}}}')
    with open(os.path.join(SCRATCH, "users.json"), "w") as f:
        f.write('{"operator": {"password": "op-pass", "write": ["gimbalhub-write"]},'
                ' "steerer": {"password": "st-pass", "write": ["steer-only"]}}')
    procs["refusing"] = subprocess.Popen(
        [os.path.join(BUILD, "bin", "ubus-gateway"), "-l", "127.0.0.1:0", "-r", WWW, "-t", "5",
         "-a", acl, "-u", os.path.join(SCRATCH, "users.json")], stdout=subprocess.PIPE, text=True)
    line = procs["refusing"].stdout.readline()
    # another port is another origin: nothing of the first session carries over
    driver.get(re.search(r"http://\S+", line).group(0) + "gimbalhub/")

    def log_in(name, password):
        for field, value in (("username", name), ("password", password)):
            driver.find_element(By.ID, field).clear()
            driver.find_element(By.ID, field).send_keys(value)
        driver.find_element(By.CSS_SELECTOR, "#login button[type=submit]").click()

    # refused as anonymous: straight to the form, no error banner
    wait_until("the login form", lambda: driver.find_element(By.ID, "login").is_displayed())
    wait_until("the first refusal", lambda: text("link") != "connecting…")
    assert not driver.find_element(By.ID, "error").is_displayed(), text("error")
    assert text("link") != "not connected", text("link")
    print("first visit: login form, badge %r, no banner" % text("link"))

    # a wrong password says so, and the page's re-checks leave the words alone
    log_in("operator", "wrong")
    wait_until("the wrong-password text", lambda: text("login-reason") == "Wrong user name or password.")
    time.sleep(2.5)  # two rounds of the page's re-check
    assert text("login-reason") == "Wrong user name or password.", text("login-reason")
    driver.save_screenshot(os.path.join(OUT_DIR, "panel-wrong-password.png"))
    print("wrong password: %r stays" % text("login-reason"))

    # a user who may steer but not read is told so, and can still steer
    log_in("steerer", "st-pass")
    banner = wait_until("the steering-only words",
                        lambda: driver.find_element(By.ID, "error").is_displayed() and "not read" in text("error")
                        and text("error"))
    clicked = time.clock_gettime(time.CLOCK_MONOTONIC)
    driver.find_element(By.ID, "pan-p10").click()
    wait_until("the move to be accepted", lambda: text("message") == "Pan +10° queued.")
    wait_until("the move in the trace", lambda: any(m["dir"] == "3" for m in moves_in_trace(clicked)))
    time.sleep(1.5)  # a re-check more: the session is kept, not looped back to the form
    assert "not read" in text("error"), text("error")
    driver.save_screenshot(os.path.join(OUT_DIR, "panel-steer-only.png"))
    print("steering only: %r" % banner)

    # the packaged write role alone reads and steers
    log_in("operator", "op-pass")
    wait_until("the page to show the position", lambda: shown_pan() is not None and text("link") == "connected"
               and not driver.find_element(By.ID, "error").is_displayed() and idle())
    assert not driver.find_element(By.ID, "login").is_displayed()
    before = shown_pan()
    driver.find_element(By.ID, "pan-p10").click()
    wait_until("pan %d for the operator" % (before + 10), lambda: shown_pan() == before + 10)
    print("operator with gimbalhub-write alone: pan %d -> %d" % (before, shown_pan()))

    # the daemon goes away: the page says so in words; it comes back: the page recovers
    stop("daemon")
    error = wait_until("the error text", lambda: driver.find_element(By.ID, "error").is_displayed() and text("error"))
    assert "not running" in error, error
    driver.save_screenshot(os.path.join(OUT_DIR, "panel-daemon-down.png"))
    print("daemon stopped: page says %r" % error)
    start_daemon()
    wait_until("the page to recover", lambda: not driver.find_element(By.ID, "error").is_displayed()
               and text("link") == "connected" and shown_pan() is not None)
    wait_until("the head to be idle", idle)
    shot = os.path.join(OUT_DIR, "panel.png")
    driver.save_screenshot(shot)
    print("daemon restarted: page recovered (pan %d); screenshot %s" % (shown_pan(), shot))
except Exception:
    failed = True
    import traceback
    traceback.print_exc()
    if driver:
        driver.save_screenshot(os.path.join(OUT_DIR, "panel-failure.png"))
        print("page text at failure:\n" + driver.find_element(By.TAG_NAME, "body").text)
    if os.path.exists(DAEMON_LOG):
        print("daemon log tail:\n" + "".join(open(DAEMON_LOG).readlines()[-15:]))
finally:
    if driver:
        driver.quit()
    for name in ("refusing", "gateway", "daemon", "broker"):
        stop(name)
    shutil.rmtree(SCRATCH, ignore_errors=True)
sys.exit(1 if failed else 0)
