// dgnhost's GeoPackage geometry blobs: what the writer makes reads back as
// it was, and hostile blobs (cut short, counts beyond the blob, unknown
// types, nesting without end) are refused with a reason, never read past.
// The R-tree's boxes come back in one order, near ones together, however
// many wait in scratch files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dgnhost_gpkgblob.h"
#include "dgnhost_gpkgtree.h"

namespace {

// Bytes of a blob, built little-endian unless asked otherwise.
struct B {
  std::string s;
  B &u8(unsigned v) {
    s += static_cast<char>(v);
    return *this;
  }
  B &u32(uint32_t v, bool big = false) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * (big ? 3 - i : i))) & 0xFF);
    return *this;
  }
  B &f64(double d, bool big = false) {
    uint64_t v;
    std::memcpy(&v, &d, 8);
    for (int i = 0; i < 8; ++i) s += static_cast<char>((v >> (8 * (big ? 7 - i : i))) & 0xFF);
    return *this;
  }
  B &pt(double x, double y) { return f64(x).f64(y); }
  // The blob header without envelope, SRS -1.
  static B Head(unsigned flags = 0x01) {
    return B().u8('G').u8('P').u8(0).u8(flags).u32(0xFFFFFFFF);
  }
};

bool Read(const std::string &bytes, BlobGeometry &g, std::string &error) {
  return ReadGeometryBlob(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), g,
                          error);
}

B Nested(int depth) {
  B b = B::Head();
  for (int i = 0; i < depth; ++i) b.u8(1).u32(7).u32(1);
  return b.u8(1).u32(1).pt(0, 0);
}

TEST(GpkgBlob, HostileBlobsAreRefusedWithTheirReason) {
  struct Case {
    const char *label;
    std::string bytes;
    const char *error;
  } cases[] = {
      {"shorter than a header", "GP\0", "no GP header"},
      {"wrong magic", B().u8('G').u8('Q').u8(0).u8(1).u32(0).u8(1).u32(1).pt(0, 0).s,
       "no GP header"},
      {"version 1", B().u8('G').u8('P').u8(1).u8(1).u32(0).s, "version"},
      {"extended geometry", B::Head(0x21).u8(1).u32(1).pt(0, 0).s, "extended"},
      {"envelope code 5", B::Head(0x0B).s, "envelope code"},
      {"envelope cut short", B::Head(0x03).f64(0).f64(1).s, "envelope"},
      {"byte order 2", B::Head().u8(2).u32(1).pt(0, 0).s, "byte order"},
      {"type 8", B::Head().u8(1).u32(8).s, "unknown geometry type"},
      {"type 4002", B::Head().u8(1).u32(4002).s, "unknown geometry type"},
      {"type cut short", B::Head().u8(1).u8(2).u8(0).s, "cut short"},
      {"point cut short", B::Head().u8(1).u32(1).f64(1).s, "cut short"},
      {"vertex count beyond the blob", B::Head().u8(1).u32(2).u32(0xFFFFFFFF).pt(0, 0).s, "count"},
      {"vertices cut short", B::Head().u8(1).u32(2).u32(2).pt(0, 0).s, "count"},
      {"ring count beyond the blob", B::Head().u8(1).u32(3).u32(0x7FFFFFFF).s, "count"},
      {"member count beyond the blob", B::Head().u8(1).u32(6).u32(1000).u8(1).s, "count"},
      {"multi-line holding a point", B::Head().u8(1).u32(5).u32(1).u8(1).u32(1).pt(0, 0).s,
       "another type"},
      {"collections without end", Nested(40).s, "nested"},
  };
  for (const Case &c : cases) {
    BlobGeometry g;
    std::string error;
    EXPECT_FALSE(Read(c.bytes, g, error)) << c.label;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.label << ": " << error;
  }
}

TEST(GpkgBlob, WellKnownBinaryOfEveryFormReads) {
  const double nan = std::nan("");
  struct Case {
    const char *label;
    std::string bytes;
    size_t parts, holes, points;  // lines and rings, holes among them, points
    double lastX, lastZ;          // of the last vertex of the last part (or point)
  } cases[] = {
      {"line", B::Head().u8(1).u32(2).u32(2).pt(0, 0).pt(3, 4).s, 1, 0, 0, 3, 0},
      {"line big-endian",
       B::Head(0x00)
           .u8(0)
           .u32(2, true)
           .u32(2, true)
           .f64(0, true)
           .f64(0, true)
           .f64(5, true)
           .f64(6, true)
           .s,
       1, 0, 0, 5, 0},
      {"line with z", B::Head().u8(1).u32(1002).u32(1).f64(1).f64(2).f64(7).s, 1, 0, 0, 1, 7},
      {"line with m (dropped)", B::Head().u8(1).u32(2002).u32(1).f64(1).f64(2).f64(9).s, 1, 0, 0, 1,
       0},
      {"line with z and m", B::Head().u8(1).u32(3002).u32(1).f64(1).f64(2).f64(3).f64(9).s, 1, 0, 0,
       1, 3},
      {"polygon with a hole, xy envelope",
       B::Head(0x03)
           .f64(0)
           .f64(9)
           .f64(0)
           .f64(9)
           .u8(1)
           .u32(3)
           .u32(2)
           .u32(4)
           .pt(0, 0)
           .pt(9, 0)
           .pt(9, 9)
           .pt(0, 0)
           .u32(4)
           .pt(1, 1)
           .pt(2, 1)
           .pt(2, 2)
           .pt(1, 1)
           .s,
       2, 1, 0, 1, 0},
      {"two polygons",
       B::Head()
           .u8(1)
           .u32(6)
           .u32(2)
           .u8(1)
           .u32(3)
           .u32(1)
           .u32(1)
           .pt(0, 0)
           .u8(1)
           .u32(3)
           .u32(1)
           .u32(1)
           .pt(8, 0)
           .s,
       2, 0, 0, 8, 0},
      {"point", B::Head().u8(1).u32(1).pt(4, 5).s, 0, 0, 1, 4, 0},
      {"empty point", B::Head(0x11).u8(1).u32(1).pt(nan, nan).s, 0, 0, 0, 0, 0},
      {"collection of a point and a line",
       B::Head().u8(1).u32(7).u32(2).u8(1).u32(1).pt(1, 1).u8(1).u32(2).u32(1).pt(6, 6).s, 1, 0, 1,
       6, 0},
      {"collections 16 deep", Nested(16).s, 0, 0, 1, 0, 0},
  };
  for (const Case &c : cases) {
    BlobGeometry g;
    std::string error;
    ASSERT_TRUE(Read(c.bytes, g, error)) << c.label << ": " << error;
    EXPECT_EQ(g.parts.size(), c.parts) << c.label;
    EXPECT_EQ(g.points.size(), c.points) << c.label;
    size_t holes = 0;
    for (const BlobPart &p : g.parts) holes += p.hole ? 1 : 0;
    EXPECT_EQ(holes, c.holes) << c.label;
    if (!g.parts.empty()) {
      EXPECT_EQ(g.parts.back().points.back().x, c.lastX) << c.label;
      EXPECT_EQ(g.parts.back().points.back().z, c.lastZ) << c.label;
    } else if (!g.points.empty()) {
      EXPECT_EQ(g.points.back().x, c.lastX) << c.label;
    }
  }
}

TEST(GpkgBlob, WrittenBlobsReadBackAndNoPrefixDoes) {
  const Vertex pts[] = {{1, 2, 3}, {4, -6, 5}, {-2, 8, 1}};
  struct Case {
    BlobShape shape;
    bool withZ;
    size_t vertices;    // read back in the one part (the ring closed)
    unsigned envelope;  // the envelope code in the flags
  } cases[] = {
      {BlobShape::kLineString, false, 3, 1}, {BlobShape::kLineString, true, 3, 2},
      {BlobShape::kPolygon, false, 4, 1},    {BlobShape::kPolygon, true, 4, 2},
      {BlobShape::kPoint, false, 0, 0},      {BlobShape::kPoint, true, 0, 0},
  };
  for (const Case &c : cases) {
    std::string blob;
    const BlobEnvelope env = WriteGeometryBlob(blob, 7, c.shape, pts, 3, c.withZ);
    const std::string label = std::to_string(static_cast<int>(c.shape)) + (c.withZ ? " z" : "");
    ASSERT_GE(blob.size(), 8u);
    EXPECT_EQ((static_cast<unsigned char>(blob[3]) >> 1) & 7, c.envelope) << label;
    if (c.shape != BlobShape::kPoint) {
      EXPECT_EQ(env.minX, -2);
      EXPECT_EQ(env.maxY, 8);
    }
    BlobGeometry g;
    std::string error;
    ASSERT_TRUE(Read(blob, g, error)) << label << ": " << error;
    EXPECT_EQ(g.srsId, 7) << label;
    if (c.shape == BlobShape::kPoint) {
      ASSERT_EQ(g.points.size(), 1u) << label;
      EXPECT_EQ(g.points[0].z, c.withZ ? 3 : 0) << label;
    } else {
      ASSERT_EQ(g.parts.size(), 1u) << label;
      EXPECT_EQ(g.parts[0].points.size(), c.vertices) << label;
      EXPECT_EQ(g.parts[0].area, c.shape == BlobShape::kPolygon) << label;
      EXPECT_EQ(g.parts[0].points[1].z, c.withZ ? 5 : 0) << label;
    }
    for (size_t n = 0; n < blob.size(); ++n)
      EXPECT_FALSE(Read(blob.substr(0, n), g, error)) << label << " cut to " << n;
  }
}

TEST(GpkgTree, BoxesComeBackInOneOrderNearOnesTogether) {
  // Boxes scattered at random (a few on one spot, one around all), some ids left out.
  std::vector<RtreeCell> in;
  uint32_t seed = 12345;
  auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 8 & 0xFFFF; };
  for (uint32_t id = 1; id <= 5000; ++id) {
    if (id % 11 == 0) continue;
    const float x = id % 97 == 0 ? 5.0f : static_cast<float>(next()) * 3.0f - 9000.0f;
    const float y = id % 97 == 0 ? 5.0f : static_cast<float>(next()) - 30000.0f;
    RtreeCell c;
    c.id = id;
    c.box[0] = id == 17 ? -1e30f : x;  // around all the others
    c.box[1] = id == 17 ? 1e30f : x + static_cast<float>(next() % 50);
    c.box[2] = y;
    c.box[3] = y + static_cast<float>(next() % 50);
    in.push_back(c);
  }
  auto pathLength = [](const std::vector<RtreeCell> &cells) {
    double sum = 0;
    for (size_t i = 1; i < cells.size(); ++i)
      if (cells[i].id != 17 && cells[i - 1].id != 17)
        sum += std::hypot(cells[i].box[0] - cells[i - 1].box[0],
                          cells[i].box[2] - cells[i - 1].box[2]);
    return sum;
  };
  std::vector<RtreeCell> first;
  // All in memory, then runs of 4096, 7 and 1 boxes merged from scratch files.
  for (size_t chunk : {size_t{100000}, size_t{4096}, size_t{7}, size_t{1}}) {
    SCOPED_TRACE(chunk);
    std::vector<FILE *> files;
    HilbertBoxes boxes(chunk, [&] {
      files.push_back(std::tmpfile());
      return files.back();
    });
    for (const RtreeCell &c : in) boxes.Add(static_cast<uint32_t>(c.id), c.box);
    ASSERT_TRUE(boxes.Sort());
    EXPECT_EQ(files.size(), chunk >= in.size() ? 0u : 2u);
    std::vector<RtreeCell> out;
    RtreeCell c;
    while (boxes.Next(c)) out.push_back(c);
    EXPECT_FALSE(boxes.Failed());
    for (FILE *f : files) std::fclose(f);
    ASSERT_EQ(out.size(), in.size());
    if (first.empty()) {
      first = out;
      // Every box once, as it went in; and the curve keeps neighbours
      // together: its path is a small part of the one in the ids' order.
      std::vector<RtreeCell> byId = out;
      std::sort(byId.begin(), byId.end(),
                [](const RtreeCell &a, const RtreeCell &b) { return a.id < b.id; });
      for (size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(byId[i].id, in[i].id);
        EXPECT_EQ(std::memcmp(byId[i].box, in[i].box, sizeof in[i].box), 0) << in[i].id;
      }
      EXPECT_LT(pathLength(out) * 20, pathLength(in));
    }
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i].id, first[i].id) << "at " << i;
  }
  // No scratch file to be had: the sort says so.
  HilbertBoxes boxes(7, [] { return static_cast<FILE *>(nullptr); });
  for (const RtreeCell &c : in) boxes.Add(static_cast<uint32_t>(c.id), c.box);
  EXPECT_FALSE(boxes.Sort());
}

}  // namespace
