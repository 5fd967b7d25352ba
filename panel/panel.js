// panel.js: drives the device login from the browser through the node's JSON actions.
(function () {
  'use strict';

  function $(id) {
    return document.getElementById(id);
  }

  // Blocked storage (private modes, sandboxed frames) throws on access: without it the panel
  // simply has no stored password.
  function stored(key) {
    try {
      return localStorage.getItem(key) || '';
    } catch (e) {
      return '';
    }
  }

  var params = new URLSearchParams(location.search);
  var node = params.get('node') || '';
  var sid = params.get('id') || '';
  var acct = params.get('account') || '';
  var HUB = params.get('plugin') || '';
  var pwd = params.get('pwd') || (node && stored('bot_pwd_' + node)) || stored('bot_active_pwd') || '';

  var pollTimer = null;
  var pollMs = 5000;
  var flowActive = false;
  var flowVerify = '';
  var flowCode = '';
  // Bumped whenever a followed flow ends, so a poll reply that arrives afterwards is dropped.
  var flowGen = 0;
  var pollBusy = false;
  var startForce = false;
  var codeTimer = null;
  var codeDeadline = 0;
  // A note set by a handler right before a render; that render shows it instead of its own.
  var heldNote = null;
  var toastTimer = null;

  function url(action, extra) {
    var u = HUB ? '/plugins?plugin=' + encodeURIComponent(HUB) + '&action=' : '/credvane?action=';
    u += encodeURIComponent(action);
    if (extra) u += '&' + extra;
    if (acct) u += '&account=' + encodeURIComponent(acct);
    if (node) u += '&node=' + encodeURIComponent(node);
    if (sid) u += '&id=' + encodeURIComponent(sid);
    if (pwd) u += '&pwd=' + encodeURIComponent(pwd);
    return u;
  }

  function hdr() {
    var h = {};
    if (pwd) h['X-Bot-Password'] = pwd;
    return h;
  }

  // The body decides, whatever the HTTP status: error answers carry their reason in JSON.
  function api(action, extra) {
    return fetch(url(action, extra), { headers: hdr() })
      .then(function (r) {
        return r.text();
      })
      .then(function (t) {
        try {
          return JSON.parse(t);
        } catch (e) {
          return { ok: false, error: 'bad response' };
        }
      });
  }

  function errText(e) {
    return String((e && e.message) || e);
  }

  // One polite region for changes of state, one alert for failures. Repeats of the same text
  // (a poll that fails the same way every few seconds) are not announced again.
  var said = { live: '', alert: '' };
  function announce(msg, region) {
    region = region || 'live';
    if (!msg || said[region] === msg) return;
    said[region] = msg;
    $(region).textContent = msg;
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

  function isNum(x) {
    return typeof x === 'number' && isFinite(x);
  }

  function fmtExpiry(sec) {
    if (!isNum(sec)) return '-';
    if (sec <= 0) return 'expired';
    if (sec < 90) return sec + 's';
    if (sec < 5400) return Math.round(sec / 60) + ' min';
    var h = Math.floor(sec / 3600);
    if (h < 48) return h + ' h ' + Math.floor((sec % 3600) / 60) + ' min';
    return Math.floor(h / 24) + ' days';
  }

  function fmtClock(sec) {
    if (!isNum(sec) || sec <= 0) return '-';
    var d = Math.floor(sec / 86400);
    var h = Math.floor((sec % 86400) / 3600);
    var m = Math.floor((sec % 3600) / 60);
    if (d > 0) return d + 'd ' + h + 'h';
    if (h > 0) return h + 'h ' + m + 'm';
    return m + 'm';
  }

  function fmtInstant(sec) {
    try {
      return new Date(sec * 1000).toISOString().replace('T', ' ').slice(0, 19);
    } catch (e) {
      return 'unknown';
    }
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

  function render(st) {
    var li = !!st.logged_in, ex = !!st.expired, pend = !!st.pending;

    if (li && !ex) setPill('ok', 'Logged In');
    else if (li) setPill('warn', 'Expired');
    else if (pend) setPill('warn', 'Signing In');
    else setPill('off', 'Not Connected');

    var count = $('count');
    if (li && !ex) {
      count.textContent = fmtClock(st.expires_in_sec);
      var small = document.createElement('small');
      small.textContent = ' remaining';
      count.appendChild(small);
    } else {
      count.textContent = li ? 'Token expired' : pend ? 'Device flow open' : 'No Codex session';
    }

    var pct = li && isNum(st.expires_in_sec) && st.expires_in_sec > 0 ? fillPercent(st) : 0;
    $('fill').style.width = pct + '%';
    $('bar').className = li && ex ? 'bar err' : li && pct < 20 ? 'bar warn' : 'bar';

    var token = !li ? 'none' : ex ? 'expired' : 'valid, ' + fmtExpiry(st.expires_in_sec);
    var prof = st.profile_exists ? st.profile || 'codex' : 'not created';
    kv($('session'), [
      ['Account', st.account || '-', true],
      ['Logged in', li ? 'yes' : 'no', true],
      ['Token', token, true],
      ['Refresh token', st.has_refresh ? 'stored' : 'none', true],
      ['Last refreshed', st.last_refresh ? fmtInstant(st.last_refresh) : 'unknown', true],
      ['Account id', st.account_id || '-', false],
      ['Login pending', pend ? 'yes' : 'no', true],
      ['Login CLI', st.cli_present ? 'found' : 'not found', true],
      ['Profile', prof, true],
      ['Credentials', st.credentials_path || '-', false],
    ]);

    $('btnRelogin').hidden = !li;
    $('btnStartLogin').hidden = li;

    if (heldNote) {
      note('sessionNote', heldNote[0], heldNote[1]);
      heldNote = null;
    } else {
      if (!li && !pend) {
        note('sessionNote', 'No Codex session on this node yet. Start a device login below.', 'ok');
      } else if (li && ex) {
        note('sessionNote', 'The token has expired. Press Refresh Token Now, or sign in again.', 'warn');
      } else {
        note('sessionNote', '');
      }
      if (st.cli_present === false) {
        note('sessionNote',
             'QUENLO CODE is not on this node: the login and refresh CLIs cannot be run here.',
             'warn');
      }
    }

    renderAccounts(st.accounts);

    var sub = $('sub');
    if (!sub.textContent || sub.textContent === 'Device code login on this node') {
      sub.textContent = st.account && st.account !== 'default' ? 'account: ' + st.account
                                                               : 'Device code login on this node';
    }
  }

  function renderAccounts(list) {
    var box = $('accounts');
    box.textContent = '';
    if (!list || !list.length) {
      var empty = document.createElement('p');
      empty.className = 'empty';
      empty.textContent = 'No named accounts.';
      box.appendChild(empty);
      return;
    }
    list.forEach(function (a) {
      var row = document.createElement('div');
      row.className = 'acct';
      var nm = document.createElement('span');
      nm.className = 'nm';
      nm.textContent = a.name;
      nm.title = a.name;
      var tag = document.createElement('span');
      var good = a.logged_in && !a.expired;
      tag.className = 'tag ' + (good ? 'ok' : a.logged_in ? 'warn' : '');
      tag.textContent = a.logged_in ? (a.expired ? 'expired' : 'valid, ' + fmtExpiry(a.expires_in_sec)) : 'empty';
      var b = document.createElement('button');
      b.type = 'button';
      b.className = 'btn ghost';
      b.textContent = 'Select';
      b.setAttribute('aria-label', 'Select ' + a.name);
      b.addEventListener('click', function () {
        acct = a.name;
        $('sub').textContent = 'account: ' + a.name;
        load();
      });
      row.appendChild(nm);
      row.appendChild(tag);
      row.appendChild(b);
      box.appendChild(row);
    });
  }

  function showStep(active) {
    $('stepIdle').className = active ? 'step' : 'step on';
    $('stepActive').className = active ? 'step on' : 'step';
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
    var box = $('verifyQr');
    box.textContent = '';
    var q = u && webUrl(u) && window.credvaneQr ? window.credvaneQr.encode(u) : null;
    box.hidden = !q;
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

  function pad2(n) {
    return (n < 10 ? '0' : '') + n;
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
  function offerNewCode(on) {
    $('newCodeRow').hidden = !on;
  }

  function tickCountdown() {
    var left = Math.ceil((codeDeadline - Date.now()) / 1000);
    var ttl = $('codeTtl');
    if (left > 0) {
      ttl.textContent = 'The code expires in ' + Math.floor(left / 60) + ':' + pad2(left % 60) + '.';
      return;
    }
    stopCountdown();
    ttl.textContent = 'The code has expired.';
    offerNewCode(true);
    announce('The code has expired. Press Get a new code.');
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

  function startPollingUI() {
    flowActive = true;
    showStep(true);
    if (!pollTimer) pollTimer = setInterval(pollOnce, pollMs);
  }

  function stopPollingUI() {
    showQr('');
    flowActive = false;
    flowGen++;
    if (pollTimer) clearInterval(pollTimer);
    pollTimer = null;
  }

  function endFlow(label, msg, kind) {
    stopPollingUI();
    hideCountdown();
    offerNewCode(kind === 'err');
    showStep(false);
    $('pollLabel').textContent = label;
    note('flowNote', msg, kind);
  }

  function pollOnce() {
    // A CLI run can outlast the period; one poll at a time keeps the runs from piling up.
    if (!flowActive || pollBusy) return;
    var gen = flowGen;
    pollBusy = true;
    api('poll')
      .then(function (r) {
        pollBusy = false;
        if (gen !== flowGen || !flowActive) return;
        if (!r || !r.ok) {
          note('flowNote', 'Poll error: ' + ((r && r.error) || 'unknown'), 'err');
          return;
        }
        if (r.state === 'done' || r.logged_in === true) {
          endFlow('Signed in', 'Signed in. The credential file has been written.', 'ok');
          load();
          return;
        }
        if (r.state === 'failed') {
          endFlow('Login failed',
                  'Login failed: ' + (r.error || 'unknown') + (r.detail ? ' - ' + r.detail : ''), 'err');
          load();
          return;
        }
        $('pollLabel').textContent = 'Waiting for authorization in browser...';
        if (isNum(r.interval) && r.interval > 0) pollMs = Math.max(1000, r.interval * 1000);
      })
      .catch(function (e) {
        pollBusy = false;
        if (gen !== flowGen || !flowActive) return;
        note('flowNote', 'Poll request failed: ' + errText(e), 'err');
      });
  }

  function load() {
    return api('status')
      .then(function (st) {
        if (!st || !st.ok) {
          heldNote = null;
          setPill('off', 'Not Connected');
          note('sessionNote', 'Error: ' + ((st && st.error) || 'no response'), 'err');
          return;
        }
        render(st);
        if (st.pending && !flowActive) {
          // Opened elsewhere or before a reload: the code cannot be read back from the node.
          flowCode = '';
          flowVerify = '';
          $('userCode').textContent = '--';
          showVerify('');
          hideCountdown();
          offerNewCode(false);
          $('pollLabel').textContent = 'A device flow is already open on this node';
          startPollingUI();
        } else if (!st.pending && flowActive) {
          stopPollingUI();
        }
      })
      .catch(function (e) {
        heldNote = null;
        setPill('off', 'Not Connected');
        note('sessionNote', 'Request failed: ' + errText(e), 'err');
      });
  }

  function setStartBusy(busy) {
    $('btnStartLogin').disabled = busy;
    $('btnRelogin').disabled = busy;
    $('btnNewCode').disabled = busy;
  }

  function doStart(force) {
    note('sessionNote', '');
    setStartBusy(true);
    return api('start', force ? 'force=1' : '')
      .then(function (r) {
        setStartBusy(false);
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
        flowVerify = r.verify_url || '';
        flowCode = r.user_code || '';
        $('userCode').textContent = flowCode || '--';
        showVerify(flowVerify);
        $('pollLabel').textContent = 'Waiting for authorization in browser...';
        pollMs = Math.max(1000, (r.interval || 5) * 1000);
        note('flowNote', '');
        offerNewCode(false);
        startCountdown(r.expires_in);
        announce('Your one-time code is ' + (flowCode || 'not known') + '.');
        startPollingUI();
        load();
      })
      .catch(function (e) {
        setStartBusy(false);
        note('sessionNote', 'Start request failed: ' + errText(e), 'err');
      });
  }

  function doCancel() {
    stopPollingUI();
    api('cancel')
      .then(function (r) {
        hideCountdown();
        offerNewCode(false);
        showStep(false);
        if (r && r.ok) note('flowNote', 'Device flow cancelled.', 'ok');
        else note('flowNote', 'Cancel failed: ' + ((r && r.error) || 'unknown'), 'err');
        load();
      })
      .catch(function (e) {
        note('flowNote', 'Cancel request failed: ' + errText(e), 'err');
      });
  }

  function doRefresh() {
    note('sessionNote', '');
    var b = $('btnRefresh');
    b.disabled = true;
    api('refresh')
      .then(function (r) {
        b.disabled = false;
        if (!r || !r.ok) {
          note('sessionNote', 'Refresh failed: ' + ((r && r.error) || 'unknown') +
                                  (r && r.detail ? ' - ' + r.detail : ''), 'err');
          return;
        }
        heldNote = ['Token refreshed. New expiry: ' + fmtExpiry(r.expires_in_sec) + '.', 'ok'];
        render(r);
      })
      .catch(function (e) {
        b.disabled = false;
        note('sessionNote', 'Refresh request failed: ' + errText(e), 'err');
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

  function copyOpen() {
    var code = flowCode;
    var hint = ' The code is selected: press Ctrl+C to copy it.';
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
    doStart(startForce);
  });
  $('btnReload').addEventListener('click', load);
  $('btnCancel').addEventListener('click', doCancel);
  $('btnRefresh').addEventListener('click', doRefresh);
  $('btnCopyOpen').addEventListener('click', copyOpen);
  $('themeToggle').addEventListener('click', toggleTheme);

  $('footInfo').textContent = 'credvane';
  load();
})();
