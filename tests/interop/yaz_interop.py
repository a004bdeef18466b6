#!/usr/bin/env python3
"""yaz-client against the real vk9000: Init (anonymous, open, idPass, bad logins), UTF-8
negotiation, Close, the enemy list and the idle time-out. Usage: yaz_interop.py VK9000 CASE
where CASE is one test name below or "all". Each case is bounded in time."""

import os
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vkserver import Server, run_own_cases  # noqa: E402


def yaz(server, commands, args=(), apdu=None, seconds=20):
    cmd = ["yaz-client"] + list(args)
    if apdu:
        cmd += ["-a", apdu]
    script = "".join(c + "\n" for c in commands) + "quit\n"
    out = subprocess.run(cmd, input=script, capture_output=True, text=True, timeout=seconds)
    return out.stdout + out.stderr


def target(server):
    return f"tcp:127.0.0.1:{server.port}"


def expect(text, needle, what):
    if needle not in text:
        raise AssertionError(f"{what}: {needle!r} not in output:\n{text}")


def case_anonymous():
    s = Server()
    try:
        expect(yaz(s, [f"open {target(s)}"]), "Connection accepted", "anonymous allowed")
    finally:
        s.stop()
    s = Server([("Access", "AllowAnonymous", "0")])
    try:
        out = yaz(s, [f"open {target(s)}", "show 1"])
        expect(out, "Connection rejected", "anonymous not allowed")
        expect(out, "Target closed connection", "refused association closed")
    finally:
        s.stop()


def case_credentials():
    s = Server([("Access", "AllowAnonymous", "0"), ("Access", "BadLoginAction", "1")])
    try:
        expect(yaz(s, [], args=["-u", "demo/demo", target(s)]), "Connection accepted", "open form")
        expect(yaz(s, ["auth demo demo", f"open {target(s)}"]), "Connection accepted", "idPass form")
        out = yaz(s, ["auth demo wrong", f"open {target(s)}", "show 1"])
        expect(out, "Connection rejected", "wrong password refused")
        expect(out, "Target closed connection", "refused association closed")
    finally:
        s.stop()
    s = Server([("Access", "AllowAnonymous", "0"), ("Access", "BadLoginAction", "0")])
    try:
        expect(yaz(s, ["auth demo wrong", f"open {target(s)}"]), "Connection accepted", "fallback")
    finally:
        s.stop()


def case_charset():
    s = Server()
    try:
        out = yaz(s, ["charset UTF-8", f"open {target(s)}"])
        expect(out, "Connection accepted", "init with negotiation")
        expect(out, "Accepted character set : UTF-8", "UTF-8 negotiated")
    finally:
        s.stop()


def case_close():
    s = Server()
    apdu = tempfile.mktemp(prefix="vkapdu")
    try:
        out = yaz(s, [f"open {target(s)}", "close"], apdu=apdu)
        expect(out, "Target has closed the association", "close answered")
        log = open(apdu).read()
        expect(log, "closeReason 9", "closeReason of the answer")
    finally:
        s.stop()
        if os.path.exists(apdu):
            os.remove(apdu)


def case_enemy():
    cfg = "IsFriendsOnly=0\r\nIsEnemyRefuse=1\r\n[friend]\r\n[enemy]\r\n127.0.0.1\r\n"
    s = Server(ipfilter=cfg)
    try:
        c = socket.create_connection(("127.0.0.1", s.port), timeout=5)
        start = time.time()
        data = c.recv(1)
        c.close()
        if data != b"" or time.time() - start > 1.0:
            raise AssertionError("enemy connection was not closed at once")
        out = yaz(s, [f"open {target(s)}"])
        if "Connection accepted" in out:
            raise AssertionError("enemy was served:\n" + out)
        if "connecting from 127.0.0.1" in s.log():
            raise AssertionError("a session was opened for an enemy address")
    finally:
        s.stop()


def case_timeout():
    s = Server([("Server", "TimeoutEnabled", "1"), ("Server", "TimeoutSeconds", "2")])
    try:
        c = socket.create_connection(("127.0.0.1", s.port), timeout=10)
        start = time.time()
        data = c.recv(1)  # the server closes the idle association
        elapsed = time.time() - start
        c.close()
        if data != b"" or elapsed > 2 + 1.1 + 1.5:
            raise AssertionError(f"idle close after {elapsed:.2f}s (data {data!r})")
    finally:
        s.stop()
    s = Server([("Server", "TimeoutEnabled", "0"), ("Server", "TimeoutSeconds", "1")])
    try:
        c = socket.create_connection(("127.0.0.1", s.port), timeout=4)
        try:
            c.recv(1)
            raise AssertionError("closed although the time-out is off")
        except socket.timeout:
            pass
        c.close()
    finally:
        s.stop()


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    sys.exit(run_own_cases(CASES))
