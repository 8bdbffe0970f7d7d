// fpgasim serve: the panel page (one page, no outside resources).
#ifndef DVRPLAT_FPGASIM_SERVE_PAGE_H
#define DVRPLAT_FPGASIM_SERVE_PAGE_H

namespace fpgasim {

inline const char kPanelPage[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Board panel</title>
<style>
body { font: 14px sans-serif; margin: 8px; background: #ecece8; color: #1e1e1e; }
h2 { font-size: 15px; margin: 10px 0 4px; }
#board { display: block; border: 0; }
.row { display: flex; gap: 24px; flex-wrap: wrap; align-items: flex-start; }
.box { background: #fff; padding: 6px 10px; border: 1px solid #bbb; }
.bits button, .cells button { width: 28px; height: 24px; padding: 0; margin: 1px; font-size: 11px;
  background: #d2d2cd; border: 1px solid #555; }
.bits button.on, .cells button.on { background: #c82828; color: #fff; }
.keys button { width: 52px; height: 30px; margin: 1px; font-size: 11px; background: #f4f4f0; border: 1px solid #555; }
.keys button.down { background: #1f77b4; color: #fff; }
.label { display: inline-block; width: 100px; }
#rec-cams span { display: inline-block; width: 28px; text-align: center; margin: 1px; color: #fff;
  background: #444; padding: 2px 0; }
pre { margin: 2px 0; font-size: 12px; }
#message { color: #b00; min-height: 1.2em; }
#problem { color: #fff; background: #b00; font-weight: bold; }
#problem:empty { display: none; }
</style>
</head>
<body>
<div>Simulator file: <span id="file"></span></div>
<img id="board" alt="the board's two video outputs, text layer and inputs" width="1500" height="746">
<div id="problem" role="alert"></div>
<div id="message" role="status"></div>
<div class="row">
  <div class="box">
    <h2>Inputs</h2>
    <div class="bits" id="inputs"></div>
    <h2>Motion cells of camera <select id="motion-camera"></select></h2>
    <div class="cells" id="cells"></div>
  </div>
  <div class="box">
    <h2>Keys (held while pressed)</h2>
    <div class="keys" id="keys"></div>
    <div>Key registers: <span id="keymap"></span></div>
  </div>
  <div class="box">
    <h2>Recording selection: <span id="rec-resolution"></span></h2>
    <div id="rec-cams"></div>
    <h2>Relays: <span id="relays"></span></h2>
    <h2>Pointer cursor: <span id="cursor"></span></h2>
  </div>
</div>
<div class="row">
  <div class="box"><h2>Output 0</h2><pre id="tiles-0"></pre></div>
  <div class="box"><h2>Output 1</h2><pre id="tiles-1"></pre></div>
  <div class="box">
    <h2>Coaxial queue: <span id="coax-bytes"></span> bytes <button id="coax-clear">Clear coax queue</button></h2>
    <pre id="coax"></pre>
  </div>
  <div class="box"><h2>Text layer (output 0)</h2><pre id="text"></pre></div>
</div>
<script>
"use strict";
const INPUTS = [["alarm", "Alarm inputs"], ["vloss", "Video loss"], ["motion", "Motion"],
                ["termination", "Termination"]];
const SIZES = ["full", "2x2", "3x3", "4x4"];
let board = null;
let shown = -1;

function $(id) { return document.getElementById(id); }

async function send(params) {
  const q = new URLSearchParams(params);
  try {
    // The header marks the input as this page's own (the panel refuses
    // inputs without it).
    const r = await fetch("/api/input?" + q.toString(), {method: "POST", headers: {"X-Fpgasim-Panel": "input"}});
    const j = await r.json();
    $("message").textContent = r.ok ? "" : (j.error || ("error " + r.status));
  } catch (e) {
    $("message").textContent = "the panel's server does not answer";
  }
}

function build() {
  const inputs = $("inputs");
  for (const [name, title] of INPUTS) {
    const row = document.createElement("div");
    const label = document.createElement("span");
    label.className = "label";
    label.textContent = title;
    row.appendChild(label);
    for (let ch = 0; ch < 16; ++ch) {
      const b = document.createElement("button");
      b.id = name + "-" + ch;
      b.textContent = ch;
      b.title = title + " " + ch;
      b.addEventListener("click", () => {
        const on = b.classList.contains("on") ? 0 : 1;
        send({name: name, channel: ch, on: on});
      });
      row.appendChild(b);
    }
    inputs.appendChild(row);
  }
  const sel = $("motion-camera");
  for (let cam = 0; cam < 16; ++cam) {
    const o = document.createElement("option");
    o.value = cam;
    o.textContent = cam;
    sel.appendChild(o);
  }
  sel.addEventListener("change", render);
  const cells = $("cells");
  for (let k = 0; k < 31; ++k) {
    const b = document.createElement("button");
    b.id = "cell-" + k;
    b.textContent = k;
    b.addEventListener("click", () => {
      const value = b.classList.contains("on") ? 0 : 1;
      send({name: "motion-cell", camera: sel.value, cell: k, value: value});
    });
    cells.appendChild(b);
  }
  // Key register 0x30 + r, bit n: down while the button is held.
  const keys = $("keys");
  let held = null;
  const release = () => {
    if (held) {
      held.classList.remove("down");
      held = null;
      send({name: "keys", map: "none"});
    }
  };
  for (let r = 0; r < 5; ++r) {
    const row = document.createElement("div");
    for (let bit = 0; bit < 8; ++bit) {
      const b = document.createElement("button");
      const off = (0x30 + r).toString(16).toUpperCase();
      b.id = "key-" + off + "-" + bit;
      b.textContent = off + "." + bit;
      b.title = "key register 0x" + off + " bit " + bit;
      b.addEventListener("pointerdown", (ev) => {
        ev.preventDefault();
        release();
        held = b;
        b.classList.add("down");
        send({name: "key", offset: "0x" + off, bit: bit});
      });
      b.addEventListener("pointerup", release);
      b.addEventListener("pointerleave", release);
      b.addEventListener("pointercancel", release);
      row.appendChild(b);
    }
    keys.appendChild(row);
  }
  window.addEventListener("blur", release);
  $("coax-clear").addEventListener("click", () => send({name: "coax-clear"}));
  const rc = $("rec-cams");
  for (let p = 0; p < 16; ++p) {
    const s = document.createElement("span");
    s.id = "rec-cam-" + p;
    rc.appendChild(s);
    if (p % 4 === 3) rc.appendChild(document.createElement("br"));
  }
}

function tileLine(t) {
  if (!t.enabled && t.raw === 0) return null;
  let s = "path " + String(t.path).padStart(2) + ": ";
  if (!t.enabled) s += "off (" + t.raw.toString(16).toUpperCase().padStart(2, "0") + ")";
  else s += (t.camera === 31 ? "BLANK" : "camera " + t.camera) + " " + SIZES[t.size];
  s += " at x " + t.h + "/12 y " + t.v + "/60";
  if (t.freeze) s += ", freeze bit";
  return s;
}

function render() {
  const b = board;
  if (!b) return;
  for (const [name] of INPUTS)
    for (let ch = 0; ch < 16; ++ch) {
      const on = ((b[name] >> ch) & 1) === 1;
      const el = $(name + "-" + ch);
      el.classList.toggle("on", on);
      el.setAttribute("aria-pressed", on);
    }
  const cam = Number($("motion-camera").value);
  for (let k = 0; k < 31; ++k) {
    const on = b.motion_cells[cam][k] !== 0;
    $("cell-" + k).classList.toggle("on", on);
    $("cell-" + k).title = "value " + b.motion_cells[cam][k];
  }
  $("keymap").textContent = b.keymap + (b.keymap === "0xFFFFFFFFFFFFFFFF" ? " (no key)" : "");
  $("rec-resolution").textContent = b.resolution_name + " (" + b.resolution + ")";
  b.record_cameras.forEach((c, p) => { $("rec-cam-" + p).textContent = c; });
  $("relays").textContent = [0, 1, 2].map((k) => (b.relays >> k) & 1).join(" ");
  $("cursor").textContent = b.cursor.shown ? ("x " + b.cursor.x + " y " + b.cursor.y) : "hidden";
  for (const out of b.outputs) {
    const lines = out.tiles.map(tileLine).filter((l) => l !== null);
    let head = "background " + out.background + (out.zoom ? ", zoom x2 at " + out.zoom_x + "," + out.zoom_y : "") +
               (out.overlay ? ", motion overlay on" : "");
    $("tiles-" + out.mon).textContent = head + "\n" + (lines.length ? lines.join("\n") : "no paths");
  }
  $("coax-bytes").textContent = b.coax_bytes;
  $("coax").textContent = b.coax;
  const rows = b.text.map((l, i) => l.trim() ? String(i).padStart(2) + " |" + l + "|" : null).filter((l) => l);
  $("text").textContent = rows.length ? rows.join("\n") : "(blank)";
}

async function refresh(version) {
  const r = await fetch("/api/board");
  board = await r.json();
  $("problem").textContent = board.problem || "";
  $("file").textContent = board.file;
  document.title = "Board panel: " + board.file;
  render();
  $("board").src = "/board.png?v=" + board.version;
  shown = board.version;
  document.body.dataset.version = board.version;
}

async function watch() {
  for (;;) {
    try {
      const r = await fetch("/api/version?after=" + (shown < 0 ? 0 : shown));
      const j = await r.json();
      if (j.version !== shown) await refresh(j.version);
    } catch (e) {
      $("message").textContent = "the panel's server does not answer";
      await new Promise((done) => setTimeout(done, 1000));
    }
  }
}

build();
watch();
</script>
</body>
</html>
)PAGE";

} // namespace fpgasim

#endif
