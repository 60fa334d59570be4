// Edits of a map opened for update: what the import gave, written back,
// leaves every byte; a changed object keeps what the host record does not
// carry; an id only names what the import delivered from the map as opened.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "plugin_host.h"

using namespace plugintest;
using dgnkit::Bytes;
namespace fs = std::filesystem;

namespace {

// A colour table as other writers make them: entry 0 is white, 1 black.
std::array<std::array<uint8_t, 3>, 256> WhiteFirstTable() {
  std::array<std::array<uint8_t, 3>, 256> t{};
  t[0] = {255, 255, 255};
  for (int i = 1; i < 256; ++i) t[size_t(i)] = {uint8_t(i - 1), uint8_t(i / 2), uint8_t(255 - i)};
  return t;
}

// An element with attribute linkage appended behind its body.
Bytes WithLinkage(Bytes e, const Bytes &linkage) {
  const size_t body = e.size();
  e[30] = uint8_t((body - 32) / 2);
  e[31] = uint8_t((body - 32) / 2 >> 8);
  e[33] |= 0x08;
  e.insert(e.end(), linkage.begin(), linkage.end());
  const size_t words = e.size() / 2 - 2;
  e[2] = uint8_t(words);
  e[3] = uint8_t(words >> 8);
  return e;
}

const Bytes kLinkage = {0x07, 0x10, 0x34, 0x12, 0x01, 0x00, 0x2A, 0x00};

// Element numbers in the map below (the TCB is element 0).
enum : int {
  kWhiteLine = 2,   // line string, colour 0 (white), group, class and property bits, linkage
  kFontText = 5,    // text in font 3 with length multiplier 1.5 times its height, linkage
  kChain = 10,      // complex chain announcing 2 components
  kJoined = 11,     // its first component
  kStray = 13,      // a third element with the complex bit: delivered alone
  kAfterStray = 14  // the plain line after it
};

// A map with the features other writers' maps have, 2D or 3D: one design
// unit per master unit.
Bytes Map(int dim) {
  using dgnkit::MakeMultiPoint;
  dgnkit::TcbSpec tcb;
  tcb.three_d = dim == 3;
  tcb.subunits_per_master = 1;
  tcb.uor_per_subunit = 1;
  dgnkit::Display marked;
  marked.graphic_group = 7;
  marked.properties = 0x4403;  // class 3, property bits
  marked.color = 0;
  marked.weight = 2;
  marked.style = 1;
  dgnkit::TextSpec text;
  text.font = 3;
  text.length_mult = 1500;
  text.height_mult = 1000;
  text.justification = 2;
  text.origin = {40, 50, 0};
  text.raw_text = {'M', 'i', 'l', 'l'};
  dgnkit::TextSpec wide = text;
  wide.font = 1;
  wide.raw_text = dgnkit::Text16({0x41, 0x0411});
  dgnkit::ArcSpec arc;
  arc.primary_axis = arc.secondary_axis = 20;
  arc.origin[0] = 100;
  arc.origin[1] = 100;
  arc.start_angle = 10;
  arc.sweep_angle = 120;
  arc.quat[0] = 2147483647;
  dgnkit::Display grouped;
  grouped.graphic_group = 9;
  grouped.color = 4;
  const int chainWords = (40 - 36) / 2 + 2 * (38 + 2 * 4 * dim) / 2;
  return dgnkit::Concat({
      dgnkit::MakeTcb(tcb),                                                             // 0
      dgnkit::MakeColorTable(WhiteFirstTable()),                                        // 1
      WithLinkage(MakeMultiPoint(4, {{0, 0, 1}, {10, 5, 2}, {20, 0, 3}}, dim, marked),  // 2
                  kLinkage),
      MakeMultiPoint(3, {{5, 5}, {7, 9}}, dim, grouped, 2),                           // 3
      MakeMultiPoint(6, {{0, 0}, {9, 0}, {9, 9}, {0, 0}}, dim, grouped, 3),           // 4
      WithLinkage(dgnkit::MakeText(text, dim, grouped), kLinkage),                    // 5
      dgnkit::MakeText(wide, dim, grouped),                                           // 6
      dgnkit::MakeArc(arc, dim, grouped),                                             // 7
      dgnkit::MakeEllipse(arc, dim, marked),                                          // 8
      MakeMultiPoint(11, {{0, 0}, {5, 5}, {10, 3}, {15, 8}, {20, 0}, {25, 4}}, dim),  // 9
      dgnkit::MakeComplexHeader(12, uint16_t(chainWords), 2, 0, grouped),             // 10
      AsComponent(MakeMultiPoint(4, {{0, 0}, {3, 4}}, dim, grouped)),                 // 11
      AsComponent(MakeMultiPoint(4, {{3, 4}, {8, 4}}, dim, grouped)),                 // 12
      AsComponent(MakeMultiPoint(4, {{30, 30}, {31, 33}}, dim, grouped)),             // 13
      MakeMultiPoint(4, {{60, 60}, {61, 66}}, dim),                                   // 14
      AsDeleted(MakeMultiPoint(4, {{1, 1}, {2, 2}}, dim)),                            // 15
      dgnkit::EndOfDesign(),
  });
}

// One element as stored.
struct Raw {
  Bytes b;
  bool deleted() const { return (b[1] & 0x80) != 0; }
};

std::vector<Raw> Walk(const Bytes &file) {
  std::vector<Raw> out;
  size_t pos = 0;
  while (pos + 4 <= file.size() && !(file[pos] == 0xFF && file[pos + 1] == 0xFF)) {
    const size_t n = 4 + 2 * size_t(file[pos + 2] | file[pos + 3] << 8);
    if (pos + n > file.size()) break;
    out.push_back({Bytes(file.begin() + long(pos), file.begin() + long(pos + n))});
    pos += n;
  }
  return out;
}

// A stored 32-bit integer: high word first.
int32_t Int32(const Bytes &b, size_t k) {
  return int32_t(uint32_t(b[k + 1]) << 24 | uint32_t(b[k]) << 16 | uint32_t(b[k + 3]) << 8 |
                 b[k + 2]);
}

// One object as the import delivered it, ready to be given back.
struct Given {
  TVectorObjectPlugIn object;
  std::string name;
  TVectorTextPlugIn text;
  bool hasText;
  std::vector<TVectorPointPlugIn> points;
};

class Edit : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Lib().error.empty()) << Lib().error;
    std::string templ = (fs::temp_directory_path() / "dgnedit-XXXXXX").string();
    ASSERT_NE(mkdtemp(&templ[0]), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path() const { return dir_ + "/map.dgn"; }
  void UseWholeMap(bool on) {
    const std::string ini = on ? "[Mapa]\nDGN_Whole_Map=1\n" : "[Mapa]\n";
    ASSERT_TRUE(dgnkit::WriteFile(dir_ + "/gps.ini", Bytes(ini.begin(), ini.end())));
  }
  // The objects the import delivers from the map file.
  std::vector<Given> Import() {
    Host host;
    TVectorMapPlugIn map = MapRecord(1, 0, 0);
    map.directory = &dir_[0];
    std::vector<Given> out;
    if (!Lib().Open(Path().c_str(), &map, host.sink())) return out;
    EXPECT_EQ(Lib().Read(&map, host.callbacks(), host.sink(), host.progress()), 1);
    Lib().Close(&map);
    size_t point = 0, text = 0;
    for (size_t k = 0; k < host.objects.size(); ++k) {
      Given g{host.objects[k], host.object_names[k], {}, host.objects[k].textInfo != nullptr, {}};
      if (g.hasText) g.text = host.texts[text++];
      for (int i = 0; i < host.objects[k].numPoints; ++i) g.points.push_back(host.points[point++]);
      out.push_back(g);
    }
    return out;
  }
  // Opens the map for update, adds the objects, closes it.
  void Update(std::vector<Given> objects, std::vector<bool> *results = nullptr) {
    Host host;
    TVectorMapPlugIn map = MapRecord(1, 1, 0);
    map.directory = &dir_[0];
    ASSERT_TRUE(Lib().Open(Path().c_str(), &map, host.sink()));
    for (Given &g : objects) {
      g.object.name = g.hasText ? &g.name[0] : nullptr;
      g.object.textInfo = g.hasText ? &g.text : nullptr;
      const bool ok = Lib().AddPolyline(&map, &g.object, int32_t(g.points.size()), g.points.data(),
                                        host.sink()) != 0;
      if (results != nullptr) results->push_back(ok);
    }
    Lib().Close(&map);
    EXPECT_TRUE(host.messages.empty()) << testing::PrintToString(host.messages);
  }
  // The delivered object of an element id.
  static Given Of(const std::vector<Given> &all, int id) {
    for (const Given &g : all)
      if (g.object.elementId == id) return g;
    ADD_FAILURE() << "no object of id " << id;
    return Given{};
  }
  std::string dir_;
};

TEST_F(Edit, AnImportWrittenBackWholeLeavesEveryByte) {
  for (int dim : {2, 3}) {
    for (bool whole : {false, true}) {
      SCOPED_TRACE(testing::Message() << dim << "D, whole map " << whole);
      const Bytes original = Map(dim);
      ASSERT_TRUE(dgnkit::WriteFile(Path(), original));
      UseWholeMap(whole);
      const std::vector<Given> given = Import();
      ASSERT_EQ(given.size(), whole ? 11u : 9u);
      std::vector<bool> results;
      Update(given, &results);
      EXPECT_EQ(results, std::vector<bool>(given.size(), true));
      EXPECT_EQ(dgnkit::ReadFile(Path()), original);
    }
  }
}

// A changed object keeps the old element's group, class and property bits,
// linkage and font (length multiplier scaled with the height), and white
// stays white; in place when the sizes match, appended otherwise.
TEST_F(Edit, ChangedKeepsWhatTheHostRecordDoesNotCarry) {
  struct Case {
    const char *what;
    bool whole;
    int id;
    int movedPoints;  // points added to the end (0: the first is moved)
  };
  const Case cases[] = {
      {"white line moved", false, kWhiteLine, 0},
      {"white line lengthened", false, kWhiteLine, 1},
      {"text moved, twice the height", true, kFontText, 0},
      {"ellipse moved", true, 8, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes original = Map(2);
    ASSERT_TRUE(dgnkit::WriteFile(Path(), original));
    UseWholeMap(c.whole);
    Given g = Of(Import(), c.id);
    g.points[0].x += 3;
    if (c.movedPoints > 0) g.points.push_back(PointRecord(99, 99));
    if (g.hasText) g.text.height *= 2;
    Update({g});
    const std::vector<Raw> before = Walk(original), after = Walk(dgnkit::ReadFile(Path()));
    const Bytes &old = before[size_t(c.id)].b;
    const bool inPlace = after.size() == before.size();
    const Bytes &now = inPlace ? after[size_t(c.id)].b : after.back().b;
    EXPECT_EQ(inPlace, !after[size_t(c.id)].deleted());
    EXPECT_EQ(now[28] | now[29] << 8, old[28] | old[29] << 8) << "graphic group";
    EXPECT_EQ(now[32] | now[33] << 8, old[32] | old[33] << 8) << "properties";
    EXPECT_EQ(now[35], old[35]) << "colour index";
    const size_t linkAt = 32 + 2 * size_t(old[30] | old[31] << 8);
    const size_t nowLinkAt = 32 + 2 * size_t(now[30] | now[31] << 8);
    EXPECT_EQ(Bytes(now.begin() + long(nowLinkAt), now.end()),
              Bytes(old.begin() + long(linkAt), old.end()));
    if (g.hasText) {
      EXPECT_EQ(now[36], old[36]) << "font";
      // Length and height multipliers (bytes 38 and 42): both doubled.
      EXPECT_EQ(Int32(now, 38), 2 * Int32(old, 38));
      EXPECT_EQ(Int32(now, 42), 2 * Int32(old, 42));
    }
  }
}

// What an id names: only an object that the import in the open's mode
// delivered from the map as it was opened; anything else is appended and
// touches nothing, and no element delivered alone goes with a header.
TEST_F(Edit, IdNamesOnlyWhatTheImportDelivered) {
  struct Case {
    const char *what;
    bool whole;
    std::vector<int> ids;      // one line per id, in order
    int points;                // of each line
    int inPlace;               // the element rewritten in place, or -1
    std::vector<int> deleted;  // elements then marked deleted
    int appended;
  };
  const int kAppendedNow = 16;  // the element the first add of a session appends
  const Case cases[] = {
      {"plain: a line string", false, {kAfterStray}, 3, -1, {kAfterStray}, 1},
      {"plain: a complex header is no id", false, {kChain}, 3, -1, {}, 1},
      {"plain: a component is delivered", false, {kJoined}, 2, kJoined, {}, 0},
      {"whole: a joined component is no id", true, {kJoined}, 3, -1, {}, 1},
      {"whole: the header goes with what it joins",
       true,
       {kChain},
       3,
       -1,
       {kChain, kJoined, 12},
       1},
      {"whole: a stray complex element alone", true, {kStray}, 2, kStray, {}, 0},
      {"appended in this session", false, {0, kAppendedNow}, 3, -1, {}, 2},
      {"replaced in this session", false, {kAfterStray, kAfterStray}, 3, -1, {kAfterStray}, 2},
      {"colour table, deleted, beyond the end", false, {1, 15, 99}, 3, -1, {}, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes original = Map(2);
    ASSERT_TRUE(dgnkit::WriteFile(Path(), original));
    UseWholeMap(c.whole);
    std::vector<Given> adds;
    for (int id : c.ids) {
      Given g{};
      g.object.size = int32_t(sizeof g.object);
      g.object.elementId = id;
      g.object.level = 5;
      g.object.width = 1;
      g.object.style = -1;
      for (int i = 0; i < c.points; ++i) g.points.push_back(PointRecord(1 + i, 2 * i));
      adds.push_back(g);
    }
    Update(adds);
    const std::vector<Raw> before = Walk(original), after = Walk(dgnkit::ReadFile(Path()));
    ASSERT_EQ(after.size(), before.size() + size_t(c.appended));
    for (size_t i = 0; i < before.size(); ++i) {
      if (int(i) == c.inPlace) {
        EXPECT_EQ(after[i].b.size(), before[i].b.size());
        EXPECT_EQ(after[i].b[0], 0x80 | 5) << "still a component, on the new level";
        continue;
      }
      Bytes want = before[i].b;
      for (int d : c.deleted)
        if (size_t(d) == i) want[1] |= 0x80;
      EXPECT_EQ(after[i].b, want) << "element " << i;
    }
  }
}

// With the whole map a line or area too long for one element is one complex
// element as far as the header's 65535 words reach (51-vertex components of
// 223 words in 2D, 39-vertex ones of 253 in 3D); beyond, it is refused whole.
TEST_F(Edit, LongLinesAndAreasAreOneComplexElementOrRefused) {
  struct Case {
    int dim, kind, vertices;
    bool written;
  };
  const Case cases[] = {
      {2, 1, 293 * 50 + 1, true},   // 293 components: 65340 words
      {2, 0, 294 * 50 + 1, false},  // 294 would need 65563
      {3, 0, 259 * 38 + 1, true},   // 259 components: 65528 words
      {3, 1, 20000, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.dim << "D, " << c.vertices << " vertices");
    const Bytes original = Map(c.dim);
    ASSERT_TRUE(dgnkit::WriteFile(Path(), original));
    UseWholeMap(true);
    Given g{};
    g.object.size = int32_t(sizeof g.object);
    g.object.objectKind = c.kind;
    g.object.width = 1;
    g.object.style = -1;
    for (int i = 0; i < c.vertices; ++i)
      g.points.push_back(PointRecord(i % 1000, i / 1000 + (i % 2), c.dim == 3 ? 1 : 0));
    Host host;
    TVectorMapPlugIn map = MapRecord(1, 1, 0);
    map.directory = &dir_[0];
    ASSERT_TRUE(Lib().Open(Path().c_str(), &map, host.sink()));
    EXPECT_EQ(Lib().AddPolyline(&map, &g.object, int32_t(g.points.size()), g.points.data(),
                                host.sink()) != 0,
              c.written);
    Lib().Close(&map);
    EXPECT_EQ(host.messages.size(), c.written ? 0u : 1u);
    const std::vector<Given> back = Import();
    if (!c.written) {
      EXPECT_EQ(dgnkit::ReadFile(Path()), original);
      continue;
    }
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(back.back().points.size(), size_t(c.vertices + c.kind));  // an area comes closed
  }
}

}  // namespace
