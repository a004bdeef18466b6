#!/usr/bin/env python3
"""Running vk9000 in production, driven as an operator and a client would: Z39.50 over TLS with
yaz-client ssl:, IPv6 (tcp:[::1]), SIGHUP reloads with good and bad files under an open session,
the access log, and /healthz and /readyz. Usage: ops_interop.py VK9000 CASE ("all": every case)."""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vkserver import Server, expect, free_port, hits, run_own_cases, set_ini, yaz_session  # noqa: E402


def make_certificate(folder):
    cert, key = os.path.join(folder, "z.pem"), os.path.join(folder, "z.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def wait_for(predicate, seconds, what):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise AssertionError(what)


class Target:
    """A server's address in another form (ssl:, tcp:[::1]) for yaz_session."""

    def __init__(self, target):
        self.target = target


def case_tls():
    keys = tempfile.mkdtemp(prefix="vktls")
    cert, key = make_certificate(keys)
    tls_port = free_port()
    s = Server([("Server", "TlsPort", str(tls_port)), ("Server", "TlsCertFile", cert),
                ("Server", "TlsKeyFile", key), ("Access", "RequireTlsForPasswords", "1")])
    try:
        out = yaz_session(Target(f"ssl:127.0.0.1:{tls_port}"), ["base books", "find computer", "show 1"])
        expect("Connection accepted" in out, "idPass over TLS accepted", out)
        expect(hits(out) and hits(out)[0] > 0, "search over TLS finds records", out)
        expect("Record type: USmarc" in out, "present over TLS returns a record", out)
        out = yaz_session(s, ["base books", "find computer"])
        expect("Connection rejected" in out, "idPass refused on the plain port", out)
        out = yaz_session(s, ["base books", "find computer"], auth=False)
        expect("Connection accepted" in out and hits(out), "anonymous still served on the plain port", out)
        # A client that connects and never says hello holds its session no longer than the time-out.
        set_ini(os.path.join(s.home, "vk9000.ini"), "Server", "TimeoutEnabled", "1")
        set_ini(os.path.join(s.home, "vk9000.ini"), "Server", "TimeoutSeconds", "1")
        s.proc.send_signal(signal.SIGHUP)
        wait_for(lambda: "reload done" in s.log(), 10, "no reload line")
        c = socket.create_connection(("127.0.0.1", tls_port), timeout=10)
        start = time.time()
        data = c.recv(1)
        c.close()
        expect(data == b"" and time.time() - start < 1 + 1.1 + 1.5, f"stalled handshake held {time.time() - start:.1f}s")
    finally:
        s.stop()
    s = Server([("Server", "TlsPort", str(tls_port)), ("Server", "TlsCertFile", cert),
                ("Server", "TlsKeyFile", key), ("Server", "PlainPort", "0")])
    try:
        out = yaz_session(Target(f"ssl:127.0.0.1:{tls_port}"), ["base books", "find computer"])
        expect(hits(out), "TLS-only server searches", out)
        out = yaz_session(s, ["find computer"], seconds=20)
        expect("Connection accepted" not in out, "no plain port when PlainPort=0", out)
    finally:
        s.stop()


def case_ipv6():
    s = Server()
    try:
        out = yaz_session(Target(f"tcp:[::1]:{s.port}"), ["base books", "find computer", "show 1"])
        expect(hits(out) and "Record type: USmarc" in out, "search and present over IPv6", out)
        expect("connecting from ::1" in s.log(), "the log names the IPv6 client", s.log()[-2000:])
    finally:
        s.stop()
    s = Server(ipfilter="IsFriendsOnly=0\r\nIsEnemyRefuse=1\r\n[friend]\r\n[enemy]\r\n::1/128\r\n")
    try:
        out = yaz_session(Target(f"tcp:[::1]:{s.port}"), ["find computer"], seconds=20)
        expect("Connection accepted" not in out, "an IPv6 enemy range is refused", out)
        out = yaz_session(s, ["base books", "find computer"])
        expect(hits(out), "IPv4 clients still served", out)
    finally:
        s.stop()


def case_reload():
    s = Server()
    try:
        yaz = subprocess.Popen(["yaz-client"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
        yaz.stdin.write(f"auth demo demo\nopen {s.target}\nbase books\nfind computer\n".encode())
        yaz.stdin.flush()
        time.sleep(1.5)
        ini = os.path.join(s.home, "vk9000.ini")
        good = open(ini, encoding="latin-1").read()
        set_ini(ini, "Server", "MaxRequestBytes", "5")
        s.proc.send_signal(signal.SIGHUP)
        wait_for(lambda: "the old settings stay" in s.log(), 10, "bad file not reported")
        open(ini, "w", encoding="latin-1").write(good)
        set_ini(ini, "Server", "ListenAddress", "127.0.0.1")
        open(os.path.join(s.home, "vkipfilt.cfg"), "w").write(
            "IsFriendsOnly=0\r\nIsEnemyRefuse=1\r\n[friend]\r\n[enemy]\r\n127.0.0.0/8\r\n")
        s.proc.send_signal(signal.SIGHUP)
        wait_for(lambda: s.log().count("reload done") >= 2, 10, "good reload not done")
        expect("take effect when the listener restarts" in s.log(), "restart-only keys reported", s.log()[-2000:])
        out = yaz_session(s, ["find computer"], seconds=20)
        expect("Connection accepted" not in out, "the reloaded IP filter refuses new connections", out)
        yaz.stdin.write(b"show 1\nquit\n")
        yaz.stdin.flush()
        text = yaz.communicate(timeout=30)[0].decode("utf-8", "replace")
        expect(hits(text) and "Record type: USmarc" in text, "the open session kept working", text)
    finally:
        s.stop()


def case_accesslog():
    s = Server([("Server", "AccessLog", "1")])
    try:
        out = yaz_session(s, ["base books", "find @attr 1=4 computer", "show 1+2", "scan @attr 1=4 comp",
                              "delete 1"])
        expect(hits(out), "search", out)
        def lines():
            text = "".join(open(os.path.join(s.home, n), encoding="latin-1").read()
                           for n in os.listdir(s.home) if n.endswith(".access.log"))
            return [line.split("\t") for line in text.splitlines()]
        wait_for(lambda: len(lines()) >= 5, 10, "access log lines missing")
        by_op = {f[4]: f for f in lines()}
        search, present = by_op["search"], by_op["present"]
        expect(search[2] == "127.0.0.1" and search[3] == "demo" and search[5] == "books", "search fields", str(search))
        expect(search[6] == "@attr 1=4 computer" and search[7] == str(hits(out)[0]), "query and hits", str(search))
        expect(present[7] == "2" and present[8] == "ok", "records of the present", str(present))
        expect(by_op["scan"][7] == "20" and by_op["delete"][8] == "ok", "scan entries, delete", str(lines()))
        expect(all(len(f) == 10 for f in lines()), "ten fields a line", str(lines()))
    finally:
        s.stop()


def console_port(server):
    deadline = time.time() + 30
    while time.time() < deadline:
        line = server.proc.stdout.readline()
        m = re.search(r"console at http://127\.0\.0\.1:(\d+)/", line)
        if m:
            return int(m.group(1))
    raise AssertionError("no console line")


def get(port, path):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=10) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def case_health():
    s = Server([("Console", "Listen", "127.0.0.1:0")])
    try:
        port = console_port(s)
        expect(get(port, "/healthz") == (200, "ok\n"), "healthz without a login")
        expect(get(port, "/readyz") == (200, "ready\n"), "ready", str(get(port, "/readyz")))
        # The embedded store taken away under the running server, then given back.
        store = os.path.join(s.home, "backend", "vk9000.strata")
        os.rename(store, store + ".away")
        wait_for(lambda: get(port, "/readyz")[0] == 503, 10, "still ready without its store file")
        expect("not reachable" in get(port, "/readyz")[1], "readyz names the back-end", get(port, "/readyz")[1])
        os.rename(store + ".away", store)
        wait_for(lambda: get(port, "/readyz")[0] == 200, 10, "not ready again with the store back")
        set_ini(os.path.join(s.home, "vk9000.ini"), "Server", "ForbidService", "1")
        s.proc.send_signal(signal.SIGHUP)
        wait_for(lambda: get(port, "/readyz")[0] == 503, 10, "forbidden service still ready")
        expect("forbidden" in get(port, "/readyz")[1], "readyz says why")
    finally:
        s.stop()
    # A network back-end that is gone at start keeps vk9000 from starting at all (pg_interop's
    # "start" checks the exit code; its "faults" checks /readyz when the back-end goes later).
    try:
        s = Server([("Console", "Listen", "127.0.0.1:0"), ("Strata", "interface", "netchan32.dll"),
                    ("common", "DBIPAddress", f"127.0.0.1:{free_port()}")])
    except AssertionError as e:
        expect("not reachable" in str(e), "the start-up error names the back-end", str(e))
    else:
        s.stop()
        raise AssertionError("vk9000 started without its back-end")


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(run_own_cases(CASES))
