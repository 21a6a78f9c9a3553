local b = {}
for i = 1, 1000000 do b[#b + 1] = "item" .. i end
local parts = {}
for _, x in ipairs(b) do parts[#parts + 1] = x end
local s = table.concat(parts)
print(#b, #s)
