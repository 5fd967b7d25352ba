// person.test.js: the panel as a person meets it: getting in on a node with a password, what
// the panel says in each state, the flow on a phone, the choice of account, and what browsers
// and checkers look for in a page.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./helpers');

const { env } = h;
const pw = env.password;
let browser;

before(async () => {
  browser = await h.launch();
});
after(async () => {
  await browser.close();
  h.saveA11yLog('a11y-person.json');
});

const phone = { width: 390, height: 844 };

function visible(page, id) {
  return page.locator('#' + id).isVisible();
}

// Serves the given reply to every call of one action, in place of the node's.
async function answer(page, action, reply) {
  await page.route(
    (u) => u.searchParams.get('action') === action,
    (route) => route.fulfill({ status: 200, contentType: 'application/json', body: JSON.stringify(reply) }),
  );
}

test('a browser without the password gets a page that asks for it, and the tab keeps it', async () => {
  const ctx = await browser.newContext({ viewport: phone, colorScheme: 'dark' });
  const page = await ctx.newPage();
  const calls = [];
  page.on('request', (r) => {
    const u = new URL(r.url());
    if (u.searchParams.has('action')) calls.push({ url: u.pathname + u.search, pwd: r.headers()['x-bot-password'] });
  });
  const res = await page.goto(env.pw + '/credvane');
  assert.equal(res.status(), 401);
  assert.match(res.headers()['content-type'], /^text\/html/);
  await h.until(async () => (await h.text(page, 'pillText')) === 'Password needed', 'the password form');
  assert.equal(await visible(page, 'pwdInput'), true);
  assert.equal(await page.evaluate(() => document.activeElement.id), 'pwdInput');
  assert.equal(await h.text(page, 'session'), '');
  await h.captureBoth(page, 'password-needed');

  await page.fill('#pwdInput', 'wrong');
  await page.press('#pwdInput', 'Enter');
  await h.until(async () => (await h.text(page, 'gateNote')) === 'That password was not accepted.', 'refusal');
  await page.fill('#pwdInput', pw);
  await page.click('#btnUnlock');
  await h.until(async () => (await h.text(page, 'pillText')) === 'Not Connected', 'unlocked');
  assert.equal(await visible(page, 'gate'), false);
  assert.equal(calls[calls.length - 1].pwd, pw);
  assert.ok(calls.every((c) => !c.url.includes('pwd=')), calls.map((c) => c.url).join(' '));

  // A reload of the tab needs no typing again; another tab asks once more.
  calls.length = 0;
  await page.reload();
  await h.until(async () => (await h.text(page, 'pillText')) === 'Not Connected', 'reloaded');
  assert.equal(await visible(page, 'gate'), false);
  assert.deepEqual(calls.map((c) => c.pwd), [pw]);
  const other = await ctx.newPage();
  await other.goto(env.pw + '/credvane');
  await h.until(async () => (await h.text(other, 'pillText')) === 'Password needed', 'second tab');
  await ctx.close();
});

test('the hub route still carries the password in the query, since a hub may forward only that', async () => {
  const { ctx, page, calls, sent, errors } = await h.openPanel(browser, env.pw + '/plugins?plugin=codex&pwd=' + pw, {
    headers: { 'X-Bot-Password': pw },
  });
  await h.loaded(page);
  assert.equal(calls[0], '/plugins?plugin=codex&action=status&pwd=' + pw);
  assert.equal(sent[0], pw);
  assert.equal(await h.text(page, 'pillText'), 'Not Connected');
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('the panel calls its own path, wherever the host mounts it', async () => {
  const { ctx, page, calls, errors } = await h.openPanel(browser, env.main + '/tools/codex-login?account=work');
  await h.loaded(page);
  assert.equal(calls[0], '/tools/codex-login?action=status&account=work');
  assert.equal(await h.text(page, 'pillText'), 'Logged In');
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('a node with no password says what any web page could do to it', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane', { viewport: phone });
  await h.loaded(page);
  assert.equal(await visible(page, 'gate'), true);
  assert.equal(await page.locator('#gate').getAttribute('class'), 'card gate warn');
  assert.equal(await visible(page, 'pwdForm'), false);
  const text = await h.text(page, 'gateLead');
  assert.match(text, /any web page that its visitors open can start, cancel or refresh a sign-in here, or sign the node out\./);
  assert.match(text, /by DNS rebinding, a site points its own name at this node, .* To keep other sites out:$/);
  assert.equal(await visible(page, 'gateFixes'), true);
  assert.match(await h.text(page, 'gateFixes'), /set BOT_PASSWORD in the environment/);
  await h.captureBoth(page, 'no-password');
  assert.deepEqual(errors, []);
  await ctx.close();
});

// The states a status reply can put the panel in, each with what it must say and offer. The
// replies are served in place of the node's, so each state needs no node of its own.
const base = {
  ok: true, state: 'done', logged_in: false, expires_at: 0, expires_in_sec: 0, expired: false,
  has_refresh: false, account: '', pending: false, pending_age_sec: -1, last_refresh: 0,
  account_id: '', cli_present: true, credentials_path: '/home/ops/.codex/auth.json', profile: '',
  profile_exists: false, named_accounts: false, api_key_present: false, cli_error: '', accounts: [],
};
const now = Math.floor(Date.now() / 1000);
const signedIn = { logged_in: true, account: 'default', expires_at: now + 3000, expires_in_sec: 3000, account_id: 'acct-1' };
const states = [
  {
    name: 'not-signed-in',
    reply: {},
    pill: 'Not Connected',
    count: 'No Codex session',
    lead: /^No Codex session on this node yet\. Press Start Codex Login to begin\.$/,
    note: '',
    buttons: ['btnStartLogin'],
    idle: 'No login in progress. Press Start Codex Login above to begin.',
  },
  {
    name: 'cli-missing',
    reply: { cli_present: false, cli_error: 'the login CLI is not on this node' },
    pill: 'Not Connected',
    note: /^QUENLO CODE is not on this node: the login and refresh CLIs cannot be run here\. Install QUENLO CODE, or set CODEX_LOGIN_BIN and CODEX_REFRESH_BIN/,
    buttons: ['btnStartLogin'],
  },
  {
    name: 'cli-missing-configured',
    reply: { cli_present: false, cli_error: 'the login CLI is not on this node (CODEX_LOGIN_BIN is /opt/codex/login)' },
    note: /CODEX_LOGIN_BIN names \/opt\/codex\/login, which is not there or cannot be run/,
  },
  {
    name: 'cli-hung',
    reply: { cli_present: false, cli_error: 'the login CLI timed out (/usr/bin/quenlo-codex-login)' },
    note: /^The login CLI did not answer in time \(\/usr\/bin\/quenlo-codex-login\)\. It is installed but hangs/,
    notNote: /install QUENLO/i,
  },
  {
    name: 'cli-garbage',
    reply: { cli_error: 'the login CLI printed no JSON line (/opt/bin/other-tool)' },
    note: /^The login CLI at \/opt\/bin\/other-tool runs but printed no JSON answer/,
    notNote: /install QUENLO/i,
  },
  {
    name: 'api-key',
    reply: { api_key_present: true },
    pill: 'API key',
    count: 'API key configured',
    lead: /uses an API key on this node/,
    note: /^An API key is configured for Codex here\. A device login would replace it/,
    buttons: ['btnRelogin'],
    idle: 'No login in progress. Press Re-login (replace) above to sign in again; it replaces what is stored.',
  },
  {
    name: 'signed-in-no-refresh-token',
    reply: signedIn,
    pill: 'Logged In',
    count: '50 min remaining',
    lead: /^Codex is signed in on this node \(the default account\)\.$/,
    note: '',
    buttons: ['btnRelogin'],
    idle: 'No login in progress. Press Re-login (replace) above to sign in again; it replaces what is stored.',
  },
  {
    name: 'expired-no-refresh-token',
    reply: { ...signedIn, expires_at: now - 60, expires_in_sec: -60, expired: true },
    pill: 'Expired',
    count: 'Token expired',
    note: 'The token has expired and no refresh token is stored: sign in again with Re-login (replace).',
    buttons: ['btnRelogin'],
  },
  {
    name: 'expired-with-refresh-token',
    reply: { ...signedIn, expires_at: now - 60, expires_in_sec: -60, expired: true, has_refresh: true },
    note: 'The token has expired. Press Refresh Token Now, or sign in again.',
    buttons: ['btnRefresh', 'btnRelogin'],
  },
];

for (const c of states) {
  test(`what the panel says: ${c.name}`, async () => {
    const { ctx, page, errors } = await h.openPanel(browser, 'about:blank');
    await answer(page, 'status', { ...base, ...c.reply });
    await page.goto(env.main + '/credvane');
    await h.loaded(page);
    if (c.pill) assert.equal(await h.text(page, 'pillText'), c.pill);
    if (c.count) assert.equal(await h.text(page, 'count'), c.count);
    if (c.lead) assert.match(await h.text(page, 'sessionLead'), c.lead);
    const note = await h.text(page, 'sessionNote');
    if (c.note instanceof RegExp) {
      assert.match(note, c.note);
      assert.equal(await page.locator('#sessionNote').getAttribute('class'), 'note show warn');
    } else if (c.note !== undefined) {
      assert.equal(note, c.note);
    }
    if (c.notNote) assert.doesNotMatch(note, c.notNote);
    if (c.buttons) {
      const shown = [];
      for (const id of ['btnRefresh', 'btnStartLogin', 'btnRelogin']) {
        if (await visible(page, id)) shown.push(id);
      }
      assert.deepEqual(shown, c.buttons);
    }
    if (c.idle) assert.equal(await h.text(page, 'idleText'), c.idle);
    await h.captureBoth(page, 'state-' + c.name);
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}

test('a failed status call leaves nothing on screen that it can no longer vouch for', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane?account=work');
  await h.loaded(page);
  assert.equal(await h.text(page, 'pillText'), 'Logged In');
  const statuses = (u) => u.searchParams.get('action') === 'status';
  await page.route(statuses, (route) => route.abort());
  await page.click('#btnReload');
  // The browser's own words for a failed fetch mean nothing to a person; the panel says what
  // it does about it.
  await h.until(async () => (await h.text(page, 'sessionNote')) === "Can't reach the node; retrying\u2026", 'the failure');
  assert.equal(await h.text(page, 'pillText'), 'Not Connected');
  assert.equal(await h.text(page, 'count'), '-');
  assert.equal(await h.fillShown(page), '0%');
  // Nothing is offered on the strength of the last answer either; Reload stays.
  for (const id of ['btnRefresh', 'btnStartLogin', 'btnRelogin', 'btnSignOut']) {
    assert.equal(await page.locator('#' + id).isVisible(), false, id);
  }
  assert.equal(await h.text(page, 'idleText'), '');
  assert.equal(await page.locator('#btnReload').isVisible(), true);
  // The accounts are still there to choose from, without the states of the lost answer.
  const tags = page.locator('#accounts .acct .tag');
  assert.ok((await tags.count()) >= 2);
  assert.deepEqual([...new Set(await tags.allTextContents())], ['']);
  await h.captureBoth(page, 'no-answer');
  // The node back: its answer brings them back.
  await page.unroute(statuses);
  await page.click('#btnReload');
  await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'the node back');
  assert.equal(await page.locator('#btnSignOut').isVisible(), true);
  assert.match(await h.text(page, 'idleText'), /^No login in progress\./);
  assert.match(await page.locator('#accounts .acct.on .tag').textContent(), /^valid, /);
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('a poll error goes away once the node answers again', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane?account=pollerr1');
  await h.loaded(page);
  const polls = (u) => u.searchParams.get('action') === 'poll';
  await page.route(polls, (route) => route.abort());
  await page.click('#btnStartLogin');
  await h.until(async () => (await h.text(page, 'flowNote')) === "Can't reach the node; retrying.", 'a failed poll');
  await h.captureBoth(page, 'poll-unreachable');
  await page.unroute(polls);
  await h.until(async () => (await h.text(page, 'flowNote')) === '', 'the note cleared', 20000);
  assert.equal(await h.text(page, 'pollLabel'), 'Waiting for authorization in browser...');
  await page.click('#btnCancel');
  await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('on a phone: the code comes into view with the focus on Copy, only Cancel while open, then Start again', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane?account=phone1', {
    viewport: phone,
    reducedMotion: 'reduce',
  });
  await h.loaded(page);
  await page.click('#btnStartLogin');
  await page.waitForFunction(() => document.getElementById('userCode').textContent !== '--');
  const inView = () =>
    page.evaluate(() => {
      const r = document.getElementById('codeBox').getBoundingClientRect();
      return r.top >= 0 && r.bottom <= window.innerHeight;
    });
  await h.until(inView, 'the code in view');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'btnCopyOpen');
  // A second start would replace the code on screen without a word: it is not offered.
  await h.until(async () => (await h.text(page, 'pillText')) === 'Signing In', 'Signing In');
  assert.equal(await visible(page, 'btnStartLogin'), false);
  assert.equal(await visible(page, 'btnRelogin'), false);
  assert.equal(await h.text(page, 'sessionLead'), 'A device login is open: approve its code in the Device flow below.');
  assert.equal(await h.text(page, 'qrCaption'), 'Scan with a phone to open the sign-in page there.');
  await h.captureBoth(page, 'phone-code-shown');
  await page.click('#btnCancel');
  await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');
  await h.until(async () => page.evaluate(() => document.activeElement.id === 'btnStartLogin'), 'focus on Start');
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('the first answer moves nothing on a phone (cumulative layout shift)', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane', {
    viewport: phone,
    init: () => {
      window.__shift = 0;
      new PerformanceObserver((list) => {
        for (const e of list.getEntries()) if (!e.hadRecentInput) window.__shift += e.value;
      }).observe({ type: 'layout-shift', buffered: true });
    },
  });
  await h.loaded(page);
  await page.waitForSelector('.acct .nm:text-is("work")');
  // Two frames after the last change, so that every shift has been reported.
  await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
  const shift = await page.evaluate(() => window.__shift);
  assert.ok(shift < 0.05, `cumulative layout shift ${shift}`);
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('accounts: the default is listed, the choice is shown and kept in the address', async () => {
  const { ctx, page, calls, errors } = await h.openPanel(browser, env.main + '/credvane?theme=dark');
  await h.loaded(page);
  const row = (name) => page.locator('.acct', { has: page.locator(`.nm:text-is("${name}")`) });
  await h.until(async () => (await row('work').count()) === 1, 'the account list');
  assert.equal(await row('Default account').getAttribute('aria-current'), 'true');
  await row('work').getByRole('button', { name: 'Select' }).click();
  await h.until(async () => (await row('work').getAttribute('aria-current')) === 'true', 'work selected');
  assert.equal(new URL(page.url()).search, '?theme=dark&account=work');
  assert.equal(await row('Default account').getAttribute('aria-current'), null);
  await h.captureBoth(page, 'account-selected');

  await page.reload();
  await h.loaded(page);
  assert.equal(await h.text(page, 'sub'), 'account: work');
  await h.until(async () => (await row('work').getAttribute('aria-current')) === 'true', 'work still selected');

  await row('Default account').getByRole('button', { name: 'Select Default account' }).click();
  await h.until(async () => calls[calls.length - 1] === '/credvane?action=status', 'the default account');
  assert.equal(new URL(page.url()).search, '?theme=dark');
  assert.equal(await h.text(page, 'sub'), 'Device code login on this node');
  assert.deepEqual(errors, []);
  await ctx.close();
});

// A start reply's interval is held to 1 s .. 1 h: unheld, a huge one would wrap the timer to zero.
const intervals = [
  { interval: 1e10, ms: 3600000 },
  { interval: 0.2, ms: 1000 },
  { interval: 7, ms: 7000 },
  { interval: null, ms: 5000 },
];

for (const c of intervals) {
  test(`the poll period for an interval of ${c.interval}`, async () => {
    const { ctx, page, errors } = await h.openPanel(browser, 'about:blank', {
      init: () => {
        const real = window.setInterval;
        window.__periods = [];
        window.setInterval = function (fn, ms, ...rest) {
          if (fn && fn.name === 'pollOnce') window.__periods.push(ms);
          return real.call(window, fn, ms, ...rest);
        };
      },
    });
    const reply = { ok: true, flow: 'device_code', verify_url: env.main + '/device?code=ABCD-EFGH', user_code: 'ABCD-EFGH', expires_in: 900, pending: true };
    if (c.interval !== null) reply.interval = c.interval;
    await answer(page, 'start', reply);
    await answer(page, 'status', base);
    await page.goto(env.main + '/credvane?account=interval1');
    await h.loaded(page);
    await page.evaluate(() => (window.__periods.length = 0));
    await page.click('#btnStartLogin');
    await h.until(async () => (await h.text(page, 'userCode')) === 'ABCD-EFGH', 'the code');
    assert.deepEqual(await page.evaluate(() => window.__periods), [c.ms]);
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}

test('what browsers and checkers look for: title, description, icon, caption, colours', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane?account=look1');
  const missing = [];
  page.on('response', (r) => {
    if (r.status() === 404) missing.push(r.url());
  });
  await h.loaded(page);
  assert.equal(await page.title(), 'Codex sign-in - credvane');
  assert.match(await page.locator('meta[name=description]').getAttribute('content'), /device code/);
  assert.match(await page.locator('link[rel=icon]').getAttribute('href'), /^data:image\/svg\+xml,/);
  await page.click('#btnStartLogin');
  await page.waitForSelector('#verifyQr:not([hidden])');
  for (const theme of ['dark', 'light']) {
    await h.setTheme(page, theme);
    const look = await page.evaluate(() => {
      const probe = document.createElement('p');
      probe.className = 'note show warn';
      probe.textContent = 'x';
      document.querySelector('main').appendChild(probe);
      const warn = getComputedStyle(probe).color;
      probe.remove();
      // Text over a see-through background has no contrast that anyone can vouch for.
      const seeThrough = [];
      for (const el of document.querySelectorAll('body *')) {
        const m = /rgba\([^)]*,\s*([\d.]+)\)/.exec(getComputedStyle(el).backgroundColor);
        if (m && +m[1] > 0 && +m[1] < 1 && el.offsetParent !== null) seeThrough.push(el.id || el.className || el.tagName);
      }
      return { warn, text: getComputedStyle(document.body).color, seeThrough };
    });
    assert.notEqual(look.warn, look.text, theme);
    assert.deepEqual(look.seeThrough, [], theme);
  }
  await page.click('#btnCancel');
  await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');
  assert.deepEqual(missing, []);
  assert.deepEqual(errors, []);
  await ctx.close();
});
