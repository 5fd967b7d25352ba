// access.test.js: how the panel reaches the node: the node password, the hub route, storage
// that throws, and the narrow layout.
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
  h.saveA11yLog('a11y-access.json');
});

// The password host serves the page only to a request with the right password, so the page's
// own request always carries it; what the panel then sends is the case under test.
const pw = env.password;
const passwords = [
  { name: 'a stale password stored for the node', query: '?node=n1', storage: { bot_pwd_n1: 'stale' }, sent: 'stale', changed: true },
  { name: 'a stale active password', query: '', storage: { bot_active_pwd: 'stale' }, sent: 'stale', changed: true },
  { name: 'a wrong page parameter', query: '?pwd=stale', storage: {}, sent: 'stale' },
  { name: 'no password at all', query: '', storage: {}, sent: '' },
  { name: 'the page parameter', query: '?pwd=' + pw, storage: { bot_active_pwd: 'stale' }, sent: pw },
  {
    name: "the node's password before the active one",
    query: '?node=n1',
    storage: { bot_pwd_n1: pw, bot_active_pwd: 'stale' },
    sent: pw,
  },
];

for (const c of passwords) {
  test(`node password: ${c.name}`, async () => {
    const { ctx, page, calls, sent, errors } = await h.openPanel(browser, env.pw + '/credvane' + c.query, {
      storage: c.storage,
      headers: { 'X-Bot-Password': pw },
    });
    await h.loaded(page);
    // The direct route carries the password in the header only: a query lands in access logs.
    const expected = '/credvane?action=status' + (c.query.includes('node=') ? '&node=n1' : '');
    assert.equal(calls[0], expected);
    assert.equal(sent[0], c.sent || undefined);
    if (c.sent === pw) {
      assert.equal(await h.text(page, 'pillText'), 'Not Connected');
      assert.equal(await h.text(page, 'sessionLead'), 'No Codex session on this node yet. Press Start Codex Login to begin.');
      assert.equal(await page.locator('#gate').isVisible(), false);
    } else {
      // Refused: the panel asks for the password and shows nothing of the node.
      assert.equal(await h.text(page, 'pillText'), 'Password needed');
      assert.equal(await page.locator('#pwdInput').isVisible(), true);
      // A stored password was the node's once: it has changed. One in the address was mistyped.
      const why = !c.sent ? '' : c.changed ? "The node's password has changed; enter it again." : 'That password was not accepted.';
      assert.equal(await h.text(page, 'gateNote'), why);
      assert.equal(await h.text(page, 'sessionNote'), '');
      if (c.sent) assert.equal(await h.text(page, 'alert'), why);
      if (c.changed && c.query) await h.captureBoth(page, 'wrong-password');
    }
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}

test('the hub route carries plugin, node and id, and the panel works through it', async () => {
  const { ctx, page, calls, errors } = await h.openPanel(browser, env.main + '/plugins?plugin=codex&node=n1&id=7');
  await h.loaded(page);
  assert.equal(calls[0], '/plugins?plugin=codex&action=status&node=n1&id=7');
  const work = page.locator('.acct', { has: page.locator('.nm:text-is("work")') });
  await work.getByRole('button', { name: 'Select' }).click();
  await h.until(async () => (await h.text(page, 'pillText')) === 'Logged In', 'Logged In');
  // The default account's row is read as well (without account=), to show its state.
  assert.ok(calls.includes('/plugins?plugin=codex&action=status&account=work&node=n1&id=7'), calls.join(' '));
  assert.ok(calls.every((u) => u.includes('&node=n1&id=7')), calls.join(' '));
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('storage that throws: the panel and its theme still work', async () => {
  const { ctx, page, calls, errors } = await h.openPanel(browser, env.main + '/credvane?node=n1', {
    colorScheme: 'light',
    init: () => {
      Object.defineProperty(window, 'localStorage', {
        get() {
          throw new DOMException('storage is off', 'SecurityError');
        },
      });
    },
  });
  await h.loaded(page);
  assert.equal(calls[0], '/credvane?action=status&node=n1');
  assert.doesNotMatch(await h.text(page, 'sessionNote'), /^(Error|Request failed)/);
  assert.equal(await page.locator('#session > *').count(), 22);
  assert.equal(await page.evaluate(() => window.qnTheme()), 'light');
  const events = await page.evaluate(() => {
    let n = 0;
    window.addEventListener('bot-theme', () => n++);
    document.getElementById('themeToggle').click();
    return [window.qnTheme(), n];
  });
  assert.deepEqual(events, ['dark', 1]);
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('the narrow layout at 320 px', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane?account=narrow1', {
    viewport: { width: 320, height: 900 },
  });
  await h.loaded(page);
  await page.click('#btnStartLogin');
  await page.waitForFunction(() => document.getElementById('userCode').textContent !== '--');
  const look = await page.evaluate(() => {
    const cs = (id) => getComputedStyle(document.getElementById(id));
    return {
      columns: cs('session').gridTemplateColumns.split(' ').length,
      code: cs('userCode').fontSize,
      spacing: cs('userCode').letterSpacing,
      overflow: document.documentElement.scrollWidth - window.innerWidth,
    };
  });
  assert.deepEqual(look, { columns: 1, code: '22px', spacing: '2.2px', overflow: 0 });
  await h.captureBoth(page, 'narrow-320');
  await page.click('#btnCancel');
  await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');
  assert.deepEqual(errors, []);
  await ctx.close();
});

// The bar measures the time left against the token's own window, from its last refresh to its
// expiry, or against one hour when that window is unknown; a day at most.
const bars = [
  { name: 'bar-window', exp: 3000, refreshed: -600, width: '83%', cls: 'bar' },
  { name: 'bar-late', exp: 300, refreshed: -3300, width: '8%', cls: 'bar warn' },
  { name: 'bar-hour', exp: 1800, refreshed: null, width: '50%', cls: 'bar' },
  { name: 'bar-long', exp: 7 * 86400, refreshed: -86400, width: '100%', cls: 'bar' },
  { name: 'bar-floor', exp: 30, refreshed: -86000, width: '2%', cls: 'bar warn' },
  { name: 'bar-expired', exp: -60, refreshed: -3660, width: '0%', cls: 'bar err' },
];

// Each file is written again, against the clock of that moment, just before its row is
// selected: the figures are then seconds old when drawn, however slow the machine.
function writeBar(c) {
  const now = Math.floor(Date.now() / 1000);
  h.writeAccount(env.shortHome, c.name, now + c.exp, c.refreshed === null ? 0 : now + c.refreshed);
}

test('the remaining-time bar', async () => {
  for (const c of bars) writeBar(c);
  const { ctx, page, errors } = await h.openPanel(browser, env.short + '/credvane');
  await h.loaded(page);
  for (const c of bars) {
    const row = page.locator('.acct', { has: page.locator(`.nm:text-is("${c.name}")`) });
    writeBar(c);
    await row.getByRole('button', { name: 'Select' }).click();
    await h.until(async () => (await h.text(page, 'sub')) === 'account: ' + c.name &&
      (await page.locator('#session dd').first().textContent()) === c.name, c.name);
    const got = { width: await h.fillShown(page), cls: await page.locator('#bar').getAttribute('class') };
    assert.deepEqual(got, { width: c.width, cls: c.cls }, c.name);
  }
  assert.deepEqual(errors, []);
  await ctx.close();
});
