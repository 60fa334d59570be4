#include "plugin_host.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace plugintest {

namespace {

struct Loaded {
  std::unique_ptr<PluginLibrary> library;
  Plugin plugin;
  Loaded() {
    const char *dir = std::getenv("DGN_BIN_DIR");
    if (dir == nullptr) {
      plugin.error = "DGN_BIN_DIR is not set";
      return;
    }
    library.reset(new PluginLibrary(std::string(dir) + "/" + kPluginFileName));
    if (!library->error().empty()) {
      plugin.error = library->error();
    } else if (!library->missing().empty()) {
      plugin.error = "missing export " + library->missing().front();
    }
    static_cast<PluginApi &>(plugin) = library->api();
  }
};

Loaded &TheLibrary() {
  static Loaded loaded;
  return loaded;
}

std::string Fmt(const char *format, double a, double b, double c) {
  char buf[128];
  std::snprintf(buf, sizeof buf, format, a, b, c);
  return buf;
}

}  // namespace

void *Plugin::Find(const char *name) const {
  const Loaded &loaded = TheLibrary();
  return loaded.library != nullptr ? loaded.library->Find(name) : nullptr;
}

const Plugin &Lib() { return TheLibrary().plugin; }

// The callbacks, reaching their Host through the record they are given.
struct HostFns {
  static Host &Of(TVectorCallbacksPlugIn *t) { return *reinterpret_cast<HostCallbacks *>(t)->host; }
  static Host &Of(TProgressPlugIn *p) { return *reinterpret_cast<HostProgress *>(p)->host; }
  static Host &Of(TMessagePlugIn *s) { return *reinterpret_cast<HostSink *>(s)->host; }

  static int32_t AddLayer(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *o) {
    Host &h = Of(self);
    const std::string name = o->name != nullptr ? o->name : "(null)";
    h.layers.push_back(*o);
    h.layer_names.push_back(name);
    h.log.push_back("AddLayer(level=" + std::to_string(o->level) + " name=" + name + ")");
    return 0;
  }
  static int32_t AddObject(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *o) {
    Host &h = Of(self);
    const int32_t handle = 100 + static_cast<int32_t>(h.objects.size());
    h.objects.push_back(*o);
    h.object_names.push_back(o->name != nullptr ? o->name : "(null)");
    if (o->textInfo != nullptr) h.texts.push_back(*o->textInfo);
    char color[16];
    std::snprintf(color, sizeof color, "%06x", static_cast<unsigned>(o->color) & 0xFFFFFFu);
    h.log.push_back("AddObject(kind=" + std::to_string(o->objectKind) +
                    " level=" + std::to_string(o->level) + " id=" + std::to_string(o->elementId) +
                    " color=" + (o->color < 0 ? std::string("-1") : std::string(color)) +
                    " n=" + std::to_string(o->numPoints) + ") -> " + std::to_string(handle));
    return handle;
  }
  static int32_t AddPoint(TVectorCallbacksPlugIn *self, int32_t handle, TVectorPointPlugIn *p,
                          int32_t flag) {
    Host &h = Of(self);
    h.points.push_back(*p);
    h.log.push_back("AddPoint(" + std::to_string(handle) + ", " +
                    Fmt("%g %g %g", p->x, p->y, p->z) + ", " + std::to_string(flag) + ")");
    return 0;
  }
  static void SetTotal(TProgressPlugIn *self, int32_t total) {
    Of(self).log.push_back("SetTotal(" + std::to_string(total) + ")");
  }
  static void Step(TProgressPlugIn *self, int32_t n) {
    Host &h = Of(self);
    h.steps += n;
    h.log.push_back("Step(" + std::to_string(n) + ")");
  }
  static TPlugInBool IsCancelled(TProgressPlugIn *self) {
    Host &h = Of(self);
    const bool stop = h.cancel_after_steps >= 0 && h.steps >= h.cancel_after_steps;
    h.log.push_back(stop ? "IsCancelled=1" : "IsCancelled=0");
    return stop ? 1 : 0;
  }
  static void Show(TMessagePlugIn *self, const char *text) {
    Host &h = Of(self);
    h.messages.push_back(text != nullptr ? text : "(null)");
    h.log.push_back("Show(" + h.messages.back() + ")");
  }
};

namespace {
const TProgressOpsPlugIn kOps = {HostFns::SetTotal, HostFns::Step, nullptr, HostFns::IsCancelled};
}  // namespace

Host::Host() : callbacks_(), progress_(), sink_() {
  callbacks_.table.AddLayer = HostFns::AddLayer;
  callbacks_.table.AddObject = HostFns::AddObject;
  callbacks_.table.AddPoint = HostFns::AddPoint;
  callbacks_.host = this;
  progress_.object.ops = &kOps;
  progress_.host = this;
  sink_.object.Show = HostFns::Show;
  sink_.host = this;
}

TVectorMapPlugIn MapRecord(int read, int write, int create) {
  TVectorMapPlugIn map{};
  static char directory[] = ".";
  map.directory = directory;
  map.readFlag = read;
  map.writeFlag = write;
  map.createFlag = create;
  map.openState = 7;  // anything: open must reset it
  return map;
}

TVectorPointPlugIn PointRecord(double x, double y, double z) {
  TVectorPointPlugIn p{};
  p.size = QPLUGIN_POINT_SIZE;
  p.x = x;
  p.y = y;
  p.z = z;
  p.hostField28 = -1.0;
  return p;
}

dgnkit::Bytes DesignFile(const std::vector<dgnkit::Bytes> &elements) {
  dgnkit::TcbSpec tcb;
  tcb.subunits_per_master = 1;
  tcb.uor_per_subunit = 1;
  std::vector<dgnkit::Bytes> parts;
  parts.push_back(dgnkit::MakeTcb(tcb));
  for (const dgnkit::Bytes &e : elements) parts.push_back(e);
  parts.push_back(dgnkit::EndOfDesign());
  return dgnkit::Concat(parts);
}

dgnkit::Bytes OnLevel(dgnkit::Bytes element, int level) {
  element[0] = static_cast<uint8_t>((element[0] & 0xC0) | (level & 0x3F));
  return element;
}

dgnkit::Bytes AsComponent(dgnkit::Bytes element) {
  element[0] |= 0x80;
  return element;
}

dgnkit::Bytes AsDeleted(dgnkit::Bytes element) {
  element[1] |= 0x80;
  return element;
}

}  // namespace plugintest
