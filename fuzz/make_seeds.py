#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

Seeds are named after what they hold. Rerunning rewrites them byte for byte;
other files in the corpus (regression inputs found by fuzzing) are left alone.
The parser input format is described at the top of fuzz_parser.cpp.
"""
import pathlib
import struct

HEAD, TAIL = 0xFA, 0x5F
DATA, REQUEST, STOP = 0xA5, 0xE5, 0xE4
MAX_CHUNK = 255
NULL_CHANNELS, NULL_PORTS, NULL_DATA_CALL = 1, 2, 4

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"


def frame(command, payload, trailer=TAIL):
    return bytes([HEAD, command]) + struct.pack("<H", len(payload)) + bytes(payload) + bytes([trailer])


def values(count, first):
    return b"".join(struct.pack("<H", (first + 0x0101 * k) & 0xFFFF) for k in range(count))


def type0(first=0x0102):
    return frame(DATA, b"\x00" + values(12, first))


def type1(first=0x2030):
    return frame(DATA, b"\x01" + values(32, first))


def type2(first=0x4050, gap=b"\xfa\x5f\xfa\x5f\xa5\xe5"):
    return frame(DATA, b"\x02" + values(12, first) + gap + values(32, first + 0x11))


def record(chunk, flags=0, piece=1):
    assert len(chunk) <= MAX_CHUNK
    return bytes([len(chunk), flags | (piece - 1) << 3]) + chunk


def chunks(stream, size, flags=0, piece=1):
    return b"".join(record(stream[i:i + size], flags, piece) for i in range(0, len(stream), size))


def parser_seeds():
    long_frame = frame(DATA, b"\x00" + values(12, 0x0A0B) + bytes(495 - 25))  # 500 bytes
    frame_300 = frame(DATA, b"\x00" + values(12, 0x0C0D) + bytes(295 - 25))
    bad = bytearray(type0(0x1111))
    bad[-1] = 0x5E
    fa_inside = bytearray(type0(0x2222))
    fa_inside[-3] = HEAD
    return {
        "type0_whole": record(type0()),
        "type0_byte_by_byte": chunks(type0(), 1),
        "type1_whole": record(type1()),
        "type2_whole": record(type2()),
        "type2_null_channels": record(type2(), NULL_CHANNELS),
        "type1_null_ports": record(type1(), NULL_PORTS),
        "type2_null_both_and_null_data_call": record(type2(), NULL_CHANNELS | NULL_PORTS | NULL_DATA_CALL),
        "two_type0_one_chunk": record(type0(0x0101) + type0(0x0202)),
        "frame_then_ten_bytes_of_next": record(type0() + type1()[:10]) + record(type1()[10:]),
        "bad_trailer_then_good": record(bytes(bad) + type0(0x3333)),
        "stray_length_2_before_frame": record(bytes([HEAD, 0x00, 0x02, 0x00, 0x11, 0x22]) + type0()),
        "fa_in_payload_then_frame": record(bytes(fa_inside) + type0(0x4444)),
        "stop_frame_around_data_frame": record(frame(STOP, b"\x01\x02" + type0() + b"\x03")),
        "request_frame_then_data": record(frame(REQUEST, b"\xfa\x5f") + type1()),
        "ends_with_fa_a5": record(b"\x00\x5f" + bytes([HEAD, DATA])) + record(type0()[2:]),
        "retained_250_chunk_251": record(long_frame[:250]) + record(long_frame[250:] + type0()[:1])
        + record(type0()[1:]),
        "retained_200_chunk_100": record(frame_300[:200]) + record(frame_300[200:]),
        "longest_frame_in_two_chunks": chunks(long_frame, MAX_CHUNK, piece=32),
        "empty_chunk_between": record(type0()[:7]) + record(b"") + record(type0()[7:]),
        "short_type0": record(frame(DATA, b"\x00" + bytes(9))),
        "short_type2": record(frame(DATA, b"\x02" + values(12, 0x0505) + bytes(5))),
        "empty_payload": record(frame(DATA, b"")),
        "type3": record(frame(DATA, b"\x03" + values(12, 0x0606))),
        "stray_length_496_then_frame": record(bytes([HEAD, DATA, 0xF0, 0x01]) + type0()),
        "stray_length_ffff_then_frame": record(bytes([HEAD, DATA, 0xFF, 0xFF]) + type0()),
        "stray_length_495_over_frames": chunks(bytes([HEAD, DATA, 0xEF, 0x01]) + type2() * 6, 200, piece=7),
        "start_bytes_only": record(bytes([HEAD] * 40) + type0()),
    }


def hid_seeds():
    controller = bytearray(range(19))
    controller[6:9] = b"\x21\x43\x65"
    compatible = bytearray(29)
    compatible[0] = HEAD
    compatible[4:6] = b"\x34\x12"
    return {
        "controller_19": bytes(controller),
        "controller_all_ff": b"\xff" * 19,
        "controller_18": bytes(controller[:18]),
        "controller_20": bytes(controller) + b"\x00",
        "compatible_29": bytes(compatible),
        "compatible_fb": b"\xfb" + bytes(compatible[1:]),
        "compatible_28": bytes(compatible[:28]),
        "empty": b"",
    }


def sbus_set(channels):
    return b"".join(struct.pack("<H", c) for c in channels)


def sbus_seeds():
    return {
        "zeros": sbus_set([0] * 16),
        "all_2047": sbus_set([2047] * 16),
        "all_ffff": sbus_set([0xFFFF] * 16),
        "all_400": sbus_set([0x400] * 16),
        "alternating_555_2aa": sbus_set([0x555, 0x2AA] * 8),
        "ch0_ffff": sbus_set([0xFFFF] + [0] * 15),
        "ch1_ffff": sbus_set([0, 0xFFFF] + [0] * 14),
        "ch15_400": sbus_set([0] * 15 + [0x400]),
        "conversion_edges": sbus_set([0, 1, 600, 1199, 1200, 1201, 38416, 65535, 2047, 2048] + [0] * 6),
    }


def main():
    for target, seeds in (("parser", parser_seeds()), ("hid", hid_seeds()), ("sbus", sbus_seeds())):
        directory = CORPUS / target
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
