#!/usr/bin/env bash
# check-imports.sh OBJDUMP FILE...: each PE file may import only DLLs that every Windows has,
# so that the program or module runs without any runtime library beside it.
set -euo pipefail
objdump=$1
shift
system_dlls=" advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll crypt32.dll gdi32.dll
 kernel32.dll msvcrt.dll normaliz.dll ole32.dll oleaut32.dll secur32.dll shell32.dll
 shlwapi.dll user32.dll uxtheme.dll version.dll wldap32.dll winmm.dll ws2_32.dll "
system_dlls=" $(tr -s '[:space:]' ' ' <<<"$system_dlls") "
status=0
for file in "$@"; do
    imports=$("$objdump" -p "$file" | sed -nE 's/^[[:space:]]*DLL Name: (.*)$/\1/p' |
              tr '[:upper:]' '[:lower:]')
    # Every Windows program imports kernel32: an empty list means the dump was not read.
    if ! grep -qx 'kernel32.dll' <<<"$imports"; then
        echo "FAIL $file: no import of kernel32.dll found (not a PE file?)"
        status=1
        continue
    fi
    for dll in $imports; do
        if [[ $system_dlls != *" $dll "* ]]; then
            echo "FAIL $file imports $dll, which is not a system DLL"
            status=1
        fi
    done
    echo "$file imports: $(tr '\n' ' ' <<<"$imports")"
done
exit $status
