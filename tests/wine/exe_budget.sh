#!/bin/sh
# TRQUninstall.exe within its budget: stripped, at most 16 KiB (or LIMIT bytes:
# the trace build has its own); a Windows GUI
# program; importing only the system's own libraries (KERNEL32, USER32,
# ADVAPI32, SHELL32 and at most msvcrt), so no C++ runtime or compiler
# support library has crept in. Prints the size and the imports.
#
#   exe_budget.sh EXE OBJDUMP STRIP [LIMIT]
#
# Exit code 77 (skipped) when the pieces are missing, unless CI=true.
set -eu

exe=${1:-} objdump=${2:-} strip=${3:-} limit=${4:-16384}
allowed="ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL SHELL32.DLL USER32.DLL"

missing() {
    if [ "${CI:-}" = true ]; then
        echo "FAIL: $1"
        exit 1
    fi
    echo "skipped: $1"
    exit 77
}
[ -n "$exe" ] && [ -f "$exe" ] || missing "$(basename "${exe:-TRQUninstall.exe}") was not built (${exe:-no path}): is mingw-w64 installed?"
[ -x "$objdump" ] || missing "no x86_64-w64-mingw32-objdump (binutils-mingw-w64-x86-64)"
[ -x "$strip" ] || missing "no x86_64-w64-mingw32-strip (binutils-mingw-w64-x86-64)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$strip" -o "$work/stripped.exe" "$exe"
size=$(wc -c <"$work/stripped.exe")
"$objdump" -p "$work/stripped.exe" >"$work/headers.txt"
imports=$(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' "$work/headers.txt" | tr -d '\r')
subsystem=$(sed -n 's/^Subsystem[[:space:]]*[0-9a-fA-F]*[[:space:]]*//p' "$work/headers.txt")

echo "$(basename "$exe"): $size bytes stripped (budget $limit, $((size * 100 / limit))%)"
echo "subsystem: $subsystem"
echo "imports: $(echo $imports)"

status=0
if [ "$size" -gt "$limit" ]; then
    echo "FAIL: $size bytes is over the budget of $limit"
    status=1
fi
if [ "$subsystem" != "(Windows GUI)" ]; then
    echo "FAIL: not a Windows GUI program"
    status=1
fi
[ -n "$imports" ] || { echo "FAIL: no imports found: not a PE file objdump can read?"; status=1; }
for dll in $imports; do
    upper=$(echo "$dll" | tr '[:lower:]' '[:upper:]')
    case " $allowed " in
    *" $upper "*) ;;
    *) echo "FAIL: imports $dll"; status=1 ;;
    esac
done
exit $status
