"""The exception tree: which class a failure raises follows where its
result came from (the library's oam_last_result_origin), not its number
alone."""

from __future__ import annotations

import logging
from typing import Optional

from . import _native
from ._native import lib
from .codec import _text_result


#: Where exceptions raised by session callbacks and log hooks go: they run
#: inside the library, with no Python caller to hand them to.
logger = logging.getLogger("oamsdk")


class OamError(Exception):
    """A failed operation.

    code: the library's result (the server's RETURNCODE for a refusal, -1
    when no usable reply came, or the operation's own failure code);
    reason: the server's ``Reason`` or a description; error: the system
    error code (Windows Sockets numbering) where one applies, else 0.
    """

    def __init__(self, message: str, code: int, reason: str = "", error: int = 0, reply: str = ""):
        super().__init__(message)
        self.code = code
        self.reason = reason
        self.error = error
        self.reply = reply


class CommandError(OamError):
    """The server refused a command (code is its RETURNCODE, whatever the
    number, also -1, -2 or -3; reason its ``Reason`` pair)."""


class TransportError(OamError):
    """No connection, or no usable reply (code -1 or 0; error the system
    error code): the library's own failure, not the server's answer."""


class FileTransferError(OamError):
    """An upload or download failed with the given code (1, -1, the
    server's 7, or one of the download's codes 101-109)."""


class TransferCancelled(FileTransferError):
    """The progress callback cancelled the transfer (code 110). Cancelled
    while the archive travelled, the connection is closed as well."""


class LinkDownError(TransportError):
    """A session's link is down (reconnecting or given up): nothing was
    sent (code -2)."""


class BusyError(TransportError):
    """A session call that cannot run now (code -3): open() while the
    session is open, or a command of the session from inside one of its own
    calls on the same thread (a progress callback)."""


class DesynchronisedError(TransportError):
    """The reply that came to a session's command was another command's
    (code -4): nothing of it is given, and the session rebuilds the link."""


_DOWNLOAD_REASONS = {
    1: "no usable reply", 7: "no such file on the server",
    101: "announced archive too large", 102: "archive length differs from the announced one",
    103: "archive digest differs", 104: "not an archive", 105: "archive entry too large",
    106: "archive entry does not extract", 107: "local file cannot be created",
    108: "local file cannot be written", 109: "local file cannot be moved into place",
}


def _reason(rest: str) -> str:
    for pair in rest.split(";"):
        name, eq, value = pair.partition("=")
        if eq and name.strip().lower() == "reason":
            return value.strip()
    return rest


def _transport_error(what: str, code: int) -> TransportError:
    err = lib.oam_last_error()
    text = _text_result(lib.oam_last_error_text) if err else "no reply"
    return TransportError("%s failed: %s" % (what, text), code, text, err)


_SESSION_RESULTS = {
    _native.LINK_DOWN: (LinkDownError, "the session's link is down", "link down"),
    _native.BUSY: (BusyError, "the session is busy: a call of its own is under way on this thread", "busy"),
    _native.DESYNCHRONISED: (DesynchronisedError, "the reply was another command's", "desynchronised"),
}


def _library_failure(what: str, code: int, origin: int, session: bool) -> Optional[OamError]:
    """The exception for a result the library produced itself, or None when
    it is the server's code. Before a library that reports the origin (it
    reads NONE), the numbers decide as they always did."""
    if origin == _native.RESULT_SERVER:
        return None
    if session and code in _SESSION_RESULTS:
        cls, text, reason = _SESSION_RESULTS[code]
        return cls("%s: %s" % (what, text), code, reason)
    if code == -1 or origin == _native.RESULT_LIBRARY:
        return _transport_error(what, code)
    return None
