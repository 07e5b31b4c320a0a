-- wrk script for the mixed load: the user list, with one request in ten an
-- add of a new user through the form writer (a POST with the session's
-- token and a same-site referrer). Counts answers that are not 200, answers
-- that mention a locked database, and adds answered as stored; prints one
-- line that run.sh reads:
--   kvdn-mixed requests=N seconds=S rps=R non200=K locked=L stored=W p50_ms=A p99_ms=B
-- Arguments (after --): cookie, token, base address.
local threads = {}
local counter = 0

function setup(thread)
  counter = counter + 1
  thread:set("tid", counter)
  table.insert(threads, thread)
end

local function urlencode(s)
  return (s:gsub("[^%w%-%._~]", function(c) return string.format("%%%02X", string.byte(c)) end))
end

function init(args)
  cookie, token, base = args[1], args[2], args[3]
  non200, locked, stored, n = 0, 0, 0, 0
  host = base:gsub("^https?://", "")
end

function request()
  n = n + 1
  local headers = { ["Host"] = host, ["Cookie"] = cookie }
  if n % 10 == 0 then
    headers["Content-Type"] = "application/x-www-form-urlencoded"
    headers["Referer"] = base .. "/admin/user.asp"
    headers["Origin"] = base
    local account = string.format("load%d_%d", tid, n)
    local body = urlencode("登录账号") .. "=" .. account .. "&" .. urlencode("密码") .. "=pw12345&" ..
      urlencode("姓名") .. "=" .. urlencode("负载") .. "&" .. urlencode("性别") .. "=" .. urlencode("男") ..
      "&" .. urlencode("角色") .. "=2"
    return wrk.format("POST", "/admin/user.asp?ac=add&_token=" .. token, headers, body)
  end
  return wrk.format("GET", "/admin/user.asp", headers)
end

function response(status, headers, body)
  if status ~= 200 then non200 = non200 + 1 end
  if body:find("locked", 1, true) then locked = locked + 1 end
  if body:find("添加成功", 1, true) then stored = stored + 1 end
end

function done(summary, latency, requests)
  local bad, lock, ok = 0, 0, 0
  for _, thread in ipairs(threads) do
    bad = bad + thread:get("non200")
    lock = lock + thread:get("locked")
    ok = ok + thread:get("stored")
  end
  local seconds = summary.duration / 1e6
  io.write(string.format("kvdn-mixed requests=%d seconds=%.2f rps=%.1f non200=%d locked=%d stored=%d p50_ms=%.2f p99_ms=%.2f\n",
    summary.requests, seconds, summary.requests / seconds, bad, lock, ok,
    latency:percentile(50) / 1000, latency:percentile(99) / 1000))
end
