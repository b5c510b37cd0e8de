import socket
import threading
import time

import pytest

import oamsdk
from oamsdk import AlarmReceiver, TransportError


def test_alarms_arrive_as_dataclasses_and_iteration_ends_on_close(alarm_peer):
    got = []
    with AlarmReceiver([alarm_peer], "py-test") as rx:
        for alarm in rx:
            got.append(alarm)
            if len(got) == 3:
                rx.close()  # from the iterating thread: the loop ends cleanly
    assert rx.closed
    assert len(got) >= 3  # and those already received before the close
    for a in got:
        assert isinstance(a, oamsdk.Alarm)
        assert a.type in (0, 1) and a.text1
        assert isinstance(a.obj_dir, float)


def test_close_from_another_thread_stops_a_waiting_iteration(alarm_peer):
    rx = AlarmReceiver([alarm_peer], "py-test-2")
    assert rx.get(timeout=10) is not None
    stopper = threading.Timer(0.3, rx.close)
    stopper.start()
    deadline = time.monotonic() + 20
    for _ in rx:  # takes what comes until the close, then ends
        assert time.monotonic() < deadline
    stopper.join()
    assert rx.get(timeout=0.1) is None
    rx.close()


def test_a_port_in_use_is_a_transport_error():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", 0))
    try:
        with pytest.raises(TransportError):
            AlarmReceiver(["127.0.0.1"], "x", port=s.getsockname()[1])
    finally:
        s.close()


def test_an_open_receiver_does_not_hold_up_or_crash_the_exit(alarm_peer):
    import subprocess
    import sys
    code = ("import oamsdk\n"
            "rx = oamsdk.AlarmReceiver([%r], 'py-exit')\n"
            "assert rx.get(timeout=10) is not None\n"
            "print('got one')\n" % alarm_peer)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "got one\n"
    assert r.stderr == ""
