#!/usr/bin/env bash
# Runs bench_upload_many end to end: OpenSSH's sshd on a free loopback port with a throwaway
# account (as bench/run-transfer.sh), and a dev service in test mode that names that host and
# account at login. The service runs as the account, with its data folder in the account's home,
# and "~/f" there links to the service's contents folder: a Location "/f/<id>" behind the host
# "sftp://127.0.0.1:PORT/~" is then the very file the service made and lists. The copy engine's
# progress dialog gets an Xvfb when no display is set. Everything is stopped and removed on exit.
# Needs root.
# Usage: bash bench/run-upload-many.sh [BUILD_DIR] [FILES] [ROUNDS] [FILES_PER_ROUND]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
files=${2:-1000}
rounds=${3:-3}
per_round=${4:-100}
bench_setup "$build" bench_upload_many

work=$(mktemp -d)
bench_cleanup() {
    bench_display_stop
    bench_sshd_stop
    rm -rf "$work"
}
trap bench_cleanup EXIT

bench_sshd "$work"
data="$work/home/data"
mkdir -p "$data/files"
ln -s data/files "$work/home/f"
bench_display
bench_service_user=$account
bench_service "$data" --test-mode --transfer-host "sftp://127.0.0.1:$sshd_port/~" "$account" "$password"
bench_run bench_upload_many "http://127.0.0.1:$port" bench bench-pass "Z:$sshd_log" "$files" "$rounds" "$per_round" ||
    { echo "sshd's log:"; tail -n 20 "$sshd_log"; exit 1; }
