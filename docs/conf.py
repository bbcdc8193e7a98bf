"""Sphinx configuration of kelfit's documentation site.

The site is built offline (``make docs``): the API reference is read from
the installed ``kelfit`` and ``kelfit_tools``, the CLI reference from the
parser the ``kelfit`` command uses, and the gallery's figures and the
notebook's output are made at build time from the real data sets the
package ships (``kelfit_tools.datasets``), so a clone anywhere builds it.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

# The module ships kelfit.pyi beside it, for type checkers; the reference
# documents the module itself, whose docstrings are the full ones.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"

DOCS = Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS / "_ext"))

project = "kelfit"
author = "the kelfit developers"
copyright = "the kelfit developers"

try:
    from importlib.metadata import version as _version

    release = _version("kelfit")
except Exception:  # noqa: BLE001 - a source tree without an installed package
    release = "unknown"
version = release

extensions = [
    "myst_nb",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
    # MathJax served from the site itself, so the pages read offline too.
    "sphinx-mathjax-offline",
    "sphinxarg.ext",
    "gallery",
    "docstrings",
]

myst_enable_extensions = ["dollarmath", "amsmath", "colon_fence", "deflist"]
myst_heading_anchors = 3

# The notebook pages run at build time, in their own folder (docs/); they read
# the data sets where the package holds them. An error fails the build.
nb_execution_mode = "force"
nb_execution_raise_on_error = True
nb_execution_timeout = 300
nb_execution_in_temp = False
nb_execution_allow_errors = False

autodoc_member_order = "bysource"
autodoc_typehints = "description"
# Each name is documented where it is defined, not again where a package
# re-exports it.
autodoc_default_options = {
    "members": True,
    "show-inheritance": True,
    "ignore-module-all": True,
}
napoleon_google_docstring = True
napoleon_numpy_docstring = True

# The optional libraries' own documentation is not reachable offline, so
# their types are named but not linked.
nitpicky = False
# The module and the tools both have a FitResult; an unqualified name in a
# signature links to one of them rather than failing the build.
suppress_warnings = ["myst.header", "ref.python"]

exclude_patterns = ["_build", "_generated", "jupyter_execute", "Thumbs.db", ".DS_Store"]
html_theme = "alabaster"
html_title = f"kelfit {release}"
html_static_path = ["_static"]
# Long command lines wrap in the text column rather than being clipped.
html_css_files = ["wrap.css"]
html_theme_options = {"description": "RDC alignment tensors, reproducible to the bit"}
