#!/usr/bin/env python3
"""bib-1 attributes through yaz-client against the demo instance (Diagnostics=bib1), each hit count
compared with a count made here over the demo's own records (the 24 sample records and the
generated ones, parsed from ISO 2709 with Python's Unicode tables), not with the server's:
left truncation, "#" masks (5=101 any characters, 5=104 one character), first-in-field, a
date range on the numeric date key, an ISBN-10 finding its ISBN-13, the publisher key.
Usage: attrs_interop.py VK9000 CASE (CASE: truth, or "all")."""

import os
import re
import subprocess
import sys
import tempfile
import unicodedata

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vkserver import expect, hits, run_cases, yaz_session  # noqa: E402

SOURCE = os.environ.get("VELKAN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
DEMO = os.path.join(SOURCE, "data", "demo")


def records():
    """Every record of the demo's books database as {tag: [field, ...]}, a field being the control
    value or a list of (code, value)."""
    with tempfile.TemporaryDirectory() as tmp:
        generated = os.path.join(tmp, "books.mrc")
        subprocess.run([sys.executable, os.path.join(DEMO, "gendemo.py"), "books", generated], check=True)
        data = open(os.path.join(DEMO, "books", "sample-marc21.mrc"), "rb").read() + open(generated, "rb").read()
    out = []
    for raw in data.split(b"\x1d"):
        if len(raw) < 24:
            continue
        base = int(raw[12:17])
        fields = {}
        for i in range(24, base - 1, 12):
            tag, length, start = raw[i:i + 3].decode(), int(raw[i + 3:i + 7]), int(raw[i + 7:i + 12])
            body = raw[base + start:base + start + length].rstrip(b"\x1e").decode("utf-8", "replace")
            if tag < "010":
                fields.setdefault(tag, []).append(body)
            else:
                subs = [(s[0], s[1:]) for s in body.split("\x1f")[1:] if s]
                fields.setdefault(tag, []).append(subs)
        out.append(fields)
    return out


def words(text):
    return re.findall(r"[^\W_]+", unicodedata.normalize("NFKC", text).casefold())


def values(record, spec):
    """The values of "245ab"-style items, one per subfield (or per field with by_field)."""
    for item in spec.split():
        tag, codes = item[:3], item[3:]
        for field in record.get(tag, []):
            yield [v for c, v in field if c in codes]


def title_words(record):
    return [w for field in values(record, "245ab 246a") for v in field for w in words(v)]


def isbn10(isbn13):
    nine = isbn13[3:12]
    check = (11 - sum((10 - i) * int(d) for i, d in enumerate(nine)) % 11) % 11
    return nine + ("X" if check == 10 else str(check))


def years(record):
    found = set()
    for v in record.get("008", []):
        found.update(int(n) for n in re.findall(r"\d+", v[7:11]))
    for field in values(record, "260c 264c"):
        for v in field:
            found.update(int(n) for n in re.findall(r"\d+", v))
    return found


def case_truth(s):
    recs = records()
    count = lambda pred: sum(1 for r in recs if pred(r))  # noqa: E731
    isbn13 = next(v for r in recs for f in values(r, "020a") for v in f if v.startswith("978"))
    hyphenated = "-".join([isbn10(isbn13)[:1], isbn10(isbn13)[1:4], isbn10(isbn13)[4:9], isbn10(isbn13)[9:]])
    cases = [
        ("@attr 1=4 @attr 5=2 ogy", count(lambda r: any(w.endswith("ogy") for w in title_words(r)))),
        ("@attr 1=4 @attr 5=3 olog", count(lambda r: any("olog" in w for w in title_words(r)))),
        ("@attr 1=4 @attr 5=101 hist#y", count(lambda r: any(re.fullmatch("hist.*y", w) for w in title_words(r)))),
        ("@attr 1=4 @attr 5=104 c#mputer", count(lambda r: any(re.fullmatch("c.mputer", w) for w in title_words(r)))),
        ("@attr 1=4 @attr 3=1 computer",
         count(lambda r: any(words(" ".join(f))[:1] == ["computer"] for f in values(r, "245ab 246a")))),
        ("@and @attr 1=31 @attr 2=4 1990 @attr 1=31 @attr 2=2 1999",
         count(lambda r: any(y >= 1990 for y in years(r)) and any(y <= 1999 for y in years(r)))),
        ("@attr 1=31 @attr 2=5 2020", count(lambda r: any(y > 2020 for y in years(r)))),
        (f"@attr 1=7 {hyphenated}", count(lambda r: any(v == isbn13 for f in values(r, "020a") for v in f))),
        ("@attr 1=1018 penguin", count(lambda r: any("penguin" in words(v) for f in values(r, "260b 264b") for v in f))),
    ]
    out = yaz_session(s, ["base books"] + [f"find {q}" for q, _ in cases], auth=False)
    got = hits(out)
    expect(len(got) == len(cases), "every search is answered", out)
    for (query, truth), n in zip(cases, got):
        expect(truth > 0, f"{query}: the demo records hold hits", out)
        expect(n == truth, f"{query}: {n} hits, the records hold {truth}", out)


CASES = {"truth": case_truth}


if __name__ == "__main__":
    sys.exit(run_cases(CASES))
