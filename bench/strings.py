b = []
n = 0
for i in range(1, 1000001):
    s = "item" + str(i)
    b.append(s)
    n = n + len(s)
print(len(b), n)
