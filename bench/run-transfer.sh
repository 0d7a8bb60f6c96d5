#!/usr/bin/env bash
# Runs bench_transfer end to end. The speed runs go to OpenSSH's sshd on a free loopback port, with
# its own config, a host key kept in the build folder (the build's Wine prefix remembers the key
# each address showed) and a throwaway account with a random password; the stalled-download figure
# comes from a dev service in test mode. Everything is stopped and removed on exit, failures too.
# Needs root (it adds and removes the account); installs openssh-server when sshd is missing.
# Usage: bash bench/run-transfer.sh [BUILD_DIR] [MIB] [REPEATS]   (15 rounds: with 7, one load swing
# moved the median ratio by a tenth)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
mib=${2:-64}
repeats=${3:-15}
bench_setup "$build" bench_transfer

data=$(mktemp -d)
work=$(mktemp -d)
bench_cleanup() {
    bench_sshd_stop
    rm -rf "$data" "$work"
}
# bench_service replaces this trap with one that also stops the dev service and then calls
# bench_cleanup; until then, a failure still removes what was made.
trap bench_cleanup EXIT

bench_sshd "$work"
bench_service "$data" --test-mode
bench_run bench_transfer "sftp://127.0.0.1:$sshd_port" "$account" "$password" "$work/home" "$mib" "$repeats" \
    "http://127.0.0.1:$port" || { echo "sshd's log:"; cat "$sshd_log"; exit 1; }
