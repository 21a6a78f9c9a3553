local m, n = {}, 0
for i = 1, 200000 do
  local k = "key" .. i
  if m[k] == nil then n = n + 1 end
  m[k] = i % 100
end
local s = 0
for _ = 1, 2 do
  for i = 1, 200000 do s = s + m["key" .. i] end
end
print(n, s)
