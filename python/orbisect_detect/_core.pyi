"""The field detector's native core (private to orbisect_detect)."""

from collections.abc import Sequence
from typing import final

import numpy as np
import numpy.typing as npt

MAX_SCAN_LINES: int
MAX_SCAN_POINTS: int
MAX_GAPS: int
MAX_BORDERS: int
MAX_CHORDS: int
MAX_PROPOSALS: int
MAX_DENSE_LINES: int
MAX_BALLS: int

_Window = Sequence[int]
_LineTuple = tuple[float, float, float, float, float, float]
_BallTuple = tuple[float, float, float, float]
_NoteTuple = tuple[float, float, float, float, int]

@final
class Detector:
    """The native search of one detector (one thread at a time)."""

    def __init__(self, field_rgb: _Window, field_bgr: _Window, paint_rgb: Sequence[_Window],
                 paint_bgr: Sequence[_Window], grey: tuple[int, int], rows: int, columns: int,
                 search: tuple[int, float, float, float, int, int, float, int],
                 seed: int | None, ball_rgb: _Window, ball_bgr: _Window,
                 ball_search: tuple[float, float, int, float, float, int, int, float, float, float, bool, int],
                 shade_rgb: _Window | None = None, shade_bgr: _Window | None = None,
                 shaded_paint: tuple[Sequence[_Window], Sequence[_Window], int, int] | None = None) -> None: ...
    def detect(self, frame: npt.NDArray[np.uint8], bgr: bool, diagnostics: bool, /
               ) -> tuple[tuple[_BallTuple, ...], tuple[_LineTuple, ...], int,
                          tuple[float, float, float], tuple[_NoteTuple, ...] | None,
                          bytes | None]: ...

def fit_circle(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64], cx: float, cy: float,
               r: float, iterations: int, /) -> tuple[float, float, float]: ...
def fit_circle_algebraic(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64], /
                         ) -> tuple[float, float, float] | None: ...
def refine_circle_border(frame: npt.NDArray[np.uint8], cx: float, cy: float, r: float, bgr: bool,
                         rays: int, rounds: int, min_rays: int, window: _Window | None, /
                         ) -> tuple[float, float, float, int, float, float, float]: ...
def disc_saturation(frame: npt.NDArray[np.uint8], cx: float, cy: float, r: float, /) -> float: ...
def chord_candidates(runs: npt.NDArray[np.int32], width: int, height: int, min_r: float,
                     max_r: float, agree: float, count: int, /
                     ) -> tuple[tuple[float, float, float, int], ...]: ...
