// dgnhost: a command-line host for the DGN plug-in.  It loads the plug-in at
// run time by path, exactly as the mapping host does, lays out the host's
// records and callback tables, and drives the plug-in through its ten exports.
//
//   dgnhost info                          the informational answers
//   dgnhost import FILE [--geojson OUT] [--svg OUT] [--gpkg OUT] [--summary]
//                       [--whole-map] [--threads N] [--srs EPSG:n [--srs-wkt FILE]]
//
// Exit status: 0 done, 1 the plug-in or an output file failed, 2 usage,
// 130 the import was cancelled (Ctrl-C).
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "dgnhost_export.h"
#include "dgnhost_files.h"
#include "dgnhost_geojson.h"
#include "dgnhost_gpkg.h"
#include "dgnhost_import.h"
#include "dgnhost_ini.h"
#include "dgnhost_svg.h"
#include "dgnhost_text.h"
#include "platform.h"
#include "plugin_loader.h"
#include "plugin_records.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 130;

// The folder of the running program, with its trailing separator.
std::string ProgramDir(const char *argv0) {
  // Taken apart in the platform layer's form, where a backslash separates
  // folders (on Windows a slash may too).
  std::string p = PlatProgramPath();
  if (p.empty()) p = PlatFromOsPath(argv0);
  const size_t slash = p.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : PlatToOsPath(p.substr(0, slash + 1).c_str());
}

std::string BaseName(const std::string &path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------

struct Context {
  PluginApi api;
  std::string programDir;
};

int Usage(FILE *out) {
  std::fprintf(out,
               "usage: dgnhost [--plugin PATH] COMMAND [ARGS]\n"
               "\n"
               "commands:\n"
               "  info      print the plug-in's version and file-type answers\n"
               "  import FILE [--geojson OUT] [--svg OUT] [--gpkg OUT] [--summary] [--whole-map]\n"
               "         [--threads N] [--srs EPSG:n [--srs-wkt FILE]]\n"
               "            import a DGN file through the plug-in; OUT '-' is standard output\n"
               "            (not for --gpkg, a GeoPackage: tables lines, polygons, texts);\n"
               "            --whole-map also brings arcs, ellipses, curves and complex\n"
               "            chains and shapes (the DGN_Whole_Map setting, for this run);\n"
               "            --threads N formats the GeoJSON on N helper threads and writes\n"
               "            the GeoPackage on one (default: one per processor, at most 4;\n"
               "            0: none); --srs records the map's coordinate system in the\n"
               "            GeoPackage (default: undefined Cartesian), its definition taken\n"
               "            from the WKT in --srs-wkt FILE\n"
               "%s"
               "%s"
               "\n"
               "--plugin PATH  the plug-in library to load (default: %s beside dgnhost)\n"
               "\n"
               "exit status: 0 done, 1 failed, 2 usage, 130 import cancelled (Ctrl-C)\n",
               kExportUsage,
               GeoPackageBuiltIn()
                   ? "            export and update also read a GeoPackage as IN: its feature\n"
                     "            tables of lines, polygons and points, with the columns above\n"
                     "            (and text, height, rotation, justification) taken by name\n"
                   : "            (this dgnhost was built without GeoPackage support: --gpkg\n"
                     "            and GeoPackage input are not available)\n",
               kPluginFileName);
  return out == stdout ? kExitOk : kExitUsage;
}

// `info`: prints the informational answers; gives the exit status.
int CmdInfo(Context &ctx, int argc, char **) {
  if (argc != 0) return Usage(stderr);
  const PluginApi &api = ctx.api;
  std::printf("interface version: %d\n", api.Version());
  std::printf("private version:   %d\n", api.VersionPriv());
  std::printf("init:              %s\n", api.Init() ? "true" : "false");
  std::printf("file types:        %s\n", api.GetTipoArchivos());
  std::printf("version text:      %s\n", api.VersionStr());
  std::printf("add layer:         %s\n", api.AddLayer() ? "true" : "false");
  return kExitOk;
}

// What `import` was asked for.
struct ImportOptions {
  std::string file, geojsonPath, svgPath, gpkgPath;
  GpkgSrs srs;
  bool summary = false;
  bool wholeMap = false;
  int threads = -1;              // helper threads for the GeoJSON and GeoPackage; -1: the default
  long long interruptAfter = 0;  // test hook: Ctrl-C after this many elements
};

// Reads the arguments of `import`; gives -1 when they are usable, else the
// exit status (after the usage text or the reason).
int ParseImport(int argc, char **argv, ImportOptions &o) {
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--geojson" && i + 1 < argc) {
      o.geojsonPath = argv[++i];
    } else if (a == "--svg" && i + 1 < argc) {
      o.svgPath = argv[++i];
    } else if (a == "--gpkg" && i + 1 < argc) {
      if (!GeoPackageBuiltIn()) {
        std::fprintf(stderr,
                     "dgnhost: import: this dgnhost was built without GeoPackage support\n");
        return kExitUsage;
      }
      o.gpkgPath = argv[++i];
    } else if (a == "--srs" && i + 1 < argc) {
      if (!ParseSrs(argv[++i], o.srs)) return kExitUsage;
    } else if (a == "--srs-wkt" && i + 1 < argc) {
      const char *wkt = argv[++i];
      std::ifstream in(wkt, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      o.srs.definition = text.str();
      while (!o.srs.definition.empty() &&
             std::isspace(static_cast<unsigned char>(o.srs.definition.back())))
        o.srs.definition.pop_back();
      if (!in || o.srs.definition.empty()) {
        std::fprintf(stderr, "dgnhost: import: cannot read a definition from %s\n", wkt);
        return kExitUsage;
      }
    } else if (a == "--summary") {
      o.summary = true;
    } else if (a == "--whole-map") {
      o.wholeMap = true;
    } else if (a == "--threads" && i + 1 < argc) {
      char *end = nullptr;
      const long n = std::strtol(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0' || n < 0 || n > 64) {
        std::fprintf(stderr, "dgnhost: import: --threads takes a number from 0 to 64, not '%s'\n",
                     argv[i]);
        return kExitUsage;
      }
      o.threads = static_cast<int>(n);
    } else if (a == "--interrupt-after" && i + 1 < argc) {
      // Test hook: behave as if Ctrl-C were pressed after N elements.
      o.interruptAfter = std::atoll(argv[++i]);
    } else if (o.file.empty() && !a.empty() && a[0] != '-') {
      o.file = a;
    } else {
      std::fprintf(stderr, "dgnhost: import: unexpected argument '%s'\n", a.c_str());
      return Usage(stderr);
    }
  }
  if (o.file.empty()) return Usage(stderr);
  if (!o.srs.definition.empty() && o.srs.id <= 0) {
    std::fprintf(stderr, "dgnhost: import: --srs-wkt needs --srs EPSG:n\n");
    return kExitUsage;
  }
  if (o.gpkgPath == "-") {
    std::fprintf(stderr, "dgnhost: import: a GeoPackage cannot go to standard output\n");
    return kExitUsage;
  }
  // An output that is the map itself would replace the map by its own
  // GeoJSON or drawing.
  for (const std::string *out : {&o.geojsonPath, &o.svgPath, &o.gpkgPath}) {
    if (!out->empty() && *out != "-" && SameFile(o.file, *out)) {
      std::fprintf(stderr,
                   "dgnhost: import: %s is the map being imported; refusing to write "
                   "an output over it\n",
                   out->c_str());
      return kExitUsage;
    }
  }
  return -1;
}

// The outputs of one import, written as the objects arrive, each under a
// temporary name that takes the output's place only when the import succeeded.
struct ImportOutputs {
  OutputFile geojsonFile, svgFile, gpkgFile;
  std::unique_ptr<GeoJsonSink> geojson;
  std::unique_ptr<SvgSink> svg;
  std::unique_ptr<GpkgSink> gpkg;
  SummarySink summary;
  std::vector<ObjectSink *> sinks;

  // Creates the outputs asked for; false (with a message) when one cannot be.
  bool Open(const ImportOptions &o) {
    const unsigned threads =
        o.threads >= 0 ? static_cast<unsigned>(o.threads) : DefaultWorkerThreads();
    if (!o.geojsonPath.empty()) {
      if (!geojsonFile.Open(o.geojsonPath)) return false;
      geojson.reset(new GeoJsonSink(geojsonFile, threads));
      sinks.push_back(geojson.get());
    }
    if (!o.svgPath.empty()) {
      // The drawing's frame comes first: the map's extents as the engine's
      // index gives them.
      if (!svgFile.Open(o.svgPath)) return false;
      svg.reset(new SvgSink(svgFile, o.svgPath, MapExtents(o.file), BaseName(o.file)));
      if (!svg->Ready()) return false;
      sinks.push_back(svg.get());
    }
    if (!o.gpkgPath.empty()) {
      if (!gpkgFile.Open(o.gpkgPath)) return false;
      gpkg.reset(new GpkgSink(gpkgFile, o.gpkgPath, o.srs, MapDimension(o.file) == 3, threads));
      if (!gpkg->Ready()) return false;
      sinks.push_back(gpkg.get());
    }
    if (o.summary) sinks.push_back(&summary);
    return true;
  }

  // Ends the outputs and puts them in place; prints the summary.  False when
  // an output failed.
  bool Finish(const ImportOptions &o, const ImportStats &stats) {
    bool ok = true;
    if (geojson) {
      geojson->Finish();
      ok = geojsonFile.Commit() && ok;
    }
    if (svg) ok = svg->Finish() && svgFile.Commit() && ok;
    if (gpkg) ok = gpkg->Finish() && gpkgFile.Commit() && ok;
    if (o.summary) summary.Print(BaseName(o.file), stats.total, stats.layers);
    return ok;
  }
};

// Says what went wrong with an import; gives its exit status (0: nothing did).
int ImportTrouble(const ImportOptions &o, const ImportStats &result, bool read, bool interrupted) {
  if (result.badRecordSize)
    std::fprintf(stderr, "dgnhost: warning: the plug-in sent records with a wrong size field\n");
  if (result.strayPoints > 0)
    std::fprintf(stderr, "dgnhost: warning: %lld points arrived for no object\n",
                 static_cast<long long>(result.strayPoints));
  if (result.outOfMemory) {
    std::fprintf(stderr, "dgnhost: out of memory while importing %s\n", o.file.c_str());
    return kExitFailed;
  }
  if (read) return kExitOk;
  if (interrupted) {
    std::fprintf(stderr, "dgnhost: import of %s cancelled after %lld of %d elements\n",
                 o.file.c_str(), static_cast<long long>(result.steps), result.total);
    return kExitCancelled;
  }
  std::fprintf(stderr, "dgnhost: import of %s failed\n", o.file.c_str());
  return kExitFailed;
}

// `import`: the whole import through the exports, its objects going to the
// outputs asked for as they arrive; gives the exit status.
int CmdImport(Context &ctx, int argc, char **argv) {
  ImportOptions o;
  const int usage = ParseImport(argc, argv, o);
  if (usage >= 0) return usage;

  // The map record as the host fills it for an import: read flag only; the
  // directory is the host's own folder, where its INI file lives (or a copy
  // of that file with the whole map on).
  std::string directory = ctx.programDir;
  std::unique_ptr<WholeMapIni> wholeMapIni;
  if (o.wholeMap) {
    wholeMapIni.reset(new WholeMapIni(ctx.programDir));
    if (!wholeMapIni->ok()) {
      std::fprintf(stderr, "dgnhost: cannot make a scratch folder for the whole-map setting\n");
      return kExitFailed;
    }
    directory = wholeMapIni->dir();
  }
  TVectorMapPlugIn map{};
  map.directory = &directory[0];
  map.readFlag = 1;
  ImportHost host(PlatIsTerminal(stderr), o.interruptAfter);
  if (!ctx.api.Open(o.file.c_str(), &map, host.Messages())) return kExitFailed;

  ImportOutputs outputs;
  if (!outputs.Open(o)) {
    ctx.api.Close(&map);
    return kExitFailed;
  }
  host.SetSinks(outputs.sinks);
  host.CatchInterrupt();
  const bool read = ctx.api.Read(&map, host.Callbacks(), host.Messages(), host.Progress()) != 0;
  host.ReleaseInterrupt();
  host.Finish();
  ctx.api.Close(&map);

  const int trouble = ImportTrouble(o, host.Stats(), read, host.Interrupted());
  if (trouble != kExitOk) return trouble;
  return outputs.Finish(o, host.Stats()) ? kExitOk : kExitFailed;
}

// export and update live in dgnhost_export.cpp.
int CmdExport(Context &ctx, int argc, char **argv) {
  return RunExportCommand(ctx.api, ctx.programDir, argc, argv);
}

int CmdUpdate(Context &ctx, int argc, char **argv) {
  return RunUpdateCommand(ctx.api, ctx.programDir, argc, argv);
}

// The commands dgnhost offers, by name.
struct Command {
  const char *name;
  int (*run)(Context &ctx, int argc, char **argv);
};

const Command kCommands[] = {
    {"info", CmdInfo},
    {"import", CmdImport},
    {"export", CmdExport},
    {"update", CmdUpdate},
};

}  // namespace

int main(int argc, char **argv) {
  std::string pluginPath;
  int i = 1;
  for (; i < argc; ++i) {
    if (std::strcmp(argv[i], "--plugin") == 0 && i + 1 < argc) {
      pluginPath = argv[++i];
    } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      return Usage(stdout);
    } else {
      break;
    }
  }
  if (i >= argc) return Usage(stderr);
  const Command *command = nullptr;
  for (const Command &c : kCommands)
    if (std::strcmp(argv[i], c.name) == 0) command = &c;
  if (command == nullptr) {
    std::fprintf(stderr, "dgnhost: unknown command '%s'\n", argv[i]);
    return Usage(stderr);
  }

  Context ctx;
  ctx.programDir = ProgramDir(argv[0]);
  if (pluginPath.empty()) pluginPath = ctx.programDir + kPluginFileName;
  const PluginLibrary plugin(pluginPath);
  if (!plugin.error().empty()) {
    std::fprintf(stderr, "dgnhost: %s\n", plugin.error().c_str());
    return kExitFailed;
  }
  for (const std::string &name : plugin.missing())
    std::fprintf(stderr, "dgnhost: the plug-in has no export %s\n", name.c_str());
  if (!plugin.ok()) return kExitFailed;
  ctx.api = plugin.api();
  return command->run(ctx, argc - i - 1, argv + i + 1);
}
