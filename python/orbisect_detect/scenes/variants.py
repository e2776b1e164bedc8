"""Named variants of the scenes: a layout of the field and a camera.

:data:`VARIANTS` holds the variants the benchmark reports and the tests
select by name; :func:`make_scene` makes a frame as one of them.  Every
variant draws the same base scene for a seed and index (the same grass,
lines and ball) whenever its layout keeps the default frame size and ball
radii, so that variants differ only in what they add.

============  ================================================================
name          frames
============  ================================================================
clean         the default scene
jpeg50/75/95  through JPEG at quality 50, 75, 95
h264-1M       an H.264 recording at 1 Mbit/s (a webcam's stream)
h264-2M       an H.264 recording at 2 Mbit/s
h264-8M       an H.264 recording at 8 Mbit/s (a broadcast contribution)
drift         exposure x0.7-1.3, white balance +-12 %, gamma 0.85-1.15, then
              JPEG 60-90: an automatic camera whose settings wander
blur          motion blur 2-8 px along a random direction and defocus
              0.5-1.5 px
noise         sensor noise sigma 3-8 with its rolling part, vignetting 10-35 %
light         shadows across the field, the ball lit from one side with a
              strong highlight and casting a long shadow
people        skin (heads, hands, knees), orange and red shirts, cones, the
              ball's long shadow
far           balls of radius 5-12 px
near          balls of radius 60 px to a third of the frame's height
320x240 ...   the default scene at 320x240, 1280x720 and 1920x1080
============  ================================================================

Examples
--------
>>> variant("jpeg75").camera.jpeg
(75, 75)
>>> make_scene(1, 0, "320x240").image.shape
(240, 320, 3)
"""
from __future__ import annotations

import dataclasses
from collections.abc import Iterator
from dataclasses import dataclass, field

from .camera import Camera
from .field import HEIGHT, Layout, Scene
from .field import make_scene as _field_scene

__all__ = ["Variant", "VARIANTS", "variant", "make_scene", "make_scenes"]


@dataclass(frozen=True)
class Variant:
    """A named kind of frame: what the field holds and what the camera does.

    Attributes
    ----------
    name : str
        Its name in tables and on the command line.
    layout : Layout
        Frame size, ball radii and added objects.
    camera : Camera
        The camera's stages.
    description : str
        One line for tables.

    Examples
    --------
    >>> Variant("sharp-jpeg", camera=Camera(jpeg=(90, 90))).layout == Layout()
    True
    """

    name: str
    layout: Layout = field(default_factory=Layout)
    camera: Camera = field(default_factory=Camera)
    description: str = ""


def _sized(width: int, height: int) -> Variant:
    return Variant(f"{width}x{height}", Layout(width=width, height=height),
                   description=f"the default scene at {width}x{height}")


VARIANTS: tuple[Variant, ...] = (
    Variant("clean", description="the default scene"),
    Variant("jpeg50", camera=Camera(jpeg=(50, 50)), description="JPEG quality 50"),
    Variant("jpeg75", camera=Camera(jpeg=(75, 75)), description="JPEG quality 75"),
    Variant("jpeg95", camera=Camera(jpeg=(95, 95)), description="JPEG quality 95"),
    Variant("h264-1M", camera=Camera(h264=1e6), description="H.264 at 1 Mbit/s"),
    Variant("h264-2M", camera=Camera(h264=2e6), description="H.264 at 2 Mbit/s"),
    Variant("h264-8M", camera=Camera(h264=8e6), description="H.264 at 8 Mbit/s"),
    Variant("drift", camera=Camera(exposure=(0.7, 1.3), white_balance=0.12, gamma=(0.85, 1.15),
                                   jpeg=(60, 90)),
            description="exposure x0.7-1.3, white balance +-12 %, gamma 0.85-1.15, JPEG 60-90"),
    Variant("blur", camera=Camera(motion_blur=(2.0, 8.0), defocus=(0.5, 1.5)),
            description="motion blur 2-8 px, defocus 0.5-1.5 px"),
    Variant("noise", camera=Camera(noise=(3.0, 8.0), vignetting=(0.1, 0.35)),
            description="sensor noise sigma 3-8 with rolling rows, vignetting 10-35 %"),
    Variant("light", Layout(shadows=True, side_light=True, ball_shadow=True),
            description="shadows across the field, ball lit from one side"),
    Variant("people", Layout(skin=True, shirts=True, cones=True, ball_shadow=True),
            description="skin, orange and red shirts, cones, the ball's shadow"),
    Variant("far", Layout(ball_r=(5.0, 12.0)), description="balls of radius 5-12 px"),
    Variant("near", Layout(ball_r=(60.0, HEIGHT / 3)), description="balls of radius 60-160 px"),
    _sized(320, 240),
    _sized(1280, 720),
    _sized(1920, 1080),
)
"""The variants the benchmark reports, in its order."""

_BY_NAME = {v.name: v for v in VARIANTS}


def variant(name: str) -> Variant:
    """The variant of that name in :data:`VARIANTS`.

    Raises
    ------
    KeyError
        For an unknown name; the message lists the known ones.

    Examples
    --------
    >>> variant("far").layout.ball_r
    (5.0, 12.0)
    """
    try:
        return _BY_NAME[name]
    except KeyError:
        raise KeyError(f"no scene variant {name!r}; known: {', '.join(_BY_NAME)}") from None


def make_scene(seed: int, index: int = 0, kind: Variant | Layout | str | None = None) -> Scene:
    """Generates one frame and its truth, as a variant delivers it.

    Parameters
    ----------
    seed : int
        Seed of the series; with `index` it fixes every byte of the frame.
    index : int, optional
        Number of the frame within the series.
    kind : Variant, Layout, str or None
        A variant, or its name in :data:`VARIANTS`, or only a layout (no
        camera stage); None is the default scene (``"clean"``).

    Returns
    -------
    Scene
        The frame, the ball (or None), the painted lines, seed, index and
        the variant's name.

    Examples
    --------
    >>> a, b = make_scene(3, 1), make_scene(3, 1)
    >>> bool((a.image == b.image).all()) and a.ball == b.ball
    True
    >>> c = make_scene(3, 1, "jpeg50")
    >>> c.ball == a.ball and bool((c.image != a.image).any())
    True
    """
    if isinstance(kind, str):
        kind = variant(kind)
    elif isinstance(kind, Layout):
        kind = Variant("layout", kind)
    elif kind is None:
        kind = VARIANTS[0]
    scene = _field_scene(seed, index, kind.layout)
    image = kind.camera.apply(scene.image, seed, index)
    return dataclasses.replace(scene, image=image, variant=kind.name)


def make_scenes(seed: int, count: int, kind: Variant | Layout | str | None = None) -> Iterator[Scene]:
    """Yields the frames 0 .. count - 1 of a series.

    Parameters
    ----------
    seed : int
        Seed of the series.
    count : int
        Number of frames.
    kind : Variant, Layout, str or None
        As for :func:`make_scene`.

    Yields
    ------
    Scene
        ``make_scene(seed, index, kind)`` for index = 0, 1, ...

    Examples
    --------
    >>> [s.index for s in make_scenes(9, 3)]
    [0, 1, 2]
    """
    for index in range(count):
        yield make_scene(seed, index, kind)
