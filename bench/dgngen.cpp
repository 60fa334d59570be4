// dgngen: writes a large realistic design file for the benchmarks.
//
//   dgngen [--3d] [--elements N] [--seed S] OUT.dgn
//
// The same arguments always give the same bytes.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mapgen.h"

namespace {

int Usage(FILE *out) {
  std::fprintf(out,
               "usage: dgngen [--3d] [--elements N] [--seed S] OUT.dgn\n"
               "  --3d          write a 3D design file (default 2D)\n"
               "  --elements N  elements before the end-of-design marker (default 1000000)\n"
               "  --seed S      generator seed (default: a fixed one)\n");
  return out == stdout ? 0 : 2;
}

bool ParseCount(const char *text, int64_t *value) {
  char *end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0) return false;
  *value = v;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  dgnbench::MapSpec want;
  const char *path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--3d") {
      want.dimension = 3;
    } else if (arg == "--elements" && i + 1 < argc) {
      if (!ParseCount(argv[++i], &want.element_count)) return Usage(stderr);
    } else if (arg == "--seed" && i + 1 < argc) {
      int64_t seed = 0;
      if (!ParseCount(argv[++i], &seed)) return Usage(stderr);
      want.seed = static_cast<uint64_t>(seed);
    } else if (arg == "-h" || arg == "--help") {
      return Usage(stdout);
    } else if (path == nullptr && !arg.empty() && arg[0] != '-') {
      path = argv[i];
    } else {
      return Usage(stderr);
    }
  }
  if (path == nullptr) return Usage(stderr);

  dgnbench::MapStats stats;
  std::string error;
  if (!dgnbench::WriteMap(path, want, &stats, &error)) {
    std::fprintf(stderr, "dgngen: %s\n", error.c_str());
    return 1;
  }
  int levels = 0;
  for (int l = 0; l < 64; ++l) levels += (stats.levels_used >> l) & 1u ? 1 : 0;
  std::printf("%s: %dD, %" PRId64 " elements, %" PRId64 " bytes (%.1f bytes/element), %d levels\n",
              path, want.dimension, stats.elements, stats.bytes,
              static_cast<double>(stats.bytes) / static_cast<double>(stats.elements), levels);
  std::printf("  lines %" PRId64 ", line strings %" PRId64 " (%" PRId64
              " chain components), shapes %" PRId64 ", texts %" PRId64 ", arcs %" PRId64
              ", chain headers %" PRId64 "\n",
              stats.by_type[3], stats.by_type[4], stats.complex_parts, stats.by_type[6],
              stats.by_type[17], stats.by_type[16], stats.by_type[12]);
  std::printf("  vertices %" PRId64 ", deleted %" PRId64 ", with attribute linkage %" PRId64 "\n",
              stats.vertices, stats.deleted, stats.with_linkage);
  return 0;
}
