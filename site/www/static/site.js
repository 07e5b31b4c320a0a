// Page-side script of the back-office pages. The component's markup calls
// three functions by name:
//   modalForm(url)      add / modify dialogs, the delete of ticked rows, and
//                       menu entries stored as a modalForm call;
//   callTableData(url)  reloads the grid (#tableData) at another page;
//   DoMenu(id)          opens and closes a menu group.
// Dialogs are documents in the frame of <dialog id='dlg'>; when a form there
// has been stored, the answer calls parent.dialogDone(message).
// Every change is a POST carrying the session's token (<body data-token>) as
// "_token": in the address where the record writer would take a form field
// for a column, else in the form.
'use strict';

(function () {
  var gridUrl = null;

  function frame() { return document.getElementById('dlgFrame'); }
  function dialog() { return document.getElementById('dlg'); }

  // Resizes the dialog frame to its document once it has loaded.
  function fitFrame() {
    var f = frame();
    try {
      var doc = f.contentDocument;
      if (!doc || !doc.body || doc.location.href === 'about:blank') return;
      f.style.height = Math.min(doc.documentElement.scrollHeight + 4, window.innerHeight - 120) + 'px';
      var first = doc.querySelector('input:not([type=hidden]), select');
      if (first) first.focus();
    } catch (e) { /* another origin: leave the size */ }
  }

  function toast(message) {
    var box = document.getElementById('toast');
    if (!box) {
      box = document.createElement('div');
      box.id = 'toast';
      box.className = 'toast';
      box.setAttribute('role', 'status');
      document.body.appendChild(box);
    }
    box.textContent = message;
    box.classList.add('show');
    clearTimeout(box.hideTimer);
    box.hideTimer = setTimeout(function () { box.classList.remove('show'); }, 3000);
  }

  // Scripts inserted with innerHTML do not run; the grid carries one
  // (CheckAll), so run them again.
  function runScripts(container) {
    container.querySelectorAll('script').forEach(function (old) {
      var s = document.createElement('script');
      s.text = old.text;
      old.parentNode.replaceChild(s, old);
    });
  }

  window.modalForm = function (url) {
    var target = new URL(url, location.href);
    var ac = (target.searchParams.get('ac') || '').toLowerCase();
    if (ac === 'del') {
      var form = document.forms.formtablepage;
      var ticked = form ? form.querySelectorAll('input[name=delids]:checked') : [];
      if (!ticked.length) { alert('请先勾选要删除的记录！'); return; }
      if (!confirm('确定删除选中的 ' + ticked.length + ' 条记录吗？')) return;
      target.searchParams.set('_token', document.body.dataset.token || '');
      form.action = target.href;
      form.target = 'dlgFrame';
      form.submit();
      return;
    }
    var d = dialog();
    if (!d) { location.href = target.href; return; }
    document.getElementById('dlgTitle').textContent = ac === 'add' ? '添加' : ac === 'modify' ? '修改' : '';
    frame().style.height = '120px';
    frame().contentWindow.location.replace(target.href);
    if (!d.open) d.showModal();
  };

  window.closeModal = function () {
    var d = dialog();
    if (d && d.open) d.close();
    try { frame().contentWindow.location.replace('about:blank'); } catch (e) { /* ignore */ }
  };

  // Called by the answer to a stored form (in the dialog frame).
  window.dialogDone = function (message) {
    window.closeModal();
    if (message) toast(message);
    if (document.getElementById('tableData')) window.callTableData(gridUrl || '?ac=call&page=1');
  };

  window.callTableData = function (url) {
    var box = document.getElementById('tableData');
    if (!box) return;
    var target = new URL(url, location.href);
    box.classList.add('loading');
    fetch(target.href, { credentials: 'same-origin' })
      .then(function (r) {
        if (r.redirected) { location.href = r.url; return null; }  // logged out meanwhile
        if (!r.ok) throw new Error('HTTP ' + r.status);
        return r.text();
      })
      .then(function (html) {
        if (html === null) return;
        box.innerHTML = html;
        runScripts(box);
        gridUrl = url;
        box.setAttribute('data-url', url);
      })
      .catch(function (e) { toast('加载失败：' + e.message); })
      .finally(function () { box.classList.remove('loading'); });
  };

  window.DoMenu = function (id) {
    var list = document.getElementById(id);
    if (!list) return;
    var closed = list.style.display === 'none';
    list.style.display = closed ? '' : 'none';
    var title = list.previousElementSibling;
    if (title) title.classList.toggle('closed', !closed);
  };

  document.addEventListener('DOMContentLoaded', function () {
    var f = frame();
    if (f) f.addEventListener('load', fitFrame);
    var d = dialog();
    if (d) d.addEventListener('close', function () {
      try { frame().contentWindow.location.replace('about:blank'); } catch (e) { /* ignore */ }
    });
    // Mark the collapsed groups so their headings show the closed arrow.
    document.querySelectorAll('ul.menu').forEach(function (list) {
      var title = list.previousElementSibling;
      if (title && list.style.display === 'none') title.classList.add('closed');
    });
    // The profile is stored by the query-string writer: its values go in the
    // address of the POST, the token stays in the body.
    var profile = document.getElementById('profileForm');
    if (profile) profile.addEventListener('submit', function () {
      var q = new URLSearchParams();
      ['id', 'ac', '姓名', '性别'].forEach(function (name) {
        if (profile.elements[name]) q.set(name, profile.elements[name].value);
      });
      q.set('t', String(Date.now()));
      profile.action = 'profile.asp?' + q.toString();
    });
    var flash = document.getElementById('flash');
    if (flash) setTimeout(function () { flash.classList.add('fade'); }, 4000);
  });
})();
