// Creating files from seeds, appending and rewriting elements, and what a
// write that fails part-way leaves in the file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cpl_conv.h"
#include "dgn_internal.h"
#include "dgn_test_util.h"
#include "dgnmodel.h"

namespace {

using dgnkit::Bytes;
using dgnkit::ElementPtr;
using dgnkit::ErrorCapture;
using dgnkit::HandlePtr;
using dgnkit::TempFile;

constexpr int kTcbBytes = 1536;

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

Bytes Slice(const Bytes &b, size_t at, size_t n) {
  if (at > b.size()) return {};
  if (n > b.size() - at) n = b.size() - at;
  return Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

Bytes DFloat(double v) {
  unsigned char b[8];
  std::memcpy(b, &v, 8);
  DGNDoubleToDFloat(b);
  return Bytes(b, b + 8);
}

dgnkit::TcbSpec SeedTcb(bool three_d = false) {
  dgnkit::TcbSpec t;
  t.three_d = three_d;
  t.subunits_per_master = 10;
  t.uor_per_subunit = 100;  // 1000 design units per master unit
  t.master_units = "m ";
  t.sub_units = "dm";
  t.origin[0] = 5000;  // a seed origin that creation replaces
  t.origin[1] = -7000;
  t.origin[2] = 0;
  return t;
}

std::array<std::array<uint8_t, 3>, 256> Rainbow(int shift) {
  std::array<std::array<uint8_t, 3>, 256> c{};
  for (int i = 0; i < 256; ++i) {
    c[i] = {static_cast<uint8_t>(i + shift), static_cast<uint8_t>(255 - i),
            static_cast<uint8_t>(i * 3)};
  }
  return c;
}

// Raw bytes of every element of a file, in order, read without decoding.
std::vector<Bytes> RawElements(const std::string &path, bool skip_deleted = false) {
  std::vector<Bytes> out;
  HandlePtr h(DGNOpen(path.c_str(), false));
  if (!h) return out;
  while (DGNLoadRawElement(h.get(), nullptr, nullptr)) {
    if (skip_deleted && (h->elem_buffer[1] & 0x80)) continue;
    out.emplace_back(h->elem_buffer, h->elem_buffer + h->elem_bytes);
  }
  return out;
}

// True when the file's element stream ends with the end-of-design marker
// (not with the end of the file or a cut-off element).
bool EndsWithMarker(const std::string &path) {
  const Bytes file = dgnkit::ReadFile(path);
  size_t at = 0;
  while (at + 2 <= file.size()) {
    if (file[at] == 0xFF && file[at + 1] == 0xFF) return true;
    if (at + 4 > file.size()) return false;
    at += 4 + 2 * static_cast<size_t>(file[at + 2] | (file[at + 3] << 8));
  }
  return false;
}

// A new file made from `seed` with the plug-in's flags.
struct Created {
  std::unique_ptr<TempFile> seed;
  std::unique_ptr<TempFile> out;
  HandlePtr handle;
};

Created CreateFrom(const Bytes &seed, int flags = DGN_CREATE_SEED_UNITS) {
  Created c;
  c.seed = std::make_unique<TempFile>(seed);
  c.out = std::make_unique<TempFile>();
  c.handle.reset(DGNCreate(c.out->c_str(), c.seed->c_str(), flags, 0, 0, 0, 1, 1, "m", "m"));
  return c;
}

struct MultiPointDeleter {
  void operator()(DGNMultiPointElement *e) const { DGNFreeElement(nullptr, e); }
};
using MultiPointPtr = std::unique_ptr<DGNMultiPointElement, MultiPointDeleter>;

// A line string of `n` points starting at (x0, 0), level `level`.
MultiPointPtr LineString(DGNFile *h, int n, double x0 = 0, int level = 3) {
  std::vector<DGNPoint> pts;
  for (int i = 0; i < n; ++i) pts.push_back({x0 + i, static_cast<double>(i % 2), 0});
  MultiPointPtr e(DGNCreateMultiPointElem(h, DGNTYPE_LINE_STRING, n, pts.data()));
  if (e) DGNUpdateElemCore(h, e.get(), level, 0, 1, 0, 0);
  return e;
}

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------

TEST(WriteCreate, BareTcbWithThePluginFlags) {
  const Bytes tcb = dgnkit::MakeTcb(SeedTcb());
  Created c = CreateFrom(dgnkit::Concat({tcb, dgnkit::EndOfDesign()}));
  ASSERT_NE(c.handle, nullptr);
  const Bytes out = dgnkit::ReadFile(c.out->path());
  ASSERT_EQ(out.size(), static_cast<size_t>(kTcbBytes + 2));
  EXPECT_EQ(Slice(out, 0, 1240), Slice(tcb, 0, 1240)) << "units and everything before the origin";
  EXPECT_EQ(Slice(out, 1240, 24), Bytes(24, 0)) << "origin (0, 0, 0), whatever the seed's";
  EXPECT_EQ(Slice(out, 1264, kTcbBytes - 1264), Slice(tcb, 1264, kTcbBytes - 1264));
  EXPECT_EQ(Slice(out, kTcbBytes, 2), Bytes({0xFF, 0xFF}));

  // The handle stands at the first element, and the file is usable at once.
  ASSERT_TRUE(DGNLoadTCB(c.handle.get()));
  EXPECT_DOUBLE_EQ(c.handle->scale, 0.001);
  EXPECT_EQ(c.handle->origin_x, 0.0);
  EXPECT_EQ(c.handle->dimension, 2);
}

TEST(WriteCreate, UnitsAndOriginArePatched) {
  const Bytes tcb = dgnkit::MakeTcb(SeedTcb());
  const Bytes seed = dgnkit::Concat({tcb, dgnkit::EndOfDesign()});
  TempFile seed_file(seed);
  TempFile out;
  HandlePtr h(DGNCreate(out.c_str(), seed_file.c_str(), 0, 1.5, 0.0, -2.0, 10, 1000, "ft", "in"));
  ASSERT_NE(h, nullptr);
  const Bytes b = dgnkit::ReadFile(out.path());
  EXPECT_EQ(Slice(b, 1112, 4), Bytes({0x00, 0x00, 0x0A, 0x00}));
  EXPECT_EQ(Slice(b, 1116, 4), Bytes({0x00, 0x00, 0xE8, 0x03}));
  EXPECT_EQ(Slice(b, 1120, 4), Bytes({'f', 't', 'i', 'n'}));
  EXPECT_EQ(Slice(b, 1240, 8), Bytes({0x6A, 0x47, 0x00, 0x60, 0, 0, 0, 0})) << "1.5 x 10000";
  EXPECT_EQ(Slice(b, 1248, 8), Bytes(8, 0));
  EXPECT_EQ(Slice(b, 1256, 8), DFloat(-20000.0));
  ASSERT_TRUE(DGNLoadTCB(h.get()));
  EXPECT_DOUBLE_EQ(h->scale, 0.0001);
  EXPECT_DOUBLE_EQ(h->origin_x, 1.5);
  EXPECT_DOUBLE_EQ(h->origin_z, -2.0);

  // Short names end at their terminator; nothing is read past it.
  TempFile out2;
  h.reset(
      DGNCreate(out2.c_str(), seed_file.c_str(), DGN_CREATE_SEED_ORIGIN, 0, 0, 0, 100, 1, "m", ""));
  ASSERT_NE(h, nullptr);
  const Bytes b2 = dgnkit::ReadFile(out2.path());
  EXPECT_EQ(Slice(b2, 1120, 4), Bytes({'m', 0, 0, 0}));
  EXPECT_EQ(Slice(b2, 1240, 24), Slice(tcb, 1240, 24)) << "the seed's origin is kept";
}

TEST(WriteCreate, CopiesTheElementsTheFlagsAskFor) {
  const Bytes tcb = dgnkit::MakeTcb(SeedTcb());
  const Bytes e1 = dgnkit::MakeColorTable(Rainbow(0));
  const Bytes e2 = dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0, 0}, {10, 20, 0}});
  dgnkit::ConeSpec cone;
  cone.radius_1 = 5;
  const Bytes e3 = dgnkit::MakeCone(cone);
  dgnkit::TextSpec text;
  text.raw_text = {'A', 'B'};
  const Bytes e4 = dgnkit::MakeText(text);
  const Bytes e5 = dgnkit::MakeColorTable(Rainbow(9));
  const Bytes seed = dgnkit::Concat({tcb, e1, e2, e3, e4, e5, dgnkit::EndOfDesign()});

  const struct {
    const char *label;
    int flags;
    std::vector<Bytes> after_tcb;
  } cases[] = {
      {"the plug-in's flags: elements 1 and 2", DGN_CREATE_SEED_UNITS, {e1, e2}},
      {"whole seed; the cone is not copied",
       DGN_CREATE_SEED_UNITS | DGN_CREATE_WHOLE_SEED,
       {e1, e2, e4, e5}},
      {"colour tables too", DGN_CREATE_SEED_UNITS | DGN_CREATE_SEED_COLOR_TABLE, {e1, e2, e5}},
  };
  for (const auto &c : cases) {
    Created made = CreateFrom(seed, c.flags);
    ASSERT_NE(made.handle, nullptr) << c.label;
    std::vector<Bytes> expected = {Slice(dgnkit::ReadFile(made.out->path()), 0, kTcbBytes)};
    for (const Bytes &e : c.after_tcb) expected.push_back(e);
    EXPECT_EQ(RawElements(made.out->path()), expected) << c.label;
    EXPECT_TRUE(EndsWithMarker(made.out->path())) << c.label;
    EXPECT_EQ(made.handle->element_count, static_cast<int>(expected.size())) << c.label;

    // The copied colour table is the new file's colour table on this handle
    // too, as it is for every later reader of the file.
    ASSERT_TRUE(made.handle->got_color_table) << c.label;
    int r = 0, g = 0, b = 0;
    ASSERT_TRUE(DGNLookupColor(made.handle.get(), 200, &r, &g, &b));
    EXPECT_EQ(r, 200);
    EXPECT_EQ(g, 55);
  }
}

TEST(WriteCreate, ThreeDimensionalSeedGivesThreeDimensionalFile) {
  Created c = CreateFrom(dgnkit::Concat({dgnkit::MakeTcb(SeedTcb(true)), dgnkit::EndOfDesign()}));
  ASSERT_NE(c.handle, nullptr);
  EXPECT_EQ(dgnkit::ReadFile(c.out->path())[0], 0xC8);
  ASSERT_TRUE(DGNLoadTCB(c.handle.get()));
  EXPECT_EQ(c.handle->dimension, 3);
}

TEST(WriteCreate, TruncatesAnExistingFile) {
  TempFile seed(dgnkit::Concat({dgnkit::MakeTcb(SeedTcb()), dgnkit::EndOfDesign()}));
  TempFile out(Bytes(5000, 0x11));
  HandlePtr h(DGNCreate(out.c_str(), seed.c_str(), DGN_CREATE_SEED_UNITS, 0, 0, 0, 1, 1, "m", "m"));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(dgnkit::ReadFile(out.path()).size(), static_cast<size_t>(kTcbBytes + 2));
}

TEST(WriteCreate, RefusesUnusableSeedsWithoutTouchingTheOutput) {
  dgnkit::Element short_tcb(9, 8);
  short_tcb.PadTo(1000);
  const Bytes cut_tcb = Slice(dgnkit::MakeTcb(SeedTcb()), 0, 600);
  const struct {
    const char *label;
    Bytes seed;
  } cases[] = {
      {"first element is no TCB",
       dgnkit::Concat(
           {dgnkit::MakeGroupDataStart(), dgnkit::MakeTcb(SeedTcb()), dgnkit::EndOfDesign()})},
      {"TCB of 1000 bytes", dgnkit::Concat({short_tcb.Build(), dgnkit::EndOfDesign()})},
      {"no complete element", cut_tcb},
  };
  for (const auto &c : cases) {
    TempFile seed(c.seed);
    TempFile fresh;
    std::remove(fresh.c_str());
    TempFile existing(Bytes(100, 0x42));
    for (const std::string &path : {fresh.path(), existing.path()}) {
      ErrorCapture errors;
      HandlePtr h(
          DGNCreate(path.c_str(), seed.c_str(), DGN_CREATE_SEED_UNITS, 0, 0, 0, 1, 1, "m", "m"));
      EXPECT_EQ(h, nullptr) << c.label;
      ASSERT_GE(errors.reports().size(), 1u) << c.label;
      EXPECT_EQ(errors.reports().back().cls, CPLClassFailure) << c.label;
    }
    EXPECT_FALSE(Exists(fresh.path())) << c.label << ": no output file is created";
    EXPECT_EQ(dgnkit::ReadFile(existing.path()), Bytes(100, 0x42))
        << c.label << ": an existing output is left alone";
  }
}

TEST(WriteCreate, ReportsOtherFailures) {
  TempFile seed(dgnkit::Concat({dgnkit::MakeTcb(SeedTcb()), dgnkit::EndOfDesign()}));
  TempFile out;
  {
    ErrorCapture errors;
    EXPECT_EQ(DGNCreate("/nonexistent-dir/x.dgn", seed.c_str(), DGN_CREATE_SEED_UNITS, 0, 0, 0, 1,
                        1, "m", "m"),
              nullptr);
    ASSERT_EQ(errors.reports().size(), 1u);
    EXPECT_EQ(errors.reports()[0].num, CPLNumOpenFailed);
    EXPECT_EQ(errors.reports()[0].text, "Failed to open output file: /nonexistent-dir/x.dgn");
  }
  {
    ErrorCapture errors;
    EXPECT_EQ(DGNCreate(out.c_str(), "/nonexistent-seed.dgn", 0, 0, 0, 0, 1, 1, "m", "m"), nullptr);
    ASSERT_EQ(errors.reports().size(), 1u);
    EXPECT_EQ(errors.reports()[0].num, CPLNumOpenFailed);
  }
  {
    ErrorCapture errors;
    EXPECT_EQ(DGNCreate(out.c_str(), seed.c_str(), 0, 0, 0, 0, 0, 1000, "m", "m"), nullptr)
        << "a unit count of 0";
    EXPECT_EQ(errors.count(CPLClassFailure), 1u);
  }
}

// A disk that fills up during creation: either the whole new file (TCB and
// the seed's colour table and element) or no file at all, never a file that
// silently lacks the seed's colour table.
TEST(WriteCreate, AFullDiskGivesAWholeFileOrNone) {
  const Bytes tcb = dgnkit::MakeTcb(SeedTcb());
  const Bytes e1 = dgnkit::MakeColorTable(Rainbow(0));
  const Bytes e2 = dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0, 0}, {10, 20, 0}});
  TempFile seed(dgnkit::Concat({tcb, e1, e2, dgnkit::EndOfDesign()}));
  const long whole = static_cast<long>(tcb.size() + e1.size() + e2.size()) + 2;
  int refused = 0;
  for (long budget = 0; budget <= whole + 8; budget += 7) {
    TempFile out;
    DGNFile *h;
    {
      ErrorCapture errors;
      CPLSetWriteFailAfter(budget);
      h = DGNCreate(out.c_str(), seed.c_str(), DGN_CREATE_SEED_UNITS, 0, 0, 0, 1, 1, "m", "m");
      CPLSetWriteFailAfter(-1);
      if (h == nullptr) {
        EXPECT_GE(errors.count(CPLClassFailure), 1u) << budget;
      }
    }
    if (h == nullptr) {
      ++refused;
      EXPECT_FALSE(Exists(out.path())) << "budget " << budget;
      continue;
    }
    DGNClose(h);
    const std::vector<Bytes> elements = RawElements(out.path());
    ASSERT_EQ(elements.size(), 3u) << "budget " << budget;
    EXPECT_EQ(elements[1], e1);
    EXPECT_EQ(elements[2], e2);
    EXPECT_TRUE(EndsWithMarker(out.path()));
  }
  EXPECT_GT(refused, 0);
}

TEST(WriteCreate, SeedMayBeItsOwnOutput) {
  const Bytes tcb = dgnkit::MakeTcb(SeedTcb());
  const Bytes e1 = dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0, 0}, {1, 1, 0}});
  TempFile file(dgnkit::Concat({tcb, e1, dgnkit::EndOfDesign()}));
  HandlePtr h(
      DGNCreate(file.c_str(), file.c_str(), DGN_CREATE_SEED_UNITS, 0, 0, 0, 1, 1, "m", "m"));
  ASSERT_NE(h, nullptr);
  const std::vector<Bytes> elements = RawElements(file.path());
  ASSERT_EQ(elements.size(), 2u);
  EXPECT_EQ(elements[1], e1);
}

// ---------------------------------------------------------------------------
// Appending
// ---------------------------------------------------------------------------

TEST(WriteAppend, AfterABareTcbAtOffset1536) {
  Created c = CreateFrom(dgnkit::Concat({dgnkit::MakeTcb(SeedTcb()), dgnkit::EndOfDesign()}));
  ASSERT_NE(c.handle, nullptr);
  DGNFile *h = c.handle.get();
  MultiPointPtr e = LineString(h, 3);
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(DGNWriteElement(h, e.get()));
  EXPECT_EQ(e->offset, kTcbBytes);
  EXPECT_EQ(e->element_id, 1);
  EXPECT_EQ(h->next_element_id, 2);
  EXPECT_EQ(h->element_count, 2);
  EXPECT_EQ(CPLFTell(h->fp), kTcbBytes + 62) << "the stream stands on the marker";

  const Bytes file = dgnkit::ReadFile(c.out->path());
  ASSERT_EQ(file.size(), static_cast<size_t>(kTcbBytes + 62 + 2));
  EXPECT_EQ(Slice(file, kTcbBytes, 62), Bytes(e->raw_data, e->raw_data + 62));
  EXPECT_EQ(Slice(file, kTcbBytes + 62, 2), Bytes({0xFF, 0xFF}));

  // A read from here finds the end; the element reads back from its id.
  EXPECT_EQ(DGNReadElement(h), nullptr);
  ASSERT_TRUE(DGNGotoElement(h, 1));
  ElementPtr back(DGNReadElement(h));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->type, DGNTYPE_LINE_STRING);
  EXPECT_EQ(back->level, 3);
  EXPECT_EQ(back->offset, kTcbBytes);
}

TEST(WriteAppend, IndexGrowsBy500AndMatchesAFreshIndex) {
  Created c = CreateFrom(dgnkit::Concat({dgnkit::MakeTcb(SeedTcb()), dgnkit::EndOfDesign()}));
  ASSERT_NE(c.handle, nullptr);
  DGNFile *h = c.handle.get();
  for (int i = 0; i < 1000; ++i) {
    MultiPointPtr e = LineString(h, 2 + i % 5, i, i % 64);
    ASSERT_TRUE(DGNWriteElement(h, e.get())) << i;
    // Index building gave room for 500; appending adds 500 at a time.
    const int count = i + 2;
    EXPECT_EQ(h->max_element_count, (count + 499) / 500 * 500) << count;
  }
  ASSERT_EQ(h->element_count, 1001);

  HandlePtr fresh(DGNOpen(c.out->c_str(), false));
  int count = 0;
  const DGNIndexEntry *index = DGNGetElementIndex(fresh.get(), &count);
  ASSERT_EQ(count, 1001);
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(std::memcmp(&index[i], &h->element_index[i], sizeof(DGNIndexEntry)), 0) << i;
  }
  // The handle's extents take in the appended elements as a fresh index does.
  EXPECT_EQ(h->got_bounds, fresh->got_bounds);
  EXPECT_EQ(h->max_x, fresh->max_x);
  EXPECT_EQ(h->min_y, fresh->min_y);
  EXPECT_EQ(h->max_y, fresh->max_y);
}

TEST(WriteAppend, RefusedWhereItWouldLoseData) {
  const Bytes tcb = dgnkit::MakeTcb(SeedTcb());
  const Bytes e1 = dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0, 0}, {1, 1, 0}});
  const Bytes base = dgnkit::Concat({tcb, e1, e1, dgnkit::EndOfDesign()});

  {  // A read-only handle.
    dgnkit::OpenedFile f = dgnkit::OpenBytes(base, false);
    MultiPointPtr e = LineString(f.get(), 4);
    ErrorCapture errors;
    EXPECT_FALSE(DGNWriteElement(f.get(), e.get()));
    EXPECT_EQ(errors.count(CPLClassFailure), 1u);
    EXPECT_EQ(f.get()->element_count, 3);
    EXPECT_EQ(e->offset, -1) << "a failed append leaves the element new";
    EXPECT_EQ(dgnkit::ReadFile(f.file->path()), base);
  }
  {  // An index that stops before the end of the file: refused at open for
     // update, and by the writer should the index be rebuilt short later.
    ErrorCapture errors;
    const int64_t before_second = static_cast<int64_t>(tcb.size() + e1.size()) - 1;
    DGNSetIndexLimitsForTest(0, before_second);
    EXPECT_EQ(dgnkit::OpenBytes(base, true).get(), nullptr);
    DGNSetIndexLimitsForTest(0, 0);
    dgnkit::OpenedFile f = dgnkit::OpenBytes(base, true);
    ASSERT_NE(f.get(), nullptr);
    MultiPointPtr e = LineString(f.get(), 4);
    DGNSetIndexLimitsForTest(0, before_second);
    f.get()->index_built = 0;
    DGNBuildIndex(f.get());
    DGNSetIndexLimitsForTest(0, 0);
    EXPECT_FALSE(DGNWriteElement(f.get(), e.get()));
    EXPECT_EQ(dgnkit::ReadFile(f.file->path()), base);
  }
  {  // No raw bytes, or raw bytes that disagree with their own header.
    dgnkit::OpenedFile f = dgnkit::OpenBytes(base, true);
    MultiPointPtr e = LineString(f.get(), 4);
    ErrorCapture errors;
    e->raw_data[2] = 0x10;
    EXPECT_FALSE(DGNWriteElement(f.get(), e.get()));
    DGNElement bare{};
    bare.offset = -1;
    EXPECT_FALSE(DGNWriteElement(f.get(), &bare));
    EXPECT_EQ(errors.count(CPLClassFailure), 2u);
    EXPECT_EQ(dgnkit::ReadFile(f.file->path()), base);
  }
}

// Every way an append can stop part-way, on a file that ends at its marker
// and on one padded with zeros after it (as many design files are).
TEST(WriteAppend, AFailedWriteLeavesAReadableFile) {
  const Bytes tcb = dgnkit::MakeTcb(SeedTcb());
  const Bytes e1 = dgnkit::MakeMultiPoint(DGNTYPE_SHAPE, {{0, 0, 0}, {5, 0, 0}, {5, 5, 0}});
  for (size_t padding : {size_t{0}, size_t{512}}) {
    Bytes base = dgnkit::Concat({tcb, e1, dgnkit::EndOfDesign()});
    base.resize(base.size() + padding, 0);
    const std::vector<Bytes> before = {tcb, e1};

    int n = 0;
    for (long budget = 0;; ++budget) {
      dgnkit::OpenedFile f = dgnkit::OpenBytes(base, true);
      ASSERT_NE(f.get(), nullptr);
      MultiPointPtr e = LineString(f.get(), 7);
      n = e->raw_bytes;
      ASSERT_TRUE(DGNBuildIndex(f.get()));
      bool ok;
      {
        ErrorCapture errors;
        CPLSetWriteFailAfter(budget);
        ok = DGNWriteElement(f.get(), e.get());
        CPLSetWriteFailAfter(-1);
        if (!ok) {
          ASSERT_EQ(errors.reports().size(), 1u) << budget;
          EXPECT_EQ(errors.reports()[0].text, "Error seeking or writing new element of " +
                                                  std::to_string(n) + " bytes at " +
                                                  std::to_string(kTcbBytes + e1.size()) + ".");
          EXPECT_EQ(f.get()->element_count, 2) << budget;
        }
      }
      const std::string path = f.file->path();
      DGNFile *h = f.handle.release();
      DGNClose(h);

      const Bytes added(e->raw_data, e->raw_data + n);
      std::vector<Bytes> after = before;
      if (ok) after.push_back(added);
      EXPECT_EQ(RawElements(path, true), after) << "budget " << budget << ", padding " << padding;
      EXPECT_TRUE(EndsWithMarker(path)) << "budget " << budget << ", padding " << padding;

      // The file takes the element once the disk has room again.
      if (!ok) {
        HandlePtr again(DGNOpen(path.c_str(), true));
        ASSERT_TRUE(DGNWriteElement(again.get(), e.get())) << budget;
        after.push_back(added);
        EXPECT_EQ(RawElements(path, true), after) << budget;
        EXPECT_TRUE(EndsWithMarker(path));
      }
      if (ok) {
        EXPECT_EQ(budget, n + 4) << "two passes over the marker, the body and the marker";
        break;
      }
      ASSERT_LT(budget, 10000);
    }
  }
}

// ---------------------------------------------------------------------------
// Rewriting in place
// ---------------------------------------------------------------------------

struct ThreeLines {
  ThreeLines() {
    const Bytes tcb = dgnkit::MakeTcb(SeedTcb());
    for (int i = 0; i < 3; ++i) {
      lines.push_back(dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING,
                                             {{i, 0, 0}, {i + 1, 1, 0}, {i + 2, 0, 0}}, 2, {}, 4));
    }
    base = dgnkit::Concat({tcb, lines[0], lines[1], lines[2], dgnkit::EndOfDesign()});
    offsets = {kTcbBytes, kTcbBytes + static_cast<int>(lines[0].size()),
               kTcbBytes + static_cast<int>(lines[0].size() + lines[1].size())};
  }
  std::vector<Bytes> lines;
  Bytes base;
  std::vector<int> offsets;
};

// A replacement for element `id` made as the plug-in makes one.
MultiPointPtr Replacement(DGNFile *h, int id, int points, int level) {
  if (!DGNGotoElement(h, id)) return nullptr;
  ElementPtr old(DGNReadElement(h));
  MultiPointPtr e = LineString(h, points, 100, level);
  e->offset = old->offset;
  e->element_id = old->element_id;
  return e;
}

TEST(WriteRewrite, SameSizeInTheMiddle) {
  ThreeLines t;
  dgnkit::OpenedFile f = dgnkit::OpenBytes(t.base, true);
  MultiPointPtr e = Replacement(f.get(), 2, 3, 9);
  ASSERT_TRUE(DGNWriteElement(f.get(), e.get()));
  EXPECT_EQ(f.get()->next_element_id, 3);
  EXPECT_EQ(CPLFTell(f.get()->fp), t.offsets[1] + 62);
  EXPECT_EQ(f.get()->element_count, 4);
  EXPECT_EQ(f.get()->element_index[2].level, 9) << "the index follows the new element";

  const std::vector<Bytes> els = RawElements(f.file->path());
  ASSERT_EQ(els.size(), 4u);
  EXPECT_EQ(els[1], t.lines[0]);
  EXPECT_EQ(els[2], Bytes(e->raw_data, e->raw_data + e->raw_bytes));
  EXPECT_EQ(els[3], t.lines[2]);
}

TEST(WriteRewrite, OtherSizeInTheMiddleIsRefused) {
  ThreeLines t;
  for (int points : {2, 4}) {
    dgnkit::OpenedFile f = dgnkit::OpenBytes(t.base, true);
    MultiPointPtr e = Replacement(f.get(), 1, points, 9);
    ErrorCapture errors;
    EXPECT_FALSE(DGNWriteElement(f.get(), e.get()));
    ASSERT_EQ(errors.reports().size(), 1u);
    EXPECT_EQ(errors.reports()[0].cls, CPLClassFailure);
    EXPECT_EQ(errors.reports()[0].num, CPLNumGeneral);
    const std::string &text = errors.reports()[0].text;
    EXPECT_NE(text.find("62 bytes"), std::string::npos) << text;
    EXPECT_NE(text.find(std::to_string(e->raw_bytes) + " bytes"), std::string::npos) << text;
    EXPECT_EQ(dgnkit::ReadFile(f.file->path()), t.base) << "nothing written";
  }
}

TEST(WriteRewrite, TheLastElementMayChangeSize) {
  ThreeLines t;
  for (int points : {2, 3, 9}) {
    dgnkit::OpenedFile f = dgnkit::OpenBytes(t.base, true);
    MultiPointPtr e = Replacement(f.get(), 3, points, 7);
    ASSERT_TRUE(DGNWriteElement(f.get(), e.get())) << points;
    const Bytes file = dgnkit::ReadFile(f.file->path());
    const size_t end = static_cast<size_t>(t.offsets[2] + e->raw_bytes);
    EXPECT_EQ(Slice(file, end, 2), Bytes({0xFF, 0xFF})) << points;
    EXPECT_EQ(CPLFTell(f.get()->fp), static_cast<long>(end)) << "on the marker";
    const std::vector<Bytes> els = RawElements(f.file->path());
    ASSERT_EQ(els.size(), 4u) << points;
    EXPECT_EQ(els[3], Bytes(e->raw_data, e->raw_data + e->raw_bytes));
    // Appending goes on after the rewritten element.
    MultiPointPtr more = LineString(f.get(), 2);
    ASSERT_TRUE(DGNWriteElement(f.get(), more.get()));
    EXPECT_EQ(more->offset, static_cast<int>(end));
    EXPECT_EQ(RawElements(f.file->path()).size(), 5u);
  }
}

TEST(WriteRewrite, AnOffsetThatIsNoElementIsRefused) {
  ThreeLines t;
  dgnkit::OpenedFile f = dgnkit::OpenBytes(t.base, true);
  MultiPointPtr e = LineString(f.get(), 3);
  e->offset = t.offsets[1] + 2;
  ErrorCapture errors;
  EXPECT_FALSE(DGNWriteElement(f.get(), e.get()));
  EXPECT_EQ(errors.count(CPLClassFailure), 1u);
  EXPECT_EQ(dgnkit::ReadFile(f.file->path()), t.base);
}

TEST(WriteRewrite, AFailedRewriteNeverLeavesALiveMixture) {
  ThreeLines t;
  for (int id : {2, 3}) {  // in the middle (same size), and the last element (larger)
    for (long budget = 0; budget < 400; ++budget) {
      dgnkit::OpenedFile f = dgnkit::OpenBytes(t.base, true);
      MultiPointPtr e = Replacement(f.get(), id, id == 3 ? 8 : 3, 11);
      const Bytes added(e->raw_data, e->raw_data + e->raw_bytes);
      bool ok;
      {
        ErrorCapture errors;
        CPLSetWriteFailAfter(budget);
        ok = DGNWriteElement(f.get(), e.get());
        CPLSetWriteFailAfter(-1);
      }
      const int count = f.get()->element_count;
      const std::string path = f.file->path();
      DGNClose(f.handle.release());

      // Live elements: the old ones, with element `id` the old one (nothing
      // written), the new one (written) or gone (interrupted).
      std::vector<Bytes> live = RawElements(path, true);
      const std::vector<Bytes> original = {Slice(t.base, 0, kTcbBytes), t.lines[0], t.lines[1],
                                           t.lines[2]};
      std::vector<Bytes> with_new = original;
      with_new[id] = added;
      std::vector<Bytes> without = original;
      without.erase(without.begin() + id);
      if (ok) {
        EXPECT_EQ(live, with_new) << budget;
      } else {
        EXPECT_TRUE(live == without || live == original) << "id " << id << ", budget " << budget;
        if (budget > 0) {
          EXPECT_TRUE(live == without) << "id " << id << ", budget " << budget;
        }
      }
      EXPECT_TRUE(EndsWithMarker(path)) << "id " << id << ", budget " << budget;
      // The handle's index described the file as it is now.
      HandlePtr fresh(DGNOpen(path.c_str(), false));
      int fresh_count = 0;
      DGNGetElementIndex(fresh.get(), &fresh_count);
      EXPECT_EQ(count, fresh_count) << "id " << id << ", budget " << budget;
      if (ok) break;
    }
  }
}

// ---------------------------------------------------------------------------
// Cloning
// ---------------------------------------------------------------------------

TEST(WriteClone, EveryKindCopiedAndWritable) {
  dgnkit::OpenedFile source = dgnkit::OpenBytes(dgnkit::SampleFile(false), false);
  ASSERT_NE(source.get(), nullptr);
  DGNSetOptions(source.get(), DGN_OPTION_CAPTURE_RAW);
  Created dest = CreateFrom(dgnkit::Concat({dgnkit::MakeTcb(SeedTcb()), dgnkit::EndOfDesign()}));
  ASSERT_NE(dest.handle, nullptr);

  std::vector<Bytes> written;
  int kinds_seen = 0;
  for (ElementPtr e(DGNReadElement(source.get())); e; e.reset(DGNReadElement(source.get()))) {
    ElementPtr copy(DGNCloneElement(source.get(), dest.handle.get(), e.get()));
    if (e->kind == DGNKIND_CONE) {
      EXPECT_EQ(copy, nullptr);
      continue;
    }
    ASSERT_NE(copy, nullptr) << "kind " << e->kind;
    ++kinds_seen;
    EXPECT_EQ(copy->kind, e->kind);
    EXPECT_EQ(copy->type, e->type);
    EXPECT_EQ(copy->level, e->level);
    EXPECT_EQ(copy->color, e->color);
    EXPECT_EQ(copy->offset, -1);
    EXPECT_EQ(copy->element_id, -1);
    ASSERT_EQ(copy->raw_bytes, e->raw_bytes);
    EXPECT_NE(copy->raw_data, e->raw_data) << "owns its raw bytes";
    EXPECT_EQ(std::memcmp(copy->raw_data, e->raw_data, static_cast<size_t>(e->raw_bytes)), 0);
    ASSERT_EQ(copy->attr_bytes, e->attr_bytes);
    if (e->attr_bytes > 0) {
      EXPECT_NE(copy->attr_data, e->attr_data);
      EXPECT_EQ(std::memcmp(copy->attr_data, e->attr_data, static_cast<size_t>(e->attr_bytes)), 0);
    }
    // Owned strings are the copy's own.
    if (e->kind == DGNKIND_TEXT) {
      EXPECT_STREQ(dgnkit::As<DGNTextElement>(copy)->text, dgnkit::As<DGNTextElement>(e)->text);
    } else if (e->kind == DGNKIND_TAG_SET) {
      const auto *a = dgnkit::As<DGNTagSetElement>(e);
      const auto *b = dgnkit::As<DGNTagSetElement>(copy);
      EXPECT_NE(b->tag_set_name, a->tag_set_name);
      EXPECT_STREQ(b->tag_set_name, a->tag_set_name);
      ASSERT_EQ(b->tag_count, a->tag_count);
      ASSERT_NE(b->tag_list, a->tag_list);
      for (int i = 0; i < a->tag_count; ++i) {
        EXPECT_NE(b->tag_list[i].name, a->tag_list[i].name);
        EXPECT_STREQ(b->tag_list[i].prompt, a->tag_list[i].prompt);
      }
    } else if (e->kind == DGNKIND_TAG_VALUE &&
               dgnkit::As<DGNTagValueElement>(e)->tag_type == DGNTT_TEXT) {
      EXPECT_NE(dgnkit::As<DGNTagValueElement>(copy)->value.string,
                dgnkit::As<DGNTagValueElement>(e)->value.string);
    } else if (e->kind == DGNKIND_MULTIPOINT) {
      const auto *a = dgnkit::As<DGNMultiPointElement>(e);
      const auto *b = dgnkit::As<DGNMultiPointElement>(copy);
      ASSERT_EQ(b->num_vertices, a->num_vertices);
      EXPECT_EQ(b->vertices[a->num_vertices - 1].y, a->vertices[a->num_vertices - 1].y);
    }
    ASSERT_TRUE(DGNWriteElement(dest.handle.get(), copy.get())) << "kind " << e->kind;
    written.emplace_back(copy->raw_data, copy->raw_data + copy->raw_bytes);
  }
  EXPECT_GE(kinds_seen, 10);

  std::vector<Bytes> els = RawElements(dest.out->path());
  ASSERT_EQ(els.size(), written.size() + 1);
  els.erase(els.begin());
  EXPECT_EQ(els, written);
}

}  // namespace
