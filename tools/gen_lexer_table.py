#!/usr/bin/env python3
"""Generates runtime/lexer_table.inc, the scanner's tables.

Usage:
    python3 tools/gen_lexer_table.py > runtime/lexer_table.inc

The transition rows below are the source of truth: one line per working
state, "| state | default | exceptions |", where the default is the target of
every class not listed and the exceptions read "class class ... to target;".
A target tN is terminal state 66 + N (token type N). Edit the rows, never the
generated file.

Output:
  lex_class[256]        class number (low byte) | flag bits, per input byte
  lex_next[65][40]      next state = lex_next[state][class]
  lex_skip[102]         1 for a state that counts as leading white space
  lex_state_type[102]   the datatype a state is scanning (0: none)
"""

import sys

ROWS = """
| 0 | 52 | ws lf ctl to 0; semi to 1; dquote to 2; pct to 6; slash to 13; hash to 16; nz zero to 23; dollar to 36; E hexup to 40; lt to 43; plus minus to 47; dot to 49; quote colon to 51; at to 57; eq to 58; end to t0; rbrc bslash cont badlead to t1; lbrk to t2; rbrk to t3; lpar to t4; rpar to t5; lbrc to t6; comma to t12 |
| 1 | 1 | badlead to t1; lf end to t11 |
| 2 | 2 | caret to 3; lf badlead end to t1; dquote to t13 |
| 3 | 2 | badlead end to t1 |
| 4 | 4 | caret to 5; badlead end to t1; lbrc to t6; rbrc to t7 |
| 5 | 4 | badlead end to t1 |
| 6 | 7 | dquote to 8; pct to 9; lbrc to 10; colon to 54; badlead to t1; ws lf lbrk rbrk lpar rpar rbrc semi at ctl end to t14 |
| 7 | 7 | dquote badlead to t1; ws lf lbrk rbrk lpar rpar lbrc rbrc colon semi at end to t19 |
| 8 | 8 | lf badlead end to t1; dquote to t19 |
| 9 | 7 | pct to 9; lbrc to 10; badlead to t1; ws lf lbrk rbrk lpar rpar rbrc dquote bslash semi ctl end to t14 |
| 10 | 10 | rbrc to 11; badlead end to t1 |
| 11 | 10 | rbrc to 11; pct to 12; badlead end to t1 |
| 12 | t1 | pct to 12; ws lf lbrk rbrk lpar rpar lbrc dquote lt semi ctl end to t34 |
| 13 | 14 | slash to 15; colon to 53; comma badlead to t1; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote hash semi at ctl end to t14 |
| 14 | 14 | colon comma badlead to t1; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote slash semi at ctl end to t17 |
| 15 | 52 | slash to 15; pct comma dollar badlead to t1; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote hash semi at ctl end to t14 |
| 16 | 22 | lbrc to 17; dquote to 19; lpar to 21; ws lf rbrk rpar rbrc colon lt gt comma badlead to t1; lbrk to t8; semi at ctl end to t15 |
| 17 | t1 | ws lf nz zero x T h e E hexlo hexup slash eq plus wchar to 17; semi to 18; rbrc to t20 |
| 18 | 18 | lf to 17; badlead end to t1 |
| 19 | 19 | caret to 20; badlead end to t1; dquote to t18 |
| 20 | 19 | badlead end to t1 |
| 21 | 21 | badlead end to t1; rpar to t10 |
| 22 | 22 | colon slash badlead to t1; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote semi at ctl end to t15 |
| 23 | t16 | hash to 16; nz zero quote to 23; dot to 24; e to 26; E to 27; T slash minus to 30; colon to 31; x to 33; hexup to 39; h to 42; at to 56; hexlo bslash gt eq dollar plus caret cont wchar badlead to t1; pct to t21 |
| 24 | t1 | nz zero quote to 25; e E to 26; hash to 28; x to 33; pct to t21; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote slash lt comma semi ctl end to t22 |
| 25 | t22 | nz zero quote to 25; e E to 26; dot to 29; x to 33; at to 56; hash T h hexlo hexup bslash gt eq dollar plus minus caret cont wchar badlead to t1; pct to t21 |
| 26 | t1 | nz zero plus minus to 26; at to 56; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote colon slash lt comma semi ctl end to t22 |
| 27 | t22 | plus minus to 26; nz zero to 27; dot to 29; E hexup to 40; h to 42; at to 56; hash quote x T e hexlo bslash gt eq semi dollar caret cont wchar badlead to t1; pct to t21 |
| 28 | t23 | x T h e E hexlo hexup gt eq dot plus minus cont wchar to 28; hash quote colon pct at dollar caret badlead to t1; nz to t22 |
| 29 | t1 | nz zero dot to 29; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote colon slash lt semi ctl end to t24 |
| 30 | 30 | pct comma at caret cont badlead to t1; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote lt semi dollar ctl end to t25 |
| 31 | t1 | nz zero to 32 |
| 32 | t1 | nz zero colon dot to 32; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote slash lt semi ctl end to t28 |
| 33 | t1 | nz zero plus minus to 34; at to 56 |
| 34 | t1 | nz zero e E dot to 34; at to 56; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote colon slash lt semi ctl end to t26 |
| 35 | t1 | ws nz zero rbrk hash e E hexlo hexup comma dot plus minus wchar to 35; rpar to t27 |
| 36 | t1 | nz zero to 37 |
| 37 | t1 | nz zero quote to 37; dot to 38; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote hash colon slash lt semi ctl end to t29 |
| 38 | t1 | nz zero quote to 38; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote hash colon slash lt semi ctl end to t29 |
| 39 | t1 | nz zero E hexup to 39; h to 41; at to 56 |
| 40 | t14 | dollar to 37; nz zero E hexup to 40; h to 41; quote x T e hexlo lt gt eq dot plus minus caret cont wchar to 52; colon to 53; at to 56; pct comma badlead to t1; slash to t9 |
| 41 | 52 | dollar to 37; colon to 53; at to 56; hash pct comma badlead to t1; slash to t9; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote bslash semi ctl end to t33 |
| 42 | t1 | dollar to 37; at to 56; slash to t9; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote bslash lt semi ctl end to t33 |
| 43 | 44 | lt to 43; quote to 46; gt eq minus to 52; colon to 53; badlead to t1; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote semi ctl end to t14 |
| 44 | 44 | dquote to 45; quote to 46; badlead end to t1; gt to t30 |
| 45 | 45 | dquote to 44; badlead end to t1 |
| 46 | 46 | quote to 44; badlead end to t1 |
| 47 | 52 | nz zero to 23; dollar to 37; dot to 49; quote pct caret badlead to t1; slash to t9; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote hash bslash semi ctl end to t14 |
| 48 | 52 | quote pct dollar caret badlead to t1; slash to t9; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote hash bslash semi ctl end to t14 |
| 49 | 52 | nz zero plus minus to 50; colon to 53; at to 56; pct comma dollar badlead to t1; slash to t9; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote hash bslash semi ctl end to t14 |
| 50 | t1 | x to 33; nz zero e E plus minus to 50; at to 56; pct to t21; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote colon slash lt ctl end to t22 |
| 51 | t1 | slash to 13; lt to 43; plus minus to 48; x T h e E hexlo hexup gt dot caret cont wchar to 52; pct to 54; eq to 58 |
| 52 | 52 | dollar to 36; colon to 53; at to 56; pct comma badlead to t1; slash to t9; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote hash bslash lt semi ctl end to t14 |
| 53 | 55 | lt badlead to t1; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote bslash semi ctl end to t14 |
| 54 | t1 | pct to 54; ws lf lbrk rbrk lpar rpar lbrc rbrc bslash semi ctl end to t14 |
| 55 | 55 | gt caret badlead to t1; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote bslash lt semi ctl end to t31 |
| 56 | t32 | nz zero x T h e E hexlo hexup pct dot plus minus cont wchar to 56; hash quote colon gt eq comma at dollar caret badlead to t1 |
| 57 | 57 | hash quote bslash gt eq comma at dollar caret badlead to t1; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote lt semi ctl end to t35 |
| 58 | 52 | hash pct comma at dollar badlead to t1; slash to t9; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote colon bslash semi ctl end to t14 |
| 59 | t1 | dquote to 2; dollar to 36; lt to 43; at to 57; nz zero to 60; quote colon to 61; x T h e E hexlo hexup gt eq dot cont wchar to 62; hash to 63; plus minus to 64; lpar to t4; rpar to t5 |
| 60 | t1 | dot to 24; e E to 26; x to 33; at to 56; nz zero quote to 60; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote colon slash lt semi ctl end to t16; pct to t21 |
| 61 | t1 | x T h e E hexlo hexup lt gt eq dot plus minus cont wchar to 62 |
| 62 | 62 | dollar to 36; at to 56; hash pct comma badlead to t1; ws lf lbrk rbrk lpar rpar lbrc rbrc dquote colon slash bslash semi ctl end to t14 |
| 63 | 22 | dquote to 19; lbrk to 21; ws lf rbrk lpar rpar lbrc rbrc colon slash lt gt eq comma semi at ctl badlead end to t1 |
| 64 | t14 | dollar to 36; at to 56; nz zero to 60; x T h e E hexlo hexup gt eq dot cont wchar to 62; plus minus to 64; hash quote lt pct comma caret badlead to t1 |
"""

CLASSES = ["ws", "lf", "nz", "zero", "lbrk", "rbrk", "lpar", "rpar", "lbrc", "rbrc",
           "dquote", "hash", "quote", "colon", "x", "T", "h", "e", "E", "hexlo",
           "hexup", "slash", "bslash", "lt", "gt", "eq", "pct", "comma", "semi", "at",
           "dot", "dollar", "plus", "minus", "caret", "ctl", "cont", "wchar", "badlead",
           "end"]
CLS = {name: i for i, name in enumerate(CLASSES)}

WORKING = 65       # states 0..64; 65 never occurs
TERMINAL = 66      # terminal state 66 + token type
TOKENS = 36


def byte_class(b):
    c = chr(b)
    if b == 0:
        return "end"
    if b in (0x09, 0x0D, 0x20):
        return "ws"
    if b == 0x0A:
        return "lf"
    if b < 0x20:
        return "ctl"
    if b == 0x7F or 0x80 <= b <= 0xBF:
        return "cont"
    if b in (0xC0, 0xC1) or b >= 0xF8:
        return "badlead"
    if b >= 0xC2:
        return "wchar"
    if "1" <= c <= "9":
        return "nz"
    single = {"0": "zero", "[": "lbrk", "]": "rbrk", "(": "lpar", ")": "rpar", "{": "lbrc",
              "}": "rbrc", '"': "dquote", "#": "hash", "'": "quote", ":": "colon",
              "x": "x", "X": "x", "T": "T", "h": "h", "e": "e", "E": "E", "/": "slash",
              "\\": "bslash", "<": "lt", ">": "gt", "=": "eq", "%": "pct", ",": "comma",
              ";": "semi", "@": "at", ".": "dot", "$": "dollar", "+": "plus", "-": "minus",
              "^": "caret"}
    if c in single:
        return single[c]
    if c in "abcdf":
        return "hexlo"
    if c in "ABCDF":
        return "hexup"
    return "wchar"


def byte_flags(b):
    c = chr(b)
    flags = {"%": 0x00040000, ">": 0x00080000, "<": 0x00100000, "+": 0x00200000,
             "-": 0x00200000, "#": 0x00800000, "e": 0x01000000, "E": 0x01000000,
             "'": 0x02000000, ":": 0x04000000, ",": 0x08000000, ".": 0x10000000,
             "^": 0x20000000}
    f = flags.get(c, 0) if b < 0x80 else 0
    if b == 0:
        f |= 0x00400000
    if 0xC2 <= b <= 0xEF:
        f |= 0x40000000
    if 0xF0 <= b <= 0xF7:
        f |= 0x80000000
    return f


def target(text):
    text = text.strip()
    if text.startswith("t"):
        n = int(text[1:])
        assert 0 <= n < TOKENS, text
        return TERMINAL + n
    n = int(text)
    assert 0 <= n < WORKING, text
    return n


def parse_rows():
    table = {}
    for line in ROWS.strip().splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        state, default, exceptions = int(cells[0]), target(cells[1]), cells[2]
        assert state not in table, "state %d twice" % state
        row = [default] * len(CLASSES)
        seen = set()
        for part in exceptions.split(";"):
            names, _, to = part.strip().rpartition(" to ")
            for name in names.split():
                assert name in CLS, "unknown class %r in state %d" % (name, state)
                assert name not in seen, "class %s twice in state %d" % (name, state)
                seen.add(name)
                row[CLS[name]] = target(to)
        table[state] = row
    assert sorted(table) == list(range(WORKING)), "states 0..64 each once"
    return [table[s] for s in range(WORKING)]


# Datatype scanned by each working state (0: none).
STATE_TYPES = {}
for states, t in [((2, 3, 4, 5), 7), ((6, 7, 8, 9), 8), ((10, 11, 12), 7), ((13,), 15),
                  ((14,), 19), ((15,), 15), ((16,), 20), ((17,), 41), ((19, 20), 10),
                  ((22,), 20), ((23,), 11), ((24, 25, 26, 27, 28), 12), ((29,), 39),
                  ((30,), 47), ((31, 32), 43), ((33, 34), 37), ((35,), 51),
                  ((36, 37, 38), 49), ((40,), 11), ((41,), 15), ((42,), 11),
                  ((43, 44, 45, 46), 44), ((47, 48, 49), 15), ((50,), 12), ((51, 52), 15),
                  ((53,), 16), ((54,), 15), ((55,), 9), ((56,), 45), ((57,), 50),
                  ((58,), 15), ((59,), 25), ((60,), 11), ((61, 62), 15), ((63,), 20),
                  ((64,), 15)]:
    for s in states:
        STATE_TYPES[s] = t

# Datatype of each token (terminal state 66 + k), 0 for structural tokens.
TOKEN_TYPES = [0, 34, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 7, 15, 20, 11, 19, 10, 8, 41,
               38, 12, 12, 39, 47, 37, 51, 43, 49, 44, 9, 45, 11, 7, 50]


def main():
    rows = parse_rows()
    out = sys.stdout
    out.write("// Generated by tools/gen_lexer_table.py; do not edit.\n\n")
    out.write("static const uint32_t lex_class[256] = {\n")
    for base in range(0, 256, 8):
        words = ["0x%08X" % (CLS[byte_class(b)] | byte_flags(b)) for b in range(base, base + 8)]
        out.write("  " + ", ".join(words) + ",\n")
    out.write("};\n\n")
    out.write("static const uint8_t lex_next[%d][%d] = {\n" % (WORKING, len(CLASSES)))
    for s, row in enumerate(rows):
        out.write("  {" + ",".join("%d" % t for t in row) + "},  // %d\n" % s)
    out.write("};\n\n")
    states = TERMINAL + TOKENS
    skip = [1 if s == 0 else 0 for s in range(states)]
    out.write("static const uint8_t lex_skip[%d] = {" % states)
    out.write(",".join(str(v) for v in skip) + "};\n\n")
    types = [STATE_TYPES.get(s, 0) for s in range(TERMINAL)] + TOKEN_TYPES
    assert len(types) == states
    out.write("static const uint8_t lex_state_type[%d] = {\n" % states)
    for base in range(0, states, 20):
        out.write("  " + ",".join(str(v) for v in types[base:base + 20]) + ",\n")
    out.write("};\n")


if __name__ == "__main__":
    main()
