"""A real browser for tests of a web interface: headless Chromium driven
through Selenium (Debian's chromium, chromium-driver and python3-selenium).

Every wait is bounded. A test runs as a list of named steps; each step
leaves a screenshot NN-NAME.png in the output directory, and a step that
fails leaves NN-NAME-failed.png and NN-NAME.txt with the page's text and
raises StepFailed, whose message names the step, what it checked and
what the page said.

    import browser
    b = browser.start(out_dir)
    try:
        with browser.step(b, "home", "the start page opens"):
            browser.open_page(b, "http://127.0.0.1:631/")
            browser.wait_for_text(b, "Welcome")
        with browser.step(b, "next", "the link leads on"):
            browser.click(b, "Next")
    except browser.StepFailed as failure:
        print(failure)
    finally:
        browser.stop(b)
"""

import contextlib
import glob
import os
import shutil
import sys
import tempfile

from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.remote.remote_connection import RemoteConnection
from selenium.webdriver.support.ui import Select, WebDriverWait

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Flags that work as root, without a display or a network beyond loopback.
CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--window-size=1280,1024",
]


class StepFailed(Exception):
    pass


def test_arguments(usage, count):
    """A web test's count arguments; ends the test when they are not there, or
    when it does not run inside tools/sandbox, whose private /run and network
    it needs."""
    if len(sys.argv) != count + 1:
        print(usage.strip().splitlines()[-1], file=sys.stderr)
        sys.exit(2)
    if not os.path.exists("/run/velokit-sandbox"):
        print("this test must run inside tools/sandbox (as ctest runs it)", file=sys.stderr)
        sys.exit(1)
    return sys.argv[1:]


class Session:
    def __init__(self, driver, out_dir, profile, wait_seconds):
        self.driver = driver
        self.out_dir = out_dir
        self.profile = profile
        self.wait_seconds = wait_seconds
        self.steps = 0


def start(out_dir, wait_seconds=20):
    """Starts headless Chromium with a fresh profile; screenshots go to out_dir,
    where those of an earlier run are removed first. Every later wait gives
    up after wait_seconds."""
    os.makedirs(out_dir, exist_ok=True)
    for old in glob.glob(os.path.join(out_dir, "[0-9][0-9]-*")):
        os.remove(old)
    profile = tempfile.mkdtemp(prefix="browser-profile-")
    options = Options()
    options.binary_location = CHROMIUM
    for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    # The profile is the browser's home too, so nothing lands in the caller's.
    env = dict(os.environ, HOME=profile)
    # No command to the driver may hang, whatever the browser does.
    RemoteConnection.set_timeout(2 * wait_seconds)
    try:
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
    except WebDriverException:
        shutil.rmtree(profile, ignore_errors=True)
        raise
    driver.set_page_load_timeout(wait_seconds)
    driver.set_script_timeout(wait_seconds)
    return Session(driver, out_dir, profile, wait_seconds)


def stop(session):
    try:
        session.driver.quit()
    finally:
        shutil.rmtree(session.profile, ignore_errors=True)


def page_text(session):
    try:
        return session.driver.find_element(By.TAG_NAME, "body").text
    except WebDriverException as error:
        return "(no page text: %s)" % error.msg


def screenshot(session, name):
    session.driver.save_screenshot(os.path.join(session.out_dir, name + ".png"))


@contextlib.contextmanager
def step(session, name, what):
    """One named step: a screenshot when it is done, or the failure report
    for whatever went wrong inside it."""
    session.steps += 1
    label = "%02d-%s" % (session.steps, name)
    try:
        yield
    except Exception as error:
        text = page_text(session)
        with contextlib.suppress(WebDriverException):
            screenshot(session, label + "-failed")
        with open(os.path.join(session.out_dir, label + ".txt"), "w") as f:
            f.write(text)
        url = "(unknown)"
        with contextlib.suppress(WebDriverException):
            url = session.driver.current_url
        reason = getattr(error, "msg", None) or str(error) or type(error).__name__
        raise StepFailed("step %s failed: %s: %s\n--- page %s ---\n%s"
                         % (label, what, reason, url, text)) from error
    screenshot(session, label)


def wait_until(session, condition, what):
    """Waits until condition(driver) returns something true, and returns it."""
    try:
        return WebDriverWait(session.driver, session.wait_seconds).until(condition)
    except TimeoutException:
        raise AssertionError("waited %d s for %s" % (session.wait_seconds, what)) from None


def open_page(session, url):
    session.driver.get(url)


def wait_for_text(session, text, reload=False):
    """Waits until the page shows text; with reload, loads it again at every
    look, for pages that do not refresh themselves, such as a list of jobs."""
    def shown(driver):
        if reload:
            driver.refresh()
        return text in page_text(session)
    wait_until(session, shown, "the text \"%s\"" % text)


def element(session, css):
    return wait_until(session, lambda d: d.find_element(By.CSS_SELECTOR, css), css)


def click(session, label):
    """Clicks the button, submit input or link that shows label, then waits for
    the next page to load."""
    xpath = ("//input[@value='{0}' and translate(@type, 'HIDEN', 'hiden') != 'hidden'] | "
             "//button[normalize-space()='{0}'] | //a[normalize-space()='{0}']").format(label)
    target = wait_until(session, lambda d: d.find_element(By.XPATH, xpath),
                        "something to click labelled \"%s\"" % label)
    old_page = session.driver.find_element(By.TAG_NAME, "html")
    target.click()
    wait_until(session, lambda d: stale(old_page), "the page after \"%s\"" % label)


def stale(web_element):
    try:
        web_element.is_enabled()
        return False
    except WebDriverException:
        return True


def select_options(session, css):
    """The visible texts of the options of a select element."""
    return [o.text for o in Select(element(session, css)).options]


def select(session, css, text):
    Select(element(session, css)).select_by_visible_text(text)


def select_and_wait(session, css, text):
    """Picks an option of a select element that submits its form on change,
    then waits for the next page to load."""
    old_page = session.driver.find_element(By.TAG_NAME, "html")
    select(session, css, text)
    wait_until(session, lambda d: stale(old_page), "the page after choosing \"%s\"" % text)


def fill(session, css, value):
    field = element(session, css)
    field.clear()
    field.send_keys(value)


def choose(session, label):
    """Ticks the radio button or check box whose label shows label."""
    target = wait_until(session, lambda d: d.find_element(
        By.XPATH, "//label[normalize-space()='%s']" % label), "a choice labelled \"%s\"" % label)
    target.click()
