"""The studio's HTTP/JSON API through FastAPI's test client, on the example image kinds."""

import asyncio
import contextlib
import json
import queue
import struct
import threading
import time

import pytest

PORT = 8765
OWN = f"http://127.0.0.1:{PORT}"


@pytest.fixture
def studio(df, graph_file):
    from data_flow_studio.studio import Studio

    return Studio.load(str(graph_file))


@pytest.fixture
def client(studio):
    from fastapi.testclient import TestClient

    from data_flow_studio.app import create_app

    with TestClient(create_app(studio, PORT), base_url=OWN) as client:
        yield client


def problems(response, status=422):
    assert response.status_code == status, response.text
    return [(p["pointer"], p["message"]) for p in response.json()["problems"]]


def png_size(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


def test_only_the_studios_own_host_and_origin_are_served(client):
    assert client.get("/api/graph").status_code == 200
    assert client.get("/api/graph", headers={"Origin": OWN}).status_code == 200
    assert client.get("/api/graph", headers={"Host": f"localhost:{PORT}"}).status_code == 200
    for headers in ({"Host": "evil.example:8765"}, {"Host": "127.0.0.1:9999"},
                    {"Origin": "http://evil.example"}, {"Origin": "http://127.0.0.1:9999"}):
        response = client.post("/api/run", headers=headers)
        assert response.status_code == 403, headers
        assert "refused" in response.json()["message"]
    assert client.get("/api/run").json() is None  # none of them ran the graph


def test_documents_replace_the_graph_or_are_refused_with_every_problem(client, document):
    assert client.get("/api/graph").json()["meta"] == document["meta"]

    broken = json.loads(json.dumps(document))
    broken["nodes"][0]["kind"] = {"clientID": "patern"}
    broken["nodes"][1]["parameters"]["radius"] = 300
    found = problems(client.put("/api/graph", content=json.dumps(broken)))
    assert ("/nodes/0/kind", 'no registered kind with client identifier "patern"') in found
    assert ("/nodes/1/parameters/radius", "300 is above the maximum 64") in found
    pointer, message = problems(client.put("/api/graph", content="{\"nodes\": ["))[0]
    assert pointer == "" and "line 1" in message

    document["nodes"][1]["parameters"]["radius"] = 2
    document["meta"] = {"editor": {"positions": {"blur": [1, 2]}}, "note": "kept"}
    assert client.put("/api/graph", content=json.dumps(document)).status_code == 200
    now = client.get("/api/graph").json()
    assert now["nodes"][1]["parameters"]["radius"] == 2 and now["meta"] == document["meta"]


def test_refused_edits_answer_problems_and_change_nothing(client):
    before = client.get("/api/graph").json()
    assert problems(client.post("/api/nodes", json={"kind": "blur", "id": "pattern"}))[0][0] == "/id"
    assert problems(client.post("/api/nodes", json={"kind": "blurr", "id": "b2"}))[0][0] == "/kind"
    assert problems(client.post("/api/links", json={"from": "blur.image", "to": "pattern.nope"}))
    link = problems(client.post("/api/links", json={"from": "pattern.size", "to": "blur.image"}))
    assert "cannot link int2 output" in link[0][1]
    assert problems(client.put("/api/nodes/blur/parameters/radius", json={"value": 65})) == [
        ("/value", "65 is above the maximum 64")]
    assert problems(client.put("/api/nodes/blur/parameters/radius", json={"value": "8"}))
    assert client.put("/api/nodes/nobody/parameters/radius", json={"value": 1}).status_code == 404
    assert client.put("/api/nodes/blur/parameters/nope", json={"value": 1}).status_code == 404
    assert client.delete("/api/nodes/nobody").status_code == 404
    for bad in ("{", "[1]", json.dumps({"kind": "blur"}), json.dumps({"kind": "blur", "id": 3})):
        response = client.post("/api/nodes", content=bad)
        assert response.status_code == 400 and response.json()["message"], bad
    assert client.get("/api/nope").status_code == 404
    assert client.get("/api/graph").json() == before


def test_edits_build_a_graph_that_runs(client):
    assert client.post("/api/nodes", json={"kind": {"clientID": "tone"}, "id": "tone"}).status_code == 201
    for connector in ("image", "size"):
        link = {"from": f"blur.{connector}", "to": f"tone.{connector}"}
        assert client.post("/api/links", json=link).status_code == 201
    assert client.put("/api/sink", json={"id": "tone"}).status_code == 200
    assert set(client.post("/api/run").json()["nodes"]) == {"pattern", "blur", "tone"}

    assert client.request("DELETE", "/api/links", json={"to": "tone.image"}).status_code == 200
    assert client.post("/api/run").json()["ok"] is False  # tone's input is unlinked now
    assert client.delete("/api/nodes/tone").status_code == 200
    document = client.get("/api/graph").json()
    assert [n["id"] for n in document["nodes"]] == ["pattern", "blur"]
    assert "tone" not in document["meta"]["editor"]["positions"]


def test_a_run_recomputes_only_what_a_change_reaches(client):
    first = client.post("/api/run").json()
    assert first["ok"] and {k: v["recomputed"] for k, v in first["nodes"].items()} == {
        "pattern": True, "blur": True}
    assert all(v["ms"] > 0 for v in first["nodes"].values())
    assert client.put("/api/nodes/blur/parameters/radius", json={"value": 9}).status_code == 200
    second = client.post("/api/run").json()
    assert {k: v["recomputed"] for k, v in second["nodes"].items()} == {
        "pattern": False, "blur": True}
    assert client.get("/api/run").json() == second


def test_image_outputs_come_as_png_previews(client):
    assert client.get("/api/nodes/blur/outputs/image/preview.png").status_code == 404  # not run
    client.post("/api/run")
    first = client.get("/api/nodes/blur/outputs/image/preview.png")
    assert first.headers["content-type"] == "image/png" and png_size(first.content) == (256, 256)
    preview = client.get("/api/nodes/blur/outputs/preview/preview.png").content
    assert png_size(preview) == (32, 32)  # the blur's eight times smaller preview
    assert client.get("/api/nodes/pattern/outputs/size/preview.png").status_code == 422
    assert client.get("/api/nodes/pattern/outputs/size").json()["value"] == [256, 256]
    assert client.get("/api/nodes/blur/outputs/nope/preview.png").status_code == 404

    client.put("/api/nodes/pattern/parameters/frequency", json={"value": 30.0})
    client.post("/api/run")
    assert client.get("/api/nodes/blur/outputs/image/preview.png").content != first.content


def test_a_failing_node_is_reported_and_the_studio_runs_on(client):
    client.put("/api/nodes/blur/parameters/faultRow", json={"value": 100})
    error = client.post("/api/run").json()["error"]
    assert error["message"] and error["file"].endswith(".cpp") and error["line"] > 0
    client.put("/api/nodes/blur/parameters/faultRow", json={"value": -1})
    assert client.post("/api/run").json()["ok"] is True


@pytest.fixture(scope="module")
def pause(df):
    """A kind that passes its image on after `seconds`: runs slow enough to cancel."""

    class Pause(df.NodeKind):
        client_id = "studio-pause"
        inputs = {"image": "FloatVector"}
        outputs = {"image": "FloatVector"}
        parameters = {"seconds": df.Parameter("float", 1.0)}

        def process(self, inputs, params):
            time.sleep(params["seconds"])
            return inputs["image"]

    df.register(Pause)
    return Pause.client_id


@contextlib.contextmanager
def event_queue(studio):
    """The studio's events, in a queue as they come, until the block ends."""
    events, subscribed = queue.Queue(), threading.Event()

    async def collect():
        stream = studio.events.stream()
        await stream.__anext__()
        subscribed.set()
        async for text in stream:
            if text.startswith("data: "):
                events.put(json.loads(text[len("data: "):]))

    thread = threading.Thread(target=asyncio.run, args=(collect(),))
    thread.start()
    assert subscribed.wait(10)
    try:
        yield events
    finally:
        studio.events.close()
        thread.join(10)


def next_event(events, kind):
    while (event := events.get(timeout=10))["type"] != kind:
        pass
    return event


def test_a_run_streams_progress_and_can_be_cancelled(client, studio, document, pause):
    document["nodes"] += [{"id": f"pause{i}", "kind": {"clientID": pause}} for i in (1, 2)]
    document["links"][0] = {"from": "pattern.image", "to": "pause1.image"}
    document["links"] += [{"from": "pause1.image", "to": "pause2.image"},
                          {"from": "pause2.image", "to": "blur.image"}]
    assert client.put("/api/graph", content=json.dumps(document)).status_code == 200
    answers = []
    with event_queue(studio) as events:
        runner = threading.Thread(target=lambda: answers.append(client.post("/api/run").json()))
        runner.start()
        assert next_event(events, "run-started") == {"type": "run-started", "run": 1, "total": 4}
        progress = next_event(events, "run-progress")  # the pattern is done, pause1 sleeps
        assert progress["run"] == 1 and progress["total"] == 4 and progress["done"] < 3
        assert client.post("/api/run").status_code == 409
        refused = client.put("/api/nodes/pause2/parameters/seconds", json={"value": 0.0})
        assert refused.status_code == 409 and "POST /api/cancel" in refused.json()["message"]
        assert client.post("/api/cancel").json() == {"ok": True, "cancelled": True}
        runner.join(10)
        assert answers == [{"ok": False, "cancelled": True}] == [client.get("/api/run").json()]
        assert next_event(events, "run-finished") == {"type": "run-finished", "run": 1,
                                                      **answers[0]}

        for i in (1, 2):  # the cancelled run left a graph that runs again, from scratch
            client.put(f"/api/nodes/pause{i}/parameters/seconds", json={"value": 0.0})
        rerun = client.post("/api/run").json()
        assert rerun["ok"] and all(t["recomputed"] for t in rerun["nodes"].values())
        assert next_event(events, "run-finished") == {"type": "run-finished", "run": 2, **rerun}
    assert set(rerun["nodes"]) == {"pattern", "pause1", "pause2", "blur"}
    assert client.post("/api/cancel").json() == {"ok": True, "cancelled": False}


def test_save_writes_the_document_with_the_editors_positions(client, graph_file, df):
    meta = {"editor": {"positions": {"pattern": [10, 20], "blur": [300, 20]}}}
    assert client.put("/api/meta", json=meta).status_code == 200
    client.put("/api/nodes/blur/parameters/radius", json={"value": 7})
    assert client.post("/api/save").json()["path"] == str(graph_file)
    saved = json.loads(graph_file.read_text())
    assert saved["meta"] == meta and saved["nodes"][1]["parameters"]["radius"] == 7
    df.Graph.from_json(graph_file.read_text())  # and it loads


def test_the_launcher_reports_a_document_that_does_not_load(df, tmp_path, capsys):
    from data_flow_studio.launcher import main

    bad = tmp_path / "bad.json"
    bad.write_text('{"format": "data_flow.graph", "version": 1, "nodes": [{"id": "x", '
                   '"kind": {"clientID": "nope"}}], "links": []}')
    assert main([str(bad), "--port", "1"]) == 2
    assert '/nodes/0/kind: no registered kind with client identifier "nope"' in capsys.readouterr().err
