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
// `from` and `to`, and the one path picked from them, `picked`, of `nodes` and `edges` too) and the edge under the
// pointer (`hovered`); a node is the number of its key, an edge what `edgeOf` makes of its key, and `ends` gives an
// edge's source and target.
function reducers(state, edgeOf, ends) {
  function nodeReducer(key, attributes) {
    const node = Number(key);
    if (state.path) {
      if (!state.path.nodes.has(node)) return { ...attributes, color: COLOURS.faded, label: "", zIndex: 0 };
      const end = node === state.path.from || node === state.path.to;
      const picked = state.path.picked;
      if (picked && !end && !picked.nodes.has(node)) return { ...attributes, color: COLOURS.near, zIndex: 1 };
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
    if (edge === state.hovered) return { ...attributes, size: attributes.size + 2, zIndex: 3 };
    if (state.path && state.path.picked && state.path.picked.edges.has(edge)) {
      return { ...attributes, color: COLOURS.chosen, size: attributes.size + 2, zIndex: 2 };
    }
    return state.open.size || state.path ? { ...attributes, zIndex: 1 } : attributes;
  }
  return { nodeReducer, edgeReducer };
}

// One of the paths listed, drawn out of the others: its item marked; `chain` its nodes in order and `edges` its
// edges, as the drawing knows them.
function pickPath(state, item, chain, edges) {
  state.path.picked = { nodes: new Set(chain), edges: new Set(edges), chain };
  for (const other of item.parentElement.children) other.classList.toggle("picked", other === item);
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

// The heading of a table of a node's neighbours: the other end (of `kind`), and the edge's figures.
function neighboursHead(kind, probabilityTitle) {
  const head = element("tr");
  for (const [text, numeric] of [
    [kind, false],
    ["relations", true],
    [probabilityTitle, true],
    ["strength", true],
  ]) {
    head.append(element("th", { textContent: text, className: numeric ? "number" : "" }));
  }
  return head;
}

// The completion list under a field: the suggestions `offer`ed, one of them active, which the arrows move, Enter
// picks and Escape closes. The list closes once the field has lost the focus for good: a click on a suggestion, or
// the field focused again at once, keeps it. `describe(entry)` gives the node a suggestion stands for, as its `id`,
// `name` and a `note` beside it; `chosen(id)` is told the node picked, and `now()` gives the suggestions for the
// field as it is, where Enter comes before any are offered.
function completionList(input, describe, chosen, now = () => []) {
  const list = input.parentElement.querySelector(".suggestions");
  let found = [];
  let active = 0;
  input.dataset.node = "";
  const show = () => {
    list.replaceChildren(
      ...found.map((entry, i) => {
        const { name, note } = describe(entry);
        const item = element("li", { role: "option", className: i === active ? "active" : "" });
        item.append(element("span", { textContent: name }));
        item.append(element("span", { className: "alias", textContent: note }));
        item.addEventListener("mousedown", (event) => {
          event.preventDefault();
          pick(i);
        });
        return item;
      }),
    );
    list.hidden = found.length === 0;
  };
  const offer = (entries) => {
    found = entries;
    active = 0;
    show();
  };
  const pick = (i) => {
    const entry = found[i];
    if (!entry) return;
    const { id, name } = describe(entry);
    input.value = name;
    input.dataset.node = String(id);
    offer([]);
    chosen(id);
  };
  input.addEventListener("keydown", (event) => {
    if (event.key === "ArrowDown" || event.key === "ArrowUp") {
      if (found.length) active = (active + (event.key === "ArrowDown" ? 1 : found.length - 1)) % found.length;
      show();
      event.preventDefault();
    } else if (event.key === "Enter") {
      if (!found.length) found = now();
      pick(Math.min(active, found.length - 1));
      event.preventDefault();
    } else if (event.key === "Escape") {
      offer([]);
    }
  });
  input.addEventListener("blur", () =>
    setTimeout(() => {
      if (document.activeElement !== input) offer([]);
    }, 150),
  );
  return { list, offer };
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
