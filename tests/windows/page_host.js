// A page host written in JScript for Wine's cscript: the page objects a
// classic page hands to the component (ScriptingContext, Request, Response,
// Server, Session, Application), built from a kvdn-page script, and a runner
// that creates kvdnAspDll.dbClass, binds it with OnStartPage, runs the
// script's steps by name and prints one JSON document like kvdn-page's.
//
// The converter (kvdn_page_to_js.py) appends `runScript(SCRIPT, SITE_ROOT)`
// with the script as an ASCII-only literal. Output is ASCII-only too (every
// other character as \uXXXX), so the console code page cannot change it.
//
// Request collections behave like the real ones the component expects: an
// item by key through the default member, Count and Key(i) from 1; keys match
// without regard to case, several values of a key come joined by ", ".

var kE_UNEXPECTED = -2147418113;

// ---- text ------------------------------------------------------------------

function utf8Decode(bytes) {
  var out = "", i = 0;
  while (i < bytes.length) {
    var b = bytes[i], cp = -1, n = 0;
    if (b < 0x80) { cp = b; n = 0; }
    else if ((b & 0xE0) == 0xC0) { cp = b & 0x1F; n = 1; }
    else if ((b & 0xF0) == 0xE0) { cp = b & 0x0F; n = 2; }
    else if ((b & 0xF8) == 0xF0) { cp = b & 0x07; n = 3; }
    else { out += "\uFFFD"; i++; continue; }
    var ok = true;
    for (var k = 1; k <= n; k++) {
      if (i + k >= bytes.length || (bytes[i + k] & 0xC0) != 0x80) { ok = false; break; }
      cp = cp * 64 + (bytes[i + k] & 0x3F);
    }
    if (!ok) { out += "\uFFFD"; i++; continue; }
    i += n + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += String.fromCharCode(0xD800 + (cp >> 10), 0xDC00 + (cp & 0x3FF));
    } else {
      out += String.fromCharCode(cp);
    }
  }
  return out;
}

function hexValue(c) {
  var i = "0123456789abcdef".indexOf(c.toLowerCase());
  return i;
}

// %XX as bytes (UTF-8), "+" as a blank; a "%" without two hex digits stays.
function percentDecode(text) {
  var bytes = [], out = "";
  function flush() { if (bytes.length) { out += utf8Decode(bytes); bytes = []; } }
  for (var i = 0; i < text.length; i++) {
    var c = text.charAt(i);
    if (c == "%" && i + 2 < text.length) {
      var hi = hexValue(text.charAt(i + 1)), lo = hexValue(text.charAt(i + 2));
      if (hi >= 0 && lo >= 0) { bytes.push(hi * 16 + lo); i += 2; continue; }
    }
    flush();
    out += (c == "+") ? " " : c;
  }
  flush();
  return out;
}

function jsonString(s) {
  var out = "\"";
  for (var i = 0; i < s.length; i++) {
    var c = s.charCodeAt(i);
    if (c == 34) out += "\\\"";
    else if (c == 92) out += "\\\\";
    else if (c >= 32 && c < 127) out += s.charAt(i);
    else { var h = c.toString(16); out += "\\u" + "0000".substr(h.length) + h; }
  }
  return out + "\"";
}

function pad(n, w) { var s = "" + n; while (s.length < w) s = "0" + s; return s; }

function valueJson(v) {
  var t = typeof v;
  if (t == "undefined") return "{\"empty\":true}";
  if (v === null) return "null";
  if (t == "boolean") return v ? "true" : "false";
  if (t == "number") return isFinite(v) ? String(v) : "null";
  if (t == "string") return jsonString(v);
  if (t == "date") {
    var d = new Date(v);
    return "{\"date\":\"" + pad(d.getFullYear(), 4) + "-" + pad(d.getMonth() + 1, 2) + "-" + pad(d.getDate(), 2) +
        " " + pad(d.getHours(), 2) + ":" + pad(d.getMinutes(), 2) + ":" + pad(d.getSeconds(), 2) + "\"}";
  }
  return "{\"object\":true}";
}

// A script value ({"empty":true}, {"date":...}) as the page passes it.
function scriptValue(v) {
  if (v !== null && typeof v == "object") {
    if (v.empty) return undefined;
    if (v.date) {
      var m = /^(\d+)-(\d+)-(\d+)(?: (\d+):(\d+):(\d+))?$/.exec(v.date);
      return new Date(+m[1], +m[2] - 1, +m[3], +(m[4] || 0), +(m[5] || 0), +(m[6] || 0)).getVarDate();
    }
  }
  return v;
}

// ---- page objects ------------------------------------------------------------

function Collection(raw) {
  var keys = [], values = [];
  function find(key) {
    var k = String(key).toLowerCase();
    for (var i = 0; i < keys.length; i++) if (keys[i].toLowerCase() == k) return i;
    return -1;
  }
  this.add = function (key, value) {
    var i = find(key);
    if (i < 0) { keys.push(key); values.push([value]); } else values[i].push(value);
  };
  if (raw) {
    var pairs = raw.split("&");
    for (var p = 0; p < pairs.length; p++) {
      if (pairs[p] == "") continue;
      var eq = pairs[p].indexOf("=");
      var key = eq < 0 ? pairs[p] : pairs[p].substr(0, eq);
      var value = eq < 0 ? "" : pairs[p].substr(eq + 1);
      this.add(percentDecode(key), percentDecode(value));
    }
  }
  this.Item = function (key) { var i = find(key); return i < 0 ? "" : values[i].join(", "); };
  this.Count = keys.length;
  this.Key = function (i) { return keys[i - 1]; };
  this.refresh = function () { this.Count = keys.length; };
}

function makeRequest(req) {
  var vars = new Collection("");
  var defaults = [["URL", req.url || "/default.asp"], ["SCRIPT_NAME", req.url || "/default.asp"],
                  ["PATH_INFO", req.url || "/default.asp"], ["QUERY_STRING", req.query || ""],
                  ["REQUEST_METHOD", req.form ? "POST" : "GET"], ["HTTP_HOST", "localhost"],
                  ["SERVER_NAME", "localhost"], ["REMOTE_ADDR", "127.0.0.1"]];
  var all = {};
  for (var i = 0; i < defaults.length; i++) all[defaults[i][0]] = defaults[i][1];
  if (req.server) for (var n in req.server) all[n.toUpperCase()] = req.server[n];
  for (var n2 in all) vars.add(n2, all[n2]);
  vars.refresh();
  var query = new Collection(req.query || ""), form = new Collection(req.form || "");
  // The default member of each collection is what the component calls with a
  // key; cscript's JScript exposes a function property as a method, so each
  // collection is a function object with Count and Key.
  function wrap(c) {
    var f = function (key) { return c.Item(key); };
    f.Count = c.Count;
    f.Key = c.Key;
    f.Item = c.Item;
    return f;
  }
  return { QueryString: wrap(query), Form: wrap(form), ServerVariables: wrap(vars) };
}

function makeResponse() {
  var r = { text: "", ended: false };
  r.Write = function (s) { if (!r.ended) r.text += String(s); };
  r.End = function () { r.ended = true; };
  return r;
}

// Server.MapPath as the in-memory host maps it; the site root is a Windows
// path. Server.CreateObject hands out the DLL's own classes.
function makeServer(siteRoot, url) {
  var classes = { "adodb.connection": "kvdnAspDll.Connection", "adodb.recordset": "kvdnAspDll.Recordset",
                  "scripting.filesystemobject": "kvdnAspDll.FileSystemObject",
                  "adox.catalog": "kvdnAspDll.Catalog", "jro.jetengine": "kvdnAspDll.JetEngine",
                  "kvdnaspdll.dbclass": "kvdnAspDll.dbClass", "kvdnaspdll.md5class": "kvdnAspDll.md5Class" };
  // A page may stand in for the machine's own classes (machineClasses,
  // ProgID -> ProgID), e.g. Wine's own ADODB.Connection.
  if (typeof machineClasses != "undefined") for (var k in machineClasses) classes[k] = machineClasses[k];
  var s = {};
  s.MapPath = function (path) {
    var p = String(path).replace(/\\/g, "/"), base = "";
    if (p == "" || p.charAt(0) != "/") {
      var u = url.replace(/\\/g, "/"), slash = u.lastIndexOf("/");
      base = slash < 0 ? "" : u.substr(0, slash);
    }
    var segs = (base + "/" + p).split("/"), parts = [];
    for (var i = 0; i < segs.length; i++) {
      if (segs[i] == "..") {
        if (!parts.length) throw new Error(0x800A0005 | 0, "The path '" + path + "' leaves the site root");
        parts.pop();
      } else if (segs[i] != "" && segs[i] != ".") parts.push(segs[i]);
    }
    return siteRoot + (parts.length ? "\\" + parts.join("\\") : "");
  };
  s.CreateObject = function (progId) {
    var name = classes[String(progId).toLowerCase()];
    if (!name) throw new Error(-2147221005, "Invalid class string");
    return new ActiveXObject(name);
  };
  return s;
}

function makeSession() {
  var values = {};
  var f = function (key) { return values[String(key).toLowerCase()]; };
  f.Abandon = function () { values = {}; };
  return f;
}

// ---- runner ------------------------------------------------------------------

function errorJson(e) {
  var n = e.number | 0;
  if ((n & 0xFFFF0000) == (0x800A0000 | 0)) n = n & 0xFFFF;
  return "{\"number\":" + n + ",\"description\":" + jsonString(String(e.description)) + "}";
}

function runStep(db, step, context) {
  var out = "{", args = [];
  if (step.args) for (var i = 0; i < step.args.length; i++) args.push(scriptValue(step.args[i]));
  try {
    var v;
    if ("set" in step) {
      var value = scriptValue(step.value);
      db[step.set] = value;
    } else if ("get" in step) {
      v = db[step.get];
    } else if ("exec" in step) {
      db.conn.Execute(step.exec);
    } else if ("open" in step) {
      var conn = context.Server.CreateObject("ADODB.Connection");
      conn.Open(step.open);
      db.conn = conn;
    } else {
      var m = step.call;
      switch (args.length) {
        case 0: v = db[m](); break;
        case 1: v = db[m](args[0]); break;
        case 2: v = db[m](args[0], args[1]); break;
        case 3: v = db[m](args[0], args[1], args[2]); break;
        case 4: v = db[m](args[0], args[1], args[2], args[3]); break;
        case 8: v = db[m](args[0], args[1], args[2], args[3], args[4], args[5], args[6], args[7]); break;
        default: throw new Error(0x800A01C2 | 0, "Wrong number of arguments or invalid property assignment");
      }
    }
    out += "\"value\":" + valueJson(v);
  } catch (e) {
    out += "\"error\":" + errorJson(e);
  }
  if ("call" in step) {
    var a = [];
    for (var j = 0; j < args.length; j++) a.push(valueJson(args[j]));
    out += ",\"args\":[" + a.join(",") + "]";
  }
  return out + "}";
}

function runScript(script, siteRoot) {
  var pages = [];
  for (var p = 0; p < script.pages.length; p++) {
    var page = script.pages[p], req = page.request || {};
    var response = makeResponse();
    var context = { Request: makeRequest(req), Response: response, Server: makeServer(siteRoot, req.url || "/default.asp"),
                    Session: makeSession(), Application: {} };
    var results = [], head = "";
    var db = null;
    try {
      db = context.Server.CreateObject("kvdnAspDll.dbClass");
      db.OnStartPage(context);
    } catch (e) {
      head = "\"error\":" + errorJson(e) + ",";
      db = null;
    }
    if (db) {
      var steps = page.calls || [];
      for (var s = 0; s < steps.length; s++) {
        if (response.ended) break;
        results.push(runStep(db, steps[s], context));
      }
      try { db.OnEndPage(); } catch (e2) { }
    }
    db = null;
    CollectGarbage();
    pages.push("{" + head + "\"results\":[" + results.join(",") + "],\"response\":" + jsonString(response.text) +
               ",\"ended\":" + (response.ended ? "true" : "false") + "}");
  }
  WScript.Echo("{\"pages\":[" + pages.join(",") + "]}");
}
