"""Helpers shared by the kelfit_tools tests."""

from __future__ import annotations

import contextlib
import io
import json
import logging
import math
import os
import struct
import subprocess
import sys
import tempfile
import traceback
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import TextIO

import numpy as np
import pytest
from kelfit_tools import datasets

REPO = Path(__file__).resolve().parents[1]

#: The real data sets shipped with the package: folder, structure, N-H couplings.
REAL_DATA = [("ubiquitin", "1d3z-model-1.pdb", 68), ("gb3", "1p7e.pdb", 51)]


#: The optional library a test needs to read a data set's file, by its ending.
READERS = {".pdb": "gemmi", ".str": "pynmrstar"}


def shared_data(name: str, file: str) -> Path:
    """A file of a real data set shipped with the package, or skip when this
    installation lacks the data set or the library that reads the file (a
    misspelt file is an error)."""
    if name not in datasets.names():
        pytest.skip(f"this installation of kelfit_tools lacks the data set {name}")
    reader = READERS.get(Path(file).suffix)
    if reader is not None:
        pytest.importorskip(reader, reason=f"reading {file} needs {reader}")
    return datasets.path(name, file)


def structure_args(folder: str, pdb: str) -> list[object]:
    """``--structure`` and ``--couplings`` of one shared data set."""
    return [
        "--structure", shared_data(folder, pdb),
        "--couplings", shared_data(folder, "couplings.tab"),
    ]  # fmt: skip


def model_values(vectors: np.ndarray, params: np.ndarray) -> np.ndarray:
    """Da (3cos^2 theta - 1) + Dr sin^2 theta cos 2phi (+ offset), in double.

    Written from the polar angles in the rotated frame, not from the tensor
    matrix the package uses, so the two can check each other.
    """
    a1, a2, a3, da, r = (float(p) for p in params[:5])
    offset = float(params[5]) if len(params) > 5 else 0.0
    c1, s1, c2, s2 = math.cos(a1), math.sin(a1), math.cos(a2), math.sin(a2)
    c3, s3 = math.cos(a3), math.sin(a3)
    m = np.array(
        [
            [c1 * c3 - s1 * c2 * s3, s1 * c3 + c1 * c2 * s3, s2 * s3],
            [-c1 * s3 - s1 * c2 * c3, c1 * c2 * c3 - s1 * s3, s2 * c3],
            [s1 * s2, -c1 * s2, c2],
        ]
    )
    rotated = np.asarray(vectors, dtype=float) @ m.T
    theta = np.arccos(rotated[:, 2] / np.linalg.norm(rotated, axis=1))
    phi = np.arctan2(rotated[:, 1], rotated[:, 0])
    dr = 1.5 * da * r
    return (
        da * (3 * np.cos(theta) ** 2 - 1)
        + dr * np.sin(theta) ** 2 * np.cos(2 * phi)
        + offset
    )


#: gamma / 2 pi in MHz/T as the usual NMR tables quote them (1H from
#: CODATA), for constants worked out apart from the package's table.
MHZ_PER_TESLA = {
    "H": 42.577478518,
    "C": 10.7084,
    "N": -4.3156,
    "P": 17.235,
    "F": 40.078,
}


def dipolar_hz(x: str, y: str, r: float) -> float:
    """The dipolar constant of nuclei ``x`` and ``y`` (element symbols)
    ``r`` angstrom apart: mu0 h gamma_x gamma_y / (8 pi^3 r^3) in Hz,
    written with frequencies."""
    fx, fy = (MHZ_PER_TESLA[n] * 1e6 for n in (x, y))
    return 4e-7 * math.pi * 6.62607015e-34 * fx * fy / (2 * math.pi * (r * 1e-10) ** 3)


def random_params(rng: np.random.Generator, offset: float = 0.0) -> np.ndarray:
    """A random tensor: any angles, |Da| of a few Hz to tens, 0 <= R <= 2/3."""
    return np.concatenate(
        [
            rng.uniform(-math.pi, math.pi, 3),
            [rng.choice([-1, 1]) * rng.uniform(2, 30), rng.uniform(0, 2 / 3), offset],
        ]
    )


def validate_report(payload: dict) -> None:
    """Fail unless ``payload`` meets the published schema of ``kelfit fit
    --json``; skip when jsonschema (of the ``test`` extra) is missing."""
    jsonschema = pytest.importorskip("jsonschema")
    from kelfit_tools.report.schema import fit_report_schema

    jsonschema.validate(payload, fit_report_schema())


class _Kept(io.BytesIO):
    """A byte buffer that outlives the text stream wrapped round it."""

    def close(self) -> None:
        pass


def _to_stderr(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: TextIO | None = None,
    line: str | None = None,
) -> None:
    """A warning on the stderr of the moment, as Python's own hook writes it."""
    sys.stderr.write(warnings.formatwarning(message, category, filename, lineno, line))


def _exit_status(code: object) -> int:
    """The status a process gets from ``SystemExit(code)``."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    sys.stderr.write(f"{code}\n")
    return 1


def _decoded(data: bytes, errors: str) -> str:
    # As subprocess.run(text=True) reads a pipe: universal newlines.
    text = data.decode("utf-8", errors)
    return text.replace("\r\n", "\n").replace("\r", "\n")


@contextlib.contextmanager
def _process_like(cwd: Path | None, env: dict | None) -> Iterator[None]:
    """The working folder, environment, warning filters and logging a fresh
    ``python -m kelfit_tools`` would have, for the length of one run."""
    saved_env = dict(os.environ)
    saved_cwd = os.getcwd()
    root = logging.getLogger()
    saved_handlers = root.handlers[:]
    # The command sets the level of the package's logger and stops it
    # passing records up, where a later test's caplog would look for them.
    package = logging.getLogger("kelfit_tools")
    saved_package = package.level, package.propagate
    try:
        if env is not None:
            os.environ.clear()
            os.environ.update(env)
        if cwd is not None:
            os.chdir(cwd)
        # Other libraries' warnings reach stderr through logging's last
        # resort, as they would with no handler on the root logger.
        root.handlers = []
        with warnings.catch_warnings():
            # The filters of a plain interpreter (the suite's "error" would
            # turn a warning a user only sees into a crash) and warnings
            # written to stderr, where a test can count them.
            warnings.resetwarnings()
            warnings.filterwarnings(
                "default", category=DeprecationWarning, module="__main__"
            )
            for category in (
                DeprecationWarning,
                PendingDeprecationWarning,
                ImportWarning,
                ResourceWarning,
            ):
                warnings.filterwarnings("ignore", category=category)
            warnings.showwarning = _to_stderr
            yield
    finally:
        root.handlers = saved_handlers
        package.setLevel(saved_package[0])
        package.propagate = saved_package[1]
        os.chdir(saved_cwd)
        if env is not None:
            os.environ.clear()
            os.environ.update(saved_env)


@contextlib.contextmanager
def _descriptors_caught() -> Iterator[list[bytes]]:
    """What reaches descriptors 1 and 2 from below Python (the C++ core,
    other libraries' C code, child processes), caught as a process's pipes
    would catch it; the list holds both once the block has ended."""
    caught: list[bytes] = []
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        saved = [os.dup(1), os.dup(2)]
        try:
            os.dup2(out.fileno(), 1)
            os.dup2(err.fileno(), 2)
            yield caught
        finally:
            for fd, kept in zip((1, 2), saved):
                os.dup2(kept, fd)
                os.close(kept)
            for stream in (out, err):
                stream.seek(0)
                caught.append(stream.read())


def _in_process(
    words: list[str], cwd: Path | None, env: dict | None
) -> subprocess.CompletedProcess[str]:
    from kelfit_tools.cli import main

    out, err = _Kept(), _Kept()
    stdout = io.TextIOWrapper(out, encoding="utf-8", errors="strict")
    stderr = io.TextIOWrapper(err, encoding="utf-8", errors="backslashreplace")
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = stdout, stderr
    try:
        with _descriptors_caught() as below, _process_like(cwd, env):
            try:
                status = main(words)
            except SystemExit as exc:
                status = _exit_status(exc.code)
            except KeyboardInterrupt:
                raise
            except Exception:  # noqa: BLE001 - an uncaught error ends a process with 1
                traceback.print_exc()
                status = 1
            sys.stdout.flush()
            sys.stderr.flush()
    finally:
        sys.stdout, sys.stderr = saved
    return subprocess.CompletedProcess(
        ["kelfit", *words],
        status,
        _decoded(out.getvalue() + below[0], "strict"),
        _decoded(err.getvalue() + below[1], "replace"),
    )


def _check_report(words: list[str], done: subprocess.CompletedProcess[str]) -> None:
    if done.returncode == 0 and words[:1] == ["fit"] and "--json" in words:
        validate_report(json.loads(done.stdout))


def run_kelfit(
    *args: object, cwd: Path | None = None, env: dict | None = None
) -> subprocess.CompletedProcess[str]:
    """Run the ``kelfit`` command line in this process and return what a
    finished ``python -m kelfit_tools`` would: ``returncode``, ``stdout``
    and ``stderr`` (text).

    ``cwd`` and ``env`` hold for the run and are restored after it; an
    ``env`` that changes ``PYTHONPATH`` needs a new interpreter, so that
    goes to :func:`run_kelfit_process`. Every JSON report of ``fit`` that
    succeeds is checked against the published schema on the way, whichever
    test asked for it.
    """
    if env is not None and env.get("PYTHONPATH") != os.environ.get("PYTHONPATH"):
        return run_kelfit_process(*args, cwd=cwd, env=env)
    words = [str(a) for a in args]
    done = _in_process(words, cwd, env)
    _check_report(words, done)
    return done


def run_kelfit_process(
    *args: object, cwd: Path | None = None, env: dict | None = None
) -> subprocess.CompletedProcess[str]:
    """Run ``python -m kelfit_tools`` as a child process, where the process
    is the point (what an import sees, signals, how a crash exits)."""
    done = subprocess.run(
        [sys.executable, "-m", "kelfit_tools", *map(str, args)],
        check=False,
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
        timeout=300,
    )
    _check_report([str(a) for a in args], done)
    return done


def env_without(tmp_path: Path, *modules: str) -> dict:
    """An environment in which importing ``modules`` fails."""
    shim = tmp_path / "hidden-modules"
    for name in modules:
        package = shim / name
        package.mkdir(parents=True, exist_ok=True)
        (package / "__init__.py").write_text(
            f"raise ImportError('{name} hidden by the test')\n"
        )
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(shim), *filter(None, [env.get("PYTHONPATH")])]
    )
    return env


def png_size(path: Path) -> tuple[int, int]:
    """Width and height from a PNG's header."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    return struct.unpack(">II", data[16:24])


def write_models(
    path: Path, source: Path, moves: list[Callable[[np.ndarray], np.ndarray]]
) -> Path:
    """A multi-model PDB at ``path``: model k holds the atoms of ``source``
    (ATOM and HETATM lines) at the coordinates ``moves[k]`` makes of theirs."""
    atoms = [
        line
        for line in source.read_text().splitlines()
        if line.startswith(("ATOM", "HETATM"))
    ]
    xyz = np.array([[float(line[c : c + 8]) for c in (30, 38, 46)] for line in atoms])
    out = []
    for number, move in enumerate(moves, start=1):
        out.append(f"MODEL     {number:4d}")
        out += [
            f"{line[:30]}{x:8.3f}{y:8.3f}{z:8.3f}{line[54:]}"
            for line, (x, y, z) in zip(atoms, move(xyz))
        ]
        out.append("ENDMDL")
    path.write_text("\n".join([*out, "END"]) + "\n")
    return path


def chained_table(path: Path, chains: Sequence[str]) -> Path:
    """The bundled example's couplings once for each of ``chains`` (named in
    SEGNAME columns), as a VARS table at ``path``."""
    from kelfit_tools import read_couplings
    from kelfit_tools.example import example

    rows = read_couplings(example().couplings)
    header = "VARS SEGNAME_I RESID_I RESNAME_I ATOMNAME_I SEGNAME_J RESID_J"
    lines = [header + " RESNAME_J ATOMNAME_J D"]
    lines += [
        f"{s} {c.residue_i} {c.resname_i} {c.atom_i} "
        f"{s} {c.residue_j} {c.resname_j} {c.atom_j} {c.value!r}"
        for s in chains
        for c in rows
    ]
    path.write_text("\n".join(lines) + "\n")
    return path


def run_json(capsys: pytest.CaptureFixture[str], *args: object) -> dict:
    """The JSON report of ``kelfit`` run in this process with ``args``."""
    from kelfit_tools.cli import main

    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    assert status == 0, err
    return json.loads(out)
