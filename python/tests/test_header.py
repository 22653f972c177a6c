"""The package's sizes and function list against the C header and the .def.

The package cannot read the header at run time, so it repeats the sizes; this
keeps the copies equal to the one source when the tests run from the source
tree, and is skipped elsewhere (an sdist has no header).
"""

import re
import unittest
from pathlib import Path

import quarninterface as qi
from quarninterface import _library

ROOT = Path(__file__).resolve().parents[2]
HEADER = ROOT / "include" / "QuarnInterface.h"
DEF_FILE = ROOT / "src" / "QuarnInterface.def"


def header_macros() -> dict[str, int]:
    """Every QUARN_ macro that is an integer expression, its parts resolved."""
    text = re.sub(r"/\*.*?\*/", "", HEADER.read_text(), flags=re.S).replace("\\\n", " ")
    raw = dict(re.findall(r"^#define (QUARN_\w+)[ \t]+([^\n]+)$", text, flags=re.M))
    arithmetic = re.compile(r"[\s()+*/-]*(?:(?:0x[0-9A-Fa-f]+|\d+|QUARN_\w+)[\s()+*/-]*)+")
    values: dict[str, int] = {}

    def value(name: str) -> int:
        if name not in values:
            expression = re.sub(r"QUARN_\w+", lambda m: str(value(m.group(0))), raw[name])
            # Only digits, parentheses and the four operators reach eval.
            values[name] = int(eval(expression.replace("/", "//")))
        return values[name]

    return {name: value(name) for name, text in raw.items() if arithmetic.fullmatch(text)}


@unittest.skipUnless(HEADER.is_file() and DEF_FILE.is_file(), "not in the source tree")
class HeaderTest(unittest.TestCase):
    def test_sizes_equal_the_header(self):
        macros = header_macros()
        for name in [
            "UPLOAD_REQUEST_SIZE", "UPLOAD_STOP_SIZE", "CHANNEL_COUNT", "PORT_COUNT",
            "HID_GAME_CONTROLLER_REPORT_SIZE", "HID_COMPATIBLE_REPORT_SIZE",
            "SBUS_CHANNEL_COUNT", "SBUS_FRAME_SIZE", "SBUS_START_BYTE", "CONTROLLER_VALUE_COUNT",
        ]:
            with self.subTest(name=name):
                self.assertEqual(getattr(qi, name), macros["QUARN_" + name])

    def test_version_equals_the_header(self):
        macros = header_macros()
        parts = [macros[f"QUARN_INTERFACE_VERSION_{p}"] for p in ("MAJOR", "MINOR", "PATCH")]
        self.assertEqual(qi.__version__, ".".join(map(str, parts)))

    def test_functions_are_the_exports(self):
        exports = re.findall(r"^\s+(\w+)\s+@\d+", DEF_FILE.read_text(), flags=re.M)
        self.assertEqual(len(exports), 8)
        self.assertEqual(sorted(_library._PROTOTYPES), sorted(exports))
