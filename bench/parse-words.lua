local phrase = "the  quick brown   fox jumps over the lazy dog and  the cat "
local text = string.rep(phrase, 10000000 // #phrase)
local n = 0
for _ in text:gmatch("[^ ]+") do n = n + 1 end
print(#text, n)
