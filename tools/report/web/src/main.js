// The page of `halvern report`. Everything it shows comes from one JSON object embedded in the
// page (<script type="application/json" id="halvern-data">, schema in ../SCHEMA.md) and from the
// audio of each position of the chain: embedded as base64 WAV in
// <script type="text/plain" id="halvern-audio-KEY">, or, with --audio-beside, in a script beside
// the page that calls window.halvernAudio(KEY, BASE64) (a script loads from disk where a fetch
// may not). The page makes no request of its own.
import 'uplot/dist/uPlot.min.css';
import './report.css';
import { el, formatNumber } from './dom.js';
import { ABPlayers } from './players.js';
import { TimeAxis, buildTraces, buildCurves, stageSettingsTables, statsTable } from './plots.js';

const data = JSON.parse(document.getElementById('halvern-data').textContent);

// What the page exposes for its test and for anyone curious in the console.
const state = { plots: {}, players: {}, errors: [], ready: false };
window.halvernReport = state;

function section(id, title, intro) {
  const s = el('section', { id }, el('h2', {}, title));
  if (intro) s.append(el('p', { class: 'intro' }, intro));
  document.getElementById('app').append(s);
  return s;
}

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
      ['Recording',
        `${formatNumber(data.duration_s)} s, ${data.frames} frames of ${data.frame_length} samples at ${data.sample_rate} Hz`],
      ['Made', data.created],
      ['Program', data.program],
    ].map(([k, v]) => el('tr', {}, el('th', {}, k), el('td', {}, v))));
  const stages = el('ul', { class: 'stages' },
    data.stages.map((s) => el('li', { class: s.enabled ? 'on' : 'off',
      title: s.enabled ? 'enabled' : 'off' },
      `${s.name}${s.enabled ? '' : ' (off)'}`)));
  const diag = el('div', { class: 'diagnostics' }, el('h3', {},
    `Diagnostics of halvern check (${data.diagnostics.length})`));
  if (data.diagnostics.length === 0) {
    diag.append(el('p', { class: 'ok' }, 'No finding: every slot is in range and consistent.'));
  } else {
    diag.append(el('ul', {}, data.diagnostics.map((d) =>
      el('li', { class: `sev-${d.severity}` }, el('span', { class: 'sev' }, d.severity), ' ',
        d.text))));
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

// The WAV bytes of a signal.
function loadAudio(key) {
  const signal = signalByKey(key);
  const ready = new Promise((resolve, reject) => {
    if (audioText.has(key)) { resolve(audioText.get(key)); return; }
    const inline = document.getElementById(`halvern-audio-${key}`);
    if (inline) { resolve(inline.textContent.trim()); return; }
    if (!signal || !signal.script) { reject(new Error(`no audio for ${key}`)); return; }
    audioWaiting.set(key, [...(audioWaiting.get(key) || []), resolve]);
    const script = el('script',
      { src: `${encodeURIComponent(signal.folder)}/${encodeURIComponent(signal.script)}` });
    script.onerror = () => reject(new Error(`the audio file ${signal.script} is missing: keep the folder ${signal.folder} beside the report`));
    document.body.append(script);
  });
  return ready.then((b64) => {
    const bytes = typeof Uint8Array.fromBase64 === 'function'
      ? Uint8Array.fromBase64(b64)
      : Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
    return bytes.buffer;
  });
}

// ---------------------------------------------------------------- listening

let players;
const axis = new TimeAxis({ registry: state.plots, onSeek: (t) => players.seek(t) });
state.timeRanges = () => axis.ranges();
state.scaleRange = (name, key) => axis.scaleRange(name, key);

function buildListening() {
  const s = section('listening', 'Listening',
    'Two players on one clock: both play together, and the switch (or the space bar with Shift) ' +
      'flips which one you hear at the same instant. Choose any position of the chain for either ' +
      'player; the loudness match plays the louder one at the RMS level of the other. Click a ' +
      'waveform, a spectrogram or a trace to move both.');
  const input = data.signals[0].key;
  const output = data.signals[data.signals.length - 1].key;
  players = new ABPlayers({
    container: s,
    signals: data.signals,
    initial: [input, output],
    sampleRate: data.sample_rate,
    load: (side, key) => loadAudio(key),
    onTime: (t) => axis.setPlayhead(t),
    onLoaded: (side, info) => { state.players[side === 0 ? 'a' : 'b'] = info; },
    onError: reportError,
  });
  return Promise.all([players.choose(0, input), players.choose(1, output)]);
}

// ---------------------------------------------------------------- plots

function buildTracesSection() {
  const s = section('traces', 'What the engine did, frame by frame',
    'One time axis for every plot: drag across a plot to zoom all of them, double-click to see ' +
      'the whole recording again. Red ticks at the top of each plot mark frames where samples ' +
      'clip; the red line is the players\' position. Values are those at the end of each 20 ms ' +
      'frame.');
  buildTraces(s, data, axis);
}

function buildCurvesSection() {
  const s = section('curves', 'What the tuning means',
    'Measured by running the fixed-point stages on steady tones (level curves: a 1 kHz sine from ' +
      '-90 to 0 dBFS peak, measured once the stage has settled; responses: a sine at each ' +
      'frequency). Levels are RMS dBFS: a full-scale sine is -3 dBFS, a full-scale square 0 dBFS.');
  buildCurves(s, data, state.plots);
}

// ---------------------------------------------------------------- figures

function buildFigures() {
  const s = section('figures', 'Figures',
    'The statistics of the run (what halvern run --stats writes) and the tuning explained (what ' +
    'halvern explain prints).');
  s.append(el('h3', {}, 'Statistics'));
  s.append(statsTable(data.statistics, data.signals));
  const ex = data.explained;
  s.append(el('h3', {}, 'Settings of each stage'));
  s.append(stageSettingsTables(ex.stages));
  s.append(el('h3', {}, 'Slots'));
  s.append(el('table', { class: 'settings' },
    el('tr', {}, ['Slot', 'Name', 'Value', 'Taken as', 'Unit', 'Stage', 'Status',
      'Means'].map((h) => el('th', {}, h))),
    (ex.slots || []).map((r) => el('tr', { class: r.status === 'ok' ? '' : 'noted' },
      el('td', { class: 'num' }, r.slot), el('td', {}, el('code', {}, r.name)), el('td',
        { class: 'num' }, r.value),
      el('td', { class: 'num' }, r.effective ?? '-'), el('td', {}, r.unit), el('td', {}, r.stage),
      el('td', {}, r.status), el('td', {}, r.meaning)))));
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
  buildTracesSection();
  buildCurvesSection();
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
