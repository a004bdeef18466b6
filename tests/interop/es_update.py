#!/usr/bin/env python3
"""yaz-client's `update` (Extended Services Update) against vk9000 --demo: insert, replace and
delete of a record in "books" seen through find and show, and the requests that must change
nothing (anonymous, unknown database, `update update`, a malformed record).
Usage: es_update.py VK9000 [CASE|all]. Each yaz-client run is bounded in time."""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vkserver import hits, run_own_cases  # noqa: E402
from yaz_interop import Server, expect, target, yaz  # noqa: E402

NUMBER = "9000001"  # far above the demo store's records


def marc(number, title):
    """An ISO 2709 record: 001 number, 245 $a title."""
    fields = [("001", number), ("245", "10\x1fa" + title)]
    directory, data = "", ""
    for tag, text in fields:
        directory += f"{tag}{len(text) + 1:04d}{len(data):05d}"
        data += text + "\x1e"
    directory += "\x1e"
    data += "\x1d"
    base = 24 + len(directory)
    leader = f"{base + len(data):05d}nam  22{base:05d} a 4500"
    return (leader + directory + data).encode("ascii")


def write(folder, name, content):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(content)
    return path


def session(s, commands, user=True):
    head = (["auth demo demo"] if user else []) + [f"open {target(s)}", "base books"]
    return yaz(s, head + commands, seconds=30)


def case_flow():
    s = Server()
    work = tempfile.mkdtemp(prefix="vkesinterop")
    try:
        first = write(work, "first.mrc", marc(NUMBER, "Quokka field handbook"))
        second = write(work, "second.mrc", marc(NUMBER, "Wombat burrow atlas"))
        dump = os.path.join(work, "shown.mrc")
        out = session(s, [f"update insert id1 <{first}", "find @attr 1=4 quokka", "format usmarc",
                          f"set_marcdump {dump}", "show 1"])
        expect(out, "Status: done", "insert acknowledged")
        if hits(out) != [1]:
            raise AssertionError(f"inserted record not found once:\n{out}")
        with open(dump, "rb") as f:
            if f.read() != open(first, "rb").read():
                raise AssertionError("shown record differs from the inserted one")

        out = session(s, [f"update replace id1 <{second}", "find @attr 1=4 quokka", "find @attr 1=4 wombat"])
        expect(out, "Status: done", "replace acknowledged")
        if hits(out) != [0, 1]:
            raise AssertionError(f"replace not reflected by searches:\n{out}")

        out = session(s, [f"update delete id1 <{second}", "find @attr 1=4 wombat"])
        expect(out, "Status: done", "delete acknowledged")
        if hits(out) != [0]:
            raise AssertionError(f"deleted record still found:\n{out}")
    finally:
        s.stop()


def case_refusals():
    s = Server()
    work = tempfile.mkdtemp(prefix="vkesinterop")
    try:
        rec = write(work, "rec.mrc", marc(NUMBER, "Platypus refusal notes"))
        bad = write(work, "bad.mrc", b"00042nam  2200099 a 4500 not a record\x1d")
        checks = [
            ("anonymous", [f"update insert id1 <{rec}"], False),
            ("unknown database", ["base nosuch", f"update insert id1 <{rec}", "base books"], True),
            ("specialUpdate", [f"update update id1 <{rec}"], True),
            ("malformed record", [f"update insert id1 <{bad}"], True),
        ]
        for what, commands, user in checks:
            out = session(s, commands + ["find @attr 1=4 platypus"], user)
            expect(out, "Status: failure", what)
            if "Status: done" in out or hits(out) != [0]:
                raise AssertionError(f"{what} changed the database:\n{out}")
    finally:
        s.stop()


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(run_own_cases(CASES))
