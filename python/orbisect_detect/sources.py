"""Frames from files: images, folders of images and videos.

:func:`expand_inputs` turns the paths a user gives into :class:`Source`
records, one per image file and one per video, folders expanded to their
images in sorted order.  A source reads its own frames
(:meth:`Source.frames`), each a :class:`Frame` that carries the file it came
from and its index within it.

Sources are small frozen records of plain values, so they can be pickled and
handed to a worker process: a worker reads a slice of a folder by taking a
slice of the list, and a range of a video through a source with ``start``
and ``stop`` (:func:`split_video` cuts a video into such ranges), which seeks
to the range and decodes from there.

Videos are read with PyAV (``av``, the ``[video]`` extra), one frame at a
time.  Frames are (H, W, 3) uint8 arrays holding the file's channels as they
are decoded: R, G, B for every image and video the libraries know.

A file that cannot be read raises :class:`ReadError`, whose message starts
with the file's name; :func:`read_frames` reports such errors in its output
and goes on with the next source.

Examples
--------
>>> import tempfile, pathlib
>>> from PIL import Image
>>> folder = pathlib.Path(tempfile.mkdtemp())
>>> for name in ("b.png", "a.png", "notes.txt"):
...     Image.new("RGB", (8, 6)).save(folder / name) if name.endswith(".png") else None
>>> sources, errors = expand_inputs([folder])
>>> [pathlib.Path(s.path).name for s in sources], errors
(['a.png', 'b.png'], [])
>>> [(f.frame, f.image.shape) for f in sources[0].frames()]
[(0, (6, 8, 3))]
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from fractions import Fraction
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt
from PIL import Image, UnidentifiedImageError

if TYPE_CHECKING:
    from av.container import InputContainer
    from av.video.stream import VideoStream

__all__ = [
    "IMAGE_SUFFIXES",
    "VIDEO_SUFFIXES",
    "Frame",
    "ReadError",
    "Source",
    "expand_inputs",
    "read_frames",
    "read_image",
    "split_video",
    "video_frame_count",
]

#: File name suffixes (lower case) read as images, also when found in a folder.
IMAGE_SUFFIXES = frozenset({".png", ".jpg", ".jpeg"})
#: File name suffixes (lower case) read as videos.
VIDEO_SUFFIXES = frozenset({".mp4", ".m4v", ".mov", ".avi", ".mkv", ".webm", ".mpg", ".mpeg",
                            ".ts", ".wmv", ".flv"})

_NEED_AV = "reading video needs PyAV, which is not installed: pip install 'orbisect[video]'"


class ReadError(Exception):
    """A file, or a frame of it, that cannot be read.

    Attributes
    ----------
    source : str
        The file.
    frame : int or None
        Index of the frame that failed in a video, None for a whole file.
    reason : str
        What went wrong.

    Examples
    --------
    >>> str(ReadError("clip.mp4", "invalid data", frame=12))
    'clip.mp4, frame 12: invalid data'
    """

    def __init__(self, source: str, reason: str, *, frame: int | None = None) -> None:
        self.source, self.reason, self.frame = source, reason, frame
        where = source if frame is None else f"{source}, frame {frame}"
        super().__init__(f"{where}: {reason}")

    def __reduce__(self) -> tuple[Any, ...]:
        # Keyword-only arguments need this to cross a process boundary.
        return (_read_error, (self.source, self.reason, self.frame))


def _read_error(source: str, reason: str, frame: int | None) -> ReadError:
    return ReadError(source, reason, frame=frame)


@dataclass(frozen=True)
class Frame:
    """One frame and where it came from.

    Attributes
    ----------
    source : str
        The file, as given (a folder's images are joined to the folder).
    frame : int
        Index of the frame in the file: 0 for an image.
    image : ndarray
        (H, W, 3) uint8, the channels as decoded (R, G, B).

    Examples
    --------
    >>> Frame("a.png", 0, np.zeros((2, 3, 3), np.uint8)).image.shape
    (2, 3, 3)
    """

    source: str
    frame: int
    image: npt.NDArray[np.uint8]


@dataclass(frozen=True)
class Source:
    """An image file, or a video with the range of frames to read.

    Attributes
    ----------
    path : str
        The file.
    kind : {"image", "video"}
        How it is read.
    start : int
        First frame to read (videos).
    stop : int or None
        Frame to stop before (videos); None reads to the end.

    Examples
    --------
    >>> Source("clip.mp4", "video", start=100, stop=200)
    Source(path='clip.mp4', kind='video', start=100, stop=200)
    """

    path: str
    kind: Literal["image", "video"]
    start: int = 0
    stop: int | None = None

    def frames(self) -> Iterator[Frame]:
        """The source's frames, read one at a time.

        Raises
        ------
        ReadError
            When the file cannot be opened or decoded; a video raises it at
            the first frame that fails, after the frames before it.

        Examples
        --------
        >>> list(Source("missing.png", "image").frames())
        Traceback (most recent call last):
        ...
        orbisect_detect.sources.ReadError: missing.png: no such file
        """
        if self.kind == "image":
            yield Frame(self.path, 0, read_image(self.path))
        else:
            yield from _video_frames(self.path, self.start, self.stop)


def _kind(path: str) -> Literal["image", "video"]:
    return "video" if os.path.splitext(path)[1].lower() in VIDEO_SUFFIXES else "image"


def expand_inputs(paths: Iterable[str | os.PathLike[str]]) -> tuple[list[Source], list[ReadError]]:
    """The sources named by files and folders.

    A folder gives its image files (:data:`IMAGE_SUFFIXES`, not its
    subfolders) in sorted order; other files in it are passed over.  A file
    is a video when its suffix is one of :data:`VIDEO_SUFFIXES`, else an
    image.  Files are not opened here: a missing or unreadable file fails
    when its frames are read.

    Parameters
    ----------
    paths : iterable of str or path
        Files and folders, in the order to read them.

    Returns
    -------
    sources : list of Source
        In the order given.
    errors : list of ReadError
        Folders holding no image.

    Examples
    --------
    >>> expand_inputs(["a.png", "clip.MP4"])[0]
    [Source(path='a.png', kind='image', start=0, stop=None), Source(path='clip.MP4', kind='video', start=0, stop=None)]
    """
    sources: list[Source] = []
    errors: list[ReadError] = []
    for p in paths:
        path = os.fspath(p)
        if os.path.isdir(path):
            names = sorted(n for n in os.listdir(path)
                           if os.path.splitext(n)[1].lower() in IMAGE_SUFFIXES
                           and os.path.isfile(os.path.join(path, n)))
            if not names:
                errors.append(ReadError(path, "the folder holds no PNG or JPEG file"))
            sources.extend(Source(os.path.join(path, n), "image") for n in names)
        else:
            sources.append(Source(path, _kind(path)))
    return sources, errors


def read_image(path: str | os.PathLike[str]) -> npt.NDArray[np.uint8]:
    """An image file as a new (H, W, 3) uint8 RGB array.

    Grey, palette and alpha images are converted to RGB (alpha dropped).

    Raises
    ------
    ReadError
        When the file is missing, not an image or corrupt.

    Examples
    --------
    >>> read_image("missing.png")
    Traceback (most recent call last):
    ...
    orbisect_detect.sources.ReadError: missing.png: no such file
    """
    name = os.fspath(path)
    try:
        with Image.open(name) as im:
            rgb = im.convert("RGB")          # decodes the whole file
    except FileNotFoundError:
        raise ReadError(name, "no such file") from None
    except IsADirectoryError:
        raise ReadError(name, "is a folder") from None
    except UnidentifiedImageError:
        raise ReadError(name, "not an image file that can be read") from None
    except (OSError, ValueError, SyntaxError, Image.DecompressionBombError) as e:
        raise ReadError(name, f"cannot decode the image ({e})") from None
    return np.array(rgb, dtype=np.uint8)      # a writable copy


def _open_video(path: str) -> InputContainer:
    try:
        import av  # noqa: PLC0415 - optional
    except ImportError:
        raise ReadError(path, _NEED_AV) from None
    if not os.path.exists(path):
        raise ReadError(path, "no such file")
    try:
        container = av.open(path, mode="r")
    except (av.FFmpegError, OSError, ValueError) as e:
        raise ReadError(path, f"cannot open the video ({e})") from None
    if not container.streams.video:
        container.close()
        raise ReadError(path, "the file holds no video stream")
    return container


def video_frame_count(path: str) -> int | None:
    """Number of frames of a video as its header gives it, or None when it
    does not say (some containers don't).

    Raises
    ------
    ReadError
        When the file cannot be opened as a video, or PyAV is missing.

    Examples
    --------
    >>> video_frame_count("missing.mp4")     # doctest: +ELLIPSIS
    Traceback (most recent call last):
    ...
    orbisect_detect.sources.ReadError: missing.mp4: ...
    """
    with _open_video(path) as container:
        n = int(container.streams.video[0].frames or 0)
    return n if n > 0 else None


def split_video(source: Source, frames_per_part: int) -> list[Source]:
    """A video source cut into ranges of ``frames_per_part`` frames.

    Each part reads its own range (seek, then decode), so parts can be read
    by different processes.  A video whose header gives no frame count stays
    one part.

    Examples
    --------
    >>> split_video(Source("clip.mp4", "video", start=0, stop=25), 10)   # doctest: +NORMALIZE_WHITESPACE
    [Source(path='clip.mp4', kind='video', start=0, stop=10),
     Source(path='clip.mp4', kind='video', start=10, stop=20),
     Source(path='clip.mp4', kind='video', start=20, stop=25)]
    """
    if source.kind != "video":
        raise ValueError(f"{source.path} is not a video source")
    if frames_per_part < 1:
        raise ValueError(f"frames_per_part must be at least 1, got {frames_per_part}")
    stop = source.stop if source.stop is not None else video_frame_count(source.path)
    if stop is None:
        return [source]
    return [Source(source.path, "video", a, min(a + frames_per_part, stop))
            for a in range(source.start, stop, frames_per_part)]


def _video_frames(path: str, start: int, stop: int | None) -> Iterator[Frame]:
    """Decodes frames [start, stop) of a video; indices follow the stream's
    time stamps after a seek, and count decoded frames from the start."""
    if start < 0 or (stop is not None and stop < start):
        raise ValueError(f"a frame range needs 0 <= start <= stop, got {start}, {stop}")
    if stop is not None and stop == start:
        return
    container = _open_video(path)
    import av  # noqa: PLC0415 - present: the video is open
    index = -1
    try:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        to_index = _frame_indexer(stream) if start > 0 else None
        if to_index is not None:
            # Seek to the last key frame at or before the start and decode
            # on from there; indices come from the frames' time stamps.
            # Without a time base or a rate, decode from the beginning.
            container.seek(_frame_pts(stream, start), stream=stream, backward=True, any_frame=False)
        for count, vf in enumerate(container.decode(stream)):
            if to_index is None:
                index = count
            elif vf.pts is None:
                raise ReadError(path, "a frame without a time stamp: the video can only be "
                                "read from its first frame", frame=None)
            else:
                index = to_index(vf.pts)
            if index < start:
                continue
            if stop is not None and index >= stop:
                break
            yield Frame(path, index, np.asarray(vf.to_ndarray(format="rgb24"), np.uint8))
    except (av.FFmpegError, OSError, ValueError) as e:
        raise ReadError(path, f"cannot decode the video ({e})", frame=index + 1) from None
    finally:
        container.close()


def _fraction(r: Any) -> Fraction | None:
    """A rational of PyAV (an AVRational, or a Fraction in older versions)."""
    if not r or not r.denominator:
        return None
    return Fraction(int(r.numerator), int(r.denominator))


def _timing(stream: VideoStream) -> tuple[Fraction, Fraction, int] | None:
    """Frame rate, time base and first time stamp; None when the stream
    does not give them."""
    rate = _fraction(stream.average_rate) or _fraction(stream.guessed_rate)
    base = _fraction(stream.time_base)
    if rate is None or base is None:
        return None
    return rate, base, int(stream.start_time or 0)


def _frame_indexer(stream: VideoStream) -> Callable[[int], int] | None:
    """A map from a time stamp to a frame index, or None when the stream
    gives no time base or frame rate."""
    timing = _timing(stream)
    if timing is None:
        return None
    rate, base, first = timing
    step = base * rate

    def to_index(pts: int) -> int:
        return math.floor((pts - first) * step + Fraction(1, 2))
    return to_index


def _frame_pts(stream: VideoStream, index: int) -> int:
    timing = _timing(stream)
    assert timing is not None
    rate, base, first = timing
    return first + math.floor(Fraction(index) / rate / base)


def read_frames(sources: Sequence[Source] | Iterable[Source]) -> Iterator[Frame | ReadError]:
    """The frames of several sources in turn; a source that fails gives its
    :class:`ReadError` in the stream and the next source follows.

    Examples
    --------
    >>> [type(x).__name__ for x in read_frames([Source("missing.png", "image")])]
    ['ReadError']
    """
    for source in sources:
        try:
            yield from source.frames()
        except ReadError as e:
            yield e


# Live sources (a camera, a network stream, a file played as one, raw frames
# on standard input) live in their own module; they are part of this one's
# interface.
from ._live_sources import (  # noqa: E402
    PIX_FMTS,
    LiveFrame,
    LiveSource,
    SourceStatus,
    source_kind,
)

__all__ += ["PIX_FMTS", "LiveFrame", "LiveSource", "SourceStatus", "source_kind"]
