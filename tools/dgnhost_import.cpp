// dgnhost import: the host's callbacks and the summary (dgnhost_import.h).
#include "dgnhost_import.h"

#include <cmath>
#include <csignal>
#include <cstdio>

namespace {

// Imports of at least this many elements draw a progress bar on a terminal.
constexpr int32_t kProgressBarMinElements = 5000;

// Ctrl-C: the handler only raises a flag.
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

bool Finite(const Vertex &v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

}  // namespace

const ImportedLayer *FindLayer(const std::vector<ImportedLayer> &layers, int32_t level) {
  for (const ImportedLayer &l : layers)
    if (l.level == level) return &l;
  return nullptr;
}

std::string LayerName(const std::vector<ImportedLayer> &layers, int32_t level) {
  const ImportedLayer *layer = FindLayer(layers, level);
  return layer != nullptr ? layer->name : "Level " + std::to_string(level);
}

bool AllFinite(const Vertex *points, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (!Finite(points[i])) return false;
  return true;
}

std::vector<Vertex> UsablePoints(const Vertex *points, size_t count) {
  std::vector<Vertex> pts;
  pts.reserve(count);
  for (size_t i = 0; i < count; ++i)
    if (Finite(points[i])) pts.push_back(points[i]);
  return pts;
}

// ---------------------------------------------------------------------------
// Summary
// ---------------------------------------------------------------------------

void SummarySink::Take(const ImportedObject &o, const std::vector<ImportedLayer> &) {
  Row &row = rows_[o.level];
  int64_t *slot = o.kind == 1 ? &row.polygons : (o.kind == 3 ? &row.texts : &row.lines);
  int64_t *tslot = o.kind == 1 ? &total_.polygons : (o.kind == 3 ? &total_.texts : &total_.lines);
  ++*slot;
  ++*tslot;
  row.points += static_cast<int64_t>(o.points.size());
  total_.points += static_cast<int64_t>(o.points.size());
  ++objects_;
}

void SummarySink::Print(const std::string &file, int32_t elements,
                        const std::vector<ImportedLayer> &layers) const {
  std::printf("%s: %d elements read, %lld objects on %zu layers\n", file.c_str(), elements,
              static_cast<long long>(objects_), layers.size());
  std::printf("  %-12s %9s %9s %9s %9s\n", "layer", "polylines", "polygons", "texts", "points");
  // Layers in the order the plug-in sent them, then any level without one.
  std::vector<int32_t> order;
  for (const ImportedLayer &l : layers)
    if (rows_.count(l.level) != 0) order.push_back(l.level);
  for (const auto &kv : rows_) {
    bool seen = false;
    for (int32_t lv : order) seen = seen || lv == kv.first;
    if (!seen) order.push_back(kv.first);
  }
  auto line = [](const std::string &name, const Row &row) {
    std::printf("  %-12s %9lld %9lld %9lld %9lld\n", name.c_str(),
                static_cast<long long>(row.lines), static_cast<long long>(row.polygons),
                static_cast<long long>(row.texts), static_cast<long long>(row.points));
  };
  for (int32_t lv : order) line(LayerName(layers, lv), rows_.at(lv));
  line("total", total_);
}

// ---------------------------------------------------------------------------
// The callbacks
// ---------------------------------------------------------------------------

ImportHost::ImportHost(bool terminal, int64_t interruptAfter)
    : callbacks_{}, progress_{}, messages_{}, terminal_(terminal), interruptAfter_(interruptAfter) {
  callbacks_.table.AddLayer = OnAddLayer;
  callbacks_.table.AddObject = OnAddObject;
  callbacks_.table.AddPoint = OnAddPoint;
  callbacks_.host = this;
  static const TProgressOpsPlugIn kProgressOps = {OnSetTotal, OnStep, nullptr, OnIsCancelled};
  progress_.object.ops = &kProgressOps;
  progress_.host = this;
  messages_.object.Show = OnShow;
  messages_.host = this;
}

void ImportHost::CatchInterrupt() {
  g_interrupted = 0;
  previousHandler_ = std::signal(SIGINT, OnInterrupt);
}

void ImportHost::ReleaseInterrupt() {
  std::signal(SIGINT, previousHandler_ == SIG_ERR ? SIG_DFL : previousHandler_);
}

bool ImportHost::Interrupted() const { return g_interrupted != 0; }

void ImportHost::Flush() {
  if (!haveCurrent_) return;
  haveCurrent_ = false;
  try {
    for (ObjectSink *sink : sinks_) sink->Take(current_, stats_.layers);
  } catch (...) {
    stats_.outOfMemory = true;
  }
}

void ImportHost::Finish() {
  Flush();
  ClearBar();
}

void ImportHost::ClearBar() {
  if (barShown_) {
    std::fprintf(stderr, "\r%60s\r", "");
    std::fflush(stderr);
    barShown_ = false;
  }
}

// Redraws the progress bar when the percentage changed (large imports on a terminal only).
void ImportHost::DrawBar() {
  const int32_t total = stats_.total;
  if (!terminal_ || total < kProgressBarMinElements) return;
  const int64_t done = stats_.steps < total ? stats_.steps : total;
  const int percent = static_cast<int>(done * 100 / total);
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  char bar[31];
  const int filled = percent * 30 / 100;
  for (int i = 0; i < 30; ++i) bar[i] = i < filled ? '#' : '.';
  bar[30] = '\0';
  std::fprintf(stderr, "\rimporting [%s] %3d%% (%lld/%d)", bar, percent,
               static_cast<long long>(done), total);
  std::fflush(stderr);
  barShown_ = true;
}

int32_t ImportHost::OnAddObject(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *o) {
  ImportHost *h = reinterpret_cast<CallbackTable *>(self)->host;
  h->Flush();
  ImportStats &s = h->stats_;
  if (o == nullptr || s.outOfMemory) return -1;
  if (o->size != QPLUGIN_OBJECT_SIZE) s.badRecordSize = true;
  try {
    ImportedObject &obj = h->current_;
    obj.kind = o->objectKind;
    obj.level = o->level;
    obj.color = o->color;
    obj.width = o->width;
    obj.style = o->style;
    obj.elementId = o->elementId;
    obj.declaredPoints = o->numPoints;
    obj.hasText = false;
    obj.text.clear();
    obj.height = obj.rotation = 0.0f;
    obj.justification = 0;
    obj.points.clear();
    if (o->objectKind == 3) {
      // The name and text record live only during this call: copy them.
      obj.hasText = true;
      if (o->name != nullptr) obj.text = o->name;
      if (o->textInfo != nullptr) {
        if (o->textInfo->size != QPLUGIN_TEXT_SIZE) s.badRecordSize = true;
        obj.height = o->textInfo->height;
        obj.rotation = o->textInfo->rotation;
        obj.justification = o->textInfo->justification;
      }
    }
    if (o->numPoints > 0 && o->numPoints < 1000000)
      obj.points.reserve(static_cast<size_t>(o->numPoints));
  } catch (...) {
    s.outOfMemory = true;
    return -1;
  }
  h->haveCurrent_ = true;
  h->currentHandle_ = h->nextHandle_++;
  return h->currentHandle_;
}

int32_t ImportHost::OnAddPoint(TVectorCallbacksPlugIn *self, int32_t object, TVectorPointPlugIn *p,
                               int32_t) {
  ImportHost *h = reinterpret_cast<CallbackTable *>(self)->host;
  ImportStats &s = h->stats_;
  if (p == nullptr || s.outOfMemory) return 0;
  if (p->size != QPLUGIN_POINT_SIZE) s.badRecordSize = true;
  // Points belong to the object being received; the plug-in sends an
  // object's points before the next object.
  if (!h->haveCurrent_ || object != h->currentHandle_) {
    ++s.strayPoints;
    return 0;
  }
  try {
    h->current_.points.push_back(Vertex{p->x, p->y, p->z});
  } catch (...) {
    s.outOfMemory = true;
  }
  return 0;
}

int32_t ImportHost::OnAddLayer(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *o) {
  ImportHost *h = reinterpret_cast<CallbackTable *>(self)->host;
  ImportStats &s = h->stats_;
  if (o == nullptr || s.outOfMemory) return 0;
  if (o->size != QPLUGIN_OBJECT_SIZE) s.badRecordSize = true;
  try {
    ImportedLayer layer;
    layer.level = o->level;
    if (o->name != nullptr) layer.name = o->name;
    s.layers.push_back(std::move(layer));
  } catch (...) {
    s.outOfMemory = true;
  }
  return 0;
}

void ImportHost::OnSetTotal(TProgressPlugIn *self, int32_t total) {
  ImportHost *h = reinterpret_cast<ProgressRecord *>(self)->host;
  h->stats_.total = total;
  h->lastPercent_ = -1;
  h->DrawBar();
}

void ImportHost::OnStep(TProgressPlugIn *self, int32_t steps) {
  ImportHost *h = reinterpret_cast<ProgressRecord *>(self)->host;
  h->stats_.steps += steps;
  if (h->interruptAfter_ > 0 && h->stats_.steps == h->interruptAfter_) std::raise(SIGINT);
  h->DrawBar();
}

TPlugInBool ImportHost::OnIsCancelled(TProgressPlugIn *self) {
  ImportHost *h = reinterpret_cast<ProgressRecord *>(self)->host;
  return (g_interrupted != 0 || h->stats_.outOfMemory) ? 1 : 0;
}

void ImportHost::OnShow(TMessagePlugIn *self, const char *text) {
  ImportHost *h = reinterpret_cast<MessageSink *>(self)->host;
  h->ClearBar();
  // Engine texts may end in a newline of their own: print one line.
  std::string line = text != nullptr ? text : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::fprintf(stderr, "dgnhost: plug-in: %s\n", line.c_str());
}
