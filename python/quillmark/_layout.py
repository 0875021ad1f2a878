"""Reads the channel groups of an existing file's last data group: the groups a reopened
writer appends to, with the number of doubles in each of their records."""
from __future__ import annotations

import os
import struct
from typing import Dict, List, Optional, Tuple

_HEADER = struct.Struct("<4s4xQQ")  # block id, length, link count
_ID_BLOCK_SIZE = 64  # the identification block; the header block follows it
_MAX_BLOCK = 1 << 24  # no name or chain block read here is larger


class _Unreadable(Exception):
    pass


def _block(f, size: int, pos: int, kind: bytes) -> Tuple[List[int], bytes]:
    """The links and the fixed record (and whatever follows) of the block at pos."""
    if pos < _ID_BLOCK_SIZE or pos + _HEADER.size > size:
        raise _Unreadable
    f.seek(pos)
    ident, length, count = _HEADER.unpack(f.read(_HEADER.size))
    if ident != b"##" + kind or count > length or length < _HEADER.size + 8 * count:
        raise _Unreadable
    if length > _MAX_BLOCK or pos + length > size:
        raise _Unreadable
    body = f.read(length - _HEADER.size)
    links = list(struct.unpack_from(f"<{count}Q", body))
    return links, body[8 * count:]


def group_widths(path: "os.PathLike[str] | str") -> Optional[Dict[bytes, Optional[int]]]:
    """Group name (bytes as stored) -> doubles per record for the groups of the file's last
    data group, the first group of a name winning; None for a group whose record is not a
    whole number of doubles. None when the file cannot be read that far."""
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            hd_links, _ = _block(f, size, _ID_BLOCK_SIZE, b"HD")
            seen = set()
            dg_pos = hd_links[0] if hd_links else 0
            dg_links: List[int] = []
            while dg_pos:
                if dg_pos in seen:
                    raise _Unreadable
                seen.add(dg_pos)
                dg_links, _ = _block(f, size, dg_pos, b"DG")
                dg_pos = dg_links[0] if dg_links else 0
            widths: Dict[bytes, Optional[int]] = {}
            cg_pos = dg_links[1] if len(dg_links) > 1 else 0
            while cg_pos:
                if cg_pos in seen:
                    raise _Unreadable
                seen.add(cg_pos)
                cg_links, record = _block(f, size, cg_pos, b"CG")
                if len(cg_links) < 3 or len(record) < 32:
                    raise _Unreadable
                flags = struct.unpack_from("<H", record, 16)[0]
                data_bytes, inval_bytes = struct.unpack_from("<II", record, 24)
                record_size = data_bytes + inval_bytes
                whole = not flags & 1 and record_size % 8 == 0
                _, text = _block(f, size, cg_links[2], b"TX")
                name = text.split(b"\0", 1)[0]
                widths.setdefault(name, record_size // 8 if whole else None)
                cg_pos = cg_links[0]
            return widths
    except (OSError, _Unreadable, struct.error):
        return None
