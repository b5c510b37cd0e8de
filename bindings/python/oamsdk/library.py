"""The loaded library: its versions, module directory, last system error
and log sinks."""

from __future__ import annotations

from typing import Any, Callable, Dict, Optional, Tuple

from . import _native
from ._native import lib
from .codec import _dec, _enc, _path, _text_result
from .errors import logger


def library_version() -> Tuple[int, int, int]:
    """Version of the loaded library's C interface."""
    v = lib.oam_version()
    return (v >> 16, (v >> 8) & 0xFF, v & 0xFF)


def library_release() -> str:
    """Version of the library file actually loaded, e.g. "1.0.0"."""
    return _text_result(lib.oam_library_version, 64)


def library_soname() -> str:
    """File name the loaded library was built to be loaded as, e.g.
    "liboamsdk.so.1"."""
    return _text_result(lib.oam_library_soname, 256)


def module_dir() -> str:
    """The directory uploads are read from and downloads written to
    (OAMSDK_MODULE_DIR overrides it)."""
    return _text_result(lib.oam_module_dir, 1024, _path)


def last_error() -> int:
    """The calling thread's last system error code (Windows Sockets numbering)."""
    return int(lib.oam_last_error())


def log(sink: int, message: str) -> None:
    """Writes a message to a log sink (SINK_R or SINK_D)."""
    if lib.oam_log(sink, _enc(message)) != 0:
        raise ValueError("no such sink: %r" % (sink,))


_hooks: Dict[int, Any] = {}


def set_log_hook(sink: int, hook: Optional[Callable[[int, str], None]]) -> None:
    """Calls hook(sink, message) for every message of a sink (None
    removes it). An exception the hook raises goes to the "oamsdk" logger
    (logger.exception): it never reaches the library."""
    def call(s: int, message: bytes, user: Any) -> None:
        try:
            if hook is not None:
                hook(s, _dec(message))
        except BaseException:
            logger.exception("oamsdk: the log hook of sink %d raised", s)

    fn = _native.LOG_FN(call) if hook is not None else _native.LOG_FN()
    if lib.oam_log_set_hook(sink, fn, None) != 0:
        raise ValueError("no such sink: %r" % (sink,))
    _hooks[sink] = fn  # only now is the previous hook no longer called
