import os
import socket
import struct
import threading

import pytest

import oamsdk
from oamsdk import Channel, CommandError, FileTransferError, TransportError


@pytest.mark.parametrize("action, code, reason", [
    (lambda c: c.command("Frobnicate"), 3, "unknown command"),
    (lambda c: c.login("admin", "wrong"), 8, ""),
    (lambda c: c.get("S1", "NoSuch"), 6, ""),
    (lambda c: c.set("S1", "Contrast", 500), 9, "0..100"),
    (lambda c: c.control("S9", "Zoom", 2), 5, "S9"),
    (lambda c: c.devices("NOPE"), 5, "NOPE"),
])
def test_refusals_carry_code_and_reason(channel, action, code, reason):
    with pytest.raises(CommandError) as e:
        action(channel)
    assert e.value.code == code
    assert reason in e.value.reason
    assert e.value.reason  # the server always says why


def test_commands_need_a_login(server):
    with Channel(*server) as chan:
        with pytest.raises(CommandError) as e:
            chan.stations()
        assert e.value.code == 4


def test_stations_and_devices(channel):
    stations = channel.stations()
    assert [(s.id, s.name, s.value) for s in stations] == [("S1", "North Gate", 1), ("S2", "Yard", 1),
                                                           ("S3", "Warehouse Roof", 0)]
    devices = channel.devices(stations[0])
    assert stations[0].devices == devices
    assert [(d.id, d.name, [(p.id, p.name) for p in d.ptz]) for d in devices] == [
        (3, "Gate Camera", [(1, "Pan"), (2, "Dome 1")]), (4, "Barrier Camera", []),
        (5, "Fence East", [(7, "Tilt Head")])]
    assert len(channel.devices("S2")) == 2


def test_parameters(channel):
    channel.set("S2", "IrLevel", 4)
    assert channel.get("S2", "IrLevel") == 4
    channel.set("S2", "IrLevel", 2)
    assert channel.get("S2", "IrLevel") == 2
    channel.control("S1", "PanSpeed", -50)
    assert "Contrast" in channel.command("Get", "Contrast=;", "S2")


def test_names_that_would_change_the_request_are_refused(channel):
    for bad in ("A;B", "A=1", ""):
        if bad:
            with pytest.raises(ValueError):
                channel.get("S1", bad)
    with pytest.raises(ValueError):
        channel.set("S1;CMD=Set", "Contrast", 1)
    with pytest.raises(ValueError) as e:
        channel.login("admin", "secret;x")
    assert "secret" not in str(e.value)


def test_upload_and_download_in_the_module_directory(channel):
    directory = oamsdk.module_dir()
    path = os.path.join(directory, "py-upload.bin")
    data = bytes(range(256)) * 40
    with open(path, "wb") as f:
        f.write(data)
    channel.upload("S2", "py-upload.bin")
    os.remove(path)
    channel.download("S2", "py-upload.bin")
    with open(path, "rb") as f:
        assert f.read() == data
    with pytest.raises(FileTransferError) as e:
        channel.download("S2", "absent.bin")
    assert e.value.code == 7
    assert not os.path.exists(os.path.join(directory, "absent.bin"))
    with pytest.raises(FileTransferError) as e:
        channel.upload("S2", "absent.bin")
    assert e.value.code == 1


def test_connection_refused_is_a_transport_error():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()  # nobody listens there now
    with pytest.raises(TransportError) as e:
        Channel("127.0.0.1", port)
    assert e.value.code == 0
    assert e.value.error == 10061  # WSAECONNREFUSED


def test_closed_channel_refuses_calls(server):
    chan = Channel(*server)
    chan.close()
    chan.close()
    assert chan.closed
    with pytest.raises(ValueError):
        chan.command("Login")


def _resetting_server():
    """A listener that accepts one connection and resets it once told to
    (after the client's connect has returned)."""
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    go = threading.Event()

    def serve():
        conn, _ = srv.accept()
        go.wait(10)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()
        srv.close()

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    return srv.getsockname()[1], t, go


def test_link_break_callback_runs_once_and_its_exception_stays_in_python():
    port, t, go = _resetting_server()
    calls = []

    def on_break(chan):
        calls.append(chan)
        raise RuntimeError("from the callback")

    with Channel("127.0.0.1", port, on_link_break=on_break) as chan:
        go.set()
        t.join(5)
        # The first exchange finds the connection reset; a later send fails
        # with a link error and notifies: the callback's exception comes out
        # of that call, not a crash in the library.
        raised = []
        for _ in range(3):
            try:
                chan.command("Get", "X=;")
            except RuntimeError as e:
                raised.append(e)
            except TransportError:
                pass
        assert len(calls) == 1 and calls[0] is chan
        assert len(raised) == 1 and str(raised[0]) == "from the callback"


def test_commands_from_several_threads_share_one_channel(channel):
    errors, results = [], []

    def work(n):
        try:
            for _ in range(20):
                results.append(channel.get("S1", "Sharpness"))
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors
    assert results == [3] * 80
