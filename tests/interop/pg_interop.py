#!/usr/bin/env python3
"""vk9000 on the network back-end (netchan32.dll over PostgreSQL), driven by yaz-client. Every case
starts its own throw-away cluster (scripts/pg_cluster.sh) and copies the demo store into it with
`strata copy`.
  shared   two vk9000 on different ports serve one store: a record inserted through one is found
           and shown byte-identical through the other; both catalogues list "<address>/books"
  parity   the same searches (words, phrases, truncation, CJK substrings, several databases) give
           the same hit counts on the embedded demo store and on its copy in PostgreSQL
  faults   PostgreSQL stopped under an open association ends it (66), the server keeps running and
           logs one line; with PostgreSQL back, a new association works without a restart; /readyz
           turns 503 while PostgreSQL is stopped and 200 again once it is back
  start    a wrong server password and a server that cannot be reached: a clear error and exit 2
           before listening
  killed   vk9000 SIGKILLed while a client streams ES inserts: after a restart the store holds every
           acknowledged record, at most the one insert that was in flight besides, no duplicate,
           and a search finds exactly the records the store holds
  restart  the primary restarted (twice) under four associations searching every 50 ms: each ends
           or carries on with right answers, none hangs; new associations work; the log has one
           line when each outage starts and one when the back-end answers again
  standby  with [Backend] ReadServers naming a hot standby that applies commits 3 s late, searches
           run on the standby (another session sees an insert only after the delay) while the
           session that inserted finds its record at once; with the standby stopped, searches go
           on through the primary, also in an association that was open when it stopped
  cached   the process cache on, two standbys (one applying commits 3 s late) and a second vk9000
           writing to the same primary: a session that inserts reads its own write at once; after
           the other host's insert the first host's cached answer changes within 15 s and never
           goes back; with one standby stopped, searches go on with the primary's counts
Usage: pg_interop.py VK9000 CASE|all. Each yaz-client run is bounded in time."""

import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from es_update import marc, write  # noqa: E402
from vkserver import DEMO_CACHE, VK9000, Server, free_port, hits, run_own_cases, set_ini  # noqa: E402
from yaz_interop import expect, target, yaz  # noqa: E402
from ops_interop import console_port, get, wait_for  # noqa: E402

SOURCE = os.environ.get("VELKAN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
CLUSTER_SCRIPT = os.path.join(SOURCE, "scripts", "pg_cluster.sh")
STRATA = os.path.join(os.path.dirname(VK9000), "strata")
NUMBER = "9000002"


class Cluster:
    """A private PostgreSQL cluster holding the demo store in the database "vkdemo", with a scratch
    folder `work`. Used in a `with` block, it ends on leaving what was registered in `cleanup`
    (latest first: the servers it started, then whatever a case added), then itself and `work`."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="vkpg")
        self.work = tempfile.mkdtemp(prefix="vkpginterop")
        self.cleanup = contextlib.ExitStack()
        self.cleanup.callback(shutil.rmtree, self.work, ignore_errors=True)
        self.cleanup.callback(self.destroy)
        with self.cleanup:  # a cluster that fails to come up is removed at once
            self.start()
            self.cleanup = self.cleanup.pop_all()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup.close()
        return False

    def start(self):
        self.run("start")
        self.env = dict(line.split("=", 1) for line in open(os.path.join(self.dir, "env")).read().split())
        self.conninfo = open(os.path.join(self.dir, "conninfo")).read().strip()
        self.address = f"127.0.0.1:{self.env['PGPORT']}"
        env = dict(os.environ, **self.env)
        subprocess.run(["psql", "-qXd", "postgres", "-c", "CREATE DATABASE vkdemo"], env=env, check=True,
                       capture_output=True, timeout=60)
        Server().stop()  # makes the demo instance once per build tree
        store = os.path.join(DEMO_CACHE, "backend", "vk9000.strata")
        out = subprocess.run([STRATA, "copy", store, f"pg:{self.conninfo} dbname=vkdemo"], capture_output=True,
                             text=True, timeout=300)
        if out.returncode != 0 or "verified" not in out.stdout:
            raise AssertionError(f"strata copy failed:\n{out.stdout}{out.stderr}")

    def run(self, command):
        subprocess.run(["bash", CLUSTER_SCRIPT, command, self.dir], check=True, timeout=120)

    def settings(self, password=None, address=None):
        return [("common", "DBIPAddress", address or self.address), ("Strata", "interface", "netchan32.dll"),
                ("Strata", "DB Instance", "vkdemo"), ("Backend", "ServerUser", self.env["PGUSER"]),
                ("Backend", "ServerPassword", password or self.env["PGPASSWORD"])]

    def server(self, password=None, extra=()):
        return self.track(Server(self.settings(password) + list(extra)))

    def track(self, server):
        """`server`, to be stopped on leaving the `with` block."""
        self.cleanup.callback(server.stop)
        return server

    def destroy(self):
        self.run("destroy")
        for d in getattr(self, "standby_dirs", []):
            subprocess.run(["bash", CLUSTER_SCRIPT, "destroy", d], check=True, timeout=120)

    def add_standby(self, apply_delay):
        """A hot standby of this cluster (its folder in standby_dir); returns its address."""
        self.standby_dir = tempfile.mkdtemp(prefix="vkpgs")
        self.standby_dirs = getattr(self, "standby_dirs", []) + [self.standby_dir]
        subprocess.run(["bash", CLUSTER_SCRIPT, "standby", self.standby_dir, self.dir], check=True, timeout=120)
        env = dict(line.split("=", 1) for line in open(os.path.join(self.standby_dir, "env")).read().split())
        psql = ["psql", "-qXd", "postgres", "-c"]
        run_env = dict(os.environ, **env)
        subprocess.run(psql + [f"ALTER SYSTEM SET recovery_min_apply_delay = '{apply_delay}'"], env=run_env,
                       check=True, capture_output=True, timeout=60)
        subprocess.run(psql + ["SELECT pg_reload_conf()"], env=run_env, check=True, capture_output=True, timeout=60)
        return f"127.0.0.1:{env['PGPORT']}"


class Client:
    """yaz-client fed command by command while a thread collects what it prints."""

    def __init__(self, *commands):
        self.proc = subprocess.Popen(["yaz-client"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self.reader = threading.Thread(target=lambda: self.lines.extend(iter(self.proc.stdout.readline, "")),
                                       daemon=True)
        self.reader.start()
        self.send(*commands)

    def send(self, *commands):
        try:
            self.proc.stdin.write("".join(c + "\n" for c in commands))
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass  # yaz-client has ended

    def text(self):
        return "".join(self.lines)

    def finish(self, seconds):
        """Quits; everything yaz-client printed. Fails when it does not end within `seconds`."""
        self.send("quit")
        try:
            self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError(f"yaz-client hung:\n{self.text()[-3000:]}")
        finally:
            self.reader.join(10)
        return self.text()


def stored_numbers(pg, lowest):
    """Record numbers from `lowest` up in "books" as the store holds them (strata export)."""
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "books.mrc")
        subprocess.run([STRATA, "export", f"pg:{pg.conninfo} dbname=vkdemo", "books", out], check=True,
                       capture_output=True, timeout=120)
        dump = subprocess.run(["yaz-marcdump", out], check=True, capture_output=True, timeout=60).stdout.decode("latin-1")
    return [n for n in map(int, re.findall(r"^001 (\d+)", dump, re.M)) if n >= lowest]


INSERTS, KILL_AFTER, FIRST = 150, 20, 9100001


def case_killed():
    with Cluster() as pg:
        work = pg.work
        killed = pg.server()
        sent = list(range(FIRST, FIRST + INSERTS))
        files = [write(work, f"{n}.mrc", marc(str(n), f"Kestrel flight log {n}")) for n in sent]
        client = Client("auth demo demo", f"open {target(killed)}", "base books",
                        *(f"update insert id{n} <{f}" for n, f in zip(sent, files)))
        wait_for(lambda: client.text().count("Status: done") >= KILL_AFTER, 60, "inserts acknowledged")
        killed.proc.kill()
        killed.proc.wait(10)
        states = re.findall(r"Status: (\w+)", client.finish(30))
        # yaz-client sends an update only when the previous one was answered: at most the one
        # after the last answer was in flight when the server died.
        acked = sent[:len(states)]
        if len(states) < KILL_AFTER or set(states) != {"done"} or len(states) == INSERTS:
            raise AssertionError(f"expected {KILL_AFTER} or more acknowledged inserts and then the kill: {states}")
        s = pg.server()
        stored = stored_numbers(pg, FIRST)
        if len(set(stored)) != len(stored) or not set(acked) <= set(stored) <= set(sent[:len(acked) + 1]):
            raise AssertionError(f"acknowledged {acked[0]}..{acked[-1]}, stored {sorted(stored)}")
        # Present answers at most 40 records a request: page through them.
        pages = [f"show {first}+{min(40, len(stored) - first + 1)}" for first in range(1, len(stored) + 1, 40)]
        out = yaz(s, [f"open {target(s)}", "base books", "find @attr 1=4 kestrel", "format usmarc", *pages],
                  seconds=60)
        found = [int(n) for n in re.findall(r"^001 (\d+)", out, re.M)]
        if hits(out) != [len(stored)] or sorted(found) != sorted(stored):
            raise AssertionError(f"the search finds {hits(out)} records {sorted(found)}, the store holds {sorted(stored)}")


def case_shared():
    with Cluster() as pg:
        work = pg.work
        a, b = pg.server(), pg.server()
        for s in (a, b):
            expect(s.log(), f"{pg.address}/books", "the catalogue lists the remote name")
        record = write(work, "rec.mrc", marc(NUMBER, "Numbat shared catalogue"))
        out = yaz(a, ["auth demo demo", f"open {target(a)}", "base books", f"update insert id1 <{record}"], seconds=30)
        expect(out, "Status: done", "insert through the first server")
        shown = os.path.join(work, "shown.mrc")
        out = yaz(b, [f"open {target(b)}", "base books", "find @attr 1=4 numbat", "format usmarc",
                      f"set_marcdump {shown}", "show 1"], seconds=30)
        if hits(out) != [1]:
            raise AssertionError(f"the second server does not find the record once:\n{out}")
        with open(shown, "rb") as f, open(record, "rb") as g:
            if f.read() != g.read():
                raise AssertionError("the record shown by the second server differs from the one inserted")


PARITY = [  # (databases, query): every kind of term the index answers
    ("books", "@attr 1=4 computer"), ("books", "@attr 1=4 \"how to\""), ("books", "@attr 1=4 comput*"),
    ("books", "@attr 1=1003 smith"), ("books", "@attr 1=4 @and computer history"),
    ("books", "@attr 1=4 zzzznothing"), ("books unimarc", "@attr 1=1016 计算"), ("unimarc", "@attr 1=4 计"),
]


def case_parity():
    from search_interop import yaz as yaz_gbk  # noqa: E402  (sends the script in a chosen encoding)
    with Cluster() as pg:
        local, remote = pg.track(Server()), pg.server()
        for base, query in PARITY:
            counts = []
            for s in (local, remote):
                out = yaz_gbk(s, [f"base {base}", f"find {query}"], encoding="gbk")
                counts.append(hits(out))
            if len(counts[0]) != 1 or counts[0] != counts[1] or (counts[0][0] == 0) != ("nothing" in query):
                raise AssertionError(f"{base} {query}: embedded {counts[0]}, PostgreSQL {counts[1]}")
        # Scan reads the same term index on both engines: the same terms with the same counts.
        for base, start in (("books", "@attr 1=4 comp"), ("books", "@attr 1=1003 a"), ("unimarc", "@attr 1=4 a")):
            lists = [re.findall(r"^[ *] (\S+ \(\d+\))$", yaz_gbk(s, [f"base {base}", f"scan {start}"]), re.M)
                     for s in (local, remote)]
            if not lists[0] or lists[0] != lists[1]:
                raise AssertionError(f"scan {base} {start}: embedded {lists[0]}, PostgreSQL {lists[1]}")


def case_faults():
    with Cluster() as pg:
        s = pg.server(extra=[("Console", "Listen", "127.0.0.1:0")])
        console = console_port(s)
        wait_for(lambda: get(console, "/readyz")[0] == 200, 10, "ready with PostgreSQL up")
        client = subprocess.Popen(["yaz-client"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
        try:
            client.stdin.write(f"open {target(s)}\nbase books\nfind @attr 1=4 computer\n")
            client.stdin.flush()
            time.sleep(2)
            pg.run("stop")
            client.stdin.write("find @attr 1=4 computer\nquit\n")
            client.stdin.flush()
            out, _ = client.communicate(timeout=30)
        finally:
            if client.poll() is None:
                client.kill()
        if len(hits(out)) != 1 or hits(out)[0] < 1:
            raise AssertionError(f"the first search should succeed:\n{out}")
        expect(out, "Target closed connection", "the association ends when PostgreSQL stops")
        wait_for(lambda: get(console, "/readyz")[0] == 503, 10, "still ready with PostgreSQL stopped")
        expect(get(console, "/readyz")[1], "the back-end is not reachable", "readyz says why")
        if s.proc.poll() is not None:
            raise AssertionError("vk9000 ended with PostgreSQL")
        lines = [line for line in s.log().splitlines() if "PostgreSQL server at" in line]
        if len(lines) != 1:
            raise AssertionError("expected one log line about the back-end:\n" + s.log())

        pg.run("resume")
        wait_for(lambda: get(console, "/readyz")[0] == 200, 10, "not ready again with PostgreSQL back")
        out = yaz(s, [f"open {target(s)}", "base books", "find @attr 1=4 computer"], seconds=30)
        if len(hits(out)) != 1 or hits(out)[0] < 1:
            raise AssertionError(f"a new association after PostgreSQL is back should work:\n{out}")


def case_restart():
    with Cluster() as pg:
        s = pg.server(extra=[("Console", "Listen", "127.0.0.1:0")])
        done = threading.Event()
        clients = []

        @pg.cleanup.callback
        def end_clients():
            done.set()
            for client in clients:
                if client.proc.poll() is None:
                    client.proc.kill()

        console = console_port(s)
        find = "find @attr 1=4 computer"
        expected = hits(yaz(s, [f"open {target(s)}", "base books", find], seconds=30))

        def feed(client):  # a search every 50 ms until the end
            while not done.wait(0.05):
                client.send(find)

        for outage in (1, 2):  # the second outage is logged too
            done.clear()
            clients[:] = [Client(f"open {target(s)}", "base books") for _ in range(4)]
            feeders = [threading.Thread(target=feed, args=(c,)) for c in clients]
            for f in feeders:
                f.start()
            time.sleep(1.5)
            pg.run("stop")
            time.sleep(1)
            pg.run("resume")
            wait_for(lambda: get(console, "/readyz")[0] == 200, 15, "ready again with PostgreSQL back")
            time.sleep(1)
            done.set()
            for f in feeders:
                f.join()
            for client in clients:
                out = client.finish(30)  # the session answered or closed: no hang
                if not hits(out) or set(hits(out)) != set(expected):
                    raise AssertionError(f"expected searches answered with {expected} hits:\n{out[-3000:]}")
            if s.proc.poll() is not None:
                raise AssertionError("vk9000 ended with PostgreSQL")
            out = yaz(s, [f"open {target(s)}", "base books", find], seconds=30)
            if hits(out) != expected:
                raise AssertionError(f"a new association after the restart should work:\n{out}")
            lines = [line for line in s.log().splitlines() if "back-end lost" in line or "answers again" in line]
            if len(lines) != 2 * outage or "answers again" not in lines[-1]:
                raise AssertionError(f"expected one line at the start and one at the end of each outage:\n{s.log()}")


def start_error(settings):
    """Runs vk9000 on a copy of the demo instance changed by `settings`, expecting it to end at
    start: its exit code and output."""
    home = tempfile.mkdtemp(prefix="vkinterop")
    try:
        shutil.copytree(DEMO_CACHE, home, dirs_exist_ok=True)
        for section, key, value in settings:
            set_ini(os.path.join(home, "vk9000.ini"), section, key, value)
        out = subprocess.run([VK9000, "--home", home, "--port", str(free_port())], capture_output=True, text=True,
                             timeout=60)
        return out.returncode, out.stdout + out.stderr
    finally:
        shutil.rmtree(home, ignore_errors=True)


def case_start():
    with Cluster() as pg:
        nobody = f"127.0.0.1:{free_port()}"
        for what, settings, needles in [
            ("wrong server password", pg.settings(password="wrong"), ["password authentication failed", pg.address]),
            ("server unreachable", pg.settings(address=nobody), ["not reachable", nobody, "Connection refused"]),
        ]:
            code, out = start_error(settings)
            if code != 2 or "listening on port" in out:
                raise AssertionError(f"{what}: exit {code}, expected 2 before listening:\n{out}")
            for needle in needles:
                expect(out, needle, f"{what}: the start-up error")


def case_standby():
    with Cluster() as pg:
        work = pg.work
        standby = pg.add_standby("3s")
        # Without the process cache: a refill after the insert would wait for the standby's replay
        # or read the primary, and this case shows by the standby's delay that reads go there.
        s = pg.server(extra=[("Backend", "ReadServers", f"{standby}, "), ("Backend", "CacheMegabytes", "0")])
        record = write(work, "rec.mrc", marc(NUMBER, "Quokka standby reading"))
        find = [f"open {target(s)}", "base books", "find @attr 1=4 quokka"]
        out = yaz(s, ["auth demo demo", f"open {target(s)}", "base books", f"update insert id1 <{record}",
                      "find @attr 1=4 quokka"], seconds=30)
        expect(out, "Status: done", "insert on the primary")
        if hits(out) != [1]:
            raise AssertionError(f"the inserting session should read its own write:\n{out}")
        if hits(yaz(s, find, seconds=30)) != [0]:
            raise AssertionError("another session should read the standby, which applies the insert 3 s late")
        time.sleep(4)
        if hits(yaz(s, find, seconds=30)) != [1]:
            raise AssertionError("the standby should have applied the insert by now")
        # An association that read from the standby carries on when it stops.
        client = Client(*find)
        wait_for(lambda: hits(client.text()) == [1], 30, "a search before the standby stops")
        subprocess.run(["bash", CLUSTER_SCRIPT, "stop", pg.standby_dir], check=True, timeout=120)
        client.send(find[-1])
        out = client.finish(30)
        if hits(out) != [1, 1] or "closed connection" in out:
            raise AssertionError(f"the open association should go on through the primary:\n{out}")
        for _ in range(2):
            out = yaz(s, find, seconds=30)
            if hits(out) != [1]:
                raise AssertionError(f"with the standby stopped the primary should answer:\n{out}")
        if s.proc.poll() is not None:
            raise AssertionError("vk9000 ended with the standby")


def case_cached():
    with Cluster() as pg:
        work = pg.work
        late = pg.add_standby("3s")
        late_dir = pg.standby_dir
        prompt = pg.add_standby("0")
        # Host A keeps its process cache (the default) and reads from both standbys; host B, the
        # other writer, reads and writes the primary.
        a = pg.server(extra=[("Backend", "ReadServers", f"{late},{prompt}")])
        b = pg.server()

        def count(server, word):
            found = hits(yaz(server, [f"open {target(server)}", "base books", f"find @attr 1=4 {word}"], seconds=30))
            return found[0] if len(found) == 1 else None

        # A session of host A that inserts reads its own write at once, though a standby is late.
        if count(a, "quokka") != 0:
            raise AssertionError("no quokka before the insert")
        record = write(work, "a.mrc", marc(NUMBER, "Quokka cached reading"))
        out = yaz(a, ["auth demo demo", f"open {target(a)}", "base books", f"update insert id1 <{record}",
                      "find @attr 1=4 quokka"], seconds=30)
        expect(out, "Status: done", "insert through host A")
        if hits(out) != [1]:
            raise AssertionError(f"the inserting session should read its own write:\n{out}")

        # Host A answers "wombat" from its cache; host B inserts one: after B's notice host A's
        # answer changes within a bounded time, and the late standby never brings the old one back.
        if count(a, "wombat") != 0 or count(a, "wombat") != 0:
            raise AssertionError("no wombat before host B's insert")
        record = write(work, "b.mrc", marc("9000003", "Wombat second writer"))
        out = yaz(b, ["auth demo demo", f"open {target(b)}", "base books", f"update insert id1 <{record}"],
                  seconds=30)
        expect(out, "Status: done", "insert through host B")
        wait_for(lambda: count(a, "wombat") == 1, 15, "host A's cached answer after host B's insert")
        for _ in range(4):
            if count(a, "wombat") != 1:
                raise AssertionError("host A went back to the answer from before host B's insert")
            time.sleep(0.5)

        # One of the two standbys stops: host A's searches go on, with host B's (the primary's) counts.
        subprocess.run(["bash", CLUSTER_SCRIPT, "stop", late_dir], check=True, timeout=120)
        for word in ("computer", "history", "wombat"):
            want = count(b, word)
            if want is None or count(a, word) != want:
                raise AssertionError(f"with one standby stopped host A should answer {word} as the primary does")
        for server in (a, b):
            if server.proc.poll() is not None:
                raise AssertionError("a vk9000 ended")


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(run_own_cases(CASES))
