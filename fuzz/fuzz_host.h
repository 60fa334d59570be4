// Shared parts of the DGN fuzz targets: a scratch folder for the files they
// write, and a checking host that records what an import delivers and aborts
// (so that libFuzzer keeps the input) when a callback breaks the host
// interface: a record without its size, a point for the wrong object, more or
// fewer points than announced, a layer before the last object, a layer twice.
#ifndef DGN_FUZZ_FUZZ_HOST_H
#define DGN_FUZZ_FUZZ_HOST_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin_records.h"

namespace fuzzhost {

// Reports a broken property with the fuzz target's name and aborts.
[[noreturn]] void Fail(const char *what, const std::string &detail = std::string());

// A private folder (under TMPDIR, else /dev/shm, else /tmp) made once per
// process and removed with everything in it when the process exits.
const std::string &ScratchDir();

// Writes bytes to path (replacing it); aborts when it cannot.
void WriteBytes(const std::string &path, const uint8_t *data, size_t size);

// One object as the host received it.
struct Object {
  TVectorObjectPlugIn record;  // name and textInfo point nowhere after the call
  std::string name;            // the text of a text object
  TVectorTextPlugIn text{};    // a text object's text record
  std::vector<TVectorPointPlugIn> points;
  int32_t handle = 0;
};

// A host that checks every callback against the interface and keeps what it
// was given.
class CheckingHost {
 public:
  CheckingHost();
  CheckingHost(const CheckingHost &) = delete;
  CheckingHost &operator=(const CheckingHost &) = delete;

  TVectorCallbacksPlugIn *callbacks() { return &callbacks_.table; }
  TProgressPlugIn *progress() { return &progress_.object; }
  TMessagePlugIn *sink() { return &sink_.object; }

  // Checks that the last object got all its points; call after a read.
  void Finish();

  // IsCancelled answers true once this many Steps were made (-1: never).
  int cancelAfterSteps = -1;
  // The map was opened with the whole map: polylines may carry a style.
  bool wholeMap = false;

  std::vector<Object> objects;
  std::vector<TVectorObjectPlugIn> layers;
  std::vector<std::string> messages;
  int totalCalls = 0;
  int32_t total = -1;
  int steps = 0;
  bool cancelled = false;

 private:
  struct Callbacks {
    TVectorCallbacksPlugIn table;
    CheckingHost *host;
  };
  struct Progress {
    TProgressPlugIn object;
    CheckingHost *host;
  };
  struct Sink {
    TMessagePlugIn object;
    CheckingHost *host;
  };
  friend struct HostFns;
  Callbacks callbacks_;
  Progress progress_;
  Sink sink_;
  bool layersStarted_ = false;
};

// A map record as the host fills it before open.
TVectorMapPlugIn MapRecord(int read, int write, int create, char *directory = nullptr);

}  // namespace fuzzhost

#endif
