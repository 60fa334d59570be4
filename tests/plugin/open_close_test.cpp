// Opening and closing maps through the built library's exports, and the
// answers of the entry points to maps that are not open.
#include <gtest/gtest.h>

#include <cstring>

#include "plugin_host.h"

using namespace plugintest;

namespace {

const char kRefused[] = "Error in QuarvelPlugIn_Open_Vector_Map attribute file open.";
const char kOpening[] = "Error in DGN (QuarvelPlugIn_Open_Vector_Map) opening file ";

class OpenClose : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Lib().error.empty()) << Lib().error; }
  const Plugin &P() { return Lib(); }
  dgnkit::TempFile good_{DesignFile({dgnkit::MakeMultiPoint(4, {{0, 0}, {10, 10}})})};
};

TEST_F(OpenClose, InformationalAnswersAndOnlyTheTenNamesExported) {
  EXPECT_EQ(P().Version(), 4);
  EXPECT_EQ(P().VersionPriv(), 1);
  EXPECT_EQ(P().Init(), 1);
  EXPECT_STREQ(P().GetTipoArchivos(), "6|DGN Vector Maps|dgn|");
  EXPECT_EQ(P().GetTipoArchivos(), P().GetTipoArchivos());
  EXPECT_STREQ(P().VersionStr(), "QuarvelGPS DGN Plug-In, version 1.00");
  EXPECT_EQ(P().AddLayer(), 1);
  for (const char *internal : {"DGNOpen", "DGNReadElement", "CPLError", "CPLLastErrorText"})
    EXPECT_EQ(P().Find(internal), nullptr) << internal << " leaks out of the library";
}

TEST_F(OpenClose, RefusedFlagCombinationsLeaveTheHandleAlone) {
  struct Case {
    int read, write, create;
  };
  const Case cases[] = {{1, 0, 1}, {1, 1, 1}, {0, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 5}};
  int sentinel = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.read << c.write << c.create);
    Host host;
    TVectorMapPlugIn map = MapRecord(c.read, c.write, c.create);
    map.handle = &sentinel;
    EXPECT_EQ(P().Open(good_.c_str(), &map, host.sink()), 0);
    EXPECT_EQ(host.messages, std::vector<std::string>{kRefused});
    EXPECT_EQ(Val(map.handle), &sentinel);
    EXPECT_EQ(Val(map.openState), 7);
    // The plug-in never opened the sentinel, so close only drops it.
    EXPECT_EQ(P().Close(&map), 1);
    EXPECT_EQ(Val(map.handle), nullptr);
  }
}

TEST_F(OpenClose, FailedOpenSendsThePathAndTheEngineReason) {
  dgnkit::TempFile notDgn(dgnkit::Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'd', 'g', 'n'});
  dgnkit::TempFile scratch;
  const std::string missing = scratch.path() + "-absent/map.dgn";
  struct Case {
    const char *path;
    std::string reason;
  };
  const Case cases[] = {
      {notDgn.c_str(), "File `" + notDgn.path() + "' does not have expected DGN header.\n"},
      {missing.c_str(), "Unable to open `" + missing + "' for read access.\n"},
  };
  for (const Case &c : cases) {
    for (int write : {0, 1}) {
      SCOPED_TRACE(std::string(c.path) + (write ? " update" : " read"));
      Host host;
      TVectorMapPlugIn map = MapRecord(1, write, 0);
      EXPECT_EQ(P().Open(c.path, &map, host.sink()), 0);
      ASSERT_EQ(host.messages.size(), 1u);
      if (write == 0 || c.path == notDgn.c_str()) {
        EXPECT_EQ(host.messages[0], kOpening + std::string(c.path) + " " + c.reason);
      } else {  // update of a missing file: the engine names its own mode
        EXPECT_EQ(host.messages[0].rfind(kOpening + std::string(c.path) + " ", 0), 0u);
      }
      EXPECT_EQ(Val(map.handle), nullptr);
      EXPECT_EQ(Val(map.openState), 7);
    }
  }
}

TEST_F(OpenClose, OpenReadOnlyOrForUpdateStoresTheHandleAndResetsOpenState) {
  for (int write : {0, 1}) {
    Host host;
    TVectorMapPlugIn map = MapRecord(1, write, 0);
    map.openState = -12345;
    ASSERT_EQ(P().Open(good_.c_str(), &map, host.sink()), 1);
    EXPECT_NE(Val(map.handle), nullptr);
    EXPECT_EQ(Val(map.openState), 0);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(P().Read(&map, host.callbacks(), host.sink(), host.progress()), 1);
    EXPECT_EQ(host.objects.size(), 1u);
    EXPECT_EQ(P().Close(&map), 1);
    EXPECT_EQ(Val(map.handle), nullptr);
    EXPECT_EQ(P().Close(&map), 1);  // twice is harmless
  }
}

TEST_F(OpenClose, ReopeningAnOpenRecordReplacesItsFile) {
  dgnkit::TempFile other(DesignFile({dgnkit::MakeMultiPoint(6, {{0, 0}, {5, 0}, {0, 0}}),
                                     dgnkit::MakeMultiPoint(3, {{1, 1}, {2, 2}})}));
  Host host;
  TVectorMapPlugIn map = MapRecord(1, 0, 0);
  ASSERT_EQ(P().Open(good_.c_str(), &map, host.sink()), 1);
  ASSERT_EQ(P().Open(other.c_str(), &map, host.sink()), 1);
  EXPECT_EQ(P().Read(&map, host.callbacks(), host.sink(), host.progress()), 1);
  EXPECT_EQ(host.objects.size(), 2u);  // the second file's elements
  EXPECT_EQ(P().Close(&map), 1);       // the sanitizers see whether the first leaked
}

TEST_F(OpenClose, ArgumentsTheHostMustNotSendAreAnsweredWithAMessage) {
  Host host;
  EXPECT_EQ(P().Open(good_.c_str(), nullptr, host.sink()), 0);
  TVectorMapPlugIn map = MapRecord(1, 0, 0);
  EXPECT_EQ(P().Open(nullptr, &map, host.sink()), 0);
  EXPECT_EQ(Val(map.handle), nullptr);
  ASSERT_EQ(host.messages.size(), 2u);
  EXPECT_NE(host.messages[0].find("no map record"), std::string::npos);
  EXPECT_NE(host.messages[1].find("no file name"), std::string::npos);
  // No sink at all: nothing to tell, but no crash either.
  EXPECT_EQ(P().Open("/nonexistent/x.dgn", &map, nullptr), 0);
  EXPECT_EQ(P().Close(nullptr), 1);
}

TEST_F(OpenClose, ReadAndAddRefuseMapsThatAreNotOpen) {
  Host opener;
  TVectorMapPlugIn closed = MapRecord(1, 0, 0);
  ASSERT_EQ(P().Open(good_.c_str(), &closed, opener.sink()), 1);
  TVectorMapPlugIn staleCopy = closed;
  ASSERT_EQ(P().Close(&closed), 1);
  TVectorMapPlugIn failed = MapRecord(1, 0, 0);
  EXPECT_EQ(P().Open("/nonexistent/x.dgn", &failed, opener.sink()), 0);
  TVectorMapPlugIn never = MapRecord(1, 0, 0);
  TVectorMapPlugIn garbage = MapRecord(1, 0, 0);
  garbage.handle = reinterpret_cast<void *>(static_cast<uintptr_t>(0x1234));

  struct Case {
    const char *label;
    TVectorMapPlugIn *map;
    const char *why;
  };
  const Case cases[] = {{"null record", nullptr, "no map record"},
                        {"before open", &never, "not open"},
                        {"after close", &closed, "not open"},
                        {"after a failed open", &failed, "not open"},
                        {"stale copy of a closed record", &staleCopy, "not open"},
                        {"handle the plug-in never made", &garbage, "not open"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    Host host;
    EXPECT_EQ(P().Read(c.map, host.callbacks(), host.sink(), host.progress()), 0);
    ASSERT_EQ(host.log.size(), 1u);  // the message, and no progress or objects
    EXPECT_EQ(host.messages[0].rfind("Error in QuarvelPlugIn_Read_Vector_Map3", 0), 0u);
    EXPECT_NE(host.messages[0].find(c.why), std::string::npos) << host.messages[0];

    Host adder;
    TVectorObjectPlugIn object{};
    object.size = QPLUGIN_OBJECT_SIZE;
    TVectorPointPlugIn pts[2] = {};
    pts[0].size = pts[1].size = QPLUGIN_POINT_SIZE;
    EXPECT_EQ(P().AddPolyline(c.map, &object, 2, pts, adder.sink()), 0);
    ASSERT_EQ(adder.messages.size(), 1u);
    EXPECT_EQ(adder.messages[0].rfind("Error in QuarvelPlugIn_Add_Poliline_Vector_Map", 0), 0u);
    EXPECT_NE(adder.messages[0].find(c.why), std::string::npos) << adder.messages[0];
  }
  // Nothing to release: the stale copy and the garbage handle are dropped.
  EXPECT_EQ(P().Close(&staleCopy), 1);
  EXPECT_EQ(P().Close(&garbage), 1);
  EXPECT_EQ(Val(garbage.handle), nullptr);
}

}  // namespace
