"""A fit's report as one self-contained HTML page, and compact HTML tables.

The page is rendered from the same report dict that ``kelfit fit --json``
prints, so the two never disagree; nothing here recomputes a statistic.
It needs no network when opened: the style and the one script are inline,
and the figures are SVG drawn here, one element per coupling, so that the
pointer can name the coupling under it.

Every text that may come from an input file (medium names, labels, notes,
file names, option values) goes through :func:`html.escape`.  On top of
that, the page's Content-Security-Policy allows only its own script (by
hash) and no fetch at all, so an escaping slip would still run nothing.

The pieces (tensor, quality, per-type and errors tables) also serve the
notebook displays of the fit results (``_repr_html_``).
"""

from __future__ import annotations

import base64
import hashlib
import html
import json
import math
import platform
import shlex
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

from ..display import renders_html
from ..ensemble import EnsembleSummary
from ..errors import printable
from ..fitting import FitResult
from ..media import MediumFit, nh_sign
from ..montecarlo import MonteCarloResult
from ..statistics import signed_factors
from .ensemble import summary_json
from .figures import RESIDUAL_LABEL, scatter_labels, type_style, value_suffix
from .sky import AXIS_COLOURS, map_extent, sky_outline, sky_points
from .tensor import comparison_cells, errors_report, fit_report
from .text import fmt

__all__ = [
    "PAGE_SCRIPT",
    "compact_html",
    "comparisons_table",
    "coupling_name",
    "couplings_table",
    "ensemble_html",
    "ensemble_table",
    "errors_table",
    "fit_result_html",
    "html_report",
    "medium_fit_html",
    "monte_carlo_html",
    "per_type_table",
    "quality_table",
    "register_notebook_views",
    "residual_figure",
    "scatter_figure",
    "tensor_table",
]

#: Figure size in SVG user units (pixels at 100 %).
FIGURE_WIDTH = 440.0
FIGURE_HEIGHT = 380.0
#: Room for the tick labels and axis titles: left, right, top, bottom.
FIGURE_MARGINS = (58.0, 14.0, 14.0, 46.0)
#: Radius of a coupling's point, and of an outlier's ring.
POINT_RADIUS = 3.6
OUTLIER_RADIUS = 5.4
#: Colour of the outlier rings and of the warnings.
OUTLIER_COLOUR = "#c0392b"
#: About this many ticks on an axis.
TICK_COUNT = 6

_STYLE = """
body { font: 14px/1.4 system-ui, -apple-system, "Segoe UI", sans-serif;
  color: #1d2329; margin: 0 auto; max-width: 1180px; padding: 16px 24px; }
h1 { font-size: 22px; margin: 8px 0 4px; }
h2 { font-size: 18px; margin: 28px 0 6px; border-bottom: 1px solid #d5dbe1; }
h3 { font-size: 15px; margin: 16px 0 6px; }
.sub { color: #56616c; margin: 0 0 10px; }
table { border-collapse: collapse; margin: 4px 0 10px; }
th, td { padding: 2px 10px; text-align: right; vertical-align: top; }
th { background: #eef2f5; font-weight: 600; }
td.text, th.text { text-align: left; }
table.kv th { text-align: left; background: none; font-weight: normal;
  color: #56616c; }
tbody tr:nth-child(even) { background: #f7f9fa; }
tr.outlier td { color: #c0392b; }
table.sortable th { cursor: pointer; user-select: none; }
table.sortable th[aria-sort="ascending"]::after { content: " \\25B2"; }
table.sortable th[aria-sort="descending"]::after { content: " \\25BC"; }
.scroll { max-height: 480px; overflow-y: auto; display: inline-block;
  border: 1px solid #d5dbe1; }
.scroll thead th { position: sticky; top: 0; }
.figures { display: flex; flex-wrap: wrap; gap: 16px; }
figure { margin: 0; }
figcaption { color: #56616c; font-size: 13px; max-width: 440px; }
svg text { font: 11px system-ui, sans-serif; fill: #1d2329; }
svg .axis { stroke: #56616c; stroke-width: 1; fill: none; }
svg .grid { stroke: #e3e8ec; stroke-width: 1; }
svg .guide { stroke: #9aa5b1; stroke-dasharray: 4 3; }
svg .stem { stroke-width: 1; opacity: 0.5; }
svg .point:hover { stroke: #1d2329; stroke-width: 2; }
svg line, svg .ring { pointer-events: none; }
.legend span { margin-right: 14px; white-space: nowrap; }
.legend i { display: inline-block; width: 10px; height: 10px;
  border-radius: 50%; margin-right: 4px; }
ul.warnings li { color: #c0392b; }
code { font-size: 13px; }
pre.command { white-space: pre-wrap; overflow-wrap: anywhere;
  background: #f7f9fa; padding: 6px 10px; margin: 4px 0 10px; }
#tip { position: fixed; pointer-events: none; background: #1d2329;
  color: #fff; padding: 3px 7px; border-radius: 3px; font-size: 12px;
  white-space: pre; z-index: 10; }
"""

#: The page's only script: sortable tables and the figures' tooltip.  It
#: reads the page and never takes text from it into markup (textContent
#: only), so nothing from an input file can become code.
PAGE_SCRIPT = """
(function () {
  "use strict";
  function key(row, col) {
    var cell = row.cells[col];
    var v = cell.getAttribute("data-sort");
    if (v === null) { return cell.textContent.trim(); }
    var n = parseFloat(v);
    return isNaN(n) ? null : n;
  }
  function compare(x, y) {
    if (typeof x === "number" && typeof y === "number") { return x - y; }
    return String(x).localeCompare(String(y), undefined, {numeric: true});
  }
  document.querySelectorAll("table.sortable").forEach(function (table) {
    var heads = table.tHead.rows[0].cells;
    Array.prototype.forEach.call(heads, function (th, col) {
      th.tabIndex = 0;
      function sort() {
        var body = table.tBodies[0];
        var up = th.getAttribute("aria-sort") !== "ascending";
        Array.prototype.forEach.call(heads, function (h) {
          h.removeAttribute("aria-sort");
        });
        th.setAttribute("aria-sort", up ? "ascending" : "descending");
        var keyed = Array.prototype.map.call(body.rows, function (r, i) {
          return [key(r, col), i, r];
        });
        keyed.sort(function (a, b) {
          if (a[0] === null || b[0] === null) {
            if (a[0] === b[0]) { return a[1] - b[1]; }
            return a[0] === null ? 1 : -1;
          }
          var c = compare(a[0], b[0]);
          return (up ? c : -c) || a[1] - b[1];
        });
        keyed.forEach(function (k) { body.appendChild(k[2]); });
      }
      th.addEventListener("click", sort);
      th.addEventListener("keydown", function (e) {
        if (e.key === "Enter" || e.key === " ") { e.preventDefault(); sort(); }
      });
    });
  });
  var tip = document.getElementById("tip");
  function place(e) {
    tip.style.left = (e.clientX + 12) + "px";
    tip.style.top = (e.clientY + 12) + "px";
  }
  document.querySelectorAll("svg [data-label]").forEach(function (p) {
    p.addEventListener("mouseenter", function (e) {
      tip.textContent = p.getAttribute("data-label");
      tip.hidden = false;
      place(e);
    });
    p.addEventListener("mousemove", place);
    p.addEventListener("mouseleave", function () { tip.hidden = true; });
  });
})();
"""


def _e(value: Any) -> str:
    """Any value as escaped text (quotes too: it may land in an attribute)."""
    return html.escape(str(value), quote=True)


def _script_hash(script: str) -> str:
    digest = hashlib.sha256(script.encode("utf-8")).digest()
    return "sha256-" + base64.b64encode(digest).decode("ascii")


def _num(value: float | None, digits: int, *, general: bool = False) -> str:
    """``digits`` decimals, or with ``general`` that many significant digits."""
    if general and value is not None and math.isfinite(value):
        return f"{value:.{digits}g}"
    return fmt(value, digits)


def _unit(report: dict[str, Any]) -> str:
    """The unit of the values ("" for a plain vector table)."""
    unit = str(report["tensor"]["units"]["da"])
    return unit if unit == "Hz" else ""


def _kv_table(rows: Iterable[tuple[str, str]], css: str = "kv") -> str:
    """Rows of (escaped name, ready markup)."""
    body = "".join(
        f'<tr><th scope="row">{name}</th><td class="text">{value}</td></tr>'
        for name, value in rows
    )
    return f'<table class="{css}"><tbody>{body}</tbody></table>'


def _grid(
    headers: Sequence[str], rows: Iterable[Sequence[str]], *, left: int = 1
) -> str:
    """A plain table of ready cells, the first ``left`` columns text."""
    head = "".join(
        f'<th class="text">{h}</th>' if i < left else f"<th>{h}</th>"
        for i, h in enumerate(headers)
    )
    body = "".join(
        "<tr>"
        + "".join(
            f'<td class="text">{c}</td>' if i < left else f"<td>{c}</td>"
            for i, c in enumerate(row)
        )
        + "</tr>"
        for row in rows
    )
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _angles(values: Sequence[float]) -> str:
    return " ".join(f"{a:.2f}" for a in values)


def tensor_table(report: dict[str, Any]) -> str:
    """The tensor of one fit report: magnitudes, angles, axes."""
    t = report["tensor"]
    unit = _unit(report)
    u = f" {unit}" if unit else ""
    rows: list[tuple[str, str]] = []
    if "da_nh" in t:
        rows += [
            ("Da(N-H)", f"{t['da_nh']:.3f}{u} (N-H at {t['nh_length']:.3f} Å)"),
            ("basis", _e(t["da_basis"])),
        ]
        if t.get("da_nh_standard") is not None:
            rows.append(
                ("Da(N-H) at standard lengths", f"{t['da_nh_standard']:.3f}{u}")
            )
        rows += [
            ("R", f"{t['r']:.4f}"),
            ("Dr(N-H) = R Da", f"{t['dr_nh']:.3f}{u}"),
            ("1.5 Da R", f"{t['dr_model_nh']:.3f}{u} (the module's coefficient)"),
            ("Da (alignment)", f"{t['da_alignment']:.4e} (dimensionless)"),
            ("Aa, Ar", f"{t['aa']:.4e} {t['ar']:.4e} (dimensionless)"),
            ("GDO", f"{t['gdo']:.4e} (generalized degree of order)"),
        ]
    else:
        rows += [
            ("Da", f"{t['da']:.3f}{u}"),
            ("R", f"{t['r']:.4f}"),
            ("Dr = R Da", f"{t['dr']:.3f}{u}"),
            ("1.5 Da R", f"{t['dr_model']:.3f}{u} (the module's coefficient)"),
        ]
    if t["offset_fitted"]:
        rows.append(("offset", f"{t['offset']:.3f}{u}"))
    rows += [
        ("Euler z-x-z (deg)", _angles(t["euler_deg"])),
        ("Euler z-y′-z″ (deg)", _angles(t["euler_zyz_deg"])),
        *(
            [
                (
                    "Euler z-y-z, tensor to molecule (deg)",
                    _angles(t["euler_frame_zyz_deg"]),
                )
            ]
            if "euler_frame_zyz_deg" in t
            else []
        ),
        (
            "principal values",
            " ".join(f"{v:.3f}" for v in t["principal_values"]) + f"{u} (xx, yy, zz)",
        ),
    ]
    for name, axis in zip("xyz", t["principal_axes"]):
        rows.append((f"axis {name}", " ".join(f"{c:+.4f}" for c in axis)))
    return _kv_table(rows)


def quality_table(report: dict[str, Any]) -> str:
    """The quality numbers: normalised to N-H beside raw when types are mixed."""
    q = report["quality"]
    unit = _unit(report)
    # The normalised block's chi^2 divides normalised residuals by the
    # uncertainties in raw Hz: a number to set beside other programs', not a
    # statistic, so it has no reduced form here (as in the text report).
    blocks = [("raw", q["raw"], False)]
    if q["lead"] == "normalised":
        name = f"normalised to {_e(q['normalised_to'])}"
        blocks.insert(0, (name, q["normalised"], True))
    headers = ["", *(name for name, _, _ in blocks)]
    u = f" ({unit})" if unit else ""
    rows = [
        ["N", *(str(b["n"]) for _, b, _ in blocks)],
        [f"RMS{u}", *(_num(b["rms"], 4) for _, b, _ in blocks)],
        ["Q", *(_num(b["q"], 4) for _, b, _ in blocks)],
        ["Q (sd)", *(_num(b["q_sd"], 4) for _, b, _ in blocks)],
        ["Pearson r", *(_num(b["pearson_r"], 4) for _, b, _ in blocks)],
        ["χ²", *(_num(b["chi2"], 6, general=True) for _, b, _ in blocks)],
        [
            "reduced χ²",
            *("-" if n else _num(b["reduced_chi2"], 4) for _, b, n in blocks),
        ],
    ]
    table = _grid(headers, rows)
    o = q["outliers"]
    extra = [
        ("Q (Da)", _num(q["q_da"], 4)),
        ("Q (Clore–Garrett)", _num(q.get("q_clore_garrett"), 4)),
        ("outliers", f"{o['count']} ({_e(o['rule'])})"),
    ]
    reg = q["regression"]
    if q["lead"] == "normalised" and reg["slope"] is not None:
        extra.append(
            (
                "regression",
                (
                    f"calc = ({reg['slope']:.3f} ± {reg['slope_sd']:.3f}) obs + "
                    f"({reg['offset']:.3f} ± {reg['offset_sd']:.3f})"
                ),
            )
        )
    return table + _kv_table(extra)


def per_type_table(report: dict[str, Any]) -> str:
    """N, normalised RMS, Q, Q (sd), r and raw χ²/N of each bond type."""
    unit = _unit(report)
    u = f" ({unit})" if unit else ""
    rows = []
    for name, pair in report["quality"]["per_type"].items():
        b = pair["normalised"]
        rows.append(
            [
                _e(name),
                str(b["n"]),
                _num(b["rms"], 4),
                _num(b["q"], 4),
                _num(b["q_sd"], 4),
                _num(b["pearson_r"], 4),
                _num(pair["raw"]["reduced_chi2"], 4),
            ]
        )
    headers = ["type", "N", f"RMS{u}", "Q", "Q (sd)", "r", "raw χ²/N"]
    return _grid(headers, rows)


def errors_table(errors: dict[str, Any]) -> str:
    """The spread over refits of perturbed data."""
    if errors["method"] == "bootstrap":
        how = "bootstrap resampling"
    elif errors["sigma"] is None:
        how = "Gaussian noise, each row's sigma"
    else:
        how = f"Gaussian noise, sigma {errors['sigma']:.4g}"
    rows = [
        ("refits", f"{errors['trials']} ({how})"),
        ("sd Da", f"{errors['da_sd']:.4g}"),
        ("sd R", f"{errors['r_sd']:.4g}"),
        ("sd Dr = R Da", f"{errors['dr_sd']:.4g}"),
    ]
    if errors.get("offset_sd") is not None:
        rows.append(("sd offset", f"{errors['offset_sd']:.4g}"))
    if errors.get("gdo_sd") is not None:
        rows.append(("sd GDO", f"{errors['gdo_sd']:.4g}"))
    x, y, z = errors["axis_spread_deg"]
    rows.append(("axis spread (deg)", f"x {x:.2f}, y {y:.2f}, z {z:.2f}"))
    return _kv_table(rows)


def coupling_name(row: dict[str, Any], index: int) -> str:
    """What a person calls a coupling: its atoms, else its label, else its row."""
    if row.get("residue_i") is not None:
        first = _residue(row, "i")
        second = _residue(row, "j")
        if second == first:
            return f"{first} {row['atom_i']}-{row['atom_j']}"
        return f"{first} {row['atom_i']} - {second} {row['atom_j']}"
    label = row.get("label")
    return str(label) if label else f"row {index + 1}"


def _residue(row: dict[str, Any], end: str) -> str:
    chain = row.get(f"chain_{end}")
    name = row.get(f"resname_{end}") or ""
    where = f"{chain}/" if chain else ""
    return f"{where}{name}{row[f'residue_{end}']}"


def _sort_value(value: Any) -> str:
    """A cell's sort key: the number as written in the report ("" if none)."""
    if value is None:
        return ""
    return repr(float(value))


def couplings_table(report: dict[str, Any]) -> str:
    """Every coupling, sortable by any column (click a header)."""
    rows = report["couplings"]
    typed = any("type" in r for r in rows)
    columns = [
        ("#", None),
        ("coupling", None),
        *([("type", None)] if typed else []),
        ("observed", "observed"),
        ("calculated", "calculated"),
        ("residual", "residual"),
        ("normalised residual", "normalised_residual"),
        ("sigma", "sigma"),
        ("outlier", None),
    ]
    head = "".join(
        f'<th scope="col" class="text">{name}</th>'
        if key is None and name != "#"
        else f'<th scope="col">{name}</th>'
        for name, key in columns
    )
    body = []
    for i, r in enumerate(rows):
        cells = [
            f'<td data-sort="{i}">{i + 1}</td>',
            f'<td class="text">{_e(coupling_name(r, i))}</td>',
        ]
        if typed:
            cells.append(f'<td class="text">{_e(r.get("type", ""))}</td>')
        for _, key in columns:
            if key is None:
                continue
            value = r.get(key)
            digits = 4 if key != "sigma" else 3
            shown = "-" if value is None else f"{value:.{digits}f}"
            cells.append(f'<td data-sort="{_sort_value(value)}">{shown}</td>')
        cells.append(f'<td class="text">{"yes" if r["outlier"] else ""}</td>')
        css = ' class="outlier"' if r["outlier"] else ""
        body.append(f"<tr{css}>{''.join(cells)}</tr>")
    return (
        '<div class="scroll"><table class="sortable couplings">'
        f"<thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody>"
        "</table></div>"
    )


# ---------------------------------------------------------------- figures


def _ticks(low: float, high: float) -> list[float]:
    """Round tick values covering ``low`` to ``high``."""
    span = high - low
    raw = span / TICK_COUNT
    magnitude = 10.0 ** math.floor(math.log10(raw))
    step = next(
        m * magnitude for m in (1.0, 2.0, 2.5, 5.0, 10.0) if m * magnitude >= raw
    )
    first = math.ceil(low / step) * step
    count = math.floor((high - first) / step + 1e-9) + 1
    return [round(first + k * step, 12) for k in range(count)]


def _tick_text(value: float) -> str:
    return f"{value:g}" if value != 0 else "0"


def _range(values: Sequence[float]) -> tuple[float, float]:
    """The values' range, widened a little, never empty."""
    low, high = min(values), max(values)
    if high <= low:
        pad = abs(low) * 0.1 or 1.0
        return low - pad, high + pad
    pad = (high - low) * 0.05
    return low - pad, high + pad


class _Frame:
    """Maps data to SVG coordinates inside the margins."""

    def __init__(self, x: tuple[float, float], y: tuple[float, float]) -> None:
        self.x = x
        self.y = y
        left, right, top, bottom = FIGURE_MARGINS
        self.left = left
        self.right = FIGURE_WIDTH - right
        self.top = top
        self.bottom = FIGURE_HEIGHT - bottom

    def px(self, value: float) -> float:
        low, high = self.x
        return self.left + (value - low) / (high - low) * (self.right - self.left)

    def py(self, value: float) -> float:
        low, high = self.y
        return self.bottom - (value - low) / (high - low) * (self.bottom - self.top)

    def axes(self, x_title: str, y_title: str) -> str:
        """Grid, ticks, the frame and the axis titles."""
        parts = []
        for v in _ticks(*self.x):
            x = self.px(v)
            parts.append(
                f'<line class="grid" x1="{x:.1f}" y1="{self.top:.1f}" '
                f'x2="{x:.1f}" y2="{self.bottom:.1f}"/>'
                f'<text x="{x:.1f}" y="{self.bottom + 15:.1f}" '
                f'text-anchor="middle">{_tick_text(v)}</text>'
            )
        for v in _ticks(*self.y):
            y = self.py(v)
            parts.append(
                f'<line class="grid" x1="{self.left:.1f}" y1="{y:.1f}" '
                f'x2="{self.right:.1f}" y2="{y:.1f}"/>'
                f'<text x="{self.left - 6:.1f}" y="{y + 4:.1f}" '
                f'text-anchor="end">{_tick_text(v)}</text>'
            )
        parts.append(
            f'<rect class="axis" x="{self.left:.1f}" y="{self.top:.1f}" '
            f'width="{self.right - self.left:.1f}" '
            f'height="{self.bottom - self.top:.1f}"/>'
        )
        mid_x = (self.left + self.right) / 2
        mid_y = (self.top + self.bottom) / 2
        parts.append(
            f'<text x="{mid_x:.1f}" y="{FIGURE_HEIGHT - 8:.1f}" '
            f'text-anchor="middle">{_e(x_title)}</text>'
            f'<text transform="translate(14 {mid_y:.1f}) rotate(-90)" '
            f'text-anchor="middle">{_e(y_title)}</text>'
        )
        return "".join(parts)


def _point(x: float, y: float, row: dict[str, Any], tip: str) -> str:
    """One coupling's point, with its name for the pointer and for a title."""
    colour = type_style(str(row.get("type", "all")))[0]
    ring = ""
    if row.get("outlier"):
        ring = (
            f'<circle class="ring" cx="{x:.2f}" cy="{y:.2f}" r="{OUTLIER_RADIUS}" fill="none" '
            f'stroke="{OUTLIER_COLOUR}" stroke-width="1.3"/>'
        )
    return (
        f'{ring}<circle class="point" cx="{x:.2f}" cy="{y:.2f}" r="{POINT_RADIUS}" '
        f'fill="{colour}" fill-opacity="0.85" data-label="{_e(tip)}">'
        f"<title>{_e(tip)}</title></circle>"
    )


def _finite(*values: Any) -> bool:
    return all(v is not None and math.isfinite(v) for v in values)


def _svg(body: str, label: str) -> str:
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" role="img" '
        f'aria-label="{_e(label)}" width="{FIGURE_WIDTH:g}" '
        f'height="{FIGURE_HEIGHT:g}" viewBox="0 0 {FIGURE_WIDTH:g} '
        f'{FIGURE_HEIGHT:g}">{body}</svg>'
    )


def _mixed(report: dict[str, Any]) -> bool:
    """Whether the fit's bond types are mixed: its figures then show every
    value over its type's factor to N-H."""
    return bool(report.get("quality", {}).get("lead") == "normalised")


def _factors(report: dict[str, Any]) -> list[float]:
    """Each coupling's factor to N-H (all 1 where one bond type is fitted)."""
    rows = report["couplings"]
    if not _mixed(report):
        return [1.0] * len(rows)
    by_type = report["quality"]["factors"]
    used = report.get("sign_convention", {}).get("used", "magnitudes")
    return [
        float(f)
        for f in signed_factors(
            [by_type[r["type"]] for r in rows],
            [r["scale"] for r in rows],
            nh_sign(used),
        )
    ]


def scatter_figure(report: dict[str, Any]) -> str:
    """Back-calculated across against observed up, one point per coupling,
    normalised to N-H where bond types are mixed: the scatter of the fit's
    figure (:func:`~kelfit_tools.report.figures.plot_medium`)."""
    rows = report["couplings"]
    unit = _unit(report)
    shown = [
        (i, r, r["calculated"] / f, r["observed"] / f)
        for i, (r, f) in enumerate(zip(rows, _factors(report)))
        if _finite(r["observed"], r["calculated"])
    ]
    if not shown:
        return ""
    low, high = _range([x for *_, x, _ in shown] + [y for *_, y in shown])
    frame = _Frame((low, high), (low, high))
    parts = [
        frame.axes(*scatter_labels(unit or None, _mixed(report))),
        (
            f'<line class="guide" x1="{frame.px(low):.1f}" y1="{frame.py(low):.1f}" '
            f'x2="{frame.px(high):.1f}" y2="{frame.py(high):.1f}"/>'
        ),
    ]
    for i, r, x, y in shown:
        tip = (
            f"{coupling_name(r, i)}\nobserved {r['observed']:.3f}, "
            f"calculated {r['calculated']:.3f}, residual {r['residual']:.3f}"
        )
        parts.append(_point(frame.px(x), frame.py(y), r, tip))
    return _svg("".join(parts), "back-calculated against observed values")


def residual_figure(report: dict[str, Any]) -> str:
    """Each coupling's residual along the sequence (or the rows), normalised
    to N-H where bond types are mixed, as the fit's figure draws it."""
    rows = report["couplings"]
    by_residue = all(r.get("residue_i") is not None for r in rows)
    shown = [
        (i, r, float(r["residue_i"] if by_residue else i + 1), r["residual"] / f)
        for i, (r, f) in enumerate(zip(rows, _factors(report)))
        if _finite(r["residual"])
    ]
    if not shown:
        return ""
    frame = _Frame(
        _range([x for _, _, x, _ in shown]), _range([0.0, *(y for *_, y in shown)])
    )
    suffix = value_suffix(_unit(report) or None, _mixed(report))
    parts = [
        frame.axes("residue" if by_residue else "row", RESIDUAL_LABEL + suffix),
        (
            f'<line class="guide" x1="{frame.left:.1f}" y1="{frame.py(0.0):.1f}" '
            f'x2="{frame.right:.1f}" y2="{frame.py(0.0):.1f}"/>'
        ),
    ]
    # Every stem first, then every point, so that no stem hides a point
    # from the pointer.
    placed = [(i, r, frame.px(x), frame.py(y)) for i, r, x, y in shown]
    zero = frame.py(0.0)
    for _, r, px, py in placed:
        colour = type_style(str(r.get("type", "all")))[0]
        parts.append(
            f'<line class="stem" stroke="{colour}" x1="{px:.2f}" '
            f'y1="{zero:.2f}" x2="{px:.2f}" y2="{py:.2f}"/>'
        )
    for i, r, px, py in placed:
        tip = (
            f"{coupling_name(r, i)}\nobserved {r['observed']:.3f}, "
            f"normalised residual {r['normalised_residual']:.3f}"
        )
        parts.append(_point(px, py, r, tip))
    return _svg("".join(parts), "residual of each coupling")


#: The sky map's plot width (pixels); its height is a quarter of it, as
#: the folded sinusoidal map is 360 by 90 degrees.
SKY_MAP_WIDTH = 680.0
#: Margins around the map: left, right, top, bottom (pixels).
SKY_MARGINS = (20.0, 20.0, 10.0, 26.0)
#: Radii of a refit's axis and of the fitted axis.
SKY_REFIT_RADIUS = 1.3
SKY_FITTED_RADIUS = 5.0
#: Latitudes and longitudes (degrees) of the map's grid lines.
_SKY_PARALLELS = (30.0, 60.0)
_SKY_MERIDIANS = (-120.0, -60.0, 0.0, 60.0, 120.0)


def sky_figure(report: dict[str, Any]) -> str:
    """The sky map of a fit with kept refits: every refit's x, y and z axes
    (one colour each) and the fitted axes (ringed), in the Sanson-Flamsteed
    projection of the upper hemisphere (:mod:`kelfit_tools.report.sky`);
    empty without refits' axes."""
    refits = report.get("errors", {}).get("refit_axes")
    if not refits:
        return ""
    left, right, top, bottom = SKY_MARGINS
    width = left + SKY_MAP_WIDTH + right
    height = top + SKY_MAP_WIDTH / 4.0 + bottom
    x_low, x_high, _, y_high = map_extent()
    scale = SKY_MAP_WIDTH / (x_high - x_low)

    def px(x: float) -> float:
        return left + (x - x_low) * scale

    def py(y: float) -> float:
        return top + (y_high - y) * scale

    def line(xs: Iterable[float], ys: Iterable[float], css: str) -> str:
        points = " ".join(f"{px(x):.1f},{py(y):.1f}" for x, y in zip(xs, ys))
        return f'<polyline class="{css}" fill="none" points="{points}"/>'

    latitudes = np.linspace(0.0, y_high, 31)
    parts = [
        line((lon * np.cos(np.radians(latitudes))).tolist(), latitudes.tolist(), "grid")
        for lon in _SKY_MERIDIANS
    ]
    for lat in _SKY_PARALLELS:
        edge = x_high * math.cos(math.radians(lat))
        parts.append(line((-edge, edge), (lat, lat), "grid"))
    outline_x, outline_y = sky_outline()
    parts.append(line(outline_x.tolist(), outline_y.tolist(), "axis"))
    axes = np.asarray(refits, dtype=np.float64)
    for k, colour in enumerate(AXIS_COLOURS):
        xs, ys = sky_points(axes[:, k])
        dots = "".join(
            f'<circle cx="{px(x):.1f}" cy="{py(y):.1f}" r="{SKY_REFIT_RADIUS}"/>'
            for x, y in zip(xs.tolist(), ys.tolist())
        )
        parts.append(f'<g fill="{colour}" fill-opacity="0.35">{dots}</g>')
    fitted = np.asarray(report["tensor"]["principal_axes"], dtype=np.float64)
    xs, ys = sky_points(fitted)
    for name, colour, x, y in zip("xyz", AXIS_COLOURS, xs.tolist(), ys.tolist()):
        tip = f"fitted {name} axis"
        parts.append(
            f'<circle cx="{px(x):.1f}" cy="{py(y):.1f}" r="{SKY_FITTED_RADIUS}" '
            f'fill="{colour}" stroke="#1d2329" stroke-width="1.2">'
            f"<title>{tip}</title></circle>"
        )
    parts.append(
        f'<text x="{left + SKY_MAP_WIDTH / 2:.1f}" y="{height - 8:.1f}" '
        'text-anchor="middle">equator (z = 0) below, the structure\'s z axis at '
        "the top</text>"
    )
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" role="img" '
        f'aria-label="sky map of the principal axes" width="{width:g}" '
        f'height="{height:g}" viewBox="0 0 {width:g} {height:g}">{"".join(parts)}</svg>'
    )


def _legend(report: dict[str, Any]) -> str:
    kinds = list(dict.fromkeys(str(r.get("type", "all")) for r in report["couplings"]))
    spans = "".join(
        f'<span><i style="background:{type_style(k)[0]}"></i>{_e(k)}</span>'
        for k in kinds
        if k != "all"
    )
    rule = report["quality"]["outliers"]["rule"]
    spans += (
        f'<span><i style="border:1.5px solid {OUTLIER_COLOUR}"></i>'
        f"outlier ({_e(rule)})</span>"
    )
    return f'<p class="legend">{spans}</p>'


# ---------------------------------------------------------------- sections


def compact_html(report: dict[str, Any], title: str) -> str:
    """The tensor, the quality numbers and the per-type table: a notebook's
    display of one fit."""
    parts = [
        f"<div><strong>{_e(title)}</strong>",
        '<div style="display:flex;gap:18px;flex-wrap:wrap">',
        f"<div>{tensor_table(report)}</div>",
        f"<div>{quality_table(report)}{per_type_table(report)}</div>",
        "</div>",
    ]
    if "errors" in report:
        parts.append(errors_table(report["errors"]))
    parts.append("</div>")
    return "".join(parts)


def comparisons_table(comparisons: Sequence[dict[str, Any]]) -> str:
    """Angles between the media's axes and their tensors' scalar products."""
    rows = []
    for c in comparisons:
        angles, product, generalised = comparison_cells(c)
        a, b = c["media"]
        rows.append([_e(a), _e(b), angles, product, generalised])
    headers = [
        "medium",
        "medium",
        "axis angles (deg)",
        "normalised scalar product",
        "generalised angle (deg)",
    ]
    return _grid(headers, rows, left=3)


def _plus_minus(value: float | None, sd: float | None, digits: int) -> str:
    """``value ± sd`` at ``digits`` decimals, the value alone without a
    spread, and "n/a" for no value."""
    if value is None:
        return "n/a"
    return f"{value:.{digits}f}" + ("" if sd is None else f" ± {sd:.{digits}f}")


def domains_section(block: dict[str, Any]) -> str:
    """The domains' definitions and every pair's relative orientation and
    ratio of degrees of order (a ``domains`` block of the JSON report)."""
    definitions = ", ".join(
        f"{_e(name)} = {_e(residues)}"
        for name, residues in block["definitions"].items()
    )
    parts = [f"<h2>Between domains</h2><p>Domains: {definitions}</p>"]
    for p in block["pairs"]:
        e = p.get("errors") or {}
        first, second = p["domains"]
        rot = p["rotation"]
        angles, product, generalised = comparison_cells(p)
        spread = (
            f" (spread {e['rotation_spread_deg']:.1f})"
            if "rotation_spread_deg" in e
            else ""
        )
        euler_sd = e.get("euler_sd_deg")
        higher = second if p["gdo_lower"] == first else first
        rows = [
            (
                f"rotation of {_e(second)} onto {_e(first)}'s frame",
                f"{_plus_minus(rot['angle_deg'], e.get('rotation_angle_sd_deg'), 1)} "
                f"deg{spread} about " + " ".join(f"{a:+.3f}" for a in rot["axis"]),
            ),
            (
                "Euler z-x-z (deg)",
                " ".join(f"{a:.1f}" for a in rot["euler_deg"])
                + (
                    f" (sd {' '.join(f'{a:.1f}' for a in euler_sd)})"
                    if euler_sd
                    else ""
                ),
            ),
            ("axis angles (deg)", _e(angles)),
            ("normalised scalar product", _e(product)),
            ("generalised angle (deg)", _e(generalised)),
            (
                "Da ratio, R ratio",
                (
                    f"{_plus_minus(p['da_ratio'], e.get('da_ratio_sd'), 3)}, "
                    f"{_plus_minus(p['r_ratio'], e.get('r_ratio_sd'), 3)}"
                ),
            ),
            (
                f"GDO ratio ({_e(p['gdo_lower'])} over {_e(higher)})",
                (
                    f"{_plus_minus(p['gdo_ratio'], e.get('gdo_ratio_sd'), 3)}: "
                    f"{_e(p['gdo_meaning'])}"
                ),
            ),
        ]
        parts.append(
            f"<h3>{_e(p['medium'] or 'Fit')}: {_e(second)} against {_e(first)}</h3>"
            + _kv_table(rows)
        )
    return "".join(parts)


def ensemble_table(summary: dict[str, Any], unit: str = "Hz") -> str:
    """An ensemble's summary (``summary_json``'s dict)."""
    q = summary["q"]
    m = summary["mean_tensor"]
    u = f" {unit}" if unit else ""
    x, y, z = summary["axis_spread_deg"]
    rows = [
        ("models", str(summary["models"])),
        (
            "Q",
            (
                f"mean {q['mean']:.4f} ± {q['sd']:.4f}, median {q['median']:.4f}, "
                f"range {q['min']:.4f} to {q['max']:.4f}"
            ),
        ),
        ("best, worst model", f"{summary['best_model']}, {summary['worst_model']}"),
        ("mean tensor z-x-z (deg)", _angles(m["angles_deg"])),
        ("mean Da, R", f"{m['da']:.3f}{u}, {m['r']:.4f}"),
        ("GDO of the mean tensor", f"{m['gdo']:.4e}"),
        (
            "GDO over the models",
            f"mean {summary['gdo']['mean']:.4e} ± {summary['gdo']['sd']:.4e}",
        ),
        ("axis spread (deg)", f"x {x:.2f}, y {y:.2f}, z {z:.2f}"),
    ]
    return _kv_table(rows)


def _list(items: Sequence[str], css: str) -> str:
    if not items:
        return ""
    return f'<ul class="{css}">' + "".join(f"<li>{_e(i)}</li>" for i in items) + "</ul>"


def _medium_section(report: dict[str, Any], heading: str) -> str:
    parts = [f"<h2>{_e(heading)}</h2>"]
    if "medium" in report:
        types = ", ".join(f"{n} {k}" for k, n in report["types"].items())
        conv = report["sign_convention"]
        chi = ", ".join(f"{k} {v:.6g}" for k, v in conv["chi2"].items())
        facts = [
            ("couplings", _e(f"{report['quality']['n']}: {types}")),
            ("sign convention", _e(f"{conv['used']} ({conv['how']}; χ² {chi})")),
            ("bond lengths", _e(report["bond_lengths"])),
            ("weighted", "yes (sigma as given)" if report["weighted"] else "no"),
        ]
        if report.get("unmatched"):
            facts.append(("not matched", f"{len(report['unmatched'])} couplings"))
        parts.append(_kv_table(facts))
        parts.append(_list(report.get("warnings", []), "warnings"))
        parts.append(_list(report.get("notes", []), "notes"))
    parts += [
        '<div class="figures">',
        f"<div><h3>Tensor</h3>{tensor_table(report)}</div>",
        f"<div><h3>Quality</h3>{quality_table(report)}",
        f"<h3>Per bond type</h3>{per_type_table(report)}</div>",
        "</div>",
    ]
    if "errors" in report:
        parts.append(f"<h3>Errors</h3>{errors_table(report['errors'])}")
    sky = sky_figure(report)
    if sky:
        shown = len(report["errors"]["refit_axes"])
        parts.append(
            f"<h3>Sky map</h3><figure>{sky}<figcaption>The principal axes x "
            f"(red), y (green) and z (blue) of {shown} refits and, ringed, of the "
            "fit: Sanson–Flamsteed projection of the directions, each axis folded "
            "onto the upper hemisphere (an axis and its negative are one)."
            "</figcaption></figure>"
        )
    scatter, residuals = scatter_figure(report), residual_figure(report)
    if scatter or residuals:
        parts += [
            "<h3>Figures</h3>",
            _legend(report),
            '<div class="figures">',
            (
                f"<figure>{scatter}<figcaption>Observed against back-calculated "
                "values, normalised to N-H where bond types are mixed; the dashed "
                "line is equality.</figcaption></figure>"
            ),
            (
                f"<figure>{residuals}<figcaption>Each coupling's residual, "
                "normalised to N-H where bond types are mixed.</figcaption></figure>"
            ),
            "</div>",
        ]
    parts.append(
        f'<h3>Couplings</h3><p class="sub">Click a column\'s header to sort by '
        f"it.</p>{couplings_table(report)}"
    )
    return "".join(parts)


def _heading(report: dict[str, Any], model: Any) -> str:
    name = str(report.get("medium") or "Fit")
    return f"Model {model}: {name}" if model is not None else name


def _models(payload: dict[str, Any]) -> list[dict[str, Any]]:
    """The model objects: one for a single fit, else every model's."""
    if "models" in payload:
        return list(payload["models"])
    return [payload]


def _inputs(payload: dict[str, Any]) -> str:
    source = payload.get("input", {})
    rows = []
    for key, value in source.items():
        values = value if isinstance(value, list) else [value]
        rows.append((_e(key), "<br>".join(f"<code>{_e(v)}</code>" for v in values)))
    return _kv_table(rows)


def _versions(payload: dict[str, Any]) -> list[tuple[str, str]]:
    return [
        ("kelfit", _e(payload.get("kelfit_version", "unknown"))),
        ("Python", _e(platform.python_version())),
        ("NumPy", _e(np.__version__)),
        ("platform", _e(platform.platform())),
    ]


def _command(payload: dict[str, Any], command_line: Sequence[str] | None) -> str:
    options = payload.get("options", {})
    rows = [
        (_e(name), f"<code>{_e(json.dumps(value))}</code>")
        for name, value in options.items()
    ]
    # Quoted as a shell takes it back, control characters escaped; a long
    # line wraps on the page instead of running off it.
    words = command_line or ["kelfit", str(payload.get("command", "fit"))]
    return (
        f'<p>Command:</p><pre class="command"><code>'
        f"{_e(printable(shlex.join(words)))}</code></pre>"
        f"<details><summary>every option as it took effect ({len(rows)})"
        f"</summary>{_kv_table(rows)}</details>"
    )


def html_report(
    payload: dict[str, Any],
    title: str = "kelfit fit",
    *,
    command_line: Sequence[str] | None = None,
) -> str:
    """The whole page of a run's JSON report (``kelfit fit --json``'s dict),
    with the command line that made it (its words, the program's name
    first), or the command's name alone."""
    sections = []
    models = _models(payload)
    for obj in models:
        model = obj.get("model") if len(models) > 1 else None
        for report in obj["media"]:
            sections.append(_medium_section(report, _heading(report, model)))
        if obj.get("comparisons"):
            sections.append(
                "<h2>Between media</h2>" + comparisons_table(obj["comparisons"])
            )
        if obj.get("domains", {}).get("pairs"):
            sections.append(domains_section(obj["domains"]))
    for summary in payload.get("ensemble", []):
        name = summary.get("medium") or ""
        heading = f"Ensemble ({name})" if name else "Ensemble"
        sections.append(f"<h2>{_e(heading)}</h2>" + ensemble_table(summary))
    averaged: dict[str, Any] = payload.get("averaged") or {"media": []}
    for report in averaged["media"]:
        over = f"averaged over {averaged['members']}"
        sections.append(_medium_section(report, f"{_heading(report, None)} ({over})"))
    warnings = _list(payload.get("warnings", []), "warnings")
    notes = _list(payload.get("notes", []), "notes")
    csp = (
        "default-src 'none'; img-src data:; style-src 'unsafe-inline'; "
        f"script-src '{_script_hash(PAGE_SCRIPT)}'"
    )
    return (
        "<!DOCTYPE html>\n"
        '<html lang="en"><head><meta charset="utf-8">'
        f'<meta http-equiv="Content-Security-Policy" content="{csp}">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        '<link rel="icon" href="data:,">'
        f"<title>{_e(title)}</title><style>{_STYLE}</style></head><body>"
        f"<h1>{_e(title)}</h1>{_inputs(payload)}"
        + (f"<h2>Warnings</h2>{warnings}" if warnings else "")
        + (f"<h2>Notes</h2>{notes}" if notes else "")
        + "".join(sections)
        + "<h2>How this was made</h2>"
        + _command(payload, command_line)
        + _kv_table(_versions(payload))
        + '<div id="tip" role="tooltip" hidden></div>'
        f"<script>{PAGE_SCRIPT}</script></body></html>\n"
    )


# ---------------------------------------------------------------- notebooks


def fit_result_html(result: FitResult) -> str:
    """A fit's notebook display: its report's tensor, quality and types."""
    return compact_html(fit_report(result), "FitResult")


def medium_fit_html(medium: MediumFit) -> str:
    """A medium's notebook display, from the report ``kelfit fit`` gives."""
    report = fit_report(medium.result, medium=medium)
    return compact_html(report, f"MediumFit: {medium.name}")


def ensemble_html(summary: EnsembleSummary) -> str:
    """An ensemble summary's notebook display (``summary_json``'s numbers)."""
    return "<div><strong>EnsembleSummary</strong>" + (
        ensemble_table(summary_json(summary), unit="") + "</div>"
    )


def monte_carlo_html(errors: MonteCarloResult) -> str:
    """The refits' spread as a table, as the fit report states it."""
    table = errors_table(errors_report(errors, errors.offset_fitted))
    return f"<div><strong>MonteCarloResult</strong>{table}</div>"


def register_notebook_views() -> None:
    """Register each result's notebook HTML, which its ``_repr_html_`` asks
    :mod:`kelfit_tools.display` for (the package does this on import)."""
    renders_html(FitResult)(fit_result_html)
    renders_html(MediumFit)(medium_fit_html)
    renders_html(EnsembleSummary)(ensemble_html)
    renders_html(MonteCarloResult)(monte_carlo_html)
