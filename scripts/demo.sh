#!/usr/bin/env bash
# The main job: builds the drive, starts the dev service with its demo account on the DLL's
# built-in address, makes a Wine prefix of its own, installs the drive with its installer package
# (msiexec; the 32-bit build registers its DLL by hand) and opens Wine's Explorer at the computer
# folder, where the Quillmere drive is.
#
#   scripts/demo.sh              on the current display ($DISPLAY); stops when Explorer closes
#   scripts/demo.sh --headless   under a private Xvfb: opens the drive through the Location box,
#                                logs in through the dialog, opens a subfolder and a file's
#                                context menu, saves PNG screenshots of each step into
#                                build/<arch>/demo/, stops everything it started
#   --check      (with --headless) fails unless the driver saw every step in Explorer's views
#                (the drive in the computer folder, the demo account's folders in the drive,
#                the subfolder's items once the dev service had listed it, the file's menu,
#                no error box left open), every screenshot exists and the dev service saw the drive's root listed
#   --no-build   uses the build folder as it is (QM_BUILD_DIR, default build/<arch>)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

headless=0 check=0 build_it=1
for arg in "$@"; do
    case "$arg" in
        --headless) headless=1 ;;
        --check) check=1 ;;
        --no-build) build_it=0 ;;
        *) echo "usage: $0 [--headless [--check]] [--no-build]" >&2; exit 2 ;;
    esac
done

[ "$build_it" = 1 ] && bash scripts/setup.sh >/dev/null

arch=${QM_ARCH:-}
if [ -z "$arch" ]; then
    if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then arch=i686; else arch=x86_64; fi
fi
toolchain=cmake/toolchain-mingw32.cmake
[ "$arch" = x86_64 ] && toolchain=cmake/toolchain-mingw64.cmake
build=${QM_BUILD_DIR:-build/$arch}
if [ "$build_it" = 1 ]; then
    prefix=$(bash scripts/deps.sh "$arch" | tail -n 1)
    cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQM_DEPS_PREFIX="$prefix" >/dev/null
    targets="Quillmere Quillmere_Session demo_driver"
    [ "$arch" = x86_64 ] && targets="$targets quillmere_msi"
    ninja -C "$build" $targets >/dev/null
fi

work="$(cd "$build" && pwd)/demo" # QM_BUILD_DIR may be absolute (ctest passes it so)
rm -rf "$work"
mkdir -p "$work/data" "$work/shots"
pids=()
xvfb_pid=""
. cmake/wine-env.sh
qm_wine_env "$arch" "$work/wineprefix"

cleanup() {
    "$QM_WINESERVER" -k >/dev/null 2>&1 || true
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT

if [ "$headless" = 1 ]; then
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(head -n 1 "$work/display")"
elif [ -z "${DISPLAY:-}" ]; then
    echo "demo: no DISPLAY; run with --headless for screenshots without a screen" >&2
    exit 1
fi

# The DLL's built-in service address is http://127.0.0.1:8460 (QM_SERVICE_URL).
# Test mode lets --check ask the service what it saw.
/usr/bin/python3 devservice/run.py --data "$work/data" --demo --test-mode --port 8460 --sftp-port 8461 \
    >"$work/devservice.out" 2>"$work/devservice.log" </dev/null &
pids+=($!)
for _ in $(seq 100); do grep -q '^READY ' "$work/devservice.out" 2>/dev/null && break; sleep 0.1; done
grep -q '^READY ' "$work/devservice.out" || { echo "demo: the dev service did not start:" >&2; cat "$work/devservice.log" >&2; exit 1; }
grep '^DEMO ' "$work/devservice.out" || true

cmake/make-prefix.sh "$arch" "$WINEPREFIX"
if [ "$arch" = x86_64 ]; then
    # As a user would: the package puts both DLLs and session managers under Program Files and
    # registers them; the 32-bit ones cannot run on a 64-bit-only prefix but are installed too.
    msi="$(cd "$build/bin" && pwd)/Quillmere.msi"
    [ -f "$msi" ] || { echo "demo: $msi is missing (the build makes it when wixl is installed)" >&2; exit 1; }
    "$QM_WINE" msiexec /i "Z:${msi//\//\\}" /qn || { echo "demo: msiexec failed (exit $?)" >&2; exit 1; }
    echo "demo: installed $msi"
else
    # The package is a 64-bit one; a 32-bit prefix gets the DLL registered by hand.
    dll_dir=$(cd "$build/bin" && pwd)
    dll="Z:${dll_dir//\//\\}\\Quillmere.dll"
    "$QM_WINE" regsvr32 /s "$dll"
    echo "demo: registered $dll"
fi
# Wine keeps HKCR in HKLM\Software\Classes; query the pieces a user would look for.
for key in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\MyComputer\NameSpace' \
           'HKLM\Software\Microsoft\Windows\CurrentVersion\Shell Extensions\Approved' \
           'HKCR\AppID\Quillmere.DLL' 'HKCR\TypeLib'; do
    "$QM_WINE" reg query "$key" /s 2>/dev/null | tr -d '\r' | grep -i -B1 -A3 'quillmere\|{596A3524' || true
done

if [ "$headless" = 1 ]; then
    driver="$build/bin/demo_driver.exe"
    if [ ! -f "$driver" ]; then
        echo "demo: headless run needs the demo driver (not built in this tree)" >&2
        exit 1
    fi
    "$QM_WINE" explorer.exe >/dev/null 2>&1 </dev/null &
    pids+=($!)
    shots_win="Z:${work//\//\\}\\shots"
    password=$(sed -n 's/^DEMO .*password=\([^ ]*\).*/\1/p' "$work/devservice.out" | head -n1)
    driver_status=0
    "$QM_WINE" "$driver" "$shots_win" demo "$password" || driver_status=$?
    echo "demo: screenshots in $work/shots:"
    ls "$work/shots"
    if [ "$check" = 1 ]; then
        missing=0
        [ "$driver_status" = 0 ] || { echo "demo: the driver's checks failed (exit $driver_status)"; missing=1; }
        for shot in 1-explorer 2-computer-folder 3-login-dialog 4-drive 5-subfolder 6-item-menu; do
            [ -s "$work/shots/$shot.png" ] || { echo "demo: missing screenshot $shot.png"; missing=1; }
        done
        seen=$(curl -s "http://127.0.0.1:8460/_control/requests?action=list_dir&user=demo")
        if ! echo "$seen" | /usr/bin/python3 -c 'import json,sys; r=json.load(sys.stdin)["requests"]; sys.exit(0 if any(x["params"].get("dir_id")=="0" for x in r) else 1)'; then
            echo "demo: the dev service never saw the root listed: $seen"; missing=1
        fi
        [ "$missing" = 0 ] && echo "demo: check passed"
        exit "$missing"
    fi
else
    echo "demo: opening Explorer; open the Quillmere drive under My Computer (close Explorer to stop)"
    "$QM_WINE" explorer.exe >/dev/null 2>&1 </dev/null || true
    "$QM_WINESERVER" -w
fi
