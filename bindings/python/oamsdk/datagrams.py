"""The library's non-blocking UDP socket."""

from __future__ import annotations

import ctypes
from typing import Any, Optional, Tuple

from ._closing import Closing
from ._native import lib
from .codec import _dec, _enc
from .errors import _transport_error


class DatagramSocket(Closing):
    """A non-blocking UDP socket of the library (CUDPSocket)."""

    def __init__(self, port: int = 0, address: str = "127.0.0.1"):
        self._h = lib.oam_udp_new()
        if not self._h:
            raise MemoryError("oamsdk: no memory for a socket")
        if lib.oam_udp_bind(self._h, port, _enc(address)) != 1:
            lib.oam_udp_delete(self._h)
            self._h = None
            raise _transport_error("binding %s:%d" % (address, port), 0)

    def send_to(self, data: bytes, host: str, port: int) -> int:
        """Sends one datagram; the number of bytes sent."""
        n: int = lib.oam_udp_send_to(self._handle(), data, len(data), _enc(host), port)
        if n < 0:
            raise _transport_error("sending to %s:%d" % (host, port), n)
        return n

    def receive(self, timeout: float = 0.0, size: int = 65536) -> Optional[Tuple[bytes, Tuple[str, int]]]:
        """One datagram and its sender, waiting up to timeout seconds; None
        when none came."""
        h = self._handle()
        if lib.oam_udp_wait(h, max(0, int(timeout * 1000))) != 1:
            return None
        buf, sender, port = ctypes.create_string_buffer(size), ctypes.create_string_buffer(16), ctypes.c_uint32()
        n = lib.oam_udp_recv_from(h, buf, size, sender, 16, ctypes.byref(port))
        if n < 0:
            return None
        return buf.raw[:n], (_dec(sender.value), port.value)

    def close(self) -> None:
        h, self._h = self._h, None
        if h:
            lib.oam_udp_delete(h)

    def _handle(self) -> Any:
        if not self._h:
            raise ValueError("oamsdk: the socket is closed")
        return self._h
