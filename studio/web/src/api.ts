// The studio server's HTTP/JSON API, typed. Every call throws ApiError on a 4xx/5xx answer,
// with the server's message and, for refused edits, its pointer-and-message problems.

export type Json = null | boolean | number | string | Json[] | { [key: string]: Json };

export interface Port {
  name: string;
  type: string;
}

export interface ParameterSpec {
  name: string;
  type: string;
  default: Json;
  min?: number;
  max?: number;
  description: string;
}

export interface Kind {
  vendor: string;
  namespace: string;
  name: string;
  version?: number;
  clientID: string;
  description: string;
  inputs: Port[];
  outputs: Port[];
  parameters: ParameterSpec[];
}

export interface KindRef {
  clientID?: string;
  vendor?: string;
  namespace?: string;
  name?: string;
  version?: number;
}

export interface DocNode {
  id: string;
  kind: KindRef;
  parameters?: Record<string, Json>;
  driven?: string[];
}

export interface Link {
  from: string;
  to: string;
}

export type Position = [number, number];

export interface Meta {
  editor?: { positions?: Record<string, Position>; [key: string]: unknown };
  [key: string]: unknown;
}

export interface GraphDocument {
  format: string;
  version: number;
  nodes: DocNode[];
  links: Link[];
  sink?: string;
  meta?: Meta;
}

export interface NodeTime {
  ms: number;
  recomputed: boolean;
}

export interface RunError {
  message: string;
  file: string;
  line: number;
  node: string | null;
}

export type RunResult =
  | { ok: true; nodes: Record<string, NodeTime> }
  | { ok: false; cancelled: true }
  | { ok: false; error: RunError };

export interface Problem {
  pointer: string;
  message: string;
}

// Runs are numbered by the server; done counts the nodes computed so far, of the total upstream
// of the sink (nodes whose results are still valid are not computed, so done may stay below it).
export type StudioEvent =
  | { type: "run-started"; run: number; total: number }
  | { type: "run-progress"; run: number; done: number; total: number }
  | ({ type: "run-finished"; run: number } & RunResult)
  | { type: "graph-changed" };

export class ApiError extends Error {
  constructor(
    readonly status: number,
    message: string,
    readonly problems: Problem[] = [],
  ) {
    super(message);
  }
}

async function call<T>(method: string, path: string, body?: unknown): Promise<T> {
  const response = await fetch(path, {
    method,
    headers: body === undefined ? {} : { "Content-Type": "application/json" },
    body: body === undefined ? undefined : typeof body === "string" ? body : JSON.stringify(body),
  });
  const answer = await response.json().catch(() => null);
  if (!response.ok) {
    throw new ApiError(response.status, answer?.message ?? response.statusText, answer?.problems);
  }
  return answer as T;
}

export const api = {
  catalogue: () => call<{ kinds: Kind[] }>("GET", "/api/catalogue"),
  graph: () => call<GraphDocument>("GET", "/api/graph"),
  replaceGraph: (text: string) => call("PUT", "/api/graph", text),
  setMeta: (meta: Meta) => call("PUT", "/api/meta", meta),
  save: () => call<{ path: string }>("POST", "/api/save"),
  addNode: (kind: KindRef, id: string) => call("POST", "/api/nodes", { kind, id }),
  removeNode: (id: string) => call("DELETE", `/api/nodes/${encodeURIComponent(id)}`),
  connect: (from: string, to: string) => call("POST", "/api/links", { from, to }),
  disconnect: (to: string) => call("DELETE", "/api/links", { to }),
  setParameter: (id: string, name: string, value: Json) =>
    call("PUT", `/api/nodes/${encodeURIComponent(id)}/parameters/${encodeURIComponent(name)}`, {
      value,
    }),
  setSink: (id: string) => call("PUT", "/api/sink", { id }),
  run: () => call<RunResult>("POST", "/api/run"),
  cancel: () => call<{ cancelled: boolean }>("POST", "/api/cancel"),
  lastRun: () => call<RunResult | null>("GET", "/api/run"),
};

// The server refuses an edit while a run is in flight (409): that run is cancelled, since its
// results would be out of date, and the edit is sent again (a few times: another page, or this
// one's debounced re-run, may start a run in between).
export async function cancellingRun<T>(request: () => Promise<T>): Promise<T> {
  for (let attempt = 1; ; attempt++) {
    try {
      return await request();
    } catch (e) {
      if (!(e instanceof ApiError && e.status === 409) || attempt === 3) throw e;
      await api.cancel();
    }
  }
}

export const previewUrl = (id: string, output: string, version: number) =>
  `/api/nodes/${encodeURIComponent(id)}/outputs/${encodeURIComponent(output)}/preview.png?v=${version}`;
