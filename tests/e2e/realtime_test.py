#!/usr/bin/python3
"""Real-time end-to-end tests of cabinet-sim through its real transports.

    realtime_test.py TEST_NAME

Paths come from the environment: CABINET_SIM (required) and CABINETCTL (tests
that need it exit 77, "skipped", without it). Every test runs in its own
temporary directory, waits for conditions rather than sleeping, bounds every
wait, and stops every process it started."""
import contextlib
import json
import os
import re
import select
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness import SKIP, Failed, SimProcess as Sim, check, die_with_parent, spawn, wait_for  # noqa: E402,F401
import harness  # noqa: E402

SIM = os.environ.get("CABINET_SIM", "")
CTL = os.environ.get("CABINETCTL", "")


def output_of(p, timeout):
    """What a background cabinetctl printed until it ended, shown in the test log."""
    out, _ = p.communicate(timeout=timeout)
    out = out.decode(errors="replace")
    print(out)
    return out


@contextlib.contextmanager
def running(*args):
    """cabinetctl ARGS in the background, output to a pipe; killed on the way out."""
    p = spawn([CTL, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        yield p
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()


def cabinetctl(*args, timeout=60):
    run = subprocess.run([CTL, *args], capture_output=True, timeout=timeout, preexec_fn=die_with_parent)
    out, err = run.stdout.decode(errors="replace"), run.stderr.decode(errors="replace")
    print(f"$ cabinetctl {' '.join(args)}  -> {run.returncode}\n{out}{err}", flush=True)
    return run.returncode, out + err


def json_lines(text):
    return [json.loads(line) for line in map(str.strip, text.splitlines()) if line.startswith("{")]


def quick_person(sim, door):
    # A brisk person, so a cycle takes about two seconds.
    sim.control(f"door {door} open-after 300")
    sim.control(f"door {door} open-for 600")


# ---- tests that need only cabinet-sim -------------------------------------------------

def test_boot_store_survives_runs(tmp):
    flash = os.path.join(tmp, "store.bin")
    script = os.path.join(tmp, "boot.script")
    with open(script, "w") as f:
        f.write("wait 100\n")

    def session(*extra):
        run = subprocess.run([SIM, "--script", script, "--flash", flash, *extra],
                             capture_output=True, timeout=60, preexec_fn=die_with_parent)
        check(run.returncode == 0, run.stderr.decode())
        first = json.loads(run.stdout.decode().splitlines()[0].split(" ", 1)[1])
        check(first["code"] == "boot", f"first line is not the boot event: {first}")
        return first["session_id"]

    check(not os.path.exists(flash), "store exists before the first run")
    s1 = session()
    check(os.path.getsize(flash) == 8192, "store file is not the 8 KB store")
    s2 = session("--board-id", "0123456789abcdef")
    check(s1.endswith("-0000000000000001"), f"first boot: {s1}")
    check(s2 == "0123456789ABCDEF-0000000000000002", f"second boot with a board id: {s2}")

    # Killed at any moment, even while it rewrites the store (a power cycle
    # every 5 ms writes it hundreds of times a second), the simulator leaves
    # a whole store behind: the next start takes it and carries on counting.
    cycling = os.path.join(tmp, "cycling.script")
    with open(cycling, "w") as f:
        f.write("wait 10\n" + "power-cycle 1\nwait 5\n" * 2000)
    import random
    rng = random.Random(16)
    for kill in range(20):
        p = subprocess.Popen([SIM, "--script", cycling, "--flash", flash], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        time.sleep(rng.uniform(0.02, 0.3))
        p.kill()
        p.wait()
        check(os.path.getsize(flash) == 8192, f"kill {kill}: the store file has {os.path.getsize(flash)} bytes")
    s3 = session()
    check(int(s3.rsplit("-", 1)[1], 16) > 2, f"boot after the kills: {s3}")


class SerialLines:
    """The simulator's pty through pyserial, a program not written here, read
    as JSON lines. Only the first line may be cut: opening the port flushed
    its start."""

    def __init__(self, link):
        import serial  # python3-serial
        self.port = serial.Serial(link, 115200, timeout=0.2)
        self.buf, self.pending, self.whole = b"", [], False

    def read(self, pred, timeout=15):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            while self.pending:
                msg = self.pending.pop(0)
                if pred(msg):
                    return msg
            self.buf += self.port.read(max(1, self.port.in_waiting))
            *lines, self.buf = self.buf.split(b"\n")
            for raw in lines:
                check(b"\r" not in raw, f"line not raw: {raw!r}")
                try:
                    self.pending.append(json.loads(raw))
                except ValueError:
                    check(not self.whole, f"not a JSON line: {raw!r}")
                    continue
                self.whole = True
        raise Failed("no matching line from the pty")

    def send(self, *msgs):
        self.port.write(b"".join(json.dumps(m).encode() + b"\n" for m in msgs))


def test_pyserial_over_pty(tmp):
    """A heartbeat and a state request, then 200 times an open (refused as
    expired) with a heartbeat written right behind it in one go: each line
    gets its own answer over the real pty."""
    link = os.path.join(tmp, "ttyCABINET")
    with Sim(tmp, "--pty", link) as sim:
        check(sim.has(f"linked at {link}"), "no pty line on stderr")
        port = SerialLines(link)
        session = port.read(lambda m: m["type"] == "state")["session_id"]
        port.send({"type": "heartbeat", "session_id": session})
        ack = port.read(lambda m: m["type"] == "ack")
        check(ack["code"] == "heartbeat_ok", f"heartbeat answered {ack}")
        port.send({"type": "state"})
        s = port.read(lambda m: m["type"] == "state" and m["heartbeat_ok"])
        check(s["session_id"] == session, "session changed")
        for i in range(200):
            port.send({"type": "open", "request_id": f"pair-{i}", "session_id": session, "door_id": 1,
                       "pulse_ms": 200, "issued_at_ms": 1, "ttl_ms": 1}, {"type": "heartbeat", "session_id": session})
            codes = [port.read(lambda m: m["type"] == "ack", 10)["code"] for _ in range(2)]
            check(codes == ["expired", "heartbeat_ok"], f"pair {i} answered {codes}")
        port.port.close()
    check(not os.path.lexists(link), "pty symlink left behind")


def test_stdio_ends_with_input(tmp):
    with Sim(tmp, "--stdio", stdio=True) as sim:
        out = sim.proc.stdout
        poller = select.poll()
        poller.register(out, select.POLLIN)

        def read_line(timeout=15):
            check(poller.poll(timeout * 1000), "no output on stdout")
            return out.readline()

        boot = json.loads(read_line())
        check(boot["code"] == "boot", f"first line: {boot}")
        sim.proc.stdin.write(b'{"type":"state"}\n')
        sim.proc.stdin.close()  # end of input: the simulator answers, then leaves
        lines = []
        while True:
            line = read_line()
            if not line:
                break
            lines.append(json.loads(line))
        check(sim.proc.wait(timeout=15) == 0, "cabinet-sim did not exit cleanly at end of input")
        check(any(m["type"] == "state" for m in lines), "no state line before the end")


# ---- tests through cabinetctl ----------------------------------------------------------

def test_sim_state_settled(tmp):
    # A newcomer's first command: the fresh simulator's doors, not "?".
    rc, out = cabinetctl("--sim", "--json", "state")
    state = json_lines(out)[0] if rc == 0 and json_lines(out) else {}
    check(state.get("inputs_valid") is True, f"inputs not settled: {state}")
    check(state["door_closed_mask"] == 255 and state["latch_locked_mask"] == 255, f"doors: {state}")


def test_full_cycles(tmp):
    """Whole open cycles through cabinetctl over each transport: the pty with
    the words a person reads, TCP with the JSON lines a program reads."""
    link = os.path.join(tmp, "tty")
    with Sim(tmp, "--pty", link, "--tcp", "0") as sim:
        quick_person(sim, 3)
        rc, out = cabinetctl("--device", link, "--timeout-ms", "30000", "open", "3", "--wait")
        check(rc == 0, f"open --wait over the pty exit code {rc}")
        check("cycle complete" in out, "no cycle_complete reported")
        check(sim.door(3) == ("closed", "locked"), "door 3 not closed and locked")
        quick_person(sim, 2)
        tcp = f"127.0.0.1:{sim.tcp_port}"
        wait_for(lambda: json_lines(cabinetctl("--tcp", tcp, "--json", "state")[1])[0]["driver_ready"], 10,
                 "the latch driver to re-arm after the first open", step=0.2)
        rc, out = cabinetctl("--tcp", tcp, "--json", "--timeout-ms", "30000", "open", "2", "--pulse-ms", "200", "--wait")
        check(rc == 0, f"open --wait over TCP exit code {rc}")
        codes = [m.get("code") for m in json_lines(out) if m.get("type") == "event"]
        check(codes[:1] == ["open_accepted"] and codes[-1:] == ["cycle_complete"],
              f"events of the cycle: {codes}")
        check("door_open" in codes and "door_closed" in codes, f"events of the cycle: {codes}")
        # The slot is free again for the next client.
        rc, out = cabinetctl("--tcp", tcp, "--json", "state")
        check(rc == 0 and json_lines(out)[0]["state"] == "idle", "not idle after the cycle")


def test_restart_noticed(tmp):
    link = os.path.join(tmp, "tty")
    with Sim(tmp, "--pty", link, "--tcp", "0") as sim:
        sim.control("door 2 hold")
        with running("--device", link, "--timeout-ms", "60000", "watch") as watch, \
             running("--tcp", f"127.0.0.1:{sim.tcp_port}", "--timeout-ms", "60000",
                     "open", "2", "--wait") as opener:
            wait_for(lambda: sim.door(2)[0] == "open", 30, "door 2 to be opened")
            sim.control("power-cycle 300")
            out = output_of(opener, 30)
            check(opener.returncode == 5, f"open --wait exit code {opener.returncode}, expected 5")
            check("restarted" in out, "the restart is not named")
            time.sleep(0.5)  # let watch print what it has read
            watch.send_signal(signal.SIGINT)
            wout = output_of(watch, 15)
            check(re.search(r"new session \S+-0000000000000002", wout), "watch did not notice the new session")


def test_host_lost_mid_cycle(tmp):
    with Sim(tmp, "--tcp", "0") as sim:
        endpoint = f"127.0.0.1:{sim.tcp_port}"
        sim.control("door 3 hold")
        with running("--tcp", endpoint, "--timeout-ms", "60000", "open", "3", "--wait"):
            # Leaving the block kills the host mid-cycle; its connection drops.
            wait_for(lambda: sim.door(3)[0] == "open", 30, "door 3 to be opened")
        wait_for(lambda: sim.has("tcp client disconnected"), 15, "the simulator to see the client go")

        def latched():
            rc, out = cabinetctl("--tcp", endpoint, "--json", "state")
            lines = json_lines(out)
            return rc == 0 and lines and lines[0].get("fault") == "heartbeat_lost"
        wait_for(latched, 30, "heartbeat_lost to be latched", step=0.5)

        sim.control("door 3 close")
        rc, out = cabinetctl("--tcp", endpoint, "--timeout-ms", "20000", "clear")
        check(rc == 0, f"clear exit code {rc}")


NEEDS_CTL = {"sim_state_settled", "full_cycles", "restart_noticed", "host_lost_mid_cycle"}


def main(tests=None, needs_ctl=None):
    """Runs the test named on the command line, one of the test_* functions in
    tests (a module's globals(); this module's by default)."""
    needs_ctl = NEEDS_CTL if needs_ctl is None else needs_ctl
    if not SIM:
        sys.exit("CABINET_SIM is not set")
    harness.main(globals() if tests is None else tests,
                 skip=lambda name: "cabinetctl not built" if name in needs_ctl and not CTL else None)


if __name__ == "__main__":
    main()
