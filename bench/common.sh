# Sourced by the bench/run-*.sh scripts: the build's architecture, a dev service on free ports
# stopped when the script exits, and Wine set up for the build's own prefix.
#   bench_setup BUILD_DIR TARGET      sets arch and builds the benchmark program
#   bench_service DATA_DIR [ARGS...]  starts the dev service, sets port; as the account named by
#                                     bench_service_user when that is set
#   bench_run PROGRAM [ARGS...]       runs build/bin/PROGRAM.exe under Wine
#   bench_sshd WORK_DIR               OpenSSH's sshd on a free loopback port, with a throwaway
#                                     account (home WORK_DIR/home, a random password); sets
#                                     sshd_port, sshd_log, account, password; bench_sshd_stop
#                                     stops it and removes the account (call it from bench_cleanup)
#   bench_display                     a display for the copy engine's progress dialog: an Xvfb of
#                                     its own when DISPLAY is not set; bench_display_stop stops it
#   bench_transfer_service WORK_DIR   bench_sshd, bench_display and a dev service in test mode that
#                                     names that host and account at login; all of it, and WORK_DIR,
#                                     removed on exit. The service runs as the account, with its
#                                     data folder (sets data) in the account's home, and "~/f" there
#                                     links to the service's contents folder: a Location "/f/<id>"
#                                     behind the host "sftp://127.0.0.1:PORT/~" is then the very file
#                                     the service made and lists. Needs root.
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
    local as=()
    if [ -n "${bench_service_user:-}" ]; then
        chown -R "$bench_service_user" "$data"
        as=(setpriv --reuid "$bench_service_user" --regid "$(id -g "$bench_service_user")" --init-groups)
    fi
    bench_log=$(mktemp)
    setsid "${as[@]}" /usr/bin/python3 "$bench_here/devservice/run.py" --data "$data" --host 127.0.0.1 --port 0 \
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

bench_sshd() {
    local work=$1
    if [ ! -x /usr/sbin/sshd ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends openssh-server >/dev/null
    fi
    account="qmbench$$"
    chmod 755 "$work"
    mkdir -p "$work/home" /run/sshd
    useradd -M -d "$work/home" -s /usr/sbin/nologin "$account"
    chown "$account" "$work/home"
    password=$(openssl rand -hex 16)
    echo "$account:$password" | chpasswd

    # The build's Wine prefix remembers the key each address showed.
    local key="$bench_build/bench-sshd_ecdsa.key"
    [ -f "$key" ] || ssh-keygen -q -t ecdsa -b 256 -N "" -f "$key"
    sshd_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    sshd_log="$work/sshd.log"
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
    /usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$sshd_log" &
    bench_sshd_pid=$!
    for _ in $(seq 100); do
        (echo >"/dev/tcp/127.0.0.1/$sshd_port") 2>/dev/null && return 0
        kill -0 "$bench_sshd_pid" 2>/dev/null || { echo "sshd did not start:"; cat "$sshd_log"; exit 1; }
        sleep 0.1
    done
    echo "sshd did not listen:"
    cat "$sshd_log"
    exit 1
}

bench_sshd_stop() {
    if [ -n "${bench_sshd_pid:-}" ]; then
        kill "$bench_sshd_pid" 2>/dev/null || true
        wait "$bench_sshd_pid" 2>/dev/null || true
    fi
    if [ -n "${account:-}" ] && id "$account" >/dev/null 2>&1; then
        userdel "$account" 2>/dev/null || true
    fi
}

bench_display() {
    [ -n "${DISPLAY:-}" ] && return 0
    local fd_file
    fd_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
    bench_xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$fd_file" ] && break
        sleep 0.1
    done
    export DISPLAY=":$(head -n1 "$fd_file")"
    rm -f "$fd_file"
}

bench_display_stop() {
    if [ -n "${bench_xvfb_pid:-}" ]; then
        # Wine's own processes let go of the display first.
        [ -n "${QM_WINESERVER:-}" ] && "$QM_WINESERVER" -k 2>/dev/null || true
        kill "$bench_xvfb_pid" 2>/dev/null || true
        wait "$bench_xvfb_pid" 2>/dev/null || true
    fi
}

bench_transfer_service() {
    bench_work=$1
    bench_cleanup() {
        bench_display_stop
        bench_sshd_stop
        rm -rf "$bench_work"
    }
    trap bench_cleanup EXIT
    bench_sshd "$bench_work"
    data="$bench_work/home/data"
    mkdir -p "$data/files"
    ln -s data/files "$bench_work/home/f"
    bench_display
    bench_service_user=$account
    bench_service "$data" --test-mode --transfer-host "sftp://127.0.0.1:$sshd_port/~" "$account" "$password"
}
