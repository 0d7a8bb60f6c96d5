#!/usr/bin/env bash
# Runs bench_upload_drop end to end: OpenSSH's sshd on a free loopback port with a throwaway
# account, and a dev service in test mode that names that host at login, set up as in
# bench/run-upload-many.sh (the service's contents folder is the host's "~/f"); a source file of
# random bytes; an Xvfb when no display is set. Everything is stopped and removed on exit. Needs root.
# Usage: bash bench/run-upload-drop.sh [BUILD_DIR] [MIB] [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
mib=${2:-256}
rounds=${3:-5}
bench_setup "$build" bench_upload_drop

work=$(mktemp -d)
bench_cleanup() {
    bench_display_stop
    bench_sshd_stop
    rm -rf "$work"
}
trap bench_cleanup EXIT

bench_sshd "$work"
data="$work/home/data"
mkdir -p "$data/files" "$work/source"
ln -s data/files "$work/home/f"
head -c "$((mib << 20))" /dev/urandom >"$work/source/large.bin"
bench_display
bench_service_user=$account
bench_service "$data" --test-mode --transfer-host "sftp://127.0.0.1:$sshd_port/~" "$account" "$password"
bench_run bench_upload_drop "http://127.0.0.1:$port" bench bench-pass "Z:$work/source/large.bin" \
    "Z:$data/files" "$rounds" || { echo "sshd's log:"; tail -n 20 "$sshd_log"; exit 1; }
