#!/usr/bin/env python3
"""Loads the rings pipeline, turns one parameter, runs it and looks at the result with numpy.

    make demo    # builds the module and the plugin (Release)
    PYTHONPATH=build/release/python python3 examples/python/explore.py

The second run recomputes only what the changed parameter reaches; the table shows which nodes
did and how long each took.
"""

from __future__ import annotations

import argparse
import pathlib
import time

import numpy as np

import data_flow as df

ROOT = pathlib.Path(__file__).resolve().parents[2]


def show_times(title: str, times: dict[str, df.NodeTime], elapsed: float) -> None:
    print(f"{title}: {elapsed * 1000:.1f} ms")
    for id, t in times.items():
        print(f"  {id:<10} {t.ms:9.2f} ms  {'recomputed' if t.recomputed else 'kept'}")


def describe(image: np.ndarray) -> str:
    low, median, high = np.percentile(image, [1, 50, 99])
    return (f"{image.size} values, mean {image.mean():.4f}, std {image.std():.4f}, "
            f"1% {low:.4f}, median {median:.4f}, 99% {high:.4f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--graph", default=ROOT / "examples/graphs/rings.json")
    parser.add_argument("--plugin", default=ROOT / "build/release/examples/image_kinds.so")
    parser.add_argument("--node", default="tone", help="the node whose image is looked at")
    parser.add_argument("--set", default="tone.softness=0.3", metavar="NODE.PARAM=VALUE",
                        help="the change before the second run")
    args = parser.parse_args()

    df.load_plugin(args.plugin)
    g = df.Graph.load(args.graph)
    g.sink = args.node  # evaluate up to the image looked at, without writing the file
    for id, node in g.nodes.items():
        print(f"{id:<10} {node.kind.client_id:<20} {dict(node.params)}")

    started = time.perf_counter()
    show_times("first run", g.run(), time.perf_counter() - started)
    image = g[args.node].outputs["image"].value
    print(f"{args.node}.image: {describe(image)}")

    target, value = args.set.split("=")
    node, param = target.split(".")
    g[node].params[param] = float(value)
    started = time.perf_counter()
    show_times(f"after {target} = {value}", g.run(), time.perf_counter() - started)
    print(f"{args.node}.image: {describe(g[args.node].outputs['image'].value)}")
    print(f"the first result is still there: {describe(image)}")


if __name__ == "__main__":
    main()
