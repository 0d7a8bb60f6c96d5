#!/usr/bin/env bash
# Checks the built DLL: PE kind, exactly the four COM exports, imports only from system DLLs.
# Usage: check-dll.sh PATH ARCH
set -uo pipefail
dll=$1 arch=$2
case "$arch" in
    x86_64) objdump=x86_64-w64-mingw32-objdump; want_format="pei-x86-64"; want_magic="PE32+" ;;
    *) objdump=i686-w64-mingw32-objdump; want_format="pei-i386"; want_magic="PE32" ;;
esac
dump=$("$objdump" -p "$dll") || { echo "check-dll: objdump failed on $dll"; exit 1; }
fail=0

format=$("$objdump" -f "$dll" | awk '/file format/ {print $NF}')
magic=$(echo "$dump" | awk '/^Magic/ {print $2}')
case "$magic" in 010b) magic=PE32 ;; 020b) magic="PE32+" ;; esac
echo "format: $format ($magic)"
if [ "$format" != "$want_format" ] || [ "$magic" != "$want_magic" ]; then
    echo "check-dll: expected $want_format ($want_magic)"; fail=1
fi

exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && NR>1 {print $NF}' | sort)
echo "exports: $(echo $exports)"
want_exports=$(printf '%s\n' DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer | sort)
if [ "$exports" != "$want_exports" ]; then
    echo "check-dll: expected exactly the four COM exports"; fail=1
fi

imports=$(echo "$dump" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
echo "imports: $(echo $imports)"
system_dlls=" advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll crypt32.dll gdi32.dll gdiplus.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll propsys.dll shell32.dll shlwapi.dll user32.dll uxtheme.dll wininet.dll winmm.dll ws2_32.dll secur32.dll normaliz.dll wldap32.dll iphlpapi.dll version.dll "
for d in $imports; do
    case "$d" in api-ms-win-*) continue ;; esac
    case "$system_dlls" in
        *" $d "*) ;;
        *) echo "check-dll: imports $d, which is not a system DLL"; fail=1 ;;
    esac
done
exit "$fail"
