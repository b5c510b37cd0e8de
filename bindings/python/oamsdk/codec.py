"""Protocol text in the library's code page, and the codec helpers the
commands read replies with (md5, base64, a reply's first value)."""

from __future__ import annotations

import codecs
import ctypes
import os
import re
from typing import Any, Callable, Dict, Optional

from . import _native
from ._native import lib


# Python's codecs for the Windows code pages whose name is not cp<N>.
_CODEC_NAMES = {
    936: "gbk", 65001: "utf-8", 20127: "ascii", 28591: "latin-1", 28603: "iso8859_13", 28605: "iso8859_15",
    38598: "iso8859_8", 20866: "koi8_r", 21866: "koi8_u", 10000: "mac_roman", 10006: "mac_greek",
    10007: "mac_cyrillic", 10029: "mac_latin2", 10079: "mac_iceland", 10081: "mac_turkish",
}
_CODEC_NAMES.update({28590 + n: "iso8859_%d" % n for n in range(2, 10)})

# Lead bytes of the double-byte pages, by the library's own tables.
_LEAD_BYTES = {
    932: frozenset(list(range(0x81, 0xA0)) + list(range(0xE0, 0xFD))),
    936: frozenset(range(0x81, 0xFF)), 949: frozenset(range(0x81, 0xFF)), 950: frozenset(range(0x81, 0xFF)),
}

# Decoding in these is one-to-one with surrogateescape: no check needed.
_EXACT = frozenset(["utf-8", "latin-1", "ascii"])

_codecs: Dict[int, str] = {}  # code page -> codec name


def _codec_for(page: int) -> Optional[str]:
    name = _CODEC_NAMES.get(page, "cp%d" % page)
    try:
        codecs.lookup(name)
    except LookupError:
        return None
    return name


def _codec() -> str:
    """The codec of the library's code page now. A page Python has no codec
    for reads as latin-1, byte for byte."""
    page = lib.oam_code_page()
    name = _codecs.get(page)
    if name is None:
        name = _codecs[page] = _codec_for(page) or "latin-1"
    return name


def code_page() -> int:
    """The code page the library reads and writes protocol text in (the
    system's unless :func:`set_code_page` chose another)."""
    return int(lib.oam_code_page())


def set_code_page(page: int) -> None:
    """Makes the library, and this package with it, read and write protocol
    text (names, replies, alarm texts) in a Windows code page: 932, 936,
    949, 950, 65001 or a single-byte page; 0 goes back to the system's.
    ValueError, with nothing changed, for a page the library cannot scan
    (UTF-16, GB18030, ISO-2022, EUC, EBCDIC ...) or Python has no codec
    for. Set it before any channel, receiver or session is used."""
    page = int(page)
    if not 0 <= page <= 0xFFFFFFFF or (page != 0 and _codec_for(page) is None):
        raise ValueError("no Python codec for code page %d" % page)
    if lib.oam_set_code_page(page) != 0:
        raise ValueError("the library cannot scan code page %d" % page)


def _enc(text: Optional[str], codec: Optional[str] = None) -> bytes:
    """Text for the library; lone surrogates go back as the bytes they came
    from. UnicodeEncodeError for a character the code page lacks."""
    return b"" if text is None else text.encode(codec or _codec(), "surrogateescape")


def _dec(raw: bytes) -> str:
    codec = _codec()
    text = raw.decode(codec, "surrogateescape")
    if codec in _EXACT or text.encode(codec, "surrogateescape") == raw:
        return text
    return _dec_exact(raw, codec)


def _dec_exact(raw: bytes, codec: str) -> str:
    # Some pages map two byte sequences to one character (cp932's NEC and
    # IBM duplicates, cp950's): such a character would go back as the
    # other bytes. Character by character, by the library's lead bytes,
    # anything that does not encode back to its own bytes is escaped.
    lead = _LEAD_BYTES.get(lib.oam_code_page(), frozenset())
    out, i, n = [], 0, len(raw)
    while i < n:
        step = 2 if raw[i] in lead and i + 1 < n else 1
        unit = raw[i:i + step]
        try:
            ch = unit.decode(codec)
            if ch.encode(codec) != unit:
                raise ValueError(unit)
        except ValueError:  # UnicodeError too
            ch = "".join(chr(0xDC00 + b) if b >= 0x80 else chr(b) for b in unit)
        out.append(ch)
        i += step
    return "".join(out)


def _path(raw: bytes) -> str:
    # A path of the system's, not protocol text: in the file system's
    # encoding (Windows: its ANSI code page), whatever the library's is.
    return raw.decode("mbcs", "replace") if os.name == "nt" else os.fsdecode(raw)


def _text_result(call: Callable[[Any, int], int], size: int = 256, decode: Callable[[bytes], str] = _dec) -> str:
    """A function of the C text-result convention, retried once with room
    for the whole text when it was cut."""
    buf = ctypes.create_string_buffer(size)
    n = call(buf, size)
    if n >= size:
        buf = ctypes.create_string_buffer(n + 1)
        n = call(buf, n + 1)
    return decode(buf.value) if n >= 0 else ""


def _checked_name(what: str, value: str, secret: bool = False) -> str:
    # A ";" or "=" would change the request's pairs.
    if not isinstance(value, str) or ";" in value or "=" in value:
        shown = "" if secret else " %r" % (value,)
        raise ValueError("%s%s must be a string without ';' or '='" % (what, shown))
    return value


_INT = re.compile(r"\s*([+-]?\d+)")


def _atoi(text: str) -> int:
    # The library's reading of numbers: leading digits, saturating at the int range.
    m = _INT.match(text)
    return max(-2 ** 31, min(2 ** 31 - 1, int(m.group(1)))) if m else 0


def _first_value(text: bytes, whole: bool = False) -> Any:
    """The value of the first pair of a reply, as a codec buffer to read
    list entries from; with whole, None when there is no whole pair."""
    rest = ctypes.create_string_buffer(text)
    name, value = ctypes.create_string_buffer(256), ctypes.create_string_buffer(len(text) + 1)
    if lib.oam_codec_pop_name_value(rest, name, 256, value, len(text) + 1, 1) < 0 and whole:
        return None
    return value


def md5(data: bytes) -> str:
    """MD5 digest of data as 32 lowercase hex digits."""
    out = ctypes.create_string_buffer(_native.MD5_SIZE)
    lib.oam_md5(data, len(data), out)
    return out.value.decode("ascii")


def base64_decode(text: str) -> bytes:
    """Decodes base64 as the library does (stops at "=" or a byte outside
    the alphabet, skips white space)."""
    raw = text.encode("ascii", errors="replace")
    cap = max(1, lib.oam_base64_binary_size(len(raw)) + 3)
    out = ctypes.create_string_buffer(cap)
    n = lib.oam_base64_decode(raw, out, cap)
    return out.raw[:n]
