<?php
// Shared by the peer pages: the database, escaping, the login check and the
// role menu. The peer is the site's user list written the way a PHP 8
// developer would write it (PDO over the same SQLite file, PHP's own file
// sessions), so that bench/load/run.sh can measure both side by side.
//
// KVDN_PEER_DB names the site's database file (the server's environment);
// nothing else is configured here.
declare(strict_types=1);

const PEER_ADMIN_ROLE = 1;

function db(): PDO
{
    static $pdo = null;
    if ($pdo === null) {
        $file = getenv('KVDN_PEER_DB');
        // PDO would make an empty database for a missing file: refuse instead.
        if ($file === false || $file === '' || !is_file($file)) {
            http_response_code(503);
            exit('The database file is not configured (KVDN_PEER_DB).');
        }
        $pdo = new PDO('sqlite:' . $file, null, null, [
            PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION,
            PDO::ATTR_DEFAULT_FETCH_MODE => PDO::FETCH_ASSOC,
            PDO::ATTR_TIMEOUT => 5, // the site writes the same file meanwhile
        ]);
    }
    return $pdo;
}

function h(mixed $value): string
{
    return htmlspecialchars((string) $value, ENT_QUOTES | ENT_SUBSTITUTE | ENT_HTML5, 'UTF-8');
}

function redirect(string $to): never
{
    header('Location: ' . $to, true, 303);
    exit;
}

// Session options shared by every page: no id the server did not make, a
// cookie script cannot read.
function session_options(): array
{
    return ['use_strict_mode' => true, 'cookie_httponly' => true, 'cookie_samesite' => 'Strict'];
}

// The logged-in user (ID, role, name, account) or a redirect to the login.
// The session is read and closed at once: this page never writes it, and an
// open file session holds its lock until the script ends, which would run
// every request of one visitor one at a time.
function require_login(): array
{
    session_start(session_options() + ['read_and_close' => true]);
    $uid = $_SESSION['uid'] ?? null;
    if (!is_int($uid)) {
        redirect('login.php');
    }
    // The session only says who logged in; the role is what the database says now.
    $st = db()->prepare('select 角色, 姓名, 登录账号 from 用户 where ID = ?');
    $st->execute([$uid]);
    $row = $st->fetch();
    $st->closeCursor();
    if ($row === false) {
        session_start(session_options());
        $_SESSION = [];
        session_destroy();
        redirect('login.php');
    }
    return [
        'id' => $uid,
        'role' => (int) $row['角色'],
        'name' => (string) ($row['姓名'] ?: $row['登录账号']),
        'account' => (string) $row['登录账号'],
    ];
}

// The module IDs a role's 权限 lists ("2, 3,10"); anything that is not a
// list of whole numbers lists nothing.
function module_ids(?string $rights): array
{
    $ids = [];
    foreach (explode(',', str_replace(' ', '', (string) $rights)) as $item) {
        if ($item !== '' && ctype_digit($item)) {
            $ids[] = (int) $item;
        }
    }
    return $ids;
}

function placeholders(array $values): string
{
    return implode(',', array_fill(0, count($values), '?'));
}

// The role's menu as nested lists, or null when the role may not open the
// page keyed $pageKey. Three statements for the administrator (current
// module, headings, entries), five for other roles (also the rights and the
// distinct heading levels), as the site's menu runs them.
function role_menu(int $role, string $pageKey): ?string
{
    $pdo = db();
    $st = $pdo->prepare('select ID, 层级, 必选 from 功能模块 where 文件名 = ? limit 1');
    $st->execute([$pageKey]);
    $current = $st->fetch();
    $st->closeCursor();

    if ($role === PEER_ADMIN_ROLE) {
        $headings = $pdo->query('select ID, 名称 from 功能模块 where 层级 = 0 order by 顺序')->fetchAll();
        $entries = $pdo->query('select 名称, 文件名, 层级 from 功能模块 where 层级 > 0 order by 顺序')->fetchAll();
    } else {
        $st = $pdo->prepare('select 权限 from 用户身份 where ID = ?');
        $st->execute([$role]);
        $ids = module_ids($st->fetchColumn() ?: null);
        $st->closeCursor();
        $listed = $current !== false && in_array((int) $current['ID'], $ids, true);
        if (!$listed && ($current === false || (int) $current['必选'] !== 1)) {
            return null;
        }
        $allowed = $ids ? 'ID in (' . placeholders($ids) . ') or 必选 = 1' : '必选 = 1';
        $st = $pdo->prepare("select distinct 层级 from 功能模块 where $allowed");
        $st->execute($ids);
        $levels = array_map('intval', $st->fetchAll(PDO::FETCH_COLUMN));
        if (!$levels) {
            return '';
        }
        $st = $pdo->prepare('select ID, 名称 from 功能模块 where ID in (' . placeholders($levels) . ') order by 顺序');
        $st->execute($levels);
        $headings = $st->fetchAll();
        $st = $pdo->prepare("select 名称, 文件名, 层级 from 功能模块 where $allowed order by 顺序");
        $st->execute($ids);
        $entries = $st->fetchAll();
    }

    $byLevel = [];
    foreach ($entries as $entry) {
        $byLevel[(int) $entry['层级']][] = $entry;
    }
    $openLevel = $current === false ? 0 : (int) $current['层级'];
    $out = "<ul class='menu'>";
    foreach ($headings as $heading) {
        $id = (int) $heading['ID'];
        $out .= '<li' . ($id === $openLevel ? " class='open'" : '') . '>' . h($heading['名称']) . '<ul>';
        foreach ($byLevel[$id] ?? [] as $entry) {
            $file = (string) $entry['文件名'];
            if ($file === $pageKey) {
                $out .= "<li class='current'>" . h($entry['名称']) . '</li>';
            } elseif (stripos($file, 'modalform') === 0) {
                $out .= "<li><a href='#' onclick='" . h($file) . "'>" . h($entry['名称']) . '</a></li>';
            } else {
                $out .= "<li><a href='" . h($file) . "'>" . h($entry['名称']) . '</a></li>';
            }
        }
        $out .= '</ul></li>';
    }
    return $out . '</ul>';
}

// $text cut to the display width $width (a wide character counts 2), with
// "…" when cut.
function shorten(string $text, int $width): string
{
    $used = 0;
    $out = '';
    foreach (preg_split('//u', $text, -1, PREG_SPLIT_NO_EMPTY) ?: [] as $char) {
        $out .= $char;
        $used += strlen($char) > 1 ? 2 : 1;
        if ($used >= $width) {
            return $out === $text ? $out : $out . '…';
        }
    }
    return $out;
}

function page_head(string $title): string
{
    return "<!DOCTYPE html><html lang='zh-CN'><head><meta charset='utf-8'>"
        . "<meta name='viewport' content='width=device-width, initial-scale=1'><title>" . h($title)
        . " - 后台管理</title><link rel='stylesheet' href='/static/site.css'></head>";
}
