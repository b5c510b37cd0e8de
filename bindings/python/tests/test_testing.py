"""oamsdk.testing, the plugin for hosts' own tests: its fixtures against
the oam-sim it starts (beside the library in the build tree, or OAM_SIM)."""
import socket

import pytest

import oamsdk
from oamsdk.testing import OamSim, find_oam_sim


def test_a_fresh_sim_with_logged_in_channel_and_session(oam_sim, oam_channel, oam_session):
    assert oam_sim.running and oam_sim.address == ("127.0.0.1", oam_sim.port) and oam_sim.port
    assert [s.id for s in oam_channel.stations()] == ["S1", "S2", "S3"]
    assert oam_session.get("S1", "Contrast") == 50
    oam_sim.wait_for_log(r"Login|login|admin")


@pytest.mark.oam_sim(site={"users": [{"user": "admin", "password": "admin"}],
                           "stations": [{"id": "Q1", "name": "Quay", "value": 1, "devices": []}]})
def test_the_site_a_test_passes(oam_channel):
    assert [(s.id, s.name) for s in oam_channel.stations()] == [("Q1", "Quay")]


def test_alarms_on_demand(oam_sim, oam_alarms):
    assert "OamId=oamsdk-testing" in oam_sim.receivers()
    oam_sim.send_alarms(3, type=1)
    got = [oam_alarms.get(timeout=5) for _ in range(3)]
    assert all(a is not None and a.type == 1 for a in got)


def test_restart_on_the_same_port_cuts_the_channel(oam_sim, oam_channel):
    port = oam_sim.port
    oam_sim.restart()
    assert oam_sim.port == port and oam_sim.running
    with pytest.raises(oamsdk.TransportError):
        oam_channel.stations()
    oam_channel.reconnect()
    oam_channel.login("admin", "admin")
    assert oam_channel.stations()


def test_capoam_takes_the_librarys_log_lines(capoam):
    oamsdk.log(oamsdk.SINK_R, "from the test")
    assert (oamsdk.SINK_R, "from the test") in capoam.records and "from the test" in capoam.text
    capoam.clear()
    assert capoam.records == []


def test_a_bad_site_fails_with_the_sims_log(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text("{ not json")
    program = find_oam_sim()
    if program is None:
        pytest.skip("no oam-sim")
    with pytest.raises(RuntimeError, match="did not start"):
        OamSim(program, site=str(bad), workdir=str(tmp_path))


def test_an_oam_sim_named_but_missing_is_not_taken(monkeypatch, tmp_path):
    monkeypatch.setenv("OAM_SIM", str(tmp_path / "none"))
    assert find_oam_sim() is None
