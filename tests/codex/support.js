// support.js: what the real-CLI tests share: the stand-in issuer as a child process, credvane
// run as a CGI program, and the real Codex CLI.
'use strict';

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { spawn, spawnSync } = require('node:child_process');

const root = path.resolve(__dirname, '../..');

function need(name) {
  const v = process.env[name];
  if (!v) throw new Error(name + ' is not set: run these tests through tests/codex/run.sh');
  return v;
}

// Starts the stand-in issuer and resolves once it listens.
async function startIssuer(args = []) {
  const proc = spawn(process.execPath, [path.join(root, 'tools/issuer/issuer.js'), ...args], {
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  const lines = readline.createInterface({ input: proc.stdout });
  const url = await new Promise((resolve, reject) => {
    lines.once('line', resolve);
    proc.once('exit', (code) => reject(new Error(`the stand-in issuer ended with ${code} before it listened`)));
  });
  lines.close();
  proc.stdout.resume();
  const issuer = {
    url,
    // One test control call: POST with a JSON body, GET without.
    async call(p, body) {
      const r = await fetch(url + p, body === undefined ? {} : {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(body),
      });
      const v = await r.json();
      if (!r.ok) throw new Error(`${p}: ${r.status} ${JSON.stringify(v)}`);
      return v;
    },
    async count(event) {
      return (await issuer.call('/test/events')).events.filter((e) => e.event === event).length;
    },
    stop() {
      return new Promise((resolve) => {
        if (proc.exitCode !== null) return resolve();
        proc.once('exit', resolve);
        proc.kill('SIGTERM');
      });
    },
  };
  return issuer;
}

function tempDir(label) {
  return fs.mkdtempSync(path.join(os.tmpdir(), `credvane-${label}-`));
}

function cgiEnv(query, env) {
  return { PATH: process.env.PATH, QUERY_STRING: query, REQUEST_METHOD: 'GET', ...env };
}

function answerOf(query, out, status) {
  const body = out.slice(out.indexOf('\r\n\r\n') + 4);
  try {
    return JSON.parse(body);
  } catch {
    throw new Error(`credvane ${query}: no JSON answer (exit ${status}): ${out}`);
  }
}

// Runs credvane as its host would, and gives its JSON answer.
function credvane(query, env) {
  const r = spawnSync(path.join(need('CV_BUILD'), 'credvane'), [], { env: cgiEnv(query, env), encoding: 'utf8' });
  return answerOf(query, r.stdout || '', r.status);
}

// The same, running on while the test goes on: a promise of the answer.
function credvaneAsync(query, env) {
  return new Promise((resolve, reject) => {
    const p = spawn(path.join(need('CV_BUILD'), 'credvane'), [], { env: cgiEnv(query, env), stdio: ['ignore', 'pipe', 'ignore'] });
    let out = '';
    p.stdout.on('data', (d) => (out += d));
    p.on('close', (code) => {
      try {
        resolve(answerOf(query, out, code));
      } catch (e) {
        reject(e);
      }
    });
  });
}

// One of credvane's own CLIs in the build: credvane-login or credvane-refresh.
function cliPath(name) {
  const build = need('CV_BUILD');
  for (const p of [path.join(build, name), path.join(build, 'signin', name)]) {
    if (fs.existsSync(p)) return p;
  }
  throw new Error(`${name} is not in ${build}: build the project first`);
}

// Runs the real Codex CLI to its end. Its output is human text: only its exit status and the
// files it leaves are judged, and the text is kept for a failure message.
function codex(args, env, opts = {}) {
  return new Promise((resolve) => {
    const p = spawn(need('CODEX_BIN'), args, { env, stdio: ['ignore', 'pipe', 'pipe'], cwd: opts.cwd });
    let out = '';
    p.stdout.on('data', (d) => (out += d));
    p.stderr.on('data', (d) => (out += d));
    if (opts.started) opts.started(p);
    p.on('close', (code, signal) => resolve({ code, signal, out }));
  });
}

// The environment of one codex home: nothing outside the temporary folder, and the revoke
// call, which otherwise ignores the file's issuer, kept on the stand-in.
function codexEnv(home, issuer) {
  return {
    PATH: process.env.PATH,
    HOME: home,
    CODEX_HOME: path.join(home, '.codex'),
    CODEX_REVOKE_TOKEN_URL_OVERRIDE: issuer.url + '/oauth/revoke',
    NO_COLOR: '1',
  };
}

function jwtClaims(token) {
  return JSON.parse(Buffer.from(token.split('.')[1], 'base64url').toString('utf8'));
}

// The member names of a JSON value, recursively and in order: the file's shape without its
// values.
function shape(v) {
  if (v === null || typeof v !== 'object' || Array.isArray(v)) return v === null ? null : typeof v;
  return Object.fromEntries(Object.entries(v).map(([k, x]) => [k, shape(x)]));
}

module.exports = { root, need, startIssuer, tempDir, credvane, credvaneAsync, cliPath, codex, codexEnv, jwtClaims, shape };
