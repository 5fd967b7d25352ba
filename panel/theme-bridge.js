// theme-bridge.js: lets the page, a host frame and other scripts switch the theme later on.
(function () {
  var d = document.documentElement;
  function apply(t) {
    if (t !== 'light' && t !== 'dark') return;
    if (d.getAttribute('data-theme') === t) return;
    d.setAttribute('data-theme', t);
    try {
      localStorage.setItem('bot_theme', t);
    } catch (e) {}
    try {
      window.dispatchEvent(new CustomEvent('bot-theme', { detail: t }));
    } catch (e) {}
  }
  window.qnApplyTheme = apply;
  window.qnTheme = function () {
    var t = d.getAttribute('data-theme');
    return t === 'light' || t === 'dark' ? t : 'dark';
  };
  // Any sender may ask for a theme: apply admits only the two names, so nothing else leaks in.
  window.addEventListener('message', function (e) {
    var m = e.data;
    if (m && m.type === 'qn-theme') apply(m.theme);
  });
  try {
    if (window.parent && window.parent !== window) {
      window.parent.postMessage({ type: 'qn-theme-request' }, '*');
    }
  } catch (e) {}
})();
