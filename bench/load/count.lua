-- wrk script: counts answers whose status is not 200 (redirects to the login
-- page included, which wrk itself would count as success) and prints one
-- line that run.sh reads:
--   kvdn-load requests=N seconds=S rps=R non200=K socket_errors=E
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  non200 = 0
end

function response(status, headers, body)
  if status ~= 200 then
    non200 = non200 + 1
  end
end

function done(summary, latency, requests)
  local bad = 0
  for _, thread in ipairs(threads) do
    bad = bad + thread:get("non200")
  end
  local e = summary.errors
  local seconds = summary.duration / 1e6
  io.write(string.format("kvdn-load requests=%d seconds=%.2f rps=%.1f non200=%d socket_errors=%d p50_ms=%.2f p99_ms=%.2f\n",
    summary.requests, seconds, summary.requests / seconds, bad,
    e.connect + e.read + e.write + e.timeout,
    latency:percentile(50) / 1000, latency:percentile(99) / 1000))
end
