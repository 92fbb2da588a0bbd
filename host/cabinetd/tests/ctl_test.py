#!/usr/bin/env python3
"""cabinetctl beside a running cabinetd: through its HTTP API (--daemon), and
on the serial port cabinetd holds.

Usage: ctl_test.py TEST   (CABINETD, CABINET_SIM and CABINETCTL name the programs)
"""
import json
import os
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests"))
from harness import OPERATOR, VIEWER, Daemon, Sim, check, free_port, main, wait_for  # noqa: E402
from daemon_test import Rig, open_door  # noqa: E402

CTL = os.environ.get("CABINETCTL", "cabinetctl")


def ctl(*args, token=OPERATOR, timeout=60):
    env = {k: v for k, v in os.environ.items() if k != "CABINETD_TOKEN"}
    if token:
        env["CABINETD_TOKEN"] = token
    p = subprocess.run([CTL, *args], capture_output=True, text=True, timeout=timeout, env=env)
    return p.returncode, p.stdout, p.stderr


def test_through_daemon():
    with Rig(2) as rig:
        d = rig.daemon
        d.wait_ready("ab")
        url = f"http://127.0.0.1:{d.port}"

        # Two cabinets: which one must be said.
        rc, out, err = ctl("--daemon", url, "state")
        check(rc == 1 and "--cabinet" in err and "a, b" in err, f"no cabinet named: {rc} {out} {err}")
        rc, out, err = ctl("--daemon", url, "--cabinet", "a", "--json", "state")
        check(rc == 0 and json.loads(out)["link"] == "up", f"state: {rc} {out} {err}")

        # An open that completes with --wait, its events printed.
        rc, out, err = ctl("--daemon", url, "--cabinet", "a", "open", "3", "--pulse-ms", "300", "--wait")
        check(rc == 0 and "cycle complete" in out and "door_open" in out, f"open --wait: {rc} {out} {err}")

        # A refusal: exit 2 with the controller's code.
        status, _ = open_door(d, "b", 1)
        check(status == 202, f"first open on b: {status}")
        rc, out, err = ctl("--daemon", url, "--cabinet", "b", "--json", "open", "2")
        result = json.loads(out.splitlines()[-1])
        check(rc == 2 and result["code"] == "busy" and result["outcome"] == "refused", f"refusal: {rc} {out} {err}")

        # The same --key twice opens once: the second is the first's answer.
        rc, out, err = ctl("--daemon", url, "--cabinet", "a", "--json", "open", "5", "--key", "ctl-retry-1")
        check(rc == 0 and not json.loads(out.splitlines()[0])["replayed"], f"keyed open: {rc} {out} {err}")
        rc, out, err = ctl("--daemon", url, "--cabinet", "a", "--json", "open", "5", "--key", "ctl-retry-1")
        check(rc == 0 and json.loads(out.splitlines()[0])["replayed"], f"keyed retry: {rc} {out} {err}")

        # Tokens: none, unknown, and a viewer asking to act; nothing reaches
        # a controller.
        before = d.journal("SELECT count(*) FROM journal WHERE kind='command' AND code IN ('open','clear_fault')")[0][0]
        rc, _, err = ctl("--daemon", url, "--cabinet", "a", "open", "4", token=None)
        check(rc == 1 and "CABINETD_TOKEN" in err, f"no token: {rc} {err}")
        rc, _, err = ctl("--daemon", url, "--cabinet", "a", "open", "4", token="not-a-token-0123456789")
        check(rc == 1 and "401" in err, f"unknown token: {rc} {err}")
        with tempfile.NamedTemporaryFile("w", suffix=".token") as f:
            f.write(f"# the wallboard's token\n{VIEWER}\n")
            f.flush()
            rc, _, err = ctl("--daemon", url, "--cabinet", "a", "--token-file", f.name, "clear", token=None)
            check(rc == 1 and "403" in err, f"viewer clearing: {rc} {err}")
            rc, out, err = ctl("--daemon", url, "--cabinet", "a", "--token-file", f.name, "state", token=None)
            check(rc == 0 and "link up" in out, f"viewer reading: {rc} {out} {err}")
        after = d.journal("SELECT count(*) FROM journal WHERE kind='command' AND code IN ('open','clear_fault')")[0][0]
        check(after == before, "a refused token's request reached a controller")

        # A cabinet whose link is down: exit 5.
        rig.sims[1].proc.kill()
        wait_for(lambda: d.cabinet("b")["link"] == "down", 3, "b down")
        rc, out, err = ctl("--daemon", url, "--cabinet", "b", "open", "2")
        check(rc == 5, f"open on a dead link: {rc} {out} {err}")

    # Nobody listening: exit 5.
    rc, _, err = ctl("--daemon", f"http://127.0.0.1:{free_port()}", "state")
    check(rc == 5 and "could not connect" in err, f"unreachable: {rc} {err}")


def test_serial_port_held():
    # One serial port, two programs: whichever has it first keeps it, and the
    # other is told who holds it. cabinetd retries until the port is free.
    with tempfile.TemporaryDirectory(prefix="cabinetd-test-") as work:
        sim = Sim(work, "a", serial="pty")
        holder = subprocess.Popen([CTL, "--device", sim.pty_path, "events", "--timeout-ms", "60000"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        d = None
        try:
            with open("/proc/locks") as f:  # its lock taken
                wait_for(lambda: f.seek(0) == 0 and f" {holder.pid} " in f.read(), 10, "cabinetctl holding the port")
            d = Daemon(work, [sim])
            a = wait_for(lambda: (lambda c: c if "cabinetctl" in c["link_reason"] else None)(d.cabinet("a")), 5,
                         "the holder named in the link's reason")
            check(a["link"] == "down" and "in use" in a["link_reason"], f"status while held: {a}")
            check(any("in use" in l and "cabinetctl" in l for l in d.log), "the holder is not in the log")
            holder.terminate()
            holder.wait(10)
            d.wait_ready("a", timeout=15)
            rc, out, err = ctl("--device", sim.pty_path, "--timeout-ms", "2000", "state")
            check(rc == 5 and "in use" in err and "(cabinetd)" in err, f"second opener: {rc} {out} {err}")
            status, body = open_door(d, "a", 2)
            check(status == 202, f"cabinetd lost the port to the second opener: {status} {body}")
        finally:
            if holder.poll() is None:
                holder.kill()
            if d:
                d.kill(signal.SIGTERM)
            sim.stop()


if __name__ == "__main__":
    main(globals())
