import base64
import gc
import os
import re
import socket
import struct
import threading
import time

import pytest

import oamsdk
from oamsdk import Channel, CommandError, FileTransferError, TransportError

from conftest import Peer, reply


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


@pytest.fixture(params=["channel", "session"])
def commands(request, server):
    """A logged-in Channel, and a Session, for what both offer."""
    if request.param == "channel":
        with Channel(*server) as chan:
            chan.login("admin", "admin")
            yield chan
    else:
        with oamsdk.Session(*server) as session:
            yield session


@pytest.mark.parametrize("setting, args", [
    ("set_command_timeout", (0,)), ("set_command_timeout", (86400.001,)), ("set_connect_timeout", (-1,)),
    ("set_keep_alive", (0, 5, 3)), ("set_keep_alive", (30, 5, 128)), ("set_keep_alive", (30, 32768, 3)),
    ("set_upload_level", (0,)), ("set_upload_level", (13,)),
])
def test_settings_out_of_range_are_refused(commands, setting, args):
    with pytest.raises(ValueError):
        getattr(commands, setting)(*args)


def test_settings_apply_to_the_held_connection(commands):
    commands.set_command_timeout(5)
    commands.set_connect_timeout(2.5)
    commands.set_keep_alive(30, 5, 3)
    assert commands.get("S1", "Sharpness") == 3
    commands.disable_keep_alive()
    commands.set_strict(True)
    assert commands.get("S1", "Sharpness") == 3


def test_upload_at_a_chosen_level_reads_back(server, commands):
    data = bytes(range(256)) * 400
    path = _write_module_file("py-level.bin", data)
    commands.set_upload_level(1)
    commands.upload("S2", "py-level.bin")
    os.remove(path)
    commands.download("S2", "py-level.bin")
    with open(path, "rb") as f:
        assert f.read() == data
    with pytest.raises(ValueError):
        type(commands)(*server, upload_level=13)


def test_strict_mode_and_reply_sessions(server, channel):
    with Channel(*server) as fresh:
        assert not fresh.last_reply_matched  # before any exchange
    assert not channel.strict and channel.last_reply_matched  # the log-in's
    channel.strict = True
    assert channel.strict
    channel.get("S1", "Sharpness")
    assert channel.last_reply_matched and not channel.last_reply_mismatched
    channel.strict = False
    assert not channel.strict


def test_strict_mode_waits_past_a_reply_of_another_command_on_a_connection_out_of_step():
    # A peer that answers every request twice: first as another SESSIONID
    # would (stale), then as its own.
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)

    def serve():
        conn, _ = srv.accept()
        conn.settimeout(10)
        try:
            for _ in range(4):
                data = conn.recv(4096)
                if not data:
                    break
                sid = int(data.split(b";")[0].split(b"=")[1])
                conn.sendall(b"SESSIONID=%d;RETURNCODE=0;X=%d;" % (sid + 1000, 1))
                time.sleep(0.05)  # two reads, not one
                conn.sendall(b"SESSIONID=%d;RETURNCODE=0;X=%d;" % (sid, 2))
        finally:
            conn.close()
            srv.close()

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    with Channel("127.0.0.1", srv.getsockname()[1], command_timeout=5) as chan:
        assert chan.get("S1", "X") == 1  # the default takes the first reply
        assert chan.last_reply_mismatched and not chan.last_reply_matched
        chan.strict = True
        # The previous request's own reply is still on its way: one more
        # stale reply before the right one.
        assert chan.get("S1", "X") == 2
        assert chan.last_reply_matched
    t.join(10)


def _write_module_file(name: str, data: bytes) -> str:
    path = os.path.join(oamsdk.module_dir(), name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def test_progress_reports_each_phase_and_cancels(commands):
    from oamsdk import TransferCancelled, TransferPhase
    data = bytes(range(256)) * 1024
    path = _write_module_file("py-progress.bin", data)
    seen = []
    cancel_in = [None]

    def progress(done, total, phase):
        seen.append((phase, done, total))
        assert 0 <= done <= total
        return phase == cancel_in[0]

    commands.set_progress(progress)
    commands.upload("S2", "py-progress.bin")
    assert {p for p, _, _ in seen} == {TransferPhase.PACKING, TransferPhase.SENDING}
    assert seen[-1][0] == TransferPhase.SENDING and seen[-1][1] == seen[-1][2]
    del seen[:]
    os.remove(path)
    commands.download("S2", "py-progress.bin")
    assert {p for p, _, _ in seen} == {TransferPhase.RECEIVING, TransferPhase.UNPACKING}
    assert seen[-1] == (TransferPhase.UNPACKING, len(data), len(data))

    # Cancelled in a local phase: nothing left behind, the link stays up.
    cancel_in[0] = TransferPhase.UNPACKING
    os.remove(path)
    with pytest.raises(TransferCancelled) as e:
        commands.download("S2", "py-progress.bin")
    assert e.value.code == 110
    assert not os.path.exists(path)
    assert commands.get("S1", "Sharpness") == 3

    # An exception in the callback cancels too and comes out of the call.
    def failing(done, total, phase):
        raise KeyError("from the progress callback")

    commands.set_progress(failing)
    _write_module_file("py-progress.bin", data)
    with pytest.raises(KeyError, match="from the progress callback"):
        commands.upload("S2", "py-progress.bin")
    assert commands.get("S1", "Sharpness") == 3
    commands.set_progress(None)
    del seen[:]
    commands.upload("S2", "py-progress.bin")
    assert seen == []


# ---- whose result it was: the server's code or the library's own failure

@pytest.mark.parametrize("code", [-1, -2, -3, -4, 7])
def test_a_servers_code_is_always_a_refusal_on_a_channel(code):
    # A server may put any number in RETURNCODE, also those the library
    # uses for its own failures: from a plain channel they are refusals.
    peer = Peer(lambda req, n: reply(req, code, b"Reason=why %d;" % code))
    with Channel("127.0.0.1", peer.port, command_timeout=5) as chan:
        with pytest.raises(CommandError) as e:
            chan.command("Get", "X=;", "S1")
        assert e.value.code == code and e.value.reason == "why %d" % code
        with pytest.raises(CommandError) as e:
            chan.get("S1", "X")
        assert e.value.code == code
    peer.join()


def test_no_reply_is_a_transport_error_on_a_channel():
    peer = Peer(lambda req, n: None)  # closes at the first request
    with Channel("127.0.0.1", peer.port, command_timeout=5) as chan:
        with pytest.raises(TransportError) as e:
            chan.command("Get", "X=;", "S1")
        assert e.value.code == -1 and not isinstance(e.value, CommandError)
    peer.join()


# ---- text in the library's code page

@pytest.fixture
def code_page():
    """Restores the library's code page after the test."""
    before = oamsdk.code_page()
    yield oamsdk.set_code_page
    oamsdk.set_code_page(before)


def test_code_page_follows_the_library_and_refuses_what_it_cannot_scan(code_page):
    code_page(936)
    assert oamsdk.code_page() == 936 and oamsdk.ENCODING == "gbk"
    code_page(65001)
    assert oamsdk.ENCODING == "utf-8"
    for page in (1200, 1201, 12000, 65000, 54936, 50220, 20932, 51932, 52936):
        with pytest.raises(ValueError):
            code_page(page)
        assert oamsdk.code_page() == 65001  # nothing changed
    code_page(0)
    assert oamsdk.code_page() != 0  # the system's


@pytest.mark.skipif(os.name == "nt", reason="a POSIX file name's bytes")
def test_the_module_directory_is_a_path_whatever_the_code_page(code_page, monkeypatch):
    directory = os.path.join(oamsdk.module_dir(), "模块")
    monkeypatch.setenv("OAMSDK_MODULE_DIR", directory)
    code_page(936)
    assert oamsdk.module_dir() == directory


@pytest.mark.parametrize("page, ids, first", [
    # GBK text, and bytes no GBK decoder takes (0x80; a lead byte with a
    # bad trail).
    (936, ["北门".encode("gbk"), b"\x80X", b"\x81\x7fY", b"S\xa1\xa1"], "北门"),
    # Characters with two codes (NEC and IBM duplicates, cp950's): each
    # must go back as the bytes it came as, not as the other code.
    (932, [b"\xfa\x40", b"\x87\x90A", "駅".encode("cp932")], None),
    (950, ["十".encode("cp950"), b"\xa2\xcc"], "十"),
])
def test_station_ids_and_names_round_trip_in_the_code_page(code_page, page, ids, first):
    # Each station id goes back to the server as it came.
    names = [b"Name\x80" + i for i in ids]
    entries = b",".join(i + b"[" + base64.b64encode(n) + b"]1" for i, n in zip(ids, names))

    def answer(req, n):
        if b"CMD=Get;AllStation=;" in req:
            return reply(req, 0, b"AllStation=" + entries + b";")
        return reply(req, 0, b"StationTopo=;")

    code_page(page)
    peer = Peer(answer)
    with Channel("127.0.0.1", peer.port, command_timeout=5) as chan:
        stations = chan.stations()
        assert len(stations) == len(ids)
        if first:
            assert stations[0].id == first
        for st in stations:
            assert chan.devices(st) == []
            assert st.name.startswith("Name")
    peer.join()
    asked = [re.search(rb"STATIONID=(.*?);CMD=Get;StationTopo", r).group(1) for r in peer.requests[1:]]
    assert asked == ids
    assert [s.name.encode(oamsdk.ENCODING, "surrogateescape") for s in stations] == names


# ---- lifetimes

def _open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="counts /proc/self/fd")
def test_a_dropped_channel_frees_its_connection_at_once(server):
    gc.disable()  # no collection may hide a reference cycle
    try:
        before = _open_descriptors()
        for _ in range(20):
            Channel(*server, on_link_break=lambda c: None)
        assert _open_descriptors() == before
    finally:
        gc.enable()
