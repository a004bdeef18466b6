#!/usr/bin/env python3
"""SRU over HTTP on the Z39.50 port ([SRU] Enabled=1): curl with each version and method, every
response well-formed (xmllint), yaz-client and zoomsh over SRU, MARCXML records equal to their
ISO 2709 form (yaz-marcdump), CQL hit counts equal to the type-1 queries over Z39.50, the
diagnostics table, the HTTP limits, HTTP Basic only where allowed, kept result sets (resultSetTTL,
cql.resultSetId) and a database's own CQL index map.
Usage: sru_interop.py VK9000 CASE (CASE: versions, clients, records, cql, diagnostics, http, basic,
resultset, cqlmap, or "all")."""

import base64
import os
import re
import socket
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vkserver import Server, expect, hits, run_cases, yaz_session  # noqa: E402

SRU = [("SRU", "Enabled", "1")]


def curl(server, path, *args):
    out = subprocess.run(["curl", "-s", "-m", "20", *args, f"http://127.0.0.1:{server.port}{path}"],
                         capture_output=True, timeout=30)
    return out.stdout.decode("utf-8", "replace")


def wellformed(text):
    out = subprocess.run(["xmllint", "--noout", "-"], input=text.encode(), capture_output=True)
    expect(out.returncode == 0, "xmllint --noout passes", text + out.stderr.decode())


def sru(server, db, **params):
    text = curl(server, f"/{db}?" + urllib.parse.urlencode(params))
    wellformed(text)
    return text


def count(text):
    m = re.search(r"numberOfRecords>(\d+)<", text)
    return int(m.group(1)) if m else None


def diag(text):
    return re.findall(r"info:srw/diagnostic/1/(\d+)", text)


def case_versions(s):
    soap = ('<?xml version="1.0"?><S:Envelope xmlns:S="http://schemas.xmlsoap.org/soap/envelope/"><S:Body>'
            '<srw:searchRetrieveRequest xmlns:srw="http://www.loc.gov/zing/srw/"><srw:version>1.1</srw:version>'
            '<srw:query>title=history</srw:query><srw:maximumRecords>1</srw:maximumRecords>'
            '</srw:searchRetrieveRequest></S:Body></S:Envelope>')
    q = "query=title%3Dhistory&maximumRecords=2"
    rows = [  # (what, curl arguments, path, version answered)
        ("GET 1.1", [], f"/books?version=1.1&{q}", "1.1"),
        ("GET 1.2", [], f"/books?version=1.2&{q}", "1.2"),
        ("GET none", [], f"/books?{q}", "1.2"),
        ("GET 2.0 params", [], f"/books?queryType=cql&{q}", "2.0"),
        ("POST 1.2", ["-d", f"version=1.2&operation=searchRetrieve&{q}"], "/books", "1.2"),
        ("POST 2.0", ["-d", f"version=2.0&{q}"], "/books", "2.0"),
        ("SOAP 1.1", ["-H", "Content-Type: text/xml", "--data-binary", soap], "/books", "1.1"),
    ]
    counts = set()
    for what, args, path, version in rows:
        text = curl(s, path, *args)
        wellformed(text)
        if version == "2.0":
            expect("docs.oasis-open.org/ns/search-ws/sruResponse" in text, f"{what}: a 2.0 response", text)
        else:
            expect(f"<zs:version>{version}</zs:version>" in text, f"{what}: answered in {version}", text)
        expect(("Envelope" in text) == what.startswith("SOAP"), f"{what}: SOAP only for SOAP", text)
        counts.add(count(text))
        expect("<zs:recordPosition>1</zs:recordPosition>" in text, f"{what}: records from position 1", text)
    expect(len(counts) == 1 and counts.pop() > 2, "every form finds the same records", str(rows))
    explain = curl(s, "/books")
    wellformed(explain)
    for part in ("explainResponse", "<database>books</database>", 'set="dc">title<', ">1003</attr>",
                 "info:srw/schema/1/marcxml-v1.1", 'type="maximumRecords"'):
        expect(part in explain, f"GET /books is explain with {part}", explain)


def case_clients(s):
    # yaz-client speaks SRU when opened on an http: address
    script = f"open http://127.0.0.1:{s.port}/books\nfind title=history\nshow 1\nfind dc.title=history and author=johnson\nquit\n"
    out = subprocess.run(["yaz-client"], input=script.encode(), capture_output=True, timeout=60).stdout.decode()
    n = hits(out)
    expect(len(n) >= 2 and n[0] > n[-1] > 0, "yaz-client: find over SRU (show searches again)", out)
    expect('<controlfield tag="001">' in out, "yaz-client: show gives a MARCXML record", out)
    z = subprocess.run(["zoomsh", "set sru get", "set sru_version 1.2", f"connect http://127.0.0.1:{s.port}/unimarc",
                        "search 中国", "show 0 1", "quit"], capture_output=True, timeout=60).stdout.decode()
    expect(re.search(r": [1-9]\d* hits", z) and "中国" in z, "zoomsh over SRU finds and shows Chinese UNIMARC", z)


def marcdump(data, fmt, charset=None):
    """yaz-marcdump's line form of the records in `data` (converted from `charset` to UTF-8)."""
    recode = ["-f", charset, "-t", "UTF-8"] if charset else []
    out = subprocess.run(["yaz-marcdump", "-i", fmt, "-o", "line", *recode, "/dev/stdin"], input=data,
                         capture_output=True, timeout=30)
    return [line.rstrip() for line in out.stdout.decode("utf-8", "replace").splitlines() if line.strip()]


def case_records(s):
    import tempfile
    for db, term, syntax in (("books", "history", "usmarc"), ("unimarc", "中国", "unimarc")):
        text = sru(s, db, version="1.2", query=term, maximumRecords="3", recordSchema="marcxml")
        records = re.findall(r'<record xmlns="http://www.loc.gov/MARC21/slim">.*?</record>', text, re.S)
        expect(len(records) == 3, f"{db}: three MARCXML records", text)
        dump = tempfile.mktemp(prefix="vksru")
        yaz_session(s, ["charset UTF-8", f"base {db}", f"format {syntax}", "elements F", f"set_marcdump {dump}",
                        f"find {term}", "show 1+3"])  # full records need an account
        iso = open(dump, "rb").read()
        os.unlink(dump)
        lines = marcdump(iso, "marc", "GB18030" if db == "unimarc" else None)  # Z39.50 sends GBK there
        xml_lines = []
        for record in records:
            xml_lines += marcdump(record.encode(), "marcxml")
        strip = lambda ls: [l for l in ls if not re.match(r"^\d{5}", l)]  # leaders differ in 09 only
        expect(strip(lines) and strip(lines) == strip(xml_lines),
               f"{db}: the MARCXML records hold the fields of their ISO 2709 form",
               "\n".join(lines[:20]) + "\n---\n" + "\n".join(xml_lines[:20]))
        dc = sru(s, db, version="1.2", query=term, maximumRecords="1", recordSchema="dc", recordPacking="string")
        expect("&lt;dc:title&gt;" in dc, f"{db}: recordPacking=string escapes the record", dc)
        last = sru(s, db, version="1.2", query=term, maximumRecords="2", startRecord=str(count(dc) - 1))
        expect("nextRecordPosition" not in last and f"<zs:recordPosition>{count(dc)}<" in last,
               f"{db}: the last page has no nextRecordPosition", last)


def case_cql(s):
    rows = [  # CQL, the equivalent type-1 query
        ("title=history", "@attr 1=4 history"),
        ('dc.title="world history"', '@attr 1=4 "world history"'),
        ("title all \"world history\"", "@and @attr 1=4 world @attr 1=4 history"),
        ("title any \"world history\"", "@or @attr 1=4 world @attr 1=4 history"),
        ("author=johnson and subject=programming", "@and @attr 1=1003 johnson @attr 1=21 programming"),
        ("title=history not author=johnson", "@not @attr 1=4 history @attr 1=1003 johnson"),
        ("title=hist*", "@attr 5=1 @attr 1=4 hist"),
        ("history", "@attr 1=1016 history"),
        ("date>=1990 and date<=1999", "@and @attr 1=31 @attr 2=4 1990 @attr 1=31 @attr 2=2 1999"),
    ]
    z = yaz_session(s, ["base books"] + [f"find {t}" for _, t in rows], auth=False)
    expected = hits(z)
    expect(len(expected) == len(rows), "every type-1 query answered", z)
    for (cql, _), n in zip(rows, expected):
        got = count(sru(s, "books", version="1.2", query=cql, maximumRecords="0"))
        expect(got == n and n > 0, f"{cql}: {got} hits over SRU, {n} over Z39.50", "")
    # scan: terms in index order from the start term, each with the count a search of it gives
    text = sru(s, "books", version="1.2", operation="scan", scanClause="title=comp", maximumTerms="4")
    terms = re.findall(r"<zs:value>([^<]*)</zs:value><zs:numberOfRecords>(\d+)<", text)
    expect(len(terms) == 4 and [t for t, _ in terms] == sorted(t for t, _ in terms) and terms[0][0] >= "comp",
           "four scan terms in order from comp", text)
    for term, n in terms:
        got = count(sru(s, "books", version="1.2", query=f'title="{term}"', maximumRecords="0"))
        expect(got == int(n), f"scan term {term}: {n}, search {got}", "")


def case_diagnostics(s):
    rows = [  # parameters, diagnostic
        (dict(query="title=", version="1.2"), "10"),
        (dict(query="nosuch.idx=x", version="1.2"), "16"),
        (dict(query="title<>x", version="1.2"), "19"),
        (dict(query="title=h*t", version="1.2"), "28"),
        (dict(query="a prox b", version="1.2"), "39"),
        (dict(query="a", recordSchema="mods", version="1.2"), "66"),
        (dict(query="a", recordPacking="json", version="1.2"), "71"),
        (dict(query="history", startRecord="99999", version="1.2"), "61"),
        (dict(query="a", version="9.9"), "5"),
        (dict(operation="scan", scanClause="nosuch.idx=a", version="1.2"), "16"),
        (dict(operation="scan", scanClause="title=a", maximumTerms="5000", version="1.2"), "6"),
        (dict(operation="update", version="1.2"), "4"),
        (dict(query="(" * 60 + "a" + ")" * 60, version="1.2"), "38"),
    ]
    for params, code in rows:
        text = sru(s, "books", **params)
        expect(code in diag(text), f"{params}: diagnostic {code}", text)
    text = sru(s, "nosuch", query="a", version="1.2")
    expect("235" in diag(text), "unknown database: 235", text)


def raw(port, octets):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
        c.sendall(octets)
        data = b""
        while True:
            chunk = c.recv(65536)
            if not chunk:
                return data.decode("latin-1")
            data += chunk


def case_http(s):
    rows = [
        (b"GET /" + b"a" * 9000 + b" HTTP/1.1\r\n\r\n", "414"),
        (b"GET /books HTTP/1.1\r\nX: " + b"b" * 20000 + b"\r\n\r\n", "431"),
        (b"POST /books HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n", "413"),
        (b"GET /books HTTP/1.1 x\r\n\r\n", "400"),
        (b"PUT /books HTTP/1.1\r\nConnection: close\r\n\r\n", "405"),
    ]
    for octets, status in rows:
        out = raw(s.port, octets)
        expect(out.startswith(f"HTTP/1.1 {status}"), f"{octets[:30]!r}: {status}", out[:300])
    two = (b"GET /books?query=history&maximumRecords=0 HTTP/1.1\r\nHost: h\r\n\r\n"
           b"GET /books?query=war&maximumRecords=0 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n")
    expect(raw(s.port, two).count("HTTP/1.1 200") == 2, "two requests on one kept-alive connection", "")
    auth = "Basic " + base64.b64encode(b"demo:demo").decode()
    text = curl(s, "/books?version=1.2&query=history", "-H", f"Authorization: {auth}")
    expect("3" in diag(text), "Basic over plain HTTP is refused (3) by default", text)
    z = yaz_session(s, ["base books", "find history"], auth=False)
    expect(hits(z), "the Z39.50 port still speaks Z39.50", z)


def case_basic(_):
    s = Server(SRU + [("SRU", "AllowBasicOverPlain", "1")])
    try:
        good = "Basic " + base64.b64encode(b"demo:demo").decode()
        bad = "Basic " + base64.b64encode(b"demo:wrong").decode()
        expect(count(curl(s, "/books?version=1.2&query=history", "-H", f"Authorization: {good}")),
               "an account's credentials are taken when allowed", "")
        text = curl(s, "/books?version=1.2&query=history", "-H", f"Authorization: {bad}")
        expect("3" in diag(text), "a wrong password is diagnostic 3", text)
    finally:
        s.stop()


def case_resultset(_):
    s = Server(SRU + [("SRU", "MaxResultSetTTL", "3")])
    try:
        first = sru(s, "books", version="1.2", query="title=history", resultSetTTL="60", maximumRecords="2")
        rid = re.search(r"<zs:resultSetId>([0-9a-f]{32})</zs:resultSetId>", first)
        expect(rid and "<zs:resultSetIdleTime>3<" in first, "a kept set: its id, the idle time capped at 3 s", first)
        rid, n = rid.group(1), count(first)
        positions = lambda text: re.findall(r"<zs:recordPosition>(\d+)<", text)
        records = lambda text: re.findall(r"<record xmlns=.*?</record>", text, re.S)
        rows = [  # request on a new connection, what it must give
            (dict(query=f'cql.resultSetId="{rid}"', startRecord="3", maximumRecords="2"),
             dict(query="title=history", startRecord="3", maximumRecords="2")),
            (dict(query=f'cql.resultSetId="{rid}" and author=johnson', maximumRecords="0"),
             dict(query="title=history and author=johnson", maximumRecords="0")),
            (dict(query=f'cql.resultSetId="{rid}"', version="2.0", maximumRecords="1"),
             dict(query="title=history", version="2.0", maximumRecords="1")),
        ]
        for params, same in rows:
            params.setdefault("version", "1.2")
            same.setdefault("version", "1.2")
            got, want = sru(s, "books", **params), sru(s, "books", **same)
            expect(count(got) == count(want) and positions(got) == positions(want) and records(got) == records(want),
                   f"{params['query']}: as {same['query']}", got)
        again = sru(s, "books", version="1.2", query=f'cql.resultSetId="{rid}"', maximumRecords="0")
        expect(rid in again and count(again) == n, "paging answers the set's id and count", again)
        plain = sru(s, "books", version="1.2", query="title=history", maximumRecords="0")
        expect("resultSetId" not in plain, "no resultSetTTL, no kept set", plain)
        time.sleep(4.5)
        for query in (f'cql.resultSetId="{rid}"', 'cql.resultSetId="0123" or title=history'):
            text = sru(s, "books", version="1.2", query=query)
            expect("51" in diag(text), f"{query}: an expired or unknown set is diagnostic 51", text)
    finally:
        s.stop()


def case_cqlmap(_):
    """A database's own cfgs/cql.cfg maps title to the author key and has no dc.title."""
    import shutil
    import tempfile
    here = os.path.dirname(os.path.abspath(__file__))
    books = os.path.join(here, "..", "..", "data", "demo", "books")
    strata = os.path.join(os.path.dirname(os.path.abspath(sys.argv[1])), "strata")

    def prepare(home):
        cfgs = tempfile.mkdtemp(prefix="vkcql")
        for name in os.listdir(os.path.join(books, "cfgs")):
            text = open(os.path.join(books, "cfgs", name), encoding="utf-8").read()
            open(os.path.join(cfgs, name), "wb").write(text.encode("gbk"))
        open(os.path.join(cfgs, "cql.cfg"), "w").write("index.title = 1=1003\nindex.local.name = 1=1003\n")
        store = os.path.join(home, "backend", "vk9000.strata")
        for args in (["db", "add", store, "mapped", "--cfgs", cfgs],
                     ["load", store, "mapped", os.path.join(books, "sample-marc21.mrc"), "--format", "usmarc"]):
            subprocess.run([strata, *args], check=True, capture_output=True, timeout=120)
        shutil.rmtree(cfgs)

    s = Server(SRU, prepare=prepare)
    try:
        z = yaz_session(s, ["base mapped", "find @attr 1=1003 adam", "find @attr 1=4 computer"], auth=False)
        author, title = hits(z)
        expect(author > 0 and title > 0, "the mapped database answers Z39.50", z)
        rows = [  # database, CQL, hits or a diagnostic
            ("mapped", "title=adam", author),
            ("mapped", "local.name=adam", author),
            ("mapped", "title=computer", 0),
            ("mapped", "dc.title=computer", "16"),
            ("books", "title=computer", None),
            ("books", "local.name=adam", "16"),
        ]
        for db, cql, want in rows:
            text = sru(s, db, version="1.2", query=cql, maximumRecords="0")
            if isinstance(want, str):
                expect(want in diag(text), f"{db} {cql}: diagnostic {want}", text)
            else:
                expect(count(text) == want if want is not None else count(text) > title,
                       f"{db} {cql}: {count(text)} hits", text)
        explain = curl(s, "/mapped")
        expect(">name<" in explain and "1003" in explain, "explain serves the database's own map", explain)
    finally:
        s.stop()


CASES = {"versions": case_versions, "clients": case_clients, "records": case_records, "cql": case_cql,
         "diagnostics": case_diagnostics, "http": case_http, "basic": case_basic,
         "resultset": case_resultset, "cqlmap": case_cqlmap}


if __name__ == "__main__":
    import vkserver
    original = vkserver.Server.__init__

    def with_sru(self, settings=(), *args, **kwargs):
        original(self, list(settings) + SRU, *args, **kwargs)
    Server.__init__ = with_sru
    sys.exit(run_cases(CASES, {"basic", "resultset", "cqlmap"}))
