import unittest

import quarninterface as qi
from helpers import run_python


def frame_of(*channels):
    return (list(channels) + [0] * 16)[:16]


class SbusTest(unittest.TestCase):
    def test_hand_computed_layouts(self):
        for channels, body in [
            ([0] * 16, bytes(22)),
            (frame_of(0, 1), b"\x00\x08" + bytes(20)),
            ([0] * 15 + [0x400], bytes(21) + b"\x80"),
            ([0x400] * 16, bytes.fromhex("0004200001084000021080") * 2),
            ([0x555, 0x2AA] * 8, b"\x55" * 22),
            (frame_of(0xFFFF), b"\xff\x07" + bytes(20)),  # clamped to 2047
            (frame_of(0, 0xFFFF), b"\x00\xf8\x3f" + bytes(19)),
        ]:
            for encode, ends in [
                (qi.encode_sbus_data_v1, {0}),
                (qi.encode_sbus_data_v2, {0x04, 0x14, 0x24, 0x34}),
            ]:
                result = encode(channels)
                self.assertEqual(result[:1], b"\x0f")
                self.assertEqual(result[1:23], body, channels)
                self.assertEqual(result[23], 0)
                self.assertIn(result[24], ends)
                self.assertEqual(len(result), qi.SBUS_FRAME_SIZE)

    def test_v2_end_byte_sequence_from_load(self):
        script = (
            "import quarninterface as qi\n"
            "ends = []\n"
            "for n in range(257):\n"
            "    ends.append(qi.encode_sbus_data_v2([0] * 16)[24])\n"
            "    qi.encode_sbus_data_v1([0] * 16)\n"
            "print(ends[:6], ends[255], ends[256])\n"
        )
        result = run_python(script)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), "[4, 20, 36, 52, 4, 20] 52 4")

    def test_convert_std_to_sbus(self):
        inputs = [0, 1, 600, 1199, 1200, 1201, 38416, 65535] * 2
        expected = (0, 1, 1023, 2045, 2047, 2047, 2047, 2047) * 2
        self.assertEqual(qi.convert_std_sbus_data(iter(inputs)), expected)

    def test_channel_set_refusals(self):
        for function in [qi.convert_std_sbus_data, qi.encode_sbus_data_v1, qi.encode_sbus_data_v2]:
            for values, pattern in [
                ([0] * 15, "expected 16 channel values, got 15"),
                ([0] * 17, "got 17"),
                ([0] * 15 + [65536], "channel 15 is 65536"),
                ([-1] + [0] * 15, "channel 0 is -1"),
            ]:
                with self.assertRaisesRegex(ValueError, pattern):
                    function(values)
            for values in [[0.5] * 16, ["1"] * 16, 16]:
                with self.assertRaises(TypeError):
                    function(values)
