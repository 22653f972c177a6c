"""Frame builders and process helpers shared by the binding's tests."""

import os
import struct
import subprocess
import sys
from pathlib import Path

import quarninterface

PACKAGE_PARENT = Path(quarninterface.__file__).resolve().parent.parent


def le16(*values: int) -> bytes:
    return struct.pack(f"<{len(values)}H", *values)


def frame(command: int, payload: bytes, trailer: int = 0x5F) -> bytes:
    """A port-data frame: FA, command, little-endian length, payload, trailer."""
    return bytes([0xFA, command]) + le16(len(payload)) + payload + bytes([trailer])


def data_frame(payload_type: int, body: bytes) -> bytes:
    return frame(0xA5, bytes([payload_type]) + body)


def drain() -> None:
    """Empty the process-wide reassembly state.

    Zeros are never a start byte and never a trailer, so after 1000 of them
    every retained start byte (at most 499 bytes back, length at most 495)
    has been rejected.
    """
    quarninterface.PortDataParser().feed(bytes(1000))


def run_python(code: str, **environ: str) -> subprocess.CompletedProcess:
    """Run code in a fresh interpreter that imports this same package."""
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT), **environ)
    return subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60
    )
