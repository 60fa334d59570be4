// TCB, colour table, tag set and tag value elements.
#include <gtest/gtest.h>

#include <string>

#include "dgn_test_util.h"

namespace {

using dgnkit::As;
using dgnkit::Bytes;
using dgnkit::ElementPtr;
using dgnkit::OpenBytes;

TEST(Tcb, UnitsOriginAndHandleUpdate) {
  struct Case {
    const char *label;
    int32_t uor, spm;
    double origin_x;  // design units
    double scale, handle_origin_x;
  };
  const Case cases[] = {
      {"1000 x 10", 1000, 10, 20000, 0.0001, 2.0},
      {"zero uor", 0, 10, 20000, 1.0, 20000},
      {"zero subunits", 1000, 0, 20000, 1.0, 20000},
      // 65536 * 65536 wraps to 0 in 32 bits; formed exactly it is 2^32.
      {"large counts", 65536, 65536, 4294967296.0, 1.0 / 4294967296.0, 1.0},
  };
  for (const Case &c : cases) {
    dgnkit::TcbSpec want;
    want.uor_per_subunit = c.uor;
    want.subunits_per_master = c.spm;
    want.origin[0] = c.origin_x;
    want.master_units = "mu";
    want.sub_units = "su";
    auto f = OpenBytes(dgnkit::Concat({dgnkit::MakeTcb(want), dgnkit::EndOfDesign()}));
    ASSERT_NE(f.get(), nullptr);
    auto e = dgnkit::Next(f.get());
    ASSERT_NE(e, nullptr);
    const auto *tcb = As<DGNTCBElement>(e);
    EXPECT_EQ(tcb->kind, DGNKIND_TCB) << c.label;
    EXPECT_EQ(tcb->uor_per_subunit, c.uor);
    EXPECT_EQ(tcb->subunits_per_master, c.spm);
    EXPECT_STREQ(tcb->master_units, "mu");
    EXPECT_STREQ(tcb->sub_units, "su");
    EXPECT_EQ(tcb->dimension, 2);
    EXPECT_DOUBLE_EQ(f.get()->scale, c.scale) << c.label;
    EXPECT_DOUBLE_EQ(f.get()->origin_x, c.handle_origin_x) << c.label;
    EXPECT_DOUBLE_EQ(tcb->origin_x, c.handle_origin_x) << c.label;
    EXPECT_EQ(f.get()->got_tcb, 1);
  }
}

TEST(Tcb, ThreeDimensionalFlagAndViewsUseItsOwnUnits) {
  dgnkit::TcbSpec want;
  want.uor_per_subunit = 10;
  want.subunits_per_master = 10;
  want.origin[0] = 500;
  Bytes tcb = dgnkit::MakeTcb(want);
  tcb[1214] |= 0x40;  // 3D, though the file starts 08 09
  const int view1 = 46 + 118;
  dgnkit::PutWord(tcb, view1, 0x0123);                            // flags
  tcb[view1 + 2] = 0xAA;                                          // first level byte
  dgnkit::PutInt32(tcb, view1 + 10, 1500);                        // origin x
  dgnkit::PutInt32(tcb, view1 + 26, 400);                         // delta y
  dgnkit::PutDFloat(tcb, view1 + 34, 1.0);                        // rotation[0]
  dgnkit::PutDFloat(tcb, view1 + 106, 2.5);                       // conversion
  dgnkit::PutInt32(tcb, view1 + 114, static_cast<uint32_t>(-9));  // active z
  auto f = OpenBytes(dgnkit::Concat({tcb, dgnkit::EndOfDesign()}));
  ASSERT_NE(f.get(), nullptr);
  EXPECT_EQ(f.get()->dimension, 2);
  auto e = dgnkit::Next(f.get());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(f.get()->dimension, 3);
  const DGNView &v = As<DGNTCBElement>(e)->views[1];
  EXPECT_EQ(v.flags, 0x0123);
  EXPECT_EQ(v.levels[0], 0xAA);
  EXPECT_DOUBLE_EQ(v.origin.x, 15 - 5);  // already in this TCB's units
  EXPECT_DOUBLE_EQ(v.delta.y, 4);
  EXPECT_DOUBLE_EQ(v.rotation[0], 1.0);
  EXPECT_DOUBLE_EQ(v.conversion, 2.5);
  EXPECT_EQ(v.active_z, -9);
}

TEST(Tcb, OnlyTheFirstChangesTheHandle) {
  dgnkit::TcbSpec first;
  first.uor_per_subunit = 100;
  first.subunits_per_master = 1;
  dgnkit::TcbSpec second;
  second.three_d = true;
  second.uor_per_subunit = 7;
  second.subunits_per_master = 1;
  second.origin[0] = 70;
  auto f = OpenBytes(
      dgnkit::Concat({dgnkit::MakeTcb(first), dgnkit::MakeTcb(second), dgnkit::EndOfDesign()}));
  ASSERT_NE(f.get(), nullptr);
  auto all = dgnkit::ReadAll(f.get());
  ASSERT_EQ(all.size(), 2u);
  EXPECT_DOUBLE_EQ(f.get()->scale, 0.01);
  EXPECT_EQ(f.get()->dimension, 2);
  EXPECT_EQ(f.get()->origin_x, 0);
  EXPECT_EQ(As<DGNTCBElement>(all[1])->dimension, 3);  // the record still says what it holds
  EXPECT_DOUBLE_EQ(As<DGNTCBElement>(all[1])->origin_x, 10);
}

TEST(ColorTable, EntriesAndHandleTable) {
  std::array<std::array<uint8_t, 3>, 256> colors{};
  for (int i = 0; i < 256; ++i) {
    colors[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i ^ 0x55), 9};
  }
  std::array<std::array<uint8_t, 3>, 256> other{};
  Bytes table = dgnkit::MakeColorTable(colors);
  ASSERT_EQ(table.size(), 806u);
  dgnkit::PutWord(table, 36, 1);
  auto f = OpenBytes(dgnkit::Concat(
      {dgnkit::MakeTcb({}), table, dgnkit::MakeColorTable(other), dgnkit::EndOfDesign()}));
  ASSERT_NE(f.get(), nullptr);
  auto all = dgnkit::ReadAll(f.get());
  ASSERT_EQ(all.size(), 3u);
  const auto *ct = As<DGNColorTableElement>(all[1]);
  EXPECT_EQ(ct->screen_flag, 1);
  EXPECT_EQ(ct->color_info[255][0], 255);  // bytes 38-40
  EXPECT_EQ(ct->color_info[0][1], 0x55);   // bytes 41-43
  EXPECT_EQ(ct->color_info[254][0], 254);
  ASSERT_TRUE(f.get()->got_color_table);
  EXPECT_EQ(f.get()->color_table[255][1], 255 ^ 0x55);
  EXPECT_EQ(f.get()->color_table[17][2], 9);  // the second table changed nothing
}

TEST(TagSet, DefinitionsOfEveryType) {
  dgnkit::TagSetSpec want;
  want.name = "ABC";
  want.tag_set = 12;
  want.defs = {
      {"NAME", 1, "Your name", 1, "none", 0, 0},
      {"COUNT", 2, "How many", 3, "", -5, 0},
      {"LEN", 3, "Length", 4, "", 0, 2.25},
      {"ALT", 4, "Alt", 5, "", 77, 0},
      {"ODD", 5, "Odd", 9, "", 0, 0},
      {"LAST", 6, "", 1, "", 0, 0},
  };
  const Bytes set = dgnkit::MakeTagSet(want);
  // The first definition starts right after the name, its terminator and one spare byte.
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(&set[53]), 4), "NAME");
  auto f = OpenBytes(dgnkit::Concat({dgnkit::MakeTcb({}), set, dgnkit::EndOfDesign()}));
  ASSERT_NE(f.get(), nullptr);
  dgnkit::Next(f.get());
  auto e = dgnkit::Next(f.get());
  ASSERT_NE(e, nullptr);
  const auto *tags = As<DGNTagSetElement>(e);
  EXPECT_EQ(tags->kind, DGNKIND_TAG_SET);
  EXPECT_EQ(tags->tag_set, 12);
  EXPECT_STREQ(tags->tag_set_name, "ABC");
  EXPECT_EQ(tags->flags, -1);
  ASSERT_EQ(tags->tag_count, 6);
  EXPECT_STREQ(tags->tag_list[0].name, "NAME");
  EXPECT_EQ(tags->tag_list[0].id, 1);
  EXPECT_STREQ(tags->tag_list[0].prompt, "Your name");
  EXPECT_EQ(tags->tag_list[0].type, 1);
  EXPECT_STREQ(tags->tag_list[0].default_value.string, "none");
  EXPECT_EQ(tags->tag_list[1].default_value.integer, -5);
  EXPECT_DOUBLE_EQ(tags->tag_list[2].default_value.real, 2.25);
  EXPECT_EQ(tags->tag_list[3].default_value.integer, 77);
  EXPECT_EQ(tags->tag_list[4].type, 9);
  EXPECT_STREQ(tags->tag_list[5].name, "LAST");
  EXPECT_STREQ(tags->tag_list[5].prompt, "");
  EXPECT_STREQ(tags->tag_list[5].default_value.string, "");
}

TEST(TagSet, FlagsFromTheAttributeLinkage) {
  struct Case {
    Bytes attributes;
    int flags;
  };
  const Case cases[] = {
      {{0x03, 0x10, 0x2F, 0x7D, 0x34, 0x12, 0, 0}, 0x1234},
      {{0x03, 0x10, 0x2F, 0x7E, 0x34, 0x12, 0, 0}, -1},
      {{0x03, 0x10, 0x2F, 0x7D, 0x34, 0x12}, -1},  // not more than 7 bytes
      {{}, -1},
  };
  for (const Case &c : cases) {
    dgnkit::TagSetSpec want;
    want.defs = {{"A", 1, "P", 3, "", 1, 0}};
    want.attributes = c.attributes;
    auto f = OpenBytes(
        dgnkit::Concat({dgnkit::MakeTcb({}), dgnkit::MakeTagSet(want), dgnkit::EndOfDesign()}));
    ASSERT_NE(f.get(), nullptr);
    dgnkit::Next(f.get());
    auto e = dgnkit::Next(f.get());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(As<DGNTagSetElement>(e)->flags, c.flags);
    EXPECT_EQ(As<DGNTagSetElement>(e)->tag_count, 1);
  }
}

TEST(TagSet, OnlyDefinitionsThatFitAreKept) {
  dgnkit::TagSetSpec want;
  want.defs = {{"ONE", 1, "First", 3, "", 1, 0}, {"TWO", 2, "Second", 1, "two", 0, 0}};
  struct Case {
    const char *label;
    int stored_count;
    int cut;  // bytes removed from the end
    int kept;
  };
  const Case cases[] = {
      {"count says more", 60000, 0, 2},
      {"second definition cut", 2, 2, 1},
      {"both cut", 2, 40, 0},
      {"count says fewer", 1, 0, 1},
  };
  for (const Case &c : cases) {
    want.count = c.stored_count;
    Bytes set = dgnkit::MakeTagSet(want);
    set.resize(set.size() - static_cast<size_t>(c.cut));
    dgnkit::PutWord(set, 2, static_cast<uint16_t>((set.size() - 4) / 2));
    auto f = OpenBytes(dgnkit::Concat({dgnkit::MakeTcb({}), set, dgnkit::EndOfDesign()}));
    ASSERT_NE(f.get(), nullptr);
    dgnkit::Next(f.get());
    auto e = dgnkit::Next(f.get());
    ASSERT_NE(e, nullptr) << c.label;
    const auto *tags = As<DGNTagSetElement>(e);
    EXPECT_EQ(tags->tag_count, c.kept) << c.label;
    if (c.kept > 0) {
      EXPECT_STREQ(tags->tag_list[0].prompt, "First");
    }
    if (c.kept == 0) {
      EXPECT_EQ(tags->tag_list, nullptr);
    }
  }
}

TEST(TagValue, TextIntegerAndReal) {
  struct Case {
    uint16_t type;
    std::string text;
    int32_t integer;
    double real;
  };
  const Case cases[] = {{1, "hello", 0, 0}, {3, "", -123456, 0}, {4, "", 0, -7.75}, {2, "", 0, 0}};
  for (const Case &c : cases) {
    dgnkit::TagValueSpec want;
    want.tag_set = 0x01020304;
    want.tag_index = 6;
    want.tag_type = c.type;
    want.tag_length = 11;
    want.text = c.text;
    want.integer = c.integer;
    want.real = c.real;
    auto f = OpenBytes(
        dgnkit::Concat({dgnkit::MakeTcb({}), dgnkit::MakeTagValue(want), dgnkit::EndOfDesign()}));
    ASSERT_NE(f.get(), nullptr);
    dgnkit::Next(f.get());
    auto e = dgnkit::Next(f.get());
    ASSERT_NE(e, nullptr);
    const auto *tag = As<DGNTagValueElement>(e);
    EXPECT_EQ(tag->kind, DGNKIND_TAG_VALUE);
    EXPECT_EQ(tag->tag_set, 0x01020304);
    EXPECT_EQ(tag->tag_index, 6);
    EXPECT_EQ(tag->tag_type, c.type);
    EXPECT_EQ(tag->tag_length, 11);
    if (c.type == 1) {
      EXPECT_EQ(std::string(tag->value.string), c.text);
    }
    if (c.type == 3) {
      EXPECT_EQ(tag->value.integer, c.integer);
    }
    if (c.type == 4) {
      EXPECT_DOUBLE_EQ(tag->value.real, c.real);
    }
    if (c.type == 2) {
      EXPECT_EQ(tag->value.integer, 0);
    }
  }
}

TEST(TagValue, TextValueOfAShortElementIsEmptyNotStale) {
  // A 150-byte tag value of type 1 has no value bytes at all.
  dgnkit::TagValueSpec want;
  Bytes tag = dgnkit::MakeTagValue(want);
  tag.resize(150);
  dgnkit::PutWord(tag, 2, static_cast<uint16_t>((tag.size() - 4) / 2));
  dgnkit::TagValueSpec longer;
  longer.text = "stale text from before";
  auto f = OpenBytes(dgnkit::Concat(
      {dgnkit::MakeTcb({}), dgnkit::MakeTagValue(longer), tag, dgnkit::EndOfDesign()}));
  ASSERT_NE(f.get(), nullptr);
  auto all = dgnkit::ReadAll(f.get());
  ASSERT_EQ(all.size(), 3u);
  const auto *tv = As<DGNTagValueElement>(all[2]);
  ASSERT_NE(tv->value.string, nullptr);
  EXPECT_STREQ(tv->value.string, "");
  EXPECT_EQ(tv->tag_length, 0);
}

}  // namespace
