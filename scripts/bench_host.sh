#!/usr/bin/env bash
# Measures the peak resident memory and time of dgnhost on a large map: the
# import to GeoJSON, to SVG and to a summary, and the export of the import's
# own GeoJSON, one run each, with /usr/bin/time -v.
#
#   bash scripts/bench_host.sh [--elements N] [--data DIR] [--bin DIR]
#
#   --elements N  elements of the generated 2D map (default 5000000)
#   --data DIR    scratch folder for the map, its GeoJSON and SVG and the
#                 exported map (default build/bench/data; about 4 GB at 5M)
#   --bin DIR     the programs to measure (default: the Release tree
#                 build/bench, built first)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
elements=5000000
data=$root/build/bench/data
bin=
while [ $# -gt 0 ]; do
  case "$1" in
    --elements) elements=$2; shift ;;
    --data) data=$2; shift ;;
    --bin) bin=$2; shift ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "bench_host.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
if [ -z "$bin" ]; then
  build=$root/build/bench
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDGN_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" --target dgngen dgnhost -j"${JOBS:-2}" >/dev/null
  bin=$build/bin
fi
mkdir -p "$data"
map=$data/host-$elements.dgn
[ -f "$map" ] && [ "$map" -nt "$bin/dgngen" ] || "$bin/dgngen" --elements "$elements" "$map" >/dev/null

# run LABEL COMMAND...: one line of the table from /usr/bin/time -v; the
# wall-clock seconds are left in $seconds.
run() {
  local label=$1 log
  shift
  log=$(mktemp)
  if ! /usr/bin/time -v "$@" >/dev/null 2>"$log"; then
    echo "bench_host.sh: $label failed:" >&2
    tail -5 "$log" >&2
  fi
  local rss wall
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$log")
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$log")
  seconds=$(echo "$wall" | awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
  printf '| %-36s | %10s | %9.1f MB |\n' "$label" "$wall" "$(echo "$rss / 1024" | bc -l)"
  rm -f "$log"
}

size() { printf '%.0f MB' "$(echo "$(stat -c %s "$1") / 1000000" | bc -l)"; }
echo "map $map: $elements elements, $(size "$map")"
echo
echo "| run                                  | wall clock | peak memory  |"
echo "| ------------------------------------ | ---------- | ------------ |"
# Earlier outputs are removed first: replacing a large file costs its removal.
rm -f "$data/host-$elements.svg" "$data/host-$elements.geojson" "$data/host-$elements-export.dgn"
run "import --summary" "$bin/dgnhost" import "$map" --summary
summary=$seconds
run "import --svg" "$bin/dgnhost" import "$map" --svg "$data/host-$elements.svg"
run "import --geojson" "$bin/dgnhost" import "$map" --geojson "$data/host-$elements.geojson"
geojson=$seconds
run "export ($(size "$data/host-$elements.geojson") GeoJSON)" \
  "$bin/dgnhost" export "$data/host-$elements.geojson" "$data/host-$elements-export.dgn"
echo
echo "GeoJSON import: $(echo "$geojson / $summary" | bc -l | xargs printf '%.1f') times the summary"
