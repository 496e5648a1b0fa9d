// The page of `halvern studio`: controls for every slot of the tuning, two players on one clock
// (A: the tuning as saved, B: with the edits), and everything the report shows, redrawn after
// every change. It talks only to the studio's API (README), with the session token of its
// address, and makes no other request.
import 'uplot/dist/uPlot.min.css';
import '../../../report/web/src/report.css';
import './studio.css';
import { el, formatNumber } from '../../../report/web/src/dom.js';
import { ABPlayers, decodeWav } from '../../../report/web/src/players.js';
import { TimeAxis, buildTraces, buildCurves, stageSettingsTables,
  statsTable } from '../../../report/web/src/plots.js';

const token = new URLSearchParams(location.search).get('token') || '';

// What the page exposes for its test and for anyone curious in the console.
const state = {
  pending: () => inFlight || queued !== null,  // an edit not yet answered
  ready: false, errors: [], plots: {}, players: {}, latencies: [], editTimes: [], audioTimes: [],
  revision: 0, savedRevision: 0, slots: null, savedSlots: null, analysisRevision: 0,
  audio: { a: null, b: null },  // revision and key of the signal each player holds
};
window.halvernStudio = state;

let session;           // GET /api/session
let players;
const controls = new Map();  // slot -> control
let axis;

// ---------------------------------------------------------------- the API

class ApiError extends Error {
  constructor(status, message, body) {
    super(message);
    this.status = status;
    this.body = body;
  }
}

async function api(method, path, body, signal) {
  const response = await fetch(path, {
    method,
    signal,
    headers: { 'X-Halvern-Token': token, ...(body ? { 'Content-Type': 'application/json' } : {}) },
    body: body ? JSON.stringify(body) : undefined,
    cache: 'no-store',
  });
  if (!response.ok) {
    let parsed = null;
    try { parsed = await response.json(); } catch { /* not JSON */ }
    throw new ApiError(response.status,
      parsed?.error || `${method} ${path}: status ${response.status}`, parsed);
  }
  return response;
}
const getJson = async (path) => (await api('GET', path)).json();
const postJson = async (path, body) => (await api('POST', path, body ?? {})).json();

// ---------------------------------------------------------------- messages

function reportError(message) {
  state.errors.push(message);
  console.error(message);
  say(message, 'error');
}

let messageTimer = null;
function say(text, kind = 'info', action = null) {
  const box = document.getElementById('message');
  box.replaceChildren(el('span', {}, text));
  if (action) box.append(' ', el('button', { class: 'inline', onclick: action.run }, action.label));
  box.className = `message ${kind}`;
  clearTimeout(messageTimer);
  if (kind === 'info') messageTimer = setTimeout(() => { box.className = 'message hidden'; }, 6000);
}

// ---------------------------------------------------------------- header and toolbar

let undoButton;
let redoButton;
let saveButton;
let statusLine;
let deck;

function buildHeader() {
  document.title = `halvern studio: ${baseName(session.files.tuning)}`;
  undoButton = el('button', { onclick: undo, title: 'Ctrl+Z' }, 'Undo');
  redoButton = el('button', { onclick: redo, title: 'Ctrl+Shift+Z or Ctrl+Y' }, 'Redo');
  saveButton = el('button', { class: 'save', onclick: save, title: 'Ctrl+S' }, 'Save');
  statusLine = el('span', { class: 'status' }, '');
  const h = el('header', {},
    el('h1', {}, 'halvern studio'),
    el('table', { class: 'facts' },
      ...[
        ['Recording', `${session.files.input} (${session.files.input_format}), `
          + `${formatNumber(session.duration_s)} s`],
        ['Tuning', session.files.tuning],
        ['Program', session.program],
      ].map(([k, v]) => el('tr', {}, el('th', {}, k), el('td', {}, v)))),
    session.notes.length > 0 ? el('ul', { class: 'notes' }, session.notes.map((n) => el('li', {},
      n))) : null);
  // The deck stays at the top of the window: undo, redo, save and the players' transport.
  deck = el('div', { class: 'deck' },
    el('div', { class: 'toolbar' }, undoButton, redoButton, saveButton, statusLine),
    el('div', { id: 'message', class: 'message hidden' }));
  document.getElementById('app').append(h, deck);
  document.addEventListener('keydown', (e) => {
    if (!(e.ctrlKey || e.metaKey)) return;
    const k = e.key.toLowerCase();
    if (k === 'z' && !e.shiftKey) { e.preventDefault(); undo(); }
    else if ((k === 'z' && e.shiftKey) || k === 'y') { e.preventDefault(); redo(); }
    else if (k === 's') { e.preventDefault(); save(); }
  });
}

function baseName(path) { return path.split('/').pop(); }

function updateToolbar(r) {
  state.undoSteps = r.undo_steps;
  undoButton.disabled = r.undo_steps === 0;
  redoButton.disabled = r.redo_steps === 0;
  saveButton.disabled = !r.edited;
  const steps = `${r.undo_steps} undo step${r.undo_steps === 1 ? '' : 's'}`;
  const saved = r.edited ? 'edited, not saved' : 'as saved';
  statusLine.textContent = `revision ${r.revision}; ${saved}; ${steps}`;
}

function section(id, title, intro) {
  const s = el('section', { id }, el('h2', {}, title));
  if (intro) s.append(el('p', { class: 'intro' }, intro));
  document.getElementById('app').append(s);
  return s;
}

// ---------------------------------------------------------------- players

const LABELS = {
  output: 'Output (after dither)', input: 'Input', highpass: 'after high-pass', dynamics: 'after ' +
    'dynamics',
  equalizer: 'after equalizer', suppressor: 'after peak suppressor',
};

// The positions of the chain as the figures and plots name them.
function positionSignals() {
  return session.positions.filter((p) => p !== 'output').map((key) => ({ key,
    label: LABELS[key] || key }));
}

function buildListening() {
  const s = section('listening', 'Listening',
    'A plays the tuning as saved in the file, B the tuning with your edits; both at any position ' +
      'of the chain. They play together on one clock: the switch (or Shift+Space) flips which ' +
      'one you hear at the same instant, and every edit is heard in B at once, from where it ' +
      'plays. The loudness match plays the louder one at the RMS level of the other.');
  const signals = session.positions.filter((p) => p !== 'dither').map((key) => ({ key,
    label: LABELS[key] || key }));
  players = new ABPlayers({
    container: s,
    signals,
    initial: ['output', 'output'],
    sampleRate: session.sample_rate,
    titles: ['A', 'B'],
    subtitles: ['as saved', 'with your edits'],
    load: (side, key) => audioOf(side, key),
    onTime: (t) => { if (axis) axis.setPlayhead(t); },
    onLoaded: (side, info) => { state.players[side === 0 ? 'a' : 'b'] = info; },
    onError: reportError,
    spectrogramWorker: true,
  });
  deck.querySelector('.toolbar').after(s.querySelector('.transport'));
  state.samplesOf = (side) => Array.from(players.samplesOf(side), (v) => Math.round(v * 32768));
  state.playerState = () => ({ playing: players.playing, position: players.position(),
    listening: players.listening,
    match: players.matchGains() });
}

// The WAV bytes of a player's signal: A at the saved revision, B at the current one.
async function audioOf(side, key) {
  const revision = side === 0 ? state.savedRevision : state.revision;
  const bytes = await (await api('GET',
    `/api/audio/${key}.wav?revision=${revision}`)).arrayBuffer();
  state.audio[side === 0 ? 'a' : 'b'] = { revision, key };
  return bytes;
}

// Brings a player to the revision it should play, unless it has it. Returns when the change is
// heard, or null when there was none.
const loading = [null, null];  // per player: the revision and key being fetched, and the promise

// early: the audio asked for together with an edit ({revision, key, bytes} or null), used when it
// is that of the revision wanted.
function refreshPlayer(side, early = null) {
  const revision = side === 0 ? state.savedRevision : state.revision;
  const key = players.sides[side].key;
  const held = state.audio[side === 0 ? 'a' : 'b'];
  if (held && held.revision === revision && held.key === key) return Promise.resolve(null);
  const l = loading[side];
  if (l && l.revision === revision && l.key === key) return l.promise;  // asked for already
  const promise = fetchPlayer(side, revision, key,
    early).finally(() => { if (loading[side]?.promise === promise) loading[side] = null; });
  loading[side] = { revision, key, promise };
  return promise;
}

async function fetchPlayer(side, revision, key, early) {
  const asked = performance.now();
  const got = early ? await early : null;
  let bytes;
  if (got && got.revision === revision && got.key === key) {
    bytes = got.bytes;
    state.audio[side === 0 ? 'a' : 'b'] = { revision, key };
  } else {
    bytes = await audioOf(side, key);
  }
  // A newer revision came meanwhile.
  if ((side === 0 ? state.savedRevision : state.revision) !== revision) return null;
  const fetched = performance.now();
  const heard = players.setSignal(side, decodeWav(bytes).samples);
  state.audioTimes.push({ fetch: fetched - asked, decode: performance.now() - fetched });
  if (state.audioTimes.length > 1000) state.audioTimes.shift();
  return heard;
}

// ---------------------------------------------------------------- controls

const STAGE_TITLES = {
  all: 'Stages', highpass: 'High-pass', dynamics: 'Dynamics', equalizer: 'Equalizer',
  dither: 'Dither', suppressor: 'Peak suppressor', none: 'Unused slots',
};
const MASK_BITS = [['high-pass', 1], ['dynamics', 2], ['equalizer', 4], ['dither', 8],
  ['peak suppressor', 16]];

function buildControls() {
  const s = section('controls', 'Tuning',
    'Every slot of the tuning, by stage. Drag a slider (one drag is one undo step) or type a ' +
      'value; B plays the change at once. The saved value is the file\'s; a slot marked edited ' +
      'differs from it.');
  const groups = new Map();
  for (const info of session.catalogue) {
    if (!groups.has(info.stage)) groups.set(info.stage, []);
    groups.get(info.stage).push(info);
  }
  for (const [stage, slots] of groups) {
    const box = el('details', { class: `stage-group stage-${stage}`,
      ...(stage === 'none' ? {} : { open: '' }) },
      el('summary', {},
        `${STAGE_TITLES[stage] || stage} (${slotRange(slots)})`));
    const grid = el('div', { class: 'control-grid' });
    for (const info of slots) grid.append(makeControl(info));
    box.append(grid);
    s.append(box);
  }
}

function slotRange(slots) {
  const first = slots[0].slot;
  const last = slots[slots.length - 1].slot;
  return first === last ? `slot ${first}` : `slots ${first}-${last}`;
}

function makeControl(info) {
  const slider = el('input', { type: 'range', min: info.min, max: info.max, step: 1,
    'aria-label': info.name, 'data-slot': info.slot });
  const number = el('input', { type: 'number', min: info.min, max: info.max, step: 1,
    class: 'value', 'aria-label': `${info.name} value` });
  const saved = el('span', { class: 'saved' }, '');
  const meaning = el('div', { class: 'meaning' }, info.meaning);
  const status = el('span', { class: 'slot-status' }, '');
  const row = el('div', { class: 'control', id: `slot-${info.slot}` },
    el('div', { class: 'control-head' },
      el('span', { class: 'slot-number' }, info.slot), el('code', { class: 'slot-name' },
        info.name),
      el('span', { class: 'unit' }, info.unit), status),
    el('div', { class: 'control-body' }, slider, number),
    el('div', { class: 'control-foot' }, el('span', { class: 'range' }, `range ${info.range}`),
      saved),
    meaning);
  const c = { info, row, slider, number, saved, status, meaning, dragging: false, gesture: null,
    bits: [], unanswered: 0 };
  if (info.slot === 0) {
    // The stage mask: one box per stage bit.
    slider.classList.add('hidden');
    const boxes = el('div', { class: 'mask-bits' });
    for (const [name, bit] of MASK_BITS) {
      const box = el('input', { type: 'checkbox', 'data-bit': bit });
      box.addEventListener('change', () => {
        const value = (Number(number.value) & ~bit) | (box.checked ? bit : 0);
        number.value = value;
        edit(c, value, null, performance.now());
      });
      c.bits.push([box, bit]);
      boxes.append(el('label', {}, box, ` ${name}`));
    }
    row.querySelector('.control-body').append(boxes);
  }
  slider.addEventListener('pointerdown', () => {
    c.dragging = true;
    c.gesture = `drag-${info.slot}-${Date.now()}-${Math.random().toString(36).slice(2, 8)}`;
  });
  const endDrag = () => { c.dragging = false; c.gesture = null; };
  slider.addEventListener('pointerup', endDrag);
  slider.addEventListener('pointercancel', endDrag);
  slider.addEventListener('input', () => {
    number.value = slider.value;
    edit(c, Number(slider.value), c.dragging ? c.gesture : null, performance.now());
  });
  number.addEventListener('change', () => {
    const v = Math.round(Number(number.value));
    if (!Number.isFinite(v)) return;
    const clamped = Math.max(info.min, Math.min(info.max, v));  // controls keep values in range
    number.value = clamped;
    slider.value = clamped;
    edit(c, clamped, null, performance.now());
  });
  controls.set(info.slot, c);
  return row;
}

function showControl(c, value, savedValue, explained) {
  // A control keeps what the user set while that edit is not yet answered: an older state must
  // not move it back.
  // Only what changed is written: 85 controls are shown anew after every edit.
  const typing = document.activeElement === c.number;
  if (!c.dragging && c.unanswered === 0 && !typing && c.shown !== value) {
    c.slider.value = value;
    c.number.value = value;
    for (const [box, bit] of c.bits) box.checked = (value & bit) !== 0;
    c.shown = value;
  }
  if (c.shownSaved !== savedValue) {
    c.saved.textContent = `saved ${savedValue}`;
    c.shownSaved = savedValue;
  }
  const edited = value !== savedValue;
  if (c.row.classList.contains('edited') !== edited) c.row.classList.toggle('edited', edited);
  if (explained) {
    const notes = [];
    if (explained.status !== 'ok') notes.push(explained.status);
    const taken = explained.effective;
    if (taken !== null && taken !== value) notes.push(`taken as ${taken}`);
    const text = notes.join(', ');
    if (c.status.textContent !== text) {
      c.status.textContent = text;
      c.row.classList.toggle('noted', explained.status !== 'ok');
    }
  }
}

function showSlots() {
  const explained = state.explained?.slots;
  for (const [slot, c] of controls) {
    showControl(c, state.slots[slot], state.savedSlots[slot], explained ? explained[slot] : null);
  }
}

// ---------------------------------------------------------------- edits

// One request at a time; the values changed meanwhile go together in the next one (those of one
// drag with its gesture, so that the drag stays one undo step).
let inFlight = false;
let queued = null;  // { slots: {slot: value}, gesture, started }

function edit(c, value, gesture, started) {
  if (queued && queued.gesture !== gesture) flush();
  if (!queued) queued = { slots: {}, gesture, started, controls: [] };
  queued.slots[c.info.slot] = value;
  queued.controls.push(c);
  c.shown = value;
  c.unanswered += 1;
  c.row.classList.add('edited');
  flush();
}

async function flush() {
  if (inFlight || !queued) return;
  const request = queued;
  queued = null;
  inFlight = true;
  // B's audio is asked for together with the edit: the server answers it once the edit is made,
  // which saves a round trip before the change is heard.
  const base = state.revision;
  const key = players.sides[1].key;
  const abort = new AbortController();
  const early = api('GET', `/api/audio/${key}.wav?after=${base}`, undefined, abort.signal)
    .then(async (res) => ({ revision: Number(res.headers.get('X-Halvern-Revision')), key,
      bytes: await res.arrayBuffer() }))
    .catch(() => null);
  try {
    const sent = performance.now();
    const r = await postJson('/api/slots', request.gesture ? { slots: request.slots,
      gesture: request.gesture } : { slots: request.slots });
    state.editTimes.push({ waited: sent - request.started, answered: performance.now() - sent });
    if (state.editTimes.length > 1000) state.editTimes.shift();
    if (r.revision === base) abort.abort();  // nothing changed: no new audio comes
    await applyRevision(r, request.started, early);
  } catch (e) {
    abort.abort();
    if (e instanceof ApiError && e.status === 422) say(e.message, 'warning');
    else reportError(e.message);
    refreshState();
  } finally {
    inFlight = false;
    for (const c of request.controls) c.unanswered -= 1;
  }
  if (queued) flush();
}

// A new revision: B's audio first (that is what is heard), then the rest a little later.
async function applyRevision(r, started, early = null) {
  if (r.revision < state.revision) return;
  const savedChanged = r.saved_revision !== state.savedRevision;
  state.revision = r.revision;
  state.savedRevision = r.saved_revision;
  if (r.slots) {
    state.slots = r.slots;
    showSlots();
  }
  updateToolbar(r);
  const heard = await refreshPlayer(1, early);
  if (started !== undefined && heard !== null) {
    state.latencies.push(heard - started);
    if (state.latencies.length > 1000) state.latencies.shift();
  }
  if (savedChanged) await refreshPlayer(0);
  scheduleRefresh();
}

// The findings, figures and plots follow once the edits pause: they take longer to make and draw
// than an edit takes to be heard.
let refreshTimer = null;
function scheduleRefresh() {
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(() => {
    if (inFlight || queued) { scheduleRefresh(); return; }
    refreshState();
    refreshAnalysis();
  }, 250);
}

async function undo() { await step('/api/undo'); }
async function redo() { await step('/api/redo'); }

async function step(path) {
  try {
    await applyRevision(await postJson(path), performance.now());
  } catch (e) {
    reportError(e.message);
  }
}

async function save() {
  try {
    const r = await postJson('/api/save');
    say(r.message, 'info');
    await applyRevision(r);
  } catch (e) {
    if (e instanceof ApiError && e.status === 409) {
      say(e.message, 'warning', { label: 'Reload the file', run: reload });
    } else {
      reportError(e.message);
    }
  }
}

async function reload() {
  try {
    const r = await postJson('/api/reload');
    say(r.message || 'reloaded', 'info');
    await applyRevision(r);
  } catch (e) {
    reportError(e.message);
  }
}

// ---------------------------------------------------------------- state and analysis

let findingsBox;
let statsBox;

async function refreshState() {
  try {
    const s = await getJson('/api/state');
    if (s.revision < state.revision) return;
    state.revision = s.revision;
    state.savedRevision = s.saved_revision;
    state.slots = s.slots;
    state.savedSlots = s.saved_slots;
    state.findings = s.findings;
    state.stats = s.stats;
    updateToolbar(s);
    showSlots();
    showFindings(s);
    statsBox.replaceChildren(s.stats ? statsTable(s.stats, positionSignals()) : el('p',
      { class: 'warning' }, s.engine_error || 'no statistics'));
    state.stateRevision = s.revision;
  } catch (e) {
    reportError(e.message);
  }
}

function showFindings(s) {
  findingsBox.replaceChildren(el('h3', {},
    `Findings of halvern check on the edited tuning (${s.findings.length})`));
  if (s.engine_error) findingsBox.append(el('p', { class: 'warning' }, s.engine_error));
  if (s.findings.length === 0) {
    findingsBox.append(el('p', { class: 'ok' },
      'No finding: every slot is in range and consistent.'));
  } else {
    findingsBox.append(el('ul', {}, s.findings.map((d) =>
      el('li', { class: `sev-${d.severity}` }, el('span', { class: 'sev' }, d.severity), ' ',
        d.text))));
  }
}

let tracesBox;
let curvesBox;
let settingsBox;
let analysisBusy = false;
let plotsVisible = true;
let undrawn = null;  // an analysis not drawn yet: its plots are out of view
let analysisAgain = false;

async function refreshAnalysis() {
  if (analysisBusy) { analysisAgain = true; return; }
  analysisBusy = true;
  try {
    const revision = state.revision;
    const a = await getJson(`/api/analysis?revision=${revision}`);
    state.explained = a.explained;
    showSlots();
    state.analysisRevision = a.revision;
    // Plots out of view are drawn when they come into view.
    if (plotsVisible) drawAnalysis(a);
    else undrawn = a;
  } catch (e) {
    // A revision gone (404) has a newer one; a tuning the engine cannot run (422) is told by the
    // findings.
    if (!(e instanceof ApiError && (e.status === 404 || e.status === 422))) reportError(e.message);
  } finally {
    analysisBusy = false;
  }
  if (analysisAgain) { analysisAgain = false; refreshAnalysis(); }
}

function drawAnalysis(a) {
  const stagesOn = state.slots ? state.slots[0] : 0;
  const data = {
    trace: a.trace,
    curves: a.curves,
    duration_s: session.duration_s,
    frame_length: session.frame_length,
    sample_rate: session.sample_rate,
    signals: positionSignals(),
    stages: [['highpass', 1], ['dynamics', 2], ['equalizer', 4], ['suppressor', 16], ['dither', 8]]
      .map(([key, bit]) => ({ key, enabled: (stagesOn & bit) !== 0 })),
  };
  const zoom = axis.plots.length > 0 ? axis.ranges()[0] : null;
  axis.clear();
  tracesBox.replaceChildren();
  buildTraces(tracesBox, data, axis);
  if (zoom && (zoom[0] > 0 || zoom[1] < session.duration_s)) {
    for (const u of axis.plots) u.setScale('x', { min: zoom[0], max: zoom[1] });
  }
  axis.setPlayhead(players.position());
  for (const u of curvesBox.plots || []) u.destroy();
  curvesBox.replaceChildren();
  curvesBox.plots = buildCurves(curvesBox, data, state.plots);
  settingsBox.replaceChildren(stageSettingsTables(a.explained.stages));
}

function buildAnalysis() {
  const checks = section('findings', 'Check and figures',
    'What halvern check finds in the tuning with your edits, and the statistics of its run ' +
    '(halvern run --stats).');
  findingsBox = el('div', { class: 'diagnostics' });
  statsBox = el('div', {});
  checks.append(findingsBox, el('h3', {}, 'Statistics'), statsBox);
  const traces = section('traces', 'What the engine did, frame by frame (B)',
    'The edited tuning\'s run, on one time axis: drag across a plot to zoom all of them, ' +
      'double-click to see the whole recording again. Red ticks mark frames where samples clip; ' +
      'the red line is the players\' position.');
  tracesBox = el('div', {});
  traces.append(tracesBox);
  const curves = section('curves', 'What the edited tuning means',
    'Measured by running the fixed-point stages on steady tones, as in halvern report; levels ' +
      'are RMS dBFS.');
  curvesBox = el('div', {});
  curves.append(curvesBox);
  const settings = section('settings', 'Settings of each stage (B)',
    'The derived settings halvern explain gives for the edited tuning.');
  settingsBox = el('div', {});
  settings.append(settingsBox);
  axis = new TimeAxis({ registry: state.plots, onSeek: (t) => players.seek(t) });
  state.timeRanges = () => axis.ranges();
  const seen = new Set();
  const watcher = new IntersectionObserver((entries) => {
    for (const e of entries) {
      if (e.isIntersecting) seen.add(e.target);
      else seen.delete(e.target);
    }
    plotsVisible = seen.size > 0;
    if (plotsVisible && undrawn) {
      const a = undrawn;
      undrawn = null;
      drawAnalysis(a);
    }
  });
  for (const box of [traces, curves, settings]) watcher.observe(box);
}

// ---------------------------------------------------------------- events

function listen() {
  const events = new EventSource(`/api/events?token=${encodeURIComponent(token)}`);
  // Another page, a script or the file changed the state; the page's own edits are answered by
  // their requests.
  const onRevision = (r) => {
    if (inFlight || queued) return;
    if (r.revision > state.revision || r.saved_revision !== state.savedRevision) applyRevision(r);
  };
  events.addEventListener('hello', (e) => onRevision(JSON.parse(e.data)));
  events.addEventListener('revision', (e) => onRevision(JSON.parse(e.data)));
  events.addEventListener('saved', (e) => onRevision(JSON.parse(e.data)));
  events.addEventListener('file', (e) => {
    const f = JSON.parse(e.data);
    state.lastFileEvent = { ...f, at: performance.now() };
    if (f.loaded) say(f.message, 'info');
    else if (f.message) say(f.message, 'warning',
      f.state === 'changed' ? { label: 'Reload the file', run: reload } : null);
  });
  state.events = events;
}

// ---------------------------------------------------------------- start

async function main() {
  try {
    session = await getJson('/api/session');
  } catch (e) {
    document.getElementById('app').append(el('p', { class: 'warning' },
      `The studio cannot be reached: ${e.message}`));
    state.errors.push(e.message);
    return;
  }
  state.session = session;
  buildHeader();
  buildListening();
  buildControls();
  buildAnalysis();
  await refreshState();
  await Promise.all([players.choose(0, 'output'), players.choose(1, 'output'), refreshAnalysis()]);
  listen();
  state.ready = true;
  document.body.classList.add('ready');
}

main();
