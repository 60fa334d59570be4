// Fuzz target: dgnhost's reader of GeoPackage geometry blobs on arbitrary
// bytes.
//
// What must hold: the reader returns (no read outside the blob, no endless
// nesting); a blob it accepts holds no more vertices than its bytes can
// carry; every line and ring it found, written again as a blob and read
// back, gives the same vertices.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dgnhost_gpkgblob.h"

namespace {

[[noreturn]] void Fail(const char *what) {
  std::fprintf(stderr, "fuzz_gpkg_blob: %s\n", what);
  std::abort();
}

bool Same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  BlobGeometry g;
  std::string error;
  if (!ReadGeometryBlob(data, size, g, error)) {
    if (error.empty()) Fail("refused without a reason");
    return 0;
  }
  size_t vertices = g.points.size();
  for (const BlobPart &p : g.parts) vertices += p.points.size();
  if (vertices * 16 > size) Fail("more vertices than the blob can hold");
  std::string blob;
  for (const BlobPart &p : g.parts) {
    if (p.points.empty()) continue;
    WriteGeometryBlob(blob, g.srsId, BlobShape::kLineString, p.points.data(), p.points.size(),
                      true);
    BlobGeometry again;
    if (!ReadGeometryBlob(reinterpret_cast<const unsigned char *>(blob.data()), blob.size(), again,
                          error))
      Fail("a written line does not read back");
    if (again.parts.size() != 1 || again.parts[0].points.size() != p.points.size())
      Fail("a written line reads back with other vertices");
    for (size_t i = 0; i < p.points.size(); ++i) {
      const Vertex &a = p.points[i], &b = again.parts[0].points[i];
      if (!Same(a.x, b.x) || !Same(a.y, b.y) || !Same(a.z, b.z))
        Fail("a vertex changed on its way through a blob");
    }
  }
  return 0;
}
