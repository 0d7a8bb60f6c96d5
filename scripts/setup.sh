#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the project.
# Safe to run again: every step checks first and skips what is already there.
set -euo pipefail

PACKAGES=(cmake ninja-build g++-mingw-w64-i686-posix mingw-w64-tools googletest libboost-dev
          dpkg-dev wine wine32:i386 libwine-dev:i386 fonts-wine xvfb x11-utils imagemagick
          python3-paramiko python3-pil python3-pytest curl sqlite3)

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

# Source packages for the third-party build.
if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "setup: adding a deb-src entry"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        $SUDO sed -i 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources
    else
        echo "deb-src http://deb.debian.org/debian bookworm main" | $SUDO tee /etc/apt/sources.list.d/deb-src.list >/dev/null
    fi
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
