"""Parameters of every value type both ways, outputs as zero-copy numpy views, and lifetimes."""

from __future__ import annotations

import gc

import numpy as np
import pytest

import data_flow as df
from conftest import ALL_TYPES, chain

VALUES = {
    "int": -7, "unsigned int": 4_000_000_000, "unsigned long": 2**64 - 1, "float": 0.1,
    "bool": True, "int2": np.array([1, -2]), "int3": [1, 2, 3], "int4": (4, 3, 2, 1),
    "bool2": [True, False], "bool3": np.array([False, True, True]), "bool4": [True] * 4,
    "float2": [0.5, -1.5], "float3": np.array([1, 2, 3], dtype=np.float64), "float4": [0, 1, 2, 3],
    "float2x2": [[1, 2], [3, 4]], "float3x3": np.arange(9).reshape(3, 3),
    "float4x4": np.arange(16.0).reshape(4, 4) / 7, "FloatVector": np.linspace(0, 1, 5),
    "Float2Vector": np.ones((3, 2)), "Float3Vector": [[1, 2, 3]], "Float4Vector": np.zeros((2, 4)),
    "String": 'naïve "quoted"\nline',
}


@pytest.fixture
def node():
    g = df.Graph()
    yield g.add("py-all", "all")


def test_every_type_reads_back_what_was_set(node):
    assert set(VALUES) == set(ALL_TYPES) == set(df.types())
    for type_name, value in VALUES.items():
        name = type_name.replace(" ", "_")
        np.testing.assert_array_equal(node.params[name], ALL_TYPES[type_name])
        node.params[name] = value
        read = node.params[name]
        # float arrays hold float32 values; a float reads back as the decimal that was set
        floats = type_name.lower().startswith("float") and type_name != "float"
        expected = np.asarray(value, dtype=np.float32) if floats else value
        np.testing.assert_array_equal(read, expected, err_msg=type_name)
        assert isinstance(read, (int, float, bool, str) if np.ndim(value) == 0 else np.ndarray)


@pytest.mark.parametrize("name, value, message", [
    ("level", 1.5, "1.5 is above the maximum 1.0"),
    ("corner", [0, 5], "above the maximum"),
    ("unsigned_int", -1, "negative"),
    ("int2", [1, 2, 3], "2"),
    ("String", 5, "string"),
    ("float", "x", "number"),
])
def test_refused_values_change_nothing(node, name, value, message):
    before = node.params[name]
    with pytest.raises(df.DocumentError) as raised:
        node.params[name] = value
    (pointer, text), = raised.value.problems
    assert message in text
    np.testing.assert_array_equal(node.params[name], before)


def test_unknown_parameter_and_node():
    g = df.Graph()
    n = g.add("py-all", "all")
    with pytest.raises(KeyError):
        n.params["nope"]
    with pytest.raises(df.DocumentError, match="nope"):
        n.params["nope"] = 1
    g.remove("all")
    with pytest.raises(df.DocumentError):
        n.params["level"]


def test_outputs_are_read_only_views_that_outlive_graph_and_rerun():
    g, sink = chain()
    assert g[sink].outputs["y"].value is None
    g.run()
    outputs = g[sink].outputs
    assert {name: port.type for name, port in outputs.items()} == {"y": "FloatVector",
                                                                   "total": "float"}
    y = outputs["y"].value
    assert not y.flags.owndata and not y.flags.writeable
    assert np.shares_memory(y, outputs["y"].value)
    with pytest.raises(ValueError):
        y[0] = 1
    assert outputs["total"].value == 12.0
    g["gain"].params["gain"] = 3.0
    g.run()
    np.testing.assert_array_equal(outputs["y"].value, [0, 3, 6, 9])
    node = g[sink]
    del g, outputs
    gc.collect()
    np.testing.assert_array_equal(y, [0, 2, 4, 6])
    with pytest.raises(df.Error, match="gone"):
        node.outputs


def test_tuple_vectors_come_as_rows():
    g = df.Graph()
    n = g.add("py-all", "all")
    g.sink = "all"
    n.params["Float3Vector"] = [[1, 2, 3], [4, 5, 6]]
    g.run()
    np.testing.assert_array_equal(n.outputs["x"].value, [[1, 2, 3], [4, 5, 6]])
