import socket

import pytest

import oamsdk


@pytest.mark.parametrize("data, digest", [
    (b"", "d41d8cd98f00b204e9800998ecf8427e"),
    (b"abc", "900150983cd24fb0d6963f7d28e17f72"),
    (b"\0" * 1000, "ede3d3b685b4e137ba4cb2521329a75e"),
])
def test_md5(data, digest):
    assert oamsdk.md5(data) == digest


@pytest.mark.parametrize("text, data", [
    ("aGVsbG8=", b"hello"),
    ("aGVs\nbG8", b"hello"),         # white space skipped, unfinished bits dropped
    ("Tm9y!dGg=", b"Nor"),           # stops at a byte outside the alphabet
    ("", b""),
])
def test_base64_decode(text, data):
    assert oamsdk.base64_decode(text) == data


def test_version_matches_the_package():
    assert oamsdk.library_version()[0] == 1


def test_log_hook_sees_traffic_and_its_errors_stay_in_python(channel, capsys, caplog):
    lines = []
    oamsdk.set_log_hook(oamsdk.SINK_D, lambda sink, msg: lines.append((sink, msg)))
    try:
        channel.get("S1", "Contrast")
        oamsdk.log(oamsdk.SINK_D, "from python")
    finally:
        oamsdk.set_log_hook(oamsdk.SINK_D, None)
    assert any(m.startswith("Send Command:") and "Contrast=;" in m for _, m in lines)
    assert (oamsdk.SINK_D, "from python") in lines

    def broken(sink, msg):
        raise ValueError("hook failure")

    oamsdk.set_log_hook(oamsdk.SINK_D, broken)
    try:
        assert channel.get("S1", "Sharpness") == 3  # the library goes on
    finally:
        oamsdk.set_log_hook(oamsdk.SINK_D, None)
    # To the package's logger, with the traceback, once per message.
    failed = [r for r in caplog.records if r.name == "oamsdk"]
    assert failed and all(isinstance(r.exc_info[1], ValueError) for r in failed)
    assert "hook failure" not in capsys.readouterr().err
    with pytest.raises(ValueError):
        oamsdk.log(9, "no such sink")


def test_datagram_socket_round_trip():
    peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    peer.bind(("127.0.0.1", 0))
    peer.settimeout(5)
    with oamsdk.DatagramSocket() as s:
        assert s.receive(timeout=0) is None
        assert s.send_to(b"ping", "127.0.0.1", peer.getsockname()[1]) == 4
        data, sender = peer.recvfrom(100)
        assert data == b"ping"
        peer.sendto(b"pong", sender)
        got = s.receive(timeout=5)
        assert got == (b"pong", ("127.0.0.1", peer.getsockname()[1]))
    peer.close()
