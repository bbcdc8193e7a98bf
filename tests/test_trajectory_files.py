"""Damaged, cut and unusual trajectory files, written by the tests themselves.

Every trajectory here is ubiquitin (the shared structure) jittered frame by
frame with MDAnalysis in a temporary folder; corruption and truncation are
made by editing its bytes.
"""

from __future__ import annotations

import json
import math
import os
import signal
import struct
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from kelfit_tools import DataError, read_couplings
from tools_support import run_kelfit, shared_data

mda = pytest.importorskip("MDAnalysis")

from kelfit_tools.io.trajectory import (
    coupling_atoms,
    load_universe,
    read_frames,
    truncation_warning,
    whole_frames,
)
from kelfit_tools.trajectory import fit_frames

TABLE = ("ubiquitin", "couplings.tab")

#: Frames of the long test trajectories.
FRAMES = 200


def _write(
    path: Path,
    frames: int,
    *,
    broken: dict[int, tuple[int, int]] | None = None,
    shifted: dict[int, tuple[int, tuple[float, float, float]]] | None = None,
    box: float | None = None,
    jitter: float = 0.05,
) -> Path:
    """Ubiquitin jittered by ``jitter`` A in each of ``frames`` frames; in frame k
    of ``broken``, atom b is put on atom a (a zero-length bond), in frame k
    of ``shifted`` atom a is moved by (x, y, z); ``box``: a cubic unit cell
    of that edge."""
    universe = mda.Universe(str(shared_data("ubiquitin", "1d3z-model-1.pdb")))
    atoms = universe.atoms
    reference = atoms.positions.astype(np.float64)
    rng = np.random.default_rng(7)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # DCD's "no unit cell" notice
        with mda.Writer(str(path), atoms.n_atoms) as writer:
            for k in range(frames):
                moved = reference + rng.normal(0, jitter, reference.shape)
                if broken and k in broken:
                    a, b = broken[k]
                    moved[b] = moved[a]
                if shifted and k in shifted:
                    a, by = shifted[k]
                    moved[a] += by
                atoms.positions = moved
                if box is not None:
                    universe.dimensions = [box, box, box, 90.0, 90.0, 90.0]
                universe.trajectory.ts.time = 2.0 * k
                writer.write(atoms)
    return path


@pytest.fixture(scope="module")
def long_files(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    folder = tmp_path_factory.mktemp("long")
    return {ext: _write(folder / f"run.{ext}", FRAMES) for ext in ("xtc", "dcd")}


def _cut(source: Path, target: Path, size: int) -> Path:
    target.write_bytes(source.read_bytes()[:size])
    return target


def _fit(trajectory: Path, *more: object):  # type: ignore[no-untyped-def]
    return run_kelfit(
        "fit",
        "--structure",
        shared_data("ubiquitin", "1d3z-model-1.pdb"),
        "--trajectory",
        trajectory,
        "--couplings",
        shared_data("ubiquitin", "couplings.tab"),
        "--no-superpose",
        *more,
    )


def _one_line_error(done) -> str:  # type: ignore[no-untyped-def]
    assert done.returncode == 1, done.stderr
    errors = [line for line in done.stderr.splitlines() if ": error: " in line]
    assert len(errors) == 1, done.stderr
    assert "Traceback" not in done.stderr and "Exception ignored" not in done.stderr
    return errors[0]


# ------------------------------------------------------------ crashes


@pytest.mark.parametrize(
    ("sent", "said"),
    [
        (signal.SIGSEGV, "the trajectory reader crashed (SIGSEGV)"),
        # The out-of-memory killer's signal is no damage to the file.
        (signal.SIGKILL, "the trajectory reader process was killed by SIGKILL"),
    ],
)
def test_a_reader_that_dies_is_an_error_naming_the_file_and_frame(
    long_files: dict[str, Path], sent: int, said: str
) -> None:
    # The child process is killed as a crashing reader would end (or as the
    # system ends it); this process goes on and says where the reading stopped.
    universe = load_universe(
        shared_data("ubiquitin", "1d3z-model-1.pdb"), long_files["xtc"]
    )
    frames = read_frames(universe, range(FRAMES), [0, 1, 2])
    seen = []
    with pytest.raises(DataError) as caught:
        for frame in frames:
            seen.append(frame.index)
            if frame.index == 40:
                import multiprocessing

                (child,) = multiprocessing.active_children()
                os.kill(child.pid, sent)
    message = str(caught.value)
    assert message.startswith(f"{long_files['xtc']}: {said}")
    assert ("damaged" in message) == (sent == signal.SIGSEGV)
    last = int(message.split("after frame ")[1].split(":")[0])
    # The reader runs ahead of the fit by at most what the pipe holds.
    assert 40 <= last < FRAMES - 1 and seen == list(range(len(seen)))


def test_frames_read_in_a_child_process_are_the_same_bits(
    long_files: dict[str, Path],
) -> None:
    for ext in ("xtc", "dcd"):
        universe = load_universe(
            shared_data("ubiquitin", "1d3z-model-1.pdb"), long_files[ext]
        )
        pairs = coupling_atoms(
            universe, read_couplings(shared_data("ubiquitin", "couplings.tab"))
        )
        frames = range(3, 40, 7)
        apart = list(fit_frames(pairs, frames, isolate=True, progress=False, workers=1))
        here = list(fit_frames(pairs, frames, isolate=False, progress=False, workers=1))
        assert [f.frame for f in apart] == list(frames) == [f.frame for f in here]
        assert [f.time for f in apart] == [f.time for f in here]
        for a, b in zip(apart, here):
            assert a.result.params.tobytes() == b.result.params.tobytes()


def _run_table(
    pairs: Any, frames: range, superposer: Any, table: Path, block: int
) -> Any:
    """The per-frame table of ``frames`` (its rows) and their running means."""
    from kelfit_tools.report.frames import record_frames
    from kelfit_tools.trajectory import FrameMeans

    means = FrameMeans(pairs)
    fits = fit_frames(
        pairs, frames, progress=False, superpose=superposer, means=means, block=block
    )
    record_frames(fits, table=table)
    return table.read_text().splitlines()[1:], means


@pytest.mark.parametrize("block", [1, 7, FRAMES, "split"])
def test_blocks_and_frame_ranges_give_the_same_tables_and_average(
    long_files: dict[str, Path], tmp_path: Path, block: int | str
) -> None:
    # Read, superposed and fitted 64 frames at a time (through the reader
    # process) against every other block size, and two runs over halves.
    from kelfit_tools.average import RowMeans
    from kelfit_tools.superpose import BACKBONE, frame_superposer
    from kelfit_tools.trajectory import averaged_fit, coupled_residues

    universe = load_universe(
        shared_data("ubiquitin", "1d3z-model-1.pdb"), long_files["xtc"]
    )
    pairs = coupling_atoms(universe, read_couplings(shared_data(*TABLE)))
    superposer = frame_superposer(
        universe, BACKBONE, residues=coupled_residues(pairs), frame=1
    )
    frames = range(1, FRAMES, 2)
    rows, means = _run_table(pairs, frames, superposer, tmp_path / "a.csv", 64)
    if block == "split":
        first, second = range(1, 71, 2), range(71, FRAMES, 2)
        head, one = _run_table(pairs, first, superposer, tmp_path / "b.csv", 64)
        tail, two = _run_table(pairs, second, superposer, tmp_path / "c.csv", 64)
        other, merged = head + tail, RowMeans.merged([one, two])
    else:
        assert isinstance(block, int)
        other, merged = _run_table(pairs, frames, superposer, tmp_path / "b.csv", block)
    assert len(rows) == len(frames) and other == rows
    whole = averaged_fit(means, pairs).params
    if block == "split":  # running means merged: the same to rounding
        np.testing.assert_allclose(averaged_fit(merged, pairs).params, whole, 1e-12)
    else:
        assert averaged_fit(merged, pairs).params.tobytes() == whole.tobytes()


def test_read_frames_refuses_to_isolate_a_universe_in_memory(
    long_files: dict[str, Path],
) -> None:
    universe = mda.Universe(
        str(shared_data("ubiquitin", "1d3z-model-1.pdb")),
        str(long_files["xtc"]),
        in_memory=True,
    )
    with pytest.raises(ValueError, match="read from files"):
        read_frames(universe, range(2), [0], isolate=True)
    # By default it is read here, frame by frame.
    assert [f.index for f in read_frames(universe, range(1, 5, 2), [0])] == [1, 3]


@pytest.mark.slow
def test_a_corrupted_xtc_ends_in_one_line_not_a_crash(
    long_files: dict[str, Path], tmp_path: Path
) -> None:
    # 64 random bytes in the last quarter: MDAnalysis's XDR reader aborts
    # on its own heap there ("double free") or refuses the file. What a
    # corrupted heap does next is not fixed: now and then the reader goes
    # on and decodes the bytes as coordinates. Whatever it does, this
    # process must end by itself, and a failure must be one line naming the
    # file (the reader killed outright is tested above, where it is certain).
    data = bytearray(long_files["xtc"].read_bytes())
    rng = np.random.default_rng(2)
    at = int(rng.integers(len(data) // 4, len(data) - 64))
    data[at : at + 64] = rng.integers(0, 256, 64, dtype=np.uint8).tobytes()
    damaged = tmp_path / "damaged.xtc"
    damaged.write_bytes(bytes(data))
    done = _fit(damaged, "-q")
    assert done.returncode in (0, 1), done.stderr
    if done.returncode == 1:
        line = _one_line_error(done)
        assert str(damaged) in line
        assert "crashed" in line or "cannot read" in line


# ------------------------------------------------------------ truncation


def _dcd_frame_bytes(path: Path) -> tuple[int, int]:
    """(header bytes, bytes per frame) of a DCD of ubiquitin's atoms with a
    unit cell, from the layout of its records, not from any reader."""
    data = path.read_bytes()
    offset = 0
    for _ in range(3):  # the header's three records: CORD, title, atoms
        (length,) = struct.unpack("<i", data[offset : offset + 4])
        offset += 4 + length + 4
    atoms = len(mda.Universe(str(shared_data("ubiquitin", "1d3z-model-1.pdb"))).atoms)
    return offset, (4 + 48 + 4) + 3 * (4 + 4 * atoms + 4)


@pytest.mark.parametrize("share", [0.5, 0.01])
def test_a_cut_dcd_is_fitted_with_a_warning(
    long_files: dict[str, Path], tmp_path: Path, share: float
) -> None:
    source = long_files["dcd"]
    header, frame = _dcd_frame_bytes(source)
    assert header + FRAMES * frame == source.stat().st_size
    size = int(source.stat().st_size * share)
    whole = (size - header) // frame
    cut = _cut(source, tmp_path / "cut.dcd", size)
    universe = load_universe(shared_data("ubiquitin", "1d3z-model-1.pdb"), cut)
    assert len(universe.trajectory) == whole
    warning = truncation_warning(universe)
    assert warning == (
        f"cut.dcd holds {whole} of the {FRAMES} frames its header declares: the "
        "file is cut short; the frames there are fitted"
    )
    done = _fit(cut, "--json", "--out", tmp_path / "frames.parquet")
    assert done.returncode == 0, done.stderr
    assert f"warning: {warning}" in done.stderr
    assert "DeprecationWarning" not in done.stderr
    report = json.loads(done.stdout)
    assert report["frames"] == whole and warning in report["warnings"]
    pq = pytest.importorskip("pyarrow.parquet")
    metadata = pq.read_schema(tmp_path / "frames.parquet").metadata
    assert warning in json.loads(metadata[b"kelfit.warnings"])


def test_an_xtc_cut_mid_frame_is_fitted_with_a_warning(
    long_files: dict[str, Path], tmp_path: Path
) -> None:
    source = long_files["xtc"]
    cut = _cut(source, tmp_path / "cut.xtc", source.stat().st_size // 2)
    universe = load_universe(shared_data("ubiquitin", "1d3z-model-1.pdb"), cut)
    # The whole frames: those that end, in the whole file, before the cut.
    full = load_universe(shared_data("ubiquitin", "1d3z-model-1.pdb"), source)
    ends = [*full.trajectory._xdr.offsets[1:], source.stat().st_size]
    whole = sum(1 for end in ends if end <= cut.stat().st_size)
    assert 0 < whole < FRAMES // 2 + 5
    assert whole_frames(universe) == whole
    assert truncation_warning(universe) == (
        f"cut.xtc ends in the middle of a frame after {whole} whole frames: "
        "the file is cut short; the whole frames are fitted"
    )
    pairs = coupling_atoms(universe, read_couplings(shared_data(*TABLE)))
    assert len(list(fit_frames(pairs, progress=False, workers=1))) == whole
    done = _fit(cut, "--frames", f"{whole - 2}:", "--json")
    assert done.returncode == 0, done.stderr
    assert "cut.xtc ends in the middle of a frame" in done.stderr
    report = json.loads(done.stdout)
    assert (report["first_frame"], report["last_frame"]) == (whole - 2, whole - 1)


def test_whole_files_and_files_cut_between_frames_read_as_they_are(
    long_files: dict[str, Path], tmp_path: Path
) -> None:
    top = shared_data("ubiquitin", "1d3z-model-1.pdb")
    for path in long_files.values():
        assert truncation_warning(load_universe(top, path)) is None
    # An XTC cut exactly after a frame is a shorter run, not a damaged one.
    source = long_files["xtc"]
    ends = load_universe(top, source).trajectory._xdr.offsets
    three = load_universe(top, _cut(source, tmp_path / "three.xtc", int(ends[3])))
    assert len(three.trajectory) == 3 and truncation_warning(three) is None
    assert whole_frames(three) == 3
    # A DCD whose writer left the count 0 declares nothing.
    zero = bytearray(long_files["dcd"].read_bytes())
    zero[8:12] = struct.pack("<i", 0)
    (tmp_path / "zero.dcd").write_bytes(bytes(zero))
    assert truncation_warning(load_universe(top, tmp_path / "zero.dcd")) is None


@pytest.mark.parametrize("ext", ["dcd", "xtc"])
@pytest.mark.parametrize("size", [0, 40, 300])
def test_empty_and_header_only_files_are_one_line_errors(
    long_files: dict[str, Path], tmp_path: Path, ext: str, size: int
) -> None:
    cut = _cut(long_files[ext], tmp_path / f"bare.{ext}", size)
    line = _one_line_error(_fit(cut))
    assert line.startswith(f"kelfit fit: error: {cut}: ")


def test_reading_a_dcd_raises_no_deprecation_warning(
    long_files: dict[str, Path],
) -> None:
    top = shared_data("ubiquitin", "1d3z-model-1.pdb")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        universe = load_universe(top, long_files["dcd"])
        pairs = coupling_atoms(
            universe, read_couplings(shared_data("ubiquitin", "couplings.tab"))
        )
        fits = list(fit_frames(pairs, range(2), isolate=False, progress=False))
    assert len(fits) == 2
    assert not [w for w in caught if issubclass(w.category, DeprecationWarning)]


# ------------------------------------------------------------ frames and names


@pytest.fixture(scope="module")
def broken_frame(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    """An XTC of 8 frames whose frame 5 has residue 2's H on its N, and a
    topology where HIS68 is named the CHARMM way (HSD)."""
    folder = tmp_path_factory.mktemp("broken")
    universe = mda.Universe(str(shared_data("ubiquitin", "1d3z-model-1.pdb")))
    n = universe.select_atoms("resid 2 and name N")[0].ix
    h = universe.select_atoms("resid 2 and name H")[0].ix
    trajectory = _write(folder / "broken.xtc", 8, broken={5: (n, h)})
    universe.select_atoms("resid 68").residues.resnames = ["HSD"]
    topology = folder / "charmm.pdb"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # missing PDB fields MDAnalysis fills
        universe.atoms.write(str(topology))
    return topology, trajectory


@pytest.mark.parametrize(
    ("frames", "stride"), [("1:", "2"), ("5:6", "1"), (":", "5"), ("3:", "1")]
)
def test_a_frame_that_cannot_be_fitted_is_named_by_its_number(
    broken_frame: tuple[Path, Path], frames: str, stride: str
) -> None:
    topology, trajectory = broken_frame
    done = run_kelfit(
        "fit",
        "--structure",
        topology,
        "--trajectory",
        trajectory,
        "--couplings",
        shared_data("ubiquitin", "couplings.tab"),
        "--frames",
        frames,
        "--stride",
        stride,
    )
    line = _one_line_error(done)
    # Coupling 1 is GLN2's: its vector is zero in frame 5 alone.
    assert line.endswith(
        "frame 5: vector of row 1 has zero length in single precision"
    ), line


def test_hsd_and_hie_in_a_topology_are_the_tables_his(
    broken_frame: tuple[Path, Path], tmp_path: Path
) -> None:
    topology, trajectory = broken_frame
    couplings = read_couplings(shared_data("ubiquitin", "couplings.tab"))
    for name in ("HSD", "HIE"):
        universe = load_universe(topology, trajectory)
        universe.select_atoms("resid 68").residues.resnames = [name]
        pairs = coupling_atoms(universe, couplings, resnames="strict")
        assert "HIS68" in pairs.labels
        assert not pairs.warnings and not pairs.unmatched
        at = pairs.labels.index("HIS68")
        assert pairs.values[at] == 8.74


def test_couplings_listed_h_first_are_the_same_bonds(
    broken_frame: tuple[Path, Path], tmp_path: Path
) -> None:
    topology, trajectory = broken_frame
    rows = [
        c
        for c in read_couplings(shared_data("ubiquitin", "couplings.tab"))
        if {c.atom_i, c.atom_j} == {"N", "H"}
    ]
    table = tmp_path / "hn.tab"
    lines = ["VARS RESID_I ATOMNAME_I RESID_J ATOMNAME_J D"]
    lines += [f"{c.residue_j} H {c.residue_i} N {c.value}" for c in rows]
    table.write_text("\n".join(lines) + "\n")
    universe = load_universe(topology, trajectory)
    forward = coupling_atoms(universe, rows)
    backward = coupling_atoms(universe, read_couplings(table))
    assert len(backward.values) == len(forward.values) == 68
    assert backward.values.tolist() == forward.values.tolist()
    # Each vector now runs from H to N: the same bond, reversed.
    assert np.array_equal(backward.vectors(), -forward.vectors())
    assert all(a.name == "H" for a in backward.first)
    fits = [
        next(fit_frames(p, range(2, 3), isolate=False, progress=False))
        for p in (forward, backward)
    ]
    assert fits[0].result.params.tobytes() == fits[1].result.params.tobytes()
    assert math.isfinite(fits[0].result.q)


# ------------------------------------------------------------ every frame's bonds


def _amide_h(residue: int) -> int:
    universe = mda.Universe(str(shared_data("ubiquitin", "1d3z-model-1.pdb")))
    return int(universe.select_atoms(f"resid {residue} and name H")[0].ix)


@pytest.mark.parametrize("ext", ["xtc", "dcd"])
def test_a_bond_far_off_in_any_frame_is_warned_naming_the_frames(
    tmp_path: Path, ext: str
) -> None:
    # Frame 0 is sound, so the first-frame check alone saw nothing.
    h = _amide_h(20)
    moved = {k: (h, (10.0, 0.0, 0.0)) for k in (100, *range(150, 157))}
    # A jitter well inside the bonds' tolerance, as in a real run.
    trajectory = _write(tmp_path / f"moved.{ext}", FRAMES, shifted=moved, jitter=0.02)
    done = _fit(trajectory, "--json")
    assert done.returncode == 0, done.stderr
    (said,) = [w for w in json.loads(done.stdout)["warnings"] if "frame(s)" in w]
    assert "in 8 frame(s) fitted: 100, 150, 151, 152, 153 and 3 more" in said
    assert "(in frame 100: SER20 N-H" in said
    assert "frame(s) fitted: 100," in done.stderr


def test_a_molecule_split_across_the_box_is_refused_naming_the_frame(
    tmp_path: Path,
) -> None:
    h = _amide_h(20)
    trajectory = _write(
        tmp_path / "split.dcd",
        40,
        shifted={30: (h, (0.0, 0.0, 80.0))},
        box=80.0,
        jitter=0.02,
    )
    line = _one_line_error(_fit(trajectory))
    assert "frame 30: the molecule is split across the periodic boundary" in line
    assert "SER20 N-H 80" in line and "the topology has no bonds" in line
