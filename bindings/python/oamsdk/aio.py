"""oamsdk for asyncio hosts: the channel, the session and the alarm receiver
with awaitable commands, ``async with`` and ``async for``.

    from oamsdk.aio import AsyncChannel

    async with AsyncChannel("127.0.0.1", 9000) as chan:
        await chan.login("admin", "admin")
        for station in await chan.stations():
            print(station.id, station.name, len(await chan.devices(station)))

The library's calls block, so each object runs them on a worker thread of
its own (the GIL is released while they wait); the event loop only hands
the call over and takes the result. Several coroutines may await commands
on one object: they run one after the other, in the order they were
awaited, as the channel lock would order threads.

Cancelling an awaiting command (``asyncio.wait_for``, ``Task.cancel``) does
not cut an exchange in half, so the channel never answers the next command
with the cancelled one's reply: a command the worker has not taken yet is
never sent; one under way runs to its end off the loop (its reply, or the
error, is read and dropped) and the next command is sent only after it.

Errors are those of the synchronous package (:class:`oamsdk.OamError` and
its subclasses), raised from the await.
"""

from __future__ import annotations

import asyncio
import collections
import queue
import threading
import weakref
from types import TracebackType
from typing import (Any, AsyncIterator, Callable, Deque, Iterable, List, Optional, Tuple, Type, TypeVar,
                    Union)

from .alarms import _STOP, Alarm, AlarmReceiver
from .channel import Channel, Device, Station, TransferPhase, _Commands
from .session import Session, SessionEvent, SessionState

__all__ = ["AsyncAlarmReceiver", "AsyncChannel", "AsyncSession"]

T = TypeVar("T")
_Job = Tuple["asyncio.Future[Any]", asyncio.AbstractEventLoop, Callable[..., Any], Tuple[Any, ...]]
Progress = Callable[[int, int, TransferPhase], Optional[bool]]


def _settle(fut: "asyncio.Future[Any]", ok: bool, value: Any) -> None:
    # On the loop: a cancelled await has no one to take the result.
    if fut.cancelled():
        return
    if ok:
        fut.set_result(value)
    else:
        fut.set_exception(value)


def _worker(jobs: "queue.SimpleQueue[Optional[_Job]]") -> None:
    while True:
        job = jobs.get()
        if job is None:
            return
        fut, loop, fn, args = job
        if fut.cancelled():  # cancelled before its turn: never sent
            continue
        try:
            ok, value = True, fn(*args)
        except BaseException as e:  # noqa: B036 - handed to the awaiting coroutine
            ok, value = False, e
        try:
            loop.call_soon_threadsafe(_settle, fut, ok, value)
        except RuntimeError:  # the loop is closed: nobody awaits it any more
            pass
        del fut, value, job


class _Offloop:
    """The worker thread an object runs its blocking calls on, one after
    the other. It ends once the object is closed or dropped."""

    def __init__(self, name: str) -> None:
        self._jobs: "queue.SimpleQueue[Optional[_Job]]" = queue.SimpleQueue()
        self._thread = threading.Thread(target=_worker, args=(self._jobs,), name=name, daemon=True)
        self._thread.start()
        self._finalizer = weakref.finalize(self, self._jobs.put, None)

    def run(self, fn: Callable[..., T], *args: Any) -> "asyncio.Future[T]":
        if not self._finalizer.alive:
            raise ValueError("oamsdk: closed")
        loop = asyncio.get_running_loop()
        fut: "asyncio.Future[T]" = loop.create_future()
        self._jobs.put((fut, loop, fn, args))
        return fut

    @property
    def stopped(self) -> bool:
        return not self._finalizer.alive

    def stop(self) -> None:
        """Ends the thread after the calls already handed over."""
        self._finalizer()


class _AsyncCommands:
    """The commands of a channel or a session, awaited."""

    _sync: _Commands
    _off: _Offloop

    async def command(self, command: str, params: str = "", station: str = "") -> str:
        """One command exchange: the reply after its SESSIONID and
        RETURNCODE pairs (see :meth:`oamsdk.Channel.command`)."""
        return await self._off.run(self._sync.command, command, params, station)

    async def login(self, user: str = "admin", password: str = "admin") -> str:
        return await self._off.run(self._sync.login, user, password)

    async def stations(self) -> List[Station]:
        return await self._off.run(self._sync.stations)

    async def devices(self, station: Union[str, Station]) -> List[Device]:
        return await self._off.run(self._sync.devices, station)

    async def get(self, station: str, name: str) -> int:
        return await self._off.run(self._sync.get, station, name)

    async def set(self, station: str, name: str, value: int) -> None:
        await self._off.run(self._sync.set, station, name, value)

    async def control(self, station: str, name: str, value: int) -> None:
        await self._off.run(self._sync.control, station, name, value)

    async def upload(self, station: str, file_name: str) -> None:
        """Uploads from the module directory; a progress callback set on
        the underlying object runs on the worker thread."""
        await self._off.run(self._sync.upload, station, file_name)

    async def download(self, station: str, file_name: str) -> None:
        await self._off.run(self._sync.download, station, file_name)

    async def run(self, fn: Callable[..., T], *args: Any) -> T:
        """fn(*args) on this object's worker thread, in turn with its
        commands: for the settings and calls of the underlying object
        that have no awaitable form here."""
        return await self._off.run(fn, *args)


class AsyncChannel(_AsyncCommands):
    """A :class:`oamsdk.Channel` whose commands are awaited. Connects on
    ``async with`` or :meth:`connect`; the keyword arguments are those of
    Channel (its settings apply before connecting)."""

    def __init__(self, host: str = "127.0.0.1", port: int = 9000, **settings: Any) -> None:
        settings["connect"] = False
        self._sync = self.channel = Channel(host, port, **settings)
        self._off = _Offloop("oamsdk-aio-channel")

    async def connect(self) -> None:
        await self._off.run(self.channel.connect)

    async def reconnect(self) -> None:
        await self._off.run(self.channel.reconnect)

    async def close(self) -> None:
        """Closes the channel once the commands already awaited are done.
        Again: nothing."""
        if not self._off.stopped:
            try:
                await self._off.run(self.channel.close)
            finally:
                self._off.stop()

    @property
    def closed(self) -> bool:
        return self.channel.closed

    async def __aenter__(self) -> "AsyncChannel":
        try:
            await self.connect()
        except BaseException:
            await self.close()
            raise
        return self

    async def __aexit__(self, t: Optional[Type[BaseException]], e: Optional[BaseException],
                        tb: Optional[TracebackType]) -> None:
        await self.close()


class AsyncSession(_AsyncCommands):
    """A :class:`oamsdk.Session` whose commands are awaited and whose
    events come as an async iterator (:meth:`events`). Opens on ``async
    with`` or :meth:`open`; the keyword arguments are those of Session
    (an on_state given is called too, on the library's thread)."""

    def __init__(self, host: str = "127.0.0.1", port: int = 9000, *, backlog: int = 1000, **settings: Any) -> None:
        self._events: Deque[SessionEvent] = collections.deque(maxlen=backlog)
        self._waiters: List[Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]] = []
        self._lock = threading.Lock()
        self._ended = False
        user_on_state: Optional[Callable[[SessionEvent], None]] = settings.pop("on_state", None)
        ref = weakref.ref(self)

        def on_state(event: SessionEvent) -> None:
            obj = ref()
            if obj is not None:
                obj._record(event)
            if user_on_state is not None:
                user_on_state(event)

        settings["open"] = False
        self._sync = self.session = Session(host, port, on_state=on_state, **settings)
        self._off = _Offloop("oamsdk-aio-session")

    async def open(self) -> None:
        await self._off.run(self.session.open)

    async def disconnect(self) -> None:
        await self._off.run(self.session.disconnect)

    async def close(self) -> None:
        """Closes the session once the commands already awaited are done;
        :meth:`events` ends after the events reported until then. Again:
        nothing."""
        if self._off.stopped:
            return
        try:
            await self._off.run(self.session.close)
        finally:
            self._off.stop()
            self._end()

    @property
    def state(self) -> SessionState:
        return self.session.state

    @property
    def connected(self) -> bool:
        return self.session.connected

    @property
    def closed(self) -> bool:
        return self.session.closed

    async def events(self) -> AsyncIterator[SessionEvent]:
        """The session's events since it was made (up to `backlog` kept
        while nobody takes them), as they come; ends once the session is
        closed. One consumer: two iterators would share the events."""
        loop = asyncio.get_running_loop()
        while True:
            with self._lock:
                if self._events:
                    event: Optional[SessionEvent] = self._events.popleft()
                elif self._ended:
                    return
                else:
                    event, wake = None, loop.create_future()
                    self._waiters.append((loop, wake))
            if event is not None:
                yield event
            else:
                await wake

    def _record(self, event: SessionEvent) -> None:
        # On whichever thread the session reports from.
        with self._lock:
            self._events.append(event)
            waiters, self._waiters = self._waiters, []
        _wake(waiters)

    def _end(self) -> None:
        with self._lock:
            self._ended = True
            waiters, self._waiters = self._waiters, []
        _wake(waiters)

    async def __aenter__(self) -> "AsyncSession":
        try:
            await self.open()
        except BaseException:
            await self.close()
            raise
        return self

    async def __aexit__(self, t: Optional[Type[BaseException]], e: Optional[BaseException],
                        tb: Optional[TracebackType]) -> None:
        await self.close()


def _wake(waiters: Iterable[Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]]) -> None:
    for loop, fut in waiters:
        try:
            loop.call_soon_threadsafe(_settle, fut, True, None)
        except RuntimeError:  # that loop is closed
            pass


class AsyncAlarmReceiver(AlarmReceiver):
    """An :class:`oamsdk.AlarmReceiver` to iterate with ``async for``
    (the arguments are AlarmReceiver's). Iteration ends once the receiver
    is closed (``async with``, :meth:`aclose` or :meth:`close`) and the
    alarms received until then are taken. Several coroutines may wait on
    it: each alarm goes to one of them. (Its synchronous get() and
    iteration are not for it: the alarms go to the awaiting side.)"""

    def __init__(self, peers: Iterable[str], oam_id: str, port: int = 0) -> None:
        self._pending: Deque[object] = collections.deque()
        self._waiters: List[Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]] = []
        self._plock = threading.Lock()
        super().__init__(peers, oam_id, port)

    def _deliver(self, item: object) -> None:
        with self._plock:
            self._pending.append(item)
            waiters, self._waiters = self._waiters, []
        _wake(waiters)

    def __aiter__(self) -> AsyncIterator[Alarm]:
        return self._alarms()

    async def _alarms(self) -> AsyncIterator[Alarm]:
        while True:
            alarm = await self.next()
            if alarm is None:
                return
            yield alarm

    async def next(self, timeout: Optional[float] = None) -> Optional[Alarm]:
        """The next alarm, waiting up to timeout seconds (None: until one
        comes or the receiver closes); None when none came."""
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        while True:
            with self._plock:
                if self._pending:
                    item = self._pending[0]
                    if item is not _STOP:  # the end stays for every later call
                        self._pending.popleft()
                        return item  # type: ignore[return-value]
                    return None
                wake: "asyncio.Future[None]" = loop.create_future()
                self._waiters.append((loop, wake))
            try:
                if deadline is None:
                    await wake
                else:
                    await asyncio.wait_for(wake, max(0.0, deadline - loop.time()))
            except asyncio.TimeoutError:
                return None

    async def aclose(self) -> None:
        """Stops receiving, off the loop (close() waits for the receiving
        thread)."""
        await asyncio.get_running_loop().run_in_executor(None, self.close)

    async def __aenter__(self) -> "AsyncAlarmReceiver":
        return self

    async def __aexit__(self, t: Optional[Type[BaseException]], e: Optional[BaseException],
                        tb: Optional[TracebackType]) -> None:
        await self.aclose()
