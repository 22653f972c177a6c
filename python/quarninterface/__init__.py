"""Python binding of QuarnInterface, the host-side library for the Quarn device.

The library does no I/O: you read bytes or HID reports from the device
yourself, hand them to this package, and send the bytes it returns. Every
function here calls the shared library through ctypes; see ``_library`` for
where the library is looked for (``QUARN_INTERFACE_LIBRARY`` first).

Typical exchange over the serial link::

    import quarninterface as qi

    link.write(qi.request_upload_port_data(0, 0))
    parser = qi.PortDataParser()
    while streaming:
        if parser.feed(link.read(4096)):
            use(parser.channels, parser.ports)
    link.write(qi.stop_upload_port_data())
"""

from __future__ import annotations

import ctypes
import operator
import threading
from collections.abc import Callable, Iterable

from ._library import CONTROLLER_VALUE_COUNT, ControllerState, LibraryNotFoundError, load

__version__ = "1.0.0"

__all__ = [
    "CHANNEL_COUNT",
    "CONTROLLER_VALUE_COUNT",
    "HID_COMPATIBLE_REPORT_SIZE",
    "HID_GAME_CONTROLLER_REPORT_SIZE",
    "LibraryNotFoundError",
    "MAX_CHUNK_SIZE",
    "PORT_COUNT",
    "PortDataParser",
    "SBUS_CHANNEL_COUNT",
    "SBUS_FRAME_SIZE",
    "SBUS_START_BYTE",
    "UPLOAD_REQUEST_SIZE",
    "UPLOAD_STOP_SIZE",
    "convert_std_sbus_data",
    "encode_sbus_data_v1",
    "encode_sbus_data_v2",
    "library_path",
    "parse_hid_compatible_device",
    "parse_hid_game_controller_device",
    "request_upload_port_data",
    "stop_upload_port_data",
]

# Sizes from the library's public header.
UPLOAD_REQUEST_SIZE = 7
UPLOAD_STOP_SIZE = 5
CHANNEL_COUNT = 12
PORT_COUNT = 32
HID_GAME_CONTROLLER_REPORT_SIZE = 19
HID_COMPATIBLE_REPORT_SIZE = 29
SBUS_CHANNEL_COUNT = 16
SBUS_FRAME_SIZE = 25
SBUS_START_BYTE = 0x0F
# The library takes a length as an unsigned 8-bit value.
MAX_CHUNK_SIZE = 255

_BYTE_MAX = 0xFF
_VALUE_MAX = 0xFFFF

# What the functions that take received bytes accept: anything with a buffer
# of single bytes, or ints 0 to 255 (hidapi's binding returns a list of them).
ByteSource = bytes | bytearray | memoryview | Iterable[int]
_ACCEPTED = "bytes, bytearray, a memoryview of bytes, or an iterable of ints 0 to 255"

# Tracebacks then show the public name, quarninterface.LibraryNotFoundError.
LibraryNotFoundError.__module__ = __name__

# library_path: the absolute path of the library file loaded, for users to
# check which copy they got.
_lib, library_path = load()

# A new stream starts with this many zero bytes, fed with no arrays: no frame
# claims more than 500 bytes, and a zero is never a start byte nor a trailer,
# so every retained byte is dropped and nothing is decoded into the arrays.
_NEW_STREAM_FLUSH_CALLS = 2
_NEW_STREAM_FLUSH_CHUNK = bytes(MAX_CHUNK_SIZE)

# ctypes releases the GIL during a call, so two threads feeding at once would
# interleave inside the library's single reassembly buffer.
_parse_lock = threading.Lock()


def _as_bytes(data: ByteSource, name: str) -> bytes:
    """The bytes of ``data``, or a TypeError or ValueError that names the
    argument and what it accepts."""
    if isinstance(data, bytes):
        return data
    try:
        view = memoryview(data)  # type: ignore[arg-type]
    except TypeError:
        pass
    else:
        # An array('H') would otherwise pass as twice as many bytes.
        if view.itemsize != 1:
            raise TypeError(
                f"{name} is a buffer of {view.itemsize}-byte items (format {view.format!r}); "
                f"expected {_ACCEPTED}"
            )
        return view.tobytes()
    # A str iterates as characters, and bytes(n) of an int would make n zeros.
    if isinstance(data, str) or not isinstance(data, Iterable):
        raise TypeError(f"{name} is {type(data).__name__}; expected {_ACCEPTED}")
    items = list(data)
    for position, item in enumerate(items):
        try:
            value = operator.index(item)
        except TypeError:
            raise TypeError(
                f"{name}[{position}] is {type(item).__name__}; expected {_ACCEPTED}"
            ) from None
        if not 0 <= value <= _BYTE_MAX:
            raise ValueError(f"{name}[{position}] is {value}; each byte must be 0 to {_BYTE_MAX}")
    return bytes(items)


def _request_byte(name: str, value: int) -> int:
    value = operator.index(value)
    if not 0 <= value <= _BYTE_MAX:
        raise ValueError(f"{name} request byte is {value}; it must be 0 to {_BYTE_MAX}")
    return value


def request_upload_port_data(first: int, second: int) -> bytes:
    """Return the 7-byte command that starts the device's port-data stream.

    The bytes are FA E5 02 00 ``first`` ``second`` 5F; both request bytes are
    copied unchanged. Raises ValueError for a request byte outside 0 to 255.
    """
    out = (ctypes.c_uint8 * UPLOAD_REQUEST_SIZE)()
    _lib.request_upload_port_data(
        out, _request_byte("first", first), _request_byte("second", second)
    )
    return bytes(out)


def stop_upload_port_data() -> bytes:
    """Return the 5-byte command FA E4 00 00 5F that stops the stream."""
    out = (ctypes.c_uint8 * UPLOAD_STOP_SIZE)()
    _lib.stop_upload_port_data(out)
    return bytes(out)


class PortDataParser:
    """Reassembles the device's port-data stream and decodes its data frames.

    The library keeps ONE reassembly state per process: every parser in the
    process shares it, so a process can follow one byte stream only. Bytes
    from a second device, or from two parsers fed in turn, corrupt each
    other's frames.

    A new parser starts a new stream: it drops whatever part of a frame the
    library still holds from an earlier stream (see ``reset``), so the first
    frame it decodes is one the device sent whole.

    Each parser keeps its own ``channels`` and ``ports``: they hold the
    values of the last data frame that carried them, and zeros before that.
    """

    def __init__(self) -> None:
        self._channels = (ctypes.c_uint16 * CHANNEL_COUNT)()
        self._ports = (ctypes.c_uint16 * PORT_COUNT)()
        self.reset()

    def reset(self) -> None:
        """Start a new stream: after a reconnect, after the port was reopened,
        before a replay.

        Drops the part of a frame that the library retained from the old
        stream, which the first bytes of the new one could otherwise complete
        into a frame the device never sent, and sets ``channels`` and
        ``ports`` to zeros. As every parser in the process shares the
        library's state, this also resets every other parser's stream (their
        values stay as they are).
        """
        ctypes.memset(self._channels, 0, ctypes.sizeof(self._channels))
        ctypes.memset(self._ports, 0, ctypes.sizeof(self._ports))
        with _parse_lock:
            for _ in range(_NEW_STREAM_FLUSH_CALLS):
                _lib.parse_port_data(_NEW_STREAM_FLUSH_CHUNK, MAX_CHUNK_SIZE, None, None)

    def feed(self, data: ByteSource) -> bool:
        """Take received bytes of any length, cut anywhere.

        ``data`` is bytes, bytearray, a memoryview of bytes, or an iterable of
        ints 0 to 255; anything else raises TypeError, and a value outside 0
        to 255 ValueError.

        Returns True when at least one data frame was decoded during this
        call, whatever its type. An unfinished frame is kept for the next
        call; bad bytes are skipped without losing a good frame after them.
        """
        data = _as_bytes(data, "data")
        decoded = False
        with _parse_lock:
            for start in range(0, len(data), MAX_CHUNK_SIZE):
                chunk = data[start : start + MAX_CHUNK_SIZE]
                if _lib.parse_port_data(chunk, len(chunk), self._channels, self._ports):
                    decoded = True
        return decoded

    @property
    def channels(self) -> tuple[int, ...]:
        """The 12 channel values (payload types 0 and 2)."""
        return tuple(self._channels)

    @property
    def ports(self) -> tuple[int, ...]:
        """The 32 port values, two groups of 16 (payload types 1 and 2)."""
        return tuple(self._ports)


def parse_hid_game_controller_device(report: ByteSource) -> tuple[int, ...] | None:
    """Decode a 19-byte HID game-controller report into its 11 values.

    Values 0-2 and 9-10 are 16-bit, 3-7 are 12-bit, 8 is 4-bit. Returns None
    when the library refuses the report (any length other than 19). The
    report is taken as ``PortDataParser.feed`` takes its data, a list from
    hidapi included.
    """
    report = _as_bytes(report, "report")
    if len(report) > MAX_CHUNK_SIZE:
        return None
    state = ControllerState()
    if not _lib.parse_hid_game_controller_device(ctypes.byref(state), report, len(report)):
        return None
    return tuple(state.values)


def parse_hid_compatible_device(report: ByteSource) -> tuple[int, ...] | None:
    """Decode a 29-byte HID compatible-device report into 12 channel values.

    Returns None when the library refuses the report: a length other than 29,
    or a first byte other than 0xFA. The report is taken as
    ``PortDataParser.feed`` takes its data.
    """
    report = _as_bytes(report, "report")
    if len(report) > MAX_CHUNK_SIZE:
        return None
    channels = (ctypes.c_uint16 * CHANNEL_COUNT)()
    if not _lib.parse_hid_compatible_device(channels, report, len(report)):
        return None
    return tuple(channels)


def _channel_set(values: Iterable[int]) -> ctypes.Array[ctypes.c_uint16]:
    items = [operator.index(value) for value in values]
    if len(items) != SBUS_CHANNEL_COUNT:
        raise ValueError(f"expected {SBUS_CHANNEL_COUNT} channel values, got {len(items)}")
    for position, value in enumerate(items):
        if not 0 <= value <= _VALUE_MAX:
            raise ValueError(f"channel {position} is {value}; values must be 0 to {_VALUE_MAX}")
    return (ctypes.c_uint16 * SBUS_CHANNEL_COUNT)(*items)


def convert_std_sbus_data(values: Iterable[int]) -> tuple[int, ...]:
    """Scale 16 values from the device's standard range to SBUS (0 to 2047).

    Each value becomes value * 1.706 truncated, at most 2047: 600 gives 1023,
    1200 and above give 2047. Raises ValueError unless given 16 values of 0
    to 65535.
    """
    src = _channel_set(values)
    dst = (ctypes.c_uint16 * SBUS_CHANNEL_COUNT)()
    _lib.convert_std_sbus_data(dst, src)
    return tuple(dst)


def _encode(function: Callable[..., None], values: Iterable[int]) -> bytes:
    channel_set = _channel_set(values)
    frame = (ctypes.c_uint8 * SBUS_FRAME_SIZE)(SBUS_START_BYTE)
    function(frame, channel_set)
    return bytes(frame)


def encode_sbus_data_v1(values: Iterable[int]) -> bytes:
    """Return the 25-byte SBUS frame of 16 channels with end byte 0.

    Byte 0 is the start byte 0x0F; bytes 1-22 hold the channels, 11 bits
    each, least significant bit first; byte 23 (flags) is 0. A value above
    2047 is sent as 2047. Raises ValueError unless given 16 values of 0 to
    65535.
    """
    return _encode(_lib.encode_sbus_data_v1, values)


def encode_sbus_data_v2(values: Iterable[int]) -> bytes:
    """As encode_sbus_data_v1, with an end byte that cycles per call.

    The end byte runs 0x04, 0x14, 0x24, 0x34, 0x04, ... from the first v2
    call after the library was loaded; the position is process-wide.
    """
    return _encode(_lib.encode_sbus_data_v2, values)
