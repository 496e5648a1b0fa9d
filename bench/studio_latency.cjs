// The edit-to-audible latency of halvern studio on a 10 s recording (the example, repeated to
// 10 s), measured two ways:
//  - the API as the page uses it: POST /api/slots, then GET the new revision's output WAV;
//  - the page in headless Chromium while it plays: from the input event of a slider to the
//    moment the new signal starts in the audio clock (the page's own figure: request, render,
//    transfer, decoding and the cross-fade's start; the sound card's output latency comes on top).
//
// NODE_PATH=build/report-web/node_modules node bench/studio_latency.cjs [build/halvern] [edits]
'use strict';

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startStudio, stopStudio, request } = require('../tools/studio/web/test/studio_lib.cjs');

const root = path.resolve(__dirname, '..');
const halvern = path.resolve(process.argv[2] || path.join(root, 'build/halvern'));
const edits = Number(process.argv[3] || 100);

function summary(values) {
  const v = [...values].sort((a, b) => a - b);
  const at = (q) => v[Math.min(v.length - 1, Math.floor(q * v.length))];
  const ms = (x) => `${x.toFixed(1)} ms`;
  return `median ${ms(at(0.5))}, 95th percentile ${ms(at(0.95))}, max ${ms(v[v.length - 1])} `
    + `(${v.length} edits)`;
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'studio-latency-'));
  const example = fs.readFileSync(path.join(root, 'examples/speech_howl.pcm'));
  const tenSeconds = 10 * 16000 * 2;
  const recording = path.join(dir, 'ten_seconds.pcm');
  fs.writeFileSync(recording, Buffer.concat([example, example]).subarray(0, tenSeconds));
  const tuning = path.join(dir, 'tuning.txt');
  fs.copyFileSync(path.join(root, 'examples/tuning.txt'), tuning);
  const studio = await startStudio(halvern, recording, tuning);
  try {
    // The API: edit, then fetch what B plays.
    const api = [];
    for (let i = 0; i < edits; ++i) {
      const started = process.hrtime.bigint();
      const r = (await request(studio, 'POST', '/api/slots',
        { body: { slots: { dyn_output_gain_db: (i % 20) - 10 } } })).json();
      const audio = await request(studio, 'GET', `/api/audio/output.wav?revision=${r.revision}`);
      if (audio.status !== 200 || audio.body.length !== tenSeconds + 44) {
        throw new Error(`audio: status ${audio.status}, ${audio.body.length} bytes`);
      }
      api.push(Number(process.hrtime.bigint() - started) / 1e6);
    }
    console.log(`10 s recording, API edit + output WAV: ${summary(api)}`);

    // The page, playing.
    const { chromium } = require('playwright-core');
    const browser = await chromium.launch({
      executablePath: process.env.HALVERN_CHROMIUM || '/usr/bin/chromium',
      headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
        '--autoplay-policy=no-user-gesture-required'],
    });
    try {
      const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
      await page.goto(studio.url);
      await page.waitForFunction(() => window.halvernStudio && window.halvernStudio.ready, null,
        { timeout: 120000 });
      await page.evaluate(() => {
        window.longTasks = [];
        new PerformanceObserver((l) => {
          for (const e of l.getEntries()) window.longTasks.push(e.duration);
        }).observe({ entryTypes: ['longtask'] });
      });
      await page.locator('button.play').click();
      const slider = page.locator('input[type=range][aria-label="dyn_output_gain_db"]');
      await slider.focus();
      const pageEdits = Math.min(edits, 60);
      for (let i = 0; i < pageEdits; ++i) {
        const n = await page.evaluate(() => window.halvernStudio.latencies.length);
        await slider.focus();
        await page.keyboard.press(i % 20 < 10 ? 'ArrowRight' : 'ArrowLeft');
        await page.waitForFunction((k) => window.halvernStudio.latencies.length > k, n,
          { timeout: 10000 });
        await page.waitForTimeout(150);  // one edit at a time, as a person moves a control
        const playing = await page.evaluate(() => window.halvernStudio.playerState().playing);
        if (!playing) await page.locator('button.play').click();
      }
      const { latencies, editTimes, audioTimes } = await page.evaluate(() => window.halvernStudio);
      console.log('10 s recording, page (Chromium, playing), edit to audible: '
        + `${summary(latencies)}`);
      console.log(`  of which the edit's request: ${summary(editTimes.map((t) => t.answered))}`);
      console.log(`  B's WAV fetched: ${summary(audioTimes.map((t) => t.fetch))}`);
      console.log(`  decoded and cross-faded in: ${summary(audioTimes.map((t) => t.decode))}`);
      const busy = await page.evaluate(() => window.longTasks);
      const total = busy.reduce((a, b) => a + b, 0).toFixed(0);
      console.log(`  the page's thread busy for 50 ms or more: ${busy.length} times, `
        + `${total} ms in all`);
    } finally {
      await browser.close();
    }
  } finally {
    await stopStudio(studio);
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((e) => {
  console.error(e.stack || e);
  process.exit(1);
});
