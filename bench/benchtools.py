"""Timing helpers shared by the benchmarks."""
import pathlib
import subprocess
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent


def median_time(fn, repeats):
    """Median wall time of one call of fn, after one warm-up call."""
    fn()  # warm caches and page in the buffers
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    times.sort()
    return times[len(times) // 2]


def best_time(fn, repeat=7, number=None):
    """Best per-call time over `repeat` rounds of `number` calls (by default
    enough calls for a round of 50 ms)."""
    if number is None:
        number, t = 1, 0.0
        while t < 0.05:
            number *= 2
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            t = time.perf_counter() - t0
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def instruction_set():
    """The level the kernels pick: from the kernel test program when built
    (make test builds it), else from the CPU flags by the same rules."""
    exe = ROOT / "build" / "native" / "native_tests"
    if exe.exists():
        out = subprocess.run([str(exe)], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("best instruction set:"):
                return line.split(":", 1)[1].strip() + " (kernel test program)"
    try:
        flags = next(set(line.split(":", 1)[1].split()) for line in open("/proc/cpuinfo")
                     if line.startswith("flags"))
    except (OSError, StopIteration):
        return "unknown"
    v2 = {"cx16", "lahf_lm", "popcnt", "sse4_1", "sse4_2", "ssse3"}
    v3 = v2 | {"avx", "avx2", "bmi1", "bmi2", "f16c", "fma", "abm", "movbe", "xsave"}
    v4 = v3 | {"avx512f", "avx512bw", "avx512cd", "avx512dq", "avx512vl"}
    level = next((name for name, need in (("x86-64-v4", v4), ("x86-64-v3", v3), ("x86-64-v2", v2))
                  if need <= flags), "x86-64")
    return level + " (from the CPU flags)"
