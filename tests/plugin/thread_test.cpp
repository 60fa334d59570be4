// Separate maps used from several threads at once, through the built
// library's exports, as a host does that imports in a loader thread while it
// exports a track in another.  Run under ThreadSanitizer by the test command,
// where any data race in the library fails the program.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "plugin_host.h"

using namespace plugintest;
using dgnkit::Bytes;
namespace fs = std::filesystem;

namespace {

TVectorObjectPlugIn Obj(int level) {
  TVectorObjectPlugIn o{};
  o.size = int32_t(sizeof o);
  o.color = o.color2 = -1;
  o.level = level;
  o.width = 1.0f;
  o.numPoints = -1;
  o.style = -1;
  return o;
}

bool Has(const std::vector<std::string> &texts, const std::string &part) {
  for (const std::string &t : texts)
    if (t.find(part) != std::string::npos) return true;
  return false;
}

// One thread's work: maps of its own created, written, read back, updated,
// and a missing one refused; a map that every thread shares read alongside.
// Gives what went wrong (empty when nothing did).
std::vector<std::string> Work(int t, const std::string &dir, const std::string &shared,
                              size_t sharedObjects) {
  std::vector<std::string> faults;
  auto fault = [&](const std::string &what) { faults.push_back(what); };
  const Plugin &lib = Lib();
  std::string directory = dir;
  const int polylines = 6;
  for (int round = 0; round < 3; ++round) {
    const std::string path = dir + "/map" + std::to_string(round) + ".dgn";
    Host writer;
    TVectorMapPlugIn map = MapRecord(0, 1, 1);
    map.directory = &directory[0];
    if (!lib.Open(path.c_str(), &map, writer.sink())) {
      fault("create " + path + ": " + (writer.messages.empty() ? "" : writer.messages[0]));
      continue;
    }
    std::vector<TVectorPointPlugIn> pts;
    for (int i = 0; i < 60; ++i) pts.push_back(PointRecord(100.0 * t + i, 2.0 * i + round));
    for (int k = 0; k < polylines; ++k) {
      TVectorObjectPlugIn o = Obj(t + 1);
      if (!lib.AddPolyline(&map, &o, int32_t(pts.size()), pts.data(), writer.sink()))
        fault("add to " + path);
    }
    lib.Close(&map);
    if (!writer.messages.empty()) fault("export of " + path + ": " + writer.messages[0]);

    // Update takes the file's lock; the map is this thread's alone.
    Host updater;
    map = MapRecord(1, 1, 0);
    if (lib.Open(path.c_str(), &map, updater.sink())) {
      TVectorObjectPlugIn o = Obj(t + 1);
      if (!lib.AddPolyline(&map, &o, 2, pts.data(), updater.sink())) fault("update " + path);
      lib.Close(&map);
    } else {
      fault("open for update " + path + ": " +
            (updater.messages.empty() ? "" : updater.messages[0]));
    }

    Host reader;
    map = MapRecord(1, 0, 0);
    if (!lib.Open(path.c_str(), &map, reader.sink()) ||
        !lib.Read(&map, reader.callbacks(), reader.sink(), reader.progress())) {
      fault("import of " + path);
    }
    lib.Close(&map);
    // 60 points make two line strings (51 and 10 vertices); the update one.
    if (reader.objects.size() != size_t(2 * polylines + 1))
      fault(path + ": " + std::to_string(reader.objects.size()) + " objects read back");
    if (reader.layer_names.size() != 1 || reader.layer_names[0] != "Level " + std::to_string(t + 1))
      fault(path + ": wrong layers");

    // The failure of this thread's open is reported with this thread's path,
    // whatever the other threads fail meanwhile.
    const std::string missing = dir + "/missing" + std::to_string(round) + ".dgn";
    Host refused;
    map = MapRecord(1, 0, 0);
    if (lib.Open(missing.c_str(), &map, refused.sink()) ||
        !Has(refused.messages, "Unable to open `" + missing + "'"))
      fault("the refused open of " + missing + " did not name it");

    Host sharer;
    map = MapRecord(1, 0, 0);
    if (!lib.Open(shared.c_str(), &map, sharer.sink()) ||
        !lib.Read(&map, sharer.callbacks(), sharer.sink(), sharer.progress()) ||
        sharer.objects.size() != sharedObjects) {
      fault("import of the shared map");
    }
    lib.Close(&map);
  }
  return faults;
}

TEST(Threads, SeparateMapsOnSeveralThreadsAtOnce) {
  ASSERT_TRUE(Lib().error.empty()) << Lib().error;
  std::string templ = (fs::temp_directory_path() / "dgnthreads-XXXXXX").string();
  ASSERT_NE(mkdtemp(&templ[0]), nullptr);
  const std::string root = templ;

  const std::string shared = root + "/shared.dgn";
  std::vector<Bytes> elements;
  for (int i = 0; i < 200; ++i)
    elements.push_back(dgnkit::MakeMultiPoint(4, {{i, 0}, {i, 50}, {i + 1, 60}}));
  ASSERT_TRUE(dgnkit::WriteFile(shared, DesignFile(elements)));

  // Half of the threads name a seed of their own in gps.ini; the others have
  // no gps.ini, so each writes the default setting into a new one and takes
  // the bundled seed beside the program.
  const Bytes seed = dgnkit::Concat({dgnkit::MakeTcb({}), dgnkit::MakeGroupDataStart(),
                                     dgnkit::MakeGroupDataStart(), dgnkit::EndOfDesign()});
  const int threads = 4;
  std::vector<std::string> dirs;
  for (int t = 0; t < threads; ++t) {
    dirs.push_back(root + "/t" + std::to_string(t));
    fs::create_directory(dirs.back());
    if (t % 2 == 1) {
      const std::string ini = "[Mapa]\nDGN_Seed_File=" + dirs.back() + "/seed.dgn\n";
      ASSERT_TRUE(dgnkit::WriteFile(dirs.back() + "/seed.dgn", seed));
      ASSERT_TRUE(dgnkit::WriteFile(dirs.back() + "/gps.ini", Bytes(ini.begin(), ini.end())));
    }
  }

  std::vector<std::vector<std::string>> faults(threads);
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t)
    running.emplace_back([&, t] { faults[size_t(t)] = Work(t, dirs[size_t(t)], shared, 200); });
  for (std::thread &th : running) th.join();
  for (int t = 0; t < threads; ++t) {
    for (const std::string &f : faults[size_t(t)]) ADD_FAILURE() << "thread " << t << ": " << f;
  }
  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace
