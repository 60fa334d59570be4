// The dgninspect tool: one block per element, index and summary views, exit
// codes.  Runs the built program from DGN_BIN_DIR.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "dgn_test_util.h"

namespace {

using dgnkit::Bytes;
using dgnkit::TempFile;

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

std::string Quote(const std::string &s) { return "'" + s + "'"; }

std::string ReadText(const std::string &path) {
  const Bytes b = dgnkit::ReadFile(path);
  return std::string(b.begin(), b.end());
}

class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *bin = std::getenv("DGN_BIN_DIR");
    if (bin == nullptr) GTEST_SKIP() << "DGN_BIN_DIR is not set";
    tool_ = std::string(bin) + "/dgninspect";
    if (dgnkit::ReadFile(tool_).empty()) GTEST_SKIP() << "dgninspect is not built";
  }

  ToolRun Inspect(const std::string &args) {
    TempFile out(".txt"), err(".txt");
    const int raw = std::system((dgnkit::ProgramPrefix() + Quote(tool_) + " " + args + " >" +
                                 Quote(out.path()) + " 2>" + Quote(err.path()))
                                    .c_str());
    ToolRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadText(out.path());
    r.err = ReadText(err.path());
    return r;
  }

  std::string tool_;
};

TEST_F(InspectTest, ShowsEveryElementOfTheSample) {
  for (bool three_d : {false, true}) {
    TempFile file(dgnkit::SampleFile(three_d));
    const ToolRun r = Inspect(Quote(file.path()));
    ASSERT_EQ(r.status, 0) << r.err;
    auto f = dgnkit::OpenBytes(dgnkit::SampleFile(three_d));
    int count = 0;
    DGNGetElementIndex(f.get(), &count);
    for (int i = 0; i < count; ++i) {
      EXPECT_NE(r.out.find("element " + std::to_string(i) + "\n"), std::string::npos) << i;
    }
    EXPECT_NE(r.out.find("end: " + std::to_string(count) + " elements"), std::string::npos);
    EXPECT_NE(r.out.find("end-of-design marker"), std::string::npos);
    for (const char *field : {"text: \"Hello\"", "sweep_angle: -90", "master_units: \"m \"",
                              "tag_set_name: \"PARCEL\"", "value: \"Smith\"", "flags: deleted",
                              "flags: complex", "name: \"CELL01\"", "surface_type: 2"}) {
      EXPECT_NE(r.out.find(field), std::string::npos) << field;
    }
  }
}

TEST_F(InspectTest, ElementBlockFormat) {
  dgnkit::TcbSpec tcb;
  tcb.uor_per_subunit = 10;
  tcb.subunits_per_master = 1;
  dgnkit::Display d;
  d.color = 3;
  d.weight = 2;
  d.style = 1;
  TempFile file(dgnkit::Concat({dgnkit::MakeTcb(tcb),
                                dgnkit::Element(DGNTYPE_LINE_STRING, 5)
                                    .SetRange({})
                                    .SetDisplay(d)
                                    .Word(2)
                                    .Points({{10, 20, 0}, {-5, 0, 0}}, 2)
                                    .Attributes({0xAB, 0xCD})
                                    .Build(),
                                dgnkit::EndOfDesign()}));
  const ToolRun r = Inspect(Quote(file.path()));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string expected =
      "element 1\n"
      "  offset: 1536\n"
      "  size: 56\n"
      "  type: 4 Line String\n"
      "  kind: 2 multipoint\n"
      "  level: 5\n"
      "  flags: -\n"
      "  graphic_group: 0\n"
      "  properties: 0x0800\n"
      "  color: 3\n"
      "  weight: 2\n"
      "  style: 1\n"
      "  vertices: 2\n"
      "    0 (1, 2)\n"
      "    1 (-0.5, 0)\n"
      "  attributes: AB CD\n"
      "\n"
      "end: 2 elements, stream ends at offset 1592 (end-of-design marker)\n";
  const size_t at = r.out.find("element 1\n");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(r.out.substr(at), expected);
}

TEST_F(InspectTest, IndexAndSummary) {
  TempFile file(dgnkit::SampleFile(false));
  const ToolRun index = Inspect("--index " + Quote(file.path()));
  ASSERT_EQ(index.status, 0);
  EXPECT_NE(index.out.find("index: 19 elements\n"), std::string::npos) << index.out;
  EXPECT_NE(index.out.find("extents (master units): low (-1, -2, 0) high (4.5, 4.5, 0)"),
            std::string::npos)
      << index.out;
  const ToolRun summary = Inspect("--summary " + Quote(file.path()));
  ASSERT_EQ(summary.status, 0);
  EXPECT_NE(summary.out.find("elements: 19\n"), std::string::npos);
  EXPECT_NE(summary.out.find("deleted: 1\n"), std::string::npos);
  EXPECT_NE(summary.out.find("complex components: 2\n"), std::string::npos);
}

TEST_F(InspectTest, ExitCodes) {
  TempFile missing;
  std::remove(missing.c_str());
  const ToolRun gone = Inspect(Quote(missing.path()));
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.err, "dgninspect: Unable to open `" + missing.path() + "' for read access.\n");
  EXPECT_TRUE(gone.out.empty());

  TempFile junk(Bytes{'n', 'o', 't', ' ', 'd', 'g', 'n'});
  const ToolRun bad = Inspect(Quote(junk.path()));
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("does not have expected DGN header."), std::string::npos);

  EXPECT_EQ(Inspect("").status, 2);
  EXPECT_EQ(Inspect("--frobnicate x.dgn").status, 2);
  EXPECT_EQ(Inspect("a.dgn b.dgn").status, 2);
  const ToolRun help = Inspect("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: dgninspect"), std::string::npos);
}

}  // namespace
