"""Generated field scenes with their truth, and the scores of a detector on them.

A scene is a 640 x 480 RGB frame as a small robot's camera sees a sports
field: textured grass under uneven light, one to three white painted lines,
an orange ball (absent in about one frame in ten), red and yellow distractor
objects, a dark robot leg now and then, blur and sensor noise.  Every frame
comes with the exact geometry it was drawn from, so a detector's output can
be scored against it.

Coordinates follow the pixel-centre convention: pixel (x, y) covers the
square from x - 0.5 to x + 0.5 and y - 0.5 to y + 0.5, x is the column and
the frame spans -0.5 .. 639.5 by -0.5 .. 479.5.  All edges are drawn with
their analytic area coverage, so the truth is meaningful to a fraction of a
pixel.

What the frames hold (useful when writing a detector):

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

import functools
import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Protocol

import numpy as np
import numpy.typing as npt

__all__ = [
    "HEIGHT", "WIDTH", "BallTruth", "LineTruth", "Scene", "make_scene", "make_scenes",
    "BallLike", "LineLike", "BallScore", "LineScore", "score_ball", "line_fit",
    "score_lines", "Summary", "Tally", "format_table",
]

HEIGHT, WIDTH = 480, 640

F32 = npt.NDArray[np.float32]
F64 = npt.NDArray[np.float64]

# Pixel-centre coordinates of every column and row.
_XS = np.arange(WIDTH, dtype=np.float32)[None, :]
_YS = np.arange(HEIGHT, dtype=np.float32)[:, None]


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
    (its border at -0.5 and 639.5 / 479.5).

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
        (480, 640, 3) uint8 RGB, C-contiguous.
    ball : BallTruth or None
        None when the frame holds no ball.
    lines : tuple of LineTruth
        The painted stripes, one entry each.
    seed, index : int
        The arguments that reproduce the frame.

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


def _smooth_noise(rng: np.random.Generator, rows: int, cols: int,
                  shape: tuple[int, int] = (HEIGHT, WIDTH)) -> F32:
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


def _box(x0: float, y0: float, x1: float, y1: float) -> tuple[slice, slice] | None:
    """Row and column slices of the frame covering [x0, x1] x [y0, y1]."""
    c0, c1 = max(0, math.floor(x0)), min(WIDTH, math.ceil(x1) + 1)
    r0, r1 = max(0, math.floor(y0)), min(HEIGHT, math.ceil(y1) + 1)
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


def _clip_to_frame(x0: float, y0: float, x1: float, y1: float
                   ) -> tuple[float, float, float, float] | None:
    """The part of a segment inside the frame (Liang-Barsky), or None."""
    dx, dy = x1 - x0, y1 - y0
    t0, t1 = 0.0, 1.0
    for p, q in ((-dx, x0 + 0.5), (dx, WIDTH - 0.5 - x0), (-dy, y0 + 0.5), (dy, HEIGHT - 0.5 - y0)):
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


def _segment_distance(px: F64 | float, py: F64 | float,
                      x0: float, y0: float, x1: float, y1: float) -> F64:
    """Distance of points from the segment (x0, y0)-(x1, y1)."""
    dx, dy = x1 - x0, y1 - y0
    n2 = dx * dx + dy * dy
    t = np.clip(((np.asarray(px) - x0) * dx + (np.asarray(py) - y0) * dy) / n2, 0.0, 1.0) \
        if n2 > 0 else np.zeros_like(np.asarray(px, np.float64))
    out: F64 = np.hypot(np.asarray(px) - (x0 + t * dx), np.asarray(py) - (y0 + t * dy))
    return out


# ---- the scene parts --------------------------------------------------------------

def _grass(rng: np.random.Generator) -> F32:
    g = rng.uniform(105, 150)
    base = np.array([g * rng.uniform(0.35, 0.55), g, g * rng.uniform(0.25, 0.42)], np.float32)
    # The slow parts at a quarter of the resolution: patches and mowing
    # stripes (a soft square wave across the field).
    h, w = HEIGHT // 4, WIDTH // 4
    bright = 1.0 + 0.07 * _smooth_noise(rng, 7, 9, (h, w)) + 0.04 * _smooth_noise(rng, 48, 64, (h, w))
    angle = rng.uniform(0, math.pi)
    period = rng.uniform(90, 220) / 4
    xs, ys = np.arange(w, dtype=np.float32)[None, :], np.arange(h, dtype=np.float32)[:, None]
    phase = (xs * math.cos(angle) + ys * math.sin(angle)) * (2 * math.pi / period) + rng.uniform(0, 6.3)
    bright += rng.uniform(0.03, 0.08) * np.tanh(2.5 * np.sin(phase))
    full = _resample(bright.astype(np.float32), HEIGHT, WIDTH)
    # Blades: fine grain, a little stretched along the columns.
    grain = rng.standard_normal((HEIGHT + 2, WIDTH), dtype=np.float32)
    full += 0.035 * (grain[:-2] + grain[1:-1] + grain[2:])
    img: F32 = full[..., None] * base
    return img


def _pick_line(rng: np.random.Generator) -> tuple[float, float, float, float, float]:
    """A random stripe: its painted end points (far outside the frame unless
    it is a segment on the field) and its width."""
    kind = rng.choice(3, p=[0.17, 0.18, 0.65])
    theta = [0.0, math.pi / 2, rng.uniform(0, math.pi)][kind]
    px, py = rng.uniform(30, WIDTH - 30), rng.uniform(30, HEIGHT - 30)
    if kind == 0:
        py = rng.uniform(15, HEIGHT - 15)
    elif kind == 1:
        px = rng.uniform(15, WIDTH - 15)
    ux, uy = math.cos(theta), math.sin(theta)
    if rng.random() < 0.4:
        length = rng.uniform(100, 450)
        t0 = -length * rng.uniform(0.1, 0.9)
        t1 = t0 + length
    else:
        t0, t1 = -2000.0, 2000.0
    return (px + t0 * ux, py + t0 * uy, px + t1 * ux, py + t1 * uy,
            float(rng.uniform(3.0, 16.0)))


def _too_close(a: LineTruth, b: LineTruth) -> bool:
    """Stripes at a small angle must stay well apart to stay two stripes."""
    da = math.atan2(a.y1 - a.y0, a.x1 - a.x0)
    db = math.atan2(b.y1 - b.y0, b.x1 - b.x0)
    diff = abs((da - db + math.pi / 2) % math.pi - math.pi / 2)
    if diff > math.radians(12):
        return False
    t = np.linspace(0, 1, 64)
    d = _segment_distance(a.x0 + t * (a.x1 - a.x0), a.y0 + t * (a.y1 - a.y0), b.x0, b.y0, b.x1, b.y1)
    return bool(d.min() < 40 + (a.width + b.width) / 2)


def _lines(rng: np.random.Generator, img: F32) -> tuple[LineTruth, ...]:
    count = int(rng.choice([1, 2, 3], p=[0.35, 0.4, 0.25]))
    found: list[LineTruth] = []
    painted: list[tuple[float, float, float, float, float]] = []
    for _ in range(60):
        if len(found) == count:
            break
        x0, y0, x1, y1, width = _pick_line(rng)
        seen = _clip_to_frame(x0, y0, x1, y1)
        if seen is None or math.hypot(seen[2] - seen[0], seen[3] - seen[1]) < 80:
            continue
        truth = LineTruth(*seen, width=width)
        if any(_too_close(truth, other) for other in found):
            continue
        found.append(truth)
        painted.append((x0, y0, x1, y1, width))
    for x0, y0, x1, y1, width in painted:
        length = math.hypot(x1 - x0, y1 - y0)
        ux, uy = (x1 - x0) / length, (y1 - y0) / length
        # Coverage of the pixel square by the stripe, across and along it.
        across = np.abs((_XS - x0) * uy - (_YS - y0) * ux)
        cover = np.clip(width / 2 + 0.5 - across, 0.0, 1.0)
        along = (_XS - x0) * ux + (_YS - y0) * uy
        cover *= np.clip(along + 0.5, 0.0, 1.0) * np.clip(length + 0.5 - along, 0.0, 1.0)
        white = rng.uniform(215, 250) + rng.uniform(-5, 5, 3).astype(np.float32)
        _blend(img, (cover * rng.uniform(0.88, 1.0)).astype(np.float32), white.astype(np.float32))
    return tuple(found)


# Farthest reach of a distractor from its centre, in units of its size (the
# corners of a rounded rectangle, the lobes of a blob).
_REACH = 1.5


def _distractor_coverage(rng: np.random.Generator, cx: float, cy: float, size: float
                         ) -> tuple[F32, tuple[slice, slice]] | None:
    """Coverage of a random non-round shape of about `size` px radius (none
    reaches farther than _REACH * size from its centre)."""
    reach = _REACH * size + 2
    box = _box(cx - reach, cy - reach, cx + reach, cy + reach)
    if box is None:
        return None
    rows, cols = box
    phi = rng.uniform(0, math.pi)
    c, s = math.cos(phi), math.sin(phi)
    dx = _XS[:, cols] - np.float32(cx)
    dy = _YS[rows] - np.float32(cy)
    u, v = dx * c + dy * s, -dx * s + dy * c
    shape = rng.integers(3)
    if shape == 0:   # elongated ellipse
        a, b = size, size * rng.uniform(0.22, 0.55)
        f = (u / a) ** 2 + (v / b) ** 2 - 1.0
        dist = f / np.maximum(np.hypot(2 * u / a ** 2, 2 * v / b ** 2), 1e-6)
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


def _distractors(rng: np.random.Generator, img: F32, ball: tuple[float, float, float] | None) -> None:
    count = int(rng.choice(4, p=[0.25, 0.35, 0.25, 0.15]))
    placed = 0
    for _ in range(30):
        if placed == count:
            break
        size = rng.uniform(14, 70)
        cx, cy = rng.uniform(0, WIDTH), rng.uniform(0, HEIGHT)
        if ball is not None and math.hypot(cx - ball[0], cy - ball[1]) < ball[2] + _REACH * size + 10:
            continue
        cov = _distractor_coverage(rng, cx, cy, size)
        if cov is None:
            continue
        alpha, (rows, cols) = cov
        lo, hi = _DISTRACTOR_HUES[rng.integers(4)]
        colour = _hsv(rng.uniform(lo, hi), rng.uniform(0.72, 0.95), rng.uniform(0.72, 0.95))
        # A flat object lit from above: a gentle fall-off downwards.
        shade = 1.06 - 0.14 * np.clip((_YS[rows] - cy) / size * 0.5 + 0.5, 0, 1)
        _blend(img[rows, cols], alpha, np.broadcast_to(shade, alpha.shape)[..., None] * colour)
        placed += 1


def _ball_position(rng: np.random.Generator, r: float, cut: bool) -> tuple[float, float]:
    if not cut:
        return rng.uniform(r + 1.0, WIDTH - 2.0 - r), rng.uniform(r + 1.0, HEIGHT - 2.0 - r)
    inside = rng.uniform(0.2, 0.9) * r          # centre to the frame's border
    side = rng.integers(4)
    if side < 2:
        x = -0.5 + inside if side == 0 else WIDTH - 0.5 - inside
        return x, rng.uniform(r, HEIGHT - 1.0 - r)
    y = -0.5 + inside if side == 2 else HEIGHT - 0.5 - inside
    return rng.uniform(r, WIDTH - 1.0 - r), y


def _ball(rng: np.random.Generator, img: F32, x: float, y: float, r: float) -> None:
    box = _box(x - 1.2 * r - 1, y - r - 1, x + 1.2 * r + 1, y + 1.3 * r + 1)
    if box is None:
        return
    rows, cols = box
    dx = _XS[:, cols] - np.float32(x)
    dy = _YS[rows] - np.float32(y)
    # A soft contact shadow on the ground under the ball.
    e = (dx / (1.15 * r)) ** 2 + ((dy - 0.85 * r) / (0.38 * r)) ** 2
    img[rows, cols] *= (1.0 - 0.4 * np.clip(1.6 - 1.6 * e, 0, 1) ** 2)[..., None]
    # The sphere: diffuse light from above, ambient, a small highlight.
    d = np.hypot(dx, dy)
    nx, ny = dx / r, dy / r
    nz = np.sqrt(np.clip(1.0 - nx * nx - ny * ny, 0.0, 1.0))
    lx, ly, lz = rng.uniform(-0.45, 0.45), -rng.uniform(0.55, 0.85), rng.uniform(0.4, 0.7)
    n = math.sqrt(lx * lx + ly * ly + lz * lz)
    lx, ly, lz = lx / n, ly / n, lz / n
    lit = np.clip(nx * lx + ny * ly + nz * lz, 0.0, 1.0)
    ambient = rng.uniform(0.32, 0.45)
    albedo = _hsv(rng.uniform(17, 29), rng.uniform(0.84, 0.96), rng.uniform(0.9, 1.0))
    colour = (ambient + (1.0 - ambient) * lit)[..., None] * albedo
    hx, hy, hz = lx, ly, lz + 1.0                  # half vector, viewer along z
    h = math.sqrt(hx * hx + hy * hy + hz * hz)
    spec = np.clip(nx * hx / h + ny * hy / h + nz * hz / h, 0.0, 1.0) ** rng.uniform(25, 60)
    colour += (rng.uniform(0.15, 0.45) * 255.0 * spec)[..., None]
    _blend(img[rows, cols], np.clip(r + 0.5 - d, 0.0, 1.0).astype(np.float32), colour.astype(np.float32))


def _leg(rng: np.random.Generator, img: F32, x: float, y: float, r: float) -> None:
    """A dark, nearly vertical bar in front of part of the ball, from the top
    of the frame down to a foot below the ball."""
    tilt = math.radians(rng.uniform(-12, 12))
    half = rng.uniform(0.2, 0.45) * r
    bx = x + rng.choice([-1.0, 1.0]) * rng.uniform(0.35, 0.8) * r   # bar centre at the ball's row
    foot = y + r + rng.uniform(4, 40)
    ux, uy = math.sin(tilt), math.cos(tilt)            # along the bar, downwards
    reach = abs(ux) * (y + 1) + half / uy + 2          # farthest sideways from bx
    box = _box(bx - reach, -1, bx + reach, foot + 1)
    if box is None:
        return
    rows, cols = box
    dx, dy = _XS[:, cols] - np.float32(bx), _YS[rows] - np.float32(y)
    across = dx * uy - dy * ux
    cover = np.clip(half + 0.5 - np.abs(across), 0.0, 1.0)
    cover *= np.clip(foot - y + 0.5 - (dx * ux + dy * uy), 0.0, 1.0)
    grey = rng.uniform(18, 60)
    shade = grey * (1.0 - 0.35 * np.clip(across / half, -1, 1) ** 2)   # rounded: darker at its sides
    colour = shade[..., None] * np.array([1.0, 1.0, 1.08], np.float32)
    _blend(img[rows, cols], cover.astype(np.float32), colour.astype(np.float32))


def _light(rng: np.random.Generator) -> F32:
    """Gain of the light and the lens: exposure, a gradient, vignetting."""
    cx, cy = WIDTH / 2 + rng.uniform(-60, 60), HEIGHT / 2 + rng.uniform(-60, 60)
    corner = (WIDTH / 2 + 60) ** 2 + (HEIGHT / 2 + 60) ** 2
    rr = ((_XS - cx) ** 2 + (_YS - cy) ** 2) / corner          # 1 at the farthest corner
    angle = rng.uniform(0, 2 * math.pi)
    ramp = ((_XS - WIDTH / 2) * math.cos(angle) + (_YS - HEIGHT / 2) * math.sin(angle)) / 400.0
    gain = rng.uniform(0.9, 1.1) * (1.0 - rng.uniform(0.1, 0.3) * rr) * (1.0 + rng.uniform(0.0, 0.2) * ramp)
    return gain.astype(np.float32)


def make_scene(seed: int, index: int = 0) -> Scene:
    """Generates one frame and its truth.

    Parameters
    ----------
    seed : int
        Seed of the series; with `index` it fixes every byte of the frame.
    index : int, optional
        Number of the frame within the series.

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
    rng = np.random.default_rng([seed, index])
    img = _grass(rng)
    lines = _lines(rng, img)
    ball: BallTruth | None = None
    if rng.random() < 0.9:
        r = float(rng.uniform(12, 60))
        x, y = _ball_position(rng, r, cut=bool(rng.random() < 0.15))
        occluded = bool(rng.random() < 0.15)
        cut = x - r < -0.5 or y - r < -0.5 or x + r > WIDTH - 0.5 or y + r > HEIGHT - 0.5
        ball = BallTruth(float(x), float(y), r, cut=cut, occluded=occluded)
    _distractors(rng, img, None if ball is None else (ball.x, ball.y, ball.r))
    if ball is not None:
        _ball(rng, img, ball.x, ball.y, ball.r)
        if ball.occluded:
            _leg(rng, img, ball.x, ball.y, ball.r)
    img *= _light(rng)[..., None]
    img = _binomial_blur(img, 1 if rng.random() < 0.5 else 2)
    # Sensor noise: triangular, unit variance before scaling, per channel.
    u = rng.random((2, *img.shape), dtype=np.float32)
    img += np.float32(rng.uniform(2.0, 5.0) * math.sqrt(6.0)) * (u[0] + u[1] - 1.0)
    image = np.ascontiguousarray(np.clip(img + 0.5, 0, 255).astype(np.uint8))
    return Scene(image=image, ball=ball, lines=lines, seed=seed, index=index)


def make_scenes(seed: int, count: int) -> Iterator[Scene]:
    """Yields the frames 0 .. count - 1 of a series.

    Parameters
    ----------
    seed : int
        Seed of the series.
    count : int
        Number of frames.

    Yields
    ------
    Scene
        ``make_scene(seed, index)`` for index = 0, 1, ...

    Examples
    --------
    >>> [s.index for s in make_scenes(9, 3)]
    [0, 1, 2]
    """
    for index in range(count):
        yield make_scene(seed, index)


# ---- scoring --------------------------------------------------------------------

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
    d = _segment_distance(np.array([found.x0, found.x1], np.float64),
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


def _percent(part: int, whole: int) -> float:
    return 100.0 * part / whole if whole else 100.0


@dataclass
class Tally:
    """Accumulates ball and line scores over many frames.

    Examples
    --------
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
    true_lines: int = 0
    found_lines: int = 0
    matched_lines: int = 0
    centre_errors: list[float] = field(default_factory=list)
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
        if b.present and b.reported:
            self.centre_errors.append(b.centre_error)
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
