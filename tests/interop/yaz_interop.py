#!/usr/bin/env python3
"""yaz-client against the real vk9000: Init (anonymous, open, idPass, bad logins), UTF-8
negotiation, Close, the enemy list and the idle time-out. Usage: yaz_interop.py VK9000 CASE
where CASE is one test name below or "all". Each case is bounded in time."""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

VK9000 = sys.argv[1]
DEMO_CACHE = os.path.join(os.path.dirname(VK9000), "interop-demo")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def set_ini(path, section, key, value):
    lines = open(path, encoding="latin-1").read().splitlines()
    out, current, done = [], None, False
    for line in lines:
        m = re.match(r"\[(.*)\]", line)
        if m:
            if current == section and not done:
                out.append(f"{key}={value}")
                done = True
            current = m.group(1)
        elif current == section and line.split("=", 1)[0] == key:
            line, done = f"{key}={value}", True
        out.append(line)
    if not done:
        if current != section:
            out.append(f"[{section}]")
        out.append(f"{key}={value}")
    open(path, "w", encoding="latin-1").write("\n".join(out) + "\n")


class Server:
    """A vk9000 serving a fresh copy of the demo instance on a free loopback port."""

    def __init__(self, settings=(), ipfilter=None):
        if not os.path.exists(os.path.join(DEMO_CACHE, "vk9000.ini")):
            shutil.rmtree(DEMO_CACHE, ignore_errors=True)
            make = subprocess.Popen([VK9000, "--demo", DEMO_CACHE, "--port", str(free_port())],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            self._wait_listening(make, 180)
            make.send_signal(signal.SIGTERM)
            make.wait(30)
        self.home = tempfile.mkdtemp(prefix="vkinterop")
        shutil.copytree(DEMO_CACHE, self.home, dirs_exist_ok=True)
        ini = os.path.join(self.home, "vk9000.ini")
        for section, key, value in settings:
            set_ini(ini, section, key, value)
        if ipfilter is not None:
            open(os.path.join(self.home, "vkipfilt.cfg"), "w").write(ipfilter)
        self.port = free_port()
        self.proc = subprocess.Popen([VK9000, "--home", self.home, "--port", str(self.port)],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self._wait_listening(self.proc, 30)

    @staticmethod
    def _wait_listening(proc, seconds):
        deadline = time.time() + seconds
        while time.time() < deadline:
            line = proc.stdout.readline()
            if not line:
                raise AssertionError("vk9000 ended before listening")
            if "listening on port" in line:
                return
        raise AssertionError("vk9000 did not start listening in time")

    def log(self):
        text = ""
        for name in os.listdir(self.home):
            if name.endswith(".log"):
                text += open(os.path.join(self.home, name), encoding="latin-1").read()
        return text

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError("vk9000 did not stop on SIGTERM")
        shutil.rmtree(self.home, ignore_errors=True)


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
    wanted = sys.argv[2]
    for name, fn in CASES.items():
        if wanted in ("all", name):
            fn()
            print(f"ok {name}")
