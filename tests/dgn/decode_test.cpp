// Decoding of the geometric element types and of the common header.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "dgn_test_util.h"

namespace {

using dgnkit::As;
using dgnkit::Bytes;
using dgnkit::Element;
using dgnkit::ElementPtr;
using dgnkit::ErrorCapture;
using dgnkit::OpenBytes;

// Opens a file of a TCB (units 1:1 unless given) followed by `elements`, reads
// past the TCB and returns the next element.
struct OneElement {
  dgnkit::OpenedFile file;
  ElementPtr element;
};

OneElement Decode(const Bytes &element, bool three_d = false, dgnkit::TcbSpec tcb = {}) {
  tcb.three_d = three_d;
  if (tcb.uor_per_subunit == 1000 && tcb.subunits_per_master == 10) {
    tcb.uor_per_subunit = 1;  // design units = master units unless a test says otherwise
    tcb.subunits_per_master = 1;
  }
  OneElement out;
  out.file = OpenBytes(dgnkit::Concat({dgnkit::MakeTcb(tcb), element, dgnkit::EndOfDesign()}));
  if (out.file.get() == nullptr) return out;
  dgnkit::Next(out.file.get());  // the TCB
  out.element = dgnkit::Next(out.file.get());
  return out;
}

void ExpectPoint(const DGNPoint &p, double x, double y, double z) {
  EXPECT_DOUBLE_EQ(p.x, x);
  EXPECT_DOUBLE_EQ(p.y, y);
  EXPECT_DOUBLE_EQ(p.z, z);
}

TEST(CoreHeader, DisplayFieldsAndFlags) {
  dgnkit::Display d;
  d.graphic_group = 0x1234;
  d.color = 200;
  d.weight = 31;
  d.style = 7;
  const Bytes line = Element(DGNTYPE_LINE, 63)
                         .Complex()
                         .Deleted()
                         .SetRange({})
                         .SetDisplay(d)
                         .Points({{0, 0, 0}, {1, 1, 0}}, 2)
                         .Build();
  auto r = Decode(line);
  ASSERT_NE(r.element, nullptr);
  const DGNElement &e = *r.element;
  EXPECT_EQ(e.level, 63);
  EXPECT_EQ(e.type, DGNTYPE_LINE);
  EXPECT_EQ(e.complex, 0x80);
  EXPECT_EQ(e.deleted, 0x80);
  EXPECT_EQ(e.graphic_group, 0x1234);
  EXPECT_EQ(e.color, 200);
  EXPECT_EQ(e.weight, 31);
  EXPECT_EQ(e.style, 7);
  EXPECT_EQ(e.attr_bytes, 0);
  EXPECT_EQ(e.attr_data, nullptr);
}

TEST(CoreHeader, TypesWithoutDisplayHeaderIgnoreBytes28To35) {
  for (int type : {0, 1, 9, 10, 32, 44, 48, 49, 50, 51, 57, 63}) {
    EXPECT_FALSE(DGNTypeHasDisplayHeader(type)) << type;
  }
  for (int type : {2, 3, 4, 5, 6, 7, 11, 12, 17, 37, 66, 127}) {
    EXPECT_TRUE(DGNTypeHasDisplayHeader(type)) << type;
  }
  dgnkit::Display d;
  d.graphic_group = 9;
  d.properties = 0x0800;
  d.color = 5;
  d.weight = 3;
  d.style = 2;
  auto r = Decode(Element(10, 1).SetDisplay(d).PadTo(60).Build());
  ASSERT_NE(r.element, nullptr);
  EXPECT_EQ(r.element->kind, DGNKIND_CORE);
  EXPECT_EQ(r.element->graphic_group, 0);
  EXPECT_EQ(r.element->properties, 0);
  EXPECT_EQ(r.element->color, 0);
  EXPECT_EQ(r.element->weight, 0);
  EXPECT_EQ(r.element->style, 0);
}

TEST(CoreHeader, AttributeLinkageIsCopied) {
  const Bytes linkage = {0x07, 0x10, 0xAA, 0xBB, 0xCC, 0xDD};
  auto r = Decode(Element(DGNTYPE_LINE, 1)
                      .SetRange({})
                      .SetDisplay({})
                      .Points({{0, 0, 0}, {1, 1, 0}}, 2)
                      .Attributes(linkage)
                      .Build());
  ASSERT_NE(r.element, nullptr);
  EXPECT_EQ(r.element->properties & 0x0800, 0x0800);
  ASSERT_EQ(r.element->attr_bytes, 6);
  EXPECT_EQ(Bytes(r.element->attr_data, r.element->attr_data + 6), linkage);
}

TEST(CoreHeader, AttributeIndexAtOrPastTheEndWarns) {
  struct Case {
    uint16_t index;
    int computed;
  };
  // A 52-byte line: index 10 points at byte 52 (the end), 30 far past it.
  const Case cases[] = {{10, 0}, {30, -40}};
  for (const Case &c : cases) {
    dgnkit::Display d;
    d.properties = 0x0800;
    ErrorCapture errors;
    auto r = Decode(Element(DGNTYPE_LINE, 1)
                        .SetRange({})
                        .SetDisplay(d)
                        .Points({{0, 0, 0}, {1, 1, 0}}, 2)
                        .AttrIndex(c.index)
                        .Build());
    ASSERT_NE(r.element, nullptr);
    EXPECT_EQ(r.element->attr_bytes, 0);
    EXPECT_EQ(r.element->attr_data, nullptr);
    ASSERT_EQ(errors.reports().size(), 1u);
    EXPECT_EQ(errors.reports()[0].cls, CPLClassWarning);
    EXPECT_EQ(errors.reports()[0].text,
              "Computed " + std::to_string(c.computed) +
                  " bytes for attribute info on element,\nperhaps this element type doesn't "
                  "really have a disphdr?");
  }
}

TEST(CoreHeader, UnknownTypesKeepTheirRawBytes) {
  const Bytes node = Element(DGNTYPE_TEXT_NODE, 4).SetDisplay({}).PadTo(40).Build();
  auto r = Decode(node);
  ASSERT_NE(r.element, nullptr);
  EXPECT_EQ(r.element->kind, DGNKIND_CORE);
  ASSERT_EQ(r.element->raw_bytes, 40);
  EXPECT_EQ(Bytes(r.element->raw_data, r.element->raw_data + 40), node);
}

TEST(MultiPoint, VerticesInMasterUnits2DAnd3D) {
  dgnkit::TcbSpec tcb;
  tcb.uor_per_subunit = 10;
  tcb.subunits_per_master = 10;  // 100 design units per master unit
  tcb.origin[0] = 1000;          // global origin 10 master units on x
  auto r2 =
      Decode(dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0, 0}, {100, 200, 0}, {-300, 50, 0}}),
             false, tcb);
  ASSERT_NE(r2.element, nullptr);
  const auto *mp = As<DGNMultiPointElement>(r2.element);
  EXPECT_EQ(mp->kind, DGNKIND_MULTIPOINT);
  ASSERT_EQ(mp->num_vertices, 3);
  ExpectPoint(mp->vertices[0], -10, 0, 0);
  ExpectPoint(mp->vertices[1], -9, 2, 0);
  ExpectPoint(mp->vertices[2], -13, 0.5, 0);

  auto r3 = Decode(dgnkit::MakeMultiPoint(DGNTYPE_SHAPE, {{1, 2, 3}, {4, 5, 6}}, 3), true);
  ASSERT_NE(r3.element, nullptr);
  const auto *mp3 = As<DGNMultiPointElement>(r3.element);
  ASSERT_EQ(mp3->num_vertices, 2);
  ExpectPoint(mp3->vertices[1], 4, 5, 6);
}

TEST(MultiPoint, LineHasTwoVerticesWithoutACount) {
  auto r2 = Decode(dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{7, 8, 0}, {9, 10, 0}}));
  ASSERT_NE(r2.element, nullptr);
  const auto *line = As<DGNMultiPointElement>(r2.element);
  ASSERT_EQ(line->num_vertices, 2);
  ExpectPoint(line->vertices[0], 7, 8, 0);
  ExpectPoint(line->vertices[1], 9, 10, 0);

  auto r3 = Decode(dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{1, 2, 3}, {4, 5, 6}}, 3), true);
  ASSERT_NE(r3.element, nullptr);
  const auto *line3 = As<DGNMultiPointElement>(r3.element);
  ExpectPoint(line3->vertices[0], 1, 2, 3);
  ExpectPoint(line3->vertices[1], 4, 5, 6);
}

TEST(MultiPoint, ShortElementsAreTrimmedNeverNegative) {
  struct Case {
    const char *label;
    int element_bytes;  // total element size
    uint16_t stored;
    int expected;
    bool warns;
  };
  const Case cases[] = {
      {"says 10, holds 4", 70, 10, 4, true},
      {"exact", 38 + 3 * 8, 3, 3, false},
      {"half a vertex short", 38 + 3 * 8 - 2, 3, 2, true},
      {"header only", 38, 5, 0, true},
      {"no count at all", 30, 0, 0, false},
      {"count but nothing else", 36, 0, 0, false},
  };
  for (const Case &c : cases) {
    Element e(DGNTYPE_LINE_STRING, 1);
    e.SetRange({}).SetDisplay({});
    if (c.element_bytes >= 38) e.Word(c.stored);
    for (int i = 0; e.size() < static_cast<size_t>(c.element_bytes); ++i) e.Word(1);
    Bytes bytes = e.Build();
    if (c.element_bytes < 36) {
      bytes.resize(static_cast<size_t>(c.element_bytes));
      bytes[2] = static_cast<uint8_t>((c.element_bytes - 4) / 2);
    }
    ErrorCapture errors;
    auto r = Decode(bytes);
    ASSERT_NE(r.element, nullptr) << c.label;
    EXPECT_EQ(As<DGNMultiPointElement>(r.element)->num_vertices, c.expected) << c.label;
    EXPECT_EQ(errors.count(CPLClassWarning), c.warns ? 1u : 0u) << c.label;
    if (c.warns) {
      EXPECT_EQ(errors.reports()[0].text,
                "Trimming multipoint vertices to " + std::to_string(c.expected) + " from " +
                    std::to_string(c.stored) + " because\nelement is short.\n")
          << c.label;
    }
  }
}

TEST(Arc, EllipseAlwaysFullTurn) {
  dgnkit::ArcSpec want;
  want.primary_axis = 200;
  want.secondary_axis = 100;
  want.rotation = 45;
  want.origin[0] = 1000;
  want.origin[1] = -500;
  want.start_angle = 30;  // ignored by the ellipse layout
  dgnkit::TcbSpec tcb;
  tcb.uor_per_subunit = 100;
  tcb.subunits_per_master = 1;
  auto r = Decode(dgnkit::MakeEllipse(want), false, tcb);
  ASSERT_NE(r.element, nullptr);
  const auto *arc = As<DGNArcElement>(r.element);
  EXPECT_EQ(arc->kind, DGNKIND_ARC);
  EXPECT_DOUBLE_EQ(arc->primary_axis, 2);
  EXPECT_DOUBLE_EQ(arc->secondary_axis, 1);
  EXPECT_DOUBLE_EQ(arc->rotation, 45);
  ExpectPoint(arc->origin, 10, -5, 0);
  EXPECT_EQ(arc->start_angle, 0);
  EXPECT_EQ(arc->sweep_angle, 360);

  want.quat[0] = 11;
  want.quat[3] = -4;
  want.origin[2] = 700;
  auto r3 = Decode(dgnkit::MakeEllipse(want, 3), true);
  ASSERT_NE(r3.element, nullptr);
  const auto *arc3 = As<DGNArcElement>(r3.element);
  EXPECT_EQ(arc3->quat[0], 11);
  EXPECT_EQ(arc3->quat[3], -4);
  EXPECT_EQ(arc3->rotation, 0);
  ExpectPoint(arc3->origin, 1000, -500, 700);
  EXPECT_EQ(arc3->sweep_angle, 360);
}

TEST(Arc, SweepIsSignAndMagnitude) {
  struct Case {
    const char *label;
    uint32_t stored;
    double sweep;
  };
  const Case cases[] = {
      {"plus 90", 90u * 360000u, 90},
      {"minus 90", 0x80000000u | 90u * 360000u, -90},
      {"zero", 0, 360},
      {"minus zero", 0x80000000u, 360},
      {"fraction", 45u * 360000u + 180000u, 45.5},
  };
  for (const Case &c : cases) {
    dgnkit::ArcSpec want;
    want.start_angle = -30;
    Bytes bytes = dgnkit::MakeArc(want);
    dgnkit::PutInt32(bytes, 40, c.stored);
    auto r = Decode(bytes);
    ASSERT_NE(r.element, nullptr) << c.label;
    const auto *arc = As<DGNArcElement>(r.element);
    EXPECT_DOUBLE_EQ(arc->sweep_angle, c.sweep) << c.label;
    EXPECT_DOUBLE_EQ(arc->start_angle, -30) << c.label;
  }
}

TEST(Arc, AxesRotationAndOrigin2DAnd3D) {
  dgnkit::ArcSpec want;
  want.primary_axis = 10;
  want.secondary_axis = 5;
  want.rotation = 12.5;
  want.origin[0] = 3;
  want.origin[1] = 4;
  want.origin[2] = 5;
  want.sweep_angle = 180;
  auto r = Decode(dgnkit::MakeArc(want));
  ASSERT_NE(r.element, nullptr);
  const auto *arc = As<DGNArcElement>(r.element);
  EXPECT_DOUBLE_EQ(arc->primary_axis, 10);
  EXPECT_DOUBLE_EQ(arc->secondary_axis, 5);
  EXPECT_DOUBLE_EQ(arc->rotation, 12.5);
  ExpectPoint(arc->origin, 3, 4, 0);

  want.quat[1] = 99;
  auto r3 = Decode(dgnkit::MakeArc(want, 3), true);
  ASSERT_NE(r3.element, nullptr);
  const auto *arc3 = As<DGNArcElement>(r3.element);
  EXPECT_EQ(arc3->quat[1], 99);
  EXPECT_EQ(arc3->rotation, 0);
  ExpectPoint(arc3->origin, 3, 4, 5);
  EXPECT_DOUBLE_EQ(arc3->sweep_angle, 180);
}

TEST(Text, EightAndSixteenBitTexts) {
  struct Case {
    const char *label;
    Bytes raw;
    int count;  // -1: the raw size
    std::string expected;
  };
  const Case cases[] = {
      {"plain", {'A', 'b', 'c'}, -1, "Abc"},
      {"empty", {}, 0, ""},
      {"16-bit", {0xFF, 0xFD, 0x41, 0x00, 0x41, 0x4E}, 6, "A\x4E\x41"},
      {"16-bit marker only", {0xFF, 0xFD}, 2, ""},
      {"16-bit odd count", {0xFF, 0xFD, 0x42, 0x00, 0x43}, 5, "B"},
      {"embedded zero ends", {'x', 0, 'y'}, 3, "x"},
  };
  for (const Case &c : cases) {
    dgnkit::TextSpec want;
    want.raw_text = c.raw;
    want.count = c.count;
    auto r = Decode(dgnkit::MakeText(want));
    ASSERT_NE(r.element, nullptr) << c.label;
    EXPECT_EQ(std::string(As<DGNTextElement>(r.element)->text), c.expected) << c.label;
  }
}

TEST(Text, CountLargerThanTheElementIsCut) {
  dgnkit::TextSpec want;
  want.raw_text = {'a', 'b', 'c', 'd'};
  want.count = 200;
  auto r = Decode(dgnkit::MakeText(want));
  ASSERT_NE(r.element, nullptr);
  EXPECT_EQ(std::string(As<DGNTextElement>(r.element)->text), "abcd");
}

TEST(Text, FieldsAndOrigin) {
  dgnkit::TextSpec want;
  want.font = 3;
  want.justification = 7;
  want.length_mult = 2000;
  want.height_mult = 3000;
  want.rotation = 90;
  want.origin = {150, 250, 350};
  want.raw_text = {'T'};
  dgnkit::TcbSpec tcb;
  tcb.uor_per_subunit = 1;
  tcb.subunits_per_master = 2;  // scale 0.5
  tcb.origin[0] = 200;          // origin 100 master units on x
  auto r = Decode(dgnkit::MakeText(want), false, tcb);
  ASSERT_NE(r.element, nullptr);
  const auto *t = As<DGNTextElement>(r.element);
  EXPECT_EQ(t->kind, DGNKIND_TEXT);
  EXPECT_EQ(t->font_id, 3);
  EXPECT_EQ(t->justification, 7);
  EXPECT_DOUBLE_EQ(t->length_mult, 2000 * 0.5 * 6 / 1000);
  EXPECT_DOUBLE_EQ(t->height_mult, 3000 * 0.5 * 6 / 1000);
  EXPECT_DOUBLE_EQ(t->rotation, 90);
  ExpectPoint(t->origin, 75 - 100, 125, 0);

  auto r3 = Decode(dgnkit::MakeText(want, 3), true);
  ASSERT_NE(r3.element, nullptr);
  const auto *t3 = As<DGNTextElement>(r3.element);
  ExpectPoint(t3->origin, 150, 250, 350);
  EXPECT_EQ(t3->rotation, 0);
  EXPECT_STREQ(t3->text, "T");
}

TEST(ComplexHeader, CountsAndSurfaceType) {
  struct Case {
    int type;
    int surface;
  };
  for (const Case &c : {Case{12, 0}, Case{14, 0}, Case{18, 3}, Case{19, 4}}) {
    auto r = Decode(dgnkit::MakeComplexHeader(c.type, 77, 5, 3 + (c.type == 19)));
    ASSERT_NE(r.element, nullptr);
    const auto *h = As<DGNComplexHeaderElement>(r.element);
    EXPECT_EQ(h->kind, DGNKIND_COMPLEX_HEADER);
    EXPECT_EQ(h->total_length, 77);
    EXPECT_EQ(h->num_elements, 5);
    EXPECT_EQ(h->surface_type, c.surface) << c.type;
  }
}

TEST(CellHeader, TwoDimensionalCell) {
  dgnkit::CellSpec want;
  want.total_length = 120;
  want.name = "AB1$.9";
  want.cell_class = 0x0102;
  want.levels[0] = 1;
  want.levels[3] = 0x8000;
  want.range_low = {-10, -20, 0};
  want.range_high = {30, 40, 0};
  // Rotation by 30 degrees, scale 1 (stored as -cos * 2^31 / 10000 ...).
  const double k = 214748.0;
  const double a = 30 * M_PI / 180;
  want.matrix[0] = static_cast<int32_t>(std::lround(std::cos(a) * k));
  want.matrix[1] = static_cast<int32_t>(std::lround(-std::sin(a) * k));
  want.matrix[2] = static_cast<int32_t>(std::lround(std::sin(a) * k));
  want.matrix[3] = static_cast<int32_t>(std::lround(std::cos(a) * k));
  want.origin = {5, 6, 0};
  dgnkit::Display d;
  d.color = 9;
  auto r = Decode(dgnkit::MakeCellHeader(want, 2, d));
  ASSERT_NE(r.element, nullptr);
  const auto *cell = As<DGNCellHeaderElement>(r.element);
  EXPECT_EQ(cell->kind, DGNKIND_CELL_HEADER);
  EXPECT_EQ(cell->total_length, 120);
  EXPECT_STREQ(cell->name, "AB1$.9");
  EXPECT_EQ(cell->cell_class, 0x0102);
  EXPECT_EQ(cell->levels[0], 1);
  EXPECT_EQ(cell->levels[3], 0x8000);
  EXPECT_EQ(cell->color, 9);
  ExpectPoint(cell->range_low, -10, -20, 0);
  ExpectPoint(cell->range_high, 30, 40, 0);
  ExpectPoint(cell->origin, 5, 6, 0);
  EXPECT_NEAR(cell->x_scale, 1.0, 1e-5);
  EXPECT_NEAR(cell->y_scale, 1.0, 1e-5);
  EXPECT_NEAR(cell->rotation, 30.0, 1e-4);  // a1 < 0: not mirrored to 360 - x
  EXPECT_DOUBLE_EQ(cell->transform[0], -want.matrix[0] / 2147483648.0);

  want.matrix[1] = -want.matrix[1];  // a1 > 0
  auto r2 = Decode(dgnkit::MakeCellHeader(want));
  EXPECT_NEAR(As<DGNCellHeaderElement>(r2.element)->rotation, 330.0, 1e-4);
}

TEST(CellHeader, DegenerateMatrixHasNoRotation) {
  dgnkit::CellSpec want;  // all-zero matrix
  auto r = Decode(dgnkit::MakeCellHeader(want));
  ASSERT_NE(r.element, nullptr);
  const auto *cell = As<DGNCellHeaderElement>(r.element);
  EXPECT_EQ(cell->rotation, 0.0);
  EXPECT_EQ(cell->x_scale, 0.0);
  EXPECT_FALSE(std::isnan(cell->rotation));
}

TEST(CellHeader, ThreeDimensionalCell) {
  dgnkit::CellSpec want;
  want.range_low = {1, 2, 3};
  want.range_high = {4, 5, 6};
  for (int i = 0; i < 9; ++i) want.matrix[i] = (i + 1) * 1000;
  want.matrix[8] = INT32_MIN;
  want.origin = {7, 8, 9};
  auto r = Decode(dgnkit::MakeCellHeader(want, 3), true);
  ASSERT_NE(r.element, nullptr);
  const auto *cell = As<DGNCellHeaderElement>(r.element);
  ExpectPoint(cell->range_low, 1, 2, 3);
  ExpectPoint(cell->range_high, 4, 5, 6);
  ExpectPoint(cell->origin, 7, 8, 9);
  EXPECT_DOUBLE_EQ(cell->transform[4], -5000 / 2147483648.0);
  EXPECT_DOUBLE_EQ(cell->transform[8], 1.0);
  EXPECT_EQ(cell->x_scale, 0);
  EXPECT_EQ(cell->rotation, 0);
}

TEST(CellLibrary, NameDescriptionAndBodyProperties) {
  dgnkit::CellLibSpec want;
  want.name = "DOOR1";
  want.cell_type = 4;
  want.properties = 0x0800;  // taken from the body; must not trigger attribute parsing
  want.class_and_levels[5] = 0xBEEF;
  want.description = "SINGLE DOOR 90CM";
  ErrorCapture errors;
  auto r = Decode(dgnkit::MakeCellLibrary(want));
  ASSERT_NE(r.element, nullptr);
  const auto *lib = As<DGNCellLibraryElement>(r.element);
  EXPECT_EQ(lib->kind, DGNKIND_CELL_LIBRARY);
  EXPECT_STREQ(lib->name, "DOOR1 ");
  EXPECT_EQ(lib->cell_type, 4);
  EXPECT_EQ(lib->properties, 0x0800);
  EXPECT_EQ(lib->class_and_levels[5], 0xBEEF);
  EXPECT_EQ(std::string(lib->description), "SINGLE DOOR 90CM           ");
  EXPECT_EQ(lib->color, 0);
  EXPECT_EQ(lib->attr_data, nullptr);
  EXPECT_TRUE(errors.reports().empty());
  // Kind 11 is not kind 1, so the raw bytes are kept only on request.
  EXPECT_EQ(lib->raw_data, nullptr);
}

TEST(Cone, CentresAndRadii) {
  dgnkit::ConeSpec want;
  want.cone_word = 0xABCD;
  want.quat[2] = -7;
  want.center_1[0] = 100;
  want.center_1[1] = 200;
  want.center_1[2] = 300;
  want.radius_1 = 40;
  want.center_2[2] = 500;
  want.radius_2 = 20;
  dgnkit::TcbSpec tcb;
  tcb.uor_per_subunit = 10;
  tcb.subunits_per_master = 1;
  auto r = Decode(dgnkit::MakeCone(want), true, tcb);
  ASSERT_NE(r.element, nullptr);
  const auto *cone = As<DGNConeElement>(r.element);
  EXPECT_EQ(cone->kind, DGNKIND_CONE);
  EXPECT_EQ(cone->cone_word, 0xABCD);
  EXPECT_EQ(cone->quat[2], -7);
  ExpectPoint(cone->center_1, 10, 20, 30);
  ExpectPoint(cone->center_2, 0, 0, 50);
  EXPECT_DOUBLE_EQ(cone->radius_1, 4);
  EXPECT_DOUBLE_EQ(cone->radius_2, 2);
}

TEST(Kinds, LevelDecidesColourTableAndTagSet) {
  std::array<std::array<uint8_t, 3>, 256> colors{};
  struct Case {
    Bytes element;
    int kind;
  };
  const Case cases[] = {
      {dgnkit::MakeColorTable(colors, 1), DGNKIND_COLOR_TABLE},
      {dgnkit::MakeColorTable(colors, 2), DGNKIND_CORE},
      {dgnkit::MakeTagSet({}, 24), DGNKIND_TAG_SET},
      {dgnkit::MakeTagSet({}, 23), DGNKIND_CORE},
  };
  for (const Case &c : cases) {
    auto r = Decode(c.element);
    ASSERT_NE(r.element, nullptr);
    EXPECT_EQ(r.element->kind, c.kind);
    if (c.kind == DGNKIND_CORE) {
      EXPECT_NE(r.element->raw_data, nullptr);
    }
  }
}

}  // namespace
