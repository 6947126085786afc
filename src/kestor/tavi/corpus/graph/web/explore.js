// The event graph's page: find an event by any of its names, open its neighbourhood and expand it, follow the paths
// between two events, and read what an edge came from; switch between the graph of events and that of their classes,
// from an event to its class and from a class to its events. The graph and its layout come from graph.json through
// the Python that wrote this page; every field that graph.json may lack is optional here too.
"use strict";
(() => {
  const data = JSON.parse(document.getElementById("graph-data").textContent);
  // The level the page opens at comes with the data; another, after this script in the page so that the first draw
  // waits for none of it, is read when it is first shown, and each level's edges made records, its adjacency and
  // its names made then.
  const levels = data.kinds.map((kind, index) => (index ? { kind, nodes: null } : { ...data.levels[0] }));
  function loaded(index) {
    const shown = levels[index];
    if (!shown.nodes) Object.assign(shown, JSON.parse(document.getElementById(`graph-level-${index}`).textContent));
    return shown;
  }
  let level = null;
  let nodes = [];
  let edges = [];
  let outgoing = [];
  let incoming = [];
  let names = [];
  performance.mark("data read");
  const $ = (id) => document.getElementById(id);
  const MAX_PATHS = 1000;
  const PATHS_LISTED = 20;
  const STEP_BUDGET = 2000000;

  // ---- what is shown: the open events and their neighbours, or the paths between two events
  const state = { open: new Set(), chosen: null, near: new Set(), path: null, hovered: null };

  const { nodeReducer, edgeReducer } = reducers(state, Number, (index) => edges[index]);

  // ---- the drawing: one graph a level, built when the level is first shown
  function prepare(shown) {
    if (shown.ready) return;
    shown.edges = shown.edges.map((row) => Object.fromEntries(data.edge_fields.map((field, i) => [field, row[i]])));
    shown.outgoing = shown.nodes.map(() => []);
    shown.incoming = shown.nodes.map(() => []);
    shown.edges.forEach((edge, index) => {
      shown.outgoing[edge.source].push(index);
      shown.incoming[edge.target].push(index);
    });
    shown.graph = new modules.Graph({ type: "directed", multi: false, allowSelfLoops: true });
    shown.nodes.forEach((node, index) => {
      shown.graph.addNode(String(index), {
        x: node.x,
        y: node.y,
        size: nodeSize(node.degree),
        label: node.name,
        color: COLOURS.event,
      });
    });
    shown.edges.forEach((edge, index) => {
      shown.graph.addDirectedEdgeWithKey(String(index), String(edge.source), String(edge.target), {
        size: edgeSize(edge.count),
        color: strengthColour(edge.strength_mean),
      });
    });
    shown.names = [];
    shown.nodes.forEach((node, index) => {
      shown.names.push({ key: keyOf(node.name), node: index, alias: null });
      for (const [alias] of node.aliases || []) {
        if (alias !== node.name) shown.names.push({ key: keyOf(alias), node: index, alias });
      }
    });
    shown.ready = true;
  }

  // A small graph shows every name; a large one those of the nodes drawn large enough at the current zoom.
  const labelThreshold = () => (nodes.length <= 300 ? 0 : 8);

  function useLevel(index) {
    level = loaded(index);
    prepare(level);
    ({ nodes, edges, outgoing, incoming, names } = level);
    document.body.dataset.level = level.kind;
    for (const button of document.querySelectorAll("#levels button")) {
      button.setAttribute("aria-pressed", String(Number(button.dataset.level) === index));
    }
    $("scale").textContent = scaleText();
  }

  const trimmed = new RegExp(`^[\\s${escapeClass(data.trim)}]+|[\\s${escapeClass(data.trim)}]+$`, "gu");
  function escapeClass(text) {
    return text.replace(/[\\\]\[^-]/g, "\\$&");
  }
  const keyOf = (text) => text.normalize("NFKC").replace(trimmed, "").toLowerCase();

  useLevel(0);
  performance.mark("graph built");
  let renderer = null;
  try {
    renderer = new modules.Sigma(level.graph, $("graph"), {
      ...drawingSettings(nodeReducer, edgeReducer),
      labelRenderedSizeThreshold: labelThreshold(),
    });
  } catch (error) {
    cannotDraw(error);
  }

  performance.mark("sigma drawn");

  const refresh = () => refreshDrawing(renderer, state);
  const moveTo = (indices) => moveCamera(renderer, indices);

  // ---- finding an event by any of its names (a class also by its events')
  function suggestions(query, limit = 12) {
    const key = keyOf(query);
    if (!key) return [];
    const best = new Map();
    for (const entry of names) {
      const at = entry.key.indexOf(key);
      if (at < 0) continue;
      const rank = [entry.key === key ? 0 : at === 0 ? 1 : 2, -nodes[entry.node].degree, entry.key.length];
      const known = best.get(entry.node);
      if (!known || compare(rank, known.rank) < 0) best.set(entry.node, { rank, entry });
    }
    return [...best.values()]
      .sort((a, b) => compare(a.rank, b.rank) || a.entry.node - b.entry.node)
      .slice(0, limit)
      .map((found) => found.entry);
  }
  const compare = (a, b) => a.reduce((result, value, i) => result || value - b[i], 0);

  function completion(input, choose) {
    const describe = (entry) => {
      const node = nodes[entry.node];
      const note = entry.alias ? `as ${entry.alias}` : `degree ${number.format(node.degree)}`;
      return { id: entry.node, name: node.name, note };
    };
    const { offer } = completionList(input, describe, choose, () => suggestions(input.value));
    input.addEventListener("input", () => {
      input.dataset.node = "";
      offer(suggestions(input.value));
    });
  }

  // ---- an event and its neighbourhood
  function open(index, expand) {
    state.path = null;
    if (!expand) state.open.clear();
    state.open.add(index);
    state.chosen = index;
    state.near = new Set();
    for (const each of state.open) {
      for (const edge of outgoing[each]) state.near.add(edges[edge].target);
      for (const edge of incoming[each]) state.near.add(edges[edge].source);
    }
    showEvent(index);
    refresh();
    moveTo([...state.open, ...state.near]);
  }

  function showEvent(index) {
    const node = nodes[index];
    const section = $("event");
    const into = incoming[index].length;
    const out = outgoing[index].length;
    section.replaceChildren(
      element("h2", { textContent: node.name }),
      paragraph(
        `${amount(node.articles, "article")}, ${amount(node.relations, "relation")}; ` +
          `degree ${number.format(node.degree)} in the whole graph (${into} in, ${out} out on this page)`,
        "quiet",
      ),
    );
    const aliases = (node.aliases || []).filter(([alias]) => alias !== node.name);
    if (aliases.length) {
      section.append(
        paragraph(
          `Also written ${aliases.map(([alias, times]) => `${alias} (${number.format(times)})`).join(", ")}`,
          "aliases",
        ),
      );
    }
    const classes = levels.findIndex((each) => each.kind === "class");
    const events = levels.findIndex((each) => each.kind === "event");
    if (node.class_name) {
      const line = element("p", { className: "class-of" });
      line.append("Is a ", typeof node.class === "number" ? levelLink(classes, node.class) : node.class_name);
      section.append(line);
    }
    if (typeof node.events === "number") {
      const line = element("p", { className: "members" });
      const members = node.members || [];
      const its = node.events === 1 ? "Its event" : `Its ${number.format(node.events)} events`;
      if (members.length === 0) line.append(`${its}, ${node.events === 1 ? "not" : "none"} on this page`);
      else line.append(`${its}: `);
      members.forEach((member, i) => line.append(...(i ? [", "] : []), levelLink(events, member)));
      const more = node.events - members.length;
      if (members.length && more > 0) line.append(`, and ${number.format(more)} not on this page`);
      section.append(line);
    }
    section.append(
      element("h3", { textContent: `Leads to (${out})` }),
      neighbours(outgoing[index], "target", "P(· | this)"),
      element("h3", { textContent: `Follows from (${into})` }),
      neighbours(incoming[index], "source", "P(this | ·)"),
    );
    section.hidden = false;
    section.dataset.node = String(index);
  }

  function neighbours(list, end, probabilityTitle) {
    const table = element("table", { className: end === "target" ? "successors" : "predecessors" });
    table.append(neighboursHead(level.kind, probabilityTitle));
    const sorted = [...list].sort((a, b) => edges[b].count - edges[a].count || a - b);
    for (const index of sorted) {
      const edge = edges[index];
      const row = element("tr", { className: "edge-row" });
      row.dataset.edge = String(index);
      const link = eventLink(edge[end]);
      const swatch = element("span", { className: "swatch" });
      swatch.style.background = strengthColour(edge.strength_mean);
      const name = element("td");
      name.append(link);
      row.append(
        name,
        element("td", { className: "number", textContent: number.format(edge.count) }),
        element("td", { className: "number", textContent: fraction(edge.probability) }),
        element("td", { className: "number" }),
      );
      row.lastChild.append(swatch, fixed(edge.strength_mean));
      row.addEventListener("click", (event) => {
        if (event.target !== link) showEdge(index);
      });
      table.append(row);
    }
    return table;
  }

  // A node of the other level: a click shows that level with the node open.
  function levelLink(levelIndex, index) {
    const link = element("a", { className: "event", textContent: loaded(levelIndex).nodes[index].name });
    link.dataset.level = levels[levelIndex].kind;
    link.addEventListener("click", () => switchTo(levelIndex, index));
    return link;
  }

  function switchTo(levelIndex, index) {
    if (levels[levelIndex] !== level) {
      useLevel(levelIndex);
      for (const id of ["path-from", "path-to"]) {
        $(id).value = "";
        $(id).dataset.node = "";
      }
      if (renderer) {
        renderer.setGraph(level.graph);
        renderer.setSetting("labelRenderedSizeThreshold", labelThreshold());
      }
      clear();
    }
    if (index !== undefined) open(index, false);
  }

  function eventLink(index) {
    const link = element("a", { className: "event", textContent: nodes[index].name });
    link.dataset.node = String(index);
    link.addEventListener("click", () => open(index, true));
    return link;
  }

  // ---- what an edge came from
  function showEdge(index) {
    const edge = edges[index];
    const source = nodes[edge.source];
    const target = nodes[edge.target];
    const section = $("edge");
    const heading = element("h2");
    heading.append(eventLink(edge.source), " → ", eventLink(edge.target));
    const facts = element("dl");
    const fact = (term, value) => {
      if (value === undefined || value === null || value === "") return;
      facts.append(element("dt", { textContent: term }), element("dd", { textContent: value }));
    };
    fact("relations", number.format(edge.count));
    fact("articles", number.format(edge.articles));
    fact(`P(${target.name} | ${source.name})`, fraction(edge.probability));
    fact("lift", typeof edge.lift === "number" ? fixed(edge.lift) : undefined);
    fact("strength", `mean ${fixed(edge.strength_mean)}, highest ${fixed(edge.strength_max)}`);
    fact("relation labels", counted(edge.labels));
    fact("force words", counted(edge.forces));
    fact("first seen", edge.first_seen);
    fact("last seen", edge.last_seen);
    fact("by month", edge.months ? Object.entries(edge.months).map(([m, n]) => `${m}: ${n}`).join(", ") : undefined);
    section.replaceChildren(heading, facts, element("h3", { textContent: "Articles" }));
    if (Array.isArray(edge.article_ids)) {
      const list = element("ul", { className: "articles" });
      for (const id of edge.article_ids) {
        const item = element("li", { textContent: id });
        const excerpt = data.excerpts[id];
        if (excerpt) item.append(" ", element("span", { className: "excerpt", textContent: `${excerpt}…` }));
        list.append(item);
      }
      section.append(list);
      const more = edge.articles - edge.article_ids.length;
      if (more > 0) section.append(paragraph(`and ${number.format(more)} more (graph.json holds every id)`, "quiet"));
    } else {
      section.append(paragraph("This graph was written before edges kept their article ids.", "quiet"));
    }
    section.hidden = false;
    section.dataset.edge = String(index);
  }

  // ---- the paths between two events, found as `kestor-corpus graph --between` finds them
  function pathsBetween(start, end) {
    const usable = (index) => {
      const edge = edges[index];
      return edge.source !== edge.target && edge.target !== start && edge.source !== end;
    };
    const reach = (origin, adjacency, far) => {
      const seen = new Set([origin]);
      const queue = [origin];
      while (queue.length) {
        for (const index of adjacency[queue.pop()]) {
          if (!usable(index)) continue;
          const next = edges[index][far];
          if (!seen.has(next)) {
            seen.add(next);
            queue.push(next);
          }
        }
      }
      return seen;
    };
    const reached = reach(start, outgoing, "target");
    if (!reached.has(end)) return null;
    const reaching = reach(end, incoming, "source");
    const between = new Set([...reached].filter((node) => reaching.has(node)));
    const inner = edges
      .map((_, index) => index)
      .filter((index) => usable(index) && between.has(edges[index].source) && between.has(edges[index].target));
    const after = new Map([...between].map((node) => [node, []]));
    for (const index of inner) after.get(edges[index].source).push(index);
    // Acyclic: every edge between them is on a path, and paths are counted without being listed.
    const order = topological(between, inner, after);
    let count = 0;
    let used = inner;
    let exceeded = false;
    if (order) {
      const ways = new Map([...between].map((node) => [node, 0]));
      ways.set(start, 1);
      for (const node of order) for (const index of after.get(node)) ways.set(edges[index].target, ways.get(edges[index].target) + ways.get(node));
      count = ways.get(end);
      exceeded = count > MAX_PATHS;
    } else {
      const walked = walk(start, end, after, MAX_PATHS + 1);
      count = walked.paths.length;
      exceeded = count > MAX_PATHS || walked.gaveUp;
      used = exceeded ? inner : [...new Set(walked.paths.flat())];
    }
    const listed = walk(start, end, after, PATHS_LISTED).paths;
    const pathEdges = new Set(used);
    const pathNodes = new Set([start, end]);
    for (const index of pathEdges) pathNodes.add(edges[index].source).add(edges[index].target);
    return { from: start, to: end, count, exceeded, nodes: pathNodes, edges: pathEdges, listed };
  }

  function topological(nodeSet, inner, after) {
    const into = new Map([...nodeSet].map((node) => [node, 0]));
    for (const index of inner) into.set(edges[index].target, into.get(edges[index].target) + 1);
    const ready = [...nodeSet].filter((node) => into.get(node) === 0);
    const order = [];
    while (ready.length) {
      const node = ready.pop();
      order.push(node);
      for (const index of after.get(node)) {
        const target = edges[index].target;
        into.set(target, into.get(target) - 1);
        if (into.get(target) === 0) ready.push(target);
      }
    }
    return order.length === nodeSet.size ? order : null;
  }

  // Simple paths, depth first, at most `limit`, within a budget of steps: every event between the two reaches the
  // second, so a walk that cannot go on is one that would come back over itself.
  function walk(start, end, after, limit) {
    const paths = [];
    const onPath = new Set([start]);
    const trail = [];
    let budget = STEP_BUDGET;
    const visit = (node) => {
      for (const index of after.get(node)) {
        if (paths.length >= limit || --budget < 0) return;
        const next = edges[index].target;
        if (next === end) paths.push([...trail, index]);
        else if (!onPath.has(next)) {
          onPath.add(next);
          trail.push(index);
          visit(next);
          trail.pop();
          onPath.delete(next);
        }
      }
    };
    visit(start);
    return { paths, gaveUp: budget < 0 };
  }

  function findPaths() {
    const from = Number($("path-from").dataset.node || NaN);
    const to = Number($("path-to").dataset.node || NaN);
    const result = $("path-result");
    if (!Number.isInteger(from) || !Number.isInteger(to)) {
      result.replaceChildren(paragraph("Choose both events from the suggestions first.", "quiet"));
      return;
    }
    if (from === to) {
      result.replaceChildren(paragraph("They are the same event.", "quiet"));
      return;
    }
    const found = pathsBetween(from, to);
    if (!found) {
      result.replaceChildren(paragraph(`No path from ${nodes[from].name} to ${nodes[to].name} on this page.`, "quiet"));
      return;
    }
    state.path = found;
    state.open.clear();
    const count = found.exceeded ? `more than ${number.format(MAX_PATHS)}` : number.format(found.count);
    const plural = found.count === 1 ? "path" : "paths";
    const summary = paragraph(
      `${count} ${plural} from ${nodes[from].name} to ${nodes[to].name}: ` +
        `${amount(found.nodes.size, "event")}, ${amount(found.edges.size, "edge")}`,
      "summary",
    );
    const list = element("ol", { className: "paths" });
    for (const path of found.listed) {
      const item = element("li");
      item.append(eventLink(from));
      for (const index of path) item.append(" → ", eventLink(edges[index].target));
      item.addEventListener("click", () => pick(item, path));
      list.append(item);
    }
    result.replaceChildren(summary, list);
    if (list.firstChild) pick(list.firstChild, found.listed[0]);
    if (found.count > found.listed.length) result.append(paragraph(`the first ${found.listed.length} listed`, "quiet"));
    refresh();
    moveTo([...found.nodes]);
  }

  function pick(item, path) {
    if (!state.path) return;
    pickPath(state, item, [state.path.from, ...path.map((index) => edges[index].target)], path);
    refresh();
  }

  function clear() {
    state.open.clear();
    state.near.clear();
    state.path = null;
    state.chosen = null;
    for (const id of ["event", "edge"]) $(id).hidden = true;
    $("path-result").replaceChildren();
    refresh();
    if (renderer) renderer.getCamera().animate({ x: 0.5, y: 0.5, ratio: 1 }, { duration: 350 });
  }

  // ---- wiring
  function scaleText() {
    const { total } = level;
    const plural = PLURAL[level.kind];
    const between = total.between ?? edges.length;
    const capped =
      between > edges.length
        ? ` Of the ${number.format(between)} edges between them, the ${number.format(edges.length)} of most ` +
          `relations (at most ${number.format(total.edge_limit)}: --html-edges).`
        : "";
    return (
      (total.nodes > nodes.length
        ? `The ${number.format(nodes.length)} ${plural} of highest degree of ${number.format(total.nodes)} ` +
          `(at most ${number.format(total.limit)}: --html-nodes), and the ${number.format(edges.length)} edges ` +
          `between them of ${number.format(total.edges)}.`
        : `All ${nodes.length === 1 ? `1 ${level.kind}` : `${number.format(nodes.length)} ${plural}`} and ` +
          `${amount(edges.length, "edge")}.`) + capped
    );
  }
  $("scale").textContent = scaleText();
  if (levels.length > 1) {
    const buttons = levels.map((each, index) => {
      const button = element("button", { type: "button", textContent: PLURAL[each.kind] });
      button.dataset.level = String(index);
      button.setAttribute("aria-pressed", String(each === level));
      button.addEventListener("click", () => switchTo(index));
      return button;
    });
    $("levels").append(...buttons);
    $("levels").hidden = false;
  }
  completion($("search"), (index) => open(index, false));
  completion($("path-from"), () => {});
  completion($("path-to"), () => {});
  $("path-find").addEventListener("click", findPaths);
  $("clear").addEventListener("click", clear);

  const tooltip = $("tooltip");
  if (renderer) {
    renderer.on("clickNode", ({ node }) => open(Number(node), state.open.size > 0 && !state.path));
    renderer.on("clickEdge", ({ edge }) => showEdge(Number(edge)));
    renderer.on("enterEdge", ({ edge, event }) => {
      const index = Number(edge);
      const found = edges[index];
      state.hovered = index;
      tooltip.textContent =
        `${nodes[found.source].name} → ${nodes[found.target].name}: ` +
        `P(${nodes[found.target].name} | ${nodes[found.source].name}) = ${fraction(found.probability)}, ` +
        `${number.format(found.count)} relation${found.count === 1 ? "" : "s"}, mean strength ${fixed(found.strength_mean)}`;
      const box = $("graph").getBoundingClientRect();
      tooltip.style.left = `${box.left + event.x + 14}px`;
      tooltip.style.top = `${box.top + event.y + 14}px`;
      tooltip.hidden = false;
      renderer.refresh();
    });
    renderer.on("leaveEdge", () => {
      state.hovered = null;
      tooltip.hidden = true;
      renderer.refresh();
    });
  }

  // The page is drawn once two frames have passed: the first draw is then on the screen.
  requestAnimationFrame(() =>
    requestAnimationFrame(() => {
      document.body.dataset.firstDrawMs = String(Math.round(performance.now()));
      if (document.body.dataset.state === "loading") document.body.dataset.state = "ready";
    }),
  );

  // For the browser tests: where an event is drawn, in the graph's box, once the camera has stopped moving.
  window.explorer = {
    at(name) {
      const index = nodes.findIndex((node) => node.name === name);
      if (index < 0 || !renderer || renderer.getCamera().isAnimated()) return null;
      const point = renderer.graphToViewport(level.graph.getNodeAttributes(String(index)));
      return { x: point.x, y: point.y };
    },
    open: () => [...state.open].map((index) => nodes[index].name),
    level: () => level.kind,
  };
})();
