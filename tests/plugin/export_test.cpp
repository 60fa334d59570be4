// Map creation from a seed file and the polyline export, through the built
// library's exports with host records as the host lays them out.  The files
// written are checked byte by byte with a walker of our own, and read back
// through the import.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "plugin_host.h"

using namespace plugintest;
using dgnkit::Bytes;
namespace fs = std::filesystem;

namespace {

const char kSeedMissing[] = "Error: Seed file not found (";
const char kCreateFailed[] = "Error Creating DGN file. Is the seed.dat file ok?";
const char kAlignment[] =
    "Data Aligment error in TVectorPointPlugIn, QuarvelPlugIn_Add_Poliline_Vector_Map DGN";

using ColorTable = std::array<std::array<uint8_t, 3>, 256>;

// A colour table unlike the built-in one: red at 1, blue at 2, green at 3,
// then greys, so pure white is index 255 and built-in red (3) is green here.
ColorTable OddTable() {
  ColorTable t{};
  t[0] = {0, 0, 0};
  t[1] = {255, 0, 0};
  t[2] = {0, 0, 255};
  t[3] = {0, 255, 0};
  for (int i = 4; i < 256; ++i) t[i] = {uint8_t(i), uint8_t(i), uint8_t(i)};
  return t;
}

// A seed: TCB (1 cm design units unless said otherwise), a colour table and
// one control element, which creation copies.
Bytes Seed(dgnkit::TcbSpec tcb = {}, const ColorTable &table = OddTable(), bool setUnits = true) {
  if (setUnits) {
    tcb.subunits_per_master = 100;
    tcb.uor_per_subunit = 1;
    tcb.master_units = "m ";
    tcb.sub_units = "cm";
  }
  return dgnkit::Concat({dgnkit::MakeTcb(tcb), dgnkit::MakeColorTable(table),
                         dgnkit::MakeGroupDataStart(), dgnkit::EndOfDesign()});
}

// One element as stored.
struct Raw {
  size_t offset;
  Bytes b;
  int type() const { return b[1] & 0x7F; }
  bool deleted() const { return (b[1] & 0x80) != 0; }
  int32_t Int32(size_t k) const {
    return int32_t(uint32_t(b[k + 1]) << 24 | uint32_t(b[k]) << 16 | uint32_t(b[k + 3]) << 8 |
                   b[k + 2]);
  }
  int count() const { return b[36] | b[37] << 8; }
  // Vertex i of a line string or shape, in design units.
  std::array<int32_t, 3> Vertex(int i, int dim) const {
    const size_t at = 38 + size_t(4 * dim * i);
    return {Int32(at), Int32(at + 4), dim == 3 ? Int32(at + 8) : 0};
  }
};

// The elements of a file up to its end-of-design marker (which must be there).
std::vector<Raw> Walk(const Bytes &file) {
  std::vector<Raw> out;
  size_t pos = 0;
  while (pos + 4 <= file.size() && !(file[pos] == 0xFF && file[pos + 1] == 0xFF)) {
    const size_t n = 4 + 2 * size_t(file[pos + 2] | file[pos + 3] << 8);
    if (pos + n > file.size()) break;
    out.push_back({pos, Bytes(file.begin() + long(pos), file.begin() + long(pos + n))});
    pos += n;
  }
  EXPECT_TRUE(pos + 2 <= file.size() && file[pos] == 0xFF && file[pos + 1] == 0xFF)
      << "no end-of-design marker after the last element";
  return out;
}

std::string ProgramDir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? fs::path(std::string(buf, size_t(n))).parent_path().string() : std::string();
}

std::string ReadText(const std::string &path) {
  const Bytes b = dgnkit::ReadFile(path);
  return std::string(b.begin(), b.end());
}

TVectorPointPlugIn Pt(double x, double y, double z = 0) { return PointRecord(x, y, z); }

TVectorObjectPlugIn Obj(int kind = 0, int level = 1, int32_t color = -1, float width = 1.0f,
                        int style = -1, int elementId = 0) {
  TVectorObjectPlugIn o{};
  o.size = int32_t(sizeof o);
  o.elementId = elementId;
  o.color = o.color2 = color;
  o.objectKind = kind;
  o.level = level;
  o.width = width;
  o.numPoints = -1;
  o.style = style;
  return o;
}

// n points along a diagonal, one metre apart.
std::vector<TVectorPointPlugIn> Line(int n, double z = 0) {
  std::vector<TVectorPointPlugIn> pts;
  for (int i = 0; i < n; ++i) pts.push_back(Pt(i, 2.0 * i, z));
  return pts;
}

// A scratch folder holding gps.ini, seeds and maps; removed afterwards.
class Export : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Lib().error.empty()) << Lib().error;
    std::string templ = (fs::temp_directory_path() / "dgnexport-XXXXXX").string();
    ASSERT_NE(mkdtemp(&templ[0]), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    if (map_.handle != nullptr) Lib().Close(&map_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string &name) const { return dir_ + "/" + name; }
  void WriteIni(const std::string &text) {
    ASSERT_TRUE(dgnkit::WriteFile(Path("gps.ini"), Bytes(text.begin(), text.end())));
  }
  // Writes a seed into the folder and names it in gps.ini.
  void UseSeed(const Bytes &seed) {
    ASSERT_TRUE(dgnkit::WriteFile(Path("seed.dgn"), seed));
    WriteIni("[Mapa]\nDGN_Seed_File=" + Path("seed.dgn") + "\n");
  }
  // Creates out.dgn through the open entry point.
  bool Create(const std::string &name = "out.dgn") {
    map_ = MapRecord(0, 1, 1);
    map_.directory = &dir_[0];
    return Lib().Open(Path(name).c_str(), &map_, host_.sink()) != 0;
  }
  bool OpenForUpdate(const Bytes &file) {
    if (!dgnkit::WriteFile(Path("out.dgn"), file)) return false;
    map_ = MapRecord(1, 1, 0);
    return Lib().Open(Path("out.dgn").c_str(), &map_, host_.sink()) != 0;
  }
  bool Add(const TVectorObjectPlugIn &object, std::vector<TVectorPointPlugIn> pts) {
    TVectorObjectPlugIn o = object;
    return Lib().AddPolyline(&map_, &o, int32_t(pts.size()), pts.empty() ? nullptr : pts.data(),
                             host_.sink()) != 0;
  }
  // The elements that export appended after the TCB and the seed's two.
  std::vector<Raw> Added() {
    std::vector<Raw> all = Walk(dgnkit::ReadFile(Path("out.dgn")));
    return all.size() > 3 ? std::vector<Raw>(all.begin() + 3, all.end()) : std::vector<Raw>();
  }

  std::string dir_;
  TVectorMapPlugIn map_{};
  Host host_;
};

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------

TEST_F(Export, MissingKeyIsWrittenAndEveryOtherByteOfTheIniKept) {
  const std::string before =
      "; host\r\n[Pantalla]\r\nZoom=3\r\n\r\n[Mapa]\r\nEscala=10\r\n[Z]\r\nk=v";
  WriteIni(before);
  const bool created = Create();
  std::string after = ReadText(Path("gps.ini"));
  const std::string line = "DGN_Seed_File=seed2d.dgn\r\n";
  const size_t at = after.find(line);
  ASSERT_NE(at, std::string::npos) << after;
  EXPECT_GT(at, after.find("[Mapa]"));
  EXPECT_LT(at, after.find("[Z]"));
  EXPECT_EQ(after.erase(at, line.size()), before);

  // The default name is looked for in symbols/dgnseeds beside the program.
  const std::string bundled = ProgramDir() + "/symbols/dgnseeds/seed2d.dgn";
  if (fs::exists(bundled)) {
    EXPECT_TRUE(created) << testing::PrintToString(host_.messages);
  } else {
    EXPECT_FALSE(created);
    EXPECT_EQ(host_.messages, std::vector<std::string>{kSeedMissing + bundled + ")"});
  }
}

TEST_F(Export, SeedPathRules) {
  const std::string seeds = ProgramDir() + "/symbols/dgnseeds/";
  ASSERT_TRUE(dgnkit::WriteFile(Path("seed.dgn"), Seed()));
  ASSERT_TRUE(fs::create_directory(Path("folder.dgn")));
  struct Case {
    std::string setting;
    std::string missing;  // the path the message names; empty: created
    int firstByte;        // of the new file: C8 for a 3D one
  };
  const Case cases[] = {
      // Relative settings keep only their file name.
      {"some\\folder\\nosuch.dgn", seeds + "nosuch.dgn", 0},
      {"../up/nosuch.dgn", seeds + "nosuch.dgn", 0},
      {"..\\elsewhere\\seed3d.dgn", "", 0xC8},
      // Complete paths are used as they stand.
      {Path("seed.dgn"), "", 0x08},
      {Path("nosuch.dgn"), Path("nosuch.dgn"), 0},
      // A folder is no seed file.
      {Path("folder.dgn"), Path("folder.dgn"), 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.setting);
    host_.messages.clear();
    WriteIni("[Mapa]\nDGN_Seed_File=" + c.setting + "\n");
    int sentinel = 0;
    TVectorMapPlugIn map = MapRecord(0, 1, 1);
    map.directory = &dir_[0];
    map.handle = &sentinel;
    const bool created = Lib().Open(Path("out.dgn").c_str(), &map, host_.sink()) != 0;
    if (c.missing.empty()) {
      EXPECT_TRUE(created);
      EXPECT_EQ(map.openState, 0);
      EXPECT_TRUE(host_.messages.empty());
      Lib().Close(&map);
      EXPECT_EQ(dgnkit::ReadFile(Path("out.dgn")).at(0), c.firstByte);
    } else {
      EXPECT_FALSE(created);
      EXPECT_EQ(host_.messages, std::vector<std::string>{kSeedMissing + c.missing + ")"});
      EXPECT_EQ(map.handle, &sentinel);
    }
  }
}

TEST_F(Export, NewFileHasOriginZeroAndTheSeedsUnitsAndElements) {
  dgnkit::TcbSpec tcb;
  tcb.subunits_per_master = 3600;
  tcb.uor_per_subunit = 1000;
  tcb.master_units = "dg";
  tcb.sub_units = "sc";
  tcb.origin[0] = 5e8;
  tcb.origin[1] = -7e7;
  tcb.origin[2] = 12345;
  const Bytes seed = Seed(tcb, OddTable(), false);
  UseSeed(seed);
  ASSERT_TRUE(Create()) << testing::PrintToString(host_.messages);
  ASSERT_TRUE(Add(Obj(), {Pt(1, -2), Pt(0.5, 0.25)}));
  Lib().Close(&map_);

  const Bytes out = dgnkit::ReadFile(Path("out.dgn"));
  const std::vector<Raw> seedElems = Walk(seed), outElems = Walk(out);
  ASSERT_EQ(outElems.size(), 4u);
  Bytes tcbExpected = seedElems[0].b;
  std::fill(tcbExpected.begin() + 1240, tcbExpected.begin() + 1264, 0);
  EXPECT_EQ(outElems[0].b, tcbExpected);  // units 1112-1123 as in the seed
  EXPECT_EQ(outElems[1].b, seedElems[1].b);
  EXPECT_EQ(outElems[2].b, seedElems[2].b);
  // 3,600,000 design units per degree, and no origin shift.
  EXPECT_EQ(outElems[3].Vertex(0, 2), (std::array<int32_t, 3>{3600000, -7200000, 0}));
  EXPECT_EQ(outElems[3].Vertex(1, 2), (std::array<int32_t, 3>{1800000, 900000, 0}));
}

TEST_F(Export, CreationFailures) {
  UseSeed(Seed());
  EXPECT_FALSE(Create("no/such/folder/out.dgn"));
  EXPECT_EQ(host_.messages, std::vector<std::string>{kCreateFailed});

  host_.messages.clear();
  UseSeed(Bytes{'n', 'o', 't', ' ', 'a', ' ', 'd', 'g', 'n'});
  EXPECT_FALSE(Create());
  EXPECT_EQ(host_.messages, std::vector<std::string>{kCreateFailed});
}

// ---------------------------------------------------------------------------
// Cutting polylines into elements
// ---------------------------------------------------------------------------

TEST_F(Export, PolylinesAreCutIntoRunsSharingTheirBoundaryVertex) {
  struct Case {
    bool three_d;
    int kind, points;
    std::vector<std::pair<int, int>> runs;  // first and last vertex of each element
  };
  const Case cases[] = {
      {false, 0, 0, {}},
      {false, 0, 1, {}},
      {false, 0, 2, {{0, 1}}},
      {false, 0, 51, {{0, 50}}},
      {false, 0, 52, {{0, 50}, {50, 51}}},
      {false, 0, 101, {{0, 50}, {50, 100}}},
      {false, 1, 120, {{0, 50}, {50, 100}, {100, 119}}},
      {true, 0, 40, {{0, 38}, {38, 39}}},
      {true, 1, 39, {{0, 38}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << (c.three_d ? "3D " : "2D ") << c.points << " points");
    dgnkit::TcbSpec tcb;
    tcb.three_d = c.three_d;
    UseSeed(Seed(tcb));
    host_.messages.clear();
    ASSERT_TRUE(Create());
    EXPECT_TRUE(Add(Obj(c.kind), Line(c.points, 7.5)));
    EXPECT_TRUE(host_.messages.empty());
    Lib().Close(&map_);
    const int dim = c.three_d ? 3 : 2;
    const std::vector<Raw> added = Added();
    ASSERT_EQ(added.size(), c.runs.size());
    for (size_t e = 0; e < added.size(); ++e) {
      const Raw &r = added[e];
      EXPECT_EQ(r.type(), c.kind == 1 ? 6 : 4);  // two points too: a line string
      const int first = c.runs[e].first, n = c.runs[e].second - first + 1;
      ASSERT_EQ(r.count(), n);
      ASSERT_EQ(r.b.size(), 38u + size_t(4 * dim * n));
      for (int i = 0; i < n; ++i)
        EXPECT_EQ(r.Vertex(i, dim), (std::array<int32_t, 3>{100 * (first + i), 200 * (first + i),
                                                            c.three_d ? 750 : 0}));
    }
  }
}

TEST_F(Export, HeaderFieldsAreTakenFromTheObjectAndClamped) {
  struct Case {
    int level;
    int32_t color;
    float width;
    int style;
    int wantLevel, wantColor, wantWeight, wantStyle;
  };
  const Case cases[] = {
      {5, 0x0000FF, 2.9f, 3, 5, 1, 2, 3},      // red is index 1 in this file
      {0, -1, 1.0f, -1, 0, 255, 1, 0},         // -1: white; no style: 0
      {70, 0xFF0000, 40.0f, 9, 63, 2, 31, 7},  // out of range: clamped
      {-3, 0x00FF00, -2.0f, -5, 0, 3, 0, 0},
      {63, 0x000000, NAN, 7, 63, 255, 0, 7},  // 0: the host sends white as 0
  };
  UseSeed(Seed());
  ASSERT_TRUE(Create());
  for (const Case &c : cases) ASSERT_TRUE(Add(Obj(0, c.level, c.color, c.width, c.style), Line(3)));
  Lib().Close(&map_);
  const std::vector<Raw> added = Added();
  ASSERT_EQ(added.size(), std::size(cases));
  for (size_t i = 0; i < added.size(); ++i) {
    SCOPED_TRACE(i);
    const Raw &r = added[i];
    EXPECT_EQ(r.b[0], cases[i].wantLevel);  // no complex bit
    EXPECT_EQ(r.b[1], 4);
    EXPECT_EQ(r.b[28] | r.b[29], 0);  // graphic group
    EXPECT_EQ(r.b[34], cases[i].wantWeight << 3 | cases[i].wantStyle);
    EXPECT_EQ(r.b[35], cases[i].wantColor);
  }
}

// ---------------------------------------------------------------------------
// Refused polylines write nothing
// ---------------------------------------------------------------------------

TEST_F(Export, RefusedPolylinesWriteNothing) {
  dgnkit::TcbSpec tcb3;
  tcb3.three_d = true;
  std::vector<TVectorPointPlugIn> misaligned = Line(3);
  misaligned[0].size = 35;
  struct Case {
    const char *name;
    bool three_d;
    int32_t count;
    std::vector<TVectorPointPlugIn> points;  // null array when empty
    std::string message;                     // expected text, or a part of it
  };
  const Case cases[] = {
      {"misaligned", false, 3, misaligned, kAlignment},
      {"negative count", false, -1, {}, "the point count -1 is negative"},
      {"no array", false, 2147483647, {}, "2147483647 points were announced but no point array"},
      {"off the plane",
       false,
       3,
       {Pt(0, 0), Pt(1, 1), Pt(3e7, 0)},
       "point 2 (x 30000000, y 0) lies outside the design plane of the DGN file, which holds x "
       "from -21474836.47 to 21474836.47, y from -21474836.47 to 21474836.47 (master units)"},
      {"not a number", false, 2, {Pt(0, 0), Pt(NAN, 1)}, "point 1 (x nan, y 1)"},
      {"off in z", true, 2, {Pt(0, 0, 0), Pt(1, 1, -2.2e7)}, "point 1 (x 1, y 1, z -22000000)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    dgnkit::TcbSpec tcb;
    tcb.three_d = c.three_d;
    UseSeed(Seed(tcb));
    ASSERT_TRUE(Create());
    const Bytes before = dgnkit::ReadFile(Path("out.dgn"));
    host_.messages.clear();
    std::vector<TVectorPointPlugIn> pts = c.points;
    TVectorObjectPlugIn o = Obj();
    EXPECT_EQ(
        Lib().AddPolyline(&map_, &o, c.count, pts.empty() ? nullptr : pts.data(), host_.sink()), 0);
    ASSERT_EQ(host_.messages.size(), 1u);
    EXPECT_NE(host_.messages[0].find(c.message), std::string::npos) << host_.messages[0];
    EXPECT_EQ(dgnkit::ReadFile(Path("out.dgn")), before);
    Lib().Close(&map_);
  }
}

TEST_F(Export, AcceptedEdgeCases) {
  UseSeed(Seed());
  ASSERT_TRUE(Create());
  TVectorObjectPlugIn o = Obj();
  // count 0 never looks at the points, so a null array is fine.
  EXPECT_EQ(Lib().AddPolyline(&map_, &o, 0, nullptr, host_.sink()), 1);
  // Only the first record's size is checked.
  std::vector<TVectorPointPlugIn> pts = Line(3);
  pts[1].size = 0;
  EXPECT_TRUE(Add(o, pts));
  // z is not stored in a 2D file, so it may be anything there; the edge of
  // the plane itself is still on it.
  EXPECT_TRUE(Add(o, {Pt(-21474836.0, 21474836.0, 1e300), Pt(0, 0, NAN)}));
  EXPECT_TRUE(host_.messages.empty()) << testing::PrintToString(host_.messages);
  Lib().Close(&map_);
  const std::vector<Raw> added = Added();
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[1].Vertex(0, 2), (std::array<int32_t, 3>{-2147483600, 2147483600, 0}));
}

// ---------------------------------------------------------------------------
// Colours follow the file's own colour table
// ---------------------------------------------------------------------------

TEST_F(Export, ColoursAreMatchedAgainstTheTableTheFileCarries) {
  const int32_t red = 0x0000FF;
  // Created from a seed whose table differs from the built-in one.
  UseSeed(Seed());
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add(Obj(0, 1, red), Line(2)));
  Lib().Close(&map_);
  ASSERT_EQ(Added().size(), 1u);
  EXPECT_EQ(Added()[0].b[35], 1);

  // An existing file with its own table: already the first polyline.
  ASSERT_TRUE(OpenForUpdate(DesignFile({dgnkit::MakeColorTable(OddTable())})));
  ASSERT_TRUE(Add(Obj(0, 1, red), Line(2)));
  ASSERT_TRUE(Add(Obj(0, 1, red), Line(2)));
  Lib().Close(&map_);
  std::vector<Raw> all = Walk(dgnkit::ReadFile(Path("out.dgn")));
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[2].b[35], 1);
  EXPECT_EQ(all[3].b[35], 1);

  // Without a table of its own a file uses the built-in one (red is 3).
  ASSERT_TRUE(OpenForUpdate(DesignFile({})));
  ASSERT_TRUE(Add(Obj(0, 1, red), Line(2)));
  Lib().Close(&map_);
  all = Walk(dgnkit::ReadFile(Path("out.dgn")));
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].b[35], 3);
}

// ---------------------------------------------------------------------------
// Replacement in a file opened for update
// ---------------------------------------------------------------------------

TEST_F(Export, ReplacementInPlaceOrByDeletingAndAppending) {
  using dgnkit::MakeMultiPoint;
  const Bytes original = DesignFile({MakeMultiPoint(4, {{0, 0}, {1, 1}, {2, 2}}),
                                     MakeMultiPoint(4, {{5, 5}, {6, 6}, {7, 7}}),
                                     MakeMultiPoint(6, {{9, 9}, {9, 8}, {8, 8}, {9, 9}})});
  const std::vector<Raw> old = Walk(original);
  ASSERT_EQ(old.size(), 4u);

  // Same size: written over element 2, which keeps its place.
  ASSERT_TRUE(OpenForUpdate(original));
  ASSERT_TRUE(Add(Obj(0, 9, -1, 1, -1, 2), {Pt(50, 50), Pt(60, 60), Pt(70, 70)}));
  Lib().Close(&map_);
  std::vector<Raw> now = Walk(dgnkit::ReadFile(Path("out.dgn")));
  ASSERT_EQ(now.size(), 4u);
  EXPECT_EQ(now[2].offset, old[2].offset);
  EXPECT_EQ(now[2].b[0], 9);
  EXPECT_EQ(now[2].Vertex(1, 2), (std::array<int32_t, 3>{60, 60, 0}));
  EXPECT_EQ(now[1].b, old[1].b);
  EXPECT_EQ(now[3].b, old[3].b);

  // Other sizes: element 2 is marked deleted, nothing else of it or of the
  // elements around it changes, and the new elements are appended.  Only
  // the first element of the polyline replaces; a second add appends after.
  for (int n : {2, 4, 60}) {
    SCOPED_TRACE(n);
    ASSERT_TRUE(OpenForUpdate(original));
    ASSERT_TRUE(Add(Obj(0, 9, -1, 1, -1, 2), Line(n)));
    ASSERT_TRUE(Add(Obj(0, 8), Line(2)));
    Lib().Close(&map_);
    now = Walk(dgnkit::ReadFile(Path("out.dgn")));
    const size_t runs = n > 51 ? 2 : 1;
    ASSERT_EQ(now.size(), 4u + runs + 1);
    Bytes deleted = old[2].b;
    deleted[1] |= 0x80;
    EXPECT_EQ(now[2].b, deleted);
    EXPECT_EQ(now[1].b, old[1].b);
    EXPECT_EQ(now[3].b, old[3].b);
    EXPECT_EQ(now[4].count(), std::min(n, 51));
    EXPECT_EQ(now[4].b[0], 9);
    EXPECT_EQ(now.back().b[0], 8);
  }

  // An id naming no element, and any id in a created file, append.
  for (int id : {4, 999}) {
    ASSERT_TRUE(OpenForUpdate(original));
    ASSERT_TRUE(Add(Obj(0, 1, -1, 1, -1, id), Line(3)));
    Lib().Close(&map_);
    now = Walk(dgnkit::ReadFile(Path("out.dgn")));
    ASSERT_EQ(now.size(), 5u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(now[size_t(i)].b, old[size_t(i)].b);
  }
  UseSeed(Seed());
  ASSERT_TRUE(Create());
  ASSERT_TRUE(Add(Obj(0, 1, -1, 1, -1, 1), Line(3)));
  Lib().Close(&map_);
  now = Walk(dgnkit::ReadFile(Path("out.dgn")));
  ASSERT_EQ(now.size(), 4u);
  EXPECT_EQ(now[1].type(), 5);  // the seed's colour table is untouched
}

// Only what the import delivers as a polyline or polygon is replaced.  An id
// naming anything else leaves it untouched (the polyline is appended); a
// complex component is only rewritten in place, by one element of its type
// and size, and stays a component; a complex chain header, which only the
// whole map delivers, is no id here.
TEST_F(Export, ReplacementKeepsWhatTheImportDoesNotDeliverAndComplexElementsWhole) {
  using dgnkit::MakeMultiPoint;
  dgnkit::TextSpec text;
  text.raw_text = {'a', 'b'};
  std::vector<dgnkit::IPoint> long_run;
  for (int i = 0; i < 51; ++i) long_run.push_back({i, i});
  const Bytes original = DesignFile({
      dgnkit::MakeColorTable(OddTable()),                        // 1
      dgnkit::MakeText(text),                                    // 2
      dgnkit::MakeCellHeader({}),                                // 3
      AsComponent(MakeMultiPoint(3, {{0, 0}, {4, 4}})),          // 4: the cell's line
      dgnkit::MakeComplexHeader(12, 62, 2),                      // 5: a complex chain
      AsComponent(MakeMultiPoint(4, {{0, 0}, {1, 1}, {2, 2}})),  // 6
      AsComponent(MakeMultiPoint(4, long_run)),                  // 7
      AsDeleted(MakeMultiPoint(4, {{5, 5}, {6, 6}, {7, 7}})),    // 8
  });
  const std::vector<Raw> old = Walk(original);
  ASSERT_EQ(old.size(), 9u);
  struct Case {
    int id, kind, points;
    bool ok;
    int inPlace;               // the element rewritten in place, or -1: appended
    std::vector<int> deleted;  // elements marked deleted
  };
  const Case cases[] = {
      {1, 0, 3, true, -1, {}},    // colour table
      {2, 0, 3, true, -1, {}},    // text
      {3, 0, 3, true, -1, {}},    // cell header
      {8, 0, 3, true, -1, {}},    // a deleted line string of the same size
      {6, 0, 3, true, 6, {}},     // component, same type and size
      {6, 0, 4, false, -1, {}},   // component, another size
      {6, 1, 3, false, -1, {}},   // component, a shape of its size
      {7, 0, 52, false, -1, {}},  // component, the first of two elements of its size
      {4, 0, 2, false, -1, {}},   // the cell's line
      {5, 1, 60, true, -1, {}},   // chain header: no object of this import
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "id " << c.id << ", kind " << c.kind << ", " << c.points << " points");
    host_.messages.clear();
    ASSERT_TRUE(OpenForUpdate(original));
    EXPECT_EQ(Add(Obj(c.kind, 2, -1, 1, -1, c.id), Line(c.points)), c.ok);
    Lib().Close(&map_);
    const Bytes after = dgnkit::ReadFile(Path("out.dgn"));
    if (!c.ok) {
      ASSERT_EQ(host_.messages.size(), 1u);
      EXPECT_NE(host_.messages[0].find("is a component of a complex element"), std::string::npos)
          << host_.messages[0];
      EXPECT_EQ(after, original);
      continue;
    }
    EXPECT_TRUE(host_.messages.empty()) << testing::PrintToString(host_.messages);
    const std::vector<Raw> now = Walk(after);
    const size_t appended = c.inPlace >= 0 ? 0 : size_t(c.points > 51 ? 2 : 1);
    ASSERT_EQ(now.size(), old.size() + appended);
    for (size_t i = 0; i < old.size(); ++i) {
      SCOPED_TRACE(i);
      if (int(i) == c.inPlace) {
        EXPECT_EQ(now[i].offset, old[i].offset);
        EXPECT_EQ(now[i].b[0], 0x80 | 2);  // still a component, on the new level
        EXPECT_EQ(now[i].Vertex(2, 2), (std::array<int32_t, 3>{2, 4, 0}));
        continue;
      }
      Bytes want = old[i].b;
      if (std::find(c.deleted.begin(), c.deleted.end(), int(i)) != c.deleted.end()) want[1] |= 0x80;
      EXPECT_EQ(now[i].b, want);
    }
    if (appended > 0) {
      EXPECT_EQ(now[old.size()].type(), c.kind == 1 ? 6 : 4);
    }
  }
}

// With the whole map (DGN_Whole_Map=1): host texts become text elements, and
// lines and areas longer than one element complex chains and shapes, which
// come back as the objects they were; written back over themselves they give
// the same bytes; a joined object replaced goes whole.
TEST_F(Export, WholeMapKeepsTextsAndLongLinesAndAreasWhole) {
  UseSeed(Seed());
  WriteIni(ReadText(Path("gps.ini")) + "DGN_Whole_Map=1\n");
  struct Text {
    std::string name;
    float height, rotation;
    int justification, level;
    double x, y;
  };
  const Text texts[] = {{"Mill Lane \xE9", 2.5f, 30.5f, 7, 5, 12.5, 3.25},
                        {"\x80 5", 1.25f, -45.0f, 2, 6, 100.75, -7.25}};  // the euro: 16-bit
  auto addText = [&](const Text &t, int id) {
    TVectorObjectPlugIn o = Obj(3, t.level, 0x0000FF, 1, 2, id);
    std::string name = t.name;
    TVectorTextPlugIn info{20, 0, t.height, t.rotation, t.justification};
    o.name = &name[0];
    o.textInfo = &info;
    return Add(o, {Pt(t.x, t.y)});
  };
  std::vector<TVectorPointPlugIn> area, line;
  for (int i = 0; i < 120; ++i)
    area.push_back(Pt(50 * std::cos(i * 0.05), 50 * std::sin(i * 0.05)));
  for (int i = 0; i < 130; ++i) line.push_back(Pt(i, i % 7));
  ASSERT_TRUE(Create());
  for (const Text &t : texts) ASSERT_TRUE(addText(t, 0));
  ASSERT_TRUE(Add(Obj(1, 3), area));
  ASSERT_TRUE(Add(Obj(0, 4), line));
  Lib().Close(&map_);
  ASSERT_TRUE(host_.messages.empty()) << testing::PrintToString(host_.messages);
  const Bytes written = dgnkit::ReadFile(Path("out.dgn"));
  std::vector<int> types;
  for (const Raw &r : Walk(written)) types.push_back(r.type() | (r.b[0] & 0x80 ? 0x100 : 0));
  EXPECT_EQ(types,
            (std::vector<int>{9, 5, 5, 17, 17, 14, 0x104, 0x104, 0x104, 12, 0x104, 0x104, 0x104}));

  // Read back with the whole map (the map opened for update reads as well).
  auto readBack = [&](Host &reader) {
    TVectorMapPlugIn map = MapRecord(1, 0, 0);
    map.directory = &dir_[0];
    ASSERT_TRUE(Lib().Open(Path("out.dgn").c_str(), &map, reader.sink()));
    ASSERT_TRUE(Lib().Read(&map, reader.callbacks(), reader.sink(), reader.progress()));
    Lib().Close(&map);
  };
  Host reader;
  readBack(reader);
  ASSERT_EQ(reader.objects.size(), 4u);
  for (size_t k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(Val(reader.objects[k].objectKind), 3);
    EXPECT_EQ(reader.object_names[k], texts[k].name);
    // Heights are kept in steps of 6/1000 of a design unit (here 0.00006 m).
    EXPECT_NEAR(Val(reader.texts[k].height), texts[k].height, 0.00006);
    EXPECT_EQ(Val(reader.texts[k].rotation), texts[k].rotation);
    EXPECT_EQ(Val(reader.texts[k].justification), texts[k].justification);
    EXPECT_EQ(Val(reader.objects[k].level), texts[k].level);
    EXPECT_EQ(Val(reader.objects[k].style), 2);
    EXPECT_EQ(Val(reader.points[k].x), texts[k].x);
    EXPECT_EQ(Val(reader.points[k].y), texts[k].y);
  }
  EXPECT_EQ(Val(reader.objects[2].objectKind), 1);
  ASSERT_EQ(Val(reader.objects[2].numPoints), 121);  // closed by its first vertex
  EXPECT_EQ(Val(reader.objects[3].numPoints), 130);
  for (int i = 0; i < 121; ++i) {
    const TVectorPointPlugIn &got = reader.points[size_t(2 + i)];
    EXPECT_NEAR(got.x, area[size_t(i % 120)].x, 0.01);
    EXPECT_NEAR(got.y, area[size_t(i % 120)].y, 0.01);
  }

  // Everything the import gave, written back in its place, leaves the bytes.
  map_ = MapRecord(1, 1, 0);
  map_.directory = &dir_[0];
  ASSERT_TRUE(Lib().Open(Path("out.dgn").c_str(), &map_, host_.sink()));
  size_t next = 0;
  for (size_t k = 0; k < 2; ++k) {
    TVectorObjectPlugIn o = reader.objects[k];
    std::string name = reader.object_names[k];
    TVectorTextPlugIn info = reader.texts[k];
    o.name = &name[0];
    o.textInfo = &info;
    ASSERT_TRUE(Add(o, {reader.points[next++]}));
  }
  Lib().Close(&map_);
  EXPECT_EQ(dgnkit::ReadFile(Path("out.dgn")), written);

  // An edited street name of another length, and the area replaced: the old
  // text, the complex shape's header and its three components are deleted.
  map_ = MapRecord(1, 1, 0);
  map_.directory = &dir_[0];
  ASSERT_TRUE(Lib().Open(Path("out.dgn").c_str(), &map_, host_.sink()));
  Text renamed = texts[0];
  renamed.name = "Mill Lane Road";
  ASSERT_TRUE(addText(renamed, reader.objects[0].elementId));
  ASSERT_TRUE(Add(Obj(1, 3, -1, 1, -1, reader.objects[2].elementId), Line(4)));
  Lib().Close(&map_);
  const std::vector<Raw> now = Walk(dgnkit::ReadFile(Path("out.dgn")));
  ASSERT_EQ(now.size(), 15u);
  for (size_t i = 0; i < now.size(); ++i)
    EXPECT_EQ(now[i].deleted(), i == 3 || (i >= 5 && i <= 8)) << i;
  Host after;
  readBack(after);
  ASSERT_EQ(after.objects.size(), 4u);  // no street name twice, no area twice
  EXPECT_EQ(after.object_names[2], "Mill Lane Road");
  EXPECT_EQ(Val(after.objects[3].numPoints), 4);
}

// ---------------------------------------------------------------------------
// dgnhost export and update
// ---------------------------------------------------------------------------

TEST_F(Export, DgnhostExportsAndUpdatesGeoJson) {
  const char *bin = std::getenv("DGN_BIN_DIR");
  ASSERT_NE(bin, nullptr);
  auto dgnhost = [&](const std::string &args, const std::string &geojson) {
    const std::string in = Path("in.geojson");
    EXPECT_TRUE(dgnkit::WriteFile(in, Bytes(geojson.begin(), geojson.end())));
    const std::string cmd = dgnkit::ProgramPrefix() + "\"" + bin + "/dgnhost\" " + args + " >\"" +
                            Path("log") + "\" 2>&1";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  UseSeed(Seed());
  const std::string out = Path("out.dgn");
  ASSERT_EQ(dgnhost("export " + Path("in.geojson") + " " + out + " --ini-dir " + dir_, R"({
    "type": "FeatureCollection", "features": [
    {"type": "Feature", "properties": {"level": 3, "color": "#FF0000", "width": 2.5, "style": 1},
     "geometry": {"type": "LineString", "coordinates": [[0, 0], [1, 1.5], [2, 0, 9]]}},
    {"type": "Feature", "properties": null, "geometry": {"type": "MultiLineString",
     "coordinates": [[[0, 0], [5, 5]], [[1, 1], [2, 2], [3, 3]]]}},
    {"type": "Feature", "properties": {"level": 7, "color": "#0000ff", "name": "lake"},
     "geometry": {"type": "Polygon", "coordinates": [[[0, 0], [10, 0], [10, 10], [0, 0]],
                                                     [[2, 2], [3, 2], [3, 3], [2, 2]]]}},
    {"type": "Feature", "properties": {}, "geometry": {"type": "MultiPolygon",
     "coordinates": [[[[0, 0], [1, 0], [1, 1], [0, 0]]]]}},
    {"type": "Feature", "properties": {"name": "\u00e9"}, "geometry": {"type": "Point", "coordinates": [1, 2]}},
    {"type": "Feature", "properties": {}, "geometry": null}]})"),
            0)
      << ReadText(Path("log"));
  std::vector<Raw> added = Added();
  ASSERT_EQ(added.size(), 6u);
  const int types[] = {4, 4, 4, 6, 6, 6}, levels[] = {3, 0, 0, 7, 7, 0},
            colors[] = {1, 255, 255, 2, 2, 255};
  for (size_t i = 0; i < added.size(); ++i) {
    EXPECT_EQ(added[i].type(), types[i]) << i;
    EXPECT_EQ(added[i].b[0], levels[i]) << i;
    EXPECT_EQ(added[i].b[35], colors[i]) << i;
  }
  EXPECT_EQ(added[0].b[34], 2 << 3 | 1);
  EXPECT_EQ(added[0].Vertex(1, 2), (std::array<int32_t, 3>{100, 150, 0}));
  EXPECT_EQ(added[4].count(), 4);

  // Update: the feature's elementId names the element its line replaces.
  const size_t size = dgnkit::ReadFile(out).size();
  ASSERT_EQ(dgnhost("update " + out + " " + Path("in.geojson"), R"({"type":"FeatureCollection",
    "features":[{"type":"Feature","properties":{"level":9,"elementId":3},
    "geometry":{"type":"LineString","coordinates":[[7,7],[8,8],[9,9]]}}]})"),
            0)
      << ReadText(Path("log"));
  EXPECT_EQ(dgnkit::ReadFile(out).size(), size);
  added = Added();
  ASSERT_EQ(added.size(), 6u);
  EXPECT_EQ(added[0].b[0], 9);
  EXPECT_EQ(added[0].Vertex(2, 2), (std::array<int32_t, 3>{900, 900, 0}));

  // Input that is not GeoJSON creates no file at all.
  EXPECT_EQ(dgnhost("export " + Path("in.geojson") + " " + Path("bad.dgn") + " --ini-dir " + dir_,
                    R"({"type":"FeatureCollection","features":[)"),
            1);
  EXPECT_FALSE(fs::exists(Path("bad.dgn")));
  EXPECT_NE(ReadText(Path("log")).find("not valid JSON"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Round trip: export, then import through the same library
// ---------------------------------------------------------------------------

int Nearest(const ColorTable &t, int32_t host) {
  const int r = host & 0xFF, g = host >> 8 & 0xFF, b = host >> 16 & 0xFF;
  int best = 0, bestDistance = 1 << 30;
  for (int i = 0; i < 256; ++i) {
    const int d = std::abs(r - t[size_t(i)][0]) + std::abs(g - t[size_t(i)][1]) +
                  std::abs(b - t[size_t(i)][2]);
    if (d < bestDistance) best = i, bestDistance = d;
  }
  return best;
}

TEST_F(Export, RoundTripThroughTheImport) {
  ColorTable builtinLike{};  // a table close to the usual eight hues
  const uint32_t hues[8] = {0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF,
                            0xFFFF00, 0xFF00FF, 0xFF7F00, 0x00FFFF};
  for (int i = 0; i < 256; ++i) {
    const uint32_t h = hues[i % 8], k = 255 - uint32_t(i / 8) * 7;
    builtinLike[size_t(i)] = {uint8_t((h >> 16 & 0xFF) * k / 255),
                              uint8_t((h >> 8 & 0xFF) * k / 255), uint8_t((h & 0xFF) * k / 255)};
  }
  for (const bool three_d : {false, true}) {
    for (const ColorTable &table : {builtinLike, OddTable()}) {
      SCOPED_TRACE(three_d ? "3D" : "2D");
      dgnkit::TcbSpec tcb;
      tcb.three_d = three_d;
      UseSeed(Seed(tcb, table));
      ASSERT_TRUE(Create());
      std::mt19937 rng(three_d ? 7 : 3);
      std::uniform_real_distribution<double> coord(-1e5, 1e5);
      struct Expect {
        int kind, level, color, weight;
        std::vector<TVectorPointPlugIn> points;
      };
      std::vector<Expect> expected;
      const int step = three_d ? 38 : 50;
      for (int p = 0; p < 40; ++p) {
        const int n = 2 + int(rng() % 130), kind = int(rng() % 2), level = int(rng() % 64);
        const int32_t color = int32_t(rng() & 0xFFFFFF);
        const float width = float(rng() % 3500) / 100.0f;
        std::vector<TVectorPointPlugIn> pts;
        for (int i = 0; i < n; ++i)
          pts.push_back(Pt(coord(rng), coord(rng), three_d ? coord(rng) : 0));
        ASSERT_TRUE(Add(Obj(kind, level, color, width), pts));
        const int c = Nearest(table, color);
        const int32_t rgb =
            table[size_t(c)][0] | table[size_t(c)][1] << 8 | table[size_t(c)][2] << 16;
        for (int start = 0; start < n; start += step) {
          const int len = std::min(n - start, step + 1);
          if (len < 2) continue;
          expected.push_back(
              {kind, level, rgb == 0xFFFFFF ? 0 : rgb, std::min(int(width), 31),
               std::vector<TVectorPointPlugIn>(pts.begin() + start, pts.begin() + start + len)});
        }
      }
      ASSERT_TRUE(host_.messages.empty());
      Lib().Close(&map_);

      Host reader;
      TVectorMapPlugIn map = MapRecord(1, 0, 0);
      ASSERT_TRUE(Lib().Open(Path("out.dgn").c_str(), &map, reader.sink()));
      ASSERT_TRUE(Lib().Read(&map, reader.callbacks(), reader.sink(), reader.progress()));
      Lib().Close(&map);
      ASSERT_EQ(reader.objects.size(), expected.size());
      size_t next = 0;
      for (size_t i = 0; i < expected.size(); ++i) {
        const TVectorObjectPlugIn &o = reader.objects[i];
        const Expect &e = expected[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(o.objectKind, e.kind);
        EXPECT_EQ(o.level, e.level);
        EXPECT_EQ(o.color, e.color);
        EXPECT_EQ(o.width, float(e.weight));
        ASSERT_EQ(o.numPoints, int32_t(e.points.size()));
        for (const TVectorPointPlugIn &want : e.points) {
          const TVectorPointPlugIn &got = reader.points[next++];
          EXPECT_NEAR(got.x, want.x, 0.01);
          EXPECT_NEAR(got.y, want.y, 0.01);
          EXPECT_NEAR(got.z, want.z, 0.01);
        }
      }
    }
  }
}

}  // namespace
