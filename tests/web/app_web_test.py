#!/usr/bin/python3
"""velokit-printer-app's web interface in headless Chromium: an anonymous
visitor of Add Printer gets a login prompt and adds nothing; a member of
lpadmin logs in, sees the start page, Add Printer with the ports listed, adds
a printer; its page's Print Test Page makes a job that reaches the port. Runs
inside tools/sandbox (its own network, /run and /etc, where the test's user
is made), with the converter simulator in page mode.

usage: app_web_test.py APP OUTPUT_DIR     (a screenshot per step lands there)
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

TOP = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(TOP, "tools"))
import browser  # noqa: E402

BASE = "http://127.0.0.1:8633"
# A member of lpadmin, made in the sandbox's own /etc.
ADMIN, PASSWORD = "bob", "bob-secret"
LOGIN_BASE = "http://%s:%s@127.0.0.1:8633" % (ADMIN, PASSWORD)
PORTS = ["/var/run/velokitlp0", "/var/run/velokitlp1"]


def make_admin():
    subprocess.run(["useradd", "-M", "-G", "lpadmin", ADMIN], check=True)
    subprocess.run(["chpasswd"], input="%s:%s\n" % (ADMIN, PASSWORD), text=True, check=True)
    subprocess.run(["install", "-m", "0644", os.path.join(TOP, "debian", "velokit-printer-app.pam"),
                    "/etc/pam.d/velokit-printer-app"], check=True)


def anonymous_visit(b, app, env):
    with browser.step(b, "anonymous", "an anonymous visitor of Add Printer gets a login prompt"):
        # What the browser gets behind its login dialog (headless shows none).
        try:
            urllib.request.urlopen(BASE + "/addprinter", timeout=10)
            assert False, "Add Printer opened without a login"
        except urllib.error.HTTPError as answer:
            challenge = answer.headers.get("WWW-Authenticate", "")
            assert answer.code == 401 and challenge.startswith("Basic"), (answer.code, challenge)
        browser.open_page(b, BASE + "/addprinter")
        assert "printer_name" not in b.driver.page_source, "the form was shown"
        printers = subprocess.run([app, "printers"], capture_output=True, text=True, timeout=10,
                                  env=env).stdout
        assert printers == "", "printers appeared: %r" % printers


def add_printer(b):
    with browser.step(b, "home", "the start page names the application"):
        browser.open_page(b, LOGIN_BASE + "/")
        browser.wait_for_text(b, "Velokit Printer Application")
    with browser.step(b, "add-printer", "Add Printer lists the ports and the drivers"):
        # The page's own link carries no login; the browser sends it with the
        # address that does.
        browser.open_page(b, LOGIN_BASE + "/addprinter")
        devices = browser.select_options(b, "select[name=device_uri]")
        # The ports only: nothing the server would refuse, such as a network printer.
        assert devices[1:] == ["ORVEX Inkjet Printer #1", "ORVEX Inkjet Printer #2"], devices
        drivers = browser.select_options(b, "select[name=driver_name]")
        assert drivers[1:] == ["ORVEX Inkjet Printer V1", "ORVEX Inkjet Printer V2",
                               "ORVEX Inkjet Printer V3 Photo"], drivers
        browser.fill(b, "input[name=printer_name]", "orvex")
        browser.select(b, "select[name=device_uri]", "ORVEX Inkjet Printer #2")
        browser.select(b, "select[name=driver_name]", "ORVEX Inkjet Printer V2")
    with browser.step(b, "added", "the printer is added"):
        browser.click(b, "Add Printer")
        browser.wait_for_text(b, "ORVEX Inkjet Printer V2")
    with browser.step(b, "printer", "the printer's page offers Print Test Page"):
        browser.open_page(b, BASE + "/orvex/")
        browser.element(b, "input[type=submit][value='Print Test Page']")


def print_test_page(b, sim):
    with browser.step(b, "test-page", "Print Test Page makes a job"):
        browser.click(b, "Print Test Page")
    with browser.step(b, "job-done", "the test page reaches the port as the converter wrote it"):
        output = os.path.join(sim, "output")
        browser.wait_until(b, lambda d: os.path.exists(os.path.join(sim, "done"))
                           and os.path.getsize(PORTS[1]) == os.path.getsize(output) > 0,
                           "the job's data at " + PORTS[1])
        with open(output, "rb") as o, open(PORTS[1], "rb") as p:
            assert o.read() == p.read(), "the port holds other bytes than the converter wrote"
        with open(os.path.join(sim, "argv")) as f:
            argv = f.read().split()
        # V2's default media is Letter; the test page is drawn at draft resolution.
        assert argv[-3:] == ["COLOR", "Letter", "DRAFT"], "the converter ran as %s" % argv
        browser.open_page(b, BASE + "/orvex/jobs")
        browser.wait_for_text(b, "Completed", reload=True)


def main():
    app, out = browser.test_arguments(__doc__, 2)
    work = tempfile.mkdtemp(dir="/run", prefix="velokit-app-web-")
    sim = os.path.join(work, "sim")
    os.mkdir(sim)
    # The converter runs as lp under a root server.
    os.chmod(work, 0o755)
    shutil.chown(sim, "lp", "lp")
    for port in PORTS:
        open(port, "w").close()
    make_admin()
    os.makedirs(out, exist_ok=True)
    env = dict(os.environ, VELOKIT_SIM_DIR=sim, VELOKIT_SIM_MODE="page")
    # Under the sanitizers, full stacks, so that PAPPL's own leaks are
    # suppressed by the functions they come from (tools/lsan.supp).
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0"
    server = subprocess.Popen([app, "server", "-o", "server-port=8633", "-o",
                               "log-file=" + os.path.join(out, "server.log"), "-o", "log-level=info"],
                              env=env)
    try:
        for _ in range(100):
            status = subprocess.run([app, "status"], capture_output=True, text=True, timeout=10,
                                    env=env)
            if "Running" in status.stdout:
                break
            time.sleep(0.1)
        b = browser.start(out, wait_seconds=30)
        try:
            anonymous_visit(b, app, env)
            add_printer(b)
            print_test_page(b, sim)
        finally:
            browser.stop(b)
    except browser.StepFailed as failure:
        print(failure, file=sys.stderr)
        print("screenshots and page texts: " + out, file=sys.stderr)
        return 1
    finally:
        server.terminate()
        try:
            server.wait(timeout=15)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
    print("every step passed; screenshots: " + out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
