"""Where the detection core's instructions go on aarch64, per frame and
per level: the per-level kernel loops, the kernels' shared code, the core's
own code (orbisect::detect), the C++ library's sorts and the C library
(malloc, memcpy), counted under qemu-aarch64.

Builds core_driver.cpp against the aarch64 libraries of ``make test-arm``
(build/arm), runs it on generated 640x480 field frames at each level, one
instruction per translation block with the executed instructions logged,
and counts every instruction outside the driver's own main (which makes
the frames), by the function it lies in:

    python bench/arm_core_profile.py [FRAMES]

Counts, not times: the work each part does, not how fast a core runs it.
"""
import collections
import os
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
LIBS = [ROOT / "build" / "arm" / "liborbisect_core.a", ROOT / "build" / "arm" / "liborbisect_kernels.a"]
LEVELS = ["aarch64", "aarch64-neon"]
HEIGHT, WIDTH = 480, 640


def build(work):
    for lib in LIBS:
        if not lib.exists():
            sys.exit(f"{lib} is missing: run make test-arm first")
    exe = work / "core_driver"
    subprocess.run(["aarch64-linux-gnu-g++", "-O3", "-std=c++20", "-ffp-contract=off", "-static",
                    f"-I{ROOT / 'src'}", f"-I{ROOT / 'tests' / 'corpus'}",
                    str(ROOT / "bench" / "core_driver.cpp"), *map(str, LIBS),
                    "-o", str(exe)], check=True)
    return exe


def outside_main(exe):
    """Address ranges of the program's code less its main."""
    out = subprocess.run(["aarch64-linux-gnu-nm", "-S", str(exe)], capture_output=True, text=True,
                         check=True).stdout
    main = next(line.split() for line in out.splitlines() if line.endswith(" T main"))
    start, size = int(main[0], 16), int(main[1], 16)
    return f"0x0..0x{start - 1:x},0x{start + size:x}..0xffffffffffff"


def group(name):
    if name.startswith(("orbisect::neon::", "orbisect::baseline::")):
        return "kernels, per-level loops"
    if name.startswith("orbisect::detect::"):
        return "detection core's own code"
    if name.startswith("orbisect::") or " orbisect::" in name.split("(")[0]:
        return "kernels, shared code"
    if name.startswith(("std::", "void std::", "__gnu_cxx::")) or " std::" in name.split("(")[0]:
        return "C++ library (sorts)"
    return "C library (malloc, memcpy), start-up"


def profile(exe, level, frames, ranges):
    env = {**os.environ, "ORBISECT_MAX_LEVEL": level}
    proc = subprocess.Popen(["qemu-aarch64", "-singlestep", "-d", "exec,nochain", "-dfilter", ranges,
                             str(exe), str(frames), str(HEIGHT), str(WIDTH)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    counts = collections.Counter()
    for line in proc.stderr:
        if line.startswith(b"Trace"):
            counts[line.rsplit(None, 1)[-1]] += 1
    if proc.wait() != 0:
        sys.exit(f"core_driver failed at {level}")
    names = [n.decode() for n in counts]
    plain = subprocess.run(["aarch64-linux-gnu-c++filt"], input="\n".join(names), capture_output=True,
                           text=True, check=True).stdout.splitlines()
    return {p: counts[n.encode()] / frames for n, p in zip(names, plain)}


def main():
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with tempfile.TemporaryDirectory() as tmp:
        exe = build(pathlib.Path(tmp))
        ranges = outside_main(exe)
        per_level = {level: profile(exe, level, frames, ranges) for level in LEVELS}
    groups = {}
    for level, counts in per_level.items():
        for name, n in counts.items():
            groups.setdefault(group(name), {}).setdefault(level, 0.0)
            groups[group(name)][level] += n
    totals = {level: sum(c.values()) for level, c in per_level.items()}
    print(f"instructions per {WIDTH}x{HEIGHT} frame of the core's line search, "
          f"mean of {frames} frames (emulated)\n")
    print("| part | " + " | ".join(LEVELS) + " | share at aarch64-neon |")
    print("|---|" + "---:|" * (len(LEVELS) + 1))
    for name, counts in sorted(groups.items(), key=lambda kv: -kv[1].get(LEVELS[-1], 0)):
        cells = " | ".join(f"{counts.get(level, 0):,.0f}" for level in LEVELS)
        print(f"| {name} | {cells} | {counts.get(LEVELS[-1], 0) / totals[LEVELS[-1]]:.1%} |")
    print("| total | " + " | ".join(f"{totals[level]:,.0f}" for level in LEVELS) + " | |")
    print("\nthe core's own functions at aarch64-neon:\n")
    own = [(n, c) for n, c in per_level[LEVELS[-1]].items() if group(n) == "detection core's own code"]
    for name, n in sorted(own, key=lambda kv: -kv[1])[:10]:
        short = name.replace("(anonymous namespace)::", "").split("(")[0]
        print(f"  {n:>10,.0f}  {n / totals[LEVELS[-1]]:6.1%}  {short}")


if __name__ == "__main__":
    main()
