"""The windows file: the detector's colour windows as readable JSON.

A windows file holds up to three entries, each a window's limits in the
units of :class:`~orbisect_detect.Window` (hue in degrees, chroma and
intensity as fractions of full scale)::

    {
      "ball":  {"hue_deg": [10.0, 36.0], "chroma": [0.1, 1.2], "intensity": [0.03, 0.95]},
      "field": {"hue_deg": [75.0, 170.0], "chroma": [0.06, 1.0], "intensity": [0.04, 0.8]},
      "line":  [{"hue_deg": [-70.0, 60.0], "chroma": [0.0, 0.16], "intensity": [0.5, 1.0]}, ...]
    }

``line`` is a list: a pixel is paint when any of its windows holds it.  An
entry that is left out keeps the detector's default.  Every limit must be a
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

from .windows import BALL_WINDOW, FIELD_WINDOW, LINE_WINDOWS, Window

__all__ = ["ENTRIES", "MAX_FILE_SIZE", "EntryName", "WindowSet", "load_windows", "rounded", "save_windows",
           "update_windows_file"]

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

    Examples
    --------
    >>> from orbisect_detect import FieldDetector
    >>> detector = FieldDetector(**WindowSet().detector_arguments(), seed=0)
    """

    ball: Window = BALL_WINDOW
    field: Window = FIELD_WINDOW
    line: tuple[Window, ...] = LINE_WINDOWS

    def __post_init__(self) -> None:
        object.__setattr__(self, "line", tuple(self.line))
        if not self.line:
            raise ValueError("line needs at least one window")

    def detector_arguments(self) -> dict[str, Any]:
        """Keyword arguments of :class:`~orbisect_detect.FieldDetector` for these windows.

        Examples
        --------
        >>> sorted(WindowSet().detector_arguments())
        ['ball_window', 'field_window', 'line_windows']
        """
        return {"ball_window": self.ball, "field_window": self.field, "line_windows": self.line}

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
        """The three entries as plain JSON types.

        Examples
        --------
        >>> sorted(WindowSet().to_dict()), len(WindowSet().to_dict()["line"])
        (['ball', 'field', 'line'], 3)
        """
        return {"ball": self.ball.to_dict(), "field": self.field.to_dict(),
                "line": [w.to_dict() for w in self.line]}

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
            raise ValueError(f"a windows file holds a JSON object, not {type(d).__name__}")
        unknown = sorted(set(d) - set(ENTRIES))
        if unknown:
            raise ValueError(f"unknown entries {unknown}; a windows file has ball, field and line")
        ws = cls()
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


def save_windows(path: str | os.PathLike[str], windows: WindowSet,
                 names: tuple[EntryName, ...] = ENTRIES) -> None:
    """Writes a windows file.

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
      "ball": {"hue_deg": [12.35, 30.0], "chroma": [0.2, 1.0], "intensity": [0.1, 0.9]}
    }
    """
    entries = []
    for name in ENTRIES:
        if name not in names:
            continue
        if name == "line":
            items = ",\n    ".join(json.dumps(_rounded(w)) for w in windows.line)
            entries.append(f'  "line": [\n    {items}\n  ]')
        else:
            w = windows.ball if name == "ball" else windows.field
            entries.append(f'  "{name}": {json.dumps(_rounded(w))}')
    text = "{\n" + ",\n".join(entries) + "\n}\n"
    tmp = f"{os.fspath(path)}.tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def update_windows_file(path: str | os.PathLike[str], name: EntryName,
                        windows: Window | tuple[Window, ...]) -> WindowSet:
    """Adds an entry to a windows file, or replaces it; creates the file if
    it does not exist.  The file's other entries are kept as they are.

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
    ['ball', 'field']
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
    save_windows(path, updated, tuple(n for n in ENTRIES if n in present or n == name))
    return load_windows(path)
