// The spatial filter of the reader and its complex-group logic.
#include <gtest/gtest.h>

#include <vector>

#include "dgn_test_util.h"

namespace {

using dgnkit::Bytes;
using dgnkit::Element;

Bytes LineAt(int32_t x0, int32_t y0, int32_t x1, int32_t y1, int level) {
  return dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{x0, y0, 0}, {x1, y1, 0}}, 2, {}, level);
}

// A component line with the complex bit, at its own place.
Bytes Component(int32_t x, int32_t y, int level) {
  dgnkit::Range r;
  r.low[0] = r.high[0] = x;
  r.low[1] = r.high[1] = y;
  return Element(DGNTYPE_LINE, level)
      .Complex()
      .SetRange(r)
      .SetDisplay({})
      .Points({{x, y, 0}, {x, y, 0}}, 2)
      .Build();
}

Bytes ChainHeader(int32_t x0, int32_t y0, int32_t x1, int32_t y1, int level) {
  dgnkit::Range r;
  r.low[0] = x0;
  r.low[1] = y0;
  r.high[0] = x1;
  r.high[1] = y1;
  return Element(DGNTYPE_COMPLEX_CHAIN_HEADER, level)
      .SetRange(r)
      .SetDisplay({})
      .Word(20)
      .Word(2)
      .Build();
}

// Levels of the elements the reader returns.
std::vector<int> ReadLevels(DGNFile *handle) {
  std::vector<int> levels;
  while (auto e = dgnkit::Next(handle)) levels.push_back(e->level);
  return levels;
}

dgnkit::TcbSpec Units(int32_t per_master, double origin_x = 0) {
  dgnkit::TcbSpec tcb;
  tcb.uor_per_subunit = per_master;
  tcb.subunits_per_master = 1;
  tcb.origin[0] = origin_x;
  tcb.origin[1] = origin_x;
  return tcb;
}

TEST(SpatialFilter, KeepsOverlappingElementsAndThoseWithoutRange) {
  const Bytes file = dgnkit::Concat({
      dgnkit::MakeTcb(Units(10, 1000)),   // level 8; master = design / 10 - 100 on x and y
      LineAt(1000, 1000, 1100, 1100, 1),  // (0,0)-(10,10): inside
      LineAt(5000, 5000, 6000, 6000, 2),  // (400,400)-(500,500): outside
      LineAt(0, 0, 1000, 1000, 3),        // (-100,-100)-(0,0): touches the corner
      Element(DGNTYPE_TEXT_NODE, 4).SetDisplay({}).PadTo(40).Build(),  // no range
      LineAt(1200, -5000, 1300, 900, 5),                               // y below the rectangle
      dgnkit::EndOfDesign(),
  });
  auto f = dgnkit::OpenBytes(file);
  ASSERT_NE(f.get(), nullptr);
  DGNSetSpatialFilter(f.get(), 0, 0, 50, 50);
  EXPECT_EQ(ReadLevels(f.get()), (std::vector<int>{8, 1, 3, 4}));
  EXPECT_TRUE(f.get()->sf_converted);
  EXPECT_EQ(f.get()->sf_min_x, dgnkit::RangeValue(1000));
  EXPECT_EQ(f.get()->sf_max_y, dgnkit::RangeValue(1500));

  DGNSetSpatialFilter(f.get(), 0, 0, 0, 0);  // cleared
  DGNRewind(f.get());
  EXPECT_EQ(ReadLevels(f.get()).size(), 6u);
}

TEST(SpatialFilter, ComplexComponentsFollowTheirHeader) {
  const Bytes file = dgnkit::Concat({
      dgnkit::MakeTcb(Units(1)),
      ChainHeader(0, 0, 10, 10, 1),  // accepted
      Component(500, 500, 2),        // outside, but its header was accepted
      Component(600, 600, 3),
      ChainHeader(800, 800, 900, 900, 4),  // rejected
      Component(5, 5, 5),                  // inside, but its header was rejected
      LineAt(5, 5, 6, 6, 6),               // plain element: ends the group
      Component(7, 7, 7),                  // outside any group: judged on its own
      Component(700, 700, 8),
      dgnkit::EndOfDesign(),
  });
  auto f = dgnkit::OpenBytes(file);
  ASSERT_NE(f.get(), nullptr);
  DGNSetSpatialFilter(f.get(), 0, 0, 20, 20);
  EXPECT_EQ(ReadLevels(f.get()), (std::vector<int>{8, 1, 2, 3, 6, 7}));
}

// The rectangle is in the file's master units wherever its TCB lies, and in
// a file without one in the units its elements decode to (one design unit
// per master unit): exactly the elements whose range meets it are kept, also
// where an edge falls between design units or a hair off a whole one.
TEST(SpatialFilter, KeepsWhatMeetsTheRectangleWithOrWithoutATcb) {
  const Bytes no_tcb = dgnkit::Concat({
      dgnkit::MakeGroupDataStart(),  // level 8, no range
      LineAt(1, 1, 2, 2, 1),
      LineAt(50, 50, 60, 60, 2),
      LineAt(-5, -5, 0, 0, 3),
      dgnkit::EndOfDesign(),
  });
  const Bytes tcb_later = dgnkit::Concat({
      dgnkit::MakeGroupDataStart(),
      LineAt(1, 1, 2, 2, 1),
      dgnkit::MakeTcb(Units(1)),
      LineAt(1, 1, 2, 2, 2),
      LineAt(50, 50, 60, 60, 3),
      dgnkit::EndOfDesign(),
  });
  const Bytes centimetres = dgnkit::Concat({
      dgnkit::MakeTcb(Units(100)),  // 0.01 master units per design unit
      LineAt(29, 0, 29, 0, 1),      // x 0.29
      LineAt(30, 0, 31, 0, 2),      // x 0.30 to 0.31
      dgnkit::EndOfDesign(),
  });
  struct Case {
    const char *name;
    const Bytes &file;
    double rect[4];
    std::vector<int> levels;
  };
  const Case cases[] = {
      {"no TCB", no_tcb, {0, 0, 20, 20}, {8, 1, 3}},
      {"no TCB, the whole plane", no_tcb, {-1e300, -1e300, 1e300, 1e300}, {8, 1, 2, 3}},
      {"TCB after elements", tcb_later, {0, 0, 20, 20}, {8, 1, 8, 2}},
      {"high edge a hair below 29 units", centimetres, {0, 0, 0.29, 1}, {8, 1}},
      {"low edge between 29 and 30 units", centimetres, {0.295, 0, 0.4, 1}, {8, 2}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto f = dgnkit::OpenBytes(c.file);
    ASSERT_NE(f.get(), nullptr);
    DGNSetSpatialFilter(f.get(), c.rect[0], c.rect[1], c.rect[2], c.rect[3]);
    EXPECT_EQ(ReadLevels(f.get()), c.levels);
  }
}

TEST(SpatialFilter, HugeRectangleIsClampedNotWrapped) {
  const Bytes file = dgnkit::Concat({
      dgnkit::MakeTcb(Units(1)),
      LineAt(-2000000000, -2000000000, -1999999999, -1999999999, 1),
      LineAt(2000000000, 2000000000, 2000000001, 2000000001, 2),
      dgnkit::EndOfDesign(),
  });
  auto f = dgnkit::OpenBytes(file);
  ASSERT_NE(f.get(), nullptr);
  DGNSetSpatialFilter(f.get(), -1e300, -1e300, 1e300, 1e300);
  EXPECT_EQ(ReadLevels(f.get()), (std::vector<int>{8, 1, 2}));
  EXPECT_EQ(f.get()->sf_min_x, 1u);
  EXPECT_EQ(f.get()->sf_max_x, 0xFFFFFFFFu);
}

}  // namespace
