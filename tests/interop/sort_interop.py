#!/usr/bin/env python3
"""Sort with yaz-client and zoomsh against the demo instance: `sort 1=4 <` and `>` order the
titles shown, `sort 1=1003 >` the authors; the Init announces sort; a bad key gets its diagnostic
and the association goes on.
Usage: sort_interop.py VK9000 CASE (CASE: yaz, zoomsh, or "all")."""

import os
import re
import subprocess
import sys
import unicodedata

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vkserver import expect, hits, run_cases, yaz_session  # noqa: E402


def fold(title):
    """The title key as a reader expects it: letters and digits, case and accents folded."""
    text = unicodedata.normalize("NFKD", title).casefold()
    return " ".join("".join(c for c in text if c.isalnum() or c == " ").split())


def titles(out):
    return [fold(re.sub(r"\$[a-z] ", " ", line[7:])) for line in re.findall(r"^245 .*$", out, re.M)]


def authors(out):
    return [fold(line[9:]) for line in re.findall(r"^100 .*$", out, re.M)]


def case_yaz(s):
    out = yaz_session(s, ["base books", "find @attr 1=4 computer", "sort 1=4 <", "show 1+8",
                          "sort 1=4 >", "show 1+8", "sort 1=1032 <", "find @attr 1=4 computer", "sort 1=1003 >",
                          "show 1+5"], auth=False)
    expect("sort" in re.search(r"Options:.*", out).group(0), "the Init announces sort", out)
    expect(out.count("status=success") == 3, "three sorts succeed", out)
    shown = titles(out)
    expect(len(shown) == 21, "8 + 8 + 5 records shown", out)
    ascending, descending = shown[:8], shown[8:16]
    expect(ascending == sorted(ascending) and descending == sorted(descending, reverse=True),
           "titles ascending, then descending", out)
    expect(ascending[0] < descending[-1] or ascending[0] == descending[-1], "first titles sort lowest", out)
    expect("[207]" in out and hits(out)[-1] > 0, "an unsortable use gets 207, the association goes on", out)
    shown = authors(out)[-5:]
    expect(len(shown) == 5 and shown == sorted(shown, reverse=True), "authors descending", out)


def case_zoomsh(s):
    out = subprocess.run(["zoomsh", f"connect {s.target}/books", "search @attr 1=4 computer", "sort 1=4 <",
                          "show 0 6", "quit"], capture_output=True, timeout=60)
    out = (out.stdout + out.stderr).decode("utf-8", "replace")
    shown = titles(out)
    expect(len(shown) == 6 and shown == sorted(shown), "zoomsh shows the titles ascending", out)


CASES = {"yaz": case_yaz, "zoomsh": case_zoomsh}

if __name__ == "__main__":
    sys.exit(run_cases(CASES))
