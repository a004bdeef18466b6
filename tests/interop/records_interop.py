#!/usr/bin/env python3
"""Record syntaxes with yaz-client in the bib-1 diagnostics mode: every record the demo serves in
MARCXML (xmllint, and MARC::File::XML against its ISO 2709 form, MARC::Lint on the ISO 2709
records), SUTRS and the element sets F and B, unsupported syntaxes and element sets, the plain mode
unchanged, and MARC-8 records loaded with `strata load --encoding marc8` and delivered in UTF-8.
Usage: records_interop.py VK9000 CASE (CASE: marcxml, sutrs, plain, marc8, or "all")."""

import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vkserver import VK9000, Server, expect, hits, run_cases, yaz_session  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
STRATA = os.path.join(os.path.dirname(VK9000), "strata")
SLIM = 'xmlns="http://www.loc.gov/MARC21/slim"'


def dump(server, base, query, syntax, path, charset="UTF-8"):
    """Every record `query` finds in `base`, in `syntax`, written to `path` by yaz-client."""
    found = hits(yaz_session(server, [f"base {base}", f"find {query}"], charset=charset))
    expect(len(found) == 1, f"{base}: {query} is answered")
    shows = [f"show {i}+40" for i in range(1, found[0] + 1, 40)]
    out = yaz_session(server, [f"base {base}", f"find {query}", f"format {syntax}", "elements F",
                               f"set_marcdump {path}"] + shows, charset=charset, seconds=120)
    expect("Diagnostic" not in out, f"{base} in {syntax}: no diagnostic", out)
    return found[0]


def iso_records(path):
    data, records, pos = open(path, "rb").read(), [], 0
    while pos < len(data):
        length = int(data[pos:pos + 5])
        records.append(data[pos:pos + length])
        pos += length
    return records


def check_database(server, work, base, lint):
    """MARCXML and ISO 2709 of every record of `base` (their 001 numbers start 000 or 001)."""
    xml_text, iso = "", []
    for prefix in ("000", "001"):
        query = f"@attr 1=12 @attr 5=1 {prefix}"
        xml_path, iso_path = os.path.join(work, f"{base}{prefix}.xml"), os.path.join(work, f"{base}{prefix}.mrc")
        dump(server, base, query, "xml", xml_path)
        dump(server, base, query, "usmarc" if base == "books" else "unimarc", iso_path)
        xml_text += open(xml_path, encoding="utf-8").read()
        iso += iso_records(iso_path)
    records = re.findall(r"<record .*?</record>", xml_text, re.S)
    expect(len(records) == len(iso) > 0, f"{base}: one MARCXML record per ISO 2709 record ({len(records)}/{len(iso)})")
    expect(all(r.startswith(f"<record {SLIM}>") for r in records), f"{base}: MARC 21 slim records")
    collection = os.path.join(work, f"{base}.xml")
    with open(collection, "w", encoding="utf-8") as f:
        f.write(f"<collection {SLIM}>\n" + "\n".join(records) + "\n</collection>\n")
    combined = os.path.join(work, f"{base}.mrc")
    open(combined, "wb").write(b"".join(iso))
    lint_run = subprocess.run(["xmllint", "--noout", collection], capture_output=True, text=True)
    expect(lint_run.returncode == 0, f"{base}: xmllint accepts the records", lint_run.stderr)
    check = subprocess.run(["perl", os.path.join(HERE, "marc_check.pl"), combined, collection] + (["lint"] if lint else []),
                           capture_output=True, text=True)
    expect(check.returncode == 0, f"{base}: MARCXML equals ISO 2709, no structural fault", check.stdout[-3000:] + check.stderr)
    expect(f"checked {len(iso)} records" in check.stdout, f"{base}: every record checked", check.stdout[-500:])
    return len(iso)


def case_marcxml(s):
    work = tempfile.mkdtemp(prefix="vkrecords")
    started = time.time()
    count = check_database(s, work, "books", True) + check_database(s, work, "unimarc", False)
    print(f"{count} records in MARCXML and ISO 2709 checked in {time.time() - started:.1f} s")
    out = yaz_session(s, ["base unimarc", "find @attr 1=4 中", "format xml", "elements F", "show 1"], charset="UTF-8")
    expect("<subfield code=\"a\">" in out and "中" in out, "UNIMARC MARCXML carries the Chinese text in UTF-8", out)


def marcdump_lines(record):
    """yaz-marcdump's line form of an ISO 2709 record."""
    with tempfile.NamedTemporaryFile(suffix=".mrc") as f:
        f.write(record)
        f.flush()
        return subprocess.run(["yaz-marcdump", f.name], capture_output=True).stdout.decode("utf-8", "replace")


def sutrs_text(out):
    """The SUTRS records yaz-client printed."""
    return re.findall(r"Record type: SUTRS\n(.*?)\nnextResultSetPosition", out, re.S)


def case_sutrs(s):
    work = tempfile.mkdtemp(prefix="vkrecords")
    iso = os.path.join(work, "one.mrc")
    steps = ["base books", "find @attr 1=12 0000003", "format usmarc", "elements F", f"set_marcdump {iso}",
             "show 1", "set_marcdump", "format sutrs", "show 1", "elements B", "show 1"]
    out = yaz_session(s, steps)
    full, brief = (sutrs_text(out) + ["", ""])[:2]
    expect(full.strip() == marcdump_lines(iso_records(iso)[0]).strip(), "SUTRS F is the record's line form", out)
    tags = [line[:3] for line in brief.splitlines()[1:] if line.strip()]
    expect(tags and set(tags) <= {"001", "020", "100", "245", "700"}, "SUTRS B holds the zbrief.cfg fields", brief)
    anonymous = yaz_session(s, ["base books", "find @attr 1=12 0000003", "format sutrs", "elements F", "show 1"], auth=False)
    expect(len(sutrs_text(anonymous)) == 1 and sutrs_text(anonymous)[0].strip() == brief.strip(),
           "F for the anonymous account is brief", anonymous)


def case_plain(_):
    s = Server([("Server", "Diagnostics", "none")])
    try:
        out = yaz_session(s, ["base books", "find @attr 1=4 computer", "format xml", "show 1", "format sutrs", "show 2"])
        expect(out.count("Record type: USmarc") == 2, "without the mode every syntax gets the ISO 2709 record", out)
    finally:
        s.stop()


MARC8_LINES = ("00000nam  2200000 a 4500\n001 9000001\n100 1  $a Müller, Antonín\n"
               "245 10 $a Café und Øresund $c Jürgen\n\n")


def load_marc8(home):
    """Loads one MARC-8 record into the books database of the instance at `home`."""
    lines = os.path.join(home, "m8.txt")
    open(lines, "w", encoding="utf-8").write(MARC8_LINES)
    marc8 = subprocess.run(["yaz-marcdump", "-i", "line", "-o", "marc", "-f", "utf-8", "-t", "marc8", lines],
                           capture_output=True, check=True).stdout
    expect(b"\xe8u" in marc8 and marc8[9:10] == b" ", "the input is MARC-8 (leader 09 blank)")
    open(os.path.join(home, "m8.mrc"), "wb").write(marc8)
    store = os.path.join(home, "backend", "vk9000.strata")
    load = subprocess.run([STRATA, "load", store, "books", os.path.join(home, "m8.mrc"), "--encoding", "marc8"],
                          capture_output=True, text=True)
    expect(load.returncode == 0 and "1 records loaded" in load.stdout, "strata load --encoding marc8", load.stdout + load.stderr)


def case_marc8(_):
    s = Server(prepare=load_marc8)
    try:
        work = tempfile.mkdtemp(prefix="vkrecords")
        utf8_path, plain_path = os.path.join(work, "u.mrc"), os.path.join(work, "p.mrc")
        query = "@attr 1=1003 M\u00fcller"
        out = yaz_session(s, ["base books", f"find {query}", "format usmarc", "elements F", f"set_marcdump {utf8_path}",
                              "show 1"], charset="UTF-8")
        expect(hits(out) == [1], "the MARC-8 record is found by its author in any letter form", out)
        utf8 = iso_records(utf8_path)[0]
        expect(utf8[9:10] == b"a", "delivered in UTF-8 with leader 09 a", repr(utf8[:24]))
        source = open(os.path.join(s.home, "m8.mrc"), "rb").read()
        expected = subprocess.run(["yaz-marcdump", "-f", "marc8", "-t", "utf-8", "-l", "9=97", os.path.join(s.home, "m8.mrc")],
                                  capture_output=True).stdout.decode("utf-8")
        got = marcdump_lines(utf8)
        expect(got[5:] == expected[5:], "the UTF-8 record is libyaz's reading of the MARC-8 one", got + "---\n" + expected)
        back = subprocess.run(["yaz-marcdump", "-o", "marc", "-f", "utf-8", "-t", "marc8", "-l", "9=32", utf8_path],
                              capture_output=True).stdout
        expect(back == source, "UTF-8 back to MARC-8 gives the loaded record", repr(back) + "\n" + repr(source))
        out = yaz_session(s, ["base books", f"find {query}", "format usmarc", "elements F", f"set_marcdump {plain_path}",
                              "show 1"])
        plain = iso_records(plain_path)[0]
        expect(plain[9:10] == b" " and "Mu\u0308ller".encode("gb18030") in plain,
               "without UTF-8 negotiated: leader 09 blank, text in the store's code page", repr(plain))
    finally:
        s.stop()


CASES = {"marcxml": case_marcxml, "sutrs": case_sutrs, "plain": case_plain, "marc8": case_marc8}
OWN_SERVER = {"plain", "marc8"}


if __name__ == "__main__":
    sys.exit(run_cases(CASES, OWN_SERVER))
