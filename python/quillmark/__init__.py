"""Streaming, crash-safe ASAM MDF 4 files from Python.

A thin layer over the Quillmark C library (loaded with ctypes) that takes samples as NumPy
arrays. Every append leaves a complete file on disk: a process killed while appending leaves
a file that a new :class:`Writer` reopens and appends to, holding every row of every append
that returned.

The library is looked for through the environment variable ``QUILLMARK_LIBRARY`` (a path),
then beside the package, then through the system's search path (``libquillmark.so``,
``quillmark.dll``).
"""
from __future__ import annotations

import ctypes
import os
from typing import Dict, List, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

from . import _layout
from ._library import Handle, HeaderInfo, encode, encode_path, library, take_message

__all__ = ["Error", "Group", "Writer", "sort", "timestamp", "__version__"]
__version__ = "1.6.0"

#: Error codes of the library (``Error.code``).
ERR_OPEN = -8000
ERR_NO_DATA_GROUP = -8001
ERR_CREATE = -8002
ERR_INVALID_ARGUMENT = -8003
ERR_GROUP = -8004
ERR_NOT_NEWEST_GROUP = -8005
ERR_CANNOT_APPEND = -8006
ERR_WRITE = -8007
ERR_OUT_OF_MEMORY = -8008
ERR_TOO_MANY_GROUPS = -8009
ERR_LIMIT = -8010

Rows = Union[npt.ArrayLike, Sequence[Sequence[float]]]
PathLike = Union[str, "os.PathLike[str]"]

_MAX_ROWS_PER_CALL = 0xFFFFFFFF  # the library's sample count is 32 bits


class Error(Exception):
    """A failure reported by the library.

    ``code`` is the library's error code (the ``ERR_*`` constants of this module, 0 for a
    failure that has no code, such as a failed sort) and ``message`` its message."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(f"{message} ({code})" if code else message)
        self.code = code
        self.message = message


def timestamp() -> int:
    """The library's current time: a FILETIME value (100 ns units since 1601-01-01 UTC),
    millisecond resolution."""
    return int(library().GetCurrentTimeStamp())


def sort(source: PathLike, destination: PathLike) -> None:
    """Writes a sorted copy of ``source`` to ``destination`` (one data group per channel
    group). The library prints progress lines on standard output. Raises :class:`Error`
    (code 0) when the source is missing or the copy fails; the source is never changed."""
    if not os.path.isfile(source):
        raise Error(0, f"cannot sort '{os.fspath(source)}': no such file")
    if not library().MDF4_Sort(encode_path(source), encode_path(destination)):
        raise Error(0, f"sorting '{os.fspath(source)}' into '{os.fspath(destination)}' failed")


def _as_rows(rows: Rows, width: int) -> np.ndarray:
    """rows as a C-contiguous float64 array of shape (n, width); the caller's array itself
    when it already is one, otherwise one converted copy."""
    array = np.asarray(rows, dtype=np.float64)
    if array.ndim == 1 and array.size == 0:
        array = array.reshape(0, width)
    if array.ndim != 2 or array.shape[1] != width:
        raise ValueError(f"expected rows of {width} values (time first if the group has one, "
                         f"then its channels), got an array of shape {array.shape}")
    return np.ascontiguousarray(array)


class Group:
    """A channel group of a :class:`Writer`; made by :meth:`Writer.add_group` or
    :meth:`Writer.group`."""

    def __init__(self, writer: "Writer", name: str) -> None:
        self._writer = writer
        self.name = name

    @property
    def width(self) -> int:
        """Values per row: the time (if the group has one) and one per channel."""
        return self._writer._width(self.name)

    def add_channel(self, name: str, unit: Optional[str] = None, factor: float = 1.0,
                    offset: float = 0.0) -> None:
        """Adds a double channel, physical value = offset + factor x stored value, to this
        group, which must be the newest one. On a reopened file the file's channels stay as
        they are and this does nothing."""
        self._writer._add_channel(self.name, name, unit, factor, offset)

    def append(self, rows: Rows) -> None:
        """Appends samples: rows are samples, columns the time (if any) then the channels.
        See :meth:`Writer.append`."""
        self._writer.append(self.name, rows)

    def __repr__(self) -> str:
        return f"Group({self.name!r}, width={self.width})"


class Writer:
    """Writes an MDF 4 file: creates it, or reopens it and appends when it exists.

    The header texts are used for a new file only. Use as a context manager, or call
    :meth:`close`. Calls on one writer must not overlap; writers of different files are
    independent.

    Errors: every failure of the library raises :class:`Error` with its code and message.
    The library keeps an error until the file is reopened and fails every later call while
    it does; because a raised error has been reported, the writer clears it after raising
    (the failed call wrote nothing, or, after a write error, the file keeps everything
    earlier calls wrote), so that the next call reports its own outcome. A failed create
    leaves no writer. After :meth:`close` every call raises :class:`Error` with
    ``ERR_INVALID_ARGUMENT``."""

    def __init__(self, path: PathLike, *, author: str = "", department: str = "",
                 project: str = "", subject: str = "", time_source: str = "",
                 comment: str = "", start_time: int = 0) -> None:
        self.path = os.fspath(path)
        self.reopened = os.path.exists(path)
        self._lib = library()
        self._handle = Handle()
        info = HeaderInfo(*(encode(t) for t in (author, department, project, subject,
                                                time_source, comment)))
        start = ctypes.c_int64(start_time)
        ok = self._lib.MDF4_Create(encode_path(path), ctypes.byref(self._handle),
                                   ctypes.byref(info), ctypes.byref(start))
        if not ok:
            error = self._take_error()
            self._release()
            self._closed = True
            raise error
        #: The file's start time as FILETIME (the recorded one for a reopened file).
        self.start_time = int(start.value)
        self._widths: Dict[bytes, Optional[int]] = {}
        self._from_file: Dict[bytes, Optional[int]] = {}
        # A reopened file's groups, read here because the library appends whole records of
        # the file's layout, whatever this writer declares. None: they could not be read,
        # and appends are refused rather than passed unchecked.
        self._file_layout: Optional[Dict[bytes, Optional[int]]] = {}
        if self.reopened:
            self._file_layout = _layout.group_widths(path)
            self._from_file = self._file_layout or {}
            self._widths.update(self._from_file)
        self._newest: Optional[bytes] = None
        self._closed = False

    # ---- errors -----------------------------------------------------------------------------
    def _take_error(self) -> Error:
        """The handle's error as an exception; the handle's error is cleared."""
        h = self._handle
        code = int(h.errorCode)
        message = take_message(h.errorMessage) or "unknown error"
        h.errorCode = 0
        h.errorMessage = None
        return Error(code, message)

    def _check(self, ok: bool) -> None:
        if not ok or self._handle.errorCode:
            raise self._take_error()

    def _usable(self) -> None:
        if self._closed:
            raise Error(ERR_INVALID_ARGUMENT, "Invalid argument: the writer is closed")

    def _release(self) -> Optional[Error]:
        """Closes the library's file; the error closing recorded, if any."""
        if self._handle.file:
            self._lib.MDF4_Close(ctypes.byref(self._handle))
        self._handle.file = None
        return self._take_error() if self._handle.errorCode else None

    # ---- declarations -----------------------------------------------------------------------
    def add_group(self, name: str, time: bool = False) -> Group:
        """Declares a channel group with the next record ID, with a master channel "Time"
        in "s" first when ``time`` is true. On a reopened file the file's groups stay as
        they are: the call returns the group of that name."""
        self._usable()
        key = encode(name)
        self._check(self._lib.MDF4_AddChannelGroup(ctypes.byref(self._handle), key, time))
        if key not in self._from_file:
            self._widths[key] = 1 if time else 0
            self._newest = key
        return Group(self, name)

    def _add_channel(self, group: str, name: str, unit: Optional[str], factor: float,
                     offset: float) -> None:
        self._usable()
        key = encode(group)
        self._check(self._lib.MDF4_AddChannel(ctypes.byref(self._handle), key, encode(name),
                                              None if unit is None else encode(unit),
                                              float(factor), float(offset)))
        if key not in self._from_file and key == self._newest:
            self._widths[key] = (self._widths[key] or 0) + 1

    def group(self, name: str) -> Group:
        """The group of that name, declared by this writer or found in the reopened file."""
        self._usable()
        self._width(name)
        return Group(self, name)

    def _width(self, name: str) -> int:
        key = encode(name)
        if key not in self._widths:
            raise Error(ERR_GROUP, f"Group '{name}' not found")
        width = self._widths[key]
        if width is None or self._file_layout is None:
            raise Error(ERR_CANNOT_APPEND, f"Data cannot be appended to this file: the records "
                                           f"of group '{name}' could not be read as doubles")
        return width

    # ---- data -------------------------------------------------------------------------------
    def append(self, group: str, rows: Rows) -> None:
        """Appends samples to the group: a 2-D array (or a sequence of rows) whose rows are
        samples and whose columns are the time (if the group has one) then the channels.

        C-contiguous float64 data is passed to the library without a copy; anything else is
        converted once. A wrong column count raises ValueError before anything is written.
        The file is complete on disk when the call returns."""
        self._usable()
        array = _as_rows(rows, self._width(group))
        key = encode(group)
        self._write(array, lambda p, n: self._lib.MDF4_AddChannelData1D(
            ctypes.byref(self._handle), key, p, n))

    def limit_ids(self) -> List[int]:
        """The limit identifiers n of the groups named "[n]...", in name order."""
        self._usable()
        count = ctypes.c_int32(0)
        array = self._lib.MDF4_LTT_GetLimitIDs(ctypes.byref(self._handle), ctypes.byref(count))
        if not array:
            return []
        try:
            return [int(array[i]) for i in range(count.value)]
        finally:
            self._lib.Free1DIntArray(array)

    def limit_group_name(self, limit_id: int) -> Optional[str]:
        """The name of the first group (in name order) that begins with "[limit_id]", or
        None."""
        self._usable()
        name = self._lib.MDF4_LTT_GetChannelGroupName(ctypes.byref(self._handle), limit_id)
        if name is None:
            return None
        return name.decode("latin-1") if os.name == "nt" else name.decode("utf-8",
                                                                          "surrogateescape")

    def append_limit(self, limit_id: int, rows: Rows) -> None:
        """:meth:`append` to the group of the limit identifier; :class:`Error` with
        ``ERR_LIMIT`` when no group has it."""
        self._usable()
        name = self.limit_group_name(limit_id)
        call = lambda p, n: self._lib.MDF4_LTT_AddChannelData(
            ctypes.byref(self._handle), limit_id, p, n)
        if name is None:
            self._check(call(None, 0))  # the library's own "limit not found"
            return
        self._write(_as_rows(rows, self._width(name)), call)

    def _write(self, array: np.ndarray, call) -> None:
        pointer_type = ctypes.POINTER(ctypes.c_double)
        if array.shape[0] == 0:
            self._check(call(None, 0))
            return
        for start in range(0, array.shape[0], _MAX_ROWS_PER_CALL):
            part = array[start:start + _MAX_ROWS_PER_CALL]
            self._check(call(part.ctypes.data_as(pointer_type), part.shape[0]))

    # ---- closing ----------------------------------------------------------------------------
    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Writes the header a last time and closes the file; raises :class:`Error` when
        closing failed (the writer is closed all the same). Calling it again does nothing."""
        if self._closed:
            return
        self._closed = True
        error = self._release()
        if error is not None:
            raise error

    def __enter__(self) -> "Writer":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_closed", True) is False:
            self.close()

    def __repr__(self) -> str:
        return f"Writer({self.path!r}{', closed' if self._closed else ''})"
