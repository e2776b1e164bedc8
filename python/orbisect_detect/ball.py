"""The ball: a circle fitted to the borders of the ball-coloured runs.

The scan gives, along chosen rows and columns, the first pixel inside the
window and the first pixel after it outside.  The colour's border lies half a
pixel before each of them, so a run from ``xs`` to ``xe`` has its borders at
``xs - 0.5`` and ``xe - 0.5``.  Doubling makes those borders integers again,
which is how they are handed to :func:`orbisect.ransac_circle`.  Runs that
touch the frame's edge give no border there: a ball cut by the frame is
fitted to the arc that is seen.

Each candidate circle of the RANSAC search is refined by a geometric least
squares fit to the points near it, then scored (:func:`circle_support`).  A
candidate that is not supported (a ball-coloured blob that is not round, an
arc of noise) is dropped with the points around it, and the search goes on,
a few times at most.

Bounded work.  Whatever the frame shows, each stage handles at most a fixed
number of items, so that a frame of stripes, checkerboards or speckle in the
ball's colour costs about what an ordinary one does:

- the RANSAC search sees at most :data:`MAX_BORDERS` (2047) coarse border
  points, a prefix of the mixed borders that the detector hands it (so a
  sample spread over the frame);
- :func:`chord_candidates` pairs at most :data:`MAX_CHORDS` (128) row runs
  and as many column runs, the first of the scan (spread over the frame as
  its bit-reversed lines are), after dropping runs too long to be a chord
  of a ball of radius ``max_r``, and votes among at most
  :data:`MAX_PROPOSALS` (256) proposals, every k-th when there are more;
- a candidate's dense scan reads at most :data:`MAX_DENSE_LINES` (64) rows
  and as many columns of the square around it;
- at most ``candidates`` RANSAC circles (twice as many when some are
  refused as pale or oval) and four chord circles are checked, each times
  ``max_balls`` when several balls are searched for (:func:`find_balls`):
  with ``candidates`` and ``max_balls`` at their largest, 16 each, at most
  512 RANSAC circles and 64 chord circles.

Ordinary scenes stay far below these caps (over 580 generated frames at
most 153 borders, 34 row and 33 column runs, 96 chord proposals, and 956
border points in a dense scan), so they change nothing there.
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
from .borders import refine_circle_border
from .windows import ChannelOrder

__all__ = ["MAX_BALLS", "MAX_BORDERS", "MAX_CHORDS", "MAX_DENSE_LINES", "MAX_PROPOSALS", "Ball",
           "BallSearch", "disc_saturation", "find_ball", "find_balls", "overlaps", "settle", "fit_circle", "fit_circle_algebraic",
           "circle_support", "chord_candidates",
           "hidden", "outside_share", "refine_circle", "region_scan", "run_borders", "scan_lines"]

FloatArray = npt.NDArray[np.floating[Any]]
IntArray = npt.NDArray[np.int32]

#: Most coarse border points the RANSAC search of one frame sees (odd, so
#: that the sampler's congruential sequence keeps mixing).
MAX_BORDERS = 2047
#: Most row runs, and most column runs, that :func:`chord_candidates` pairs.
MAX_CHORDS = 128
#: Most chord proposals that vote in :func:`chord_candidates`.
MAX_PROPOSALS = 256
#: Most rows, and most columns, of a candidate's dense scan.
MAX_DENSE_LINES = 64
#: Most balls one search reports (:func:`find_balls`).
MAX_BALLS = 16


@dataclass(frozen=True)
class Ball:
    """A ball in a frame.

    Attributes
    ----------
    x, y : float
        Centre, in pixels; pixel (x, y) has its centre at (x, y), x the column.
    r : float
        Radius in pixels.
    support : float
        How well the edge points agree with the circle, from 0 to 1: the share
        of the scan lines crossing the visible circle that found its border
        there, times the share of the nearby border points that lie on it.

    Examples
    --------
    >>> Ball(320.0, 240.0, 25.0, 0.9).to_dict()
    {'x': 320.0, 'y': 240.0, 'r': 25.0, 'support': 0.9}
    """

    x: float
    y: float
    r: float
    support: float

    def to_dict(self) -> dict[str, float]:
        """The ball as plain JSON types."""
        return {"x": self.x, "y": self.y, "r": self.r, "support": self.support}


@dataclass(frozen=True)
class BallSearch:
    """Parameters of the ball search.

    Sizes given as None follow the frame: they are worked out from its
    height by :meth:`for_frame`, so that a 320 x 240 stream and a 4000 x
    3000 photo both work without settings.

    Attributes
    ----------
    min_r, max_r : float or None
        Radii considered, in pixels; None: ``min_r_share`` and
        ``max_r_share`` of the frame's height (at least 3 px).
    iterations : int
        RANSAC candidates drawn per search.
    tolerance : float
        Distance from the circle, in pixels, within which a border point
        counts as on it.
    min_support : float
        Least support of a ball that is reported.
    candidates : int
        Circles tried before the search gives up.
    min_run : int or None
        Runs shorter than this are dropped and gaps shorter than this joined
        before fitting (speckle of a colour near the window's edge); None:
        a 160th of the frame's height, at least 3 px.
    min_r_share, max_r_share : float
        Radii as shares of the frame's height where ``min_r`` and ``max_r``
        are None (by default 0.01 and 1/3: 4.8 to 160 px at 480 rows).
    min_saturation : float
        Least saturation, (max - min) / max of the channels, of the median
        pixel inside the ball: an orange ball is near 0.9 whatever the
        light, skin 0.2 to 0.6.  0 turns the test off (a pale ball).
    max_ellipticity : float
        Largest 1 - short / long axis of the borders found along the
        ball's normals (:mod:`orbisect_detect.borders`), when they are found
        on three quarters of them at least: a head, a hand or a knee is
        oval, a ball round.
    refine : bool
        Move the ball onto the image's border along its normals (an
        unbiased radius, whatever the blur and the compression); False
        keeps the circle where the window cuts the border.

    Raises
    ------
    TypeError
        For a value of the wrong type (a bool or a string where a number
        belongs, a float where an int does).
    ValueError
        For a value that is not finite or lies outside its range:
        0 < ``min_r`` <= ``max_r`` <= 65536 (each None or a number),
        ``iterations`` from 0 to 10000, 0 < ``tolerance`` <= 64,
        ``min_support`` from 0 to 1, ``candidates`` from 0 to 16,
        ``min_run`` None or from 0 to 65536, 0 < ``min_r_share`` <=
        ``max_r_share`` <= 1, ``min_saturation`` from 0 to 1,
        ``max_ellipticity`` from 0 to 1.

    Examples
    --------
    >>> BallSearch(min_r=12.0).max_r is None
    True
    >>> s = BallSearch().for_frame(480, 640)
    >>> round(s.min_r, 1), round(s.max_r, 1), s.min_run
    (4.8, 160.0, 3)
    >>> BallSearch(min_r=90.0, max_r=80.0)
    Traceback (most recent call last):
    ...
    ValueError: min_r must not exceed max_r, got min_r=90.0 and max_r=80.0
    """

    min_r: float | None = None
    max_r: float | None = None
    iterations: int = 200
    tolerance: float = 1.5
    min_support: float = 0.65
    candidates: int = 4
    min_run: int | None = None
    min_r_share: float = 0.01
    max_r_share: float = 1.0 / 3.0
    min_saturation: float = 0.7
    max_ellipticity: float = 0.15
    refine: bool = True

    def for_frame(self, height: int, width: int) -> BallSearch:
        """These settings with every size worked out for a frame.

        Examples
        --------
        >>> BallSearch(max_r=50.0).for_frame(240, 320).max_r
        50.0
        """
        min_r = self.min_r if self.min_r is not None else max(3.0, self.min_r_share * height)
        max_r = self.max_r if self.max_r is not None else max(min_r, self.max_r_share * height)
        min_run = self.min_run if self.min_run is not None else max(3, round(height / 160))
        if (min_r, max_r, min_run) == (self.min_r, self.max_r, self.min_run):
            return self
        return replace(self, min_r=float(min_r), max_r=float(max_r), min_run=int(min_run))

    @property
    def r_range(self) -> tuple[float, float]:
        """(min_r, max_r) of settings worked out for a frame."""
        if self.min_r is None or self.max_r is None:
            raise ValueError("the radii follow the frame: use for_frame(height, width) first")
        return self.min_r, self.max_r

    def __post_init__(self) -> None:
        checked: dict[str, object] = {
            "min_r": None if self.min_r is None else real("min_r", self.min_r, 0.0, 65536.0, open_lo=True),
            "max_r": None if self.max_r is None else real("max_r", self.max_r, 0.0, 65536.0, open_lo=True),
            "iterations": integer("iterations", self.iterations, 0, 10_000),
            "tolerance": real("tolerance", self.tolerance, 0.0, 64.0, open_lo=True),
            "min_support": real("min_support", self.min_support, 0.0, 1.0),
            "candidates": integer("candidates", self.candidates, 0, 16),
            "min_run": None if self.min_run is None else integer("min_run", self.min_run, 0, 65536),
            "min_r_share": real("min_r_share", self.min_r_share, 0.0, 1.0, open_lo=True),
            "max_r_share": real("max_r_share", self.max_r_share, 0.0, 1.0, open_lo=True),
            "min_saturation": real("min_saturation", self.min_saturation, 0.0, 1.0),
            "max_ellipticity": real("max_ellipticity", self.max_ellipticity, 0.0, 1.0),
        }
        if not isinstance(self.refine, bool):
            raise TypeError(f"refine must be a bool, got {type(self.refine).__name__}")
        lo, hi = checked["min_r"], checked["max_r"]
        if isinstance(lo, float) and isinstance(hi, float) and lo > hi:
            raise ValueError(f"min_r must not exceed max_r, got min_r={lo} and max_r={hi}")
        if float(self.min_r_share) > float(self.max_r_share):
            raise ValueError(f"min_r_share must not exceed max_r_share, got {self.min_r_share} "
                             f"and {self.max_r_share}")
        for name, value in checked.items():
            object.__setattr__(self, name, value)


def run_borders(points: IntArray, width: int, height: int) -> IntArray:
    """Doubled border positions of the runs of a scan.

    Parameters
    ----------
    points : ndarray
        (2n, 2) int32 run starts and ends as the scan writes them.
    width, height : int
        Frame size.

    Returns
    -------
    ndarray
        (m, 2) int32: each border's (x, y) doubled, so that a border half a
        pixel before a start ``xs`` is ``2 * xs - 1``.  Borders on the frame's
        edge are left out.

    Examples
    --------
    >>> run_borders(np.array([[3, 7], [9, 7], [0, 2], [4, 2]], np.int32), 20, 10).tolist()
    [[5, 14], [17, 14], [7, 4]]
    >>> run_borders(np.array([[5, 0], [5, 9], [6, 3], [6, 8]], np.int32), 20, 10).tolist()
    [[12, 5], [12, 15]]
    """
    q = np.ascontiguousarray(points[: len(points) & ~1].reshape(-1, 4).T)   # xs, ys, xe, ye
    along_row = q[1] == q[3]
    row2 = np.concatenate((along_row, along_row))
    bx = np.concatenate((q[0], q[2]))
    by = np.concatenate((q[1], q[3]))
    bx += bx
    by += by
    bx -= row2
    by -= ~row2
    # A run starting at the line's first pixel, or ending at its last (the
    # scan closes such runs there), touches the frame's edge: its doubled
    # border along the line is -1, or 2 * size - 3.
    along = np.where(row2, bx, by)
    limit = np.where(row2, 2 * width - 3, 2 * height - 3)
    keep = (along >= 1) & (along < limit)
    out = np.empty((int(np.count_nonzero(keep)), 2), np.int32)
    out[:, 0] = bx[keep]
    out[:, 1] = by[keep]
    return out


def _solve3(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> tuple[float, float, float] | None:
    """The solution of a 3 x 3 system by Cramer's rule, or None if singular."""
    (a00, a01, a02), (a10, a11, a12), (a20, a21, a22) = a.tolist()
    b0, b1, b2 = b.tolist()
    c0 = a11 * a22 - a12 * a21
    c1 = a12 * a20 - a10 * a22
    c2 = a10 * a21 - a11 * a20
    det = a00 * c0 + a01 * c1 + a02 * c2
    if det == 0.0 or not math.isfinite(det):
        return None
    s0 = (b0 * c0 + a01 * (a12 * b2 - b1 * a22) + a02 * (b1 * a21 - a11 * b2)) / det
    s1 = (a00 * (b1 * a22 - a12 * b2) + b0 * c1 + a02 * (a10 * b2 - b1 * a20)) / det
    s2 = (a00 * (a11 * b2 - b1 * a21) + a01 * (b1 * a20 - a10 * b2) + b0 * c2) / det
    return s0, s1, s2


def fit_circle_algebraic(x: FloatArray, y: FloatArray) -> tuple[float, float, float] | None:
    """The circle x^2 + y^2 + D x + E y + F = 0 nearest the points in the
    algebraic sense: one linear solve, good from a long arc.

    Examples
    --------
    >>> t = np.linspace(0, 2 * np.pi, 40, endpoint=False)
    >>> [round(v, 6) for v in fit_circle_algebraic(10 + 5 * np.cos(t), -3 + 5 * np.sin(t))]
    [10.0, -3.0, 5.0]
    """
    n = len(x)
    if n < 3:
        return None
    mx, my = float(np.add.reduce(x)) / n, float(np.add.reduce(y)) / n
    s = np.empty((4, n))
    u, v = np.subtract(x, mx, out=s[0]), np.subtract(y, my, out=s[1])
    s[2] = 1.0
    np.multiply(u, u, out=s[3])
    s[3] += v * v
    g = s @ s.T
    sol = _solve3(g[:3, :3], -g[:3, 3])
    if sol is None:
        return None
    d, e, f = sol
    cx, cy = -0.5 * d, -0.5 * e
    r2 = cx * cx + cy * cy - f
    if r2 <= 0.0:
        return None
    return cx + mx, cy + my, math.sqrt(r2)


def fit_circle(x: FloatArray, y: FloatArray, cx: float, cy: float, r: float,
               iterations: int = 3) -> tuple[float, float, float]:
    """Least-squares circle: minimises the sum of squared distances to it.

    Gauss-Newton iterations from a starting circle; with fewer than three
    points, or a degenerate system, the start is returned.

    Examples
    --------
    >>> t = np.linspace(0, 2 * np.pi, 40, endpoint=False)
    >>> fit = fit_circle(10 + 5 * np.cos(t), -3 + 5 * np.sin(t), 9.0, -2.0, 4.0, iterations=6)
    >>> [round(v, 6) for v in fit]
    [10.0, -3.0, 5.0]
    """
    if len(x) < 3:
        return cx, cy, r
    return _gauss_newton(x, y, cx, cy, r, iterations)


def _crossing_count(cx: float, cy: float, r: float, rows: list[float], columns: list[float],
                    width: int, height: int) -> int:
    """The number of :func:`_crossing_points` (rows and columns given as
    ascending lists), counted without them when the circle lies inside the
    frame."""
    if cx - r > 0.5 and cx + r < width - 1.5 and cy - r > 0.5 and cy + r < height - 1.5:
        return 2 * (bisect.bisect_left(rows, cy + r) - bisect.bisect_right(rows, cy - r)
                    + bisect.bisect_left(columns, cx + r) - bisect.bisect_right(columns, cx - r))
    return len(_crossing_points(cx, cy, r, np.array(rows), np.array(columns), width, height)[0])


def _crossing_points(cx: float, cy: float, r: float, rows: FloatArray, columns: FloatArray,
                     width: int, height: int) -> tuple[FloatArray, FloatArray]:
    """Where a circle crosses the scanned rows and columns, inside the frame
    and away from its edge."""
    h = r * r - (rows - cy) ** 2
    m = h > 0
    half, yr = np.sqrt(h[m]), rows[m]
    h2 = r * r - (columns - cx) ** 2
    m2 = h2 > 0
    half2, xc = np.sqrt(h2[m2]), columns[m2]
    xs = np.concatenate((cx - half, cx + half, xc, xc))
    ys = np.concatenate((yr, yr, cy - half2, cy + half2))
    keep = (xs > 0.5) & (xs < width - 1.5) & (ys > 0.5) & (ys < height - 1.5)
    return xs[keep], ys[keep]


def hidden(frame: npt.NDArray[np.uint8], cx: float, cy: float, r: float, xs: FloatArray,
           ys: FloatArray) -> npt.NDArray[np.bool_]:
    """Whether points of a circle's border are hidden by something dark and
    colourless in front of it (a robot's leg): the pixel two pixels inside
    the border there has chroma below 0.08 and intensity below 0.35."""
    k = 2.0 / max(r, 1.0)
    px = np.minimum(np.maximum(np.rint(xs + (cx - xs) * k), 0), frame.shape[1] - 1).astype(np.intp)
    py = np.minimum(np.maximum(np.rint(ys + (cy - ys) * k), 0), frame.shape[0] - 1).astype(np.intp)
    p = frame[py, px].astype(np.float64)
    a = p[:, 0] - 0.5 * (p[:, 1] + p[:, 2])
    b = 0.8660254037844386 * (p[:, 1] - p[:, 2])
    dark: npt.NDArray[np.bool_] = (a * a + b * b < 20.48 ** 2) & (p.sum(axis=1) < 0.35 * 768.0)
    return dark


def circle_support(x: FloatArray, y: FloatArray, cx: float, cy: float, r: float,
                   rows: FloatArray, columns: FloatArray, width: int, height: int,
                   tolerance: float, frame: npt.NDArray[np.uint8] | None = None) -> tuple[float, int]:
    """Support of a circle among border points, and its number of inliers.

    support = coverage * roundness, where coverage is the share of the
    expected crossings of the circle with the scanned rows and columns (those
    inside the frame and, with ``frame`` given, not hidden by something dark
    in front: :func:`hidden`) that have a border point within ``tolerance``,
    and roundness is the share of inliers among the border points on or
    outside the circle (a blob that is not round has border points outside
    the circle it is fitted to; points inside are the ball's own marks, a
    highlight or a bar in front of it).

    Examples
    --------
    >>> t = np.linspace(0, 2 * np.pi, 16, endpoint=False)
    >>> s, m = circle_support(50 + 20 * np.cos(t), 50 + 20 * np.sin(t), 50.0, 50.0, 20.0,
    ...                       np.array([50.0]), np.array([50.0]), 100, 100, 1.0)
    >>> m, round(s, 2)
    (16, 1.0)
    """
    dx, dy = x - cx, y - cy
    d = np.sqrt(dx * dx + dy * dy) - r
    inliers = int(np.count_nonzero(np.abs(d) <= tolerance))
    outside = int(np.count_nonzero(d > tolerance))
    xs, ys = _crossing_points(cx, cy, r, rows, columns, width, height)
    expected = len(xs)
    if frame is not None and inliers < expected:     # else coverage is full anyway
        expected -= int(np.count_nonzero(hidden(frame, cx, cy, r, xs, ys)))
    if expected <= 0 or inliers == 0:
        return 0.0, inliers
    coverage = min(1.0, inliers / expected)
    return coverage * inliers / (inliers + outside), inliers


@lru_cache(maxsize=1024)
def scan_lines(lines: int, count: int) -> FloatArray:
    """Positions of the distinct lines among the first ``count`` of a scan
    over ``lines`` lines (bit-reversed order), ascending.

    Examples
    --------
    >>> scan_lines(100, 4).tolist()
    [0.0, 25.0, 50.0, 75.0]
    """
    k = np.arange(min(max(count, 0), 65536), dtype=np.int64)
    rev = np.zeros_like(k)
    for bit in range(16):
        rev |= ((k >> bit) & 1) << (15 - bit)
    pos = np.sort((rev * lines) >> 16)
    out = pos[np.concatenate(([True], pos[1:] != pos[:-1]))].astype(np.float64)
    out.flags.writeable = False
    return out


def _denoised(points: IntArray, min_run: int) -> IntArray:
    """Runs of at least min_run pixels, joined across gaps shorter than it."""
    if min_run <= 1 or len(points) < 4:
        return points
    out = np.empty_like(points)
    n = orbisect.simple_denoise(points, out, min_run)
    return out[:n]


def region_scan(frame: npt.NDArray[np.uint8], window: dict[str, object], cx: float, cy: float,
                r: float, step: float) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray,
                                                 tuple[int, int, int, int]]:
    """Border points of a dense scan of the frame around a circle.

    The square around the circle, 1.4 times its radius plus a margin, is
    scanned along every ``step``-th row and column, :data:`MAX_DENSE_LINES`
    of each at most (a view of the frame, no copy).  Returns the borders' x and y, the scanned rows and columns, and
    the region (x0, y0, x1, y1).
    """
    height, width = int(frame.shape[0]), int(frame.shape[1])
    half = 1.4 * r + 4.0
    x0, x1 = max(int(cx - half), 0), min(int(math.ceil(cx + half)) + 1, width)
    y0, y1 = max(int(cy - half), 0), min(int(math.ceil(cy + half)) + 1, height)
    h, w = y1 - y0, x1 - x0
    empty = np.zeros(0)
    if h < 3 or w < 3:
        return empty, empty, empty, empty, (x0, y0, x1, y1)
    n_rows = min(max(2, int(h / step)), MAX_DENSE_LINES)
    n_cols = min(max(2, int(w / step)), MAX_DENSE_LINES)
    buf = np.empty((2 * (n_rows * w + n_cols * h) // 3 + 16, 2), np.int32)
    n = orbisect.simple_edge_hsv(frame[y0:y1, x0:x1], buf, window, n_rows, n_cols)
    # Borders on the region's edge are not the ball's: the region is wider.
    b = run_borders(_denoised(buf[:n], 2), w, h)
    xs = b[:, 0] * 0.5 + x0
    ys = b[:, 1] * 0.5 + y0
    rows = scan_lines(h, n_rows) + y0
    cols = scan_lines(w, n_cols) + x0
    return xs, ys, rows, cols, (x0, y0, x1, y1)


def refine_circle(x: FloatArray, y: FloatArray, cx: float, cy: float, r: float,
                  tolerance: float) -> tuple[float, float, float]:
    """Least-squares refits on the points near the circle: an algebraic fit
    to those within three times the tolerance, then a geometric one to
    those within the tolerance."""
    dx, dy = x - cx, y - cy
    near = np.abs(np.sqrt(dx * dx + dy * dy) - r) <= 3.0 * tolerance
    if np.count_nonzero(near) < 5:
        return cx, cy, r
    first = fit_circle_algebraic(x[near], y[near])
    if first is not None:
        cx, cy, r = first
    dx, dy = x - cx, y - cy
    near = np.abs(np.sqrt(dx * dx + dy * dy) - r) <= tolerance
    if np.count_nonzero(near) < 5:
        return cx, cy, r
    return fit_circle(x[near], y[near], cx, cy, r)


def _parallel_pairs(pos: FloatArray, lo: FloatArray, hi: FloatArray, agree: float
                    ) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Circles through pairs of parallel chords with the same middle.

    Chords at positions ``pos`` across the scan direction, from ``lo`` to
    ``hi`` along it.  Two chords of one circle share their middle (the
    centre's coordinate along the chords), and their half-lengths h1, h2 at
    positions p1, p2 give the centre's other coordinate:
    c = (h1^2 - h2^2 + p1^2 - p2^2) / (2 (p1 - p2)).
    Returns the centres' coordinate across the chords, along them, and radii.
    """
    mid = (lo + hi) * 0.5
    half2 = ((hi - lo) * 0.5) ** 2
    i, j = np.nonzero((np.abs(mid[:, None] - mid[None, :]) <= agree)
                      & (pos[None, :] - pos[:, None] >= 4.0))
    c = (half2[i] - half2[j] + pos[i] ** 2 - pos[j] ** 2) / (2.0 * (pos[i] - pos[j]))
    r = np.sqrt(half2[i] + (pos[i] - c) ** 2)
    return c, (mid[i] + mid[j]) * 0.5, r


def chord_candidates(runs: IntArray, width: int, height: int, min_r: float, max_r: float,
                     agree: float = 2.5, count: int = 4) -> list[tuple[float, float, float, int]]:
    """Circles proposed by pairs of chords, strongest first.

    A row run and a column run that cross each other are two chords of the
    same object.  Were it a circle, the row chord's middle would give the
    centre's x, the column chord's middle its y, and each chord, with its
    distance from the centre, the radius: the pair proposes a circle when
    the two radii agree within ``agree`` pixels.  Two parallel chords whose
    middles agree propose the circle through both (a bar in front of a ball
    cuts its row chords, but the column chords beside the bar are whole).
    A proposal's votes are the proposals that agree with it within 3 px; the
    best ``count`` (four) that do not agree with one another are returned.  Runs
    touching the frame's edge propose nothing, nor do runs too long to be a
    chord of a circle of radius ``max_r``.

    The work is bounded whatever the runs: the first :data:`MAX_CHORDS` row
    runs and column runs are paired, and every k-th proposal votes when
    there are more than :data:`MAX_PROPOSALS`.

    Returns
    -------
    list of (cx, cy, r, votes)

    Examples
    --------
    >>> runs = np.array([[40, 50, 61, 50], [50, 40, 50, 61]], np.int32)   # one row, one column
    >>> [(round(cx, 1), round(cy, 1), round(r, 1), v) for cx, cy, r, v in
    ...  chord_candidates(runs.reshape(-1, 2), 100, 100, 5, 50)]
    [(50.0, 50.0, 10.5, 1)]
    """
    q = runs[: len(runs) & ~1].reshape(-1, 4)
    # A chord is no longer than the diameter, and each proposal's radius is
    # at least half its chords: longer runs would only propose circles
    # larger than max_r (1 px of slack against rounding).
    longest = 2.0 * (max_r + agree + 1.0)
    row = (q[:, 1] == q[:, 3]) & (q[:, 0] > 0) & (q[:, 2] < width - 1) & (q[:, 2] - q[:, 0] <= longest)
    col = ((q[:, 0] == q[:, 2]) & (q[:, 1] > 0) & (q[:, 3] < height - 1) & ~row
           & (q[:, 3] - q[:, 1] <= longest))
    r_runs = q[row][:MAX_CHORDS].astype(np.float64)
    c_runs = q[col][:MAX_CHORDS].astype(np.float64)
    # Row chord at y, borders at xs - 0.5 and xe - 0.5; column chord likewise.
    ry, ra, rb = r_runs[:, 1], r_runs[:, 0] - 0.5, r_runs[:, 2] - 0.5
    cx_, ca, cb = c_runs[:, 0], c_runs[:, 1] - 0.5, c_runs[:, 3] - 0.5
    xs, ys, rs = [], [], []
    if len(ry) and len(cx_):
        cross = ((ra[:, None] < cx_) & (cx_ < rb[:, None]) & (ca < ry[:, None]) & (ry[:, None] < cb))
        i, j = np.nonzero(cross)
        mx = (ra[i] + rb[i]) * 0.5
        my = (ca[j] + cb[j]) * 0.5
        r1 = np.sqrt(((rb[i] - ra[i]) * 0.5) ** 2 + (ry[i] - my) ** 2)
        r2 = np.sqrt(((cb[j] - ca[j]) * 0.5) ** 2 + (cx_[j] - mx) ** 2)
        ok = np.abs(r1 - r2) <= agree
        xs.append(mx[ok])
        ys.append(my[ok])
        rs.append((r1[ok] + r2[ok]) * 0.5)
    if len(cx_) > 1:
        cy_, cx2, cr = _parallel_pairs(cx_, ca, cb, agree)
        xs.append(cy_)
        ys.append(cx2)
        rs.append(cr)
    if len(ry) > 1:
        cy2, cx3, cr = _parallel_pairs(ry, ra, rb, agree)
        xs.append(cx3)
        ys.append(cy2)
        rs.append(cr)
    if not xs:
        return []
    mx, my, rr = np.concatenate(xs), np.concatenate(ys), np.concatenate(rs)
    ok = (rr >= min_r) & (rr <= max_r)
    mx, my, rr = mx[ok], my[ok], rr[ok]
    if len(mx) == 0:
        return []
    if len(mx) > MAX_PROPOSALS:
        every = -(-len(mx) // MAX_PROPOSALS)
        mx, my, rr = mx[::every], my[::every], rr[::every]
    # Each proposal's votes are the proposals within 3 px of it (centre and
    # radius); the best is taken, its neighbours dropped, and so on.
    near = (np.abs(mx[:, None] - mx) + np.abs(my[:, None] - my) + np.abs(rr[:, None] - rr)) <= 3.0
    votes = near.sum(axis=1)
    out: list[tuple[float, float, float, int]] = []
    taken = np.zeros(len(mx), bool)
    for k in np.argsort(-votes, kind="stable").tolist():
        if taken[k]:
            continue
        taken |= near[k]
        out.append((float(mx[k]), float(my[k]), float(rr[k]), int(votes[k])))
        if len(out) == count:
            break
    return out


def _gauss_newton(x: FloatArray, y: FloatArray, cx: float, cy: float, r: float,
                  iterations: int) -> tuple[float, float, float]:
    """Geometric circle fit steps: the residual of a point is its distance
    to the centre less r, whose gradient in (cx, cy, r) is -(dx/d, dy/d, 1)."""
    j = np.empty((3, len(x)))
    j[2] = 1.0
    for _ in range(iterations):
        dx, dy = x - cx, y - cy
        d = np.sqrt(dx * dx + dy * dy)
        np.maximum(d, 1e-9, out=d)
        np.divide(dx, d, out=j[0])
        np.divide(dy, d, out=j[1])
        step = _solve3(np.dot(j, j.T), np.dot(j, d - r))
        if step is None:
            break
        cx, cy, r = cx + step[0], cy + step[1], r + step[2]
        if abs(step[0]) + abs(step[1]) + abs(step[2]) < 1e-4:
            break
    return cx, cy, r


def _check(frame: npt.NDArray[np.uint8], window: dict[str, object], cx: float, cy: float, r: float,
           search: BallSearch, report: list[dict[str, Any]] | None = None) -> Ball | None:
    """A candidate refined and scored on a dense scan around it.

    The circle is refitted twice to the dense border points near it (within
    twice, then once the tolerance), then scored as :func:`circle_support`
    does, with crossings hidden by something dark in front not expected,
    times one less twice the share of ball colour on a ring around it
    (:func:`outside_share`).
    """
    height, width = frame.shape[0], frame.shape[1]
    tol = search.tolerance
    step = min(max(r / 8.0, 1.0), 4.0)
    xs, ys, rows, cols, _ = region_scan(frame, window, cx, cy, r, step)
    if len(xs) < 5:
        return None
    for band in (2.0 * tol, tol):
        dx, dy = xs - cx, ys - cy
        near = np.abs(np.sqrt(dx * dx + dy * dy) - r) <= band
        if np.count_nonzero(near) < 5:
            return None
        cx, cy, r = _gauss_newton(xs[near], ys[near], cx, cy, r, 2)
    lo, hi = search.r_range
    if not (math.isfinite(cx) and math.isfinite(cy) and math.isfinite(r)):
        return None
    support, inliers = circle_support(xs, ys, cx, cy, r, rows, cols, width, height, tol, frame)
    if inliers == 0:
        return None
    ball = Ball(cx, cy, r, support * max(0.0, 1.0 - 2.0 * outside_share(frame, window, cx, cy, r)))
    if not lo <= r <= hi:
        _note(report, ball, "outside the size range")
        return None
    return ball


def _note(report: list[dict[str, Any]] | None, ball: Ball, verdict: str) -> None:
    if report is not None:
        report.append({"x": round(ball.x, 2), "y": round(ball.y, 2), "r": round(ball.r, 2),
                       "support": round(ball.support, 3), "verdict": verdict})


def disc_saturation(frame: npt.NDArray[np.uint8], cx: float, cy: float, r: float) -> float:
    """Saturation, (max - min) / max of the channels, of the median pixel of
    a grid inside 0.8 r of the centre, dark colourless ones (a bar in front)
    left out; NaN when no pixel is left.

    Examples
    --------
    >>> frame = np.zeros((40, 40, 3), np.uint8); frame[:] = (230, 120, 25)
    >>> round(disc_saturation(frame, 20.0, 20.0, 10.0), 2)
    0.89
    """
    h, w = frame.shape[0], frame.shape[1]
    px = np.clip(np.rint(cx + _DISC[0] * r), 0, w - 1).astype(np.intp)
    py = np.clip(np.rint(cy + _DISC[1] * r), 0, h - 1).astype(np.intp)
    p = frame[py, px].astype(np.float64)
    mx, mn = p.max(axis=1), p.min(axis=1)
    keep = ~((mx < 0.35 * 255.0) & (mx - mn < 25.0))
    if not keep.any():
        return math.nan
    return float(np.median((mx[keep] - mn[keep]) / np.maximum(mx[keep], 1.0)))


# A grid of 69 points inside the unit disc of radius 0.8.
_G = np.linspace(-0.8, 0.8, 9)
_GX, _GY = np.meshgrid(_G, _G)
_DISC = np.stack((_GX[_GX ** 2 + _GY ** 2 <= 0.64 + 1e-9], _GY[_GX ** 2 + _GY ** 2 <= 0.64 + 1e-9]))


def settle(frame: npt.NDArray[np.uint8], ball: Ball, search: BallSearch, order: ChannelOrder = "rgb",
           report: list[dict[str, Any]] | None = None, window: dict[str, object] | None = None
           ) -> Ball | None:
    """A supported candidate moved onto the image's border and tested as a
    ball: of the ball's saturation inside, round where the borders are.

    Returns None (and notes why in ``report``) for a candidate that is pale
    (skin), oval (a head, a hand), or that the border fit takes out of the
    size range.

    Examples
    --------
    >>> yy, xx = np.mgrid[:100, :100]
    >>> cover = np.clip(20.5 - np.hypot(xx - 50, yy - 50), 0, 1)[..., None]
    >>> skin = (cover * [225, 175, 140] + (1 - cover) * [50, 140, 60]).astype(np.uint8)
    >>> settle(skin, Ball(50.0, 50.0, 19.0, 0.9), BallSearch().for_frame(100, 100)) is None
    True
    """
    lo, hi = search.r_range
    if search.refine:
        fit = refine_circle_border(frame, ball.x, ball.y, ball.r, order=order, window=window)
        if fit.found:
            # An arc (a ball cut by the frame or partly hidden) tells little
            # of the shape: only a border seen nearly all round is judged.
            if fit.coverage >= 0.75 and fit.ellipticity > search.max_ellipticity:
                _note(report, ball, "oval")
                return None
            ball = Ball(fit.x, fit.y, fit.r, ball.support)
    if not lo <= ball.r <= hi:
        _note(report, ball, "outside the size range")
        return None
    if search.min_saturation > 0:
        sat = disc_saturation(frame, ball.x, ball.y, ball.r)
        if not sat >= search.min_saturation:
            _note(report, ball, "pale inside")
            return None
    return ball


# Directions of the samples of outside_share().
_RING = np.exp(2j * np.pi * np.arange(48) / 48)


def outside_share(frame: npt.NDArray[np.uint8], window: dict[str, object], cx: float, cy: float,
                  r: float) -> float:
    """Share of the frame's pixels on a ring just outside the circle that
    are inside the window.

    Around a ball that share is small (grass, its shadow, a line, a bar);
    around one lobe of a ball-coloured blob the other lobe is on the ring.
    """
    height, width = frame.shape[0], frame.shape[1]
    reach = 1.15 * r + 2.0
    ring = (cx + 1j * cy) + reach * _RING
    xs = np.rint(ring.real).astype(np.intp)
    ys = np.rint(ring.imag).astype(np.intp)
    if cx - reach < 0 or cy - reach < 0 or cx + reach > width - 1 or cy + reach > height - 1:
        ok = (xs >= 0) & (xs < width) & (ys >= 0) & (ys < height)
        xs, ys = xs[ok], ys[ok]
    n = len(xs)
    if n == 0:
        return 0.0
    px = frame[ys, xs].reshape(1, n, 3)
    inside = np.empty((1, n), np.uint8)
    orbisect.mask_image_cy_impl(px, inside, window)
    return int(np.count_nonzero(inside)) / n


def _coarse(frame: npt.NDArray[np.uint8], window: dict[str, object], x: FloatArray, y: FloatArray,
            ring: npt.NDArray[np.bool_], cx: float, cy: float, r: float, rows: list[float],
            columns: list[float], search: BallSearch) -> Ball | None:
    """A candidate settled on the coarse points alone, or None when it takes
    a dense check: refitted to its points, it must have no coarse point just
    outside it, border points on 90 % of the coarse crossings, and no ball
    colour around it."""
    height, width = frame.shape[0], frame.shape[1]
    cx, cy, r = _gauss_newton(x[ring], y[ring], cx, cy, r, 2)
    lo, hi = search.r_range
    if not (lo <= r <= hi and math.isfinite(cx) and math.isfinite(cy)):
        return None
    dx, dy = x - cx, y - cy
    d = np.sqrt(dx * dx + dy * dy) - r
    tol = search.tolerance
    inliers = int(np.count_nonzero(np.abs(d) <= tol))
    if inliers < 16 or np.count_nonzero((d > tol) & (d < 0.5 * r)):
        return None
    expected = _crossing_count(cx, cy, r, rows, columns, width, height)
    if expected == 0 or inliers < 0.9 * expected:
        return None
    share = outside_share(frame, window, cx, cy, r)
    if share > 0.02:
        return None
    return Ball(cx, cy, r, min(1.0, inliers / expected) * (1.0 - 2.0 * share))


def overlaps(a: Ball, b: Ball) -> bool:
    """Whether two balls are one: their centres are nearer than the larger
    radius.

    Examples
    --------
    >>> overlaps(Ball(0.0, 0.0, 10.0, 0.9), Ball(8.0, 0.0, 4.0, 0.9))
    True
    >>> overlaps(Ball(0.0, 0.0, 10.0, 0.9), Ball(12.0, 0.0, 4.0, 0.9))
    False
    """
    return math.hypot(a.x - b.x, a.y - b.y) < max(a.r, b.r)


def find_ball(borders: IntArray, frame: npt.NDArray[np.uint8], window: dict[str, object],
              search: BallSearch, runs: IntArray | None = None, rows: FloatArray | None = None,
              columns: FloatArray | None = None, *, order: ChannelOrder = "rgb",
              report: list[dict[str, Any]] | None = None, max_balls: int = 1) -> Ball | None:
    """The best supported circle in a frame: the first of :func:`find_balls`
    (which takes the same arguments), or None.

    Examples
    --------
    >>> frame = np.zeros((120, 160, 3), np.uint8); frame[:] = (60, 140, 50)
    >>> find_ball(np.zeros((0, 2), np.int32), frame, {}, BallSearch()) is None
    True
    """
    balls = find_balls(borders, frame, window, search, runs, rows, columns, order=order,
                       report=report, max_balls=max_balls)
    return balls[0] if balls else None


def find_balls(borders: IntArray, frame: npt.NDArray[np.uint8], window: dict[str, object],
               search: BallSearch, runs: IntArray | None = None, rows: FloatArray | None = None,
               columns: FloatArray | None = None, *, order: ChannelOrder = "rgb",
               report: list[dict[str, Any]] | None = None, max_balls: int = 1) -> list[Ball]:
    """The supported circles of a frame that are balls, the best first.

    Candidates come first from RANSAC over the coarse border points (each
    refined on them, and skipped when many coarse points lie just outside
    it), then, unless the balls found are clearly good, from pairs of chords
    of the coarse runs (:func:`chord_candidates`), which propose a small
    ball that larger blobs outvote.  Each is checked on a dense scan around
    it.

    A candidate that reaches ``search.min_support`` and passes
    :func:`settle` is kept unless it :func:`overlaps` a ball kept already
    that is as strong; a stronger one replaces the weaker balls it
    overlaps.  At most ``max_balls`` are kept, the strongest; the search
    ends early only when it holds ``max_balls`` balls whose support is
    all above 0.85.  Each candidate circle is found once: the RANSAC search
    drops the border points near each circle it has tried.

    Parameters
    ----------
    borders : ndarray
        (m, 2) int32 doubled borders of the coarse scan (:func:`run_borders`),
        in an order that mixes the scan lines (the sampler pairs indices by
        a congruential sequence); only the first :data:`MAX_BORDERS` are
        used.
    frame : ndarray
        The frame, for the dense scans that check each candidate.
    window : mapping
        The ball's window, as the kernels take it.
    search : BallSearch
        Parameters.
    runs : ndarray, optional
        The coarse runs (start and end points) the borders come from, for
        the chord candidates.
    rows, columns : ndarray, optional
        The coarse scan's rows and columns: with them, a candidate that the
        coarse points alone show clearly is settled without a dense check.
    order : {"rgb", "bgr"}
        Channel order of the frame (for the border refinement).
    report : list, optional
        Receives a dict per candidate scored: x, y, r, support and its
        verdict ("ball" for each ball returned, "weak", "weaker than the
        ball", "pale inside", "oval", "outside the size range"); when no
        ball is found, also a supported candidate beyond the largest
        radius, if there is one.
    max_balls : int
        Most balls returned, from 1 to :data:`MAX_BALLS`; the RANSAC
        circles and the chord circles tried grow with it (``candidates``
        and four, times ``max_balls``).

    Returns
    -------
    list of Ball
        Empty when no candidate reaches ``search.min_support`` and passes
        :func:`settle`.

    Raises
    ------
    TypeError, ValueError
        For ``max_balls`` not an int from 1 to :data:`MAX_BALLS`.

    Examples
    --------
    >>> frame = np.zeros((120, 160, 3), np.uint8); frame[:] = (60, 140, 50)
    >>> find_balls(np.zeros((0, 2), np.int32), frame, {}, BallSearch(), max_balls=3)
    []
    """
    max_balls = integer("max_balls", max_balls, 1, MAX_BALLS)
    height, width = frame.shape[0], frame.shape[1]
    search = search.for_frame(height, width)
    lo, hi = search.r_range
    found: list[Ball] = []          # the balls kept, strongest first
    tol = search.tolerance
    tried: list[tuple[float, float, float]] = []
    refused = [0]               # candidates refused as pale or oval: as many more are tried

    def done() -> bool:
        """Whether the search holds all the balls it may, each clearly one."""
        return len(found) == max_balls and found[-1].support > 0.85

    def accept(ball: Ball | None) -> None:
        if ball is None:
            return
        if ball.support < search.min_support:
            _note(report, ball, "weak")
            return
        # Weaker than a ball it overlaps, or than the weakest of a full set.
        rivals = [b for b in found if overlaps(ball, b)] or found[max_balls - 1:]
        if any(ball.support <= b.support for b in rivals):
            _note(report, ball, "weaker than the ball")
            return
        settled = settle(frame, ball, search, order, report, window)
        if settled is None:
            refused[0] += 1
            return
        # Settling moves it: the balls it overlaps now are the ones it replaces.
        if any(overlaps(settled, b) and settled.support <= b.support for b in found):
            _note(report, settled, "weaker than the ball")
            return
        kept = [b for b in found if not overlaps(settled, b)]
        at = next((k for k, b in enumerate(kept) if b.support < settled.support), len(kept))
        found[:] = (kept[:at] + [settled] + kept[at:])[:max_balls]

    def check(cx: float, cy: float, r: float) -> bool:
        """Checks a candidate; True when the search is done."""
        if any(abs(cx - x) + abs(cy - y) + abs(r - rr) < 3.0 for x, y, rr in tried):
            return False
        tried.append((cx, cy, r))
        accept(_check(frame, window, cx, cy, r, search, report))
        return done()

    pts = borders[:MAX_BORDERS]
    x, y = pts[:, 0] * 0.5, pts[:, 1] * 0.5
    tries = 0
    budget = search.candidates * max_balls
    while tries < budget + min(refused[0], budget):
        tries += 1
        if len(pts) < 5:
            break
        c = orbisect.ransac_circle(pts, search.iterations, int(2 * lo),
                                   int(math.ceil(2 * hi)), int(math.ceil(2 * tol)))
        if c["r"] <= 0:
            break
        cx, cy, r = c["x"] * 0.5, c["y"] * 0.5, c["r"] * 0.5
        dx, dy = x - cx, y - cy
        d = np.sqrt(dx * dx + dy * dy) - r
        ring = np.abs(d) <= 2 * tol
        on = int(np.count_nonzero(ring))
        # A blob that is not round leaves coarse points just outside the
        # circle fitted to part of it.
        if (lo <= r <= hi and on >= 4
                and np.count_nonzero((d > 2 * tol) & (d < 0.5 * r)) <= on):
            if on >= 16 and rows is not None and columns is not None:
                # Plenty of coarse points: refit on them, and settle it here
                # when they cover the circle and nothing ball-coloured is
                # around it.
                fast = _coarse(frame, window, x, y, ring, cx, cy, r, rows.tolist(),
                               columns.tolist(), search)
                if fast is not None:
                    tried.append((cx, cy, r))
                    accept(fast)
                    if done():
                        return _found(found, report)
            if check(cx, cy, r):
                return _found(found, report)
        keep = ~ring
        pts, x, y = pts[keep], x[keep], y[keep]
        pts = np.ascontiguousarray(pts)
    if runs is not None:
        for cx, cy, r, _ in chord_candidates(runs, width, height, lo, hi, count=4 * max_balls):
            if check(cx, cy, r):
                break
        if not found and report is not None:
            # Name a ball larger than the range rather than lose it silently.
            top = max(hi, min(65536.0, 4.0 * max(height, width)))
            big = replace(search, min_r=hi, max_r=top)
            for cx, cy, r, _ in chord_candidates(runs, width, height, hi, top)[:2]:
                ball = _check(frame, window, cx, cy, r, big)
                if ball is not None and ball.support >= search.min_support and ball.r > hi:
                    _note(report, ball, "outside the size range")
    return _found(found, report)


def _found(found: list[Ball], report: list[dict[str, Any]] | None) -> list[Ball]:
    for ball in found:
        _note(report, ball, "ball")
    return list(found)
