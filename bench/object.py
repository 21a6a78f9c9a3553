class Accumulator:
    def __init__(self):
        self.count = 0
        self.total = 0

    def add(self, x):
        self.count = self.count + 1
        self.total = self.total + x

acc = Accumulator()
for i in range(1, 1000001):
    acc.add(i % 7)
print(acc.count, acc.total)
