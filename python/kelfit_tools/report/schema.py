"""The JSON Schema of ``kelfit fit --json``, shipped with the package, so
that scripts can check a report before they rely on it."""

from __future__ import annotations

import json
from importlib import resources
from typing import Any

__all__ = ["FIT_REPORT_SCHEMA", "fit_report_schema"]

#: The schema's file name in the package's data folder.
FIT_REPORT_SCHEMA = "fit-report.schema.json"


def fit_report_schema() -> dict[str, Any]:
    """The schema (JSON Schema draft 2020-12) as a dict."""
    text = (resources.files("kelfit_tools") / "data" / FIT_REPORT_SCHEMA).read_text(
        encoding="utf-8"
    )
    schema: dict[str, Any] = json.loads(text)
    return schema
