"""Headless Chromium for index.html: Debian's `chromium` and `chromium-driver` (which `make test` installs), driven by
Selenium pointed at both binaries, so that nothing is downloaded. The browser test and `make bench-page` share it.

No page of ours may reach the network: every host name resolves to nothing but the loopback address (where the
graph's server answers), so a script or a style fetched from anywhere but the page's own file or server fails to
load, and the resources the page loaded are there to check.
"""

from __future__ import annotations

import contextlib
import logging
import os
import shutil
from collections.abc import Iterator
from typing import Any

BROWSER = os.environ.get("KESTOR_CHROMIUM", "/usr/bin/chromium")
DRIVER = os.environ.get("KESTOR_CHROMEDRIVER", "/usr/bin/chromedriver")
INSTALL = "apt-get install chromium chromium-driver (make test does it as root)"
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def missing() -> str | None:
    """Why the browser cannot run here, or None."""
    absent = [path for path in (BROWSER, DRIVER) if not (os.access(path, os.X_OK) or shutil.which(path))]
    if absent:
        return f"no {' or '.join(absent)}: {INSTALL}"
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed: pip install 'kestor-tavi-extractor[test]'"
    return None


@contextlib.contextmanager
def chromium(width: int = 1440, height: int = 900) -> Iterator[Any]:
    """A Selenium driver of a new headless Chromium with a window of this size, closed after."""
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service

    options = Options()
    options.binary_location = BROWSER
    for argument in (
        "--headless=new",
        # The tests run as root, as CI does, where Chromium's sandbox cannot start.
        "--no-sandbox",
        "--disable-dev-shm-usage",
        # WebGL without a GPU: Chromium's own software renderer.
        "--use-angle=swiftshader",
        "--enable-unsafe-swiftshader",
        f"--window-size={width},{height}",
        "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
        "--no-first-run",
        "--disable-extensions",
    ):
        options.add_argument(argument)
    # Every request to the driver logged at debug would bury a failing test's own lines.
    for name in ("selenium", "urllib3"):
        logging.getLogger(name).setLevel(logging.INFO)
    # The browser is a tool here, not what is tested: under `make sanitize` the sanitizers' runtimes, preloaded into
    # every process the suite starts, would hang Chromium.
    environment = {name: value for name, value in os.environ.items() if name not in SANITIZER_VARIABLES}
    driver = webdriver.Chrome(options=options, service=Service(executable_path=DRIVER, env=environment))
    try:
        yield driver
    finally:
        driver.quit()


def wait_until_drawn(driver: Any, timeout: float = 30) -> str:
    """The page's state once it has drawn or failed: "ready" or "failed"."""
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(driver, timeout).until(
        lambda d: d.find_element("tag name", "body").get_attribute("data-state") != "loading"
    )
    return str(driver.find_element("tag name", "body").get_attribute("data-state"))
