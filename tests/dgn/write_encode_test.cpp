// Encoding of new elements: stored reals, design coordinates, range blocks,
// header fields and whole multi-point elements, checked byte by byte.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cpl_conv.h"
#include "dgn_internal.h"
#include "dgn_test_util.h"
#include "dgnmodel.h"

namespace {

using dgnkit::ErrorCapture;

// A handle with no file behind it: enough for the encoders, which read only
// the units, the origin and the dimension.
struct Units {
  int dimension = 2;
  double scale = 1.0;
  double origin[3] = {0, 0, 0};
};

struct FakeHandle {
  explicit FakeHandle(const Units &u = {}) {
    h = static_cast<DGNFile *>(CPLCalloc(1, static_cast<int>(sizeof(DGNFile))));
    h->got_tcb = 1;  // so that DGNLoadTCB() does not look for a file
    h->dimension = u.dimension;
    h->scale = u.scale;
    h->origin_x = u.origin[0];
    h->origin_y = u.origin[1];
    h->origin_z = u.origin[2];
  }
  ~FakeHandle() { DGNClose(h); }
  FakeHandle(const FakeHandle &) = delete;
  FakeHandle &operator=(const FakeHandle &) = delete;
  DGNFile *h;
};

std::string Hex(const unsigned char *p, int n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::string DFloatHex(double value) {
  unsigned char b[8];
  std::memcpy(b, &value, 8);
  DGNDoubleToDFloat(b);
  return Hex(b, 8);
}

struct MultiPointDeleter {
  void operator()(DGNMultiPointElement *e) const { DGNFreeElement(nullptr, e); }
};
using MultiPointPtr = std::unique_ptr<DGNMultiPointElement, MultiPointDeleter>;

TEST(WriteDFloat, KnownValues) {
  const struct {
    const char *label;
    double value;
    const char *bytes;
  } cases[] = {
      {"one", 1.0, "80 40 00 00 00 00 00 00"},
      {"minus two and a half", -2.5, "20 C1 00 00 00 00 00 00"},
      {"zero", 0.0, "00 00 00 00 00 00 00 00"},
      {"negative zero", -0.0, "00 80 00 00 00 00 00 00"},
      {"below 2^-128", std::ldexp(1.0, -130), "00 00 00 00 00 00 00 00"},
      {"denormal", std::numeric_limits<double>::denorm_min(), "00 00 00 00 00 00 00 00"},
      {"too large", 1e39, "FF 7F FF FF FF FF FF FF"},
      {"too large, negative", -1e39, "FF FF FF FF FF FF FF FF"},
      {"infinity", std::numeric_limits<double>::infinity(), "FF 7F FF FF FF FF FF FF"},
      {"origin 15000 design units", 15000.0, "6A 47 00 60 00 00 00 00"},
  };
  for (const auto &c : cases) EXPECT_EQ(DFloatHex(c.value), c.bytes) << c.label;
}

TEST(WriteDFloat, RoundTripsThroughTheReader) {
  // A D-float has more fraction bits than a double: every double in its
  // exponent range comes back exactly.
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> mantissa(0.5, 1.0);
  std::uniform_int_distribution<int> exponent(-120, 120);
  for (int i = 0; i < 2000; ++i) {
    const double value = std::ldexp(i % 2 ? -mantissa(rng) : mantissa(rng), exponent(rng));
    unsigned char b[8];
    std::memcpy(b, &value, 8);
    DGNDoubleToDFloat(b);
    DGNDFloatToDouble(b);
    double back;
    std::memcpy(&back, b, 8);
    ASSERT_EQ(back, value) << "value " << value;
  }
}

TEST(WriteRawPoint, ScaledClampedWholeOrTruncated) {
  Units u;
  u.scale = 0.001;  // 1000 design units per master unit
  FakeHandle f(u);
  const struct {
    const char *label;
    double x;
    const char *bytes;
  } cases[] = {
      {"1.0 is 1000", 1.0, "00 00 E8 03"},
      {"-2.7 design units truncate to -2", -0.0027, "FF FF FE FF"},
      // 1.001 / 0.001 is 1000.9999999999999: a whole number, not 1000.
      {"1.001 is 1001", 1.001, "00 00 E9 03"},
      {"-1.001 is -1001", -1.001, "FF FF 17 FC"},
      {"1000.99999 design units truncate to 1000", 1.00099999, "00 00 E8 03"},
      {"3e9 clamps to the top", 3000000.0, "FF 7F FF FF"},
      {"-3e9 clamps to -2147483647, not -2^31", -3000000.0, "00 80 01 00"},
      {"not a number is 0", std::nan(""), "00 00 00 00"},
      {"infinity clamps", std::numeric_limits<double>::infinity(), "FF 7F FF FF"},
  };
  for (const auto &c : cases) {
    unsigned char out[12];
    std::memset(out, 0xAA, sizeof out);
    const DGNPoint p{c.x, 0.0, 5.0};
    DGNWriteRawPoint(f.h, &p, out);
    EXPECT_EQ(Hex(out, 4), c.bytes) << c.label;
    // A 2D file stores no z: the bytes after x and y stay untouched.
    EXPECT_EQ(Hex(out + 8, 4), "AA AA AA AA") << c.label;
  }
}

// The stored coordinate is the design value snapped to a whole number within
// the tolerance and truncated: the quick form must give that for every value,
// above all at the edges of the tolerance, at halves and at the plane's edge.
TEST(WriteRawPoint, StoredDesignAgreesWithSnapAndTruncate) {
  using dgninternal::SnapToWhole;
  using dgninternal::StoredDesign;
  const double tol = dgninternal::kWholeDesignTolerance;
  const double top = 2147483647.0;
  std::vector<double> values = {0.0,       -0.0,       0.5,       -0.5,       1.5,
                                -2.5,      1e-7,       -1e-7,     top,        -top,
                                top - 0.5, -top + 0.5, top - tol, -top + tol, 28.999999999999996};
  for (const double whole : {0.0, 1.0, 7.0, 1000.0, 65535.0, 1e6, 123456789.0, 2e9}) {
    for (const double sign : {1.0, -1.0}) {
      for (const double off : {tol, -tol, 2 * tol, -2 * tol, 0.5, -0.5}) {
        const double v = sign * whole + off;
        values.push_back(v);
        values.push_back(std::nextafter(v, 0.0));
        values.push_back(std::nextafter(v, 1e10));
        values.push_back(std::nextafter(v, -1e10));
      }
    }
  }
  std::mt19937_64 rng(19);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (int i = 0; i < 200000; ++i) {
    const double whole = std::round(unit(rng) * std::pow(2.0, 1 + i % 30));
    values.push_back(whole + unit(rng) * (i % 2 ? 1e-5 : 1.0));
  }
  int differing = 0;
  for (const double v : values) {
    if (!(v >= -top && v <= top)) continue;  // ClampDesign keeps every value within
    const int32_t slow = static_cast<int32_t>(SnapToWhole(v));
    if (StoredDesign(v) != slow && ++differing <= 5)
      ADD_FAILURE() << "design value " << v << ": " << StoredDesign(v) << " instead of " << slow;
  }
  EXPECT_EQ(differing, 0);
}

TEST(WriteRawPoint, OriginIsAddedAndZWrittenIn3D) {
  Units u;
  u.dimension = 3;
  u.scale = 0.5;
  u.origin[0] = 10;
  u.origin[1] = -10;
  u.origin[2] = 1;
  FakeHandle f(u);
  unsigned char out[12];
  const DGNPoint p{0.0, 10.5, 2.0};
  DGNWriteRawPoint(f.h, &p, out);
  // (0 + 10) / 0.5 = 20; (10.5 - 10) / 0.5 = 1; (2 + 1) / 0.5 = 6
  EXPECT_EQ(Hex(out, 12), "00 00 14 00 00 00 01 00 00 00 06 00");
}

TEST(WriteRange, TopBitInvertedAndZeroZIn2D) {
  FakeHandle f;
  DGNElement e{};
  unsigned char raw[40];
  std::memset(raw, 0x55, sizeof raw);  // stale bytes must not leak into the range
  e.raw_data = raw;
  e.raw_bytes = sizeof raw;
  const DGNPoint low{0.0, -1.0, 7.0};
  const DGNPoint high{65536.0, 2.0, 9.0};
  DGNStoreRange(f.h, &e, &low, &high);
  EXPECT_EQ(Hex(raw + 4, 4), "00 80 00 00") << "low x 0";
  EXPECT_EQ(Hex(raw + 8, 4), "FF 7F FF FF") << "low y -1";
  EXPECT_EQ(Hex(raw + 12, 4), "00 80 00 00") << "low z of a 2D file";
  EXPECT_EQ(Hex(raw + 16, 4), "01 80 00 00") << "high x 65536";
  EXPECT_EQ(Hex(raw + 24, 4), "00 80 00 00") << "high z of a 2D file";
  EXPECT_EQ(raw[28], 0x55) << "nothing past the range block";
}

TEST(WriteMultiPoint, ThreePointLineStringBytes) {
  FakeHandle f;
  const DGNPoint pts[3] = {{1, 2, 0}, {-3, 4, 0}, {5, -6, 0}};
  MultiPointPtr e(DGNCreateMultiPointElem(f.h, DGNTYPE_LINE_STRING, 3, pts));
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(e->raw_bytes, 62);
  const unsigned char *r = e->raw_data;
  EXPECT_EQ(Hex(r, 4), "00 04 1D 00") << "level 0, type 4, 29 words to follow";
  EXPECT_EQ(Hex(r + 30, 2), "0F 00") << "attribute index";
  EXPECT_EQ(Hex(r + 36, 2), "03 00") << "vertex count";
  EXPECT_EQ(Hex(r + 38, 8), "00 00 01 00 00 00 02 00");
  EXPECT_EQ(Hex(r + 46, 8), "FF FF FD FF 00 00 04 00");
  EXPECT_EQ(Hex(r + 54, 8), "00 00 05 00 FF FF FA FF");
  // Range: low (-3, -6), high (5, 4), z 0.
  EXPECT_EQ(Hex(r + 4, 24),
            "FF 7F FD FF FF 7F FA FF 00 80 00 00 00 80 05 00 00 80 04 00 00 80 00 00");
  EXPECT_EQ(Hex(r + 28, 2), "00 00");
  EXPECT_EQ(Hex(r + 32, 4), "00 00 00 00");
  EXPECT_EQ(e->offset, -1);
  EXPECT_EQ(e->element_id, -1);
  EXPECT_EQ(e->kind, DGNKIND_MULTIPOINT);
  EXPECT_EQ(e->num_vertices, 3);
  EXPECT_EQ(e->vertices[2].y, -6.0);
}

// A vertex that is not a number is left out of the range wherever it stands
// (it is stored as 0 itself); the range of the rest is the box of the rest.
TEST(WriteMultiPoint, RangeSkipsCoordinatesThatAreNotNumbers) {
  Units u;
  u.dimension = 3;
  FakeHandle f(u);
  const double nan = std::nan("");
  struct Case {
    const char *label;
    std::vector<DGNPoint> points;
    DGNPoint low, high;
  };
  const Case cases[] = {
      {"first x", {{nan, 2, 3}, {-4, 5, -6}, {7, -8, 9}}, {-4, -8, -6}, {7, 5, 9}},
      {"middle y", {{1, 2, 3}, {-4, nan, -6}, {7, -8, 9}}, {-4, -8, -6}, {7, 2, 9}},
      {"last z", {{1, 2, 3}, {-4, 5, -6}, {7, -8, nan}}, {-4, -8, -6}, {7, 5, 3}},
      {"all z", {{1, 2, nan}, {-4, 5, nan}}, {-4, 2, nan}, {1, 5, nan}},
  };
  for (const Case &c : cases) {
    MultiPointPtr e(DGNCreateMultiPointElem(f.h, DGNTYPE_LINE_STRING,
                                            static_cast<int>(c.points.size()), c.points.data()));
    ASSERT_NE(e, nullptr) << c.label;
    unsigned char expect[40] = {};
    DGNElement box{};
    box.raw_data = expect;
    box.raw_bytes = sizeof expect;
    DGNStoreRange(f.h, &box, &c.low, &c.high);
    EXPECT_EQ(Hex(e->raw_data + 4, 24), Hex(expect + 4, 24)) << c.label;
  }
}

TEST(WriteMultiPoint, LineHasNoCountAndVerticesAt36) {
  for (int dim : {2, 3}) {
    Units u;
    u.dimension = dim;
    FakeHandle f(u);
    const DGNPoint pts[2] = {{1, 2, 3}, {4, 5, 6}};
    MultiPointPtr e(DGNCreateMultiPointElem(f.h, DGNTYPE_LINE, 2, pts));
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(e->raw_bytes, dim == 2 ? 52 : 60);
    EXPECT_EQ(Hex(e->raw_data + 36, 4), "00 00 01 00");
    EXPECT_EQ(Hex(e->raw_data + 36 + 4 * dim, 4), "00 00 04 00");
    if (dim == 3) {
      EXPECT_EQ(Hex(e->raw_data + 56, 4), "00 00 06 00");
      EXPECT_EQ(Hex(e->raw_data + 24, 4), "00 80 06 00") << "high z";
    }
  }
}

TEST(WriteMultiPoint, SizeLimitsAndBadCounts) {
  std::vector<DGNPoint> pts(100, DGNPoint{1, 1, 1});
  const struct {
    const char *label;
    int dimension;
    int type;
    int count;
    bool null_points;
    int raw_bytes;  // 0: refused
    const char *message;
  } cases[] = {
      {"59 points in 2D", 2, DGNTYPE_LINE_STRING, 59, false, 510, nullptr},
      {"60 points in 2D", 2, DGNTYPE_LINE_STRING, 60, false, 0,
       "Attempt to create Line String element with 60 points failed.\nElement would be too "
       "large."},
      {"39 points in 3D", 3, DGNTYPE_SHAPE, 39, false, 506, nullptr},
      {"40 points in 3D", 3, DGNTYPE_SHAPE, 40, false, 0,
       "Attempt to create Shape element with 40 points failed.\nElement would be too large."},
      {"a huge count does not overflow", 2, DGNTYPE_LINE_STRING, 0x7FFFFFFF, false, 0, nullptr},
      {"one point", 2, DGNTYPE_LINE_STRING, 1, false, 46, nullptr},
      {"no point", 2, DGNTYPE_LINE_STRING, 0, false, 0, nullptr},
      {"negative count", 2, DGNTYPE_SHAPE, -5, false, 0, nullptr},
      {"null points", 2, DGNTYPE_LINE_STRING, 3, true, 0, nullptr},
      {"line of one point", 2, DGNTYPE_LINE, 1, false, 0, nullptr},
      {"line of three points", 2, DGNTYPE_LINE, 3, false, 0, nullptr},
      {"not a multi-point type", 2, DGNTYPE_TEXT, 3, false, 0, nullptr},
  };
  for (const auto &c : cases) {
    Units u;
    u.dimension = c.dimension;
    FakeHandle f(u);
    ErrorCapture errors;
    MultiPointPtr e(
        DGNCreateMultiPointElem(f.h, c.type, c.count, c.null_points ? nullptr : pts.data()));
    if (c.raw_bytes != 0) {
      ASSERT_NE(e, nullptr) << c.label;
      EXPECT_EQ(e->raw_bytes, c.raw_bytes) << c.label;
      EXPECT_EQ(errors.reports().size(), 0u) << c.label;
    } else {
      EXPECT_EQ(e, nullptr) << c.label;
      ASSERT_EQ(errors.reports().size(), 1u) << c.label;
      EXPECT_EQ(errors.reports()[0].cls, CPLClassFailure) << c.label;
      EXPECT_EQ(errors.reports()[0].num, CPLNumGeneral) << c.label;
      if (c.message) {
        EXPECT_EQ(errors.reports()[0].text, c.message) << c.label;
      }
    }
  }
}

TEST(WriteElemCore, FieldsStoreOnlyTheirOwnBits) {
  const struct {
    const char *label;
    int level, graphic_group, color, weight, style;
    const char *byte0;       // level byte
    const char *bytes28_35;  // display header
  } cases[] = {
      {"weight 2, style 1, colour 3", 5, 0, 3, 2, 1, "05", "00 00 0F 00 00 00 11 03"},
      {"level 64 does not set the complex bit", 64, 0, 0, 0, 0, "00", "00 00 0F 00 00 00 00 00"},
      {"level 191 keeps to bits 0-5", 191, 0, 0, 0, 0, "3F", "00 00 0F 00 00 00 00 00"},
      {"style 9 does not reach the weight", 1, 0, 0, 0, 9, "01", "00 00 0F 00 00 00 01 00"},
      {"weight 33 keeps to 5 bits", 1, 0, 0, 33, 0, "01", "00 00 0F 00 00 00 08 00"},
      {"colour 261 keeps to 8 bits", 1, 0, 261, 0, 0, "01", "00 00 0F 00 00 00 00 05"},
      {"graphic group 0x12345", 1, 0x12345, 0, 31, 7, "01", "45 23 0F 00 00 00 FF 00"},
      {"negative values", -1, 0, -1, -1, -1, "3F", "00 00 0F 00 00 00 FF FF"},
  };
  for (const auto &c : cases) {
    FakeHandle f;
    const DGNPoint pts[3] = {{0, 0, 0}, {1, 1, 0}, {2, 0, 0}};
    MultiPointPtr e(DGNCreateMultiPointElem(f.h, DGNTYPE_LINE_STRING, 3, pts));
    ASSERT_NE(e, nullptr);
    ASSERT_TRUE(
        DGNUpdateElemCore(f.h, e.get(), c.level, c.graphic_group, c.color, c.weight, c.style))
        << c.label;
    EXPECT_EQ(Hex(e->raw_data, 1), c.byte0) << c.label;
    EXPECT_EQ(e->raw_data[1], DGNTYPE_LINE_STRING) << c.label;
    EXPECT_EQ(Hex(e->raw_data + 28, 8), c.bytes28_35) << c.label;
  }
}

TEST(WriteElemCore, HeaderBitsAndBodiesWithoutDisplayHeader) {
  FakeHandle f;
  // A type without a display header: bytes 28-35 belong to its body.
  unsigned char raw[40];
  std::memset(raw, 0, sizeof raw);
  raw[0] = 0x48;  // bit 6 of the level byte is nobody's field and is kept
  raw[34] = 0x77;
  DGNElement e{};
  e.raw_data = raw;
  e.raw_bytes = sizeof raw;
  e.type = DGNTYPE_LEVEL_SYMBOLOGY;
  e.level = 2;
  e.complex = 0x80;
  e.deleted = 0x80;
  e.color = 9;
  ASSERT_TRUE(DGNStoreElemCore(f.h, &e));
  EXPECT_EQ(Hex(raw, 4), "C2 8A 12 00");
  EXPECT_EQ(Hex(raw + 28, 8), "00 00 00 00 00 00 77 00") << "body untouched";

  // Refused: no raw bytes, fewer than 36, an odd count.
  DGNElement none{};
  none.type = DGNTYPE_LINE_STRING;
  EXPECT_FALSE(DGNStoreElemCore(f.h, &none));
  e.raw_bytes = 34;
  EXPECT_FALSE(DGNStoreElemCore(f.h, &e));
  e.raw_bytes = 37;
  EXPECT_FALSE(DGNStoreElemCore(f.h, &e));
  EXPECT_FALSE(DGNStoreElemCore(f.h, nullptr));
}

TEST(WriteElemCore, ExactlyThirtySixBytesGetNoDisplayFields) {
  FakeHandle f;
  unsigned char raw[36];
  std::memset(raw, 0, sizeof raw);
  DGNElement e{};
  e.raw_data = raw;
  e.raw_bytes = 36;
  e.type = DGNTYPE_LINE_STRING;
  e.color = 5;
  ASSERT_TRUE(DGNStoreElemCore(f.h, &e));
  EXPECT_EQ(Hex(raw + 28, 8), "00 00 02 00 00 00 00 00");
}

TEST(WriteElemCore, ClearReleasesOwnedBytes) {
  FakeHandle f;
  auto *e = static_cast<DGNElement *>(CPLCalloc(1, sizeof(DGNElement)));
  e->raw_data = static_cast<unsigned char *>(CPLMalloc(40));
  e->raw_bytes = 40;
  e->attr_data = static_cast<unsigned char *>(CPLMalloc(8));
  e->attr_bytes = 8;
  e->level = 3;
  DGNClearElemCore(f.h, e);  // the sanitizer build sees a leak if the blocks are dropped
  EXPECT_EQ(e->raw_data, nullptr);
  EXPECT_EQ(e->raw_bytes, 0);
  EXPECT_EQ(e->attr_data, nullptr);
  EXPECT_EQ(e->level, 0);
  EXPECT_EQ(e->offset, -1);
  EXPECT_EQ(e->element_id, -1);
  DGNFreeElement(f.h, e);
}

}  // namespace
