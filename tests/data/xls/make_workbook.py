#!/usr/bin/python3
"""Writes a legacy .xls workbook (BIFF8) for the tests and benchmarks.

usage: make_workbook.py LAYOUT.json OUT.xls

LAYOUT: {"sheets": [{"name": "用户", "rows": [["登录账号", "密码"], ["zhang", 1], [null, "x"]]}]}
A cell is a string, a number, true/false, null (no cell written),
{"date": "yyyy-mm-dd"} or {"datetime": "yyyy-mm-dd hh:mm:ss"}.
"""
import datetime
import json
import sys

import xlwt


def main():
    layout_path, out_path = sys.argv[1], sys.argv[2]
    with open(layout_path, encoding="utf-8") as f:
        layout = json.load(f)
    book = xlwt.Workbook(encoding="utf-8")
    date_style = xlwt.easyxf(num_format_str="YYYY-MM-DD")
    datetime_style = xlwt.easyxf(num_format_str="YYYY-MM-DD HH:MM:SS")
    for sheet_layout in layout["sheets"]:
        sheet = book.add_sheet(sheet_layout["name"])
        for r, row in enumerate(sheet_layout["rows"]):
            for c, value in enumerate(row):
                if value is None:
                    continue
                if isinstance(value, dict) and "date" in value:
                    sheet.write(r, c, datetime.datetime.strptime(value["date"], "%Y-%m-%d"), date_style)
                elif isinstance(value, dict) and "datetime" in value:
                    when = datetime.datetime.strptime(value["datetime"], "%Y-%m-%d %H:%M:%S")
                    sheet.write(r, c, when, datetime_style)
                else:
                    sheet.write(r, c, value)
    book.save(out_path)


if __name__ == "__main__":
    main()
