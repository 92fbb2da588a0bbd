#!/usr/bin/env python3
"""cabinetctl beside a running cabinetd: through its HTTP API (--daemon), and
on the serial port cabinetd holds.

Usage: ctl_test.py TEST   (CABINETD, CABINET_SIM and CABINETCTL name the programs)
"""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests"))
from harness import OPERATOR, VIEWER, Daemon, Sim, check, die_with_parent, free_port, main, wait_for  # noqa: E402
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

        # The journal's chain, checked from its file beside the running
        # cabinetd, and against the head its API gave.
        status, head = wait_for(lambda: (lambda r: r if r[1]["chain"] == "holds" else None)(
            d.request("GET", "/api/journal/head", token=VIEWER)), 10, "the chain checked")
        check(status == 200 and head["count"] > 0, f"journal head: {status} {head}")
        rc, out, err = ctl("journal", "verify", "--db", d.db, "--anchor", head["anchor"], token=None)
        check(rc == 0 and "the chain holds" in out and head["origin"] in out, f"journal verify: {rc} {out} {err}")
        # An anchor given empty, or without the journal it is of, is a
        # usage error, never "no anchor"; a FIFO is refused without waiting
        # for a writer.
        for bad, why in (("", "empty"), (head["anchor"].split(":", 1)[1], "origin")):
            rc, out, err = ctl("journal", "verify", "--db", d.db, "--anchor", bad, token=None)
            check(rc == 1 and why in err and not out, f"--anchor {bad!r}: {rc} {out} {err}")
        fifo = os.path.join(rig.dir.name, "fifo.db")
        os.mkfifo(fifo)
        rc, out, err = ctl("journal", "verify", "--db", fifo, token=None, timeout=30)
        check(rc == 1 and "FIFO" in err, f"a FIFO: {rc} {out} {err}")

        # Refusals and their exit codes: test_same_exit_codes_both_ways.
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

        # A fresh token, its hash in the file: it works once cabinetd reloads,
        # within its scope; what cabinetd would refuse is refused here.
        rc, out, err = ctl("token", "new", "kim", "operator", "a:1-4", token=None)
        fresh, line = out.splitlines()
        check(rc == 0 and len(fresh) == 32 and line.startswith("kim operator sha256:") and fresh not in line,
              f"token new: {rc} {out} {err}")
        with open(d.tokens, "a") as f:
            f.write(line + "\n")
        d.proc.send_signal(signal.SIGHUP)
        me = wait_for(lambda: (lambda r: r[1] if r[0] == 200 else None)(d.request("GET", "/api/whoami", token=fresh)), 5,
                      "the new token taken")
        check(me["name"] == "kim" and me["scope"] == {"a": [1, 2, 3, 4]}, me)
        rc, _, err = ctl("--daemon", url, "--cabinet", "b", "state", token=fresh)
        check(rc == 1 and "not_permitted" in err, f"outside its scope: {rc} {err}")
        for bad in (["kim", "admin"], ["k m", "viewer"], ["kim", "viewer", "a:9"]):
            rc, out, err = ctl("token", "new", *bad, token=None)
            check(rc == 1 and not out and err, f"token new {bad}: {rc} {out} {err}")

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


class Relay:
    """A TCP relay in front of a simulator's serial port whose line to the
    controller can be cut: while deaf, what the host sends is dropped, and
    the controller's lines still arrive."""

    def __init__(self, sim):
        self.name, self.upstream = sim.name, sim.serial_port
        self.deaf = False
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def endpoint(self):
        return f"{self.name}=tcp:127.0.0.1:{self.port}"

    def _accept(self):
        while True:
            try:
                host, _ = self.server.accept()
            except OSError:
                return
            controller = socket.create_connection(("127.0.0.1", self.upstream))
            threading.Thread(target=self._pump, args=(host, controller, True), daemon=True).start()
            threading.Thread(target=self._pump, args=(controller, host, False), daemon=True).start()

    def _pump(self, src, dst, from_host):
        try:
            while data := src.recv(4096):
                if not (from_host and self.deaf):
                    dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):  # shutdown wakes the other direction's recv
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def close(self):
        self.server.close()


def store_without_identity(path):
    """A boot store whose record holds the last boot number there is: the
    controller cannot take the next one, and runs without a session identity."""
    n = (1 << 64) - 1
    record = struct.pack("<IQQ", 0x43414231, n, 0)
    h = 0x811C9DC5
    for b in record:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    record += struct.pack("<I", h)
    with open(path, "wb") as f:
        f.write(record.ljust(256, b"\xff").ljust(8192, b"\xff"))


class BothWays:
    """One cabinetctl command over the line to one simulator and through
    cabinetd to its twin, side by side; control commands go to both."""

    def __init__(self, daemon, line, twin, line_sim, twin_sim):
        self.daemon, self.url = daemon, f"http://127.0.0.1:{daemon.port}"
        self.line, self.twin = line, twin
        self.sims = (line_sim, twin_sim)

    def control(self, *commands):
        for c in commands:
            for s in self.sims:
                s.control(c)

    def line_free(self):
        """The simulator serves one host at a time on its line and turns away
        one that connects before it has seen the last one go."""
        sim = self.sims[0]

        def free():
            with sim.lock:
                log = list(sim.stderr)
            return sum("tcp client connected" in l for l in log) == sum("tcp client disconnected" in l for l in log)
        wait_for(free, 10, "the line free for the next host")

    def start(self, *args):
        self.line_free()
        env = {**os.environ, "CABINETD_TOKEN": OPERATOR}
        ways = (["--tcp", f"127.0.0.1:{self.line.port}"], ["--daemon", self.url, "--cabinet", self.twin.name])
        return [subprocess.Popen([CTL, *way, "--json", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True, env=env, preexec_fn=die_with_parent) for way in ways]

    @staticmethod
    def finish(procs, timeout=60):
        results = []
        for p in procs:
            out, err = p.communicate(timeout=timeout)
            lines = [json.loads(l) for l in out.splitlines() if l.startswith('{"')]
            result = next((l for l in reversed(lines) if l.get("type") == "result"), {})
            results.append((p.returncode, result.get("code"), out + err))
        return results

    def same(self, expect, code, *args, procs=None):
        """Both ways exit with expect; code: the result's code both give (None: not compared).
        Returns what cabinetctl printed through cabinetd."""
        (line_rc, line_code, line_out), (d_rc, d_code, d_out) = self.finish(procs or self.start(*args))
        what = f"{' '.join(args)}: over the line {line_rc} {line_code}, through cabinetd {d_rc} {d_code}"
        print(what, flush=True)
        check(line_rc == d_rc == expect, f"{what} (expected exit {expect})\n{line_out}\n{d_out}")
        check(code is None or line_code == d_code == code, f"{what} (expected code {code})")
        return d_out

    def secure(self, idle=True):
        """Waits until both controllers have seen every door closed and locked,
        and with idle, are ready for the next open (no fault, no cycle, the
        latch driver re-armed)."""
        def ready(state):
            return (state.get("door_closed_mask") == 255 and state.get("latch_locked_mask") == 255
                    and (not idle or (state["state"] == "idle" and state["driver_ready"])))

        def line_ready():
            p = subprocess.run([CTL, "--tcp", f"127.0.0.1:{self.line.port}", "--json", "state"],
                               capture_output=True, text=True, timeout=30, preexec_fn=die_with_parent)
            return p.returncode == 0 and ready(json.loads(p.stdout))

        def twin_ready():
            c = self.daemon.cabinet(self.twin.name)
            doors = c["doors"] or []
            return (len(doors) == 8 and all(d["closed"] and d["locked"] for d in doors)
                    and (not idle or (c["admits_open"] and c["controller"]["driver_ready"])))
        wait_for(line_ready, 10, "the controller ready over the line")
        wait_for(twin_ready, 10, "the controller ready through cabinetd")

    def door_open(self, n, procs=()):
        try:
            wait_for(lambda: all(s.door(n)[0] == "open" for s in self.sims), 15, f"door {n} opened on both")
        except Exception:
            for p in procs:
                p.kill()
            for _, _, out in self.finish(procs):
                print(out)
            raise


def refusals_faults_and_restarts(ways):
    """Each answer in turn, both ways: a door not secure, a fault and its
    clear, a busy controller, a restart under a waiting open."""
    ways.control("door 2 force-open")
    ways.same(2, "door_not_secure", "open", "3")
    ways.control("door 2 close", "door 1 hold")
    ways.secure()
    waiting = ways.start("open", "1", "--wait")
    ways.door_open(1, waiting)
    ways.control("door 6 force-open")
    ways.same(3, "other_door_unsafe", "open", "1", "--wait", procs=waiting)
    ways.same(2, "fault", "open", "4")
    ways.same(2, "clear_denied", "clear")
    ways.control("door 6 close", "door 1 close")
    ways.secure(idle=False)
    ways.same(0, "cleared", "clear")

    ways.control("door 2 hold")
    ways.same(0, "accepted", "open", "2")
    ways.same(2, "busy", "open", "3")
    ways.door_open(2)
    ways.control("door 2 close")
    ways.secure(idle=False)
    # Over the line nobody kept the heartbeats going once cabinetctl
    # was gone, so that controller may have latched heartbeat_lost
    # before the door closed: a clear brings both back to idle.
    ways.same(0, "cleared", "clear")
    ways.secure()

    ways.control("door 4 hold")
    waiting = ways.start("open", "4", "--wait")
    ways.door_open(4, waiting)
    ways.control("power-cycle 300")
    ways.same(5, "session_changed", "open", "4", "--wait", procs=waiting)
    ways.control("door 4 close")
    ways.daemon.wait_ready(["twin"])


def test_same_exit_codes_both_ways():
    # One answer of the controller, one exit code, whichever road cabinetctl
    # takes to it: straight over the line, or through cabinetd.
    with tempfile.TemporaryDirectory(prefix="cabinetd-test-") as work:
        for name in ("line_noid", "noid"):
            store_without_identity(os.path.join(work, f"{name}.flash"))
        sims = {n: Sim(work, n) for n in ("line", "twin", "line_noid", "noid")}
        relays = {n: Relay(sims[n]) for n in ("line", "twin")}
        d = Daemon(work, [relays["twin"], sims["noid"]])
        try:
            d.wait_ready(["twin"])
            wait_for(lambda: (d.cabinet("noid").get("controller") or {}).get("fault") == "identity_invalid", 10,
                     "the controller without identity heard")
            noid = BothWays(d, Relay(sims["line_noid"]), sims["noid"], sims["line_noid"], sims["noid"])
            noid.same(2, "identity_invalid", "open", "1")
            noid.same(2, "identity_invalid", "clear")
            noid.line.close()

            ways = BothWays(d, relays["line"], relays["twin"], sims["line"], sims["twin"])
            refusals_faults_and_restarts(ways)
            ways.secure()

            for r in relays.values():
                r.deaf = True
            # cabinetd answers at its own ack timeout (1 s); the client's 5 s
            # leaves it room on a loaded machine.
            out = ways.same(4, None, "--timeout-ms", "5000", "open", "5")
            check('"code":"timeout","idempotency_key"' in out, f"cabinetd did not answer the timeout: {out}")
        finally:
            d.kill(signal.SIGTERM)
            for r in relays.values():
                r.close()
            for s in sims.values():
                s.stop()


if __name__ == "__main__":
    main(globals())
