// Colour lookups and element type names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "dgn_test_util.h"

namespace {

TEST(DefaultColors, SpotChecksOfTheBuiltInTable) {
  struct Case {
    int index;
    uint32_t rgb;
  };
  const Case cases[] = {{0, 0xFFFFFF},   {1, 0x0000FF},   {3, 0xFF0000},   {6, 0xFF7F00},
                        {15, 0x00F0F0},  {16, 0xF0F0F0},  {31, 0x00E1E1},  {70, 0xC36B00},
                        {143, 0x007878}, {246, 0x1E3400}, {253, 0x1E001E}, {254, 0xC0C0C0},
                        {255, 0x1C0064}};
  for (const Case &c : cases) {
    int r = -1, g = -1, b = -1;
    ASSERT_TRUE(DGNLookupColor(nullptr, c.index, &r, &g, &b));
    EXPECT_EQ(static_cast<uint32_t>(r << 16 | g << 8 | b), c.rgb) << c.index;
  }
}

TEST(LookupColor, RangeAndOutputs) {
  DGNFile handle{};
  int r = 7, g = 7, b = 7;
  EXPECT_FALSE(DGNLookupColor(&handle, 256, &r, &g, &b));
  EXPECT_FALSE(DGNLookupColor(&handle, -1, &r, &g, &b));
  EXPECT_EQ(r, 7);
  EXPECT_EQ(g, 7);
  EXPECT_EQ(b, 7);
  ASSERT_TRUE(DGNLookupColor(&handle, 0, &r, &g, &b));
  EXPECT_EQ(r, 255);
  EXPECT_EQ(g, 255);
  EXPECT_EQ(b, 255);
}

TEST(NearestColor, DefaultTable) {
  DGNFile handle{};
  struct Case {
    int32_t host;  // red bits 0-7, green 8-15, blue 16-23
    int index;
  };
  const Case cases[] = {
      {0xFFFFFF, 0},
      {0x0000FF, 3},               // pure red
      {0xFF0000, 1},               // pure blue
      {0xF0F0F0, 16},              // 16 and 24 are equal: the lowest wins
      {0x7F000000 | 0x00FF00, 2},  // bits 24-31 are ignored
  };
  for (const Case &c : cases) {
    EXPECT_EQ(DGNNearestColor(&handle, c.host), c.index) << std::hex << c.host;
  }
  // Black: the darkest default entry; checked against a direct scan.
  int best = 0, best_d = 1 << 30;
  for (int i = 0; i < 256; ++i) {
    const int d =
        DGNDefaultColorTable[i][0] + DGNDefaultColorTable[i][1] + DGNDefaultColorTable[i][2];
    if (d < best_d) best_d = d, best = i;
  }
  EXPECT_EQ(DGNNearestColor(&handle, 0), best);
  DGNFreeColorCells(&handle);
}

// The lookup by cells of the colour cube must give what a scan of the whole
// table gives, ties to the lowest index included: the default table, a
// table of a few repeated colours, and one of random colours whose entries
// lie on cell edges.
TEST(NearestColor, CellsGiveWhatTheWholeTableGives) {
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  for (int table = 0; table < 3; ++table) {
    DGNFile handle{};
    if (table > 0) {
      handle.got_color_table = 1;
      for (int i = 0; i < 256; ++i) {
        for (int c = 0; c < 3; ++c) {
          const uint32_t v = next() >> 24;
          handle.color_table[i][c] = static_cast<unsigned char>(table == 1 ? (v & 3) * 85
                                                                : (v & 1)  ? v
                                                                           : (v & 7) * 32);
        }
      }
    }
    const unsigned char(*rgb)[3] = table > 0 ? handle.color_table : DGNDefaultColorTable;
    for (int k = 0; k < 20000; ++k) {
      const uint32_t host = (k < 512 ? (k * 31u) * 0x010101u : next()) & 0xFFFFFFu;
      const int r = host & 0xFF, g = (host >> 8) & 0xFF, b = (host >> 16) & 0xFF;
      int best = 0, best_d = 1 << 30;
      for (int i = 0; i < 256; ++i) {
        const int d = std::abs(r - rgb[i][0]) + std::abs(g - rgb[i][1]) + std::abs(b - rgb[i][2]);
        if (d < best_d) best_d = d, best = i;
      }
      ASSERT_EQ(DGNNearestColor(&handle, static_cast<int32_t>(host)), best)
          << "table " << table << " colour " << std::hex << host;
    }
    DGNFreeColorCells(&handle);
  }
}

TEST(NearestColor, FileTableReplacesTheDefault) {
  DGNFile handle{};
  handle.got_color_table = 1;
  for (int i = 0; i < 256; ++i) {
    handle.color_table[i][0] = handle.color_table[i][1] = handle.color_table[i][2] = 10;
  }
  handle.color_table[200][0] = 255;
  handle.color_table[200][1] = 255;
  handle.color_table[200][2] = 255;
  EXPECT_EQ(DGNNearestColor(&handle, 0xFFFFFF), 200);
  EXPECT_EQ(DGNNearestColor(&handle, 0x0000FF), 0);  // all others tie: lowest index
  int r = 0, g = 0, b = 0;
  ASSERT_TRUE(DGNLookupColor(&handle, 0, &r, &g, &b));
  EXPECT_EQ(r, 10);
  ASSERT_TRUE(DGNLookupColor(&handle, 200, &r, &g, &b));
  EXPECT_EQ(b, 255);
  DGNFreeColorCells(&handle);
}

TEST(TypeNames, NamedAndNumbered) {
  struct Case {
    int type;
    const char *name;
  };
  const Case cases[] = {{1, "Cell Library"},
                        {4, "Line String"},
                        {9, "TCB"},
                        {12, "Complex Chain Header"},
                        {18, "3D Surface Header"},
                        {21, "B-Spline"},
                        {34, "Shared Cell Definition"},
                        {66, "Application Element"},
                        {13, "13"},
                        {100, "100"},
                        {-5, "-5"},
                        {0, "0"}};
  for (const Case &c : cases) EXPECT_STREQ(DGNTypeToName(c.type), c.name) << c.type;
  // Numbered names share one buffer that the next such call overwrites.
  const char *first = DGNTypeToName(13);
  DGNTypeToName(14);  // has a name: the buffer is untouched
  EXPECT_STREQ(first, "13");
  DGNTypeToName(99);
  EXPECT_STREQ(first, "99");
}

}  // namespace
