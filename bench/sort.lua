local b = {}
local x = 1
for i = 1, 1000000 do x = (x * 1103 + 12345) % 1000003 b[i] = x end
table.sort(b)
print(b[1], b[#b])
