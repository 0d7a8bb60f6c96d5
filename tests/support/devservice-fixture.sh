#!/usr/bin/env bash
# Starts and stops the dev service for the C++ tests, as a ctest fixture: in test mode, on free
# ports, with a fresh data folder. The ports go to STATE_DIR/ports for the tests to read.
# Usage: devservice-fixture.sh start|stop STATE_DIR
set -euo pipefail
action=$1 state=$2
src=$(cd "$(dirname "$0")/../.." && pwd)

stop() {
    if [ -f "$state/pid" ]; then
        pid=$(cat "$state/pid")
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null || true
        rm -f "$state/pid" "$state/ports"
    fi
}

case "$action" in
start)
    stop
    # The transfer host keeps its key from run to run, as a real host does: the tests' Wine
    # prefix remembers the key each address showed and refuses a changed one.
    [ -f "$state/data/host_rsa.key" ] && mv "$state/data/host_rsa.key" "$state/host_rsa.key"
    rm -rf "$state/data"
    mkdir -p "$state/data"
    [ -f "$state/host_rsa.key" ] && mv "$state/host_rsa.key" "$state/data/host_rsa.key"
    : > "$state/log"
    # setsid and closed descriptors: ctest must not wait on the service's output.
    setsid /usr/bin/python3 "$src/devservice/run.py" --data "$state/data" --host 127.0.0.1 \
        --port 0 --sftp-port 0 --test-mode >"$state/log" 2>&1 </dev/null &
    echo $! > "$state/pid"
    for _ in $(seq 200); do
        line=$(grep -m1 '^READY ' "$state/log" || true)
        if [ -n "$line" ]; then
            http=$(echo "$line" | sed -n 's/.*http=\([0-9]*\).*/\1/p')
            sftp=$(echo "$line" | sed -n 's/.*sftp=\([0-9]*\).*/\1/p')
            printf 'http=%s\nsftp=%s\n' "$http" "$sftp" > "$state/ports"
            echo "dev service on http $http, sftp $sftp"
            exit 0
        fi
        kill -0 "$(cat "$state/pid")" 2>/dev/null || break
        sleep 0.1
    done
    echo "dev service did not start:" >&2
    cat "$state/log" >&2
    stop
    exit 1
    ;;
stop)
    stop
    ;;
*)
    echo "usage: $0 start|stop STATE_DIR" >&2
    exit 2
    ;;
esac
