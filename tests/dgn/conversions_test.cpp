// Number conversions of the element format: D-floats, radix-50 names, the
// high-word-first 32-bit order, bounded reads and the unit transforms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "dgn_bytes.h"
#include "dgn_test_util.h"

namespace {

using dgnkit::Bytes;

double FromDFloat(std::array<uint8_t, 8> b) {
  DGNDFloatToDouble(b.data());
  double d;
  std::memcpy(&d, b.data(), 8);  // the test machines are little-endian
  return d;
}

TEST(DFloat, KnownBitPatterns) {
  struct Case {
    const char *label;
    std::array<uint8_t, 8> stored;
    std::array<uint8_t, 8> ieee;
  };
  const Case cases[] = {
      {"one", {0x80, 0x40, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
      {"zero", {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"minus 2.5", {0x20, 0xC1, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0x04, 0xC0}},
      {"15000", {0x6A, 0x47, 0x00, 0x60, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0x4C, 0xCD, 0x40}},
  };
  for (const Case &c : cases) {
    auto bytes = c.stored;
    DGNDFloatToDouble(bytes.data());
    EXPECT_EQ(bytes, c.ieee) << c.label;
  }
}

TEST(DFloat, LowBitsOfTheFractionStaySticky) {
  // 1.0 with the three lowest stored bits set: they cannot be kept in 52 bits,
  // so the last IEEE bit is set instead of silently rounding them away.
  std::array<uint8_t, 8> b = {0x80, 0x40, 0, 0, 0, 0, 0x07, 0x00};
  DGNDFloatToDouble(b.data());
  EXPECT_EQ(b[0], 0x01);
  EXPECT_EQ(b[7], 0x3F);
}

TEST(DFloat, RoundTripsThroughTheBuilderEncoding) {
  const double values[] = {1.0, -1.0, 0.5, 3.25, 1234567.875, -0.001, 1e-30, 1e30, 2000.0 / 3};
  for (double v : values) {
    const double back = FromDFloat(dgnkit::DFloatBytes(v));
    EXPECT_NEAR(back, v, std::fabs(v) * 1e-15) << v;
  }
}

TEST(Rad50, DecodesEveryCharacterClass) {
  struct Case {
    uint16_t word;
    const char *text;
  };
  const Case cases[] = {
      {0, "   "},
      {1, "  A"},
      {1683, "ABC"},  // 1*1600 + 2*40 + 3
      {27 * 1600 + 28 * 40 + 29, "$. "},
      {30 * 1600 + 39 * 40 + 26, "09Z"},
      {39 * 1600 + 39 * 40 + 39, "999"},  // 63999, the largest valid word
  };
  for (const Case &c : cases) {
    char out[4] = {'x', 'x', 'x', 'x'};
    DGNRad50ToAscii(c.word, out);
    EXPECT_STREQ(out, c.text) << c.word;
  }
}

TEST(Rad50, WordsAbove63999EndTheNameAtOnce) {
  char out[4] = {'x', 'x', 'x', 'x'};
  DGNRad50ToAscii(64000, out);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[3], '\0');
}

TEST(DgnBytes, HighWordFirstOrder) {
  const unsigned char raw[] = {0x34, 0x12, 0x78, 0x56, 0xFF, 0xFF, 0xFE, 0xFF};
  const dgnraw::DGNBytes b{raw, 8};
  EXPECT_EQ(b.uint32(0), 0x12345678u);
  EXPECT_EQ(b.int32(4), -2);
  EXPECT_EQ(b.le32(0), 0x56781234u);
  EXPECT_EQ(b.word(0), 0x1234u);

  unsigned char out[4];
  dgnraw::put_int32(out, 0x12345678u);
  EXPECT_EQ(0, std::memcmp(out, raw, 4));
}

TEST(DgnBytes, FieldsPastTheEndReadAsZero) {
  const unsigned char raw[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const dgnraw::DGNBytes b{raw, 6};  // only six bytes belong to the element
  EXPECT_EQ(b.byte(5), 6u);
  EXPECT_EQ(b.byte(6), 0u);
  EXPECT_EQ(b.byte(-1), 0u);
  EXPECT_EQ(b.word(4), 0x0605u);
  EXPECT_EQ(b.word(5), 0u);  // straddles the end
  EXPECT_EQ(b.uint32(3), 0u);
  EXPECT_EQ(b.dfloat(0), 0.0);
  EXPECT_EQ(b.text_length(2), 4);  // no terminator: stops at the end
  unsigned char copy[4] = {9, 9, 9, 9};
  b.copy(4, 4, copy);
  EXPECT_EQ(copy[0], 5);
  EXPECT_EQ(copy[2], 0);
  EXPECT_EQ(copy[3], 0);
}

TEST(Transform, AppliesScaleAndOrigin) {
  DGNFile handle{};
  handle.scale = 1.0;
  handle.origin_x = 100;
  handle.origin_y = 200;
  DGNPoint p{150, 250, 0};
  DGNTransformPoint(&handle, &p);
  EXPECT_DOUBLE_EQ(p.x, 50);
  EXPECT_DOUBLE_EQ(p.y, 50);
  EXPECT_DOUBLE_EQ(p.z, 0);

  handle.scale = 0.001;
  handle.origin_z = 5;
  p = DGNPoint{1000, -2000, 0};
  DGNTransformPoint(&handle, &p);
  EXPECT_DOUBLE_EQ(p.x, 1 - 100);
  EXPECT_DOUBLE_EQ(p.y, -2 - 200);
  EXPECT_DOUBLE_EQ(p.z, -5);  // 2D points carry 0 * scale - origin z
}

TEST(Transform, InverseClampsToStoredRange) {
  DGNFile handle{};
  handle.scale = 0.001;
  DGNPoint p{3000000, -3000000, 1.0};
  DGNInverseTransformPoint(&handle, &p);
  EXPECT_EQ(p.x, 2147483647.0);
  EXPECT_EQ(p.y, -2147483647.0);
  EXPECT_NEAR(p.z, 1000.0, 1e-9);

  p = DGNPoint{NAN, 0, 0};
  DGNInverseTransformPoint(&handle, &p);
  EXPECT_EQ(p.x, 0.0);  // never a value that cannot be stored
}

}  // namespace
