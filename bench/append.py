b = []
for i in range(1000000):
    b.append("ab")
s = []
for i in range(1000000):
    s.append("ab")
s = "".join(s)
print(len(b), len(s))
