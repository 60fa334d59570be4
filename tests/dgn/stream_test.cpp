// Opening files, the raw element stream, the element index and positioning.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "cpl_conv.h"
#include "dgn_internal.h"
#include "dgn_test_util.h"

namespace {

using dgnkit::Bytes;
using dgnkit::Element;
using dgnkit::ErrorCapture;
using dgnkit::OpenBytes;

Bytes Line(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  return dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{x0, y0, 0}, {x1, y1, 0}});
}

TEST(TestOpen, HeaderPatterns) {
  struct Case {
    const char *label;
    Bytes header;
    bool accepted;
  };
  const Case cases[] = {
      {"2D TCB", {0x08, 0x09, 0xFE, 0x02}, true},
      {"3D TCB", {0xC8, 0x09, 0xFE, 0x02}, true},
      {"type 5 first", {0x08, 0x05, 0x17, 0x00}, true},
      {"other level", {0x09, 0x09, 0xFE, 0x02}, false},
      {"other size", {0x08, 0x09, 0xFE, 0x03}, false},
      {"bit 6 only", {0x48, 0x09, 0xFE, 0x02}, false},
      {"end of design", {0xFF, 0xFF, 0x00, 0x00}, false},
      {"zeros", {0, 0, 0, 0}, false},
      {"three bytes", {0x00, 0x00, 0x00}, true},  // too few to tell
  };
  for (const Case &c : cases) {
    EXPECT_EQ(DGNTestOpen(c.header.data(), static_cast<int>(c.header.size())), c.accepted)
        << c.label;
  }
}

TEST(Open, DimensionFromFirstByte) {
  struct Case {
    Bytes first;
    int dimension;
  };
  const Case cases[] = {
      {dgnkit::MakeTcb({}), 2},
      {dgnkit::MakeGroupDataStart(), 2},
  };
  for (const Case &c : cases) {
    auto f = OpenBytes(dgnkit::Concat({c.first, dgnkit::EndOfDesign()}));
    ASSERT_NE(f.get(), nullptr);
    EXPECT_EQ(f.get()->dimension, c.dimension);
    EXPECT_EQ(f.get()->scale, 1.0);
    EXPECT_EQ(f.get()->next_element_id, 0);
    EXPECT_EQ(f.get()->got_tcb, 0);
  }
  dgnkit::TcbSpec tcb;
  tcb.three_d = true;
  auto f3 = OpenBytes(dgnkit::Concat({dgnkit::MakeTcb(tcb), dgnkit::EndOfDesign()}));
  ASSERT_NE(f3.get(), nullptr);
  EXPECT_EQ(f3.get()->dimension, 3);
}

TEST(Open, RefusesFilesThatAreNotDesignFiles) {
  const Bytes cases[] = {
      {},
      {0x08},
      {0x08, 0x09, 0xFE},  // a good start, but shorter than one header
      {0x01, 0x02, 0x03, 0x04, 0x05},
      Bytes(600, 0x20),
  };
  for (const Bytes &bytes : cases) {
    ErrorCapture errors;
    dgnkit::TempFile tmp(bytes);
    EXPECT_EQ(DGNOpen(tmp.c_str(), false), nullptr) << bytes.size();
    ASSERT_EQ(errors.reports().size(), 1u);
    EXPECT_EQ(errors.reports()[0].cls, CPLClassFailure);
    EXPECT_EQ(errors.reports()[0].num, CPLNumGeneral);
    EXPECT_EQ(errors.reports()[0].text,
              "File `" + tmp.path() + "' does not have expected DGN header.\n");
  }
}

TEST(Open, MissingFileGivesTheOpenMessage) {
  ErrorCapture errors;
  EXPECT_EQ(DGNOpen("/nonexistent/folder/x.dgn", false), nullptr);
  ASSERT_EQ(errors.reports().size(), 1u);
  EXPECT_EQ(errors.reports()[0].cls, CPLClassFailure);
  EXPECT_EQ(errors.reports()[0].num, CPLNumOpenFailed);
  EXPECT_EQ(errors.reports()[0].text,
            "Unable to open `/nonexistent/folder/x.dgn' for read access.\n");
}

// One handle at a time holds a file open for update, in this process as in
// any other, and no new file is made over it meanwhile; readers open it all
// the while, and the close hands the lock on.
TEST(Open, OneWriterAtATimeAndReadersAlongside) {
  const Bytes file = dgnkit::Concat({dgnkit::MakeTcb({}), Line(0, 0, 1, 1), dgnkit::EndOfDesign()});
  dgnkit::TempFile tmp(file);
  ErrorCapture errors;
  dgnkit::HandlePtr writer(DGNOpen(tmp.c_str(), true));
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(DGNOpen(tmp.c_str(), true), nullptr);
  ASSERT_EQ(errors.reports().size(), 1u);
  EXPECT_EQ(errors.reports()[0].num, CPLNumOpenFailed);
  EXPECT_EQ(errors.reports()[0].text,
            "File `" + tmp.path() +
                "' is open for update elsewhere (by another map of this or another program); it "
                "cannot be opened for update until that map is closed.\n");
  EXPECT_EQ(DGNCreate(tmp.c_str(), tmp.c_str(), DGN_CREATE_SEED_UNITS, 0, 0, 0, 1, 1, "m", "m"),
            nullptr);
  EXPECT_EQ(errors.reports().size(), 2u);
  dgnkit::HandlePtr reader(DGNOpen(tmp.c_str(), false));
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(dgnkit::ReadAll(reader.get()).size(), 2u);
  writer.reset();
  EXPECT_NE(dgnkit::HandlePtr(DGNOpen(tmp.c_str(), true)), nullptr);
  EXPECT_EQ(dgnkit::ReadFile(tmp.path()), file);
}

// Open for update refuses a file whose element stream stops at an element
// that does not fit in the file, since an append there would overwrite the
// bytes after it for good; reading it still gives what comes before, and
// the handle tells where the stream stops.  A stream that ends at the
// marker, whatever follows, or at the very end of the file is whole; the
// handle tells which of the two.
TEST(Open, ForUpdateOnlyAStreamThatEndsWhole) {
  const Bytes tcb = dgnkit::MakeTcb({});
  const Bytes a = Line(0, 0, 1, 1);
  const long long second = static_cast<long long>(tcb.size() + a.size());
  Bytes overlong = dgnkit::Concat({tcb, a, a, a, dgnkit::EndOfDesign()});
  overlong[static_cast<size_t>(second) + 2] = 0xFF;  // words to follow of element 2: 0x7FFF
  overlong[static_cast<size_t>(second) + 3] = 0x7F;
  Bytes cut = dgnkit::Concat({tcb, a, a});
  cut.resize(cut.size() - 3);
  struct Case {
    const char *label;
    Bytes file;
    long long stops_at;  // -1: whole
  };
  const Case cases[] = {
      {"marker", dgnkit::Concat({tcb, a, dgnkit::EndOfDesign()}), -1},
      {"marker and padding", dgnkit::Concat({tcb, a, dgnkit::EndOfDesign(), Bytes(512, 0)}), -1},
      {"end of the file", dgnkit::Concat({tcb, a}), -1},
      {"a word count past the end", overlong, second},
      {"cut inside an element", cut, second},
      {"half a header", dgnkit::Concat({tcb, a, Bytes{0x08, 0x04}}), second},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    dgnkit::TempFile tmp(c.file);
    ErrorCapture errors;
    dgnkit::HandlePtr update(DGNOpen(tmp.c_str(), true));
    dgnkit::HandlePtr read(DGNOpen(tmp.c_str(), false));
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(dgnkit::ReadAll(read.get()).size(), 2u);
    EXPECT_EQ(read->stream_cut, c.stops_at >= 0 ? 1 : 0);
    EXPECT_EQ(DGNStreamAtMarker(read.get()), std::string(c.label).rfind("marker", 0) == 0);
    if (c.stops_at < 0) {
      EXPECT_NE(update, nullptr);
      continue;
    }
    EXPECT_EQ(update, nullptr);
    EXPECT_EQ(read->stream_end, c.stops_at);
    ASSERT_EQ(errors.count(CPLClassFailure), 1u);
    EXPECT_NE(errors.reports()[0].text.find("cannot be opened for update: its element stream "
                                            "stops at offset " +
                                            std::to_string(c.stops_at) + ","),
              std::string::npos)
        << errors.reports()[0].text;
    EXPECT_EQ(dgnkit::ReadFile(tmp.path()), c.file);
  }
}

// Files of 2 GiB and more are refused at open with their size, for reading
// and for update (a sparse file takes no disk).  What a file decides the size
// of (its index, an element's record) is allocated softly: when memory runs
// out the operation fails with a report and the process goes on.
TEST(Open, SizeAndMemoryLimitsFailSoftly) {
  for (const long long bytes : {1LL << 31, 3LL << 30}) {
    dgnkit::TempFile tmp(dgnkit::Concat({dgnkit::MakeTcb({}), dgnkit::EndOfDesign()}));
    ASSERT_EQ(::truncate64(tmp.c_str(), static_cast<off64_t>(bytes)), 0);
    for (const bool update : {false, true}) {
      ErrorCapture errors;
      EXPECT_EQ(DGNOpen(tmp.c_str(), update), nullptr) << bytes;
      ASSERT_EQ(errors.reports().size(), 1u);
      EXPECT_EQ(errors.reports()[0].text,
                "File `" + tmp.path() + "' has " + std::to_string(bytes) +
                    " bytes; design files of 2 GiB (2147483648 bytes) or more are not "
                    "supported.\n");
    }
  }

  std::vector<dgnkit::IPoint> points;
  for (int32_t i = 0; i < 1000; ++i) points.push_back({i, i, 0});
  const Bytes file =
      dgnkit::Concat({dgnkit::MakeTcb({}), dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, points),
                      dgnkit::EndOfDesign()});
  dgnkit::TempFile tmp(file);
  ErrorCapture errors;
  CPLSetSoftAllocLimit(100);  // less than the first block of the index
  EXPECT_EQ(DGNOpen(tmp.c_str(), true), nullptr);
  CPLSetSoftAllocLimit(16 * 1024);  // the index, but not 1000 vertices
  dgnkit::HandlePtr h(DGNOpen(tmp.c_str(), false));
  ASSERT_NE(h, nullptr);
  EXPECT_NE(dgnkit::Next(h.get()), nullptr);  // the TCB
  EXPECT_EQ(dgnkit::Next(h.get()), nullptr);
  EXPECT_EQ(h->read_failed, 1);
  CPLSetSoftAllocLimit(-1);
  ASSERT_EQ(errors.count(CPLClassFailure), 2u);
  for (const dgnkit::Report &r : errors.reports()) {
    EXPECT_EQ(r.num, CPLNumNoMemory);
    EXPECT_NE(r.text.find("Out of memory allocating"), std::string::npos) << r.text;
  }
  // Memory back, the same element reads whole.
  ASSERT_TRUE(DGNGotoElement(h.get(), 1));
  dgnkit::ElementPtr e = dgnkit::Next(h.get());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(dgnkit::As<DGNMultiPointElement>(e)->num_vertices, 1000);
  EXPECT_EQ(h->read_failed, 0);
}

TEST(Stream, EndOfDesignStopsReadingWhateverFollows) {
  const Bytes file = dgnkit::Concat(
      {dgnkit::MakeTcb({}), Line(0, 0, 1, 1), dgnkit::EndOfDesign(), Line(2, 2, 3, 3)});
  auto f = OpenBytes(file);
  ASSERT_NE(f.get(), nullptr);
  EXPECT_EQ(dgnkit::ReadAll(f.get()).size(), 2u);
  int count = 0;
  DGNGetElementIndex(f.get(), &count);
  EXPECT_EQ(count, 2);
}

TEST(Stream, TruncatedElementEndsReadingSilently) {
  Bytes file = dgnkit::Concat({dgnkit::MakeTcb({}), Line(0, 0, 1, 1), Line(2, 2, 3, 3)});
  file.resize(file.size() - 3);  // cut inside the last element
  ErrorCapture errors;
  auto f = OpenBytes(file);
  ASSERT_NE(f.get(), nullptr);
  EXPECT_EQ(dgnkit::ReadAll(f.get()).size(), 2u);
  EXPECT_TRUE(errors.reports().empty());
}

TEST(Stream, RawElementGivesTypeLevelAndSize) {
  const Bytes line = Line(0, 0, 1, 1);
  auto f = OpenBytes(dgnkit::Concat({dgnkit::MakeTcb({}), line, dgnkit::EndOfDesign()}));
  ASSERT_NE(f.get(), nullptr);
  int type = -1, level = -1;
  ASSERT_TRUE(DGNLoadRawElement(f.get(), &type, &level));
  EXPECT_EQ(type, DGNTYPE_TCB);
  EXPECT_EQ(level, 8);
  EXPECT_EQ(f.get()->elem_bytes, 1536);
  ASSERT_TRUE(DGNLoadRawElement(f.get(), nullptr, nullptr));
  EXPECT_EQ(f.get()->elem_bytes, static_cast<int>(line.size()));
  EXPECT_EQ(f.get()->next_element_id, 2);
  EXPECT_FALSE(DGNLoadRawElement(f.get(), &type, &level));
}

TEST(Stream, ElementNumbersAndOffsets) {
  const Bytes tcb = dgnkit::MakeTcb({});
  const Bytes line = Line(0, 0, 1, 1);
  auto f = OpenBytes(dgnkit::Concat({tcb, line, line, dgnkit::EndOfDesign()}));
  ASSERT_NE(f.get(), nullptr);
  auto all = dgnkit::ReadAll(f.get());
  ASSERT_EQ(all.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(all[i]->element_id, i);
  EXPECT_EQ(all[1]->offset, static_cast<int>(tcb.size()));
  EXPECT_EQ(all[2]->offset, static_cast<int>(tcb.size() + line.size()));
  EXPECT_EQ(all[2]->size, static_cast<int>(line.size()));
}

TEST(Index, KindsFlagsAndOffsets) {
  std::array<std::array<uint8_t, 3>, 256> colors{};
  const std::vector<Bytes> parts = {
      dgnkit::MakeTcb({}),
      dgnkit::MakeColorTable(colors),
      dgnkit::MakeColorTable(colors, 2),
      Line(0, 0, 1, 1),
      dgnkit::MakeCellLibrary({}),
      dgnkit::MakeTagSet({}),
      dgnkit::MakeTagSet({}, 3),
      dgnkit::MakeTagValue({}),
      dgnkit::MakeComplexHeader(14, 0, 0),
      dgnkit::MakeCone({}),
      dgnkit::MakeArc({}),
      dgnkit::MakeText({}),
      Element(3, 5).Complex().SetRange({}).SetDisplay({}).PadTo(52).Build(),
      Element(4, 6).Deleted().SetRange({}).SetDisplay({}).Word(0).Build(),
      Element(7, 7).Complex().Deleted().SetDisplay({}).Build(),
  };
  struct Expect {
    int type, level, kind, flags;
  };
  const Expect expected[] = {
      {9, 8, DGNKIND_TCB, 0},
      {5, 1, DGNKIND_COLOR_TABLE, 0},
      {5, 2, DGNKIND_CORE, 0},
      {3, 1, DGNKIND_MULTIPOINT, 0},
      {1, 1, DGNKIND_CORE, 0},  // decoded as a cell library, indexed as core
      {66, 24, DGNKIND_TAG_SET, 0},
      {66, 3, DGNKIND_CORE, 0},
      {37, 1, DGNKIND_TAG_VALUE, 0},
      {14, 1, DGNKIND_COMPLEX_HEADER, 0},
      {23, 1, DGNKIND_CONE, 0},
      {16, 1, DGNKIND_ARC, 0},
      {17, 1, DGNKIND_TEXT, 0},
      {3, 5, DGNKIND_MULTIPOINT, DGNEF_COMPLEX},
      {4, 6, DGNKIND_MULTIPOINT, DGNEF_DELETED},
      {7, 7, DGNKIND_CORE, DGNEF_COMPLEX | DGNEF_DELETED},
  };
  auto f = OpenBytes(dgnkit::Concat({dgnkit::Concat(parts), dgnkit::EndOfDesign()}));
  ASSERT_NE(f.get(), nullptr);
  int count = 0;
  const DGNIndexEntry *index = DGNGetElementIndex(f.get(), &count);
  ASSERT_EQ(count, static_cast<int>(parts.size()));
  uint32_t offset = 0;
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(index[i].type, expected[i].type);
    EXPECT_EQ(index[i].level, expected[i].level);
    EXPECT_EQ(index[i].kind, expected[i].kind);
    EXPECT_EQ(index[i].flags, expected[i].flags);
    EXPECT_EQ(index[i].offset, offset);
    offset += static_cast<uint32_t>(parts[i].size());
  }
  // The decoder gives kind 11 for the type-1 element the index calls core.
  ASSERT_TRUE(DGNGotoElement(f.get(), 4));
  EXPECT_EQ(dgnkit::Next(f.get())->kind, DGNKIND_CELL_LIBRARY);
}

TEST(Index, GrowsByHalfPlus500) {
  struct Case {
    int elements;
    int capacity;
  };
  const Case cases[] = {{1, 500}, {499, 500}, {500, 500}, {501, 1250}, {1250, 1250}, {1251, 2375}};
  const Bytes line = Line(0, 0, 1, 1);
  for (const Case &c : cases) {
    std::vector<Bytes> parts{dgnkit::MakeTcb({})};
    parts.resize(static_cast<size_t>(c.elements), line);
    parts.push_back(dgnkit::EndOfDesign());
    auto f = OpenBytes(dgnkit::Concat(parts));
    ASSERT_NE(f.get(), nullptr);
    int count = 0;
    DGNGetElementIndex(f.get(), &count);
    EXPECT_EQ(count, c.elements);
    EXPECT_EQ(f.get()->max_element_count, c.capacity) << c.elements;
  }
}

TEST(Index, ExtentsSkipDeletedAndComplexElements) {
  dgnkit::Range far;
  far.low[0] = -50000;
  far.high[0] = 50000;
  const Bytes file = dgnkit::Concat({
      dgnkit::MakeTcb({}),
      Line(10, 20, 30, 40),
      dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{-5, 100, 0}, {0, 0, 0}}),
      Element(3, 1).Deleted().SetRange(far).SetDisplay({}).PadTo(52).Build(),
      Element(3, 1).Complex().SetRange(far).SetDisplay({}).PadTo(52).Build(),
      Element(3, 1).PadTo(20).Build(),  // too short to hold a range block
      dgnkit::EndOfDesign(),
  });
  auto f = OpenBytes(file);
  ASSERT_NE(f.get(), nullptr);
  int count = 0;
  DGNGetElementIndex(f.get(), &count);
  EXPECT_EQ(count, 6);
  ASSERT_TRUE(f.get()->got_bounds);
  EXPECT_EQ(f.get()->min_x, dgnkit::RangeValue(-5));
  EXPECT_EQ(f.get()->min_y, dgnkit::RangeValue(0));
  EXPECT_EQ(f.get()->max_x, dgnkit::RangeValue(30));
  EXPECT_EQ(f.get()->max_y, dgnkit::RangeValue(100));
  EXPECT_EQ(f.get()->min_z, dgnkit::RangeValue(0));
  EXPECT_EQ(f.get()->max_z, dgnkit::RangeValue(0));
}

TEST(Index, TakesOverTheTcbAndColourTableAndRewinds) {
  dgnkit::TcbSpec tcb;
  tcb.three_d = true;
  std::array<std::array<uint8_t, 3>, 256> colors{};
  colors[7] = {1, 2, 3};
  auto f = OpenBytes(dgnkit::Concat({dgnkit::MakeGroupDataStart(), dgnkit::MakeTcb(tcb),
                                     dgnkit::MakeColorTable(colors), dgnkit::EndOfDesign()}));
  ASSERT_NE(f.get(), nullptr);
  EXPECT_EQ(f.get()->dimension, 2);
  ASSERT_TRUE(DGNBuildIndex(f.get()));
  EXPECT_EQ(f.get()->dimension, 3);
  EXPECT_EQ(f.get()->got_tcb, 1);
  EXPECT_DOUBLE_EQ(f.get()->scale, 1.0 / 10000);
  EXPECT_EQ(f.get()->got_color_table, 1);
  EXPECT_EQ(f.get()->color_table[7][2], 3);
  EXPECT_EQ(f.get()->next_element_id, 0);
  EXPECT_EQ(dgnkit::Next(f.get())->element_id, 0);
}

TEST(Index, StopsWithAFailureWhenTheFileOutgrowsIt) {
  const Bytes line = Line(0, 0, 1, 1);
  std::vector<Bytes> parts{dgnkit::MakeTcb({})};
  parts.resize(10, line);
  parts.push_back(dgnkit::EndOfDesign());
  const Bytes file = dgnkit::Concat(parts);

  struct Case {
    const char *label;
    int64_t max_entries;
    int64_t max_offset;
    int indexed;
  };
  const Case cases[] = {
      {"entries", 4, 0, 4},
      {"offset", 0, 1536 + 3 * 52 - 1, 4},  // element 4 starts just past the limit
  };
  for (const Case &c : cases) {
    DGNSetIndexLimitsForTest(c.max_entries, c.max_offset);
    ErrorCapture errors;
    auto f = OpenBytes(file);
    ASSERT_NE(f.get(), nullptr);
    EXPECT_FALSE(DGNBuildIndex(f.get())) << c.label;
    DGNSetIndexLimitsForTest(0, 0);
    ASSERT_EQ(errors.count(CPLClassFailure), 1u) << c.label;
    EXPECT_EQ(errors.reports()[0].num, CPLNumGeneral);
    int count = 0;
    const DGNIndexEntry *index = DGNGetElementIndex(f.get(), &count);
    EXPECT_EQ(count, c.indexed) << c.label;
    EXPECT_EQ(index[count - 1].offset, 1536u + static_cast<uint32_t>(count - 2) * 52u);
    EXPECT_LE(count, f.get()->max_element_count);
    // The index that exists still works, and the stream is back at the start.
    EXPECT_TRUE(DGNGotoElement(f.get(), count - 1));
    EXPECT_FALSE(DGNGotoElement(f.get(), count));
  }
}

TEST(Goto, PositionsOnTheElementAndRefusesOthers) {
  const Bytes file = dgnkit::Concat(
      {dgnkit::MakeTcb({}), Line(1, 1, 2, 2), Line(3, 3, 4, 4), dgnkit::EndOfDesign()});
  auto f = OpenBytes(file);
  ASSERT_NE(f.get(), nullptr);
  ASSERT_TRUE(DGNGotoElement(f.get(), 2));
  auto e = dgnkit::Next(f.get());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->element_id, 2);
  EXPECT_EQ(e->offset, 1536 + 52);

  const long position = ftell(f.get()->fp);
  const int next = f.get()->next_element_id;
  for (int bad : {-1, 3, 1000000}) {
    EXPECT_FALSE(DGNGotoElement(f.get(), bad)) << bad;
    EXPECT_EQ(ftell(f.get()->fp), position);
    EXPECT_EQ(f.get()->next_element_id, next);
  }
  ASSERT_TRUE(DGNGotoElement(f.get(), 1));
  EXPECT_EQ(dgnkit::Next(f.get())->element_id, 1);
}

TEST(LoadTcb, FindsItOnceAndReportsItsAbsenceOnce) {
  auto with = OpenBytes(dgnkit::Concat({dgnkit::MakeTcb({}), dgnkit::EndOfDesign()}));
  ASSERT_NE(with.get(), nullptr);
  EXPECT_TRUE(DGNLoadTCB(with.get()));
  const int next = with.get()->next_element_id;
  EXPECT_TRUE(DGNLoadTCB(with.get()));
  EXPECT_EQ(with.get()->next_element_id, next);  // nothing read the second time

  ErrorCapture errors;
  auto without = OpenBytes(
      dgnkit::Concat({dgnkit::MakeGroupDataStart(), Line(0, 0, 1, 1), dgnkit::EndOfDesign()}));
  ASSERT_NE(without.get(), nullptr);
  EXPECT_FALSE(DGNLoadTCB(without.get()));
  ASSERT_EQ(errors.reports().size(), 1u);
  EXPECT_EQ(errors.reports()[0].cls, CPLClassFailure);
  EXPECT_EQ(errors.reports()[0].text, "DGNLoadTCB() - unable to find TCB in file.");
}

TEST(Options, CaptureRawKeepsEveryElementsBytes) {
  const Bytes line = Line(5, 6, 7, 8);
  auto f = OpenBytes(dgnkit::Concat({dgnkit::MakeTcb({}), line, dgnkit::EndOfDesign()}));
  ASSERT_NE(f.get(), nullptr);
  auto tcb = dgnkit::Next(f.get());
  EXPECT_EQ(tcb->raw_data, nullptr);
  DGNSetOptions(f.get(), DGN_OPTION_CAPTURE_RAW);
  auto e = dgnkit::Next(f.get());
  ASSERT_EQ(e->raw_bytes, static_cast<int>(line.size()));
  EXPECT_EQ(Bytes(e->raw_data, e->raw_data + e->raw_bytes), line);
}

TEST(RawExtents, OnlyForRangeTypesThatHoldARange) {
  const Bytes line = Line(-10, 20, 30, 40);
  uint32_t lx = 1, ly = 1, lz = 1, hx = 1, hy = 1, hz = 1;
  ASSERT_TRUE(DGNGetRawExtents(nullptr, DGNTYPE_LINE, line.data(), static_cast<int>(line.size()),
                               &lx, &ly, &lz, &hx, &hy, &hz));
  EXPECT_EQ(lx, dgnkit::RangeValue(-10));
  EXPECT_EQ(hy, dgnkit::RangeValue(40));
  EXPECT_EQ(lz, 0x80000000u);
  ASSERT_TRUE(DGNGetRawExtents(nullptr, DGNTYPE_LINE, line.data(), 28, &lx, &ly, nullptr, &hx, &hy,
                               nullptr));
  lx = 7;
  EXPECT_FALSE(DGNGetRawExtents(nullptr, DGNTYPE_LINE, line.data(), 27, &lx, &ly, nullptr, &hx, &hy,
                                nullptr));
  EXPECT_FALSE(DGNGetRawExtents(nullptr, DGNTYPE_TCB, line.data(), 52, &lx, &ly, nullptr, &hx, &hy,
                                nullptr));
  EXPECT_EQ(lx, 7u);  // nothing stored
}

}  // namespace
