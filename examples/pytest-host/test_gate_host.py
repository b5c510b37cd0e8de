"""A host's own tests against a simulated server, with the fixtures of the
oamsdk.testing plugin (installed with the package; else pytest -p
oamsdk.testing). Run: pytest examples/pytest-host"""
import asyncio

import pytest

import oamsdk
from oamsdk.aio import AsyncChannel


def open_the_barrier(chan: oamsdk.Channel) -> int:
    """The host's code under test: raise the barrier camera's zoom, report it."""
    chan.control("S1", "Zoom", 4)
    return len(chan.devices("S1"))


def test_the_host_against_the_sim(oam_channel):
    assert open_the_barrier(oam_channel) == 3
    with pytest.raises(oamsdk.CommandError, match="0..100"):
        oam_channel.set("S1", "Contrast", 500)


def test_the_host_gets_alarms(oam_sim, oam_alarms):
    oam_sim.send_alarms(2)
    assert all(oam_alarms.get(timeout=5) is not None for _ in range(2))


def test_the_host_survives_a_server_restart(oam_sim):
    async def run() -> int:
        async with AsyncChannel(*oam_sim.address) as chan:
            await chan.login("admin", "admin")
            # The same port again: the host reconnects and logs in again.
            await asyncio.get_running_loop().run_in_executor(None, oam_sim.restart)
            with pytest.raises(oamsdk.TransportError):
                await chan.stations()
            await chan.reconnect()
            await chan.login("admin", "admin")
            return len(await chan.stations())
    assert asyncio.run(run()) == 3
