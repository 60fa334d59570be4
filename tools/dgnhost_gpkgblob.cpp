// dgnhost's GeoPackage geometry blobs (dgnhost_gpkgblob.h).
//
// The blob header, in the byte order its flags name:
//
//   offset  size  field
//   0       2     magic "GP"
//   2       1     version (0)
//   3       1     flags: bit 0 byte order (1 little-endian), bits 1-3 the
//                 envelope's contents, bit 4 empty geometry, bit 5 extended
//                 (not standard) geometry, bits 6-7 reserved
//   4       4     SRS id
//   8       0-64  envelope: doubles minx, maxx, miny, maxy [, minz, maxz]
//                 [, minm, maxm]
//   ...           the geometry in well-known binary
//
// Well-known binary: a byte order byte (0 big-, 1 little-endian), a 32-bit
// type (1 Point, 2 LineString, 3 Polygon, 4-6 their Multi forms, 7
// GeometryCollection; plus 1000 with z, 2000 with m, 3000 with both), then
// the coordinates, each list after its 32-bit count.
#include "dgnhost_gpkgblob.h"

#include <cmath>
#include <cstring>

namespace {

constexpr size_t kMagicAt = 0;
constexpr size_t kVersionAt = 2;
constexpr size_t kFlagsAt = 3;
constexpr size_t kSrsIdAt = 4;
constexpr size_t kEnvelopeAt = 8;

constexpr unsigned kFlagLittleEndian = 0x01;
constexpr unsigned kFlagEnvelopeShift = 1;
constexpr unsigned kFlagEnvelopeMask = 0x07;
constexpr unsigned kFlagEmpty = 0x10;
constexpr unsigned kFlagExtended = 0x20;

constexpr unsigned kEnvelopeNone = 0;
constexpr unsigned kEnvelopeXY = 1;
constexpr unsigned kEnvelopeXYZ = 2;
// Doubles in the envelope for each code of the flags (5-7 are invalid).
constexpr size_t kEnvelopeDoubles[] = {0, 4, 6, 6, 8};

constexpr uint32_t kWkbPoint = 1;
constexpr uint32_t kWkbLineString = 2;
constexpr uint32_t kWkbPolygon = 3;
constexpr uint32_t kWkbMultiPoint = 4;
constexpr uint32_t kWkbMultiLineString = 5;
constexpr uint32_t kWkbMultiPolygon = 6;
constexpr uint32_t kWkbCollection = 7;
constexpr uint32_t kWkbZ = 1000;  // added to the type of a geometry with z

// Collections inside collections are followed this deep, no deeper.
constexpr int kMaxNesting = 16;

// ---------------------------------------------------------------------------
// Writing (little-endian throughout)
// ---------------------------------------------------------------------------

// Widens [low, high] to hold v, as fmin and fmax would (a NaN bound gives
// way, a NaN value is passed over), without a call for every vertex.
inline void Widen(double &low, double &high, double v) {
  if (v < low || low != low) low = v;
  if (v > high || high != high) high = v;
}

// Writes little-endian values into bytes sized for them beforehand.
struct Put {
  char *p;
  void Byte(unsigned v) { *p++ = static_cast<char>(v); }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) *p++ = static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  void F64(double d) {
    uint64_t v;
    std::memcpy(&v, &d, sizeof v);
    for (int i = 0; i < 8; ++i) *p++ = static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  void Vertex3(const Vertex &v, bool withZ) {
    F64(v.x);
    F64(v.y);
    if (withZ) F64(v.z);
  }
};

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

// The bytes of a blob not yet read; every read past the end fails it.
struct Cursor {
  const unsigned char *p;
  size_t left;
  bool ok = true;

  bool Take(size_t n) {
    if (!ok || n > left) {
      ok = false;
      return false;
    }
    return true;
  }
  unsigned U8() {
    if (!Take(1)) return 0;
    --left;
    return *p++;
  }
  uint32_t U32(bool little) {
    if (!Take(4)) return 0;
    const uint32_t v =
        little ? p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24)
               : p[3] | (p[2] << 8) | (p[1] << 16) | (static_cast<uint32_t>(p[0]) << 24);
    p += 4;
    left -= 4;
    return v;
  }
  double F64(bool little) {
    if (!Take(8)) return 0.0;
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[little ? i : 7 - i]) << (8 * i);
    p += 8;
    left -= 8;
    double d;
    std::memcpy(&d, &v, sizeof d);
    return d;
  }
};

// One well-known-binary geometry and what it may hold.
class WkbReader {
 public:
  WkbReader(Cursor &c, BlobGeometry &out, std::string &error) : c_(c), out_(out), error_(error) {}

  // Reads one geometry; `expect` (0: any) is the base type a Multi form
  // allows for its members.
  bool Geometry(int depth, uint32_t expect) {
    if (depth > kMaxNesting) return Fail("geometry collections nested too deep");
    const unsigned order = c_.U8();
    if (c_.ok && order > 1) return Fail("the byte order of a geometry is neither 0 nor 1");
    const bool little = order == 1;
    const uint32_t type = c_.U32(little);
    if (!c_.ok) return Fail("the geometry is cut short");
    const uint32_t base = type % 1000, dims = type / 1000;
    if (dims > 3 || base < kWkbPoint || base > kWkbCollection)
      return Fail("unknown geometry type " + std::to_string(type));
    if (expect != 0 && base != expect) return Fail("a multi-part geometry holds another type");
    // z with 1000 and 3000, m with 2000 and 3000.
    const bool hasZ = dims == 1 || dims == 3, hasM = dims >= 2;
    const size_t width = 8 * (2 + (hasZ ? 1 : 0) + (hasM ? 1 : 0));
    switch (base) {
      case kWkbPoint: {
        Vertex v{};
        if (!ReadVertex(little, hasZ, hasM, v)) return false;
        // A point whose coordinates are not numbers is the empty point.
        if (!std::isnan(v.x) || !std::isnan(v.y)) out_.points.push_back(v);
        return true;
      }
      case kWkbLineString:
        out_.lineOrArea = true;
        out_.parts.emplace_back();
        return Points(little, hasZ, hasM, width, out_.parts.back().points);
      case kWkbPolygon: {
        out_.lineOrArea = true;
        const uint32_t rings = Count(little, 4);
        for (uint32_t i = 0; c_.ok && i < rings; ++i) {
          out_.parts.emplace_back();
          out_.parts.back().area = true;
          out_.parts.back().hole = i > 0;
          if (!Points(little, hasZ, hasM, width, out_.parts.back().points)) return false;
        }
        return c_.ok || Fail("the geometry is cut short");
      }
      default: {
        if (base == kWkbMultiLineString || base == kWkbMultiPolygon) out_.lineOrArea = true;
        const uint32_t member = base == kWkbMultiPoint        ? kWkbPoint
                                : base == kWkbMultiLineString ? kWkbLineString
                                : base == kWkbMultiPolygon    ? kWkbPolygon
                                                              : 0;
        const uint32_t n = Count(little, 5);  // a member takes at least its byte order and type
        for (uint32_t i = 0; c_.ok && i < n; ++i)
          if (!Geometry(depth + 1, member)) return false;
        return c_.ok || Fail("the geometry is cut short");
      }
    }
  }

 private:
  bool Fail(const std::string &why) {
    if (error_.empty()) error_ = why;
    c_.ok = false;
    return false;
  }

  // A count of items of at least `least` bytes each: more than the bytes
  // left can hold fails the blob.
  uint32_t Count(bool little, size_t least) {
    const uint32_t n = c_.U32(little);
    if (c_.ok && n > c_.left / least) {
      Fail("a count of " + std::to_string(n) + " is larger than the blob");
      return 0;
    }
    return n;
  }

  bool ReadVertex(bool little, bool hasZ, bool hasM, Vertex &v) {
    v.x = c_.F64(little);
    v.y = c_.F64(little);
    v.z = hasZ ? c_.F64(little) : 0.0;
    if (hasM) c_.F64(little);
    return c_.ok || Fail("the geometry is cut short");
  }

  bool Points(bool little, bool hasZ, bool hasM, size_t width, std::vector<Vertex> &points) {
    const uint32_t n = Count(little, width);
    if (!c_.ok) return Fail("the geometry is cut short");
    points.resize(n);
    for (uint32_t i = 0; i < n; ++i)
      if (!ReadVertex(little, hasZ, hasM, points[i])) return false;
    return true;
  }

  Cursor &c_;
  BlobGeometry &out_;
  std::string &error_;
};

}  // namespace

void BlobEnvelope::Add(const BlobEnvelope &e) {
  if (!e.any) return;
  if (!any) {
    *this = e;
    return;
  }
  minX = std::fmin(minX, e.minX);
  maxX = std::fmax(maxX, e.maxX);
  minY = std::fmin(minY, e.minY);
  maxY = std::fmax(maxY, e.maxY);
}

BlobEnvelope AppendGeometryBlob(std::string &out, int32_t srsId, BlobShape shape,
                                const Vertex *points, size_t count, bool withZ) {
  BlobEnvelope env;
  double minZ = 0, maxZ = 0;
  const size_t used = shape == BlobShape::kPoint && count > 0 ? 1 : count;
  for (size_t i = 0; i < used; ++i) {
    const Vertex &v = points[i];
    if (!env.any) {
      env.any = true;
      env.minX = env.maxX = v.x;
      env.minY = env.maxY = v.y;
      minZ = maxZ = v.z;
    }
    Widen(env.minX, env.maxX, v.x);
    Widen(env.minY, env.maxY, v.y);
    Widen(minZ, maxZ, v.z);
  }
  // Points go without an envelope: it would only repeat them.
  const unsigned envelope =
      shape == BlobShape::kPoint || !env.any ? kEnvelopeNone : (withZ ? kEnvelopeXYZ : kEnvelopeXY);
  const bool close = shape == BlobShape::kPolygon && count > 0 &&
                     (points[0].x != points[count - 1].x || points[0].y != points[count - 1].y ||
                      points[0].z != points[count - 1].z);
  const size_t vertex = withZ ? 24 : 16;
  size_t size = kEnvelopeAt + 8 * kEnvelopeDoubles[envelope] + 1 + 4;  // header, byte order, type
  if (shape == BlobShape::kPoint)
    size += vertex;
  else if (shape == BlobShape::kLineString)
    size += 4 + count * vertex;
  else
    size += 4 + (count > 0 ? 4 + (count + (close ? 1 : 0)) * vertex : 0);
  const size_t start = out.size();
  out.resize(start + size);
  Put put{&out[start]};
  put.Byte('G');
  put.Byte('P');
  put.Byte(0);  // version
  put.Byte(kFlagLittleEndian | (envelope << kFlagEnvelopeShift) | (env.any ? 0u : kFlagEmpty));
  put.U32(static_cast<uint32_t>(srsId));
  if (envelope != kEnvelopeNone) {
    put.F64(env.minX);
    put.F64(env.maxX);
    put.F64(env.minY);
    put.F64(env.maxY);
    if (envelope == kEnvelopeXYZ) {
      put.F64(minZ);
      put.F64(maxZ);
    }
  }
  put.Byte(1);  // little-endian
  const uint32_t z = withZ ? kWkbZ : 0;
  switch (shape) {
    case BlobShape::kPoint: {
      put.U32(kWkbPoint + z);
      const double nan = std::nan("");
      put.Vertex3(count > 0 ? points[0] : Vertex{nan, nan, nan}, withZ);
      break;
    }
    case BlobShape::kLineString:
      put.U32(kWkbLineString + z);
      put.U32(static_cast<uint32_t>(count));
      for (size_t i = 0; i < count; ++i) put.Vertex3(points[i], withZ);
      break;
    case BlobShape::kPolygon:
      put.U32(kWkbPolygon + z);
      put.U32(count > 0 ? 1 : 0);
      if (count == 0) break;
      put.U32(static_cast<uint32_t>(count + (close ? 1 : 0)));
      for (size_t i = 0; i < count; ++i) put.Vertex3(points[i], withZ);
      if (close) put.Vertex3(points[0], withZ);
      break;
  }
  return env;
}

BlobEnvelope WriteGeometryBlob(std::string &out, int32_t srsId, BlobShape shape,
                               const Vertex *points, size_t count, bool withZ) {
  out.clear();
  return AppendGeometryBlob(out, srsId, shape, points, count, withZ);
}

bool ReadGeometryBlob(const unsigned char *blob, size_t size, BlobGeometry &out,
                      std::string &error) {
  out = BlobGeometry();
  error.clear();
  if (blob == nullptr || size < kEnvelopeAt || blob[kMagicAt] != 'G' || blob[kMagicAt + 1] != 'P') {
    error = "not a GeoPackage geometry (no GP header)";
    return false;
  }
  if (blob[kVersionAt] != 0) {
    error = "unknown geometry blob version " + std::to_string(blob[kVersionAt]);
    return false;
  }
  const unsigned flags = blob[kFlagsAt];
  if ((flags & kFlagExtended) != 0) {
    error = "an extended geometry type, not standard well-known binary";
    return false;
  }
  const unsigned envelope = (flags >> kFlagEnvelopeShift) & kFlagEnvelopeMask;
  if (envelope >= sizeof kEnvelopeDoubles / sizeof kEnvelopeDoubles[0]) {
    error = "unknown envelope code " + std::to_string(envelope);
    return false;
  }
  Cursor c{blob + kSrsIdAt, size - kSrsIdAt};
  out.srsId = static_cast<int32_t>(c.U32((flags & kFlagLittleEndian) != 0));
  out.empty = (flags & kFlagEmpty) != 0;
  for (size_t i = 0; i < kEnvelopeDoubles[envelope]; ++i) c.F64(true);
  if (!c.ok) {
    error = "the geometry blob is cut short in its envelope";
    return false;
  }
  WkbReader reader(c, out, error);
  if (!reader.Geometry(0, 0)) {
    if (error.empty()) error = "the geometry is cut short";
    return false;
  }
  return true;
}
