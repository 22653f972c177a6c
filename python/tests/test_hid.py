import unittest

import quarninterface as qi
from helpers import le16

# Bytes 6-8, 9-11 and 12-13 pack 12-bit values low bits first.
GAME_REPORT = bytes.fromhex("3412 7856 bc9a 214365 87a9cb ed5f 1122 3344 99")
GAME_VALUES = (0x1234, 0x5678, 0x9ABC, 0x321, 0x654, 0x987, 0xCBA, 0xFED, 0x5, 0x2211, 0x4433)
COMPATIBLE_VALUES = (0x1234, 0, 0xFFFF, 0x00FA, 0x5F00, 1, 2, 3, 0x8000, 0x7FFF, 0xA5A5, 0x0102)
COMPATIBLE_REPORT = b"\xfa\xfa\x5f\x00" + le16(*COMPATIBLE_VALUES) + b"\x77"


class HidReportTest(unittest.TestCase):
    def test_game_controller_layout(self):
        self.assertEqual(qi.parse_hid_game_controller_device(GAME_REPORT), GAME_VALUES)
        other_last = bytearray(GAME_REPORT)
        other_last[18] = 0x00
        self.assertEqual(qi.parse_hid_game_controller_device(other_last), GAME_VALUES)

    def test_game_controller_refusals(self):
        # 275 is 19 modulo 256: a length truncated to 8 bits would pass.
        for length in [0, 18, 20, 255, 275]:
            self.assertIsNone(qi.parse_hid_game_controller_device(bytes(length)), length)

    def test_compatible_layout(self):
        self.assertEqual(qi.parse_hid_compatible_device(COMPATIBLE_REPORT), COMPATIBLE_VALUES)
        self.assertEqual(len(COMPATIBLE_REPORT), qi.HID_COMPATIBLE_REPORT_SIZE)

    def test_compatible_refusals(self):
        for report in [
            b"\xfb" + COMPATIBLE_REPORT[1:],
            COMPATIBLE_REPORT[:-1],
            COMPATIBLE_REPORT + b"\x00",
            COMPATIBLE_REPORT + bytes(256),  # 285 is 29 modulo 256
        ]:
            self.assertIsNone(qi.parse_hid_compatible_device(report), len(report))

    def test_refuses_non_bytes(self):
        for parse in [qi.parse_hid_game_controller_device, qi.parse_hid_compatible_device]:
            with self.assertRaises(TypeError):
                parse("\xfa" * 29)
