"""Painted lines: centre lines of the paint between runs of the field colour.

White has no hue, so no single window selects it; the field colour frames it
instead.  Along each scanned row and column, the gap between two runs of the
field colour is a crossing of something lying on the field.  When the
middle of the gap has the paint's colour, the gap's middle is a point of a
stripe's centre line and its length, times the sine of the angle between the
stripe and the scan line, is the stripe's width.  Both of a stripe's borders
thus become one point, and a line is fitted to those points.

The points are doubled (a gap's middle is a whole or half pixel) and peeled
off with :func:`orbisect.ransac_line`, once as they are and once with x and y
exchanged, since the fit refuses lines near the x axis whatever its
``slope_limit``.  Each found line is refined by total least squares on its
points, given its extent where its points are and its width, and scored; the
search stops at the first candidate that is not supported.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import orbisect

from .windows import ChannelOrder, Window

__all__ = ["Line", "LineSearch", "Gaps", "field_gaps", "find_lines", "paint_mask"]

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int32]

# slope_limit that lets a line through when its angle with the x axis is more
# than about 44.4 degrees: with x and y exchanged the other half is covered,
# and lines at 45 degrees are taken both ways.
_STEEP = 0.7


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

    Attributes
    ----------
    iterations : int
        RANSAC candidates drawn per fit.
    tolerance : float
        Distance from a centre line, in pixels, within which a gap's middle
        counts as on it.
    min_width, max_width : float
        Gap lengths considered along a scan line, in pixels.
    min_points : int
        Least number of points of a line.
    min_support : float
        Least support of a line that is reported.
    max_lines : int
        Most lines reported.

    Examples
    --------
    >>> LineSearch().max_lines
    8
    """

    iterations: int = 120
    tolerance: float = 1.5
    min_width: float = 2.0
    max_width: float = 60.0
    min_points: int = 5
    min_support: float = 0.4
    max_lines: int = 8


@dataclass(frozen=True)
class Gaps:
    """Gaps of the field colour that are paint, as centre-line points.

    Attributes
    ----------
    doubled : ndarray
        (n, 2) int32 gap middles, doubled.
    length : ndarray
        (n,) gap lengths along their scan lines, in pixels.
    along_row : ndarray
        (n,) True for gaps of the row pass, False for the column pass.
    """

    doubled: IntArray
    length: FloatArray
    along_row: npt.NDArray[np.bool_]


def paint_mask(pixels: npt.NDArray[np.uint8], windows: tuple[Window, ...],
               order: ChannelOrder) -> npt.NDArray[np.bool_]:
    """Whether pixels have the paint's colour: inside any of the windows, or
    an exact grey within their intensity range (no window holds a grey).

    Examples
    --------
    >>> from orbisect_detect.windows import LINE_WINDOWS
    >>> paint_mask(np.array([[240, 240, 235], [255, 255, 255], [40, 140, 50]], np.uint8),
    ...            LINE_WINDOWS, "rgb").tolist()
    [True, True, False]
    """
    inside = np.zeros(len(pixels), bool)
    for w in windows:
        inside |= w.contains(pixels, order)
    grey = (pixels[:, 0] == pixels[:, 1]) & (pixels[:, 1] == pixels[:, 2])
    if grey.any():
        t = pixels[:, 0].astype(np.float64) * (1.0 / 256.0)
        lo = min(w.intensity[0] for w in windows)
        hi = max(w.intensity[1] for w in windows)
        inside |= grey & (t > lo) & (t < hi)
    return inside


def field_gaps(points: IntArray, frame: npt.NDArray[np.uint8], windows: tuple[Window, ...],
               order: ChannelOrder, search: LineSearch) -> Gaps:
    """The gaps between consecutive field runs on one scan line whose middle
    pixel is paint.

    Parameters
    ----------
    points : ndarray
        (2n, 2) int32 run starts and ends of the field colour, as the scan
        writes them.
    frame : ndarray
        The frame the runs come from, to read the gaps' middle pixels.
    windows : tuple of Window
        The paint's windows (:func:`paint_mask`).
    order : {"rgb", "bgr"}
        The frame's channel order.
    search : LineSearch
        Gap lengths considered.
    """
    runs = points[: len(points) & ~1].reshape(-1, 4)
    row_run = (runs[:, 1] == runs[:, 3]) & (runs[:, 0] != runs[:, 2])
    col_run = (runs[:, 0] == runs[:, 2]) & (runs[:, 1] != runs[:, 3])
    # Run i ends at runs[i, 2:]; run i + 1 starts at runs[i + 1, :2].
    end, nxt = runs[:-1, 2:], runs[1:, :2]
    same_row = row_run[:-1] & row_run[1:] & (end[:, 1] == nxt[:, 1])
    same_col = col_run[:-1] & col_run[1:] & (end[:, 0] == nxt[:, 0])
    length = np.where(same_row, nxt[:, 0] - end[:, 0], nxt[:, 1] - end[:, 1])
    keep = (same_row | same_col) & (length >= search.min_width) & (length <= search.max_width)
    end, nxt, length, along_row = end[keep], nxt[keep], length[keep], same_row[keep]
    # Doubled middle: the borders lie at end - 0.5 and next - 0.5 along the line.
    doubled = end + nxt
    doubled[:, 0] -= along_row
    doubled[:, 1] -= ~along_row
    mid = (end + nxt) >> 1            # a pixel inside the gap
    paint = paint_mask(frame[mid[:, 1], mid[:, 0]], windows, order)
    return Gaps(np.ascontiguousarray(doubled[paint], np.int32), length[paint].astype(np.float64),
                along_row[paint])


def _refine(x: FloatArray, y: FloatArray) -> tuple[float, float, float, float]:
    """Total least squares line: centroid and unit direction."""
    mx, my = float(x.mean()), float(y.mean())
    dx, dy = x - mx, y - my
    sxx, syy, sxy = float(dx @ dx), float(dy @ dy), float(dx @ dy)
    angle = 0.5 * math.atan2(2.0 * sxy, sxx - syy)
    return mx, my, math.cos(angle), math.sin(angle)


def _clip_to_frame(px: float, py: float, ux: float, uy: float, t0: float, t1: float,
                   width: int, height: int) -> tuple[float, float]:
    """The part [t0, t1] of the line p + t u that lies in the frame."""
    lo, hi = t0, t1
    for p, u, size in ((px, ux, width), (py, uy, height)):
        if abs(u) < 1e-12:
            continue
        a, b = (-0.5 - p) / u, (size - 0.5 - p) / u
        lo, hi = max(lo, min(a, b)), min(hi, max(a, b))
    return lo, hi


def _expected(lines: FloatArray, p: float, u: float, t0: float, t1: float, steep: float,
              search: LineSearch) -> int:
    """Scanned lines at positions `lines` that cross the segment's span in
    one coordinate, counted where the crossing is steep enough for a gap no
    longer than max_width."""
    if steep <= 0.0 or 1.0 / steep * 2.0 > search.max_width:
        return 0
    a, b = p + t0 * u, p + t1 * u
    lo, hi = min(a, b), max(a, b)
    return int(((lines >= lo) & (lines <= hi)).sum())


def find_lines(gaps: Gaps, rows: FloatArray, columns: FloatArray, width: int, height: int,
               search: LineSearch) -> list[Line]:
    """Lines peeled off the gap points one at a time.

    Parameters
    ----------
    gaps : Gaps
        Centre-line points (:func:`field_gaps`), in an order that mixes the
        scan lines.
    rows, columns : ndarray
        Positions of the scanned rows and columns.
    width, height : int
        Frame size.
    search : LineSearch
        Parameters.

    Returns
    -------
    list of Line
        At most ``search.max_lines``, in the order found (most points first).
    """
    pts = gaps.doubled
    lengths, along_row = gaps.length, gaps.along_row
    found: list[Line] = []
    delta = max(1, int(round(2 * search.tolerance)))
    while len(found) < search.max_lines and len(pts) >= search.min_points:
        n = len(pts)
        flags = np.empty(n, np.uint8)
        best_m, best_line = 0, None
        for swap in (False, True):
            src = np.ascontiguousarray(pts[:, ::-1]) if swap else pts
            line = orbisect.ransac_line(src, flags, search.iterations, delta, _STEEP)
            if line["nx"] == 0 and line["ny"] == 0:    # no candidate: every flag is set
                continue
            m = int(flags.sum())
            if m > best_m:
                best_m, best_line = m, (line, swap)
        if best_line is None or best_m < search.min_points:
            break
        line, swap = best_line
        # Back to image coordinates (halved), as a point and a unit normal.
        px, py, nx, ny = line["px"] * 0.5, line["py"] * 0.5, float(line["nx"]), float(line["ny"])
        if swap:
            px, py, nx, ny = py, px, ny, nx
        norm = math.hypot(nx, ny)
        nx, ny = nx / norm, ny / norm
        x, y = pts[:, 0] * 0.5, pts[:, 1] * 0.5
        on = np.abs((x - px) * nx + (y - py) * ny) <= search.tolerance
        for _ in range(2):
            if on.sum() < 2:
                break
            px, py, ux, uy = _refine(x[on], y[on])
            nx, ny = -uy, ux
            on = np.abs((x - px) * nx + (y - py) * ny) <= search.tolerance
        if on.sum() < search.min_points:
            break
        ux, uy = ny, -nx
        t = (x[on] - px) * ux + (y[on] - py) * uy
        # Stretch the seen extent by half the scan spacing, within the frame.
        pad = 0.5 * max(height / max(len(rows), 1), width / max(len(columns), 1))
        t0, t1 = _clip_to_frame(px, py, ux, uy, float(t.min()) - pad, float(t.max()) + pad,
                                width, height)
        # Width: a row gap is the stripe's width over |sin| of its angle with
        # the row; only crossings steeper than 30 degrees are used.
        row_on, col_on = on & along_row, on & ~along_row
        w_samples = np.concatenate([lengths[row_on] * abs(uy), lengths[col_on] * abs(ux)])
        w_steep = np.concatenate([np.full(int(row_on.sum()), abs(uy)),
                                  np.full(int(col_on.sum()), abs(ux))])
        good = w_steep > 0.5
        stripe = float(np.median(w_samples[good] if good.any() else w_samples))
        expected = (_expected(rows, py, uy, t0, t1, abs(uy), search)
                    + _expected(columns, px, ux, t0, t1, abs(ux), search))
        support = min(1.0, int(on.sum()) / expected) if expected else 0.0
        if support < search.min_support:
            break
        found.append(Line(px + t0 * ux, py + t0 * uy, px + t1 * ux, py + t1 * uy, stripe, support))
        keep = ~on
        pts, lengths, along_row = np.ascontiguousarray(pts[keep]), lengths[keep], along_row[keep]
    return found
