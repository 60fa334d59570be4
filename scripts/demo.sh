#!/usr/bin/env bash
# The main job, end to end: builds the x86-64 tree, writes the sample map
# (tools/sample_map.recipe) to out/sample.dgn, imports it through the
# plug-in with dgnhost, and leaves out/sample.geojson, out/sample.svg and
# out/sample.gpkg (a GeoPackage) beside it, with a short summary on screen; then the same with the whole
# map (out/sample-whole.*).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build/x64
out=$root/out
log=$build/demo-build.log

say() { printf 'demo: %s\n' "$*"; }
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

# Packages the build needs; installs only what is missing (needs root then).
scripts/install-deps.sh || die "cannot install the packages the build needs (run scripts/install-deps.sh as root)"

mkdir -p "$build" "$out"
say "building the plug-in and its tools in build/x64 (log: build/x64/demo-build.log)"
if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" -j"$(nproc)"; } >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  die "the build failed; the whole log is in $log"
fi

"$build/bin/dgnsample" tools/sample_map.recipe "$out/sample.dgn" || die "cannot write the sample map"
say "wrote out/sample.dgn from tools/sample_map.recipe"

# A GeoPackage only where dgnhost was built with SQLite (Linux builds).
gpkg=()
help=$("$build/bin/dgnhost" --help)
if [[ $help != *"without GeoPackage"* ]]; then
  gpkg=(--gpkg "$out/sample.gpkg")
fi
"$build/bin/dgnhost" import "$out/sample.dgn" \
  --geojson "$out/sample.geojson" --svg "$out/sample.svg" "${gpkg[@]}" --summary \
  || die "the import through the plug-in failed"

say "out/sample.geojson  $(wc -c <"$out/sample.geojson") bytes (GeoJSON FeatureCollection)"
say "out/sample.svg      $(wc -c <"$out/sample.svg") bytes (open it in a browser)"
if [ ${#gpkg[@]} -gt 0 ]; then
  say "out/sample.gpkg     $(wc -c <"$out/sample.gpkg") bytes (GeoPackage: open it in a GIS, or sqlite3 out/sample.gpkg)"
fi

# The same map with the whole map on (the DGN_Whole_Map setting, for this run
# only): the roundabout arc, the pond, the tree crowns and the footpath chain
# come in as well.
"$build/bin/dgnhost" import "$out/sample.dgn" --whole-map \
  --geojson "$out/sample-whole.geojson" --svg "$out/sample-whole.svg" --summary \
  || die "the whole-map import through the plug-in failed"
say "out/sample-whole.svg $(wc -c <"$out/sample-whole.svg") bytes (the whole map: arcs, ellipses, the chain)"

# Export: a GPS track and an area (tools/sample_track.geojson) go through the
# plug-in into a new DGN file made from the bundled seed named in out/gps.ini
# (written with the default seed2d.dgn when missing), then come back in.
rm -f "$out/track.dgn"
"$build/bin/dgnhost" export tools/sample_track.geojson "$out/track.dgn" --ini-dir "$out" \
  || die "the export through the plug-in failed"
"$build/bin/dgnhost" import "$out/track.dgn" --geojson "$out/track.geojson" --svg "$out/track.svg" \
  --summary || die "the import of the exported map failed"
say "out/track.dgn       $(wc -c <"$out/track.dgn") bytes, from seed $(sed -n 's/^DGN_Seed_File=//p' "$out/gps.ini")"
say "out/track.svg       $(wc -c <"$out/track.svg") bytes (the track and the area, read back)"
