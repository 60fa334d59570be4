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

// An element with attribute linkage appended behind its body.
Bytes WithLinkage(Bytes e) {
  const Bytes linkage = {0x07, 0x10, 0x34, 0x12, 0x01, 0x00, 0x2A, 0x00};
  const size_t index = (e.size() - 32) / 2, words = (e.size() + linkage.size()) / 2 - 2;
  e[30] = uint8_t(index), e[31] = uint8_t(index >> 8), e[33] |= 0x08;
  e[2] = uint8_t(words), e[3] = uint8_t(words >> 8);
  e.insert(e.end(), linkage.begin(), linkage.end());
  return e;
}

// Element numbers in the map below (the TCB is element 0).
enum : int {
  kWhiteLine = 2,  // line string, colour 0 (white), group, class and property bits, linkage
  kFontText = 5,   // text in font 3, length multiplier 1.5 times its height, linkage
  kEllipse = 8,
  kChain = 10,      // complex chain announcing 3 components: line string, text, line string
  kJoined = 11,     // its first component
  kStray = 14,      // a fourth element with the complex bit: delivered alone
  kAfterStray = 15  // the plain line string after it
};

// A map with what other writers' maps carry, 2D or 3D: a colour table whose
// entry 0 is white, graphic groups, property bits, linkages, texts with
// fonts, arcs, a curve, a complex chain; one design unit per master unit.
Bytes Map(int dim) {
  using dgnkit::MakeMultiPoint;
  dgnkit::TcbSpec tcb;
  tcb.three_d = dim == 3;
  tcb.subunits_per_master = tcb.uor_per_subunit = 1;
  std::array<std::array<uint8_t, 3>, 256> table{};
  for (int i = 0; i < 256; ++i) table[size_t(i)] = {uint8_t(255 - i), uint8_t(i / 2), uint8_t(i)};
  table[0] = {255, 255, 255};
  const dgnkit::Display marked{7, 0x4403, 0, 2, 1}, grouped{9, 0, 4, 0, 0};
  const dgnkit::TextSpec text{3, 2, 1500, 1000, 0, {40, 50, 0}, {'M', 'i', 'l', 'l'}, -1};
  dgnkit::TextSpec wide = text;
  wide.raw_text = dgnkit::Text16({0x41, 0x0411});
  const dgnkit::ArcSpec arc{20, 20, 0, {100, 100, 0}, 10, 120, {2147483647, 0, 0, 0}};
  const std::vector<Bytes> chain = {
      AsComponent(MakeMultiPoint(4, {{0, 0}, {3, 4}}, dim, grouped)),
      AsComponent(dgnkit::MakeText(text, dim, grouped)),  // the import gives it alone
      AsComponent(MakeMultiPoint(4, {{3, 4}, {8, 4}}, dim, grouped))};
  const size_t chainWords = 1 + (chain[0].size() + chain[1].size() + chain[2].size()) / 2;
  return dgnkit::Concat({
      dgnkit::MakeTcb(tcb),                                                              // 0
      dgnkit::MakeColorTable(table),                                                     // 1
      WithLinkage(MakeMultiPoint(4, {{0, 0, 1}, {10, 5, 2}, {20, 0, 3}}, dim, marked)),  // 2
      MakeMultiPoint(3, {{5, 5}, {7, 9}}, dim, grouped, 2),                              // 3
      MakeMultiPoint(6, {{0, 0}, {9, 0}, {9, 9}, {0, 0}}, dim, grouped, 3),              // 4
      WithLinkage(dgnkit::MakeText(text, dim, grouped)),                                 // 5
      dgnkit::MakeText(wide, dim, grouped),                                              // 6
      dgnkit::MakeArc(arc, dim, grouped),                                                // 7
      dgnkit::MakeEllipse(arc, dim, marked),                                             // 8
      MakeMultiPoint(11, {{0, 0}, {5, 5}, {10, 3}, {15, 8}, {20, 0}, {25, 4}}, dim),     // 9
      dgnkit::MakeComplexHeader(12, uint16_t(chainWords), 3, 0, grouped),                // 10
      chain[0],
      chain[1],
      chain[2],                                                            // 11-13
      AsComponent(MakeMultiPoint(4, {{30, 30}, {31, 33}}, dim, grouped)),  // 14
      MakeMultiPoint(4, {{60, 60}, {61, 66}}, dim),                        // 15
      AsDeleted(MakeMultiPoint(4, {{1, 1}, {2, 2}}, dim)),                 // 16
      dgnkit::EndOfDesign(),
  });
}

// The elements of a file, as stored.
std::vector<Bytes> Elements(const Bytes &file) {
  std::vector<Bytes> out;
  for (size_t pos = 0; pos + 4 <= file.size() && file[pos] != 0xFF;) {
    const size_t n = 4 + 2 * size_t(file[pos + 2] | file[pos + 3] << 8);
    out.emplace_back(file.begin() + long(pos), file.begin() + long(std::min(pos + n, file.size())));
    pos += n;
  }
  return out;
}

// A stored word, and a stored 32-bit integer (high word first).
int Word(const Bytes &b, size_t k) { return b[k] | b[k + 1] << 8; }
int32_t Int32(const Bytes &b, size_t k) {
  return int32_t(uint32_t(Word(b, k)) << 16 | Word(b, k + 2));
}

// One host object with its text and points.
struct Given {
  TVectorObjectPlugIn object{};
  std::string name;
  TVectorTextPlugIn text{};
  bool hasText = false;
  std::vector<TVectorPointPlugIn> points;
};

// A new polyline (kind 0) or polygon (1) of n points naming element `id`.
Given Line(int id, int n, int kind = 0, int dim = 2) {
  Given g;
  g.object.size = int32_t(sizeof g.object);
  g.object.elementId = id;
  g.object.objectKind = kind;
  g.object.level = 5;
  g.object.width = 1;
  g.object.style = -1;
  for (int i = 0; i < n; ++i) g.points.push_back(PointRecord(i % 1000, i / 1000 + i % 2, dim - 2));
  return g;
}

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
  // Writes the map and the host's gps.ini.
  void Start(const Bytes &map, bool wholeMap) {
    const std::string ini = wholeMap ? "[Mapa]\nDGN_Whole_Map=1\n" : "[Mapa]\n";
    ASSERT_TRUE(dgnkit::WriteFile(dir_ + "/gps.ini", Bytes(ini.begin(), ini.end())));
    ASSERT_TRUE(dgnkit::WriteFile(Path(), map));
  }
  // The objects the import delivers from the map.
  std::vector<Given> Import() {
    Host host;
    TVectorMapPlugIn map = MapRecord(1, 0, 0);
    map.directory = &dir_[0];
    EXPECT_TRUE(Lib().Open(Path().c_str(), &map, host.sink()));
    EXPECT_EQ(Lib().Read(&map, host.callbacks(), host.sink(), host.progress()), 1);
    Lib().Close(&map);
    std::vector<Given> out;
    size_t point = 0, text = 0;
    for (size_t k = 0; k < host.objects.size(); ++k) {
      Given g{host.objects[k], host.object_names[k], {}, host.objects[k].textInfo != nullptr, {}};
      if (g.hasText) g.text = host.texts[text++];
      for (int i = 0; i < host.objects[k].numPoints; ++i) g.points.push_back(host.points[point++]);
      out.push_back(g);
    }
    return out;
  }
  // Opens the map for update, adds the objects and closes it; gives the
  // add calls' answers, and the host's messages in `messages`.
  std::vector<bool> Update(std::vector<Given> objects, size_t messages = 0) {
    Host host;
    TVectorMapPlugIn map = MapRecord(1, 1, 0);
    map.directory = &dir_[0];
    EXPECT_TRUE(Lib().Open(Path().c_str(), &map, host.sink()));
    std::vector<bool> answers;
    for (Given &g : objects) {
      g.object.name = g.hasText ? &g.name[0] : nullptr;
      g.object.textInfo = g.hasText ? &g.text : nullptr;
      answers.push_back(Lib().AddPolyline(&map, &g.object, int32_t(g.points.size()),
                                          g.points.data(), host.sink()) != 0);
    }
    Lib().Close(&map);
    EXPECT_EQ(host.messages.size(), messages) << testing::PrintToString(host.messages);
    return answers;
  }
  std::string dir_;
};

TEST_F(Edit, AnImportWrittenBackWholeLeavesEveryByte) {
  for (int dim : {2, 3}) {
    for (bool whole : {false, true}) {
      SCOPED_TRACE(testing::Message() << dim << "D, whole map " << whole);
      const Bytes original = Map(dim);
      Start(original, whole);
      const std::vector<Given> given = Import();
      ASSERT_EQ(given.size(), whole ? 12u : 10u);
      EXPECT_EQ(Update(given), std::vector<bool>(given.size(), true));
      EXPECT_EQ(dgnkit::ReadFile(Path()), original);
    }
  }
}

// A changed object keeps the old element's group, class and property bits,
// linkage and font (length multiplier scaled with the height), and white
// stays white, in place or appended.
TEST_F(Edit, ChangedKeepsWhatTheHostRecordDoesNotCarry) {
  struct Case {
    const char *what;
    bool whole, lengthened;
    int id;
  };
  const Case cases[] = {
      {"white line moved", false, false, kWhiteLine},
      {"white line lengthened", false, true, kWhiteLine},
      {"text moved, twice the height", true, false, kFontText},
      {"ellipse moved", true, false, kEllipse},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes original = Map(2);
    Start(original, c.whole);
    Given g;
    for (const Given &d : Import())
      if (d.object.elementId == c.id) g = d;
    ASSERT_FALSE(g.points.empty());
    g.points[0].x += 3;
    if (c.lengthened) g.points.push_back(PointRecord(99, 99));
    g.text.height *= 2;
    Update({g});
    const std::vector<Bytes> before = Elements(original),
                             after = Elements(dgnkit::ReadFile(Path()));
    const Bytes &old = before[size_t(c.id)];
    const bool inPlace = after.size() == before.size();
    const Bytes &now = inPlace ? after[size_t(c.id)] : after.back();
    EXPECT_EQ(inPlace, (after[size_t(c.id)][1] & 0x80) == 0);
    for (size_t k : {28, 32}) EXPECT_EQ(Word(now, k), Word(old, k)) << "group, properties";
    EXPECT_EQ(now[35], old[35]) << "colour";
    EXPECT_EQ(Bytes(now.begin() + 32 + 2 * Word(now, 30), now.end()),
              Bytes(old.begin() + 32 + 2 * Word(old, 30), old.end()))
        << "linkage";
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
    std::vector<int> ids;  // one line string per id, in order
    int points;            // of each
    int inPlace;           // the element rewritten in place, or -1
    std::vector<int> deleted;
    int appended;
  };
  const int kAppendedNow = 17;  // the element the first add of a session appends
  const Case cases[] = {
      {"plain: a line string", false, {kAfterStray}, 3, -1, {kAfterStray}, 1},
      {"plain: a complex header is no id", false, {kChain}, 3, -1, {}, 1},
      {"plain: a component is delivered", false, {kJoined}, 2, kJoined, {}, 0},
      {"whole: a joined component is no id", true, {kJoined}, 3, -1, {}, 1},
      {"whole: the header, with what it joins", true, {kChain}, 3, -1, {kChain, kJoined, 13}, 1},
      {"whole: a stray complex element alone", true, {kStray}, 2, kStray, {}, 0},
      {"appended in this session", false, {0, kAppendedNow}, 3, -1, {}, 2},
      {"replaced in this session", false, {kAfterStray, kAfterStray}, 3, -1, {kAfterStray}, 2},
      {"colour table, deleted, beyond the end", false, {1, 16, 99}, 3, -1, {}, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes original = Map(2);
    Start(original, c.whole);
    std::vector<Given> adds;
    for (int id : c.ids) adds.push_back(Line(id, c.points));
    Update(adds);
    const std::vector<Bytes> before = Elements(original),
                             after = Elements(dgnkit::ReadFile(Path()));
    ASSERT_EQ(after.size(), before.size() + size_t(c.appended));
    for (size_t i = 0; i < before.size(); ++i) {
      Bytes want = before[i];
      if (int(i) == c.inPlace) want = Bytes{uint8_t(0x80 | 5)};  // a component on the new level
      for (int d : c.deleted)
        if (size_t(d) == i) want[1] |= 0x80;
      EXPECT_EQ(int(i) == c.inPlace ? Bytes{after[i][0]} : after[i], want) << "element " << i;
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
    Start(original, true);
    EXPECT_EQ(Update({Line(0, c.vertices, c.kind, c.dim)}, c.written ? 0 : 1),
              std::vector<bool>{c.written});
    if (!c.written) {
      EXPECT_EQ(dgnkit::ReadFile(Path()), original);
      continue;
    }
    // One object more, all its vertices there (an area closed by its first).
    const std::vector<Given> back = Import();
    ASSERT_EQ(back.size(), 13u);
    EXPECT_EQ(back.back().points.size(), size_t(c.vertices + c.kind));
  }
}

}  // namespace
