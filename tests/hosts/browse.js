// browse.js: a person opens the panel through a host with the node password in the address, as
// the guide allows, and waits until the page has shown the node's status; then opens a near miss
// of the panel's path with the password. What the host logged of it is for run.sh to check;
// this script fails only when the browser itself saw the password leave the page.
//
//   node tests/hosts/browse.js PANEL_URL PASSWORD NEAR_MISS_URL
'use strict';

const { chromium } = require('playwright-core');

async function main() {
  const [panel, password, nearMiss] = process.argv.slice(2);
  if (!panel || !password || !nearMiss) throw new Error('usage: browse.js PANEL_URL PASSWORD NEAR_MISS_URL');
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-background-networking', '--disable-gpu', '--no-first-run',
      '--disable-component-update', '--disable-sync'],
  });
  const leaks = [];
  try {
    const page = await browser.newPage();
    const encoded = encodeURIComponent(password);
    page.on('request', (r) => {
      if (r.isNavigationRequest() && r.frame() === page.mainFrame()) return;
      const h = r.headers();
      for (const [where, text] of [['address', r.url()], ['Referer', h.referer || '']]) {
        if (text.includes(password) || text.toLowerCase().includes(encoded.toLowerCase())) {
          leaks.push(`${r.method()} ${r.url()}: its ${where} holds the password`);
        }
      }
    });
    const status = page.waitForResponse((r) => new URL(r.url()).searchParams.get('action') === 'status');
    await page.goto(panel + '?pwd=' + password);
    const answer = await status;
    if (answer.status() !== 200) throw new Error('the panel\'s status call got ' + answer.status());
    // The answer has been drawn once the pill says something else than the password form's.
    await page.waitForFunction(() => {
      const t = document.getElementById('pillText');
      return t && t.textContent && t.textContent !== 'Password needed' && document.documentElement.classList.contains('cv-known');
    });
    await page.waitForLoadState('networkidle');
    if (new URL(page.url()).searchParams.has('pwd')) leaks.push('the address still holds pwd: ' + page.url());
    await page.goto(nearMiss + '?pwd=' + password).catch(() => {});
    await page.waitForLoadState('networkidle');
  } finally {
    await browser.close();
  }
  if (leaks.length) throw new Error(leaks.join('\n'));
}

main().then(
  () => process.exit(0),
  (e) => {
    console.error(e && e.message ? e.message : e);
    process.exit(1);
  },
);
