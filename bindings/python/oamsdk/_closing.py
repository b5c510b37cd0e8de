"""What every object that owns a library handle does at the end of a
``with`` block and when it is dropped: close, never raise from ``__del__``."""
from __future__ import annotations

from typing import TypeVar

_C = TypeVar("_C", bound="Closing")


class Closing:
    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self: _C) -> _C:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass
