"""Pictures of what was found, and of a colour window.

:func:`annotate` draws a detection over its frame: the ball's circle and
centre, each line as a band of its width around its centre line, numbered,
and a legend with the support scores.  :func:`tune_picture` shows a colour
window: the frame with the pixels it selects tinted, beside a plot of the
chroma plane with the pixels of the box that the window was derived from,
the window's wedge and chroma range, and its intensity range.

Both return a :class:`PIL.Image.Image` in RGB; save it with ``.save(path)``.

Examples
--------
>>> from orbisect_detect import FieldDetector
>>> from orbisect_detect.scenes import make_scene
>>> scene = make_scene(1, 3)
>>> picture = annotate(scene.image, FieldDetector(seed=0).detect(scene.image))
>>> picture.size, picture.mode
((640, 480), 'RGB')
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageDraw, ImageFont

from .detector import Detection, FieldDetector
from .windows import ChannelOrder, Window, pixel_coordinates

__all__ = ["BALL_COLOUR", "LINE_COLOURS", "annotate", "tune_picture"]

RGB = tuple[int, int, int]
Font = ImageFont.FreeTypeFont | ImageFont.ImageFont

#: Colour of the ball's circle.
BALL_COLOUR: RGB = (255, 0, 255)
#: Colours of the lines, in turn.
LINE_COLOURS: tuple[RGB, ...] = ((0, 210, 255), (255, 170, 0), (150, 90, 255), (255, 60, 60),
                                 (40, 110, 255), (255, 255, 0), (0, 255, 160), (255, 130, 200))
_TINT: RGB = (255, 0, 200)
_SHADOW = (0, 0, 0, 255)


def _font(size: int) -> Font:
    try:
        return ImageFont.load_default(size=size)
    except (TypeError, OSError, ImportError):    # Pillow without FreeType
        return ImageFont.load_default()


def _rgb_image(frame: npt.NDArray[np.uint8], order: ChannelOrder) -> Image.Image:
    a = np.asarray(frame)
    if a.ndim != 3 or a.shape[2] != 3 or a.dtype != np.uint8:
        raise ValueError(f"frame must be an (H, W, 3) uint8 array, got {a.dtype} {a.shape}")
    if order not in ("rgb", "bgr"):
        raise ValueError(f"order must be 'rgb' or 'bgr', got {order!r}")
    return Image.fromarray(np.ascontiguousarray(a[..., ::-1] if order == "bgr" else a), "RGB")


def _text(draw: ImageDraw.ImageDraw, xy: tuple[float, float], text: str, fill: RGB,
          font: Font) -> None:
    """Text with a dark outline, legible on any background."""
    draw.text(xy, text, fill=fill, font=font, stroke_width=2, stroke_fill=_SHADOW)


def _legend_corner(width: int, height: int, box_w: float, box_h: float,
                   avoid: list[tuple[float, float]], margin: float) -> tuple[float, float]:
    """The corner for a legend box that covers the fewest points to avoid
    (then the one farthest from them)."""
    corners = [(margin, margin), (width - box_w - margin, margin),
               (margin, height - box_h - margin), (width - box_w - margin, height - box_h - margin)]
    if not avoid:
        return corners[0]
    pts = np.array(avoid, np.float64)

    def cost(c: tuple[float, float]) -> tuple[int, float]:
        x, y = c
        covered = ((pts[:, 0] > x - 10) & (pts[:, 0] < x + box_w + 10)
                   & (pts[:, 1] > y - 10) & (pts[:, 1] < y + box_h + 10))
        centre = np.hypot(pts[:, 0] - (x + box_w / 2), pts[:, 1] - (y + box_h / 2))
        return int(covered.sum()), -float(centre.min())
    return min(corners, key=cost)


def _along(x0: float, y0: float, x1: float, y1: float, step: float) -> list[tuple[float, float]]:
    n = max(int(math.hypot(x1 - x0, y1 - y0) / step), 1)
    return [(x0 + (x1 - x0) * k / n, y0 + (y1 - y0) * k / n) for k in range(n + 1)]


def annotate(frame: npt.NDArray[np.uint8], detection: Detection, *,
             order: ChannelOrder = "rgb", debug: bool = False) -> Image.Image:
    """The frame with the detection drawn over it.

    Each ball of :attr:`~orbisect_detect.Detection.balls` is a magenta
    circle with a cross at its centre; each line is a translucent band of
    its width around its centre line, in its own colour, with its number at
    one end.  A legend in the corner farthest from the balls lists each
    ball's radius (numbered, best first, when there are several) and each
    shape's support.

    Parameters
    ----------
    frame : ndarray
        (H, W, 3) uint8 frame.
    detection : Detection
        What was found in it.
    order : {"rgb", "bgr"}
        Channel order of ``frame``; the picture is RGB either way.
    debug : bool
        Also draw how the ball was searched for: the scanned rows and
        columns (faint), the ball-coloured runs on them (yellow), and each
        candidate circle with its support and verdict (dashed cyan), and
        the reason when no ball was found.  Needs a detection made with
        ``FieldDetector(diagnostics=True)``.

    Returns
    -------
    PIL.Image.Image
        An RGB picture of the frame's size.

    Raises
    ------
    ValueError
        With ``debug`` for a detection without diagnostics.

    Examples
    --------
    >>> from orbisect_detect import Ball
    >>> frame = np.zeros((120, 160, 3), np.uint8)
    >>> picture = annotate(frame, Detection(Ball(80.0, 60.0, 20.0, 0.9), []))
    >>> picture.getpixel((100, 60)) == BALL_COLOUR
    True
    """
    if debug and not detection.diagnostics:
        raise ValueError("a debug picture needs a detection made with FieldDetector(diagnostics=True)")
    base = _rgb_image(frame, order)
    width, height = base.size
    scale = max(min(width, height) / 480.0, 0.5)
    thick = max(2, round(3 * scale))
    overlay = Image.new("RGBA", base.size, (0, 0, 0, 0))
    draw = ImageDraw.Draw(overlay)
    font = _font(max(10, round(14 * scale)))
    avoid: list[tuple[float, float]] = []
    if debug:
        _debug_layer(draw, detection, width, height, thick, font)

    for k, line in enumerate(detection.lines):
        colour = LINE_COLOURS[k % len(LINE_COLOURS)]
        dx, dy = line.x1 - line.x0, line.y1 - line.y0
        length = math.hypot(dx, dy) or 1.0
        nx, ny = -dy / length * line.width / 2, dx / length * line.width / 2
        band = [(line.x0 + nx, line.y0 + ny), (line.x1 + nx, line.y1 + ny),
                (line.x1 - nx, line.y1 - ny), (line.x0 - nx, line.y0 - ny)]
        draw.polygon(band, fill=colour + (70,), outline=colour + (255,))
        draw.line([(line.x0, line.y0), (line.x1, line.y1)], fill=_SHADOW, width=thick + 2)
        draw.line([(line.x0, line.y0), (line.x1, line.y1)], fill=colour + (255,), width=thick)
        avoid.extend(_along(line.x0, line.y0, line.x1, line.y1, 8.0))

    ball = detection.ball
    for b in detection.balls:
        # Strokes centred on the circle (Pillow draws an outline inside its box).
        for stroke, rgba in ((thick + 2, _SHADOW), (thick, BALL_COLOUR + (255,))):
            r = b.r + stroke / 2
            draw.ellipse([b.x - r, b.y - r, b.x + r, b.y + r], outline=rgba, width=stroke)
        r = b.r
        arm = max(4.0, min(r / 3, 10 * scale))
        for (ax, ay), (bx, by) in (((b.x - arm, b.y), (b.x + arm, b.y)),
                                   ((b.x, b.y - arm), (b.x, b.y + arm))):
            draw.line([(ax, ay), (bx, by)], fill=_SHADOW, width=thick + 2)
            draw.line([(ax, ay), (bx, by)], fill=BALL_COLOUR + (255,), width=thick)
        avoid.extend((b.x + r * math.cos(t), b.y + r * math.sin(t))
                     for t in np.linspace(0.0, 2 * math.pi, 24, endpoint=False))
        avoid.extend([(b.x, b.y)] * 4)

    picture = Image.alpha_composite(base.convert("RGBA"), overlay)
    draw = ImageDraw.Draw(picture)
    # Each line's number beside it, near an end where it is clear of the others.
    placed: list[tuple[float, float, float, float]] = []
    for k, line in enumerate(detection.lines):
        label = str(k + 1)
        _, _, tw, th = draw.textbbox((0, 0), label, font=font)
        x, y = _label_position(line.x0, line.y0, line.x1, line.y1, line.width / 2 + 5 * scale,
                               tw, th, width, height, placed)
        placed.append((x - 2, y - 2, x + tw + 2, y + th + 2))
        _text(draw, (x, y), label, LINE_COLOURS[k % len(LINE_COLOURS)], font)

    rows: list[tuple[str, RGB]] = []
    if ball is None:
        rows.append(("no ball", (255, 255, 255)))
        if debug and detection.diagnostics.get("reason"):
            rows.append((str(detection.diagnostics["reason"]), DEBUG_COLOUR))
    elif len(detection.balls) == 1:
        rows.append((f"ball  r {ball.r:.1f}  support {ball.support:.2f}", BALL_COLOUR))
    else:
        for k, b in enumerate(detection.balls):
            rows.append((f"ball {k + 1}  r {b.r:.1f}  support {b.support:.2f}", BALL_COLOUR))
    for k, line in enumerate(detection.lines):
        rows.append((f"line {k + 1}  width {line.width:.1f}  support {line.support:.2f}",
                     LINE_COLOURS[k % len(LINE_COLOURS)]))
    if not detection.lines:
        rows.append(("no line", (255, 255, 255)))
    _legend(picture, rows, font, avoid, scale)
    return picture.convert("RGB")


DEBUG_COLOUR: RGB = (0, 230, 255)
"""Colour of the candidates of a debug picture."""
RUN_COLOUR: RGB = (255, 230, 0)
"""Colour of the ball-coloured runs of a debug picture."""


def _debug_layer(draw: ImageDraw.ImageDraw, detection: Detection, width: int, height: int,
                 thick: int, font: ImageFont.ImageFont | ImageFont.FreeTypeFont) -> None:
    """Scan lines, ball-coloured runs and candidates with their scores."""
    from .ball import scan_lines  # noqa: PLC0415 - the drawing needs no search otherwise

    scan = detection.diagnostics.get("scan", {})
    for y in scan_lines(height, int(scan.get("rows", 0))).tolist():
        draw.line([(0, y), (width - 1, y)], fill=(255, 255, 255, 40), width=1)
    for x in scan_lines(width, int(scan.get("columns", 0))).tolist():
        draw.line([(x, 0), (x, height - 1)], fill=(255, 255, 255, 40), width=1)
    runs = detection.ball_runs.reshape(-1, 4)
    for x0, y0, x1, y1 in runs.tolist():
        end = (x1 - 1, y1) if y0 == y1 else (x1, y1 - 1)
        draw.line([(x0, y0), end], fill=RUN_COLOUR + (255,), width=max(1, thick - 1))
    for c in detection.diagnostics.get("candidates", []):
        x, y, r = float(c["x"]), float(c["y"]), float(c["r"])
        steps = max(16, int(r / 2))
        for k in range(0, steps, 2):                       # dashed
            a0, a1 = 2 * math.pi * k / steps, 2 * math.pi * (k + 1) / steps
            draw.line([(x + r * math.cos(a0), y + r * math.sin(a0)),
                       (x + r * math.cos(a1), y + r * math.sin(a1))],
                      fill=DEBUG_COLOUR + (255,), width=max(1, thick - 1))
        _text(draw, (x + 0.72 * r + 4, y - 0.72 * r - 4), f"{c['support']:.2f} {c['verdict']}", DEBUG_COLOUR, font)


def _label_position(x0: float, y0: float, x1: float, y1: float, off: float, tw: float, th: float,
                    width: int, height: int, placed: list[tuple[float, float, float, float]]
                    ) -> tuple[float, float]:
    """Top-left corner of a label beside a segment: the first of a few spots
    along it (near its ends first) whose box overlaps no placed label."""
    dx, dy = x1 - x0, y1 - y0
    length = math.hypot(dx, dy) or 1.0
    nx, ny = -dy / length, dx / length
    spots = []
    for t in (0.08, 0.92, 0.5, 0.25, 0.75):
        for side in (1.0, -1.0):
            cx = x0 + t * dx + side * nx * (off + tw / 2)
            cy = y0 + t * dy + side * ny * (off + th / 2)
            x = min(max(cx - tw / 2, 2.0), width - tw - 4.0)
            y = min(max(cy - th / 2, 2.0), height - th - 4.0)
            spots.append((x, y))
    for x, y in spots:
        if all(x + tw < a or x > c or y + th < b or y > d for a, b, c, d in placed):
            return x, y
    return spots[0]


def _legend(picture: Image.Image, rows: list[tuple[str, RGB]], font: Font,
            avoid: list[tuple[float, float]], scale: float) -> None:
    draw = ImageDraw.Draw(picture)
    pad = round(6 * scale)
    line_h = max(draw.textbbox((0, 0), text, font=font)[3] for text, _ in rows) + round(4 * scale)
    box_w = max(draw.textbbox((0, 0), text, font=font)[2] for text, _ in rows) + 2 * pad
    box_h = line_h * len(rows) + 2 * pad - round(4 * scale)
    x, y = _legend_corner(picture.width, picture.height, box_w, box_h, avoid, round(8 * scale))
    shade = Image.new("RGBA", picture.size, (0, 0, 0, 0))
    ImageDraw.Draw(shade).rectangle([x, y, x + box_w, y + box_h], fill=(0, 0, 0, 150))
    picture.alpha_composite(shade)
    draw = ImageDraw.Draw(picture)
    for k, (text, colour) in enumerate(rows):
        draw.text((x + pad, y + pad + k * line_h), text, fill=colour, font=font)


def _window_region(windows: Sequence[Window], reach: float) -> list[list[tuple[float, float]]]:
    """Outlines of the windows' union in the chroma plane, (a, b) coordinates.

    A window holds the hues between its rays, and the chroma between its
    limits measured along its bisector: a quadrilateral.  The union is
    traced by hue, each hue taking the widest chroma interval of the windows
    that hold it; distances are capped at ``reach``.  A union that holds
    every hue gives its outer boundary (and an inner one when that is not
    the grey centre)."""
    angles = set(np.arange(0.0, 360.0, 0.5).tolist())
    for w in windows:
        for h in w.hue_deg:
            angles.update(((h + 1e-6) % 360.0, (h - 1e-6) % 360.0))
    theta = np.array(sorted(angles))
    r_out = np.full(len(theta), -1.0)
    r_in = np.full(len(theta), np.inf)
    for w in windows:
        lo, hi = w.hue_deg
        mid = (lo + hi) / 2.0
        held = ((theta - lo) % 360.0 > 0.0) & ((theta - lo) % 360.0 < hi - lo)
        cos = np.maximum(np.cos(np.radians(theta - mid)), 1e-6)
        r_out = np.where(held, np.maximum(r_out, np.minimum(w.chroma[1] / cos, reach)), r_out)
        r_in = np.where(held, np.minimum(r_in, np.minimum(w.chroma[0] / cos, reach)), r_in)
    held = r_out >= 0.0
    rad = np.radians(theta)

    def points(idx: npt.NDArray[np.intp], r: npt.NDArray[np.float64]) -> list[tuple[float, float]]:
        return [(float(r[i] * math.cos(rad[i])), float(r[i] * math.sin(rad[i]))) for i in idx]

    if held.all():
        rings = [points(np.arange(len(theta)), r_out)]
        if r_in.max() > 0.0:
            rings.append(points(np.arange(len(theta)), r_in))
        return rings
    # Runs of held hues, read circularly from a hue that no window holds.
    first = int(np.argmin(held))
    idx = np.roll(np.arange(len(theta)), -first)
    outlines: list[list[tuple[float, float]]] = []
    run: list[int] = []
    for i in [*idx.tolist(), int(idx[0])]:
        if held[i]:
            run.append(i)
        elif run:
            r = np.array(run)
            outlines.append(points(r, r_out) + points(r[::-1], r_in))
            run = []
    return outlines


def tune_picture(frame: npt.NDArray[np.uint8], box: tuple[int, int, int, int],
                 windows: Sequence[Window], *, selected: npt.NDArray[np.bool_] | None = None,
                 sample: npt.ArrayLike | None = None, order: ChannelOrder = "rgb",
                 title: str | None = None) -> Image.Image:
    """A picture of a colour window and the box it was derived from.

    On the left the frame, dimmed and grey, with the pixels the window
    selects in a magenta tint and the box outlined in yellow.  On the right
    the chroma plane: hue is the angle (red to the right, green upper left,
    blue lower left) and chroma the distance from the grey centre; each
    pixel of the box is a dot in its hue, white when the window leaves it
    out; the window is the outlined region.  A bar at the far right shows
    intensity from 0 (bottom) to 1 (top), the box's pixels as ticks and the
    window's range shaded.

    Parameters
    ----------
    frame : ndarray
        (H, W, 3) uint8 frame.
    box : (x0, y0, x1, y1)
        The box's pixels: columns x0 to x1 - 1, rows y0 to y1 - 1.
    windows : sequence of Window
        The window, or several whose union is meant (white paint).
    selected : ndarray of bool, optional
        (H, W): the pixels to tint; by default those inside any window.
    sample : array_like, optional
        (N, 3) RGB pixels to plot; by default the box's pixels.
    order : {"rgb", "bgr"}
        Channel order of ``frame``.
    title : str, optional
        A heading over the chroma plot.

    Returns
    -------
    PIL.Image.Image
        RGB, as high as the frame and about twice as wide.

    Examples
    --------
    >>> frame = np.zeros((100, 120, 3), np.uint8)
    >>> frame[40:60, 50:70] = (230, 110, 30)
    >>> w = Window((10.0, 36.0), (0.1, 1.2), (0.03, 0.95))
    >>> tune_picture(frame, (50, 40, 70, 60), [w]).size
    (244, 100)
    """
    base = _rgb_image(frame, order)
    rgb = np.asarray(base)
    height, width = rgb.shape[:2]
    windows = list(windows)
    if not windows:
        raise ValueError("windows must hold at least one window")
    x0, y0, x1, y1 = (int(v) for v in box)
    x0, x1 = max(min(x0, x1), 0), min(max(x0, x1), width)
    y0, y1 = max(min(y0, y1), 0), min(max(y0, y1), height)
    if selected is None:
        selected = np.zeros((height, width), bool)
        for w in windows:
            selected |= w.contains(rgb)
    if selected.shape != (height, width):
        raise ValueError(f"selected must have shape {(height, width)}, got {selected.shape}")

    # Left: the frame in dim grey, the selection tinted.
    grey = rgb.astype(np.float32).mean(axis=2, keepdims=True) * 0.55 + 20
    left = np.repeat(grey, 3, axis=2)
    left[selected] = rgb[selected] * 0.35 + np.array(_TINT, np.float32) * 0.65
    left_im = Image.fromarray(np.clip(left, 0, 255).astype(np.uint8), "RGB")
    draw = ImageDraw.Draw(left_im)
    scale = max(min(width, height) / 480.0, 0.25)
    font = _font(max(9, round(13 * scale)))
    if x1 > x0 and y1 > y0:
        draw.rectangle([x0 - 2, y0 - 2, x1 + 1, y1 + 1], outline=(0, 0, 0))
        draw.rectangle([x0 - 1, y0 - 1, x1, y1], outline=(255, 230, 0))
    if sample is None:
        pixels = rgb[y0:y1, x0:x1].reshape(-1, 3)
    else:
        pixels = np.asarray(sample, np.uint8).reshape(-1, 3)

    # Right: the chroma plane, square, as high as the frame.
    size = height
    plane = _chroma_plane(pixels, windows, size, font, title, scale)
    bar = _intensity_bar(pixels, windows, max(round(50 * scale), 24), size, font)
    out = Image.new("RGB", (width + size + bar.width, height), (30, 30, 30))
    out.paste(left_im, (0, 0))
    out.paste(plane, (width, 0))
    out.paste(bar, (width + size, 0))
    return out


def _vivid(pixels: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    """Pixels brightened to full value, so that dark ones show their hue."""
    p = pixels.astype(np.float32)
    peak = np.maximum(p.max(axis=1, keepdims=True), 1.0)
    out: npt.NDArray[np.uint8] = np.clip(p * (255.0 / peak), 0, 255).astype(np.uint8)
    return out


def _line_height(font: Font) -> int:
    box = ImageDraw.Draw(Image.new("RGB", (1, 1))).textbbox((0, 0), "Hg0", font=font)
    return int(box[3] - box[1]) + 4


def _chroma_plane(sample: npt.NDArray[np.uint8], windows: list[Window], size: int, font: Font,
                  title: str | None, scale: float) -> Image.Image:
    hue, chroma, _ = pixel_coordinates(sample)
    # The scale: the box's pixels and the window's region, within 1.3.
    region_reach = max(max((x * x + y * y) ** 0.5 for x, y in ring)
                       for ring in _window_region(windows, 1.3))
    seen = float(np.quantile(chroma, 0.995)) if len(chroma) else 0.0
    top = max(min(max(seen, region_reach), 1.3) * 1.08, 0.05)
    margin = round(22 * scale) + 6
    s = (size / 2 - margin) / top                     # pixels per unit of chroma
    cx = cy = size / 2
    im = Image.new("RGBA", (size, size), (22, 22, 22, 255))
    draw = ImageDraw.Draw(im)

    def xy(a: float, b: float) -> tuple[float, float]:
        return cx + a * s, cy - b * s

    # Rings of equal chroma and spokes at the primaries and secondaries.
    step = next(v for v in (0.02, 0.05, 0.1, 0.25, 0.5, 1.0) if top / v <= 5)
    for k in range(1, int(top / step) + 1):
        r = k * step * s
        draw.ellipse([cx - r, cy - r, cx + r, cy + r], outline=(70, 70, 70))
        draw.text((cx + r + 2, cy + 1), f"{k * step:g}", fill=(120, 120, 120), font=font)
    spokes = (("R", (255, 80, 80)), ("Y", (240, 220, 60)), ("G", (80, 220, 80)),
              ("C", (60, 220, 230)), ("B", (90, 120, 255)), ("M", (230, 80, 230)))
    for k, (name, colour) in enumerate(spokes):
        t = math.radians(60 * k)
        draw.line([(cx, cy), xy(top * math.cos(t), top * math.sin(t))], fill=(60, 60, 60))
        r = size / 2 - margin / 2 - 2
        _, _, tw, th = draw.textbbox((0, 0), name, font=font)
        draw.text((cx + r * math.cos(t) - tw / 2, cy - r * math.sin(t) - th / 2), name,
                  fill=colour, font=font)

    # The window's region under the dots, outlined over them.
    rings = [[xy(a, b) for a, b in ring] for ring in _window_region(windows, top * 1.5)]
    shade = Image.new("RGBA", im.size, (0, 0, 0, 0))
    for k, ring in enumerate(rings):
        if len(ring) > 2:
            ImageDraw.Draw(shade).polygon(ring, fill=(255, 255, 255, 0 if k else 40))
    im.alpha_composite(shade)

    lh = _line_height(font)
    notes = []
    if len(sample):
        a = chroma * np.cos(np.radians(hue))
        b = chroma * np.sin(np.radians(hue))
        px = np.clip(np.round(cx + a * s).astype(np.intp), 2, size - 3)
        py = np.clip(np.round(cy - b * s).astype(np.intp), 2, size - 3)
        inside = np.zeros(len(sample), bool)
        for w in windows:
            inside |= w.contains(sample)
        arr = np.array(im)
        colours = _vivid(sample)
        for dy in (0, 1):
            for dx in (0, 1):
                arr[py[inside] + dy, px[inside] + dx, :3] = colours[inside]
        # Pixels left out: hollow red squares, drawn last.
        for dy in range(-2, 3):
            for dx in range(-2, 3):
                if max(abs(dx), abs(dy)) == 2:
                    arr[py[~inside] + dy, px[~inside] + dx, :3] = (255, 40, 40)
        im = Image.fromarray(arr, "RGBA")
        notes = [f"{len(sample)} sample pixels, {100 * float(inside.mean()):.1f} % inside",
                 "red squares: sample pixels left out"]
    draw = ImageDraw.Draw(im)
    for ring in rings:
        if len(ring) > 2:
            draw.polygon(ring, outline=(255, 230, 0), width=2)
    draw.text((8, 6), title or "chroma plane", fill=(235, 235, 235), font=font)
    for k, note in enumerate(notes):
        draw.text((8, size - 6 - (len(notes) - k) * lh), note, fill=(220, 220, 220), font=font)
    return im.convert("RGB")


def _intensity_bar(sample: npt.NDArray[np.uint8], windows: list[Window], bar_w: int, size: int,
                   font: Font) -> Image.Image:
    """Intensity from 0 (bottom) to 1 (top): a histogram of the box's
    pixels, and the windows' range outlined."""
    im = Image.new("RGB", (bar_w, size), (22, 22, 22))
    draw = ImageDraw.Draw(im)
    lh = _line_height(font)
    top, bottom = 8 + lh, size - 8 - lh
    x0, x1 = 4, bar_w - 4
    span = bottom - top
    shade = np.linspace(90, 10, span + 1)
    for k in range(span + 1):
        v = int(shade[k])
        draw.line([(x0, top + k), (x1, top + k)], fill=(v, v, v))
    if len(sample):
        t = sample.astype(np.float64).sum(axis=1) / 768.0
        rows = np.clip(np.round(bottom - t * span).astype(np.intp), top, bottom)
        counts = np.bincount(rows - top, minlength=span + 1)
        peak = max(int(counts.max()), 1)
        for k in np.nonzero(counts)[0].tolist():
            length = max(1, round((x1 - x0) * counts[k] / peak))
            draw.line([(x0, top + k), (x0 + length, top + k)], fill=(235, 235, 235))
    lo = min(w.intensity[0] for w in windows)
    hi = max(w.intensity[1] for w in windows)
    draw.rectangle([x0, bottom - hi * span, x1, bottom - lo * span], outline=(255, 230, 0), width=2)
    draw.text((x0, 6), "1", fill=(200, 200, 200), font=font)
    draw.text((x0, bottom + 4), "0", fill=(200, 200, 200), font=font)
    return im


# The live page's views: a window's mask, and what the detector saw.
__all__ += ["debug_picture", "mask_picture"]


def mask_picture(frame: npt.NDArray[np.uint8], selected: npt.NDArray[np.bool_], *,
                 order: ChannelOrder = "rgb") -> Image.Image:
    """The frame dimmed to grey with the selected pixels tinted magenta, as
    the left half of :func:`tune_picture` shows a window.

    Parameters
    ----------
    frame : ndarray
        (H, W, 3) uint8 frame.
    selected : ndarray of bool
        (H, W): the pixels to tint (``Window.contains``, or
        :func:`~orbisect_detect.tuning.selected_pixels`).
    order : {"rgb", "bgr"}
        Channel order of ``frame``.

    Examples
    --------
    >>> frame = np.full((4, 6, 3), 100, np.uint8)
    >>> selected = np.zeros((4, 6), bool); selected[1, 2] = True
    >>> pic = mask_picture(frame, selected)
    >>> pic.getpixel((2, 1)), pic.getpixel((0, 0))
    ((200, 35, 165), (75, 75, 75))
    """
    base = np.asarray(_rgb_image(frame, order))
    if selected.shape != base.shape[:2]:
        raise ValueError(f"selected must have shape {base.shape[:2]}, got {selected.shape}")
    grey = base.astype(np.float32).mean(axis=2, keepdims=True) * 0.55 + 20
    out = np.repeat(grey, 3, axis=2)
    out[selected] = base[selected] * 0.35 + np.array(_TINT, np.float32) * 0.65
    return Image.fromarray(np.clip(out, 0, 255).astype(np.uint8), "RGB")


def debug_picture(frame: npt.NDArray[np.uint8], detector: FieldDetector, detection: Detection, *,
                  order: ChannelOrder | None = None) -> Image.Image:
    """What the detector saw in a frame: :func:`annotate` with ``debug``
    (the scanned rows and columns, the ball-coloured runs on them, each
    candidate circle with its support and verdict, and what was found).

    A detection made without diagnostics is made again for the picture by a
    detector of the same settings with ``diagnostics=True`` (and the same
    seed, so a seeded detector shows the same ball and lines).

    Parameters
    ----------
    frame : ndarray
        (H, W, 3) uint8 frame, as given to the detector.
    detector : FieldDetector
        The detector (its windows, scan density and searches).
    detection : Detection
        What it found in the frame.
    order : {"rgb", "bgr"}, optional
        Channel order of ``frame``; the detector's by default.

    Examples
    --------
    >>> from orbisect_detect import FieldDetector
    >>> from orbisect_detect.scenes import make_scene
    >>> scene = make_scene(1, 3)
    >>> detector = FieldDetector(seed=0)
    >>> debug_picture(scene.image, detector, detector.detect(scene.image)).size
    (640, 480)
    """
    order = detector.order if order is None else order
    if not detection.diagnostics:
        again = FieldDetector(ball_window=detector.ball_window, field_window=detector.field_window,
                              line_windows=detector.line_windows, rows=detector.rows,
                              columns=detector.columns, ball_search=detector.ball_search,
                              line_search=detector.line_search, seed=detector.seed, order=order,
                              diagnostics=True, max_balls=detector.max_balls)
        detection = again.detect(frame)
    return annotate(frame, detection, order=order, debug=True)
