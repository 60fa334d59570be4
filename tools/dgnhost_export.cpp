// dgnhost export and update: GeoJSON features into a DGN file through the
// plug-in.  The GeoJSON is read twice, one feature at a time: once to check
// it whole before the DGN file is created or opened, so a malformed input
// never leaves a half-made map, and once to write it; an export is made
// beside its target and takes its place only once whole.
#include "dgnhost_export.h"

#include "dgnhost_files.h"
#include "dgnhost_geojson.h"
#include "dgnhost_gpkg.h"
#include "dgnhost_ini.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// ---------------------------------------------------------------------------
// Driving the plug-in
// ---------------------------------------------------------------------------

void OnShow(TMessagePlugIn *, const char *text) {
  // Engine texts may end in a newline of their own: print one line.
  std::string line = text != nullptr ? text : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::fprintf(stderr, "dgnhost: plug-in: %s\n", line.c_str());
}

// An object record holding the host's defaults, then the feature's attributes.
TVectorObjectPlugIn HostObject(const GeoStyle &st, int32_t kind, int32_t elementId, int32_t count) {
  TVectorObjectPlugIn o{};
  o.size = static_cast<int32_t>(sizeof(TVectorObjectPlugIn));
  o.elementId = elementId;
  o.color = st.color;
  o.color2 = st.color;
  o.objectKind = kind;
  o.level = st.level;
  o.width = st.width;
  o.numPoints = count;
  o.hostField52 = -1.0f;
  o.style = st.style;
  o.hostField60 = -1;
  o.hostField68 = -1.0f;
  o.hostField72 = 1;
  return o;
}

// What one session of add calls wrote.
struct Tally {
  long written = 0;     // features whose every line and area was written
  long notWritten = 0;  // features with a line or area that was not
  long parts = 0;       // polylines, polygons and texts written
  long texts = 0;       // texts among them
};

// What a DGN element header holds: the plug-in stores a value beyond it as
// the nearest it can hold.
constexpr int32_t kMostLevel = 63;
constexpr float kMostWidth = 31.0f;
constexpr int32_t kMostStyle = 7;

// Names on standard error each attribute of a feature that the map cannot
// hold as it is (the plug-in clamps it).
void ReportClamped(const GeoFeature &f) {
  const GeoStyle &st = f.style;
  if (st.level < 0 || st.level > kMostLevel)
    std::fprintf(stderr, "dgnhost: feature %d: level %d is stored as %d\n", f.index,
                 static_cast<int>(st.level), st.level < 0 ? 0 : static_cast<int>(kMostLevel));
  if (!(st.width <= kMostWidth) || st.width < 0.0f)
    std::fprintf(stderr, "dgnhost: feature %d: width %g is stored as %g\n", f.index,
                 static_cast<double>(st.width),
                 st.width > kMostWidth ? static_cast<double>(kMostWidth) : 0.0);
  if (st.style < -1 || st.style > kMostStyle)
    std::fprintf(stderr, "dgnhost: feature %d: style %d is stored as %d\n", f.index,
                 static_cast<int>(st.style), st.style < 0 ? 0 : static_cast<int>(kMostStyle));
}

// Adds every part of a feature to the open map.  With `replace`, the
// feature's elementId goes with its first part, whose element then takes
// the place of the one it names.  A feature counts as written only when all
// its parts were; each one that was not is named on standard error with the
// reason, and so is an area whose holes became shapes of their own (a DGN
// shape has no holes).
void AddFeature(const PluginApi &api, TVectorMapPlugIn &map, TMessagePlugIn &sink,
                const GeoFeature &f, bool replace, Tally &t) {
  if (f.parts.empty())
    std::fprintf(stderr, "dgnhost: feature %d: its geometry is empty\n", f.index);
  ReportClamped(f);
  long written = 0, holes = 0;
  std::vector<TVectorPointPlugIn> points;
  for (size_t i = 0; i < f.parts.size(); ++i) {
    const GeoPart &part = f.parts[i];
    const size_t n = part.points.size();
    if (n < 2 && part.kind != 3) {
      // The plug-in makes no element of fewer than two vertices (a text has one).
      std::fprintf(stderr, "dgnhost: feature %d: a %s of %d point%s cannot be written\n", f.index,
                   part.kind == 1 ? "ring" : "line", static_cast<int>(n), n == 1 ? "" : "s");
      continue;
    }
    const int32_t id = replace && i == 0 ? f.style.elementId : 0;
    points = part.points;  // the plug-in takes them writable
    TVectorObjectPlugIn object = HostObject(f.style, part.kind, id, static_cast<int32_t>(n));
    std::string text = part.text;
    TVectorTextPlugIn textInfo = part.textInfo;
    if (part.kind == 3) {
      object.name = &text[0];
      object.textInfo = &textInfo;
      if (part.lostCharacters > 0)
        std::fprintf(stderr,
                     "dgnhost: feature %d: %d character%s of its text %s not in Windows-1252 and "
                     "%s stored as \"?\"\n",
                     f.index, part.lostCharacters, part.lostCharacters == 1 ? "" : "s",
                     part.lostCharacters == 1 ? "is" : "are",
                     part.lostCharacters == 1 ? "is" : "are");
    }
    if (api.AddPolyline(&map, &object, static_cast<int32_t>(n), points.data(), &sink)) {
      ++written;
      if (part.hole) ++holes;
      if (part.kind == 3) ++t.texts;
    }
  }
  t.parts += written;
  if (!f.parts.empty() && written == static_cast<long>(f.parts.size())) {
    ++t.written;
    if (holes > 0)
      std::fprintf(stderr,
                   "dgnhost: feature %d: %ld hole%s of its area written as separate "
                   "shape%s\n",
                   f.index, holes, holes == 1 ? "" : "s", holes == 1 ? "" : "s");
  } else {
    ++t.notWritten;
    if (written == 0)
      std::fprintf(stderr, "dgnhost: feature %d was not written\n", f.index);
    else
      std::fprintf(stderr,
                   "dgnhost: feature %d was written only in part: %ld of %d lines and "
                   "areas\n",
                   f.index, written, static_cast<int>(f.parts.size()));
  }
}

// The element ids that more than one feature names, each with the features
// (by index) that name it.
using SharedIds = std::map<int32_t, std::vector<int>>;

// Gives the ids of `named` (id, feature) that two features or more name.
SharedIds IdsNamedTwice(std::vector<std::pair<int32_t, int>> named) {
  std::sort(named.begin(), named.end());
  SharedIds shared;
  for (size_t i = 1; i < named.size(); ++i) {
    if (named[i].first != named[i - 1].first) continue;
    std::vector<int> &features = shared[named[i].first];
    if (features.empty()) features.push_back(named[i - 1].second);
    features.push_back(named[i].second);
  }
  return shared;
}

// A feature whose id another feature names too: it is not written, since
// either would take the element's place and the other be lost; true after
// saying so on standard error.
bool NamesASharedId(const GeoFeature &f, const SharedIds &shared, Tally &t) {
  const auto it = shared.find(f.style.elementId);
  if (f.style.elementId <= 0 || it == shared.end()) return false;
  std::string others;
  for (const int other : it->second) {
    if (other == f.index) continue;
    others += (others.empty() ? "" : ", ") + std::to_string(other);
  }
  std::fprintf(stderr,
               "dgnhost: feature %d was not written: its elementId %d is also named by feature "
               "%s, and none of them is written\n",
               f.index, static_cast<int>(f.style.elementId), others.c_str());
  ++t.notWritten;
  return true;
}

// Reads the GeoJSON at `path` again and adds its features to the open map
// as they come, then closes the map.  With `replace`, features naming an id
// in `shared` are left out.  False when the file could not be read again as
// it was checked; `saved` tells whether the close found everything written
// safely on the disk.
bool AddFeatures(const PluginApi &api, TVectorMapPlugIn &map, TMessagePlugIn &sink,
                 const std::string &path, bool texts, bool replace, const SharedIds &shared,
                 Tally &t, bool *saved) {
  GeoCollection again;
  const bool read = ReadFeatureFile(
      path, texts, true,
      [&](const GeoFeature &f) {
        if (replace && NamesASharedId(f, shared, t)) return;
        AddFeature(api, map, sink, f, replace, t);
      },
      again);
  *saved = api.Close(&map) != 0;
  if (!*saved) std::fprintf(stderr, "dgnhost: the map could not be saved to the disk\n");
  return read;
}

// Prints what was written, e.g. "exported 3 features as 4 polylines and polygons into OUT".
void PrintWritten(const char *verb, const Tally &t, const GeoCollection &c,
                  const std::string &out) {
  std::printf("%s %ld features as %ld polylines and polygons", verb, t.written, t.parts - t.texts);
  if (t.texts > 0) std::printf(" and %ld texts", t.texts);
  std::printf(" into %s", out.c_str());
  if (c.skipped > 0) std::printf(" (%ld features without lines or areas skipped)", c.skipped);
  std::printf("\n");
}

int ExportUsage() {
  std::fprintf(stderr,
               "usage: dgnhost export IN.geojson OUT.dgn [--ini-dir DIR] [--whole-map]\n"
               "       dgnhost update FILE.dgn IN.geojson [--whole-map]\n");
  return kExitUsage;
}

// The folder of the INI file the plug-in is to read: `iniDir`, or with the
// whole map a scratch copy of its gps.ini that turns the setting on.  Empty
// (after a message) when the copy cannot be made.
std::string IniDirFor(const std::string &iniDir, std::unique_ptr<WholeMapIni> &whole,
                      bool wholeMap) {
  if (!wholeMap) return iniDir;
  whole.reset(new WholeMapIni(iniDir));
  if (whole->ok()) return whole->dir();
  std::fprintf(stderr, "dgnhost: cannot make a scratch folder for the whole-map setting\n");
  return std::string();
}

}  // namespace

const char kExportUsage[] =
    "  export IN.geojson OUT.dgn [--ini-dir DIR] [--whole-map]\n"
    "            create OUT.dgn from the seed file named in DIR/gps.ini (default DIR: the\n"
    "            folder of dgnhost) and write every line and area of the GeoJSON into it;\n"
    "            properties level, color (\"#rrggbb\"), width and style are used.  OUT.dgn\n"
    "            is replaced only when every line and area was written.  --whole-map also\n"
    "            writes Point features with a text property as texts (height, rotation,\n"
    "            justification) and long lines and areas as complex chains and shapes\n"
    "  update FILE IN.geojson [--whole-map]\n"
    "            add every line and area of the GeoJSON to an existing DGN file; a\n"
    "            feature's elementId property names the element it replaces\n";

int RunExportCommand(const PluginApi &api, const std::string &programDir, int argc, char **argv) {
  std::string in, out, iniDir = programDir;
  bool wholeMap = false;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--ini-dir" && i + 1 < argc) {
      iniDir = argv[++i];
    } else if (a == "--whole-map") {
      wholeMap = true;
    } else if (!a.empty() && a[0] != '-' && in.empty()) {
      in = a;
    } else if (!a.empty() && a[0] != '-' && out.empty()) {
      out = a;
    } else {
      std::fprintf(stderr, "dgnhost: export: unexpected argument '%s'\n", a.c_str());
      return ExportUsage();
    }
  }
  if (in.empty() || out.empty()) return ExportUsage();

  if (SameFile(in, out)) {
    std::fprintf(stderr,
                 "dgnhost: export: %s is the GeoJSON being exported; refusing to write "
                 "the DGN file over it\n",
                 out.c_str());
    return kExitUsage;
  }

  GeoCollection c;
  if (!ReadFeatureFile(in, wholeMap, false, nullptr, c)) return kExitFailed;
  std::unique_ptr<WholeMapIni> whole;
  std::string directory = IniDirFor(iniDir, whole, wholeMap);
  if (directory.empty() && wholeMap) return kExitFailed;

  // The map is made under a temporary name beside OUT and takes OUT's place
  // only when every feature is in it: a failed export leaves an existing OUT
  // as it was.  The map record is filled as the host fills it to create a
  // map: write and create flags, and the folder of its INI file.
  //
  // An existing OUT is held for update from here until the new map has its
  // name: a map open for update elsewhere is not replaced under its writer,
  // and no writer starts in it while the new one is made.
  FILE *heldOut = nullptr;
  if (HoldForUpdate(out, &heldOut) == Hold::kElsewhere) {
    std::fprintf(stderr, "dgnhost: export: %s is open for update elsewhere; nothing was written\n",
                 out.c_str());
    return kExitFailed;
  }
  std::unique_ptr<FILE, int (*)(FILE *)> held(heldOut, std::fclose);
  // The temporary file is made first, so that nobody can aim its name;
  // the plug-in then writes the map into it.  It goes on every failure.
  TempFile temp;
  std::string error;
  if (!temp.Create(out, nullptr, error) || !temp.CloseStream()) {
    std::fprintf(stderr, "dgnhost: cannot create %s: %s\n", out.c_str(), error.c_str());
    return kExitFailed;
  }
  TMessagePlugIn sink{OnShow};
  TVectorMapPlugIn map{};
  map.directory = &directory[0];
  map.writeFlag = 1;
  map.createFlag = 1;
  if (!api.Open(temp.name().c_str(), &map, &sink)) {
    std::fprintf(stderr, "dgnhost: cannot create %s\n", out.c_str());
    return kExitFailed;
  }
  Tally t;
  bool saved = false;
  const bool read = AddFeatures(api, map, sink, in, wholeMap, false, SharedIds(), t, &saved);
  if (!read || t.notWritten > 0 || !saved) {
    if (read && t.notWritten > 0)
      std::fprintf(stderr,
                   "dgnhost: %ld of %ld line and area features were not written; "
                   "nothing was written to %s\n",
                   t.notWritten, c.features, out.c_str());
    return kExitFailed;
  }
  // On the disk before it takes OUT's place, and the folder after; the
  // hold on the old map ends once the new one has its name.
  if (!temp.Commit(error, held.release())) {
    std::fprintf(stderr, "dgnhost: cannot put the new map in the place of %s: %s\n", out.c_str(),
                 error.c_str());
    return kExitFailed;
  }
  PrintWritten("exported", t, c, out);
  return kExitOk;
}

int RunUpdateCommand(const PluginApi &api, const std::string &programDir, int argc, char **argv) {
  std::string file, in;
  bool wholeMap = false;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--whole-map") {
      wholeMap = true;
    } else if (!a.empty() && a[0] != '-' && file.empty()) {
      file = a;
    } else if (!a.empty() && a[0] != '-' && in.empty()) {
      in = a;
    } else {
      std::fprintf(stderr, "dgnhost: update: unexpected argument '%s'\n", a.c_str());
      return ExportUsage();
    }
  }
  if (file.empty() || in.empty()) return ExportUsage();

  // The check also notes which element each feature names.
  GeoCollection c;
  std::vector<std::pair<int32_t, int>> named;
  const auto note = [&named](const GeoFeature &f) {
    if (f.style.elementId > 0) named.emplace_back(f.style.elementId, f.index);
  };
  if (!ReadFeatureFile(in, wholeMap, false, note, c)) return kExitFailed;
  const SharedIds shared = IdsNamedTwice(std::move(named));
  std::unique_ptr<WholeMapIni> whole;
  std::string directory = IniDirFor(programDir, whole, wholeMap);
  if (directory.empty() && wholeMap) return kExitFailed;
  TMessagePlugIn sink{OnShow};
  TVectorMapPlugIn map{};
  map.directory = &directory[0];
  map.readFlag = 1;
  map.writeFlag = 1;
  if (!api.Open(file.c_str(), &map, &sink)) {
    std::fprintf(stderr, "dgnhost: cannot open %s for update\n", file.c_str());
    return kExitFailed;
  }
  Tally t;
  bool saved = false;
  const bool read = AddFeatures(api, map, sink, in, wholeMap, true, shared, t, &saved);
  PrintWritten("added", t, c, file);
  if (t.notWritten > 0)
    std::fprintf(stderr, "dgnhost: %ld of %ld line and area features were not written\n",
                 t.notWritten, c.features);
  if (!read || t.notWritten > 0 || !saved) return kExitFailed;
  return kExitOk;
}
