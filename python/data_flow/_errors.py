"""The exceptions of data_flow; the native module raises these."""

from __future__ import annotations


class Error(Exception):
    """Any failure that data_flow reports."""


class DocumentError(Error):
    """A document that does not load, or an edit of a graph that was refused.

    ``problems`` lists every problem found as (pointer, message) pairs, the pointer being a
    JSON pointer into the document ("" for the whole document).
    """

    def __init__(self, problems: list[tuple[str, str]]):
        self.problems = [(pointer, message) for pointer, message in problems]
        super().__init__("\n".join(f"{pointer}: {message}" if pointer else message
                                   for pointer, message in self.problems))


class EvaluationError(Error):
    """A node failed while the graph was evaluated, on whatever thread it ran.

    ``message`` is the failure's own text (a Python node's traceback), ``file`` and ``line``
    where it was raised when known ("" and 0 otherwise), ``node`` the id of the failing node.
    """

    def __init__(self, message: str, file: str = "", line: int = 0, node: str = ""):
        self.message = message
        self.file = file
        self.line = line
        self.node = node
        where = f" ({file}:{line})" if file else ""
        super().__init__(f"node {node!r} failed{where}: {message}" if node else message)
