#!/usr/bin/env python3
"""Sort with yaz-client and zoomsh against the demo instance: `sort 1=4 <` and `>` order the
titles shown, `sort 1=1003 >` the authors; the Init announces sort; a bad key gets its diagnostic
and the association goes on; on the PostgreSQL back-end (pg) title ascending and author descending
give the same records in the same order as on the embedded store.
Usage: sort_interop.py VK9000 CASE (CASE: yaz, zoomsh, pg, or "all")."""

import os
import re
import subprocess
import sys
import unicodedata

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vkserver import Server, expect, hits, run_cases, yaz_session  # noqa: E402


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


def case_pg(_server):
    from pg_interop import Cluster  # noqa: E402  (a private PostgreSQL cluster with the demo store)
    # A sparse set (its values read by lists of numbers) and a dense one (read by number ranges).
    pub = "@attr 1=1018"
    sets = [("@attr 1=4 computer", "1=4 <", titles, False),
            (f"@or @or @or {pub} penguin {pub} harper {pub} dover {pub} norton", "1=1003 >", authors, True)]
    with Cluster() as pg:
        local, remote = pg.track(Server()), pg.server()
        for query, key, shown, reverse in sets:
            runs = []
            for s in (local, remote):
                out = yaz_session(s, ["base books", f"find {query}", f"sort {key}", "show 1+40"], auth=False)
                expect("status=success" in out, f"sort {key} succeeds", out)
                runs.append((re.findall(r"^001 (\d+)", out, re.M), shown(out)))
            (ids, values), (pg_ids, _) = runs
            expect(len(ids) == 40 and values == sorted(values, reverse=reverse), f"{query}: sorted by {key}",
                   "\n".join(values))
            expect(pg_ids == ids, f"{query} sort {key}: embedded {ids}, PostgreSQL {pg_ids}")


CASES = {"yaz": case_yaz, "zoomsh": case_zoomsh, "pg": case_pg}

if __name__ == "__main__":
    sys.exit(run_cases(CASES, own_server=("pg",)))
