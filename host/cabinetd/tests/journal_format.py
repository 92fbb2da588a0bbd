#!/usr/bin/env python3
"""The hash chain of cabinetd's journal (format 2), as docs/journal-format.md
describes it, in Python: a second implementation written from the document,
not from the C++. The tests that fill a journal straight into its file chain
their records with it, and

    journal_format.py docs/journal-vectors.json

checks the document's test vectors against it (exit 0 when all hold).
"""
import hashlib
import json
import struct
import sys

FORMAT = 2
RECORD_TAG = b"cabinetd-journal-record\0"
LINK_TAG = b"cabinetd-journal-link\0"
LEGACY_TAG = b"cabinetd-journal-legacy\0"
COLUMNS = ["cursor", "at_ms", "cabinet", "kind", "session_id", "event_seq", "seq_to", "code",
           "request_id", "door_id", "detail", "key_scope", "client_key", "uptime_ms",
           "requested_by", "outcome", "settles", "class"]
LINE_TRAFFIC = {"state", "link", "heartbeat", "command"}


def record_class(kind):
    return 1 if kind in LINE_TRAFFIC else 0


def typed(value):
    """A value with its SQLite type: the type's code, then the value."""
    if value is None:
        return b"\x05"
    if isinstance(value, bool):
        raise TypeError("no booleans in a journal")
    if isinstance(value, int):
        return b"\x01" + struct.pack(">q", value)
    if isinstance(value, float):
        return b"\x02" + struct.pack(">d", value)
    if isinstance(value, str):
        value = value.encode()
        return b"\x03" + struct.pack(">Q", len(value)) + value
    if isinstance(value, bytes):
        return b"\x04" + struct.pack(">Q", len(value)) + value
    raise TypeError(f"no such value: {value!r}")


def record_bytes(origin, values):
    return bytes([FORMAT]) + RECORD_TAG + origin + b"".join(typed(v) for v in values)


def link_bytes(prev, number, cursor, kind, cls, digest):
    return (bytes([FORMAT]) + LINK_TAG + prev + struct.pack(">Qq", number, cursor) + typed(kind)
            + typed(cls) + digest)


def sha256(b):
    return hashlib.sha256(b).digest()


def link_hash(prev, number, values, origin):
    """The hash of a record's link: values in COLUMNS' order."""
    digest = sha256(record_bytes(origin, values))
    return sha256(link_bytes(prev, number, values[0], values[3], values[17], digest))


def legacy_digest(links):
    return sha256(bytes([FORMAT]) + LEGACY_TAG + b"".join(struct.pack(">Q", n) for n in links))


def chain(db, after_cursor):
    """Writes the hashes of the records after after_cursor, which a filler
    inserted (in cursor order, each with its class and the link number after
    the one before, the first after the head) with a hash of 32 bytes of any
    value: the same size, so the rows are written in place. The caller
    commits."""
    origin = db.execute("SELECT origin FROM chain_meta").fetchone()[0]
    rows = db.execute(f"SELECT {', '.join(COLUMNS)}, link FROM journal WHERE cursor > ? ORDER BY cursor",
                      (after_cursor,)).fetchall()
    number, prev = head_before(db, after_cursor)
    updates = []
    for values in rows:
        number += 1
        if values[-1] != number:
            raise ValueError(f"record {values[0]} is link {values[-1]}, not {number}")
        prev = link_hash(prev, number, values[:-1], origin)
        updates.append((prev, values[0]))
    db.executemany("UPDATE journal SET hash = ? WHERE cursor = ?", updates)


def head_before(db, cursor):
    """The link at or before a cursor in an sqlite3 connection to a journal:
    its number and hash (the chain's base when there is none)."""
    best = db.execute("SELECT count, hash, cursor FROM chain_base").fetchone()
    for sql in ("SELECT link, hash, cursor FROM journal WHERE hash IS NOT NULL AND cursor <= ? "
                "ORDER BY cursor DESC LIMIT 1",
                "SELECT link, hash, cursor FROM chain_links WHERE cursor <= ? ORDER BY cursor DESC LIMIT 1"):
        row = db.execute(sql, (cursor,)).fetchone()
        if row and row[2] > best[2]:
            best = row
    return best[0], best[1]


def value_of(v):
    if isinstance(v, dict):
        return bytes.fromhex(v["blob"]) if "blob" in v else float(v["real"])
    return v


def check_vectors(path):
    """What in the vectors file this implementation does not agree with."""
    with open(path) as f:
        d = json.load(f)
    problems = []
    if d["format"] != FORMAT or d["columns"] != COLUMNS:
        problems.append("format or columns differ")
    origin = bytes.fromhex(d["origin"])
    for i, r in enumerate(d["records"] + [d["retyped"]]):
        values = [value_of(v) for v in r["stored"]]
        rb = record_bytes(origin, values)
        if rb.hex() != r["record_bytes"] or sha256(rb).hex() != r["digest"]:
            problems.append(f"record {i}: its bytes or digest")
        if "link" not in r:
            continue
        ln = r["link"]
        if (ln["cursor"], ln["kind"], ln["class"]) != (values[0], values[3], values[17]):
            problems.append(f"record {i}: its link does not name it")
        lb = link_bytes(bytes.fromhex(ln["prev"]), ln["number"], ln["cursor"], ln["kind"], ln["class"],
                        bytes.fromhex(r["digest"]))
        if lb.hex() != r["link_bytes"] or sha256(lb).hex() != r["hash"]:
            problems.append(f"record {i}: its link's bytes or hash")
        if i and ln["prev"] != d["records"][i - 1]["hash"]:
            problems.append(f"record {i}: it does not follow the record before it")
    if legacy_digest(d["legacy"]["links"]).hex() != d["legacy"]["digest"]:
        problems.append("the digest of format-1 tombstones")
    last = d["records"][-1]
    if d["anchor"] != f"{d['origin']}:{last['link']['number']}:{last['hash']}":
        problems.append("the anchor")
    return problems


if __name__ == "__main__":
    found = check_vectors(sys.argv[1])
    for p in found:
        print("disagrees:", p)
    if not found:
        print("every vector holds")
    sys.exit(1 if found else 0)
