"""Find the ball and the lines in one image and save the annotated picture.

    python examples/detect_image.py [IMAGE [OUT.png]]

Without arguments it runs on a generated field scene.
"""
import sys

import numpy as np
from PIL import Image

from orbisect_detect import FieldDetector
from orbisect_detect.drawing import annotate
from orbisect_detect.scenes import make_scene

if len(sys.argv) > 1:
    frame = np.asarray(Image.open(sys.argv[1]).convert("RGB"))
else:
    frame = make_scene(seed=1, index=3).image          # a 640x480 generated field scene
out = sys.argv[2] if len(sys.argv) > 2 else "detected.png"

detector = FieldDetector(seed=0)                       # seed: the same image, the same result
detection = detector.detect(frame)

if detection.ball is None:
    print("no ball")
else:
    b = detection.ball
    print(f"ball at ({b.x:.1f}, {b.y:.1f}), radius {b.r:.1f} px, support {b.support:.2f}")
for k, line in enumerate(detection.lines, 1):
    print(f"line {k}: ({round(line.x0)}, {round(line.y0)}) to ({round(line.x1)}, {round(line.y1)}), "
          f"width {line.width:.1f} px, support {line.support:.2f}")
print("time per stage:", ", ".join(f"{k} {v * 1e3:.2f} ms" for k, v in detection.timings.items()))

annotate(frame, detection).save(out)
print("picture:", out)
