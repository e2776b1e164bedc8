"""Generated field scenes with their truth, a camera model, and the scores of
a detector on them.

The package is made of its stages:

- :mod:`~orbisect_detect.scenes.field`: the field and its objects (grass,
  painted lines, the ball, distractors), drawn with their exact geometry;
  a :class:`Layout` chooses the frame size, the ball's radii and what else
  the field holds (shadows, skin, shirts, cones);
- :mod:`~orbisect_detect.scenes.camera`: what a camera and a recording do
  to the frame (:class:`Camera`: exposure, white balance, gamma,
  vignetting, blur, sensor noise, JPEG, H.264), seeded per frame;
- :mod:`~orbisect_detect.scenes.variants`: named combinations of the two
  (``"clean"``, ``"jpeg75"``, ``"h264-2M"``, ``"drift"``, ``"people"``, ...)
  as the benchmark and the tests select them;
- :mod:`~orbisect_detect.scenes.scores`: scores of a detector's output
  against the truth, and their tally over many frames.

Examples
--------
>>> from orbisect_detect.scenes import Tally, make_scenes
>>> tally = Tally()
>>> for scene in make_scenes(seed=1, count=3):
...     _ = tally.add(scene, scene.ball, scene.lines)   # the truth scores perfectly
>>> tally.summary().line_recall
100.0
>>> make_scene(1, 0, "jpeg75").variant
'jpeg75'
"""
from __future__ import annotations

from .camera import Camera
from .field import HEIGHT, WIDTH, BallTruth, Layout, LineTruth, Scene, segment_distance
from .scores import (LINE_ANGLE_LIMIT, LINE_MARGIN, BallLike, BallScore, LineLike, LineScore, Summary,
                     Tally, format_table, line_fit, score_ball, score_lines)
from .variants import VARIANTS, Variant, make_scene, make_scenes, variant

__all__ = [
    "HEIGHT", "WIDTH", "BallTruth", "LineTruth", "Layout", "Scene", "Camera", "Variant", "VARIANTS",
    "variant", "make_scene", "make_scenes", "segment_distance",
    "BallLike", "LineLike", "BallScore", "LineScore", "score_ball", "line_fit",
    "score_lines", "Summary", "Tally", "format_table", "LINE_ANGLE_LIMIT", "LINE_MARGIN",
]
