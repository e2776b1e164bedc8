"""Batch detection in one process and on a local Dask cluster of 2 worker
processes, on the same generated recording stored as PNG files and as a
video.

Prints frames per second for each, the parallel efficiency (the cluster's
rate over twice the single process'), and where the time goes: reading and
decoding the frames, detecting in them, and the rest (the scheduler, the
transfers, the client and idle workers).  On the cluster the shares are of
the workers' time, 2 x the run's wall time; the compute time of each task
comes from Dask's task stream and the detecting time from the detections'
own timings.  The records of the two runs are checked to be identical.
Each figure is the fastest of 3 runs.  For reference, "2 plain" splits the
frames between two processes without Dask: the most two processes get from
the machine.

The recording (frames of ``orbisect_detect.scenes``, seed 2026) is written
once to ``build/bench-batch/<frames>/`` and reused; the files are then in
the page cache, so reading costs decoding, not the disk.

    python bench/bench_batch.py [frames [chunk]]      # defaults: 2000, 256

Needs the [dask] and [video] extras.
"""
from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
import multiprocessing
from pathlib import Path
from typing import Any

from PIL import Image

from benchtools import ROOT, instruction_set
from orbisect_detect import FieldDetector
from orbisect_detect.batch import DEFAULT_CHUNK, detect_many, local_cluster
from orbisect_detect.scenes import make_scene
from orbisect_detect.sources import Source, expand_inputs, read_frames

SEED, FRAMES, RATE, GOP = 2026, 2000, 25, 50
WORKERS = 2
REPEATS = 3


def _pool(processes: int) -> Any:
    # Fresh processes: forking one that runs threads (a cluster's, a
    # decoder's) can leave a lock held in the child.
    return multiprocessing.get_context("spawn").Pool(processes)


def _write_png(args: tuple[Path, int]) -> None:
    folder, k = args
    Image.fromarray(make_scene(SEED, k).image).save(folder / f"{k:05d}.png")


def recording(frames: int) -> tuple[Path, Path, str]:
    """The PNG folder and the video, made on first use; the video's codec."""
    import av
    root = ROOT / "build" / "bench-batch" / str(frames)
    folder, video = root / "frames", root / "recording.mp4"
    codec = "libx264" if "libx264" in av.codecs_available else "mpeg4"
    if not (root / "done").exists():
        folder.mkdir(parents=True, exist_ok=True)
        print(f"generating the recording ({frames} frames) in {root} ...", flush=True)
        t0 = time.perf_counter()
        with _pool(2) as pool:
            pool.map(_write_png, [(folder, k) for k in range(frames)], chunksize=16)
        with av.open(str(video), "w") as container:
            stream = container.add_stream(codec, rate=RATE)
            stream.width, stream.height, stream.pix_fmt = 640, 480, "yuv420p"
            stream.codec_context.gop_size = GOP
            for f in read_frames(expand_inputs([folder])[0]):
                assert not isinstance(f, Exception), f
                for packet in stream.encode(av.VideoFrame.from_ndarray(f.image, format="rgb24")):
                    container.mux(packet)
            for packet in stream.encode():
                container.mux(packet)
        (root / "done").write_text("")
        print(f"  done in {time.perf_counter() - t0:.0f} s", flush=True)
    return folder, video, codec


@dataclass(frozen=True)
class Run:
    frames: int
    wall: float                         # seconds
    detecting: float                    # seconds: the detections' own timings
    computing: float                    # seconds the workers spent in tasks (the run's, in one process)
    cpu: float                          # CPU seconds of every process of the run, all threads
    records: list[tuple[str, int, Any, Any]]

    @property
    def rate(self) -> float:
        return self.frames / self.wall


def run(inputs: Sequence[Path], client: Any = None, chunk: int = DEFAULT_CHUNK) -> Run:
    records, detecting = [], 0.0
    t0, cpu0 = time.perf_counter(), time.process_time()
    for source, frame, d in detect_many(inputs, FieldDetector(seed=0), client=client, chunk=chunk):
        records.append((source, frame, d.ball, d.lines))
        detecting += d.timings["total"]
    wall, cpu = time.perf_counter() - t0, time.process_time() - cpu0
    return Run(len(records), wall, detecting, wall, cpu, records)


def run_on_cluster(inputs: Sequence[Path], client: Any, chunk: int) -> Run:
    """The run on the cluster; its CPU time is the workers' and this
    process' (client, scheduler and nannies)."""
    from distributed import get_task_stream
    before = client.run(time.process_time)
    with get_task_stream(client) as stream:
        r = run(inputs, client, chunk)
    after = client.run(time.process_time)
    computing = sum(s["stop"] - s["start"] for task in stream.data
                    for s in task["startstops"] if s["action"] == "compute")
    cpu = r.cpu + sum(after[w] - before[w] for w in after)
    return Run(r.frames, r.wall, r.detecting, computing, cpu, r.records)


def _plain_part(part: list[Source]) -> tuple[int, float, float]:
    """Frames, detecting time and CPU time of one plain process's share."""
    detector, frames, detecting = FieldDetector(seed=0), 0, 0.0
    cpu0 = time.process_time()
    for source in part:
        for f in source.frames():
            detecting += detector.detect(f.image).timings["total"]
            frames += 1
    return frames, detecting, time.process_time() - cpu0


def run_plain(parts: list[list[Source]]) -> Run:
    """The frames split between plain processes, no Dask: what two processes
    can do on this machine at best."""
    with _pool(len(parts)) as pool:
        pool.map(_plain_part, [[p[0]] for p in parts])          # start the processes
        t0 = time.perf_counter()
        done = pool.map(_plain_part, parts, chunksize=1)
        wall = time.perf_counter() - t0
    frames, detecting, cpu = (sum(x) for x in zip(*done))
    return Run(int(frames), wall, detecting, cpu, cpu, [])


def halves(inputs: Sequence[Path], frames: int) -> list[list[Source]]:
    sources, _ = expand_inputs(inputs)
    if sources[0].kind == "image":
        return [sources[: len(sources) // 2], sources[len(sources) // 2:]]
    path = sources[0].path
    return [[Source(path, "video", 0, frames // 2)], [Source(path, "video", frames // 2, None)]]


def best(measure: Callable[[], Run]) -> Run:
    """The fastest of REPEATS runs: the machine may be shared."""
    return min((measure() for _ in range(REPEATS)), key=lambda r: r.wall)


def row(name: str, r: Run, workers: int, base: Run | None) -> str:
    busy = workers * r.wall
    shares = (100 * (r.computing - r.detecting) / busy, 100 * r.detecting / busy,
              100 * (1 - r.computing / busy))
    eff = "-" if base is None else f"{r.rate / (workers * base.rate):.2f}"
    eff_cpu = "-" if base is None else f"{(r.frames / r.cpu) / (base.frames / base.cpu):.2f}"
    rest = "-" if base is None else f"{shares[2]:.0f} %"
    return (f"{name:16} {r.rate:8.0f} {r.cpu / r.wall:6.2f} {r.frames / r.cpu:9.0f} {eff:>6} "
            f"{eff_cpu:>6} {shares[0]:7.0f} % {shares[1]:7.0f} % {rest:>7}")


def main() -> None:
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else FRAMES
    chunk = int(sys.argv[2]) if len(sys.argv) > 2 else DEFAULT_CHUNK
    try:
        import av  # noqa: F401
        import distributed  # noqa: F401
    except ImportError:
        sys.exit("bench_batch needs the [dask] and [video] extras: pip install '.[dask,video]'")
    folder, video, codec = recording(frames)
    png_bytes = sum(p.stat().st_size for p in folder.iterdir())
    print(f"recording: {frames} frames of 640x480, as PNG files ({png_bytes / 2**20:.0f} MiB) "
          f"and as a video ({codec}, a key frame every {GOP}, {video.stat().st_size / 2**20:.1f} "
          f"MiB); {os.cpu_count()} cores; kernels: {instruction_set()}")
    print(f"cluster: {WORKERS} worker processes x 1 thread on the loopback address (as --workers), tasks of "
          f"{chunk} frames; one process: the calling process")

    kinds = (("PNG", [folder]), ("video", [video]))
    run([folder, video])                # the files in the page cache, the modules loaded
    alone = {name: best(lambda: run(inputs)) for name, inputs in kinds}
    plain = {name: best(lambda: run_plain(halves(inputs, frames))) for name, inputs in kinds}
    t0 = time.perf_counter()
    with local_cluster(WORKERS) as client:
        started = time.perf_counter() - t0
        run(sorted(folder.iterdir())[:2 * WORKERS], client, 1)     # a detector per worker
        spread = {name: best(lambda: run_on_cluster(inputs, client, chunk)) for name, inputs in kinds}
    print(f"\n{'':16} {'':8} {'cores':>6} {'frames':>9} {'efficiency':>13} "
          f"{'share of the workers time':>29}\n"
          f"{'':16} {'frames/s':>8} {'used':>6} {'/ CPU s':>9} {'wall':>6} {'CPU':>6} "
          f"{'decoding':>9} {'detecting':>9} {'idle':>7}")
    for name, _ in kinds:
        one = alone[name]
        print(row(f"{name}, 1 process", one, 1, None))
        print(row(f"{name}, {WORKERS} workers", spread[name], WORKERS, one))
        print(row(f"{name}, 2 plain", plain[name], 2, one))
        assert spread[name].records == one.records, f"{name}: the cluster's records differ"
    print(f"\nstarting the cluster took {started:.1f} s (not counted); the records of both runs "
          f"are identical.\ncores used: CPU seconds of every process of the run (all threads) "
          f"per second; efficiency: the cluster's rate\nover {WORKERS} x the one process' (wall), "
          f"and its frames per CPU second over the one process' (CPU).\ndecoding: reading and "
          f"decoding the frames and the Python around them; idle: the workers' time outside\n"
          f"tasks (scheduler, transfers, waiting), of {WORKERS} x the wall time.  On a shared "
          f"machine, cores used below {WORKERS}\nmean that other programs had the rest.\n2 plain: two processes without Dask, each "
          f"detecting in half of the frames: the most that two processes get from this machine.")


if __name__ == "__main__":
    main()
