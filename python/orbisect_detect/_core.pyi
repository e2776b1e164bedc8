"""The field detector's native core (private to orbisect_detect)."""

from collections.abc import Sequence
from typing import final

import numpy as np
import numpy.typing as npt

MAX_SCAN_LINES: int
MAX_SCAN_POINTS: int
MAX_GAPS: int

_Window = Sequence[int]
_LineTuple = tuple[float, float, float, float, float, float]

@final
class LineFinder:
    """The native line search of one detector (one thread at a time)."""

    def __init__(self, field_rgb: _Window, field_bgr: _Window, paint_rgb: Sequence[_Window],
                 paint_bgr: Sequence[_Window], grey: tuple[int, int], rows: int, columns: int,
                 search: tuple[int, float, float, float, int, int, float, int],
                 seed: int | None) -> None: ...
    def find(self, frame: npt.NDArray[np.uint8], bgr: bool, /
             ) -> tuple[tuple[_LineTuple, ...], int, float, float]: ...
