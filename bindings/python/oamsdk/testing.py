"""oamsdk.testing: a pytest plugin that gives a host's own tests a real
simulated server, oam-sim, on a free loopback port.

Installed with the package, pytest loads it by itself (the ``pytest11``
entry point); otherwise pass ``-p oamsdk.testing``. Fixtures:

``oam_sim``
    A fresh oam-sim for the test (:class:`OamSim`): its address, its log
    as lines, its controls (send alarms, list receivers, restart on the
    same port, any control line). The site is oam-sim's default one, or
    the one a test asks for with ``@pytest.mark.oam_sim(site=...)`` (a
    path to a JSON site description, or the description as a dict);
    ``args=[...]`` in the mark adds oam-sim options.
``oam_channel``, ``oam_session``
    A :class:`oamsdk.Channel` / :class:`oamsdk.Session` logged in to it
    as admin (the default site's user).
``oam_alarms``
    A :class:`oamsdk.AlarmReceiver` that the sim's alarm peer has
    registered: ``oam_sim.send_alarms(3)`` and take them from it.
``capoam``
    The library's log lines during the test, as ``caplog`` gives logging's.

oam-sim is the one named by ``OAM_SIM``, else the one installed beside
the library (``../bin/oam-sim`` or the same directory), else the first on
PATH; without one the tests that use these fixtures are skipped, saying so.
"""

from __future__ import annotations

import json
import os
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import pytest

if TYPE_CHECKING:  # the library is loaded only when a fixture is used
    from . import AlarmReceiver, Channel, Session

__all__ = ["CapturedLog", "OamSim", "find_oam_sim"]

Site = Union[str, "os.PathLike[str]", Dict[str, Any]]


def pytest_configure(config: Any) -> None:
    config.addinivalue_line("markers", "oam_sim(site=None, args=()): the site and options of the oam_sim fixture")


def _library_dir() -> Optional[str]:
    from . import _native
    name = os.environ.get(_native.LIBRARY_ENV) or str(getattr(_native.lib, "_name", ""))
    if os.path.isabs(name):
        return os.path.dirname(os.path.realpath(name))
    try:  # found by the dynamic loader: where it was mapped from
        with open("/proc/self/maps") as maps:
            for line in maps:
                path = line.split()[-1]
                if os.path.basename(path).startswith("liboamsdk."):
                    return os.path.dirname(path)
    except OSError:
        pass
    return None


def find_oam_sim() -> Optional[str]:
    """The oam-sim program to run, or None (see the module's text)."""
    exe = "oam-sim.exe" if sys.platform == "win32" else "oam-sim"
    named = os.environ.get("OAM_SIM")
    if named:
        return named if os.path.isfile(named) else None
    here = _library_dir()
    if here:
        for candidate in (os.path.join(here, "..", "bin", exe), os.path.join(here, exe)):
            if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
                return os.path.normpath(candidate)
    return shutil.which(exe)


def _free_alarm_address() -> str:
    # The alarm peer listens on UDP port 20000 of its address (receivers
    # always send there): a loopback address of its own whose 20000 is free.
    for _ in range(200):
        addr = "127.%d.%d.%d" % (random.randint(1, 254), random.randint(0, 255), random.randint(2, 254))
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            s.bind((addr, 20000))
            return addr
        except OSError:
            continue
        finally:
            s.close()
    raise RuntimeError("oamsdk.testing: no loopback address with a free UDP port 20000")


class OamSim:
    """A running oam-sim: started on a free port of 127.0.0.1, its alarm
    peer on a loopback address of its own; stopped with :meth:`stop` (the
    fixture does it). Control lines go to its stdin; its log (stderr) is
    kept as lines in :attr:`log`."""

    host = "127.0.0.1"

    def __init__(self, program: str, site: Optional[Site] = None, args: Sequence[str] = (),
                 workdir: Optional[str] = None) -> None:
        self.program = program
        self._own_dir = workdir is None
        self.workdir = workdir or tempfile.mkdtemp(prefix="oam-sim-")
        self.site_path: Optional[str] = None
        if isinstance(site, dict):
            self.site_path = os.path.join(self.workdir, "site.json")
            with open(self.site_path, "w", encoding="utf-8") as f:
                json.dump(site, f)
        elif site is not None:
            self.site_path = os.fspath(site)
        self.args = list(args)
        self.port = 0
        self.alarm_peer = _free_alarm_address()
        self.log: List[str] = []
        self._log_lock = threading.Condition()
        self._proc: Optional[subprocess.Popen[bytes]] = None
        self._reader: Optional[threading.Thread] = None
        self.start()

    # -- lifecycle

    def start(self, timeout: float = 10.0) -> None:
        """Starts it (again, on the same port once it has had one)."""
        port_file = os.path.join(self.workdir, "port")
        if os.path.exists(port_file):
            os.unlink(port_file)
        cmd = [self.program, "--bind", self.host, "--port", str(self.port), "--port-file", port_file,
               "--alarm-bind", self.alarm_peer, "--storage", os.path.join(self.workdir, "storage"), "--stdin"]
        if self.site_path:
            cmd += ["--config", self.site_path]
        self._proc = subprocess.Popen(cmd + self.args, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE)
        self._reader = threading.Thread(target=self._read_log, args=(self._proc,), name="oam-sim-log", daemon=True)
        self._reader.start()
        deadline = time.monotonic() + timeout
        while not os.path.exists(port_file):
            if self._proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("oam-sim did not start:\n" + "\n".join(self.log))
            time.sleep(0.01)
        with open(port_file) as f:
            self.port = int(f.read())

    def stop(self, timeout: float = 5.0) -> Optional[int]:
        """Stops it (a quit line, then a kill after timeout seconds); its
        exit code, None when it was not running."""
        proc, self._proc = self._proc, None
        if proc is None:
            return None
        try:
            if proc.poll() is None and proc.stdin is not None:
                proc.stdin.write(b"quit\n")
                proc.stdin.close()
            code = proc.wait(timeout)
        except (OSError, subprocess.TimeoutExpired):
            proc.kill()
            code = proc.wait()
        if self._reader is not None:
            self._reader.join(timeout)
        return code

    def restart(self) -> None:
        """Stops it and starts it again on the same port and alarm address
        (connections are cut; the alarm peer forgets its receivers)."""
        self.stop()
        self.start()

    def close(self) -> None:
        self.stop()
        if self._own_dir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    @property
    def running(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    @property
    def address(self) -> Tuple[str, int]:
        """(host, port) of its command listener."""
        return self.host, self.port

    # -- controls (oam-sim's --stdin lines)

    def control(self, line: str) -> None:
        """Sends one control line (see ``oam-sim --help``)."""
        if self._proc is None or self._proc.stdin is None:
            raise RuntimeError("oam-sim is not running")
        self._proc.stdin.write(line.encode() + b"\n")
        self._proc.stdin.flush()

    def send_alarms(self, count: int = 1, type: Optional[Union[int, str]] = None) -> None:
        """Sends count alarms (type 0, 1 or "mixed"; default: its own) to
        the registered receivers."""
        self.control("alarm" + ("" if type is None else " %s" % type) + " x%d" % count)

    def receivers(self, timeout: float = 5.0) -> str:
        """The alarm peer's description of its receivers (a log line)."""
        mark = len(self.log)
        self.control("receivers")
        return self.wait_for_log(r"receiver|alarm peer", timeout, since=mark)

    # -- its log

    def wait_for_log(self, pattern: str, timeout: float = 5.0, since: int = 0) -> str:
        """The first log line from index since on that matches pattern (a
        regular expression), waiting up to timeout seconds for it;
        AssertionError with the log when none came."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._log_lock:
            while True:
                for line in self.log[since:]:
                    if rx.search(line):
                        return line
                since = len(self.log)
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no oam-sim log line matches %r; its log:\n%s"
                                         % (pattern, "\n".join(self.log)))
                self._log_lock.wait(left)

    def _read_log(self, proc: "subprocess.Popen[bytes]") -> None:
        assert proc.stderr is not None
        for raw in proc.stderr:
            with self._log_lock:
                self.log.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self._log_lock.notify_all()


class CapturedLog:
    """The library's log lines (both sinks) since the fixture began:
    :attr:`records` as (sink, message) pairs."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._records: List[Tuple[int, str]] = []

    def _hook(self, sink: int, message: str) -> None:  # on the library's threads
        with self._lock:
            self._records.append((sink, message))

    @property
    def records(self) -> List[Tuple[int, str]]:
        with self._lock:
            return list(self._records)

    @property
    def messages(self) -> List[str]:
        return [m for _, m in self.records]

    @property
    def text(self) -> str:
        return "\n".join(self.messages)

    def clear(self) -> None:
        with self._lock:
            self._records.clear()


# ---------------------------------------------------------------- fixtures

@pytest.fixture
def oam_sim(request: Any, tmp_path: Any) -> Iterator[OamSim]:
    """A fresh oam-sim for this test (see :class:`OamSim`)."""
    program = find_oam_sim()
    if program is None:
        pytest.skip("oamsdk.testing: no oam-sim found (set OAM_SIM to its path, or install it beside liboamsdk)")
    mark = request.node.get_closest_marker("oam_sim")
    options: Dict[str, Any] = dict(mark.kwargs) if mark is not None else {}
    sim = OamSim(program, site=options.get("site"), args=options.get("args", ()), workdir=str(tmp_path))
    try:
        yield sim
    finally:
        sim.close()


@pytest.fixture
def oam_channel(oam_sim: OamSim) -> Iterator["Channel"]:
    """A Channel to oam_sim, logged in as admin."""
    from . import Channel
    with Channel(*oam_sim.address) as chan:
        chan.login("admin", "admin")
        yield chan


@pytest.fixture
def oam_session(oam_sim: OamSim) -> Iterator["Session"]:
    """A Session to oam_sim, open and logged in as admin."""
    from . import Session
    with Session(*oam_sim.address, user="admin", password="admin") as s:
        yield s


@pytest.fixture
def oam_alarms(oam_sim: OamSim) -> Iterator["AlarmReceiver"]:
    """An AlarmReceiver registered with oam_sim's alarm peer."""
    from . import AlarmReceiver
    mark = len(oam_sim.log)
    with AlarmReceiver([oam_sim.alarm_peer], "oamsdk-testing") as rx:
        oam_sim.wait_for_log(r"registered receiver", 10, since=mark)
        yield rx


@pytest.fixture
def capoam() -> Iterator[CapturedLog]:
    """The library's log lines during the test."""
    from . import SINK_D, SINK_R, set_log_hook
    captured = CapturedLog()
    for sink in (SINK_R, SINK_D):
        set_log_hook(sink, captured._hook)
    try:
        yield captured
    finally:
        for sink in (SINK_R, SINK_D):
            set_log_hook(sink, None)
