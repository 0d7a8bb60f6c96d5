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
# Each file apt lists for the source package is fetched on its own through apt's acquire system
# (the machine's mirror and proxy) and checked against the SHA-256 apt holds from the signed
# index. A mirror can fail to serve a security update's .dsc while serving its tarballs; then
# the tree is laid out by hand from the tarballs: upstream, debian/, and debian/patches/series
# applied in order, each patch checked before it is applied. Never an older version: the key
# and VERSIONS name what was built.
fetch() { # PACKAGE VERSION
    local pkg=$1 ver=$2 dsc="" orig=() debian="" line url name hash
    while read -r line; do
        url=$(echo "$line" | awk '{print $1}' | tr -d "'")
        name=$(echo "$line" | awk '{print $2}')
        hash=$(echo "$line" | awk '{print $4}')
        case "$hash" in SHA256:*) ;; *) echo "deps: apt gives no SHA-256 for $name" >&2; exit 1 ;; esac
        if /usr/lib/apt/apt-helper download-file "$url" "$work/$name" "$hash" >/dev/null 2>&1; then
            case "$name" in
                *.dsc) dsc=$name ;;
                *.orig.tar.* | *.orig-*.tar.*) orig+=("$name") ;;
                *.debian.tar.*) debian=$name ;;
            esac
        else
            rm -f "$work/$name"
            case "$name" in
                *.dsc) echo "deps: $name could not be fetched; unpacking $pkg $ver by hand" >&2 ;;
                *) echo "deps: $name could not be fetched (or its SHA-256 differs)" >&2; exit 1 ;;
            esac
        fi
    done < <(apt-get source --print-uris --only-source "$pkg=$ver" 2>/dev/null | grep "^'")
    [ "${#orig[@]}" -gt 0 ] || { echo "deps: apt lists no sources for $pkg $ver" >&2; exit 1; }
    local dir="$pkg-${ver%%-*}"
    dir=${dir#*:}
    if [ -n "$dsc" ]; then
        # The files were checked against apt's hashes above; the .dsc signature has no keyring here.
        dpkg-source --no-check -x "$dsc" "$dir" >/dev/null
    else
        [ "${#orig[@]}" = 1 ] && [ -n "$debian" ] || {
            echo "deps: cannot lay out $pkg $ver by hand (expects one upstream and one debian tarball)" >&2; exit 1; }
        mkdir "$dir"
        tar -xf "${orig[0]}" -C "$dir" --strip-components=1
        tar -xf "$debian" -C "$dir"
        local series="$dir/debian/patches/series" patch opts
        if [ -f "$series" ]; then
            while read -r patch opts; do
                case "$patch" in '' | '#'*) continue ;; esac
                [ -n "$opts" ] || opts=-p1
                if ! patch -d "$dir" $opts --dry-run -s -f < "$dir/debian/patches/$patch" >/dev/null; then
                    echo "deps: patch $patch of $pkg $ver does not apply" >&2; exit 1
                fi
                patch -d "$dir" $opts -s -f < "$dir/debian/patches/$patch" >/dev/null
            done < "$series"
        fi
    fi
    echo "$pkg $ver" >> built-versions
}
fetch mbedtls "$v_mbedtls"
fetch libssh2 "$v_libssh2"
fetch curl "$v_curl"
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
