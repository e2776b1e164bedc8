"""Every kernel on arrays placed against pages that may not be touched.

Each array is placed so that its last byte is the last byte before a page
mapped without access, or (separately) so that its first byte is the first
byte after such a page, so any read or write past either end of an array
stops the process.  Images, masks, point sets and flags come in many layouts
(packed, regions of interest, reversed, zero-stride, stepped, misaligned, too
few or too many channels and columns) and small shapes, with line and
iteration counts beyond the extents.

The calls of one kernel run in a child process that prints each call before
making it, so a crash fails the test with the call that caused it.  Refusals
(ValueError, TypeError, IndexError, OverflowError) are fine; a crash, any
other exception, or memory exhaustion is not.
"""
from __future__ import annotations

import ctypes
import math
import mmap
import os
import pathlib
import subprocess
import sys
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt
import pytest

import orbisect  # type: ignore[import-not-found]

PAGE = mmap.PAGESIZE
SLOT_PAGES = 4
SLOTS = 4
PROT_NONE, PROT_RW = 0, mmap.PROT_READ | mmap.PROT_WRITE
REFUSALS = (ValueError, TypeError, IndexError, OverflowError)

WINDOW = orbisect.calculate_lch_bounds((-math.pi / 6, math.pi / 6), (0.2, 1.0), (0.1, 0.9))
WINDOW_MAP = WINDOW._asdict()
# Inside, inside, outside, outside the window.
PALETTE = np.array([[255, 0, 0], [200, 100, 100], [200, 150, 40], [128, 128, 128]], np.uint8)

HEIGHTS = (1, 2, 3, 5)
WIDTHS = (1, 2, 3, 5, 16, 17, 33, 64, 65, 70)
POINTS = (0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 70)
SIDES = ("ends at guard", "starts at guard")

Layout = tuple[str, tuple[int, ...], tuple[int, ...]]  # name, shape, byte strides
# A call and its description.  Calls are made as they are generated, so
# they may use the generating loop's variables.
Call = tuple[str, Callable[[], object]]


class Arena:
    """SLOTS data areas of SLOT_PAGES pages each, every one between two
    no-access pages."""

    def __init__(self) -> None:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.mmap.restype = ctypes.c_void_p
        libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                              ctypes.c_int, ctypes.c_long]
        libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
        self.size = SLOT_PAGES * PAGE
        self.stride = self.size + PAGE
        total = SLOTS * self.stride + PAGE
        base = libc.mmap(None, total, PROT_RW, mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
        if base in (None, ctypes.c_void_p(-1).value):
            raise OSError(ctypes.get_errno(), "mmap failed")
        for k in range(SLOTS + 1):
            if libc.mprotect(base + k * self.stride, PAGE, PROT_NONE) != 0:
                raise OSError(ctypes.get_errno(), "mprotect failed")
        self.slots = [np.frombuffer((ctypes.c_uint8 * self.size).from_address(
            base + k * self.stride + PAGE), np.uint8) for k in range(SLOTS)]
        self.next = 0

    def reset(self) -> None:
        self.next = 0

    def place(self, layout: Layout, dtype: npt.DTypeLike, side: str,
              content: npt.ArrayLike | None = None) -> npt.NDArray[Any]:
        """An array of the layout whose bytes touch the guard page on `side`."""
        _, shape, strides = layout
        item = np.dtype(dtype).itemsize
        lo = hi = 0
        if all(shape):
            lo = sum(min(0, (n - 1) * s) for n, s in zip(shape, strides))
            hi = sum(max(0, (n - 1) * s) for n, s in zip(shape, strides)) + item
        assert hi - lo <= self.size, layout
        slot = self.slots[self.next]
        self.next += 1
        slot[:] = 0xA5
        start = self.size - (hi - lo) if side == SIDES[0] else 0
        a: npt.NDArray[Any] = np.ndarray(shape, dtype, buffer=slot, offset=start - lo,
                                         strides=strides)
        if content is not None and a.size:
            # Along a zero-stride axis one index reaches every element.
            target = a[tuple(slice(0, 1) if s == 0 else slice(None) for s in strides)]
            source = np.asarray(content)[tuple(slice(0, n) for n in target.shape)]
            target[...] = np.broadcast_to(source, target.shape)
        return a


def describe(name: str, layout: Layout, side: str) -> str:
    return f"{name} {layout[0]} {layout[1]} strides {layout[2]} {side}"


# --- layouts --------------------------------------------------------------

def image_layouts(h: int, w: int) -> Iterator[Layout]:
    yield "packed", (h, w, 3), (3 * w, 3, 1)
    yield "region", (h, w, 3), (3 * w + 6, 3, 1)
    yield "rgb of rgba", (h, w, 3), (4 * w, 4, 1)
    yield "rows reversed", (h, w, 3), (-3 * w, 3, 1)
    yield "columns reversed", (h, w, 3), (3 * w, -3, 1)
    yield "both reversed", (h, w, 3), (-3 * w, -3, 1)
    yield "zero row stride", (h, w, 3), (0, 3, 1)
    yield "zero pixel stride", (h, w, 3), (3, 0, 1)
    yield "every other row", (h, w, 3), (6 * w, 3, 1)
    yield "every other pixel", (h, w, 3), (6 * w, 6, 1)
    yield "channels reversed", (h, w, 3), (3 * w, 3, -1)
    yield "4 channels", (h, w, 4), (4 * w, 4, 1)
    yield "2 channels", (h, w, 2), (2 * w, 2, 1)


def mask_layouts(h: int, w: int) -> Iterator[Layout]:
    yield "packed", (h, w), (w, 1)
    yield "region", (h, w), (w + 3, 1)
    yield "rows reversed", (h, w), (-w, 1)
    yield "zero row stride", (h, w), (0, 1)
    yield "every other row", (h, w), (2 * w, 1)
    yield "columns reversed", (h, w), (w, -1)
    yield "every other column", (h, w), (2 * w, 2)


def output_layouts(h: int, w: int) -> Iterator[Layout]:
    yield from (lay for lay in mask_layouts(h, w) if lay[0] != "zero row stride")
    yield "one row short", (h - 1, w), (w, 1)
    yield "one column short", (h, w - 1), (w - 1, 1)
    yield "larger", (h + 1, w + 2), (w + 2, 1)
    yield "one long row", (1, h * w), (h * w, 1)
    yield "one pixel short, packed", (1, h * w - 1), (h * w, 1)


def point_layouts(n: int) -> Iterator[Layout]:
    yield "packed", (n, 2), (8, 4)
    yield "first 2 of 3 columns", (n, 2), (12, 4)
    yield "3 columns", (n, 3), (12, 4)
    yield "rows reversed", (n, 2), (-8, 4)
    yield "zero row stride", (n, 2), (0, 4)
    yield "every other row", (n, 2), (16, 4)
    yield "misaligned rows", (n, 2), (9, 4)
    yield "columns reversed", (n, 2), (8, -4)
    yield "1 column", (n, 1), (4, 4)


def output_point_layouts(n: int) -> Iterator[Layout]:
    yield from (lay for lay in point_layouts(n) if lay[0] != "zero row stride")
    yield "one row short", (max(n - 1, 0), 2), (8, 4)
    yield "2 rows", (2, 2), (8, 4)


def flag_layouts(n: int) -> Iterator[Layout]:
    yield "packed", (n,), (1,)
    yield "longer", (n + 5,), (1,)
    yield "one short", (max(n - 1, 0),), (1,)
    yield "every other", (n,), (2,)


def packed(shape: tuple[int, ...], item: int) -> Layout:
    strides = []
    step = item
    for n in reversed(shape):
        strides.append(step)
        step *= n
    return "packed", shape, tuple(reversed(strides))


# --- contents -------------------------------------------------------------

rng = np.random.default_rng(2024)


def image_content(h: int, w: int, c: int = 4) -> npt.NDArray[np.uint8]:
    picture = PALETTE[rng.integers(0, 4, (h, w))]
    return np.concatenate([picture, np.full((h, w, max(c - 3, 0)), 77, np.uint8)], axis=2)


def mask_content(h: int, w: int) -> npt.NDArray[np.uint8]:
    return (rng.integers(0, 2, (h, w)) * rng.integers(1, 256, (h, w))).astype(np.uint8)


def point_content(n: int, c: int = 3) -> npt.NDArray[np.int32]:
    return rng.integers(0, 60, (n, c)).astype(np.int32)


# --- the calls of each kernel ----------------------------------------------

def pixel_kernel_calls(arena: Arena, kernel: str) -> Iterator[Call]:
    fn = getattr(orbisect, kernel)
    front_end = not kernel.endswith("_impl")
    bounds = WINDOW if front_end else WINDOW_MAP
    for side in SIDES:
        for h in HEIGHTS:
            for w in WIDTHS:
                picture = image_content(h + 1, w + 2)
                for image_layout in image_layouts(h, w):
                    def call_1(lay: Layout = image_layout) -> object:
                        out = arena.place(packed((h, w), 1), np.uint8, side)
                        return fn(arena.place(lay, np.uint8, side, picture), bounds, out) \
                            if front_end else \
                            fn(arena.place(lay, np.uint8, side, picture), out, bounds)
                    yield f"{kernel}: {describe('image', image_layout, side)}", call_1
                outputs = list(output_layouts(h, w)) + [("None", (), ())]
                for out_layout in outputs:
                    def call_2(lay: Layout = out_layout) -> object:
                        image = arena.place(packed((h, w, 3), 1), np.uint8, side, picture)
                        out = None if lay[0] == "None" else arena.place(lay, np.uint8, side)
                        return fn(image, bounds, out) if front_end else fn(image, out, bounds)
                    yield f"{kernel}: {describe('output', out_layout, side)}", call_2


def line_counts(h: int, w: int) -> list[tuple[int, int]]:
    return [(0, 0), (1, 1), (h, w), (h + 1, w + 1), (2 * w + 3, 2 * h + 5), (70, 70), (-1, -1)]


def edge_calls(arena: Arena, kernel: str) -> Iterator[Call]:
    hsv = kernel == "simple_edge_hsv"
    fn = getattr(orbisect, kernel)
    extra = (WINDOW_MAP,) if hsv else ()
    for side in SIDES:
        for h in HEIGHTS:
            for w in WIDTHS:
                picture = image_content(h + 1, w + 2) if hsv else mask_content(h + 1, w + 2)
                layouts = list(image_layouts(h, w) if hsv else mask_layouts(h, w))
                for counts in line_counts(h, w):
                    # Every layout with counts just past the extents, the
                    # packed one with the others.
                    for lay in layouts if counts == (h + 1, w + 1) else layouts[:1]:
                        for capacity in (0, 3, 500):
                            def call_1(lay: Layout = lay, capacity: int = capacity,
                                     counts: tuple[int, int] = counts) -> object:
                                image = arena.place(lay, np.uint8, side, picture)
                                ps = arena.place(packed((capacity, 2), 4), np.int32, side)
                                return fn(image, ps, *extra, *counts)
                            yield (f"{kernel}: {describe('image', lay, side)}, "
                                   f"{capacity} points, counts {counts}"), call_1
                for ps_layout in point_layouts(5):
                    def call_2(lay: Layout = ps_layout) -> object:
                        image = arena.place(layouts[0], np.uint8, side, picture)
                        return fn(image, arena.place(lay, np.int32, side), *extra, h + 1, w + 1)
                    yield f"{kernel}: {describe('points', ps_layout, side)}", call_2


def run_points(n: int) -> npt.NDArray[np.int32]:
    """Start and end points of runs along rows 0..n/2, as the scan makes them."""
    p = np.zeros((n, 3), np.int32)
    p[:, 1] = np.arange(n) // 4
    p[:, 0] = np.cumsum(rng.integers(1, 4, n))
    return p


def denoise_calls(arena: Arena) -> Iterator[Call]:
    for side in SIDES:
        for n in POINTS:
            runs = run_points(n)
            for d in (0, 3):
                for lay in point_layouts(n):
                    def call_1(lay: Layout = lay, d: int = d) -> object:
                        ps_in = arena.place(lay, np.int32, side, runs)
                        return orbisect.simple_denoise(
                            ps_in, arena.place(packed((n, 2), 4), np.int32, side), d)
                    yield f"simple_denoise: {describe('input', lay, side)}, d {d}", call_1
                for lay in output_point_layouts(n):
                    def call_2(lay: Layout = lay, d: int = d) -> object:
                        ps_in = arena.place(packed((n, 2), 4), np.int32, side, runs)
                        return orbisect.simple_denoise(ps_in, arena.place(lay, np.int32, side), d)
                    yield f"simple_denoise: {describe('output', lay, side)}, d {d}", call_2
                for lay in point_layouts(n):
                    def call_3(lay: Layout = lay, d: int = d) -> object:
                        ps = arena.place(lay, np.int32, side, runs)
                        return orbisect.simple_denoise(ps, ps, d)
                    yield f"simple_denoise: in place, {describe('points', lay, side)}, d {d}", call_3


def remove_inliers_calls(arena: Arena) -> Iterator[Call]:
    for side in SIDES:
        for n in POINTS:
            points = point_content(n)
            flags = rng.integers(0, 2, n + 5).astype(np.uint8)
            for lay in point_layouts(n):
                def call_1(lay: Layout = lay) -> object:
                    return orbisect.remove_inliers(
                        arena.place(lay, np.int32, side, points),
                        arena.place(packed((n, 2), 4), np.int32, side),
                        arena.place(packed((n,), 1), np.uint8, side, flags))
                yield f"remove_inliers: {describe('input', lay, side)}", call_1
            for lay in output_point_layouts(n):
                def call_2(lay: Layout = lay) -> object:
                    return orbisect.remove_inliers(
                        arena.place(packed((n, 2), 4), np.int32, side, points),
                        arena.place(lay, np.int32, side),
                        arena.place(packed((n,), 1), np.uint8, side, flags))
                yield f"remove_inliers: {describe('output', lay, side)}", call_2
            for lay in flag_layouts(n):
                for kept in (0, 1):
                    def call_3(lay: Layout = lay, kept: int = kept) -> object:
                        return orbisect.remove_inliers(
                            arena.place(packed((n, 2), 4), np.int32, side, points),
                            arena.place(packed((n, 2), 4), np.int32, side),
                            arena.place(lay, np.uint8, side, flags * kept))
                    yield f"remove_inliers: {describe('flags', lay, side)}, x{kept}", call_3
            for lay in point_layouts(n):
                def call_4(lay: Layout = lay) -> object:
                    ps = arena.place(lay, np.int32, side, points)
                    return orbisect.remove_inliers(
                        ps, ps, arena.place(packed((n,), 1), np.uint8, side, flags))
                yield f"remove_inliers: in place, {describe('points', lay, side)}", call_4


FITS: dict[str, Callable[[Any, Any, int], object]] = {
    "ransac_circle": lambda ps, ms, count: orbisect.ransac_circle(ps, count, 1, 100, 2),
    "ransac_ellipse": lambda ps, ms, count: orbisect.ransac_ellipse(ps, count, 1, 100, 3.0, 2),
    "ransac_line": lambda ps, ms, count: orbisect.ransac_line(ps, ms, count, 2, 0.1),
    "ransac_line2": lambda ps, ms, count: orbisect.ransac_line2(ps, ms, count, 0.5, 2),
}


def fit_calls(arena: Arena, kernel: str) -> Iterator[Call]:
    fit = FITS[kernel]
    for side in SIDES:
        for n in POINTS:
            points = point_content(n)
            for count in (0, 1, 7):
                for lay in point_layouts(n):
                    def call_1(lay: Layout = lay, count: int = count) -> object:
                        ps = arena.place(lay, np.int32, side, points)
                        return fit(ps, arena.place(packed((n,), 1), np.uint8, side), count)
                    yield f"{kernel}: {describe('points', lay, side)}, count {count}", call_1
            if kernel.startswith("ransac_line"):
                for lay in flag_layouts(n):
                    def call_2(lay: Layout = lay) -> object:
                        ps = arena.place(packed((n, 2), 4), np.int32, side, points)
                        return fit(ps, arena.place(lay, np.uint8, side), 5)
                    yield f"{kernel}: {describe('flags', lay, side)}", call_2
                yield f"{kernel}: flags None, {n} points", lambda: fit(
                    arena.place(packed((n, 2), 4), np.int32, side, points), None, 5)
            yield f"{kernel}: points None", lambda: fit(
                None, arena.place(packed((n,), 1), np.uint8, side), 5)


HUGE = 2 ** 31 - 1


def huge_calls(arena: Arena) -> Iterator[Call]:
    """Zero-stride arrays of 2**31 - 1 rows over a few bytes: kernels that do
    not need every row must not touch (or copy) them all."""
    side = SIDES[0]
    ps = ("zero row stride", (HUGE, 2), (0, 4))
    for kernel in ("ransac_circle", "ransac_ellipse"):
        fit = FITS[kernel]
        yield f"{kernel}: {describe('points', ps, side)}, count 0", lambda: fit(
            arena.place(ps, np.int32, side, [[3, 4]]), None, 0)
    mask = ("zero row stride", (HUGE, 8), (0, 1))
    yield f"simple_edge: {describe('mask', mask, side)}, 100 rows", lambda: orbisect.simple_edge(
        arena.place(mask, np.uint8, side, mask_content(1, 8)),
        arena.place(packed((64, 2), 4), np.int32, side), 100, 0)
    image = ("zero row stride", (HUGE, 8, 3), (0, 3, 1))
    yield (f"simple_edge_hsv: {describe('image', image, side)}, 100 rows",
           lambda: orbisect.simple_edge_hsv(
               arena.place(image, np.uint8, side, image_content(1, 8, 3)),
               arena.place(packed((64, 2), 4), np.int32, side), WINDOW_MAP, 100, 0))


KERNELS: dict[str, Callable[[Arena], Iterator[Call]]] = {
    "mask_image_cy_impl": lambda a: pixel_kernel_calls(a, "mask_image_cy_impl"),
    "selective_grayscale_impl": lambda a: pixel_kernel_calls(a, "selective_grayscale_impl"),
    "mask_image": lambda a: pixel_kernel_calls(a, "mask_image"),
    "selective_grayscale": lambda a: pixel_kernel_calls(a, "selective_grayscale"),
    "simple_edge": lambda a: edge_calls(a, "simple_edge"),
    "simple_edge_hsv": lambda a: edge_calls(a, "simple_edge_hsv"),
    "simple_denoise": denoise_calls,
    "remove_inliers": remove_inliers_calls,
    "ransac_circle": lambda a: fit_calls(a, "ransac_circle"),
    "ransac_ellipse": lambda a: fit_calls(a, "ransac_ellipse"),
    "ransac_line": lambda a: fit_calls(a, "ransac_line"),
    "ransac_line2": lambda a: fit_calls(a, "ransac_line2"),
}


# Frames of field and paint for the detector: stripes across, along and
# diagonal to the scan lines, reaching the frame's edges, where the line
# search follows the paint.
CORE_SIZES = ((1, 1), (1, 9), (2, 3), (5, 7), (9, 2), (17, 33), (24, 40), (31, 45), (40, 64))


def field_content(h: int, w: int, seed: int) -> npt.NDArray[np.uint8]:
    g = np.random.default_rng(seed)
    yy, xx = np.mgrid[:h, :w]
    picture = np.empty((h, w, 4), np.uint8)
    picture[:] = (40, 140, 50, 77)
    paint = (np.abs(yy - 0.6 * xx - g.uniform(-3, h)) < 1.5) | (np.abs(xx - g.uniform(0, w)) < 1.2) \
        | (np.abs(yy - g.uniform(0, h)) < 1.0) | (g.random((h, w)) < 0.03)
    picture[paint, :3] = (235, 235, 230)
    return picture


def core_calls(arena: Arena) -> Iterator[Call]:
    from orbisect_detect import FieldDetector, LineSearch
    eager = LineSearch(min_points=2, min_width=1.0, min_run=1, min_support=0.0, max_lines=50)
    detectors = [FieldDetector(seed=0), FieldDetector(seed=1, rows=200, columns=300, line_search=eager),
                 FieldDetector(seed=2, rows=1, columns=1, order="bgr")]
    for side in SIDES:
        for h, w in CORE_SIZES:
            for seed in range(2):
                picture = field_content(h + 1, w + 2, seed)
                for lay in image_layouts(h, w):
                    for k, det in enumerate(detectors):
                        def call_1(lay: Layout = lay, det: Any = det) -> object:
                            return det.detect(arena.place(lay, np.uint8, side, picture))
                        yield f"detector {k}: {describe('frame', lay, side)}, scene {seed}", call_1
                    def call_2(lay: Layout = lay) -> object:
                        frame = arena.place(lay, np.uint8, side, picture)
                        return detectors[1]._searches(*frame.shape[:2])[1].detect(frame, False, True)
                    yield f"native core: {describe('frame', lay, side)}, scene {seed}", call_2


def misaligned_calls(arena: Arena) -> Iterator[Call]:
    for calls in KERNELS.values():
        yield from (c for c in calls(arena) if "misaligned" in c[0])


# Misaligned point sets are a group of their own, so that a kernel that
# cannot read them does not hide its other faults.
GROUPS: dict[str, Callable[[Arena], Iterator[Call]]] = {
    **{name: (lambda a, name=name: (c for c in KERNELS[name](a)  # type: ignore[misc]
                                    if "misaligned" not in c[0])) for name in KERNELS},
    "misaligned point sets": misaligned_calls,
    "huge zero-stride arrays": huge_calls,
    "detector core": core_calls,
}


def run_groups(names: list[str]) -> None:
    """Child process: makes every call of the groups in turn.  It prints each
    call before making it, so when it dies the last call printed is the one
    that crashed."""
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
    arena = Arena()
    out = sys.stdout
    for name in names:
        out.write(f"GROUP {name}\n")
        calls = 0
        for text, call in GROUPS[name](arena):
            arena.reset()
            out.write(f"CALL {text}\n")
            out.flush()
            calls += 1
            try:
                call()
            except REFUSALS:
                pass
            except Exception as e:  # noqa: BLE001 - the parent reports it
                out.write(f"UNEXPECTED {type(e).__name__}: {e}\n")
        out.write(f"DONE {calls} calls\n")
        out.flush()


@pytest.fixture(scope="module")
def group_reports() -> dict[str, str]:
    """Runs all groups in as few child processes as crashes allow: after a
    crash a new child goes on with the next group.  Maps each group to ""
    when all went well, otherwise to what went wrong."""
    env = dict(os.environ)
    # A kernel that copies a huge zero-stride array is refused its memory
    # rather than left to exhaust the machine's.
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                 "max_allocation_size_mb=1024"]))
    reports: dict[str, str] = {}
    pending = list(GROUPS)
    while pending:
        r = subprocess.run([sys.executable, "-X", "faulthandler", "-c",
                            f"import test_guard_pages as g; g.run_groups({pending!r})"],
                           cwd=pathlib.Path(__file__).parent, env=env, capture_output=True,
                           text=True, timeout=600)
        group, calls, unexpected = "", list[str](), list[str]()
        for line in r.stdout.splitlines():
            if line.startswith("GROUP "):
                group, calls, unexpected = line[6:], [], []
            elif line.startswith("CALL "):
                calls.append(line[5:])
            elif line.startswith("UNEXPECTED "):
                unexpected.append(f"{calls[-1]}\n    -> {line[11:]}")
            elif line.startswith("DONE "):
                reports[group] = "" if not unexpected else (
                    f"{len(unexpected)} of {len(calls)} calls raised unexpectedly:\n"
                    + "\n".join(unexpected[:10]))
                pending.remove(group)
                group = ""
        if r.returncode == 0 and not pending:
            break
        stderr = "\n".join(r.stderr.splitlines()[:30])
        crashed = group or pending[0]
        reports[crashed] = (f"crashed (exit status {r.returncode}) in call {len(calls)}: "
                            f"{calls[-1] if calls else '(before the first call)'}\n{stderr}")
        pending.remove(crashed)
    return reports


@pytest.mark.parametrize("group", list(GROUPS))
def test_kernel_stays_inside_its_arrays(group: str, group_reports: dict[str, str]) -> None:
    if group_reports[group]:
        pytest.fail(group_reports[group], pytrace=False)
