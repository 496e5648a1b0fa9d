// The page of `halvern report`. Everything it shows comes from one JSON object embedded in the
// page (<script type="application/json" id="halvern-data">, schema in ../SCHEMA.md) and from the
// audio of each position of the chain: embedded as base64 WAV in
// <script type="text/plain" id="halvern-audio-KEY">, or, with --audio-beside, in a script beside
// the page that calls window.halvernAudio(KEY, BASE64) (a script loads from disk where a fetch
// may not). The page makes no request of its own.
import WaveSurfer from 'wavesurfer.js';
import Spectrogram from 'wavesurfer.js/dist/plugins/spectrogram.esm.js';
import uPlot from 'uplot';
import 'uplot/dist/uPlot.min.css';
import './report.css';

const data = JSON.parse(document.getElementById('halvern-data').textContent);

// What the page exposes for its test and for anyone curious in the console.
const state = { plots: {}, players: {}, errors: [], ready: false };
window.halvernReport = state;

// ---------------------------------------------------------------- small helpers

function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') e.className = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v);
  }
  for (const c of children.flat()) {
    if (c !== null && c !== undefined) e.append(c instanceof Node ? c : String(c));
  }
  return e;
}

function section(id, title, intro) {
  const s = el('section', { id }, el('h2', {}, title));
  if (intro) s.append(el('p', { class: 'intro' }, intro));
  document.getElementById('app').append(s);
  return s;
}

// A figure as the page shows it: fixed decimals for fractions, integers as they are.
function formatNumber(v) {
  if (typeof v !== 'number') return String(v);
  if (!Number.isFinite(v)) return String(v);
  if (Number.isInteger(v)) return String(v);
  return v.toFixed(Math.abs(v) >= 100 ? 1 : 2);
}

// A gain axis spans at least this much, so that a change of a hundredth of a dB does not fill the
// plot (it still shows in the legend's figures).
const MIN_GAIN_SPAN_DB = 2;
function gainRange(u, min, max) {
  if (min === null || max === null || !Number.isFinite(min) || !Number.isFinite(max)) {
    return [-MIN_GAIN_SPAN_DB / 2, MIN_GAIN_SPAN_DB / 2];
  }
  const widen = Math.max(0, (MIN_GAIN_SPAN_DB - (max - min)) / 2);
  return uPlot.rangeNum(min - widen, max + widen, 0.1, true);
}

const SILENCE_DB = -120;  // curves and traces draw silence (-200 dB in the data) at this floor
const floorDb = (v) => (v === null ? null : Math.max(v, SILENCE_DB));

// ---------------------------------------------------------------- header

function buildHeader() {
  document.title = `halvern report: ${data.title}`;
  const h = el('header', {},
    el('h1', {}, 'halvern report'),
    el('p', { class: 'subtitle' }, data.title));
  const files = el('table', { class: 'facts' },
    ...[
      ['Input', data.files.input],
      ['Tuning', data.files.tuning],
      ['Format', data.files.input_format],
      ['Recording', `${formatNumber(data.duration_s)} s, ${data.frames} frames of ${data.frame_length} samples at ${data.sample_rate} Hz`],
      ['Made', data.created],
      ['Program', data.program],
    ].map(([k, v]) => el('tr', {}, el('th', {}, k), el('td', {}, v))));
  const stages = el('ul', { class: 'stages' },
    data.stages.map((s) => el('li', { class: s.enabled ? 'on' : 'off', title: s.enabled ? 'enabled' : 'off' },
      `${s.name}${s.enabled ? '' : ' (off)'}`)));
  const diag = el('div', { class: 'diagnostics' }, el('h3', {}, `Diagnostics of halvern check (${data.diagnostics.length})`));
  if (data.diagnostics.length === 0) {
    diag.append(el('p', { class: 'ok' }, 'No finding: every slot is in range and consistent.'));
  } else {
    diag.append(el('ul', {}, data.diagnostics.map((d) =>
      el('li', { class: `sev-${d.severity}` }, el('span', { class: 'sev' }, d.severity), ' ', d.text))));
  }
  h.append(files, el('h3', {}, 'Stages'), stages, diag);
  if (data.notes.length > 0) {
    h.append(el('div', { class: 'diagnostics' }, el('h3', {}, 'Notes on the input and the run'),
      el('ul', {}, data.notes.map((n) => el('li', { class: 'sev-note' }, n)))));
  }
  document.getElementById('app').append(h);
}

// ---------------------------------------------------------------- audio

const audioText = new Map();     // key -> base64 WAV
const audioWaiting = new Map();  // key -> [resolve]

window.halvernAudio = (key, base64) => {
  audioText.set(key, base64);
  for (const resolve of audioWaiting.get(key) || []) resolve(base64);
  audioWaiting.delete(key);
};

function signalByKey(key) { return data.signals.find((s) => s.key === key); }

// The WAV bytes of a signal, as a Blob.
function loadAudio(key) {
  const signal = signalByKey(key);
  const ready = new Promise((resolve, reject) => {
    if (audioText.has(key)) { resolve(audioText.get(key)); return; }
    const inline = document.getElementById(`halvern-audio-${key}`);
    if (inline) { resolve(inline.textContent.trim()); return; }
    if (!signal || !signal.script) { reject(new Error(`no audio for ${key}`)); return; }
    audioWaiting.set(key, [...(audioWaiting.get(key) || []), resolve]);
    const script = el('script', { src: `${encodeURIComponent(signal.folder)}/${encodeURIComponent(signal.script)}` });
    script.onerror = () => reject(new Error(`the audio file ${signal.script} is missing: keep the folder ${signal.folder} beside the report`));
    document.body.append(script);
  });
  return ready.then((b64) => {
    const bytes = typeof Uint8Array.fromBase64 === 'function'
      ? Uint8Array.fromBase64(b64)
      : Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
    return new Blob([bytes], { type: 'audio/wav' });
  });
}

// ---------------------------------------------------------------- listening

const players = [];
let listening = 1;  // index of the player that is heard: 0 input side, 1 output side

function makePlayer(side, initialKey, container) {
  const title = el('h3', {}, side === 0 ? 'A' : 'B');
  const select = el('select', { 'aria-label': `signal of player ${side === 0 ? 'A' : 'B'}` },
    data.signals.map((s) => el('option', { value: s.key }, s.label)));
  select.value = initialKey;
  const wave = el('div', { class: 'wave' });
  const spectrogram = el('div', { class: 'spectrogram' });
  const spectrogramPlugin = Spectrogram.create({
    container: spectrogram,
    labels: true,
    height: 140,
    frequencyMax: data.sample_rate / 2,
    scale: 'linear',
    fftSamples: 512,
    useWebWorker: false,
  });
  const box = el('div', { class: 'player' }, el('div', { class: 'player-head' }, title, select), wave, spectrogram);
  container.append(box);
  const ws = WaveSurfer.create({
    container: wave,
    height: 70,
    sampleRate: data.sample_rate,
    waveColor: side === 0 ? '#7a8fa6' : '#3f7f5f',
    progressColor: side === 0 ? '#3d536b' : '#1f4f35',
    cursorColor: '#c0392b',
    normalize: false,
    dragToSeek: true,
    plugins: [spectrogramPlugin],
  });
  const p = { side, ws, spectrogram: spectrogramPlugin, select, box, key: initialKey, duration: 0 };
  ws.on('interaction', (t) => seekAll(t));
  ws.on('timeupdate', (t) => { if (side === listening) onTime(t); });
  ws.on('finish', () => { if (side === listening) stopAll(); });
  ws.on('error', (e) => reportError(`player ${side === 0 ? 'A' : 'B'}: ${e}`));
  select.addEventListener('change', () => switchSignal(p, select.value));
  players.push(p);
  return p;
}

// Settles once the player's spectrogram has been drawn for the audio it is loading.
function spectrogramDrawn(p) {
  return new Promise((resolve, reject) => {
    const done = () => { unReady(); unError(); };
    const unReady = p.spectrogram.once('ready', () => { done(); resolve(); });
    const unError = p.spectrogram.once('error', (e) => {
      done();
      reject(new Error(`the spectrogram of player ${p.side === 0 ? 'A' : 'B'}: ${e.message || e}`));
    });
  });
}

async function loadInto(p, key) {
  const t = p.ws.getCurrentTime();
  p.key = key;
  const blob = await loadAudio(key);
  const drawn = spectrogramDrawn(p);
  drawn.catch(() => {});  // awaited once the audio is in; a failed load is reported instead
  await p.ws.loadBlob(blob);
  await drawn;
  p.duration = p.ws.getDuration();
  state.players[p.side === 0 ? 'a' : 'b'] = { key, duration: p.duration, samples: p.ws.getDecodedData()?.length ?? 0 };
  p.ws.setMuted(p.side !== listening);
  if (t > 0) p.ws.setTime(t);
}

async function switchSignal(p, key) {
  const wasPlaying = players.some((q) => q.ws.isPlaying());
  const t = players[listening].ws.getCurrentTime();
  stopAll();
  await loadInto(p, key).catch((e) => reportError(e.message));
  seekAll(t);
  if (wasPlaying) playAll();
}

function seekAll(t) {
  for (const p of players) if (Math.abs(p.ws.getCurrentTime() - t) > 0.001) p.ws.setTime(t);
  onTime(t);
}

function playAll() {
  const t = players[listening].ws.getCurrentTime();
  for (const p of players) { p.ws.setTime(t); p.ws.play(); }
  playButton.textContent = 'Pause';
}

function stopAll() {
  for (const p of players) p.ws.pause();
  playButton.textContent = 'Play';
}

// Flips what is heard between the two players, at the same instant: both play all along and
// only their mute changes.
function flip() {
  listening = 1 - listening;
  for (const p of players) p.ws.setMuted(p.side !== listening);
  const other = players[1 - listening].ws.getCurrentTime();
  const heard = players[listening].ws;
  if (Math.abs(heard.getCurrentTime() - other) > 0.02) heard.setTime(other);
  updateSwitch();
}

let playButton;
let switchButton;

function updateSwitch() {
  const p = players[listening];
  switchButton.textContent = `Hearing ${listening === 0 ? 'A' : 'B'}: ${signalByKey(p.key).label} (press to flip)`;
  for (const q of players) q.box.classList.toggle('heard', q.side === listening);
}

function buildListening() {
  const s = section('listening', 'Listening',
    'Two players on one clock: both play together, and the switch (or the space bar with Shift) flips which one you hear at the same instant. Choose any position of the chain for either player. Click a waveform, a spectrogram or a trace to move both.');
  playButton = el('button', { class: 'play', onclick: () => (players[listening].ws.isPlaying() ? stopAll() : playAll()) }, 'Play');
  switchButton = el('button', { class: 'switch', onclick: flip }, '');
  s.append(el('div', { class: 'transport' }, playButton, switchButton, el('span', { class: 'clock', id: 'clock' }, '0.00 s')));
  const grid = el('div', { class: 'players' });
  s.append(grid);
  const input = data.signals[0].key;
  const output = data.signals[data.signals.length - 1].key;
  makePlayer(0, input, grid);
  makePlayer(1, output, grid);
  updateSwitch();
  document.addEventListener('keydown', (e) => {
    if (e.code === 'Space' && e.shiftKey) { e.preventDefault(); flip(); }
  });
  return Promise.all(players.map((p) => loadInto(p, p.key)));
}

// ---------------------------------------------------------------- plots

const timePlots = [];
let playhead = 0;
state.timeRanges = () => timePlots.map((u) => [u.scales.x.min, u.scales.x.max]);

function onTime(t) {
  playhead = t;
  const clock = document.getElementById('clock');
  if (clock) clock.textContent = `${t.toFixed(2)} s`;
  for (const u of timePlots) u.redraw(false, false);
  const other = players[1 - listening];
  if (other && Math.abs(other.ws.getCurrentTime() - t) > 0.05 && players[listening].ws.isPlaying()) {
    other.ws.setTime(t);
  }
}

function plotWidth(container) { return Math.max(400, container.clientWidth - 8); }

const plotsByName = {};
// The range of a plot's scale as drawn, e.g. scaleRange('dynamics', 'gain').
state.scaleRange = (name, key) => {
  const scale = plotsByName[name].scales[key];
  return [scale.min, scale.max];
};

function register(name, u, points) {
  plotsByName[name] = u;
  state.plots[name] = { points, drawn: false, series: u.series.length - 1 };
  u.hooks.draw = u.hooks.draw || [];
  u.hooks.draw.push(() => { state.plots[name].drawn = true; });
  state.plots[name].drawn = true;  // uPlot draws synchronously on creation when sized
}

// Markers for clipped samples, the playhead, and the link from a click to the players.
function timeHooks(extraDraw) {
  let syncing = false;
  return {
    draw: [(u) => {
      if (extraDraw) extraDraw(u);
      const { ctx } = u;
      const top = u.bbox.top;
      const height = u.bbox.height;
      ctx.save();
      ctx.strokeStyle = 'rgba(220, 30, 30, 0.85)';
      ctx.lineWidth = 2;
      for (const c of data.trace.clips) {
        const x = u.valToPos(c.time_s, 'x', true);
        if (x < u.bbox.left || x > u.bbox.left + u.bbox.width) continue;
        ctx.beginPath();
        ctx.moveTo(x, top);
        ctx.lineTo(x, top + 8 * devicePixelRatio);
        ctx.stroke();
      }
      const px = u.valToPos(playhead, 'x', true);
      ctx.strokeStyle = 'rgba(192, 57, 43, 0.9)';
      ctx.lineWidth = 1;
      ctx.beginPath();
      ctx.moveTo(px, top);
      ctx.lineTo(px, top + height);
      ctx.stroke();
      ctx.restore();
    }],
    setScale: [(u, key) => {
      if (key !== 'x' || syncing) return;
      syncing = true;
      const { min, max } = u.scales.x;
      for (const other of timePlots) {
        if (other !== u && (other.scales.x.min !== min || other.scales.x.max !== max)) other.setScale('x', { min, max });
      }
      syncing = false;
    }],
    ready: [(u) => {
      u.over.addEventListener('click', () => {
        if (u.select.width > 2) return;
        const t = u.posToVal(u.cursor.left, 'x');
        if (Number.isFinite(t)) seekAll(Math.max(0, Math.min(t, data.duration_s)));
      });
    }],
  };
}

// Every plot on the time axis has axes of the same widths, so that their times line up.
const LEFT_AXIS = 120;
const RIGHT_AXIS = 60;

function timeAxis() {
  return { label: 'time (s)', labelSize: 16, size: 36 };
}

function timePlot(container, name, title, series, values, yAxes, extraDraw, height = 170) {
  const box = el('div', { class: 'plot' }, el('h3', {}, title));
  container.append(box);
  const u = new uPlot({
    width: plotWidth(container),
    height,
    scales: { x: { time: false, min: 0, max: data.duration_s }, ...Object.fromEntries(yAxes.map((a) => [a.scale, a.range ? { range: a.range } : {}])) },
    cursor: { sync: { key: 'halvern-time' }, drag: { x: true, y: false } },
    legend: { live: true },
    series: [{ label: 'time (s)', value: (u, v) => (v == null ? '-' : v.toFixed(2)) }, ...series],
    axes: [timeAxis(), ...yAxes.map((a, i) => ({ scale: a.scale, label: a.label, labelSize: 16, side: i === 0 ? 3 : 1, grid: { show: i === 0 }, size: i === 0 ? LEFT_AXIS : RIGHT_AXIS })),
      ...(yAxes.length === 1 ? [{ scale: yAxes[0].scale, label: ' ', labelSize: 16, side: 1, grid: { show: false }, size: RIGHT_AXIS }] : [])],
    hooks: timeHooks(extraDraw),
  }, [data.trace.time_s, ...values], box);
  timePlots.push(u);
  register(name, u, data.trace.time_s.length);
  return u;
}

function buildTraces() {
  const s = section('traces', 'What the engine did, frame by frame',
    'One time axis for every plot: drag across a plot to zoom all of them, double-click to see the whole recording again. Red ticks at the top of each plot mark frames where samples clip; the red line is the players\' position. Values are those at the end of each 20 ms frame.');
  const t = data.trace;
  timePlot(s, 'dynamics', 'Dynamics: level and level-control gain', [
    { label: 'level (dBFS)', stroke: '#2c6fbb', width: 1.5, scale: 'level', value: (u, v) => (v == null ? '-' : v.toFixed(1)) },
    { label: 'gain (dB)', stroke: '#d35400', width: 2, scale: 'gain', value: (u, v) => (v == null ? '-' : v.toFixed(1)) },
  ], [t.dynamics_level_db.map(floorDb), t.dynamics_gain_db.map(floorDb)], [
    { scale: 'level', label: 'level (dBFS)', range: [-100, 0] },
    { scale: 'gain', label: 'gain (dB)', range: gainRange },
  ]);
  timePlot(s, 'equalizer', 'Equalizer: compander gain and limiter gain', [
    { label: 'compander gain (dB)', stroke: '#8e44ad', width: 2, scale: 'db', value: (u, v) => (v == null ? '-' : v.toFixed(2)) },
    { label: 'limiter gain (dB)', stroke: '#c0392b', width: 2, scale: 'db', value: (u, v) => (v == null ? '-' : v.toFixed(2)) },
  ], [t.compander_gain_db.map(floorDb), t.limiter_gain_db.map(floorDb)],
  [{ scale: 'db', label: 'gain (dB)', range: gainRange }]);
  buildHowlMap(s);
  const clipTitle = t.clips.length === 0 ? 'Clipped samples per frame: none in this recording'
    : `Clipped samples per frame: ${t.clips.length} frames with clipped samples`;
  timePlot(s, 'clips', clipTitle, data.signals.map((sig, i) => ({
    label: sig.label, stroke: CLIP_COLOURS[i % CLIP_COLOURS.length], width: 0,
    points: { show: true, size: 7, fill: CLIP_COLOURS[i % CLIP_COLOURS.length] },
    paths: () => null,
  })), data.signals.map((sig) => t.clipped[sig.key].map((v) => (v > 0 ? v : null))), [{ scale: 'n', label: 'samples', range: [0, Math.max(1, ...data.signals.map((sig) => Math.max(0, ...t.clipped[sig.key])))] }], null, 130);
}

const CLIP_COLOURS = ['#7f8c8d', '#2980b9', '#d35400', '#8e44ad', '#c0392b', '#16a085'];

// The howl map: one row per suppressor band, one column per frame. The colour is the band's
// peak-to-floor level against its threshold; marked cells are red (strongly marked: dark red).
function buildHowlMap(container) {
  const t = data.trace;
  const bands = data.curves.suppressor.bands;
  const nb = bands.length;
  const rows = Array.from({ length: nb }, (_, b) => b);
  const draw = (u) => {
    const { ctx } = u;
    const n = t.time_s.length;
    const frame = data.frame_length / data.sample_rate;
    ctx.save();
    ctx.beginPath();
    ctx.rect(u.bbox.left, u.bbox.top, u.bbox.width, u.bbox.height);
    ctx.clip();
    for (let f = 0; f < n; ++f) {
      const x0 = u.valToPos(t.time_s[f] - frame / 2, 'x', true);
      const x1 = u.valToPos(t.time_s[f] + frame / 2, 'x', true);
      if (x1 < u.bbox.left || x0 > u.bbox.left + u.bbox.width) continue;
      for (let b = 0; b < nb; ++b) {
        const y0 = u.valToPos(b + 0.5, 'band', true);
        const y1 = u.valToPos(b - 0.5, 'band', true);
        const mark = t.band_mark[f][b];
        const over = t.band_level[f][b] - bands[b].threshold;
        ctx.fillStyle = mark === 2 ? '#7b0000' : mark === 1 ? '#e02020' : levelColour(over);
        ctx.fillRect(x0, y0, Math.max(1, x1 - x0 + 0.5), y1 - y0);
      }
    }
    ctx.restore();
  };
  const box = el('div', { class: 'plot' }, el('h3', {}, 'Peak suppressor: the howl map'),
    el('p', { class: 'legend-note' },
      el('span', { class: 'swatch', style: 'background:#e02020' }), ' marked (cut to ', formatNumber(data.curves.suppressor.mark1_gain_db), ' dB) ',
      el('span', { class: 'swatch', style: 'background:#7b0000' }), ' strongly marked (', formatNumber(data.curves.suppressor.mark2_gain_db), ' dB) ',
      el('span', { class: 'swatch', style: `background:${levelColour(-20)}` }), el('span', { class: 'swatch', style: `background:${levelColour(0)}` }),
      el('span', { class: 'swatch', style: `background:${levelColour(20)}` }), ' band level from far below to above its threshold'));
  container.append(box);
  const u = new uPlot({
    width: plotWidth(container),
    height: 300,
    scales: { x: { time: false, min: 0, max: data.duration_s }, band: { range: [-0.5, nb - 0.5] } },
    cursor: { sync: { key: 'halvern-time' }, drag: { x: true, y: false }, points: { show: false } },
    legend: { show: false },
    series: [{}, { label: 'band', scale: 'band', stroke: 'transparent', paths: () => null, points: { show: false } }],
    axes: [timeAxis(), {
      scale: 'band', side: 3, size: LEFT_AXIS, label: 'band (Hz)', labelSize: 16,
      splits: () => rows,
      values: (u, vals) => vals.map((b) => (Number.isInteger(b) && bands[b] ? `${b}: ${Math.round(bands[b].first_hz)}-${Math.round(bands[b].last_hz)}` : '')),
      grid: { show: false },
    }, { scale: 'band', label: ' ', labelSize: 16, side: 1, size: RIGHT_AXIS, grid: { show: false }, values: (u, vals) => vals.map(() => '') }],
    hooks: timeHooks(draw),
  }, [t.time_s, t.time_s.map(() => null)], box);
  timePlots.push(u);
  register('howl', u, t.time_s.length);
}

function levelColour(over) {
  // Blue-grey far below the threshold, to pale yellow near it, to orange above it.
  const v = Math.max(-30, Math.min(15, over));
  if (v < 0) {
    const a = (v + 30) / 30;  // 0 far below .. 1 at threshold
    return `rgb(${Math.round(225 - 10 * a)}, ${Math.round(232 - 2 * a)}, ${Math.round(240 - 70 * a)})`;
  }
  const a = v / 15;
  return `rgb(${Math.round(250)}, ${Math.round(215 - 80 * a)}, ${Math.round(120 - 80 * a)})`;
}

// ---------------------------------------------------------------- curves

function xyPlot(container, name, title, opts, xs, ys) {
  const box = el('div', { class: 'plot half' }, el('h3', {}, title));
  container.append(box);
  const u = new uPlot({
    width: Math.max(320, Math.floor(container.clientWidth / 2) - 16),
    height: 260,
    scales: { x: { time: false, ...(opts.xScale || {}) }, y: { ...(opts.yScale || {}) } },
    cursor: { drag: { x: false, y: false } },
    series: [{ label: opts.xLabel, value: (u, v) => (v == null ? '-' : formatNumber(v)) }, ...opts.series],
    axes: [{ label: opts.xLabel, labelSize: 16 }, { label: opts.yLabel, labelSize: 16, size: 50 }],
  }, [xs, ...ys], box);
  register(name, u, xs.length);
  return u;
}

function buildCurves() {
  const s = section('curves', 'What the tuning means',
    'Measured by running the fixed-point stages on steady tones (level curves: a 1 kHz sine from -90 to 0 dBFS peak, measured once the stage has settled; responses: a sine at each frequency). Levels are RMS dBFS: a full-scale sine is -3 dBFS, a full-scale square 0 dBFS.');
  const c = data.curves;
  if (c.error) s.append(el('p', { class: 'warning' }, c.error));
  const off = Object.fromEntries(data.stages.map((st) => [st.key, st.enabled ? '' : ' (stage off in this tuning)']));
  const grid = el('div', { class: 'curve-grid' });
  s.append(grid);
  const levelSeries = (label, colour) => [
    { label, stroke: colour, width: 2, value: (u, v) => (v == null ? '-' : v.toFixed(2)) },
    { label: 'unchanged', stroke: '#aaa', dash: [4, 4], width: 1, value: (u, v) => (v == null ? '-' : v.toFixed(2)) },
  ];
  const levelOpts = (label, colour) => ({
    xLabel: 'input level (dBFS)', yLabel: 'output level (dBFS)', series: levelSeries(label, colour),
    xScale: { range: [-96, 0] }, yScale: { range: [SILENCE_DB, 10] },
  });
  if (c.dynamics) {
    xyPlot(grid, 'curve_dynamics', `Dynamics stage: static level curve${off.dynamics}`, levelOpts('output (dBFS)', '#d35400'),
      c.dynamics.in_db, [c.dynamics.out_db.map(floorDb), c.dynamics.in_db]);
  }
  if (c.compander_limiter) {
    xyPlot(grid, 'curve_compander', `Equalizer compander, limiter and final gain: static level curve${off.equalizer}`, levelOpts('output (dBFS)', '#8e44ad'),
      c.compander_limiter.in_db, [c.compander_limiter.out_db.map(floorDb), c.compander_limiter.in_db]);
  }
  const respOpts = (label, colour) => ({
    xLabel: 'frequency (Hz)', yLabel: 'gain (dB)', xScale: { distr: 3, log: 10 }, yScale: { range: (u, min, max) => [Math.max(min, -60) - 3, max + 3] },
    series: [{ label, stroke: colour, width: 2, value: (u, v) => (v == null ? '-' : v.toFixed(2)) }],
  });
  xyPlot(grid, 'curve_highpass', `High-pass stage: magnitude response${off.highpass}`, respOpts('gain (dB)', '#2c6fbb'), c.highpass.hz, [c.highpass.gain_db.map((v) => Math.max(v, -80))]);
  xyPlot(grid, 'curve_fir', `Equalizer FIR: magnitude response${off.equalizer}`, respOpts('gain (dB)', '#16a085'), c.fir.hz, [c.fir.gain_db.map((v) => Math.max(v, -80))]);
  buildBandChart(s);
}

// The suppressor's bands on a frequency axis, each with its threshold.
function buildBandChart(container) {
  const sup = data.curves.suppressor;
  const W = 900; const rowH = 18; const left = 70; const right = 170;
  const H = sup.bands.length * rowH + 40;
  const fx = (hz) => left + (hz / (data.sample_rate / 2)) * (W - left - right);
  const ns = 'http://www.w3.org/2000/svg';
  const svg = document.createElementNS(ns, 'svg');
  svg.setAttribute('viewBox', `0 0 ${W} ${H}`);
  svg.setAttribute('class', 'bands');
  const add = (tag, attrs, text) => {
    const e = document.createElementNS(ns, tag);
    for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
    if (text !== undefined) e.textContent = text;
    svg.append(e);
  };
  const maxThr = Math.max(1, ...sup.bands.map((b) => b.threshold_db));
  sup.bands.forEach((b, i) => {
    const y = 10 + i * rowH;
    add('text', { x: left - 6, y: y + 12, 'text-anchor': 'end', class: 'lbl' }, `band ${i}`);
    add('rect', { x: fx(b.first_hz), y: y + 2, width: fx(b.last_hz) - fx(b.first_hz), height: rowH - 5,
      fill: `hsl(${200 - 160 * Math.max(0, b.threshold_db) / maxThr}, 60%, 55%)` });
    add('text', { x: W - right + 8, y: y + 12, class: 'lbl' }, `threshold ${b.threshold} (${b.threshold_db.toFixed(1)} dB)`);
  });
  for (let hz = 0; hz <= data.sample_rate / 2; hz += 1000) {
    add('line', { x1: fx(hz), x2: fx(hz), y1: 8, y2: H - 28, class: 'tick' });
    add('text', { x: fx(hz), y: H - 14, 'text-anchor': 'middle', class: 'lbl' }, `${hz / 1000} kHz`);
  }
  const box = el('div', { class: 'plot' }, el('h3', {}, `Peak suppressor: bands and thresholds${data.stages.find((st) => st.key === 'suppressor').enabled ? '' : ' (stage off in this tuning)'}`),
    el('p', { class: 'legend-note' }, `A band is marked when its peak-to-floor level exceeds its threshold (level units of about 0.37 dB); its bins are then cut to ${formatNumber(sup.mark1_gain_db)} dB (${formatNumber(sup.mark2_gain_db)} dB when more than 10 units above), and the rest of the spectrum to ${formatNumber(sup.rest_gain_db)} dB.`));
  box.append(svg);
  container.append(box);
  state.plots.curve_bands = { points: svg.querySelectorAll('rect').length, drawn: true, series: 1 };
}

// ---------------------------------------------------------------- figures

function buildFigures() {
  const s = section('figures', 'Figures', 'The statistics of the run (what halvern run --stats writes) and the tuning explained (what halvern explain prints).');
  s.append(el('h3', {}, 'Statistics'));
  s.append(statsTable(data.statistics));
  const ex = data.explained;
  s.append(el('h3', {}, 'Settings of each stage'));
  const stages = el('div', { class: 'stats' });
  for (const st of Object.values(ex.stages || {})) {
    const rows = Object.entries(st).filter(([k, v]) => k !== 'name' && k !== 'enabled' && typeof v !== 'object');
    stages.append(el('table', { class: `stat-group${st.enabled ? '' : ' off'}` },
      el('caption', {}, `${sentence(st.name)}${st.enabled ? '' : ' (off)'}`),
      rows.map(([k, v]) => el('tr', {}, el('th', {}, label(k)),
        el('td', { class: 'num' }, formatNumber(v))))));
  }
  s.append(stages);
  s.append(el('h3', {}, 'Slots'));
  s.append(el('table', { class: 'settings' },
    el('tr', {}, ['Slot', 'Name', 'Value', 'Taken as', 'Unit', 'Stage', 'Status', 'Means'].map((h) => el('th', {}, h))),
    (ex.slots || []).map((r) => el('tr', { class: r.status === 'ok' ? '' : 'noted' },
      el('td', { class: 'num' }, r.slot), el('td', {}, el('code', {}, r.name)), el('td', { class: 'num' }, r.value),
      el('td', { class: 'num' }, r.effective ?? '-'), el('td', {}, r.unit), el('td', {}, r.stage),
      el('td', {}, r.status), el('td', {}, r.meaning)))));
}

// The statistics: plain figures in one table, each group of figures (an object) in its own table,
// a group of groups with the same figures (the positions of the chain) as one matrix, and lists
// (one figure per band) as rows. Every number cell carries its path in data-stat, so that the
// figure shown can be checked against the data.
function statCell(v, key) {
  return el('td', typeof v === 'number' ? { class: 'num', 'data-stat': key } : { class: 'num' }, v === null || v === undefined ? '-' : formatNumber(v));
}
const words = (k) => k.replaceAll('_', ' ');
const sentence = (text) => text.charAt(0).toUpperCase() + text.slice(1);

// Labels of the figures' keys, with their units; keys not listed get their words and a unit from
// their suffix (makeup_db: "makeup (dB)").
const LABELS = {
  dropped_samples: 'dropped (samples)',
  audio_seconds: 'audio (s)',
  wall_seconds: 'time taken (s)',
  speed_x_real_time: 'speed (x real time)',
  rms_dbfs: 'RMS (dBFS)',
  dc: 'DC (of full scale)',
  clipped_samples: 'clipped (samples)',
  changed_frames: 'changed (frames)',
  gain_db_min: 'gain, lowest (dB)',
  gain_db_mean: 'gain, mean (dB)',
  gain_db_max: 'gain, highest (dB)',
  frames_compression: 'compressing (frames)',
  frames_boost: 'boosting (frames)',
  frames_expansion: 'expanding (frames)',
  frames_limiting: 'limiting (frames)',
  frames_marked: 'with a marked band (frames)',
  marks_per_band: 'marked (frames)',
  longest_marked_run_per_band: 'longest marked run (frames)',
  boost_slope_db_per_db: 'boost slope (dB per dB)',
  step_lsb: 'step (LSB)',
  peak_level_min: 'lowest peak level (level units)',
  threshold: 'threshold (level units)',
  positions: 'levels at each position of the chain',
};
const UNITS = [
  ['_dbfs', 'dBFS'], ['_db', 'dB'], ['_hz', 'Hz'], ['_ms', 'ms'], ['_samples', 'samples'],
];
const SHORT_WORDS = {
  comp: 'compressor', exp: 'expander', cutoff: 'cut-off', mark1: 'marked', mark2: 'strongly marked',
};

function label(key) {
  if (LABELS[key]) return LABELS[key];
  const [suffix, unit] = UNITS.find(([end]) => key.endsWith(end)) || ['', ''];
  const text = key.slice(0, key.length - suffix.length).split('_')
    .map((w) => SHORT_WORDS[w] || w).join(' ');
  return unit ? `${text} (${unit})` : text;
}
const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);

function statsTable(stats) {
  const wrap = el('div', { class: 'stats' });
  const plain = Object.entries(stats).filter(([, v]) => !isObject(v));
  if (plain.length > 0) {
    wrap.append(el('table', { class: 'stat-group' }, el('caption', {}, 'Run'),
      plain.map(([k, v]) => el('tr', {}, el('th', {}, label(k)), statCell(v, k)))));
  }
  for (const [g, group] of Object.entries(stats).filter(([, v]) => isObject(v))) {
    const members = Object.values(group);
    if (members.length > 0 && members.every(isObject)) {
      const cols = Object.keys(group);
      const rows = [...new Set(members.flatMap((m) => Object.keys(m)))];
      wrap.append(el('table', { class: 'stat-group matrix' }, el('caption', {}, sentence(label(g))),
        el('tr', {}, el('th', {}, ''),
          cols.map((c) => el('th', { class: 'num' }, signalByKey(c)?.label ?? words(c)))),
        rows.map((r) => el('tr', {}, el('th', {}, label(r)),
          cols.map((c) => statCell(group[c][r], `${g}.${c}.${r}`))))));
      continue;
    }
    const scalars = Object.entries(group).filter(([, v]) => !Array.isArray(v) && !isObject(v));
    const lists = Object.entries(group).filter(([, v]) => Array.isArray(v));
    const table = el('table', { class: 'stat-group' }, el('caption', {}, sentence(label(g))),
      scalars.map(([k, v]) => el('tr', {}, el('th', {}, label(k)), statCell(v, `${g}.${k}`))));
    wrap.append(table);
    if (lists.length > 0) {
      const n = Math.max(...lists.map(([, v]) => v.length));
      wrap.append(el('table', { class: 'stat-group matrix' },
        el('caption', {}, `${sentence(label(g))} by band`),
        el('tr', {}, el('th', {}, 'band'), Array.from({ length: n }, (_, i) => el('th', { class: 'num' }, i))),
        lists.map(([k, v]) => el('tr', {}, el('th', {}, label(k)),
          v.map((x, i) => statCell(x, `${g}.${k}.${i}`))))));
    }
  }
  return wrap;
}

// ---------------------------------------------------------------- start

function reportError(message) {
  state.errors.push(message);
  console.error(message);
  const box = document.getElementById('page-errors');
  if (box) box.append(el('p', {}, message));
}

async function main() {
  document.getElementById('app').append(el('div', { id: 'page-errors', class: 'errors' }));
  buildHeader();
  const loading = buildListening();
  buildTraces();
  buildCurves();
  buildFigures();
  try {
    await loading;
  } catch (e) {
    reportError(e.message);
  }
  state.ready = true;
  document.body.classList.add('ready');
}

main();
