"""The catalogue, plugins, graph documents in and out, Python kinds in documents, pickling."""

from __future__ import annotations

import json
import os
import pickle

import numpy as np
import pytest

import data_flow as df
from conftest import chain

DOCUMENT = {
    "format": "data_flow.graph", "version": 1,
    "nodes": [
        {"id": "a", "kind": {"clientID": "py-ramp"}, "parameters": {"n": 3}},
        {"id": "b", "kind": {"vendor": "python", "namespace": "python", "name": "Gain"},
         "parameters": {"gain": 0.5}},
    ],
    "links": [{"from": "a.x", "to": "b.x"}],
    "sink": "b",
    "meta": {"editor": {"positions": {"a": [1, 2]}}},
}


def test_python_kinds_are_in_the_catalogue_with_their_declarations():
    gain = next(k for k in df.kinds() if k.client_id == "py-gain")
    assert gain == df.Kind("python", "python", "Gain", 1, "py-gain",
                           "x times gain; counts its evaluations.")
    described = next(k for k in df.catalogue()["kinds"] if k["clientID"] == "py-gain")
    assert described["inputs"] == [{"name": "x", "type": "FloatVector"}]
    assert described["parameters"] == [{"name": "gain", "type": "float", "default": 2.0,
                                        "min": 0.0, "max": 10.0, "description": ""}]


def test_bad_declarations_are_refused_before_anything_is_registered():
    class Bad(df.NodeKind):
        client_id = "py-bad"
        inputs = {"x": "flaot"}

    with pytest.raises(ValueError, match='input "x" has the unknown type "flaot"'):
        df.register(Bad)
    Bad.inputs, Bad.parameters = {}, {"p": df.Parameter("int2", [1, 2, 3])}
    with pytest.raises(ValueError, match=r"cannot use \[1, 2, 3\] as a int2"):
        df.register(Bad)
    Bad.parameters = {"p": df.Parameter("String", "", min="a", max="b")}
    with pytest.raises(ValueError, match="cannot have bounds"):
        df.register(Bad)
    Bad.parameters, Bad.client_id, Bad.name = {}, "py-gain-again", "Gain"
    Bad.vendor = "python"
    with pytest.raises(df.Error, match="!bDuplicate"):
        df.register(Bad)
    assert "py-bad" not in {k.client_id for k in df.kinds()}


def test_document_with_python_kinds_loads_runs_and_saves_unchanged(tmp_path):
    g = df.Graph.from_json(json.dumps(DOCUMENT))
    assert list(g.nodes) == ["a", "b"] and g.sink == "b" and g.meta == DOCUMENT["meta"]
    assert g["b"].kind.name == "Gain" and g["b"].params["gain"] == 0.5
    g.run()
    assert list(g["b"].outputs["y"].value) == [0, 0.5, 1]
    g.save(tmp_path / "g.json")
    again = df.Graph.load(tmp_path / "g.json")
    assert again.to_json() == g.to_json()
    assert json.loads(g.to_json())["nodes"][1]["kind"]["clientID"] == "py-gain"
    assert 'n0 -> n1 [label="x -> x"]' in g.to_dot()


def test_every_problem_of_a_document_is_reported_at_once():
    broken = json.loads(json.dumps(DOCUMENT))
    broken["nodes"][0]["kind"] = {"clientID": "py-nope"}
    broken["nodes"][1]["parameters"]["gain"] = 11
    broken["sink"] = "c"
    with pytest.raises(df.DocumentError) as raised:
        df.Graph.from_json(json.dumps(broken))
    pointers = [pointer for pointer, _ in raised.value.problems]
    assert pointers[:2] == ["/nodes/0/kind", "/nodes/1/parameters/gain"] and "/sink" in pointers
    assert 'no registered kind with client identifier "py-nope"' in str(raised.value)
    with pytest.raises(df.DocumentError, match="line 1"):
        df.Graph.from_json("{")


def test_editing_refuses_what_a_document_would_refuse():
    g, _ = chain()
    with pytest.raises(df.DocumentError) as raised:
        g.connect("ramp.x", "gain.nope")
    assert raised.value.problems[0][0] == "/to"
    with pytest.raises(df.DocumentError):
        g.add("py-ramp", "ramp")
    g.add({"clientID": "py-ramp"}, "a")
    g["gain"].drive("gain")
    assert g["gain"].driven == ["gain"] and "gain" in g["gain"].inputs
    assert g["gain"].inputs["gain"].type == "float"


def test_a_graph_pickles_as_its_document():
    g, _ = chain()
    g["gain"].params["gain"] = 7.0
    copy = pickle.loads(pickle.dumps(g))
    assert copy.to_json() == g.to_json() and copy["gain"].params["gain"] == 7.0


def test_plugin_kinds_mix_with_python_kinds(plugin):
    df.load_plugin(plugin)  # a second load changes nothing
    assert df.plugins().count(os.path.realpath(plugin)) == 1
    with pytest.raises(df.Error, match="no such file"):
        df.load_plugin(plugin + ".missing")
    g = df.Graph()
    g.add("pattern-textured", "pattern")
    g["pattern"].params["width"] = g["pattern"].params["height"] = 16
    g.add("py-gain", "gain")
    g.connect("pattern.image", "gain.x")
    g.sink = "gain"
    g.run()
    image = g["pattern"].outputs["image"].value
    assert image.shape == (256,) and image.any()
    np.testing.assert_array_equal(g["gain"].outputs["y"].value, 2 * image)
