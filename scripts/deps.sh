#!/usr/bin/env bash
# Builds the third-party libraries (mbedTLS, libssh2, libcurl) as static libraries for a
# Windows target from Debian's source packages, into a cache keyed by their versions and the
# target. Prints the install prefix on its last line. A second run with the same versions costs
# a version look-up and nothing else.
# Usage: deps.sh [i686|x86_64]   (default i686, the product build)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cache=${QM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillmere}
arch=${1:-i686}
case "$arch" in
    i686) toolchain="$here/cmake/toolchain-mingw32.cmake" ;;
    x86_64) toolchain="$here/cmake/toolchain-mingw64.cmake" ;;
    *) echo "deps: unknown target '$arch' (i686 or x86_64)" >&2; exit 2 ;;
esac

srcver() {
    # Version of the source package apt would fetch (epoch and Debian revision kept: the key
    # must change when Debian ships a security fix).
    apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -n 1
}

v_mbedtls=$(srcver mbedtls)
v_libssh2=$(srcver libssh2)
v_curl=$(srcver curl)
if [ -z "$v_mbedtls" ] || [ -z "$v_libssh2" ] || [ -z "$v_curl" ]; then
    echo "deps: cannot find the source packages; run scripts/setup.sh (it adds deb-src)" >&2
    exit 1
fi
# The build recipe is part of the key, so changing this script rebuilds.
recipe=$(cat "$0" "$toolchain" "$here/cmake/toolchain-common.cmake" | sha256sum | cut -c1-12)
key="${arch}_mbedtls-${v_mbedtls}_libssh2-${v_libssh2}_curl-${v_curl}_${recipe}"
key=${key//[:~+]/-}
prefix="$cache/deps/$key"

if [ -f "$prefix/.complete" ]; then
    echo "deps: cached in $prefix" >&2
    echo "$prefix"
    exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qm-deps.XXXXXX")
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix"
mkdir -p "$prefix"

jobs=$(nproc)
cmake_common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
              -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix"
              -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DQM_DEPS_PREFIX="$prefix")

cd "$work"
echo "deps: fetching sources" >&2
# A mirror can list a version whose files it no longer serves (seen with security updates),
# so each package falls back through the listed versions, newest first.
fetch() {
    local v
    for v in $(apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -rV | uniq); do
        rm -f "$1"_*
        if apt-get source --download-only "$1=$v" >/dev/null 2>&1; then
            dpkg-source --no-check -x "$1"_*.dsc >/dev/null
            echo "$1 $v" >> built-versions
            return 0
        fi
        echo "deps: $1 $v could not be fetched, trying an older one" >&2
    done
    echo "deps: apt-get source $1 failed" >&2
    exit 1
}
fetch mbedtls
fetch libssh2
fetch curl
src_mbedtls=$(ls -d mbedtls-*/ | head -n1)
src_libssh2=$(ls -d libssh2-*/ | head -n1)
src_curl=$(ls -d curl-*/ | head -n1)

echo "deps: building mbedTLS for $arch $v_mbedtls" >&2
# libssh2 shares one random generator across sessions, so mbedTLS must lock it.
cfg="$src_mbedtls/include/mbedtls/config.h"
sed -i -e 's|^//#define MBEDTLS_THREADING_C$|#define MBEDTLS_THREADING_C|' \
       -e 's|^//#define MBEDTLS_THREADING_PTHREAD$|#define MBEDTLS_THREADING_PTHREAD|' "$cfg"
grep -q '^#define MBEDTLS_THREADING_C$' "$cfg" && grep -q '^#define MBEDTLS_THREADING_PTHREAD$' "$cfg" || {
    echo "deps: could not enable threading in $cfg" >&2; exit 1; }
cmake -S "$src_mbedtls" -B b-mbedtls "${cmake_common[@]}" \
    -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF -DMBEDTLS_FATAL_WARNINGS=OFF \
    -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DUSE_STATIC_MBEDTLS_LIBRARY=ON >/dev/null
cmake --build b-mbedtls -j "$jobs" >/dev/null
cmake --install b-mbedtls >/dev/null

echo "deps: building libssh2 $v_libssh2" >&2
cmake -S "$src_libssh2" -B b-libssh2 "${cmake_common[@]}" \
    -DCRYPTO_BACKEND=mbedTLS -DENABLE_ZLIB_COMPRESSION=OFF -DBUILD_EXAMPLES=OFF \
    -DMBEDTLS_INCLUDE_DIR="$prefix/include" \
    -DMBEDTLS_LIBRARY="$prefix/lib/libmbedtls.a" \
    -DMBEDX509_LIBRARY="$prefix/lib/libmbedx509.a" \
    -DMBEDCRYPTO_LIBRARY="$prefix/lib/libmbedcrypto.a" >/dev/null
cmake --build b-libssh2 -j "$jobs" >/dev/null
cmake --install b-libssh2 >/dev/null

echo "deps: building curl $v_curl" >&2
off_protocols=()
for p in DICT FILE GOPHER IMAP LDAP LDAPS MQTT POP3 RTSP SMB SMTP TELNET TFTP; do
    off_protocols+=("-DCURL_DISABLE_$p=ON")
done
cmake -S "$src_curl" -B b-curl "${cmake_common[@]}" \
    -DBUILD_CURL_EXE=OFF -DCURL_STATICLIB=ON -DENABLE_MANUAL=OFF -DBUILD_LIBCURL_DOCS=OFF \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_USE_MBEDTLS=OFF \
    -DCURL_USE_LIBSSH2=ON -DCURL_USE_LIBSSH=OFF -DCURL_ZLIB=OFF -DUSE_LIBIDN2=OFF \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DCURL_USE_GSSAPI=OFF \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none -DENABLE_UNIX_SOCKETS=OFF \
    -DLIBSSH2_INCLUDE_DIR="$prefix/include" -DLIBSSH2_LIBRARY="$prefix/lib/libssh2.a" \
    "${off_protocols[@]}" >/dev/null
cmake --build b-curl -j "$jobs" >/dev/null
cmake --install b-curl >/dev/null

cp built-versions "$prefix/VERSIONS"
touch "$prefix/.complete"
echo "deps: built into $prefix" >&2
echo "$prefix"
