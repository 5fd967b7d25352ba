// qr.js: the QR code of a text, for a phone camera: byte mode (UTF-8), level M, versions 1 to
// 10; a text too long for version 10 gets none. Also loaded by node for the decoder tests.
var credvaneQr = (function () {
  'use strict';

  // Per version at level M: check codewords per block, and the blocks as groups of
  // [number of blocks, data codewords in each].
  var EC = [0, 10, 16, 26, 18, 24, 16, 18, 22, 22, 26];
  var GROUPS = [[], [[1, 16]], [[1, 28]], [[1, 44]], [[2, 32]], [[2, 43]], [[4, 27]], [[4, 31]],
                [[2, 38], [2, 39]], [[3, 36], [2, 37]], [[4, 43], [1, 44]]];
  // The rows (and columns) of the alignment pattern centres.
  var ALIGN = [[], [], [6, 18], [6, 22], [6, 26], [6, 30], [6, 34], [6, 22, 38], [6, 24, 42],
               [6, 26, 46], [6, 28, 50]];

  // GF(256) modulo x^8 + x^4 + x^3 + x^2 + 1, through tables of the powers of 2.
  var EXP = [], LOG = [];
  for (var i = 0, x = 1; i < 255; i++) {
    EXP[i] = EXP[i + 255] = x;
    LOG[x] = i;
    x = x & 0x80 ? (x << 1) ^ 0x11d : x << 1;
  }

  function mul(a, b) {
    return a && b ? EXP[LOG[a] + LOG[b]] : 0;
  }

  function zeros(n) {
    return new Array(n).fill(0);
  }

  // Reed-Solomon: the remainder of data(x) * x^n divided by (x - 2^0)(x - 2^1)...(x - 2^(n-1)).
  function checkWords(data, n) {
    var gen = [1];  // highest power first
    for (var i = 0; i < n; i++) {
      var next = zeros(gen.length + 1);
      gen.forEach(function (g, j) {
        next[j] ^= g;
        next[j + 1] ^= mul(g, EXP[i]);
      });
      gen = next;
    }
    var rem = zeros(n);
    data.forEach(function (d) {
      var f = d ^ rem.shift();
      rem.push(0);
      for (var k = 0; k < n; k++) rem[k] ^= mul(gen[k + 1], f);
    });
    return rem;
  }

  function dataWords(v) {
    return GROUPS[v].reduce(function (n, g) { return n + g[0] * g[1]; }, 0);
  }

  // The length field has 8 bits up to version 9 and 16 from version 10 on.
  function lengthBits(v) {
    return v < 10 ? 8 : 16;
  }

  // The bytes that fit in version v after the mode and length fields (and the UTF-8 mark).
  function capacity(v, utf8) {
    return Math.floor((dataWords(v) * 8 - 4 - lengthBits(v) - (utf8 ? 12 : 0)) / 8);
  }

  // The data and check codewords of the blocks, interleaved in the order they are placed.
  function codewords(bytes, v, utf8) {
    var total = dataWords(v), bits = '';
    function put(value, len) {
      for (var i = len - 1; i >= 0; i--) bits += (value >>> i) & 1;
    }
    // Byte mode means Latin-1 unless marked (ECI 26): decoders would only guess at UTF-8.
    if (utf8) put(0x71a, 12);
    put(4, 4);  // byte mode
    put(bytes.length, lengthBits(v));
    bytes.forEach(function (b) {
      put(b, 8);
    });
    put(0, Math.min(4, total * 8 - bits.length));
    while (bits.length % 8) bits += '0';
    var data = [];
    for (var i = 0; i < bits.length; i += 8) data.push(parseInt(bits.substr(i, 8), 2));
    for (var pad = 0xec; data.length < total; pad ^= 0xec ^ 0x11) data.push(pad);

    var blocks = [], out = [];
    GROUPS[v].forEach(function (g) {
      for (var k = 0; k < g[0]; k++) {
        var d = data.splice(0, g[1]);
        blocks.push([d, checkWords(d, EC[v])]);
      }
    });
    [0, 1].forEach(function (part) {
      for (var j = 0; j < blocks[blocks.length - 1][part].length; j++) {
        blocks.forEach(function (b) {
          if (j < b[part].length) out.push(b[part][j]);
        });
      }
    });
    return out;
  }

  // Whether mask k inverts the module in row r, column c.
  function inverts(k, r, c) {
    var p = r * c;
    return [(r + c) % 2, r % 2, c % 3, (r + c) % 3, (Math.floor(r / 2) + Math.floor(c / 3)) % 2,
            (p % 2) + (p % 3), ((p % 2) + (p % 3)) % 2, ((r + c) % 2 + (p % 3)) % 2][k] === 0;
  }

  // value followed by its BCH check bits for the generator poly of degree deg.
  function bch(value, poly, deg) {
    var rem = value << deg;
    for (var i = 31 - Math.clz32(rem); i >= deg; i--) {
      if ((rem >>> i) & 1) rem ^= poly << (i - deg);
    }
    return (value << deg) | rem;
  }

  // The penalty of a finished matrix (rows of 0 and 1); the mask with the lowest wins.
  function penalty(m) {
    var n = m.length, score = 0, dark = 0;
    function line(cells) {
      var text = cells.join('');
      // Five alike in a row cost 3, and each further one 1 more.
      (text.match(/0{5,}|1{5,}/g) || []).forEach(function (run) {
        score += run.length - 2;
      });
      // 1:1:3:1:1 with 4 light modules on a side; outside the symbol lies the light quiet zone.
      score += 40 * (('0000' + text + '0000').match(/(?=10111010000|00001011101)/g) || []).length;
    }
    m.forEach(function (row, r) {
      line(row);
      line(m.map(function (other) { return other[r]; }));
      row.forEach(function (x, c) {
        dark += x;
        if (r + 1 < n && c + 1 < n && x === row[c + 1] && x === m[r + 1][c] && x === m[r + 1][c + 1]) {
          score += 3;
        }
      });
    });
    // 10 for every full 5 % by which the share of dark modules strays from half.
    return score + 10 * Math.floor(Math.abs(20 * dark - 10 * n * n) / (n * n));
  }

  function symbol(v, words, mask) {
    var n = 17 + 4 * v, grid = [], fixed = [], i;
    for (i = 0; i < n; i++) {
      grid.push(zeros(n));
      fixed.push(zeros(n));
    }
    function set(r, c, on) {
      grid[r][c] = on ? 1 : 0;
      fixed[r][c] = 1;
    }

    // Finder patterns with their light separators; alignment patterns where no finder is.
    [[0, 0], [0, n - 7], [n - 7, 0]].forEach(function (p) {
      for (var dr = -1; dr < 8; dr++) {
        for (var dc = -1; dc < 8; dc++) {
          var r = p[0] + dr, c = p[1] + dc, ring = Math.max(Math.abs(dr - 3), Math.abs(dc - 3));
          if (r >= 0 && r < n && c >= 0 && c < n) set(r, c, ring !== 2 && ring !== 4);
        }
      }
    });
    ALIGN[v].forEach(function (r) {
      ALIGN[v].forEach(function (c) {
        if (fixed[r][c]) return;
        for (var dr = -2; dr <= 2; dr++) {
          for (var dc = -2; dc <= 2; dc++) set(r + dr, c + dc, Math.max(Math.abs(dr), Math.abs(dc)) !== 1);
        }
      });
    });
    for (i = 8; i < n - 8; i++) {
      set(6, i, i % 2 === 0);
      set(i, 6, i % 2 === 0);
    }
    // Version information, two copies, from version 7 on.
    for (i = 0; v >= 7 && i < 18; i++) {
      var on = (bch(v, 0x1f25, 12) >>> i) & 1;
      set(n - 11 + (i % 3), Math.floor(i / 3), on);
      set(Math.floor(i / 3), n - 11 + (i % 3), on);
    }
    // Level M (00) and the mask, two copies, and the dark module beside the lower one.
    function format(k) {
      var f = bch(k, 0x537, 10) ^ 0x5412;
      for (var j = 0; j < 15; j++) {
        var b = (f >>> j) & 1;
        if (j < 6) set(j, 8, b);
        else if (j < 8) set(j + 1, 8, b);
        else set(8, j === 8 ? 7 : 14 - j, b);
        if (j < 8) set(8, n - 1 - j, b);
        else set(n - 15 + j, 8, b);
      }
      set(n - 8, 8, 1);
    }
    format(0);

    // The bits go up and down column pairs from the right; the timing column is skipped.
    var bit = 0, up = true;
    for (var right = n - 1; right > 0; right -= 2) {
      if (right === 6) right = 5;
      for (var k = 0; k < n; k++) {
        var r = up ? n - 1 - k : k;
        for (var c = right; c > right - 2; c--) {
          if (fixed[r][c]) continue;
          grid[r][c] = bit < words.length * 8 ? (words[bit >> 3] >>> (7 - (bit & 7))) & 1 : 0;
          bit++;
        }
      }
      up = !up;
    }

    var plain = grid, best = null;
    for (var mk = 0; mk < 8; mk++) {
      if (mask !== undefined && mk !== mask) continue;
      grid = plain.map(function (row, r) {
        return row.map(function (on, c) {
          return fixed[r][c] || !inverts(mk, r, c) ? on : on ^ 1;
        });
      });
      format(mk);
      var score = penalty(grid);
      if (!best || score < best.score) best = { version: v, mask: mk, size: n, modules: grid, score: score };
    }
    return best;
  }

  // { version, mask, size, modules: rows of 0 (light) and 1 (dark) }, or null when text does
  // not fit. A mask (0 to 7) can be forced for tests; else the lowest penalty wins.
  function encode(text, mask) {
    var bytes = Array.from(new TextEncoder().encode(text));
    var utf8 = bytes.some(function (b) { return b > 127; });
    for (var v = 1; v <= 10; v++) {
      if (bytes.length <= capacity(v, utf8)) return symbol(v, codewords(bytes, v, utf8), mask);
    }
    return null;
  }

  return { encode: encode, capacity: capacity, penalty: penalty, checkWords: checkWords };
})();

if (typeof module !== 'undefined' && module.exports) module.exports = credvaneQr;
