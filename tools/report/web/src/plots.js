// The plots of the pages of halvern report and halvern studio: the engine's state frame by frame
// on one time axis, the curves of the tuning, and the tables of figures. Each builder takes the
// data it draws (the "trace", "curves", "statistics" and "explained" objects of the report's
// data, SCHEMA.md) and the container to draw in.
import uPlot from 'uplot';
import { el, formatNumber, floorDb, SILENCE_DB, words, isObject } from './dom.js';

// Every plot on the time axis has axes of the same widths, so that their times line up.
const LEFT_AXIS = 120;
const RIGHT_AXIS = 60;
const CLIP_COLOURS = ['#7f8c8d', '#2980b9', '#d35400', '#8e44ad', '#c0392b', '#16a085'];

function plotWidth(container) { return Math.max(400, container.clientWidth - 8); }

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

// The playhead of a plot on the time axis: a line in its overlay, at time t.
function placePlayhead(u, t) {
  if (!u.playheadLine) {
    u.playheadLine = el('div', { class: 'playhead' });
    u.over.append(u.playheadLine);
  }
  // Nothing here reads the layout, which a long page would work out anew for every frame.
  const x = u.valToPos(t, 'x');
  u.playheadLine.style.display = x >= 0 && x <= u.bbox.width / devicePixelRatio ? '' : 'none';
  u.playheadLine.style.transform = `translateX(${x.toFixed(1)}px)`;
}

// The plots that share one time axis: a drag zooms all of them, a click moves the players there
// (onSeek), and a red line marks the players' position (setPlayhead). registry gets, per plot,
// the points drawn, for the pages' tests.
export class TimeAxis {
  constructor({ registry, onSeek }) {
    this.registry = registry;
    this.onSeek = onSeek;
    this.plots = [];
    this.byName = {};
    this.playhead = 0;
  }

  // The players' position: a line over every plot, moved without redrawing the plots.
  setPlayhead(t) {
    this.playhead = t;
    for (const u of this.plots) placePlayhead(u, t);
  }

  ranges() { return this.plots.map((u) => [u.scales.x.min, u.scales.x.max]); }

  // Removes every plot (their containers go with the caller's section).
  clear() {
    for (const u of this.plots) u.destroy();
    this.plots = [];
  }

  register(name, u, points) {
    this.registry[name] = { points, drawn: true, series: u.series.length - 1 };
    this.byName[name] = u;
  }

  // The range of a plot's scale as drawn, e.g. scaleRange('dynamics', 'gain').
  scaleRange(name, key) {
    const scale = this.byName[name].scales[key];
    return [scale.min, scale.max];
  }

  // Markers for clipped samples, the playhead, and the link from a click to the players.
  hooks(data, extraDraw) {
    let syncing = false;
    return {
      draw: [(u) => {
        if (extraDraw) extraDraw(u);
        const { ctx } = u;
        const top = u.bbox.top;
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
        ctx.restore();
        placePlayhead(u, this.playhead);
      }],
      setScale: [(u, key) => {
        if (key !== 'x' || syncing) return;
        syncing = true;
        const { min, max } = u.scales.x;
        for (const other of this.plots) {
          if (other !== u && (other.scales.x.min !== min || other.scales.x.max !== max)) other.setScale('x', { min, max });
        }
        syncing = false;
      }],
      ready: [(u) => {
        u.over.addEventListener('click', () => {
          if (u.select.width > 2) return;
          const t = u.posToVal(u.cursor.left, 'x');
          if (Number.isFinite(t) && this.onSeek) this.onSeek(Math.max(0, Math.min(t,
            data.duration_s)));
        });
      }],
    };
  }

  timePlot(container, data, name, title, series, values, yAxes, extraDraw, height = 170) {
    const box = el('div', { class: 'plot' }, el('h3', {}, title));
    container.append(box);
    const u = new uPlot({
      width: plotWidth(container),
      height,
      scales: { x: { time: false, min: 0, max: data.duration_s },
        ...Object.fromEntries(yAxes.map((a) => [a.scale, a.range ? { range: a.range } : {}])) },
      cursor: { sync: { key: 'halvern-time' }, drag: { x: true, y: false } },
      legend: { live: true },
      series: [{ label: 'time (s)', value: (u, v) => (v == null ? '-' : v.toFixed(2)) }, ...series],
      axes: [timeAxis(), ...yAxes.map((a, i) => ({ scale: a.scale, label: a.label, labelSize: 16,
        side: i === 0 ? 3 : 1, grid: { show: i === 0 }, size: i === 0 ? LEFT_AXIS : RIGHT_AXIS })),
        ...(yAxes.length === 1 ? [{ scale: yAxes[0].scale, label: ' ', labelSize: 16, side: 1,
          grid: { show: false }, size: RIGHT_AXIS }] : [])],
      hooks: this.hooks(data, extraDraw),
    }, [data.trace.time_s, ...values], box);
    this.plots.push(u);
    this.register(name, u, data.trace.time_s.length);
    return u;
  }
}

function timeAxis() {
  return { label: 'time (s)', labelSize: 16, size: 36 };
}

// The traces: dynamics, equalizer gains, the howl map and the clipped samples of every signal
// (data.signals: key and label of each).
export function buildTraces(container, data, axis) {
  const t = data.trace;
  axis.timePlot(container, data, 'dynamics', 'Dynamics: level and level-control gain', [
    { label: 'level (dBFS)', stroke: '#2c6fbb', width: 1.5, scale: 'level', value: (u,
      v) => (v == null ? '-' : v.toFixed(1)) },
    { label: 'gain (dB)', stroke: '#d35400', width: 2, scale: 'gain', value: (u,
      v) => (v == null ? '-' : v.toFixed(1)) },
  ], [t.dynamics_level_db.map(floorDb), t.dynamics_gain_db.map(floorDb)], [
    { scale: 'level', label: 'level (dBFS)', range: [-100, 0] },
    { scale: 'gain', label: 'gain (dB)', range: gainRange },
  ]);
  axis.timePlot(container, data, 'equalizer', 'Equalizer: compander gain and limiter gain', [
    { label: 'compander gain (dB)', stroke: '#8e44ad', width: 2, scale: 'db', value: (u,
      v) => (v == null ? '-' : v.toFixed(2)) },
    { label: 'limiter gain (dB)', stroke: '#c0392b', width: 2, scale: 'db', value: (u,
      v) => (v == null ? '-' : v.toFixed(2)) },
  ], [t.compander_gain_db.map(floorDb), t.limiter_gain_db.map(floorDb)],
  [{ scale: 'db', label: 'gain (dB)', range: gainRange }]);
  buildHowlMap(container, data, axis);
  const clipTitle = t.clips.length === 0 ? 'Clipped samples per frame: none in this recording'
    : `Clipped samples per frame: ${t.clips.length} frames with clipped samples`;
  axis.timePlot(container, data, 'clips', clipTitle, data.signals.map((sig, i) => ({
    label: sig.label, stroke: CLIP_COLOURS[i % CLIP_COLOURS.length], width: 0,
    points: { show: true, size: 7, fill: CLIP_COLOURS[i % CLIP_COLOURS.length] },
    paths: () => null,
  })), data.signals.map((sig) => t.clipped[sig.key].map((v) => (v > 0 ? v : null))), [{ scale: 'n', label: 'samples', range: [0, Math.max(1, ...data.signals.map((sig) => Math.max(0, ...t.clipped[sig.key])))] }], null, 130);
}

// The howl map: one row per suppressor band, one column per frame. The colour is the band's
// peak-to-floor level against its threshold; marked cells are red (strongly marked: dark red).
function buildHowlMap(container, data, axis) {
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
      el('span', { class: 'swatch',
        style: 'background:#e02020' }), ' marked (cut to ' +
        '', formatNumber(data.curves.suppressor.mark1_gain_db), ' dB) ',
      el('span', { class: 'swatch',
        style: 'background:#7b0000' }), ' strongly marked ' +
        '(', formatNumber(data.curves.suppressor.mark2_gain_db), ' dB) ',
      el('span', { class: 'swatch', style: `background:${levelColour(-20)}` }), el('span',
        { class: 'swatch', style: `background:${levelColour(0)}` }),
      el('span', { class: 'swatch',
        style: `background:${levelColour(20)}` }), ' band level from far below to above its threshold'));
  container.append(box);
  const u = new uPlot({
    width: plotWidth(container),
    height: 300,
    scales: { x: { time: false, min: 0, max: data.duration_s }, band: { range: [-0.5, nb - 0.5] } },
    cursor: { sync: { key: 'halvern-time' }, drag: { x: true, y: false }, points: { show: false } },
    legend: { show: false },
    series: [{}, { label: 'band', scale: 'band', stroke: 'transparent', paths: () => null,
      points: { show: false } }],
    axes: [timeAxis(), {
      scale: 'band', side: 3, size: LEFT_AXIS, label: 'band (Hz)', labelSize: 16,
      splits: () => rows,
      values: (u,
        vals) => vals.map((b) => (Number.isInteger(b) && bands[b] ? `${b}: ${Math.round(bands[b].first_hz)}-${Math.round(bands[b].last_hz)}` : '')),
      grid: { show: false },
    }, { scale: 'band', label: ' ' +
      '', labelSize: 16, side: 1, size: RIGHT_AXIS, grid: { show: false }, values: (u,
      vals) => vals.map(() => '') }],
    hooks: axis.hooks(data, draw),
  }, [t.time_s, t.time_s.map(() => null)], box);
  axis.plots.push(u);
  axis.register('howl', u, t.time_s.length);
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

function xyPlot(container, registry, name, title, opts, xs, ys) {
  const box = el('div', { class: 'plot half' }, el('h3', {}, title));
  container.append(box);
  const u = new uPlot({
    width: Math.max(320, Math.floor(container.clientWidth / 2) - 16),
    height: 260,
    scales: { x: { time: false, ...(opts.xScale || {}) }, y: { ...(opts.yScale || {}) } },
    cursor: { drag: { x: false, y: false } },
    series: [{ label: opts.xLabel, value: (u, v) => (v == null ? '-' : formatNumber(v)) },
      ...opts.series],
    axes: [{ label: opts.xLabel, labelSize: 16 }, { label: opts.yLabel, labelSize: 16, size: 50 }],
  }, [xs, ...ys], box);
  registry[name] = { points: xs.length, drawn: true, series: u.series.length - 1 };
  return u;
}

// The curves of the tuning: level curves, magnitude responses and the suppressor's bands.
// data.stages (key, enabled) marks the curves of stages that are off. Returns the uPlot objects.
export function buildCurves(container, data, registry) {
  const c = data.curves;
  const made = [];
  if (c.error) container.append(el('p', { class: 'warning' }, c.error));
  const off = Object.fromEntries(data.stages.map((st) => [st.key,
    st.enabled ? '' : ' (stage off in this tuning)']));
  const grid = el('div', { class: 'curve-grid' });
  container.append(grid);
  const levelSeries = (label, colour) => [
    { label, stroke: colour, width: 2, value: (u, v) => (v == null ? '-' : v.toFixed(2)) },
    { label: 'unchanged', stroke: '#aaa', dash: [4, 4], width: 1, value: (u,
      v) => (v == null ? '-' : v.toFixed(2)) },
  ];
  const levelOpts = (label, colour) => ({
    xLabel: 'input level (dBFS)', yLabel: 'output level (dBFS)', series: levelSeries(label, colour),
    xScale: { range: [-96, 0] }, yScale: { range: [SILENCE_DB, 10] },
  });
  if (c.dynamics) {
    made.push(xyPlot(grid, registry, 'curve_dynamics',
      `Dynamics stage: static level curve${off.dynamics}`, levelOpts('output (dBFS)', '#d35400'),
      c.dynamics.in_db, [c.dynamics.out_db.map(floorDb), c.dynamics.in_db]));
  }
  if (c.compander_limiter) {
    made.push(xyPlot(grid, registry, 'curve_compander',
      `Equalizer compander, limiter and final gain: static level curve${off.equalizer}`, levelOpts('output (dBFS)', '#8e44ad'),
      c.compander_limiter.in_db, [c.compander_limiter.out_db.map(floorDb),
        c.compander_limiter.in_db]));
  }
  const respOpts = (label, colour) => ({
    xLabel: 'frequency (Hz)', yLabel: 'gain (dB)', xScale: { distr: 3,
      log: 10 }, yScale: { range: (u, min, max) => [Math.max(min, -60) - 3, max + 3] },
    series: [{ label, stroke: colour, width: 2, value: (u,
      v) => (v == null ? '-' : v.toFixed(2)) }],
  });
  made.push(xyPlot(grid, registry, 'curve_highpass',
    `High-pass stage: magnitude response${off.highpass}`, respOpts('gain (dB)',
    '#2c6fbb'), c.highpass.hz, [c.highpass.gain_db.map((v) => Math.max(v, -80))]));
  made.push(xyPlot(grid, registry, 'curve_fir',
    `Equalizer FIR: magnitude response${off.equalizer}`, respOpts('gain (dB)',
    '#16a085'), c.fir.hz, [c.fir.gain_db.map((v) => Math.max(v, -80))]));
  buildBandChart(container, data, registry);
  return made;
}

// The suppressor's bands on a frequency axis, each with its threshold.
function buildBandChart(container, data, registry) {
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
    add('rect', { x: fx(b.first_hz), y: y + 2, width: fx(b.last_hz) - fx(b.first_hz),
      height: rowH - 5,
      fill: `hsl(${200 - 160 * Math.max(0, b.threshold_db) / maxThr}, 60%, 55%)` });
    add('text', { x: W - right + 8, y: y + 12, class: 'lbl' },
      `threshold ${b.threshold} (${b.threshold_db.toFixed(1)} dB)`);
  });
  for (let hz = 0; hz <= data.sample_rate / 2; hz += 1000) {
    add('line', { x1: fx(hz), x2: fx(hz), y1: 8, y2: H - 28, class: 'tick' });
    add('text', { x: fx(hz), y: H - 14, 'text-anchor': 'middle', class: 'lbl' },
      `${hz / 1000} kHz`);
  }
  const box = el('div', { class: 'plot' }, el('h3', {},
    `Peak suppressor: bands and thresholds${data.stages.find((st) => st.key === 'suppressor').enabled ? '' : ' (stage off in this tuning)'}`),
    el('p', { class: 'legend-note' },
      `A band is marked when its peak-to-floor level exceeds its threshold (level units of about 0.37 dB); its bins are then cut to ${formatNumber(sup.mark1_gain_db)} dB (${formatNumber(sup.mark2_gain_db)} dB when more than 10 units above), and the rest of the spectrum to ${formatNumber(sup.rest_gain_db)} dB.`));
  box.append(svg);
  container.append(box);
  registry.curve_bands = { points: svg.querySelectorAll('rect').length, drawn: true, series: 1 };
}

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

// The derived settings of each stage (the "stages" object of halvern explain --json).
export function stageSettingsTables(stagesExplained) {
  const stages = el('div', { class: 'stats' });
  for (const st of Object.values(stagesExplained || {})) {
    const rows = Object.entries(st).filter(([k,
      v]) => k !== 'name' && k !== 'enabled' && typeof v !== 'object');
    stages.append(el('table', { class: `stat-group${st.enabled ? '' : ' off'}` },
      el('caption', {}, `${sentence(st.name)}${st.enabled ? '' : ' (off)'}`),
      rows.map(([k, v]) => el('tr', {}, el('th', {}, label(k)),
        el('td', { class: 'num' }, formatNumber(v))))));
  }
  return stages;
}

// The statistics: plain figures in one table, each group of figures (an object) in its own table,
// a group of groups with the same figures (the positions of the chain) as one matrix, and lists
// (one figure per band) as rows. Every number cell carries its path in data-stat, so that the
// figure shown can be checked against the data.
function statCell(v, key) {
  return el('td', typeof v === 'number' ? { class: 'num', 'data-stat': key } : { class: 'num' },
    v === null || v === undefined ? '-' : formatNumber(v));
}

// signals: the key and label of each position, for the columns of the positions' figures.
export function statsTable(stats, signals = []) {
  const signalLabel = (key) => signals.find((s) => s.key === key)?.label;
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
          cols.map((c) => el('th', { class: 'num' }, signalLabel(c) ?? words(c)))),
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
        el('tr', {}, el('th', {}, 'band'), Array.from({ length: n }, (_, i) => el('th',
          { class: 'num' }, i))),
        lists.map(([k, v]) => el('tr', {}, el('th', {}, label(k)),
          v.map((x, i) => statCell(x, `${g}.${k}.${i}`))))));
    }
  }
  return wrap;
}
