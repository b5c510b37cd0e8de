"""Fixtures for a running oam-sim, as tests/sim's sim_run starts it
(OAM_SIM_HOST, OAM_SIM_PORT, OAM_SIM_ALARM_PEER, OAMSDK_MODULE_DIR)."""
import os
import re
import socket
import threading

import pytest

import oamsdk

# The package's own plugin (installed, its entry point loads it).
pytest_plugins = ["oamsdk.testing"]


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


class Peer:
    """A fake management server on loopback: every request read is answered
    with answer(request, n) (n counts the requests of all connections; None
    closes the connection). It takes up to `connections` connections one
    after the other, records every request in `requests`, and stops by
    itself once the last connection ends or after `timeout` seconds."""

    def __init__(self, answer, connections=1, timeout=10):
        self.requests = []
        self._answer = answer
        self._srv = socket.socket()
        self._srv.bind(("127.0.0.1", 0))
        self._srv.listen(4)
        self._srv.settimeout(timeout)
        self._timeout = timeout
        self.port = self._srv.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, args=(connections,), daemon=True)
        self._thread.start()

    def _serve(self, connections):
        try:
            for _ in range(connections):
                conn, _ = self._srv.accept()
                conn.settimeout(self._timeout)
                with conn:
                    while True:
                        data = conn.recv(65536)
                        if not data:
                            break
                        self.requests.append(data)
                        out = self._answer(data, len(self.requests) - 1)
                        if out is None:
                            break
                        conn.sendall(out)
        except OSError:
            pass
        finally:
            self._srv.close()

    def join(self, timeout=10):
        self._thread.join(timeout)
        return not self._thread.is_alive()


def reply(request, code=0, rest=b""):
    """The reply to request with RETURNCODE code and rest after it."""
    sid = re.match(rb"SESSIONID=(-?\d+);", request).group(1)
    return b"SESSIONID=" + sid + b";RETURNCODE=%d;" % code + rest
