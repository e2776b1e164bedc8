"""Instruction counts per call of the detector's scan and of the circle fit,
under valgrind's callgrind (which runs the AVX2 level of the kernels).

Builds edge_driver.cpp against the kernel library of the kernel test
program (``make native-test`` first), runs each call 1 and 1 + REPEATS times
and prints the difference per call, so that start-up is not counted.

    python bench/edge_counts.py [REPEATS]
"""
import pathlib
import re
import subprocess
import sys
import tempfile

import numpy as np

from orbisect_detect import BALL_WINDOW, FIELD_WINDOW
from orbisect_detect.scenes import make_scene

ROOT = pathlib.Path(__file__).resolve().parent.parent
LIBRARY = ROOT / "build" / "native" / "liborbisect_kernels.a"


def build(work):
    exe = work / "edge_driver"
    subprocess.run(["g++", "-O3", "-std=c++20", "-march=x86-64", f"-I{ROOT / 'src'}",
                    str(ROOT / "bench" / "edge_driver.cpp"), str(LIBRARY), "-o", str(exe)],
                   check=True)
    return exe


def instructions(args):
    r = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *args],
                       capture_output=True, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", r.stderr).group(1))


def per_call(exe, frame, kind, counts, repeats, window=()):
    base = instructions([exe, frame, kind, *counts, "1", *window])
    more = instructions([exe, frame, kind, *counts, str(1 + repeats), *window])
    return (more - base) / repeats


def window_args(window):
    m = window.mapping_for("rgb")
    return [str(v) for v in (*m["i"], *m["c"], *m["M"])]


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    if not LIBRARY.exists():
        sys.exit(f"{LIBRARY} is missing: run make native-test first")
    with tempfile.TemporaryDirectory() as tmp:
        work = pathlib.Path(tmp)
        exe = str(build(work))
        image = make_scene(2026, 3).image
        frame = work / "frame.raw"
        frame.write_bytes(np.array(image.shape[:2], np.int32).tobytes() + image.tobytes())
        frame = str(frame)
        print("instructions per call on a 640x480 frame (callgrind):")
        for name, window in (("ball", BALL_WINDOW), ("field", FIELD_WINDOW)):
            w = window_args(window)
            for label, counts in (("48 rows + 64 columns", ("48", "64")),
                                  ("48 rows only", ("48", "0")), ("64 columns only", ("0", "64"))):
                n = per_call(exe, frame, "hsv", counts, repeats, w)
                print(f"  simple_edge_hsv, {name:5} window, {label:20} {n:10.0f}")
        n = per_call(exe, frame, "mask", ("0", "64"), repeats, window_args(FIELD_WINDOW))
        print(f"  simple_edge on the field mask, 64 columns only  {n:10.0f}")
        n = per_call(exe, frame, "circle", ("200",), repeats)
        print(f"  ransac_circle, 200 candidates                   {n:10.0f}")


if __name__ == "__main__":
    main()
