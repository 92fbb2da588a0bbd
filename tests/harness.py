"""What the daemon, MQTT and end-to-end tests share: starting cabinet-sim, a
Mosquitto broker or cabinetd on ports they pick (or free ones), stopping them,
waiting for conditions, and running one test named on the command line.

Paths come from the environment: CABINET_SIM, CABINETD, MOSQUITTO.
Every process started here goes with the test if the test is killed (a CTest
timeout), and every wait is bounded.
"""
import collections
import ctypes
import http.client
import inspect
import json
import os
import random
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "host", "cabinetd", "tests"))
import openapi_check  # noqa: E402

SIM = os.environ.get("CABINET_SIM", "cabinet-sim")
CABINETD = os.environ.get("CABINETD", "cabinetd")
MOSQUITTO = os.environ.get("MOSQUITTO") or shutil.which("mosquitto") or "/usr/sbin/mosquitto"
SANITIZED = os.environ.get("CABINETD_SANITIZED") == "1"
SKIP = 77
OPERATOR = "operator-token-0123456789"
OPERATOR2 = "second-operator-token-0123456789"
VIEWER = "viewer-token-0123456789"


class Failed(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failed(what)


def wait_for(pred, timeout, what, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = pred()
        if v:
            return v
        time.sleep(step)
    raise Failed(f"timed out after {timeout} s waiting for {what}")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def die_with_parent():
    # Runs in each child before exec: if the test is killed, the child goes too.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def spawn(cmd, **kw):
    return subprocess.Popen(cmd, preexec_fn=die_with_parent, **kw)


class SimProcess:
    """One cabinet-sim run with ARGS. Its control channel is a Unix socket in
    workdir unless ARGS name one; its stderr is kept (the last lines) for has()
    and log()."""

    def __init__(self, workdir, *args, name="sim", stdio=False):
        self.name = name
        self.control_path = self.control_port = None
        if "--control-tcp" not in args:
            self.control_path = os.path.join(workdir, "control.sock" if name == "sim" else f"{name}.control")
            args = ("--control-unix", self.control_path, *args)
        pipe = subprocess.PIPE if stdio else subprocess.DEVNULL
        self.proc = spawn([SIM, *args], stdin=pipe, stdout=pipe, stderr=subprocess.PIPE)
        self.stderr = collections.deque(maxlen=10000)
        self.lock = threading.Lock()
        self.lines = []
        self.reader = threading.Thread(target=self._read_stderr, daemon=True)
        self.reader.start()
        wait_for(lambda: self.has("cabinet-sim: ready") or self.proc.poll() is not None, 60,
                 f"cabinet-sim {name}: ready")
        check(self.proc.poll() is None, f"cabinet-sim {name} exited at start:\n" + self.log())
        m = re.search(r"serial on tcp [\d.]+:(\d+)", self.log())
        self.serial_port = self.tcp_port = int(m.group(1)) if m else None
        m = re.search(r"control on tcp [\d.]+:(\d+)", self.log())
        if m:
            self.control_port = int(m.group(1))

    def _read_stderr(self):
        for raw in self.proc.stderr:
            with self.lock:
                self.stderr.append(raw.decode(errors="replace").rstrip("\n"))

    def observe(self, path):
        """Reads the JSON lines the simulator writes on the pty at path into self.lines."""
        fd = os.open(path, os.O_RDONLY | os.O_NOCTTY)
        threading.Thread(target=self._observe, args=(fd,), daemon=True).start()

    def _observe(self, fd):
        buf = b""
        while True:
            try:
                data = os.read(fd, 4096)
            except OSError:
                return
            if not data:
                return
            buf += data
            *done, buf = buf.split(b"\n")
            for raw in done:
                try:
                    self.lines.append(json.loads(raw))
                except ValueError:
                    pass

    def has(self, text):
        with self.lock:
            return any(text in line for line in self.stderr)

    def log(self):
        with self.lock:
            return "\n".join(self.stderr)

    def control(self, command):
        if self.control_port:
            s = socket.create_connection(("127.0.0.1", self.control_port), timeout=10)
        else:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.settimeout(10)
            s.connect(self.control_path)
        with s:
            s.sendall(command.encode() + b"\n")
            reply = b""
            while not reply.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
        reply = reply.decode().strip()
        check(reply.startswith("ok"), f"{self.name}: control {command!r} answered {reply!r}")
        return reply

    def door(self, n):
        """The door's physical state as the status command reports it."""
        m = re.search(rf"door{n}=(\w+),(\w+)", self.control("status"))
        return m.group(1), m.group(2)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self, strict=True):
        """Stops it with SIGTERM; strict: it must go on that, with exit status 0."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                check(not strict, f"cabinet-sim {self.name} did not stop on SIGTERM")
        self.reader.join(timeout=5)
        check(not strict or self.proc.returncode == 0,
              f"cabinet-sim {self.name} exited with {self.proc.returncode}:\n{self.log()}")


class Sim(SimProcess):
    """A simulated board for cabinetd: its serial line on TCP (or a pty), its
    control channel on TCP, a board id and a boot store of its own. With
    observe=True also a pty whose lines the test reads as the ground truth."""

    def __init__(self, workdir, name, observe=False, serial="tcp", board_id=None, flash=True, tcp_port=0):
        self.serial = serial
        self.pty_path = os.path.join(workdir, f"{name}.pty")
        self.board_id = board_id or f"{random.getrandbits(64):016X}"
        # Without a flash file every run starts with an erased boot store: boot 1.
        args = ["--control-tcp", "0", "--board-id", self.board_id]
        if flash:
            args += ["--flash", os.path.join(workdir, f"{name}.flash")]
        if serial == "tcp":
            args += ["--tcp", str(tcp_port)]
        if observe or serial == "pty":
            args += ["--pty", self.pty_path]
        super().__init__(workdir, *args, name=name)
        check(self.serial_port or serial == "pty", f"simulator {name} did not report its port")
        if observe:
            self.observe(self.pty_path)

    def endpoint(self):
        if self.serial == "pty":
            return f"{self.name}={self.pty_path}"
        return f"{self.name}=tcp:127.0.0.1:{self.serial_port}"

    def stop(self, strict=False):
        super().stop(strict)


class Daemon:
    """cabinetd on a port it picks, with an operator, a second operator and a viewer token."""

    def __init__(self, workdir, sims, extra=(), db=None, env=None, program=None):
        self.workdir = workdir
        self.db = db or os.path.join(workdir, "journal.db")
        self.env = {**os.environ, **(env or {})}
        self.tokens = os.path.join(workdir, "tokens")
        # For its owner alone, as cabinetd asks of a token file.
        with open(os.open(self.tokens, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write(f"ops operator {OPERATOR}\nops2 operator {OPERATOR2}\nwall viewer {VIEWER}\n")
        self.args = [program or CABINETD, "--db", self.db, "--listen", "127.0.0.1:0", "--tokens", self.tokens, *extra]
        for s in sims:
            self.args += ["--cabinet", s.endpoint()]
        self.start()

    def start(self):
        self.proc = spawn(self.args, stderr=subprocess.PIPE, text=True, env=self.env)
        self.port = None
        self.log = []
        for line in self.proc.stderr:
            self.log.append(line)
            m = re.search(r"listening on .* port (\d+)", line)
            if m:
                self.port = int(m.group(1))
                break
        check(self.port, "cabinetd did not start: " + "".join(self.log))
        threading.Thread(target=lambda: [self.log.append(line) for line in self.proc.stderr], daemon=True).start()

    def kill(self, sig=signal.SIGKILL):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            self.proc.wait(10)

    def request(self, method, path, token=OPERATOR, body=None, headers=None, timeout=120):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        h = dict(headers or {})
        if token:
            h["Authorization"] = f"Bearer {token}"
        if body is not None and not isinstance(body, (bytes, str)):
            body = json.dumps(body)
            h["Content-Type"] = "application/json"
        conn.request(method, path, body=body, headers=h)
        r = conn.getresponse()
        data = r.read()
        conn.close()
        # Every answer is what the API's document says it is.
        problem = openapi_check.problem(method, path, r.status, r.getheader("Content-Type"), data)
        check(problem is None, problem)
        try:
            return r.status, json.loads(data)
        except ValueError:
            return r.status, data.decode(errors="replace")

    def cabinet(self, name):
        status, body = self.request("GET", f"/api/cabinets/{name}", token=VIEWER)
        check(status == 200, f"status of {name}: {status} {body}")
        return body

    def wait_ready(self, names, timeout=15):
        # Up, a session known and a heartbeat answered: opens are admissible.
        for n in names:
            wait_for(lambda: (lambda c: c["link"] == "up" and c["controller"] and c["controller"]["heartbeat_ok"])(
                self.cabinet(n)), timeout, f"{n} ready")

    def journal(self, sql, args=()):
        db = sqlite3.connect(f"file:{self.db}?mode=ro", uri=True, timeout=10)
        try:
            return db.execute(sql, args).fetchall()
        finally:
            db.close()

    def events(self, token=VIEWER, **query):
        out, after = [], 0
        while True:
            q = "&".join(f"{k}={v}" for k, v in {**query, "after": after, "limit": 1000}.items())
            status, body = self.request("GET", f"/api/events?{q}", token=token)
            check(status == 200, f"events: {status} {body}")
            out += body["events"]
            after = body["next"]
            if not body["more"]:
                return out


class Broker:
    """Mosquitto on a free loopback port with a configuration of its own."""

    def __init__(self, workdir, extra="", persistence=False, port=None):
        """extra: more configuration; with port, it has the listeners, one of them on port."""
        self.port = port or free_port()
        self.conf = os.path.join(workdir, f"mosquitto-{self.port}.conf")
        # As the shipped example configures it: no Nagle delay on small messages.
        lines = ["set_tcp_nodelay true"] + ([] if port else [f"listener {self.port} 127.0.0.1"])
        if os.geteuid() == 0:
            lines.append("user root")  # else it drops to a user that cannot read the test's files
        if persistence:
            lines += ["persistence true", f"persistence_location {workdir}/"]
        if "allow_anonymous" not in extra:
            lines.append("allow_anonymous true")
        with open(self.conf, "w") as f:
            f.write("\n".join(lines) + "\n" + extra)
        self.log = os.path.join(workdir, f"mosquitto-{self.port}.log")
        self.proc = None
        self.start()

    def start(self):
        with open(self.log, "a") as log:
            self.proc = spawn([MOSQUITTO, "-c", self.conf], stdout=subprocess.DEVNULL, stderr=log)

        def up():
            check(self.proc.poll() is None, "mosquitto exited: " + open(self.log).read()[-2000:])
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return True
            except OSError:
                return False
        wait_for(up, 10, "mosquitto listening")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)

    def url(self):
        return f"mqtt://127.0.0.1:{self.port}"


def main(scope, skip=lambda name: None):
    """Runs the test named on the command line among scope's test_ functions.
    A test that takes an argument gets a temporary directory of its own; one
    that returns 77, or for which skip(name) gives a reason, is skipped."""
    tests = {name[5:]: fn for name, fn in scope.items() if name.startswith("test_")}
    if len(sys.argv) != 2 or sys.argv[1] not in tests:
        sys.exit(f"usage: {sys.argv[0]} {{{'|'.join(tests)}}}")
    name = sys.argv[1]
    reason = skip(name)
    if reason:
        print(f"{reason}: skipped")
        sys.exit(SKIP)
    test = tests[name]
    tmp = tempfile.mkdtemp(prefix=f"cabinet-test-{name}-") if inspect.signature(test).parameters else None
    try:
        rc = test(tmp) if tmp else test()
    except Failed as e:
        print(f"FAILED: {e}", file=sys.stderr)
        sys.exit(1)
    finally:
        if tmp:
            shutil.rmtree(tmp, ignore_errors=True)
    sys.exit(rc or 0)
