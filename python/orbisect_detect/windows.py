"""Colour windows in readable units.

A window is a wedge of hue angles, a range of chroma and a range of
intensity.  Here hue is in degrees (0 red, 120 green, -120 blue), chroma and
intensity are fractions of full scale: with 8-bit channels, intensity is
``(R + G + B) / 3 / 256`` and chroma is the length of the chroma vector
``(R - (G + B) / 2, sqrt(3) / 2 * (G - B))`` divided by 256, so that a fully
saturated primary has chroma close to 1.

The chroma range bounds the projection of the chroma vector on the wedge's
bisector, so a window is a quadrilateral in the chroma plane: two rays at the
hue limits, cut by two lines across the bisector.  Every limit is exclusive,
and a grey pixel (zero chroma) lies in no window.

:class:`Window` compiles to the integer :class:`orbisect.LCHBounds` that the
kernels take, for RGB frames (:attr:`Window.bounds`) or BGR frames
(:meth:`Window.bounds_for`).  :func:`window_from_pixels` derives a window from
a sample of pixels, such as those of a box drawn on the object.
"""

from __future__ import annotations

import math
import numbers
import reprlib
from dataclasses import dataclass
from functools import lru_cache
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

import orbisect

__all__ = [
    "CHROMA_TOP",
    "shade_window",
    "shaded_paint_window",
    "Window",
    "ChannelOrder",
    "pixel_coordinates",
    "window_from_pixels",
    "BALL_WINDOW",
    "FIELD_WINDOW",
    "LINE_WINDOWS",
]

ChannelOrder = Literal["rgb", "bgr"]
#: Highest chroma limit a window takes (limits of 1 or more hold every chroma).
CHROMA_TOP = 1.2
_SQRT3_2 = math.sqrt(3.0) / 2.0


@dataclass(frozen=True)
class Window:
    """A colour window: hue wedge, chroma range and intensity range.

    Parameters
    ----------
    hue_deg : tuple of float
        (lo, hi): the wedge from ``lo`` counter-clockwise to ``hi``, in
        degrees; ``0 < hi - lo < 180``.  Angles may be negative or above
        360, from -720 to 720.
    chroma : tuple of float
        (lo, hi) chroma, as a fraction of full scale, from 0 to 1.2 (a
        saturated primary has chroma 0.996, so an upper limit of 1 or more
        holds every chroma).
    intensity : tuple of float
        (lo, hi) intensity, as a fraction of full scale, from 0 to 1.

    Raises
    ------
    TypeError
        When a limit is not a pair of numbers (strings and bools are not
        numbers).
    ValueError
        When a limit is not finite or outside its range (with a hint when
        chroma or intensity look like percent), or the pair is not ordered.

    Examples
    --------
    >>> orange = Window(hue_deg=(-10.0, 50.0), chroma=(0.25, 1.2), intensity=(0.15, 0.9))
    >>> bool(orange.contains(np.array([[240, 120, 20]], np.uint8))[0])
    True
    """

    hue_deg: tuple[float, float]
    chroma: tuple[float, float]
    intensity: tuple[float, float]

    def __post_init__(self) -> None:
        for name, top in (("hue_deg", 720.0), ("chroma", CHROMA_TOP), ("intensity", 1.0)):
            value = getattr(self, name)
            try:
                pair = tuple(value)
            except TypeError:
                pair = ()
            if len(pair) != 2 or not all(isinstance(v, numbers.Real) and not isinstance(v, bool)
                                         for v in pair):
                raise TypeError(f"{name} must be a pair of numbers (lo, hi), got {reprlib.repr(value)}")
            try:
                lo, hi = float(pair[0]), float(pair[1])
            except (OverflowError, ValueError):
                lo = hi = math.inf
            if not (math.isfinite(lo) and math.isfinite(hi)):
                raise ValueError(f"{name} must be finite, got {reprlib.repr(value)}")
            bottom = -top if name == "hue_deg" else 0.0
            if not (bottom <= lo <= top and bottom <= hi <= top):
                unit = "degrees" if name == "hue_deg" else "a fraction of full scale"
                hint = ""
                if name != "hue_deg" and 2.0 <= max(lo, hi) <= 100.0 and min(lo, hi) >= 0.0:
                    hint = (f"; these look like percent: write fractions, "
                            f"[{lo / 100.0:g}, {hi / 100.0:g}]")
                raise ValueError(f"{name} limits must be from {bottom:g} to {top:g} ({unit}), "
                                 f"got {reprlib.repr(list(pair))}{hint}")
            object.__setattr__(self, name, (lo, hi))
        lo, hi = self.hue_deg
        if not 0.0 < hi - lo < 180.0:
            raise ValueError(
                f"hue_deg must span more than 0 and less than 180 degrees counter-clockwise "
                f"from lo to hi, got {self.hue_deg!r}")
        if not self.chroma[0] < self.chroma[1]:
            raise ValueError(f"chroma must have lo < hi, got {self.chroma!r}")
        if not self.intensity[0] < self.intensity[1]:
            raise ValueError(f"intensity must have lo < hi, got {self.intensity!r}")

    @property
    def bounds(self) -> orbisect.LCHBounds:
        """The compiled window for RGB frames (8-bit channels).

        Examples
        --------
        >>> Window((-30.0, 30.0), (0.2, 1.0), (0.1, 0.9)).bounds.M.tolist()
        [148, -296, 148, 148, 148, -296, 85, 85, 85]
        """
        return self.bounds_for("rgb")

    def bounds_for(self, order: ChannelOrder) -> orbisect.LCHBounds:
        """The compiled window for frames in channel order ``order``.

        A BGR frame needs no conversion: the window matrix's columns are
        permuted so that it reads (B, G, R) pixels.

        Examples
        --------
        >>> w = Window((-30.0, 30.0), (0.2, 1.0), (0.1, 0.9))
        >>> w.bounds_for("bgr").M.reshape(3, 3)[:, ::-1].tolist() == w.bounds.M.reshape(3, 3).tolist()
        True
        """
        if order not in ("rgb", "bgr"):
            raise ValueError(f"order must be 'rgb' or 'bgr', got {order!r}")
        return _compile(self.hue_deg, self.chroma, self.intensity, order)

    def mapping_for(self, order: ChannelOrder) -> dict[str, Any]:
        """The compiled window as the mapping the kernels take: keys "M" (nine
        ints), "i" and "c" (two ints each).  It is shared: do not modify it.

        Examples
        --------
        >>> sorted(Window((-30.0, 30.0), (0.2, 1.0), (0.1, 0.9)).mapping_for("rgb"))
        ['M', 'c', 'i']
        """
        return _compile_mapping(self.hue_deg, self.chroma, self.intensity, order)

    def contains(self, pixels: npt.ArrayLike, order: ChannelOrder = "rgb") -> npt.NDArray[np.bool_]:
        """Whether each pixel lies inside, decided exactly as the kernels do.

        Parameters
        ----------
        pixels : array_like
            Pixels of shape (..., 3), 8-bit values.
        order : {"rgb", "bgr"}
            Channel order of ``pixels``.

        Returns
        -------
        ndarray of bool
            Shape ``pixels.shape[:-1]``.

        Examples
        --------
        >>> Window((-30.0, 30.0), (0.2, 1.0), (0.1, 0.9)).contains([[255, 0, 0], [128, 128, 128]]).tolist()
        [True, False]
        """
        p = np.asarray(pixels)
        if p.shape[-1:] != (3,):
            raise ValueError(f"pixels must have shape (..., 3), got {p.shape}")
        return orbisect.mask_image_py(p, self.bounds_for(order)).astype(np.bool_)

    def to_dict(self) -> dict[str, list[float]]:
        """The window's limits as plain JSON types.

        Examples
        --------
        >>> Window((-30.0, 30.0), (0.2, 1.0), (0.1, 0.9)).to_dict()
        {'hue_deg': [-30.0, 30.0], 'chroma': [0.2, 1.0], 'intensity': [0.1, 0.9]}
        """
        return {"hue_deg": list(self.hue_deg), "chroma": list(self.chroma),
                "intensity": list(self.intensity)}

    @classmethod
    def from_dict(cls, d: dict[str, Any]) -> Window:
        """The window of :meth:`to_dict`'s mapping.

        Examples
        --------
        >>> Window.from_dict({"hue_deg": [-30, 30], "chroma": [0.2, 1], "intensity": [0.1, 0.9]})
        Window(hue_deg=(-30.0, 30.0), chroma=(0.2, 1.0), intensity=(0.1, 0.9))
        """
        try:
            return cls(d["hue_deg"], d["chroma"], d["intensity"])
        except KeyError as e:
            raise ValueError(f"a window needs the keys hue_deg, chroma and intensity; {e} is missing") from None


@lru_cache(maxsize=256)
def _compile(hue_deg: tuple[float, float], chroma: tuple[float, float],
             intensity: tuple[float, float], order: ChannelOrder) -> orbisect.LCHBounds:
    rgb = orbisect.calculate_lch_bounds((math.radians(hue_deg[0]), math.radians(hue_deg[1])),
                                        chroma, intensity)
    m = np.ascontiguousarray(rgb.M.reshape(3, 3)[:, ::-1] if order == "bgr" else rgb.M.reshape(3, 3),
                             dtype=np.int32).reshape(9)
    m.flags.writeable = False          # shared by every caller of the cache
    return orbisect.LCHBounds(m, rgb.i, rgb.c)


@lru_cache(maxsize=256)
def _compile_mapping(hue_deg: tuple[float, float], chroma: tuple[float, float],
                     intensity: tuple[float, float], order: ChannelOrder) -> dict[str, Any]:
    # Plain Python ints: the kernels convert them faster than NumPy scalars.
    b = _compile(hue_deg, chroma, intensity, order)
    return {"M": [int(v) for v in b.M], "i": tuple(int(v) for v in b.i),
            "c": tuple(int(v) for v in b.c)}


def pixel_coordinates(pixels: npt.ArrayLike) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64],
                                                      npt.NDArray[np.float64]]:
    """Hue (degrees, -180 to 180), chroma and intensity of RGB pixels.

    Parameters
    ----------
    pixels : array_like
        Shape (..., 3), RGB, 8-bit values.

    Returns
    -------
    hue, chroma, intensity : ndarray
        Each of shape ``pixels.shape[:-1]``, in the units of :class:`Window`.

    Examples
    --------
    >>> hue, chroma, intensity = pixel_coordinates([[0, 255, 0]])
    >>> round(float(hue[0])), round(float(chroma[0]), 3), round(float(intensity[0]), 3)
    (120, 0.996, 0.332)
    """
    p = np.asarray(pixels, np.float64)
    r, g, b = p[..., 0], p[..., 1], p[..., 2]
    a = r - (g + b) / 2.0
    bb = _SQRT3_2 * (g - b)
    return (np.degrees(np.arctan2(bb, a)), np.hypot(a, bb) / 256.0, (r + g + b) / 768.0)


def _window_around(hue: npt.NDArray[np.float64], chroma: npt.NDArray[np.float64],
                   intensity: npt.NDArray[np.float64], centre: float, q: float,
                   margin: tuple[float, float, float]) -> tuple[tuple[float, float], tuple[float, float],
                                                                  tuple[float, float]]:
    """Limits holding the central 1 - 2q of each coordinate, widened by margins."""
    rel = (hue - centre + 180.0) % 360.0 - 180.0
    h_lo, h_hi = np.quantile(rel, [q, 1.0 - q])
    c_lo, c_hi = np.quantile(chroma, [q, 1.0 - q])
    i_lo, i_hi = np.quantile(intensity, [q, 1.0 - q])
    dh, dc, di = margin
    h_lo, h_hi = h_lo - dh, h_hi + dh
    if h_hi - h_lo >= 179.0:                      # a wedge is narrower than half a turn
        mid = (h_lo + h_hi) / 2.0
        h_lo, h_hi = mid - 89.5, mid + 89.5
    return ((centre + float(h_lo), centre + float(h_hi)),
            (max(float(c_lo) - dc, 0.0), float(c_hi) + dc),
            (max(float(i_lo) - di, 0.0), min(float(i_hi) + di, 1.0)))


def window_from_pixels(pixels: npt.ArrayLike, *, exclude: npt.ArrayLike | None = None) -> Window:
    """A window that holds a sample of pixels.

    Pixels whose hue lies far from the sample's (background caught in the
    box, a few percent of it) and colourless ones (highlights) are set
    aside; the window then holds the rest between their 1 % and 99 %
    quantiles, widened by a margin.  With ``exclude``, pixels that must stay
    outside (for instance the rest of the frame), the limits are then moved
    in, one at a time, to the sample's own extremes, where that removes the
    most excluded pixels per sample pixel lost, until fewer than 0.5 % of
    the excluded pixels are inside.

    Parameters
    ----------
    pixels : array_like
        (N, 3) RGB pixels of the object, 8-bit values; at least 10.
    exclude : array_like, optional
        (M, 3) RGB pixels that must stay outside.

    Returns
    -------
    Window

    Raises
    ------
    ValueError
        When the sample is too small or has no dominant hue (whites, greys
        and blacks have none: a window cannot hold them; nor has a sample of
        two colours far apart, whose window would hold less than half of
        its coloured pixels).

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> ball = np.clip(rng.normal((235, 110, 25), 8, (500, 3)), 0, 255)
    >>> w = window_from_pixels(ball)
    >>> float(w.contains(ball.astype(np.uint8)).mean()) > 0.97
    True
    """
    p = np.asarray(pixels)
    if p.ndim != 2 or p.shape[1] != 3:
        raise ValueError(f"pixels must be an (N, 3) array of RGB pixels, got shape {p.shape}")
    if len(p) < 10:
        raise ValueError(f"pixels must hold at least 10 pixels, got {len(p)}")
    hue, chroma, intensity = pixel_coordinates(p)
    coloured = chroma > 0.04
    if coloured.mean() < 0.5:
        raise ValueError("the sample has no dominant hue (white, grey or black pixels); "
                         "a colour window cannot hold it")
    # The hue's circular median: the mean direction of the coloured pixels,
    # then the median of the offsets from it.  Pixels whose hue lies far
    # from it (more than four robust deviations, and at least 12 degrees:
    # background caught in the box) take no part.
    rad = np.radians(hue[coloured])
    mean_dir = math.degrees(math.atan2(float(np.sin(rad).sum()), float(np.cos(rad).sum())))
    rel = (hue[coloured] - mean_dir + 180.0) % 360.0 - 180.0
    centre = mean_dir + float(np.median(rel))
    rel = (hue[coloured] - centre + 180.0) % 360.0 - 180.0
    spread = max(4.0 * 1.4826 * float(np.median(np.abs(rel))), 12.0)
    core = np.abs(rel) <= spread
    hue_c, chroma_c, intensity_c = hue[coloured][core], chroma[coloured][core], intensity[coloured][core]
    limits = _window_around(hue_c, chroma_c, intensity_c, centre, 0.01, (8.0, 0.06, 0.06))
    window = Window(*limits)
    # Two colours far apart (a box across a red and a cyan object) have no
    # dominant hue: the wedge around their middle would hold neither.
    held = float(window.contains(p[coloured].astype(np.uint8)).mean())
    if held < 0.5:
        lo, hi = np.quantile(hue[coloured], [0.1, 0.9])
        raise ValueError(
            f"the sample has no dominant hue: its coloured pixels have hues far apart (from about "
            f"{float(lo):.0f} to {float(hi):.0f} degrees), and a window around them would hold only "
            f"{held:.0%} of them; take a sample of one colour")
    if exclude is None:
        return window
    e = np.asarray(exclude)
    if e.ndim != 2 or e.shape[1] != 3:
        raise ValueError(f"exclude must be an (M, 3) array of RGB pixels, got shape {e.shape}")
    if len(e) > 50_000:                       # a regular subsample keeps this fast
        e = e[:: len(e) // 50_000 + 1]
    return _tighten(window, p, e)


def _tighten(window: Window, sample: npt.NDArray[Any], exclude: npt.NDArray[Any]) -> Window:
    """Narrows the window's limits against excluded pixels.

    Each step moves one of the six limits to one of the sample's own
    quantiles (0 to 3 % in from that side), the move that removes the most
    excluded pixels per sample pixel it loses.  It stops when under 0.5 % of
    the excluded pixels are inside, when no move removes any, or when the
    best would lose more than 3 % of the sample (10 % in all).
    """
    hue_s, chroma_s, intensity_s = pixel_coordinates(sample)
    hue_e, chroma_e, intensity_e = pixel_coordinates(exclude)
    centre = (window.hue_deg[0] + window.hue_deg[1]) / 2.0
    coords_s = np.stack([(hue_s - centre + 180.0) % 360.0 - 180.0, chroma_s, intensity_s])
    coords_e = np.stack([(hue_e - centre + 180.0) % 360.0 - 180.0, chroma_e, intensity_e])
    lim = np.array([[window.hue_deg[0] - centre, window.hue_deg[1] - centre],
                    list(window.chroma), list(window.intensity)])
    n_s, n_e = len(sample), len(exclude)
    lost_total = 0
    for _ in range(30):
        in_s = np.all((coords_s > lim[:, :1]) & (coords_s < lim[:, 1:]), axis=0)
        in_e = np.all((coords_e > lim[:, :1]) & (coords_e < lim[:, 1:]), axis=0)
        if np.count_nonzero(in_e) <= 0.005 * n_e or not in_s.any():
            break
        best, best_ratio, best_lost = None, 0.0, 0
        for axis in range(3):
            vals_s, vals_e = coords_s[axis], coords_e[axis]
            inside = np.sort(vals_s[in_s])
            for side in range(2):
                for q in (0.0, 0.005, 0.01, 0.02, 0.03):
                    k = int(q * (len(inside) - 1))
                    pos = float(inside[k] if side == 0 else inside[len(inside) - 1 - k])
                    # Just outside that sample pixel, so that it stays in.
                    pos = pos - 1e-9 if side == 0 else pos + 1e-9
                    if (side == 0 and pos <= lim[axis, 0]) or (side == 1 and pos >= lim[axis, 1]):
                        continue
                    cut_s = vals_s <= pos if side == 0 else vals_s >= pos
                    cut_e = vals_e <= pos if side == 0 else vals_e >= pos
                    lost = int(np.count_nonzero(in_s & cut_s))
                    removed = int(np.count_nonzero(in_e & cut_e))
                    if removed == 0 or lost > 0.03 * n_s or lost_total + lost > 0.1 * n_s:
                        continue
                    ratio = removed / (lost + 1.0)
                    if ratio > best_ratio:
                        best, best_ratio, best_lost = (axis, side, pos), ratio, lost
        if best is None:
            break
        axis, side, pos = best
        lim[axis, side] = pos
        lost_total += best_lost
    return Window((centre + float(lim[0, 0]), centre + float(lim[0, 1])),
                  (max(float(lim[1, 0]), 0.0), float(lim[1, 1])),
                  (max(float(lim[2, 0]), 0.0), float(lim[2, 1])))


#: Default window of an orange ball.
BALL_WINDOW = Window(hue_deg=(10.0, 36.0), chroma=(0.1, 1.2), intensity=(0.03, 0.95))
#: Default window of the green field; the borders of its runs frame the lines.
FIELD_WINDOW = Window(hue_deg=(75.0, 170.0), chroma=(0.14, 1.0), intensity=(0.04, 0.8))
#: Default windows of white paint: three overlapping wedges of low chroma
#: covering every hue.  A pixel counts as paint when it lies in any of them,
#: or is an exact grey within their intensity range (no window holds greys).
LINE_WINDOWS = (
    Window(hue_deg=(-70.0, 60.0), chroma=(0.0, 0.16), intensity=(0.35, 1.0)),
    Window(hue_deg=(50.0, 180.0), chroma=(0.0, 0.16), intensity=(0.35, 1.0)),
    Window(hue_deg=(170.0, 300.0), chroma=(0.0, 0.16), intensity=(0.35, 1.0)),
)


def shaded_paint_window(paint: Window) -> Window:
    """A paint window as a deep shadow leaves the paint: the same hue and
    chroma, intensity from 0.2 (or the window's bottom, if lower) up to its
    top.

    The line search takes such paint only between field in deep shadow, and
    only at 1.5 times that field's brightness at least (``LineSearch.shade``):
    a white stripe under two shadows keeps a fifth of its light, and a dim
    grey on sunlit grass is never paint.

    Examples
    --------
    >>> shaded_paint_window(LINE_WINDOWS[0])
    Window(hue_deg=(-70.0, 60.0), chroma=(0.0, 0.16), intensity=(0.2, 1.0))
    """
    return Window(paint.hue_deg, paint.chroma, (min(0.2, paint.intensity[0]), paint.intensity[1]))


def shade_window(field: Window) -> Window:
    """The field in deep shadow: the field window's hue, chroma from 0.04 (a
    shadow takes most of the colour) up to the field's top, and intensity
    from the field's bottom up to 0.3 (or the field's top, if lower).

    The line search scans the union of the two (``LineSearch.shade``): in a
    deep shadow the grass is too dark and too grey for the field window, so
    a stripe crossing it would lose the field runs that frame it.

    Examples
    --------
    >>> shade_window(FIELD_WINDOW)
    Window(hue_deg=(75.0, 170.0), chroma=(0.04, 1.0), intensity=(0.04, 0.3))
    """
    top = min(0.3, field.intensity[1])
    return Window(field.hue_deg, (min(0.04, field.chroma[0]), field.chroma[1]),
                  (min(field.intensity[0], top), top))
