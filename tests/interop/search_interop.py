#!/usr/bin/env python3
"""Search and Present with yaz-client and zoomsh against the real vk9000 demo instance: hits of
the sample records for every mapped use attribute, boolean queries and set references, two
databases, Chinese UNIMARC searches with and without UTF-8 negotiation, brief and full records,
the limits, and result-set files after clients go away. Records that yaz-client shows are saved
with set_marcdump and must be accepted by yaz-marcdump.
Usage: search_interop.py VK9000 CASE (CASE: one of the case names below, or "all")."""

import os
import re
import subprocess
import sys
import time

ZH_TERM = "计算"  # a CJK substring of many generated UNIMARC titles

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vkserver import Server, expect, hits, run_cases, yaz_session as yaz  # noqa: E402


def marcdump(path):
    """yaz-marcdump's line form of a saved file; fails when yaz-marcdump refuses it."""
    out = subprocess.run(["yaz-marcdump", path], capture_output=True, timeout=30)
    expect(out.returncode == 0, f"yaz-marcdump rejects {path}: {out.stderr.decode('latin-1')}")
    return out.stdout


def records_in(dump):
    return len(re.findall(rb"^001 ", dump, re.M))


def case_books(s):
    dump = os.path.join(s.home, "show.mrc")
    out = yaz(s, ["base books", f"set_marcdump {dump}", "find @attr 1=4 computer", "show 1+10"])
    n = hits(out)
    expect(len(n) == 1 and n[0] >= 9, "title search for computer finds the sample records", out)
    expect(records_in(marcdump(dump)) == 10, "show 1+10 gives 10 records yaz-marcdump accepts", out)
    # One search per mapped use attribute, each with a term that only a sample record holds.
    for query, want in [("@attr 1=4 @attr 4=1 \"program a computer\"", 2), ("@attr 1=1003 mairs", 1),
                        ("@attr 1=7 0839108826", 1), ("@attr 1=21 scintillation", 1),
                        ("@attr 1=1016 puget", 1), ("@attr 1=12 0000003", 1)]:
        out = yaz(s, ["base books", f"find {query}"])
        expect(hits(out) == [want], f"find {query} gives {want} hits", out)


def case_boolean(s):
    dump = os.path.join(s.home, "bool.mrc")
    out = yaz(s, ["base books", f"set_marcdump {dump}",
                  "find @attr 1=4 computer",                                   # 1
                  "find @and @attr 1=4 computer @attr 1=4 program",            # 2
                  "find @or @attr 1=1003 mairs @attr 1=7 0839108826",          # 3
                  "find @not @set 2 @attr 1=12 0000001",                       # 4
                  "find @and @set 1 @set 3",                                   # 5
                  "show 1+2+3"])
    n = hits(out)
    expect(len(n) == 5, "five searches answered", out)
    expect(n[1] == 2 and n[2] == 2 and n[3] == 1 and n[4] == 1, f"boolean hit counts {n}", out)
    expect(records_in(marcdump(dump)) == 2, "show 1+2+3 reads set 3 by name", out)
    # Without negotiation the terms go in the ANSI code page (GBK), as a Chinese terminal sends them.
    out = yaz(s, ["base books unimarc", f"find @attr 1=1016 {ZH_TERM}"], encoding="gbk")
    both = hits(out)
    out = yaz(s, ["base unimarc", f"find @attr 1=1016 {ZH_TERM}"], encoding="gbk")
    expect(both == hits(out) and both[0] > 0, "two databases search both", out)
    out = yaz(s, ["base books unimarc", "find @or @attr 1=1016 mairs @attr 1=1016 " + ZH_TERM], encoding="gbk")
    expect(hits(out) == [both[0] + 1], "hits of both databases are added", out)


def case_unimarc(s):
    # Without negotiation the client types GBK; records come back in GBK.
    dump = os.path.join(s.home, "gbk.mrc")
    out = yaz(s, ["base unimarc", "format unimarc", f"set_marcdump {dump}", f"find @attr 1=4 {ZH_TERM}",
                  "elements F", "show 1"], encoding="gbk")
    gbk_hits = hits(out)
    expect(gbk_hits and gbk_hits[0] > 0, "Chinese title search in GBK", out)
    raw = open(dump, "rb").read()
    expect(ZH_TERM.encode("gbk") in raw, "the record is in GBK", out)
    marcdump(dump)
    # With charset UTF-8 the terms arrive in UTF-8 and the records go out in UTF-8.
    dump = os.path.join(s.home, "utf8.mrc")
    out = yaz(s, ["base unimarc", "format unimarc", f"set_marcdump {dump}", f"find @attr 1=4 {ZH_TERM}",
                  "elements F", "show 1"], charset="UTF-8")
    expect(hits(out) == gbk_hits, "the same hits with UTF-8 terms", out)
    raw = open(dump, "rb").read()
    expect(ZH_TERM.encode("utf-8") in raw, "the record is in UTF-8", out)
    marcdump(dump)
    author = re.search(r"700 .0 \$a (\S+)|701 .0 \$a (\S+)",
                       subprocess.run(["yaz-marcdump", "-i", "marc", "-o", "line", dump],
                                      capture_output=True).stdout.decode("utf-8", "replace"))
    expect(author, "the record names its author in 700/701", out)
    name = author.group(1) or author.group(2)
    out = yaz(s, ["base unimarc", f"find @attr 1=1003 {name}"], charset="UTF-8")
    expect(hits(out) and hits(out)[0] >= 1, f"Chinese author search {name} in UTF-8", out)
    out = yaz(s, ["base unimarc", f"find @attr 1=1003 {name}"], encoding="gbk")
    expect(hits(out) and hits(out)[0] >= 1, f"Chinese author search {name} in GBK", out)


def case_elements(s):
    def show(auth, elements):
        dump = os.path.join(s.home, f"el-{auth}-{elements}.mrc")
        out = yaz(s, ["base books", f"set_marcdump {dump}", "find @attr 1=12 0000003", f"elements {elements}",
                      "show 1"], auth=auth)
        expect(hits(out) == [1], "record 3 found", out)
        return marcdump(dump)
    expect(re.search(rb"^650 ", show(True, "F"), re.M), "full record under the demo account")
    expect(not re.search(rb"^650 ", show(True, "B"), re.M), "brief record under the demo account")
    expect(not re.search(rb"^650 ", show(False, "F"), re.M), "anonymous sessions get brief records")


def case_limits(s):
    dump = os.path.join(s.home, "forty.mrc")
    out = yaz(s, ["base books", f"set_marcdump {dump}", "find @attr 1=4 computer", "show 1+50"])
    expect(records_in(marcdump(dump)) == 40, "a Present sends at most 40 records", out)
    # 22 searches: set "1" is pushed out and its name is served from the first kept set, "2".
    dump = os.path.join(s.home, "sets.mrc")
    finds = [f"find @attr 1=12 {n:07d}" for n in range(1, 23)]
    out = yaz(s, ["base books", f"set_marcdump {dump}"] + finds + ["elements F", "show 1+1+1"])
    expect(hits(out) == [1] * 22, "22 searches", out)
    expect(b"0000002" in open(dump, "rb").read(), "the oldest set was dropped", out)
    # The demo instance answers an unknown database with a diagnostic (Diagnostics=bib1); without
    # that mode the association ends (diagnostics_interop.py covers both).


def case_maxhits(_):
    s = Server([("Server", "MaxSearchHits", "5")])
    try:
        out = yaz(s, ["base books", "find @attr 1=4 computer"])
        expect(hits(out) == [6], "the hit limit stops one row past it", out)
    finally:
        s.stop()


def case_zoomsh(s):
    out = subprocess.run(["zoomsh", f"connect {s.target}/books", "search @attr 1=4 computer", "show 0 2", "quit"],
                         capture_output=True, timeout=60)
    text = (out.stdout + out.stderr).decode("utf-8", "replace")
    m = re.search(r"(\d+) hits", text)
    expect(m and int(m.group(1)) >= 9, "zoomsh sees the hits", text)
    expect(text.count("001 ") >= 2, "zoomsh shows two records", text)


def case_cleanup(s):
    # The client keeps its association open while the sets exist, then quits.
    proc = subprocess.Popen(["yaz-client", s.target], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        proc.stdin.write(b"base books\nfind @attr 1=4 computer\nfind @attr 1=4 program\n")
        proc.stdin.flush()
        deadline = time.time() + 10
        while len(s.result_set_files()) < 2 and time.time() < deadline:
            time.sleep(0.1)
        expect(len(s.result_set_files()) >= 2, f"result-set files while the sets live: {s.result_set_files()}")
        proc.stdin.write(b"quit\n")
        proc.stdin.close()
        proc.wait(10)
    finally:
        if proc.poll() is None:
            proc.kill()
    deadline = time.time() + 10
    while s.result_set_files() and time.time() < deadline:
        time.sleep(0.2)
    expect(not s.result_set_files(), f"result-set files left after quit: {s.result_set_files()}")


def case_memory(s):
    # With the default memory data limit the small sets of the demo data never reach the folder.
    proc = subprocess.Popen(["yaz-client", s.target], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    try:
        proc.stdin.write(b"base books\nfind @attr 1=4 computer\nfind @attr 1=4 program\nshow 1\n")
        proc.stdin.flush()
        time.sleep(1.0)
        expect(not s.result_set_files(), f"no result-set files for small sets: {s.result_set_files()}")
        proc.stdin.write(b"quit\n")
        proc.stdin.close()
        out = proc.stdout.read().decode("utf-8", "replace")
        proc.wait(10)
    finally:
        if proc.poll() is None:
            proc.kill()
    n = hits(out)
    expect(len(n) == 2 and n[0] >= 9 and n[1] >= 1, f"both searches answered from memory: {n}", out)
    expect("001 " in out or "Record type: USmarc" in out or "Records: 1" in out, "show 1 gives the record", out)


def case_disconnect(s):
    # Many wide searches; the client goes away while they run.
    q = "@attr 1=4 computer"
    for _ in range(30):
        q = f"@or {q} @attr 1=1016 the"
    proc = subprocess.Popen(["yaz-client", s.target], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    proc.stdin.write(f"base books\nfind {q}\n".encode())
    proc.stdin.flush()
    time.sleep(0.3)
    proc.kill()
    proc.wait(10)
    deadline = time.time() + 20
    while s.result_set_files() and time.time() < deadline:
        time.sleep(0.2)
    expect(not s.result_set_files(), f"result-set files left: {s.result_set_files()}")


CASES = {"books": case_books, "boolean": case_boolean, "unimarc": case_unimarc, "elements": case_elements,
         "limits": case_limits, "maxhits": case_maxhits, "zoomsh": case_zoomsh, "cleanup": case_cleanup,
         "disconnect": case_disconnect, "memory": case_memory}
OWN_SERVER = {"maxhits"}
# The cleanup case watches the result-set files: its server writes every set to a file.
SERVER_ENV = {"cleanup": {"VELKAN_ROWSTORE_MEMORY": "0"}}


if __name__ == "__main__":
    sys.exit(run_cases(CASES, OWN_SERVER, SERVER_ENV))
