"""Field detection on top of orbisect: the ball and the painted lines in camera frames.

>>> from orbisect_detect import FieldDetector
>>> detector = FieldDetector(seed=0)
>>> # detection = detector.detect(frame)    # frame: (H, W, 3) uint8 RGB
"""

from typing import Any

from .ball import Ball, BallSearch
from .detector import Detection, FieldDetector
from .lines import Line, LineSearch
from .windows import BALL_WINDOW, FIELD_WINDOW, LINE_WINDOWS, Window, window_from_pixels


def __getattr__(name: str) -> Any:
    # The version is looked up on first use: reading the installed metadata
    # costs more than importing the rest of the package.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version
        try:
            value = version("orbisect")
        except PackageNotFoundError:  # running from a source tree
            value = "0.0.0"
        globals()["__version__"] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

__all__ = [
    "BALL_WINDOW",
    "Ball",
    "BallSearch",
    "Detection",
    "FIELD_WINDOW",
    "FieldDetector",
    "LINE_WINDOWS",
    "Line",
    "LineSearch",
    "Window",
    "__version__",
    "window_from_pixels",
]
