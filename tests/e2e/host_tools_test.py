#!/usr/bin/python3
"""Real-time end-to-end tests of how the host tools behave for a person at a
terminal: interrupting cabinetctl, two programs wanting one serial port, two
simulators wanting one path, and picocom typing at the simulator.

    host_tools_test.py TEST_NAME

The same environment and rules as realtime_test.py, whose helpers it uses."""
import errno
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import time

from realtime_test import (SIM, Failed, SerialLines, Sim, SKIP, cabinetctl, check, die_with_parent, main,
                           output_of, running, wait_for)


def heartbeat_answer(link):
    """Sends one heartbeat on the raw line and returns the ack's code."""
    port = SerialLines(link)
    try:
        port.send({"type": "heartbeat", "session_id": port.read(lambda m: True)["session_id"]})
        return port.read(lambda m: m["type"] == "ack")["code"]
    finally:
        port.port.close()


def test_interrupt_open_wait(tmp):
    link = os.path.join(tmp, "tty")
    with Sim(tmp, "--pty", link) as sim:
        sim.control("door 1 hold")
        with running("--device", link, "--timeout-ms", "60000", "open", "1", "--wait") as ctl:
            wait_for(lambda: sim.door(1)[0] == "open", 30, "door 1 to be opened")
            ctl.send_signal(signal.SIGINT)
            out = output_of(ctl, 15)
        check(ctl.returncode == 130, f"exit code {ctl.returncode}, expected 130")
        check("heartbeat_lost" in out and "interrupted" in out, "no warning about heartbeat_lost")
        # The last heartbeat went out whole: the next host's first line is read as it was sent.
        code = heartbeat_answer(link)
        check(code == "heartbeat_ok", f"the next host's heartbeat was answered {code}")


def test_port_taken_exclusively(tmp):
    link = os.path.join(tmp, "tty")
    with Sim(tmp, "--pty", link):
        with running("--device", link, "events", "--all") as holder:
            # It holds the port once it prints what it reads.
            wait_for(lambda: select.select([holder.stdout], [], [], 0)[0], 15, "the first line")
            check(holder.poll() is None, "events ended: " + holder.stdout.readline().decode())
            rc, out = cabinetctl("--device", link, "--timeout-ms", "3000", "state")
            check(rc == 5, f"second opener exit code {rc}, expected 5")
            check(f"in use by another program: pid {holder.pid} (cabinetctl)" in out,
                  "the holder is not named")
            check(open_as_other_user(link) == errno.EBUSY,
                  "a program ignoring advisory locks could open the port")
            holder.send_signal(signal.SIGINT)
            holder.communicate(timeout=15)
            check(holder.returncode == 0, f"events exit code {holder.returncode}")
        # Released on exit, the exclusive mode included.
        check(open_as_other_user(link) == 0, "the port stays exclusive after its holder left")
        rc, out = cabinetctl("--device", link, "state")
        check(rc == 0, f"state after the holder left: exit code {rc}")


def open_as_other_user(path):
    """errno of opening the terminal without privileges (0: opened). Root
    passes the terminal's exclusive mode, so as root this opens as nobody."""
    target = os.path.realpath(path)
    cmd = [sys.executable, "-c",
           "import os, sys\n"
           "try:\n    os.close(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY))\n"
           "except OSError as e:\n    sys.exit(e.errno)\n", target]
    if os.geteuid() == 0:
        os.chmod(target, 0o666)
        cmd = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *cmd]
    return subprocess.run(cmd, timeout=30).returncode


def test_sim_paths_of_a_live_process(tmp):
    link = os.path.join(tmp, "tty")
    first = Sim(tmp, "--pty", link)
    try:
        other = os.path.join(tmp, "other")
        for pty_path, taken in ((link, link), (other, first.control_path)):
            second = subprocess.run([SIM, "--pty", pty_path, "--control-unix", first.control_path],
                                    capture_output=True, timeout=30, preexec_fn=die_with_parent)
            err = second.stderr.decode(errors="replace")
            print(err)
            check(second.returncode == 1 and f"{taken} is in use" in err, f"the live {taken} was taken over")
        check(not os.path.lexists(other), "the refused simulator left its pty link behind")
        first.control("status")  # the first still answers on both
        check(cabinetctl("--device", link, "state")[0] == 0, "the first lost its pty")
    finally:
        first.proc.kill()  # dies without cleaning up: its link and socket stay
        first.proc.wait()
    check(os.path.lexists(link) and os.path.exists(first.control_path), "no leftovers to replace")
    with Sim(tmp, "--pty", link) as third:
        third.control("status")
        check(cabinetctl("--device", link, "state")[0] == 0, "the leftover pty link was not replaced")
    # A leftover link whose terminal number was handed out again since (to a
    # terminal made after the link) is no sign of a running simulator either.
    master, slave = os.openpty()
    try:
        os.symlink(os.ttyname(slave), link)
        time.sleep(0.02)
        os.chmod(os.ttyname(slave), os.stat(os.ttyname(slave)).st_mode)  # as if made anew
        with Sim(tmp, "--pty", link):
            check(os.readlink(link) != os.ttyname(slave), "the link to a newer terminal was kept")
    finally:
        os.close(slave)
        os.close(master)


def test_picocom_as_a_person(tmp):
    picocom = shutil.which("picocom")
    if not picocom:
        print("picocom not installed: skipped")
        sys.exit(SKIP)
    link = os.path.join(tmp, "tty")
    with Sim(tmp, "--pty", link):
        # The command line the README gives, in a terminal of its own.
        pid, fd = pty.fork()
        if pid == 0:
            os.environ["TERM"] = "dumb"
            os.execv(picocom, [picocom, "-b", "115200", "--omap", "crlf", "--imap", "lfcrlf", "-c", link])
        seen = bytearray()

        def read_until(pattern, timeout=20):
            end = time.monotonic() + timeout
            while time.monotonic() < end:
                m = re.search(pattern, seen)
                if m:
                    return m
                if select.select([fd], [], [], 0.1)[0]:
                    try:
                        seen.extend(os.read(fd, 4096))
                    except OSError:
                        break
            raise Failed(f"picocom never showed {pattern!r}; it showed:\n{seen.decode(errors='replace')}")

        def type_line(text):
            for ch in text:  # a person types one key at a time, then Enter (CR)
                os.write(fd, ch.encode())
            os.write(fd, b"\r")

        try:
            read_until(rb"Terminal ready")
            session = read_until(rb'"session_id":"([^"]+)"').group(1).decode()
            type_line(f'{{"type":"heartbeat","session_id":"{session}"}}')
            read_until(rb'"type":"ack"[^\r\n]*"code":"heartbeat_ok"')
            start = len(seen)
            type_line('{"type":"state"}')
            read_until(re.compile(rb'(?s).{%d}.*"type":"state".*"heartbeat_ok":true' % start))
            # Each line picocom showed ends as a terminal needs it.
            check(b"}\r\n" in seen and b"}\n" not in seen.replace(b"}\r\n", b""), "lines not CRLF-ended")
            os.write(fd, b"\x01\x18")  # C-a C-x: leave picocom
            _, status = os.waitpid(pid, 0)
            check(os.WIFEXITED(status), "picocom did not exit on C-a C-x")
            pid = 0
        finally:
            if pid:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            os.close(fd)


NEEDS_CTL = {"interrupt_open_wait", "port_taken_exclusively", "sim_paths_of_a_live_process"}


if __name__ == "__main__":
    main(globals(), NEEDS_CTL)
