"""Instructions per pixel of the window test and per point of the fits'
inlier counts, for the x86-64 levels (baseline, v3) and the aarch64 levels
(baseline, neon), counted under emulation.

Builds insn_driver.cpp against the kernel libraries of ``make native-test``
(build/native) and ``make test-arm`` (build/arm), runs each loop of each
level under qemu (``qemu-x86_64 -cpu max``, ``qemu-aarch64``) one
instruction per translation block with the executed instructions logged,
counts those that lie in the level's own functions (the symbols of its
namespace; for the whole column pass, all of orbisect's), and takes the difference between two sizes, so that set-up
and loop tails are not counted:

    python bench/arm_instructions.py

Counts, not times: they say how much work a loop does on each processor,
not how fast a given core runs it.
"""
import os
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent

ARCHES = {
    "x86-64": {
        "cxx": ["g++", "-march=x86-64"],
        "nm": "nm",
        "qemu": ["qemu-x86_64", "-cpu", "max"],
        "library": ROOT / "build" / "native" / "liborbisect_kernels.a",
        "levels": {"x86-64": "baseline", "x86-64-v3": "v3"},
    },
    "aarch64": {
        "cxx": ["aarch64-linux-gnu-g++"],
        "nm": "aarch64-linux-gnu-nm",
        "qemu": ["qemu-aarch64"],
        "library": ROOT / "build" / "arm" / "liborbisect_kernels.a",
        "levels": {"aarch64": "baseline", "aarch64-neon": "neon"},
    },
}

# kernel, unit, two sizes, work items per unit of size
KERNELS = [
    ("mask", "pixel", 1024, 2048, 1),
    ("grey", "pixel", 1024, 2048, 1),
    ("columns", "column pixel", 64, 128, 64),
    ("mask_columns", "mask column pixel", 64, 128, 64),
    ("scan", "column pixel", 64, 128, 64),
    ("mask_scan", "mask column pixel", 64, 128, 64),
    ("ring", "point", 1024, 2048, 1),
    ("band", "point", 1024, 2048, 1),
    ("band_pair", "point", 1024, 2048, 1),
    ("band16", "point", 1024, 2048, 1),
    ("band_pair16", "point", 1024, 2048, 1),
    ("shell", "point", 1024, 2048, 1),
]


def build(arch, work):
    spec = ARCHES[arch]
    if not spec["library"].exists():
        sys.exit(f"{spec['library']} is missing: run make native-test and make test-arm first")
    exe = work / f"insn_driver-{arch}"
    subprocess.run([*spec["cxx"], "-O3", "-std=c++20", "-ffp-contract=off", "-static",
                    f"-I{ROOT / 'src'}", str(ROOT / "bench" / "insn_driver.cpp"),
                    str(spec["library"]), "-o", str(exe)], check=True)
    return exe


def level_ranges(arch, exe, namespace):
    """The address ranges of the functions of orbisect::<namespace> (of all
    of orbisect for namespace "")."""
    out = subprocess.run([ARCHES[arch]["nm"], "-C", "-S", str(exe)], capture_output=True,
                         text=True, check=True).stdout
    ranges = []
    for line in out.splitlines():
        parts = line.split(maxsplit=3)
        # A template's name starts with its return type.
        prefix = f"orbisect::{namespace}::" if namespace else "orbisect::"
        if len(parts) == 4 and prefix in parts[3].split("(")[0]:
            ranges.append(f"0x{parts[0]}+0x{parts[1]}")
    return ",".join(ranges)


def executed(arch, exe, ranges, level, kernel, n, work):
    log = work / "trace.log"
    # The level throughout: the whole pass's own pixel loops included.
    env = {**os.environ, "ORBISECT_MAX_LEVEL": level}
    subprocess.run([*ARCHES[arch]["qemu"], "-singlestep", "-d", "exec,nochain", "-dfilter", ranges,
                    "-D", str(log), str(exe), level, kernel, str(n)],
                   check=True, stdout=subprocess.DEVNULL, env=env)
    with open(log, encoding="ascii", errors="replace") as f:
        return sum(1 for line in f if line.startswith("Trace"))


def main():
    rows = {}
    with tempfile.TemporaryDirectory() as tmp:
        work = pathlib.Path(tmp)
        for arch, spec in ARCHES.items():
            exe = build(arch, work)
            everything = level_ranges(arch, exe, "")
            for level, namespace in spec["levels"].items():
                own = level_ranges(arch, exe, namespace)
                for kernel, unit, n1, n2, per in KERNELS:
                    # The whole pass runs outside the level's namespace too.
                    ranges = everything if kernel.endswith("scan") else own
                    a = executed(arch, exe, ranges, level, kernel, n1, work)
                    b = executed(arch, exe, ranges, level, kernel, n2, work)
                    rows.setdefault((kernel, unit), {})[level] = (b - a) / ((n2 - n1) * per)
    levels = [level for spec in ARCHES.values() for level in spec["levels"]]
    print("instructions per unit (emulated, executed in the level's own code)\n")
    print("| loop | unit | " + " | ".join(levels) + " |")
    print("|---|---|" + "---:|" * len(levels))
    for (kernel, unit), counts in rows.items():
        # 0 instructions: the level has no such loop (the caller's runs).
        cells = " | ".join(f"{counts[level]:.2f}" if counts[level] else "-" for level in levels)
        print(f"| {kernel} | {unit} | {cells} |")


if __name__ == "__main__":
    main()
