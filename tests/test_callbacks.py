"""Python code that runs while a call converts its arguments (a mapping's
__getitem__, a number's __int__ or __float__, a class's __buffer__) may
reallocate an array the call has already taken.  The call must then use the
array as it is afterwards, or refuse it, and never touch the old memory."""
import ctypes

import numpy as np
import pytest

import orbisect

libc = ctypes.CDLL(None)
WINDOW = orbisect.calculate_lch_bounds((-0.1, 0.9), (0.25, 1.2), (0.15, 0.85))._asdict()
ORANGE = (240, 120, 20)


class Mapping(dict):
    """A window whose lookups run `action` first."""

    def __init__(self, action, window=WINDOW):
        super().__init__(window)
        self.action = action

    def __getitem__(self, key):
        self.action()
        return dict.__getitem__(self, key)


class Number:
    """An argument whose conversion runs `action` first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __int__(self):
        self.action()
        return int(self.value)

    def __float__(self):
        self.action()
        return float(self.value)


def orange_image(h=3, w=16):
    img = np.zeros((h, w, 3), np.uint8)
    img[:, 4:9] = ORANGE
    return img


@pytest.mark.parametrize("kernel", [orbisect.mask_image_cy_impl, orbisect.selective_grayscale_impl])
def test_window_lookup_that_frees_the_output(kernel):
    img, out = orange_image(), np.zeros((3, 16), np.uint8)
    with pytest.raises(ValueError, match="wrong number of dimensions"):
        kernel(img, out, Mapping(lambda: out.resize((0,), refcheck=False)))
    # Reallocated larger: the result lands in the new memory.
    out2 = np.zeros((3, 16), np.uint8)
    assert kernel(img, out2, Mapping(lambda: out2.resize((64, 16), refcheck=False))) == 48
    assert out2.shape == (64, 16)
    assert (out2[:3, 4:9] != 0).all() and (out2[:3, 9:] == 0).all()


def test_front_ends_and_edge_scan_see_the_reallocated_arrays():
    img = orange_image()
    buf = np.zeros((3, 16), np.uint8)
    shrink = Mapping(lambda: img.resize((1, 16, 3), refcheck=False))
    with pytest.raises(ValueError, match="smaller than the image"):
        orbisect.mask_image(orange_image(5), shrink, buf[:1])
    ps = np.zeros((4, 2), np.int32)
    grow = Mapping(lambda: ps.resize((64, 2), refcheck=False))
    n = orbisect.simple_edge_hsv(orange_image(), ps, grow, 3, 0)
    assert ps.shape == (64, 2) and n == 6
    assert ps[:2].tolist() == [[4, 0], [9, 0]]


def test_int_and_float_conversions_that_reallocate():
    mask = np.zeros((4, 8), np.uint8)
    mask[:, 2:5] = 1
    ps = np.zeros((2, 2), np.int32)
    n = orbisect.simple_edge(mask, ps, Number(4, lambda: ps.resize((16, 2), refcheck=False)), 0)
    assert n == 8 and ps.shape == (16, 2)
    ps_out = np.zeros((8, 2), np.int32)
    with pytest.raises(ValueError):
        orbisect.simple_denoise(ps[:8], ps_out, Number(1, lambda: ps_out.resize((0,), refcheck=False)))
    pts = np.array([[5, y] for y in range(20)], np.int32)
    ms = np.zeros(20, np.uint8)
    with pytest.raises(ValueError, match="fewer entries"):
        orbisect.ransac_line(pts, ms, 10, 1, Number(0.5, lambda: ms.resize((3,), refcheck=False)))
    circle = np.array([[10, 0], [0, 10], [-10, 0]], np.int32)
    with pytest.raises(ValueError):
        orbisect.ransac_circle(circle, Number(5, lambda: circle.resize((1, 1), refcheck=False)), 1, 20, 1)


class Exporter:
    """An array argument whose buffer comes from Python code."""

    def __init__(self, array, action=lambda: None):
        self.array, self.action = array, action

    def __buffer__(self, flags):
        self.action()
        return memoryview(self.array)


def test_python_level_buffer_exporters():
    mask = np.zeros((4, 8), np.uint8)
    mask[:, 2:5] = 1
    ps = np.zeros((16, 2), np.int32)
    assert orbisect.simple_edge(Exporter(mask), ps, 4, 0) == 8
    assert orbisect.simple_edge(mask, Exporter(ps), 4, 0) == 8
    # The export of the second array could free the first one's memory while
    # it is held, so a call takes at most one such array.
    victim = np.zeros((4, 8), np.uint8)
    with pytest.raises(TypeError, match="at most one array argument"):
        orbisect.simple_edge(Exporter(victim), Exporter(ps, lambda: victim.resize((0,), refcheck=False)), 4, 0)
    with pytest.raises(TypeError, match="at most one array argument"):
        orbisect.remove_inliers(Exporter(ps), Exporter(ps), np.zeros(16, np.uint8))


def test_errors_keep_the_order_of_the_arguments():
    img, out = orange_image(), np.zeros((3, 16), np.uint8)
    calls = []
    with pytest.raises(ValueError, match="dtype mismatch"):
        orbisect.mask_image_cy_impl(img.astype(np.float64), out, Mapping(lambda: calls.append(1)))
    assert calls == []          # nothing after the first failing argument runs
    with pytest.raises(ValueError, match="No value specified for struct attribute 'i'"):
        orbisect.simple_edge_hsv(img, np.zeros((4, 2), np.int32), {}, Number(1, lambda: calls.append(2)), 0)
    assert calls == []
