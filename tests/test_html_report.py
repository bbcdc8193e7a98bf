"""``kelfit fit --report FILE.html`` and the notebook displays.

The page is read back with the standard library's HTML parser and checked
against the JSON report of the same run; then it is opened in headless
Chromium (Selenium): no console errors, the table sorts, the figures name
the coupling under the pointer, and text from input files runs nothing.
"""

from __future__ import annotations

import base64
import copy
import hashlib
import html
import json
import math
import re
import shutil
from html import escape
from html.parser import HTMLParser
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from kelfit_tools import fit, monte_carlo, read_restraints, read_table
from kelfit_tools.ensemble import summarize_ensemble
from kelfit_tools.example import example
from kelfit_tools.media import fit_medium
from kelfit_tools.report.html import html_report, scatter_figure
from tools_support import REPO, run_kelfit, shared_data, write_models

EX = example()
INJECTED = "<script>alert(1)</script>"
#: The test's artifacts: screenshots a person can look at (not committed).
ARTIFACTS = REPO / "build" / "test-artifacts"


class Page(HTMLParser):
    """What the tests read from a page: cells, tooltips, scripts, headings."""

    def __init__(self, text: str) -> None:
        super().__init__(convert_charrefs=True)
        self.rows: list[list[tuple[str | None, str]]] = []
        self.headers: list[str] = []
        self.labels: list[str] = []
        self.scripts: list[str] = []
        self.h2: list[str] = []
        self.csp = ""
        self.urls: list[str] = []
        self._in_couplings = False
        self._cell: list[str] | None = None
        self._sort: str | None = None
        self._text: list[str] | None = None
        self._tag = ""
        self.feed(text)

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        a = dict(attrs)
        self._tag = tag
        for key in ("src", "href", "action", "xlink:href"):
            if a.get(key) is not None:
                self.urls.append(str(a[key]))
        if a.get("data-label") is not None:
            self.labels.append(str(a["data-label"]))
        if tag == "meta" and a.get("http-equiv") == "Content-Security-Policy":
            self.csp = str(a["content"])
        if tag == "table":
            self._in_couplings = "couplings" in (a.get("class") or "")
        if self._in_couplings and tag == "tr":
            self.rows.append([])
        if self._in_couplings and tag in ("td", "th"):
            self._cell, self._sort = [], a.get("data-sort")
        if tag in ("h2", "script"):
            self._text = []

    def handle_endtag(self, tag: str) -> None:
        if tag in ("td", "th") and self._cell is not None:
            text = "".join(self._cell).strip()
            if tag == "th":
                self.headers.append(text)
            else:
                self.rows[-1].append((self._sort, text))
            self._cell = None
        if tag == "table":
            self._in_couplings = False
        if tag == "h2" and self._text is not None:
            self.h2.append("".join(self._text))
            self._text = None
        if tag == "script" and self._text is not None:
            self.scripts.append("".join(self._text))
            self._text = None

    def handle_data(self, data: str) -> None:
        if self._cell is not None:
            self._cell.append(data)
        if self._text is not None:
            self._text.append(data)

    @property
    def body_rows(self) -> list[list[tuple[str | None, str]]]:
        return [r for r in self.rows if r]


def ok(*args: object) -> str:
    done = run_kelfit(*args)
    assert done.returncode == 0, done.stderr
    return done.stdout


def ubiquitin() -> tuple[Path, Path]:
    return (
        shared_data("ubiquitin", "1d3z-model-1.pdb"),
        shared_data("ubiquitin", "couplings.tab"),
    )


def xplor_with_medium(path: Path, couplings: Path, medium: str) -> Path:
    """The N-H couplings of a table rewritten as an Xplor restraint block
    whose comment line names the medium."""
    lines = [f"! {medium}"]
    for c in read_restraints(couplings):
        if {c.atom_i, c.atom_j} != {"N", "H"}:
            continue
        lines.append(
            "assign ( resid 500 and name OO ) ( resid 500 and name Z ) "
            "( resid 500 and name X ) ( resid 500 and name Y ) "
            f"( resid {c.residue_i} and name {c.atom_i} ) "
            f"( resid {c.residue_j} and name {c.atom_j} ) {c.value} {c.error}"
        )
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.fixture(scope="module")
def ubq(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, dict[str, Any]]:
    """The ubiquitin fit's page and the JSON report of the same run."""
    pdb, table = ubiquitin()
    page = tmp_path_factory.mktemp("ubq") / "ubiquitin.html"
    text = ok("fit", "--structure", pdb, "--couplings", table, "-q", "--json",
              "--errors", 20, "--seed", 1, "--report", page)  # fmt: skip
    return page, json.loads(text)


@pytest.fixture(scope="module")
def injected(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A page whose medium is named by a script and whose coupling file's
    name holds markup."""
    pdb, table = ubiquitin()
    folder = tmp_path_factory.mktemp("injected")
    restraints = xplor_with_medium(folder / "a&b<i>.tbl", table, INJECTED)
    page = folder / "injected.html"
    ok("fit", "--structure", pdb, "--couplings", restraints, "-q",
       "--report", page)  # fmt: skip
    return page


class TestPage:
    def test_holds_everything_it_shows(self, ubq: tuple[Path, dict]) -> None:
        page = Page(ubq[0].read_text(encoding="utf-8"))
        # Nothing to fetch: no URL but the empty icon, and a policy that
        # forbids every fetch and any script but the page's own.
        assert page.urls == ["data:,"]
        assert "default-src 'none'" in page.csp
        assert len(page.scripts) == 1
        digest = hashlib.sha256(page.scripts[0].encode()).digest()
        allowed = "'sha256-" + base64.b64encode(digest).decode() + "'"
        assert f"script-src {allowed}" in page.csp

    def test_shows_the_numbers_of_the_json_report(self, ubq: tuple[Path, dict]) -> None:
        path, payload = ubq
        text = path.read_text(encoding="utf-8")
        report = payload["media"][0]
        t, q = report["tensor"], report["quality"]
        for shown in (
            f"{t['da_nh']:.3f} Hz",
            f"{t['r']:.4f}",
            " ".join(f"{a:.2f}" for a in t["euler_deg"]),
            f"{q['normalised']['q']:.4f}",
            f"{q['raw']['rms']:.4f}",
            f"{report['errors']['da_sd']:.4g}",
            f"{q['outliers']['count']} (",
        ):
            assert shown in text
        for kind, pair in q["per_type"].items():
            assert f"{pair['normalised']['rms']:.4f}" in text, kind
        assert payload["kelfit_version"] in text
        for warning in payload["warnings"]:
            assert f"<li>{escape(warning)}</li>" in text

    def test_one_row_and_two_points_per_coupling(self, ubq: tuple[Path, dict]) -> None:
        path, payload = ubq
        page = Page(path.read_text(encoding="utf-8"))
        couplings = payload["media"][0]["couplings"]
        rows = page.body_rows
        assert len(rows) == len(couplings) == 265
        column = page.headers.index("residual")
        # The sort keys are the JSON's numbers to the last digit.
        assert [float(r[column][0]) for r in rows] == [c["residual"] for c in couplings]
        assert len(page.labels) == 2 * len(couplings)
        # Ubiquitin's first coupling is Gln2's amide; its points say so.
        assert page.labels[0].startswith("GLN2 N-H\nobserved -8.170")
        assert sum(label.startswith("GLN2 N-H\n") for label in page.labels) == 2

    def test_sky_map_of_the_refits(self, ubq: tuple[Path, dict]) -> None:
        path, payload = ubq
        text = path.read_text(encoding="utf-8")
        start = text.index('aria-label="sky map')
        svg = text[start : text.index("</svg>", start)]
        errors = payload["media"][0]["errors"]
        assert len(errors["refit_axes"]) == 20
        # The three axes of every refit, and the fit's own.
        assert svg.count("<circle") == 3 * 20 + 3
        assert "sd GDO" in text and errors["gdo_sd"] > 0

    def test_input_text_shows_as_text(self, injected: Path) -> None:
        text = injected.read_text(encoding="utf-8")
        page = Page(text)
        assert INJECTED not in text
        assert "&lt;script&gt;alert(1)&lt;/script&gt;" in text
        assert text.count("<script") == 1
        assert INJECTED in page.h2
        assert "a&b<i>.tbl" not in text
        assert "a&amp;b&lt;i&gt;.tbl" in text

    def test_names_labels_and_title_show_as_text(self, ubq: tuple[Path, dict]) -> None:
        payload = copy.deepcopy(ubq[1])
        rows = payload["media"][0]["couplings"]
        rows[0].update(residue_i=None, label=None)
        rows[1].update(resname_i="<b>Q</b>", resname_j="<b>Q</b>")
        rows[2].update(residue_i=None, label="<i>x</i>&")
        text = html_report(payload, title="<u>fit</u>")
        for markup in ("<b>Q</b>", "<i>x</i>", "<u>fit</u>"):
            assert markup not in text
        assert "<title>&lt;u&gt;fit&lt;/u&gt;</title>" in text
        names = [row[1][1] for row in Page(text).body_rows[:3]]
        assert names == ["row 1", f"<b>Q</b>{rows[1]['residue_i']} N-H", "<i>x</i>&"]

    def test_a_vector_table_and_two_media(self, tmp_path: Path) -> None:
        page = tmp_path / "table.html"
        ok("fit", EX.vectors, "-q", "--report", page)
        rows = Page(page.read_text(encoding="utf-8")).body_rows
        assert len(rows) == len(read_table(EX.vectors).values)
        # Lysozyme's deposited file holds two media: both, and how they
        # compare.
        pdb = shared_data("hewl", "1e8l-model-1.pdb")
        restraints = shared_data("hewl", "1e8l.mr")
        page = tmp_path / "hewl.html"
        out = json.loads(ok("fit", "--structure", pdb, "--couplings", restraints,
                            "-q", "--json", "--report", page))  # fmt: skip
        shown = Page(page.read_text(encoding="utf-8"))
        names = [m["medium"] for m in out["media"]]
        assert len(names) == 2
        assert shown.h2[-4:] == [*names, "Between media", "How this was made"]
        generalised = out["comparisons"][0]["generalised_angle_deg"]
        assert f"{generalised:.1f}" in page.read_text(encoding="utf-8")

    def test_every_model_and_the_ensemble(self, tmp_path: Path) -> None:
        pytest.importorskip("gemmi")
        # The example twice: model 2 is model 1 moved along x.
        pdb = write_models(
            tmp_path / "two.pdb",
            EX.structure,
            [lambda xyz: xyz, lambda xyz: xyz + [5.0, 0.0, 0.0]],
        )
        page = tmp_path / "two.html"
        out = json.loads(ok("fit", "--structure", pdb, "--couplings", EX.couplings,
                            "--models", "all", "-q", "--json", "--report", page))  # fmt: skip
        text = page.read_text(encoding="utf-8")
        shown = Page(text)
        name = out["models"][0]["media"][0]["medium"]
        assert shown.h2[-3:] == [
            f"Model 2: {name}",
            f"Ensemble ({name})",
            "How this was made",
        ]
        assert len(shown.body_rows) == 2 * out["models"][0]["media"][0]["quality"]["n"]
        assert f"mean {out['ensemble'][0]['q']['mean']:.4f}" in text
        assert f"{out['ensemble'][0]['mean_tensor']['gdo']:.4e}" in text

    def test_two_domains_their_orientation_and_degree_of_order_ratio(
        self, tmp_path: Path
    ) -> None:
        pdb = shared_data("hewl", "1e8l-model-1.pdb")
        page = tmp_path / "halves.html"
        out = json.loads(ok("fit", "--structure", pdb, "--couplings",
                            shared_data("hewl", "couplings.tab"),
                            "--domain", "N=1-60", "--domain", "C=61-129",
                            "--errors", 20, "--seed", 1, "-q", "--json",
                            "--report", page))  # fmt: skip
        text = page.read_text(encoding="utf-8")
        assert Page(text).h2[-2:] == ["Between domains", "How this was made"]
        (pair,) = out["domains"]["pairs"]
        e = pair["errors"]
        rotation = (
            f"{pair['rotation']['angle_deg']:.1f} ± {e['rotation_angle_sd_deg']:.1f}"
        )
        ratio = f"{pair['gdo_ratio']:.3f} ± {e['gdo_ratio_sd']:.3f}"
        section = text[text.index("Between domains") : text.index("How this was made")]
        for shown in (rotation, ratio, html.escape(pair["gdo_meaning"])):
            assert shown in section

    def test_nothing_is_written_when_the_report_cannot_be(self, tmp_path: Path) -> None:
        rows = tmp_path / "rows.csv"
        missing = tmp_path / "no-such-folder" / "report.html"
        done = run_kelfit("fit", EX.vectors, "-q", "--out", rows,
                          "--report", missing)  # fmt: skip
        assert done.returncode == 1
        assert "report.html" in done.stderr and "Traceback" not in done.stderr
        assert list(tmp_path.iterdir()) == []

    def test_refused_with_a_trajectory(self, tmp_path: Path) -> None:
        done = run_kelfit("fit", "--structure", EX.structure, "--couplings",
                          EX.couplings, "--trajectory", EX.structure,
                          "--report", tmp_path / "r.html")  # fmt: skip
        assert done.returncode == 2
        assert "--report" in done.stderr
        assert not (tmp_path / "r.html").exists()


# ---------------------------------------------------------------- notebooks


def points(figure: str) -> list[tuple[float, float]]:
    found = re.findall(r'class="point" cx="([-\d.]+)" cy="([-\d.]+)"', figure)
    return [(float(x), float(y)) for x, y in found]


@pytest.mark.parametrize(
    ("observed", "calculated"), [([1.0, 1.0], [1.0, 1.0]), ([1.0, 2.0], [1.0, 5.0])]
)
def test_scatter_points_rise_with_their_values(
    observed: list[float], calculated: list[float]
) -> None:
    # Equal values still draw (a range is made around them); a larger
    # calculated value is drawn higher, that is at a smaller SVG y.
    rows = [
        {"observed": o, "calculated": c, "residual": o - c, "outlier": False}
        for o, c in zip(observed, calculated)
    ]
    drawn = points(
        scatter_figure({"couplings": rows, "tensor": {"units": {"da": "Hz"}}})
    )
    assert len(drawn) == 2 and all(map(math.isfinite, np.ravel(drawn)))
    (x0, y0), (x1, y1) = drawn
    assert (x1 > x0 and y1 < y0) if observed[1] > observed[0] else (x1, y1) == (x0, y0)


#: An argument that would close the page's markup and clear a terminal.
HOSTILE = "</code></pre><script>alert(2)</script>\x1b[2J"


def _ticks(svg: str, anchor: str) -> tuple[float, float, float, float]:
    """Two ticks of one axis of a hand-drawn figure: (pixel, value) each."""
    if anchor == "middle":  # the x axis: ticks under the frame
        found = re.findall(r'<text x="([-\d.]+)" y="[-\d.]+" text-anchor="middle">'
                           r"([-\d.e]+)</text>", svg)  # fmt: skip
        pixels = [float(x) for x, _ in found]
    else:  # the y axis: ticks left of it, the text 4 px under the grid line
        found = re.findall(r'<text x="[-\d.]+" y="([-\d.]+)" text-anchor="end">'
                           r"([-\d.e]+)</text>", svg)  # fmt: skip
        pixels = [float(y) - 4.0 for y, _ in found]
    values = [float(v) for _, v in found]
    return pixels[0], values[0], pixels[-1], values[-1]


def _value(pixel: float, ticks: tuple[float, float, float, float]) -> float:
    p0, v0, p1, v1 = ticks
    return v0 + (pixel - p0) * (v1 - v0) / (p1 - p0)


def test_the_pages_scatter_is_the_plots_and_it_shows_the_whole_command(
    tmp_path: Path,
) -> None:
    pdb, table = ubiquitin()
    page, plot = tmp_path / "r.html", tmp_path / "plot.svg"
    words = ["fit", "--structure", pdb, "--couplings", table, "-q", "--json",
             "--plot", plot, "--report", page, "--title", HOSTILE]  # fmt: skip
    payload = json.loads(ok(*words))
    text = page.read_text(encoding="utf-8")
    scatter = re.search(r'<svg[^>]*aria-label="back-calculated against observed '
                        r'values".*?</svg>', text, re.DOTALL).group(0)  # fmt: skip
    # The axis titles are those matplotlib wrote into the --plot figure.
    titles = re.findall(r'text-anchor="middle">([^<0-9-][^<]*)</text>', scatter)
    assert titles == ["back-calculated (Hz, normalised to N-H)",
                      "observed (Hz, normalised to N-H)"]  # fmt: skip
    drawn = plot.read_text(encoding="utf-8")
    assert all(f"<!-- {title} -->" in drawn for title in titles)
    # Each point sits at its coupling's back-calculated value across and its
    # observed value up, both over its type's factor to N-H.
    report = payload["media"][0]
    factors = report["quality"]["factors"]
    across, up = _ticks(scatter, "middle"), _ticks(scatter, "end")
    shown = points(scatter)
    assert len(shown) == len(report["couplings"]) == 265
    for (x, y), row in zip(shown, report["couplings"]):
        f = factors[row["type"]]
        assert _value(x, across) == pytest.approx(row["calculated"] / f, abs=0.02)
        assert _value(y, up) == pytest.approx(row["observed"] / f, abs=0.02)
    # The whole command line, quoted and escaped, in a block that wraps.
    command = re.search(r'<pre class="command"><code>(.*?)</code></pre>', text)
    shown_words = html.unescape(command.group(1))
    assert shown_words.startswith(f"kelfit fit --structure {pdb} --couplings {table}")
    assert shown_words.endswith("'</code></pre><script>alert(2)</script>\\x1b[2J'")
    assert "<script>alert(2)" not in text and "\x1b" not in text
    assert re.search(r"pre\.command \{ white-space: pre-wrap;", text)


def example_fit() -> Any:
    table = read_table(EX.vectors)
    return fit(table.vectors, table.values), table


def rms(values: np.ndarray) -> float:
    return math.sqrt(float(np.mean(np.square(values))))


class TestNotebook:
    def test_fit_result(self) -> None:
        result, table = example_fit()
        assert len(repr(result)) < 200
        assert repr(result).startswith("FitResult(n=32,")
        shown = result._repr_html_()
        # Q and RMS from the values themselves, Da and R from the tensor.
        residuals = table.values - result.calculated
        assert f"{rms(residuals) / rms(table.values):.4f}" in shown
        assert f"{rms(residuals):.4f}" in shown
        assert f"{result.tensor().da:.3f}" in shown
        assert f"{result.tensor().r:.4f}" in shown
        assert "<script" not in shown

    def test_medium_fit_escapes_its_name(self) -> None:
        pytest.importorskip("gemmi")
        from kelfit_tools.io.structure import structure_vectors

        sv = structure_vectors(EX.structure, read_restraints(EX.couplings))
        mf = fit_medium(sv.vectors, sv.couplings, name=INJECTED * 40)
        assert len(repr(mf)) < 200
        assert f"da_nh={mf.da_nh:.6g}" in repr(mf)
        shown = mf._repr_html_()
        assert "<script>" not in shown
        assert "&lt;script&gt;alert(1)&lt;/script&gt;" in shown
        assert f"{mf.da_nh:.3f}" in shown
        assert "N-H" in shown

    def test_ensemble_and_refits(self) -> None:
        result, table = example_fit()
        other = fit(table.vectors, table.values + 0.5)
        summary = summarize_ensemble([result, other], [1, 7])
        assert len(repr(summary)) < 200
        shown = summary._repr_html_()
        assert f"mean {(result.q + other.q) / 2:.4f}" in shown
        mc = monte_carlo(
            table.vectors, table.values, 8, result=result, seed=2, keep_refits=True
        )
        assert len(repr(mc)) < 200
        shown = mc._repr_html_()
        assert f"{np.std(mc.da, ddof=1):.4g}" in shown
        assert "sd offset" not in shown
        with_offset = fit(table.vectors, table.values + 3.0, offset=True)
        mc = monte_carlo(table.vectors, table.values + 3.0, 8, offset=True,
                         result=with_offset, seed=2, keep_refits=True)  # fmt: skip
        assert "sd offset" in mc._repr_html_()


# ---------------------------------------------------------------- in a browser


def chromium_paths() -> tuple[str, str]:
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    if browser is None or driver is None:
        pytest.skip(
            "Chromium is not installed: 'make browser' installs Debian's "
            "chromium and chromium-driver when run as root"
        )
    return browser, driver


@pytest.fixture(scope="module")
def driver() -> Any:
    webdriver = pytest.importorskip(
        "selenium.webdriver", reason="selenium is missing: pip install '.[test]'"
    )
    from selenium.webdriver.chrome.service import Service

    browser, chromedriver = chromium_paths()
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1280,1800"):  # fmt: skip
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    session = webdriver.Chrome(service=Service(chromedriver), options=options)
    yield session
    session.quit()


def open_page(driver: Any, path: Path) -> list[dict]:
    """Open a page; returns what its console said."""
    driver.get_log("browser")  # drop anything from an earlier page
    driver.get(path.resolve().as_uri())
    driver.execute_script("return document.readyState")
    return list(driver.get_log("browser"))


def residual_column(driver: Any) -> list[float]:
    from selenium.webdriver.common.by import By

    headers = driver.find_elements(By.CSS_SELECTOR, "table.couplings thead th")
    index = [h.text.strip(" ▲▼") for h in headers].index("residual") + 1
    cells = driver.find_elements(
        By.CSS_SELECTOR, f"table.couplings tbody td:nth-child({index})"
    )
    return [float(c.get_attribute("data-sort")) for c in cells]


def on_top(driver: Any, element: Any) -> bool:
    """Whether the element is what the pointer meets at its centre."""
    driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", element)
    return bool(
        driver.execute_script(
            "const r = arguments[0].getBoundingClientRect();"
            "return document.elementFromPoint(r.x + r.width / 2,"
            " r.y + r.height / 2) === arguments[0];",
            element,
        )
    )


class TestInBrowser:
    def test_renders_without_console_errors(
        self, driver: Any, ubq: tuple[Path, dict]
    ) -> None:
        from selenium.webdriver.common.by import By

        said = open_page(driver, ubq[0])
        assert [m for m in said if m["level"] in ("SEVERE", "WARNING")] == []
        assert driver.find_element(By.TAG_NAME, "h1").text == "kelfit fit"
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        height = driver.execute_script("return document.body.scrollHeight")
        driver.set_window_size(1280, min(int(height) + 200, 4000))
        assert driver.save_screenshot(str(ARTIFACTS / "html-report.png"))
        driver.set_window_size(1280, 1800)

    def test_table_sorts_by_residual(self, driver: Any, ubq: tuple[Path, dict]) -> None:
        from selenium.webdriver.common.by import By

        open_page(driver, ubq[0])
        residuals = [c["residual"] for c in ubq[1]["media"][0]["couplings"]]
        assert residual_column(driver) == residuals
        header = next(
            h
            for h in driver.find_elements(By.CSS_SELECTOR, "table.couplings th")
            if h.text.strip() == "residual"
        )
        header.click()
        assert residual_column(driver) == sorted(residuals)
        assert header.get_attribute("aria-sort") == "ascending"
        header.click()
        assert residual_column(driver) == sorted(residuals, reverse=True)

    def test_pointer_names_the_coupling(
        self, driver: Any, ubq: tuple[Path, dict]
    ) -> None:
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.by import By

        open_page(driver, ubq[0])
        tip = driver.find_element(By.ID, "tip")
        assert not tip.is_displayed()
        # Leu8's amide (read from the coupling file): one of its two points
        # that no other point covers.
        points = [
            p
            for p in driver.find_elements(By.CSS_SELECTOR, "svg circle[data-label]")
            if p.get_attribute("data-label").startswith("LEU8 N-H")
        ]
        assert len(points) == 2
        uncovered = [p for p in points if on_top(driver, p)]
        assert uncovered
        ActionChains(driver).move_to_element(uncovered[0]).perform()
        assert tip.is_displayed()
        assert tip.text.startswith("LEU8 N-H")
        assert "6.460" in tip.text
        ActionChains(driver).move_to_element(
            driver.find_element(By.TAG_NAME, "h1")
        ).perform()
        assert not tip.is_displayed()

    def test_input_text_runs_nothing(self, driver: Any, injected: Path) -> None:
        from selenium.common.exceptions import NoAlertPresentException
        from selenium.webdriver.common.by import By

        said = open_page(driver, injected)
        with pytest.raises(NoAlertPresentException):
            driver.switch_to.alert.text  # noqa: B018
        assert [m for m in said if m["level"] == "SEVERE"] == []
        headings = [h.text for h in driver.find_elements(By.TAG_NAME, "h2")]
        assert INJECTED in headings
        # Only the page's own script is there.
        assert len(driver.find_elements(By.TAG_NAME, "script")) == 1
        assert re.search(r"a&b<i>\.tbl", driver.find_element(By.TAG_NAME, "body").text)
