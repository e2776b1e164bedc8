"""The live command's settings file, as JSON in and out.

Today the settings are the windows file (:mod:`orbisect_detect.windowfile`):
the ball's, the field's and the paint's colour windows.  Everything the
live page and its HTTP interface read or write goes through the functions
here, which take and give the file's JSON, so that a richer file changes
only them.

Examples
--------
>>> ws = settings_from_json({"ball": {"hue_deg": [5, 30], "chroma": [0.2, 1], "intensity": [0.1, 0.9]}})
>>> settings_to_json(ws)["ball"]
{'hue_deg': [5.0, 30.0], 'chroma': [0.2, 1.0], 'intensity': [0.1, 0.9]}
"""

from __future__ import annotations

import json
import os
from dataclasses import replace
from typing import Any

from ..windowfile import WindowSet, load_windows, rounded, save_windows

__all__ = ["entry_to_json", "read_settings", "settings_from_json", "settings_from_text",
           "settings_to_json", "write_settings"]


def settings_from_json(value: Any) -> WindowSet:
    """The settings held by a file's parsed JSON.

    Raises
    ------
    ValueError
        When it is not a settings file: the message says what is wrong, as
        the command prints it for a file (without the file's name).

    Examples
    --------
    >>> settings_from_json({"ball": "orange"})
    Traceback (most recent call last):
    ...
    ValueError: ball: a window is an object with hue_deg, chroma and intensity, not 'orange'
    """
    return WindowSet.from_dict(value)


def settings_from_text(text: str) -> WindowSet:
    """The settings held by a file's text.

    Raises
    ------
    ValueError
        When it is not JSON, or not a settings file.

    Examples
    --------
    >>> settings_from_text("{") # doctest: +ELLIPSIS
    Traceback (most recent call last):
    ...
    ValueError: not valid JSON (Expecting property name ...)
    """
    try:
        value = json.loads(text)
    except json.JSONDecodeError as e:
        raise ValueError(f"not valid JSON ({e})") from None
    return settings_from_json(value)


def entry_to_json(windows: WindowSet, name: str) -> Any:
    """One entry as the file stores it: a window, or a list for "line".

    Examples
    --------
    >>> len(entry_to_json(WindowSet(), "line"))
    3
    """
    return settings_to_json(windows)[name]


def settings_to_json(windows: WindowSet) -> dict[str, Any]:
    """The settings as the file's JSON (version, windows and the search
    settings that differ from the defaults), limits rounded as it stores
    them.

    Examples
    --------
    >>> sorted(settings_to_json(WindowSet()))
    ['ball', 'field', 'line', 'version']
    """
    rounded_windows = replace(windows, ball=rounded(windows.ball), field=rounded(windows.field),
                              line=tuple(rounded(w) for w in windows.line))
    return rounded_windows.to_dict()


def read_settings(path: str | os.PathLike[str] | None) -> WindowSet:
    """The settings of a file; the defaults when there is no path or no
    file yet.

    Raises
    ------
    OSError, ValueError
        When the file exists but cannot be read, or is not a settings file
        (the message names it).

    Examples
    --------
    >>> read_settings("no-such-settings.json") == WindowSet()
    True
    """
    if path is None or not os.path.exists(path):
        return WindowSet()
    return load_windows(path)


def write_settings(path: str | os.PathLike[str], windows: WindowSet) -> None:
    """Writes the settings file: a new file beside it, then renamed over it,
    so that a reader sees the old file or the new one, never part of one.

    Examples
    --------
    >>> import tempfile, pathlib
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "settings.json"
    >>> write_settings(path, WindowSet())
    >>> read_settings(path) == WindowSet()
    True
    """
    save_windows(path, windows)
