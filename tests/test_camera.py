"""The camera model and the scene variants: seeded and reproducible, each
stage doing what it says, and the refusals of settings that make no sense."""
import math

import numpy as np
import pytest

from orbisect_detect.scenes import VARIANTS, Camera, Layout, make_scene, variant
from orbisect_detect.scenes.camera import convolve, defocus_kernel, motion_kernel


def flat(level=(120, 120, 120), shape=(48, 64)):
    return np.ascontiguousarray(np.broadcast_to(np.array(level, np.uint8), (*shape, 3)))


@pytest.mark.parametrize("v", VARIANTS, ids=[v.name for v in VARIANTS])
def test_every_variant_is_seeded_per_frame(v):
    a, b = make_scene(4, 1, v.name), make_scene(4, 1, v.name)
    assert a.image.tobytes() == b.image.tobytes() and (a.ball, a.lines) == (b.ball, b.lines)
    assert a.image.shape == (v.layout.height, v.layout.width, 3) and a.image.flags.c_contiguous
    assert a.variant == v.name
    assert make_scene(4, 2, v.name).image.tobytes() != a.image.tobytes()
    lo, hi = v.layout.radii
    for s in (a, make_scene(4, 2, v.name), make_scene(4, 3, v.name)):
        assert s.ball is None or lo <= s.ball.r <= hi


def test_variants_of_one_frame_share_its_truth():
    """A camera, or objects added to the field, leave the base scene's
    geometry alone; the plain layout gives the clean frame byte for byte."""
    clean = make_scene(9, 4)
    assert make_scene(9, 4, Layout()).image.tobytes() == clean.image.tobytes()
    for name in ("jpeg75", "h264-2M", "drift", "blur", "light", "people"):
        s = make_scene(9, 4, name)
        assert (s.ball, s.lines) == (clean.ball, clean.lines), name
        assert s.image.tobytes() != clean.image.tobytes(), name
    with pytest.raises(KeyError, match="known: clean"):
        variant("jpeg-60")


def test_far_and_near_balls_and_frame_sizes():
    far = [make_scene(3, k, "far").ball for k in range(12)]
    near = [make_scene(3, k, "near").ball for k in range(12)]
    assert all(5 <= b.r <= 12 for b in far if b) and all(60 <= b.r <= 160 for b in near if b)
    small, large = make_scene(3, 0, "320x240"), make_scene(3, 0, "1920x1080")
    assert small.image.shape == (240, 320, 3) and large.image.shape == (1080, 1920, 3)
    for s in (small, large):          # lines scale with the frame, and stay inside it
        scale = s.image.shape[0] / 480
        for t in s.lines:
            assert 3 * scale <= t.width <= 16 * scale
            for x, y in ((t.x0, t.y0), (t.x1, t.y1)):
                assert -0.5 - 1e-9 <= x <= s.image.shape[1] - 0.5 + 1e-9
                assert -0.5 - 1e-9 <= y <= s.image.shape[0] - 0.5 + 1e-9


def test_light_stages_on_a_flat_frame():
    grey = flat()
    wb = Camera(white_balance=0.12)
    ratios = []
    for k in range(20):
        out = wb.apply(grey, 1, k).astype(float)
        assert (out[..., 1] == 120).all()                      # green is the reference
        ratios.append(out[0, 0, [0, 2]] / 120)
    ratios = np.array(ratios)
    assert (np.abs(ratios - 1) <= 0.12 + 1 / 120).all() and ratios.std(axis=0).min() > 0.03
    g = Camera(gamma=(0.85, 1.15))
    levels = {int(g.apply(grey, 2, k)[0, 0, 0]) for k in range(20)}
    assert min(levels) >= round(255 * (120 / 255) ** 1.15) and max(levels) <= round(255 * (120 / 255) ** 0.85)
    assert len(levels) > 5
    vig = Camera(vignetting=(0.3, 0.3)).apply(flat(shape=(49, 65)), 0, 0)
    assert vig[24, 32, 0] == 120 and vig[0, 0, 0] == round(120 * 0.7)
    assert vig is not grey and grey[0, 0, 0] == 120                   # the input is left alone
    assert Camera().apply(grey, 0, 0) is grey


def test_blur_kernels_and_their_placement():
    for length, angle in ((6.0, 0.3), (3.5, 2.0)):
        k = motion_kernel(length, angle).astype(float)
        c = k.shape[0] // 2
        yy, xx = np.mgrid[:k.shape[0], :k.shape[1]] - c
        assert k.sum() == pytest.approx(1.0, abs=1e-6)
        assert (k * xx).sum() == pytest.approx(0.0, abs=1e-6) and (k * yy).sum() == pytest.approx(0, abs=1e-6)
        along = xx * math.cos(angle) + yy * math.sin(angle)
        across = -xx * math.sin(angle) + yy * math.cos(angle)
        # a segment of that length, widened a little by the bilinear splat
        assert length ** 2 / 12 <= (k * along ** 2).sum() <= length ** 2 / 12 + 0.35
        assert (k * across ** 2).sum() < 0.3
    d = defocus_kernel(2.0)
    assert d.sum() == pytest.approx(1.0, abs=1e-6) and d[d.shape[0] // 2, 0] == 0
    # An impulse off the centre becomes the kernel, centred where it was.
    img = np.zeros((21, 30, 2), np.float32)
    img[7, 19, 1] = 1.0
    out = convolve(img, motion_kernel(5.0, 0.7))
    k = motion_kernel(5.0, 0.7)
    h = k.shape[0] // 2
    assert np.allclose(out[7 - h:7 + h + 1, 19 - h:19 + h + 1, 1], k, atol=1e-6)
    assert np.abs(out[..., 0]).max() < 1e-6 and out.sum() == pytest.approx(1.0, abs=1e-5)


def test_sensor_noise_rolls_along_rows():
    out = Camera(noise=(6.0, 6.0)).apply(flat(shape=(200, 300)), 3, 0).astype(float)
    assert out.std() == pytest.approx(6.0 * math.sqrt(1.25), rel=0.1)
    # Per-pixel noise alone leaves row means within 6 / sqrt(900) = 0.2.
    assert out.mean(axis=(1, 2)).std() == pytest.approx(3.0, rel=0.25)


def test_compression_loses_more_at_lower_quality_and_bit_rate():
    scene = make_scene(2026, 3)
    err = {}
    for name in ("jpeg50", "jpeg75", "jpeg95", "h264-1M", "h264-8M"):
        out = make_scene(2026, 3, name).image.astype(float)
        err[name] = np.abs(out - scene.image).mean()
    assert err["jpeg50"] > err["jpeg75"] > err["jpeg95"] > 0
    assert err["h264-1M"] > err["h264-8M"] > 0


def test_refusals():
    with pytest.raises(ValueError, match="both"):
        Camera(jpeg=(75, 75), h264=2e6)
    with pytest.raises(ValueError, match="jpeg"):
        Camera(jpeg=(50, 100))
    with pytest.raises(ValueError, match="exposure"):
        Camera(exposure=(1.3, 0.7))
    with pytest.raises(ValueError, match="white_balance"):
        Camera(white_balance=1.5)
    with pytest.raises(ValueError, match="64 x 48"):
        Layout(width=32, height=24)
    with pytest.raises(ValueError, match="ball_r"):
        Layout(width=320, height=240, ball_r=(10.0, 200.0))
    with pytest.raises(ValueError, match="even"):
        Camera(h264=1e6).apply(flat(shape=(47, 64)), 0, 0)
