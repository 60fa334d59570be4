#!/usr/bin/env bash
# Checks that a built Dgn_plugin.dll exports exactly the ten entry points,
# undecorated (no @N stdcall suffixes), and needs no runtime DLL beside it.
set -euo pipefail
dll=${1:?usage: check_dll_exports.sh Dgn_plugin.dll}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
dump=$("$objdump" -p "$dll")
expected="_QuarvelPlugIn_Add_Layer
_QuarvelPlugIn_Add_Poliline_Vector_Map
_QuarvelPlugIn_Close_Vector_Map
_QuarvelPlugIn_GetTipoArchivos
_QuarvelPlugIn_Init
_QuarvelPlugIn_Open_Vector_Map
_QuarvelPlugIn_Read_Vector_Map3
_QuarvelPlugIn_Version
_QuarvelPlugIn_VersionPriv
_QuarvelPlugIn_VersionStr"
# The export name table: lines "[ n] name" after "[Ordinal/Name Pointer] Table".
actual=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[ *[0-9]+\]/{print $NF;next} t&&/^$/{t=0}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "FAIL: export table of $dll differs"
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") || true
  exit 1
fi
if ! grep -q 'Magic.*010b' <<<"$dump"; then
  echo "FAIL: $dll is not a PE32 (32-bit) image"; exit 1
fi
deps=$(printf '%s\n' "$dump" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
for d in $deps; do
  case "$d" in
    kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|api-ms-win-*) ;;
    *) echo "FAIL: $dll depends on $d, which a host does not have"; exit 1 ;;
  esac
done
echo "OK: $dll exports exactly the ten entry points; imports: $(echo $deps | tr '\n' ' ')"
