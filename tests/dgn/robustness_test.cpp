// Damaged and hostile input: every prefix of a valid file, flipped header
// bytes, short elements after long ones, and random element bodies.  In the
// sanitizer build the unused tail of the element buffer is poisoned, so any
// read past an element's end fails here at once.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>

#include "dgn_internal.h"
#include "dgn_test_util.h"

namespace {

using dgnkit::As;
using dgnkit::Bytes;
using dgnkit::ErrorCapture;

// Opens, indexes and reads a whole file; gives the number of elements read
// (-1 if it did not open).
int Walk(const Bytes &file) {
  auto f = dgnkit::OpenBytes(file);
  if (f.get() == nullptr) return -1;
  int count = 0;
  const DGNIndexEntry *index = DGNGetElementIndex(f.get(), &count);
  for (int i = 0; i < count; ++i) EXPECT_LE(index[i].offset, file.size());
  int read = 0;
  while (auto e = dgnkit::Next(f.get())) {
    EXPECT_GE(e->size, 4);
    if (e->kind == DGNKIND_MULTIPOINT) {
      EXPECT_GE(As<DGNMultiPointElement>(e)->num_vertices, 0);
    }
    ++read;
  }
  EXPECT_EQ(read, count);
  // Random access to every indexed element.
  for (int i = count - 1; i >= 0; --i) {
    EXPECT_TRUE(DGNGotoElement(f.get(), i));
    auto e = dgnkit::Next(f.get());
    if (e == nullptr) {
      ADD_FAILURE() << "element " << i << " cannot be read again";
      continue;
    }
    EXPECT_EQ(e->element_id, i);
  }
  return read;
}

// Renders every decoded field that depends on the element's bytes.
std::string Describe(const DGNElement *e) {
  std::ostringstream out;
  out.precision(17);
  out << e->kind << ' ' << e->type << ' ' << e->level << ' ' << e->complex << ' ' << e->deleted
      << ' ' << e->graphic_group << ' ' << e->properties << ' ' << e->color << ' ' << e->weight
      << ' ' << e->style << " attr " << e->attr_bytes << ':';
  for (int i = 0; i < e->attr_bytes; ++i) out << int(e->attr_data[i]) << ',';
  auto point = [&out](const DGNPoint &p) { out << '(' << p.x << ',' << p.y << ',' << p.z << ')'; };
  switch (e->kind) {
    case DGNKIND_MULTIPOINT: {
      auto *m = static_cast<const DGNMultiPointElement *>(e);
      out << " n=" << m->num_vertices;
      for (int i = 0; i < m->num_vertices; ++i) point(m->vertices[i]);
      break;
    }
    case DGNKIND_ARC: {
      auto *a = static_cast<const DGNArcElement *>(e);
      point(a->origin);
      out << a->primary_axis << ' ' << a->secondary_axis << ' ' << a->rotation << ' '
          << a->start_angle << ' ' << a->sweep_angle << ' ' << a->quat[0] << a->quat[3];
      break;
    }
    case DGNKIND_TEXT: {
      auto *t = static_cast<const DGNTextElement *>(e);
      point(t->origin);
      out << t->font_id << ' ' << t->justification << ' ' << t->length_mult << ' ' << t->height_mult
          << ' ' << t->rotation << " [" << t->text << ']';
      break;
    }
    case DGNKIND_COMPLEX_HEADER: {
      auto *c = static_cast<const DGNComplexHeaderElement *>(e);
      out << c->total_length << ' ' << c->num_elements << ' ' << c->surface_type;
      break;
    }
    case DGNKIND_CELL_HEADER: {
      auto *c = static_cast<const DGNCellHeaderElement *>(e);
      out << c->total_length << " [" << c->name << "] " << c->cell_class << ' ' << c->levels[3];
      point(c->range_low);
      point(c->range_high);
      point(c->origin);
      for (double t : c->transform) out << ' ' << t;
      out << ' ' << c->x_scale << ' ' << c->y_scale << ' ' << c->rotation;
      break;
    }
    case DGNKIND_CELL_LIBRARY: {
      auto *c = static_cast<const DGNCellLibraryElement *>(e);
      out << " [" << c->name << "] " << c->cell_type << " [" << c->description << "] "
          << c->class_and_levels[5];
      break;
    }
    case DGNKIND_CONE: {
      auto *c = static_cast<const DGNConeElement *>(e);
      out << c->cone_word << ' ' << c->quat[1];
      point(c->center_1);
      point(c->center_2);
      out << c->radius_1 << ' ' << c->radius_2;
      break;
    }
    case DGNKIND_TAG_VALUE: {
      auto *t = static_cast<const DGNTagValueElement *>(e);
      out << t->tag_type << ' ' << t->tag_set << ' ' << t->tag_index << ' ' << t->tag_length;
      if (t->tag_type == DGNTT_TEXT) out << " [" << t->value.string << ']';
      if (t->tag_type == DGNTT_INTEGER) out << ' ' << t->value.integer;
      if (t->tag_type == DGNTT_REAL) out << ' ' << t->value.real;
      break;
    }
    case DGNKIND_TAG_SET: {
      auto *t = static_cast<const DGNTagSetElement *>(e);
      out << t->tag_count << ' ' << t->flags << ' ' << t->tag_set << " [" << t->tag_set_name << ']';
      for (int i = 0; i < t->tag_count; ++i) {
        const DGNTagDefinition &d = t->tag_list[i];
        out << " {" << d.name << ',' << d.id << ',' << d.prompt << ',' << d.type;
        if (d.type == DGNTT_TEXT) out << ',' << d.default_value.string;
        out << '}';
      }
      break;
    }
    case DGNKIND_COLOR_TABLE: {
      auto *c = static_cast<const DGNColorTableElement *>(e);
      out << c->screen_flag;
      for (int i = 0; i < 256; i += 17) out << ' ' << int(c->color_info[i][0]);
      out << ' ' << int(c->color_info[255][2]);
      break;
    }
    case DGNKIND_TCB: {
      auto *t = static_cast<const DGNTCBElement *>(e);
      out << t->dimension << ' ' << t->uor_per_subunit << ' ' << t->subunits_per_master << " ["
          << t->master_units << t->sub_units << "] " << t->origin_x << ' ' << t->origin_z;
      point(t->views[7].origin);
      out << t->views[7].active_z;
      break;
    }
    default: break;
  }
  return out.str();
}

// The elements of the sample file, each as its own byte vector.
std::vector<Bytes> SplitElements(const Bytes &file) {
  std::vector<Bytes> out;
  size_t at = 0;
  while (at + 4 <= file.size() && !(file[at] == 0xFF && file[at + 1] == 0xFF)) {
    const size_t size = 4 + 2 * static_cast<size_t>(file[at + 2] | file[at + 3] << 8);
    out.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at),
                     file.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += size;
  }
  return out;
}

TEST(Robustness, EveryPrefixOfTheSampleFiles) {
  for (bool three_d : {false, true}) {
    const Bytes file = dgnkit::SampleFile(three_d);
    ErrorCapture errors;  // trimming warnings etc. are expected and silenced
    EXPECT_EQ(Walk(file), static_cast<int>(SplitElements(file).size()));
    // Every byte of the first element header, sparse steps through the long
    // TCB, then steps of 3 (both parities) through the rest.
    for (size_t n = 0; n < file.size(); n += (n < 8 ? 1 : n < 1536 ? 97 : 3)) {
      const Bytes prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
      const int read = Walk(prefix);
      EXPECT_EQ(read < 0, n < 4) << n;
    }
  }
}

TEST(Robustness, FlippedHeaderBytesOfEveryElement) {
  const Bytes file = dgnkit::SampleFile(false);
  ErrorCapture errors;
  size_t at = 0;
  for (const Bytes &element : SplitElements(file)) {
    for (size_t i = 0; i < 4; ++i) {
      for (uint8_t mask : {0x01, 0x80, 0xFF, 0x7F}) {
        Bytes damaged = file;
        damaged[at + i] ^= mask;
        Walk(damaged);
      }
    }
    at += element.size();
  }
}

// A short element must decode the same whether the buffer held a long,
// garbage-filled element before it or not.
TEST(Robustness, ShortElementsNeverSeeThePreviousElement) {
  for (bool three_d : {false, true}) {
    dgnkit::TcbSpec tcb_spec;
    tcb_spec.three_d = three_d;
    const Bytes tcb = dgnkit::MakeTcb(tcb_spec);
    const Bytes filler = dgnkit::Element(DGNTYPE_APPLICATION_ELEM, 5)
                             .PadTo(2000)
                             .BytesAt(36, Bytes(1964, 0xA7))
                             .Build();
    ErrorCapture errors;
    const std::vector<Bytes> elements = SplitElements(dgnkit::SampleFile(three_d));
    for (size_t k = 1; k < elements.size(); ++k) {
      const Bytes &whole = elements[k];
      for (size_t len = 4; len <= whole.size(); len += 2) {
        Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(len));
        cut[2] = static_cast<uint8_t>(((len - 4) / 2) & 0xFF);
        cut[3] = static_cast<uint8_t>(((len - 4) / 2) >> 8);
        auto clean = dgnkit::OpenBytes(dgnkit::Concat({tcb, cut, dgnkit::EndOfDesign()}));
        auto dirty = dgnkit::OpenBytes(dgnkit::Concat({tcb, filler, cut, dgnkit::EndOfDesign()}));
        ASSERT_NE(clean.get(), nullptr);
        ASSERT_NE(dirty.get(), nullptr);
        dgnkit::Next(clean.get());
        dgnkit::Next(dirty.get());
        dgnkit::Next(dirty.get());
        auto a = dgnkit::Next(clean.get());
        auto b = dgnkit::Next(dirty.get());
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(Describe(a.get()), Describe(b.get()))
            << "element " << k << " (type " << a->type << ") cut to " << len << " bytes";
      }
    }
  }
}

TEST(Robustness, RandomBodiesOfEveryType) {
  std::mt19937 rng(12345);
  ErrorCapture errors;
  for (int dimension : {2, 3}) {
    dgnkit::TcbSpec tcb_spec;
    tcb_spec.three_d = dimension == 3;
    for (int type = 0; type < 128; ++type) {
      std::vector<Bytes> parts{dgnkit::MakeTcb(tcb_spec)};
      for (size_t len : {4u, 6u, 30u, 36u, 38u, 58u, 60u, 62u, 76u, 120u, 160u, 300u, 900u}) {
        for (int level : {1, 24}) {
          Bytes e(len);
          for (uint8_t &b : e) b = static_cast<uint8_t>(rng());
          e[0] = static_cast<uint8_t>((e[0] & 0xC0) | level);
          e[1] = static_cast<uint8_t>((e[1] & 0x80) | type);
          e[2] = static_cast<uint8_t>(((len - 4) / 2) & 0xFF);
          e[3] = static_cast<uint8_t>(((len - 4) / 2) >> 8);
          parts.push_back(e);
        }
      }
      parts.push_back(dgnkit::EndOfDesign());
      EXPECT_EQ(Walk(dgnkit::Concat(parts)), static_cast<int>(parts.size()) - 1) << type;
    }
  }
}

TEST(Robustness, LargestElementFitsTheBuffer) {
  // 65535 words to follow: the largest element the format can describe.
  Bytes big =
      dgnkit::Element(DGNTYPE_LINE_STRING, 1).SetRange({}).SetDisplay({}).Word(65535).Build();
  big.resize(4 + 2 * 65535, 0x11);
  big[2] = big[3] = 0xFF;
  ErrorCapture errors;
  auto f = dgnkit::OpenBytes(dgnkit::Concat({dgnkit::MakeTcb({}), big, dgnkit::EndOfDesign()}));
  ASSERT_NE(f.get(), nullptr);
  dgnkit::Next(f.get());
  auto e = dgnkit::Next(f.get());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->size, 131074);
  EXPECT_EQ(As<DGNMultiPointElement>(e)->num_vertices, (131074 - 38) / 8);
  EXPECT_EQ(errors.count(CPLClassWarning), 1u);
}

#if defined(DGN_HAVE_ASAN)
// The poisoning itself: a read one byte past the element aborts.  (The
// "fast" death-test style forks without re-running this body, so the
// temporary file belongs to the parent alone and is removed.)
TEST(RobustnessDeathTest, ReadingPastTheElementTraps) {
  GTEST_FLAG_SET(death_test_style, "fast");
  auto f = dgnkit::OpenBytes(dgnkit::Concat(
      {dgnkit::MakeTcb({}), dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0, 0}, {1, 1, 0}}),
       dgnkit::EndOfDesign()}));
  ASSERT_NE(f.get(), nullptr);
  ASSERT_TRUE(DGNLoadRawElement(f.get(), nullptr, nullptr));
  ASSERT_TRUE(DGNLoadRawElement(f.get(), nullptr, nullptr));  // 52 bytes after 1536
  volatile const unsigned char *buffer = f.get()->elem_buffer;
  EXPECT_EQ(buffer[51], 0);  // inside: fine
  EXPECT_DEATH((void)buffer[52], "use-after-poison");
}
#endif

}  // namespace
