"""Colour mask and selective grey on a 1920x1080 RGB frame, against NumPy's
whole-array mask, a plain copy of the frame's bytes (the memory floor) and
the usual HSV threshold pipeline of OpenCV, all timed in this process."""
import math

import numpy as np

import orbisect as ob
from benchtools import instruction_set, median_time

H, W = 1080, 1920


def main():
    rng = np.random.default_rng(0)
    # A frame with smooth colour regions plus noise, so both outcomes occur.
    y, x = np.mgrid[0:H, 0:W]
    base = np.stack([(x * 255 // W), (y * 255 // H), ((x + y) * 255 // (W + H))], axis=-1)
    frame = np.clip(base + rng.integers(-40, 41, (H, W, 3)), 0, 255).astype(np.uint8)
    bounds = ob.calculate_lch_bounds((-math.pi / 6, math.pi / 6), (0.1, 1.0), (0.1, 0.9))
    mask = np.empty((H, W), np.uint8)
    grey = np.empty((H, W), np.uint8)
    copy = np.empty_like(frame)

    t_mask = median_time(lambda: ob.mask_image(frame, bounds, mask), 200)
    t_grey = median_time(lambda: ob.selective_grayscale(frame, bounds, grey), 200)
    t_py = median_time(lambda: ob.mask_image_py(frame, bounds), 5)
    t_copy = median_time(lambda: np.copyto(copy, frame), 200)
    assert np.array_equal(mask.astype(np.uint8) * 255, ob.mask_image_py(frame, bounds))

    print(f"frame {W}x{H} RGB, instruction set: {instruction_set()}")
    print(f"  mask_image (reused buffer)      {t_mask * 1e3:8.3f} ms")
    print(f"  selective_grayscale (reused)    {t_grey * 1e3:8.3f} ms")
    print(f"  mask_image_py                   {t_py * 1e3:8.3f} ms")
    print(f"  copy of the frame's bytes       {t_copy * 1e3:8.3f} ms")
    print(f"  mask_image_py / mask_image          {t_py / t_mask:7.1f}x  (target >= 50x)")
    print(f"  mask_image_py / selective_grayscale {t_py / t_grey:7.1f}x")
    print(f"  mask_image / frame copy             {t_mask / t_copy:7.2f}x  (target <= 2x)")
    print(f"  selective_grayscale / frame copy    {t_grey / t_copy:7.2f}x")

    try:
        import cv2
    except ImportError:
        print("  OpenCV (opencv-python-headless) not installed: HSV threshold ratio skipped"
              " (pip install .[bench])")
        return
    cv2.setNumThreads(1)
    lower, upper = np.array([0, 40, 30], np.uint8), np.array([15, 255, 230], np.uint8)

    def hsv_threshold():
        return cv2.inRange(cv2.cvtColor(frame, cv2.COLOR_RGB2HSV), lower, upper)

    t_cv = median_time(hsv_threshold, 50)
    print(f"  cvtColor(HSV) + inRange, 1 thread {t_cv * 1e3:8.3f} ms")
    print(f"  OpenCV pipeline / mask_image        {t_cv / t_mask:7.1f}x  (target >= 3x)")
    print(f"  OpenCV pipeline / selective_grayscale {t_cv / t_grey:5.1f}x")


if __name__ == "__main__":
    main()
