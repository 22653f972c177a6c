"""Tests of the web console in headless Chromium.

The page is served from the build tree by a local HTTP server and driven
through chromedriver. Serial ports and HID devices are stand-ins
(standins.js) put in place before the page loads. Expected values come from
the byte layouts, encoded and decoded here on their own; only the
differential test of the WebAssembly module compares it with the native
build of the same source.

Environment: QUARN_WEB_DIR (the built page), QUARN_CHROMIUM,
QUARN_CHROMEDRIVER, QUARN_INTERFACE_LIBRARY (the native library),
QUARN_EXAMPLE_DATA (examples/data), QUARN_CMAKE and QUARN_BUILD_DIR (cmake
and the web build tree, to install the page as it is published).
"""

import ctypes
import functools
import http.server
import json
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

# Frames, SBUS frames and timed recordings packed and read from their byte
# layouts: the same helpers that check quarn-monitor, so the page is held to
# the formats exactly as the monitor is.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "tests"))
from support import data_frame, parse_recording, recording, sbus_unpack, to_sbus  # noqa: E402

WEB_DIR = os.environ.get("QUARN_WEB_DIR", "build/web")
CHROMIUM = os.environ.get("QUARN_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("QUARN_CHROMEDRIVER", "/usr/bin/chromedriver")
EXAMPLE_DATA = Path(os.environ.get("QUARN_EXAMPLE_DATA", "examples/data"))
STANDINS = (Path(__file__).parent / "standins.js").read_text()
SOURCE_DIR = Path(__file__).resolve().parents[2]
CMAKE = os.environ.get("QUARN_CMAKE", "cmake")
# axe-core, pinned in package.json, as `npm ci` installs it.
AXE = SOURCE_DIR / "node_modules" / "axe-core" / "axe.min.js"
BUILD_DIR = os.environ.get("QUARN_BUILD_DIR", "build/web")
# A name that resolves to the local server without being localhost: the
# page is then not a secure context.
INSECURE_HOST = "quarn.test"

# Generous: the machine may be loaded, and nothing here measures speed.
WAIT = 20.0

# The byte layouts.
HEAD, TAIL = 0xFA, 0x5F
CMD_DATA, CMD_REQUEST, CMD_STOP = 0xA5, 0xE5, 0xE4
CHANNELS, PORTS, CONTROLLER = 12, 32, 11
SBUS_SIZE, SBUS_START, SBUS_CHANNELS = 25, 0x0F, 16
SBUS_FLAGS, SBUS_END = 23, 24
SBUS2_END_BYTES = [0x04, 0x14, 0x24, 0x34]
FAILSAFE_MS = 100  # the page's default
BURST_MS = 1.0  # frames closer than this went out back to back


def le16(values):
    return b"".join(struct.pack("<H", v) for v in values)


def frame(command, payload, trailer=TAIL):
    return bytes([HEAD, command]) + struct.pack("<H", len(payload)) + payload + bytes([trailer])


def game_controller_values(r):
    """The 11 values of a 19-byte game-controller report, from its table."""
    return [
        r[0] | r[1] << 8,
        r[2] | r[3] << 8,
        r[4] | r[5] << 8,
        r[6] | (r[7] & 0x0F) << 8,
        r[7] >> 4 | r[8] << 4,
        r[9] | (r[10] & 0x0F) << 8,
        r[10] >> 4 | r[11] << 4,
        r[12] | (r[13] & 0x0F) << 8,
        r[13] >> 4,
        r[14] | r[15] << 8,
        r[16] | r[17] << 8,
    ]


def split_randomly(data, rng, largest=255):
    pieces, at = [], 0
    while at < len(data):
        n = rng.randint(1, largest)
        pieces.append(data[at : at + n])
        at += n
    return pieces


def wait_for(predicate, what, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve(directory, port=0):
    """An HTTP server for the directory on a local port (0: a free one), in a
    thread."""
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", port), functools.partial(QuietHandler, directory=directory)
    )
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def start_chromium(profile, headless=True, extra_flags=(), as_users_have_it=False):
    """Starts Chromium through chromedriver. as_users_have_it drops the
    switches chromedriver adds that keep background tabs at full speed."""
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    if as_users_have_it:
        options.add_experimental_option(
            "excludeSwitches",
            ["disable-background-timer-throttling", "disable-backgrounding-occluded-windows"],
        )
    # Without these flags Chromium reaches out to the network on its own.
    for flag in (
        "--no-sandbox",
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        f"--user-data-dir={profile}",
        "--window-size=1280,1000",
        *extra_flags,
    ):
        options.add_argument(flag)
    if headless:
        options.add_argument("--headless")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class Browser(unittest.TestCase):
    """A local server for the page and a headless Chromium per test class."""

    web_dir = WEB_DIR

    @classmethod
    def setUpClass(cls):
        cls.server = serve(cls.web_dir)
        cls.origin = f"http://127.0.0.1:{cls.server.server_port}"
        cls.profile = tempfile.TemporaryDirectory()
        cls.downloads = tempfile.TemporaryDirectory()
        cls.driver = start_chromium(
            cls.profile.name, extra_flags=[f"--host-resolver-rules=MAP {INSECURE_HOST} 127.0.0.1"]
        )
        cls.driver.execute_cdp_cmd(
            "Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": cls.downloads.name}
        )

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.server.shutdown()
        cls.server.server_close()
        cls.profile.cleanup()
        cls.downloads.cleanup()

    def open_page(self, url=None, script=STANDINS):
        """Loads the page with the script in place before its own run."""
        added = None
        if script:
            added = self.driver.execute_cdp_cmd(
                "Page.addScriptToEvaluateOnNewDocument", {"source": script}
            )
        try:
            self.driver.get(url or self.origin + "/")
        finally:
            if added:
                self.driver.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument", added)
        wait_for(
            lambda: self.js("return document.getElementById('app').dataset.ready === 'true'"),
            "the page",
        )

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def click(self, element_id):
        self.driver.find_element(By.ID, element_id).click()

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text

    def shown(self, container):
        return self.js(
            f"return [...document.querySelectorAll('#{container} output')]"
            ".map(e => Number(e.textContent))"
        )

    def messages(self):
        return self.text("messages")

    def wait_shown(self, container, expected):
        wait_for(
            lambda: self.shown(container) == list(expected), f"#{container} to show {expected}"
        )

    def download(self, button_id, suffix):
        before = set(os.listdir(self.downloads.name))
        self.click(button_id)

        sizes = []

        # Chromium may show the file before it has written it all: wait
        # until it has a size that stays the same.
        def done():
            new = [n for n in set(os.listdir(self.downloads.name)) - before if n.endswith(suffix)]
            if not new:
                return None
            sizes.append((Path(self.downloads.name) / new[0]).stat().st_size)
            return new[0] if len(sizes) >= 3 and sizes[-1] == sizes[-3] > 0 else None

        name = wait_for(done, f"the download of #{button_id}")
        return (Path(self.downloads.name) / name).read_bytes()

    def json_lines(self):
        return [
            json.loads(line)
            for line in self.download("export-json", ".jsonl").decode().splitlines()
        ]

    def port_writes(self, label):
        return self.js(f"return __standins.ports['{label}'].writes.map(w => w.bytes)")

    def push(self, label, data):
        self.js(f"__standins.ports['{label}'].push(arguments[0])", list(data))


class Page(Browser):
    def test_loads_with_nothing_from_elsewhere_and_replays_the_example_stream(self):
        self.open_page()
        expected = {}
        for line in (EXAMPLE_DATA / "device-stream.expected").read_text().splitlines():
            name, values = line.split(":")
            expected[name] = [int(v) for v in values.split()]
        self.driver.find_element(By.ID, "replay-file").send_keys(
            str(EXAMPLE_DATA / "device-stream.bin")
        )
        self.wait_shown("channels", expected["final channels"])
        self.wait_shown("ports", expected["final ports"])
        wait_for(lambda: "finished (raw bytes" in self.messages(), "the end of the replay")
        self.assertEqual(
            self.text("stat-bytes"), str((EXAMPLE_DATA / "device-stream.bin").stat().st_size)
        )

        severe = [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual(severe, [])
        urls = set()
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                urls.add(message["params"]["request"]["url"])
        self.assertIn(self.origin + "/js/quarninterface/QuarnInterface.wasm", urls)
        # Chromium's own chrome:// resources never touch the network.
        network = [u for u in urls if u.split(":", 1)[0] in ("http", "https", "ws", "wss", "ftp")]
        foreign = [u for u in network if not u.startswith(self.origin + "/")]
        self.assertEqual(foreign, [])

    def test_timed_recording_keeps_its_times_and_a_cut_record_is_replayed_and_reported(self):
        self.open_page()
        stream = (EXAMPLE_DATA / "device-stream.bin").read_bytes()
        rng = random.Random(14)
        records, time_us = [], 0
        for piece in split_randomly(stream, rng, 300):
            time_us += rng.randint(0, 20) * 1000  # whole milliseconds: t has three decimals
            records.append((time_us, piece))
        last_channels = list(range(101, 101 + CHANNELS))
        cut = data_frame(0, last_channels)
        # The last record claims 200 bytes but the file ends after the frame,
        # behind a header 4 bytes longer than this page writes.
        data = (
            recording(records, header_size=20, extra=bytes(4)) + struct.pack("<QH", time_us + 1000, 200) + cut
        )
        path = Path(self.downloads.name) / "cut.qrec"
        path.write_bytes(data)
        self.js("document.getElementById('replay-speed').value = '10'")
        self.driver.find_element(By.ID, "replay-file").send_keys(str(path))
        self.wait_shown("channels", last_channels)
        wait_for(lambda: "is cut at byte" in self.messages(), "the cut to be reported")
        self.assertIn(f"{len(cut)} of its 200 bytes are present", self.messages())

        # The session's clock is the recording's: the downloaded recording
        # holds the same bytes at the same times, and so do the JSON lines.
        again = parse_recording(self.download("download-recording", ".qrec"))
        self.assertEqual(b"".join(c for _, c in again), stream + cut)
        self.assertEqual(again, records + [(time_us + 1000, cut)])
        lines = self.json_lines()
        times = {round(t / 1e6, 3) for t, _ in records} | {round((time_us + 1000) / 1e6, 3)}
        self.assertTrue(all(line["t"] in times for line in lines), lines[:3])
        self.assertEqual(lines[-1]["channels"], last_channels)

    def test_without_a_secure_context_the_device_buttons_are_off_and_replay_works(self):
        self.open_page(f"http://{INSECURE_HOST}:{self.server.server_port}/", script=None)
        for button in ("connect-serial", "connect-hid", "connect-sbus"):
            self.assertFalse(self.driver.find_element(By.ID, button).is_enabled(), button)
        self.assertIn("https://", self.messages())
        self.assertIn("localhost", self.messages())
        self.click("simulate")
        wait_for(lambda: int(self.text("stat-updates")) > 0, "the simulated device's frames")

    def test_a_browser_without_the_apis_says_which_browsers_have_them(self):
        self.open_page(script="delete Navigator.prototype.serial; delete Navigator.prototype.hid;")
        for button in ("connect-serial", "connect-hid", "connect-sbus"):
            self.assertFalse(self.driver.find_element(By.ID, button).is_enabled(), button)
        for words in (
            "Web Serial",
            "WebHID",
            "Chrome, Edge, Opera",
            "Replay and the simulated device work",
        ):
            self.assertIn(words, self.messages())
        self.assertTrue(self.driver.find_element(By.ID, "replay-file").is_enabled())

    def test_a_plot_channel_label_never_wraps_between_its_colour_mark_and_its_name(self):
        self.open_page()
        # The labels that a line break splits, or whose check box and name
        # stand on different lines, at panel widths from narrow to wide.
        split = self.js(
            "const panel = document.getElementById('plot-panel'); const split = {};"
            "for (let width = 160; width <= 480; width += 4) {"
            "  panel.style.width = `${width}px`;"
            "  for (const label of document.querySelectorAll('#plot-channels label')) {"
            "    const box = label.querySelector('input').getBoundingClientRect();"
            "    const range = document.createRange(); range.selectNodeContents(label.lastChild);"
            "    const name = range.getBoundingClientRect();"
            "    if (label.getClientRects().length !== 1 || range.getClientRects().length !== 1"
            "        || box.bottom <= name.top || name.bottom <= box.top) {"
            "      (split[width] ??= []).push(label.textContent);"
            "    }"
            "  }"
            "}"
            "panel.style.width = ''; return split;"
        )
        self.assertEqual(split, {})


    def test_axe_finds_nothing_with_a_source_running_in_light_and_dark(self):
        if not AXE.exists():
            self.fail(f"{AXE} is missing: run `npm ci` in the repository")
        self.open_page()
        self.click("simulate")
        wait_for(lambda: int(self.text("stat-updates")) > 0, "the simulated device's frames")
        self.js(AXE.read_text())
        try:
            for scheme in ("light", "dark"):
                self.driver.execute_cdp_cmd(
                    "Emulation.setEmulatedMedia",
                    {"features": [{"name": "prefers-color-scheme", "value": scheme}]},
                )
                violations = self.js(
                    "return axe.run(document).then(r => r.violations.map("
                    "v => [v.id, v.nodes.map(n => n.target.join(' '))]))"
                )
                self.assertEqual(violations, [], scheme)
        finally:
            self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})

    def test_tab_reaches_every_control_in_order_and_keys_work_them(self):
        self.open_page()
        name = "const name = (e) => e.id || `${e.closest('[id]')?.id} ${e.value ?? e.tagName}`;"
        controls = self.js(
            name + "return [...document.querySelectorAll('button, input, select, [tabindex]')]"
            ".filter(e => !e.disabled && e.checkVisibility()).map(name)"
        )
        self.assertIn("reconnect", controls)
        reached = []
        for _ in controls:
            ActionChains(self.driver).send_keys(Keys.TAB).perform()
            reached.append(self.js(name + "return name(document.activeElement)"))
        self.assertEqual(reached, controls)

        def press(element_id, key):
            self.js(f"document.getElementById('{element_id}').focus()")
            self.driver.switch_to.active_element.send_keys(key)

        # The button keeps the focus while it is busy, so a second key stops
        # what the first started.
        press("simulate", Keys.ENTER)
        wait_for(lambda: int(self.text("stat-updates")) > 0, "the simulated device's frames")
        self.driver.switch_to.active_element.send_keys(Keys.SPACE)
        wait_for(lambda: self.text("simulate") == "Start simulated device", "the device to stop")
        press("pause", Keys.SPACE)
        self.assertEqual(self.js("return document.getElementById('pause').ariaPressed"), "true")
        press("reconnect", Keys.SPACE)
        self.assertFalse(self.js("return document.getElementById('reconnect').checked"))
        press("plot-window", Keys.ARROW_DOWN)
        self.assertEqual(self.js("return document.getElementById('plot-window').value"), "30")


class App(Browser):
    """The page as published (the install component "web"), under a path of
    its own, as an app: its manifest, and its service worker serving it with
    no network and bringing in a new release. The server's address stays
    the same throughout, so the browser sees one origin lose its server and
    get a new release."""

    PATH = "/console/"

    @classmethod
    def setUpClass(cls):
        cls.site = tempfile.TemporaryDirectory()
        cls.release = Path(cls.site.name) / "release-1"
        subprocess.run(
            [CMAKE, "--install", BUILD_DIR, "--component", "web", "--prefix", cls.release],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        (Path(cls.site.name) / "console").symlink_to(cls.release)
        cls.web_dir = cls.site.name
        super().setUpClass()
        cls.page = cls.origin + cls.PATH

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.site.cleanup()

    def restart_server(self):
        self.server = serve(self.site.name, self.server.server_port)

    def stop_server(self):
        self.server.shutdown()
        self.server.server_close()

    def caches(self):
        return self.js("return caches.keys()")

    def test_chromium_reads_the_manifest_and_can_install_the_page(self):
        self.open_page(self.page, script=None)
        manifest = self.driver.execute_cdp_cmd("Page.getAppManifest", {})
        self.assertEqual(manifest["url"], self.page + "manifest.webmanifest")
        self.assertEqual(manifest["errors"], [])
        parsed = manifest["manifest"]
        self.assertEqual([parsed["startUrl"], parsed["scope"]], [self.page, self.page])
        # The PNG icons are there, in the sizes they claim.
        pngs = {i["sizes"]: i["url"] for i in parsed["icons"] if i["type"] == "image/png"}
        self.assertEqual(sorted(pngs), ["192x192", "512x512"])
        for sizes, url in pngs.items():
            size = self.js(
                "return fetch(arguments[0]).then(r => r.blob()).then(createImageBitmap)"
                ".then(image => `${image.width}x${image.height}`)",
                url,
            )
            self.assertEqual(size, sizes)
        installability = self.driver.execute_cdp_cmd("Page.getInstallabilityErrors", {})
        self.assertEqual(installability["installabilityErrors"], [])

    def test_starts_with_no_network_and_takes_a_new_release_within_a_few_loads(self):
        # A first visit, whatever the other test left.
        self.driver.execute_cdp_cmd(
            "Storage.clearDataForOrigin", {"origin": self.origin, "storageTypes": "all"}
        )
        self.open_page(self.page, script=None)
        wait_for(lambda: "kept in this browser" in self.messages(), "the page kept offline")
        kept = self.caches()
        self.assertEqual(len(kept), 1, kept)

        self.stop_server()
        try:
            self.open_page(self.page, script=None)
            self.click("simulate")
            wait_for(lambda: int(self.text("stat-updates")) > 0, "the simulated device's frames")
            self.assertTrue(any(self.shown("channels")))
            self.click("simulate")
        finally:
            self.restart_server()

        # A release with one file changed, written by the build's own script.
        new = Path(self.site.name) / "release-2"
        shutil.copytree(self.release, new)
        index = new / "index.html"
        index.write_text(index.read_text().replace("<title>", "<title>New: "))
        files = sorted(str(f.relative_to(new)) for f in new.rglob("*") if f.is_file())
        files.remove("service-worker.js")
        subprocess.run(
            [
                CMAKE,
                f"-DQUARN_PAGE_DIR={new}",
                f"-DQUARN_PAGE_FILES={','.join(files)}",
                "-P",
                SOURCE_DIR / "cmake" / "web-precache.cmake",
            ],
            check=True,
        )
        link = Path(self.site.name) / "console"
        link.unlink()
        link.symlink_to(new)
        # Caught halfway through its upload, with a file that is not yet the
        # new one, the release is not taken, and the page says why. (The
        # browser may put its checks off for a while after it found no
        # server: the page waits, as a user would.)
        style = new / "style.css"
        uploaded = style.read_bytes()
        style.write_bytes(uploaded + b"\n")
        self.open_page(self.page, script=None)
        wait_for(lambda: "style.css is not" in self.messages(), "the refused release", 3 * WAIT)
        self.assertIn("cannot be kept for offline use", self.messages())
        # (The browser may be trying again meanwhile: the cache of each try
        # goes when it fails.)
        wait_for(lambda: self.caches() == kept, "only the kept release's cache")
        # Complete, a load finds it and says it is ready; the next runs it.
        style.write_bytes(uploaded)
        self.open_page(self.page, script=None)
        self.assertFalse(self.driver.title.startswith("New: "))
        wait_for(lambda: "new version" in self.messages(), "the new version to be ready", 3 * WAIT)
        self.open_page(self.page, script=None)
        self.assertTrue(self.driver.title.startswith("New: "), "the new release is not shown")
        now = self.caches()
        self.assertEqual(len(now), 1, now)
        self.assertNotEqual(now, kept)


class Wasm(Browser):
    """The module against the native build of the same source."""

    FUNCTIONS = {
        "request_upload_port_data",
        "stop_upload_port_data",
        "parse_port_data",
        "parse_hid_game_controller_device",
        "parse_hid_compatible_device",
        "convert_std_sbus_data",
        "encode_sbus_data_v1",
        "encode_sbus_data_v2",
    }

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        lib = ctypes.CDLL(os.environ["QUARN_INTERFACE_LIBRARY"])
        u8p, u16p = ctypes.POINTER(ctypes.c_uint8), ctypes.POINTER(ctypes.c_uint16)
        lib.parse_port_data.argtypes = [u8p, ctypes.c_uint8, u16p, u16p]
        lib.parse_port_data.restype = ctypes.c_uint8
        for name in ("parse_hid_game_controller_device", "parse_hid_compatible_device"):
            getattr(lib, name).argtypes = [u16p, u8p, ctypes.c_uint8]
            getattr(lib, name).restype = ctypes.c_uint8
        for name in ("convert_std_sbus_data", "encode_sbus_data_v1", "encode_sbus_data_v2"):
            getattr(lib, name).argtypes = [ctypes.c_void_p, u16p]
        cls.native = lib

    def in_page(self, body, *args):
        """Runs body with qi, the package's QuarnInterface as the page loads it."""
        return self.js(
            "return (async () => {"
            "const qi = await (await import('/js/quarninterface/index.js')).load();"
            + body
            + "})()",
            *args,
        )

    def test_exports_the_eight_functions_and_memory_and_imports_nothing(self):
        self.open_page()
        exports, imports = self.js(
            "return (async () => { const m = await WebAssembly.compile("
            "await (await fetch('/js/quarninterface/QuarnInterface.wasm')).arrayBuffer());"
            "return [WebAssembly.Module.exports(m).map(e => [e.name, e.kind]),"
            "WebAssembly.Module.imports(m).length]; })()"
        )
        self.assertEqual(imports, 0)
        self.assertEqual(
            sorted(exports),
            sorted(
                [[f, "function"] for f in self.FUNCTIONS]
                + [["memory", "memory"], ["__heap_base", "global"]]
            ),
        )

    def random_stream(self, rng):
        """Frames of every kind the parser meets, good and bad, and junk."""
        values = lambda n: [rng.randrange(65536) for _ in range(n)]
        pieces = []
        for _ in range(400):
            kind = rng.randrange(9)
            if kind < 3:
                pieces.append(data_frame(kind, values(CHANNELS), values(PORTS)))
            elif kind == 3:
                pieces.append(
                    data_frame(rng.randrange(3), values(CHANNELS), values(PORTS))[:-1]
                    + bytes([0x5E])
                )
            elif kind == 4:  # unknown type, short layouts, request echoes
                payload = bytes([rng.randrange(5)]) + bytes(
                    rng.randrange(256) for _ in range(rng.randrange(100))
                )
                pieces.append(frame(rng.choice([CMD_DATA, CMD_REQUEST]), payload))
            elif kind == 5:  # a data frame inside a frame of another command
                pieces.append(frame(CMD_STOP, data_frame(0, values(CHANNELS))))
            elif kind == 6:  # stray start bytes, and lengths no frame can have
                pieces.append(
                    bytes(
                        [HEAD, rng.randrange(256), rng.randrange(256), rng.choice([0, 1, 2, 0xFF])]
                    )
                )
            else:
                pieces.append(
                    bytes(
                        rng.choice([HEAD, TAIL, rng.randrange(256)])
                        for _ in range(rng.randrange(40))
                    )
                )
        return b"".join(pieces)

    def test_parses_random_streams_in_random_chunks_as_the_native_library(self):
        self.open_page()
        rng = random.Random(1414)
        chunks = [list(c) for _ in range(3) for c in split_randomly(self.random_stream(rng), rng)]
        got = self.in_page(
            "const p = qi.createParser();"
            "return arguments[0].map(c =>"
            "  [p.feed(Uint8Array.from(c)) ? 1 : 0, Array.from(p.channels), Array.from(p.ports)]);",
            chunks,
        )
        channels, ports = (ctypes.c_uint16 * CHANNELS)(), (ctypes.c_uint16 * PORTS)()
        decoded = 0
        for k, chunk in enumerate(chunks):
            flag = self.native.parse_port_data(
                (ctypes.c_uint8 * len(chunk))(*chunk), len(chunk), channels, ports
            )
            decoded += flag
            self.assertEqual(got[k], [flag, list(channels), list(ports)], f"chunk {k}")
        self.assertGreater(decoded, 100)

    def test_hid_and_sbus_functions_give_the_native_results(self):
        self.open_page()
        rng = random.Random(2828)
        reports = []
        for _ in range(300):
            report = [rng.randrange(256) for _ in range(rng.choice([18, 19, 20, 28, 29, 30]))]
            if rng.random() < 0.7:
                report[0] = HEAD
            reports.append(report)
        sets = [
            [rng.choice([rng.randrange(1300), rng.randrange(65536)]) for _ in range(SBUS_CHANNELS)]
            for _ in range(50)
        ]
        got = self.in_page(
            "const [reports, sets] = arguments;"
            "const list = (values) => values && Array.from(values);"
            "return [reports.map(r => { const u = Uint8Array.from(r);"
            "  return [list(qi.parseHidGameController(u)), list(qi.parseHidCompatible(u))]; }),"
            " sets.map(s => list(qi.convertStdSbus(s))),"
            " sets.map(s => list(qi.encodeSbusV1(s))),"
            " sets.map(s => list(qi.encodeSbusV2(s))),"
            " list(qi.requestUploadPortData(0xFA, 0x5F)), list(qi.stopUploadPortData())];",
            reports,
            sets,
        )
        for k, report in enumerate(reports):
            buf = (ctypes.c_uint8 * len(report))(*report)
            controller, channels = (ctypes.c_uint16 * CONTROLLER)(), (ctypes.c_uint16 * CHANNELS)()
            want = [
                list(controller)
                if self.native.parse_hid_game_controller_device(controller, buf, len(report))
                else None,
                list(channels)
                if self.native.parse_hid_compatible_device(channels, buf, len(report))
                else None,
            ]
            self.assertEqual(got[0][k], want, f"report {report}")
        for k, values in enumerate(sets):
            src, dst = (ctypes.c_uint16 * SBUS_CHANNELS)(*values), (
                ctypes.c_uint16 * SBUS_CHANNELS
            )()
            self.native.convert_std_sbus_data(dst, src)
            self.assertEqual(got[1][k], list(dst))
            for variant, encode in (
                (2, self.native.encode_sbus_data_v1),
                (3, self.native.encode_sbus_data_v2),
            ):
                sbus = (ctypes.c_uint8 * SBUS_SIZE)(SBUS_START)
                encode(sbus, src)
                self.assertEqual(got[variant][k], list(sbus), f"set {values}")
        self.assertEqual(got[4], [HEAD, CMD_REQUEST, 2, 0, 0xFA, 0x5F, TAIL])
        self.assertEqual(got[5], [HEAD, CMD_STOP, 0, 0, TAIL])


class Serial(Browser):
    def connect(self, label):
        self.js(f"__standins.offerPort('{label}', {{usbVendorId: 0x1a86, usbProductId: 0x7523}})")
        self.click("connect-serial")
        wait_for(
            lambda: self.js(f"return __standins.ports['{label}'].writes.length") > 0,
            "the upload request",
        )

    def test_request_first_values_shown_recorded_and_stop_on_disconnect(self):
        self.open_page()
        self.js(
            "document.getElementById('request-first').value = '7';"
            "document.getElementById('request-second').value = '9';"
            "document.getElementById('chunk-size').value = '1'"
        )
        self.connect("device")
        self.assertEqual(
            self.js("return __standins.ports.device.options"),
            {"baudRate": 115200, "bufferSize": 65536},
        )
        self.assertEqual(self.port_writes("device"), [[HEAD, CMD_REQUEST, 2, 0, 7, 9, TAIL]])
        self.assertIn("serial port 1a86:7523", self.text("source-status"))

        rng = random.Random(7)
        channels = [rng.randrange(65536) for _ in range(CHANNELS)]
        ports = [rng.randrange(65536) for _ in range(PORTS)]
        stream = (
            data_frame(0, [1] * CHANNELS)
            + data_frame(2, channels, [2] * PORTS)
            + b"\x00\x13"
            + data_frame(1, ports=ports)
        )
        for piece in split_randomly(stream, rng, 40):
            self.push("device", piece)
        self.wait_shown("channels", channels)
        self.wait_shown("ports", ports)
        self.assertEqual(self.text("stat-bytes"), str(len(stream)))

        recording = parse_recording(self.download("download-recording", ".qrec"))
        self.assertEqual(b"".join(chunk for _, chunk in recording), stream)
        self.assertEqual([t for t, _ in recording], sorted(t for t, _ in recording))
        # Fed one byte per call, the decoder reports every frame on its own.
        lines = self.json_lines()
        self.assertEqual([line["channels"] for line in lines], [[1] * CHANNELS, channels, channels])
        self.assertEqual([line["ports"] for line in lines], [[0] * PORTS, [2] * PORTS, ports])
        self.assertEqual([line["frames_decoded"] for line in lines], [1, 2, 3])
        self.assertEqual(lines[-1]["bytes"], len(stream))
        self.assertNotIn("sbus", lines[-1])
        wait_for(lambda: self.text("stat-updates") == "3", "three updates counted")

        self.click("connect-serial")
        wait_for(lambda: self.js("return __standins.ports.device.closed"), "the port to close")
        self.assertEqual(self.port_writes("device")[-1], [HEAD, CMD_STOP, 0, 0, TAIL])
        self.assertEqual(self.text("connect-serial"), "Connect serial port…")

    def test_a_vanished_port_is_reported_and_the_page_stays_usable(self):
        self.open_page()
        self.click("reconnect")
        self.connect("lost")
        self.push("lost", data_frame(0, list(range(CHANNELS))))
        self.wait_shown("channels", list(range(CHANNELS)))
        # The device is lost 14 bytes into a frame whose channel 5 is 863
        # (0x035F): 0x5F where the next connection's frame would complete it.
        channels = [1000] * 5 + [863] + [1000] * 6
        self.push("lost", data_frame(0, channels)[:14])
        self.js("__standins.ports.lost.vanish()")
        wait_for(lambda: "disappeared" in self.messages(), "the lost port to be reported")
        self.assertIn("serial port 1a86:7523 disappeared", self.messages())
        wait_for(
            lambda: self.text("connect-serial") == "Connect serial port…", "the button to reset"
        )
        self.connect("next")
        self.push("next", data_frame(0, channels))
        self.wait_shown("channels", channels)

    def test_a_lost_port_is_taken_up_again_when_the_same_device_returns(self):
        self.open_page()
        self.connect("first")
        before = list(range(CHANNELS))
        self.push("first", data_frame(0, before))
        self.wait_shown("channels", before)
        # Lost 14 bytes into a frame, as in the test above: the port that
        # returns must not complete it.
        channels = [1000] * 5 + [863] + [1000] * 6
        cut = data_frame(0, channels)[:14]
        self.push("first", cut)
        wait_for(lambda: self.text("stat-bytes") == str(len(data_frame(0, before)) + 14), "the cut")
        self.js("__standins.ports.first.vanish()")
        wait_for(lambda: "waiting for it to return" in self.text("source-status"), "the wait")
        self.assertIn("serial port 1a86:7523 disappeared at ", self.messages())

        # Another kind of adapter is not taken for it; the same kind is.
        self.js("__standins.plugPort('other', {usbVendorId: 0x0403, usbProductId: 0x6001})")
        self.js("__standins.plugPort('second', {usbVendorId: 0x1a86, usbProductId: 0x7523})")
        wait_for(lambda: self.port_writes("second"), "the upload request to the returned port")
        self.assertEqual(self.port_writes("second"), [[HEAD, CMD_REQUEST, 2, 0, 0, 0, TAIL]])
        self.assertEqual(self.port_writes("first")[0], self.port_writes("second")[0])
        self.assertIsNone(self.js("return __standins.ports.other.options"))
        self.push("second", data_frame(0, channels))
        self.wait_shown("channels", channels)
        self.assertIn("is back after", self.messages())

        # One session throughout: the recording holds both ports' bytes and
        # the JSON lines the values each port sent, with the gap noted.
        recording = parse_recording(self.download("download-recording", ".qrec"))
        self.assertEqual(
            b"".join(c for _, c in recording), data_frame(0, before) + cut + data_frame(0, channels)
        )
        lines = self.json_lines()
        self.assertEqual(
            [line.get("event", line.get("channels")) for line in lines],
            [before, "disconnected", "reconnected", channels],
        )
        self.click("connect-serial")
        wait_for(lambda: self.js("return __standins.ports.second.closed"), "the port to close")
        self.assertEqual(self.port_writes("second")[-1], [HEAD, CMD_STOP, 0, 0, TAIL])

    def test_closing_the_page_sends_the_stop_command(self):
        self.open_page()
        self.js("localStorage.clear()")
        self.connect("closing")
        self.driver.get(self.origin + "/style.css")
        last = json.loads(self.js("return localStorage.getItem('standin-last-write-closing')"))
        self.assertEqual(last, [HEAD, CMD_STOP, 0, 0, TAIL])


class Hid(Browser):
    def test_reports_go_to_the_decoder_of_their_length_and_refused_ones_are_counted(self):
        self.open_page()
        self.js("__standins.offerDevice('pad', 'Quarn pad')")
        self.click("connect-hid")
        wait_for(lambda: self.js("return __standins.devices.pad.opened"), "the device to open")
        rng = random.Random(19)
        report = [rng.randrange(256) for _ in range(19)]
        self.js("__standins.devices.pad.report(0, arguments[0])", report)
        self.wait_shown("controller", game_controller_values(report))

        # A numbered report reaches the decoder with its ID as byte 0.
        numbered = [rng.randrange(256) for _ in range(18)]
        self.js("__standins.devices.pad.report(3, arguments[0])", numbered)
        self.wait_shown("controller", game_controller_values([3] + numbered))
        channels = [rng.randrange(65536) for _ in range(CHANNELS)]
        compatible = [HEAD, 1, 2, 3] + list(le16(channels)) + [4]
        self.js("__standins.devices.pad.report(arguments[0], arguments[1])", HEAD, compatible[1:])
        self.wait_shown("channels", channels)

        self.js("__standins.devices.pad.report(0, arguments[0])", [HEAD] * 10)
        self.js("__standins.devices.pad.report(0, arguments[0])", [0xFB] + compatible[1:])
        self.js("__standins.devices.pad.report(0, arguments[0])", compatible + [0])
        wait_for(lambda: self.text("stat-refused") == "3", "three refused reports")
        self.assertEqual(self.shown("channels"), channels)
        after = [rng.randrange(256) for _ in range(19)]
        self.js("__standins.devices.pad.report(0, arguments[0])", after)
        self.wait_shown("controller", game_controller_values(after))

        lines = self.json_lines()
        self.assertEqual(
            [sorted(line) for line in lines],
            [["controller", "refused", "t"]] * 2
            + [["channels", "refused", "t"]]
            + [["controller", "refused", "t"]],
        )
        self.assertEqual(lines[2]["channels"], channels)
        self.assertEqual([line["refused"] for line in lines], [0, 0, 0, 3])
        self.click("connect-hid")
        wait_for(lambda: self.js("return __standins.devices.pad.closed"), "the device to close")

    def test_a_lost_device_is_taken_up_again_when_the_same_device_returns(self):
        self.open_page()
        self.js("__standins.offerDevice('pad', 'Quarn pad')")
        self.click("connect-hid")
        wait_for(lambda: self.js("return __standins.devices.pad.opened"), "the device to open")
        self.js("__standins.devices.pad.unplug()")
        wait_for(lambda: "waiting for it to return" in self.text("source-status"), "the wait")
        self.js("__standins.plugDevice('other', 'Another pad')")
        self.js("__standins.plugDevice('again', 'Quarn pad')")
        wait_for(lambda: self.js("return __standins.devices.again.opened"), "the device again")
        self.assertFalse(self.js("return __standins.devices.other.opened"))
        report = list(range(1, 20))
        self.js("__standins.devices.again.report(0, arguments[0])", report)
        self.wait_shown("controller", game_controller_values(report))


class Sbus(Browser):
    def sbus_writes(self, label, since=0):
        return self.js(f"return __standins.ports['{label}'].writes.slice({since})")

    def start_sbus(self, label):
        self.js(f"__standins.offerPort('{label}')")
        self.click("connect-sbus")
        wait_for(
            lambda: self.js(f"return __standins.ports['{label}'].options !== null"), "the SBUS port"
        )
        self.assertEqual(
            self.js(f"return __standins.ports['{label}'].options"),
            {"baudRate": 100000, "dataBits": 8, "parity": "even", "stopBits": 2},
        )

    def check_frames(self, writes, values, end_bytes, period_ms):
        for w in writes:
            sbus = w["bytes"]
            self.assertEqual(len(sbus), SBUS_SIZE)
            self.assertEqual(sbus[0], SBUS_START)
            self.assertEqual(sbus_unpack(sbus), values)
            self.assertEqual(sbus[SBUS_FLAGS], 0)
        self.assertEqual([w["bytes"][SBUS_END] for w in writes], end_bytes)
        # The page asks its clock for the period and sends no burst of
        # frames back to back (it keeps half a period between them, less
        # whatever time the machine takes the thread away between the page's
        # note of a write and the port's). How well the period holds is
        # measured by measure_sbus_period.py; here only a clock that does not
        # run at the period at all fails, whatever the machine's load.
        asked = self.js(
            "return __standins.workerMessages.filter(m => m.url.endsWith('/clock-worker.js'))"
        )
        self.assertEqual(asked[-1]["message"], {"period": period_ms})
        intervals = [round(b["t"] - a["t"], 1) for a, b in zip(writes, writes[1:])]
        self.assertGreater(min(intervals), BURST_MS, intervals)
        self.assertLess(statistics.median(intervals), 3 * period_ms, intervals)

    def test_forwards_ports_as_sbus_frames_at_their_period_with_failsafe(self):
        self.open_page()
        self.js("__standins.offerPort('device')")
        self.click("connect-serial")
        wait_for(lambda: self.port_writes("device"), "the upload request")
        # The page's clock and a Worker's start at different times: a second
        # between them shows if the failsafe mixes the two.
        time.sleep(1)
        self.start_sbus("sbus")
        ports = [37 * k for k in range(15)] + [5000] + [1100 + 60 * k for k in range(16)]
        time.sleep(0.3)
        self.assertEqual(self.sbus_writes("sbus"), [], "frames sent before any data")
        self.assertIn("waiting for data", self.text("sbus-status"))

        self.js("__standins.ports.device.feed(arguments[0], 20)", list(data_frame(1, ports=ports)))
        wait_for(lambda: len(self.sbus_writes("sbus")) >= 40, "40 SBUS frames")
        writes = self.sbus_writes("sbus")[:40]
        self.check_frames(writes, [to_sbus(v) for v in ports[:16]], [0] * 40, 14)

        self.js("__standins.ports.device.stopFeeding()")
        wait_for(lambda: "FAILSAFE" in self.text("sbus-status"), "the failsafe")
        held = len(self.sbus_writes("sbus"))
        time.sleep(0.3)
        self.assertEqual(len(self.sbus_writes("sbus")), held, "frames sent in failsafe")
        # Sending stops one failsafe time after the last data, give or take
        # a period and the time the page takes to read the data.
        quiet = self.sbus_writes("sbus")[-1]["t"] - self.js(
            "return __standins.ports.device.lastPushAt"
        )
        self.assertLess(quiet, FAILSAFE_MS + 14 + 250)
        self.js("__standins.ports.device.feed(arguments[0], 20)", list(data_frame(1, ports=ports)))
        wait_for(lambda: len(self.sbus_writes("sbus")) > held + 5, "sending to resume")
        self.assertEqual(self.json_lines()[-1]["sbus"]["failsafe"], False)

        # SBUS2 from ports 17..32, unscaled, in fast mode.
        self.click("connect-sbus")
        wait_for(lambda: self.js("return __standins.ports.sbus.closed"), "the SBUS port to close")
        self.js(
            "document.getElementById('sbus-source').value = 'ports-high';"
            "document.getElementById('sbus-raw').checked = true;"
            "document.getElementById('sbus-protocol').value = 'sbus2';"
            "document.getElementById('sbus-period').value = '7';"
        )
        self.start_sbus("sbus2")
        wait_for(lambda: len(self.sbus_writes("sbus2")) >= 40, "40 SBUS2 frames")
        self.check_frames(self.sbus_writes("sbus2")[:40], ports[16:], SBUS2_END_BYTES * 10, 7)

        self.click("connect-serial")
        wait_for(
            lambda: self.js("return __standins.ports.device.closed"), "the device port to close"
        )
        self.assertEqual(self.port_writes("device")[-1], [HEAD, CMD_STOP, 0, 0, TAIL])


if __name__ == "__main__":
    unittest.main()
