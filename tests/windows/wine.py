"""Wine for the Windows tests: a private prefix, the DLL registered in it,
scripts run under cscript. Every call has a time limit."""
import os
import shutil
import subprocess


def environment(prefix, arch="win64"):
    """`arch` win32 makes (or expects) a 32-bit prefix: its cscript and
    regsvr32 are 32-bit programs, which load only the 32-bit DLL."""
    env = dict(os.environ)
    env["WINEARCH"] = arch
    env.update({"WINEPREFIX": os.path.abspath(prefix), "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml=",
                "LANG": "zh_CN.UTF-8", "LC_ALL": "zh_CN.UTF-8", "DISPLAY": ""})
    return env


def run(env, args, timeout=300):
    return subprocess.run(["wine"] + args, env=env, capture_output=True, timeout=timeout)


def ensure_prefix(env):
    """The first run initialises the prefix (about a minute)."""
    if not os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg")):
        os.makedirs(env["WINEPREFIX"], exist_ok=True)
        subprocess.run(["wineboot", "-i"], env=env, capture_output=True, timeout=600)
    if not os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg")):
        raise RuntimeError("could not initialise the Wine prefix " + env["WINEPREFIX"])


def windows_path(env, path):
    """Z: is the Unix root in every prefix."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def install_dll(env, dll, work):
    """A copy of the DLL in a folder with a Chinese name: its own path must survive UTF-16."""
    folder = os.path.join(work, "组件")
    os.makedirs(folder, exist_ok=True)
    dest = os.path.join(folder, "kvdnAspDll.dll")
    shutil.copyfile(dll, dest)
    # The workbook reader's helper program goes beside the DLL, where the
    # DLL looks for it.
    helper = os.path.join(os.path.dirname(os.path.abspath(dll)), "kvdn-xls-reader.exe")
    if os.path.exists(helper):
        shutil.copyfile(helper, os.path.join(folder, "kvdn-xls-reader.exe"))
    return dest


def register(env, dll, unregister=False):
    args = ["regsvr32", "/s"] + (["/u"] if unregister else []) + [windows_path(env, dll)]
    r = run(env, args)
    if r.returncode != 0:
        raise RuntimeError("regsvr32 %s failed (%d): %s" % (" ".join(args[1:]), r.returncode,
                                                            r.stderr.decode("utf-8", "replace")))


def cscript(env, script, timeout=300, encoding="utf-8"):
    """What the script printed; a console of code page 936 prints GBK."""
    r = run(env, ["cscript", "//nologo", windows_path(env, script)], timeout=timeout)
    return r.stdout.decode(encoding, "replace") + r.stderr.decode(encoding, "replace")


def reg_query(env, key):
    """`reg query KEY /s` output, "" when the key does not exist."""
    r = run(env, ["reg", "query", key, "/s"])
    return r.stdout.decode("gbk", "replace") if r.returncode == 0 else ""
