"""The Dask batch example: a small batch on two local worker processes, item by item equal to
the same evaluation in this process."""

from __future__ import annotations

import importlib.util
import os
import pathlib
import sys

import numpy as np
import pytest

import data_flow as df

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def batch():
    if os.environ.get("DATA_FLOW_SANITIZED"):
        pytest.skip("worker processes under the sanitizer take minutes to start")
    location = importlib.util.spec_from_file_location("batch", ROOT / "examples/python/batch.py")
    module = importlib.util.module_from_spec(location)
    sys.modules["batch"] = module
    location.loader.exec_module(module)
    return module


def test_batch_on_two_workers_equals_in_process_evaluation(plugin, batch):
    from distributed import Client

    g = df.Graph.load(ROOT / "examples/graphs/rings.json")
    g["pattern"].params["width"] = g["pattern"].params["height"] = 128
    frequencies = list(np.linspace(4.0, 32.0, 8))
    with batch.local_cluster(2) as cluster, Client(cluster) as client:
        results = batch.run_batch(client, g, "pattern.frequency", frequencies, "tone.image")
        assert len(client.scheduler_info()["workers"]) == 2
    g.sink = "tone"
    for frequency, result in zip(frequencies, results):
        g["pattern"].params["frequency"] = frequency
        g.run()
        expected = batch.histogram(g["tone"].outputs["image"].value, 16)
        np.testing.assert_array_equal(result, expected)
        assert expected.sum() == 128 * 128
    assert len({tuple(r) for r in results}) > 1
