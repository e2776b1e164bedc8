"""Properties of every kernel, checked on generated calls.

- Layouts: any view (region of interest, reversed, stepped, misaligned,
  zero-stride where the kernel only reads) gives the same result and the same
  output as its packed copy, and no byte outside an output is written.  Fits
  are run twice from the same seed of the C runtime's generator.
- Refusals: a refused call raises an ordinary error and changes no byte of
  any argument.
- Interruptions: Python code that runs while the arguments are converted (a
  window mapping's ``__getitem__``, an integer's ``__int__``, a float's
  ``__float__``), even code that frees an array argument's memory with
  ``resize(..., refcheck=False)``, never crashes the call: it raises or
  returns.  Under the sanitizer build, any touch of freed memory is reported.

``ORBISECT_TRACE_CALLS=<file>`` writes each kernel call to the file before it
is made, so that a run that a sanitizer stops names the call that caused it.
"""
from __future__ import annotations

import collections
import ctypes
import math
import os
import struct
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

import orbisect  # type: ignore[import-not-found]

libc = ctypes.CDLL(None)
I32 = st.integers(-2 ** 31, 2 ** 31 - 1)
# Ordinary errors (AttributeError: mask_image reads `image.shape` itself).
REFUSALS = (ValueError, TypeError, IndexError, OverflowError, AttributeError)
Array = npt.NDArray[Any]
Counter = collections.Counter[str]


# --- argument descriptions --------------------------------------------------

@dataclass(frozen=True)
class Arr:
    """An array argument: its contents and how the kernel uses it."""

    content: Array
    out: bool = False          # the kernel writes it
    flags: bool = False        # one-dimensional and C-contiguous (inlier flags)
    zero_stride: bool = False  # may be a view whose rows share memory


@dataclass(frozen=True)
class Alias:
    """The array of argument `index` again, or its first `rows` rows; written."""

    index: int
    rows: int | None = None


Arg = Arr | Alias | object


@dataclass(frozen=True)
class Case:
    name: str
    args: tuple[Arg, ...]

    @property
    def fit(self) -> bool:
        return self.name.startswith("ransac_")


# --- calling, with a trace and a count --------------------------------------

TRACE = os.environ.get("ORBISECT_TRACE_CALLS")


def describe(value: object) -> str:
    if isinstance(value, np.ndarray):
        return (f"array(shape={value.shape}, strides={value.strides}, dtype={value.dtype}, "
                f"aligned={value.flags.aligned})")
    return repr(value)


def call(calls: Counter, name: str, args: tuple[object, ...], seed: int | None = None) -> object:
    calls[name] += 1
    if TRACE:
        with open(TRACE, "w") as f:
            f.write(f"{name}({', '.join(describe(a) for a in args)}) seed {seed}\n")
    if seed is not None:
        libc.srand(seed)
    return getattr(orbisect, name)(*args)


def same(a: object, b: object) -> bool:
    """Equality that takes NaN as equal to itself and compares arrays bytewise."""
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, tuple) and isinstance(b, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray):
        return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()
    return type(a) is type(b) and a == b


# --- contents ---------------------------------------------------------------

@st.composite
def windows(draw: st.DrawFn) -> dict[str, Any]:
    """A window mapping: a computed one or raw integers whose products wrap."""
    if draw(st.integers(0, 4)):
        t1 = draw(st.floats(-math.pi, math.pi))
        width = draw(st.floats(0.05, 2.5))
        c = sorted(draw(st.lists(st.floats(0, 0.6), min_size=2, max_size=2)))
        i = sorted(draw(st.lists(st.floats(0, 1), min_size=2, max_size=2)))
        window: dict[str, Any] = orbisect.calculate_lch_bounds((t1, t1 + width), c, i)._asdict()
        return window
    return {"M": draw(st.lists(I32, min_size=9, max_size=9)),
            "i": sorted(draw(st.lists(I32, min_size=2, max_size=2))),
            "c": sorted(draw(st.lists(I32, min_size=2, max_size=2)))}


def rng_of(draw: st.DrawFn) -> np.random.Generator:
    return np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))


def image(draw: st.DrawFn, h: int, w: int) -> Array:
    """Blocks of random colours, so that runs are longer than one pixel."""
    rng = rng_of(draw)
    block = draw(st.sampled_from([1, 3, 8]))
    small = rng.integers(0, 256, (h // block + 1, w // block + 1, 3), np.uint8)
    return np.ascontiguousarray(small.repeat(block, 0).repeat(block, 1)[:h, :w])


def mask(draw: st.DrawFn, h: int, w: int) -> Array:
    rng = rng_of(draw)
    density = draw(st.sampled_from([0.0, 0.2, 0.5, 0.9, 1.0]))
    values = rng.integers(1, 256, (h, w), np.uint8)
    return np.where(rng.random((h, w)) < density, values, 0).astype(np.uint8)


def points(draw: st.DrawFn, n: int, columns: int = 2) -> Array:
    rng = rng_of(draw)
    span = draw(st.sampled_from([8, 100, 30_000, 2 ** 31 - 1]))
    return rng.integers(-span if span > 100 else 0, span, (n, columns), dtype=np.int64) \
        .astype(np.int32)


def runs(draw: st.DrawFn, n: int) -> Array:
    """Start and end points of runs, as the scan writes them."""
    rng = rng_of(draw)
    p = np.zeros((n, 2), np.int32)
    p[:, 1] = np.arange(n) // draw(st.sampled_from([2, 4, 8]))
    p[:, 0] = np.cumsum(rng.integers(0, 6, n))
    if draw(st.booleans()):
        p = p[:, ::-1]                       # column runs
    return np.ascontiguousarray(p)


def flags(draw: st.DrawFn, n: int) -> Array:
    return (rng_of(draw).random(n) < draw(st.sampled_from([0.0, 0.5, 1.0]))).astype(np.uint8)


def output(draw: st.DrawFn, shape: tuple[int, ...], dtype: npt.DTypeLike) -> Array:
    fill = draw(st.sampled_from([0, -7, 0x5A]))
    return np.full(shape, fill).astype(dtype)


# --- generated valid calls of each kernel -------------------------------------

SHAPES = st.tuples(st.integers(0, 6), st.integers(0, 70))
POINT_COUNT = st.integers(0, 70)
COUNTS = st.one_of(st.integers(-3, 150), st.sampled_from([2 ** 31 - 1, -2 ** 31]))


@st.composite
def pixel_case(draw: st.DrawFn, name: str) -> Case:
    h, w = draw(SHAPES)
    picture = Arr(image(draw, h, w), zero_stride=True)
    window = draw(windows())
    if name.endswith("_impl"):
        return Case(name, (picture, Arr(output(draw, (h, w), np.uint8), out=True), window))
    bounds: object = window
    if draw(st.booleans()):
        bounds = orbisect.LCHBounds(window["M"], window["i"], window["c"])
    buffer = None if draw(st.booleans()) else Arr(output(draw, (h, w), np.uint8), out=True)
    return Case(name, (picture, bounds, buffer))


@st.composite
def edge_case(draw: st.DrawFn, name: str) -> Case:
    h, w = draw(SHAPES)
    ps = Arr(output(draw, (draw(st.integers(0, 300)), draw(st.sampled_from([2, 2, 3]))),
                    np.int32), out=True)
    counts = (draw(COUNTS), draw(COUNTS))
    if name == "simple_edge":
        return Case(name, (Arr(mask(draw, h, w), zero_stride=True), ps, *counts))
    return Case(name, (Arr(image(draw, h, w), zero_stride=True), ps, draw(windows()), *counts))


@st.composite
def denoise_case(draw: st.DrawFn) -> Case:
    n = draw(POINT_COUNT)
    ps_in = Arr(runs(draw, n), zero_stride=True)
    d = draw(st.integers(-2, 8))
    how = draw(st.sampled_from(["apart", "same", "prefix"]))
    if how == "apart":
        return Case("simple_denoise", (ps_in, Arr(output(draw, (n + draw(st.integers(0, 3)), 2),
                                                         np.int32), out=True), d))
    rows = None if how == "same" else draw(st.integers(0, n))
    return Case("simple_denoise", (Arr(ps_in.content), Alias(0, rows), d))


@st.composite
def remove_inliers_case(draw: st.DrawFn) -> Case:
    n = draw(POINT_COUNT)
    ms = Arr(flags(draw, n + draw(st.integers(0, 3))), flags=True)
    if draw(st.booleans()):
        rows = None if draw(st.booleans()) else draw(st.integers(0, n))
        return Case("remove_inliers", (Arr(points(draw, n)), Alias(0, rows), ms))
    out = Arr(output(draw, (n + draw(st.integers(0, 3)), 2), np.int32), out=True)
    return Case("remove_inliers", (Arr(points(draw, n), zero_stride=True), out, ms))


DOUBLES = st.one_of(st.floats(-2, 2), st.sampled_from([math.nan, math.inf, 0.0, 1.0]))


@st.composite
def fit_case(draw: st.DrawFn, name: str) -> Case:
    n = draw(POINT_COUNT)
    ps = Arr(points(draw, n, draw(st.sampled_from([2, 2, 3]))), zero_stride=True)
    count = draw(st.integers(-1, 25))
    small = st.integers(-3, 200)
    if name == "ransac_circle":
        return Case(name, (ps, count, draw(small), draw(small), draw(st.integers(-1, 5))))
    if name == "ransac_ellipse":
        return Case(name, (ps, count, draw(small), draw(small), draw(DOUBLES),
                           draw(st.integers(-1, 5))))
    ms = Arr(output(draw, (n + draw(st.integers(0, 3)),), np.uint8), out=True, flags=True)
    if name == "ransac_line":
        return Case(name, (ps, ms, count, draw(st.integers(-1, 5)), draw(DOUBLES)))
    return Case(name, (ps, ms, count, draw(DOUBLES), draw(st.integers(-1, 5))))


CASES: dict[str, Callable[[], st.SearchStrategy[Case]]] = {
    "mask_image_cy_impl": lambda: pixel_case("mask_image_cy_impl"),
    "selective_grayscale_impl": lambda: pixel_case("selective_grayscale_impl"),
    "mask_image": lambda: pixel_case("mask_image"),
    "selective_grayscale": lambda: pixel_case("selective_grayscale"),
    "simple_edge": lambda: edge_case("simple_edge"),
    "simple_edge_hsv": lambda: edge_case("simple_edge_hsv"),
    "simple_denoise": denoise_case,
    "remove_inliers": remove_inliers_case,
    "ransac_circle": lambda: fit_case("ransac_circle"),
    "ransac_ellipse": lambda: fit_case("ransac_ellipse"),
    "ransac_line": lambda: fit_case("ransac_line"),
    "ransac_line2": lambda: fit_case("ransac_line2"),
}


# --- views --------------------------------------------------------------------

@dataclass(frozen=True)
class Placed:
    """A view over a buffer of its own, with a mask of the bytes it covers."""

    view: Array
    raw: Array       # every byte of the buffer
    cover: Array     # the buffer's bytes that belong to the view
    before: bytes


def slices(steps: list[int], pads: list[int], shape: tuple[int, ...]) -> tuple[slice, ...]:
    out = []
    for n, step, pad in zip(shape, steps, pads):
        if n == 0:
            out.append(slice(pad, pad))
        elif step > 0:
            out.append(slice(pad, pad + n * step, step))
        else:
            first = pad + (n - 1) * -step
            out.append(slice(first, pad - 1 if pad else None, step))
    return tuple(out)


@st.composite
def placed(draw: st.DrawFn, arg: Arr) -> Placed:
    """`arg`'s contents in a generated layout."""
    content = arg.content
    shape, ndim = content.shape, content.ndim
    if arg.flags:
        steps, pads = [1], [draw(st.integers(0, 3))]
    else:
        outer = st.sampled_from([1, 1, 1, 2, -1, -2, 3])
        inner = st.sampled_from([1] * 12 + [-1, 2])
        steps = [draw(outer) for _ in range(ndim - 1)] + [draw(inner)]
        pads = [draw(st.integers(0, 2)) for _ in range(ndim)]
    zero = arg.zero_stride and shape[0] > 1 and draw(st.integers(0, 4)) == 0
    misalign = draw(st.sampled_from([0, 0, 0, 1, 2, 3])) if content.itemsize > 1 else 0
    parent_shape = tuple(max(n, 1) * abs(s) + 2 * p for n, s, p in zip(shape, steps, pads))
    nbytes = int(np.prod(parent_shape)) * content.itemsize
    raw = np.frombuffer(bytearray(rng_of(draw).bytes(nbytes + misalign)), np.uint8)
    cover = np.zeros_like(raw)
    index = slices(steps, pads, shape)
    view = np.ndarray(parent_shape, content.dtype, buffer=raw, offset=misalign)[index]
    marks = np.ndarray(parent_shape, content.dtype, buffer=cover, offset=misalign)[index]
    if zero:
        view = np.lib.stride_tricks.as_strided(view[:1], shape, (0,) + view.strides[1:],
                                               writeable=True)
        marks = np.lib.stride_tricks.as_strided(marks[:1], shape, (0,) + marks.strides[1:],
                                                writeable=True)
    view[...] = content
    marks[...] = np.array(-1).astype(content.dtype)
    return Placed(view, raw, cover, raw.tobytes())


@dataclass
class Realised:
    """One call's arguments: in generated layouts and as packed copies."""

    views: list[object]
    packed: list[object]
    placed: list[Placed]
    written: list[Array]      # per placed buffer: the bytes outputs may change


@st.composite
def realise(draw: st.DrawFn, case: Case) -> Realised:
    views: list[object] = []
    packed: list[object] = []
    places: list[Placed] = []
    owner: dict[int, int] = {}
    written: list[Array] = []
    for k, arg in enumerate(case.args):
        if isinstance(arg, Arr):
            p = draw(placed(arg))
            owner[k] = len(places)
            places.append(p)
            written.append(p.cover.astype(bool) if arg.out else np.zeros(p.raw.shape, bool))
            views.append(p.view)
            packed.append(np.array(p.view, order="C", copy=True))
        elif isinstance(arg, Alias):
            base_view = views[arg.index]
            base_packed = packed[arg.index]
            assert isinstance(base_view, np.ndarray) and isinstance(base_packed, np.ndarray)
            if arg.rows is None:
                views.append(base_view)
                packed.append(base_packed)
            else:
                views.append(base_view[:arg.rows])
                packed.append(base_packed[:arg.rows])
            # Only the rows of the alias may change.
            p = places[owner[arg.index]]
            rows = len(base_view) if arg.rows is None else arg.rows
            cover = np.zeros_like(p.cover)
            marks = np.ndarray(p.view.shape, p.view.dtype, buffer=cover,
                               offset=p.view.__array_interface__["data"][0]
                               - p.raw.__array_interface__["data"][0],
                               strides=p.view.strides)
            marks[:rows] = np.array(-1).astype(p.view.dtype)
            written[owner[arg.index]] = cover.astype(bool)
        else:
            views.append(arg)
            packed.append(arg)
    return Realised(views, packed, places, written)


def unchanged_outside_outputs(r: Realised) -> None:
    for p, written in zip(r.placed, r.written):
        now = np.frombuffer(p.raw.tobytes(), np.uint8)
        before = np.frombuffer(p.before, np.uint8)
        changed = np.flatnonzero((now != before) & ~written)
        assert not changed.size, f"bytes {changed[:10]} outside the outputs were written"


# --- layouts -------------------------------------------------------------------

def check_layouts(kernel: str, data: st.DataObject, calls: Counter) -> None:
    case = data.draw(CASES[kernel](), label="case")
    r = data.draw(realise(case), label="layouts")
    seed = data.draw(st.integers(0, 2 ** 31 - 1)) if case.fit else None
    try:
        got = call(calls, kernel, tuple(r.views), seed)
    except REFUSALS:
        unchanged_outside_outputs(r)
        for p in r.placed:
            assert p.raw.tobytes() == p.before, "a refused call wrote to its arguments"
        return
    expected = call(calls, kernel, tuple(r.packed), seed)
    if isinstance(got, np.ndarray):            # mask_image's new or given buffer
        assert same(np.ascontiguousarray(got), expected)
    else:
        assert same(got, expected), (got, expected)
    for view, copy in zip(r.views, r.packed):
        if isinstance(view, np.ndarray):
            assert same(np.ascontiguousarray(view), copy)
    unchanged_outside_outputs(r)


@pytest.mark.parametrize("kernel", list(CASES))
@given(data=st.data())
def test_views_match_packed_copies(kernel: str, data: st.DataObject,
                                   kernel_calls: Counter) -> None:
    check_layouts(kernel, data, kernel_calls)


# --- refusals ------------------------------------------------------------------

def spoiled_arrays(arg: Arr) -> Iterator[object]:
    a = arg.content
    yield a.astype(np.float64)
    yield a.astype(np.int64 if a.dtype == np.int32 else np.int8)
    yield a.astype(">i4" if a.dtype == np.int32 else np.uint16)
    yield a[..., None]
    yield a.reshape(-1)[:, None, None] if a.ndim == 1 else a.reshape(-1)
    ro = np.frombuffer(a.tobytes(), a.dtype).reshape(a.shape)
    yield ro                                  # read-only
    yield a.tolist()
    yield "array"
    if a.ndim >= 2 and a.shape[-1] > 1:
        yield np.ascontiguousarray(a[..., :-1])
        yield np.ascontiguousarray(a)[..., ::-1]
    if a.ndim == 1 and a.size > 1:
        yield np.repeat(a, 2)[::2]            # flags that are not contiguous
    if a.size:
        yield np.ascontiguousarray(a[:-1])    # one row short


def spoiled_scalars(value: object) -> Iterator[object]:
    yield from ("3", None, [1], object(), 2 ** 31, -2 ** 31 - 1, 2 ** 70)
    if isinstance(value, int):
        yield math.nan
        yield math.inf


def spoiled_windows(window: Mapping[str, Any]) -> Iterator[object]:
    for key in "icM":
        yield {k: v for k, v in window.items() if k != key}
        yield {**window, key: list(window[key])[:-1]}
        yield {**window, key: list(window[key]) + [0]}
        yield {**window, key: ["x"] * len(window[key])}
        yield {**window, key: [2 ** 40] * len(window[key])}
        yield {**window, key: None}
    yield {**window, "M": np.reshape(np.asarray(window["M"]), (3, 3))}
    yield list(window.values())
    yield orbisect.LCHBounds(window["M"], window["i"], window["c"])
    yield 7


def spoilers(arg: Arg) -> list[object]:
    if isinstance(arg, Arr):
        return list(spoiled_arrays(arg))
    if isinstance(arg, dict):
        return list(spoiled_windows(arg))
    if isinstance(arg, (int, float)):
        return list(spoiled_scalars(arg))
    return []


@pytest.mark.parametrize("kernel", list(CASES))
@given(data=st.data())
def test_refused_calls_change_nothing(kernel: str, data: st.DataObject,
                                      kernel_calls: Counter) -> None:
    case = data.draw(CASES[kernel](), label="case")
    k = data.draw(st.sampled_from([i for i, a in enumerate(case.args) if spoilers(a)]))
    bad = data.draw(st.sampled_from(spoilers(case.args[k])), label="spoiled argument")
    if isinstance(case.args[k], Arr) and isinstance(bad, np.ndarray) and bad.flags.writeable:
        bad = Arr(bad, out=True)              # placed like the others, so it is watched
    args = list(case.args)
    args[k] = bad
    assume(not any(isinstance(a, Alias) and a.index == k for a in args))
    r = data.draw(realise(Case(case.name, tuple(args))), label="layouts")
    before = [np.array(v, copy=True) for v in r.views if isinstance(v, np.ndarray)]
    seed = 1 if case.fit else None
    try:
        call(kernel_calls, kernel, tuple(r.views), seed)
    except REFUSALS:
        for p in r.placed:
            assert p.raw.tobytes() == p.before, "a refused call wrote to its arguments"
        after = [v for v in r.views if isinstance(v, np.ndarray)]
        assert all(same(b, a) for b, a in zip(before, after))


@given(hue=st.tuples(st.one_of(st.floats(allow_nan=True), st.text(max_size=2), st.none(),
                               st.integers()), st.one_of(st.floats(), st.text(max_size=2))),
       chroma=st.lists(st.one_of(st.floats(0, 1), st.text(max_size=1)), min_size=0, max_size=3),
       bits=st.one_of(st.none(), st.integers(-3, 70), st.text(max_size=1)))
# Junk limits make degenerate windows (NumPy warns of its divisions by zero and
# casts of infinities) and int32 sums that wrap, as the kernels'; both are expected.
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_window_functions_raise_only_ordinary_errors(hue: tuple[object, object],
                                                     chroma: list[object],
                                                     bits: object) -> None:
    """Whatever the limits, the window functions raise no internal error."""
    try:
        bounds = orbisect.calculate_lch_bounds(hue, chroma, (0.1, 0.9), bits)
    except (*REFUSALS, ZeroDivisionError, RuntimeWarning):
        return
    pixel = np.array([[[255, 0, 0], [128, 128, 128]]], np.uint8)
    for f, a in ((orbisect.mask_image_py, pixel), (orbisect.mask_color, pixel[0, 0])):
        try:
            f(a, bounds)
        except REFUSALS:
            pass


# --- interruptions -------------------------------------------------------------

class Interrupt(Exception):
    """Raised by an interrupting hook."""


@dataclass
class Action:
    """What an interrupting hook does, once: nothing, raise, or resize the
    memory of an array argument away."""

    kind: str
    victim: Array | None = None
    rows: int = 0
    done: bool = False

    def __call__(self) -> None:
        if self.done:
            return
        self.done = True
        if self.kind == "raise":
            raise Interrupt
        if self.kind == "resize" and self.victim is not None:
            self.victim.resize((self.rows,) + self.victim.shape[1:], refcheck=False)


class HookedInt:
    def __init__(self, value: int, action: Action) -> None:
        self.value, self.action = value, action

    def __int__(self) -> int:
        self.action()
        return self.value


class HookedFloat:
    def __init__(self, value: float, action: Action) -> None:
        self.value, self.action = value, action

    def __float__(self) -> float:
        self.action()
        return self.value


class HookedWindow(Mapping[str, Any]):
    """A window mapping that runs the action when `key` is looked up."""

    def __init__(self, window: Mapping[str, Any], key: str, action: Action) -> None:
        self.window, self.key, self.action = dict(window), key, action

    def __getitem__(self, key: str) -> Any:
        if key == self.key:
            self.action()
        return self.window[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self.window)

    def __len__(self) -> int:
        return len(self.window)


def hooked(value: object, action: Action, where: int, key: str) -> object:
    if isinstance(value, Mapping):
        if where == 0:
            return HookedWindow(value, key, action)
        m = list(value["M"])                       # an element of M runs it
        m[where % 9] = HookedInt(int(m[where % 9]), action)
        return {**value, "M": m}
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return value
    if isinstance(value, int):
        return HookedInt(value, action)
    return HookedFloat(value, action)


# remove_inliers takes nothing that could run Python code.
@pytest.mark.parametrize("kernel", [k for k in CASES if k != "remove_inliers"])
@given(data=st.data())
def test_interrupted_calls_never_crash(kernel: str, data: st.DataObject,
                                       kernel_calls: Counter) -> None:
    case = data.draw(CASES[kernel](), label="case")
    # Arrays that own their memory (so that it can be resized away), passed
    # as they are or as views of themselves.  Only an array passed as itself
    # (and not also through a view) is resized: resizing the base of a view
    # leaves the view pointing at freed memory in NumPy itself, which no
    # callee can tell.
    bases: list[Array] = []
    args: list[object] = []
    direct: list[int] = []
    for arg in case.args:
        if isinstance(arg, Arr):
            base = np.array(arg.content, copy=True)
            view = data.draw(st.sampled_from(["all", "view", "reversed"]))
            if view == "all":
                direct.append(len(bases))
            bases.append(base)
            args.append(base if view == "all" else base[:] if view == "view" else base[::-1])
        elif isinstance(arg, Alias):
            target = args[arg.index]
            assert isinstance(target, np.ndarray)
            args.append(target if arg.rows is None else target[:arg.rows])
            if arg.rows is not None:
                owner = next((b for b, base in enumerate(bases) if base is target), None)
                direct = [b for b in direct if b != owner]
        else:
            args.append(arg)
    hookable = [k for k, a in enumerate(args) if isinstance(a, (int, float, Mapping))
                and not isinstance(a, bool)]
    assume(hookable and bases)
    kind = data.draw(st.sampled_from(["resize", "resize", "resize", "raise", "nothing"]))
    if not direct:
        kind = data.draw(st.sampled_from(["raise", "nothing"]))
    # Drawn by index: Hypothesis keeps weak references to drawn objects, and
    # NumPy refuses to resize an array that has any.
    victim = bases[data.draw(st.sampled_from(direct))] if direct else bases[0]
    rows = data.draw(st.sampled_from([0, 1, max(len(victim) // 2, 1), len(victim) * 4 + 64]))
    action = Action(kind, victim, rows)
    k = data.draw(st.sampled_from(hookable))
    args[k] = hooked(args[k], action, data.draw(st.integers(0, 9)),
                     data.draw(st.sampled_from("icM")))
    try:
        call(kernel_calls, kernel, tuple(args), 1 if case.fit else None)
    except Interrupt:
        assert kind == "raise"
    except REFUSALS:
        pass
