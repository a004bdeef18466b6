-- wrk script: SRU searchRetrieve of one title word per request, the word drawn from WORDS
-- (comma-separated, most frequent first) by a Zipf distribution (weight 1/rank); MAX records of
-- SCHEMA (recordPacking xml) from DB. Prints one line: rps, latency p50/p99 (ms), errors.
local words, cumulative = {}, {}
local path = "/" .. (os.getenv("DB") or "books") .. "?version=1.2&operation=searchRetrieve&recordPacking=xml" ..
             "&recordSchema=" .. (os.getenv("SCHEMA") or "marcxml") .. "&maximumRecords=" .. (os.getenv("MAX") or "10") ..
             "&query=title%3D"

function init(args)
  local total = 0
  for w in string.gmatch(os.getenv("WORDS") or "history", "[^,]+") do
    words[#words + 1] = w
    total = total + 1 / #words
    cumulative[#words] = total
  end
  for i = 1, #cumulative do cumulative[i] = cumulative[i] / total end
  math.randomseed(os.time() + math.floor(os.clock() * 1e6))
end

function request()
  local r, lo, hi = math.random(), 1, #cumulative
  while lo < hi do
    local mid = math.floor((lo + hi) / 2)
    if cumulative[mid] < r then lo = mid + 1 else hi = mid end
  end
  return wrk.format("GET", path .. words[lo])
end

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("rps=%.1f p50=%.2f p99=%.2f errors=%d requests=%d\n",
    summary.requests / (summary.duration / 1e6), latency:percentile(50) / 1000, latency:percentile(99) / 1000,
    e.connect + e.read + e.write + e.status + e.timeout, summary.requests))
end
