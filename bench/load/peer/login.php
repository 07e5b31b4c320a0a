<?php
// Login to the peer pages: the site's accounts and stored passwords
// (md5(md5(password)), 32 hex digits), a PHP file session holding the user ID.
declare(strict_types=1);
require __DIR__ . '/lib.php';

function login_form(string $message, string $account): string
{
    return page_head('登录') . "<body class='loginBody'><form class='loginBox' method='post' action='login.php'>"
        . '<h1>后台管理系统</h1>'
        . ($message === '' ? '' : "<p class='error' id='loginError'>" . h($message) . '</p>')
        . "<label>登录账号<input name='登录账号' autocomplete='username' required value='" . h($account) . "'></label>"
        . "<label>密码<input type='password' name='密码' autocomplete='current-password' required></label>"
        . "<button type='submit'>登录</button></form></body></html>";
}

if ($_SERVER['REQUEST_METHOD'] !== 'POST') {
    echo login_form('', '');
    exit;
}

$account = is_string($_POST['登录账号'] ?? null) ? trim($_POST['登录账号']) : '';
$password = is_string($_POST['密码'] ?? null) ? $_POST['密码'] : '';
if ($account === '' || $password === '') {
    echo login_form('请输入登录账号和密码！', $account);
    exit;
}

$st = db()->prepare('select ID, 密码 from 用户 where 登录账号 = ?');
$st->execute([$account]);
$row = $st->fetch();
$st->closeCursor();
$typed = md5(md5($password));
if ($row === false || !hash_equals(strtolower((string) $row['密码']), $typed)) {
    echo login_form('登录账号或密码错误！', $account);
    exit;
}

session_start(session_options());
// A new id: one planted before the login never becomes logged in.
session_regenerate_id(true);
$_SESSION['uid'] = (int) $row['ID'];
session_write_close();
redirect('user.php');
