#!/usr/bin/env python3
"""cabinetd on a real Mosquitto broker, with real simulators.

Usage: mqtt_test.py TEST   (CABINETD, CABINET_SIM and MOSQUITTO name the programs)
Each test starts its own broker on a free loopback port with its own config,
and stops it. Exit 77 skips a test (slow ones in a sanitizer build).
"""
import collections
import json
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests"))
from harness import OPERATOR, SANITIZED, Broker, Daemon, Sim, check, free_port, main, wait_for  # noqa: E402
from daemon_test import open_door, raise_fd_limit  # noqa: E402

import paho.mqtt.client as mqtt  # noqa: E402

DIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dist", "mosquitto")


class Client:
    """A test's MQTT client: records every message it receives."""

    def __init__(self, port, topics=(), client_id=None, clean=True, user=None, password=None, expect_refusal=False):
        self.msgs = []
        self.lock = threading.Lock()
        self.ready = threading.Event()
        self.refused = None
        self.topics = list(topics)
        # paho 2 asks which callback signatures the caller uses; 1.x has no such argument.
        version = (mqtt.CallbackAPIVersion.VERSION1,) if hasattr(mqtt, "CallbackAPIVersion") else ()
        self.c = mqtt.Client(*version, client_id=client_id or f"test-{random.getrandbits(40):x}", clean_session=clean)
        if user:
            self.c.username_pw_set(user, password)
        self.c.on_connect = self._on_connect
        self.c.on_subscribe = lambda *a: self.ready.set()
        self.c.on_message = self._on_message
        self.c.reconnect_delay_set(0.1, 0.5)
        self.c.connect("127.0.0.1", port, keepalive=10)
        self.c.loop_start()
        if expect_refusal:
            wait_for(lambda: self.refused is not None, 5, "connection refused")
        else:
            check(self.ready.wait(5), "test client connected and subscribed")

    def _on_connect(self, c, userdata, flags, rc):
        if rc != 0:
            self.refused = rc
            c.disconnect()
            return
        if self.topics:
            c.subscribe([(t, 1) for t in self.topics])
        else:
            self.ready.set()

    def _on_message(self, c, userdata, m):
        with self.lock:
            self.msgs.append((m.topic, m.payload.decode(errors="replace"), bool(m.retain), time.time()))

    def messages(self, topic=None, since=0):
        with self.lock:
            return [m for m in self.msgs[since:] if topic is None or m[0] == topic]

    def mark(self):
        with self.lock:
            return len(self.msgs)

    def publish(self, topic, payload, retain=False):
        self.c.publish(topic, payload, qos=1, retain=retain).wait_for_publish()

    def stop(self):
        self.c.loop_stop()
        self.c.disconnect()


def board(d, name):
    return d.cabinet(name)["session_id"][:16]


def last_payload(client, topic):
    m = client.messages(topic)
    return m[-1][1] if m else None


def result_for(client, prefix, request_id, timeout=15, since=0):
    def find():
        for t, p, _, _ in client.messages(prefix + "result", since):
            r = json.loads(p)
            if r.get("request_id") == request_id:
                return r
    return wait_for(find, timeout, f"result for {request_id}")


def journal_events(d, cabinet):
    return [(s, q) for s, q in d.journal(
        "SELECT session_id, event_seq FROM journal WHERE kind='event' AND cabinet=? ORDER BY cursor", (cabinet,))]


def received_events(client, prefix):
    """Events at the subscriber, deduplicated by (session, seq) as a subscriber
    must, in the order of first arrival; and how many came twice."""
    seen, out, dups = set(), [], 0
    for _, p, _, _ in client.messages(prefix + "event"):
        e = json.loads(p)
        key = (e["session_id"], e["seq"])
        if key in seen:
            dups += 1
            continue
        seen.add(key)
        out.append(key)
    return out, dups


def quick_doors(sims, after, open_for):
    """Every door of each simulator opens after and stays open for so many ms."""
    for s in sims:
        for door in range(1, 9):
            s.control(f"door {door} open-after {after}")
            s.control(f"door {door} open-for {open_for}")


class Rig:
    """A broker, simulators and cabinetd instances, all stopped on the way out."""

    def __init__(self, persistence=False, broker_extra=""):
        self.dir = tempfile.TemporaryDirectory(prefix="cabinetd-mqtt-")
        self.broker = Broker(self.dir.name, broker_extra, persistence)
        self.sims, self.daemons, self.clients = [], [], []

    def sim(self, name, board_id=None):
        s = Sim(self.dir.name, name, board_id=board_id)
        self.sims.append(s)
        return s

    def daemon(self, sims, *extra):
        sub = os.path.join(self.dir.name, f"d{len(self.daemons)}")
        os.makedirs(sub)
        d = Daemon(sub, sims, extra)
        self.daemons.append(d)
        return d

    def client(self, *a, **kw):
        c = Client(self.broker.port, *a, **kw)
        self.clients.append(c)
        return c

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for c in self.clients:
            c.stop()
        for d in self.daemons:
            d.kill(signal.SIGTERM)
        for s in self.sims:
            s.stop()
        self.broker.stop()
        if exc[0]:
            for i, d in enumerate(self.daemons):
                sys.stderr.write(f"cabinetd {i} log:\n" + "".join(d.log[-30:]))
        self.dir.cleanup()


# --- tests ------------------------------------------------------------------

def test_fleet():
    if SANITIZED:
        return 77
    with Rig() as rig:
        sims = [rig.sim(n) for n in "abcd"]
        sub = rig.client(["tessaro/#"])
        d1 = rig.daemon(sims[:2], "--mqtt", rig.broker.url(), "--mqtt-commands")
        d2 = rig.daemon(sims[2:], "--mqtt", rig.broker.url(), "--mqtt-commands")
        d1.wait_ready("ab")
        d2.wait_ready("cd")
        prefix = {n: f"tessaro/{board(d, n)}/" for d, names in ((d1, "ab"), (d2, "cd")) for n in names}
        for n, p in prefix.items():
            wait_for(lambda: last_payload(sub, p + "availability") == "online", 10, f"{n} online")

        # Every event of every cabinet reaches the subscriber, in the journal's order.
        for i, n in enumerate(prefix):
            open_door((d1, d2)[i // 2], n, i + 1, body={"pulse_ms": 300})
        for d, names in ((d1, "ab"), (d2, "cd")):
            for n in names:
                wait_for(lambda: len(journal_events(d, n)) > 2 and received_events(sub, prefix[n])[0] == journal_events(d, n),
                         20, f"every event of {n}")

        # Killing one cabinetd: the will takes its cabinets offline, the others stay.
        mark = sub.mark()
        d1.kill(signal.SIGKILL)
        for n in "ab":
            wait_for(lambda: last_payload(sub, prefix[n] + "availability") == "offline", 15, f"{n} offline by the will")
        time.sleep(1)
        for n in "cd":
            check(not sub.messages(prefix[n] + "availability", mark), f"{n} was touched: {sub.messages(prefix[n] + 'availability', mark)}")
            check(last_payload(sub, prefix[n] + "availability") == "online", f"{n} not online")


def keep_busy(d, names):
    """Opens a door of each cabinet every 0.3 s, door after door, until the
    event it returns is cleared; the threads doing it."""
    busy = threading.Event()
    busy.set()

    def opens(name):
        door = 0
        while busy.is_set():
            door = door % 8 + 1
            try:
                open_door(d, name, door)
            except OSError:
                pass  # cabinetd is being restarted
            time.sleep(0.3)
    workers = [threading.Thread(target=opens, args=(n,), daemon=True) for n in names]
    for w in workers:
        w.start()
    return busy, workers


def outage(kill_daemon):
    if SANITIZED:
        return 77
    # Long enough for events to wait in the journal and for the bridge to
    # back off more than once; more events than fit in the bridge's window
    # are the unit test's (MqttBridgeTest).
    seconds = float(os.environ.get("MQTT_OUTAGE_S", "3"))
    with Rig(persistence=True) as rig:
        sims = [rig.sim(n) for n in "ab"]
        quick_doors(sims, 100, 300)
        # A subscriber whose session the broker keeps, so that it misses
        # nothing published while it reconnects.
        sub = rig.client(["tessaro/+/event"], client_id="outage-subscriber", clean=False)
        d = rig.daemon(sims, "--mqtt", rig.broker.url())
        d.wait_ready("ab")
        prefix = {n: f"tessaro/{board(d, n)}/" for n in "ab"}

        busy, workers = keep_busy(d, "ab")
        for n in "ab":
            wait_for(lambda: received_events(sub, prefix[n])[0], 10, f"{n}'s events before the outage")
        rig.broker.stop()
        t0 = time.monotonic()
        if kill_daemon:
            time.sleep(seconds / 3)
            d.kill(signal.SIGKILL)
            time.sleep(0.5)
            d.start()
            d.wait_ready("ab")
        time.sleep(max(0.0, seconds - (time.monotonic() - t0)))
        during = {n: len(journal_events(d, n)) for n in "ab"}
        rig.broker.start()
        # The cabinets stay busy until events made since the broker came back
        # reach the subscriber: new events and the ones held meet on the way.
        for n in "ab":
            wait_for(lambda: len(received_events(sub, prefix[n])[0]) > during[n], 30,
                     f"{n}'s events from after the outage")
        busy.clear()
        for w in workers:
            w.join()

        dups = 0
        for n in "ab":
            journal = journal_events(d, n)
            check(len(journal) > during[n] > 5, f"{n}: too few events to show anything: {len(journal)}")
            # The same list in the same order: nothing lost, nothing reordered.
            wait_for(lambda: received_events(sub, prefix[n])[0] == journal, 30, f"every event of {n} after the outage")
            dups += received_events(sub, prefix[n])[1]
        print(f"events: {sum(len(journal_events(d, n)) for n in 'ab')}, duplicates dropped by (session, seq): {dups}")


def test_broker_outage():
    return outage(kill_daemon=False)


def test_broker_outage_with_sigkill():
    return outage(kill_daemon=True)


def held_connections(d, n):
    """n HTTP connections that cabinetd holds, idle: each asked once with a
    token, and keeps its place (and its descriptor in cabinetd) while silent."""
    held = []
    for _ in range(n):
        s = socket.create_connection(("127.0.0.1", d.port))
        s.sendall(f"GET /api/whoami HTTP/1.1\r\nHost: 127.0.0.1:{d.port}\r\n"
                  f"Authorization: Bearer {OPERATOR}\r\n\r\n".encode())
        held.append(s)
    for s in held:
        s.settimeout(10)
        check(s.recv(16).startswith(b"HTTP/1.1 200"), "an idle connection's request was not answered")
    return held


def fds_of(pid):
    return {int(f): os.readlink(f"/proc/{pid}/fd/{f}") for f in os.listdir(f"/proc/{pid}/fd")
            if os.path.exists(f"/proc/{pid}/fd/{f}")}


def broker_fds(pid, port):
    """The descriptors of pid's TCP connections to port."""
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for row in f.readlines()[1:]:
                cols = row.split()
                if int(cols[2].rsplit(":", 1)[1], 16) == port:
                    inodes.add(f"socket:[{cols[9]}]")
    return sorted(fd for fd, target in fds_of(pid).items() if target in inodes)


def fill_holes(d, held):
    """More held connections until cabinetd has no free descriptor below 1024."""
    for _ in range(10):
        open_fds = fds_of(d.proc.pid)
        holes = [n for n in range(max(open_fds)) if n not in open_fds and n < 1024]
        if not holes:
            return
        held += held_connections(d, len(holes))


def availability_seen_afresh(port, prefixes, timeout=20):
    """Whether every prefix's retained availability on the broker says online,
    as a new subscriber sees it: one in a process of its own, since this one
    holds so many sockets that paho's select() could not take its own."""
    code = ("import json, sys, time, paho.mqtt.client as m\n"
            "v = (m.CallbackAPIVersion.VERSION1,) if hasattr(m, 'CallbackAPIVersion') else ()\n"
            "seen = {}\n"
            "c = m.Client(*v)\n"
            "c.on_connect = lambda c, *a: c.subscribe('tessaro/+/availability', 1)\n"
            "c.on_message = lambda c, u, msg: seen.__setitem__(msg.topic, msg.payload.decode())\n"
            "c.connect('127.0.0.1', int(sys.argv[1]), 10)\n"
            "c.loop_start()\n"
            "time.sleep(1)\n"
            "c.loop_stop()\n"
            "print(json.dumps(seen))\n")
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        out = subprocess.run([sys.executable, "-c", code, str(port)], capture_output=True, text=True, timeout=30)
        if out.returncode == 0:
            seen = json.loads(out.stdout)
            if all(seen.get(p + "availability") == "online" for p in prefixes):
                return True
        time.sleep(0.2)
    return False


def test_broker_restart_beside_idle_connections():
    # While 1100 idle HTTP connections are open, the broker restarts: the
    # broker sockets cabinetd opens again are past descriptor 1023, which no
    # select() could wait on, and every cabinet comes back online.
    if SANITIZED:
        return 77
    check(raise_fd_limit(2500), "cannot hold 1100 sockets here")
    with Rig() as rig:
        sims = [rig.sim(n) for n in "abc"]
        sub = rig.client(["tessaro/+/availability"])
        d = rig.daemon(sims, "--mqtt", rig.broker.url(), "--max-token-connections", "1200", "--max-viewer-connections", "1024",
                       "--request-timeout-s", "120")
        d.wait_ready("abc")
        prefix = {n: f"tessaro/{board(d, n)}/" for n in "abc"}
        for n, p in prefix.items():
            wait_for(lambda: last_payload(sub, p + "availability") == "online", 10, f"{n} online")
        rig.broker.stop()
        wait_for(lambda: "".join(d.log).count("mqtt: disconnected") >= 3, 10, "the connections lost")
        held = held_connections(d, 1100)
        try:
            # Its reconnections' descriptors come from above the connections'.
            fill_holes(d, held)
            rig.broker.start()
            check(availability_seen_afresh(rig.broker.port, prefix.values()), "the cabinets online again")
            fds = broker_fds(d.proc.pid, rig.broker.port)
            check(len(fds) == 3 and min(fds) > 1023, f"the broker connections' descriptors: {fds}")
            check("Invalid function arguments" not in "".join(d.log), "libmosquitto refused a descriptor")
        finally:
            for s in held:
                s.close()


USERS = {"cabinetd": "cabinetd-secret", "operator": "operator-secret", "viewer": "viewer-secret"}


def shipped_broker(rig):
    """The shipped example, with this test's ports and files: a listener for
    cabinetd and one for everyone else. cabinetd's listener's port."""
    service_port, public_port = free_port(), free_port()
    files = {n: os.path.join(rig.dir.name, n) for n in ("service.passwd", "clients.passwd")}
    for u, p in USERS.items():
        f = files["service.passwd" if u == "cabinetd" else "clients.passwd"]
        subprocess.run(["mosquitto_passwd", "-b"] + ([] if os.path.exists(f) else ["-c"]) + [f, u, p], check=True)
    conf = open(os.path.join(DIST, "cabinetd.conf")).read()
    for old, new in [("listener 1884", f"listener {service_port} 127.0.0.1"),
                     ("listener 1883", f"listener {public_port} 127.0.0.1"),
                     ("/etc/mosquitto/cabinetd-service.passwd", files["service.passwd"]),
                     ("/etc/mosquitto/cabinetd-clients.passwd", files["clients.passwd"]),
                     ("/etc/mosquitto/conf.d/cabinetd.acl", os.path.abspath(os.path.join(DIST, "cabinetd.acl")))]:
        check(old in conf, f"the shipped config has no {old}")
        conf = conf.replace(old, new)
    rig.broker.stop()
    rig.broker = Broker(rig.dir.name, conf + "\n", port=public_port)
    return service_port


def an_operators_open_is_carried_out_once(d, operator, p):
    """An operator's open goes through, journalled under its request id; the
    same request id again is answered, not carried out twice."""
    operator.publish(p + "door/1/open/set", json.dumps({"request_id": "from-operator", "pulse_ms": 300}))
    r = result_for(operator, p, "from-operator")
    check(r["result"] == "ok" and re.fullmatch(r"[0-9a-f]{44}", r["controller_request_id"]), f"operator's open: {r}")
    opens = d.journal("SELECT request_id, client_key, key_scope FROM journal WHERE kind='open'")
    check(opens == [(r["controller_request_id"], "from-operator", "mqtt")], f"opens: {opens}")
    # The same request id again is not carried out twice.
    mark = operator.mark()
    operator.publish(p + "door/1/open/set", json.dumps({"request_id": "from-operator", "pulse_ms": 300}))
    again = result_for(operator, p, "from-operator", since=mark)
    check(again["replayed"] and again["code"] == "accepted" and again["controller_request_id"] == r["controller_request_id"],
          f"the retry: {again}")
    check(len(d.journal("SELECT 1 FROM journal WHERE kind='open'")) == 1, "the same request id opened twice")


def test_security():
    with Rig(broker_extra="") as rig:
        service_port = shipped_broker(rig)
        sim = rig.sim("a")
        cfg = os.path.join(rig.dir.name, "cabinetd.json")
        with open(cfg, "w") as f:
            json.dump({"mqtt": {"url": f"mqtt://127.0.0.1:{service_port}", "username": "cabinetd",
                                "password": USERS["cabinetd"], "commands": True},
                       "cabinets": {"a": {"endpoint": "sim", "two_person_doors": [8]}}}, f)
        d = rig.daemon([sim], "--config", cfg)
        d.wait_ready("a")
        p = f"tessaro/{board(d, 'a')}/"
        viewer = rig.client(["tessaro/#"], user="viewer", password=USERS["viewer"])
        wait_for(lambda: last_payload(viewer, p + "availability") == "online", 10, "online for the viewer")

        anonymous = Client(rig.broker.port, expect_refusal=True)
        anonymous.stop()
        check(Client(rig.broker.port, user="viewer", password="wrong", expect_refusal=True).refused, "a wrong password let in")

        # A viewer's open is dropped by the broker and never reaches the controller.
        viewer.publish(p + "door/1/open/set", json.dumps({"request_id": "from-viewer"}))
        viewer.publish(p + "clear_fault/set", "PRESS")
        viewer.publish(p + "alarm/ack/set", "PRESS")
        time.sleep(1.5)
        check(not viewer.messages(p + "result"), f"a viewer's command was answered: {viewer.messages(p + 'result')}")

        # A viewer cannot take cabinetd's client id: not on cabinetd's
        # listener, where it has no user, and on its own the broker names
        # its connection by its user. cabinetd stays connected.
        operator = rig.client([p + "result", p + "availability"], user="operator", password=USERS["operator"])
        viewer.stop()
        mark = operator.mark()
        cabinetd_id = f"cabinetd-{board(d, 'a').lower()}-a"
        check(Client(service_port, client_id=cabinetd_id, user="viewer", password=USERS["viewer"], expect_refusal=True).refused,
              "a viewer let in on cabinetd's listener")
        intruder = rig.client(client_id=cabinetd_id, user="viewer", password=USERS["viewer"])
        time.sleep(2)
        intruder.stop()
        check(not any("mqtt: disconnected" in l for l in d.log), "cabinetd was knocked off the broker:\n" + "".join(d.log[-10:]))
        check(not operator.messages(p + "availability", mark), f"availability flipped: {operator.messages(p + 'availability', mark)}")

        # A command past the size limit, through the broker's own limits, is
        # answered with an error and reaches no controller (other bad
        # commands: tests/mqtt).
        mark = operator.mark()
        operator.publish(p + "door/1/open/set", "x" * 70000)
        r = wait_for(lambda: operator.messages(p + "result", mark), 10, "answer to a command of 70000 bytes")
        check(json.loads(r[0][1])["result"] == "error", r[0][1])
        check(d.journal("SELECT count(*) FROM journal WHERE kind IN ('open','clear')")[0][0] == 0, "something reached a controller")

        an_operators_open_is_carried_out_once(d, operator, p)
        # Nobody on the broker can be the second person a two-person door needs.
        r = answer_to(operator, p, "door/8/open/set", json.dumps({"request_id": "two-8"}))
        check((r["result"], r["code"]) == ("error", "approval_required"), r)
        # ... and that refusal is on record as any other is, the broker's own.
        refused = wait_for(lambda: d.journal("SELECT door_id, requested_by FROM journal "
                                             "WHERE kind='refused' AND code='approval_required'"), 5,
                           "the refusal journalled")
        check(refused == [(8, "mqtt")], refused)
        # The shipped ACL lets an operator acknowledge alarms (none are active).
        r = answer_to(operator, p, "alarm/ack/set", json.dumps({"request_id": "ack-1"}))
        check((r["result"], r["request_id"], r["acknowledged"]) == ("ok", "ack-1", []), r)

def test_tls():
    with Rig() as rig:
        d = rig.dir.name

        def ssl(*args):
            subprocess.run(["openssl", *args], check=True, cwd=d, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "1", "-subj", "/CN=test-ca")
        ssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
        with open(os.path.join(d, "san"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\n")
        ssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "1", "-extfile", "san")
        # One listener with TLS for cabinetd, the plain one for the test's client.
        tls_port = free_port()
        rig.broker.stop()
        rig.broker = Broker(d, f"listener {tls_port} 127.0.0.1\ncafile {d}/ca.pem\ncertfile {d}/server.pem\nkeyfile {d}/server.key\n")
        sim = rig.sim("a")
        daemon = rig.daemon([sim], "--mqtt", f"mqtts://127.0.0.1:{tls_port}", "--mqtt-ca-file", os.path.join(d, "ca.pem"))
        daemon.wait_ready("a")
        sub = rig.client(["tessaro/#"])
        wait_for(lambda: last_payload(sub, f"tessaro/{board(daemon, 'a')}/availability") == "online", 10, "online over TLS")


def retained_topics(client, p, disc_topic, live_too=False):
    """Whether client holds availability, state, alarm, every door and the
    discovery (retained ones only, unless live_too)."""
    got = {t for t, _, r, _ in client.messages() if r or live_too}
    return ({p + "availability", p + "state", p + "alarm/state", disc_topic}
            | {p + f"door/{n}/state" for n in range(1, 9)}) <= got


def answer_to(sub, p, command, payload):
    mark = sub.mark()
    sub.publish(p + command, payload)
    return wait_for(lambda: [json.loads(m[1]) for m in sub.messages(p + "result", mark)], 10,
                    f"answer to {payload}")[0]


def lock_as_home_assistant_drives_it(sub, p):
    """OPEN releases the latch and the state follows the sensor; LOCK is refused."""
    mark = sub.mark()
    r = answer_to(sub, p, "door/4/open/set", "OPEN")
    check(r["result"] == "ok" and r["door"] == 4, r)
    wait_for(lambda: any(json.loads(m[1])["latch"] == "unlocked" for m in sub.messages(p + "door/4/state", mark)),
             10, "latch released")
    wait_for(lambda: json.loads(last_payload(sub, p + "door/4/state")) == {"door": "closed", "latch": "locked"}, 20,
             "door 4 closed again")
    r = answer_to(sub, p, "door/4/open/set", "LOCK")
    check(r["result"] == "error" and r["code"] == "not_supported", r)


def forced_door_on_the_alarm_topics(d, sim, sub, p, b):
    """A door forced open: an alarm on `alarm`, the problem sensor on with its
    text, and on still across a restart of cabinetd; acknowledged with Home
    Assistant's button and the door shut again, it clears."""
    def sensor():  # as Home Assistant reads the binary_sensor: its state and attribute
        a = json.loads(last_payload(sub, p + "alarm/state"))
        return ("ON" if a["active"] else "OFF"), a["text"]
    check(sensor() == ("OFF", None), sensor())
    mark = sub.mark()
    sim.control("door 5 force-open")
    raised = wait_for(lambda: [json.loads(m[1]) for m in sub.messages(p + "alarm", mark)], 10, "alarm")[0]
    check((raised["cabinet"], raised["board_id"], raised["code"], raised["door"], raised["state"])
          == ("a", b, "forced_open", 5, "raised"), raised)
    wait_for(lambda: sensor()[0] == "ON", 10, "problem sensor on")
    check(sensor()[1] == raised["text"], sensor())
    wait_for(lambda: d.journal("SELECT 1 FROM journal WHERE kind='alarm'"), 5, "the alarm committed")
    restarted = sub.mark()
    d.kill(signal.SIGTERM)
    d.start()
    d.wait_ready("a")
    wait_for(lambda: [m for m in sub.messages(p + "availability", restarted) if m[1] == "online"], 10, "online again")
    wait_for(lambda: sub.messages(p + "alarm/state", restarted), 10, "alarm/state after the restart")
    states = [json.loads(m[1]) for m in sub.messages(p + "alarm/state", restarted)]
    check(all(s["active"] and s["text"] == raised["text"] for s in states), f"alarm/state on restart: {states}")
    # Home Assistant's button acknowledges it, as MQTT.
    button = json.loads(last_payload(sub, f"homeassistant/device/tessaro_{b.lower()}/config"))["components"]["alarm_ack"]
    check(button["platform"] == "button" and button["command_topic"] == p + "alarm/ack/set", button)
    r = answer_to(sub, p, "alarm/ack/set", button["payload_press"])
    check((r["result"], r["command"], r["acknowledged"]) == ("ok", "alarm_ack", [raised["alarm_id"]]), r)
    sim.control("door 5 close")
    wait_for(lambda: sensor() == ("OFF", None), 10, "problem sensor off")

    def alarm_states():  # at least once: deduplicated by state
        seen = []
        for a in (json.loads(m[1]) for m in sub.messages(p + "alarm", mark)):
            if (a["state"], a.get("by")) not in seen:
                seen.append((a["state"], a.get("by")))
        return seen
    # The records follow the committed journal, within about a second.
    wait_for(lambda: len(alarm_states()) == 3, 10, "the alarm cleared on `alarm`")
    check(alarm_states() == [("raised", None), ("acknowledged", "mqtt"), ("cleared", None)], alarm_states())


def retained_command_opens_nothing(d, client, p, disc_topic):
    """A retained open command never opens a door, now or when cabinetd
    reconnects; cabinetd, back to a cabinet that is up, says so at once."""
    opens_before = len(d.journal("SELECT 1 FROM journal WHERE kind='open'"))
    mark = client.mark()
    client.publish(p + "door/2/open/set", json.dumps({"request_id": "retained-1"}), retain=True)
    check(result_for(client, p, "retained-1", since=mark)["code"] == "retained", "a retained command taken")
    d.kill(signal.SIGTERM)
    mark = client.mark()
    d.start()
    check(result_for(client, p, "retained-1", since=mark)["code"] == "retained", "a retained command taken")
    # No state of nulls first, and the discovery carries the versions.
    again = json.loads(wait_for(lambda: client.messages(disc_topic, mark), 10, "discovery after a restart")[0][1])
    check(again["device"].get("sw_version"), f"discovery after a restart: {again['device']}")
    wait_for(lambda: client.messages(p + "state", mark), 10, "state after a restart")
    check(all(json.loads(m[1])["state"] is not None for m in client.messages(p + "state", mark)), "a state of nulls")
    # The "retained" answers above are the signal: the command was refused
    # where it was taken, before any cabinet saw it.
    check(len(d.journal("SELECT 1 FROM journal WHERE kind='open'")) == opens_before, "a retained command opened a door")
    client.publish(p + "door/2/open/set", "", retain=True)  # clear it


def test_discovery_and_restarts():
    # What each topic carries: tests/mqtt; here, what a real broker keeps.
    with Rig() as rig:
        sim = rig.sim("a")
        early = rig.client(["homeassistant/#"])  # there before cabinetd
        d = rig.daemon([sim], "--mqtt", rig.broker.url(), "--mqtt-commands", "--mqtt-discovery")
        d.wait_ready("a")
        b = board(d, "a")
        p = f"tessaro/{b}/"
        disc_topic = f"homeassistant/device/tessaro_{b.lower()}/config"
        # Home Assistant takes the device's versions from the first discovery it gets.
        first = json.loads(wait_for(lambda: early.messages(disc_topic), 10, "discovery")[0][1])
        check(first["device"].get("sw_version") and first["device"].get("hw_version"), f"first discovery: {first['device']}")
        # Once all is published, a new subscriber gets all of it retained,
        # with a state for every entity.
        probe = rig.client(["tessaro/#", "homeassistant/#"])
        wait_for(lambda: retained_topics(probe, p, disc_topic, live_too=True), 10, "everything published")
        sub = rig.client(["tessaro/#", "homeassistant/#"])
        wait_for(lambda: retained_topics(sub, p, disc_topic), 10, "everything retained")
        retained = {t for t, _, r, _ in sub.messages() if r}
        for key, c in json.loads(last_payload(sub, disc_topic))["components"].items():
            check(c.get("state_topic", p + "state") in retained, f"{key}: nothing retained on {c.get('state_topic')}")
        # Home Assistant restarts: discovery and state come again.
        mark = sub.mark()
        sub.publish("homeassistant/status", "offline")
        sub.publish("homeassistant/status", "online")
        wait_for(lambda: sub.messages(disc_topic, mark) and sub.messages(p + "state", mark), 5, "discovery and state again")
        lock_as_home_assistant_drives_it(sub, p)
        forced_door_on_the_alarm_topics(d, sim, sub, p, b)

        # The broker restarts without persistence: everything comes again,
        # and the cabinet, up all along, is never said to be otherwise.
        rig.broker.stop()
        rig.broker.start()
        watcher = rig.client(["tessaro/#", "homeassistant/#"])
        wait_for(lambda: retained_topics(watcher, p, disc_topic, live_too=True), 15, "everything after a broker restart")
        check(all(m[1] == "online" for m in watcher.messages(p + "availability")), "availability flapped")
        check(all(json.loads(m[1])["state"] is not None for m in watcher.messages(p + "state")), "a state of nulls")
        fresh = rig.client(["tessaro/#", "homeassistant/#"])
        wait_for(lambda: retained_topics(fresh, p, disc_topic), 5, "everything retained after a broker restart")
        check(last_payload(fresh, p + "availability") == "online", "availability after the restart")
        retained_command_opens_nothing(d, fresh, p, disc_topic)


def takeovers(rig, d):
    """Connections the broker closed because another logged in with their
    client id, and cabinetd's own log of lost connections."""
    with open(rig.broker.log) as f:
        broker = [l for l in f if "already connected, closing old connection" in l]
    return broker + [l for l in d.log if "mqtt: disconnected" in l]


def answers_by_id(client, prefix, mark):
    out = collections.defaultdict(list)
    for _, p, _, _ in client.messages(prefix + "result", mark):
        r = json.loads(p)
        out[r.get("request_id")].append(r)
    return out


def test_shared_board_id_cabinet_prefix():
    """The same two controllers under topics named by the cabinet: every open
    reaches the cabinet its topic names and is answered once, on connections
    that keep their client ids to themselves (one as long as a name may be)."""
    with Rig() as rig:
        board_id = f"{random.getrandbits(64):016X}"
        names = ["b", "cabinet-with-the-longest-name-32"]
        sims = [rig.sim(n, board_id=board_id) for n in names]
        quick_doors(sims, 50, 150)
        sub = rig.client(["site/#"])
        d = rig.daemon(sims, "--mqtt", rig.broker.url(), "--mqtt-commands", "--mqtt-prefix", "site/{cabinet}/")
        d.wait_ready(names)
        check(d.cabinet("b")["board_id_shared_with"] == [names[1]], "the status names the twin")
        for n in names:
            wait_for(lambda: last_payload(sub, f"site/{n}/availability") == "online", 10, f"{n} online")

        mark = sub.mark()
        sent = [(n, door, f"{n[0]}-{door}") for n, door in zip(names, (2, 5))]
        for n, door, rid in sent:  # one open in each cabinet, both at once
            sub.publish(f"site/{n}/door/{door}/open/set", json.dumps({"pulse_ms": 200, "request_id": rid}))
        for n, _, rid in sent:
            r = result_for(sub, f"site/{n}/", rid, since=mark)
            check((r["result"], r["code"]) == ("ok", "accepted"), f"{rid}: {r}")
            wait_for(lambda: d.journal("SELECT 1 FROM journal WHERE cabinet=? AND kind='event' AND "
                                       "code='cycle_complete' AND request_id=?", (n, r["controller_request_id"])),
                     15, f"the cycle of {rid} in {n}")
        for n, door, rid in sent:
            answered = answers_by_id(sub, f"site/{n}/", mark)[rid]
            check(len(answered) == 1, f"{rid} answered {len(answered)} times")
            opens = d.journal("SELECT cabinet, door_id FROM journal WHERE kind='open' AND client_key=?", (rid,))
            check(opens == [(n, door)], f"{rid} reached {opens}")
        check(not takeovers(rig, d), "connections taken over:\n" + "".join(takeovers(rig, d)))


def state_latencies(d, sub, mark, names):
    """From cabinetd taking a state line that changed the state to a
    subscriber holding the state topic it changed, in ms: each message is
    matched with the first later state record of its cabinet that reads the
    same."""
    fields = ("state", "active_door", "fault", "inputs_valid", "power_ok", "heartbeat_ok", "driver_ready")
    out = []
    for n in names:
        topic = f"tessaro/{board(d, n)}/state"
        recs = [(at, json.loads(detail)) for at, detail in d.journal(
            "SELECT at_ms, detail FROM journal WHERE cabinet=? AND kind='state' ORDER BY cursor", (n,))]
        i = 0
        for _, p, retained, t in sub.messages(topic, mark):
            s = json.loads(p)
            if retained or s["state"] is None:
                continue
            while i < len(recs) and any(recs[i][1].get(f) != s[f] for f in fields):
                i += 1
            if i < len(recs):
                out.append(t * 1000 - recs[i][0])
                i += 1
    return sorted(out)


def door_latencies(d, sub, mark, names):
    """From cabinetd taking an event line that changed a door or its latch to
    a subscriber holding the door's topic it changed, in ms: each change is
    matched with the first later journalled event of that door that makes it."""
    out = []
    for n in names:
        for door in range(1, 9):
            events = d.journal("SELECT at_ms, code FROM journal WHERE cabinet=? AND kind='event' AND door_id=? "
                               "AND code IN ('door_open','door_closed','latch_unlocked','latch_locked') ORDER BY cursor",
                               (n, door))
            prev, i = None, 0
            for _, p, retained, t in sub.messages(f"tessaro/{board(d, n)}/door/{door}/state", mark):
                s = json.loads(p)
                if prev is not None and not retained:
                    want = ({"door_" + s["door"]} if s["door"] != prev["door"] else set()) | (
                        {"latch_" + s["latch"]} if s["latch"] != prev["latch"] else set())
                    while i < len(events) and events[i][1] not in want:
                        i += 1
                    if i < len(events):
                        out.append(t * 1000 - events[i][0])
                        i += 1
                prev = s
    return sorted(out)


def test_bench_event_latency():
    """Printed, not asserted: from cabinetd taking an event line off the wire
    to a subscriber holding its MQTT message, on loopback."""
    if SANITIZED:
        return 77
    seconds = float(os.environ.get("MQTT_BENCH_S", "15"))
    with Rig() as rig:
        sims = [rig.sim(n) for n in "abc"]
        quick_doors(sims, 50, 150)
        d = rig.daemon(sims, "--mqtt", rig.broker.url())
        d.wait_ready("abc")
        sub = rig.client(["tessaro/+/event", "tessaro/+/state", "tessaro/+/door/+/state"])
        time.sleep(0.5)  # the retained messages, before the mark
        mark = sub.mark()
        end = time.monotonic() + seconds

        def drive(name):
            door = 0
            while time.monotonic() < end:
                door = door % 8 + 1
                open_door(d, name, door, wait=True, body={"pulse_ms": 100, "ttl_ms": 2000})
        workers = [threading.Thread(target=drive, args=(n,)) for n in "abc"]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        time.sleep(1)
        lat = sorted(t * 1000 - json.loads(p)["received_at_ms"]
                     for topic, p, _, t in sub.messages(None, mark) if topic.endswith("/event"))
        doors = door_latencies(d, sub, mark, "abc")
        check(lat and doors, "no events or no door changes")
        for what, xs in (("event line -> MQTT subscriber", lat), ("state line -> state topic",
                         state_latencies(d, sub, mark, "abc")), ("event line -> door/<n>/state", doors)):
            if xs:
                print(f"{what}: n={len(xs)} p50={xs[len(xs) // 2]:.2f} ms "
                      f"p99={xs[min(len(xs) - 1, int(0.99 * len(xs)))]:.2f} ms max={xs[-1]:.2f} ms")
        # Most of it is the journal's grouped commit, which an event waits for
        # before it is published: its share, from cabinetd's own histogram.
        status, metrics = d.request("GET", "/metrics", token=None)
        buckets = re.findall(r'cabinetd_journal_write_seconds_bucket\{le="([^"]+)"\} (\d+)', metrics)
        total = int(dict(buckets).get("+Inf", "0")) or 1
        print("journal commits within: " + ", ".join(f"{float(le) * 1000:g} ms {int(n) * 100 // total}%"
                                                     for le, n in buckets if le != "+Inf"))


if __name__ == "__main__":
    main(globals())
