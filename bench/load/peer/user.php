<?php
// The user list: the logged-in user's menu, then one page of ten users with
// their role's name, and a pager. ?page=N picks the page (clamped to the
// pages there are).
declare(strict_types=1);
require __DIR__ . '/lib.php';

const PAGE_SIZE = 10;
// The site's menu keys its modules by the site's file names: this page
// stands for its user list.
const PAGE_KEY = 'user.asp';

$user = require_login();
$menu = role_menu($user['role'], PAGE_KEY);
if ($menu === null) {
    http_response_code(403);
    echo page_head('用户管理') . '<body><p>对不起，你没有该权限！</p></body></html>';
    exit;
}

$pdo = db();
$total = (int) $pdo->query('select count(*) from 用户')->fetchColumn();
$pages = max(1, intdiv($total + PAGE_SIZE - 1, PAGE_SIZE));
$requested = $_GET['page'] ?? '1';
$page = min(max(is_string($requested) ? (int) $requested : 1, 1), $pages);
$offset = ($page - 1) * PAGE_SIZE;

$st = $pdo->prepare(
    'select u.ID, u.登录账号, u.姓名, u.性别, u.角色, r.名称 as 角色名称, u.注册时间'
    . ' from 用户 u left join 用户身份 r on r.ID = u.角色 order by u.ID limit :size offset :offset'
);
$st->bindValue(':size', PAGE_SIZE, PDO::PARAM_INT);
$st->bindValue(':offset', $offset, PDO::PARAM_INT);
$st->execute();
$rows = $st->fetchAll();

$out = page_head('用户管理')
    . "<body><header class='topBar'><span class='brand'>后台管理系统</span><span class='who'>" . h($user['name'])
    . ($user['role'] === PEER_ADMIN_ROLE ? '（管理员）' : '（操作员）') . "</span></header>"
    . "<div class='layout'><nav class='sideNav' aria-label='功能菜单'>" . $menu . '</nav>'
    . "<main class='content' id='main'><h1>用户管理</h1>"
    . "<table class='tableWg'><thead><tr><td>序号</td><td>登录账号</td><td>姓名</td><td>性别</td><td>角色</td>"
    . '<td>注册时间</td><td>修改</td><td>删除</td></tr></thead><tbody>';
if (!$rows) {
    $out .= "<tr><td colspan='8'>对不起，无记录！</td></tr>";
}
foreach ($rows as $i => $row) {
    $id = (int) $row['ID'];
    $name = (string) $row['姓名'];
    $short = shorten($name, 12);
    $out .= "<tr data-id='" . $id . "'><td>" . ($offset + $i + 1) . '</td><td>' . h($row['登录账号']) . '</td>'
        . ($short === $name ? '<td>' : "<td title='" . h($name) . "'>") . h($short) . '</td>'
        . '<td>' . h($row['性别']) . '</td>'
        . ((int) $row['角色'] === PEER_ADMIN_ROLE ? "<td class='admin'>" : '<td>') . h($row['角色名称']) . '</td>'
        . '<td>' . h($row['注册时间']) . '</td>'
        . "<td><a href='?ac=modify&amp;id=" . $id . "'>修改</a></td>"
        . '<td>' . ($id === 1 ? '&nbsp;' : "<input name='delids' type='checkbox' value='" . $id . "'>") . '</td></tr>';
}
$link = static fn (int $to, string $text): string => "<a href='?page=" . $to . "'>" . $text . '</a>';
$out .= "</tbody><tfoot><tr><td colspan='8'>第" . $page . '页/共' . $pages . '页&nbsp;每页' . PAGE_SIZE . '条/共'
    . $total . '条&nbsp;'
    . ($page > 1 ? $link(1, '第一页') . '&nbsp;' . $link($page - 1, '上一页') : '第一页&nbsp;上一页') . '&nbsp;'
    . ($page < $pages ? $link($page + 1, '下一页') . '&nbsp;' . $link($pages, '最后页') : '下一页&nbsp;最后页')
    . '</td></tr></tfoot></table></main></div></body></html>';
// Without a length the built-in server ends the body by closing the
// connection, which clients cannot tell from a connection lost mid-answer.
header('Content-Length: ' . strlen($out));
echo $out;
