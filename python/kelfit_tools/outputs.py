"""The one writer of every file a command makes: whole or not at all.

A file is written aside and put into place only when it is complete, so a
run that fails (or is killed) never leaves half a file under the name asked
for. On Linux the aside is an unnamed file (``O_TMPFILE``) in the target's
folder, linked into place at the end: a killed run leaves nothing at all.
Elsewhere it is a hidden named file beside the target, renamed onto it.

An existing file is written as ``cp`` writes onto it: it keeps its mode,
its owner and group, and its other hard links, and a file the user may not
write is refused. The new content takes the old file's mode and owner
before it replaces it; where it cannot be given them (the owner of another
user's file, for anyone but root), where the file has other hard links, or
where the folder lets no new file in, the complete content is copied into
the file itself instead, which keeps all of that at the price of the
all-or-nothing step: a failure during that last copy leaves part of the
new content.

A target that already exists and is not a regular file (a character device
such as ``/dev/null``, a FIFO, a terminal) is written straight into, as
``cp`` would, and never replaced; a symbolic link is followed and what it
names is written. ``-`` is standard output, for text; a figure or a Parquet
table cannot go there. Every byte is checked: a short write (a full disk,
the file-size limit of ``ulimit -f``) is an error, never a silently cut
file.
"""

from __future__ import annotations

import codecs
import contextlib
import errno
import os
import secrets
import stat
import sys
import tempfile
from collections.abc import Callable, Iterable
from typing import Union

from . import notices
from .errors import DataError, PathLike

__all__ = [
    "STANDARD_OUTPUT",
    "Outputs",
    "StagedFile",
    "Target",
    "refuse_input",
    "refuse_unwritable",
    "silence_stdout",
    "write_all",
    "write_stdout",
]

#: The target name that means standard output.
STANDARD_OUTPUT = "-"

#: What :meth:`Outputs.check` takes: a target, or a (role, target) pair whose
#: role (such as ``--out``) names it in a refusal; None for an output not asked.
Target = Union[PathLike, None, "tuple[str, PathLike | None]"]

#: Bytes copied at a time into a target written straight into.
_COPY_BLOCK = 1 << 20

#: Attempts at a free private name before giving up.
_NAME_ATTEMPTS = 100

_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_DIRECTORY = getattr(os, "O_DIRECTORY", 0)

#: Where the open descriptors of this process are reachable by path.
_FD_FOLDER = "/proc/self/fd"

#: The extended attribute that holds a file's access control list, which a
#: replacing file would not carry.
_ACL_ATTRIBUTE = "system.posix_acl_access"

#: Errors of a folder that lets no new file in.
_FOLDER_CLOSED = (errno.EACCES, errno.EPERM)


def _cannot_write(target: PathLike, exc: OSError) -> DataError:
    why = exc.strerror or exc
    if os.fspath(target) == STANDARD_OUTPUT:
        return DataError(f"cannot write to standard output: {why}")
    return DataError(f"cannot write: {why}", target)


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
    if name == STANDARD_OUTPUT:
        return
    for source in inputs:
        if source is not None and _same_file(name, os.fspath(source)):
            raise DataError(
                f"this output is the input {os.fspath(source)}: refusing to "
                "write over it (choose another name)",
                name,
            )


def _may_write(name: str) -> bool:
    effective = os.access in os.supports_effective_ids
    return os.access(name, os.W_OK, effective_ids=effective)


def refuse_unwritable(target: PathLike) -> None:
    """Refuse an existing file this process may not write, as ``cp`` would.

    Root may write a read-only file, as with ``cp``. A target not there yet
    passes: a folder that lets no file in shows when it is written.

    Raises:
        DataError: ``target`` exists and may not be written.
    """
    name = os.fspath(target)
    if name == STANDARD_OUTPUT:
        return
    try:
        found = os.stat(name)
    except OSError:
        return
    if stat.S_ISDIR(found.st_mode) or _may_write(name):
        return
    why = (
        "the file is read-only"
        if not found.st_mode & (stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH)
        else "you may not write to this file"
    )
    raise DataError(
        f"permission denied: {why} (make it writable, or choose another name)",
        name,
    )


def _shared(name: str) -> bool:
    """Whether ``name`` is a stream that several outputs may go to in turn: a
    device or a FIFO that exists (``/dev/null`` twice is no mistake)."""
    try:
        return not stat.S_ISREG(os.stat(name).st_mode)
    except OSError:
        return False


def _one_file(a: str, b: str) -> bool:
    """Whether two outputs would write one and the same file."""
    if STANDARD_OUTPUT in (a, b):
        return a == b
    return not _shared(a) and not _shared(b) and _same_file(a, b)


def _twice(
    first: str, first_role: str | None, second: str, role: str | None
) -> DataError:
    who = (
        f"{first_role} and {role}" if first_role and role else "two outputs of this run"
    )
    if second == STANDARD_OUTPUT:
        return DataError(
            f"{who} both go to standard output ('-'), one after the other "
            "(give one a file name)"
        )
    also = "" if first == second else f" (also given as {first})"
    return DataError(
        f"{who} both name this file{also}: one would overwrite the other "
        "(choose another name for one)",
        second,
    )


def _existing_kind(name: str) -> os.stat_result | None:
    """What ``name`` names after its links, None when nothing is there yet."""
    try:
        return os.stat(name)
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise _cannot_write(name, exc) from None


def _regular(name: str) -> os.stat_result | None:
    """The regular file ``name`` names, None when there is none."""
    try:
        found = os.stat(name)
    except OSError:
        return None
    return found if stat.S_ISREG(found.st_mode) else None


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


def _has_acl(name: str) -> bool:
    try:
        return _ACL_ATTRIBUTE in os.listxattr(name)
    except (OSError, AttributeError):  # no extended attributes here
        return False


class StagedFile:
    """One output, written aside at :attr:`path` and put into place by
    :meth:`commit`.

    Args:
        target: the file to write; ``-`` for standard output.
        inputs: files the run reads, which the target may not be.
        text: whether the content is text, which alone may go to
            standard output.

    Attributes:
        name: the target as given (for messages).
        path: where the content is written meanwhile; any writer that takes
            a file name may open it.

    Raises:
        DataError: the target is a folder, is one of ``inputs``, may not be
            written, is ``-`` for content that is no text, or cannot be
            written.
    """

    def __init__(
        self,
        target: PathLike,
        inputs: Iterable[PathLike | None] = (),
        *,
        text: bool = True,
    ) -> None:
        self.name = os.fspath(target)
        self.own_bytes = False
        self._fd: int | None = None
        self._named: str | None = None
        #: Standard output: the content is copied there at the end.
        self.stream = self.name == STANDARD_OUTPUT
        #: The content is copied into the existing file rather than replacing
        #: it (where the folder lets no new file in).
        self.in_place = False
        if self.stream:
            if not text:
                raise DataError(
                    "a figure or a Parquet table cannot go to standard output "
                    "('-'): give it a file name"
                )
            self.direct = True
            self.target = self.name
        else:
            refuse_input(self.name, inputs)
            found = _existing_kind(self.name)
            if found is not None and stat.S_ISDIR(found.st_mode):
                raise DataError("cannot write: it is a folder", self.name)
            resolved = os.path.realpath(self.name)
            # A target that is no regular file, or reached by a link whose
            # text names no file (such as /proc/self/fd/1 of a pipe), is
            # written straight into: replacing it would destroy a device or
            # a FIFO.
            self.direct = found is not None and (
                not stat.S_ISREG(found.st_mode) or not _same_file(resolved, self.name)
            )
            self.target = self.name if self.direct else resolved
            if found is not None:
                refuse_unwritable(self.name)
        aside = tempfile.gettempdir()
        try:
            try:
                self._open_aside(aside if self.direct else os.path.dirname(self.target))
            except OSError as exc:
                # A file the user may write in a folder that lets no new
                # file in is written into, as cp writes it.
                if self.direct or exc.errno not in _FOLDER_CLOSED:
                    raise
                if _regular(self.target) is None:
                    raise
                self.in_place = True
                self._open_aside(aside)
        except OSError as exc:
            self.discard()
            raise _cannot_write(self.name, exc) from None
        self.path = self._named or f"{_FD_FOLDER}/{self._fd}"

    def _open_aside(self, folder: str) -> None:
        self._fd = _open_unnamed(folder)
        if self._fd is None:
            self._fd, self._named = tempfile.mkstemp(
                prefix=f".{os.path.basename(self.target)}.",
                suffix=".tmp",
                dir=folder,
            )
            # mkstemp makes the file private (0600); the result should get
            # the permissions any new file gets here.
            os.chmod(self._named, 0o666 & ~_umask())

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
            if self.stream:
                self._copy_to_standard_output()
            elif self.direct or self.in_place or not self._takes_place():
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

    def _takes_place(self) -> bool:
        """Give the content the existing file's owner and mode; False when
        replacing the file would lose what ``cp`` keeps (its other hard
        links, its access list, an owner this process may not give)."""
        found = _regular(self.target)
        if found is None:
            return True
        if found.st_nlink > 1 or _has_acl(self.target):
            return False
        fd = self._descriptor()
        own = os.fstat(fd)
        # Systems without owners (Windows) have neither call.
        chown = getattr(os, "fchown", None)
        if chown is not None and (own.st_uid, own.st_gid) != (
            found.st_uid,
            found.st_gid,
        ):
            try:
                chown(fd, found.st_uid, found.st_gid)
            except OSError as exc:
                # Another user's file (or one whose ids this namespace
                # cannot give) is written into, as cp writes it.
                if exc.errno in (errno.EPERM, errno.EACCES, errno.EINVAL):
                    return False
                raise
        chmod = getattr(os, "fchmod", None)
        if chmod is not None:
            # New content gets no set-user or set-group rights the old one
            # had, as writing into such a file takes them away.
            chmod(fd, stat.S_IMODE(found.st_mode) & ~(stat.S_ISUID | stat.S_ISGID))
        return True

    def _copy_into_target(self) -> None:
        flags = os.O_WRONLY | os.O_TRUNC | _CLOEXEC
        out = os.open(self.target, flags if self.direct else flags | os.O_CREAT, 0o666)
        try:
            position = 0
            while block := os.pread(self._descriptor(), _COPY_BLOCK, position):
                write_all(out, block)
                position += len(block)
        finally:
            os.close(out)

    def _copy_to_standard_output(self) -> None:
        # What Python has buffered goes first; then the bytes go to the
        # descriptor, every one checked, or to a stream with none (captured).
        sys.stdout.flush()
        fd = _stdout_descriptor()
        buffer = getattr(sys.stdout, "buffer", None)
        decoder = codecs.getincrementaldecoder("utf-8")()
        position = 0
        while block := os.pread(self._descriptor(), _COPY_BLOCK, position):
            position += len(block)
            if fd is not None:
                write_all(fd, block)
            elif buffer is not None:
                buffer.write(block)
            else:
                sys.stdout.write(decoder.decode(block))
        if fd is None:
            if buffer is not None:
                buffer.flush()
            sys.stdout.write(decoder.decode(b"", final=True))
            sys.stdout.flush()

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
    a file that existed before stays as it was. Two outputs that name one
    file are refused, however they name it.

    Args:
        inputs: the files the run reads; no output may resolve to one.
    """

    def __init__(self, inputs: Iterable[PathLike | None] = ()) -> None:
        self.inputs = [os.fspath(p) for p in inputs if p is not None]
        self._pending: list[StagedFile] = []
        self._roles: dict[str, str] = {}

    def check(self, *targets: Target) -> None:
        """Refuse, before any work, targets that are inputs, that may not be
        written, or that name one file twice.

        Args:
            targets: every output of the run, each a path or a (role,
                path) pair whose role (such as ``--out``) names it in a
                refusal; None for an output not asked for.

        Raises:
            DataError: a target resolves to an input, is a file this
                process may not write, or names the file another does.
        """
        seen: list[tuple[str, str | None]] = []
        for item in targets:
            role, target = item if isinstance(item, tuple) else (None, item)
            if target is None:
                continue
            name = os.fspath(target)
            refuse_input(name, self.inputs)
            refuse_unwritable(name)
            for other, other_role in seen:
                if _one_file(other, name):
                    raise _twice(other, other_role, name, role)
            seen.append((name, role))
            if role is not None:
                self._roles[name] = role

    def _stage(self, target: PathLike, *, text: bool) -> StagedFile:
        name = os.fspath(target)
        for staged in self._pending:
            if _one_file(staged.name, name):
                raise _twice(
                    staged.name,
                    self._roles.get(staged.name),
                    name,
                    self._roles.get(name),
                )
        staged = StagedFile(name, self.inputs, text=text)
        self._pending.append(staged)
        return staged

    def path_for(self, target: PathLike) -> str:
        """A path to write ``target``'s content to (a figure, a Parquet
        table: never standard output), put into place by :meth:`commit`."""
        return self._stage(target, text=False).path

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
        """Queue ``data`` (text, which may go to standard output as ``-``)
        for ``target``."""
        self._stage(target, text=True).write(data)

    def write_text(self, target: PathLike, text: str) -> None:
        """Queue ``text`` (UTF-8) for ``target``; ``-`` is standard output."""
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

    def __enter__(self) -> Outputs:  # noqa: PYI034  (typing.Self is 3.11+)
        return self

    def __exit__(self, kind: type[BaseException] | None, *_: object) -> None:
        """Put every file in place (each said as a note) when the block ends
        without an error; none when it fails."""
        try:
            if kind is None:
                for path in self.commit():
                    notices.note(f"wrote {path}")
        finally:
            self.discard()


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
