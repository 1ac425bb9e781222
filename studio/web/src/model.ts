// What the page derives from the catalogue and the document: a node's kind and ports, which
// outputs are images, where nodes go when the document has no position for them, fresh ids.

import type { DocNode, GraphDocument, Kind, KindRef, Port, Position } from "./api";

export type Catalogue = Map<string, Kind>;

export function catalogueOf(kinds: Kind[]): Catalogue {
  return new Map(kinds.map((k) => [k.clientID, k]));
}

// The catalogue entry of a document node: by client identifier, else by its metadata.
export function kindOf(catalogue: Catalogue, ref: KindRef): Kind | undefined {
  if (ref.clientID && catalogue.has(ref.clientID)) return catalogue.get(ref.clientID);
  return [...catalogue.values()].find(
    (k) =>
      k.vendor === ref.vendor &&
      k.namespace === ref.namespace &&
      k.name === ref.name &&
      (ref.version === undefined || k.version === ref.version),
  );
}

// A node's inputs: its kind's, then one per driven parameter, named and typed like it.
export function inputsOf(kind: Kind, node: DocNode): Port[] {
  const driven = (node.driven ?? []).map((name) => ({
    name,
    type: kind.parameters.find((p) => p.name === name)?.type ?? "?",
  }));
  return [...kind.inputs, ...driven];
}

// Outputs that may carry an image: every FloatVector. The server knows their sizes and answers
// 422 for one that is no image, and the page then shows no preview for it.
export function imageOutputs(kind: Kind): string[] {
  return kind.outputs.filter((p) => p.type === "FloatVector").map((p) => p.name);
}

export const nodeOf = (target: string) => target.slice(0, target.lastIndexOf("."));
export const connectorOf = (target: string) => target.slice(target.lastIndexOf(".") + 1);

// Positions for nodes the document places nowhere: columns by depth (longest chain of
// producers), rows in document order.
export function layout(doc: GraphDocument): Record<string, Position> {
  const producers = new Map<string, string[]>();
  for (const link of doc.links) {
    const list = producers.get(nodeOf(link.to)) ?? [];
    list.push(nodeOf(link.from));
    producers.set(nodeOf(link.to), list);
  }
  const depth = new Map<string, number>();
  const depthOf = (id: string, seen: Set<string>): number => {
    if (depth.has(id)) return depth.get(id)!;
    if (seen.has(id)) return 0;
    seen.add(id);
    const d = Math.max(-1, ...(producers.get(id) ?? []).map((p) => depthOf(p, seen))) + 1;
    depth.set(id, d);
    return d;
  };
  const rows = new Map<number, number>();
  const placed: Record<string, Position> = {};
  for (const node of doc.nodes) {
    const column = depthOf(node.id, new Set());
    const row = rows.get(column) ?? 0;
    rows.set(column, row + 1);
    placed[node.id] = [40 + column * 320, 40 + row * 380];
  }
  return placed;
}

// An id for a new node of a kind: its name in lower case, numbered when taken.
export function freshId(doc: GraphDocument, kind: Kind): string {
  const base = (kind.name || kind.clientID).replace(/[^A-Za-z0-9_-]/g, "").toLowerCase() || "node";
  const stem = /^[A-Za-z_]/.test(base) ? base : `n${base}`;
  const taken = new Set(doc.nodes.map((n) => n.id));
  if (!taken.has(stem)) return stem;
  for (let i = 2; ; i++) if (!taken.has(`${stem}${i}`)) return `${stem}${i}`;
}

// A stable colour per value type, so that ports that can be linked look alike.
export function typeColour(type: string): string {
  let h = 0;
  for (const c of type) h = (h * 31 + c.charCodeAt(0)) >>> 0;
  return `hsl(${(h * 137.508) % 360}, 60%, 45%)`;
}
