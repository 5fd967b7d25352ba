// qr-decode.js: what the QR tests share: a module matrix drawn as a raster, and the two real
// decoders that read it back (jsQR in process, zbarimg from Debian's zbar-tools on a file).
'use strict';

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const jsQR = require('jsqr');

// The matrix as 8-bit grey pixels, scale pixels per module, with a light quiet zone of four
// modules around it.
function raster(q, scale) {
  const side = (q.size + 8) * scale;
  const grey = Buffer.alloc(side * side, 255);
  q.modules.forEach((row, r) =>
    row.forEach((on, c) => {
      if (!on) return;
      for (let y = 0; y < scale; y++) {
        grey.fill(0, ((r + 4) * scale + y) * side + (c + 4) * scale, ((r + 4) * scale + y) * side + (c + 5) * scale);
      }
    }),
  );
  return { side, grey };
}

// jsQR's reading of the raster: its text, its raw bytes, the version and the character set
// declared (an ECI assignment number, or null), or null when it finds no code.
function jsqrRead(img) {
  const rgba = new Uint8ClampedArray(img.side * img.side * 4);
  img.grey.forEach((g, i) => {
    rgba[i * 4] = rgba[i * 4 + 1] = rgba[i * 4 + 2] = g;
    rgba[i * 4 + 3] = 255;
  });
  const r = jsQR(rgba, img.side, img.side, { inversionAttempts: 'dontInvert' });
  if (!r) return null;
  const eci = r.chunks.filter((c) => c.type === 'eci').map((c) => c.assignmentNumber);
  return { text: r.data, bytes: Buffer.from(r.binaryData), version: r.version, eci: eci.length ? eci : null };
}

// zbarimg's reading of an image file (PNG or PGM): the text of its one code, or null.
function zbarRead(file) {
  const r = spawnSync('zbarimg', ['--raw', '-q', file], { encoding: 'utf8' });
  if (r.error) throw new Error('zbarimg is not installed (Debian zbar-tools): ' + r.error.message);
  // Exit status 4 means no code found; --raw ends the text with one line feed.
  if (r.status !== 0) return null;
  return r.stdout.endsWith('\n') ? r.stdout.slice(0, -1) : r.stdout;
}

let pgmCount = 0;
const pgmDir = fs.mkdtempSync(path.join(os.tmpdir(), 'credvane-qr-'));
process.on('exit', () => fs.rmSync(pgmDir, { recursive: true, force: true }));

// zbarimg's reading of the raster, through a PGM file.
function zbarReadRaster(img) {
  const file = path.join(pgmDir, `qr-${pgmCount++}.pgm`);
  fs.writeFileSync(file, Buffer.concat([Buffer.from(`P5\n${img.side} ${img.side}\n255\n`), img.grey]));
  return zbarRead(file);
}

module.exports = { raster, jsqrRead, zbarRead, zbarReadRaster };
