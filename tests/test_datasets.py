"""The real data sets shipped in the package, and ``kelfit data``."""

from __future__ import annotations

from pathlib import Path

import pytest
from kelfit_tools import datasets
from kelfit_tools.cli import main

FILES = {
    "gb3": ("1p7e.pdb", "couplings.tab", "svd-fit-reference.out"),
    "hewl": ("1e8l-model-1.pdb", "1e8l.mr", "1e8l_mr.str", "couplings.tab"),
    "ubiquitin": ("1d3z-model-1.pdb", "couplings.tab", "svd-fit-reference.out"),
}
#: Every file ``kelfit data`` copies, relative to the folder it copies into.
COPIED = sorted(
    [*datasets.PROVENANCE, *(f"{name}/{f}" for name, fs in FILES.items() for f in fs)]
)


def test_every_data_set_and_file_is_found() -> None:
    assert datasets.names() == tuple(FILES)
    for name, files in FILES.items():
        assert datasets.files(name) == files
        for file in files:
            assert datasets.path(name, file).stat().st_size > 0


@pytest.mark.parametrize(
    ("name", "file", "message"),
    [
        ("lysozyme", "couplings.tab", "name: no data set 'lysozyme'"),
        ("gb3", "1e8l.mr", "file: data set 'gb3' has no file '1e8l.mr'"),
    ],
)
def test_an_unknown_data_set_or_file_is_refused(
    name: str, file: str, message: str
) -> None:
    with pytest.raises(ValueError, match=f"^{message}"):
        datasets.path(name, file)


def _copied(folder: Path) -> list[str]:
    return sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*"))


def test_kelfit_data_copies_and_replaces_nothing_unasked(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    assert main(["data"]) == 0
    listing = capsys.readouterr().out
    assert all(f in listing for files in FILES.values() for f in files)

    target = tmp_path / "new" / "data"
    assert main(["data", str(target)]) == 0
    assert _copied(target) == sorted(COPIED + list(FILES))
    for name, files in FILES.items():
        for f in files:
            assert (target / name / f).read_bytes() == datasets.path(
                name, f
            ).read_bytes()
    assert "copied 12 file(s)" in capsys.readouterr().err
    # Again: the same files are already there, so nothing is refused.
    assert main(["data", str(target)]) == 0
    assert "copied 0 file(s)" in capsys.readouterr().err

    # A file that differs stops the copy before anything is written.
    edited, removed = target / "gb3" / "couplings.tab", target / "hewl" / "1e8l.mr"
    edited.write_text("mine\n")
    removed.unlink()
    assert main(["data", str(target)]) == 1
    assert "(gb3/couplings.tab); nothing was copied" in capsys.readouterr().err
    assert edited.read_text() == "mine\n" and not removed.exists()
    assert main(["data", str(target), "--force", "-q"]) == 0
    assert edited.read_bytes() == datasets.path("gb3", "couplings.tab").read_bytes()
    assert removed.is_file() and _copied(target) == sorted(COPIED + list(FILES))

    # A file where the folder should be is refused.
    assert main(["data", str(edited)]) == 1
    assert "it is not a folder" in capsys.readouterr().err
