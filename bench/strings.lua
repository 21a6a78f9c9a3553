local b, n = {}, 0
for i = 1, 1000000 do
  local s = "item" .. i
  b[#b + 1] = s
  n = n + #s
end
print(#b, n)
