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
//
// The component's markup stays as it is; this script makes it usable from a
// keyboard (a role, a tab stop and Enter/Space on every onclick element),
// fixes tick-all for a page with one box, carries the list's search, sort
// and page size through the grid's own reloads, and marks the row just
// added or changed. Below 760 px the grid's rows show as cards (the cells
// get their column's name as data-label, the row actions a class), the
// focus goes back to the control used after a reload, and a session that
// ended while a dialog was open is renewed inside the dialog, the typed
// form kept (reLogin).
'use strict';

(function () {
  var gridUrl = null;
  // The list's state, added to every reload the grid's pager asks for.
  // (from, to, act: the audit trail's day range and action.)
  var listState = { q: '', sort: '', dir: '', size: '', from: '', to: '', act: '' };
  var markId = '';
  // Sortable columns: the header's text -> the key the page knows.
  var sortKeys = { '登录账号': 'account', '姓名': 'name', '性别': 'sex', '角色': 'role', '注册时间': 'time',
                   '时间': 'time', '账号': 'account', '动作': 'action' };

  // Gives an element the page calls by onclick a role, a tab stop and the
  // keys a button answers to.
  function operable(el) {
    if (el.dataset.operable) return;
    el.dataset.operable = '1';
    var tag = el.tagName;
    if (tag === 'BUTTON' || tag === 'INPUT' || tag === 'SELECT') return;
    if (!el.hasAttribute('role')) el.setAttribute('role', 'button');
    if (!el.hasAttribute('tabindex')) el.tabIndex = 0;
    el.addEventListener('keydown', function (e) {
      if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); el.click(); }
    });
  }

  function enhance(root) {
    root.querySelectorAll('[onclick], [onClick]').forEach(operable);
    // A box that scrolls a wide table sideways must be reachable by keyboard.
    if (root.querySelectorAll) root.querySelectorAll('.gridBox').forEach(function (box) {
      if (box.hasAttribute('tabindex')) return;
      box.tabIndex = 0;
      box.setAttribute('role', 'region');
      var heading = box.previousElementSibling;
      box.setAttribute('aria-label', heading && /^H[1-3]$/.test(heading.tagName) ? heading.textContent : '表格');
    });
    root.querySelectorAll('.titleNav').forEach(function (title) {
      var list = title.nextElementSibling;
      if (list && list.id) {
        title.setAttribute('aria-controls', list.id);
        title.setAttribute('aria-expanded', list.style.display === 'none' ? 'false' : 'true');
      }
    });
    root.querySelectorAll("input[name=chkAll]").forEach(function (box) {
      box.setAttribute('aria-label', '全选');
    });
    root.querySelectorAll("input[name=delids]").forEach(function (box) {
      var row = box.closest('tr');
      var cells = row ? row.querySelectorAll('td') : [];
      box.setAttribute('aria-label', '选择 ' + (cells[1] ? cells[1].textContent.trim() : box.value));
    });
    if (root.querySelectorAll) root.querySelectorAll('.gridBox table.tableWg').forEach(cardLabels);
    var grid = root.querySelector ? root.querySelector('#tableData table.tableWg') : null;
    if (grid && document.getElementById('tableData').dataset.sortable) sortableHeaders(grid);
    if (grid) markRow(grid);
  }

  // The column names as each cell's data-label, and the row actions (edit
  // link, delete box) and the number marked, so that CSS can show a row as
  // a card with its actions first on a narrow screen.
  function cardLabels(grid) {
    var head = grid.querySelector('thead tr');
    if (!head) return;
    grid.parentNode.classList.add('cards');
    // Cells only: the heading row also holds the grid's CheckAll script.
    var names = Array.prototype.map.call(head.querySelectorAll(':scope > td'), function (cell) { return cell.textContent.trim(); });
    grid.querySelectorAll('tbody tr').forEach(function (row) {
      Array.prototype.forEach.call(row.querySelectorAll(':scope > td'), function (cell, i) {
        if (cell.colSpan > 1) { cell.classList.add('cardWide'); return; }
        if (cell.querySelector('a[onclick*="modify"]')) cell.classList.add('rowEdit');
        else if (cell.querySelector('input[name=delids]') || names[i] === '删除') cell.classList.add('rowPick');
        else if (i === 0 && names[0] === '序号') cell.classList.add('rowNum');
        else if (names[i]) cell.setAttribute('data-label', names[i]);
      });
    });
  }

  function sortableHeaders(grid) {
    var head = grid.querySelector('thead tr');
    if (!head) return;
    head.querySelectorAll('td').forEach(function (cell) {
      var label = cell.textContent.trim();
      var key = sortKeys[label];
      if (!key || cell.querySelector('a, input, button')) return;
      // The heading becomes a column header holding a sort button.
      cell.classList.add('sortable');
      cell.setAttribute('role', 'columnheader');
      cell.setAttribute('aria-sort', listState.sort === key ? (listState.dir === 'desc' ? 'descending' : 'ascending') : 'none');
      var button = document.createElement('button');
      button.type = 'button';
      button.className = 'sortButton';
      button.textContent = label;
      button.title = '按' + label + '排序';
      button.addEventListener('click', function () {
        var dir = listState.sort === key && listState.dir !== 'desc' ? 'desc' : 'asc';
        listState.sort = key;
        listState.dir = dir;
        window.callTableData('?ac=call&page=1');
      });
      cell.textContent = '';
      cell.appendChild(button);
    });
  }

  function markRow(grid) {
    if (!markId) return;
    grid.querySelectorAll('tbody tr').forEach(function (row) {
      var edit = row.querySelector('[onclick*="id=' + markId + "')\"]");
      var box = row.querySelector('input[name=delids][value="' + markId + '"]');
      if (edit || box) {
        row.classList.add('justChanged');
        row.setAttribute('aria-current', 'true');
      }
    });
  }

  // The grid's address with the list's state: the pager writes only
  // "?ac=call&page=N".
  function withState(url) {
    var target = new URL(url, location.href);
    Object.keys(listState).forEach(function (k) {
      if (listState[k]) target.searchParams.set(k, listState[k]); else target.searchParams.delete(k);
    });
    if (markId) target.searchParams.set('mark', markId); else target.searchParams.delete('mark');
    return target;
  }

  function frame() { return document.getElementById('dlgFrame'); }
  function dialog() { return document.getElementById('dlg'); }

  // Resizes the dialog frame to its document once it has loaded.
  function fitFrame() {
    var f = frame();
    try {
      var doc = f.contentDocument;
      if (!doc || !doc.body || doc.location.href === 'about:blank') return;
      // The session ended: the login page came back in the dialog. Logged
      // in there, it returns to the dialog asked for, not to the home page.
      var login = doc.querySelector('form.loginBox');
      if (login) {
        document.getElementById('dlgTitle').textContent = '登录已过期，请重新登录';
        if (!login.elements.back && window.lastDialogUrl) {
          var back = doc.createElement('input');
          back.type = 'hidden';
          back.name = 'back';
          back.value = window.lastDialogUrl;
          login.appendChild(back);
        }
      }
      takeToken(doc.body.dataset.token);
      f.style.height = Math.min(doc.documentElement.scrollHeight + 4, window.innerHeight - 120) + 'px';
      // The first refused field, else the first field, else the close button.
      var first = doc.querySelector('[aria-invalid=true]') || doc.querySelector('input:not([type=hidden]), select') ||
        doc.querySelector('button');
      if (first) first.focus();
      // Esc closes the dialog while focus is in its frame too.
      doc.addEventListener('keydown', function (e) {
        if (e.key === 'Escape') { e.preventDefault(); window.closeModal(); }
      });
    } catch (e) { /* another origin: leave the size */ }
  }

  function toast(message, failed) {
    var box = document.getElementById('toast');
    if (!box) {
      box = document.createElement('div');
      box.id = 'toast';
      box.className = 'toast';
      box.setAttribute('role', 'status');
      document.body.appendChild(box);
    }
    box.classList.toggle('toastError', Boolean(failed));
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

  // The pager's "第N页/共M页" for the jump box's limit.
  // An empty result: the pager's "第0页/共0页" is hidden and the jump box
  // stays at 1; the clear-search link shows while a search is in force.
  function pagerState(box) {
    var foot = box.querySelector('tfoot');
    var m = foot ? /第(\d+)页\/共(\d+)页/.exec(foot.textContent) : null;
    var empty = Boolean(m && m[2] === '0');
    box.classList.toggle('emptyGrid', empty);
    if (foot) foot.hidden = empty;
    var jump = document.getElementById('jumpPage');
    if (jump && m) { jump.max = Math.max(1, Number(m[2])); jump.value = Math.max(1, Number(m[1])); }
    var clear = document.getElementById('clearSearch');
    if (clear) clear.hidden = !(listState.q || listState.from || listState.to || listState.act);
  }

  // Focus after a reload: the same control in the new grid (a sort button
  // by its column, a pager link by its text, the row just saved by its edit
  // link); a pager link that is no longer a link leaves focus on the box.
  var pendingFocus = null;
  function focusKey(el) {
    var box = document.getElementById('tableData');
    if (!el || !box || !box.contains(el)) return null;
    if (el.classList.contains('sortButton')) return { sort: el.textContent };
    if (el.closest('tfoot')) return { pager: el.textContent.trim() };
    return null;
  }
  function restoreFocus(box) {
    var want = pendingFocus;
    pendingFocus = null;
    if (!want) return;
    var target = null;
    if (want.sort) {
      target = Array.prototype.find.call(box.querySelectorAll('.sortButton'), function (b) { return b.textContent === want.sort; });
    } else if (want.pager) {
      target = Array.prototype.find.call(box.querySelectorAll('tfoot a'), function (a) { return a.textContent.trim() === want.pager; }) || box;
    } else if (want.mark) {
      target = box.querySelector('tr.justChanged a[onclick*="modify"]') || box.querySelector('thead a');
    }
    if (target) target.focus();
  }

  // The page's token after a login made inside the dialog.
  function takeToken(token) {
    if (!token || token === document.body.dataset.token) return;
    document.body.dataset.token = token;
    document.querySelectorAll('input[name=_token]').forEach(function (i) { i.value = token; });
  }

  window.modalForm = function (url) {
    window.lastOpener = document.activeElement;
    var target = new URL(url, location.href);
    window.lastDialogUrl = target.pathname.replace(/^.*\//, '') + target.search;
    var ac = (target.searchParams.get('ac') || '').toLowerCase();
    if (ac === 'del') {
      var form = document.forms.formtablepage;
      var ticked = form ? form.querySelectorAll('input[name=delids]:checked') : [];
      if (!ticked.length) { alert('请先勾选要删除的记录！'); return; }
      // Name what is lost: the accounts of the ticked rows.
      var names = Array.prototype.map.call(ticked, function (box) {
        var cells = box.closest('tr').querySelectorAll('td');
        return cells[1] ? cells[1].textContent.trim() : box.value;
      });
      if (!confirm('确定删除选中的 ' + ticked.length + ' 条记录吗？\n将删除用户：' + names.join('、') +
                   '\n删除后不能撤销。')) return;
      target.searchParams.set('_token', document.body.dataset.token || '');
      form.action = target.href;
      form.target = 'dlgFrame';
      form.submit();
      return;
    }
    var d = dialog();
    if (!d) { location.href = target.href; return; }
    document.getElementById('dlgTitle').textContent = ac === 'add' ? '添加用户' : ac === 'modify' ? '修改用户' : '';
    frame().style.height = '120px';
    frame().contentWindow.location.replace(target.href);
    if (!d.open) d.showModal();
  };

  window.closeModal = function () {
    var d = dialog();
    if (d && d.open) d.close();
    try { frame().contentWindow.location.replace('about:blank'); } catch (e) { /* ignore */ }
  };

  // Called by the answer to a stored form (in the dialog frame); `id` is
  // the row added or changed: the list shows the page that holds it, marked.
  window.dialogDone = function (message, id) {
    var opener = window.lastOpener;
    window.closeModal();
    if (message) toast(message);
    if (document.getElementById('tableData')) {
      markId = id ? String(id) : '';
      // Focus returns to the saved row's edit link, else the control used.
      pendingFocus = markId ? { mark: true } : focusKey(opener);
      if (!markId) {
        window.callTableData(gridUrl || '?ac=call&page=1');
        if (opener && document.contains(opener)) opener.focus();
        return;
      }
      // The page of the list that holds the row, then that page, marked.
      fetch(withState('?ac=locate').href, { credentials: 'same-origin' })
        .then(function (r) { return r.ok ? r.text() : '1'; })
        .then(function (n) { window.callTableData('?ac=call&page=' + (parseInt(n, 10) || 1)); })
        .catch(function () { window.callTableData('?ac=call&page=1'); });
    }
    if (opener && document.contains(opener)) opener.focus();
  };

  // A refusal answered to a request made in the dialog's frame (the delete
  // of ticked rows): the message on the page, nothing else changes.
  window.dialogFailed = function (message) {
    var opener = window.lastOpener;
    window.closeModal();
    toast(message, true);
    if (opener && document.contains(opener)) opener.focus();
  };

  window.callTableData = function (url) {
    var box = document.getElementById('tableData');
    if (!box) return;
    var target = withState(url);
    if (!pendingFocus) pendingFocus = focusKey(document.activeElement);
    box.classList.add('loading');
    box.setAttribute('aria-busy', 'true');
    fetch(target.href, { credentials: 'same-origin' })
      .then(function (r) {
        // Logged out meanwhile: the login page, which comes back here.
        if (r.redirected) { location.href = 'login.asp?back=' + encodeURIComponent(location.pathname.replace(/^.*\//, '')); return null; }
        if (!r.ok) throw new Error('HTTP ' + r.status);
        return r.text();
      })
      .then(function (html) {
        if (html === null) return;
        box.innerHTML = html;
        runScripts(box);
        enhance(box);
        var page = target.searchParams.get('page');
        gridUrl = '?ac=call&page=' + (page || 1);
        box.setAttribute('data-url', target.search);
        box.scrollLeft = 0;
        pagerState(box);
        restoreFocus(box);
      })
      .catch(function (e) { pendingFocus = null; toast('加载失败：' + e.message, true); })
      .finally(function () { box.classList.remove('loading'); box.removeAttribute('aria-busy'); });
  };

  window.DoMenu = function (id) {
    var list = document.getElementById(id);
    if (!list) return;
    var closed = list.style.display === 'none';
    list.style.display = closed ? '' : 'none';
    var title = list.previousElementSibling;
    if (title) {
      title.classList.toggle('closed', !closed);
      title.setAttribute('aria-expanded', closed ? 'true' : 'false');
    }
  };

  // Tick-all: the component's CheckAll walks form.delids.length, which a
  // page with a single box does not have; this works for any number.
  document.addEventListener('change', function (e) {
    var box = e.target;
    if (!box || box.name !== 'chkAll' || !box.form) return;
    box.form.querySelectorAll('input[name=delids]').forEach(function (d) { d.checked = box.checked; });
  });

  // Esc in a dialog's own document (the frame) closes the dialog.
  document.addEventListener('keydown', function (e) {
    if (e.key !== 'Escape' || window.parent === window) return;
    try { if (window.parent.closeModal) { e.preventDefault(); window.parent.closeModal(); } } catch (x) { /* ignore */ }
  });

  // A dialog's form is posted only while the session lives: else a login
  // appears above the form, which keeps what was typed, and once logged in
  // the form is posted with the new session's token.
  function reLogin(form, submitter) {
    var panel = document.getElementById('reLogin');
    if (!panel) {
      panel = document.createElement('section');
      panel.id = 'reLogin';
      panel.className = 'reLogin';
      panel.setAttribute('aria-labelledby', 'reLoginText');
      panel.innerHTML = "<p class='formError' role='alert' id='reLoginText'>登录已过期。请重新登录，登录后将保存下面已填写的内容。</p>" +
        "<label>登录账号<input id='reAccount' autocomplete='username'></label>" +
        "<label>密码<input type='password' id='rePassword' autocomplete='current-password'></label>" +
        "<div class='buttons'><button type='button' id='reLoginButton'>登录并保存</button></div>";
      form.parentNode.insertBefore(panel, form);
    }
    var account = document.getElementById('reAccount');
    account.focus();
    document.getElementById('reLoginButton').onclick = function () {
      var body = new URLSearchParams();
      body.set('登录账号', account.value.trim());
      body.set('密码', document.getElementById('rePassword').value);
      fetch('login.asp', { method: 'POST', body: body, credentials: 'same-origin' })
        .then(function (r) {
          if (/login\.asp/.test(r.url)) {
            return r.text().then(function (html) {
              var page = new DOMParser().parseFromString(html, 'text/html');
              var error = page.getElementById('loginError');
              document.getElementById('reLoginText').textContent = error ? error.textContent : '登录失败。';
            });
          }
          // Logged in: the dialog once more for the new session's token.
          return fetch(location.href.replace(/&?_token=[^&]*/, ''), { credentials: 'same-origin' })
            .then(function (r2) { return r2.text(); })
            .then(function (html) {
              var page = new DOMParser().parseFromString(html, 'text/html');
              var fresh = page.querySelector('form.dlgForm');
              if (!fresh) throw new Error('no form');
              form.setAttribute('action', fresh.getAttribute('action'));
              try { window.parent.postMessage({ kvdnToken: page.body.dataset.token }, location.origin); } catch (e) { /* ignore */ }
              panel.remove();
              form.dataset.alive = '1';
              form.requestSubmit(submitter || undefined);
            });
        })
        .catch(function () { document.getElementById('reLoginText').textContent = '登录失败，请重试。'; });
    };
  }

  document.addEventListener('submit', function (e) {
    var form = e.target;
    if (!form.classList || !form.classList.contains('dlgForm') || window.parent === window) return;
    if (form.dataset.alive) return;
    e.preventDefault();
    var submitter = e.submitter;
    fetch(new URL('?ac=alive', location.href).href, { credentials: 'same-origin' })
      .then(function (r) { return r.ok && !r.redirected ? r.text() : ''; })
      .then(function (text) {
        if (text !== 'ok') { reLogin(form, submitter); return; }
        form.dataset.alive = '1';
        form.requestSubmit(submitter || undefined);
      })
      .catch(function () { reLogin(form, submitter); });
  });

  // The new token from a login made in the dialog's frame.
  window.addEventListener('message', function (e) {
    if (e.origin === location.origin && e.data && e.data.kvdnToken) takeToken(e.data.kvdnToken);
  });

  // Asks before a destructive form is sent, naming what is lost
  // (data-confirm on the form).
  document.addEventListener('submit', function (e) {
    var form = e.target;
    var text = form.getAttribute && form.getAttribute('data-confirm');
    if (!text) return;
    // {bak}: the backup chosen in the form.
    if (form.elements.bak) text = text.replace('{bak}', form.elements.bak.value);
    if (!confirm(text)) { e.preventDefault(); e.stopImmediatePropagation(); }
  }, true);

  document.addEventListener('DOMContentLoaded', function () {
    enhance(document);
    // The menu folds into the top bar's button on narrow screens.
    var toggle = document.getElementById('menuToggle');
    if (toggle) toggle.addEventListener('click', function () {
      var open = document.body.classList.toggle('menuOpen');
      toggle.setAttribute('aria-expanded', open ? 'true' : 'false');
    });
    var table = document.getElementById('tableData');
    if (table) {
      var start = new URL(table.getAttribute('data-url') || '?ac=call&page=1', location.href);
      Object.keys(listState).forEach(function (k) { listState[k] = start.searchParams.get(k) || ''; });
    }
    // Search (and the trail's filters), page size and jump: reload the grid
    // in place.
    var search = document.getElementById('listSearch');
    function readFilters() {
      Object.keys(listState).forEach(function (k) {
        var field = search.elements[k];
        if (field) listState[k] = field.value.trim();
      });
    }
    if (search && table) readFilters();
    if (table) pagerState(table);
    if (search) search.addEventListener('submit', function (e) {
      e.preventDefault();
      readFilters();
      markId = '';
      window.callTableData('?ac=call&page=1');
    });
    var size = document.getElementById('pageSize');
    if (size) size.addEventListener('change', function () {
      listState.size = size.value;
      window.callTableData('?ac=call&page=1');
    });
    var jump = document.getElementById('jumpForm');
    if (jump) jump.addEventListener('submit', function (e) {
      e.preventDefault();
      var n = parseInt(jump.elements.page.value, 10);
      if (n > 0) window.callTableData('?ac=call&page=' + n);
    });
    // The export takes what the search selects, in the list's order.
    var csv = document.getElementById('csvLink');
    if (csv) csv.addEventListener('click', function () {
      var target = withState('?ac=csv');
      target.searchParams.delete('mark');
      target.searchParams.delete('size');
      csv.href = target.href;
    });
    // Workbook upload: the file is read here and posted as text (base64) in
    // the form; the page checks its size and that it is a workbook.
    var upload = document.getElementById('uploadForm');
    if (upload) upload.addEventListener('submit', function (e) {
      if (upload.elements.data.value) return;
      e.preventDefault();
      var file = upload.elements.file.files[0];
      if (!file) { alert('请选择要上传的 .xls 文件！'); return; }
      if (file.size > Number(upload.dataset.max || 0)) { alert('文件太大（最大 ' + Math.round(upload.dataset.max / 1048576) + ' MB）！'); return; }
      var reader = new FileReader();
      reader.onload = function () {
        var text = String(reader.result);
        upload.elements.data.value = text.slice(text.indexOf(',') + 1);
        upload.elements.file.disabled = true;  // not sent itself
        upload.submit();
      };
      reader.readAsDataURL(file);
    });
    var f = frame();
    if (f) f.addEventListener('load', fitFrame);
    var d = dialog();
    if (d) d.addEventListener('close', function () {
      if (window.lastOpener && document.contains(window.lastOpener)) window.lastOpener.focus();
      try { frame().contentWindow.location.replace('about:blank'); } catch (e) { /* ignore */ }
    });
    // The home page is where work starts: every group open there. Elsewhere
    // the group of the current page is open (the menu's own markup).
    var home = /\/(index\.asp)?$/.test(location.pathname);
    document.querySelectorAll('ul.menu').forEach(function (list) {
      if (home && list.style.display === 'none') {
        list.style.display = '';
        var title = list.previousElementSibling;
        if (title) title.setAttribute('aria-expanded', 'true');
      }
    });
    // Mark the collapsed groups so their headings show the closed arrow.
    document.querySelectorAll('ul.menu').forEach(function (list) {
      var title = list.previousElementSibling;
      if (title && list.style.display === 'none') title.classList.add('closed');
    });
    // A refused form: focus on the first field refused.
    var refused = document.querySelector('#main [aria-invalid=true]');
    if (refused) refused.focus();
    var flash = document.getElementById('flash');
    if (flash) setTimeout(function () { flash.classList.add('fade'); }, 4000);
  });
})();
