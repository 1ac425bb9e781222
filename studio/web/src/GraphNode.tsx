// A node on the canvas: its id and kind, typed ports (inputs on the left, outputs on the right),
// parameter widgets, what the last run did with it, refused edits, and its image previews.

import { createContext, useContext, useEffect, useState } from "react";
import { Handle, Position, useUpdateNodeInternals, type Node, type NodeProps } from "@xyflow/react";
import { previewUrl, type DocNode, type Json, type Kind, type NodeTime } from "./api";
import { imageOutputs, inputsOf, typeColour } from "./model";
import { ParamWidget } from "./ParamWidget";

export interface NodeData extends Record<string, unknown> {
  doc: DocNode;
  kind?: Kind;
  sink: boolean;
  time?: NodeTime; // from the last run that reached the node
  run: number; // that run's number, to replay the "recomputed" highlight
  failure?: string; // the last run's failure, when this node failed
  problems: string[]; // why the last edit of this node was refused
  preview?: number; // the run whose results the previews show; none before a run
}

export type FlowNode = Node<NodeData, "dataflow">;

export interface NodeActions {
  setParameter: (id: string, name: string, value: Json) => void;
  remove: (id: string) => void;
  setSink: (id: string) => void;
  dismiss: (id: string) => void;
}

export const Actions = createContext<NodeActions | null>(null);

function PortRow(props: { name: string; type: string; side: "in" | "out" }) {
  const input = props.side === "in";
  return (
    <div className={`port ${props.side}`} title={props.type}>
      <Handle
        id={props.name}
        type={input ? "target" : "source"}
        position={input ? Position.Left : Position.Right}
        style={{ background: typeColour(props.type) }}
      />
      <span className="port-name">{props.name}</span>
      <span className="port-type">{props.type}</span>
    </div>
  );
}

function Preview(props: { node: string; output: string; run: number }) {
  const [missing, setMissing] = useState(false);
  useEffect(() => setMissing(false), [props.run]);
  if (missing) return null;
  return (
    <figure className="preview">
      <img
        data-preview={`${props.node}.${props.output}`}
        src={previewUrl(props.node, props.output, props.run)}
        alt={`${props.node}.${props.output}`}
        onError={() => setMissing(true)}
      />
      <figcaption>{props.output}</figcaption>
    </figure>
  );
}

function Timing({ data }: { data: NodeData }) {
  if (data.failure) return <div className="timing failed">failed: {data.failure}</div>;
  if (!data.time) return <div className="timing">not run yet</div>;
  return data.time.recomputed ? (
    <div key={data.run} className="timing recomputed">
      recomputed in {data.time.ms.toFixed(1)} ms
    </div>
  ) : (
    <div key={data.run} className="timing kept">
      kept its results
    </div>
  );
}

export function GraphNode({ id, data, selected }: NodeProps<FlowNode>) {
  const actions = useContext(Actions)!;
  const updateNodeInternals = useUpdateNodeInternals();
  const { doc, kind } = data;
  const inputs = kind ? inputsOf(kind, doc) : [];
  const driven = new Set(doc.driven ?? []);
  useEffect(() => updateNodeInternals(id), [id, inputs.length, updateNodeInternals]);

  const state = data.failure ? "failed" : data.time ? (data.time.recomputed ? "recomputed" : "kept") : "";
  return (
    <div className={`df-node ${state} ${selected ? "selected" : ""}`} data-node={id}>
      <header>
        <strong>{id}</strong>
        <span className="kind" title={kind?.description}>
          {kind ? `${kind.namespace}/${kind.name}${kind.version ? ` v${kind.version}` : ""}` : "unknown kind"}
        </span>
        <button
          className={`sink nodrag ${data.sink ? "on" : ""}`}
          title="evaluate from this node"
          onClick={() => actions.setSink(id)}
        >
          sink
        </button>
        <button className="remove nodrag" title="remove the node" onClick={() => actions.remove(id)}>
          ×
        </button>
      </header>
      <div className="ports">
        {inputs.map((p) => (
          <PortRow key={`in-${p.name}`} name={p.name} type={p.type} side="in" />
        ))}
        {kind?.outputs.map((p) => (
          <PortRow key={`out-${p.name}`} name={p.name} type={p.type} side="out" />
        ))}
      </div>
      {kind && kind.parameters.length > 0 && (
        <div className="params">
          {kind.parameters.map((param) => (
            <ParamWidget
              key={param.name}
              node={id}
              param={param}
              value={doc.parameters?.[param.name] ?? param.default}
              driven={driven.has(param.name)}
              onChange={(value) => actions.setParameter(id, param.name, value)}
            />
          ))}
        </div>
      )}
      <Timing data={data} />
      {data.problems.length > 0 && (
        <ul className="problems nodrag" onClick={() => actions.dismiss(id)} title="click to dismiss">
          {data.problems.map((p, i) => (
            <li key={i}>{p}</li>
          ))}
        </ul>
      )}
      {kind && data.preview !== undefined && (
        <div className="previews">
          {imageOutputs(kind).map((output) => (
            <Preview key={output} node={id} output={output} run={data.preview!} />
          ))}
        </div>
      )}
    </div>
  );
}
