#!/usr/bin/env python3
"""The folder-to-folder include graph of worker/, server/ and common/.

Reads every '#include "..."' of their sources, prints each edge between two
folders with the number of includes behind it, and exits with 1 when an
include points against the layer order below, when an include does not name
its header's folder from the program's top, when a seam includes one of its
implementations, or when both programs have a header of the same path.

  scripts/include-graph.py [SOURCE_DIR]     # default: the tree this script is in
"""

import os
import re
import sys

# The layer order of each program: a folder may include from its own folder
# (and that folder's platform/) and from folders of a lower layer only, never
# from one of its own layer or above. Every folder of a program is listed
# here; common/ is below both programs. A folder's platform/ subfolder is
# part of the folder.
LAYERS = {
    "worker": [
        ["app"],
        ["pipeline"],
        ["report"],
        ["capture", "compose", "output", "preview"],
        ["output/sink"],
        ["channel", "config", "media"],
    ],
    "server": [
        ["app"],
        ["api"],
        ["access"],
        ["supervision", "config", "http", "recordings"],
    ],
}
COMMON = "common"

# Seams and the implementations they must not know (a factory beside them does).
SEAMS = {
    "worker/capture/CaptureSource": ["worker/capture/FfmpegCaptureSource.h", "worker/capture/DriverCaptureSource.h"],
    "worker/output/sink/OutputSink": ["worker/output/sink/SrtSink.h", "worker/output/sink/UrlSink.h"],
    "worker/channel/ServerChannel": ["worker/channel/InheritedServerChannel.h"],
}

SOURCE_SUFFIXES = (".cpp", ".h", ".h.in")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_table():
    """Node name ("worker/capture", "common") to (program, layer number); higher includes lower."""
    # common/protocol/ (what the programs and the page say to each other)
    # lies below the rest of common/ and includes from none of it.
    table = {COMMON: (None, 0), COMMON + "/protocol": (None, -1)}
    for program, layers in LAYERS.items():
        for index, folders in enumerate(layers):
            for folder in folders:
                table[program + "/" + folder] = (program, len(layers) - index)
    return table


def node_of(path, table):
    """The layer table's folder that holds a file (a path from the source top), or None."""
    folder = os.path.dirname(path)
    if folder.endswith("/platform"):
        folder = folder[: -len("/platform")]
    return folder if folder in table else None


def sources(top):
    for program in list(LAYERS) + [COMMON]:
        for directory, _, files in os.walk(os.path.join(top, program)):
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    yield os.path.relpath(os.path.join(directory, name), top)


def main():
    top = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    table = layer_table()
    edges = {}
    problems = []
    for path in sorted(sources(top)):
        program = path.split("/")[0]
        source = node_of(path, table)
        if source is None:
            problems.append(f"{path}: its folder is not in the layer table of scripts/include-graph.py")
            continue
        with open(os.path.join(top, path), encoding="utf-8") as file:
            text = file.read()
        for included in INCLUDE.findall(text):
            if included.startswith(COMMON + "/"):
                target_path = included
            elif program != COMMON:
                target_path = program + "/" + included
            else:
                problems.append(f"{path}: includes \"{included}\", which is not in common/")
                continue
            target_path = os.path.normpath(target_path)
            target = node_of(target_path, table)
            if target is None:
                problems.append(f"{path}: includes \"{included}\", which names no folder of the layer table "
                                f"(includes name the header's folder from the program's top)")
                continue
            edges[(source, target)] = edges.get((source, target), 0) + 1
            if source != target and table[source][1] <= table[target][1]:
                problems.append(f"{path}: includes \"{included}\": {source} may not include from {target}")
            for seam, implementations in SEAMS.items():
                if os.path.splitext(path)[0] == seam and target_path in implementations:
                    problems.append(f"{path}: the seam includes its implementation \"{included}\"")

    # Tests and fuzz targets build with both programs' folders on the include
    # path: a header path both programs have would be found in either.
    headers = {program: {path[len(program) + 1:] for path in sources(top)
                         if path.startswith(program + "/") and path.endswith(".h")} for program in LAYERS}
    for shared in sorted(set.intersection(*headers.values())):
        problems.append(f"{shared}: both programs have a header of this path")

    print("Include graph by folder (from -> to: includes):")
    def order(edge):
        program, layer = table[edge[0]]
        return (list(LAYERS).index(program) if program else len(LAYERS), -layer, edge)

    for source, target in sorted(edges, key=order):
        if source != target:
            print(f"  {source:20} -> {target:20} {edges[(source, target)]:3}")
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(f"include-graph: {len(problems)} problem(s) with the layout", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
