"""Frames built to make the detector work hardest.

Ordinary scenes hold one ball and a few lines.  The frames here hold the
ball's, the field's and the paint's colours in patterns that give the most
runs, gaps and candidate circles a scan can find: stripes, checkerboards,
dots, speckle at several scales, ball-coloured frames with holes and rings.
The benchmark ``bench/bench_worst.py`` times the detector on them, and the
tests run them under a memory limit.

Examples
--------
>>> frames = worst_frames(64, 48)
>>> sorted(frames)[:3]
['checker-orange-green-1', 'checker-orange-green-10', 'checker-orange-green-14']
>>> frames["stripes-orange-green-v6"].shape
(48, 64, 3)
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

__all__ = ["BALL_RGB", "FIELD_RGB", "PAINT_RGB", "COLOURS", "pattern", "worst_frames"]

#: The colours the default windows select: an orange ball, green turf, white paint.
BALL_RGB = (235, 110, 25)
FIELD_RGB = (60, 140, 50)
PAINT_RGB = (235, 235, 230)
#: The patterns' colours by name.
COLOURS: dict[str, tuple[int, int, int]] = {"orange": BALL_RGB, "green": FIELD_RGB,
                                              "white": PAINT_RGB, "black": (20, 20, 22)}

Frame = npt.NDArray[np.uint8]


def pattern(kind: str, scale: int, colours: tuple[tuple[int, int, int], ...], width: int = 640,
            height: int = 480, seed: int = 0, density: float = 0.3) -> Frame:
    """One pattern of the given colours.

    Parameters
    ----------
    kind : str
        ``"stripes-v"``, ``"stripes-h"``, ``"stripes-d"`` (vertical,
        horizontal, diagonal stripes ``scale`` px wide, colours in turn),
        ``"checker"`` (squares of ``scale`` px), ``"dots"`` (discs of
        diameter ``scale`` on a grid of twice that, colours[1] on colours[0]),
        ``"speckle"`` (blocks of ``scale`` px, each of colours[1] with
        probability ``density``), ``"holes"`` (colours[0] with round holes of
        colours[1] of diameter ``scale`` on a grid of twice that) or
        ``"rings"`` (concentric rings ``scale`` px wide around the middle).
    scale : int
        Size of the pattern's element in pixels, at least 1.
    colours : tuple of (r, g, b)
        Two or more colours.
    width, height : int
        Frame size.
    seed : int
        For ``"speckle"``.
    density : float
        For ``"speckle"``.

    Returns
    -------
    ndarray
        (height, width, 3) uint8.

    Examples
    --------
    >>> pattern("checker", 2, (BALL_RGB, FIELD_RGB), 4, 2)[:, :, 0].tolist()
    [[235, 235, 60, 60], [235, 235, 60, 60]]
    """
    if scale < 1:
        raise ValueError(f"scale must be at least 1, got {scale}")
    if len(colours) < 2:
        raise ValueError("a pattern needs at least two colours")
    yy, xx = np.mgrid[0:height, 0:width]
    k = len(colours)
    if kind == "stripes-v":
        index = (xx // scale) % k
    elif kind == "stripes-h":
        index = (yy // scale) % k
    elif kind == "stripes-d":
        index = ((xx + yy) // scale) % k
    elif kind == "checker":
        index = (xx // scale + yy // scale) % k
    elif kind in ("dots", "holes"):
        period = 2 * scale
        dx = xx % period - (period - 1) / 2.0
        dy = yy % period - (period - 1) / 2.0
        index = ((dx * dx + dy * dy) <= (scale / 2.0) ** 2).astype(np.intp)
    elif kind == "speckle":
        rng = np.random.default_rng(seed)
        cells = rng.random((height // scale + 1, width // scale + 1)) < density
        index = cells[yy // scale, xx // scale].astype(np.intp)
    elif kind == "rings":
        d = np.hypot(xx - width / 2.0, yy - height / 2.0)
        index = (d // scale).astype(np.intp) % k
    else:
        raise ValueError(f"unknown pattern {kind!r}")
    palette = np.array(colours, np.uint8)
    return np.ascontiguousarray(palette[index])


def worst_frames(width: int = 640, height: int = 480) -> dict[str, Frame]:
    """The set of hard frames, by name.

    Stripes, checkerboards, dots, speckle (10, 30 and 50 %), ball-coloured
    frames with holes and rings, at scales from 1 to 40 px, in the ball's
    colour on the field's, the paint's on the field's, and all three.

    Examples
    --------
    >>> len(worst_frames(32, 24)) > 100
    True
    """
    o, g, w = BALL_RGB, FIELD_RGB, PAINT_RGB
    pairs = {"orange-green": (o, g), "white-green": (w, g), "orange-white-green": (o, w, g),
             "orange-white": (o, w)}
    out: dict[str, Frame] = {}
    for name, cs in pairs.items():
        for s in (1, 2, 3, 4, 6, 8, 12, 20, 40):
            for d in ("v", "h", "d"):
                out[f"stripes-{name}-{d}{s}"] = pattern(f"stripes-{d}", s, cs, width, height)
        for s in (1, 2, 3, 5, 8, 10, 14, 20, 30, 40):
            out[f"checker-{name}-{s}"] = pattern("checker", s, cs, width, height)
    for name, cs in (("orange-on-green", (g, o)), ("white-on-green", (g, w)),
                     ("orange-on-white", (w, o))):
        for s in (3, 6, 10, 16, 24, 40):
            out[f"dots-{name}-{s}"] = pattern("dots", s, cs, width, height)
        for s in (1, 2, 4, 8):
            for p in (0.1, 0.3, 0.5):
                out[f"speckle-{name}-{s}-{round(p * 100)}"] = pattern(
                    "speckle", s, cs, width, height, seed=s, density=p)
    for name, cs in (("orange-green", (o, g)), ("orange-white", (o, w))):
        for s in (4, 8, 12, 20, 30, 50):
            out[f"holes-{name}-{s}"] = pattern("holes", s, cs, width, height)
        for s in (2, 4, 8, 16):
            out[f"rings-{name}-{s}"] = pattern("rings", s, cs, width, height)
    return out
