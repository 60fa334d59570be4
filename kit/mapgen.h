// A generator of large, realistic DGN design files for the benchmarks and for
// the import's transcript test.
//
// The file is a pure function of (dimension, element count, seed): a TCB with
// metric units and a global origin, a colour table, then a mix of line
// strings of 2 to 50 vertices, closed shapes, lines, texts, arcs and complex
// chains (a header followed by line-string components) spread over all 64
// levels, with a few deleted elements and attribute linkages as real maps
// carry them, and the end-of-design marker.  Only integer arithmetic decides
// what is written, so every build (64-bit, i386, sanitizers) writes the same
// bytes.  The encoder is this file's own (not the engine's, nor the tests'
// element builder): the digests recorded in tests/plugin/transcript_test.cpp
// must change only when the import does.
#ifndef DGN_KIT_MAPGEN_H
#define DGN_KIT_MAPGEN_H

#include <cstdint>
#include <string>

namespace dgnbench {

// What to generate.
struct MapSpec {
  int dimension = 2;                // 2 or 3
  int64_t element_count = 1000000;  // elements before the end-of-design marker, TCB included
  uint64_t seed = 0x5EED2D0001ull;  // the same seed gives the same file
};

// What was generated.
struct MapStats {
  int64_t elements = 0;       // elements written, TCB and colour table included
  int64_t bytes = 0;          // file size, end-of-design marker included
  int64_t by_type[128] = {};  // elements per type code
  int64_t deleted = 0;        // elements with the deleted bit
  int64_t complex_parts = 0;  // components of complex chains (complex bit set)
  int64_t with_linkage = 0;   // elements carrying attribute linkage data
  int64_t vertices = 0;       // vertices of all multi-point elements
  uint64_t levels_used = 0;   // bit n set when level n carries an element
};

// Writes the design file described by `want` to `path` (created or truncated);
// gives false with the reason in *error.  `stats` may be null.
bool WriteMap(const char *path, const MapSpec &want, MapStats *stats, std::string *error);

// Converts a double into the 8 stored bytes of a VAX D-float (the design
// file's floating-point form); values beyond its range saturate, tiny ones give 0.
void DoubleToStoredDFloat(double value, unsigned char out[8]);

}  // namespace dgnbench

#endif  // DGN_KIT_MAPGEN_H
