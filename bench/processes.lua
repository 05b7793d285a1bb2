-- The request mix of bench/processes.py for wrk: 70% lookups of a
-- customer's orders, 15% one-sided ranges of totals, 10% inserts, 5%
-- updates of an order's total by its id. The orders in place have the ids
-- "%032x" of 0 .. ORDERS-1 and the customers "c%05d" of 0 .. CUSTOMERS-1;
-- inserted orders have customers of their own, "n<RUN>.<thread>-<seq>". The
-- customers of the inserts answered 201 are written to ACKS, one a line.

local orders = tonumber(os.getenv("ORDERS") or "100000")
local customers = tonumber(os.getenv("CUSTOMERS") or "10000")
local acks_path = os.getenv("ACKS")
local run = os.getenv("RUN") or "0"
local json = {["Content-Type"] = "application/json"}
local threads = {}

function setup(thread)
  table.insert(threads, thread)
  thread:set("number", #threads)
end

function init(args)
  math.randomseed(number * 7919 + os.time())
  seq = 0
  acked = {}
  failed = 0
end

function request()
  local r = math.random()
  if r < 0.70 then
    return wrk.format("GET", string.format("/orders?customer=c%05d", math.random(0, customers - 1)))
  elseif r < 0.85 then
    -- totals are uniform below 1000: 0.05% to 0.5% of the orders
    local low = 999.5 + math.random() * 0.45
    return wrk.format("GET", string.format("/orders?min_total=%.3f", low))
  elseif r < 0.95 then
    seq = seq + 1
    return wrk.format("POST", "/orders", json,
                      string.format('{"customer":"n%s.%d-%d","total":%.2f}', run, number, seq,
                                    math.random() * 1000))
  else
    return wrk.format("POST", string.format("/orders/%032x/add", math.random(0, orders - 1)),
                      json, '{"amount":1}')
  end
end

function response(status, headers, body)
  if status == 201 then
    local customer = string.match(body, '"customer":%s*"(n[%w%.%-]+)"')
    if customer then
      table.insert(acked, customer)
    end
  elseif status >= 400 then
    failed = failed + 1
  end
end

function done(summary, latency, requests)
  local count, bad = 0, 0
  local out = acks_path and io.open(acks_path, "w")
  for _, thread in ipairs(threads) do
    local list = thread:get("acked")
    count = count + #list
    bad = bad + thread:get("failed")
    if out then
      out:write(table.concat(list, "\n"), "\n")
    end
  end
  if out then
    out:close()
  end
  io.write(string.format("inserts answered: %d\nfailed responses: %d\n", count, bad))
end
