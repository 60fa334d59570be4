// Helpers shared by the engine tests: owned handles and elements, a capture
// of error reports, and opening a file made of raw bytes.
#ifndef DGN_TESTS_DGN_DGN_TEST_UTIL_H
#define DGN_TESTS_DGN_DGN_TEST_UTIL_H

#include <memory>
#include <string>
#include <vector>

#include "cpl_error.h"
#include "dgn_elements.h"
#include "dgnmodel.h"

namespace dgnkit {

struct HandleCloser {
  void operator()(DGNFile *h) const { DGNClose(h); }
};
using HandlePtr = std::unique_ptr<DGNFile, HandleCloser>;

// An element owned by the test, released with DGNFreeElement.
struct ElementDeleter {
  void operator()(DGNElement *e) const { DGNFreeElement(nullptr, e); }
};
using ElementPtr = std::unique_ptr<DGNElement, ElementDeleter>;

// One report seen by ErrorCapture.
struct Report {
  CPLErrClass cls;
  CPLErrNum num;
  std::string text;
};

// Collects every report made while it lives (and keeps them off stderr).
class ErrorCapture {
 public:
  ErrorCapture();
  ~ErrorCapture();
  ErrorCapture(const ErrorCapture &) = delete;
  ErrorCapture &operator=(const ErrorCapture &) = delete;
  const std::vector<Report> &reports() const;
  size_t count(CPLErrClass cls) const;
  void clear();

 private:
  CPLErrorHandlerFn previous_;
};

// A temporary file of raw bytes with a handle open on it.
struct OpenedFile {
  std::unique_ptr<TempFile> file;
  HandlePtr handle;
  DGNFile *get() const { return handle.get(); }
};
OpenedFile OpenBytes(const Bytes &bytes, bool update = false);

// Reads and returns the next element (null at the end).
ElementPtr Next(DGNFile *handle);

// The file's elements decoded one by one from the start.
std::vector<ElementPtr> ReadAll(DGNFile *handle);

template <typename T>
const T *As(const ElementPtr &e) {
  return static_cast<const T *>(e.get());
}

}  // namespace dgnkit

#endif  // DGN_TESTS_DGN_DGN_TEST_UTIL_H
