"""The alarm receiver: the alarms of a set of peers, on a thread of its
own, as an iterator or one by one."""

from __future__ import annotations

import atexit
import queue
import threading
import weakref
from dataclasses import dataclass
from typing import Any, Iterable, Iterator, Optional

from . import _native
from ._native import lib
from .codec import _dec, _enc
from .errors import _transport_error


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
            self._deliver(_STOP)

    def _on_alarm(self, alarm: Any, user: Any) -> None:
        try:
            self._deliver(Alarm._from(alarm.contents))
        except BaseException as e:  # never into C
            self.callback_error = e

    def _deliver(self, item: object) -> None:
        # On the receiving thread: an alarm, or _STOP once receiving ended.
        self._queue.put(item)

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

    def __exit__(self, *exc: object) -> None:
        self.close()
