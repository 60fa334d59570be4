// Crash replay: every write, sync, creation and rename that an export or an
// update makes is recorded through the platform layer's write journal, and
// every state a killed process or a power cut could leave is rebuilt from
// the record and checked:
//   - every prefix of the record (a kill, or a power cut after a sync);
//   - writes since their file's last sync lost in any combination (all of
//     them while there are few, else the likely patterns), and folder
//     entries since the folder's last sync lost from the end;
//   - the last write torn at each 512-byte sector boundary it crosses.
// An export must leave the old map or the new one, byte for byte.  An update
// must leave a map that reads to its end-of-design marker, whose live
// elements are each the old or the new version, whose complex elements are
// whole, and in which the replaced feature is still there in one version.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Dgn_plugin.h"
#include "dgn_elements.h"
#include "dgnhost_files.h"
#include "faults_util.h"
#include "platform.h"
#include "plugin_host.h"

namespace {

using dgnkit::Bytes;
using faultstest::ScratchDir;

constexpr int64_t kSector = 512;
constexpr size_t kAllSubsetsUpTo = 5;  // pending writes whose every subset is tried

// ---- The record and the disk it rebuilds -----------------------------------

void Record(const PlatIoEvent &event, void *context) {
  static_cast<std::vector<PlatIoEvent> *>(context)->push_back(event);
}

struct FileData {
  std::string durable;
  std::vector<const PlatIoEvent *> pending;  // writes and creations since the last sync
};

struct DirOp {
  PlatIoKind kind;
  std::string path, to;
  int file;
};

// What a disk holds after the first `count` events: each file's synced bytes
// and pending writes, and the folder's synced and pending entries.
struct Disk {
  std::vector<FileData> files;
  std::map<std::string, int> synced_names, names;
  std::vector<DirOp> pending_names;

  void Play(const PlatIoEvent &e) {
    switch (e.kind) {
      case PLAT_IO_CREATE:
        if (names.count(e.path) == 0) {
          files.push_back(FileData());
          names[e.path] = static_cast<int>(files.size()) - 1;
          pending_names.push_back({e.kind, e.path, "", names[e.path]});
        } else {
          files[names[e.path]].pending.push_back(&e);  // emptied
        }
        break;
      case PLAT_IO_WRITE:
        if (names.count(e.path) != 0) files[names[e.path]].pending.push_back(&e);
        break;
      case PLAT_IO_SYNC:
        if (names.count(e.path) != 0) {
          FileData &f = files[names[e.path]];
          for (const PlatIoEvent *w : f.pending) Apply(f.durable, *w, w->bytes.size());
          f.pending.clear();
        }
        break;
      case PLAT_IO_RENAME:
      case PLAT_IO_REMOVE:
        if (names.count(e.path) != 0) {
          const int f = names[e.path];
          names.erase(e.path);
          if (e.kind == PLAT_IO_RENAME) names[e.to] = f;
          pending_names.push_back({e.kind, e.path, e.to, f});
        }
        break;
      case PLAT_IO_SYNC_FOLDER:
        for (const DirOp &op : pending_names) ApplyName(synced_names, op);
        pending_names.clear();
        break;
    }
  }

  static void Apply(std::string &data, const PlatIoEvent &w, size_t keep) {
    if (w.kind == PLAT_IO_CREATE) {
      data.clear();
      return;
    }
    const size_t end = static_cast<size_t>(w.offset) + keep;
    if (data.size() < end) data.resize(end, '\0');
    data.replace(static_cast<size_t>(w.offset), keep, w.bytes, 0, keep);
  }

  static void ApplyName(std::map<std::string, int> &dir, const DirOp &op) {
    if (op.kind == PLAT_IO_CREATE) dir[op.path] = op.file;
    if (op.kind == PLAT_IO_RENAME) {
      dir.erase(op.path);
      dir[op.to] = op.file;
    }
    if (op.kind == PLAT_IO_REMOVE) dir.erase(op.path);
  }
};

// One state a crash could leave: which pending writes landed (`kept`, one
// flag per pending write in file order), how many pending folder entries,
// and the last kept write cut to `torn` bytes (or whole).
struct Choice {
  std::vector<std::vector<bool>> kept;
  size_t names = 0;
  size_t torn = SIZE_MAX;
};

// The content of `path` in that state; false when there is no such file.
bool ContentAfter(const Disk &d, const Choice &c, const std::string &path, std::string *out) {
  std::map<std::string, int> dir = d.synced_names;
  for (size_t i = 0; i < c.names; ++i) Disk::ApplyName(dir, d.pending_names[i]);
  const auto it = dir.find(path);
  if (it == dir.end()) return false;
  const FileData &f = d.files[it->second];
  std::string data = f.durable;
  size_t last = SIZE_MAX;
  for (size_t i = 0; i < f.pending.size(); ++i)
    if (c.kept[it->second][i]) last = i;
  for (size_t i = 0; i < f.pending.size(); ++i)
    if (c.kept[it->second][i])
      Disk::Apply(
          data, *f.pending[i],
          i == last ? std::min(c.torn, f.pending[i]->bytes.size()) : f.pending[i]->bytes.size());
  *out = data;
  return true;
}

// Calls `check` with the content of `path` (or null) in every state a crash
// after each prefix of `events` could leave; gives the number of
// crash states and the number `check` refused.
std::pair<int, int> Replay(const std::map<std::string, std::string> &before,
                           const std::vector<PlatIoEvent> &events, const std::string &path,
                           const std::function<std::string(const std::string *)> &check) {
  std::map<std::string, std::string> verdicts;  // bytes of the map: what is wrong with them
  int states = 0;
  int broken = 0;
  for (size_t count = 0; count <= events.size(); ++count) {
    Disk d;
    for (const auto &f : before) {
      d.files.push_back(FileData{f.second, {}});
      d.synced_names[f.first] = d.names[f.first] = static_cast<int>(d.files.size()) - 1;
    }
    for (size_t i = 0; i < count; ++i) d.Play(events[i]);

    // The pending writes, over all files, and the patterns of those that land.
    std::vector<std::pair<int, size_t>> pending;
    for (size_t f = 0; f < d.files.size(); ++f)
      for (size_t i = 0; i < d.files[f].pending.size(); ++i)
        pending.push_back({static_cast<int>(f), i});
    std::vector<std::vector<bool>> patterns;
    const size_t m = pending.size();
    if (m <= kAllSubsetsUpTo) {
      for (size_t mask = 0; mask < (size_t{1} << m); ++mask) {
        std::vector<bool> p(m);
        for (size_t j = 0; j < m; ++j) p[j] = ((mask >> j) & 1) != 0;
        patterns.push_back(p);
      }
    } else {
      for (size_t j = 0; j <= m; ++j) {
        patterns.push_back(std::vector<bool>(m, false));
        for (size_t k = 0; k < j; ++k) patterns.back()[k] = true;  // the first j landed
        std::vector<bool> all_but(m, true);
        if (j < m) all_but[j] = false;  // all but one
        patterns.push_back(all_but);
      }
    }
    for (const std::vector<bool> &p : patterns) {
      for (size_t names = 0; names <= d.pending_names.size(); ++names) {
        Choice c;
        for (const FileData &f : d.files) c.kept.push_back(std::vector<bool>(f.pending.size()));
        for (size_t j = 0; j < m; ++j) c.kept[pending[j].first][pending[j].second] = p[j];
        c.names = names;
        std::vector<size_t> cuts = {SIZE_MAX};
        // The last write of the prefix, landed, torn at a sector boundary.
        if (count > 0 && events[count - 1].kind == PLAT_IO_WRITE && m > 0 && p[m - 1]) {
          const PlatIoEvent &w = events[count - 1];
          for (int64_t b = (w.offset / kSector + 1) * kSector;
               b < w.offset + static_cast<int64_t>(w.bytes.size()); b += kSector)
            cuts.push_back(static_cast<size_t>(b - w.offset));
        }
        for (const size_t cut : cuts) {
          c.torn = cut;
          std::string content;
          const bool exists = ContentAfter(d, c, path, &content);
          ++states;
          // Many crash states leave the same bytes: each is judged once.
          const std::string key = exists ? "1" + content : "0";
          auto it = verdicts.find(key);
          if (it == verdicts.end())
            it = verdicts.emplace(key, check(exists ? &content : nullptr)).first;
          if (!it->second.empty()) {
            if (broken < 3)
              ADD_FAILURE() << "crash after event " << count << " of " << events.size() << ": "
                            << it->second;
            ++broken;
          }
        }
      }
    }
  }
  return {states, broken};
}

// ---- What a map must be after a crash ---------------------------------------

struct Element {
  size_t offset;
  std::string bytes;
  bool live() const { return (static_cast<unsigned char>(bytes[1]) & 0x80) == 0; }
  // The bytes with the complex and deleted bits cleared.
  std::string Plain() const {
    std::string b = bytes;
    b[0] = static_cast<char>(b[0] & 0x7F);
    b[1] = static_cast<char>(b[1] & 0x7F);
    return b;
  }
};

// The elements up to the end-of-design marker; an error when the stream is cut.
std::string Walk(const std::string &data, std::vector<Element> *out) {
  size_t at = 0;
  for (;;) {
    if (at + 2 > data.size())
      return "the element stream ends without a marker at " + std::to_string(at);
    const auto b = [&](size_t i) { return static_cast<unsigned char>(data[at + i]); };
    if (b(0) == 0xFF && b(1) == 0xFF) return std::string();
    if (at + 4 > data.size()) return "an element header is cut at " + std::to_string(at);
    const size_t size = 4 + 2 * (b(2) | (b(3) << 8));
    if (at + size > data.size()) return "an element is cut at " + std::to_string(at);
    out->push_back({at, data.substr(at, size)});
    at += size;
  }
}

int Type(const Element &e) { return static_cast<unsigned char>(e.bytes[1]) & 0x7F; }

struct Expectation {
  std::set<std::string> allowed;  // the live elements of the old and new map
  std::string old_version;        // the replaced element (empty: none)
  std::string new_version;        // the first element of its new version
};

std::string CheckUpdate(const Expectation &x, const std::string *data) {
  if (data == nullptr) return "the map is gone";
  std::vector<Element> els;
  const std::string cut = Walk(*data, &els);
  if (!cut.empty()) return cut;
  bool old_there = false, new_there = false;
  for (size_t i = 0; i < els.size(); ++i) {
    if (!els[i].live()) continue;
    if (x.allowed.count(els[i].bytes) == 0)
      return "the live element at " + std::to_string(els[i].offset) + " is neither version";
    old_there = old_there || els[i].bytes == x.old_version;
    new_there = new_there || els[i].Plain() == x.new_version;
    const int type = Type(els[i]);
    if (type == 12 || type == 14) {
      const std::string &h = els[i].bytes;
      const size_t parts =
          static_cast<unsigned char>(h[38]) | (static_cast<unsigned char>(h[39]) << 8);
      for (size_t k = 1; k <= parts; ++k)
        if (i + k >= els.size() || !els[i + k].live() || (els[i + k].bytes[0] & 0x80) == 0)
          return "the complex element at " + std::to_string(els[i].offset) + " is not whole";
    }
  }
  if (!x.old_version.empty() && !old_there && !new_there)
    return "the replaced element is there in neither version";
  return std::string();
}

// ---- The runs ---------------------------------------------------------------

TVectorObjectPlugIn Line(int32_t id) {
  TVectorObjectPlugIn o{};
  o.size = static_cast<int32_t>(sizeof o);
  o.color = o.color2 = 0x00FF00;
  o.level = 4;
  o.width = 1.0f;
  o.style = -1;
  o.elementId = id;
  return o;
}

std::vector<TVectorPointPlugIn> Points(int n, double shift) {
  std::vector<TVectorPointPlugIn> pts;
  for (int i = 0; i < n; ++i)
    pts.push_back(plugintest::PointRecord(shift + i * 3.0, (i % 3) * 2.0 + shift / 7));
  return pts;
}

struct Feature {
  int32_t id;  // the element it replaces, or 0
  int points;
};

class CrashReplay : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    const Bytes seed = dgnkit::Concat(
        {dgnkit::MakeTcb(dgnkit::TcbSpec()), dgnkit::MakeGroupDataStart(), dgnkit::EndOfDesign()});
    ASSERT_TRUE(dgnkit::WriteFile(dir_.Path("seed.dgn"), seed));
    ASSERT_TRUE(WriteIni(GetParam()));
    directory_.assign(dir_.path().begin(), dir_.path().end());
    directory_.push_back('\0');
    // The old map: sixteen short lines after the seed's elements.
    std::vector<Feature> lines(16, Feature{0, 5});
    ASSERT_EQ(Export(dir_.Path("base.dgn"), lines), "");
    base_ = Read(dir_.Path("base.dgn"));
  }

  // The plug-in's settings: the seed file, and the whole map or not.
  bool WriteIni(bool wholeMap) {
    std::string ini = "[Mapa]\r\nDGN_Seed_File=" + dir_.Path("seed.dgn") + "\r\n";
    if (wholeMap) ini += "DGN_Whole_Map=1\r\n";
    return dgnkit::WriteFile(dir_.Path("gps.ini"), Bytes(ini.begin(), ini.end()));
  }

  std::string Read(const std::string &path) {
    const Bytes b = dgnkit::ReadFile(path);
    return std::string(b.begin(), b.end());
  }

  bool AddAll(TVectorMapPlugIn &map, const std::vector<Feature> &features, double shift) {
    plugintest::Host host;
    for (const Feature &f : features) {
      TVectorObjectPlugIn o = Line(f.id);
      std::vector<TVectorPointPlugIn> pts = Points(f.points, shift += 10);
      if (_QuarvelPlugIn_Add_Poliline_Vector_Map(&map, &o, f.points, pts.data(), host.sink()) != 1)
        return false;
    }
    return host.messages.empty();
  }

  // What dgnhost export does: a new temporary file, the map made in it,
  // synced, renamed over `out`, the folder synced.
  std::string Export(const std::string &out, const std::vector<Feature> &features) {
    TempFile temp;
    std::string error;
    if (!temp.Create(out, nullptr, error) || !temp.CloseStream()) return "create: " + error;
    plugintest::Host host;
    TVectorMapPlugIn map = plugintest::MapRecord(0, 1, 1);
    map.directory = directory_.data();
    if (_QuarvelPlugIn_Open_Vector_Map(temp.name().c_str(), &map, host.sink()) != 1) return "open";
    const bool added = AddAll(map, features, 0);
    if (_QuarvelPlugIn_Close_Vector_Map(&map) != 1 || !added) return "add or close";
    return temp.Commit(error) ? std::string() : "commit: " + error;
  }

  std::string Update(const std::string &path, const std::vector<Feature> &features) {
    plugintest::Host host;
    TVectorMapPlugIn map = plugintest::MapRecord(1, 1, 0);
    map.directory = directory_.data();
    if (_QuarvelPlugIn_Open_Vector_Map(path.c_str(), &map, host.sink()) != 1) return "open";
    const bool added = AddAll(map, features, 500);
    return _QuarvelPlugIn_Close_Vector_Map(&map) == 1 && added ? "" : "add or close";
  }

  // The element numbers of the old map's lines: one in a sector of its own
  // and one across a sector boundary.
  void FindLines(int32_t *inside, int32_t *across) {
    std::vector<Element> els;
    ASSERT_EQ(Walk(base_, &els), "");
    *inside = *across = -1;
    for (size_t i = 0; i < els.size(); ++i) {
      if (Type(els[i]) != 4) continue;
      const int64_t a = static_cast<int64_t>(els[i].offset);
      const int64_t z = a + static_cast<int64_t>(els[i].bytes.size()) - 1;
      int32_t &slot = a / kSector == z / kSector ? *inside : *across;
      if (slot < 0) slot = static_cast<int32_t>(i);
    }
  }

  // Replays an update of `base` by `features` and checks every crash state;
  // `in_place`: the map keeps its elements, nothing is left of a copy.
  void ReplayUpdate(const std::string &base, const char *name, const std::vector<Feature> &features,
                    bool in_place) {
    SCOPED_TRACE(name);
    const std::string path = dir_.Path("map.dgn");
    ASSERT_TRUE(dgnkit::WriteFile(path, Bytes(base.begin(), base.end())));
    std::vector<PlatIoEvent> events;
    PlatSetIoJournalForTesting(Record, &events);
    const std::string result = Update(path, features);
    PlatSetIoJournalForTesting(nullptr, nullptr);
    ASSERT_EQ(result, "");
    const std::string final_map = Read(path);

    Expectation x;
    std::vector<Element> old_els, new_els;
    ASSERT_EQ(Walk(base, &old_els), "");
    ASSERT_EQ(Walk(final_map, &new_els), "");
    if (in_place) {
      ASSERT_EQ(new_els.size(), old_els.size()) << "the copy left the file again";
      // Whatever was hidden for the rewrite is back as it was.
      for (size_t k = 0; k < old_els.size(); ++k) {
        if (static_cast<int32_t>(k) == features[0].id) continue;
        EXPECT_EQ(new_els[k].bytes, old_els[k].bytes) << "element " << k << " changed";
      }
    }
    for (const Element &e : old_els)
      if (e.live()) x.allowed.insert(e.bytes);
    for (const Element &e : new_els) {
      if (e.live()) x.allowed.insert(e.bytes);
      // The copy a rewrite across sectors appends stands alone and live
      // until the rewrite is through.
      if (e.live()) x.allowed.insert(e.Plain());
    }
    const int32_t id = features[0].id;
    if (id > 0) {
      x.old_version = old_els[static_cast<size_t>(id)].bytes;
      const Element &there = new_els[static_cast<size_t>(id)];
      if (there.live()) {
        x.new_version = there.Plain();
      } else {
        for (const Element &e : new_els)
          if (e.offset >= base.size() - 2 && e.live()) {
            x.new_version = e.Plain();
            break;
          }
      }
      ASSERT_FALSE(x.new_version.empty());
    }
    std::map<std::string, std::string> before = {{path, base}};
    const auto replay =
        Replay(before, events, path, [&](const std::string *d) { return CheckUpdate(x, d); });
    std::printf("update, %s%s: %d crash states, %d broken\n", name,
                GetParam() ? " (whole map)" : "", replay.first, replay.second);
    EXPECT_EQ(replay.second, 0);
    EXPECT_GT(replay.first, 3);
  }

  ScratchDir dir_;
  std::vector<char> directory_;
  std::string base_;
};

TEST_P(CrashReplay, AnExportLeavesTheOldMapOrTheNew) {
  const std::string out = dir_.Path("map.dgn");
  ASSERT_TRUE(dgnkit::WriteFile(out, Bytes(base_.begin(), base_.end())));
  const std::vector<Feature> features = {{0, 5}, {0, 9}, {0, 120}, {0, 3}, {0, 60}};
  std::vector<PlatIoEvent> events;
  PlatSetIoJournalForTesting(Record, &events);
  ASSERT_EQ(Export(out, features), "");
  PlatSetIoJournalForTesting(nullptr, nullptr);
  const std::string final_map = Read(out);
  ASSERT_NE(final_map, base_);
  std::map<std::string, std::string> before = {{out, base_}};
  const auto replay = Replay(before, events, out, [&](const std::string *data) -> std::string {
    if (data == nullptr) return "the map is gone";
    if (*data == base_ || *data == final_map) return "";
    return "the map is neither the old one nor the new one";
  });
  std::printf("export%s: %d crash states, %d broken\n", GetParam() ? " (whole map)" : "",
              replay.first, replay.second);
  EXPECT_EQ(replay.second, 0);
  EXPECT_GT(replay.first, 3);
}

TEST_P(CrashReplay, AnUpdateLeavesEveryElementWholeAndNeverLosesAFeature) {
  int32_t inside = -1, across = -1;
  FindLines(&inside, &across);
  ASSERT_GT(inside, 0);
  ASSERT_GT(across, 0);
  const struct {
    const char *name;
    std::vector<Feature> features;
    bool in_place;
  } cases[] = {
      {"same size, in one sector", {{inside, 5}}, true},
      {"same size, across sectors", {{across, 5}}, true},
      {"other size", {{inside, 8}}, false},
      {"complex or several elements", {{across, 120}}, false},
      {"appends", {{0, 5}, {0, 40}, {0, 70}}, false},
  };
  for (const auto &c : cases) ReplayUpdate(base_, c.name, c.features, c.in_place);
}

// A component of a complex chain rewritten in place across sectors (the
// import without the whole map delivers it alone, by its number): no crash
// state may show the chain live without all its components live, which the
// whole-map import would send short of the component's points.  With the
// whole map the component is no object of its own: the update appends.
TEST_P(CrashReplay, AComponentRewrittenAcrossSectorsNeverLeavesItsChainShort) {
  std::vector<Feature> features(4, Feature{0, 5});
  features.push_back(Feature{0, 250});
  ASSERT_TRUE(WriteIni(true));
  ASSERT_EQ(Export(dir_.Path("chain.dgn"), features), "");
  ASSERT_TRUE(WriteIni(GetParam()));
  const std::string base = Read(dir_.Path("chain.dgn"));
  std::vector<Element> els;
  ASSERT_EQ(Walk(base, &els), "");
  Feature component{0, 0};
  for (size_t i = 0; i < els.size() && component.id == 0; ++i) {
    const int64_t a = static_cast<int64_t>(els[i].offset);
    const int64_t z = a + static_cast<int64_t>(els[i].bytes.size()) - 1;
    if (Type(els[i]) == 4 && (els[i].bytes[0] & 0x80) != 0 && a / kSector != z / kSector) {
      component.id = static_cast<int32_t>(i);
      // The line string's vertex count.
      component.points = static_cast<unsigned char>(els[i].bytes[36]) |
                         (static_cast<unsigned char>(els[i].bytes[37]) << 8);
    }
  }
  ASSERT_GT(component.id, 0);
  ReplayUpdate(base, "a complex component across sectors", {component}, !GetParam());
}

INSTANTIATE_TEST_SUITE_P(Modes, CrashReplay, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                           return std::string(i.param ? "WholeMap" : "Plain");
                         });

}  // namespace
