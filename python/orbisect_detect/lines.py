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

__all__ = ["Line", "LineSearch", "Gaps", "field_gaps", "find_lines", "join_pieces", "paint_mask"]

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
    min_run : int
        Field runs shorter than this are dropped and gaps shorter than this
        joined first: a scan line running along a stripe's border flickers
        in and out of the field's colour.
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
    min_run: int = 3
    min_points: int = 5
    min_support: float = 0.6
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
    n = len(x)
    mx, my = float(x.sum()) / n, float(y.sum()) / n
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


def _crossings(lines: FloatArray, a: float, b: float) -> int:
    """Scanned lines at positions `lines` between a and b."""
    lo, hi = (a, b) if a <= b else (b, a)
    return int(np.count_nonzero((lines >= lo) & (lines <= hi)))


# A gap supports a line only when its scan line crosses the line at more than
# about 27 degrees: scan lines that run along a stripe see its border flicker,
# not the stripe.
_MIN_CROSSING = 0.45


def _paint_end(frame: npt.NDArray[np.uint8], windows: tuple[Window, ...], order: ChannelOrder,
               px: float, py: float, ux: float, uy: float, t: float, sign: float,
               reach: float, t_limit: float) -> float:
    """Where the paint ends along the centre line beyond t: the first pixel
    (1 px steps, up to `reach`) that is not paint, less half a pixel."""
    steps = np.arange(1.0, max(reach, 1.0) + 1.0)
    ts = t + sign * steps
    ts = ts[(ts - t_limit) * sign <= 0]
    if len(ts) == 0:
        return t_limit
    xs = np.rint(px + ts * ux).astype(np.intp)
    ys = np.rint(py + ts * uy).astype(np.intp)
    paint = paint_mask(frame[ys, xs], windows, order)
    if paint.all():
        return float(ts[-1]) if len(ts) == len(steps) else t_limit
    first = int(np.argmin(paint))
    return float(ts[first]) - 0.5 * sign


def _joined(a: Line, b: Line, tolerance: float) -> Line | None:
    """One line for two pieces of the same stripe (something lay across it,
    or its points had a hole), or None when they are not collinear."""
    la, lb = a.length, b.length
    if la < lb:
        a, b, la, lb = b, a, lb, la
    if la == 0.0:
        return None
    ux, uy = (a.x1 - a.x0) / la, (a.y1 - a.y0) / la
    off = tolerance + 0.25 * max(a.width, b.width)
    for x, y in ((b.x0, b.y0), (b.x1, b.y1)):
        if abs((x - a.x0) * uy - (y - a.y0) * ux) > off:
            return None
    if lb > 0.0 and abs((b.x1 - b.x0) / lb * uy - (b.y1 - b.y0) / lb * ux) > math.sin(math.radians(2.0)):
        return None
    ts = [0.0, la, (b.x0 - a.x0) * ux + (b.y0 - a.y0) * uy, (b.x1 - a.x0) * ux + (b.y1 - a.y0) * uy]
    t0, t1 = min(ts), max(ts)
    # The longer piece sets the line; the other only stretches it.
    return Line(a.x0 + t0 * ux, a.y0 + t0 * uy, a.x0 + t1 * ux, a.y0 + t1 * uy,
                (a.width * la + b.width * lb) / (la + lb),
                (a.support * la + b.support * lb) / (la + lb))


def join_pieces(lines: list[Line], tolerance: float) -> list[Line]:
    """Joins collinear pieces of one stripe into one line.

    Examples
    --------
    >>> pieces = [Line(0.0, 5.0, 100.0, 5.0, 6.0, 1.0), Line(150.0, 5.5, 300.0, 5.5, 6.0, 0.8)]
    >>> [round(v, 2) for v in join_pieces(pieces, 1.5)[0].to_dict().values()]
    [0.0, 5.0, 300.0, 5.0, 6.0, 0.88]
    """
    out: list[Line] = []
    for line in sorted(lines, key=lambda l: -l.length):
        for k, kept in enumerate(out):
            joined = _joined(kept, line, tolerance)
            if joined is not None:
                out[k] = joined
                break
        else:
            out.append(line)
    return out


def find_lines(gaps: Gaps, frame: npt.NDArray[np.uint8], windows: tuple[Window, ...],
               order: ChannelOrder, rows: FloatArray, columns: FloatArray,
               search: LineSearch) -> list[Line]:
    """Lines peeled off the gap points one at a time.

    Parameters
    ----------
    gaps : Gaps
        Centre-line points (:func:`field_gaps`), in an order that mixes the
        scan lines.
    frame : ndarray
        The frame, to find where each stripe's paint ends.
    windows : tuple of Window
        The paint's windows.
    order : {"rgb", "bgr"}
        The frame's channel order.
    rows, columns : ndarray
        Positions of the scanned rows and columns.
    search : LineSearch
        Parameters.

    Returns
    -------
    list of Line
        At most ``search.max_lines``, in the order found (most points first).
    """
    height, width = frame.shape[0], frame.shape[1]
    pts = gaps.doubled
    x_all, y_all = pts[:, 0] * 0.5, pts[:, 1] * 0.5
    lengths, along_row = gaps.length, gaps.along_row
    alive = np.ones(len(pts), bool)
    spacing = max(height / max(len(rows), 1), width / max(len(columns), 1))
    found: list[Line] = []
    delta = max(1, int(round(2 * search.tolerance)))
    rejected = 0
    while len(found) < search.max_lines and rejected < 3:
        idx = np.flatnonzero(alive)
        if len(idx) < search.min_points:
            break
        if len(idx) % 2 == 0:           # an odd count keeps the sampler mixing
            idx = idx[:-1]
        sub = np.ascontiguousarray(pts[idx])
        flags = np.empty(len(idx), np.uint8)
        best_m, best_line = 0, None
        for swap in (False, True):
            src = np.ascontiguousarray(sub[:, ::-1]) if swap else sub
            line = orbisect.ransac_line(src, flags, search.iterations, delta, _STEEP)
            if line["nx"] == 0 and line["ny"] == 0:    # no candidate: every flag is set
                continue
            m = int(np.count_nonzero(flags))
            if m > best_m:
                best_m, best_line = m, (line, swap)
        if best_line is None or best_m < search.min_points:
            break
        line, swap = best_line
        px, py, nx, ny = line["px"] * 0.5, line["py"] * 0.5, float(line["nx"]), float(line["ny"])
        if swap:
            px, py, nx, ny = py, px, ny, nx
        norm = math.hypot(nx, ny)
        ux, uy = ny / norm, -nx / norm
        x, y, rowgap = x_all[idx], y_all[idx], along_row[idx]
        on = np.zeros(len(idx), bool)
        for _ in range(3):
            steep = np.where(rowgap, abs(uy), abs(ux)) > _MIN_CROSSING
            on = (np.abs((x - px) * uy - (y - py) * ux) <= search.tolerance) & steep
            if np.count_nonzero(on) < 2:
                break
            px, py, ux, uy = _refine(x[on], y[on])
        n_on = int(np.count_nonzero(on))
        if n_on < search.min_points:
            alive[idx[on]] = False
            rejected += 1
            continue
        # The largest run of inliers without a hole longer than a few scan
        # spacings is the stripe; the others go back to the pool.
        t = (x - px) * ux + (y - py) * uy
        on_idx = np.flatnonzero(on)
        order_t = np.argsort(t[on_idx])
        ts = t[on_idx][order_t]
        cuts = np.flatnonzero(np.diff(ts) > 3.0 * spacing + 10.0)
        bounds = np.concatenate(([0], cuts + 1, [len(ts)]))
        k = int(np.argmax(np.diff(bounds)))
        seg = on_idx[order_t[bounds[k]:bounds[k + 1]]]
        if len(seg) < search.min_points:
            alive[idx[on]] = False
            rejected += 1
            continue
        if len(seg) < n_on:
            px, py, ux, uy = _refine(x[seg], y[seg])
            t = (x - px) * ux + (y - py) * uy
        t_lo, t_hi = float(t[seg].min()), float(t[seg].max())
        f0, f1 = _clip_to_frame(px, py, ux, uy, -1e9, 1e9, width, height)
        t0 = _paint_end(frame, windows, order, px, py, ux, uy, t_lo, -1.0, spacing + 2.0, f0)
        t1 = _paint_end(frame, windows, order, px, py, ux, uy, t_hi, 1.0, spacing + 2.0, f1)
        # Width: a row gap is the stripe's width over |sin| of its angle with
        # the row (a column gap over |cos|).
        crossing = np.where(rowgap[seg], abs(uy), abs(ux))
        stripe = float(np.median(lengths[idx[seg]] * crossing))
        expected = 0
        if abs(uy) > _MIN_CROSSING:
            expected += _crossings(rows, py + t0 * uy, py + t1 * uy)
        if abs(ux) > _MIN_CROSSING:
            expected += _crossings(columns, px + t0 * ux, px + t1 * ux)
        support = min(1.0, len(seg) / expected) if expected else 0.0
        alive[idx[seg]] = False
        if support < search.min_support:
            rejected += 1
            continue
        found.append(Line(px + t0 * ux, py + t0 * uy, px + t1 * ux, py + t1 * uy, stripe, support))
    return join_pieces(found, search.tolerance)
