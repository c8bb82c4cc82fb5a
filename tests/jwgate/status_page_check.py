#!/usr/bin/python3
"""jwgate's status page in headless Chromium, step by step as the test that
runs this script tells it on standard input:

  (start)   load the page; wait until the point shows its first value, then
            create the ready file
  changed   the value changed in the controller: measure how long until the
            page shows the new one, and fail beyond the limit
  silenced  a station fell silent: wait until the page shows it not
            answering, then take the screenshot

With --basic-auth every request of the page carries the credentials; with
--trust-spki the browser trusts that one server key (a test's own
certificate) besides the system's authorities.

Exits 0 when every step held, 1 with the reason otherwise."""

import argparse
import base64
import sys

import headless_chromium


def text_of(driver, selector):
    # In one script call: the page redraws its tables between two calls.
    return driver.execute_script(
        "const found = document.querySelector(arguments[0]); return found ? found.textContent : null;", selector)


def wait_for(driver, selector, wanted, seconds):
    """Seconds until the element's text is wanted, polling every 20 ms; None after the time."""
    return headless_chromium.poll(lambda: text_of(driver, selector), wanted, seconds, 0.02)[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", required=True)
    parser.add_argument("--point", required=True)
    parser.add_argument("--first", required=True)
    parser.add_argument("--changed", required=True)
    parser.add_argument("--within-ms", type=int, required=True)
    parser.add_argument("--station", required=True)
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--screenshot", required=True)
    parser.add_argument("--basic-auth", help="NAME:PASSWORD sent with every request the page makes")
    parser.add_argument("--trust-spki", help="base64 SHA-256 of the server key's SPKI: the one key trusted besides the system's")
    args = parser.parse_args()

    flags = ["--ignore-certificate-errors-spki-list=" + args.trust_spki] if args.trust_spki else []
    driver = headless_chromium.start("1100,900", *flags)
    try:
        value = "tr[data-point='%s'] td.value" % args.point
        if args.basic_auth:
            credentials = base64.b64encode(args.basic_auth.encode()).decode()
            driver.execute_cdp_cmd("Network.enable", {})
            driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {"Authorization": "Basic " + credentials}})
        driver.get(args.url)
        if wait_for(driver, value, args.first, 30) is None:
            return "the page never showed %s = %s (it shows %r)" % (args.point, args.first, text_of(driver, value))
        open(args.ready_file, "w").close()

        for line in sys.stdin:
            step = line.strip()
            if step == "changed":
                took = wait_for(driver, value, args.changed, 30)
                if took is None:
                    return "the page never showed %s = %s" % (args.point, args.changed)
                print("status page showed the changed value after %.0f ms" % (took * 1000), flush=True)
                if took * 1000 > args.within_ms:
                    return "the changed value took %.0f ms, more than %d" % (took * 1000, args.within_ms)
            elif step == "silenced":
                state = "tr[data-station='%s'] td.state" % args.station
                if wait_for(driver, state, "not answering", 60) is None:
                    return "station %s never showed as not answering (%r)" % (args.station, text_of(driver, state))
                driver.save_screenshot(args.screenshot)
                return None
        return "the test ended its steps early"
    finally:
        driver.quit()


if __name__ == "__main__":
    headless_chromium.finish("status page", main())
