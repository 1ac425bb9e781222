// One parameter as a widget chosen by its type: a slider for an interval parameter, a check box
// for bool, one field per component for the small vectors, text for String and JSON text for
// the rest (matrices, vectors of values). Every widget reports a new value through onChange.

import { useEffect, useState } from "react";
import type { Json, ParameterSpec } from "./api";

interface Props {
  node: string;
  param: ParameterSpec;
  value: Json;
  driven: boolean;
  onChange: (value: Json) => void;
}

const INTEGER = new Set(["int", "unsigned int", "unsigned long"]);
const SCALAR = new Set([...INTEGER, "float"]);
const SMALL_VECTOR = /^(int|float|bool)([234])$/;

// A number typed in a text field: finite numbers, or the strings documents use for the others.
function parseNumber(text: string, integer: boolean): Json | undefined {
  const t = text.trim().toLowerCase();
  if (!integer && ["nan", "inf", "-inf"].includes(t)) return t;
  const n = Number(t);
  if (t === "" || !Number.isFinite(n) || (integer && !Number.isInteger(n))) return undefined;
  return n;
}

// A text field that reports on Enter or when it loses focus, and shows a parse problem.
function CommitField(props: {
  value: string;
  parse: (text: string) => Json | undefined;
  onCommit: (value: Json) => void;
  label: string;
  className?: string;
}) {
  const [text, setText] = useState(props.value);
  const [bad, setBad] = useState(false);
  useEffect(() => setText(props.value), [props.value]);
  const commit = () => {
    const parsed = props.parse(text);
    setBad(parsed === undefined);
    if (parsed !== undefined && text !== props.value) props.onCommit(parsed);
  };
  return (
    <input
      className={`${props.className ?? ""} ${bad ? "bad" : ""} nodrag`}
      aria-label={props.label}
      value={text}
      onChange={(e) => setText(e.target.value)}
      onBlur={commit}
      onKeyDown={(e) => e.key === "Enter" && commit()}
    />
  );
}

function Slider({ node, param, value, onChange }: Props) {
  const [current, setCurrent] = useState(Number(value));
  useEffect(() => setCurrent(Number(value)), [value]);
  const integer = INTEGER.has(param.type);
  const step = integer ? 1 : (param.max! - param.min!) / 1000;
  return (
    <span className="slider">
      <input
        type="range"
        className="nodrag"
        data-param={`${node}.${param.name}`}
        min={param.min}
        max={param.max}
        step={step}
        value={current}
        onChange={(e) => {
          const v = Number(e.target.value);
          setCurrent(v);
          onChange(integer ? Math.round(v) : v);
        }}
      />
      <output>{integer ? current : current.toFixed(3)}</output>
    </span>
  );
}

function Widget(props: Props) {
  const { param, value, onChange } = props;
  const label = `${props.node}.${param.name}`;
  if (param.type === "bool")
    return (
      <input
        type="checkbox"
        className="nodrag"
        data-param={label}
        checked={value === true}
        onChange={(e) => onChange(e.target.checked)}
      />
    );
  if (SCALAR.has(param.type) && param.min !== undefined && param.max !== undefined)
    return <Slider {...props} />;
  if (SCALAR.has(param.type))
    return (
      <CommitField
        label={label}
        value={String(value)}
        parse={(t) => parseNumber(t, INTEGER.has(param.type))}
        onCommit={onChange}
      />
    );
  const small = SMALL_VECTOR.exec(param.type);
  if (small && Array.isArray(value)) {
    const set = (i: number, v: Json) => onChange(value.map((old, j) => (j === i ? v : old)));
    return (
      <span className="components">
        {value.map((component, i) =>
          small[1] === "bool" ? (
            <input
              key={i}
              type="checkbox"
              className="nodrag"
              aria-label={`${label}[${i}]`}
              checked={component === true}
              onChange={(e) => set(i, e.target.checked)}
            />
          ) : (
            <CommitField
              key={i}
              className="component"
              label={`${label}[${i}]`}
              value={String(component)}
              parse={(t) => parseNumber(t, small[1] === "int")}
              onCommit={(v) => set(i, v)}
            />
          ),
        )}
      </span>
    );
  }
  if (param.type === "String")
    return (
      <CommitField label={label} value={String(value)} parse={(t) => t} onCommit={onChange} />
    );
  return (
    <CommitField
      label={label}
      value={JSON.stringify(value)}
      parse={(t) => {
        try {
          return JSON.parse(t) as Json;
        } catch {
          return undefined;
        }
      }}
      onCommit={onChange}
    />
  );
}

export function ParamWidget(props: Props) {
  return (
    <label className="param" title={props.param.description}>
      <span className="param-name">{props.param.name}</span>
      {props.driven ? <em className="driven">driven by its input</em> : <Widget {...props} />}
    </label>
  );
}
