#!/usr/bin/env python3
"""Searches of a large journal (GET /api/events) against cabinetd and a real
cabinet-sim: each answers a bounded page and says where to go on, one token's
searches at once are capped, and a flood of them holds up no live stream.

Usage: audit_test.py TEST   (CABINETD and CABINET_SIM name the programs)
"""
import os
import random
import signal
import socket
import sqlite3
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests"))
from harness import OPERATOR, OPERATOR2, SANITIZED, VIEWER, Daemon, Sim, check, main  # noqa: E402

# An open cycle as cabinetd journals it: ten records, the fourth to eighth events.
FILL_SQL = """
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < :count - 1),
r AS (SELECT i, i % 10 AS k, i / 10 AS c, printf('%013d%031x', :start + i, i / 10) AS rid FROM n)
INSERT INTO journal (at_ms, cabinet, kind, session_id, event_seq, code, request_id, door_id, detail,
                     key_scope, client_key, uptime_ms{requester_column})
SELECT :start + i * :step, :cabinet,
  CASE k WHEN 0 THEN 'open' WHEN 1 THEN 'command' WHEN 2 THEN 'ack' WHEN 8 THEN 'state'
         WHEN 9 THEN 'heartbeat' ELSE 'event' END,
  :session,
  CASE WHEN k BETWEEN 3 AND 7 THEN c * 5 + k - 3 WHEN k = 2 THEN c * 5 ELSE NULL END,
  CASE k WHEN 2 THEN 'accepted' WHEN 3 THEN 'open_accepted' WHEN 4 THEN 'door_opened'
         WHEN 5 THEN 'door_closed' WHEN 6 THEN 'latch_locked' WHEN 7 THEN 'cycle_complete'
         WHEN 8 THEN 'idle' WHEN 9 THEN 'ok' ELSE '' END,
  CASE WHEN k <= 7 THEN rid ELSE '' END,
  CASE WHEN k <= 7 THEN 1 + c % 7 ELSE 0 END,
  CASE k WHEN 0 THEN '{{"requested_by":"ops","pulse_ms":500,"ttl_ms":3000}}'
         WHEN 1 THEN '{{"type":"open","door":' || (1 + c % 7) || ',"pulse_ms":500,"request_id":"' || rid
                     || '","issued_at_ms":123456789,"ttl_ms":3000}}'
         WHEN 8 THEN '{{"state":"idle","fault":"none"}}'
         WHEN 9 THEN '{{"reason":"acknowledged"}}' ELSE '' END,
  CASE WHEN k = 0 THEN 'http:ops' ELSE '' END,
  CASE WHEN k = 0 THEN 'fill-' || :session || '-' || c ELSE '' END,
  CASE WHEN k BETWEEN 3 AND 7 THEN i * 1000 ELSE NULL END{requester_value}
FROM r
"""


def fill(db_path, count, cabinet="a", start_ms=None, step_ms=1000):
    """Adds count records of open cycles by "ops" (doors 1 to 7) to a stopped
    cabinetd's journal, stamped step_ms apart from start_ms, in any schema
    version cabinetd has had since the second; returns the last cursor."""
    db = sqlite3.connect(db_path)
    try:
        has_requester = any(row[1] == "requested_by" for row in db.execute("PRAGMA table_info(journal)"))
        sql = FILL_SQL.format(requester_column=", requested_by" if has_requester else "",
                              requester_value=", CASE WHEN k = 0 THEN 'ops' ELSE '' END" if has_requester else "")
        start = start_ms if start_ms is not None else int(time.time() * 1000) - count * step_ms
        db.execute(sql, {"count": count, "start": start, "step": step_ms, "cabinet": cabinet,
                         "session": f"{random.getrandbits(64):016X}-0000000000000001"})
        db.commit()
        return db.execute("SELECT max(cursor) FROM journal").fetchone()[0]
    finally:
        db.close()


def search(d, query, token=VIEWER):
    return d.request("GET", f"/api/events?{query}", token=token)


def simultaneous(d, target, token, n):
    """n requests sent at once, each on a connection of its own; their
    status lines and Retry-After headers."""
    socks = [socket.create_connection(("127.0.0.1", d.port)) for _ in range(n)]
    data = (f"GET {target} HTTP/1.1\r\nHost: 127.0.0.1:{d.port}\r\n"
            f"Authorization: Bearer {token}\r\nConnection: close\r\n\r\n").encode()
    for s in socks:
        s.sendall(data)
    answers = []
    for s in socks:
        s.settimeout(30)
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = s.recv(65536)
            if not chunk:
                break
            head += chunk
        s.close()
        lines = head.decode(errors="replace").split("\r\n")
        retry = [l.split(":", 1)[1].strip() for l in lines if l.lower().startswith("retry-after:")]
        answers.append((lines[0], retry[0] if retry else None))
    return answers


class Rig:
    """cabinetd on a journal of `records` records of open cycles and two
    simulators: "a", whose records they are, and "b", which has none."""

    def __init__(self, records):
        self.dir = tempfile.TemporaryDirectory(prefix="cabinetd-audit-")
        self.sims = [Sim(self.dir.name, n) for n in ("a", "b")]
        self.daemon = Daemon(self.dir.name, self.sims)
        self.daemon.wait_ready(["a", "b"])
        self.daemon.kill(signal.SIGTERM)
        self.first = self.daemon.journal("SELECT max(cursor) FROM journal")[0][0]
        self.last = fill(self.daemon.db, records)
        self.daemon.start()
        self.daemon.wait_ready(["a", "b"])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        running = self.daemon.proc.poll() is None
        self.daemon.kill(signal.SIGTERM)
        for s in self.sims:
            s.stop()
        if exc[0]:
            sys.stderr.write("cabinetd log:\n" + "".join(self.daemon.log[-40:]))
        self.dir.cleanup()
        # SIGTERM stops it cleanly (and, in the sanitizer build, without a leak).
        if running and not exc[0]:
            check(self.daemon.proc.returncode == 0, f"cabinetd exited with {self.daemon.proc.returncode} on SIGTERM:\n"
                  + "".join(self.daemon.log[-40:]))


def test_bounded_searches():
    # Filters that match nothing in a journal larger than one page's look:
    # each answers at once, empty, and says where to go on (what no index
    # serves, a page at a time); followed to the end, the pages find what
    # one unbounded read would.
    with Rig(60000) as rig:
        d = rig.daemon
        for name, value in (("kind", "clear"), ("door", 8), ("cabinet", "b")):
            status, page = search(d, f"{name}={value}&after={rig.first}")
            check(status == 200 and page["events"] == [] and page["more"] and rig.first < page["next"] < rig.last,
                  f"{name}={value}: a bounded page that says where to go on: {status} {page}")
            found = d.events(**{name: value})
            check(all(e["cabinet"] == "b" for e in found) if name == "cabinet" else found == [],
                  f"{name}={value} followed to the end: {found[:3]}")
        now = int(time.time() * 1000)
        for query in ("requested_by=nobody", f"since_ms={now + 86400000}", "until_ms=1000",
                      f"since_ms={now - 200000000}&until_ms={now - 100000000}"):
            status, page = search(d, query)
            check(status == 200 and page["events"] == [] and not page["more"], f"{query}: by index: {status} {page}")
        status, text = d.request("GET", "/api/events?kind=clear&format=csv", token=VIEWER)
        check(status == 200 and text.count("\r\n") == 1, f"CSV: {status} {text!r}")
        opens = d.events(requested_by="ops", door=3, since_ms=now - 30000 * 1000)
        want = d.journal("SELECT cursor FROM journal WHERE kind = 'open' AND door_id = 3 AND at_ms >= ?",
                         (now - 30000 * 1000,))
        check([e["cursor"] for e in opens] == [c for (c,) in want] and len(want) > 100,
              f"opens of door 3 by ops since: {len(opens)} of {len(want)}")

        # One token's searches at once are capped; another token's go on.
        answers = simultaneous(d, "/api/events?kind=clear&after=0", VIEWER, 32)
        refused = [a for a in answers if a[0].startswith("HTTP/1.1 429")]
        check(all(a[0].startswith("HTTP/1.1 200") or a in refused for a in answers), answers)
        check(refused and all(r == "1" for _, r in refused), f"no 429 with Retry-After past the cap: {answers}")
        check(search(d, "limit=1", token=OPERATOR)[0] == 200, "another token's search")


def test_streams_beside_searches():
    # Sixteen connections loop searches that match nothing (bounded in
    # time); a door forced open reaches a live stream all the same, and
    # another token's search answers.
    if SANITIZED:
        return 77
    with Rig(200000) as rig:
        d = rig.daemon
        stream = socket.create_connection(("127.0.0.1", d.port))
        stream.sendall(f"GET /api/stream?kind=alarm HTTP/1.1\r\nHost: 127.0.0.1:{d.port}\r\n"
                       f"Authorization: Bearer {OPERATOR2}\r\n\r\n".encode())
        stream.settimeout(30)
        check(stream.recv(4096).startswith(b"HTTP/1.1 200"), "stream")
        stop = time.monotonic() + 60
        counts = {}

        def loop(k):
            while time.monotonic() < stop:
                try:
                    status, _ = search(d, "requested_by=nobody&kind=clear&door=8" if k % 2 else "kind=clear")
                    counts[status] = counts.get(status, 0) + 1
                except OSError:
                    pass
        workers = [threading.Thread(target=loop, args=(k,), daemon=True) for k in range(16)]
        for w in workers:
            w.start()
        try:
            time.sleep(1)
            rig.sims[0].control("door 5 force-open")
            t0 = time.monotonic()
            seen = b""
            while b"forced_open" not in seen and time.monotonic() < t0 + 20:
                seen += stream.recv(65536)
            took = time.monotonic() - t0
            check(b"forced_open" in seen, "the forced door's alarm never reached the stream")
            status, page = search(d, "limit=1", token=OPERATOR)
            check(status == 200 and len(page["events"]) == 1, f"another token's search: {status}")
            print(f"alarm on the stream after {took:.2f} s beside 16 searching connections ({counts})")
        finally:
            stop = 0
            for w in workers:
                w.join(30)
            stream.close()
            rig.sims[0].control("door 5 close")
        check(not any(w.is_alive() for w in workers), "a searching connection never finished")


if __name__ == "__main__":
    main(globals())
