// Write failures through the plug-in's exports: an add call or a map creation
// that meets the file size limit (RLIMIT_FSIZE, in a forked child that
// ignores SIGXFSZ so that writes fail with EFBIG) or a full disk (/dev/full);
// opening a read-only file for update; creating a map in a folder that cannot
// be written.  Root passes every permission check, so the permission cases
// run in a child that has given up root (or directly for other users), and
// the folder cases also use paths no one can create (under a regular file).
// Every stream that DGNCreate opens is closed on each of its failure paths.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cpl_conv.h"
#include "cpl_error.h"
#include "dgnmodel.h"
#include "faults_util.h"

using namespace faultstest;

namespace {

const char kCreateFailed[] = "Error Creating DGN file. Is the seed.dat file ok?";
const char kOpening[] = "Error in DGN (QuarvelPlugIn_Open_Vector_Map) opening file ";
const char kWriteFailed[] = "Error in DGNWriteElement ";

const plugintest::Plugin &P() { return plugintest::Lib(); }

std::string Text(const Bytes &b) { return std::string(b.begin(), b.end()); }

// What a forked child reported: its own text (empty when all its checks
// held) and what it wrote to standard error (the error layer's lines).
struct ChildResult {
  bool exited = false;  // ended through _exit, not by a signal or crash
  int code = -1;
  std::string report;
  std::string stderr_text;
};

std::string ReadAll(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return out;
}

// Runs body in a forked child whose standard error goes back to the parent;
// body's text becomes the report.  The child leaves with _exit, so that
// neither the test framework nor the leak checker runs twice.
ChildResult InChild(const std::function<std::string()> &body) {
  ChildResult r;
  int report[2], err[2];
  if (pipe(report) != 0 || pipe(err) != 0) return r;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    close(err[0]);
    dup2(err[1], 2);
    close(err[1]);
    const std::string text = body();
    std::fflush(nullptr);
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(report[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(report[1]);
  close(err[1]);
  r.stderr_text = ReadAll(err[0]);
  r.report = ReadAll(report[0]);
  close(err[0]);
  close(report[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.exited = WIFEXITED(status);
  r.code = r.exited ? WEXITSTATUS(status) : -1;
  return r;
}

// Limits the size of every file this process writes to `bytes`; writes past
// it fail with EFBIG instead of killing the process.
bool LimitFileSize(rlim_t bytes) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {bytes, bytes};
  return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

// Gives up root for an unprivileged user, so that permissions hold.
bool DropRoot() { return setgid(65534) == 0 && setuid(65534) == 0 && geteuid() != 0; }

TVectorPointPlugIn Pt(double x, double y) { return plugintest::PointRecord(x, y); }

std::vector<TVectorPointPlugIn> Zigzag(int n, double shift) {
  std::vector<TVectorPointPlugIn> pts;
  for (int i = 0; i < n; ++i) pts.push_back(Pt(shift + i * 2.5, (i % 2) * 4.0));
  return pts;
}

TVectorObjectPlugIn Line(int level = 3) {
  TVectorObjectPlugIn o{};
  o.size = static_cast<int32_t>(sizeof o);
  o.color = o.color2 = 0x0000FF;
  o.level = level;
  o.width = 2.0f;
  o.style = -1;
  return o;
}

// A host folder with gps.ini naming a seed by its full path: a TCB with 1 cm
// design units, a colour table and one control element, which creation copies.
class WriteFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(P().error.empty()) << P().error;
    dgnkit::TcbSpec tcb;
    tcb.subunits_per_master = 100;
    tcb.uor_per_subunit = 1;
    tcb.master_units = "m ";
    tcb.sub_units = "cm";
    std::array<std::array<uint8_t, 3>, 256> colors{};
    for (int i = 0; i < 256; ++i) colors[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)};
    seed_ = dgnkit::Concat({dgnkit::MakeTcb(tcb), dgnkit::MakeColorTable(colors),
                            dgnkit::MakeGroupDataStart(), dgnkit::EndOfDesign()});
    ASSERT_TRUE(dgnkit::WriteFile(dir_.Path("seed.dgn"), seed_));
    ini_ = "; host settings\r\n[Mapa]\r\nDGN_Seed_File=" + dir_.Path("seed.dgn") +
           "\r\nZoom=3\r\n[Other]\r\nKey=value\r\n";
    WriteIni(ini_);
    directory_.assign(dir_.path().begin(), dir_.path().end());
    directory_.push_back('\0');
  }

  void WriteIni(const std::string &text) {
    ASSERT_TRUE(dgnkit::WriteFile(dir_.Path("gps.ini"), Bytes(text.begin(), text.end())));
  }
  std::string Ini() const { return Text(dgnkit::ReadFile(dir_.Path("gps.ini"))); }

  // Opens (creates) a map; its record keeps our host folder.
  bool Create(const std::string &path, TVectorMapPlugIn &map, plugintest::Host &host) {
    map = plugintest::MapRecord(0, 1, 1);
    map.directory = directory_.data();
    return P().Open(path.c_str(), &map, host.sink()) == 1;
  }

  // A map file holding the seed's copies and one polyline of 5 points.
  Bytes MakeMap(const std::string &path) {
    plugintest::Host host;
    TVectorMapPlugIn map;
    EXPECT_TRUE(Create(path, map, host));
    TVectorObjectPlugIn o = Line();
    std::vector<TVectorPointPlugIn> pts = Zigzag(5, 0);
    EXPECT_EQ(P().AddPolyline(&map, &o, 5, pts.data(), host.sink()), 1);
    P().Close(&map);
    EXPECT_TRUE(host.messages.empty());
    return dgnkit::ReadFile(path);
  }

  ScratchDir dir_;
  Bytes seed_;
  std::string ini_;
  std::vector<char> directory_;
};

// The elements of `after` begin with every element of `before`, byte for byte.
::testing::AssertionResult KeepsElements(const Bytes &before, const Bytes &after) {
  const std::vector<Span> a = Elements(before);
  const std::vector<Span> b = Elements(after);
  if (b.size() < a.size())
    return ::testing::AssertionFailure() << b.size() << " elements left of " << a.size();
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].offset != b[i].offset || a[i].size != b[i].size ||
        !std::equal(before.begin() + long(a[i].offset),
                    before.begin() + long(a[i].offset + a[i].size),
                    after.begin() + long(b[i].offset)))
      return ::testing::AssertionFailure() << "element " << i << " changed";
  }
  return ::testing::AssertionSuccess();
}

// An add call that meets the file size limit at every point of its element:
// the failure is reported (error layer and host) and the call returns false,
// and the file still reads to its last complete element and the end-of-design
// marker after it; once there is room again the same add succeeds.  A
// polyline that was to replace the map's line (by marking it deleted and
// appending) leaves that line live when it cannot be written.
TEST_F(WriteFailure, AddAtTheFileSizeLimitKeepsEveryEarlierElement) {
  const std::string path = dir_.Path("map.dgn");
  const Bytes original = MakeMap(path);
  ASSERT_TRUE(EndsWithMarker(original));
  const std::vector<Span> els = Elements(original);
  const size_t end = els.back().offset + els.back().size;
  // The map's line, after the TCB and the seed's two elements, marked deleted.
  Bytes retired = original;
  retired[els[3].offset + 1] |= 0x80;
  constexpr int kPoints = 20;
  constexpr size_t kElement = 38 + 8 * kPoints;  // a 2D line string of 20 vertices

  std::vector<size_t> rooms;
  for (size_t r = 0; r <= 12; ++r) rooms.push_back(r);
  for (size_t r : {kElement / 2, kElement - 3, kElement - 2, kElement - 1, kElement, kElement + 1,
                   kElement + 2, kElement + 100})
    rooms.push_back(r);

  for (const int32_t replace : {0, 3}) {
    for (size_t room : rooms) {
      SCOPED_TRACE("room for " + std::to_string(room) + " more bytes, elementId " +
                   std::to_string(replace));
      ASSERT_TRUE(dgnkit::WriteFile(path, original));
      const auto add = [&]() {
        plugintest::Host host;
        TVectorMapPlugIn map = plugintest::MapRecord(1, 1, 0);
        if (P().Open(path.c_str(), &map, host.sink()) != 1) return std::string("open failed");
        TVectorObjectPlugIn o = Line(9);
        o.elementId = replace;
        std::vector<TVectorPointPlugIn> pts = Zigzag(kPoints, 100);
        const int result = P().AddPolyline(&map, &o, kPoints, pts.data(), host.sink());
        P().Close(&map);
        std::string report = "result=" + std::to_string(result);
        for (const std::string &m : host.messages) report += "\nmessage=" + m;
        return report;
      };
      const ChildResult child = InChild([&]() -> std::string {
        if (!LimitFileSize(original.size() + room)) return "setrlimit failed";
        return add();
      });
      ASSERT_TRUE(child.exited) << child.stderr_text;
      const Bytes after = dgnkit::ReadFile(path);
      EXPECT_TRUE(EndsWithMarker(after));
      const size_t count = Elements(after).size();
      const std::string written = "Error seeking or writing new element of " +
                                  std::to_string(kElement) + " bytes at " + std::to_string(end) +
                                  ".";
      if (room >= kElement) {
        EXPECT_EQ(child.report, "result=1");
        EXPECT_EQ(count, els.size() + 1);
        EXPECT_TRUE(KeepsElements(replace ? retired : original, after));
      } else {
        EXPECT_EQ(child.report, "result=0\nmessage=" + std::string(kWriteFailed) + written);
        EXPECT_EQ(count, els.size()) << "no element may be taken from a half-written one";
        EXPECT_TRUE(KeepsElements(original, after)) << "the line to replace must stay live";
        EXPECT_NE(child.stderr_text.find("ERROR 1: " + written), std::string::npos)
            << child.stderr_text;
        // With room again, the same polyline goes in after the last element.
        EXPECT_EQ(add(), "result=1");
        const Bytes again = dgnkit::ReadFile(path);
        EXPECT_TRUE(KeepsElements(replace ? retired : original, again));
        ASSERT_EQ(Elements(again).size(), els.size() + 1);
        EXPECT_EQ(Elements(again).back().offset, end);
        EXPECT_TRUE(EndsWithMarker(again));
      }
      // Whatever happened, the file imports cleanly.
      EXPECT_EQ(Breach(ImportFile(dgnkit::ReadFile(path), dir_.Path("copy.dgn"))), "");
    }
  }
}

// A polyline of three line strings replacing the map's line, with room for
// only some of them: the add fails, nothing of it joins the map, and the
// line it was to replace stays live; the close reports that the map was not
// saved whole.
TEST_F(WriteFailure, AReplacementThatFailsPartWayKeepsTheOriginal) {
  const std::string path = dir_.Path("map.dgn");
  const Bytes original = MakeMap(path);
  constexpr size_t kRun = 38 + 8 * 51;  // a 2D line string of 51 vertices
  for (size_t room : {kRun + 10, 2 * kRun + 10}) {
    SCOPED_TRACE("room for " + std::to_string(room) + " more bytes");
    ASSERT_TRUE(dgnkit::WriteFile(path, original));
    const ChildResult child = InChild([&]() -> std::string {
      if (!LimitFileSize(original.size() + room)) return "setrlimit failed";
      plugintest::Host host;
      TVectorMapPlugIn map = plugintest::MapRecord(1, 1, 0);
      if (P().Open(path.c_str(), &map, host.sink()) != 1) return std::string("open failed");
      TVectorObjectPlugIn o = Line(9);
      o.elementId = 3;
      std::vector<TVectorPointPlugIn> pts = Zigzag(120, 100);
      const int result = P().AddPolyline(&map, &o, 120, pts.data(), host.sink());
      const int closed = P().Close(&map);
      return "result=" + std::to_string(result) + " closed=" + std::to_string(closed);
    });
    ASSERT_TRUE(child.exited) << child.stderr_text;
    EXPECT_EQ(child.report, "result=0 closed=0");
    EXPECT_TRUE(KeepsElements(original, dgnkit::ReadFile(path)));
    EXPECT_EQ(Elements(dgnkit::ReadFile(path)).size(), Elements(original).size());
  }
}

// With the whole map, a long polyline replacing the map's line becomes a
// complex chain of a header and three components.  Meeting the file size
// limit anywhere in it, the add returns false, the pieces written are
// retired and the line comes back: the map imports as it did before.
TEST_F(WriteFailure, WholeMapComplexAtTheFileSizeLimitIsWholeOrAbsent) {
  const std::string path = dir_.Path("map.dgn");
  const Bytes original = MakeMap(path);
  std::string ini = ini_;
  ini.replace(ini.find("[Mapa]\r\n"), 8, "[Mapa]\r\nDGN_Whole_Map=1\r\n");
  WriteIni(ini);
  const auto objects = [&]() {
    plugintest::Host host;
    TVectorMapPlugIn map = plugintest::MapRecord(1, 0, 0);
    map.directory = directory_.data();
    std::string seen;
    if (P().Open(path.c_str(), &map, host.sink()) != 1) return std::string("open failed");
    P().Read(&map, host.callbacks(), host.sink(), host.progress());
    P().Close(&map);
    for (const TVectorObjectPlugIn &o : host.objects)
      seen += std::to_string(o.elementId) + ":" + std::to_string(o.numPoints) + " ";
    return seen;
  };
  const std::string before = objects();
  ASSERT_EQ(before, "3:5 ");
  constexpr size_t kComplex = 40 + 446 + 446 + 198;  // header, 51 + 51 + 20 vertices
  for (size_t room : {size_t{0}, size_t{39}, size_t{41}, size_t{485}, size_t{487}, size_t{931},
                      size_t{933}, kComplex - 1, kComplex + 1}) {
    SCOPED_TRACE("room for " + std::to_string(room) + " more bytes");
    ASSERT_TRUE(dgnkit::WriteFile(path, original));
    const ChildResult child = InChild([&]() -> std::string {
      if (!LimitFileSize(original.size() + room)) return "setrlimit failed";
      plugintest::Host host;
      TVectorMapPlugIn map = plugintest::MapRecord(1, 1, 0);
      map.directory = directory_.data();
      if (P().Open(path.c_str(), &map, host.sink()) != 1) return std::string("open failed");
      TVectorObjectPlugIn o = Line(9);
      o.elementId = 3;
      std::vector<TVectorPointPlugIn> pts = Zigzag(120, 100);
      const int result = P().AddPolyline(&map, &o, 120, pts.data(), host.sink());
      P().Close(&map);
      return "result=" + std::to_string(result);
    });
    ASSERT_TRUE(child.exited) << child.stderr_text;
    const bool fits = room >= kComplex;
    EXPECT_EQ(child.report, fits ? "result=1" : "result=0");
    EXPECT_TRUE(EndsWithMarker(dgnkit::ReadFile(path)));
    EXPECT_EQ(objects(), fits ? "4:120 " : before);
  }
}

// Creation that meets the file size limit: either the map is created and
// reads back whole, or the host gets the creation message; the INI file is
// never touched and no stream stays open.
TEST_F(WriteFailure, CreateAtTheFileSizeLimit) {
  const std::string path = dir_.Path("new.dgn");
  const size_t tcb = 1536;
  for (size_t limit : {size_t{0}, size_t{1}, size_t{100}, tcb - 1, tcb, tcb + 1, tcb + 2, tcb + 500,
                       seed_.size() - 2, seed_.size(), seed_.size() + 4096}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    std::remove(path.c_str());
    const ChildResult child = InChild([&]() -> std::string {
      const int fds = OpenDescriptors();
      if (!LimitFileSize(limit)) return "setrlimit failed";
      plugintest::Host host;
      TVectorMapPlugIn map;
      const bool created = Create(path, map, host);
      if (created != (map.handle != nullptr)) return "handle disagrees with the result";
      P().Close(&map);
      if (OpenDescriptors() != fds) return "a stream was left open";
      std::string report = created ? "created" : "refused";
      for (const std::string &m : host.messages) report += "\nmessage=" + m;
      return report;
    });
    ASSERT_TRUE(child.exited) << child.stderr_text;
    EXPECT_EQ(Ini(), ini_);
    if (child.report == "created") {
      const Bytes made = dgnkit::ReadFile(path);
      EXPECT_TRUE(EndsWithMarker(made));
      ASSERT_FALSE(Elements(made).empty());
      EXPECT_EQ(Elements(made)[0].size, tcb);
      EXPECT_EQ(Breach(ImportFile(made, dir_.Path("copy.dgn"))), "");
    } else {
      EXPECT_EQ(child.report, "refused\nmessage=" + std::string(kCreateFailed));
    }
    if (limit >= seed_.size()) {
      EXPECT_EQ(child.report, "created");
    }
  }
}

// A map created on a full disk: the creation message, no handle, no stream
// left open, the INI file as it was.
TEST_F(WriteFailure, CreateOnAFullDisk) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  const int fds = OpenDescriptors();
  plugintest::Host host;
  TVectorMapPlugIn map;
  EXPECT_FALSE(Create("/dev/full", map, host));
  EXPECT_EQ(map.handle, nullptr);
  EXPECT_EQ(host.messages, std::vector<std::string>{kCreateFailed});
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_EQ(Ini(), ini_);
}

// Opening a read-only file for update fails with the opening message and the
// open failure of the engine; reading it still works.
TEST_F(WriteFailure, UpdateOfAReadOnlyFileFailsWithTheOpenMessage) {
  const std::string path = dir_.Path("readonly.dgn");
  const Bytes original = MakeMap(path);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  const bool root = geteuid() == 0;
  const ChildResult child = InChild([&]() -> std::string {
    if (root && !DropRoot()) return "skip";
    const int fds = OpenDescriptors();
    plugintest::Host host;
    TVectorMapPlugIn map = plugintest::MapRecord(1, 1, 0);
    if (P().Open(path.c_str(), &map, host.sink()) != 0) return "opened for update";
    if (map.handle != nullptr) return "handle set";
    if (host.messages.size() != 1) return "not one message";
    const std::string &m = host.messages[0];
    if (m.rfind(kOpening + path + " ", 0) != 0 || m.find("Unable to open") == std::string::npos)
      return "message: " + m;
    if (OpenDescriptors() != fds) return "a stream was left open";
    TVectorMapPlugIn reader = plugintest::MapRecord(1, 0, 0);
    if (P().Open(path.c_str(), &reader, host.sink()) != 1) return "not readable";
    P().Close(&reader);
    return "";
  });
  ASSERT_TRUE(child.exited) << child.stderr_text;
  if (child.report == "skip") GTEST_SKIP() << "cannot give up root here";
  EXPECT_EQ(child.report, "");
  EXPECT_EQ(dgnkit::ReadFile(path), original);
}

// Creating a map where no file can be made: under a regular file, in a
// folder that does not exist, and in a folder without write permission.  The
// host gets the creation message, the INI file keeps every byte (or, without
// the seed key, gains only that key), and nothing is left open or created.
TEST_F(WriteFailure, CreationInAFolderThatCannotBeWritten) {
  ASSERT_TRUE(dgnkit::WriteFile(dir_.Path("plain"), Bytes{'x'}));
  ASSERT_EQ(mkdir(dir_.Path("locked").c_str(), 0555), 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  const std::string targets[] = {dir_.Path("plain/new.dgn"), dir_.Path("absent/new.dgn"),
                                 dir_.Path("locked/new.dgn")};
  for (bool with_key : {true, false}) {
    for (const std::string &target : targets) {
      SCOPED_TRACE(target + (with_key ? "" : ", INI without the seed key"));
      const std::string ini = with_key ? ini_ : "[Other]\r\nKey=value\r\n[Mapa]\r\nZoom=3\r\n";
      WriteIni(ini);
      const bool root = geteuid() == 0;
      const bool locked = target == dir_.Path("locked/new.dgn");
      const ChildResult child = InChild([&]() -> std::string {
        if (locked && root && !DropRoot()) return "skip";
        const int fds = OpenDescriptors();
        plugintest::Host host;
        TVectorMapPlugIn map;
        const bool created = Create(target, map, host);
        P().Close(&map);
        if (created) return "created";
        if (OpenDescriptors() != fds) return "a stream was left open";
        std::string report;
        for (const std::string &m : host.messages) report += m + "\n";
        return report;
      });
      ASSERT_TRUE(child.exited) << child.stderr_text;
      if (child.report == "skip") continue;
      EXPECT_EQ(access(target.c_str(), F_OK), -1) << "a file was made";
      if (with_key) {
        EXPECT_EQ(child.report, std::string(kCreateFailed) + "\n");
        EXPECT_EQ(Ini(), ini);
      } else {
        // The missing key is filled in with the default (when the INI file
        // may be written); every other line stays.  The default seed is
        // found or not, depending on the folder the program runs from.
        EXPECT_TRUE(child.report == std::string(kCreateFailed) + "\n" ||
                    child.report.rfind("Error: Seed file not found (", 0) == 0)
            << child.report;
        const std::string now = Ini();
        EXPECT_TRUE(now == ini || now == ini + "DGN_Seed_File=seed2d.dgn\r\n") << now;
      }
    }
  }
}

// DGNCreate closes every stream it opened on each way it can fail, and on
// success leaves open only the handle it returns.
TEST(Streams, EveryFailurePathOfDGNCreateClosesItsStreams) {
  ScratchDir dir;
  dgnkit::TcbSpec tcb;
  const Bytes good = dgnkit::Concat({dgnkit::MakeTcb(tcb), dgnkit::MakeGroupDataStart(),
                                     dgnkit::MakeGroupDataStart(), dgnkit::EndOfDesign()});
  dgnkit::Element small_tcb(9, 8);
  small_tcb.PadTo(1000);
  struct Seed {
    const char *name;
    Bytes bytes;
  } seeds[] = {
      {"good.dgn", good},
      {"not_dgn.dgn", Bytes{'n', 'o', 't', ' ', 'd', 'g', 'n'}},
      {"small_tcb.dgn", dgnkit::Concat({small_tcb.Build(), dgnkit::EndOfDesign()})},
      {"line_first.dgn", dgnkit::Concat({dgnkit::MakeGroupDataStart(), dgnkit::EndOfDesign()})},
  };
  for (const Seed &s : seeds) ASSERT_TRUE(dgnkit::WriteFile(dir.Path(s.name), s.bytes));
  ASSERT_TRUE(dgnkit::WriteFile(dir.Path("plain"), Bytes{'x'}));

  const CPLErrorHandlerFn previous = CPLSetErrorHandler(nullptr);
  struct Case {
    std::string seed;
    std::string out;
    long budget;  // bytes CPLFWrite may write (-1: no limit)
  };
  std::vector<Case> cases = {
      {dir.Path("absent.dgn"), dir.Path("out.dgn"), -1},
      {dir.Path("not_dgn.dgn"), dir.Path("out.dgn"), -1},
      {dir.Path("small_tcb.dgn"), dir.Path("out.dgn"), -1},
      {dir.Path("line_first.dgn"), dir.Path("out.dgn"), -1},
      {dir.Path("good.dgn"), dir.Path("plain/out.dgn"), -1},
      {dir.Path("good.dgn"), dir.path(), -1},
      {dir.Path("good.dgn"), dir.Path("out.dgn"), -1},
  };
  if (access("/dev/full", W_OK) == 0) cases.push_back({dir.Path("good.dgn"), "/dev/full", -1});
  for (long budget : {0L, 1L, 1535L, 1536L, 1537L, 1538L, 1550L, 1600L, 1700L})
    cases.push_back({dir.Path("good.dgn"), dir.Path("out.dgn"), budget});

  for (const Case &c : cases) {
    SCOPED_TRACE(c.seed + " -> " + c.out + ", budget " + std::to_string(c.budget));
    const int fds = OpenDescriptors();
    CPLSetWriteFailAfter(c.budget);
    DGNFile *h =
        DGNCreate(c.out.c_str(), c.seed.c_str(), DGN_CREATE_SEED_UNITS, 0, 0, 0, 1, 1, "m", "m");
    CPLSetWriteFailAfter(-1);
    if (h != nullptr) {
      EXPECT_EQ(OpenDescriptors(), fds + 1) << "only the new file's stream stays open";
      const Bytes made = dgnkit::ReadFile(c.out);
      EXPECT_TRUE(EndsWithMarker(made));
      DGNClose(h);
    }
    EXPECT_EQ(OpenDescriptors(), fds);
  }
  CPLSetErrorHandler(previous);
}

}  // namespace
