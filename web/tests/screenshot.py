#!/usr/bin/python3
"""Takes docs/web-console.png: the page in headless Chromium with the
simulated device running.

    cmake --preset web && cmake --build --preset web
    /usr/bin/python3 web/tests/screenshot.py [OUTPUT.png]
"""

import base64
import sys
import tempfile
import time
from pathlib import Path

from test_web import WEB_DIR, serve, start_chromium, wait_for

WIDTH = 1200
# Long enough to fill most of the plot's 10-second window, and not 8.4 s,
# where the simulated channels' waves happen to meet in two values.
RUN_SECONDS = 7


def main():
    out = (
        Path(sys.argv[1])
        if len(sys.argv) > 1
        else Path(__file__).resolve().parents[2] / "docs/web-console.png"
    )
    server = serve(WEB_DIR)
    with tempfile.TemporaryDirectory() as profile:
        driver = start_chromium(
            profile, extra_flags=[f"--window-size={WIDTH},900", "--force-color-profile=srgb"]
        )
        try:
            driver.get(f"http://127.0.0.1:{server.server_port}/")
            wait_for(
                lambda: driver.execute_script(
                    "return document.getElementById('app').dataset.ready"
                ),
                "page",
            )
            driver.find_element("id", "simulate").click()
            time.sleep(RUN_SECONDS)
            driver.find_element("id", "pause").click()
            height = driver.execute_script("return document.documentElement.scrollHeight")
            shot = driver.execute_cdp_cmd(
                "Page.captureScreenshot",
                {
                    "format": "png",
                    "captureBeyondViewport": True,
                    "clip": {"x": 0, "y": 0, "width": WIDTH, "height": height, "scale": 1},
                },
            )
        finally:
            driver.quit()
            server.shutdown()
    out.write_bytes(base64.b64decode(shot["data"]))
    print(f"wrote {out} ({out.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
