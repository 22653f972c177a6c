import unittest

import quarninterface as qi


class UploadCommandsTest(unittest.TestCase):
    def test_request_copies_both_bytes_unescaped(self):
        for first, second, expected in [
            (0x00, 0x00, "fae50200 0000 5f"),
            (0xFA, 0x5F, "fae50200 fa5f 5f"),
            (0xFF, 0x01, "fae50200 ff01 5f"),
        ]:
            self.assertEqual(qi.request_upload_port_data(first, second), bytes.fromhex(expected))

    def test_stop_is_constant(self):
        self.assertEqual(qi.stop_upload_port_data(), bytes.fromhex("fae400005f"))
        self.assertEqual(qi.stop_upload_port_data(), qi.stop_upload_port_data())

    def test_request_byte_refusals(self):
        for args in [(-1, 0), (256, 0), (0, -1), (0, 0x1FF)]:
            with self.assertRaisesRegex(ValueError, "0 to 255"):
                qi.request_upload_port_data(*args)
        for args in [("1", 0), (0, 1.0), (None, 0)]:
            with self.assertRaises(TypeError):
                qi.request_upload_port_data(*args)
