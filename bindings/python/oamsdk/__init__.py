"""oamsdk: Python access to OAM management servers and alarm peers.

A pure-Python layer over the C interface of liboamsdk (``oamsdk_c.h``),
loaded with ctypes: set ``OAMSDK_LIBRARY`` to the library's path when it is
not installed where the dynamic loader looks.

    from oamsdk import Channel

    with Channel("127.0.0.1", 9000) as chan:
        chan.login("admin", "admin")
        for station in chan.stations():
            print(station.id, station.name, len(chan.devices(station)))

Failures raise :class:`OamError` subclasses that carry the library's
result code (the server's RETURNCODE for refusals, -1 when no usable reply
came) and the server's reason. Which class it is follows where the result
came from (the library's oam_last_result_origin), not its number alone: a
server may send -1, -2 or -3 as its RETURNCODE, and that is a refusal.

Protocol text is read and written in the library's code page
(:func:`set_code_page`, :func:`code_page`): bytes that do not decode come
out as lone surrogates (errors="surrogateescape") and go back to the server
as the bytes they came as.
"""

from __future__ import annotations

import atexit
import codecs
import ctypes
import enum
import logging
import os
import queue
import re
import threading
import weakref
from dataclasses import dataclass, field
from typing import Callable, Iterable, Iterator, List, Optional, Tuple, Union

from . import _native
from ._native import lib

__all__ = [
    "Alarm", "AlarmReceiver", "BusyError", "Channel", "CommandError", "DatagramSocket", "DesynchronisedError",
    "Device", "FileTransferError", "LinkDownError", "OamError", "Ptz", "Session", "SessionCause", "SessionEvent",
    "SessionState", "Station", "TransferCancelled", "TransferPhase", "TransportError", "SINK_D", "SINK_R",
    "base64_decode", "code_page", "last_error", "library_soname", "library_release", "library_version", "log",
    "md5", "module_dir", "set_code_page", "set_log_hook", "ENCODING",
]

SINK_R = _native.SINK_R
SINK_D = _native.SINK_D

_MAX_DEVICES = 16  # a station record's device slots

#: Where exceptions raised by session callbacks and log hooks go: they run
#: inside the library, with no Python caller to hand them to.
logger = logging.getLogger("oamsdk")

# ---------------------------------------------------------------- text

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

_codecs = {}  # code page -> codec name


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
    return lib.oam_code_page()


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


def __getattr__(name: str):
    # ENCODING: read-only now, the codec of the code page in force (kept for
    # code that encoded texts itself; assigning it changes nothing).
    if name == "ENCODING":
        return _codec()
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


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


def _text_result(call: Callable[[ctypes.Array, int], int], size: int = 256, decode=_dec) -> str:
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


# ---------------------------------------------------------------- errors

class OamError(Exception):
    """A failed operation.

    code: the library's result (the server's RETURNCODE for a refusal, -1
    when no usable reply came, or the operation's own failure code);
    reason: the server's ``Reason`` or a description; error: the system
    error code (Windows Sockets numbering) where one applies, else 0.
    """

    def __init__(self, message: str, code: int, reason: str = "", error: int = 0, reply: str = ""):
        super().__init__(message)
        self.code = code
        self.reason = reason
        self.error = error
        self.reply = reply


class CommandError(OamError):
    """The server refused a command (code is its RETURNCODE, whatever the
    number, also -1, -2 or -3; reason its ``Reason`` pair)."""


class TransportError(OamError):
    """No connection, or no usable reply (code -1 or 0; error the system
    error code): the library's own failure, not the server's answer."""


class FileTransferError(OamError):
    """An upload or download failed with the given code (1, -1, the
    server's 7, or one of the download's codes 101-109)."""


class TransferCancelled(FileTransferError):
    """The progress callback cancelled the transfer (code 110). Cancelled
    while the archive travelled, the connection is closed as well."""


class LinkDownError(TransportError):
    """A session's link is down (reconnecting or given up): nothing was
    sent (code -2)."""


class BusyError(TransportError):
    """A session call that cannot run now (code -3): open() while the
    session is open, or a command of the session from inside one of its own
    calls on the same thread (a progress callback)."""


class DesynchronisedError(TransportError):
    """The reply that came to a session's command was another command's
    (code -4): nothing of it is given, and the session rebuilds the link."""


class TransferPhase(enum.IntEnum):
    """Phase of a file transfer given to a progress callback, with what its
    total counts."""
    PACKING = 0    #: upload: the file is packed (the file's bytes)
    SENDING = 1    #: upload: the archive goes out (the archive's bytes)
    RECEIVING = 2  #: download: the archive comes in (the announced bytes)
    UNPACKING = 3  #: download: the file is written (the file's bytes)


_DOWNLOAD_REASONS = {
    1: "no usable reply", 7: "no such file on the server",
    101: "announced archive too large", 102: "archive length differs from the announced one",
    103: "archive digest differs", 104: "not an archive", 105: "archive entry too large",
    106: "archive entry does not extract", 107: "local file cannot be created",
    108: "local file cannot be written", 109: "local file cannot be moved into place",
}


def _reason(rest: str) -> str:
    for pair in rest.split(";"):
        name, eq, value = pair.partition("=")
        if eq and name.strip().lower() == "reason":
            return value.strip()
    return rest


def _transport_error(what: str, code: int) -> TransportError:
    err = lib.oam_last_error()
    text = _text_result(lib.oam_last_error_text) if err else "no reply"
    return TransportError("%s failed: %s" % (what, text), code, text, err)


_SESSION_RESULTS = {
    _native.LINK_DOWN: (LinkDownError, "the session's link is down", "link down"),
    _native.BUSY: (BusyError, "the session is busy: a call of its own is under way on this thread", "busy"),
    _native.DESYNCHRONISED: (DesynchronisedError, "the reply was another command's", "desynchronised"),
}


def _library_failure(what: str, code: int, origin: int, session: bool) -> Optional[OamError]:
    """The exception for a result the library produced itself, or None when
    it is the server's code. Before a library that reports the origin (it
    reads NONE), the numbers decide as they always did."""
    if origin == _native.RESULT_SERVER:
        return None
    if session and code in _SESSION_RESULTS:
        cls, text, reason = _SESSION_RESULTS[code]
        return cls("%s: %s" % (what, text), code, reason)
    if code == -1 or origin == _native.RESULT_LIBRARY:
        return _transport_error(what, code)
    return None


# ---------------------------------------------------------------- records

@dataclass
class Ptz:
    """A PTZ unit of a device."""
    id: int
    name: str


@dataclass
class Device:
    """A device of a station, with its PTZ units."""
    id: int
    name: str
    ptz: List[Ptz] = field(default_factory=list)


@dataclass
class Station:
    """A station of the server's list (devices filled by Channel.devices
    only when asked)."""
    id: str
    name: str
    value: int
    devices: List[Device] = field(default_factory=list)


@dataclass
class Alarm:
    """An alarm datagram as the receiver decoded it. Type 1 alarms also
    carry the object fields (obj_*)."""
    id: int
    text1: str
    device_id: int
    type: int
    alarm_id: int
    text2: str
    text3: str
    obj_text: str
    obj_width: int
    obj_height: int
    obj_color: int
    obj_pos_x: int
    obj_pos_y: int
    obj_speed: int
    obj_dir: float
    obj_roi: int

    @classmethod
    def _from(cls, a: _native.ALARM_STRUCT) -> "Alarm":
        return cls(a.ID, _dec(a.Text1), a.DeviceID, a.Type, a.AlarmID, _dec(a.Text2), _dec(a.Text3),
                   _dec(a.ObjText), a.ObjWidth, a.ObjHeight, a.ObjColor, a.ObjPosX, a.ObjPosY, a.ObjSpeed,
                   a.ObjDir, a.ObjRoi)


def _device(d: _native.WACDEVICE_STRUCT) -> Device:
    count = max(0, min(d.PtzCount, len(d.PtzDevice)))
    return Device(d.DeviceID, _dec(d.DeviceName), [Ptz(p.PtzID, _dec(p.PtzName)) for p in d.PtzDevice[:count]])


_INT = re.compile(r"\s*([+-]?\d+)")


def _atoi(text: str) -> int:
    # The library's reading of numbers: leading digits, saturating at the int range.
    m = _INT.match(text)
    return max(-2 ** 31, min(2 ** 31 - 1, int(m.group(1)))) if m else 0


# ---------------------------------------------------------------- channel

def _outcome(command: str, code: int, origin: int, session: bool, buf, length: int) -> bytes:
    """The rest of a reply, or the exception its result stands for."""
    rest = buf[:min(length, _native.REPLY_MAX)]
    if code == 0:
        return rest
    failure = _library_failure("%s command" % command, code, origin, session)
    if failure is not None:
        raise failure
    reason = _reason(_dec(rest))
    raise CommandError("%s refused (%d): %s" % (command, code, reason), code, reason, reply=_dec(rest))


def _ms(seconds: float) -> int:
    # Out-of-range values stay out of range (the library refuses them)
    # rather than wrapping in the C int.
    return max(-1, min(2 ** 31 - 1, int(round(seconds * 1000))))


def _progress_trampoline(ref: "weakref.ref[_Commands]"):
    # Only a weak reference: the library holds the function, and a cycle
    # through it would leave the object to the garbage collector, which may
    # run on any thread.
    def call(done, total, phase, user):
        obj = ref()
        if obj is None:
            return 1
        try:
            callback = obj._on_progress
            return 1 if callback is not None and callback(done, total, _enum(TransferPhase, phase)) else 0
        except BaseException as e:  # never into C: cancel, re-raised by the transfer
            obj._callback_error = e
            return 1
    return call


class _Commands:
    """What a channel and a session share: the commands, the file transfers
    with their progress, and the channel settings. Subclasses provide the
    handle, the exchange and the C function prefix."""

    _PREFIX = ""
    _callback_error: Optional[BaseException] = None
    _on_progress: Optional[Callable[[int, int, "TransferPhase"], Optional[bool]]] = None
    _progress_fn = None

    # -- commands

    def command(self, command: str, params: str = "", station: str = "") -> str:
        """One command exchange: the reply after its SESSIONID and
        RETURNCODE pairs. CommandError when the server refuses,
        TransportError when no usable reply came."""
        return _dec(self._request(command, params, station))

    def login(self, user: str = "admin", password: str = "admin") -> str:
        """Logs in; the server's reply."""
        return self.command("Login", _login_params(user, password))

    def stations(self) -> List[Station]:
        """Every station of the server."""
        value = _first_value(self._request("Get", "AllStation=;"))
        ident, encoded, number = ctypes.create_string_buffer(64), ctypes.create_string_buffer(512), ctypes.c_int32()
        out = []
        while lib.oam_codec_station_entry(value, ident, 64, encoded, 512, ctypes.byref(number)) == 1:
            name = base64_decode(encoded.value.decode("ascii", "replace"))
            out.append(Station(_dec(ident.value), _dec(name), number.value))
        return out

    def devices(self, station: Union[str, Station]) -> List[Device]:
        """The devices of a station, with their PTZ units (at most 16, as
        the station record holds). Given a Station, also fills its devices."""
        sid = station.id if isinstance(station, Station) else station
        value = _first_value(self._request("Get", "StationTopo=;", sid))
        out, record = [], _native.WACDEVICE_STRUCT()
        while len(out) < _MAX_DEVICES and lib.oam_codec_device_entry(value, ctypes.byref(record)) == 1:
            out.append(_device(record))
        if isinstance(station, Station):
            station.devices = out
        return out

    def get(self, station: str, name: str) -> int:
        """A parameter's value: that of the reply's first pair, whatever
        its name, as the library reads it."""
        rest = self._request("Get", "%s=;" % _checked_name("name", name), station)
        value = _first_value(rest, whole=True)
        if value is None:
            raise CommandError("Get %s: no value in the reply" % name, -1, "no value", reply=_dec(rest))
        return _atoi(_dec(value.value))

    def set(self, station: str, name: str, value: int) -> None:
        """Sets a parameter."""
        self.command("Set", "%s=%d;" % (_checked_name("name", name), int(value)), station)

    def control(self, station: str, name: str, value: int) -> None:
        """Sends a control value."""
        self.command("Control", "%s=%d;" % (_checked_name("name", name), int(value)), station)

    def upload(self, station: str, file_name: str) -> None:
        """Uploads file_name from the module directory (:func:`module_dir`).
        Returns once the server's final reply came; like the library, it
        does not tell the server's verdict on the stored file."""
        code, _ = self._call(self._native("upload"), _enc(station), _enc(file_name))
        if code != 0:
            self._transfer_failed("upload", file_name, code,
                                  "cannot read or pack the file" if code == 1 else "no usable reply")

    def download(self, station: str, file_name: str) -> None:
        """Downloads file_name into the module directory; never leaves a
        partial file behind."""
        code, _ = self._call(self._native("download"), _enc(station), _enc(file_name))
        if code != 0:
            self._transfer_failed("download", file_name, code, _DOWNLOAD_REASONS.get(code, "failed"))

    # -- settings (they apply at once and to every later connection)

    def set_progress(self, callback: Optional[Callable[[int, int, "TransferPhase"], Optional[bool]]]) -> None:
        """Calls callback(done, total, phase) during upload and download (on
        their thread): at the start of each phase, at most every 64 KiB or
        100 ms, and at the end. A true result cancels the transfer, which
        then raises TransferCancelled. An exception the callback raises
        also cancels it, and is re-raised from upload/download instead.
        None removes it. Not while a transfer runs."""
        fn = _native.PROGRESS_FN(_progress_trampoline(weakref.ref(self))) if callback else _native.PROGRESS_FN()
        self._on_progress = callback
        self._run(self._native("set_progress"), fn, None)
        self._progress_fn = fn  # only now is the previous one no longer used

    def set_strict(self, strict: bool) -> None:
        """Strict session mode: a reply carrying another command's
        SESSIONID is thrown away and the command waits, within its time-out,
        for its own (TransportError when none comes)."""
        self._run(self._native("set_strict_session"), 1 if strict else 0)

    def set_command_timeout(self, seconds: float) -> None:
        """Time-out of each send and receive of a command (default 15 s;
        at most a day). ValueError when out of range."""
        self._setting("command time-out", "set_command_timeout", _ms(seconds))

    def set_connect_timeout(self, seconds: float) -> None:
        """Time-out of connecting (default: the system's own)."""
        self._setting("connect time-out", "set_connect_timeout", _ms(seconds))

    def set_keep_alive(self, idle: int, interval: int, count: int) -> None:
        """TCP keep-alive: the first probe after idle seconds without
        traffic, then every interval seconds; the link counts as dead after
        count unanswered probes, and the command waiting on it fails."""
        self._setting("keep-alive", "set_keep_alive", int(idle), int(interval), int(count))

    def disable_keep_alive(self) -> None:
        """Switches keep-alive off again."""
        self._setting("keep-alive", "disable_keep_alive")

    # -- internals

    def _configure(self, strict: bool, command_timeout: Optional[float], connect_timeout: Optional[float],
                   keep_alive: Optional[Tuple[int, int, int]], on_progress) -> None:
        if strict:
            self.set_strict(True)
        if command_timeout is not None:
            self.set_command_timeout(command_timeout)
        if connect_timeout is not None:
            self.set_connect_timeout(connect_timeout)
        if keep_alive is not None:
            self.set_keep_alive(*keep_alive)
        if on_progress is not None:
            self.set_progress(on_progress)

    def _native(self, name: str):
        return getattr(lib, self._PREFIX + name)

    def _setting(self, what: str, name: str, *args) -> None:
        result = self._run(self._native(name), *args)
        if result == _native.SETTING_BAD_VALUE:
            raise ValueError("%s: value out of range: %r" % (what, args))
        if result != _native.SETTING_OK:
            raise _transport_error("setting the %s" % what, result)

    def _run(self, fn, *args):
        """fn(handle, *args), the handle held for the call (see Session)."""
        h = self._enter()
        try:
            return fn(h, *args)
        finally:
            self._leave()

    def _call(self, fn, *args) -> Tuple[int, int]:
        """A command-like call: its result and, when it failed, where the
        result came from. The origin is read right after the call, before
        any other Python code of this thread could run a command."""
        h = self._enter()
        try:
            result = fn(h, *args)
            origin = lib.oam_last_result_origin() if result else _native.RESULT_NONE
        finally:
            self._leave()
        err, self._callback_error = self._callback_error, None
        if err is not None:
            raise err
        return result, origin

    def _transfer_failed(self, what: str, file_name: str, code: int, reason: str):
        # A transfer passes on no server code but 1 and 7, so its numbers
        # need no origin: 110 is the cancel, -2, -3 and -4 the session's.
        if code == _native.PROGRESS_CANCELLED:
            raise TransferCancelled("%s of %s cancelled" % (what, file_name), code, "cancelled")
        if self._SESSION and code in _SESSION_RESULTS:
            raise _library_failure("%s of %s" % (what, file_name), code, _native.RESULT_LIBRARY, True)
        raise FileTransferError("%s of %s failed (%d): %s" % (what, file_name, code, reason), code, reason)

    _SESSION = False  # a Session's own results (-2, -3, -4) come from the library

    def _enter(self):
        return self._handle()

    def _leave(self) -> None:
        pass

    def _handle(self):
        raise NotImplementedError

    def _request(self, command: str, params: str, station: str = "") -> bytes:
        raise NotImplementedError


def _login_params(user: str, password: str) -> str:
    return "User=%s;Password=%s;" % (_checked_name("user", user), _checked_name("password", password, secret=True))


class Channel(_Commands):
    """One TCP command channel to a management server.

    Connects on construction (``connect=False`` to do it later); use it as
    a context manager or call :meth:`close`. Commands may come from several
    threads: the library takes the channel lock for each exchange.

    on_link_break(channel) is called, on the thread whose command found the
    link broken, once per connection; an exception it raises is re-raised
    from that command. Reconnect with :meth:`reconnect` after the failing
    call has returned (or use a :class:`Session`, which does it by itself).

    strict, command_timeout, connect_timeout (seconds), keep_alive ((idle,
    interval, count)) and on_progress are the settings of the same-named
    set_* methods, applied before connecting.
    """

    _PREFIX = "oam_channel_"

    def __init__(self, host: str = "127.0.0.1", port: int = 9000, *,
                 on_link_break: Optional[Callable[["Channel"], None]] = None, connect: bool = True,
                 strict: bool = False, command_timeout: Optional[float] = None,
                 connect_timeout: Optional[float] = None, keep_alive: Optional[Tuple[int, int, int]] = None,
                 on_progress: Optional[Callable[[int, int, "TransferPhase"], Optional[bool]]] = None):
        self.host, self.port = host, port
        self._h = lib.oam_channel_new()
        if not self._h:
            raise MemoryError("oamsdk: no memory for a channel")
        self._hp = ctypes.c_void_p(self._h)
        self._local = threading.local()
        self._callback_error = None
        self._on_link_break = on_link_break
        # Kept here: the C side holds only the pointer. Through a weak
        # reference: a cycle would keep a dropped channel, and its
        # connection, until the garbage collector ran.
        self._link_fn = _native.LINK_BREAK_FN(_link_break_trampoline(weakref.ref(self)))
        lib.oam_channel_set_link_break(self._h, None, self._link_fn, None)
        try:
            self._configure(strict, command_timeout, connect_timeout, keep_alive, on_progress)
            if connect:
                self.connect()
        except BaseException:
            self.close()
            raise

    # -- lifecycle

    def connect(self) -> None:
        """Connects to host:port; TransportError when it cannot."""
        if lib.oam_channel_connect(self._handle(), _enc(self.host), self.port) != 1:
            raise _transport_error("connecting to %s:%d" % (self.host, self.port), 0)

    def close(self) -> None:
        """Closes the connection and frees the channel; further calls raise."""
        h, self._h = self._h, None
        if h:
            self._hp = ctypes.c_void_p()
            lib.oam_channel_delete(h)

    def reconnect(self) -> None:
        """Closes the connection and connects again (log in again after)."""
        lib.oam_channel_close(self._handle())
        self.connect()

    def __enter__(self) -> "Channel":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    @property
    def closed(self) -> bool:
        return not self._h

    def local_ip(self) -> str:
        """Dotted text of the connection's local address."""
        h = self._handle()
        return _text_result(lambda b, n: lib.oam_channel_local_ip(h, b, n), 64)

    # -- session checking

    @property
    def strict(self) -> bool:
        """Strict session mode (see :meth:`set_strict`)."""
        return lib.oam_channel_strict_session(self._handle()) == 1

    @strict.setter
    def strict(self, on: bool) -> None:
        self.set_strict(on)

    @property
    def last_reply_matched(self) -> bool:
        """The last command of this thread's making took a reply carrying
        its own SESSIONID (False also when it got none)."""
        return lib.oam_channel_reply_session_matched(self._handle()) == 1

    @property
    def last_reply_mismatched(self) -> bool:
        """The last command read a reply of another SESSIONID and did not
        end with its own: the link is out of step."""
        return lib.oam_channel_reply_session_mismatched(self._handle()) == 1

    # -- internals

    def _handle(self):
        if not self._h:
            raise ValueError("oamsdk: the channel is closed")
        return self._h

    def _buffer(self):
        try:
            return self._local.reply
        except AttributeError:
            # One per thread: the library takes the lock, not this buffer.
            buf, length = ctypes.create_string_buffer(_native.REPLY_MAX + 1), ctypes.c_size_t()
            self._local.reply = (buf, ctypes.c_size_t(len(buf)), length, ctypes.byref(length))
            return self._local.reply

    def _request(self, command: str, params: str, station: str = "") -> bytes:
        # The path every exchange takes: kept to the C call and its result.
        buf, size, length, length_ref = self._buffer()
        if not self._h:
            self._handle()
        if ";" in station or "=" in station:
            _checked_name("station", station)
        codec = _codec()
        code = _native.command_unchecked(self._hp, station.encode(codec, "surrogateescape"),
                                         command.encode(codec, "surrogateescape"),
                                         params.encode(codec, "surrogateescape"), buf, size, length_ref)
        # At once: no other call of this thread may overwrite it first.
        origin = lib.oam_last_result_origin() if code else _native.RESULT_NONE
        if self._callback_error is not None:
            err, self._callback_error = self._callback_error, None
            raise err
        if code == 0:
            return buf[:min(length.value, _native.REPLY_MAX)]
        return _outcome(command, code, origin, False, buf, length.value)


def _link_break_trampoline(ref: "weakref.ref[Channel]"):
    def call(channel, user):
        # Runs inside a library call: nothing may propagate into C.
        obj = ref()
        if obj is None:
            return
        try:
            if obj._on_link_break is not None:
                obj._on_link_break(obj)
        except BaseException as e:
            obj._callback_error = e
    return call


# ---------------------------------------------------------------- session

class SessionState(enum.IntEnum):
    """A session's state, as reported to its callback."""
    CONNECTED = 0     #: open() connected and logged in
    LOST = 1          #: the link went away (cause tells how)
    RECONNECTING = 2  #: an attempt starts
    RESTORED = 3      #: reconnected and logged in again
    GIVEN_UP = 4      #: no further attempts until open()
    CLOSED = 5        #: disconnect(), close() or the end of the session


class SessionCause(enum.IntEnum):
    """Why a session event came."""
    NONE = 0
    LINK_BREAK = 1
    CONNECTION_GONE = 2
    CONNECT_FAILED = 3
    NO_LOGIN_REPLY = 4
    LOGIN_REFUSED = 5
    ATTEMPTS_USED = 6
    DESYNCHRONISED = 7
    HOST = 8


@dataclass(frozen=True)
class SessionEvent:
    """What a session reports: code is the socket error or the server's
    RETURNCODE (per cause), attempt the reconnect attempt (1, 2, ...),
    delay the back-off waited before it in seconds."""
    state: SessionState
    cause: SessionCause
    code: int
    attempt: int
    delay: float
    text: str


# Depth of session callbacks running on this thread: a session must not be
# freed from inside one (the library would wait for itself).
_in_callback = threading.local()
_open_sessions: "weakref.WeakSet[Session]" = weakref.WeakSet()


def _session_trampoline(ref: "weakref.ref[Session]"):
    def call(handle, event, user):
        _in_callback.depth = getattr(_in_callback, "depth", 0) + 1
        try:
            obj = ref()
            if obj is not None and obj._on_state is not None:
                e = event.contents
                ev = SessionEvent(_enum(SessionState, e.state), _enum(SessionCause, e.cause), e.code, e.attempt,
                                  e.delay_ms / 1000.0, _dec(e.text or b""))
                try:
                    obj._on_state(ev)
                finally:
                    obj = None  # a last reference dropped here is freed off this thread (see close)
        except BaseException:  # never into C; there is no caller to hand it to
            logger.exception("oamsdk: the session's on_state callback raised")
        finally:
            _in_callback.depth -= 1
    return call


def _delete_session(handle, keep) -> None:
    # keep: the callbacks, alive until the library has stopped calling them.
    lib.oam_session_delete(handle)


def _free_session(handle, keep) -> None:
    # Never from inside a session callback: the library would wait for the
    # thread it is running on.
    if getattr(_in_callback, "depth", 0):
        threading.Thread(target=_delete_session, args=(handle, keep), name="oamsdk-session-close").start()
    else:
        _delete_session(handle, keep)


@atexit.register
def _close_sessions() -> None:
    # No session thread may call into an interpreter that is shutting down.
    for s in list(_open_sessions):
        s.close()


class Session(_Commands):
    """A command channel that reconnects and logs in again by itself after
    the link is lost, waiting a growing back-off between attempts. A command
    is never sent twice: one that finds the link gone fails as on a channel,
    and while the link is down commands raise LinkDownError at once.

    Opens on construction (``open=False`` to call :meth:`open` later); use
    it as a context manager or call :meth:`close`. With ``background=True``
    a thread of the library reconnects as soon as the back-off allows and
    watches the idle link; otherwise the next command after the back-off
    reconnects first.

    Besides the channel's errors, a command raises LinkDownError (-2) while
    the link is down, BusyError (-3) from inside one of the session's own
    calls on the same thread (a progress callback) and DesynchronisedError
    (-4) when the reply was another command's; the same numbers sent by the
    server as its RETURNCODE are a CommandError.

    on_state(event) receives each :class:`SessionEvent`: on the thread of
    the call that noticed the change, or the session's own thread for
    background reconnects. It may issue commands (they raise LinkDownError
    while the link is down) and call :meth:`close`. An exception it raises
    goes to the "oamsdk" logger (logger.exception). user/password: the log-in (user None: none). backoff:
    (initial, maximum seconds, jitter percent, attempts; 0 for ever),
    default (0.5, 30, 20, 0). The other settings are those of Channel.
    """

    _PREFIX = "oam_session_"
    _SESSION = True

    def __init__(self, host: str = "127.0.0.1", port: int = 9000, *, user: Optional[str] = "admin",
                 password: str = "admin", on_state: Optional[Callable[[SessionEvent], None]] = None,
                 background: bool = False, backoff: Optional[Tuple[float, float, int, int]] = None,
                 open: bool = True, strict: bool = False, command_timeout: Optional[float] = None,
                 connect_timeout: Optional[float] = None, keep_alive: Optional[Tuple[int, int, int]] = None,
                 on_progress: Optional[Callable[[int, int, "TransferPhase"], Optional[bool]]] = None):
        self.host, self.port = host, port
        self._h = lib.oam_session_new()
        if not self._h:
            raise MemoryError("oamsdk: no memory for a session")
        self._local = threading.local()
        self._callback_error = None
        # Calls into the C session under way, on any thread: a close() meanwhile
        # (from a callback inside one of them, or from another thread) frees
        # the session only when the last has returned.
        self._lock = threading.Lock()
        self._calls = 0
        self._free = None
        self._on_state = on_state
        self._state_fn = _native.SESSION_FN(_session_trampoline(weakref.ref(self)))
        try:
            lib.oam_session_set_server(self._h, _enc(host), port)
            if user is not None:
                lib.oam_session_set_login(self._h, _enc(_login_params(user, password)))
            lib.oam_session_set_callback(self._h, self._state_fn, None)
            lib.oam_session_set_auto_reconnect(self._h, 1 if background else 0)
            if backoff is not None:
                self.set_backoff(*backoff)
            self._configure(strict, command_timeout, connect_timeout, keep_alive, on_progress)
            _open_sessions.add(self)
            if open:
                self.open()
        except BaseException:
            self.close()
            raise

    def set_backoff(self, initial: float = 0.5, maximum: float = 30.0, jitter: int = 20, attempts: int = 0) -> None:
        """The wait before each reconnect attempt: initial seconds, doubled
        each time up to maximum, less a random part of up to jitter percent;
        attempts 0 tries for ever. Set it before open()."""
        self._setting("back-off", "set_backoff", _ms(initial), _ms(maximum), int(jitter), int(attempts))

    def open(self) -> None:
        """Connects and logs in once; also the way back after GIVEN_UP.
        TransportError when it cannot connect or gets no log-in reply,
        CommandError when the server refuses the log-in."""
        code, origin = self._call(lib.oam_session_open)
        if code == 0:
            return
        what = "opening the session to %s:%d" % (self.host, self.port)
        if code == _native.BUSY and origin != _native.RESULT_SERVER:
            raise BusyError("%s: the session is already open" % what, code, "busy")
        failure = _library_failure(what, code, origin, False)
        if failure is not None:
            raise failure
        raise CommandError("Login refused (%d)" % code, code, "log-in refused")

    def disconnect(self) -> None:
        """Closes the link and stops reconnecting (reports CLOSED); open()
        may follow."""
        self._run(lib.oam_session_close)

    def close(self) -> None:
        """Stops the session (a reconnect under way is cut short, the
        background thread ends) and frees it; further calls raise ValueError.
        Safe from its own callback and while other threads are inside its
        calls: the link is closed at once (those calls fail) and the session
        freed when the last of them has returned, never from inside one of
        its callbacks (there it is handed to another thread)."""
        lock = getattr(self, "_lock", None)
        if lock is None:  # __init__ failed before the session was made
            return
        with lock:
            h, self._h = self._h, None
            if not h:
                return
            others = self._calls
            self._calls += 1
            self._free = (h, (self._state_fn, self._progress_fn))
        _open_sessions.discard(self)
        try:
            if others:
                lib.oam_session_close(h)  # wakes them; the free waits for them
        finally:
            self._leave()

    @property
    def state(self) -> SessionState:
        """The state of the link now (while up: CONNECTED after open(),
        RESTORED after a reconnect since)."""
        return _enum(SessionState, self._run(lib.oam_session_state))

    @property
    def connected(self) -> bool:
        return self._run(lib.oam_session_is_connected) == 1

    @property
    def closed(self) -> bool:
        return not self._h

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def _handle(self):
        if not self._h:
            raise ValueError("oamsdk: the session is closed")
        return self._h

    def _enter(self):
        with self._lock:
            if not self._h:
                raise ValueError("oamsdk: the session is closed")
            self._calls += 1
            return self._h

    def _leave(self) -> None:
        with self._lock:
            self._calls -= 1
            free = self._free if self._calls == 0 else None
            if free is not None:
                self._free = None
        if free is not None:
            _free_session(*free)

    def _request(self, command: str, params: str, station: str = "") -> bytes:
        if ";" in station or "=" in station:
            _checked_name("station", station)
        try:
            buf, length = self._local.reply
        except AttributeError:
            buf, length = ctypes.create_string_buffer(_native.REPLY_MAX + 1), ctypes.c_size_t()
            self._local.reply = (buf, length)
        codec = _codec()
        code, origin = self._call(lib.oam_session_command, _enc(station, codec), _enc(command, codec),
                                  _enc(params, codec), buf, len(buf), ctypes.byref(length))
        return _outcome(command, code, origin, True, buf, length.value)


def _enum(cls, value: int):
    try:
        return cls(value)
    except ValueError:
        return value


def _first_value(text: bytes, whole: bool = False):
    """The value of the first pair of a reply, as a codec buffer to read
    list entries from; with whole, None when there is no whole pair."""
    rest = ctypes.create_string_buffer(text)
    name, value = ctypes.create_string_buffer(256), ctypes.create_string_buffer(len(text) + 1)
    if lib.oam_codec_pop_name_value(rest, name, 256, value, len(text) + 1, 1) < 0 and whole:
        return None
    return value


# ---------------------------------------------------------------- alarms

_STOP = object()
# Receivers still open at exit are closed first, so that no alarm calls
# into an interpreter that is shutting down.
_open_receivers: "weakref.WeakSet[AlarmReceiver]" = weakref.WeakSet()


@atexit.register
def _close_receivers() -> None:
    for rx in list(_open_receivers):
        rx.close()


class AlarmReceiver:
    """Receives the alarms of a set of peers (UDP port 20000 of each).

    Starts receiving on construction, on a thread of its own; iterate to
    get the alarms as they come, or call :meth:`get`. :meth:`close` (or
    leaving the ``with`` block) stops it: iteration then ends once the
    alarms already received are taken.
    """

    def __init__(self, peers: Iterable[str], oam_id: str, port: int = 0):
        self._h = lib.oam_alarm_new()
        if not self._h:
            raise MemoryError("oamsdk: no memory for an alarm receiver")
        self._queue: "queue.Queue[object]" = queue.Queue()
        self._fn = _native.ALARM_FN(self._on_alarm)
        self._lock = threading.Lock()
        self._thread: Optional[threading.Thread] = None
        self.callback_error: Optional[BaseException] = None
        try:
            for peer in peers:
                lib.oam_alarm_add_peer(self._h, _enc(peer))
            lib.oam_alarm_set_id(self._h, _enc(oam_id))
            lib.oam_alarm_set_callback(self._h, None, self._fn, None)
            if lib.oam_alarm_bind(self._h, port) != 1:
                raise _transport_error("binding the alarm receiver to port %d" % port, 0)
        except BaseException:
            lib.oam_alarm_delete(self._h)
            self._h = None
            raise
        self._thread = threading.Thread(target=self._run, name="oamsdk-alarms", daemon=True)
        self._thread.start()
        _open_receivers.add(self)

    def _run(self) -> None:
        try:
            lib.oam_alarm_receive(self._h)  # the GIL is released while it runs
        finally:
            self._queue.put(_STOP)

    def _on_alarm(self, alarm, user) -> None:
        try:
            self._queue.put(Alarm._from(alarm.contents))
        except BaseException as e:  # never into C
            self.callback_error = e

    def get(self, timeout: Optional[float] = None) -> Optional[Alarm]:
        """The next alarm, waiting up to timeout seconds (None: until one
        comes or the receiver closes); None when none came."""
        try:
            item = self._queue.get(timeout=timeout)
        except queue.Empty:
            return None
        if item is _STOP:
            self._queue.put(_STOP)  # every later caller sees the end too
            return None
        return item  # type: ignore[return-value]

    def __iter__(self) -> Iterator[Alarm]:
        while True:
            item = self._queue.get()
            if item is _STOP:
                self._queue.put(_STOP)
                return
            yield item  # type: ignore[misc]

    def close(self) -> None:
        """Stops receiving, waits for the receiving thread, frees the
        receiver. Safe to call more than once and from any thread but the
        receiving one."""
        with self._lock:
            h, self._h = self._h, None
        if not h:
            return
        lib.oam_alarm_close(h)
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join()
        lib.oam_alarm_delete(h)

    @property
    def closed(self) -> bool:
        return not self._h

    def __enter__(self) -> "AlarmReceiver":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


# ---------------------------------------------------------------- datagrams

class DatagramSocket:
    """A non-blocking UDP socket of the library (CUDPSocket)."""

    def __init__(self, port: int = 0, address: str = "127.0.0.1"):
        self._h = lib.oam_udp_new()
        if not self._h:
            raise MemoryError("oamsdk: no memory for a socket")
        if lib.oam_udp_bind(self._h, port, _enc(address)) != 1:
            lib.oam_udp_delete(self._h)
            self._h = None
            raise _transport_error("binding %s:%d" % (address, port), 0)

    def send_to(self, data: bytes, host: str, port: int) -> int:
        """Sends one datagram; the number of bytes sent."""
        n = lib.oam_udp_send_to(self._handle(), data, len(data), _enc(host), port)
        if n < 0:
            raise _transport_error("sending to %s:%d" % (host, port), n)
        return n

    def receive(self, timeout: float = 0.0, size: int = 65536) -> Optional[Tuple[bytes, Tuple[str, int]]]:
        """One datagram and its sender, waiting up to timeout seconds; None
        when none came."""
        h = self._handle()
        if lib.oam_udp_wait(h, max(0, int(timeout * 1000))) != 1:
            return None
        buf, sender, port = ctypes.create_string_buffer(size), ctypes.create_string_buffer(16), ctypes.c_uint32()
        n = lib.oam_udp_recv_from(h, buf, size, sender, 16, ctypes.byref(port))
        if n < 0:
            return None
        return buf.raw[:n], (_dec(sender.value), port.value)

    def close(self) -> None:
        h, self._h = self._h, None
        if h:
            lib.oam_udp_delete(h)

    def _handle(self):
        if not self._h:
            raise ValueError("oamsdk: the socket is closed")
        return self._h

    def __enter__(self) -> "DatagramSocket":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass


# ---------------------------------------------------------------- utilities

def library_version() -> Tuple[int, int, int]:
    """Version of the loaded library's C interface."""
    v = lib.oam_version()
    return (v >> 16, (v >> 8) & 0xFF, v & 0xFF)


def library_release() -> str:
    """Version of the library file actually loaded, e.g. "1.0.0"."""
    return _text_result(lib.oam_library_version, 64)


def library_soname() -> str:
    """File name the loaded library was built to be loaded as, e.g.
    "liboamsdk.so.1"."""
    return _text_result(lib.oam_library_soname, 256)


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


def module_dir() -> str:
    """The directory uploads are read from and downloads written to
    (OAMSDK_MODULE_DIR overrides it)."""
    return _text_result(lib.oam_module_dir, 1024, _path)


def last_error() -> int:
    """The calling thread's last system error code (Windows Sockets numbering)."""
    return lib.oam_last_error()


def log(sink: int, message: str) -> None:
    """Writes a message to a log sink (SINK_R or SINK_D)."""
    if lib.oam_log(sink, _enc(message)) != 0:
        raise ValueError("no such sink: %r" % (sink,))


_hooks = {}


def set_log_hook(sink: int, hook: Optional[Callable[[int, str], None]]) -> None:
    """Calls hook(sink, message) for every message of a sink (None
    removes it). An exception the hook raises goes to the "oamsdk" logger
    (logger.exception): it never reaches the library."""
    def call(s, message, user):
        try:
            hook(s, _dec(message))
        except BaseException:
            logger.exception("oamsdk: the log hook of sink %d raised", s)

    fn = _native.LOG_FN(call) if hook is not None else _native.LOG_FN()
    if lib.oam_log_set_hook(sink, fn, None) != 0:
        raise ValueError("no such sink: %r" % (sink,))
    _hooks[sink] = fn  # only now is the previous hook no longer called
