"""The one writer of every file a command makes: whole or not at all.

A file is written aside and put into place only when it is complete, so a
run that fails (or is killed) never leaves half a file under the name asked
for. On Linux the aside is an unnamed file (``O_TMPFILE``) in the target's
folder, linked into place at the end: a killed run leaves nothing at all.
Elsewhere it is a hidden named file beside the target, renamed onto it.

A target that already exists and is not a regular file (a character device
such as ``/dev/null``, a FIFO, a terminal) is written straight into, as
``cp`` would, and never replaced; a symbolic link is followed and what it
names is written. Every byte is checked: a short write (a full disk, the
file-size limit of ``ulimit -f``) is an error, never a silently cut file.
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import stat
import sys
import tempfile
from collections.abc import Callable, Iterable

from .errors import DataError, PathLike

__all__ = [
    "Outputs",
    "StagedFile",
    "refuse_input",
    "silence_stdout",
    "write_all",
    "write_stdout",
]

#: Bytes copied at a time into a target written straight into.
_COPY_BLOCK = 1 << 20

#: Attempts at a free private name before giving up.
_NAME_ATTEMPTS = 100

_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_DIRECTORY = getattr(os, "O_DIRECTORY", 0)

#: Where the open descriptors of this process are reachable by path.
_FD_FOLDER = "/proc/self/fd"


def _cannot_write(target: PathLike, exc: OSError) -> DataError:
    return DataError(f"cannot write: {exc.strerror or exc}", target)


def write_all(fd: int, data: bytes | memoryview) -> None:
    """Write every byte of ``data`` to ``fd``, or raise.

    Raises:
        BrokenPipeError: the reader of a pipe went away.
        OSError: the descriptor took only part of the data (a full disk,
            the file-size limit); the message says how much it took.
    """
    view = memoryview(data)
    done = 0
    while done < len(view):
        try:
            count = os.write(fd, view[done:])
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise OSError(
                exc.errno, f"{exc.strerror} ({done} of {len(view)} bytes written)"
            ) from None
        if count <= 0:
            raise OSError(errno.EIO, f"short write ({done} of {len(view)} bytes)")
        done += count


def _size_limit() -> int | None:
    """The process's file-size limit in bytes (``ulimit -f``), None for none."""
    try:
        import resource
    except ImportError:  # not on this system
        return None
    soft, _ = resource.getrlimit(resource.RLIMIT_FSIZE)
    return None if soft == resource.RLIM_INFINITY or soft < 0 else int(soft)


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def refuse_input(target: PathLike, inputs: Iterable[PathLike | None]) -> None:
    """Refuse an output that is (or resolves to) one of the inputs.

    Raises:
        DataError: ``target`` names the same file as an input.
    """
    name = os.fspath(target)
    for source in inputs:
        if source is not None and _same_file(name, os.fspath(source)):
            raise DataError(
                f"this output is the input {os.fspath(source)}: refusing to "
                "write over it (choose another name)",
                name,
            )


def _existing_kind(name: str) -> os.stat_result | None:
    """What ``name`` names after its links, None when nothing is there yet."""
    try:
        return os.stat(name)
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise _cannot_write(name, exc) from None


def _open_unnamed(folder: str) -> int | None:
    """An unnamed file in ``folder``, None where the system has none."""
    flag = getattr(os, "O_TMPFILE", None)
    if flag is None or not os.path.isdir(_FD_FOLDER):
        return None
    try:
        return os.open(folder, flag | os.O_RDWR | _CLOEXEC, 0o666)
    except OSError as exc:
        # Old kernels and some file systems have no unnamed files.
        if exc.errno in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
            return None
        raise


def _link_or_replace(source: str, base: str, folder: int) -> None:
    """Link ``source`` as ``base`` in the folder, replacing a file there."""
    try:
        os.link(source, base, dst_dir_fd=folder, follow_symlinks=True)
        return
    except FileExistsError:
        pass
    # An existing file is replaced in one step: the content gets a private
    # name for the moment between the link and the rename.
    for _ in range(_NAME_ATTEMPTS):
        temporary = _private_name(base)
        try:
            os.link(source, temporary, dst_dir_fd=folder, follow_symlinks=True)
            break
        except FileExistsError:
            continue
    else:
        raise FileExistsError(errno.EEXIST, "no free temporary name")
    try:
        os.replace(temporary, base, src_dir_fd=folder, dst_dir_fd=folder)
    except OSError:
        with contextlib.suppress(OSError):
            os.remove(temporary, dir_fd=folder)
        raise


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _private_name(base: str) -> str:
    return f".{base}.{secrets.token_hex(6)}.tmp"


class StagedFile:
    """One output, written aside at :attr:`path` and put into place by
    :meth:`commit`.

    Attributes:
        name: the target as given (for messages).
        path: where the content is written meanwhile; any writer that takes
            a file name may open it.

    Raises:
        DataError: the target is a folder, is one of ``inputs``, or cannot
            be written.
    """

    def __init__(self, target: PathLike, inputs: Iterable[PathLike | None] = ()):
        self.name = os.fspath(target)
        refuse_input(self.name, inputs)
        found = _existing_kind(self.name)
        if found is not None and stat.S_ISDIR(found.st_mode):
            raise DataError("cannot write: it is a folder", self.name)
        resolved = os.path.realpath(self.name)
        # A target that is no regular file, or reached by a link whose text
        # names no file (such as /proc/self/fd/1 of a pipe), is written
        # straight into: replacing it would destroy a device or a FIFO.
        self.direct = found is not None and (
            not stat.S_ISREG(found.st_mode) or not _same_file(resolved, self.name)
        )
        self.target = self.name if self.direct else resolved
        self.own_bytes = False
        folder = tempfile.gettempdir() if self.direct else os.path.dirname(self.target)
        self._fd: int | None = None
        self._named: str | None = None
        try:
            self._fd = _open_unnamed(folder)
            if self._fd is None:
                self._fd, self._named = tempfile.mkstemp(
                    prefix=f".{os.path.basename(self.target)}.",
                    suffix=".tmp",
                    dir=folder,
                )
                # mkstemp makes the file private (0600); the result should
                # get the permissions any new file gets here.
                os.chmod(self._named, 0o666 & ~_umask())
        except OSError as exc:
            self.discard()
            raise _cannot_write(self.name, exc) from None
        self.path = self._named or f"{_FD_FOLDER}/{self._fd}"

    def _descriptor(self) -> int:
        if self._fd is None:
            raise ValueError(f"{self.name}: already put into place or discarded")
        return self._fd

    def write(self, data: bytes) -> None:
        """Write the whole content at once (instead of opening :attr:`path`)."""
        self.own_bytes = True
        try:
            write_all(self._descriptor(), data)
        except OSError as exc:
            raise _cannot_write(self.name, exc) from None

    def _check_size(self) -> None:
        # A writer of another library may not report a write the file-size
        # limit cut short; a file that reached the limit may have been cut.
        if self.own_bytes:
            return
        limit = _size_limit()
        if limit is not None and os.fstat(self._descriptor()).st_size >= limit:
            raise DataError(
                f"cannot write: the file reached the file-size limit of {limit} "
                "bytes (ulimit -f)",
                self.name,
            )

    def commit(self) -> None:
        """Put the content into place.

        Raises:
            DataError: it cannot be; the target is then as it was (a target
                written straight into may hold part of the content).
            BrokenPipeError: the reader of a FIFO went away.
        """
        try:
            self._check_size()
            if self.direct:
                self._copy_into_target()
            elif self._named is not None:
                os.replace(self._named, self.target)
                self._named = None
            else:
                self._link_into_place()
        except BrokenPipeError:
            raise  # the reader went away, as with `| head`: no error to show
        except OSError as exc:
            raise _cannot_write(self.name, exc) from None
        self.discard()

    def _copy_into_target(self) -> None:
        out = os.open(self.target, os.O_WRONLY | os.O_TRUNC | _CLOEXEC)
        try:
            position = 0
            while block := os.pread(self._descriptor(), _COPY_BLOCK, position):
                write_all(out, block)
                position += len(block)
        finally:
            os.close(out)

    def _link_into_place(self) -> None:
        source = f"{_FD_FOLDER}/{self._descriptor()}"
        folder_path, base = os.path.split(self.target)
        # A folder descriptor makes os.link call linkat, which follows the
        # descriptor's link to the unnamed file (plain link() would not).
        folder = os.open(folder_path or ".", os.O_RDONLY | _DIRECTORY | _CLOEXEC)
        try:
            _link_or_replace(source, base, folder)
        finally:
            os.close(folder)

    def discard(self) -> None:
        """Drop the content (after :meth:`commit`: release what is left)."""
        if self._fd is not None:
            with contextlib.suppress(OSError):
                os.close(self._fd)
            self._fd = None
        if self._named is not None:
            with contextlib.suppress(OSError):
                os.remove(self._named)
            self._named = None


class Outputs:
    """Files a command writes, made visible only when the whole run succeeds.

    Each file is staged by :class:`StagedFile` and put into place by
    :meth:`commit`; a run that fails before then leaves nothing behind, and
    a file that existed before stays as it was.

    Args:
        inputs: the files the run reads; no output may resolve to one.
    """

    def __init__(self, inputs: Iterable[PathLike | None] = ()) -> None:
        self.inputs = [os.fspath(p) for p in inputs if p is not None]
        self._pending: list[StagedFile] = []

    def check(self, *targets: PathLike | None) -> None:
        """Refuse, before any work, targets that are inputs.

        Raises:
            DataError: a target resolves to an input.
        """
        for target in targets:
            if target is not None:
                refuse_input(target, self.inputs)

    def path_for(self, target: PathLike) -> str:
        """A path to write ``target``'s content to, put into place by
        :meth:`commit`."""
        staged = StagedFile(target, self.inputs)
        self._pending.append(staged)
        return staged.path

    def write_with(self, target: PathLike, write: Callable[[str], None]) -> None:
        """Queue what ``write(path)`` writes to the path it is given (a
        figure, a Parquet table) for ``target``.

        Raises:
            DataError: the writer failed to write (a full disk, the
                file-size limit), naming ``target``.
        """
        path = self.path_for(target)
        try:
            write(path)
        except OSError as exc:
            raise _cannot_write(target, exc) from None

    def write_bytes(self, target: PathLike, data: bytes) -> None:
        """Queue ``data`` for ``target``."""
        staged = StagedFile(target, self.inputs)
        self._pending.append(staged)
        staged.write(data)

    def write_text(self, target: PathLike, text: str) -> None:
        """Queue ``text`` (UTF-8) for ``target``."""
        self.write_bytes(target, text.encode("utf-8"))

    def commit(self) -> list[str]:
        """Put every file into place; returns the targets as given."""
        done = []
        while self._pending:
            staged = self._pending[0]
            staged.commit()
            self._pending.pop(0)
            done.append(staged.name)
        return done

    def discard(self) -> None:
        """Drop every file not yet in place."""
        for staged in self._pending:
            staged.discard()
        self._pending.clear()


def silence_stdout() -> None:
    """Point stdout at the null device, so that Python's own flush at exit
    does not fail a second time after a write that failed."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, AttributeError, ValueError):
        pass


def _stdout_descriptor() -> int | None:
    """The descriptor under ``sys.stdout``, None when it has none (captured)."""
    try:
        return sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return None


def write_stdout(text: str) -> None:
    """Write to stdout and check that every byte went, so that a full disk
    or a file-size limit shows here.

    Raises:
        DataError: stdout cannot take the text (a full disk, a closed file,
            ``ulimit -f``); stdout is then pointed at the null device, so
            that Python's own flush at exit does not fail a second time.
    """
    try:
        sys.stdout.flush()
        fd = _stdout_descriptor()
        if fd is None:
            sys.stdout.write(text)
            sys.stdout.flush()
            return
        # Python's buffered stdout may drop the rest of a short write (under
        # a file-size limit) and report success: write the bytes here.
        encoding = sys.stdout.encoding or "utf-8"
        write_all(fd, text.encode(encoding, sys.stdout.errors or "strict"))
    except BrokenPipeError:
        raise
    except OSError as exc:
        silence_stdout()
        raise DataError(
            f"cannot write to standard output: {exc.strerror or exc}"
        ) from None
