"""Derive the ball's colour window from a box drawn on it, and use it.

    python examples/tune_window.py [IMAGE X0,Y0,X1,Y1]

Without arguments it runs on a generated scene with a box inside its ball.
The same as `orbisect tune IMAGE --box X0,Y0,X1,Y1`, step by step.
"""
import sys

import numpy as np
from PIL import Image

from orbisect_detect import FieldDetector, window_from_pixels
from orbisect_detect.drawing import tune_picture
from orbisect_detect.scenes import make_scene

if len(sys.argv) > 2:
    frame = np.asarray(Image.open(sys.argv[1]).convert("RGB"))
    x0, y0, x1, y1 = (int(v) for v in sys.argv[2].split(","))
else:
    frame = make_scene(seed=1, index=3).image       # the ball: radius 51 at (126, 282)
    x0, y0, x1, y1 = 95, 250, 157, 314

box = frame[y0:y1, x0:x1].reshape(-1, 3)            # the pixels of the thing
rest = np.ones(frame.shape[:2], bool)
rest[y0:y1, x0:x1] = False
# The rest of the frame is what the window should leave out (as far as that
# costs little of the box).  Raises ValueError for a white or grey box.
window = window_from_pixels(box, exclude=frame[rest])
print(window)
print(f"holds {100 * window.contains(box).mean():.1f} % of the box's pixels "
      f"and {100 * window.contains(frame).mean():.1f} % of the frame")

# In readable units, as a windows file stores it: {"ball": {...}}.
print(window.to_dict())

tune_picture(frame, (x0, y0, x1, y1), [window], title="ball window").save("window.png")
print("picture: window.png")

detection = FieldDetector(ball_window=window, seed=0).detect(frame)
print("ball found with it:", detection.ball)
