#!/usr/bin/python3
"""The installed driver through the CUPS web interface, in headless Chromium:
Administration -> Add Printer on the discovered port, each ORVEX model offered
once, the queue added, its default options, and a test page that reaches the
port. Runs inside tools/sandbox (its own network, so its own 127.0.0.1:631),
against a private scheduler with the web interface on.

usage: cups_web_test.py OUTPUT_DIR     (a screenshot per step lands there)
"""

import os
import subprocess
import sys
import tempfile

TOP = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
# The source tree stays as it is: no compiled copy of the browser module.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(TOP, "tools"))
import browser  # noqa: E402

SCHEDULER = os.path.join(TOP, "tools", "scheduler")
BASE = "http://127.0.0.1:631"
PORT = "/var/run/velokitlp0"
MODELS = [
    "ORVEX Inkjet Printer V1, Velokit",
    "ORVEX Inkjet Printer V2, Velokit",
    "ORVEX Inkjet Printer V3 Photo, Velokit",
]


def orvex_models(options):
    """The ORVEX entries of a model list, without the language suffix " (en)"."""
    return [o.rsplit(" (", 1)[0] for o in options if o.startswith("ORVEX")]


def add_printer(b):
    with browser.step(b, "add-printer", "Administration -> Add Printer offers the discovered port"):
        browser.open_page(b, BASE + "/admin")
        browser.click(b, "Add Printer")
        browser.wait_for_text(b, "ORVEX Inkjet Printer #1 (Velokit)")
    with browser.step(b, "name", "the port is chosen and the queue named"):
        browser.choose(b, "ORVEX Inkjet Printer #1 (Velokit)")
        browser.click(b, "Continue")
        browser.wait_for_text(b, "velokitlp:" + PORT)
        browser.fill(b, "input[name=PRINTER_NAME]", "orvex")
    with browser.step(b, "make", "ORVEX is offered as a make, once"):
        browser.click(b, "Continue")
        browser.click(b, "Select Another Make/Manufacturer")
        makes = browser.select_options(b, "select[name=PPD_MAKE]")
        assert makes.count("ORVEX") == 1, "makes offered: %s" % makes
        browser.select(b, "select[name=PPD_MAKE]", "ORVEX")
    with browser.step(b, "models", "the ORVEX models are offered, each once"):
        browser.click(b, "Continue")
        offered = browser.select_options(b, "select[name=PPD_NAME]")
        assert orvex_models(offered) == MODELS, "models offered: %s" % offered
        browser.select(b, "select[name=PPD_NAME]", next(o for o in offered if o.startswith(MODELS[0])))
    with browser.step(b, "added", "the queue is added"):
        browser.click(b, "Add Printer")
        browser.wait_for_text(b, "has been added")


def set_default_options(b):
    with browser.step(b, "default-options", "Set Default Options shows Ink, Print Quality and Media Size"):
        browser.click(b, "Set Printer Options")
        browser.wait_for_text(b, "Set Default Options for orvex")
        choices = {name: browser.select_options(b, "select[name=%s]" % name)
                   for name in ("PageSize", "Ink", "Quality")}
        text = browser.page_text(b)
        for label in ("Media Size:", "Ink:", "Print Quality:"):
            assert label in text, "no \"%s\" on the page" % label
        assert choices["Ink"] == ["Color", "Black and White"], choices
        assert choices["Quality"] == ["Draft (150 dpi)", "Normal (300 dpi)", "Photo (600 dpi)"], choices
        assert choices["PageSize"][0] == "A4", choices
        browser.select(b, "select[name=Quality]", "Draft (150 dpi)")
    with browser.step(b, "defaults-set", "the default options are saved"):
        browser.click(b, "Set Default Options")
        browser.wait_for_text(b, "default options have been set successfully")


def print_test_page(b, sim):
    with browser.step(b, "test-page", "Maintenance -> Print Test Page makes a job"):
        browser.open_page(b, BASE + "/printers/orvex")
        browser.select_and_wait(b, "form[name=maintenance] select[name=OP]", "Print Test Page")
        browser.wait_for_text(b, "Test page sent; job ID is orvex-")
    with browser.step(b, "job-done", "the test page reaches the port, at the default quality set"):
        browser.wait_until(b, lambda d: os.path.exists(os.path.join(sim, "done"))
                           and os.path.getsize(PORT) > 0, "the job's data at " + PORT)
        with open(os.path.join(sim, "argv")) as f:
            argv = f.read().split()
        assert argv[-3:] == ["COLOR", "A4", "DRAFT"], "the converter ran as %s" % argv
        browser.open_page(b, BASE + "/jobs/?which_jobs=completed")
        browser.wait_for_text(b, "orvex-1", reload=True)


def main():
    (out,) = browser.test_arguments(__doc__, 1)
    # Everything the scheduler and the browser write stays in the sandbox's /run.
    work = tempfile.mkdtemp(dir="/run", prefix="velokit-web-")
    os.chmod(work, 0o755)
    os.environ["TMPDIR"] = work
    sim = os.path.join(work, "sim")
    os.mkdir(sim)
    os.chmod(sim, 0o777)
    open(PORT, "w").close()
    cupsd = os.path.join(work, "cupsd")
    subprocess.run([SCHEDULER, "start", cupsd, "--web", "VELOKIT_SIM_DIR=" + sim,
                    "VELOKIT_SIM_MODE=page"], check=True, timeout=60)
    try:
        b = browser.start(out, wait_seconds=30)
        try:
            add_printer(b)
            set_default_options(b)
            print_test_page(b, sim)
        finally:
            browser.stop(b)
    except browser.StepFailed as failure:
        print(failure, file=sys.stderr)
        print("screenshots and page texts: " + out, file=sys.stderr)
        return 1
    finally:
        subprocess.run([SCHEDULER, "stop", cupsd], timeout=60)
    print("every step passed; screenshots: " + out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
