"""Live sources: a camera, a network stream, a video file played as one,
or raw frames on standard input.

A :class:`LiveSource` reads its frames on a thread of its own and hands the
newest one to whoever asks (:meth:`LiveSource.get`): a reader that cannot
keep up skips frames rather than fall behind, and the frames skipped are
counted (:attr:`LiveFrame.dropped`).  A source made with ``drop=False``
instead waits for each frame to be taken, so that none is lost (a video
file read as fast as the detector goes).

A camera or a network stream that fails or stops is reopened, after 0.5 s,
then twice as long after each failure in a row, up to 8 s; its
:attr:`LiveSource.status` says so, and ``on_status`` hears every change.
A file or standard input that ends ends the source (a file starts again
with ``loop=True``).

What is read, by the ``spec`` string:

- ``/dev/videoN`` (any path under ``/dev/``): a V4L2 camera, through PyAV,
  at ``size`` and ``frame_rate`` when given;
- a URL (``rtsp://``, ``http://``, ...): a network stream through PyAV
  (RTSP over TCP; an HTTP ``multipart/x-mixed-replace`` stream of JPEG
  frames is read as MJPEG);
- ``-``: raw frames on standard input, ``size`` (W, H) and ``pix_fmt`` one
  of ``rgb24``, ``bgr24`` or ``yuyv422``;
- any other path: a video file, played at its own frame rate with
  ``realtime=True``, else as fast as it is taken.

Each frame carries its arrival time (:func:`time.perf_counter` seconds):
the camera's capture time where the driver gives one, else the moment it
was decoded or read.

Examples
--------
>>> import io
>>> raw = io.BytesIO(bytes(range(24)) * 2)          # two 4x2 RGB frames
>>> with LiveSource("-", size=(4, 2), stdin=raw, drop=False) as src:
...     first, second = src.get(5.0), src.get(5.0)
>>> first.image.shape, second.frame, src.get(5.0)
((2, 4, 3), 1, None)
"""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, replace
from typing import IO, Any, Literal

import numpy as np
import numpy.typing as npt

from .sources import Frame, ReadError

__all__ = ["PIX_FMTS", "LiveFrame", "LiveSource", "SourceStatus", "source_kind"]

#: Pixel formats of raw frames on standard input, with their bytes per pixel.
PIX_FMTS = {"rgb24": 3, "bgr24": 3, "yuyv422": 2}

SourceKind = Literal["camera", "stream", "file", "raw"]
SourceState = Literal["opening", "running", "reconnecting", "ended", "failed", "closed"]

_NEED_AV = "reading a camera, a stream or a video needs PyAV: pip install 'orbisect[video]'"
#: Seconds of the first and the longest wait before a source is reopened.
BACKOFF_FIRST, BACKOFF_LONGEST = 0.5, 8.0
#: Seconds a network stream may take to open, and to deliver a packet.
OPEN_TIMEOUT, READ_TIMEOUT = 10.0, 5.0


@dataclass(frozen=True)
class LiveFrame(Frame):
    """A frame of a live source.

    Attributes
    ----------
    arrival : float
        When it arrived, in :func:`time.perf_counter` seconds: the capture
        time where the source gives one, else when it was read.
    dropped : int
        Frames of the source skipped so far, this one's predecessors.

    Examples
    --------
    >>> f = LiveFrame("-", 3, np.zeros((2, 2, 3), np.uint8), arrival=1.5, dropped=1)
    >>> f.frame, f.dropped
    (3, 1)
    """

    arrival: float = 0.0
    dropped: int = 0


@dataclass(frozen=True)
class SourceStatus:
    """What a live source is doing.

    Attributes
    ----------
    state : {"opening", "running", "reconnecting", "ended", "failed", "closed"}
        "reconnecting" while it waits to reopen a camera or stream that
        stopped; "ended" when a file or standard input has no more frames;
        "failed" when a file cannot be read.
    message : str
        What happened, for people.
    frames : int
        Frames read so far.
    dropped : int
        Frames skipped so far.
    reconnects : int
        Times it was reopened.

    Examples
    --------
    >>> SourceStatus("running", "", 10, 2, 0).to_dict()["state"]
    'running'
    """

    state: SourceState
    message: str
    frames: int
    dropped: int
    reconnects: int

    def to_dict(self) -> dict[str, Any]:
        """The status as plain JSON types."""
        return {"state": self.state, "message": self.message, "frames": self.frames,
                "dropped": self.dropped, "reconnects": self.reconnects}


def source_kind(spec: str) -> SourceKind:
    """What a source string names.

    Examples
    --------
    >>> [source_kind(s) for s in ("/dev/video0", "rtsp://cam/1", "-", "clip.mp4")]
    ['camera', 'stream', 'raw', 'file']
    """
    if spec == "-":
        return "raw"
    if "://" in spec:
        return "stream"
    if spec.startswith("/dev/"):
        return "camera"
    return "file"


_Image = npt.NDArray[np.uint8]
# A frame and the capture time as a perf_counter reading, or None.
_Item = tuple[_Image, float | None]


class LiveSource:
    """Frames of a camera, stream, video file or standard input, newest first.

    Parameters
    ----------
    spec : str
        What to read (see the module's text).
    size : (int, int), optional
        Width and height: asked of a camera; required for ``-``.
    frame_rate : float, optional
        Asked of a camera.
    pix_fmt : {"rgb24", "bgr24", "yuyv422"}
        Layout of raw frames on standard input.
    realtime : bool
        Play a video file at its own frame rate.
    loop : bool
        Start a video file again at its end.
    drop : bool or None
        Skip frames that are not taken in time; False waits for each to be
        taken.  None (the default) drops for everything but a video file
        read without ``realtime``.
    stdin : binary file, optional
        Where ``-`` reads from (standard input by default).
    on_status : callable, optional
        Called with each new :class:`SourceStatus`, on the reading thread.
    backoff : (float, float)
        The first and the longest wait, in seconds, before reopening.

    Raises
    ------
    ValueError
        For ``-`` without a size or with an unknown pixel format.

    Examples
    --------
    >>> LiveSource("clip.mp4").kind, LiveSource("clip.mp4").drop
    ('file', False)
    """

    def __init__(self, spec: str, *, size: tuple[int, int] | None = None,
                 frame_rate: float | None = None, pix_fmt: str = "rgb24", realtime: bool = False,
                 loop: bool = False, drop: bool | None = None, stdin: IO[bytes] | None = None,
                 on_status: Callable[[SourceStatus], None] | None = None,
                 backoff: tuple[float, float] = (BACKOFF_FIRST, BACKOFF_LONGEST)) -> None:
        self.spec = spec
        self.kind: SourceKind = source_kind(spec)
        if pix_fmt not in PIX_FMTS:
            raise ValueError(f"pix_fmt must be one of {', '.join(PIX_FMTS)}, got {pix_fmt!r}")
        if size is not None and (size[0] < 1 or size[1] < 1):
            raise ValueError(f"a size is at least 1x1, got {size[0]}x{size[1]}")
        if self.kind == "raw" and size is None:
            raise ValueError("raw frames on standard input need their size (--size WxH)")
        if self.kind == "raw" and pix_fmt == "yuyv422" and size is not None and (
                size[0] % 2 or size[1] % 2):
            raise ValueError(f"yuyv422 frames have an even width and height, got "
                             f"{size[0]}x{size[1]}")
        if frame_rate is not None and not frame_rate > 0:
            raise ValueError(f"a frame rate is more than 0, got {frame_rate}")
        self.size, self.frame_rate, self.pix_fmt = size, frame_rate, pix_fmt
        self.realtime, self.loop = realtime, loop
        self.drop = (self.kind != "file" or realtime) if drop is None else drop
        self._stdin = stdin
        self._on_status = on_status
        self._backoff = backoff
        self._cond = threading.Condition()
        self._stop = threading.Event()
        self._slot: LiveFrame | None = None
        self._finished = False
        self._frames = 0
        self._dropped = 0
        self._reconnects = 0
        self._status = SourceStatus("opening", f"opening {spec}", 0, 0, 0)
        self._thread: threading.Thread | None = None
        self._container: Any = None

    # -- the consumer's side ------------------------------------------------

    def start(self) -> LiveSource:
        """Starts reading (once); returns the source."""
        with self._cond:
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name=f"source {self.spec}",
                                                daemon=True)
                self._thread.start()
        return self

    def __enter__(self) -> LiveSource:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def get(self, timeout: float | None = None) -> LiveFrame | None:
        """The newest frame not yet taken; waits up to ``timeout`` seconds
        for one (None: as long as it takes).

        Returns None when the time is up, or when the source has ended and
        every frame was taken (:attr:`finished`).
        """
        self.start()
        with self._cond:
            self._cond.wait_for(lambda: self._slot is not None or self._finished, timeout)
            frame, self._slot = self._slot, None
            self._cond.notify_all()
            return frame

    @property
    def finished(self) -> bool:
        """True once the source has ended (or failed, or was closed) and its
        last frame was taken."""
        with self._cond:
            return self._finished and self._slot is None

    @property
    def status(self) -> SourceStatus:
        """What the source is doing now."""
        with self._cond:
            return replace(self._status, frames=self._frames, dropped=self._dropped,
                           reconnects=self._reconnects)

    def close(self) -> None:
        """Stops reading and closes the camera, stream or file; waits for
        the reading thread (at most the read time-out of a stalled stream)."""
        self._stop.set()
        with self._cond:
            self._cond.notify_all()
        # The reading thread closes its container itself (FFmpeg's demuxers
        # are not to be closed under a read): it sees the stop at the next
        # frame, or when a stalled read times out.
        thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join(READ_TIMEOUT + 1.0)
        with self._cond:
            self._finished = True
            self._set_status("closed", f"{self.spec}: closed")

    # -- the reading thread --------------------------------------------------

    def _set_status(self, state: SourceState, message: str) -> None:
        # Called with the condition held.
        self._status = SourceStatus(state, message, self._frames, self._dropped, self._reconnects)
        if self._on_status is not None:
            self._on_status(self._status)

    def _put(self, image: _Image, arrival: float) -> None:
        with self._cond:
            if not self.drop:
                self._cond.wait_for(lambda: self._slot is None or self._stop.is_set())
            if self._stop.is_set():
                return
            if self._slot is not None:
                self._dropped += 1
            self._slot = LiveFrame(self.spec, self._frames, image, arrival=arrival,
                                   dropped=self._dropped)
            self._frames += 1
            if self._status.state != "running":
                self._set_status("running", f"{self.spec}: reading")
            self._cond.notify_all()

    def _run(self) -> None:
        delay = self._backoff[0]
        try:
            while not self._stop.is_set():
                try:
                    got = False
                    for image, captured in self._open():
                        if self._stop.is_set():
                            return
                        self._put(image, time.perf_counter() if captured is None else captured)
                        got, delay = True, self._backoff[0]
                    reason = "the stream ended"
                    if self.kind == "file" and self.loop and got:
                        continue
                    if self.kind in ("file", "raw"):
                        with self._cond:
                            self._set_status("ended", f"{self.spec}: no more frames")
                        return
                except ReadError as e:
                    if self.kind not in ("camera", "stream"):
                        with self._cond:
                            self._set_status("failed", str(e))
                        return
                    reason = e.reason
                except Exception as e:  # noqa: BLE001 - told, not lost with the thread
                    with self._cond:
                        self._set_status("failed", f"{self.spec}: {type(e).__name__}: {e}")
                    return
                finally:
                    self._release()
                if self._stop.is_set():
                    return
                with self._cond:
                    self._reconnects += 1
                    self._set_status("reconnecting",
                                     f"{self.spec}: {reason}; reopening in {delay:g} s")
                if self._stop.wait(delay):
                    return
                delay = min(delay * 2, self._backoff[1])
        finally:
            with self._cond:
                self._finished = True
                self._cond.notify_all()

    def _release(self) -> None:
        with self._cond:
            container, self._container = self._container, None
        if container is not None:
            try:
                container.close()
            except Exception:  # noqa: BLE001 - already closed by close()
                pass

    def _open(self) -> Iterator[_Item]:
        if self.kind == "raw":
            return self._raw_frames()
        return self._av_frames()

    def _raw_frames(self) -> Iterator[_Item]:
        import sys  # noqa: PLC0415

        assert self.size is not None
        width, height = self.size
        stream = self._stdin if self._stdin is not None else sys.stdin.buffer
        size = width * height * PIX_FMTS[self.pix_fmt]
        while not self._stop.is_set():
            data = _read_exactly(stream, size)
            if data is None:
                return
            arrival = time.perf_counter()
            yield _raw_to_rgb(data, width, height, self.pix_fmt), arrival

    def _av_frames(self) -> Iterator[_Item]:
        try:
            import av  # noqa: PLC0415 - optional
        except ImportError:
            raise ReadError(self.spec, _NEED_AV) from None
        if self.kind == "file" and not os.path.exists(self.spec):
            raise ReadError(self.spec, "no such file")
        options: dict[str, str] = {}
        fmt: str | None = None
        if self.kind == "camera":
            fmt = "v4l2"
            if self.size is not None:
                options["video_size"] = f"{self.size[0]}x{self.size[1]}"
            if self.frame_rate is not None:
                options["framerate"] = f"{self.frame_rate:g}"
        elif self.kind == "stream":
            options.update(fflags="nobuffer", flags="low_delay")
            if self.spec.startswith(("rtsp://", "rtsps://")):
                options["rtsp_transport"] = "tcp"
        try:
            container = av.open(self.spec, mode="r", format=fmt, options=options,
                                timeout=(OPEN_TIMEOUT, READ_TIMEOUT))
        except (av.FFmpegError, OSError, ValueError) as e:
            raise ReadError(self.spec, f"cannot open ({e})") from None
        with self._cond:
            self._container = container
        if self._stop.is_set():
            return
        if not container.streams.video:
            raise ReadError(self.spec, "holds no video stream")
        stream = container.streams.video[0]
        if self.kind == "file":
            stream.thread_type = "AUTO"
        started: float | None = None
        first_time: float | None = None
        try:
            for vf in container.decode(stream):
                image = np.asarray(vf.to_ndarray(format="rgb24"), np.uint8)
                now = time.perf_counter()
                captured: float | None = None
                if self.kind == "camera" and vf.time is not None:
                    # The V4L2 reader stamps frames with the wall clock at capture.
                    lag = time.time() - float(vf.time)
                    if 0.0 <= lag < 2.0:
                        captured = now - lag
                if self.kind == "file" and self.realtime and vf.time is not None:
                    if started is None or first_time is None:
                        started, first_time = now, float(vf.time)
                    due = started + (float(vf.time) - first_time)
                    if due > now and self._stop.wait(due - now):
                        return
                    now = time.perf_counter()
                yield image, (captured if captured is not None else now)
        except (av.FFmpegError, OSError, ValueError) as e:
            if self._stop.is_set():
                return
            raise ReadError(self.spec, f"cannot read ({e})") from None


def _read_exactly(stream: IO[bytes], size: int) -> bytes | None:
    """``size`` bytes, or None at the end of the stream (a last, partial
    frame is dropped)."""
    parts: list[bytes] = []
    left = size
    while left:
        chunk = stream.read(left)
        if not chunk:
            return None
        parts.append(chunk)
        left -= len(chunk)
    return b"".join(parts)


def _raw_to_rgb(data: bytes, width: int, height: int, pix_fmt: str) -> _Image:
    """An RGB frame from raw bytes; YUYV is converted by PyAV's scaler."""
    if pix_fmt == "rgb24":
        return np.frombuffer(data, np.uint8).reshape(height, width, 3).copy()
    if pix_fmt == "bgr24":
        return np.ascontiguousarray(np.frombuffer(data, np.uint8).reshape(height, width, 3)[..., ::-1])
    try:
        import av  # noqa: PLC0415 - optional
    except ImportError:
        raise ReadError("-", "yuyv422 frames are converted by PyAV: pip install "
                        "'orbisect[video]'") from None
    packed = np.frombuffer(data, np.uint8).reshape(height, width, 2)
    frame = av.VideoFrame.from_ndarray(packed, format="yuyv422")
    return np.asarray(frame.to_ndarray(format="rgb24"), np.uint8)
