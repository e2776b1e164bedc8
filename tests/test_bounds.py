"""Bounded work per frame: the hardest frames found (stripes, checkerboards,
dots, speckle, ball-coloured frames with holes and rings) and the stages fed
far more points than a scan gives (the native search with far more scan
lines and nothing dropped, the chord candidates with runs everywhere) finish within 64 MiB of
address space above the detector's steady state.  (Their times are in
bench/bench_worst.py, not here.)"""
import json
import subprocess
import sys


CHILD = r"""
import json, resource, sys
import numpy as np
from orbisect_detect import FieldDetector
from orbisect_detect.ball import BallSearch, chord_candidates
from orbisect_detect.lines import LineSearch
from orbisect_detect.patterns import worst_frames
from orbisect_detect.scenes import make_scene

frames = worst_frames()
rng = np.random.default_rng(0)
# Runs of every length on every row and column; borders and gap points all over.
ys = np.repeat(np.arange(1, 479), 60)
xs = rng.integers(1, 500, len(ys))
row_runs = np.stack([xs, ys, xs + rng.integers(1, 120, len(ys)), ys], 1)
col_runs = np.stack([row_runs[:, 1] % 638 + 1, row_runs[:, 0] % 300 + 1,
                     row_runs[:, 1] % 638 + 1, row_runs[:, 0] % 300 + 120], 1)
runs = np.ascontiguousarray(np.concatenate([row_runs, col_runs]).reshape(-1, 2), np.int32)
scene = make_scene(1, 3).image
# The search is native: fed the hard frames by a detector that scans far
# more lines and keeps every gap, line, candidate and ball it can.
eager = FieldDetector(seed=0, rows=480, columns=640, max_balls=16, diagnostics=True,
                      line_search=LineSearch(max_lines=64, min_points=2, min_run=0, min_width=0.0,
                                             max_width=640.0, min_support=0.0),
                      ball_search=BallSearch(candidates=16, min_run=0, min_support=0.0,
                                             min_saturation=0.0, max_ellipticity=1.0))
detector = FieldDetector(seed=0)
for _ in range(3):      # the steady state: buffers and caches made
    detector.detect(scene)
    eager.detect(scene)
    chord_candidates(runs[:100], 640, 480, 5.0, 200.0)

status = open("/proc/self/status").read()
size = int(next(l.split()[1] for l in status.splitlines() if l.startswith("VmSize:"))) * 1024
limit = size + (64 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
done = 0
for name, frame in frames.items():
    detector.detect(frame)
    eager._searches(*frame.shape[:2])[1].detect(frame, False, True)
    done += 1
chord_candidates(runs, 640, 480, 5.0, 200.0)
print(json.dumps({"frames": done, "of": len(frames)}))
"""


def test_hardest_frames_finish_within_64_mib_above_the_steady_state():
    run = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-3000:]
    out = json.loads(run.stdout)
    assert out["frames"] == out["of"] > 200

