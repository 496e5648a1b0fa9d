// Two players on one clock, for the pages of halvern report and halvern studio. Both signals play
// together through the Web Audio API from one start time, and only their gains change: the
// switch (or Shift+Space) flips which one is heard at the same instant, sample for sample. A
// signal can be replaced while playing (the studio's edits): the new one starts where the old one
// is and the two cross-fade over a few milliseconds, so a change never clicks. A loudness match
// lowers the louder signal to the RMS level of the other. Each player shows its signal's waveform
// and spectrogram (wavesurfer.js), with a cursor at the common position.
import WaveSurfer from 'wavesurfer.js';
import Spectrogram from 'wavesurfer.js/dist/plugins/spectrogram.esm.js';
import { el } from './dom.js';

const FADE_S = 0.008;      // cross-fade of a replaced signal, and of a flip
const LEAD_S = 0.01;       // scheduling lead of a start
const MOVE_EVERY_MS = 66;      // the cursors follow the playing position this often
const DISPLAY_AFTER_MS = 300;  // the waveform and spectrogram follow a replaced signal this late

// The samples of a 16-bit PCM WAV file (its first channel), as floats of -1 to 1, and its rate.
export function decodeWav(bytes) {
  const view = new DataView(bytes);
  const tag = (at) => String.fromCharCode(view.getUint8(at), view.getUint8(at + 1),
    view.getUint8(at + 2), view.getUint8(at + 3));
  if (view.byteLength < 12 || tag(0) !== 'RIFF' || tag(8) !== 'WAVE') throw new Error('not a WAV ' +
    'file');
  let format = null;
  for (let at = 12; at + 8 <= view.byteLength;) {
    const id = tag(at);
    const size = view.getUint32(at + 4, true);
    const body = at + 8;
    if (id === 'fmt ') {
      format = { code: view.getUint16(body, true), channels: view.getUint16(body + 2, true),
        rate: view.getUint32(body + 4, true), bits: view.getUint16(body + 14, true) };
    } else if (id === 'data') {
      if (!format || format.code !== 1 || format.bits !== 16) throw new Error('not a 16-bit PCM ' +
        'WAV file');
      const n = Math.floor(Math.min(size, view.byteLength - body) / (2 * format.channels));
      const samples = new Float32Array(n);
      for (let i = 0; i < n; ++i) samples[i] = view.getInt16(body + 2 * i * format.channels,
        true) / 32768;
      return { sampleRate: format.rate, samples };
    }
    at = body + size + (size & 1);
  }
  throw new Error('a WAV file without samples');
}

// RMS level in dBFS (a full-scale square wave is 0 dBFS), -Infinity for silence.
export function rmsDb(samples) {
  let sum = 0;
  for (let i = 0; i < samples.length; ++i) sum += samples[i] * samples[i];
  return samples.length > 0 && sum > 0 ? 10 * Math.log10(sum / samples.length) : -Infinity;
}

const dbText = (db) => {
  if (!Number.isFinite(db)) return '-';
  return `${db >= 0 ? '+' : '\u2212'}${Math.abs(db).toFixed(1)} dB`;
};

export class ABPlayers {
  // container: where the transport and the players go. signals: [{key, label}] each player can
  // play; initial: the keys of A and B. load(side, key): a promise of the WAV bytes (ArrayBuffer).
  // titles: the two players' headings. onTime(t): the position moved. onLoaded(side, info).
  // spectrogramWorker: compute the spectrograms in a worker (a page served over HTTP; a page
  // opened from disk computes them itself).
  constructor({ container, signals, initial, load, sampleRate, titles = ['A', 'B'],
    subtitles = ['', ''],
    onTime = () => {}, onLoaded = () => {}, onError = () => {}, intro = null,
    spectrogramWorker = false }) {
    this.spectrogramWorker = spectrogramWorker;
    this.signals = signals;
    this.load = load;
    this.sampleRate = sampleRate;
    this.onTime = onTime;
    this.onLoaded = onLoaded;
    this.onError = onError;
    this.listening = 1;
    this.matching = false;
    this.ctx = null;
    this.playing = false;
    this.startAt = 0;     // context time at which offset was the position
    this.offset = 0;
    this.pausedAt = 0;
    this.duration = 0;

    this.playButton = el('button', { class: 'play',
      onclick: () => (this.playing ? this.pause() : this.play()) }, 'Play');
    this.switchButton = el('button', { class: 'switch', onclick: () => this.flip() }, '');
    this.matchBox = el('input', { type: 'checkbox', class: 'match-toggle' });
    this.matchBox.addEventListener('change', () => this.setMatching(this.matchBox.checked));
    this.matchText = el('span', { class: 'match-gain' }, '');
    this.clock = el('span', { class: 'clock', id: 'clock' }, '0.00 s');
    container.append(el('div', { class: 'transport' }, this.playButton, this.switchButton,
      el('label', { class: 'match',
        title: 'plays the louder signal lower, at the RMS level of the other, so that loudness ' +
        'does not decide' }, this.matchBox, ' loudness match'),
      this.matchText, this.clock));
    if (intro) container.append(intro);
    const grid = el('div', { class: 'players' });
    container.append(grid);
    this.sides = [0, 1].map((side) => this.makeSide(side, initial[side], titles[side],
      subtitles[side], grid));
    this.updateSwitch();
    document.addEventListener('keydown', (e) => {
      if (e.code === 'Space' && e.shiftKey) { e.preventDefault(); this.flip(); }
    });
  }

  makeSide(side, key, title, subtitle, grid) {
    const select = el('select', { 'aria-label': `signal of player ${side === 0 ? 'A' : 'B'}` },
      this.signals.map((s) => el('option', { value: s.key }, s.label)));
    select.value = key;
    const wave = el('div', { class: 'wave' });
    const spectrogram = el('div', { class: 'spectrogram' });
    const cursor = el('div', { class: 'cursor' });
    const track = el('div', { class: 'track' }, wave, spectrogram, cursor);
    const head = el('div', { class: 'player-head' }, el('h3', {}, title), select);
    if (subtitle) head.append(el('span', { class: 'player-note' }, subtitle));
    const box = el('div', { class: 'player' }, head, track);
    grid.append(box);
    const spectrogramPlugin = Spectrogram.create({
      container: spectrogram,
      labels: true,
      height: 140,
      frequencyMax: this.sampleRate / 2,
      scale: 'linear',
      fftSamples: 512,
      useWebWorker: this.spectrogramWorker,
    });
    const ws = WaveSurfer.create({
      container: wave,
      height: 70,
      sampleRate: this.sampleRate,
      waveColor: side === 0 ? '#7a8fa6' : '#3f7f5f',
      progressColor: side === 0 ? '#7a8fa6' : '#3f7f5f',
      cursorWidth: 0,
      normalize: false,
      interact: false,
      plugins: [spectrogramPlugin],
    });
    ws.on('error', (e) => this.onError(`player ${side === 0 ? 'A' : 'B'}: ${e}`));
    track.addEventListener('click', (e) => {
      const r = track.getBoundingClientRect();
      if (this.duration > 0 && r.width > 0) {
        this.seek(((e.clientX - r.left) / r.width) * this.duration);
      }
    });
    select.addEventListener('change', () => this.choose(side, select.value));
    const entry = { side, key, select, box, ws, cursor, samples: null, buffer: null,
      rms: -Infinity, sources: [],
      match: null, heard: null, displayTimer: null, displayed: null, trackWidth: 0,
      spectrogram: spectrogramPlugin, drawn: Promise.resolve() };
    // The track's width, kept so that moving the cursor never reads the layout.
    new ResizeObserver(() => {
      entry.trackWidth = track.clientWidth;
      this.moved(this.position());
    }).observe(track);
    // A player out of view draws its signal when it comes into view, not with every change.
    entry.visible = true;
    new IntersectionObserver((seen) => {
      entry.visible = seen.some((e) => e.isIntersecting);
      if (entry.visible && entry.samples) this.display(entry);
    }).observe(track);
    return entry;
  }

  // ------------------------------------------------------------ signals

  // Loads the signal key into a player (keeping the position, playing on if it played).
  async choose(side, key) {
    const s = this.sides[side];
    s.key = key;
    s.select.value = key;
    try {
      const bytes = await this.load(side, key);
      if (s.key !== key) return;  // another choice came meanwhile
      this.setSignal(side, decodeWav(bytes).samples, { immediateDisplay: true });
      await s.drawn;
    } catch (e) {
      this.onError(e.message || String(e));
    }
  }

  // Replaces the samples of a player. While playing, the new signal takes over at the current
  // position with a short cross-fade. Returns when it is heard (performance.now() time; now when
  // not playing).
  setSignal(side, samples, { immediateDisplay = false } = {}) {
    const s = this.sides[side];
    s.samples = samples;
    s.buffer = new AudioBuffer({ length: Math.max(1, samples.length), numberOfChannels: 1,
      sampleRate: this.sampleRate });
    s.buffer.copyToChannel(samples, 0);
    s.rms = rmsDb(samples);
    const seconds = (q) => (q.samples ? q.samples.length / this.sampleRate : 0);
    this.duration = Math.max(...this.sides.map(seconds));
    let heard = performance.now();
    if (this.playing) {
      const when = this.ctx.currentTime + LEAD_S;
      this.startSource(s, when, this.offset + (when - this.startAt), true);
      heard += (when - this.ctx.currentTime) * 1000;
    }
    this.updateMatch();
    this.updateSwitch();
    if (immediateDisplay) this.display(s);
    else this.scheduleDisplay(s);
    this.onLoaded(side, { key: s.key, duration: samples.length / this.sampleRate,
      samples: samples.length });
    return heard;
  }

  // The display follows once the signal has stopped changing for a moment: drawing a spectrogram
  // takes longer than an edit, and must not hold up the next one.
  scheduleDisplay(s) {
    clearTimeout(s.displayTimer);
    s.displayTimer = setTimeout(() => { s.displayTimer = null; this.display(s); },
      DISPLAY_AFTER_MS);
  }

  // Draws the signal's waveform and spectrogram; s.drawn settles once the spectrogram is drawn.
  display(s) {
    if (!s.visible) return;  // drawn when it comes into view
    if (s.displayed === s.samples) return;
    s.displayed = s.samples;
    const name = `player ${s.side === 0 ? 'A' : 'B'}`;
    s.drawn = new Promise((resolve) => {
      const unReady = s.spectrogram.once('ready', () => { unError(); resolve(); });
      const unError = s.spectrogram.once('error', (e) => {
        unReady();
        this.onError(`the spectrogram of ${name}: ${e.message || e}`);
        resolve();
      });
      s.ws.load('', [s.samples], s.samples.length / this.sampleRate).catch((e) => {
        if (e && e.name !== 'AbortError') this.onError(`${name}: ${e.message || e}`);
        resolve();
      });
    });
  }

  // The samples a player holds now, and those its display shows.
  samplesOf(side) { return this.sides[side].samples; }
  decodedLength(side) { return this.sides[side].ws.getDecodedData()?.length ?? 0; }

  // ------------------------------------------------------------ the clock

  ensureContext() {
    if (this.ctx) return;
    this.ctx = new AudioContext();
    for (const s of this.sides) {
      s.match = new GainNode(this.ctx, { gain: 1 });
      s.heard = new GainNode(this.ctx, { gain: s.side === this.listening ? 1 : 0 });
      s.match.connect(s.heard).connect(this.ctx.destination);
    }
    this.updateMatch();
  }

  position() {
    if (!this.playing) return this.pausedAt;
    return Math.min(this.duration, Math.max(0,
      this.offset + (this.ctx.currentTime - this.startAt)));
  }

  // Starts the signal of s at context time when, from offset seconds; fade: cross-fade from
  // what s plays now, else stop that at once.
  startSource(s, when, offset, fade) {
    if (!s.buffer) return;
    const src = new AudioBufferSourceNode(this.ctx, { buffer: s.buffer });
    const gain = new GainNode(this.ctx, { gain: fade ? 0 : 1 });
    src.connect(gain).connect(s.match);
    if (fade) {
      gain.gain.setValueAtTime(0, when);
      gain.gain.linearRampToValueAtTime(1, when + FADE_S);
    }
    for (const old of s.sources) {
      if (fade) {
        old.gain.gain.cancelAndHoldAtTime(when);
        old.gain.gain.linearRampToValueAtTime(0, when + FADE_S);
        old.src.stop(when + FADE_S + 0.005);
      } else {
        old.src.stop();
      }
    }
    const entry = { src, gain };
    src.onended = () => {
      s.sources = s.sources.filter((x) => x !== entry);
      gain.disconnect();
    };
    s.sources = [entry];
    src.start(when, Math.max(0, Math.min(offset, s.buffer.duration)));
  }

  play() {
    if (this.duration <= 0) return;
    this.ensureContext();
    this.ctx.resume();
    let from = this.pausedAt;
    if (from >= this.duration - 0.01) from = 0;
    const when = this.ctx.currentTime + LEAD_S;
    this.startAt = when;
    this.offset = from;
    this.playing = true;
    for (const s of this.sides) this.startSource(s, when, from, false);
    this.playButton.textContent = 'Pause';
    this.tick();
  }

  pause() {
    if (!this.playing) return;
    this.pausedAt = this.position();
    this.playing = false;
    for (const s of this.sides) for (const x of s.sources) x.src.stop();
    this.playButton.textContent = 'Play';
    this.moved(this.pausedAt);
  }

  seek(t) {
    t = Math.max(0, Math.min(t, this.duration));
    if (this.playing) {
      const when = this.ctx.currentTime + LEAD_S;
      this.startAt = when;
      this.offset = t;
      for (const s of this.sides) this.startSource(s, when, t, false);
    } else {
      this.pausedAt = t;
    }
    this.moved(t);
  }

  // While playing, the clock, the cursors and the plots' playheads follow the position at about
  // 15 frames a second: often enough to see, rarely enough to leave the page's thread free for
  // the edits.
  tick() {
    if (!this.playing) return;
    const t = this.position();
    if (t >= this.duration) {
      this.pause();
      return;
    }
    const now = performance.now();
    if (!(now - this.lastMoved < MOVE_EVERY_MS)) {
      this.lastMoved = now;
      this.moved(t);
    }
    requestAnimationFrame(() => this.tick());
  }

  moved(t) {
    this.clock.textContent = `${t.toFixed(2)} s`;
    const fraction = this.duration > 0 ? t / this.duration : 0;
    for (const s of this.sides) {
      s.cursor.style.transform = `translateX(${(fraction * s.trackWidth).toFixed(1)}px)`;
    }
    this.onTime(t);
  }

  // ------------------------------------------------------------ what is heard

  // Flips what is heard between the two players, at the same instant: both play all along and
  // only their gains change.
  flip() {
    this.listening = 1 - this.listening;
    if (this.ctx) {
      const now = this.ctx.currentTime;
      for (const s of this.sides) {
        s.heard.gain.cancelScheduledValues(now);
        s.heard.gain.setTargetAtTime(s.side === this.listening ? 1 : 0, now, FADE_S / 4);
      }
    }
    this.updateSwitch();
  }

  setMatching(on) {
    this.matching = on;
    this.matchBox.checked = on;
    this.updateMatch();
  }

  // The playback gain of each player: the louder one lowered to the other's RMS level.
  matchGains() {
    const [a, b] = this.sides.map((s) => s.rms);
    if (!this.matching || !Number.isFinite(a) || !Number.isFinite(b)) return [0, 0];
    return [Math.min(0, b - a), Math.min(0, a - b)];
  }

  updateMatch() {
    const gains = this.matchGains();
    if (this.ctx) {
      const now = this.ctx.currentTime;
      for (const s of this.sides) {
        if (!s.match) continue;
        s.match.gain.cancelScheduledValues(now);
        s.match.gain.setTargetAtTime(10 ** (gains[s.side] / 20), now, FADE_S / 4);
      }
    }
    const [a, b] = this.sides.map((s) => s.rms);
    if (!Number.isFinite(a) || !Number.isFinite(b)) {
      this.matchText.textContent = '';
    } else if (this.matching) {
      const lowered = gains[0] < 0 ? 0 : gains[1] < 0 ? 1 : -1;
      this.matchText.textContent = lowered < 0 ? 'A and B play at the same level'
        : `${lowered === 0 ? 'A' : 'B'} plays ${dbText(gains[lowered])} (RMS matched)`;
    } else {
      this.matchText.textContent = `B is ${dbText(b - a)} against A (RMS)`;
    }
    this.matchText.dataset.gainA = gains[0].toFixed(3);
    this.matchText.dataset.gainB = gains[1].toFixed(3);
  }

  updateSwitch() {
    const s = this.sides[this.listening];
    const label = this.signals.find((x) => x.key === s.key)?.label ?? s.key;
    const side = this.listening === 0 ? 'A' : 'B';
    this.switchButton.textContent = `Hearing ${side}: ${label} (press to flip)`;
    for (const q of this.sides) q.box.classList.toggle('heard', q.side === this.listening);
  }
}
