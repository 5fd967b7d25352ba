// panel.js: drives the device login from the browser through the node's JSON actions.
(function () {
  'use strict';

  function $(id) {
    return document.getElementById(id);
  }

  // Blocked storage (private modes, sandboxed frames) throws on access: without it the panel
  // simply has no stored password and keeps a typed one for this page only.
  function stored(key, area) {
    try {
      return (area || localStorage).getItem(key) || '';
    } catch (e) {
      return '';
    }
  }
  function keep(key, value) {
    try {
      if (value) sessionStorage.setItem(key, value);
      else sessionStorage.removeItem(key);
    } catch (e) {}
  }
  function session() {
    try {
      return sessionStorage;
    } catch (e) {
      return null;
    }
  }

  var params = new URLSearchParams(location.search);
  var node = params.get('node') || '';
  var sid = params.get('id') || '';
  var acct = params.get('account') || '';
  var HUB = params.get('plugin') || '';
  // A password typed into this tab: kept for the tab only, never in the shared storage.
  var TYPED = 'credvane_pwd';
  // The same places, in the same order, as gate-head.js looks.
  var urlPwd = params.get('pwd') || '';
  var typedPwd = urlPwd ? '' : stored(TYPED, session());
  var pwd = urlPwd || typedPwd || (node && stored('bot_pwd_' + node)) || stored('bot_active_pwd') || '';
  // Whether the password may travel in a query on the hub's route: only one that came from the
  // address or from the hub's own storage. A password typed into this tab goes in the header
  // alone, or a page of another site could send the tab to the hub route and have it written
  // into the host's access log.
  var pwdInQuery = !typedPwd;
  // This page's own address with another query. The origin comes from the address as a whole,
  // never from the path: a path that begins with "//" (which a host may hand on) would name
  // another server if it were read as an address of its own.
  function ownUrl(query) {
    var u = new URL(location.href);
    u.search = query ? '?' + query : '';
    u.hash = '';
    return u.href;
  }
  // The password leaves the address before the first call, so that no request of this page
  // can carry it on (the page sends no Referer either); the tab keeps it once it has worked.
  if (urlPwd) dropPwdFromAddress();
  // The direct route is the page's own path, wherever the host mounts it.
  var ROUTE = HUB ? '/plugins?plugin=' + encodeURIComponent(HUB) + '&action=' : ownUrl('action=');

  var pollTimer = null;
  var pollMs = 5000;
  var flowActive = false;
  var flowVerify = '';
  var flowCode = '';
  // Bumped whenever a followed flow ends, so a poll reply that arrives afterwards is dropped.
  var flowGen = 0;
  var pollBusy = false;
  var pollFailing = false;
  var startForce = false;
  // A start that picks up the open login is on its way.
  var resuming = false;
  var codeTimer = null;
  var codeDeadline = 0;
  // A note set by a handler right before a render; that render shows it instead of its own.
  var heldNote = null;
  var toastTimer = null;
  var lastStatus = null;
  var locked = false;
  // Set by the first answer that the node gave to this browser's password (or to none).
  var known = false;
  // Whether the node has taken a password from this page at all, and whether the one being
  // checked was typed just now: a refusal then means a typo, otherwise a changed password.
  var everKnown = false;
  var checkingTyped = false;
  var NOT_ACCEPTED = 'That password was not accepted.';
  var CHANGED = "The node's password has changed; enter it again.";
  var retryTimer = null;
  var retryMs = 2000;
  var defaultEntry = null;

  function url(action, extra, forAccount) {
    var a = forAccount === undefined ? acct : forAccount;
    var u = ROUTE + encodeURIComponent(action);
    if (extra) u += '&' + extra;
    if (a) u += '&account=' + encodeURIComponent(a);
    if (node) u += '&node=' + encodeURIComponent(node);
    if (sid) u += '&id=' + encodeURIComponent(sid);
    // A hub may forward only the query, so its route carries the password there too. On the
    // direct route the header alone carries it: a query ends up in access logs.
    if (HUB && pwd && pwdInQuery) u += '&pwd=' + encodeURIComponent(pwd);
    return u;
  }

  function hdr() {
    var h = {};
    if (pwd) h['X-Bot-Password'] = pwd;
    return h;
  }

  // The body decides, whatever the HTTP status: error answers carry their reason in JSON.
  // A refusal of the password, from any call, means it changed while the page was open: the
  // panel stops and asks for it again. The caller gets { locked: true } and does nothing more.
  function api(action, extra, forAccount) {
    var status = 0;
    return fetch(url(action, extra, forAccount), { headers: hdr(), cache: 'no-store' })
      .then(function (r) {
        status = r.status;
        return r.text();
      })
      .then(function (t) {
        var v;
        try {
          v = JSON.parse(t);
        } catch (e) {
          v = { ok: false, error: 'bad response' };
        }
        if (status === 401 || (v && !v.ok && v.error === 'invalid node password')) {
          lock();
          return { ok: false, locked: true };
        }
        return v;
      });
  }

  function refused(r) {
    return !!(r && r.locked);
  }

  // What the person reads when the request never got an answer: the browser's own text
  // ("Failed to fetch", "NetworkError when...") says nothing to them.
  var UNREACHABLE = "Can't reach the node; retrying";
  var ELLIPSIS = '\u2026';

  // One polite region for changes of state, one alert for failures. Repeats of the same text
  // (a poll that fails the same way every few seconds) are not announced again.
  var said = { live: '', alert: '' };
  function announce(msg, region) {
    region = region || 'live';
    if (!msg || said[region] === msg) return;
    said[region] = msg;
    $(region).textContent = msg;
  }

  function clearAlert() {
    said.alert = '';
    $('alert').textContent = '';
  }

  function toast(msg) {
    var t = $('toast');
    t.textContent = msg;
    t.classList.add('show');
    if (toastTimer) clearTimeout(toastTimer);
    toastTimer = setTimeout(function () {
      t.classList.remove('show');
      toastTimer = null;
    }, 2200);
    announce(msg);
  }

  function note(id, msg, kind) {
    var e = $(id);
    e.textContent = msg || '';
    e.className = msg ? 'note show ' + (kind || '') : 'note';
    if (msg) announce(msg, kind === 'err' ? 'alert' : 'live');
  }

  function kv(el, rows) {
    el.textContent = '';
    rows.forEach(function (r) {
      var k = document.createElement('dt');
      k.className = 'k';
      k.textContent = r[0];
      var v = document.createElement('dd');
      v.className = r[2] ? 'v plain' : 'v';
      v.textContent = r[1];
      el.appendChild(k);
      el.appendChild(v);
    });
  }

  function setPill(cls, text) {
    $('pill').className = 'pill ' + cls;
    $('pillText').textContent = text;
    announce(text);
  }

  function show(id, on) {
    $(id).hidden = !on;
  }

  function isNum(x) {
    return typeof x === 'number' && isFinite(x);
  }

  // Every duration on the page, the token's and the code's, is said the same way.
  function fmtExpiry(sec) {
    if (!isNum(sec)) return '-';
    if (sec <= 0) return 'expired';
    if (sec < 90) return sec + 's';
    if (sec < 5400) return Math.round(sec / 60) + ' min';
    var h = Math.floor(sec / 3600);
    if (h < 48) return h + ' h ' + Math.floor((sec % 3600) / 60) + ' min';
    return Math.floor(h / 24) + ' days';
  }

  function fmtInstant(sec) {
    try {
      return new Date(sec * 1000).toISOString().replace('T', ' ').slice(0, 19);
    } catch (e) {
      return 'unknown';
    }
  }

  // The node's poll interval in seconds, held to 1 s .. 1 h: a huge figure must not wrap the
  // timer's period to nothing, nor a tiny one poll back to back.
  function intervalMs(sec, fallback) {
    if (!isNum(sec) || sec <= 0) return fallback;
    return Math.min(3600, Math.max(1, Math.round(sec))) * 1000;
  }

  // The bar compares the time left with the token's own window (last refresh to expiry);
  // without a usable window a one-hour token, the usual lifetime, is assumed. The cap keeps
  // a long-lived token from leaving the bar nearly empty.
  function fillPercent(st) {
    var left = st.expires_in_sec;
    var win = 3600;
    if (isNum(st.expires_at) && isNum(st.last_refresh) && st.expires_at > 0 && st.last_refresh > 0 &&
        st.expires_at - st.last_refresh > 0) {
      win = st.expires_at - st.last_refresh;
    }
    win = Math.min(win, 86400);
    return Math.max(2, Math.min(100, Math.round((100 * left) / win)));
  }

  // The green fill shows pct % of the bar (a whole number from 0 to 100).
  function setFill(pct) {
    $('fill').style.transform = 'translateX(' + (pct - 100) + '%)';
  }

  function accountLabel() {
    return acct ? 'account ' + acct : 'the default account';
  }

  // What the operator can do about a login CLI that is missing, hung or printing no answer.
  // The node's "cli_error" begins with a fixed phrase for each and names the program after it.
  function cliAdvice(st) {
    var e = typeof st.cli_error === 'string' ? st.cli_error : '';
    var named = /\(([^()]*)\)$/.exec(e);
    var prog = named ? named[1].replace(/^CODEX_LOGIN_BIN is /, '') : '';
    if (e.indexOf('the login CLI is not on this node') === 0 || (st.cli_present === false && !e)) {
      return 'QUENLO CODE is not on this node: the login and refresh CLIs cannot be run here. ' +
             (prog ? 'CODEX_LOGIN_BIN names ' + prog + ', which is not there or cannot be run: ' +
                     'correct it, or install QUENLO CODE.'
                   : 'Install QUENLO CODE, or set CODEX_LOGIN_BIN and CODEX_REFRESH_BIN to the CLIs\' paths.');
    }
    if (e.indexOf('the login CLI timed out') === 0) {
      return 'The login CLI did not answer in time' + (prog ? ' (' + prog + ')' : '') +
             '. It is installed but hangs: run it by hand on the node with --status to see where, ' +
             'or give it more time with CREDVANE_CLI_TIMEOUT.';
    }
    if (e.indexOf('the login CLI printed no JSON line') === 0) {
      return 'The login CLI' + (prog ? ' at ' + prog : '') + ' runs but printed no JSON answer. ' +
             'Check that CODEX_LOGIN_BIN names the Codex login CLI, and run it by hand with --status.';
    }
    if (st.cli_present === false) return 'The login CLI cannot be used: ' + e;
    if (e) return 'The login CLI reported: ' + e;
    return '';
  }

  function primary(id, on) {
    $(id).className = on ? 'btn' : 'btn ghost';
  }

  // The buttons that fit the state: one primary action, and no Start while a flow is open
  // (a second start would silently replace the code on screen).
  // Why the Codex CLI would refuse the account's credential file, or ''.
  function fileProblem(st) {
    return st && st.logged_in && typeof st.file_problem === 'string' ? st.file_problem : '';
  }

  // A refresh writes the issuer's new tokens over the broken ones, so it mends a file that
  // lacks anything but the refresh token it needs for that.
  function refreshMends(st) {
    return !!st.has_refresh && fileProblem(st) !== 'no refresh_token';
  }

  // The buttons that fit the state: one primary action, and no Start while a flow is open
  // (a second start would silently replace the code on screen), nor beside the new code that
  // a dead one offers.
  function layoutButtons(st) {
    var li = !!st.logged_in, ex = !!st.expired, key = !li && !!st.api_key_present;
    var canRefresh = li && !!st.has_refresh;
    var problem = fileProblem(st);
    var busy = flowActive || resuming;
    var renewing = !$('newCodeRow').hidden;
    show('btnRefresh', canRefresh && !busy);
    primary('btnRefresh', canRefresh && (ex || (!!problem && refreshMends(st))));
    show('btnStartLogin', !li && !key && !busy && !renewing);
    show('btnRelogin', (li || key) && !busy && !renewing);
    primary('btnRelogin', li && ((ex && !canRefresh) || (!!problem && !refreshMends(st))));
    show('btnSignOut', (li || key) && !busy);
    if (!(li || key) || busy) askSignOut(false);
  }

  function idleText(st) {
    var t = $('idleText');
    t.textContent = '';
    // A login that just failed has its own note and its one way on.
    if (!st || !$('newCodeRow').hidden) return;
    t.textContent = 'No login in progress. ';
    // The session card's note says how to mend a file that a refresh mends.
    if (fileProblem(st) && refreshMends(st)) return;
    var b = document.createElement('b');
    if (st.logged_in || st.api_key_present) {
      b.textContent = 'Re-login (replace)';
      t.appendChild(document.createTextNode('Press '));
      t.appendChild(b);
      t.appendChild(document.createTextNode(' above to sign in again; it replaces what is stored.'));
    } else {
      b.textContent = 'Start Codex Login';
      t.appendChild(document.createTextNode('Press '));
      t.appendChild(b);
      t.appendChild(document.createTextNode(' above to begin.'));
    }
  }

  function render(st) {
    lastStatus = st;
    var li = !!st.logged_in, ex = !!st.expired, pend = !!st.pending;
    var key = !li && !!st.api_key_present;
    var problem = fileProblem(st);

    // A file that Codex refuses signs nothing in, however good its token.
    if (problem) setPill('warn', 'Sign-in Needed');
    else if (li && !ex) setPill('ok', 'Logged In');
    else if (li) setPill('warn', 'Expired');
    else if (pend) setPill('warn', 'Signing In');
    else if (key) setPill('ok', 'API key');
    else setPill('off', 'Not Connected');

    var count = $('count');
    if (problem) {
      count.textContent = 'Not usable';
    } else if (li && !ex) {
      count.textContent = fmtExpiry(st.expires_in_sec);
      var small = document.createElement('small');
      small.textContent = ' remaining';
      count.appendChild(small);
    } else {
      count.textContent = li ? 'Token expired' : pend ? 'Device flow open' : key ? 'API key configured'
                                                                                  : 'No Codex session';
    }

    var pct = li && !problem && isNum(st.expires_in_sec) && st.expires_in_sec > 0 ? fillPercent(st) : 0;
    setFill(pct);
    $('bar').className = li && ex ? 'bar err' : li && pct < 20 ? 'bar warn' : 'bar';

    var lead;
    if (problem) lead = 'Codex on this node cannot use the stored sign-in of ' + accountLabel() + '.';
    else if (li && !ex) lead = 'Codex is signed in on this node (' + accountLabel() + ').';
    else if (li) lead = 'The access token of ' + accountLabel() + ' has expired.';
    else if (pend && flowActive && $('stepActive').classList.contains('nocode')) lead = 'A device login is open on this node.';
    else if (pend) lead = 'A device login is open: approve its code in the Device flow below.';
    else if (key) lead = 'Codex uses an API key on this node (' + accountLabel() + '); it needs no device login.';
    else if (!$('newCodeRow').hidden) lead = 'No Codex session on this node yet.';
    else lead = 'No Codex session on this node yet. Press Start Codex Login to begin.';
    $('sessionLead').textContent = lead;

    var token = !li ? 'none' : problem ? 'refused by Codex: ' + problem : ex ? 'expired'
                                                               : 'valid, ' + fmtExpiry(st.expires_in_sec);
    var prof = st.profile_exists ? st.profile || 'codex' : 'not created';
    kv($('session'), [
      ['Account', st.account || '-', true],
      ['Logged in', li ? 'yes' : 'no', true],
      ['Token', token, true],
      ['Refresh token', st.has_refresh ? 'stored' : 'none', true],
      ['API key', st.api_key_present ? 'stored' : 'none', true],
      ['Last refreshed', st.last_refresh ? fmtInstant(st.last_refresh) : 'unknown', true],
      ['Account id', st.account_id || '-', false],
      ['Login pending', pend ? 'yes' : 'no', true],
      ['Login CLI', st.cli_present ? (st.cli_error ? 'found, not answering' : 'found') : 'not found', true],
      ['Profile', prof, true],
      ['Credentials', st.credentials_path || '-', false],
    ]);

    layoutButtons(st);
    idleText(st);

    if (heldNote) {
      note('sessionNote', heldNote[0], heldNote[1]);
      heldNote = null;
    } else {
      var advice = cliAdvice(st);
      if (problem) {
        note('sessionNote', 'Codex would refuse the credential file as it is (' + problem + '). ' +
                            (refreshMends(st) ? 'Press Refresh Token Now: the fresh tokens it fetches ' +
                                                'mend the file. If this stays, use Re-login (replace).'
                                              : 'Press Re-login (replace) to sign in again and write a ' +
                                                'sound file.'), 'warn');
      } else if (advice) {
        note('sessionNote', advice, 'warn');
      } else if (typeof st.pending_problem === 'string' && st.pending_problem) {
        note('sessionNote', 'A login cannot start on this node: ' + st.pending_problem +
                            '. The web server\'s user must be able to write there.', 'warn');
      } else if (li && ex) {
        note('sessionNote', st.has_refresh ? 'The token has expired. Press Refresh Token Now, or sign in again.'
                                           : 'The token has expired and no refresh token is stored: ' +
                                             'sign in again with Re-login (replace).', 'warn');
      } else if (key) {
        note('sessionNote', 'An API key is configured for Codex here. A device login would replace ' +
                            'it with a ChatGPT sign-in: use Re-login (replace) only if that is meant.', 'warn');
      } else {
        note('sessionNote', '');
      }
    }

    renderAccounts(st);

    var sub = $('sub');
    if (!sub.textContent || sub.textContent === 'Device code login on this node') {
      sub.textContent = st.account && st.account !== 'default' ? 'account: ' + st.account
                                                               : 'Device code login on this node';
    }
  }

  // The choice of account lives in the page's address, so a reload or a shared link keeps it.
  // A password never stays there: the address is shown, shared and kept in the history.
  function rememberAccount() {
    setAddress(function (p) {
      if (acct) p.set('account', acct);
      else p.delete('account');
    });
  }

  function dropPwdFromAddress() {
    setAddress(function () {});
  }

  // Rewrites the page's own address in place with change(params), never with a password.
  function setAddress(change) {
    try {
      var p = new URLSearchParams(location.search);
      change(p);
      p.delete('pwd');
      var q = p.toString();
      history.replaceState(history.state, '', ownUrl(q) + location.hash);
    } catch (e) {}
  }

  function select(name) {
    // The open login's code on its way is the chosen account's: the choice waits for it.
    if (flowActive || resuming) return;
    acct = name;
    defaultEntry = null;
    $('sub').textContent = name ? 'account: ' + name : 'Device code login on this node';
    rememberAccount();
    note('flowNote', '');
    offerNewCode(false);
    load();
  }

  function accountRow(name, label, tagText, tagKind) {
    var row = document.createElement('div');
    var chosen = name === acct;
    row.className = chosen ? 'acct on' : 'acct';
    var nm = document.createElement('span');
    nm.className = 'nm';
    nm.textContent = label;
    nm.title = label;
    var tag = document.createElement('span');
    tag.className = 'tag ' + (tagKind || '');
    tag.textContent = tagText;
    row.appendChild(nm);
    row.appendChild(tag);
    if (chosen) {
      row.setAttribute('aria-current', 'true');
      var cur = document.createElement('span');
      cur.className = 'cur';
      cur.textContent = 'Selected';
      row.appendChild(cur);
    } else {
      var b = document.createElement('button');
      b.type = 'button';
      b.className = 'btn ghost';
      b.textContent = 'Select';
      b.disabled = flowActive;
      b.setAttribute('aria-label', 'Select ' + label);
      b.addEventListener('click', function () {
        select(name);
      });
      row.appendChild(b);
    }
    return row;
  }

  // A row's state. The file's soundness is known only from a full status: that of the chosen
  // account and of the default one.
  function entryTag(a, full) {
    if (!a.logged_in) return ['empty', ''];
    if (fileProblem(full)) return ['needs sign-in', 'warn'];
    if (a.expired) return ['expired', 'warn'];
    return ['valid, ' + fmtExpiry(a.expires_in_sec), 'ok'];
  }

  function renderAccounts(st) {
    var list = st && st.accounts;
    var box = $('accounts');
    box.textContent = '';
    if (!st) return;
    // The default credential file is always a choice: it is the way back from a named one.
    var d = !acct ? st : defaultEntry;
    var dflt = !d ? ['', ''] : d.logged_in ? entryTag(d, d) : d.api_key_present ? ['API key', 'ok'] : ['empty', ''];
    box.appendChild(accountRow('', 'Default account', dflt[0], dflt[1]));
    if (!list || !list.length) {
      var empty = document.createElement('p');
      empty.className = 'empty';
      empty.textContent = 'No named accounts.';
      box.appendChild(empty);
      return;
    }
    list.forEach(function (a) {
      var t = entryTag(a, a.name === acct ? st : null);
      box.appendChild(accountRow(a.name, a.name, t[0], t[1]));
    });
  }

  function showStep(active) {
    $('stepIdle').classList.toggle('on', !active);
    $('stepActive').classList.toggle('on', active);
  }

  // The verification link stays a real link, so it works when window.open is blocked (framed
  // panels, pop-up blockers) and can be copied. Only web addresses become links: a CLI that
  // printed a javascript: or data: address must not get it run on this origin.
  function webUrl(u) {
    return /^https?:\/\//i.test(u);
  }

  // The sign-in is often approved on a phone, so a web link is also drawn as a QR code: dark
  // on white with a 4-module quiet zone in both themes, as many readers fail on inverted codes.
  // A link too long for the encoder gets none.
  function showQr(u) {
    var box = $('qrImage');
    box.textContent = '';
    var q = u && webUrl(u) && window.credvaneQr ? window.credvaneQr.encode(u) : null;
    $('verifyQr').hidden = !q;
    $('btnQr').hidden = !q;
    showQrOpen(false);
    if (!q) return;
    var side = q.size + 8, d = '';
    q.modules.forEach(function (row, r) {
      row.forEach(function (on, c) {
        if (on) d += 'M' + (c + 4) + ' ' + (r + 4) + 'h1v1h-1z';
      });
    });
    // Whole pixels per module keep the edges sharp; about 180 px whatever the version.
    var px = side * Math.max(3, Math.ceil(180 / side));
    box.innerHTML = '<svg role="img" aria-label="QR code of the verification link" ' +
        'shape-rendering="crispEdges" viewBox="0 0 ' + side + ' ' + side + '" width="' + px +
        '" height="' + px + '"><rect width="100%" height="100%" fill="#fff"/><path fill="#000" d="' +
        d + '"/></svg>';
  }

  // On a narrow screen the QR code waits behind its button; wide screens show it at once.
  function showQrOpen(on) {
    $('verifyQr').classList.toggle('open', on);
    $('btnQr').setAttribute('aria-expanded', on ? 'true' : 'false');
    $('btnQr').textContent = on ? 'Hide QR code' : 'Show QR code';
  }

  function showVerify(u) {
    showQr(u);
    var box = $('verifyUrl');
    box.textContent = '';
    if (!u) return;
    if (!webUrl(u)) {
      box.textContent = u;
      return;
    }
    var a = document.createElement('a');
    a.href = u;
    a.target = '_blank';
    a.rel = 'noopener';
    a.textContent = u;
    box.appendChild(a);
  }

  function stopCountdown() {
    if (codeTimer) clearInterval(codeTimer);
    codeTimer = null;
  }

  function hideCountdown() {
    stopCountdown();
    $('codeTtl').hidden = true;
  }

  // A new code is offered once the old one is dead: when its time ran out here, or when the
  // flow ended without a login (the node may notice the expiry before this clock does).
  function offerNewCode(on, label) {
    $('newCodeRow').hidden = !on;
    $('btnNewCode').textContent = label || 'Get a new code';
    if (lastStatus) layoutButtons(lastStatus);
  }

  function tickCountdown() {
    var left = Math.ceil((codeDeadline - Date.now()) / 1000);
    var ttl = $('codeTtl');
    if (left > 0) {
      ttl.textContent = 'The code expires in ' + fmtExpiry(left) + '.';
      return;
    }
    stopCountdown();
    ttl.textContent = 'The code has expired.';
    codeDead(true);
    offerNewCode(true);
    announce('The code has expired. Press Get a new code.');
  }

  function codeDead(on) {
    $('stepActive').classList.toggle('dead', on);
    if (on) $('copyHint').hidden = true;
  }

  // The code's lifetime is counted on this browser's clock from the moment the start answered.
  function startCountdown(sec) {
    hideCountdown();
    if (!isNum(sec) || sec <= 0) return;
    codeDeadline = Date.now() + sec * 1000;
    $('codeTtl').hidden = false;
    codeTimer = setInterval(tickCountdown, 1000);
    tickCountdown();
  }

  function reduceMotion() {
    try {
      return window.matchMedia('(prefers-reduced-motion: reduce)').matches;
    } catch (e) {
      return false;
    }
  }

  // Moves focus only when it would otherwise be lost: on the page itself, or on a control that
  // a state change has just hidden.
  function focusIfLost(id) {
    var a = document.activeElement;
    if (a && a !== document.body && a.offsetParent !== null && !a.hidden) return;
    var t = $(id);
    if (t && !t.hidden && t.offsetParent !== null) t.focus();
  }

  function firstShown(ids) {
    for (var i = 0; i < ids.length; i++) {
      if (!$(ids[i]).hidden) return ids[i];
    }
    return ids[ids.length - 1];
  }

  function startPollingUI() {
    flowActive = true;
    showStep(true);
    if (lastStatus) layoutButtons(lastStatus);
    if (!pollTimer) pollTimer = setInterval(pollOnce, pollMs);
  }

  function stopPollingUI() {
    showQr('');
    codeDead(false);
    flowActive = false;
    flowGen++;
    if (pollTimer) clearInterval(pollTimer);
    pollTimer = null;
    pollFailing = false;
  }

  function endFlow(label, msg, kind) {
    stopPollingUI();
    hideCountdown();
    offerNewCode(kind === 'err');
    showStep(false);
    if (lastStatus) layoutButtons(lastStatus);
    $('pollLabel').textContent = label;
    note('flowNote', msg, kind);
  }

  // What a login that ended without a sign-in says, and the one way on.
  function failedWords(r) {
    var again = ' Press Get a new code to try again.';
    if (r.error === 'expired') return 'The code expired before it was approved.' + again;
    if (r.error === 'denied') return 'The sign-in was refused on the sign-in page.' + again;
    return 'Login failed: ' + (r.error || 'unknown') + (r.detail ? ' - ' + r.detail : '') + '.' + again;
  }

  function pollOnce() {
    // A CLI run can outlast the period; one poll at a time keeps the runs from piling up.
    if (!flowActive || pollBusy) return;
    var gen = flowGen;
    pollBusy = true;
    api('poll')
      .then(function (r) {
        pollBusy = false;
        if (refused(r) || gen !== flowGen || !flowActive) return;
        if (!r || !r.ok) {
          pollFailing = true;
          note('flowNote', 'Poll error: ' + ((r && r.error) || 'unknown') + (r && r.detail ? ' - ' + r.detail : ''), 'err');
          return;
        }
        // An answer again: an earlier poll failure no longer holds.
        if (pollFailing) {
          pollFailing = false;
          note('flowNote', '');
        }
        if (r.state === 'done' || r.logged_in === true) {
          // The note and the pill change in the same turn: the note waits for the status that
          // turns the pill.
          stopPollingUI();
          $('pollLabel').textContent = 'Signed in; reading the new state' + ELLIPSIS;
          var msg = 'Signed in to ' + accountLabel() + '. The credential file has been written.';
          load(function () {
            endFlow('Signed in', msg, 'ok');
          }).then(function () {
            if (locked) return;
            focusIfLost(firstShown(['btnRefresh', 'btnRelogin', 'btnReload']));
          });
          return;
        }
        if (r.state === 'failed') {
          endFlow('Login failed', failedWords(r), 'err');
          focusIfLost('btnNewCode');
          load();
          return;
        }
        $('pollLabel').textContent = 'Waiting for authorization in browser...';
        pollMs = intervalMs(r.interval, pollMs);
      })
      .catch(function (e) {
        pollBusy = false;
        if (gen !== flowGen || !flowActive) return;
        pollFailing = true;
        note('flowNote', UNREACHABLE + '.', 'err');
      });
  }

  // The card of the password form and of the no-password warning. The head script has shown it
  // already when there is no password to send, so that its room is held from the first paint.
  function gateShown(on) {
    document.documentElement.classList.toggle('gate-on', on);
  }

  // The node asked for its password: show the form, and nothing of the node.
  function lock() {
    var already = locked;
    locked = true;
    known = false;
    stopRetry();
    stopPollingUI();
    hideCountdown();
    offerNewCode(false);
    askSignOut(false);
    setStartBusy(false);
    document.documentElement.classList.remove('cv-known');
    document.documentElement.classList.add('cv-locked');
    // A typed password that the node now refuses is of no use to a reload of this tab.
    if (typedPwd && !already) {
      keep(TYPED, '');
      typedPwd = '';
    }
    showStep(false);
    setPill('off', 'Password needed');
    gateShown(true);
    $('gate').className = 'card gate';
    $('hGate').textContent = 'Node password';
    $('gateLead').textContent = 'This node asks for its password before it shows or changes anything.';
    $('pwdForm').hidden = false;
    $('gateFixes').hidden = true;
    // A password that came from the address and never worked was mistyped there; one that
    // worked, or that the hub stored for this node, no longer does.
    var why = '';
    if (checkingTyped || (pwd && !everKnown && pwd === urlPwd)) why = NOT_ACCEPTED;
    else if (pwd) why = CHANGED;
    note('gateNote', why, 'err');
    $('count').textContent = '-';
    setFill(0);
    $('sessionLead').textContent = 'Enter the node password above to see this node.';
    $('session').textContent = '';
    ['btnRefresh', 'btnStartLogin', 'btnRelogin'].forEach(function (id) {
      show(id, false);
    });
    note('sessionNote', '');
    idleText(null);
    renderAccounts(null);
    focusIfLost('pwdInput');
  }

  // The first answer that the node gave to this browser: from now on its cards state facts.
  // A password from the address (which it left before the first call) has done its work: the
  // tab keeps it, as it keeps a typed one.
  function authorised() {
    locked = false;
    document.documentElement.classList.remove('cv-locked');
    document.documentElement.classList.add('cv-known');
    if (said.alert === NOT_ACCEPTED || said.alert === CHANGED) clearAlert();
    if (known) return;
    known = true;
    everKnown = true;
    if (urlPwd && pwd === urlPwd) {
      keep(TYPED, urlPwd);
      rememberAccount();
    }
  }

  // With no password at all the node answered: nothing but the password keeps other sites out.
  function gateFor(st) {
    authorised();
    $('pwdForm').hidden = true;
    note('gateNote', '');
    gateShown(!pwd);
    if (pwd) return;
    $('gate').className = 'card gate warn';
    $('hGate').textContent = 'No node password';
    $('gateLead').textContent =
      'This node has no password: any web page that its visitors open can start, cancel or refresh ' +
      'a sign-in here, or sign the node out. A private address is no shield: by DNS rebinding, a ' +
      "site points its own name at this node, and the browser then lets that site's pages use it. " +
      'To keep other sites out:';
    $('gateFixes').hidden = false;
  }

  // A failed status call says so, and shows nothing of the state it can no longer vouch for:
  // the pill too stops saying that the node is connected.
  function unknownState(msg) {
    lastStatus = null;
    // The cards say only that nothing is known, so they may show before any answer.
    document.documentElement.classList.add('cv-known');
    setPill('off', 'Not Connected');
    $('count').textContent = '-';
    setFill(0);
    $('bar').className = 'bar';
    $('sessionLead').textContent = 'The state of this node is not known right now.';
    $('session').textContent = '';
    // What the buttons and the idle line offer rests on the last answer: they return with the
    // next one.
    ['btnRefresh', 'btnStartLogin', 'btnRelogin', 'btnSignOut'].forEach(function (id) {
      show(id, false);
    });
    $('confirmOut').hidden = true;
    // The accounts stay to choose from; what their tags said was the last answer's.
    Array.prototype.forEach.call($('accounts').querySelectorAll('.tag'), function (t) {
      t.textContent = '';
      t.className = 'tag ';
    });
    idleText(null);
    note('sessionNote', msg, 'err');
  }

  function stopRetry() {
    if (retryTimer) clearTimeout(retryTimer);
    retryTimer = null;
  }

  // A node that could not be reached is asked again, less often the longer it stays away.
  function retryLater() {
    stopRetry();
    retryTimer = setTimeout(function () {
      retryTimer = null;
      load();
    }, retryMs);
    retryMs = Math.min(retryMs * 2, 30000);
  }

  // The state of the account a named one was chosen over, for its row in the list.
  function loadDefault() {
    if (!acct) {
      defaultEntry = null;
      return;
    }
    api('status', '', '')
      .then(function (d) {
        if (refused(d) || !acct) return;
        defaultEntry = d && d.ok ? d : null;
        if (lastStatus && !locked) renderAccounts(lastStatus);
      })
      .catch(function () {});
  }

  // beforeRender, when given, runs right before the answer is drawn (or its failure told), so
  // what it shows changes in the same turn as the pill.
  function load(beforeRender) {
    // A click handler passes its event here: only a function counts.
    var then = typeof beforeRender === 'function' ? beforeRender : function () {};
    stopRetry();
    return api('status')
      .then(function (st) {
        if (refused(st)) {
          heldNote = null;
          return;
        }
        retryMs = 2000;
        if (!st || !st.ok) {
          heldNote = null;
          then();
          unknownState('Error: ' + ((st && st.error) || 'no response') + (st && st.detail ? ' - ' + st.detail : ''));
          return;
        }
        gateFor(st);
        then();
        render(st);
        loadDefault();
        if (st.pending && !flowActive) {
          resumeFlow(st);
        } else if (!st.pending && flowActive) {
          stopPollingUI();
          layoutButtons(st);
        }
      })
      .catch(function () {
        heldNote = null;
        then();
        unknownState(UNREACHABLE + ELLIPSIS);
        if (!locked) retryLater();
      });
  }

  function setStartBusy(busy) {
    $('btnStartLogin').disabled = busy;
    $('btnRelogin').disabled = busy;
    $('btnNewCode').disabled = busy;
  }

  // A code on screen, from a start that asked for it or from one that picked up the open
  // login: everything that uses the code comes with it, and only then.
  function showCode(r) {
    flowVerify = r.verify_url || '';
    flowCode = r.user_code || '';
    $('userCode').textContent = flowCode;
    $('codeFor').textContent = 'For ' + accountLabel();
    $('stepActive').classList.remove('nocode');
    copyWay();
    showVerify(flowVerify);
    $('pollLabel').textContent = 'Waiting for authorization in browser...';
    pollMs = intervalMs(r.interval, 5000);
    note('flowNote', '');
    offerNewCode(false);
    startCountdown(r.expires_in);
    announce('Your one-time code is ' + flowCode + '.');
    startPollingUI();
  }

  // A login is open on the node, opened before a reload, by another tab or by another person:
  // a start without force hands out its code again with the time it has left. Where the code
  // cannot be had, the panel says so and offers one way on.
  function resumeFlow(st) {
    if (resuming) return;
    resuming = true;
    layoutButtons(st);
    var gen = flowGen;
    api('start')
      .then(function (r) {
        resuming = false;
        if (refused(r) || gen !== flowGen || flowActive) return;
        if (r && r.ok && !r.already_logged_in && r.user_code && r.verify_url) {
          showCode(r);
          load();
          return;
        }
        codeLost(r && !r.ok ? (r.detail || r.error || '') : '');
      })
      .catch(function () {
        resuming = false;
        if (gen !== flowGen || flowActive) return;
        codeLost("the node did not answer");
      });
  }

  // The open login's code cannot be shown: nothing to copy, open, scan or wait for. The login
  // is still followed, so that an approval elsewhere lands here too.
  function codeLost(why) {
    flowCode = '';
    flowVerify = '';
    hideCountdown();
    showVerify('');
    // Forced: a start without force would only ask for the open login's code again.
    startForce = true;
    startPollingUI();
    $('stepActive').classList.add('nocode');
    note('flowNote', 'A sign-in is open on this node, but its code cannot be shown here' +
                     (why ? ' (' + why + ')' : '') + '. Press Start over for a new code; the open ' +
                     'one then stops working.', 'warn');
    offerNewCode(true, 'Start over');
  }

  function doStart(force) {
    if (flowActive || resuming) return Promise.resolve();
    note('sessionNote', '');
    note('flowNote', '');
    note('addNote', '');
    setStartBusy(true);
    var waiting = 'Asking the issuer for a code' + ELLIPSIS;
    note('sessionNote', waiting, 'busy');
    return api('start', force ? 'force=1' : '')
      .then(function (r) {
        setStartBusy(false);
        if ($('sessionNote').textContent === waiting) note('sessionNote', '');
        if (refused(r)) return;
        if (!r || !r.ok) {
          note('sessionNote', 'Start failed: ' + ((r && r.error) || 'unknown') +
                                  (r && r.detail ? ' - ' + r.detail : ''), 'err');
          return;
        }
        if (r.already_logged_in) {
          heldNote = ['This node already has Codex credentials. Use Re-login to replace them.', 'warn'];
          load();
          return;
        }
        startForce = !!force;
        showCode(r);
        // On a phone the code sits below the fold: bring it up, and put the keyboard on the
        // one thing to do next.
        $('codeBox').scrollIntoView({ block: 'center', behavior: reduceMotion() ? 'auto' : 'smooth' });
        $(firstShown(['btnCopyOpen', 'btnOpen', 'btnCancel'])).focus({ preventScroll: true });
        load();
      })
      .catch(function () {
        setStartBusy(false);
        note('sessionNote', "Can't reach the node: no code was asked for. Try again.", 'err');
      });
  }

  function doCancel() {
    stopPollingUI();
    api('cancel')
      .then(function (r) {
        if (refused(r)) return;
        hideCountdown();
        offerNewCode(false);
        showStep(false);
        if (r && r.ok) note('flowNote', 'Device flow cancelled.', 'ok');
        else note('flowNote', 'Cancel failed: ' + ((r && r.error) || 'unknown') + (r && r.detail ? ' - ' + r.detail : ''), 'err');
        return load();
      })
      .then(function () {
        if (!locked) focusIfLost(firstShown(['btnStartLogin', 'btnRelogin']));
      })
      .catch(function () {
        note('flowNote', "Can't reach the node: the cancel may not have arrived. Press Reload to see.", 'err');
      });
  }

  function doRefresh() {
    note('sessionNote', '');
    var b = $('btnRefresh');
    b.disabled = true;
    api('refresh')
      .then(function (r) {
        b.disabled = false;
        if (refused(r)) return;
        if (!r || !r.ok) {
          note('sessionNote', 'Refresh failed: ' + ((r && r.error) || 'unknown') +
                                  (r && r.detail ? ' - ' + r.detail : ''), 'err');
          return;
        }
        var still = fileProblem(r);
        // The issuer's answer did not mend the file: only a new sign-in does now.
        heldNote = still ? ['The token was refreshed, but Codex would still refuse the credential file (' + still +
                            '). Press Re-login (replace) to sign in again.', 'warn']
                         : ['Token refreshed. New expiry: ' + fmtExpiry(r.expires_in_sec) + '.', 'ok'];
        render(r);
      })
      .catch(function () {
        b.disabled = false;
        note('sessionNote', "Can't reach the node: the token was not refreshed. Try again.", 'err');
      });
  }

  // Selected text is the way out when the clipboard is refused (framed panels, insecure
  // origins): the person copies it with the keyboard.
  function selectCode() {
    try {
      var sel = window.getSelection();
      sel.removeAllRanges();
      var r = document.createRange();
      r.selectNodeContents($('userCode'));
      sel.addRange(r);
    } catch (e) {}
  }

  function coarse() {
    try {
      return window.matchMedia('(pointer: coarse)').matches;
    } catch (e) {
      return false;
    }
  }

  // The clipboard is there only in a secure context (HTTPS or this machine); a phone on plain
  // http has none. Touch screens have no keyboard to copy with.
  function canCopy() {
    return !!(window.isSecureContext && navigator.clipboard && navigator.clipboard.writeText);
  }

  function copyHow() {
    return coarse() ? 'Long-press the code to copy it.' : 'Select the code and press Ctrl+C to copy it.';
  }

  // Without a clipboard one tap must not both fail to copy and carry the person off to the
  // issuer: the code stays here with how to copy it, and the link gets a button of its own.
  function copyWay() {
    var copy = canCopy(), web = webUrl(flowVerify);
    $('btnCopyOpen').hidden = !copy;
    $('btnCopyOpen').textContent = web ? 'Copy Code & Open Sign-in Page' : 'Copy Code';
    $('btnOpen').hidden = copy || !web;
    // A link without an address may carry no target or rel either, so they come and go with it.
    var open = $('btnOpen');
    if (web) {
      open.href = flowVerify;
      open.target = '_blank';
      open.rel = 'noopener';
    } else {
      ['href', 'target', 'rel'].forEach(function (a) {
        open.removeAttribute(a);
      });
    }
    $('copyHint').hidden = copy;
    $('copyHint').textContent = copy ? '' : copyHow();
  }

  function copyOpen() {
    var code = flowCode;
    var hint = coarse() ? ' Long-press the code to copy it.' : ' The code is selected: press Ctrl+C to copy it.';
    if (navigator.clipboard && navigator.clipboard.writeText) {
      navigator.clipboard.writeText(code).then(
        function () {
          toast('Code copied. Open the link and approve.');
        },
        function () {
          selectCode();
          toast('Copy failed.' + hint);
        });
    } else {
      selectCode();
      toast('Copy not available.' + hint);
    }
    if (flowVerify && webUrl(flowVerify)) {
      try {
        window.open(flowVerify, '_blank', 'noopener');
      } catch (e) {}
    }
  }

  function unlock(ev) {
    ev.preventDefault();
    var typed = $('pwdInput').value;
    if (!typed) return;
    pwd = typed;
    typedPwd = typed;
    pwdInQuery = false;
    keep(TYPED, typed);
    $('pwdInput').value = '';
    // A slow link must not look like a dead button.
    note('gateNote', 'Checking' + ELLIPSIS, 'busy');
    $('btnUnlock').disabled = true;
    checkingTyped = true;
    load().then(function () {
      checkingTyped = false;
      $('btnUnlock').disabled = false;
      if ($('gateNote').textContent === 'Checking' + ELLIPSIS) note('gateNote', '');
      if (locked) {
        keep(TYPED, '');
        note('gateNote', NOT_ACCEPTED, 'err');
        $('pwdInput').focus();
      } else {
        focusIfLost(firstShown(['btnStartLogin', 'btnRefresh', 'btnRelogin']));
      }
    });
  }

  function askSignOut(on) {
    $('confirmOut').hidden = !on;
    if (!on) return;
    $('confirmText').textContent = 'Sign ' + accountLabel() + ' out of Codex on this node? Its stored ' +
                                   'sign-in is removed, and using Codex here again takes a new device login.';
    $('btnSignOutNo').focus();
  }

  var SIGN_OUT_ERRORS = {
    logout_unsupported: 'the login CLI on this node cannot sign out; update it',
    revoke_failed: 'the issuer did not take the token back, so the sign-in stays',
    cli_unavailable: 'the login CLI cannot be run on this node',
  };

  function doSignOut() {
    var label = accountLabel();
    askSignOut(false);
    var b = $('btnSignOut');
    b.disabled = true;
    note('sessionNote', 'Signing out' + ELLIPSIS, 'busy');
    api('logout')
      .then(function (r) {
        b.disabled = false;
        if (refused(r)) return;
        if (!r || !r.ok) {
          var code = (r && r.error) || 'unknown';
          note('sessionNote', 'Sign out failed: ' + (SIGN_OUT_ERRORS[code] || code) +
                                  (r && r.detail ? ' (' + r.detail + ')' : '') + '.', 'err');
          return;
        }
        // What the flow card said of an earlier sign-in is no longer true.
        note('flowNote', '');
        offerNewCode(false);
        var unconfirmed = r.revoked === false
          ? ' The issuer did not confirm that it took the token back: it may still be valid there' +
            (r.detail ? ' (' + r.detail + ')' : '') + '.'
          : '';
        if (acct) {
          // A named account is its file, and the file is gone: the panel goes back to the
          // default account rather than show one that no longer exists.
          heldNote = ['Signed ' + label + ' out; its credential file is gone. This is the default account.' +
                      unconfirmed, unconfirmed ? 'warn' : 'ok'];
          acct = '';
          defaultEntry = null;
          $('sub').textContent = 'Device code login on this node';
          rememberAccount();
          load().then(function () {
            if (!locked) focusIfLost(firstShown(['btnStartLogin', 'btnRelogin', 'btnRefresh', 'btnReload']));
          });
          return;
        }
        heldNote = unconfirmed
          ? ['Signed ' + label + ' out on this node.' + unconfirmed, 'warn']
          : ['Signed ' + label + ' out. Codex on this node has no sign-in for it now.', 'ok'];
        if (typeof r.logged_in === 'boolean') {
          render(r);
          loadDefault();
          focusIfLost(firstShown(['btnStartLogin', 'btnRelogin', 'btnReload']));
        } else {
          load();
        }
      })
      .catch(function () {
        b.disabled = false;
        note('sessionNote', "Can't reach the node: it may still be signed in. Press Reload to see.", 'err');
      });
  }

  // The rule the node holds account names to: they become file names and CLI arguments.
  function nameProblem(n) {
    if (!n) return 'Enter a name for the account.';
    if (n.length > 64) return 'A name has at most 64 characters.';
    if (n.charAt(0) === '.') return 'A name may not begin with ".".';
    if (!/^[A-Za-z0-9._-]+$/.test(n)) return 'A name may hold only letters, digits, "-", "." and "_".';
    return '';
  }

  function addAccount(ev) {
    ev.preventDefault();
    var input = $('addName');
    var name = input.value;
    var problem = flowActive || resuming ? 'Finish or cancel the open login first.' : nameProblem(name);
    if (problem) {
      input.setAttribute('aria-invalid', 'true');
      note('addNote', problem, 'err');
      input.focus();
      return;
    }
    input.removeAttribute('aria-invalid');
    input.value = '';
    note('addNote', '');
    // A refusal of an earlier name would otherwise still be read out as the page's alert.
    clearAlert();
    acct = name;
    defaultEntry = null;
    $('sub').textContent = 'account: ' + name;
    rememberAccount();
    doStart(false);
  }

  function toggleTheme() {
    if (typeof window.qnApplyTheme !== 'function') return;
    var now = typeof window.qnTheme === 'function' ? window.qnTheme() : 'dark';
    window.qnApplyTheme(now === 'light' ? 'dark' : 'light');
  }

  $('btnStartLogin').addEventListener('click', function () {
    doStart(false);
  });
  $('btnRelogin').addEventListener('click', function () {
    doStart(true);
  });
  $('btnNewCode').addEventListener('click', function () {
    // The old code is dead (its time ran out here), even if the node has not said so yet.
    if (flowActive) stopPollingUI();
    doStart(startForce);
  });
  $('btnReload').addEventListener('click', load);
  $('btnCancel').addEventListener('click', doCancel);
  $('btnRefresh').addEventListener('click', doRefresh);
  $('btnCopyOpen').addEventListener('click', copyOpen);
  $('btnQr').addEventListener('click', function () {
    showQrOpen(!$('verifyQr').classList.contains('open'));
  });
  $('btnSignOut').addEventListener('click', function () {
    askSignOut(true);
  });
  $('btnSignOutNo').addEventListener('click', function () {
    askSignOut(false);
    $('btnSignOut').focus();
  });
  $('btnSignOutYes').addEventListener('click', doSignOut);
  $('addForm').addEventListener('submit', addAccount);
  $('themeToggle').addEventListener('click', toggleTheme);
  $('pwdForm').addEventListener('submit', unlock);

  renderAccounts(null);
  $('footInfo').textContent = 'credvane';
  load();
})();
