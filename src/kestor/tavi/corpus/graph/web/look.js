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
