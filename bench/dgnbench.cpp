// dgnbench: speed and memory of the import and the export, in one run.
//
//   dgnbench [options] FILE.dgn [FILE.dgn ...]
//
// For each design file, from the page cache (the first pass warms it):
//   floor   one sequential read() of the whole file into a reused buffer
//   index   DGNGetElementIndex on a fresh handle (open, build, close)
//   read    DGNReadElement + DGNFreeElement over every element (open, loop, close)
//   import  the whole import through the loaded plug-in, with a host that only
//           counts what it receives (open, read, close)
//   memory  peak resident memory of a fresh process that does only the import
// and once per run, through the loaded plug-in, into files created from
// seed2d.dgn:
//   export  polylines of 10 and of 120 points, compared with writing the same
//           element bytes with one fwrite per element.
// Every time is the best of --repeat runs.  Each row gives its ratio to the
// floor (export rows: to the fwrite baseline) and the target it is held to.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dgnmodel.h"
#include "platform.h"
#include "plugin_loader.h"
#include "plugin_records.h"
#include "transcript.h"

extern char **environ;

namespace {

// ---------------------------------------------------------------------------
// Targets (on the 1,000,000-element 2D file).
// ---------------------------------------------------------------------------
constexpr double kIndexTarget = 1.5;      // x floor
constexpr double kReadTarget = 3.0;       // x floor
constexpr double kImportTarget = 1.25;    // x the baseline importer
constexpr double kWholeMapTarget = 1.3;   // x the import without the whole map
constexpr double kRssTargetMB = 16.0;     // whatever the size of the map
constexpr double kExportTarget = 500000;  // elements per second, 10-point polylines

struct Options {
  int repeat = 3;
  int export_repeat = 1;
  int64_t export_small = 1000000;  // polylines of 10 points
  int64_t export_large = 100000;   // polylines of 120 points
  bool exports = true;
  bool memory = true;
  std::string plugin;        // default: Dgn_plugin.so beside this program
  std::string scratch;       // where exported files go; default: beside the first file
  std::string commit;        // label printed with the table
  std::string only;          // index, read, import or export: run just that, for profilers
  bool keep_export = false;  // keep the exported files
  bool whole_map = false;    // also import with the whole map (DGN_Whole_Map=1)
  std::string ini_dir;       // with whole_map: the folder of the gps.ini that turns it on
};

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Processor time of this process so far, in seconds.
double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Best processor time of the last Best() call.
double g_best_cpu = 0;

// Best wall time of `runs` calls of fn (and, in g_best_cpu, the best processor time).
double Best(int runs, const std::function<void()> &fn) {
  double best = 1e300;
  g_best_cpu = 1e300;
  for (int i = 0; i < runs; ++i) {
    const double c0 = CpuSeconds();
    const Clock::time_point t0 = Clock::now();
    fn();
    best = std::min(best, Seconds(t0, Clock::now()));
    g_best_cpu = std::min(g_best_cpu, CpuSeconds() - c0);
  }
  return best;
}

[[noreturn]] void Die(const std::string &why) {
  std::fprintf(stderr, "dgnbench: %s\n", why.c_str());
  std::exit(1);
}

std::string ProgramDir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  std::string p(buf, static_cast<size_t>(n));
  const size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

std::string DirName(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int64_t FileSize(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) Die("cannot stat " + path);
  return static_cast<int64_t>(st.st_size);
}

// Peak and current resident set of this process, in kB (VmHWM, VmRSS).
void ResidentKB(long *peak, long *now) {
  *peak = *now = -1;
  FILE *fp = std::fopen("/proc/self/status", "r");
  if (fp == nullptr) return;
  char line[256];
  while (std::fgets(line, sizeof line, fp) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) *peak = std::strtol(line + 6, nullptr, 10);
    if (std::strncmp(line, "VmRSS:", 6) == 0) *now = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(fp);
}

// ---------------------------------------------------------------------------
// The plug-in, loaded as the host loads it.
// ---------------------------------------------------------------------------
typedef PluginApi Plugin;

// Loads the plug-in, which stays loaded for the whole run; dies when it cannot.
Plugin LoadPlugin(const std::string &path) {
  static std::vector<std::unique_ptr<PluginLibrary>> loaded;
  loaded.emplace_back(new PluginLibrary(path));
  const PluginLibrary &library = *loaded.back();
  if (!library.error().empty()) Die("cannot load the plug-in: " + library.error());
  if (!library.missing().empty()) Die("the plug-in has no export " + library.missing().front());
  return library.api();
}

// A host that only counts.
struct CountingHost {
  TVectorCallbacksPlugIn callbacks{};
  TProgressOpsPlugIn ops{};
  TProgressPlugIn progress{};
  TMessagePlugIn sink{};
  int64_t objects = 0, points = 0, layers = 0, steps = 0, messages = 0;
  int32_t total = 0;
};

CountingHost *g_host = nullptr;

int32_t CountLayer(TVectorCallbacksPlugIn *, TVectorObjectPlugIn *) {
  g_host->layers++;
  return 0;
}
int32_t CountObject(TVectorCallbacksPlugIn *, TVectorObjectPlugIn *) {
  return static_cast<int32_t>(g_host->objects++);
}
int32_t CountPoint(TVectorCallbacksPlugIn *, int32_t, TVectorPointPlugIn *, int32_t) {
  g_host->points++;
  return 0;
}
void CountTotal(TProgressPlugIn *, int32_t total) { g_host->total = total; }
void CountStep(TProgressPlugIn *, int32_t) { g_host->steps++; }
TPlugInBool NeverCancel(TProgressPlugIn *) { return 0; }
void ShowMessage(TMessagePlugIn *, const char *text) {
  if (g_host->messages++ < 5) std::fprintf(stderr, "dgnbench: plug-in says: %s\n", text);
}

void InitHost(CountingHost *host) {
  *host = CountingHost();
  host->callbacks.AddLayer = CountLayer;
  host->callbacks.AddObject = CountObject;
  host->callbacks.AddPoint = CountPoint;
  host->ops.SetTotal = CountTotal;
  host->ops.Step = CountStep;
  host->ops.IsCancelled = NeverCancel;
  host->progress.ops = &host->ops;
  host->sink.Show = ShowMessage;
  g_host = host;
}

// Open, read and close one map through the plug-in; the host's counts stay in
// *host.  `directory` is the folder of the host's gps.ini (null: none).
void ImportOnce(const Plugin &plugin, const std::string &path, CountingHost *host,
                const std::string *directory = nullptr) {
  InitHost(host);
  TVectorMapPlugIn map{};
  std::string dir = directory != nullptr ? *directory : std::string();
  if (directory != nullptr) map.directory = &dir[0];
  map.readFlag = 1;
  if (!plugin.Open(path.c_str(), &map, &host->sink)) Die("the plug-in cannot open " + path);
  if (!plugin.Read(&map, &host->callbacks, &host->sink, &host->progress))
    Die("the import was cancelled");
  plugin.Close(&map);
}

// ---------------------------------------------------------------------------
// The baseline importer: written for speed only, with its own few lines of
// decoding and none of the engine's.  It reads the file once, in large
// chunks, into one buffer (reused from run to run, as the floor's is), counts
// the elements for SetTotal, and makes the plug-in's host calls: one object
// per live line, line string, shape and text with its points, a progress
// step and a cancel question per element, one layer per level used.  It
// trusts the generated maps it is run on (whole elements, 8-bit texts).
// ---------------------------------------------------------------------------
struct BaselineFile {
  std::vector<unsigned char> bytes;
  size_t size = 0;
};

// The file's bytes, read with large read() calls into `file`.
void BaselineRead(const std::string &path, BaselineFile *file) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) Die("cannot open " + path);
  struct stat st;
  if (fstat(fd, &st) != 0) Die("cannot stat " + path);
  const size_t size = static_cast<size_t>(st.st_size);
  if (file->bytes.size() < size) file->bytes.resize(size);
  size_t done = 0;
  while (done < size) {
    const size_t chunk = std::min<size_t>(size - done, size_t(4) << 20);
    const ssize_t n = read(fd, file->bytes.data() + done, chunk);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  file->size = done;
}

uint32_t Middle32(const unsigned char *p) {  // stored high word first
  return (static_cast<uint32_t>(p[0] | (p[1] << 8)) << 16) |
         static_cast<uint32_t>(p[2] | (p[3] << 8));
}

double DFloat(const unsigned char *p) {  // VAX D-float: 0.1f x 2^(exponent - 128)
  uint64_t bits = 0;
  for (int w = 0; w < 4; ++w)
    bits = (bits << 16) | static_cast<uint64_t>(p[2 * w] | (p[2 * w + 1] << 8));
  const int exponent = static_cast<int>((bits >> 55) & 0xFF);
  if (exponent == 0) return 0.0;
  const double v =
      std::ldexp(static_cast<double>((bits & ((uint64_t(1) << 55) - 1)) | (uint64_t(1) << 55)),
                 exponent - 128 - 56);
  return (bits >> 63) != 0 ? -v : v;
}

// One import of `path` by the baseline through the counting host.
void BaselineImport(const std::string &path, BaselineFile *file, CountingHost *host) {
  InitHost(host);
  BaselineRead(path, file);
  const unsigned char *data = file->bytes.data();
  const size_t size = file->size;
  const bool three_d = size > 0 && data[0] == 0xC8;
  // Elements: header bytes 0 (level, bit 7 complex), 1 (type, bit 7 deleted),
  // 2-3 (words to follow); FF FF ends the design.
  auto next = [&](size_t at) -> size_t {
    if (at + 4 > size || (data[at] == 0xFF && data[at + 1] == 0xFF)) return 0;
    const size_t len = 4 + 2 * static_cast<size_t>(data[at + 2] | (data[at + 3] << 8));
    return at + len <= size ? len : 0;
  };
  double scale = 1.0, ox = 0.0, oy = 0.0, oz = 0.0;
  bool units = false, colors = false;
  int32_t rgb[256] = {};
  int32_t count = 0;
  for (size_t at = 0, len; (len = next(at)) != 0; at += len) {
    const unsigned char *e = data + at;
    const int type = e[1] & 0x7F;
    if (type == 9 && !units && len >= 1264) {  // TCB: units and global origin
      units = true;
      const double per_master =
          static_cast<double>(Middle32(e + 1116)) * static_cast<double>(Middle32(e + 1112));
      if (per_master != 0) scale = 1.0 / per_master;
      ox = DFloat(e + 1240) * scale;
      oy = DFloat(e + 1248) * scale;
      oz = DFloat(e + 1256) * scale;
    } else if (type == 5 && (e[0] & 0x3F) == 1 && !colors && len >= 806) {  // colour table
      colors = true;
      for (int i = 0; i < 256; ++i) {
        const unsigned char *c = e + (i == 255 ? 38 : 41 + 3 * i);
        const int32_t color = c[0] | (c[1] << 8) | (c[2] << 16);
        rgb[i] = color == 0xFFFFFF ? 0 : color;
      }
    }
    ++count;
  }
  host->ops.SetTotal(&host->progress, count);

  TVectorObjectPlugIn defaults{};
  defaults.size = QPLUGIN_OBJECT_SIZE;
  defaults.color = defaults.color2 = -1;
  defaults.width = 1.0f;
  defaults.numPoints = -1;
  defaults.hostField52 = -1.0f;
  defaults.style = defaults.hostField60 = -1;
  defaults.hostField68 = -1.0f;
  defaults.hostField72 = 1;
  const int stride = three_d ? 12 : 8;
  uint64_t seen = 0;
  int order[64];
  int levels = 0;
  char text[256];
  int32_t id = 0;
  for (size_t at = 0, len; (len = next(at)) != 0; at += len, ++id) {
    const unsigned char *e = data + at;
    const int type = e[1] & 0x7F;
    const int level = e[0] & 0x3F;
    const bool sent = (e[1] & 0x80) == 0 && (type == 3 || type == 4 || type == 6 || type == 17);
    if (sent) {
      TVectorObjectPlugIn object = defaults;
      object.elementId = id;
      object.color = object.color2 = rgb[e[35]];
      object.level = level;
      if (type == 17) {
        const int k = three_d ? 76 : 60;
        int n = std::min<int>(e[three_d ? 74 : 58], static_cast<int>(len) - k);
        std::memcpy(text, e + k, static_cast<size_t>(std::max(n, 0)));
        text[std::max(n, 0)] = '\0';
        TVectorTextPlugIn info{};
        info.size = QPLUGIN_TEXT_SIZE;
        info.height =
            static_cast<float>(static_cast<int32_t>(Middle32(e + 42)) * scale * 6.0 / 1000.0);
        info.rotation =
            three_d ? 0.0f : static_cast<float>(static_cast<int32_t>(Middle32(e + 46)) / 360000.0);
        info.justification = e[37];
        object.objectKind = 3;
        object.name = text;
        object.textInfo = &info;
        object.numPoints = 1;
        object.style = e[34] & 7;
        const int32_t handle = host->callbacks.AddObject(&host->callbacks, &object);
        const unsigned char *o = e + (three_d ? 62 : 50);
        TVectorPointPlugIn point{QPLUGIN_POINT_SIZE, static_cast<int32_t>(Middle32(o)) * scale - ox,
                                 static_cast<int32_t>(Middle32(o + 4)) * scale - oy, 0.0, -1.0};
        host->callbacks.AddPoint(&host->callbacks, handle, &point, 1);
      } else {
        const int k = type == 3 ? 36 : 38;
        const int room = static_cast<int>(len) > k ? (static_cast<int>(len) - k) / stride : 0;
        const int n = std::min(room, type == 3 ? 2 : (e[36] | (e[37] << 8)));
        object.objectKind = type == 6 ? 1 : 0;
        object.width = static_cast<float>(e[34] >> 3);
        object.numPoints = n;
        const int32_t handle = host->callbacks.AddObject(&host->callbacks, &object);
        const unsigned char *v = e + k;
        for (int i = 0; i < n; ++i, v += stride) {
          TVectorPointPlugIn point{
              QPLUGIN_POINT_SIZE, static_cast<int32_t>(Middle32(v)) * scale - ox,
              static_cast<int32_t>(Middle32(v + 4)) * scale - oy,
              three_d ? static_cast<int32_t>(Middle32(v + 8)) * scale - oz : -oz, -1.0};
          host->callbacks.AddPoint(&host->callbacks, handle, &point, i + 1 < n ? 1 : 0);
        }
      }
    }
    host->ops.Step(&host->progress, 1);
    if (host->ops.IsCancelled(&host->progress)) Die("the baseline import was cancelled");
    if (sent && ((seen >> level) & 1) == 0) {
      seen |= uint64_t(1) << level;
      order[levels++] = level;
    }
  }
  for (int i = 0; i < levels; ++i) {
    char name[100];
    std::snprintf(name, sizeof name, "Level %d", order[i]);
    TVectorObjectPlugIn layer = defaults;
    layer.level = order[i];
    layer.name = name;
    host->callbacks.AddLayer(&host->callbacks, &layer);
  }
}

// ---------------------------------------------------------------------------
// Measurements of one file.
// ---------------------------------------------------------------------------
struct Row {
  std::string name;
  double seconds = 0;  // < 0: not a time
  std::string detail;  // right-hand notes
  double ratio = 0;    // to the floor or the baseline; 0: none
  std::string target;  // e.g. "<= 1.5"
  int ok = -1;         // 1 met, 0 missed, -1 no target
};

std::string Fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char *format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

std::string Time(double s) {
  if (s >= 1.0) return Fmt("%.3f s", s);
  return Fmt("%.1f ms", s * 1e3);
}

void PrintRows(const std::vector<Row> &rows) {
  std::printf("| %-44s | %10s | %-44s | %7s | %-10s | %-4s |\n", "measurement", "time", "detail",
              "ratio", "target", "met");
  std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(12, '-').c_str(),
              std::string(46, '-').c_str(), std::string(9, '-').c_str(),
              std::string(12, '-').c_str(), std::string(6, '-').c_str());
  for (const Row &r : rows) {
    std::printf("| %-44s | %10s | %-44s | %7s | %-10s | %-4s |\n", r.name.c_str(),
                r.seconds >= 0 ? Time(r.seconds).c_str() : "", r.detail.c_str(),
                r.ratio > 0 ? Fmt("%.2f", r.ratio).c_str() : "", r.target.c_str(),
                r.ok < 0 ? "" : (r.ok ? "yes" : "NO"));
  }
  std::fflush(stdout);
}

// The floor: read() of the whole file into one buffer that every run reuses.
double MeasureFloor(const std::string &path, int runs, std::vector<unsigned char> *buffer) {
  const int64_t size = FileSize(path);
  buffer->resize(static_cast<size_t>(size));
  return Best(runs, [&] {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) Die("cannot open " + path);
    int64_t done = 0;
    while (done < size) {
      const ssize_t n = read(fd, buffer->data() + done, static_cast<size_t>(size - done));
      if (n <= 0) Die("short read of " + path);
      done += n;
    }
    close(fd);
  });
}

// Peak resident memory of a fresh process that only imports `path`: this
// program again, in its --rss-child mode.
bool MeasureImportMemory(const Options &opt, const std::string &path, long *baseline_kb,
                         long *peak_kb) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipefd[0]);
  const std::string self = "/proc/self/exe";
  std::vector<std::string> args = {"dgnbench", "--plugin", opt.plugin, "--rss-child", path};
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  if (rc != 0) {
    close(pipefd[0]);
    return false;
  }
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  return std::sscanf(out.c_str(), "%ld %ld", baseline_kb, peak_kb) == 2;
}

// Prints the digest of the import's callback transcript of `path` (and writes
// the transcript as text to `text_out` when given): a check that speed work
// left the import's output unchanged, on files of any size.
int PrintDigest(const Options &opt, const std::string &path, const std::string &text_out) {
  const Plugin plugin = LoadPlugin(opt.plugin);
  FILE *text = nullptr;
  if (!text_out.empty() && (text = std::fopen(text_out.c_str(), "w")) == nullptr)
    Die("cannot create " + text_out);
  dgnbench::TranscriptHost host(text);
  TVectorMapPlugIn map{};
  std::string dir = opt.ini_dir;
  if (opt.whole_map) map.directory = &dir[0];
  map.readFlag = 1;
  if (!plugin.Open(path.c_str(), &map, host.sink())) Die("the plug-in cannot open " + path);
  const bool done = plugin.Read(&map, host.callbacks(), host.sink(), host.progress()) != 0;
  plugin.Close(&map);
  if (text != nullptr && std::fclose(text) != 0) Die("cannot write " + text_out);
  std::printf("%s: transcript digest %016" PRIx64 " (%s; %" PRId64 " objects, %" PRId64
              " points, %" PRId64 " layers, %" PRId64 " steps, %" PRId64 " messages)\n",
              path.c_str(), host.digest(), done ? "complete" : "cancelled", host.objects(),
              host.points(), host.layers(), host.steps(), host.messages());
  return 0;
}

int RssChild(const Options &opt, const std::string &path) {
  const Plugin plugin = LoadPlugin(opt.plugin);
  long base = 0, now = 0, peak = 0;
  ResidentKB(&base, &now);
  CountingHost host;
  ImportOnce(plugin, path, &host);
  ResidentKB(&peak, &now);
  std::printf("%ld %ld\n", base, peak);
  return 0;
}

void ExportOnce(const Plugin &plugin, const Options &opt, const std::string &out, int64_t polylines,
                int points);

// One measurement alone, --repeat times, for running under a profiler.
void RunOnly(const Options &opt, const Plugin &plugin, const std::string &path) {
  double s = 0;
  if (opt.only == "index") {
    s = Best(opt.repeat, [&] {
      DGNFile *h = DGNOpen(path.c_str(), false);
      if (h == nullptr) Die("the engine cannot open " + path);
      DGNGetElementIndex(h, nullptr);
      DGNClose(h);
    });
  } else if (opt.only == "read") {
    s = Best(opt.repeat, [&] {
      DGNFile *h = DGNOpen(path.c_str(), false);
      if (h == nullptr) Die("the engine cannot open " + path);
      while (DGNElement *e = DGNReadElement(h)) DGNFreeElement(h, e);
      DGNClose(h);
    });
  } else if (opt.only == "import") {
    CountingHost host;
    s = Best(opt.repeat,
             [&] { ImportOnce(plugin, path, &host, opt.whole_map ? &opt.ini_dir : nullptr); });
  } else if (opt.only == "baseline") {
    BaselineFile file;
    CountingHost host;
    s = Best(opt.repeat, [&] { BaselineImport(path, &file, &host); });
  } else if (opt.only == "export") {
    const std::string out = opt.scratch + "/dgnbench-export-only.dgn";
    s = Best(opt.repeat, [&] { ExportOnce(plugin, opt, out, opt.export_small, 10); });
    if (opt.keep_export) {
      std::printf("exported file kept: %s\n", out.c_str());
    } else {
      std::remove(out.c_str());
    }
  } else {
    Die("--only takes index, read, import, baseline or export");
  }
  std::printf("%s %s: best %.1f ms (processor time %.1f ms)\n", path.c_str(), opt.only.c_str(),
              s * 1e3, g_best_cpu * 1e3);
}

void BenchFile(const Options &opt, const Plugin &plugin, const std::string &path) {
  std::vector<unsigned char> buffer;
  MeasureFloor(path, 1, &buffer);  // warms the page cache
  const double floor = MeasureFloor(path, std::max(opt.repeat, 5), &buffer);
  const int64_t bytes = FileSize(path);
  const int dimension = bytes > 0 && buffer[0] == 0xC8 ? 3 : 2;
  std::vector<unsigned char>().swap(buffer);  // the other runs should not pay for it

  int count = 0;
  const double index = Best(opt.repeat, [&] {
    DGNFile *h = DGNOpen(path.c_str(), false);
    if (h == nullptr) Die("the engine cannot open " + path);
    DGNGetElementIndex(h, &count);
    DGNClose(h);
  });

  int64_t read_count = 0;
  const double read_loop = Best(opt.repeat, [&] {
    DGNFile *h = DGNOpen(path.c_str(), false);
    if (h == nullptr) Die("the engine cannot open " + path);
    read_count = 0;
    while (DGNElement *e = DGNReadElement(h)) {
      DGNFreeElement(h, e);
      ++read_count;
    }
    DGNClose(h);
  });

  BaselineFile base_file;
  CountingHost base_host;
  const double baseline = Best(opt.repeat, [&] { BaselineImport(path, &base_file, &base_host); });
  const double baseline_cpu = g_best_cpu;
  std::vector<unsigned char>().swap(base_file.bytes);
  CountingHost host;
  const double import = Best(opt.repeat, [&] { ImportOnce(plugin, path, &host); });
  const double import_cpu = g_best_cpu;
  // A ratio means something only when both sent the same.
  if (host.objects != base_host.objects || host.points != base_host.points ||
      host.layers != base_host.layers || host.steps != base_host.steps ||
      host.total != base_host.total) {
    Die(Fmt("%s: the baseline importer sent %" PRId64 " objects, %" PRId64 " points, %" PRId64
            " layers, %" PRId64 " steps; the plug-in %" PRId64 ", %" PRId64 ", %" PRId64
            ", %" PRId64,
            path.c_str(), base_host.objects, base_host.points, base_host.layers, base_host.steps,
            host.objects, host.points, host.layers, host.steps));
  }
  CountingHost whole_host;
  const double whole =
      opt.whole_map ? Best(opt.repeat, [&] { ImportOnce(plugin, path, &whole_host, &opt.ini_dir); })
                    : 0.0;
  const double whole_cpu = g_best_cpu;

  const double n = count > 0 ? count : 1;
  std::printf("\n%s: %dD, %d elements, %.1f MB%s%s\n\n", path.c_str(), dimension, count,
              static_cast<double>(bytes) / 1e6, opt.commit.empty() ? "" : ", commit ",
              opt.commit.c_str());
  std::vector<Row> rows;
  auto per = [&](double s) {
    return Fmt("%.0f ns/element, %.0f MB/s", s / n * 1e9, bytes / s / 1e6);
  };
  auto against = [&](double s, double target) {
    Row r;
    r.seconds = s;
    r.detail = per(s);
    r.ratio = s / floor;
    if (target > 0) {
      r.target = Fmt("<= %.1f", target);
      r.ok = r.ratio <= target ? 1 : 0;
    }
    return r;
  };
  Row r = against(floor, 0);
  r.name = "floor: read() of the whole file";
  rows.push_back(r);
  r = against(index, kIndexTarget);
  r.name = "index: DGNGetElementIndex, fresh handle";
  rows.push_back(r);
  r = against(read_loop, kReadTarget);
  r.name = "engine read loop: DGNReadElement+Free";
  if (read_count != count) r.detail += Fmt(" (read %" PRId64 "!)", read_count);
  rows.push_back(r);
  r = against(baseline, 0);
  r.name = "baseline importer (one read, own decoding)";
  r.detail = Fmt("%.0f ns/element, processor %.1f ms", baseline / n * 1e9, baseline_cpu * 1e3);
  rows.push_back(r);
  r = against(import, 0);
  r.name = "import through the plug-in (ratio: to base)";
  r.detail = Fmt("%.2f x floor; processor %.1f ms, %.2f x base", import / floor, import_cpu * 1e3,
                 import_cpu / baseline_cpu);
  r.ratio = import / baseline;
  r.target = Fmt("<= %.2f", kImportTarget);
  r.ok = r.ratio <= kImportTarget ? 1 : 0;
  rows.push_back(r);
  r = Row();
  r.name = "  host received";
  r.seconds = -1;
  r.detail = Fmt("%" PRId64 " objects, %" PRId64 " points, %" PRId64 " layers", host.objects,
                 host.points, host.layers);
  rows.push_back(r);
  if (opt.whole_map) {
    r = against(whole, 0);
    r.name = "whole map (DGN_Whole_Map; ratio: to import)";
    r.detail =
        Fmt("processor %.1f ms, %.2f x the import's", whole_cpu * 1e3, whole_cpu / import_cpu);
    r.ratio = whole / import;
    r.target = Fmt("<= %.2f", kWholeMapTarget);
    r.ok = r.ratio <= kWholeMapTarget ? 1 : 0;
    rows.push_back(r);
    r = Row();
    r.name = "  host received";
    r.seconds = -1;
    r.detail = Fmt("%" PRId64 " objects, %" PRId64 " points, %" PRId64 " layers",
                   whole_host.objects, whole_host.points, whole_host.layers);
    rows.push_back(r);
  }

  if (opt.memory) {
    long base = 0, peak = 0;
    r = Row();
    r.name = "peak resident memory of the import";
    r.seconds = -1;
    const double limit_mb = kRssTargetMB;
    if (MeasureImportMemory(opt, path, &base, &peak)) {
      r.detail = Fmt("%.1f MB (%.1f MB before the import)", peak / 1024.0, base / 1024.0);
      r.target = Fmt("<= %.1f MB", limit_mb);
      r.ok = peak / 1024.0 <= limit_mb ? 1 : 0;
    } else {
      r.detail = "could not be measured";
    }
    rows.push_back(r);
  }
  PrintRows(rows);
}

// ---------------------------------------------------------------------------
// Export.
// ---------------------------------------------------------------------------

// Element boundaries of a design file in memory: offsets of each element.
std::vector<std::pair<size_t, size_t>> SplitElements(const std::vector<unsigned char> &file) {
  std::vector<std::pair<size_t, size_t>> out;
  size_t at = 0;
  while (at + 4 <= file.size() && !(file[at] == 0xFF && file[at + 1] == 0xFF)) {
    const size_t len = 4 + 2 * static_cast<size_t>(file[at + 2] | (file[at + 3] << 8));
    if (at + len > file.size()) break;
    out.emplace_back(at, len);
    at += len;
  }
  return out;
}

std::vector<unsigned char> ReadWhole(const std::string &path) {
  std::vector<unsigned char> data(static_cast<size_t>(FileSize(path)));
  FILE *fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr || std::fread(data.data(), 1, data.size(), fp) != data.size())
    Die("cannot read " + path);
  std::fclose(fp);
  return data;
}

// Writes every element of `file` (and the end marker) with one fwrite each,
// and puts the file on the disk with one sync at the end.
double FwriteBaseline(const std::vector<unsigned char> &file, const std::string &out, int runs,
                      int64_t *elements) {
  const auto parts = SplitElements(file);
  *elements = static_cast<int64_t>(parts.size());
  const double s = Best(runs, [&] {
    FILE *fp = std::fopen(out.c_str(), "wb");
    if (fp == nullptr) Die("cannot create " + out);
    for (const auto &p : parts) {
      if (std::fwrite(file.data() + p.first, p.second, 1, fp) != 1) Die("cannot write " + out);
    }
    const unsigned char end[2] = {0xFF, 0xFF};
    std::fwrite(end, 2, 1, fp);
    if (!PlatSyncStream(fp)) Die("cannot sync " + out);
    if (std::fclose(fp) != 0) Die("cannot write " + out);
  });
  std::remove(out.c_str());
  return s;
}

// Exports `polylines` polylines of `points` points into a new file at `out`.
void ExportOnce(const Plugin &plugin, const Options &opt, const std::string &out, int64_t polylines,
                int points) {
  CountingHost host;
  InitHost(&host);
  std::string dir = opt.scratch;
  TVectorMapPlugIn map{};
  map.directory = &dir[0];
  map.writeFlag = 1;
  map.createFlag = 1;
  if (!plugin.Open(out.c_str(), &map, &host.sink)) Die("the plug-in cannot create " + out);
  // A pool of distinct random-walk polylines in metres, used round robin.
  constexpr int kPool = 1024;
  std::vector<TVectorPointPlugIn> pool(static_cast<size_t>(kPool) * static_cast<size_t>(points));
  uint64_t s = 12345;
  auto next = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>((s >> 33) % 100000) / 10.0;
  };
  for (int i = 0; i < kPool; ++i) {
    double x = next() * 10, y = next() * 10;
    for (int j = 0; j < points; ++j) {
      TVectorPointPlugIn &p =
          pool[static_cast<size_t>(i) * static_cast<size_t>(points) + static_cast<size_t>(j)];
      p.size = 36;
      p.x = x;
      p.y = y;
      p.z = 0;
      p.hostField28 = -1.0;
      x += next() / 100 - 500;
      y += next() / 100 - 500;
    }
  }
  for (int64_t i = 0; i < polylines; ++i) {
    TVectorObjectPlugIn obj{};
    obj.size = QPLUGIN_OBJECT_SIZE;
    obj.color = static_cast<int32_t>((static_cast<uint32_t>(i) * 2654435761u) & 0xFFFFFFu);
    obj.color2 = obj.color;
    // Line strings; of the long polylines every tenth is a polygon (shapes).
    obj.objectKind = (points > 51 && i % 10 == 0) ? 1 : 0;
    obj.level = static_cast<int32_t>(i % 64);
    obj.width = static_cast<float>(i % 8);
    obj.numPoints = points;
    obj.style = static_cast<int32_t>(i % 8);
    TVectorPointPlugIn *pts = &pool[static_cast<size_t>(i % kPool) * static_cast<size_t>(points)];
    if (!plugin.AddPolyline(&map, &obj, points, pts, &host.sink)) Die("an add call failed");
  }
  plugin.Close(&map);
  if (host.messages != 0) Die("the plug-in reported problems during the export");
}

void BenchExports(const Options &opt, const Plugin &plugin) {
  std::printf("\nexport through the plug-in into files created from seed2d.dgn%s%s\n\n",
              opt.commit.empty() ? "" : ", commit ", opt.commit.c_str());
  std::vector<Row> rows;
  struct Case {
    int64_t polylines;
    int points;
    double target;
  };
  const Case cases[] = {{opt.export_small, 10, kExportTarget}, {opt.export_large, 120, 0}};
  for (const Case &c : cases) {
    if (c.polylines <= 0) continue;
    const std::string out = opt.scratch + Fmt("/dgnbench-export-%d.dgn", c.points);
    const double s =
        Best(opt.export_repeat, [&] { ExportOnce(plugin, opt, out, c.polylines, c.points); });
    const std::vector<unsigned char> file = ReadWhole(out);
    if (opt.keep_export)
      std::printf("exported file kept: %s\n", out.c_str());
    else
      std::remove(out.c_str());
    int64_t elements = 0;
    const double base = FwriteBaseline(file, out + ".fwrite", std::max(opt.repeat, 3), &elements);
    Row r;
    r.name = Fmt("export %" PRId64 " polylines of %d points", c.polylines, c.points);
    r.seconds = s;
    const double rate = static_cast<double>(elements) / s;
    r.detail = Fmt("%" PRId64 " elements, %.0f elements/s", elements, rate);
    r.ratio = s / base;
    if (c.target > 0) {
      r.target = Fmt(">= %.0fk/s", c.target / 1000);
      r.ok = rate >= c.target ? 1 : 0;
    }
    rows.push_back(r);
    Row b;
    b.name = "  same bytes, one fwrite per element";
    b.seconds = base;
    b.detail = Fmt("%.0f elements/s, %.1f MB", static_cast<double>(elements) / base,
                   static_cast<double>(file.size()) / 1e6);
    rows.push_back(b);
  }
  PrintRows(rows);
}

int Usage(FILE *out) {
  std::fprintf(out,
               "usage: dgnbench [options] FILE.dgn [FILE.dgn ...]\n"
               "  --repeat N         best of N runs for each read measurement (default 3)\n"
               "  --export-repeat N  best of N runs for each export (default 1)\n"
               "  --export N M       polylines of 10 and of 120 points (default 1000000 100000)\n"
               "  --no-export        skip the export measurements\n"
               "  --no-memory        skip the peak-memory measurement\n"
               "  --plugin PATH      the plug-in to load (default: Dgn_plugin.so beside dgnbench)\n"
               "  --scratch DIR      folder for exported files (default: that of the first file)\n"
               "  --commit TEXT      label printed with the tables\n"
               "  --only WHAT        run only `index`, `read`, `import`, `baseline` or `export`\n"
               "  --keep-export      keep the exported files\n"
               "  --whole-map        also time the import with the whole map on (DGN_Whole_Map=1)\n"
               "  --digest FILE      only print the digest of FILE's import transcript (with\n"
               "                     --whole-map: of the import with the whole map)\n"
               "  --transcript PATH  with --digest: also write the transcript as text\n");
  return out == stdout ? 0 : 2;
}

bool ParseInt(const char *text, int64_t *v) {
  char *end = nullptr;
  const long long x = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || x < 0) return false;
  *v = x;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  std::vector<std::string> files;
  std::string rss_child, digest_file, transcript_out;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    int64_t v = 0, w = 0;
    if (a == "--repeat" && i + 1 < argc && ParseInt(argv[i + 1], &v) && v > 0) {
      opt.repeat = static_cast<int>(v);
      ++i;
    } else if (a == "--export-repeat" && i + 1 < argc && ParseInt(argv[i + 1], &v) && v > 0) {
      opt.export_repeat = static_cast<int>(v);
      ++i;
    } else if (a == "--export" && i + 2 < argc && ParseInt(argv[i + 1], &v) &&
               ParseInt(argv[i + 2], &w)) {
      opt.export_small = v;
      opt.export_large = w;
      i += 2;
    } else if (a == "--no-export") {
      opt.exports = false;
    } else if (a == "--no-memory") {
      opt.memory = false;
    } else if (a == "--plugin" && i + 1 < argc) {
      opt.plugin = argv[++i];
    } else if (a == "--scratch" && i + 1 < argc) {
      opt.scratch = argv[++i];
    } else if (a == "--keep-export") {
      opt.keep_export = true;
    } else if (a == "--whole-map") {
      opt.whole_map = true;
    } else if (a == "--only" && i + 1 < argc) {
      opt.only = argv[++i];
    } else if (a == "--commit" && i + 1 < argc) {
      opt.commit = argv[++i];
    } else if (a == "--rss-child" && i + 1 < argc) {
      rss_child = argv[++i];
    } else if (a == "--digest" && i + 1 < argc) {
      digest_file = argv[++i];
    } else if (a == "--transcript" && i + 1 < argc) {
      transcript_out = argv[++i];
    } else if (a == "-h" || a == "--help") {
      return Usage(stdout);
    } else if (!a.empty() && a[0] != '-') {
      files.push_back(a);
    } else {
      return Usage(stderr);
    }
  }
  if (opt.plugin.empty()) opt.plugin = ProgramDir() + "Dgn_plugin.so";
  if (!rss_child.empty()) return RssChild(opt, rss_child);
  if (files.empty() && !opt.exports && digest_file.empty()) return Usage(stderr);
  if (opt.scratch.empty())
    opt.scratch = !digest_file.empty() ? DirName(digest_file)
                  : files.empty()      ? "."
                                       : DirName(files[0]);
  if (opt.whole_map) {
    // The plug-in reads the setting from the gps.ini of the map record's folder.
    opt.ini_dir = opt.scratch + "/dgnbench-whole-map";
    mkdir(opt.ini_dir.c_str(), 0777);
    const std::string ini = opt.ini_dir + "/gps.ini";
    FILE *fp = std::fopen(ini.c_str(), "w");
    if (fp == nullptr || std::fputs("[Mapa]\nDGN_Whole_Map=1\n", fp) < 0 || std::fclose(fp) != 0)
      Die("cannot write " + ini);
  }

  if (!digest_file.empty()) return PrintDigest(opt, digest_file, transcript_out);
  const Plugin plugin = LoadPlugin(opt.plugin);
  if (!opt.only.empty()) {
    if (opt.only == "export") files.assign(1, "");
    for (const std::string &f : files) RunOnly(opt, plugin, f);
    return 0;
  }
  for (const std::string &f : files) BenchFile(opt, plugin, f);
  if (opt.exports) BenchExports(opt, plugin);
  return 0;
}
