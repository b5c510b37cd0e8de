"""Fixtures for a running oam-sim, as tests/sim's sim_run starts it
(OAM_SIM_HOST, OAM_SIM_PORT, OAM_SIM_ALARM_PEER, OAMSDK_MODULE_DIR)."""
import os

import pytest

import oamsdk


@pytest.fixture(scope="session")
def server():
    port = os.environ.get("OAM_SIM_PORT")
    if not port:
        pytest.skip("needs a running oam-sim (run through sim_run)")
    return os.environ.get("OAM_SIM_HOST", "127.0.0.1"), int(port)


@pytest.fixture
def channel(server):
    with oamsdk.Channel(*server) as chan:
        chan.login("admin", "admin")
        yield chan


@pytest.fixture(scope="session")
def alarm_peer():
    peer = os.environ.get("OAM_SIM_ALARM_PEER")
    if not peer:
        pytest.skip("needs oam-sim's alarm peer (sim_run --alarm-bind)")
    return peer
