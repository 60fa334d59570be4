#!/usr/bin/env bash
# Builds a Release tree (build/bench), generates the benchmark maps into a
# scratch folder and runs the benchmark, which prints one table per map and
# one for the export.
#
#   bash scripts/bench.sh [--quick] [--clean] [--data DIR] [-- dgnbench options]
#
#   --quick     only the 1,000,000-element 2D map, and a smaller export
#   --clean     delete the generated maps afterwards (they are reused otherwise)
#   --data DIR  scratch folder for the maps and exported files
#               (default build/bench/data; about 800 MB with all maps)
#
# The maps (1,000,000 elements 2D and 3D, 5,000,000 elements 2D) are pure
# functions of the generator; they are regenerated only when the generator is
# newer than they are.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build/bench
data=$build/data
quick=0
clean=0
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --clean) clean=1 ;;
    --data) data=$2; shift ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) echo "bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

echo "== building the Release tree in build/bench"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDGN_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target dgngen dgnbench -j"${JOBS:-2}" >/dev/null
bin=$build/bin
if [ ! -f "$bin/symbols/dgnseeds/seed2d.dgn" ]; then
  echo "bench.sh: the build made no $bin/symbols/dgnseeds/seed2d.dgn" >&2
  exit 1
fi

mkdir -p "$data"
maps=()
gen() {  # gen FILE ARGS...: (re)generates FILE unless it is newer than the generator
  local file=$data/$1
  shift
  if [ ! -f "$file" ] || [ "$bin/dgngen" -nt "$file" ]; then
    "$bin/dgngen" "$@" "$file"
  fi
  maps+=("$file")
}
echo "== generating the maps in $data"
gen map-1m-2d.dgn --elements 1000000
if [ $quick -eq 0 ]; then
  gen map-1m-3d.dgn --3d --elements 1000000
  gen map-5m-2d.dgn --elements 5000000
fi

commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  commit="$commit (with uncommitted changes)"
fi
opts=(--commit "$commit" --scratch "$data")
[ $quick -eq 1 ] && opts+=(--export 200000 20000)

echo "== benchmark ($(nproc) cores; best of the repeated runs)"
"$bin/dgnbench" "${opts[@]}" "${extra[@]}" "${maps[@]}"

if [ $clean -eq 1 ]; then
  rm -f "${maps[@]}"
  rmdir "$data" 2>/dev/null || true
fi
