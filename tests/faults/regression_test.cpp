// Replayed cases of faults the fuzz targets found, each rebuilt with the raw
// element builder or kept as a tiny literal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cpl_error.h"
#include "dgnmodel.h"
#include "faults_util.h"
#include "platform.h"

using namespace faultstest;

namespace {

std::string Get(const std::string &file, const char *section, const char *key) {
  char buf[256];
  PlatGetPrivateProfileString(section, key, "(missing)", buf, sizeof buf, file.c_str());
  return buf;
}

// fuzz_ini: a section or key written with blanks around its name could not
// be read back (names in the file are read trimmed), and every further write
// added another line.  Found with the section "\taja..." written into a file
// without it.
TEST(FuzzRegression, IniNamesWithBlanksReadBackAndAreWrittenOnce) {
  ScratchDir dir;
  const std::string file = dir.Path("gps.ini");
  struct Case {
    const char *ini;
    const char *section;
    const char *key;
    const char *expected_file;
  } cases[] = {
      // The fuzz case, reduced: a file without the section.
      {".dgn\n", "\taja", "@`", ".dgn\n[\taja]\n@`=v\n"},
      {"[Mapa]\nDGN_Seed_File=a\n", " Mapa ", "DGN_Seed_File", "[Mapa]\nDGN_Seed_File=v\n"},
      {"[Mapa]\nDGN_Seed_File=a\n", "Mapa", "\tDGN_Seed_File  ", "[Mapa]\nDGN_Seed_File=v\n"},
      {"[ Mapa ]\n  K = a\n", "Mapa", "K", "[ Mapa ]\n  K = v\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("[") + c.section + "] " + c.key);
    ASSERT_TRUE(dgnkit::WriteFile(file, Bytes(c.ini, c.ini + std::strlen(c.ini))));
    for (int write = 0; write < 3; ++write)
      ASSERT_TRUE(PlatWritePrivateProfileString(c.section, c.key, "v", file.c_str()));
    const Bytes now = dgnkit::ReadFile(file);
    EXPECT_EQ(std::string(now.begin(), now.end()), c.expected_file);
    EXPECT_EQ(Get(file, c.section, c.key), "v");
  }
}

// fuzz_ini: a file whose last line ends in a lone CR (its CRLF cut short)
// got a whole line break after that CR when a key or section was added, so
// the last line's value gained a CR.  Found on "Lange=\r" at the end of the
// file; now only the missing LF is added.
TEST(FuzzRegression, IniLastLineEndingInACrKeepsItsValue) {
  ScratchDir dir;
  const std::string file = dir.Path("gps.ini");
  struct Case {
    const char *ini;
    const char *section;
    const char *expected_file;
  } cases[] = {
      {"[General]\r\nLange=\r", "Mapa", "[General]\r\nLange=\r\n[Mapa]\r\nOt=v"},
      {"[Mapa]\r\nA=1\r", "Mapa", "[Mapa]\r\nA=1\r\nOt=v"},
      {"[Mapa]\nA=1", "Mapa", "[Mapa]\nA=1\nOt=v"},
      {"[Mapa]\r\nA=1", "Mapa", "[Mapa]\r\nA=1\r\nOt=v"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.ini);
    ASSERT_TRUE(dgnkit::WriteFile(file, Bytes(c.ini, c.ini + std::strlen(c.ini))));
    ASSERT_TRUE(PlatWritePrivateProfileString(c.section, "Ot", "v", file.c_str()));
    const Bytes now = dgnkit::ReadFile(file);
    EXPECT_EQ(std::string(now.begin(), now.end()), c.expected_file);
    EXPECT_EQ(Get(file, "General", "Lange"), c.ini[1] == 'G' ? "" : "(missing)");
    EXPECT_EQ(Get(file, "Mapa", "A"), c.ini[1] == 'G' ? "(missing)" : "1");
  }
}

// fuzz_goto / fuzz_import: a line element too short for its two vertices was
// decoded with vertices made of the zeros past its end, and the import sent
// a segment the file does not hold.  Found as a 4-byte type-3 element.
TEST(FuzzRegression, ShortLinesKeepOnlyTheVerticesTheyHold) {
  ScratchDir dir;
  for (int dimension : {2, 3}) {
    SCOPED_TRACE(std::to_string(dimension) + "D");
    const int stride = 4 * dimension;
    dgnkit::TcbSpec tcb;
    tcb.three_d = dimension == 3;
    tcb.subunits_per_master = 1;
    tcb.uor_per_subunit = 1;
    tcb.origin[0] = 500;  // a made-up vertex would land on (-500, 0)
    // The fuzz case: the header alone.  Then one vertex, then one and a half.
    const Bytes bare = dgnkit::Element(DGNTYPE_LINE, 1).Build();
    const Bytes one = dgnkit::Element(DGNTYPE_LINE, 1)
                          .SetRange({})
                          .SetDisplay({})
                          .Points({{7, 8, 9}}, dimension)
                          .Build();
    const Bytes one_and_half = dgnkit::Element(DGNTYPE_LINE, 1)
                                   .SetRange({})
                                   .SetDisplay({})
                                   .Points({{7, 8, 9}}, dimension)
                                   .Int32(11)
                                   .Build();
    ASSERT_EQ(bare.size(), 4u);
    ASSERT_EQ(one.size(), static_cast<size_t>(36 + stride));
    const Bytes file =
        dgnkit::Concat({dgnkit::MakeTcb(tcb), bare, one, one_and_half, dgnkit::EndOfDesign()});

    const Import r = ImportFile(file, dir.Path("lines.dgn"));
    ASSERT_EQ(Breach(r), "");
    ASSERT_EQ(r.objects, 3);
    EXPECT_EQ(r.points, 2) << "no vertex for the bare line, one for each of the others";
    for (const std::string &line : r.drawn)
      EXPECT_EQ(line.find("-500 0"), std::string::npos) << "a made-up vertex: " << line;

    // The engine warns about each short line, as it does for short line strings.
    dgnkit::TempFile tmp(file);
    DGNFile *h = DGNOpen(tmp.c_str(), false);
    ASSERT_NE(h, nullptr);
    const CPLErrorHandlerFn previous = CPLSetErrorHandler(nullptr);
    DGNFreeElement(h, DGNReadElement(h));  // the TCB
    const int expected[] = {0, 1, 1};
    for (int k : expected) {
      DGNElement *e = DGNReadElement(h);
      ASSERT_NE(e, nullptr);
      ASSERT_EQ(e->kind, DGNKIND_MULTIPOINT);
      EXPECT_EQ(static_cast<DGNMultiPointElement *>(e)->num_vertices, k);
      EXPECT_EQ(CPLLastErrorClass(), CPLClassWarning);
      EXPECT_EQ(std::string(CPLLastErrorText()), "Trimming multipoint vertices to " +
                                                     std::to_string(k) +
                                                     " from 2 because\nelement is short.\n");
      DGNFreeElement(h, e);
    }
    CPLSetErrorHandler(previous);
    DGNClose(h);
  }
}

// fuzz_import: a second read of the same open map took the bytes after the
// end-of-design marker for elements and sent them; the stream now stays on
// the marker.  Found with old elements left after the marker.
TEST(FuzzRegression, NothingAfterTheEndOfDesignMarkerIsEverRead) {
  ScratchDir dir;
  const Bytes line = dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0}, {100, 100}}, 2, {}, 7);
  const Bytes shape =
      dgnkit::MakeMultiPoint(DGNTYPE_SHAPE, {{0, 0}, {5, 0}, {5, 5}, {0, 0}}, 2, {}, 9);
  const Bytes file =
      dgnkit::Concat({dgnkit::MakeTcb({}), line, dgnkit::EndOfDesign(), Bytes{0, 0}, shape});
  const std::string path = dir.Path("after_marker.dgn");
  ASSERT_TRUE(dgnkit::WriteFile(path, file));

  const plugintest::Plugin &p = plugintest::Lib();
  ASSERT_TRUE(p.error.empty()) << p.error;
  plugintest::Host first, second;
  TVectorMapPlugIn map = plugintest::MapRecord(1, 0, 0);
  ASSERT_EQ(p.Open(path.c_str(), &map, first.sink()), 1);
  EXPECT_EQ(p.Read(&map, first.callbacks(), first.sink(), first.progress()), 1);
  EXPECT_EQ(p.Read(&map, second.callbacks(), second.sink(), second.progress()), 1);
  p.Close(&map);
  EXPECT_EQ(first.objects.size(), 1u);
  EXPECT_EQ(first.layer_names, std::vector<std::string>{"Level 7"});
  EXPECT_EQ(second.log, std::vector<std::string>{"SetTotal(2)"});

  // In the engine: every read after the marker ends there, however often.
  DGNFile *h = DGNOpen(path.c_str(), false);
  ASSERT_NE(h, nullptr);
  int reads = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    while (DGNElement *e = DGNReadElement(h)) {
      ++reads;
      DGNFreeElement(h, e);
    }
  }
  EXPECT_EQ(reads, 2) << "the TCB and the line, once";
  DGNClose(h);
}

}  // namespace
