#!/usr/bin/env python3
"""Writes keyuse_regex_cases.txt: trust-signature regular expressions matched
by Python's re (an independent engine) against user-ID-like texts.

Each line is: hex(pattern) hex(text) expected (1 match, 0 no match).
Only the syntax both engines read alike is used: no escapes inside sets, no
counted repetition, no named classes, no newlines in texts, byte patterns.
"""
import os
import re

PATTERNS = [
    b"", b"a", b"abc", b"^a", b"c$", b"^abc$", b"a|b", b"a|", b"|a",
    b"ab*", b"ab+", b"ab?c", b"(ab)*c", b"(ab)+c", b"(ab)?c", b"(a|b)+$",
    b"a.c", b".*", b"^.*@example\\.com>$", b"<[^>]*@example\\.com>",
    b"[]a]", b"[^]a]", b"[a-]x", b"[-a]x", b"[a-cx-z]+", b"[^a-z]",
    b"\\.", b"\\(x\\)", b"\\\\", b"\\*", b"()", b"(|a)b", b"((a)(b))c",
    b"(a|ab)(c|bcd)(d*)", b"x(y|yy)*z", b"a*b*c*$", b"^(Alice|Bob) ", b"e+ ",
    b"[0-9]+", b"@[a-z.]+\\.org", b"^[A-Z][a-z]+ [A-Z]", b"(x|y|z)?w",
    b"^$", b"$", b"^", b"a.*z", b"a[^z]*z", b"(a.)+b", b"[.]", b"q?r",
    b"\xe9t\xe9", b"[\xc0-\xff]+",
]

TEXTS = [
    b"", b"a", b"b", b"abc", b"xabcx", b"abbbc", b"ac", b"ababc", b"ababab",
    b"Alice <alice@example.com>", b"Bob <bob@example.org>", b"Eve Example <eve@mail.example.com>",
    b"Charlie (work) <c@example.com>", b"]", b"-x", b"x", b"ax", b"a.b", b"a\\b", b"*",
    b"(x)", b"xyyz", b"xz", b"xyyyyyyz", b"abcd", b"abd", b"zzz", b"123", b"ab12cd",
    b"w", b"yw", b"qr", b"r", b"Ren\xe9 \xe9t\xe9", b"UPPER lower",
]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, "keyuse_regex_cases.txt")
    with open(out, "w") as f:
        for p in PATTERNS:
            rx = re.compile(p)
            for t in TEXTS:
                m = 1 if rx.search(t) else 0
                f.write("%s %s %d\n" % (p.hex() or "-", t.hex() or "-", m))


if __name__ == "__main__":
    main()
