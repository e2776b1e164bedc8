"""The live loop: detection on every frame taken, records out, pictures of it.

:class:`LiveRunner` takes the newest frame of a
:class:`~orbisect_detect.sources.LiveSource` on a thread of its own, finds
the ball and the lines in it, and makes its record, the one ``orbisect
detect`` writes (:func:`~orbisect_detect.cli.frame_record`) with two more
fields: ``latency``, seconds from the frame's arrival to the record being
sent, and ``dropped``, the frames the source skipped so far.  Each record
goes at once to the UDP publisher (:class:`UdpPublisher`) and to the
listeners (the HTTP server's event streams), as a JSON text made once.

The pictures of the page's stream are made by :class:`Streamer` at their
own rate and width, only for the views somebody watches, and drawn in a
process of their own, so that the detector never waits for them.

Settings (the colour windows) change while it runs: :meth:`LiveRunner.apply`
swaps the detector between two frames.

Examples
--------
>>> import io
>>> from orbisect_detect.sources import LiveSource
>>> from orbisect_detect.scenes import make_scene
>>> raw = io.BytesIO(make_scene(1, 3).image.tobytes())
>>> source = LiveSource("-", size=(640, 480), stdin=raw, drop=False)
>>> records = []
>>> runner = LiveRunner(source, seed=0)
>>> runner.add_listener(lambda text, record: records.append(record))
>>> with runner:
...     runner.wait_finished(30.0)
True
>>> [sorted(r) for r in records]
[['ball', 'balls', 'dropped', 'frame', 'latency', 'lines', 'source', 'timings']]
"""

from __future__ import annotations

import io
import json
import math
import multiprocessing
import os
import signal
import socket
import sys
import threading
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, replace
from multiprocessing.connection import Connection
from typing import Any, Literal, TextIO

import numpy as np
import numpy.typing as npt
from PIL import Image

from ..cli import frame_record
from ..detector import Detection, FieldDetector
from ..drawing import annotate, debug_picture, mask_picture
from ..sources import LiveFrame, LiveSource
from ..tuning import Box, Tuned, selected_pixels, tune_window
from ..windowfile import EntryName, WindowSet
from ..windows import ChannelOrder

__all__ = ["VIEWS", "LiveRunner", "Snapshot", "Streamer", "UdpPublisher", "View", "parse_udp"]

View = Literal["annotated", "mask-ball", "mask-field", "mask-line", "debug"]
#: The stream's views: the detection drawn, a window's mask, the debug view.
VIEWS: tuple[View, ...] = ("annotated", "mask-ball", "mask-field", "mask-line", "debug")
#: The largest UDP datagram sent; a record never comes near it.
MAX_DATAGRAM = 65000
#: Seconds the drawing process may take for a picture before it is restarted.
DRAW_TIMEOUT = 20.0
#: How much lower the drawing process's scheduling priority is.
DRAW_NICENESS = 10

Listener = Callable[[str, dict[str, Any]], None]


def parse_udp(url: str) -> tuple[str, int]:
    """Host and port of ``udp://HOST:PORT`` (``udp://[::1]:PORT`` for IPv6).

    Raises
    ------
    ValueError
        When it is not such a URL.

    Examples
    --------
    >>> parse_udp("udp://127.0.0.1:5005")
    ('127.0.0.1', 5005)
    """
    if not url.startswith("udp://"):
        raise ValueError(f"--publish takes udp://HOST:PORT, got {url!r}")
    rest = url[len("udp://"):].rstrip("/")
    host, sep, port = rest.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError(f"--publish takes udp://HOST:PORT with a port from 1 to 65535, got {url!r}")
    return host, int(port)


class UdpPublisher:
    """Sends each record as one JSON datagram, without ever waiting.

    A datagram that cannot be sent now (a full socket buffer, an
    unreachable host) is counted in :attr:`failed` and forgotten: the
    robot wants the newest record, not a late one.

    Parameters
    ----------
    url : str
        ``udp://HOST:PORT``.

    Examples
    --------
    >>> receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    >>> receiver.bind(("127.0.0.1", 0))
    >>> publisher = UdpPublisher(f"udp://127.0.0.1:{receiver.getsockname()[1]}")
    >>> publisher.send(b'{"frame": 0}')
    True
    >>> receiver.recv(100)
    b'{"frame": 0}'
    >>> publisher.close(); receiver.close()
    """

    def __init__(self, url: str) -> None:
        host, port = parse_udp(url)
        try:
            family, kind, proto, _, address = socket.getaddrinfo(host, port, 0, socket.SOCK_DGRAM)[0]
        except socket.gaierror as e:
            raise ValueError(f"--publish: cannot resolve {host!r} ({e})") from None
        self.url, self.address = url, address
        self._socket = socket.socket(family, kind, proto)
        self._socket.setblocking(False)
        self.sent = 0
        self.failed = 0

    def send(self, data: bytes) -> bool:
        """Sends one datagram; False when it could not go."""
        if len(data) > MAX_DATAGRAM:
            self.failed += 1
            return False
        try:
            self._socket.sendto(data, self.address)
        except OSError:
            self.failed += 1
            return False
        self.sent += 1
        return True

    def close(self) -> None:
        """Closes the socket."""
        self._socket.close()


@dataclass(frozen=True)
class Snapshot:
    """The newest frame taken and what was found in it.

    Attributes
    ----------
    frame : LiveFrame
        The frame.
    detection : Detection
        What the detector found.
    detector : FieldDetector
        The detector that found it (its windows).
    windows : WindowSet
        The windows it used.
    seq : int
        Counts the frames detected, from 1.
    """

    frame: LiveFrame
    detection: Detection
    detector: FieldDetector
    windows: WindowSet
    seq: int


class LiveRunner:
    """Detects on every frame a live source gives and sends the records.

    Parameters
    ----------
    source : LiveSource
        Where the frames come from; started and closed by the runner.
    windows : WindowSet, optional
        The colours to start with (the defaults when None).
    seed : int, optional
        Seeds the fits (:class:`~orbisect_detect.FieldDetector`).
    order : {"rgb", "bgr"}
        Channel order of the source's frames.
    publisher : UdpPublisher, optional
        Receives every record.
    log : file, optional
        Where frames that cannot be detected are named (standard error by
        default).

    Notes
    -----
    Listeners (:meth:`add_listener`) are called on the detection thread
    with the record's JSON text and the record: they must not wait.
    """

    def __init__(self, source: LiveSource, *, windows: WindowSet | None = None,
                 seed: int | None = None, order: ChannelOrder = "rgb",
                 publisher: UdpPublisher | None = None, log: TextIO | None = None) -> None:
        self.source = source
        self.seed, self.order = seed, order
        self.publisher = publisher
        self._log = log
        self._lock = threading.Lock()
        self._windows = windows or WindowSet()
        self._detector = self._make_detector(self._windows)
        self._snapshot: Snapshot | None = None
        self._listeners: list[Listener] = []
        self._stop = threading.Event()
        self._done = threading.Event()
        self._thread: threading.Thread | None = None
        self._times: deque[float] = deque(maxlen=64)
        self._status = source.status
        self._seq = 0
        self.errors = 0

    # -- settings -------------------------------------------------------------

    def _make_detector(self, windows: WindowSet) -> FieldDetector:
        return FieldDetector(**windows.detector_arguments(), seed=self.seed, order=self.order)

    @property
    def windows(self) -> WindowSet:
        """The windows in use."""
        with self._lock:
            return self._windows

    def apply(self, windows: WindowSet) -> None:
        """Uses these windows from the next frame on."""
        detector = self._make_detector(windows)
        with self._lock:
            self._windows, self._detector = windows, detector

    def tune(self, name: EntryName, box: Box) -> Tuned:
        """Derives a window from a box of the newest frame
        (:func:`~orbisect_detect.tuning.tune_window`) and applies it.

        Raises
        ------
        LookupError
            When no frame has been taken yet.
        ValueError
            When the box holds too few pixels or no usable colour.
        """
        snap = self.snapshot
        if snap is None:
            raise LookupError("no frame yet")
        windows = self.windows
        tuned = tune_window(snap.frame.image, box, name, order=self.order, field=windows.field)
        self.apply(windows.with_entry(name, tuned.entry))
        return tuned

    # -- running ----------------------------------------------------------------

    def add_listener(self, listener: Listener) -> None:
        """Calls ``listener(text, record)`` with each record from now on."""
        with self._lock:
            self._listeners = [*self._listeners, listener]

    def remove_listener(self, listener: Listener) -> None:
        """Stops calling ``listener``."""
        with self._lock:
            self._listeners = [f for f in self._listeners if f is not listener]

    @property
    def snapshot(self) -> Snapshot | None:
        """The newest frame detected, or None before the first."""
        with self._lock:
            return self._snapshot

    def start(self) -> LiveRunner:
        """Starts the source and the detection thread (once)."""
        if self._thread is None:
            self.source.start()
            self._thread = threading.Thread(target=self._run, name="detector", daemon=True)
            self._thread.start()
        return self

    def __enter__(self) -> LiveRunner:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def wait_finished(self, timeout: float | None = None) -> bool:
        """Waits until the source has ended and its last frame was
        detected; False when the time ran out first."""
        return self._done.wait(timeout)

    def close(self) -> None:
        """Stops detecting and closes the source."""
        self._stop.set()
        self.source.close()
        if self._thread is not None:
            self._thread.join(10.0)
        if self.publisher is not None:
            self.publisher.close()

    def status(self) -> dict[str, Any]:
        """Frames per second of the detector, the source's state and the
        counts, as plain JSON types."""
        with self._lock:
            times = list(self._times)
            snap = self._snapshot
        fps = (len(times) - 1) / (times[-1] - times[0]) if len(times) > 1 and times[-1] > times[0] \
            else 0.0
        if times and time.perf_counter() - times[-1] > 2.0:
            fps = 0.0
        source = self.source.status
        out: dict[str, Any] = {"source": self.source.spec, "kind": self.source.kind,
                               **source.to_dict(), "fps": round(fps, 2), "detected": self._seq,
                               "width": None, "height": None}
        if snap is not None:
            out["height"], out["width"] = snap.frame.image.shape[:2]
        return out

    def _run(self) -> None:
        try:
            while not self._stop.is_set():
                frame = self.source.get(0.25)
                if frame is None:
                    if self.source.finished:
                        return
                    continue
                self._detect(frame)
        finally:
            self._done.set()

    def _detect(self, frame: LiveFrame) -> None:
        with self._lock:
            detector, windows = self._detector, self._windows
        try:
            detection = detector.detect(frame.image)
        except (TypeError, ValueError) as e:
            self.errors += 1
            print(f"orbisect: {frame.source}, frame {frame.frame}: {e} (skipped)",
                  file=self._log or sys.stderr, flush=True)
            return
        record = frame_record(frame, detection)
        record["dropped"] = frame.dropped
        record["latency"] = time.perf_counter() - frame.arrival
        text = json.dumps(record)
        if self.publisher is not None:
            self.publisher.send(text.encode())
        with self._lock:
            self._seq += 1
            self._snapshot = Snapshot(frame, detection, detector, windows, self._seq)
            self._times.append(time.perf_counter())
            listeners = self._listeners
        for listener in listeners:
            listener(text, record)


def _scaled(detection: Detection, s: float) -> Detection:
    balls = tuple(replace(b, x=(b.x + 0.5) * s - 0.5, y=(b.y + 0.5) * s - 0.5, r=b.r * s)
                  for b in detection.balls)
    lines = [replace(ln, x0=(ln.x0 + 0.5) * s - 0.5, y0=(ln.y0 + 0.5) * s - 0.5,
                     x1=(ln.x1 + 0.5) * s - 0.5, y1=(ln.y1 + 0.5) * s - 0.5, width=ln.width * s)
             for ln in detection.lines]
    return Detection(None, lines, detection.timings, balls=balls)


def render(snapshot: Snapshot, view: View, width: int, order: ChannelOrder = "rgb",
           windows: WindowSet | None = None) -> Image.Image:
    """The picture of one view of a snapshot, ``width`` pixels wide at most.

    The mask views show ``windows`` (by default those the frame was
    detected with), so that a change shows before the next frame.

    Examples
    --------
    >>> from orbisect_detect.scenes import make_scene
    >>> image = make_scene(1, 3).image
    >>> detector = FieldDetector(seed=0)
    >>> snap = Snapshot(LiveFrame("-", 0, image), detector.detect(image), detector, WindowSet(), 1)
    >>> render(snap, "mask-ball", 320).size
    (320, 240)
    """
    image = snap_image = snapshot.frame.image
    h, w = image.shape[:2]
    s = min(1.0, width / w)
    size = (max(1, round(w * s)), max(1, round(h * s)))
    if view == "debug":
        picture = debug_picture(image, snapshot.detector, snapshot.detection, order=order)
        return picture if s == 1.0 else picture.resize(size, Image.Resampling.BILINEAR)
    if s < 1.0:
        small = Image.fromarray(np.ascontiguousarray(snap_image)).resize(size,
                                                                          Image.Resampling.BILINEAR)
        image = np.array(small)
    if view == "annotated":
        return annotate(image, snapshot.detection if s == 1.0 else _scaled(snapshot.detection, s),
                        order=order)
    name: EntryName = "ball" if view == "mask-ball" else "field" if view == "mask-field" else "line"
    ws = snapshot.windows if windows is None else windows
    chosen = ws.line if name == "line" else (ws.ball if name == "ball" else ws.field,)
    return mask_picture(image, selected_pixels(np.ascontiguousarray(image), chosen, name, order),
                        order=order)


def jpeg(picture: Image.Image, quality: int = 75) -> bytes:
    """A picture as JPEG bytes."""
    out = io.BytesIO()
    picture.save(out, "JPEG", quality=quality)
    return out.getvalue()


def png(image: npt.NDArray[np.uint8], order: ChannelOrder = "rgb") -> bytes:
    """A frame as PNG bytes, in RGB."""
    out = io.BytesIO()
    rgb = image[..., ::-1] if order == "bgr" else image
    Image.fromarray(np.ascontiguousarray(rgb)).save(out, "PNG", compress_level=1)
    return out.getvalue()


def _parts(snapshot: Snapshot, with_detector: bool) -> tuple[Any, ...]:
    """A snapshot as the drawing process takes it: its detector only when
    asked (it pickles as its settings, and the copy is made again there)."""
    return (snapshot.frame, snapshot.detection, snapshot.detector if with_detector else None,
            snapshot.windows, snapshot.seq)


def _draw_worker(conn: Connection) -> None:
    """The drawing process: (snapshot parts, view, width, order, windows)
    in, ("ok", JPEG bytes) or ("error", message) out, until None comes.

    The detector comes only when it changed, and only for the debug view
    that needs it; the one last sent is kept here.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)        # the parent stops it
    # The robot's records come first: under a full processor the pictures
    # wait, not the detector.
    try:
        os.nice(DRAW_NICENESS)
    except OSError:
        pass
    detector: FieldDetector | None = None
    while True:
        try:
            job = conn.recv()
        except (EOFError, OSError):
            return
        if job is None:
            return
        (frame, detection, sent, windows, seq), *rest = job
        detector = sent if sent is not None else detector
        try:
            if detector is None:
                raise ValueError("no detector was sent for the debug view")
            conn.send(("ok", jpeg(render(Snapshot(frame, detection, detector, windows, seq),
                                         *rest))))
        except (ValueError, OSError) as e:
            conn.send(("error", str(e)))


class _Drawer:
    """Draws pictures in a process of its own, so that drawing them never
    holds the interpreter's lock that the detector needs; in this process
    when no other can be started."""

    def __init__(self) -> None:
        self._conn: Connection | None = None
        self._process: Any = None
        self._sent: FieldDetector | None = None     # the detector the process holds
        self.in_process = False

    def _start(self) -> None:
        ctx = multiprocessing.get_context("spawn")
        ours, theirs = ctx.Pipe()
        process = ctx.Process(target=_draw_worker, args=(theirs,), name="orbisect-draw",
                              daemon=True)
        try:
            process.start()
        except (OSError, RuntimeError) as e:
            print(f"orbisect: drawing the stream in the detector's process ({e})",
                  file=sys.stderr)
            self.in_process = True
            return
        theirs.close()
        self._conn, self._process = ours, process

    def draw(self, job: tuple[Any, ...]) -> bytes:
        if self._conn is None and not self.in_process:
            self._start()
        if self._conn is None:
            return jpeg(render(*job))
        snapshot, view = job[0], job[1]
        # Every picture needs some detector there; the debug view needs the
        # current one.  Sending it costs a detector's construction in the
        # drawing process, so it goes only when it changed.
        send = self._sent is None or (view == "debug" and snapshot.detector is not self._sent)
        try:
            self._conn.send((_parts(snapshot, send), *job[1:]))
            if send:
                self._sent = snapshot.detector
            if not self._conn.poll(DRAW_TIMEOUT):
                raise TimeoutError("the drawing process does not answer")
            status, payload = self._conn.recv()
        except (OSError, EOFError, TimeoutError):
            self.close()        # started again for the next picture
            raise OSError("the drawing process stopped") from None
        if status != "ok":
            raise ValueError(payload)
        data: bytes = payload
        return data

    def close(self) -> None:
        conn, process, self._conn, self._process = self._conn, self._process, None, None
        self._sent = None
        if conn is not None:
            try:
                conn.send(None)
            except OSError:
                pass
            conn.close()
        if process is not None:
            process.join(2.0)
            if process.is_alive():
                process.terminate()
                process.join(2.0)


class Streamer:
    """Makes the JPEG pictures of the watched views at a fixed rate.

    The pictures are drawn in a process of its own, started when the first
    view is watched.

    Parameters
    ----------
    runner : LiveRunner
        Whose snapshots to draw.
    fps : float
        Pictures per second at most, per view.
    width : int
        Width of the pictures at most (frames are scaled down, never up).
    publish : callable
        Called with (view, jpeg bytes) for each new picture, on the
        streamer's thread.
    """

    def __init__(self, runner: LiveRunner, *, fps: float, width: int,
                 publish: Callable[[View, bytes], None]) -> None:
        if not fps > 0 or not math.isfinite(fps):
            raise ValueError(f"the stream's frame rate is more than 0, got {fps}")
        if width < 16:
            raise ValueError(f"the stream's width is at least 16 px, got {width}")
        self.runner, self.fps, self.width = runner, fps, width
        self._publish = publish
        self._watched: dict[View, int] = {}
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._wake = threading.Event()
        self._thread = threading.Thread(target=self._run, name="streamer", daemon=True)
        self._drawer = _Drawer()
        self.pictures = 0

    def watch(self, view: View) -> None:
        """Someone watches this view: make its pictures."""
        with self._lock:
            self._watched[view] = self._watched.get(view, 0) + 1
        self._wake.set()

    def unwatch(self, view: View) -> None:
        """Someone stopped watching it."""
        with self._lock:
            n = self._watched.get(view, 0) - 1
            if n > 0:
                self._watched[view] = n
            else:
                self._watched.pop(view, None)

    def start(self) -> Streamer:
        """Starts the thread."""
        self._thread.start()
        return self

    def close(self) -> None:
        """Stops the thread."""
        self._stop.set()
        self._wake.set()
        if self._thread.is_alive():
            self._thread.join(DRAW_TIMEOUT + 5.0)
        self._drawer.close()

    def _run(self) -> None:
        period = 1.0 / self.fps
        drawn: dict[View, tuple[int, int]] = {}
        next_time = time.perf_counter()
        while not self._stop.is_set():
            with self._lock:
                views = list(self._watched)
            if not views:
                self._wake.wait(0.5)
                self._wake.clear()
                next_time = time.perf_counter()
                continue
            snap = self.runner.snapshot
            if snap is not None:
                windows = self.runner.windows
                for view in views:
                    if drawn.get(view) == (snap.seq, id(windows)):
                        continue
                    try:
                        data = self._drawer.draw((snap, view, self.width, self.runner.order,
                                                  windows))
                    except (ValueError, OSError) as e:      # a frame too odd to draw
                        print(f"orbisect: cannot draw the {view} view ({e})", file=sys.stderr)
                        continue
                    drawn[view] = (snap.seq, id(windows))
                    self.pictures += 1
                    self._publish(view, data)
            next_time += period
            delay = next_time - time.perf_counter()
            if delay < -period:
                next_time = time.perf_counter()     # fell behind: do not catch up in a burst
            elif delay > 0:
                self._stop.wait(delay)
