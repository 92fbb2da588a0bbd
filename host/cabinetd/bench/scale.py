#!/usr/bin/env python3
"""What one host serves: cabinetd with 1, 64, 256 and 512 cabinets on light
controller stand-ins (cabinet-fleet, one process, a TCP port per cabinet),
with MQTT off and on (a real Mosquitto). Printed, not asserted; a cabinet
that never comes up, an open refused or a cabinet not back online fails it.

For each size and MQTT setting:
- start-up: from starting cabinetd to every cabinet up with an answered
  heartbeat, and (MQTT) to every cabinet `online` on the broker;
- idle: CPU (% of a core) and wake-ups a second per cabinet (every thread's
  context switches), RSS, descriptors, threads;
- busy: each cabinet opens a door every 10-30 s (the one cabinet of size 1,
  every 3.5 s, for its median to mean something): the open's answer p50 and
  p99, and p99 against the one-cabinet p50 of the same run; the event to
  MQTT lag (a subscriber's receipt against cabinetd's receipt of the line:
  the journal's group commit, within a second, is most of it);
- MQTT: the broker restarted, how long until every cabinet is online again.

    CABINETD=... CABINET_FLEET=... MOSQUITTO=... scale.py
    SCALE_SIZES (1,64,256,512)  SCALE_MQTT (off,on)  SCALE_IDLE_S (20)  SCALE_BUSY_S (60)
"""
import heapq
import http.client
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests"))
from harness import OPERATOR, SANITIZED, Broker, Daemon, Failed, check, spawn, wait_for  # noqa: E402
from idle_cost import cpu_seconds, switches  # noqa: E402

FLEET = os.environ.get("CABINET_FLEET", "cabinet-fleet")


class Endpoint:
    def __init__(self, text):
        self.text = text

    def endpoint(self):
        return self.text


class Fleet:
    """cabinet-fleet with n controllers: their endpoints for cabinetd."""

    def __init__(self, n):
        self.proc = spawn([FLEET, "--count", str(n)], stdout=subprocess.PIPE, text=True)
        self.cabinets = []
        for line in self.proc.stdout:
            if line.strip() == "ready":
                break
            port, board = line.split()
            self.cabinets.append((f"c{len(self.cabinets):03d}", int(port), board))
        check(len(self.cabinets) == n, "cabinet-fleet did not start")

    def endpoints(self):
        return [Endpoint(f"{name}=tcp:127.0.0.1:{port}") for name, port, _ in self.cabinets]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


# The subscriber runs in a process of its own: in this one, its handling of
# every message would hold the interpreter's lock while the opens' answers
# wait to be timed.
WATCHER = r"""
import json, random, sys, threading, time
import paho.mqtt.client as mqtt
version = (mqtt.CallbackAPIVersion.VERSION1,) if hasattr(mqtt, "CallbackAPIVersion") else ()
lock = threading.Lock()
available, lags = {}, []
def message(c, userdata, m):
    now = time.time() * 1000
    with lock:
        if m.topic.endswith("/availability"):
            available[m.topic] = m.payload == b"online"
        else:
            lags.append(now - json.loads(m.payload)["received_at_ms"])
c = mqtt.Client(*version, client_id=f"bench-{random.getrandbits(40):x}")
c.on_connect = lambda c, *a: c.subscribe([("tessaro/+/availability", 1), ("tessaro/+/event", 1)])
c.on_message = message
c.reconnect_delay_set(0.1, 0.5)
c.connect("127.0.0.1", int(sys.argv[1]), keepalive=30)
c.loop_start()
for line in sys.stdin:
    with lock:
        if line == "online\n":
            print(sum(available.values()), flush=True)
        elif line == "forget\n":
            available.clear()
            print("ok", flush=True)
        else:
            print(json.dumps(lags), flush=True)
            lags.clear()
"""


class Watcher:
    """A subscriber to every cabinet's availability and events."""

    def __init__(self, port):
        self.proc = spawn([sys.executable, "-c", WATCHER, str(port)], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True)
        self.lock = threading.Lock()

    def ask(self, what):
        with self.lock:
            self.proc.stdin.write(what + "\n")
            self.proc.stdin.flush()
            return self.proc.stdout.readline()

    def online(self):
        return int(self.ask("online"))

    def forget(self):
        self.ask("forget")

    def take_lags(self):
        return json.loads(self.ask("lags"))

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(10)


def ready_count(d):
    conn = http.client.HTTPConnection("127.0.0.1", d.port, timeout=30)
    conn.request("GET", "/api/cabinets", headers={"Authorization": f"Bearer {OPERATOR}"})
    body = json.loads(conn.getresponse().read())
    conn.close()
    return sum(1 for c in body["cabinets"]
               if c["link"] == "up" and c["controller"] and c["controller"]["heartbeat_ok"])


def open_once(port, name, door):
    """The seconds an open took to be answered, and its answer's status."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    body = json.dumps({"pulse_ms": 200, "ttl_ms": 3000})
    t0 = time.monotonic()
    conn.request("POST", f"/api/cabinets/{name}/doors/{door}/open", body=body,
                 headers={"Authorization": f"Bearer {OPERATOR}", "Content-Type": "application/json"})
    r = conn.getresponse()
    data = r.read()
    took = time.monotonic() - t0
    conn.close()
    return took, r.status, data


def busy(d, names, seconds, every):
    """Each cabinet opens a door every `every` (lo, hi) seconds, from a few
    threads; the answers' times."""
    start = time.monotonic()
    due = [(start + random.uniform(0, every[1]), n) for n in names]
    heapq.heapify(due)
    lock = threading.Lock()
    times, failures = [], []

    def worker():
        while True:
            with lock:
                if not due:
                    return
                at, name = heapq.heappop(due)
                if at > start + seconds:
                    return
                heapq.heappush(due, (at + random.uniform(*every), name))
            time.sleep(max(0.0, at - time.monotonic()))
            took, status, data = open_once(d.port, name, random.randint(1, 8))
            with lock:
                (times if status == 202 else failures).append(took if status == 202 else (status, data[:200]))

    threads = [threading.Thread(target=worker) for _ in range(min(32, len(names)))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # No answer in time is the machine's load (shown); a refusal is a fault.
    refused = [f for f in failures if f[0] != 504]
    check(not refused, f"opens refused: {refused[:3]} ({len(refused)} in all)")
    return times, len(failures)


def pct(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, int(p / 100 * len(s)))] if s else float("nan")


def proc_figures(pid):
    with open(f"/proc/{pid}/status") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))
    return rss, len(os.listdir(f"/proc/{pid}/fd")), len(os.listdir(f"/proc/{pid}/task"))


def run(n, mqtt, idle_s, busy_s, baseline, work):
    fleet = Fleet(n)
    broker = watcher = d = None
    out = {"n": n, "mqtt": mqtt}
    try:
        extra = ["--max-db-mb", "64"]
        if mqtt:
            broker = Broker(work)
            watcher = Watcher(broker.port)
            extra += ["--mqtt", broker.url()]
        t0 = time.monotonic()
        d = Daemon(work, fleet.endpoints(), extra=extra, db=os.path.join(work, f"j-{n}-{mqtt}.db"))
        wait_for(lambda: ready_count(d) == n, 120, f"{n} cabinets up")
        out["ready_s"] = time.monotonic() - t0
        if mqtt:
            wait_for(lambda: watcher.online() == n, 120, f"{n} cabinets online on the broker")
            out["online_s"] = time.monotonic() - t0
        time.sleep(3)  # past the start's own work
        pid = d.proc.pid
        c0, s0, w0 = cpu_seconds(pid), switches(pid), time.monotonic()
        time.sleep(idle_s)
        c1, s1, w1 = cpu_seconds(pid), switches(pid), time.monotonic()
        per = (w1 - w0) * n
        out["idle_cpu"] = 100 * (c1 - c0) / per
        out["wakeups"] = sum(v[0] + v[1] - sum(s0.get(t, [0, 0])) for t, v in s1.items()) / per
        out["rss_kb"], out["fds"], out["threads"] = proc_figures(pid)
        names = [c[0] for c in fleet.cabinets]
        if watcher:
            watcher.take_lags()
        times, out["timeouts"] = busy(d, names, busy_s, (3.5, 3.5) if n == 1 else (10, 30))
        out["opens"] = len(times)
        out["load"] = os.getloadavg()[0]
        out["p50"], out["p99"] = pct(times, 50) * 1000, pct(times, 99) * 1000
        base = baseline.get(mqtt, out["p50"] if n == 1 else None)
        out["p99_x"] = out["p99"] / base if base else float("nan")
        if watcher:
            time.sleep(1.5)  # the last events' commit
            lags = watcher.take_lags()
            out["lag_p50"], out["lag_p99"] = pct(lags, 50), pct(lags, 99)
            out["online"] = watcher.online()
            broker.stop()
            watcher.forget()
            t1 = time.monotonic()
            broker.start()
            wait_for(lambda: watcher.online() == n, 120, f"{n} cabinets online after the broker's restart")
            out["back_s"] = time.monotonic() - t1
            log = "".join(d.log)
            check("Invalid function arguments" not in log, "libmosquitto refused a descriptor")
        return out
    finally:
        if d:
            d.kill()
        if watcher:
            watcher.stop()
        if broker:
            broker.stop()
        fleet.stop()


def show(r):
    line = (f"{r['n']:4d} cabinets, MQTT {'on ' if r['mqtt'] else 'off'}: up in {r['ready_s']:.1f} s"
            + (f", online in {r['online_s']:.1f} s" if r["mqtt"] else "")
            + f"; idle {r['idle_cpu']:.4f} % of a core and {r['wakeups']:.2f} wake-ups/s per cabinet,"
            f" RSS {r['rss_kb'] / 1024:.1f} MB ({r['rss_kb'] / r['n']:.0f} kB/cabinet), {r['fds']} descriptors,"
            f" {r['threads']} threads; {r['opens']} opens p50 {r['p50']:.1f} ms p99 {r['p99']:.1f} ms"
            f" ({r['p99_x']:.2f}x the one-cabinet p50)"
            + (f", {r['timeouts']} with no answer in time" if r["timeouts"] else "")
            + f"; load average {r['load']:.1f}")
    if r["mqtt"]:
        line += (f"; {r['online']}/{r['n']} online, event to MQTT p50 {r['lag_p50']:.0f} ms"
                 f" p99 {r['lag_p99']:.0f} ms; broker restarted: all online again in {r['back_s']:.1f} s")
    print(line, flush=True)


def main():
    if SANITIZED:
        return 77  # a sanitizer build's figures say nothing about the product's
    sizes = [int(x) for x in os.environ.get("SCALE_SIZES", "1,64,256,512").split(",")]
    modes = [m == "on" for m in os.environ.get("SCALE_MQTT", "off,on").split(",")]
    idle_s = float(os.environ.get("SCALE_IDLE_S", "20"))
    busy_s = float(os.environ.get("SCALE_BUSY_S", "60"))
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # the broker's too, for many cabinets
    if 1 not in sizes:
        sizes = [1] + sizes  # the baseline of every ratio
    baseline = {}
    print(f"on {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}", flush=True)
    for mqtt in modes:
        for n in sizes:
            with tempfile.TemporaryDirectory(prefix="cabinetd-scale-") as work:
                r = run(n, mqtt, idle_s, busy_s, baseline, work)
            if n == 1:
                baseline[mqtt] = r["p50"]
            show(r)
    print("goals, MQTT on: 512 cabinets online within 30 s of start and of a broker restart; at 256 "
          "cabinets opening every 10-30 s, p99 <= 1.5x the one-cabinet p50; idle <= 0.05 % of a core "
          "per cabinet")


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failed as e:
        print(f"FAILED: {e}", file=sys.stderr)
        sys.exit(1)
