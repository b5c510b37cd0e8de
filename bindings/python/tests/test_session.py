import gc
import re
import socket
import threading
import time

import pytest

import oamsdk
from oamsdk import CommandError, LinkDownError, Session, SessionCause, SessionState, TransportError

from conftest import Peer, reply


def test_session_commands_and_close(server):
    events = []
    with Session(*server, on_state=events.append) as s:
        assert s.connected and s.state == SessionState.CONNECTED
        assert [(e.state, e.cause) for e in events] == [(SessionState.CONNECTED, SessionCause.NONE)]
        assert [st.id for st in s.stations()] == ["S1", "S2", "S3"]
        assert len(s.devices("S1")) == 3
        s.set("S2", "IrLevel", 3)
        assert s.get("S2", "IrLevel") == 3
        with pytest.raises(CommandError) as e:
            s.set("S1", "Contrast", 500)
        assert e.value.code == 9 and "0..100" in e.value.reason
        with pytest.raises(oamsdk.BusyError) as e:
            s.open()
        assert e.value.code == -3  # already open
        s.disconnect()
        assert s.state == SessionState.CLOSED and not s.connected
        assert (events[-1].state, events[-1].cause) == (SessionState.CLOSED, SessionCause.HOST)
        with pytest.raises(LinkDownError) as e:
            s.get("S1", "Contrast")
        assert e.value.code == -2
        s.open()  # again after disconnect
        assert s.get("S2", "IrLevel") == 3
    assert s.closed and events[-1].state == SessionState.CLOSED
    with pytest.raises(ValueError):
        s.get("S1", "Contrast")


def test_session_log_in(server):
    with pytest.raises(CommandError) as e:
        Session(*server, password="wrong")
    assert e.value.code == 8
    with Session(*server, user=None) as s:  # no log-in: opens, the server then wants one
        with pytest.raises(CommandError) as e:
            s.stations()
        assert e.value.code == 4


def test_session_open_without_a_server_is_a_transport_error():
    port = _free_port()
    s = Session("127.0.0.1", port, open=False, backoff=(0.01, 0.02, 0, 1))
    with pytest.raises(TransportError) as e:
        s.open()
    assert e.value.error == 10061
    assert s.state == SessionState.CLOSED
    s.close()


def _free_port():
    p = socket.socket()
    p.bind(("127.0.0.1", 0))
    port = p.getsockname()[1]
    p.close()
    return port


def _login_peer(connections):
    """A peer that answers log-ins on up to `connections` connections and
    drops each but the last after its log-in; it stops by itself once the
    last connection closes or after ten seconds."""
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(4)
    srv.settimeout(10)

    def serve():
        try:
            for n in range(connections):
                conn, _ = srv.accept()
                conn.settimeout(10)
                with conn:
                    data = conn.recv(4096)
                    sid = re.match(rb"SESSIONID=(\d+);", data).group(1)
                    conn.sendall(b"SESSIONID=" + sid + b";RETURNCODE=0;")
                    if n == connections - 1:
                        while conn.recv(4096):
                            pass
        except OSError:
            pass
        finally:
            srv.close()

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    return srv.getsockname()[1], t


def test_background_reconnect_calls_back_from_the_library_thread(capfd, caplog):
    # The peer drops the first connection: the session's own thread finds
    # it, reconnects and logs in again, calling back into Python (holding
    # the GIL) each time; the callback's exception stays in Python.
    port, peer = _login_peer(2)
    events, restored = [], threading.Event()

    def on_state(e):
        events.append((e.state, threading.get_ident()))
        if e.state == SessionState.RECONNECTING:
            raise RuntimeError("from the state callback")
        if e.state == SessionState.RESTORED:
            restored.set()

    with Session("127.0.0.1", port, on_state=on_state, background=True, backoff=(0.05, 0.2, 0, 0)) as s:
        assert restored.wait(15), events
        assert s.connected and s.state == SessionState.RESTORED
    peer.join(10)
    states = [st for st, _ in events]
    assert states[:4] == [SessionState.CONNECTED, SessionState.LOST, SessionState.RECONNECTING,
                          SessionState.RESTORED]
    assert states[-1] == SessionState.CLOSED
    me = threading.get_ident()
    assert events[0][1] == me and events[-1][1] == me
    assert all(t != me for _, t in events[1:4])
    # Sent to the package's logger, with its traceback, not to stderr.
    failed = [r for r in caplog.records if r.name == "oamsdk" and r.exc_info]
    assert len(failed) == 1 and "from the state callback" in str(failed[0].exc_info[1])
    assert "from the state callback" not in capfd.readouterr().err


def test_session_dropped_inside_its_own_callback_is_freed_elsewhere():
    # The last reference goes away on the library's thread: freeing it there
    # would have the library wait for itself.
    port, peer = _login_peer(2)
    holder, done = {}, threading.Event()

    def on_state(e):
        if e.state == SessionState.RESTORED:
            holder.clear()  # the last reference
            gc.collect()
            done.set()

    holder["s"] = Session("127.0.0.1", port, on_state=on_state, background=True, backoff=(0.05, 0.2, 0, 0))
    assert done.wait(15)
    peer.join(10)  # the session's connection closes once it is freed
    assert not peer.is_alive()


@pytest.mark.parametrize("code", [-1, -2, -3, -4])
def test_a_servers_code_through_a_session_is_a_refusal(code):
    # The numbers of the session's own results, sent by the server: a
    # refusal with its reason, and the link stays up.
    peer = Peer(lambda req, n: reply(req, 0 if n == 0 else code, b"" if n == 0 else b"Reason=no;"))
    with Session("127.0.0.1", peer.port, command_timeout=5) as s:
        for _ in range(2):
            with pytest.raises(CommandError) as e:
                s.get("S1", "X")
            assert e.value.code == code and e.value.reason == "no"
        assert s.connected
    peer.join()


def test_a_log_in_refused_with_the_busy_number_is_a_refusal():
    peer = Peer(lambda req, n: reply(req, -3, b"Reason=locked;"))
    with pytest.raises(CommandError) as e:
        Session("127.0.0.1", peer.port, command_timeout=5)
    assert e.value.code == -3
    peer.join()


def test_session_closed_from_its_callback_inside_a_command_on_the_hosts_thread():
    # The peer drops the connection at the first command; the next command
    # reconnects on this thread and reports RECONNECTING from inside it,
    # where the callback closes the session. That command fails, the
    # session is freed only once it has returned, and nothing runs on freed
    # memory meanwhile (the sleep gives a premature free time to happen).
    peer = Peer(lambda req, n: reply(req) if n == 0 else None)
    events = []
    s = None

    def on_state(e):
        events.append(e.state)
        if e.state == SessionState.RECONNECTING:
            s.close()
            time.sleep(0.3)

    s = Session("127.0.0.1", peer.port, on_state=on_state, backoff=(0.01, 0.02, 0, 0), command_timeout=5)
    with pytest.raises(TransportError):
        s.get("S1", "X")  # finds the link gone
    assert peer.join()
    time.sleep(0.05)  # past the back-off
    with pytest.raises(LinkDownError):
        s.get("S1", "X")
    assert s.closed
    assert events == [SessionState.CONNECTED, SessionState.LOST, SessionState.RECONNECTING, SessionState.CLOSED]
    with pytest.raises(ValueError):
        s.get("S1", "X")



def test_another_commands_late_reply_never_answers_a_session_command():
    # The first Get times out; its reply comes late, while the second
    # waits, and the second's own after it. The second must not take the
    # first one's value: it fails as desynchronised (its own reply then
    # is thrown away with the link).
    def answer(req, n):
        if n == 1:
            time.sleep(1.0)
            return reply(req, 0, b"X=111;")
        return reply(req, 0, b"X=222;" if n else b"")

    peer = Peer(answer, connections=2)
    with Session("127.0.0.1", peer.port, command_timeout=0.5, backoff=(60, 60, 0, 0)) as s:
        with pytest.raises(TransportError) as e:
            s.get("S1", "X")
        assert type(e.value) is TransportError
        with pytest.raises(oamsdk.DesynchronisedError) as e:
            s.get("S1", "X")
        assert e.value.code == -4
    peer.join()
