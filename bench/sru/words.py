#!/usr/bin/env python3
"""Frequent title words of an ISO 2709 file (245 $a, the first RECORDS records), most frequent first:
prints COUNT words of 4 letters or more, comma-separated.
Usage: words.py FILE [COUNT=40] [RECORDS=100000]"""
import collections
import re
import sys

path, want = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 40
limit = int(sys.argv[3]) if len(sys.argv) > 3 else 100000
counts = collections.Counter()
with open(path, "rb") as f:
    data = f.read(600 * limit)
at = records = 0
while at + 24 <= len(data) and records < limit:
    length = int(data[at:at + 5])
    if at + length > len(data):
        break
    record = data[at:at + length]
    at += length
    records += 1
    base = int(record[12:17])
    directory = record[24:base - 1]
    for i in range(0, len(directory) - 11, 12):
        if directory[i:i + 3] != b"245":
            continue
        size, start = int(directory[i + 3:i + 7]), int(directory[i + 7:i + 12])
        field = record[base + start:base + start + size].decode("utf-8", "replace")
        for sub in field.split("\x1f")[1:]:
            if sub[:1] == "a":
                counts.update(set(w.lower() for w in re.findall(r"[A-Za-z]{4,}", sub[1:])))
print(",".join(w for w, _ in counts.most_common(want)))
