"""The field detector: a ball and painted lines in one camera frame.

:class:`FieldDetector` holds the settings (:mod:`orbisect_detect.ball`,
:mod:`orbisect_detect.lines`, :mod:`orbisect_detect.windows`), converted
once into the package's native core; per frame it makes one native call,
with the interpreter lock released, which scans the frame along chosen rows
and columns under the field's and the ball's windows, finds the lines and
the balls, and returns plain values that become the :class:`Detection`.

Reproducibility.  The core draws the fits' random numbers from its own
generator, seeded for every frame from ``seed`` and the frame's scan
points: the same frame gives the same detection whatever came before it,
on every machine, C library, thread and process.  Without ``seed`` the core
seeds from a count of the detector's frames.

Threads.  A detector may be used by one thread at a time: a second thread
calling :meth:`FieldDetector.detect` while a call is running gets
``RuntimeError``.  Any number of detectors run in parallel.

Bounded work.  A frame costs at most a fixed amount of work and memory,
whatever it shows: each scan writes at most a run on every other pixel of
its lines, and never more than :data:`MAX_SCAN_POINTS` points (2 MiB); the
ball and the lines stages cap their points and candidates
(:mod:`orbisect_detect.ball`, :mod:`orbisect_detect.lines`).  With the
default settings a 640x480 frame of the worst patterns found (stripes,
checkerboards, dots and speckle of the ball's and the paint's colours,
``bench/bench_worst.py``) costs a few times an ordinary frame, a few
milliseconds, and a few MiB; ``max_balls`` above 1 multiplies the ball
search's tries (at 16, the slowest hard frame costs about 11 times what
it costs with one ball).

Errors.  :meth:`FieldDetector.detect` raises only for a frame that is not an
(H, W, 3) uint8 array (``TypeError``, ``ValueError``) and for a detector
another thread is using (``RuntimeError``); settings are checked when the
detector, its searches and its windows are made.
"""

from __future__ import annotations

import ctypes
import threading
import time
from dataclasses import dataclass, field
from functools import partial
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core
from ._checks import integer
from .ball import MAX_BALLS, VERDICTS, Ball, BallSearch
from .lines import Line, LineSearch, paint_test
from .windows import (BALL_WINDOW, FIELD_WINDOW, LINE_WINDOWS, ChannelOrder, Window, shade_window,
                      shaded_paint_window)

__all__ = ["MAX_SCAN_POINTS", "Detection", "FieldDetector", "prepare_frame"]

#: Most points one scan of a frame writes (run starts and ends); the native
#: core's scan keeps the same cap.
MAX_SCAN_POINTS: int = _core.MAX_SCAN_POINTS


@dataclass(frozen=True)
class Detection:
    """What a frame holds.

    Attributes
    ----------
    ball : Ball or None
        The best ball, or None when no supported ball was found: the first
        of ``balls``.
    lines : list of Line
        Painted stripes, one per stripe.
    timings : dict of str to float
        Seconds spent per stage: "scan", "ball", "lines" and "total".
    diagnostics : dict
        Empty unless the detector was made with ``diagnostics=True``; then
        "ball_runs" (ball-coloured runs of the scan), "r_range" (the radii
        searched, px), "min_support", "candidates" (each circle scored:
        x, y, r, support and its verdict) and "reason": None when a ball
        was found, else why not ("no ball-coloured runs", "no candidate
        circle", "best support 0.41 below min_support 0.65", "a candidate
        of radius 290.1 outside the size range 4.8 .. 160.0", ...), and
        "scan" (the rows and columns scanned).
    ball_runs : ndarray
        With diagnostics, the ball-coloured runs of the scan as (start, end)
        point pairs, for :func:`~orbisect_detect.drawing.annotate`'s
        ``debug`` picture; not part of the record.
    balls : tuple of Ball
        Every ball found, the best first, at most the detector's
        ``max_balls`` (by default one: then it holds ``ball`` alone, or
        nothing).  Left out, it is ``(ball,)``, or empty when ``ball`` is
        None; given with ``ball`` None, ``ball`` becomes its first.

    Raises
    ------
    ValueError
        When ``ball`` is given and is not the first of ``balls``.
    TypeError
        When ``balls`` holds anything but Ball.

    Examples
    --------
    >>> d = Detection(None, [], {"total": 0.0002})
    >>> d.to_dict()
    {'ball': None, 'balls': [], 'lines': [], 'timings': {'total': 0.0002}}
    >>> two = (Ball(10.0, 10.0, 5.0, 0.9), Ball(40.0, 10.0, 6.0, 0.8))
    >>> Detection(None, [], balls=two).ball == two[0]
    True
    """

    ball: Ball | None
    lines: list[Line]
    timings: dict[str, float] = field(default_factory=dict)
    diagnostics: dict[str, Any] = field(default_factory=dict)
    ball_runs: npt.NDArray[np.int32] = field(default_factory=lambda: np.zeros((0, 2), np.int32),
                                             repr=False, compare=False)
    balls: tuple[Ball, ...] = ()

    def __post_init__(self) -> None:
        balls = tuple(self.balls)
        if not all(isinstance(b, Ball) for b in balls):
            raise TypeError("balls must be a sequence of Ball")
        if not balls and self.ball is not None:
            balls = (self.ball,)
        elif balls and self.ball is None:
            object.__setattr__(self, "ball", balls[0])
        elif balls and self.ball != balls[0]:
            raise ValueError("ball must be the first of balls")
        object.__setattr__(self, "balls", balls)

    def to_dict(self) -> dict[str, Any]:
        """The detection as plain JSON types (with "diagnostics" when there
        are any); "balls" is always there, a list of one ball or none with
        the detector's default ``max_balls``."""
        out = {"ball": None if self.ball is None else self.ball.to_dict(),
               "balls": [b.to_dict() for b in self.balls],
               "lines": [line.to_dict() for line in self.lines],
               "timings": dict(self.timings)}
        if self.diagnostics:
            out["diagnostics"] = self.diagnostics
        return out


def _writable_alias(frame: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    """A writable view of a read-only frame's memory, without copying it.

    The kernels request writable buffers but never write an image; this
    alias lets a read-only frame (``np.asarray(Image.open(...))``, a
    memory-mapped file) through.  The caller keeps the frame alive.
    """
    lo = sum(min(0, (n - 1) * s) for n, s in zip(frame.shape, frame.strides))
    span = sum(abs((n - 1) * s) for n, s in zip(frame.shape, frame.strides)) + 1
    raw = (ctypes.c_uint8 * span).from_address(frame.ctypes.data + lo)
    base = np.frombuffer(raw, np.uint8)
    return np.lib.stride_tricks.as_strided(base[-lo:], frame.shape, frame.strides, writeable=True)


def prepare_frame(frame: Any, order: ChannelOrder) -> tuple[npt.NDArray[np.uint8], ChannelOrder]:
    """Checks a frame; returns a view the kernels accept and its channel order.

    Views and read-only frames are used in place.  A frame whose channels
    are reversed by its view (``bgr[..., ::-1]``) is read in the other order
    instead; only a frame whose channels are not adjacent is copied.

    Raises
    ------
    TypeError
        When ``frame`` is not a NumPy array of dtype uint8.
    ValueError
        When it is not of shape (H, W, 3) with H and W at least 1.
    """
    if not isinstance(frame, np.ndarray):
        raise TypeError(f"frame must be a NumPy array of shape (H, W, 3) and dtype uint8, "
                        f"got {type(frame).__name__}")
    if frame.dtype != np.uint8:
        raise TypeError(f"frame must have dtype uint8, got {frame.dtype}")
    if frame.ndim != 3 or frame.shape[2] != 3:
        raise ValueError(f"frame must have shape (H, W, 3), got {frame.shape}")
    if frame.shape[0] < 1 or frame.shape[1] < 1:
        raise ValueError(f"frame must hold at least one pixel, got shape {frame.shape}")
    if frame.strides[2] == -1:
        frame = frame[..., ::-1]
        order = "bgr" if order == "rgb" else "rgb"
    elif frame.strides[2] != 1:
        frame = np.ascontiguousarray(frame)
    if not frame.flags.writeable:
        frame = _writable_alias(frame)
    return frame, order


class FieldDetector:
    """Finds the ball and the painted lines in frames of a sports field.

    Parameters
    ----------
    ball_window : Window
        Colour of the ball (default: orange).
    field_window : Window
        Colour of the field; the lines are found between its runs.
    line_windows : tuple of Window
        Colours of the paint (default: white, three low-chroma wedges).
    rows, columns : int
        Scan density: rows and columns scanned per frame, spread over it in
        bit-reversed order.  The ball needs about two scanned rows and two
        columns across it: 48 rows of a 480-row frame are 10 pixels apart.
    ball_search : BallSearch
        Radii, RANSAC effort and acceptance of the ball.
    line_search : LineSearch
        RANSAC effort, widths and acceptance of the lines.
    seed : int, optional
        Seeds the fits per frame from this value and the frame's own scan
        points, so that a frame always gives the same detection, on every
        machine.  None seeds them from a count of the detector's frames.
    order : {"rgb", "bgr"}
        Channel order of the frames.
    diagnostics : bool
        Fill :attr:`Detection.diagnostics`: the candidates scored and, when
        no ball is reported, why not.
    max_balls : int
        Most balls reported per frame (:attr:`Detection.balls`), from 1 to
        16: with more than one every ball of the colour that does not
        overlap a stronger one is reported, the best first, and the search
        tries that many times more circles.

    Raises
    ------
    TypeError
        For an argument of the wrong type (``ball_search`` not a
        :class:`BallSearch`, ``rows`` not an int, ...).
    ValueError
        For ``rows`` or ``columns`` outside 1 to 65536, ``max_balls``
        outside 1 to 16, an unknown ``order``, or more than 8
        ``line_windows``.

    Notes
    -----
    A detector reuses its buffers from frame to frame and may be used from
    one thread at a time: :meth:`detect` raises ``RuntimeError`` while
    another thread's call on the same detector runs.  Give each thread its
    own detector; detectors run in parallel (the line search releases the
    interpreter lock).

    Examples
    --------
    >>> from orbisect_detect.scenes import make_scene
    >>> scene = make_scene(seed=1, index=0)
    >>> detection = FieldDetector(seed=0).detect(scene.image)
    >>> sorted(detection.to_dict())
    ['ball', 'balls', 'lines', 'timings']
    >>> len(FieldDetector(seed=0, max_balls=4).detect(scene.image).balls) <= 4
    True
    """

    def __init__(self, *, ball_window: Window = BALL_WINDOW, field_window: Window = FIELD_WINDOW,
                 line_windows: tuple[Window, ...] = LINE_WINDOWS, rows: int = 48, columns: int = 64,
                 ball_search: BallSearch | None = None, line_search: LineSearch | None = None,
                 seed: int | None = None, order: ChannelOrder = "rgb",
                 diagnostics: bool = False, max_balls: int = 1) -> None:
        if order not in ("rgb", "bgr"):
            raise ValueError(f"order must be 'rgb' or 'bgr', got {order!r}")
        for name, w in (("ball_window", ball_window), ("field_window", field_window)):
            if not isinstance(w, Window):
                raise TypeError(f"{name} must be a Window, got {type(w).__name__}")
        line_windows = tuple(line_windows)
        if not line_windows or not all(isinstance(w, Window) for w in line_windows):
            raise TypeError("line_windows must be a non-empty sequence of Window")
        for name, value in (("rows", rows), ("columns", columns)):
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
                raise TypeError(f"{name} must be an int, got {type(value).__name__}")
            if not 1 <= value <= 65536:
                raise ValueError(f"{name} must be from 1 to 65536, got {value}")
        if seed is not None and (isinstance(seed, bool) or not isinstance(seed, (int, np.integer))):
            raise TypeError(f"seed must be an int or None, got {type(seed).__name__}")
        self.max_balls = integer("max_balls", max_balls, 1, MAX_BALLS)
        self.ball_window, self.field_window, self.line_windows = ball_window, field_window, line_windows
        self.rows, self.columns = int(rows), int(columns)
        if ball_search is not None and not isinstance(ball_search, BallSearch):
            raise TypeError(f"ball_search must be a BallSearch or None, got {type(ball_search).__name__}")
        if line_search is not None and not isinstance(line_search, LineSearch):
            raise TypeError(f"line_search must be a LineSearch or None, got {type(line_search).__name__}")
        self.ball_search = BallSearch() if ball_search is None else ball_search
        self.line_search = LineSearch() if line_search is None else line_search
        self.seed = None if seed is None else int(seed)
        self.order: ChannelOrder = order
        self.diagnostics = bool(diagnostics)
        self._sized: tuple[tuple[int, int], BallSearch, _core.Detector] | None = None
        self._busy = threading.Lock()
        # The settings become the core's native record once per frame size
        # (the searches' sizes follow the frame): here for 640x480, and again
        # when frames of another size come.
        self._searches(480, 640)

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickled as its settings: the copy is a new detector of the same
        settings, with buffers and a native search of its own (so a detector
        can be sent to another process)."""
        return (partial(FieldDetector, ball_window=self.ball_window, field_window=self.field_window,
                        line_windows=self.line_windows, rows=self.rows, columns=self.columns,
                        ball_search=self.ball_search, line_search=self.line_search,
                        seed=self.seed, order=self.order, diagnostics=self.diagnostics,
                        max_balls=self.max_balls), ())

    def __repr__(self) -> str:
        more = "" if self.max_balls == 1 else f", max_balls={self.max_balls}"
        return (f"FieldDetector(rows={self.rows}, columns={self.columns}, seed={self.seed}, "
                f"order={self.order!r}{more})")

    def detect(self, frame: npt.NDArray[np.uint8]) -> Detection:
        """Finds the ball and the lines in one frame.

        Parameters
        ----------
        frame : ndarray
            (H, W, 3) uint8 frame in the detector's channel order.  Views,
            read-only and non-contiguous arrays are accepted.

        Returns
        -------
        Detection

        Raises
        ------
        TypeError, ValueError
            When ``frame`` is not an (H, W, 3) uint8 array.
        RuntimeError
            When another thread is running this detector's ``detect``.
        """
        if not self._busy.acquire(blocking=False):
            raise RuntimeError("this FieldDetector is in use by another thread; "
                               "use one detector per thread")
        try:
            return self._detect(frame)
        finally:
            self._busy.release()

    def _detect(self, frame: npt.NDArray[np.uint8]) -> Detection:
        t_start = time.perf_counter()
        img, order = prepare_frame(frame, self.order)
        ball_search, core = self._searches(img.shape[0], img.shape[1])
        found, lines_found, _, (t_scan, t_ball, t_lines), notes, runs = core.detect(
            img, order == "bgr", self.diagnostics)
        balls = tuple(Ball(*b) for b in found)
        lines = [Line(*v) for v in lines_found]
        ball = balls[0] if balls else None
        t_end = time.perf_counter()
        # What the call cost beyond its stages (converting the frame and the
        # results) goes to the ball, the last stage.
        other = max(0.0, (t_end - t_start) - t_scan - t_ball - t_lines)
        timings = {"scan": t_scan, "ball": t_ball + other, "lines": t_lines, "total": t_end - t_start}
        if notes is None or runs is None:
            return Detection(ball, lines, timings, balls=balls)
        report = [{"x": round(x, 2), "y": round(y, 2), "r": round(r, 2), "support": round(s, 3),
                   "verdict": VERDICTS[v]} for x, y, r, s, v in notes]
        ball_runs = np.frombuffer(runs, np.int32).reshape(-1, 2).copy()
        diagnostics = _diagnostics(ball, report, len(ball_runs) // 2, ball_search)
        diagnostics["scan"] = {"rows": self.rows, "columns": self.columns}
        return Detection(ball, lines, timings, diagnostics, ball_runs, balls)

    def _searches(self, height: int, width: int) -> tuple[BallSearch, _core.Detector]:
        """The ball search and the native core with their sizes worked out
        for this frame size (made again only when the size changes)."""
        key = (height, width)
        if self._sized is None or self._sized[0] != key:
            ball_search = self.ball_search.for_frame(height, width)
            self._sized = (key, ball_search,
                           _native_core(self.field_window, self.line_windows, self.ball_window,
                                        self.rows, self.columns, ball_search,
                                        self.line_search.for_frame(height, width), self.seed,
                                        self.max_balls))
        return self._sized[1], self._sized[2]


def _run(value: int | None) -> int:
    return 1 if value is None else value


def _diagnostics(ball: Ball | None, report: list[dict[str, Any]], runs: int,
                 search: BallSearch) -> dict[str, Any]:
    """Why a frame's ball was found, or not."""
    lo, hi = search.r_range
    reason: str | None = None
    if ball is None:
        big = [c for c in report if c["verdict"] == "outside the size range"]
        rejected = [c for c in report if c["verdict"] in ("pale inside", "oval", "cut by the frame")]
        best = max((c["support"] for c in report), default=None)
        if runs == 0:
            reason = "no ball-coloured runs"
        elif big:
            c = max(big, key=lambda c: c["support"])
            reason = (f"a candidate of radius {c['r']:.1f} outside the size range "
                      f"{lo:.1f} .. {hi:.1f} (support {c['support']:.2f})")
        elif rejected:
            c = max(rejected, key=lambda c: c["support"])
            reason = f"the best candidate (support {c['support']:.2f}) is {c['verdict']}: no ball"
        elif best is None:
            reason = "no candidate circle among the ball-coloured runs"
        else:
            reason = f"best support {best:.2f} below min_support {search.min_support:.2f}"
    return {"reason": reason, "ball_runs": runs, "r_range": [round(lo, 2), round(hi, 2)],
            "min_support": search.min_support, "candidates": report}


def _window_ints(mapping: dict[str, Any]) -> tuple[int, ...]:
    """A compiled window as the core takes it: i, c, then M."""
    return (*mapping["i"], *mapping["c"], *mapping["M"])


def _native_core(field_window: Window, line_windows: tuple[Window, ...], ball_window: Window,
                 rows: int, columns: int, ball: BallSearch, lines: LineSearch, seed: int | None,
                 max_balls: int) -> _core.Detector:
    """The native core with these settings (their sizes worked out for a
    frame: see :meth:`BallSearch.for_frame` and :meth:`LineSearch.for_frame`),
    for both channel orders."""
    if lines.min_width is None or lines.max_width is None or lines.min_run is None:
        raise ValueError("the line search's sizes must be worked out for the frame first")
    min_r, max_r = ball.r_range
    rgb, bgr = paint_test(line_windows, "rgb"), paint_test(line_windows, "bgr")
    shade = shade_window(field_window) if lines.shade else None
    shaded_paint = None
    if lines.shade:
        dim = tuple(shaded_paint_window(w) for w in line_windows)
        dim_rgb, dim_bgr = paint_test(dim, "rgb"), paint_test(dim, "bgr")
        shaded_paint = ([_window_ints(m) for m in dim_rgb.mappings], [_window_ints(m) for m in dim_bgr.mappings],
                        dim_rgb.grey_lo, dim_rgb.grey_hi)
    return _core.Detector(
        _window_ints(field_window.mapping_for("rgb")), _window_ints(field_window.mapping_for("bgr")),
        [_window_ints(m) for m in rgb.mappings], [_window_ints(m) for m in bgr.mappings],
        (rgb.grey_lo, rgb.grey_hi), rows, columns,
        (int(lines.iterations), float(lines.tolerance), float(lines.min_width),
         float(lines.max_width), int(lines.min_run), int(lines.min_points),
         float(lines.min_support), int(lines.max_lines)),
        seed,
        _window_ints(ball_window.mapping_for("rgb")), _window_ints(ball_window.mapping_for("bgr")),
        (float(min_r), float(max_r), int(ball.iterations), float(ball.tolerance),
         float(ball.min_support), int(ball.candidates), _run(ball.min_run),
         float(ball.min_saturation), float(ball.max_ellipticity), float(ball.cut_support),
         bool(ball.refine), int(max_balls)),
        None if shade is None else _window_ints(shade.mapping_for("rgb")),
        None if shade is None else _window_ints(shade.mapping_for("bgr")),
        shaded_paint)
