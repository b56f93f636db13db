#!/usr/bin/env bash
# check_windows_module.sh PYD: the Windows module exports exactly PyInit_latchwork and
# imports from python3.dll (the stable ABI) and the system's DLLs only: no Python
# version's own DLL, no MinGW runtime DLL that a user's machine would not have.
set -euo pipefail
pyd=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
headers=$("$objdump" -p "$pyd")
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | sed -n 's/^\s*\[ *[0-9]*\] //p')
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | sort -f)
echo "exports: $(tr '\n' ' ' <<<"$exports")"
echo "imports: $(tr '\n' ' ' <<<"$imports")"
status=0
if [ "$exports" != "PyInit_latchwork" ]; then
  echo "FAIL: the module must export PyInit_latchwork and nothing else" >&2
  status=1
fi
grep -qix 'python3.dll' <<<"$imports" || { echo "FAIL: python3.dll is not imported" >&2; status=1; }
while read -r dll; do
  case "${dll,,}" in
    python3.dll|kernel32.dll|msvcrt.dll|ws2_32.dll|advapi32.dll|ntdll.dll|user32.dll|api-ms-win-*) ;;
    *) echo "FAIL: imports $dll, which is neither python3.dll nor a system DLL" >&2; status=1 ;;
  esac
done <<<"$imports"
[ "$status" = 0 ] && echo "export check passed"
exit "$status"
