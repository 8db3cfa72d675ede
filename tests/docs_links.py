#!/usr/bin/python3
"""Every relative link and anchor in README.md and docs/ leads somewhere, and
README.md links every document in docs/.

    docs_links.py SOURCE_DIR

Anchors are made from headings as GitHub makes them: the heading's text in
lower case, without punctuation but hyphens, spaces as hyphens, a repeated
one numbered -1, -2, ... Links and headings inside code are not links.
"""
import os
import re
import sys

root = sys.argv[1]
documents = ["README.md"] + sorted("docs/" + f for f in os.listdir(os.path.join(root, "docs")) if f.endswith(".md"))


def prose(text):
    """The lines outside fenced code blocks: each without its inline code, and as it is."""
    fenced = False
    for line in text.splitlines():
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        if not fenced:
            yield re.sub(r"`[^`]*`", "CODE", line), line


def anchors(path):
    seen, found = {}, set()
    with open(os.path.join(root, path), encoding="utf-8") as f:
        for _, line in prose(f.read()):
            m = re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
            if not m:
                continue
            slug = re.sub(r"[^\w\- ]", "", m.group(1).replace("`", "").lower()).replace(" ", "-")
            n = seen.get(slug, 0)
            seen[slug] = n + 1
            found.add(slug if n == 0 else f"{slug}-{n}")
    return found


problems, checked, linked = [], 0, set()
for doc in documents:
    with open(os.path.join(root, doc), encoding="utf-8") as f:
        text = f.read()
    for stripped, _ in prose(text):
        for target in re.findall(r"\]\(([^)\s]+)\)", stripped):
            if re.match(r"[a-z]+:", target):
                continue  # a web address
            checked += 1
            path, _, anchor = target.partition("#")
            file = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
            if doc == "README.md":
                linked.add(file)
            if not os.path.exists(os.path.join(root, file)):
                problems.append(f"{doc}: {target}: no such file")
            elif anchor and (not file.endswith(".md") or anchor not in anchors(file)):
                problems.append(f"{doc}: {target}: no heading #{anchor} in {file}")
for doc in documents[1:]:
    if doc not in linked:
        problems.append(f"README.md does not link {doc}")

print(f"{checked} links in {len(documents)} documents")
for p in problems:
    print(p)
sys.exit(1 if problems else 0)
