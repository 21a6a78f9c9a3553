b = []
for i in range(1, 1000001):
    b.append("item" + str(i))
parts = []
for x in b:
    parts.append(x)
s = "".join(parts)
print(len(b), len(s))
