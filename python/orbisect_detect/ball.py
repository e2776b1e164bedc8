"""The ball: its record, the search's settings, and the pieces of the
search that are useful on their own.

The search itself runs in the package's native core, one call per frame
(:class:`~orbisect_detect.FieldDetector`).  The scan gives, along chosen rows
and columns, the first pixel inside the ball's window and the first pixel
after it outside; the colour's border lies half a pixel before each of them.
Circles are fitted to those borders by RANSAC, each candidate refined by a
geometric least squares fit to the points near it on a dense scan around
it, scored (support: the share of the scanned lines crossing the circle that
found its border there, times the share of nearby border points that lie on
it, times one less twice the share of ball colour on a ring around it),
moved onto the image's border (:func:`~orbisect_detect.borders.refine_circle_border`)
and tested as a ball: round where its border is seen, of the ball's
saturation inside (:func:`disc_saturation`).  Candidates come first from the
coarse borders, then from pairs of chords of the coarse runs
(:func:`chord_candidates`), which propose a small ball that larger blobs
outvote.

Bounded work.  Whatever the frame shows, each stage handles at most a fixed
number of items, so that a frame of stripes, checkerboards or speckle in the
ball's colour costs about what an ordinary one does:

- the RANSAC search sees at most :data:`MAX_BORDERS` (2047) coarse border
  points, a prefix of the borders in an order that mixes the scan lines (so
  a sample spread over the frame);
- :func:`chord_candidates` pairs at most :data:`MAX_CHORDS` (128) row runs
  and as many column runs, the first of the scan, after dropping runs too
  long to be a chord of a ball of radius ``max_r``, and votes among at most
  :data:`MAX_PROPOSALS` (256) proposals, every k-th when there are more;
- a candidate's dense scan reads at most :data:`MAX_DENSE_LINES` (64) rows
  and as many columns of the square around it, each sampled at most 257
  times with its changes located by bisection (at most 256 a line);
- runs across the short runs of the scan (those of at most 48 px, the first
  :data:`MAX_CHORDS` rows and columns) read at most 3 lengths and 4 px on
  either side, to propose small balls that no scanned line crosses twice;
- at most ``candidates`` RANSAC circles (twice as many when some are
  refused as pale or oval) and four chord circles are checked, each times
  ``max_balls`` when several balls are searched for: with ``candidates``
  and ``max_balls`` at their largest, 16 each, at most 512 RANSAC circles
  and 64 chord circles.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from functools import lru_cache
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core
from ._checks import integer, real

__all__ = ["MAX_BALLS", "MAX_BORDERS", "MAX_CHORDS", "MAX_DENSE_LINES", "MAX_PROPOSALS", "VERDICTS",
           "Ball", "BallSearch", "chord_candidates", "disc_saturation", "fit_circle",
           "fit_circle_algebraic", "overlaps", "refine_circle", "scan_lines"]

FloatArray = npt.NDArray[np.floating[Any]]
IntArray = npt.NDArray[np.int32]

#: Most coarse border points the RANSAC search of one frame sees (odd, so
#: that the sampler's congruential sequence keeps mixing).
MAX_BORDERS: int = _core.MAX_BORDERS
#: Most row runs, and most column runs, that :func:`chord_candidates` pairs.
MAX_CHORDS: int = _core.MAX_CHORDS
#: Most chord proposals that vote in :func:`chord_candidates`.
MAX_PROPOSALS: int = _core.MAX_PROPOSALS
#: Most rows, and most columns, of a candidate's dense scan.
MAX_DENSE_LINES: int = _core.MAX_DENSE_LINES
#: Most balls one search reports.
MAX_BALLS: int = _core.MAX_BALLS
#: What became of a candidate the search scored, as the detector's
#: diagnostics name it.
VERDICTS: tuple[str, ...] = ("ball", "weak", "weaker than the ball", "pale inside", "oval",
                             "outside the size range", "cut by the frame")

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
        ``max_r_share`` of the frame's height (at least 3 px).  A candidate
        may start up to a pixel below ``min_r`` (a colour window cuts a
        small ball's blurred border inside it); the radius it settles at on
        the image's border must lie in the range.
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
        on three quarters of them at least, and only where the flattening
        is more than a pixel on either axis: a head, a hand or a knee is
        oval, a ball round.
    cut_support : float
        Support a ball needs beyond ``min_support`` for each share of its
        circle that lies outside the frame (0.35: a ball cut in half needs
        0.65 + 0.175): an arc at the frame's edge shows less of the shape,
        and a patch of shirt or skin there fits one.  0 judges a cut ball
        like a whole one.
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
        ``max_ellipticity`` and ``cut_support`` from 0 to 1.

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
    cut_support: float = 0.35
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
            "cut_support": real("cut_support", self.cut_support, 0.0, 1.0),
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


def _doubles(v: Any) -> npt.NDArray[np.float64]:
    return np.ascontiguousarray(v, dtype=np.float64).reshape(-1)


def fit_circle_algebraic(x: FloatArray, y: FloatArray) -> tuple[float, float, float] | None:
    """The circle x^2 + y^2 + D x + E y + F = 0 nearest the points in the
    algebraic sense: one linear solve, good from a long arc.

    Returns None with fewer than three points, collinear points, or no real
    radius.

    Examples
    --------
    >>> t = np.linspace(0, 2 * np.pi, 40, endpoint=False)
    >>> [round(v, 6) for v in fit_circle_algebraic(10 + 5 * np.cos(t), -3 + 5 * np.sin(t))]
    [10.0, -3.0, 5.0]
    """
    return _core.fit_circle_algebraic(_doubles(x), _doubles(y))


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
    iterations = integer("iterations", iterations, 0, 1000)
    return _core.fit_circle(_doubles(x), _doubles(y), float(cx), float(cy), float(r), iterations)


def refine_circle(x: FloatArray, y: FloatArray, cx: float, cy: float, r: float,
                  tolerance: float) -> tuple[float, float, float]:
    """Least-squares refits on the points near the circle: an algebraic fit
    to those within three times the tolerance, then a geometric one to
    those within the tolerance.

    Examples
    --------
    >>> t = np.linspace(0, 2 * np.pi, 40, endpoint=False)
    >>> [round(v, 3) + 0.0 for v in refine_circle(5 * np.cos(t), 5 * np.sin(t), 0.3, 0.2, 5.4, 1.5)]
    [0.0, 0.0, 5.0]
    """
    x, y = _doubles(x), _doubles(y)
    near = np.abs(np.hypot(x - cx, y - cy) - r) <= 3.0 * tolerance
    if np.count_nonzero(near) < 5:
        return cx, cy, r
    first = fit_circle_algebraic(x[near], y[near])
    if first is not None:
        cx, cy, r = first
    near = np.abs(np.hypot(x - cx, y - cy) - r) <= tolerance
    if np.count_nonzero(near) < 5:
        return cx, cy, r
    return fit_circle(x[near], y[near], cx, cy, r)


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
    best ``count`` that do not agree with one another are returned.  Runs
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
    pts = np.ascontiguousarray(np.asarray(runs, dtype=np.int32).reshape(-1, 2))
    return list(_core.chord_candidates(pts, int(width), int(height), float(min_r), float(max_r),
                                       float(agree), integer("count", count, 0, 1 << 20)))


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
    from .detector import prepare_frame  # noqa: PLC0415 - the detector imports this module
    img, _ = prepare_frame(frame, "rgb")
    return float(_core.disc_saturation(img, float(cx), float(cy), float(r)))


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
