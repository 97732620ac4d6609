-- wrk script: every request goes to the URL given after "--" (an absolute URI when wrk's own
-- URL names a proxy), and the run ends with one JSON line of figures for bench.py.
local request_text

init = function(args)
  local url = args[1]
  local host, path = url:match("^http://([^/]+)(/.*)$")
  if host == nil then
    host, path = wrk.host .. ":" .. wrk.port, url
  end
  if args[2] == "proxy" then
    path = url
  end
  wrk.headers["Host"] = host
  request_text = wrk.format("GET", path)
end

request = function()
  return request_text
end

done = function(summary, latency, requests)
  io.write(string.format(
    '{"requests":%d,"duration_us":%d,"bytes":%d,"connect":%d,"read":%d,"write":%d,"status":%d,' ..
    '"timeout":%d,"mean_us":%.1f,"p50_us":%d,"p99_us":%d,"max_us":%d}\n',
    summary.requests, summary.duration, summary.bytes, summary.errors.connect, summary.errors.read,
    summary.errors.write, summary.errors.status, summary.errors.timeout, latency.mean,
    latency:percentile(50), latency:percentile(99), latency.max))
end
