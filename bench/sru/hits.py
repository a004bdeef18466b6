#!/usr/bin/env python3
"""numberOfRecords of title=WORD on two SRU servers for each word of WORDS (comma-separated, most
frequent first) and their means under the Zipf weights the load uses (1/rank). Prints
"vk_hits=X zb_hits=Y agree=1|0 vk_page=R zb_page=R differing=W1:a/b,..."; agree when the
means are within 2%; R: the MARCXML records of a 10-record page of the first word on each.
Usage: hits.py VK_URL ZEBRA_URL WORDS   (URL: http://HOST:PORT/DATABASE)"""
import re
import sys
import urllib.parse
import urllib.request


def fetch(url, word, records):
    query = urllib.parse.urlencode({"version": "1.2", "operation": "searchRetrieve", "query": f"title={word}",
                                    "maximumRecords": str(records), "recordSchema": "marcxml", "recordPacking": "xml"})
    return urllib.request.urlopen(f"{url}?{query}", timeout=120).read().decode("utf-8", "replace")


def count(url, word):
    m = re.search(r"numberOfRecords>(\d+)<", fetch(url, word, 0))
    return int(m.group(1)) if m else -1


def marcxml_records(url, word):
    """MARC 21 slim records in a page of 10 (the load's page)."""
    return len(re.findall(r'<record xmlns="http://www.loc.gov/MARC21/slim"', fetch(url, word, 10)))


vk_url, zb_url, words = sys.argv[1], sys.argv[2], sys.argv[3].split(",")
weights = [1 / (i + 1) for i in range(len(words))]
vk = [count(vk_url, w) for w in words]
zb = [count(zb_url, w) for w in words]
mean = lambda counts: sum(c * w for c, w in zip(counts, weights)) / sum(weights)
a, b = mean(vk), mean(zb)
agree = b > 0 and abs(a - b) / b <= 0.02 and min(vk + zb) >= 0
differing = ",".join(f"{w}:{x}/{y}" for w, x, y in zip(words, vk, zb) if x != y)
pages = f"vk_page={marcxml_records(vk_url, words[0])} zb_page={marcxml_records(zb_url, words[0])}"
print(f"vk_hits={a:.1f} zb_hits={b:.1f} agree={int(agree)} {pages} differing={differing or '-'}")
