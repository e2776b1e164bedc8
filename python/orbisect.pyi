"""Colour windows, scan-line edge points and RANSAC shape fits over NumPy arrays.

Conventions shared by every function:

- An image is a ``uint8`` array of shape (H, W, 3), channels R, G, B; a mask is
  a ``uint8`` (or ``bool``) array of shape (H, W), non-zero meaning set.
- A point set is an ``int32`` array of shape (N, 2), one (x, y) row per point,
  x being the image column. As an output, N is its capacity; as an input every
  row is read, so pass only the filled rows (``points[:n]``).
- Inlier flags are a C-contiguous 1-D ``uint8`` array, one entry per point.
- Arrays are read and written in place through their strides (regions of
  interest and reversed rows are fine); the last axis must be contiguous.
  Arrays that cannot be served safely raise ``ValueError`` before anything is
  written.
- The four RANSAC fits draw one value from the C runtime's ``rand()`` at the
  start of every call (even when ``count`` is 0). The generator is seeded from
  the clock, in whole seconds, at import; seed it yourself for reproducible
  runs with ``ctypes.CDLL(None).srand(n)``.
"""

from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple, TypeAlias, TypedDict, overload, type_check_only

import numpy as np
import numpy.typing as npt

_Image: TypeAlias = npt.NDArray[np.uint8]
_Mask: TypeAlias = npt.NDArray[np.uint8] | npt.NDArray[np.bool_]
_Points: TypeAlias = npt.NDArray[np.int32]
_Flags: TypeAlias = npt.NDArray[np.uint8]
_Pair: TypeAlias = Sequence[float] | npt.NDArray[Any]
# A window read by position, (M, i, c), as LCHBounds holds it.
_WindowTuple: TypeAlias = tuple[npt.ArrayLike, Sequence[float], Sequence[float]]
# A window read by key: "M" (9 values, flat), "i" and "c" (2 values each).
_WindowMapping: TypeAlias = Mapping[str, Any]

class LCHBounds(NamedTuple):
    """A compiled colour window: a hue wedge, a chroma range and an intensity range.

    With ``(h0, h1, t) = M.reshape(3, 3) @ (R, G, B)`` a pixel is inside when
    ``h0 > 0``, ``h1 > 0``, ``i[0] < t < i[1]`` and ``c[0] < h0 + h1 < c[1]``;
    every bound is exclusive. h0 and h1 are the pixel's chroma vector in the
    basis of the wedge's two edges, t is the intensity (R + G + B) / 3; in an
    integer window all three are scaled by 2**rgb_bits.

    Attributes
    ----------
    M : ndarray
        The 3 x 3 window matrix flattened row-major: 9 ``int32`` values for an
        integer window, ``float64`` for a float one.
    i : tuple
        (lower, upper) bound of t.
    c : tuple
        (lower, upper) bound of the chroma sum h0 + h1.

    Notes
    -----
    ``mask_image``, ``selective_grayscale``, ``mask_image_py`` and
    ``mask_color`` take the tuple itself. ``simple_edge_hsv`` and the ``_impl``
    kernels take a mapping: pass ``bounds._asdict()``. The kernels convert
    every value to a 32-bit integer (floats truncated), so give them integer
    windows only.

    Examples
    --------
    >>> b = orbisect.calculate_lch_bounds((-0.5, 0.5), (0.2, 1.0), (0.1, 0.9))
    >>> b.M.tolist(), b.i, b.c
    ([146, -304, 158, 146, 158, -304, 85, 85, 85], (6554, 58982), (14936, 74678))
    """

    M: npt.NDArray[np.int32] | npt.NDArray[np.float64]
    i: tuple[float, float]
    c: tuple[float, float]

@type_check_only
class CircleModel(TypedDict):
    """Result of ``ransac_circle``: integer centre (x, y) and radius r.

    Exists for type checkers only; import it under ``typing.TYPE_CHECKING``.
    """

    x: int
    y: int
    r: int

@type_check_only
class EllipseModel(TypedDict):
    """Result of ``ransac_ellipse``: centre (x, y), semi-axis a along theta, b across it.

    Exists for type checkers only; import it under ``typing.TYPE_CHECKING``.
    """

    x: float
    y: float
    a: float
    b: float
    theta: float

@type_check_only
class LineModel(TypedDict):
    """Result of the line fits: a point (px, py) of the line and a normal (nx, ny).

    The normal is not normalised; the line's direction is (-ny, nx). Exists
    for type checkers only; import it under ``typing.TYPE_CHECKING``.
    """

    px: int
    py: int
    nx: int
    ny: int

def calculate_lch_bounds(
    hue_limit: _Pair, chroma_limit: _Pair, intensity_limit: _Pair, rgb_bits: int | None = 8
) -> LCHBounds:
    """Compile a hue wedge, a chroma range and an intensity range into a window.

    Parameters
    ----------
    hue_limit : (theta1, theta2)
        Hue angles in radians, the wedge running counter-clockwise from
        theta1 to theta2 (use 0 < theta2 - theta1 < pi). Hue 0 is red, 2*pi/3
        green, -2*pi/3 blue. Equal limits give a degenerate window, not an error.
    chroma_limit : (low, high)
        Range of the chroma vector (R - (G + B)/2, sqrt(3)/2 * (G - B))
        projected on the wedge's bisector; pure red has chroma 1 at full scale.
    intensity_limit : (low, high)
        Range of the intensity (R + G + B) / 3.
    rgb_bits : int or None, default 8
        Bits per channel. With an integer n, chroma and intensity limits are
        fractions of full scale 2**n (for 8 bits, 0.5 means 128), M is scaled
        by 2**n and the bounds by 2**(2n), all rounded to integers (ties to
        even). With None, the window stays in floats and the limits are in
        channel units; only ``mask_image_py`` and ``mask_color`` can use it.

    Returns
    -------
    LCHBounds
        The window; all its bounds are exclusive.

    Examples
    --------
    >>> orange = orbisect.calculate_lch_bounds((-0.1, 0.9), (0.25, 1.2), (0.15, 0.85))
    >>> bool(orbisect.mask_color((240, 120, 20), orange))
    True
    """

def mask_image_py(
    image: npt.NDArray[Any], bounds: LCHBounds | _WindowTuple
) -> npt.NDArray[np.uint8]:
    """Mask an image by a window with NumPy alone: 255 inside, 0 outside.

    Slower than ``mask_image`` but more permissive: any dtype (cast to int32,
    floats truncated), any leading shape and float windows.

    Parameters
    ----------
    image : ndarray, shape (..., 3)
        Pixels with channels R, G, B in the last axis.
    bounds : LCHBounds or (M, i, c)
        The window, read by position (a dict is not accepted).

    Returns
    -------
    ndarray of uint8, shape ``image.shape[:-1]``
        A new array.

    Examples
    --------
    >>> b = orbisect.calculate_lch_bounds((-0.5, 0.5), (0.2, 1.0), (0.1, 0.9))
    >>> orbisect.mask_image_py(np.array([[255, 0, 0], [128, 128, 128]]), b).tolist()
    [255, 0]
    """

def mask_image(
    image: _Image, bounds: LCHBounds | _WindowMapping, buffer: _Mask | None = None
) -> npt.NDArray[np.uint8]:
    """Mask an image by a window: 1 for pixels inside, 0 outside.

    The pixel loop runs in integer arithmetic with the GIL released.

    Parameters
    ----------
    image : ndarray of uint8, shape (H, W, 3)
        RGB image.
    bounds : LCHBounds or mapping
        The window; a mapping needs keys "M" (9 values, flat), "i" and "c".
        Float values are truncated, so use an integer window.
    buffer : ndarray of uint8, shape (H, W), optional
        Output to fill and reuse from frame to frame; every pixel is written.
        None allocates a new array.

    Returns
    -------
    ndarray of uint8, shape (H, W)
        ``buffer`` itself when given.

    Examples
    --------
    >>> b = orbisect.calculate_lch_bounds((-0.5, 0.5), (0.2, 1.0), (0.1, 0.9))
    >>> frame = np.array([[[255, 0, 0], [200, 150, 40]]], np.uint8)
    >>> orbisect.mask_image(frame, b).tolist()
    [[1, 0]]
    """

def selective_grayscale(
    image: _Image, bounds: LCHBounds | _WindowMapping, buffer: _Mask | None = None
) -> npt.NDArray[np.uint8]:
    """Keep the grey level of the pixels inside a window, 0 elsewhere.

    The grey level is ``(t >> 8) % 256`` with t the window's intensity
    coordinate; for an 8-bit window that is about (R + G + B) / 3. A pixel
    inside with t below 256 gets 0 like a pixel outside. The GIL is released
    during the pixel loop.

    Parameters
    ----------
    image : ndarray of uint8, shape (H, W, 3)
        RGB image.
    bounds : LCHBounds or mapping
        The window, as for ``mask_image``.
    buffer : ndarray of uint8, shape (H, W), optional
        Output to fill; None allocates a new array.

    Returns
    -------
    ndarray of uint8, shape (H, W)
        ``buffer`` itself when given.

    Examples
    --------
    >>> b = orbisect.calculate_lch_bounds((-0.5, 0.5), (0.2, 1.0), (0.1, 0.9))
    >>> frame = np.array([[[200, 100, 100], [128, 128, 128]]], np.uint8)
    >>> orbisect.selective_grayscale(frame, b).tolist()
    [[132, 0]]
    """

@overload
def mask_color(color: Sequence[float], bounds: LCHBounds | _WindowTuple) -> np.bool_:
    """Tell whether a colour lies inside a window.

    Parameters
    ----------
    color : (R, G, B)
        One colour; cast to int32 (floats truncated). An array of shape
        (..., 3) gives one Boolean per colour instead.
    bounds : LCHBounds or (M, i, c)
        The window, read by position; integer or float windows.

    Returns
    -------
    numpy.bool_
        The same answer ``mask_image`` gives for a pixel of that colour.

    Examples
    --------
    >>> b = orbisect.calculate_lch_bounds((-0.5, 0.5), (0.2, 1.0), (0.1, 0.9))
    >>> bool(orbisect.mask_color((255, 0, 0), b)), bool(orbisect.mask_color((128, 128, 128), b))
    (True, False)
    """

@overload
def mask_color(
    color: npt.ArrayLike, bounds: LCHBounds | _WindowTuple
) -> np.bool_ | npt.NDArray[np.bool_]:
    """Tell whether each colour of an array of shape (..., 3) lies inside a window."""

def mask_image_cy_impl(_image: _Image, _output: _Mask, bounds: _WindowMapping) -> int:
    """The pixel loop behind ``mask_image``: write 1 inside, 0 outside into ``_output``.

    Parameters
    ----------
    _image : ndarray of uint8, shape (H, W, 3)
        RGB image.
    _output : ndarray of uint8, shape (H, W)
        Receives the mask; every pixel is written.
    bounds : mapping
        Keys "M" (9 values, flat), "i", "c"; pass ``LCHBounds._asdict()``.

    Returns
    -------
    int
        H * W, the number of pixels processed.

    Examples
    --------
    >>> b = orbisect.calculate_lch_bounds((-0.5, 0.5), (0.2, 1.0), (0.1, 0.9))
    >>> frame = np.array([[[255, 0, 0], [0, 0, 255]]], np.uint8)
    >>> out = np.empty((1, 2), np.uint8)
    >>> orbisect.mask_image_cy_impl(frame, out, b._asdict())
    2
    >>> out.tolist()
    [[1, 0]]
    """

def selective_grayscale_impl(_image: _Image, _output: _Mask, bounds: _WindowMapping) -> int:
    """The pixel loop behind ``selective_grayscale``: grey level inside, 0 outside.

    Parameters
    ----------
    _image : ndarray of uint8, shape (H, W, 3)
        RGB image.
    _output : ndarray of uint8, shape (H, W)
        Receives ``t >> 8`` for pixels inside the window, 0 elsewhere.
    bounds : mapping
        Keys "M" (9 values, flat), "i", "c"; pass ``LCHBounds._asdict()``.

    Returns
    -------
    int
        H * W, the number of pixels processed.

    Examples
    --------
    >>> b = orbisect.calculate_lch_bounds((-0.5, 0.5), (0.2, 1.0), (0.1, 0.9))
    >>> frame = np.array([[[200, 100, 100]]], np.uint8)
    >>> out = np.empty((1, 1), np.uint8)
    >>> orbisect.selective_grayscale_impl(frame, out, b._asdict())
    1
    >>> out.tolist()
    [[132]]
    """

def simple_edge_hsv(
    _image: _Image, _ps: _Points, bounds: _WindowMapping, row_count: int, column_count: int
) -> int:
    """Write the run starts and ends of the pixels inside a window along scan lines.

    The same points as ``simple_edge`` on ``mask_image(image, bounds)``, but
    only the scanned lines are read and no mask is made.

    Parameters
    ----------
    _image : ndarray of uint8, shape (H, W, 3)
        RGB image.
    _ps : ndarray of int32, shape (N, 2)
        Receives the points; N is the capacity.
    bounds : mapping
        Keys "M", "i", "c": pass ``LCHBounds._asdict()``, not the tuple itself
        (that raises ``TypeError``).
    row_count, column_count : int
        Numbers of rows and of columns to scan, as for ``simple_edge``.

    Returns
    -------
    int
        Number of points written to ``_ps[:n]``.

    Examples
    --------
    >>> b = orbisect.calculate_lch_bounds((-0.5, 0.5), (0.2, 1.0), (0.1, 0.9))
    >>> frame = np.zeros((4, 8, 3), np.uint8)
    >>> frame[0, 2:5] = (255, 0, 0)
    >>> ps = np.zeros((16, 2), np.int32)
    >>> n = orbisect.simple_edge_hsv(frame, ps, b._asdict(), 1, 0)
    >>> ps[:n].tolist()
    [[2, 0], [5, 0]]
    """

def simple_edge(_image: _Mask, _ps: _Points, row_count: int, column_count: int) -> int:
    """Write where runs of set pixels start and end along chosen rows and columns.

    Rows are scanned first, then columns; line k of a pass over L lines is
    ``(reverse16(k) * L) >> 16``, reverse16 reversing the low 16 bits of k, so
    any prefix of the scan is spread over the image: for L = 100 rows 0, 50,
    25, 75, 12, ... A line can come up twice; counts are capped at 65536.

    A run gives two points: its first set pixel, then the first clear pixel
    after it, except that a run reaching the end of a line ends on the line's
    last pixel (itself set). Points are (x, y) rows. The scan stops as soon as
    ``_ps`` is full, which can leave a start point without its end.

    Parameters
    ----------
    _image : ndarray of uint8 or bool, shape (H, W)
        Mask; any non-zero value is set.
    _ps : ndarray of int32, shape (N, 2)
        Receives the points; N is the capacity. Rows from the result on are
        left as they were.
    row_count, column_count : int
        Numbers of rows and of columns to scan; 0 or less skips that pass.

    Returns
    -------
    int
        Number of points written to ``_ps[:n]``.

    Examples
    --------
    >>> mask = np.zeros((4, 8), np.uint8)
    >>> mask[0, 2:5] = 1
    >>> mask[0, 7] = 1
    >>> ps = np.zeros((16, 2), np.int32)
    >>> n = orbisect.simple_edge(mask, ps, 1, 0)
    >>> ps[:n].tolist()
    [[2, 0], [5, 0], [7, 0], [7, 0]]
    """

def simple_denoise(_ps_in: _Points, _ps_out: _Points, min_distance: int) -> int:
    """Join runs split by small gaps and drop short runs.

    The rows of ``_ps_in`` are taken as (start, end) pairs, as ``simple_edge``
    writes them; an odd last row is ignored. A run joins the one before when
    it starts on the same row (or column) less than ``min_distance`` pixels
    after that one's end point; a run is kept when its length (end - start)
    is at least ``min_distance``. Only coordinates are compared, so the last
    run of one scan line can join the first of the next when they line up.

    Parameters
    ----------
    _ps_in : ndarray of int32, shape (n, 2)
        The filled rows of a point set.
    _ps_out : ndarray of int32, shape (>= n, 2)
        Receives the kept runs as pairs; may be ``_ps_in`` itself.
    min_distance : int
        Smallest gap that keeps two runs apart and smallest length kept.

    Returns
    -------
    int
        Number of points written (even).

    Examples
    --------
    >>> runs = np.array([[0, 5], [10, 5], [11, 5], [12, 5], [40, 5], [50, 5]], np.int32)
    >>> out = np.zeros_like(runs)
    >>> n = orbisect.simple_denoise(runs, out, 3)
    >>> out[:n].tolist()
    [[0, 5], [12, 5], [40, 5], [50, 5]]
    """

def remove_inliers(_ps_in: _Points, _ps_out: _Points, _ms: _Mask) -> int:
    """Copy the points whose flag is 0 to the front of ``_ps_out``.

    Used after a line fit to peel its points off before the next search.
    Check the fit first: a failed line fit flags every point.

    Parameters
    ----------
    _ps_in : ndarray of int32, shape (N, 2)
        Source points.
    _ps_out : ndarray of int32, shape (>= kept, 2)
        Destination; may be ``_ps_in`` itself (compaction in place).
    _ms : ndarray of uint8, shape (>= N,)
        Flags; any non-zero value drops the point. Must not be empty.

    Returns
    -------
    int
        Number of points copied, in their original order.

    Examples
    --------
    >>> ps = np.array([[0, 0], [1, 1], [2, 2], [3, 3]], np.int32)
    >>> orbisect.remove_inliers(ps, ps, np.array([0, 1, 0, 1], np.uint8))
    2
    >>> ps[:2].tolist()
    [[0, 0], [2, 2]]
    """

def ransac_circle(_ps: _Points, count: int, min_r: int, max_r: int, delta: int) -> CircleModel:
    """Find the circle with the most points in a ring around it.

    Each iteration takes three distinct points and the circle through them in
    integer arithmetic (centre truncated toward zero); the circle with the
    most inliers wins, the first one on a tie. No refinement follows. Draws
    one ``rand()`` value per call; seed with ``ctypes.CDLL(None).srand(n)``.

    Parameters
    ----------
    _ps : ndarray of int32, shape (N, 2)
        The points; pass only the filled rows.
    count : int
        Number of iterations (candidate circles).
    min_r, max_r : int
        Accepted radius range in pixels, both inclusive.
    delta : int
        Ring half-width in pixels: a point counts when
        ``(r - delta)**2 <= dx**2 + dy**2 <= (r + delta)**2``.

    Returns
    -------
    CircleModel
        ``{"x", "y", "r"}``, ints; all 0 when no candidate was accepted (also
        for ``count <= 0`` or fewer than 3 points).

    Examples
    --------
    >>> ps = np.array([(100 + dx, 50 + dy) for dx, dy in
    ...                [(5, 0), (0, 5), (-5, 0), (0, -5), (3, 4), (-4, -3)]], np.int32)
    >>> orbisect.ransac_circle(ps, 20, 2, 10, 1)
    {'x': 100, 'y': 50, 'r': 5}
    """

def ransac_ellipse(
    _ps: _Points, count: int, min_r: int, max_r: int, ratio: float, delta: int
) -> EllipseModel:
    """Find the ellipse with the most points in a ring around it.

    Each iteration solves the conic through five distinct points; candidates
    that are not ellipses, are out of range or too elongated are skipped, and
    the one with the most inliers wins (the first on a tie). Draws one
    ``rand()`` value per call; seed with ``ctypes.CDLL(None).srand(n)``.

    Parameters
    ----------
    _ps : ndarray of int32, shape (N, 2)
        The points; pass only the filled rows.
    count : int
        Number of iterations.
    min_r, max_r : int
        Accepted range of both semi-axes in pixels, inclusive.
    ratio : float
        A candidate is refused when ``b > ratio * a``. Which axis ``a`` is
        depends on the origin: when (0, 0) lies outside the ellipse (the usual
        case for pixel coordinates) ``a`` is the shorter semi-axis, so ratio is
        the largest accepted long / short proportion and below 1 refuses
        everything; when (0, 0) lies inside, ``a`` is the longer one.
    delta : int
        Ring half-width in pixels: a point counts when it lies between the
        ellipses with semi-axes (a - delta, b - delta) and (a + delta, b + delta).

    Returns
    -------
    EllipseModel
        ``{"x", "y", "a", "b", "theta"}``, floats: ``a`` lies along the angle
        ``theta`` (radians, within [-pi/2, pi/2]), ``b`` across it. All 0.0 when
        no candidate was accepted (also for ``count <= 0`` or fewer than 5 points).

    Examples
    --------
    Points of the ellipse centred at (200, 120) with semi-axes 40 along x and
    20 along y; the origin lies outside, so ``a`` is the shorter one:

    >>> q = [(40, 0), (-40, 0), (0, 20), (0, -20), (24, 16), (-24, 16),
    ...      (24, -16), (-24, -16), (32, 12), (-32, 12), (32, -12), (-32, -12)]
    >>> ps = np.array([(200 + x, 120 + y) for x, y in q], np.int32)
    >>> e = orbisect.ransac_ellipse(ps, 10, 10, 50, 3.0, 1)
    >>> [round(e[k], 3) for k in ("x", "y", "a", "b")], abs(round(e["theta"], 3))
    ([200.0, 120.0, 20.0, 40.0], 1.571)
    """

def ransac_line(_ps: _Points, _ms: _Flags, count: int, delta: int, slope_limit: float) -> LineModel:
    """Find the steep enough line with the most points near it, and flag them.

    Each iteration takes two distinct points P, Q; the line with the most
    inliers wins (the first on a tie). Afterwards ``_ms[i]`` is set to 1 for
    every inlier of it and 0 for the other points. Draws one ``rand()`` value
    per call; seed with ``ctypes.CDLL(None).srand(n)``.

    Parameters
    ----------
    _ps : ndarray of int32, shape (N, 2)
        The points; pass only the filled rows.
    _ms : ndarray of uint8, shape (>= N,)
        C-contiguous; entries 0 .. N-1 are overwritten, the rest kept.
    count : int
        Number of iterations.
    delta : int
        Band half-width in pixels: a point counts when its distance from the
        line is at most ``int(L * delta) / L``, L being the length of PQ; that
        is a little under ``delta`` where ``L * delta`` is not an integer.
    slope_limit : float
        A line is refused unless the sine of its angle with the x axis exceeds
        ``abs(slope_limit)``: 0 still refuses exact horizontals, 1 or more
        refuses every line, NaN refuses nothing.

    Returns
    -------
    LineModel
        ``px, py`` = P, ``(nx, ny) = (Qy - Py, Px - Qx)``. All 0 when no line
        was accepted (also for ``count <= 0`` or fewer than 2 points); every
        flag is then 1.

    Examples
    --------
    >>> ps = np.array([(5, y) for y in range(10)] + [(40, 3), (60, 9)], np.int32)
    >>> flags = np.zeros(len(ps), np.uint8)
    >>> line = orbisect.ransac_line(ps, flags, 30, 1, 0.5)
    >>> line["ny"], flags.tolist()
    (0, [1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0])
    """

def ransac_line2(
    _ps: _Points, _ms: _Flags, count: int, ratio: float, delta: int
) -> tuple[LineModel, LineModel]:
    """Find a pair of nearly parallel lines, such as the two borders of a strip.

    Each iteration takes four distinct points: one line through the first two,
    one through the last two. A pair scores the points near exactly one of
    its lines (two coinciding lines score 0); the best pair wins, the first on
    a tie. Afterwards ``_ms[i]`` is 1 for points near either line, else 0.
    Draws one ``rand()`` value per call; seed with ``ctypes.CDLL(None).srand(n)``.
    Note the order of the arguments: ``delta`` comes last, unlike ``ransac_line``.

    Parameters
    ----------
    _ps : ndarray of int32, shape (N, 2)
        The points; pass only the filled rows.
    _ms : ndarray of uint8, shape (>= N,)
        C-contiguous; entries 0 .. N-1 are overwritten, the rest kept.
    count : int
        Number of iterations.
    ratio : float
        Least accepted ``abs(cos)`` of the angle between the two lines: 0
        accepts any pair, 0.99 about 8 degrees, 1 only exactly parallel lines.
    delta : int
        Band half-width in pixels around each line, as for ``ransac_line``.

    Returns
    -------
    tuple of LineModel
        The line through the first two sample points, then the other. Both
        all 0 when no pair was accepted (also for ``count <= 0``, fewer than 4
        points, or all points on one line); every flag is then 1.

    Examples
    --------
    >>> xs = range(0, 100, 10)
    >>> ps = np.array([(x, 10) for x in xs] + [(x, 40) for x in xs], np.int32)
    >>> flags = np.zeros(len(ps), np.uint8)
    >>> first, second = orbisect.ransac_line2(ps, flags, 100, 0.99, 1)
    >>> sorted([first["py"], second["py"]]), int(flags.sum())
    ([10, 40], 20)
    """
