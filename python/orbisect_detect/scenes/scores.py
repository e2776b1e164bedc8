"""Scores of a detector against the scenes' truth: balls, lines and their tally.

Examples
--------
>>> from orbisect_detect.scenes import Tally, make_scenes
>>> tally = Tally()
>>> for scene in make_scenes(seed=1, count=3):
...     _ = tally.add(scene, scene.ball, scene.lines)   # the truth scores perfectly
>>> tally.summary().line_recall
100.0
"""
from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Protocol

import numpy as np

from .field import BallTruth, LineTruth, Scene, segment_distance

__all__ = ["BallLike", "LineLike", "BallScore", "LineScore", "score_ball", "line_fit",
           "score_lines", "Summary", "Tally", "format_table", "LINE_ANGLE_LIMIT", "LINE_MARGIN"]


class BallLike(Protocol):
    """Anything with a ball's centre and radius (a detector's result, a truth).

    Examples
    --------
    >>> ball: BallLike = BallTruth(10.0, 20.0, 5.0, cut=False, occluded=False)
    """

    @property
    def x(self) -> float: ...
    @property
    def y(self) -> float: ...
    @property
    def r(self) -> float: ...


class LineLike(Protocol):
    """Anything with the two end points of a segment.

    Examples
    --------
    >>> line: LineLike = LineTruth(0.0, 0.0, 100.0, 0.0, 5.0)
    """

    @property
    def x0(self) -> float: ...
    @property
    def y0(self) -> float: ...
    @property
    def x1(self) -> float: ...
    @property
    def y1(self) -> float: ...


@dataclass(frozen=True)
class BallScore:
    """How a reported ball (or its absence) compares with the truth.

    Attributes
    ----------
    present : bool
        The frame holds a ball.
    reported : bool
        The detector reported a ball.
    centre_error : float
        Distance between the centres; NaN unless present and reported.
    radius_error : float
        Reported minus true radius; NaN unless present and reported.
    within2, within5 : bool
        Centre error and absolute radius error both at most 2 (5) px.
    false_ball : bool
        A reported ball farther than max(5, r / 2) px from the true centre,
        or any reported ball in a frame without one.

    Examples
    --------
    >>> truth = BallTruth(100.0, 100.0, 20.0, cut=False, occluded=False)
    >>> score_ball(BallTruth(103.0, 100.0, 21.0, False, False), truth).within5
    True
    """

    present: bool
    reported: bool
    centre_error: float
    radius_error: float
    within2: bool
    within5: bool
    false_ball: bool


def score_ball(found: BallLike | None, truth: BallTruth | None) -> BallScore:
    """Scores one reported ball against the frame's ball.

    Parameters
    ----------
    found : BallLike or None
        The detector's ball, None when it reported none.
    truth : BallTruth or None
        The frame's ball, None when the frame holds none.

    Returns
    -------
    BallScore

    Examples
    --------
    >>> score_ball(BallTruth(5.0, 5.0, 15.0, False, False), None).false_ball
    True
    >>> score_ball(None, None).false_ball
    False
    """
    if found is None or truth is None:
        return BallScore(truth is not None, found is not None, math.nan, math.nan,
                         False, False, found is not None)
    err = math.hypot(found.x - truth.x, found.y - truth.y)
    rerr = float(found.r) - truth.r
    return BallScore(True, True, err, rerr, err <= 2 and abs(rerr) <= 2,
                     err <= 5 and abs(rerr) <= 5, err > max(5.0, truth.r / 2))


LINE_ANGLE_LIMIT = 1.0
"""Largest angle in degrees between a found line and the true one it matches."""
LINE_MARGIN = 2.0
"""Distance in px beyond half the stripe's width that a found end point may lie
from the true centre line."""


def line_fit(found: LineLike, truth: LineTruth) -> float | None:
    """Whether a found segment matches a true stripe, and how closely.

    A match: the angle between them is at most 1 degree, and both found end
    points lie within ``truth.width / 2 + 2`` px of the true centre-line
    segment (the segment, not its infinite extension, so a found line that
    runs on past a painted end does not match).

    Parameters
    ----------
    found : LineLike
        The found segment.
    truth : LineTruth
        The true stripe.

    Returns
    -------
    float or None
        The larger distance of the two end points from the centre line when
        they match (smaller is better), else None.

    Examples
    --------
    >>> truth = LineTruth(0.0, 50.0, 300.0, 50.0, 6.0)
    >>> line_fit(LineTruth(10.0, 51.0, 290.0, 52.0, 6.0), truth)
    2.0
    >>> line_fit(LineTruth(10.0, 51.0, 290.0, 60.0, 6.0), truth) is None
    True
    """
    fx, fy = found.x1 - found.x0, found.y1 - found.y0
    tx, ty = truth.x1 - truth.x0, truth.y1 - truth.y0
    if fx == 0 and fy == 0 or tx == 0 and ty == 0:
        return None
    angle = math.degrees(math.atan2(abs(fx * ty - fy * tx), abs(fx * tx + fy * ty)))
    if angle > LINE_ANGLE_LIMIT:
        return None
    d = segment_distance(np.array([found.x0, found.x1], np.float64),
                          np.array([found.y0, found.y1], np.float64),
                          truth.x0, truth.y0, truth.x1, truth.y1)
    worst = float(d.max())
    return worst if worst <= truth.width / 2 + LINE_MARGIN else None


@dataclass(frozen=True)
class LineScore:
    """One-to-one matching of found lines to the true stripes of a frame.

    Attributes
    ----------
    true_count, found_count : int
        Numbers of true and found lines.
    pairs : tuple of (int, int)
        Matched (true index, found index) pairs.

    Examples
    --------
    >>> t = LineTruth(0.0, 50.0, 300.0, 50.0, 6.0)
    >>> score_lines([t, t], [t]).matched     # the duplicate stays unmatched
    1
    """

    true_count: int
    found_count: int
    pairs: tuple[tuple[int, int], ...]

    @property
    def matched(self) -> int:
        """Number of matched pairs."""
        return len(self.pairs)


def score_lines(found: Sequence[LineLike], truth: Sequence[LineTruth]) -> LineScore:
    """Matches found lines to true stripes one to one, closest pairs first.

    Parameters
    ----------
    found : sequence of LineLike
        The detector's lines.
    truth : sequence of LineTruth
        The frame's stripes.

    Returns
    -------
    LineScore

    Examples
    --------
    >>> t = LineTruth(0.0, 50.0, 300.0, 50.0, 6.0)
    >>> score_lines([LineTruth(5.0, 50.5, 200.0, 50.5, 6.0)], [t]).pairs
    ((0, 0),)
    """
    candidates = []
    for i, t in enumerate(truth):
        for j, f in enumerate(found):
            cost = line_fit(f, t)
            if cost is not None:
                candidates.append((cost, i, j))
    candidates.sort()
    used_t: set[int] = set()
    used_f: set[int] = set()
    pairs = []
    for _, i, j in candidates:
        if i not in used_t and j not in used_f:
            used_t.add(i)
            used_f.add(j)
            pairs.append((i, j))
    return LineScore(len(truth), len(found), tuple(sorted(pairs)))


@dataclass(frozen=True)
class Summary:
    """The figures of a detector over a series of frames.

    Attributes
    ----------
    frames, ball_frames : int
        Frames scored, and those holding a ball.
    within2, within5 : float
        Balls found within 2 (5) px, in % of the frames holding a ball.
    false_balls : float
        False balls in % of all frames.
    median_centre_error : float
        Median centre error over the frames that hold a ball and where one
        was reported (NaN if none).
    line_recall, line_precision : float
        Matched true lines in % of true lines, matched found lines in % of
        found lines (100 when there is nothing to find or nothing found).
    ms_per_frame : float
        Median time per frame in milliseconds (NaN when not timed).
    misses : float
        Frames holding a ball where none was reported, in % of the frames
        holding a ball.
    mean_radius_error : float
        Mean signed radius error (reported minus true) over the balls
        reported near the true one (not false balls); NaN if none.

    Examples
    --------
    >>> Tally().summary().frames
    0
    """

    frames: int
    ball_frames: int
    within2: float
    within5: float
    false_balls: float
    median_centre_error: float
    line_recall: float
    line_precision: float
    ms_per_frame: float
    misses: float = 0.0
    mean_radius_error: float = math.nan


def _percent(part: int, whole: int) -> float:
    return 100.0 * part / whole if whole else 100.0


@dataclass
class Tally:
    """Accumulates ball and line scores over many frames.

    Examples
    --------
    >>> from orbisect_detect.scenes import make_scene
    >>> tally = Tally()
    >>> scene = make_scene(1, 0)
    >>> _ = tally.add(scene, None, [], seconds=0.004)
    >>> tally.frames, tally.summary().ms_per_frame
    (1, 4.0)
    """

    frames: int = 0
    ball_frames: int = 0
    within2: int = 0
    within5: int = 0
    false_balls: int = 0
    misses: int = 0
    true_lines: int = 0
    found_lines: int = 0
    matched_lines: int = 0
    centre_errors: list[float] = field(default_factory=list)
    radius_errors: list[float] = field(default_factory=list)
    seconds: list[float] = field(default_factory=list)

    def add(self, scene: Scene, ball: BallLike | None, lines: Sequence[LineLike],
            seconds: float | None = None) -> tuple[BallScore, LineScore]:
        """Scores one frame's result and adds it in.

        Parameters
        ----------
        scene : Scene
            The frame with its truth.
        ball : BallLike or None
            The reported ball.
        lines : sequence of LineLike
            The reported lines.
        seconds : float, optional
            Time the detector took on the frame.

        Returns
        -------
        (BallScore, LineScore)
            The frame's scores.

        Examples
        --------
        >>> from orbisect_detect.scenes import make_scene
        >>> tally = Tally()
        >>> scene = make_scene(2, 0)
        >>> tally.add(scene, scene.ball, scene.lines)[1].matched == len(scene.lines)
        True
        """
        b = score_ball(ball, scene.ball)
        s = score_lines(lines, scene.lines)
        self.frames += 1
        self.ball_frames += b.present
        self.within2 += b.within2
        self.within5 += b.within5
        self.false_balls += b.false_ball
        self.misses += b.present and not b.reported
        if b.present and b.reported:
            self.centre_errors.append(b.centre_error)
            if not b.false_ball:
                self.radius_errors.append(b.radius_error)
        self.true_lines += s.true_count
        self.found_lines += s.found_count
        self.matched_lines += s.matched
        if seconds is not None:
            self.seconds.append(seconds)
        return b, s

    def summary(self) -> Summary:
        """The percentages and medians so far.

        Examples
        --------
        >>> Tally(frames=4, false_balls=1).summary().false_balls
        25.0
        """
        return Summary(
            frames=self.frames,
            ball_frames=self.ball_frames,
            within2=_percent(self.within2, self.ball_frames),
            within5=_percent(self.within5, self.ball_frames),
            false_balls=100.0 * self.false_balls / self.frames if self.frames else 0.0,
            median_centre_error=float(np.median(self.centre_errors)) if self.centre_errors else math.nan,
            line_recall=_percent(self.matched_lines, self.true_lines),
            line_precision=_percent(self.matched_lines, self.found_lines),
            ms_per_frame=float(np.median(self.seconds)) * 1e3 if self.seconds else math.nan,
            misses=_percent(self.misses, self.ball_frames) if self.ball_frames else 0.0,
            mean_radius_error=float(np.mean(self.radius_errors)) if self.radius_errors else math.nan,
        )


def format_table(rows: Sequence[tuple[str, Summary]]) -> str:
    """A fixed-width table of summaries, one row per detector.

    Parameters
    ----------
    rows : sequence of (str, Summary)
        Detector name and its summary.

    Returns
    -------
    str
        Header and rows, without a trailing newline.

    Examples
    --------
    >>> print(format_table([("truth", Tally().summary())]).splitlines()[0].split()[:3])
    ['pipeline', 'ball<=2px', 'ball<=5px']
    """
    out = [f"{'pipeline':14} {'ball<=2px':>9} {'ball<=5px':>9} {'false':>6} {'med.err':>8} "
           f"{'recall':>7} {'precis.':>7} {'ms/frame':>9}"]
    for name, s in rows:
        out.append(f"{name:14} {s.within2:8.1f}% {s.within5:8.1f}% {s.false_balls:5.1f}% "
                   f"{s.median_centre_error:6.2f}px {s.line_recall:6.1f}% {s.line_precision:6.1f}% "
                   f"{s.ms_per_frame:9.2f}")
    return "\n".join(out)
