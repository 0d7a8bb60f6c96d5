#!/usr/bin/env bash
# Sets up a fresh machine if needed, builds everything and runs every test: the C++ tests under
# Wine (with a private X display), the product DLL's layout check, and the dev service's tests.
# Exits non-zero when anything fails.
#
# QM_TEST_ARCH=i686|x86_64 picks the build the tests run; by default the 32-bit build when this
# kernel can execute 32-bit programs (32-bit Wine needs that), else the 64-bit build of the same
# code under 64-bit Wine. The 32-bit product DLL is built and checked either way.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/setup.sh

if [ -z "${QM_TEST_ARCH:-}" ]; then
    if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
        QM_TEST_ARCH=i686
    else
        QM_TEST_ARCH=x86_64
        echo "test: this kernel cannot run 32-bit programs; tests run the 64-bit build under wine64"
    fi
fi

configure() { # ARCH BUILD_DIR EXTRA...
    local arch=$1 dir=$2
    shift 2
    local toolchain=cmake/toolchain-mingw32.cmake
    [ "$arch" = x86_64 ] && toolchain=cmake/toolchain-mingw64.cmake
    local prefix
    prefix=$(bash scripts/deps.sh "$arch" | tail -n 1)
    cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQM_DEPS_PREFIX="$prefix" \
        -DQM_WERROR=ON "$@" >/dev/null
}

status=0

configure "$QM_TEST_ARCH" "build/$QM_TEST_ARCH" -DQM_TESTS=ON
ninja -C "build/$QM_TEST_ARCH"

# The 64-bit build also makes the installer package and, for it, the 32-bit product (in its i686/
# folder): the 32-bit DLL is checked from there, with warnings as errors like everything else.
if [ "$QM_TEST_ARCH" = i686 ]; then
    configure x86_64 build/x86_64 -DQM_TESTS=OFF
    ninja -C build/x86_64
else
    echo "test: product DLL"
    bash scripts/check-dll.sh build/x86_64/i686/bin/Quillmere.dll i686 || status=1
fi

# A display of our own for everything that opens a window, stopped at the end with the Wine
# server of our own prefix. Nothing else is touched.
. cmake/wine-env.sh
qm_wine_env "$QM_TEST_ARCH" "$here/build/$QM_TEST_ARCH/wineprefix"
xvfb_pid=""
cleanup() {
    "$QM_WINESERVER" -k >/dev/null 2>&1 || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -f "${display_file:-}"
}
trap cleanup EXIT
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
done
[ -s "$display_file" ] || { echo "test: Xvfb did not start"; exit 1; }
export DISPLAY=":$(head -n 1 "$display_file")"

cmake/make-prefix.sh "$QM_TEST_ARCH" "$WINEPREFIX"

echo "test: C++ tests ($QM_TEST_ARCH, display $DISPLAY)"
ctest --test-dir "build/$QM_TEST_ARCH" -j 2 --output-on-failure || status=1

if [ -d devservice/tests ]; then
    echo "test: dev service tests"
    (cd devservice && /usr/bin/python3 -m pytest -q tests) || status=1
fi

exit "$status"
