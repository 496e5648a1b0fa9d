// What the studio's tests share: starting `halvern studio` on a copy of a tuning file (loopback,
// a free port), reading 16-bit WAV files, running `halvern run`, and plain HTTP requests with
// any Host header.
'use strict';

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

// Starts the studio; resolves once it has printed its address.
function startStudio(halvern, recording, tuning, extra = []) {
  return new Promise((resolve, reject) => {
    const child = spawn(halvern, ['studio', recording, tuning, '--port', '0', ...extra],
      { stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    let err = '';
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`no address from halvern studio: ${out}${err}`));
    }, 30000);
    child.stderr.on('data', (d) => { err += d; });
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/http:\/\/([^/\s]+):(\d+)\/\?token=([0-9a-f]+)/);
      if (m) {
        clearTimeout(timer);
        resolve({ child, url: m[0], host: m[1], port: Number(m[2]), token: m[3],
          stderr: () => err });
      }
    });
    child.on('exit',
      (code) => {
        clearTimeout(timer);
        reject(new Error(`halvern studio ended with status ${code}: ${err}`));
      });
  });
}

// Stops the studio with SIGTERM; resolves with its exit status.
function stopStudio(studio) {
  return new Promise((resolve) => {
    studio.child.removeAllListeners('exit');
    if (studio.child.exitCode !== null) { resolve(studio.child.exitCode); return; }
    const timer = setTimeout(() => studio.child.kill('SIGKILL'), 10000);
    studio.child.on('exit', (code, signal) => { clearTimeout(timer); resolve(code ?? signal); });
    studio.child.kill('SIGTERM');
  });
}

// The samples of a 16-bit PCM WAV file (first channel) as an Int16Array.
function wavSamples(bytes) {
  const b = Buffer.from(bytes);
  if (b.toString('ascii', 0, 4) !== 'RIFF' || b.toString('ascii', 8,
    12) !== 'WAVE') throw new Error('not a WAV file');
  let channels = 1;
  for (let at = 12; at + 8 <= b.length;) {
    const id = b.toString('ascii', at, at + 4);
    const size = b.readUInt32LE(at + 4);
    if (id === 'fmt ') {
      if (b.readUInt16LE(at + 8) !== 1 || b.readUInt16LE(at + 22) !== 16) throw new Error('not ' +
        '16-bit PCM');
      channels = b.readUInt16LE(at + 10);
    } else if (id === 'data') {
      const n = Math.floor(Math.min(size, b.length - at - 8) / (2 * channels));
      const out = new Int16Array(n);
      for (let i = 0; i < n; ++i) out[i] = b.readInt16LE(at + 8 + 2 * i * channels);
      return out;
    }
    at += 8 + size + (size & 1);
  }
  throw new Error('no samples');
}

// `halvern run` of the recording with a tuning file: the output's samples.
function runSamples(halvern, recording, tuning, outDir, name) {
  const out = path.join(outDir, name);
  execFileSync(halvern, ['run', recording, out, tuning, '-q'], { stdio: 'inherit' });
  return wavSamples(fs.readFileSync(out));
}

function sameSamples(a, b) {
  if (!a || !b || a.length !== b.length) return false;
  for (let i = 0; i < a.length; ++i) if (a[i] !== b[i]) return false;
  return true;
}

// One HTTP request to the studio: { status, headers, body (Buffer), json() }.
function request(studio, method, pathAndQuery, { body, headers = {}, token = studio.token, host,
  chunked = false } = {}) {
  return new Promise((resolve, reject) => {
    const h = { Host: host ?? `${studio.host}:${studio.port}`, ...headers };
    if (token !== null) h['X-Halvern-Token'] = token;
    let payload;
    if (body !== undefined) payload = typeof body === 'string' ? body : JSON.stringify(body);
    if (payload !== undefined) h['Content-Type'] = 'application/json';
    if (!chunked) h['Content-Length'] = payload === undefined ? 0 : Buffer.byteLength(payload);
    const req = http.request({ host: '127.0.0.1', port: studio.port, method, path: pathAndQuery,
      headers: h, agent: false }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        const data = Buffer.concat(chunks);
        resolve({ status: res.statusCode, headers: res.headers, body: data,
          json: () => JSON.parse(data.toString('utf8')) });
      });
    });
    req.setTimeout(30000,
      () => req.destroy(new Error(`${method} ${pathAndQuery}: no answer in 30 s`)));
    req.on('error', reject);
    if (payload !== undefined) req.write(payload);
    req.end();
  });
}

// The resident memory of a process in kB.
function residentKb(pid) {
  const m = fs.readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmRSS:\s+(\d+)/);
  return m ? Number(m[1]) : 0;
}

module.exports = { startStudio, stopStudio, wavSamples, runSamples, sameSamples, request,
  residentKb };
