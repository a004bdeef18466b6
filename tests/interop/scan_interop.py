#!/usr/bin/env python3
"""Scan, Delete result set and the Init answer of the demo instance (bib-1 diagnostics mode) with
yaz-client, zoomsh and Perl ZOOM: the terms scanned, each searched, find exactly the count the
scan gave; a scan past the end of the index gives the terms there are; delete removes the named
set; the Init answer is version 3 with the options served; ZOOM gets its records with the search.
Usage: scan_interop.py VK9000 CASE (CASE: yaz, zoomsh, perl, or "all")."""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vkserver import expect, hits, run_cases, yaz_session  # noqa: E402


def scanned(text):
    """(term, count) of every entry yaz-client printed for a scan."""
    return [(t, int(n)) for t, n in re.findall(r"^[ *]? ?(\S+) \((\d+)\)$", text, re.M)]


def case_yaz(s):
    out = yaz_session(s, ["base books", "scan @attr 1=4 comp"], auth=False)
    expect("Connection accepted by v3 target" in out, "version 3 is answered when offered", out)
    options = re.search(r"Options: (.*)", out)
    expect(options and all(o in options.group(1).split() for o in
                           ("search", "present", "delSet", "scan", "extendedServices", "namedResultSets")),
           "the Init answer announces what the demo serves", out)
    terms = scanned(out)
    expect(len(terms) == 20 and terms[0][0].startswith("comp"), "20 terms from comp on", out)
    out = yaz_session(s, ["base books"] + [f"find @attr 1=4 {t}" for t, _ in terms[:8]], auth=False)
    expect(hits(out) == [n for _, n in terms[:8]], "each term searched finds the count scanned", out)
    out = yaz_session(s, ["base books", "scan @attr 1=4 zzzzzz"], auth=False)
    expect("Scan returned code 5" in out and 0 < len(scanned(out)) < 20,
           "a scan past the end of the index gives the terms there are, partial, not an error", out)
    out = yaz_session(s, ["base books", "find @attr 1=4 computer", "delete 1", "delete 1"], auth=False)
    expect(re.findall(r"Got deleteResultSetResponse status=(\d+)", out) == ["0", "1"],
           "delete removes the set; deleting it again finds no such set", out)


def zoomsh(*commands):
    out = subprocess.run(["zoomsh", *commands, "quit"], capture_output=True, timeout=60)
    return (out.stdout + out.stderr).decode("utf-8", "replace")


def case_zoomsh(s):
    out = zoomsh(f"connect {s.target}/books", "scan @attr 1=1003 k")
    terms = [(t, int(n)) for t, n in re.findall(r"^(\S+) (\d+)", out, re.M)]
    expect(len(terms) >= 5, "zoomsh lists the author terms", out)
    searches = [f"search @attr 1=1003 {t}" for t, _ in terms[:5]]
    out = zoomsh(f"connect {s.target}/books", *searches)
    found = [int(n) for n in re.findall(r"(\d+) hits", out)]
    expect(found == [n for _, n in terms[:5]], "each term searched finds the count scanned", out)
    # ZOOM asks for the first `count` records with the search (mediumSetPresentNumber).
    out = zoomsh("set apdulog 1", "set count 3", f"connect {s.target}/books", "search @attr 1=4 computer",
                 "show 0 3")
    expect("numberOfRecordsReturned 3" in out and "presentRequest" not in out and out.count("001 ") >= 3,
           "the records come with the searchResponse, no Present needed", out)


PERL = r'''
use strict; use ZOOM;
my $conn = ZOOM::Connection->new($ARGV[0], 0, databaseName => "books");
my $ss = $conn->scan(ZOOM::Query::PQF->new('@attr 1=4 comp'));
my $bad = 0;
for my $i (0 .. $ss->size() - 1) {
    my ($term, $occ) = $ss->term($i);
    my $n = $conn->search_pqf("\@attr 1=4 \"$term\"")->size();
    print "$term $occ $n\n";
    $bad++ if $n != $occ;
}
print "size ", $ss->size(), " bad $bad\n";
'''


def case_perl(s):
    target = f"127.0.0.1:{s.port}"
    out = subprocess.run(["perl", "-e", PERL, target], capture_output=True, timeout=120)
    text = (out.stdout + out.stderr).decode("utf-8", "replace")
    m = re.search(r"size (\d+) bad (\d+)", text)
    expect(out.returncode == 0 and m and int(m.group(1)) > 0 and m.group(2) == "0",
           "Perl ZOOM scans, and every term searched finds its count", text)


CASES = {"yaz": case_yaz, "zoomsh": case_zoomsh, "perl": case_perl}


if __name__ == "__main__":
    sys.exit(run_cases(CASES))
