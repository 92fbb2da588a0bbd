#!/usr/bin/env python3
"""Searches of a large journal (GET /api/events) against cabinetd and a real
cabinet-sim: a flood of them holds up no live stream. The audit says what
became of each open, and a flood of refused opens costs the journal next to
nothing. (Bounded pages and the
cap on one token's searches: tests/journal/journal_reads_test.cpp and
tests/http/api_test.cpp.)

Usage: audit_test.py TEST   (CABINETD and CABINET_SIM name the programs)
"""
import csv
import io
import os
import random
import signal
import socket
import sqlite3
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests"))
from harness import OPERATOR, OPERATOR2, SANITIZED, VIEWER, check, main, wait_for  # noqa: E402
from daemon_test import Rig, open_door  # noqa: E402
import journal_format  # noqa: E402

# An open cycle as cabinetd journals it: ten records, the fourth to eighth events.
FILL_SQL = """
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < :count - 1),
r AS (SELECT i, i % 10 AS k, i / 10 AS c, printf('%013d%031x', :start + i, i / 10) AS rid FROM n)
INSERT INTO journal (at_ms, cabinet, kind, session_id, event_seq, code, request_id, door_id, detail,
                     key_scope, client_key, uptime_ms{requester_column}{chain_columns})
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
  CASE WHEN k BETWEEN 3 AND 7 THEN i * 1000 ELSE NULL END{requester_value}{chain_values}
FROM r
"""
# A journal with a hash chain of format 2 (schema 7 on): each record's class
# and link number, a hash of the right size written by journal_format.chain.
CHAIN_COLUMNS = ", class, link, hash"
CHAIN_VALUES = ", CASE WHEN k IN (1, 8, 9) THEN 1 ELSE 0 END, :link + i + 1, zeroblob(32)"


def fill(db_path, count, cabinet="a", start_ms=None, step_ms=1000):
    """Adds count records of open cycles by "ops" (doors 1 to 7) to a stopped
    cabinetd's journal, stamped step_ms apart from start_ms, in any schema
    version cabinetd has had since the second; returns the last cursor."""
    db = sqlite3.connect(db_path)
    try:
        has_requester = any(row[1] == "requested_by" for row in db.execute("PRAGMA table_info(journal)"))
        chained = db.execute("SELECT count(*) FROM sqlite_master WHERE name = 'chain_meta'").fetchone()[0]
        sql = FILL_SQL.format(requester_column=", requested_by" if has_requester else "",
                              requester_value=", CASE WHEN k = 0 THEN 'ops' ELSE '' END" if has_requester else "",
                              chain_columns=CHAIN_COLUMNS if chained else "",
                              chain_values=CHAIN_VALUES if chained else "")
        start = start_ms if start_ms is not None else int(time.time() * 1000) - count * step_ms
        before = db.execute("SELECT coalesce(max(cursor), 0) FROM journal").fetchone()[0]
        links = journal_format.head_before(db, before)[0] if chained else 0
        db.execute(sql, {"count": count, "start": start, "step": step_ms, "cabinet": cabinet, "link": links,
                         "session": f"{random.getrandbits(64):016X}-0000000000000001"})
        if chained:
            journal_format.chain(db, before)
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


def used_bytes(d):
    (pages, free, size), = d.journal("SELECT * FROM pragma_page_count, pragma_freelist_count, pragma_page_size")
    return (pages - free) * size


def test_outcomes_and_a_flood_of_refusals():
    # An accepted open and a refused one show their outcome in the audit and
    # its CSV, as an alarm its state and actor; 200 more refusals of the
    # same open become one record.
    with Rig(1) as rig:
        d = rig.daemon
        d.wait_ready(["a"])
        status, body = open_door(d, "a", 3, wait=True, body={"pulse_ms": 300, "ttl_ms": 2000})
        check(status == 200 and body["code"] == "accepted", f"open a/3: {status} {body}")
        rig.sims[0].control("door 5 force-open")  # an open door: every open is refused
        wait_for(lambda: d.cabinet("a")["alarms"], 10, "the forced door's alarm")
        before = used_bytes(d)
        flood = 200
        for _ in range(flood + 1):
            status, body = open_door(d, "a", 2)
            check(status == 409 and body["code"] == "door_not_secure", f"refused: {status} {body}")
        d.request("GET", "/api/events?limit=1", token=VIEWER)
        time.sleep(1.5)  # what nobody waits for is committed within a second
        grown = used_bytes(d) - before
        print(f"{flood + 1} refused opens grew the journal by {grown} bytes, {grown / (flood + 1):.0f} per open")
        check(grown < 40 * 1024, f"a flood of refusals grew the journal by {grown} bytes")

        opens = d.events(kind="open")
        check([e.get("outcome") for e in opens] == ["accepted", "door_not_secure"], f"opens: {opens}")
        refused = d.events(outcome="refused")
        check([e["request_id"] for e in refused] == [opens[1]["request_id"]], f"refused: {refused}")
        check(search(d, "outcome=nonsense")[0] == 400, "an unknown outcome is refused")
        status, text = search(d, "kind=open,alarm&format=csv")
        rows = list(csv.reader(io.StringIO(text)))
        head = rows[0]
        col = {name: head.index(name) for name in ("at", "kind", "outcome", "alarm_state", "actor")}
        check(all(r[col["at"]].endswith("Z") for r in rows[1:]), f"CSV times: {rows}")
        check([r[col["outcome"]] for r in rows if r[col["kind"]] == "open"] == ["accepted", "door_not_secure"],
              f"CSV outcomes: {rows}")
        check(any(r[col["alarm_state"]] == "raised" and r[col["actor"]] == "cabinetd" for r in rows),
              f"CSV alarm: {rows}")

        # The count is journalled when cabinetd stops, and found by outcome.
        rig.daemon.kill(signal.SIGTERM)
        rig.daemon.start()
        rig.sims[0].control("door 5 close")
        d.wait_ready(["a"])
        counted = d.events(kind="refused")
        check(len(counted) == 1 and counted[0]["detail"]["count"] == flood
              and counted[0]["outcome"] == "door_not_secure", f"counted: {counted}")
        check(len(d.events(outcome="door_not_secure")) == 2, "the refusals by their code")


if __name__ == "__main__":
    main(globals())
