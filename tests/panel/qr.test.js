// qr.test.js: the panel's QR encoder (panel/qr.js, loaded as it is) against the published
// tables, and against two real decoders.
'use strict';

const { test } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const qr = require(path.join(__dirname, '..', '..', 'panel', 'qr.js'));
const { raster, jsqrRead, zbarReadRaster } = require('./qr-decode');

// Bytes in byte mode at level M, versions 1 to 10, as the standard's capacity table lists them;
// text that is not ASCII declares UTF-8 first, in 12 bits that each version has to spare.
const CAPACITY = [14, 26, 42, 62, 84, 106, 122, 152, 180, 213];
const CAPACITY_UTF8 = [13, 25, 41, 61, 83, 105, 121, 151, 179, 212];
const isAscii = (text) => /^[\x00-\x7f]*$/.test(text);
const versionFor = (text) => {
  const v = (isAscii(text) ? CAPACITY : CAPACITY_UTF8).findIndex((c) => c >= Buffer.byteLength(text)) + 1;
  return v || null;
};

test('Reed-Solomon check codewords of the worked example (1-M, "01234567")', () => {
  const data = [0x10, 0x20, 0x0c, 0x56, 0x61, 0x80, 0xec, 0x11, 0xec, 0x11, 0xec, 0x11, 0xec, 0x11, 0xec, 0x11];
  assert.deepEqual(qr.checkWords(data, 10), [0xa5, 0x24, 0xd4, 0xc1, 0xed, 0x36, 0xc7, 0x87, 0x2c, 0x55]);
});

// Read back in the order the standard draws them, most significant bit first.
function formatCopies(q) {
  const m = q.modules, n = q.size;
  const a = [[8, 0], [8, 1], [8, 2], [8, 3], [8, 4], [8, 5], [8, 7], [8, 8], [7, 8], [5, 8], [4, 8], [3, 8], [2, 8], [1, 8], [0, 8]];
  const b = [];
  for (let r = n - 1; r >= n - 7; r--) b.push([r, 8]);
  for (let c = n - 8; c < n; c++) b.push([8, c]);
  return [a, b].map((cells) => cells.map(([r, c]) => m[r][c]).join(''));
}

// Most significant bit first; the copy beside the top-right finder runs along the rows.
function versionCopies(q) {
  const m = q.modules, n = q.size;
  let right = '', low = '';
  for (let i = 17; i >= 0; i--) {
    right += m[Math.floor(i / 3)][n - 11 + (i % 3)];
    low += m[n - 11 + (i % 3)][Math.floor(i / 3)];
  }
  return [right, low];
}

test('format information of level M for each mask, and version information, in both copies', () => {
  const format = ['101010000010010', '101000100100101', '101111001111100', '101101101001011',
                  '100010111111001', '100000011001110', '100111110010111', '100101010100000'];
  const version = { 7: '000111110010010100', 8: '001000010110111100', 9: '001001101010011001', 10: '001010010011010011' };
  for (let v = 1; v <= 10; v++) {
    for (let mask = 0; mask < 8; mask++) {
      const q = qr.encode('x'.repeat(CAPACITY[v - 1]), mask);
      assert.equal(q.version, v);
      assert.equal(q.mask, mask);
      assert.deepEqual(formatCopies(q), [format[mask], format[mask]], `version ${v} mask ${mask}`);
      // The dark module above the lower format copy.
      assert.equal(q.modules[q.size - 8][8], 1);
      if (v >= 7) assert.deepEqual(versionCopies(q), [version[v], version[v]], `version ${v}`);
    }
  }
});

test('the mask penalty, worked by hand', () => {
  const square = (n, f) => Array.from({ length: n }, (_, r) => Array.from({ length: n }, (_, c) => f(r, c)));
  const cases = [
    // 12 lines with a run of 6 (4 each), 25 light 2x2 blocks (3 each), no dark module (100).
    { name: 'all light', m: square(6, () => 0), want: 48 + 75 + 100 },
    { name: 'checkerboard', m: square(6, (r, c) => (r + c) % 2), want: 0 },
    // Six rows and two columns of 7 light (5 each), 1:1:3:1:1 with light on both sides (2 x 40),
    // 24 light 2x2 blocks, 5 of 49 dark (7 x 10).
    { name: 'finder-like row', m: square(7, (r, c) => (r === 3 ? [1, 0, 1, 1, 1, 0, 1][c] : 0)), want: 30 + 10 + 80 + 72 + 70 },
  ];
  for (const c of cases) assert.equal(qr.penalty(c.m), c.want, c.name);
});

// A link of exactly len bytes.
function link(len) {
  const base = 'https://auth.example.test/device?user_code=WDJB-MJHT&client=';
  return (base + 'q'.repeat(Math.max(0, len - base.length))).slice(0, len);
}

// Each version at its smallest and its largest length, ASCII and not: the smallest version
// that fits is used, and both decoders read every mask back.
const rows = [];
for (let v = 1; v <= 10; v++) {
  rows.push({ text: link(v === 1 ? 1 : CAPACITY[v - 2] + 1), version: v });
  rows.push({ text: link(CAPACITY[v - 1]), version: v });
  rows.push({ text: link(CAPACITY_UTF8[v - 1] - 2) + '\u00e9', version: v });
}
rows.push({ text: link(CAPACITY[1] - 1) + '\u00e9', version: 3 });  // 27 bytes, 26 characters
rows.push({ text: link(214), version: null });
rows.push({ text: link(211) + '\u00e9', version: null });  // 213 bytes, 212 characters

test('links near each version\'s capacity, through both decoders', () => {
  for (const row of rows) {
    const len = Buffer.byteLength(row.text);
    const q = qr.encode(row.text);
    if (row.version === null) {
      assert.equal(q, null, `${len} bytes`);
      continue;
    }
    assert.equal(q.version, row.version, `${len} bytes`);
    assert.equal(versionFor(row.text), row.version);
    assert.equal(q.size, 17 + 4 * row.version);
    assert.equal(zbarReadRaster(raster(q, 3)), row.text, `zbarimg, ${len} bytes`);
    for (let mask = 0; mask < 8; mask++) {
      const got = jsqrRead(raster(qr.encode(row.text, mask), 2));
      assert.ok(got, `jsQR found no code: ${len} bytes, mask ${mask}`);
      assert.equal(got.version, row.version);
      assert.deepEqual(got.bytes, Buffer.from(row.text, 'utf8'), `${len} bytes, mask ${mask}`);
      assert.equal(got.text, row.text);
      assert.deepEqual(got.eci, isAscii(row.text) ? null : [26]);
    }
  }
});

// A small seeded generator, so a failure names the seed and case that reproduce it; QR_SEED
// picks another seed.
function mulberry32(seed) {
  return () => {
    seed = (seed + 0x6d2b79f5) | 0;
    let t = Math.imul(seed ^ (seed >>> 15), 1 | seed);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

// One to four UTF-8 bytes per character: ASCII, Latin, CJK, emoji (a surrogate pair).
const ALPHABET = [...'abcXYZ019-._~:/?#[]@!$&\'()*+,;=% ', '\u00e9', '\u00df', '\u20ac', '\u4e2d', '\u0416', '\u{1f600}'];

test('random strings up to the capacity decode back to themselves', () => {
  const seed = Number(process.env.QR_SEED || 20261210);
  const rand = mulberry32(seed);
  const masks = new Set();
  for (let i = 0; i < 300; i++) {
    const want = 1 + Math.floor(rand() * 213);
    let text = '';
    for (;;) {
      const ch = ALPHABET[Math.floor(rand() * ALPHABET.length)];
      if (Buffer.byteLength(text + ch) > want) break;
      text += ch;
    }
    const what = `seed ${seed}, case ${i}: ${JSON.stringify(text)}`;
    const q = qr.encode(text);
    if (!versionFor(text)) {
      assert.equal(q, null, what);
      continue;
    }
    assert.equal(q.version, versionFor(text), what);
    masks.add(q.mask);
    const got = jsqrRead(raster(q, 2));
    assert.ok(got, 'jsQR found no code: ' + what);
    assert.deepEqual(got.bytes, Buffer.from(text, 'utf8'), what);
    assert.equal(got.text, text, what);
    // zbarimg reads every tenth as well, non-ASCII text included.
    if (i % 10 === 0) assert.equal(zbarReadRaster(raster(q, 3)), text, 'zbarimg: ' + what);
  }
  // The penalty rules pick every mask now and then; a mask never chosen would go untested here.
  assert.equal(masks.size, 8, [...masks].join(' '));
});
