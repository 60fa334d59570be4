#!/usr/bin/env bash
# Loads the built Dgn_plugin.dll in a real 32-bit Windows process (dgnhost.exe
# under Wine, run by qemu-i386) and checks that it imports and exports exactly
# as the Linux build does: the same GeoJSON from the sample map, and a
# byte-identical DGN file from the sample track.
#
#   check_win32_runtime.sh WIN32_BUILD LINUX_BUILD
#
# The Wine setup comes from ../shared/win32/setup-wine32q.sh (needs root; about
# four minutes on a new machine, seconds afterwards).
set -euo pipefail
win=$(cd "${1:?usage: check_win32_runtime.sh WIN32_BUILD LINUX_BUILD}" && pwd)
lin=$(cd "${2:?usage: check_win32_runtime.sh WIN32_BUILD LINUX_BUILD}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
setup=${WINE32Q_SETUP:-$root/../shared/win32/setup-wine32q.sh}

die() { echo "check_win32_runtime: $*" >&2; exit 1; }
# Wine sees the Linux root as drive Z:.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# The setup leaves wine32q on the PATH and qemu-i386 registered with the
# kernel (lost at a reboot); anything less means it has to run (again).
if ! command -v wine32q >/dev/null 2>&1 || [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
  [ -f "$setup" ] || die "no Wine setup script at $setup (set WINE32Q_SETUP, or DGN_SKIP_WINE=1 to skip this check)"
  echo "setting up 32-bit Wine under qemu-i386 ($setup)"
  bash "$setup" >/tmp/dgn-wine-setup.log 2>&1 ||
    { tail -n 20 /tmp/dgn-wine-setup.log >&2; die "the Wine setup failed; its log is /tmp/dgn-wine-setup.log"; }
fi

# No step may hang the test command: every Windows program gets five minutes.
wine() { timeout 300 wine32q "$@"; }

work=$(mktemp -d)
trap 'rm -rf "$work"; timeout 60 wine32q wineserver -k >/dev/null 2>&1 || true' EXIT
host="$win/bin/dgnhost.exe"
[ -f "$win/bin/Dgn_plugin.dll" ] || die "no Dgn_plugin.dll in $win/bin"
[ -f "$host" ] || die "no dgnhost.exe in $win/bin"
# The seed files beside the Windows host, where the plug-in looks for them.
mkdir -p "$win/bin/symbols"
rm -rf "$win/bin/symbols/dgnseeds"
cp -r "$lin/bin/symbols/dgnseeds" "$win/bin/symbols/"

info=$(wine "$host" info 2>&1 | tr -d '\r') || die "dgnhost.exe info failed: $info"
grep -q '^file types: *6|DGN Vector Maps|dgn|$' <<<"$info" || die "unexpected info answers: $info"
grep -q '^interface version: *4$' <<<"$info" || die "unexpected info answers: $info"
echo "ok: the DLL loads in a Win32 process and answers its informational exports"

"$lin/bin/dgnsample" "$root/tools/sample_map.recipe" "$work/sample.dgn" >/dev/null
"$lin/bin/dgnhost" import "$work/sample.dgn" --geojson "$work/linux.geojson" >/dev/null
wine "$host" import "$(winpath "$work/sample.dgn")" --geojson "$(winpath "$work/windows.geojson")" \
  >/dev/null || die "the import through the DLL failed"
cmp -s "$work/linux.geojson" "$work/windows.geojson" ||
  die "the import through the DLL differs from the Linux import"
echo "ok: the import through the DLL gives the same GeoJSON as on Linux"

mkdir -p "$work/linux" "$work/windows"
"$lin/bin/dgnhost" export "$root/tools/sample_track.geojson" "$work/linux/track.dgn" \
  --ini-dir "$work/linux" >/dev/null
wine "$host" export "$(winpath "$root/tools/sample_track.geojson")" \
  "$(winpath "$work/windows/track.dgn")" --ini-dir "$(winpath "$work/windows")" >/dev/null ||
  die "the export through the DLL failed"
cmp -s "$work/linux/track.dgn" "$work/windows/track.dgn" ||
  die "the DGN file exported through the DLL differs from the Linux export"
grep -q 'DGN_Seed_File=seed2d.dgn' "$work/windows/gps.ini" || die "the DLL did not write its seed setting"
echo "ok: the export through the DLL writes the same bytes as on Linux"
