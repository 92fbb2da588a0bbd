#!/usr/bin/python3
"""Runs one script through cabinet-sim in virtual time and compares what the
firmware wrote, byte for byte, with the golden transcript.

    golden_test.py SIM SCRIPT GOLDEN [--update]

--update rewrites GOLDEN from the run instead (see regen-golden)."""
import difflib
import subprocess
import sys


def main():
    args = [a for a in sys.argv[1:] if a != "--update"]
    update = "--update" in sys.argv[1:]
    if len(args) != 3:
        sys.exit(__doc__)
    sim, script, golden = args
    run = subprocess.run([sim, "--script", script], capture_output=True, timeout=120)
    if run.returncode != 0:
        sys.stderr.write(run.stderr.decode(errors="replace"))
        sys.exit(f"cabinet-sim exited with {run.returncode}")
    if update:
        with open(golden, "wb") as f:
            f.write(run.stdout)
        print(f"wrote {golden}")
        return
    with open(golden, "rb") as f:
        expected = f.read()
    if run.stdout == expected:
        return
    diff = difflib.unified_diff(
        expected.decode(errors="replace").splitlines(keepends=True),
        run.stdout.decode(errors="replace").splitlines(keepends=True),
        fromfile=golden, tofile="this run")
    sys.stdout.writelines(list(diff)[:80])
    sys.exit("transcript differs from the golden file (tests/e2e/regen-golden rewrites it after review)")


if __name__ == "__main__":
    main()
