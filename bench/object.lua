local Accumulator = {}
Accumulator.__index = Accumulator
function Accumulator.new() return setmetatable({count = 0, total = 0}, Accumulator) end
function Accumulator:add(x)
  self.count = self.count + 1
  self.total = self.total + x
end
local acc = Accumulator.new()
for i = 1, 1000000 do acc:add(i % 7) end
print(acc.count, acc.total)
