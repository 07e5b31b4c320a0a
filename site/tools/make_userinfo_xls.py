#!/usr/bin/python3
"""Writes the sample spreadsheet of user accounts that the maintenance page
imports (database/userinfo.xls): worksheet 用户, headings in the first row.

The password column holds what the site stores: md5(md5(password)) in lower-
case hex. The import copies cells as they are (no digest), so the sheet must
carry the digest already; for ASCII passwords the site's digest is the
standard MD5. One row has no login account: the import skips it.

Usage: make_userinfo_xls.py OUTPUT.xls [ROWS.json]

With ROWS.json (a list of [登录账号, 密码, 姓名, 性别, 角色] rows) the sheet
holds those rows exactly as given instead: passwords as written (plain or
digested), roles as numbers or names, empty strings as blank cells. The
tests write the sheets they import this way.
"""
import json
import hashlib
import sys

import xlwt


def double_md5(password: str) -> str:
    once = hashlib.md5(password.encode("ascii")).hexdigest()
    return hashlib.md5(once.encode("ascii")).hexdigest()


ROWS = [
    # 登录账号, 密码 (plain, digested below), 姓名, 性别, 角色
    ("import01", "123456", "导入用户甲", "男", 2),
    ("import02", "123456", "导入用户乙", "女", 2),
    ("import03", "123456", "导入用户丙", "男", 2),
    ("", "123456", "没有账号的行", "女", 2),
    ("import04", "123456", "导入用户丁", "女", 2),
]


def main() -> int:
    if len(sys.argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("用户")
    for col, heading in enumerate(("登录账号", "密码", "姓名", "性别", "角色")):
        sheet.write(0, col, heading)
    if len(sys.argv) == 3:
        with open(sys.argv[2], encoding="utf-8") as f:
            rows = json.load(f)
        for r, row in enumerate(rows, start=1):
            for col, value in enumerate(row):
                if value != "":
                    sheet.write(r, col, value)
        book.save(sys.argv[1])
        return 0
    for r, (account, password, name, sex, role) in enumerate(ROWS, start=1):
        if account:
            sheet.write(r, 0, account)
        sheet.write(r, 1, double_md5(password))
        sheet.write(r, 2, name)
        sheet.write(r, 3, sex)
        sheet.write(r, 4, role)
    book.save(sys.argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
