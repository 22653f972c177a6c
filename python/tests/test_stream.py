import unittest

import quarninterface as qi
from helpers import data_frame, drain, frame, le16

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

    def test_refuses_non_bytes(self):
        for data in ["fa a5", 30, [0xFA]]:
            with self.assertRaises(TypeError):
                self.parser.feed(data)
