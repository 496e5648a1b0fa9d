// What every browser and API test of the pages shares: faults are collected with check(), and
// runTest(main) prints them (at most the first 30) and ends the process with main's status: 0
// passed, 1 failed, 77 skipped.
'use strict';

const fs = require('node:fs');

const SKIP = 77;
const failures = [];

function check(ok, message) {
  if (!ok) failures.push(message);
  return ok;
}

// Debian's chromium, or the one HALVERN_CHROMIUM names; undefined when there is none.
function findChromium() {
  return [process.env.HALVERN_CHROMIUM, '/usr/bin/chromium',
    '/usr/bin/chromium-browser'].find((c) => c && fs.existsSync(c));
}

function verdict(status) {
  if (status === SKIP) return SKIP;
  if (failures.length > 0) {
    for (const f of failures.slice(0, 30)) console.log(`FAILED: ${f}`);
    console.log(`0 passed, 1 failed (${failures.length} faults)`);
    return 1;
  }
  console.log('1 passed, 0 failed');
  return 0;
}

function runTest(main) {
  main().then((status) => process.exit(verdict(status)), (e) => {
    console.log(`FAILED: ${e.stack || e}`);
    process.exit(1);
  });
}

module.exports = { SKIP, check, failures, findChromium, runTest };
