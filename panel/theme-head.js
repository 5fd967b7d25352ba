// theme-head.js: picks the theme while the head is parsed, so the first paint already has it.
// Order: ?theme= in the URL, then the stored choice, then the system preference. Each step
// that touches the URL or storage stands in its own guard: blocked storage must not stop it.
(function () {
  var d = document.documentElement, s = location.search, t = '';
  try {
    var m = /[?&]theme=(light|dark)/.exec(s);
    if (m) t = m[1];
  } catch (e) {}
  if (!t) {
    try {
      var v = localStorage.getItem('bot_theme');
      if (v === 'light' || v === 'dark') t = v;
    } catch (e) {}
  }
  if (!t) {
    try {
      t = window.matchMedia('(prefers-color-scheme: light)').matches ? 'light' : 'dark';
    } catch (e) {
      t = 'dark';
    }
  }
  d.setAttribute('data-theme', t);
  try {
    if (/[?&]embed=(1|true)(&|$)/.test(s)) d.classList.add('embedded');
  } catch (e) {}
  try {
    localStorage.setItem('bot_theme', t);
  } catch (e) {}
})();
