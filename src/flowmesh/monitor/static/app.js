// The monitor page: subscribes to the snapshot stream and draws it.
"use strict";

const SVG_NS = "http://www.w3.org/2000/svg";
const NODE_W = 200, PORT_STEP = 18, NODE_HEAD = 52, LAYER_GAP = 110, ROW_GAP = 28, MARGIN = 24;
const CURVE_COLOURS = ["#2b6cb0", "#c05621", "#2f855a", "#805ad5", "#b83280", "#2c7a7b", "#975a16", "#4a5568"];

const token = new URLSearchParams(location.search).get("token");
const $ = (id) => document.getElementById(id);
let graphKey = null;
let nodeViews = [];
let current = null;

function el(tag, attrs, text) {
  const node = tag.startsWith("svg:") ? document.createElementNS(SVG_NS, tag.slice(4)) : document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, v);
  if (text !== undefined) node.textContent = text;
  return node;
}

function fmtNumber(x, digits) {
  return x === null || x === undefined ? "–" : Number(x).toFixed(digits);
}

function fmtElapsed(s) {
  if (s === null || s === undefined) return "–";
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60), sec = s % 60;
  return (h ? h + ":" + String(m).padStart(2, "0") : m) + ":" + sec.toFixed(1).padStart(4, "0");
}

function clock(date) {
  const two = (n) => String(n).padStart(2, "0");
  return `${two(date.getHours())}:${two(date.getMinutes())}:${two(date.getSeconds())}.${String(date.getMilliseconds()).padStart(3, "0")}`;
}

function setBadge(node, text) {
  node.textContent = text;
  node.className = "badge " + text;
}

// --- graph --------------------------------------------------------------------------------

function layers(snapshot) {
  const n = snapshot.elements.length;
  const depth = new Array(n).fill(0);
  // Longest path from the sources; bounded so that a cycle cannot loop forever.
  for (let pass = 0; pass < n; pass++) {
    let changed = false;
    for (const link of snapshot.links) {
      const [a, b] = [link.from[0], link.to[0]];
      if (depth[b] < depth[a] + 1) { depth[b] = depth[a] + 1; changed = true; }
    }
    if (!changed) break;
  }
  const columns = [];
  depth.forEach((d, i) => { (columns[d] = columns[d] || []).push(i); });
  return columns.filter(Boolean);
}

function nodeHeight(e) {
  return NODE_HEAD + Math.max(e.inputs.length, e.outputs.length, 1) * PORT_STEP;
}

function structureKey(snapshot) {
  return JSON.stringify([
    snapshot.elements.map((e) => [e.name, e.members, e.inputs, e.outputs]),
    snapshot.links,
  ]);
}

function buildGraph(snapshot) {
  const svg = $("graph");
  svg.replaceChildren();
  const columns = layers(snapshot);
  const pos = [];
  let height = 0;
  columns.forEach((column, c) => {
    let y = MARGIN;
    for (const i of column) {
      pos[i] = { x: MARGIN + c * (NODE_W + LAYER_GAP), y };
      y += nodeHeight(snapshot.elements[i]) + ROW_GAP;
    }
    height = Math.max(height, y);
  });
  const width = MARGIN * 2 + columns.length * NODE_W + Math.max(columns.length - 1, 0) * LAYER_GAP;
  svg.setAttribute("width", width);
  svg.setAttribute("height", Math.max(height, 80));
  svg.setAttribute("viewBox", `0 0 ${width} ${Math.max(height, 80)}`);

  const portAt = (i, side, name) => {
    const e = snapshot.elements[i];
    const list = side === "in" ? e.inputs : e.outputs;
    const k = list.findIndex((p) => p.name === name);
    return { x: pos[i].x + (side === "in" ? 0 : NODE_W), y: pos[i].y + NODE_HEAD + k * PORT_STEP + 4 };
  };
  const edges = el("svg:g", { class: "edges" });
  for (const link of snapshot.links) {
    const a = portAt(link.from[0], "out", link.from[1]);
    const b = portAt(link.to[0], "in", link.to[1]);
    const bend = Math.max(40, Math.abs(b.x - a.x) / 2);
    const path = el("svg:path", {
      class: "edge " + link.timing,
      d: `M${a.x},${a.y} C${a.x + bend},${a.y} ${b.x - bend},${b.y} ${b.x},${b.y}`,
    });
    path.appendChild(el("svg:title", {}, `${link.timing}: ${snapshot.elements[link.from[0]].name}.${link.from[1]} → ${snapshot.elements[link.to[0]].name}.${link.to[1]}`));
    edges.appendChild(path);
  }
  svg.appendChild(edges);

  nodeViews = snapshot.elements.map((e, i) => {
    const g = el("svg:g", { class: "node", "data-name": e.name, transform: `translate(${pos[i].x},${pos[i].y})` });
    g.appendChild(el("svg:rect", { class: "box", width: NODE_W, height: nodeHeight(e), rx: 6 }));
    g.appendChild(el("svg:text", { class: "title", x: 10, y: 17 }, e.name));
    const mark = el("svg:text", { class: "mark", x: NODE_W - 10, y: 17, "text-anchor": "end" }, "");
    g.appendChild(mark);
    const kind = e.members.length ? `${e.class}: ${e.members.join(" → ")}` : e.class;
    const line1 = el("svg:text", { class: "detail", x: 10, y: 32 }, kind);
    line1.appendChild(el("svg:title", {}, kind));
    const line2 = el("svg:text", { class: "detail", x: 10, y: 46 }, "");
    g.append(line1, line2);
    e.inputs.forEach((p, k) => {
      const y = NODE_HEAD + k * PORT_STEP + 4;
      const dot = el("svg:rect", { class: "port input " + p.timing, x: -5, y: y - 5, width: 10, height: 10 });
      dot.appendChild(el("svg:title", {}, `input ${p.name} (${p.timing}, ${p.type})`));
      g.append(dot, el("svg:text", { class: "port-name", x: 9, y: y + 4 }, p.name));
    });
    const outputs = {};
    e.outputs.forEach((p, k) => {
      const y = NODE_HEAD + k * PORT_STEP + 4;
      const dot = el("svg:circle", { class: "port output " + p.timing, cx: NODE_W, cy: y, r: 6, "data-port": p.name });
      dot.appendChild(el("svg:title", {}, `output ${p.name} (${p.timing}, ${p.type}): click to plot`));
      dot.addEventListener("click", () => choosePlot(e.name, p.name));
      outputs[p.name] = dot;
      g.append(dot, el("svg:text", { class: "port-name", x: NODE_W - 9, y: y + 4, "text-anchor": "end" }, p.name));
    });
    svg.appendChild(g);
    return { g, mark, line2, outputs };
  });
}

function updateGraph(snapshot) {
  const key = structureKey(snapshot);
  if (key !== graphKey) {
    buildGraph(snapshot);
    graphKey = key;
    fillPlotChoices(snapshot);
  }
  const plot = snapshot.plot;
  snapshot.elements.forEach((e, i) => {
    const view = nodeViews[i];
    const failed = e.condition === "Error";
    view.g.setAttribute("class", "node" + (failed ? " failed" : e.condition === "Warning" ? " warning" : e.state === "Running" ? " running" : ""));
    view.g.setAttribute("data-state", e.state);
    view.g.setAttribute("data-condition", e.condition);
    view.mark.textContent = failed ? "✕ failed" : "";
    const backlog = e.backlog === null ? "" : ` · backlog ${e.backlog}`;
    view.line2.textContent = `${e.state} · ${fmtNumber(e.fps, 1)} fps${backlog}`;
    for (const [name, dot] of Object.entries(view.outputs)) {
      const chosen = plot && plot.element === i && plot.port === name;
      dot.classList.toggle("chosen", Boolean(chosen));
    }
  });
}

// --- tables -------------------------------------------------------------------------------

function updateElements(snapshot) {
  const body = $("elements").tBodies[0];
  const rows = snapshot.elements.map((e) => {
    const tr = el("tr", { "data-name": e.name, class: e.condition === "Error" ? "failed" : "" });
    tr.append(
      el("td", {}, e.name), el("td", {}, e.class), el("td", {}, e.state), el("td", {}, e.condition),
      el("td", { class: "num fps", "data-fps": e.fps }, fmtNumber(e.fps, 1)),
      el("td", { class: "num" }, String(e.counter)),
      el("td", { class: "num" }, e.backlog === null ? "–" : String(e.backlog)),
    );
    return tr;
  });
  body.replaceChildren(...rows);
}

function updateLog(snapshot) {
  const body = $("log").tBodies[0];
  const rows = snapshot.log.slice().reverse().map((entry) => {
    const tr = el("tr", { class: entry.type });
    const when = entry.time === null ? "" : clock(new Date(entry.time * 1000));
    const where = entry.summary ? ` (${entry.summary})` : "";
    tr.append(el("td", {}, when), el("td", {}, entry.type), el("td", {}, entry.instance || "–"),
      el("td", { class: "message" }, entry.message + where));
    return tr;
  });
  body.replaceChildren(...rows);
}

// --- plot ---------------------------------------------------------------------------------

function fillPlotChoices(snapshot) {
  const select = $("plot-port");
  const options = [el("option", { value: "" }, "(none)")];
  for (const e of snapshot.elements) {
    for (const p of e.outputs) {
      options.push(el("option", { value: JSON.stringify([e.name, p.name]) }, `${e.name}.${p.name}`));
    }
  }
  select.replaceChildren(...options);
}

async function post(path, body) {
  const headers = { "Content-Type": "application/json" };
  if (token) headers["X-Flowmesh-Token"] = token;
  const response = await fetch(path, { method: "POST", headers, body: JSON.stringify(body || {}), credentials: "same-origin" });
  if (!response.ok) $("monitor-error").textContent = `${path}: ${response.status} ${await response.text()}`;
  return response;
}

function choosePlot(node, port) {
  post("/api/plot", { node, port });
}

function drawPlot(snapshot) {
  const canvas = $("plot");
  const plot = snapshot.plot;
  const select = $("plot-port");
  const chosen = plot ? JSON.stringify([plot.node, plot.port]) : "";
  if (select.value !== chosen && document.activeElement !== select) select.value = chosen;
  $("plot-note").textContent = plot ? (plot.note || (plot.kind === "series" ? "latest values" : "latest frame")) : "";
  const ratio = window.devicePixelRatio || 1;
  const w = canvas.clientWidth, h = canvas.clientHeight;
  if (canvas.width !== Math.round(w * ratio)) { canvas.width = Math.round(w * ratio); canvas.height = Math.round(h * ratio); }
  const ctx = canvas.getContext("2d");
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.clearRect(0, 0, w, h);
  if (!plot) {
    ctx.fillStyle = "#6b7482";
    ctx.fillText("Choose an output port to plot.", 12, 20);
    return;
  }
  let lo = Infinity, hi = -Infinity, longest = 0;
  for (const curve of plot.curves) {
    longest = Math.max(longest, curve.length);
    for (const v of curve) if (v !== null) { lo = Math.min(lo, v); hi = Math.max(hi, v); }
  }
  if (!isFinite(lo)) return;
  if (hi === lo) { hi += 1; lo -= 1; }
  const pad = 28, left = 52;
  const x = (k) => left + (k / Math.max(longest - 1, 1)) * (w - left - 8);
  const y = (v) => h - pad - ((v - lo) / (hi - lo)) * (h - 2 * pad);
  ctx.strokeStyle = "#d9dde3"; ctx.fillStyle = "#6b7482"; ctx.lineWidth = 1;
  for (const v of [lo, (lo + hi) / 2, hi]) {
    ctx.beginPath(); ctx.moveTo(left, y(v)); ctx.lineTo(w - 8, y(v)); ctx.stroke();
    ctx.fillText(Number(v.toPrecision(3)).toString(), 4, y(v) + 4);
  }
  plot.curves.forEach((curve, c) => {
    ctx.strokeStyle = CURVE_COLOURS[c % CURVE_COLOURS.length]; ctx.lineWidth = 1.5;
    ctx.beginPath();
    let pen = false;
    curve.forEach((v, k) => {
      if (v === null) { pen = false; return; }
      if (pen) ctx.lineTo(x(k), y(v)); else { ctx.moveTo(x(k), y(v)); pen = true; }
    });
    ctx.stroke();
  });
}

// --- the stream ---------------------------------------------------------------------------

function render(snapshot) {
  current = snapshot;
  const p = snapshot.pipeline;
  setBadge($("pipeline-state"), p.state);
  setBadge($("pipeline-condition"), p.condition);
  $("elapsed").textContent = fmtElapsed(p.elapsed);
  $("backlog").textContent = String(p.backlog);
  const failure = $("failure");
  failure.hidden = !snapshot.failure;
  $("failure-text").textContent = snapshot.failure ? snapshot.failure.banner : "";
  $("controls").hidden = !snapshot.control;
  updateGraph(snapshot);
  updateElements(snapshot);
  updateLog(snapshot);
  drawPlot(snapshot);
  $("monitor-error").textContent = snapshot.monitor_error ? "monitor: " + snapshot.monitor_error : "";
  document.body.dataset.sequence = snapshot.sequence;
}

function connect() {
  const url = "/api/events" + (token ? "?token=" + encodeURIComponent(token) : "");
  const stream = new EventSource(url);
  stream.addEventListener("open", () => { $("link").textContent = "live"; $("link").className = "badge link-up"; });
  stream.addEventListener("error", () => { $("link").textContent = "reconnecting"; $("link").className = "badge link-down"; });
  stream.addEventListener("snapshot", (event) => render(JSON.parse(event.data)));
}

document.addEventListener("DOMContentLoaded", () => {
  $("plot-port").addEventListener("change", (event) => {
    const value = event.target.value;
    if (value) { const [node, port] = JSON.parse(value); choosePlot(node, port); } else post("/api/plot", { node: null });
  });
  $("start").addEventListener("click", () => post("/api/start"));
  $("stop").addEventListener("click", () => post("/api/stop"));
  window.addEventListener("resize", () => { if (current) drawPlot(current); });
  connect();
});
