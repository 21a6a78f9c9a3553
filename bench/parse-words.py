import re
phrase = "the  quick brown   fox jumps over the lazy dog and  the cat "
text = phrase * (10000000 // len(phrase))
n = len(re.findall(r"[^ ]+", text))
print(len(text), n)
