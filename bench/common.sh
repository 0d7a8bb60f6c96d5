# Sourced by the bench/run-*.sh scripts: the build's architecture, a dev service on free ports
# stopped when the script exits, and Wine set up for the build's own prefix.
#   bench_setup BUILD_DIR TARGET      sets arch and builds the benchmark program
#   bench_service DATA_DIR [ARGS...]  starts the dev service, sets port
#   bench_run PROGRAM [ARGS...]       runs build/bin/PROGRAM.exe under Wine
bench_here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bench_setup() {
    bench_build=$1
    # The architecture, from the toolchain file the build was configured with.
    arch=i686
    grep -q '^CMAKE_TOOLCHAIN_FILE:.*mingw64' "$bench_build/CMakeCache.txt" && arch=x86_64
    ninja -C "$bench_build" "$2" >/dev/null
}

bench_service() {
    local data=$1
    shift
    # One host key for every run: the build's Wine prefix remembers the key each address showed.
    local key="$bench_build/bench-host_rsa.key"
    [ -f "$key" ] && cp "$key" "$data/host_rsa.key"
    bench_log=$(mktemp)
    setsid /usr/bin/python3 "$bench_here/devservice/run.py" --data "$data" --host 127.0.0.1 --port 0 \
        --sftp-port 0 "$@" >"$bench_log" 2>&1 </dev/null &
    bench_pid=$!
    trap 'kill "$bench_pid" 2>/dev/null || true; wait "$bench_pid" 2>/dev/null || true; rm -f "$bench_log"; bench_cleanup' EXIT
    port=""
    for _ in $(seq 200); do
        port=$(sed -n 's/^READY http=\([0-9]*\).*/\1/p' "$bench_log")
        [ -n "$port" ] && break
        sleep 0.1
    done
    [ -n "$port" ] || { echo "the dev service did not start:"; cat "$bench_log"; exit 1; }
    [ -f "$key" ] || cp "$data/host_rsa.key" "$key"
}

# Scripts may redefine this to remove what they made.
bench_cleanup() { :; }

bench_run() {
    local program=$1
    shift
    . "$bench_here/cmake/wine-env.sh"
    qm_wine_env "$arch" "$bench_build/wineprefix"
    "$bench_here/cmake/make-prefix.sh" "$arch" "$WINEPREFIX"
    "$QM_WINE" "$bench_build/bin/$program.exe" "$@"
}
