#!/usr/bin/env bash
# Prints, as deb822 stanzas of type deb-src, the machine's own enabled deb entries whose suite
# belongs to the release CODENAME (bookworm, bookworm-updates, bookworm-security...), read from
# both the one-line lists and the deb822 .sources files. Used by setup.sh.
# Usage: deb-entries.sh CODENAME [SOURCES_DIR]   (SOURCES_DIR defaults to /etc/apt)
set -euo pipefail
codename=${1:?usage: deb-entries.sh CODENAME [SOURCES_DIR]}
dir=${2:-/etc/apt}

files=()
[ -f "$dir/sources.list" ] && files+=("$dir/sources.list")
for f in "$dir"/sources.list.d/*.list "$dir"/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
done
[ "${#files[@]}" -gt 0 ] || exit 0

for f in "${files[@]}"; do
    case "$f" in
        *.sources) format=deb822 ;;
        *) format=line ;;
    esac
    awk -v cn="$codename" -v format="$format" '
    function ours(suite) { return suite == cn || index(suite, cn "-") == 1 || index(suite, cn "/") == 1 }
    function emit(uris, suites, comps, signed,   n, i, s, kept) {
        n = split(suites, s, /[ \t]+/); kept = ""
        for (i = 1; i <= n; i++) if (s[i] != "" && ours(s[i])) kept = kept (kept == "" ? "" : " ") s[i]
        if (kept == "" || uris == "") return
        printf "Types: deb-src\nURIs: %s\nSuites: %s\n", uris, kept
        if (comps != "") printf "Components: %s\n", comps
        if (signed != "") printf "Signed-By: %s\n", signed
        printf "\n"
    }
    function flush() {
        if (types ~ /(^|[ \t])deb([ \t]|$)/ && tolower(enabled) != "no") emit(uris, suites, comps, signed)
        types = uris = suites = comps = signed = enabled = ""; field = ""
    }
    format == "line" {
        sub(/#.*/, "")
        if ($1 != "deb") next
        signed = ""; i = 2
        if ($2 ~ /^\[/) {
            for (; i <= NF; i++) {
                if ($i ~ /^\[?signed-by=/) { v = $i; sub(/^\[?signed-by=/, "", v); sub(/\]$/, "", v); signed = v }
                if ($i ~ /\]$/) { i++; break }
            }
        }
        uri = $i; suite = $(i + 1); comps = ""
        for (j = i + 2; j <= NF; j++) comps = comps (comps == "" ? "" : " ") $j
        emit(uri, suite, comps, signed)
        next
    }
    format == "deb822" {
        if ($0 ~ /^#/) next
        if ($0 ~ /^[ \t]*$/) { flush(); next }
        if ($0 ~ /^[ \t]/) { if (field == "signed-by") signed = signed "\n" $0; next }
        name = tolower($0); sub(/:.*/, "", name); value = $0; sub(/^[^:]*:[ \t]*/, "", value)
        field = name
        if (name == "types") types = value
        else if (name == "uris") uris = value
        else if (name == "suites") suites = value
        else if (name == "components") comps = value
        else if (name == "signed-by") signed = value
        else if (name == "enabled") enabled = value
    }
    END { if (format == "deb822") flush() }
    ' "$f"
done
