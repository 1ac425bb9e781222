// The studio page: a palette of the registered kinds, the graph on a canvas, a tool bar with
// Run, the progress of the run in flight with Cancel, save and load. Every edit goes to the
// server, which checks it like a document load; the page then shows the graph the server holds.
// Parameter changes re-run the graph after a short pause (cancelling a run still in flight),
// and each node shows whether the run recomputed it.

import { useCallback, useEffect, useMemo, useRef, useState } from "react";
import {
  Background,
  Controls,
  ReactFlow,
  ReactFlowProvider,
  useEdgesState,
  useNodesInitialized,
  useNodesState,
  useReactFlow,
  type Connection,
  type Edge,
  type OnDelete,
} from "@xyflow/react";
import "@xyflow/react/dist/style.css";
import {
  api,
  ApiError,
  cancellingRun,
  type GraphDocument,
  type Json,
  type Kind,
  type NodeTime,
  type Position,
  type RunError,
  type RunResult,
  type StudioEvent,
} from "./api";
import { Actions, GraphNode, type FlowNode, type NodeActions } from "./GraphNode";
import { catalogueOf, connectorOf, freshId, kindOf, layout, nodeOf, type Catalogue } from "./model";
import { Palette } from "./Palette";

const nodeTypes = { dataflow: GraphNode };
const PARAMETER_DELAY_MS = 80; // slider moves sent at most this often per parameter
const RUN_DELAY_MS = 250; // pause after the last change before the re-run

const messageOf = (e: unknown) => (e instanceof Error ? e.message : String(e));
const problemLines = (e: unknown) =>
  e instanceof ApiError && e.problems.length > 0
    ? e.problems.map((p) => (p.pointer ? `${p.pointer}: ${p.message}` : p.message))
    : [messageOf(e)];

function Studio() {
  const flow = useReactFlow();
  const [catalogue, setCatalogue] = useState<Catalogue>(new Map());
  const [doc, setDoc] = useState<GraphDocument | null>(null);
  const [times, setTimes] = useState<Record<string, NodeTime>>({});
  const [runNumber, setRunNumber] = useState(0);
  const [failure, setFailure] = useState<RunError | null>(null);
  const [problems, setProblems] = useState<Record<string, string[]>>({});
  const [documentProblems, setDocumentProblems] = useState<string[]>([]);
  const [running, setRunning] = useState(false);
  const [evaluating, setEvaluating] = useState(false); // this page's run or another's
  const [progress, setProgress] = useState({ done: 0, total: 0 });
  const [autoRun, setAutoRun] = useState(true);
  const [status, setStatus] = useState("");
  const [nodes, setNodes, onNodesChange] = useNodesState<FlowNode>([]);
  const [edges, setEdges, onEdgesChange] = useEdgesState<Edge>([]);

  const positions = useRef<Record<string, Position>>({});
  // Once this many nodes are on the canvas and measured, the view is fitted to them (0: not).
  const fitWhen = useRef(1);
  const nodesMeasured = useNodesInitialized();
  const previews = useRef<Record<string, number>>({}); // node id -> run its previews show
  const runs = useRef(0);
  const serverRun = useRef(0); // the server's number of the last run started
  const busy = useRef(false);
  const pendingRun = useRef(false);
  const timers = useRef<Record<string, number>>({});
  const autoRunRef = useRef(autoRun);
  autoRunRef.current = autoRun;

  const refresh = useCallback(async () => {
    const next = await api.graph();
    const placed = { ...layout(next), ...(next.meta?.editor?.positions ?? {}) };
    for (const node of next.nodes) positions.current[node.id] ??= placed[node.id];
    setDoc(next);
  }, []);

  const later = (key: string, ms: number, f: () => void) => {
    window.clearTimeout(timers.current[key]);
    timers.current[key] = window.setTimeout(f, ms);
  };

  const docRef = useRef(doc);
  docRef.current = doc;
  const saveMeta = useCallback(() => {
    later("meta", 300, () => {
      const current = docRef.current;
      if (!current) return;
      const rounded = Object.fromEntries(
        current.nodes
          .filter((n) => positions.current[n.id])
          .map((n) => [n.id, positions.current[n.id].map(Math.round) as Position]),
      );
      const meta = { ...current.meta, editor: { ...current.meta?.editor, positions: rounded } };
      api.setMeta(meta).catch((e) => setStatus(messageOf(e)));
    });
  }, []);

  const showRun = useCallback((result: RunResult) => {
    const run = ++runs.current;
    setRunNumber(run);
    if (!result.ok && "cancelled" in result) {
      setFailure(null);
      setTimes({}); // a cancelled run leaves no results
      setStatus(`run ${run} cancelled`);
      return;
    }
    if (!result.ok) {
      setFailure(result.error);
      setTimes({});
      const where = result.error.file ? ` (${result.error.file}:${result.error.line})` : "";
      setStatus(`run ${run} failed: ${result.error.message}${where}`);
      return;
    }
    setFailure(null);
    setTimes(result.nodes);
    const entries = Object.entries(result.nodes);
    for (const [id, t] of entries) if (t.recomputed || previews.current[id] === undefined) previews.current[id] = run;
    const recomputed = entries.filter(([, t]) => t.recomputed).map(([id]) => id);
    const total = entries.reduce((sum, [, t]) => sum + t.ms, 0);
    setStatus(`run ${run}: ${total.toFixed(1)} ms, recomputed ${recomputed.join(", ") || "nothing"}`);
  }, []);

  const run = useCallback(async () => {
    if (busy.current) {
      // The run in flight computes what is out of date already: stop it, then run again.
      pendingRun.current = true;
      api.cancel().catch((e) => setStatus(messageOf(e)));
      return;
    }
    busy.current = true;
    setRunning(true);
    try {
      do {
        pendingRun.current = false;
        showRun(await cancellingRun(api.run)); // one from another page may be in flight
      } while (pendingRun.current);
    } catch (e) {
      setStatus(`run refused: ${problemLines(e).join("; ")}`);
    } finally {
      busy.current = false;
      setRunning(false);
    }
  }, [showRun]);

  const changed = useCallback(() => {
    if (autoRunRef.current) later("run", RUN_DELAY_MS, run);
  }, [run]);

  // An edit of one node: its refusal is shown on that node, its success clears what was shown.
  const edit = useCallback(
    async (id: string, request: () => Promise<unknown>, rerun = true) => {
      try {
        await cancellingRun(request);
        setProblems((p) => ({ ...p, [id]: [] }));
        if (rerun) changed();
      } catch (e) {
        setProblems((p) => ({ ...p, [id]: problemLines(e) }));
      }
      await refresh().catch((e) => setStatus(messageOf(e)));
    },
    [changed, refresh],
  );

  const actions = useMemo<NodeActions>(
    () => ({
      setParameter: (id: string, name: string, value: Json) => {
        setDoc((d) =>
          d && {
            ...d,
            nodes: d.nodes.map((n) =>
              n.id === id ? { ...n, parameters: { ...n.parameters, [name]: value } } : n,
            ),
          },
        );
        later(`${id}.${name}`, PARAMETER_DELAY_MS, () => edit(id, () => api.setParameter(id, name, value)));
      },
      remove: (id: string) => {
        delete positions.current[id];
        edit(id, () => api.removeNode(id));
      },
      setSink: (id: string) => edit(id, () => api.setSink(id)),
      dismiss: (id: string) => setProblems((p) => ({ ...p, [id]: [] })),
    }),
    [edit],
  );

  useEffect(() => {
    api
      .catalogue()
      .then((c) => setCatalogue(catalogueOf(c.kinds)))
      .catch((e) => setStatus(`catalogue: ${messageOf(e)}`));
    refresh()
      .then(() => api.lastRun())
      .then((last) => last && showRun(last))
      .catch((e) => setStatus(messageOf(e)));
    const events = new EventSource("/api/events");
    events.onmessage = (message) => {
      const event = JSON.parse(message.data) as StudioEvent;
      if (event.type === "run-started") {
        serverRun.current = event.run;
        setEvaluating(true);
        setProgress({ done: 0, total: event.total });
      } else if (event.type === "run-progress" && event.run === serverRun.current) {
        setProgress({ done: event.done, total: event.total });
      } else if (event.type === "run-finished" && event.run === serverRun.current) {
        setEvaluating(false);
      } else if (event.type === "graph-changed") later("refresh", 100, () => refresh().catch(() => {}));
    };
    return () => events.close();
  }, [refresh, showRun]);

  // The canvas follows the document, the last run and the refused edits.
  useEffect(() => {
    if (!doc || catalogue.size === 0) return; // nodes are drawn from their kinds
    setNodes((previous) =>
      doc.nodes.map((n) => {
        const old = previous.find((p) => p.id === n.id);
        const position = positions.current[n.id] ?? [0, 0];
        return {
          ...old, // keeps what the canvas measured, so that the node is not hidden to measure it again
          id: n.id,
          type: "dataflow",
          position: old?.dragging ? old.position : { x: position[0], y: position[1] },
          data: {
            doc: n,
            kind: kindOf(catalogue, n.kind),
            sink: doc.sink === n.id,
            time: times[n.id],
            run: runNumber,
            failure: failure?.node === n.id ? failure.message : undefined,
            problems: problems[n.id] ?? [],
            preview: previews.current[n.id],
          },
        };
      }),
    );
    setEdges(
      doc.links.map((link) => ({
        id: link.to,
        source: nodeOf(link.from),
        sourceHandle: connectorOf(link.from),
        target: nodeOf(link.to),
        targetHandle: connectorOf(link.to),
      })),
    );
  }, [doc, catalogue, times, runNumber, failure, problems, setNodes, setEdges]);

  useEffect(() => {
    if (fitWhen.current > 0 && nodes.length >= fitWhen.current && nodesMeasured) {
      fitWhen.current = 0;
      flow.fitView({ padding: 0.1 });
    }
  }, [flow, nodes.length, nodesMeasured]);

  const addNode = async (kind: Kind) => {
    if (!doc) return;
    const id = freshId(doc, kind);
    // Right of the rightmost node, so that it covers none; then everything is brought into view.
    const placed = Object.values(positions.current);
    const right = placed.length ? Math.max(...placed.map(([x]) => x)) + 320 : 40;
    const top = placed.length ? Math.min(...placed.map(([, y]) => y)) : 40;
    positions.current[id] = [right, top];
    try {
      await cancellingRun(() => api.addNode({ clientID: kind.clientID }, id));
      setStatus(`added ${id}`);
      saveMeta();
      fitWhen.current = doc.nodes.length + 1;
    } catch (e) {
      delete positions.current[id];
      setStatus(`cannot add ${kind.clientID}: ${problemLines(e).join("; ")}`);
    }
    await refresh();
  };

  const connect = (c: Connection) =>
    edit(c.target, () => api.connect(`${c.source}.${c.sourceHandle}`, `${c.target}.${c.targetHandle}`));

  const onDelete: OnDelete<FlowNode, Edge> = ({ nodes: gone, edges: cut }) => {
    for (const e of cut) edit(e.target, () => api.disconnect(e.id));
    for (const n of gone) actions.remove(n.id);
  };

  const open = async (file: File) => {
    try {
      const text = await file.text();
      await cancellingRun(() => api.replaceGraph(text));
      positions.current = {};
      previews.current = {};
      fitWhen.current = 1;
      setTimes({});
      setProblems({});
      setDocumentProblems([]);
      setStatus(`opened ${file.name}`);
      await refresh();
    } catch (e) {
      setDocumentProblems([`${file.name} does not load:`, ...problemLines(e)]);
    }
  };

  const save = () =>
    api
      .save()
      .then((r) => setStatus(`saved to ${r.path}`))
      .catch((e) => setStatus(`not saved: ${messageOf(e)}`));

  return (
    <Actions.Provider value={actions}>
      <div className="studio">
        <header className="toolbar">
          <h1>data_flow studio</h1>
          <button id="run" onClick={run} disabled={running}>
            Run
          </button>
          <label className="auto">
            <input type="checkbox" checked={autoRun} onChange={(e) => setAutoRun(e.target.checked)} />
            re-run on change
          </label>
          <span className={`run-progress${running || evaluating ? " active" : ""}`}>
            <progress max={progress.total || 1} value={progress.done} />
            <span id="progress" title="nodes computed of those upstream of the sink">
              {progress.done}/{progress.total}
            </span>
            <button id="cancel" onClick={() => api.cancel().catch((e) => setStatus(messageOf(e)))}>
              Cancel
            </button>
          </span>
          <span id="status" className={failure ? "failed" : ""}>
            {status}
          </span>
          <span className="spacer" />
          <button onClick={save}>Save</button>
          <label className="button">
            Open…
            <input
              type="file"
              accept=".json,application/json"
              hidden
              onChange={(e) => {
                const file = e.target.files?.[0];
                e.target.value = "";
                if (file) open(file);
              }}
            />
          </label>
          <a className="button" href="/api/graph" download="graph.json">
            Download
          </a>
        </header>
        {documentProblems.length > 0 && (
          <ul className="document-problems" onClick={() => setDocumentProblems([])}>
            {documentProblems.map((p, i) => (
              <li key={i}>{p}</li>
            ))}
          </ul>
        )}
        <main>
          <Palette kinds={[...catalogue.values()]} onPick={addNode} />
          <div className="canvas">
            <ReactFlow
              nodes={nodes}
              edges={edges}
              nodeTypes={nodeTypes}
              onNodesChange={onNodesChange}
              onEdgesChange={onEdgesChange}
              onConnect={connect}
              onDelete={onDelete}
              onNodeDragStop={(_, __, moved) => {
                for (const n of moved) positions.current[n.id] = [n.position.x, n.position.y];
                saveMeta();
              }}
              minZoom={0.2}
            >
              <Background />
              <Controls />
            </ReactFlow>
          </div>
        </main>
      </div>
    </Actions.Provider>
  );
}

export function App() {
  return (
    <ReactFlowProvider>
      <Studio />
    </ReactFlowProvider>
  );
}
