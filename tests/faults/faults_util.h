// Helpers of the fault tests: a scratch folder, an import through the
// plug-in's exports summarised for comparison, a walker of the elements of a
// design file, and a count of the process's open file descriptors.
#ifndef DGN_TESTS_FAULTS_FAULTS_UTIL_H
#define DGN_TESTS_FAULTS_FAULTS_UTIL_H

#include <cstddef>
#include <string>
#include <vector>

#include "dgn_elements.h"
#include "plugin_host.h"

namespace faultstest {

using dgnkit::Bytes;

// A fresh folder under TMPDIR (or /tmp), removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::string &path() const { return path_; }
  std::string Path(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// What one import through the exports gave.
struct Import {
  bool opened = false;
  int read = -1;                      // result of the read entry point
  std::vector<std::string> drawn;     // AddObject and AddPoint lines, in order
  std::vector<std::string> layers;    // AddLayer lines, in order
  std::vector<std::string> messages;  // texts sent to the sink
  int total = -1;                     // SetTotal's argument
  int steps = 0;
  int objects = 0;
  int points = 0;
  int announced_points = 0;  // sum of numPoints of the polylines and texts
  bool closed = false;       // close emptied the handle
  long long cut_at = -1;     // where the file's element stream stops at an
                             // element that does not fit in it, or -1
};

// Writes `file` to `path`, opens it for reading, reads it and closes it.
Import ImportFile(const Bytes &file, const std::string &path);

// Checks what every import must give: a refused open has one message and no
// handle; an opened file reads to its end (true, and no message but the one
// warning that names `cut_at` when the stream stops there), with one Step
// per element counted by SetTotal, every announced point sent, each layer
// once, and close empties the handle.  Gives a description of the first
// breach, or the empty text.
std::string Breach(const Import &r);

// Byte spans of the elements of a design file up to its end-of-design marker
// or to the first element the file cuts short.
struct Span {
  size_t offset;
  size_t size;
};
std::vector<Span> Elements(const Bytes &file);

// Tells whether an end-of-design marker stands right after the last element.
bool EndsWithMarker(const Bytes &file);

// Number of the process's open file descriptors.
int OpenDescriptors();

// Bytes of the sample map that dgnsample writes from tools/sample_map.recipe
// at build time (empty when it is missing).
Bytes SampleMap();

}  // namespace faultstest

#endif  // DGN_TESTS_FAULTS_FAULTS_UTIL_H
