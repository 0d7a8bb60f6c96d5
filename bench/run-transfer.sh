#!/usr/bin/env bash
# Runs bench_transfer end to end. The speed runs go to OpenSSH's sshd on a free loopback port, with
# its own config, a host key kept in the build folder (the build's Wine prefix remembers the key
# each address showed) and a throwaway account with a random password; the stalled-download figure
# comes from a dev service in test mode. Everything is stopped and removed on exit, failures too.
# Needs root (it adds and removes the account); installs openssh-server when sshd is missing.
# Usage: bash bench/run-transfer.sh [BUILD_DIR] [MIB] [REPEATS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/common.sh"
build=$(cd "${1:-$here/build/x86_64}" && pwd)
mib=${2:-64}
repeats=${3:-7}
bench_setup "$build" bench_transfer

if [ ! -x /usr/sbin/sshd ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends openssh-server >/dev/null
fi

data=$(mktemp -d)
work=$(mktemp -d)
account="qmbench$$"
sshd_pid=""
bench_cleanup() {
    [ -n "$sshd_pid" ] && { kill "$sshd_pid" 2>/dev/null || true; wait "$sshd_pid" 2>/dev/null || true; }
    id "$account" >/dev/null 2>&1 && userdel "$account" 2>/dev/null
    rm -rf "$data" "$work"
}
# bench_service replaces this trap with one that also stops the dev service and then calls
# bench_cleanup; until then, a failure still removes what was made.
trap bench_cleanup EXIT

chmod 755 "$work"
mkdir -p "$work/home" /run/sshd
useradd -M -d "$work/home" -s /usr/sbin/nologin "$account"
chown "$account" "$work/home"
password=$(openssl rand -hex 16)
echo "$account:$password" | chpasswd

key="$build/bench-sshd_ecdsa.key"
[ -f "$key" ] || ssh-keygen -q -t ecdsa -b 256 -N "" -f "$key"
sshd_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/sshd_config" <<CONFIG
ListenAddress 127.0.0.1:$sshd_port
HostKey $key
PidFile none
UsePAM no
PasswordAuthentication yes
KbdInteractiveAuthentication no
PermitRootLogin no
AllowUsers $account
Subsystem sftp internal-sftp
ForceCommand internal-sftp
AllowTcpForwarding no
X11Forwarding no
CONFIG
/usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
sshd_pid=$!
for _ in $(seq 100); do
    (echo >"/dev/tcp/127.0.0.1/$sshd_port") 2>/dev/null && break
    kill -0 "$sshd_pid" 2>/dev/null || { echo "sshd did not start:"; cat "$work/sshd.log"; exit 1; }
    sleep 0.1
done

bench_service "$data" --test-mode
bench_run bench_transfer "sftp://127.0.0.1:$sshd_port" "$account" "$password" "$work/home" "$mib" "$repeats" \
    "http://127.0.0.1:$port" || { echo "sshd's log:"; cat "$work/sshd.log"; exit 1; }
