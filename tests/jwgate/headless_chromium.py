"""Debian's Chromium, headless, as the status page's checks drive it, and
how they end."""

import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service


def start(window_size, *flags):
    """A browser on a profile of its own, nothing fetched behind the page's back."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=" + window_size, "--user-data-dir=" + tempfile.mkdtemp(prefix="jwgate-chromium-"),
                 *flags):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def poll(probe, wanted, seconds, every):
    """What probe() gave last, and the seconds until it gave wanted (None when the time ran out first)."""
    start = time.monotonic()
    got = None
    while time.monotonic() - start < seconds:
        got = probe()
        if got == wanted:
            return got, time.monotonic() - start
        time.sleep(every)
    return got, None


def finish(check, failure):
    """Exits 0 without a failure, else 1 with it on standard error."""
    if failure:
        print(check + ": " + failure, file=sys.stderr)
    sys.exit(1 if failure else 0)
