"""Writing the command line's output files without ever losing a file.

- an input of the run is never written over, not even with --force (the
  check compares device and inode, so another name or a hard link of an
  input is caught too);
- an existing file is replaced only with --force;
- every file is written to a temporary file next to it and renamed into
  place, so an interrupted run (Ctrl-C, a crash, a full disk) leaves either
  the old file or the complete new one, never a part of one. Without
  --force the rename is a hard link, which fails if the name was taken
  meanwhile.
"""
from __future__ import annotations

import errno
import os
import sys
import tempfile
import threading
from pathlib import Path


class Aborted(Exception):
    """The run was stopped before this output was put in place."""


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


_MODE = 0o666 & ~_umask()      # the mode a plain open() would give a new file


def file_id(path: str | os.PathLike) -> tuple[int, int]:
    st = os.stat(path)
    return st.st_dev, st.st_ino


class Outputs:
    """The output files of one run."""

    def __init__(self, force: bool = False, inputs=()):
        self.force = force
        self.inputs = set()
        for p in inputs:
            self.add_input(p)
        self.lock = threading.Lock()
        self.temps: set[str] = set()
        self.aborted = False

    def add_input(self, path) -> None:
        try:
            self.inputs.add(file_id(path))
        except OSError:
            pass

    def check(self, path: Path) -> None:
        """Raises if `path` may not be written (before any work is done for it)."""
        try:
            ident = file_id(path)
        except FileNotFoundError:
            return
        except OSError:
            return                      # e.g. a parent that is no directory: the write says
        if ident in self.inputs:
            raise ValueError(f"{path} is an input of this run; orv never writes over its "
                             "input, even with --force")
        if path.is_dir():
            raise IsADirectoryError(f"{path} is a directory")
        if not self.force:
            raise FileExistsError(f"{path} exists already (-f/--force replaces it)")

    def write(self, path: Path, data: bytes) -> None:
        """Writes `data` to `path` (standard output for "-") all at once or not at all."""
        if str(path) == "-":
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
            return
        self.check(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        fd, tmp = self._temp(path)
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
            os.chmod(tmp, _MODE)
            self._publish(tmp, path)
        finally:
            with self.lock:
                self.temps.discard(tmp)
            if os.path.lexists(tmp):
                os.unlink(tmp)

    def _temp(self, path: Path) -> tuple[int, str]:
        with self.lock:
            if self.aborted:
                raise Aborted
            fd, tmp = tempfile.mkstemp(prefix=f".{path.name[:64]}.", suffix=".part",
                                       dir=path.parent)
            self.temps.add(tmp)
        return fd, tmp

    def _publish(self, tmp: str, path: Path) -> None:
        with self.lock:
            if self.aborted:
                raise Aborted
            self.check(path)            # again: the name may have been taken meanwhile
            if self.force:
                os.replace(tmp, path)
                return
            try:
                os.link(tmp, path)      # fails if `path` exists: never replaces a file
            except FileExistsError:
                raise FileExistsError(f"{path} exists already (-f/--force replaces it)") \
                    from None
            except OSError as e:
                if e.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EXDEV,
                                   errno.EMLINK):
                    raise
                os.replace(tmp, path)   # a file system without hard links

    def abort(self) -> None:
        """Stops the run: removes the temporary files and lets no output be
        renamed into place any more."""
        with self.lock:
            self.aborted = True
            for tmp in self.temps:
                try:
                    os.unlink(tmp)
                except OSError:
                    pass
            self.temps.clear()
