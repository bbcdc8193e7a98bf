"""Real data sets shipped with the package: ubiquitin, GB3 and lysozyme.

Measured couplings with the structures they were measured on, for trying
the tools on real data and for checking them against published fits:

* ``ubiquitin``: PDB 1D3Z (first model, with protons), 265 couplings of four
  bond types, and an SVD fit of them by an established tool;
* ``gb3``: PDB 1P7E, 203 couplings, and the same kind of reference fit;
* ``hewl``: PDB 1E8L (first model), its restraint file as deposited (Xplor/CNS
  and NMR-STAR) with N-H couplings in two media, and the first medium as a
  coupling table.

Where they came from and their licence are in ``README.md`` and
``LICENSE-source`` beside them; :func:`copy_to` (``kelfit data DIR``) copies
those two files with the data.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from importlib import resources
from pathlib import Path

from ..errors import Advice, DataError, Hint, PathLike
from ..outputs import Outputs

__all__ = ["PROVENANCE", "Copied", "copy_to", "files", "names", "path"]

#: The files that say where the data came from and under which licence;
#: every copy of the data takes them along.
PROVENANCE = ("README.md", "LICENSE-source")


def _root() -> Path:
    return Path(str(resources.files(__package__) / "files"))


def names() -> tuple[str, ...]:
    """The data sets the package holds, sorted (``gb3``, ``hewl``, ``ubiquitin``)."""
    root = _root()
    if not root.is_dir():
        return ()
    return tuple(sorted(p.name for p in root.iterdir() if p.is_dir()))


def files(name: str) -> tuple[str, ...]:
    """The files of the data set ``name``, sorted.

    Raises:
        ValueError: the package holds no data set ``name``.
    """
    known = names()
    if name not in known:
        raise ValueError(
            f"name: no data set {name!r}; the package holds "
            f"{', '.join(known) or 'none'}"
        )
    return tuple(sorted(p.name for p in (_root() / name).iterdir() if p.is_file()))


def path(name: str, file: str) -> Path:
    """Where the package holds ``file`` of the data set ``name``, such as
    ``path("ubiquitin", "couplings.tab")``.

    The files are read-only inputs: write results elsewhere (or work on a
    copy made by :func:`copy_to`).

    Raises:
        ValueError: the package holds no such data set, or no such file in it.
    """
    held = files(name)
    if file not in held:
        raise ValueError(
            f"file: data set {name!r} has no file {file!r}; it has {', '.join(held)}"
        )
    return _root() / name / file


@dataclass(frozen=True)
class Copied:
    """What :func:`copy_to` did.

    Attributes:
        written: the files it wrote.
        unchanged: the files that were already there with the same content.
    """

    written: list[Path] = field(default_factory=list)
    unchanged: list[Path] = field(default_factory=list)


def _sources() -> list[tuple[Path, Path]]:
    """Every file to copy, as (where the package holds it, where it goes
    relative to the target folder)."""
    root = _root()
    pairs = [(root / f, Path(f)) for f in PROVENANCE if (root / f).is_file()]
    for name in names():
        pairs += [(root / name / f, Path(name, f)) for f in files(name)]
    return pairs


def _same_content(target: Path, source: Path) -> bool:
    try:
        return target.is_file() and target.read_bytes() == source.read_bytes()
    except OSError:
        return False


def copy_to(folder: PathLike, *, force: bool = False) -> Copied:
    """Copy every data set, with :data:`PROVENANCE`, into ``folder`` (made
    when missing): ``folder/ubiquitin/couplings.tab`` and so on.

    Files already there with the same content are left as they are, so a
    second copy into the same folder changes nothing. A file there that
    differs is replaced only with ``force``; without it nothing at all is
    copied. Each file appears whole or not at all.

    Raises:
        DataError: ``folder`` is not a folder, a file there differs and
            ``force`` is not given, or a file cannot be written.
    """
    target_folder = Path(os.fspath(folder))
    if target_folder.exists() and not target_folder.is_dir():
        raise DataError("cannot copy the data sets here: it is not a folder", folder)
    sources = _sources()
    done = Copied()
    to_write: list[tuple[Path, Path]] = []
    differing: list[str] = []
    for source, relative in sources:
        target = target_folder / relative
        if _same_content(target, source):
            done.unchanged.append(target)
            continue
        if os.path.lexists(target) and not force:
            differing.append(str(relative))
        to_write.append((source, target))
    if differing:
        listed = ", ".join(differing).replace("{", "{{").replace("}", "}}")
        raise DataError(
            Advice(
                f"{len(differing)} file(s) there differ from the package's copy "
                f"({listed}); nothing was copied: {{0}} replaces them",
                Hint("force", python="force=True"),
            ),
            folder,
        )
    outputs = Outputs(inputs=[source for source, _ in sources])
    try:
        for source, target in to_write:
            try:
                target.parent.mkdir(parents=True, exist_ok=True)
            except OSError as exc:
                raise DataError(
                    f"cannot make the folder: {exc.strerror or exc}", target.parent
                ) from None
            outputs.write_bytes(target, source.read_bytes())
        outputs.commit()
    finally:
        outputs.discard()
    done.written.extend(target for _, target in to_write)
    return done
