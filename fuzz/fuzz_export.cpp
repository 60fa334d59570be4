// Fuzz target: export of arbitrary polylines into a file created from a
// seed, then a re-import that must agree; optionally a second session that
// opens the file for update and replaces elements by id, checked the same way.
//
// The input is read with FuzzedDataProvider: the seed (seed2d, seed3d or
// seedgeo, from symbols/dgnseeds beside the fuzzer), then up to 8 polylines
// for the created file and up to 4 for the update session.  Each polyline has
// its kind, level, colour, width, style, element id, point count (0..130) and
// points, either on the file's design grid or arbitrary doubles (NaN,
// infinities, values off the design plane), and sometimes a wrong record size.
//
// The model of what the file must hold afterwards:
//   - a polyline whose first point record has the wrong size, or with a point
//     off the design plane, is refused (false) and writes nothing;
//   - any other is written (true) as elements of at most 51 vertices (39 in
//     3D) sharing their boundary vertex, with level clamped to 0..63, weight
//     the width truncated into 0..31, shape for kind 1 and line string else;
//   - in the update session a polyline that is what the import delivered for
//     its id (kind, level, colour, width, style, every point within half a
//     design unit) writes nothing; otherwise the first element replaces the
//     element the id names when both have the same size, and otherwise the
//     old one is marked deleted and the new one appended; an id naming a
//     deleted element, none, or one an earlier polyline of the session
//     replaced, appends;
//   - the re-import delivers exactly the live elements, in file order, with
//     every coordinate within one design unit of what was written.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Dgn_plugin.h"
#include "cpl_error.h"
#include "fuzz_host.h"

using fuzzhost::CheckingHost;
using fuzzhost::Fail;

namespace {

struct Seed {
  const char *file;
  int dimension;
  double scale;  // master units per design unit
};
const Seed kSeeds[] = {
    {"seed2d.dgn", 2, 1.0 / 100.0},
    {"seed3d.dgn", 3, 1.0 / 100.0},
    {"seedgeo.dgn", 2, 1.0 / 3600000.0},
};

constexpr double kDesignLimit = 2147483647.0;

// One element the file must hold, as the import will deliver it.
struct Expected {
  int32_t id;
  int32_t kind;
  int32_t level;
  float width;
  int rawBytes;
  std::vector<TVectorPointPlugIn> points;
};

struct Polyline {
  TVectorObjectPlugIn object{};
  std::vector<TVectorPointPlugIn> points;
};

// Targets of replacement: an element id of the file and its vertex count.
struct Target {
  int32_t id;
  int vertices;
};

Polyline MakePolyline(FuzzedDataProvider &in, const Seed &seed,
                      const std::vector<Target> &targets) {
  Polyline p;
  TVectorObjectPlugIn &o = p.object;
  o.size = QPLUGIN_OBJECT_SIZE;
  o.objectKind = in.ConsumeIntegralInRange<int32_t>(-1, 3);
  o.level =
      in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(0, 63) : in.ConsumeIntegral<int32_t>();
  o.color = in.ConsumeIntegral<int32_t>();
  o.width = in.ConsumeBool() ? static_cast<float>(in.ConsumeIntegralInRange<int>(0, 40)) / 3.0f
                             : in.ConsumeFloatingPoint<float>();
  o.style = in.ConsumeIntegralInRange<int32_t>(-2, 9);
  // Ids of elements the file holds, ids it does not hold, and arbitrary ones.
  // A replacement of the same size (same vertex count) rewrites in place.
  const int pick = in.ConsumeIntegralInRange<int>(0, 3);
  int count = in.ConsumeIntegralInRange<int>(0, 130);
  if (pick <= 1 && !targets.empty()) {
    const Target &t = targets[in.ConsumeIntegralInRange<size_t>(0, targets.size() - 1)];
    o.elementId = t.id;
    if (pick == 0) count = t.vertices;
  } else if (pick == 2) {
    o.elementId = in.ConsumeIntegralInRange<int32_t>(-1, 0);
  } else {
    o.elementId = 1000000 + in.ConsumeIntegralInRange<int32_t>(0, 100);
  }
  const bool onGrid = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  const bool badSize = in.ConsumeIntegralInRange<int>(0, 31) == 0;
  for (int i = 0; i < count; ++i) {
    TVectorPointPlugIn pt{};
    pt.size = QPLUGIN_POINT_SIZE;
    double c[3];
    for (double &v : c) {
      if (onGrid)
        v = (in.ConsumeIntegral<int32_t>() + in.ConsumeIntegralInRange<int>(0, 99) / 100.0) *
            seed.scale;
      else
        v = in.ConsumeFloatingPoint<double>();
    }
    pt.x = c[0];
    pt.y = c[1];
    pt.z = c[2];
    pt.hostField28 = -1.0;
    p.points.push_back(pt);
  }
  if (badSize && count > 0) p.points[0].size = 35;
  return p;
}

bool OnPlane(double v, double scale) { return std::fabs(v / scale) <= kDesignLimit; }

int Weight(float width) {
  if (!(width >= 1.0f)) return 0;
  if (width >= 31.0f) return 31;
  return static_cast<int>(width);
}

// What an update session knows: the objects the import delivered before it,
// and the ids its polylines replaced.
struct Session {
  std::vector<fuzzhost::Object> delivered;
  std::vector<int32_t> replaced;
};

// The object delivered for `id`, unless the session replaced it already.
const fuzzhost::Object *Named(const Session &session, int32_t id) {
  for (const int32_t r : session.replaced)
    if (r == id) return nullptr;
  for (const fuzzhost::Object &o : session.delivered)
    if (o.record.elementId == id) return &o;
  return nullptr;
}

// Whether a polyline is the delivered object unchanged.
bool Unchanged(const Polyline &p, const fuzzhost::Object &d, const Seed &seed) {
  const TVectorObjectPlugIn &a = p.object, &b = d.record;
  if (a.objectKind != b.objectKind || a.level != b.level || a.color != b.color ||
      a.style != b.style || !(a.width == b.width) || p.points.size() != d.points.size())
    return false;
  const double half = 0.5 * seed.scale;
  for (size_t k = 0; k < p.points.size(); ++k) {
    const TVectorPointPlugIn &u = p.points[k], &v = d.points[k];
    if (!(std::fabs(u.x - v.x) <= half) || !(std::fabs(u.y - v.y) <= half) ||
        (seed.dimension == 3 && !(std::fabs(u.z - v.z) <= half)))
      return false;
  }
  return true;
}

// Adds one polyline and updates the model (`session`: null outside an update).
void Add(TVectorMapPlugIn &map, const Polyline &p, const Seed &seed, Session *session,
         std::vector<Expected> &model, int32_t &nextId) {
  const bool update = session != nullptr;
  CheckingHost host;
  const int32_t count = static_cast<int32_t>(p.points.size());
  TVectorObjectPlugIn object = p.object;
  const TPlugInBool result = _QuarvelPlugIn_Add_Poliline_Vector_Map(
      &map, &object, count, const_cast<TVectorPointPlugIn *>(p.points.data()), host.sink());

  bool refused = count > 0 && p.points[0].size != QPLUGIN_POINT_SIZE;
  for (const TVectorPointPlugIn &pt : p.points) {
    if (!OnPlane(pt.x, seed.scale) || !OnPlane(pt.y, seed.scale) ||
        (seed.dimension == 3 && !OnPlane(pt.z, seed.scale)))
      refused = true;
  }
  if (refused) {
    if (result != 0 || host.messages.size() != 1)
      Fail("a refused polyline was not answered with false and one message");
    return;
  }
  if (result != 1 || !host.messages.empty())
    Fail("a sound polyline was not written", host.messages.empty() ? "" : host.messages[0]);
  const fuzzhost::Object *named =
      update && p.object.elementId > 0 ? Named(*session, p.object.elementId) : nullptr;
  if (named != nullptr && Unchanged(p, *named, seed)) return;
  if (named != nullptr) session->replaced.push_back(p.object.elementId);

  const int step = seed.dimension == 3 ? 38 : 50;
  for (int32_t start = 0; start < count; start += step) {
    const int32_t n = std::min(count - start, step + 1);
    if (n <= 1) continue;
    Expected e;
    e.kind = p.object.objectKind == 1 ? 1 : 0;
    e.level = p.object.level < 0 ? 0 : p.object.level > 63 ? 63 : p.object.level;
    e.width = static_cast<float>(Weight(p.object.width));
    e.rawBytes = 38 + 4 * seed.dimension * n;
    e.points.assign(p.points.begin() + start, p.points.begin() + start + n);
    e.id = -1;
    if (named != nullptr && start == 0) {
      for (auto old = model.begin(); old != model.end(); ++old) {
        if (old->id != p.object.elementId) continue;
        if (old->rawBytes == e.rawBytes) {
          e.id = old->id;
          *old = e;
        } else {
          model.erase(old);  // deleted: the import no longer delivers it
        }
        break;
      }
    }
    if (e.id < 0) {
      e.id = nextId++;
      model.push_back(e);
    }
  }
}

// Imports the file and compares it with the model; gives what was delivered.
std::vector<fuzzhost::Object> CheckImport(const std::string &path, const Seed &seed,
                                          const std::vector<Expected> &model) {
  TVectorMapPlugIn map = fuzzhost::MapRecord(1, 0, 0);
  CheckingHost host;
  if (_QuarvelPlugIn_Open_Vector_Map(path.c_str(), &map, host.sink()) != 1)
    Fail("the written file does not open", host.messages.empty() ? "" : host.messages[0]);
  if (_QuarvelPlugIn_Read_Vector_Map3(&map, host.callbacks(), host.sink(), host.progress()) != 1)
    Fail("the written file does not read");
  host.Finish();
  _QuarvelPlugIn_Close_Vector_Map(&map);
  if (host.objects.size() != model.size())
    Fail("object count differs", std::to_string(host.objects.size()) + " read, " +
                                     std::to_string(model.size()) + " written");
  const double tolerance = seed.scale * 1.000001;
  for (size_t i = 0; i < model.size(); ++i) {
    const fuzzhost::Object &got = host.objects[i];
    const Expected &want = model[i];
    if (got.record.elementId != want.id || got.record.objectKind != want.kind ||
        got.record.level != want.level || got.record.width != want.width ||
        got.points.size() != want.points.size())
      Fail("object differs", "element " + std::to_string(want.id));
    for (size_t k = 0; k < want.points.size(); ++k) {
      const TVectorPointPlugIn &a = got.points[k];
      const TVectorPointPlugIn &b = want.points[k];
      const double wantZ = seed.dimension == 3 ? b.z : 0.0;
      if (std::fabs(a.x - b.x) > tolerance + 1e-12 * std::fabs(b.x) ||
          std::fabs(a.y - b.y) > tolerance + 1e-12 * std::fabs(b.y) ||
          std::fabs(a.z - wantZ) > tolerance + 1e-12 * std::fabs(wantZ))
        Fail("vertex moved", "element " + std::to_string(want.id) + " vertex " + std::to_string(k));
    }
  }
  return host.objects;
}

std::string g_dir;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  CPLSetErrorHandler(nullptr);
  g_dir = fuzzhost::ScratchDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  const Seed &seed = kSeeds[in.ConsumeIntegralInRange<int>(0, 2)];
  const std::string ini = "[Mapa]\nDGN_Seed_File=" + std::string(seed.file) + "\n";
  fuzzhost::WriteBytes(g_dir + "/gps.ini", reinterpret_cast<const uint8_t *>(ini.data()),
                       ini.size());
  const std::string path = g_dir + "/export.dgn";
  std::remove(path.c_str());

  std::vector<Expected> model;
  // The created file holds the TCB and the two seed elements after it.
  int32_t nextId = 3;
  {
    std::vector<char> dir(g_dir.begin(), g_dir.end());
    dir.push_back('\0');
    TVectorMapPlugIn map = fuzzhost::MapRecord(0, 1, 1, dir.data());
    CheckingHost host;
    if (_QuarvelPlugIn_Open_Vector_Map(path.c_str(), &map, host.sink()) != 1)
      Fail("creation failed", host.messages.empty() ? "" : host.messages[0]);
    const int polylines = in.ConsumeIntegralInRange<int>(1, 8);
    for (int i = 0; i < polylines; ++i)
      Add(map, MakePolyline(in, seed, {}), seed, nullptr, model, nextId);
    _QuarvelPlugIn_Close_Vector_Map(&map);
  }
  Session session;
  session.delivered = CheckImport(path, seed, model);

  if (!in.ConsumeBool()) return 0;
  {
    std::vector<Target> targets;
    for (const Expected &e : model) targets.push_back({e.id, static_cast<int>(e.points.size())});
    TVectorMapPlugIn map = fuzzhost::MapRecord(1, 1, 0);
    CheckingHost host;
    if (_QuarvelPlugIn_Open_Vector_Map(path.c_str(), &map, host.sink()) != 1)
      Fail("open for update failed", host.messages.empty() ? "" : host.messages[0]);
    const int polylines = in.ConsumeIntegralInRange<int>(1, 4);
    for (int i = 0; i < polylines; ++i)
      Add(map, MakePolyline(in, seed, targets), seed, &session, model, nextId);
    _QuarvelPlugIn_Close_Vector_Map(&map);
  }
  CheckImport(path, seed, model);
  return 0;
}
