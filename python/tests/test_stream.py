import array
import unittest

import quarninterface as qi
from helpers import data_frame, drain, frame, le16
from test_hid import COMPATIBLE_REPORT, COMPATIBLE_VALUES, GAME_REPORT, GAME_VALUES

CHANNELS = tuple(0x0101 * k + 0x1000 for k in range(12))  # 0x1000, 0x1101, ...
PORTS = tuple(0xF000 - 0x0203 * k for k in range(32))
TYPE0 = data_frame(0, le16(*CHANNELS))
TYPE1 = data_frame(1, le16(*PORTS))
# Payload bytes 25 to 30 of type 2 are unused; fill them with frame bytes.
TYPE2 = data_frame(2, le16(*CHANNELS) + bytes([0xFA, 0xA5, 0x5F] * 2) + le16(*PORTS))
ZERO_CHANNELS, ZERO_PORTS = (0,) * 12, (0,) * 32


class PortDataParserTest(unittest.TestCase):
    def setUp(self):
        drain()
        self.parser = qi.PortDataParser()

    def assertValues(self, channels, ports):
        self.assertEqual(self.parser.channels, channels)
        self.assertEqual(self.parser.ports, ports)

    def test_each_payload_type_fills_its_arrays(self):
        for stream, channels, ports in [
            (TYPE0, CHANNELS, ZERO_PORTS),
            (TYPE1, ZERO_CHANNELS, PORTS),
            (TYPE2, CHANNELS, PORTS),
        ]:
            self.parser = qi.PortDataParser()
            self.assertTrue(self.parser.feed(stream))
            self.assertValues(channels, ports)

    def test_frames_longer_than_one_library_chunk(self):
        # 405-byte frame: fed whole, it only decodes if the binding cuts it
        # into pieces of at most 255 (a truncated 8-bit length would lose it).
        long_type2 = data_frame(2, TYPE2[5:-1] + bytes(400 - 95))
        self.assertEqual(len(long_type2), 405)
        self.assertTrue(self.parser.feed(bytearray(long_type2)))
        self.assertValues(CHANNELS, PORTS)

    def test_every_cut_of_a_stream_gives_the_same_values(self):
        stream = bytes(range(0x10, 0x30)) + TYPE0 + frame(0xE5, b"\x01\x02") + TYPE1
        for cut in range(len(stream) + 1):
            drain()
            self.parser = qi.PortDataParser()
            first = self.parser.feed(stream[:cut])
            second = self.parser.feed(memoryview(stream)[cut:])
            self.assertTrue(first or second, cut)
            self.assertValues(CHANNELS, PORTS)

    def test_streams_without_a_decodable_data_frame(self):
        for stream in [
            b"",
            qi.request_upload_port_data(0xA5, 0x5F),
            TYPE0[:-1],  # unfinished
        ]:
            self.assertFalse(self.parser.feed(stream), stream.hex())
            self.assertValues(ZERO_CHANNELS, ZERO_PORTS)

    def test_parsers_share_one_reassembly_state(self):
        other = qi.PortDataParser()
        self.assertFalse(other.feed(TYPE0[:20]))
        self.assertTrue(self.parser.feed(TYPE0[20:]))
        self.assertValues(CHANNELS, ZERO_PORTS)
        self.assertEqual(other.channels, ZERO_CHANNELS)


# A type-0 frame whose channel 5, 863 = 0x035F, puts 0x5F 15 bytes in: where
# a frame cut after 14 bytes, completed by this one, has its trailer.
CUT_CHANNELS = (1000,) * 5 + (863,) + (1000,) * 6
CUT_FRAME = data_frame(0, le16(*CUT_CHANNELS))
MEASURED_CUT = 14
# The longest payload a frame may claim: 500 bytes in all.
MAX_PAYLOAD_SIZE = 495
# Without a clean start, channels 4 to 6 of that false frame: the cut
# frame's retained low byte of channel 4 with the new frame's FA, then A5 19
# (the new frame's command and length) and 00 00 (length, type byte).
FALSE_CHANNELS_4_TO_6 = (
    CUT_FRAME[MEASURED_CUT - 1] | CUT_FRAME[0] << 8,
    CUT_FRAME[1] | CUT_FRAME[2] << 8,
    CUT_FRAME[3] | CUT_FRAME[4] << 8,
)


class NewStreamTest(unittest.TestCase):
    """A frame cut by a lost connection must not be completed by the first
    bytes of the next stream."""

    def test_a_new_parser_and_reset_start_clean(self):
        def new_parser(old):
            return qi.PortDataParser()

        def reset(old):
            old.reset()
            return old

        def no_clean_start(old):
            return old

        # The longest frame there is, 500 bytes: cut after its header, it
        # holds back 496 more bytes of whatever follows.
        longest = data_frame(2, bytes(MAX_PAYLOAD_SIZE - 1))[:4]
        # (what the lost stream left, how the next stream starts, channels 4 to 6)
        cases = [(CUT_FRAME[:MEASURED_CUT], no_clean_start, FALSE_CHANNELS_4_TO_6)]
        for lost in [CUT_FRAME[:cut] for cut in (1, 4, 5, MEASURED_CUT, 15, 28, 29)] + [longest]:
            cases += [(lost, new_parser, CUT_CHANNELS[4:7]), (lost, reset, CUT_CHANNELS[4:7])]
        for lost, start, channels in cases:
            with self.subTest(lost=lost[:16].hex(), length=len(lost), start=start.__name__):
                drain()
                old = qi.PortDataParser()
                self.assertFalse(old.feed(lost))
                parser = start(old)
                if start is not no_clean_start:
                    self.assertEqual(parser.channels, ZERO_CHANNELS)
                self.assertTrue(parser.feed(CUT_FRAME))
                self.assertEqual(parser.channels[4:7], channels)
                # Only the real frame, whole, gives every value.
                self.assertEqual(parser.channels == CUT_CHANNELS, start is not no_clean_start)

    def test_reset_writes_nothing_into_other_parsers(self):
        other = qi.PortDataParser()
        self.assertTrue(other.feed(TYPE2 + TYPE0[:20]))
        qi.PortDataParser().reset()
        self.assertEqual((other.channels, other.ports), (CHANNELS, PORTS))
        self.assertFalse(other.feed(TYPE0[20:]))


# The same bytes as hidapi's binding returns them (a list) and in the other
# forms accepted; then what is refused: (argument, exception, text).
def byte_inputs(data: bytes):
    words = array.array("H", [0x1234] * 4)
    return [
        data,
        bytearray(data),
        memoryview(data),
        memoryview(bytes(x for b in data for x in (b, 0)))[::2],
        list(data),
        tuple(data),
        iter(list(data)),
        array.array("B", data),
    ], [
        ("fa a5", TypeError, "is str"),
        (30, TypeError, "is int"),
        (None, TypeError, "is NoneType"),
        (words, TypeError, "2-byte items (format 'H')"),
        (memoryview(words), TypeError, "2-byte items"),
        (memoryview(bytes(8)).cast("I"), TypeError, "4-byte items"),
        (list(data[:3]) + [256], ValueError, "[3] is 256; each byte must be 0 to 255"),
        ([-1] + list(data), ValueError, "[0] is -1"),
        (list(data[:2]) + [1.0], TypeError, "[2] is float"),
        (["\xfa"], TypeError, "[0] is str"),
    ]


class ByteInputsTest(unittest.TestCase):
    def test_every_function_that_takes_bytes_accepts_and_refuses_alike(self):
        def decode(data):
            parser = qi.PortDataParser()
            return parser.feed(data), parser.channels, parser.ports

        # (argument's name, the bytes, the function, what it returns for them)
        functions = [
            ("data", TYPE2, decode, (True, CHANNELS, PORTS)),
            ("report", COMPATIBLE_REPORT, qi.parse_hid_compatible_device, COMPATIBLE_VALUES),
            ("report", GAME_REPORT, qi.parse_hid_game_controller_device, GAME_VALUES),
        ]
        for name, data, call, expected in functions:
            accepted, refused = byte_inputs(data)
            for argument in accepted:
                with self.subTest(name=name, argument=type(argument).__name__):
                    self.assertEqual(call(argument), expected)
            for argument, error, text in refused:
                with self.subTest(name=name, argument=argument):
                    with self.assertRaises(error) as caught:
                        call(argument)
                    message = str(caught.exception)
                    self.assertTrue(message.startswith(name), message)
                    self.assertIn(text, message)
                    if error is TypeError:
                        self.assertIn("bytes, bytearray, a memoryview of bytes", message)
