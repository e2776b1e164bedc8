"""Batch detection: in one process and on a local Dask cluster of two worker
processes on the loopback address, which must give the same records."""
import faulthandler
import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from orbisect_detect import FieldDetector
from orbisect_detect.batch import DaskNotInstalled, _plan, detect_many, local_cluster
from orbisect_detect.cli import main
from orbisect_detect.scenes import make_scene
from orbisect_detect.sources import Source, expand_inputs

IMAGES, VIDEO_FRAMES = 10, 24
TIME_LIMIT = 120            # seconds per test: a hung cluster stops the run with tracebacks


@pytest.fixture(autouse=True)
def bounded_in_time():
    faulthandler.dump_traceback_later(TIME_LIMIT, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    """A folder of generated frames and a video of others (key frame every 6)."""
    av = pytest.importorskip("av")
    root = tmp_path_factory.mktemp("recording")
    (root / "frames").mkdir()
    for k in range(IMAGES):
        Image.fromarray(make_scene(3, k).image).save(root / "frames" / f"{k:02d}.png")
    with av.open(str(root / "clip.mp4"), "w") as container:
        stream = container.add_stream("mpeg4", rate=25)
        stream.width, stream.height, stream.pix_fmt = 640, 480, "yuv420p"
        stream.codec_context.gop_size = 6
        stream.bit_rate = 4_000_000     # a camera's quality: the default leaves 8 px colour blocks
        for k in range(VIDEO_FRAMES):
            frame = av.VideoFrame.from_ndarray(make_scene(4, k).image, format="rgb24")
            for packet in stream.encode(frame):
                container.mux(packet)
        for packet in stream.encode():
            container.mux(packet)
    return root


@pytest.fixture(scope="module")
def client():
    """The cluster of --workers 2: two processes of one thread on the loopback address."""
    pytest.importorskip("distributed")
    import dask
    with local_cluster(2) as c:
        assert all(w.startswith("tcp://127.0.0.1:") for w in c.scheduler_info()["workers"])
        # Dask's low trim threshold is left out (a third more time per frame),
        # and so is its sampling profiler (a tenth).
        assert set(c.run(os.environ.get, "MALLOC_TRIM_THRESHOLD_").values()) == \
            {os.environ.get("MALLOC_TRIM_THRESHOLD_")}
        assert set(c.run(dask.config.get, "distributed.worker.profile.enabled").values()) == {False}
        yield c


def run(inputs, client=None, chunk=256, name=str):
    """The run as a log of frames and problems, in the order they came."""
    log = []
    for source, frame, d in detect_many(inputs, FieldDetector(seed=0), client=client, chunk=chunk,
                                        on_problem=lambda e: log.append(("problem", str(e)))):
        log.append((name(source), frame, d.ball, d.lines))
    return log


def test_tasks_hold_many_frames_and_cover_each_video_once(recording):
    sources, _ = expand_inputs([recording / "frames", recording / "clip.mp4"])
    tasks = _plan(sources, 8)
    sizes = [sum(1 if p.source.kind == "image" else (p.source.stop or VIDEO_FRAMES) - p.source.start
                 for p in t) for t in tasks]
    assert sizes == [8, 8, 8, 8, 2]          # the video's first range fills the images' task
    ranges = [(p.source.start, p.source.stop) for t in tasks for p in t if p.source.kind == "video"]
    assert ranges == [(0, 6), (6, 14), (14, 22), (22, None)]    # the last one reads to the end
    assert len(_plan(sources, 1000)) == 1
    assert all(os.path.isabs(p.source.path) for t in tasks for p in t)


def test_cluster_gives_the_single_process_records_for_any_chunk(recording, client):
    inputs = [recording / "frames", recording / "clip.mp4"]
    here = run(inputs)
    assert [(Path(s).name, f) for s, f, *_ in here] == \
        [(f"{k:02d}.png", 0) for k in range(IMAGES)] + [("clip.mp4", k) for k in range(VIDEO_FRAMES)]
    assert sum(ball is not None for _, _, ball, _ in here) >= IMAGES + VIDEO_FRAMES - 6
    for chunk in (1, 5, 256):
        assert run(inputs, client, chunk) == here


def test_a_corrupt_file_is_reported_in_its_place_and_the_rest_processed(recording, client, tmp_path):
    names = ["a.png", "b.png", "c.png", "d.png"]
    for name, k in zip(names, (0, 1, 7, 8)):
        (tmp_path / name).write_bytes((recording / "frames" / f"{k:02d}.png").read_bytes())
    (tmp_path / "b.png").write_bytes((tmp_path / "b.png").read_bytes()[:5000])   # cut short
    here = run([tmp_path], name=lambda s: Path(s).name)
    assert [x[0] for x in here] == ["a.png", "problem", "c.png", "d.png"]
    assert here[1][1].startswith(str(tmp_path / "b.png"))
    assert run([tmp_path], client, 2, name=lambda s: Path(s).name) == here


def _executing(dask_worker):
    return os.getpid(), [str(ts.key) for ts in dask_worker.state.executing]


def test_a_worker_killed_during_a_run_loses_and_repeats_no_frame(recording, client, tmp_path):
    """Frame 05 is a named pipe, so the task that holds it blocks on it, after
    detecting frame 04: its worker is killed there, Dask runs the task again
    elsewhere, and the pipe is then fed."""
    files = sorted((recording / "frames").iterdir())
    inputs = [tmp_path / f.name for f in files] + [recording / "clip.mp4"]
    for f in files:
        if f.name != "05.png":
            (tmp_path / f.name).symlink_to(f)
    os.mkfifo(tmp_path / "05.png")
    expected = run([*files, recording / "clip.mp4"], name=lambda s: Path(s).name)

    got, failure = [], []

    def consume():
        try:
            got.extend(run(inputs, client, 2, name=lambda s: Path(s).name))
        except BaseException as e:      # noqa: BLE001 - reported by the test
            failure.append(e)

    consumer = threading.Thread(target=consume)
    consumer.start()
    deadline = time.monotonic() + 60
    victim = None
    while victim is None and time.monotonic() < deadline:   # the task of frames 04 and 05
        victim = next((pid for pid, keys in client.run(_executing).values()
                       if any(k.endswith("-2") for k in keys)), None)
        time.sleep(0.05)
    assert victim is not None, "the task reading the pipe never started"
    time.sleep(0.2)
    os.kill(victim, signal.SIGKILL)
    # Until it is gone, the victim still counts as the pipe's reader.
    status = Path(f"/proc/{victim}/status")
    while True:
        try:
            if "State:\tZ" in status.read_text():
                break
        except (FileNotFoundError, ProcessLookupError):      # reaped meanwhile
            break
        time.sleep(0.01)

    # Feed the pipe to the task's next run once it opens it; a run that goes
    # away before it has read the whole file (the reader closes: a broken
    # pipe) leaves it to the run after.
    while True:
        try:
            fd = os.open(tmp_path / "05.png", os.O_WRONLY | os.O_NONBLOCK)
        except OSError:
            assert time.monotonic() < deadline, "the task was not run again"
            time.sleep(0.05)
            continue
        os.set_blocking(fd, True)
        try:
            with os.fdopen(fd, "wb") as pipe:
                pipe.write(files[5].read_bytes())
            break
        except BrokenPipeError:
            assert time.monotonic() < deadline, "no run of the task read the frame"
    consumer.join(TIME_LIMIT / 2)
    assert not consumer.is_alive() and not failure, failure
    assert got == expected                  # every frame once, in order, as in one process
    assert victim not in [pid for pid, _ in client.run(_executing).values()]
    client.wait_for_workers(2, timeout=60)


# ---- the command --------------------------------------------------------------------

def test_command_on_two_workers_writes_the_single_process_records(recording, tmp_path):
    pytest.importorskip("distributed")
    folder = tmp_path / "frames"
    folder.mkdir()
    for k in (0, 1, 2):
        (folder / f"{k}.png").write_bytes((recording / "frames" / f"{k:02d}.png").read_bytes())
    (folder / "1.png").write_bytes(b"\x89PNG\r\n\x1a\n broken")
    command = Path(sys.executable).with_name("orbisect")
    outputs = []
    for extra in ([], ["--workers", "2", "--chunk", "3"]):
        out = subprocess.run([str(command), "detect", str(folder), str(recording / "clip.mp4"),
                              "--seed", "0", *extra], capture_output=True, text=True,
                             timeout=TIME_LIMIT)
        assert out.returncode == 1 and f"{folder / '1.png'}: " in out.stderr, out.stderr
        outputs.append([{k: v for k, v in json.loads(line).items() if k != "timings"}
                        for line in out.stdout.splitlines()])
    assert len(outputs[0]) == 2 + VIDEO_FRAMES and outputs[1] == outputs[0]


@pytest.mark.parametrize("option", [["--workers", "2"], ["--scheduler", "tcp://127.0.0.1:8786"]])
def test_cluster_options_without_dask_say_what_to_install(monkeypatch, capsys, option):
    monkeypatch.setitem(sys.modules, "distributed", None)       # import fails
    assert main(["detect", "a.png", *option]) == 2
    assert "pip install 'orbisect[dask]'" in capsys.readouterr().err
    with pytest.raises(DaskNotInstalled, match=r"orbisect\[dask\]"):
        detect_many(["a.png"], FieldDetector(), client=object())


def test_annotate_is_refused_with_a_cluster(capsys):
    assert main(["detect", "a.png", "--workers", "2", "--annotate", "out"]) == 2
    assert "--annotate" in capsys.readouterr().err


# ---- a bad frame, awkward videos, advice -------------------------------------------------

class FailingDetector(FieldDetector):
    """Fails on frames whose top left pixel is pure black (the frames made so)."""

    def detect(self, frame):
        if not frame[0, 0].any():
            raise RuntimeError("an unforeseen fault")
        return super().detect(frame)


def test_a_frame_the_detector_fails_on_costs_only_itself_here_and_on_workers(recording, client,
                                                                             tmp_path):
    import cloudpickle
    cloudpickle.register_pickle_by_value(sys.modules[__name__])    # the workers cannot import tests
    for k in range(6):
        image = np.asarray(Image.open(recording / "frames" / f"{k:02d}.png")).copy()
        image[0, 0] = 0 if k in (1, 4) else (1, 1, 1)
        Image.fromarray(image).save(tmp_path / f"{k}.png")
    logs = []
    for c in (None, client):
        log = []
        for source, frame, _ in detect_many([tmp_path], FailingDetector(seed=0), client=c, chunk=6,
                                            on_problem=lambda e: log.append(str(e))):
            log.append(Path(source).name)
        logs.append(log)
    assert logs[0] == ["0.png", f"{tmp_path / '1.png'}, frame 0: the detector failed on it "
                       "(RuntimeError: an unforeseen fault)", "2.png", "3.png",
                       f"{tmp_path / '4.png'}, frame 0: the detector failed on it "
                       "(RuntimeError: an unforeseen fault)", "5.png"]
    assert logs[1] == logs[0]


@pytest.mark.parametrize("kind", ["dropped", "variable-rate", "b-frames", "edit-list"])
def test_cluster_numbers_the_frames_of_awkward_videos_as_one_process(client, tmp_path, kind):
    pytest.importorskip("av")
    import videos
    path = videos.write_video(tmp_path / f"{kind}.mp4", kind)
    here = run([path])
    assert [f for _, f, *_ in here] == list(range(57 if kind == "edit-list" else 60))
    for chunk in (7, 25):
        assert run([path], client, chunk) == here


def test_command_on_workers_numbers_a_video_with_dropped_frames_as_one_process(tmp_path):
    pytest.importorskip("distributed")
    pytest.importorskip("av")
    import videos
    path = videos.write_video(tmp_path / "dropped.mp4", "dropped", frames=100)
    command = Path(sys.executable).with_name("orbisect")
    outputs = []
    for extra in ([], ["--workers", "2", "--chunk", "16"]):
        out = subprocess.run([str(command), "detect", path, "--seed", "0", *extra],
                             capture_output=True, text=True, timeout=TIME_LIMIT)
        assert out.returncode == 0, out.stderr
        outputs.append([{k: v for k, v in json.loads(line).items() if k != "timings"}
                        for line in out.stdout.splitlines()])
        if extra and len(os.sched_getaffinity(0)) < 3:
            assert "--workers 2 wants 3 idle cores" in out.stderr
    assert [r["frame"] for r in outputs[0]] == list(range(100)) and outputs[1] == outputs[0]


def test_cluster_advice_counts_the_calling_process(monkeypatch):
    from orbisect_detect.batch import cluster_advice
    monkeypatch.setattr(os, "sched_getaffinity", lambda pid: set(range(8)))
    monkeypatch.setattr(os, "getloadavg", lambda: (0.5, 0.5, 0.5))
    assert cluster_advice(4) is None and cluster_advice(6) is None
    assert "7.5 of them idle" in cluster_advice(7)
    monkeypatch.setattr(os, "getloadavg", lambda: (6.0, 1.0, 1.0))       # others use the cores
    message = cluster_advice(2)
    assert message.startswith("--workers 2 wants 3 idle cores") and "gives 8, about 2.0" in message
