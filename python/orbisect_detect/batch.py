"""Detection over many frames: in this process, or spread over a Dask cluster.

:func:`detect_many` runs a :class:`~orbisect_detect.FieldDetector` over image
files, folders of images and videos, and yields one :class:`FrameDetection`
per frame, in input order.

Without a client it works in the calling process with the detector it is
given, whose buffers are reused from frame to frame.  With a
``dask.distributed.Client`` the inputs are cut into tasks of about ``chunk``
frames each: runs of consecutive images, and ranges of a video that the
worker decodes itself after a seek.  Only file names, frame ranges and the
detector's parameters travel to the workers, and only detections come back:
pixels never pass through the scheduler.  Each worker thread builds its own
detector from those parameters once and keeps it for the tasks that follow.
Results stream back as tasks finish and are put back in input order.

Reproducibility.  With ``FieldDetector(seed=N)`` every frame is seeded from
``N`` and its own scan points, so a run gives the same detections (but for
their timings) in one process, on any number of workers and with any
``chunk``.

Failures.  A file or frame that cannot be read is handed to ``on_problem``
as a :class:`~orbisect_detect.sources.ReadError` at its place in the input
order, and the task goes on with its next file or video range.  A worker
that dies has its tasks run again elsewhere by Dask; a task's detections
come back only once it has finished, so no frame is lost or yielded twice.
A task that fails as a whole (after Dask's retries, when it kills every
worker it runs on) is reported for each file or range it held.

Files are opened where they are processed: on a cluster of several
machines every worker must see them under the same absolute path as the
client (a shared file system).  The client reads the videos' packets once (no
decoding) to cut them into ranges.

Examples
--------
>>> import tempfile, pathlib
>>> from PIL import Image
>>> from orbisect_detect import FieldDetector
>>> from orbisect_detect.scenes import make_scene
>>> folder = pathlib.Path(tempfile.mkdtemp())
>>> for k in range(2):
...     Image.fromarray(make_scene(1, k).image).save(folder / f"{k}.png")
>>> [(pathlib.Path(r.source).name, r.frame) for r in detect_many([folder], FieldDetector(seed=0))]
[('0.png', 0), ('1.png', 0)]

On a cluster (``pip install 'orbisect[dask]'``)::

    from dask.distributed import Client
    with Client("tcp://scheduler:8786") as client:
        for source, frame, detection in detect_many(["match.mp4"], FieldDetector(seed=0),
                                                    client=client):
            ...
"""

from __future__ import annotations

import inspect
import logging
import os
import threading
import uuid
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, NamedTuple

from .detector import Detection, FieldDetector
from .sources import ReadError, Source, VideoIndex, expand_inputs, index_ranges

if TYPE_CHECKING:
    from distributed import Client

__all__ = ["DEFAULT_CHUNK", "DaskNotInstalled", "FrameDetection", "cluster_advice", "detect_many",
           "detection_failure", "idle_cores", "local_cluster", "require_dask"]

#: Frames per task on a cluster.  A frame takes a few milliseconds to read
#: and detect, a task some milliseconds of the scheduler's time: tasks of a
#: few hundred frames keep the scheduler's share small, and a video range
#: this long decodes few frames before its start after the seek.
DEFAULT_CHUNK = 256

_NEED_DASK = "needs Dask, which is not installed: pip install 'orbisect[dask]'"
_log = logging.getLogger(__name__)


class DaskNotInstalled(ImportError):
    """Running on a cluster needs ``dask[distributed]``, the ``[dask]`` extra.

    Examples
    --------
    >>> str(DaskNotInstalled("--workers"))
    "--workers needs Dask, which is not installed: pip install 'orbisect[dask]'"
    """

    def __init__(self, what: str = "running on a Dask cluster") -> None:
        super().__init__(f"{what} {_NEED_DASK}")


def require_dask(what: str = "running on a Dask cluster") -> None:
    """Checks that ``dask.distributed`` can be imported.

    Parameters
    ----------
    what : str
        What needs it, for the message.

    Raises
    ------
    DaskNotInstalled
        With a message that says what to install.

    Examples
    --------
    >>> require_dask()          # silent when the [dask] extra is installed
    """
    try:
        import distributed  # noqa: F401, PLC0415 - optional
    except ImportError:
        raise DaskNotInstalled(what) from None


class FrameDetection(NamedTuple):
    """One frame's detection and where the frame came from.

    Attributes
    ----------
    source : str
        The file, as given (a folder's images joined to the folder).
    frame : int
        Index of the frame in the file: 0 for an image.
    detection : Detection
        What the frame holds.

    Examples
    --------
    >>> source, frame, detection = FrameDetection("a.png", 0, Detection(None, []))
    >>> source, frame, detection.ball
    ('a.png', 0, None)
    """

    source: str
    frame: int
    detection: Detection


def idle_cores() -> tuple[int, float]:
    """The cores this process may run on, and about how many of them are
    idle (that number less the load average of the last minute).

    Examples
    --------
    >>> cores, idle = idle_cores()
    >>> cores >= 1 and 0 <= idle <= cores
    True
    """
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    try:
        load = os.getloadavg()[0]
    except (AttributeError, OSError):
        load = 0.0
    return cores, min(max(cores - load, 0.0), float(cores))


def cluster_advice(workers: int) -> str | None:
    """A word of warning when a local cluster of ``workers`` processes
    cannot gain: each worker and the calling process (which reads the
    results and writes the records) want a core of their own, so it takes
    ``workers + 1`` idle cores.  None when there are that many.

    Examples
    --------
    >>> cluster_advice(10_000)      # doctest: +ELLIPSIS
    '--workers 10000 wants 10001 idle cores ...'
    """
    cores, idle = idle_cores()
    if idle >= workers + 1:
        return None
    return (f"--workers {workers} wants {workers + 1} idle cores (one per worker and one for "
            f"this process); this machine gives {cores}, about {idle:.1f} of them idle: "
            f"expect little or no gain over one process")


@contextmanager
def local_cluster(workers: int) -> Iterator[Client]:
    """A client of a new Dask cluster of worker processes on this machine,
    closed on leaving the block.

    Each worker is a process of one thread (the fits of a process run one
    at a time); the cluster listens on the loopback address only and has no
    dashboard.  Its workers keep the C library's allocator as it is: Dask
    otherwise starts them with a low ``MALLOC_TRIM_THRESHOLD_``, under which
    every frame-sized buffer is mapped afresh from the kernel, and a frame
    takes about a third longer.  Nor do they run Dask's sampling profiler,
    which only the dashboard shows and which costs some 10 % of a worker's
    time here.

    Parameters
    ----------
    workers : int
        Number of worker processes.

    Raises
    ------
    DaskNotInstalled
        When ``distributed`` cannot be imported.

    Examples
    --------
    >>> with local_cluster(2) as client:                  # doctest: +SKIP
    ...     records = list(detect_many(["clip.mp4"], FieldDetector(seed=0), client=client))
    """
    if workers < 1:
        raise ValueError(f"a cluster needs at least 1 worker, got {workers}")
    require_dask("a local Dask cluster")
    import dask  # noqa: PLC0415 - optional
    import distributed  # noqa: PLC0415 - optional

    dd: Any = distributed           # its constructors are untyped
    with dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None,
                          "distributed.worker.profile.enabled": False}):
        cluster = dd.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None)
    with cluster, dd.Client(cluster) as client:
        yield client


# ---- what travels to the workers -------------------------------------------------

@dataclass(frozen=True)
class _DetectorSpec:
    """A detector's class and constructor arguments: each worker thread
    builds its own detector from them (a detector's buffers are not to be
    shared, and need not travel)."""

    kind: type[FieldDetector]
    arguments: tuple[tuple[str, Any], ...]

    @classmethod
    def of(cls, detector: FieldDetector) -> _DetectorSpec:
        if not isinstance(detector, FieldDetector):
            raise TypeError(f"detector must be a FieldDetector, got {type(detector).__name__}")
        names = [p.name for p in inspect.signature(type(detector)).parameters.values()
                 if p.kind is inspect.Parameter.KEYWORD_ONLY]
        missing = [n for n in names if not hasattr(detector, n)]
        if missing:
            raise TypeError(f"a {type(detector).__name__} cannot be rebuilt on the workers: it "
                            f"keeps no attribute for its arguments {', '.join(missing)}")
        return cls(type(detector), tuple((n, getattr(detector, n)) for n in names))

    def build(self) -> FieldDetector:
        return self.kind(**dict(self.arguments))


_WORKER = threading.local()


def _worker_detector(spec: _DetectorSpec) -> FieldDetector:
    """The calling thread's detector for spec, built on first use."""
    cached: tuple[_DetectorSpec, FieldDetector] | None = getattr(_WORKER, "detector", None)
    if cached is None or cached[0] != spec:
        cached = (spec, spec.build())
        _WORKER.detector = cached
    return cached[1]


@dataclass(frozen=True)
class _Piece:
    """A source as a worker reads it, and its place in the input list."""

    position: int
    source: Source


@dataclass(frozen=True)
class _Found:
    position: int
    frame: int
    detection: Detection


@dataclass(frozen=True)
class _Failed:
    position: int
    frame: int | None
    reason: str


@dataclass(frozen=True)
class _Noted:
    position: int
    note: str


_Item = _Found | _Failed | _Noted


def detection_failure(error: Exception) -> str:
    """What a problem report says of a frame the detector failed on.

    Examples
    --------
    >>> detection_failure(ZeroDivisionError("division by zero"))
    'the detector failed on it (ZeroDivisionError: division by zero)'
    """
    return f"the detector failed on it ({type(error).__name__}: {error})"


def _detect_source(source: Source, detector: FieldDetector
                   ) -> Iterator[tuple[int, Detection] | ReadError | str]:
    """Reads a source's frames and detects in each; a frame that cannot be
    read ends the source with its error, one the detector fails on (any
    exception) is reported and the next frame follows.  Notes on the file
    come as strings before its first frame."""
    try:
        for f in source.frames():
            yield from f.notes
            try:
                detection = detector.detect(f.image)
            except Exception as e:  # noqa: BLE001 - one bad frame costs only itself
                yield ReadError(source.path, detection_failure(e), frame=f.frame)
                continue
            yield f.frame, detection
    except ReadError as e:
        yield e


def _run_task(pieces: tuple[_Piece, ...], spec: _DetectorSpec) -> list[_Item]:
    """A task, on a worker: every frame of its pieces, in order."""
    detector = _worker_detector(spec)
    out: list[_Item] = []
    for piece in pieces:
        for item in _detect_source(piece.source, detector):
            if isinstance(item, ReadError):
                out.append(_Failed(piece.position, item.frame, item.reason))
            elif isinstance(item, str):
                out.append(_Noted(piece.position, item))
            else:
                out.append(_Found(piece.position, *item))
    return out


def _plan(sources: Sequence[Source], chunk: int) -> list[tuple[_Piece, ...]]:
    """Cuts the sources into tasks of ``chunk`` frames (the last one may
    hold fewer): consecutive images, and video ranges cut to fill the task
    they join, on the frames of the video's :class:`VideoIndex` (read here,
    once).  A video whose frames the index cannot tell apart makes a task
    of its own.  Paths are made absolute, for workers whose working folder
    differs."""
    tasks: list[tuple[_Piece, ...]] = []
    current: list[_Piece] = []
    size = 0

    def add(piece: _Piece, frames: int) -> None:
        nonlocal current, size
        if current and size + frames > chunk:
            tasks.append(tuple(current))
            current, size = [], 0
        current.append(piece)
        size += frames

    for position, s in enumerate(sources):
        source = replace(s, path=os.path.abspath(s.path))
        if source.kind == "image":
            add(_Piece(position, source), 1)
            continue
        try:
            index = VideoIndex.of(source.path)
        except ReadError:
            index = None                    # the worker reports why it cannot be read
        if index is None or not index.exact:
            add(_Piece(position, source), chunk)
            continue
        first = chunk - size if 0 < size < chunk else chunk
        for part in index_ranges(source, index, [first, chunk]):
            end = len(index) if part.stop is None else part.stop
            add(_Piece(position, part), max(end - part.start, 1))
    if current:
        tasks.append(tuple(current))
    return tasks


def _describe_piece(source: Source) -> str:
    if source.kind == "video" and (source.start or source.stop is not None):
        last = "the end" if source.stop is None else str(source.stop - 1)
        return f"frames {source.start} to {last} "
    return ""


# ---- the driver ---------------------------------------------------------------------

def detect_many(inputs: Iterable[str | os.PathLike[str]], detector: FieldDetector, *,
                client: Client | None = None, chunk: int = DEFAULT_CHUNK,
                on_problem: Callable[[ReadError], None] | None = None,
                on_progress: Callable[[int], None] | None = None,
                on_note: Callable[[str, str], None] | None = None) -> Iterator[FrameDetection]:
    """Detects in every frame of the inputs; yields the frames in input order.

    Parameters
    ----------
    inputs : iterable of str or path
        Image files, folders of images (their images in sorted order) and
        videos (:func:`~orbisect_detect.sources.expand_inputs`).
    detector : FieldDetector
        Used as it is without a client.  With a client, its class and
        constructor arguments are sent to the workers, each of whose threads
        builds its own.
    client : dask.distributed.Client, optional
        Runs the work on its cluster; None runs it here.
    chunk : int
        Frames per task on a cluster (default :data:`DEFAULT_CHUNK`): images
        are grouped and videos cut into ranges of this many frames.  It does
        not change the results.
    on_problem : callable, optional
        Called with a :class:`~orbisect_detect.sources.ReadError` for each
        file, video range or frame that could not be read or processed, at
        its place in the input order (folders without images first).  By
        default the problem is logged as a warning of this module's logger.
    on_progress : callable, optional
        Called with a number of frames each time that many have been
        processed: per frame here, per finished task on a cluster (tasks
        finish in any order, so this runs ahead of the yielded frames).
    on_note : callable, optional
        Called with a file and a remark on it that does not stop it from
        being processed (a greyscale image holds no colour), before its
        first frame.  By default the note is logged as a warning.

    Yields
    ------
    FrameDetection
        ``(source, frame, detection)``: the file as given, the frame's index
        in it (0 for an image), and the detection.

    Raises
    ------
    DaskNotInstalled
        With a client, when ``distributed`` cannot be imported.
    ValueError
        When ``chunk`` is less than 1.

    Notes
    -----
    A video frame that cannot be decoded ends the reading of its video
    here, and of its range on a cluster: the ranges after it are still read
    there.  A frame the detector fails on (any exception) is reported and
    costs only itself, here and on a cluster.  For inputs that decode, the results do not depend on where they
    were computed.

    Examples
    --------
    >>> problems = []
    >>> list(detect_many(["missing.png"], FieldDetector(seed=0), on_problem=problems.append))
    []
    >>> [str(p) for p in problems]
    ['missing.png: no such file']
    """
    if chunk < 1:
        raise ValueError(f"chunk must be at least 1 frame, got {chunk}")
    report = on_problem if on_problem is not None else _log_problem
    note = on_note if on_note is not None else _log_note
    spec = None
    if client is not None:          # refuse before any work
        require_dask("detect_many with a client")
        spec = _DetectorSpec.of(detector)
    sources, problems = expand_inputs(inputs)
    for e in problems:
        report(e)
    if client is None or spec is None:
        return _detect_here(sources, detector, report, on_progress, note)
    return _detect_on_cluster(sources, spec, client, chunk, report, on_progress, note)


def _log_problem(problem: ReadError) -> None:
    _log.warning("%s (skipped)", problem)


def _log_note(source: str, note: str) -> None:
    _log.warning("%s: %s", source, note)


def _detect_here(sources: Sequence[Source], detector: FieldDetector,
                 report: Callable[[ReadError], None],
                 on_progress: Callable[[int], None] | None,
                 note: Callable[[str, str], None]) -> Iterator[FrameDetection]:
    for source in sources:
        for item in _detect_source(source, detector):
            if isinstance(item, ReadError):
                report(item)
                continue
            if isinstance(item, str):
                note(source.path, item)
                continue
            yield FrameDetection(source.path, item[0], item[1])
            if on_progress is not None:
                on_progress(1)


def _detect_on_cluster(sources: Sequence[Source], spec: _DetectorSpec, client: Client, chunk: int,
                       report: Callable[[ReadError], None],
                       on_progress: Callable[[int], None] | None,
                       note: Callable[[str, str], None]) -> Iterator[FrameDetection]:
    import distributed  # noqa: PLC0415 - optional, there when a client is

    # Parts of distributed's interface are untyped: futures are handled as Any.
    dd: Any = distributed
    tasks = _plan(sources, chunk)
    run = uuid.uuid4().hex
    pending: dict[str, int] = {}
    futures: list[Any] = []
    for i, pieces in enumerate(tasks):
        key = f"orbisect-detect-{run}-{i}"
        futures.append(client.submit(_run_task, pieces, spec, key=key))
        pending[key] = i
    finished: dict[int, list[_Item]] = {}
    following = 0
    try:
        for future in dd.as_completed(futures):
            i = pending.pop(future.key)
            try:
                items: list[_Item] = future.result()
            except Exception as e:  # noqa: BLE001 - the task as a whole failed: report it
                items = [_Failed(p.position, None, f"{_describe_piece(p.source)}not processed: "
                                 f"{type(e).__name__}: {e}") for p in tasks[i]]
            future.release()
            finished[i] = items
            if on_progress is not None:
                on_progress(sum(isinstance(x, _Found) for x in items))
            while following in finished:
                for x in finished.pop(following):
                    name = sources[x.position].path
                    if isinstance(x, _Found):
                        yield FrameDetection(name, x.frame, x.detection)
                    elif isinstance(x, _Noted):
                        note(name, x.note)
                    else:
                        report(ReadError(name, x.reason, frame=x.frame))
                following += 1
    finally:
        # Left early (the consumer stopped, or an error): drop the rest.
        rest = [f for f in futures if f.key in pending]
        if rest:
            cluster: Any = client
            cluster.cancel(rest)
