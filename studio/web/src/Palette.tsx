// The registered kinds, by name space; picking one adds a node of that kind to the graph.

import type { Kind } from "./api";

export function Palette(props: { kinds: Kind[]; onPick: (kind: Kind) => void }) {
  const spaces = [...new Set(props.kinds.map((k) => `${k.vendor}/${k.namespace}`))].sort();
  return (
    <nav className="palette">
      <h2>Kinds</h2>
      {spaces.map((space) => (
        <section key={space}>
          <h3>{space}</h3>
          {props.kinds
            .filter((k) => `${k.vendor}/${k.namespace}` === space)
            .map((k) => (
              <button
                key={k.clientID}
                data-kind={k.clientID}
                title={`${k.description}\n${k.inputs.length} in, ${k.outputs.length} out`}
                onClick={() => props.onPick(k)}
              >
                <strong>{k.name}</strong>
                {k.version !== undefined && <span className="version">v{k.version}</span>}
                <small>{k.clientID}</small>
              </button>
            ))}
        </section>
      ))}
      <p className="hint">Click a kind to add it. Drag from an output to an input to link them.</p>
    </nav>
  );
}
