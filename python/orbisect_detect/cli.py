"""The ``orbisect`` command: ``detect``, ``tune`` and ``demo``.

A thin shell over the package: each subcommand parses its arguments and
calls a function that does the work, and that can be called from Python as
well (:func:`run_detect`, :func:`run_tune`,
:func:`orbisect_detect.demo.run_demo`).

Exit status: 0 when everything was read and processed, 1 when an input,
a frame or a picture was skipped (it is named on standard error), 2 for
wrong arguments, an unusable windows file or an output that would destroy
an input, 130 when interrupted (Ctrl-C), 143 when terminated (SIGTERM).

Examples
--------
>>> build_parser().parse_args(["tune", "frame.png", "--box", "10,20,40,50"]).box
Box(x0=10, y0=20, x1=40, y1=50)
"""

from __future__ import annotations

import argparse
import base64
import dataclasses
import json
import os
import signal
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import IO, TYPE_CHECKING, Any, TextIO

from tqdm import tqdm

from . import __version__
from .batch import (DEFAULT_CHUNK, DaskNotInstalled, cluster_advice, detect_many, detection_failure,
                    local_cluster, require_dask)
from .detector import Detection, FieldDetector
from .drawing import annotate, tune_picture
from .outputs import PictureNames, StagedFile, check_outputs
from .sources import Frame, ReadError, Source, expand_inputs, read_frames, read_image, video_frame_count
from .tuning import OUTSIDE_WARNING, Box, Tuned, selected_pixels, tune_window
from .ball import BallSearch
from .lines import LineSearch
from .windowfile import EntryName, WindowSet, load_windows, search_from_dict, search_to_dict, staged_windows_file
from .windows import FIELD_WINDOW, ChannelOrder, Window

if TYPE_CHECKING:
    from distributed import Client

__all__ = ["build_parser", "frame_record", "main", "run_detect", "run_tune"]


def frame_record(frame: Frame, detection: Detection) -> dict[str, Any]:
    """The JSON Lines record of one frame: ``source``, ``frame``, then
    :meth:`Detection.to_dict` (``ball``, ``balls``, ``lines``, ``timings``).

    Examples
    --------
    >>> import numpy as np
    >>> f = Frame("a.png", 0, np.zeros((4, 4, 3), np.uint8))
    >>> frame_record(f, Detection(None, [], {"total": 0.001}))
    {'source': 'a.png', 'frame': 0, 'ball': None, 'balls': [], 'lines': [], 'timings': {'total': 0.001}}
    """
    return _record(frame.source, frame.frame, detection)


def _record(source: str, index: int, detection: Detection) -> dict[str, Any]:
    return {**source_fields(source), "frame": index, **detection.to_dict()}


def source_fields(source: str) -> dict[str, str]:
    """The fields of a record that name its file.

    ``source`` is the name as Python gives it (``os.fsdecode``): bytes
    that are not UTF-8 become lone surrogates (U+DC80 to U+DCFF), written
    as ``\\udcXX`` escapes, which JSON tools may turn into U+FFFD.  For such
    a name alone ``source_bytes`` follows, the name's bytes in base64, from
    which the file can always be found (``os.fsencode`` of ``source`` gives
    the same bytes).

    Examples
    --------
    >>> source_fields("a.png")
    {'source': 'a.png'}
    >>> source_fields(os.fsdecode(b"bad\\xffname.png"))
    {'source': 'bad\\udcffname.png', 'source_bytes': 'YmFk/25hbWUucG5n'}
    """
    try:
        source.encode("utf-8")
    except UnicodeEncodeError:
        raw = os.fsencode(source)
        return {"source": source, "source_bytes": base64.b64encode(raw).decode("ascii")}
    return {"source": source}


class _Reporter:
    """Progress on standard error when it is a terminal; problems always."""

    def __init__(self, total: int | None, enabled: bool, errors: TextIO) -> None:
        self.errors = errors
        self.count = 0
        self.bar: tqdm[Any] | None = (tqdm(total=total, unit="frame", file=errors, dynamic_ncols=True)
                                      if enabled else None)

    def problem(self, message: str) -> None:
        self.count += 1
        self.say(f"orbisect: {message} (skipped)")

    def note(self, source: str, message: str) -> None:
        self.say(f"orbisect: {source}: {message}")

    def say(self, text: str) -> None:
        if self.bar is not None:
            self.bar.write(text, file=self.errors)
        else:
            print(text, file=self.errors, flush=True)

    def step(self, frames: int = 1) -> None:
        if self.bar is not None:
            self.bar.update(frames)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _frame_total(sources: Sequence[Source]) -> int | None:
    total = 0
    for s in sources:
        if s.kind == "image":
            total += 1
            continue
        try:
            n = video_frame_count(s.path) if s.stop is None else s.stop - s.start
        except ReadError:
            n = None
        if n is None:
            return None
        total += n
    return total


def run_detect(inputs: Sequence[str | os.PathLike[str]], *, json_out: IO[str] | None = None,
               annotate_dir: str | os.PathLike[str] | None = None, windows: WindowSet | None = None,
               order: ChannelOrder = "rgb", seed: int | None = None, progress: bool | None = None,
               errors: TextIO | None = None, client: Client | None = None,
               chunk: int = DEFAULT_CHUNK, diagnostics: bool = False) -> int:
    """Detects the ball and the lines in every frame of the inputs.

    Parameters
    ----------
    inputs : sequence of str or path
        Image files, folders of images and videos
        (:func:`~orbisect_detect.sources.expand_inputs`).
    json_out : file, optional
        Receives one JSON object per frame (:func:`frame_record`), one a line.
    annotate_dir : str or path, optional
        Receives a picture per frame (:func:`~orbisect_detect.drawing.annotate`):
        ``<stem>.png`` for an image, ``<stem>-<frame>.png`` for a video frame,
        never over an input or a picture of this run
        (:class:`~orbisect_detect.outputs.PictureNames`).  A picture that
        cannot be written is named on ``errors`` and counted as a problem.
    windows : WindowSet, optional
        The colours, the searches' settings and ``max_balls``; the
        detector's defaults when None.
    order : {"rgb", "bgr"}
        "bgr" when the files hold B, G, R where R, G, B belong (frames saved
        from a BGR pipeline without conversion).
    seed : int, optional
        Makes the fits reproducible (:class:`~orbisect_detect.FieldDetector`).
    progress : bool, optional
        Show a progress bar on ``errors``; None shows it when that is a
        terminal.
    errors : file, optional
        Where problems (and the progress bar) go; standard error by default.
    client : dask.distributed.Client, optional
        Runs the detection on its cluster
        (:func:`~orbisect_detect.batch.detect_many`); the records are the
        same as here.  The frames are read on the workers, so
        ``annotate_dir`` cannot be used with it.
    chunk : int
        Frames per task on the cluster.
    diagnostics : bool
        Add each frame's :attr:`~orbisect_detect.Detection.diagnostics` to
        its record, and draw the pictures of ``annotate_dir`` with
        ``debug=True`` (:func:`~orbisect_detect.drawing.annotate`).

    Returns
    -------
    int
        The number of problems: inputs, frames or pictures that were
        skipped, each named on ``errors``.  A frame the detector fails on
        is one of them; the run goes on.

    Raises
    ------
    ValueError
        When ``client`` and ``annotate_dir`` are both given.
    OutputClash
        When ``annotate_dir`` is an input file (before anything is written).

    Examples
    --------
    >>> import io, tempfile, os
    >>> from PIL import Image
    >>> from orbisect_detect.scenes import make_scene
    >>> folder = tempfile.mkdtemp()
    >>> Image.fromarray(make_scene(1, 3).image).save(os.path.join(folder, "a.png"))
    >>> out = io.StringIO()
    >>> run_detect([folder], json_out=out, seed=0)
    0
    >>> sorted(json.loads(out.getvalue()))
    ['ball', 'balls', 'frame', 'lines', 'source', 'timings']
    """
    errors = sys.stderr if errors is None else errors
    if client is not None and annotate_dir is not None:
        raise ValueError("the pictures of --annotate are drawn in this process: "
                         "run without --workers or --scheduler to write them")
    detector = FieldDetector(**(windows or WindowSet()).detector_arguments(), seed=seed, order=order,
                             diagnostics=diagnostics)
    if client is not None:
        return _run_detect_on_cluster(inputs, detector, client, chunk, json_out, progress, errors)
    names = None
    if annotate_dir is not None:
        check_outputs(inputs, annotate_dir=annotate_dir)
        names = PictureNames(annotate_dir, inputs)
    sources, problems = expand_inputs(inputs)
    if annotate_dir is not None:
        os.makedirs(annotate_dir, exist_ok=True)
    show = errors.isatty() if progress is None else progress
    reporter = _Reporter(_frame_total(sources) if show else None, show, errors)
    video = {s.path for s in sources if s.kind == "video"}
    try:
        for e in problems:
            reporter.problem(str(e))
        for item in read_frames(sources):
            if isinstance(item, ReadError):
                reporter.problem(str(item))
                continue
            for note in item.notes:
                reporter.note(item.source, note)
            try:
                detection = detector.detect(item.image)
            except Exception as e:  # noqa: BLE001 - one bad frame costs only itself
                reporter.problem(f"{item.source}, frame {item.frame}: {detection_failure(e)}")
                continue
            if json_out is not None:
                json_out.write(json.dumps(frame_record(item, detection)) + "\n")
                json_out.flush()
            if names is not None:
                path = names.path(item.source, item.frame, video=item.source in video)
                try:
                    annotate(item.image, detection, order=order, debug=diagnostics).save(path, format="PNG")
                except OSError as e:
                    reporter.problem(f"{path}: cannot write the picture "
                                     f"({e.strerror or type(e).__name__})")
            reporter.step()
    finally:
        reporter.close()
    return reporter.count


def _run_detect_on_cluster(inputs: Sequence[str | os.PathLike[str]], detector: FieldDetector,
                           client: Client, chunk: int, json_out: IO[str] | None,
                           progress: bool | None, errors: TextIO) -> int:
    show = errors.isatty() if progress is None else progress
    reporter = _Reporter(_frame_total(expand_inputs(inputs)[0]) if show else None, show, errors)
    try:
        for source, index, detection in detect_many(
                inputs, detector, client=client, chunk=chunk,
                on_problem=lambda e: reporter.problem(str(e)), on_progress=reporter.step,
                on_note=reporter.note):
            if json_out is not None:
                json_out.write(json.dumps(_record(source, index, detection)) + "\n")
                json_out.flush()
    finally:
        reporter.close()
    return reporter.count


def run_tune(image: str | os.PathLike[str], box: Box, *, name: EntryName = "ball",
             windows_path: str | os.PathLike[str] | None = "windows.json",
             picture_path: str | os.PathLike[str] | None = None, order: ChannelOrder = "rgb",
             out: TextIO | None = None, warnings: TextIO | None = None) -> Tuned:
    """Derives a window from a box of an image, saves it and draws it.

    Parameters
    ----------
    image : str or path
        The image file.
    box : Box
        The pixels of the thing (:class:`~orbisect_detect.tuning.Box`).
    name : {"ball", "field", "line"}
        The windows file entry to add or replace.
    windows_path : str or path, optional
        The windows file; created when missing, its other entries kept.
        None saves nothing.
    picture_path : str or path, optional
        Where to write the picture of the window
        (:func:`~orbisect_detect.drawing.tune_picture`); None writes none.
    order : {"rgb", "bgr"}
        Channel order of the file's pixels.
    out : file, optional
        Receives a summary: the window and the share of the box it covers.
        None prints nothing.
    warnings : file, optional
        Receives a warning when the window selects more than
        :data:`~orbisect_detect.tuning.OUTSIDE_WARNING` of the frame
        outside the box (the window is saved all the same).  None prints
        none.

    Nothing is written unless everything is: the picture and the windows
    file are written beside their targets and renamed into place at the
    end; a symlinked windows file keeps its link and has its target
    replaced.

    Returns
    -------
    Tuned

    Raises
    ------
    ReadError
        When the image cannot be read.
    ValueError
        When the box holds too few pixels of the image or no usable colour,
        the windows file is not one, or an output is the image or the
        windows file (:class:`~orbisect_detect.outputs.OutputClash`).
    OSError
        When a file cannot be written; none is then changed.

    Examples
    --------
    >>> import io, tempfile, os
    >>> from PIL import Image
    >>> from orbisect_detect.scenes import make_scene
    >>> folder = tempfile.mkdtemp()
    >>> Image.fromarray(make_scene(1, 3).image).save(os.path.join(folder, "a.png"))
    >>> tuned = run_tune(os.path.join(folder, "a.png"), Box(100, 260, 150, 300),
    ...                  windows_path=os.path.join(folder, "windows.json"))
    >>> tuned.coverage > 0.95, sorted(os.listdir(folder))
    (True, ['a.png', 'windows.json'])
    """
    frame = read_image(image)
    check_outputs([image], windows_path=windows_path, picture_path=picture_path)
    if windows_path is not None and picture_path is not None and \
            os.path.realpath(windows_path) == os.path.realpath(picture_path):
        raise ValueError(f"the picture {os.fspath(picture_path)} is the windows file")
    field = FIELD_WINDOW
    if windows_path is not None and os.path.exists(windows_path):
        field = load_windows(windows_path).field
    tuned = tune_window(frame, box, name, order=order, field=field)
    # Everything is written beside its target first and put in place only
    # when all of it is written: a failure leaves every file as it was.
    staged: list[StagedFile] = []
    try:
        if picture_path is not None:
            b = tuned.box
            title = f"{name} window" + ("s (white: three wedges)" if tuned.achromatic else "")
            picture = tune_picture(frame, (b.x0, b.y0, b.x1, b.y1), tuned.windows, order=order,
                                   title=title,
                                   selected=selected_pixels(frame, tuned.windows, name, order),
                                   sample=tuned.sample)
            staged.append(StagedFile(picture_path, "wb"))
            picture.save(staged[-1].file, format=_picture_format(picture_path))
        if windows_path is not None:
            staged.append(staged_windows_file(windows_path, name, tuned.entry)[0])
        for f in staged:
            f.commit()
    finally:
        for f in staged:
            f.discard()
    if out is not None:
        _print_tuned(tuned, os.fspath(image), windows_path, picture_path, out)
    if warnings is not None and tuned.outside_coverage > OUTSIDE_WARNING:
        print(f"orbisect: warning: the {name} window also selects "
              f"{100 * tuned.outside_coverage:.1f} % of the frame outside the box (more than "
              f"{100 * OUTSIDE_WARNING:g} %): it takes in more than the {name}; draw the box "
              f"inside the {name}, clear of its border, or check --name", file=warnings)
    return tuned


def _picture_format(path: str | os.PathLike[str]) -> str:
    """Pillow's format for a file name (PNG when the suffix says nothing)."""
    from PIL import Image  # noqa: PLC0415 - only tune writes pictures by name

    return Image.registered_extensions().get(os.path.splitext(os.fspath(path))[1].lower(), "PNG")


def _describe(w: Window) -> str:
    return (f"hue {w.hue_deg[0]:g} to {w.hue_deg[1]:g} deg, chroma {w.chroma[0]:g} to "
            f"{w.chroma[1]:g}, intensity {w.intensity[0]:g} to {w.intensity[1]:g}")


def _print_tuned(tuned: Tuned, image: str, windows_path: str | os.PathLike[str] | None,
                 picture_path: str | os.PathLike[str] | None, out: TextIO) -> None:
    b = tuned.box
    print(f"{tuned.name} window from the {b.area} pixels of box {b.x0},{b.y0},{b.x1},{b.y1} "
          f"in {image}:", file=out)
    if tuned.achromatic:
        w = tuned.window
        print(f"  the sample has no hue (white or grey paint): three wedges covering every hue, "
              f"chroma below {w.chroma[1]:g}, intensity {w.intensity[0]:g} to {w.intensity[1]:g}",
              file=out)
    for w in tuned.windows:
        print(f"  {_describe(w)}", file=out)
    left_out = b.area - tuned.sample_size
    if left_out:
        print(f"  {left_out} of the box's pixels have the field's colour: not part of the sample",
              file=out)
    print(f"  covers {100 * tuned.coverage:.1f} % of the {tuned.sample_size} sample pixels "
          f"and {100 * tuned.frame_coverage:.1f} % of the image", file=out)
    if windows_path is not None:
        print(f"  saved as \"{tuned.name}\" in {os.fspath(windows_path)}", file=out)
    if picture_path is not None:
        print(f"  picture: {os.fspath(picture_path)}", file=out)


def _integer(text: str, least: int, message: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"{message}, got {value}")
    return value


def _seed(text: str) -> int:
    return _integer(text, 0, "a seed is 0 or more")


def _positive(text: str) -> int:
    return _integer(text, 1, "must be 1 or more")


def _max_balls(text: str) -> int:
    value = _integer(text, 1, "must be from 1 to 16")
    if value > 16:
        raise argparse.ArgumentTypeError(f"must be from 1 to 16, got {value}")
    return value


def _box(text: str) -> Box:
    try:
        return Box.parse(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def build_parser() -> argparse.ArgumentParser:
    """The command line of ``orbisect``.

    Examples
    --------
    >>> build_parser().parse_args(["detect", "a.png", "--seed", "3"]).seed
    3
    """
    parser = argparse.ArgumentParser(
        prog="orbisect",
        description="Find the ball and the painted lines in frames of a sports field, tune "
                    "their colours, or run the demo.",
        epilog="Run 'orbisect COMMAND --help' for a command's options.")
    parser.add_argument("--version", action="version", version=f"orbisect {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    d = sub.add_parser(
        "detect", help="find the ball and the lines in images, folders of images or videos",
        description="Find the ball and the painted lines in every frame. Writes one JSON object "
                    "per frame (JSON Lines) with the fields source, frame, ball (x, y, r, "
                    "support, or null), balls (the list of balls, best first; see "
                    "--max-balls), lines (x0, y0, x1, "
                    "y1, width, support each) and timings (seconds per stage). Images are turned upright by their EXIF "
                    "orientation, as image viewers show them: coordinates are those of the "
                    "upright picture. Files and frames that cannot be read or processed are "
                    "named on standard error and skipped; the exit status is then 1.")
    d.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="an image (PNG, JPEG), a folder of images (read in sorted order) or a "
                        "video (needs the [video] extra: pip install 'orbisect[video]')")
    d.add_argument("--json", metavar="FILE", default="-",
                   help="where to write the JSON Lines; '-' (the default) is standard output. "
                        "A file is written beside FILE and put in its place when the run ends "
                        "(or is interrupted); an input or the windows file is refused")
    d.add_argument("--annotate", metavar="DIR",
                   help="also write a PNG per frame into DIR, with the ball, the lines and "
                        "their support scores drawn: DIR/NAME.png (NAME-FRAME.png for a video "
                        "frame); a name that is an input or was written earlier in the run gets "
                        "the input's whole file name (x.jpg.png), then -2, -3 ...")
    d.add_argument("--settings", "--windows", dest="windows", metavar="FILE",
                   help="a settings file (made by 'orbisect tune', or by hand) with the colours "
                        "of ball, field and lines and the searches' settings; entries it lacks "
                        "keep their defaults (--windows: the same, its former name)")
    d.add_argument("--ball", action="append", type=_setting, default=[], metavar="NAME=VALUE",
                   help="a setting of the ball search, over the settings file's: min_r, max_r "
                        "(px, or 'none' to follow the frame), tolerance, min_support, "
                        "iterations, candidates, min_run, min_r_share, max_r_share, "
                        "min_saturation, max_ellipticity, cut_support, refine; repeat for more")
    d.add_argument("--line", action="append", type=_setting, default=[], metavar="NAME=VALUE",
                   help="a setting of the line search: min_width, max_width (px, or 'none'), "
                        "tolerance, min_support, iterations, min_run, min_points, max_lines, "
                        "min_width_share, max_width_share; repeat for more")
    d.add_argument("--max-balls", type=_max_balls, metavar="N",
                   help="report up to N balls of the ball's colour per frame in \"balls\", "
                        "the best first, each once (1 to 16; default: the settings file's "
                        "max_balls, else 1); the search tries N times as many circles")
    d.add_argument("--diagnostics", action="store_true",
                   help="add to each record a \"diagnostics\" object: the ball candidates "
                        "scored and, when no ball is reported, why not; the pictures of "
                        "--annotate then also show the scan lines, the ball-coloured runs and "
                        "the candidates with their scores")
    d.add_argument("--bgr", action="store_true",
                   help="the files hold B, G, R where R, G, B belong (frames saved from a BGR "
                        "pipeline without conversion)")
    d.add_argument("--seed", type=_seed, metavar="N",
                   help="seed the random fits: the same input gives the same output, in one "
                        "process or on a cluster")
    cluster = d.add_mutually_exclusive_group()
    cluster.add_argument("--workers", type=_positive, metavar="N",
                         help="spread the frames over a local Dask cluster of N worker processes "
                              "(needs the [dask] extra: pip install 'orbisect[dask]')")
    cluster.add_argument("--scheduler", metavar="ADDRESS",
                         help="run on the Dask cluster whose scheduler is at ADDRESS (e.g. "
                              "tcp://10.0.0.5:8786); every worker must see the input files "
                              "under the same absolute paths")
    d.add_argument("--chunk", type=_positive, metavar="N", default=DEFAULT_CHUNK,
                   help=f"frames per task with --workers or --scheduler (default: "
                        f"{DEFAULT_CHUNK}); the output does not depend on it")

    t = sub.add_parser(
        "tune", help="derive a colour window from a box drawn on an image",
        description="Derive a colour window from the pixels in a box and add it to (or update "
                    "it in) a windows file, in readable units (hue in degrees, chroma and "
                    "intensity as fractions of full scale). Prints the window and the share "
                    "of the box it covers, and writes a picture of it: the image with the "
                    "selected pixels tinted, beside the chroma plane with the box's pixels "
                    "and the window.")
    t.add_argument("image", metavar="IMAGE", help="the image (PNG, JPEG)")
    t.add_argument("--box", type=_box, required=True, metavar="X0,Y0,X1,Y1",
                   help="the box in pixels: columns X0 to X1 - 1, rows Y0 to Y1 - 1; draw it "
                        "inside the thing, clear of its border")
    t.add_argument("--name", choices=("ball", "line", "field"), default="ball",
                   help="the entry to set (default: ball); a white or grey 'line' sample gives "
                        "three wedges that hold every hue")
    t.add_argument("--settings", "--windows", dest="windows", metavar="FILE", default="windows.json",
                   help="the settings file to update (default: windows.json); created when "
                        "missing, its other entries kept (--windows: the same, its former name)")
    t.add_argument("--picture", metavar="FILE",
                   help="where to write the picture (default: the windows file's name with "
                        "-NAME.png, e.g. windows-ball.png)")
    t.add_argument("--bgr", action="store_true", help="the image holds B, G, R where R, G, B belong")

    m = sub.add_parser(
        "demo", help="detect on a few generated scenes and compare with what was drawn",
        description="Generate a few field scenes, find the ball and the lines, print the "
                    "results against what was drawn with the time per stage, and write each "
                    "scene and its annotated picture.")
    m.add_argument("--out", metavar="DIR", default="orbisect-demo",
                   help="where to write the pictures (default: orbisect-demo)")

    from .live.command import add_live_parser  # noqa: PLC0415 - the live command's own module
    add_live_parser(sub)
    return parser


@contextmanager
def _cluster(workers: int | None, scheduler: str | None) -> Iterator[Client | None]:
    """A client of a new local cluster of ``workers`` processes, of the
    cluster at ``scheduler``, or None for neither."""
    if workers is None and scheduler is None:
        yield None
        return
    require_dask("--workers" if workers is not None else "--scheduler")
    if workers is not None:
        with local_cluster(workers) as client:
            yield client
        return
    import distributed  # noqa: PLC0415 - optional

    dd: Any = distributed           # its constructors are untyped
    with dd.Client(scheduler) as client:
        yield client


class _Terminated(KeyboardInterrupt):
    """SIGTERM, handled as an interruption: the records so far are kept."""


@contextmanager
def _terminate_as_interrupt() -> Iterator[None]:
    """SIGTERM raises :class:`_Terminated` in the main thread for the
    block, so that the run ends as on Ctrl-C: the JSON Lines so far reach
    their file and the cluster is shut down."""
    def handler(signum: int, frame: Any) -> None:
        raise _Terminated()

    try:
        previous = signal.signal(signal.SIGTERM, handler)
    except ValueError:          # not the main thread: leave signals alone
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _join_negative_values(argv: Sequence[str]) -> list[str]:
    """``--box -10,-10,5,5`` as ``--box=-10,-10,5,5``: argparse takes a
    value that starts with a dash for an option unless it is a plain
    number."""
    out: list[str] = []
    items = list(argv)
    i = 0
    while i < len(items):
        a = items[i]
        if a == "--box" and i + 1 < len(items) and items[i + 1].startswith("-") \
                and items[i + 1][1:2].isdigit():
            out.append(f"--box={items[i + 1]}")
            i += 2
            continue
        out.append(a)
        i += 1
    return out


def _setting(text: str) -> tuple[str, Any]:
    """NAME=VALUE of a search setting: VALUE as JSON (a number, true, false),
    'none' or 'null' for a size that follows the frame."""
    name, sep, value = text.partition("=")
    if not sep or not name.strip():
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE, got {text!r}")
    v = value.strip()
    if v.lower() in ("none", "null"):
        return name.strip(), None
    try:
        parsed = json.loads(v.lower() if v.lower() in ("true", "false") else v)
    except json.JSONDecodeError:
        raise argparse.ArgumentTypeError(f"{name.strip()}: {v!r} is not a number") from None
    if not isinstance(parsed, (int, float, bool)):
        raise argparse.ArgumentTypeError(f"{name.strip()}: {v!r} is not a number")
    return name.strip(), parsed


def _with_settings(windows: WindowSet | None, ball: list[tuple[str, Any]],
                   line: list[tuple[str, Any]]) -> WindowSet | None:
    """The settings with the command's search settings over them."""
    if not ball and not line:
        return windows
    ws = windows or WindowSet()
    changes: dict[str, Any] = {}
    for name, given, kind in (("ball_search", ball, BallSearch), ("line_search", line, LineSearch)):
        if given:
            merged = {**search_to_dict(getattr(ws, name)), **dict(given)}
            try:
                changes[name] = search_from_dict(kind, merged)
            except (TypeError, ValueError) as e:
                raise ValueError(f"--{name.split('_')[0]}: {e}") from None
    out: WindowSet = dataclasses.replace(ws, **changes)
    return out


def _detect(args: argparse.Namespace, order: ChannelOrder) -> int:
    if args.annotate is not None and (args.workers is not None or args.scheduler is not None):
        print("orbisect: --annotate draws the pictures in this process: it cannot be "
              "combined with --workers or --scheduler", file=sys.stderr)
        return 2
    check_outputs(args.inputs, json_path=args.json, annotate_dir=args.annotate,
                  windows_path=args.windows)
    windows = None
    if args.windows is not None:
        windows = load_windows(args.windows)
    windows = _with_settings(windows, args.ball, args.line)
    if args.max_balls is not None:
        windows = dataclasses.replace(windows or WindowSet(), max_balls=args.max_balls)
    if args.workers is not None:
        advice = cluster_advice(args.workers)
        if advice is not None:
            print(f"orbisect: note: {advice}", file=sys.stderr, flush=True)
    staged = None if args.json == "-" else StagedFile(args.json)
    try:
        out = sys.stdout if staged is None else staged.file
        with _cluster(args.workers, args.scheduler) as client:
            problems = run_detect(args.inputs, json_out=out, annotate_dir=args.annotate,
                                  windows=windows, order=order, seed=args.seed,
                                  client=client, chunk=args.chunk, diagnostics=args.diagnostics)
    except KeyboardInterrupt:
        if staged is not None:          # the records of the run so far
            staged.commit()
        raise
    except BaseException:
        if staged is not None:
            staged.discard()
        raise
    if staged is not None:
        if problems and staged.file.tell() == 0 and os.path.exists(staged.target):
            staged.discard()
            print(f"orbisect: no frame was processed: {args.json} is left as it was",
                  file=sys.stderr)
        else:
            staged.commit()
    if problems:
        print(f"orbisect: {problems} input{'s' if problems > 1 else ''} skipped",
              file=sys.stderr)
    return 1 if problems else 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status.

    Examples
    --------
    >>> main(["detect", "missing.png"])      # the file is named on standard error
    1
    """
    args = build_parser().parse_args(_join_negative_values(sys.argv[1:] if argv is None else argv))
    if args.command == "live":
        from .live.command import run_live  # noqa: PLC0415
        return run_live(args)
    order: ChannelOrder = "bgr" if getattr(args, "bgr", False) else "rgb"
    try:
        with _terminate_as_interrupt():
            if args.command == "detect":
                return _detect(args, order)
            if args.command == "tune":
                picture = args.picture
                if picture is None:
                    picture = f"{os.path.splitext(args.windows)[0]}-{args.name}.png"
                run_tune(args.image, args.box, name=args.name, windows_path=args.windows,
                         picture_path=picture, order=order, out=sys.stdout, warnings=sys.stderr)
                return 0
            from .demo import run_demo  # noqa: PLC0415 - only the demo needs the scenes
            run_demo(args.out, out=sys.stdout)
            return 0
    except KeyboardInterrupt as e:
        print("orbisect: " + ("terminated" if isinstance(e, _Terminated) else "interrupted"),
              file=sys.stderr)
        return 143 if isinstance(e, _Terminated) else 130
    except BrokenPipeError:
        # The reader went away (``orbisect detect ... | head``): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except (ReadError, ValueError, OSError, DaskNotInstalled) as e:
        print(f"orbisect: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
