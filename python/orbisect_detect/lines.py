"""Painted lines: centre lines of the paint between runs of the field colour.

White has no hue, so no single window selects it; the field colour frames it
instead.  Along each scanned row and column, the gap between two runs of the
field colour is a crossing of something lying on the field.  When the
middle of the gap has the paint's colour, the gap's middle is a point of a
stripe's centre line and its length, times the sine of the angle between the
stripe and the scan line, is the stripe's width.  Both of a stripe's borders
thus become one point, and a line is fitted to those points.

The points are doubled (a gap's middle is a whole or half pixel) and peeled
off with :func:`orbisect.ransac_line`, in a frame turned by atan(3/4), since
the fit refuses lines parallel to its x axis whatever its ``slope_limit``.
Each found line is refined by total least squares on its points, given its
extent where its points are and its width, and scored; the search stops
after three candidates that are not supported.

Bounded work.  Whatever the frame shows, the search fits at most
:data:`MAX_GAPS` (2047) gap points, a prefix of the mixed points the
detector hands it (a sample spread over the frame), makes at most
``max_lines + 3`` RANSAC fits (``max_lines`` is at most 64), and follows
each found line's paint at most the widest stretch between scanned lines.
Ordinary scenes stay far below the cap (at most 237 gap points over 580
generated frames), so it changes nothing there.
"""

from __future__ import annotations

import bisect
import math
from dataclasses import dataclass, replace
from typing import Any
from functools import lru_cache

import numpy as np
import numpy.typing as npt

import orbisect

from ._checks import integer, real
from .windows import ChannelOrder, Window

__all__ = ["MAX_GAPS", "Gaps", "Line", "LineSearch", "PaintTest", "field_gaps", "find_lines", "join_pieces",
           "paint_mask", "paint_test"]

FloatArray = npt.NDArray[np.floating[Any]]
IntArray = npt.NDArray[np.int32]

#: Most gap points the line search of one frame fits (odd, so that the
#: sampler's congruential sequence keeps mixing).
MAX_GAPS = 2047


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
        in and out of the field's colour.  None: a 160th of the frame's
        height, at least 3 px.
    min_points : int
        Least number of points of a line.
    min_support : float
        Least support of a line that is reported.
    max_lines : int
        Most lines reported.
    min_width_share, max_width_share : float
        Gap lengths as shares of the frame's height where ``min_width`` and
        ``max_width`` are None.

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
    (4.5, 135.0, 7)
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

    def for_frame(self, height: int, width: int) -> LineSearch:
        """These settings with every size worked out for a frame.

        Examples
        --------
        >>> LineSearch(max_width=30.0).for_frame(480, 640).max_width
        30.0
        """
        lo = self.min_width if self.min_width is not None else self.min_width_share * height
        hi = self.max_width if self.max_width is not None else max(lo, self.max_width_share * height)
        run = self.min_run if self.min_run is not None else max(3, round(height / 160))
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


def field_gaps(points: IntArray, frame: npt.NDArray[np.uint8], paint: PaintTest,
               search: LineSearch) -> Gaps:
    """The gaps between consecutive field runs on one scan line whose middle
    pixel is paint.

    Parameters
    ----------
    points : ndarray
        (2n, 2) int32 run starts and ends of the field colour, as the scan
        writes them.
    frame : ndarray
        The frame the runs come from, to read the gaps' middle pixels.
    paint : PaintTest
        The paint's colour, in the frame's channel order (:func:`paint_test`).
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
    is_paint = paint(frame[mid[:, 1], mid[:, 0]])
    return Gaps(np.ascontiguousarray(doubled[is_paint], np.int32),
                length[is_paint].astype(np.float64), along_row[is_paint])


def _clip_to_frame(px: float, py: float, ux: float, uy: float,
                   width: int, height: int) -> tuple[float, float]:
    """The span of t for which the line p + t u lies in the frame."""
    lo, hi = -math.inf, math.inf
    for p, u, size in ((px, ux, width), (py, uy, height)):
        if abs(u) < 1e-12:
            continue
        a, b = (-0.5 - p) / u, (size - 0.5 - p) / u
        lo, hi = max(lo, min(a, b)), min(hi, max(a, b))
    return lo, hi


@lru_cache(maxsize=256)
def _scan_geometry(rows: tuple[float, ...], columns: tuple[float, ...], height: int,
                   width: int) -> tuple[float, int]:
    """The scan's spacing, and how far the paint is followed from a stripe's
    outermost points: the widest stretch the scan left between two lines, or
    a line and the frame's edge (the same for every frame of a size)."""
    spacing = max(height / max(len(rows), 1), width / max(len(columns), 1))
    reach = int(math.ceil(max(_widest(rows, height), _widest(columns, width)))) + 2
    return spacing, reach


def _widest(lines: tuple[float, ...], size: int) -> float:
    """The longest stretch between scanned lines at positions `lines`
    (ascending), or between one and the frame's edge."""
    if not lines:
        return float(size)
    inner = max((b - a for a, b in zip(lines, lines[1:])), default=0.0)
    return max(inner, lines[0] + 0.5, size - 0.5 - lines[-1])


def _crossings(lines: tuple[float, ...], a: float, b: float) -> int:
    """Scanned lines at positions `lines` (ascending) between a and b."""
    lo, hi = (a, b) if a <= b else (b, a)
    return bisect.bisect_right(lines, hi) - bisect.bisect_left(lines, lo)


def _fit_segment(x: FloatArray, y: FloatArray) -> tuple[float, float, float, float, FloatArray]:
    """Total least squares line through points: centroid, unit direction,
    and the points' positions along it (in the points' order)."""
    n = len(x)
    mx, my = float(np.add.reduce(x)) / n, float(np.add.reduce(y)) / n
    dx, dy = x - mx, y - my
    angle = 0.5 * math.atan2(2.0 * float(dx @ dy), float(dx @ dx) - float(dy @ dy))
    ux, uy = math.cos(angle), math.sin(angle)
    return mx, my, ux, uy, dx * ux + dy * uy


# A gap supports a line only when its scan line crosses the line at more than
# about 27 degrees: scan lines that run along a stripe see its border flicker,
# not the stripe.
_MIN_CROSSING = 0.45

# The fits refuse lines parallel to their x axis, whatever the slope_limit
# (with 0, only exactly parallel samples).  The points are therefore fitted
# in a frame turned by atan(3/4), where that refused direction is an image
# slope of exactly -3/4 between two sampled points: a rare sample, and any
# line is found through its other pairs.  (x, y) -> (4x - 3y, 3x + 4y) keeps
# them integers, five times larger.
_TURN = np.array([[4, 3], [-3, 4]], np.int32)


def _paint_ends(frame: npt.NDArray[np.uint8], paint: PaintTest,
                ends: list[tuple[float, float, float, float, float, float]], reach: int
                ) -> list[float]:
    """Where the paint ends along centre lines, all ends at once.

    Each end is (px, py, ux, uy, t, t_limit): the paint is followed from
    p + t u in 1 px steps away from the line's middle (towards t_limit, the
    frame's edge) up to `reach` steps; the end is half a pixel before the
    first step that is not paint, or the last step, or t_limit.
    """
    if not ends:
        return []
    e = np.array(ends)
    sign = np.where(e[:, 5] >= e[:, 4], 1.0, -1.0)
    ts = e[:, 4:5] + sign[:, None] * np.arange(1.0, reach + 1.0)         # (ends, reach)
    xs = np.minimum(np.maximum(e[:, 0:1] + ts * e[:, 2:3] + 0.5, 0.0), frame.shape[1] - 1).astype(np.intp)
    ys = np.minimum(np.maximum(e[:, 1:2] + ts * e[:, 3:4] + 0.5, 0.0), frame.shape[0] - 1).astype(np.intp)
    on = paint(frame[ys, xs].reshape(-1, 3)).reshape(ts.shape)
    # Steps past the frame's edge are not paint.
    on &= (ts - e[:, 5:6]) * sign[:, None] <= 0.0
    first = on.argmin(axis=1).tolist()
    whole = np.logical_and.reduce(on, axis=1).tolist()
    out = []
    for (_, _, _, _, t, t_limit), s, f, w in zip(ends, sign.tolist(), first, whole):
        if w:                       # paint all the way: as far as it was followed
            out.append(t + s * reach)
        elif (t + s * (f + 1) - t_limit) * s > 0.0:     # stopped by the frame's edge
            out.append(t_limit)
        else:
            out.append(t + s * (f + 1) - 0.5 * s)
    return out


def _joined(a: Line, b: Line, tolerance: float) -> Line | None:
    """One line for two pieces of the same stripe (something lay across it,
    or its points had a hole), or None when they are not collinear."""
    la, lb = a.length, b.length
    if la < lb:
        a, b, la, lb = b, a, lb, la
    if la == 0.0:
        return None
    ux, uy = (a.x1 - a.x0) / la, (a.y1 - a.y0) / la
    if lb > 0.0 and abs((b.x1 - b.x0) * uy - (b.y1 - b.y0) * ux) > lb * 0.035:   # 2 degrees
        return None
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
    [0.0, 5.5, 300.0, 5.5, 6.0, 0.88]
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


def find_lines(gaps: Gaps, frame: npt.NDArray[np.uint8], paint: PaintTest, rows: FloatArray,
               columns: FloatArray, search: LineSearch) -> list[Line]:
    """Lines peeled off the gap points one at a time.

    Parameters
    ----------
    gaps : Gaps
        Centre-line points (:func:`field_gaps`), in an order that mixes the
        scan lines; only the first :data:`MAX_GAPS` are used.
    frame : ndarray
        The frame, to find where each stripe's paint ends.
    paint : PaintTest
        The paint's colour, in the frame's channel order (:func:`paint_test`).
    rows, columns : ndarray
        Positions of the scanned rows and columns, ascending.
    search : LineSearch
        Parameters.

    Returns
    -------
    list of Line
        At most ``search.max_lines``, in the order found (most points first).
    """
    height, width = frame.shape[0], frame.shape[1]
    points = gaps.doubled[:MAX_GAPS]
    n_all = len(points)
    if n_all < search.min_points:
        return []
    turned = points @ _TURN                       # (4x - 3y, 3x + 4y), doubled
    x_all = points[:, 0] * 0.5
    y_all = points[:, 1] * 0.5
    lengths, along_row = gaps.length[:n_all], gaps.along_row[:n_all]
    alive = np.ones(n_all, bool)
    row_at, col_at = tuple(rows.tolist()), tuple(columns.tolist())
    spacing, reach = _scan_geometry(row_at, col_at, height, width)
    delta = max(1, int(round(10 * search.tolerance)))      # doubled, turned: x10
    raw: list[tuple[float, float, float, float, float, float, float, float]] = []
    rejected = 0
    while len(raw) < search.max_lines and rejected < 3:
        idx = alive.nonzero()[0]
        if len(idx) < search.min_points:
            break
        doubled = len(idx) % 2 == 0     # an odd count keeps the sampler mixing
        if doubled:
            idx = np.concatenate((idx, idx[:1]))
        flags = np.empty(len(idx), np.uint8)
        line = orbisect.ransac_line(turned[idx], flags, search.iterations, delta, 0.0)
        if line["nx"] == 0 and line["ny"] == 0:          # no candidate: every flag is set
            break
        cand = idx[flags.view(bool)]
        if doubled and flags[-1]:       # the repeated first point, once
            cand = cand[:-1]
        if len(cand) < search.min_points:
            break
        # The fit's points that their scan line crosses steeply, refined by
        # total least squares.  The normal back in the image: (4 nx + 3 ny,
        # 4 ny - 3 nx); a row crosses the line steeply when the normal's x
        # dominates enough, a column when its y does.
        nxi, nyi = 4 * line["nx"] + 3 * line["ny"], 4 * line["ny"] - 3 * line["nx"]
        nn = _MIN_CROSSING * math.hypot(nxi, nyi)
        rows_ok, cols_ok = abs(nxi) > nn, abs(nyi) > nn
        if not (rows_ok and cols_ok):
            seg = cand[along_row[cand]] if rows_ok else cand[~along_row[cand]]
        else:
            seg = cand
        if len(seg) < search.min_points:
            alive[cand] = False
            rejected += 1
            continue
        px, py, ux, uy, t = _fit_segment(x_all[seg], y_all[seg])
        # The longest run of points without a hole of a few scan spacings is
        # the stripe (a stray point far along the line must not stretch it);
        # the others go back to the pool.
        hole = 3.0 * spacing + 10.0
        ts = t.copy()
        ts.sort()
        if len(ts) > 1 and float(np.maximum.reduce(ts[1:] - ts[:-1])) > hole:
            order_t = t.argsort()
            bounds = np.concatenate(([0], np.flatnonzero(np.diff(ts) > hole) + 1, [len(ts)]))
            k = int(np.argmax(np.diff(bounds)))
            seg = seg[order_t[bounds[k]:bounds[k + 1]]]
            if len(seg) < search.min_points:
                alive[seg] = False
                rejected += 1
                continue
            px, py, ux, uy, t = _fit_segment(x_all[seg], y_all[seg])
            ts = t.copy()
            ts.sort()
        alive[seg] = False
        t_lo, t_hi = float(ts[0]), float(ts[-1])
        # Width: a row gap is the stripe's width over |sin| of its angle with
        # the row (a column gap over |cos|).
        if rows_ok and cols_ok:
            w = lengths[seg] * np.where(along_row[seg], abs(uy), abs(ux))
        else:
            w = lengths[seg] * (abs(uy) if rows_ok else abs(ux))
        w.partition(len(w) // 2)
        stripe = float(w[len(w) // 2])
        expected = 0
        if abs(uy) > _MIN_CROSSING:
            expected += _crossings(row_at, py + t_lo * uy, py + t_hi * uy)
        if abs(ux) > _MIN_CROSSING:
            expected += _crossings(col_at, px + t_lo * ux, px + t_hi * ux)
        support = min(1.0, len(seg) / expected) if expected else 0.0
        if support < search.min_support:
            rejected += 1
            continue
        raw.append((px, py, ux, uy, t_lo, t_hi, stripe, support))
    # Follow each stripe's paint beyond its outermost points, to its end or
    # the frame's edge.
    ends = []
    for px, py, ux, uy, t_lo, t_hi, _, _ in raw:
        f0, f1 = _clip_to_frame(px, py, ux, uy, width, height)
        ends.append((px, py, ux, uy, t_lo, f0))
        ends.append((px, py, ux, uy, t_hi, f1))
    t_ends = _paint_ends(frame, paint, ends, reach)
    # An end followed in paint all the way and then within reach of the
    # frame's edge is followed on to it.  (Further inside, paint all the way
    # is another stripe's, which the walk has run into.)
    again = [k for k, (t_end, e) in enumerate(zip(t_ends, ends))
             if abs(t_end - e[4]) >= reach and 0.5 < abs(e[5] - t_end) <= reach]
    if again:
        more = [ends[k][:4] + (t_ends[k], ends[k][5]) for k in again]
        for k, t_end in zip(again, _paint_ends(frame, paint, more, reach)):
            t_ends[k] = t_end
    found = [Line(px + t_ends[2 * k] * ux, py + t_ends[2 * k] * uy,
                  px + t_ends[2 * k + 1] * ux, py + t_ends[2 * k + 1] * uy, stripe, support)
             for k, (px, py, ux, uy, _, _, stripe, support) in enumerate(raw)]
    return join_pieces(found, search.tolerance)
