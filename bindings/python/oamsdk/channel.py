"""The command channel, and the commands, transfers and settings a
channel and a session share."""

from __future__ import annotations

import ctypes
import enum
import threading
import weakref
from dataclasses import dataclass, field
from typing import Any, Callable, List, NoReturn, Optional, Tuple, Type, TypeVar, Union

from . import _native
from ._closing import Closing
from ._native import lib
from .codec import _atoi, _checked_name, _codec, _dec, _enc, _first_value, _text_result, base64_decode
from .errors import (CommandError, FileTransferError, TransferCancelled, TransportError, _DOWNLOAD_REASONS,
                     _SESSION_RESULTS, _library_failure, _reason, _transport_error)


_MAX_DEVICES = 16  # a station record's device slots


class TransferPhase(enum.IntEnum):
    """Phase of a file transfer given to a progress callback, with what its
    total counts."""
    PACKING = 0    #: upload: the file is packed (the file's bytes)
    SENDING = 1    #: upload: the archive goes out (the archive's bytes)
    RECEIVING = 2  #: download: the archive comes in (the announced bytes)
    UNPACKING = 3  #: download: the file is written (the file's bytes)


#: A progress callback: (done, total, phase), true to cancel.
Progress = Callable[[int, int, TransferPhase], Optional[bool]]


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


def _device(d: _native.WACDEVICE_STRUCT) -> Device:
    count = max(0, min(d.PtzCount, len(d.PtzDevice)))
    return Device(d.DeviceID, _dec(d.DeviceName), [Ptz(p.PtzID, _dec(p.PtzName)) for p in d.PtzDevice[:count]])


def _outcome(command: str, code: int, origin: int, session: bool, buf: Any, length: int) -> bytes:
    """The rest of a reply, or the exception its result stands for."""
    rest: bytes = buf[:min(length, _native.REPLY_MAX)]
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


def _progress_trampoline(ref: "weakref.ref[_Commands]") -> Callable[[int, int, int, Any], int]:
    # Only a weak reference: the library holds the function, and a cycle
    # through it would leave the object to the garbage collector, which may
    # run on any thread.
    def call(done: int, total: int, phase: int, user: Any) -> int:
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
    _on_progress: Optional[Progress] = None
    _progress_fn: Any = None

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
        out: List[Device] = []
        record = _native.WACDEVICE_STRUCT()
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

    def set_progress(self, callback: Optional[Progress]) -> None:
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

    def set_upload_level(self, level: int) -> None:
        """Deflate level of the archives upload packs from now on: 1
        (fastest) to 12 (smallest), default 6; a build that packs with zlib
        (Windows) takes 10-12 as 9. ValueError when out of range."""
        self._setting("upload level", "set_upload_level", int(level))

    # -- internals

    def _configure(self, strict: bool, command_timeout: Optional[float], connect_timeout: Optional[float],
                   keep_alive: Optional[Tuple[int, int, int]], on_progress: Optional[Progress],
                   upload_level: Optional[int] = None) -> None:
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
        if upload_level is not None:
            self.set_upload_level(upload_level)

    def _native(self, name: str) -> Any:
        return getattr(lib, self._PREFIX + name)

    def _setting(self, what: str, name: str, *args: Any) -> None:
        result = self._run(self._native(name), *args)
        if result == _native.SETTING_BAD_VALUE:
            raise ValueError("%s: value out of range: %r" % (what, args))
        if result != _native.SETTING_OK:
            raise _transport_error("setting the %s" % what, result)

    def _run(self, fn: Callable[..., Any], *args: Any) -> Any:
        """fn(handle, *args), the handle held for the call (see Session)."""
        h = self._enter()
        try:
            return fn(h, *args)
        finally:
            self._leave()

    def _call(self, fn: Callable[..., int], *args: Any) -> Tuple[int, int]:
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

    def _transfer_failed(self, what: str, file_name: str, code: int, reason: str) -> NoReturn:
        # A transfer passes on no server code but 1 and 7, so its numbers
        # need no origin: 110 is the cancel, -2, -3 and -4 the session's.
        if code == _native.PROGRESS_CANCELLED:
            raise TransferCancelled("%s of %s cancelled" % (what, file_name), code, "cancelled")
        if self._SESSION and code in _SESSION_RESULTS:
            failure = _library_failure("%s of %s" % (what, file_name), code, _native.RESULT_LIBRARY, True)
            assert failure is not None  # a session's own number, from the library
            raise failure
        raise FileTransferError("%s of %s failed (%d): %s" % (what, file_name, code, reason), code, reason)

    _SESSION = False  # a Session's own results (-2, -3, -4) come from the library

    def _enter(self) -> Any:
        return self._handle()

    def _leave(self) -> None:
        pass

    def _handle(self) -> Any:
        raise NotImplementedError

    def _request(self, command: str, params: str, station: str = "") -> bytes:
        raise NotImplementedError


def _login_params(user: str, password: str) -> str:
    return "User=%s;Password=%s;" % (_checked_name("user", user), _checked_name("password", password, secret=True))


class Channel(_Commands, Closing):
    """One TCP command channel to a management server.

    Connects on construction (``connect=False`` to do it later); use it as
    a context manager or call :meth:`close`. Commands may come from several
    threads: the library takes the channel lock for each exchange.

    on_link_break(channel) is called, on the thread whose command found the
    link broken, once per connection; an exception it raises is re-raised
    from that command. Reconnect with :meth:`reconnect` after the failing
    call has returned (or use a :class:`Session`, which does it by itself).

    strict, command_timeout, connect_timeout (seconds), keep_alive ((idle,
    interval, count)), upload_level and on_progress are the settings of the
    same-named set_* methods, applied before connecting.
    """

    _PREFIX = "oam_channel_"

    def __init__(self, host: str = "127.0.0.1", port: int = 9000, *,
                 on_link_break: Optional[Callable[["Channel"], None]] = None, connect: bool = True,
                 strict: bool = False, command_timeout: Optional[float] = None,
                 connect_timeout: Optional[float] = None, keep_alive: Optional[Tuple[int, int, int]] = None,
                 on_progress: Optional[Progress] = None, upload_level: Optional[int] = None):
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
            self._configure(strict, command_timeout, connect_timeout, keep_alive, on_progress, upload_level)
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

    @property
    def closed(self) -> bool:
        return not self._h

    def local_ip(self) -> str:
        """Dotted text of the connection's local address."""
        h = self._handle()
        return _text_result(lambda b, n: int(lib.oam_channel_local_ip(h, b, n)), 64)

    # -- session checking

    @property
    def strict(self) -> bool:
        """Strict session mode (see :meth:`set_strict`)."""
        return bool(lib.oam_channel_strict_session(self._handle()) == 1)

    @strict.setter
    def strict(self, on: bool) -> None:
        self.set_strict(on)

    @property
    def last_reply_matched(self) -> bool:
        """The last command of this thread's making took a reply carrying
        its own SESSIONID (False also when it got none)."""
        return bool(lib.oam_channel_reply_session_matched(self._handle()) == 1)

    @property
    def last_reply_mismatched(self) -> bool:
        """The last command read a reply of another SESSIONID and did not
        end with its own: the link is out of step."""
        return bool(lib.oam_channel_reply_session_mismatched(self._handle()) == 1)

    # -- internals

    def _handle(self) -> Any:
        if not self._h:
            raise ValueError("oamsdk: the channel is closed")
        return self._h

    def _buffer(self) -> Any:
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
            return buf[:min(length.value, _native.REPLY_MAX)]  # type: ignore[no-any-return]
        return _outcome(command, code, origin, False, buf, length.value)


def _link_break_trampoline(ref: "weakref.ref[Channel]") -> Callable[[Any, Any], None]:
    def call(channel: Any, user: Any) -> None:
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


E = TypeVar("E", bound=enum.IntEnum)


def _enum(cls: Type[E], value: int) -> E:
    # A number this package has no name for yet (a newer library's) stays
    # a plain int: it compares and prints as the number.
    try:
        return cls(value)
    except ValueError:
        return value  # type: ignore[return-value]
