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
import warnings
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from fractions import Fraction
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageOps, UnidentifiedImageError

if TYPE_CHECKING:
    from av.container import InputContainer
    from av.video.stream import VideoStream

__all__ = [
    "IMAGE_SUFFIXES",
    "MAX_IMAGE_PIXELS",
    "VIDEO_SUFFIXES",
    "Frame",
    "ReadError",
    "Source",
    "VideoIndex",
    "expand_inputs",
    "index_ranges",
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

#: Largest image read, in pixels (10 000 x 10 000; 300 MB as an RGB array).
#: A larger one is refused with a :class:`ReadError` that gives its size.
MAX_IMAGE_PIXELS = 100_000_000

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
    notes : tuple of str
        Remarks on the file that do not stop it from being read (a
        greyscale image holds no colour), given with its first frame only.

    Examples
    --------
    >>> Frame("a.png", 0, np.zeros((2, 3, 3), np.uint8)).image.shape
    (2, 3, 3)
    """

    source: str
    frame: int
    image: npt.NDArray[np.uint8]
    notes: tuple[str, ...] = field(default=(), repr=False, compare=False)


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
    times : tuple of int or None
        The time stamps of frames ``start`` onwards, as
        :class:`VideoIndex` found them (:func:`split_video` sets them):
        the range's frames are told apart by them after a seek.  None
        reads the video from its first frame and counts.
    seek : int or None
        Where to seek before decoding the range (a key frame's time stamp
        in the stream's time base); None decodes from the beginning.

    Examples
    --------
    >>> Source("clip.mp4", "video", start=100, stop=200)
    Source(path='clip.mp4', kind='video', start=100, stop=200)
    """

    path: str
    kind: Literal["image", "video"]
    start: int = 0
    stop: int | None = None
    times: tuple[int, ...] | None = field(default=None, repr=False)
    seek: int | None = field(default=None, repr=False)

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
            image, notes = _read_image(self.path)
            yield Frame(self.path, 0, image, notes)
        elif self.times is None:
            yield from _video_frames(self.path, self.start, self.stop)
        else:
            yield from _video_range(self)


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
    """An image file as a new (H, W, 3) uint8 RGB array, upright.

    The file's EXIF orientation is applied as image viewers apply it (a
    phone photo taken on its side comes out upright), so coordinates are
    those of the picture a user sees.  Grey, palette and alpha images are
    converted to RGB (alpha dropped).

    Raises
    ------
    ReadError
        When the file is missing, not an image, corrupt, or larger than
        :data:`MAX_IMAGE_PIXELS`.

    Examples
    --------
    >>> read_image("missing.png")
    Traceback (most recent call last):
    ...
    orbisect_detect.sources.ReadError: missing.png: no such file
    """
    return _read_image(path)[0]


#: Pillow modes without colour.
_GREY_MODES = frozenset({"1", "L", "LA", "La", "I", "I;16", "I;16B", "I;16L", "I;16N", "F"})


def _read_image(path: str | os.PathLike[str]) -> tuple[npt.NDArray[np.uint8], tuple[str, ...]]:
    """The image and the notes on it (greyscale)."""
    name = os.fspath(path)
    try:
        with warnings.catch_warnings():
            # The size is checked below against this package's own limit.
            warnings.simplefilter("ignore", Image.DecompressionBombWarning)
            im = Image.open(name)
        with im:
            width, height = im.size
            if width * height > MAX_IMAGE_PIXELS:
                raise _too_large(name, width, height)
            grey = im.mode in _GREY_MODES or (im.mode == "P" and _grey_palette(im))
            upright = ImageOps.exif_transpose(im)
            rgb = upright.convert("RGB")     # decodes the whole file
    except FileNotFoundError:
        raise ReadError(name, "no such file") from None
    except IsADirectoryError:
        raise ReadError(name, "is a folder") from None
    except UnidentifiedImageError:
        raise ReadError(name, "not an image file that can be read") from None
    except Image.DecompressionBombError:
        raise _too_large(name, None, None) from None
    except (OSError, ValueError, SyntaxError) as e:
        raise ReadError(name, f"cannot decode the image ({e})") from None
    image = np.array(rgb, dtype=np.uint8)    # a writable copy
    notes = ("a greyscale image: it holds no colour, so no ball or field can be told apart "
             "in it",) if grey else ()
    return image, notes


def _too_large(name: str, width: int | None, height: int | None) -> ReadError:
    size = "" if width is None or height is None else \
        f"{width}x{height} pixels ({width * height / 1e6:.0f} megapixels), "
    return ReadError(name, f"the image is too large: {size}more than the "
                     f"{MAX_IMAGE_PIXELS / 1e6:.0f} megapixels orbisect reads; scale it down")


def _grey_palette(im: Image.Image) -> bool:
    palette = im.getpalette() or []
    rgb = np.array(palette[: len(palette) // 3 * 3], np.uint8).reshape(-1, 3)
    return bool(np.all(rgb == rgb[:, :1]))


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
    does not say (some containers don't).  The header may be wrong (edit
    lists, files cut short): :class:`VideoIndex` counts the frames.

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


class VideoIndex:
    """The frames of a video, found by reading its packets once (without
    decoding them).

    A video's frames are numbered by the order in which a decoder that
    starts at the beginning of the file gives them out: presentation
    order, whatever the time stamps say (gaps of dropped frames, variable
    frame rates), with B-frames put in order and frames an edit list
    leaves out not counted.  Each packet that is not discarded is one
    frame, and the frames' time stamps, sorted, are the numbering; each
    frame also gets the key frame to seek to before decoding it.

    Attributes
    ----------
    path : str
        The file.
    times : ndarray of int64
        Time stamp of frame k (stream time base), increasing.
    seeks : ndarray of int64
        For frame k, the time stamp to seek to: a key frame's decoding time
        stamp, at or before every packet that frame k needs.
    exact : bool
        False when the time stamps cannot tell the frames apart (some are
        missing or repeated): such a video is read from its first frame
        only, counting.

    Examples
    --------
    >>> VideoIndex.of("missing.mp4")     # doctest: +ELLIPSIS
    Traceback (most recent call last):
    ...
    orbisect_detect.sources.ReadError: missing.mp4: ...
    """

    def __init__(self, path: str, times: npt.NDArray[np.int64], seeks: npt.NDArray[np.int64],
                 exact: bool) -> None:
        self.path, self.times, self.seeks, self.exact = path, times, seeks, exact

    def __len__(self) -> int:
        return len(self.times)

    @classmethod
    def of(cls, path: str) -> VideoIndex:
        """Reads the packets of the video's first stream.

        Raises
        ------
        ReadError
            When the file cannot be opened, or its packets cannot be read.
        """
        container = _open_video(path)
        import av  # noqa: PLC0415 - present: the video is open
        pts: list[int] = []
        order: list[int] = []          # per frame, its packet's place in decoding order
        keys: list[tuple[int, int, int]] = []     # (packet place, pts, seek stamp)
        exact = True
        try:
            stream = container.streams.video[0]
            place = -1
            for packet in container.demux(stream):
                if packet.size == 0:
                    continue                       # the demuxer's end marker
                place += 1
                stamp = packet.dts if packet.dts is not None else packet.pts
                if packet.is_keyframe and stamp is not None:
                    keys.append((place, packet.pts if packet.pts is not None else stamp, stamp))
                if packet.is_discard:
                    continue
                if packet.pts is None:
                    exact = False
                    continue
                pts.append(int(packet.pts))
                order.append(place)
        except (av.FFmpegError, OSError, ValueError) as e:
            raise ReadError(path, f"cannot read the video's packets ({e})") from None
        finally:
            container.close()
        times = np.array(pts, np.int64)
        places = np.array(order, np.int64)
        by_time = np.argsort(times, kind="stable")
        times, places = times[by_time], places[by_time]
        if len(times) > 1 and bool(np.any(np.diff(times) == 0)):
            exact = False
        seeks = np.zeros(len(times), np.int64)
        if not keys:
            exact = False
        else:
            key_places = np.array([k[0] for k in keys], np.int64)
            key_times = np.array([k[1] for k in keys], np.int64)
            key_stamps = np.array([k[2] for k in keys], np.int64)
            # The last key frame decoded before the frame's packet; one
            # earlier for a frame shown before that key frame (a leading
            # picture of an open group, which may refer to the group before).
            k = np.searchsorted(key_places, places, side="right") - 1
            k = np.where((k > 0) & (times < key_times[np.maximum(k, 0)]), k - 1, k)
            seeks = key_stamps[np.maximum(k, 0)]
            if bool(np.any(k < 0)):
                exact = False
        return cls(path, times, seeks, exact)


def split_video(source: Source, frames_per_part: int, index: VideoIndex | None = None
                ) -> list[Source]:
    """A video source cut into ranges of ``frames_per_part`` frames.

    The ranges are cut on the frames the :class:`VideoIndex` found, and
    each reads its own (seek to a key frame before it, decode, keep the
    frames whose time stamps are the range's), so parts can be read by
    different processes and give the frames, and frame numbers, of one
    read from the beginning.  A video whose frames the index cannot tell
    apart stays one part.  The last part reads to the end.

    Parameters
    ----------
    source : Source
        A video source (its ``start`` and ``stop`` are kept).
    frames_per_part : int
        Frames per range.
    index : VideoIndex, optional
        The video's index, when already read.

    Raises
    ------
    ReadError
        When the video cannot be read.

    Examples
    --------
    >>> split_video(Source("clip.mp4", "image"), 10)
    Traceback (most recent call last):
    ...
    ValueError: clip.mp4 is not a video source
    """
    if source.kind != "video":
        raise ValueError(f"{source.path} is not a video source")
    if frames_per_part < 1:
        raise ValueError(f"frames_per_part must be at least 1, got {frames_per_part}")
    index = VideoIndex.of(source.path) if index is None else index
    return index_ranges(source, index, [frames_per_part], open_end=False)


def index_ranges(source: Source, index: VideoIndex, sizes: Iterable[int], *,
                 open_end: bool = True) -> list[Source]:
    """A video source cut into consecutive ranges of the given sizes (the
    last size repeated), on an index's frames.  With ``open_end`` the last
    range reads to the end (unless the source stops earlier), and a video
    cut short is then reported there.

    Examples
    --------
    >>> import numpy as np
    >>> index = VideoIndex("clip.mp4", np.arange(25) * 40, np.arange(25) // 10 * 400, True)
    >>> [(p.start, p.stop, p.seek) for p in index_ranges(Source("clip.mp4", "video"), index, [4, 10])]
    [(0, 4, None), (4, 14, 0), (14, 24, 400), (24, None, 800)]
    """
    if not index.exact:
        return [source]
    stop = len(index) if source.stop is None else min(source.stop, len(index))
    parts: list[Source] = []
    a, size = source.start, 1
    sizes = iter(sizes)
    while a < stop or not parts:
        size = next(sizes, size)
        b = min(a + size, stop)
        last = open_end and b >= stop and source.stop is None
        times = tuple(int(t) for t in index.times[a:b])
        seek = int(index.seeks[a]) if a < len(index) else None
        parts.append(Source(source.path, "video", a, None if last else b,
                            times=times, seek=None if a == 0 else seek))
        if b <= a:
            break
        a = b
    return parts


def _decoded(vf: Any) -> npt.NDArray[np.uint8]:
    return np.asarray(vf.to_ndarray(format="rgb24"), np.uint8)


def _video_frames(path: str, start: int, stop: int | None) -> Iterator[Frame]:
    """Decodes frames [start, stop) of a video from its beginning, counting.
    Read to its end, a video that ends before the time its header gives
    raises :class:`ReadError` after its last frame."""
    if start < 0 or (stop is not None and stop < start):
        raise ValueError(f"a frame range needs 0 <= start <= stop, got {start}, {stop}")
    if stop is not None and stop == start:
        return
    container = _open_video(path)
    import av  # noqa: PLC0415 - present: the video is open
    index = -1
    last: Any = None
    try:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        for index, vf in enumerate(container.decode(stream)):
            if index < start:
                continue
            if stop is not None and index >= stop:
                break
            last = vf
            yield Frame(path, index, _decoded(vf))
        else:
            short = _ends_early(container, stream, last)
            if short is not None:
                raise ReadError(path, short, frame=index + 1)
    except (av.FFmpegError, OSError, ValueError) as e:
        raise ReadError(path, f"cannot decode the video ({e})", frame=index + 1) from None
    finally:
        container.close()


def _video_range(source: Source) -> Iterator[Frame]:
    """The frames of a range cut on a :class:`VideoIndex`: seek, decode,
    and keep the frames whose time stamps are the range's, in order.  When
    a frame of the range does not come out after the seek, the video is
    decoded again from its beginning for the rest of the range."""
    assert source.times is not None
    path, start, times = source.path, source.start, source.times
    number = {t: start + i for i, t in enumerate(times)}
    end = start + len(times)
    following = start          # the next frame to give
    last: Any = None
    import av  # noqa: PLC0415 - needed for the index, so present
    for seek in ([source.seek, None] if source.seek is not None else [None]):
        container = _open_video(path)
        try:
            stream = container.streams.video[0]
            stream.thread_type = "AUTO"
            if seek is not None:
                container.seek(seek, stream=stream, backward=True, any_frame=False)
            for vf in container.decode(stream):
                if vf.pts is None:
                    raise ReadError(path, "a frame without a time stamp after a seek",
                                    frame=following)
                k = number.get(vf.pts)
                if k is None:
                    if times and vf.pts < times[-1]:
                        continue               # before the range, or not one of its frames
                    if source.stop is not None:
                        return                 # past the range
                    if following < end:
                        break                  # a frame of the range did not come out
                    k = following              # the last range reads on to the end
                if k < following:
                    continue
                if k > following:
                    break                      # a frame of the range did not come out
                last = vf
                yield Frame(path, k, _decoded(vf))
                following += 1
                if following == end and source.stop is not None:
                    return
            else:
                if following >= end:
                    short = _ends_early(container, stream, last)
                    if short is not None:
                        raise ReadError(path, short, frame=following)
                    return
        except (av.FFmpegError, OSError, ValueError) as e:
            raise ReadError(path, f"cannot decode the video ({e})", frame=following) from None
        finally:
            container.close()
    raise ReadError(path, "the frame does not decode where the file's packets place it: the "
                    "video is damaged", frame=following)


def _ends_early(container: InputContainer, stream: VideoStream, last: Any) -> str | None:
    """Why a video read to its end is shorter than its header says, or None.

    The last frame's end is compared with the stream's duration (the
    container's when the stream gives none); a gap of more than half a
    second, and of more than three frames, means frames are missing at the
    end (a file cut short)."""
    base = stream.time_base
    if base is None:
        return None
    if stream.duration is not None and stream.duration > 0:
        total = float(stream.duration * base)
        begin = float((stream.start_time or 0) * base)
    elif container.duration is not None and container.duration > 0:
        total = container.duration / 1e6
        begin = (container.start_time or 0) / 1e6
    else:
        return None
    rate = _fraction(stream.average_rate) or _fraction(stream.guessed_rate)
    step = float(1 / rate) if rate else 0.0
    seen = 0.0 if last is None or last.pts is None else float(last.pts * base) - begin + step
    if total - seen > max(0.5, 3 * step):
        return (f"the video ends early: its frames stop at {seen:.2f} s of the {total:.2f} s its "
                f"header gives (the file is cut short or damaged)")
    return None


def _fraction(r: Any) -> Fraction | None:
    """A rational of PyAV (an AVRational, or a Fraction in older versions)."""
    if not r or not r.denominator:
        return None
    return Fraction(int(r.numerator), int(r.denominator))


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
