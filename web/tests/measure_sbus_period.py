#!/usr/bin/python3
"""Measures the SBUS output's period while the page's tab is in the background.

A real (not headless) Chromium runs on a virtual display; the page runs the
simulated device and forwards its ports as SBUS to a stand-in port that
notes the time of every write. A second tab then covers the page's tab for
the given time. As a control, the page also runs a 14 ms timer on its own
main thread, which browsers slow down in a background tab: its intervals
show that the tab really was throttled while the SBUS clock kept time.

    cmake --preset web && cmake --build --preset web
    xvfb-run -a /usr/bin/python3 web/tests/measure_sbus_period.py [SECONDS] [PERIOD_MS]

SECONDS is the time in the background (default 420: Chromium throttles a
hidden tab's timers harder after five minutes); PERIOD_MS is 14 or 7.
Needs Debian's xvfb besides the test packages.
"""

import os
import statistics
import sys
import tempfile
import time

from test_web import STANDINS, WEB_DIR, serve, start_chromium, wait_for

FOREGROUND_SECONDS = 20
# Further Chromium switches, for experiments, e.g.
# QUARN_MEASURE_FLAGS=--disable-renderer-backgrounding
EXTRA_FLAGS = os.environ.get("QUARN_MEASURE_FLAGS", "").split()

# A main-thread timer at the SBUS period, as a page without a Worker would
# keep time; and the arrival of the SBUS clock's ticks on the page's thread,
# with how late each was against its deadline.
CONTROL = """
window.__control = [];
setInterval(() => {
  if (document.visibilityState === 'hidden') window.__control.push(performance.now());
}, 14);
window.__longTasks = [];
new PerformanceObserver((list) => {
  for (const e of list.getEntries()) window.__longTasks.push([e.startTime, e.duration]);
}).observe({ type: 'longtask', buffered: true });
window.__ticks = [];
const ObservedWorker = window.Worker;
window.Worker = class extends ObservedWorker {
  constructor(url, options) {
    super(url, options);
    this.addEventListener('message', (event) => {
      const now = performance.now();
      window.__ticks.push([now, performance.timeOrigin + now - event.data]);
    });
  }
};
"""


def describe(name, times):
    intervals = [b - a for a, b in zip(times, times[1:])]
    if len(intervals) < 2:
        return f"{name}: {len(times)} events, too few to measure"
    ordered = sorted(intervals)
    p99 = ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]
    return (
        f"{name}: {len(intervals)} intervals: mean {statistics.fmean(intervals):.2f} ms, "
        f"median {statistics.median(intervals):.2f} ms, p99 {p99:.2f} ms, "
        f"worst {ordered[-1]:.2f} ms, best {ordered[0]:.2f} ms"
    )


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 420.0
    period = sys.argv[2] if len(sys.argv) > 2 else "14"
    if not os.environ.get("DISPLAY"):
        sys.exit("measure_sbus_period: no display; run it under xvfb-run -a")
    server = serve(WEB_DIR)
    origin = f"http://127.0.0.1:{server.server_port}"
    with tempfile.TemporaryDirectory() as profile:
        driver = start_chromium(
            profile, headless=False, as_users_have_it=True, extra_flags=EXTRA_FLAGS
        )
        try:
            driver.execute_cdp_cmd(
                "Page.addScriptToEvaluateOnNewDocument", {"source": STANDINS + CONTROL}
            )
            driver.get(origin + "/")
            wait_for(
                lambda: driver.execute_script(
                    "return document.getElementById('app').dataset.ready"
                ),
                "page",
            )
            driver.execute_script(f"document.getElementById('sbus-period').value = '{period}'")
            driver.find_element("id", "simulate").click()
            driver.execute_script("__standins.offerPort('sbus')")
            driver.find_element("id", "connect-sbus").click()
            wait_for(
                lambda: driver.execute_script("return __standins.ports.sbus.writes.length") > 100,
                "SBUS",
            )
            # A stretch in the foreground, after start-up, for comparison.
            shown_from = driver.execute_script("return performance.now()")
            time.sleep(FOREGROUND_SECONDS)
            page = driver.current_window_handle
            driver.switch_to.new_window("tab")
            driver.get(origin + "/style.css")
            time.sleep(seconds)
            driver.switch_to.window(page)
            writes = driver.execute_script("return __standins.ports.sbus.writes")
            control = driver.execute_script("return window.__control")
            ticks = driver.execute_script("return window.__ticks")
            long_tasks = driver.execute_script("return window.__longTasks")
        finally:
            driver.quit()
            server.shutdown()
    hidden = [w["t"] for w in writes if w["hidden"]]
    shown = [w["t"] for w in writes if not w["hidden"] and shown_from <= w["t"] < hidden[0]]
    print(
        f"SBUS period {period} ms, {seconds:.0f} s with the tab hidden "
        f"({driver.capabilities.get('browserVersion', 'Chromium')})"
    )
    print(describe("SBUS writes, tab hidden", hidden))
    print(describe(f"SBUS writes, tab shown ({FOREGROUND_SECONDS} s)", shown))
    print(describe("main-thread 14 ms timer, tab hidden (control)", control))
    shown_long = [round(d) for t, d in long_tasks if shown and shown[0] <= t < shown[-1]]
    print(
        f"long tasks (over 50 ms) on the page's thread while shown: {len(shown_long)}, "
        f"longest {max(shown_long, default=0)} ms"
    )
    # Minute by minute in the background: Chromium throttles a tab harder
    # after five minutes.
    start = hidden[0] if hidden else 0
    for minute in range(int(seconds // 60)):
        lo, hi = start + minute * 60000, start + (minute + 1) * 60000
        part = [t for t in hidden if lo <= t < hi]
        late = [l for t, l in ticks if lo <= t < hi]
        if len(part) > 2:
            print(
                describe(f"  minute {minute + 1}", part)
                + (
                    f"; clock ticks {len(late)}, median lateness {statistics.median(late):.1f} ms"
                    if late
                    else ""
                )
            )


if __name__ == "__main__":
    main()
