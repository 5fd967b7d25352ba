// host.test.js: the local host (the demo's and these tests') keeps nothing of a request's
// query: it can carry the node password and the user code.
'use strict';

const {test} = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./helpers');

const {env} = h;

// Every file the hosts wrote: each host's folder holds its home and its state (logs, pid).
function stateFiles() {
    const work = path.dirname(path.dirname(env.mainHome));
    const files = [];
    for (const host of fs.readdirSync(work)) {
        const state = path.join(work, host, 'state');
        if (!fs.existsSync(state)) continue;
        for (const f of fs.readdirSync(state)) {
            const p = path.join(state, f);
            if (fs.statSync(p).isFile()) files.push(p);
        }
    }
    return files;
}

test('no query string is logged by the host', async () => {
    const marker = 'q' + process.pid + 'x' + Date.now();
    const queries = [
        `/credvane?action=status&pwd=${env.password}&m=${marker}`,
        `/credvane?pwd=${env.password}&m=${marker}`,
        `/nowhere?code=ABCD-${marker}`,
    ];
    for (const q of queries) {
        const r = await fetch(env.pw + q);
        assert.ok(r.status < 500, q + ': ' + r.status);
        await r.arrayBuffer();
    }
    const files = stateFiles();
    assert.ok(files.length > 0, 'no state files found');
    for (const f of files) {
        const text = fs.readFileSync(f, 'latin1');
        assert.ok(!text.includes(marker), f + ' holds a query string');
        assert.ok(!text.includes(env.password), f + ' holds the node password');
    }
});
