// The checking host and scratch folder of the DGN fuzz targets.
#include "fuzz_host.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace fuzzhost {

namespace {

std::string g_scratch;

void RemoveScratch() {
  if (g_scratch.empty()) return;
  const std::string cmd = "rm -rf '" + g_scratch + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
  g_scratch.clear();
}

}  // namespace

void Fail(const char *what, const std::string &detail) {
  std::fprintf(stderr, "fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

const std::string &ScratchDir() {
  if (!g_scratch.empty()) return g_scratch;
  const char *tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
  // A memory-backed folder keeps the per-input file writes cheap.
  if (tmp == nullptr && ::access("/dev/shm", W_OK | X_OK) == 0) base = "/dev/shm";
  std::string pattern = base + "/dgn_fuzz_XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) Fail("cannot make a scratch folder in", base);
  g_scratch = name.data();
  std::atexit(RemoveScratch);
  return g_scratch;
}

void WriteBytes(const std::string &path, const uint8_t *data, size_t size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) Fail("cannot write", path);
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) != 0 || !ok) Fail("cannot write", path);
}

struct HostFns {
  static CheckingHost *Of(TVectorCallbacksPlugIn *t) {
    return reinterpret_cast<CheckingHost::Callbacks *>(t)->host;
  }

  static int32_t AddLayer(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *layer) {
    CheckingHost *h = Of(self);
    ++h->totalCalls;
    h->Finish();
    h->layersStarted_ = true;
    if (layer == nullptr || layer->size != QPLUGIN_OBJECT_SIZE || layer->name == nullptr)
      Fail("layer record without size or name");
    char expect[32];
    std::snprintf(expect, sizeof expect, "Level %d", layer->level);
    if (std::strcmp(expect, layer->name) != 0) Fail("layer name", layer->name);
    if (layer->level < 0 || layer->level > 63) Fail("layer level out of 0..63");
    for (const TVectorObjectPlugIn &l : h->layers) {
      if (l.level == layer->level) Fail("layer sent twice");
    }
    if (layer->color != -1 || layer->color2 != -1 || layer->numPoints != -1 ||
        layer->objectKind != 0 || layer->elementId != 0)
      Fail("layer record fields");
    TVectorObjectPlugIn copy = *layer;
    copy.name = nullptr;
    h->layers.push_back(copy);
    return 0;
  }

  static int32_t AddObject(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *object) {
    CheckingHost *h = Of(self);
    ++h->totalCalls;
    if (h->layersStarted_) Fail("object after the layers");
    h->Finish();
    if (object == nullptr || object->size != QPLUGIN_OBJECT_SIZE)
      Fail("object record without its size");
    if (object->color2 != object->color || (object->color & ~0xFFFFFF) != 0) Fail("object colours");
    if (object->level < 0 || object->level > 63) Fail("object level out of 0..63");
    Object o;
    o.record = *object;
    o.record.name = nullptr;
    o.record.textInfo = nullptr;
    switch (object->objectKind) {
      case 0:
      case 1:
        // Only a complex element joined with the whole map carries a style.
        if (object->numPoints < 0 || object->name != nullptr || object->textInfo != nullptr ||
            (object->style != -1 && !(h->wholeMap && object->style >= 0 && object->style <= 7)))
          Fail("polyline record fields");
        break;
      case 3:
        if (object->numPoints != 1 || object->name == nullptr || object->textInfo == nullptr ||
            object->textInfo->size != QPLUGIN_TEXT_SIZE || object->textInfo->hostField4 != 0)
          Fail("text record fields");
        o.name = object->name;  // reads the whole text: a missing terminator shows here
        o.text = *object->textInfo;
        break;
      default: Fail("object kind");
    }
    o.handle = 100 + static_cast<int32_t>(h->objects.size());
    h->objects.push_back(o);
    return o.handle;
  }

  static int32_t AddPoint(TVectorCallbacksPlugIn *self, int32_t handle, TVectorPointPlugIn *point,
                          int32_t flag) {
    CheckingHost *h = Of(self);
    ++h->totalCalls;
    if (h->objects.empty() || h->objects.back().handle != handle) Fail("point for another object");
    Object &o = h->objects.back();
    if (point == nullptr || point->size != QPLUGIN_POINT_SIZE || point->hostField28 != -1.0)
      Fail("point record fields");
    if (static_cast<int32_t>(o.points.size()) >= o.record.numPoints)
      Fail("more points than announced");
    o.points.push_back(*point);
    const bool last = static_cast<int32_t>(o.points.size()) == o.record.numPoints;
    const int32_t expect = (o.record.objectKind == 3 || !last) ? 1 : 0;
    if (flag != expect) Fail("point flag");
    if (o.record.objectKind == 3 && point->z != 0.0) Fail("text origin with a z");
    return 0;
  }

  static void SetTotal(TProgressPlugIn *self, int32_t total) {
    CheckingHost *h = reinterpret_cast<CheckingHost::Progress *>(self)->host;
    ++h->totalCalls;
    if (h->total != -1 || h->steps != 0 || total < 0)
      Fail("SetTotal called twice, late or negative");
    h->total = total;
  }

  static void Step(TProgressPlugIn *self, int32_t steps) {
    CheckingHost *h = reinterpret_cast<CheckingHost::Progress *>(self)->host;
    ++h->totalCalls;
    if (steps != 1) Fail("Step by more than one");
    ++h->steps;
  }

  static TPlugInBool IsCancelled(TProgressPlugIn *self) {
    CheckingHost *h = reinterpret_cast<CheckingHost::Progress *>(self)->host;
    ++h->totalCalls;
    if (h->cancelled) Fail("asked again after a cancel");
    h->cancelled = h->cancelAfterSteps >= 0 && h->steps >= h->cancelAfterSteps;
    return h->cancelled ? 1 : 0;
  }

  static void Show(TMessagePlugIn *self, const char *text) {
    CheckingHost *h = reinterpret_cast<CheckingHost::Sink *>(self)->host;
    ++h->totalCalls;
    if (text == nullptr) Fail("null message");
    h->messages.push_back(text);
  }
};

namespace {

const TProgressOpsPlugIn kProgressOps = {HostFns::SetTotal, HostFns::Step, nullptr,
                                         HostFns::IsCancelled};

}  // namespace

CheckingHost::CheckingHost() {
  callbacks_.table = TVectorCallbacksPlugIn{
      nullptr, nullptr, nullptr, HostFns::AddLayer, HostFns::AddObject, HostFns::AddPoint};
  callbacks_.host = this;
  progress_.object.ops = &kProgressOps;
  progress_.host = this;
  sink_.object.Show = HostFns::Show;
  sink_.host = this;
}

void CheckingHost::Finish() {
  if (!objects.empty() &&
      static_cast<int32_t>(objects.back().points.size()) != objects.back().record.numPoints)
    Fail("fewer points than announced");
}

TVectorMapPlugIn MapRecord(int read, int write, int create, char *directory) {
  TVectorMapPlugIn map{};
  map.directory = directory;
  map.readFlag = read;
  map.writeFlag = write;
  map.createFlag = create;
  map.openState = 77;
  return map;
}

}  // namespace fuzzhost
