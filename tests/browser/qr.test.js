// qr.test.js: the verification link's QR code in the device-flow card, read back from
// screenshots of the panel by zbarimg as a phone's reader would.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const h = require('./helpers');
const { zbarRead } = require('../panel/qr-decode');

const { env } = h;
const origin = new URL(env.main).origin;
const shotsDir = path.join(env.artifacts, 'screenshots');
const NAME = 'QR code of the verification link';
let browser;

before(async () => {
  browser = await h.launch();
});
after(async () => {
  await browser.close();
  h.saveA11yLog('a11y-qr.json');
});

async function startFlow(page) {
  await page.click('#btnStartLogin');
  await page.waitForFunction(() => document.getElementById('userCode').textContent !== '--');
  await page.waitForFunction(() => document.getElementById('pillText').textContent === 'Signing In');
  return h.text(page, 'userCode');
}

// The start answer as the node gives it, but with another verification link.
async function linkInStart(page, verifyUrl) {
  await page.route(
    (u) => u.searchParams.get('action') === 'start',
    async (route) => {
      const response = await route.fetch();
      const json = { ...(await response.json()), verify_url: verifyUrl };
      await route.fulfill({ response, json });
    },
  );
}

// What zbarimg reads in a screenshot of the whole page.
async function scan(page, name) {
  const file = path.join(shotsDir, name + '.png');
  await page.screenshot({ path: file, fullPage: true, animations: 'disabled' });
  return zbarRead(file);
}

// A narrow screen keeps the code behind its button until asked; a wide one shows it at once.
async function openQr(page) {
  if (!(await page.locator('#btnQr').isVisible())) return;
  assert.equal(await page.locator('#verifyQr').isVisible(), false, 'the QR code before it was asked for');
  await page.click('#btnQr');
  assert.equal(await page.locator('#btnQr').getAttribute('aria-expanded'), 'true');
  assert.equal(await page.locator('#verifyQr').isVisible(), true, 'the QR code once asked for');
}

async function qrShown(page) {
  return page.evaluate(() => {
    const box = document.getElementById('verifyQr');
    return !box.hidden && box.querySelectorAll('svg').length === 1;
  });
}

// The code as drawn: its size on the page, and from a screenshot of it, the lightest pixel
// of the four-module quiet zone (its outermost pixel aside) and the darkest of the finder
// pattern's centre.
async function drawn(ctx, page) {
  const svg = page.locator('#verifyQr svg');
  const box = await svg.boundingBox();
  const modules = await svg.evaluate((e) => Number(e.getAttribute('viewBox').split(' ')[2]));
  const png = (await svg.screenshot({ animations: 'disabled' })).toString('base64');
  // A blank page of its own, so the panel's content policy has no say over the data: image.
  const scratch = await ctx.newPage();
  const tones = await scratch.evaluate(
    async ({ png, modules }) => {
      const img = new Image();
      img.src = 'data:image/png;base64,' + png;
      await img.decode();
      const canvas = document.createElement('canvas');
      canvas.width = img.width;
      canvas.height = img.height;
      const g = canvas.getContext('2d');
      g.drawImage(img, 0, 0);
      const px = g.getImageData(0, 0, img.width, img.height).data;
      const unit = img.width / modules;
      const grey = (x, y) => {
        const i = (y * img.width + x) * 4;
        return Math.min(px[i], px[i + 1], px[i + 2]);
      };
      let quietMin = 255;
      let finderMax = 0;
      for (let y = 1; y < img.height - 1; y++) {
        for (let x = 1; x < img.width - 1; x++) {
          const mx = x / unit, my = y / unit;
          const inner = mx >= 4 && my >= 4 && mx < modules - 4 && my < modules - 4;
          if (!inner && Math.min(mx, my, modules - mx, modules - my) < 4 - 1 / unit) quietMin = Math.min(quietMin, grey(x, y));
          // The finder pattern's 3 x 3 centre: modules 2 to 4 from the symbol's top left corner.
          if (mx >= 6.2 && mx < 8.8 && my >= 6.2 && my < 8.8) finderMax = Math.max(finderMax, grey(x, y));
        }
      }
      return { quietMin, finderMax };
    },
    { png, modules },
  );
  await scratch.close();
  return { width: box.width, height: box.height, ...tones };
}

for (const width of [1000, 400]) {
  test(`the QR code reads back as the link, both themes, ${width} px wide`, async () => {
    const { ctx, page, errors } = await h.openPanel(browser, `${env.main}/credvane?account=qr${width}`, {
      viewport: { width, height: 900 },
    });
    await h.loaded(page);
    assert.equal(await qrShown(page), false);
    await startFlow(page);
    assert.equal(await page.locator('#btnQr').isVisible(), width <= 520, 'the QR button');
    await openQr(page);
    const href = env.issuer + '/codex/device';
    assert.equal(await page.locator('#verifyUrl a').getAttribute('href'), href);
    for (const theme of ['dark', 'light']) {
      await h.setTheme(page, theme);
      assert.equal(await scan(page, `qr-${width}-${theme}`), href, theme);
      const look = await drawn(ctx, page);
      assert.equal(look.width, look.height);
      assert.ok(look.width >= 160, `${look.width} px`);
      // Dark on light in either theme: the quiet zone is white and the finder black.
      assert.ok(look.quietMin >= 250, `quiet zone ${look.quietMin}`);
      assert.ok(look.finderMax <= 5, `finder ${look.finderMax}`);
      assert.equal(await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth), 0);
      await h.checkA11y(page, `qr ${width} (${theme})`);
    }
    // An image with its text alternative, and no stop for the keyboard.
    assert.equal(await page.getByRole('img', { name: NAME }).count(), 1);
    const focused = [];
    for (let i = 0; i < 20; i++) {
      await page.keyboard.press('Tab');
      focused.push(await page.evaluate(() => document.activeElement.closest('#verifyQr') !== null));
    }
    assert.deepEqual(focused.filter(Boolean), []);

    await page.click('#btnCancel');
    await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');
    assert.equal(await qrShown(page), false);
    assert.equal(await page.locator('#qrImage').innerHTML(), '');
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}

// Links the login CLI never gives, put into the start answer.
const long = (n) => (origin + '/device?code=ABCD-EFGH&pad=').padEnd(n, 'p');
const links = [
  { name: 'not ASCII', url: `${origin}/ger\u00e4t/\u043a\u043e\u0434?code=\u00c4\u00d6\u00dc-1234`, qr: true },
  { name: 'the longest that fits (213 bytes)', url: long(213), qr: true, viewport: { width: 320, height: 900 } },
  { name: 'one byte too long', url: long(214), qr: false },
  { name: 'javascript:', url: 'javascript:alert(1)', qr: false },
  { name: 'ftp:', url: 'ftp://127.0.0.1/device', qr: false },
];

for (const [i, c] of links.entries()) {
  test(`a verification link that is ${c.name}`, async () => {
    const { ctx, page, errors } = await h.openPanel(browser, `${env.main}/credvane?account=qrlink${i}`, {
      viewport: c.viewport,
    });
    await linkInStart(page, c.url);
    await h.loaded(page);
    await startFlow(page);
    assert.equal(await h.text(page, 'verifyUrl'), c.url);
    assert.equal(await qrShown(page), c.qr);
    if (c.qr) {
      await openQr(page);
      assert.equal(await scan(page, `qr-link-${i}`), c.url);
      assert.equal(await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth), 0);
      const look = await drawn(ctx, page);
      assert.ok(look.width >= 160 && look.width <= page.viewportSize().width - 40, `${look.width} px`);
    } else {
      // Nothing takes its place, and nothing is said about it.
      assert.equal(await page.locator('#qrImage').innerHTML(), '');
      assert.equal(await h.text(page, 'flowNote'), '');
    }
    await page.click('#btnCancel');
    await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');
    assert.deepEqual(errors, []);
    await ctx.close();
  });
}

test('the QR code goes when the flow ends, and a new code brings a new one', async () => {
  const { ctx, page, errors } = await h.openPanel(browser, env.main + '/credvane?account=qrnew');
  await h.loaded(page);
  const first = await startFlow(page);
  assert.equal(await scan(page, 'qr-first'), env.issuer + '/codex/device');
  assert.equal((await h.issuer('/test/deny', { user_code: first })).state, 'denied');
  await h.until(async () => (await h.text(page, 'flowNote')).startsWith('The sign-in was refused'), 'flow end');
  assert.equal(await qrShown(page), false);
  assert.equal(await page.locator('#qrImage').innerHTML(), '');

  await page.click('#btnNewCode');
  await page.waitForFunction((old) => {
    const t = document.getElementById('userCode').textContent;
    return t !== old && t !== '--';
  }, first);
  const second = await h.text(page, 'userCode');
  assert.equal(await qrShown(page), true);
  assert.notEqual(second, first);
  assert.equal(await scan(page, 'qr-second'), env.issuer + '/codex/device');
  await page.click('#btnCancel');
  await h.until(async () => (await h.text(page, 'flowNote')) === 'Device flow cancelled.', 'cancel');
  assert.deepEqual(errors, []);
  await ctx.close();
});
