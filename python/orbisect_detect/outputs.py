"""Files a run writes, kept from ever destroying what it reads.

Three rules hold for every file the command writes:

- :func:`check_outputs` refuses, before anything is opened for writing, an
  output (the JSON Lines file, the pictures' folder, a tuning picture) that
  is one of the run's inputs or its windows file.  Files are compared by
  resolved path and, where they exist, by device and inode, so a symlink or
  a second hard link to an input is caught too; the images inside a folder
  given as input are inputs.
- :class:`PictureNames` gives every annotated picture a path that is neither
  an input of the run nor a picture written earlier in it: ``x.png`` for an
  image ``x.jpg``, ``x.jpg.png`` when ``x.png`` is taken (an input, or the
  picture of an earlier ``x.*``), then ``x.jpg-2.png``, ``x.jpg-3.png`` ...
- :class:`StagedFile` writes a file beside its target under a temporary
  name and renames it over the target only when told to
  (:meth:`StagedFile.commit`), so an existing file is replaced whole or not
  at all.  The rename goes through a symlink to its target, and a new file
  gets the permissions of one made with ``open``.

Examples
--------
>>> import tempfile, pathlib
>>> folder = pathlib.Path(tempfile.mkdtemp())
>>> (folder / "x.png").write_bytes(b"")
0
>>> check_outputs([folder / "x.png"], json_path=folder / "x.png")
Traceback (most recent call last):
...
orbisect_detect.outputs.OutputClash: --json ... is an input of the run: it would be destroyed
"""

from __future__ import annotations

import os
import stat
import tempfile
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from types import TracebackType
from typing import IO, Any

__all__ = ["OutputClash", "PictureNames", "StagedFile", "check_outputs", "input_files"]


class OutputClash(ValueError):
    """An output that is also an input of the run (or its windows file).

    Examples
    --------
    >>> isinstance(OutputClash("--json a.png is an input"), ValueError)
    True
    """


@dataclass(frozen=True)
class _Identity:
    """Where a path leads: its resolved form and, when it exists, its
    device and inode."""

    real: str
    inode: tuple[int, int] | None

    @classmethod
    def of(cls, path: str | os.PathLike[str]) -> _Identity:
        p = os.fspath(path)
        try:
            st = os.stat(p)
            inode: tuple[int, int] | None = (st.st_dev, st.st_ino)
        except OSError:
            inode = None
        return cls(os.path.realpath(p), inode)


@dataclass
class _Identities:
    """A set of files, looked up by resolved path or by device and inode."""

    reals: set[str] = field(default_factory=set)
    inodes: set[tuple[int, int]] = field(default_factory=set)

    def add(self, path: str | os.PathLike[str]) -> None:
        i = _Identity.of(path)
        self.reals.add(i.real)
        if i.inode is not None:
            self.inodes.add(i.inode)

    def __contains__(self, path: str | os.PathLike[str]) -> bool:
        i = _Identity.of(path)
        return i.real in self.reals or (i.inode is not None and i.inode in self.inodes)


def input_files(inputs: Iterable[str | os.PathLike[str]]) -> list[str]:
    """The files a run reads: the files given, and every file inside the
    folders given (all of them, not only the images a run would read:
    writing into any of them is refused as well).

    Examples
    --------
    >>> input_files(["a.png", "missing/"])
    ['a.png', 'missing/']
    """
    files: list[str] = []
    for p in inputs:
        path = os.fspath(p)
        files.append(path)
        if os.path.isdir(path):
            try:
                names = sorted(os.listdir(path))
            except OSError:
                continue
            files.extend(os.path.join(path, n) for n in names)
    return files


def check_outputs(inputs: Iterable[str | os.PathLike[str]], *,
                  json_path: str | os.PathLike[str] | None = None,
                  annotate_dir: str | os.PathLike[str] | None = None,
                  windows_path: str | os.PathLike[str] | None = None,
                  picture_path: str | os.PathLike[str] | None = None) -> None:
    """Refuses outputs that would overwrite an input of the run.

    Parameters
    ----------
    inputs : iterable of str or path
        The files and folders the run reads.
    json_path : str or path, optional
        The JSON Lines file (``"-"``, standard output, is never refused).
    annotate_dir : str or path, optional
        The folder of the pictures: refused when it is an input file or the
        windows file (the pictures in it are named by :class:`PictureNames`).
    windows_path : str or path, optional
        The windows file the run reads; no output may be it.
    picture_path : str or path, optional
        A single picture (``tune``): refused when it is an input or the
        windows file.

    Raises
    ------
    OutputClash
        Naming the option and the file.

    Examples
    --------
    >>> check_outputs(["a.png"], json_path="-", windows_path="w.json")
    """
    taken = _Identities()
    for f in input_files(inputs):
        taken.add(f)
    protected = _Identities(set(taken.reals), set(taken.inodes))
    if windows_path is not None:
        protected.add(windows_path)

    def refuse(option: str, path: str | os.PathLike[str]) -> None:
        what = "the windows file" if windows_path is not None and \
            _Identity.of(path) == _Identity.of(windows_path) else "an input of the run"
        if path in taken:
            what = "an input of the run"
        raise OutputClash(f"{option} {os.fspath(path)} is {what}: it would be destroyed")

    for option, path in (("--json", json_path), ("--picture", picture_path),
                         ("--annotate", annotate_dir)):
        if path is None or os.fspath(path) == "-":
            continue
        if option == "--annotate" and os.path.isdir(path):
            continue                # an input folder: the pictures' names keep clear of inputs
        if path in protected:
            refuse(option, path)
    if json_path is not None and annotate_dir is not None and os.fspath(json_path) != "-" \
            and _Identity.of(json_path) == _Identity.of(annotate_dir):
        raise OutputClash(f"--json {os.fspath(json_path)} is the folder of --annotate")


class PictureNames:
    """Paths of the annotated pictures of a run, none of them an input of
    the run or a picture already written in it.

    A picture is ``<stem>.png`` for an image and ``<stem>-<frame>.png``
    (frame with six digits) for a video frame.  When that path is taken,
    the input's whole file name stands for its stem (``x.jpg.png``,
    ``clip.mp4-000012.png``), then a counter follows (``x.jpg-2.png``).

    Parameters
    ----------
    directory : str or path
        The pictures' folder.
    inputs : sequence of str or path
        The run's inputs (files and folders, as given).

    Examples
    --------
    >>> names = PictureNames("out", [])
    >>> names.path("a/x.jpg", 0, video=False), names.path("b/x.png", 0, video=False)
    ('out/x.png', 'out/x.png.png')
    >>> names.path("b/x.png", 0, video=False)
    'out/x.png-2.png'
    """

    def __init__(self, directory: str | os.PathLike[str],
                 inputs: Sequence[str | os.PathLike[str]]) -> None:
        self.directory = os.fspath(directory)
        self._inputs = _Identities()
        for f in input_files(inputs):
            self._inputs.add(f)
        self._written = _Identities()

    def _taken(self, path: str) -> bool:
        return path in self._inputs or path in self._written

    def path(self, source: str, frame: int, *, video: bool) -> str:
        """The path for a frame's picture, reserved for it from now on."""
        name = os.path.basename(source)
        stem = os.path.splitext(name)[0] or "frame"
        suffix = f"-{frame:06d}" if video else ""
        candidates = [f"{stem}{suffix}.png", f"{name or 'frame'}{suffix}.png"]
        path = ""
        for c in candidates:
            path = os.path.join(self.directory, c)
            if not self._taken(path):
                break
        else:
            n = 2
            while self._taken(path := os.path.join(self.directory, f"{name}{suffix}-{n}.png")):
                n += 1
        self._written.add(path)
        return path


def _creation_mode() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


class StagedFile:
    """A file written under a temporary name beside its target, renamed
    over it by :meth:`commit`; :meth:`discard` (or leaving a ``with``
    block by an exception) removes it and leaves the target as it was.

    The target is resolved first: a symlink stays a symlink and its target
    is replaced.  The file takes the mode of the file it replaces, or that
    of a new file.  A target that exists and is no regular file (a device
    such as ``/dev/null``, a named pipe) is written directly: it cannot be
    replaced, nor would it keep what was written before.

    Parameters
    ----------
    target : str or path
        The file to write.
    mode : {"w", "wb"}
        Text (UTF-8) or bytes.

    Examples
    --------
    >>> import tempfile, pathlib
    >>> target = pathlib.Path(tempfile.mkdtemp()) / "out.txt"
    >>> with StagedFile(target) as staged:
    ...     _ = staged.file.write("all or nothing\\n")
    ...     staged.commit()
    >>> target.read_text()
    'all or nothing\\n'
    """

    def __init__(self, target: str | os.PathLike[str], mode: str = "w") -> None:
        self.target = os.path.realpath(os.fspath(target))
        self.done = False
        self.temporary: str | None = None
        try:
            special = not stat.S_ISREG(os.stat(self.target).st_mode)
        except OSError:
            special = False
        if special:
            self.file: IO[Any] = (open(self.target, "w", encoding="utf-8") if mode == "w"
                                  else open(self.target, mode))
            return
        folder, name = os.path.split(self.target)
        try:
            fd, self.temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".partial",
                                                  dir=folder or None)
        except OSError as e:
            raise OSError(e.errno, f"cannot write {os.fspath(target)}: {e.strerror}") from None
        try:
            try:
                permissions = os.stat(self.target).st_mode & 0o7777
            except OSError:
                permissions = _creation_mode()
            os.fchmod(fd, permissions)
            self.file = (os.fdopen(fd, "w", encoding="utf-8") if mode == "w"
                         else os.fdopen(fd, mode))
        except BaseException:
            os.close(fd)
            os.unlink(self.temporary)
            raise

    def commit(self) -> None:
        """Flushes the file and renames it over the target."""
        if self.done:
            return
        self.file.close()
        if self.temporary is not None:
            os.replace(self.temporary, self.target)
        self.done = True

    def discard(self) -> None:
        """Removes the temporary file; the target stays as it was."""
        if self.done:
            return
        self.done = True
        self.file.close()
        if self.temporary is None:
            return
        try:
            os.unlink(self.temporary)
        except FileNotFoundError:
            pass

    def __enter__(self) -> StagedFile:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.discard()
