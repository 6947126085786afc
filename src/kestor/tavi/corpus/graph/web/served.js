// The event graph's page over its server: index.html's drawing and look, of what the server has been asked so far.
// It opens with the busiest events; any event is found by any of its names, a click opens its neighbourhood (the
// most probable edges each way, and how many there are) beside those already open, two events give the paths
// between them, an edge the relations it was counted from. The server answers at either level and within a window
// of dates; every name it gives is the corpus's, put on the page as text.
"use strict";
(() => {
  const config = JSON.parse(document.getElementById("graph-data").textContent);
  const $ = (id) => document.getElementById(id);
  const graph = new modules.Graph({ type: "directed", multi: false, allowSelfLoops: true });
  const names = new Map();
  const figures = new Map();
  const state = { open: new Set(), chosen: null, near: new Set(), path: null, hovered: null };
  let kind = config.level;
  let pending = 0;
  document.body.dataset.pending = "0";

  // ---- asking the server, at the level shown and within the window given
  const since = element("input", { id: "since", type: "search", placeholder: "since 2024-07", spellcheck: false });
  const until = element("input", { id: "until", type: "search", placeholder: "until 2024-12", spellcheck: false });
  const problem = paragraph("", "problem");
  problem.setAttribute("role", "alert");

  async function ask(route, parameters = {}) {
    const query = new URLSearchParams({ ...parameters, level: kind });
    if (since.value.trim()) query.set("since", since.value.trim());
    if (until.value.trim()) query.set("until", until.value.trim());
    document.body.dataset.pending = String(++pending);
    try {
      const response = await fetch(`/api/${route}?${query}`);
      const answer = await response.json();
      if (!response.ok) throw new Error(answer.error || response.statusText);
      problem.textContent = "";
      return answer;
    } catch (error) {
      problem.textContent = error.message;
      throw error;
    } finally {
      document.body.dataset.pending = String(--pending);
    }
  }
  // A failed question is said on the page (above); nothing else is to be done with it.
  const quietly = (promise) => promise.catch(() => undefined);

  // ---- the drawing: the nodes and edges the answers held, each kept where it was first placed
  const key = (id) => String(id);
  const edgeKey = (source, target) => `${source}>${target}`;

  function addNode(id, name, x, y) {
    names.set(id, name);
    if (!graph.hasNode(key(id))) graph.addNode(key(id), { x, y, size: nodeSize(0), label: name, color: COLOURS.event });
  }

  function addEdge(source, target, row) {
    const edge = edgeKey(source, target);
    figures.set(edge, { ...figures.get(edge), ...row, source, target });
    const attributes = { size: edgeSize(row.count || 1), color: strengthColour(row.strength_mean) };
    if (graph.hasEdge(edge)) graph.mergeEdgeAttributes(edge, attributes);
    else graph.addDirectedEdgeWithKey(edge, key(source), key(target), attributes);
  }

  function sized() {
    graph.forEachNode((node) => graph.setNodeAttribute(node, "size", nodeSize(Math.min(graph.degree(node), 60))));
  }

  // New neighbours on a half circle around the node: those it leads to on its right, those it follows from on its
  // left, as the laid-out graph reads from cause to effect.
  function around(centre, ids, right) {
    const { x, y } = graph.getNodeAttributes(key(centre));
    let [left, far] = [Infinity, -Infinity];
    graph.forEachNode((_, attributes) => {
      left = Math.min(left, attributes.x, attributes.y);
      far = Math.max(far, attributes.x, attributes.y);
    });
    const radius = Math.max(0.15 * (far - left), 0.5);
    const fresh = ids.filter(([id]) => !graph.hasNode(key(id)));
    fresh.forEach(([id, name], i) => {
      const angle = ((i + 1) / (fresh.length + 1) - 0.5) * Math.PI * 0.9;
      const side = right ? 1 : -1;
      addNode(id, name, x + side * radius * Math.cos(angle), y + radius * Math.sin(angle));
    });
  }

  const { nodeReducer, edgeReducer } = reducers(state, (key) => key, (key) => figures.get(key));

  let renderer = null;
  try {
    renderer = new modules.Sigma(graph, $("graph"), {
      ...drawingSettings(nodeReducer, edgeReducer),
      labelRenderedSizeThreshold: 8,
    });
  } catch (error) {
    cannotDraw(error);
  }

  function refresh() {
    sized();
    refreshDrawing(renderer, state);
  }

  const moveTo = (ids) => moveCamera(renderer, ids);

  // ---- where the page begins: the busiest nodes of the level
  async function begin() {
    graph.clear();
    figures.clear();
    names.clear();
    forget();
    // The level the page opens at has its overview in the page.
    const overview = (kind === config.level && config.overview) || (await ask("overview"));
    for (const node of overview.nodes) addNode(node.id, node.name, node.x, node.y);
    for (const edge of overview.edges) addEdge(edge.source, edge.target, edge);
    const plural = PLURAL[kind];
    const shown =
      overview.total > overview.nodes.length
        ? `${number.format(overview.total)} ${plural} in the store; shown first, the ` +
          `${number.format(overview.nodes.length)} of most relations.`
        : `All ${number.format(overview.total)} ${plural} of the store.`;
    $("scale").textContent = `${shown} Find any ${kind} by any of its names, or click one, to open its neighbourhood.`;
    refresh();
    if (renderer) renderer.getCamera().setState({ x: 0.5, y: 0.5, ratio: 1, angle: 0 });
  }

  function forget() {
    state.open.clear();
    state.near.clear();
    state.path = null;
    state.chosen = null;
    for (const id of ["event", "edge"]) $(id).hidden = true;
    $("path-result").replaceChildren();
  }

  // ---- a node's neighbourhood, opened beside those already open (`adding`) or alone
  async function open(id, adding) {
    const shown = await ask("node", { id });
    if (state.path) {
      graph.clear();
      figures.clear();
      state.path = null;
    }
    if (!adding) state.open.clear();
    if (!graph.hasNode(key(shown.id))) {
      const middle = graph.order ? centreOfGraph() : { x: 0, y: 0 };
      addNode(shown.id, shown.name, middle.x, middle.y);
    }
    around(shown.id, shown.out_edges.map((row) => [row.id, row.event]), true);
    around(shown.id, shown.in_edges.map((row) => [row.id, row.event]), false);
    for (const row of shown.out_edges) addEdge(shown.id, row.id, row);
    for (const row of shown.in_edges) addEdge(row.id, shown.id, row);
    state.open.add(shown.id);
    state.chosen = shown.id;
    state.near = new Set();
    for (const each of state.open) for (const other of graph.neighbors(key(each))) state.near.add(Number(other));
    showNode(shown);
    refresh();
    moveTo([...state.open, ...state.near]);
  }

  function centreOfGraph() {
    let [x, y] = [0, 0];
    graph.forEachNode((_, attributes) => {
      x += attributes.x;
      y += attributes.y;
    });
    return { x: x / graph.order, y: y / graph.order };
  }

  function showNode(shown) {
    const section = $("event");
    section.replaceChildren(
      element("h2", { textContent: shown.name }),
      paragraph(
        `#${shown.id}: ${amount(shown.articles, "article")}, ${amount(shown.relations, "relation")}; ` +
          `${number.format(shown.out)} out, ${number.format(shown.in)} in`,
        "quiet",
      ),
    );
    const aliases = (shown.aliases || []).filter((alias) => alias.alias !== shown.name);
    if (aliases.length) {
      const more = shown.aliases_total - shown.aliases.length;
      section.append(
        paragraph(
          `Also written ${aliases.map((alias) => `${alias.alias} (${number.format(alias.mentions)})`).join(", ")}` +
            (more > 0 ? `, and ${number.format(more)} more` : ""),
          "aliases",
        ),
      );
    }
    if (shown.merged && shown.merged.length) {
      section.append(paragraph(`Ids merged into it: ${shown.merged.map((id) => `#${id}`).join(", ")}`, "quiet"));
    }
    if (shown.class) {
      const line = element("p", { className: "class-of" });
      line.append("Is a ", levelLink("class", shown.class.id, shown.class.name));
      section.append(line);
    }
    if (shown.events) {
      const line = element("p", { className: "members" });
      const total = shown.events_total;
      line.append(total === 1 ? "Its event: " : `Its ${number.format(total)} events: `);
      shown.events.forEach((member, i) => line.append(...(i ? [", "] : []), levelLink("event", member.id, member.name)));
      if (total > shown.events.length) line.append(`, and ${number.format(total - shown.events.length)} more`);
      section.append(line);
    }
    section.append(
      element("h3", { textContent: `Leads to (${number.format(shown.out)})` }),
      neighbours(shown.id, shown.out_edges, true, "P(· | this)"),
      ...rest(shown.out_edges.length, shown.out),
      element("h3", { textContent: `Follows from (${number.format(shown.in)})` }),
      neighbours(shown.id, shown.in_edges, false, "P(this | ·)"),
      ...rest(shown.in_edges.length, shown.in),
    );
    section.hidden = false;
    section.dataset.node = String(shown.id);
  }

  function rest(listed, all) {
    return all > listed ? [paragraph(`the ${number.format(listed)} most probable of ${number.format(all)}`, "quiet more")] : [];
  }

  function neighbours(id, rows, forward, probabilityTitle) {
    const table = element("table", { className: forward ? "successors" : "predecessors" });
    table.append(neighboursHead(kind, probabilityTitle));
    for (const row of rows) {
      const line = element("tr", { className: "edge-row" });
      const link = nodeLink(row.id, row.event);
      const swatch = element("span", { className: "swatch" });
      swatch.style.background = strengthColour(row.strength_mean);
      const name = element("td");
      name.append(link);
      line.append(
        name,
        element("td", { className: "number", textContent: number.format(row.count) }),
        element("td", { className: "number", textContent: fraction(row.probability) }),
        element("td", { className: "number" }),
      );
      line.lastChild.append(swatch, fixed(row.strength_mean));
      const [source, target] = forward ? [id, row.id] : [row.id, id];
      line.addEventListener("click", (event) => {
        if (event.target !== link) quietly(showEdge(source, target));
      });
      table.append(line);
    }
    return table;
  }

  function nodeLink(id, name) {
    const link = element("a", { className: "event", textContent: name });
    link.dataset.node = String(id);
    link.addEventListener("click", () => quietly(open(id, true)));
    return link;
  }

  // A node of the other level: a click shows that level with the node open.
  function levelLink(level, id, name) {
    const link = element("a", { className: "event", textContent: name });
    link.dataset.level = level;
    link.addEventListener("click", () => quietly(switchTo(level, id)));
    return link;
  }

  async function switchTo(level, id) {
    if (level !== kind) {
      kind = level;
      for (const button of $("levels").querySelectorAll("button")) {
        button.setAttribute("aria-pressed", String(button.dataset.level === kind));
      }
      document.body.dataset.level = kind;
      for (const field of ["path-from", "path-to"]) {
        $(field).value = "";
        $(field).dataset.node = "";
      }
      await begin();
    }
    if (id !== undefined) await open(id, false);
  }

  // ---- what an edge came from
  async function showEdge(source, target) {
    const found = figures.get(edgeKey(source, target)) || {};
    const rows = await ask("evidence", { source, target });
    const section = $("edge");
    const heading = element("h2");
    heading.append(nodeLink(source, names.get(source)), " → ", nodeLink(target, names.get(target)));
    const facts = element("dl");
    const fact = (term, value) => {
      if (value === undefined || value === null || value === "") return;
      facts.append(element("dt", { textContent: term }), element("dd", { textContent: value }));
    };
    fact("relations", typeof found.count === "number" ? number.format(found.count) : undefined);
    fact("articles", typeof found.articles === "number" ? number.format(found.articles) : undefined);
    fact(`P(${names.get(target)} | ${names.get(source)})`, fraction(found.probability));
    fact("lift", typeof found.lift === "number" ? fixed(found.lift) : undefined);
    fact("strength", `mean ${fixed(found.strength_mean)}`);
    fact("first seen", found.first_seen);
    fact("last seen", found.last_seen);
    const list = element("ul", { className: "articles" });
    for (const row of rows) {
      const item = element("li", { textContent: `${row.article}${row.date ? ` (${row.date})` : ""}` });
      const said = `${row.source_alias} → ${row.target_alias}, ${row.label} ${fixed(row.strength)}`;
      item.append(" ", element("span", { className: "spelling", textContent: said }));
      if (row.excerpt) item.append(" ", element("span", { className: "excerpt", textContent: `${row.excerpt}…` }));
      list.append(item);
    }
    section.replaceChildren(heading, facts, element("h3", { textContent: "Relations and their articles" }), list);
    const more = (found.count || 0) - rows.length;
    if (more > 0) section.append(paragraph(`and ${number.format(more)} more (graph show and the store hold them)`, "quiet"));
    section.hidden = false;
    section.dataset.edge = edgeKey(source, target);
  }

  // ---- the paths between two nodes, drawn alone
  async function findPaths() {
    const from = Number($("path-from").dataset.node || NaN);
    const to = Number($("path-to").dataset.node || NaN);
    const result = $("path-result");
    if (!Number.isInteger(from) || !Number.isInteger(to)) {
      result.replaceChildren(paragraph("Choose both events from the suggestions first.", "quiet"));
      return;
    }
    let found;
    try {
      found = await ask("paths", { from, to });
    } catch (error) {
      result.replaceChildren(paragraph(error.message, "quiet"));
      return;
    }
    graph.clear();
    figures.clear();
    forget();
    for (const node of found.nodes) addNode(node.id, node.name, node.x, node.y);
    for (const edge of found.edges) addEdge(edge.source, edge.target, edge);
    state.path = {
      from: found.from,
      to: found.to,
      nodes: new Set(found.nodes.map((node) => node.id)),
      edges: new Set(found.edges.map((edge) => edgeKey(edge.source, edge.target))),
      picked: null,
    };
    // Each path as its chain of nodes, each step with its edge's figures (a click on them shows the edge's
    // relations); a click on a path draws it out of the others.
    const list = element("ol", { className: "paths" });
    found.listed.forEach((chain, i) => {
      const item = element("li");
      item.dataset.path = String(i);
      item.append(nodeLink(chain[0], names.get(chain[0])));
      chain.slice(1).forEach((target, step) => {
        const source = chain[step];
        const edge = figures.get(edgeKey(source, target));
        const said = element("span", {
          className: "step",
          textContent:
            ` (P ${fraction(edge.probability)}, ${amount(edge.count || 0, "relation")}, ` +
            `strength ${fixed(edge.strength_mean)})`,
        });
        said.addEventListener("click", () => quietly(showEdge(source, target)));
        item.append(" → ", nodeLink(target, names.get(target)), said);
      });
      item.addEventListener("click", () => pick(item, chain));
      list.append(item);
    });
    result.replaceChildren(
      paragraph(
        `${number.format(found.paths)} ${found.paths === 1 ? "path" : "paths"} from ${names.get(found.from)} to ` +
          `${names.get(found.to)}: ${amount(found.nodes.length, kind)}, ${amount(found.edges.length, "edge")}`,
        "summary",
      ),
      list,
    );
    if (found.stopped) {
      const listed = `the shortest ${number.format(found.listed.length)} of those it found listed`;
      result.append(paragraph(`Listing them stopped before it had all: ${listed}; all are drawn.`, "quiet"));
    } else if (found.paths > found.listed.length) {
      result.append(paragraph(`the ${number.format(found.listed.length)} shortest listed; all are drawn`, "quiet"));
    }
    if (list.firstChild) pick(list.firstChild, found.listed[0]);
    refresh();
    if (renderer) renderer.getCamera().setState({ x: 0.5, y: 0.5, ratio: 1, angle: 0 });
  }

  function pick(item, chain) {
    if (!state.path) return;
    pickPath(state, item, chain, chain.slice(1).map((target, step) => edgeKey(chain[step], target)));
    refresh();
  }

  // ---- finding a node by any of its names: the server's completion, the latest asked shown
  function completion(input, choose) {
    const describe = (entry) => ({
      id: entry.id,
      name: entry.name,
      note: entry.alias !== entry.name ? `as ${entry.alias}` : `${number.format(entry.mentions)} mentions`,
    });
    const { list, offer } = completionList(input, describe, choose);
    let asked = 0;
    let timer = null;
    const suggest = async () => {
      const mine = ++asked;
      const typed = input.value;
      const answer = typed.trim() ? await ask("search", { q: typed }) : [];
      if (mine !== asked) return;
      // One line a node: its best alias.
      const seen = new Set();
      offer(answer.filter((entry) => !seen.has(entry.id) && seen.add(entry.id)));
      list.dataset.for = typed;
    };
    input.addEventListener("input", () => {
      input.dataset.node = "";
      clearTimeout(timer);
      timer = setTimeout(() => quietly(suggest()), 120);
    });
  }

  // ---- wiring
  const header = document.querySelector("#panel header");
  const dates = element("div", { className: "window" });
  dates.append(since, until);
  header.append(dates, problem);
  // Another window: the node chosen is opened again within it.
  for (const field of [since, until]) {
    field.addEventListener("change", () => {
      const chosen = state.chosen;
      quietly(begin().then(() => (chosen === null ? undefined : open(chosen, false))));
    });
  }
  const buttons = config.kinds.map((each) => {
    const button = element("button", { type: "button", textContent: PLURAL[each] });
    button.dataset.level = each;
    button.setAttribute("aria-pressed", String(each === kind));
    button.addEventListener("click", () => quietly(switchTo(each)));
    return button;
  });
  $("levels").append(...buttons);
  $("levels").hidden = false;
  document.body.dataset.level = kind;
  completion($("search"), (id) => quietly(open(id, false)));
  completion($("path-from"), () => {});
  completion($("path-to"), () => {});
  $("path-find").addEventListener("click", () => quietly(findPaths()));
  $("clear").addEventListener("click", () => quietly(begin()));

  const tooltip = $("tooltip");
  if (renderer) {
    renderer.on("clickNode", ({ node }) => quietly(open(Number(node), state.open.size > 0 && !state.path)));
    renderer.on("clickEdge", ({ edge }) => {
      const { source, target } = figures.get(edge);
      quietly(showEdge(source, target));
    });
    renderer.on("enterEdge", ({ edge, event }) => {
      const found = figures.get(edge);
      const [source, target] = [names.get(found.source), names.get(found.target)];
      state.hovered = edge;
      tooltip.textContent =
        `${source} → ${target}: P(${target} | ${source}) = ${fraction(found.probability)}, ` +
        `${amount(found.count || 0, "relation")}, mean strength ${fixed(found.strength_mean)}`;
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

  // Drawn once the first answer is on the screen: two frames after it is put into the graph.
  begin()
    .then(
      () =>
        new Promise((resolve) =>
          requestAnimationFrame(() =>
            requestAnimationFrame(() => {
              document.body.dataset.firstDrawMs = String(Math.round(performance.now()));
              resolve();
            }),
          ),
        ),
    )
    .catch(() => undefined)
    .finally(() => {
      if (document.body.dataset.state === "loading") document.body.dataset.state = "ready";
    });

  // For the browser tests: what is open, at which level.
  window.explorer = {
    open: () => [...state.open].map((id) => names.get(id)),
    level: () => kind,
    shown: () => graph.order,
    picked: () => (state.path && state.path.picked ? state.path.picked.chain.map((id) => names.get(id)) : null),
  };
})();
