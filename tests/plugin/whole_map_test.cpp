// The whole map (gps.ini: DGN_Whole_Map=1) through the built library's
// exports: arcs, ellipses, curves and complex elements on import, texts and
// long polylines on export.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "dgnmodel.h"
#include "plugin_host.h"

using namespace plugintest;

// Most points of one object the import sends (kMaxObjectPoints in the plug-in).
constexpr int kMaxObjectPoints = 65536;
using dgnkit::Bytes;
namespace fs = std::filesystem;

namespace {

// A scratch folder whose gps.ini turns the whole map on.
class WholeMap : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Lib().error.empty()) << Lib().error;
    std::string templ = (fs::temp_directory_path() / "dgnwhole-XXXXXX").string();
    ASSERT_NE(mkdtemp(&templ[0]), nullptr);
    dir_ = templ;
    const std::string ini = "[Mapa]\r\nDGN_Whole_Map = Yes\r\n";
    ASSERT_TRUE(dgnkit::WriteFile(dir_ + "/gps.ini", Bytes(ini.begin(), ini.end())));
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // Imports `file` with the whole map on (or off) into `host`.
  void Import(const Bytes &file, Host &host, bool whole = true) {
    dgnkit::TempFile tmp(file);
    TVectorMapPlugIn map = MapRecord(1, 0, 0);
    if (whole) map.directory = &dir_[0];
    ASSERT_EQ(Lib().Open(tmp.c_str(), &map, host.sink()), 1);
    EXPECT_EQ(Lib().Read(&map, host.callbacks(), host.sink(), host.progress()), 1);
    Lib().Close(&map);
  }
  std::string dir_;
};

// The points the host received for object k.
std::vector<TVectorPointPlugIn> PointsOf(const Host &host, size_t k) {
  size_t first = 0;
  for (size_t i = 0; i < k; ++i) first += size_t(host.objects[i].numPoints);
  const size_t n = size_t(host.objects[k].numPoints);
  return std::vector<TVectorPointPlugIn>(host.points.begin() + long(first),
                                         host.points.begin() + long(first + n));
}

bool Same(const TVectorPointPlugIn &p, double x, double y) {
  return std::fabs(p.x - x) < 1e-9 && std::fabs(p.y - y) < 1e-9;
}

Bytes Component(const Bytes &element) { return AsComponent(element); }

dgnkit::ArcSpec Circle(double x, double y, double r, double start = 0, double sweep = 360) {
  dgnkit::ArcSpec a;
  a.primary_axis = a.secondary_axis = r;
  a.origin[0] = x;
  a.origin[1] = y;
  a.start_angle = start;
  a.sweep_angle = sweep;
  return a;
}

TEST_F(WholeMap, ImportStrokesJoinsAndConvertsEveryDrawableElement) {
  dgnkit::Display red;
  red.color = 3;
  red.weight = 4;
  red.style = 2;
  dgnkit::TextSpec wide;
  wide.raw_text = dgnkit::Text16({0x20AC, ' ', 'x', ' ', 0x2713, 0xC9});
  // An arc whose axes are the largest D-float there is.
  Bytes hugeArc = dgnkit::MakeArc(Circle(0, 0, 1), 2);
  for (size_t k = 44; k < 60; ++k) hugeArc[k] = 0xFF;
  hugeArc[45] = 0x7F;  // positive, largest exponent
  hugeArc[53] = 0x7F;
  const Bytes file = DesignFile({
      OnLevel(dgnkit::MakeArc(Circle(0, 0, 1000, 0, 90), 2), 2),                    // 1
      OnLevel(dgnkit::MakeEllipse(Circle(5000, 5000, 500), 2), 3),                  // 2
      OnLevel(dgnkit::MakeMultiPoint(DGNTYPE_CURVE, {{0, 0}, {1, 1}, {2, 2}}), 4),  // 3
      OnLevel(dgnkit::MakeMultiPoint(
                  DGNTYPE_CURVE,
                  {{0, 0}, {0, 100}, {100, 200}, {200, 250}, {300, 200}, {400, 300}, {500, 300}}),
              4),  // 4
      // A chain of a line string, an arc and a line string.
      OnLevel(dgnkit::MakeComplexHeader(DGNTYPE_COMPLEX_CHAIN_HEADER, 60, 3, 0, red), 5),  // 5
      Component(dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0}, {100, 0}})),
      Component(dgnkit::MakeArc(Circle(100, 100, 100, -90, 90))),
      Component(dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{200, 100}, {200, 300}})),
      // A parcel: a shape of line strings and an arc stored from its far end.
      OnLevel(dgnkit::MakeComplexHeader(DGNTYPE_COMPLEX_SHAPE_HEADER, 60, 3), 6),  // 9
      Component(dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0}, {1000, 0}})),
      Component(dgnkit::MakeArc(Circle(1000, 500, 500, 90, -180))),
      Component(dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{1000, 1000}, {0, 1000}, {0, 0}})),
      // A header that announces 65535 components; two follow, one of them a text.
      OnLevel(dgnkit::MakeComplexHeader(DGNTYPE_COMPLEX_CHAIN_HEADER, 65535, 65535), 7),  // 13
      Component(dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0}, {10, 0}})),
      Component(OnLevel(dgnkit::MakeText(wide), 8)),                              // 15
      dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{7, 7}, {8, 8}}),              // 16
      OnLevel(dgnkit::MakeText(wide), 8),                                         // 17
      AsDeleted(dgnkit::MakeComplexHeader(DGNTYPE_COMPLEX_CHAIN_HEADER, 20, 1)),  // 18
      AsDeleted(Component(dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0}, {1, 1}}))),
      OnLevel(dgnkit::MakeCellHeader({}), 9),  // 20
      Component(OnLevel(dgnkit::MakeEllipse(Circle(10, 10, 6)), 9)),
      Component(OnLevel(dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{4, 10}, {16, 10}}), 9)),
      hugeArc,  // 23
  });
  Host host;
  Import(file, host);

  struct Want {
    int kind, id, level;
  };
  const std::vector<Want> want = {{0, 1, 2},  {1, 2, 3},  {0, 4, 4},  {0, 5, 5},
                                  {1, 9, 6},  {3, 15, 8}, {0, 14, 1}, {0, 16, 1},
                                  {3, 17, 8}, {1, 21, 9}, {0, 22, 9}, {0, 23, 1}};
  ASSERT_EQ(host.objects.size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    SCOPED_TRACE(k);
    const TVectorObjectPlugIn &o = host.objects[k];
    EXPECT_EQ(Val(o.objectKind), want[k].kind);
    EXPECT_EQ(Val(o.elementId), want[k].id);
    EXPECT_EQ(Val(o.level), want[k].level);
    const std::vector<TVectorPointPlugIn> pts = PointsOf(host, k);
    for (const TVectorPointPlugIn &p : pts) ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y));
    for (size_t i = 1; i < pts.size(); ++i)
      EXPECT_FALSE(Same(pts[i], pts[i - 1].x, pts[i - 1].y)) << "repeated vertex " << i;
  }
  EXPECT_EQ(host.steps, 24);
  std::vector<int> layers;
  for (const TVectorObjectPlugIn &l : host.layers) layers.push_back(l.level);
  EXPECT_EQ(layers, (std::vector<int>{2, 3, 4, 5, 6, 8, 1, 9}));

  // The arc runs from its start to its end angle.
  std::vector<TVectorPointPlugIn> p = PointsOf(host, 0);
  EXPECT_TRUE(Same(p.front(), 1000, 0) && Same(p.back(), 0, 1000));
  // The ellipse closes exactly.
  p = PointsOf(host, 1);
  EXPECT_TRUE(Same(p.back(), p.front().x, p.front().y));
  // The curve passes through its third to third-last vertices.
  p = PointsOf(host, 2);
  EXPECT_TRUE(Same(p.front(), 100, 200) && Same(p.back(), 300, 200));
  // The chain: the header's colour, weight and style; one run through all three.
  const TVectorObjectPlugIn &chain = host.objects[3];
  EXPECT_EQ(Val(chain.color), 0x0000FF);
  EXPECT_EQ(Val(chain.width), 4.0f);
  EXPECT_EQ(Val(chain.style), 2);
  p = PointsOf(host, 3);
  EXPECT_TRUE(Same(p[0], 0, 0) && Same(p[1], 100, 0) && Same(p.back(), 200, 300));
  EXPECT_TRUE(Same(p[p.size() - 2], 200, 100));
  // The parcel: closed, its arc turned to run on from (1000, 0).
  p = PointsOf(host, 4);
  EXPECT_TRUE(Same(p[0], 0, 0) && Same(p[1], 1000, 0) && Same(p.back(), 0, 0));
  EXPECT_GT(Val(p[2].x), 1000.0);
  EXPECT_LT(Val(p[2].y), 500.0);
  // The 16-bit text in the host's code page; the broken chain's line comes
  // on its own, and the host is told why.
  EXPECT_EQ(host.object_names[5], "\x80 x ?\xC9");
  EXPECT_EQ(Val(host.objects[6].numPoints), 2);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_NE(host.messages[0].find("complex chain at offset"), std::string::npos);
  EXPECT_NE(host.messages[0].find("announces 65535 components but 2 follow it"), std::string::npos);
  EXPECT_EQ(host.object_names[8], "\x80 x ?\xC9");

  // With the setting off the same file gives what it always gave: no arcs,
  // and the 16-bit text as byte pairs.
  Host off;
  Import(file, off, false);
  for (const TVectorObjectPlugIn &o : off.objects) {
    EXPECT_NE(Val(o.elementId), 1);
    EXPECT_NE(Val(o.elementId), 5);
  }
  for (size_t k = 0; k < off.objects.size(); ++k) {
    if (Val(off.objects[k].elementId) != 17) continue;
    EXPECT_EQ(off.object_names[k], "\x20\xAC x '\x13\xC9");
  }
}

// A design file in millimetre design units of metre master units (one design
// unit is 0.001), so that joints meet rounding.
Bytes MillimetreFile(const std::vector<Bytes> &elements) {
  dgnkit::TcbSpec tcb;
  tcb.subunits_per_master = 1000;
  tcb.uor_per_subunit = 1;
  std::vector<Bytes> parts = {dgnkit::MakeTcb(tcb)};
  parts.insert(parts.end(), elements.begin(), elements.end());
  parts.push_back(dgnkit::EndOfDesign());
  return dgnkit::Concat(parts);
}

Bytes ChainOf(const std::vector<Bytes> &components, int type = DGNTYPE_COMPLEX_CHAIN_HEADER) {
  std::vector<Bytes> out = {
      dgnkit::MakeComplexHeader(type, 60, static_cast<uint16_t>(components.size()))};
  for (const Bytes &c : components) out.push_back(Component(c));
  return dgnkit::Concat(out);
}

Bytes Elem(int type, const std::vector<dgnkit::IPoint> &points) {
  return dgnkit::MakeMultiPoint(type, points);
}

// Joints: ends no more than one design unit apart are one vertex, measured as
// a distance and with the rounding of fractional units; a curve too short to
// pass through two vertices adds nothing; a 16-bit text keeps what follows a
// zero, and a surrogate pair is one character.
TEST_F(WholeMap, ChainsJoinByDistanceAndSkipCurvesThatDrawNothing) {
  struct Case {
    const char *label;
    std::vector<Bytes> components;
    std::vector<std::pair<double, double>> want;  // master units
  } cases[] = {
      {"ends one unit apart",
       {Elem(DGNTYPE_LINE_STRING, {{1000, 0}, {1234, 0}}),
        Elem(DGNTYPE_LINE_STRING, {{1235, 0}, {2000, 7}})},
       {{1.0, 0}, {1.234, 0}, {2.0, 0.007}}},
      {"ends one unit apart on both axes",
       {Elem(DGNTYPE_LINE_STRING, {{1000, 0}, {1234, 5}}),
        Elem(DGNTYPE_LINE_STRING, {{1235, 6}, {2000, 7}})},
       {{1.0, 0}, {1.234, 0.005}, {1.235, 0.006}, {2.0, 0.007}}},
      {"a curve of 5 vertices inside",
       {Elem(DGNTYPE_LINE, {{0, 0}, {1000, 0}}),
        Elem(DGNTYPE_CURVE, {{0, 0}, {1000, 0}, {1500, 5000}, {1000, 0}, {2000, 0}}),
        Elem(DGNTYPE_LINE, {{1000, 0}, {2000, 0}})},
       {{0, 0}, {1.0, 0}, {2.0, 0}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    Host host;
    Import(MillimetreFile({ChainOf(c.components)}), host);
    ASSERT_EQ(host.objects.size(), 1u);
    const std::vector<TVectorPointPlugIn> p = PointsOf(host, 0);
    ASSERT_EQ(p.size(), c.want.size());
    for (size_t i = 0; i < p.size(); ++i)
      EXPECT_TRUE(Same(p[i], c.want[i].first, c.want[i].second)) << i;
  }

  dgnkit::TextSpec text;
  text.raw_text = dgnkit::Text16({'a', 0, 'b', 0xD83D, 0xDE00, 'c', 0xDE00, 0});
  Host host;
  Import(DesignFile({dgnkit::MakeText(text)}), host);
  ASSERT_EQ(host.object_names.size(), 1u);
  EXPECT_EQ(host.object_names[0], "a?b?c?");
}

// A complex header whose components stop before as many as it announces is
// named with its offset and counts, with the whole map and without it; its
// components then come on their own, never as a line or area cut short.
TEST_F(WholeMap, ComplexElementsCutShortComeAsTheirComponents) {
  const Bytes a = Elem(DGNTYPE_LINE_STRING, {{0, 0}, {100, 0}, {100, 100}});
  const Bytes b = Elem(DGNTYPE_LINE_STRING, {{100, 100}, {0, 100}});
  const Bytes header = dgnkit::MakeComplexHeader(DGNTYPE_COMPLEX_SHAPE_HEADER, 60, 5);
  struct Case {
    const char *label;
    std::vector<Bytes> elements;
    long long offset;  // of the header
  } cases[] = {
      {"cut by the next element",
       {header, Component(a), Component(b), Elem(DGNTYPE_LINE, {{5, 5}, {6, 6}})},
       1536},
      {"cut by the end of the file", {header, Component(a), Component(b)}, 1536},
  };
  for (const Case &c : cases) {
    for (bool whole : {true, false}) {
      SCOPED_TRACE(std::string(c.label) + (whole ? " with" : " without") + " the whole map");
      Host host;
      Import(DesignFile(c.elements), host, whole);
      ASSERT_EQ(host.messages.size(), 1u);
      EXPECT_NE(host.messages[0].find("the complex shape at offset " + std::to_string(c.offset) +
                                      " announces 5 components but 2 follow it"),
                std::string::npos)
          << host.messages[0];
      ASSERT_GE(host.objects.size(), 2u);
      for (size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(Val(host.objects[k].objectKind), 0);
        EXPECT_EQ(Val(host.objects[k].elementId), int(k) + 2);
      }
      EXPECT_EQ(Val(host.objects[0].numPoints), 3);
      EXPECT_EQ(Val(host.objects[1].numPoints), 2);
    }
  }
}

// Components of a complex element cut short come exactly as stored, even
// when joining had turned them or left out a vertex shared at a joint.
TEST_F(WholeMap, ComponentsOfAComplexElementCutShortKeepTheirStoredPoints) {
  using Run = std::vector<dgnkit::IPoint>;
  struct Case {
    const char *label;
    std::vector<Run> runs;
  } cases[] = {
      {"the second stored from its far end, the third sharing a near joint",
       {{{0, 0}, {100, 0}, {100, 100}}, {{50, 200}, {100, 101}}, {{51, 200}, {0, 300}}}},
      {"the first turned by the second", {{{100, 100}, {100, 0}, {0, 0}}, {{100, 101}, {50, 200}}}},
      {"both turned, then joined at the far end",
       {{{100, 100}, {0, 0}}, {{200, 0}, {100, 101}}, {{300, 50}, {200, 1}}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Bytes> elements = {
        dgnkit::MakeComplexHeader(DGNTYPE_COMPLEX_CHAIN_HEADER, 60, uint16_t(c.runs.size() + 1))};
    for (const Run &r : c.runs) elements.push_back(Component(Elem(DGNTYPE_LINE_STRING, r)));
    Host host;
    Import(MillimetreFile(elements), host);
    ASSERT_EQ(host.objects.size(), c.runs.size());
    for (size_t k = 0; k < c.runs.size(); ++k) {
      const std::vector<TVectorPointPlugIn> p = PointsOf(host, k);
      ASSERT_EQ(p.size(), c.runs[k].size()) << "component " << k;
      for (size_t i = 0; i < p.size(); ++i)
        EXPECT_TRUE(Same(p[i], c.runs[k][i].x / 1000.0, c.runs[k][i].y / 1000.0))
            << "component " << k << " point " << i;
    }
  }
}

// Whatever a complex element holds, no object the host gets is longer than
// kMaxObjectPoints: a longer one comes in pieces that share their joint
// vertex, name no element, and together hold every point; a shape's pieces
// are open polylines whose last ends at its first vertex.
TEST_F(WholeMap, LongComplexElementsComeInPiecesThatKeepEveryPoint) {
  struct Case {
    int type;
    int missing;  // components announced that never come
    const char *told;
  } cases[] = {
      {DGNTYPE_COMPLEX_SHAPE_HEADER, 0, "open polylines that share their joint vertices"},
      {DGNTYPE_COMPLEX_CHAIN_HEADER, 5, "announces 1905 components but 1900 follow it; it is"},
  };
  for (const Case &c : cases) {
    const int type = c.type;
    SCOPED_TRACE(std::to_string(type) + " missing " + std::to_string(c.missing));
    // Tall half ellipses on bases of 1000, each from where the one before ends.
    const int arcs = 1900;  // 36 chords each: 68,401 points
    std::vector<Bytes> elements = {
        dgnkit::MakeComplexHeader(type, 0xFFFF, uint16_t(arcs + c.missing))};
    for (int i = 0; i < arcs; ++i) {
      dgnkit::ArcSpec arc = Circle(1000.0 * i + 500, 0, 500, 180, -180);
      arc.secondary_axis = 200000;
      elements.push_back(Component(dgnkit::MakeArc(arc)));
    }
    elements.push_back(Elem(DGNTYPE_LINE, {{7, 7}, {8, 8}}));
    Host host;
    Import(DesignFile(elements), host);
    ASSERT_GE(host.objects.size(), 3u);
    const size_t pieces = host.objects.size() - 1;
    std::vector<TVectorPointPlugIn> all;
    for (size_t k = 0; k < pieces; ++k) {
      const TVectorObjectPlugIn &o = host.objects[k];
      EXPECT_EQ(Val(o.objectKind), 0);
      EXPECT_EQ(Val(o.elementId), 0);
      ASSERT_LE(Val(o.numPoints), kMaxObjectPoints);
      const std::vector<TVectorPointPlugIn> p = PointsOf(host, k);
      if (k > 0) {
        EXPECT_TRUE(Same(p.front(), all.back().x, all.back().y)) << "piece " << k;
        all.pop_back();
      }
      all.insert(all.end(), p.begin(), p.end());
    }
    // Every arc's ends are there, in order, and a shape comes back to its start.
    EXPECT_TRUE(Same(all.front(), 0, 0));
    size_t at = 0;
    for (int i = 1; i <= arcs; ++i) {
      while (at < all.size() && !Same(all[at], 1000.0 * i, 0)) ++at;
      ASSERT_LT(at, all.size()) << "end of arc " << i;
    }
    // A whole shape comes back to its start; one cut short stays open.
    EXPECT_EQ(Same(all.back(), 0, 0), type == DGNTYPE_COMPLEX_SHAPE_HEADER && c.missing == 0);
    EXPECT_EQ(Val(host.objects.back().elementId), arcs + 2);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.messages[0].find(c.told), std::string::npos) << host.messages[0];
    EXPECT_NE(host.messages[0].find(" " + std::to_string(pieces) + " open polylines"),
              std::string::npos)
        << host.messages[0];
  }
}

}  // namespace
