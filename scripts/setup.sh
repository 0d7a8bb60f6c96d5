#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the project.
# Safe to run again: every step checks first and skips what is already there.
set -euo pipefail

# Both compilers and both Wines: the 32-bit product is always built, and where the kernel cannot
# run 32-bit programs the tests and the main job run the 64-bit build under wine64 (the `wine`
# package alone is satisfied by wine32:i386). wixl builds the installer package; msitools reads
# its tables.
PACKAGES=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
          googletest libboost-dev dpkg-dev wine wine32:i386 wine64 libwine-dev:i386 fonts-wine
          xvfb x11-utils imagemagick python3-paramiko python3-pil python3-pytest curl sqlite3
          ca-certificates wixl msitools)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

updated=0
apt_update() {
    if [ "$updated" = 0 ]; then
        $SUDO apt-get update -qq
        updated=1
    fi
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
fi

# Source packages for the third-party build: a deb-src entry for each of the machine's own deb
# entries of this release (same URIs, suites and components), so whatever mirror the machine
# uses also serves the sources. Other vendors' entries are left alone: they may serve no sources.
src_list=/etc/apt/sources.list.d/quillmere-deb-src.sources
if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    entries=$(bash "$(dirname "$0")/deb-entries.sh" "$codename")
    if [ -z "$entries" ]; then
        echo "setup: no deb entry for '$codename' to derive a deb-src entry from" >&2
        exit 1
    fi
    echo "setup: adding deb-src entries for the machine's $codename entries"
    printf '%s\n' "$entries" | $SUDO tee "$src_list" >/dev/null
    apt_update
fi

missing=()
for p in "${PACKAGES[@]}"; do
    # dpkg-query needs the arch-qualified name for foreign packages and the plain one otherwise.
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt_update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "setup: all packages present"
