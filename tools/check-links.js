#!/usr/bin/env node
// check-links.js: every relative link of the checkout's Markdown files leads somewhere: the
// file exists and, where the link names an anchor, a heading of that file makes it (GitHub's
// way: lower case, punctuation dropped, spaces as "-"). Links to other sites are not followed.
// The check is one case of the test run: "docs: 1 passed, 0 failed" when every link leads
// somewhere; each one that does not is named above that line.
'use strict';
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');

const root = path.resolve(__dirname, '..');
const files = execFileSync('git', ['ls-files', '-z', '--', '*.md'], { cwd: root })
    .toString().split('\0').filter(Boolean);

// The lines of a Markdown text outside fenced blocks, with inline code blanked out.
function prose(text) {
    let fenced = false;
    return text.split('\n').map((line) => {
        if (/^\s*```/.test(line)) {
            fenced = !fenced;
            return '';
        }
        return fenced ? '' : line.replace(/`[^`]*`/g, '``');
    });
}

function slug(heading) {
    return heading.trim().toLowerCase().replace(/[^\p{L}\p{N}_\- ]/gu, '').replace(/ /g, '-');
}

const anchorsOf = new Map();
function anchors(file) {
    if (!anchorsOf.has(file)) {
        const seen = new Map();
        const set = new Set();
        let fenced = false;
        for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
            if (/^\s*```/.test(line)) fenced = !fenced;
            const m = !fenced && /^#{1,6} (.*)$/.exec(line);
            if (!m) continue;
            const base = slug(m[1].replace(/`/g, ''));
            const n = seen.get(base) || 0;
            seen.set(base, n + 1);
            set.add(n ? `${base}-${n}` : base);
        }
        anchorsOf.set(file, set);
    }
    return anchorsOf.get(file);
}

let passed = 0;
let failed = 0;
for (const rel of files) {
    const file = path.join(root, rel);
    prose(fs.readFileSync(file, 'utf8')).forEach((line, i) => {
        for (const m of line.matchAll(/\]\(([^)\s]+)\)/g)) {
            const target = m[1];
            if (/^[a-z][a-z0-9+.-]*:/i.test(target)) continue;
            const [where, anchor] = target.split('#');
            const dest = where ? path.resolve(path.dirname(file), where) : file;
            let why = '';
            if (!fs.existsSync(dest)) why = 'no such file';
            else if (anchor !== undefined && !anchors(dest).has(anchor)) why = 'no such heading';
            if (why) {
                console.log(`not ok: ${rel}:${i + 1}: ${target}: ${why}`);
                failed++;
            } else {
                passed++;
            }
        }
    });
}
console.log(`${passed} links lead somewhere, ${failed} do not`);
console.log(failed ? 'docs: 0 passed, 1 failed' : 'docs: 1 passed, 0 failed');
process.exit(failed ? 1 : 0);
