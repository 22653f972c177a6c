#!/usr/bin/env python3
"""Writes device-stream.bin, a recorded port-data stream of the Quarn device,
and device-stream.expected, the values a host holds after replaying it.

The stream is built from the byte layout alone:

    frame   = FA, command, payload length (2 bytes, low first), payload, 5F
    type 0  = 00, 12 channels              (16 bits each, low byte first)
    type 1  = 01, 32 ports
    type 2  = 02, 12 channels, 6 unused bytes, 32 ports

It holds what a real capture holds: the tail of a frame cut off when the
capture started, the echo of the upload request (command E5), data frames of
all three types with smoothly changing values, bursts of line noise, a stray
start byte, and one frame whose trailer was corrupted.

    make_stream.py [OUTPUT_DIR]     (default: the directory of this script)
"""

import math
import random
import sys
from pathlib import Path

HEAD, TAIL = 0xFA, 0x5F
CMD_PORT_DATA, CMD_UPLOAD_REQUEST = 0xA5, 0xE5
CHANNELS, PORTS = 12, 32
FRAMES = 60


def le16(values):
    out = bytearray()
    for v in values:
        out += bytes((v & 0xFF, v >> 8))
    return bytes(out)


def frame(command, payload, trailer=TAIL):
    n = len(payload)
    return bytes((HEAD, command, n & 0xFF, n >> 8)) + payload + bytes((trailer,))


def channels_at(n):
    """Stick-like values swinging between 500 and 1500."""
    return [round(1000 + 500 * math.sin(2 * math.pi * (n / 40 + k / CHANNELS)))
            for k in range(CHANNELS)]


def ports_at(n):
    """Slow ramps, one per port."""
    return [(100 * j + 7 * n) % 4096 for j in range(PORTS)]


def noise(rng, count):
    # No start byte in the noise: every frame start in the stream is meant.
    return bytes(rng.choice([b for b in range(256) if b != HEAD]) for _ in range(count))


def build():
    rng = random.Random(2024)
    stream = bytearray()
    final_channels, final_ports = [0] * CHANNELS, [0] * PORTS

    stream += noise(rng, 9)  # the end of a frame the capture cut into
    stream += frame(CMD_UPLOAD_REQUEST, bytes((0x01, 0x00)))
    for n in range(FRAMES):
        if n % 10 == 9:
            final_channels, final_ports = channels_at(n), ports_at(n)
            stream += frame(CMD_PORT_DATA, bytes((2,)) + le16(final_channels) + bytes(6)
                            + le16(final_ports))
        else:
            final_channels = channels_at(n)
            stream += frame(CMD_PORT_DATA, bytes((0,)) + le16(final_channels))
        if n % 4 == 1:
            final_ports = ports_at(n)
            stream += frame(CMD_PORT_DATA, bytes((1,)) + le16(final_ports))
        if n % 7 == 3:
            stream += noise(rng, rng.randint(1, 20))
        if n == 30:
            stream += bytes((HEAD,))  # a stray start byte right before a frame

    # A corrupted frame after the last channel values: its values must not
    # show. Its payload holds no start byte, so nothing inside it is taken.
    stream += frame(CMD_PORT_DATA, bytes((0,)) + le16([0x7777] * CHANNELS), trailer=0x5E)
    final_ports = ports_at(FRAMES)
    stream += frame(CMD_PORT_DATA, bytes((1,)) + le16(final_ports))
    stream += noise(rng, 5)

    expected = ("final channels: " + " ".join(map(str, final_channels)) + "\n"
                + "final ports: " + " ".join(map(str, final_ports)) + "\n")
    return bytes(stream), expected


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent
    stream, expected = build()
    (out / "device-stream.bin").write_bytes(stream)
    (out / "device-stream.expected").write_text(expected)
    print(f"wrote {len(stream)} bytes to {out / 'device-stream.bin'}")


if __name__ == "__main__":
    main()
