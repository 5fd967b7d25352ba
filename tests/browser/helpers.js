// helpers.js: what the browser tests share: the browser, a panel page with its calls recorded,
// the stand-in issuer's test controls, screenshots and the accessibility check.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { chromium } = require('playwright-core');
const { AxeBuilder } = require('@axe-core/playwright');

// tests/browser/run.sh starts the hosts and sets these.
function need(name) {
  const v = process.env[name];
  if (!v) throw new Error(name + ' is not set: run the browser tests through tests/browser/run.sh');
  return v;
}
const env = {
  main: need('CV_URL_MAIN'),
  mainHome: need('CV_HOME_MAIN'),
  pw: need('CV_URL_PW'),
  password: need('CV_PASSWORD'),
  short: need('CV_URL_SHORT'),
  shortHome: need('CV_HOME_SHORT'),
  build: need('CV_BUILD'),
  issuer: need('CV_ISSUER_URL'),
  artifacts: need('CV_ARTIFACTS'),
};

const shotsDir = path.join(env.artifacts, 'screenshots');
fs.mkdirSync(shotsDir, { recursive: true });

// A fresh browser per test file. Playwright starts it on a new, empty profile directory of its
// own, and every context below is a clean profile on top of it.
async function launch() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: [
      '--no-sandbox',
      '--disable-background-networking',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-component-update',
      '--disable-sync',
    ],
  });
}

// Opens a page in its own context. opts: colorScheme, viewport, storage (localStorage values
// set before any script runs), permissions, init (a function run before the page's scripts),
// headers (added to the page's own document request only), reducedMotion, clock (the page's
// clock under the test's control: it runs on until page.clock moves it).
async function openPanel(browser, url, opts = {}) {
  const ctx = await browser.newContext({
    colorScheme: opts.colorScheme || 'dark',
    viewport: opts.viewport || { width: 1000, height: 900 },
    reducedMotion: opts.reducedMotion || 'no-preference',
    permissions: opts.permissions || [],
  });
  if (opts.storage) {
    await ctx.addInitScript((values) => {
      // Only on the first load of each origin, so the page's own writes survive a reload.
      if (sessionStorage.getItem('__seeded')) return;
      sessionStorage.setItem('__seeded', '1');
      for (const [k, v] of Object.entries(values)) localStorage.setItem(k, v);
    }, opts.storage);
  }
  if (opts.init) await ctx.addInitScript(opts.init);
  if (opts.clock) await ctx.clock.install();
  const page = await ctx.newPage();
  const calls = [];
  const sent = []; // the X-Bot-Password header of each call, in the order of calls
  const errors = [];
  page.on('request', (r) => {
    const u = new URL(r.url());
    if (u.searchParams.has('action')) {
      calls.push(u.pathname + u.search);
      sent.push(r.headers()['x-bot-password']);
    }
  });
  page.on('pageerror', (e) => errors.push(e.message));
  // The page carries a Content-Security-Policy: anything it refuses, or a directive it
  // ignores, is an error of the page like an uncaught exception.
  page.on('console', (m) => {
      if (/Content Security Policy/i.test(m.text())) errors.push(m.text());
  });
  if (opts.headers) {
    await page.route(
      (u) => u.href === new URL(url).href,
      (route) => route.continue({ headers: { ...route.request().headers(), ...opts.headers } }),
    );
  }
  await page.goto(url);
  return { ctx, page, calls, sent, errors };
}

// Waits until the first status reply has been drawn.
async function loaded(page) {
  await page.waitForFunction(() => document.getElementById('pillText').textContent !== 'Checking');
}

async function text(page, id) {
  return (await page.locator('#' + id).textContent()).trim();
}

// How much of the remaining-time bar the green fill covers, as the panel set it ("83%"): the fill
// is as wide as the bar and slid left by the part that is not covered.
async function fillShown(page) {
  const t = await page.locator('#fill').evaluate((e) => e.style.transform);
  const m = /^translateX\((-?\d+)%\)$/.exec(t);
  return m ? 100 + Number(m[1]) + '%' : 'unexpected transform: ' + t;
}

// Polls fn until it returns a truthy value. The limit only ends a run that is broken; it is no
// measure of how fast anything must be.
async function until(fn, what = 'condition', ms = 60000) {
  if (typeof what !== 'string') throw new TypeError('until(fn, what): what names the condition');
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, 100));
  }
}

// One test control of the stand-in issuer that the hosts' login CLI signs in at: approve, deny
// or expire a code ({user_code}), or change what it issues next (/test/config).
async function issuer(control, body) {
  const r = await fetch(env.issuer + control, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  });
  const v = await r.json();
  if (!r.ok) throw new Error(`${control}: ${r.status} ${JSON.stringify(v)}`);
  return v;
}

// A named account's credential file, as the login CLI would leave it: unsigned JWTs whose
// "exp" is the given time, and "last_refresh" when given. opts.omit names a member of "tokens"
// to leave out, for a file that the Codex CLI would refuse.
function writeAccount(home, name, exp, lastRefresh, opts = {}) {
  const b64 = (o) => Buffer.from(JSON.stringify(o)).toString('base64url');
  const token = `${b64({ alg: 'none', typ: 'JWT' })}.${b64({ sub: name, exp })}.c2ln`;
  const tokens = { id_token: token, access_token: token, refresh_token: 'rt-' + name, account_id: 'acct-' + name };
  if (opts.omit) delete tokens[opts.omit];
  const file = { tokens };
  if (lastRefresh) file.last_refresh = new Date(lastRefresh * 1000).toISOString().replace(/\.\d+Z$/, 'Z');
  const dir = path.join(home, '.codex', 'accounts');
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, name + '.json'), JSON.stringify(file, null, 2) + '\n', { mode: 0o600 });
}

// Every reply of the node that the tests read directly goes through the same route as the page.
async function nodeJson(base, query) {
  const r = await fetch(base.replace(/\/credvane.*$/, '') + '/credvane?' + query);
  return r.json();
}

async function setTheme(page, theme) {
  await page.evaluate((t) => window.qnApplyTheme(t), theme);
  assert.equal(await page.evaluate(() => document.documentElement.getAttribute('data-theme')), theme);
}

const a11yLog = [];

// No serious or critical finding of axe in the page as it stands.
async function checkA11y(page, label) {
  // Judge the settled state: no colour or position still on its way (a theme switch moves the
  // buttons' colours for a moment). The endless spinners are animations, not transitions.
  await page.waitForFunction(() =>
    document.getAnimations().every((a) => !(a instanceof CSSTransition) || a.playState !== 'running'));
  // Run in the page itself: the default gathers each frame's results in a blank page of its
  // own, which costs a page per check and more than doubles the time, and the panel has no
  // frames to gather.
  const res = await new AxeBuilder({ page })
    .withTags(['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa', 'best-practice'])
    .setLegacyMode()
    .analyze();
  const bad = res.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical');
  a11yLog.push({
    state: label,
    violations: res.violations.map((v) => ({ id: v.id, impact: v.impact, nodes: v.nodes.length })),
    passes: res.passes.length,
  });
  assert.deepEqual(
    bad.map((v) => v.id + ' (' + v.impact + '): ' + v.nodes.map((n) => n.target.join(' ')).join(', ')),
    [],
    'accessibility findings in ' + label,
  );
}

// Screenshots and an accessibility check of the state on screen, on a phone (390 px) and a
// desktop (1280 px) in both themes; the page is left in the theme and size it had.
const widths = [
  { width: 390, height: 844 },
  { width: 1280, height: 900 },
];
async function captureBoth(page, name) {
  const before = await page.evaluate(() => window.qnTheme());
  const size = page.viewportSize();
  for (const vp of widths) {
    await page.setViewportSize(vp);
    for (const theme of ['dark', 'light']) {
      await setTheme(page, theme);
      await page.screenshot({
        path: path.join(shotsDir, `${name}-${vp.width}-${theme}.png`),
        fullPage: true,
        animations: 'disabled',
      });
      await checkA11y(page, `${name} (${vp.width} px, ${theme})`);
    }
  }
  await page.setViewportSize(size);
  await setTheme(page, before);
}

function saveA11yLog(file) {
  fs.writeFileSync(path.join(env.artifacts, file), JSON.stringify(a11yLog, null, 2) + '\n');
}

module.exports = {
  env,
  launch,
  openPanel,
  loaded,
  text,
  fillShown,
  until,
  issuer,
  writeAccount,
  nodeJson,
  setTheme,
  checkA11y,
  captureBoth,
  saveA11yLog,
};
