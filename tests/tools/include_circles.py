#!/usr/bin/python3
"""The include circles of src/: components whose headers reach each other through includes.

A component is one x.h with its x.cpp; a component includes another when either of its files
includes the other's header. A circle is a strongly connected component of that graph with more
than one member; the largest tells how far the folders are from a plain order. Prints every
circle, largest first, and the size of the largest over the number of components.

Usage: include_circles.py [--root REPO] [--max N]; with --max, exit status 1 when the largest
circle has more than N members.
"""

import argparse
import sys
from pathlib import Path

from include_order import sources


def graph(src):
    """{component "a/b": set of components it includes} for every .h and .cpp under src."""
    edges = {}
    for name, included in sources(src):
        stem = name.split("/", 1)[1].rsplit(".", 1)[0]
        targets = edges.setdefault(stem, set())
        for header in included:
            if (src / header).is_file():
                target = header.rsplit(".", 1)[0]
                if target != stem:
                    targets.add(target)
    return edges


def circles(edges):
    """The strongly connected components with more than one member (Tarjan, iterative)."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    for root in edges:
        if root in index:
            continue
        work = [(root, iter(sorted(edges[root])))]
        index[root] = low[root] = len(index)
        stack.append(root)
        on_stack.add(root)
        while work:
            node, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in edges:
                    continue
                if child not in index:
                    index[child] = low[child] = len(index)
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(edges[child]))))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                member, component = None, []
                while member != node:
                    member = stack.pop()
                    on_stack.discard(member)
                    component.append(member)
                if len(component) > 1:
                    found.append(sorted(component))
    return sorted(found, key=lambda c: (-len(c), c))


def main():
    here = Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", type=Path, default=here.parent.parent, help="the repository")
    parser.add_argument("--max", type=int, help="the largest circle allowed")
    args = parser.parse_args()
    edges = graph(args.root / "src")
    found = circles(edges)
    for component in found:
        print(f"{len(component)}: {' '.join(component)}")
    largest = len(found[0]) if found else 0
    print(f"largest circle: {largest} of {len(edges)} components")
    return 1 if args.max is not None and largest > args.max else 0


if __name__ == "__main__":
    sys.exit(main())
