#!/usr/bin/env bash
# Runs msi_registry.exe under wine64 in the build's prefix (made first if needed).
# Usage: registry-entries.sh PREFIX TOOL DLL PROPERTY OUT
set -euo pipefail
prefix=$1 tool=$2 dll=$3 property=$4 out=$5
cmake_dir=$(cd "$(dirname "$0")/../cmake" && pwd)
. "$cmake_dir/wine-env.sh"
qm_wine_env x86_64 "$prefix"
"$cmake_dir/make-prefix.sh" x86_64 "$prefix"
win() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Output to a file, not a pipe Wine's helper processes would hold open.
if ! "$QM_WINE" "$tool" "$(win "$dll")" "$property" "$(win "$out.tmp")" >"$log" 2>&1 </dev/null; then
    cat "$log" >&2
    rm -f "$out.tmp"
    exit 1
fi
mv "$out.tmp" "$out"
