#!/usr/bin/env bash
# Loads the built Dgn_plugin.dll in a real 32-bit Windows process (dgnhost.exe
# under Wine, run by qemu-i386) and checks that it imports and exports exactly
# as the Linux build does: the same GeoJSON from the sample map, and a
# byte-identical DGN file from the sample track.  The host runs from the
# folder that `cmake --install` of the Windows build gives (the DLL, its seed
# files, INSTALL.txt), with dgnhost.exe copied in as the host program; once
# by its full path, once by its bare name from inside that folder.
#
#   check_win32_runtime.sh WIN32_BUILD LINUX_BUILD
#
# Wine is set up by scripts/setup-wine32.sh in DGN_WINE_DIR (default
# build/wine32): a few minutes and root on a new machine, a moment afterwards.
set -euo pipefail
win=$(cd "${1:?usage: check_win32_runtime.sh WIN32_BUILD LINUX_BUILD}" && pwd)
lin=$(cd "${2:?usage: check_win32_runtime.sh WIN32_BUILD LINUX_BUILD}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
wine_dir=${DGN_WINE_DIR:-$root/build/wine32}

die() { echo "check_win32_runtime: $*" >&2; exit 1; }
# Wine sees the Linux root as drive Z:.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

mkdir -p "$wine_dir"
setup_log=$wine_dir/setup.log
bash "$root/scripts/setup-wine32.sh" "$wine_dir" >"$setup_log" 2>&1 ||
  { tail -n 20 "$setup_log" >&2; die "Wine cannot run here (the setup failed; its log is $setup_log)"; }

# No step may hang the test command: every Windows program gets five minutes.
wine() { timeout 300 "$wine_dir/wine32" "$@"; }

work=$(mktemp -d)
trap 'rm -rf "$work"; timeout 60 "$wine_dir/wine32" wineserver -k >/dev/null 2>&1 || true' EXIT
[ -f "$win/bin/Dgn_plugin.dll" ] || die "no Dgn_plugin.dll in $win/bin"
[ -f "$win/bin/dgnhost.exe" ] || die "no dgnhost.exe in $win/bin"
for program in dgnsample dgnhost; do
  [ -x "$lin/bin/$program" ] || die "no $program in $lin/bin"
done
hostdir=$work/host
cmake --install "$win" --prefix "$hostdir" >/dev/null || die "cmake --install $win failed"
cp "$win/bin/dgnhost.exe" "$hostdir/"
host=$hostdir/dgnhost.exe
# The seeds of the Windows build are made by a native dgnseed: the same bytes.
for seed in seed2d seed3d seedgeo; do
  cmp -s "$hostdir/symbols/dgnseeds/$seed.dgn" "$lin/bin/symbols/dgnseeds/$seed.dgn" ||
    die "the Windows build's $seed.dgn differs from the Linux build's"
done

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

# Typed by its bare name at a console in its own folder, the host gets a first
# argument without a folder; the plug-in must still find the seeds beside it.
# (Wine itself would pass the full path: cmd starts the host as a user would.)
mkdir -p "$work/bare"
(cd "$hostdir" && wine cmd /c dgnhost.exe export "$(winpath "$root/tools/sample_track.geojson")" \
  "$(winpath "$work/bare/track.dgn")" --ini-dir "$(winpath "$work/bare")") >/dev/null ||
  die "the export through the DLL failed when dgnhost.exe was started by its bare name"
cmp -s "$work/linux/track.dgn" "$work/bare/track.dgn" ||
  die "the export by dgnhost.exe started by its bare name differs from the Linux export"
echo "ok: started by its bare name in its own folder, the host exports with the seeds beside it"
