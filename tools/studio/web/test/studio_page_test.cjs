// The studio page in a real browser, as a person uses it: halvern studio serves a copy of the
// tuning on loopback, headless Chromium opens the printed address with every request elsewhere
// refused, and the test drags a control, checks that B then plays bit for bit what `halvern run`
// gives with the edited tuning, saves (the file differs from the original only in that value),
// undoes (B plays the original tuning's output again), and flips A/B. A screenshot of the page
// is kept in the output folder.
//
// node studio_page_test.cjs HALVERN RECORDING TUNING OUTDIR
// Exit status 0 passed, 1 failed, 77 skipped (no Chromium).
'use strict';

const { SKIP, check, findChromium, runTest } = require('../../../report/web/test/verdict.cjs');
const fs = require('node:fs');
const path = require('node:path');
const { startStudio, stopStudio, runSamples, sameSamples } = require('./studio_lib.cjs');

const [halvern, recording, tuningSource, outDir] = process.argv.slice(2);
const SLOT = 'dyn_output_gain_db';

async function main() {
  const chromiumPath = findChromium();
  if (!chromiumPath) {
    console.log('SKIPPED: no Chromium found (install Debian\'s chromium package, or set ' +
      'HALVERN_CHROMIUM); the studio page was not tested');
    return SKIP;
  }
  const { chromium } = require('playwright-core');
  fs.rmSync(outDir, { recursive: true, force: true });
  fs.mkdirSync(outDir, { recursive: true });
  const tuning = path.join(outDir, 'tuning.txt');
  fs.copyFileSync(tuningSource, tuning);
  const original = fs.readFileSync(tuning, 'utf8');
  const originalOutput = runSamples(halvern, recording, tuning, outDir, 'original.wav');

  const studio = await startStudio(halvern, recording, tuning);
  const origin = `http://${studio.host}:${studio.port}`;
  const browser = await chromium.launch({
    executablePath: chromiumPath,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update',
      '--no-first-run', '--autoplay-policy=no-user-gesture-required'],
  });
  const problems = [];
  try {
    const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
    // Every request that does not go to the studio is refused, and counted as a fault.
    const ours = ['blob:', 'data:', `${origin}/`];
    const elsewhere = (url) => !ours.some((p) => url.href.startsWith(p));
    await context.route(elsewhere, (route) => {
      problems.push(`request outside the studio: ${route.request().url()}`);
      route.abort();
    });
    const page = await context.newPage();
    page.on('console',
      (m) => { if (m.type() === 'error') problems.push(`console error: ${m.text()}`); });
    page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
    await page.goto(studio.url, { waitUntil: 'load' });
    await page.waitForFunction(() => window.halvernStudio && window.halvernStudio.ready, null,
      { timeout: 120000 });
    const samplesB = () => page.evaluate(() => window.halvernStudio.samplesOf(1));
    const settled = () => page.waitForFunction(() => {
      const s = window.halvernStudio;
      return !s.pending() && s.audio.b && s.audio.b.revision === s.revision &&
        s.stateRevision === s.revision &&
        s.analysisRevision === s.revision;
    }, null, { timeout: 60000 });
    await settled();
    check(sameSamples(await samplesB(), originalOutput),
      'before any edit, B does not play halvern run\'s output of the tuning');

    // Playing, a drag of one slider: one undo step, and B plays on from where it was.
    await page.locator('button.play').click();
    await page.waitForTimeout(400);
    const before = await page.evaluate(() => window.halvernStudio.playerState());
    const slider = page.locator(`input[type=range][aria-label="${SLOT}"]`);
    await slider.scrollIntoViewIfNeeded();
    const box = await slider.boundingBox();
    const { min, max, value } = await slider.evaluate((e) => ({ min: Number(e.min),
      max: Number(e.max), value: Number(e.value) }));
    const thumbX = box.x + 8 + ((value - min) / (max - min)) * (box.width - 16);
    await page.mouse.move(thumbX, box.y + box.height / 2);
    await page.mouse.down();
    for (let i = 1; i <= 8; ++i) {
      await page.mouse.move(thumbX - i * (box.width * 0.03), box.y + box.height / 2);
      await page.waitForTimeout(30);
    }
    await page.mouse.up();
    await page.waitForFunction(() => window.halvernStudio.latencies.length > 0, null,
      { timeout: 60000 });
    const after = await page.evaluate(() => window.halvernStudio.playerState());
    check(before.playing && after.playing && after.position > before.position,
      `the edit did not keep the play position (${JSON.stringify(before)} -> `
      + `${JSON.stringify(after)})`);
    await settled();
    const edited = Number(await slider.inputValue());
    check(edited < value, `the drag did not lower ${SLOT} (${value} -> ${edited})`);
    const held = await page.evaluate((slot) => window.halvernStudio.slots[slot], 14);
    check(held === edited, `the slider shows ${edited}, the studio holds ${held}`);
    const steps = await page.evaluate(() => window.halvernStudio.undoSteps);
    check(steps === 1, `one drag made ${steps} undo steps`);
    const latencies = await page.evaluate(() => window.halvernStudio.latencies);
    console.log(`edit to audible in the page: ${latencies.map((l) => l.toFixed(0)).join(', ')} ms`);
    const playing = await page.evaluate(() => window.halvernStudio.playerState().playing);
    if (playing) await page.locator('button.play').click();
    const editedB = await samplesB();

    // Save: the file differs from the original only in that value, and halvern run with it gives
    // what B played.
    await page.locator('button.save').click();
    await page.waitForFunction(
      () => window.halvernStudio.savedRevision === window.halvernStudio.revision,
      null, { timeout: 30000 });
    const expected = original.replace(new RegExp(`^(${SLOT}\\s+)-?\\d+`, 'm'), `$1${edited}`);
    check(fs.readFileSync(tuning, 'utf8') === expected,
      `the saved file is not the original with ${SLOT} ${edited}`);
    check(sameSamples(editedB, runSamples(halvern, recording, tuning, outDir, 'edited.wav')),
      'B after the drag is not bit for bit halvern run with the edited tuning');
    await settled();

    // Undo: B plays the original tuning again.
    await page.locator('button', { hasText: 'Undo' }).click();
    await page.waitForFunction(
      () => window.halvernStudio.revision > window.halvernStudio.savedRevision,
      null, { timeout: 30000 });
    await settled();
    check(sameSamples(await samplesB(), originalOutput),
      'after undo, B is not halvern run\'s output of the original tuning');
    check(Number(await slider.inputValue()) === value,
      'after undo the slider does not show the original value');

    // A/B: one key flips what is heard; the loudness match is shown.
    await page.keyboard.press('Shift+Space');
    const heard = await page.locator('.player.heard h3').innerText();
    check(heard.startsWith('A'), `after Shift+Space the heard player is ${heard}`);
    await page.locator('input.match-toggle').check();
    const match = await page.locator('.match-gain').innerText();
    check(/RMS matched|same level/.test(match), `the loudness match shows '${match}'`);

    // Everything drawn, once in view.
    for (const id of ['#traces', '#curves']) await page.locator(id).scrollIntoViewIfNeeded();
    await page.waitForFunction(() => Object.keys(window.halvernStudio.plots).length >= 9, null,
      { timeout: 30000 }).catch(() => {});
    const plots = await page.evaluate(() => window.halvernStudio.plots);
    for (const name of ['dynamics', 'equalizer', 'howl', 'clips', 'curve_dynamics',
      'curve_highpass', 'curve_fir', 'curve_bands']) {
      check(plots[name] && plots[name].points > 0, `plot ${name} is missing`);
    }
    const findings = await page.locator('#findings').textContent();
    check(/Findings of halvern check/.test(findings), 'the findings are not shown');

    // The whole page in view, so that every section is drawn for the picture.
    await page.evaluate(() => window.scrollTo(0, 0));
    const height = await page.evaluate(() => document.documentElement.scrollHeight);
    await page.setViewportSize({ width: 1280, height: Math.min(height, 16000) });
    await page.waitForTimeout(1500);
    const shot = path.join(outDir, 'studio-screenshot.png');
    await page.screenshot({ path: shot, fullPage: true });
    console.log(`screenshot: ${shot}`);
    const reported = await page.evaluate(() => window.halvernStudio.errors);
    for (const e of reported) problems.push(`page reported: ${e}`);
  } finally {
    await browser.close();
    const status = await stopStudio(studio);
    check(status === 0, `halvern studio ended with status ${status} on SIGTERM`);
  }
  for (const p of problems) check(false, p);
  return 0;
}

runTest(main);
