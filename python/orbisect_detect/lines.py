"""Painted lines: centre lines of the paint between runs of the field colour.

White has no hue, so no single window selects it; the field colour frames it
instead.  Along each scanned row and column, the gap between two runs of the
field colour is a crossing of something lying on the field.  When the
middle of the gap has the paint's colour, the gap's middle is a point of a
stripe's centre line and its length, times the sine of the angle between the
stripe and the scan line, is the stripe's width.  Both of a stripe's borders
thus become one point, and a line is fitted to those points.

The search itself runs in the package's native core (one call per frame,
made by :class:`~orbisect_detect.FieldDetector`): the points are doubled (a
gap's middle is a whole or half pixel) and peeled off with the line fit in
a frame turned by atan(3/4), since the fit refuses lines parallel to its x
axis.  Each found line is refined by total least squares on its points, cut
to its longest stretch of points, given its width (the median of its
points'), scored by the share of crossing scan lines that found it, and
followed along its paint to its ends; the search stops after three
candidates that are not supported, and pieces of one stripe are joined.
This module holds the records and the paint's colour test.

Bounded work.  Whatever the frame shows, the search fits at most
:data:`MAX_GAPS` (2047) gap points, a prefix of the mixed points (a sample
spread over the frame), makes at most ``max_lines + 3`` RANSAC fits
(``max_lines`` is at most 64), follows each found line's paint at most the
widest stretch between scanned lines, and reads at most two rounds of 16
profiles across each line.  Ordinary scenes stay far below the cap (at most
237 gap points over 580 generated frames), so it changes nothing there.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import Any
from functools import lru_cache

import numpy as np
import numpy.typing as npt

import orbisect

from . import _core
from ._checks import integer, real
from .windows import ChannelOrder, Window

__all__ = ["MAX_GAPS", "Line", "LineSearch", "PaintTest", "paint_mask", "paint_test"]


#: Most gap points the line search of one frame fits (odd, so that the
#: sampler's congruential sequence keeps mixing); the native core's cap.
MAX_GAPS: int = _core.MAX_GAPS


@dataclass(frozen=True)
class Line:
    """A painted stripe.

    Attributes
    ----------
    x0, y0, x1, y1 : float
        End points on the stripe's centre line, where the stripe is seen in
        the frame.
    width : float
        The stripe's width in pixels.
    support : float
        Share of the scan lines crossing the segment that found the stripe
        there, from 0 to 1.

    Examples
    --------
    >>> Line(0.0, 10.0, 100.0, 10.0, 6.0, 0.95).length
    100.0
    """

    x0: float
    y0: float
    x1: float
    y1: float
    width: float
    support: float

    @property
    def length(self) -> float:
        """Length of the segment in pixels."""
        return math.hypot(self.x1 - self.x0, self.y1 - self.y0)

    def to_dict(self) -> dict[str, float]:
        """The line as plain JSON types.

        Examples
        --------
        >>> Line(0.0, 10.0, 100.0, 10.0, 6.0, 0.95).to_dict()["width"]
        6.0
        """
        return {"x0": self.x0, "y0": self.y0, "x1": self.x1, "y1": self.y1,
                "width": self.width, "support": self.support}


@dataclass(frozen=True)
class LineSearch:
    """Parameters of the line search.

    Sizes given as None follow the frame: :meth:`for_frame` works them out
    from its height.

    Attributes
    ----------
    iterations : int
        RANSAC candidates drawn per fit.
    tolerance : float
        Distance from a centre line, in pixels, within which a gap's middle
        counts as on it.
    min_width, max_width : float or None
        Gap lengths considered along a scan line, in pixels; None:
        ``min_width_share`` and ``max_width_share`` of the frame's height
        (2 and 60 px at 480 rows).
    min_run : int or None
        Field runs shorter than this are dropped and gaps shorter than this
        joined first: a scan line running along a stripe's border flickers
        in and out of the field's colour.  None: a 240th of the frame's
        height, at least 2 px (so that a stripe 2 px wide, as a 320 x 240
        stream shows them, is not joined away).
    min_points : int
        Least number of points of a line.
    min_support : float
        Least support of a line that is reported.
    max_lines : int
        Most lines reported.
    min_width_share, max_width_share : float
        Gap lengths as shares of the frame's height where ``min_width`` and
        ``max_width`` are None.
    shade : bool
        Count the field in deep shadow as field too: the pixels of the field
        window's hue that are dark (intensity up to 0.3) and only faintly
        coloured (chroma from 0.04), :func:`~orbisect_detect.windows.shade_window`.
        A stripe that crosses a shadow keeps its field runs on both sides,
        and its paint, darker there, is taken as paint
        (:func:`~orbisect_detect.windows.shaded_paint_window`) where the
        field on both sides is in deep shadow and the paint 1.5 times as bright.
        False scans the field window alone.

    Raises
    ------
    TypeError
        For a value of the wrong type (a bool or a string where a number
        belongs, a float where an int does).
    ValueError
        For a value that is not finite or lies outside its range:
        ``iterations`` from 0 to 10000, 0 < ``tolerance`` <= 64,
        0 <= ``min_width`` <= ``max_width`` <= 65536 (each None or a number),
        ``min_run`` None or from 0 to 65536, 0 <= ``min_width_share`` <=
        ``max_width_share`` <= 1, ``min_points`` from 2 to 65536, ``min_support`` from 0 to 1,
        ``max_lines`` from 0 to 64.

    Examples
    --------
    >>> LineSearch().max_lines
    8
    >>> s = LineSearch().for_frame(1080, 1920)
    >>> s.min_width, s.max_width, s.min_run
    (4.5, 135.0, 4)
    >>> LineSearch(min_points=0)
    Traceback (most recent call last):
    ...
    ValueError: min_points must be from 2 to 65536, got 0
    """

    iterations: int = 120
    tolerance: float = 1.5
    min_width: float | None = None
    max_width: float | None = None
    min_run: int | None = None
    min_points: int = 5
    min_support: float = 0.6
    max_lines: int = 8
    min_width_share: float = 2.0 / 480.0
    max_width_share: float = 60.0 / 480.0
    shade: bool = True

    def for_frame(self, height: int, width: int) -> LineSearch:
        """These settings with every size worked out for a frame.

        Examples
        --------
        >>> LineSearch(max_width=30.0).for_frame(480, 640).max_width
        30.0
        """
        lo = self.min_width if self.min_width is not None else self.min_width_share * height
        hi = self.max_width if self.max_width is not None else max(lo, self.max_width_share * height)
        run = self.min_run if self.min_run is not None else max(2, round(height / 240))
        if (lo, hi, run) == (self.min_width, self.max_width, self.min_run):
            return self
        return replace(self, min_width=float(lo), max_width=float(hi), min_run=int(run))

    def __post_init__(self) -> None:
        checked = {
            "iterations": integer("iterations", self.iterations, 0, 10_000),
            "tolerance": real("tolerance", self.tolerance, 0.0, 64.0, open_lo=True),
            "min_width": None if self.min_width is None else real("min_width", self.min_width, 0.0, 65536.0),
            "max_width": None if self.max_width is None else real("max_width", self.max_width, 0.0, 65536.0),
            "min_run": None if self.min_run is None else integer("min_run", self.min_run, 0, 65536),
            "min_width_share": real("min_width_share", self.min_width_share, 0.0, 1.0),
            "max_width_share": real("max_width_share", self.max_width_share, 0.0, 1.0),
            "min_points": integer("min_points", self.min_points, 2, 65536),
            "min_support": real("min_support", self.min_support, 0.0, 1.0),
            "max_lines": integer("max_lines", self.max_lines, 0, 64),
        }
        if not isinstance(self.shade, bool):
            raise TypeError(f"shade must be a bool, got {type(self.shade).__name__}")
        lo, hi = checked["min_width"], checked["max_width"]
        if isinstance(lo, float) and isinstance(hi, float) and lo > hi:
            raise ValueError(f"min_width must not exceed max_width, got min_width="
                             f"{lo} and max_width={hi}")
        if float(self.min_width_share) > float(self.max_width_share):
            raise ValueError(f"min_width_share must not exceed max_width_share, got "
                             f"{self.min_width_share} and {self.max_width_share}")
        for name, value in checked.items():
            object.__setattr__(self, name, value)


@dataclass(frozen=True)
class PaintTest:
    """The paint's colour test, compiled for one channel order.

    Attributes
    ----------
    mappings : tuple of dict
        The paint's windows as the kernels take them.
    grey_lo, grey_hi : int
        Grey levels (exclusive) between which an exact grey counts as paint.
    """

    mappings: tuple[dict[str, object], ...]
    grey_lo: int
    grey_hi: int

    def __call__(self, pixels: npt.NDArray[np.uint8]) -> npt.NDArray[np.bool_]:
        """Whether each of the (n, 3) pixels is paint."""
        n = len(pixels)
        row = np.ascontiguousarray(pixels).reshape(1, n, 3)
        out = np.empty((1, n), np.uint8)
        one = np.empty((1, n), np.uint8)
        first = True
        for m in self.mappings:
            orbisect.mask_image_cy_impl(row, out if first else one, m)
            if not first:
                out |= one
            first = False
        p0 = pixels[:, 0]
        grey = (p0 == pixels[:, 1]) & (p0 == pixels[:, 2]) & (p0 > self.grey_lo) & (p0 < self.grey_hi)
        return out.reshape(n).view(bool) | grey  # type: ignore[no-any-return]


@lru_cache(maxsize=64)
def paint_test(windows: tuple[Window, ...], order: ChannelOrder) -> PaintTest:
    """The paint test of a set of windows: a pixel is paint when it lies in
    any of them, or is an exact grey within their intensity range (no window
    holds a grey).

    Examples
    --------
    >>> from orbisect_detect.windows import LINE_WINDOWS
    >>> paint_test(LINE_WINDOWS, "rgb").grey_lo
    89
    """
    lo = min(w.intensity[0] for w in windows)
    hi = max(w.intensity[1] for w in windows)
    return PaintTest(tuple(w.mapping_for(order) for w in windows), int(math.floor(lo * 256.0)),
                     int(math.ceil(hi * 256.0)))


def paint_mask(pixels: npt.NDArray[np.uint8], windows: tuple[Window, ...],
               order: ChannelOrder) -> npt.NDArray[np.bool_]:
    """Whether pixels have the paint's colour (:func:`paint_test`).

    The pixels, an (n, 3) array, go through the mask kernel as a one-row
    image, so the test is the kernels' own.

    Examples
    --------
    >>> from orbisect_detect.windows import LINE_WINDOWS
    >>> paint_mask(np.array([[240, 240, 235], [255, 255, 255], [40, 140, 50]], np.uint8),
    ...            LINE_WINDOWS, "rgb").tolist()
    [True, True, False]
    """
    return paint_test(windows, order)(pixels)
