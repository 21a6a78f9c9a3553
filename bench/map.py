m = {}
for i in range(1, 200001):
    m["key" + str(i)] = i % 100
s = 0
for _ in range(2):
    for i in range(1, 200001):
        s += m["key" + str(i)]
print(len(m), s)
