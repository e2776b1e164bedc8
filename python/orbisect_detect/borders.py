"""Borders where the image has them: a circle's border located to a fraction
of a pixel along its normals.

A colour window cuts a blurred or compressed border wherever its limits lie,
which is rarely the border's middle: the radius of a circle fitted to where
the window cuts comes out small or large by up to a pixel or two, by an
amount that changes with the blur, the compression and the light.  Where
the image changes fastest across the border does not depend on any window.

:func:`refine_circle_border` (in the package's native core, as the
detector runs it) samples the frame (bilinearly, every half
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

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from . import _core
from ._checks import integer
from .windows import ChannelOrder

__all__ = ["MIN_CONTRAST", "BorderFit", "refine_circle_border"]

MIN_CONTRAST = 12.0
"""Least chroma distance (grey levels) between a ray's inside and outside
for the ray to count."""


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
    from .detector import _window_ints, prepare_frame  # noqa: PLC0415 - the detector imports this module
    if order not in ("rgb", "bgr"):
        raise ValueError(f"order must be 'rgb' or 'bgr', got {order!r}")
    img, order = prepare_frame(frame, order)
    n_rays = 0 if rays is None else integer("rays", rays, 1, 4096)
    rounds = integer("rounds", rounds, 0, 16)
    min_rays = integer("min_rays", min_rays, 0, 4096)
    w = None if window is None else _window_ints(window)
    x, y, r, n, rms, ell, cov = _core.refine_circle_border(
        img, float(cx), float(cy), float(r), order == "bgr", int(n_rays), int(rounds),
        min_rays, w)
    return BorderFit(x, y, r, n, rms, ell, cov)

