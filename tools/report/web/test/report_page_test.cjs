// The whole report page in a real browser: halvern report makes the page from a recording and a
// tuning, headless Chromium opens it from disk with every network request refused, and the test
// checks what a person would see: no error, both players holding the whole recording with their
// spectrograms drawn by the time the page says it is ready, every plot drawn with one point per
// frame or per measured tone, gain axes no narrower than 2 dB, and the figures on the page, under
// labels with units, equal to what `halvern run --stats` writes. A screenshot of the page is kept
// in the output folder.
//
// node report_page_test.cjs HALVERN INPUT TUNING OUTDIR [--audio-beside]
// Exit status 0 passed, 1 failed, 77 skipped (no Chromium).
'use strict';

const { SKIP, check, findChromium, runTest } = require('./verdict.cjs');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { pathToFileURL } = require('node:url');

const [halvern, input, tuning, outDir, ...flags] = process.argv.slice(2);
const beside = flags.includes('--audio-beside');

async function main() {
  const chromiumPath = findChromium();
  if (!chromiumPath) {
    console.log('SKIPPED: no Chromium found (install Debian\'s chromium package, or set HALVERN_CHROMIUM); the report page was not tested');
    return SKIP;
  }
  const { chromium } = require('playwright-core');

  fs.mkdirSync(outDir, { recursive: true });
  const page_path = path.join(outDir, beside ? 'report-beside.html' : 'report.html');
  const stats_path = path.join(outDir, 'stats.json');
  const started = Date.now();
  execFileSync(halvern, ['report', input, tuning, '-o', page_path, '-q', ...(beside ? ['--audio-beside'] : [])], { stdio: 'inherit' });
  console.log(`halvern report: ${((Date.now() - started) / 1000).toFixed(1)} s, ${(fs.statSync(page_path).size / 1e6).toFixed(1)} MB`);
  execFileSync(halvern, ['run', input, path.join(outDir, 'output.wav'), tuning, '--stats', stats_path, '-q'], { stdio: 'inherit' });
  const stats = JSON.parse(fs.readFileSync(stats_path, 'utf8'));

  const browser = await chromium.launch({
    executablePath: chromiumPath,
    headless: true,
    args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required'],
  });
  const problems = [];
  try {
    const context = await browser.newContext({ viewport: { width: 1280, height: 900 }, offline: true });
    // Every request that leaves the machine is refused, and counted as a fault of the page.
    await context.route(/^(https?|wss?|ftp):/, (route) => {
      problems.push(`network request: ${route.request().url()}`);
      route.abort();
    });
    // The pixels drawn in each player's spectrogram at the very instant the page sets its ready
    // flag: what a person sees once the page says it has settled.
    await context.addInitScript(() => {
      const boxes = () => [...document.querySelectorAll('.player .spectrogram')];
      const inkOfSpectrograms = () => boxes().map((box) =>
        [...box.querySelectorAll('canvas')].reduce((n, c) => {
          const px = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
          for (let i = 3; i < px.length; i += 4) if (px[i] !== 0) ++n;
          return n;
        }, 0));
      let report;
      Object.defineProperty(window, 'halvernReport', {
        configurable: true,
        get: () => report,
        set: (r) => {
          report = r;
          let ready = r.ready;
          Object.defineProperty(r, 'ready', {
            enumerable: true,
            get: () => ready,
            set: (v) => {
              if (v && !ready) window.halvernSpectrogramsAtReady = inkOfSpectrograms();
              ready = v;
            },
          });
        },
      });
    });
    const page = await context.newPage();
    page.on('console', (m) => { if (m.type() === 'error') problems.push(`console error: ${m.text()}`); });
    page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
    page.on('requestfailed', (r) => {
      // A media element stops reading its blob once it has what it needs, which Chromium reports
      // as an aborted request: not a failure to load.
      const text = r.failure()?.errorText;
      if (r.url().startsWith('blob:') && text === 'net::ERR_ABORTED') return;
      problems.push(`failed request: ${r.url()} (${text})`);
    });

    const opened = Date.now();
    await page.goto(pathToFileURL(path.resolve(page_path)).href, { waitUntil: 'load' });
    await page.waitForFunction(() => window.halvernReport && window.halvernReport.ready, null, { timeout: 240000 });
    console.log(`page ready in ${((Date.now() - opened) / 1000).toFixed(1)} s`);

    const result = await page.evaluate(() => {
      const data = JSON.parse(document.getElementById('halvern-data').textContent);
      const r = window.halvernReport;
      // Pixels drawn in a canvas (not the background).
      const ink = (c) => {
        const ctx = c.getContext('2d');
        const px = ctx.getImageData(0, 0, c.width, c.height).data;
        let n = 0;
        for (let i = 3; i < px.length; i += 4) if (px[i] !== 0) ++n;
        return n;
      };
      const inked = [...document.querySelectorAll('.plot canvas')].map(ink);
      const spectrograms = window.halvernSpectrogramsAtReady || [];
      const shown = [...document.querySelectorAll('[data-stat]')].map((e) => [e.dataset.stat, e.textContent]);
      const labels = [...document.querySelectorAll('#figures th, #figures caption')]
        .map((e) => e.textContent);
      const gainSpans = [['dynamics', 'gain'], ['equalizer', 'db']].map(([name, key]) => {
        const [lo, hi] = r.scaleRange(name, key);
        return [name, hi - lo];
      });
      return {
        data, plots: r.plots, players: r.players, errors: r.errors, inked, spectrograms, shown,
        labels, gainSpans,
      };
    });
    const { data } = result;

    // Players: the whole recording, sample for sample.
    for (const side of ['a', 'b']) {
      const p = result.players[side];
      if (!check(p, `player ${side} holds no audio`)) continue;
      check(Math.abs(p.duration - data.duration_s) < 1e-3, `player ${side} (${p.key}): ${p.duration} s, the recording is ${data.duration_s} s`);
      check(p.samples === data.samples, `player ${side} (${p.key}): ${p.samples} samples decoded, the recording has ${data.samples}`);
    }
    check(result.spectrograms.length === 2,
      `${result.spectrograms.length} spectrograms on the page, expected 2`);
    result.spectrograms.forEach((n, i) => check(n > 5000,
      `the spectrogram of player ${'AB'[i]} is blank when the page is ready (${n} pixels drawn)`));
    check(result.players.a && result.players.a.key === 'input', 'player A does not start on the input');
    check(result.players.b && result.players.b.key === data.signals[data.signals.length - 1].key, 'player B does not start on the output');

    // Plots: one point per frame on the time axis, one per tone for the curves.
    const c = data.curves;
    const expected = {
      dynamics: data.frames, equalizer: data.frames, howl: data.frames, clips: data.frames,
      curve_dynamics: c.dynamics ? c.dynamics.in_db.length : undefined,
      curve_compander: c.compander_limiter ? c.compander_limiter.in_db.length : undefined,
      curve_highpass: c.highpass.hz.length, curve_fir: c.fir.hz.length,
      curve_bands: c.suppressor.bands.length,
    };
    check(data.frames === stats.frames, `the page has ${data.frames} frames, halvern run counts ${stats.frames}`);
    check(c.dynamics && c.dynamics.in_db.length === 91, 'the dynamics curve does not hold the 91 tones from -90 to 0 dBFS');
    check(c.fir.hz.length > 100 && c.fir.hz[0] === 20 && c.fir.hz[c.fir.hz.length - 1] === 8000, 'the FIR response does not run from 20 Hz to 8 kHz');
    for (const [name, points] of Object.entries(expected)) {
      if (points === undefined) continue;
      const plot = result.plots[name];
      if (!check(plot, `plot ${name} is missing`)) continue;
      check(plot.points === points, `plot ${name}: ${plot.points} points, expected ${points}`);
      check(plot.drawn, `plot ${name} was not drawn`);
    }
    result.inked.forEach((n, i) => check(n > 500, `plot canvas ${i} is blank (${n} pixels drawn)`));
    for (const [name, span] of result.gainSpans) {
      check(span >= 2 - 1e-9, `the gain axis of plot ${name} spans ${span} dB, less than 2 dB`);
    }

    // Labels of figures: words with units, never the data's keys.
    check(result.labels.includes('peak (dBFS)'), 'no figure is labelled "peak (dBFS)"');
    for (const text of result.labels) {
      check(!/_|\bdbfs\b|\bdb\b/.test(text), `a figure is labelled with a raw key: ${text}`);
    }

    // Figures: every number shown equals the statistics of halvern run (its timing aside).
    const at = (obj, key) => key.split('.').reduce((o, k) => (o == null ? undefined : o[k]), obj);
    let compared = 0;
    for (const [key, text] of result.shown) {
      if (/wall|speed/.test(key)) continue;
      const want = at(stats, key);
      const shownValue = Number(text);
      const tolerance = Number.isInteger(want) ? 0 : (Math.abs(want) >= 100 ? 0.05 : 0.005) + 1e-9;
      check(typeof want === 'number' && Math.abs(shownValue - want) <= tolerance, `figure ${key}: the page shows ${text}, halvern run --stats has ${want}`);
      ++compared;
    }
    check(compared >= 20, `only ${compared} figures found on the page`);

    // The header: every finding of halvern check, and the enabled stages.
    const header = await page.locator('header').innerText();
    for (const d of data.diagnostics) check(header.includes(d.text), `the header lacks the finding: ${d.text}`);
    check(data.stages.filter((s) => s.enabled).every((s) => header.includes(s.name)), 'the header lacks an enabled stage');

    // Zoom: a drag across one trace sets the same time range on every trace.
    const over = page.locator('#traces .plot .u-over').first();
    await over.scrollIntoViewIfNeeded();
    const box = await over.boundingBox();
    await page.mouse.move(box.x + box.width * 0.25, box.y + box.height / 2);
    await page.mouse.down();
    await page.mouse.move(box.x + box.width * 0.5, box.y + box.height / 2, { steps: 5 });
    await page.mouse.up();
    await page.waitForTimeout(200);
    const ranges = await page.evaluate(() => window.halvernReport.timeRanges());
    const [lo, hi] = ranges[0];
    check(hi - lo < data.duration_s * 0.5 && lo > 0, `a drag did not zoom the first trace (${lo} to ${hi} s)`);
    check(ranges.every(([a, b]) => Math.abs(a - lo) < 1e-9 && Math.abs(b - hi) < 1e-9), `the traces do not share the zoomed time range: ${JSON.stringify(ranges)}`);
    await over.dblclick();
    await page.evaluate(() => window.scrollTo(0, 0));

    // The switch flips what is heard without moving the clock.
    await page.locator('button.switch').click();
    const heard = await page.locator('.player.heard h3').innerText();
    check(heard.startsWith('A'), `after the switch the heard player is ${heard}`);

    const shot = path.join(outDir, beside ? 'report-beside-screenshot.png' : 'report-screenshot.png');
    await page.screenshot({ path: shot, fullPage: true });
    console.log(`screenshot: ${shot}`);
    for (const e of result.errors) problems.push(`page reported: ${e}`);
  } finally {
    await browser.close();
  }
  for (const p of problems) check(false, p);
  return 0;
}

runTest(main);
