// The sample site in a real browser: Debian's chromium driven by
// playwright-core, against kvdn-site started on a free port with a fresh
// copy of the site root (so the database is made anew).
//
//   KVDN_BUILD=build node --test tests/site/browser_test.mjs
//
// Screenshots of the list, the dialog and the menu go to $KVDN_BUILD/screenshots.
// Skips (with a message) only when chromium is not installed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

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
      if (m) {
        clearTimeout(timer);
        resolve({ child, base: m[1], log: () => err });
      }
    });
    child.stderr.on('data', (chunk) => { err += chunk; });
    child.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`kvdn-site exited with ${code}\n${out}\n${err}`));
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

// ---------------------------------------------------------------- the test

const skip = fs.existsSync(chromiumPath)
  ? false
  : `chromium is not installed at ${chromiumPath} (scripts/install-deps.sh could not install it)`;
if (skip) console.log(`SKIP browser test: ${skip}`);

test('the sample site in chromium', { skip, timeout: 240000 }, async (t) => {
  const { chromium } = await import('playwright-core');
  assert.ok(fs.existsSync(siteBin), `${siteBin} is missing: build first`);
  fs.mkdirSync(shots, { recursive: true });
  const root = freshSite();
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'kvdn-chromium-'));
  const site = await startSite(root);
  const base = site.base;
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    viewport: { width: 1200, height: 760 },
    locale: 'zh-CN',
    args: [
      '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  const page = context.pages()[0] || (await context.newPage());
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(e.message));
  // The pages' content security policy must let the site's script and the
  // component's inline handlers run: a refusal shows as a console error.
  const policyErrors = [];
  page.on('console', (m) => {
    if (m.type() === 'error' && /Content Security Policy/i.test(m.text())) policyErrors.push(m.text());
  });

  try {
    await t.test('logs in as the administrator', async () => {
      await login(page, base, ADMIN);
      assert.equal(await page.locator('h1').textContent(), '首页');
      assert.match(await page.locator('.topBar .who').textContent(), /系统管理员/);
    });

    await t.test('pages through the user list', async () => {
      await page.goto(`${base}/admin/user.asp`);
      assert.equal(await page.locator('#tableData tbody tr').count(), 10);
      assert.match(await pagerText(page), /第1页\/共3页 每页10条\/共24条/);
      // The administrator (key 1) has no delete box; the long name is cut
      // with its full text as a tooltip.
      assert.equal(await gridRow(page, 'admin').locator("input[name='delids']").count(), 0);
      await page.screenshot({ path: path.join(shots, 'list.png'), fullPage: true });

      await page.locator('#tableData tfoot a', { hasText: '下一页' }).click();
      await waitForText(page, '#tableData tfoot', '第2页/共3页');
      assert.equal((await page.locator('#tableData tbody tr td').first().textContent()).trim(), '11');
      await lastGridPage(page);
      assert.equal(await page.locator('#tableData tbody tr').count(), 4);
      const long = gridRow(page, 'ouyang').locator('td[title]');
      assert.equal(await long.getAttribute('title'), '欧阳娜娜（华东区市场部）');
      assert.match(await long.textContent(), /…$/);
      await page.locator('#tableData tfoot a', { hasText: '第一页' }).click();
      await waitForText(page, '#tableData tfoot', '第1页/共3页');
    });

    await t.test('adds a user through the dialog', async () => {
      // The grid's own add link, in the heading of its edit column.
      await page.locator('#tableData thead a', { hasText: '添加用户' }).click();
      const dialog = page.locator('#dlg');
      await dialog.waitFor({ state: 'visible' });
      const form = page.frameLocator('#dlgFrame');
      await form.locator("input[name='登录账号']").fill('browser01');
      await form.locator("input[name='密码']").fill('pw-123456');
      await form.locator("input[name='姓名']").fill('浏览器用户');
      await form.locator("select[name='性别']").selectOption('女');
      assert.equal(await form.locator("select[name='角色'] option[selected]").textContent(), '操作员');
      await page.screenshot({ path: path.join(shots, 'dialog.png') });
      await form.locator("button[type='submit']").click();
      await waitForText(page, '#toast', '添加成功！');
      await dialog.waitFor({ state: 'hidden' });
      await waitForText(page, '#tableData tfoot', '共25条');
      await lastGridPage(page);
      const row = gridRow(page, 'browser01');
      assert.equal(await row.count(), 1);
      assert.match(await row.textContent(), /浏览器用户.*女.*操作员/);
    });

    await t.test('the new user can log in with the digested password', async () => {
      // A login posted from elsewhere is refused: say where it comes from, as
      // a browser does.
      const res = await page.request.post(`${base}/admin/login.asp`, {
        headers: { Origin: base },
        form: { '登录账号': 'browser01', '密码': 'pw-123456' },
        maxRedirects: 0,
      });
      assert.equal(res.status(), 302);
      assert.equal(res.headers().location, 'index.asp');
      // That login took over this browser's session; log back in.
      await login(page, base, ADMIN);
      await page.goto(`${base}/admin/user.asp`);
      await lastGridPage(page);
    });

    await t.test('modifies the user', async () => {
      await gridRow(page, 'browser01').locator('a', { hasText: '修改' }).click();
      await page.locator('#dlg').waitFor({ state: 'visible' });
      const form = page.frameLocator('#dlgFrame');
      // The detail table shows the stored record above the form.
      await form.locator('table.tableWg').waitFor();
      assert.match(await form.locator('table.tableWg').textContent(), /当前资料.*browser01.*浏览器用户/);
      assert.equal(await form.locator("select[name='性别'] option[selected]").textContent(), '女');
      await form.locator("input[name='姓名']").fill('浏览器用户乙');
      await form.locator("select[name='性别']").selectOption('男');
      await form.locator("button[type='submit']").click();
      await waitForText(page, '#toast', '修改成功！');
      await waitForText(page, '#tableData', '浏览器用户乙');
      assert.match(await gridRow(page, 'browser01').textContent(), /浏览器用户乙.*男/);
    });

    await t.test('ticks two users and deletes them', async () => {
      await gridRow(page, 'browser01').locator("input[name='delids']").check();
      await gridRow(page, 'zhenghao').locator("input[name='delids']").check();
      const confirmed = nextDialog(page, true);
      await page.locator('#tableData thead a', { hasText: '删除' }).click();
      assert.match(await confirmed, /确定删除选中的 2 条记录/);
      await waitForText(page, '#toast', '已删除 2 条记录！');
      await waitForText(page, '#tableData tfoot', '共23条');
      assert.equal(await gridRow(page, 'browser01').count(), 0);
      assert.equal(await gridRow(page, 'zhenghao').count(), 0);
    });

    await t.test('opens and closes a menu group', async () => {
      await page.goto(`${base}/admin/user.asp`);
      // The group of the current page is open, the other one closed.
      assert.equal(await page.locator('#ChildMenu0').isVisible(), true);
      assert.equal(await page.locator('#ChildMenu0 li.cMenu').textContent(), '用户管理');
      assert.equal(await page.locator('#ChildMenu1').isVisible(), false);
      await page.locator('.titleNav', { hasText: '个人中心' }).click();
      assert.equal(await page.locator('#ChildMenu1').isVisible(), true);
      await page.locator('#sideNav').screenshot({ path: path.join(shots, 'menu.png') });
      await page.locator('.titleNav', { hasText: '个人中心' }).click();
      assert.equal(await page.locator('#ChildMenu1').isVisible(), false);
      await page.locator('.titleNav', { hasText: '系统管理' }).click();
      assert.equal(await page.locator('#ChildMenu0').isVisible(), false);
    });

    await t.test('the second role is refused a page', async () => {
      await logout(page, base);
      await login(page, base, OPERATOR);
      // The operator's menu holds only the pages of its rights.
      const menu = await page.locator('#sideNav').textContent();
      assert.match(menu, /用户管理/);
      assert.doesNotMatch(menu, /数据库维护|角色列表/);
      const alerted = nextDialog(page, true);
      await page.goto(`${base}/admin/maintain.asp`);
      assert.equal(await alerted, '对不起,你没有该权限!');
      // The alert sends the browser back to where it came from.
      await page.waitForURL(/index\.asp$/);
      assert.equal(await page.locator('#btnBackup').count(), 0);
      // The grid reload of a page it may open works; the role list does not.
      const grid = await page.request.get(`${base}/admin/user.asp?ac=call&page=1`);
      assert.match(await grid.text(), /formtablepage/);
      const roles = await page.request.get(`${base}/admin/role.asp`);
      assert.match(await roles.text(), /对不起,你没有该权限!/);
      // An operator may edit users, but not the administrators.
      const admin = await page.request.get(`${base}/admin/user.asp?ac=modify&id=1`);
      assert.match(await admin.text(), /只有管理员可以修改管理员！/);
    });

    await t.test('takes a backup and restores it', { skip: fileOnly }, async () => {
      await logout(page, base);
      await login(page, base, ADMIN);
      await page.goto(`${base}/admin/maintain.asp`);
      await Promise.all([page.waitForURL(/maintain\.asp$/), page.click('#btnBackup')]);
      assert.equal(await flash(page), '备份完成。');
      const backups = await page.locator('#bakList option').allTextContents();
      assert.equal(backups.length, 1);
      assert.match(backups[0], /^#\d{8}\.bak$/);

      // A change after the backup, through the profile page (which stores
      // the query string with dbWriteGet).
      await page.goto(`${base}/admin/profile.asp`);
      await page.fill("#profileForm input[name='姓名']", '备份之后的名字');
      await Promise.all([page.waitForURL(/profile\.asp$/), page.click("#profileForm button[type='submit']")]);
      assert.equal(await flash(page), '资料已保存。');
      assert.match(await page.locator('table.tableWg').textContent(), /备份之后的名字/);

      await page.goto(`${base}/admin/maintain.asp`);
      await page.selectOption('#bakList', backups[0]);
      const confirmed = nextDialog(page, true);
      await Promise.all([page.waitForURL(/maintain\.asp$/), page.click('#btnRestore')]);
      assert.match(await confirmed, /覆盖当前数据库/);
      assert.equal(await flash(page), `已从备份 ${backups[0]} 恢复数据库。`);
      await page.goto(`${base}/admin/profile.asp`);
      const detail = await page.locator('table.tableWg').textContent();
      assert.match(detail, /系统管理员/);
      assert.doesNotMatch(detail, /备份之后的名字/);
    });

    await t.test('compacts the database and imports the spreadsheet', { skip: fileOnly }, async () => {
      await page.goto(`${base}/admin/maintain.asp`);
      await Promise.all([page.waitForURL(/maintain\.asp$/), page.click('#btnCompact')]);
      assert.equal(await flash(page), '压缩完成。');
      const confirmed = nextDialog(page, true);
      await Promise.all([page.waitForURL(/maintain\.asp$/), page.click('#btnImport')]);
      await confirmed;
      assert.equal(await flash(page), '已从 database/userinfo.xls 导入 4 个用户。');
      await page.goto(`${base}/admin/user.asp`);
      assert.match(await pagerText(page), /共5条/);
      assert.equal(await gridRow(page, 'import04').count(), 1);
      assert.equal(await gridRow(page, 'caozuo').count(), 0);
    });

    assert.deepEqual(pageErrors, [], 'script errors on the pages');
    assert.deepEqual(policyErrors, [], 'content security policy refusals');
  } finally {
    await context.close();
    await stopSite(site.child);
    const log = site.log();
    fs.rmSync(root, { recursive: true, force: true });
    fs.rmSync(profile, { recursive: true, force: true });
    if (log.trim()) console.log(`kvdn-site stderr:\n${log}`);
  }
});
