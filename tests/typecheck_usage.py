"""User code as the README writes it, for `mypy --strict` (make typecheck).

It checks that mypy finds the installed stub and that the stub's types accept
ordinary use and give precise results; it also runs as a plain script.
"""
from typing import TYPE_CHECKING, assert_type

import numpy as np
import numpy.typing as npt

import orbisect

if TYPE_CHECKING:
    from orbisect import CircleModel, EllipseModel, LineModel


def find_shapes(frame: npt.NDArray[np.uint8]) -> None:
    orange = orbisect.calculate_lch_bounds((-0.1, 0.9), (0.25, 1.2), (0.15, 0.85))
    assert_type(orange, orbisect.LCHBounds)
    float_window = orbisect.calculate_lch_bounds((0.0, 1.0), (20, 200), (30, 220), rgb_bits=None)
    mask = orbisect.mask_image(frame, orange)
    orbisect.mask_image(frame, orange._asdict(), buffer=mask)
    grey = orbisect.selective_grayscale(frame, orange, np.zeros(frame.shape[:2], np.uint8))
    assert_type(grey, npt.NDArray[np.uint8])
    assert_type(orbisect.mask_color((240, 120, 20), orange), np.bool_)
    orbisect.mask_color(frame.reshape(-1, 3), orange)
    orbisect.mask_image_py(frame.astype(np.float32), float_window)
    orbisect.mask_image_cy_impl(frame, mask, orange._asdict())

    points = np.zeros((4096, 2), np.int32)
    n = orbisect.simple_edge_hsv(frame, points, orange._asdict(), 64, 64)
    ball = orbisect.ransac_circle(points[:n], 200, 10, 100, 2)
    assert_type(ball, "CircleModel")
    radius: int = ball["r"]
    ellipse = orbisect.ransac_ellipse(points[:n], 200, 10, 100, 2.0, 2)
    assert_type(ellipse, "EllipseModel")
    theta: float = ellipse["theta"]

    m = orbisect.simple_edge(mask > 0, points, 32, 32)
    runs = np.zeros_like(points)
    m = orbisect.simple_denoise(points[:m], runs, 3)
    flags = np.zeros(m, np.uint8)
    line = orbisect.ransac_line(runs[:m], flags, 100, 2, float("nan"))
    assert_type(line, "LineModel")
    if line["nx"] or line["ny"]:
        m = orbisect.remove_inliers(runs[:m], runs, flags)
    first, second = orbisect.ransac_line2(runs[:m], flags[:m], 100, 0.99, 2)
    print(radius, theta, first["px"], second["nx"])


if __name__ == "__main__":
    find_shapes(np.zeros((48, 64, 3), np.uint8))
