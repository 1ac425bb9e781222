#!/usr/bin/env python3
"""Evaluates one graph document over many values of one parameter on a Dask cluster.

Each worker loads the plugins and builds the graph once (a worker plugin) and reuses it for
every item it is given, so only what the changed parameter reaches is computed again. Without
--scheduler a LocalCluster of two worker processes runs on this machine.

    PYTHONPATH=build/release/python python3 examples/python/batch.py examples/graphs/rings.json \\
        --plugin build/release/examples/image_kinds.so --vary pattern.frequency=4:64:64 \\
        --result histogram.histogram

With --scheduler tcp://HOST:8786 it runs on that cluster; every worker needs the data_flow
package on its PYTHONPATH and the plugin files at the same paths.
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

# Workers get this module's functions by value: they need not find the file.
cloudpickle.register_pickle_by_value(sys.modules[__name__])


class GraphOnWorker(WorkerPlugin):
    """The graph of one document, built once in each worker process.

    Tasks on a worker share the graph one at a time; a parameter change between two of them
    leaves the rest of the graph's results in place.
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

    def evaluate(self, target: str, value, result: str) -> np.ndarray:
        """Sets "node.param" to value, evaluates and returns a copy of "node.output"."""
        node, param = target.split(".")
        result_node, output = result.split(".")
        with self.lock:
            self.graph[node].params[param] = value
            self.graph.run()
            return np.array(self.graph[result_node].outputs[output].value)


def evaluate_on_worker(target: str, value, result: str) -> np.ndarray:
    return get_worker().plugins[GraphOnWorker.name].evaluate(target, value, result)


def run_batch(client: Client, document: str, plugins: list[str], target: str, values: list,
              result: str) -> list[np.ndarray]:
    """One result per value, in the order of values."""
    client.register_worker_plugin(GraphOnWorker(document, plugins), name=GraphOnWorker.name)
    futures = client.map(evaluate_on_worker, [target] * len(values), values,
                         [result] * len(values), pure=False)
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
    parser.add_argument("--scheduler", help="address of a running scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    args = parser.parse_args()

    target, values = args.vary.split("=", 1)
    values = parse_values(values)
    with open(args.graph) as f:
        document = f.read()
    with contextlib.ExitStack() as stack:
        cluster = None if args.scheduler else stack.enter_context(local_cluster(args.workers))
        client = stack.enter_context(Client(args.scheduler or cluster))
        started = time.monotonic()
        results = run_batch(client, document, args.plugin, target, values, args.result)
        elapsed = time.monotonic() - started
    for value, r in zip(values, results):
        print(f"{target}={value:g}: {r.shape} sum {float(r.sum()):.6g} max {float(r.max()):.6g}")
    print(f"{len(values)} evaluations in {elapsed:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
