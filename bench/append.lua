local b = {}
for i = 1, 1000000 do b[#b + 1] = "ab" end
local parts = {}
for i = 1, 1000000 do parts[#parts + 1] = "ab" end
local s = table.concat(parts)
print(#b, #s)
