"""The one graph a studio process edits and runs.

Every edit goes through the `data_flow` module, which checks it as a document load would and
raises `df.DocumentError` with the same pointer-and-message problems; a refused edit changes
nothing. One lock serialises edits, reads of results and the start of runs. A run is a job of
the module's that evaluates without the lock, so that it can be cancelled and report progress;
the library allows no use of a graph while it is evaluated, so meanwhile an edit answers 409
(cancel the run or wait for it) and a read waits for the run to end.
"""

import contextlib
import json
import math
import threading

import data_flow as df

from . import preview
from .events import Events

PROGRESS_INTERVAL = 0.1  # seconds between two progress events of a run


class RequestError(Exception):
    """A request the studio refuses: answered with `status` and `{"message": ...}`."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


def _json_value(value):
    """A value as JSON takes it: lists for arrays, and non-finite floats as documents write
    them ("nan", "inf", "-inf")."""
    if hasattr(value, "tolist"):
        value = value.tolist()
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if value != value else ("inf" if value > 0 else "-inf")
    if isinstance(value, list):
        return [_json_value(v) for v in value]
    return value


def _split(target):
    """"node.connector" as (node, connector); the connector name may hold no dot."""
    node, _, connector = target.rpartition(".")
    return node, connector


class Studio:
    """One graph, the file it came from, and the last run's results."""

    def __init__(self, graph, path=None):
        self._graph = graph
        self.path = path
        self.events = Events()
        self._lock = threading.RLock()
        self._catalogue = None
        self._last_run = None
        self._job = None  # the job of the run in flight
        self._runs = 0  # runs started, to tell their events apart

    @classmethod
    def load(cls, path):
        """The studio of the document at `path`; df.DocumentError when it does not load."""
        return cls(df.Graph.load(path), path)

    # The catalogue and the document.

    def catalogue(self):
        """Every registered kind with its connectors and parameters, as `dataflow inspect
        --json` prints it; computed once (the kinds do not change while the studio runs)."""
        if self._catalogue is None:
            self._catalogue = df.catalogue()
        return self._catalogue

    def document(self):
        """The current graph as a document, `meta` included."""
        with self._idle(wait=True):
            return json.loads(self._graph.to_json())

    def replace(self, text):
        """Replaces the graph with the document `text`; nothing changes when it does not load."""
        graph = df.Graph.from_json(text)
        with self._idle():
            self._graph, self._last_run = graph, None
        self._changed()

    def set_meta(self, meta):
        """Replaces the free-form `meta` object (the editor keeps node positions there)."""
        if not isinstance(meta, dict):
            raise RequestError(400, "meta must be a JSON object")
        with self._idle(wait=True):  # no part of the evaluation: it waits rather than refuses
            self._graph.meta = meta

    def save(self):
        """Writes the document back to the file the studio was started on; returns the path."""
        if not self.path:
            raise RequestError(409, "the studio was not started on a file")
        with self._idle(wait=True):
            self._graph.save(self.path)
        return self.path

    # Edits.

    def add_node(self, kind, node_id):
        with self._idle():
            self._graph.add(kind, node_id)
        self._changed()

    def remove_node(self, node_id):
        with self._idle():
            self._node(node_id)
            self._graph.remove(node_id)
            meta = self._graph.meta  # a copy: written back when the node had a position
            editor = meta.get("editor") if isinstance(meta, dict) else None
            positions = editor.get("positions") if isinstance(editor, dict) else None
            if isinstance(positions, dict) and positions.pop(node_id, None) is not None:
                self._graph.meta = meta
        self._changed()

    def connect(self, source, target):
        with self._idle():
            self._graph.connect(source, target)
        self._changed()

    def disconnect(self, target):
        with self._idle():
            self._graph.disconnect(target)
        self._changed()

    def set_parameter(self, node_id, name, value):
        with self._idle():
            params = self._node(node_id).params
            if name not in params:
                raise RequestError(404, f'node "{node_id}" has no parameter "{name}"')
            params[name] = value
        self._changed()

    def set_sink(self, node_id):
        with self._idle():
            self._graph.sink = node_id
        self._changed()

    # Running.

    def run(self):
        """Evaluates from the sink and answers what the run did:
        `{"ok": true, "nodes": {id: {"ms", "recomputed"}}}`, `{"ok": false, "cancelled": true}`,
        or `{"ok": false, "error": {"message", "file", "line", "node"}}`. Its start, its
        progress (nodes done of those upstream of the sink) and its result go to the event
        streams too. RequestError 409 while another run is in flight."""
        with self._idle():
            self._runs += 1
            run, total = self._runs, self._upstream_count()
            self._job = job = self._graph.run_async()
        self.events.publish({"type": "run-started", "run": run, "total": total})
        try:
            result = self._outcome(job, run, total)
        except df.Error as e:  # nothing ran (the graph has no sink, say): refused like an edit
            self._finish(job, run, {"ok": False, "error": {"message": str(e), "file": "",
                                                           "line": 0, "node": None}}, keep=False)
            raise
        self._finish(job, run, result)
        return result

    def cancel(self):
        """Cancels the run in flight and waits until it stops, which is before the next node
        starts; True when a run was cancelled, False when none was in flight (or it ended
        before it could be stopped)."""
        with self._lock:
            job = self._job
        if job is None:
            return False
        job.cancel()
        with contextlib.suppress(df.Error):  # its run() reports how it ended
            job.wait()
        return not job.completed

    def last_run(self):
        return self._last_run

    # Results.

    def output(self, node_id, name):
        """The output's type, shape and value as JSON: arrays as lists (a vector cut to its
        first 4096 values), None without data."""
        with self._idle(wait=True):
            port = self._output(node_id, name)
            value = port.value
            shape = list(getattr(value, "shape", []))  # [] for a scalar or no data
            if len(shape) == 1:
                value = value[:4096]
            return {"type": port.type, "shape": shape, "value": _json_value(value)}

    def preview_png(self, node_id, name, longest_side=512):
        """The output as a PNG; RequestError 404 without data, 422 when it is no image."""
        with self._idle(wait=True):
            node = self._node(node_id)
            port = self._output(node_id, name)
            if port.type != "FloatVector":
                raise RequestError(422, f'output "{node_id}.{name}" is a {port.type}, not an image')
            values = port.value
            if values is None:
                raise RequestError(404, f'output "{node_id}.{name}" holds no data: run the graph')
            links = {link["to"]: link["from"]
                     for link in json.loads(self._graph.to_json())["links"]}
            size = self._image_size(node, links, set())
            if size is None:
                raise RequestError(422, f'output "{node_id}.{name}" has no int2 size beside it '
                                        'or upstream, so it is no image')
            shape = preview.image_shape(len(values), size)
            if shape is None:
                raise RequestError(422, f'output "{node_id}.{name}" holds {len(values)} values, '
                                        f'which is no image of size {list(size)}')
        # The array is a view that keeps its value alive: encoding needs no lock.
        return preview.to_png(values, shape, longest_side)

    # Helpers of runs.

    @contextlib.contextmanager
    def _idle(self, wait=False):
        """Holds the lock while no run is in flight. A run in flight answers RequestError 409,
        or with `wait`, is waited for (without the lock)."""
        while True:
            with self._lock:
                job = self._job
                if job is None or job.done:
                    yield
                    return
                if not wait:
                    raise RequestError(409, "the graph is being evaluated: cancel the run "
                                            "(POST /api/cancel) or wait for it")
            with contextlib.suppress(df.Error):  # its run() reports how it ended
                job.wait()

    def _outcome(self, job, run, total):
        """Waits for the job, publishing its progress as it changes; what the run did."""
        done = 0
        try:
            while not job.wait(timeout=PROGRESS_INTERVAL):
                if job.progress[0] != done:
                    done = job.progress[0]
                    self.events.publish({"type": "run-progress", "run": run, "done": done,
                                         "total": total})
        except df.EvaluationError as e:
            return {"ok": False, "error": {"message": e.message, "file": e.file, "line": e.line,
                                           "node": e.node or None}}
        if not job.completed:
            return {"ok": False, "cancelled": True}
        return {"ok": True, "nodes": {node_id: {"ms": t.ms, "recomputed": t.recomputed}
                                      for node_id, t in job.times.items()}}

    def _finish(self, job, run, result, keep=True):
        """Ends the run: the studio is idle again and the streams hear how it went."""
        with self._lock:
            if self._job is job:  # else a later run started once this one was cancelled
                self._job = None
                if keep:
                    self._last_run = result
        self.events.publish({"type": "run-finished", "run": run, **result})

    # Helpers; the callers hold the lock.

    def _node(self, node_id):
        try:
            return self._graph.nodes[node_id]
        except KeyError:
            raise RequestError(404, f'no node "{node_id}"') from None

    def _output(self, node_id, name):
        outputs = self._node(node_id).outputs
        if name not in outputs:
            raise RequestError(404, f'node "{node_id}" has no output "{name}"')
        return outputs[name]

    def _image_size(self, node, links, seen):
        """The size of a node's images: the value of its int2 output, else of its linked int2
        input, else the size of the image a linked FloatVector input brings it."""
        if node.id in seen:
            return None
        seen.add(node.id)
        for port in node.outputs.values():
            if port.type == "int2" and port.value is not None:
                return port.value
        producers = []
        for port in node.inputs.values():
            source = links.get(f"{node.id}.{port.name}")
            if source is None:
                continue
            producer, output = _split(source)
            if port.type == "int2":
                value = self._graph.nodes[producer].outputs[output].value
                if value is not None:
                    return value
            elif port.type == "FloatVector":
                producers.append(producer)
        for producer in producers:
            size = self._image_size(self._graph.nodes[producer], links, seen)
            if size is not None:
                return size
        return None

    def _upstream_count(self):
        """How many nodes an evaluation from the sink visits (for the progress bar)."""
        document = json.loads(self._graph.to_json())
        producers = {}
        for link in document["links"]:
            producers.setdefault(_split(link["to"])[0], []).append(_split(link["from"])[0])
        seen, stack = set(), [document.get("sink")] if document.get("sink") else []
        while stack:
            node_id = stack.pop()
            if node_id not in seen:
                seen.add(node_id)
                stack.extend(producers.get(node_id, []))
        return len(seen)

    def _changed(self):
        self.events.publish({"type": "graph-changed"})
