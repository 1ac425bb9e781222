"""The one graph a studio process edits and runs.

Every edit goes through the `data_flow` module, which checks it as a document load would and
raises `df.DocumentError` with the same pointer-and-message problems; a refused edit changes
nothing. One lock serialises edits, reads of results and runs (the library allows no change
while an evaluation runs).
"""

import json
import math
import threading

import data_flow as df

from . import preview
from .events import Events


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
        with self._lock:
            return json.loads(self._graph.to_json())

    def replace(self, text):
        """Replaces the graph with the document `text`; nothing changes when it does not load."""
        graph = df.Graph.from_json(text)
        with self._lock:
            self._graph, self._last_run = graph, None
        self._changed()

    def set_meta(self, meta):
        """Replaces the free-form `meta` object (the editor keeps node positions there)."""
        if not isinstance(meta, dict):
            raise RequestError(400, "meta must be a JSON object")
        with self._lock:
            self._graph.meta = meta

    def save(self):
        """Writes the document back to the file the studio was started on; returns the path."""
        if not self.path:
            raise RequestError(409, "the studio was not started on a file")
        with self._lock:
            self._graph.save(self.path)
        return self.path

    # Edits.

    def add_node(self, kind, node_id):
        with self._lock:
            self._graph.add(kind, node_id)
        self._changed()

    def remove_node(self, node_id):
        with self._lock:
            self._node(node_id)
            self._graph.remove(node_id)
            meta = self._graph.meta  # a copy: written back when the node had a position
            editor = meta.get("editor") if isinstance(meta, dict) else None
            positions = editor.get("positions") if isinstance(editor, dict) else None
            if isinstance(positions, dict) and positions.pop(node_id, None) is not None:
                self._graph.meta = meta
        self._changed()

    def connect(self, source, target):
        with self._lock:
            self._graph.connect(source, target)
        self._changed()

    def disconnect(self, target):
        with self._lock:
            self._graph.disconnect(target)
        self._changed()

    def set_parameter(self, node_id, name, value):
        with self._lock:
            params = self._node(node_id).params
            if name not in params:
                raise RequestError(404, f'node "{node_id}" has no parameter "{name}"')
            params[name] = value
        self._changed()

    def set_sink(self, node_id):
        with self._lock:
            self._graph.sink = node_id
        self._changed()

    # Running.

    def run(self):
        """Evaluates from the sink and answers what the run did:
        `{"ok": true, "nodes": {id: {"ms", "recomputed"}}}`, or
        `{"ok": false, "error": {"message", "file", "line", "node"}}`. Its start and its result
        go to the event streams too."""
        with self._lock:
            self.events.publish({"type": "run-started", "total": self._upstream_count()})
            try:
                times = self._graph.run()
                result = {"ok": True, "nodes": {node_id: {"ms": t.ms, "recomputed": t.recomputed}
                                                for node_id, t in times.items()}}
            except df.EvaluationError as e:
                result = {"ok": False, "error": {"message": e.message, "file": e.file,
                                                 "line": e.line, "node": e.node or None}}
            self._last_run = result
        self.events.publish({"type": "run-finished", **result})
        return result

    def last_run(self):
        return self._last_run

    # Results.

    def output(self, node_id, name):
        """The output's type, shape and value as JSON: arrays as lists (a vector cut to its
        first 4096 values), None without data."""
        with self._lock:
            port = self._output(node_id, name)
            value = port.value
            shape = list(getattr(value, "shape", []))  # [] for a scalar or no data
            if len(shape) == 1:
                value = value[:4096]
            return {"type": port.type, "shape": shape, "value": _json_value(value)}

    def preview_png(self, node_id, name, longest_side=512):
        """The output as a PNG; RequestError 404 without data, 422 when it is no image."""
        with self._lock:
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
