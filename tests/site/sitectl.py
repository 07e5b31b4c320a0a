"""Starting the sample site as its own process and talking to it over
loopback, for the crash test and the security suite (standard library only,
so that any python3 runs them).

Site(binary, root) starts `kvdn-site --root ROOT --port 0` and reads the
port from what it prints; Client keeps one session cookie, logs in the way a
browser does (the login posted from the site's own origin) and knows the
session's form token."""
import base64
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse

ADMIN = ("admin", "admin123")
OPERATOR = ("caozuo", "caozuo123")


def make_root():
    """A fresh site root (static/ is all the program asks for)."""
    root = tempfile.mkdtemp(prefix="kvdn-site-")
    os.makedirs(os.path.join(root, "static"))
    return root


def database_file(root):
    return os.path.join(root, "admin", "database", "app.mdb")


class Site:
    def __init__(self, binary, root, port=0, extra=(), read_stderr=True):
        self.root = root
        self.proc = subprocess.Popen([binary, "--root", root, "--port", str(port), *extra],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.port = None
        deadline = time.time() + 15
        while time.time() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                break
            m = re.search(r"open http://[^:]+:(\d+)/", line)
            if m:
                self.port = int(m.group(1))
                break
        if self.port is None:
            self.proc.kill()
            raise RuntimeError("kvdn-site did not start: " + self.proc.stderr.read())
        # The rest of its output is not read; keep the pipe from filling
        # (unless the test wants it full).
        self.stderr_lines = []
        if read_stderr:
            self._drain = __import__("threading").Thread(target=self._read_rest, daemon=True)
            self._drain.start()

    def _read_rest(self):
        for line in self.proc.stderr:
            self.stderr_lines.append(line)

    def origin(self):
        return "http://127.0.0.1:%d" % self.port

    def kill(self):
        """SIGKILL: no handler runs, nothing is flushed by the program."""
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.kill()


class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body

    def header(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None

    def headers_named(self, name):
        return [v for k, v in self.headers if k.lower() == name.lower()]


class Client:
    def __init__(self, site, timeout=10):
        self.site = site
        self.cookie = None
        self.token = None
        self.timeout = timeout

    def request(self, method, path, form=None, headers=None, body=None, referer=True):
        h = {}
        if self.cookie:
            h["Cookie"] = self.cookie
        if referer:
            h["Referer"] = self.site.origin() + "/admin/user.asp"
        if form is not None:
            body = urllib.parse.urlencode(form).encode()
            h["Content-Type"] = "application/x-www-form-urlencoded"
        if headers:
            h.update(headers)
        conn = http.client.HTTPConnection("127.0.0.1", self.site.port, timeout=self.timeout)
        try:
            conn.request(method, path, body=body, headers=h)
            r = conn.getresponse()
            return Response(r.status, r.getheaders(), r.read().decode("utf-8", "replace"))
        finally:
            conn.close()

    def prepare(self, path, form):
        """A POST of `form` to `path` sent whole but for its last byte, on a
        socket of its own: send that byte (socket.sendall(last)) to make
        requests arrive at the same instant. Returns (socket, last)."""
        body = urllib.parse.urlencode(form).encode()
        head = ("POST %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nCookie: %s\r\nReferer: %s/admin/user.asp\r\n"
                "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n"
                % (path, self.site.port, self.cookie or "", self.site.origin(), len(body))).encode()
        s = socket.create_connection(("127.0.0.1", self.site.port), timeout=self.timeout)
        s.sendall(head + body[:-1])
        return s, body[-1:]

    def get(self, path, **kw):
        return self.request("GET", path, **kw)

    def post(self, path, form=None, **kw):
        return self.request("POST", path, form=form if form is not None else {}, **kw)

    def login(self, account, password, origin=None):
        """True when the site took the login; the cookie and token are kept."""
        r = self.request("POST", "/admin/login.asp", form={"登录账号": account, "密码": password},
                         headers={"Origin": origin or self.site.origin()}, referer=False)
        if r.status != 302:
            return False
        set_cookie = r.header("Set-Cookie") or ""
        self.cookie = set_cookie.split(";")[0]
        home = self.get("/admin/index.asp")
        m = re.search(r"data-token='([0-9a-f]{32})'", home.body)
        self.token = m.group(1) if m else None
        return self.token is not None

    def add_user(self, account, name="新用户", role="2"):
        """Adds an account through the user dialog; True when the page
        answered that it was stored."""
        r = self.post("/admin/user.asp?ac=add&_token=" + self.token,
                      {"登录账号": account, "密码": "secret1", "姓名": name, "性别": "男", "角色": role})
        return "添加成功！" in r.body

    def maintain(self, op, **fields):
        return self.post("/admin/maintain.asp", {"op": op, "_token": self.token, **fields})

    def upload(self, workbook):
        """Uploads a workbook for the import preview, as the page's script
        does (the file base64 in the field "data"). The site answers 302 to
        the preview when it could read the sheet, else 302 to the maintenance
        page, which shows the failure."""
        return self.maintain("upload", data=base64.b64encode(workbook).decode("ascii"))

    def profile(self, name, sex="男", headers=None):
        """Saves the logged-in user's own name and sex the way the profile
        form does: key and token in the address, the values posted."""
        m = re.search(r"profile\.asp\?ac=modify&amp;id=(\d+)&amp;_token=([0-9a-f]{32})",
                      self.get("/admin/profile.asp").body)
        if not m:
            raise RuntimeError("the profile page has no form to save")
        return self.post("/admin/profile.asp?ac=modify&id=%s&_token=%s" % m.groups(),
                         {"姓名": name, "性别": sex, "submit": "保存"}, headers=headers)


def remove_root(root):
    shutil.rmtree(root, ignore_errors=True)
