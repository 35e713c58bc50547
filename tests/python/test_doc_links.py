"""scripts/check-doc-links.py: the internal link check of the built site."""

import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "check-doc-links.py"

PAGES = {
    "index.html": '<a href="guide/page.html#usage">guide</a><a id="top"></a><a href="#top">top</a>'
    '<a href="https://example.org/missing.html">out</a><img src="_images/fig.png">'
    '<a href="guide/">folder</a>',
    "guide/page.html": '<h1 id="usage">Usage</h1><a href="../index.html">back</a>',
    "guide/index.html": "<p>folder index</p>",
    "_images/fig.png": "",
    # The theme's template fragments are not pages and are not checked.
    "_static/macros.html": "<link href=\"{{ pathto('x.css', 1) }}\">",
}


def run_check(root):
    return subprocess.run([sys.executable, str(SCRIPT), str(root)], capture_output=True, text=True)


def write_site(root, pages):
    for name, text in pages.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")


def test_a_site_whose_links_all_resolve_passes(tmp_path):
    write_site(tmp_path, PAGES)
    result = run_check(tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "3 pages, 6 links, 0 broken"


@pytest.mark.parametrize(
    ("page", "link", "reason"),
    [
        ("index.html", "guide/missing.html", "no such file"),
        ("index.html", "guide/page.html#install", "no such anchor"),
        ("guide/page.html", "#nowhere", "no such anchor"),
        ("guide/page.html", "../../outside.html", "no such file"),
        ("index.html", "_images/other.png", "no such file"),
    ],
)
def test_a_broken_internal_link_fails_and_is_named(tmp_path, page, link, reason):
    pages = dict(PAGES)
    pages[page] += f'<a href="{link}">x</a>' if not link.endswith(".png") else f'<img src="{link}">'
    write_site(tmp_path, pages)
    result = run_check(tmp_path)
    assert result.returncode == 1
    assert result.stderr.splitlines() == [f"{page}: {link} ({reason})"]


def test_an_empty_folder_is_an_error(tmp_path):
    result = run_check(tmp_path)
    assert result.returncode == 2
    assert "no HTML pages" in result.stderr
