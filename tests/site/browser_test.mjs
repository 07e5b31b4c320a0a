// The sample site in a real browser: Debian's chromium driven by
// playwright-core, against kvdn-site started on a free port with a fresh
// copy of the site root (so the database is made anew).
//
//   KVDN_BUILD=build node --test tests/site/browser_test.mjs
//
// The same walk through the site runs at a desktop size (1366×768) and a
// phone size (390×844): layout, keyboard, axe-core (no serious or critical
// violation on any page or dialog), the user list's search, sort, page size,
// jump and export, the error pages, maintenance with its previews and
// automatic backups, the audit trail and the request log. Screenshots of
// every page and dialog at both sizes go to $KVDN_BUILD/screenshots (or
// screenshots-server on the server database).
// Skips (with a message) only when chromium is not installed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const build = path.resolve(repo, process.env.KVDN_BUILD || 'build');
const siteBin = path.join(build, 'bin', 'kvdn-site');
const siteTemplate = path.join(build, 'site-root');
const chromiumPath = process.env.KVDN_CHROMIUM || '/usr/bin/chromium';
// With KVDN_SITE_ODBC the site runs on a server database: the file
// maintenance steps (backup, restore, compact) have no file to work on there.
const onServer = Boolean(process.env.KVDN_SITE_ODBC);
const fileOnly = onServer && 'the site runs on a server database (KVDN_SITE_ODBC)';
const shots = path.join(build, onServer ? 'screenshots-server' : 'screenshots');

const ADMIN = { account: 'admin', password: 'admin123' };
const OPERATOR = { account: 'caozuo', password: 'caozuo123' };

// ---------------------------------------------------------------- the server

// Copies the site root without databases or backups, so the site starts as on
// a fresh machine.
function freshSite() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kvdn-site-'));
  fs.cpSync(siteTemplate, dir, {
    recursive: true,
    filter: (p) => !/\.(mdb|bak|compact)$/i.test(p),
  });
  return dir;
}

// Starts kvdn-site on a free port; resolves with its base address once it
// prints the address line.
function startSite(root) {
  return new Promise((resolve, reject) => {
    let started = false;
    const child = spawn(siteBin, ['--root', root, '--port', '0'], { stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    let err = '';
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`kvdn-site did not start in time\n${out}\n${err}`));
    }, 20000);
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const m = /open (http:\/\/127\.0\.0\.1:\d+)\//.exec(out);
      if (m && !started) {
        started = true;
        clearTimeout(timer);
        resolve({ child, base: m[1], log: () => err });
      }
    });
    child.stderr.on('data', (chunk) => { err += chunk; });
    child.on('exit', (code) => {
      clearTimeout(timer);
      if (!started) reject(new Error(`kvdn-site exited with ${code}\n${out}\n${err}`));
    });
  });
}

function stopSite(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null) return resolve();
    const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
    child.once('exit', () => { clearTimeout(timer); resolve(); });
    child.kill('SIGTERM');
  });
}

// ---------------------------------------------------------------- page helpers

async function login(page, base, who) {
  await page.goto(`${base}/admin/login.asp`);
  await page.waitForSelector("input[name='登录账号']");
  await page.fill("input[name='登录账号']", who.account);
  await page.fill("input[name='密码']", who.password);
  await Promise.all([page.waitForURL(/index\.asp$/), page.click("button[type='submit']")]);
}

// Logging out is a POST with the session's token: the menu's entry asks first.
async function logout(page, base) {
  await page.goto(`${base}/admin/logout.asp`);
  await Promise.all([page.waitForURL(/login\.asp$/), page.click('#btnLogout')]);
}

// Waits until the element's text holds `text`.
async function waitForText(page, selector, text) {
  await page.waitForFunction(
    ([sel, want]) => (document.querySelector(sel)?.textContent || '').includes(want),
    [selector, text],
    { timeout: 10000 },
  );
}

async function pagerText(page) {
  return (await page.locator('#tableData tfoot').textContent()).replace(/\s+/g, ' ');
}

// Answers the next browser dialog (alert or confirm) and gives its message.
function nextDialog(page, accept = true) {
  return new Promise((resolve) => {
    page.once('dialog', async (d) => {
      const message = d.message();
      if (accept) await d.accept(); else await d.dismiss();
      resolve(message);
    });
  });
}

function gridRow(page, text) {
  return page.locator('#tableData tbody tr', { hasText: text });
}

// Opens the grid's last page (where added users land).
async function lastGridPage(page) {
  const last = page.locator("#tableData tfoot a", { hasText: '最后页' });
  if (await last.count()) {
    await last.click();
    await page.waitForFunction(() => {
      const foot = document.querySelector('#tableData tfoot')?.textContent || '';
      const m = /第(\d+)页\/共(\d+)页/.exec(foot);
      return m && m[1] === m[2];
    });
  }
}

async function flash(page) {
  return (await page.locator('#flash').textContent()).trim();
}

// ---------------------------------------------------------------- checks

const requireHere = createRequire(import.meta.url);
const axeSource = fs.readFileSync(requireHere.resolve('axe-core/axe.min.js'), 'utf8');

// axe-core in the page (or the dialog's frame): no serious or critical
// violation. Returns the violations of lower impact for the log.
async function axeCheck(frame, what) {
  if (!(await frame.evaluate(() => Boolean(window.axe)))) await frame.evaluate(axeSource);
  const result = await frame.evaluate(async () => {
    const r = await window.axe.run(document, { resultTypes: ['violations'] });
    return r.violations.map((v) => ({
      id: v.id, impact: v.impact, help: v.help,
      nodes: v.nodes.slice(0, 3).map((n) => n.target.join(' ')),
    }));
  });
  const bad = result.filter((v) => v.impact === 'serious' || v.impact === 'critical');
  assert.deepEqual(bad, [], `axe-core: serious or critical violations on ${what}`);
  return result;
}

// The page body never scrolls sideways (a wide grid scrolls in its box).
async function noSidewaysScroll(page, what) {
  const widths = await page.evaluate(() => ({
    page: document.documentElement.scrollWidth, view: window.innerWidth,
  }));
  assert.ok(widths.page <= widths.view, `${what}: the page is ${widths.page}px wide in a ${widths.view}px window`);
}

// Relative luminance contrast of two CSS colours "rgb(r, g, b)".
function contrast(a, b) {
  const lum = (c) => {
    const [r, g, bl] = c.match(/\d+(\.\d+)?/g).slice(0, 3).map(Number).map((v) => {
      const s = v / 255;
      return s <= 0.03928 ? s / 12.92 : ((s + 0.055) / 1.055) ** 2.4;
    });
    return 0.2126 * r + 0.7152 * g + 0.0722 * bl;
  };
  const [x, y] = [lum(a), lum(b)].sort((p, q) => q - p);
  return (x + 0.05) / (y + 0.05);
}

// The focused element's ring: drawn, at least 2px, 3:1 against its page.
async function focusRing(page, what) {
  const ring = await page.evaluate(() => {
    const el = document.activeElement;
    const style = getComputedStyle(el);
    let back = 'rgb(255, 255, 255)';
    for (let n = el.parentElement; n; n = n.parentElement) {
      const b = getComputedStyle(n).backgroundColor;
      if (b && !/rgba\(0, 0, 0, 0\)|transparent/.test(b)) { back = b; break; }
    }
    return { style: style.outlineStyle, width: parseFloat(style.outlineWidth), color: style.outlineColor, back };
  });
  assert.notEqual(ring.style, 'none', `${what}: no focus ring`);
  assert.ok(ring.width >= 2, `${what}: focus ring ${ring.width}px`);
  const ratio = contrast(ring.color, ring.back);
  assert.ok(ratio >= 3, `${what}: focus ring contrast ${ratio.toFixed(2)}:1`);
}

// Focus as a keyboard user gets it: the browser shows the focus ring
// (:focus-visible) once a key has been pressed.
async function keyFocus(page, locator) {
  await page.keyboard.press('Shift');
  await locator.focus();
}

// After a refusal (an alert that sends the browser back): the page it
// goes back to has loaded.
async function backAfterAlert(page, alerted) {
  const message = await alerted;
  await page.waitForTimeout(300);
  await page.waitForLoadState('load');
  return message;
}

async function shot(page, size, name, options = {}) {
  await page.screenshot({ path: path.join(shots, `${size.name}-${name}.png`), ...options });
}

// Opens the side menu on a phone (it is folded into the top bar's button).
async function openMenu(page, size) {
  if (!size.phone) return;
  if (await page.locator('#sideNav').isVisible()) return;
  await page.locator('#menuToggle').click();
  await page.locator('#sideNav').waitFor({ state: 'visible' });
}

// Every target in the content at least 24 px square; on a phone the grid
// needs no sideways scroll and its cells, actions and pager lie inside the
// window.
async function reachable(page, size, what) {
  const found = await page.evaluate((phone) => {
    const shown = (el) => {
      const r = el.getBoundingClientRect();
      return r.width > 0 && r.height > 0 && getComputedStyle(el).visibility !== 'hidden';
    };
    const name = (el) => `${el.tagName} "${(el.textContent || el.name || '').trim().slice(0, 16)}"`;
    const small = [];
    document.querySelectorAll('#main :is(a, button, input:not([type=hidden]), select, [role=button])').forEach((el) => {
      const r = el.getBoundingClientRect();
      if (shown(el) && (r.width < 24 || r.height < 24)) small.push(`${name(el)} ${Math.round(r.width)}x${Math.round(r.height)}`);
    });
    const box = document.getElementById('tableData');
    const outside = [];
    if (box && phone) {
      box.querySelectorAll('td, a, input').forEach((el) => {
        const r = el.getBoundingClientRect();
        if (shown(el) && (r.left < -1 || r.right > window.innerWidth + 1)) outside.push(name(el));
      });
    }
    return { small, outside, sideways: box ? box.scrollWidth - box.clientWidth : 0 };
  }, size.phone);
  assert.deepEqual(found.small, [], `${what}: targets under 24 px`);
  if (size.phone) {
    assert.ok(found.sideways <= 1, `${what}: the grid scrolls sideways by ${found.sideways}px`);
    assert.deepEqual(found.outside, [], `${what}: outside the window`);
  }
}

// Writes a workbook of `rows` (登录账号, 密码, 姓名, 性别, 角色) with the
// site's own sheet writer.
function workbook(file, rows) {
  const json = `${file}.json`;
  fs.writeFileSync(json, JSON.stringify(rows));
  const r = spawnSync('/usr/bin/python3', [path.join(repo, 'site/tools/make_userinfo_xls.py'), file, json]);
  fs.rmSync(json);
  assert.equal(r.status, 0, String(r.stderr));
}

async function dialogFits(page, what) {
  const box = await page.locator('#dlg').boundingBox();
  const view = page.viewportSize();
  assert.ok(box.x >= 0 && box.y >= 0 && box.x + box.width <= view.width + 1 && box.y + box.height <= view.height + 1,
    `${what}: the dialog (${JSON.stringify(box)}) does not fit ${view.width}x${view.height}`);
}

async function gridTotal(page) {
  const m = /共(\d+)条/.exec(await pagerText(page));
  return m ? Number(m[1]) : 0;
}

async function gridReloaded(page, action) {
  const before = await page.locator('#tableData').getAttribute('data-url');
  await action();
  await page.waitForFunction((b) => {
    const box = document.getElementById('tableData');
    return box && !box.classList.contains('loading') && box.getAttribute('data-url') !== b;
  }, before, { timeout: 10000 }).catch(() => {});
  await page.waitForFunction(() => !document.getElementById('tableData').classList.contains('loading'));
}

// ---------------------------------------------------------------- the walk

const SIZES = [
  { name: 'desktop', width: 1366, height: 768, phone: false, tag: 'd', second: 'zhenghao' },
  { name: 'phone', width: 390, height: 844, phone: true, tag: 'p', second: 'luoxin' },
];

const skip = fs.existsSync(chromiumPath)
  ? false
  : `chromium is not installed at ${chromiumPath} (scripts/install-deps.sh could not install it)`;
if (skip) console.log(`SKIP browser test: ${skip}`);

test('the sample site in chromium at two sizes', { skip, timeout: 600000 }, async (t) => {
  const { chromium } = await import('playwright-core');
  assert.ok(fs.existsSync(siteBin), `${siteBin} is missing: build first`);
  fs.mkdirSync(shots, { recursive: true });
  const root = freshSite();
  const site = await startSite(root);
  const base = site.base;
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'kvdn-chromium-'));
  const browser = await chromium.launch({
    executablePath: chromiumPath,
    headless: true,
    args: [
      '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  const pageErrors = [];
  const policyErrors = [];
  const lesser = new Map();  // axe findings below serious, for the log
  try {
    for (const size of SIZES) {
      const last = size === SIZES[SIZES.length - 1];
      const context = await browser.newContext({
        viewport: { width: size.width, height: size.height },
        locale: 'zh-CN',
        acceptDownloads: true,
        isMobile: size.phone,
        hasTouch: size.phone,
        deviceScaleFactor: 1,
      });
      const page = await context.newPage();
      page.on('pageerror', (e) => pageErrors.push(`${size.name}: ${e.message}`));
      // The pages' content security policy must let the site's script and
      // the component's inline handlers run: a refusal is a console error.
      page.on('console', (m) => {
        if (m.type() === 'error' && /Content Security Policy/i.test(m.text())) policyErrors.push(m.text());
      });
      const axe = async (frame, what) => {
        for (const v of await axeCheck(frame, `${what} (${size.name})`)) lesser.set(`${v.id} (${v.impact})`, v.help);
      };
      const account = `browser${size.tag}1`;

      await t.test(`${size.name}: login page, a failed login, then the administrator`, async () => {
        await page.goto(`${base}/admin/login.asp`);
        await noSidewaysScroll(page, 'login');
        await axe(page, 'the login page');
        await shot(page, size, 'login');
        await page.fill("input[name='登录账号']", ADMIN.account);
        await page.fill("input[name='密码']", 'wrong-password');
        await page.click("button[type='submit']");
        assert.equal((await page.locator('#loginError').textContent()).trim(), '登录账号或密码错误！');
        await login(page, base, ADMIN);
        assert.equal(await page.locator('h1').textContent(), '首页');
        assert.match(await page.locator('.topBar .who').textContent(), /系统管理员/);
        await noSidewaysScroll(page, 'home');
        await axe(page, 'the home page');
        await shot(page, size, 'home', { fullPage: true });
      });

      await t.test(`${size.name}: the menu, folded on a phone, works from the keyboard`, async () => {
        await page.goto(`${base}/admin/user.asp`);
        if (size.phone) {
          assert.equal(await page.locator('#sideNav').isVisible(), false, 'the menu is folded');
          assert.equal(await page.locator('#menuToggle').getAttribute('aria-expanded'), 'false');
          await keyFocus(page, page.locator('#menuToggle'));
          await page.keyboard.press('Enter');
          await page.locator('#sideNav').waitFor({ state: 'visible' });
          assert.equal(await page.locator('#menuToggle').getAttribute('aria-expanded'), 'true');
        } else {
          assert.equal(await page.locator('#menuToggle').isVisible(), false);
          assert.equal(await page.locator('#sideNav').isVisible(), true);
        }
        assert.equal(await page.locator('#ChildMenu0 li.cMenu').textContent(), '用户管理');
        assert.equal(await page.locator('#ChildMenu1').isVisible(), false);
        const heading = page.locator('.titleNav', { hasText: '个人中心' });
        assert.equal(await heading.getAttribute('role'), 'button');
        assert.equal(await heading.getAttribute('tabindex'), '0');
        await keyFocus(page, heading);
        await focusRing(page, 'a menu heading');
        await page.keyboard.press('Enter');
        assert.equal(await page.locator('#ChildMenu1').isVisible(), true);
        assert.equal(await heading.getAttribute('aria-expanded'), 'true');
        await axe(page, 'the open menu');
        await page.locator('#sideNav').screenshot({ path: path.join(shots, `${size.name}-menu.png`) });
        if (size.phone) await shot(page, size, 'menu-open');
        await page.keyboard.press('Space');
        assert.equal(await page.locator('#ChildMenu1').isVisible(), false);
      });

      let total = 0;
      await t.test(`${size.name}: the user list pages, scrolls in its box, answers the keyboard`, async () => {
        await page.goto(`${base}/admin/user.asp`);
        total = await gridTotal(page);
        assert.ok(total >= 20, `sample users: ${total}`);
        assert.equal(await page.locator('#tableData tbody tr').count(), 10);
        assert.match(await pagerText(page), new RegExp(`第1页/共${Math.ceil(total / 10)}页 每页10条/共${total}条`));
        // The administrator (key 1) has no delete box.
        assert.equal(await gridRow(page, 'admin').locator("input[name='delids']").count(), 0);
        await noSidewaysScroll(page, 'the user list');
        await reachable(page, size, 'the user list');
        await axe(page, 'the user list');
        await shot(page, size, 'users', { fullPage: true });
        // Every action is a Tab stop: the menu (or its button), the grid's
        // links, its tick boxes and its pager.
        const reached = new Set();
        await page.evaluate(() => document.activeElement?.blur());
        for (let i = 0; i < 90; i++) {
          await page.keyboard.press('Tab');
          reached.add(await page.evaluate(() => {
            const el = document.activeElement;
            return el.name === 'chkAll' ? '全选' : el.name === 'delids' ? '勾选' : (el.textContent || '').trim();
          }));
        }
        const wanted = ['添加用户', '删除', '全选', '修改', '勾选', '下一页', '最后页', '导出 CSV', '登录账号',
          size.phone ? '菜单' : '系统管理'];
        for (const label of wanted) assert.ok(reached.has(label), `Tab never reaches ${label}: ${[...reached].join(' | ')}`);
        // The pager's links are keyboard stops.
        const next = page.locator('#tableData tfoot a', { hasText: '下一页' });
        assert.equal(await next.getAttribute('tabindex'), '0');
        await keyFocus(page, next);
        await focusRing(page, 'a pager link');
        await page.keyboard.press('Enter');
        await waitForText(page, '#tableData tfoot', '第2页');
        assert.equal((await page.locator('#tableData tbody tr td').first().textContent()).trim(), '11');
        // The jump box.
        await page.fill('#jumpPage', String(Math.ceil(total / 10)));
        await page.locator('#jumpForm button').click();
        await waitForText(page, '#tableData tfoot', `第${Math.ceil(total / 10)}页`);
        const long = gridRow(page, 'ouyang').locator('td[title]');
        assert.equal(await long.getAttribute('title'), '欧阳娜娜（华东区市场部）');
        await page.locator('#tableData tfoot a', { hasText: '第一页' }).click();
        await waitForText(page, '#tableData tfoot', '第1页');
      });

      await t.test(`${size.name}: search, sort, page size and the CSV export`, async () => {
        await page.goto(`${base}/admin/user.asp`);
        // Search by name (bound: a quote is only a character).
        await page.fill('#searchBox', "王'");
        await gridReloaded(page, () => page.locator('#listSearch button').click());
        assert.match(await pagerText(page), /共0条/);
        await page.fill('#searchBox', '王');
        await gridReloaded(page, () => page.locator('#listSearch button').click());
        assert.match(await pagerText(page), /共1条/);
        assert.equal(await gridRow(page, 'wangfang').count(), 1);
        // Tick-all with a single delete box on the page.
        await page.locator("#tableData input[name='chkAll']").check();
        assert.equal(await gridRow(page, 'wangfang').locator("input[name='delids']").isChecked(), true);
        await page.locator("#tableData input[name='chkAll']").uncheck();
        assert.equal(await gridRow(page, 'wangfang').locator("input[name='delids']").isChecked(), false);
        await axe(page, 'the searched list');
        await shot(page, size, 'users-search');
        // By account, and the export of what the search selects.
        await page.fill('#searchBox', 'zh');
        await gridReloaded(page, () => page.locator('#listSearch button').click());
        const found = await gridTotal(page);
        assert.ok(found >= 3, `accounts with "zh": ${found}`);
        const [download] = await Promise.all([page.waitForEvent('download'), page.locator('#csvLink').click()]);
        const file = await download.path();
        const bytes = fs.readFileSync(file);
        assert.deepEqual([...bytes.subarray(0, 3)], [0xef, 0xbb, 0xbf], 'the CSV starts with a byte-order mark');
        const lines = bytes.toString('utf8').slice(1).trim().split(/\r\n/);
        assert.equal(lines[0], '编号,登录账号,姓名,性别,角色,注册时间');
        assert.equal(lines.length - 1, found);
        assert.ok(lines.slice(1).every((l) => /zh/i.test(l.split(',')[1]) || /zh/i.test(l.split(',')[2])));
        // Sort by a column header (the keyboard works there too).
        await page.fill('#searchBox', '');
        await gridReloaded(page, () => page.locator('#listSearch button').click());
        const header = page.locator('#tableData thead td.sortable', { hasText: '登录账号' }).locator('button');
        await keyFocus(page, header);
        await focusRing(page, 'a sort button');
        await gridReloaded(page, () => page.keyboard.press('Enter'));
        assert.equal(await page.locator('#tableData thead td.sortable', { hasText: '登录账号' }).getAttribute('aria-sort'), 'ascending');
        const accounts = await page.locator('#tableData tbody tr td:nth-child(2)').allTextContents();
        assert.deepEqual(accounts, [...accounts].sort((a, b) => a.localeCompare(b, 'en', { sensitivity: 'base' })));
        await gridReloaded(page, () => page.locator('#tableData thead td.sortable', { hasText: '登录账号' }).locator('button').click());
        assert.equal(await page.locator('#tableData thead td.sortable', { hasText: '登录账号' }).getAttribute('aria-sort'), 'descending');
        const down = await page.locator('#tableData tbody tr td:nth-child(2)').allTextContents();
        assert.equal(down[0], 'zhulin');
        // The pager keeps the order.
        await page.locator('#tableData tfoot a', { hasText: '下一页' }).click();
        await waitForText(page, '#tableData tfoot', '第2页');
        assert.equal(await page.locator('#tableData thead td.sortable', { hasText: '登录账号' }).getAttribute('aria-sort'), 'descending');
        // Page size.
        await gridReloaded(page, () => page.selectOption('#pageSize', '20'));
        assert.equal(await page.locator('#tableData tbody tr').count(), 20);
        assert.match(await pagerText(page), /每页20条/);
        await shot(page, size, 'users-sorted', { fullPage: true });
      });

      await t.test(`${size.name}: adds a user through the dialog, the row shown and marked`, async () => {
        await page.goto(`${base}/admin/user.asp`);
        const add = page.locator('#tableData thead a', { hasText: '添加用户' });
        await add.focus();
        await page.keyboard.press('Enter');
        const dialog = page.locator('#dlg');
        await dialog.waitFor({ state: 'visible' });
        const form = page.frameLocator('#dlgFrame');
        await form.locator("input[name='登录账号']").waitFor();
        await dialogFits(page, 'the add dialog');
        // Esc closes the dialog with the focus inside its frame.
        await page.waitForFunction(() => document.getElementById('dlgFrame').contentDocument.activeElement?.name === '登录账号');
        await page.keyboard.press('Escape');
        await dialog.waitFor({ state: 'hidden' });
        await add.click();
        await dialog.waitFor({ state: 'visible' });
        await form.locator("input[name='登录账号']").fill(account);
        await form.locator("input[name='密码']").fill('pw-123456');
        await form.locator("input[name='姓名']").fill('浏览器用户');
        await form.locator("select[name='性别']").selectOption('女');
        assert.equal(await form.locator("select[name='角色'] option[selected]").textContent(), '操作员');
        await axe(page, 'the page under the add dialog');
        await axe(page.frame({ name: 'dlgFrame' }), 'the add dialog');
        await shot(page, size, 'dialog-add');
        await form.locator("button[type='submit']").click();
        await waitForText(page, '#toast', '添加成功！');
        await dialog.waitFor({ state: 'hidden' });
        await page.waitForSelector('#tableData tr.justChanged');
        const marked = page.locator('#tableData tr.justChanged');
        assert.match(await marked.textContent(), new RegExp(`${account}.*浏览器用户.*女.*操作员`));
        assert.match(await pagerText(page), new RegExp(`共${total + 1}条`));
        await shot(page, size, 'users-added', { fullPage: true });
      });

      await t.test(`${size.name}: the new user can log in with the digested password`, async () => {
        const res = await page.request.post(`${base}/admin/login.asp`, {
          headers: { Origin: base },
          form: { '登录账号': account, '密码': 'pw-123456' },
          maxRedirects: 0,
        });
        assert.equal(res.status(), 302);
        assert.equal(res.headers().location, 'index.asp');
        await login(page, base, ADMIN);
      });

      await t.test(`${size.name}: modifies the user, the row marked`, async () => {
        await page.goto(`${base}/admin/user.asp`);
        await page.fill('#searchBox', account);
        await gridReloaded(page, () => page.locator('#listSearch button').click());
        const edit = gridRow(page, account).locator('a', { hasText: '修改' });
        assert.equal(await edit.getAttribute('role'), 'button');
        await keyFocus(page, edit);
        await focusRing(page, 'the modify link');
        await page.keyboard.press('Enter');
        await page.locator('#dlg').waitFor({ state: 'visible' });
        const form = page.frameLocator('#dlgFrame');
        await form.locator("input[name='姓名']").waitFor();
        // The fields hold the record; it is not repeated above them.
        assert.equal(await form.locator('table').count(), 0, 'the modify dialog repeats the record');
        assert.equal(await form.locator("input[name='登录账号']").inputValue(), account);
        assert.equal(await form.locator("input[name='姓名']").inputValue(), '浏览器用户');
        await dialogFits(page, 'the modify dialog');
        await axe(page.frame({ name: 'dlgFrame' }), 'the modify dialog');
        await shot(page, size, 'dialog-modify');
        await form.locator("input[name='姓名']").fill('浏览器用户乙');
        await form.locator("select[name='性别']").selectOption('男');
        await form.locator("button[type='submit']").click();
        await waitForText(page, '#toast', '修改成功！');
        await page.waitForSelector('#tableData tr.justChanged');
        assert.match(await page.locator('#tableData tr.justChanged').textContent(), /浏览器用户乙.*男/);
        // Focus back on the saved row's edit link; the message announced.
        await page.waitForFunction(() => document.activeElement?.closest('tr.justChanged') !== null);
        assert.equal(await page.locator('#toast').getAttribute('role'), 'status');
        // The trail names the change, old -> new.
        const trail = await page.request.get(`${base}/admin/audit.asp?ac=call&page=1`).then((r) => r.text());
        assert.match(trail, new RegExp(`修改用户 ${account}（ID \\d+）：姓名 浏览器用户 → 浏览器用户乙；性别 女 → 男`));
      });

      await t.test(`${size.name}: ticks two users and deletes them`, async () => {
        await page.goto(`${base}/admin/user.asp`);
        await page.fill('#searchBox', '');
        await gridReloaded(page, () => page.selectOption('#pageSize', '100'));
        await gridRow(page, account).locator("input[name='delids']").check();
        await gridRow(page, size.second).locator("input[name='delids']").check();
        const confirmed = nextDialog(page, true);
        await page.locator('#tableData thead a', { hasText: '删除' }).click();
        const question = await confirmed;
        assert.match(question, /确定删除选中的 2 条记录/);
        assert.ok(question.includes(account) && question.includes(size.second), question);
        await waitForText(page, '#toast', '已删除 2 条记录！');
        await waitForText(page, '#tableData tfoot', `共${total - 1}条`);
        assert.equal(await gridRow(page, account).count(), 0);
        assert.equal(await gridRow(page, size.second).count(), 0);
      });

      await t.test(`${size.name}: a clerk's day: no clutter, errors in place, focus kept, an empty search`, async () => {
        await page.goto(`${base}/admin/index.asp`);
        // The home page opens every menu group.
        assert.deepEqual(await page.locator('ul.menu').evaluateAll((ls) => ls.map((l) => l.style.display)), ['', '']);
        await page.goto(`${base}/admin/user.asp`);
        // One 添加用户 and one 删除, the grid's own.
        const texts = await page.locator('#main :is(a, button)').allTextContents();
        assert.equal(texts.filter((x) => x.trim() === '添加用户').length, 1, texts.join('|'));
        assert.equal(texts.filter((x) => /^删除/.test(x.trim())).length, 1, texts.join('|'));
        // Sort by name: pinyin order (陈 before 张) on the database file (a
        // server database sorts by its own collation); focus stays on the button.
        await gridReloaded(page, () => page.selectOption('#pageSize', '100'));
        const byName = page.locator('#tableData thead .sortButton', { hasText: '姓名' });
        await keyFocus(page, byName);
        await gridReloaded(page, () => page.keyboard.press('Enter'));
        assert.equal(await page.evaluate(() => document.activeElement.textContent), '姓名');
        const names = await page.locator('#tableData tbody tr td:nth-child(3)').allTextContents();
        assert.ok(names.indexOf('陈静') >= 0 && names.indexOf('张伟') >= 0, names.join(' '));
        if (!onServer) assert.ok(names.indexOf('陈静') < names.indexOf('张伟'), names.join(' '));
        // A page change: focus stays on the pager's link.
        await gridReloaded(page, () => page.selectOption('#pageSize', '10'));
        await keyFocus(page, page.locator('#tableData tfoot a', { hasText: '下一页' }));
        await gridReloaded(page, () => page.keyboard.press('Enter'));
        assert.equal(await page.evaluate(() => document.activeElement.textContent), '下一页');
        assert.equal(await page.evaluate(() => document.getElementById('tableData').scrollLeft), 0);
        // A duplicate account: the message beside the field, the typed
        // values kept, the dialog and the list where they were.
        await page.locator('#tableData thead a', { hasText: '添加用户' }).click();
        const form = page.frameLocator('#dlgFrame');
        await form.locator("input[name='登录账号']").fill('lina');
        await form.locator("input[name='密码']").fill('pw-123456');
        await form.locator("input[name='姓名']").fill('重复的账号');
        await form.locator("select[name='性别']").selectOption('女');
        await form.locator("button[type='submit']").click();
        await form.locator('#err_account').waitFor();
        assert.equal((await form.locator('#err_account').textContent()).trim(), '该登录账号已存在！');
        assert.equal(await form.locator("input[name='姓名']").inputValue(), '重复的账号');
        assert.equal(await form.locator("input[name='密码']").inputValue(), 'pw-123456');
        assert.ok(await page.locator('#dlg').isVisible());
        assert.match(page.url(), /user\.asp$/);
        await axe(page.frame({ name: 'dlgFrame' }), 'the dialog with a refusal');
        await shot(page, size, 'dialog-refused');
        // The session ends while the dialog is open: a login above the form,
        // then the record saved as typed, the list where it was.
        const late = `late${size.tag}1`;
        await form.locator("input[name='登录账号']").fill(late);
        await context.clearCookies();
        await form.locator("button[type='submit']").click();
        await form.locator('#reLogin').waitFor();
        assert.equal(await form.locator("input[name='姓名']").inputValue(), '重复的账号');
        await axe(page.frame({ name: 'dlgFrame' }), 'the login inside the dialog');
        await form.locator('#reAccount').fill(ADMIN.account);
        await form.locator('#rePassword').fill(ADMIN.password);
        await form.locator('#reLoginButton').click();
        await waitForText(page, '#toast', '添加成功！');
        await page.waitForSelector('#tableData tr.justChanged');
        assert.match(await page.locator('#tableData tr.justChanged').textContent(), new RegExp(late));
        assert.match(page.url(), /user\.asp$/);
        // The page took the new session's token: a delete works.
        await page.locator('#tableData tr.justChanged input[name=delids]').check();
        const asked = nextDialog(page, true);
        await page.locator('#tableData thead a', { hasText: '删除' }).click();
        await asked;
        await waitForText(page, '#toast', '已删除 1 条记录！');
        // Ended before the dialog opens: the login in the dialog leads back
        // to the dialog, not to the home page.
        await context.clearCookies();
        await page.locator('#tableData thead a', { hasText: '添加用户' }).click();
        await form.locator('form.loginBox').waitFor();
        await form.locator("input[name='登录账号']").fill(ADMIN.account);
        await form.locator("input[name='密码']").fill(ADMIN.password);
        await form.locator("button[type='submit']").click();
        await form.locator('form.dlgForm').waitFor();
        await page.keyboard.press('Escape');
        // An empty search: no 第0页, the jump box at 1, a way back.
        await page.fill('#searchBox', 'no-such-user');
        await gridReloaded(page, () => page.locator('#listSearch button').click());
        assert.match(await page.locator('#tableData').textContent(), /暂无记录/);
        assert.equal(await page.locator('#tableData tfoot').isVisible(), false);
        assert.equal(await page.locator('#jumpPage').inputValue(), '1');
        await axe(page, 'the empty search');
        await reachable(page, size, 'the empty search');
        await shot(page, size, 'users-empty-search');
        await Promise.all([page.waitForEvent('load'), page.locator('#clearSearch').click()]);
        assert.equal(await page.locator('#searchBox').inputValue(), '');
        assert.match(await pagerText(page), /第1页/);
        assert.equal(await page.locator('#clearSearch').isVisible(), false);
      });

      await t.test(`${size.name}: the roles page names modules and marks 必选`, async () => {
        await page.goto(`${base}/admin/role.asp`);
        const roles = page.locator('table.tableWg').first();
        assert.match(await roles.textContent(), /操作员.*用户管理、快速添加用户/);
        assert.doesNotMatch(await roles.textContent(), /2,8/);
        assert.doesNotMatch(await page.locator('#main').textContent(), /modalForm\(/);
        await reachable(page, size, 'the roles page');
        const mandatory = page.locator('table.tableWg').nth(1).locator('tr', { hasText: '我的资料' });
        assert.match(await mandatory.textContent(), /✔/);
        assert.doesNotMatch(await page.locator('table.tableWg').nth(1).locator('tr', { hasText: '角色列表' }).textContent(), /✔/);
        await noSidewaysScroll(page, 'roles');
        await axe(page, 'the roles page');
        await shot(page, size, 'roles', { fullPage: true });
      });

      await t.test(`${size.name}: the profile is posted; the password change checks the old one`, async () => {
        await page.goto(`${base}/admin/profile.asp`);
        await noSidewaysScroll(page, 'profile');
        await axe(page, 'the profile page');
        await shot(page, size, 'profile', { fullPage: true });
        await page.fill("#profileForm input[name='姓名']", '资料之后的名字');
        const request = page.waitForRequest((r) => r.method() === 'POST' && /profile\.asp/.test(r.url()));
        await Promise.all([page.waitForURL(/profile\.asp$/), page.click("#profileForm button[type='submit']")]);
        const sent = await request;
        assert.doesNotMatch(decodeURIComponent(sent.url()), /资料之后的名字/, 'the name is not in the address');
        assert.match(decodeURIComponent(sent.postData() || ''), /资料之后的名字/);
        assert.equal(await flash(page), '资料已保存。');
        assert.match(await page.locator('table.tableWg').textContent(), /资料之后的名字/);
        // Wrong old password: refused.
        await page.fill("#passwordForm input[name='旧密码']", 'not-it');
        await page.fill("#passwordForm input[name='新密码']", 'new-pass-1');
        await page.fill("#passwordForm input[name='确认密码']", 'new-pass-1');
        await Promise.all([page.waitForURL(/profile\.asp$/), page.click('#btnPassword')]);
        // The message beside the field, what was typed kept, the same page.
        assert.equal((await page.locator('#err_p_old').textContent()).trim(), '旧密码错误！');
        assert.equal(await page.locator("#passwordForm input[name='旧密码']").getAttribute('aria-invalid'), 'true');
        assert.equal(await page.locator("#passwordForm input[name='新密码']").inputValue(), 'new-pass-1');
        await axe(page, 'a refused password change');
        await page.fill("#passwordForm input[name='旧密码']", ADMIN.password);
        await page.fill("#passwordForm input[name='新密码']", 'new-pass-1');
        await page.fill("#passwordForm input[name='确认密码']", 'new-pass-1');
        await Promise.all([page.waitForURL(/profile\.asp$/), page.click('#btnPassword')]);
        assert.equal(await flash(page), '密码已修改。');
        assert.equal(await page.locator('#flash').getAttribute('role'), 'status');
        await logout(page, base);
        await login(page, base, { account: ADMIN.account, password: 'new-pass-1' });
        // And back, for the rest of the walk.
        await page.goto(`${base}/admin/profile.asp`);
        await page.fill("#passwordForm input[name='旧密码']", 'new-pass-1');
        await page.fill("#passwordForm input[name='新密码']", ADMIN.password);
        await page.fill("#passwordForm input[name='确认密码']", ADMIN.password);
        await Promise.all([page.waitForURL(/profile\.asp$/), page.click('#btnPassword')]);
        assert.equal(await flash(page), '密码已修改。');
        await page.fill("#profileForm input[name='姓名']", '系统管理员');
        await Promise.all([page.waitForURL(/profile\.asp$/), page.click("#profileForm button[type='submit']")]);
      });

      await t.test(`${size.name}: error pages in the site's style, a favicon`, async () => {
        const res = await page.goto(`${base}/admin/no-such-page.asp`);
        assert.equal(res.status(), 404);
        assert.equal(await page.locator('h1').textContent(), '页面不存在');
        assert.equal(await page.locator('#goHome').getAttribute('href'), '/admin/index.asp');
        await noSidewaysScroll(page, '404');
        await axe(page, 'the 404 page');
        await shot(page, size, 'error-404');
        await Promise.all([page.waitForURL(/index\.asp$/), page.click('#goHome')]);
        const icon = await page.request.get(`${base}/favicon.ico`);
        assert.equal(icon.status(), 200);
        assert.match(icon.headers()['content-type'], /svg/);
        assert.equal(await page.locator("link[rel='icon']").getAttribute('href'), '/static/favicon.svg');
        if (!onServer) {
          // A database that cannot be opened: its own page, 503, a way back.
          const file = path.join(root, 'admin', 'database', 'app.mdb');
          fs.renameSync(file, `${file}.away`);
          fs.writeFileSync(file, 'this is no database');
          try {
            const broken = await page.goto(`${base}/admin/index.asp`);
            assert.equal(broken.status(), 503);
            assert.equal(await page.locator('h1').textContent(), '数据库暂时无法打开');
            assert.equal(await page.locator('#goBack').count(), 1);
            await axe(page, 'the database error page');
            await shot(page, size, 'error-database');
          } finally {
            fs.renameSync(`${file}.away`, file);
          }
        }
      });

      await t.test(`${size.name}: the second role is refused a page`, async () => {
        await logout(page, base);
        await shot(page, size, 'login-after-logout');
        await login(page, base, OPERATOR);
        await openMenu(page, size);
        const menu = await page.locator('#sideNav').textContent();
        assert.match(menu, /用户管理/);
        assert.match(menu, /操作日志/);
        assert.doesNotMatch(menu, /数据库维护|角色列表/);
        const alerted = nextDialog(page, true);
        await page.goto(`${base}/admin/maintain.asp`);
        assert.equal(await alerted, '对不起,你没有该权限!');
        await page.waitForURL(/index\.asp$/);
        // The operator's trail: their own actions only.
        await page.goto(`${base}/admin/audit.asp`);
        assert.equal(await page.locator('h1').textContent(), '我的操作日志');
        const who = await page.locator('#tableData tbody tr td:nth-child(3)').allTextContents();
        assert.ok(who.length > 0 && who.every((a) => a === OPERATOR.account), `the operator's trail: ${who}`);
        await axe(page, "the operator's trail");
        // 修改 on an administrator: the refusal in the dialog, the list stays.
        await page.goto(`${base}/admin/user.asp`);
        await gridRow(page, 'admin').locator('a', { hasText: '修改' }).click();
        const dialogFrame = page.frameLocator('#dlgFrame');
        await dialogFrame.locator('#dlgError').waitFor();
        assert.equal((await dialogFrame.locator('#dlgError').textContent()).trim(), '只有管理员可以修改管理员！');
        assert.match(page.url(), /user\.asp$/);
        await axe(page.frame({ name: 'dlgFrame' }), 'a refused dialog');
        await page.keyboard.press('Escape');
        await logout(page, base);
        await login(page, base, ADMIN);
      });

      await t.test(`${size.name}: backups with date and time, restore after an automatic backup`, { skip: fileOnly }, async () => {
        await page.goto(`${base}/admin/maintain.asp`);
        const before = await page.locator('#bakList option').count();
        await Promise.all([page.waitForURL(/maintain\.asp$/), page.click('#btnBackup')]);
        assert.match(await flash(page), /^备份完成：#\d{8}-\d{6}(-\d+)?\.bak。$/);
        await Promise.all([page.waitForURL(/maintain\.asp$/), page.click('#btnBackup')]);
        const names = await page.locator('#bakList option').allTextContents();
        assert.equal(names.length, before + 2, 'a second backup the same day keeps the first');
        assert.equal(new Set(names).size, names.length);
        // Listed newest first, with time and size.
        const rows = await page.locator('#bakTable tr').allTextContents();
        assert.match(rows[1], /#\d{8}-\d{6}.*\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}.*\d+(\.\d)? (B|KB|MB)/);
        const times = (await page.locator('#bakTable tr td:nth-child(3)').allTextContents());
        assert.deepEqual(times, [...times].sort().reverse());
        assert.match(await page.locator('#btnRestore').getAttribute('class'), /danger/);
        await noSidewaysScroll(page, 'maintenance');
        await axe(page, 'the maintenance page');
        await shot(page, size, 'maintain', { fullPage: true });

        const chosen = names[0];
        // A change after the backup, then the restore: the confirmation
        // names the backup and what is lost.
        await page.goto(`${base}/admin/profile.asp`);
        await page.fill("#profileForm input[name='姓名']", '备份之后的名字');
        await Promise.all([page.waitForURL(/profile\.asp$/), page.click("#profileForm button[type='submit']")]);
        await page.goto(`${base}/admin/maintain.asp`);
        await page.selectOption('#bakList', chosen);
        const declined = nextDialog(page, false);
        await page.click('#btnRestore');
        assert.match(await declined, new RegExp(`用备份 ${chosen} 覆盖当前数据库.*都将丢失`));
        assert.equal(await page.locator('#bakList option').count(), names.length, 'declined: nothing happened');
        const confirmed = nextDialog(page, true);
        await Promise.all([page.waitForURL(/maintain\.asp$/), page.click('#btnRestore')]);
        await confirmed;
        assert.match(await flash(page), new RegExp(`^已从备份 ${chosen} 恢复数据库（恢复前已自动备份：#\\d{8}-\\d{6}`));
        assert.equal(await page.locator('#bakList option').count(), names.length + 1);
        // The automatic copy is marked and not chosen for the next restore.
        assert.match(await page.locator('#bakTable tr', { hasText: '-auto.bak' }).first().textContent(), /自动/);
        assert.doesNotMatch(await page.locator('#bakList').inputValue(), /-auto\.bak$/);
        await page.goto(`${base}/admin/profile.asp`);
        assert.doesNotMatch(await page.locator('table.tableWg').textContent(), /备份之后的名字/);
        await page.goto(`${base}/admin/maintain.asp`);
        await Promise.all([page.waitForURL(/maintain\.asp$/), page.click('#btnCompact')]);
        assert.equal(await flash(page), '压缩完成。');
      });

      await t.test(`${size.name}: a workbook uploaded, previewed, then imported`, async () => {
        await page.goto(`${base}/admin/maintain.asp`);
        // Not a workbook: refused.
        for (const [bytes, message] of [['just text, no workbook', /不是 Excel 97-2003 工作簿/],
          [Buffer.from('PK\x03\x04 a zip archive'), /\.xlsx 工作簿.*另存为.*Excel 97-2003 工作簿 \(\*\.xls\)/]]) {
          const notBook = path.join(os.tmpdir(), `kvdn-not-a-book-${size.tag}.xls`);
          fs.writeFileSync(notBook, bytes);
          await page.setInputFiles('#xlsFile', notBook);
          // The page is already at maintain.asp: wait for the answer's own
          // load, not for an address that matches before it arrives.
          await Promise.all([page.waitForEvent('load'), page.click('#btnUpload')]);
          assert.match(await flash(page), message);
          assert.equal(await page.locator('#flash').getAttribute('role'), 'alert');
          fs.rmSync(notBook);
        }
        // Leftovers gone: no 新建数据库, no internal file name shown.
        assert.doesNotMatch(await page.locator('#main').textContent(), /新建数据库|database\/userinfo\.xls/);
        await page.goto(`${base}/admin/maintain.asp`);
        // Every row checked: plain passwords and role names taken, a blank
        // password and an unknown role refused by row, nothing imported.
        const sheet = path.join(os.tmpdir(), `kvdn-rows-${size.tag}.xls`);
        workbook(sheet, [['plain01', 'secret-1', '明文甲', '男', '操作员'], ['blank01', '', '空密码', '女', '2'],
          ['role01', 'secret-2', '角色错', '男', '经理']]);
        await page.setInputFiles('#xlsFile', sheet);
        await Promise.all([page.waitForURL(/preview=1/), page.click('#btnUpload')]);
        fs.rmSync(sheet);
        const refusedRows = await page.locator('#pvRefused tr').allTextContents();
        assert.deepEqual(refusedRows.slice(1).map((r) => r.replace(/（.*/, '')),
          ['3blank01空密码密码为空', '4role01角色错角色无效']);
        assert.equal(await page.locator('#pvPlain').textContent(), '1');
        assert.equal(await page.locator('#btnApply').count(), 0);
        await reachable(page, size, 'the refused import preview');
        await axe(page, 'the refused import preview');
        await shot(page, size, 'import-refused', { fullPage: true });
        await page.setInputFiles('#xlsFile', path.join(siteTemplate, 'admin', 'database', 'userinfo.xls'));
        await Promise.all([page.waitForURL(/preview=1/), page.click('#btnUpload')]);
        const users = Number((await page.request.get(`${base}/admin/user.asp?ac=call&page=1`).then((r) => r.text())).match(/共(\d+)条/)[1]);
        assert.equal(await page.locator('#pvAdded').textContent(), '4');
        assert.equal(await page.locator('#pvReplaced').textContent(), '0');
        assert.equal(await page.locator('#pvRemoved').textContent(), String(users - 1));
        assert.equal(await page.locator('#pvKept').textContent(), '1');
        await noSidewaysScroll(page, 'the import preview');
        await reachable(page, size, 'the import preview');
        await axe(page, 'the import preview');
        await shot(page, size, 'import-preview', { fullPage: true });
        if (!last) {
          // Cancelled here; the import itself runs once, at the last size.
          await Promise.all([page.waitForURL(/maintain\.asp$/), page.click('#btnDiscard')]);
          assert.equal(await flash(page), '已取消导入。');
          assert.equal(await page.locator('#previewCard').count(), 0);
          return;
        }
        const confirmed = nextDialog(page, true);
        await Promise.all([page.waitForURL(/maintain\.asp$/), page.click('#btnApply')]);
        assert.match(await confirmed, new RegExp(`导入将删除 ${users - 1} 个不在表格中的用户`));
        assert.match(await flash(page), /^已导入 4 个用户（导入前已自动备份：/);
        await page.goto(`${base}/admin/user.asp`);
        assert.match(await pagerText(page), /共5条/);
        const row = gridRow(page, 'import04');
        assert.equal(await row.count(), 1);
        assert.match(await row.locator('td').nth(5).textContent(), /^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}$/, 'imported users get 注册时间');
        assert.equal(await gridRow(page, 'caozuo').count(), 0);
      });

      await t.test(`${size.name}: the audit trail`, async () => {
        await page.goto(`${base}/admin/audit.asp`);
        await gridReloaded(page, () => page.selectOption('#pageSize', '100'));
        const text = await page.locator('#tableData').textContent();
        for (const action of ['登录失败', '登录', '添加', '修改', '删除', ...(onServer ? [] : ['备份', '恢复', '压缩']), ...(last ? ['导入'] : [])])
          assert.match(text, new RegExp(action), `the trail holds ${action}`);
        await noSidewaysScroll(page, 'audit');
        // Every column, 内容 too, inside the window on a phone.
        await reachable(page, size, 'the audit trail');
        await axe(page, 'the audit trail');
        await shot(page, size, 'audit', { fullPage: true });
        await page.selectOption('#actionFilter', '删除');
        await gridReloaded(page, () => page.locator('#listSearch button[type=submit]').click());
        const actions = await page.locator('#tableData tbody tr td:nth-child(5)').allTextContents();
        assert.ok(actions.length >= 1 && actions.every((a) => a === '删除'), `filter: ${actions}`);
        // A deleted user is named by account.
        assert.match(await page.locator('#tableData').textContent(), new RegExp(`删除 2 个用户：.*${size.second}（ID \\d+）`));
        // A day range with nothing in it: the empty grid, no 第0页.
        await page.fill('#fromDay', '2000-01-01');
        await page.fill('#toDay', '2000-01-02');
        await gridReloaded(page, () => page.locator('#listSearch button[type=submit]').click());
        assert.match(await page.locator('#tableData').textContent(), /暂无记录/);
        assert.equal(await page.locator('#tableData tfoot').isVisible(), false);
        await reachable(page, size, 'the filtered trail');
      });

      await context.close();
    }

    await t.test('the request log has a line per request', () => {
      const lines = site.log().split('\n').filter((l) => /^\d{4}-\d{2}-\d{2}T/.test(l));
      assert.ok(lines.length > 50, `request log lines: ${lines.length}`);
      const line = /^(\S+) (\S+) (\S+) (GET|POST|HEAD) (\/\S*) (\d{3}) (\d+)ms$/;
      assert.ok(lines.every((l) => line.test(l)), `a malformed log line: ${lines.find((l) => !line.test(l))}`);
      assert.ok(lines.some((l) => / admin GET \/admin\/user\.asp 200 /.test(l)));
      assert.ok(lines.some((l) => / - GET \/admin\/no-such-page\.asp 404 /.test(l) || / admin GET \/admin\/no-such-page\.asp 404 /.test(l)));
    });

    assert.deepEqual(pageErrors, [], 'script errors on the pages');
    assert.deepEqual(policyErrors, [], 'content security policy refusals');
    if (lesser.size) console.log(`axe-core, below serious: ${[...lesser].map(([k, v]) => `${k}: ${v}`).join('; ')}`);
  } finally {
    await browser.close();
    await stopSite(site.child);
    const log = site.log();
    fs.rmSync(root, { recursive: true, force: true });
    fs.rmSync(profile, { recursive: true, force: true });
    const problems = log.split('\n').filter((l) => l && !/^\d{4}-\d{2}-\d{2}T/.test(l));
    if (problems.length) console.log(`kvdn-site stderr (besides the request log):\n${problems.join('\n')}`);
  }
});
