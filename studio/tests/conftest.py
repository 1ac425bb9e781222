"""Shared set-up of the studio's tests: the data_flow module, the example image kinds, and a
small graph document of them (a 256 x 256 ring pattern, blurred).

ctest passes the plugin in DATA_FLOW_STUDIO_PLUGIN and sets DATA_FLOW_STUDIO_REQUIRE=1 once the
module and the plugin are part of the build: then a missing piece fails instead of skipping.
"""

import copy
import json
import os

import pytest

REQUIRED = os.environ.get("DATA_FLOW_STUDIO_REQUIRE") == "1"
PLUGIN = os.environ.get("DATA_FLOW_STUDIO_PLUGIN", "")

SMALL_RINGS = {
    "format": "data_flow.graph",
    "version": 1,
    "nodes": [
        {"id": "pattern", "kind": {"clientID": "pattern-rings"},
         "parameters": {"width": 256, "height": 256, "frequency": 12.0}},
        {"id": "blur", "kind": {"clientID": "blur"}, "parameters": {"radius": 4}},
    ],
    "links": [{"from": "pattern.image", "to": "blur.image"},
              {"from": "pattern.size", "to": "blur.size"}],
    "sink": "blur",
    "meta": {"editor": {"positions": {"pattern": [40, 40], "blur": [360, 40]}}},
}


def _missing(what):
    if REQUIRED:
        pytest.fail(f"{what} (the build has it, so the studio's tests must run)")
    pytest.skip(f"{what}: the studio's tests wait for it")


@pytest.fixture(scope="session")
def df():
    """The data_flow module with the example image kinds loaded."""
    try:
        import data_flow
    except ImportError as e:
        _missing(f"the data_flow Python module is not built ({e})")
    if not os.path.isfile(PLUGIN):
        _missing(f"the example image kinds plugin is not built ({PLUGIN or 'not given'})")
    data_flow.load_plugin(PLUGIN)
    return data_flow


@pytest.fixture
def document():
    """A fresh copy of the small ring-and-blur document, to change at will."""
    return copy.deepcopy(SMALL_RINGS)


@pytest.fixture
def graph_file(tmp_path, document):
    path = tmp_path / "rings.json"
    path.write_text(json.dumps(document))
    return path
