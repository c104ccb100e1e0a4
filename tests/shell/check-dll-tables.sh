#!/bin/sh
# Checks the export table and the imports of quorvel-shell-integration.dll:
#   - a 64-bit PE (pei-x86-64),
#   - exactly DllCanUnloadNow, DllGetClassObject, DllRegisterServer, DllUnregisterServer
#     exported by name (DllMain not exported),
#   - no imported DLL beyond Windows' own (no MinGW runtime, no third-party DLL).
# Usage: check-dll-tables.sh OBJDUMP DLL
set -eu

objdump=$1
dll=$2
dump=$("$objdump" -p "$dll")
status=0

if ! "$objdump" -f "$dll" | grep -q 'file format pei-x86-64'; then
    echo "FAIL: $dll is not a 64-bit PE"
    status=1
fi

# Export names: the lines of the "[Ordinal/Name Pointer] Table" section.
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
          sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
expected=$(printf '%s\n' DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer)
if [ "$exports" != "$expected" ]; then
    echo "FAIL: exported names differ"
    echo "  expected: $(echo $expected)"
    echo "  found:    $(echo $exports)"
    status=1
fi

# Imported DLLs, compared case-insensitively with the system DLLs the module may use.
allowed=" kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll shlwapi.dll ole32.dll"
allowed="$allowed oleaut32.dll comctl32.dll msvcrt.dll crypt32.dll ws2_32.dll secur32.dll"
allowed="$allowed bcrypt.dll normaliz.dll wldap32.dll winmm.dll "
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
if [ -z "$imports" ]; then
    echo "FAIL: no import table found"
    status=1
fi
for name in $imports; do
    case "$allowed" in
        *" $name "*) ;;
        *) echo "FAIL: imports $name, which is not a Windows system DLL"; status=1 ;;
    esac
done

if [ $status -eq 0 ]; then
    echo "exports: $(echo $exports)"
    echo "imports: $(echo $imports)"
fi
exit $status
