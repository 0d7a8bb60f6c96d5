# Sourced by the Wine helpers: picks the Wine loader and server for a target architecture.
# Usage: qm_wine_env ARCH PREFIX
qm_wine_env() {
    local arch=$1 prefix=$2
    export WINEPREFIX=$prefix
    # With -all alone a missing DLL is a silent exit; err+module names it.
    export WINEDEBUG=${QM_WINEDEBUG:--all,err+module}
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    # Wine names Unix files in the locale's character set: without a UTF-8 locale (a fresh
    # machine has none set) a file name with accents or emoji cannot be created or found.
    export LC_ALL=C.UTF-8
    case "$arch" in
        x86_64)
            export WINEARCH=win64
            QM_WINE=/usr/lib/wine/wine64
            ;;
        *)
            export WINEARCH=win32
            QM_WINE=/usr/lib/wine/wine
            ;;
    esac
    QM_WINESERVER=/usr/lib/wine/wineserver
    [ -x "$QM_WINE" ] || QM_WINE=$(command -v wine)
    export QM_WINE QM_WINESERVER
}
