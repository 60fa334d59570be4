#include "dgn_test_util.h"

namespace dgnkit {

namespace {
std::vector<Report> g_reports;

void Collect(CPLErrClass cls, CPLErrNum num, const char *text) {
  g_reports.push_back(Report{cls, num, text != nullptr ? text : ""});
}
}  // namespace

ErrorCapture::ErrorCapture() : previous_(CPLSetErrorHandler(Collect)) { g_reports.clear(); }

ErrorCapture::~ErrorCapture() {
  CPLSetErrorHandler(previous_);
  g_reports.clear();
}

const std::vector<Report> &ErrorCapture::reports() const { return g_reports; }

size_t ErrorCapture::count(CPLErrClass cls) const {
  size_t n = 0;
  for (const Report &r : g_reports) n += r.cls == cls ? 1 : 0;
  return n;
}

void ErrorCapture::clear() { g_reports.clear(); }

OpenedFile OpenBytes(const Bytes &bytes, bool update) {
  OpenedFile opened;
  opened.file = std::make_unique<TempFile>(bytes);
  opened.handle.reset(DGNOpen(opened.file->c_str(), update));
  return opened;
}

ElementPtr Next(DGNFile *handle) { return ElementPtr(DGNReadElement(handle)); }

std::vector<ElementPtr> ReadAll(DGNFile *handle) {
  std::vector<ElementPtr> out;
  DGNRewind(handle);
  while (ElementPtr e = Next(handle)) out.push_back(std::move(e));
  return out;
}

}  // namespace dgnkit
