// theme.test.js: how the page picks, stores and switches its theme, alone and in a frame.
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
});

async function themeState(page) {
  return page.evaluate(() => ({
    theme: document.documentElement.getAttribute('data-theme'),
    stored: localStorage.getItem('bot_theme'),
    embedded: document.documentElement.classList.contains('embedded'),
    button: getComputedStyle(document.getElementById('themeToggle')).display !== 'none',
    bg: getComputedStyle(document.body).backgroundColor,
  }));
}

const bg = { light: 'rgb(245, 245, 247)', dark: 'rgb(0, 0, 0)' };

const picks = [
  { name: 'URL beats storage', query: '?theme=light', stored: 'dark', scheme: 'dark', theme: 'light' },
  { name: 'URL word is case-sensitive', query: '?theme=LIGHT', stored: 'dark', scheme: 'light', theme: 'dark' },
  { name: 'URL word may run on', query: '?theme=lightx', scheme: 'dark', theme: 'light' },
  { name: 'URL after other parameters', query: '?a=1&theme=dark', scheme: 'light', theme: 'dark' },
  { name: 'storage beats the system', query: '', stored: 'light', scheme: 'dark', theme: 'light' },
  { name: 'other stored words are replaced', query: '', stored: 'sepia', scheme: 'dark', theme: 'dark' },
  { name: 'system light', query: '', scheme: 'light', theme: 'light' },
  { name: 'system dark', query: '', scheme: 'dark', theme: 'dark' },
  { name: 'embed=1', query: '?embed=1', scheme: 'dark', theme: 'dark', embedded: true },
  { name: 'embed=true with more', query: '?embed=true&x=1', scheme: 'dark', theme: 'dark', embedded: true },
  { name: 'embed=yes', query: '?embed=yes', scheme: 'dark', theme: 'dark' },
  { name: 'embed=10', query: '?embed=10', scheme: 'dark', theme: 'dark' },
  { name: 'embed=TRUE', query: '?embed=TRUE', scheme: 'dark', theme: 'dark' },
];

for (const c of picks) {
  test(`theme choice: ${c.name}`, async () => {
    const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane' + c.query, {
      colorScheme: c.scheme,
      storage: c.stored ? { bot_theme: c.stored } : undefined,
    });
    const embedded = !!c.embedded;
    assert.deepEqual(await themeState(page), {
      theme: c.theme,
      stored: c.theme,
      embedded,
      button: !embedded,
      bg: bg[c.theme],
    });
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}

test('theme messages, qnApplyTheme and qnTheme', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane', { colorScheme: 'dark' });
  await page.evaluate(() => {
    window.__events = [];
    window.addEventListener('bot-theme', (e) => window.__events.push(e.detail));
  });
  const steps = [
    { send: { type: 'qn-theme', theme: 'light' }, theme: 'light', events: ['light'] },
    { send: { type: 'qn-theme', theme: 'light' }, theme: 'light', events: ['light'] },
    { send: { type: 'qn-theme', theme: 'blue' }, theme: 'light', events: ['light'] },
    { send: { type: 'other', theme: 'dark' }, theme: 'light', events: ['light'] },
    { send: null, theme: 'light', events: ['light'] },
    { send: { type: 'qn-theme', theme: 'dark' }, theme: 'dark', events: ['light', 'dark'] },
  ];
  for (const s of steps) {
    await page.evaluate((m) => window.postMessage(m, '*'), s.send);
    // Messages arrive asynchronously; a marker message sent after the step shows it has run.
    await page.evaluate(
      () =>
        new Promise((resolve) => {
          const done = (e) => {
            if (e.data === 'mark') {
              window.removeEventListener('message', done);
              resolve();
            }
          };
          window.addEventListener('message', done);
          window.postMessage('mark', '*');
        }),
    );
    const got = await page.evaluate(() => [window.qnTheme(), window.__events.slice(), localStorage.getItem('bot_theme')]);
    assert.deepEqual(got, [s.theme, s.events, s.theme], JSON.stringify(s.send));
  }
  await page.evaluate(() => window.qnApplyTheme('light'));
  assert.equal(await page.evaluate(() => window.qnTheme()), 'light');
  await page.evaluate(() => document.documentElement.removeAttribute('data-theme'));
  assert.equal(await page.evaluate(() => window.qnTheme()), 'dark');
  await page.evaluate(() => document.documentElement.setAttribute('data-theme', 'sepia'));
  assert.equal(await page.evaluate(() => window.qnTheme()), 'dark');
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('the theme button switches between light and dark and keeps the choice', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane', { colorScheme: 'dark' });
  const seen = [];
  for (let i = 0; i < 3; i++) {
    await page.click('#themeToggle');
    seen.push((await themeState(page)).theme);
  }
  assert.deepEqual(seen, ['light', 'dark', 'light']);
  await page.reload();
  assert.equal((await themeState(page)).theme, 'light');
  // Keyboard: the button is a real button with a visible focus ring.
  await page.focus('#themeToggle');
  await page.keyboard.press('Enter');
  assert.equal((await themeState(page)).theme, 'dark');
  await page.keyboard.press('Shift+Tab');
  await page.keyboard.press('Tab');
  const ring = await page.evaluate(() => {
    const el = document.activeElement;
    const cs = getComputedStyle(el);
    return [el.id, cs.outlineStyle, cs.outlineWidth];
  });
  assert.deepEqual(ring, ['themeToggle', 'solid', '2px']);
  assert.deepEqual(errors, []);
  await ctx.close();
});

test('a framed panel asks its host for the theme and follows it', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/embed.html?host_theme=light', {
    colorScheme: 'dark',
    storage: { bot_theme: 'dark' },
  });
  const frame = page.frameLocator('#panel');
  await frame.locator('#pillText:not(:text("Checking"))').waitFor();
  const panelTheme = () => frame.locator('html').getAttribute('data-theme');
  await h.until(async () => (await panelTheme()) === 'light', 'host theme');
  assert.equal(await page.locator('body').getAttribute('data-theme-requests'), '1');
  assert.equal(await frame.locator('#themeToggle').isVisible(), false);
  assert.equal(await frame.locator('html').evaluate((e) => e.classList.contains('embedded')), true);
  await page.screenshot({ path: require('node:path').join(env.artifacts, 'screenshots', 'embedded-light.png') });
  await page.click('#hostToggle');
  await h.until(async () => (await panelTheme()) === 'dark', 'host toggle');
  await page.screenshot({ path: require('node:path').join(env.artifacts, 'screenshots', 'embedded-dark.png') });
  assert.deepEqual(errors, []);
  await ctx.close();
});
