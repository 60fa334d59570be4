// The handle's read-ahead of the element stream and the reuse of record
// blocks: elements that straddle the edges of the read-ahead blocks or are
// larger than a block, positioning inside and outside what is buffered,
// reading after writing on a file open for update, and records that must
// come out zero-filled whatever the block they reuse held before.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <thread>
#include <vector>

#include "dgn_stream.h"
#include "dgn_test_util.h"

namespace {

using dgnkit::Bytes;
using dgnkit::ElementPtr;
using dgnkit::IPoint;
using dgnkit::OpenBytes;

// A line string of n vertices whose coordinates encode (seed, vertex).
Bytes LineString(int n, int seed, int level = 1) {
  std::vector<IPoint> points;
  for (int i = 0; i < n; ++i) points.push_back({seed * 1000 + i, -seed - i, 0});
  dgnkit::Display d;
  d.color = static_cast<uint8_t>(seed & 0xFF);
  return dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, points, 2, d, level);
}

// A design file of TCB + the elements + end marker, with the offset of each element.
struct Built {
  Bytes bytes;
  std::vector<Bytes> elements;  // TCB first
  std::vector<uint32_t> offsets;
};

Built Build(const std::vector<Bytes> &body) {
  Built b;
  dgnkit::TcbSpec tcb;
  tcb.subunits_per_master = 1;
  tcb.uor_per_subunit = 1;
  b.elements.push_back(dgnkit::MakeTcb(tcb));
  for (const Bytes &e : body) b.elements.push_back(e);
  uint32_t at = 0;
  for (const Bytes &e : b.elements) {
    b.offsets.push_back(at);
    b.bytes.insert(b.bytes.end(), e.begin(), e.end());
    at += static_cast<uint32_t>(e.size());
  }
  const Bytes end = dgnkit::EndOfDesign();
  b.bytes.insert(b.bytes.end(), end.begin(), end.end());
  return b;
}

// Elements of many sizes (4 bytes up to more than one read-ahead block), in
// an order that puts element starts at every distance from the block edges.
std::vector<Bytes> MixedBody() {
  std::vector<Bytes> body;
  uint32_t state = 12345;
  for (int i = 0; i < 2500; ++i) {
    state = state * 1103515245u + 12345u;
    const int pick = static_cast<int>((state >> 16) % 100);
    if (pick == 0) {
      body.push_back(LineString(9000, i));  // 72038 bytes: more than a block
    } else if (pick < 5) {
      body.push_back(dgnkit::Element(DGNTYPE_LEVEL_SYMBOLOGY, 2).Build());  // header only
    } else {
      body.push_back(LineString(2 + static_cast<int>((state >> 8) % 60), i));
    }
  }
  return body;
}

Bytes RawOf(const DGNElement *e) { return Bytes(e->raw_data, e->raw_data + e->raw_bytes); }

TEST(ReadAhead, ElementsAcrossBlockEdgesReadAndIndexExactly) {
  const Built b = Build(MixedBody());
  ASSERT_GT(b.bytes.size(), 4u * dgnstream::kReadAheadBytes);
  auto f = OpenBytes(b.bytes);
  ASSERT_NE(f.get(), nullptr);

  int count = 0;
  const DGNIndexEntry *index = DGNGetElementIndex(f.get(), &count);
  ASSERT_EQ(count, static_cast<int>(b.elements.size()));
  for (int i = 0; i < count; ++i) ASSERT_EQ(index[i].offset, b.offsets[i]) << i;

  DGNSetOptions(f.get(), DGN_OPTION_CAPTURE_RAW);
  for (size_t i = 0; i < b.elements.size(); ++i) {
    ElementPtr e = dgnkit::Next(f.get());
    ASSERT_NE(e, nullptr) << i;
    EXPECT_EQ(e->element_id, static_cast<int>(i));
    EXPECT_EQ(e->offset, static_cast<int32_t>(b.offsets[i])) << i;
    EXPECT_EQ(e->size, static_cast<int32_t>(b.elements[i].size())) << i;
    ASSERT_EQ(RawOf(e.get()), b.elements[i]) << i;
  }
  EXPECT_EQ(dgnkit::Next(f.get()), nullptr);
  EXPECT_EQ(dgnkit::Next(f.get()), nullptr) << "the stream stays on the marker";

  // The raw reader fills elem_buffer with each element, across block edges too.
  DGNRewind(f.get());
  for (size_t i = 0; i < b.elements.size(); ++i) {
    ASSERT_TRUE(DGNLoadRawElement(f.get(), nullptr, nullptr)) << i;
    const DGNFile *h = f.get();
    ASSERT_EQ(Bytes(h->elem_buffer, h->elem_buffer + h->elem_bytes), b.elements[i]) << i;
  }
  EXPECT_FALSE(DGNLoadRawElement(f.get(), nullptr, nullptr));
}

TEST(ReadAhead, GotoInsideAndOutsideTheBufferReturnsTheRightElement) {
  const Built b = Build(MixedBody());
  auto f = OpenBytes(b.bytes);
  ASSERT_NE(f.get(), nullptr);
  DGNSetOptions(f.get(), DGN_OPTION_CAPTURE_RAW);
  const int n = static_cast<int>(b.elements.size());
  // Near neighbours (inside the buffer), far jumps both ways, the first and
  // the last element.
  std::vector<int> order = {5, 6, 4, n - 1, 0, n / 2, n / 2 + 1, n / 2 - 3, 1, n - 2, 7};
  for (int i = 0; i < 200; ++i) order.push_back((i * 7919) % n);
  for (int k : order) {
    ASSERT_TRUE(DGNGotoElement(f.get(), k)) << k;
    ElementPtr e = dgnkit::Next(f.get());
    ASSERT_NE(e, nullptr) << k;
    EXPECT_EQ(e->element_id, k);
    EXPECT_EQ(e->offset, static_cast<int32_t>(b.offsets[static_cast<size_t>(k)]));
    ASSERT_EQ(RawOf(e.get()), b.elements[static_cast<size_t>(k)]) << k;
  }
}

TEST(ReadAhead, FileCutInsideAnElementThatCrossesABlockEdge) {
  const Built b = Build(MixedBody());
  // The first element that straddles the edge of the second block.
  const uint32_t edge = 2 * dgnstream::kReadAheadBytes;
  size_t k = 1;
  while (k + 1 < b.offsets.size() && b.offsets[k + 1] <= edge) ++k;
  ASSERT_LT(b.offsets[k], edge);
  for (uint32_t cut : {edge - 1, edge, edge + 1, b.offsets[k] + 3}) {
    if (cut <= b.offsets[k]) continue;
    const Bytes cut_file(b.bytes.begin(), b.bytes.begin() + cut);
    auto f = OpenBytes(cut_file);
    ASSERT_NE(f.get(), nullptr);
    int count = 0;
    DGNGetElementIndex(f.get(), &count);
    EXPECT_EQ(count, static_cast<int>(k)) << "cut at " << cut;
    int read = 0;
    while (ElementPtr e = dgnkit::Next(f.get())) ++read;
    EXPECT_EQ(read, static_cast<int>(k)) << "cut at " << cut;
  }
}

// Writing through the handle must never leave the read-ahead holding the
// bytes the write replaced.
TEST(ReadAhead, ReadsAfterWritesSeeTheNewBytes) {
  std::vector<Bytes> body;
  for (int i = 0; i < 40; ++i) body.push_back(LineString(5, i));
  const Built b = Build(body);
  auto f = OpenBytes(b.bytes, true);
  ASSERT_NE(f.get(), nullptr);
  DGNSetOptions(f.get(), DGN_OPTION_CAPTURE_RAW);

  // Fill the read-ahead, then rewrite element 3 (inside it) in place.
  ASSERT_TRUE(DGNGotoElement(f.get(), 2));
  ASSERT_NE(dgnkit::Next(f.get()), nullptr);
  ElementPtr fourth = dgnkit::Next(f.get());
  ASSERT_NE(fourth, nullptr);
  Bytes changed = LineString(5, 99);
  ASSERT_EQ(changed.size(), b.elements[3].size());
  DGNElement replacement = *fourth;
  replacement.raw_data = changed.data();
  replacement.raw_bytes = static_cast<int32_t>(changed.size());
  ASSERT_TRUE(DGNWriteElement(f.get(), &replacement));
  ASSERT_TRUE(DGNGotoElement(f.get(), 3));
  ElementPtr reread = dgnkit::Next(f.get());
  ASSERT_NE(reread, nullptr);
  EXPECT_EQ(RawOf(reread.get()), changed);

  // Append after reading part of the file; the new element is read back at the end.
  ASSERT_TRUE(DGNGotoElement(f.get(), 10));
  ASSERT_NE(dgnkit::Next(f.get()), nullptr);
  Bytes added = LineString(7, 123);
  DGNElement fresh{};
  fresh.offset = -1;
  fresh.element_id = -1;
  fresh.raw_data = added.data();
  fresh.raw_bytes = static_cast<int32_t>(added.size());
  ASSERT_TRUE(DGNWriteElement(f.get(), &fresh));
  EXPECT_EQ(std::ftell(f.get()->fp), static_cast<long>(fresh.offset + fresh.size))
      << "the stream stands on the new end-of-design marker";
  EXPECT_EQ(dgnkit::Next(f.get()), nullptr) << "nothing after the appended element";
  std::vector<ElementPtr> all = dgnkit::ReadAll(f.get());
  ASSERT_EQ(all.size(), b.elements.size() + 1);
  EXPECT_EQ(RawOf(all[3].get()), changed);
  EXPECT_EQ(RawOf(all.back().get()), added);
  for (size_t i = 4; i + 1 < all.size(); ++i) EXPECT_EQ(RawOf(all[i].get()), b.elements[i]) << i;
}

// Records reuse the block of the record freed last; each must still come out
// as if freshly zero-filled, whatever was held before and in whatever order
// the caller frees them.
TEST(RecordBlocks, RecordsAreZeroFilledAndIndependent) {
  Bytes with_linkage = dgnkit::Element(DGNTYPE_LINE_STRING, 3)
                           .SetDisplay(dgnkit::Display{})
                           .Word(3)
                           .Points({{1, 2, 0}, {3, 4, 0}, {5, 6, 0}}, 2)
                           .Attributes({0x03, 0x10, 0x2F, 0x7D, 0x01, 0x00, 0x00, 0x00})
                           .Build();
  dgnkit::TextSpec text;
  text.raw_text = {'A', 'B'};
  text.origin = {7, 8, 0};
  const Built b = Build({with_linkage, LineString(3, 1), dgnkit::MakeText(text), LineString(700, 2),
                         LineString(3000, 3), LineString(2, 4), with_linkage, LineString(4, 5)});
  auto f = OpenBytes(b.bytes);
  ASSERT_NE(f.get(), nullptr);

  // Read everything while holding every record, then free them in an
  // interleaved order while reading on.
  std::vector<ElementPtr> held = dgnkit::ReadAll(f.get());
  ASSERT_EQ(held.size(), 9u);
  EXPECT_EQ(held[1]->attr_bytes, 8);
  EXPECT_EQ(held[2]->attr_bytes, 0) << "no linkage data carried over";
  EXPECT_EQ(held[2]->attr_data, nullptr);
  EXPECT_EQ(held[2]->raw_data, nullptr);

  auto check_vertices = [](const DGNElement *e, int n, int seed) {
    ASSERT_EQ(e->kind, DGNKIND_MULTIPOINT);
    const auto *mp = static_cast<const DGNMultiPointElement *>(e);
    ASSERT_EQ(mp->num_vertices, n);
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(mp->vertices[i].x, seed * 1000 + i) << i;
      ASSERT_EQ(mp->vertices[i].y, -seed - i) << i;
      ASSERT_EQ(mp->vertices[i].z, 0.0) << i;
    }
  };
  for (int round = 0; round < 3; ++round) {
    DGNRewind(f.get());
    for (size_t i = 0; i < held.size(); ++i) {
      ElementPtr e = dgnkit::Next(f.get());
      ASSERT_NE(e, nullptr);
      // Free what was held in a different order each round.
      held[(i * (round + 2)) % held.size()].reset();
      EXPECT_EQ(e->element_id, static_cast<int>(i));
      if (i == 2) check_vertices(e.get(), 3, 1);
      if (i == 4) check_vertices(e.get(), 700, 2);
      if (i == 5) check_vertices(e.get(), 3000, 3);
      if (i == 6) check_vertices(e.get(), 2, 4);
      if (i == 3) {
        ASSERT_EQ(e->kind, DGNKIND_TEXT);
        const auto *t = static_cast<const DGNTextElement *>(e.get());
        EXPECT_STREQ(t->text, "AB");
        EXPECT_EQ(t->origin.x, 7.0);
        EXPECT_EQ(t->font_id, 0);
      }
      if (i == 8) check_vertices(e.get(), 4, 5);
      if (i != 1 && i != 7) {
        EXPECT_EQ(e->attr_data, nullptr) << i;
      }
    }
    held = dgnkit::ReadAll(f.get());
  }
}

// The kept block belongs to the reading thread: threads reading files of
// their own at the same time get every element right.
TEST(RecordBlocks, ThreadsReadingAtOnceKeepTheirOwnBlocks) {
  std::vector<Built> files;
  for (int t = 0; t < 3; ++t) {
    std::vector<Bytes> body;
    for (int i = 0; i < 3000; ++i) body.push_back(LineString(2 + (i * (t + 3)) % 40, i + t));
    files.push_back(Build(body));
  }
  std::vector<int> bad(files.size(), 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < files.size(); ++t) {
    threads.emplace_back([&files, &bad, t] {
      auto f = OpenBytes(files[t].bytes);
      if (f.get() == nullptr) {
        bad[t] = -1;
        return;
      }
      DGNSetOptions(f.get(), DGN_OPTION_CAPTURE_RAW);
      for (int pass = 0; pass < 5; ++pass) {
        DGNRewind(f.get());
        for (size_t i = 0; i < files[t].elements.size(); ++i) {
          ElementPtr e = dgnkit::Next(f.get());
          if (e == nullptr || RawOf(e.get()) != files[t].elements[i]) ++bad[t];
        }
      }
    });
  }
  for (std::thread &th : threads) th.join();
  for (size_t t = 0; t < files.size(); ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
}

}  // namespace

// ---------------------------------------------------------------------------
// Elements shown where they lie (DGNReadElementView) and counted without an
// index (DGNCountElements): the map import's way through a file.
// ---------------------------------------------------------------------------

// Every kind of element the import meets, in both dimensions: line strings
// of all sizes across the block edges and one larger than a block, lines,
// shapes, texts, arcs and ellipses (one cut short), a deleted line string, a
// line cut short, a colour table and a second TCB after the first elements.
namespace {
Built ViewBody(int dimension) {
  std::vector<Bytes> body;
  uint32_t state = 777;
  std::array<std::array<uint8_t, 3>, 256> rgb{};
  for (int i = 0; i < 256; ++i) rgb[static_cast<size_t>(i)] = {uint8_t(i), uint8_t(255 - i), 7};
  for (int i = 0; i < 1500; ++i) {
    state = state * 1103515245u + 12345u;
    const int pick = static_cast<int>((state >> 16) % 100);
    const int n = 2 + static_cast<int>((state >> 8) % 40);
    std::vector<IPoint> points;
    for (int k = 0; k < n; ++k) points.push_back({i * 100 + k, -i - 3 * k, k - i});
    dgnkit::Display d;
    d.color = static_cast<uint8_t>(state >> 24);
    d.weight = static_cast<uint8_t>(i % 32);
    d.style = static_cast<uint8_t>(i % 8);
    const int level = i % 64;
    if (i == 20) {
      body.push_back(dgnkit::MakeColorTable(rgb));
    } else if (i == 40) {
      dgnkit::TcbSpec later;  // not the file's: its units must not be taken
      later.three_d = dimension == 3;
      later.uor_per_subunit = 1;
      body.push_back(dgnkit::MakeTcb(later));
    } else if (i == 700) {
      points.resize(6000);  // more than a read-ahead block
      body.push_back(dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, points, dimension, d, level));
    } else if (pick < 15) {
      points.resize(2);
      Bytes line = dgnkit::MakeMultiPoint(DGNTYPE_LINE, points, dimension, d, level);
      if (pick == 0) {  // cut inside its second vertex
        line.resize(line.size() - 4);
        line[2] = static_cast<uint8_t>((line.size() - 4) / 2);
      }
      body.push_back(line);
    } else if (pick < 25) {
      body.push_back(dgnkit::MakeMultiPoint(DGNTYPE_SHAPE, points, dimension, d, level));
    } else if (pick < 35) {
      dgnkit::TextSpec text;
      text.origin = points[0];
      text.raw_text = Bytes{'R', 'd', static_cast<uint8_t>('0' + i % 10)};
      body.push_back(dgnkit::MakeText(text, dimension, d));
    } else if (pick < 45) {
      dgnkit::ArcSpec arc;
      arc.primary_axis = 10 + i;
      arc.secondary_axis = 5 + i % 7;
      arc.rotation = i % 360;
      arc.origin[0] = i * 10;
      arc.origin[1] = -i;
      arc.origin[2] = i % 5;
      arc.start_angle = i % 90;
      arc.sweep_angle = pick % 2 ? -(i % 270) : i % 400;
      for (int k = 0; k < 4; ++k) arc.quat[k] = (i + k) * 1000;
      Bytes made =
          pick < 40 ? dgnkit::MakeEllipse(arc, dimension, d) : dgnkit::MakeArc(arc, dimension, d);
      if (pick == 44) {  // cut inside its axes
        made.resize(50);
        made[2] = static_cast<uint8_t>((made.size() - 4) / 2);
        made[3] = 0;
      }
      body.push_back(made);
    } else {
      Bytes string = dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, points, dimension, d, level);
      if (pick < 48) string[1] |= 0x80;  // deleted
      body.push_back(string);
    }
  }
  Built b = Build(body);
  if (dimension == 3) {
    // Build() starts with a 2D TCB; a 3D file starts with a 3D one.
    dgnkit::TcbSpec tcb;
    tcb.three_d = true;
    tcb.subunits_per_master = 1;
    tcb.uor_per_subunit = 1;
    const Bytes first = dgnkit::MakeTcb(tcb);
    std::copy(first.begin(), first.end(), b.bytes.begin());
  }
  return b;
}
}  // namespace

TEST(ElementView, ShowsEveryElementAsReadingDecodesIt) {
  const Built two = ViewBody(2);
  const Built three = ViewBody(3);
  const size_t cut = 3 * dgnstream::kReadAheadBytes + 5;
  struct Case {
    const char *label;
    const Built *file;
    size_t bytes;  // 0: all of it
    bool filter;
  } cases[] = {
      {"2D", &two, 0, false},
      {"3D", &three, 0, false},
      {"2D cut after a block edge", &two, cut, false},
      {"3D cut after a block edge", &three, cut, false},
      {"2D with a spatial filter", &two, 0, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    const Bytes bytes(
        c.file->bytes.begin(),
        c.file->bytes.begin() + static_cast<long>(c.bytes ? c.bytes : c.file->bytes.size()));
    auto records = OpenBytes(bytes);
    auto views = OpenBytes(bytes);
    ASSERT_NE(views.get(), nullptr);
    if (c.filter) {
      DGNSetSpatialFilter(records.get(), 0, -500, 40000, 0);
      DGNSetSpatialFilter(views.get(), 0, -500, 40000, 0);
    }
    int shown = 0;
    DGNElementView view{};
    while (ElementPtr e = dgnkit::Next(records.get())) {
      ASSERT_TRUE(DGNReadElementView(views.get(), &view)) << e->element_id;
      ASSERT_EQ(view.element_id, e->element_id);
      ASSERT_EQ(view.type, e->type);
      ASSERT_EQ(view.size, e->size);
      DGNElement header{};
      DGNViewHeader(&view, &header);
      EXPECT_EQ(header.level, e->level);
      EXPECT_EQ(header.deleted, e->deleted);
      EXPECT_EQ(header.complex, e->complex);
      EXPECT_EQ(header.color, e->color);
      EXPECT_EQ(header.weight, e->weight);
      EXPECT_EQ(header.style, e->style);
      DGNVertexRun run{};
      const bool multi = DGNViewVertexRun(views.get(), &view, &run);
      if (e->kind == DGNKIND_MULTIPOINT && e->type != DGNTYPE_CURVE) {
        ASSERT_TRUE(multi);
        const auto *mp = static_cast<const DGNMultiPointElement *>(e.get());
        ASSERT_EQ(run.count, mp->num_vertices);
        for (int i = 0; i < run.count; ++i) {
          const DGNPoint v = DGNRunVertex(run, i);
          ASSERT_EQ(v.x, mp->vertices[i].x) << i;
          ASSERT_EQ(v.y, mp->vertices[i].y) << i;
          ASSERT_EQ(v.z, mp->vertices[i].z) << i;
        }
      } else {
        EXPECT_FALSE(multi);
        EXPECT_EQ(run.count, 0);
      }
      // An arc or ellipse read off its bytes is the record reading gives.
      DGNArcElement arc;
      ASSERT_EQ(DGNViewArc(views.get(), &view, &arc), e->kind == DGNKIND_ARC);
      if (e->kind == DGNKIND_ARC) {
        const auto *a = dgnkit::As<DGNArcElement>(e);
        EXPECT_EQ(arc.kind, a->kind);
        EXPECT_EQ(arc.offset, a->offset);
        EXPECT_EQ(arc.element_id, a->element_id);
        EXPECT_EQ(arc.color, a->color);
        EXPECT_EQ(arc.complex, a->complex);
        const double got[] = {arc.origin.x,       arc.origin.y, arc.origin.z,    arc.primary_axis,
                              arc.secondary_axis, arc.rotation, arc.start_angle, arc.sweep_angle};
        const double want[] = {a->origin.x,       a->origin.y, a->origin.z,    a->primary_axis,
                               a->secondary_axis, a->rotation, a->start_angle, a->sweep_angle};
        for (size_t k = 0; k < 8; ++k) EXPECT_EQ(got[k], want[k]) << k;
        for (int k = 0; k < 4; ++k) EXPECT_EQ(arc.quat[k], a->quat[k]) << k;
      }
      // The record made from a view is the record reading gives.
      if (e->type == DGNTYPE_TEXT || shown % 5 == 0) {
        ElementPtr made(DGNProcessView(views.get(), &view));
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(made->offset, e->offset);
        EXPECT_EQ(made->kind, e->kind);
        if (e->kind == DGNKIND_TEXT) {
          const auto *t = dgnkit::As<DGNTextElement>(e);
          const auto *u = static_cast<const DGNTextElement *>(made.get());
          EXPECT_STREQ(u->text, t->text);
          EXPECT_EQ(u->origin.x, t->origin.x);
          EXPECT_EQ(u->height_mult, t->height_mult);
        }
      }
      ++shown;
    }
    EXPECT_FALSE(DGNReadElementView(views.get(), &view));
    EXPECT_FALSE(DGNReadElementView(views.get(), &view)) << "the stream stays at its end";
    EXPECT_GT(shown, c.filter ? 10 : 100);
    // Units and colours are those of the file's first TCB and colour table.
    EXPECT_EQ(views.get()->scale, records.get()->scale);
    EXPECT_EQ(views.get()->got_color_table, records.get()->got_color_table);
    int64_t end_views = 0, end_records = 0, size = 0;
    EXPECT_EQ(DGNStreamCut(views.get(), &end_views, &size),
              DGNStreamCut(records.get(), &end_records, &size));
    EXPECT_EQ(end_views, end_records);
  }
}

TEST(ElementView, CountingKeepsNoIndexAndRewindsOnlyOnce) {
  const Built b = ViewBody(2);
  for (size_t bytes : {b.bytes.size(), size_t(2 * dgnstream::kReadAheadBytes + 1)}) {
    const Bytes file(b.bytes.begin(), b.bytes.begin() + static_cast<long>(bytes));
    auto counted = OpenBytes(file);
    auto indexed = OpenBytes(file);
    int count = -1, indexed_count = -2;
    ASSERT_TRUE(DGNCountElements(counted.get(), &count));
    DGNGetElementIndex(indexed.get(), &indexed_count);
    EXPECT_EQ(count, indexed_count) << bytes;
    EXPECT_EQ(counted.get()->element_index, nullptr) << "no entries are kept";
    EXPECT_EQ(counted.get()->got_color_table, indexed.get()->got_color_table);
    EXPECT_EQ(counted.get()->scale, indexed.get()->scale);
    // The first count leaves the stream at the first element; a later one
    // leaves it where the reads took it.
    ElementPtr first = dgnkit::Next(counted.get());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->element_id, 0);
    ASSERT_TRUE(DGNCountElements(counted.get(), &count));
    EXPECT_EQ(count, indexed_count);
    ElementPtr second = dgnkit::Next(counted.get());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->element_id, 1);
  }
  int none = 5;
  EXPECT_FALSE(DGNCountElements(nullptr, &none));
  EXPECT_EQ(none, 0);
}
