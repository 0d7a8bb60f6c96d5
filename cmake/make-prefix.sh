#!/usr/bin/env bash
# Creates the Wine prefix of a build tree once, with the settings the tests rely on.
# Usage: make-prefix.sh ARCH PREFIX
set -euo pipefail
arch=$1
prefix=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
qm_wine_env "$arch" "$prefix"

[ -f "$prefix/.qm-ready" ] && exit 0
mkdir -p "$(dirname "$prefix")"

# The lock file descriptor is closed before anything runs (-o): Wine's server would inherit it
# and keep the lock held long after this script.
exec flock -o "$prefix.lock" bash -c '
    set -euo pipefail
    [ -f "$WINEPREFIX/.qm-ready" ] && exit 0
    rm -rf "$WINEPREFIX"
    echo "wine: creating the prefix $WINEPREFIX ($WINEARCH)" >&2
    "$QM_WINE" wineboot -i >/dev/null 2>&1 </dev/null
    # A second services.exe left running stalls later window creation.
    "$QM_WINESERVER" -w
    # Without a window manager every window close waits 2 s unless Wine manages nothing.
    "$QM_WINE" reg add "HKCU\\Software\\Wine\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1 </dev/null
    # A crash must end the test, not wait for someone to close a dialog.
    "$QM_WINE" reg add "HKCU\\Software\\Wine\\WineDbg" /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
    "$QM_WINESERVER" -w
    touch "$WINEPREFIX/.qm-ready"
'
