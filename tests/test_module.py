"""Start-up, the function objects, argument binding and array conversion."""
import array
import importlib
import inspect
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import orbisect

FUNCTIONS = [
    ("calculate_lch_bounds", ["hue_limit", "chroma_limit", "intensity_limit", "rgb_bits"], (8,)),
    ("mask_image_py", ["image", "bounds"], None),
    ("mask_image", ["image", "bounds", "buffer"], (None,)),
    ("selective_grayscale", ["image", "bounds", "buffer"], (None,)),
    ("mask_color", ["color", "bounds"], None),
    ("mask_image_cy_impl", ["_image", "_output", "bounds"], None),
    ("selective_grayscale_impl", ["_image", "_output", "bounds"], None),
    ("simple_edge_hsv", ["_image", "_ps", "bounds", "row_count", "column_count"], None),
    ("simple_edge", ["_image", "_ps", "row_count", "column_count"], None),
    ("simple_denoise", ["_ps_in", "_ps_out", "min_distance"], None),
    ("remove_inliers", ["_ps_in", "_ps_out", "_ms"], None),
    ("ransac_circle", ["_ps", "count", "min_r", "max_r", "delta"], None),
    ("ransac_ellipse", ["_ps", "count", "min_r", "max_r", "ratio", "delta"], None),
    ("ransac_line", ["_ps", "_ms", "count", "delta", "slope_limit"], None),
    ("ransac_line2", ["_ps", "_ms", "count", "ratio", "delta"], None),
]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


# --- start-up -------------------------------------------------------------

def test_namespace_in_binding_order():
    names = [n for n in vars(orbisect) if n not in
             ("__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__")]
    assert names == (["__builtins__", "np", "NamedTuple", "LCHBounds"]
                     + [f[0] for f in FUNCTIONS] + ["__test__"])
    assert orbisect.np is np
    import typing
    assert orbisect.NamedTuple is typing.NamedTuple
    assert orbisect.__test__ == {}
    assert orbisect.__doc__ is None


def test_reimport_gives_same_module_and_functions():
    first = orbisect.simple_edge
    assert importlib.import_module("orbisect") is orbisect
    del sys.modules["orbisect"]
    again = importlib.import_module("orbisect")
    assert again is orbisect
    assert again.simple_edge is first
    assert sys.modules["orbisect"] is orbisect


def test_lch_bounds_class():
    cls = orbisect.LCHBounds
    assert issubclass(cls, tuple)
    assert cls._fields == ("M", "i", "c")
    assert cls.__module__ == "orbisect" and cls.__qualname__ == "LCHBounds"
    b = cls([1] * 9, (2, 3), (4, 5))
    assert list(b._asdict()) == ["M", "i", "c"]


def test_only_init_symbol_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", orbisect.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_orbisect"]


def test_second_interpreter_is_refused():
    r = run_python("""
        import orbisect, _testcapi
        print(_testcapi.run_in_subinterp("import orbisect"))
    """)
    if "No module named '_testcapi'" in r.stderr:
        pytest.skip("this interpreter has no _testcapi")
    assert r.stdout.strip() == "-1"
    assert ("Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in r.stderr


def test_failed_start_up_can_be_retried():
    r = run_python("""
        import sys, traceback
        sys.modules["numpy"] = None           # makes "import numpy" fail
        try:
            import orbisect
        except ImportError:
            tb = traceback.format_exc()
            print("init orbisect" in tb)
        del sys.modules["numpy"]
        import orbisect
        print(orbisect.np.__name__, callable(orbisect.simple_edge))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["True", "numpy", "True"]


def test_reimport_does_not_reseed():
    r = run_python("""
        import ctypes, sys
        import orbisect
        libc = ctypes.CDLL(None)
        libc.srand(7)
        del sys.modules["orbisect"]
        import orbisect
        first = libc.rand()
        libc.srand(7)
        print(first == libc.rand())
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "True"


# --- function objects -----------------------------------------------------

@pytest.mark.parametrize("name,params,defaults", FUNCTIONS)
def test_function_attributes(name, params, defaults):
    f = getattr(orbisect, name)
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "orbisect"
    assert f.__doc__ is None
    assert f.__defaults__ == defaults
    sig = inspect.signature(f)
    assert list(sig.parameters) == params
    given = [p.default for p in sig.parameters.values() if p.default is not p.empty]
    assert tuple(given) == (defaults or ())
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


# --- binding --------------------------------------------------------------

MASK = np.zeros((4, 4), np.uint8)
PS = np.zeros((8, 2), np.int32)


@pytest.mark.parametrize("call,message", [
    (lambda: orbisect.simple_edge(MASK, PS, 1),
     "simple_edge() takes exactly 4 positional arguments (3 given)"),
    (lambda: orbisect.simple_edge(MASK, PS, 1, 1, 1),
     "simple_edge() takes exactly 4 positional arguments (5 given)"),
    (lambda: orbisect.mask_image(MASK),
     "mask_image() takes at least 2 positional arguments (1 given)"),
    (lambda: orbisect.calculate_lch_bounds(1, 2, 3, 4, 5),
     "calculate_lch_bounds() takes at most 4 positional arguments (5 given)"),
    (lambda: orbisect.ransac_circle(_ps=PS, min_r=1, max_r=2, delta=3),
     "ransac_circle() takes exactly 5 positional arguments (1 given)"),
    (lambda: orbisect.ransac_circle(PS, 1, 2, 3, 4, count=5),
     "ransac_circle() got multiple values for keyword argument 'count'"),
    (lambda: orbisect.simple_edge(MASK, PS, 1, 1, rows=2),
     "simple_edge() got an unexpected keyword argument 'rows'"),
    (lambda: orbisect.simple_edge(MASK, PS, 1, column_count=1, rows=2),
     "simple_edge() got an unexpected keyword argument 'rows'"),
    (lambda: orbisect.simple_edge(MASK, PS, 1, 1, 1, column_count=1),
     "simple_edge() takes exactly 4 positional arguments (5 given)"),
    (lambda: orbisect.mask_image(buffer=None),
     "mask_image() takes at least 2 positional arguments (0 given)"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_and_positions_mix():
    m = np.zeros((3, 5), np.uint8)
    m[1, 1:3] = 1
    expected = orbisect.simple_edge(m, PS.copy(), 4, 0)
    ps = np.zeros((8, 2), np.int32)
    assert orbisect.simple_edge(column_count=0, row_count=4, _ps=ps, _image=m) == expected == 2
    assert ps[:2].tolist() == [[1, 1], [3, 1]]


# --- array and scalar conversion -----------------------------------------

def readonly_mask():
    return np.frombuffer(bytes(16), np.uint8).reshape(4, 4)


@pytest.mark.parametrize("image,ps,rows,error,message", [
    (MASK.astype(np.float64), PS, 1, ValueError,
     "Buffer dtype mismatch, expected 'unsigned char' but got 'double'"),
    (MASK, PS.astype(np.int64), 1, ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'long'"),
    (MASK, memoryview(array.array("q", [0] * 4)).cast("B").cast("q", (2, 2)), 1, ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'long long'"),
    (MASK, PS.astype(np.uint32), 1, ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'unsigned int'"),
    (MASK, PS.astype(">i4"), 1, ValueError,
     "Big-endian buffer not supported on little-endian compiler"),
    (MASK, PS.astype(np.float16), 1, ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'half'"),
    (MASK, PS.astype(np.complex64), 1, ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'complex float'"),
    (np.zeros((2, 2, 2), np.uint8), PS, 1, ValueError,
     "Buffer has wrong number of dimensions (expected 2, got 3)"),
    (MASK, np.zeros(4, np.int32), 1, ValueError,
     "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (np.zeros((4, 6), np.uint8)[:, ::2], PS, 1, ValueError,
     "Buffer and memoryview are not contiguous in the same dimension."),
    (MASK, np.zeros((2, 8), np.int32).T, 1, ValueError,
     "Buffer and memoryview are not contiguous in the same dimension."),
    (readonly_mask(), PS, 1, ValueError, "read-only"),
    ([[0, 1]], PS, 1, TypeError, "bytes-like"),
    (MASK, PS, "3", TypeError, "an integer is required"),
    (MASK, PS, 2 ** 31, OverflowError, "value too large to convert to int"),
    (MASK, PS, -2 ** 31 - 1, OverflowError, "value too large to convert to int"),
    (MASK, PS, 2 ** 70, OverflowError, ""),
])
def test_conversion_errors(image, ps, rows, error, message):
    with pytest.raises(error) as info:
        orbisect.simple_edge(image, ps, rows, 1)
    assert message in str(info.value)


def test_accepted_conversions():
    m = np.zeros((4, 4), np.uint8)
    m[0, 0] = 1
    ps = np.zeros((8, 2), np.int32)
    assert orbisect.simple_edge(m.astype(bool), ps, 1, 0) == 2           # Boolean mask
    assert orbisect.simple_edge(m, ps.astype("<i4"), 1, 0) == 2          # standard sizes
    assert orbisect.simple_edge(m, ps, 1.9, 0.2) == 2                    # floats truncate
    assert orbisect.simple_edge(m, ps, np.int64(1), True) == 4           # NumPy ints, bool
    assert orbisect.simple_edge(None, ps, 5, 5) == 0                     # None is empty
    assert orbisect.simple_edge(m, None, 5, 5) == 0


def test_int_conversion_protocol():
    class Weird:
        def __int__(self):
            return "x"

    class Sub(int):
        pass

    class Strict:
        def __int__(self):
            return Sub(1)

    ps = np.zeros((8, 2), np.int32)
    with pytest.raises(TypeError, match=r"__int__ returned non-int \(type str\)"):
        orbisect.simple_edge(MASK, ps, Weird(), 1)
    with pytest.warns(DeprecationWarning, match="strict subclass of int"):
        assert orbisect.simple_edge(MASK, ps, Strict(), 0) == 0


def test_views_released_on_every_path():
    m = np.zeros((4, 4), np.uint8)
    ps = np.zeros((8, 2), np.int32)
    orbisect.simple_edge(m, ps, 4, 4)
    with pytest.raises(TypeError):
        orbisect.simple_edge(m, ps, "x", 4)          # fails after both views
    with pytest.raises(ValueError):
        orbisect.simple_edge(m, ps.astype(np.int64), 4, 4)
    m.resize((2, 2), refcheck=False)                 # refused while a view is held
    ps.resize((4, 2), refcheck=False)


def test_no_reference_leaks():
    m = np.zeros((16, 16), np.uint8)
    m[3:9, 2:12] = 1
    ps = np.zeros((64, 2), np.int32)
    rows = 1000
    before = (sys.getrefcount(m), sys.getrefcount(ps), sys.getrefcount(rows))
    for _ in range(2000):
        orbisect.simple_edge(m, ps, rows, 16)
        orbisect.simple_edge(_image=m, _ps=ps, row_count=rows, column_count=16)
        with pytest.raises(TypeError):
            orbisect.simple_edge(m, ps, rows, "x")
    assert (sys.getrefcount(m), sys.getrefcount(ps), sys.getrefcount(rows)) == before


def test_errors_name_the_function_in_the_traceback():
    import traceback
    with pytest.raises(TypeError) as info:
        orbisect.simple_edge(MASK, PS, "x", 1)
    frames = traceback.extract_tb(info.value.__traceback__)
    assert frames[-1].name == "orbisect.simple_edge"
