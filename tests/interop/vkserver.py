"""A vk9000 process for the interop tests: a fresh copy of the demo instance, served on a free
loopback port until stop(). The scripts run as `script.py VK9000 CASE`; the demo instance is made
once per build tree (next to VK9000) and copied for every server."""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

VK9000 = os.path.abspath(sys.argv[1])
DEMO_CACHE = os.path.join(os.path.dirname(VK9000), "interop-demo")
DEMO_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "data", "demo")


def demo_stamp():
    """What the cached demo instance was made from: the demo data's files and the vk9000 build."""
    import hashlib
    digest = hashlib.sha1(str(os.path.getmtime(VK9000)).encode())
    for folder, dirs, files in sorted(os.walk(DEMO_SOURCE)):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            digest.update(os.path.relpath(path, DEMO_SOURCE).encode())
            with open(path, "rb") as f:
                digest.update(f.read())
    return digest.hexdigest()


def yaz_session(server, commands, auth=True, charset=None, seconds=60, encoding="utf-8"):
    """Runs yaz-client: `auth demo demo` unless auth is False, `charset` when given, `open`, then
    `commands`. The script is sent in `encoding` (what the user's terminal would send)."""
    pre = (["auth demo demo"] if auth else []) + ([f"charset {charset}"] if charset else [])
    script = "".join(c + "\n" for c in pre + [f"open {server.target}"] + commands) + "quit\n"
    out = subprocess.run(["yaz-client"], input=script.encode(encoding), capture_output=True, timeout=seconds)
    return (out.stdout + out.stderr).decode("utf-8", "replace")


def hits(text):
    """The hit counts yaz-client printed, in order."""
    return [int(n) for n in re.findall(r"Number of hits: (\d+)", text)]


def expect(cond, what, text=""):
    if not cond:
        raise AssertionError(f"{what}\n--- output ---\n{text[-3000:]}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def set_ini(path, section, key, value):
    """Sets `key` of `[section]` in an ini file, adding the key or the section when missing."""
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


def wait_listening(proc, seconds):
    """The lines vk9000 printed before it listened."""
    deadline = time.time() + seconds
    lines = []
    while time.time() < deadline:
        line = proc.stdout.readline()
        if not line:
            raise AssertionError("vk9000 ended before listening:\n" + "".join(lines))
        if "listening on port" in line:
            return lines
        lines.append(line)
    raise AssertionError("vk9000 did not start listening in time")


class Server:
    """vk9000 serving a fresh copy of the demo instance. `settings` are (section, key, value)
    changes to vk9000.ini, `ipfilter` the text of vkipfilt.cfg, `env_extra` more environment,
    `prepare` a function of the instance folder run before the server starts."""

    def __init__(self, settings=(), ipfilter=None, env_extra=None, prepare=None):
        stamp_file, stamp = os.path.join(DEMO_CACHE, ".made-from"), demo_stamp()
        made = open(stamp_file).read() if os.path.exists(stamp_file) else ""
        if made != stamp or not os.path.exists(os.path.join(DEMO_CACHE, "vk9000.ini")):
            shutil.rmtree(DEMO_CACHE, ignore_errors=True)
            make = subprocess.Popen([VK9000, "--demo", DEMO_CACHE, "--port", str(free_port())],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            wait_listening(make, 300)
            make.send_signal(signal.SIGTERM)
            make.wait(30)
            with open(stamp_file, "w") as f:
                f.write(stamp)
        self.home = tempfile.mkdtemp(prefix="vkinterop")
        shutil.copytree(DEMO_CACHE, self.home, dirs_exist_ok=True)
        ini = os.path.join(self.home, "vk9000.ini")
        for section, key, value in settings:
            set_ini(ini, section, key, value)
        if ipfilter is not None:
            open(os.path.join(self.home, "vkipfilt.cfg"), "w").write(ipfilter)
        if prepare is not None:
            prepare(self.home)
        # The host keeps result-set files in the instance's tmp/ folder.
        self.tmp = os.path.join(self.home, "tmp")
        self.port = free_port()
        self.target = f"tcp:127.0.0.1:{self.port}"
        env = dict(os.environ)
        env.update(env_extra or {})
        self.proc = subprocess.Popen([VK9000, "--home", self.home, "--port", str(self.port)],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        self.startup = "".join(wait_listening(self.proc, 30))

    def log(self):
        """The daily log files' text."""
        text = ""
        for name in os.listdir(self.home):
            if name.endswith(".log"):
                text += open(os.path.join(self.home, name), encoding="latin-1").read()
        return text

    def result_set_files(self):
        return os.listdir(self.tmp) if os.path.isdir(self.tmp) else []

    def stop(self):
        """Ends vk9000 with SIGTERM. Fails when it does not end, or when it was running and does
        not exit with 0 (a crash or a sanitizer's report on the way out)."""
        running = self.proc.poll() is None
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError("vk9000 did not stop on SIGTERM")
        finally:
            shutil.rmtree(self.home, ignore_errors=True)
        if running and self.proc.returncode != 0:
            raise AssertionError(f"vk9000 exited with {self.proc.returncode} on SIGTERM:\n{self.proc.stdout.read()[-3000:]}")


def run_cases(cases, own_server=(), server_env=None):
    """Runs the case named by argv[2] ("all": every case) of `cases` (name -> function of a
    Server), each on a fresh demo server unless it is in `own_server` (then it gets None and makes
    its own). Reports every case; the exit code is 1 when one failed."""
    names = list(cases) if sys.argv[2] == "all" else [sys.argv[2]]
    failed = 0
    for name in names:
        server = None if name in own_server else Server(env_extra=(server_env or {}).get(name))
        try:
            cases[name](server)
            print(f"PASS {name}")
        except Exception as e:  # report every case, fail at the end
            failed += 1
            print(f"FAIL {name}: {e}")
        finally:
            if server:
                server.stop()
    return 1 if failed else 0


def run_own_cases(cases):
    """run_cases for cases that start their own servers (functions of no argument)."""
    return run_cases({name: (lambda _server, fn=fn: fn()) for name, fn in cases.items()}, own_server=cases)
