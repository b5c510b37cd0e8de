"""The session: a command channel that reconnects and logs in again by
itself, reporting each change of its link."""

from __future__ import annotations

import atexit
import ctypes
import threading
import weakref
from dataclasses import dataclass
import enum
from typing import Any, Callable, Optional, Tuple

from . import _native
from ._closing import Closing
from ._native import lib
from .channel import TransferPhase, _Commands, _enum, _login_params, _ms, _outcome
from .codec import _checked_name, _codec, _dec, _enc
from .errors import BusyError, CommandError, _library_failure, logger


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


def _session_trampoline(ref: "weakref.ref[Session]") -> Callable[[Any, Any, Any], None]:
    def call(handle: Any, event: Any, user: Any) -> None:
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


def _delete_session(handle: Any, keep: object) -> None:
    # keep: the callbacks, alive until the library has stopped calling them.
    lib.oam_session_delete(handle)


def _free_session(handle: Any, keep: object) -> None:
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


class Session(_Commands, Closing):
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
                 on_progress: Optional[Callable[[int, int, "TransferPhase"], Optional[bool]]] = None,
                 upload_level: Optional[int] = None):
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
        self._free: Optional[Tuple[Any, object]] = None
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
            self._configure(strict, command_timeout, connect_timeout, keep_alive, on_progress, upload_level)
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
        return bool(self._run(lib.oam_session_is_connected) == 1)

    @property
    def closed(self) -> bool:
        return not self._h

    def _handle(self) -> Any:
        if not self._h:
            raise ValueError("oamsdk: the session is closed")
        return self._h

    def _enter(self) -> Any:
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
