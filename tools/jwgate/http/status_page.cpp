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
</style>
</head>
<body>
<h1>jwgate <span id="health" class="badge">…</span></h1>
<div id="summary">waiting for the gateway…</div>
<div id="stale-note"></div>
<h2>Points</h2>
<table id="points"><thead><tr><th>Name</th><th>Address</th><th>Type</th><th>Value</th><th>Quality</th><th>Age</th></tr></thead><tbody></tbody></table>
<div class="columns">
  <div><h2>Line</h2><table id="counters"><tbody></tbody></table></div>
  <div><h2>Stations</h2><table id="stations"><thead><tr><th>Station</th><th>State</th><th>Last answer</th></tr></thead><tbody></tbody></table></div>
</div>
<h2>Last frames on the line (&lt; sent, &gt; received)</h2>
<div id="frames"></div>
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
  const frames = document.getElementById("frames");
  frames.replaceChildren(...state.frames.map(f => {
    const line = document.createElement("div");
    line.className = f.direction === "<" ? "sent" : "received";
    line.textContent = f.time + " " + f.direction + " " + f.text;
    return line;
  }));
  frames.scrollTop = frames.scrollHeight;
  document.getElementById("stale-note").textContent = "";
}
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
