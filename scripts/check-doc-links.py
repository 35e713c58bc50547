#!/usr/bin/env python3
"""Checks every internal link of the built documentation site: each
relative href or src must name a file of the site, and each #fragment an id
in that file. External links (with a scheme) are not followed: the build
runs without network.

    python scripts/check-doc-links.py build/docs/html
"""

from __future__ import annotations

import sys
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit


class _Page(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.ids: set[str] = set()
        self.links: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        for name, value in attrs:
            if value is None:
                continue
            if name in ("id", "name"):
                self.ids.add(value)
            elif (name == "href" and tag in ("a", "link")) or (name == "src" and tag in ("img", "script")):
                self.links.append(value)


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root = Path(argv[1]).resolve()
    pages: dict[Path, _Page] = {}
    for path in sorted(root.rglob("*.html")):
        # _static holds the theme's template fragments, not pages.
        if path.relative_to(root).parts[0] == "_static":
            continue
        page = _Page()
        page.feed(path.read_text(encoding="utf-8"))
        pages[path] = page
    if not pages:
        print(f"no HTML pages under {root}", file=sys.stderr)
        return 2
    broken = []
    for path, page in pages.items():
        for link in page.links:
            parts = urlsplit(link)
            if parts.scheme or parts.netloc or link.startswith("//"):
                continue
            target = (path.parent / unquote(parts.path)).resolve() if parts.path else path
            if target.is_dir():
                target = target / "index.html"
            if not target.is_relative_to(root) or not target.exists():
                broken.append(f"{path.relative_to(root)}: {link} (no such file)")
            elif parts.fragment and target in pages:
                if unquote(parts.fragment) not in pages[target].ids:
                    broken.append(f"{path.relative_to(root)}: {link} (no such anchor)")
    for line in broken:
        print(line, file=sys.stderr)
    print(f"{len(pages)} pages, {sum(len(p.links) for p in pages.values())} links, {len(broken)} broken")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
