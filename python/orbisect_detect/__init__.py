"""Field detection on top of orbisect: the ball and the painted lines in camera frames.

>>> from orbisect_detect import FieldDetector
>>> detector = FieldDetector(seed=0)
>>> # detection = detector.detect(frame)    # frame: (H, W, 3) uint8 RGB
"""

from importlib.metadata import PackageNotFoundError, version

from .ball import Ball, BallSearch
from .detector import Detection, FieldDetector
from .lines import Line, LineSearch
from .windows import BALL_WINDOW, FIELD_WINDOW, LINE_WINDOWS, Window, window_from_pixels

try:
    __version__ = version("orbisect")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0"

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
