"""The settings file: the detector's colour windows and search settings as
readable JSON.

A settings file (called a windows file before it held search settings;
those files load as they are) holds up to three window entries, each a
window's limits in the units of :class:`~orbisect_detect.Window` (hue in
degrees, chroma and intensity as fractions of full scale), and the search
settings that differ from the defaults::

    {
      "version": 1,
      "ball":  {"hue_deg": [10.0, 36.0], "chroma": [0.1, 1.2], "intensity": [0.03, 0.95]},
      "field": {"hue_deg": [75.0, 170.0], "chroma": [0.06, 1.0], "intensity": [0.04, 0.8]},
      "line":  [{"hue_deg": [-70.0, 60.0], "chroma": [0.0, 0.16], "intensity": [0.5, 1.0]}, ...],
      "ball_search": {"max_r": 300.0, "min_support": 0.6},
      "line_search": {"max_width": 90.0},
      "max_balls": 3
    }

``line`` is a list: a pixel is paint when any of its windows holds it.
``ball_search`` and ``line_search`` take the fields of
:class:`~orbisect_detect.BallSearch` and :class:`~orbisect_detect.LineSearch`
(a size given as null follows the frame); ``max_balls``, an int from 1
to 16, is the detector's most balls per frame (one when left out).
``version`` is 1; a file without
one is read as version 1.  An entry (or a field) that is left out keeps the
detector's default.  Every limit must be a
number (not a string, not true or false): hue from -720 to 720 degrees with
a span of more than 0 and less than 180, chroma from 0 to 1.2 and intensity
from 0 to 1 (fractions, not percent).  A file larger than 1 MiB is no
windows file.

Examples
--------
>>> ws = WindowSet.from_dict({"ball": {"hue_deg": [5, 30], "chroma": [0.2, 1], "intensity": [0.1, 0.9]}})
>>> ws.ball.hue_deg, ws.field == FIELD_WINDOW
((5.0, 30.0), True)
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, replace
from typing import Any, Literal

from dataclasses import fields as dataclass_fields

from ._checks import integer
from .ball import MAX_BALLS, BallSearch
from .lines import LineSearch
from .outputs import StagedFile
from .windows import BALL_WINDOW, FIELD_WINDOW, LINE_WINDOWS, Window

__all__ = ["ENTRIES", "MAX_FILE_SIZE", "SETTINGS_VERSION", "EntryName", "Settings", "WindowSet",
           "load_settings", "load_windows", "rounded", "save_windows", "search_from_dict",
           "search_to_dict", "staged_windows_file", "update_windows_file", "windows_file_text"]

#: The version of the settings files this package writes and reads.
SETTINGS_VERSION = 1
_SEARCHES = ("ball_search", "line_search")

EntryName = Literal["ball", "field", "line"]
#: Largest windows file read, in bytes.
MAX_FILE_SIZE = 1 << 20
#: The entries of a windows file.
ENTRIES: tuple[EntryName, ...] = ("ball", "field", "line")


@dataclass(frozen=True)
class WindowSet:
    """The detector's three colours: ball, field and paint.

    Attributes
    ----------
    ball : Window
        The ball's colour.
    field : Window
        The field's colour.
    line : tuple of Window
        The paint's colours, any of which makes a pixel paint.
    ball_search : BallSearch
        The ball search's settings.
    line_search : LineSearch
        The line search's settings.
    max_balls : int
        Most balls the detector reports per frame, from 1 to 16.

    Raises
    ------
    TypeError, ValueError
        For searches of the wrong type, no line window, or ``max_balls``
        not an int from 1 to 16.

    Examples
    --------
    >>> from orbisect_detect import FieldDetector
    >>> detector = FieldDetector(**WindowSet().detector_arguments(), seed=0)
    """

    ball: Window = BALL_WINDOW
    field: Window = FIELD_WINDOW
    line: tuple[Window, ...] = LINE_WINDOWS
    ball_search: BallSearch = BallSearch()
    line_search: LineSearch = LineSearch()
    max_balls: int = 1

    def __post_init__(self) -> None:
        object.__setattr__(self, "line", tuple(self.line))
        if not self.line:
            raise ValueError("line needs at least one window")
        if not isinstance(self.ball_search, BallSearch) or not isinstance(self.line_search, LineSearch):
            raise TypeError("ball_search and line_search must be a BallSearch and a LineSearch")
        object.__setattr__(self, "max_balls", integer("max_balls", self.max_balls, 1, MAX_BALLS))

    def detector_arguments(self) -> dict[str, Any]:
        """Keyword arguments of :class:`~orbisect_detect.FieldDetector` for these settings.

        Examples
        --------
        >>> sorted(WindowSet().detector_arguments())
        ['ball_search', 'ball_window', 'field_window', 'line_search', 'line_windows', 'max_balls']
        """
        return {"ball_window": self.ball, "field_window": self.field, "line_windows": self.line,
                "ball_search": self.ball_search, "line_search": self.line_search,
                "max_balls": self.max_balls}

    def with_entry(self, name: EntryName, windows: Window | tuple[Window, ...]) -> WindowSet:
        """A copy with one entry replaced.

        Parameters
        ----------
        name : {"ball", "field", "line"}
            The entry.
        windows : Window or tuple of Window
            The new value; "line" takes a tuple (or one window), the others
            one window.

        Examples
        --------
        >>> w = Window((40.0, 60.0), (0.3, 1.0), (0.2, 0.9))
        >>> WindowSet().with_entry("line", w).line == (w,)
        True
        """
        if name == "line":
            return replace(self, line=(windows,) if isinstance(windows, Window) else tuple(windows))
        if name not in ("ball", "field"):
            raise ValueError(f"a windows file has the entries ball, field and line, not {name!r}")
        if not isinstance(windows, Window):
            if len(windows) != 1:
                raise ValueError(f"{name} takes one window, got {len(windows)}")
            windows = windows[0]
        return replace(self, ball=windows) if name == "ball" else replace(self, field=windows)

    def to_dict(self) -> dict[str, Any]:
        """The settings as plain JSON types: the version, the three windows
        and the search settings that differ from the defaults (``max_balls``
        among them, when not 1).

        Examples
        --------
        >>> sorted(WindowSet().to_dict()), len(WindowSet().to_dict()["line"])
        (['ball', 'field', 'line', 'version'], 3)
        >>> WindowSet(max_balls=3).to_dict()["max_balls"]
        3
        """
        out: dict[str, Any] = {"version": SETTINGS_VERSION, "ball": self.ball.to_dict(),
                               "field": self.field.to_dict(), "line": [w.to_dict() for w in self.line]}
        for name in _SEARCHES:
            changed = search_to_dict(getattr(self, name))
            if changed:
                out[name] = changed
        if self.max_balls != 1:
            out["max_balls"] = self.max_balls
        return out

    @classmethod
    def from_dict(cls, d: dict[str, Any]) -> WindowSet:
        """The windows of a mapping like :meth:`to_dict`'s; entries left out
        keep their defaults.

        Raises
        ------
        ValueError
            For an unknown entry or a malformed window.

        Examples
        --------
        >>> WindowSet.from_dict({}) == WindowSet()
        True
        """
        if not isinstance(d, dict):
            raise ValueError(f"a settings file holds a JSON object, not {type(d).__name__}")
        unknown = sorted(set(d) - set(ENTRIES) - set(_SEARCHES) - {"version", "max_balls"})
        if unknown:
            raise ValueError(f"unknown entries {unknown}; a settings file has version, ball, field, "
                             f"line, ball_search, line_search and max_balls")
        version = d.get("version", SETTINGS_VERSION)
        if isinstance(version, bool) or version != SETTINGS_VERSION:
            raise ValueError(f"version {version!r}: this orbisect reads settings files of version "
                             f"{SETTINGS_VERSION}")
        ws = cls()
        if "max_balls" in d:
            try:
                ws = replace(ws, max_balls=d["max_balls"])
            except (TypeError, ValueError) as e:
                raise ValueError(str(e)) from None
        for name in _SEARCHES:
            if name in d:
                kind = BallSearch if name == "ball_search" else LineSearch
                try:
                    ws = replace(ws, **{name: search_from_dict(kind, d[name])})
                except (TypeError, ValueError) as e:
                    raise ValueError(f"{name}: {e}") from None
        for name in ENTRIES:
            if name not in d:
                continue
            value = d[name]
            try:
                if name == "line":
                    items = value if isinstance(value, list) else [value]
                    ws = ws.with_entry("line", tuple(_window(v) for v in items))
                else:
                    ws = ws.with_entry(name, _window(value))
            except (TypeError, ValueError) as e:
                raise ValueError(f"{name}: {e}") from None
        return ws


Settings = WindowSet
"""The settings of a settings file (the same class as :class:`WindowSet`)."""


def search_to_dict(search: BallSearch | LineSearch) -> dict[str, Any]:
    """The fields of a search that differ from its defaults, as JSON types.

    Examples
    --------
    >>> search_to_dict(BallSearch(max_r=300.0))
    {'max_r': 300.0}
    """
    default = type(search)()
    return {f.name: getattr(search, f.name) for f in dataclass_fields(search)
            if getattr(search, f.name) != getattr(default, f.name)}


def search_from_dict(kind: type[BallSearch] | type[LineSearch], d: Any) -> Any:
    """A search from a mapping of some of its fields (the others default).

    Raises
    ------
    ValueError, TypeError
        For a key that is no field, or a value the search refuses.

    Examples
    --------
    >>> search_from_dict(BallSearch, {"max_r": 300}).max_r
    300.0
    """
    if not isinstance(d, dict):
        raise ValueError(f"a search's settings are an object of its fields, not {d!r}")
    names = [f.name for f in dataclass_fields(kind)]
    extra = sorted(set(d) - set(names))
    if extra:
        raise ValueError(f"unknown fields {extra}; {kind.__name__} has {', '.join(names)}")
    return kind(**d)


def load_settings(path: str | os.PathLike[str]) -> WindowSet:
    """The settings of a settings file (or of a windows file of before):
    :func:`load_windows` under the name it has now."""
    return load_windows(path)


def _window(d: Any) -> Window:
    if not isinstance(d, dict):
        raise ValueError(f"a window is an object with hue_deg, chroma and intensity, not {d!r}")
    extra = sorted(set(d) - {"hue_deg", "chroma", "intensity"})
    if extra:
        raise ValueError(f"unknown keys {extra} in a window")
    return Window.from_dict(d)


def load_windows(path: str | os.PathLike[str]) -> WindowSet:
    """The windows of a windows file.

    Raises
    ------
    OSError
        When the file cannot be read.
    ValueError
        When it is not valid JSON or not a windows file (a limit that is not
        a number or is out of its range, an unknown entry, more than
        :data:`MAX_FILE_SIZE` bytes); the message names the file.

    Examples
    --------
    >>> import tempfile, pathlib
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "windows.json"
    >>> save_windows(path, WindowSet())
    >>> load_windows(path) == WindowSet()
    True
    """
    name = os.fspath(path)
    with open(name, "rb") as f:
        data = f.read(MAX_FILE_SIZE + 1)
    if len(data) > MAX_FILE_SIZE:
        raise ValueError(f"{name}: larger than {MAX_FILE_SIZE} bytes: not a windows file")
    try:
        return WindowSet.from_dict(json.loads(data.decode("utf-8")))
    except UnicodeDecodeError:
        raise ValueError(f"{name}: not UTF-8 text: not a windows file") from None
    except json.JSONDecodeError as e:
        raise ValueError(f"{name}: not valid JSON ({e})") from None
    except RecursionError:
        raise ValueError(f"{name}: nested too deeply: not a windows file") from None
    except ValueError as e:
        raise ValueError(f"{name}: {e}") from None


def _rounded(w: Window) -> dict[str, list[float]]:
    d = w.to_dict()
    return {"hue_deg": [round(v, 2) for v in d["hue_deg"]],
            "chroma": [round(v, 4) for v in d["chroma"]],
            "intensity": [round(v, 4) for v in d["intensity"]]}


def rounded(w: Window) -> Window:
    """The window with its limits rounded as a windows file stores them
    (hue to 0.01 degree, chroma and intensity to 0.0001).

    Examples
    --------
    >>> rounded(Window((10.123456, 36.0), (0.1, 1.2), (0.03333333, 0.95))).intensity
    (0.0333, 0.95)
    """
    return Window.from_dict(_rounded(w))


def windows_file_text(windows: WindowSet, names: tuple[EntryName, ...] = ENTRIES) -> str:
    """The text of a windows file holding the given entries, limits rounded
    (:func:`rounded`).

    Examples
    --------
    >>> print(windows_file_text(WindowSet(), ("ball",)), end="")
    {
      "version": 1,
      "ball": {"hue_deg": [10.0, 36.0], "chroma": [0.1, 1.2], "intensity": [0.03, 0.95]}
    }
    """
    entries = [f'  "version": {SETTINGS_VERSION}']
    for name in ENTRIES:
        if name not in names:
            continue
        if name == "line":
            items = ",\n    ".join(json.dumps(_rounded(w)) for w in windows.line)
            entries.append(f'  "line": [\n    {items}\n  ]')
        else:
            w = windows.ball if name == "ball" else windows.field
            entries.append(f'  "{name}": {json.dumps(_rounded(w))}')
    for search in _SEARCHES:
        changed = search_to_dict(getattr(windows, search))
        if changed:
            entries.append(f'  "{search}": {json.dumps(changed)}')
    if windows.max_balls != 1:
        entries.append(f'  "max_balls": {windows.max_balls}')
    return "{\n" + ",\n".join(entries) + "\n}\n"


def save_windows(path: str | os.PathLike[str], windows: WindowSet,
                 names: tuple[EntryName, ...] = ENTRIES) -> None:
    """Writes a windows file.

    The text goes to a temporary file beside it, renamed over it when
    complete: the file is replaced whole or not at all, and a symlink is
    followed (its target is replaced, the link kept).

    Parameters
    ----------
    path : str or path
        The file; replaced whole.
    windows : WindowSet
        The windows; limits are rounded (:func:`rounded`).
    names : tuple of str
        The entries to write (those left out read back as defaults).

    Examples
    --------
    >>> import tempfile, pathlib
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "windows.json"
    >>> ball = Window((12.3456, 30.0), (0.2, 1.0), (0.1, 0.9))
    >>> save_windows(path, WindowSet(ball=ball), names=("ball",))
    >>> print(path.read_text(), end="")
    {
      "version": 1,
      "ball": {"hue_deg": [12.35, 30.0], "chroma": [0.2, 1.0], "intensity": [0.1, 0.9]}
    }
    """
    with StagedFile(path) as staged:
        staged.file.write(windows_file_text(windows, names))
        staged.commit()


def staged_windows_file(path: str | os.PathLike[str], name: EntryName,
                        windows: Window | tuple[Window, ...]) -> tuple[StagedFile, WindowSet]:
    """The windows file with one entry added or replaced, written beside it
    but not yet in its place: :meth:`~orbisect_detect.outputs.StagedFile.commit`
    puts it there, :meth:`~orbisect_detect.outputs.StagedFile.discard`
    leaves the file as it was.  The file's other entries are kept.

    Returns
    -------
    staged : StagedFile
        The new file, to commit or discard.
    windows : WindowSet
        Its windows (defaults where it has none).

    Raises
    ------
    ValueError
        When the file exists but is not a windows file, or ``name`` is not
        an entry.
    OSError
        When the file cannot be read, or its folder written.

    Examples
    --------
    >>> import tempfile, pathlib
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "windows.json"
    >>> staged, ws = staged_windows_file(path, "field", FIELD_WINDOW)
    >>> path.exists()
    False
    >>> staged.commit()
    >>> load_windows(path) == ws
    True
    """
    if name not in ENTRIES:
        raise ValueError(f"a windows file has the entries ball, field and line, not {name!r}")
    present: tuple[EntryName, ...] = ()
    current = WindowSet()
    if os.path.exists(path):
        current = load_windows(path)
        with open(path, encoding="utf-8") as f:
            keys = json.load(f)
        present = tuple(n for n in ENTRIES if n in keys)
    updated = current.with_entry(name, windows)
    text = windows_file_text(updated, tuple(n for n in ENTRIES if n in present or n == name))
    staged = StagedFile(path)
    try:
        staged.file.write(text)
        staged.file.flush()
    except BaseException:
        staged.discard()
        raise
    return staged, WindowSet.from_dict(json.loads(text))


def update_windows_file(path: str | os.PathLike[str], name: EntryName,
                        windows: Window | tuple[Window, ...]) -> WindowSet:
    """Adds an entry to a windows file, or replaces it; creates the file if
    it does not exist.  The file's other entries are kept as they are; the
    file is replaced whole (:func:`save_windows`).

    Returns
    -------
    WindowSet
        The file's windows after the change (defaults where it has none).

    Raises
    ------
    ValueError
        When the file exists but is not a windows file.

    Examples
    --------
    >>> import tempfile, pathlib, json
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "windows.json"
    >>> _ = update_windows_file(path, "ball", Window((5.0, 30.0), (0.2, 1.0), (0.1, 0.9)))
    >>> _ = update_windows_file(path, "field", FIELD_WINDOW)
    >>> sorted(json.loads(path.read_text()))
    ['ball', 'field', 'version']
    """
    staged, updated = staged_windows_file(path, name, windows)
    with staged:
        staged.commit()
    return updated
