"""Turns a kvdn-page JSON script into the call that runs it in page_host.js:
`runScript(SCRIPT, SITE_ROOT);` with every non-ASCII character written as a
\\uXXXX escape, so that the page reads the same in any code page."""
import json


def convert(script, site_root_windows):
    literal = json.dumps(script, ensure_ascii=True)
    return "runScript(%s, %s);" % (literal, json.dumps(site_root_windows, ensure_ascii=True))
