#!/usr/bin/env python3
"""Fails when a folder below the application-server link includes a header of link/ itself.

link/ holds the top layer (OffMsgApp and its configuration). The layers below it may include the
wire codecs (link/wire/...) and the service contracts (link/contracts/...), never link/<file>.h.
Usage: check_link_layers.py SOURCE_DIR FOLDER...
"""
import os
import re
import sys

TOP_LAYER_INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]link/([^/">]+)[">]')
SOURCE_SUFFIXES = (".h", ".cc", ".cpp", ".hpp", ".inc")


def offending_lines(path):
    with open(path, encoding="utf-8", errors="replace") as source:
        for number, line in enumerate(source, 1):
            if TOP_LAYER_INCLUDE.match(line):
                yield number, line.strip()


def main():
    root, folders = sys.argv[1], sys.argv[2:]
    found = 0
    scanned = 0
    for folder in folders:
        top = os.path.join(root, folder)
        if not os.path.isdir(top):
            print(f"no such folder: {folder}")
            return 1
        for directory, _, names in os.walk(top):
            for name in sorted(names):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(directory, name)
                scanned += 1
                for number, line in offending_lines(path):
                    found += 1
                    print(f"{os.path.relpath(path, root)}:{number}: includes the link's top layer: {line}")
    print(f"{scanned} files scanned, {found} includes of link/<file>.h below the link")
    return 1 if found or not scanned else 0


if __name__ == "__main__":
    sys.exit(main())
