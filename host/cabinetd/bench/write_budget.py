#!/usr/bin/env python3
"""What one cabinet costs the disk: bytes written and journal growth per day,
idle and with one open cycle a minute, extrapolated from a run of cabinetd
against one cabinet-sim. Printed, not asserted.

Written bytes are the process's write_bytes (/proc/PID/io: what it sent, or
will send, to the storage layer, database, log and checkpoints together).
Growth is taken from the database's used bytes (SQLite's dbstat: pages less
their unused space), because the files grow a whole page at a time and a run
of a minute or two cannot tell a page a day from a page a minute; the files'
own sizes (database + WAL) are printed beside it.

The busy figure is the idle rate plus 1440 times what one open cycle adds
(measured over several cycles, more often than once a minute so a short run
sees enough of them). cabinetd copies its log into the database every 1000
log pages or 30 minutes, which a short run does not reach: the benchmark runs
that checkpoint itself at the end and counts what it wrote as the cycles'.
A run long enough to pass through cabinetd's own (BUDGET_BUSY_S=420) writes
about as much a cycle as a short one.

Where the cycles' log went is printed too, read from the log file itself:
transactions per cycle, frames (pages) per cycle, and per transaction which
table or index each frame was a page of.

    CABINETD=... CABINET_SIM=... write_budget.py
    BUDGET_IDLE_S (default 40), BUDGET_BUSY_S (60), BUDGET_CYCLE_S (12)
"""
import os
import sqlite3
import struct
import sys
import tempfile
import time
from collections import Counter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests"))
from harness import SANITIZED, Daemon, Failed, Sim, check  # noqa: E402
from daemon_test import open_door  # noqa: E402

DAY = 86400.0


def write_bytes(pid="self"):
    with open(f"/proc/{pid}/io") as f:
        for line in f:
            if line.startswith("write_bytes:"):
                return int(line.split()[1])
    raise Failed("no write_bytes in /proc/PID/io")


def files(db):
    return sum(os.path.getsize(p) for p in (db, db + "-wal") if os.path.exists(p))


def sample(d):
    rows = d.journal("SELECT sum(pgsize - unused), count(*) FROM dbstat")
    return {"t": time.monotonic(), "written": write_bytes(d.proc.pid), "files": files(d.db),
            "used": rows[0][0] or 0, "records": d.journal("SELECT count(*) FROM journal")[0][0]}


def checkpoint(db, mode="PASSIVE"):
    """Copies the log into the database; the bytes that took."""
    before = write_bytes()
    conn = sqlite3.connect(db, timeout=10)
    try:
        conn.execute(f"PRAGMA wal_checkpoint({mode})").fetchall()
    finally:
        conn.close()
    return write_bytes() - before


def log_frames(db):
    """The frames in the write-ahead log since it last started over:
    (page size, [(page, commit)]), a commit frame being the last of its
    transaction; no page size when there is no log."""
    try:
        with open(db + "-wal", "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None, []
    if len(data) < 32:
        return None, []
    page_size = struct.unpack(">I", data[8:12])[0]
    salt = data[16:24]
    frames, off = [], 32
    while off + 24 + page_size <= len(data) and data[off + 8:off + 16] == salt:
        page, size_after = struct.unpack(">II", data[off:off + 8])
        frames.append((page, size_after != 0))
        off += 24 + page_size
    return page_size, frames


def where_frames_go(d, log, cycles):
    """What the log got during the cycles (it was emptied before them):
    transactions, frames, and which table or index each frame was a page of."""
    page_size, frames = log
    if page_size is None:
        return "no log: no breakdown"
    commits = sum(1 for _, c in frames if c)
    names = dict((page, name) for name, page in d.journal("SELECT name, pageno FROM dbstat"))
    names[1] = "page 1 (the header)"
    by = Counter(names.get(page, "free list") for page, _ in frames)
    parts = ", ".join(f"{n} {c / max(commits, 1):.1f}" for n, c in by.most_common())
    return (f"per cycle: {commits / cycles:.1f} commits, {len(frames) / cycles:.1f} log frames "
            f"({len(frames) * (page_size + 24) / cycles / 1e3:.1f} kB; {page_size}-byte pages); "
            f"frames a commit, by table or index: {parts}")


def delta(a, b):
    return {k: b[k] - a[k] for k in a}


def mb(x):
    return f"{x / 1e6:8.2f} MB"


def open_cycles(d, seconds, cycle_s, since_cursor):
    """Opens a door every cycle_s for seconds, each cycle waited for; how many
    completed. The first cycle's records are printed."""
    cycles, door = 0, 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        started = time.monotonic()
        door = door % 8 + 1
        status, body = open_door(d, "a", door, wait=True, body={"pulse_ms": 200, "ttl_ms": 2000})
        if status in (503, 504):  # a machine too busy for the simulator to keep up: not a cycle
            print(f"open not admitted ({body.get('code')}), waiting for the cabinet")
            d.wait_ready("a", timeout=60)
            continue
        check(status == 200 and body.get("cycle", {}).get("end") == "cycle_complete", f"cycle: {status} {body}")
        if cycles == 0:
            kinds = d.journal("SELECT kind, code FROM journal WHERE cursor > ? ORDER BY cursor", (since_cursor,))
            print("one cycle's records: " + ", ".join(f"{k}/{c}" for k, c in kinds))
        cycles += 1
        time.sleep(max(0.0, cycle_s - (time.monotonic() - started)))
    return cycles


def main():
    if SANITIZED:
        return 77  # a sanitizer build's figures say nothing about the product's
    idle_s = float(os.environ.get("BUDGET_IDLE_S", "40"))
    busy_s = float(os.environ.get("BUDGET_BUSY_S", "60"))
    cycle_s = float(os.environ.get("BUDGET_CYCLE_S", "12"))
    # On the build tree's disk, not a tmpfs /tmp: tmpfs writes are not counted.
    with tempfile.TemporaryDirectory(prefix="cabinetd-budget-", dir=os.getcwd()) as work:
        sim = Sim(work, "a")
        d = Daemon(work, [sim])
        try:
            d.wait_ready("a")
            # A person opens the door a second after the latch releases and
            # closes it five seconds later: the cycle's records arrive over
            # seconds, as they do at a real cabinet, not in one commit.
            for door in range(1, 9):
                sim.control(f"door {door} open-after 1000")
                sim.control(f"door {door} open-for 5000")
            time.sleep(5)  # the first records and the first checkpoint are not the steady state
            checkpoint(d.db)

            s0 = sample(d)
            time.sleep(idle_s)
            s1 = sample(d)
            idle = delta(s0, s1)
            s1_cursor = d.journal("SELECT coalesce(max(cursor), 0) FROM journal")[0][0]

            # The log emptied (by this process, whose writes are not counted),
            # so that what it holds afterwards is the cycles' alone.
            checkpoint(d.db, "TRUNCATE")
            cycles = open_cycles(d, busy_s, cycle_s, s1_cursor)
            time.sleep(2)  # the last cycle's records committed
            s2 = sample(d)
            breakdown = where_frames_go(d, log_frames(d.db), max(cycles, 1))
            busy = delta(s1, s2)
            closing = checkpoint(d.db)
            busy["written"] += closing
        finally:
            d.kill()
            sim.stop()

    def per_day(part, key):
        return part[key] / part["t"] * DAY

    def per_cycle(key):
        return (busy[key] - idle[key] / idle["t"] * busy["t"]) / cycles

    print(f"one cabinet, idle {idle['t']:.0f} s, then {cycles} open cycles in {busy['t']:.0f} s")
    print(f"per cycle: {per_cycle('written') / 1e3:.1f} kB written, {per_cycle('used') / 1e3:.2f} kB of journal, "
          f"{per_cycle('records'):.1f} records")
    print(breakdown)
    print(f"of the written: the closing checkpoint {closing / max(cycles, 1) / 1e3:.1f} kB a cycle, copying what "
          f"{cycles} cycles changed since cabinetd's own last")
    print("                      written/day      growth/day   (files: db+wal)")
    print(f"idle                 {mb(per_day(idle, 'written'))}     {mb(per_day(idle, 'used'))}   "
          f"({mb(per_day(idle, 'files'))})")
    bw = per_day(idle, "written") + 1440 * per_cycle("written")
    bg = per_day(idle, "used") + 1440 * per_cycle("used")
    bf = per_day(idle, "files") + 1440 * (busy["files"] - idle["files"] / idle["t"] * busy["t"]) / cycles
    print(f"one open a minute    {mb(bw)}     {mb(bg)}   ({mb(bf)})")
    print("goals: idle <= 10 MB written and <= 1 MB growth a day; one open a minute <= 100 MB and <= 10 MB; "
          "an open cycle <= 16 kB written")


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failed as e:
        print(f"FAILED: {e}", file=sys.stderr)
        sys.exit(1)
