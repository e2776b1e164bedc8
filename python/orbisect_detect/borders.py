"""Borders where the image has them: a circle's border located to a fraction
of a pixel along its normals.

A colour window cuts a blurred or compressed border wherever its limits lie,
which is rarely the border's middle: the radius of a circle fitted to where
the window cuts comes out small or large by up to a pixel or two, by an
amount that changes with the blur, the compression and the light.  Where
the image changes fastest across the border does not depend on any window.

:func:`refine_circle_border` samples the frame (bilinearly, every half
pixel) along rays through the circle's centre, across its border, in the
chroma plane (Cb and Cr): a shadow on the grass, the ball's own shading and
its highlight change the intensity far more than the chroma, the border
between ball and surroundings changes the chroma most.  On each ray the
colour just inside (``c_in``) and just outside (``c_out``) are the means of
its first and last samples; the profile ``p(t) = (c(t) - c_in) . (c_out -
c_in) / |c_out - c_in|^2`` runs from 0 inside to 1 outside, and the border
is where it rises fastest, to a fraction of a pixel from the parabola
through the largest rise and its neighbours.  A slow ramp on either side (a
soft shadow under the ball, vignetting) moves the half-way level of the
profile, but not its steepest point.  Inside and outside are taken per ray,
so a ball lit from one side, or seen against grass on one side and a white
line on the other, keeps its border on every ray.  Rays whose two sides
hardly differ in chroma (a dark bar in front of the ball), or that leave
the frame, are left out.  A least-squares circle through the borders, with
those far from it dropped, is the refined circle; the rays are cast again
from it, twice in all.

A symmetric blur keeps a straight border's middle where it was; on a circle
of radius r, a Gaussian blur of sigma s moves it inwards by about
s^2 / (2 r).  The blur is measured on the rays (the distance from the
profile's 25 % to its 75 % level is 1.349 s) and the radius put back by it.

The borders also tell how round the object is: the second harmonic of their
distances from the centre (an ellipse's signature) is given as
:attr:`BorderFit.ellipticity`, one less the short over the long axis.

Examples
--------
>>> import numpy as np
>>> yy, xx = np.mgrid[:120, :160]
>>> cover = np.clip(30.5 - np.hypot(xx - 80.3, yy - 60.6), 0, 1)[..., None]
>>> frame = (cover * [230, 120, 30] + (1 - cover) * [50, 140, 60]).astype(np.uint8)
>>> fit = refine_circle_border(frame, 79.0, 61.5, 29.0)
>>> round(fit.x, 1), round(fit.y, 1), round(fit.r, 1), fit.ellipticity < 0.01
(80.3, 60.6, 30.0, True)
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import orbisect

from .windows import ChannelOrder

__all__ = ["BorderFit", "sample_bilinear", "border_positions", "refine_circle_border"]

F64 = npt.NDArray[np.float64]

# The chroma plane of RGB (BT.601's Cb and Cr): what changes across a
# ball's border, and what a shadow or the ball's own shading hardly moves.
_CHROMA_RGB = np.array([[-0.168736, -0.331264, 0.5], [0.5, -0.418688, -0.081312]])

MIN_CONTRAST = 12.0
"""Least chroma distance (grey levels) between a ray's inside and outside
for the ray to count."""


def sample_bilinear(frame: npt.NDArray[np.uint8], x: F64, y: F64) -> F64:
    """The frame's colour at points (x, y) by bilinear interpolation.

    Points must lie within the pixel centres (0 <= x <= W - 1, 0 <= y <= H - 1).

    Returns
    -------
    ndarray
        (*x.shape, 3) float64.

    Examples
    --------
    >>> f = np.array([[[0, 0, 0], [100, 50, 10]]], np.uint8)
    >>> sample_bilinear(f, np.array([0.25]), np.array([0.0])).tolist()
    [[25.0, 12.5, 2.5]]
    """
    h, w = frame.shape[0], frame.shape[1]
    x0 = np.minimum(np.floor(x).astype(np.intp), max(w - 2, 0))
    y0 = np.minimum(np.floor(y).astype(np.intp), max(h - 2, 0))
    fx = (x - x0)[..., None]
    fy = (y - y0)[..., None]
    dx = 1 if w > 1 else 0
    dy = 1 if h > 1 else 0
    if frame.flags.c_contiguous:
        flat = frame.reshape(-1, 3)
        i = y0 * w + x0
        f00, f01 = flat.take(i, axis=0), flat.take(i + dx, axis=0)
        f10, f11 = flat.take(i + dy * w, axis=0), flat.take(i + dy * w + dx, axis=0)
    else:
        f00, f01 = frame[y0, x0], frame[y0, x0 + dx]
        f10, f11 = frame[y0 + dy, x0], frame[y0 + dy, x0 + dx]
    top = f00 + (f01 - f00.astype(np.float64)) * fx
    bottom = f10 + (f11 - f10.astype(np.float64)) * fx
    out: F64 = top + (bottom - top) * fy
    return out


def border_positions(profiles: F64, ts: F64, edge: int, min_contrast: float = MIN_CONTRAST) -> F64:
    """Where each ray's colour changes fastest from the inside's to the outside's.

    Parameters
    ----------
    profiles : ndarray
        (rays, samples, k) colours along each ray, inside first, evenly
        spaced.
    ts : ndarray
        (samples,) distances of the samples from the centre, ascending.
    edge : int
        Samples at each end whose mean is the inside's (outside's) colour.
    min_contrast : float
        Rays whose inside and outside colours lie closer are left out.

    Returns
    -------
    ndarray
        (rays,) distances of the borders, NaN for rays left out.

    Examples
    --------
    >>> ts = np.arange(8.0)
    >>> ramp = np.array([0, 0, 0, 40, 120, 160, 160, 160], float)
    >>> border_positions(np.stack([ramp, ramp], axis=-1)[None], ts, 2).round(2).tolist()
    [3.5]
    """
    inside = profiles[:, :edge].mean(axis=1)
    outside = profiles[:, -edge:].mean(axis=1)
    step = outside - inside
    norm2 = np.einsum("ij,ij->i", step, step)
    p = np.einsum("isj,ij->is", profiles - inside[:, None, :], step) / np.maximum(norm2, 1e-9)[:, None]
    # The change between samples, smoothed by [1, 2, 1] / 4, at the mid points.
    raw = p[:, 1:] - p[:, :-1]
    d = raw.copy()
    d[:, 1:-1] = 0.25 * (raw[:, :-2] + raw[:, 2:]) + 0.5 * raw[:, 1:-1]
    mid = 0.5 * (ts[1:] + ts[:-1])
    k = np.clip(np.argmax(d, axis=1), 1, d.shape[1] - 2)
    rows = np.arange(len(p))
    a, b, c = d[rows, k - 1], d[rows, k], d[rows, k + 1]
    # The peak of the parabola through the largest change and its neighbours.
    curv = a - 2.0 * b + c
    off = np.where(curv < 0, 0.5 * (a - c) / np.where(curv < 0, curv, -1.0), 0.0)
    where = mid[k] + np.clip(off, -1.0, 1.0) * (mid[1] - mid[0])
    ok = (norm2 >= min_contrast ** 2) & (b > 0)
    result: F64 = np.where(ok, where, np.nan)
    return result


def edge_sigma(profiles: F64, edge: int, step: float) -> float:
    """The blur of the border, as the sigma of a Gaussian: the median over
    the rays of the distance from the profile's 25 % to its 75 % level
    (the profile's samples above 25 % and below 75 %, times the spacing)
    over 1.349."""
    inside = profiles[:, :edge].mean(axis=1)
    outside = profiles[:, -edge:].mean(axis=1)
    st = outside - inside
    norm2 = np.maximum(np.einsum("ij,ij->i", st, st), 1e-9)
    p = np.einsum("isj,ij->is", profiles - inside[:, None, :], st) / norm2[:, None]
    width = np.count_nonzero((p > 0.25) & (p < 0.75), axis=1) * step
    return float(np.sort(width)[len(width) // 2]) / 1.349 if len(width) else 0.0


def _fit(x: F64, y: F64, cx: float, cy: float, r: float) -> tuple[float, float, float]:
    """Geometric least-squares circle by Gauss-Newton from a start (the
    3 x 3 normal equations solved by Cramer's rule)."""
    n = float(len(x))
    for _ in range(2):
        dx, dy = x - cx, y - cy
        d = np.sqrt(dx * dx + dy * dy)
        np.maximum(d, 1e-9, out=d)
        u, v = dx / d, dy / d
        res = d - r
        suu, svv, suv = float(u @ u), float(v @ v), float(u @ v)
        su, sv = float(u.sum()), float(v.sum())
        bu, bv, b1 = float(u @ res), float(v @ res), float(res.sum())
        # (J^T J) step = J^T res with J = (-u, -v, -1); the signs cancel.
        a = ((suu, suv, su), (suv, svv, sv), (su, sv, n))
        det = (a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1])
               - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0])
               + a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]))
        if det == 0.0 or not math.isfinite(det):
            break
        sx = (bu * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (bv * a[2][2] - a[1][2] * b1)
              + a[0][2] * (bv * a[2][1] - a[1][1] * b1)) / det
        sy = (a[0][0] * (bv * a[2][2] - a[1][2] * b1) - bu * (a[1][0] * a[2][2] - a[1][2] * a[2][0])
              + a[0][2] * (a[1][0] * b1 - bv * a[2][0])) / det
        sr = (a[0][0] * (a[1][1] * b1 - bv * a[2][1]) - a[0][1] * (a[1][0] * b1 - bv * a[2][0])
              + bu * (a[1][0] * a[2][1] - a[1][1] * a[2][0])) / det
        cx, cy, r = cx + sx, cy + sy, r + sr
        if abs(sx) + abs(sy) + abs(sr) < 1e-4:
            break
    return cx, cy, r


@dataclass(frozen=True)
class BorderFit:
    """A circle fitted to the borders found along its normals.

    Attributes
    ----------
    x, y, r : float
        The circle.
    rays : int
        Rays whose border the fit kept (0: no border found; the circle is
        the one given).
    rms : float
        Root mean square distance of the kept borders from the circle, px.
    coverage : float
        Share of the rays cast in the last round whose border was kept.
    ellipticity : float
        One less the short over the long axis of the ellipse that the
        borders' distances from the centre describe (0 for a circle).

    Examples
    --------
    >>> BorderFit(10.0, 10.0, 5.0, 0, 0.0, 0.0, 0.0).found
    False
    """

    x: float
    y: float
    r: float
    rays: int
    rms: float
    ellipticity: float
    coverage: float

    @property
    def found(self) -> bool:
        """Whether borders were found and fitted."""
        return self.rays > 0


def refine_circle_border(frame: npt.NDArray[np.uint8], cx: float, cy: float, r: float, *,
                         order: ChannelOrder = "rgb", rays: int | None = None, rounds: int = 2,
                         min_rays: int = 8, window: dict[str, object] | None = None) -> BorderFit:
    """A circle moved onto the middle of the image's border near it.

    Parameters
    ----------
    frame : ndarray
        (H, W, 3) uint8 frame.
    cx, cy, r : float
        The circle to refine, within a pixel or two of the border.
    order : {"rgb", "bgr"}
        Channel order of the frame.
    rays : int, optional
        Rays cast per round; by default one per 4 px of circumference,
        from 16 to 48.
    rounds : int
        Times at most the rays are cast, each from the circle the round
        before gave (no more once a round moves the circle by under 0.3 px).
    min_rays : int
        Least number of rays that found the border; with fewer, or when the
        fit moves the circle by more than max(4 px, 0.3 r), the circle is
        returned as it came, with ``rays == 0``.
    window : mapping, optional
        The object's colour window as the kernels take it: rays whose
        inside is not of its colour (a bar in front of the ball), or whose
        outside is, are left out.

    Returns
    -------
    BorderFit

    Examples
    --------
    >>> flat = np.full((50, 50, 3), 90, np.uint8)
    >>> refine_circle_border(flat, 25.0, 25.0, 10.0)          # no border to find
    BorderFit(x=25.0, y=25.0, r=10.0, rays=0, rms=nan, ellipticity=nan, coverage=0.0)
    """
    h, w = frame.shape[0], frame.shape[1]
    none = BorderFit(cx, cy, r, 0, math.nan, math.nan, 0.0)
    if not (r > 0 and math.isfinite(cx) and math.isfinite(cy) and math.isfinite(r)):
        return none
    n_rays = rays if rays is not None else int(min(48, max(16, math.pi * r / 2)))
    theta = (np.arange(n_rays) + 0.5) * (2 * math.pi / n_rays)
    ux, uy = np.cos(theta), np.sin(theta)
    kept: tuple[F64, F64] | None = None
    sigma = 0.0
    for _ in range(rounds):
        reach = min(max(3.0, 0.3 * r), 6.0)
        ts = np.arange(max(r - reach, 0.5 * r), r + reach + 1e-9, 0.5)
        edge = max(2, len(ts) // 5)
        xs = cx + ux[:, None] * ts[None, :]
        ys = cy + uy[:, None] * ts[None, :]
        seen = ((xs[:, -1] >= 0) & (xs[:, -1] <= w - 1) & (ys[:, -1] >= 0) & (ys[:, -1] <= h - 1)
                & (xs[:, 0] >= 0) & (xs[:, 0] <= w - 1) & (ys[:, 0] >= 0) & (ys[:, 0] <= h - 1))
        if np.count_nonzero(seen) < min_rays:
            break
        rgb = sample_bilinear(frame, xs[seen], ys[seen])
        # The same sums in the same order whatever the channel order.
        chroma = (rgb[..., ::-1] if order == "bgr" else rgb) @ _CHROMA_RGB.T
        t = border_positions(chroma, ts, edge)
        ok = np.isfinite(t)
        if window is not None:
            ok &= _in_window(rgb[:, :edge].mean(axis=1), window)
            ok &= ~_in_window(rgb[:, -edge:].mean(axis=1), window)
        if np.count_nonzero(ok) < min_rays:
            break
        ang = theta[seen][ok]
        bx = cx + ux[seen][ok] * t[ok]
        by = cy + uy[seen][ok] * t[ok]
        ncx, ncy, nr = _fit(bx, by, cx, cy, r)
        # Borders far from the fit (a line's edge, a bar, a mark) out, refit.
        res = np.abs(np.hypot(bx - ncx, by - ncy) - nr)
        spread = float(np.sort(res)[len(res) // 2])          # the median distance from the fit
        keep = res <= max(3.0 * 1.4826 * spread, 0.5)
        if np.count_nonzero(keep) < min_rays:
            break
        ncx, ncy, nr = _fit(bx[keep], by[keep], ncx, ncy, nr)
        if not (math.isfinite(ncx) and math.isfinite(ncy) and nr > 0
                and math.hypot(ncx - none.x, ncy - none.y) + abs(nr - none.r) <= max(4.0, 0.3 * none.r)):
            return none
        moved = abs(ncx - cx) + abs(ncy - cy) + abs(nr - r)
        cx, cy, r = ncx, ncy, nr
        kept = (bx[keep], by[keep])
        sigma = edge_sigma(chroma[ok][keep], edge, 0.5)
        if moved < 0.3:
            break
    if kept is None:
        return none
    dx, dy = kept[0] - cx, kept[1] - cy
    res = np.sqrt(dx * dx + dy * dy) - r
    # The blur's pull towards the centre of curvature, put back.
    r += sigma * sigma / (2.0 * r)
    return BorderFit(cx, cy, r, len(res), float(np.sqrt(np.mean(res * res))),
                     _ellipticity(np.arctan2(dy, dx), res, r), len(res) / n_rays)


def _in_window(colours: F64, window: dict[str, object]) -> npt.NDArray[np.bool_]:
    px = np.ascontiguousarray(np.clip(np.rint(colours), 0, 255).astype(np.uint8)[None])
    out = np.empty((1, len(colours)), np.uint8)
    orbisect.mask_image_cy_impl(px, out, window)
    inside: npt.NDArray[np.bool_] = out[0] != 0
    return inside


def _ellipticity(angle: F64, residual: F64, r: float) -> float:
    """1 - b / a of the ellipse whose radius runs r + c cos 2t + s sin 2t
    through the residuals (least squares over the angles seen)."""
    if len(angle) < 6 or r <= 0:
        return math.nan
    basis = np.stack((np.cos(2 * angle), np.sin(2 * angle), np.ones_like(angle)), axis=1)
    coef, *_ = np.linalg.lstsq(basis, residual, rcond=None)
    amp = math.hypot(float(coef[0]), float(coef[1]))
    return float(min(1.0, 2.0 * amp / max(r, 1e-9)))
