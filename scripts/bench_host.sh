#!/usr/bin/env bash
# Measures the peak resident memory and time of dgnhost on a large map: the
# import to GeoJSON, to SVG, to a GeoPackage and to a summary, and the export
# of the import's own GeoJSON and GeoPackage, with /usr/bin/time -v.
#
#   bash scripts/bench_host.sh [--elements N] [--data DIR] [--bin DIR] [--runs N]
#
#   --elements N  elements of the generated 2D map (default 5000000)
#   --data DIR    scratch folder for the map, its GeoJSON, SVG and GeoPackage
#                 and the exported maps (default build/bench/data; about 6 GB
#                 at 5M)
#   --bin DIR     the programs to measure (default: the Release tree
#                 build/bench, built first)
#   --runs N      runs of each command (default 2); the table gives the
#                 fastest and the most memory.  A first run can pay for the
#                 machine itself: writing gigabytes into memory a virtual
#                 machine has not used yet took twice as long here.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
elements=5000000
data=$root/build/bench/data
bin=
runs=2
while [ $# -gt 0 ]; do
  case "$1" in
    --elements) elements=$2; shift ;;
    --data) data=$2; shift ;;
    --bin) bin=$2; shift ;;
    --runs) runs=$2; shift ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    *) echo "bench_host.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
if [ -z "$bin" ]; then
  build=$root/build/bench
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDGN_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" --target dgngen dgnhost dgnseeds -j"${JOBS:-2}" >/dev/null
  bin=$build/bin
fi
mkdir -p "$data"
map=$data/host-$elements.dgn
[ -f "$map" ] && [ "$map" -nt "$bin/dgngen" ] || "$bin/dgngen" --elements "$elements" "$map" >/dev/null

# run LABEL OUTPUT COMMAND...: one line of the table from /usr/bin/time -v
# over $runs runs (the fastest wall clock, the most memory); the seconds are
# left in $seconds.  OUTPUT ("-": none) is removed before each run, since
# replacing a large file costs its removal.
run() {
  local label=$1 output=$2 log i rss wall best_wall= best_seconds= most_rss=0
  shift 2
  log=$(mktemp)
  for ((i = 0; i < runs; i++)); do
    [ "$output" = - ] || rm -f "$output"
    # The outputs of the run before are written to disk first, so that the
    # kernel's writing them back does not slow this run down.
    sync
    if ! /usr/bin/time -v "$@" >/dev/null 2>"$log"; then
      echo "bench_host.sh: $label failed:" >&2
      tail -5 "$log" >&2
    fi
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$log")
    wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$log")
    seconds=$(echo "$wall" | awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
    if [ -z "$best_seconds" ] || [ "$(echo "$seconds < $best_seconds" | bc -l)" = 1 ]; then
      best_seconds=$seconds
      best_wall=$wall
    fi
    [ "$rss" -gt "$most_rss" ] && most_rss=$rss
  done
  seconds=$best_seconds
  printf '| %-36s | %10s | %9.1f MB |\n' "$label" "$best_wall" "$(echo "$most_rss / 1024" | bc -l)"
  rm -f "$log"
}

size() { printf '%.0f MB' "$(echo "$(stat -c %s "$1") / 1000000" | bc -l)"; }
echo "map $map: $elements elements, $(size "$map")"
echo
echo "| run                                  | wall clock | peak memory  |"
echo "| ------------------------------------ | ---------- | ------------ |"
svg=$data/host-$elements.svg
geojson=$data/host-$elements.geojson
exported=$data/host-$elements-export.dgn
gpkg=$data/host-$elements.gpkg
run "import --summary" - "$bin/dgnhost" import "$map" --summary
summary_seconds=$seconds
run "import --svg" "$svg" "$bin/dgnhost" import "$map" --svg "$svg"
run "import --geojson" "$geojson" "$bin/dgnhost" import "$map" --geojson "$geojson"
geojson_seconds=$seconds
run "export ($(size "$geojson") GeoJSON)" "$exported" "$bin/dgnhost" export "$geojson" "$exported"
geojson_export_seconds=$seconds
run "import --gpkg" "$gpkg" "$bin/dgnhost" import "$map" --gpkg "$gpkg"
gpkg_seconds=$seconds
run "export ($(size "$gpkg") GeoPackage)" "$exported" "$bin/dgnhost" export "$gpkg" "$exported"
gpkg_export_seconds=$seconds
ratio() { echo "$1 / $2" | bc -l | xargs printf '%.1f'; }
echo
echo "GeoJSON import: $(ratio "$geojson_seconds" "$summary_seconds") times the summary"
echo "GeoPackage import: $(ratio "$gpkg_seconds" "$geojson_seconds") times the GeoJSON import"
echo "GeoPackage export: $(ratio "$gpkg_export_seconds" "$geojson_export_seconds") times the GeoJSON export"
