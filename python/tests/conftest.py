"""Fixtures of the Python tests: node kinds written in Python, the example plugin, a leak check."""

from __future__ import annotations

import gc
import os
import time

import numpy as np
import pytest

import data_flow as df


class Ramp(df.NodeKind):
    """0, 1, ... n-1."""
    client_id = "py-ramp"
    outputs = {"x": "FloatVector"}
    parameters = {"n": df.Parameter("int", 4, min=0, max=1 << 20)}

    def process(self, inputs, params):
        return np.arange(params["n"], dtype=np.float32)


class Gain(df.NodeKind):
    """x times gain; counts its evaluations."""
    client_id = "py-gain"
    inputs = {"x": "FloatVector"}
    outputs = {"y": "FloatVector", "total": "float"}
    parameters = {"gain": df.Parameter("float", 2.0, min=0.0, max=10.0)}
    calls = 0

    def process(self, inputs, params):
        Gain.calls += 1
        y = inputs["x"] * params["gain"]
        return {"y": y, "total": float(y.sum())}


class Sleep(df.NodeKind):
    """Passes x on after sleeping."""
    client_id = "py-sleep"
    inputs = {"x": "FloatVector"}
    outputs = {"x": "FloatVector"}
    parameters = {"seconds": df.Parameter("float", 0.2)}

    def process(self, inputs, params):
        time.sleep(params["seconds"])
        return inputs["x"]


class Fail(df.NodeKind):
    """Always fails."""
    client_id = "py-fail"
    inputs = {"x": "FloatVector"}
    outputs = {"x": "FloatVector"}

    def process(self, inputs, params):
        raise ValueError("no good input")


class Misfit(Fail):
    """Gives text where a FloatVector is due."""
    client_id = "py-misfit"

    def process(self, inputs, params):
        return {"x": "text"}


# One parameter of every value type, named after it, with its starting value.
ALL_TYPES = {
    "int": 0, "unsigned int": 0, "unsigned long": 0, "float": 0.0, "bool": False,
    **{f"{t}{n}": np.zeros(n) for t in ("int", "bool", "float") for n in (2, 3, 4)},
    **{f"float{n}x{n}": np.eye(n) for n in (2, 3, 4)},
    "FloatVector": np.zeros(0),
    **{f"Float{n}Vector": np.zeros((0, n)) for n in (2, 3, 4)},
    "String": "",
}


class AllTypes(df.NodeKind):
    """A parameter of every type, and bounded ones."""
    client_id = "py-all"
    outputs = {"x": "Float3Vector"}
    parameters = {
        **{name.replace(" ", "_"): df.Parameter(name, value) for name, value in ALL_TYPES.items()},
        "level": df.Parameter("float", 0.5, min=0.0, max=1.0),
        "corner": df.Parameter("int2", [0, 0], min=[-4, -4], max=[4, 4]),
    }

    def process(self, inputs, params):
        return params["Float3Vector"]


# The library keeps a counter per node name for as long as it is up (nodes are named by their
# ids, and first by their kind): the names the tests use are entered once, up front, so that the
# leak check sees only what a test leaves behind.
NODE_IDS = ("ramp", "gain", "all", "n0", "n1", "n2", "a", "b")


def enter_names(ids: tuple[str, ...]) -> None:
    g = df.Graph()
    for id in ids:
        g.add("py-ramp", id)
    for kind in df.kinds():
        g.add(kind.client_id, "kind")
        g.remove("kind")


@pytest.fixture(scope="session")
def kinds():
    for kind in (Ramp, Gain, Sleep, Fail, Misfit, AllTypes):
        df.register(kind)
    enter_names(NODE_IDS)
    # The first evaluation brings the scheduler up; that state lives as long as the process.
    chain()[0].run()


@pytest.fixture(scope="session")
def plugin(kinds) -> str:
    path = os.environ.get("DATA_FLOW_TEST_PLUGIN")
    if not path:
        pytest.skip("the example plugin is not built in this configuration")
    df.load_plugin(path)
    enter_names(("pattern", "blur", "measure", "tone", "histogram", "write", "level"))
    return path


@pytest.fixture(autouse=True)
def no_leaks(kinds):
    """Everything a test made is gone once Python has let go of it."""
    gc.collect()
    before = df._native.live_allocations()
    yield
    gc.collect()
    assert df._native.live_allocations() == before


def chain(*middle: str) -> tuple[df.Graph, str]:
    """ramp -> middle kinds... -> gain; returns the graph and the sink's id."""
    g = df.Graph()
    g.add("py-ramp", "ramp")
    previous = "ramp.x"
    for i, kind in enumerate(middle):
        g.add(kind, f"n{i}")
        g.connect(previous, f"n{i}.x")
        previous = f"n{i}.x"
    g.add("py-gain", "gain")
    g.connect(previous, "gain.x")
    g.sink = "gain"
    return g, "gain"
