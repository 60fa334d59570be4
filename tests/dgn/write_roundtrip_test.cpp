// Round trips: random polylines written into created files and read back,
// and the seed files that the build places beside the host programs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dgn_test_util.h"
#include "dgnmodel.h"

namespace {

using dgnkit::Bytes;
using dgnkit::ElementPtr;
using dgnkit::HandlePtr;
using dgnkit::TempFile;

struct Polyline {
  int type;
  int level, color, weight, style;
  std::vector<DGNPoint> points;
};

std::vector<Polyline> RandomPolylines(int count, int max_points, unsigned seed, bool three_d) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> npoints(2, max_points);
  std::uniform_real_distribution<double> coord(-200000.0, 200000.0);
  std::uniform_int_distribution<int> level(0, 63), color(0, 255), weight(0, 31), style(0, 7);
  std::vector<Polyline> out;
  for (int i = 0; i < count; ++i) {
    Polyline p;
    p.type = i % 3 == 0 ? DGNTYPE_SHAPE : DGNTYPE_LINE_STRING;
    p.level = level(rng);
    p.color = color(rng);
    p.weight = weight(rng);
    p.style = style(rng);
    const int n = i == 0 ? max_points : i == 1 ? 2 : npoints(rng);
    for (int k = 0; k < n; ++k) {
      p.points.push_back({coord(rng), coord(rng), three_d ? coord(rng) / 100 : 0.0});
    }
    out.push_back(p);
  }
  return out;
}

// Writes the polylines as the plug-in's export does; false at the first failure.
bool WritePolylines(DGNFile *h, const std::vector<Polyline> &lines) {
  for (const Polyline &p : lines) {
    DGNMultiPointElement *e =
        DGNCreateMultiPointElem(h, p.type, static_cast<int>(p.points.size()), p.points.data());
    if (e == nullptr) return false;
    const bool ok =
        DGNUpdateElemCore(h, e, p.level, 0, p.color, p.weight, p.style) && DGNWriteElement(h, e);
    DGNFreeElement(h, e);
    if (!ok) return false;
  }
  return true;
}

// Runs a program and gives its standard output; empty if it cannot run.
std::string RunProgram(const std::string &command) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  pclose(pipe);
  return out;
}

size_t Occurrences(const std::string &text, const std::string &word) {
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
  return n;
}

std::string BinDir() {
  const char *dir = std::getenv("DGN_BIN_DIR");
  return dir == nullptr ? std::string() : std::string(dir);
}

TEST(WriteRoundTrip, RandomPolylinesComeBack) {
  for (const bool three_d : {false, true}) {
    SCOPED_TRACE(three_d ? "3D" : "2D");
    dgnkit::TcbSpec tcb;
    tcb.three_d = three_d;
    tcb.subunits_per_master = 10;
    tcb.uor_per_subunit = 100;  // 1 design unit = 1 mm
    TempFile seed(dgnkit::Concat({dgnkit::MakeTcb(tcb), dgnkit::EndOfDesign()}));
    TempFile out;
    // A global origin off zero, so that it takes part in the round trip.
    HandlePtr h(DGNCreate(out.c_str(), seed.c_str(), 0, 1000.0, -2500.0, three_d ? 10.0 : 0.0, 10,
                          100, "m", "mm"));
    ASSERT_NE(h, nullptr);
    const int max_points = three_d ? 39 : 59;
    const std::vector<Polyline> lines = RandomPolylines(300, max_points, three_d ? 11 : 7, three_d);
    ASSERT_TRUE(WritePolylines(h.get(), lines));
    h.reset();

    HandlePtr back(DGNOpen(out.c_str(), false));
    ASSERT_NE(back, nullptr);
    std::vector<ElementPtr> elements = dgnkit::ReadAll(back.get());
    ASSERT_EQ(elements.size(), lines.size() + 1);
    EXPECT_EQ(back->dimension, three_d ? 3 : 2);
    const double tolerance = back->scale;  // one design unit
    for (size_t i = 0; i < lines.size(); ++i) {
      const Polyline &p = lines[i];
      const DGNElement *e = elements[i + 1].get();
      ASSERT_EQ(e->kind, DGNKIND_MULTIPOINT) << i;
      EXPECT_EQ(e->type, p.type) << i;
      EXPECT_EQ(e->level, p.level) << i;
      EXPECT_EQ(e->color, p.color) << i;
      EXPECT_EQ(e->weight, p.weight) << i;
      EXPECT_EQ(e->style, p.style) << i;
      const auto *mp = static_cast<const DGNMultiPointElement *>(e);
      ASSERT_EQ(mp->num_vertices, static_cast<int>(p.points.size())) << i;
      for (int k = 0; k < mp->num_vertices; ++k) {
        EXPECT_NEAR(mp->vertices[k].x, p.points[k].x, tolerance) << i << "/" << k;
        EXPECT_NEAR(mp->vertices[k].y, p.points[k].y, tolerance) << i << "/" << k;
        EXPECT_NEAR(mp->vertices[k].z, p.points[k].z, tolerance) << i << "/" << k;
      }
    }
    back.reset();

    // The element dump shows every element written.
    const std::string inspect = BinDir() + "/dgninspect";
    if (BinDir().empty() || dgnkit::ReadFile(inspect).empty()) {
      ADD_FAILURE() << "dgninspect not found in DGN_BIN_DIR";
    } else {
      const std::string dump = RunProgram(dgnkit::ProgramPrefix() + "\"" + inspect +
                                          "\" --summary \"" + out.path() + "\"");
      const std::string full =
          RunProgram(dgnkit::ProgramPrefix() + "\"" + inspect + "\" \"" + out.path() + "\"");
      size_t shapes = 0;
      for (const Polyline &p : lines) shapes += p.type == DGNTYPE_SHAPE;
      EXPECT_EQ(Occurrences(full, "Line String"), lines.size() - shapes) << dump;
      EXPECT_EQ(Occurrences(full, "Shape"), shapes) << dump;
    }
  }
}

// ---------------------------------------------------------------------------
// Bundled seed files
// ---------------------------------------------------------------------------

struct SeedCase {
  const char *name;
  int dimension;
  const char *master_units;
  const char *sub_units;
  int subunits_per_master;
  int uor_per_subunit;
  DGNPoint probe;  // a point in master units to write and read back
};

TEST(WriteSeeds, BundledSeedsOpenAndMakeFiles) {
  const SeedCase cases[] = {
      {"seed2d.dgn", 2, "m", "cm", 100, 1, {500000.25, 4649776.22, 0}},
      {"seed3d.dgn", 3, "m", "cm", 100, 1, {-73.50, 10001234.07, 1234.56}},
      {"seedgeo.dgn", 2, "dg", "sc", 3600, 1000, {2.3522219, 48.856614, 0}},
  };
  ASSERT_FALSE(BinDir().empty()) << "DGN_BIN_DIR is not set";
  for (const SeedCase &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = BinDir() + "/symbols/dgnseeds/" + c.name;
    const Bytes seed_bytes = dgnkit::ReadFile(path);
    ASSERT_FALSE(seed_bytes.empty()) << path << " is missing: build the dgnseeds target";

    HandlePtr seed(DGNOpen(path.c_str(), false));
    ASSERT_NE(seed, nullptr);
    std::vector<ElementPtr> elements = dgnkit::ReadAll(seed.get());
    ASSERT_EQ(elements.size(), 3u);
    ASSERT_EQ(elements[0]->kind, DGNKIND_TCB);
    ASSERT_EQ(elements[0]->size, 1536);
    const auto *tcb = dgnkit::As<DGNTCBElement>(elements[0]);
    EXPECT_EQ(tcb->dimension, c.dimension);
    EXPECT_STREQ(tcb->master_units, c.master_units);
    EXPECT_STREQ(tcb->sub_units, c.sub_units);
    EXPECT_EQ(tcb->subunits_per_master, c.subunits_per_master);
    EXPECT_EQ(tcb->uor_per_subunit, c.uor_per_subunit);
    EXPECT_EQ(tcb->origin_x, 0.0);
    EXPECT_GT(tcb->views[0].delta.x, 0.0) << "the views show an area";
    EXPECT_EQ(elements[1]->kind, DGNKIND_COLOR_TABLE);
    EXPECT_EQ(elements[2]->type, DGNTYPE_LEVEL_SYMBOLOGY);
    EXPECT_EQ(seed->dimension, c.dimension);
    // The seed's colour table is the built-in one: colours look the same to
    // readers that know a file's table and to those that do not.
    EXPECT_EQ(std::memcmp(seed->color_table, DGNDefaultColorTable, sizeof seed->color_table), 0);
    seed.reset();

    // Creation as the plug-in does it: the patched TCB (the seeds' origin is
    // already 0), the seed's elements 1 and 2, and FF FF: the seed itself.
    TempFile out;
    HandlePtr h(
        DGNCreate(out.c_str(), path.c_str(), DGN_CREATE_SEED_UNITS, 0, 0, 0, 1, 1, "m", "m"));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(dgnkit::ReadFile(out.path()), seed_bytes);

    // A point in the seed's units comes back within one design unit.
    const DGNPoint pts[2] = {c.probe, {c.probe.x + 1, c.probe.y + 1, c.probe.z}};
    DGNMultiPointElement *e = DGNCreateMultiPointElem(h.get(), DGNTYPE_LINE_STRING, 2, pts);
    ASSERT_NE(e, nullptr);
    ASSERT_TRUE(DGNWriteElement(h.get(), e));
    DGNFreeElement(h.get(), e);
    h.reset();
    HandlePtr back(DGNOpen(out.c_str(), false));
    std::vector<ElementPtr> written = dgnkit::ReadAll(back.get());
    ASSERT_EQ(written.size(), 4u);
    const auto *line = dgnkit::As<DGNMultiPointElement>(written[3]);
    ASSERT_EQ(line->num_vertices, 2);
    EXPECT_NEAR(line->vertices[0].x, c.probe.x, back->scale);
    EXPECT_NEAR(line->vertices[0].y, c.probe.y, back->scale);
    EXPECT_NEAR(line->vertices[0].z, c.probe.z, back->scale);
  }
}

}  // namespace
