// Helpers shared by the error-layer tests: environment changes that undo
// themselves, a handler that records reports, and a scratch folder that
// death-test children share with their parent.
#ifndef DGN_TESTS_PORT_TEST_UTIL_H
#define DGN_TESTS_PORT_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cpl_error.h"

namespace porttest {

// Sets (value non-null) or removes an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value) : name_(name) {
    const char *old = std::getenv(name);
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(hadOld_ ? old_.c_str() : nullptr); }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  void Set(const char *value) {
    if (value != nullptr) {
      setenv(name_.c_str(), value, 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  std::string name_;
  std::string old_;
  bool hadOld_ = false;
};

// One report as a handler saw it.
struct Report {
  CPLErrClass errClass;
  CPLErrNum errNum;
  std::string text;
};

// Installs a handler that records every report for the lifetime of the
// object, and puts the previous handler back afterwards.
class CaptureReports {
 public:
  CaptureReports() : previous_(CPLSetErrorHandler(&CaptureReports::Handle)) { Seen().clear(); }
  ~CaptureReports() { CPLSetErrorHandler(previous_); }
  CaptureReports(const CaptureReports &) = delete;
  CaptureReports &operator=(const CaptureReports &) = delete;
  const std::vector<Report> &reports() const { return Seen(); }

 private:
  static std::vector<Report> &Seen() {
    static std::vector<Report> seen;
    return seen;
  }
  static void Handle(CPLErrClass c, CPLErrNum n, const char *text) {
    Seen().push_back({c, n, text});
  }
  CPLErrorHandlerFn previous_;
};

// Gives a path in the scratch folder of this test run.  The folder's name
// travels in the environment, so a death-test child (a fresh process running
// the same test) computes the same path as its parent.
std::string ScratchPath(const std::string &name);

// Gives the whole content of a file, or "<missing>" when it cannot be read.
inline std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace porttest

#endif  // DGN_TESTS_PORT_TEST_UTIL_H
