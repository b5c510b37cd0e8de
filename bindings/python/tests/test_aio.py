"""oamsdk.aio: the awaited commands, a cancelled await, the event and alarm
iterators, against oam-sim and the fake peer of conftest."""
import asyncio
import re
import threading
import time

import pytest

from oamsdk import CommandError, SessionState, Station, TransportError
from oamsdk.aio import AsyncAlarmReceiver, AsyncChannel, AsyncSession

from conftest import Peer, reply

pytestmark = pytest.mark.asyncio


def echo_peer(slow=(), delay=1.0, connections=1):
    """A peer answering each request with its own command name (Echo=...),
    the commands named in slow only after delay seconds."""
    def answer(req, n):
        name = re.search(rb"(?:^|;)(?:CMD|COMMAND)=([^;]*);", req)
        name = name.group(1) if name else req.split(b";")[2].split(b"=")[0]
        if name in slow:
            time.sleep(delay)
        return reply(req, 0, b"Echo=" + name + b";")
    return Peer(answer, connections=connections)


async def test_commands_are_awaited_against_the_sim(server):
    async with AsyncChannel(*server) as chan:
        with pytest.raises(CommandError) as e:
            await chan.stations()
        assert e.value.code == 4  # not logged in: the server's refusal, from the await
        await chan.login("admin", "admin")
        stations = await chan.stations()
        assert [s.id for s in stations] == ["S1", "S2", "S3"] and isinstance(stations[0], Station)
        assert [d.id for d in await chan.devices(stations[0])] == [3, 4, 5]
        await chan.set("S2", "IrLevel", 3)
        # Several coroutines on one channel: each gets its own reply.
        values = await asyncio.gather(*(chan.get("S2", "IrLevel") for _ in range(20)),
                                      *(chan.command("Get", "Contrast=;", "S2") for _ in range(5)))
        assert values[:20] == [3] * 20 and all("Contrast" in v for v in values[20:])
        await chan.set("S2", "IrLevel", 2)
    assert chan.closed


async def test_a_cancelled_await_never_answers_the_next_command():
    # The slow exchange is cut from the caller's side only: it runs to its
    # end off the loop, its reply is dropped, and the next command is sent
    # after it, so it reads its own reply.
    peer = echo_peer(slow=(b"Slow",))
    async with AsyncChannel("127.0.0.1", peer.port) as chan:
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(chan.command("Slow"), 0.1)
        assert "Echo=Next" in await chan.command("Next")
        # A command cancelled before its turn (the slow one still under
        # way) is never sent at all.
        slow = asyncio.ensure_future(chan.command("Slow"))
        queued = asyncio.ensure_future(chan.command("Never"))
        await asyncio.sleep(0.1)
        queued.cancel()
        assert "Echo=Slow" in await slow
        assert "Echo=Last" in await chan.command("Last")
    assert peer.join()
    sent = b"".join(peer.requests)
    assert b"Never" not in sent and sent.count(b"Slow") == 2


async def test_an_awaiting_command_leaves_the_loop_running():
    peer = echo_peer(slow=(b"Slow",), delay=0.8)
    ticks = 0

    async def ticker():
        nonlocal ticks
        while True:
            await asyncio.sleep(0.05)
            ticks += 1

    async with AsyncChannel("127.0.0.1", peer.port) as chan:
        t = asyncio.ensure_future(ticker())
        await chan.command("Slow")
        t.cancel()
    assert ticks >= 4  # a blocked loop would have ticked at most once
    peer.join()


async def test_no_server_is_a_transport_error_from_the_await():
    with pytest.raises(TransportError):
        async with AsyncChannel("127.0.0.1", 1, connect_timeout=2):
            pass


async def test_session_events_iterate_and_end_on_close(server):
    s = AsyncSession(*server)
    async with s:
        assert await s.command("Get", "Contrast=;", "S2")
        assert s.connected
        await s.disconnect()
        await s.open()

    async def collect():
        return [e.state async for e in s.events()]

    states = await asyncio.wait_for(collect(), 5)  # the close ended it
    assert states == [SessionState.CONNECTED, SessionState.CLOSED, SessionState.CONNECTED, SessionState.CLOSED]


async def test_a_waiting_event_iteration_ends_promptly_on_close(server):
    async with AsyncSession(*server) as s:
        it = s.events().__aiter__()
        assert (await it.__anext__()).state == SessionState.CONNECTED
        waiting = asyncio.ensure_future(it.__anext__())
        await asyncio.sleep(0.1)
        assert not waiting.done()
        await s.close()
        assert (await asyncio.wait_for(waiting, 2)).state == SessionState.CLOSED
        with pytest.raises(StopAsyncIteration):
            await asyncio.wait_for(it.__anext__(), 2)


async def test_alarms_iterate_and_a_waiting_iteration_ends_on_close(alarm_peer):
    got = []
    async with AsyncAlarmReceiver([alarm_peer], "py-aio") as rx:
        async for alarm in rx:
            got.append(alarm)
            if len(got) == 2:
                break
        assert all(a.type in (0, 1) and a.text1 for a in got)
        # Two coroutines waiting at once: each gets an alarm.
        both = await asyncio.gather(rx.next(timeout=5), rx.next(timeout=5))
        assert None not in both and both[0] is not both[1]

    rx = AsyncAlarmReceiver(["127.0.0.77"], "py-aio-quiet")  # a peer that never sends
    assert await rx.next(timeout=0.2) is None

    async def drain():
        return [a async for a in rx]

    waiting = asyncio.ensure_future(drain())
    await asyncio.sleep(0.1)
    threading.Timer(0.1, rx.close).start()  # from another thread, as a host's shutdown might
    assert await asyncio.wait_for(waiting, 3) == []
    assert await rx.next() is None
