#!/usr/bin/env python3
"""How soon a door's change reaches the operator page's cards, in two ways:

- live: the stream with status=true, until its status message shows the door
  as it now is (what the page draws cards from);
- records: a plain stream, until the door's event record arrives, and then a
  fetch of the cabinet's status (what the page did before: records follow the
  journal's commit).

A door of a simulated cabinet is forced open and closed again, one change at a
time. Each figure runs from the simulator's control command, which stands for
the event line: the controller's input debounce lies between the two, the same
in both ways. p50 and p99, printed, not asserted.

    CABINETD=... CABINET_SIM=... page_latency.py
    LATENCY_CHANGES (default 60: 30 opens and 30 closes)
"""
import http.client
import json
import os
import queue
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests"))
from harness import SANITIZED, VIEWER, Daemon, Failed, Sim, check  # noqa: E402

DOOR = 6


def follow(d, query, out):
    """Opens a stream and puts each of its messages, with its arrival time, on out."""
    status, tok = d.request("POST", "/api/stream-token", token=VIEWER)
    check(status == 200, f"stream token: {status} {tok}")
    conn = http.client.HTTPConnection("127.0.0.1", d.port, timeout=60)
    conn.request("GET", f"/api/stream?token={tok['token']}&{query}")
    resp = conn.getresponse()
    check(resp.status == 200, f"stream: {resp.status}")

    def read():
        msg = {}
        for raw in resp.fp:
            line = raw.decode().rstrip("\n")
            if line.startswith(":"):
                continue
            if line:
                k, _, v = line.partition(": ")
                msg[k] = v
            elif msg:
                out.put((time.monotonic(), msg))
                msg = {}

    threading.Thread(target=read, daemon=True).start()
    return conn


def until(q, pred, what):
    end = time.monotonic() + 10
    while True:
        at, msg = q.get(timeout=max(0.01, end - time.monotonic()))
        if pred(msg):
            return at
        check(time.monotonic() < end, f"no {what} within 10 s")


def door_closed(msg):
    """The door's state in a status message, or None."""
    if msg.get("event") != "status":
        return None
    doors = json.loads(msg["data"]).get("doors") or []
    return doors[DOOR - 1]["closed"] if len(doors) >= DOOR else None


def measure(d, sim, changes):
    live, records = queue.Queue(), queue.Queue()
    conns = [follow(d, "status=true&cabinet=a", live), follow(d, "cabinet=a&kind=event", records)]
    time.sleep(1)
    got = {"live": [], "records": []}
    for i in range(changes):
        closing = i % 2 == 1
        for q in (live, records):
            while not q.empty():
                q.get()
        started = time.monotonic()
        sim.control(f"door {DOOR} {'close' if closing else 'force-open'}")
        shown = until(live, lambda m: door_closed(m) is closing, "status showing the door")
        code = "door_closed" if closing else "door_open"
        heard = until(records, lambda m: f'"code":"{code}"' in m.get("data", ""), f"{code} record")
        fetch = time.monotonic()
        d.cabinet("a")
        got["live"].append(shown - started)
        got["records"].append(heard - started + time.monotonic() - fetch)
        time.sleep(0.15)  # apart, as a person's doors are
    for c in conns:
        c.close()
    return got


def percentiles(times):
    ms = sorted(t * 1000 for t in times)
    return statistics.median(ms), ms[min(len(ms) - 1, round(0.99 * (len(ms) - 1)))]


def main():
    if SANITIZED:
        return 77  # a sanitizer build's figures say nothing about the product's
    changes = int(os.environ.get("LATENCY_CHANGES", "60"))
    with tempfile.TemporaryDirectory(prefix="cabinetd-latency-") as work:
        sim = Sim(work, "a", flash=False)
        d = None
        try:
            d = Daemon(work, [sim])
            d.wait_ready(["a"], timeout=60)
            got = measure(d, sim, changes)
        finally:
            if d:
                d.kill()
            sim.stop(strict=False)
    for way, what in (("live", "status message (status=true)"),
                      ("records", "journal record, then a fetch of the status")):
        p50, p99 = percentiles(got[way])
        print(f"door change -> {what}: p50 {p50:.1f} ms, p99 {p99:.1f} ms, of {changes}")
    print(f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (Failed, queue.Empty) as e:
        print(f"FAILED: {e!r}", file=sys.stderr)
        sys.exit(1)
