// codex.test.js: the real Codex CLI against the stand-in issuer, and credvane reading what it
// writes. These fail when the real CLI's calls, the type of the interval it reads, or the
// members of the file it writes change: that is their purpose.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { startIssuer, tempDir, credvane, codex, codexEnv, jwtClaims, shape } = require('./support');

// The file the real CLI writes, member by member and in order.
const FILE_SHAPE = {
  auth_mode: 'string',
  OPENAI_API_KEY: null,
  tokens: {
    id_token: 'string',
    access_token: 'string',
    refresh_token: 'string',
    oauth_provenance: { issuer: 'string', client_id: 'string' },
    login_owner_id: 'string',
    account_id: 'string',
  },
  last_refresh: 'string',
};

let issuer;
const homes = [];

before(async () => {
  issuer = await startIssuer(['--interval', '1']);
});
after(async () => {
  await issuer.stop();
  for (const h of homes) fs.rmSync(h, { recursive: true, force: true });
});

function newHome(label) {
  const h = tempDir(label);
  homes.push(h);
  fs.mkdirSync(path.join(h, '.codex'));
  return h;
}

// credvane's view of one codex home.
function statusOf(home) {
  return credvane('action=status', {
    HOME: home,
    CODEX_HOME: path.join(home, '.codex'),
    CODEX_CREDS_PATH: path.join(home, '.codex', 'auth.json'),
  });
}

// The real CLI's own device login, approved through the control as soon as its code appears.
async function realLogin(home, approval = { account_id: 'acct-real-cli', email: 'real@example.com' }) {
  const codeSeen = issuer.call('/test/next-code?timeout=120');
  const run = codex(['login', '--device-auth', '--experimental_issuer', issuer.url], codexEnv(home, issuer));
  const winner = await Promise.race([codeSeen, run]);
  assert.ok(winner.user_code, `the real CLI ended before it had a code: ${JSON.stringify(winner)}`);
  await issuer.call('/test/approve', { user_code: winner.user_code, ...approval });
  return run;
}

function readFile(home) {
  const file = path.join(home, '.codex', 'auth.json');
  return { text: fs.readFileSync(file, 'utf8'), mode: fs.statSync(file).mode & 0o777 };
}

test('the real CLI signs in at the stand-in issuer, and credvane reports its file', async () => {
  const home = newHome('real-login');
  const r = await realLogin(home);
  assert.equal(r.code, 0, r.out);

  const { text, mode } = readFile(home);
  const file = JSON.parse(text);
  assert.equal(mode, 0o600);
  assert.equal(text, JSON.stringify(file, null, 2), 'two-space pretty print, no final newline');
  assert.equal(JSON.stringify(shape(file)), JSON.stringify(FILE_SHAPE));
  assert.equal(file.auth_mode, 'chatgpt');
  assert.deepEqual(file.tokens.oauth_provenance, { issuer: issuer.url, client_id: 'app_EMoamEEZ73f0CkXaXp7hrann' });
  assert.equal(file.tokens.account_id, 'acct-real-cli');
  assert.match(file.tokens.login_owner_id, /^[A-Za-z0-9_-]{43}$/);
  assert.match(file.last_refresh, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{9}Z$/);

  const st = statusOf(home);
  assert.equal(st.logged_in, true, JSON.stringify(st));
  assert.equal(st.has_refresh, true);
  assert.equal(st.expired, false);
  assert.equal(st.expires_at, jwtClaims(file.tokens.access_token).exp);
  assert.equal(st.account_id, 'acct-real-cli');
  assert.equal(st.last_refresh, Math.floor(Date.parse(file.last_refresh) / 1000));
  assert.equal(st.credentials_path, path.join(home, '.codex', 'auth.json'));

  const status = await codex(['login', 'status'], codexEnv(home, issuer));
  assert.equal(status.code, 0, status.out);
});

// The real service sends the interval as a string, and 0.169.0 reads only that: a CLI that
// starts to take a number may meet a service that sends one, and the login CLI must follow.
test('the real CLI stops when the interval comes as a number', async () => {
  const home = newHome('real-number');
  await issuer.call('/test/config', { interval_as_number: true });
  try {
    const r = await codex(['login', '--device-auth', '--experimental_issuer', issuer.url], codexEnv(home, issuer));
    assert.equal(r.code, 1, r.out);
    assert.equal(fs.existsSync(path.join(home, '.codex', 'auth.json')), false);
    // It got its code and stopped on the answer, not before the call.
    assert.match((await issuer.call('/test/next-code?timeout=1')).user_code, /^[A-Z2-9]{4}-[A-Z2-9]{4}$/);
  } finally {
    await issuer.call('/test/config', { interval_as_number: false });
  }
});
