"""Finding and loading the QuarnInterface shared library, and its C prototypes.

The library is looked for in this order, and the first place that applies is
the one used:

1. the path in the environment variable ``QUARN_INTERFACE_LIBRARY``;
2. the library inside this package: the platform wheels carry it there, and
   ``cmake --install`` puts a copy (or link) there;
3. the system's own library search (``libQuarnInterface.so.1`` through the
   dynamic loader, ``QuarnInterface.dll`` through ``PATH`` on Windows).

A place that names an existing file which then fails to load ends the search
with that failure: silently falling through to another copy would hide a
broken install.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from pathlib import Path
from collections.abc import Mapping, Sequence

ENV_VARIABLE = "QUARN_INTERFACE_LIBRARY"

if sys.platform == "win32":
    SYSTEM_NAMES: tuple[str, ...] = ("QuarnInterface.dll",)
elif sys.platform == "darwin":
    SYSTEM_NAMES = ("libQuarnInterface.1.dylib",)
else:
    SYSTEM_NAMES = ("libQuarnInterface.so.1",)

PACKAGE_DIR = Path(__file__).parent

CONTROLLER_VALUE_COUNT = 11

# Room for the longest path Windows gives, in UTF-16 units.
_WINDOWS_MAX_PATH = 32768


class LibraryNotFoundError(OSError):
    """The QuarnInterface library could not be found, loaded or recognised."""


class ControllerState(ctypes.Structure):
    """The C ``controller_state`` record: 11 decoded 16-bit values."""

    _fields_ = [("values", ctypes.c_uint16 * CONTROLLER_VALUE_COUNT)]


_U8P = ctypes.POINTER(ctypes.c_uint8)
_U16P = ctypes.POINTER(ctypes.c_uint16)

# Input byte strings go through c_char_p so a bytes object is passed without
# a copy; its length always travels in a separate argument.
_PROTOTYPES = {
    "request_upload_port_data": (None, [_U8P, ctypes.c_uint8, ctypes.c_uint8]),
    "stop_upload_port_data": (None, [_U8P]),
    "parse_port_data": (ctypes.c_uint8, [ctypes.c_char_p, ctypes.c_uint8, _U16P, _U16P]),
    "parse_hid_game_controller_device": (
        ctypes.c_uint8,
        [ctypes.POINTER(ControllerState), ctypes.c_char_p, ctypes.c_uint8],
    ),
    "parse_hid_compatible_device": (ctypes.c_uint8, [_U16P, ctypes.c_char_p, ctypes.c_uint8]),
    "convert_std_sbus_data": (None, [_U16P, _U16P]),
    "encode_sbus_data_v1": (None, [_U8P, _U16P]),
    "encode_sbus_data_v2": (None, [_U8P, _U16P]),
}


class _DlInfo(ctypes.Structure):
    """The C library's ``Dl_info``, which ``dladdr`` fills in."""

    _fields_ = [
        ("dli_fname", ctypes.c_char_p),
        ("dli_fbase", ctypes.c_void_p),
        ("dli_sname", ctypes.c_char_p),
        ("dli_saddr", ctypes.c_void_p),
    ]


def _loaded_file(library: ctypes.CDLL) -> str:
    """The absolute path, links resolved, of the file the loader mapped for
    ``library``: the loader's search may have found another copy than the
    name suggests."""
    if sys.platform == "win32":
        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        kernel32.GetModuleFileNameW.argtypes = [ctypes.c_void_p, ctypes.c_wchar_p, ctypes.c_uint32]
        kernel32.GetModuleFileNameW.restype = ctypes.c_uint32
        path = ctypes.create_unicode_buffer(_WINDOWS_MAX_PATH)
        length = kernel32.GetModuleFileNameW(library._handle, path, len(path))
        if not 0 < length < len(path):
            raise ctypes.WinError(ctypes.get_last_error())
        return os.path.realpath(path.value)
    # glibc before 2.34 keeps dladdr in libdl.
    try:
        dladdr = ctypes.CDLL(None).dladdr
    except AttributeError:
        dladdr = ctypes.CDLL(ctypes.util.find_library("dl")).dladdr
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    info = _DlInfo()
    address = ctypes.cast(library.parse_port_data, ctypes.c_void_p)
    if not dladdr(address, ctypes.byref(info)) or not info.dli_fname:
        raise LibraryNotFoundError(f"cannot tell which file {library._name} was loaded from")
    return os.path.realpath(os.fsdecode(info.dli_fname))


def _declare(library: ctypes.CDLL, path: str) -> ctypes.CDLL:
    for name, (restype, argtypes) in _PROTOTYPES.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise LibraryNotFoundError(
                f"{path} is not the QuarnInterface library: it does not export {name}"
            ) from None
        function.restype = restype
        function.argtypes = argtypes
    return library


def _open(path: str, what: str) -> ctypes.CDLL:
    try:
        return _declare(ctypes.CDLL(path), path)
    except LibraryNotFoundError:
        raise
    except OSError as error:
        raise LibraryNotFoundError(
            f"cannot load the QuarnInterface library {path} ({what}): {error}"
        ) from error


def _system_search(name: str) -> ctypes.CDLL:
    # Since Python 3.8 a bare DLL name no longer searches PATH on Windows;
    # find_library does, which is where users put DLLs.
    if sys.platform == "win32":
        found = ctypes.util.find_library(os.path.splitext(name)[0])
        if found:
            return _open(found, "found on PATH")
    return _declare(ctypes.CDLL(name), name)


def load(
    environ: Mapping[str, str] = os.environ,
    package_dir: Path = PACKAGE_DIR,
    system_names: Sequence[str] = SYSTEM_NAMES,
) -> tuple[ctypes.CDLL, str]:
    """Find and load the library; returns it with the absolute path of the
    file loaded.

    Raises LibraryNotFoundError, naming every place tried and why each failed.
    """
    library = _find(environ, package_dir, system_names)
    return library, _loaded_file(library)


def _find(
    environ: Mapping[str, str], package_dir: Path, system_names: Sequence[str]
) -> ctypes.CDLL:
    override = environ.get(ENV_VARIABLE)
    if override:
        return _open(override, f"named by {ENV_VARIABLE}")

    tried: list[str] = [f"{ENV_VARIABLE}: not set"]
    for name in system_names:
        candidate = package_dir / name
        # A dangling link is a broken install, not an absent library.
        if candidate.exists() or candidate.is_symlink():
            return _open(str(candidate), "installed next to the package")
        tried.append(f"{candidate}: no such file")
    for name in system_names:
        try:
            return _system_search(name)
        except LibraryNotFoundError:
            raise
        except OSError as error:
            tried.append(f"{name} through the system's library search: {error}")
    places = "".join(f"\n  - {place}" for place in tried)
    raise LibraryNotFoundError(
        f"QuarnInterface library not found. Tried:{places}\n"
        f"Set {ENV_VARIABLE} to the library's path, install the quarninterface "
        "wheel for this platform (it carries the library), or install the library "
        "where the system's loader finds it."
    )
