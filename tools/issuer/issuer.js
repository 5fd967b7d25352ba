#!/usr/bin/env node
// issuer.js: a stand-in authorization server for the Codex device login, on the loopback address.
// It answers the calls that the Codex CLI and credvane's login and refresh CLIs make, with the
// shapes the real service uses, and serves a verification page where a person approves or
// denies a code. It lets the demo and the tests sign in end to end without leaving the machine.
// No npm dependencies: it runs on the node that the tests install anyway.
//
//   node tools/issuer/issuer.js [--port N] [--interval S] [--code-lifetime S]
//                               [--token-lifetime S] [--account-id ID] [--email E]
//                               [--client-id ID] [--log]
//
// Every flag has an environment twin (ISSUER_PORT, ISSUER_INTERVAL, ...); a flag wins.
// --port 0 (the default) takes a free port. When it listens, it prints one line on stdout, its
// base URL (http://127.0.0.1:PORT), and nothing more there: a caller waits for that line, then
// may stop reading. --log writes one line per event to stderr.
//
// Service calls (what the real CLIs send):
//   POST /api/accounts/deviceauth/usercode   JSON {client_id}
//        200 {device_auth_id, user_code, interval}; interval is a JSON string, as the real
//        service sends it
//   POST /api/accounts/deviceauth/token      JSON {device_auth_id, user_code}
//        403 while pending, 404 for an id it does not know; 200 {authorization_code,
//        code_challenge, code_verifier} once approved; 400 with error code access_denied or
//        expired_token once denied or expired
//   POST /oauth/token   form grant_type=authorization_code, client_id, code, redirect_uri
//        ({base}/deviceauth/callback), code_verifier: 200 {id_token, access_token,
//        refresh_token, token_type, expires_in}
//   POST /oauth/token   JSON {client_id, grant_type: refresh_token, refresh_token}: new tokens;
//        refresh tokens are single-use: 401 {error: {code: refresh_token_reused}} on reuse,
//        refresh_token_invalidated once revoked or unknown
//   POST /oauth/revoke  JSON {token, token_type_hint, client_id}: revokes a refresh token
//   GET  /codex/device[?code=C], POST /codex/device (form user_code, decision=approve|deny):
//        the verification page
// Every error answer is {"error":{"code","message"}}.
//
// Test controls (JSON in, JSON out; for tests and for a person at a shell). A GET control
// also answers a POST, its parameters then in the JSON body, for a client that only POSTs:
//   POST /test/approve {user_code, account_id?, email?, authorization_code?, code_verifier?}
//        the last two stand in for the random ones, so that a test can give values a client
//        must encode (+, /); an authorization code still open is refused
//   POST /test/deny {user_code}
//   POST /test/expire {user_code?}          ends one open code, or every open code
//   POST /test/config {interval?, code_lifetime?, token_lifetime?, device_auth?,
//                      interval_as_number?}
//        changes the settings for what comes next; token_lifetime may be negative (tokens
//        issued already expired); device_auth false makes the user-code call answer 404;
//        interval_as_number sends the interval as a JSON number, unlike the real service
//   POST /test/fault {path, status, body?, content_type?, hang?, drop?, drip_ms?, drip_head?,
//                     drip_chunks?, times?}
//        the next call(s) to path get this answer instead (content_type "": no Content-Type
//        header; hang: no answer at all; drop: the connection closed with no answer; drip_ms:
//        the body one byte every drip_ms milliseconds, each in a packet of its own, and with
//        drip_head the status line and headers too, as an issuer that holds a client past
//        any per-packet timeout; drip_chunks: the body chunked, a chunk for each byte whose
//        size line carries a long extension, and all of that framing dripped too, so that a
//        client mostly waits on framing, where no body byte arrives)
//   POST /test/hold {path}, POST /test/release {path}
//        the next call to path waits, unanswered and not yet acted on, until it is released:
//        a test can let another client's call overtake it
//   GET  /test/next-code?timeout=S   waits for a user code issued after the last one handed
//        out here, answers {user_code, device_auth_id}
//   GET  /test/wait?event=E&count=N&timeout=S   waits until event E has happened N times
//   GET  /test/events                every event so far, oldest first
//   GET  /test/requests              every service call so far, oldest first, as it came:
//        {method, path, content_type, body}, faulted and held ones included
//   POST /test/reset                 faults, holds, events and recorded calls gone, the
//        settings as at the start: one issuer serves a suite of tests that each begin afresh
// Events: usercode, token_poll, approve, deny, expire, exchange, refresh, refresh_refused,
// revoke, fault, drip_closed, held, released.
'use strict';

const crypto = require('node:crypto');
const http = require('node:http');

const DEFAULT_CLIENT_ID = 'app_EMoamEEZ73f0CkXaXp7hrann';
// The service's calls carry a few short members; anything larger is not one of them.
const MAX_BODY = 16 * 1024;
// A test control may carry a fault's whole answer, larger than any service call.
const MAX_CONTROL_BODY = 1024 * 1024;
// A long poll of a test control ends after this unless it asks for less: it bounds a broken run.
const MAX_WAIT_SECONDS = 300;
// Codes a person reads and types: no 0/O, 1/I.
const CODE_ALPHABET = 'ABCDEFGHJKLMNPQRSTUVWXYZ23456789';

function parseArgs(argv, env) {
  const settings = {
    port: ['ISSUER_PORT', 0],
    interval: ['ISSUER_INTERVAL', 5],
    'code-lifetime': ['ISSUER_CODE_LIFETIME', 900],
    'token-lifetime': ['ISSUER_TOKEN_LIFETIME', 3600],
    'account-id': ['ISSUER_ACCOUNT_ID', 'acct-standin-0001'],
    email: ['ISSUER_EMAIL', 'person@example.com'],
    'client-id': ['ISSUER_CLIENT_ID', DEFAULT_CLIENT_ID],
  };
  const out = { log: env.ISSUER_LOG === '1' };
  for (const [k, [e, d]] of Object.entries(settings)) out[k] = env[e] !== undefined && env[e] !== '' ? env[e] : d;
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === '--log') {
      out.log = true;
      continue;
    }
    if (a === '--help' || a === '-h') {
      process.stdout.write('usage: issuer.js [--port N] [--interval S] [--code-lifetime S] ' +
        '[--token-lifetime S] [--account-id ID] [--email E] [--client-id ID] [--log]\n');
      process.exit(0);
    }
    const m = /^--([a-z-]+)(?:=(.*))?$/.exec(a);
    if (!m || !(m[1] in settings)) fail(`unknown argument ${a}`);
    const v = m[2] !== undefined ? m[2] : argv[++i];
    if (v === undefined) fail(`${a} needs a value`);
    out[m[1]] = v;
  }
  for (const k of ['port', 'interval', 'code-lifetime', 'token-lifetime']) {
    if (!/^-?[0-9]+$/.test(String(out[k]))) fail(`--${k} must be a whole number`);
    out[k] = Number(out[k]);
  }
  if (out.port < 0 || out.port > 65535) fail('--port must be 0 to 65535');
  if (out.interval < 0 || out['code-lifetime'] < 1) fail('--interval must be >= 0, --code-lifetime >= 1');
  return out;
}

function fail(msg) {
  process.stderr.write(`issuer: ${msg}\n`);
  process.exit(2);
}

const opts = parseArgs(process.argv.slice(2), process.env);
const initialConfig = {
  interval: opts.interval,
  codeLifetime: opts['code-lifetime'],
  tokenLifetime: opts['token-lifetime'],
  deviceAuth: true,
  intervalAsNumber: false,
};
const config = { ...initialConfig };
const clientId = opts['client-id'];
const signingKey = crypto.randomBytes(32);

const flows = new Map(); // device_auth_id -> flow
const authCodes = new Map(); // authorization_code -> flow
const refreshTokens = new Map(); // refresh token -> {state: active|used|revoked, identity}
const issuedCodes = []; // flows in issue order, for /test/next-code
let nextCodeIndex = 0;
const events = [];
const requests = []; // service calls as received, for /test/requests
const waiters = new Set(); // {test: () => value|undefined, resolve}
const faults = new Map(); // path -> [{status, body, contentType, hang, times}]
const holds = new Map(); // path -> null (armed) or the release function of the parked call

function now() {
  return Math.floor(Date.now() / 1000);
}

function b64url(buf) {
  return Buffer.from(buf).toString('base64url');
}

function randomToken(bytes) {
  return b64url(crypto.randomBytes(bytes));
}

function userCode() {
  let s = '';
  for (const b of crypto.randomBytes(8)) s += CODE_ALPHABET[b % CODE_ALPHABET.length];
  return s.slice(0, 4) + '-' + s.slice(4);
}

// A signed JWT. Nothing checks the signature, but the real CLI refuses a token without one, so
// it is a real HMAC over the first two parts.
function jwt(claims) {
  const head = b64url(JSON.stringify({ alg: 'HS256', typ: 'JWT', kid: 'standin' }));
  const body = b64url(JSON.stringify(claims));
  const sig = b64url(crypto.createHmac('sha256', signingKey).update(head + '.' + body).digest());
  return `${head}.${body}.${sig}`;
}

function note(event, data = {}) {
  const e = { event, at: Date.now(), ...data };
  events.push(e);
  if (opts.log) process.stderr.write(`issuer: ${JSON.stringify(e)}\n`);
  for (const w of [...waiters]) {
    const v = w.test();
    if (v !== undefined) {
      waiters.delete(w);
      w.resolve(v);
    }
  }
}

// A flow's state as of now: an open code past its lifetime has expired.
function stateOf(flow) {
  if (flow.state === 'pending' && now() >= flow.expiresAt) flow.state = 'expired';
  return flow.state;
}

function tokensFor(identity, base) {
  const iat = now();
  const exp = iat + config.tokenLifetime;
  const auth = {
    chatgpt_account_id: identity.accountId,
    chatgpt_plan_type: 'plus',
    chatgpt_user_id: identity.userId,
    user_id: identity.userId,
  };
  const idToken = jwt({
    iss: base,
    aud: [clientId],
    sub: identity.userId,
    email: identity.email,
    email_verified: true,
    iat,
    exp,
    auth_time: identity.authTime,
    'https://api.openai.com/auth': auth,
  });
  const accessToken = jwt({
    iss: base,
    aud: ['https://api.openai.com/v1'],
    client_id: clientId,
    sub: identity.userId,
    iat,
    exp,
    jti: crypto.randomUUID(),
    scp: ['openid', 'profile', 'email', 'offline_access'],
    'https://api.openai.com/auth': auth,
    'https://api.openai.com/profile': { email: identity.email, email_verified: true },
  });
  const refreshToken = 'rt_' + randomToken(32);
  refreshTokens.set(refreshToken, { state: 'active', identity });
  return {
    id_token: idToken,
    access_token: accessToken,
    refresh_token: refreshToken,
    token_type: 'Bearer',
    expires_in: config.tokenLifetime,
    scope: 'openid profile email offline_access',
  };
}

// ---- HTTP plumbing --------------------------------------------------------------------------

class HttpError extends Error {
  constructor(status, code, message) {
    super(message);
    this.status = status;
    this.code = code;
  }
}

function sendJson(res, status, value) {
  const body = JSON.stringify(value);
  res.writeHead(status, {
    'Content-Type': 'application/json',
    'Content-Length': Buffer.byteLength(body),
    'Cache-Control': 'no-store',
  });
  res.end(body);
}

function sendError(res, status, code, message) {
  sendJson(res, status, { error: { code, message } });
}

// The body, read once: the call is recorded before it is answered, and read again by its
// handler.
function readBody(req) {
  if (req.bodyRead) return req.bodyRead;
  const max = req.url.startsWith('/test/') ? MAX_CONTROL_BODY : MAX_BODY;
  req.bodyRead = new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    // An oversized body is read to its end and dropped, so that the client hears the refusal;
    // one far beyond any sense ends the connection.
    req.on('data', (c) => {
      size += c.length;
      if (size > 64 * max) req.destroy();
      else if (size <= max) chunks.push(c);
    });
    req.on('end', () => {
      if (size > max) reject(new HttpError(413, 'request_too_large', 'the request body is too large'));
      else resolve(Buffer.concat(chunks).toString('utf8'));
    });
    req.on('error', reject);
  });
  return req.bodyRead;
}

function mediaType(req) {
  return String(req.headers['content-type'] || '').split(';')[0].trim().toLowerCase();
}

// The body as the media type it must have: a call with another type is refused, as a client
// that changed its encoding must notice.
async function bodyAs(req, type) {
  const text = await readBody(req);
  if (mediaType(req) !== type) {
    throw new HttpError(415, 'unsupported_media_type', `expected ${type}, got ${mediaType(req) || 'none'}`);
  }
  if (type === 'application/json') {
    let v;
    try {
      v = JSON.parse(text);
    } catch {
      throw new HttpError(400, 'invalid_request', 'the body is not JSON');
    }
    if (v === null || typeof v !== 'object' || Array.isArray(v)) {
      throw new HttpError(400, 'invalid_request', 'the body is not a JSON object');
    }
    return v;
  }
  const form = {};
  for (const [k, val] of new URLSearchParams(text)) {
    if (k in form) throw new HttpError(400, 'invalid_request', `${k} is given twice`);
    form[k] = val;
  }
  return form;
}

function str(obj, key) {
  const v = obj[key];
  if (typeof v !== 'string' || v === '') throw new HttpError(400, 'invalid_request', `${key} is missing`);
  return v;
}

// The base URL the client used to reach us: the redirect URI and the token issuer follow it,
// as they follow the real service's own address.
function baseOf(req) {
  return `http://${req.headers.host || `127.0.0.1:${server.address().port}`}`;
}

// ---- Service calls --------------------------------------------------------------------------

async function userCodeCall(req, res) {
  const body = await bodyAs(req, 'application/json');
  if (!config.deviceAuth) return sendError(res, 404, 'not_found', 'device code login is not enabled');
  if (str(body, 'client_id') !== clientId) throw new HttpError(400, 'invalid_client', 'unknown client_id');
  const flow = {
    deviceAuthId: 'deviceauth_' + randomToken(18),
    userCode: userCode(),
    state: 'pending',
    expiresAt: now() + config.codeLifetime,
    identity: null,
    authCode: null,
    verifier: null,
  };
  flows.set(flow.deviceAuthId, flow);
  issuedCodes.push(flow);
  note('usercode', { user_code: flow.userCode });
  sendJson(res, 200, {
    device_auth_id: flow.deviceAuthId,
    user_code: flow.userCode,
    interval: config.intervalAsNumber ? config.interval : String(config.interval),
  });
}

async function tokenPollCall(req, res) {
  const body = await bodyAs(req, 'application/json');
  const flow = flows.get(str(body, 'device_auth_id'));
  if (!flow || flow.userCode !== str(body, 'user_code')) {
    note('token_poll', { state: 'unknown' });
    return sendError(res, 404, 'deviceauth_not_found', 'no device authorization with this id and code');
  }
  const state = stateOf(flow);
  note('token_poll', { user_code: flow.userCode, state });
  switch (state) {
    case 'pending':
      return sendError(res, 403, 'deviceauth_authorization_pending', 'the code has not been approved yet');
    case 'approved':
      return sendJson(res, 200, {
        authorization_code: flow.authCode,
        code_challenge: b64url(crypto.createHash('sha256').update(flow.verifier).digest()),
        code_verifier: flow.verifier,
      });
    case 'denied':
      return sendError(res, 400, 'access_denied', 'the sign-in was denied');
    case 'expired':
      return sendError(res, 400, 'expired_token', 'the code has expired');
    default: // exchanged
      return sendError(res, 400, 'deviceauth_already_used', 'this sign-in has been completed');
  }
}

async function tokenCall(req, res) {
  const type = mediaType(req);
  if (type === 'application/json') return refreshGrant(req, res);
  const form = await bodyAs(req, 'application/x-www-form-urlencoded');
  if (form.grant_type !== 'authorization_code') {
    throw new HttpError(400, 'unsupported_grant_type', 'a form body carries the authorization_code grant');
  }
  if (str(form, 'client_id') !== clientId) throw new HttpError(401, 'invalid_client', 'unknown client_id');
  const flow = authCodes.get(str(form, 'code'));
  if (!flow || flow.state !== 'approved') {
    throw new HttpError(400, 'invalid_grant', 'the authorization code is unknown or used');
  }
  const base = baseOf(req);
  if (str(form, 'redirect_uri') !== base + '/deviceauth/callback') {
    throw new HttpError(400, 'invalid_grant', 'redirect_uri does not match');
  }
  if (str(form, 'code_verifier') !== flow.verifier) {
    throw new HttpError(400, 'invalid_grant', 'code_verifier does not match');
  }
  flow.state = 'exchanged';
  authCodes.delete(flow.authCode);
  note('exchange', { user_code: flow.userCode });
  sendJson(res, 200, tokensFor(flow.identity, base));
}

async function refreshGrant(req, res) {
  const body = await bodyAs(req, 'application/json');
  if (body.grant_type !== 'refresh_token') {
    throw new HttpError(400, 'unsupported_grant_type', 'a JSON body carries the refresh_token grant');
  }
  if (str(body, 'client_id') !== clientId) throw new HttpError(401, 'invalid_client', 'unknown client_id');
  const rt = refreshTokens.get(str(body, 'refresh_token'));
  if (!rt || rt.state !== 'active') {
    const code = rt && rt.state === 'used' ? 'refresh_token_reused' : 'refresh_token_invalidated';
    note('refresh_refused', { code });
    return sendError(res, 401, code, code === 'refresh_token_reused'
      ? 'this refresh token has already been used' : 'this refresh token is not valid');
  }
  rt.state = 'used';
  note('refresh', { reason: typeof body.refresh_reason === 'string' ? body.refresh_reason : '' });
  sendJson(res, 200, tokensFor(rt.identity, baseOf(req)));
}

async function revokeCall(req, res) {
  const body = mediaType(req) === 'application/json'
    ? await bodyAs(req, 'application/json')
    : await bodyAs(req, 'application/x-www-form-urlencoded');
  const rt = refreshTokens.get(str(body, 'token'));
  if (rt) rt.state = 'revoked';
  note('revoke', { known: Boolean(rt) });
  sendJson(res, 200, {});
}

// ---- Decisions ------------------------------------------------------------------------------

function normalCode(raw) {
  const s = String(raw || '').trim().toUpperCase().replace(/[\s-]/g, '');
  if (!/^[A-Z0-9]{1,32}$/.test(s)) return null;
  return s.length === 8 ? s.slice(0, 4) + '-' + s.slice(4) : s;
}

function flowByCode(code) {
  for (const f of flows.values()) if (f.userCode === code) return f;
  return null;
}

// Decides an open code. Result: the flow's state afterwards, or 'unknown'.
function decide(rawCode, approve, who = {}) {
  const code = normalCode(rawCode);
  const flow = code && flowByCode(code);
  if (!flow) return 'unknown';
  if (stateOf(flow) !== 'pending') return 'decided:' + flow.state;
  const given = (k) => (typeof who[k] === 'string' && who[k] !== '' ? who[k] : null);
  if (approve && given('authorization_code') && authCodes.has(given('authorization_code'))) {
    throw new HttpError(409, 'code_in_use', 'an open flow already has this authorization code');
  }
  if (approve) {
    flow.state = 'approved';
    flow.identity = {
      accountId: who.account_id || opts['account-id'],
      email: who.email || opts.email,
      userId: 'user-' + randomToken(9),
      authTime: now(),
    };
    flow.authCode = given('authorization_code') || 'ac_' + randomToken(24);
    flow.verifier = given('code_verifier') || randomToken(48);
    authCodes.set(flow.authCode, flow);
  } else {
    flow.state = 'denied';
  }
  note(approve ? 'approve' : 'deny', { user_code: flow.userCode });
  return flow.state;
}

// ---- Verification page ----------------------------------------------------------------------

function htmlText(s) {
  return String(s).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
}

function page(res, status, title, body) {
  const html = `<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>${htmlText(title)} - stand-in issuer</title>
<style>
body{font-family:system-ui,sans-serif;max-width:34rem;margin:3rem auto;padding:0 1rem;line-height:1.5;color:#1a1a1a;background:#fff}
label{display:block;font-weight:600;margin-bottom:.3rem}
input{font:700 1.6rem ui-monospace,monospace;letter-spacing:.12em;padding:.3rem .5rem;width:12ch;text-transform:uppercase}
button{font-size:1rem;padding:.5rem 1.2rem;margin:1rem .5rem 0 0;cursor:pointer}
.note{color:#444}
</style></head>
<body><main>
<h1>${htmlText(title)}</h1>
${body}
</main></body></html>
`;
  res.writeHead(status, {
    'Content-Type': 'text/html; charset=utf-8',
    'Content-Length': Buffer.byteLength(html),
    'Cache-Control': 'no-store',
    'X-Content-Type-Options': 'nosniff',
    'Content-Security-Policy': "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'",
  });
  res.end(html);
}

function codeForm(value) {
  return `<form method="post" action="/codex/device">
<label for="user_code">One-time code</label>
<input id="user_code" name="user_code" value="${htmlText(value)}" autocomplete="off" autocapitalize="characters" spellcheck="false" maxlength="32" required aria-describedby="hint">
<p id="hint" class="note">The code shown by the program that asks to sign in, for example ABCD-EFGH.</p>
<button type="submit" name="decision" value="approve">Approve</button>
<button type="submit" name="decision" value="deny">Deny</button>
</form>`;
}

async function devicePage(req, res, url) {
  if (req.method === 'GET') {
    const given = url.searchParams.get('code');
    const shown = given && normalCode(given) ? normalCode(given) : '';
    return page(res, 200, 'Sign in to Codex', `<p>Enter the one-time code to sign in as <b>${htmlText(opts.email)}</b>, then approve or deny the sign-in.</p>
${codeForm(shown)}`);
  }
  const form = await bodyAs(req, 'application/x-www-form-urlencoded');
  const decision = form.decision;
  if (decision !== 'approve' && decision !== 'deny') {
    return page(res, 400, 'Choose approve or deny', codeForm(normalCode(form.user_code) || ''));
  }
  const result = decide(form.user_code, decision === 'approve');
  if (result === 'approved') {
    return page(res, 200, 'Sign-in approved', '<p>You can close this page; the program that asked will finish signing in.</p>');
  }
  if (result === 'denied') {
    return page(res, 200, 'Sign-in denied', '<p>The program that asked will not be signed in.</p>');
  }
  if (result === 'decided:expired') {
    return page(res, 410, 'Code expired', '<p>This code has expired. Ask for a new one.</p>' + codeForm(''));
  }
  if (result.startsWith('decided:')) {
    return page(res, 409, 'Code already used', '<p>This code has already been approved or denied.</p>' + codeForm(''));
  }
  return page(res, 404, 'Unknown code', '<p>No open sign-in has this code. Check it and try again.</p>' + codeForm(''));
}

// ---- Test controls --------------------------------------------------------------------------

function waitFor(test, seconds, res) {
  const v = test();
  if (v !== undefined) return sendJson(res, 200, v);
  const w = { test, resolve: (val) => { clearTimeout(timer); sendJson(res, 200, val); } };
  const timer = setTimeout(() => {
    waiters.delete(w);
    sendError(res, 408, 'timeout', 'the awaited event did not happen');
  }, Math.min(Math.max(Number(seconds) || MAX_WAIT_SECONDS, 1), MAX_WAIT_SECONDS) * 1000);
  waiters.add(w);
  res.on('close', () => {
    waiters.delete(w);
    clearTimeout(timer);
  });
}

// The controls that read: from the query of a GET, or the JSON body of a POST.
const readers = {
  events: () => (res) => sendJson(res, 200, { events }),
  requests: () => (res) => sendJson(res, 200, { requests }),
  'next-code': (param) => (res) => waitFor(() => {
    if (nextCodeIndex >= issuedCodes.length) return undefined;
    const f = issuedCodes[nextCodeIndex++];
    return { user_code: f.userCode, device_auth_id: f.deviceAuthId };
  }, param('timeout'), res),
  wait: (param) => {
    const event = String(param('event') || '');
    const count = Number(param('count') || 1);
    return (res) => waitFor(() => {
      const n = events.filter((e) => e.event === event).length;
      return n >= count ? { event, count: n } : undefined;
    }, param('timeout'), res);
  },
};

function reset() {
  for (const list of faults.values()) list.length = 0;
  faults.clear();
  for (const release of holds.values()) if (typeof release === 'function') release();
  holds.clear();
  events.length = 0;
  requests.length = 0;
  nextCodeIndex = issuedCodes.length;
  Object.assign(config, initialConfig);
}

async function testCall(req, res, url) {
  const name = url.pathname.slice('/test/'.length);
  if (req.method === 'GET') {
    if (!Object.hasOwn(readers, name)) throw new HttpError(404, 'not_found', 'no such control');
    return readers[name]((k) => url.searchParams.get(k))(res);
  }
  const body = await bodyAs(req, 'application/json');
  if (Object.hasOwn(readers, name)) return readers[name]((k) => body[k])(res);
  switch (name) {
    case 'reset':
      reset();
      return sendJson(res, 200, { ok: true });
    case 'approve':
    case 'deny': {
      const r = decide(body.user_code, name === 'approve', name === 'approve' ? body : {});
      if (r === 'unknown') throw new HttpError(404, 'unknown_code', 'no flow has this code');
      if (r.startsWith('decided:')) throw new HttpError(409, 'already_decided', `the code is ${r.slice(8)}`);
      return sendJson(res, 200, { ok: true, state: r });
    }
    case 'expire': {
      let n = 0;
      for (const f of flows.values()) {
        if (body.user_code !== undefined && f.userCode !== normalCode(body.user_code)) continue;
        if (stateOf(f) === 'pending') {
          f.state = 'expired';
          n++;
          note('expire', { user_code: f.userCode });
        }
      }
      if (body.user_code !== undefined && n === 0) throw new HttpError(404, 'unknown_code', 'no open flow has this code');
      return sendJson(res, 200, { ok: true, expired: n });
    }
    case 'config': {
      const num = (k) => {
        if (body[k] === undefined) return undefined;
        if (!Number.isInteger(body[k])) throw new HttpError(400, 'invalid_request', `${k} must be a whole number`);
        return body[k];
      };
      const interval = num('interval');
      const codeLifetime = num('code_lifetime');
      const tokenLifetime = num('token_lifetime');
      if (interval !== undefined) config.interval = interval;
      if (codeLifetime !== undefined) config.codeLifetime = codeLifetime;
      if (tokenLifetime !== undefined) config.tokenLifetime = tokenLifetime;
      if (typeof body.device_auth === 'boolean') config.deviceAuth = body.device_auth;
      if (typeof body.interval_as_number === 'boolean') config.intervalAsNumber = body.interval_as_number;
      return sendJson(res, 200, {
        ok: true,
        interval: config.interval,
        code_lifetime: config.codeLifetime,
        token_lifetime: config.tokenLifetime,
        device_auth: config.deviceAuth,
        interval_as_number: config.intervalAsNumber,
      });
    }
    case 'hold': {
      const path = str(body, 'path');
      if (holds.has(path)) throw new HttpError(409, 'already_held', 'a hold on this path is in place');
      holds.set(path, null);
      return sendJson(res, 200, { ok: true });
    }
    case 'release': {
      const path = str(body, 'path');
      const release = holds.get(path);
      if (typeof release !== 'function') throw new HttpError(409, 'nothing_held', 'no call to this path is waiting');
      holds.delete(path);
      release();
      return sendJson(res, 200, { ok: true });
    }
    case 'fault': {
      const path = str(body, 'path');
      const f = {
        status: Number.isInteger(body.status) ? body.status : 500,
        body: typeof body.body === 'string' ? body.body : JSON.stringify(body.body === undefined ? {} : body.body),
        contentType: typeof body.content_type === 'string' ? body.content_type : 'application/json',
        hang: body.hang === true,
        drop: body.drop === true,
        dripMs: Number.isInteger(body.drip_ms) && body.drip_ms > 0 ? body.drip_ms : 0,
        dripHead: body.drip_head === true,
        dripChunks: body.drip_chunks === true,
        times: Number.isInteger(body.times) && body.times > 0 ? body.times : 1,
      };
      if (!faults.has(path)) faults.set(path, []);
      faults.get(path).push(f);
      return sendJson(res, 200, { ok: true });
    }
    default:
      throw new HttpError(404, 'not_found', 'no such control');
  }
}

// ---- Routing --------------------------------------------------------------------------------

function takeFault(path) {
  const list = faults.get(path);
  if (!list || list.length === 0) return null;
  const f = list[0];
  if (--f.times === 0) list.shift();
  return f;
}

const routes = {
  'POST /api/accounts/deviceauth/usercode': userCodeCall,
  'POST /api/accounts/deviceauth/token': tokenPollCall,
  'POST /oauth/token': tokenCall,
  'POST /oauth/revoke': revokeCall,
  'GET /codex/device': devicePage,
  'POST /codex/device': devicePage,
};

const hanging = new Set();

// A body in chunked form, one chunk for each byte, each size line padded with an extension:
// valid framing that holds a reader for many bytes before each byte of the body.
function chunkFramed(body) {
  const parts = [];
  for (const b of body) parts.push(Buffer.from(`1;drip=${'x'.repeat(40)}\r\n`), Buffer.from([b, 13, 10]));
  parts.push(Buffer.from('0\r\n\r\n'));
  return Buffer.concat(parts);
}

// Writes the fault's answer on the raw socket a byte at a time (after the head at once,
// unless drip_head), until it is all out or the client goes away.
function drip(res, fault) {
  const raw = Buffer.from(fault.body);
  const body = fault.dripChunks ? chunkFramed(raw) : raw;
  const type = fault.contentType === '' ? '' : `Content-Type: ${fault.contentType}\r\n`;
  const length = fault.dripChunks ? 'Transfer-Encoding: chunked' : `Content-Length: ${body.length}`;
  const head = Buffer.from(`HTTP/1.1 ${fault.status} Dripping\r\n${type}` +
    `${length}\r\nConnection: close\r\n\r\n`);
  const socket = res.socket;
  socket.setNoDelay(true);
  let bytes = Buffer.concat([head, body]);
  if (!fault.dripHead) {
    socket.write(head);
    bytes = body;
  }
  let at = 0;
  hanging.add(socket);
  const timer = setInterval(() => {
    if (at >= bytes.length || socket.destroyed) {
      clearInterval(timer);
      hanging.delete(socket);
      socket.end();
      return;
    }
    socket.write(bytes.subarray(at, at + 1));
    at += 1;
  }, fault.dripMs);
  socket.on('close', () => { clearInterval(timer); hanging.delete(socket); note('drip_closed', { sent: at }); });
}

const server = http.createServer(async (req, res) => {
  const url = new URL(req.url, 'http://127.0.0.1');
  try {
    const control = url.pathname.startsWith('/test/');
    if (!control) {
      // Recorded as it came, before any fault or hold: a test asks what a client sent.
      const body = await readBody(req).catch(() => null);
      requests.push({ method: req.method, path: url.pathname, content_type: req.headers['content-type'] || '', body });
    }
    const fault = control ? null : takeFault(url.pathname);
    if (fault) {
      note('fault', { path: url.pathname, status: fault.status, hang: fault.hang, drop: fault.drop });
      if (fault.hang) {
        hanging.add(res);
        res.on('close', () => hanging.delete(res));
        return;
      }
      if (fault.drop) return res.socket.destroy();
      if (fault.dripMs > 0) return drip(res, fault);
      const head = { 'Content-Length': Buffer.byteLength(fault.body) };
      if (fault.contentType !== '') head['Content-Type'] = fault.contentType;
      res.writeHead(fault.status, head);
      return res.end(fault.body);
    }
    if (url.pathname.startsWith('/test/')) return await testCall(req, res, url);
    if (holds.get(url.pathname) === null) {
      await new Promise((resolve) => {
        holds.set(url.pathname, resolve);
        note('held', { path: url.pathname });
      });
      note('released', { path: url.pathname });
    }
    const handler = routes[`${req.method} ${url.pathname}`];
    if (!handler) {
      const known = Object.keys(routes).some((r) => r.endsWith(' ' + url.pathname));
      return sendError(res, known ? 405 : 404, known ? 'method_not_allowed' : 'not_found', 'no such endpoint');
    }
    await handler(req, res, url);
  } catch (e) {
    if (res.headersSent) return res.destroy();
    if (e instanceof HttpError) return sendError(res, e.status, e.code, e.message);
    process.stderr.write(`issuer: ${e && e.stack ? e.stack : e}\n`);
    sendError(res, 500, 'server_error', 'the stand-in issuer failed');
  }
});

function stop() {
  for (const r of hanging) r.destroy();
  server.close(() => process.exit(0));
  server.closeAllConnections();
}
process.on('SIGTERM', stop);
process.on('SIGINT', stop);

// A client that keeps its connection open between calls (node's fetch does, for some seconds)
// must be the one to close it: a server that drops an idle connection as the client sends on
// it fails that call.
server.keepAliveTimeout = 120 * 1000;
server.headersTimeout = 121 * 1000;

server.listen(opts.port, '127.0.0.1', () => {
  process.stdout.write(`http://127.0.0.1:${server.address().port}\n`);
});
server.on('error', (e) => fail(e.message));
