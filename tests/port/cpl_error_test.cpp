// The reporting path: last-error record, trace selection and the lines the
// stream handler writes.  Anything that depends on the log stream (chosen
// once per process) runs in a death-test child, a fresh process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cpl_conv.h"
#include "port_test_util.h"

using porttest::CaptureReports;
using porttest::ReadFile;
using porttest::ScopedEnv;
using porttest::ScratchPath;
using testing::ExitedWithCode;

namespace {

// Traces and error echoes must not depend on the environment the tests run in.
class ReportTest : public testing::Test {
 protected:
  ScopedEnv debug_{"CPL_DEBUG", nullptr};
  ScopedEnv stamp_{"CPL_TIMESTAMP", nullptr};
  ScopedEnv echo_{"CPL_LOG_ERRORS", nullptr};
  CaptureReports capture_;
};

}  // namespace

TEST(LastErrorDeathTest, EmptyBeforeTheFirstReport) {
  EXPECT_EXIT(
      {
        const bool fresh = CPLLastErrorClass() == CPLClassNone && CPLLastErrorNum() == CPLNumNone &&
                           CPLLastErrorText()[0] == '\0';
        std::exit(fresh ? 0 : 1);
      },
      ExitedWithCode(0), "");
}

TEST_F(ReportTest, LastErrorSurvivesLaterSuccessfulCalls) {
  CPLError(CPLClassFailure, CPLNumOpenFailed, "Unable to open `%s' for read access.\n", "a.dgn");
  CPLSysFree(CPLMalloc(64));
  CPLTrace("CPLError", "not selected");
  EXPECT_EQ(CPLLastErrorClass(), CPLClassFailure);
  EXPECT_EQ(CPLLastErrorNum(), CPLNumOpenFailed);
  EXPECT_STREQ(CPLLastErrorText(), "Unable to open `a.dgn' for read access.\n");
  ASSERT_EQ(capture_.reports().size(), 1u);
  EXPECT_EQ(capture_.reports()[0].errClass, CPLClassFailure);
  EXPECT_EQ(capture_.reports()[0].errNum, CPLNumOpenFailed);
}

TEST_F(ReportTest, LongTextsAreCutTo1999Characters) {
  const std::string text(3000, 'x');
  CPLError(CPLClassWarning, CPLNumGeneral, "%s", text.c_str());
  EXPECT_EQ(std::string(CPLLastErrorText()), text.substr(0, 1999));
  ASSERT_EQ(capture_.reports().size(), 1u);
  EXPECT_EQ(capture_.reports()[0].text.size(), 1999u);
}

TEST_F(ReportTest, LastErrorTextCanBeQuotedInTheNextReport) {
  CPLError(CPLClassFailure, CPLNumGeneral, "first");
  CPLError(CPLClassFailure, CPLNumGeneral, "second after %s", CPLLastErrorText());
  EXPECT_STREQ(CPLLastErrorText(), "second after first");
}

TEST_F(ReportTest, HandlerCanBeReplacedAndSilenced) {
  CPLErrorHandlerFn capturing = CPLSetErrorHandler(nullptr);
  CPLError(CPLClassFailure, CPLNumGeneral, "unheard");
  EXPECT_EQ(CPLSetErrorHandler(capturing), nullptr);
  EXPECT_STREQ(CPLLastErrorText(), "unheard");  // recorded all the same
  EXPECT_TRUE(capture_.reports().empty());
}

TEST_F(ReportTest, DebugValueSelectsCategories) {
  struct Case {
    const char *debug;  // null: unset
    bool selected;
  };
  const Case cases[] = {
      {nullptr, false},   {"ON", true},           {"on", true},      {"", true},     {"OFF", false},
      {"cplerror", true}, {"dgn,CPLERROR", true}, {"CPLErr", false}, {"ONE", false},
  };
  CPLError(CPLClassFailure, CPLNumGeneral, "before");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.debug == nullptr ? "<unset>" : c.debug);
    ScopedEnv debug("CPL_DEBUG", c.debug);
    CaptureReports capture;
    CPLTrace("CPLError", "value %d", 7);
    if (!c.selected) {
      EXPECT_TRUE(capture.reports().empty());
      continue;
    }
    ASSERT_EQ(capture.reports().size(), 1u);
    EXPECT_EQ(capture.reports()[0].errClass, CPLClassDebug);
    EXPECT_EQ(capture.reports()[0].errNum, CPLNumNone);
    EXPECT_EQ(capture.reports()[0].text, "CPLError: value 7");
  }
  EXPECT_STREQ(CPLLastErrorText(), "before");  // traces leave the record alone
  EXPECT_EQ(CPLLastErrorClass(), CPLClassFailure);
}

TEST_F(ReportTest, TimestampPrecedesTheCategory) {
  ScopedEnv debug("CPL_DEBUG", "ON");
  ScopedEnv stamp("CPL_TIMESTAMP", "");
  CPLTrace("dgn", "hello");
  ASSERT_EQ(capture_.reports().size(), 1u);
  const std::string &line = capture_.reports()[0].text;
  // ctime()'s text is 24 characters before its newline, which is dropped.
  ASSERT_EQ(line.size(), 24u + std::string(": dgn: hello").size()) << line;
  EXPECT_EQ(line.substr(24), ": dgn: hello");
  EXPECT_EQ(line.find('\n'), std::string::npos);
}

TEST_F(ReportTest, TraceLinesAreCutTo24999Characters) {
  ScopedEnv debug("CPL_DEBUG", "ON");
  const std::string text(30000, 'y');
  CPLTrace("dgn", "%s", text.c_str());
  ASSERT_EQ(capture_.reports().size(), 1u);
  EXPECT_EQ(capture_.reports()[0].text, "dgn: " + text.substr(0, 24994));
}

TEST_F(ReportTest, ErrorEchoNeedsTheDebugCategoryAndComesFirst) {
  ScopedEnv echo("CPL_LOG_ERRORS", "1");
  CPLError(CPLClassFailure, CPLNumGeneral, "boom %d", 1);
  ASSERT_EQ(capture_.reports().size(), 1u);
  EXPECT_EQ(capture_.reports()[0].errClass, CPLClassFailure);

  ScopedEnv debug("CPL_DEBUG", "cplerror");
  CPLError(CPLClassWarning, CPLNumGeneral, "boom %d", 2);
  ASSERT_EQ(capture_.reports().size(), 3u);
  EXPECT_EQ(capture_.reports()[1].errClass, CPLClassDebug);
  EXPECT_EQ(capture_.reports()[1].text, "CPLError: boom 2");
  EXPECT_EQ(capture_.reports()[2].errClass, CPLClassWarning);
  EXPECT_EQ(capture_.reports()[2].text, "boom 2");
}

// The exact lines of the stream handler, in a CPL_LOG file that is truncated
// when opened and kept for the rest of the process.
TEST(StreamHandlerDeathTest, WritesOneFlushedLinePerReportToTheLog) {
  const std::string log = ScratchPath("lines.log");
  const std::string later = ScratchPath("later.log");
  std::FILE *stale = std::fopen(log.c_str(), "w");  // "wt" must truncate it
  ASSERT_NE(stale, nullptr);
  std::fputs("stale\n", stale);
  std::fclose(stale);
  EXPECT_EXIT(
      {
        setenv("CPL_LOG", log.c_str(), 1);
        setenv("CPL_DEBUG", "dgn", 1);
        unsetenv("CPL_TIMESTAMP");
        unsetenv("CPL_LOG_ERRORS");
        CPLError(CPLClassWarning, CPLNumGeneral, "abc");
        setenv("CPL_LOG", later.c_str(), 1);  // read once: no effect any more
        CPLError(CPLClassFailure, CPLNumOpenFailed, "Unable to open `%s' for read access.\n", "x");
        CPLError(CPLClassNone, CPLNumNone, "none");
        CPLTrace("DGN", "a trace");
        CPLTrace("other", "not selected");
        std::exit(0);
      },
      ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(log),
            "Warning 1: abc\n"
            "ERROR 4: Unable to open `x' for read access.\n\n"
            "ERROR 0: none\n"
            "DGN: a trace\n");
  EXPECT_EQ(ReadFile(later), "<missing>");
  std::remove(log.c_str());
}

TEST(StreamHandlerDeathTest, EchoWithTimestampPrecedesTheErrorLine) {
  const std::string log = ScratchPath("echo.log");
  EXPECT_EXIT(
      {
        setenv("CPL_LOG", log.c_str(), 1);
        setenv("CPL_DEBUG", "CPLError", 1);
        setenv("CPL_TIMESTAMP", "yes", 1);
        setenv("CPL_LOG_ERRORS", "yes", 1);
        CPLError(CPLClassFailure, CPLNumGeneral, "boom");
        std::exit(0);
      },
      ExitedWithCode(0), "");
  const std::string content = ReadFile(log);
  ASSERT_EQ(content.size(), 24u + std::string(": CPLError: boom\nERROR 1: boom\n").size())
      << content;
  EXPECT_EQ(content.substr(24), ": CPLError: boom\nERROR 1: boom\n");
  std::remove(log.c_str());
}

TEST(StreamHandlerDeathTest, UnopenableLogFallsBackToStandardError) {
  const std::string log = ScratchPath("no/such/folder/x.log");
  EXPECT_EXIT(
      {
        setenv("CPL_LOG", log.c_str(), 1);
        CPLError(CPLClassWarning, CPLNumGeneral, "abc");
        std::exit(0);
      },
      ExitedWithCode(0), "Warning 1: abc\n");
  EXPECT_EQ(ReadFile(log), "<missing>");
}

TEST(StreamHandlerDeathTest, FatalReportsAbortAfterTheirLine) {
  const std::string log = ScratchPath("fatal.log");
  EXPECT_DEATH(
      {
        setenv("CPL_LOG", log.c_str(), 1);
        CPLError(CPLClassFatal, CPLNumGeneral, "sizeof(GInt32) == %d ... yow!\n", 8);
      },
      "");
  EXPECT_EQ(ReadFile(log), "ERROR 1: sizeof(GInt32) == 8 ... yow!\n\n");
  std::remove(log.c_str());

  // Without CPL_LOG the line reaches standard error, and a silenced
  // handler still ends the process.
  EXPECT_DEATH(
      {
        unsetenv("CPL_LOG");
        CPLError(CPLClassFatal, CPLNumNoMemory, "CPLMalloc(): Out of memory allocating %d bytes.\n",
                 100);
      },
      "ERROR 2: CPLMalloc\\(\\): Out of memory allocating 100 bytes\\.\n\n");
  EXPECT_DEATH(
      {
        CPLSetErrorHandler(nullptr);
        CPLError(CPLClassFatal, CPLNumGeneral, "quiet");
      },
      "");
}
