"""oamsdk: Python access to OAM management servers and alarm peers.

A pure-Python layer over the C interface of liboamsdk (``oamsdk_c.h``),
loaded with ctypes: set ``OAMSDK_LIBRARY`` to the library's path when it is
not installed where the dynamic loader looks.

For asyncio hosts, :mod:`oamsdk.aio`:

    from oamsdk.aio import AsyncChannel

    async with AsyncChannel("127.0.0.1", 9000) as chan:
        await chan.login("admin", "admin")
        for station in await chan.stations():
            print(station.id, station.name, len(await chan.devices(station)))

and for scripts, the synchronous objects here:

    from oamsdk import Channel

    with Channel("127.0.0.1", 9000) as chan:
        chan.login("admin", "admin")
        for station in chan.stations():
            print(station.id, station.name, len(chan.devices(station)))

:mod:`oamsdk.testing` is a pytest plugin with a simulated server for a
host's own tests.

Failures raise :class:`OamError` subclasses that carry the library's
result code (the server's RETURNCODE for refusals, -1 when no usable reply
came) and the server's reason. Which class it is follows where the result
came from (the library's oam_last_result_origin), not its number alone: a
server may send -1, -2 or -3 as its RETURNCODE, and that is a refusal.

Protocol text is read and written in the library's code page
(:func:`set_code_page`, :func:`code_page`): bytes that do not decode come
out as lone surrogates (errors="surrogateescape") and go back to the server
as the bytes they came as.
"""

from __future__ import annotations

from . import _native
from .alarms import Alarm, AlarmReceiver
from .channel import Channel, Device, Ptz, Station, TransferPhase
from .codec import _codec, base64_decode, code_page, md5, set_code_page
from .datagrams import DatagramSocket
from .errors import (BusyError, CommandError, DesynchronisedError, FileTransferError, LinkDownError, OamError,
                     TransferCancelled, TransportError, logger)
from .library import last_error, library_release, library_soname, library_version, log, module_dir, set_log_hook
from .session import Session, SessionCause, SessionEvent, SessionState

__all__ = [
    "Alarm", "AlarmReceiver", "BusyError", "Channel", "CommandError", "DatagramSocket", "DesynchronisedError",
    "Device", "FileTransferError", "LinkDownError", "OamError", "Ptz", "Session", "SessionCause", "SessionEvent",
    "SessionState", "Station", "TransferCancelled", "TransferPhase", "TransportError", "SINK_D", "SINK_R",
    "base64_decode", "code_page", "last_error", "library_soname", "library_release", "library_version", "log",
    "md5", "module_dir", "set_code_page", "set_log_hook", "ENCODING",
]

SINK_R = _native.SINK_R
SINK_D = _native.SINK_D


def __getattr__(name: str) -> str:
    # ENCODING: read-only now, the codec of the code page in force (kept for
    # code that encoded texts itself; assigning it changes nothing).
    if name == "ENCODING":
        return _codec()
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
