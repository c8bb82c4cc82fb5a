#!/usr/bin/python3
"""jwgate's status page in headless Chromium: a point's trend of the last
hour shows the values given, in their order; a click on the trend opens the
point's own chart, which shows them too over the last --range-s seconds
typed into its "from"; then the screenshot.

Exits 0 when both charts showed the values, 1 with the reason otherwise."""

import argparse
import time

from selenium.webdriver.common.by import By

import headless_chromium

# The values a chart draws, in order, without the repeats of a held value
# nor the gaps of a bad read.
DRAWN = """
const chart = Chart.getChart(document.querySelector(arguments[0]));
if (!chart) return null;
const drawn = [];
for (const p of chart.data.datasets[0].data) {
  if (p.y !== null && p.y !== drawn[drawn.length - 1]) drawn.push(p.y);
}
return drawn;
"""


# The start of the time the chart spans, ms since 1970.
SPANS_FROM = "return Chart.getChart(document.querySelector('#chart')).options.scales.x.min;"


def wait_for_values(driver, canvas, wanted, seconds):
    """The values the chart drew last: wanted once it drew them, else what it drew when the time ran out."""
    return headless_chromium.poll(lambda: driver.execute_script(DRAWN, canvas), wanted, seconds, 0.1)[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", required=True)
    parser.add_argument("--point", required=True)
    parser.add_argument("--values", required=True, help="the values kept, comma-separated, oldest first")
    parser.add_argument("--range-s", type=int, required=True, help="how far back the point's chart is asked to go")
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()
    wanted = [float(v) for v in args.values.split(",")]

    driver = headless_chromium.start("1100,1000")
    try:
        driver.get(args.url)
        trend = ".trend[data-point='%s']" % args.point
        drawn = wait_for_values(driver, trend + " canvas", wanted, 30)
        if drawn != wanted:
            note = driver.execute_script("return document.getElementById('trend-note').textContent")
            return "the trend of %s drew %r, not %r (%r)" % (args.point, drawn, wanted, note)
        driver.find_element(By.CSS_SELECTOR, trend).click()
        # As a person does: a new start typed in, then "Show".
        driver.execute_script("document.getElementById('from').value = localInput(Date.now() - arguments[0] * 1000);"
                              "document.querySelector('#range button').click();", args.range_s)
        # The chart drawn first spans the last hour; the one wanted, the time typed in.
        typed = (time.time() - args.range_s - 10) * 1000
        until = time.monotonic() + 30
        while time.monotonic() < until:
            drawn = wait_for_values(driver, "#chart", wanted, 1)
            if drawn == wanted and driver.execute_script(SPANS_FROM) >= typed:
                break
        else:
            note = driver.execute_script("return document.getElementById('chart-note').textContent")
            return "the chart of %s over the last %d s drew %r, not %r (%r)" % (args.point, args.range_s, drawn,
                                                                              wanted, note)
        driver.save_screenshot(args.screenshot)
        return None
    finally:
        driver.quit()


if __name__ == "__main__":
    headless_chromium.finish("status trend", main())
