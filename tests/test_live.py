"""orbisect live: live sources, the detection loop, the HTTP interface and
the UDP records, on generated scene videos and on streams served here, all
on the loopback address."""
import faulthandler
import io
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from PIL import Image

pytest.importorskip("aiohttp")
av = pytest.importorskip("av")

from livetools import (TIMEOUT, EventReader, get_json, mjpeg_parts,  # noqa: E402
                       request, scene_images, serving, without_timings, write_video)

from orbisect_detect.cli import run_detect  # noqa: E402
from orbisect_detect.live.engine import LiveRunner, UdpPublisher, parse_udp  # noqa: E402
from orbisect_detect.live.server import EVENT_BACKLOG, MAX_BODY  # noqa: E402
from orbisect_detect.scenes import make_scene  # noqa: E402
from orbisect_detect.sources import LiveSource  # noqa: E402
from orbisect_detect.windowfile import WindowSet, load_windows  # noqa: E402
from orbisect_detect.windows import Window  # noqa: E402

FRAMES = 12
BLUE = Window((200.0, 260.0), (0.2, 1.2), (0.05, 0.95))      # no ball of the scenes is blue


@pytest.fixture(autouse=True)
def bounded_in_time():
    faulthandler.dump_traceback_later(150, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    return write_video(tmp_path_factory.mktemp("live") / "scenes.mp4", scene_images(5, FRAMES))


@pytest.fixture(scope="module")
def still(tmp_path_factory):
    """One scene held for 20 frames at 10 fps: the ball stays where it is."""
    scene = make_scene(3, 1)
    path = write_video(tmp_path_factory.mktemp("still") / "still.mp4", [scene.image] * 20, rate=10)
    return path, scene


def quiet():
    return io.StringIO()


# -- the records ----------------------------------------------------------------


def test_events_and_datagrams_are_the_records_of_detect(clip):
    """Read without dropping, the events are frame for frame what
    `orbisect detect --seed` writes, and so are the UDP datagrams."""
    expected = io.StringIO()
    assert run_detect([str(clip)], json_out=expected, seed=0) == 0
    expected = [without_timings(json.loads(line)) for line in expected.getvalue().splitlines()]
    assert len(expected) == FRAMES and sum(r["ball"] is not None for r in expected) >= FRAMES // 2

    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.bind(("127.0.0.1", 0))
    receiver.settimeout(TIMEOUT)
    publisher = UdpPublisher(f"udp://127.0.0.1:{receiver.getsockname()[1]}")
    runner = LiveRunner(LiveSource(str(clip), drop=False), seed=0, publisher=publisher, log=quiet())
    with serving(runner, start_runner=False) as (base, _):
        events = EventReader(base)
        runner.start()
        records = events.records(FRAMES)
        events.close()
        datagrams = [json.loads(receiver.recv(65536)) for _ in range(FRAMES)]
        assert runner.wait_finished(TIMEOUT)
        status = get_json(base, "/api/status")
    receiver.close()
    assert [without_timings(r) for r in records] == expected
    assert datagrams == records
    for r in records:
        assert r["dropped"] == 0
        # From arrival to sending: at least the detector's own time.
        assert r["latency"] >= r["timings"]["total"] > 0
    assert status["state"] == "ended" and status["frames"] == FRAMES and status["dropped"] == 0


def test_mjpeg_stream_holds_jpeg_pictures_of_every_view(clip):
    runner = LiveRunner(LiveSource(str(clip), realtime=True, loop=True), seed=0, log=quiet())
    with serving(runner, stream_fps=30, stream_width=320) as (base, server):
        status, ctype, parts = mjpeg_parts(base, "/stream.mjpeg", 3)
        assert status == 200 and ctype.startswith("multipart/x-mixed-replace")
        for headers, body in parts:
            assert headers["content-type"] == "image/jpeg"
            with Image.open(io.BytesIO(body)) as im:
                assert im.format == "JPEG" and im.size == (320, 240)
        for view in ("mask-ball", "mask-field", "mask-line", "debug"):
            _, _, parts = mjpeg_parts(base, f"/stream.mjpeg?view={view}", 1)
            assert Image.open(io.BytesIO(parts[0][1])).size == (320, 240)
        assert request(base, "GET", "/stream.mjpeg?view=nothing")[0] == 400
        # Nobody watches any more: no picture is made.
        time.sleep(0.3)
        made = server.streamer.pictures
        time.sleep(0.5)
        assert server.streamer.pictures == made


# -- settings and tuning ------------------------------------------------------------


def test_bad_requests_are_refused_and_change_nothing(still, tmp_path):
    path, _ = still
    runner = LiveRunner(LiveSource(str(path), realtime=True, loop=True), seed=0, log=quiet())
    with serving(runner, settings_path=tmp_path / "settings.json") as (base, _):
        before = get_json(base, "/api/settings")
        bad = [
            (b"{", "not valid JSON"),
            (b"[1, 2]", "holds a JSON object"),
            (json.dumps({"goal": before["ball"]}).encode(), "unknown entries ['goal']"),
            (json.dumps({**before, "ball": {**before["ball"], "hue_deg": [10, 300]}}).encode(),
             "ball: hue_deg must span"),
            (json.dumps({**before, "field": {**before["field"], "chroma": [0.5, 0.1]}}).encode(),
             "field: chroma must have lo < hi"),
            (b'{"line": [{"hue_deg": [0, NaN], "chroma": [0, 0.1], "intensity": [0.3, 1]}]}',
             "line: hue_deg must be finite"),
        ]
        for body, message in bad:
            status, _, data = request(base, "PUT", "/api/settings", raw=body)
            assert status == 400 and message in json.loads(data)["error"], (body, data)
            # The message is the one the command prints for such a file.
            (tmp_path / "bad.json").write_bytes(body)
            with pytest.raises(ValueError) as e:
                load_windows(tmp_path / "bad.json")
            assert str(e.value) == f"{tmp_path / 'bad.json'}: {json.loads(data)['error']}"
            assert get_json(base, "/api/settings") == before
        assert request(base, "PUT", "/api/settings", raw=b"{" * (MAX_BODY + 1))[0] == 413
        assert request(base, "GET", "/api/nothing")[0] == 404
        assert request(base, "DELETE", "/api/settings")[0] == 405
        for body in ({"name": "goal", "box": [0, 0, 9, 9]}, {"name": "ball", "box": [0, 0, 9]},
                     {"name": "ball", "box": [0, 0, True, 9]}, {"name": "ball"},
                     {"name": "ball", "box": [0, 0, 2, 2]}):
            status, _, data = request(base, "POST", "/api/tune", body)
            assert status == 400 and json.loads(data)["error"], body
        assert request(base, "POST", "/api/tune", raw=b"{not json")[0] == 400
        assert get_json(base, "/api/settings") == before
        # A good body is applied, and read back as the file stores it.
        changed = {**before, "ball": BLUE.to_dict()}
        status, _, data = request(base, "PUT", "/api/settings", changed)
        assert status == 200 and json.loads(data) == changed
        assert runner.windows.ball == BLUE
        assert not (tmp_path / "settings.json").exists()         # applied, not saved
        status, _, data = request(base, "POST", "/api/save")
        assert status == 200 and load_windows(tmp_path / "settings.json").ball == BLUE


def test_a_box_on_the_ball_tunes_the_ball_window_and_the_ball_is_found(still):
    path, scene = still
    b = scene.ball
    runner = LiveRunner(LiveSource(str(path), realtime=True, loop=True), seed=0,
                        windows=WindowSet(ball=BLUE), log=quiet())
    with serving(runner) as (base, _):
        events = EventReader(base)
        assert all(r["ball"] is None for r in events.records(3))
        box = [b.x - 0.5 * b.r, b.y - 0.5 * b.r, b.x + 0.5 * b.r, b.y + 0.5 * b.r]
        status, _, data = request(base, "POST", "/api/tune", {"name": "ball", "box": box})
        tuned = json.loads(data)
        assert status == 200 and tuned["coverage"] > 0.9, tuned
        assert get_json(base, "/api/settings")["ball"] == tuned["window"]
        # Records made after the change find the ball where it was drawn.
        later = events.records(12)[-4:]
        events.close()
        for r in later:
            assert r["ball"] is not None
            assert abs(r["ball"]["x"] - b.x) < 3 and abs(r["ball"]["y"] - b.y) < 3
        status, headers, data = request(base, "GET", "/api/frame.png")
        assert status == 200 and headers["Content-Type"] == "image/png"
        frame = np.asarray(Image.open(io.BytesIO(data)))
        # The raw frame: the scene as decoded from the video, not a drawing.
        assert frame.shape == (480, 640, 3)
        assert np.abs(frame.astype(int) - scene.image).mean() < 4


def test_a_client_that_stops_reading_does_not_slow_another(clip):
    """One client stops reading the events and the stream; the detector
    and the other client go on, and the stalled one loses records."""
    runner = LiveRunner(LiveSource(str(clip), loop=True, drop=False), seed=0, log=quiet())
    with serving(runner, start_runner=False, stream_fps=60) as (base, server):
        port = int(base.rsplit(":", 1)[1])
        stalled = []
        for path in ("/events", "/stream.mjpeg"):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(("127.0.0.1", port))
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
            stalled.append(s)
        reader = EventReader(base)
        runner.start()
        # Read until the stalled client's socket buffers are full and its
        # backlog too (a few megabytes of records).
        records = []
        while len(records) < 20000 and not any(q.full() for q in list(server._queues)):
            records += reader.records(EVENT_BACKLOG, deadline=120)
        records += reader.records(2 * EVENT_BACKLOG, deadline=120)
        reader.close()
        assert any(q.full() for q in list(server._queues))         # the stalled one's backlog
        frames = [r["frame"] for r in records]
        assert frames == list(range(frames[0], frames[0] + len(records)))   # none lost here
        for s in stalled:
            s.close()


# -- sources ------------------------------------------------------------------------------


def _mjpeg_server(frames_per_connection, connections):
    """A multipart JPEG stream on 127.0.0.1 that ends each connection after
    some frames; (url, jpeg frames, thread)."""
    images = scene_images(7, 3)
    jpegs = []
    for im in images:
        out = io.BytesIO()
        Image.fromarray(im).save(out, "JPEG", quality=95)
        jpegs.append(out.getvalue())
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    listener.settimeout(TIMEOUT)

    def serve():
        try:
            for _ in range(connections):
                conn, _ = listener.accept()
                with conn:
                    conn.settimeout(TIMEOUT)
                    conn.recv(65536)
                    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; "
                                 b"boundary=cam\r\nCache-Control: no-cache\r\n\r\n")
                    for k in range(frames_per_connection):
                        data = jpegs[k % len(jpegs)]
                        conn.sendall(b"--cam\r\nContent-Type: image/jpeg\r\nContent-Length: "
                                     + str(len(data)).encode() + b"\r\n\r\n" + data + b"\r\n")
                        time.sleep(0.03)
        except OSError:
            pass
        finally:
            listener.close()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    return f"http://127.0.0.1:{listener.getsockname()[1]}/cam.mjpeg", images, thread


def test_an_http_mjpeg_stream_is_read_and_reopened_when_it_stops():
    url, images, thread = _mjpeg_server(frames_per_connection=8, connections=2)
    states = []
    source = LiveSource(url, on_status=lambda s: states.append(s.state), backoff=(0.1, 0.2))
    assert source.kind == "stream" and source.drop
    got = []
    with source:
        end = time.monotonic() + TIMEOUT
        while len(got) < 10 and time.monotonic() < end:
            f = source.get(1.0)
            if f is not None:
                got.append(f)
        status = source.status
    thread.join(TIMEOUT)
    assert len(got) >= 10, states
    # The second connection's frames came after a reconnection.
    assert "reconnecting" in states and states.index("reconnecting") < len(states) - 1
    assert states[states.index("reconnecting") + 1] == "running"
    assert status.reconnects >= 1
    for f in got:
        assert f.image.shape == (480, 640, 3) and f.source == url
        assert min(np.abs(f.image.astype(int) - im).mean() for im in images) < 4
    assert [f.frame for f in got] == sorted(f.frame for f in got)


def test_raw_frames_on_standard_input_in_each_layout():
    rng = np.random.default_rng(1)
    frames = rng.integers(0, 256, (3, 6, 8, 3), dtype=np.uint8)
    for pix_fmt, data, want in (
            ("rgb24", frames.tobytes(), frames),
            ("bgr24", frames[..., ::-1].tobytes(), frames),
            # A partial last frame is not a frame.
            ("rgb24", frames.tobytes() + b"\x00" * 10, frames)):
        with LiveSource("-", size=(8, 6), pix_fmt=pix_fmt, stdin=io.BytesIO(data),
                        drop=False) as src:
            got = [src.get(TIMEOUT) for _ in range(len(want))]
            assert src.get(TIMEOUT) is None and src.finished
        assert [f.frame for f in got] == [0, 1, 2]
        np.testing.assert_array_equal(np.stack([f.image for f in got]), want)
    # YUYV: two pixels share U and V; grey, red-ish and blue-ish pairs.
    yuyv = np.array([[[235, 128], [235, 128], [81, 90], [81, 240], [41, 240], [41, 110]]] * 2,
                    np.uint8)
    with LiveSource("-", size=(6, 2), pix_fmt="yuyv422", stdin=io.BytesIO(yuyv.tobytes()),
                    drop=False) as src:
        rgb = src.get(TIMEOUT).image.astype(int)
    assert (rgb[0, :2] > 245).all()                                  # white
    assert rgb[0, 2, 0] > 200 and rgb[0, 2, 2] < 60                  # red
    assert rgb[0, 4, 2] > 200 and rgb[0, 4, 0] < 60                  # blue
    for kw, message in (({}, "need their size"), ({"size": (7, 2), "pix_fmt": "yuyv422"}, "even"),
                        ({"size": (8, 3), "pix_fmt": "yuyv422"}, "even"),
                        ({"size": (8, 6), "pix_fmt": "gray"}, "pix_fmt")):
        with pytest.raises(ValueError, match=message):
            LiveSource("-", **kw)


def test_a_slow_reader_gets_the_newest_frame_and_the_rest_are_counted_as_dropped():
    frames = np.arange(40, dtype=np.uint8).repeat(12).reshape(40, 2, 2, 3)
    with LiveSource("-", size=(2, 2), stdin=io.BytesIO(frames.tobytes())) as src:
        end = time.monotonic() + TIMEOUT
        while src.status.state != "ended" and time.monotonic() < end:
            time.sleep(0.01)
        last = src.get(TIMEOUT)
        assert src.get(0.1) is None
    # Read all at once, only the last frame is left; all others dropped.
    assert last.frame == 39 and last.image[0, 0, 0] == 39
    assert last.dropped == 39 and src.status.dropped == 39


def test_a_missing_file_fails_and_a_missing_camera_is_retried(tmp_path):
    with LiveSource(str(tmp_path / "none.mp4")) as src:
        assert src.get(TIMEOUT) is None
        assert src.status.state == "failed" and "no such file" in src.status.message
    states = []
    with LiveSource("/dev/video-none", backoff=(0.05, 0.1),
                    on_status=lambda s: states.append(s)) as src:
        end = time.monotonic() + TIMEOUT
        while sum(s.state == "reconnecting" for s in states) < 3 and time.monotonic() < end:
            time.sleep(0.02)
    retries = [s for s in states if s.state == "reconnecting"]
    assert len(retries) >= 3 and "reopening in" in retries[0].message
    # The waits grow, up to the longest.
    assert "0.05 s" in retries[0].message and "0.1 s" in retries[2].message


def test_udp_urls_are_checked():
    assert parse_udp("udp://[::1]:9000") == ("::1", 9000)
    for url in ("tcp://127.0.0.1:9", "udp://127.0.0.1", "udp://127.0.0.1:0", "udp://:9"):
        with pytest.raises(ValueError, match="udp://HOST:PORT"):
            parse_udp(url)


# -- the command ------------------------------------------------------------------------------


def _orbisect(*args, **kw):
    script = "import sys; from orbisect_detect.cli import main; sys.exit(main(sys.argv[1:]))"
    return subprocess.Popen([sys.executable, "-c", script, *args], stderr=subprocess.PIPE,
                            text=True, **kw)


def _served_url(proc):
    end = time.monotonic() + TIMEOUT
    lines = []
    while time.monotonic() < end:
        line = proc.stderr.readline()
        lines.append(line)
        if "serving http://" in line:
            return line.split("serving ")[1].split()[0].rstrip("/")
        assert line, "".join(lines)
    raise AssertionError("".join(lines))


def test_sigterm_stops_cleanly_saves_the_settings_and_the_next_start_reads_them(still, tmp_path):
    path, _ = still
    settings = tmp_path / "settings.json"
    args = [str(path), "--realtime", "--loop", "--port", "0", "--settings", str(settings)]
    proc = _orbisect("live", *args)
    try:
        base = _served_url(proc)
        port = int(base.rsplit(":", 1)[1])
        changed = {**get_json(base, "/api/settings"), "ball": BLUE.to_dict()}
        assert request(base, "PUT", "/api/settings", changed)[0] == 200
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=TIMEOUT)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    assert "settings saved" in err and load_windows(settings).ball == BLUE
    with socket.socket() as s:              # the port is free again
        s.bind(("127.0.0.1", port))
    proc = _orbisect("live", *args[:-2], "--windows", str(settings))
    try:
        base = _served_url(proc)
        assert get_json(base, "/api/settings")["ball"] == BLUE.to_dict()
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=TIMEOUT)
    finally:
        proc.kill()
    assert proc.returncode == 0 and "settings saved" not in err     # nothing changed


def test_raw_frames_piped_in_come_out_as_datagrams(tmp_path):
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.bind(("127.0.0.1", 0))
    receiver.settimeout(TIMEOUT)
    scene = make_scene(2, 0)
    proc = _orbisect("live", "-", "--size", "640x480", "--port", "0", "--seed", "0",
                     "--settings", str(tmp_path / "s.json"),
                     "--publish", f"udp://127.0.0.1:{receiver.getsockname()[1]}",
                     stdin=subprocess.PIPE)
    try:
        _served_url(proc)
        got = []
        for k in range(3):          # one frame at a time: none is dropped
            proc.stdin.buffer.write(scene.image.tobytes())
            proc.stdin.buffer.flush()
            got.append(json.loads(receiver.recv(65536)))
        proc.stdin.close()
        proc.send_signal(signal.SIGTERM)
        proc.wait(TIMEOUT)
        err = proc.stderr.read()
    finally:
        proc.kill()
        receiver.close()
    assert proc.returncode == 0, err
    assert [r["frame"] for r in got] == [0, 1, 2] and {r["source"] for r in got} == {"-"}
    b = scene.ball
    assert all(abs(r["ball"]["x"] - b.x) < 2 for r in got)
    assert not (tmp_path / "s.json").exists()


def test_unusable_arguments_exit_with_status_2(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text('{"ball": 1}')
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        port = busy.getsockname()[1]
        for args, message in ((["x.mp4", "--settings", str(bad)], "bad.json: ball:"),
                              (["-", "--settings", str(tmp_path / "s.json")], "--size"),
                              (["x.mp4", "--port", str(port), "--settings", str(tmp_path / "s")],
                               "cannot serve")):
            proc = _orbisect("live", *args)
            _, err = proc.communicate(timeout=TIMEOUT)
            assert proc.returncode == 2 and message in err, err
    proc = _orbisect("live", "x.mp4", "--publish", "tcp://a:1")
    _, err = proc.communicate(timeout=TIMEOUT)
    assert proc.returncode == 2 and "udp://HOST:PORT" in err


def test_docstring_examples_of_the_live_modules_hold():
    import doctest
    import importlib
    importlib.import_module("orbisect_detect.sources")
    for name in ("_live_sources", "live.engine", "live.settings", "live.server", "live.command"):
        mod = importlib.import_module(f"orbisect_detect.{name}")
        result = doctest.testmod(mod, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
        assert result.attempted > 0 and result.failed == 0, name



def test_the_udp_receiver_example_prints_the_records():
    port = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    port.bind(("127.0.0.1", 0))
    number = port.getsockname()[1]
    port.close()
    script = os.path.join(os.path.dirname(__file__), "..", "examples", "udp_receiver.py")
    proc = subprocess.Popen([sys.executable, script, str(number), "2"], stdout=subprocess.PIPE,
                            text=True)
    try:
        assert "listening" in proc.stdout.readline()
        publisher = UdpPublisher(f"udp://127.0.0.1:{number}")
        record = {"source": "-", "frame": 7, "ball": {"x": 1.0, "y": 2.0, "r": 3.0, "support": 1},
                  "lines": [], "timings": {}, "latency": 0.002, "dropped": 1}
        for k in range(2):
            publisher.send(json.dumps({**record, "frame": k}).encode())
        out, _ = proc.communicate(timeout=TIMEOUT)
        publisher.close()
    finally:
        proc.kill()
    assert proc.returncode == 0
    assert "frame 1: ball (1.0, 2.0) r 3.0, 0 lines, latency 2.0 ms, 1 dropped" in out


def test_the_mask_and_debug_views_show_what_the_detector_uses():
    from orbisect_detect import FieldDetector
    from orbisect_detect.drawing import annotate, debug_picture, mask_picture
    scene = make_scene(1, 3)
    selected = BLUE.contains(scene.image) | Window((10.0, 36.0), (0.1, 1.2),
                                                   (0.03, 0.95)).contains(scene.image)
    pic = np.asarray(mask_picture(scene.image, selected)).astype(int)
    grey = np.ptp(pic, axis=2) < 3
    assert selected.any() and (grey == ~selected).all()       # tinted exactly where selected
    # A BGR frame gives the same picture as its RGB original.
    bgr = np.ascontiguousarray(scene.image[..., ::-1])
    assert (np.asarray(mask_picture(bgr, selected, order="bgr")) == pic).all()
    with pytest.raises(ValueError, match="selected must have shape"):
        mask_picture(scene.image, selected[1:])
    detector = FieldDetector(seed=0)
    detection = detector.detect(scene.image)
    # A detection without diagnostics is made again with them, same seed:
    # the page's debug view is the command's debug picture.
    debug = np.asarray(debug_picture(scene.image, detector, detection))
    again = FieldDetector(seed=0, diagnostics=True).detect(scene.image)
    assert again.ball == detection.ball
    assert (debug == np.asarray(annotate(scene.image, again, debug=True))).all()
