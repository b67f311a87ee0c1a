#!/usr/bin/env python3
"""The README and docs/*.md: every relative link and picture resolves to a
file or folder of the source tree, and every #anchor to a heading of its
page; the README stays under 300 lines."""
import os
import re
import sys

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")


def slug(heading):
    """The anchor of a heading, as the hosting sites make it."""
    s = re.sub(r"[`*_]", "", heading.strip().lower())
    s = re.sub(r"[^\w\- ]", "", s)
    return s.replace(" ", "-")


def anchors(path):
    with open(path, encoding="utf-8") as f:
        text = re.sub(r"```.*?```", "", f.read(), flags=re.S)
    return {slug(m.group(1)) for m in re.finditer(r"^#+ (.*)$", text, re.M)}


def check(root, page):
    faults = []
    with open(page, encoding="utf-8") as f:
        text = re.sub(r"```.*?```", "", f.read(), flags=re.S)
    for m in LINK.finditer(text):
        target = m.group(1)
        if re.match(r"^[a-z]+:", target):
            continue
        name, _, anchor = target.partition("#")
        path = os.path.normpath(os.path.join(os.path.dirname(page), name)) if name else page
        where = os.path.relpath(page, root)
        if not os.path.exists(path):
            faults.append("%s: %s does not exist" % (where, target))
        elif anchor and path.endswith(".md") and anchor not in anchors(path):
            faults.append("%s: %s has no heading #%s" % (where, name or where, anchor))
    return faults


def main():
    root = sys.argv[1]
    docs = os.path.join(root, "docs")
    pages = [os.path.join(root, "README.md")] + sorted(
        os.path.join(docs, n) for n in os.listdir(docs) if n.endswith(".md"))
    faults = []
    for page in pages:
        faults += check(root, page)
    with open(pages[0], encoding="utf-8") as f:
        lines = f.read().count("\n")
    if lines >= 300:
        faults.append("README.md: %d lines, not under 300" % lines)
    for f in faults:
        print("FAIL " + f)
    print("%d pages, %d faults" % (len(pages), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
