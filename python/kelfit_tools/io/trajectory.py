"""Trajectories through MDAnalysis: the universe, and couplings' atom pairs in it.

Any topology and trajectory format MDAnalysis reads will do (it is the
``md`` extra).  The fits over the frames are in :mod:`kelfit_tools.trajectory`.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import os
import signal
import struct
import sys
import warnings
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, TypeVar

import numpy as np
from numpy.typing import NDArray

from .._extras import MissingExtra
from ..errors import DataError, PathLike, one_line
from .matching import match_couplings, match_warnings, no_match_reason
from .names import atom_key
from .tables import Coupling

__all__ = [
    "CONTAINED_FORMATS",
    "FRAMES_PER_BLOCK",
    "MD_HINT",
    "CouplingAtoms",
    "Frame",
    "FrameBlock",
    "UniverseIndex",
    "chain_names",
    "contained",
    "coupling_atoms",
    "frame_range",
    "load_universe",
    "read_blocks",
    "read_frames",
    "read_prepared",
    "require_mdanalysis",
    "truncation_warning",
    "whole_frames",
]

MD_HINT = "pip install 'kelfit[md]'"


def require_mdanalysis() -> Any:
    """MDAnalysis, or MissingExtra saying how to install it."""
    try:
        import MDAnalysis
    except ImportError:
        raise MissingExtra(f"trajectories need MDAnalysis: {MD_HINT}") from None
    return MDAnalysis


@contextlib.contextmanager
def _quiet_readers() -> Iterator[None]:
    """MDAnalysis's notices about its own future (every DCD reader warns that
    its time steps will change in 3.0) are for its developers, not ours."""
    with warnings.catch_warnings():
        warnings.filterwarnings(
            "ignore", category=DeprecationWarning, module="MDAnalysis"
        )
        yield


@contextlib.contextmanager
def _reader_cleanup_silenced() -> Iterator[None]:
    # A reader that fails in its constructor is left half-built, and its
    # __del__ then fails too; Python would print that second failure as an
    # "Exception ignored" traceback after the one-line error.
    previous = sys.unraisablehook

    def hook(unraisable: Any) -> None:
        owner = getattr(unraisable.object, "__module__", None) or ""
        if not owner.startswith("MDAnalysis"):
            previous(unraisable)

    sys.unraisablehook = hook
    try:
        yield
    finally:
        sys.unraisablehook = previous


#: What MDAnalysis raises for a file it cannot read.
_READ_ERRORS = (OSError, ValueError, TypeError, EOFError, RuntimeError, IndexError)


def _universe(files: Sequence[str]) -> Any:
    """``Universe(*files)``, quietly; raises what MDAnalysis raises."""
    mda = require_mdanalysis()
    with _quiet_readers():
        return mda.Universe(*files)


def load_universe(topology: PathLike, trajectory: PathLike | None = None) -> Any:
    """An MDAnalysis ``Universe`` of a topology and, optionally, a trajectory.

    Raises:
        MissingExtra: MDAnalysis is not installed.
        DataError: a file is missing or MDAnalysis cannot read it (an empty
            or header-only trajectory among them).
    """
    require_mdanalysis()
    files = [topology] + ([] if trajectory is None else [trajectory])
    for path in files:
        if not os.path.isfile(path):
            raise DataError("no such file", path)
    failure = ""
    with _reader_cleanup_silenced():
        try:
            return _universe([os.fspath(f) for f in files])
        except _READ_ERRORS as exc:
            failure = f"MDAnalysis cannot read it: {exc}"
    where = trajectory if trajectory is not None else topology
    raise DataError(failure, where)


# ---------------------------------------------------------------- truncation

#: A DCD file opens with a record of 84 bytes whose first word is ``CORD``
#: and whose second is the number of frames the writer declared.
_DCD_FIRST_RECORD = 84

#: An XTC frame's header up to its coordinates' byte count: magic, atoms,
#: step, time, box (9), atoms again, precision, minimum (3), maximum (3),
#: small index and the byte count itself, each 4 bytes.
_XTC_HEADER_WORDS = 23

#: XTC stores up to this many atoms uncompressed, with no byte count.
_XTC_UNCOMPRESSED_ATOMS = 9


def _dcd_declared(path: str) -> int | None:
    """The frame count in a DCD file's header, or None where there is none."""
    with open(path, "rb") as handle:
        head = handle.read(12)
    for order in "<>":
        if len(head) == 12:
            marker, word, declared = struct.unpack(order + "i4si", head)
            if marker == _DCD_FIRST_RECORD and word == b"CORD":
                return int(declared)
    return None


def _xtc_frame_end(path: str, start: int) -> int:
    """Where the XTC frame starting at ``start`` ends, by its header (past
    the end of the file when the frame is cut off)."""
    with open(path, "rb") as handle:
        handle.seek(start)
        head = handle.read(4 * _XTC_HEADER_WORDS)
    if len(head) < 8:
        return start + 4 * _XTC_HEADER_WORDS
    atoms: int = struct.unpack(">i", head[4:8])[0]
    if atoms <= _XTC_UNCOMPRESSED_ATOMS:
        return start + 4 * (15 + 3 * atoms)
    if len(head) < 4 * _XTC_HEADER_WORDS:
        return start + 4 * _XTC_HEADER_WORDS
    count: int = struct.unpack(">i", head[-4:])[0]
    return start + 4 * _XTC_HEADER_WORDS + 4 * ((count + 3) // 4)


def _truncation(universe: Any) -> tuple[int, str | None]:
    """The whole frames of the universe's trajectory, and a warning when
    its file is cut short."""
    trajectory = universe.trajectory
    frames = len(trajectory)
    path = getattr(trajectory, "filename", None)
    if not isinstance(path, str) or not os.path.isfile(path):
        return frames, None
    name = os.path.basename(path)
    kind = str(getattr(trajectory, "format", "")).upper()
    if kind == "DCD":
        declared = _dcd_declared(path)
        if declared is not None and declared > frames:
            return frames, (
                f"{name} holds {frames} of the {declared} frames its header "
                "declares: the file is cut short; the frames there are fitted"
            )
    elif kind == "XTC":
        # MDAnalysis counts a frame cut off at the end, then fails on it.
        offsets = getattr(getattr(trajectory, "_xdr", None), "offsets", None)
        if offsets is not None and len(offsets):
            size = os.path.getsize(path)
            end = _xtc_frame_end(path, int(offsets[-1]))
            whole = frames - 1 if end > size else frames
            if end != size:
                return whole, (
                    f"{name} ends in the middle of a frame after {whole} whole "
                    "frames: the file is cut short; the whole frames are fitted"
                )
    return frames, None


def truncation_warning(universe: Any) -> str | None:
    """A warning when the universe's trajectory file holds fewer frames than
    its header declares (DCD) or ends in the middle of a frame (XTC).

    MDAnalysis reads such files up to the last whole frame without a word,
    so a run cut short by a full disk or a killed job would be fitted as if
    it were complete.  The check reads a few header bytes, never the frames.
    """
    return _truncation(universe)[1]


def whole_frames(universe: Any) -> int:
    """The frames of the universe's trajectory that can be read: an XTC
    frame cut off at the end of the file is not one."""
    return _truncation(universe)[0]


@dataclass(frozen=True, eq=False)
class CouplingAtoms:
    """The atom pairs of matched couplings, in a universe.

    Attributes:
        first, second: AtomGroups; vector k runs from ``first[k]`` to
            ``second[k]``.
        values: the matched couplings' values.
        labels: a short name for each.
        couplings: the matched couplings, in the same order.
        unmatched: couplings of the wanted atom pair the topology lacks,
            each with the reason.
        other_pairs: couplings between other atom pairs, left out.
        notes: what a reader should know of the match (a chain taken by
            another name, ...).
        warnings: what a reader must know (residue names that differ,
            couplings left unmatched).
    """

    first: Any
    second: Any
    values: NDArray[np.float64]
    labels: list[str]
    couplings: list[Coupling]
    unmatched: list[tuple[Coupling, str]]
    other_pairs: int
    notes: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)

    def vectors(self, positions: NDArray[Any] | None = None) -> NDArray[np.float64]:
        """The bond vectors at the universe's current frame, or in
        ``positions`` (every atom's, as :class:`Frame` holds them)."""
        if positions is None:
            second, first = self.second.positions, self.first.positions
        else:
            second, first = positions[self.second.ix], positions[self.first.ix]
        out: NDArray[np.float64] = np.asarray(second, dtype=np.float64) - np.asarray(
            first, dtype=np.float64
        )
        return out

    def atom_indices(self) -> NDArray[np.int64]:
        """The indices of every atom the pairs use, each once."""
        return np.unique(np.concatenate([self.first.ix, self.second.ix]))


#: Residue names of water in the common force fields.
_WATERS = frozenset({"HOH", "WAT", "SOL", "TIP3", "TIP4", "SPC", "T3P"})


class UniverseIndex:
    """The :class:`~kelfit_tools.io.matching.AtomIndex` of a topology's atoms.

    Chains are PDB chains where the topology has them, else segments.
    """

    source = "topology"

    def __init__(self, atoms: Any) -> None:
        chains = chain_names(atoms)
        icodes = getattr(atoms, "icodes", None)
        self._atoms: dict[tuple[str, int, str], dict[str, int]] = {}
        self._names: dict[tuple[str, int, str], str] = {}
        self._chains: list[str] = []
        for k, atom in enumerate(atoms):
            icode = "" if icodes is None else str(icodes[k]).strip().upper()
            key = (chains[k], int(atom.resid), icode)
            if chains[k] not in self._chains:
                self._chains.append(chains[k])
            self._atoms.setdefault(key, {}).setdefault(atom_key(atom.name), atom.ix)
            self._names.setdefault(key, str(atom.resname))
        self._hydrogens = any(
            name.lstrip("0123456789").startswith("H")
            for names in self._atoms.values()
            for name in names
        )

    def chains(self) -> list[str]:
        return list(self._chains)

    def residue(self, chain: str, number: int, icode: str) -> str | None:
        return self._names.get((chain, number, icode.strip().upper()))

    def atom(self, chain: str, number: int, icode: str, name: str) -> Any:
        return self._atoms.get((chain, number, icode.strip().upper()), {}).get(name)

    def has_hydrogens(self) -> bool:
        return self._hydrogens

    def atom_names(self, chain: str, number: int, icode: str) -> set[str]:
        return set(self._atoms.get((chain, number, icode.strip().upper()), {}))

    def residue_names(self) -> dict[tuple[str, int], str]:
        """Every residue's name by chain and number, as the numbering check
        compares them; residues with an insertion code are left out."""
        return {
            (chain, number): name
            for (chain, number, icode), name in self._names.items()
            if not icode and name.upper() not in _WATERS
        }


def chain_names(atoms: Any) -> list[str]:
    """Chain of each atom: the PDB chain when there is one, else the segment."""
    for attribute in ("chainIDs", "segids"):
        try:
            names = [str(n).strip() for n in getattr(atoms, attribute)]
        except AttributeError:
            continue
        if any(names):
            return names
    return [""] * len(atoms)


def coupling_atoms(
    universe: Any,
    couplings: Sequence[Coupling],
    atoms: Sequence[str] | None = ("N", "H"),
    *,
    chain: str | None = None,
    resnames: str = "strict",
) -> CouplingAtoms:
    """Match couplings to atom pairs of a universe's topology.

    Atoms are found by chain (PDB chain, else segment), residue number,
    insertion code and name, as
    :func:`~kelfit_tools.io.matching.match_couplings` does for structures;
    ``atoms`` None takes every pair.

    Raises:
        DataError: a topology without the hydrogens most couplings need, or
            no coupling matched.
    """
    match = match_couplings(
        UniverseIndex(universe.atoms), couplings, atoms, chain=chain, resnames=resnames
    )
    if not match.couplings:
        raise DataError(
            "no coupling matched the topology"
            + no_match_reason(match, len(couplings), atoms)
        )
    return CouplingAtoms(
        first=universe.atoms[match.first],
        second=universe.atoms[match.second],
        values=np.array([c.value for c in match.couplings], dtype=np.float64),
        labels=[c.label for c in match.couplings],
        couplings=match.couplings,
        unmatched=match.unmatched,
        other_pairs=match.other_pairs,
        notes=match.notes,
        warnings=match_warnings(match, "topology"),
    )


def frame_range(count: int, frames: slice | None, stride: int) -> range:
    """The frames of a trajectory of ``count`` frames that a run visits."""
    if stride < 1:
        raise ValueError(f"stride must be at least 1, got {stride}")
    start, stop, step = (frames or slice(None)).indices(count)
    if step != 1:
        raise ValueError("give the step as the stride, not in the frame range")
    return range(start, stop, stride)


# ------------------------------------------------------------ frame reading

#: Frames read and handed on together: one message from a reader process,
#: one superposition and one stack of fits.  Fixed, so memory is the same
#: for a thousand frames as for a million.
FRAMES_PER_BLOCK = 64

#: Blocks a reader process may send before this one has taken the first:
#: it reads ahead while the frames before are fitted, and no further.
_BLOCKS_AHEAD = 2

#: Formats whose readers decode the file's bytes in compiled code, where a
#: damaged file can corrupt memory and end the process rather than raise.
#: These are read in a child process; the others (text and NetCDF readers in
#: Python, a trajectory in memory) raise on damage and are read here.
CONTAINED_FORMATS = frozenset({"XTC", "TRR", "DCD", "LAMMPS", "TNG"})


@dataclass(frozen=True, eq=False)
class Frame:
    """One frame as read.

    Attributes:
        index: the frame's index in the trajectory.
        time: its time (ps, as MDAnalysis reports it).
        positions: every atom's position (atoms x 3, float32); only the atoms
            asked of :func:`read_frames` are this frame's.  The array is
            reused for the next frame.
        box: the unit cell (a, b, c, alpha, beta, gamma) as MDAnalysis
            gives it, or None for a frame without one.
    """

    index: int
    time: float
    positions: NDArray[np.float32]
    box: NDArray[np.float32] | None = None


@dataclass(frozen=True, eq=False)
class FrameBlock:
    """Consecutive frames of a run, as read together.

    Attributes:
        indices: each frame's index in the trajectory.
        times: each frame's time (ps).
        positions: frames x atoms x 3 (float32): the positions of the atoms
            asked of :func:`read_blocks`, in their order.
        boxes: each frame's unit cell, or None (see :class:`Frame`).
    """

    indices: NDArray[np.int64]
    times: NDArray[np.float64]
    positions: NDArray[np.float32]
    boxes: list[NDArray[np.float32] | None]

    def __len__(self) -> int:
        return len(self.indices)


def _files_of(universe: Any) -> list[str] | None:
    """The files a reader process can open the universe from, or None
    (a trajectory in memory, several files chained, ...)."""
    topology = getattr(universe, "filename", None)
    trajectory = universe.trajectory
    path = getattr(trajectory, "filename", None)
    if not isinstance(topology, str) or not isinstance(path, str):
        return None
    if not (os.path.isfile(topology) and os.path.isfile(path)):
        return None
    if type(trajectory).__name__ in ("MemoryReader", "ChainReader"):
        return None
    return [topology] if os.path.samefile(topology, path) else [topology, path]


def _blocks(trajectory: Any, frames: range, atoms: NDArray[np.int64],
            size: int) -> Iterator[FrameBlock]:  # fmt: skip
    """Read ``frames`` of an open trajectory, ``size`` frames at a time."""
    count = len(atoms)
    with _quiet_readers():
        # A generator of its own: a whole trajectory's iterator is the
        # reader, which starts over whenever a loop asks it for an iterator.
        steps = (ts for ts in trajectory[frames.start : frames.stop : frames.step])
        while True:
            positions = np.empty((size, count, 3), dtype=np.float32)
            indices = np.empty(size, dtype=np.int64)
            times = np.empty(size, dtype=np.float64)
            boxes: list[NDArray[np.float32] | None] = []
            n = 0
            for ts in steps:
                positions[n] = ts.positions[atoms]
                indices[n] = ts.frame
                times[n] = ts.time
                boxes.append(_box(ts))
                n += 1
                if n == size:
                    break
            if n == 0:
                return
            yield FrameBlock(indices[:n], times[:n], positions[:n], boxes)
            if n < size:
                return


def _reader_process(
    connection: Any,
    files: list[str],
    frames: range,
    atoms: NDArray[np.int64],
    size: int,
    prepare: Callable[[FrameBlock], Any],
    last: Any,
    ahead: Any,
    universe: Any = None,
) -> None:
    # Ctrl-C is the parent's to handle: it stops this process on its way out.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # What the reader itself prints as it crashes (glibc's "double free",
    # ...) is not the user's business: the parent reports the crash.
    with contextlib.suppress(OSError):
        quiet = os.open(os.devnull, os.O_WRONLY)
        os.dup2(quiet, 2)
    try:
        with _reader_cleanup_silenced():
            if universe is None:
                universe = _universe(files)
            else:
                # A copy of the parent's universe: the trajectory is opened
                # anew, so this process never moves the parent's file offset.
                with _quiet_readers():
                    universe.load_new(files[-1], format=universe.trajectory.format)
        for block in _blocks(universe.trajectory, frames, atoms, size):
            prepared = prepare(block)
            last.value = int(block.indices[-1])
            ahead.acquire()
            connection.send(prepared)
        connection.send(None)
    except Exception as exc:  # noqa: BLE001 -- every failure goes to the parent
        connection.send(f"{exc}")
    finally:
        connection.close()


def _crash_message(exitcode: int | None, last: int) -> str:
    after = f"after frame {last}" if last >= 0 else "before its first frame"
    if exitcode is None or exitcode >= 0:
        # Every failure of the reading itself comes as a message: this
        # process ended some other way (it could not start, or was stopped).
        return f"the trajectory reader process ended (exit status {exitcode}) {after}"
    try:
        how = signal.Signals(-exitcode).name
    except ValueError:
        how = f"signal {-exitcode}"
    if -exitcode in _SENT_SIGNALS:
        # Sent from outside, not a crash of the reader on the file's bytes.
        return (
            f"the trajectory reader process was killed by {how} {after}: the "
            "system may have ended it (the out-of-memory killer sends SIGKILL), "
            "or another process did; the file itself may be sound"
        )
    return (
        f"the trajectory reader crashed ({how}) {after}: the file is damaged after it"
    )


#: Signals a process gets from another (or from the system's out-of-memory
#: killer), never from a fault of its own while reading.
_SENT_SIGNALS = frozenset(
    int(getattr(signal, name))
    for name in (
        "SIGKILL",
        "SIGTERM",
        "SIGHUP",
        "SIGINT",
        "SIGQUIT",
        "SIGUSR1",
        "SIGUSR2",
    )
    if hasattr(signal, name)
)


def _forkable() -> bool:
    """Whether a reader process can be a fork of this one: it then starts
    in milliseconds with MDAnalysis imported and the topology read, where a
    new interpreter takes about a second.  Only where forking is the
    platform's own way (Linux) and no other thread runs, whose locks a fork
    could copy held."""
    import threading

    return (
        sys.platform.startswith("linux")
        and "fork" in multiprocessing.get_all_start_methods()
        and threading.active_count() == 1
    )


def _blocks_in_child(
    universe: Any, files: list[str], frames: range, atoms: NDArray[np.int64],
    size: int, prepare: Callable[[FrameBlock], _Prepared],
) -> Iterator[_Prepared]:  # fmt: skip
    forked = _forkable()
    context: Any = multiprocessing.get_context("fork" if forked else "spawn")
    receiving, sending = context.Pipe(duplex=False)
    last = context.Value("q", -1, lock=False)
    ahead = context.Semaphore(_BLOCKS_AHEAD)
    process = context.Process(
        target=_reader_process,
        args=(sending, files, frames, atoms, size, prepare, last, ahead,
              universe if forked else None),
        daemon=True,
    )  # fmt: skip
    path = files[-1]
    if forked:
        # A fork copies what this process has yet to write, and the copy
        # would be written again as the child ends.
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(AttributeError, OSError, ValueError):
                stream.flush()
    process.start()
    sending.close()
    try:
        while True:
            try:
                message = receiving.recv()
            except (EOFError, OSError):
                # The reader died before or while sending ("got end of file
                # during message"): its exit status says how.
                process.join()
                raise DataError(
                    _crash_message(process.exitcode, int(last.value)), path
                ) from None
            if message is None:
                return
            if isinstance(message, str):
                after = int(last.value)
                where = f" after frame {after}" if after >= 0 else ""
                raise DataError(
                    f"MDAnalysis cannot read it{where}: {one_line(message)}", path
                )
            ahead.release()
            yield message
    finally:
        receiving.close()
        if process.is_alive():
            process.terminate()
        process.join()


def _can_start_process() -> bool:
    """Whether a new interpreter can be started as this one was: it runs
    the main script again, so a script read from standard input stops it."""
    path = getattr(sys.modules.get("__main__"), "__file__", None)
    return path is None or os.path.isfile(path)


def _box(ts: Any) -> NDArray[np.float32] | None:
    """A frame's unit cell, or None where it has none (or an empty one)."""
    box = ts.dimensions
    if box is None or not np.all(np.asarray(box[:3]) > 0):
        return None
    return np.array(box, dtype=np.float32)


def contained(universe: Any) -> bool:
    """Whether :func:`read_blocks` reads the universe's frames in a child
    process by default: a trajectory in one of :data:`CONTAINED_FORMATS`,
    read from files, where a process can be started."""
    if _files_of(universe) is None:
        return False
    kind = str(getattr(universe.trajectory, "format", "")).upper()
    return kind in CONTAINED_FORMATS and (_forkable() or _can_start_process())


_Prepared = TypeVar("_Prepared")


def _as_read(block: FrameBlock) -> FrameBlock:
    return block


def read_blocks(
    universe: Any,
    frames: range,
    atoms: Sequence[int] | NDArray[np.int64],
    *,
    block: int = FRAMES_PER_BLOCK,
    isolate: bool | None = None,
) -> Iterator[FrameBlock]:
    """The frames of ``frames``, in order, ``block`` at a time, with the
    positions of ``atoms``.

    With ``isolate``, the frames are read in a child process that opens the
    trajectory anew: a reader that crashes on a damaged file (as
    MDAnalysis's XTC reader may, corrupting its heap) ends that process,
    not this one, and the crash becomes a :class:`DataError` naming the
    file and the last frame read.  The child is a fork of this process
    where that is safe (Linux, no other thread running), so it starts in
    milliseconds; else a new interpreter.  By default the formats whose
    readers decode bytes in compiled code are read so (:func:`contained`);
    the rest, and a universe in memory, are read here.

    Raises:
        DataError: the reader crashed or failed, naming the file and the
            last frame read.
        ValueError: ``isolate`` for a universe that is not read from files,
            or a block of no frames.
    """
    return read_prepared(
        universe, frames, atoms, _as_read, block=block, isolate=isolate
    )


def read_prepared(
    universe: Any,
    frames: range,
    atoms: Sequence[int] | NDArray[np.int64],
    prepare: Callable[[FrameBlock], _Prepared],
    *,
    block: int = FRAMES_PER_BLOCK,
    isolate: bool | None = None,
) -> Iterator[_Prepared]:
    """:func:`read_blocks`, each block handed to ``prepare`` where it is
    read and what it returns handed on: in a reader process, that work is
    done beside this process's (``prepare`` must then pickle, as a
    module's function or a ``functools.partial`` of one does).

    Raises:
        As :func:`read_blocks`.
    """
    if block < 1:
        raise ValueError(f"block must be at least 1 frame, got {block}")
    picked = np.asarray(atoms, dtype=np.int64)
    files = _files_of(universe)
    if isolate and files is None:
        raise ValueError(
            "only a universe read from files can be read in a child process"
        )
    if isolate is None:
        isolate = contained(universe)
    if not isolate or files is None:
        return map(prepare, _blocks(universe.trajectory, frames, picked, block))
    return _blocks_in_child(universe, files, frames, picked, block, prepare)


def read_frames(
    universe: Any,
    frames: range,
    atoms: Sequence[int] | NDArray[np.int64],
    *,
    isolate: bool | None = None,
) -> Iterator[Frame]:
    """The frames of ``frames`` one by one, read as :func:`read_blocks`
    reads them (and raising as it does)."""
    picked = np.asarray(atoms, dtype=np.int64)
    blocks = read_blocks(universe, frames, picked, isolate=isolate)

    def frames_of() -> Iterator[Frame]:
        positions = np.zeros((universe.atoms.n_atoms, 3), dtype=np.float32)
        for block in blocks:
            for k in range(len(block)):
                positions[picked] = block.positions[k]
                yield Frame(
                    int(block.indices[k]),
                    float(block.times[k]),
                    positions,
                    block.boxes[k],
                )

    return frames_of()
