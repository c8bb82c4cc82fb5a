#include "tools/jwgate/http/status_page.h"

#include <fstream>
#include <sstream>

namespace jwgate {

std::string ChartScript() {
    // The file's name changed between the library's versions.
    for (const char* path : {"/usr/share/javascript/chart.js/chart.umd.js", "/usr/share/javascript/chart.js/chart.min.js"}) {
        std::ifstream file(path, std::ios::binary);
        if (!file) continue;
        std::ostringstream script;
        script << file.rdbuf();
        return script.str();
    }
    return {};
}

const char kStatusPage[] = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>jwgate</title>
<style>
  body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #222; background: #fafafa; }
  h1 { font-size: 1.3em; margin: 0 0 .2em; }
  h2 { font-size: 1.05em; margin: 1.4em 0 .4em; }
  #summary { color: #555; }
  table { border-collapse: collapse; background: #fff; }
  th, td { padding: .25em .8em; border-bottom: 1px solid #e4e4e4; text-align: left; }
  th { background: #f0f0f0; font-weight: 600; }
  td.num { text-align: right; font-variant-numeric: tabular-nums; }
  .good { color: #176b2c; } .bad { color: #b3261e; font-weight: 600; } .stale { color: #9a6700; }
  .badge { display: inline-block; padding: 0 .5em; border-radius: .8em; color: #fff; }
  .badge.ok { background: #2e7d32; } .badge.failing { background: #c62828; }
  #counters td:first-child { color: #555; }
  #frames { font: 12px/1.35 ui-monospace, monospace; background: #1e1e1e; color: #ddd; padding: .6em; max-height: 22em; overflow: auto; }
  #frames .sent { color: #9cdcfe; } #frames .received { color: #ce9178; }
  #stale-note { color: #b3261e; }
  .columns { display: flex; flex-wrap: wrap; gap: 2em; }
  #points tbody tr { cursor: pointer; } #points tbody tr:hover { background: #eef3fb; }
  #trends { display: grid; grid-template-columns: repeat(auto-fill, minmax(260px, 1fr)); gap: .8em; }
  .trend { background: #fff; border: 1px solid #e4e4e4; padding: .3em .5em; cursor: pointer; }
  .trend:hover { border-color: #1565c0; }
  .trend .plot { position: relative; height: 70px; }
  #chart-panel { background: #fff; border: 1px solid #e4e4e4; padding: .5em 1em 1em; margin-top: 1em; }
  #chart-panel .plot { position: relative; height: 320px; }
  #chart-panel h2 { margin-top: .4em; }
  .note { color: #555; font-style: italic; }
</style>
</head>
<body>
<h1>jwgate <span id="health" class="badge">…</span></h1>
<div id="summary">waiting for the gateway…</div>
<div id="store"></div>
<div id="stale-note"></div>
<h2>Points</h2>
<table id="points"><thead><tr><th>Name</th><th>Address</th><th>Type</th><th>Value</th><th>Quality</th><th>Age</th></tr></thead><tbody></tbody></table>
<section id="chart-panel" hidden>
  <h2>History of <span id="chart-point"></span></h2>
  <form id="range">from <input type="datetime-local" id="from" step="1" required>
    to <input type="datetime-local" id="to" step="1" required> <button>Show</button> <a id="csv" download>CSV</a></form>
  <div id="chart-note" class="note"></div>
  <div class="plot" id="chart-plot" hidden><canvas id="chart"></canvas></div>
</section>
<h2>Last hour</h2>
<div id="trend-note" class="note"></div>
<div id="trends"></div>
<div class="columns">
  <div><h2>Line</h2><table id="counters"><tbody></tbody></table></div>
  <div><h2>Stations</h2><table id="stations"><thead><tr><th>Station</th><th>State</th><th>Last answer</th></tr></thead><tbody></tbody></table></div>
</div>
<div id="sparkplug-section" hidden><h2>Sparkplug B edge node</h2><table id="sparkplug"><tbody></tbody></table></div>
<h2>Last frames on the line (&lt; sent, &gt; received)</h2>
<div id="frames"></div>
<script src="/static/chart.js"></script>
<script>
"use strict";
const period = 200;
function cell(row, text, cls) {
  const td = row.insertCell();
  td.textContent = text;
  if (cls) td.className = cls;
  return td;
}
function age(seconds) {
  if (seconds === null || seconds === undefined) return "never";
  return seconds < 10 ? seconds.toFixed(1) + " s" : Math.round(seconds) + " s";
}
function fill(id, rows, draw) {
  const body = document.querySelector("#" + id + " tbody");
  const fresh = document.createElement("tbody");
  rows.forEach(item => draw(fresh.insertRow(), item));
  body.replaceWith(fresh);
}
function show(state) {
  const health = document.getElementById("health");
  health.textContent = state.healthy ? "ok" : "failing";
  health.className = "badge " + (state.healthy ? "ok" : "failing");
  document.getElementById("summary").textContent =
    "port " + state.port + (state.port_open ? " open" : " closed") + " · " + state.points.length + " points";
  fill("points", state.points, (row, p) => {
    row.dataset.point = p.name;
    cell(row, p.name);
    cell(row, p.address);
    cell(row, p.type);
    cell(row, p.value === null ? "—" : String(p.value) + (p.unit ? " " + p.unit : ""), "num value");
    cell(row, p.quality, p.quality);
    cell(row, age(p.age_s), "num");
  });
  const c = state.counters;
  fill("counters", [
    ["scans", c.scans], ["last scan", c.last_scan_ms.toFixed(1) + " ms"], ["longest scan", c.max_scan_ms.toFixed(1) + " ms"],
    ["exchanges", c.exchanges], ["failed exchanges", c.failures], ["no reply", c.no_reply],
    ["damaged reply", c.damaged_reply], ["refused by status", c.refused], ["writes", c.writes],
    ["failed writes", c.write_failures], ["dropped writes", c.writes_dropped]
  ], (row, [name, value]) => { cell(row, name); cell(row, String(value), "num"); });
  fill("stations", state.stations, (row, s) => {
    row.dataset.station = s.station;
    cell(row, s.station);
    cell(row, s.answering ? "answering" : "not answering", s.answering ? "good state" : "bad state");
    cell(row, age(s.last_answer_age_s), "num");
  });
  const sp = state.sparkplug;
  document.getElementById("sparkplug-section").hidden = !sp;
  if (sp) {
    fill("sparkplug", [
      ["node", sp.group_id + "/" + sp.edge_node_id], ["primary host", sp.primary_host_id || "none"],
      ["session", (sp.connected ? "connected" : "not connected") + (sp.born ? ", born" : "")], ["bdSeq", sp.bd_seq],
      ["births", sp.births], ["deaths", sp.deaths], ["commands", sp.commands], ["refused commands", sp.refused_commands],
      ["topics", sp.topics.join(" ")]
    ], (row, [name, value]) => { cell(row, name); cell(row, String(value)); });
  }
  const frames = document.getElementById("frames");
  frames.replaceChildren(...state.frames.map(f => {
    const line = document.createElement("div");
    line.className = f.direction === "<" ? "sent" : "received";
    line.textContent = f.time + " " + f.direction + " " + f.text;
    return line;
  }));
  frames.scrollTop = frames.scrollHeight;
  document.getElementById("stale-note").textContent = "";
  showStore(state.store);
  if (!trendsBegun) beginTrends(state.points.map(p => p.name));
}
function showStore(store) {
  const line = document.getElementById("store");
  if (!store) { line.textContent = ""; return; }
  let text = (store.persistent ? "store" : "memory queue") + ": " + (store.backlog === 0 ? "nothing unsent"
    : store.backlog + " message(s) unsent, the oldest " + age(store.backlog_age_s) + " old");
  if (store.dropped) text += " · " + store.dropped + " dropped";
  if (store.fault) text += " · " + store.fault;
  line.textContent = text;
  line.className = store.fault ? "bad" : "";
}

// Trends: each point's last hour, drawn from /api/history. The rows come
// page by page (a page's last time is the next one's start), and a trend
// asks only for what is newer than what it holds.
const hour = 3600 * 1000;
const pageRows = 10000;
const trendsShown = 24;
const trendPeriod = 10000;
const charts = typeof Chart === "function";
const trends = new Map();
let trendsBegun = false;
let trendsNote = "";
let detail = null;
function historyUrl(point, fromMs, toMs, extra) {
  return "/api/history?point=" + encodeURIComponent(point) + "&from=" + new Date(fromMs).toISOString() +
    "&to=" + new Date(toMs).toISOString() + (extra || "");
}
async function history(point, fromMs, toMs, pages) {
  let rows = [];
  for (let page = 0; page < pages; ++page) {
    const reply = await fetch(historyUrl(point, fromMs, toMs, "&limit=" + pageRows), {cache: "no-store"});
    const body = await reply.json();
    if (!reply.ok) throw new Error(body.error || "HTTP " + reply.status);
    rows = rows.concat(body.map(r => ({x: Date.parse(r.t), y: r.v, q: r.q})));
    if (body.length < pageRows) break;
    fromMs = rows[rows.length - 1].x + 1;
  }
  return rows;
}
// The value holds from one read to the next; a good last one holds until now.
function plotted(rows, untilMs) {
  const last = rows[rows.length - 1];
  return last && last.q === "good" && last.y !== null && last.x < untilMs ? rows.concat([{x: untilMs, y: last.y}]) : rows;
}
function timeLabel(ms, spanMs) {
  const when = new Date(ms);
  return spanMs > 86400000 ? when.toLocaleString() : when.toLocaleTimeString();
}
function lineChart(canvas, small) {
  return new Chart(canvas, {
    type: "line",
    data: {datasets: [{data: [], stepped: "after", borderColor: "#1565c0", borderWidth: small ? 1 : 1.5, pointRadius: 0}]},
    options: {
      animation: false, responsive: true, maintainAspectRatio: false, parsing: false,
      plugins: {legend: {display: false},
                tooltip: {callbacks: {title: items => new Date(items[0].parsed.x).toLocaleString()}}},
      scales: {
        x: {type: "linear", grid: {display: !small},
            ticks: {display: !small, maxTicksLimit: 8, callback: function (v) { return timeLabel(v, this.max - this.min); }}},
        y: {ticks: {maxTicksLimit: small ? 3 : 8}}
      }
    }
  });
}
function draw(chart, rows, fromMs, toMs) {
  chart.data.datasets[0].data = plotted(rows, toMs);
  chart.options.scales.x.min = fromMs;
  chart.options.scales.x.max = toMs;
  chart.update("none");
}
function beginTrends(names) {
  trendsBegun = true;
  const note = document.getElementById("trend-note");
  if (!charts) {
    note.textContent = "No charts: the gateway has no chart library to serve (install libjs-chart.js).";
    return;
  }
  if (names.length > trendsShown) {
    trendsNote = "The first " + trendsShown + " of " + names.length + " points; click any point for its chart.";
    note.textContent = trendsNote;
  }
  const box = document.getElementById("trends");
  names.slice(0, trendsShown).forEach(name => {
    const card = document.createElement("div");
    card.className = "trend";
    card.dataset.point = name;
    const title = document.createElement("div");
    title.textContent = name;
    const plot = document.createElement("div");
    plot.className = "plot";
    const canvas = document.createElement("canvas");
    plot.append(canvas);
    card.append(title, plot);
    card.addEventListener("click", () => openChart(name));
    box.append(card);
    trends.set(name, {rows: [], chart: lineChart(canvas, true)});
  });
  refreshTrends();
}
async function refreshTrends() {
  const note = document.getElementById("trend-note");
  try {
    for (const [name, trend] of trends) {
      const now = Date.now();
      const known = trend.rows.length ? trend.rows[trend.rows.length - 1].x + 1 : now - hour;
      trend.rows = trend.rows.concat(await history(name, known, now, 10));
      // The last row before the hour stays: it gives the level the hour starts at.
      const first = trend.rows.findIndex(r => r.x >= now - hour);
      trend.rows = first > 0 ? trend.rows.slice(first - 1) : trend.rows;
      draw(trend.chart, trend.rows, now - hour, now);
    }
    note.textContent = trendsNote;
  } catch (error) {
    note.textContent = "No trends: " + error.message + ".";
    if (error.message.includes("[store]")) {
      document.getElementById("trends").hidden = true;
      return;
    }
  }
  setTimeout(refreshTrends, trendPeriod);
}
function localInput(ms) {
  return new Date(ms - new Date(ms).getTimezoneOffset() * 60000).toISOString().slice(0, 19);
}
async function showChart() {
  const name = document.getElementById("chart-point").textContent;
  const fromMs = new Date(document.getElementById("from").value).getTime();
  const toMs = new Date(document.getElementById("to").value).getTime();
  const note = document.getElementById("chart-note");
  document.getElementById("csv").href = historyUrl(name, fromMs, toMs, "&format=csv&limit=100000");
  if (!charts) { note.textContent = "No chart: the gateway has no chart library to serve (install libjs-chart.js)."; return; }
  if (!(fromMs <= toMs)) { note.textContent = "The range's start is after its end."; return; }
  try {
    const rows = await history(name, fromMs, toMs, 10);
    note.textContent = rows.length + " value(s)";
    document.getElementById("chart-plot").hidden = false;
    detail = detail || lineChart(document.getElementById("chart"), false);
    draw(detail, rows, fromMs, Math.min(toMs, Date.now()));
  } catch (error) {
    note.textContent = "No history: " + error.message + ".";
  }
}
function openChart(name) {
  const now = Date.now();
  document.getElementById("chart-point").textContent = name;
  document.getElementById("from").value = localInput(now - hour);
  document.getElementById("to").value = localInput(now);
  const panel = document.getElementById("chart-panel");
  panel.hidden = false;
  panel.scrollIntoView({block: "nearest"});
  showChart();
}
document.getElementById("range").addEventListener("submit", event => { event.preventDefault(); showChart(); });
document.getElementById("points").addEventListener("click", event => {
  const row = event.target.closest("tr[data-point]");
  if (row) openChart(row.dataset.point);
});
async function poll() {
  try {
    const reply = await fetch("/api/points", {cache: "no-store"});
    if (!reply.ok) throw new Error("HTTP " + reply.status);
    show(await reply.json());
  } catch (error) {
    document.getElementById("stale-note").textContent = "The gateway does not answer (" + error.message + "); showing the last state.";
  }
  setTimeout(poll, period);
}
poll();
</script>
</body>
</html>
)html";

}  // namespace jwgate
