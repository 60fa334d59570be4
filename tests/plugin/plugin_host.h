// A test host for the built plug-in library: loads Dgn_plugin from
// DGN_BIN_DIR with the platform loader, resolves the ten exports by name, and
// offers callback tables, a progress object and a message sink laid out as
// the host lays them out, which write every call into a transcript.
#ifndef DGN_TESTS_PLUGIN_PLUGIN_HOST_H
#define DGN_TESTS_PLUGIN_PLUGIN_HOST_H

#include <cstdint>
#include <string>
#include <vector>

#include "dgn_elements.h"
#include "plugin_loader.h"
#include "plugin_records.h"

namespace plugintest {

// The plug-in's exports, as the shared loader resolves them.
struct Plugin : PluginApi {
  std::string error;  // why loading failed

  // Looks a name up in the library's export table (null when not exported).
  void *Find(const char *name) const;
};

// The library, loaded once per test program (null-filled with `error` set
// when it cannot be loaded).
const Plugin &Lib();

class Host;

struct HostCallbacks {
  TVectorCallbacksPlugIn table;  // first: the plug-in passes &table back
  Host *host;
};
struct HostProgress {
  TProgressPlugIn object;
  Host *host;
};
struct HostSink {
  TMessagePlugIn object;
  Host *host;
};

// One recording host.  Every callback appends one line to `log`:
//   SetTotal(N)  Step(N)  IsCancelled=B  Show(TEXT)
//   AddObject(kind=K level=L id=I color=C n=N) -> H   (H = 100, 101, ...)
//   AddPoint(H, X Y Z, FLAG)   AddLayer(level=L name=NAME)
// and keeps a copy of each record it was given.
class Host {
 public:
  Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  TVectorCallbacksPlugIn *callbacks() { return &callbacks_.table; }
  TProgressPlugIn *progress() { return &progress_.object; }
  TMessagePlugIn *sink() { return &sink_.object; }

  // IsCancelled answers true from the call after this many Steps (-1: never).
  int cancel_after_steps = -1;

  std::vector<std::string> log;
  std::vector<std::string> messages;
  std::vector<TVectorObjectPlugIn> objects;  // name/textInfo pointers are stale
  std::vector<std::string> object_names;     // "(null)" for a null name
  std::vector<TVectorTextPlugIn> texts;      // one per object with textInfo
  std::vector<TVectorPointPlugIn> points;
  std::vector<TVectorObjectPlugIn> layers;
  std::vector<std::string> layer_names;
  int steps = 0;

 private:
  friend struct HostFns;
  HostCallbacks callbacks_;
  HostProgress progress_;
  HostSink sink_;
};

// A field of a packed host record, read by value: the records are packed, so
// binding a reference to one of their fields (as EXPECT_EQ does) may be a
// misaligned access.
template <typename T>
T Val(T value) {
  return value;
}

// A map record as the host fills it before open.
TVectorMapPlugIn MapRecord(int read, int write, int create);

// A point record as the host fills it for an add call.
TVectorPointPlugIn PointRecord(double x, double y, double z = 0);

// A 2D design file: a TCB with one design unit per master unit, the elements,
// and the end-of-design marker.
dgnkit::Bytes DesignFile(const std::vector<dgnkit::Bytes> &elements);

// Element header edits: level (bits 0-5 of byte 0), complex bit, deleted bit.
dgnkit::Bytes OnLevel(dgnkit::Bytes element, int level);
dgnkit::Bytes AsComponent(dgnkit::Bytes element);
dgnkit::Bytes AsDeleted(dgnkit::Bytes element);

}  // namespace plugintest

#endif  // DGN_TESTS_PLUGIN_PLUGIN_HOST_H
