"""Dataflow graphs from Python.

Load plugin modules of node kinds, build or load a graph document, set parameters, evaluate
and read the results as numpy arrays, or write node kinds in Python::

    import data_flow as df
    df.load_plugin("build/release/examples/image_kinds.so")
    g = df.Graph.load("examples/graphs/rings.json")
    g["pattern"].params["frequency"] = 12.0
    g.run()
    image = g[g.sink].outputs["image"].value   # a read-only numpy view

Evaluations run without the GIL; a graph refuses any use while one of its evaluations runs.
"""

from __future__ import annotations

import atexit
import inspect
import os
import weakref
from collections.abc import Iterator, Mapping, MutableMapping
from dataclasses import dataclass
from typing import Any, Callable, NamedTuple

from . import _native
from ._errors import DocumentError, Error, EvaluationError

__all__ = [
    "DocumentError", "Error", "EvaluationError", "Graph", "Job", "Kind", "Node", "NodeKind",
    "NodeTime", "Parameter", "Port", "catalogue", "kinds", "load_plugin", "plugins", "register",
    "types",
]

Job = _native.Job
atexit.register(_native.shutdown)


class Kind(NamedTuple):
    """A node kind of the catalogue; version is None for a kind registered without one."""
    vendor: str
    namespace: str
    name: str
    version: int | None
    client_id: str
    description: str


class NodeTime(NamedTuple):
    """How long a node took in an evaluation, and whether it computed or kept its results."""
    ms: float
    recomputed: bool


def load_plugin(path: str | os.PathLike) -> None:
    """Loads a plugin module and registers its kinds; loading the same file again does nothing.

    The module stays loaded for the life of the process.
    """
    _native.load_plugin(os.fspath(path))


def plugins() -> list[str]:
    """The absolute paths of the plugin modules loaded so far, in load order."""
    return _native.plugins()


def kinds() -> list[Kind]:
    """The registered node kinds, in registration order."""
    return [Kind(*record) for record in _native.kinds()]


def catalogue() -> dict:
    """The catalogue as ``dataflow inspect --json`` prints it, with connectors and parameters."""
    return _native.catalogue()


def types() -> list[str]:
    """The names of the value types of connectors and parameters."""
    return _native.types()


def _restore(document: str, plugins: list[str]) -> Graph:
    for path in plugins:
        load_plugin(path)
    return Graph.from_json(document)


class Graph:
    """A graph of nodes made from the catalogue's kinds, as a graph document describes it."""

    def __init__(self, core: _native.GraphCore | None = None):
        self._core = core if core is not None else _native.GraphCore()

    @classmethod
    def load(cls, path: str | os.PathLike) -> Graph:
        """The graph of a document file; raises DocumentError with every problem found."""
        return cls(_native.GraphCore.load(os.fspath(path)))

    @classmethod
    def from_json(cls, text: str) -> Graph:
        """The graph of a document given as JSON text."""
        return cls(_native.GraphCore.from_json(text))

    def to_json(self) -> str:
        """The graph as a document: every node with its kind and all parameter values."""
        return self._core.to_json()

    def save(self, path: str | os.PathLike) -> None:
        self._core.save(os.fspath(path))

    def to_dot(self) -> str:
        """The graph in Graphviz DOT."""
        return self._core.to_dot()

    def add(self, kind: str | Mapping[str, Any], id: str) -> Node:
        """Adds a node of a kind, given by client identifier or as a document's kind dict."""
        self._core.add(kind if isinstance(kind, str) else dict(kind), id)
        return Node(self._core, id)

    def remove(self, id: str) -> None:
        """Unlinks and destroys a node; Node objects for it raise from then on."""
        self._core.remove(id)

    def connect(self, source: str, target: str) -> None:
        """Links output "node.output" to input "node.input", checked like a document's link."""
        self._core.connect(source, target)

    def disconnect(self, target: str) -> None:
        """Unlinks input "node.input"."""
        self._core.disconnect(target)

    @property
    def nodes(self) -> dict[str, Node]:
        """The nodes by id, in the order they were added."""
        return {id: Node(self._core, id) for id in self._core.ids()}

    def __getitem__(self, id: str) -> Node:
        if id not in self._core.ids():
            raise KeyError(id)
        return Node(self._core, id)

    def __contains__(self, id: object) -> bool:
        return id in self._core.ids()

    @property
    def sink(self) -> str | None:
        """The id of the node evaluations start from; None when unset."""
        return self._core.sink or None

    @sink.setter
    def sink(self, id: str | None) -> None:
        self._core.sink = id or ""

    @property
    def meta(self) -> Any:
        """The document's free-form "meta" value, kept through load and save."""
        return self._core.meta

    @meta.setter
    def meta(self, value: Any) -> None:
        self._core.meta = value

    def run(self) -> dict[str, NodeTime]:
        """Evaluates from the sink without the GIL; the time of every node evaluated.

        Only what a change reaches is computed again. A failing node raises EvaluationError.
        """
        return self._core.run()

    @property
    def times(self) -> dict[str, NodeTime]:
        """The time of every node of the last evaluation that completed, run() or run_async();
        empty after a cancelled or failed one."""
        return self._core.times()

    def run_async(self, callback: Callable[[Job], None] | None = None) -> Job:
        """Starts an evaluation and returns its Job at once.

        callback(job) is called with the GIL once the evaluation is over, on the job's thread.
        The job has wait(timeout), cancel(), progress (nodes, items), done, completed (False
        when cancelled) and times, the time of every node once it is over.
        """
        return self._core.run_async(callback)

    def __reduce__(self):
        # The document plus the plugins loaded here: enough to rebuild it in another process.
        return _restore, (self.to_json(), plugins())


class Node:
    """A node of a graph, by id. It does not keep the graph alive: once the graph is gone, or
    the node removed, using it raises Error."""

    def __init__(self, core: _native.GraphCore, id: str):
        self._graph = weakref.ref(core)
        self.id = id

    def _core(self) -> _native.GraphCore:
        core = self._graph()
        if core is None:
            raise Error(f"node {self.id!r} belongs to a graph that is gone")
        return core

    @property
    def kind(self) -> Kind:
        return Kind(*self._core().kind(self.id))

    @property
    def params(self) -> Params:
        return Params(self)

    @property
    def inputs(self) -> Ports:
        return Ports(self, self._core().inputs(self.id), output=False)

    @property
    def outputs(self) -> Ports:
        return Ports(self, self._core().outputs(self.id), output=True)

    @property
    def driven(self) -> list[str]:
        """The parameters turned into inputs, in the order they were driven."""
        return self._core().driven(self.id)

    def drive(self, param: str) -> None:
        """Turns a parameter into an input of the same name, for an upstream node to drive."""
        self._core().drive(self.id, param)

    def __repr__(self) -> str:
        return f"<data_flow.Node {self.id!r}>"


class Params(MutableMapping[str, Any]):
    """A node's parameters by name. Reading gives Python values (numpy arrays for vectors and
    matrices); setting checks type and bounds as a document does and raises DocumentError."""

    def __init__(self, node: Node):
        self._node = node

    def __getitem__(self, name: str) -> Any:
        if name not in self._names():
            raise KeyError(name)
        return self._node._core().parameter(self._node.id, name)

    def __setitem__(self, name: str, value: Any) -> None:
        self._node._core().set_parameter(self._node.id, name, value)

    def __delitem__(self, name: str) -> None:
        raise TypeError("parameters cannot be removed")

    def __iter__(self) -> Iterator[str]:
        return iter(self._names())

    def __len__(self) -> int:
        return len(self._names())

    def _names(self) -> list[str]:
        return self._node._core().parameters(self._node.id)


class Port:
    """An input or output connector of a node: its name and value type."""

    def __init__(self, node: Node, name: str, type: str, output: bool):
        self._node = node
        self.name = name
        self.type = type
        self._output = output

    @property
    def value(self) -> Any:
        """What the output carries: None without data, a number, a str, or a numpy array.

        FloatVector and the FloatNVector types come as read-only views of the value itself,
        valid after the graph is re-run or gone.
        """
        if not self._output:
            raise AttributeError("inputs have no value of their own; read the linked output")
        return self._node._core().output_value(self._node.id, self.name)

    def __repr__(self) -> str:
        return f"<data_flow.Port {self._node.id}.{self.name}: {self.type}>"


class Ports(Mapping[str, Port]):
    """A node's inputs or outputs by name, in registration order."""

    def __init__(self, node: Node, ports: list[tuple[str, str]], output: bool):
        self._ports = {name: Port(node, name, type, output) for name, type in ports}

    def __getitem__(self, name: str) -> Port:
        return self._ports[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._ports)

    def __len__(self) -> int:
        return len(self._ports)


@dataclass(frozen=True)
class Parameter:
    """A parameter of a node kind written in Python: value type name, default, optional
    bounds (both or none; a value outside them is refused) and a description."""
    type: str
    default: Any
    min: Any = None
    max: Any = None
    description: str = ""


class NodeKind:
    """Base class of node kinds written in Python.

    A subclass declares ``client_id``, its ``inputs`` and ``outputs`` (name to value type
    name), its ``parameters`` (name to Parameter) and implements ``process``; ``register``
    puts it in the catalogue, where documents and ``Graph.add`` find it like any other kind.
    Every node made of it holds one instance. ``process`` runs with the GIL, on whatever
    thread evaluates the node; an exception in it fails the evaluation with its traceback.
    """

    client_id: str = ""
    vendor: str = "python"
    namespace: str = "python"
    name: str = ""  # the class name when empty
    version: int = 1
    inputs: dict[str, str] = {}
    outputs: dict[str, str] = {}
    parameters: dict[str, Parameter] = {}

    def process(self, inputs: dict[str, Any], params: dict[str, Any]) -> Any:
        """Computes the outputs from the inputs and parameters (both by name).

        Returns a dict of every output's value, or the value itself for a single output.
        """
        raise NotImplementedError


def register(kind: type[NodeKind]) -> type[NodeKind]:
    """Registers a NodeKind subclass in the catalogue; returns it, so it works as a decorator.

    Raises ValueError for an unknown type name or a default or bound that does not fit its
    type, and Error when an equal kind (vendor, namespace, name, version) is registered.
    """
    if not kind.client_id:
        raise ValueError(f"{kind.__name__} declares no client_id")
    parameters = [_native.ParameterDeclaration(name, p.type, p.default, p.min, p.max,
                                               p.description)
                  for name, p in kind.parameters.items()]
    # The kind's own docstring, not one it inherits; its first paragraph.
    description = inspect.cleandoc(kind.__dict__.get("__doc__") or "").split("\n\n")[0]
    description = description.replace("\n", " ")
    _native.register_kind(kind, kind.vendor, kind.namespace, kind.name or kind.__name__,
                          kind.version, kind.client_id, description,
                          list(kind.inputs.items()), list(kind.outputs.items()), parameters)
    return kind
