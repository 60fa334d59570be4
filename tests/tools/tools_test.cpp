// The command-line host and the sample-map tool, run as a user runs them:
// dgnsample writes the sample map, dgnhost imports it through the built
// plug-in, and the GeoJSON and SVG it leaves are checked by a strict
// structural checker (python3) and by a real SVG renderer; export and update
// are held to what they write and report.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "dgn_elements.h"
#include "dgnmodel.h"
#include "mapgen.h"

namespace {

using dgnkit::Bytes;

std::string Env(const char *name) {
  const char *v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::string Q(const std::string &s) { return dgnkit::ShellQuote(s); }

bool Exists(const std::string &path) { return std::ifstream(path).good(); }

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs a shell command with its output captured (and no input: CI may run
// the tests with standard input closed).
Result Shell(const std::string &command) {
  dgnkit::TempFile out(".out"), err(".err");
  const int raw =
      std::system((command + " </dev/null >" + Q(out.path()) + " 2>" + Q(err.path())).c_str());
  Result r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = dgnkit::ReadText(out.path());
  r.err = dgnkit::ReadText(err.path());
  return r;
}

bool HaveProgram(const char *name) {
  return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class Tools : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Env("DGN_BIN_DIR").empty());
    ASSERT_FALSE(Env("DGN_SOURCE_DIR").empty());
  }
  std::string Host() const { return dgnkit::ProgramPrefix() + Q(Env("DGN_BIN_DIR") + "/dgnhost"); }
  std::string Sample() const {
    return dgnkit::ProgramPrefix() + Q(Env("DGN_BIN_DIR") + "/dgnsample");
  }
  std::string Checker() const {
    return "python3 " + Q(Env("DGN_SOURCE_DIR") + "/tests/tools/check_outputs.py");
  }
  // Checks GeoJSON and SVG with the structural checker; gives its facts.
  std::string Check(const std::string &geojson, const std::string &svg) {
    const Result r = Shell(Checker() + " --geojson " + Q(geojson) + " --svg " + Q(svg));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
  // Renders the SVG to PNG with a real renderer; gives the PNG's size.
  void Render(const std::string &svg, int *width, int *height) {
    *width = *height = -1;
    if (!HaveProgram("rsvg-convert")) GTEST_SKIP() << "rsvg-convert is not installed";
    dgnkit::TempFile png(".png");
    const Result r = Shell("rsvg-convert -o " + Q(png.path()) + " " + Q(svg));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string bytes = dgnkit::ReadText(png.path());
    ASSERT_GE(bytes.size(), 24u);
    ASSERT_EQ(bytes.substr(1, 3), "PNG");
    auto be32 = [&](size_t at) {
      int v = 0;
      for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
      return v;
    };
    *width = be32(16);  // IHDR width, then height
    *height = be32(20);
  }
};

TEST_F(Tools, SampleMapImportsToValidGeoJsonAndAnSvgThatRenders) {
  dgnkit::TempFile dgn(".dgn"), geojson(".geojson"), svg(".svg");
  Result r = Shell(Sample() + " " + Q(Env("DGN_SOURCE_DIR") + "/tools/sample_map.recipe") + " " +
                   Q(dgn.path()));
  ASSERT_EQ(r.status, 0) << r.err;
  r = Shell(Host() + " import " + Q(dgn.path()) + " --geojson " + Q(geojson.path()) + " --svg " +
            Q(svg.path()) + " --summary");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // The recipe: 11 polylines (4 roads, 2 fences, the river, 2 footpath
  // components, 2 tree marks), 13 shapes, 7 texts; the deleted old track, the
  // arc, the ellipses, the chain header and the cell headers are not imported.
  EXPECT_TRUE(Has(r.out, "31 objects on 8 layers")) << r.out;
  EXPECT_TRUE(Has(r.out, "Level 5              0         0         6         6")) << r.out;
  EXPECT_TRUE(Has(r.out, "total               11        13         7       108")) << r.out;

  const std::string facts = Check(geojson.path(), svg.path());
  for (const char *fact :
       {"features 31\n", "geometry LineString 11\n", "geometry Polygon 13\n", "geometry Point 7\n",
        "text Quai de l'\xC3\x89"
        "cluse\n",                                        // the 16-bit text, Latin-1 to UTF-8
        "text Smith & Sons Mill\n", "color #000000 2\n",  // white town hall sent as 0
        "svg polygon 13\n", "svg polyline 11\n", "svg text 7\n"})
    EXPECT_TRUE(Has(facts, fact)) << fact << " not in:\n" << facts;

  int width = 0, height = 0;
  Render(svg.path(), &width, &height);
  EXPECT_TRUE(Has(facts, "svg size " + std::to_string(width) + " " + std::to_string(height)))
      << width << "x" << height << "\n"
      << facts;
  EXPECT_GT(width, height);  // 800 m by 600 m of town, north up
}

TEST_F(Tools, SampleMapWithTheWholeMapShowsArcsEllipsesAndTheChain) {
  dgnkit::TempFile dgn(".dgn"), geojson(".geojson"), svg(".svg");
  Result r = Shell(Sample() + " " + Q(Env("DGN_SOURCE_DIR") + "/tools/sample_map.recipe") + " " +
                   Q(dgn.path()));
  ASSERT_EQ(r.status, 0) << r.err;
  r = Shell(Host() + " import " + Q(dgn.path()) + " --whole-map --geojson " + Q(geojson.path()) +
            " --svg " + Q(svg.path()) + " --summary");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // Besides what the map always gives (the deleted track aside): the
  // roundabout arc, the pond and the two tree crowns as polygons, the
  // footpath as one polyline of its two components (5 points, one shared).
  EXPECT_TRUE(Has(r.out, "34 objects on 8 layers")) << r.out;
  EXPECT_TRUE(Has(r.out, "Level 8              1         0         0         5")) << r.out;
  EXPECT_TRUE(Has(r.out, "total               11        16         7")) << r.out;
  const std::string facts = Check(geojson.path(), svg.path());
  for (const char *fact :
       {"features 34\n", "svg polygon 16\n", "svg polyline 11\n", "svg text 7\n"})
    EXPECT_TRUE(Has(facts, fact)) << fact << " not in:\n" << facts;
  int width = 0, height = 0;
  Render(svg.path(), &width, &height);
  EXPECT_TRUE(Has(facts, "svg size " + std::to_string(width) + " " + std::to_string(height)))
      << width << "x" << height << "\n"
      << facts;
}

TEST_F(Tools, TextsAndShapesThatNeedCareStayValid) {
  auto text = [](const Bytes &raw, int x) {
    dgnkit::TextSpec want;
    want.raw_text = raw;
    want.origin = {x, 0, 0};
    want.height_mult = 100000;
    return dgnkit::MakeText(want);
  };
  const std::string quote = "say \"hi\" \\ <b>&amp;</b>";
  const Bytes file = dgnkit::Concat({
      dgnkit::MakeTcb({}),
      text(Bytes(quote.begin(), quote.end()), 0),
      text({'c', 'a', 'f', 0xE9, 0x01, 0x1F}, 50000),           // Latin-1 and control bytes
      text({0xE2, 0x82, 0xAC, ' ', 0xE2, 0x82}, 90000),         // UTF-8 bytes of a euro and a cut
                                                                // one: Windows-1252 all the same
      text({'5', 0x80, ' ', 0x96, ' ', 0xF1, 0x85}, 150000),    // Windows-1252 "5€ – ñ…"
      text({}, 120000),                                         // empty
      dgnkit::MakeMultiPoint(DGNTYPE_SHAPE, {{0, 0}, {9, 9}}),  // too few for a ring
      dgnkit::MakeMultiPoint(DGNTYPE_SHAPE, {{0, 0}, {90000, 0}, {0, 90000}}),  // unclosed
      dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{5, 5}}),
      dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {}),
      dgnkit::EndOfDesign(),
  });
  dgnkit::TempFile dgn(file), geojson(".geojson"), svg(".svg");
  const Result r = Shell(Host() + " import " + Q(dgn.path()) + " --geojson " + Q(geojson.path()) +
                         " --svg " + Q(svg.path()));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string facts = Check(geojson.path(), svg.path());
  for (const std::string &fact : std::vector<std::string>{
           "features 9\n", "text " + quote + "\n", "text caf\xC3\xA9\x01\x1F\n",
           "text \xC3\xA2\xE2\x80\x9A\xC2\xAC \xC3\xA2\xE2\x80\x9A\n", "text \n",
           "geometry LineString 1\n", "geometry Polygon 1\n", "geometry Point 6\n",
           "geometry null 1\n", "svg label " + quote + "\n",
           "text 5\xE2\x82\xAC \xE2\x80\x93 \xC3\xB1\xE2\x80\xA6\n",
           "svg label 5\xE2\x82\xAC \xE2\x80\x93 \xC3\xB1\xE2\x80\xA6\n"})
    EXPECT_TRUE(Has(facts, fact)) << fact << " not in:\n" << facts;
  int width = 0, height = 0;
  Render(svg.path(), &width, &height);
}

TEST_F(Tools, ExitStatusAndMessages) {
  dgnkit::TempFile notDgn(Bytes{'n', 'o', 't', ' ', 'a', ' ', 'm', 'a', 'p'});
  struct Case {
    std::string args;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {"import " + Q(notDgn.path()), 1,
       "dgnhost: plug-in: Error in DGN (QuarvelPlugIn_Open_Vector_Map) opening file " +
           notDgn.path() + " File `" + notDgn.path() + "' does not have expected DGN header.\n"},
      {"", 2, "usage: dgnhost"},
      {"import", 2, "usage: dgnhost"},
      {"import a.dgn --svg", 2, "unexpected argument '--svg'"},
      {"frobnicate", 2, "unknown command 'frobnicate'"},
      {"--plugin /nonexistent/Dgn_plugin.so info", 1, "dgnhost: "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    const Result r = Shell(Host() + " " + c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(Has(r.err, c.err)) << r.err;
  }
  const Result info = Shell(Host() + " info");
  EXPECT_EQ(info.status, 0);
  EXPECT_TRUE(Has(info.out, "interface version: 4\n")) << info.out;
  EXPECT_TRUE(Has(info.out, "file types:        6|DGN Vector Maps|dgn|\n")) << info.out;
  const Result help = Shell(Host() + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Has(help.out, "import FILE")) << help.out;
}

TEST_F(Tools, BadRecipesAreRefusedWithTheirLine) {
  struct Case {
    const char *recipe;
    std::string err;
  };
  const Case cases[] = {
      {"line level=1  0,0\n", ":1: a line has two points"},
      {"# fine\nshape level=64  0,0 1,0 0,1 0,0\n", ":2: '64' is not a whole number from 0 to 63"},
      {"text height=2 0,0\n", ":1: a text needs one \"string\""},
      {"+ line 0,0 1,1\n", ":1: a '+' component needs a chain or cell line above it"},
      {"spline 0,0 1,1\n", ":1: unknown element kind 'spline'"},
      {"linestring 0,0 9e99,1\n", ":1: coordinate out of the design plane"},
      {"chain level=2\nline 0,0 1,1\n", "chain has no '+' components"},
      {"color index=3 rgb=1,2\n", ":1: rgb has three parts"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.recipe);
    dgnkit::TempFile recipe(Bytes(c.recipe, c.recipe + std::char_traits<char>::length(c.recipe)),
                            ".recipe");
    dgnkit::TempFile scratch(".dgn");
    const Result r = Shell(Sample() + " " + Q(recipe.path()) + " " + Q(scratch.path()));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, c.err)) << r.err;
  }
  EXPECT_EQ(Shell(Sample()).status, 2);
}

// dgnhost export and update say exactly what they wrote.  An export that
// cannot write every line and area leaves an existing map as it was and no
// temporary file behind; empty and one-point geometries are named per
// feature, holes are told to have become shapes of their own.  An import
// whose output is the map itself, however spelt, is refused.  An update on a
// full disk counts only what went in and fails.
TEST_F(Tools, ExportAndUpdateReportWhatTheyWroteAndKeepTheMapOtherwise) {
  namespace fs = std::filesystem;
  std::string templ = (fs::temp_directory_path() / "dgnhost-XXXXXX").string();
  ASSERT_NE(mkdtemp(&templ[0]), nullptr);
  const std::string dir = templ;
  const std::string map = dir + "/map.dgn";
  auto geojson = [&](const std::string &name, const std::string &features) {
    const std::string text = "{\"type\":\"FeatureCollection\",\"features\":[" + features + "]}";
    EXPECT_TRUE(dgnkit::WriteFile(dir + "/" + name, Bytes(text.begin(), text.end())));
    return Q(dir + "/" + name);
  };
  auto feature = [](const std::string &geometry) {
    return "{\"type\":\"Feature\",\"properties\":{},\"geometry\":" + geometry + "}";
  };
  const std::string good = geojson(
      "good.geojson", feature(R"({"type":"LineString","coordinates":[[0,0],[1,1],[2,0]]})") + "," +
                          feature(R"({"type":"Polygon","coordinates":[[[0,0],[9,0],[9,9],[0,0]],)"
                                  R"([[1,1],[2,1],[2,2],[1,1]],[[5,5],[6,5],[6,6],[5,5]]]})"));
  Result r = Shell(Host() + " export " + good + " " + Q(map) + " --ini-dir " + Q(dir));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "exported 2 features as 4 polylines and polygons into " + map + "\n");
  EXPECT_EQ(r.err, "dgnhost: feature 1: 2 holes of its area written as separate shapes\n");
  const Bytes before = dgnkit::ReadFile(map);

  const std::string bad =
      geojson("bad.geojson", feature(R"({"type":"LineString","coordinates":[[0,0],[1,1]]})") + "," +
                                 feature(R"({"type":"LineString","coordinates":[]})") + "," +
                                 feature(R"({"type":"Polygon","coordinates":[[[4,4]]]})") + "," +
                                 feature(R"({"type":"MultiLineString","coordinates":[]})") + "," +
                                 feature(R"({"type":"LineString","coordinates":[[0,0],[3e7,1]]})"));
  r = Shell(Host() + " export " + bad + " " + Q(map) + " --ini-dir " + Q(dir));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  for (const char *part :
       {"feature 1: a line of 0 points cannot be written\n", "feature 1 was not written\n",
        "feature 2: a ring of 1 point cannot be written\n", "feature 3: its geometry is empty\n",
        "lies outside the design plane", "feature 4 was not written\n",
        "4 of 5 line and area features were not written; nothing was written to "})
    EXPECT_TRUE(Has(r.err, part)) << part << " not in:\n" << r.err;
  EXPECT_FALSE(Has(r.err, "feature 0")) << r.err;
  EXPECT_EQ(dgnkit::ReadFile(map), before);
  size_t files = 0;
  for (const auto &entry : fs::directory_iterator(dir)) files += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 4u) << "gps.ini, two inputs and the map, and nothing else";

  ASSERT_EQ(symlink(map.c_str(), (dir + "/link.dgn").c_str()), 0);
  for (const std::string &args : {" --geojson " + Q(map), " --svg " + Q(dir + "/./map.dgn"),
                                  " --geojson " + Q(dir + "/link.dgn")}) {
    SCOPED_TRACE(args);
    r = Shell(Host() + " import " + Q(map) + args);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "is the map being imported")) << r.err;
    EXPECT_EQ(dgnkit::ReadFile(map), before);
  }

  // A file size limit with room for one line string of 20 vertices (198
  // bytes) and its end-of-design marker, but not for two.
  if (HaveProgram("prlimit")) {
    std::string lines;
    for (int i = 0; i < 5; ++i) {
      std::string coords;
      for (int k = 0; k < 20; ++k)
        coords += (k ? ",[" : "[") + std::to_string(i) + "," + std::to_string(k) + "]";
      lines += (i ? "," : "") + feature(R"({"type":"LineString","coordinates":[)" + coords + "]}");
    }
    r = Shell("trap '' XFSZ; prlimit --fsize=" + std::to_string(before.size() + 300) + " " +
              Host() + " update " + Q(map) + " " + geojson("lines.geojson", lines));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "added 1 features as 1 polylines and polygons into " + map + "\n");
    EXPECT_TRUE(Has(r.err, "dgnhost: feature 4 was not written\n")) << r.err;
    EXPECT_TRUE(Has(r.err, "dgnhost: 4 of 5 line and area features were not written\n")) << r.err;
    // The old elements, one line string in place of the old end-of-design
    // marker, and a marker after it (what failed appends wrote beyond that
    // marker is no element).
    const Bytes after = dgnkit::ReadFile(map);
    const size_t end = before.size() - 2;
    ASSERT_GE(after.size(), end + 198 + 2);
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + long(end), after.begin()));
    EXPECT_EQ(after[end + 2] | after[end + 3] << 8, 97) << "words to follow of 198 bytes";
    EXPECT_EQ(after[end + 198], 0xFF);
    EXPECT_EQ(after[end + 199], 0xFF);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
}

// GeoJSON is read one feature at a time: members in any order, a byte-order
// mark and deep nesting are taken; a file that is not JSON is placed by line
// and column; and an update whose input turns out bad at its last feature
// leaves the map untouched, as a check of the whole file comes first.
TEST_F(Tools, GeoJsonOfAnyFormIsReadFeatureByFeature) {
  namespace fs = std::filesystem;
  std::string templ = (fs::temp_directory_path() / "dgnhost-XXXXXX").string();
  ASSERT_NE(mkdtemp(&templ[0]), nullptr);
  const std::string dir = templ, map = dir + "/map.dgn", in = dir + "/in.geojson";
  std::string nested = R"({"type":"LineString","coordinates":[[0,0],[5,5]]})";
  for (int i = 0; i < 40; ++i)
    nested = R"({"geometries":[)" + nested + R"(],"type":"GeometryCollection"})";
  struct Case {
    std::string command, text;
    int status;
    std::string out, err;
  };
  const std::string line =
      R"({"type":"Feature","geometry":{"type":"LineString","coordinates":[[0,0],[1,1]]}})";
  const Case cases[] = {
      {"export",
       "\xEF\xBB\xBF{\"features\":[{\"geometry\":{\"coordinates\":[[0,0],[3,4]],"
       "\"type\":\"LineString\"},\"properties\":{\"level\":2},\"type\":\"Feature\"},"
       "{\"type\":\"Feature\",\"geometry\":" +
           nested + "}],\"type\":\"FeatureCollection\"}",
       0, "exported 2 features as 2 polylines and polygons into " + map + "\n", ""},
      {"export", "{\"type\":\"FeatureCollection\",\n\"features\":[\n  {\"type\" \"Feature\"}]}", 1,
       "", "in.geojson is not valid JSON: line 3, column 11: "},
      {"export", "{\"type\":\"FeatureCollection\",\"features\":{}}", 1, "",
       "is not a GeoJSON FeatureCollection"},
      {"update",
       "{\"type\":\"FeatureCollection\",\"features\":[" + line + "," + line +
           ",{\"type\":\"Feature\",\"geometry\":{\"type\":\"Circle\",\"coordinates\":[]}}]}",
       1, "", "in.geojson: feature 2: unknown geometry type Circle\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(dgnkit::WriteFile(in, Bytes(c.text.begin(), c.text.end())));
    const Bytes before = Exists(map) ? dgnkit::ReadFile(map) : Bytes();
    const std::string args = c.command == "export" ? Q(in) + " " + Q(map) + " --ini-dir " + Q(dir)
                                                   : Q(map) + " " + Q(in);
    const Result r = Shell(Host() + " " + c.command + " " + args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    if (c.err.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_TRUE(Has(r.err, c.err)) << r.err;
    }
    if (c.status != 0) {
      EXPECT_EQ(dgnkit::ReadFile(map), before);
    }
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
}

// Many small elements: a file big enough for the progress bar.
Bytes BigFile(int lines) {
  std::vector<Bytes> parts{dgnkit::MakeTcb({})};
  for (int i = 0; i < lines; ++i)
    parts.push_back(dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{i, 0}, {i, 100}}, 2, {}, 1 + i % 3));
  parts.push_back(dgnkit::EndOfDesign());
  return dgnkit::Concat(parts);
}

TEST_F(Tools, CtrlCCancelsTheImportThroughThePlugIn) {
  dgnkit::TempFile dgn(BigFile(50)), scratch(".geojson");
  const std::string geojson = scratch.path() + "-not-written.geojson";
  // The hook raises a real SIGINT after the third element.
  const Result r =
      Shell(Host() + " import " + Q(dgn.path()) + " --interrupt-after 3 --geojson " + Q(geojson));
  EXPECT_EQ(r.status, 130);
  EXPECT_TRUE(Has(r.err, "dgnhost: plug-in: STOP\n")) << r.err;
  EXPECT_TRUE(Has(r.err, "cancelled after 3 of 51 elements")) << r.err;
  EXPECT_FALSE(Exists(geojson));
}

TEST_F(Tools, ProgressBarOnlyWhenStandardErrorIsATerminal) {
  dgnkit::TempFile dgn(BigFile(6000));
  const std::string command = Host() + " import " + Q(dgn.path()) + " --summary";
  const Result piped = Shell(command);
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.err, "");
  EXPECT_TRUE(Has(piped.out, "6001 elements read, 6000 objects on 3 layers")) << piped.out;

  if (!HaveProgram("script")) GTEST_SKIP() << "no 'script' to give dgnhost a terminal";
  const Result tty = Shell("script -qec " + Q(command) + " /dev/null");
  if (tty.status != 0 && Has(tty.err + tty.out, "pseudo-terminal"))
    GTEST_SKIP() << "no terminal can be made here: " << tty.err;
  ASSERT_EQ(tty.status, 0) << tty.out << tty.err;
  EXPECT_TRUE(Has(tty.out, "importing [")) << tty.out;
  EXPECT_TRUE(Has(tty.out, "100% (6001/6001)")) << tty.out;
}

TEST_F(Tools, GeoJsonToStandardOutput) {
  dgnkit::TempFile dgn(dgnkit::Concat(
      {dgnkit::MakeTcb({}), dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0}, {10000, 20000}}),
       dgnkit::EndOfDesign()}));
  const Result r = Shell(Host() + " import " + Q(dgn.path()) + " --geojson -");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"type\":\"FeatureCollection\"", 0), 0u) << r.out;
  EXPECT_TRUE(Has(r.out, "\"coordinates\":[[0,0],[1,2]]")) << r.out;  // 10000 units per metre
}

// The GeoJSON of a map of many batches is the same byte for byte whether
// helper threads format it or the import's own thread does.
TEST_F(Tools, GeoJsonIsTheSameOnAnyNumberOfThreads) {
  dgnkit::TempFile dgn, serial(".geojson"), threaded(".geojson");
  dgnbench::MapSpec want;
  want.element_count = 20000;
  std::string error;
  ASSERT_TRUE(dgnbench::WriteMap(dgn.c_str(), want, nullptr, &error)) << error;
  for (const char *threads : {"0", "3"}) {
    const std::string &out = threads[0] == '0' ? serial.path() : threaded.path();
    const Result r = Shell(Host() + " import " + Q(dgn.path()) + " --geojson " + Q(out) +
                           " --threads " + threads);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  const std::string a = dgnkit::ReadText(serial.path()), b = dgnkit::ReadText(threaded.path());
  EXPECT_GT(a.size(), 4000000u);  // some twenty batches
  EXPECT_TRUE(a == b) << "the threaded GeoJSON differs";
  EXPECT_EQ(Shell(Host() + " import " + Q(dgn.path()) + " --threads x").status, 2);
}

// What a map cannot hold as given is named, feature by feature.
TEST_F(Tools, ExportNamesWhatTheMapCannotHoldAsGiven) {
  struct Case {
    const char *properties, *geometry, *message;
  };
  const char kLine[] = R"({"type":"LineString","coordinates":[[0,0],[1,1]]})";
  const char kPoint[] = R"({"type":"Point","coordinates":[3,3]})";
  const Case cases[] = {
      {R"({"level":99})", kLine, "feature 0: level 99 is stored as 63\n"},
      {R"({"level":-2})", kLine, "feature 0: level -2 is stored as 0\n"},
      {R"({"width":1e30})", kLine, "feature 0: width 1e+30 is stored as 31\n"},
      {R"({"style":99})", kLine, "feature 0: style 99 is stored as 7\n"},
      {R"({"level":63,"width":31,"style":-1})", kLine, nullptr},
      {R"({"text":"Stra\u00dfe \u0411"})", kPoint,
       "feature 0: 1 character of its text is not in Windows-1252 and is stored as \"?\"\n"},
      {R"({"text":"Caf\u00e9 \u20ac"})", kPoint, nullptr},
  };
  dgnkit::TempFile in(".geojson"), out(".dgn");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.properties);
    const std::string text = std::string(R"({"type":"FeatureCollection","features":[)") +
                             R"({"type":"Feature","properties":)" + c.properties +
                             R"(,"geometry":)" + c.geometry + "}]}";
    ASSERT_TRUE(dgnkit::WriteFile(in.path(), Bytes(text.begin(), text.end())));
    const Result r =
        Shell(Host() + " export " + Q(in.path()) + " " + Q(out.path()) + " --whole-map");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, c.message == nullptr ? std::string() : "dgnhost: " + std::string(c.message));
  }
}

// An update, and an export over the file, are refused, with the reason and
// nothing written, while another handle (here, in this test's own process)
// holds the file open for update; an import goes on meanwhile, and the
// update succeeds once the file is closed.  Two features naming one element
// are both left out.  An import warns with the offset when the element stream stops
// before the end of the file, and refuses an input that is no regular file.
TEST_F(Tools, OneWriterAtATimeAndInputsThatCannotBeReadWhole) {
  const Bytes tcb = dgnkit::MakeTcb({});
  const Bytes line = dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0}, {10000, 20000}});
  const Bytes map = dgnkit::Concat({tcb, line, dgnkit::EndOfDesign()});
  dgnkit::TempFile dgn(map), in(".geojson");
  const std::string track =
      R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{},)"
      R"("geometry":{"type":"LineString","coordinates":[[0,0],[1,1]]}}]})";
  ASSERT_TRUE(dgnkit::WriteFile(in.path(), Bytes(track.begin(), track.end())));
  const std::string update = Host() + " update " + Q(dgn.path()) + " " + Q(in.path());

  DGNFile *held = DGNOpen(dgn.c_str(), true);
  ASSERT_NE(held, nullptr);
  Result r = Shell(update);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "' is open for update elsewhere")) << r.err;
  EXPECT_EQ(dgnkit::ReadFile(dgn.path()), map);
  r = Shell(Host() + " export " + Q(in.path()) + " " + Q(dgn.path()));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, " is open for update elsewhere; nothing was written")) << r.err;
  EXPECT_EQ(dgnkit::ReadFile(dgn.path()), map);
  r = Shell(Host() + " import " + Q(dgn.path()) + " --summary");
  EXPECT_EQ(r.status, 0) << r.err;
  DGNClose(held);
  r = Shell(update);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GT(dgnkit::ReadFile(dgn.path()).size(), map.size());
  const std::string feature = R"({"type":"Feature","properties":{"elementId":1},)"
                              R"("geometry":{"type":"LineString","coordinates":[[0,0],[2,2]]}})";
  const std::string twice =
      R"({"type":"FeatureCollection","features":[)" + feature + "," + feature + "]}";
  ASSERT_TRUE(dgnkit::WriteFile(in.path(), Bytes(twice.begin(), twice.end())));
  const Bytes before = dgnkit::ReadFile(dgn.path());
  r = Shell(update);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "feature 1 was not written: its elementId 1 is also named by feature 0"))
      << r.err;
  EXPECT_EQ(dgnkit::ReadFile(dgn.path()), before);

  Bytes cut = dgnkit::Concat({tcb, line, line});
  cut.resize(cut.size() - 3);
  dgnkit::TempFile damaged(cut);
  r = Shell(Host() + " import " + Q(damaged.path()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.err, "the element stream stops at offset " +
                             std::to_string(tcb.size() + line.size()) + ","))
      << r.err;
  // Standard input is /dev/null here: a device, no regular file.
  r = Shell(Host() + " import /dev/stdin");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "is not a regular file")) << r.err;
}

}  // namespace
