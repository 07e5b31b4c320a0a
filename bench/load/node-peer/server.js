'use strict';
// The user list written for Node.js 20 the way a Node developer would write
// it: node:http under the cluster module (KVDN_PEER_WORKERS workers, 2 by
// default), better-sqlite3 with statements prepared once per worker, and a
// session whose id travels in a signed cookie and whose data is a row of an
// SQLite table. Markup and statements are those of ../peer/user.php, so that
// bench/load/run.sh compares like with like.
//
//   KVDN_PEER_DB=app.mdb KVDN_PEER_SESSIONS=sessions.db KVDN_PEER_PORT=N node server.js
//
// POST /login.js (登录账号, 密码) logs in and sets the cookie; GET /user.js
// is the list (?page=N).
const cluster = require('node:cluster');
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');

const DB = process.env.KVDN_PEER_DB || '';
const SESSIONS = process.env.KVDN_PEER_SESSIONS || '';
const PORT = Number(process.env.KVDN_PEER_PORT || 0);
const WORKERS = Number(process.env.KVDN_PEER_WORKERS || 2);
const ADMIN_ROLE = 1;
const PAGE_SIZE = 10;
const PAGE_KEY = 'user.asp';

if (!DB || !fs.existsSync(DB) || !SESSIONS || !PORT) {
  console.error('node peer: set KVDN_PEER_DB (an existing file), KVDN_PEER_SESSIONS and KVDN_PEER_PORT');
  process.exit(2);
}

if (cluster.isPrimary) {
  const Database = require('better-sqlite3');
  const s = new Database(SESSIONS);
  s.pragma('journal_mode = WAL');
  s.exec('create table if not exists session (id text primary key, uid integer not null, expires integer not null)');
  s.close();
  // The cookie key is made once and shared with the workers: a cookie signed
  // by one is taken by the other.
  process.env.KVDN_PEER_SECRET = crypto.randomBytes(32).toString('hex');
  for (let i = 0; i < WORKERS; i++) cluster.fork();
  cluster.on('exit', (w, code) => { if (code) console.error(`node peer: worker ${w.process.pid} exited ${code}`); });
  console.log(`node peer: listening on 127.0.0.1:${PORT}`);
  return;
}

const Database = require('better-sqlite3');
const db = new Database(DB, { fileMustExist: true, timeout: 5000 });
const sessions = new Database(SESSIONS, { timeout: 5000 });
const secret = Buffer.from(process.env.KVDN_PEER_SECRET, 'hex');

const q = {
  user: db.prepare('select 角色, 姓名, 登录账号 from 用户 where ID = ?'),
  login: db.prepare('select ID, 密码 from 用户 where 登录账号 = ?'),
  current: db.prepare('select ID, 层级, 必选 from 功能模块 where 文件名 = ? limit 1'),
  headings: db.prepare('select ID, 名称 from 功能模块 where 层级 = 0 order by 顺序'),
  entries: db.prepare('select 名称, 文件名, 层级 from 功能模块 where 层级 > 0 order by 顺序'),
  rights: db.prepare('select 权限 from 用户身份 where ID = ?').pluck(),
  count: db.prepare('select count(*) from 用户').pluck(),
  rows: db.prepare('select u.ID, u.登录账号, u.姓名, u.性别, u.角色, r.名称 as 角色名称, u.注册时间' +
    ' from 用户 u left join 用户身份 r on r.ID = u.角色 order by u.ID limit ? offset ?'),
  sessionGet: sessions.prepare('select uid, expires from session where id = ? and expires > ?'),
  sessionTouch: sessions.prepare('update session set expires = ? where id = ?'),
  sessionPut: sessions.prepare('insert into session (id, uid, expires) values (?, ?, ?)'),
};
const SESSION_MS = 20 * 60 * 1000;

const h = (v) => String(v ?? '').replace(/[&<>"']/g, (c) =>
  ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#039;' })[c]);
const sign = (id) => crypto.createHmac('sha256', secret).update(id).digest('base64url');

// The session's user ID from the signed cookie ("sid=ID.SIGNATURE"), or 0.
function sessionUser(req) {
  const m = /(?:^|;\s*)sid=([0-9a-f]{32})\.([A-Za-z0-9_-]+)/.exec(req.headers.cookie || '');
  if (!m) return 0;
  const want = Buffer.from(sign(m[1]));
  const got = Buffer.from(m[2]);
  if (want.length !== got.length || !crypto.timingSafeEqual(want, got)) return 0;
  const now = Date.now();
  const row = q.sessionGet.get(m[1], now);
  if (!row) return 0;
  // Sliding expiry, written at most once a minute per session: a write per
  // request would make every page view a disk commit.
  if (row.expires - now < SESSION_MS - 60 * 1000) q.sessionTouch.run(now + SESSION_MS, m[1]);
  return row.uid;
}

function shorten(text, width) {
  let used = 0;
  let out = '';
  for (const ch of text) {
    out += ch;
    used += Buffer.byteLength(ch) > 1 ? 2 : 1;
    if (used >= width) return out === text ? out : out + '…';
  }
  return out;
}

function moduleIds(rights) {
  return String(rights ?? '').replace(/ /g, '').split(',').filter((s) => /^[0-9]+$/.test(s)).map(Number);
}

// The role's menu, or null when the role may not open the page.
function roleMenu(role) {
  const current = q.current.get(PAGE_KEY);
  let headings;
  let entries;
  if (role === ADMIN_ROLE) {
    headings = q.headings.all();
    entries = q.entries.all();
  } else {
    const ids = moduleIds(q.rights.get(role));
    const listed = current && ids.includes(current.ID);
    if (!listed && (!current || current.必选 !== 1)) return null;
    const allowed = ids.length ? `ID in (${ids.map(() => '?').join(',')}) or 必选 = 1` : '必选 = 1';
    const levels = db.prepare(`select distinct 层级 from 功能模块 where ${allowed}`).pluck().all(...ids);
    if (!levels.length) return '';
    headings = db.prepare(`select ID, 名称 from 功能模块 where ID in (${levels.map(() => '?').join(',')}) order by 顺序`)
      .all(...levels);
    entries = db.prepare(`select 名称, 文件名, 层级 from 功能模块 where ${allowed} order by 顺序`).all(...ids);
  }
  const byLevel = new Map();
  for (const e of entries) {
    if (!byLevel.has(e.层级)) byLevel.set(e.层级, []);
    byLevel.get(e.层级).push(e);
  }
  const openLevel = current ? current.层级 : 0;
  let out = "<ul class='menu'>";
  for (const hd of headings) {
    out += '<li' + (hd.ID === openLevel ? " class='open'" : '') + '>' + h(hd.名称) + '<ul>';
    for (const e of byLevel.get(hd.ID) || []) {
      const file = String(e.文件名);
      if (file === PAGE_KEY) out += "<li class='current'>" + h(e.名称) + '</li>';
      else if (file.toLowerCase().startsWith('modalform')) out += "<li><a href='#' onclick='" + h(file) + "'>" + h(e.名称) + '</a></li>';
      else out += "<li><a href='" + h(file) + "'>" + h(e.名称) + '</a></li>';
    }
    out += '</ul></li>';
  }
  return out + '</ul>';
}

const pageHead = (title) => "<!DOCTYPE html><html lang='zh-CN'><head><meta charset='utf-8'>" +
  "<meta name='viewport' content='width=device-width, initial-scale=1'><title>" + h(title) +
  " - 后台管理</title><link rel='stylesheet' href='/static/site.css'></head>";

function send(res, status, body, headers = {}) {
  res.writeHead(status, { 'Content-Type': 'text/html; charset=utf-8', 'Content-Length': Buffer.byteLength(body), ...headers });
  res.end(body);
}

function listPage(req, res, url) {
  const uid = sessionUser(req);
  const user = uid ? q.user.get(uid) : undefined;
  if (!user) return send(res, 303, '', { Location: '/login.js' });
  const role = user.角色;
  const menu = roleMenu(role);
  if (menu === null) return send(res, 403, pageHead('用户管理') + '<body><p>对不起，你没有该权限！</p></body></html>');
  const total = q.count.get();
  const pages = Math.max(1, Math.floor((total + PAGE_SIZE - 1) / PAGE_SIZE));
  const page = Math.min(Math.max(parseInt(url.searchParams.get('page') || '1', 10) || 1, 1), pages);
  const offset = (page - 1) * PAGE_SIZE;
  const rows = q.rows.all(PAGE_SIZE, offset);
  let out = pageHead('用户管理') +
    "<body><header class='topBar'><span class='brand'>后台管理系统</span><span class='who'>" + h(user.姓名 || user.登录账号) +
    (role === ADMIN_ROLE ? '（管理员）' : '（操作员）') + '</span></header>' +
    "<div class='layout'><nav class='sideNav' aria-label='功能菜单'>" + menu + '</nav>' +
    "<main class='content' id='main'><h1>用户管理</h1>" +
    "<table class='tableWg'><thead><tr><td>序号</td><td>登录账号</td><td>姓名</td><td>性别</td><td>角色</td>" +
    '<td>注册时间</td><td>修改</td><td>删除</td></tr></thead><tbody>';
  if (!rows.length) out += "<tr><td colspan='8'>对不起，无记录！</td></tr>";
  rows.forEach((row, i) => {
    const id = row.ID;
    const name = String(row.姓名 ?? '');
    const short = shorten(name, 12);
    out += "<tr data-id='" + id + "'><td>" + (offset + i + 1) + '</td><td>' + h(row.登录账号) + '</td>' +
      (short === name ? '<td>' : "<td title='" + h(name) + "'>") + h(short) + '</td>' +
      '<td>' + h(row.性别) + '</td>' +
      (row.角色 === ADMIN_ROLE ? "<td class='admin'>" : '<td>') + h(row.角色名称) + '</td>' +
      '<td>' + h(row.注册时间) + '</td>' +
      "<td><a href='?ac=modify&amp;id=" + id + "'>修改</a></td>" +
      '<td>' + (id === 1 ? '&nbsp;' : "<input name='delids' type='checkbox' value='" + id + "'>") + '</td></tr>';
  });
  const link = (to, text) => "<a href='?page=" + to + "'>" + text + '</a>';
  out += "</tbody><tfoot><tr><td colspan='8'>第" + page + '页/共' + pages + '页&nbsp;每页' + PAGE_SIZE + '条/共' +
    total + '条&nbsp;' +
    (page > 1 ? link(1, '第一页') + '&nbsp;' + link(page - 1, '上一页') : '第一页&nbsp;上一页') + '&nbsp;' +
    (page < pages ? link(page + 1, '下一页') + '&nbsp;' + link(pages, '最后页') : '下一页&nbsp;最后页') +
    '</td></tr></tfoot></table></main></div></body></html>';
  send(res, 200, out);
}

function login(req, res) {
  let body = '';
  req.setEncoding('utf8');
  req.on('data', (d) => { body += d; if (body.length > 65536) req.destroy(); });
  req.on('end', () => {
    const form = new URLSearchParams(body);
    const account = (form.get('登录账号') || '').trim();
    const password = form.get('密码') || '';
    const row = account ? q.login.get(account) : undefined;
    const md5 = (t) => crypto.createHash('md5').update(t).digest('hex');
    const typed = md5(md5(password));
    if (!row || String(row.密码).toLowerCase() !== typed) return send(res, 200, pageHead('登录') + '<body><p>登录账号或密码错误！</p></body></html>');
    const id = crypto.randomBytes(16).toString('hex');
    q.sessionPut.run(id, row.ID, Date.now() + SESSION_MS);
    send(res, 303, '', {
      Location: '/user.js',
      'Set-Cookie': `sid=${id}.${sign(id)}; HttpOnly; SameSite=Strict; Path=/`,
    });
  });
}

http.createServer((req, res) => {
  try {
    const url = new URL(req.url, 'http://peer');
    if (url.pathname === '/user.js' && req.method === 'GET') return listPage(req, res, url);
    if (url.pathname === '/login.js' && req.method === 'POST') return login(req, res);
    send(res, 404, 'not found');
  } catch (e) {
    console.error(e);
    send(res, 500, 'failed');
  }
}).listen(PORT, '127.0.0.1');
