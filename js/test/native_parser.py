"""Feeds chunks to the native library's parse_port_data and prints, for
each, the flag and the values after it: the reference for the package's
parser. The chunks come as a JSON list of lists of bytes on standard input;
one longer than 255 bytes goes to the library in calls of at most 255 and
its flag says whether any of them decoded a frame. The library's state is
the process's, so every stream needs a process of its own.

    QUARN_INTERFACE_LIBRARY=build/linux/libQuarnInterface.so python3 native_parser.py
"""

import ctypes
import json
import os
import sys

MAX_CHUNK, CHANNELS, PORTS = 255, 12, 32

lib = ctypes.CDLL(os.environ["QUARN_INTERFACE_LIBRARY"])
u8p, u16p = ctypes.POINTER(ctypes.c_uint8), ctypes.POINTER(ctypes.c_uint16)
lib.parse_port_data.argtypes = [u8p, ctypes.c_uint8, u16p, u16p]
lib.parse_port_data.restype = ctypes.c_uint8
channels, ports = (ctypes.c_uint16 * CHANNELS)(), (ctypes.c_uint16 * PORTS)()
results = []
for chunk in json.load(sys.stdin):
    flag = 0
    for at in range(0, len(chunk), MAX_CHUNK):
        piece = chunk[at : at + MAX_CHUNK]
        data = (ctypes.c_uint8 * len(piece))(*piece)
        flag |= lib.parse_port_data(data, len(piece), channels, ports)
    results.append([flag, list(channels), list(ports)])
json.dump(results, sys.stdout)
