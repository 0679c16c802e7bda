#!/usr/bin/env python3
"""Holds the build's library graph against the layers of README.md's "Layout" table.

    scripts/check-layers.py README.md BUILD/link-graph.txt

Every target's folder must have a row in the table; its layer is that row's. The layers, from
the bottom: library, core, faces, tests. A target may link targets of its own layer or below,
never above; a face never links another folder's face (each face is thin over the core).
Exit 1 with one line per breach.
"""
import re
import sys

ORDER = ["library", "core", "faces", "tests"]


def folder_layers(readme):
    text = open(readme, encoding="utf-8").read()
    section = text.split("## Layout\n", 1)[1].split("\n## ", 1)[0]
    layers = {}
    for row in re.finditer(r"^\| `([^`]+)/` \| ([a-z]+)", section, re.M):
        layers[row.group(1)] = row.group(2)
    return layers


def layer_of(folder, layers):
    parts = folder.split("/")
    for n in range(len(parts), 0, -1):
        layer = layers.get("/".join(parts[:n]))
        if layer is not None:
            return "/".join(parts[:n]), layer
    return None, None


def main():
    layers = folder_layers(sys.argv[1])
    folders = {}
    graph = []
    for line in open(sys.argv[2], encoding="utf-8"):
        target, folder, links = line.rstrip("\n").split("\t")
        folders[target] = folder
        graph.append((target, folder, [l for l in links.split(";") if l]))
    problems = []
    for target, folder, links in graph:
        home, layer = layer_of(folder, layers)
        if layer not in ORDER:
            problems.append(f"{target} ({folder}/): the README's layout table has no layer for it")
            continue
        for dep in links:
            dep_home, dep_layer = layer_of(folders[dep], layers)
            if dep_layer not in ORDER:
                continue  # reported as a target of its own
            if ORDER.index(dep_layer) > ORDER.index(layer):
                problems.append(f"{target} ({layer}, {folder}/) links {dep} ({dep_layer}), a layer above it")
            elif layer == dep_layer == "faces" and dep_home != home and not folder.startswith(dep_home):
                problems.append(f"{target} ({folder}/) links {dep}, the face in {folders[dep]}/")
    for p in problems:
        print(p)
    print(f"check-layers: {len(graph)} targets, {len(problems)} breaches")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
