// halvern studio's API as a script uses it, on a server this test starts on loopback: the token
// and Host checks refuse what they should, malformed and out-of-range requests get their status,
// 500 random edits pass with the server's memory flat, a save never overwrites a change on disk,
// and a tuning file changed on disk is loaded within a second.
//
// node studio_api_test.cjs HALVERN RECORDING TUNING OUTDIR
// Exit status 0 passed, 1 failed.
'use strict';

const { check, failures, runTest } = require('../../../report/web/test/verdict.cjs');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { startStudio, stopStudio, request, residentKb, wavSamples, runSamples,
  sameSamples } = require('./studio_lib.cjs');

const [halvern, recording, tuningSource, outDir] = process.argv.slice(2);
// Deterministic pseudo-random numbers, so that a failure repeats.
let seed = 12345;
function random() {
  seed = (seed * 1103515245 + 12345) & 0x7fffffff;
  return seed / 0x80000000;
}
const pick = (list) => list[Math.floor(random() * list.length)];
const between = (lo, hi) => lo + Math.floor(random() * (hi - lo + 1));

// Waits for an event on the studio's event stream; resolves with its data, or null on timeout.
function openEvents(studio) {
  const listeners = [];
  let buffer = '';
  const req = http.get({ host: '127.0.0.1', port: studio.port,
    path: `/api/events?token=${studio.token}`, agent: false }, (res) => {
    res.setEncoding('utf8');
    res.on('data', (chunk) => {
      buffer += chunk;
      let end;
      while ((end = buffer.indexOf('\n\n')) >= 0) {
        const block = buffer.slice(0, end);
        buffer = buffer.slice(end + 2);
        const name = (block.match(/^event: (.*)$/m) || [])[1];
        const data = (block.match(/^data: (.*)$/m) || [])[1];
        if (!name || data === undefined) continue;
        for (const l of [...listeners]) l(name, JSON.parse(data));
      }
    });
  });
  req.on('error', () => {});
  return {
    next(predicate, ms) {
      return new Promise((resolve) => {
        const timer = setTimeout(() => { listeners.splice(listeners.indexOf(on),
          1); resolve(null); }, ms);
        const on = (name, data) => {
          if (!predicate(name, data)) return;
          clearTimeout(timer);
          listeners.splice(listeners.indexOf(on), 1);
          resolve(data);
        };
        listeners.push(on);
      });
    },
    close() { req.destroy(); },
  };
}

async function security(studio) {
  const good = `${studio.host}:${studio.port}`;
  const cases = [
    ['no token', { token: null }, '/api/state', 403],
    ['a wrong token', { token: '0'.repeat(32) }, '/api/state', 403],
    ['a token one digit short', { token: studio.token.slice(1) }, '/api/state', 403],
    ['the token in the query', { token: null }, `/api/state?token=${studio.token}`, 200],
    ['the page without its token', { token: null }, '/', 403],
    ['the page with its token', { token: null }, `/?token=${studio.token}`, 200],
    ['a foreign Host', { host: `attacker.example:${studio.port}` }, '/api/state', 403],
    ['a foreign Host with the query token', { host: `attacker.example:${studio.port}`,
      token: null }, `/?token=${studio.token}`, 403],
    ['a Host on another port', { host: `${studio.host}:${studio.port + 1}` }, '/api/state', 403],
    ['a Host that only starts like localhost',
      { host: `localhost.attacker.example:${studio.port}` }, '/api/state', 403],
    ['localhost', { host: `localhost:${studio.port}` }, '/api/state', 200],
    ['the bound address', { host: good }, '/api/state', 200],
    ['a file named in the path', {}, '/api/audio/..%2F..%2Fetc%2Fpasswd.wav', 404],
    ['a file named as a position', {}, '/api/audio/passwd.wav', 404],
    ['an unknown revision', {}, '/api/audio/output.wav?revision=999999', 404],
    ['a malformed revision', {}, '/api/audio/output.wav?revision=abc', 400],
    ['an unknown call', {}, '/api/files', 404],
  ];
  for (const [what, options, url, want] of cases) {
    const r = await request(studio, 'GET', url, options);
    check(r.status === want,
      `${what}: status ${r.status}, expected ${want} (${r.body.toString().slice(0, 200)})`);
    if (want >= 400) check(/"error"/.test(r.body.toString()),
      `${what}: no message with status ${r.status}`);
  }
  const bodies = [
    ['malformed JSON', '{"slots": {', 400],
    ['JSON nested too deep', `${'['.repeat(100000)}${']'.repeat(100000)}`, 413],
    ['a body over the limit', `{"slots": {}, "x": "${'a'.repeat(70000)}"}`, 413],
    ['no slots object', '{"values": {}}', 400],
    ['slots not an object', '{"slots": [1, 2]}', 400],
    ['an unknown slot name', '{"slots": {"no_such_slot": 1}}', 422],
    ['slot 85', '{"slots": {"85": 1}}', 422],
    ['a value above the range', '{"slots": {"dyn_makeup_db": 19}}', 422],
    ['a value that is no whole number', '{"slots": {"dyn_makeup_db": 2.5}}', 422],
    ['deep but small JSON', `{"slots": ${'['.repeat(40)}${']'.repeat(40)}}`, 400],
  ];
  for (const [what, body, want] of bodies) {
    const r = await request(studio, 'POST', '/api/slots', { body });
    check(r.status === want,
      `${what}: status ${r.status}, expected ${want} (${r.body.toString().slice(0, 200)})`);
  }
  const chunked = await request(studio, 'POST', '/api/slots', { body: '{"slots": {}}',
    chunked: true });
  check(chunked.status === 411, `a chunked body: status ${chunked.status}, expected 411`);
  const alive = await request(studio, 'GET', '/api/state');
  check(alive.status === 200, 'the server does not answer after the refused requests');
}

async function randomEdits(studio, catalogue) {
  const counts = {};
  let baseline = 0;
  const started = Date.now();
  for (let i = 0; i < 500 && Date.now() - started < 240000; ++i) {
    if (i === 100) baseline = residentKb(studio.child.pid);
    const roll = random();
    let r;
    if (roll < 0.75) {
      const slots = {};
      for (let k = between(1, 3); k > 0; --k) {
        const info = pick(catalogue);
        // Mostly values in range; now and then one out of range or a slot unknown.
        const wild = random() < 0.05;
        slots[wild ? pick(['99', 'nope']) : (random() < 0.5 ? info.name : String(info.slot))] =
          wild || random() < 0.05 ? info.max + 1 : between(info.min, info.max);
      }
      r = await request(studio, 'POST', '/api/slots', { body: { slots,
        ...(random() < 0.3 ? { gesture: `g${i % 7}` } : {}) } });
      check(r.status === 200 || r.status === 422,
        `edit ${i} (${JSON.stringify(slots)}): status ${r.status} ${r.body}`);
    } else if (roll < 0.85) {
      r = await request(studio, 'POST', random() < 0.5 ? '/api/undo' : '/api/redo');
      check(r.status === 200, `undo/redo ${i}: status ${r.status}`);
    } else {
      r = await request(studio, 'GET', '/api/state');
      check(r.status === 200, `state ${i}: status ${r.status}`);
    }
    counts[r.status] = (counts[r.status] || 0) + 1;
    // The audio of the tuning now, as the page asks for it after every change.
    const state = await request(studio, 'GET', '/api/state');
    if (!check(state.status === 200, `state after ${i}: status ${state.status}`)) break;
    const audio = await request(studio, 'GET', `/api/audio/${pick(['output', 'input',
      'equalizer'])}.wav?revision=${state.json().revision}`);
    check(audio.status === 200 || audio.status === 422, `audio after ${i}: status ${audio.status}`);
    if (failures.length > 10) break;
  }
  const after = residentKb(studio.child.pid);
  const mb = (kb) => (kb / 1024).toFixed(1);
  console.log(`random edits: ${JSON.stringify(counts)}; resident memory ${mb(baseline)} MB after `
    + `100, ${mb(after)} MB after 500`);
  // The address sanitizer keeps freed memory in quarantine: there, memory is judged by the
  // plain builds.
  if (process.env.HALVERN_SANITIZED) return;
  check(after - baseline < 24 * 1024,
    `memory grew by ${((after - baseline) / 1024).toFixed(1)} MB over 400 edits`);
}

async function saveAndReload(studio, tuning) {
  // The edits so far are saved first: the file is then exactly what the session holds.
  let r = await request(studio, 'POST', '/api/save');
  check(r.status === 200, `save: status ${r.status} ${r.body}`);
  const saved = fs.readFileSync(tuning, 'utf8');
  const state = (await request(studio, 'GET', '/api/state')).json();
  check(!state.edited && state.revision === state.saved_revision,
    'after a save the state is not the saved one');
  // Another program changes the file: a save is refused with 409 and leaves the file alone.
  r = await request(studio, 'POST', '/api/slots',
    { body: { slots: { dyn_makeup_db: state.slots[12] === 6 ? 7 : 6 } } });
  check(r.status === 200, `edit before the conflict: status ${r.status} ${r.body}`);
  const events = openEvents(studio);
  await new Promise((resolve) => setTimeout(resolve, 300));
  const other = saved.replace(/^stage_mask\s+-?\d+/m, 'stage_mask 15');
  const edited = (await request(studio, 'GET', '/api/state')).json().slots;
  // Written as editors do: a new file renamed over the old one.
  const changedAt = Date.now();
  fs.writeFileSync(`${tuning}.new`, other);
  fs.renameSync(`${tuning}.new`, tuning);
  const loaded = await events.next((name, data) => name === 'file' && data.loaded, 5000);
  const took = Date.now() - changedAt;
  console.log(`a change on disk was loaded after ${took} ms`);
  check(loaded !== null && took < 1000,
    `a change on disk was not loaded within a second (${loaded ? `${took} ms` : 'not at all'})`);
  const after = (await request(studio, 'GET', '/api/state')).json();
  check(after.saved_slots[0] === 15 && after.slots[0] === 15,
    `the reloaded stage mask is ${after.slots[0]}, the file says 15`);
  r = await request(studio, 'POST', '/api/undo');
  const undone = (await request(studio, 'GET', '/api/state')).json();
  check(JSON.stringify(undone.slots) === JSON.stringify(edited),
    'undo after the reload does not return to the edits');

  // A save with the disk changed behind the session's back, before the watcher sees it.
  fs.writeFileSync(tuning, saved);
  r = await request(studio, 'POST', '/api/save');
  if (r.status === 409) {
    check(/changed on disk/.test(r.json().error), `409 without a message: ${r.body}`);
  } else {
    // The watcher was quicker: the file was loaded, and the save then wrote the edits.
    check(r.status === 200, `save after an outside change: status ${r.status} ${r.body}`);
  }
  check(fs.readFileSync(tuning, 'utf8') === saved || r.status === 200,
    'a refused save changed the file');
  events.close();

  // Saved audio equals halvern run with the saved file.
  await request(studio, 'POST', '/api/reload');
  const s = (await request(studio, 'GET', '/api/state')).json();
  const audio = await request(studio, 'GET', `/api/audio/output.wav?revision=${s.saved_revision}`);
  check(sameSamples(wavSamples(audio.body), runSamples(halvern, recording, tuning, outDir,
    'saved.wav')),
    'the saved tuning\'s audio differs from halvern run with the file');
}

// A tuning with errors of halvern check is refused with them, unless allowed.
async function refusedTuning() {
  const broken = path.join(outDir, 'broken.txt');
  fs.writeFileSync(broken, 'stage_mask 31\nhp_cutoff_hz abc\n');
  const r = spawnSync(halvern, ['studio', recording, broken, '--port', '0'], { encoding: 'utf8',
    timeout: 30000 });
  check(r.status === 2, `a tuning with errors: status ${r.status}, expected 2`);
  check(/broken\.txt:2:\d+: error: /.test(r.stderr) && /--allow-tuning-errors/.test(r.stderr),
    `a tuning with errors: the errors and the option are not printed: ${r.stderr}`);
  const allowed = await startStudio(halvern, recording, broken, ['--allow-tuning-errors']);
  check((await request(allowed, 'GET', '/api/state')).status === 200,
    'with --allow-tuning-errors the studio does not answer');
  check(await stopStudio(allowed) === 0,
    'with --allow-tuning-errors the studio does not stop cleanly');
}

async function main() {
  fs.rmSync(outDir, { recursive: true, force: true });
  fs.mkdirSync(outDir, { recursive: true });
  await refusedTuning();
  const tuning = path.join(outDir, 'tuning.txt');
  fs.copyFileSync(tuningSource, tuning);
  const studio = await startStudio(halvern, recording, tuning);
  try {
    check(studio.host === '127.0.0.1', `the studio listens on ${studio.host}, not on loopback`);
    await security(studio);
    const session = (await request(studio, 'GET', '/api/session')).json();
    await randomEdits(studio, session.catalogue);
    await saveAndReload(studio, tuning);
  } finally {
    const status = await stopStudio(studio);
    check(status === 0, `halvern studio ended with status ${status} on SIGTERM`);
  }
  return 0;
}

runTest(main);
