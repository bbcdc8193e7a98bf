"""Every output goes through one writer: whole or not at all, never onto a
device, a FIFO, a link or an input, and never cut short in silence."""

from __future__ import annotations

import contextlib
import json
import os
import pwd
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest
from kelfit_tools.cli import main
from kelfit_tools.errors import DataError
from kelfit_tools.example import example
from kelfit_tools.outputs import Outputs, StagedFile
from kelfit_tools.report.couplings import csv_text
from tools_support import run_kelfit, run_kelfit_process

EX = example()
LINUX = sys.platform.startswith("linux")
ROOT = hasattr(os, "geteuid") and os.geteuid() == 0


def kelfit_command(*args: object) -> list[str]:
    return [sys.executable, "-m", "kelfit_tools", *map(str, args)]


class TestTargets:
    def test_a_symlink_keeps_pointing_at_the_file_it_names(
        self, tmp_path: Path
    ) -> None:
        real = tmp_path / "real.csv"
        real.write_text("old\n")
        link = tmp_path / "link.csv"
        link.symlink_to(real)
        done = run_kelfit("fit", EX.vectors, "--out", link, "-q")
        assert done.returncode == 0, done.stderr
        assert link.is_symlink() and os.readlink(link) == str(real)
        assert real.read_text().startswith("model,medium,")
        assert sorted(p.name for p in tmp_path.iterdir()) == ["link.csv", "real.csv"]

    def test_a_dangling_symlink_creates_what_it_names(self, tmp_path: Path) -> None:
        link = tmp_path / "link.csv"
        link.symlink_to(tmp_path / "made.csv")
        # The link names the descriptor of whichever process opens it: a
        # child's, whose standard output is the pipe read here.
        done = run_kelfit_process("solve", EX.vectors, "--params",
                                  "10,20,30,5,0.3", "--out", link)  # fmt: skip
        assert done.returncode == 0, done.stderr
        assert link.is_symlink() and (tmp_path / "made.csv").is_file()

    def test_a_fifo_is_written_into_and_stays_a_fifo(self, tmp_path: Path) -> None:
        fifo = tmp_path / "rows.fifo"
        os.mkfifo(fifo)
        got: list[bytes] = []
        reader = threading.Thread(
            target=lambda: got.append(fifo.read_bytes()), daemon=True
        )
        reader.start()
        done = run_kelfit("fit", EX.vectors, "--out", fifo, "-q")
        reader.join(timeout=60)
        assert done.returncode == 0, done.stderr
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
        assert got and got[0].startswith(b"model,medium,")
        assert [p.name for p in tmp_path.iterdir()] == ["rows.fifo"]

    def test_a_link_to_standard_output_writes_there(self, tmp_path: Path) -> None:
        if not Path("/proc/self/fd/1").exists():
            pytest.skip("no /proc here")
        link = tmp_path / "to-stdout.csv"
        link.symlink_to("/proc/self/fd/1")
        # The link names the descriptor of whichever process opens it: a
        # child's, whose standard output is the pipe read here.
        done = run_kelfit_process("solve", EX.vectors, "--params",
                                  "10,20,30,5,0.3", "--out", link)  # fmt: skip
        assert done.returncode == 0, done.stderr
        assert link.is_symlink() and os.readlink(link) == "/proc/self/fd/1"
        # The values went down the pipe the test reads.
        assert done.stdout.startswith("model,medium,")

    def test_a_character_device_is_written_into_not_replaced(
        self, tmp_path: Path
    ) -> None:
        # A null device of the test's own, never the system's /dev/null.
        device = tmp_path / "null"
        try:
            os.mknod(device, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        except (PermissionError, OSError):
            pytest.skip("cannot make a device node here (not root)")
        done = run_kelfit("fit", EX.vectors, "--out", device, "-q")
        assert done.returncode == 0, done.stderr
        assert stat.S_ISCHR(os.lstat(device).st_mode)
        assert [p.name for p in tmp_path.iterdir()] == ["null"]

    def test_a_folder_is_refused(self, tmp_path: Path) -> None:
        done = run_kelfit("fit", EX.vectors, "--out", tmp_path)
        assert done.returncode == 1
        assert (
            done.stderr
            == f"kelfit fit: error: {tmp_path}: cannot write: it is a folder\n"
        )

    @pytest.mark.parametrize("option", ["--out", "--plot"])
    def test_an_output_that_is_an_input_is_refused(
        self, tmp_path: Path, option: str
    ) -> None:
        if option == "--plot":
            pytest.importorskip("matplotlib")
        table = tmp_path / "mine.tab"
        table.write_bytes(Path(EX.couplings).read_bytes())
        link = tmp_path / "link.tab"
        link.symlink_to(table)
        before = table.read_bytes()
        for target in (table, link, tmp_path / "." / "mine.tab"):
            done = run_kelfit("fit", "--structure", EX.structure, "--couplings",
                              table, option, target)  # fmt: skip
            assert done.returncode == 1
            assert f"this output is the input {table}: refusing" in done.stderr
            assert len(done.stderr.splitlines()) == 1
        assert table.read_bytes() == before
        # The vector table and solve's --out too.
        vectors = tmp_path / "v.txt"
        vectors.write_bytes(Path(EX.vectors).read_bytes())
        for args in (("fit", vectors), ("solve", vectors, "--params", "1,2,3,4,0.1")):
            done = run_kelfit(*args, "--out", vectors)
            assert done.returncode == 1 and "refusing to write over it" in done.stderr
        assert vectors.read_bytes() == Path(EX.vectors).read_bytes()


class TestWhole:
    def test_a_file_size_limit_on_stdout_is_an_error(self, tmp_path: Path) -> None:
        resource = pytest.importorskip("resource")
        pytest.importorskip("gemmi")
        limit = 8192

        def small_files() -> None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        target = tmp_path / "fit.json"
        with open(target, "wb") as out:
            done = subprocess.run(
                kelfit_command("fit", "--structure", EX.structure, "--couplings",
                               EX.couplings, "--errors", "20", "--seed", "1",
                               "--json", "-q"),
                stdout=out, stderr=subprocess.PIPE, text=True, check=False,
                preexec_fn=small_files,
            )  # fmt: skip
        assert done.returncode == 1, done.stderr
        assert done.stderr.startswith("kelfit fit: error: cannot write to standard")
        assert "File too large" in done.stderr and f"{limit} of " in done.stderr
        assert len(done.stderr.splitlines()) == 1
        # Without the limit the document is longer than what was kept.
        whole = run_kelfit("fit", "--structure", EX.structure, "--couplings",
                           EX.couplings, "--errors", "20", "--seed", "1", "--json")  # fmt: skip
        assert len(whole.stdout) > limit
        json.loads(whole.stdout)

    def test_a_file_size_limit_on_out_leaves_the_old_file(self, tmp_path: Path) -> None:
        resource = pytest.importorskip("resource")
        rows = tmp_path / "rows.csv"
        rows.write_text("an older file\n")

        def small_files() -> None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (2048, 2048))

        done = subprocess.run(
            kelfit_command("fit", EX.vectors, "--out", rows, "-q"),
            capture_output=True, text=True, check=False, preexec_fn=small_files,
        )  # fmt: skip
        assert done.returncode == 1
        assert f"{rows}: cannot write: File too large" in done.stderr
        assert rows.read_text() == "an older file\n"
        assert [p.name for p in tmp_path.iterdir()] == ["rows.csv"]

    @pytest.mark.parametrize(
        ("name", "extra"), [("fit.png", "matplotlib"), ("rows.parquet", "pyarrow")]
    )
    def test_a_file_size_limit_on_another_librarys_writer(
        self, tmp_path: Path, name: str, extra: str
    ) -> None:
        # Figures and Parquet tables are written by matplotlib and pyarrow:
        # their failure names the target too, and leaves the old file.
        resource = pytest.importorskip("resource")
        pytest.importorskip(extra)
        target = tmp_path / name
        target.write_text("an older file\n")

        def small_files() -> None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))

        option = "--plot" if name.endswith(".png") else "--out"
        done = subprocess.run(
            kelfit_command("fit", EX.vectors, option, target, "-q"),
            capture_output=True, text=True, check=False, preexec_fn=small_files,
        )  # fmt: skip
        assert done.returncode == 1
        assert done.stderr.startswith(f"kelfit fit: error: {target}: cannot write:")
        assert "File too large" in done.stderr and "Traceback" not in done.stderr
        assert target.read_text() == "an older file\n"
        assert [p.name for p in tmp_path.iterdir()] == [name]

    def test_a_file_that_reached_the_size_limit_is_refused(
        self, tmp_path: Path
    ) -> None:
        # A writer that fills the file to the limit and stops without an
        # error cannot be told from one whose rest was dropped: refused.
        pytest.importorskip("resource")
        script = (
            "import resource, sys\n"
            "from kelfit_tools.errors import DataError\n"
            "from kelfit_tools.outputs import StagedFile\n"
            "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
            "for size in (4095, 4096):\n"
            "    staged = StagedFile(sys.argv[1] + str(size))\n"
            "    with open(staged.path, 'wb') as handle:\n"
            "        handle.write(bytes(size))\n"
            "    try:\n"
            "        staged.commit(); print(size, 'written')\n"
            "    except DataError as exc:\n"
            "        print(size, exc)\n"
        )
        done = subprocess.run(
            [sys.executable, "-c", script, str(tmp_path / "out")],
            capture_output=True, text=True, check=False,
        )  # fmt: skip
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines() == [
            "4095 written",
            (
                f"4096 {tmp_path / 'out4096'}: cannot write: the file reached the "
                "file-size limit of 4096 bytes (ulimit -f)"
            ),
        ]
        assert [p.name for p in tmp_path.iterdir()] == ["out4095"]

    def test_nothing_is_named_until_the_commit(self, tmp_path: Path) -> None:
        target = tmp_path / "a.txt"
        outputs = Outputs()
        outputs.write_text(target, "one\n")
        path = outputs.path_for(tmp_path / "b.bin")
        with open(path, "wb") as handle:
            handle.write(b"two")
        if LINUX and hasattr(os, "O_TMPFILE"):
            # An unnamed file: a run killed now leaves nothing in the folder.
            assert list(tmp_path.iterdir()) == []
        assert outputs.commit() == [str(target), str(tmp_path / "b.bin")]
        assert target.read_text() == "one\n"
        assert (tmp_path / "b.bin").read_bytes() == b"two"
        # Replacing an existing file leaves no other name behind.
        again = Outputs()
        again.write_text(target, "three\n")
        again.commit()
        assert target.read_text() == "three\n"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["a.txt", "b.bin"]
        umask = os.umask(0o022)
        os.umask(umask)
        assert target.stat().st_mode & 0o777 == 0o666 & ~umask

    def test_a_named_temporary_file_where_unnamed_ones_are_missing(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.delattr(os, "O_TMPFILE", raising=False)
        (tmp_path / "out.txt").write_bytes(b"old")
        (tmp_path / "out.txt").chmod(0o600)
        staged = StagedFile(tmp_path / "out.txt")
        assert Path(staged.path).parent == tmp_path
        staged.write(b"data")
        staged.commit()
        assert [p.name for p in tmp_path.iterdir()] == ["out.txt"]
        assert (tmp_path / "out.txt").read_bytes() == b"data"
        assert stat.S_IMODE((tmp_path / "out.txt").stat().st_mode) == 0o600
        discarded = StagedFile(tmp_path / "other.txt")
        discarded.discard()
        assert [p.name for p in tmp_path.iterdir()] == ["out.txt"]

    def test_a_discarded_output_leaves_the_old_file(self, tmp_path: Path) -> None:
        target = tmp_path / "keep.txt"
        target.write_text("old\n")
        outputs = Outputs(inputs=[tmp_path / "input.tab"])
        outputs.write_text(target, "new\n")
        outputs.discard()
        assert target.read_text() == "old\n"
        assert [p.name for p in tmp_path.iterdir()] == ["keep.txt"]
        with pytest.raises(DataError, match="this output is the input"):
            Outputs(inputs=[target]).check(tmp_path / "keep.txt")

    @pytest.mark.skipif(not LINUX, reason="unnamed files are Linux's")
    def test_kill_9_during_a_trajectory_table_leaves_nothing(
        self, tmp_path: Path
    ) -> None:
        # A writer that streams rows for a long time, killed in the middle.
        script = (
            "import sys, time\n"
            "from kelfit_tools.outputs import StagedFile\n"
            "staged = StagedFile(sys.argv[1])\n"
            "with open(staged.path, 'w') as h:\n"
            "    h.write('frame\\n'); h.flush()\n"
            "    print('writing', flush=True); time.sleep(60)\n"
        )
        child = subprocess.Popen(
            [sys.executable, "-c", script, str(tmp_path / "frames.csv")],
            stdout=subprocess.PIPE, text=True,
        )  # fmt: skip
        assert child.stdout is not None
        assert child.stdout.readline() == "writing\n"
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=30)
        child.stdout.close()
        assert list(tmp_path.iterdir()) == []


def test_trajectory_outputs_go_through_the_writer(tmp_path: Path) -> None:
    # The per-frame table writes into a FIFO, and an input is refused
    # before any frame is read.
    from kelfit_tools.report.frames import FRAME_COLUMNS, FrameTableWriter

    fifo = tmp_path / "frames.fifo"
    os.mkfifo(fifo)
    got: list[bytes] = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()), daemon=True)
    reader.start()
    writer = FrameTableWriter(fifo)
    writer.close()
    reader.join(timeout=30)
    assert got == [(",".join(FRAME_COLUMNS) + "\n").encode()]
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    couplings = tmp_path / "c.tab"
    couplings.write_bytes(Path(EX.couplings).read_bytes())
    done = run_kelfit("fit", "--structure", EX.structure, "--couplings", couplings,
                      "--trajectory", EX.structure, "--out", couplings)  # fmt: skip
    assert done.returncode == 1 and "refusing to write over it" in done.stderr
    assert couplings.read_bytes() == Path(EX.couplings).read_bytes()


# ------------------------------------------------- an existing file, as cp

#: An access list giving user nobody read access: version 2, then (tag,
#: permissions, id) entries: owner rw, user 65534 r, group r, mask r, other r.
_ACL = struct.pack("<I", 2) + b"".join(
    struct.pack("<HHI", tag, perms, ident)
    for tag, perms, ident in [(1, 6, 2**32 - 1), (2, 4, 65534), (4, 4, 2**32 - 1),
                              (0x10, 4, 2**32 - 1), (0x20, 4, 2**32 - 1)]
)  # fmt: skip


@pytest.mark.parametrize(
    ("mode", "keep"),
    [(0o600, ""), (0o664, ""), (0o444, "root"), (0o640, "owner"),
     (0o644, "link"), (0o644, "acl")],
    ids=["private", "shared", "read-only", "owner", "link", "acl"],
)  # fmt: skip
def test_an_existing_file_keeps_its_mode_owner_and_links(
    tmp_path: Path, mode: int, keep: str
) -> None:
    target = tmp_path / "rows.csv"
    target.write_text("old\n")
    target.chmod(mode)
    if keep in ("root", "owner") and not ROOT:
        pytest.skip("needs root: cp as root writes a read-only file, gives owners")
    nobody = pwd.getpwnam("nobody")
    if keep == "owner":
        os.chown(target, nobody.pw_uid, nobody.pw_gid)
    if keep == "link":
        os.link(target, tmp_path / "other-name.csv")
    if keep == "acl":
        try:
            os.setxattr(target, "system.posix_acl_access", _ACL)
        except (OSError, AttributeError):
            pytest.skip("no access lists here")
    before = target.stat()
    done = run_kelfit("fit", EX.vectors, "--out", target, "-q")
    assert done.returncode == 0, done.stderr
    after = target.stat()
    assert target.read_text().startswith("model,medium,")
    assert stat.S_IMODE(after.st_mode) == mode
    assert (after.st_uid, after.st_gid) == (before.st_uid, before.st_gid)
    if keep == "link":
        assert os.path.samefile(target, tmp_path / "other-name.csv")
    if keep == "acl":
        assert os.getxattr(target, "system.posix_acl_access") == _ACL
    assert len(list(tmp_path.iterdir())) == (2 if keep == "link" else 1)


@contextlib.contextmanager
def _folder(mode: int) -> Iterator[Path]:
    # The test's own folder is reachable by root alone: another beside it.
    folder = Path(tempfile.mkdtemp(prefix="kelfit-outputs-"))
    try:
        folder.chmod(mode)
        yield folder
    finally:
        shutil.rmtree(folder)


def _as_nobody(work: Callable[[], str]) -> str:
    """What ``work`` returns (or raises) run in a child as user nobody."""
    nobody = pwd.getpwnam("nobody")
    tempfile.gettempdir()  # found now: the child may not reach what it reads
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            os.close(read)
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
            try:
                said = work()
            except Exception as exc:  # noqa: BLE001 - reported to the parent
                said = f"{type(exc).__name__}: {exc}"
            os.write(write, said.encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        said = pipe.read().decode()
    os.waitpid(pid, 0)
    return said


@pytest.mark.skipif(not (ROOT and LINUX), reason="runs a child as user nobody")
@pytest.mark.parametrize(
    ("folder_mode", "mode", "owner", "said"),
    [
        # What nobody may not write is refused, before any work and when
        # staged, and left as it was.
        (0o777, 0o444, "nobody", "permission denied: the file is read-only"),
        (0o777, 0o644, "root", "permission denied: you may not write to this"),
        # Root's file that nobody may write keeps its owner (written into,
        # as cp does) ...
        (0o777, 0o666, "root", "written"),
        # ... and so does one in a folder that lets nobody make files.
        (0o755, 0o666, "root", "written"),
    ],
)
def test_another_users_file_is_written_as_cp_would(
    folder_mode: int, mode: int, owner: str, said: str
) -> None:
    with _folder(folder_mode) as folder:
        target = folder / "rows.csv"
        target.write_text("old\n")
        target.chmod(mode)
        ids = pwd.getpwnam(owner)
        os.chown(target, ids.pw_uid, ids.pw_gid)

        def write() -> str:
            outputs = Outputs()
            try:
                outputs.check(target)
                return "checked"
            except DataError as exc:
                first = str(exc)
            try:
                StagedFile(target)
            except DataError as exc:
                return f"{first} | {exc}"
            return f"{first} | staged"

        def replace() -> str:
            outputs = Outputs()
            outputs.check(target)
            outputs.write_text(target, "new\n")
            outputs.commit()
            return "written"

        got = _as_nobody(write if said != "written" else replace)
        if said == "written":
            assert got == said
            assert target.read_text() == "new\n"
        else:
            assert got.startswith(f"{target}: {said}"), got
            assert target.read_text() == "old\n"
            assert got.count(said) == 2
        after = target.stat()
        assert (after.st_uid, stat.S_IMODE(after.st_mode)) == (ids.pw_uid, mode)
        assert [p.name for p in folder.iterdir()] == ["rows.csv"]


# ------------------------------------------- two outputs, standard output


@pytest.mark.parametrize(
    ("first", "second", "roles"),
    [
        (("--out", "rows.csv"), ("--report", "rows.csv"), "--out and --report"),
        (("--out", "rows.csv"), ("--report", "./rows.csv"), "--out and --report"),
        (("--out", "ax.pml"), ("--axes", "link.pml"), "--out and --axes"),
        (("--out", "-"), ("--report", "-"), "--out and --report"),
    ],
)
def test_two_outputs_naming_one_file_are_refused(
    tmp_path: Path,
    first: tuple[str, str],
    second: tuple[str, str],
    roles: str,
) -> None:
    (tmp_path / "rows.csv").write_text("old\n")
    (tmp_path / "link.pml").symlink_to(tmp_path / "ax.pml")
    done = run_kelfit("fit", "--structure", EX.structure, "--couplings",
                      EX.couplings, *first, *second, "-q", cwd=tmp_path)  # fmt: skip
    assert done.returncode == 1
    assert "both name this file" in done.stderr or "both go to standard" in done.stderr
    assert len(done.stderr.splitlines()) == 1
    assert (tmp_path / "rows.csv").read_text() == "old\n"
    assert not (tmp_path / "ax.pml").exists() and not (tmp_path / "-").exists()
    # Given roles, the check names them, before any work.
    with pytest.raises(DataError, match=f"{roles} both"):
        Outputs().check(
            (first[0], _in(tmp_path, first[1])),
            None,
            (second[0], _in(tmp_path, second[1])),
        )


def _in(folder: Path, name: str) -> str:
    return name if name == "-" else os.path.join(folder, name)


def test_a_device_may_take_several_outputs() -> None:
    Outputs().check(("--out", os.devnull), ("--report", os.devnull))


@pytest.mark.parametrize(
    ("args", "shown"),
    [
        (("fit", EX.vectors, "--report", "-", "-q"), "<!DOCTYPE html>"),
        (("fit", EX.vectors, "--out", "-", "-q"), "\nmodel,medium,chain_i,"),
        (("solve", EX.vectors, "--params", "10,20,30,5,0.3", "--out", "-"),
         "model,medium,chain_i,"),
        (("fit", EX.vectors, "--plot", "-", "-q"),
         "a figure or a Parquet table cannot go to standard output ('-')"),
    ],
)  # fmt: skip
def test_a_dash_is_standard_output(
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    args: tuple[str, ...],
    shown: str,
) -> None:
    if "--plot" in args:
        pytest.importorskip("matplotlib")
    monkeypatch.chdir(tmp_path)
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    assert list(tmp_path.iterdir()) == []
    if "figure" in shown:
        assert status == 1 and shown in err
    else:
        assert status == 0, err
        assert shown in out


# ---------------------------------------------------- spreadsheet formulas


@pytest.mark.parametrize(
    ("text", "cell"),
    [
        ('=HYPERLINK("http://x","y")', '\'=HYPERLINK("http://x","y")'),
        ("=cmd|'/Ccalc'!A0", "'=cmd|'/Ccalc'!A0"),
        ("+1+1", "'+1+1"),
        ("-1+1", "'-1+1"),
        ("@SUM(A1)", "'@SUM(A1)"),
        ("\t=1", "'\t=1"),
        ("\r=1", "'\r=1"),
        ("-7.25", "-7.25"),
        ("+1e3", "+1e3"),
        ("LYS2", "LYS2"),
        ("N-H", "N-H"),
    ],
)
def test_csv_text_cells_never_start_a_formula(text: str, cell: str) -> None:
    assert csv_text(text) == cell


def test_labels_of_a_table_cannot_run_in_a_spreadsheet(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    lines = Path(EX.vectors).read_text().splitlines()
    labels = ["=HYPERLINK(1)", "+1+1", "-1+1", "@SUM(A1)"]
    rows = [i for i, line in enumerate(lines) if line and line[0] in "-0123456789"]
    for i, label in zip(rows, labels):
        lines[i] = " ".join(lines[i].split()[:4] + [label])
    table = tmp_path / "v.txt"
    table.write_text("\n".join(lines) + "\n")
    out = tmp_path / "rows.csv"
    assert main(["fit", str(table), "--out", str(out), "-q"]) == 0
    capsys.readouterr()
    cells = [line.split(",")[-2] for line in out.read_text().splitlines()[1:5]]
    assert cells == ["'" + label for label in labels]
    # The numbers stay numbers, negative ones too.
    assert any(line.split(",")[15].startswith("-")
               for line in out.read_text().splitlines()[1:])  # fmt: skip
