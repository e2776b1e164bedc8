// The live page: the stream, the records as they come, the windows' sliders,
// box tuning and saving, all through the HTTP interface.
"use strict";

const $ = (id) => document.getElementById(id);
const LINE_COLOURS = ["#00d2ff", "#ffaa00", "#965aff", "#ff3c3c", "#286eff", "#ffff00", "#00ffa0", "#ff82c8"];
const LIMITS = [  // key, label, slider range and step
  ["hue_deg", "hue", -180, 360, 0.5],
  ["chroma", "chroma", 0, 1.5, 0.005],
  ["intensity", "intensity", 0, 1, 0.005],
];

let settings = null;      // the settings file's JSON, as in use
let frameSize = null;     // [width, height] of the source's frames
let view = "annotated";
let pending = null;       // the newest record not yet shown
let putTimer = null;

function fmt(v, digits) { return v === null || v === undefined ? "–" : Number(v).toFixed(digits); }

function showError(message) { $("error").textContent = message || ""; }

async function call(method, path, body) {
  const options = { method, headers: {} };
  if (body !== undefined) {
    options.body = JSON.stringify(body);
    options.headers["Content-Type"] = "application/json";
  }
  const response = await fetch(path, options);
  const data = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(data.error || `${method} ${path}: ${response.status}`);
  return data;
}

// --- the stream and its views ---------------------------------------------

function setView(name) {
  view = name;
  for (const b of document.querySelectorAll("#views button")) b.classList.toggle("on", b.dataset.view === name);
  $("stream").src = `/stream.mjpeg?view=${name}&t=${Date.now()}`;
}

for (const b of document.querySelectorAll("#views button")) b.addEventListener("click", () => setView(b.dataset.view));

// --- records ----------------------------------------------------------------

function showRecord(r) {
  $("frame").textContent = r.frame;
  $("latency").textContent = fmt(1000 * r.latency, 1);
  $("dropped").textContent = r.dropped;
  const rows = [];
  const balls = r.balls || (r.ball ? [r.ball] : []);
  if (balls.length) {
    balls.forEach((b, k) => {
      const name = balls.length > 1 ? `ball ${k + 1}` : "ball";
      rows.push(`<tr class="ball"><td>${name}</td><td>${fmt(b.x, 1)}</td><td>${fmt(b.y, 1)}</td>` +
                `<td>r ${fmt(b.r, 1)}</td><td>${fmt(b.support, 2)}</td></tr>`);
    });
  } else {
    rows.push(`<tr><td>no ball</td><td></td><td></td><td></td><td></td></tr>`);
  }
  r.lines.forEach((l, k) => {
    rows.push(`<tr style="color:${LINE_COLOURS[k % LINE_COLOURS.length]}"><td>line ${k + 1}</td>` +
              `<td>${fmt(l.x0, 0)},${fmt(l.y0, 0)}</td><td>${fmt(l.x1, 0)},${fmt(l.y1, 0)}</td>` +
              `<td>w ${fmt(l.width, 1)}</td><td>${fmt(l.support, 2)}</td></tr>`);
  });
  const t = r.timings || {};
  $("record").innerHTML =
    `<table><tr><th></th><th>x / from</th><th>y / to</th><th>size</th><th>support</th></tr>${rows.join("")}</table>` +
    `<p class="muted">detector: scan ${fmt(1000 * t.scan, 2)} ms, ball ${fmt(1000 * t.ball, 2)} ms, ` +
    `lines ${fmt(1000 * t.lines, 2)} ms, total ${fmt(1000 * t.total, 2)} ms</p>`;
}

function draw() {
  if (pending) { showRecord(pending); pending = null; }
  requestAnimationFrame(draw);
}

const events = new EventSource("/events");
events.onmessage = (e) => { pending = JSON.parse(e.data); };
requestAnimationFrame(draw);

async function pollStatus() {
  try {
    const s = await call("GET", "/api/status");
    $("source").textContent = s.source;
    $("fps").textContent = fmt(s.fps, 1);
    $("dropped").textContent = s.dropped;
    const state = $("state");
    state.textContent = s.state === "running" ? "running" : s.message || s.state;
    state.classList.toggle("bad", s.state !== "running");
    if (s.width) frameSize = [s.width, s.height];
    $("save").textContent = s.unsaved ? "save *" : "save";
  } catch (e) {
    $("state").textContent = "no connection";
    $("state").classList.add("bad");
  }
}
setInterval(pollStatus, 1000);

// --- windows and their sliders ------------------------------------------------

function windowsOf(s) {
  const out = [["ball", "ball", s.ball], ["field", "field", s.field]];
  s.line.forEach((w, k) => out.push([`line-${k}`, s.line.length > 1 ? `line ${k + 1}` : "line", w]));
  return out;
}

function buildSliders() {
  const box = $("windows");
  box.innerHTML = "";
  for (const [id, title, w] of windowsOf(settings)) {
    const set = document.createElement("fieldset");
    set.innerHTML = `<legend>${title}</legend>`;
    for (const [key, label, lo, hi, step] of LIMITS) {
      [0, 1].forEach((end) => {
        const row = document.createElement("div");
        row.className = "slider";
        const name = `${id}.${key}.${end}`;
        row.innerHTML = `<label for="${name}">${label} ${end ? "to" : "from"}</label>` +
          `<input type="range" id="${name}" min="${lo}" max="${hi}" step="${step}" value="${w[key][end]}">` +
          `<output>${w[key][end]}</output>`;
        const input = row.querySelector("input");
        input.addEventListener("input", () => {
          w[key][end] = Number(input.value);
          row.querySelector("output").textContent = input.value;
          schedulePut();
        });
        set.appendChild(row);
      });
    }
    box.appendChild(set);
  }
}

function schedulePut() {
  clearTimeout(putTimer);
  putTimer = setTimeout(async () => {
    try {
      settings = await call("PUT", "/api/settings", settings);
      showError("");
    } catch (e) {
      showError(e.message);
      await loadSettings();
    }
  }, 60);
}

async function loadSettings() {
  settings = await call("GET", "/api/settings");
  buildSliders();
}

$("save").addEventListener("click", async () => {
  try {
    const r = await call("POST", "/api/save");
    $("saved").textContent = `saved to ${r.path}`;
    showError("");
  } catch (e) {
    showError(e.message);
  }
});

// --- a box drawn on the stream tunes a window -----------------------------------

const overlay = $("overlay");
let drag = null;

function framePoint(e) {
  const rect = overlay.getBoundingClientRect();
  const size = frameSize || [$("stream").naturalWidth, $("stream").naturalHeight];
  return [(e.clientX - rect.left) / rect.width * size[0], (e.clientY - rect.top) / rect.height * size[1],
          e.clientX - rect.left, e.clientY - rect.top];
}

function drawBox() {
  overlay.width = overlay.clientWidth;
  overlay.height = overlay.clientHeight;
  const g = overlay.getContext("2d");
  g.clearRect(0, 0, overlay.width, overlay.height);
  if (!drag) return;
  g.strokeStyle = "#ffe600";
  g.lineWidth = 2;
  g.strokeRect(drag.a[2], drag.a[3], drag.b[2] - drag.a[2], drag.b[3] - drag.a[3]);
}

overlay.addEventListener("pointerdown", (e) => {
  drag = { a: framePoint(e), b: framePoint(e) };
  overlay.setPointerCapture(e.pointerId);
  drawBox();
});
overlay.addEventListener("pointermove", (e) => { if (drag) { drag.b = framePoint(e); drawBox(); } });
overlay.addEventListener("pointerup", async (e) => {
  if (!drag) return;
  drag.b = framePoint(e);
  const [a, b] = [drag.a, drag.b];
  drag = null;
  drawBox();
  const name = document.querySelector("input[name=target]:checked").value;
  const box = [Math.min(a[0], b[0]), Math.min(a[1], b[1]), Math.max(a[0], b[0]), Math.max(a[1], b[1])]
    .map(Math.round);
  if ((box[2] - box[0]) * (box[3] - box[1]) < 10) return;
  try {
    const r = await call("POST", "/api/tune", { name, box });
    settings = r.settings;
    buildSliders();
    $("tuned").textContent = `${name} window from box ${r.box.join(",")}: holds ` +
      `${(100 * r.coverage).toFixed(1)} % of the box, ${(100 * r.frame_coverage).toFixed(1)} % of the frame` +
      (r.achromatic ? " (white: three wedges)" : "");
    showError("");
  } catch (err) {
    showError(err.message);
  }
});

loadSettings().catch((e) => showError(e.message));
pollStatus();
