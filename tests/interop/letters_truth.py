#!/usr/bin/env python3
"""Hit counts against a count of the truth, for names and titles in every script.

About 10,000 generated records (gendemo.py intl and intl-unimarc: Latin with diacritics, Greek,
Cyrillic, Chinese, Japanese, full-width Latin; a third in NFD, some names in capitals) are loaded
into two databases of a fresh store. For every distinct word of the title and author keys, the
hit count that yaz-client gets over a real listener must equal the number of records whose own
fields hold that word, counted here with Python's Unicode tables (NFKC, case folding), not the
server's. Each word is searched
  - with UTF-8 negotiated: as folded, in NFD, and in capitals;
  - without negotiation, in UTF-8, from a server with QueryCharset=auto;
  - without negotiation, in GBK where the word has a GBK form, from a server with QueryCharset=ansi.
  sqlite   the embedded store
  pg       the same store copied into PostgreSQL (netchan32.dll)
  charset  QueryCharset=ansi, utf-8 and auto: which of a name's UTF-8 and GBK forms each finds
Usage: letters_truth.py VK9000 CASE|all."""

import os
import re
import subprocess
import sys
import tempfile
import unicodedata
from collections import defaultdict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pg_interop import Cluster  # noqa: E402
from vkserver import VK9000, Server, expect, hits, run_own_cases, yaz_session  # noqa: E402

SOURCE = os.environ.get("VELKAN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
STRATA = os.path.join(os.path.dirname(VK9000), "strata")
GENERATOR = os.path.join(SOURCE, "data", "demo", "gendemo.py")
# database: (generator kind, record syntax OID, cfgs folder of the demo whose keys it uses)
DATABASES = {
    "intl": ("intl", "1.2.840.10003.5.10", "books", "usmarc"),
    "intlu": ("intl-unimarc", "1.2.840.10003.5.1", "unimarc", "unimarc"),
}
USES = {"title": 4, "author": 1003}
COUNT = 5000


# --- the truth, from the records themselves ---------------------------------------------------

def iso2709_fields(record):
    """(tag, {code: [values]}) of the data fields of one ISO 2709 record (UTF-8)."""
    base = int(record[12:17])
    fields = []
    for at in range(24, base - 1, 12):
        entry = record[at:at + 12].decode("ascii")
        tag, length, start = entry[:3], int(entry[3:7]), int(entry[7:12])
        body = record[base + start:base + start + length - 1]
        subfields = defaultdict(list)
        for piece in body.split(b"\x1f")[1:]:
            subfields[chr(piece[0])].append(piece[1:].decode("utf-8"))
        fields.append((tag, subfields))
    return fields


def read_records(path):
    data = open(path, "rb").read()
    records = []
    while data:
        length = int(data[:5])
        records.append(data[:length])
        data = data[length:]
    return records


def key_fields(cfgs, key):
    """[(tag, subfield codes)] of a key of keys.cfg."""
    text = open(os.path.join(cfgs, "keys.cfg"), encoding="utf-8").read()
    m = re.search(rf'key name="{key}"\s+fields="([^"]*)"', text)
    return [(item[:3], item[3:]) for item in m.group(1).split()]


def is_cjk(ch):
    name = unicodedata.name(ch, "")
    return name.startswith(("CJK UNIFIED IDEOGRAPH", "HIRAGANA", "KATAKANA", "HANGUL SYLLABLE"))


def words(text):
    """The searchable words of a text: runs of letters, marks and digits after NFKC and case
    folding; each CJK character on its own."""
    folded = unicodedata.normalize("NFKC", unicodedata.normalize("NFKC", text).casefold())
    out, word = set(), ""
    for ch in folded:
        if is_cjk(ch):
            out.add(ch) if not word else (out.add(word), out.add(ch))
            word = ""
        elif unicodedata.category(ch)[0] in "LMN":
            word += ch
        else:
            if word:
                out.add(word)
            word = ""
    if word:
        out.add(word)
    return out


def truth(path, cfgs):
    """{key: {word: number of records}}."""
    counts = {key: defaultdict(int) for key in USES}
    for record in read_records(path):
        fields = iso2709_fields(record)
        for key in USES:
            found = set()
            for tag, codes in key_fields(cfgs, key):
                for ftag, subfields in fields:
                    if ftag == tag:
                        for code in codes:
                            for value in subfields.get(code, []):
                                found |= words(value)
            for w in found:
                counts[key][w] += 1
    return counts


# --- the store and the servers -----------------------------------------------------------------

def make_store(work):
    """A store holding both databases, their records and the truth of each."""
    store = os.path.join(work, "letters.strata")
    run([STRATA, "create", store])
    run([STRATA, "account", "add", store, "demo", "--password", "demo", "--rights", "rw"])
    expected = {}
    for db, (kind, oid, demo, fmt) in DATABASES.items():
        mrc = os.path.join(work, db + ".mrc")
        run([sys.executable, GENERATOR, kind, mrc, str(COUNT)])
        cfgs = os.path.join(work, "cfgs-" + db)
        os.makedirs(cfgs)
        for name in ("keys.cfg", "use.cfg", "zbrief.cfg"):
            text = open(os.path.join(SOURCE, "data", "demo", demo, "cfgs", name), encoding="utf-8").read()
            open(os.path.join(cfgs, name), "w", encoding="gb18030").write(text)
        open(os.path.join(cfgs, "property.cfg"), "w").write(
            f'prop type="marcsytax oid" value="{oid}"\nprop type="alias" value="{db}-alias"\n')
        run([STRATA, "db", "add", store, db, "--cfgs", cfgs])
        run([STRATA, "load", store, db, mrc, "--format", fmt, "--encoding", "auto"])
        expected[db] = truth(mrc, os.path.join(SOURCE, "data", "demo", demo, "cfgs"))
    return store, expected


def run(cmd):
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    if out.returncode != 0:
        raise AssertionError(f"{' '.join(cmd)} failed:\n{out.stdout}{out.stderr}")


def with_store(store):
    """A Server.prepare step that puts the letters store in place of the demo store."""
    def prepare(home):
        target = os.path.join(home, "backend", "vk9000.strata")
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(target + suffix):
                os.remove(target + suffix)
        os.symlink(store, target)
    return prepare


# --- the searches --------------------------------------------------------------------------

def search_all(server, queries, charset, encoding):
    """Hit counts of `queries` [(db, use, term)] in one yaz-client session per database."""
    got = []
    for db in DATABASES:
        mine = [q for q in queries if q[0] == db]
        if not mine:
            continue
        commands = [f"base {db}"] + [f"find @attr 1={use} {term}" for _, use, term in mine]
        out = yaz_session(server, commands, charset=charset, seconds=600, encoding=encoding)
        counts = hits(out)
        expect(len(counts) == len(mine), f"{len(mine)} searches in {db}, {len(counts)} answers", out)
        got += list(zip(mine, counts))
    return got


def compare(got, expected, what):
    wrong = [(q, n, expected[q[0]][q[3]][q[4]]) for q, n in got if n != expected[q[0]][q[3]][q[4]]]
    expect(not wrong, f"{what}: {len(wrong)} of {len(got)} counts differ from the truth, e.g. " +
           "; ".join(f"{db} {key} {term!r}: {n} (truth {t})" for (db, _, term, key, _w), n, t in wrong[:8]))
    print(f"{what}: {len(got)} searches, every count equals the truth")


def variants(expected, forms):
    """[(db, use, term, key, word)] for every word in each form of `forms`."""
    out = []
    for db, keys in expected.items():
        for key, counts in keys.items():
            for word in sorted(counts):
                for form in forms:
                    term = form(word)
                    if term is not None:
                        out.append((db, USES[key], term, key, word))
    return out


def gbk_form(word):
    try:
        word.encode("gbk")
    except UnicodeEncodeError:
        return None
    return word if any(ord(c) > 127 for c in word) else None


def check(settings_for, copy_store=None):
    """The three searches of every word on servers over a new store (`copy_store` copies it to
    where the servers read it)."""
    work = tempfile.mkdtemp(prefix="vkletters")
    store, expected = make_store(work)
    if copy_store:
        copy_store(store)
    auto = ansi = None
    try:
        auto = Server(settings_for("auto"), prepare=with_store(store))
        negotiated = variants(expected, [lambda w: w, lambda w: unicodedata.normalize("NFD", w),
                                         lambda w: w.upper()])
        got = search_all(auto, [q[:3] for q in negotiated], "UTF-8", "utf-8")
        compare([(q, n) for q, (_, n) in zip(negotiated, got)], expected, "UTF-8 negotiated")
        plain = variants(expected, [lambda w: w])
        got = search_all(auto, [q[:3] for q in plain], None, "utf-8")
        compare([(q, n) for q, (_, n) in zip(plain, got)], expected, "UTF-8, QueryCharset=auto")
        ansi = Server(settings_for("ansi"), prepare=with_store(store))
        gbk = variants(expected, [gbk_form, lambda w: gbk_form(w.upper())])
        got = search_all(ansi, [q[:3] for q in gbk], None, "gbk")
        compare([(q, n) for q, (_, n) in zip(gbk, got)], expected, "GBK, QueryCharset=ansi")
    finally:
        for s in (auto, ansi):
            if s:
                s.stop()
        subprocess.run(["rm", "-rf", work])


def base_settings(charset):
    return [("Server", "QueryCharset", charset), ("Server", "MaxSearchHits", "100000")]


def case_sqlite():
    check(base_settings)


def case_pg():
    with Cluster() as pg:
        def settings(charset):
            return base_settings(charset) + [
                ("common", "DBIPAddress", pg.address), ("Strata", "interface", "netchan32.dll"),
                ("Strata", "DB Instance", "vkletters"), ("Backend", "ServerUser", pg.env["PGUSER"]),
                ("Backend", "ServerPassword", pg.env["PGPASSWORD"])]
        env = dict(os.environ, **pg.env)
        subprocess.run(["psql", "-qXd", "postgres", "-c", "CREATE DATABASE vkletters"], env=env, check=True,
                       capture_output=True, timeout=60)
        check(settings, lambda store: run([STRATA, "copy", store, f"pg:{pg.conninfo} dbname=vkletters"]))


def case_charset():
    work = tempfile.mkdtemp(prefix="vkletters")
    try:
        store, expected = make_store(work)
        found = {"müller": expected["intl"]["author"]["müller"]}
        # mode: {(word, encoding): found?}
        table = {
            "ansi": {("müller", "utf-8"): False, ("müller", "gbk"): True},
            "utf-8": {("müller", "utf-8"): True, ("müller", "gbk"): False},
            "auto": {("müller", "utf-8"): True, ("müller", "gbk"): True},
        }
        for mode, rows in table.items():
            server = Server(base_settings(mode), prepare=with_store(store))
            try:
                for (word, encoding), finds in rows.items():
                    out = yaz_session(server, ["base intl", f"find @attr 1=1003 {word}"], encoding=encoding)
                    n = hits(out)
                    want = found[word] if finds else 0
                    expect(n == [want], f"QueryCharset={mode}, {word} in {encoding}: {n}, not [{want}]", out)
            finally:
                server.stop()
        print("QueryCharset table: every row as expected")
    finally:
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    sys.exit(run_own_cases({"sqlite": case_sqlite, "pg": case_pg, "charset": case_charset}))
