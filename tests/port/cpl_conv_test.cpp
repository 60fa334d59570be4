// Checked allocation, option lookup and the file-write test hook.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cpl_conv.h"
#include "port_test_util.h"

using porttest::CaptureReports;
using porttest::ReadFile;
using porttest::ScopedEnv;
using porttest::ScratchPath;

TEST(CheckedAllocation, EmptyRequestsGiveNullWithoutAReport) {
  CaptureReports capture;
  EXPECT_EQ(CPLMalloc(0), nullptr);
  EXPECT_EQ(CPLCalloc(0, 8), nullptr);
  EXPECT_EQ(CPLCalloc(8, 0), nullptr);
  EXPECT_EQ(CPLCalloc(0, -8), nullptr);
  void *block = CPLMalloc(32);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(CPLRealloc(block, 0), nullptr);  // released: ASan flags a leak otherwise
  EXPECT_EQ(CPLRealloc(nullptr, 0), nullptr);
  EXPECT_TRUE(capture.reports().empty());
}

TEST(CheckedAllocation, BlocksAreUsableAndKeepTheirContent) {
  unsigned char *zeros = static_cast<unsigned char *>(CPLCalloc(7, 9));
  ASSERT_NE(zeros, nullptr);
  for (int i = 0; i < 63; ++i) EXPECT_EQ(zeros[i], 0) << i;
  CPLSysFree(zeros);

  char *block = static_cast<char *>(CPLRealloc(nullptr, 16));
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "0123456789abcde", 16);
  block = static_cast<char *>(CPLRealloc(block, 4000));
  ASSERT_NE(block, nullptr);
  EXPECT_STREQ(block, "0123456789abcde");
  CPLSysFree(block);
  CPLSysFree(nullptr);
}

TEST(CheckedAllocation, StrdupCopiesAndTakesNullAsEmpty) {
  char *empty = CPLStrdup(nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  const char source[] = "level 7";
  char *copy = CPLStrdup(source);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, source);
  EXPECT_STREQ(copy, source);
  CPLSysFree(empty);
  CPLSysFree(copy);
}

// Requests that cannot be honoured end the process after a flushed report;
// the log file shows exactly what the host's log would.  A count * size
// product beyond int must not wrap into a small block.
TEST(CheckedAllocationDeathTest, ImpossibleRequestsAreFatalOutOfMemoryReports) {
  struct Case {
    const char *label;
    void (*request)();
    const char *line;
  };
  const Case cases[] = {
      {"malloc negative", [] { CPLMalloc(-100); },
       "ERROR 2: CPLMalloc(): Out of memory allocating -100 bytes.\n\n"},
      {"calloc wraps to 0", [] { CPLCalloc(65536, 65536); },
       "ERROR 2: CPLCalloc(): Out of memory allocating 4294967296 bytes.\n\n"},
      {"calloc wraps small", [] { CPLCalloc(65537, 65537); },
       "ERROR 2: CPLCalloc(): Out of memory allocating 4295098369 bytes.\n\n"},
      {"calloc beyond int", [] { CPLCalloc(INT_MAX, 2); },
       "ERROR 2: CPLCalloc(): Out of memory allocating 4294967294 bytes.\n\n"},
      {"calloc negative", [] { CPLCalloc(-3, 5); },
       "ERROR 2: CPLCalloc(): Out of memory allocating -15 bytes.\n\n"},
      {"realloc negative", [] { CPLRealloc(nullptr, -1); },
       "ERROR 2: CPLRealloc(): Out of memory allocating -1 bytes.\n\n"},
  };
  int index = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    const std::string log = ScratchPath("oom" + std::to_string(index++) + ".log");
    EXPECT_DEATH(
        {
          setenv("CPL_LOG", log.c_str(), 1);
          c.request();
        },
        "");
    EXPECT_EQ(ReadFile(log), c.line);
    std::remove(log.c_str());
  }
}

TEST(Options, FindOptionValueMatchesWholeKeysIgnoringCase) {
  const char *const list[] = {
      "CPL_LOG_ERRORS=yes", "cpl_log:out.txt", "EMPTY=", "A=1", "a=2", "NOSEP", nullptr};
  struct Case {
    const char *key;
    const char *value;  // null: no match
  };
  const Case cases[] = {
      {"CPL_LOG", "out.txt"},  // the CPL_LOG_ERRORS entry must not answer
      {"cpl_log_errors", "yes"},
      {"EMPTY", ""},
      {"A", "1"},
      {"CPL", nullptr},
      {"NOSEP", nullptr},
      {"MISSING", nullptr},
      {"CPL_LOG_ERRORSX", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.key);
    const char *found = CPLFindOptionValue(list, c.key);
    if (c.value == nullptr) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_STREQ(found, c.value);
    }
  }
  EXPECT_EQ(CPLFindOptionValue(nullptr, "A"), nullptr);
  EXPECT_EQ(CPLFindOptionValue(list, nullptr), nullptr);
}

TEST(Options, GetOptionFallsThroughToEnvironmentThenDefault) {
  const char *name = "DGN_PORT_TEST_OPTION";
  {
    ScopedEnv unset(name, nullptr);
    EXPECT_STREQ(CPLGetOption(name, "fallback"), "fallback");
    EXPECT_EQ(CPLGetOption(name, nullptr), nullptr);
  }
  {
    ScopedEnv empty(name, "");
    ASSERT_NE(CPLGetOption(name, "fallback"), nullptr);
    EXPECT_STREQ(CPLGetOption(name, "fallback"), "");  // empty counts as set
  }
  ScopedEnv set(name, "value");
  EXPECT_STREQ(CPLGetOption(name, nullptr), "value");
}

TEST(FileWrappers, WriteHookComesUpShortAtItsBudget) {
  const std::string path = ScratchPath("budget.bin");
  FILE *out = CPLFOpen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  const char data[] = "0123456789abcdef";

  CPLSetWriteFailAfter(10);
  EXPECT_EQ(CPLFWrite(data, 4, 2, out), 2u);  // 8 bytes, 2 left
  EXPECT_EQ(CPLFWrite(data, 4, 2, out), 0u);  // 2 bytes reach the file, no whole item
  EXPECT_EQ(CPLFWrite(data, 1, 1, out), 0u);  // budget spent
  EXPECT_EQ(CPLFWrite(data, 0, 5, out), 0u);
  CPLSetWriteFailAfter(-1);
  EXPECT_EQ(CPLFWrite(data, 1, 3, out), 3u);  // hook off again
  ASSERT_EQ(CPLFClose(out), 0);
  EXPECT_EQ(ReadFile(path), "0123456701012");

  std::remove(path.c_str());
  EXPECT_EQ(CPLFOpen(path.c_str(), "rb"), nullptr);
}
