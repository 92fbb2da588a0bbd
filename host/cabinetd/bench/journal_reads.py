#!/usr/bin/env python3
"""Searches of a large journal: what one costs, and what a flood of them
costs everyone else. Printed, not asserted.

Fills a journal of BENCH_RECORDS records (default 1,000,000: open cycles of
cabinet "a" over 28 of the last 39 days, written straight into the
database), starts cabinetd on it with
two cabinet-sims ("a", and "b" which has no records), and prints:
- the time of the first page of each search that matches nothing (median of
  five), and what it answered;
- alone, then while 16 connections of one viewer token loop such searches
  (from a process of their own): how long a door forced open takes to reach
  a live stream as an alarm, and how long another token's
  `GET /api/events?limit=1` takes.

    CABINETD=... CABINET_SIM=... journal_reads.py
    BENCH_RECORDS (default 1000000), BENCH_SAMPLES (3)

Run it with the cabinetd of another build for a before and after; it fills
the journal in whichever schema that cabinetd writes. About two minutes
(more for a cabinetd that searches slowly).
"""
import http.client
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "tests"))
from audit_test import fill  # noqa: E402
from harness import OPERATOR, OPERATOR2, SANITIZED, VIEWER, Daemon, Sim, check, wait_for  # noqa: E402

LOOPERS = 16


DAY = 86400000


def no_match_filters(now):
    return ["requested_by=nobody", "kind=clear", "door=8", "cabinet=b", f"since_ms={now + DAY}",
            "until_ms=1000", f"since_ms={now - 24 * DAY}&until_ms={now - 16 * DAY}"]


def get(port, path, token, timeout=300):
    """Status, body and seconds of one GET on a connection of its own."""
    t0 = time.monotonic()
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    conn.request("GET", path, headers={"Authorization": f"Bearer {token}"})
    r = conn.getresponse()
    body = r.read()
    conn.close()
    return r.status, body, time.monotonic() - t0


def loop(port, seconds):
    """The flood: LOOPERS connections of the viewer token, each asking one
    search that matches nothing after another (a refusal at once again),
    for at most `seconds`. Prints how they were answered."""
    stop = time.monotonic() + float(seconds)
    filters = no_match_filters(int(time.time() * 1000))
    counts, lock = {}, threading.Lock()

    def run(k):
        conn = None
        while time.monotonic() < stop:
            try:
                conn = conn or http.client.HTTPConnection("127.0.0.1", int(port), timeout=300)
                conn.request("GET", f"/api/events?{filters[k % len(filters)]}&after=0",
                             headers={"Authorization": f"Bearer {VIEWER}"})
                r = conn.getresponse()
                r.read()
                status = r.status
            except (OSError, http.client.HTTPException):
                conn, status = None, "error"
            with lock:
                counts[status] = counts.get(status, 0) + 1
    threads = [threading.Thread(target=run, args=(k,), daemon=True) for k in range(LOOPERS)]
    for t in threads:
        t.start()
    signal.signal(signal.SIGTERM, lambda *_: print(json.dumps(counts), flush=True) or os._exit(0))
    for t in threads:
        t.join()
    print(json.dumps(counts), flush=True)


def page_times(d):
    now = int(time.time() * 1000)
    print("first page of a search that matches nothing (median of 5):")
    for f in no_match_filters(now):
        times, answer = [], None
        for _ in range(5):
            status, body, took = get(d.port, f"/api/events?{f}&after=0", VIEWER)
            times.append(took)
            answer = (status, json.loads(body)) if status == 200 else (status, body[:80])
        status, body = answer
        what = (f"{len(body['events'])} records, next {body['next']}, more {str(body['more']).lower()}"
                if status == 200 else f"{status} {body}")
        print(f"  {f:<40} {statistics.median(times) * 1000:9.1f} ms  ({what})")


def alarm_latency(d, sim, door):
    """Seconds from a door forced open to its alarm on a live stream."""
    s = socket.create_connection(("127.0.0.1", d.port))
    try:
        s.sendall(f"GET /api/stream?kind=alarm HTTP/1.1\r\nHost: 127.0.0.1:{d.port}\r\n"
                  f"Authorization: Bearer {OPERATOR2}\r\n\r\n".encode())
        s.settimeout(300)
        seen = s.recv(4096)
        check(seen.startswith(b"HTTP/1.1 200"), f"stream: {seen[:100]!r}")
        t0 = time.monotonic()
        sim.control(f"door {door} force-open")
        want = f'"door_id":{door}'.encode()
        while not (b"forced_open" in seen and want in seen) and time.monotonic() < t0 + 300:
            seen += s.recv(65536)
        return time.monotonic() - t0
    finally:
        s.close()
        sim.control(f"door {door} close")


def latencies(d, sim, doors):
    alarms = [alarm_latency(d, sim, door) for door in doors]
    reads = [get(d.port, "/api/events?limit=1", OPERATOR)[2] for _ in doors]
    return (" / ".join(f"{a:.2f}" for a in alarms) + " s",
            " / ".join(f"{r * 1000:.0f}" for r in reads) + " ms")


def verify_time(d):
    """cabinetctl journal verify on the journal, beside the running cabinetd:
    the median of three, and what it said."""
    ctl = os.environ.get("CABINETCTL")
    if not ctl:
        print("CABINETCTL not set: journal verify not timed")
        return
    times, out = [], ""
    for _ in range(3):
        t0 = time.monotonic()
        r = subprocess.run([ctl, "journal", "verify", "--db", d.db], capture_output=True, text=True, timeout=600)
        times.append(time.monotonic() - t0)
        out = r.stdout.strip() or r.stderr.strip()
    print(f"cabinetctl journal verify: {statistics.median(times):.2f} s (median of 3): {out.splitlines()[0][:120]}")


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "loop":
        return loop(sys.argv[2], sys.argv[3])
    if SANITIZED:
        return 77
    records = int(os.environ.get("BENCH_RECORDS", "1000000"))
    samples = int(os.environ.get("BENCH_SAMPLES", "3"))
    with tempfile.TemporaryDirectory(prefix="cabinetd-bench-", dir=os.environ.get("BENCH_DIR")) as work:
        sims = [Sim(work, n) for n in ("a", "b")]
        d = Daemon(work, sims, extra=["--max-db-mb", "4096"])
        try:
            d.wait_ready(["a", "b"])
            d.kill(signal.SIGTERM)
            # Two halves, each about 14 days of records, with 10 days between
            # them that no record is stamped in.
            t0 = time.monotonic()
            now = int(time.time() * 1000)
            fill(d.db, records // 2, start_ms=now - 39 * DAY, step_ms=28 * DAY // records)
            fill(d.db, records - records // 2, start_ms=now - 14 * DAY, step_ms=28 * DAY // records)
            t1 = time.monotonic()
            d.start()
            listening = time.monotonic()
            d.wait_ready(["a", "b"])
            print(f"{d.args[0]}: {records} records filled in {t1 - t0:.1f} s; "
                  f"cabinetd ready {time.monotonic() - t1:.1f} s later")
            # Its check of its own chain, in the background while it serves.
            checked = wait_for(lambda: [line for line in d.log if "hash chain holds" in line or "breaks at" in line],
                               120, "cabinetd's check of its chain")
            print(f"its check of its chain at start-up ended {time.monotonic() - listening:.1f} s after it "
                  f"was listening (it served meanwhile): {checked[0].strip()[:80]}...")
            page_times(d)
            alarms, reads = latencies(d, sims[0], range(1, 1 + samples))
            print(f"alone: forced door to its alarm on a stream {alarms}; another token's limit=1 {reads}")
            flood = subprocess.Popen([sys.executable, __file__, "loop", str(d.port), "900"],
                                     stdout=subprocess.PIPE, text=True)
            try:
                time.sleep(3)
                alarms, reads = latencies(d, sims[0], range(4, 4 + samples))
            finally:
                flood.send_signal(signal.SIGTERM)
                out, _ = flood.communicate(timeout=600)
            print(f"with {LOOPERS} connections looping such searches: forced door to its alarm on a stream "
                  f"{alarms}; another token's limit=1 {reads}; the flood's answers {out.strip()}")
            verify_time(d)
        finally:
            d.kill(signal.SIGTERM)
            for s in sims:
                s.stop()


if __name__ == "__main__":
    sys.exit(main())
