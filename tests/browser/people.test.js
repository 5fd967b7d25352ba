// people.test.js: the panel for the people who use it: signing out, adding an account by name,
// what it says before and while it waits, a password that stops working mid-session, and where
// a password travels.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./helpers');

const { env } = h;
let browser;

before(async () => {
  browser = await h.launch();
});
after(async () => {
  await browser.close();
  h.saveA11yLog('a11y-people.json');
});

const signedIn = {
  ok: true, account: 'default', logged_in: true, expired: false, expires_in_sec: 3000, has_refresh: true,
  pending: false, cli_present: true, cli_error: '', api_key_present: false, accounts: [], file_problem: '',
};

function reply(route, status, body) {
  return route.fulfill({ status, contentType: 'application/json', body: JSON.stringify(body) });
}

test('sign out asks first, naming the account, and the answer turns the pill', async () => {
  const { ctx, page, calls, errors } = await h.openPanel(browser, env.main + '/credvane');
  let state = signedIn;
  await page.route((u) => u.searchParams.get('action') === 'status', (r) => reply(r, 200, state));
  await page.route((u) => u.searchParams.get('action') === 'logout', (r) => {
    state = { ...signedIn, logged_in: false, has_refresh: false };
    return reply(r, 200, { ...state, state: 'logged_out' });
  });
  await page.click('#btnReload');
  await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'signed in');
  await page.click('#btnSignOut');
  assert.match(await h.text(page, 'confirmText'), /^Sign the default account out of Codex on this node\?/);
  await h.captureBoth(page, 'sign-out-confirm');
  await page.click('#btnSignOutNo');
  assert.equal(await page.locator('#confirmOut').isVisible(), false);
  assert.ok(!calls.some((u) => u.includes('action=logout')), 'no logout before the confirmation');
  await page.click('#btnSignOut');
  await page.click('#btnSignOutYes');
  await h.until(async () => (await h.text(page, 'pillText')) === 'Not Connected', 'signed out');
  assert.equal(await h.text(page, 'sessionNote'), 'Signed the default account out. Codex on this node has no sign-in for it now.');
  assert.equal(await page.locator('#btnSignOut').isVisible(), false);
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('after a named account signs out, the panel goes back to the default account and drops the old notes', async () => {
  const { ctx, page, calls, errors } = await h.openPanel(browser, env.main + '/credvane?account=leaving');
  await h.loaded(page);
  await page.click('#btnStartLogin');
  await h.until(async () => /^[A-Z0-9]{4}-[A-Z0-9]{4}$/.test(await h.text(page, 'userCode')), 'a code');
  assert.equal(await h.text(page, 'codeFor'), 'For account leaving');
  await h.issuer('/test/approve', { user_code: await h.text(page, 'userCode') });
  await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'signed in');
  assert.match(await h.text(page, 'flowNote'), /^Signed in to account leaving\./);

  await page.click('#btnSignOut');
  await page.click('#btnSignOutYes');
  await h.until(async () => calls.some((u) => u === '/credvane?action=logout&account=leaving'), 'the logout');
  await h.until(async () => (await h.text(page, 'sub')) === 'Device code login on this node', 'the default account');
  await h.until(async () => (await h.text(page, 'sessionNote')).startsWith('Signed account leaving out'), 'the note');
  assert.equal(
    await h.text(page, 'sessionNote'),
    'Signed account leaving out; its credential file is gone. This is the default account.',
  );
  assert.equal(await h.text(page, 'flowNote'), '');
  assert.equal(new URL(page.url()).searchParams.has('account'), false);
  assert.equal(await page.locator('#accounts .acct.on .nm').textContent(), 'Default account');
  assert.equal(await page.locator('#accounts .nm', { hasText: 'leaving' }).count(), 0);
  // Every call after the logout is for the default account.
  const after = calls.slice(calls.indexOf('/credvane?action=logout&account=leaving') + 1);
  assert.ok(after.length > 0 && after.every((u) => !u.includes('account=')), after.join(' '));
  await h.captureBoth(page, 'named-sign-out');
  assert.deepEqual(errors, []);
  await ctx.close();
});

const signOutFailures = [
  { error: 'logout_unsupported', note: 'Sign out failed: the login CLI on this node cannot sign out; update it.' },
  { error: 'revoke_failed', detail: 'HTTP 500', note: 'Sign out failed: the issuer did not take the token back, so the sign-in stays (HTTP 500).' },
];
for (const c of signOutFailures) {
  test(`a failed sign out says why and keeps the state: ${c.error}`, async () => {
    const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane?account=work');
    await page.route((u) => u.searchParams.get('action') === 'status', (r) => reply(r, 200, { ...signedIn, account: 'work' }));
    await page.route((u) => u.searchParams.get('action') === 'logout', (r) =>
      reply(r, 500, { ok: false, error: c.error, detail: c.detail || '' }));
    await page.click('#btnReload');
    await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'signed in');
    await page.click('#btnSignOut');
    assert.match(await h.text(page, 'confirmText'), /^Sign account work out/);
    await page.click('#btnSignOutYes');
    await h.until(async () => (await h.text(page, 'sessionNote')) === c.note, 'the failure');
    assert.equal(await h.text(page, 'pillText'), 'Logged In');
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}

test('add an account: a bad name is refused on the spot, a good one starts its login', async () => {
  const { ctx, page, calls, errors } = await h.openPanel(browser, env.main + '/credvane');
  await h.loaded(page);
  const bad = [
    ['', 'Enter a name for the account.'],
    ['.hidden', 'A name may not begin with ".".'],
    ['a b', 'A name may hold only letters, digits, "-", "." and "_".'],
    ['x'.repeat(65), 'A name has at most 64 characters.'],
  ];
  for (const [name, msg] of bad) {
    // The field holds 64 characters; a longer name can only arrive by script, as a paste might.
    await page.evaluate((n) => (document.getElementById('addName').value = n), name);
    await page.click('#btnAdd');
    assert.equal(await h.text(page, 'addNote'), msg, name);
    assert.equal(await page.locator('#addName').getAttribute('aria-invalid'), 'true');
    assert.equal(await h.text(page, 'alert'), msg, name);
  }
  await page.locator('#addName').scrollIntoViewIfNeeded();
  await h.captureBoth(page, 'add-account-refused');
  assert.ok(!calls.some((u) => u.includes('action=start')), calls.join(' '));
  await page.fill('#addName', 'new-acct_1.x');
  await page.click('#btnAdd');
  // The refusal is no longer read out once a name is taken.
  assert.equal(await h.text(page, 'alert'), '');
  await h.until(async () => /^[A-Z0-9-]{4,}$/.test(await h.text(page, 'userCode')), 'a code');
  assert.equal(await h.text(page, 'codeFor'), 'For account new-acct_1.x');
  assert.ok(calls.some((u) => u.includes('action=start&account=new-acct_1.x')), calls.join(' '));
  assert.equal(new URL(page.url()).searchParams.get('account'), 'new-acct_1.x');
  await page.click('#btnCancel');
  await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('before the first answer nothing of the node is stated; Unlock on a slow link says it checks', async () => {
  const ctx = await browser.newContext({ viewport: { width: 390, height: 844 } });
  const page = await ctx.newPage();
  let release;
  const held = new Promise((r) => (release = r));
  await page.route((u) => u.searchParams.get('action') === 'status', async (r) => {
    await held;
    return r.continue();
  });
  await page.goto(env.pw + '/credvane');
  for (const id of ['idleText', 'accounts']) {
    assert.equal(await h.text(page, id), '', id);
  }
  assert.equal(await page.locator('#hSession').isVisible(), false);
  release();
  await h.until(async () => (await h.text(page, 'pillText')) === 'Password needed', 'the form');
  await page.unroute((u) => u.searchParams.get('action') === 'status');
  let go;
  const slow = new Promise((r) => (go = r));
  await page.route((u) => u.searchParams.get('action') === 'status', async (r) => {
    await slow;
    return r.continue();
  });
  await page.fill('#pwdInput', env.password);
  await page.click('#btnUnlock');
  await h.until(async () => (await h.text(page, 'gateNote')) === 'Checking\u2026', 'checking');
  await h.captureBoth(page, 'password-checking');
  go();
  await h.until(async () => (await h.text(page, 'pillText')) === 'Not Connected', 'unlocked');
  assert.equal(await page.locator('#hSession').isVisible(), true);
  await ctx.close();
});

test('a password refused mid-session stops polling, brings the form back, and the alert clears after', async () => {
  const { ctx, page, calls, errors } = await h.openPanel(browser, env.pw + '/credvane?account=midpw&pwd=' + env.password);
  await h.loaded(page);
  // A used password leaves the address.
  await h.until(async () => !new URL(page.url()).searchParams.has('pwd'), 'the address cleaned');
  assert.equal(new URL(page.url()).searchParams.get('account'), 'midpw');
  await page.click('#btnStartLogin');
  await h.until(async () => calls.some((u) => u.includes('action=poll')), 'a poll');
  await page.route((u) => u.searchParams.get('action') === 'poll', (r) =>
    reply(r, 401, { ok: false, error: 'invalid node password' }));
  await h.until(async () => (await h.text(page, 'pillText')) === 'Password needed', 'the form back');
  // Nothing was typed: the password that worked has changed on the node.
  assert.equal(await h.text(page, 'gateNote'), "The node's password has changed; enter it again.");
  await page.unroute((u) => u.searchParams.get('action') === 'poll');
  await page.fill('#pwdInput', env.password);
  await page.click('#btnUnlock');
  await h.until(async () => (await h.text(page, 'pillText')) !== 'Password needed', 'unlocked');
  assert.equal(await h.text(page, 'alert'), '');
  assert.equal(await h.text(page, 'gateNote'), '');
  await page.click('#btnCancel');
  await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('a typed password stays out of the query on the hub route', async () => {
  const ctx = await browser.newContext();
  const page = await ctx.newPage();
  const urls = [];
  page.on('request', (r) => {
    const u = new URL(r.url());
    if (u.searchParams.has('action')) urls.push(u.search);
  });
  // The hub route answers 401 without a password, and with the right one in the header.
  await page.route((u) => u.searchParams.has('action'), (r) =>
    r.request().headers()['x-bot-password'] === 'typed-pw'
      ? reply(r, 200, signedIn)
      : reply(r, 401, { ok: false, error: 'invalid node password' }));
  await page.goto(env.main + '/credvane?plugin=x');
  await h.until(async () => (await h.text(page, 'pillText')) === 'Password needed', 'the form');
  await page.fill('#pwdInput', 'typed-pw');
  await page.click('#btnUnlock');
  await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'in');
  await page.reload();
  await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'in after a reload');
  assert.ok(urls.length >= 3, urls.join(' '));
  assert.ok(urls.every((u) => !u.includes('pwd=')), urls.join(' '));
  await ctx.close();
});

test('a phone on plain http: the code stays with long-press, Open is its own button, no QR until asked', async () => {
  const c2 = await browser.newContext({ viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true });
  await c2.addInitScript(() => Object.defineProperty(window, 'isSecureContext', { value: false }));
  const p = await c2.newPage();
  const errors = [];
  p.on('pageerror', (e) => errors.push(e.message));
  await p.goto(env.main + '/credvane?account=phonehttp');
  await h.loaded(p);
  await p.click('#btnStartLogin');
  await h.until(async () => /^[A-Z0-9-]{4,}$/.test(await h.text(p, 'userCode')), 'a code');
  assert.equal(await p.locator('#btnCopyOpen').isVisible(), false);
  assert.equal(await h.text(p, 'copyHint'), 'Long-press the code to copy it.');
  assert.equal(await p.locator('#btnOpen').isVisible(), true);
  assert.match(await h.text(p, 'codeBox'), /Whoever approves this code signs this node in with their own account\./);
  assert.equal(await p.locator('#verifyQr').isVisible(), false);
  await p.click('#btnQr');
  assert.equal(await p.locator('#verifyQr').isVisible(), true);
  const box = await p.locator('#btnCancel').boundingBox();
  assert.ok(box.height >= 44, 'Cancel is ' + box.height + ' px high');
  await h.captureBoth(p, 'phone-http-code');
  await p.click('#btnCancel');
  await h.until(async () => (await h.text(p, 'flowNote')) === 'Device flow cancelled.', 'cancel');
  assert.deepEqual(errors, []);
  await c2.close();
});
