"""The colour scan's column pass on detector-sized frames: the same points as
scanning the frame's mask, over layouts of the frame, windows inside and
beyond 16-bit entries, column counts up to beyond the width and every
capacity that cuts a column."""
import numpy as np
import pytest

import orbisect
from orbisect_detect import BALL_WINDOW, FIELD_WINDOW
from orbisect_detect.scenes import make_scene

FRAME = make_scene(2026, 3).image
WIDE = {"M": [45_000, 197_000, -241_000, -248_000, 182_000, 67_000, 85_000, 85_000, 85_000],
        "i": [2_621_000, 52_429_000], "c": [13_581_000, 97_006_000]}
LAYOUTS = {
    "packed": lambda f: f,
    "region": lambda f: f[37:451, 5:633],
    "reversed rows": lambda f: f[::-1],
    "reversed columns": lambda f: f[:, ::-1],
    "every other column": lambda f: f[:, ::2],
    "padded pixels": lambda f: np.concatenate((f, f[..., :1]), axis=2)[..., :3],
}


def scan_points(image, mapping, rows, columns, capacity):
    ps = np.full((capacity + 1, 2), -7, np.int32)
    n = orbisect.simple_edge_hsv(image, ps[:capacity], mapping, rows, columns)
    assert (ps[n:] == -7).all()
    return ps[:n]


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("window", ["ball", "field", "wide"])
def test_column_pass_matches_mask_scan(layout, window):
    image = LAYOUTS[layout](FRAME)
    mapping = {"ball": BALL_WINDOW.mapping_for("rgb"), "field": FIELD_WINDOW.mapping_for("rgb"),
               "wide": WIDE}[window]
    mask = orbisect.mask_image(np.ascontiguousarray(image), mapping)
    for rows, columns in [(0, 64), (48, 64), (0, 1), (0, 37), (3, image.shape[1] + 9)]:
        full = np.zeros((200_000, 2), np.int32)
        n = orbisect.simple_edge(mask, full, rows, columns)
        assert n < len(full)
        assert (scan_points(image, mapping, rows, columns, n + 5) == full[:n]).all()
        for capacity in {max(n - 1, 0), n // 2, min(n, 1), 0}:
            assert (scan_points(image, mapping, rows, columns, capacity) == full[:capacity]).all()
