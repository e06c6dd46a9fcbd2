#!/bin/sh
# A shipped console program: the console subsystem, and imports of system DLLs only.
#   check_console_program.sh <program.exe>
set -eu
dump=$(x86_64-w64-mingw32-objdump -p "$1")
echo "$dump" | grep -q "Subsystem.*(Windows CUI)" || { echo "FAIL $1 is not a console program"; exit 1; }
bad=0
for dll in $(echo "$dump" | sed -n 's/^\s*DLL Name: //p'); do
    case $(echo "$dll" | tr 'A-Z' 'a-z') in
        kernel32.dll|advapi32.dll|msvcrt.dll|user32.dll|ntdll.dll) echo "ok   imports $dll" ;;
        *) echo "FAIL imports $dll, which is not a system DLL"; bad=1 ;;
    esac
done
[ $bad -eq 0 ] && echo "1 passed, 0 failed" || { echo "0 passed, 1 failed"; exit 1; }
