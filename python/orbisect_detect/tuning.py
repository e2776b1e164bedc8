"""Colour windows from a box drawn on a frame.

:func:`tune_window` takes the pixels inside a box around (or inside) the
thing to find and derives its window with
:func:`~orbisect_detect.window_from_pixels`, the rest of the frame serving
as pixels to keep out.  White, grey and black paint have no hue, so an
achromatic sample for the paint (``"line"``) gives the three low-chroma
wedges that together hold every hue (:func:`white_windows`), with the
sample's chroma and intensity limits; so does a paint sample of low chroma
(:data:`WHITE_CHROMA`), whose hues are only noise.  Paint is what lies on the field, so
for ``"line"`` the box's pixels of the field's colour are left out of the
sample: a box drawn across a thin line gives the paint's window all the
same.

Examples
--------
>>> from orbisect_detect.scenes import make_scene
>>> scene = make_scene(1, 3)
>>> b = scene.ball
>>> box = Box.around(b.x, b.y, 0.6 * b.r)
>>> tuned = tune_window(scene.image, box, "ball")
>>> tuned.coverage > 0.95
True
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field as dataclass_field

import numpy as np
import numpy.typing as npt

import orbisect

from .lines import paint_mask
from .windowfile import EntryName, rounded
from .windows import FIELD_WINDOW, ChannelOrder, Window, pixel_coordinates, window_from_pixels

__all__ = ["OUTSIDE_WARNING", "Box", "Tuned", "selected_pixels", "tune_window", "white_windows"]

#: Hue wedges of white paint: three overlapping wedges of 130 degrees.
WHITE_HUES = ((-70.0, 60.0), (50.0, 180.0), (170.0, 300.0))
#: A window that selects more than this share of the frame outside its box
#: is saved with a warning: a ball or a line covers a few percent of a
#: frame at most, so such a window also takes in the field or the
#: background (a box of turf saved as the ball, say).
OUTSIDE_WARNING = 0.05
#: A paint sample whose median chroma is below this is white (or grey): its
#: hues are noise.
WHITE_CHROMA = 0.1


@dataclass(frozen=True)
class Box:
    """A rectangle of pixels: columns ``x0`` to ``x1 - 1``, rows ``y0`` to
    ``y1 - 1`` (the right and bottom edges are not part of it).

    Examples
    --------
    >>> Box.parse("300,200,340,230")
    Box(x0=300, y0=200, x1=340, y1=230)
    >>> Box.parse("340,230,300,200").area    # corners in any order
    1200
    """

    x0: int
    y0: int
    x1: int
    y1: int

    @classmethod
    def parse(cls, text: str) -> Box:
        """A box from ``"X0,Y0,X1,Y1"`` (two opposite corners).

        Raises
        ------
        ValueError
            When the text is not four integers or the box is empty.
        """
        parts = text.replace(" ", "").split(",")
        try:
            x0, y0, x1, y1 = (int(p) for p in parts)
        except ValueError:
            raise ValueError(f"a box is four integers X0,Y0,X1,Y1, got {text!r}") from None
        box = cls(min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1))
        if box.area == 0:
            raise ValueError(f"the box {text!r} holds no pixel")
        return box

    @classmethod
    def around(cls, x: float, y: float, half: float) -> Box:
        """The square box of the pixels whose centres lie within ``half`` of
        (x, y) along both axes.

        Examples
        --------
        >>> Box.around(10.0, 20.0, 2.5)
        Box(x0=8, y0=18, x1=13, y1=23)
        """
        return cls(math.ceil(x - half), math.ceil(y - half),
                   math.floor(x + half) + 1, math.floor(y + half) + 1)

    @property
    def area(self) -> int:
        """Number of pixels."""
        return max(self.x1 - self.x0, 0) * max(self.y1 - self.y0, 0)

    def clipped(self, width: int, height: int) -> Box:
        """The part of the box inside a frame of that size.

        Examples
        --------
        >>> Box(-5, 10, 30, 500).clipped(640, 480)
        Box(x0=0, y0=10, x1=30, y1=480)
        """
        x0, y0 = min(max(self.x0, 0), width), min(max(self.y0, 0), height)
        return Box(x0, y0, max(min(self.x1, width), x0), max(min(self.y1, height), y0))

    def grown(self, width: int, height: int) -> Box:
        """The box widened by its own width and height on every side,
        within a frame of that size."""
        w, h = self.x1 - self.x0, self.y1 - self.y0
        return Box(self.x0 - w, self.y0 - h, self.x1 + w, self.y1 + h).clipped(width, height)


@dataclass(frozen=True)
class Tuned:
    """A window derived from a box.

    Attributes
    ----------
    name : {"ball", "field", "line"}
        The windows file entry it is for.
    windows : tuple of Window
        One window, or the three wedges of an achromatic paint; limits
        rounded as a windows file stores them.
    box : Box
        The box, clipped to the frame.
    sample_size : int
        Number of the box's pixels the window was derived from: all of
        them, but for "line" those not of the field's colour.
    coverage : float
        Share of those pixels the windows select, 0 to 1.
    frame_coverage : float
        Share of the frame's pixels the windows select, 0 to 1.
    achromatic : bool
        The sample had no hue (white paint): the windows are the wedges.
    sample : ndarray
        (sample_size, 3) the sample's RGB pixels.
    outside_coverage : float
        Share of the frame's pixels, outside the box, that the windows
        select, 0 to 1 (compare :data:`OUTSIDE_WARNING`).

    Examples
    --------
    >>> t = Tuned("ball", (Window((10.0, 30.0), (0.2, 1.0), (0.1, 0.9)),), Box(0, 0, 4, 4),
    ...           16, 0.98, 0.02, False)
    >>> t.window.hue_deg
    (10.0, 30.0)
    """

    name: EntryName
    windows: tuple[Window, ...]
    box: Box
    sample_size: int
    coverage: float
    frame_coverage: float
    achromatic: bool
    sample: npt.NDArray[np.uint8] = dataclass_field(
        default_factory=lambda: np.zeros((0, 3), np.uint8), repr=False, compare=False)
    outside_coverage: float = 0.0

    @property
    def window(self) -> Window:
        """The first (for ball and field, the only) window."""
        return self.windows[0]

    @property
    def entry(self) -> Window | tuple[Window, ...]:
        """The value of the windows file entry: a window, or a tuple for "line"."""
        return self.windows if self.name == "line" else self.windows[0]


def white_windows(pixels: npt.ArrayLike) -> tuple[Window, ...]:
    """The three low-chroma wedges holding an achromatic sample.

    Chroma runs up to the sample's 99th percentile plus 0.06; intensity
    spans the sample's 1st to 99th percentile, widened by 0.06 each way.

    Parameters
    ----------
    pixels : array_like
        (N, 3) RGB pixels, 8-bit values.

    Examples
    --------
    >>> ws = white_windows([[235, 236, 230], [220, 221, 225], [245, 245, 244]] * 4)
    >>> [w.hue_deg for w in ws]
    [(-70.0, 60.0), (50.0, 180.0), (170.0, 300.0)]
    """
    _, chroma, intensity = pixel_coordinates(pixels)
    c_hi = float(np.quantile(chroma, 0.99)) + 0.06
    i_lo, i_hi = (float(v) for v in np.quantile(intensity, [0.01, 0.99]))
    limits = ((0.0, c_hi), (max(i_lo - 0.06, 0.0), min(i_hi + 0.06, 1.0)))
    return tuple(Window(h, *limits) for h in WHITE_HUES)


def selected_pixels(frame: npt.NDArray[np.uint8], windows: tuple[Window, ...],
                    name: EntryName = "ball", order: ChannelOrder = "rgb") -> npt.NDArray[np.bool_]:
    """The pixels of a frame that the windows select, as the detector does:
    for "line" any window's pixels and exact greys within their intensity
    range, else the first window's pixels.

    Returns
    -------
    ndarray of bool, shape (H, W)

    Examples
    --------
    >>> frame = np.array([[[240, 120, 20], [40, 140, 50]]], np.uint8)
    >>> selected_pixels(frame, (Window((10.0, 36.0), (0.1, 1.2), (0.03, 0.95)),)).tolist()
    [[True, False]]
    """
    if name == "line":
        flat = np.ascontiguousarray(frame).reshape(-1, 3)
        return paint_mask(flat, windows, order).reshape(frame.shape[:2])
    img = np.ascontiguousarray(frame)
    mask = orbisect.mask_image(img, windows[0].bounds_for(order))
    return mask.astype(bool)


def tune_window(frame: npt.NDArray[np.uint8], box: Box, name: EntryName = "ball", *,
                order: ChannelOrder = "rgb", field: Window = FIELD_WINDOW) -> Tuned:
    """Derives a window from the pixels in a box.

    For "ball" and "line" the pixels away from the box (outside it once
    widened by its own size on every side) are kept out of the window as
    far as that costs little of the sample; the field fills most frames, so
    for "field" the box's pixels alone decide.

    Parameters
    ----------
    frame : ndarray
        (H, W, 3) uint8 frame.
    box : Box
        The pixels to hold; clipped to the frame.
    name : {"ball", "field", "line"}
        What the window is for.
    order : {"rgb", "bgr"}
        Channel order of ``frame``.
    field : Window
        The field's colour: for "line", the box's pixels inside it are not
        paint (unless fewer than 10 others remain).

    Returns
    -------
    Tuned

    Raises
    ------
    ValueError
        When the box holds fewer than 10 pixels of the frame, or (for ball
        and field) its pixels have no dominant hue.
    """
    if name not in ("ball", "field", "line"):
        raise ValueError(f"name must be 'ball', 'field' or 'line', got {name!r}")
    if frame.ndim != 3 or frame.shape[2] != 3 or frame.dtype != np.uint8:
        raise ValueError(f"frame must be an (H, W, 3) uint8 array, got {frame.dtype} {frame.shape}")
    if order not in ("rgb", "bgr"):
        raise ValueError(f"order must be 'rgb' or 'bgr', got {order!r}")
    height, width = frame.shape[:2]
    rgb = frame[..., ::-1] if order == "bgr" else frame
    box = box.clipped(width, height)
    if box.area < 10:
        raise ValueError(f"the box {box} holds {box.area} pixels of the {width}x{height} frame; "
                         "it needs at least 10")
    sample = rgb[box.y0:box.y1, box.x0:box.x1].reshape(-1, 3)
    if name == "line":
        paint = sample[~field.contains(sample)]
        if len(paint) >= 10:
            sample = paint
    exclude = None
    if name != "field":
        far = np.ones((height, width), bool)
        g = box.grown(width, height)
        far[g.y0:g.y1, g.x0:g.x1] = False
        exclude = rgb[far] if far.any() else None
    achromatic = name == "line" and float(np.median(pixel_coordinates(sample)[1])) < WHITE_CHROMA
    if not achromatic:
        try:
            windows: tuple[Window, ...] = (rounded(window_from_pixels(sample, exclude=exclude)),)
        except ValueError:
            if name != "line":
                raise
            achromatic = True
    if achromatic:
        windows = tuple(rounded(w) for w in white_windows(sample))
    mask = selected_pixels(np.ascontiguousarray(rgb), windows, name, "rgb")
    held = selected_pixels(np.ascontiguousarray(sample[None]), windows, name, "rgb")
    outside = int(mask.sum()) - int(mask[box.y0:box.y1, box.x0:box.x1].sum())
    return Tuned(name, windows, box, len(sample), float(held.mean()), float(mask.mean()),
                 achromatic, np.ascontiguousarray(sample), outside / mask.size)
