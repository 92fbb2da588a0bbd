#!/usr/bin/env python3
"""Searches of a large journal (GET /api/events) against cabinetd and a real
cabinet-sim: a flood of them holds up no live stream. (Bounded pages and the
cap on one token's searches: tests/journal/journal_reads_test.cpp and
tests/http/api_test.cpp.)

Usage: audit_test.py TEST   (CABINETD and CABINET_SIM name the programs)
"""
import os
import random
import signal
import socket
import sqlite3
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests"))
from harness import OPERATOR, OPERATOR2, SANITIZED, VIEWER, check, main  # noqa: E402
from daemon_test import Rig  # noqa: E402

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


def fill_rig(rig, records):
    """Gives the rig's cabinetd a journal of `records` records of open cycles
    of "a"; "b" has none."""
    rig.daemon.wait_ready(["a", "b"])
    rig.daemon.kill(signal.SIGTERM)
    fill(rig.daemon.db, records)
    rig.daemon.start()
    rig.daemon.wait_ready(["a", "b"])


def test_streams_beside_searches():
    # Sixteen connections loop searches that match nothing (bounded in
    # time); a door forced open reaches a live stream all the same, and
    # another token's search answers.
    if SANITIZED:
        return 77
    with Rig(2) as rig:
        fill_rig(rig, 200000)
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
