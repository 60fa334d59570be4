// The scratch folder of the error-layer tests, made once per test run and
// removed by the process that made it.
#include "port_test_util.h"

#include <stdlib.h>

#include <filesystem>

namespace porttest {
namespace {

constexpr const char *kScratchVar = "DGN_PORT_TEST_SCRATCH";

class ScratchEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    // Death tests re-run this program for one test; each child must get a
    // fresh process for the log stream, and must run on all emulators.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (std::getenv(kScratchVar) != nullptr) return;  // a death-test child
    std::string pattern = testing::TempDir() + "dgn_port_XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    setenv(kScratchVar, pattern.c_str(), 1);
    owned_ = pattern;
  }
  void TearDown() override {
    if (owned_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(owned_, ignored);
    unsetenv(kScratchVar);
  }

 private:
  std::string owned_;
};

testing::Environment *const g_scratch = testing::AddGlobalTestEnvironment(new ScratchEnvironment);

}  // namespace

std::string ScratchPath(const std::string &name) {
  const char *dir = std::getenv(kScratchVar);
  return std::string(dir != nullptr ? dir : ".") + "/" + name;
}

}  // namespace porttest
