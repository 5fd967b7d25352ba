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
    note: { text: /^Login failed: denied - .+/, cls: 'note show err' },
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

test('a reload during an open flow picks the flow up and follows it to the end', async () => {
  const url = `${env.main}/credvane?account=reload1`;
  const { ctx, page, calls, errors } = await h.openPanel(browser, url, {
    permissions: ['clipboard-read', 'clipboard-write'],
  });
  await h.loaded(page);
  const code = await startFlow(page);

  await page.reload();
  await h.loaded(page);
  await page.waitForSelector('#stepActive.on');
  assert.equal(await h.text(page, 'userCode'), '--');
  assert.equal(await h.text(page, 'pollLabel'), 'A device flow is already open on this node');
  assert.equal(await h.text(page, 'verifyUrl'), '');
  assert.equal(await page.locator('#codeTtl').isVisible(), false);
  assert.equal(await h.text(page, 'pillText'), 'Signing In');

  // The code cannot be read back: the copy takes the empty code and nothing opens.
  let opened = false;
  ctx.on('page', () => (opened = true));
  await page.click('#btnCopyOpen');
  await h.until(async () => (await h.text(page, 'toast')) === 'Code copied. Open the link and approve.', 'toast');
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), '');

  await h.issuer('/test/approve', { user_code: code });
  await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'Logged In');
  assert.equal(await h.text(page, 'flowNote'), 'Signed in to account reload1. The credential file has been written.');
  // After a reload the panel polls at its default period of five seconds. Read from the
  // reloaded document's own timings: a poll that the page sent just before the reload is
  // not among them, however late the reload comes.
  const gap = await page.evaluate(() => {
    const sent = performance.getEntriesByType('resource');
    const status = sent.find((e) => e.name.includes('action=status'));
    const poll = sent.find((e) => e.name.includes('action=poll'));
    return poll.startTime - status.startTime;
  });
  assert.ok(gap >= 4500, `first poll after ${gap} ms`);
  assert.equal(opened, false);
  // Every call is for reload1 but the status of the default account, read for its row in the list.
  assert.ok(calls.every((u) => u.includes('&account=reload1') || u === '/credvane?action=status'), calls.join(' '));
  assert.deepEqual(errors, []);
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
      assert.match(await h.text(page, 'flowNote'), /^Login failed: /);
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
