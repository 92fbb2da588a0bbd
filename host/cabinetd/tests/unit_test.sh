#!/usr/bin/env bash
# The systemd unit as systemd 252 sees it: its sandbox scores 2.0 or better
# on `systemd-analyze security` (the scale runs from 0, locked down, to 10),
# and `systemd-analyze verify` has nothing to say about it.
#
#   unit_test.sh UNIT CABINETD
#
# verify wants the unit's programs to exist, so it runs on a copy whose
# ExecStart names CABINETD (the program as built) instead of /usr/bin/cabinetd.
set -euo pipefail
unit=$1 cabinetd=$2
command -v systemd-analyze >/dev/null || { echo "no systemd-analyze (Debian's systemd): skipped"; exit 77; }

systemd-analyze security --offline=true --no-pager "$unit" | tail -n 1
if ! systemd-analyze security --offline=true --threshold=20 "$unit" >/dev/null; then
    systemd-analyze security --offline=true --no-pager "$unit" | grep -v '^✓'
    echo "FAILED: the unit's exposure is above 2.0" >&2
    exit 1
fi

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s|^ExecStart=/usr/bin/cabinetd |ExecStart=$cabinetd |" "$unit" >"$dir/cabinetd.service"
grep -q "^ExecStart=$cabinetd " "$dir/cabinetd.service" || { echo "FAILED: no ExecStart=/usr/bin/cabinetd" >&2; exit 1; }
# Unknown keys and bad values are only warnings (exit status 0): any output fails.
out=$(systemd-analyze verify --man=no --generators=no "$dir/cabinetd.service" 2>&1) || true
if [ -n "$out" ]; then
    printf '%s\n' "$out"
    echo "FAILED: systemd-analyze verify complained" >&2
    exit 1
fi
echo "systemd-analyze verify: no complaints"
