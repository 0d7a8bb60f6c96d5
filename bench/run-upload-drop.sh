#!/usr/bin/env bash
# Runs bench_upload_drop end to end: OpenSSH's sshd on a free loopback port with a throwaway
# account, and a dev service in test mode that names that host and account at login
# (bench_transfer_service in bench/common.sh), and a source file of random bytes. Everything is
# stopped and removed on exit. Needs root.
# Usage: bash bench/run-upload-drop.sh [BUILD_DIR] [MIB] [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
mib=${2:-256}
rounds=${3:-5}
bench_setup "$build" bench_upload_drop

work=$(mktemp -d)
bench_transfer_service "$work"
mkdir "$work/source"
head -c "$((mib << 20))" /dev/urandom >"$work/source/large.bin"
bench_run bench_upload_drop "http://127.0.0.1:$port" bench bench-pass "Z:$work/source/large.bin" \
    "Z:$data/files" "$rounds" || { echo "sshd's log:"; tail -n 20 "$sshd_log"; exit 1; }
