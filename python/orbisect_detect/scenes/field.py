"""The field and its objects: a generated frame of a sports field with its truth.

A scene is an RGB frame (640 x 480 unless a :class:`Layout` says otherwise)
as a small robot's camera sees a sports field: textured grass under uneven
light, one to three white painted lines, an orange ball (absent in about one
frame in ten), red and yellow distractor objects, a dark robot leg now and
then, blur and sensor noise.  Every frame comes with the exact geometry it
was drawn from, so a detector's output can be scored against it.

Coordinates follow the pixel-centre convention: pixel (x, y) covers the
square from x - 0.5 to x + 0.5 and y - 0.5 to y + 0.5, x is the column and
the frame spans -0.5 .. W - 0.5 by -0.5 .. H - 0.5.  All edges are drawn
with their analytic area coverage, so the truth is meaningful to a fraction
of a pixel.

What the default frames hold (useful when writing a detector); on other
frame sizes every length scales with the frame's height over 480:

- grass: green (hue about 100 to 125 degrees), its brightness varying by
  about +-20 % through texture and mowing stripes;
- light: exposure, a gradient and vignetting multiply the whole frame by a
  gain between about 0.5 (a dark corner) and 1.3;
- lines: 3 to 16 px wide, white (grey level 215 to 250 before lighting),
  about 35 % exactly horizontal or vertical, about 40 % segments that end
  inside the frame, nearly parallel lines at least 40 px apart;
- ball: radius 12 to 60 px, hue 17 to 29 degrees (orange), lit from above
  (bright top, dark bottom, a small highlight), with a soft shadow under it;
  about 15 % of balls are cut by the frame edge (centre always inside) and
  about 15 % are partly hidden by a dark vertical-ish bar;
- distractors: zero to three per frame, elongated ellipses, rounded
  rectangles and irregular blobs, red (hue 352..6), orange-red (8..13),
  orange-yellow (35..42) and yellow (48..58 degrees), never touching the ball;
- blur: a 3- or 5-tap binomial kernel; noise: Gaussian, sigma 2 to 5 grey
  levels per channel.

A :class:`Layout` adds, each on request: other frame sizes, other ball
radii (far and near balls), shadows across the field, a ball lit from one
side, and the things a real field holds that are not balls: skin (heads,
hands, knees), orange and red shirts, cones, and the ball's own long
shadow.  What it adds is drawn from a random stream of its own, so a
layout that adds nothing gives the default frame, byte for byte.

Examples
--------
>>> scene = make_scene(1, 0, Layout(width=320, height=240))
>>> scene.image.shape
(240, 320, 3)
"""
from __future__ import annotations

import functools
import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["HEIGHT", "WIDTH", "BallTruth", "LineTruth", "Layout", "Scene", "make_scene",
           "segment_distance"]

HEIGHT, WIDTH = 480, 640

F32 = npt.NDArray[np.float32]
F64 = npt.NDArray[np.float64]


@dataclass(frozen=True)
class _Canvas:
    """A frame size with the pixel-centre coordinates of its columns and rows,
    and the scale of its lengths against the default 480 rows."""

    width: int
    height: int
    xs: F32
    ys: F32

    @property
    def scale(self) -> float:
        return self.height / HEIGHT


@functools.lru_cache(maxsize=8)
def _canvas(width: int, height: int) -> _Canvas:
    return _Canvas(width, height, np.arange(width, dtype=np.float32)[None, :],
                   np.arange(height, dtype=np.float32)[:, None])


@dataclass(frozen=True)
class Layout:
    """What a scene holds beyond the default frame.

    Attributes
    ----------
    width, height : int
        Frame size in pixels (at least 64 x 48).
    ball_r : (float, float) or None
        Range of the ball's radius in pixels; None is 12 to 60 px scaled by
        ``height / 480``.
    side_light : bool
        The ball is lit from one side, low, with a strong highlight.
    shadows : bool
        One or two soft shadows (of stands, of players) fall across the
        field, darker and bluer than the sunlit grass.
    skin : bool
        Skin-coloured round-ish blobs: heads (with or without hair on top),
        hands and knees, one to four per frame.
    shirts : bool
        An orange or red shirt (a torso with folds) in about two frames of
        three.
    cones : bool
        One or two orange cones with a white band in about half the frames.
    ball_shadow : bool
        The ball casts a long shadow on the grass, away from its light.

    Examples
    --------
    >>> Layout(height=240, width=320).ball_r is None
    True
    """

    width: int = WIDTH
    height: int = HEIGHT
    ball_r: tuple[float, float] | None = None
    side_light: bool = False
    shadows: bool = False
    skin: bool = False
    shirts: bool = False
    cones: bool = False
    ball_shadow: bool = False

    def __post_init__(self) -> None:
        if not (isinstance(self.width, int) and isinstance(self.height, int)
                and self.width >= 64 and self.height >= 48):
            raise ValueError(f"the frame must be at least 64 x 48 pixels, got "
                             f"{self.width!r} x {self.height!r}")
        if self.ball_r is not None:
            lo, hi = self.ball_r
            if not 1.0 <= lo <= hi or 2 * hi + 4 > min(self.width, self.height):
                raise ValueError(f"ball_r must be (lo, hi) with 1 <= lo <= hi and the ball "
                                 f"inside the frame, got {self.ball_r!r}")

    @property
    def radii(self) -> tuple[float, float]:
        """The ball's radius range in pixels."""
        if self.ball_r is not None:
            return float(self.ball_r[0]), float(self.ball_r[1])
        s = self.height / HEIGHT
        return 12.0 * s, 60.0 * s

    @property
    def adds_objects(self) -> bool:
        return self.side_light or self.shadows or self.skin or self.shirts or self.cones \
            or self.ball_shadow


DEFAULT_LAYOUT = Layout()


# ---- truth -----------------------------------------------------------------

@dataclass(frozen=True)
class BallTruth:
    """The ball as drawn: centre and radius in pixels.

    Attributes
    ----------
    x, y : float
        Centre, pixel-centre convention (x is the column).
    r : float
        Radius in pixels.
    cut : bool
        Part of the ball lies outside the frame.
    occluded : bool
        A dark bar in front of the ball hides part of it.

    Examples
    --------
    >>> BallTruth(320.5, 240.25, 30.0, cut=False, occluded=False).r
    30.0
    """

    x: float
    y: float
    r: float
    cut: bool
    occluded: bool


@dataclass(frozen=True)
class LineTruth:
    """One painted stripe: its centre line where it is seen in the frame.

    The end points lie on the stripe's centre line, either where the paint
    ends (a segment on the field) or where the centre line leaves the frame
    (its border at -0.5 and W - 0.5 / H - 0.5).

    Attributes
    ----------
    x0, y0, x1, y1 : float
        End points of the centre-line segment.
    width : float
        Width of the stripe in pixels.

    Examples
    --------
    >>> LineTruth(-0.5, 100.0, 639.5, 100.0, 8.0).width
    8.0
    """

    x0: float
    y0: float
    x1: float
    y1: float
    width: float


@dataclass(frozen=True)
class Scene:
    """A generated frame and what was drawn in it.

    Attributes
    ----------
    image : numpy.ndarray
        (H, W, 3) uint8 RGB, C-contiguous: (480, 640, 3) by default.
    ball : BallTruth or None
        None when the frame holds no ball.
    lines : tuple of LineTruth
        The painted stripes, one entry each, but for those that the ball
        and the bar in front of it hide for more than three quarters of
        their length (no detector can see them).
    seed, index : int
        The arguments that reproduce the frame.
    variant : str
        Name of the variant it was made as (``"clean"``: the default frame;
        see :mod:`orbisect_detect.scenes.variants`).

    Examples
    --------
    >>> scene = make_scene(5, 2)
    >>> scene.image.shape, scene.image.dtype.name, (scene.seed, scene.index)
    ((480, 640, 3), 'uint8', (5, 2))
    """

    image: npt.NDArray[np.uint8]
    ball: BallTruth | None
    lines: tuple[LineTruth, ...]
    seed: int
    index: int
    variant: str = "clean"


# ---- small drawing helpers ---------------------------------------------------

@functools.lru_cache(maxsize=16)
def _interp_weights(n_out: int, n_in: int) -> tuple[npt.NDArray[np.intp], F32]:
    """Knot index and weight of linear interpolation from n_in evenly spread
    knots to n_out samples."""
    pos = np.linspace(0.0, n_in - 1.0, n_out)
    lo = np.minimum(pos.astype(np.intp), n_in - 2)
    return lo, (pos - lo).astype(np.float32)


def _resample(grid: F32, rows: int, cols: int) -> F32:
    """A grid linearly interpolated to rows x cols samples (corners kept)."""
    lo, f = _interp_weights(rows, grid.shape[0])
    g = grid[lo] * (np.float32(1) - f)[:, None] + grid[lo + 1] * f[:, None]
    lo, f = _interp_weights(cols, grid.shape[1])
    out: F32 = g[:, lo] * (np.float32(1) - f) + g[:, lo + 1] * f
    return out


def _smooth_noise(rng: np.random.Generator, rows: int, cols: int, shape: tuple[int, int]) -> F32:
    """Unit-variance noise on a rows x cols grid, interpolated to `shape`."""
    return _resample(rng.standard_normal((rows, cols), dtype=np.float32), *shape)


def _hsv(h_deg: float, s: float, v: float) -> F32:
    """An RGB colour (0..255) from hue in degrees, saturation and value."""
    h = (h_deg % 360.0) / 60.0
    c = v * s
    x = c * (1.0 - abs(h % 2.0 - 1.0))
    rgb = [(c, x, 0.0), (x, c, 0.0), (0.0, c, x), (0.0, x, c), (x, 0.0, c), (c, 0.0, x)][int(h) % 6]
    return (np.array(rgb, np.float32) + np.float32(v - c)) * np.float32(255.0)


def _blend(img: F32, alpha: F32, colour: F32) -> None:
    """img = img * (1 - alpha) + colour * alpha, in place, where alpha > 0.

    `colour` is one RGB colour or an (..., 3) array shaped like `img`."""
    where = np.nonzero(alpha)
    a = alpha[where][:, None]
    c = colour if colour.ndim == 1 else colour[where]
    img[where] = img[where] * (1.0 - a) + c * a


def _box(cv: _Canvas, x0: float, y0: float, x1: float, y1: float) -> tuple[slice, slice] | None:
    """Row and column slices of the frame covering [x0, x1] x [y0, y1]."""
    c0, c1 = max(0, math.floor(x0)), min(cv.width, math.ceil(x1) + 1)
    r0, r1 = max(0, math.floor(y0)), min(cv.height, math.ceil(y1) + 1)
    if c0 >= c1 or r0 >= r1:
        return None
    return slice(r0, r1), slice(c0, c1)


def _binomial_blur(img: F32, passes: int) -> F32:
    """`passes` rounds of the separable [1, 2, 1] / 4 blur (two rounds make
    the 5-tap binomial), edges repeated."""
    for _ in range(passes):
        for axis in (0, 1):
            pad = [(0, 0)] * img.ndim
            pad[axis] = (1, 1)
            p = np.pad(img, pad, mode="edge")
            n = img.shape[axis]
            lo = [slice(None)] * img.ndim
            mid = list(lo)
            hi = list(lo)
            lo[axis], mid[axis], hi[axis] = slice(0, n), slice(1, n + 1), slice(2, n + 2)
            out = p[tuple(lo)] + p[tuple(hi)]
            out += 2.0 * p[tuple(mid)]
            out *= 0.25
            img = out
    return img


def _clip_to_frame(cv: _Canvas, x0: float, y0: float, x1: float, y1: float
                   ) -> tuple[float, float, float, float] | None:
    """The part of a segment inside the frame (Liang-Barsky), or None."""
    dx, dy = x1 - x0, y1 - y0
    t0, t1 = 0.0, 1.0
    for p, q in ((-dx, x0 + 0.5), (dx, cv.width - 0.5 - x0), (-dy, y0 + 0.5),
                 (dy, cv.height - 0.5 - y0)):
        if p == 0.0:
            if q < 0.0:
                return None
            continue
        t = q / p
        if p < 0.0:
            t0 = max(t0, t)
        else:
            t1 = min(t1, t)
    if t1 - t0 <= 0.0:
        return None
    return x0 + t0 * dx, y0 + t0 * dy, x0 + t1 * dx, y0 + t1 * dy


def segment_distance(px: F64 | float, py: F64 | float,
                     x0: float, y0: float, x1: float, y1: float) -> F64:
    """Distance of points from the segment (x0, y0)-(x1, y1).

    Examples
    --------
    >>> segment_distance(np.array([5.0, 13.0]), np.array([3.0, 0.0]), 0.0, 0.0, 10.0, 0.0).tolist()
    [3.0, 3.0]
    """
    dx, dy = x1 - x0, y1 - y0
    n2 = dx * dx + dy * dy
    t = np.clip(((np.asarray(px) - x0) * dx + (np.asarray(py) - y0) * dy) / n2, 0.0, 1.0) \
        if n2 > 0 else np.zeros_like(np.asarray(px, np.float64))
    out: F64 = np.hypot(np.asarray(px) - (x0 + t * dx), np.asarray(py) - (y0 + t * dy))
    return out


# ---- the scene parts --------------------------------------------------------------

def _grass(rng: np.random.Generator, cv: _Canvas) -> F32:
    g = rng.uniform(105, 150)
    base = np.array([g * rng.uniform(0.35, 0.55), g, g * rng.uniform(0.25, 0.42)], np.float32)
    # The slow parts at a quarter of the resolution: patches and mowing
    # stripes (a soft square wave across the field).
    h, w = cv.height // 4, cv.width // 4
    bright = 1.0 + 0.07 * _smooth_noise(rng, 7, 9, (h, w)) + 0.04 * _smooth_noise(rng, 48, 64, (h, w))
    angle = rng.uniform(0, math.pi)
    period = rng.uniform(90, 220) * cv.scale / 4
    xs, ys = np.arange(w, dtype=np.float32)[None, :], np.arange(h, dtype=np.float32)[:, None]
    phase = (xs * math.cos(angle) + ys * math.sin(angle)) * (2 * math.pi / period) + rng.uniform(0, 6.3)
    bright += rng.uniform(0.03, 0.08) * np.tanh(2.5 * np.sin(phase))
    full = _resample(bright.astype(np.float32), cv.height, cv.width)
    # Blades: fine grain, a little stretched along the columns.
    grain = rng.standard_normal((cv.height + 2, cv.width), dtype=np.float32)
    full += 0.035 * (grain[:-2] + grain[1:-1] + grain[2:])
    img: F32 = full[..., None] * base
    return img


def _pick_line(rng: np.random.Generator, cv: _Canvas) -> tuple[float, float, float, float, float]:
    """A random stripe: its painted end points (far outside the frame unless
    it is a segment on the field) and its width."""
    s = cv.scale
    kind = rng.choice(3, p=[0.17, 0.18, 0.65])
    theta = [0.0, math.pi / 2, rng.uniform(0, math.pi)][kind]
    px, py = rng.uniform(30 * s, cv.width - 30 * s), rng.uniform(30 * s, cv.height - 30 * s)
    if kind == 0:
        py = rng.uniform(15 * s, cv.height - 15 * s)
    elif kind == 1:
        px = rng.uniform(15 * s, cv.width - 15 * s)
    ux, uy = math.cos(theta), math.sin(theta)
    if rng.random() < 0.4:
        length = rng.uniform(100 * s, 450 * s)
        t0 = -length * rng.uniform(0.1, 0.9)
        t1 = t0 + length
    else:
        t0, t1 = -2000.0 * max(s, 1.0), 2000.0 * max(s, 1.0)
    return (px + t0 * ux, py + t0 * uy, px + t1 * ux, py + t1 * uy,
            float(rng.uniform(3.0 * s, 16.0 * s)))


def _too_close(a: LineTruth, b: LineTruth, scale: float) -> bool:
    """Stripes at a small angle must stay well apart to stay two stripes."""
    da = math.atan2(a.y1 - a.y0, a.x1 - a.x0)
    db = math.atan2(b.y1 - b.y0, b.x1 - b.x0)
    diff = abs((da - db + math.pi / 2) % math.pi - math.pi / 2)
    if diff > math.radians(12):
        return False
    t = np.linspace(0, 1, 64)
    d = segment_distance(a.x0 + t * (a.x1 - a.x0), a.y0 + t * (a.y1 - a.y0), b.x0, b.y0, b.x1, b.y1)
    return bool(d.min() < 40 * scale + (a.width + b.width) / 2)


def _lines(rng: np.random.Generator, cv: _Canvas, img: F32) -> tuple[LineTruth, ...]:
    count = int(rng.choice([1, 2, 3], p=[0.35, 0.4, 0.25]))
    found: list[LineTruth] = []
    painted: list[tuple[float, float, float, float, float]] = []
    for _ in range(60):
        if len(found) == count:
            break
        x0, y0, x1, y1, width = _pick_line(rng, cv)
        seen = _clip_to_frame(cv, x0, y0, x1, y1)
        if seen is None or math.hypot(seen[2] - seen[0], seen[3] - seen[1]) < 80 * cv.scale:
            continue
        truth = LineTruth(*seen, width=width)
        if any(_too_close(truth, other, cv.scale) for other in found):
            continue
        found.append(truth)
        painted.append((x0, y0, x1, y1, width))
    for x0, y0, x1, y1, width in painted:
        length = math.hypot(x1 - x0, y1 - y0)
        ux, uy = (x1 - x0) / length, (y1 - y0) / length
        # Coverage of the pixel square by the stripe, across and along it.
        across = np.abs((cv.xs - x0) * uy - (cv.ys - y0) * ux)
        cover = np.clip(width / 2 + 0.5 - across, 0.0, 1.0)
        along = (cv.xs - x0) * ux + (cv.ys - y0) * uy
        cover *= np.clip(along + 0.5, 0.0, 1.0) * np.clip(length + 0.5 - along, 0.0, 1.0)
        white = rng.uniform(215, 250) + rng.uniform(-5, 5, 3).astype(np.float32)
        _blend(img, (cover * rng.uniform(0.88, 1.0)).astype(np.float32), white.astype(np.float32))
    return tuple(found)


# Farthest reach of a distractor from its centre, in units of its size (the
# corners of a rounded rectangle, the lobes of a blob).
_REACH = 1.5


def _local(cv: _Canvas, cx: float, cy: float, reach: float, phi: float
           ) -> tuple[F32, F32, tuple[slice, slice]] | None:
    """Coordinates (u, v) turned by phi about (cx, cy) over the box of
    `reach` px around it, and the box."""
    box = _box(cv, cx - reach, cy - reach, cx + reach, cy + reach)
    if box is None:
        return None
    rows, cols = box
    c, s = math.cos(phi), math.sin(phi)
    dx = cv.xs[:, cols] - np.float32(cx)
    dy = cv.ys[rows] - np.float32(cy)
    return dx * c + dy * s, -dx * s + dy * c, box


def _ellipse_distance(u: F32, v: F32, a: float, b: float) -> F32:
    """Signed distance (about, in px) from the ellipse with semi-axes a, b."""
    f = (u / a) ** 2 + (v / b) ** 2 - 1.0
    d: F32 = f / np.maximum(np.hypot(2 * u / a ** 2, 2 * v / b ** 2), 1e-6)
    return d


def _distractor_coverage(rng: np.random.Generator, cv: _Canvas, cx: float, cy: float, size: float
                         ) -> tuple[F32, tuple[slice, slice]] | None:
    """Coverage of a random non-round shape of about `size` px radius (none
    reaches farther than _REACH * size from its centre)."""
    reach = _REACH * size + 2
    box = _box(cv, cx - reach, cy - reach, cx + reach, cy + reach)
    if box is None:
        return None
    rows, cols = box
    phi = rng.uniform(0, math.pi)
    c, s = math.cos(phi), math.sin(phi)
    dx = cv.xs[:, cols] - np.float32(cx)
    dy = cv.ys[rows] - np.float32(cy)
    u, v = dx * c + dy * s, -dx * s + dy * c
    shape = rng.integers(3)
    dist: npt.NDArray[np.floating[Any]]
    if shape == 0:   # elongated ellipse
        a, b = size, size * rng.uniform(0.22, 0.55)
        dist = _ellipse_distance(u, v, a, b)
    elif shape == 1:   # rounded rectangle
        a, b = size, size * rng.uniform(0.25, 0.6)
        rc = b * rng.uniform(0.3, 0.8)
        qx, qy = np.abs(u) - (a - rc), np.abs(v) - (b - rc)
        dist = np.hypot(np.maximum(qx, 0), np.maximum(qy, 0)) + np.minimum(np.maximum(qx, qy), 0) - rc
    else:   # irregular blob, stretched along u
        ang = np.arctan2(v, u)
        radius = np.full_like(ang, size * 0.7)
        radius += size * rng.uniform(0.3, 0.42) * np.cos(2 * ang)
        for k in (3, 4, 5):
            radius += size * rng.uniform(0.0, 0.12) * np.cos(k * ang + rng.uniform(0, 6.3))
        dist = np.hypot(u, v) - radius
    return np.clip(0.5 - dist, 0.0, 1.0).astype(np.float32), box


_DISTRACTOR_HUES = ((-8.0, 6.0), (8.0, 13.0), (35.0, 42.0), (48.0, 58.0))


def _distractors(rng: np.random.Generator, cv: _Canvas, img: F32,
                 ball: tuple[float, float, float] | None) -> None:
    count = int(rng.choice(4, p=[0.25, 0.35, 0.25, 0.15]))
    placed = 0
    for _ in range(30):
        if placed == count:
            break
        size = rng.uniform(14 * cv.scale, 70 * cv.scale)
        cx, cy = rng.uniform(0, cv.width), rng.uniform(0, cv.height)
        if ball is not None and math.hypot(cx - ball[0], cy - ball[1]) < \
                ball[2] + _REACH * size + 10 * cv.scale:
            continue
        cov = _distractor_coverage(rng, cv, cx, cy, size)
        if cov is None:
            continue
        alpha, (rows, cols) = cov
        lo, hi = _DISTRACTOR_HUES[rng.integers(4)]
        colour = _hsv(rng.uniform(lo, hi), rng.uniform(0.72, 0.95), rng.uniform(0.72, 0.95))
        # A flat object lit from above: a gentle fall-off downwards.
        shade = 1.06 - 0.14 * np.clip((cv.ys[rows] - cy) / size * 0.5 + 0.5, 0, 1)
        _blend(img[rows, cols], alpha, np.broadcast_to(shade, alpha.shape)[..., None] * colour)
        placed += 1


# ---- what a real field holds besides the ball ---------------------------------

# Skin tones as (hue in degrees, saturation, value) ranges: light to dark.
_SKIN = ((14.0, 30.0), (0.22, 0.62), (0.33, 0.95))


def _place(rng: np.random.Generator, cv: _Canvas, reach: float,
           ball: tuple[float, float, float] | None, taken: list[tuple[float, float, float]]
           ) -> tuple[float, float] | None:
    """A centre whose disc of `reach` px keeps clear of the ball and of the
    objects placed before (centres may lie a little outside the frame)."""
    for _ in range(20):
        cx = rng.uniform(-0.1 * reach, cv.width + 0.1 * reach)
        cy = rng.uniform(-0.1 * reach, cv.height + 0.1 * reach)
        clear = all(math.hypot(cx - x, cy - y) > reach + r + 4 * cv.scale for x, y, r in taken)
        if clear and (ball is None or math.hypot(cx - ball[0], cy - ball[1]) >
                      ball[2] * 1.3 + reach + 8 * cv.scale):
            taken.append((cx, cy, reach))
            return cx, cy
    return None


def _shaded(cv: _Canvas, rows: slice, cy: float, size: float, colour: F32, shape: tuple[int, int],
            strength: float = 0.3) -> F32:
    """`colour` lit from above: brighter at the top of an object of `size`."""
    shade = 1.0 + strength * 0.5 - strength * np.clip((cv.ys[rows] - cy) / size * 0.5 + 0.5, 0, 1)
    out: F32 = (np.broadcast_to(shade, shape)[..., None] * colour).astype(np.float32)
    return out


def _skin_blobs(rng: np.random.Generator, cv: _Canvas, img: F32,
                ball: tuple[float, float, float] | None, taken: list[tuple[float, float, float]]) -> None:
    """Heads (round-ish, some with hair on top), hands and knees."""
    s = cv.scale
    for _ in range(int(rng.integers(1, 5))):
        kind = int(rng.choice(3, p=[0.5, 0.25, 0.25]))
        size = rng.uniform(*((12.0, 45.0), (6.0, 15.0), (10.0, 24.0))[kind]) * s
        aspect = rng.uniform(*((0.78, 1.0), (0.55, 0.85), (0.65, 0.9))[kind])
        where = _place(rng, cv, size + 3, ball, taken)
        if where is None:
            continue
        cx, cy = where
        local = _local(cv, cx, cy, size + 3, rng.uniform(0, math.pi))
        if local is None:
            continue
        u, v, (rows, cols) = local
        alpha = np.clip(0.5 - _ellipse_distance(u, v, size, size * aspect), 0.0, 1.0).astype(np.float32)
        hue, sat, val = (rng.uniform(*r) for r in _SKIN)
        colour = _hsv(hue, sat, val)
        _blend(img[rows, cols], alpha, _shaded(cv, rows, cy, size, colour, alpha.shape, 0.35))
        if kind == 0 and rng.random() < 0.6:
            # Hair over the top of the head, seen from above and in front.
            dy = cv.ys[rows] - np.float32(cy)
            cut = rng.uniform(-0.4, 0.3) * size
            hair = alpha * np.clip(cut - dy + 0.5, 0.0, 1.0)
            tone = _hsv(rng.uniform(15, 35), rng.uniform(0.3, 0.7), rng.uniform(0.08, 0.4))
            _blend(img[rows, cols], hair.astype(np.float32), tone)


def _shirt(rng: np.random.Generator, cv: _Canvas, img: F32,
           ball: tuple[float, float, float] | None, taken: list[tuple[float, float, float]]) -> None:
    """An orange or red torso with sleeves and folds."""
    s = cv.scale
    half_w = rng.uniform(30, 80) * s
    half_h = half_w * rng.uniform(1.1, 1.6)
    where = _place(rng, cv, 1.35 * half_h, ball, taken)
    if where is None:
        return
    cx, cy = where
    local = _local(cv, cx, cy, 1.35 * half_h, rng.uniform(-0.25, 0.25))
    if local is None:
        return
    u, v, (rows, cols) = local
    rc = 0.35 * half_w
    qx, qy = np.abs(u) - (half_w - rc), np.abs(v) - (half_h - rc)
    body = np.hypot(np.maximum(qx, 0), np.maximum(qy, 0)) + np.minimum(np.maximum(qx, qy), 0) - rc
    # Sleeves: two slanted bars from the shoulders.
    sleeve = np.full_like(body, np.inf)
    for side in (-1.0, 1.0):
        ang = side * rng.uniform(0.5, 1.1)
        sx, sy = side * half_w * 0.8, -half_h * 0.7
        ax, ay = math.sin(ang), math.cos(ang)
        along = (u - sx) * ax + (v - sy) * ay
        across = np.abs((u - sx) * ay - (v - sy) * ax)
        ln = half_w * rng.uniform(0.8, 1.3)
        sleeve = np.minimum(sleeve, np.maximum(across - 0.3 * half_w,
                                               np.maximum(-along, along - ln)))
    alpha = np.clip(0.5 - np.minimum(body, sleeve), 0.0, 1.0).astype(np.float32)
    hue = rng.uniform(14, 30) if rng.random() < 0.6 else rng.uniform(-6, 8)
    colour = _hsv(hue, rng.uniform(0.7, 0.97), rng.uniform(0.6, 0.95))
    shape = alpha.shape
    folds = 1.0 + 0.18 * _smooth_noise(rng, 6, 6, shape) * np.float32(1.0)
    tone = _shaded(cv, rows, cy, half_h, colour, shape, 0.25) * folds[..., None]
    _blend(img[rows, cols], alpha, tone.astype(np.float32))


def _cone(rng: np.random.Generator, cv: _Canvas, img: F32,
          ball: tuple[float, float, float] | None, taken: list[tuple[float, float, float]]) -> None:
    """An orange training cone seen from the side, with a white band."""
    s = cv.scale
    height = rng.uniform(25, 70) * s
    base = height * rng.uniform(0.55, 0.8)
    where = _place(rng, cv, 0.6 * height + 2, ball, taken)
    if where is None:
        return
    cx, cy = where
    local = _local(cv, cx, cy, 0.6 * height + 2, 0.0)
    if local is None:
        return
    u, v, (rows, cols) = local
    t = (v + height / 2) / height                       # 0 at the tip, 1 at the foot
    half = 0.08 * base + (0.5 - 0.08) * base * t
    inside = np.minimum(np.minimum(half - np.abs(u), (v + height / 2)), height / 2 - v)
    alpha = np.clip(inside + 0.5, 0.0, 1.0).astype(np.float32)
    colour = _hsv(rng.uniform(10, 25), rng.uniform(0.85, 1.0), rng.uniform(0.8, 1.0))
    side = (1.1 - 0.35 * np.clip(u / np.maximum(half, 1.0) * 0.5 + 0.5, 0, 1)).astype(np.float32)
    _blend(img[rows, cols], alpha, side[..., None] * colour)
    band = alpha * np.clip(0.06 * height + 0.5 - np.abs(t - 0.5) * height, 0.0, 1.0)
    _blend(img[rows, cols], band.astype(np.float32), np.array([230, 230, 225], np.float32))


def _field_shadows(rng: np.random.Generator, cv: _Canvas) -> F32:
    """Gain of one or two soft shadows across the field: darker and bluer
    than the sunlit grass (a shadow is lit by the sky alone)."""
    gain = np.ones((cv.height, cv.width, 3), np.float32)
    for _ in range(int(rng.integers(1, 3))):
        ang = rng.uniform(0, 2 * math.pi)
        nx, ny = math.cos(ang), math.sin(ang)
        px, py = rng.uniform(0.2, 0.8) * cv.width, rng.uniform(0.2, 0.8) * cv.height
        soft = rng.uniform(1.0, 8.0) * cv.scale
        depth = rng.uniform(0.45, 0.7)
        d = (cv.xs - px) * nx + (cv.ys - py) * ny
        # A straight edge, wavy now and then (a player's outline).
        d += rng.uniform(0, 12) * cv.scale * np.sin((cv.xs * ny - cv.ys * nx) / (40 * cv.scale)
                                                    + rng.uniform(0, 6.3))
        cover = np.clip(0.5 + d / soft, 0.0, 1.0)[..., None]
        tint = np.array([depth * 0.9, depth * 0.97, depth * 1.15], np.float32)
        gain *= (1.0 - cover + cover * tint).astype(np.float32)
    return gain


def _ball_position(rng: np.random.Generator, cv: _Canvas, r: float, cut: bool) -> tuple[float, float]:
    if not cut:
        return rng.uniform(r + 1.0, cv.width - 2.0 - r), rng.uniform(r + 1.0, cv.height - 2.0 - r)
    inside = rng.uniform(0.2, 0.9) * r          # centre to the frame's border
    side = rng.integers(4)
    if side < 2:
        x = -0.5 + inside if side == 0 else cv.width - 0.5 - inside
        return x, rng.uniform(r, cv.height - 1.0 - r)
    y = -0.5 + inside if side == 2 else cv.height - 0.5 - inside
    return rng.uniform(r, cv.width - 1.0 - r), y


def _ball(rng: np.random.Generator, cv: _Canvas, img: F32, x: float, y: float, r: float,
          extra: np.random.Generator | None, layout: Layout) -> None:
    box = _box(cv, x - 1.2 * r - 1, y - r - 1, x + 1.2 * r + 1, y + 1.3 * r + 1)
    if box is None:
        return
    rows, cols = box
    dx = cv.xs[:, cols] - np.float32(x)
    dy = cv.ys[rows] - np.float32(y)
    # A soft contact shadow on the ground under the ball.
    e = (dx / (1.15 * r)) ** 2 + ((dy - 0.85 * r) / (0.38 * r)) ** 2
    img[rows, cols] *= (1.0 - 0.4 * np.clip(1.6 - 1.6 * e, 0, 1) ** 2)[..., None]
    # The sphere: diffuse light from above, ambient, a small highlight.
    d = np.hypot(dx, dy)
    nx, ny = dx / r, dy / r
    nz = np.sqrt(np.clip(1.0 - nx * nx - ny * ny, 0.0, 1.0))
    lx, ly, lz = rng.uniform(-0.45, 0.45), -rng.uniform(0.55, 0.85), rng.uniform(0.4, 0.7)
    if extra is not None and layout.side_light:
        # Low light from one side: one half bright, the other in its own shade.
        lx = float(extra.choice([-1.0, 1.0]) * extra.uniform(0.75, 0.95))
        ly, lz = -extra.uniform(0.0, 0.35), extra.uniform(0.2, 0.45)
    n = math.sqrt(lx * lx + ly * ly + lz * lz)
    lx, ly, lz = lx / n, ly / n, lz / n
    lit = np.clip(nx * lx + ny * ly + nz * lz, 0.0, 1.0)
    ambient = rng.uniform(0.32, 0.45)
    albedo = _hsv(rng.uniform(17, 29), rng.uniform(0.84, 0.96), rng.uniform(0.9, 1.0))
    colour = (ambient + (1.0 - ambient) * lit)[..., None] * albedo
    hx, hy, hz = lx, ly, lz + 1.0                  # half vector, viewer along z
    h = math.sqrt(hx * hx + hy * hy + hz * hz)
    spec = np.clip(nx * hx / h + ny * hy / h + nz * hz / h, 0.0, 1.0) ** rng.uniform(25, 60)
    gloss = rng.uniform(0.15, 0.45)
    if extra is not None and layout.side_light:
        gloss = extra.uniform(0.45, 0.8)
    colour += (gloss * 255.0 * spec)[..., None]
    if extra is not None and layout.ball_shadow:
        _cast_shadow(extra, cv, img, x, y, r, lx, ly)
    _blend(img[rows, cols], np.clip(r + 0.5 - d, 0.0, 1.0).astype(np.float32), colour.astype(np.float32))


def _cast_shadow(rng: np.random.Generator, cv: _Canvas, img: F32, x: float, y: float, r: float,
                 lx: float, ly: float) -> None:
    """The ball's long shadow on the grass, away from its light."""
    norm = math.hypot(lx, ly) or 1.0
    ux, uy = -lx / norm, -ly / norm
    length = r * rng.uniform(1.4, 2.6)
    sx, sy = x + ux * (0.5 * length), y + uy * (0.5 * length) + 0.3 * r
    local = _local(cv, sx, sy, 0.5 * length + r + 2, math.atan2(uy, ux))
    if local is None:
        return
    u, v, (rows, cols) = local
    cover = np.clip(0.5 - _ellipse_distance(u, v, 0.5 * length + 0.4 * r, 0.85 * r), 0.0, 1.0)
    soft = _binomial_blur(cover.astype(np.float32), 2)
    img[rows, cols] *= (1.0 - rng.uniform(0.35, 0.55) * soft)[..., None]


@dataclass(frozen=True)
class _Bar:
    """A bar drawn across the frame: through (x, y) along (ux, uy), half
    wide, from the top of the frame down to `foot`."""
    x: float
    y: float
    ux: float
    uy: float
    half: float
    foot: float

    def hides(self, px: F64, py: F64) -> npt.NDArray[np.bool_]:
        dx, dy = px - self.x, py - self.y
        return (np.abs(dx * self.uy - dy * self.ux) < self.half) & (dx * self.ux + dy * self.uy <= self.foot - self.y)


def _visible_share(line: LineTruth, ball: BallTruth | None, bar: _Bar | None) -> float:
    """The share of a stripe's centre line that neither the ball nor the bar
    in front of it hides."""
    t = np.linspace(0.0, 1.0, 65)
    px, py = line.x0 + (line.x1 - line.x0) * t, line.y0 + (line.y1 - line.y0) * t
    hidden = np.zeros(t.shape, bool)
    if ball is not None:
        hidden |= np.hypot(px - ball.x, py - ball.y) < ball.r
    if bar is not None:
        hidden |= bar.hides(px, py)
    return float(1.0 - hidden.mean())


def _leg(rng: np.random.Generator, cv: _Canvas, img: F32, x: float, y: float, r: float) -> _Bar | None:
    """A dark, nearly vertical bar in front of part of the ball, from the top
    of the frame down to a foot below the ball (None when it misses the
    frame)."""
    tilt = math.radians(rng.uniform(-12, 12))
    half = rng.uniform(0.2, 0.45) * r
    bx = x + rng.choice([-1.0, 1.0]) * rng.uniform(0.35, 0.8) * r   # bar centre at the ball's row
    foot = y + r + rng.uniform(4 * cv.scale, 40 * cv.scale)
    ux, uy = math.sin(tilt), math.cos(tilt)            # along the bar, downwards
    reach = abs(ux) * (y + 1) + half / uy + 2          # farthest sideways from bx
    box = _box(cv, bx - reach, -1, bx + reach, foot + 1)
    if box is None:
        return None
    rows, cols = box
    dx, dy = cv.xs[:, cols] - np.float32(bx), cv.ys[rows] - np.float32(y)
    across = dx * uy - dy * ux
    cover = np.clip(half + 0.5 - np.abs(across), 0.0, 1.0)
    cover *= np.clip(foot - y + 0.5 - (dx * ux + dy * uy), 0.0, 1.0)
    grey = rng.uniform(18, 60)
    shade = grey * (1.0 - 0.35 * np.clip(across / half, -1, 1) ** 2)   # rounded: darker at its sides
    colour = shade[..., None] * np.array([1.0, 1.0, 1.08], np.float32)
    _blend(img[rows, cols], cover.astype(np.float32), colour.astype(np.float32))
    return _Bar(bx, y, ux, uy, half, foot)


def _light(rng: np.random.Generator, cv: _Canvas) -> F32:
    """Gain of the light and the lens: exposure, a gradient, vignetting."""
    s = cv.scale
    cx = cv.width / 2 + rng.uniform(-60 * s, 60 * s)
    cy = cv.height / 2 + rng.uniform(-60 * s, 60 * s)
    corner = (cv.width / 2 + 60 * s) ** 2 + (cv.height / 2 + 60 * s) ** 2
    rr = ((cv.xs - cx) ** 2 + (cv.ys - cy) ** 2) / corner          # 1 at the farthest corner
    angle = rng.uniform(0, 2 * math.pi)
    ramp = ((cv.xs - cv.width / 2) * math.cos(angle)
            + (cv.ys - cv.height / 2) * math.sin(angle)) / (400.0 * s)
    gain = rng.uniform(0.9, 1.1) * (1.0 - rng.uniform(0.1, 0.3) * rr) * (1.0 + rng.uniform(0.0, 0.2) * ramp)
    return gain.astype(np.float32)


def make_scene(seed: int, index: int = 0, layout: Layout | None = None) -> Scene:
    """Generates one frame and its truth.

    Parameters
    ----------
    seed : int
        Seed of the series; with `index` (and the layout) it fixes every
        byte of the frame.
    index : int, optional
        Number of the frame within the series.
    layout : Layout, optional
        Frame size, ball radii and the objects added to the default scene.

    Returns
    -------
    Scene
        The frame, the ball (or None), the painted lines, seed and index.

    Examples
    --------
    >>> a, b = make_scene(3, 1), make_scene(3, 1)
    >>> bool((a.image == b.image).all()) and a.ball == b.ball
    True
    """
    layout = layout or DEFAULT_LAYOUT
    cv = _canvas(layout.width, layout.height)
    rng = np.random.default_rng([seed, index])
    # What the layout adds draws from a stream of its own.
    extra = np.random.default_rng([seed, index, 1]) if layout.adds_objects else None
    img = _grass(rng, cv)
    lines = _lines(rng, cv, img)
    ball: BallTruth | None = None
    if rng.random() < 0.9:
        r = float(rng.uniform(*layout.radii))
        x, y = _ball_position(rng, cv, r, cut=bool(rng.random() < 0.15))
        occluded = bool(rng.random() < 0.15)
        cut = x - r < -0.5 or y - r < -0.5 or x + r > cv.width - 0.5 or y + r > cv.height - 0.5
        ball = BallTruth(float(x), float(y), r, cut=cut, occluded=occluded)
    where = None if ball is None else (ball.x, ball.y, ball.r)
    _distractors(rng, cv, img, where)
    if extra is not None:
        taken: list[tuple[float, float, float]] = []
        if layout.shirts and extra.random() < 0.67:
            _shirt(extra, cv, img, where, taken)
        if layout.cones:
            for _ in range(int(extra.choice(3, p=[0.5, 0.3, 0.2]))):
                _cone(extra, cv, img, where, taken)
        if layout.skin:
            _skin_blobs(extra, cv, img, where, taken)
    if ball is not None:
        _ball(rng, cv, img, ball.x, ball.y, ball.r, extra, layout)
        bar = _leg(rng, cv, img, ball.x, ball.y, ball.r) if ball.occluded else None
        # A stripe hidden for more than three quarters of its length is not
        # there to be found.
        lines = tuple(t for t in lines if _visible_share(t, ball, bar) >= 0.25)
    light = _light(rng, cv)
    if extra is not None and layout.shadows:
        img *= _field_shadows(extra, cv)
    img *= light[..., None]
    img = _binomial_blur(img, 1 if rng.random() < 0.5 else 2)
    # Sensor noise: triangular, unit variance before scaling, per channel.
    u = rng.random((2, *img.shape), dtype=np.float32)
    img += np.float32(rng.uniform(2.0, 5.0) * math.sqrt(6.0)) * (u[0] + u[1] - 1.0)
    image = np.ascontiguousarray(np.clip(img + 0.5, 0, 255).astype(np.uint8))
    return Scene(image=image, ball=ball, lines=lines, seed=seed, index=index)
