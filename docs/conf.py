"""Sphinx configuration of the vok_sr documentation site (`make docs`).

The site documents the installed modules: `make docs` installs vok_sr and
vok_learn into .venv first and builds with that interpreter, so the API
reference reads the compiled module's own docstrings and signatures.
"""

from __future__ import annotations

import os
import re
import warnings
from pathlib import Path

import vok_learn
import vok_sr  # noqa: F401  (see below)
from vok_learn._cli import build_parser

# vok_sr is imported here so that autodoc documents the extension module
# itself, with the signatures of its docstrings' `--` lines. Left to itself,
# autodoc would execute the type stub installed beside it (vok_sr.pyi) in
# its place, and later doctests in this process would import that stub.

HERE = Path(__file__).resolve().parent

project = "vok_sr"
author = "the vok_sr developers"
copyright = "the vok_sr developers"
release = vok_learn.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "matplotlib.sphinxext.plot_directive",
    "myst_parser",
]
# Markdown only where a page includes it (the benchmark page).
source_suffix = {".rst": "restructuredtext"}
myst_heading_anchors = 2

templates_path = ["_templates"]
exclude_patterns = ["_build", "requirements.txt", "examples/README.rst", "generated/*.txt"]
root_doc = "index"

# Every cross-reference must resolve: with -W an unknown name, page or label
# fails the build, which is how the internal links are checked. Types named
# in prose only (numpydoc's parameter types stay plain text) need no entry.
nitpicky = True
nitpick_ignore_regex = [
    # Objects of other libraries: no intersphinx, the build runs offline.
    ("py:class", r"(numpy|pandas|sympy|matplotlib|sklearn|dask|collections)\..*"),
    ("py:(func|meth|class)", r"sklearn\..*"),
    ("py:class", r"(np|npt|pd)\..*"),
    ("py:class", r"(ArrayLike|NDArray|Expr|Axes|Callable|Any|Sequence|SupportsFloat|SupportsIndex)"),
    # The vok_sr reference's names for its stub's array-like types.
    ("py:class", r"(vector|matrix)"),
]

# --- autodoc and autosummary ------------------------------------------------
autosummary_generate = True
autodoc_default_options = {"member-order": "bysource"}
# Signatures show names and default values; the types are in the numpydoc
# Parameters sections (vok_learn) and the field lists (vok_sr), where they
# read as prose rather than as NumPy's expanded ArrayLike union.
autodoc_typehints = "none"

# --- numpydoc ---------------------------------------------------------------
# The class template documents the members itself; numpydoc's own member
# tables would list them a second time.
numpydoc_show_class_members = False
numpydoc_show_inherited_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# --- doctest ----------------------------------------------------------------
# The user guide's short examples run as doctests (`make docs` runs the
# doctest builder after the HTML one). Searches print nothing with
# verbose=0; vok_sr's own progress lines go to file descriptor 1, outside
# what doctest compares.
doctest_global_setup = """
import numpy as np
import pandas as pd
import warnings
"""
doctest_test_doctest_blocks = "default"

# --- the gallery ------------------------------------------------------------
sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "FileNameSortKey",
    "doc_module": ("vok_learn",),
    "backreferences_dir": "api/generated/backreferences",
    "reference_url": {"vok_learn": None},
    "abort_on_example_error": True,
    "show_memory": False,
    "remove_config_comments": True,
    "download_all_examples": False,
    "plot_gallery": "True",
}

# --- figures drawn at build time (How the search works) ---------------------
plot_include_source = False
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]

# --- HTML -------------------------------------------------------------------
html_theme = "pydata_sphinx_theme"
html_title = f"vok_sr {release}"
html_static_path: list[str] = []
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "navbar_align": "left",
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
html_show_sourcelink = False
html_context = {"default_mode": "light"}

# Non-interactive figures for the gallery and the plot directive.
os.environ.setdefault("MPLBACKEND", "Agg")
warnings.filterwarnings("ignore", message="Matplotlib is currently using agg")


def _write_cli_help() -> None:
    """The command line page includes `vok-sr ... --help` as the parser
    prints it, so the page cannot drift from the options."""
    out = HERE / "generated"
    out.mkdir(exist_ok=True)
    parser = build_parser()
    os.environ["COLUMNS"] = "88"
    texts = {"cli-help.txt": parser.format_help()}
    subparsers = next(a for a in parser._actions if a.__class__.__name__ == "_SubParsersAction")
    for name, sub in subparsers.choices.items():
        texts[f"cli-{name}-help.txt"] = sub.format_help()
    for name, text in texts.items():
        path = out / name
        if not path.exists() or path.read_text() != text:
            path.write_text(text)


_write_cli_help()


def _plain_sklearn_labels(app, what, name, obj, options, lines):
    """VokRegressor's reference lists the methods it inherits from
    scikit-learn (score, get_params, set_params) with scikit-learn's own
    docstrings, whose :ref: labels point into scikit-learn's user guide;
    without intersphinx they are kept as plain text."""
    if getattr(obj, "__module__", "").startswith("sklearn."):
        lines[:] = [re.sub(r":ref:`([^`<]*?)\s*(?:<[^>]*>)?`", r"\1", line) for line in lines]


def setup(app):
    app.connect("autodoc-process-docstring", _plain_sklearn_labels)
