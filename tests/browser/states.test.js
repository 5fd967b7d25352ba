// states.test.js: states of the panel that come and go with the node: a code that ran out, the
// moment a login lands, the default account's row beside the named ones, a credential file the
// Codex CLI would refuse, the size of what a finger has to hit, and signing out for real.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./helpers');

const { env } = h;
let browser;

before(async () => {
  browser = await h.launch();
});
after(async () => {
  await browser.close();
  h.saveA11yLog('a11y-states.json');
});

const phone = { width: 390, height: 844 };

function reply(route, body, status = 200) {
  return route.fulfill({ status, contentType: 'application/json', body: JSON.stringify(body) });
}

async function shown(page, selector) {
  const all = page.locator(selector);
  const n = await all.count();
  for (let i = 0; i < n; i++) {
    if (await all.nth(i).isVisible()) return true;
  }
  return false;
}

// Starts a device login with the page's Start button and returns the code it shows.
async function start(page) {
  await page.click('#btnStartLogin');
  await h.until(async () => /^[A-Z0-9]{4}-[A-Z0-9]{4}$/.test(await h.text(page, 'userCode')), 'a code');
  return h.text(page, 'userCode');
}

test('once the code has expired, Copy, the QR code and the spinner go; Cancel and a new code stay', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.short + '/credvane?account=deadcode', {
    permissions: ['clipboard-read', 'clipboard-write'],
    clock: true,
  });
  await h.loaded(page);
  await start(page);
  const live = ['#btnCopyOpen', '#verifyQr', '.pollbar', '.spin'];
  for (const sel of live) assert.equal(await shown(page, sel), true, sel + ' while the code lives');

  await page.clock.fastForward('15:01');
  await page.waitForSelector('#newCodeRow:not([hidden])');
  assert.equal(await h.text(page, 'codeTtl'), 'The code has expired.');
  for (const sel of [...live, '#btnOpen', '#btnQr', '#copyHint', '#verifyUrl', '#pollLabel']) {
    assert.equal(await shown(page, sel), false, sel + ' after the code died');
  }
  assert.equal(await shown(page, '#btnCancel'), true);
  assert.equal(await shown(page, '#btnNewCode'), true);
  await page.click('#btnCancel');
  await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('the success note and the pill change together when a login lands', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane?account=together');
  await h.loaded(page);
  const code = await start(page);
  // Every change to the pill or the flow's note is recorded with the other as it stood then. A
  // mutation observer runs before any later promise step, so a note drawn one step after the
  // pill would leave a record of the pill alone.
  await page.evaluate(() => {
    window.__seen = [];
    const pill = document.getElementById('pillText');
    const note = document.getElementById('flowNote');
    const snap = () => window.__seen.push([pill.textContent, note.textContent]);
    const o = new MutationObserver(snap);
    for (const el of [pill, note]) o.observe(el, { childList: true, characterData: true, subtree: true });
  });
  await h.issuer('/test/approve', { user_code: code });
  const success = 'Signed in to account together. The credential file has been written.';
  await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'Logged In');
  const seen = await page.evaluate(() => window.__seen);
  const firstIn = seen.findIndex(([pill]) => pill === 'Logged In');
  const firstNote = seen.findIndex(([, note]) => note === success);
  assert.ok(firstIn >= 0 && firstNote >= 0, JSON.stringify(seen));
  assert.deepEqual(seen[firstIn], ['Logged In', success], JSON.stringify(seen));
  assert.equal(firstIn, firstNote, JSON.stringify(seen));
  assert.deepEqual(errors, []);
  await ctx.close();
});

// The default credential file's row says what a named account's row says for the same state,
// whichever of them is chosen.
const base = {
  ok: true, logged_in: false, expired: false, expires_at: 0, expires_in_sec: 0, has_refresh: false, pending: false,
  cli_present: true, cli_error: '', api_key_present: false, file_problem: '',
};
const defaultStates = [
  { name: 'valid', state: { logged_in: true, expires_in_sec: 3000, has_refresh: true }, tag: 'valid, 50 min', cls: 'tag ok' },
  { name: 'expired', state: { logged_in: true, expired: true, expires_in_sec: -60, has_refresh: true }, tag: 'expired', cls: 'tag warn' },
  { name: 'empty', state: {}, tag: 'empty', cls: 'tag ' },
];
for (const c of defaultStates) {
  test(`the default account shows its state like the named ones: ${c.name}`, async () => {
    const named = { name: 'twin', ...c.state };
    const dflt = { ...base, ...c.state, account: 'default', accounts: [named] };
    const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane');
    await page.route((u) => u.searchParams.get('action') === 'status', (r) => {
      const a = new URL(r.request().url()).searchParams.get('account');
      return reply(r, a ? { ...base, ...c.state, account: a, accounts: [named] } : dflt);
    });
    const tagOf = async (label) => {
      const t = page.locator('.acct', { has: page.locator(`.nm:text-is("${label}")`) }).locator('.tag');
      return { text: (await t.textContent()).trim(), cls: await t.getAttribute('class') };
    };
    await page.click('#btnReload');
    await h.until(async () => (await h.text(page, 'pillText')) !== 'Checking', 'the first answer');
    for (const chosen of ['Default account', 'twin']) {
      if (chosen === 'twin') {
        await page.getByRole('button', { name: 'Select twin' }).click();
        await h.until(async () => (await h.text(page, 'sub')) === 'account: twin', 'twin chosen');
      }
      await h.until(async () => (await tagOf('Default account')).text === c.tag, `the default row with ${chosen} chosen`);
      assert.deepEqual(await tagOf('Default account'), { text: c.tag, cls: c.cls }, chosen);
      assert.deepEqual(await tagOf('twin'), { text: c.tag, cls: c.cls }, chosen);
    }
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}

// A credential file the Codex CLI would refuse signs nothing in, however good its token: the
// pill, the row and the words say so, and the button that mends it comes first.
const refusedFiles = [
  {
    name: 'no id_token: a refresh mends it',
    account: 'noidtoken',
    omit: 'id_token',
    primary: 'btnRefresh',
    note: 'Codex would refuse the credential file as it is (no id_token). Press Refresh Token Now: the fresh ' +
      'tokens it fetches mend the file. If this stays, use Re-login (replace).',
    shot: 'file-problem',
  },
  {
    name: 'no refresh_token: only a new sign-in mends it',
    account: 'norefresh',
    omit: 'refresh_token',
    primary: 'btnRelogin',
    note: 'Codex would refuse the credential file as it is (no refresh_token). Press Re-login (replace) to ' +
      'sign in again and write a sound file.',
  },
];

// A named account signed in through the node at the stand-in issuer, whose refresh token the
// issuer therefore knows; then the member is taken out of its file.
async function signedInWithout(account, member) {
  const started = await h.nodeJson(env.main, 'action=start&account=' + account);
  assert.equal(started.ok, true, JSON.stringify(started));
  await h.issuer('/test/approve', { user_code: started.user_code });
  const done = await h.nodeJson(env.main, 'action=poll&account=' + account);
  assert.equal(done.state, 'done', JSON.stringify(done));
  const file = path.join(env.mainHome, '.codex', 'accounts', account + '.json');
  const doc = JSON.parse(fs.readFileSync(file, 'utf8'));
  delete doc.tokens[member];
  fs.writeFileSync(file, JSON.stringify(doc, null, 2), { mode: 0o600 });
}

for (const c of refusedFiles) {
  test(`a credential file the Codex CLI would refuse: ${c.name}`, async () => {
    await signedInWithout(c.account, c.omit);
    try {
      const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane?account=' + c.account);
      await h.loaded(page);
      assert.equal(await h.text(page, 'pillText'), 'Sign-in Needed');
      assert.equal(await page.locator('#pill').getAttribute('class'), 'pill warn');
      assert.equal(await h.text(page, 'sessionNote'), c.note);
      assert.equal(await page.locator('#sessionNote').getAttribute('class'), 'note show warn');
      assert.equal(await page.locator('#accounts .acct.on .tag').textContent(), 'needs sign-in');
      assert.equal(await page.locator('#' + c.primary).getAttribute('class'), 'btn');
      assert.equal(await page.locator('#btnRelogin').isVisible(), true);
      if (c.shot) await h.captureBoth(page, c.shot);
      if (c.primary === 'btnRefresh') {
        // An issuer whose answer leaves the file as bad: the panel says that only a sign-in helps.
        const st = await h.nodeJson(env.main, 'action=status&account=' + c.account);
        const refreshes = (u) => u.searchParams.get('action') === 'refresh';
        await page.route(refreshes, (r) => reply(r, { ...st, refreshed: true }));
        await page.click('#btnRefresh');
        await h.until(async () => (await h.text(page, 'sessionNote')).startsWith('The token was refreshed, but'), 'not mended');
        assert.equal(
          await h.text(page, 'sessionNote'),
          'The token was refreshed, but Codex would still refuse the credential file (no id_token). ' +
            'Press Re-login (replace) to sign in again.',
        );
        await page.unroute(refreshes);
        // The issuer's fresh tokens carry an id token: the file is sound again.
        await page.click('#btnRefresh');
        await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'mended');
        assert.match(await page.locator('#accounts .acct.on .tag').textContent(), /^valid, /);
      }
      assert.deepEqual(errors, []);
      await ctx.close();
    } finally {
      fs.rmSync(path.join(env.mainHome, '.codex', 'accounts', c.account + '.json'), { force: true });
    }
  });
}

// Every control that shows, in the states a phone meets, is at least 44 x 44 px.
async function smallTargets(page, state) {
  const boxes = await page.evaluate(() =>
    [...document.querySelectorAll('button, a[href], input, summary, select, textarea')]
      .filter((e) => e.offsetParent !== null && getComputedStyle(e).visibility !== 'hidden')
      .map((e) => {
        const r = e.getBoundingClientRect();
        return { what: e.id || e.textContent.trim().slice(0, 30) || e.tagName, w: r.width, h: r.height };
      }));
  assert.ok(boxes.length > 0, 'no controls in ' + state);
  return boxes.filter((b) => b.w < 44 || b.h < 44).map((b) => `${state}: ${b.what} ${b.w}x${b.h}`);
}

test('touch targets of at least 44 px on coarse pointers, in every state a phone meets', async () => {
  const ctx = await browser.newContext({ viewport: phone, hasTouch: true, isMobile: true });
  const page = await ctx.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  const small = [];

  await page.goto(env.pw + '/credvane');
  await h.until(async () => (await h.text(page, 'pillText')) === 'Password needed', 'the form');
  small.push(...(await smallTargets(page, 'password form')));
  await page.fill('#pwdInput', env.password);
  await page.click('#btnUnlock');
  await h.until(async () => (await h.text(page, 'pillText')) === 'Not Connected', 'unlocked');
  await page.click('#details summary');
  small.push(...(await smallTargets(page, 'idle')));

  await start(page);
  await page.click('#btnQr');
  small.push(...(await smallTargets(page, 'code shown')));
  await page.click('#btnCancel');
  await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');

  await page.getByRole('button', { name: 'Select work' }).click();
  await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'work');
  await page.click('#btnSignOut');
  small.push(...(await smallTargets(page, 'signed in, sign-out asked')));
  await page.click('#btnSignOutNo');

  assert.deepEqual(small, []);
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('sign out through the node: the login CLI hands the token back and the file goes', async () => {
  const name = 'goodbye';
  const file = path.join(env.mainHome, '.codex', 'accounts', name + '.json');
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane?account=' + name);
  await h.loaded(page);
  const code = await start(page);
  await h.issuer('/test/approve', { user_code: code });
  await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'signed in');
  assert.ok(fs.existsSync(file), file);
  const revokes = async () =>
    (await (await fetch(env.issuer + '/test/events')).json()).events.filter((e) => e.event === 'revoke');
  const before = (await revokes()).length;

  await page.click('#btnSignOut');
  assert.match(await h.text(page, 'confirmText'), /^Sign account goodbye out of Codex on this node\?/);
  await page.click('#btnSignOutYes');
  // The panel is back on the default account, whose state other tests may have changed.
  await h.until(async () => (await h.text(page, 'sessionNote')).startsWith('Signed account goodbye out'), 'signed out');
  assert.equal(await h.text(page, 'sessionNote'), 'Signed account goodbye out; its credential file is gone. This is the default account.');
  assert.equal(fs.existsSync(file), false, 'the credential file is still there');
  const st = await h.nodeJson(env.main, 'action=status&account=' + name);
  assert.equal(st.logged_in, false);
  const after = await revokes();
  assert.equal(after.length, before + 1, 'one revoke at the issuer');
  assert.equal(after[after.length - 1].known, true, 'the revoked token is one the issuer gave out');
  assert.equal(await page.locator('#accounts .nm', { hasText: name }).count(), 0);
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('a pending folder the node cannot write is named before a login is tried', async () => {
  const why = '/srv/home/.claude/.login-pending cannot be written: Permission denied';
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane');
  await page.route((u) => u.searchParams.get('action') === 'status', (r) =>
    reply(r, { ...base, account: 'default', accounts: [], pending_problem: why }));
  await page.click('#btnReload');
  await h.until(async () => (await h.text(page, 'sessionNote')) !== '', 'the note');
  assert.equal(
    await h.text(page, 'sessionNote'),
    'A login cannot start on this node: ' + why + ". The web server's user must be able to write there.",
  );
  assert.equal(await page.locator('#sessionNote').getAttribute('class'), 'note show warn');
  assert.deepEqual(errors, []);
  await ctx.close();
});
