#!/usr/bin/env python3
"""Prints the program's .cpp files that clang-tidy must check again since a commit: those
changed, and those that include (directly or through other headers) a header that changed.
Prints "ALL" when the whole tree must be checked: the commit is unknown, or .clang-tidy or
the build's flags changed.

Usage: tools/tidy_changed.py COMMIT [source root]"""
import pathlib
import re
import subprocess
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
PROGRAM = re.compile(r"^(main\.cpp|(app|automation|mail|station|system|ui)/.+\.cpp)$")
EVERYTHING = (".clang-tidy", "CMakeLists.txt", "CMakePresets.json", "cmake/build_flags.cmake")


def main():
    commit = sys.argv[1]
    root = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else ".").resolve()
    git = ["git", "-C", str(root)]
    if subprocess.run(git + ["cat-file", "-e", commit + "^{commit}"],
                      capture_output=True).returncode != 0:
        print("ALL")
        return 0
    changed = set(subprocess.check_output(git + ["diff", "--name-only", commit]).decode().split())
    changed |= set(subprocess.check_output(
        git + ["ls-files", "--others", "--exclude-standard"]).decode().split())
    if any(name in changed for name in EVERYTHING):
        print("ALL")
        return 0
    sources = subprocess.check_output(git + ["ls-files", "*.cpp", "*.h"]).decode().split()
    includes = {}
    for name in sources:
        path = root / name
        if path.is_file():
            includes[name] = set(INCLUDE.findall(path.read_text(errors="replace")))
    # A file is dirty when it changed or includes a dirty file; repeat until nothing moves.
    dirty = {name for name in sources if name in changed}
    moved = True
    while moved:
        moved = False
        for name, included in includes.items():
            if name not in dirty and included & dirty:
                dirty.add(name)
                moved = True
    for name in sorted(dirty):
        if PROGRAM.match(name) and (root / name).is_file():
            print(name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
