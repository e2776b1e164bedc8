"""Colour windows: bound calculation, the mask and grey kernels, the NumPy
mask and the single-colour test."""
import collections.abc
import math
import sys
import threading
import time
import tracemalloc

import numpy as np
import pytest

import orbisect as ob

EXAMPLE = ((-math.pi / 6, math.pi / 6), (0.2, 1.0), (0.1, 0.9))
QUARTER = ((0, math.pi / 2), (0.1, 0.5), (0.2, 0.8))
FOUR = np.array([[[255, 0, 0], [200, 100, 100], [200, 150, 40], [128, 128, 128]]], np.uint8)
# h0 = R, h1 = G, t = B: every bound is a channel value.
PLAIN = {"M": [1, 0, 0, 0, 1, 0, 0, 0, 1], "i": (10, 20), "c": (30, 50)}


def reference_bounds(hue, chroma, intensity, bits=8):
    """The window computation written out in NumPy, step by step."""
    t1, t2 = hue[0], hue[1]
    c1 = chroma[0] / np.cos((t2 - t1) / 2)
    c2 = chroma[1] / np.cos((t2 - t1) / 2)
    i1, i2 = intensity[0], intensity[1]
    T1 = np.array([[1, -0.5, -0.5], [0, np.sqrt(3) / 2, -np.sqrt(3) / 2], [1 / 3, 1 / 3, 1 / 3]])
    T2 = np.array([[np.sin(t2), -np.cos(t2), 0], [-np.sin(t1), np.cos(t1), 0], [0, 0, np.sin(t2 - t1)]])
    T2 /= np.sin(t2 - t1)
    M = T2 @ T1
    if bits is not None:
        M *= 1 << bits
        M = np.round(M).astype(np.int32)
        s = 1 << (bits << 1)
        c1, c2, i1, i2 = (round(v * s) for v in (c1, c2, i1, i2))
    return M.flatten(), (i1, i2), (c1, c2)


def hht(image, bounds):
    """(h0, h1, t) per pixel in wrapping int32 arithmetic."""
    M = np.asarray(bounds["M"] if isinstance(bounds, dict) else bounds[0], np.int32).reshape(3, 3)
    return image.reshape(-1, 3).astype(np.int32) @ M.T


def random_window(rng):
    if rng.random() < 0.3:  # products that wrap around 32 bits
        M = rng.integers(-2**31, 2**31, 9, dtype=np.int64).astype(np.int32)
        lo = rng.integers(-2**31, 2**31 - 1, 2)
        return ob.LCHBounds(M, (int(lo[0]), 2**31 - 1), (int(lo[1]), 2**31 - 1))
    a = rng.uniform(-math.pi, math.pi)
    return ob.calculate_lch_bounds((a, a + rng.uniform(0.05, 3)), sorted(rng.uniform(0, 0.8, 2)),
                                   sorted(rng.uniform(0, 1, 2)))


# --- bound calculation ------------------------------------------------------

def test_worked_windows():
    b = ob.calculate_lch_bounds(*EXAMPLE)
    assert type(b) is ob.LCHBounds and b.M.dtype == np.int32 and b.M.shape == (9,)
    assert b.M.tolist() == [148, -296, 148, 148, 148, -296, 85, 85, 85]
    assert b.i == (round(0.1 * 2**16), round(0.9 * 2**16)) and type(b.i[0]) is int
    cos = math.cos(math.pi / 6)
    assert b.c == (round(0.2 * 2**16 / cos), round(2**16 / cos)) and type(b.c[0]) is int
    q = ob.calculate_lch_bounds(*QUARTER)
    assert q.M.tolist() == [256, -128, -128, 0, 222, -222, 85, 85, 85]
    assert q.i == (round(0.2 * 2**16), round(0.8 * 2**16))


@pytest.mark.parametrize("hue, chroma, intensity, bits", [
    (*EXAMPLE, 8), (*QUARTER, 8), (*QUARTER, None), (*EXAMPLE, 12), (*EXAMPLE, 0),
    ((1.0, 2.5), (0, 0.7), (0.05, 0.95), 8), ((-3, -0.2), [0.1, 0.2], np.array([0.3, 0.4]), 10),
    (np.array([0.1, 0.3]), (np.float32(0.1), 1), (0, 1), 8),
    ((0, 1), (0.2, 0.4), (2.5 / 2**16, 3.5 / 2**16), 8),  # ties round to even: (2, 4)
])
def test_bounds_match_numpy_steps(hue, chroma, intensity, bits):
    got = ob.calculate_lch_bounds(hue, chroma, intensity, bits)
    M, i, c = reference_bounds(hue, chroma, intensity, bits)
    assert got.M.dtype == M.dtype and got.M.tobytes() == M.tobytes()
    assert got.i == i and got.c == c
    assert [type(v) for v in got.i + got.c] == [type(v) for v in i + c]


def test_bounds_defaults_and_unscaled():
    assert repr(ob.calculate_lch_bounds(*EXAMPLE)) == repr(ob.calculate_lch_bounds(*EXAMPLE, 8))
    u = ob.calculate_lch_bounds(*QUARTER, rgb_bits=None)
    assert u.M.dtype == np.float64 and u.M.shape == (9,) and u.i == (0.2, 0.8)
    assert u.c == (0.1414213562373095, 0.7071067811865475)
    assert ob.calculate_lch_bounds((0, 1), (0.2, 0.4), (2.5 / 2**16, 3.5 / 2**16)).i == (2, 4)


@pytest.mark.parametrize("args, exc", [
    ((EXAMPLE[0], EXAMPLE[1], EXAMPLE[2], -1), ValueError),  # negative shift count
    ((EXAMPLE[0], EXAMPLE[1], EXAMPLE[2], 1.5), TypeError),
    ((5, EXAMPLE[1], EXAMPLE[2]), TypeError),
    (((0,), EXAMPLE[1], EXAMPLE[2]), IndexError),
    # the first failing step's error, from whichever limit it comes
    ((("a", "b"), EXAMPLE[1], EXAMPLE[2]), TypeError),
    (((None, 1.0), EXAMPLE[1], EXAMPLE[2]), TypeError),
    ((EXAMPLE[0], (None, 1.0), EXAMPLE[2]), TypeError),
    ((EXAMPLE[0], EXAMPLE[1], (0.1, "x")), TypeError),
    ((EXAMPLE[0], EXAMPLE[1], EXAMPLE[2], "8"), TypeError),
])
def test_bounds_errors_pass_through(args, exc):
    with pytest.raises(exc):
        ob.calculate_lch_bounds(*args)


# --- the four example pixels, strictness -----------------------------------

def test_example_pixels_on_every_path():
    b = ob.calculate_lch_bounds(*EXAMPLE)
    assert ob.mask_image(FOUR, b).tolist() == [[1, 1, 0, 0]]
    assert ob.mask_image_py(FOUR, b).tolist() == [[255, 255, 0, 0]]
    assert [bool(ob.mask_color(p, b)) for p in FOUR[0]] == [True, True, False, False]
    assert ob.selective_grayscale(FOUR, b).tolist() == [[85 * 255 >> 8, 85 * 400 >> 8, 0, 0]]
    assert isinstance(ob.mask_color((255.9, 0.7, 0.2), b), np.bool_)
    assert ob.mask_color((255.9, 0.7, 0.2), b) and not ob.mask_color((0.9, 255.5, 0.2), b)
    wide = {"M": [1, 0, 0, 0, 1, 0, 85, 85, 85], "i": (0, 2**20), "c": (0, 2**20)}
    assert ob.selective_grayscale(np.array([[[200, 100, 50]]], np.uint8), wide)[0, 0] == 116
    # The unscaled window, limits in channel units.
    u = ob.calculate_lch_bounds((-math.pi / 6, math.pi / 6), (0.2 * 256, 256), (0.1 * 256, 0.9 * 256), None)
    assert [bool(ob.mask_color(p, u)) for p in FOUR[0]] == [True, True, False, False]
    assert ob.mask_image_py(FOUR, u).tolist() == [[255, 255, 0, 0]]


@pytest.mark.parametrize("pixel, inside", [
    ((20, 20, 15), True), ((15, 16, 11), True), ((24, 25, 19), True),
    ((0, 35, 15), False), ((35, 0, 15), False),    # h0 or h1 == 0
    ((20, 20, 10), False), ((20, 20, 20), False),  # t on i[0], i[1]
    ((15, 15, 15), False), ((25, 25, 15), False),  # h0 + h1 on c[0], c[1]
])
def test_every_bound_is_strict(pixel, inside):
    img = np.array([[pixel]], np.uint8)
    bounds = ob.LCHBounds(np.array(PLAIN["M"], np.int32), PLAIN["i"], PLAIN["c"])
    assert ob.mask_image(img, PLAIN)[0, 0] == inside
    assert ob.mask_image_py(img, bounds)[0, 0] == 255 * inside
    assert ob.mask_color(pixel, bounds) == inside
    wide_t = dict(PLAIN, M=[1, 0, 0, 0, 1, 0, 0, 0, 256], i=(2560, 5120))  # grey == B inside
    assert ob.selective_grayscale(img, wide_t)[0, 0] == (pixel[2] if inside else 0)


# --- kernels against NumPy on random data -----------------------------------

def test_random_images_agree_with_numpy():
    rng = np.random.default_rng(5)
    for trial in range(40):
        img = rng.integers(0, 256, (int(rng.integers(1, 40)), int(rng.integers(1, 90)), 3), np.uint8)
        b = random_window(rng)
        mask = ob.mask_image(img, b)
        assert np.array_equal(mask.astype(np.uint8) * 255, ob.mask_image_py(img, b))
        h = hht(img, b)
        grey = np.where(mask.reshape(-1) == 1, (h[:, 2] >> 8) & 255, 0).reshape(mask.shape)
        assert np.array_equal(ob.selective_grayscale(img, b), grey)
        assert np.array_equal(ob.selective_grayscale(img, b._asdict()), grey)
        assert np.array_equal(ob.mask_image(img, dict(b._asdict())), mask)
        colours = img.reshape(-1, 3)[:20]
        assert np.array_equal(ob.mask_color(colours, b), mask.reshape(-1)[:20] == 1)
        assert ob.mask_color(img, b).shape == mask.shape


def test_buffers_reused_and_fully_overwritten():
    rng = np.random.default_rng(1)
    img = rng.integers(0, 256, (31, 77, 3), np.uint8)
    b = ob.calculate_lch_bounds(*QUARTER)
    for fn in (ob.mask_image, ob.selective_grayscale):
        fresh = fn(img, b)
        assert fresh.dtype == np.uint8 and fresh.shape == (31, 77)
        buf = np.full((31, 77), 0xAB, np.uint8)
        assert fn(img, b, buf) is buf and np.array_equal(buf, fresh)
        assert fn(image=img, bounds=b, buffer=buf) is buf and np.array_equal(buf, fresh)
    out = np.full((31, 77), 7, np.uint8)
    assert ob.mask_image_cy_impl(img, out, b._asdict()) == 31 * 77
    assert np.array_equal(out, ob.mask_image(img, b))


@pytest.mark.parametrize("view", [
    lambda a: a[3:40, 5:90], lambda a: a[::-1], lambda a: a[:, ::-1], lambda a: a[::-2, 1::3],
    lambda a: np.transpose(a, (1, 0, 2)),
])
@pytest.mark.parametrize("fn", [ob.mask_image, ob.selective_grayscale])
def test_views_equal_packed_copies(view, fn):
    rng = np.random.default_rng(2)
    img = view(rng.integers(0, 256, (50, 100, 3), np.uint8))
    b = ob.calculate_lch_bounds((-1, 1), (0.05, 0.9), (0.1, 0.9))
    want = fn(np.ascontiguousarray(img), b)
    assert np.array_equal(fn(img, b), want)
    big = np.full((2 * img.shape[0], img.shape[1] + 4), 9, np.uint8)
    out = big[::-2, 2:-2]  # rows reversed and stepped
    assert fn(img, b, out) is out and np.array_equal(out, want)
    assert (big[-2::-2] == 9).all() and (big[:, :2] == 9).all() and (big[:, -2:] == 9).all()


def test_empty_images():
    b = ob.calculate_lch_bounds(*EXAMPLE)._asdict()
    assert ob.mask_image_cy_impl(None, None, b) == 0
    assert ob.selective_grayscale_impl(np.zeros((0, 5, 3), np.uint8), None, b) == 0
    assert ob.mask_image(np.zeros((4, 0, 3), np.uint8), b).shape == (4, 0)


# --- refused arguments ------------------------------------------------------

IMG = np.zeros((4, 6, 3), np.uint8)


@pytest.mark.parametrize("image, output, exc, message", [
    (np.zeros((4, 6, 2), np.uint8), np.zeros((4, 6), np.uint8), ValueError, "3 channels"),
    (np.zeros((4, 6, 0), np.uint8), np.zeros((4, 6), np.uint8), ValueError, "3 channels"),
    (IMG, None, TypeError, "None"),
    (IMG, np.zeros((4, 5), np.uint8), ValueError, "smaller"),
    (IMG, np.zeros((23,), np.uint8).reshape(1, 23), ValueError, "smaller"),
    (IMG, np.zeros((8, 5), np.uint8)[::2], ValueError, "smaller"),
])
def test_unusable_arrays_are_refused_before_writing(image, output, exc, message):
    for fn in (ob.mask_image_cy_impl, ob.selective_grayscale_impl):
        before = None if output is None else output.copy()
        with pytest.raises(exc, match=message):
            fn(image, output, PLAIN)
        assert output is None or np.array_equal(output, before)


class OnlyMapping(collections.abc.Mapping):
    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


@pytest.mark.parametrize("bounds, exc, message", [
    (5, TypeError, "Expected a mapping, got int"),
    ({"i": (1, 2), "M": [0] * 9}, ValueError, "No value specified for struct attribute 'c'"),
    (OnlyMapping({"c": (1, 2), "M": [0] * 9}), ValueError, "No value specified for struct attribute 'i'"),
    (dict(PLAIN, M=[0] * 8), IndexError, "not enough values found during array assignment, expected 9, got 8"),
    (dict(PLAIN, M=np.zeros((3, 3), np.int32)), IndexError,
     "not enough values found during array assignment, expected 9, got 3"),
    (dict(PLAIN, i=(1, 2, 3)), IndexError, "too many values found during array assignment, expected 2"),
    (dict(PLAIN, M=(k for k in range(8))), IndexError,
     "not enough values found during array assignment, expected 9, got 8"),
    (dict(PLAIN, c=(1, "2")), TypeError, "an integer is required"),
    (dict(PLAIN, c=(1, 2**31)), OverflowError, ""),
    (dict(PLAIN, i=5), TypeError, ""),  # neither sized nor iterable
])
def test_record_conversion_errors(bounds, exc, message):
    out = np.full((4, 6), 3, np.uint8)
    with pytest.raises(exc) as info:
        ob.mask_image_cy_impl(IMG, out, bounds)
    assert message in str(info.value) and (out == 3).all()
    with pytest.raises(exc):
        ob.selective_grayscale(IMG, bounds)


def test_record_conversion_accepts_other_forms():
    img = np.random.default_rng(3).integers(0, 256, (5, 7, 3), np.uint8)
    want = ob.mask_image(img, PLAIN)
    for bounds in (OnlyMapping(PLAIN),
                   dict(PLAIN, M=(v for v in PLAIN["M"] + [7])),  # no length; stops after 9
                   dict(PLAIN, i=(10.9, 20.2), M=np.array(PLAIN["M"], np.int64))):  # truncated
        assert np.array_equal(ob.mask_image(img, bounds), want)


def test_conversion_order_image_then_output_then_bounds():
    with pytest.raises(ValueError, match="dimensions"):
        ob.mask_image_cy_impl(IMG[0], np.zeros((4,), np.uint8), 5)
    with pytest.raises(ValueError, match="dimensions"):
        ob.mask_image_cy_impl(IMG, np.zeros((4,), np.uint8), 5)
    with pytest.raises(ValueError, match="dimensions"):
        ob.mask_image(IMG, 5, np.zeros((4,), np.uint8))
    with pytest.raises(TypeError, match="mapping"):
        ob.mask_image(IMG, 5)


@pytest.mark.parametrize("bounds, message", [
    ((1, 2), "need more than 2 values to unpack"),
    ([1], "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    ((1, 2, 3, 4), r"too many values to unpack \(expected 3\)"),
    (iter(range(5)), r"too many values to unpack \(expected 3\)"),
    (iter(range(2)), "need more than 2 values to unpack"),
])
def test_numpy_forms_unpacking_errors(bounds, message):
    fn = ob.mask_image_py if isinstance(bounds, (tuple, list)) else ob.mask_color
    with pytest.raises(ValueError, match=message):
        fn(FOUR, bounds)


def test_numpy_forms_refuse_a_dict():
    with pytest.raises(AttributeError):
        ob.mask_image_py(FOUR, PLAIN)


# --- the interpreter lock, references ---------------------------------------

def test_other_thread_runs_during_the_mask_kernel():
    img = np.random.default_rng(4).integers(0, 256, (2500, 2500, 3), np.uint8)
    out = np.empty((2500, 2500), np.uint8)
    b = ob.calculate_lch_bounds(*EXAMPLE)._asdict()
    counter, started, stop = [0], threading.Event(), threading.Event()

    def spin():
        started.set()
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0)  # hands the lock back at once

    old = sys.getswitchinterval()
    sys.setswitchinterval(30.0)  # the main thread never gives the lock up on its own
    t = threading.Thread(target=spin)
    try:
        t.start()
        started.wait()
        progress = []
        for fn in (ob.mask_image_cy_impl, ob.selective_grayscale_impl):
            # a busy machine may not schedule the other thread within one
            # call; a few calls give it the chance
            for _ in range(20):
                before = counter[0]
                assert fn(img, out, b) == 2500 * 2500
                if counter[0] > before:
                    break
            progress.append(counter[0] - before)
    finally:
        stop.set()
        sys.setswitchinterval(old)
        t.join()
    assert all(p > 0 for p in progress), progress


def test_no_reference_leaks():
    img = np.random.default_rng(6).integers(0, 256, (8, 9, 3), np.uint8)
    b = ob.calculate_lch_bounds(*EXAMPLE)
    buf = np.empty((8, 9), np.uint8)
    bad = dict(b._asdict(), M=[0] * 8)

    def calls():
        ob.mask_image(img, b, buf)
        ob.selective_grayscale(img, b)
        ob.mask_image_py(img, b)
        ob.mask_color(img[0, 0], b)
        ob.calculate_lch_bounds(*EXAMPLE)
        ob.calculate_lch_bounds(*QUARTER, None)
        for fn, args in ((ob.mask_image, (img, bad)), (ob.mask_image_py, (img, b[:2]))):
            try:
                fn(*args)
            except (IndexError, ValueError):
                pass

    watched = (img, b, b.M, buf, bad, bad["M"], *EXAMPLE, *EXAMPLE[0], *QUARTER[1])
    counts = lambda: [sys.getrefcount(o) for o in watched]
    blocks = lambda snapshot: sum(stat.count for stat in snapshot.statistics("filename"))
    for _ in range(50):
        calls()
    tracemalloc.start()
    try:
        for _ in range(500):  # let caches that trace their allocations settle
            calls()
        before, snap0 = counts(), tracemalloc.take_snapshot()
        for _ in range(2000):
            calls()
        after, snap1 = counts(), tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    assert after == before
    # A leak of one object per call would leave 2000 more blocks.
    assert blocks(snap1) - blocks(snap0) < 500
