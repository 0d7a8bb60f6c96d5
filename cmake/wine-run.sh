#!/usr/bin/env bash
# The emulator ctest runs every test program through.
# Usage: wine-run.sh ARCH PREFIX DEADLINE_SECONDS PROGRAM [ARGS...]
#
# Plain `wine` makes every test wait 1 to 3 s because Wine's helper processes inherit ctest's
# pipe; so one persistent wineserver is kept, and the program's output goes through temp files
# that are printed after it exits. A hung program is killed at the deadline, below ctest's own.
set -uo pipefail
arch=$1 prefix=$2 deadline=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
qm_wine_env "$arch" "$prefix"
"$here/make-prefix.sh" "$arch" "$prefix" || exit 1

"$QM_WINESERVER" -p >/dev/null 2>&1 </dev/null || true

out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
timeout -k 5 "$deadline" "$QM_WINE" "$@" >"$out" 2>"$err" </dev/null
rc=$?
cat "$out"
cat "$err" >&2
# A program that crashes exits 0 once Wine's debugger has printed its report: a crash is a failure.
if [ "$rc" = 0 ] && grep -q '^wine: Unhandled' "$err"; then
    echo "wine-run: $(basename "$1") crashed" >&2
    rc=1
fi
if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
    echo "wine-run: $(basename "$1") did not finish within ${deadline}s and was killed" >&2
fi
exit "$rc"
