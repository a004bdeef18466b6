#!/usr/bin/env python3
"""The bib-1 diagnostics mode ([Server] Diagnostics=bib1, which the demo instance turns on) with
yaz-client and zoomsh: a plain term, an unknown database, right truncation and scan each give
hits, terms or a diagnostic and the association goes on; with Diagnostics=none the same requests
end it.
Usage: diagnostics_interop.py VK9000 CASE (CASE: yaz, zoomsh, none, or "all")."""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vkserver import Server, expect, hits, run_cases, yaz_session  # noqa: E402


def yaz(server, commands):
    return yaz_session(server, commands, auth=False)


def zoomsh(*commands):
    out = subprocess.run(["zoomsh", *commands, "quit"], capture_output=True, timeout=60)
    return (out.stdout + out.stderr).decode("utf-8", "replace")


def case_yaz(s):
    out = yaz(s, ["base books", "find computer", "find @attr 1=4 computer", "find @attr 5=1 @attr 1=4 comput",
                  "base nosuch", "find computer", "base books", "find @attr 5=102 @attr 1=4 comput",
                  "find @attr 1=4 computer", "format unimarc", "show 1"])
    n = hits(out)
    expect(len(n) == 6, "every search is answered", out)
    plain, title, truncated, unknown, refused, again = n
    expect(plain >= title > 0, "a term without attributes searches any (1016)", out)
    expect(truncated >= title, "5=1 finds every title word that starts with comput", out)
    expect(unknown == 0 and "[109]" in out and "addinfo 'nosuch'" in out, "unknown database: 109", out)
    expect(again == title, "the association goes on after the diagnostic", out)
    expect(refused == 0 and "[120]" in out, "a truncation the server does not honour (102, regular expressions): 120", out)
    expect("[238]" in out, "a syntax the database cannot supply: 238", out)


def case_zoomsh(s):
    out = zoomsh(f"connect {s.target}/books", "search computer", "search @attr 5=1 @attr 1=4 comput",
                 "scan computer", "search @attr 1=4 computer", "show 0 1")
    found = [int(n) for n in re.findall(r"(\d+) hits", out)]
    expect(len(found) == 3 and min(found) > 0, "searches before and after the scan find hits", out)
    expect(re.search(r"^computer \d+$", out, re.M), "scan gets its term list", out)
    expect("001 " in out, "the association goes on: the record is shown", out)
    out = zoomsh(f"connect {s.target}/nosuch", "search computer")
    expect("Bib-1:109" in out and "nosuch" in out, "zoomsh sees 109 with the name", out)


def case_none(_):
    s = Server([("Server", "Diagnostics", "none")])
    try:
        out = yaz(s, ["base nosuch", "find @attr 1=4 computer"])
        expect("Target closed connection" in out or "Connection closed" in out,
               "without the mode an unknown database ends the association", out)
        out = zoomsh(f"connect {s.target}/books", "scan computer")
        expect("Bib-1:232" not in out, "without the mode scan gets no scanResponse", out)
    finally:
        s.stop()


CASES = {"yaz": case_yaz, "zoomsh": case_zoomsh, "none": case_none}
OWN_SERVER = {"none"}


if __name__ == "__main__":
    sys.exit(run_cases(CASES, OWN_SERVER))
