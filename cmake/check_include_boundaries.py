#!/usr/bin/env python3
"""Fails when a file includes a project header of a library its target does not depend on.

Every header of the tree sits below one include root, so the compiler accepts any include; this
check holds the includes to the target graph instead:
  - a source file may include the headers of its own target and of the targets it links, and of
    what those export (PUBLIC or INTERFACE dependencies), transitively;
  - a header that files of other targets include is part of its library's interface, so what it
    includes must be exported by that library (its own PUBLIC dependencies), not only linked;
  - only tests, benchmarks, fuzz targets and other test helpers link a test-only library.
A header belongs to the target that lists it or its .cc among its sources; a header-only header
that no target lists belongs to every library of its folder (list it to tell which).

Usage: check_include_boundaries.py TARGET_GRAPH_JSON SOURCE_DIR
       check_include_boundaries.py --self-test
"""
import json
import os
import re
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
HEADER_SUFFIXES = (".h", ".hpp", ".inc")
LINK_ONLY = re.compile(r"^\$<LINK_ONLY:([^>]+)>$")


def project_includes(path, root):
    """The project headers a file includes, as (line number, header path relative to root)."""
    with open(path, encoding="utf-8", errors="replace") as source:
        for number, line in enumerate(source, 1):
            match = INCLUDE.match(line)
            if match and os.path.isfile(os.path.join(root, match.group(1))):
                yield number, os.path.normpath(match.group(1))


class Graph:
    def __init__(self, targets, root):
        self.root = root
        self.targets = targets
        self.files = {}  # relative path -> set of targets listing it
        for name, target in targets.items():
            for source in target.get("SOURCES", []):
                if "$<" in source:
                    continue
                path = source if os.path.isabs(source) else os.path.join(target["dir"], source)
                relative = os.path.relpath(os.path.normpath(path), root)
                self.files.setdefault(relative, set()).add(name)

    def direct(self, name, interface):
        """The project targets a target links (interface: only those it exports)."""
        target = self.targets[name]
        values = target.get("INTERFACE_LINK_LIBRARIES" if interface else "LINK_LIBRARIES", [])
        if not interface and target["type"] == "INTERFACE_LIBRARY":
            values = target.get("INTERFACE_LINK_LIBRARIES", [])
        found = []
        for value in values:
            if value.startswith("::@"):
                continue
            link_only = LINK_ONLY.match(value)
            if link_only:
                if interface:
                    continue
                value = link_only.group(1)
            if value in self.targets:
                found.append(value)
        return found

    def exported(self, name, seen=None):
        """A target and everything it exports, transitively."""
        seen = set() if seen is None else seen
        if name not in seen:
            seen.add(name)
            for dependency in self.direct(name, interface=True):
                self.exported(dependency, seen)
        return seen

    def usable(self, name):
        """The targets whose headers the sources of a target may include."""
        found = {name}
        for dependency in self.direct(name, interface=False):
            found |= self.exported(dependency)
        return found

    def linked(self, name, seen=None):
        """Every target a target links, transitively (what ends up in its binary)."""
        seen = set() if seen is None else seen
        for dependency in self.direct(name, interface=False):
            if dependency not in seen:
                seen.add(dependency)
                self.linked(dependency, seen)
        return seen

    def is_test_side(self, name):
        target = self.targets[name]
        folder = os.path.relpath(target["dir"], self.root).split(os.sep)[0]
        links = target.get("LINK_LIBRARIES", []) + target.get("INTERFACE_LINK_LIBRARIES", [])
        return (target.get("testonly", False) or folder in ("bench", "fuzz")
                or any(link.startswith("GTest::") for link in links))


def header_owners(graph):
    """Header path -> targets that own it: those listing it, else those compiling its .cc."""
    owners = {}
    for path, names in graph.files.items():
        if path.endswith(HEADER_SUFFIXES):
            owners[path] = set(names)
    for path, names in graph.files.items():
        stem, suffix = os.path.splitext(path)
        header = stem + ".h"
        if (suffix in (".cc", ".cpp", ".c") and header not in graph.files
                and os.path.isfile(os.path.join(graph.root, header))):
            owners.setdefault(header, set()).update(names)
    # A header-only header nobody lists belongs to the libraries of its folder.
    folder_libraries = {}
    for name, target in graph.targets.items():
        if target["type"].endswith("LIBRARY") and not target.get("testonly"):
            folder_libraries.setdefault(os.path.realpath(target["dir"]), set()).add(name)
    for folder, names in folder_libraries.items():
        for file in os.listdir(folder):
            header = os.path.relpath(os.path.join(folder, file), graph.root)
            if file.endswith(HEADER_SUFFIXES) and header not in owners:
                owners[header] = set(names)
    return owners


def check(graph):
    """The problems found, as printable lines."""
    problems = []
    owners = header_owners(graph)
    files_of = {}  # target -> files whose includes it answers for
    for path, names in graph.files.items():
        for name in names:
            files_of.setdefault(name, set()).add(path)
    for header, names in owners.items():
        for name in names:
            files_of.setdefault(name, set()).add(header)

    # A header is part of its target's interface when a file of another target includes it, or
    # a header of the interface does.
    included_by = {}
    for name, paths in files_of.items():
        for path in paths:
            for _, header in project_includes(os.path.join(graph.root, path), graph.root):
                included_by.setdefault(header, set()).add((name, path))
    interface = set()
    pending = [h for h, users in included_by.items()
               if h in owners and any(user not in owners[h] for user, _ in users)]
    while pending:
        header = pending.pop()
        if header in interface:
            continue
        interface.add(header)
        for _, included in project_includes(os.path.join(graph.root, header), graph.root):
            if owners.get(included, set()) & owners[header]:
                pending.append(included)

    for name in sorted(files_of):
        usable = graph.usable(name)
        exported = graph.exported(name)
        for path in sorted(files_of[name]):
            public = (path in interface and name in owners.get(path, ())
                      and graph.targets[name]["type"].endswith("LIBRARY"))
            allowed = exported if public else usable
            for number, header in project_includes(os.path.join(graph.root, path), graph.root):
                header_targets = owners.get(header)
                if not header_targets:
                    problems.append(f"{path}:{number}: {header} belongs to no target (list it "
                                    f"among its library's SOURCES)")
                elif not header_targets & allowed:
                    libraries = " or ".join(sorted(header_targets))
                    if public:
                        problems.append(
                            f"{path}:{number}: includes {header}, but {name} does not export "
                            f"{libraries} (other targets include this header, so {name} must "
                            f"link it PUBLIC)")
                    else:
                        problems.append(
                            f"{path}:{number}: includes {header}, but {name} neither links "
                            f"{libraries} nor gets it exported by what it links")

    for name in sorted(graph.targets):
        if graph.is_test_side(name):
            continue
        for dependency in sorted(graph.linked(name)):
            if graph.targets[dependency].get("testonly"):
                problems.append(f"target {name} links the test-only library {dependency}")
    return problems


def run(graph_file, root):
    with open(graph_file, encoding="utf-8") as file:
        targets = json.load(file)
    graph = Graph(targets, os.path.realpath(root))
    problems = check(graph)
    for problem in problems:
        print(problem)
    print(f"{len(targets)} targets, {len(graph.files)} listed files, "
          f"{len(problems)} includes or links across the boundaries")
    return 1 if problems or not graph.files else 0


def self_test():
    """The check finds a deliberate bad include and a product linking a test helper."""
    with tempfile.TemporaryDirectory() as root:
        def write(path, text):
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w", encoding="utf-8") as file:
                file.write(text)
        write("low/low.h", "#pragma once\n")
        write("low/low.cc", '#include "low/low.h"\n')
        write("mid/mid.h", '#pragma once\n#include "low/low.h"\n')
        write("mid/mid.cc", '#include "mid/mid.h"\n')
        write("top/top.cc", '#include "mid/mid.h"\n#include "low/low.h"\n')
        write("side/side.h", "#pragma once\n")
        write("side/side.cc", '#include "side/side.h"\n')
        write("help/help.h", '#pragma once\n')

        def library(folder, sources, links=(), exports=(), kind="STATIC_LIBRARY", **extra):
            entry = {"type": kind, "dir": os.path.join(root, folder), "SOURCES": list(sources),
                     "LINK_LIBRARIES": list(links) + list(exports),
                     "INTERFACE_LINK_LIBRARIES": list(exports)
                     + [f"$<LINK_ONLY:{link}>" for link in links]}
            entry.update(extra)
            return entry

        def graph(mid_links, mid_exports, top_links):
            return Graph({
                "low": library("low", ["low.cc"]),
                "side": library("side", ["side.cc"]),
                "mid": library("mid", ["mid.cc"], mid_links, mid_exports),
                "top": library("top", ["top.cc"], top_links, kind="EXECUTABLE"),
                "help": library("help", ["help.h"], kind="INTERFACE_LIBRARY", testonly=True),
            }, root)

        cases = [
            ("sound graph", graph([], ["low"], ["mid"]), 0),
            ("mid's header needs low, linked only PRIVATE", graph(["low"], [], ["mid"]), 2),
            ("top includes low.h without linking it", graph([], [], ["mid"]), 2),
            ("top links a test-only library", graph([], ["low"], ["mid", "help"]), 1),
        ]
        failed = 0
        for title, case, expected in cases:
            found = check(case)
            status = "ok" if len(found) == expected else "WRONG"
            failed += status != "ok"
            print(f"{status}: {title}: {len(found)} problems, expected {expected}")
            for problem in found:
                print(f"    {problem}")
        return 1 if failed else 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--self-test"]:
        sys.exit(self_test())
    if len(sys.argv) != 3:
        print(__doc__)
        sys.exit(2)
    sys.exit(run(sys.argv[1], sys.argv[2]))
