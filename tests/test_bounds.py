"""Bounded work per frame: the hardest frames found (stripes, checkerboards,
dots, speckle, ball-coloured frames with holes and rings) and the stages fed
directly with far more points than a scan gives finish within 64 MiB of
address space above the detector's steady state.  (Their times are in
bench/bench_worst.py, not here.)"""
import json
import subprocess
import sys


CHILD = r"""
import json, resource, sys
import numpy as np
from orbisect_detect import FieldDetector
from orbisect_detect.ball import BallSearch, chord_candidates, find_ball
from orbisect_detect.lines import Gaps, LineSearch, find_lines, paint_test
from orbisect_detect.patterns import worst_frames
from orbisect_detect.scenes import make_scene
from orbisect_detect.windows import BALL_WINDOW, LINE_WINDOWS

frames = worst_frames()
rng = np.random.default_rng(0)
# Runs of every length on every row and column; borders and gap points all over.
ys = np.repeat(np.arange(1, 479), 60)
xs = rng.integers(1, 500, len(ys))
row_runs = np.stack([xs, ys, xs + rng.integers(1, 120, len(ys)), ys], 1)
col_runs = np.stack([row_runs[:, 1] % 638 + 1, row_runs[:, 0] % 300 + 1,
                     row_runs[:, 1] % 638 + 1, row_runs[:, 0] % 300 + 120], 1)
runs = np.ascontiguousarray(np.concatenate([row_runs, col_runs]).reshape(-1, 2), np.int32)
borders = np.ascontiguousarray(runs * 2 - 1)
gaps = Gaps(np.ascontiguousarray(borders[:40001]), np.full(40001, 5.0), np.ones(40001, bool))
scene = make_scene(1, 3).image
paint = paint_test(LINE_WINDOWS, "rgb")
rows = np.arange(0.0, 480.0, 10.0)
cols = np.arange(0.0, 640.0, 10.0)
detector = FieldDetector(seed=0)
for _ in range(3):      # the steady state: buffers and caches made
    detector.detect(scene)
    find_ball(borders[:101], scene, BALL_WINDOW.mapping_for("rgb"), BallSearch(), runs[:100], rows, cols)
    find_lines(Gaps(gaps.doubled[:101], gaps.length[:101], gaps.along_row[:101]), scene, paint, rows,
               cols, LineSearch())

status = open("/proc/self/status").read()
size = int(next(l.split()[1] for l in status.splitlines() if l.startswith("VmSize:"))) * 1024
limit = size + (64 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
done = 0
for name, frame in frames.items():
    detector.detect(frame)
    done += 1
chord_candidates(runs, 640, 480, 5.0, 200.0)
find_ball(borders, scene, BALL_WINDOW.mapping_for("rgb"), BallSearch(), runs, rows, cols)
find_lines(gaps, scene, paint, rows, cols, LineSearch(max_lines=64))
print(json.dumps({"frames": done, "of": len(frames)}))
"""


def test_hardest_frames_finish_within_64_mib_above_the_steady_state():
    run = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-3000:]
    out = json.loads(run.stdout)
    assert out["frames"] == out["of"] > 200

