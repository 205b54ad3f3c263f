// talvane tune: draws the gate's decision over the stretch shown, turns every
// parameter into a control, plays the audio and shows the equivalent commands.
// The server does every computation; this page asks for per-column summaries
// of the stretch it shows and draws them.
"use strict";

const $ = (id) => document.getElementById(id);
const tune = {            // what the page drew last, for whoever drives it (the browser test)
  redraws: 0, timings: [], firstDraw: null, drawn: null, audio: null,
};
window.tune = tune;

const GROUPS = [
  ["analysis", "Analysis: which windows are voice"],
  ["gain", "Gain: what the gated file does outside speech"],
  ["cut", "Cut: pauses and joins of the cut file"],
  ["stream", "Streaming gate (gate --stream only; the page shows the whole-file gate)"],
];
const COLOURS = {
  wave: "#3d4a5c", kept: "rgba(60, 170, 90, 0.20)", smooth: "#2f6fdb", energy: "rgba(47, 111, 219, 0.25)",
  floor: "#667085", threshold: "#d92d20", limit: "#f79009", gain: "#12805c", voice: "#84adff", keep: "#3caa5a",
  factor: "rgba(122, 90, 248, 0.35)", steadiness: "#0e9384", novelty: "#dd2590",
};

const page = {
  state: null, texts: {}, result: null, wave: null, start: 0, end: 0,
  dirty: false, busy: false, inputAt: null, viewBusy: false, viewDirty: false,
  dbMin: -30, cursor: null, play: null,
};
tune.settled = () => Boolean(page.result && page.wave && !page.busy && !page.dirty && !page.viewBusy && !page.viewDirty);

function query(args) {
  return Object.entries(args).map(([k, v]) => `${k}=${encodeURIComponent(v)}`).join("&");
}

function columns() {
  return Math.max(100, Math.min(4096, Math.round($("wave").clientWidth * (window.devicePixelRatio || 1))));
}

function seconds(samples) {
  return samples / page.state.rate;
}

function timeText(s) {
  if (s >= 3600) return `${Math.floor(s / 3600)}:${String(Math.floor(s / 60) % 60).padStart(2, "0")}:${(s % 60).toFixed(1).padStart(4, "0")}`;
  if (s >= 60) return `${Math.floor(s / 60)}:${(s % 60).toFixed(2).padStart(5, "0")}`;
  return `${s.toFixed(s < 1 ? 3 : 2)} s`;
}

function dbText(v) {
  if (v === "inf" || v === Infinity) return "+inf dBFS";
  if (!(v > 0)) return "-inf dBFS";
  return `${(20 * Math.log10(v)).toFixed(1)} dBFS`;
}

// ---- controls -------------------------------------------------------------

// How each parameter's slider moves, as the server sends it with the parameter:
// in dB for levels, whole windows for counts, ms for times.
function sliderOf(name) {
  return page.state.params.find((p) => p.name === name).slider;
}

function sliderPosition(name, value) {
  const spec = sliderOf(name);
  if (spec.db || spec.ratio) {
    if (value === "inf") return spec.max + spec.step;
    if (!(value > 0)) return spec.bottom ? spec.min - spec.step : spec.min;
    return Math.round(20 * Math.log10(value) / spec.step) * spec.step;
  }
  return value;
}

function sliderText(name, position) {
  const spec = sliderOf(name);
  if (spec.top && position > spec.max) return spec.top;
  if (spec.bottom && position < spec.min) return spec.bottom;
  if (spec.db || spec.ratio) return `${position}dB`;
  return `${position}${spec.suffix || ""}`;
}

function shownValue(name, value) {
  const spec = sliderOf(name) || {};
  const rate = page.state.rate;
  if (name === "enabled") return value ? "on" : "off: audio passes through";
  if (name === "music") return value ? "on: the threshold rises over steady music" : "off";
  if (spec.db && name === "attenuation") return value > 0 ? `${(20 * Math.log10(value)).toFixed(1)} dB (x${+value.toPrecision(3)})` : "silence";
  if (spec.db) return `${dbText(value)} (${value === "inf" ? "inf" : +value.toPrecision(3)} RMS)`;
  if (spec.ratio) return `x${value.toFixed(2)} (${value > 0 ? (20 * Math.log10(value)).toFixed(1) : "-inf"} dB)`;
  if (spec.windows) {
    const w = page.result ? page.result.summary.window_len : 1;
    return `${value} window${value === 1 ? "" : "s"} = ${+(value * w / rate * 1000).toFixed(1)} ms`;
  }
  if (spec.ms) return `${+value.toFixed(1)} ms`;
  return String(value);
}

function buildControls() {
  const box = $("controls");
  const params = page.state.params;
  for (const [stage, title] of GROUPS) {
    const set = document.createElement("fieldset");
    set.innerHTML = `<legend>${title}</legend>`;
    const band = params.find((q) => q.control === "band");
    if (stage === "analysis") set.appendChild(presetControl());
    if (stage === "analysis" && band) set.appendChild(bandControl(band));
    for (const p of params.filter((q) => q.stage === stage && q.control !== "band")) set.appendChild(control(p));
    box.appendChild(set);
  }
}

function control(p) {
  const div = document.createElement("div");
  div.className = "control";
  div.id = `control-${p.name}`;
  const unit = p.unit && p.unit !== "RMS" ? ` (${p.unit})` : p.unit === "RMS" ? " (dBFS)" : "";
  div.innerHTML = `<div class="head"><span class="name" title="${p.option}">${p.name}${unit}</span><span class="shown"></span></div>
    <div class="row"></div><div class="help"></div><div class="error"></div>`;
  div.querySelector(".help").textContent = `${p.help} (default ${p.default})`;
  const row = div.querySelector(".row");
  if (p.control === "choice") {
    const select = document.createElement("select");
    select.name = p.name;
    for (const c of p.choices) select.add(new Option(c, c));
    select.addEventListener("change", () => changed(p.name, select.value));
    row.appendChild(select);
    return div;
  }
  if (p.control === "checkbox") {
    const box = document.createElement("input");
    box.type = "checkbox";
    box.name = p.name;
    box.addEventListener("change", () => changed(p.name, box.checked ? "true" : "false"));
    row.appendChild(box);
    return div;
  }
  const spec = p.slider;
  const slider = document.createElement("input");
  slider.type = "range";
  slider.name = p.name;
  slider.min = spec.bottom ? spec.min - spec.step : spec.min;
  slider.max = spec.top ? spec.max + spec.step : spec.max;
  slider.step = spec.step;
  const text = document.createElement("input");
  text.type = "text";
  text.name = `${p.name}-text`;
  text.title = "type a value as on the command line (-42dB, 300ms, 12) and press Enter";
  slider.addEventListener("input", () => {
    const t = sliderText(p.name, Number(slider.value));
    text.value = t;
    changed(p.name, t);
  });
  text.addEventListener("change", () => changed(p.name, text.value));
  row.append(slider, text);
  return div;
}

// A preset sets every parameter's text at once; the choice shows the preset the
// texts match, or "changed" once one of them is moved.
function presetControl() {
  const div = document.createElement("div");
  div.className = "control preset";
  div.id = "preset";
  div.innerHTML = `<div class="head"><span class="name" title="--preset">preset</span></div>
    <div class="row"><select name="preset"></select></div>
    <div class="help">sets every parameter; a parameter moved afterwards wins, as an option given with --preset</div>`;
  const select = div.querySelector("select");
  for (const name of Object.keys(page.state.presets)) select.add(new Option(name, name));
  select.add(new Option("changed", "changed"));
  select.addEventListener("change", () => {
    const texts = page.state.presets[select.value];
    if (!texts) return;
    Object.assign(page.texts, texts);
    page.inputAt = performance.now();
    page.dirty = true;
    if (!page.busy) analyse();
  });
  return div;
}

function matchedPreset(texts) {
  for (const [name, preset] of Object.entries(page.state.presets)) {
    if (Object.entries(preset).every(([k, v]) => texts[k] === v)) return name;
  }
  return "changed";
}

function bandControl(p) {
  const div = document.createElement("div");
  div.className = "control";
  div.id = "control-band";
  div.innerHTML = `<div class="head"><span class="name" title="--band">band</span><span class="shown"></span></div>
    <div class="row"><select name="band"><option value="off">off: every frequency</option>
    <option value="speech">speech</option><option value="custom">LOW-HIGH Hz:</option></select>
    <input type="text" name="band-text" placeholder="200-4000"></div>
    <div class="help"></div><div class="error"></div>`;
  div.querySelector(".help").textContent = `${p.help} (default ${p.default})`;
  const select = div.querySelector("select");
  const text = div.querySelector("input");
  select.addEventListener("change", () => {
    if (select.value !== "custom") changed("band", select.value);
    else if (text.value) changed("band", text.value);
  });
  text.addEventListener("change", () => { select.value = "custom"; changed("band", text.value); });
  return div;
}

function syncControls() {
  const texts = page.result.texts;
  const values = page.result.values;
  $("preset").querySelector("select").value = matchedPreset(texts);
  for (const div of document.querySelectorAll(".control:not(.preset)")) {
    const name = div.id.slice("control-".length);
    if (name === "band") {
      const select = div.querySelector("select");
      const t = texts.band || "off";
      if (t === "off" || t === "speech") select.value = t;
      else { select.value = "custom"; div.querySelector("input").value = t; }
      div.querySelector(".shown").textContent = page.result.band_label || "";
      continue;
    }
    const slider = div.querySelector("input[type=range]");
    const box = div.querySelector("input[type=checkbox]");
    const text = div.querySelector("input[type=text]");
    const choice = div.querySelector("select");
    if (choice) choice.value = texts[name];
    if (box) box.checked = values[name];
    if (slider && document.activeElement !== slider) slider.value = sliderPosition(name, values[name]);
    if (text && document.activeElement !== text) text.value = page.result.texts[name];
    div.querySelector(".shown").textContent = shownValue(name, values[name]);
    div.classList.toggle("changed", page.result.changed.includes(name));
  }
}

function changed(name, text) {
  page.texts[name] = text;
  page.inputAt = performance.now();
  page.dirty = true;
  if (!page.busy) analyse();
}

async function analyse() {
  page.busy = true;
  while (page.dirty) {
    page.dirty = false;
    const started = page.inputAt;
    const texts = { ...page.texts };
    const response = await fetch(`analyse?${query({ start: page.start, end: page.end, cols: columns() })}`,
      { method: "POST", body: JSON.stringify(texts) });
    const data = await response.json();
    for (const div of document.querySelectorAll(".control .error")) div.textContent = "";
    if (data.errors) {
      for (const [name, message] of Object.entries(data.errors)) {
        const div = $(`control-${name}`);
        if (div) div.querySelector(".error").textContent = message;
      }
      continue;
    }
    page.result = data;
    page.texts = { ...data.texts, ...(page.dirty ? page.texts : {}) };
    draw();
    if (!page.dirty && started !== null) {
      requestAnimationFrame(() => tune.timings.push(performance.now() - started));
    }
    if (page.play && page.play.kind !== "original") restartPlayback();
  }
  page.busy = false;
}

// ---- the stretch shown ----------------------------------------------------

function setView(start, end) {
  const n = page.state.samples;
  const least = Math.min(n, Math.max(100, 4 * (page.result ? page.result.summary.window_len : 1)));
  let a = Math.round(start), b = Math.round(end);
  if (b - a < least) { const mid = (a + b) / 2; a = Math.round(mid - least / 2); b = a + least; }
  if (a < 0) { b -= a; a = 0; }
  if (b > n) { a = Math.max(0, a - (b - n)); b = n; }
  page.start = a; page.end = b;
  $("span").textContent = `${timeText(seconds(a))} to ${timeText(seconds(b))} (${timeText(seconds(b - a))})`;
  page.viewDirty = true;
  if (!page.viewBusy) fetchView();
}

async function fetchView() {
  page.viewBusy = true;
  while (page.viewDirty) {
    page.viewDirty = false;
    const response = await fetch(`view?${query({ start: page.start, end: page.end, cols: columns() })}`);
    const data = await response.json();
    page.wave = data.wave;
    page.result = data.result;
    if (!Object.keys(page.texts).length) page.texts = { ...data.result.texts };
    if (!page.viewDirty) draw();
  }
  page.viewBusy = false;
}

function zoom(factor, anchor) {
  const a = page.start, b = page.end;
  const near = page.cursor !== null && page.cursor >= a && page.cursor <= b ? page.cursor : (a + b) / 2;
  const at = anchor === undefined ? near : anchor;
  setView(at - (at - a) * factor, at + (b - at) * factor);
}

function sampleAt(event) {
  const rect = $("plots").getBoundingClientRect();
  const x = Math.min(1, Math.max(0, (event.clientX - rect.left) / rect.width));
  return Math.round(page.start + x * (page.end - page.start));
}

function xOf(sample, width) {
  return (sample - page.start) / (page.end - page.start) * width;
}

// ---- drawing --------------------------------------------------------------

function canvas(id) {
  const c = $(id);
  const dpr = window.devicePixelRatio || 1;
  const w = Math.round(c.clientWidth * dpr), h = Math.round(c.clientHeight * dpr);
  if (c.width !== w || c.height !== h) { c.width = w; c.height = h; }
  const g = c.getContext("2d");
  g.setTransform(1, 0, 0, 1, 0, 0);
  g.clearRect(0, 0, w, h);
  return { g, w, h, dpr };
}

function regionsOf(view, w) {
  const out = [];
  for (const [s, e] of view.columns.regions) out.push([xOf(s, w), Math.max(1, xOf(e, w) - xOf(s, w))]);
  return out;
}

// The sample each column starts at, as the server splits [a, b) into count columns.
function columnStart(a, b, count, i) {
  return a + Math.floor(i * (b - a) / count);
}

function drawWave() {
  const { g, w, h } = canvas("wave");
  const result = page.result, wave = page.wave;
  g.fillStyle = COLOURS.kept;
  for (const [x, width] of regionsOf(result, w)) g.fillRect(x, 0, width, h);
  // One scale for the whole file, so that quiet stretches look quiet however close the view.
  const scale = (h / 2 - 4) / Math.max(page.state.peak, 1e-6);
  const y = (v) => h / 2 - v * scale;
  g.strokeStyle = COLOURS.wave;
  g.fillStyle = COLOURS.wave;
  g.lineWidth = 1;
  g.beginPath();
  const a = page.start, b = page.end;
  if (wave.count === b - a) {            // one column per sample: the samples joined
    for (let i = 0; i < wave.count; i++) {
      const x = xOf(a + i + 0.5, w);
      if (i === 0) g.moveTo(x, y(wave.low[i])); else g.lineTo(x, y(wave.low[i]));
    }
    g.stroke();
    if (wave.count < w / 6) for (let i = 0; i < wave.count; i++) g.fillRect(xOf(a + i + 0.5, w) - 1.5, y(wave.low[i]) - 1.5, 3, 3);
  } else {
    for (let i = 0; i < wave.count; i++) {
      const x0 = xOf(columnStart(a, b, wave.count, i), w), x1 = xOf(columnStart(a, b, wave.count, i + 1), w);
      g.fillRect(x0, y(wave.high[i]), Math.max(1, x1 - x0), Math.max(1, y(wave.low[i]) - y(wave.high[i])));
    }
  }
  g.strokeStyle = COLOURS.floor;
  g.globalAlpha = 0.4;
  g.beginPath(); g.moveTo(0, h / 2); g.lineTo(w, h / 2); g.stroke();
  g.globalAlpha = 1;
}

function windowX(col, i, w) {
  const win = page.result.summary.window_len;
  const first = col.w0 + Math.floor(i * (col.w1 - col.w0) / col.count);
  return xOf(first * win, w);
}

// Where each column of windows starts and ends on the canvas.
function columnEdges(col, w) {
  const x0s = [], x1s = [];
  for (let i = 0; i < col.count; i++) { x0s.push(windowX(col, i, w)); x1s.push(windowX(col, i + 1, w)); }
  return [x0s, x1s];
}

function drawEnergy() {
  const { g, w, h, dpr } = canvas("energy");
  const result = page.result, col = result.columns, lv = result.levels;
  const strip = 10 * dpr, top = 4 * dpr, bottom = h - 2 * strip - 6 * dpr;
  let low = 0;
  for (const v of col.smooth_low) if (v > -120) low = Math.min(low, v);
  for (const v of [lv.noise_floor, lv.threshold]) if (v > 0) low = Math.min(low, 20 * Math.log10(v));
  page.dbMin = Math.max(-120, Math.min(page.dbMin, Math.floor(low / 10) * 10 - 10));
  const y = (db) => top + (Math.min(0, db) / page.dbMin) * (bottom - top);
  const yLevel = (v) => (v > 0 ? y(20 * Math.log10(v)) : bottom);
  g.font = `${10 * dpr}px system-ui, sans-serif`;
  g.fillStyle = "#98a2b3";
  g.strokeStyle = "#eaecf0";
  for (let db = 0; db >= page.dbMin; db -= page.dbMin < -60 ? 20 : 10) {
    g.beginPath(); g.moveTo(0, y(db)); g.lineTo(w, y(db)); g.stroke();
    g.fillText(`${db}`, w - 26 * dpr, y(db) - 2 * dpr);
  }
  const [x0s, x1s] = columnEdges(col, w);
  g.fillStyle = COLOURS.energy;        // raw energies (the highest per column), behind
  for (let i = 0; i < col.count; i++) {
    const ya = y(col.energy_high[i]);
    g.fillRect(x0s[i], ya, Math.max(1, x1s[i] - x0s[i]), Math.max(1, y(col.smooth_high[i]) - ya));
  }
  g.fillStyle = COLOURS.smooth;        // the smoothed energies: their range per column, joined
  g.strokeStyle = COLOURS.smooth;
  g.lineWidth = 1.5 * dpr;
  g.beginPath();
  for (let i = 0; i < col.count; i++) {
    const ya = y(col.smooth_high[i]), yb = y(col.smooth_low[i]);
    if (yb - ya > 1.5 * dpr) g.fillRect(x0s[i], ya, Math.max(1, x1s[i] - x0s[i]), yb - ya);
    const mid = (x0s[i] + x1s[i]) / 2;
    if (i === 0) g.moveTo(mid, (ya + yb) / 2); else g.lineTo(mid, (ya + yb) / 2);
  }
  g.stroke();
  g.lineWidth = 1;
  const line = (v, colour, dash, label, at) => {
    if (v === "inf" || !(v > 0)) return;
    const yy = yLevel(v);
    g.strokeStyle = colour; g.setLineDash(dash); g.lineWidth = 1.5 * dpr;
    g.beginPath(); g.moveTo(0, yy); g.lineTo(w, yy); g.stroke();
    g.setLineDash([]); g.lineWidth = 1;
    const x = 4 * dpr + at * w, size = g.measureText(label).width;
    g.fillStyle = "rgba(255, 255, 255, 0.8)";          // readable over a dense plot
    g.fillRect(x - 2 * dpr, yy - 13 * dpr, size + 4 * dpr, 11 * dpr);
    g.fillStyle = colour; g.fillText(label, x, yy - 3 * dpr);
  };
  line(lv.base_thresh, COLOURS.limit, [2 * dpr, 3 * dpr], `base-thresh ${dbText(lv.base_thresh)}`, 0.5);
  line(lv.max_thresh, COLOURS.limit, [2 * dpr, 3 * dpr], `max-thresh ${dbText(lv.max_thresh)}`, 0.5);
  line(lv.noise_floor, COLOURS.floor, [6 * dpr, 4 * dpr], `noise floor ${dbText(lv.noise_floor)}`, 0.25);
  line(lv.threshold, COLOURS.threshold, [], `threshold ${dbText(lv.threshold)}`, 0);
  if (col.music) {                     // each window's threshold under the music factor (the highest per column)
    g.strokeStyle = COLOURS.threshold; g.lineWidth = dpr; g.globalAlpha = 0.5;
    g.beginPath();
    for (let i = 0; i < col.count; i++) {
      const yy = y(col.music.threshold_high[i]);
      if (i === 0) g.moveTo(x0s[i], yy); else g.lineTo(x0s[i], yy);
      g.lineTo(x1s[i], yy);
    }
    g.stroke();
    g.globalAlpha = 1; g.lineWidth = 1;
  }
  const rows = [[col.voice, COLOURS.voice, bottom + 4 * dpr], [col.keep, COLOURS.keep, bottom + 4 * dpr + strip]];
  for (const [flags, colour, at] of rows) {
    g.fillStyle = colour;
    for (let i = 0; i < col.count; i++) if (flags[i]) g.fillRect(x0s[i], at, Math.max(1, x1s[i] - x0s[i]), strip - 2 * dpr);
  }
  g.fillStyle = "#667085";
  g.fillText("voice", w - 32 * dpr, bottom + 4 * dpr + strip - 3 * dpr);
  g.fillText("kept", w - 32 * dpr, bottom + 4 * dpr + 2 * strip - 3 * dpr);
  tune.drawn.thresholdY = yLevel(lv.threshold) / dpr;
}

// The music measure on one scale: steadiness and novelty (0 to 1) as lines through
// each column's mean, the threshold's factor (1 to 3, at 1 + 2 v) shaded over its range.
function drawMusic() {
  const col = page.result.columns, music = col.music;
  $("music-plot").hidden = !music;
  tune.drawn.music = null;
  if (!music) return;
  const { g, w, h, dpr } = canvas("music");
  const top = 14 * dpr, bottom = h - 4 * dpr;
  const y = (v) => bottom - Math.min(1, Math.max(0, v)) * (bottom - top);
  g.font = `${10 * dpr}px system-ui, sans-serif`;
  g.fillStyle = "#98a2b3";
  g.strokeStyle = "#eaecf0";
  for (const v of [0, 0.5, 1]) {
    g.beginPath(); g.moveTo(0, y(v)); g.lineTo(w, y(v)); g.stroke();
    g.fillText(`${v} | x${1 + 2 * v}`, w - 44 * dpr, y(v) - 2 * dpr);
  }
  const [x0s, x1s] = columnEdges(col, w);
  g.fillStyle = COLOURS.factor;
  for (let i = 0; i < col.count; i++) {
    const ya = y((music.factor_high[i] - 1) / 2), yb = y((music.factor_low[i] - 1) / 2);
    g.fillRect(x0s[i], ya, Math.max(1, x1s[i] - x0s[i]), Math.max(1.5 * dpr, yb - ya));
  }
  g.lineWidth = 1.5 * dpr;
  for (const name of ["steadiness", "novelty"]) {
    g.strokeStyle = COLOURS[name];
    g.beginPath();
    for (let i = 0; i < col.count; i++) {
      const mid = (x0s[i] + x1s[i]) / 2;
      if (i === 0) g.moveTo(mid, y(music[name][i])); else g.lineTo(mid, y(music[name][i]));
    }
    g.stroke();
  }
  g.lineWidth = 1;
  const raised = page.result.summary.music_raised;
  const key = (colour, text) => `<span class="key" style="color: ${colour}">${text}</span>`;
  $("music-label").innerHTML = `music measure: ${key(COLOURS.steadiness, "steadiness")} and `
    + `${key(COLOURS.novelty, "novelty")} (0 to 1), ${key("#7a5af8", "threshold factor")} (1 to 3); `
    + `threshold raised in ${(100 * raised).toFixed(1)}% of the file's windows`;
  tune.drawn.music = { count: col.count, factorHigh: col.count ? Math.max(...music.factor_high) : null, raised };
}

function drawGain() {
  const { g, w, h, dpr } = canvas("gain");
  const gain = page.result.columns.gain;
  const top = 6 * dpr, bottom = h - 16 * dpr;
  const y = (v) => bottom - v * (bottom - top);
  g.strokeStyle = "#eaecf0";
  for (const v of [0, 1]) { g.beginPath(); g.moveTo(0, y(v)); g.lineTo(w, y(v)); g.stroke(); }
  g.fillStyle = COLOURS.gain;
  for (let i = 0; i < gain.count; i++) {
    const x0 = xOf(columnStart(gain.start, gain.end, gain.count, i), w);
    const x1 = xOf(columnStart(gain.start, gain.end, gain.count, i + 1), w);
    const ya = y(gain.high[i]), yb = y(gain.low[i]);
    g.fillRect(x0, ya, Math.max(1, x1 - x0), Math.max(1.5 * dpr, yb - ya));
  }
  // The time axis, in steps of 1, 2 or 5 of a power of ten seconds.
  const span = seconds(page.end - page.start);
  const raw = span / 8, power = 10 ** Math.floor(Math.log10(raw));
  const step = [1, 2, 5, 10].map((m) => m * power).find((s) => s >= raw);
  g.fillStyle = "#667085";
  g.font = `${10 * dpr}px system-ui, sans-serif`;
  for (let t = Math.ceil(seconds(page.start) / step) * step; t <= seconds(page.end); t += step) {
    const x = xOf(t * page.state.rate, w);
    if (x > w - 40 * dpr) break;
    g.fillRect(x, bottom, 1, 4 * dpr);
    g.fillText(timeText(+t.toFixed(6)), x + 2 * dpr, h - 3 * dpr);
  }
}

function draw() {
  if (!page.result || !page.wave) return;
  const s = page.result.summary;
  tune.drawn = { threshold: s.threshold, noise_floor: s.noise_floor, summary: s.text, clamped: s.clamped,
    start: page.start, end: page.end, band: page.result.texts.band };
  drawWave();
  drawEnergy();
  drawMusic();
  drawGain();
  showSummary();
  syncControls();
  showTakeaway();
  placeLines();
  tune.redraws += 1;
  if (tune.firstDraw === null) requestAnimationFrame(() => { tune.firstDraw = performance.now(); });
}

function showSummary() {
  const s = page.result.summary;
  $("summary-text").textContent = s.text;
  const clamped = $("clamped");
  clamped.className = s.clamped || "";
  clamped.textContent = s.clamped === "low" ? "threshold clamped low (at base-thresh)"
    : s.clamped === "high" ? "threshold clamped high (at max-thresh)" : "threshold follows the noise floor";
  $("advice").textContent = (s.kept === 0 ? "Nothing kept. " : "") + (s.advice || "");
}

function snippet(what, text, pre) {
  const row = document.createElement("div");
  row.className = "snippet";
  row.innerHTML = `<span class="what"></span>${pre ? "<pre></pre>" : "<code></code>"}<button>copy</button>`;
  row.querySelector(".what").textContent = what;
  row.querySelector(pre ? "pre" : "code").textContent = text;
  row.dataset.what = what;
  row.querySelector("button").addEventListener("click", (event) => copy(text, event.target));
  return row;
}

function showTakeaway() {
  const commands = $("commands"), calls = $("calls");
  commands.replaceChildren(...Object.entries(page.result.commands).map(([k, v]) => snippet(`talvane ${k}`, v, false)));
  calls.replaceChildren(...Object.entries(page.result.calls).map(([k, v]) => snippet(k, v, true)));
}

async function copy(text, button) {
  try {
    await navigator.clipboard.writeText(text);
  } catch (e) {                         // no clipboard permission: copy the selected text
    const area = document.createElement("textarea");
    area.value = text; document.body.appendChild(area); area.select();
    document.execCommand("copy"); area.remove();
  }
  button.textContent = "copied";
  setTimeout(() => { button.textContent = "copy"; }, 1200);
}

async function save(action) {
  const out = $("saved");
  out.className = "";
  out.textContent = `writing the ${action === "gate" ? "gated" : "cut"} file...`;
  const response = await fetch(`save?${query({ action })}`, { method: "POST" });
  const data = await response.json();
  out.className = data.error ? "error" : "";
  out.textContent = [data.error || data.summary, ...data.notes, ...data.warnings].join("\n");
  tune.saved = data;
}

// ---- listening --------------------------------------------------------------

function kind() {
  return document.querySelector("input[name=kind]:checked").value;
}

// The file's sample the player is at, through the stretches the audio is made of.
function playingSample() {
  const p = page.play;
  if (!p) return null;
  const out = $("player").currentTime * page.state.rate;
  let found = p.stretches.length ? p.stretches[0][1] : p.start;
  for (const [offset, start, length] of p.stretches) {
    if (out < offset) break;
    found = start + Math.min(out - offset, length);
  }
  return Math.round(found);
}

async function startPlayback(which, from) {
  const a = from !== null && from >= page.start && from < page.end ? from : page.start;
  const args = query({ kind: which, start: a, end: page.end });
  const response = await fetch(`stretches?${args}`);
  const map = await response.json();
  const whole = map.end >= page.end;
  page.play = { kind: which, start: a, stretches: map.stretches, whole };
  tune.audio = { kind: which, start: a, end: page.end, url: `audio?${args}`, length: map.length };
  const player = $("player");
  player.src = `audio?${args}`;
  await player.play().catch(() => {});
  $("play").textContent = "\u25a0 stop";
  requestAnimationFrame(follow);
}

function restartPlayback() {
  const at = playingSample();
  startPlayback(kind(), at);
}

function stopPlayback() {
  $("player").pause();
  page.play = null;
  $("play").textContent = "\u25b6 play";
  placeLines();
}

function follow() {
  if (!page.play) return;
  placeLines();
  requestAnimationFrame(follow);
}

function placeLines() {
  const rect = $("plots").getBoundingClientRect();
  const put = (id, sample) => {
    const el = $(id);
    const visible = sample !== null && sample >= page.start && sample <= page.end;
    el.style.display = visible ? "block" : "none";
    if (visible) el.style.left = `${xOf(sample, rect.width)}px`;
  };
  put("cursor", page.cursor);
  const at = playingSample();
  put("playhead", at);
  const limit = page.play && !page.play.whole ? " (ten minutes at a time: click further on to go on)" : "";
  $("position").textContent = at !== null ? timeText(seconds(at)) + limit : page.cursor !== null ? `from ${timeText(seconds(page.cursor))}` : "";
}

// ---- start ----------------------------------------------------------------

function wire() {
  $("zoom-in").addEventListener("click", () => zoom(0.5));
  $("zoom-out").addEventListener("click", () => zoom(2));
  $("zoom-all").addEventListener("click", () => setView(0, page.state.samples));
  $("save-gate").addEventListener("click", () => save("gate"));
  $("save-cut").addEventListener("click", () => save("cut"));
  $("play").addEventListener("click", () => (page.play ? stopPlayback() : startPlayback(kind(), page.cursor)));
  $("player").addEventListener("ended", stopPlayback);
  for (const radio of document.querySelectorAll("input[name=kind]")) {
    radio.addEventListener("change", () => { if (page.play) restartPlayback(); });
  }
  document.addEventListener("keydown", (event) => {
    if (event.key === " " && event.target === document.body) {
      event.preventDefault();
      $("play").click();
    }
  });
  const plots = $("plots");
  plots.addEventListener("wheel", (event) => {
    event.preventDefault();
    zoom(event.deltaY > 0 ? 1.25 : 0.8, sampleAt(event));
  }, { passive: false });
  plots.addEventListener("dblclick", () => setView(0, page.state.samples));
  let drag = null;
  plots.addEventListener("mousedown", (event) => { drag = { x: event.clientX, start: page.start, end: page.end, moved: false }; });
  window.addEventListener("mousemove", (event) => {
    if (!drag) return;
    const dx = event.clientX - drag.x;
    if (Math.abs(dx) > 3) drag.moved = true;
    if (!drag.moved) return;
    const shift = -dx / plots.clientWidth * (drag.end - drag.start);
    setView(drag.start + shift, drag.end + shift);
  });
  window.addEventListener("mouseup", (event) => {
    if (drag && !drag.moved) {
      page.cursor = sampleAt(event);
      if (page.play) startPlayback(kind(), page.cursor); else placeLines();
    }
    drag = null;
  });
  window.addEventListener("resize", () => { page.viewDirty = true; if (!page.viewBusy) fetchView(); });
}

async function start() {
  const response = await fetch("state");
  page.state = await response.json();
  const st = page.state;
  $("file").textContent = `${st.name}: ${timeText(st.samples / st.rate)}, ${st.rate} Hz, ${st.channels} channel${st.channels === 1 ? "" : "s"} (${st.format} ${st.subtype})`;
  $("notes").textContent = st.notes.join("; ");
  $("wave-label").textContent = `waveform (peak ${dbText(st.peak)}), kept regions shaded`;
  document.title = `talvane tune: ${st.name}`;
  buildControls();
  wire();
  setView(0, st.samples);
  await new Promise((resolve) => {
    const wait = () => (page.viewBusy ? setTimeout(wait, 10) : resolve());
    wait();
  });
  page.texts = { ...page.result.texts };
}

window.addEventListener("unhandledrejection", () => {
  $("notes").textContent = "the tune server does not answer: was it stopped? (talvane tune FILE starts it again)";
});

start();
