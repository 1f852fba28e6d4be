#!/usr/bin/env python3
"""Fails when a file includes a file of a library above its own, or a unit its library
is forbidden (tools/layers.txt).

Usage: tools/check_layers.py [source root]. Prints one line per upward include and exits 1
when there is any; exits 0 otherwise.
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def read_layers(root):
    """The libraries bottom up as (name, paths), and the units each one may not include."""
    layers, forbidden = [], {}
    for line in (root / "tools" / "layers.txt").read_text().splitlines():
        line = line.split("#", 1)[0].split()
        if line and line[0].startswith("!"):
            forbidden.setdefault(line[0][1:], set()).update(line[1:])
        elif line:
            layers.append((line[0], line[1:]))
    return layers, forbidden


def owner(path, layers):
    """(rank, library) of the most specific entry naming `path` ("mail/mime/smime.h"), or None."""
    best = None
    stem = path.rsplit(".", 1)[0]
    for rank, (name, entries) in enumerate(layers):
        for entry in entries:
            if entry.endswith("/"):
                hit = path.startswith(entry)
            else:
                hit = stem == entry
            if hit and (best is None or len(entry) > best[0]):
                best = (len(entry), rank, name)
    return None if best is None else best[1:]


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else __file__).resolve()
    if root.is_file():
        root = root.parent.parent
    layers, forbidden = read_layers(root)
    folders = {e.split("/")[0] for _, entries in layers for e in entries}
    failures = []
    for folder in sorted(folders):
        for source in sorted((root / folder).rglob("*")):
            if source.suffix not in (".h", ".cpp"):
                continue
            relative = source.relative_to(root).as_posix()
            mine = owner(relative, layers)
            if mine is None:
                continue
            text = source.read_text(errors="replace")
            for match in INCLUDE.finditer(text):
                included = match.group(1)
                theirs = owner(included, layers)
                line = text.count("\n", 0, match.start()) + 1
                if theirs is not None and theirs[0] > mine[0]:
                    failures.append(f"{relative}:{line}: {mine[1]} includes {included} "
                                    f"of {theirs[1]}, a library above it")
                elif included.rsplit(".", 1)[0] in forbidden.get(mine[1], ()):
                    failures.append(f"{relative}:{line}: {mine[1]} may not include {included}")
    for failure in failures:
        print(failure)
    if failures:
        print(f"{len(failures)} layering fault(s); the layers are listed in tools/layers.txt")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
