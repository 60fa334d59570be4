// The import walk through the built library's exports: what the host is sent,
// in which order, with which record contents.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "dgnmodel.h"
#include "plugin_host.h"

using namespace plugintest;
using dgnkit::Bytes;
using Log = std::vector<std::string>;

namespace {

class Import : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Lib().error.empty()) << Lib().error; }

  // Opens `file` read-only, reads it into `host` and closes it; gives the
  // result of the read.
  int Run(const Bytes &file, Host &host, TVectorCallbacksPlugIn *callbacks,
          TProgressPlugIn *progress, TMessagePlugIn *sink, int reads = 1) {
    dgnkit::TempFile tmp(file);
    TVectorMapPlugIn map = MapRecord(1, 0, 0);
    EXPECT_EQ(Lib().Open(tmp.c_str(), &map, host.sink()), 1);
    int result = -1;
    for (int i = 0; i < reads; ++i) result = Lib().Read(&map, callbacks, sink, progress);
    EXPECT_EQ(Lib().Close(&map), 1);
    return result;
  }
  int Run(const Bytes &file, Host &host, int reads = 1) {
    return Run(file, host, host.callbacks(), host.progress(), host.sink(), reads);
  }
};

dgnkit::Display Disp(uint8_t color, uint8_t weight = 0, uint8_t style = 0) {
  dgnkit::Display d;
  d.color = color;
  d.weight = weight;
  d.style = style;
  return d;
}

Bytes Text(const std::string &s, dgnkit::IPoint origin, int level, uint8_t color = 0) {
  dgnkit::TextSpec want;
  want.origin = origin;
  want.raw_text.assign(s.begin(), s.end());
  return OnLevel(dgnkit::MakeText(want, 2, Disp(color)), level);
}

TEST_F(Import, ExactTranscriptObjectsInFileOrderThenLayersInFirstSeenOrder) {
  dgnkit::ArcSpec arc;
  arc.primary_axis = arc.secondary_axis = 5;
  const Bytes file = DesignFile({
      dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0}, {10, 0}, {10, 5}}, 2, Disp(3), 5),
      OnLevel(dgnkit::MakeArc(arc, 2, Disp(3)), 7),  // skipped, and its level is not a layer
      Text("Main St", {20, 30}, 2, 1),
      dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{1, 2}, {3, 4}}, 2, Disp(3), 5),
  });
  Host host;
  EXPECT_EQ(Run(file, host), 1);
  const Log expected = {
      "SetTotal(5)",
      "Step(1)",
      "IsCancelled=0",  // the TCB
      "AddObject(kind=0 level=5 id=1 color=0000ff n=3) -> 100",
      "AddPoint(100, 0 0 0, 1)",
      "AddPoint(100, 10 0 0, 1)",
      "AddPoint(100, 10 5 0, 0)",
      "Step(1)",
      "IsCancelled=0",
      "Step(1)",
      "IsCancelled=0",  // the arc
      "AddObject(kind=3 level=2 id=3 color=ff0000 n=1) -> 101",
      "AddPoint(101, 20 30 0, 1)",
      "Step(1)",
      "IsCancelled=0",
      "AddObject(kind=0 level=5 id=4 color=0000ff n=2) -> 102",
      "AddPoint(102, 1 2 0, 1)",
      "AddPoint(102, 3 4 0, 0)",
      "Step(1)",
      "IsCancelled=0",
      "AddLayer(level=5 name=Level 5)",
      "AddLayer(level=2 name=Level 2)",
  };
  EXPECT_EQ(host.log, expected);
}

TEST_F(Import, EveryRecordCarriesItsSizeAndTheHostDefaults) {
  dgnkit::TextSpec want;
  want.justification = 7;
  want.height_mult = 1000;  // 6 master units
  want.rotation = 30;
  want.origin = {100, 200, 0};
  want.raw_text = {'A', 'v', 'e'};
  const Bytes file = DesignFile({
      dgnkit::MakeMultiPoint(DGNTYPE_SHAPE, {{0, 0}, {4, 0}, {4, 4}, {0, 0}}, 2, Disp(1, 9, 3), 6),
      OnLevel(dgnkit::MakeText(want, 2, Disp(2, 4, 5)), 6),
  });
  Host host;
  ASSERT_EQ(Run(file, host), 1);
  ASSERT_EQ(host.objects.size(), 2u);
  ASSERT_EQ(host.layers.size(), 1u);
  if (sizeof(void *) == 4) {
    EXPECT_EQ(QPLUGIN_OBJECT_SIZE, 84);
  }

  auto hostDefaults = [](const TVectorObjectPlugIn &o) {
    EXPECT_EQ(Val(o.size), QPLUGIN_OBJECT_SIZE);
    EXPECT_EQ(Val(o.hostField4), 0);
    EXPECT_EQ(Val(o.hostField44), 0);
    EXPECT_EQ(Val(o.hostField48), 0);
    EXPECT_EQ(Val(o.hostField52), -1.0f);
    EXPECT_EQ(Val(o.hostField60), -1);
    EXPECT_EQ(Val(o.hostField64), 0);
    EXPECT_EQ(Val(o.hostField68), -1.0f);
    EXPECT_EQ(Val(o.hostField72), 1);
    EXPECT_EQ(Val(o.hostField76), 0);
    EXPECT_EQ(Val(o.hostField80), 0);
  };
  const TVectorObjectPlugIn &shape = host.objects[0];
  hostDefaults(shape);
  EXPECT_EQ(Val(shape.objectKind), 1);
  EXPECT_EQ(Val(shape.elementId), 1);
  EXPECT_EQ(Val(shape.level), 6);
  EXPECT_EQ(Val(shape.color), 0xFF0000);  // default table entry 1 is blue
  EXPECT_EQ(Val(shape.color2), Val(shape.color));
  EXPECT_EQ(Val(shape.width), 9.0f);
  EXPECT_EQ(Val(shape.style), -1);  // polylines never carry a style
  EXPECT_EQ(Val(shape.numPoints), 4);
  EXPECT_EQ(host.object_names[0], "(null)");
  EXPECT_EQ(Val(shape.textInfo), nullptr);

  const TVectorObjectPlugIn &text = host.objects[1];
  hostDefaults(text);
  EXPECT_EQ(Val(text.objectKind), 3);
  EXPECT_EQ(Val(text.elementId), 2);
  EXPECT_EQ(Val(text.color), 0x00FF00);
  EXPECT_EQ(Val(text.color2), Val(text.color));
  EXPECT_EQ(Val(text.width), 1.0f);
  EXPECT_EQ(Val(text.style), 5);
  EXPECT_EQ(Val(text.numPoints), 1);
  EXPECT_EQ(host.object_names[1], "Ave");
  ASSERT_EQ(host.texts.size(), 1u);
  EXPECT_EQ(Val(host.texts[0].size), 20);
  EXPECT_EQ(Val(host.texts[0].hostField4), 0);
  EXPECT_FLOAT_EQ(Val(host.texts[0].height), 6.0f);
  EXPECT_FLOAT_EQ(Val(host.texts[0].rotation), 30.0f);
  EXPECT_EQ(Val(host.texts[0].justification), 7);

  ASSERT_EQ(host.points.size(), 5u);  // the shape's closing vertex included
  for (const TVectorPointPlugIn &p : host.points) {
    EXPECT_EQ(Val(p.size), 36);
    EXPECT_EQ(Val(p.hostField28), -1.0);
  }
  EXPECT_EQ(Val(host.points[3].x), 0.0);
  EXPECT_EQ(Val(host.points[3].y), 0.0);
  EXPECT_EQ(Val(host.points[4].x), 100.0);
  EXPECT_EQ(Val(host.points[4].y), 200.0);
  EXPECT_EQ(Val(host.points[4].z), 0.0);

  const TVectorObjectPlugIn &layer = host.layers[0];
  hostDefaults(layer);
  EXPECT_EQ(host.layer_names[0], "Level 6");
  EXPECT_EQ(Val(layer.level), 6);
  EXPECT_EQ(Val(layer.objectKind), 0);
  EXPECT_EQ(Val(layer.elementId), 0);
  EXPECT_EQ(Val(layer.color), -1);
  EXPECT_EQ(Val(layer.color2), -1);
  EXPECT_EQ(Val(layer.numPoints), -1);
  EXPECT_EQ(Val(layer.width), 1.0f);
  EXPECT_EQ(Val(layer.style), -1);
  EXPECT_EQ(Val(layer.textInfo), nullptr);
}

TEST_F(Import, VertexCountsAndTheLastPointFlag) {
  for (int n : {0, 1, 2, 7, 101}) {
    SCOPED_TRACE(n);
    std::vector<dgnkit::IPoint> pts;
    for (int i = 0; i < n; ++i) pts.push_back({i, -i, 0});
    Host host;
    ASSERT_EQ(Run(DesignFile({dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, pts)}), host), 1);
    ASSERT_EQ(host.objects.size(), 1u);
    EXPECT_EQ(Val(host.objects[0].numPoints), n);
    std::vector<std::string> flags;
    for (const std::string &line : host.log)
      if (line.rfind("AddPoint", 0) == 0) flags.push_back(line.substr(line.size() - 2, 1));
    ASSERT_EQ(flags.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) EXPECT_EQ(flags[static_cast<size_t>(i)], i + 1 < n ? "1" : "0");
  }
}

// A deleted element is no longer part of the design: it sends nothing and
// adds no layer (though it is stepped over).  Components of complex elements
// are sent one by one; their headers send nothing.
TEST_F(Import, DeletedElementsAndComplexHeadersSendNothingComponentsAreSent) {
  const Bytes file = DesignFile({
      OnLevel(dgnkit::MakeComplexHeader(DGNTYPE_COMPLEX_CHAIN_HEADER, 40, 2), 9),
      AsComponent(dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0}, {1, 1}}, 2, {}, 3)),
      AsComponent(dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{1, 1}, {2, 0}}, 2, {}, 3)),
      OnLevel(dgnkit::MakeComplexHeader(DGNTYPE_COMPLEX_SHAPE_HEADER, 20, 1), 9),
      AsComponent(
          dgnkit::MakeMultiPoint(DGNTYPE_SHAPE, {{0, 0}, {1, 0}, {0, 1}, {0, 0}}, 2, {}, 3)),
      AsDeleted(dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{5, 5}, {6, 6}}, 2, {}, 4)),
      AsDeleted(Text("gone", {1, 1}, 4)),
      AsDeleted(AsComponent(dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0}, {9, 9}}, 2, {}, 4))),
  });
  Host host;
  ASSERT_EQ(Run(file, host), 1);
  std::vector<std::pair<int, int>> kindAndId;
  for (const TVectorObjectPlugIn &o : host.objects)
    kindAndId.push_back({o.objectKind, o.elementId});
  EXPECT_EQ(kindAndId, (std::vector<std::pair<int, int>>{{0, 2}, {0, 3}, {1, 5}}));
  EXPECT_EQ(host.layer_names, std::vector<std::string>{"Level 3"});
  EXPECT_EQ(host.steps, 9);
}

TEST_F(Import, ColoursComeFromTheFileTableWithPureWhiteSentAsZero) {
  std::array<std::array<uint8_t, 3>, 256> table{};
  const struct {
    uint8_t index;
    std::array<uint8_t, 3> rgb;
    int32_t host;
  } cases[] = {
      {10, {255, 255, 255}, 0},
      {11, {1, 2, 3}, 0x030201},
      {12, {254, 255, 255}, 0xFFFFFE},
      {13, {255, 255, 254}, 0xFEFFFF},
      {0, {0, 0, 0}, 0},
      {255, {0x12, 0x34, 0x56}, 0x563412},
  };
  std::vector<Bytes> elements;
  for (const auto &c : cases) {
    table[c.index] = c.rgb;
    elements.push_back(dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0}, {1, 1}}, 2, Disp(c.index)));
  }
  elements.insert(elements.begin(), dgnkit::MakeColorTable(table));
  Host host;
  ASSERT_EQ(Run(DesignFile(elements), host), 1);
  ASSERT_EQ(host.objects.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(static_cast<int>(cases[i].index));
    EXPECT_EQ(Val(host.objects[i].color), cases[i].host);
    EXPECT_EQ(Val(host.objects[i].color2), cases[i].host);
  }
  // Without a table of its own the file uses the built-in one: 0 is white.
  Host plain;
  ASSERT_EQ(
      Run(DesignFile({dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0}, {1, 1}}, 2, Disp(0))}), plain),
      1);
  EXPECT_EQ(Val(plain.objects.at(0).color), 0);
}

TEST_F(Import, SixteenBitTextsAreSentAsTheirDecodedBytes) {
  dgnkit::TextSpec want;
  want.raw_text = dgnkit::Text16({0x0052, 0x00E9, 0x4E41});
  Host host;
  ASSERT_EQ(Run(DesignFile({OnLevel(dgnkit::MakeText(want), 3)}), host), 1);
  ASSERT_EQ(host.object_names.size(), 1u);
  EXPECT_EQ(host.object_names[0], "R\xE9\x4E\x41");
  EXPECT_EQ(Val(host.objects[0].objectKind), 3);
}

TEST_F(Import, LayersOncePerLevelInFirstSeenOrderIncludingLevelZero) {
  const Bytes file = DesignFile({
      dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0}, {1, 1}}, 2, {}, 5),
      dgnkit::MakeMultiPoint(DGNTYPE_SHAPE, {{0, 0}, {1, 0}, {0, 1}, {0, 0}}, 2, {}, 2),
      dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0}, {1, 1}}, 2, {}, 5),
      Text("zero", {0, 0}, 0),
      dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0}, {1, 1}}, 2, {}, 63),
  });
  Host host;
  ASSERT_EQ(Run(file, host), 1);
  EXPECT_EQ(host.layer_names,
            (std::vector<std::string>{"Level 5", "Level 2", "Level 0", "Level 63"}));
  // Layers come after every object.
  size_t firstLayer = host.log.size();
  for (size_t i = 0; i < host.log.size(); ++i)
    if (host.log[i].rfind("AddLayer", 0) == 0 && firstLayer == host.log.size()) firstLayer = i;
  for (size_t i = firstLayer; i < host.log.size(); ++i)
    EXPECT_EQ(host.log[i].rfind("AddLayer", 0), 0u) << host.log[i];
}

TEST_F(Import, CancellingStopsAfterTheElementInHandWithoutLayers) {
  const Bytes file = DesignFile({
      dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0}, {1, 1}}, 2, {}, 5),
      dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{2, 2}, {3, 3}}, 2, {}, 2),
  });
  {
    Host host;
    host.cancel_after_steps = 1;  // stop after the first element, the TCB
    EXPECT_EQ(Run(file, host), 0);
    EXPECT_EQ(host.log, (Log{"SetTotal(3)", "Step(1)", "IsCancelled=1", "Show(STOP)"}));
  }
  {
    Host host;
    host.cancel_after_steps = 2;  // the first line is sent, then the host says stop
    EXPECT_EQ(Run(file, host), 0);
    ASSERT_EQ(host.objects.size(), 1u);
    EXPECT_EQ(Val(host.objects[0].level), 5);
    EXPECT_EQ(host.messages, (std::vector<std::string>{"STOP"}));
    EXPECT_EQ(host.log.back(), "Show(STOP)");
    EXPECT_EQ(host.log[host.log.size() - 2], "IsCancelled=1");
    EXPECT_TRUE(host.layers.empty());
    EXPECT_EQ(host.steps, 2);
  }
}

TEST_F(Import, MissingSlotsAndTablesAreSkipped) {
  const Bytes file = DesignFile({
      dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0}, {1, 1}, {2, 2}}, 2, {}, 4),
      Text("t", {5, 5}, 4),
  });
  // AddObject missing: every point goes to the handle -1.
  {
    Host host;
    host.callbacks()->AddObject = nullptr;
    ASSERT_EQ(Run(file, host), 1);
    int points = 0;
    for (const std::string &line : host.log) {
      if (line.rfind("AddPoint", 0) != 0) continue;
      ++points;
      EXPECT_EQ(line.rfind("AddPoint(-1, ", 0), 0u) << line;
    }
    EXPECT_EQ(points, 4);
    EXPECT_EQ(host.layer_names, std::vector<std::string>{"Level 4"});
  }
  // No table, no progress object, a progress object without operations, no
  // sink, or tables whose slots are all null: the walk still completes.
  TProgressPlugIn noOps{};
  TVectorCallbacksPlugIn emptyTable{};
  TMessagePlugIn silentSink{};
  struct Case {
    const char *label;
    bool callbacks, progress, sink;
    TVectorCallbacksPlugIn *table;
    TProgressPlugIn *prog;
    TMessagePlugIn *msg;
  };
  const Case cases[] = {
      {"null callbacks", false, true, true, nullptr, nullptr, nullptr},
      {"null progress", true, false, true, nullptr, nullptr, nullptr},
      {"progress without operations", true, false, true, nullptr, &noOps, nullptr},
      {"null sink", true, true, false, nullptr, nullptr, nullptr},
      {"empty slots", false, true, false, &emptyTable, nullptr, &silentSink},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    Host host;
    TVectorCallbacksPlugIn *table = c.callbacks ? host.callbacks() : c.table;
    TProgressPlugIn *prog = c.progress ? host.progress() : c.prog;
    TMessagePlugIn *msg = c.sink ? host.sink() : c.msg;
    EXPECT_EQ(Run(file, host, table, prog, msg), 1);
    EXPECT_EQ(host.objects.size(), c.callbacks ? 2u : 0u);
    EXPECT_EQ(host.layers.size(), c.callbacks ? 1u : 0u);
    EXPECT_EQ(host.steps, c.progress ? 3 : 0);
  }
}

TEST_F(Import, SecondReadOfTheSameOpenMapSendsOnlyTheTotal) {
  const Bytes file = DesignFile({dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0}, {1, 1}}, 2, {}, 4)});
  Host host;
  dgnkit::TempFile tmp(file);
  TVectorMapPlugIn map = MapRecord(1, 0, 0);
  ASSERT_EQ(Lib().Open(tmp.c_str(), &map, host.sink()), 1);
  ASSERT_EQ(Lib().Read(&map, host.callbacks(), host.sink(), host.progress()), 1);
  Host again;
  EXPECT_EQ(Lib().Read(&map, again.callbacks(), again.sink(), again.progress()), 1);
  EXPECT_EQ(again.log, Log{"SetTotal(2)"});
  EXPECT_EQ(Lib().Close(&map), 1);
}

TEST_F(Import, FilesWithNothingToSendOrCutShortStillSucceed) {
  dgnkit::ArcSpec arc;
  arc.primary_axis = arc.secondary_axis = 3;
  dgnkit::CellSpec cell;
  {
    Host host;
    ASSERT_EQ(Run(DesignFile({dgnkit::MakeArc(arc), dgnkit::MakeEllipse(arc),
                              dgnkit::MakeComplexHeader(DGNTYPE_COMPLEX_CHAIN_HEADER, 0, 0),
                              dgnkit::MakeCellHeader(cell)}),
                  host),
              1);
    EXPECT_EQ(host.log.front(), "SetTotal(5)");
    EXPECT_EQ(host.steps, 5);
    EXPECT_TRUE(host.objects.empty());
    EXPECT_TRUE(host.layers.empty());
  }
  {
    // The second line string is cut off in the middle and there is no end marker.
    Bytes file = DesignFile(
        {dgnkit::MakeMultiPoint(DGNTYPE_LINE, {{0, 0}, {1, 1}}, 2, {}, 8),
         dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, {{0, 0}, {1, 1}, {2, 2}, {3, 3}}, 2, {}, 9)});
    file.resize(file.size() - 2 - 10);
    Host host;
    ASSERT_EQ(Run(file, host), 1);
    EXPECT_EQ(host.objects.size(), 1u);
    EXPECT_EQ(host.layer_names, std::vector<std::string>{"Level 8"});
  }
}

}  // namespace

#if !defined(_WIN32)
// A file that another program cuts short after the elements were counted:
// the walk ends at the cut, whatever part of the read-ahead block it falls
// in, with every whole element before it sent and the host told that the
// map is not whole.
namespace {
std::string g_cut_path;
off_t g_cut_at = 0;
const TProgressOpsPlugIn *g_host_ops = nullptr;
void SetTotalThenCut(TProgressPlugIn *self, int32_t total) {
  g_host_ops->SetTotal(self, total);
  ASSERT_EQ(::truncate(g_cut_path.c_str(), g_cut_at), 0);
}
}  // namespace

TEST_F(Import, AFileCutAfterTheCountEndsAtTheCut) {
  std::vector<Bytes> elements;
  for (int i = 0; i < 3000; ++i) {
    std::vector<dgnkit::IPoint> points;
    for (int k = 0; k < 2 + i % 40; ++k) points.push_back({i, k, 0});
    elements.push_back(dgnkit::MakeMultiPoint(DGNTYPE_LINE_STRING, points, 2, {}, 1 + i % 3));
  }
  const Bytes file = DesignFile(elements);
  const size_t tcb = file.size() - 2 - [&] {
    size_t n = 0;
    for (const Bytes &e : elements) n += e.size();
    return n;
  }();
  // Cuts inside the first read-ahead block, at a block edge, past it, and
  // right after a whole element.
  for (size_t cut : {size_t(5000), size_t(65536), size_t(200001), tcb + elements[0].size()}) {
    size_t whole = 0, at = tcb;
    while (whole < elements.size() && at + elements[whole].size() <= cut)
      at += elements[whole++].size();
    dgnkit::TempFile tmp(file);
    g_cut_path = tmp.c_str();
    g_cut_at = static_cast<off_t>(cut);
    Host host;
    g_host_ops = host.progress()->ops;
    TProgressOpsPlugIn ops = *g_host_ops;
    ops.SetTotal = SetTotalThenCut;
    host.progress()->ops = &ops;
    TVectorMapPlugIn map = MapRecord(1, 0, 0);
    ASSERT_EQ(Lib().Open(tmp.c_str(), &map, host.sink()), 1);
    EXPECT_EQ(Lib().Read(&map, host.callbacks(), host.sink(), host.progress()), 1) << cut;
    EXPECT_EQ(Lib().Close(&map), 1);
    EXPECT_EQ(host.log.front(), "SetTotal(3001)");
    EXPECT_EQ(host.objects.size(), whole) << cut;
    EXPECT_EQ(host.steps, static_cast<int>(whole) + 1) << cut;
    // Cut at an element's end or inside one, the file is shorter than it was
    // when opened: the map is not whole.
    ASSERT_EQ(host.messages.size(), 1u) << cut;
    EXPECT_NE(host.messages[0].find("stops at offset " + std::to_string(at)), std::string::npos)
        << host.messages[0];
  }
}
#endif
