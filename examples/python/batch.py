#!/usr/bin/env python3
"""Evaluates one graph document over many values of one parameter on a Dask cluster.

Each worker loads the plugins and builds the graph once (a worker plugin) and reuses it for
every item it is given, so only what the changed parameter reaches is computed again. Each
item returns the histogram of one output. Without --scheduler a LocalCluster of two worker
processes runs on this machine:

    PYTHONPATH=build/release/python python3 examples/python/batch.py examples/graphs/rings.json \\
        --plugin build/release/examples/image_kinds.so --vary pattern.frequency=4:64:64 \\
        --result tone.image

With --scheduler tcp://HOST:8786 it runs on that cluster instead; every worker then needs the
data_flow package on its PYTHONPATH and the plugin files at the same paths.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import threading
import time

import cloudpickle
import numpy as np
from distributed import Client, LocalCluster, WorkerPlugin, get_worker

import data_flow as df

# Workers get this module's functions and classes by value: they need not find this file.
cloudpickle.register_pickle_by_value(sys.modules[__name__])


def histogram(values: np.ndarray, bins: int) -> np.ndarray:
    """How many values fall in each of `bins` equal parts of [0, 1]."""
    return np.histogram(values, bins=bins, range=(0.0, 1.0))[0]


class GraphOnWorker(WorkerPlugin):
    """The graph of one document, built once in each worker process.

    Tasks on a worker take turns on the graph; a parameter change between two of them leaves
    the results it does not reach in place.
    """

    name = "data-flow-graph"

    def __init__(self, document: str, plugins: list[str]):
        self.document = document
        self.plugins = plugins

    def setup(self, worker) -> None:
        for path in self.plugins:
            df.load_plugin(path)
        self.graph = df.Graph.from_json(self.document)
        self.lock = threading.Lock()

    def evaluate(self, target: str, value: float, result: str, bins: int) -> np.ndarray:
        """Sets "node.param" to value, evaluates and returns the histogram of "node.output"."""
        node, param = target.split(".")
        result_node, output = result.split(".")
        with self.lock:
            self.graph[node].params[param] = value
            self.graph.sink = result_node  # nothing past the result is evaluated
            self.graph.run()
            return histogram(self.graph[result_node].outputs[output].value, bins)


def evaluate_on_worker(target: str, value: float, result: str, bins: int) -> np.ndarray:
    return get_worker().plugins[GraphOnWorker.name].evaluate(target, value, result, bins)


def run_batch(client: Client, graph: df.Graph, target: str, values: list[float], result: str,
              bins: int = 16) -> list[np.ndarray]:
    """One histogram per value, in the order of values, evaluated on the client's workers."""
    client.register_worker_plugin(GraphOnWorker(graph.to_json(), df.plugins()),
                                  name=GraphOnWorker.name)
    n = len(values)
    futures = client.map(evaluate_on_worker, [target] * n, values, [result] * n, [bins] * n,
                         pure=False)
    return client.gather(futures)


def local_cluster(workers: int) -> LocalCluster:
    """Worker processes on this machine, one thread each."""
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                        dashboard_address=None, silence_logs=40)


def parse_values(text: str) -> list[float]:
    """"START:STOP:COUNT" (evenly spaced, both ends included) or "A,B,C"."""
    if ":" in text:
        start, stop, count = text.split(":")
        return [float(v) for v in np.linspace(float(start), float(stop), int(count))]
    return [float(v) for v in text.split(",")]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("graph", help="the graph document")
    parser.add_argument("--plugin", action="append", default=[], help="plugin module to load")
    parser.add_argument("--vary", required=True, metavar="NODE.PARAM=VALUES",
                        help="the parameter and its values, START:STOP:COUNT or A,B,C")
    parser.add_argument("--result", required=True, metavar="NODE.OUTPUT")
    parser.add_argument("--bins", type=int, default=16)
    parser.add_argument("--scheduler", help="address of a running scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    args = parser.parse_args()

    for path in args.plugin:
        df.load_plugin(path)
    graph = df.Graph.load(args.graph)
    target, values = args.vary.split("=", 1)
    values = parse_values(values)
    with contextlib.ExitStack() as stack:
        cluster = None if args.scheduler else stack.enter_context(local_cluster(args.workers))
        client = stack.enter_context(Client(args.scheduler or cluster))
        started = time.monotonic()
        results = run_batch(client, graph, target, values, args.result, args.bins)
        elapsed = time.monotonic() - started
    for value, counts in zip(values, results):
        print(f"{target}={value:<8.4g} {' '.join(f'{c:6d}' for c in counts)}")
    print(f"{len(values)} evaluations on {args.scheduler or f'{args.workers} local workers'} "
          f"in {elapsed:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
