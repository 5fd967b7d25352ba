// issuer.test.js: the stand-in issuer refuses what the real service refuses. The tests of the
// login and refresh CLIs and of the real Codex CLI prove something only while these hold: a
// stand-in that took any encoding, verifier or reused token would let a broken client pass.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { startIssuer, jwtClaims } = require('./support');

const CLIENT = 'app_EMoamEEZ73f0CkXaXp7hrann';
let issuer;

before(async () => {
  issuer = await startIssuer(['--interval', '3', '--token-lifetime', '600', '--account-id', 'acct-t']);
});
after(() => issuer.stop());

async function send(path, body, type = 'application/json', method = 'POST') {
  const init = { method, headers: { 'Content-Type': type } };
  if (body !== undefined) {
    init.body = type === 'application/json' ? JSON.stringify(body)
      : typeof body === 'string' ? body : new URLSearchParams(body).toString();
  }
  const r = await fetch(issuer.url + path, init);
  const text = await r.text();
  let json;
  try {
    json = JSON.parse(text);
  } catch {
    json = undefined;
  }
  return { status: r.status, json, text };
}

// A code from the user-code call, decided by the control when decision is given.
async function code(decision) {
  const r = await send('/api/accounts/deviceauth/usercode', { client_id: CLIENT });
  assert.equal(r.status, 200, r.text);
  const c = r.json;
  if (decision) await issuer.call('/test/' + decision, { user_code: c.user_code });
  return c;
}

function poll(c) {
  return send('/api/accounts/deviceauth/token', { device_auth_id: c.device_auth_id, user_code: c.user_code });
}

async function grant() {
  const c = await code('approve');
  const g = await poll(c);
  assert.equal(g.status, 200, g.text);
  return g.json;
}

function exchangeForm(g, over = {}) {
  return {
    grant_type: 'authorization_code',
    client_id: CLIENT,
    code: g.authorization_code,
    redirect_uri: issuer.url + '/deviceauth/callback',
    code_verifier: g.code_verifier,
    ...over,
  };
}

async function tokens() {
  const r = await send('/oauth/token', exchangeForm(await grant()), 'application/x-www-form-urlencoded');
  assert.equal(r.status, 200, r.text);
  return r.json;
}

function refresh(rt) {
  return send('/oauth/token', { client_id: CLIENT, grant_type: 'refresh_token', refresh_token: rt });
}

test('a user code carries its interval as a JSON string, as the real service sends it', async () => {
  const c = await code();
  assert.deepEqual(Object.keys(c), ['device_auth_id', 'user_code', 'interval']);
  assert.equal(c.interval, '3');
  assert.match(c.user_code, /^[A-Z2-9]{4}-[A-Z2-9]{4}$/);
});

test('the device login from code to tokens', async () => {
  const c = await code();
  assert.equal((await poll(c)).status, 403);
  await issuer.call('/test/approve', { user_code: c.user_code.toLowerCase(), account_id: 'acct-x', email: 'x@example.com' });
  const g = (await poll(c)).json;
  assert.deepEqual(Object.keys(g), ['authorization_code', 'code_challenge', 'code_verifier']);
  const r = await send('/oauth/token', exchangeForm(g), 'application/x-www-form-urlencoded');
  assert.equal(r.status, 200, r.text);
  for (const k of ['id_token', 'access_token']) assert.match(r.json[k], /^[\w-]+\.[\w-]+\.[\w-]+$/);
  const id = jwtClaims(r.json.id_token);
  assert.equal(id['https://api.openai.com/auth'].chatgpt_account_id, 'acct-x');
  assert.equal(id.email, 'x@example.com');
  const exp = jwtClaims(r.json.access_token).exp;
  assert.ok(Math.abs(exp - (Date.now() / 1000 + 600)) < 5, `exp ${exp}`);
  // The flow is over: its code gives nothing more.
  assert.equal((await poll(c)).status, 400);
});

// Each row: what is sent, and the status and error code it must get.
const refusals = [
  ['a user code for another client', async () => send('/api/accounts/deviceauth/usercode', { client_id: 'app_other' }), 400, 'invalid_client'],
  ['a user code asked with a form', async () => send('/api/accounts/deviceauth/usercode', { client_id: CLIENT }, 'application/x-www-form-urlencoded'), 415, 'unsupported_media_type'],
  ['a poll of an id it never issued', async () => poll({ device_auth_id: 'deviceauth_nope', user_code: 'AAAA-AAAA' }), 404, 'deviceauth_not_found'],
  ['a poll with the wrong code for the id', async () => poll({ ...(await code()), user_code: 'AAAA-AAAA' }), 404, 'deviceauth_not_found'],
  ['a poll while pending', async () => poll(await code()), 403, 'deviceauth_authorization_pending'],
  ['a poll after a denial', async () => poll(await code('deny')), 400, 'access_denied'],
  ['a poll after the code expired', async () => poll(await code('expire')), 400, 'expired_token'],
  ['an exchange with another verifier', async () => {
    const g = await grant();
    return send('/oauth/token', exchangeForm(g, { code_verifier: g.code_verifier + 'x' }), 'application/x-www-form-urlencoded');
  }, 400, 'invalid_grant'],
  ['an exchange with another redirect URI', async () => send('/oauth/token',
    exchangeForm(await grant(), { redirect_uri: issuer.url + '/callback' }), 'application/x-www-form-urlencoded'), 400, 'invalid_grant'],
  ['an exchange for another client', async () => send('/oauth/token',
    exchangeForm(await grant(), { client_id: 'app_other' }), 'application/x-www-form-urlencoded'), 401, 'invalid_client'],
  ['an exchange sent as JSON', async () => send('/oauth/token', exchangeForm(await grant())), 400, 'unsupported_grant_type'],
  ['an exchange of a used code', async () => {
    const form = exchangeForm(await grant());
    assert.equal((await send('/oauth/token', form, 'application/x-www-form-urlencoded')).status, 200);
    return send('/oauth/token', form, 'application/x-www-form-urlencoded');
  }, 400, 'invalid_grant'],
  ['a refresh sent as a form', async () => send('/oauth/token',
    { client_id: CLIENT, grant_type: 'refresh_token', refresh_token: (await tokens()).refresh_token }, 'application/x-www-form-urlencoded'),
  400, 'unsupported_grant_type'],
  ['a refresh token used twice', async () => {
    const rt = (await tokens()).refresh_token;
    assert.equal((await refresh(rt)).status, 200);
    return refresh(rt);
  }, 401, 'refresh_token_reused'],
  ['a revoked refresh token', async () => {
    const rt = (await tokens()).refresh_token;
    assert.equal((await send('/oauth/revoke', { token: rt, token_type_hint: 'refresh_token', client_id: CLIENT })).status, 200);
    return refresh(rt);
  }, 401, 'refresh_token_invalidated'],
  ['a refresh token it never issued', async () => refresh('rt_never'), 401, 'refresh_token_invalidated'],
  ['a body over its size cap', async () => send('/api/accounts/deviceauth/usercode', { client_id: 'x'.repeat(20000) }), 413, 'request_too_large'],
  ['a body that is not JSON', async () => send('/api/accounts/deviceauth/usercode', '{"client_id":', 'application/json'), 400, 'invalid_request'],
  ['a path the service does not have', async () => send('/deviceauth/usercode', { client_id: CLIENT }), 404, 'not_found'],
];

for (const [name, run, status, error] of refusals) {
  test(`refused: ${name}`, async () => {
    const r = await run();
    assert.equal(r.status, status, r.text);
    assert.equal(r.json.error.code, error, r.text);
  });
}

test('a refresh gives new tokens for the same account and a later expiry', async () => {
  const first = await tokens();
  await issuer.call('/test/config', { token_lifetime: 1200 });
  const r = await refresh(first.refresh_token);
  await issuer.call('/test/config', { token_lifetime: 600 });
  assert.equal(r.status, 200, r.text);
  assert.notEqual(r.json.refresh_token, first.refresh_token);
  assert.equal(jwtClaims(r.json.id_token)['https://api.openai.com/auth'].chatgpt_account_id, 'acct-t');
  assert.ok(jwtClaims(r.json.access_token).exp > jwtClaims(first.access_token).exp);
});

test('the verification page decides a code once and echoes nothing it was not given', async () => {
  const c = await code();
  const form = (v) => new URLSearchParams({ user_code: v, decision: 'approve' }).toString();
  const shown = await send('/codex/device?code=' + c.user_code.toLowerCase(), undefined, 'text/plain', 'GET');
  assert.equal(shown.status, 200);
  assert.ok(shown.text.includes(`value="${c.user_code}"`), 'the code from the link is filled in');
  const hostile = await send('/codex/device?code=%22%3E%3Cscript%3E', undefined, 'text/plain', 'GET');
  assert.ok(!hostile.text.includes('<script'), 'a hostile code is not echoed');
  assert.ok(hostile.text.includes('value=""'));

  const type = 'application/x-www-form-urlencoded';
  const steps = [
    [form(c.user_code.replace('-', ' ')), 200, 'Sign-in approved'],
    [form(c.user_code), 409, 'Code already used'],
    [form('ZZZZ-ZZZZ'), 404, 'Unknown code'],
    [new URLSearchParams({ user_code: c.user_code }).toString(), 400, 'Choose approve or deny'],
  ];
  for (const [body, status, title] of steps) {
    const r = await send('/codex/device', body, type);
    assert.equal(r.status, status, body);
    assert.ok(r.text.includes(`<h1>${title}</h1>`), `${body}: ${r.text}`);
  }
  assert.equal((await poll(c)).status, 200);
});

test('a fault stands in for the next answer of one path only', async () => {
  await issuer.call('/test/fault', { path: '/oauth/token', status: 200, body: '<html>', content_type: 'text/html' });
  const faulty = await send('/oauth/token', {}, 'application/json');
  assert.equal(faulty.status, 200);
  assert.equal(faulty.text, '<html>');
  assert.equal((await send('/oauth/token', {}, 'application/json')).status, 400);
});

test('a fault can drop the connection or leave out the content type', async () => {
  await issuer.call('/test/fault', { path: '/oauth/revoke', drop: true });
  await assert.rejects(send('/oauth/revoke', { token: 't' }), 'a dropped connection is no answer');
  await issuer.call('/test/fault', { path: '/oauth/revoke', status: 200, content_type: '', body: '{}' });
  const bare = await fetch(issuer.url + '/oauth/revoke', { method: 'POST', body: '{}' });
  assert.equal(bare.status, 200);
  assert.equal(bare.headers.get('content-type'), null);
  assert.equal((await send('/oauth/revoke', { token: 't' })).status, 200, 'both faults were one-shot');
});

test('a fault may carry an answer larger than any service call', async () => {
  const big = 'x'.repeat(300 * 1024);
  await issuer.call('/test/fault', { path: '/oauth/revoke', status: 200, body: big });
  assert.equal((await send('/oauth/revoke', { token: 't' })).text, big);
});

test('a dripped answer arrives whole, chunk framing and all, a byte every drip_ms', async () => {
  const http = require('node:http');
  // What came on the socket and how long it took, from the request's end to the answer's.
  const fetchRaw = () => new Promise((resolve, reject) => {
    const q = http.request(issuer.url + '/oauth/revoke', { method: 'POST', agent: false });
    let bytes = 0;
    q.on('socket', (socket) => socket.on('data', (d) => { bytes += d.length; }));
    q.on('response', (res) => {
      const body = [];
      res.on('data', (d) => body.push(d));
      res.on('end', () => resolve({ res, body: Buffer.concat(body).toString(), bytes, ms: Date.now() - began }));
    });
    q.on('error', reject);
    const began = Date.now();
    q.end('{}');
  });
  const drip = 2;
  await issuer.call('/test/fault', { path: '/oauth/revoke', status: 200, body: '{"a":1}', drip_ms: drip, drip_chunks: true });
  const chunked = await fetchRaw();
  assert.equal(chunked.body, '{"a":1}');
  assert.equal(chunked.res.headers['transfer-encoding'], 'chunked');
  assert.equal(chunked.res.headers['content-length'], undefined);
  // Seven chunks of one byte, each behind a size line of 49 bytes, and the last chunk.
  const encoded = 7 * (49 + 1 + 2) + 5;
  const head = chunked.bytes - encoded;
  assert.ok(head > 0 && head < 200, `${chunked.bytes} bytes in all`);
  // The head came at once; every byte after it waited its turn (a timer never fires early).
  assert.ok(chunked.ms >= (chunked.bytes - head - 1) * drip, `${chunked.ms} ms for ${chunked.bytes} bytes`);
  await issuer.call('/test/fault', { path: '/oauth/revoke', status: 200, body: '{"a":1}', drip_ms: drip, drip_head: true });
  const plain = await fetchRaw();
  assert.equal(plain.body, '{"a":1}');
  assert.equal(plain.res.headers['content-length'], '7');
  assert.ok(plain.ms >= (plain.bytes - 1) * drip, `the head drips too: ${plain.ms} ms for ${plain.bytes} bytes`);
});

test('every service call is recorded as it came, faulted ones too', async () => {
  await issuer.call('/test/reset', {});
  await issuer.call('/test/fault', { path: '/oauth/revoke', status: 500 });
  await send('/oauth/revoke', 'token=a%2Bb', 'application/x-www-form-urlencoded');
  await send('/api/accounts/deviceauth/usercode', { client_id: CLIENT });
  const { requests } = await issuer.call('/test/requests', {});
  assert.deepEqual(requests, [
    { method: 'POST', path: '/oauth/revoke', content_type: 'application/x-www-form-urlencoded', body: 'token=a%2Bb' },
    { method: 'POST', path: '/api/accounts/deviceauth/usercode', content_type: 'application/json', body: JSON.stringify({ client_id: CLIENT }) },
  ]);
  assert.deepEqual((await issuer.call('/test/requests')).requests, requests, 'GET and POST read the same');
});

test('an approval may name the authorization code and verifier, which the exchange then checks', async () => {
  const c = await code();
  await issuer.call('/test/approve', { user_code: c.user_code, authorization_code: 'code+1', code_verifier: 'ver/1' });
  const g = (await poll(c)).json;
  assert.equal(g.authorization_code, 'code+1');
  assert.equal(g.code_verifier, 'ver/1');
  // A client that left the + unencoded would send a blank in its place.
  const raw = `grant_type=authorization_code&client_id=${CLIENT}&code=code+1` +
    `&redirect_uri=${encodeURIComponent(issuer.url + '/deviceauth/callback')}&code_verifier=ver%2F1`;
  const wrong = await send('/oauth/token', raw, 'application/x-www-form-urlencoded');
  assert.equal(wrong.status, 400, wrong.text);
  const other = await code();
  await assert.rejects(issuer.call('/test/approve', { user_code: other.user_code, authorization_code: 'code+1' }),
    /409/, 'an open authorization code is not handed out twice');
  const r = await send('/oauth/token', exchangeForm(g), 'application/x-www-form-urlencoded');
  assert.equal(r.status, 200, r.text);
});

test('a reset ends faults and holds and forgets events, calls and settings', async () => {
  await issuer.call('/test/config', { interval: 9 });
  await issuer.call('/test/fault', { path: '/api/accounts/deviceauth/usercode', status: 500 });
  await issuer.call('/test/hold', { path: '/oauth/revoke' });
  const held = send('/oauth/revoke', { token: 't' });
  await issuer.call('/test/wait', { event: 'held', timeout: 30 });
  await issuer.call('/test/reset', {});
  assert.equal((await held).status, 200, 'a held call is let go');
  // What happened before the reset is gone; the released call's own end came after it.
  assert.deepEqual((await issuer.call('/test/events')).events.map((e) => e.event), ['released', 'revoke']);
  const c = await code();
  assert.equal(c.interval, '3', 'the interval is the one it started with');
  assert.equal((await issuer.call('/test/requests')).requests.length, 1);
});
