"""The documents: every relative link of README.md and docs/*.md leads to a
file of the tree and every #anchor to a heading of its document (as GitHub
makes anchors); every element the configuration reader knows is documented;
each manual page renders under man without a warning."""

import os
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
# Each manual page, and the title it renders with.
MAN_PAGES = {"Tavitty.8": "Tavitty(8)", "gunconf.xml.5": "gunconf.xml(5)",
             "make-tls-cert.8": "make-tls-cert(8)"}

FENCE = re.compile(r"^ {0,3}(```|~~~).*?^ {0,3}\1[^\n]*$", re.M | re.S)
CODE_SPAN = re.compile(r"`[^`]*`")
HEADING = re.compile(r"^ {0,3}#{1,6}[ \t]+(.*?)[ \t#]*$", re.M)
LINK = re.compile(r"!?\[([^\]]*)\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")


def prose(markdown):
    """The text outside fenced code blocks (as many lines, for line numbers)."""
    return FENCE.sub(lambda block: "\n" * block.group(0).count("\n"), markdown)


def anchors(markdown):
    """The anchors of a document's headings, as GitHub makes them: the text
    lowercased, punctuation dropped, spaces to hyphens, -1, -2... on repeats."""
    seen, made = {}, set()
    for heading in HEADING.findall(prose(markdown)):
        text = LINK.sub(r"\1", heading)
        slug = re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        made.add(slug if count == 0 else f"{slug}-{count}")
    return made


def broken_links(document, root=ROOT):
    """Each relative link of the document that leads nowhere (or out of the
    tree at root), with its line."""
    text = prose(document.read_text(encoding="utf-8"))
    # Code spans go, but not the link around one: [`<Tls>`](#tls).
    text = CODE_SPAN.sub(lambda span: "code" + "\n" * span.group(0).count("\n"), text)
    broken = []
    for link in LINK.finditer(text):
        target = link.group(2)
        if re.match(r"[a-zA-Z][a-zA-Z0-9+.-]*:", target):  # http:, mailto:: not ours
            continue
        path, _, anchor = target.partition("#")
        where = f"{document.relative_to(root)}:{text.count(chr(10), 0, link.start()) + 1}"
        file = (document.parent / path).resolve() if path else document
        if root not in (file, *file.parents) or not file.exists():
            broken.append(f"{where}: {target}: no such file")
        elif anchor and (file.suffix != ".md" or anchor not in anchors(file.read_text("utf-8"))):
            broken.append(f"{where}: {target}: no such heading")
    return broken


def test_every_relative_link_and_anchor_of_the_documents_leads_somewhere():
    assert len(DOCUMENTS) > 1
    assert [line for document in DOCUMENTS for line in broken_links(document)] == []


def test_every_element_the_configuration_reader_knows_is_documented():
    source = (ROOT / "shell" / "conf_reader.cpp").read_text()
    elements = {name for pair in re.findall(
        r'(?:FirstChildElement|NextSiblingElement|text|ReadScannerList\(root,)\s*\(?\s*"(\w+)"'
        r'|\{"(\w+)", (?:"[\w/]+", )?&attr', source) for name in pair if name}
    assert {"WebsocketPort", "baudrate", "Origin", "KeyboardScanners", "AimPrefix"} <= elements
    guide = (ROOT / "docs" / "configuration.md").read_text()
    reference = (ROOT / "docs" / "man" / "gunconf.xml.5.scd").read_text()
    assert sorted(name for name in elements if f"`{name}`" not in guide
                  and f"`ttyAttr/{name}`" not in guide) == []
    assert sorted(name for name in elements if not re.search(rf"\*(ttyAttr/)?{name}\*", reference)) == []


def test_each_manual_page_renders_without_a_warning():
    man_dir = os.environ.get("TAVITTY_MAN_DIR")
    if not man_dir:
        pytest.skip("TAVITTY_MAN_DIR names the build's manual pages (CTest sets it)")
    rendered = {}
    for page in MAN_PAGES:
        done = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", f"{man_dir}/{page}.gz"],
                              capture_output=True, text=True, timeout=60,
                              env={**os.environ, "LC_ALL": "C.UTF-8", "MANWIDTH": "80"})
        rendered[page] = (done.returncode, done.stderr, done.stdout.split(None, 1)[:1])
    assert rendered == {page: (0, "", [title]) for page, title in MAN_PAGES.items()}
