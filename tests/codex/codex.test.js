// codex.test.js: the real Codex CLI against the stand-in issuer, and credvane reading what it
// writes. These fail when the real CLI's calls, the type of the interval it reads, or the
// members of the file it writes change: that is their purpose.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { startIssuer, tempDir, credvane, credvaneAsync, cliPath, codex, codexEnv, jwtClaims, shape } = require('./support');

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

// A node whose codex home is HOME/.codex, with credvane's own CLIs signing in at the stand-in.
function nodeEnv(home) {
  return {
    HOME: home,
    CODEX_HOME: path.join(home, '.codex'),
    CODEX_LOGIN_BIN: cliPath('credvane-login'),
    CODEX_REFRESH_BIN: cliPath('credvane-refresh'),
    CREDVANE_ISSUER: issuer.url,
  };
}

// credvane's view of one codex home.
function statusOf(home) {
  return credvane('action=status', nodeEnv(home));
}

// A device login through credvane and its login CLI: start, approval at the stand-in, and the
// one poll that finds it approved. Answers the poll's answer.
async function ourLogin(home, account = 'acct-ours', query = 'action=start') {
  const started = credvane(query, nodeEnv(home));
  assert.equal(started.ok, true, JSON.stringify(started));
  assert.equal(started.verify_url, issuer.url + '/codex/device');
  await issuer.call('/test/approve', { user_code: started.user_code, account_id: account });
  return credvane('action=poll', nodeEnv(home));
}

// credvane's refresh action with the stand-in issuing tokens that live `lifetime` seconds.
async function ourRefresh(home, lifetime) {
  await issuer.call('/test/config', { token_lifetime: lifetime });
  try {
    return credvane('action=refresh', nodeEnv(home));
  } finally {
    await issuer.call('/test/config', { token_lifetime: 3600 });
  }
}

// The file as the real CLI must find it: its format, its members, and what ties it to the
// stand-in and the account.
function checkFile(home, account) {
  const { text, mode } = readFile(home);
  const file = JSON.parse(text);
  assert.equal(mode, 0o600);
  assert.equal(text, JSON.stringify(file, null, 2), 'two-space pretty print, no final newline');
  assert.equal(JSON.stringify(shape(file)), JSON.stringify(FILE_SHAPE));
  assert.equal(file.auth_mode, 'chatgpt');
  assert.deepEqual(file.tokens.oauth_provenance, { issuer: issuer.url, client_id: 'app_EMoamEEZ73f0CkXaXp7hrann' });
  assert.equal(file.tokens.account_id, account);
  assert.equal(jwtClaims(file.tokens.id_token)['https://api.openai.com/auth'].chatgpt_account_id, account);
  assert.match(file.tokens.login_owner_id, /^[A-Za-z0-9_-]{43}$/);
  assert.match(file.last_refresh, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{9}Z$/);
  return file;
}

function readFile(home) {
  const file = path.join(home, '.codex', 'auth.json');
  return { text: fs.readFileSync(file, 'utf8'), mode: fs.statSync(file).mode & 0o777 };
}

// A command that uses the token: the real CLI refreshes an expired one first. Its model calls
// go to the stand-in too, which has no model: the command fails after the refresh, and only
// the refresh is judged.
function realUse(home) {
  const model = [
    '-c', `chatgpt_base_url=${issuer.url}/backend-api`,
    '-c', 'model_provider=standin',
    '-c', 'model_providers.standin.name=standin',
    '-c', `model_providers.standin.base_url=${issuer.url}/v1`,
    '-c', 'model_providers.standin.requires_openai_auth=true',
    '-c', 'model_providers.standin.wire_api=responses',
    '-c', 'model_providers.standin.request_max_retries=0',
    '-c', 'model_providers.standin.stream_max_retries=0',
  ];
  return codex(['exec', '--skip-git-repo-check', ...model, 'say hello'], codexEnv(home, issuer), { cwd: home });
}

// A login through credvane whose access token has already run out.
async function ourExpiredLogin(home, account) {
  await issuer.call('/test/config', { token_lifetime: -60 });
  try {
    return await ourLogin(home, account);
  } finally {
    await issuer.call('/test/config', { token_lifetime: 3600 });
  }
}

async function realAccepts(home) {
  const r = await codex(['login', 'status'], codexEnv(home, issuer));
  assert.equal(r.code, 0, r.out);
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

test('the real CLI signs in at the stand-in issuer, and credvane reports its file', async () => {
  const home = newHome('real-login');
  const r = await realLogin(home);
  assert.equal(r.code, 0, r.out);
  const file = checkFile(home, 'acct-real-cli');

  const st = statusOf(home);
  assert.equal(st.logged_in, true, JSON.stringify(st));
  assert.equal(st.has_refresh, true);
  assert.equal(st.expired, false);
  assert.equal(st.expires_at, jwtClaims(file.tokens.access_token).exp);
  assert.equal(st.account_id, 'acct-real-cli');
  assert.equal(st.last_refresh, Math.floor(Date.parse(file.last_refresh) / 1000));
  assert.equal(st.credentials_path, path.join(home, '.codex', 'auth.json'));

  await realAccepts(home);
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

// One node signed in by credvane, used by the tests below in turn.
const ours = { home: null };

test('credvane signs in through its own CLIs, and the real CLI accepts the file', async () => {
  ours.home = newHome('ours');
  const done = await ourLogin(ours.home);
  assert.equal(done.state, 'done', JSON.stringify(done));
  assert.equal(done.logged_in, true);
  assert.equal(done.pending, false);
  assert.equal(done.account_id, 'acct-ours');
  const file = checkFile(ours.home, 'acct-ours');
  assert.equal(done.expires_at, jwtClaims(file.tokens.access_token).exp);
  assert.equal(done.last_refresh, Math.floor(Date.parse(file.last_refresh) / 1000));
  await realAccepts(ours.home);
});

test('credvane-refresh moves the expiry later, keeps the login, and the real CLI accepts the file', async () => {
  const before = checkFile(ours.home, 'acct-ours');
  const refreshes = await issuer.count('refresh');
  const r = await ourRefresh(ours.home, 7200);
  assert.equal(r.refreshed, true, JSON.stringify(r));
  assert.equal(await issuer.count('refresh'), refreshes + 1);
  const after = checkFile(ours.home, 'acct-ours');
  assert.ok(jwtClaims(after.tokens.access_token).exp > jwtClaims(before.tokens.access_token).exp);
  assert.equal(r.expires_at, jwtClaims(after.tokens.access_token).exp);
  assert.notEqual(after.tokens.refresh_token, before.tokens.refresh_token);
  assert.equal(after.tokens.login_owner_id, before.tokens.login_owner_id);
  assert.ok(after.last_refresh > before.last_refresh);
  await realAccepts(ours.home);
});

// A command that uses the token makes the real CLI refresh an expired one, at the issuer the
// file names: a file credvane wrote must lead it there, and credvane's refresh must go on from
// the token it left (refresh tokens are single-use).
test('the real CLI refreshes a file credvane wrote, and credvane-refresh follows it', async () => {
  const home = newHome('handover');
  const done = await ourExpiredLogin(home, 'acct-handover');
  assert.equal(done.state, 'done', JSON.stringify(done));
  assert.equal(statusOf(home).expired, true);
  const before = checkFile(home, 'acct-handover');

  const refreshes = await issuer.count('refresh');
  const run = await realUse(home);
  const events = (await issuer.call('/test/events')).events.filter((e) => e.event === 'refresh');
  assert.equal(events.length, refreshes + 1, run.out);
  assert.equal(events.at(-1).reason, 'proactive_expiry');

  const after = checkFile(home, 'acct-handover');
  assert.equal(after.tokens.login_owner_id, before.tokens.login_owner_id);
  const st = statusOf(home);
  assert.equal(st.expired, false, JSON.stringify(st));
  assert.equal(st.expires_at, jwtClaims(after.tokens.access_token).exp);
  assert.equal(st.last_refresh, Math.floor(Date.parse(after.last_refresh) / 1000));

  const r = await ourRefresh(home, 7200);
  assert.equal(r.refreshed, true, JSON.stringify(r));
  await realAccepts(home);
});

// The real CLI sends its refresh before it locks the file, so credvane-refresh, which holds the
// lock, can send the same single-use refresh token and lose. Staged here: credvane's refresh
// is held at the issuer until the real CLI's has gone through, and is then refused as reused;
// it must give way, let the real CLI write, and find the later expiry in the file.
test('a refresh that loses the race to the real CLI finds its tokens and succeeds', async () => {
  const home = newHome('race');
  assert.equal((await ourExpiredLogin(home, 'acct-race')).state, 'done');
  const count = async (e) => (await issuer.call('/test/events')).events.filter((x) => x.event === e).length;
  const held = await count('held');
  const refreshes = await count('refresh');
  const refused = await count('refresh_refused');

  await issuer.call('/test/hold', { path: '/oauth/token' });
  const ours = credvaneAsync('action=refresh', nodeEnv(home));
  await issuer.call(`/test/wait?event=held&count=${held + 1}&timeout=60`);
  const real = realUse(home);
  await issuer.call(`/test/wait?event=refresh&count=${refreshes + 1}&timeout=60`);
  await issuer.call('/test/release', { path: '/oauth/token' });
  const [answer, run] = await Promise.all([ours, real]);

  assert.equal(await count('refresh_refused'), refused + 1, run.out);
  assert.equal(answer.refreshed, true, JSON.stringify(answer));
  const file = checkFile(home, 'acct-race');
  assert.equal(answer.expires_at, jwtClaims(file.tokens.access_token).exp);
  assert.equal(answer.expired, false);
  await realAccepts(home);
});

// A forced re-login replaces the credentials only once new ones are written: however it ends
// short of that, the file stays as it was, byte for byte.
const endings = [
  ['cancelled', async () => credvane('action=cancel', nodeEnv(ours.home))],
  ['denied', async (code) => {
    await issuer.call('/test/deny', { user_code: code });
    return credvane('action=poll', nodeEnv(ours.home));
  }],
  ['expired', async (code) => {
    await issuer.call('/test/expire', { user_code: code });
    return credvane('action=poll', nodeEnv(ours.home));
  }],
];

for (const [name, end] of endings) {
  test(`a forced re-login that is ${name} leaves auth.json byte for byte`, async () => {
    const file = path.join(ours.home, '.codex', 'auth.json');
    const bytes = fs.readFileSync(file);
    const mode = fs.statSync(file).mode;
    const started = credvane('action=start&force=1', nodeEnv(ours.home));
    assert.equal(started.ok, true, JSON.stringify(started));
    assert.equal(statusOf(ours.home).pending, true);
    assert.deepEqual(fs.readFileSync(file), bytes);
    const ended = await end(started.user_code);
    assert.equal(ended.ok, true, JSON.stringify(ended));
    assert.equal(ended.state, name === 'cancelled' ? 'cancelled' : 'failed', JSON.stringify(ended));
    const st = statusOf(ours.home);
    assert.equal(st.pending, false);
    assert.equal(st.logged_in, true);
    assert.deepEqual(fs.readFileSync(file), bytes);
    assert.equal(fs.statSync(file).mode, mode);
    await realAccepts(ours.home);
  });
}
