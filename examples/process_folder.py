"""Detect in every image of a folder, with a progress bar, into a CSV file.

    python examples/process_folder.py FOLDER [OUT.csv]

Without arguments it makes a folder of 20 generated scenes first (scenes/).
"""
import csv
import os
import sys

from PIL import Image
from tqdm import tqdm

from orbisect_detect import FieldDetector
from orbisect_detect.scenes import make_scenes
from orbisect_detect.sources import ReadError, expand_inputs, read_frames

if len(sys.argv) > 1:
    folder = sys.argv[1]
else:
    folder = "scenes"
    os.makedirs(folder, exist_ok=True)
    for k, scene in enumerate(make_scenes(seed=4, count=20)):
        Image.fromarray(scene.image).save(os.path.join(folder, f"scene-{k:03d}.png"))
out = sys.argv[2] if len(sys.argv) > 2 else "balls.csv"

sources, problems = expand_inputs([folder])          # the folder's images, sorted by name
detector = FieldDetector(seed=0)
with open(out, "w", newline="") as f:
    table = csv.writer(f)
    table.writerow(["file", "ball_x", "ball_y", "ball_r", "support", "lines", "ms"])
    for item in tqdm(read_frames(sources), total=len(sources), unit="image"):
        if isinstance(item, ReadError):              # unreadable: named, skipped
            tqdm.write(f"skipped {item}")
            continue
        d = detector.detect(item.image)
        ball = [f"{d.ball.x:.1f}", f"{d.ball.y:.1f}", f"{d.ball.r:.1f}",
                f"{d.ball.support:.2f}"] if d.ball else ["", "", "", ""]
        table.writerow([item.source, *ball, len(d.lines), f"{d.timings['total'] * 1e3:.2f}"])
print(f"{len(sources)} images -> {out}")
