#!/usr/bin/env python3
"""What an idle cabinet costs cabinetd: CPU and wake-ups per cabinet with 16
idle simulated cabinets, and how long an open takes to be answered. Printed,
not asserted.

CPU is the process's utime + stime (/proc/PID/stat) over the run; wake-ups
are the context switches of all its threads (voluntary and involuntary, from
/proc/PID/task/*/status), which count every time a thread went to sleep or
was put off the CPU. The open's latency is the median of the answers to
single opens (no wait for the cycle), one cabinet after another.

    CABINETD=... CABINET_SIM=... idle_cost.py
    IDLE_CABINETS (default 16), IDLE_S (10), IDLE_OPENS (20)
"""
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests"))
from harness import SANITIZED, Daemon, Failed, Sim, check, wait_for  # noqa: E402
from daemon_test import open_door  # noqa: E402


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        # The command name may hold spaces: the fields count from after its ')'.
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def switches(pid):
    """Context switches (voluntary, involuntary) of every thread alive now, by thread id."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        n = [0, 0]
        try:
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        n[0] = int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches"):
                        n[1] = int(line.split()[1])
        except FileNotFoundError:
            continue  # the thread ended meanwhile
        out[tid] = n
    return out


def idle_cost(d, cabinets, seconds):
    """CPU (% of a core) and wake-ups (voluntary, involuntary) a second, per cabinet."""
    pid = d.proc.pid
    c0, s0, t0 = cpu_seconds(pid), switches(pid), time.monotonic()
    time.sleep(seconds)
    c1, s1, t1 = cpu_seconds(pid), switches(pid), time.monotonic()
    per = (t1 - t0) * cabinets
    woke = [sum(n[i] - s0.get(tid, [0, 0])[i] for tid, n in s1.items()) / per for i in (0, 1)]
    return 100 * (c1 - c0) / per, woke


def open_latency(d, names, opens):
    times = []
    for i in range(opens):
        name = names[i % len(names)]
        # A cabinet met again must have ended its last cycle (the wait is not timed).
        wait_for(lambda: (d.cabinet(name)["controller"] or {}).get("state_text") == "idle", 30, f"{name} idle")
        started = time.monotonic()
        status, body = open_door(d, name, i % 8 + 1, body={"pulse_ms": 200, "ttl_ms": 2000})
        times.append(time.monotonic() - started)
        check(status in (200, 202) and body.get("code") == "accepted", f"open {name}: {status} {body}")
        time.sleep(0.1)  # apart, as opens come from people
    return statistics.median(times) * 1000, max(times) * 1000


def main():
    if SANITIZED:
        return 77  # a sanitizer build's figures say nothing about the product's
    count = int(os.environ.get("IDLE_CABINETS", "16"))
    seconds = float(os.environ.get("IDLE_S", "10"))
    opens = int(os.environ.get("IDLE_OPENS", "20"))
    names = [f"c{i}" for i in range(count)]
    with tempfile.TemporaryDirectory(prefix="cabinetd-idle-") as work:
        sims = [Sim(work, n, flash=False) for n in names]
        d = None
        try:
            d = Daemon(work, sims)
            d.wait_ready(names, timeout=60)
            time.sleep(2)  # past the start's own work
            cpu, woke = idle_cost(d, count, seconds)
            median, worst = open_latency(d, names, opens)
        finally:
            if d:
                d.kill()
            for s in sims:
                s.stop(strict=False)
    # Involuntary switches are the machine's load taking the CPU away, not
    # cabinetd waking: shown apart.
    print(f"{count} idle cabinets over {seconds:.0f} s, per cabinet: {cpu:.3f} % of a core, "
          f"{sum(woke):.1f} wake-ups/s ({woke[0]:.1f} voluntary, {woke[1]:.1f} involuntary); "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"open answered: median {median:.1f} ms, slowest {worst:.1f} ms, of {opens}")
    print("goals: <= 0.1 % of a core and <= 20 wake-ups/s per idle cabinet")


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failed as e:
        print(f"FAILED: {e}", file=sys.stderr)
        sys.exit(1)
