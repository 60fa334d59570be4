// dgnhost's GeoPackage geometry blobs: the blob header (magic, flags, SRS
// id, envelope) in front of a well-known-binary geometry, written for the
// import's objects and read back, bounds-checked, for export and update.
// No database here: the blob is bytes in, bytes out.
#ifndef DGN_TOOLS_DGNHOST_GPKGBLOB_H
#define DGN_TOOLS_DGNHOST_GPKGBLOB_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dgnhost_import.h"

// The extent of geometries, in x and y.
struct BlobEnvelope {
  bool any = false;
  double minX = 0, maxX = 0, minY = 0, maxY = 0;
  // Widens it to hold another envelope.
  void Add(const BlobEnvelope &e);
};

// The shapes of geometry dgnhost writes.
enum class BlobShape { kPoint, kLineString, kPolygon };

// Appends the blob of one geometry to `out` (cleared first): a point at the
// first vertex, a line string through them, or a polygon of one ring closed
// with its first vertex unless it ends there.  `withZ` writes x, y and z.
// Gives the geometry's envelope (lines and polygons carry it in the header).
BlobEnvelope WriteGeometryBlob(std::string &out, int32_t srsId, BlobShape shape,
                               const Vertex *points, size_t count, bool withZ);
// The same, appended to what `out` holds.
BlobEnvelope AppendGeometryBlob(std::string &out, int32_t srsId, BlobShape shape,
                                const Vertex *points, size_t count, bool withZ);

// One line, or one ring of an area, found in a blob.
struct BlobPart {
  bool area = false;  // a ring of a polygon
  bool hole = false;  // a ring after the first of its polygon
  std::vector<Vertex> points;
};

// What a blob holds: its lines and rings, and its points (Point, MultiPoint).
struct BlobGeometry {
  int32_t srsId = 0;
  bool empty = false;       // the header says the geometry is empty
  bool lineOrArea = false;  // a line or area type (even one without vertices)
  std::vector<BlobPart> parts;
  std::vector<Vertex> points;
};

// Reads a geometry blob of `size` bytes; false with the reason in `error`
// when it is not a GeoPackage blob over well-known binary (2D, Z, M or ZM;
// M values are dropped).  Reads only inside the blob; every count is held
// to the bytes that remain.
bool ReadGeometryBlob(const unsigned char *blob, size_t size, BlobGeometry &out,
                      std::string &error);

#endif  // DGN_TOOLS_DGNHOST_GPKGBLOB_H
