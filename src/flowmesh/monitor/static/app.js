// The monitor page: subscribes to the snapshot stream and draws it.
"use strict";

const SVG_NS = "http://www.w3.org/2000/svg";
const NODE_W = 230, PORT_STEP = 18, NODE_HEAD = 52, LAYER_GAP = 110, ROW_GAP = 28, MARGIN = 24;
const CURVE_COLOURS = ["#2b6cb0", "#c05621", "#2f855a", "#805ad5", "#b83280", "#2c7a7b", "#975a16", "#4a5568"];

const token = new URLSearchParams(location.search).get("token");
const $ = (id) => document.getElementById(id);
let graphKey = null;
let nodeViews = [];
let edgeLabels = [];
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

function fmtRate(x) {
  if (x === null || x === undefined) return "–";
  return x >= 10000 ? (x / 1000).toFixed(0) + "k" : x >= 1000 ? (x / 1000).toFixed(1) + "k" : x.toFixed(0);
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

// The whole graph fits the panel's width (never wider than drawn at full
// size, never taller than GRAPH_MAX_H); the wheel zooms about the pointer,
// dragging pans, and "fit" goes back.
const GRAPH_MAX_H = 420;
let graphBox = { w: 100, h: 80 };
let view = null;  // {x, y, w, h}: the part of the graph shown

function fitGraph() {
  const svg = $("graph");
  const room = svg.parentElement.clientWidth || graphBox.w;
  const scale = Math.min(1, room / graphBox.w, GRAPH_MAX_H / graphBox.h);
  svg.setAttribute("width", Math.round(graphBox.w * scale));
  svg.setAttribute("height", Math.round(graphBox.h * scale));
  view = { x: 0, y: 0, w: graphBox.w, h: graphBox.h };
  applyView();
}

function applyView() {
  $("graph").setAttribute("viewBox", `${view.x} ${view.y} ${view.w} ${view.h}`);
}

function zoomGraph(factor, cx, cy) {
  const w = Math.min(graphBox.w * 4, Math.max(graphBox.w / 8, view.w * factor));
  const h = view.h * (w / view.w);
  view = { x: cx - (cx - view.x) * (w / view.w), y: cy - (cy - view.y) * (h / view.h), w, h };
  applyView();
}

function graphPoint(event) {
  const r = $("graph").getBoundingClientRect();
  return [view.x + ((event.clientX - r.left) / r.width) * view.w, view.y + ((event.clientY - r.top) / r.height) * view.h];
}

function installGraphControls() {
  const svg = $("graph");
  svg.addEventListener("wheel", (event) => {
    event.preventDefault();
    const [cx, cy] = graphPoint(event);
    zoomGraph(event.deltaY > 0 ? 1.15 : 1 / 1.15, cx, cy);
  }, { passive: false });
  let drag = null;
  svg.addEventListener("pointerdown", (event) => {
    if (event.target.closest(".port")) return;
    drag = { x: event.clientX, y: event.clientY, view: { ...view } };
  });
  window.addEventListener("pointermove", (event) => {
    if (!drag) return;
    const r = svg.getBoundingClientRect();
    view = { ...drag.view, x: drag.view.x - ((event.clientX - drag.x) / r.width) * view.w, y: drag.view.y - ((event.clientY - drag.y) / r.height) * view.h };
    applyView();
  });
  window.addEventListener("pointerup", () => { drag = null; });
  $("graph-fit").addEventListener("click", fitGraph);
  $("graph-in").addEventListener("click", () => zoomGraph(1 / 1.4, view.x + view.w / 2, view.y + view.h / 2));
  $("graph-out").addEventListener("click", () => zoomGraph(1.4, view.x + view.w / 2, view.y + view.h / 2));
}

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
  graphBox = { w: width, h: Math.max(height, 80) };
  fitGraph();

  const portAt = (i, side, name) => {
    const e = snapshot.elements[i];
    const list = side === "in" ? e.inputs : e.outputs;
    const k = list.findIndex((p) => p.name === name);
    return { x: pos[i].x + (side === "in" ? 0 : NODE_W), y: pos[i].y + NODE_HEAD + k * PORT_STEP + 4 };
  };
  const edges = el("svg:g", { class: "edges" });
  edgeLabels = [];
  for (const link of snapshot.links) {
    const a = portAt(link.from[0], "out", link.from[1]);
    const b = portAt(link.to[0], "in", link.to[1]);
    const bend = Math.max(40, Math.abs(b.x - a.x) / 2);
    const path = el("svg:path", {
      class: "edge " + link.timing,
      d: `M${a.x},${a.y} C${a.x + bend},${a.y} ${b.x - bend},${b.y} ${b.x},${b.y}`,
    });
    path.appendChild(el("svg:title", {}, `${link.timing}: ${snapshot.elements[link.from[0]].name}.${link.from[1]} → ${snapshot.elements[link.to[0]].name}.${link.to[1]}`));
    const label = el("svg:text", { class: "edge-label", x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 - 5, "text-anchor": "middle" }, "");
    edges.append(path, label);
    edgeLabels.push(label);
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
  snapshot.links.forEach((link, k) => {
    const label = edgeLabels[k];
    if (!label) return;
    const parts = [];
    if (link.queued) parts.push(`${link.queued} queued`);
    if (link.dropped) parts.push(`${link.dropped} dropped`);
    label.textContent = parts.join(" · ");
    label.classList.toggle("lossy", Boolean(link.dropped));
  });
  const plot = snapshot.plot;
  snapshot.elements.forEach((e, i) => {
    const view = nodeViews[i];
    const failed = e.condition === "Error";
    view.g.setAttribute("class", "node" + (failed ? " failed" : e.condition === "Warning" ? " warning" : e.state === "Running" ? " running" : ""));
    view.g.setAttribute("data-state", e.state);
    view.g.setAttribute("data-condition", e.condition);
    view.mark.textContent = failed ? "✕ failed" : "";
    const parts = [e.state, `${fmtNumber(e.fps, 1)} fps`];
    if (e.samples_per_second) parts.push(`${fmtRate(e.samples_per_second)} S/s`);
    if (e.busy !== null && e.busy !== undefined) parts.push(`${fmtNumber(e.busy * 100, 1)}% cpu`);
    const dropped = e.inputs.reduce((n, p) => n + (p.dropped || 0), 0);
    if (dropped) parts.push(`${dropped} dropped`);
    view.line2.textContent = parts.join(" · ");
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
      el("td", { class: "num sps" }, fmtRate(e.samples_per_second)),
      el("td", { class: "num busy" }, e.busy === null ? "–" : fmtNumber(e.busy * 100, 1) + "%"),
      el("td", { class: "num latency" }, e.latency === null ? "–" : fmtNumber(e.latency * 1000, 1)),
      el("td", { class: "num dropped" }, String(e.inputs.reduce((n, p) => n + (p.dropped || 0), 0))),
      el("td", { class: "num queued" }, queueFill(e)),
    );
    return tr;
  });
  body.replaceChildren(...rows);
}

function queueFill(e) {
  if (!e.inputs.length) return "–";
  const most = Math.max(...e.inputs.map((p) => p.queued || 0));
  return e.queue_bound ? `${most}/${e.queue_bound}` : String(most);
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

// The trace comes as binary columns (the min and max of each channel over
// window/1000 seconds), fetched after each snapshot from the column the page
// last had; it is drawn into an ImageData, a channel per lane, scrolling
// with the clock between snapshots.
const LABEL_W = 74, AXIS_H = 20, MARKER_H = 16;
// Columns come pushed ahead of each snapshot; a page asks for them only to
// catch up (opened, resumed, or an update it missed), then `stale` is false.
const trace = { generation: -1, channels: 0, dt: 0.01, columns: new Map(), last: null, fetching: false, stale: true };
const plotState = { paused: false, scale: "channel", serverNow: null, receivedAt: 0, epochs: null, epochsSeq: -1, drawn: 0, fps: 0, fpsSince: 0 };

function fillPlotChoices(snapshot) {
  const options = [el("option", { value: "" }, "(none)")];
  const markers = [el("option", { value: "" }, "(no markers)")];
  for (const e of snapshot.elements) {
    for (const p of e.outputs) {
      const value = JSON.stringify([e.name, p.name]);
      options.push(el("option", { value }, `${e.name}.${p.name}`));
      markers.push(el("option", { value }, `${e.name}.${p.name}`));
    }
  }
  $("plot-port").replaceChildren(...options);
  $("marker-port").replaceChildren(...markers);
}

async function post(path, body) {
  const headers = { "Content-Type": "application/json" };
  if (token) headers["X-Flowmesh-Token"] = token;
  const response = await fetch(path, { method: "POST", headers, body: JSON.stringify(body || {}), credentials: "same-origin" });
  if (!response.ok) $("monitor-error").textContent = `${path}: ${response.status} ${await response.text()}`;
  return response;
}

function get(path) {
  const headers = token ? { "X-Flowmesh-Token": token } : {};
  return fetch(path, { headers, credentials: "same-origin" });
}

function plotRequest(node, port) {
  const body = { node, port, window: Number($("plot-window").value) };
  const markers = $("marker-port").value;
  body.markers = markers ? JSON.parse(markers) : null;
  const field = $("plot-field").value;
  if (field) body.field = field;
  return body;
}

function choosePlot(node, port) {
  $("plot-field").value = "";
  post("/api/plot", plotRequest(node, port));
}

function installPlotControls() {
  const again = () => {
    const value = $("plot-port").value;
    if (value) { const [node, port] = JSON.parse(value); post("/api/plot", plotRequest(node, port)); } else post("/api/plot", { node: null });
  };
  $("plot-port").addEventListener("change", () => { $("plot-field").value = ""; again(); });
  $("marker-port").addEventListener("change", again);
  $("plot-window").addEventListener("change", again);
  $("plot-field").addEventListener("change", again);
  $("plot-scale").addEventListener("change", (event) => { plotState.scale = event.target.value; });
  $("plot-pause").addEventListener("click", () => {
    plotState.paused = !plotState.paused;
    $("plot-pause").textContent = plotState.paused ? "Resume" : "Pause";
    $("plot-pause").setAttribute("aria-pressed", String(plotState.paused));
  });
}

function updatePlot(snapshot) {
  const plot = snapshot.plot;
  const chosen = plot ? JSON.stringify([plot.node, plot.port]) : "";
  const select = $("plot-port");
  if (select.value !== chosen && document.activeElement !== select) select.value = chosen;
  const markerChoice = plot && plot.markers ? JSON.stringify([plot.markers.node, plot.markers.port]) : "";
  if ($("marker-port").value !== markerChoice && document.activeElement !== $("marker-port")) $("marker-port").value = markerChoice;
  const fields = $("plot-field");
  const wanted = plot && plot.fields.length ? plot.fields : [];
  if (fields.options.length !== wanted.length || [...fields.options].some((o, k) => o.value !== wanted[k])) {
    fields.replaceChildren(...wanted.map((f) => el("option", { value: f }, f)));
  }
  fields.hidden = !wanted.length;
  if (plot && plot.field && document.activeElement !== fields) fields.value = plot.field;
  let note = "";
  if (plot) {
    const kind = plot.kind === "trace" ? "trace" : plot.kind === "epochs" ? "epochs" : plot.kind === "events" ? "events" : "waiting for data";
    note = plot.note || kind;
    if (plot.count !== null) note += ` · ${plot.count} counted`;
    if (plot.rate) note += ` · ${plot.rate} Hz`;
    if (plot.skipped) note += ` · ${plot.skipped} values not drawn (faster than the plot takes them)`;
  }
  $("plot-note").textContent = note;
  const canvas = $("plot");
  canvas.dataset.kind = plot ? plot.kind || "" : "";
  $("events").hidden = !(plot && plot.kind === "events");
  canvas.hidden = Boolean(plot && plot.kind === "events");
  if (plot && plot.kind === "events") showEvents(plot);
  if (plotState.paused) return;
  plotState.serverNow = plot ? plot.now ?? null : null;
  plotState.receivedAt = performance.now();
  plotState.plot = plot;
  if (plot && plot.kind === "trace" && (trace.stale || plot.generation !== trace.generation ||
      trace.node !== plot.node || trace.port !== plot.port)) fetchTrace(plot);
  if (plot && plot.kind === "epochs" && plot.epochs !== plotState.epochsSeq) fetchEpochs(plot);
}

async function fetchTrace(plot) {
  if (trace.fetching) return;
  if (plot.generation !== trace.generation || trace.node !== plot.node || trace.port !== plot.port) {
    trace.node = plot.node; trace.port = plot.port;
    trace.generation = plot.generation; trace.columns.clear(); trace.last = null;
  }
  if (plot.last === null || plot.last === undefined) return;
  const from = trace.last === null ? plot.last - 1000 : trace.last;  // the open column again
  trace.fetching = true;
  try {
    const response = await get(`/api/trace?from=${from}`);
    if (response.status !== 200) return;  // 204: the plot changed meanwhile
    if (takeColumns(await response.arrayBuffer(), true)) trace.stale = false;
  } catch (error) {
    $("monitor-error").textContent = "trace: " + error;
  } finally {
    trace.fetching = false;
  }
}

// A binary trace reply into `trace`. Pushed columns are taken only where they
// continue what the page has (or hold a whole window); otherwise it is stale.
function takeColumns(buffer, fetched) {
  if (buffer.byteLength < 32) return false;
  const head = new DataView(buffer, 0, 32);
  const magic = String.fromCharCode(...new Uint8Array(buffer, 0, 4));
  if (magic !== "FMT1") return false;
  const generation = head.getUint32(4, true), channels = head.getUint32(8, true), count = head.getUint32(12, true);
  const first = Number(head.getBigInt64(16, true)), dt = head.getFloat64(24, true);
  const whole = count >= 1000;
  if (!fetched && !whole && (generation !== trace.generation || trace.last === null || first > trace.last + 1)) {
    trace.stale = true;
    return false;
  }
  if (generation !== trace.generation) { trace.generation = generation; trace.columns.clear(); trace.last = null; }
  trace.channels = channels; trace.dt = dt;
  const values = new Float32Array(buffer.slice(32, 32 + count * channels * 8));
  for (let k = 0; k < count; k++) trace.columns.set(first + k, values.subarray(k * channels * 2, (k + 1) * channels * 2));
  if (count) trace.last = Math.max(trace.last ?? -Infinity, first + count - 1);
  for (const b of trace.columns.keys()) { if (b < trace.last - 1000) trace.columns.delete(b); else break; }
  return true;
}

function pushedTrace(data) {
  if (plotState.paused || trace.fetching) { trace.stale = true; return; }
  const text = atob(data);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
  if (takeColumns(bytes.buffer, false) && trace.node !== undefined) trace.stale = false;
}

async function fetchEpochs(plot) {
  const response = await get("/api/epochs");
  if (response.status !== 200) return;
  plotState.epochs = await response.json();
  plotState.epochsSeq = plotState.epochs.sequence;
}

function showEvents(plot) {
  const list = $("events");
  list.replaceChildren(...plot.events.map((e) => {
    const li = el("li");
    li.append(el("time", {}, clock(new Date(e.time * 1000))), " ", el("span", {}, e.text));
    return li;
  }));
}

function sizeCanvas(canvas, lanes) {
  const h = Math.max(240, Math.min(760, lanes * 16 + AXIS_H + MARKER_H));
  if (canvas.style.height !== h + "px") canvas.style.height = h + "px";
  const w = canvas.clientWidth;
  if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
  return [w, h];
}

function frame(now) {
  requestAnimationFrame(frame);
  const canvas = $("plot");
  const plot = plotState.plot;
  if (!plot || canvas.hidden) {
    if (!plot && canvas.dataset.empty !== "1") {
      const [w, h] = sizeCanvas(canvas, 0);
      const ctx = canvas.getContext("2d");
      ctx.clearRect(0, 0, w, h);
      ctx.fillStyle = "#6b7482";
      ctx.fillText("Choose an output port to plot.", 12, 20);
      canvas.dataset.empty = "1";
    }
    return;
  }
  canvas.dataset.empty = "";
  if (plot.kind === "trace") drawTrace(canvas, plot, now);
  else if (plot.kind === "epochs") drawEpochs(canvas, plot);
  plotState.drawn++;
  if (now - plotState.fpsSince >= 1000) {
    plotState.fps = (plotState.drawn * 1000) / (now - plotState.fpsSince);
    plotState.drawn = 0; plotState.fpsSince = now;
    document.body.dataset.drawRate = plotState.fps.toFixed(1);
  }
}

function laneRanges(lo, hi, channels) {
  if (plotState.scale === "global") {
    let a = Infinity, b = -Infinity;
    for (let c = 0; c < channels; c++) { if (lo[c] < a) a = lo[c]; if (hi[c] > b) b = hi[c]; }
    lo.fill(a); hi.fill(b);
  }
  for (let c = 0; c < channels; c++) {
    if (!isFinite(lo[c]) || !isFinite(hi[c])) { lo[c] = -1; hi[c] = 1; }
    if (hi[c] === lo[c]) { hi[c] += 1; lo[c] -= 1; }
    const pad = (hi[c] - lo[c]) * 0.05; lo[c] -= pad; hi[c] += pad;
  }
}

function drawTrace(canvas, plot, now) {
  const channels = trace.channels;
  const [w, h] = sizeCanvas(canvas, channels);
  const ctx = canvas.getContext("2d");
  const window_ = plot.window, dt = trace.dt;
  // The right edge follows the server's clock, a little behind so the newest
  // (still filling) column does not flicker.
  const elapsed = plotState.paused ? 0 : (now - plotState.receivedAt) / 1000;
  const right = (plotState.serverNow ?? 0) + Math.min(elapsed, 1) - 0.1;
  const left = right - window_;
  const plotW = w - LABEL_W - 6, top = MARKER_H, laneH = (h - top - AXIS_H) / Math.max(channels, 1);
  // One image per canvas size, cleared and refilled every frame.
  const imageH0 = Math.max(1, Math.round(h - top - AXIS_H));
  if (!plotState.image || plotState.image.width !== plotW || plotState.image.height !== imageH0) {
    plotState.image = ctx.createImageData(plotW, imageH0);
    plotState.pixels = new Uint32Array(plotState.image.data.buffer);
  }
  const image = plotState.image, pixels = plotState.pixels;
  pixels.fill(0);
  const lo = new Float64Array(channels).fill(Infinity), hi = new Float64Array(channels).fill(-Infinity);
  const first = Math.floor(left / dt), last = Math.ceil(right / dt);
  for (let b = first; b <= last; b++) {
    const col = trace.columns.get(b);
    if (!col) continue;
    for (let c = 0; c < channels; c++) {
      const a = col[2 * c], z = col[2 * c + 1];
      if (a < lo[c]) lo[c] = a;
      if (z > hi[c]) hi[c] = z;
    }
  }
  laneRanges(lo, hi, channels);
  const colours = [0xffb06c2b, 0xff2156c0, 0xff4c852f];  // ABGR: blue, orange, green
  const imageH = image.height;
  const prevLo = new Float64Array(channels).fill(NaN), prevHi = new Float64Array(channels).fill(NaN);
  for (let b = first; b <= last; b++) {
    const col = trace.columns.get(b);
    if (!col) { prevLo.fill(NaN); prevHi.fill(NaN); continue; }
    const x0 = Math.max(0, Math.floor(((b * dt - left) / window_) * plotW));
    const x1 = Math.min(plotW, Math.max(x0 + 1, Math.floor((((b + 1) * dt - left) / window_) * plotW)));
    if (x0 >= plotW || x1 <= 0) continue;
    for (let c = 0; c < channels; c++) {
      let a = col[2 * c], z = col[2 * c + 1];
      if (!(a <= z)) { prevLo[c] = NaN; continue; }
      // Joined to the previous column, so that a steep stretch stays one line.
      const pa = prevLo[c], pz = prevHi[c];
      prevLo[c] = a; prevHi[c] = z;
      if (pa === pa) { if (pz < a) a = pz; if (pa > z) z = pa; }
      const span = hi[c] - lo[c], base = c * laneH;
      let y0 = Math.round(base + laneH * (1 - (z - lo[c]) / span)), y1 = Math.round(base + laneH * (1 - (a - lo[c]) / span));
      if (y0 < 0) y0 = 0;
      if (y1 >= imageH) y1 = imageH - 1;
      const colour = colours[c % colours.length];
      for (let x = x0; x < x1; x++) for (let y = y0; y <= y1; y++) pixels[y * plotW + x] = colour;
    }
  }
  ctx.clearRect(0, 0, w, h);
  ctx.fillStyle = "#fcfcfd"; ctx.fillRect(0, 0, w, h);
  ctx.strokeStyle = "#e6e9ee"; ctx.lineWidth = 1;
  for (let c = 1; c < channels; c++) { const y = Math.round(top + c * laneH) + 0.5; ctx.beginPath(); ctx.moveTo(LABEL_W, y); ctx.lineTo(w, y); ctx.stroke(); }
  ctx.putImageData(image, LABEL_W, top);
  // Channel labels with their scale.
  const names = plot.channels || [];
  ctx.fillStyle = "#1d2430"; ctx.font = `${Math.max(8, Math.min(12, laneH - 1))}px system-ui, sans-serif`; ctx.textBaseline = "middle";
  const every = Math.max(1, Math.ceil(10 / laneH));
  for (let c = 0; c < channels; c += every) ctx.fillText(names[c] || `ch${c + 1}`, 4, top + (c + 0.5) * laneH);
  ctx.textBaseline = "alphabetic"; ctx.font = "11px system-ui, sans-serif"; ctx.fillStyle = "#6b7482";
  if (channels) {
    const unit = plot.unit ? " " + plot.unit : "";
    const range = plotState.scale === "global" ? `lane ${Number((hi[0] - lo[0]).toPrecision(3))}${unit}` : `per-channel scale${unit ? ` (${plot.unit})` : ""}`;
    ctx.fillText(range, 4, top - 4);
  }
  // Time axis: seconds before now.
  const stepS = window_ > 20 ? 5 : window_ > 5 ? 1 : 0.5;
  ctx.textAlign = "center";
  for (let s = 0; s <= window_ + 1e-9; s += stepS) {
    const x = LABEL_W + ((window_ - s) / window_) * plotW;
    ctx.strokeStyle = "#d9dde3"; ctx.beginPath(); ctx.moveTo(x + 0.5, h - AXIS_H); ctx.lineTo(x + 0.5, h - AXIS_H + 4); ctx.stroke();
    ctx.fillText(s === 0 ? "now" : `-${s}s`, Math.min(w - 14, x), h - 6);
  }
  ctx.textAlign = "start";
  // Markers: labelled vertical lines at their times.
  const drawn = [];
  if (plot.markers) {
    ctx.strokeStyle = "#c53030"; ctx.fillStyle = "#c53030"; ctx.font = "11px system-ui, sans-serif";
    let free = -Infinity;  // where the next label may start without covering the last
    for (const m of plot.markers.items) {
      const t = (plot.now ?? 0) + m.t;
      if (t < left || t > right + 0.1) continue;
      const x = Math.round(LABEL_W + ((t - left) / window_) * plotW) + 0.5;
      ctx.beginPath(); ctx.moveTo(x, top - 2); ctx.lineTo(x, h - AXIS_H); ctx.stroke();
      if (x + 3 >= free) { ctx.fillText(m.label, x + 3, top - 4); free = x + 3 + ctx.measureText(m.label).width + 4; }
      drawn.push(m.label);
    }
  }
  canvas.dataset.channels = JSON.stringify(names.slice(0, channels));
  canvas.dataset.markers = JSON.stringify(drawn);
  canvas.dataset.columns = String(trace.columns.size);
  canvas.dataset.last = String(trace.last);
}

function drawEpochs(canvas, plot) {
  const data = plotState.epochs;
  const epochs = data ? data.epochs : [];
  const channels = epochs.length ? epochs[epochs.length - 1].length : 0;
  const [w, h] = sizeCanvas(canvas, channels);
  const ctx = canvas.getContext("2d");
  ctx.clearRect(0, 0, w, h);
  ctx.fillStyle = "#fcfcfd"; ctx.fillRect(0, 0, w, h);
  if (!channels) return;
  const times = data.times, n = times.length;
  const plotW = w - LABEL_W - 6, top = MARKER_H, laneH = (h - top - AXIS_H) / channels;
  const t0 = times[0], t1 = times[n - 1] === t0 ? t0 + 1 : times[n - 1];
  const x = (t) => LABEL_W + ((t - t0) / (t1 - t0)) * plotW;
  const lo = new Float64Array(channels).fill(Infinity), hi = new Float64Array(channels).fill(-Infinity);
  for (const epoch of epochs) epoch.forEach((curve, c) => { for (const v of curve) if (v !== null) { if (v < lo[c]) lo[c] = v; if (v > hi[c]) hi[c] = v; } });
  laneRanges(lo, hi, channels);
  if (t0 < 0 && t1 > 0) { ctx.strokeStyle = "#a0aec0"; ctx.beginPath(); ctx.moveTo(x(0) + 0.5, top); ctx.lineTo(x(0) + 0.5, h - AXIS_H); ctx.stroke(); }
  epochs.forEach((epoch, k) => {
    const latest = k === epochs.length - 1;
    ctx.strokeStyle = latest ? "#2b6cb0" : `rgba(107, 116, 130, ${0.25 + 0.5 * (k / epochs.length)})`;
    ctx.lineWidth = latest ? 1.6 : 1;
    epoch.forEach((curve, c) => {
      const span = hi[c] - lo[c], base = top + c * laneH;
      ctx.beginPath();
      let pen = false;
      curve.forEach((v, i) => {
        if (v === null) { pen = false; return; }
        const px = x(times[i]), py = base + laneH * (1 - (v - lo[c]) / span);
        if (pen) ctx.lineTo(px, py); else { ctx.moveTo(px, py); pen = true; }
      });
      ctx.stroke();
    });
  });
  const names = plot.channels || [];
  ctx.fillStyle = "#1d2430"; ctx.font = `${Math.max(8, Math.min(12, laneH - 1))}px system-ui, sans-serif`; ctx.textBaseline = "middle";
  for (let c = 0; c < channels; c++) ctx.fillText(names[c] || `ch${c + 1}`, 4, top + (c + 0.5) * laneH);
  ctx.textBaseline = "alphabetic"; ctx.fillStyle = "#6b7482"; ctx.font = "11px system-ui, sans-serif";
  ctx.fillText(`${t0.toFixed(2)} s`, LABEL_W, h - 6);
  ctx.textAlign = "end"; ctx.fillText(`${t1.toFixed(2)} s`, w - 6, h - 6); ctx.textAlign = "start";
  const title = plot.count !== null ? `${plot.field || "value"}: ${plot.count} epochs` : `latest ${epochs.length} overlaid`;
  ctx.fillText(title, LABEL_W + 4, top - 4);
  canvas.dataset.channels = JSON.stringify(names.slice(0, channels));
  canvas.dataset.epochs = String(epochs.length);
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
  updatePlot(snapshot);
  $("monitor-error").textContent = snapshot.monitor_error ? "monitor: " + snapshot.monitor_error : "";
  document.body.dataset.sequence = snapshot.sequence;
}

function connect() {
  const url = "/api/events" + (token ? "?token=" + encodeURIComponent(token) : "");
  const stream = new EventSource(url);
  stream.addEventListener("open", () => { $("link").textContent = "live"; $("link").className = "badge link-up"; });
  stream.addEventListener("error", () => { $("link").textContent = "reconnecting"; $("link").className = "badge link-down"; });
  stream.addEventListener("trace", (event) => pushedTrace(event.data));
  stream.addEventListener("snapshot", (event) => render(JSON.parse(event.data)));
}

document.addEventListener("DOMContentLoaded", () => {
  installPlotControls();
  installGraphControls();
  $("start").addEventListener("click", () => post("/api/start"));
  $("stop").addEventListener("click", () => post("/api/stop"));
  window.addEventListener("resize", fitGraph);
  connect();
  requestAnimationFrame(frame);
});
