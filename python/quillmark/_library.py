"""Finding the shared library and declaring the C functions the package calls."""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from pathlib import Path
from typing import List, Optional

if sys.platform == "win32":
    _NAMES = ["quillmark.dll"]
else:
    _NAMES = ["libquillmark.so.1", "libquillmark.so"]

#: The environment variable naming the shared library to load (a file path).
LIBRARY_VARIABLE = "QUILLMARK_LIBRARY"


class HeaderInfo(ctypes.Structure):
    """The six texts of a new file's header comment, as UTF-8 (Linux) or locale bytes."""

    _fields_ = [
        ("author", ctypes.c_char_p),
        ("department", ctypes.c_char_p),
        ("project", ctypes.c_char_p),
        ("subject", ctypes.c_char_p),
        ("timeSource", ctypes.c_char_p),
        ("comment", ctypes.c_char_p),
    ]


class Handle(ctypes.Structure):
    """The host-owned handle record: the library's file context and the last error."""

    _fields_ = [
        ("file", ctypes.c_void_p),
        ("errorCode", ctypes.c_int32),
        ("errorMessage", ctypes.c_void_p),
    ]


def candidates() -> List[str]:
    """Where the library is looked for, in order: QUILLMARK_LIBRARY, beside the package,
    then the names the system's loader resolves through its search path."""
    found: List[str] = []
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        found.append(named)
    here = Path(__file__).resolve().parent
    for folder in (here, here.parent):
        found.extend(str(folder / name) for name in _NAMES if (folder / name).is_file())
    found.extend(_NAMES)
    system = ctypes.util.find_library("quillmark")
    if system:
        found.append(system)
    return found


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    h = ctypes.POINTER(Handle)
    dp = ctypes.POINTER(ctypes.c_double)
    signatures = {
        "MDF4_Create": (ctypes.c_bool, [ctypes.c_char_p, h, ctypes.POINTER(HeaderInfo),
                                        ctypes.POINTER(ctypes.c_int64)]),
        "MDF4_AddChannelGroup": (ctypes.c_bool, [h, ctypes.c_char_p, ctypes.c_bool]),
        "MDF4_AddChannel": (ctypes.c_bool, [h, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
                                            ctypes.c_double, ctypes.c_double]),
        "MDF4_AddChannelData1D": (ctypes.c_bool, [h, ctypes.c_char_p, dp, ctypes.c_uint32]),
        "MDF4_LTT_GetChannelGroupName": (ctypes.c_char_p, [h, ctypes.c_int32]),
        "MDF4_LTT_AddChannelData": (ctypes.c_bool, [h, ctypes.c_int32, dp, ctypes.c_uint32]),
        "MDF4_LTT_GetLimitIDs": (ctypes.POINTER(ctypes.c_int32),
                                 [h, ctypes.POINTER(ctypes.c_int32)]),
        "MDF4_Close": (None, [h]),
        "GetCurrentTimeStamp": (ctypes.c_uint64, []),
        "Free1DIntArray": (None, [ctypes.POINTER(ctypes.c_int32)]),
        "MDF4_Sort": (ctypes.c_bool, [ctypes.c_char_p, ctypes.c_char_p]),
        "MDF4_FreeString": (None, [ctypes.c_void_p]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments
    return lib


_loaded: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The loaded library with its functions declared; loaded on first use.

    Raises OSError naming every place tried when none of them loads."""
    global _loaded
    if _loaded is None:
        tried = []
        for path in candidates():
            try:
                lib = ctypes.CDLL(path)
            except OSError as error:
                tried.append(f"{path}: {error}")
                continue
            _loaded = _declare(lib)
            break
        else:
            raise OSError("the Quillmark library was not found (set " + LIBRARY_VARIABLE +
                          " to its path); tried:\n  " + "\n  ".join(tried))
    return _loaded


def encode(text: str) -> bytes:
    """A name or text as the library's narrow strings take it: UTF-8 on Linux; on Windows
    one byte per character (the C locale's reading), so characters above U+00FF raise."""
    if sys.platform == "win32":
        return text.encode("latin-1")
    return text.encode("utf-8", "surrogateescape")


def encode_path(path: "os.PathLike[str] | str") -> bytes:
    """A file name as the library's narrow strings take it."""
    if sys.platform == "win32":
        return os.fspath(path).encode("latin-1")
    return os.fsencode(path)


def take_message(pointer: int) -> str:
    """Reads a UTF-16 error message (its byte count precedes it) and releases it."""
    if not pointer:
        return ""
    size = ctypes.c_uint32.from_address(pointer - 4).value
    text = ctypes.string_at(pointer, size).decode("utf-16-le", "replace")
    library().MDF4_FreeString(pointer)
    return text
