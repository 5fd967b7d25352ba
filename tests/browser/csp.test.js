// csp.test.js: the page runs only its own scripts and styles. Markup injected into it (as a
// cross-site scripting fault would) is refused by the page's policy, while the panel works.
// That the page as served raises no policy report is checked by every test: openPanel counts
// each such console message as a page error.
'use strict';

const {test, before, after} = require('node:test');
const assert = require('node:assert/strict');
const h = require('./helpers');

const {env} = h;
let browser;

before(async () => {
    browser = await h.launch();
});
after(async () => {
    await browser.close();
});

test(
    'an injected inline script, handler and style are refused; the panel still works', async () => {
        const url = env.main + '/credvane?account=csp1';
        const ctx = await browser.newContext();
        // Every refusal the page reports to itself, recorded before any of its scripts runs.
        await ctx.addInitScript(() => {
            window.__refused = [];
            document.addEventListener('securitypolicyviolation', (e) => {
                window.__refused.push(e.effectiveDirective);
            });
        });
        const page = await ctx.newPage();
        const pageErrors = [];
        page.on('pageerror', (e) => pageErrors.push(e.message));
        // The console messages openPanel counts as errors in every other test.
        const reports = [];
        page.on('console', (m) => {
            if (/Content Security Policy/i.test(m.text())) reports.push(m.text());
        });
        const injected = '<script>window.__ran = "inline script"</script>' +
            '<img alt="" src="data:," onerror="window.__ran = \'handler\'">' +
            '<p id="styled" style="color: rgb(1, 2, 3)">x</p>';
        await page.route(
            (u) => u.href === new URL(url).href,
            async (route) => {
                const res = await route.fetch();
                const body = (await res.text()).replace('</main>', injected + '</main>');
                assert.ok(body.includes(injected));
                await route.fulfill({response: res, body});
            },
        );
        await page.goto(url);
        await h.loaded(page);

        // The panel's own scripts ran and drew the status; its stylesheet applies.
        assert.equal(await h.text(page, 'pillText'), 'Not Connected');
        assert.equal(
            await page.evaluate(() => getComputedStyle(document.getElementById('toast')).position),
            'fixed');
        await page.waitForFunction(() => window.__refused.length >= 3);
        assert.equal(await page.evaluate(() => window.__ran), undefined);
        assert.notEqual(
            await page.evaluate(() => getComputedStyle(document.getElementById('styled')).color),
            'rgb(1, 2, 3)');
        const refused = await page.evaluate(() => window.__refused.slice().sort());
        assert.deepEqual(refused, ['script-src-attr', 'script-src-elem', 'style-src-attr']);
        assert.ok(reports.length >= 3, reports.join('\n'));
        assert.deepEqual(pageErrors, []);
        await ctx.close();
    });
