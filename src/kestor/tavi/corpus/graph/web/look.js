// What both pages share, the one that carries its graph and the one that asks a server for it: the colours, the
// sizes, the drawing's settings and the small helpers that put text on the page (as text, never as markup: every
// name is the corpus's, and may hold anything).
"use strict";
const number = new Intl.NumberFormat("en");
const COLOURS = { event: "#e8a74f", chosen: "#c0392b", open: "#e4572e", near: "#f2b872", faded: "#e3e7ec" };
const PLURAL = { event: "events", class: "classes" };

// Mean strength from light blue (0) through orange to red (1).
const STOPS = [
  [0, [158, 202, 225]],
  [0.5, [253, 174, 97]],
  [1, [215, 25, 28]],
];
function strengthColour(value) {
  if (typeof value !== "number" || !Number.isFinite(value)) return "#b8c0c8";
  const v = Math.min(1, Math.max(0, value));
  const upper = v <= 0.5 ? 1 : 2;
  const [a, from] = STOPS[upper - 1];
  const [b, to] = STOPS[upper];
  const t = (v - a) / (b - a);
  return `rgb(${from.map((c, i) => Math.round(c + (to[i] - c) * t)).join(",")})`;
}
const edgeSize = (count) => 1 + 1.5 * Math.log2(1 + count);
const nodeSize = (degree) => 4 + 2 * Math.sqrt(degree);

// sigma's settings but the reducers, the same on both pages. Hover and click on edges are read only while few are
// shown: the whole graph's would be tested at every move.
function drawingSettings(nodeReducer, edgeReducer) {
  return {
    defaultEdgeType: "arrow",
    labelFont: getComputedStyle(document.body).fontFamily,
    labelSize: 13,
    zIndex: true,
    nodeReducer,
    edgeReducer,
    enableEdgeHoverEvents: false,
    enableEdgeClickEvents: false,
  };
}

// What is drawn bright and what faded: the open nodes and their neighbours, or the paths found. `state` holds the
// nodes open (`open`, the last `chosen`, their neighbours `near`), the paths shown (`path`: its `nodes`, its `edges`,
// `from` and `to`) and the edge under the pointer (`hovered`); a node is the number of its key, an edge what
// `edgeOf` makes of its key, and `ends` gives an edge's source and target.
function reducers(state, edgeOf, ends) {
  function nodeReducer(key, attributes) {
    const node = Number(key);
    if (state.path) {
      if (!state.path.nodes.has(node)) return { ...attributes, color: COLOURS.faded, label: "", zIndex: 0 };
      const end = node === state.path.from || node === state.path.to;
      return { ...attributes, color: end ? COLOURS.chosen : COLOURS.open, forceLabel: true, zIndex: 2 };
    }
    if (state.open.size === 0) return attributes;
    if (node === state.chosen) return { ...attributes, color: COLOURS.chosen, forceLabel: true, zIndex: 3 };
    if (state.open.has(node)) return { ...attributes, color: COLOURS.open, forceLabel: true, zIndex: 2 };
    if (state.near.has(node)) return { ...attributes, color: COLOURS.near, forceLabel: true, zIndex: 1 };
    return { ...attributes, color: COLOURS.faded, label: "", zIndex: 0 };
  }
  function edgeReducer(key, attributes) {
    const edge = edgeOf(key);
    let shown = true;
    if (state.path) shown = state.path.edges.has(edge);
    else if (state.open.size) {
      const { source, target } = ends(edge);
      shown = state.open.has(source) || state.open.has(target);
    }
    if (!shown) return { ...attributes, hidden: true };
    if (edge === state.hovered) return { ...attributes, size: attributes.size + 2, zIndex: 2 };
    return state.open.size || state.path ? { ...attributes, zIndex: 1 } : attributes;
  }
  return { nodeReducer, edgeReducer };
}

function refreshDrawing(renderer, state) {
  if (!renderer) return;
  const few = state.path !== null || state.open.size > 0;
  renderer.setSetting("enableEdgeHoverEvents", few);
  renderer.setSetting("enableEdgeClickEvents", few);
  renderer.refresh();
}

// The camera onto the nodes of these keys, all in sight.
function moveCamera(renderer, keys) {
  if (!renderer || keys.length === 0) return;
  const points = keys.map((key) => renderer.getNodeDisplayData(String(key))).filter(Boolean);
  if (points.length === 0) return;
  const xs = points.map((point) => point.x);
  const ys = points.map((point) => point.y);
  const [left, right, bottom, top] = [Math.min(...xs), Math.max(...xs), Math.min(...ys), Math.max(...ys)];
  const ratio = Math.min(1, Math.max(0.04, 1.4 * Math.max(right - left, top - bottom)));
  renderer.getCamera().animate({ x: (left + right) / 2, y: (bottom + top) / 2, ratio }, { duration: 350 });
}

function cannotDraw(error) {
  const failure = document.createElement("p");
  failure.className = "failure";
  failure.textContent = `This browser cannot draw the graph (${error.message}); search and paths still work.`;
  document.getElementById("graph").append(failure);
  document.body.dataset.state = "failed";
}

function element(tag, properties = {}) {
  return Object.assign(document.createElement(tag), properties);
}
function paragraph(text, className) {
  return element("p", { textContent: text, className });
}
function fixed(value) {
  return typeof value === "number" ? value.toFixed(2) : "–";
}
function fraction(value) {
  return typeof value === "number" ? value.toFixed(3) : "–";
}
function amount(count, noun) {
  return `${number.format(count)} ${noun}${count === 1 ? "" : "s"}`;
}
function counted(pairs) {
  return pairs && pairs.length ? pairs.map(([text, times]) => `${text} ×${number.format(times)}`).join(", ") : undefined;
}
