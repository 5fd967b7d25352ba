// flow.test.js: the device login through the panel, against credvane, its login and refresh
// CLIs and the stand-in issuer.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./helpers');

const { env } = h;
// The link the login CLI hands out: the issuer's verification page, which does not carry the code.
const verifyUrl = env.issuer + '/codex/device';
let browser;

before(async () => {
  browser = await h.launch();
});
after(async () => {
  await browser.close();
  h.saveA11yLog('a11y-flow.json');
});

async function statusOf(account) {
  return h.nodeJson(env.main, 'action=status' + (account ? '&account=' + account : ''));
}

async function startFlow(page) {
  await page.click('#btnStartLogin');
  await page.waitForSelector('#stepActive.on');
  await page.waitForFunction(() => document.getElementById('userCode').textContent !== '--');
  // The status reload after the start has been drawn too.
  await page.waitForFunction(() => document.getElementById('pillText').textContent === 'Signing In');
  return h.text(page, 'userCode');
}

async function noteOf(page, id) {
  return { text: await h.text(page, id), cls: await page.locator('#' + id).getAttribute('class') };
}

test('a device login from Start to a refreshed token', async () => {
  const { ctx, page, calls, errors } = await h.openPanel(browser, env.main + '/credvane', {
    permissions: ['clipboard-read', 'clipboard-write'],
  });
  await h.loaded(page);
  assert.equal(calls[0], '/credvane?action=status');
  assert.equal(await h.text(page, 'pillText'), 'Not Connected');
  assert.equal(await h.text(page, 'count'), 'No Codex session');
  assert.equal(await h.text(page, 'sessionLead'), 'No Codex session on this node yet. Press Start Codex Login to begin.');
  assert.deepEqual(await noteOf(page, 'sessionNote'), { text: '', cls: 'note' });
  assert.equal(await h.text(page, 'footInfo'), 'credvane');
  await h.captureBoth(page, 'not-connected');

  const code = await startFlow(page);
  assert.match(code, /^[A-Z0-9]{4}-[A-Z0-9]{4}$/);
  assert.ok(calls.includes('/credvane?action=start'), calls.join(' '));
  const link = page.locator('#verifyUrl a');
  const href = verifyUrl;
  assert.equal(await link.getAttribute('href'), href);
  assert.equal(await link.getAttribute('target'), '_blank');
  assert.equal(await link.getAttribute('rel'), 'noopener');
  assert.equal(await link.textContent(), href);
  assert.match(await h.text(page, 'codeTtl'), /^The code expires in 1[45] min\.$/);
  assert.equal(await h.text(page, 'pollLabel'), 'Waiting for authorization in browser...');
  await h.until(async () => (await h.text(page, 'pillText')) === 'Signing In', 'Signing In');
  assert.equal(await h.text(page, 'count'), 'Device flow open');
  await h.captureBoth(page, 'code-shown');

  // Copy and open: the code lands on the clipboard and the link opens in a new tab.
  const popupWait = ctx.waitForEvent('page');
  await page.click('#btnCopyOpen');
  const popup = await popupWait;
  await popup.waitForLoadState();
  assert.equal(popup.url(), href);
  await h.until(async () => (await h.text(page, 'toast')) === 'Code copied. Open the link and approve.', 'toast');
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), code);

  // On the issuer's page the person pastes the code and approves.
  await popup.fill('#user_code', code);
  await popup.click('button[value=approve]');
  await popup.waitForSelector('h1:text("Sign-in approved")');
  await popup.close();

  await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'Logged In');
  assert.deepEqual(await noteOf(page, 'flowNote'), {
    text: 'Signed in to the default account. The credential file has been written.',
    cls: 'note show ok',
  });
  assert.equal(await page.locator('#stepIdle').getAttribute('class'), 'step on');
  assert.equal(await page.locator('#flowNote').isVisible(), true);
  assert.match(await h.text(page, 'count'), /^(59|60) min remaining$/);
  assert.equal(await h.fillShown(page), '100%');
  assert.equal(await page.locator('#bar').getAttribute('class'), 'bar');
  assert.equal(await page.locator('#btnStartLogin').isVisible(), false);
  assert.equal(await page.locator('#btnRelogin').isVisible(), true);
  assert.equal(await h.text(page, 'sessionNote'), '');
  await h.captureBoth(page, 'logged-in');

  // Tokens that live two hours from here on, so that the new expiry stands apart from the old.
  const before = (await statusOf('')).expires_at;
  await h.issuer('/test/config', { token_lifetime: 7200 });
  try {
    await page.click('#btnRefresh');
    await h.until(async () => (await h.text(page, 'sessionNote')).startsWith('Token refreshed'), 'refresh note');
  } finally {
    await h.issuer('/test/config', { token_lifetime: 3600 });
  }
  const after = await statusOf('');
  assert.ok(after.expires_at > before, `expiry ${after.expires_at} not after ${before}`);
  const note = await noteOf(page, 'sessionNote');
  // The note names the new expiry and stays after the render that follows it.
  assert.match(note.text, /^Token refreshed\. New expiry: (1 h 59 min|2 h 0 min)\.$/);
  assert.equal(note.cls, 'note show ok');
  const expiry = note.text.slice('Token refreshed. New expiry: '.length, -1);
  const rows = await page.locator('#session').evaluate((el) => [...el.children].map((c) => c.textContent));
  assert.equal(rows[rows.indexOf('Token') + 1], 'valid, ' + expiry);
  assert.match(rows[rows.indexOf('Last refreshed') + 1], /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);
  await h.captureBoth(page, 'refreshed');

  assert.deepEqual(errors, []);
  await ctx.close();
});

// An open flow ends either by the Cancel button or by a refusal on the verification side.
const endings = [
  {
    name: 'cancel',
    account: 'cancel1',
    end: async (page) => page.click('#btnCancel'),
    note: { text: 'Device flow cancelled.', cls: 'note show ok' },
    newCode: false,
    call: '/credvane?action=cancel&account=cancel1',
  },
  {
    name: 'denied code',
    account: 'deny1',
    end: async (page, code) => assert.equal((await h.issuer('/test/deny', { user_code: code })).state, 'denied'),
    note: { text: 'The sign-in was refused on the sign-in page. Press Get a new code to try again.', cls: 'note show err' },
    newCode: true,
    call: '/credvane?action=poll&account=deny1',
    shot: 'login-failed',
  },
];

for (const c of endings) {
  test(`an open flow ends: ${c.name}`, async () => {
    const { ctx, page, calls, errors } = await h.openPanel(browser, `${env.main}/credvane?account=${c.account}`);
    await h.loaded(page);
    const code = await startFlow(page);
    await c.end(page, code);
    await h.until(async () => (await h.text(page, 'flowNote')) !== '', 'flow note');
    const note = await noteOf(page, 'flowNote');
    assert.equal(note.cls, c.note.cls);
    if (c.note.text instanceof RegExp) assert.match(note.text, c.note.text);
    else assert.equal(note.text, c.note.text);
    assert.equal(await page.locator('#stepIdle').getAttribute('class'), 'step on');
    assert.equal(await page.locator('#newCodeRow').isVisible(), c.newCode);
    await h.until(async () => (await h.text(page, 'pillText')) === 'Not Connected', 'Not Connected');
    assert.ok(calls.includes(c.call), calls.join(' '));
    assert.equal((await statusOf(c.account)).pending, false);
    if (c.note.cls.endsWith('err')) assert.equal(await h.text(page, 'alert'), note.text);
    if (c.shot) await h.captureBoth(page, c.shot);
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}

const selections = [
  {
    name: 'work',
    pill: 'Logged In',
    count: /^\d+ min remaining$/,
    bar: 'bar',
    note: '',
  },
  {
    name: 'archive',
    pill: 'Expired',
    count: /^Token expired$/,
    bar: 'bar err',
    note: 'The token has expired. Press Refresh Token Now, or sign in again.',
    shot: 'expired-account',
  },
];

for (const c of selections) {
  test(`Select on the named account ${c.name}`, async () => {
    const { ctx, page, calls, errors } = await h.openPanel(browser, env.main + '/credvane');
    await h.loaded(page);
    const row = page.locator('.acct', { has: page.locator(`.nm:text-is("${c.name}")`) });
    await row.getByRole('button', { name: 'Select' }).click();
    await h.until(async () => calls.includes(`/credvane?action=status&account=${c.name}`), 'status call');
    // Drawn once the Account row names the selected account.
    const rowsNow = () => page.locator('#session').evaluate((el) => [...el.children].map((x) => x.textContent));
    await h.until(async () => (await rowsNow())[1] === c.name, 'the account drawn');
    assert.equal(await h.text(page, 'pillText'), c.pill);
    assert.equal(await h.text(page, 'sub'), 'account: ' + c.name);
    assert.match(await h.text(page, 'count'), c.count);
    assert.equal(await page.locator('#bar').getAttribute('class'), c.bar);
    assert.equal(await h.text(page, 'sessionNote'), c.note);
    // Later calls keep the account, and the subtitle keeps naming it.
    await page.click('#btnReload');
    await h.until(async () => calls.filter((u) => u.endsWith('&account=' + c.name)).length >= 2, 'reload');
    assert.equal(await h.text(page, 'sub'), 'account: ' + c.name);
    if (c.shot) await h.captureBoth(page, c.shot);
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}

test('a reload during an open flow shows the same code again and follows it to the end', async () => {
  const url = `${env.main}/credvane?account=reload1`;
  const { ctx, page, calls, errors } = await h.openPanel(browser, url, {
    permissions: ['clipboard-read', 'clipboard-write'],
  });
  await h.loaded(page);
  const code = await startFlow(page);

  await page.reload();
  await h.loaded(page);
  await h.until(async () => (await h.text(page, 'userCode')) === code, 'the same code again');
  assert.equal(await h.text(page, 'codeFor'), 'For account reload1');
  assert.equal(await page.locator('#verifyUrl a').getAttribute('href'), verifyUrl);
  assert.match(await h.text(page, 'codeTtl'), /^The code expires in 1[45] min\.$/);
  assert.equal(await h.text(page, 'pollLabel'), 'Waiting for authorization in browser...');
  assert.equal(await h.text(page, 'pillText'), 'Signing In');
  await h.captureBoth(page, 'reload-during-sign-in');

  // The copy takes the code, as before the reload.
  await page.click('#btnCopyOpen');
  await h.until(async () => (await h.text(page, 'toast')) === 'Code copied. Open the link and approve.', 'toast');
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), code);

  await h.issuer('/test/approve', { user_code: code });
  await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'Logged In');
  assert.equal(await h.text(page, 'flowNote'), 'Signed in to account reload1. The credential file has been written.');
  // The reloaded page asked for the open login's code once, without force, and never for a
  // second code.
  const starts = calls.filter((u) => u.includes('action=start'));
  assert.deepEqual(starts, ['/credvane?action=start&account=reload1', '/credvane?action=start&account=reload1']);
  // Every call is for reload1 but the status of the default account, read for its row in the list.
  assert.ok(calls.every((u) => u.includes('&account=reload1') || u === '/credvane?action=status'), calls.join(' '));
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('a second person who opens the panel meanwhile gets the open code; the approval lands for both', async () => {
  const url = `${env.main}/credvane?account=second1`;
  const first = await h.openPanel(browser, url);
  await h.loaded(first.page);
  const code = await startFlow(first.page);

  const second = await h.openPanel(browser, url, { viewport: { width: 390, height: 844 } });
  await h.loaded(second.page);
  await h.until(async () => (await h.text(second.page, 'userCode')) === code, 'the open code');
  assert.equal(await second.page.locator('#verifyUrl a').getAttribute('href'), verifyUrl);
  assert.equal(await second.page.locator('#btnStartLogin').isVisible(), false);
  await h.captureBoth(second.page, 'second-visitor');
  // The first person's code is still the one that counts.
  assert.equal(await h.text(first.page, 'userCode'), code);

  await h.issuer('/test/approve', { user_code: code });
  for (const p of [first.page, second.page]) {
    await h.until(async () => (await h.text(p, 'pillText')) === 'Logged In', 'Logged In');
  }
  assert.deepEqual([...first.errors, ...second.errors], []);
  await first.ctx.close();
  await second.ctx.close();
});

// A login CLI that cannot hand the open code out again: the panel says so, shows nothing that
// needs a code, and offers one way on.
const lostCodes = [
  { name: 'a login CLI that answers "exists"', answer: { ok: true, already_logged_in: true, pending: false, error: 'already_logged_in', logged_in: true }, why: '' },
  { name: 'a CLI that fails', answer: { ok: false, error: 'start_failed', detail: 'no code here' }, why: ' (no code here)' },
];

for (const c of lostCodes) {
  test(`an open login whose code cannot be had: ${c.name}`, async () => {
    const account = 'lost' + lostCodes.indexOf(c);
    const url = `${env.main}/credvane?account=${account}`;
    const first = await h.openPanel(browser, url);
    await h.loaded(first.page);
    const code = await startFlow(first.page);
    await first.ctx.close();

    const { ctx, page, calls, errors } = await h.openPanel(browser, url);
    let refuse = true;
    await page.route((u) => u.searchParams.get('action') === 'start', (r) =>
      refuse
        ? r.fulfill({ status: 200, contentType: 'application/json', body: JSON.stringify(c.answer) })
        : r.continue());
    await page.reload();
    await h.loaded(page);
    await page.waitForSelector('#newCodeRow:not([hidden])');
    assert.equal(
      await h.text(page, 'flowNote'),
      'A sign-in is open on this node, but its code cannot be shown here' + c.why +
        '. Press Start over for a new code; the open one then stops working.',
    );
    assert.equal(await h.text(page, 'btnNewCode'), 'Start over');
    for (const id of ['codeBox', 'btnCopyOpen', 'btnOpen', 'verifyUrl', 'verifyQr', 'btnQr', 'btnCancel', 'pollLabel']) {
      assert.equal(await page.locator('#' + id).isVisible(), false, id);
    }
    assert.equal(await page.locator('.spin').isVisible(), false);
    for (const id of ['btnStartLogin', 'btnRelogin']) assert.equal(await page.locator('#' + id).isVisible(), false, id);
    if (c.why) await h.captureBoth(page, 'code-lost');

    // Start over: a new code in place of the open one.
    refuse = false;
    await page.click('#btnNewCode');
    await h.until(async () => /^[A-Z0-9]{4}-[A-Z0-9]{4}$/.test(await h.text(page, 'userCode')), 'a new code');
    assert.notEqual(await h.text(page, 'userCode'), code);
    assert.equal(await page.locator('#btnCopyOpen').isVisible(), true);
    assert.equal(await page.locator('#newCodeRow').isVisible(), false);
    // Forced: a start without force would hand out the open code again.
    assert.equal(calls.filter((u) => u.includes('action=start')).pop(), `/credvane?action=start&force=1&account=${account}`);
    await page.click('#btnCancel');
    await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}

test('whatever the issuer, the button names the sign-in page and a long link fits a phone', async () => {
  const long = 'https://sign-in.operator-of-this-bot-host.example.org/' + 'device-authorization/'.repeat(15) + 'codex?via=node-7';
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane?account=longlink', {
    viewport: { width: 390, height: 844 },
    permissions: ['clipboard-read', 'clipboard-write'],
  });
  await page.route((u) => u.searchParams.get('action') === 'start', (r) =>
    r.fulfill({
      status: 200,
      contentType: 'application/json',
      body: JSON.stringify({ ok: true, flow: 'device_code', verify_url: long, user_code: 'LONG-LINK', expires_in: 900, interval: 5, pending: true }),
    }));
  await h.loaded(page);
  await page.click('#btnStartLogin');
  await h.until(async () => (await h.text(page, 'userCode')) === 'LONG-LINK', 'the code');
  assert.equal(await h.text(page, 'btnCopyOpen'), 'Copy Code & Open Sign-in Page');
  const box = await page.locator('#verifyUrl').evaluate((e) => ({
    sw: e.scrollWidth, cw: e.clientWidth, sh: e.scrollHeight, ch: e.clientHeight, text: e.textContent,
  }));
  assert.equal(box.text, long);
  assert.ok(box.sw <= box.cw && box.sh <= box.ch, JSON.stringify(box));
  assert.deepEqual(errors, []);
  await ctx.close();
});

// A host may hand a path that begins with "//" on to the page: its calls must still go to
// the page's own server, not to a host named by the path.
test('a page path that begins with two slashes calls its own server', async () => {
  const origin = new URL(env.main).origin;
  const ctx = await browser.newContext();
  const page = await ctx.newPage();
  const hosts = [];
  page.on('request', (r) => {
    if (new URL(r.url()).searchParams.has('action')) hosts.push(new URL(r.url()).origin);
  });
  await page.route((u) => u.pathname.startsWith('//'), async (route) => {
    const u = new URL(route.request().url());
    const real = env.main + '/credvane' + u.search;
    await route.fulfill({ response: await route.fetch({ url: real }) });
  });
  await page.goto(origin + '//elsewhere.invalid/credvane');
  await h.loaded(page);
  assert.notEqual(await h.text(page, 'sessionLead'), 'The state of this node is not known right now.');
  assert.ok(hosts.length > 0 && hosts.every((o) => o === origin), hosts.join(' '));
  await ctx.close();
});

// Framed panels often may not write the clipboard or open windows: the code is then selected
// for Ctrl+C, and the link stays a link.
const refusals = [
  {
    name: 'clipboard write refused',
    init: () => {
      Object.defineProperty(navigator, 'clipboard', {
        value: { writeText: () => Promise.reject(new DOMException('denied', 'NotAllowedError')) },
      });
      window.open = () => {
        throw new Error('blocked');
      };
    },
    toast: 'Copy failed. The code is selected: press Ctrl+C to copy it.',
  },
  {
    name: 'no clipboard',
    init: () => {
      Object.defineProperty(navigator, 'clipboard', { value: undefined });
      window.open = () => null;
    },
    toast: null,
  },
];

for (const c of refusals) {
  test(`copy and open: ${c.name}`, async () => {
    const { ctx, page, errors } = await h.openPanel(browser, `${env.main}/credvane?account=copy1`, { init: c.init });
    await h.loaded(page);
    const code = await startFlow(page);
    if (c.toast) {
      await page.click('#btnCopyOpen');
      await h.until(async () => (await h.text(page, 'toast')) === c.toast, 'toast');
      assert.equal(await page.evaluate(() => String(window.getSelection())), code);
      assert.equal(await h.text(page, 'live'), c.toast);
    } else {
      // Without a clipboard the one tap must not both fail to copy and leave for the issuer:
      // the code stays with how to copy it, and the link has a button of its own.
      assert.equal(await page.locator('#btnCopyOpen').isVisible(), false);
      assert.equal(await h.text(page, 'copyHint'), 'Select the code and press Ctrl+C to copy it.');
      const open = page.locator('#btnOpen');
      assert.deepEqual(
        [await open.getAttribute('href'), await open.getAttribute('target'), await open.getAttribute('rel')],
        [verifyUrl, '_blank', 'noopener'],
      );
    }
    assert.equal(await page.locator('#verifyUrl a').getAttribute('href'), verifyUrl);
    await page.click('#btnCancel');
    await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}

// The next code and its countdown as drawn together, read in the same turn as the code changed.
// Call it before the click that brings the code, so that the watch is set first.
function drawnCode(page, old) {
  return page.evaluate(
    (o) =>
      new Promise((resolve) => {
        const code = document.getElementById('userCode');
        const watch = new MutationObserver(() => {
          const c = code.textContent;
          if (c === '--' || c === o) return;
          watch.disconnect();
          resolve({ code: c, ttl: document.getElementById('codeTtl').textContent.trim() });
        });
        watch.observe(code, { childList: true, characterData: true, subtree: true });
      }),
    old,
  );
}

// A dead code is replaced by the same kind of start. It dies either at the issuer, which the
// node's next poll reports, or on the panel's own countdown (the page's clock moved past the
// code's lifetime, while the issuer still holds it).
const renewals = [
  { name: 'Start', account: '', button: '#btnStartLogin', call: '/credvane?action=start', death: 'issuer' },
  {
    name: 'Re-login',
    account: 'work',
    button: '#btnRelogin',
    call: '/credvane?action=start&force=1&account=work',
    death: 'countdown',
  },
];

for (const c of renewals) {
  test(`an expired code is renewed with the start that opened it: ${c.name}`, async () => {
    const url = env.short + '/credvane' + (c.account ? '?account=' + c.account : '');
    const { ctx, page, calls, errors } = await h.openPanel(browser, url, { clock: c.death === 'countdown' });
    await h.loaded(page);
    const drawn = drawnCode(page, '--');
    await page.click(c.button);
    const first = await drawn;
    assert.match(first.ttl, /^The code expires in 1[45] min\.$/);
    if (c.death === 'issuer') {
      await h.issuer('/test/expire', { user_code: first.code });
      await page.waitForSelector('#newCodeRow:not([hidden])');
      assert.equal(await h.text(page, 'flowNote'), 'The code expired before it was approved. Press Get a new code to try again.');
      // One way on: no Start beside the new code, and no idle line pointing at it.
      assert.equal(await page.locator('#btnStartLogin').isVisible(), false);
      assert.equal(await h.text(page, 'idleText'), '');
      await h.captureBoth(page, 'code-expired-at-issuer');
    } else {
      await page.clock.fastForward('15:01');
      await page.waitForSelector('#newCodeRow:not([hidden])');
      assert.equal(await h.text(page, 'codeTtl'), 'The code has expired.');
      await h.captureBoth(page, 'code-expired');
    }

    const starts = () => calls.filter((u) => u.includes('action=start'));
    const redrawn = drawnCode(page, first.code);
    await page.click('#btnNewCode');
    await h.until(async () => starts().length === 2, 'second start');
    assert.deepEqual(starts(), [c.call, c.call]);
    const second = await redrawn;
    assert.equal(await page.locator('#stepActive').getAttribute('class'), 'step on');
    assert.equal(await page.locator('#newCodeRow').isVisible(), false);
    assert.match(second.ttl, /^The code expires in 1[45] min\.$/);
    await page.click('#btnCancel');
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}
